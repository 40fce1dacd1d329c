// Helpers shared by the URL source files: bounded copies, case-blind comparisons of text ranges
// and the separator-rewriting copy behind URL_FixPath.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace url_detail {

// Work buffers of the rebuilding functions; longer text is cut at kWorkSize - 1 bytes.
constexpr int32_t kWorkSize = 8192;

inline bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}
inline bool IsAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
inline bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
inline char FoldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

inline bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

inline bool BeginsNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// Copies text cut to capacity - 1 bytes and terminates; a capacity below 1 writes nothing.
inline void CopyCut(char* out, int32_t capacity, std::string_view text) {
    if (capacity < 1) return;
    size_t n = text.size() < (size_t)capacity - 1 ? text.size() : (size_t)capacity - 1;
    if (n > 0) memmove(out, text.data(), n);
    out[n] = 0;
}

// Appends text to the NUL-terminated content of out, cut to the capacity. Content that is not
// terminated within the capacity is left alone.
inline void AppendCut(char* out, int32_t capacity, std::string_view text) {
    if (capacity < 1) return;
    size_t used = strnlen(out, (size_t)capacity);
    if (used >= (size_t)capacity) return;
    CopyCut(out + used, (int32_t)((size_t)capacity - used), text);
}

// The copy step of URL_FixPath without the dot folding.
void FixSeparators(const char* url, int32_t spacesAsPlus, char* out, int32_t capacity);

} // namespace url_detail
