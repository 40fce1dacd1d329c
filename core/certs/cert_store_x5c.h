// The trust check of a signed JSON document's "x5c" header that the platform and thumbprint stores
// share: the header's certificates walked as a chain against the asking store itself.
#pragma once

#include <cstdint>

#include "core/certs/cert_store.h"

struct CryptAsymmetric;
struct Dictionary;

// Builds a chain from the header's "x5c" certificates and walks its first certificate against
// the store. 1 with the first certificate's public key (a reference the caller holds); 0 with
// null when the header has no usable chain or the walk fails.
int64_t CertStore_X509IsTrustedX5C(CertStoreInterface* store, Dictionary* header, CryptAsymmetric** key);
