// CertStoreNull: the store that trusts nothing and holds no key.
#include "core/certs/cert_store_internal.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"

struct CertStoreNull : CertStoreBase {};

namespace {

int64_t DeleteHandle(void** handle) {
    auto* store = static_cast<CertStoreNull*>(*handle);
    CLASS_CHECK(store, CERTSTORENULL_CLASS_ID);
    CertStore_DropInterface(store);
    store->Header.ClassId = 0;
    Memory_Free(store, sizeof(CertStoreNull));
    *handle = nullptr;
    return 1;
}

} // namespace

int64_t CertStoreNull_Create(CertStoreNull** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* store = static_cast<CertStoreNull*>(Memory_AllocZero(sizeof(CertStoreNull)));
    store->Header.ClassId = CERTSTORENULL_CLASS_ID;
    store->Header.RefCount = 1;
    store->Header.Delete = DeleteHandle;
    CertStore_InitInterface(store);
    CertStoreInterface_SetX509IsTrustedCallback(store->Interface, store, CertStore_TrustsNothing);
    CertStoreInterface_SetX509IsTrustedJWSCallback(store->Interface, store, CertStore_TrustsNothingJWS);
    *handle = store;
    return 1;
}

CertStoreInterface* CertStoreNull_GetInterfaceHandle(CertStoreNull* store) {
    CLASS_CHECK(store, CERTSTORENULL_CLASS_ID);
    return CertStoreInterface_AddRef(store->Interface);
}

CLASS_BASICS(CertStoreNull, CertStoreNull, CERTSTORENULL_CLASS_ID)
