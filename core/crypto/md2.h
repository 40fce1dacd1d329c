// MD2 (RFC 1319) behind MD2_INTERFACE, reached only through signature-algorithm identifiers.
#pragma once

#include <cstdint>

#include "core/crypto/digest_declare.h"
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
DIGEST_DECLARE_OPERATIONS(MD2, MD2, uint32_t);
