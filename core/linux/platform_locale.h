// Conversions between 16-bit text and the multibyte encoding of the current locale (LC_CTYPE),
// through the C library's wide/multibyte conversion.
#pragma once

#include <cstdint>

// Converts each 16-bit unit on its own (no surrogate pairing) up to the terminating 0, or up to
// `limit` units when limit >= 0. A null buffer only measures. With a buffer, characters are
// written while they fit in size - 1 bytes and the result is terminated (size >= 1). Returns the
// bytes produced (without the terminator), or -1 when a unit has no form in the locale;
// `consumed` receives the units read.
int32_t Platform_WideChar16ToMultiByte(int32_t* consumed, char* buffer, int32_t size, const uint16_t* text16,
                                       int32_t limit);

// Converts locale text, one 16-bit unit per character (a character beyond 0xFFFF becomes 0xFFFD),
// up to the terminating NUL, or up to `limit` bytes when limit >= 0. A null buffer only measures.
// With a buffer, stops when it holds size - 1 units and terminates (size >= 1). Returns the units
// produced (without the terminator), or -1 on an invalid or cut sequence; `consumed` receives
// the bytes read.
int32_t Platform_MultiByteToWideChar16(int32_t* consumed, uint16_t* buffer, int32_t size, const char* text,
                                       int32_t limit);
