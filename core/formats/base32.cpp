// Base32 encoding of RFC 4648 section 6 over the caller's alphabet (the skin's random host
// names use the RFC alphabet).
#include "core/formats/base32.h"

#include <algorithm>
#include <cstring>

#include "core/runtime/debug.h"

namespace {

// Characters of a final group of 1 to 5 bytes; the rest of its 8 places is padding.
constexpr int32_t kSignificant[6] = {0, 2, 4, 5, 7, 8};

} // namespace

int64_t Base32_Encode(const void* bytes, int32_t length, const char* alphabet, char* text, int32_t capacity,
                      uint32_t* written) {
    ASSERT_POINTER(alphabet);
    ASSERT_POINTER(text);
    ASSERT_POINTER(written);
    *written = 0;
    ASSERT_MSG(strnlen(alphabet, 32) == 32, "The Base32 alphabet needs 32 characters");
    if (length > 0) ASSERT_POINTER(bytes);
    if (length < 0) length = 0;
    const uint8_t* in = static_cast<const uint8_t*>(bytes);
    int64_t room = std::max<int32_t>(capacity, 0);
    int64_t out = 0;
    int32_t i = 0;
    // Whole groups only: a group whose 8 places (padding included) do not fit is not begun.
    while (i < length && room - out >= 8) {
        int32_t n = std::min(5, length - i);
        uint64_t v = 0;
        for (int32_t k = 0; k < 5; k++) v = (v << 8) | (k < n ? in[i + k] : 0);
        for (int32_t k = 0; k < 8; k++)
            text[out + k] = k < kSignificant[n] ? alphabet[(v >> (35 - 5 * k)) & 31] : '=';
        out += 8;
        i += n;
    }
    if (out < room) text[out] = 0;
    *written = (uint32_t)out;
    return i == length ? 1 : 0;
}

int64_t Base32_CalculateEncodeSize(uint32_t count, uint32_t* size) {
    ASSERT_POINTER(size);
    *size = 0;
    uint64_t need = ((uint64_t)count + 4) / 5 * 8 + 1;
    if (need > 0x7FFFFFFF) return 0;
    *size = (uint32_t)need;
    return 1;
}
