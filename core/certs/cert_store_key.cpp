// CertStoreKey: holds one secret (the key of HMAC-signed tokens) decoded from Base64; trusts no
// certificate.
#include <cstring>

#include "core/certs/cert_store_internal.h"
#include "core/formats/base64.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"

struct CertStoreKey : CertStoreBase {
    uint8_t* Key;
    uint32_t Capacity;
    uint32_t Length;
};

namespace {

void FreeKey(CertStoreKey* store) {
    if (store->Key) {
        // A secret does not linger in freed memory.
        memset(store->Key, 0, store->Capacity);
        Memory_Free(store->Key, store->Capacity);
    }
    store->Key = nullptr;
    store->Capacity = store->Length = 0;
}

int64_t DeleteHandle(void** handle) {
    auto* store = static_cast<CertStoreKey*>(*handle);
    CLASS_CHECK(store, CERTSTOREKEY_CLASS_ID);
    FreeKey(store);
    CertStore_DropInterface(store);
    store->Header.ClassId = 0;
    Memory_Free(store, sizeof(CertStoreKey));
    *handle = nullptr;
    return 1;
}

int64_t GetKey(CertStoreInterface*, void* user, const uint8_t** key, uint32_t* size) {
    auto* store = static_cast<CertStoreKey*>(user);
    if (!store->Key) return 0;
    *key = store->Key;
    *size = store->Length;
    return 1;
}

} // namespace

int64_t CertStoreKey_Create(CertStoreKey** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* store = static_cast<CertStoreKey*>(Memory_AllocZero(sizeof(CertStoreKey)));
    store->Header.ClassId = CERTSTOREKEY_CLASS_ID;
    store->Header.RefCount = 1;
    store->Header.Delete = DeleteHandle;
    CertStore_InitInterface(store);
    CertStoreInterface_SetGetKeyCallback(store->Interface, store, GetKey);
    CertStoreInterface_SetX509IsTrustedCallback(store->Interface, store, CertStore_TrustsNothing);
    CertStoreInterface_SetX509IsTrustedJWSCallback(store->Interface, store, CertStore_TrustsNothingJWS);
    *handle = store;
    return 1;
}

CertStoreInterface* CertStoreKey_GetInterfaceHandle(CertStoreKey* store) {
    CLASS_CHECK(store, CERTSTOREKEY_CLASS_ID);
    return CertStoreInterface_AddRef(store->Interface);
}

int64_t CertStoreKey_Decode(CertStoreKey* store, const char* text) {
    CLASS_CHECK(store, CERTSTOREKEY_CLASS_ID);
    ASSERT_POINTER(text);
    const size_t length = strlen(text);
    FreeKey(store);
    uint32_t capacity = 0;
    if (length > 0x7FFFFFFF || !Base64_CalculateDecodeSize((uint32_t)length, &capacity) || capacity == 0) return 0;
    store->Key = static_cast<uint8_t*>(Memory_Alloc(capacity));
    store->Capacity = capacity;
    uint32_t decoded = 0;
    if (Base64_Decode(text, (int32_t)length, store->Key, (int32_t)capacity, &decoded) != 1) {
        FreeKey(store);
        return 0;
    }
    store->Length = decoded;
    return 1;
}

CLASS_BASICS(CertStoreKey, CertStoreKey, CERTSTOREKEY_CLASS_ID)
