// CertStoreJWKS: a trust store over a JSON Web Key Set. It trusts certificates whose thumbprint
// the set lists and hands out the signing key a JWS header names.
#pragma once

#include <cstdint>

#include "core/certs/cert_store.h"
#include "core/crypto/hash.h"

struct BigInt;

enum : uint32_t {
    CERTSTOREJWKS_CLASS_ID = 0xd573d6e0,
    // Room for a thumbprint text (base64url of at most 64 bytes, terminated).
    CERTSTOREJWKS_THUMBPRINT_TEXT_SIZE = 320,
};

struct CertStoreJWKS;

int64_t CertStoreJWKS_Create(CertStoreJWKS** handle);
int64_t CertStoreJWKS_AddRef(CertStoreJWKS* store);
int64_t CertStoreJWKS_Release(CertStoreJWKS** handle);
int64_t CertStoreJWKS_GetInstanceId(CertStoreJWKS* store, char* buffer, int32_t size);
// Adds a store reference and returns the interface (give it back with CertStoreInterface_Release).
CertStoreInterface* CertStoreJWKS_GetInterfaceHandle(CertStoreJWKS* store);
// Copies the key set (the document's root, or the dictionary a JSON load filled) into the
// store's own dictionary; 1. Set before the store is shared.
int64_t CertStoreJWKS_SetJWKSHandle(CertStoreJWKS* store, Dictionary* jwks);

// The steps of a lookup.
// The first member of "keys" with "use" "sig", an "alg" naming the algorithm and the property
// (a string) equal to the value; 0 and null when none.
int64_t CertStoreJWKS_MemberFromJWKSProperty(Dictionary* root, uint32_t algorithm, const char* name,
                                             const char* value, Dictionary** member);
// That member's key loaded into the key object: ("e", "n") for RS, ("x", "y") for ES.
int64_t CertStoreJWKS_CAFromJWKSProperty(Dictionary* root, uint32_t algorithm, const char* name, const char* value,
                                         CryptAsymmetric* key);
// The two base64url integers, in the order named, given to CryptAsymmetric_SetPublicKeyPair.
int64_t CertStoreJWKS_CAFromJWKSPropertyNames(Dictionary* member, CryptAsymmetric* key, const char* first,
                                              const char* second);
// A base64url big-endian unsigned integer; longer than any supported key part: 0.
int64_t CertStoreJWKS_BigIntFromBase64Value(const char* text, BigInt* value);
// The certificate's thumbprint under the record, base64url without padding, into
// CERTSTOREJWKS_THUMBPRINT_TEXT_SIZE characters.
int64_t CertStoreJWKS_Base64ThumbprintFromX509(X509* cert, const HashInterface* record, char* text);

// Interface callbacks.
CertStoreInterface* CertStoreJWKS_InterfaceAddRef(CertStoreInterface* handle, void* store);
int64_t CertStoreJWKS_InterfaceRelease(CertStoreInterface** handle, void* store);
int64_t CertStoreJWKS_InterfaceX509IsTrusted(CertStoreInterface* handle, void* store, X509* cert, uint32_t* stop);
int64_t CertStoreJWKS_InterfaceX509IsTrustedJWS(CertStoreInterface* handle, void* store, Dictionary* header,
                                                CryptAsymmetric** key, uint32_t* stop);
