// CertStorePlatform: the trust store that hands each decision to the operating system's trust
// evaluation of the certificate, and judges a signed JSON document's "x5c" chain by the same.
#pragma once

#include <cstdint>

#include "core/certs/cert_store.h"

enum : uint32_t { CERTSTOREPLATFORM_CLASS_ID = 0xffb0c947 };

struct CryptAsymmetric;
struct Dictionary;
struct X509;
struct CertStorePlatform;

int64_t CertStorePlatform_Create(CertStorePlatform** handle);
// Deletes the interface and frees the store; nulls the handle.
int64_t CertStorePlatform_Delete(CertStorePlatform** handle);
int64_t CertStorePlatform_AddRef(CertStorePlatform* store);
int64_t CertStorePlatform_Release(CertStorePlatform** handle);
int64_t CertStorePlatform_GetInstanceId(CertStorePlatform* store, char* buffer, int32_t size);
// Adds a store reference and returns the interface (give it back with CertStoreInterface_Release).
CertStoreInterface* CertStorePlatform_GetInterfaceHandle(CertStorePlatform* store);

// The interface's slots. AddRef and Release count the store; X509IsTrusted asks the platform
// about the one certificate (its explicit refusal sets stop); X509IsTrustedJWS walks the header's
// "x5c" chain against this store and answers its first certificate's key.
CertStoreInterface* CertStorePlatform_InterfaceAddRef(CertStoreInterface* handle, void* store);
int64_t CertStorePlatform_InterfaceRelease(CertStoreInterface** handle, void* store);
int64_t CertStorePlatform_InterfaceX509IsTrusted(CertStoreInterface* handle, void* store, X509* cert,
                                                 uint32_t* stop);
int64_t CertStorePlatform_InterfaceX509IsTrustedJWS(CertStoreInterface* handle, void* store, Dictionary* header,
                                                    CryptAsymmetric** key, uint32_t* stop);
