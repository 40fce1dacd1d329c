// Locale text conversions of the platform layer: 16-bit units to and from the multibyte encoding
// of the calling thread's locale, each character on its own.
#include "core/linux/platform_locale.h"

#include <climits>
#include <cstring>
#include <cwchar>

#include "core/runtime/debug.h"

int32_t Platform_WideChar16ToMultiByte(int32_t* consumed, char* buffer, int32_t size, const uint16_t* text16,
                                       int32_t limit) {
    ASSERT_POINTER(consumed);
    ASSERT_POINTER(text16);
    *consumed = 0;
    // With a buffer, one byte is always kept for the terminator.
    const int64_t room = buffer == nullptr ? INT64_MAX : int64_t{size} - 1;
    if (buffer != nullptr && size >= 1) buffer[0] = 0;
    mbstate_t state;
    memset(&state, 0, sizeof(state));
    int64_t used = 0;
    int32_t read = 0;
    while ((limit < 0 || read < limit) && text16[read] != 0) {
        char bytes[MB_LEN_MAX];
        // wchar_t holds the unit's value; a lone surrogate has no multibyte form and fails here.
        const size_t n = wcrtomb(bytes, static_cast<wchar_t>(text16[read]), &state);
        if (n == static_cast<size_t>(-1)) {
            if (buffer != nullptr && size >= 1) buffer[used] = 0;
            *consumed = read;
            return -1;
        }
        if (used + static_cast<int64_t>(n) > room) break;
        if (used + static_cast<int64_t>(n) > INT32_MAX - 1) break;
        if (buffer != nullptr) memcpy(buffer + used, bytes, n);
        used += static_cast<int64_t>(n);
        read++;
    }
    if (buffer != nullptr && size >= 1) buffer[used] = 0;
    *consumed = read;
    return static_cast<int32_t>(used);
}

int32_t Platform_MultiByteToWideChar16(int32_t* consumed, uint16_t* buffer, int32_t size, const char* text,
                                       int32_t limit) {
    ASSERT_POINTER(consumed);
    ASSERT_POINTER(text);
    *consumed = 0;
    const int64_t room = buffer == nullptr ? INT64_MAX : int64_t{size} - 1;
    if (buffer != nullptr && size >= 1) buffer[0] = 0;
    mbstate_t state;
    memset(&state, 0, sizeof(state));
    int64_t read = 0;
    int32_t units = 0;
    for (;;) {
        if (units >= room || units == INT32_MAX - 1) break;
        // The bytes the converter may look at: up to the limit and never past the terminator, so
        // that a sequence cut by either is reported rather than read beyond.
        const int64_t left = limit < 0 ? MB_LEN_MAX : limit - read;
        const size_t available =
            strnlen(text + read, static_cast<size_t>(left < MB_LEN_MAX ? left : MB_LEN_MAX));
        if (available == 0) break;
        wchar_t character = 0;
        const size_t n = mbrtowc(&character, text + read, available, &state);
        if (n == 0) break;
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            // Invalid, or cut by the limit.
            if (buffer != nullptr && size >= 1) buffer[units] = 0;
            *consumed = static_cast<int32_t>(read);
            return -1;
        }
        const uint32_t value = static_cast<uint32_t>(character);
        if (buffer != nullptr) buffer[units] = static_cast<uint16_t>(value > 0xFFFF ? 0xFFFD : value);
        units++;
        read += static_cast<int64_t>(n);
    }
    if (buffer != nullptr && size >= 1) buffer[units] = 0;
    *consumed = static_cast<int32_t>(read);
    return units;
}
