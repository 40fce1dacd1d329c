// Conversions between the system's UTF-8 text and 16-bit, 32-bit and Windows-1252 text, and
// single characters. Every write is bounded by the caller's capacity; every read by a terminator
// or a given length.

#include "core/runtime/unicode.h"

#include <cstdlib>
#include <cstring>

#include "core/runtime/debug.h"

namespace {

// Smallest value that needs a sequence of the index's length; anything below is an overlong form.
constexpr uint32_t Utf8Minimum[7] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};

// Lead-byte marks by sequence length.
constexpr uint8_t Utf8LeadMark[7] = {0, 0, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};

constexpr uint32_t ReplacementCharacter = 0xFFFD;

uint32_t AnsiCodePoint(uint8_t byte) {
    if (byte >= 0x80 && byte <= 0x9F) {
        const uint16_t mapped = Ansi80Utf16Table[byte - 0x80];
        return mapped != 0 ? mapped : byte;
    }
    return byte;
}

// Shared walk of the encoders to UTF-8: one byte of the capacity is always kept for the
// terminator, a unit that does not fit is skipped, a unit without a UTF-8 form ends the walk.
// `value` maps a source unit to its code point.
template <typename Unit, typename Map>
int32_t CopyLengthToUtf8(char* target, int32_t capacity, const Unit* source, int32_t count, Map value) {
    ASSERT_POINTER(target);
    ASSERT_POINTER(source);
    if (capacity < 1) return 0;
    target[0] = 0;
    int32_t used = 0;
    for (int32_t i = 0; i < count && capacity - used > 1; i++) {
        int32_t written = 0;
        if (!CharUtf64_CopyToUtf8(value(source[i]), target + used, capacity - used - 1, &written)) break;
        used += written;
    }
    target[used] = 0;
    return used;
}

uint64_t Plain16(uint16_t unit) {
    return unit;
}
uint64_t Swapped16(uint16_t unit) {
    return static_cast<uint16_t>((unit << 8) | (unit >> 8));
}
uint64_t Plain32(uint32_t unit) {
    return unit;
}
uint64_t Ansi(char byte) {
    return AnsiCodePoint(static_cast<uint8_t>(byte));
}

// Shared walk of the decoders from UTF-8: characters of source[0..lastIndex] go to one unit
// each (`store` maps the code point to the unit). A broken sequence ends the text; a conversion
// that fills the capacity is left unterminated.
template <typename Unit, typename Store>
int32_t CopyLengthFromUtf8(Unit* target, int32_t capacity, const char* source, int32_t lastIndex,
                           Store store) {
    ASSERT_POINTER(target);
    ASSERT_POINTER(source);
    if (capacity < 1) return 0;
    if (lastIndex < 0) {
        target[0] = 0;
        return 0;
    }
    const int64_t size = int64_t{lastIndex} + 1;
    int64_t position = 0;
    int32_t units = 0;
    for (;;) {
        uint32_t codePoint = 0;
        int32_t length = 0;
        const int64_t left = size - position;
        if (!CharUtf8_ConvertToUtf32(source + position, left > 8 ? 8 : static_cast<int32_t>(left), &codePoint,
                                     &length)) {
            target[units] = 0;
            return units;
        }
        target[units++] = store(codePoint);
        position += length;
        if (position >= size) break;
        if (units == capacity) return units;
    }
    if (units < capacity) target[units] = 0;
    return units;
}

uint16_t To16(uint32_t codePoint) {
    return static_cast<uint16_t>(codePoint > 0xFFFF ? ReplacementCharacter : codePoint);
}
uint32_t To32(uint32_t codePoint) {
    return codePoint;
}

// Byte length of a NUL-terminated text as an int32_t; -1 when it is too long for one.
int32_t TextLength(const char* text) {
    const size_t length = strlen(text);
    return length >= INT32_MAX ? -1 : static_cast<int32_t>(length);
}

// Allocates `capacity` units and fills them through `convert` (target, capacity), keeping the
// last unit for a terminator that is always written.
template <typename Unit, typename Convert>
int64_t CreateTerminated(int32_t capacity, Unit** target, Convert convert) {
    if (capacity < 1) return 0;
    Unit* text = static_cast<Unit*>(malloc(static_cast<size_t>(capacity) * sizeof(Unit)));
    if (text == nullptr) return 0;
    const int32_t units = convert(text, capacity - 1);
    text[units < 0 ? 0 : units] = 0;
    *target = text;
    return 1;
}

template <typename Unit> int64_t DeleteText(Unit** text) {
    ASSERT_POINTER(text);
    free(*text);
    *text = nullptr;
    return 1;
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

constinit const uint8_t Utf8Mask[8] = {0x00, 0x7F, 0x1F, 0x0F, 0x07, 0x03, 0x01, 0x00};

constinit const uint16_t Ansi80Utf16Table[32] = {
    0x20AC, 0x0000, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 0x80-0x87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x0000, 0x017D, 0x0000, // 0x88-0x8F
    0x0000, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 0x90-0x97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x0000, 0x017E, 0x0178, // 0x98-0x9F
};
// clang-format on

// ---- Single characters ---------------------------------------------------------------------

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
    *unit = To16(codePoint);
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

int32_t CharAnsi_LengthUtf8(uint8_t byte) {
    return CharUtf64_LengthUtf8(AnsiCodePoint(byte));
}

int64_t CharAnsi_CopyToUtf8(uint8_t byte, char* target, int32_t capacity, int32_t* length) {
    return CharUtf64_CopyToUtf8(AnsiCodePoint(byte), target, capacity, length);
}

// ---- UTF-8 source --------------------------------------------------------------------------

int32_t StringUtf8_Length(const char* text) {
    ASSERT_POINTER(text);
    int32_t count = 0;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
    while (*p != 0) {
        // Only continuation bytes are stepped over, so a cut sequence never carries the walk past
        // the terminator.
        const int32_t size = Utf8LengthTable[*p++];
        for (int32_t i = 1; i < size && (*p & 0xC0) == 0x80; i++) p++;
        if (count < INT32_MAX) count++;
    }
    return count;
}

int32_t StringUtf8_ValidLength(const char* text, int32_t length) {
    if (length < 1) return 0;
    ASSERT_POINTER(text);
    const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
    int32_t i = 0;
    while (i < length) {
        const uint8_t c = s[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        int32_t need;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            cp = c & 0x07;
        } else {
            return i;
        }
        if (i + need >= length) return i;
        for (int32_t k = 1; k <= need; k++) {
            if ((s[i + k] & 0xC0) != 0x80) return i;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        // The lead byte rules out two-byte overlongs; the value rules out the longer ones.
        if ((need == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (need == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return i;
        i += need + 1;
    }
    return i;
}

int32_t StringUtf8_CopyLengthToUtf16(uint16_t* target, int32_t capacity, const char* source,
                                     int32_t lastIndex) {
    return CopyLengthFromUtf8(target, capacity, source, lastIndex, To16);
}

int32_t StringUtf8_CopyToUtf16(uint16_t* target, const char* source, int32_t capacity) {
    ASSERT_POINTER(source);
    return CopyLengthFromUtf8(target, capacity, source, TextLength(source) - 1, To16);
}

int32_t StringUtf8_CopyLengthToUtf32(uint32_t* target, int32_t capacity, const char* source,
                                     int32_t lastIndex) {
    return CopyLengthFromUtf8(target, capacity, source, lastIndex, To32);
}

int32_t StringUtf8_CopyToUtf32(uint32_t* target, const char* source, int32_t capacity) {
    ASSERT_POINTER(source);
    return CopyLengthFromUtf8(target, capacity, source, TextLength(source) - 1, To32);
}

int64_t StringUtf8_CreateUtf16Length(const char* source, int32_t capacity, uint16_t** target) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(target);
    *target = nullptr;
    return CreateTerminated(capacity, target, [source](uint16_t* text, int32_t room) {
        return StringUtf8_CopyToUtf16(text, source, room);
    });
}

int64_t StringUtf8_CreateUtf16(const char* source, uint16_t** target) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(target);
    *target = nullptr;
    // A text never has more characters than bytes.
    const int32_t length = TextLength(source);
    if (length < 0) return 0;
    return StringUtf8_CreateUtf16Length(source, length + 1, target);
}

int64_t StringUtf8_CreateWideLength(const char* source, int32_t capacity, uint32_t** target) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(target);
    *target = nullptr;
    return CreateTerminated(capacity, target, [source](uint32_t* text, int32_t room) {
        return StringUtf8_CopyToUtf32(text, source, room);
    });
}

int64_t StringUtf8_CreateWide(const char* source, uint32_t** target) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(target);
    *target = nullptr;
    const int32_t length = TextLength(source);
    if (length < 0) return 0;
    return StringUtf8_CreateWideLength(source, length + 1, target);
}

int64_t StringUtf8_DeleteUtf16(uint16_t** text) {
    return DeleteText(text);
}

int64_t StringUtf8_DeleteWide(uint32_t** text) {
    return DeleteText(text);
}

// ---- 16-bit source -------------------------------------------------------------------------

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
    return CopyLengthToUtf8(target, capacity, source, count, Plain16);
}

int32_t StringUtf16_CopyToUtf8(char* target, const uint16_t* source, int32_t capacity) {
    return CopyLengthToUtf8(target, capacity, source, StringUtf16_Length(source), Plain16);
}

int32_t StringUtf16_ESCopyLengthToUtf8(char* target, int32_t capacity, const uint16_t* source,
                                       int32_t count) {
    return CopyLengthToUtf8(target, capacity, source, count, Swapped16);
}

int64_t StringUtf16_CreateUtf8Length(const uint16_t* source, int32_t size, char** target) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(target);
    *target = nullptr;
    if (size < 1) return 0;
    char* text = static_cast<char*>(malloc(static_cast<size_t>(size)));
    if (text == nullptr) return 0;
    StringUtf16_CopyToUtf8(text, source, size);
    *target = text;
    return 1;
}

int64_t StringUtf16_CreateUtf8(const uint16_t* source, char** target) {
    ASSERT_POINTER(target);
    *target = nullptr;
    const int32_t length = StringUtf16_LengthUtf8(source);
    if (length == INT32_MAX) return 0;
    return StringUtf16_CreateUtf8Length(source, length + 1, target);
}

int64_t StringUtf16_DeleteUtf8(char** text) {
    return DeleteText(text);
}

// ---- 32-bit source -------------------------------------------------------------------------

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
    return CopyLengthToUtf8(target, capacity, source, count, Plain32);
}

int32_t StringUtf32_CopyToUtf8(char* target, const uint32_t* source, int32_t capacity) {
    ASSERT_POINTER(source);
    const int32_t length = StringUtf32_Length(source);
    // The terminating 0 is encoded too, as one 0 byte that the result counts.
    return CopyLengthToUtf8(target, capacity, source, length == INT32_MAX ? length : length + 1, Plain32);
}

int32_t StringUtf32_CopyLengthToUtf16(uint16_t* target, int32_t capacity, const uint32_t* source,
                                      int32_t lastIndex) {
    ASSERT_POINTER(target);
    ASSERT_POINTER(source);
    if (capacity < 1) return 0;
    int32_t units = 0;
    // Same termination rule as the UTF-8 decoders: a full capacity is left unterminated.
    for (int32_t i = 0; i <= lastIndex; i++) {
        target[units++] = To16(source[i]);
        if (units == capacity) return units;
    }
    target[units] = 0;
    return units;
}

int32_t StringUtf32_CopyToUtf16(uint16_t* target, const uint32_t* source, int32_t capacity) {
    return StringUtf32_CopyLengthToUtf16(target, capacity, source, StringUtf32_Length(source) - 1);
}

int64_t WideString_CreateLength(int32_t count, uint32_t** text) {
    ASSERT_POINTER(text);
    *text = nullptr;
    if (count < 1) return 0;
    uint32_t* block = static_cast<uint32_t*>(calloc(static_cast<size_t>(count), sizeof(uint32_t)));
    if (block == nullptr) return 0;
    *text = block;
    return 1;
}

int64_t WideString_CreateUtf8Length(const uint32_t* source, int32_t size, char** target) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(target);
    *target = nullptr;
    if (size < 1) return 0;
    char* text = static_cast<char*>(malloc(static_cast<size_t>(size)));
    if (text == nullptr) return 0;
    StringUtf32_CopyToUtf8(text, source, size);
    *target = text;
    return 1;
}

int64_t WideString_CreateUtf8(const uint32_t* source, char** target) {
    ASSERT_POINTER(target);
    *target = nullptr;
    const int32_t length = StringUtf32_LengthUtf8(source);
    if (length == INT32_MAX) return 0;
    return WideString_CreateUtf8Length(source, length + 1, target);
}

int64_t WideString_DeleteLength(uint32_t** text) {
    return DeleteText(text);
}

int64_t WideString_DeleteUtf8(char** text) {
    return DeleteText(text);
}

// ---- Windows-1252 source -------------------------------------------------------------------

int32_t StringAnsi_LengthUtf8(const char* text) {
    ASSERT_POINTER(text);
    int64_t total = 0;
    for (const char* p = text; *p != 0; p++) total += CharAnsi_LengthUtf8(static_cast<uint8_t>(*p));
    return total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
}

int32_t StringAnsi_CopyLengthToUtf8(char* target, int32_t capacity, const char* source, int32_t count) {
    return CopyLengthToUtf8(target, capacity, source, count, Ansi);
}

int32_t StringAnsi_CopyToUtf8(char* target, const char* source, int32_t capacity) {
    ASSERT_POINTER(source);
    const int32_t length = TextLength(source);
    return CopyLengthToUtf8(target, capacity, source, length < 0 ? INT32_MAX : length, Ansi);
}

int64_t StringAnsi_CreateUtf8Length(const char* source, int32_t size, char** target) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(target);
    *target = nullptr;
    if (size < 1) return 0;
    char* text = static_cast<char*>(malloc(static_cast<size_t>(size)));
    if (text == nullptr) return 0;
    StringAnsi_CopyToUtf8(text, source, size);
    *target = text;
    return 1;
}

int64_t StringAnsi_CreateUtf8(const char* source, char** target) {
    ASSERT_POINTER(target);
    *target = nullptr;
    const int32_t length = StringAnsi_LengthUtf8(source);
    if (length == INT32_MAX) return 0;
    return StringAnsi_CreateUtf8Length(source, length + 1, target);
}

int64_t StringAnsi_DeleteUtf8(char** text) {
    return DeleteText(text);
}
