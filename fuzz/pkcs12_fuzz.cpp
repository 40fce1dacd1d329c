// Reads arbitrary bytes as a key file with the password "secret". Random bytes never pass the
// MAC, so besides whole files (first byte 0) the input may be the AuthenticatedSafe contents
// (1), or the plaintext of a certificate store and of a private key (2), which are sealed here
// under a good MAC (and RC4) before the build; with 3 the input starts with a password of its own.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/certs/pkcs12.h"
#include "core/crypto/hmac.h"
#include "core/crypto/sha1.h"

namespace {

const char kSalt[] = "saltsalt";
const uint8_t kPassword[] = {0, 's', 0, 'e', 0, 'c', 0, 'r', 0, 'e', 0, 't', 0, 0};

std::string Tlv(uint8_t tag, const std::string& content) {
    std::string out(1, (char)tag);
    const size_t n = content.size();
    if (n < 128) {
        out += (char)n;
    } else {
        out += (char)0x84;
        for (int shift = 24; shift >= 0; shift -= 8) out += (char)(n >> shift);
    }
    return out + content;
}

std::string Oid(const char* der, size_t length) {
    return Tlv(0x06, std::string(der, length));
}
const std::string kData = Oid("\x2a\x86\x48\x86\xf7\x0d\x01\x07\x01", 9);
const std::string kEncryptedData = Oid("\x2a\x86\x48\x86\xf7\x0d\x01\x07\x06", 9);
const std::string kShrouded = Oid("\x2a\x86\x48\x86\xf7\x0d\x01\x0c\x0a\x01\x02", 11);
const std::string kPbe = Tlv(0x30, Oid("\x2a\x86\x48\x86\xf7\x0d\x01\x0c\x01\x01", 10) +
                                       Tlv(0x30, Tlv(0x04, kSalt) + Tlv(0x02, "\x01")));

std::string Rc4(std::string data) {
    PKCS12_Decrypt(kPassword, sizeof(kPassword), (const uint8_t*)kSalt, 1, (uint8_t*)data.data(),
                   (uint32_t)data.size(), PKCS12_PURPOSE_KEY);
    return data;
}

std::string Seal(const std::string& authSafe) {
    uint8_t key[20], mac[20];
    PKCS12_DeriveKey(&SHA1_INTERFACE, kPassword, sizeof(kPassword), (const uint8_t*)kSalt, 8, 1,
                     PKCS12_PURPOSE_MAC, key, 20);
    HMAC_QuickDigest(&SHA1_INTERFACE, authSafe.data(), (uint32_t)authSafe.size(), key, 20, mac, 20);
    const std::string sha1 = Tlv(0x30, Oid("\x2b\x0e\x03\x02\x1a", 5) + Tlv(0x05, ""));
    const std::string macData = Tlv(0x30, Tlv(0x30, sha1 + Tlv(0x04, std::string((const char*)mac, 20))) +
                                              Tlv(0x04, kSalt) + Tlv(0x02, "\x01"));
    return Tlv(0x30, Tlv(0x02, "\x03") + Tlv(0x30, kData + Tlv(0xA0, Tlv(0x04, authSafe))) + macData);
}

void Build(const std::string& der, const char* password) {
    ASN1* tree = nullptr;
    ASN1_Create(&tree);
    PKCS12* pkcs12 = nullptr;
    PKCS12_Create(&pkcs12);
    if (ASN1_Decode(tree, (const uint8_t*)der.data(), (uint32_t)der.size()) == 1) {
        const int64_t built = PKCS12_Build(pkcs12, tree, password);
        const uint32_t count = PKCS12_Count(pkcs12);
        if (!built && count != 0) __builtin_trap();
        if (built) {
            X509* cert = nullptr;
            X509* issuer = nullptr;
            for (uint32_t i = 0; i < count; i++)
                if (PKCS12_Get(pkcs12, (int32_t)i, &cert) == 1) PKCS12_IssuerFind(pkcs12, cert, &issuer);
            // The tree is read, never changed: a second build gives the same answer.
            if (PKCS12_Build(pkcs12, tree, password) != 1 || PKCS12_Count(pkcs12) != count) __builtin_trap();
        }
    }
    PKCS12_Release(&pkcs12);
    ASN1_Release(&tree);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 64 * 1024) return 0;
    const std::string input((const char*)data + 1, size - 1);
    switch (data[0] & 3) {
    case 0:
        Build(input, "secret");
        break;
    case 1:
        Build(Seal(input), "secret");
        break;
    case 2: {
        // Two bytes of certificate-store length, the store, then the private key.
        if (input.size() < 2) return 0;
        const size_t split = ((uint8_t)input[0] << 8 | (uint8_t)input[1]) % (input.size() - 1);
        const std::string certs = input.substr(2, split), key = input.substr(2 + split);
        const std::string certInfo = Tlv(
            0x30, kEncryptedData + Tlv(0xA0, Tlv(0x30, Tlv(0x02, std::string(1, '\0')) +
                                                           Tlv(0x30, kData + kPbe + Tlv(0x80, Rc4(certs))))));
        const std::string keyInfo = Tlv(
            0x30,
            kData +
                Tlv(0xA0,
                    Tlv(0x04,
                        Tlv(0x30, Tlv(0x30, kShrouded + Tlv(0xA0, Tlv(0x30, kPbe + Tlv(0x04, Rc4(key)))))))));
        Build(Seal(Tlv(0x30, certInfo + keyInfo)), "secret");
        break;
    }
    default: {
        // A password of the input's own (up to its first NUL), then the file.
        const size_t end = input.find('\0');
        if (end == std::string::npos) return 0;
        Build(input.substr(end + 1), input.substr(0, end).c_str());
        break;
    }
    }
    return 0;
}
