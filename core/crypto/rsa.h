// RSA keys with PKCS #1 v1.5 signatures (verification and signing) and PKCS #1 v1.5 public-key
// encryption, reached through RSA_INTERFACE or called directly.
#pragma once

#include <cstdint>

#include "core/crypto/big_integer.h"
#include "core/crypto/crypt_asymmetric_interface.h"
#include "core/runtime/class.h"

enum : uint32_t { RSA_CLASS_ID = 0x8F84840D };

struct RSA {
    Class Header;
    // Made from n whenever the modulus is set; null while no key is set.
    Montgomery* Modulus;
    BigInt E;
    BigInt D;
    BigInt Input;
    BigInt Output;
    uint32_t HasPrivateKey;
    // The factors of n and their exponents, kept when a private key carries them consistently:
    // the private operation then runs on the two halves.
    uint32_t HasFactors;
    BigInt P, Q, DP, DQ, QInv;
    Montgomery* ModulusP;
    Montgomery* ModulusQ;
    // Blinding pair (r^e, r^-1 mod n), squared after each use and redrawn every so often.
    BigInt BlindE;
    BigInt BlindInverse;
    uint32_t BlindUses;
};

int64_t RSA_Create(RSA** handle);
int64_t RSA_Delete(RSA** handle);
int64_t RSA_AddRef(RSA* rsa);
int64_t RSA_Release(RSA** handle);
int64_t RSA_GetInstanceId(RSA* rsa, char* buffer, int32_t size);

// RSA has no parameters: 1.
int64_t RSA_InitParams(RSA* rsa, const char* params, uint32_t extra);
int64_t RSA_HasPrivateKey(RSA* rsa);

// Keys: a zero, even or short modulus (below 512 bits) or one above 8,192 bits, a public exponent
// that is even or below 3, a private exponent of 0 or not below n, a missing element or bad DER
// are refused with 0 and leave the object without a key.
// A PKCS #1 RSAPrivateKey (n, e, d; the factors are used when they agree with n).
int64_t RSA_SetPrivateKey(RSA* rsa, const uint8_t* der, uint32_t count);
// A PKCS #1 RSAPublicKey; any private key is dropped.
int64_t RSA_SetPublicKey(RSA* rsa, const uint8_t* der, uint32_t count);
int64_t RSA_SetPublicKeyPair(RSA* rsa, const BigInt* e, const BigInt* n);
int64_t RSA_SetModulusHandle(RSA* rsa, const BigInt* n);
int64_t RSA_SetPublicExponentHandle(RSA* rsa, const BigInt* e);
int64_t RSA_SetPrivateExponentHandle(RSA* rsa, const BigInt* d);

// PKCS #1 v1.5 block type 2 around the data, raised to e. The output buffer must hold k + 1 bytes
// (k = byte length of n); the result is exactly k bytes. Data longer than k - 11 is refused.
int64_t RSA_PublicKeyEncrypt(RSA* rsa, const uint8_t* data, uint32_t length, uint8_t* out, uint32_t size,
                             uint32_t* outLength);
// PKCS #1 v1.5 block type 1 around the bytes (a raw digest or a whole DigestInfo), raised to d;
// buffer and length rules as for encryption. Refused without a private exponent and public
// exponent, and when the result does not verify under e.
int64_t RSA_Sign(RSA* rsa, const uint8_t* digest, uint32_t length, uint8_t* out, uint32_t size,
                 uint32_t* outLength);
// 1 when the signature (exactly k bytes, below n) opens to the one valid block for the digest:
// 00 01, at least 8 bytes FF, 00, then the raw digest (RSA_SIGNATURE_VERSION_PCS15) or the DER
// DigestInfo of the hash the digest length names (any other version). Answers 1 without looking
// while the authentication switch is off.
int64_t RSA_Verify(RSA* rsa, const uint8_t* digest, uint32_t digestLength, const uint8_t* signature,
                   uint32_t signatureLength, uint32_t version);
// Back to no key.
int64_t RSA_Reset(RSA* rsa);
