// X509Chain: an ordered bag of certificates that arrived together (a TLS certificate message, the
// certificates of signed data, a JWS "x5c" header), and the trust walk that climbs from a
// certificate through its issuers in the bag, asking a trust store at every step.
#pragma once

#include <cstdint>

#include "core/certs/asn1.h"
#include "core/certs/cert_store.h"
#include "core/certs/x500_name.h"
#include "core/certs/x509.h"
#include "core/crypto/big_integer.h"

enum : uint32_t {
    X509CHAIN_CLASS_ID = 0xE91CB12F,
    // The most certificates one walk passes through, the one it starts from included. Real paths
    // hold a handful; a bag built to make the walk climb for ever ends here with a no.
    X509CHAIN_MAX_PATH = 32,
};

struct X509Chain;

int64_t X509Chain_Create(X509Chain** handle);
// Resets and frees; nulls the handle.
int64_t X509Chain_Delete(X509Chain** handle);
int64_t X509Chain_AddRef(X509Chain* chain);
int64_t X509Chain_Release(X509Chain** handle);
int64_t X509Chain_GetInstanceId(X509Chain* chain, char* buffer, int32_t size);

// Deletes every entry and its certificate; 1.
int64_t X509Chain_Reset(X509Chain* chain);
// Appends a copy of the certificate (rebuilt from its encoding); 1.
int64_t X509Chain_Add(X509Chain* chain, X509* cert);
// Resets the chain and appends a copy of every Certificate child of the node, in order. A child
// without children ends the list with success; a child that does not build empties the chain
// and fails.
int64_t X509Chain_Build(X509Chain* chain, ASN1* node);
uint32_t X509Chain_Count(X509Chain* chain);

// Lookups: certificates are borrowed and live until the chain is reset or deleted. Each clears
// its out-argument first and answers the first entry that fits, or 0.
int64_t X509Chain_Get(X509Chain* chain, int32_t index, X509** cert);
// The first entry whose subject is the certificate's issuer (the certificate's own copy when it
// is self-issued and in the chain).
int64_t X509Chain_IssuerFind(X509Chain* chain, X509* cert, X509** issuer);
int64_t X509Chain_SubjectAndSerialNumberFind(X509Chain* chain, X500* subject, BigInt* serial, X509** cert);
int64_t X509Chain_IssuerAndSerialNumberFind(X509Chain* chain, X500* issuer, BigInt* serial, X509** cert);

// 1 when the store trusts the certificate or a certificate it leads to through the chain.
// Climbs from the certificate to the first entry whose subject is its issuer, and on; asks the
// store about every certificate reached. Every certificate on the way must be within its
// validity period now; every issuer must verify the signature below it (never with MD2, MD4 or
// MD5), must be a CA (basicConstraints cA, and keyCertSign when it carries keyUsage; a version
// 1 certificate only as the one the store trusts) and must keep its path length. A store's
// final no (stop), a loop in the issuer relation and a path longer than X509CHAIN_MAX_PATH end
// with 0.
int64_t X509Chain_VerifyX509(X509Chain* chain, X509* cert, CertStoreInterface* store);

// X509_Dump of every entry in order; 1.
int64_t X509Chain_Dump(X509Chain* chain);

// ---- What an issuer may do (shared with the platform's trust evaluation) --------------------
enum X509IssuerKind : uint32_t {
    X509_ISSUER_NONE = 0,   // may not sign certificates
    X509_ISSUER_CA = 1,     // a CA by its extensions
    X509_ISSUER_ANCHOR = 2, // a version 1 certificate: may sign only as a trusted root
};
X509IssuerKind X509Chain_IssuerKind(X509* cert);
// 1 when the certificate's validity period holds the time (seconds since 1970 UTC), both ends
// included; 0 when the period is not known.
int64_t X509Chain_IsTimeValid(X509* cert, double now);
// The wall clock in seconds since 1970 UTC.
double X509Chain_Now();
