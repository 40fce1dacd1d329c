// Escaping of names for log lines (see log_text.h).
#include "core/runtime/log_text.h"

#include <cstring>

namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr char kCut[] = "...";

// The escape of the character at `p` (with `*length` its byte count) into `out`, or 0 when it
// stands as it is.
int32_t EscapeAt(const uint8_t* p, int32_t* length, char* out) {
    *length = 1;
    const uint8_t c = p[0];
    if (c < 0x20 || c == 0x7f) {
        const char* named = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : nullptr;
        if (named) {
            memcpy(out, named, 2);
            return 2;
        }
        out[0] = '\\';
        out[1] = 'x';
        out[2] = kHex[c >> 4];
        out[3] = kHex[c & 15];
        return 4;
    }
    uint32_t code = 0;
    if (c == 0xc2 && p[1] >= 0x80 && p[1] <= 0x9f) {
        code = p[1];
        *length = 2;
    } else if (c == 0xe2 && p[1] == 0x80 && (p[2] == 0xa8 || p[2] == 0xa9)) {
        code = 0x2000u | (uint32_t)(p[2] - 0x80);
        *length = 3;
    } else {
        return 0;
    }
    out[0] = '\\';
    out[1] = 'u';
    for (int32_t i = 0; i < 4; i++) out[2 + i] = kHex[(code >> (12 - 4 * i)) & 15];
    return 6;
}

} // namespace

int64_t LogText_Escape(const char* text, char* buffer, int32_t capacity) {
    if (!buffer || capacity < 1) return 0;
    buffer[0] = 0;
    if (!text) return 1;
    const int32_t room = capacity - 1;
    int32_t used = 0;
    const int32_t mark = (int32_t)(sizeof(kCut) - 1);
    // Where a cut goes: the start of the first character that would leave no room for the mark
    // (a character copied as it is is never split).
    int32_t cutAt = -1, characterStart = 0;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
    while (*p) {
        char escaped[8];
        int32_t length = 1;
        const int32_t size = EscapeAt(p, &length, escaped);
        const int32_t add = size ? size : 1;
        if ((*p & 0xc0) != 0x80) characterStart = used;
        if (cutAt < 0 && used + add > room - mark) cutAt = characterStart;
        if (used + add > room) {
            used = cutAt;
            if (used + mark <= room) {
                memcpy(buffer + used, kCut, (size_t)mark);
                used += mark;
            }
            buffer[used] = 0;
            return 0;
        }
        if (size)
            memcpy(buffer + used, escaped, (size_t)size);
        else
            buffer[used] = (char)*p;
        used += add;
        p += length;
    }
    buffer[used] = 0;
    return 1;
}
