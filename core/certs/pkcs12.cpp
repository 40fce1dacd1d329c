// PKCS12: reading a password-protected PFX into the TLS client's private key and certificates,
// with the password-based key function that keys its MAC and its RC4-encrypted bags.
#include "core/certs/pkcs12.h"

#include <cstring>

#include "core/certs/x509_chain.h"
#include "core/crypto/crypt_asymmetric.h"
#include "core/crypto/hmac.h"
#include "core/crypto/rc4.h"
#include "core/crypto/sha1.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/unicode.h"

struct PKCS12 {
    Class Header;
    ClassPrint Print;
    X509Chain* Certificates;
    CryptAsymmetric* PrivateKey;
};

namespace {

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagOid = 0x06;
constexpr uint8_t kTagSequence = 0x30;
constexpr uint8_t kTagContext0 = 0xA0;
constexpr uint8_t kTagImplicit0 = 0x80;
constexpr int32_t kOidTextSize = 128;
constexpr uint32_t kSaltSize = 8;
constexpr uint32_t kRc4KeySize = 16;
constexpr uint32_t kMaxKeyBuffer = 1024;
constexpr uint32_t kMaxDigestSize = 64;
constexpr uint32_t kMaxBlockSize = 256;
// Real files use a few thousand rounds; a hostile count near 2^32 would keep the reader hashing
// for many minutes, so counts past this are refused as invalid.
constexpr uint32_t kMaxIterations = 1u << 20;
// Far beyond any typed password, and small enough that the derivation's buffers stay modest.
constexpr uint32_t kMaxPasswordBytes = 1u << 16;

const char kOidPbeSha1Rc4128[] = "1.2.840.113549.1.12.1.1";
const char kOidData[] = "1.2.840.113549.1.7.1";
const char kOidEncryptedData[] = "1.2.840.113549.1.7.6";
const char kOidShroudedKeyBag[] = "1.2.840.113549.1.12.10.1.2";
const char kOidEcPublicKey[] = "1.2.840.10045.2.1";
const char kOidRsaEncryption[] = "1.2.840.113549.1.1.1";

int64_t DeleteHandle(void** handle) {
    return PKCS12_Delete(reinterpret_cast<PKCS12**>(handle));
}

void PreparePrint(PKCS12* pkcs12) {
    ClassPrint_Prepare(&pkcs12->Print, pkcs12, "PKCS12", PKCS12_PrintInternal);
}

// Clears memory that held keys or plaintext in a way the compiler may not drop as a dead store.
void Wipe(void* memory, uint32_t size) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(memory);
    for (uint32_t i = 0; i < size; i++) p[i] = 0;
}

// A heap buffer for secrets, wiped before it goes back.
struct SecretBuffer {
    uint8_t* Data = nullptr;
    uint32_t Size = 0;
    SecretBuffer() = default;
    explicit SecretBuffer(uint32_t size) { Allocate(size); }
    ~SecretBuffer() { Allocate(0); }
    void Allocate(uint32_t size) {
        if (Data) {
            Wipe(Data, Size);
            Memory_Free(Data, Size);
        }
        Data = size ? static_cast<uint8_t*>(Memory_Alloc(size)) : nullptr;
        Size = size;
    }
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
};

// A decoded tree of our own over a buffer that outlives it.
struct Tree {
    ASN1* Root = nullptr;
    Tree() { ASN1_Create(&Root); }
    ~Tree() { ASN1_Release(&Root); }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;
    ASN1* Decode(const uint8_t* bytes, uint32_t size) {
        ASN1_Reset(Root);
        if (ASN1_Decode(Root, bytes, size) != 1) return nullptr;
        return ASN1_GetElement(Root, 0);
    }
};

uint8_t TagOf(ASN1* node) {
    uint8_t tag = 0;
    if (node) ASN1_GetTag(node, &tag);
    return tag;
}

bool Is(ASN1* node, uint8_t tag) {
    return node != nullptr && TagOf(node) == tag;
}

ASN1* Child(ASN1* node, uint32_t index) {
    return node ? ASN1_GetElement(node, index) : nullptr;
}

// Dotted text of an OID node; empty when the node is not one or does not parse.
void OidText(ASN1* node, char* text) {
    text[0] = 0;
    if (!Is(node, kTagOid) || ASN1_ParseOid(node, text, kOidTextSize) != 1) text[0] = 0;
}

bool ReadCount(ASN1* node, uint32_t* value) {
    return Is(node, kTagInteger) && ASN1_GetValueSize(node) >= 1 && ASN1_GetValueSize(node) <= 4 &&
           ASN1_ParseInt32(node, value) == 1;
}

// The password in its PKCS #12 form: UTF-16 big-endian with a two-byte terminator. Characters
// above U+FFFF become surrogate pairs; text that is not strict UTF-8 is refused rather than
// guessed at, since any other reading would derive keys no other tool derives.
struct Password {
    SecretBuffer Form;
    uint32_t Length = 0;
};

bool PasswordForm(const char* password, Password* out) {
    const size_t length = strlen(password);
    if (length > kMaxPasswordBytes) {
        Log_Debug("PKCS12 password is too long (%u bytes)\n", (uint32_t)length);
        return false;
    }
    if (length > 0 && StringUtf8_ValidLength(password, (int32_t)length) != (int32_t)length) {
        Log_Debug("PKCS12 password is not valid UTF-8\n");
        return false;
    }
    // One to three UTF-8 bytes give one unit (two bytes); four give a pair (four bytes).
    out->Form.Allocate((uint32_t)length * 2 + 2);
    uint8_t* p = out->Form.Data;
    uint32_t used = 0;
    for (size_t at = 0; at < length;) {
        uint32_t cp = 0;
        int32_t taken = 0;
        if (CharUtf8_ConvertToUtf32(password + at, (int32_t)(length - at), &cp, &taken) != 1 || taken < 1) {
            Log_Debug("PKCS12 password is not valid UTF-8\n");
            return false;
        }
        at += (size_t)taken;
        if (cp >= 0x10000) {
            const uint32_t v = cp - 0x10000;
            const uint32_t high = 0xD800 | (v >> 10), low = 0xDC00 | (v & 0x3FF);
            p[used++] = (uint8_t)(high >> 8);
            p[used++] = (uint8_t)high;
            p[used++] = (uint8_t)(low >> 8);
            p[used++] = (uint8_t)low;
        } else {
            p[used++] = (uint8_t)(cp >> 8);
            p[used++] = (uint8_t)cp;
        }
    }
    p[used++] = 0;
    p[used++] = 0;
    out->Length = used;
    return true;
}

// The digest record's block length as the key function counts it: 64 bytes at least, as for
// SHA-1; 128 for SHA-384 and SHA-512.
uint32_t DerivationBlock(const HashInterface* record) {
    return record->BlockSize < 64 ? 64 : record->BlockSize;
}

// Fills `size` bytes with the source repeated from its start; nothing when the source is empty.
void Repeat(uint8_t* out, uint32_t size, const uint8_t* source, uint32_t length) {
    if (length == 0) return;
    for (uint32_t i = 0; i < size; i++) out[i] = source[i % length];
}

bool Derive(const HashInterface* record, const uint8_t* password, uint32_t passwordLength,
            const uint8_t* salt, uint32_t saltLength, uint32_t iterations, uint8_t purpose, uint8_t* out,
            uint32_t length) {
    const uint32_t u = record->DigestSize;
    const uint32_t v = DerivationBlock(record);
    if (u == 0 || u > kMaxDigestSize || v > kMaxBlockSize || passwordLength > 4 * kMaxPasswordBytes ||
        saltLength > kMaxKeyBuffer)
        return false;
    // D, then I = S || P, each of S and P its source repeated to a whole number of blocks.
    const uint32_t sLength = (saltLength + v - 1) / v * v;
    const uint32_t pLength = (passwordLength + v - 1) / v * v;
    SecretBuffer buffer(v + sLength + pLength);
    uint8_t* d = buffer.Data;
    uint8_t* i = d + v;
    const uint32_t iLength = sLength + pLength;
    memset(d, purpose, v);
    Repeat(i, sLength, salt, saltLength);
    Repeat(i + sLength, pLength, password, passwordLength);

    uint8_t a[kMaxDigestSize];
    uint8_t b[kMaxBlockSize];
    bool ok = true;
    for (uint32_t done = 0; done < length && ok;) {
        ok = Hash_QuickDigest(record, buffer.Data, (int32_t)(v + iLength), a, (int32_t)sizeof(a)) == 1;
        for (uint32_t round = 1; ok && round < iterations; round++)
            ok = Hash_QuickDigest(record, a, (int32_t)u, a, (int32_t)sizeof(a)) == 1;
        if (!ok) break;
        const uint32_t n = length - done < u ? length - done : u;
        memcpy(out + done, a, n);
        done += n;
        if (done >= length) break;
        // Each block of I becomes (I_j + B + 1) mod 2^(8v), B being A repeated to v bytes.
        Repeat(b, v, a, u);
        for (uint32_t j = 0; j < iLength; j += v) {
            uint32_t carry = 1;
            for (uint32_t k = v; k-- > 0;) {
                carry += (uint32_t)i[j + k] + b[k];
                i[j + k] = (uint8_t)carry;
                carry >>= 8;
            }
        }
    }
    Wipe(a, sizeof(a));
    Wipe(b, sizeof(b));
    return ok;
}

bool Rc4Decrypt(const uint8_t* key, uint8_t* data, uint32_t length) {
    RC4* rc4 = nullptr;
    RC4_Create(&rc4);
    const bool ok = RC4_SetDecryptKey(rc4, key, kRc4KeySize) == 1 &&
                    (length == 0 || RC4_Decrypt(rc4, data, data, length) == 1);
    RC4_Reset(rc4);
    RC4_Release(&rc4);
    return ok;
}

// A copy of the encrypted bytes, decrypted; the caller's buffer stays as it was.
bool DecryptCopy(const Password& password, const uint8_t* salt, uint32_t iterations, ASN1* encrypted,
                 SecretBuffer* plain) {
    const uint32_t size = ASN1_GetValueSize(encrypted);
    plain->Allocate(size);
    if (size == 0) return false;
    memcpy(plain->Data, ASN1_GetValuePtr(encrypted), size);
    return PKCS12_Decrypt(password.Form.Data, password.Length, salt, iterations, plain->Data, size,
                          PKCS12_PURPOSE_KEY) == 1;
}

void ClearRead(PKCS12* pkcs12) {
    X509Chain_Reset(pkcs12->Certificates);
    CryptAsymmetric_Release(&pkcs12->PrivateKey);
    CryptAsymmetric_Create(&pkcs12->PrivateKey);
}

bool ReadPrivateKeyInfo(PKCS12* pkcs12, ASN1* info) {
    ASN1* algorithm = Child(info, 1);
    ASN1* privateKey = Child(info, 2);
    if (!Is(info, kTagSequence) || !Is(algorithm, kTagSequence)) {
        Log_Debug("PKCS12 unable to decode private key store\n");
        return false;
    }
    char oid[kOidTextSize];
    OidText(Child(algorithm, 0), oid);
    if (strcmp(oid, kOidEcPublicKey) == 0) {
        CryptAsymmetric_ResetInterface(pkcs12->PrivateKey, &ECDSA_INTERFACE);
        char curve[kOidTextSize];
        OidText(Child(algorithm, 1), curve);
        if (curve[0] == 0 || CryptAsymmetric_InitParams(pkcs12->PrivateKey, curve, 0) != 1) return false;
    } else if (strcmp(oid, kOidRsaEncryption) == 0) {
        CryptAsymmetric_ResetInterface(pkcs12->PrivateKey, &RSA_INTERFACE);
    } else {
        Log_Debug("PKCS12 private key must use RSA or ECDSA encryption\n");
        return false;
    }
    if (!Is(privateKey, kTagOctetString) ||
        CryptAsymmetric_SetPrivateKey(pkcs12->PrivateKey, ASN1_GetValuePtr(privateKey),
                                      ASN1_GetValueSize(privateKey)) != 1 ||
        CryptAsymmetric_CanSign(pkcs12->PrivateKey) != 1) {
        Log_Debug("PKCS12 unable to find private key\n");
        return false;
    }
    return true;
}

// A data ContentInfo: the private key, from the first bag only.
bool ReadKeyBag(PKCS12* pkcs12, ASN1* content, const Password& password) {
    ASN1* octets = Child(content, 0);
    if (!Is(content, kTagContext0) || !Is(octets, kTagOctetString)) {
        Log_Debug("PKCS12 unable to find private key\n");
        return false;
    }
    Tree bags;
    ASN1* safeContents = bags.Decode(ASN1_GetValuePtr(octets), ASN1_GetValueSize(octets));
    ASN1* bag = Child(safeContents, 0);
    if (!Is(safeContents, kTagSequence) || !Is(bag, kTagSequence)) {
        Log_Debug("PKCS12 unable to find private key\n");
        return false;
    }
    char oid[kOidTextSize];
    OidText(Child(bag, 0), oid);
    if (strcmp(oid, kOidShroudedKeyBag) != 0) {
        Log_Debug("PKCS12 invalid key bag identifier (%s)\n", oid);
        return false;
    }
    ASN1* wrapper = Child(bag, 1);
    ASN1* encryptedInfo = Is(wrapper, kTagContext0) ? Child(wrapper, 0) : nullptr;
    ASN1* algorithm = Is(encryptedInfo, kTagSequence) ? Child(encryptedInfo, 0) : nullptr;
    const uint8_t* salt = nullptr;
    uint32_t iterations = 0;
    if (algorithm == nullptr || PKCS12_GetPBEParams(algorithm, &salt, &iterations) != 1) {
        Log_Debug("PKCS12 unable to retrieve PBE params for private key\n");
        return false;
    }
    ASN1* encrypted = Child(encryptedInfo, 1);
    if (!Is(encrypted, kTagOctetString)) {
        Log_Debug("PKCS12 unable to find private key\n");
        return false;
    }
    // The tree is declared after the plaintext, so that it goes first.
    SecretBuffer plain;
    Tree keyTree;
    ASN1* info = DecryptCopy(password, salt, iterations, encrypted, &plain)
                     ? keyTree.Decode(plain.Data, plain.Size)
                     : nullptr;
    if (info == nullptr) {
        Log_Debug("PKCS12 unable to decode private key store\n");
        return false;
    }
    return ReadPrivateKeyInfo(pkcs12, info);
}

// The DER of a certificate in a SafeBag: bagValue [0], CertBag, certValue [0], OCTET STRING.
ASN1* CertificateOctets(ASN1* bag) {
    ASN1* value = Is(bag, kTagSequence) ? Child(bag, 1) : nullptr;
    ASN1* certBag = Is(value, kTagContext0) ? Child(value, 0) : nullptr;
    ASN1* certValue = Is(certBag, kTagSequence) ? Child(certBag, 1) : nullptr;
    ASN1* octets = Is(certValue, kTagContext0) ? Child(certValue, 0) : nullptr;
    return Is(octets, kTagOctetString) ? octets : nullptr;
}

// An encryptedData ContentInfo: the certificates, in bag order.
bool ReadCertificateBags(PKCS12* pkcs12, ASN1* content, const Password& password) {
    ASN1* encryptedData = Is(content, kTagContext0) ? Child(content, 0) : nullptr;
    ASN1* info = Is(encryptedData, kTagSequence) ? Child(encryptedData, 1) : nullptr;
    if (!Is(info, kTagSequence)) {
        Log_Debug("PKCS12 unable to find certificates\n");
        return false;
    }
    char oid[kOidTextSize];
    OidText(Child(info, 0), oid);
    if (strcmp(oid, kOidData) != 0) {
        Log_Debug("PKCS12 invalid certificate data identifier (%s)\n", oid);
        return false;
    }
    ASN1* algorithm = Child(info, 1);
    const uint8_t* salt = nullptr;
    uint32_t iterations = 0;
    if (algorithm == nullptr || PKCS12_GetPBEParams(algorithm, &salt, &iterations) != 1) {
        Log_Debug("PKCS12 unable to retrieve PBE params for certificate\n");
        return false;
    }
    ASN1* encrypted = Child(info, 2);
    if (!Is(encrypted, kTagImplicit0)) {
        Log_Debug("PKCS12 unable to find certificates\n");
        return false;
    }
    SecretBuffer plain;
    Tree bagTree;
    ASN1* safeContents = DecryptCopy(password, salt, iterations, encrypted, &plain)
                             ? bagTree.Decode(plain.Data, plain.Size)
                             : nullptr;
    if (!Is(safeContents, kTagSequence)) {
        Log_Debug("PKCS12 unable to decode certificate store\n");
        return false;
    }
    uint32_t found = 0;
    X509* cert = nullptr;
    X509_Create(&cert);
    for (ASN1* bag = Child(safeContents, 0); bag; bag = bag->Next) {
        ASN1* octets = CertificateOctets(bag);
        if (octets == nullptr ||
            X509_BuildFromBuffer(cert, ASN1_GetValuePtr(octets), ASN1_GetValueSize(octets)) != 1)
            break;
        X509Chain_Add(pkcs12->Certificates, cert);
        found++;
    }
    X509_Release(&cert);
    if (found == 0) {
        Log_Debug("PKCS12 unable to find certificate in store\n");
        return false;
    }
    return true;
}

bool ReadAuthenticatedSafe(PKCS12* pkcs12, ASN1* octets, const Password& password) {
    Tree tree;
    const uint32_t size = ASN1_GetValueSize(octets);
    if (size == 0) return true;
    ASN1* safe = tree.Decode(ASN1_GetValuePtr(octets), size);
    if (!Is(safe, kTagSequence)) return false;
    for (ASN1* contentInfo = Child(safe, 0); contentInfo; contentInfo = contentInfo->Next) {
        char oid[kOidTextSize] = "";
        if (Is(contentInfo, kTagSequence)) OidText(Child(contentInfo, 0), oid);
        ASN1* content = Is(contentInfo, kTagSequence) ? Child(contentInfo, 1) : nullptr;
        bool ok;
        if (strcmp(oid, kOidData) == 0) {
            ok = ReadKeyBag(pkcs12, content, password);
        } else if (strcmp(oid, kOidEncryptedData) == 0) {
            ok = ReadCertificateBags(pkcs12, content, password);
        } else {
            Log_Debug("PKCS12 invalid data identifier (%s)\n", oid);
            ok = false;
        }
        if (!ok) return false;
    }
    return true;
}

// The MAC over the authSafe contents, keyed from the password with the MAC's own digest.
bool CheckMac(ASN1* macData, ASN1* octets, const Password& password) {
    ASN1* digestInfo = Is(macData, kTagSequence) ? Child(macData, 0) : nullptr;
    ASN1* algorithm = Is(digestInfo, kTagSequence) ? Child(digestInfo, 0) : nullptr;
    ASN1* stored = Child(digestInfo, 1);
    char oid[kOidTextSize] = "";
    if (Is(algorithm, kTagSequence)) OidText(Child(algorithm, 0), oid);
    const HashInterface* record = nullptr;
    if (oid[0] == 0 || Hash_InterfaceFromOid(oid, &record) != 1 || record == nullptr) return false;
    ASN1* salt = Child(macData, 1);
    if (!Is(salt, kTagOctetString) || ASN1_GetValueSize(salt) != kSaltSize) {
        Log_Debug("PKCS12 must use PBE-SHA1-RC4-128, invalid mac salt size\n");
        return false;
    }
    uint32_t iterations = 0;
    if (!ReadCount(Child(macData, 2), &iterations) || iterations > kMaxIterations) {
        Log_Debug("PKCS12 invalid mac iteration\n");
        return false;
    }
    const uint32_t size = record->DigestSize;
    if (size > kMaxKeyBuffer || size > kMaxDigestSize) {
        Log_Debug("PKCS12 key buffer overflow\n");
        return false;
    }
    if (!Is(stored, kTagOctetString) || ASN1_GetValueSize(stored) != size) {
        Log_Debug("PKCS12 invalid mac digest size\n");
        return false;
    }
    uint8_t key[kMaxDigestSize];
    uint8_t mac[kMaxDigestSize];
    bool ok = PKCS12_DeriveKey(record, password.Form.Data, password.Length, ASN1_GetValuePtr(salt), kSaltSize,
                               iterations, PKCS12_PURPOSE_MAC, key, size) == 1 &&
              HMAC_QuickDigest(record, ASN1_GetValuePtr(octets), ASN1_GetValueSize(octets), key, size, mac,
                               sizeof(mac)) == 1;
    Wipe(key, sizeof(key));
    if (ok) {
        const uint8_t* expected = ASN1_GetValuePtr(stored);
        uint8_t difference = 0;
        for (uint32_t i = 0; i < size; i++) difference |= (uint8_t)(mac[i] ^ expected[i]);
        ok = difference == 0;
    }
    if (!ok) Log_Debug("PKCS12 failed verification\n");
    return ok;
}

bool BuildInt(PKCS12* pkcs12, ASN1* root, const Password& password) {
    ASN1* pfx = Child(root, 0);
    if (!Is(pfx, kTagSequence)) return false;
    uint32_t version = 0;
    if (!ReadCount(Child(pfx, 0), &version) || version != 3) {
        Log_Debug("PKCS12 must be version 3 (%d)\n", (int32_t)version);
        return false;
    }
    ASN1* authSafe = Child(pfx, 1);
    ASN1* wrapper = Is(authSafe, kTagSequence) ? Child(authSafe, 1) : nullptr;
    ASN1* octets = Is(wrapper, kTagContext0) ? Child(wrapper, 0) : nullptr;
    if (!Is(octets, kTagOctetString)) {
        Log_Debug("PKCS12 unable to find pkcs7\n");
        return false;
    }
    ASN1* macData = Child(pfx, 2);
    if (macData == nullptr || !CheckMac(macData, octets, password)) return false;
    if (!ReadAuthenticatedSafe(pkcs12, octets, password)) {
        ClearRead(pkcs12);
        return false;
    }
    return true;
}

} // namespace

int64_t PKCS12_Create(PKCS12** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* pkcs12 = static_cast<PKCS12*>(Memory_AllocZero(sizeof(PKCS12)));
    pkcs12->Header.ClassId = PKCS12_CLASS_ID;
    pkcs12->Header.RefCount = 1;
    pkcs12->Header.Delete = DeleteHandle;
    X509Chain_Create(&pkcs12->Certificates);
    CryptAsymmetric_Create(&pkcs12->PrivateKey);
    *handle = pkcs12;
    return 1;
}

int64_t PKCS12_Delete(PKCS12** handle) {
    ASSERT_POINTER(handle);
    PKCS12* pkcs12 = *handle;
    CLASS_CHECK(pkcs12, PKCS12_CLASS_ID);
    X509Chain_Release(&pkcs12->Certificates);
    CryptAsymmetric_Release(&pkcs12->PrivateKey);
    pkcs12->Header.ClassId = 0;
    Memory_Free(pkcs12, sizeof(PKCS12));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(PKCS12, PKCS12, PKCS12_CLASS_ID)

int64_t PKCS12_Build(PKCS12* pkcs12, ASN1* root, const char* password) {
    CLASS_CHECK(pkcs12, PKCS12_CLASS_ID);
    CLASS_CHECK(root, ASN1_CLASS_ID);
    ClearRead(pkcs12);
    Password converted;
    if (!PasswordForm(password ? password : "", &converted)) return 0;
    return BuildInt(pkcs12, root, converted) ? 1 : 0;
}

uint32_t PKCS12_Count(PKCS12* pkcs12) {
    CLASS_CHECK(pkcs12, PKCS12_CLASS_ID);
    return X509Chain_Count(pkcs12->Certificates);
}

int64_t PKCS12_Get(PKCS12* pkcs12, int32_t index, X509** cert) {
    CLASS_CHECK(pkcs12, PKCS12_CLASS_ID);
    return X509Chain_Get(pkcs12->Certificates, index, cert);
}

int64_t PKCS12_IssuerFind(PKCS12* pkcs12, X509* cert, X509** issuer) {
    CLASS_CHECK(pkcs12, PKCS12_CLASS_ID);
    return X509Chain_IssuerFind(pkcs12->Certificates, cert, issuer);
}

int64_t PKCS12_Sign(PKCS12* pkcs12, const uint8_t* digest, uint32_t length, uint8_t* out, uint32_t size,
                    uint32_t* outLength) {
    CLASS_CHECK(pkcs12, PKCS12_CLASS_ID);
    return CryptAsymmetric_Sign(pkcs12->PrivateKey, digest, length, out, size, outLength);
}

int64_t PKCS12_GetPBEParams(ASN1* algorithm, const uint8_t** salt, uint32_t* iterations) {
    CLASS_CHECK(algorithm, ASN1_CLASS_ID);
    ASSERT_POINTER(salt);
    ASSERT_POINTER(iterations);
    *salt = nullptr;
    *iterations = 0;
    char oid[kOidTextSize] = "";
    if (Is(algorithm, kTagSequence)) OidText(Child(algorithm, 0), oid);
    if (strcmp(oid, kOidPbeSha1Rc4128) != 0) {
        Log_Debug("PKCS12 must use PBE-SHA1-RC4-128 (%s)\n", oid);
        return 0;
    }
    ASN1* params = Child(algorithm, 1);
    ASN1* saltNode = Is(params, kTagSequence) ? Child(params, 0) : nullptr;
    if (!Is(saltNode, kTagOctetString) || ASN1_GetValueSize(saltNode) != kSaltSize) {
        Log_Debug("PKCS12 must use PBE-SHA1-RC4-128, invalid salt size\n");
        return 0;
    }
    uint32_t count = 0;
    if (!ReadCount(Child(params, 1), &count) || count > kMaxIterations) {
        Log_Debug("PKCS12 invalid pbe iteration\n");
        return 0;
    }
    *salt = ASN1_GetValuePtr(saltNode);
    *iterations = count;
    return 1;
}

int64_t PKCS12_DeriveKey(const HashInterface* record, const uint8_t* password, uint32_t passwordLength,
                         const uint8_t* salt, uint32_t saltLength, uint32_t iterations, uint8_t purpose,
                         uint8_t* out, uint32_t length) {
    ASSERT_POINTER(record);
    ASSERT_POINTER(out);
    if (passwordLength) ASSERT_POINTER(password);
    if (saltLength) ASSERT_POINTER(salt);
    return Derive(record, password, passwordLength, salt, saltLength, iterations, purpose, out, length) ? 1
                                                                                                        : 0;
}

int64_t PKCS12_Decrypt(const uint8_t* password, uint32_t passwordLength, const uint8_t* salt,
                       uint32_t iterations, uint8_t* data, uint32_t length, uint8_t purpose) {
    ASSERT_POINTER(salt);
    if (length) ASSERT_POINTER(data);
    if (purpose != PKCS12_PURPOSE_KEY)
        return PKCS12_DeriveKey(&SHA1_INTERFACE, password, passwordLength, salt, kSaltSize, iterations,
                                purpose, data, length);
    uint8_t key[kRc4KeySize];
    bool ok = PKCS12_DeriveKey(&SHA1_INTERFACE, password, passwordLength, salt, kSaltSize, iterations,
                               purpose, key, kRc4KeySize) == 1 &&
              Rc4Decrypt(key, data, length);
    Wipe(key, sizeof(key));
    return ok ? 1 : 0;
}

int64_t PKCS12_PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

CLASS_PRINT_FAMILY(PKCS12, PKCS12, PKCS12_CLASS_ID, PreparePrint)
