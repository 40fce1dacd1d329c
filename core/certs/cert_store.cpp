// CertStoreInterface: the five callback slots of a trust store, and the calls that go through
// them. With authentication off both trust calls answer yes before any store is asked.
#include <atomic>

#include "core/certs/authenticate.h"
#include "core/certs/cert_store_internal.h"
#include "core/runtime/callback.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"

struct CertStoreInterface {
    // RefCount counts the handles held out through CertStoreInterface_AddRef; the store behind
    // keeps its own count.
    Class Header;
    CallbackBase AddRefSlot;
    CallbackBase ReleaseSlot;
    CallbackBase GetKeySlot;
    CallbackBase X509IsTrustedSlot;
    CallbackBase X509IsTrustedJWSSlot;
};

namespace {

std::atomic<uint32_t>& HandleCount(CertStoreInterface* handle) {
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    return *reinterpret_cast<std::atomic<uint32_t>*>(&handle->Header.RefCount);
}

CertStoreInterface* StoreAddRef(CertStoreInterface* handle, void* store) {
    Class_AddRef(store);
    return handle;
}

int64_t StoreRelease(CertStoreInterface** handle, void* store) {
    *handle = nullptr;
    Class_Release(&store);
    return 1;
}

int64_t SetSlot(CertStoreInterface* handle, CallbackBase CertStoreInterface::*slot, void* store, void* fn) {
    CLASS_CHECK(handle, CERTSTOREINTERFACE_CLASS_ID);
    return CallbackBase_SetReal(&(handle->*slot), 0, store, fn);
}

} // namespace

void CertStore_InitInterface(CertStoreBase* store) {
    CertStoreInterface_Create(&store->Interface);
    CertStoreInterface_SetAddRefCallback(store->Interface, store, StoreAddRef);
    CertStoreInterface_SetReleaseCallback(store->Interface, store, StoreRelease);
}

void CertStore_DropInterface(CertStoreBase* store) {
    if (store->Interface) CertStoreInterface_Delete(&store->Interface);
}

int64_t CertStoreInterface_Create(CertStoreInterface** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* iface = static_cast<CertStoreInterface*>(Memory_AllocZero(sizeof(CertStoreInterface)));
    iface->Header.ClassId = CERTSTOREINTERFACE_CLASS_ID;
    *handle = iface;
    return 1;
}

int64_t CertStoreInterface_Delete(CertStoreInterface** handle) {
    ASSERT_POINTER(handle);
    CertStoreInterface* iface = *handle;
    CLASS_CHECK(iface, CERTSTOREINTERFACE_CLASS_ID);
    iface->Header.ClassId = 0;
    Memory_Free(iface, sizeof(CertStoreInterface));
    *handle = nullptr;
    return 1;
}

int64_t CertStoreInterface_SetAddRefCallback(CertStoreInterface* handle, void* store, CertStoreAddRefFunc fn) {
    return SetSlot(handle, &CertStoreInterface::AddRefSlot, store, reinterpret_cast<void*>(fn));
}

int64_t CertStoreInterface_SetReleaseCallback(CertStoreInterface* handle, void* store, CertStoreReleaseFunc fn) {
    return SetSlot(handle, &CertStoreInterface::ReleaseSlot, store, reinterpret_cast<void*>(fn));
}

int64_t CertStoreInterface_SetGetKeyCallback(CertStoreInterface* handle, void* store, CertStoreGetKeyFunc fn) {
    return SetSlot(handle, &CertStoreInterface::GetKeySlot, store, reinterpret_cast<void*>(fn));
}

int64_t CertStoreInterface_SetX509IsTrustedCallback(CertStoreInterface* handle, void* store,
                                                    CertStoreX509IsTrustedFunc fn) {
    return SetSlot(handle, &CertStoreInterface::X509IsTrustedSlot, store, reinterpret_cast<void*>(fn));
}

int64_t CertStoreInterface_SetX509IsTrustedJWSCallback(CertStoreInterface* handle, void* store,
                                                       CertStoreX509IsTrustedJWSFunc fn) {
    return SetSlot(handle, &CertStoreInterface::X509IsTrustedJWSSlot, store, reinterpret_cast<void*>(fn));
}

CertStoreInterface* CertStoreInterface_AddRef(CertStoreInterface* handle) {
    CLASS_CHECK(handle, CERTSTOREINTERFACE_CLASS_ID);
    void* store = nullptr;
    CertStoreAddRefFunc fn = nullptr;
    CallbackBase_Get(&handle->AddRefSlot, &store, &fn);
    if (!fn) Debug_Abort("CertStoreInterface_AddRef: the store has no AddRef callback\n");
    HandleCount(handle).fetch_add(1);
    return fn(handle, store);
}

int64_t CertStoreInterface_Release(CertStoreInterface** handle) {
    ASSERT_POINTER(handle);
    CertStoreInterface* iface = *handle;
    if (!iface) return 0;
    CLASS_CHECK(iface, CERTSTOREINTERFACE_CLASS_ID);
    void* store = nullptr;
    CertStoreReleaseFunc fn = nullptr;
    CallbackBase_Get(&iface->ReleaseSlot, &store, &fn);
    if (!fn) Debug_Abort("CertStoreInterface_Release: the store has no Release callback\n");
    // Never below zero, also for a store that handed its interface out without counting it.
    uint32_t count = HandleCount(iface).load();
    while (count > 0 && !HandleCount(iface).compare_exchange_weak(count, count - 1)) {
    }
    // The store's last reference deletes the interface: nothing of it is read after this call.
    fn(handle, store);
    *handle = nullptr;
    return 1;
}

int64_t CertStoreInterface_GetKey(CertStoreInterface* handle, const uint8_t** key, uint32_t* size) {
    CLASS_CHECK(handle, CERTSTOREINTERFACE_CLASS_ID);
    ASSERT_POINTER(key);
    ASSERT_POINTER(size);
    *key = nullptr;
    *size = 0;
    void* store = nullptr;
    CertStoreGetKeyFunc fn = nullptr;
    if (!CallbackBase_Get(&handle->GetKeySlot, &store, &fn) || !fn) return 0;
    return fn(handle, store, key, size);
}

int64_t CertStoreInterface_X509IsTrusted(CertStoreInterface* handle, X509* cert, uint32_t* stop) {
    CLASS_CHECK(handle, CERTSTOREINTERFACE_CLASS_ID);
    ASSERT_POINTER(stop);
    *stop = 0;
    if (!Authenticate_Enabled()) return 1;
    void* store = nullptr;
    CertStoreX509IsTrustedFunc fn = nullptr;
    CallbackBase_Get(&handle->X509IsTrustedSlot, &store, &fn);
    if (!fn) Debug_Abort("CertStoreInterface_X509IsTrusted: the store has no X509IsTrusted callback\n");
    return fn(handle, store, cert, stop);
}

int64_t CertStoreInterface_X509IsTrustedJWS(CertStoreInterface* handle, Dictionary* header, CryptAsymmetric** key,
                                            uint32_t* stop) {
    CLASS_CHECK(handle, CERTSTOREINTERFACE_CLASS_ID);
    ASSERT_POINTER(key);
    ASSERT_POINTER(stop);
    *key = nullptr;
    *stop = 0;
    if (!Authenticate_Enabled()) return 1;
    void* store = nullptr;
    CertStoreX509IsTrustedJWSFunc fn = nullptr;
    CallbackBase_Get(&handle->X509IsTrustedJWSSlot, &store, &fn);
    if (!fn) Debug_Abort("CertStoreInterface_X509IsTrustedJWS: the store has no X509IsTrustedJWS callback\n");
    return fn(handle, store, header, key, stop);
}

int64_t CertStore_TrustsNothing(CertStoreInterface*, void*, X509*, uint32_t* stop) {
    *stop = 0;
    return 0;
}

int64_t CertStore_TrustsNothingJWS(CertStoreInterface*, void*, Dictionary*, CryptAsymmetric**, uint32_t* stop) {
    *stop = 0;
    return 0;
}
