// SHA-1 (FIPS 180-4) behind SHA1_INTERFACE: the file check before a launch, the file-digest task
// and certificate thumbprints. Uses the processor's SHA instructions where it has them.
#pragma once

#include <cstdint>

#include "core/crypto/digest_declare.h"
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
DIGEST_DECLARE_OPERATIONS(SHA1, SHA1, uint32_t);

// Whether blocks go through the processor's SHA instructions. They are used by default when the
// processor has them; allowed 0 forces the portable code (tests run both). Answers 1 when the
// instructions are in use afterwards.
int64_t SHA1_UseProcessorExtensions(int32_t allowed);
