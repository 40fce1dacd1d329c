// Shared by the manifest's tables: splitting the JSON path of a scanned value into its components
// and reading a value's text (not terminated) as a number or a flag.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/formats/json.h"
#include "core/runtime/string.h"

// The first four components of a backslash-joined path and how many there are in all.
struct ManifestPath {
    std::string_view Part[4];
    int32_t Count = 0;
};

// The first backslash in [from, end), or end. Eight bytes a step (a byte equal to the separator
// is found as a zero byte of the word xor a word of separators), the last few one by one.
inline const char* ManifestPath_NextSeparator(const char* from, const char* end) {
    constexpr uint64_t ones = 0x0101010101010101ull, separators = ones * '\\';
    for (; end - from >= 8; from += 8) {
        uint64_t word;
        memcpy(&word, from, 8);
        const uint64_t x = word ^ separators;
        const uint64_t found = (x - ones) & ~x & (ones * 0x80);
        if (found) return from + (__builtin_ctzll(found) >> 3);
    }
    while (from < end && *from != '\\') from++;
    return from;
}

inline ManifestPath ManifestPath_Split(const char* path) {
    ManifestPath out;
    if (!path || !path[0]) return out;
    // A byte-by-byte loop pays a mispredicted branch at every component of varying length: this
    // runs once for every value of a manifest.
    const char* end = path + strlen(path);
    for (const char* start = path;;) {
        const char* stop = ManifestPath_NextSeparator(start, end);
        if (out.Count < 4) out.Part[out.Count] = std::string_view(start, (size_t)(stop - start));
        out.Count++;
        if (stop == end) break;
        start = stop + 1;
    }
    return out;
}

// Equal to the word without regard to ASCII case.
template <size_t N> inline bool ManifestText_Is(std::string_view text, const char (&word)[N]) {
    if (text.size() != N - 1) return false;
    for (size_t i = 0; i < N - 1; i++) {
        char a = text[i], b = word[i];
        if (a >= 'A' && a <= 'Z') a = (char)(a + 32);
        if (b >= 'A' && b <= 'Z') b = (char)(b + 32);
        if (a != b) return false;
    }
    return true;
}

// Strings, numbers, booleans and nulls carry text; containers do not.
inline bool ManifestValue_IsScalar(uint32_t type) {
    return type != JSON_VALUE_OBJECT && type != JSON_VALUE_ARRAY;
}

// A value's text is read where it lies, whole however long: a number is never cut to a buffer.
inline int64_t ManifestText_ToInt64(const char* text, int32_t length) {
    return String_AtoI64Length(text, length < 0 ? 0 : (size_t)length);
}

inline double ManifestText_ToDouble(const char* text, int32_t length) {
    return String_AtoFLength(text, length < 0 ? 0 : (size_t)length);
}

inline bool ManifestText_IsTrue(const char* text, int32_t length) {
    return length == 4 && ManifestText_Is(std::string_view(text, 4), "true");
}
