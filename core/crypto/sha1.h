// SHA-1 (FIPS 180-4) behind SHA1_INTERFACE: the file check before a launch, the file-digest task
// and certificate thumbprints. Uses the processor's SHA instructions where it has them.
#pragma once

#include <cstdint>

#include "core/crypto/hash.h"

enum : uint32_t {
    SHA1_CLASS_ID = 0x333CEB0C,
    SHA1_DIGEST_SIZE = 20,
};

struct SHA1 {
    Class Header;
    // Message length in bits, low word then high word; the position in Block follows from it.
    uint32_t BitCount[2];
    uint32_t State[5];
    uint8_t Block[64];
    uint32_t DigestReady;
    uint8_t Digest[SHA1_DIGEST_SIZE];
};

extern const HashInterface SHA1_INTERFACE;

// GetDigest copies min(capacity, 20) digest bytes: a short buffer gets the leading bytes and still 1.
uint32_t SHA1_SizeOf();
int64_t SHA1_Stack(void* memory);
int64_t SHA1_Unstack(void* memory);
int64_t SHA1_Create(SHA1** handle);
int64_t SHA1_Delete(SHA1** handle);
int64_t SHA1_CopyTo(SHA1* source, SHA1* target);
int64_t SHA1_Reset(SHA1* object);
int64_t SHA1_AddRef(SHA1* object);
int64_t SHA1_Release(SHA1** handle);
int64_t SHA1_GetInstanceId(SHA1* object, char* buffer, int32_t size);
int64_t SHA1_Process(SHA1* object, const void* data, uint32_t length);
uint32_t SHA1_IsGenerated(SHA1* object);
int64_t SHA1_Generate(SHA1* object);
uint32_t SHA1_GetDigest(SHA1* object, uint8_t* out, int32_t capacity);
uint32_t SHA1_GetString(SHA1* object, uint32_t spaced, char* out, int32_t capacity);

// Whether blocks go through the processor's SHA instructions. They are used by default when the
// processor has them; allowed 0 forces the portable code (tests run both). Answers 1 when the
// instructions are in use afterwards.
int64_t SHA1_UseProcessorExtensions(int32_t allowed);
