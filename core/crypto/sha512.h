// SHA-512 and SHA-384 (FIPS 180-4) on one engine, behind SHA512_INTERFACE and SHA384_INTERFACE.
#pragma once

#include <cstdint>

#include "core/crypto/hash.h"

enum : uint32_t {
    SHA512_CLASS_ID = 0x3302CB19,
    SHA512_DIGEST_SIZE = 64,
    SHA384_DIGEST_SIZE = 48,
};

// Serves both variants; they differ in the initial state and the digest length it holds.
struct SHA512 {
    Class Header;
    // A 128-bit byte count, low word then high word.
    uint64_t ByteCount[2];
    uint64_t State[8];
    uint8_t Block[128];
    uint32_t DigestReady;
    // Owned buffer of DigestSize bytes, made and freed only by SHA512_SetDigestSize.
    uint8_t* Digest;
    uint32_t DigestSize;
};

extern const uint64_t K512[80];

// SHA512_WriteByteBlock compresses one 128-byte block (big-endian words) into a state. SHA512_SetDigestSize
// frees the digest buffer, stores the size and allocates a buffer of that many bytes (none for 0). Process
// refuses a negative length with 0; through the record the full 32-bit length is taken. GetDigest answers 0
// and copies nothing when capacity is below the digest length; else the whole digest. SHA-384 has its own
// set-up operations; the rest are SHA-512's.
//
// SHA512_UseProcessorExtensions: whether blocks go through the AVX2 and BMI2 code. It is used by default when
// the processor has those extensions; allowed 0 forces the portable code (tests run both). Answers 1 when the
// extension code is in use afterwards.
extern const HashInterface SHA384_INTERFACE;
extern const HashInterface SHA512_INTERFACE;
extern const uint64_t SHA384_InitialState[8];
extern const uint64_t SHA512_InitialState[8];
void SHA512_WriteByteBlock(uint64_t state[8], const uint8_t* block);
int64_t SHA512_SetDigestSize(SHA512* sha, uint32_t size);
int64_t SHA512_UseProcessorExtensions(int32_t allowed);

// SHA512's operations, which serve SHA384 too past its set-up.
uint32_t SHA512_SizeOf();
int64_t SHA512_Stack(void* memory);
int64_t SHA512_Unstack(void* memory);
int64_t SHA512_Create(SHA512** handle);
int64_t SHA512_Delete(SHA512** handle);
int64_t SHA512_CopyTo(SHA512* source, SHA512* target);
int64_t SHA512_Reset(SHA512* object);
int64_t SHA512_AddRef(SHA512* object);
int64_t SHA512_Release(SHA512** handle);
int64_t SHA512_GetInstanceId(SHA512* object, char* buffer, int32_t size);
int64_t SHA512_Process(SHA512* object, const void* data, int32_t length);
uint32_t SHA512_IsGenerated(SHA512* object);
int64_t SHA512_Generate(SHA512* object);
uint32_t SHA512_GetDigest(SHA512* object, uint8_t* out, int32_t capacity);
uint32_t SHA512_GetString(SHA512* object, uint32_t spaced, char* out, int32_t capacity);

// SHA384's own set-up operations.
uint32_t SHA384_SizeOf();
int64_t SHA384_Stack(void* memory);
int64_t SHA384_Unstack(void* memory);
int64_t SHA384_Create(SHA512** handle);
int64_t SHA384_Delete(SHA512** handle);
int64_t SHA384_CopyTo(SHA512* source, SHA512* target);
int64_t SHA384_Reset(SHA512* object);
