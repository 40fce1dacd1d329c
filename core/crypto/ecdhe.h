// Ephemeral elliptic-curve Diffie-Hellman for the TLS client: the peer's point in, a fresh own
// point and the shared secret out.
#pragma once

#include <cstdint>

#include "core/crypto/ec.h"
#include "core/runtime/class.h"

enum : uint32_t { ECDHE_CLASS_ID = 0xDADC1AD4 };

struct ECDHE {
    Class Header;
    EC* Curve;    // owned
    ECPoint Peer; // the peer's public point
};

int64_t ECDHE_Create(ECDHE** handle);
int64_t ECDHE_Delete(ECDHE** handle);
int64_t ECDHE_AddRef(ECDHE* ecdhe);
int64_t ECDHE_Release(ECDHE** handle);
int64_t ECDHE_GetInstanceId(ECDHE* ecdhe, char* buffer, int32_t size);

int64_t ECDHE_InitParams(ECDHE* ecdhe, const char* oid);
// The peer's encoded point (04, 02 or 03 form), validated.
int64_t ECDHE_SetPublicKey(ECDHE* ecdhe, const uint8_t* key, uint32_t count);
// Draws a private scalar d, writes d G uncompressed (2 x order bytes + 1) and the x of d Q
// (order bytes, right-aligned). The public buffer must be larger than 2 x order bytes and the
// secret buffer hold the order bytes; smaller ones stop the process.
int64_t ECDHE_CalculateSecret(ECDHE* ecdhe, uint8_t* publicKey, uint32_t publicSize, uint32_t* publicLength,
                              uint8_t* secret, uint32_t secretSize, uint32_t* secretLength);
int64_t ECDHE_GetECHandle(ECDHE* ecdhe, EC** curve);
