// CertStorePlatform: trust decided by the platform's evaluation of each certificate.
#include "core/certs/cert_store_platform.h"

#include "core/certs/cert_store_internal.h"
#include "core/certs/cert_store_x5c.h"
#include "core/certs/x509.h"
#include "core/linux/platform_trust.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"

struct CertStorePlatform : CertStoreBase {};

namespace {

int64_t DeleteHandle(void** handle) {
    return CertStorePlatform_Delete(reinterpret_cast<CertStorePlatform**>(handle));
}

} // namespace

int64_t CertStorePlatform_Create(CertStorePlatform** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* store = static_cast<CertStorePlatform*>(Memory_AllocZero(sizeof(CertStorePlatform)));
    store->Header.ClassId = CERTSTOREPLATFORM_CLASS_ID;
    store->Header.RefCount = 1;
    store->Header.Delete = DeleteHandle;
    CertStoreInterface_Create(&store->Interface);
    CertStoreInterface_SetAddRefCallback(store->Interface, store, CertStorePlatform_InterfaceAddRef);
    CertStoreInterface_SetReleaseCallback(store->Interface, store, CertStorePlatform_InterfaceRelease);
    CertStoreInterface_SetX509IsTrustedCallback(store->Interface, store, CertStorePlatform_InterfaceX509IsTrusted);
    CertStoreInterface_SetX509IsTrustedJWSCallback(store->Interface, store,
                                                   CertStorePlatform_InterfaceX509IsTrustedJWS);
    *handle = store;
    return 1;
}

int64_t CertStorePlatform_Delete(CertStorePlatform** handle) {
    ASSERT_POINTER(handle);
    CertStorePlatform* store = *handle;
    CLASS_CHECK(store, CERTSTOREPLATFORM_CLASS_ID);
    CertStore_DropInterface(store);
    store->Header.ClassId = 0;
    Memory_Free(store, sizeof(CertStorePlatform));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(CertStorePlatform, CertStorePlatform, CERTSTOREPLATFORM_CLASS_ID)

CertStoreInterface* CertStorePlatform_GetInterfaceHandle(CertStorePlatform* store) {
    CLASS_CHECK(store, CERTSTOREPLATFORM_CLASS_ID);
    return CertStoreInterface_AddRef(store->Interface);
}

CertStoreInterface* CertStorePlatform_InterfaceAddRef(CertStoreInterface* handle, void* store) {
    CertStorePlatform_AddRef(static_cast<CertStorePlatform*>(store));
    return handle;
}

int64_t CertStorePlatform_InterfaceRelease(CertStoreInterface** handle, void* store) {
    *handle = nullptr;
    auto* platform = static_cast<CertStorePlatform*>(store);
    return CertStorePlatform_Release(&platform);
}

int64_t CertStorePlatform_InterfaceX509IsTrusted(CertStoreInterface*, void*, X509* cert, uint32_t* stop) {
    *stop = 0;
    const uint8_t* der = nullptr;
    uint32_t length = 0;
    if (!X509_GetASN1(cert, &der, &length)) return 0;
    uint32_t denied = 0;
    const int64_t trusted = Platform_AuthenticateCertificate(der, length, 1, &denied);
    if (denied) *stop = 1;
    return trusted;
}

int64_t CertStorePlatform_InterfaceX509IsTrustedJWS(CertStoreInterface* handle, void*, Dictionary* header,
                                                    CryptAsymmetric** key, uint32_t*) {
    return CertStore_X509IsTrustedX5C(handle, header, key);
}
