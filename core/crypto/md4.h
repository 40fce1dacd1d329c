// MD4 (RFC 1320) behind MD4_INTERFACE, kept for NTLM authentication.
#pragma once

#include <cstdint>

#include "core/crypto/hash.h"

enum : uint32_t {
    MD4_CLASS_ID = 0x34D3CE13,
    MD4_DIGEST_SIZE = 16,
};

struct MD4 {
    Class Header;
    // Message length in bits, low word then high word; the position in Block follows from it.
    uint32_t BitCount[2];
    uint32_t State[4];
    uint8_t Block[64];
    uint32_t DigestReady;
    uint8_t Digest[MD4_DIGEST_SIZE];
};

extern const HashInterface MD4_INTERFACE;

// GetDigest copies min(capacity, 16) digest bytes: a short buffer gets the leading bytes and still 1.
uint32_t MD4_SizeOf();
int64_t MD4_Stack(void* memory);
int64_t MD4_Unstack(void* memory);
int64_t MD4_Create(MD4** handle);
int64_t MD4_Delete(MD4** handle);
int64_t MD4_CopyTo(MD4* source, MD4* target);
int64_t MD4_Reset(MD4* object);
int64_t MD4_AddRef(MD4* object);
int64_t MD4_Release(MD4** handle);
int64_t MD4_GetInstanceId(MD4* object, char* buffer, int32_t size);
int64_t MD4_Process(MD4* object, const void* data, uint32_t length);
uint32_t MD4_IsGenerated(MD4* object);
int64_t MD4_Generate(MD4* object);
uint32_t MD4_GetDigest(MD4* object, uint8_t* out, int32_t capacity);
uint32_t MD4_GetString(MD4* object, uint32_t spaced, char* out, int32_t capacity);
