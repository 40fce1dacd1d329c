// MD4 (RFC 1320) behind MD4_INTERFACE, kept for NTLM authentication.
#pragma once

#include <cstdint>

#include "core/crypto/digest_declare.h"
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
DIGEST_DECLARE_OPERATIONS(MD4, MD4, uint32_t);
