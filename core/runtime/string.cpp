// Bounded copies, appends and the in-place edits (case, trims, shifts, replacements) of the
// text library. Every write stays inside the caller's stated capacity.
#include "core/runtime/string.h"

#include <cstring>

#include "core/runtime/debug.h"

namespace {

bool InSet(const char* set, char c) {
    return c != 0 && std::strchr(set, c) != nullptr;
}

// Length of s looking at no more than limit bytes (limit below 1 looks at none).
int64_t BoundedLength(const char* s, int64_t limit) {
    if (limit < 1) return 0;
    const void* end = std::memchr(s, 0, static_cast<size_t>(limit));
    return end ? static_cast<const char*>(end) - s : limit;
}

int32_t ClampLength(size_t n) {
    return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}

} // namespace

// ---- Copying and appending ----------------------------------------------------------------

int32_t String_CopyLength(char* dst, const char* src, int32_t capacity) {
    ASSERT_POINTER(dst);
    ASSERT_POINTER(src);
    if (capacity < 1) return src[0] != 0 ? 1 : 0;
    int32_t i = 0;
    while (i < capacity - 1 && src[i] != 0) {
        dst[i] = src[i];
        i++;
    }
    dst[i] = 0;
    return src[i] != 0 ? capacity : i;
}

int32_t String_Copy(char* dst, const char* src) {
    ASSERT_POINTER(dst);
    ASSERT_POINTER(src);
    size_t n = std::strlen(src);
    std::memmove(dst, src, n + 1);
    return ClampLength(n);
}

int32_t String_Cat(char* dst, const char* src) {
    ASSERT_POINTER(dst);
    ASSERT_POINTER(src);
    size_t n = std::strlen(src);
    std::memmove(dst + std::strlen(dst), src, n + 1);
    return ClampLength(n);
}

int32_t String_CatLength(char* dst, const char* src, int32_t capacity) {
    ASSERT_POINTER(dst);
    ASSERT_POINTER(src);
    // A dst with no terminator inside capacity leaves no room rather than being read past.
    int64_t used = BoundedLength(dst, capacity);
    return String_CopyLength(dst + used, src, static_cast<int32_t>(capacity - used));
}

int32_t String_CopyLengthSafe(char* dst, int32_t capacity, const char* src, int32_t maxBytes) {
    ASSERT_POINTER(dst);
    ASSERT_POINTER(src);
    if (capacity < 1) return 0;
    int64_t limit = maxBytes < capacity - 1 ? maxBytes : capacity - 1;
    int64_t n = BoundedLength(src, limit);
    std::memmove(dst, src, static_cast<size_t>(n));
    dst[n] = 0;
    return static_cast<int32_t>(n);
}

int32_t String_CopyUntilCharLength(char* dst, const char* src, const char* stopSet, int32_t capacity) {
    ASSERT_POINTER(dst);
    ASSERT_POINTER(src);
    ASSERT_POINTER(stopSet);
    if (capacity < 1) return 0;
    int32_t i = 0;
    while (i < capacity - 1 && src[i] != 0 && !InSet(stopSet, src[i])) {
        dst[i] = src[i];
        i++;
    }
    dst[i] = 0;
    return i;
}

int32_t String_CopyUntilChar(char* dst, const char* src, const char* stopSet) {
    ASSERT_POINTER(src);
    return String_CopyUntilCharLength(dst, src, stopSet, ClampLength(std::strlen(src) + 1));
}

int32_t String_CopyUntilControlLength(char* dst, const char* src, int32_t capacity) {
    ASSERT_POINTER(dst);
    ASSERT_POINTER(src);
    if (capacity < 1) return 0;
    int32_t i = 0;
    while (i < capacity - 1 && static_cast<unsigned char>(src[i]) >= 0x20) {
        dst[i] = src[i];
        i++;
    }
    dst[i] = 0;
    return i;
}

int32_t String_CopyUntilControl(char* dst, const char* src) {
    ASSERT_POINTER(src);
    return String_CopyUntilControlLength(dst, src, ClampLength(std::strlen(src) + 1));
}

// ---- Editing in place ---------------------------------------------------------------------

int64_t String_Upper(char* s) {
    ASSERT_POINTER(s);
    for (; *s != 0; s++)
        if (*s >= 'a' && *s <= 'z') *s = static_cast<char>(*s - 'a' + 'A');
    return 1;
}

int64_t String_Lower(char* s) {
    ASSERT_POINTER(s);
    for (; *s != 0; s++)
        if (*s >= 'A' && *s <= 'Z') *s = static_cast<char>(*s - 'A' + 'a');
    return 1;
}

int64_t String_Reverse(char* s) {
    ASSERT_POINTER(s);
    size_t n = std::strlen(s);
    for (size_t i = 0, j = n; i + 1 < j; i++, j--) {
        char t = s[i];
        s[i] = s[j - 1];
        s[j - 1] = t;
    }
    return 1;
}

namespace {

template <typename Match> void TrimLeft(char* s, Match match) {
    size_t skip = 0;
    while (s[skip] != 0 && match(s[skip])) skip++;
    if (skip > 0) std::memmove(s, s + skip, std::strlen(s + skip) + 1);
}

template <typename Match> void TrimRight(char* s, Match match) {
    size_t n = std::strlen(s);
    while (n > 0 && match(s[n - 1])) n--;
    s[n] = 0;
}

} // namespace

int64_t String_TrimLeftChar(char* s, char c) {
    ASSERT_POINTER(s);
    TrimLeft(s, [c](char x) { return x == c; });
    return 1;
}

int64_t String_TrimRightChar(char* s, char c) {
    ASSERT_POINTER(s);
    TrimRight(s, [c](char x) { return x == c; });
    return 1;
}

int64_t String_TrimChar(char* s, char c) {
    ASSERT_POINTER(s);
    TrimRight(s, [c](char x) { return x == c; });
    TrimLeft(s, [c](char x) { return x == c; });
    return 1;
}

int64_t String_TrimLeftChars(char* s, const char* set) {
    ASSERT_POINTER(s);
    ASSERT_POINTER(set);
    TrimLeft(s, [set](char x) { return InSet(set, x); });
    return 1;
}

int64_t String_TrimRightChars(char* s, const char* set) {
    ASSERT_POINTER(s);
    ASSERT_POINTER(set);
    TrimRight(s, [set](char x) { return InSet(set, x); });
    return 1;
}

int64_t String_TrimChars(char* s, const char* set) {
    ASSERT_POINTER(s);
    ASSERT_POINTER(set);
    TrimRight(s, [set](char x) { return InSet(set, x); });
    TrimLeft(s, [set](char x) { return InSet(set, x); });
    return 1;
}

int64_t String_TrimRightCharsLength(char* s, const char* set, int32_t length, int32_t* newLength) {
    ASSERT_POINTER(s);
    ASSERT_POINTER(set);
    if (length < 1) {
        if (newLength) *newLength = length;
        return 1;
    }
    int32_t n = length;
    while (n > 0 && InSet(set, s[n - 1])) n--;
    // The terminator goes after the last kept byte only when that is inside the counted text;
    // an untrimmed text keeps its own end rather than getting a byte written past length.
    if (n < length) s[n] = 0;
    if (newLength) *newLength = n;
    return 1;
}

int64_t String_TrimWhitespace(char* s) {
    return String_TrimChars(s, "\t\r\n ");
}

int64_t String_Strip(char* dst, const char* src) {
    ASSERT_POINTER(dst);
    ASSERT_POINTER(src);
    size_t j = 0;
    for (size_t i = 0; src[i] != 0; i++) {
        unsigned char c = static_cast<unsigned char>(src[i]);
        if (c >= 0x21 && c <= 0x7E) dst[j++] = src[i];
    }
    dst[j] = 0;
    return 1;
}

int64_t String_StripChar(char* s, char c) {
    ASSERT_POINTER(s);
    if (c == 0) return 1;
    size_t j = 0;
    for (size_t i = 0; s[i] != 0; i++)
        if (s[i] != c) s[j++] = s[i];
    s[j] = 0;
    return 1;
}

int64_t String_ShiftLeft(char* s, int32_t n) {
    ASSERT_POINTER(s);
    if (n < 1) return 1;
    size_t length = std::strlen(s);
    if (length < static_cast<size_t>(n)) return 0;
    std::memmove(s, s + n, length - n + 1);
    return 1;
}

int64_t String_ShiftRight(char* s, int32_t capacity, int32_t n) {
    ASSERT_POINTER(s);
    if (n < 1) return 1;
    int64_t length = BoundedLength(s, capacity);
    if (length + n >= capacity) return 0;
    std::memmove(s + n, s, static_cast<size_t>(length) + 1);
    std::memset(s, ' ', static_cast<size_t>(n));
    return 1;
}

int64_t String_ReplaceChar(char from, char to, char* s) {
    ASSERT_POINTER(s);
    if (from == 0) return 1;
    for (; *s != 0; s++)
        if (*s == from) *s = to;
    return 1;
}

int64_t String_ReplaceLengthEx(const char* find, const char* replacement, char escape, char* buffer,
                               int32_t capacity) {
    ASSERT_POINTER(find);
    ASSERT_POINTER(replacement);
    ASSERT_POINTER(buffer);
    if (find[0] == 0 || capacity < 1 || buffer[0] == 0) return 0;
    int64_t length = BoundedLength(buffer, capacity);
    // A text not terminated inside its capacity cannot be edited within it.
    if (length >= capacity) return 0;
    const int64_t findLength = static_cast<int64_t>(std::strlen(find));
    const int64_t replaceLength = static_cast<int64_t>(std::strlen(replacement));
    int64_t p = 0;
    int64_t insertedEnd = 0; // bytes before this index are replacement text, never rescanned
    while (p + findLength <= length) {
        // Only an escape byte of the original text protects an occurrence.
        bool escaped = escape != 0 && p > insertedEnd && buffer[p - 1] == escape;
        if (escaped || std::memcmp(buffer + p, find, static_cast<size_t>(findLength)) != 0) {
            p++;
            continue;
        }
        int64_t growth = replaceLength - findLength;
        if (length + growth >= capacity) return 0;
        std::memmove(buffer + p + replaceLength, buffer + p + findLength,
                     static_cast<size_t>(length - p - findLength + 1));
        std::memcpy(buffer + p, replacement, static_cast<size_t>(replaceLength));
        length += growth;
        p += replaceLength;
        insertedEnd = p;
    }
    return 1;
}

int64_t String_ReplaceLength(const char* find, const char* replacement, char* buffer, int32_t capacity) {
    return String_ReplaceLengthEx(find, replacement, 0, buffer, capacity);
}
