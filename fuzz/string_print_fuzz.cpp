// Outside text printed through the string conversions (JSON escaping above all) into buffers of
// every small capacity: the output must stay inside the buffer, terminated, and escaped text must
// hold no raw control byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/runtime/string_print.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int32_t capacity = data[0] % 64 + 1;
    std::vector<char> text(data + 1, data + size);
    text.push_back(0);
    static const char* const kFormats[] = {"%js", "%s", "%.5s", "%10s|", "%-7S|", "[%js]", "%.3js"};
    for (const char* format : kFormats) {
        std::vector<char> out((size_t)capacity + 8, '\x5A');
        const int32_t used = String_Print(out.data(), capacity, format, text.data());
        if (used < 0 || used >= capacity || out[(size_t)used] != 0) abort();
        for (size_t i = (size_t)capacity; i < out.size(); i++)
            if (out[i] != '\x5A') abort();
        if (strcmp(format, "%js") == 0)
            for (int32_t i = 0; i < used; i++)
                if ((uint8_t)out[(size_t)i] < 0x20) abort();
        if (String_GetPrintLength(format, text.data()) < used) abort();
    }
    return 0;
}
