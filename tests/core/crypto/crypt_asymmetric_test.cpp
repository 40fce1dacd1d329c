#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "core/certs/asn1.h"
#include "core/certs/authenticate.h"
#include "core/crypto/crypt_asymmetric.h"
#include "core/crypto/hash.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "core/runtime/string_print.h"
#include "tests/support/hex.h"
#include "tests/support/log_capture.h"
#include "tests/support/wycheproof.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

// What the object printed through its print block.
std::string g_printed;
int64_t Keep(void*, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    String_VPrint(line, sizeof line, format, args);
    va_end(args);
    g_printed += line;
    return 1;
}

struct Front {
    CryptAsymmetric* Crypt = nullptr;
    Front() {
        CryptAsymmetric_Create(&Crypt);
        CryptAsymmetric_SetVerbose(Crypt, 1);
        CryptAsymmetric_SetPrintCallback(Crypt, nullptr, Keep);
        g_printed.clear();
    }
    ~Front() { CryptAsymmetric_Release(&Crypt); }
    // Loads the SubjectPublicKeyInfo in der through the front object.
    int64_t LoadInfo(const Bytes& der) {
        ASN1* root = nullptr;
        ASN1_Create(&root);
        int64_t ok = ASN1_Decode(root, der.data(), (uint32_t)der.size());
        if (ok) ok = CryptAsymmetric_SetPublicKeyFromASN1(Crypt, ASN1_GetElement(root, 0));
        ASN1_Release(&root);
        return ok;
    }
};

const HashInterface* HashNamed(const std::string& name) {
    if (name == "SHA-224") return &SHA224_INTERFACE;
    if (name == "SHA-256") return &SHA256_INTERFACE;
    if (name == "SHA-384") return &SHA384_INTERFACE;
    if (name == "SHA-512") return &SHA512_INTERFACE;
    return nullptr;
}

uint32_t g_enabled = 1;
uint32_t Enabled() { return g_enabled; }

// SEQUENCE { SEQUENCE { OID algorithm }, BIT STRING unused, key... }
Bytes Info(const Bytes& oid, uint8_t unused, const Bytes& key) {
    Bytes algorithm = {0x30, (uint8_t)(oid.size() + 2), 0x06, (uint8_t)oid.size()};
    algorithm.insert(algorithm.end(), oid.begin(), oid.end());
    Bytes out = {0x30, (uint8_t)(algorithm.size() + key.size() + 3)};
    out.insert(out.end(), algorithm.begin(), algorithm.end());
    out.insert(out.end(), {0x03, (uint8_t)(key.size() + 1), unused});
    out.insert(out.end(), key.begin(), key.end());
    return out;
}

TEST(CryptAsymmetricTest, LookupsByNameAndOid) {
    struct Row {
        bool ByOid;
        const char* Text;
        const CryptAsymmetricInterface* Want;
    } const rows[] = {
        {false, "RSA", &RSA_INTERFACE},
        {false, "rsa", &RSA_INTERFACE},
        {false, "eCdSa", &ECDSA_INTERFACE},
        {false, "DSA", nullptr},
        {false, "RSA ", nullptr},
        {true, "1.2.840.10045.2.1", &ECDSA_INTERFACE},
        {true, "1.2.840.113549.1.1.1", &RSA_INTERFACE},
        {true, "1.2.840.113549.1.1.11", nullptr},
        {true, "RSA", nullptr},
    };
    for (const Row& row : rows) {
        TakeLog();
        const CryptAsymmetricInterface* found = &RSA_INTERFACE;
        const int64_t ok = row.ByOid ? CryptAsymmetric_InterfaceFromOid(row.Text, &found)
                                     : CryptAsymmetric_InterfaceFromName(row.Text, &found);
        EXPECT_EQ(ok, row.Want ? 1 : 0) << row.Text;
        EXPECT_EQ(found, row.Want) << row.Text;
        const std::string logged = TakeLog();
        const std::string message = std::string("Unsupported asymmetric cryptographic algorithm ") + row.Text + "\n";
        EXPECT_EQ(logged.find(message) != std::string::npos, row.Want == nullptr) << logged;
    }
}

TEST(CryptAsymmetricTest, SubjectPublicKeyInfoPicksTheAlgorithm) {
    const std::string ecHex = Wycheproof_FirstPublicKey("ecdsa_secp256r1_sha256_test.json");
    const std::string rsaHex = Wycheproof_FirstPublicKey("rsa_signature_2048_sha256_test.json");
    if (ecHex.empty() || rsaHex.empty()) GTEST_SKIP() << "no Wycheproof keys at " << WycheproofDir();
    const Bytes ecKey = FromHex(ecHex);
    const Bytes rsaKey = FromHex(rsaHex);
    const Bytes dsaOid = {0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x01};
    const Bytes ecOid = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
    Bytes shifted = ecKey;
    shifted[shifted.size() - 66] = 0x01;  // the bit string's unused-bits byte
    struct Row {
        const char* Name;
        Bytes Der;
        int64_t Loaded, IsRsa, IsEcdsa;
        const char* Printed;
    } const rows[] = {
        {"P-256", ecKey, 1, 0, 1, ""},
        {"RSA-2048", rsaKey, 1, 1, 0, ""},
        {"DSA", Info(dsaOid, 0, {0x02, 0x01, 0x05}), 0, 0, 0, "Unsupported public key algorithm 1.2.840.10040.4.1"},
        {"unused bits", shifted, 0, 0, 1, "Unsupported BIT STRING unused bits count (1)"},
        {"no curve", Info(ecOid, 0, {0x04, 0x01, 0x02}), 0, 0, 1, ""},
        {"empty bit string", Bytes{0x30, 0x0B, 0x30, 0x06, 0x06, 0x04, 0x2A, 0x86, 0x48, 0xCE, 0x03, 0x00}, 0, 0, 0,
         ""},
    };
    for (const Row& row : rows) {
        Front f;
        EXPECT_EQ(f.LoadInfo(row.Der), row.Loaded) << row.Name;
        EXPECT_EQ(CryptAsymmetric_IsRSA(f.Crypt), row.IsRsa) << row.Name;
        EXPECT_EQ(CryptAsymmetric_IsECDSA(f.Crypt), row.IsEcdsa) << row.Name;
        if (row.Printed[0]) EXPECT_NE(g_printed.find(row.Printed), std::string::npos) << row.Name << ": " << g_printed;
        else EXPECT_EQ(g_printed.find("Unsupported"), std::string::npos) << row.Name << ": " << g_printed;
    }
}

TEST(CryptAsymmetricTest, UnboundAnswersNoAndRebindingDropsTheKey) {
    Front f;
    uint8_t out[80];
    uint32_t length = 7;
    const uint8_t digest[32] = {1};
    EXPECT_EQ(CryptAsymmetric_CanSign(f.Crypt), 0);
    EXPECT_EQ(CryptAsymmetric_Sign(f.Crypt, digest, 32, out, sizeof out, &length), 0);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(CryptAsymmetric_Verify(f.Crypt, digest, 32, out, 8, 2), 0);
    EXPECT_EQ(CryptAsymmetric_Reset(f.Crypt), 1);

    // ECPrivateKey { 1, d = 7 }.
    Bytes key = {0x30, 0x25, 0x02, 0x01, 0x01, 0x04, 0x20};
    key.resize(key.size() + 32, 0);
    key.back() = 7;
    ASSERT_EQ(CryptAsymmetric_ResetInterface(f.Crypt, &ECDSA_INTERFACE), 1);
    ASSERT_EQ(CryptAsymmetric_InitParams(f.Crypt, "1.2.840.10045.3.1.7", 0), 1);
    ASSERT_EQ(CryptAsymmetric_SetPrivateKey(f.Crypt, key.data(), (uint32_t)key.size()), 1);
    EXPECT_EQ(CryptAsymmetric_CanSign(f.Crypt), 1);
    ASSERT_EQ(CryptAsymmetric_Sign(f.Crypt, digest, 32, out, sizeof out, &length), 1);
    EXPECT_EQ(CryptAsymmetric_PublicKeyEncrypt(f.Crypt, digest, 32, out, sizeof out, &length), 0);
    EXPECT_EQ(CryptAsymmetric_Reset(f.Crypt), 1);
    EXPECT_EQ(CryptAsymmetric_CanSign(f.Crypt), 0);

    ASSERT_EQ(CryptAsymmetric_InitParams(f.Crypt, "1.2.840.10045.3.1.7", 0), 1);
    ASSERT_EQ(CryptAsymmetric_SetPrivateKey(f.Crypt, key.data(), (uint32_t)key.size()), 1);
    ASSERT_EQ(CryptAsymmetric_ResetInterface(f.Crypt, &ECDSA_INTERFACE), 1);
    EXPECT_EQ(CryptAsymmetric_CanSign(f.Crypt), 0);
    EXPECT_EQ(CryptAsymmetric_IsECDSA(f.Crypt), 1);
}

// With the switch off RSA answers yes to anything; ECDSA still checks.
TEST(CryptAsymmetricTest, SwitchOffWaivesRsaOnly) {
    const std::string ecHex = Wycheproof_FirstPublicKey("ecdsa_secp256r1_sha256_test.json");
    if (ecHex.empty()) GTEST_SKIP() << "no Wycheproof keys at " << WycheproofDir();
    const Bytes ecKey = FromHex(ecHex);
    const uint8_t digest[32] = {1};
    const uint8_t junk[8] = {0x30, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01};
    g_enabled = 0;
    Authenticate_EnabledOverride(Enabled);
    Front rsa, ec;
    CryptAsymmetric_ResetInterface(rsa.Crypt, &RSA_INTERFACE);
    EXPECT_EQ(CryptAsymmetric_Verify(rsa.Crypt, digest, 32, junk, sizeof junk, RSA_SIGNATURE_VERSION_PCS21), 1);
    ASSERT_EQ(ec.LoadInfo(ecKey), 1);
    EXPECT_EQ(CryptAsymmetric_Verify(ec.Crypt, digest, 32, junk, sizeof junk, 0), 0);
    Authenticate_EnabledOverride(nullptr);
    g_enabled = 1;
    EXPECT_EQ(CryptAsymmetric_Verify(rsa.Crypt, digest, 32, junk, sizeof junk, RSA_SIGNATURE_VERSION_PCS21), 0);
}

// Every Wycheproof signature case through the front object: the key from its SubjectPublicKeyInfo,
// valid cases pass and invalid ones fail.
TEST(CryptAsymmetricTest, WycheproofSignatures) {
    const char* const files[] = {
        "ecdsa_secp224k1_sha224_test.json",   "ecdsa_secp224k1_sha256_test.json",
        "ecdsa_secp224r1_sha224_test.json",   "ecdsa_secp256k1_sha256_test.json",
        "ecdsa_secp256r1_sha256_test.json",   "ecdsa_secp256r1_sha512_test.json",
        "ecdsa_secp384r1_sha384_test.json",   "ecdsa_secp521r1_sha512_test.json",
        "rsa_signature_2048_sha256_test.json", "rsa_signature_2048_sha384_test.json",
        "rsa_signature_2048_sha512_test.json", "rsa_signature_3072_sha256_test.json",
        "rsa_signature_4096_sha512_test.json",
    };
    int checked = 0;
    for (const char* file : files) {
        const std::vector<WycheproofGroup> groups = Wycheproof_Read(file);
        if (groups.empty()) GTEST_SKIP() << "no " << file;
        for (const WycheproofGroup& group : groups) {
            Front f;
            ASSERT_EQ(f.LoadInfo(FromHex(group["publicKeyDer"])), 1) << file;
            const HashInterface* hash = HashNamed(group["sha"]);
            ASSERT_NE(hash, nullptr) << group["sha"];
            for (const WycheproofCase& c : group.Cases) {
                if (c["result"] == "acceptable") continue;
                const Bytes msg = FromHex(c["msg"]), sig = FromHex(c["sig"]);
                uint8_t digest[64];
                ASSERT_EQ(Hash_QuickDigest(hash, msg.data(), (int32_t)msg.size(), digest, sizeof digest), 1);
                const uint32_t size = hash->DigestSize;
                EXPECT_EQ(CryptAsymmetric_Verify(f.Crypt, digest, size, sig.data(), (uint32_t)sig.size(),
                                                 RSA_SIGNATURE_VERSION_PCS21),
                          c["result"] == "valid" ? 1 : 0)
                    << file << " case " << c.Id << " " << c["comment"];
                checked++;
            }
        }
    }
    EXPECT_GT(checked, 3000);
}

}  // namespace
