// MD5 (RFC 1321) behind MD5_INTERFACE: HTTP Digest and NTLM authentication and the names of
// shared-memory areas.
#pragma once

#include <cstdint>

#include "core/crypto/hash.h"

enum : uint32_t {
    MD5_CLASS_ID = 0x92A4C5A7,
    MD5_DIGEST_SIZE = 16,
};

struct MD5 {
    Class Header;
    // Message length in bits, low word then high word; the position in Block follows from it.
    uint32_t BitCount[2];
    uint32_t State[4];
    uint8_t Block[64];
    uint32_t DigestReady;
    uint8_t Digest[MD5_DIGEST_SIZE];
};

extern const HashInterface MD5_INTERFACE;

// GetDigest copies min(capacity, 16) digest bytes: a short buffer gets the leading bytes and still 1.
uint32_t MD5_SizeOf();
int64_t MD5_Stack(void* memory);
int64_t MD5_Unstack(void* memory);
int64_t MD5_Create(MD5** handle);
int64_t MD5_Delete(MD5** handle);
int64_t MD5_CopyTo(MD5* source, MD5* target);
int64_t MD5_Reset(MD5* object);
int64_t MD5_AddRef(MD5* object);
int64_t MD5_Release(MD5** handle);
int64_t MD5_GetInstanceId(MD5* object, char* buffer, int32_t size);
int64_t MD5_Process(MD5* object, const void* data, uint32_t length);
uint32_t MD5_IsGenerated(MD5* object);
int64_t MD5_Generate(MD5* object);
uint32_t MD5_GetDigest(MD5* object, uint8_t* out, int32_t capacity);
uint32_t MD5_GetString(MD5* object, uint32_t spaced, char* out, int32_t capacity);
