// SHA-512 and SHA-384 (FIPS 180-4) on one engine, behind SHA512_INTERFACE and SHA384_INTERFACE.
#pragma once

#include <cstdint>

#include "core/crypto/digest_declare.h"
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
SHA2_DECLARE(SHA512, SHA384, uint64_t);
