// ECDSA signatures over message digests on the curves of EC, as DER SEQUENCE { r, s }, reached
// directly or through ECDSA_INTERFACE.
#pragma once

#include <cstdint>

#include "core/certs/asn1.h"
#include "core/crypto/big_integer.h"
#include "core/crypto/crypt_asymmetric_interface.h"
#include "core/crypto/ec.h"
#include "core/runtime/class.h"

enum : uint32_t { ECDSA_CLASS_ID = 0x0F4213BA };

struct ECDSA {
    Class Header;
    EC* Curve; // owned
    // Set by loading a private key; cleared by the public-key setters and ECDSA_Reset.
    uint32_t HasPrivateKey;
    BigInt* D;
    ECPoint Q;
};

int64_t ECDSA_Create(ECDSA** handle);
int64_t ECDSA_Delete(ECDSA** handle);
int64_t ECDSA_AddRef(ECDSA* ecdsa);
int64_t ECDSA_Release(ECDSA** handle);
int64_t ECDSA_GetInstanceId(ECDSA* ecdsa, char* buffer, int32_t size);

int64_t ECDSA_InitParams(ECDSA* ecdsa, const char* oid);
int64_t ECDSA_HasPrivateKey(ECDSA* ecdsa);
// A SEC 1 ECPrivateKey (version 1, the scalar as an OCTET STRING) on the curve set before.
int64_t ECDSA_SetPrivateKey(ECDSA* ecdsa, const uint8_t* der, uint32_t count);
// An encoded point (04, 02 or 03 form); clears the private-key flag.
int64_t ECDSA_SetPublicKey(ECDSA* ecdsa, const uint8_t* key, uint32_t count);
// Clears the private-key flag; 1 when (x, y) is a valid point.
int64_t ECDSA_SetPublicKeyPair(ECDSA* ecdsa, const BigInt* x, const BigInt* y);
// There is no encryption with ECDSA: always 0.
int64_t ECDSA_PublicKeyEncrypt(ECDSA* ecdsa, const uint8_t* data, uint32_t length, uint8_t* out,
                               uint32_t size, uint32_t* outLength);
// A DER signature of the digest. The buffer must hold 2 x (order bytes) + 8 bytes, one more
// where the header takes the long form; a smaller one stops the process.
int64_t ECDSA_Sign(ECDSA* ecdsa, const uint8_t* digest, uint32_t length, uint8_t* out, uint32_t size,
                   uint32_t* outLength);
// 1 when the signature, strict DER with r and s in 1 .. n - 1, is valid for the digest.
int64_t ECDSA_Verify(ECDSA* ecdsa, const uint8_t* digest, uint32_t length, const uint8_t* signature,
                     uint32_t signatureLength);
int64_t ECDSA_Reset(ECDSA* ecdsa);
// An ECPrivateKey with its named curve ([0]) and public key ([1]).
int64_t ECDSA_SetPrivateKeyFromASN1(ECDSA* ecdsa, const uint8_t* der, uint32_t count);
// A SubjectPublicKeyInfo with a named curve.
int64_t ECDSA_SetPublicKeyFromASN1(ECDSA* ecdsa, const uint8_t* der, uint32_t count);
// The point in a BIT STRING node (no unused bits) becomes the public key.
int64_t ECDSA_ExtractPublicKey(ECDSA* ecdsa, ASN1* bitString);
int64_t ECDSA_GetECHandle(ECDSA* ecdsa, EC** curve);
int64_t ECDSA_GetPublicKeyForTests(ECDSA* ecdsa, BigInt** x, BigInt** y);
