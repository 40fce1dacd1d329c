// The web client's process-wide authorisation of URLs. Until the web client exists this holds
// only what the script bridge hands to its libraries: the host test and its override.
#pragma once

#include <cstdint>

struct CertStoreInterface;

// Answers WebGet_Authorize in place of the host whitelist: (url) -> 1 or 0.
typedef int64_t (*WebGetAuthorizeFunc)(const char* url);

// 1 when the URL may be fetched: when the installed override approves it, or while
// authentication is off. There is no host whitelist yet: with authentication on and no override
// every URL fails with "WebGet whitelist not available yet (%s)". A URL without "//" fails.
int64_t WebGet_Authorize(const char* url);
// Installs (or with null removes) the function that replaces the whitelist test.
int64_t WebGet_AuthorizeOverride(WebGetAuthorizeFunc fn);

// The web client's default trust store. Set holds a reference to the store (null drops it); Get
// answers a new reference to it, or to the authentication service's "app" store while none is
// set. The caller gives the reference back with CertStoreInterface_Release.
int64_t WebGet_CertStoreSetDefaultHandle(CertStoreInterface* store);
CertStoreInterface* WebGet_CertStoreGetDefaultHandle();
