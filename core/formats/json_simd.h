// Vector searches of the JSON scanner (SSE2 and AVX2, picked at run time from what the processor
// has): the end of the plain run of a string and of a run of white space, many bytes at a time.
#pragma once

#include <cstddef>
#include <cstdint>

enum : int32_t {
    JSON_SIMD_SCALAR = 0,
    JSON_SIMD_SSE2 = 1,
    JSON_SIMD_AVX2 = 2,
};

// Picks the best engine the processor has, at most `highest`; answers the one picked.
int32_t JsonSimd_Select(int32_t highest);
int32_t JsonSimd_Engine();

// The first position from `i` on (at most `length`) holding a quote, a backslash or NUL.
// *nonAscii is set when a byte at or above 0x80 lies before it (it is left alone otherwise).
size_t JsonSimd_StringRunEnd(const uint8_t* bytes, size_t i, size_t length, bool* nonAscii);
// The first position from `i` on (at most `length`) that is not a space, tab, CR or LF.
size_t JsonSimd_SpaceRunEnd(const uint8_t* bytes, size_t i, size_t length);
