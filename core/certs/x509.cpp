// X509: lifetime, values, signature checks, comparisons and printing of a built certificate.
#include <cstring>

#include "core/certs/x509_internal.h"
#include "core/crypto/md2.h"
#include "core/crypto/md4.h"
#include "core/crypto/md5.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/formats/base64.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

// Dump values are cut to this many characters.
constexpr int32_t kDumpValueSize = 240;
constexpr uint32_t kMaxDigestSize = 64;

int64_t DeleteHandle(void** handle) {
    return X509_Delete(reinterpret_cast<X509**>(handle));
}

void PreparePrint(X509* cert) {
    ClassPrint_Prepare(&cert->Print, cert, "X509", X509_PrintInternal);
}

// Digests broken enough that a signature made with them proves nothing.
bool IsWeakHash(const HashInterface* record) {
    return record == &MD2_INTERFACE || record == &MD4_INTERFACE || record == &MD5_INTERFACE;
}

void DumpThumbprints(X509* cert, const HashInterface* record, const char* hexLabel, const char* base64Label) {
    uint8_t digest[kMaxDigestSize];
    if (!X509_Thumbprint(cert, record, digest, (int32_t)sizeof(digest))) return;
    char text[kDumpValueSize];
    Hash_ConvertDigestToString(digest, (int32_t)record->DigestSize, 0, text, (int32_t)sizeof(text));
    X509_Print(cert, hexLabel, text);
    uint32_t written = 0;
    text[0] = 0;
    Base64_Encode(digest, (int32_t)record->DigestSize, text, (int32_t)sizeof(text), &written);
    X509_Print(cert, base64Label, text);
}

} // namespace

int64_t X509_Create(X509** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* cert = static_cast<X509*>(Memory_AllocZero(sizeof(X509)));
    cert->Header.ClassId = X509_CLASS_ID;
    cert->Header.RefCount = 1;
    cert->Header.Delete = DeleteHandle;
    cert->PathLength = -1;
    ASN1_Create(&cert->Tree);
    X500_Create(&cert->Issuer);
    X500_Create(&cert->Subject);
    BigInt_Create(&cert->Serial);
    CryptAsymmetric_Create(&cert->PublicKey);
    X509_ClearBuilt(cert);
    *handle = cert;
    return 1;
}

int64_t X509_Delete(X509** handle) {
    ASSERT_POINTER(handle);
    X509* cert = *handle;
    CLASS_CHECK(cert, X509_CLASS_ID);
    X509_ClearBuilt(cert);
    ASN1_Release(&cert->Tree);
    X500_Release(&cert->Issuer);
    X500_Release(&cert->Subject);
    BigInt_Release(&cert->Serial);
    CryptAsymmetric_Release(&cert->PublicKey);
    cert->Header.ClassId = 0;
    Memory_Free(cert, sizeof(X509));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(X509, X509, X509_CLASS_ID)

int64_t X509_GetASN1(X509* cert, const uint8_t** der, uint32_t* length) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(der);
    ASSERT_POINTER(length);
    *der = cert->Der;
    *length = cert->DerLength;
    return cert->Der != nullptr;
}

int64_t X509_GetHashInterface(X509* cert, const HashInterface** record) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(record);
    *record = cert->SignatureHash;
    return cert->SignatureHash != nullptr;
}

int64_t X509_GetSubjectHandle(X509* cert, X500** name) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(name);
    *name = cert->Subject;
    return 1;
}

int64_t X509_GetIssuerHandle(X509* cert, X500** name) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(name);
    *name = cert->Issuer;
    return 1;
}

int64_t X509_GetSerialNumberHandle(X509* cert, BigInt** serial) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(serial);
    *serial = cert->Serial;
    return 1;
}

int64_t X509_GetCryptAsymmetricHandle(X509* cert, CryptAsymmetric** key) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(key);
    *key = cert->PublicKey;
    return cert->Built;
}

int64_t X509_GetVersion(X509* cert, int32_t* version) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(version);
    *version = cert->Version;
    return cert->Built;
}

int64_t X509_GetValidity(X509* cert, double* notBefore, double* notAfter) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(notBefore);
    ASSERT_POINTER(notAfter);
    *notBefore = cert->NotBefore;
    *notAfter = cert->NotAfter;
    return cert->ValidityRead;
}

int64_t X509_GetBasicConstraints(X509* cert, uint32_t* isCA, int32_t* pathLength) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(isCA);
    ASSERT_POINTER(pathLength);
    *isCA = cert->IsCA;
    *pathLength = cert->PathLength;
    return cert->HasBasicConstraints;
}

int64_t X509_GetKeyUsage(X509* cert, uint32_t* usage) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(usage);
    *usage = cert->KeyUsage;
    return cert->HasKeyUsage;
}

int64_t X509_GetSubjectAltName(X509* cert, const uint8_t** der, uint32_t* length) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(der);
    ASSERT_POINTER(length);
    *der = cert->SubjectAltName;
    *length = cert->SubjectAltNameLength;
    return cert->SubjectAltName != nullptr;
}

int64_t X509_Thumbprint(X509* cert, const HashInterface* record, uint8_t* digest, int32_t size) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    ASSERT_POINTER(record);
    ASSERT_POINTER(digest);
    if (size > 0) memset(digest, 0, (size_t)size);
    if (!cert->Built || size < 1) return 0;
    return Hash_QuickDigest(record, cert->Der, (int32_t)cert->DerLength, digest, size) > 0;
}

int64_t X509_VerifyDigest(X509* cert, const uint8_t* digest, uint32_t digestLength, const uint8_t* signature,
                          uint32_t signatureLength, uint32_t version) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    if (!cert->Built || !digest || !signature) return 0;
    if (CryptAsymmetric_Verify(cert->PublicKey, digest, digestLength, signature, signatureLength, version) == 1)
        return 1;
    X509_VerboseLog(cert, 0, "Verify signature failed");
    return 0;
}

int64_t X509_VerifyHash(X509* cert, Hash* hash, const uint8_t* signature, uint32_t signatureLength) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    CLASS_CHECK(hash, HASH_CLASS_ID);
    uint8_t digest[kMaxDigestSize];
    const uint32_t size = Hash_GetDigestSize(hash);
    if (!Hash_IsGenerated(hash) || size == 0 || size > kMaxDigestSize ||
        Hash_GetDigest(hash, digest, (uint32_t)sizeof(digest)) <= 0) {
        X509_VerboseLog(cert, 0, "Failed to get digest");
        return 0;
    }
    return X509_VerifyDigest(cert, digest, size, signature, signatureLength, RSA_SIGNATURE_VERSION_PCS21);
}

int64_t X509_VerifyIssued(X509* issuer, X509* cert) {
    CLASS_CHECK(issuer, X509_CLASS_ID);
    CLASS_CHECK(cert, X509_CLASS_ID);
    if (!issuer->Built || !cert->Built || !cert->SignatureHash) return 0;
    if (IsWeakHash(cert->SignatureHash)) {
        X509_VerboseLog(cert, 0, "Signature hash %s refused", cert->SignatureHash->Name);
        return 0;
    }
    Hash* hash = nullptr;
    Hash_Create(&hash);
    Hash_SetInterface(hash, cert->SignatureHash);
    int64_t result = 0;
    uint32_t processed = 0;
    if (Hash_Process(hash, cert->Tbs, cert->TbsLength, &processed) != 1) {
        X509_VerboseLog(cert, 0, "Hash process failed");
    } else if (Hash_Generate(hash) != 1) {
        X509_VerboseLog(cert, 0, "Hash generate failed");
    } else {
        result = X509_VerifyHash(issuer, hash, cert->Signature, cert->SignatureLength);
    }
    Hash_Release(&hash);
    return result;
}

int64_t X509_Encrypt(X509* cert, const uint8_t* input, uint32_t length, uint8_t* output, uint32_t size,
                     uint32_t* outLength) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    return CryptAsymmetric_PublicKeyEncrypt(cert->PublicKey, input, length, output, size, outLength);
}

int64_t X509_Compare(X509* first, X509* second) {
    CLASS_CHECK(first, X509_CLASS_ID);
    CLASS_CHECK(second, X509_CLASS_ID);
    return first->DerLength == second->DerLength && first->DerLength > 0 &&
           memcmp(first->Der, second->Der, first->DerLength) == 0;
}

int64_t X509_CompareBySubjectAndSerialNumber(X509* cert, X500* subject, BigInt* serial) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    return X500_Compare(cert->Subject, subject) && BigInt_Equal(cert->Serial, serial);
}

int64_t X509_CompareByIssuerAndSerialNumber(X509* cert, X500* issuer, BigInt* serial) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    return X500_Compare(cert->Issuer, issuer) && BigInt_Equal(cert->Serial, serial);
}

int64_t X509_CompareIssuer(X509* cert, X509* candidate) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    CLASS_CHECK(candidate, X509_CLASS_ID);
    return X500_Compare(cert->Issuer, candidate->Subject);
}

int64_t X509_Dump(X509* cert) {
    CLASS_CHECK(cert, X509_CLASS_ID);
    char text[kDumpValueSize];
    const struct {
        int64_t (*Get)(X500*, char*, int32_t);
        const char* Format;
    } names[] = {{X500_GetCN, "Common Name - %s"},
                 {X500_GetO, "Organization - %s"},
                 {X500_GetOU, "Organization Unit - %s"}};
    for (const auto& name : names) {
        name.Get(cert->Subject, text, (int32_t)sizeof(text));
        if (text[0]) X509_Print(cert, name.Format, text);
    }
    // The hex text of the serial may be longer than what is printed: cut like every value.
    const uint32_t serialSize = (uint32_t)BigInt_ByteCount(cert->Serial) * 2 + 4;
    auto* serial = static_cast<char*>(Memory_AllocZero(serialSize));
    BigInt_ExportHex(cert->Serial, serial, serialSize);
    String_CopyLengthSafe(text, (int32_t)sizeof(text), serial, (int32_t)serialSize);
    Memory_Free(serial, serialSize);
    X509_Print(cert, "Serial Number - %s", text);
    DumpThumbprints(cert, &SHA1_INTERFACE, "SHA1 Thumbprint - %s", "SHA1 Base64 Thumbprint - %s");
    DumpThumbprints(cert, &SHA256_INTERFACE, "SHA256 Thumbprint - %s", "SHA256 Base64 Thumbprint - %s");
    return 1;
}

int64_t X509_PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

CLASS_PRINT_FAMILY(X509, X509, X509_CLASS_ID, PreparePrint)
