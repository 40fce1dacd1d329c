// Conversions between the system's UTF-8 text and 16-bit and 32-bit text, and single characters.
// UTF-8 is read and written in its six-byte form; 16-bit text holds one unit per character.
#pragma once

#include <cstdint>

// Sequence length by lead byte: 1 for ASCII, stray continuation bytes, 0xFE and 0xFF.
extern const uint8_t Utf8LengthTable[256];
// Value bits of a lead byte by sequence length (index 0 unused).
extern const uint8_t Utf8Mask[8];

// --- Single characters ---

// The Utf8LengthTable entry of the byte at `lead`.
int32_t CharUtf8_Length(const char* lead);

// Decodes one UTF-8 character into a 16-bit unit. A stray continuation byte, 0xFE, 0xFF, an
// overlong form and a character beyond 0xFFFF give 0xFFFD (never the character an overlong form
// imitates); `length` receives the bytes taken. A lead byte not followed by enough continuation
// bytes (a NUL ends them) is invalid: result 0, unit 0xFFFD, `length` the bytes before the one that
// broke the sequence. Never reads past a NUL.
int64_t CharUtf8_ConvertToUtf16(const char* source, uint16_t* unit, int32_t* length);

// The same into a full code point, reading at most `available` bytes (a NUL also ends them):
// characters above 0xFFFF keep their value here. Result 1 when a character (or the 0xFFFD that
// replaces a stray byte or an overlong form) was decoded, 0 for a cut or broken sequence.
int64_t CharUtf8_ConvertToUtf32(const char* source, int32_t available, uint32_t* codePoint, int32_t* length);

// UTF-8 length of a code point: 1 to 6, 0 above 0x7FFFFFFF.
int32_t CharUtf64_LengthUtf8(uint64_t codePoint);

// Writes the UTF-8 form of `codePoint` when it fits in `capacity` bytes (no terminator); when it
// does not fit nothing is written, `length` is 0 and the result is still 1. 0 above 0x7FFFFFFF.
int64_t CharUtf64_CopyToUtf8(uint64_t codePoint, char* target, int32_t capacity, int32_t* length);

// --- 16-bit source ---

int32_t StringUtf16_Length(const uint16_t* text);
// UTF-8 length of the text: 1 per unit below 0x80, 2 below 0x800, else 3.
int32_t StringUtf16_LengthUtf8(const uint16_t* text);
// Encodes `count` units into at most capacity - 1 bytes and terminates; a unit that does not fit
// is skipped (a later shorter one may still fit). Returns the bytes written.
int32_t StringUtf16_CopyLengthToUtf8(char* target, int32_t capacity, const uint16_t* source, int32_t count);
int32_t StringUtf16_CopyToUtf8(char* target, const uint16_t* source, int32_t capacity);

// --- 32-bit source ---

int32_t StringUtf32_Length(const uint32_t* text);
// Sum of CharUtf64_LengthUtf8 over the text; 0 when any unit is 0x80000000 or above.
int32_t StringUtf32_LengthUtf8(const uint32_t* text);
// As StringUtf16_CopyLengthToUtf8; stops at a unit that has no UTF-8 form.
int32_t StringUtf32_CopyLengthToUtf8(char* target, int32_t capacity, const uint32_t* source, int32_t count);
// Encodes the text and its terminating 0 (as one 0 byte, counted in the result).
int32_t StringUtf32_CopyToUtf8(char* target, const uint32_t* source, int32_t capacity);
