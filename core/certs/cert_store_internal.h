// What the simple stores share: the common shape of a store object and its interface plumbing.
#pragma once

#include "core/certs/cert_store.h"

// Every store starts with its header and its interface; AddRef and Release of the interface
// count the store through its header.
struct CertStoreBase {
    Class Header;
    CertStoreInterface* Interface;
};

// Creates the interface of a freshly allocated store (header filled, count 1) and fills the
// AddRef and Release slots with ones that count the store.
void CertStore_InitInterface(CertStoreBase* store);
// Deletes the interface; for the store's own delete.
void CertStore_DropInterface(CertStoreBase* store);

// The answers of a store that trusts nothing: no, without a final stop.
int64_t CertStore_TrustsNothing(CertStoreInterface* handle, void* user, X509* cert, uint32_t* stop);
int64_t CertStore_TrustsNothingJWS(CertStoreInterface* handle, void* user, Dictionary* header,
                                   CryptAsymmetric** key, uint32_t* stop);
