// Conversions between 16-bit text and the locale's multibyte encoding: measured first through
// the platform layer, converted only when the whole result fits, so a target is never left cut.

#include "core/runtime/unicode.h"

#include <cstring>

#include "core/linux/platform_locale.h"
#include "core/runtime/debug.h"

int32_t String_CopyLengthToUtf16(uint16_t* target, int32_t capacity, const char* source, int32_t byteCount) {
    ASSERT_POINTER(target);
    ASSERT_POINTER(source);
    if (capacity < 1) return 0;
    target[0] = 0;
    if (byteCount < 1) return 0;
    int32_t consumed = 0;
    const int32_t needed = Platform_MultiByteToWideChar16(&consumed, nullptr, 0, source, byteCount);
    if (needed < 0 || needed > capacity - 1) return 0;
    const int32_t written = Platform_MultiByteToWideChar16(&consumed, target, capacity, source, byteCount);
    if (written < 0) {
        target[0] = 0;
        return 0;
    }
    return written;
}

int32_t String_CopyToUtf16(uint16_t* target, const char* source, int32_t capacity) {
    ASSERT_POINTER(source);
    // The terminator is part of what is converted: the conversion ends there.
    const size_t length = strlen(source);
    return String_CopyLengthToUtf16(target, capacity, source,
                                    length >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(length + 1));
}

int32_t StringUtf16_CopyLengthToAscii(char* target, int32_t capacity, const uint16_t* source, int32_t count) {
    ASSERT_POINTER(target);
    ASSERT_POINTER(source);
    if (capacity < 1) return 0;
    target[0] = 0;
    if (count < 1) return 0;
    int32_t consumed = 0;
    const int32_t needed = Platform_WideChar16ToMultiByte(&consumed, nullptr, 0, source, count);
    if (needed < 0 || needed > capacity - 1) return 0;
    const int32_t written = Platform_WideChar16ToMultiByte(&consumed, target, capacity, source, count);
    if (written < 0) {
        target[0] = 0;
        return 0;
    }
    return written;
}

int32_t StringUtf16_CopyToAscii(char* target, const uint16_t* source, int32_t capacity) {
    return StringUtf16_CopyLengthToAscii(target, capacity, source, StringUtf16_Length(source));
}
