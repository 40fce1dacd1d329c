// Hashes of texts that come from outside (keys of loaded documents, names in manifests) under a
// secret: a table of them cannot be crowded into a few buckets by texts chosen to collide, as
// it can under a fixed hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The secret of the process, drawn once when first asked for.
const uint64_t* KeyedHash_ProcessKey();

// ASCII letters of the eight bytes made lower case, without a branch.
inline uint64_t KeyedHash_FoldWord(uint64_t x) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    const uint64_t low = x & (0x7F * ones);
    const uint64_t fromA = low + (0x80 - 'A') * ones;     // bit 7 set where byte >= 'A'
    const uint64_t pastZ = low + (0x80 - 'Z' - 1) * ones; // bit 7 set where byte > 'Z'
    const uint64_t upper = fromA & ~pastZ & ~x & (0x80 * ones);
    return x | (upper >> 2);
}

// The 128-bit product of the two words folded to 64 bits: every input bit reaches every output
// bit, and with a secret in both factors the result cannot be steered without knowing it.
inline uint64_t KeyedHash_Mix(uint64_t a, uint64_t b) {
    const unsigned __int128 product = (unsigned __int128)a * b;
    return (uint64_t)product ^ (uint64_t)(product >> 64);
}

// Eight bytes at a time (little-endian words), each mixed with the key; ASCII letters folded to
// lower case when caseless, so that texts equal without case hash alike.
inline uint32_t KeyedHash_Text(const uint64_t key[2], const char* text, size_t length, bool caseless) {
    const uint64_t k0 = key[0], k1 = key[1];
    uint64_t h = k0 ^ (uint64_t)length;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t w;
        memcpy(&w, text + i, 8);
        h = KeyedHash_Mix((caseless ? KeyedHash_FoldWord(w) : w) ^ k1, h ^ k0);
    }
    uint64_t tail = 0;
    memcpy(&tail, text + i, length - i);
    if (caseless) tail = KeyedHash_FoldWord(tail);
    h = KeyedHash_Mix(tail ^ k1, h ^ k0 ^ 0x9E3779B97F4A7C15ull);
    h = KeyedHash_Mix(h ^ k0, k1 ^ 0xD6E8FEB86659FD93ull);
    return (uint32_t)(h ^ (h >> 32));
}
