// CertStoreThumbprint: trusts certificates by digest. It holds configured thumbprints (Base64 texts
// of a dictionary), which answer chain checks through its interface, and a run-time cache of
// certificates a TLS client has already verified, each trusted again for 30 minutes.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/certs/cert_store.h"
#include "core/crypto/hash.h"
#include "core/runtime/class.h"

struct CryptAsymmetric;
struct Dictionary;
struct X509;

enum : uint32_t {
    CERTSTORETHUMBPRINT_CLASS_ID = 0x72fb4c45,
    // Longest thumbprint kept (SHA-512).
    CERTSTORETHUMBPRINT_MAX_DIGEST = 64,
    // The cache never holds more entries than this.
    CERTSTORETHUMBPRINT_CACHE_SIZE = 256,
};

// Seconds a cached certificate stays trusted.
constexpr double CERTSTORETHUMBPRINT_CACHE_SECONDS = 1800.0;

// The hashes a configured thumbprint may use, in the order a lookup tries them.
extern const HashInterface* const CERTSTORETHUMBPRINT_KNOWNHASHINTERFACES[5];

struct CertStoreThumbprint;

int64_t CertStoreThumbprint_Create(CertStoreThumbprint** handle);
int64_t CertStoreThumbprint_AddRef(CertStoreThumbprint* store);
int64_t CertStoreThumbprint_Release(CertStoreThumbprint** handle);
int64_t CertStoreThumbprint_GetInstanceId(CertStoreThumbprint* store, char* buffer, int32_t size);
// Adds a store reference and returns the interface (give it back with CertStoreInterface_Release).
CertStoreInterface* CertStoreThumbprint_GetInterfaceHandle(CertStoreThumbprint* store);

// Adds every text value of the dictionary (keys ignored) as a Base64 thumbprint whose length
// names its hash (20 SHA-1, 28 SHA-224, 32 SHA-256, 48 SHA-384, 64 SHA-512). Values that do not
// decode or fit no hash are logged and skipped. 1 when at least one was added. Filled before the
// store is shared.
int64_t CertStoreThumbprint_TrustDictionary(CertStoreThumbprint* store, Dictionary* dict);

// The interface's trust slots. Chain checks see the configured thumbprints only, never the
// cache; a JWS header's "x5c" chain is walked against this store.
int64_t CertStoreThumbprint_InterfaceX509IsTrusted(CertStoreInterface* handle, void* store, X509* cert,
                                                   uint32_t* stop);
int64_t CertStoreThumbprint_InterfaceX509IsTrustedJWS(CertStoreInterface* handle, void* store, Dictionary* header,
                                                      CryptAsymmetric** key, uint32_t* stop);

// ---- The run-time cache ----------------------------------------------------------------------
// Each cached certificate remembers the store it was verified against and whether checking was
// on: it counts only for a lookup naming the same store (null: none). An entry cached while
// checking was off counts only while it stays off, and is dropped by the first cache operation
// that finds checking on.
//
// 1 when the certificate is cached under that store and unexpired, or its thumbprint is
// configured (with otherHashes 1 also under the other configured hashes). An expired cache
// entry is dropped and answers 0 without looking at the configured list.
int64_t CertStoreThumbprint_IsTrustedUnder(CertStoreThumbprint* store, X509* cert, CertStoreInterface* under,
                                           uint32_t otherHashes);
int64_t CertStoreThumbprint_IsTrusted(CertStoreThumbprint* store, X509* cert, uint32_t otherHashes);
// Caches the certificate as verified against the store (referenced while cached) for 1800 s;
// again renews the expiry. 1.
int64_t CertStoreThumbprint_TrustUnder(CertStoreThumbprint* store, X509* cert, CertStoreInterface* under);
int64_t CertStoreThumbprint_Trust(CertStoreThumbprint* store, X509* cert);
// 1 when the cache holds an entry with this thumbprint (under any store, expired or not).
int64_t CertStoreThumbprint_GetTrusted(CertStoreThumbprint* store, const uint8_t* bytes, int32_t length);
// 1 when a configured thumbprint uses the hash.
int64_t CertStoreThumbprint_IsSupported(CertStoreThumbprint* store, const HashInterface* record);
// Drops expired entries, then the oldest until at most maximum remain; 1.
int64_t CertStoreThumbprint_Compact(CertStoreThumbprint* store, uint32_t maximum);
// Empties the configured list, the cache and the hash list; 1.
int64_t CertStoreThumbprint_Reset(CertStoreThumbprint* store);
// Replaces the clock of cache expiry (tests); null restores Time_GetCurrent.
void CertStoreThumbprint_SetClock(double (*clock)());

// ---- Printing --------------------------------------------------------------------------------
int64_t CertStoreThumbprint_VPrint(CertStoreThumbprint* store, int32_t indent, const char* format, va_list args);
int64_t CertStoreThumbprint_Print(CertStoreThumbprint* store, const char* format, ...);
int64_t CertStoreThumbprint_PrintTabbed(CertStoreThumbprint* store, int32_t indent, const char* format, ...);
// The default output: one DEBUG log line.
int64_t CertStoreThumbprint_PrintInternal(void* user, const char* format, ...);
int64_t CertStoreThumbprint_IsVerboseLevel(CertStoreThumbprint* store, int32_t level);
int64_t CertStoreThumbprint_VerboseLog(CertStoreThumbprint* store, int32_t level, const char* format, ...);
int64_t CertStoreThumbprint_SetPrintCallback(CertStoreThumbprint* store, void* user, ClassPrintCallback callback);
int64_t CertStoreThumbprint_GetPrintCallback(CertStoreThumbprint* store, void** user, ClassPrintCallback* callback);
int64_t CertStoreThumbprint_SetPrintIdentifier(CertStoreThumbprint* store, const char* text);
int64_t CertStoreThumbprint_SetVerbose(CertStoreThumbprint* store, uint32_t verbose);
int64_t CertStoreThumbprint_GetVerbose(CertStoreThumbprint* store, uint32_t* verbose);
