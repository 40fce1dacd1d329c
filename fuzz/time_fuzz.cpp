// Feeds arbitrary text to the date, zone and time-span parsers and checks that whatever they
// accept decodes to a value that is never negative.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/runtime/time.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The parsers take NUL-terminated text; an exact-size copy lets the sanitizer catch any
    // read past its end.
    char* text = static_cast<char*>(malloc(size + 1));
    if (text == nullptr) return 0;
    memcpy(text, data, size);
    text[size] = '\0';

    int32_t hour, minute, second, month, day;
    uint32_t year;
    if (Time_ParseString(text, &hour, &minute, &second, &month, &day, &year)) {
        if (month < 1 || month > 12) abort();
    }
    double value = -1.0;
    const int64_t parsed = Time_ParseStringEncoded(text, &value);
    if (value < 0.0 || (!parsed && value != 0.0)) abort();
    if (parsed) {
        char buffer[64];
        Time_EncodedString(0x40000000, buffer, sizeof(buffer), value);
        Time_EncodedString(0x7B, buffer, sizeof(buffer), value);
    }

    int32_t hours, minutes;
    if (Time_ParseOffsetString(text, &hours, &minutes)) {
        if (hours < -99 || hours > 99 || minutes < -99 || minutes > 99) abort();
    }

    value = -1.0;
    const int64_t span = Time_SpanParse(text, &value);
    if (value < 0.0 || (!span && value != 0.0)) abort();

    free(text);
    return 0;
}
