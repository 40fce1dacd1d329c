// Variable-length integers of the delta format: base 128, most significant group first, the high
// bit set on every byte but the last.
#pragma once

#include <cstdint>

// Reads one integer from data[*position, length) that takes at most maxBytes bytes and whose value
// does not exceed limit; on success moves *position past it. A longer integer, one that runs past
// the end or one whose value overflows the limit is refused.
inline bool VCDiffInteger_Read(const uint8_t* data, uint32_t length, uint32_t* position, uint32_t maxBytes,
                               uint64_t limit, uint64_t* value) {
    uint64_t v = 0;
    uint32_t p = *position;
    for (uint32_t n = 0; n < maxBytes; n++) {
        if (p >= length) return false;
        const uint8_t b = data[p++];
        if (v > (limit >> 7)) return false;
        v = (v << 7) | (b & 0x7F);
        if (v > limit) return false;
        if (!(b & 0x80)) {
            *position = p;
            *value = v;
            return true;
        }
    }
    return false;
}

// The two widths of the format's fields: a 32-bit field takes at most 5 bytes, a 64-bit one 10.
inline bool VCDiffInteger_Read32(const uint8_t* data, uint32_t length, uint32_t* position, uint32_t* value) {
    uint64_t v = 0;
    if (!VCDiffInteger_Read(data, length, position, 5, UINT32_MAX, &v)) return false;
    *value = (uint32_t)v;
    return true;
}

inline bool VCDiffInteger_Read64(const uint8_t* data, uint32_t length, uint32_t* position, uint64_t* value) {
    return VCDiffInteger_Read(data, length, position, 10, UINT64_MAX, value);
}
