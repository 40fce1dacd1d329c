// JWS compact tokens: decoding with the signature checked against a key found through a trust
// store, the header operations the trust stores use to find keys, HMAC token writing, and the
// registered-claim checks (JWSClaims) run on a verified payload.
#pragma once

#include <cstdint>

#include "core/crypto/hash.h"
#include "core/runtime/class.h"

struct CertStoreInterface;
struct CryptAsymmetric;
struct Dictionary;
struct JSON;
struct JWSClaims;
struct X509Chain;

enum : uint32_t {
    JWSCLAIMS_CLASS_ID = 0xC5E50A47,
    JWS_ALGORITHM_UNKNOWN = 0,
    JWS_ALGORITHM_HS256 = 1,
    JWS_ALGORITHM_HS384 = 2,
    JWS_ALGORITHM_HS512 = 3,
    JWS_ALGORITHM_RS256 = 4,
    JWS_ALGORITHM_RS384 = 5,
    JWS_ALGORITHM_RS512 = 6,
    JWS_ALGORITHM_ES256 = 7,
    JWS_ALGORITHM_ES384 = 8,
    JWS_ALGORITHM_ES512 = 9,
    // Longest "alg" text read from a header, in characters.
    JWS_ALGORITHM_TEXT_SIZE = 319,
    // Limits on what a token may carry. No real header (even one with a certificate chain) or
    // signature comes near them; they keep hostile input from driving sizes past 32 bits.
    JWS_MAX_TOKEN_SIZE = 1u << 26,
    JWS_MAX_HEADER_SIZE = 1u << 16,
    JWS_MAX_SIGNATURE_SIZE = 2048,
};

struct JWSAlgorithmString {
    uint32_t Code;
    const char* Name;
};
extern const JWSAlgorithmString JWS_AlgorithmStringTable[10];
// The curve OID of each algorithm code (null where there is none).
extern const char* const JWS_AlgorithmOidStringTable[10];

// ---- Decoding --------------------------------------------------------------------------------
// Splits the token, verifies it (verify 1: header, signature through the store, then the claims)
// and loads the payload into json. 1 accepted, 0 refused: code 9 on json when the token cannot
// be taken apart (also a header that is not a JSON object, bad Base64url, a part too large), 10
// when the signature or the trust fails ("alg" "none" or missing, a key whose type does not
// match "alg"). A refused claim resets json. verify other than 1 loads the payload unchecked.
int64_t JWS_Decode(JSON* json, JWSClaims* claims, CertStoreInterface* store, const char* token,
                   uint32_t length, uint32_t verify);

// The routes of JWS_Decode, each answering 1 for a good signature. The signing input is the
// token up to its second dot.
// HMAC with the store's raw key (never a public key's encoding).
int64_t JWS_HSDecode(CertStoreInterface* store, uint32_t code, const uint8_t* input, uint32_t inputLength,
                     const uint8_t* signature, uint32_t signatureLength);
// The store's key as a DER SubjectPublicKeyInfo.
int64_t JWS_CAKeyDecode(CertStoreInterface* store, uint32_t code, const uint8_t* input, uint32_t inputLength,
                        const uint8_t* signature, uint32_t signatureLength);
// The key the store finds for the header (X509IsTrustedJWS).
int64_t JWS_CAX509Decode(CertStoreInterface* store, Dictionary* header, uint32_t code, const uint8_t* input,
                         uint32_t inputLength, const uint8_t* signature, uint32_t signatureLength);
// RS and ES signatures (an ES signature is R || S of exactly twice the curve's size); the key
// must be RSA for RS codes and ECDSA on the code's curve for ES codes.
int64_t JWS_CASignatureVerify(CryptAsymmetric* key, uint32_t code, const uint8_t* input, uint32_t inputLength,
                              const uint8_t* signature, uint32_t signatureLength);

// ---- Algorithms and headers ------------------------------------------------------------------
// The header's "alg" translated; 1 when the code is not 0.
int64_t JWS_HeaderGetAlgorithm(Dictionary* header, uint32_t* code);
// Table name equal to the text, case ignored; 0 when none ("Unknown" also gives 0).
uint32_t JWS_TranslateAlgorithmString(const char* text);
// "Unknown" for a code not in the table.
const char* JWS_TranslateAlgorithm(uint32_t code);
const char* JWS_TranslateAlgorithmOid(uint32_t code);
// SHA-256, SHA-384 or SHA-512 by position in the family; null outside 1-9.
const HashInterface* JWS_GetHashInterface(uint32_t code);
int64_t JWS_IsHS(uint32_t code);
int64_t JWS_IsRS(uint32_t code);
int64_t JWS_IsES(uint32_t code);
// The RS or ES code of a SHA-256/384/512 record; 0 for any other.
uint32_t JWS_GetAlgorithmRS(const HashInterface* record);
uint32_t JWS_GetAlgorithmES(const HashInterface* record);
// Base64url digest of the first "x5c" certificate. No "x5c": 0; an empty list: 1, nothing written.
int64_t JWS_HeaderBase64ThumbprintFromX5C(Dictionary* header, const HashInterface* record, char* text,
                                          int32_t size);
// Appends every "x5c" certificate to the chain; the first that fails ends with 0, those before it
// stay. No "x5c": 0; an empty list: 1.
int64_t JWS_HeaderX509ChainHandleFromX5C(Dictionary* header, X509Chain* chain);

// ---- Writing HMAC tokens ---------------------------------------------------------------------
// Room JWS_KeyEncode needs (terminator included); the two middle arguments are not read.
int64_t JWS_KeyEncodeEstimate(JSON* payload, Dictionary* header, uint32_t code, const void* unused,
                              uint32_t unusedLength, uint32_t* size);
// Writes a compact token signed with HMAC (codes 1-3): the header (the given dictionary merged,
// "alg" set), the payload JSON and the signature, NUL-terminated. 0 for another code, or when the
// token did not fit (what fitted is written).
int64_t JWS_KeyEncode(JSON* payload, Dictionary* header, uint32_t code, const void* key, uint32_t keyLength,
                      char* text, uint32_t size);

// ---- Claims ----------------------------------------------------------------------------------
// A check gets the payload's root dictionary and the result to give when its claim is absent.
typedef int64_t (*JWSClaimFunc)(Dictionary* payload, uint32_t absent);

int64_t JWSClaims_Create(JWSClaims** handle);
int64_t JWSClaims_Delete(JWSClaims** handle);
int64_t JWSClaims_AddRef(JWSClaims* claims);
int64_t JWSClaims_Release(JWSClaims** handle);
int64_t JWSClaims_GetInstanceId(JWSClaims* claims, char* buffer, int32_t size);
// Appends a check; 1.
int64_t JWSClaims_Add(JWSClaims* claims, uint32_t absent, JWSClaimFunc check);
// The checks in order; the first 0 ends with 0. An empty list gives 1.
int64_t JWSClaims_Validate(JWSClaims* claims, Dictionary* payload);

// now >= "exp" fails; "nbf" > now fails (seconds since 1970 UTC, no leeway). Each logs the
// failure at DEBUG level.
int64_t JWSClaim_Exp(Dictionary* payload, uint32_t absent);
int64_t JWSClaim_Nbf(Dictionary* payload, uint32_t absent);
