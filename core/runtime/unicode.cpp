// Conversions between the system's UTF-8 text and 16-bit and 32-bit text, and single characters.
// Every write is bounded by the caller's capacity; every read by a terminator or a given length.

#include "core/runtime/unicode.h"

#include "core/runtime/debug.h"

namespace {

// Smallest value that needs a sequence of the index's length; anything below is an overlong form.
constexpr uint32_t Utf8Minimum[7] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};

// Lead-byte marks by sequence length.
constexpr uint8_t Utf8LeadMark[7] = {0, 0, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};

constexpr uint32_t ReplacementCharacter = 0xFFFD;

// Shared walk of the 16-bit and 32-bit encoders: one byte of the capacity is always kept for the
// terminator, a unit that does not fit is skipped, a unit without a UTF-8 form ends the walk.
template <typename Unit>
int32_t CopyLengthToUtf8(char* target, int32_t capacity, const Unit* source, int32_t count) {
    ASSERT_POINTER(target);
    ASSERT_POINTER(source);
    if (capacity < 1) return 0;
    target[0] = 0;
    int32_t used = 0;
    for (int32_t i = 0; i < count && capacity - used > 1; i++) {
        int32_t written = 0;
        if (!CharUtf64_CopyToUtf8(static_cast<uint64_t>(source[i]), target + used, capacity - used - 1,
                                  &written))
            break;
        used += written;
    }
    target[used] = 0;
    return used;
}

} // namespace

// clang-format off
constinit const uint8_t Utf8LengthTable[256] = {
#define QVR_ROW(n) n, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n
    QVR_ROW(1), QVR_ROW(1), QVR_ROW(1), QVR_ROW(1), QVR_ROW(1), QVR_ROW(1), QVR_ROW(1), QVR_ROW(1), // 0x00-0x7F
    QVR_ROW(1), QVR_ROW(1), QVR_ROW(1), QVR_ROW(1),                                                 // 0x80-0xBF
    QVR_ROW(2), QVR_ROW(2),                                                                         // 0xC0-0xDF
    QVR_ROW(3),                                                                                     // 0xE0-0xEF
    4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 1, 1,                                                 // 0xF0-0xFF
#undef QVR_ROW
};
// clang-format on

constinit const uint8_t Utf8Mask[8] = {0x00, 0x7F, 0x1F, 0x0F, 0x07, 0x03, 0x01, 0x00};

int32_t CharUtf8_Length(const char* lead) {
    ASSERT_POINTER(lead);
    return Utf8LengthTable[static_cast<uint8_t>(*lead)];
}

int64_t CharUtf8_ConvertToUtf32(const char* source, int32_t available, uint32_t* codePoint, int32_t* length) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(codePoint);
    ASSERT_POINTER(length);
    *codePoint = ReplacementCharacter;
    *length = 0;
    if (available < 1) return 0;

    const uint8_t lead = static_cast<uint8_t>(source[0]);
    if (lead < 0x80) {
        *codePoint = lead;
        *length = 1;
        return 1;
    }
    const int32_t size = Utf8LengthTable[lead];
    if (size == 1) {
        // A stray continuation byte, 0xFE or 0xFF: not a character, so it never stands for one.
        *length = 1;
        return 1;
    }
    uint32_t value = lead & Utf8Mask[size];
    for (int32_t i = 1; i < size; i++) {
        // Checked before the next byte is read: a NUL is no continuation byte, so a cut sequence
        // stops at the terminator.
        if (i >= available || (static_cast<uint8_t>(source[i]) & 0xC0) != 0x80) {
            *length = i;
            return 0;
        }
        value = (value << 6) | (static_cast<uint8_t>(source[i]) & 0x3F);
    }
    *length = size;
    // An overlong form would let a filter that looks for '/' or '"' be bypassed.
    if (value >= Utf8Minimum[size]) *codePoint = value;
    return 1;
}

int64_t CharUtf8_ConvertToUtf16(const char* source, uint16_t* unit, int32_t* length) {
    ASSERT_POINTER(unit);
    *unit = static_cast<uint16_t>(ReplacementCharacter);
    uint32_t codePoint = 0;
    // Six bytes at most are looked at; the NUL test stops earlier at the end of the text.
    const int64_t result = CharUtf8_ConvertToUtf32(source, 6, &codePoint, length);
    *unit = static_cast<uint16_t>(codePoint > 0xFFFF ? ReplacementCharacter : codePoint);
    return result;
}

int32_t CharUtf64_LengthUtf8(uint64_t codePoint) {
    if (codePoint < 0x80) return 1;
    if (codePoint < 0x800) return 2;
    if (codePoint < 0x10000) return 3;
    if (codePoint < 0x200000) return 4;
    if (codePoint < 0x4000000) return 5;
    if (codePoint < 0x80000000) return 6;
    return 0;
}

int64_t CharUtf64_CopyToUtf8(uint64_t codePoint, char* target, int32_t capacity, int32_t* length) {
    ASSERT_POINTER(target);
    ASSERT_POINTER(length);
    *length = 0;
    const int32_t size = CharUtf64_LengthUtf8(codePoint);
    if (size == 0) return 0;
    if (capacity < size) return 1;
    if (size == 1) {
        target[0] = static_cast<char>(codePoint);
    } else {
        uint64_t value = codePoint;
        for (int32_t i = size - 1; i > 0; i--) {
            target[i] = static_cast<char>(0x80 | (value & 0x3F));
            value >>= 6;
        }
        target[0] = static_cast<char>(Utf8LeadMark[size] | value);
    }
    *length = size;
    return 1;
}

int32_t StringUtf16_Length(const uint16_t* text) {
    ASSERT_POINTER(text);
    int32_t count = 0;
    while (text[count] != 0) count++;
    return count;
}

int32_t StringUtf16_LengthUtf8(const uint16_t* text) {
    ASSERT_POINTER(text);
    int64_t total = 0;
    for (const uint16_t* p = text; *p != 0; p++) total += *p < 0x80 ? 1 : *p < 0x800 ? 2 : 3;
    return total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
}

int32_t StringUtf16_CopyLengthToUtf8(char* target, int32_t capacity, const uint16_t* source, int32_t count) {
    return CopyLengthToUtf8(target, capacity, source, count);
}

int32_t StringUtf16_CopyToUtf8(char* target, const uint16_t* source, int32_t capacity) {
    return CopyLengthToUtf8(target, capacity, source, StringUtf16_Length(source));
}

int32_t StringUtf32_Length(const uint32_t* text) {
    ASSERT_POINTER(text);
    int32_t count = 0;
    while (text[count] != 0) count++;
    return count;
}

int32_t StringUtf32_LengthUtf8(const uint32_t* text) {
    ASSERT_POINTER(text);
    int64_t total = 0;
    for (const uint32_t* p = text; *p != 0; p++) {
        const int32_t size = CharUtf64_LengthUtf8(*p);
        if (size == 0) return 0;
        total += size;
    }
    return total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
}

int32_t StringUtf32_CopyLengthToUtf8(char* target, int32_t capacity, const uint32_t* source, int32_t count) {
    return CopyLengthToUtf8(target, capacity, source, count);
}

int32_t StringUtf32_CopyToUtf8(char* target, const uint32_t* source, int32_t capacity) {
    ASSERT_POINTER(source);
    const int32_t length = StringUtf32_Length(source);
    // The terminating 0 is encoded too, as one 0 byte that the result counts.
    return CopyLengthToUtf8(target, capacity, source, length == INT32_MAX ? length : length + 1);
}
