// CertStoreJWKS: a trust store over a JSON Web Key Set (RFC 7517) held in a Dictionary. Members
// are found by "kid", "x5t#S256" or "x5t"; only signing members ("use" "sig") of the requested
// algorithm count, and their RSA ("n", "e") or EC ("x", "y") numbers become the key.
#include "core/certs/cert_store_jwks.h"

#include <cstring>

#include "core/certs/cert_store_internal.h"
#include "core/certs/jws.h"
#include "core/certs/x509.h"
#include "core/crypto/big_integer.h"
#include "core/crypto/crypt_asymmetric.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/formats/base64.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"

struct CertStoreJWKS : CertStoreBase {
    Dictionary* Keys;
};

namespace {

// The largest key part any supported key has: an 8192-bit RSA modulus.
constexpr size_t kMaxValueBytes = 1024;
constexpr size_t kMaxValueText = (kMaxValueBytes * 4 + 2) / 3;

int64_t DeleteHandle(void** handle) {
    auto* store = static_cast<CertStoreJWKS*>(*handle);
    CLASS_CHECK(store, CERTSTOREJWKS_CLASS_ID);
    Dictionary_Release(&store->Keys);
    CertStore_DropInterface(store);
    store->Header.ClassId = 0;
    Memory_Free(store, sizeof(CertStoreJWKS));
    *handle = nullptr;
    return 1;
}

// The key set's top-level object, whether the set was given as that object or as the
// dictionary a JSON load fills (one unnamed item holding it).
Dictionary* Root(CertStoreJWKS* store) {
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(store->Keys, &root);
    return root;
}

// Tries one header property against the members' property of the same or another name.
bool LoadBy(Dictionary* root, uint32_t algorithm, Dictionary* header, const char* headerName,
            const char* memberName, CryptAsymmetric* key) {
    const char* value = nullptr;
    if (!Dictionary_GetStringPtrByKey(header, headerName, &value) || !value) return false;
    return CertStoreJWKS_CAFromJWKSProperty(root, algorithm, memberName, value, key) == 1;
}

bool LoadByX5C(Dictionary* root, uint32_t algorithm, Dictionary* header, const HashInterface* record,
               const char* memberName, CryptAsymmetric* key) {
    char text[CERTSTOREJWKS_THUMBPRINT_TEXT_SIZE];
    if (JWS_HeaderBase64ThumbprintFromX5C(header, record, text, (int32_t)sizeof text) != 1 || text[0] == 0)
        return false;
    return CertStoreJWKS_CAFromJWKSProperty(root, algorithm, memberName, text, key) == 1;
}

} // namespace

int64_t CertStoreJWKS_Create(CertStoreJWKS** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* store = static_cast<CertStoreJWKS*>(Memory_AllocZero(sizeof(CertStoreJWKS)));
    store->Header.ClassId = CERTSTOREJWKS_CLASS_ID;
    store->Header.RefCount = 1;
    store->Header.Delete = DeleteHandle;
    Dictionary_Create(&store->Keys);
    CertStore_InitInterface(store);
    CertStoreInterface_SetAddRefCallback(store->Interface, store, CertStoreJWKS_InterfaceAddRef);
    CertStoreInterface_SetReleaseCallback(store->Interface, store, CertStoreJWKS_InterfaceRelease);
    CertStoreInterface_SetX509IsTrustedCallback(store->Interface, store, CertStoreJWKS_InterfaceX509IsTrusted);
    CertStoreInterface_SetX509IsTrustedJWSCallback(store->Interface, store,
                                                   CertStoreJWKS_InterfaceX509IsTrustedJWS);
    *handle = store;
    return 1;
}

CLASS_BASICS(CertStoreJWKS, CertStoreJWKS, CERTSTOREJWKS_CLASS_ID)

CertStoreInterface* CertStoreJWKS_GetInterfaceHandle(CertStoreJWKS* store) {
    CLASS_CHECK(store, CERTSTOREJWKS_CLASS_ID);
    return CertStoreInterface_AddRef(store->Interface);
}

int64_t CertStoreJWKS_SetJWKSHandle(CertStoreJWKS* store, Dictionary* jwks) {
    CLASS_CHECK(store, CERTSTOREJWKS_CLASS_ID);
    ASSERT_POINTER(jwks);
    Dictionary_Sync(store->Keys, jwks, nullptr, nullptr);
    return 1;
}

int64_t CertStoreJWKS_MemberFromJWKSProperty(Dictionary* root, uint32_t algorithm, const char* name,
                                             const char* value, Dictionary** member) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    ASSERT_POINTER(member);
    *member = nullptr;
    Dictionary* keys = nullptr;
    if (!root || !Dictionary_GetListByKey(root, "keys", &keys)) return 0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(keys, &item); item; Dictionary_ItemGetNext(keys, item, &item)) {
        Dictionary* candidate = nullptr;
        if (Dictionary_ItemCompareType(keys, item, DICTIONARY_TYPE_DICTIONARY) != 1 ||
            !Dictionary_ItemGetDictionaryHandle(keys, item, &candidate) || !candidate)
            continue;
        const char* use = nullptr;
        const char* property = nullptr;
        uint32_t code = 0;
        if (!Dictionary_GetStringPtrByKey(candidate, "use", &use) || strcmp(use, "sig") != 0) continue;
        if (!JWS_HeaderGetAlgorithm(candidate, &code) || code != algorithm) continue;
        if (!Dictionary_GetStringPtrByKey(candidate, name, &property) || strcmp(property, value) != 0) continue;
        *member = candidate;
        return 1;
    }
    return 0;
}

int64_t CertStoreJWKS_BigIntFromBase64Value(const char* text, BigInt* value) {
    ASSERT_POINTER(text);
    CLASS_CHECK(value, BIGINT_CLASS_ID);
    const size_t length = strnlen(text, kMaxValueText + 1);
    if (length == 0 || length > kMaxValueText) return 0;
    uint32_t capacity = 0;
    Base64_CalculateDecodeSize((uint32_t)length, &capacity);
    auto* bytes = static_cast<uint8_t*>(Memory_Alloc(capacity));
    uint32_t decoded = 0;
    const int64_t result = Base64_UrlDecode(text, (int32_t)length, bytes, (int32_t)capacity, &decoded) == 1 &&
                           BigInt_ImportBinary(value, bytes, decoded) == 1;
    Memory_Free(bytes, capacity);
    return result;
}

int64_t CertStoreJWKS_CAFromJWKSPropertyNames(Dictionary* member, CryptAsymmetric* key, const char* first,
                                              const char* second) {
    ASSERT_POINTER(member);
    CLASS_CHECK(key, CRYPT_ASYMMETRIC_CLASS_ID);
    const char* firstText = nullptr;
    const char* secondText = nullptr;
    if (!Dictionary_GetStringPtrByKey(member, first, &firstText) ||
        !Dictionary_GetStringPtrByKey(member, second, &secondText))
        return 0;
    BigInt* a = nullptr;
    BigInt* b = nullptr;
    BigInt_Create(&a);
    BigInt_Create(&b);
    const int64_t result = CertStoreJWKS_BigIntFromBase64Value(firstText, a) == 1 &&
                                   CertStoreJWKS_BigIntFromBase64Value(secondText, b) == 1
                               ? CryptAsymmetric_SetPublicKeyPair(key, a, b)
                               : 0;
    BigInt_Release(&a);
    BigInt_Release(&b);
    return result;
}

int64_t CertStoreJWKS_CAFromJWKSProperty(Dictionary* root, uint32_t algorithm, const char* name, const char* value,
                                         CryptAsymmetric* key) {
    Dictionary* member = nullptr;
    if (!CertStoreJWKS_MemberFromJWKSProperty(root, algorithm, name, value, &member)) return 0;
    if (JWS_IsRS(algorithm)) return CertStoreJWKS_CAFromJWKSPropertyNames(member, key, "e", "n");
    if (JWS_IsES(algorithm)) return CertStoreJWKS_CAFromJWKSPropertyNames(member, key, "x", "y");
    return 0;
}

int64_t CertStoreJWKS_Base64ThumbprintFromX509(X509* cert, const HashInterface* record, char* text) {
    ASSERT_POINTER(record);
    ASSERT_POINTER(text);
    text[0] = 0;
    uint8_t digest[64];
    if (record->DigestSize > sizeof digest || X509_Thumbprint(cert, record, digest, (int32_t)sizeof digest) != 1)
        return 0;
    uint32_t written = 0;
    return Base64_UrlEncode(digest, (int32_t)record->DigestSize, text, CERTSTOREJWKS_THUMBPRINT_TEXT_SIZE,
                            &written);
}

CertStoreInterface* CertStoreJWKS_InterfaceAddRef(CertStoreInterface* handle, void* store) {
    Class_AddRef(store);
    return handle;
}

int64_t CertStoreJWKS_InterfaceRelease(CertStoreInterface** handle, void* store) {
    *handle = nullptr;
    Class_Release(&store);
    return 1;
}

int64_t CertStoreJWKS_InterfaceX509IsTrusted(CertStoreInterface*, void* user, X509* cert, uint32_t* stop) {
    auto* store = static_cast<CertStoreJWKS*>(user);
    ASSERT_POINTER(stop);
    *stop = 0;
    if (!cert) return 0;
    const HashInterface* own = nullptr;
    if (!X509_GetHashInterface(cert, &own)) return 0;
    const uint32_t algorithm = JWS_GetAlgorithmRS(own);
    if (algorithm == JWS_ALGORITHM_UNKNOWN) return 0;
    Dictionary* root = Root(store);
    Dictionary* member = nullptr;
    char text[CERTSTOREJWKS_THUMBPRINT_TEXT_SIZE];
    if (CertStoreJWKS_Base64ThumbprintFromX509(cert, &SHA256_INTERFACE, text) &&
        CertStoreJWKS_MemberFromJWKSProperty(root, algorithm, "x5t#S256", text, &member))
        return 1;
    return CertStoreJWKS_Base64ThumbprintFromX509(cert, &SHA1_INTERFACE, text) &&
           CertStoreJWKS_MemberFromJWKSProperty(root, algorithm, "x5t", text, &member);
}

int64_t CertStoreJWKS_InterfaceX509IsTrustedJWS(CertStoreInterface*, void* user, Dictionary* header,
                                                CryptAsymmetric** key, uint32_t* stop) {
    auto* store = static_cast<CertStoreJWKS*>(user);
    ASSERT_POINTER(key);
    ASSERT_POINTER(stop);
    *stop = 0;
    *key = nullptr;
    uint32_t algorithm = 0;
    if (!header || !JWS_HeaderGetAlgorithm(header, &algorithm)) return 0;
    CryptAsymmetric* crypt = nullptr;
    CryptAsymmetric_Create(&crypt);
    if (JWS_IsES(algorithm)) {
        CryptAsymmetric_ResetInterface(crypt, &ECDSA_INTERFACE);
        CryptAsymmetric_InitParams(crypt, JWS_TranslateAlgorithmOid(algorithm), 0);
    } else {
        CryptAsymmetric_ResetInterface(crypt, &RSA_INTERFACE);
    }
    Dictionary* root = Root(store);
    const bool loaded = LoadBy(root, algorithm, header, "kid", "kid", crypt) ||
                        LoadBy(root, algorithm, header, "x5t#S256", "x5t#S256", crypt) ||
                        LoadBy(root, algorithm, header, "x5t", "x5t", crypt) ||
                        LoadByX5C(root, algorithm, header, &SHA256_INTERFACE, "x5t#S256", crypt) ||
                        LoadByX5C(root, algorithm, header, &SHA1_INTERFACE, "x5t", crypt);
    if (!loaded) {
        CryptAsymmetric_Release(&crypt);
        return 0;
    }
    *key = crypt;
    return 1;
}
