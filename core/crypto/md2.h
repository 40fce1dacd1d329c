// MD2 (RFC 1319) behind MD2_INTERFACE, reached only through signature-algorithm identifiers.
#pragma once

#include <cstdint>

#include "core/crypto/hash.h"

enum : uint32_t {
    MD2_CLASS_ID = 0x5703FB29,
    MD2_DIGEST_SIZE = 16,
};

struct MD2 {
    Class Header;
    uint8_t X[48];
    uint8_t Checksum[16];
    uint8_t Block[16];
    uint32_t DigestReady;
    uint8_t Digest[MD2_DIGEST_SIZE];
    // Bytes held in Block, 0..15.
    uint32_t BlockLength;
};

// The 256-byte permutation built from the digits of pi.
extern const uint8_t GlobalMD2PiTable[256];

extern const HashInterface MD2_INTERFACE;

// Process with length 0 answers 1 at once; data may then be null. GetDigest copies min(capacity, 16)
// digest bytes: a short buffer gets the leading bytes and still 1.
uint32_t MD2_SizeOf();
int64_t MD2_Stack(void* memory);
int64_t MD2_Unstack(void* memory);
int64_t MD2_Create(MD2** handle);
int64_t MD2_Delete(MD2** handle);
int64_t MD2_CopyTo(MD2* source, MD2* target);
int64_t MD2_Reset(MD2* object);
int64_t MD2_AddRef(MD2* object);
int64_t MD2_Release(MD2** handle);
int64_t MD2_GetInstanceId(MD2* object, char* buffer, int32_t size);
int64_t MD2_Process(MD2* object, const void* data, uint32_t length);
uint32_t MD2_IsGenerated(MD2* object);
int64_t MD2_Generate(MD2* object);
uint32_t MD2_GetDigest(MD2* object, uint8_t* out, int32_t capacity);
uint32_t MD2_GetString(MD2* object, uint32_t spaced, char* out, int32_t capacity);
