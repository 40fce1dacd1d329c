// MD5 (RFC 1321) behind MD5_INTERFACE: HTTP Digest and NTLM authentication and the names of
// shared-memory areas.
#pragma once

#include <cstdint>

#include "core/crypto/digest_declare.h"
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
DIGEST_DECLARE_OPERATIONS(MD5, MD5, uint32_t);
