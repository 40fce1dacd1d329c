// The public-key algorithm record: one constant record of operations per algorithm (RSA, ECDSA),
// compared by identity, through which the CryptAsymmetric front object reaches the algorithm.
#pragma once

#include <cstdint>

#include "core/crypto/big_integer.h"

// Slot types. The instance is the algorithm's own object, created by Create and handed back to
// every other slot. Each returns 1 for success and 0 for refusal.
typedef int64_t (*CryptAsymmetricCreateFunc)(void** instance);
typedef int64_t (*CryptAsymmetricDeleteFunc)(void** instance);
typedef int64_t (*CryptAsymmetricInitParamsFunc)(void* instance, const char* params, uint32_t extra);
typedef int64_t (*CryptAsymmetricHasPrivateKeyFunc)(void* instance);
typedef int64_t (*CryptAsymmetricSetPrivateKeyFunc)(void* instance, const uint8_t* der, uint32_t count);
typedef int64_t (*CryptAsymmetricSetPublicKeyFunc)(void* instance, const uint8_t* key, uint32_t count,
                                                   uint32_t extra);
typedef int64_t (*CryptAsymmetricSetPublicKeyPairFunc)(void* instance, const BigInt* first, const BigInt* second);
typedef int64_t (*CryptAsymmetricTransformFunc)(void* instance, const uint8_t* data, uint32_t length,
                                                uint8_t* out, uint32_t size, uint32_t* outLength);
typedef int64_t (*CryptAsymmetricVerifyFunc)(void* instance, const uint8_t* digest, uint32_t digestLength,
                                             const uint8_t* signature, uint32_t signatureLength,
                                             uint32_t version);
typedef int64_t (*CryptAsymmetricResetFunc)(void* instance);

struct CryptAsymmetricInterface {
    const char* Name;
    CryptAsymmetricCreateFunc Create;
    CryptAsymmetricDeleteFunc Delete;
    CryptAsymmetricInitParamsFunc InitParams;
    CryptAsymmetricHasPrivateKeyFunc HasPrivateKey;
    CryptAsymmetricSetPrivateKeyFunc SetPrivateKey;
    // RSA: a DER RSAPublicKey; ECDSA: an encoded point (04, 02 or 03 form).
    CryptAsymmetricSetPublicKeyFunc SetPublicKey;
    // RSA: (e, n); ECDSA: (x, y).
    CryptAsymmetricSetPublicKeyPairFunc SetPublicKeyPair;
    CryptAsymmetricTransformFunc PublicKeyEncrypt;
    CryptAsymmetricTransformFunc Sign;
    CryptAsymmetricVerifyFunc Verify;
    CryptAsymmetricResetFunc Reset;
};

// Signature comparison versions handed to Verify: the bytes after the PKCS #1 padding are the raw
// digest (version 1) or a DER DigestInfo holding it (2; every other value is read as 2).
enum : uint32_t { RSA_SIGNATURE_VERSION_PCS15 = 1, RSA_SIGNATURE_VERSION_PCS21 = 2 };

extern const CryptAsymmetricInterface RSA_INTERFACE;
extern const CryptAsymmetricInterface ECDSA_INTERFACE;
