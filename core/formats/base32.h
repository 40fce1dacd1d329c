// Base32 encoding with RFC 4648 grouping over a caller-given 32-character alphabet.
#pragma once

#include <cstdint>

// 1 when every byte and its padding were written, 0 when the capacity ran out (written then
// counts the whole groups that fit). Terminated when room is left.
int64_t Base32_Encode(const void* bytes, int32_t length, const char* alphabet, char* text, int32_t capacity,
                      uint32_t* written);
// Capacity for the text of count bytes with its terminator; 0 when it exceeds a 32-bit capacity.
int64_t Base32_CalculateEncodeSize(uint32_t count, uint32_t* size);
