// CryptAsymmetric: forwards each public-key operation to the instance of the bound algorithm
// record, and reads a SubjectPublicKeyInfo into whichever algorithm it names.
#include "core/crypto/crypt_asymmetric.h"

#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

constexpr const char* kOidEcPublicKey = "1.2.840.10045.2.1";
constexpr const char* kOidRsaEncryption = "1.2.840.113549.1.1.1";
// Room for any OID text a SubjectPublicKeyInfo may name.
constexpr int32_t kOidTextSize = 321;
// ASN.1 universal types read here.
constexpr uint32_t kTypeBitString = 3;

int64_t DeleteHandle(void** handle) {
    return CryptAsymmetric_Delete(reinterpret_cast<CryptAsymmetric**>(handle));
}

void PreparePrint(CryptAsymmetric* crypt) {
    ClassPrint_Prepare(&crypt->Print, crypt, "CryptAsymmetric", CryptAsymmetric_PrintInternal);
}

void DropInstance(CryptAsymmetric* crypt) {
    if (crypt->Interface && crypt->Instance) crypt->Interface->Delete(&crypt->Instance);
    crypt->Instance = nullptr;
}

// The slot about to be called, or null while unbound (the caller then answers 0). A bound record
// that leaves the slot empty is a programming error.
template <typename Slot> Slot Bound(CryptAsymmetric* crypt, Slot CryptAsymmetricInterface::*slot, const char* what) {
    CLASS_CHECK(crypt, CRYPT_ASYMMETRIC_CLASS_ID);
    if (!crypt->Interface || !crypt->Instance) return nullptr;
    Slot fn = crypt->Interface->*slot;
    if (!fn) Debug_Abort("%s: the %s record has no such operation\n", what, crypt->Interface->Name);
    return fn;
}

} // namespace

int64_t CryptAsymmetric_Create(CryptAsymmetric** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* crypt = static_cast<CryptAsymmetric*>(Memory_AllocZero(sizeof(CryptAsymmetric)));
    crypt->Header.ClassId = CRYPT_ASYMMETRIC_CLASS_ID;
    crypt->Header.RefCount = 1;
    crypt->Header.Delete = DeleteHandle;
    *handle = crypt;
    return 1;
}

int64_t CryptAsymmetric_Delete(CryptAsymmetric** handle) {
    ASSERT_POINTER(handle);
    CryptAsymmetric* crypt = *handle;
    CLASS_CHECK(crypt, CRYPT_ASYMMETRIC_CLASS_ID);
    DropInstance(crypt);
    crypt->Header.ClassId = 0;
    Memory_Free(crypt, sizeof(CryptAsymmetric));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(CryptAsymmetric, CryptAsymmetric, CRYPT_ASYMMETRIC_CLASS_ID)

int64_t CryptAsymmetric_InterfaceFromName(const char* name, const CryptAsymmetricInterface** record) {
    ASSERT_POINTER(record);
    *record = nullptr;
    if (name && String_CompareWithoutCase(name, RSA_INTERFACE.Name)) *record = &RSA_INTERFACE;
    else if (name && String_CompareWithoutCase(name, ECDSA_INTERFACE.Name)) *record = &ECDSA_INTERFACE;
    if (*record) return 1;
    Log_Print(LOG_LEVEL_ERROR, "Unsupported asymmetric cryptographic algorithm %s\n", name ? name : "");
    return 0;
}

int64_t CryptAsymmetric_InterfaceFromOid(const char* oid, const CryptAsymmetricInterface** record) {
    ASSERT_POINTER(record);
    *record = nullptr;
    if (oid && String_Compare(oid, kOidEcPublicKey)) *record = &ECDSA_INTERFACE;
    else if (oid && String_Compare(oid, kOidRsaEncryption)) *record = &RSA_INTERFACE;
    if (*record) return 1;
    Log_Print(LOG_LEVEL_ERROR, "Unsupported asymmetric cryptographic algorithm %s\n", oid ? oid : "");
    return 0;
}

int64_t CryptAsymmetric_ResetInterface(CryptAsymmetric* crypt, const CryptAsymmetricInterface* record) {
    CLASS_CHECK(crypt, CRYPT_ASYMMETRIC_CLASS_ID);
    ASSERT_POINTER(record);
    ASSERT_MSG(record->Name && record->Create && record->Delete && record->HasPrivateKey &&
                   record->SetPrivateKey && record->SetPublicKey && record->PublicKeyEncrypt && record->Verify,
               "%s: incomplete public-key record\n", "CryptAsymmetric_ResetInterface");
    DropInstance(crypt);
    crypt->Interface = record;
    if (!record->Create(&crypt->Instance)) crypt->Instance = nullptr;
    return 1;
}

int64_t CryptAsymmetric_InitParams(CryptAsymmetric* crypt, const char* params, uint32_t extra) {
    auto fn = Bound(crypt, &CryptAsymmetricInterface::InitParams, "CryptAsymmetric_InitParams");
    return fn ? fn(crypt->Instance, params, extra) : 0;
}

int64_t CryptAsymmetric_CanSign(CryptAsymmetric* crypt) {
    auto fn = Bound(crypt, &CryptAsymmetricInterface::HasPrivateKey, "CryptAsymmetric_CanSign");
    return fn ? fn(crypt->Instance) : 0;
}

int64_t CryptAsymmetric_SetPrivateKey(CryptAsymmetric* crypt, const uint8_t* der, uint32_t count) {
    auto fn = Bound(crypt, &CryptAsymmetricInterface::SetPrivateKey, "CryptAsymmetric_SetPrivateKey");
    return fn ? fn(crypt->Instance, der, count) : 0;
}

int64_t CryptAsymmetric_SetPublicKey(CryptAsymmetric* crypt, const uint8_t* key, uint32_t count, uint32_t extra) {
    auto fn = Bound(crypt, &CryptAsymmetricInterface::SetPublicKey, "CryptAsymmetric_SetPublicKey");
    return fn ? fn(crypt->Instance, key, count, extra) : 0;
}

int64_t CryptAsymmetric_SetPublicKeyPair(CryptAsymmetric* crypt, const BigInt* first, const BigInt* second) {
    auto fn = Bound(crypt, &CryptAsymmetricInterface::SetPublicKeyPair, "CryptAsymmetric_SetPublicKeyPair");
    return fn ? fn(crypt->Instance, first, second) : 0;
}

int64_t CryptAsymmetric_PublicKeyEncrypt(CryptAsymmetric* crypt, const uint8_t* data, uint32_t length,
                                         uint8_t* out, uint32_t size, uint32_t* outLength) {
    if (outLength) *outLength = 0;
    auto fn = Bound(crypt, &CryptAsymmetricInterface::PublicKeyEncrypt, "CryptAsymmetric_PublicKeyEncrypt");
    return fn ? fn(crypt->Instance, data, length, out, size, outLength) : 0;
}

int64_t CryptAsymmetric_Sign(CryptAsymmetric* crypt, const uint8_t* digest, uint32_t length, uint8_t* out,
                             uint32_t size, uint32_t* outLength) {
    if (outLength) *outLength = 0;
    auto fn = Bound(crypt, &CryptAsymmetricInterface::Sign, "CryptAsymmetric_Sign");
    return fn ? fn(crypt->Instance, digest, length, out, size, outLength) : 0;
}

int64_t CryptAsymmetric_Verify(CryptAsymmetric* crypt, const uint8_t* digest, uint32_t digestLength,
                               const uint8_t* signature, uint32_t signatureLength, uint32_t version) {
    auto fn = Bound(crypt, &CryptAsymmetricInterface::Verify, "CryptAsymmetric_Verify");
    return fn ? fn(crypt->Instance, digest, digestLength, signature, signatureLength, version) : 0;
}

int64_t CryptAsymmetric_Reset(CryptAsymmetric* crypt) {
    auto fn = Bound(crypt, &CryptAsymmetricInterface::Reset, "CryptAsymmetric_Reset");
    return fn ? fn(crypt->Instance) : 1;
}

int64_t CryptAsymmetric_SetPublicKeyFromASN1(CryptAsymmetric* crypt, ASN1* info) {
    CLASS_CHECK(crypt, CRYPT_ASYMMETRIC_CLASS_ID);
    if (!info) return 0;
    // Every element is looked for before it is read: the node comes from outside input.
    ASN1* algorithm = ASN1_GetElement(info, 0);
    ASN1* algorithmOid = algorithm ? ASN1_GetElement(algorithm, 0) : nullptr;
    char oid[kOidTextSize];
    if (!algorithmOid || !ASN1_ParseOid(algorithmOid, oid, kOidTextSize)) return 0;
    const CryptAsymmetricInterface* record = nullptr;
    if (!CryptAsymmetric_InterfaceFromOid(oid, &record)) {
        CryptAsymmetric_VerboseLog(crypt, 0, "Unsupported public key algorithm %s", oid);
        return 0;
    }
    CryptAsymmetric_ResetInterface(crypt, record);
    if (record == &ECDSA_INTERFACE) {
        ASN1* curveOid = ASN1_GetElement(algorithm, 1);
        char curve[kOidTextSize];
        if (!curveOid || !ASN1_ParseOid(curveOid, curve, kOidTextSize)) return 0;
        if (!CryptAsymmetric_InitParams(crypt, curve, 0)) return 0;
    }
    ASN1* bits = ASN1_GetElement(info, 1);
    if (!bits || ASN1_GetType(bits) != kTypeBitString || ASN1_GetValueSize(bits) < 1) return 0;
    const uint8_t* value = ASN1_GetValuePtr(bits);
    if (value[0] != 0) {
        CryptAsymmetric_VerboseLog(crypt, 0, "Unsupported BIT STRING unused bits count (%d)", (int32_t)value[0]);
        return 0;
    }
    return CryptAsymmetric_SetPublicKey(crypt, value + 1, ASN1_GetValueSize(bits) - 1, 0) ? 1 : 0;
}

int64_t CryptAsymmetric_IsRSA(CryptAsymmetric* crypt) {
    CLASS_CHECK(crypt, CRYPT_ASYMMETRIC_CLASS_ID);
    return crypt->Interface == &RSA_INTERFACE ? 1 : 0;
}

int64_t CryptAsymmetric_IsECDSA(CryptAsymmetric* crypt) {
    CLASS_CHECK(crypt, CRYPT_ASYMMETRIC_CLASS_ID);
    return crypt->Interface == &ECDSA_INTERFACE ? 1 : 0;
}

int64_t CryptAsymmetric_PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

CLASS_PRINT_FAMILY(CryptAsymmetric, CryptAsymmetric, CRYPT_ASYMMETRIC_CLASS_ID, PreparePrint)
