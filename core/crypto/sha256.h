// SHA-256 and SHA-224 (FIPS 180-4) on one engine, behind SHA256_INTERFACE and SHA224_INTERFACE.
// Uses the processor's SHA instructions where it has them.
#pragma once

#include <cstdint>

#include "core/crypto/hash.h"

enum : uint32_t {
    SHA256_CLASS_ID = 0x27668C39,
    SHA256_DIGEST_SIZE = 32,
    SHA224_DIGEST_SIZE = 28,
};

// Serves both variants; they differ in the initial state and the digest length it holds.
struct SHA256 {
    Class Header;
    uint64_t ByteCount;
    uint32_t State[8];
    uint8_t Block[64];
    uint32_t DigestReady;
    // Owned buffer of DigestSize bytes, made and freed only by SHA256_SetDigestSize.
    uint8_t* Digest;
    uint32_t DigestSize;
};

extern const uint32_t K256[64];

// SHA256_WriteByteBlock compresses one 64-byte block (big-endian words) into a state. SHA256_SetDigestSize
// frees the digest buffer, stores the size and allocates a buffer of that many bytes (none for 0). Process
// refuses a negative length with 0; through the record the full 32-bit length is taken. GetDigest answers 0
// and copies nothing when capacity is below the digest length; else the whole digest. SHA-224 has its own
// set-up operations; the rest are SHA-256's.
//
// SHA256_UseProcessorExtensions: whether blocks go through the processor's SHA instructions. They are used by
// default when the processor has them; allowed 0 forces the portable code (tests run both). Answers 1 when
// the instructions are in use afterwards.
extern const HashInterface SHA224_INTERFACE;
extern const HashInterface SHA256_INTERFACE;
extern const uint32_t SHA224_InitialState[8];
extern const uint32_t SHA256_InitialState[8];
void SHA256_WriteByteBlock(uint32_t state[8], const uint8_t* block);
int64_t SHA256_SetDigestSize(SHA256* sha, uint32_t size);
int64_t SHA256_UseProcessorExtensions(int32_t allowed);

// SHA256's operations, which serve SHA224 too past its set-up.
uint32_t SHA256_SizeOf();
int64_t SHA256_Stack(void* memory);
int64_t SHA256_Unstack(void* memory);
int64_t SHA256_Create(SHA256** handle);
int64_t SHA256_Delete(SHA256** handle);
int64_t SHA256_CopyTo(SHA256* source, SHA256* target);
int64_t SHA256_Reset(SHA256* object);
int64_t SHA256_AddRef(SHA256* object);
int64_t SHA256_Release(SHA256** handle);
int64_t SHA256_GetInstanceId(SHA256* object, char* buffer, int32_t size);
int64_t SHA256_Process(SHA256* object, const void* data, int32_t length);
uint32_t SHA256_IsGenerated(SHA256* object);
int64_t SHA256_Generate(SHA256* object);
uint32_t SHA256_GetDigest(SHA256* object, uint8_t* out, int32_t capacity);
uint32_t SHA256_GetString(SHA256* object, uint32_t spaced, char* out, int32_t capacity);

// SHA224's own set-up operations.
uint32_t SHA224_SizeOf();
int64_t SHA224_Stack(void* memory);
int64_t SHA224_Unstack(void* memory);
int64_t SHA224_Create(SHA256** handle);
int64_t SHA224_Delete(SHA256** handle);
int64_t SHA224_CopyTo(SHA256* source, SHA256* target);
int64_t SHA224_Reset(SHA256* object);
