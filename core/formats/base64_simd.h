// Vector engines of the Base64 codecs: they take whole blocks of plain alphabet text or bytes and
// leave everything else (ends, padding, errors, short room) to the byte-wise code.
#pragma once

#include <cstddef>
#include <cstdint>

enum : int32_t {
    BASE64_ENGINE_SCALAR = 0,
    BASE64_ENGINE_SSSE3 = 1,
    BASE64_ENGINE_AVX2 = 2,
};

// Picks the best engine the processor has, at most `highest`; answers the one picked.
int32_t Base64Simd_Select(int32_t highest);
int32_t Base64Simd_Engine();

// Encodes whole 3-byte groups from the start of in, as long as a vector block's characters fit
// in room; stores the bytes taken in *consumed and answers the characters written (4 per group).
size_t Base64Simd_Encode(const uint8_t* in, size_t length, char* out, size_t room, bool urlSafe,
                         size_t* consumed);
// Decodes whole blocks of standard-alphabet characters (no '=', no byte outside the alphabet)
// from the start of the length readable characters of in, as long as every group of a block
// would start below limit output bytes; stores the bytes written in *produced and answers the
// characters taken (a multiple of 4). Nothing past the produced bytes is written.
size_t Base64Simd_Decode(const uint8_t* in, size_t length, uint8_t* out, size_t limit, size_t* produced);
