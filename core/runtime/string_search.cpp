// Searches of the text library: bytes, byte sets and substrings, forwards, backwards and
// within a length, plus separated lists and line splitting of counted text.
#include "core/runtime/string.h"

#include <cstring>
#include <string_view>

#include "core/runtime/debug.h"

namespace {

constexpr unsigned char Fold(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

bool InSet(const char* set, char c) {
    return c != 0 && std::strchr(set, c) != nullptr;
}

int64_t Found(const char* at, const char** pos) {
    if (pos) *pos = at;
    return at != nullptr ? 1 : 0;
}

// A blank of lists: any control byte or space, never the terminator.
bool Blank(char c) {
    return c != 0 && static_cast<unsigned char>(c) <= 0x20;
}

} // namespace

int64_t String_FindChar(const char* text, char c, const char** pos) {
    ASSERT_POINTER(text);
    return Found(c != 0 ? std::strchr(text, c) : nullptr, pos);
}

int64_t String_ContainsChar(const char* text, char c) {
    return String_FindChar(text, c, nullptr);
}

int64_t String_FindCharLength(const char* text, int32_t n, char c, const char** pos) {
    ASSERT_POINTER(text);
    if (c != 0)
        for (int32_t i = 0; i < n && text[i] != 0; i++)
            if (text[i] == c) return Found(text + i, pos);
    return Found(nullptr, pos);
}

int64_t String_FindCharReverse(const char* text, char c, const char** pos) {
    ASSERT_POINTER(text);
    return Found(std::strrchr(text, c), pos);
}

int64_t String_FindFirstChar(const char* text, const char* set, const char** pos) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(set);
    for (const char* p = text; *p != 0; p++)
        if (InSet(set, *p)) return Found(p, pos);
    return Found(nullptr, pos);
}

int64_t String_FindFirstCharLength(const char* text, int32_t n, const char* set, const char** pos) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(set);
    for (int32_t i = 0; i < n && text[i] != 0; i++)
        if (InSet(set, text[i])) return Found(text + i, pos);
    return Found(nullptr, pos);
}

int64_t String_FindFirstCharReverse(const char* text, const char* set, const char** pos) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(set);
    for (size_t i = std::strlen(text); i > 0; i--)
        if (InSet(set, text[i - 1])) return Found(text + i - 1, pos);
    return Found(nullptr, pos);
}

int64_t String_FindString(const char* text, const char* needle, const char** pos) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(needle);
    return Found(text[0] != 0 ? std::strstr(text, needle) : nullptr, pos);
}

int64_t String_ContainsString(const char* text, const char* needle) {
    return String_FindString(text, needle, nullptr);
}

int64_t String_FindStringWithoutCase(const char* text, const char* needle, const char** pos) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(needle);
    size_t n = std::strlen(needle);
    size_t length = std::strlen(text);
    // Positions closer to the end than the needle is long cannot hold it.
    for (size_t i = 0; i < length && length - i >= n; i++)
        if (String_CompareBeginningWithoutCase(text + i, needle)) return Found(text + i, pos);
    return Found(nullptr, pos);
}

int64_t String_ContainsStringWithoutCase(const char* text, const char* needle) {
    return String_FindStringWithoutCase(text, needle, nullptr);
}

int64_t String_FindStringLength(const char* text, int32_t n, const char* needle, const char** pos) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(needle);
    size_t needleLength = std::strlen(needle);
    if (n < 0 || needleLength > static_cast<size_t>(n) || text[0] == 0) return Found(nullptr, pos);
    const void* end = std::memchr(text, 0, static_cast<size_t>(n));
    size_t length = end ? static_cast<const char*>(end) - text : static_cast<size_t>(n);
    size_t at = std::string_view(text, length).find(std::string_view(needle, needleLength));
    return Found(at != std::string_view::npos ? text + at : nullptr, pos);
}

namespace {

template <bool Caseless> int64_t FindReverse(const char* text, const char* needle, const char** pos) {
    size_t length = std::strlen(text);
    size_t n = std::strlen(needle);
    if (n > length) return Found(nullptr, pos);
    for (size_t i = length - n + 1; i > 0; i--) {
        const char* at = text + i - 1;
        size_t k = 0;
        while (k < n && (Caseless ? Fold(at[k]) == Fold(needle[k]) : at[k] == needle[k])) k++;
        if (k == n) return Found(at, pos);
    }
    return Found(nullptr, pos);
}

} // namespace

int64_t String_FindStringReverse(const char* text, const char* needle, const char** pos) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(needle);
    return FindReverse<false>(text, needle, pos);
}

int64_t String_FindStringReverseWithoutCase(const char* text, const char* needle, const char** pos) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(needle);
    return FindReverse<true>(text, needle, pos);
}

int32_t String_CountChar(const char* text, char c) {
    ASSERT_POINTER(text);
    int32_t count = 0;
    if (c != 0)
        for (; *text != 0; text++)
            if (*text == c && count < INT32_MAX) count++;
    return count;
}

// ---- Lists and lines ----------------------------------------------------------------------

int64_t String_ListGetMember(const char* list, char separator, int32_t mode, int32_t index, char* dst,
                             int32_t capacity) {
    ASSERT_POINTER(list);
    ASSERT_POINTER(dst);
    if (capacity >= 1) dst[0] = 0;
    if (index < 0) return 0;
    const char* p = list;
    for (int32_t i = 0; i < index; i++) {
        while (*p != 0 && *p != separator) p++;
        if (*p == 0) return 0;
        p++;
    }
    // Blanks are skipped at the start of every field, the first included, but a blank that is
    // itself the separator still ends the field.
    if (mode == 1)
        while (Blank(*p) && *p != separator) p++;
    const char* end = p;
    while (*end != 0 && *end != separator) end++;
    if (mode == 1)
        while (end > p && Blank(end[-1])) end--;
    if (capacity < 1) return 0;
    size_t length = static_cast<size_t>(end - p);
    size_t room = static_cast<size_t>(capacity - 1);
    size_t n = length < room ? length : room;
    std::memcpy(dst, p, n);
    dst[n] = 0;
    return length <= room ? 1 : 0;
}

int64_t String_ListContainsMember(const char* list, char separator, const char* member) {
    ASSERT_POINTER(list);
    ASSERT_POINTER(member);
    size_t memberLength = std::strlen(member);
    const char* p = list;
    for (;;) {
        while (Blank(*p) && *p != separator) p++;
        const char* end = p;
        while (*end != 0 && *end != separator) end++;
        const char* last = end;
        while (last > p && Blank(last[-1])) last--;
        if (static_cast<size_t>(last - p) == memberLength && std::memcmp(p, member, memberLength) == 0)
            return 1;
        if (*end == 0) return 0;
        p = end + 1;
    }
}

int64_t String_LineGetNext(const char* text, int32_t length, char* dst, int32_t capacity, int32_t* consumed) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(dst);
    if (consumed) *consumed = 0;
    if (capacity >= 1) dst[0] = 0;
    if (length < 1 || capacity < 1) return 0;
    // The text is counted: a 0 byte inside it is data, so every call consumes at least one byte.
    const void* lf = std::memchr(text, '\n', static_cast<size_t>(length));
    int32_t lineEnd = lf ? static_cast<int32_t>(static_cast<const char*>(lf) - text) : length;
    int32_t used = lf ? lineEnd + 1 : length;
    if (lf && lineEnd > 0 && text[lineEnd - 1] == '\r') lineEnd--;
    int32_t n = lineEnd < capacity - 1 ? lineEnd : capacity - 1;
    std::memcpy(dst, text, static_cast<size_t>(n));
    dst[n] = 0;
    if (consumed) *consumed = used;
    return 1;
}
