// Feeds arbitrary bytes to the text library's parsers, matchers, searches and in-place edits,
// in exactly sized heap copies so that any read or write past a bound is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/runtime/string.h"

namespace {

// A NUL-terminated heap copy of size bytes; the allocation is exactly size + 1 bytes.
char* Copy(const uint8_t* data, size_t size) {
    char* s = static_cast<char*>(std::malloc(size + 1));
    std::memcpy(s, data, size);
    s[size] = 0;
    return s;
}

void Require(bool condition) {
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    // The first byte picks a split point: text before it, pattern (or needle) after it.
    size_t split = size > 0 ? data[0] % (size + 1) : 0;
    if (split == 0 && size > 0) split = 1;
    const uint8_t* body = data + (size > 0 ? 1 : 0);
    size_t bodySize = size > 0 ? size - 1 : 0;
    if (split > bodySize) split = bodySize;

    char* all = Copy(body, bodySize);
    char* text = Copy(body, split);
    char* pattern = Copy(body + split, bodySize - split);
    const int32_t length = static_cast<int32_t>(bodySize);

    // Parsers.
    (void)String_AtoI64(all);
    (void)String_AtoU64(all);
    (void)String_AtoF(all);
    (void)String_IsNumeric(all);
    uint64_t hexValue;
    (void)String_ConvertToHexInternal(all, &hexValue);
    uint32_t address;
    uint16_t port;
    (void)String_ConvertToIP(all, &address, &port);
    uint8_t bytes[16];
    int32_t count;
    (void)String_ConvertFromHex(all, bytes, sizeof bytes, &count);
    Require(count >= 0 && count <= static_cast<int32_t>(sizeof bytes));
    const int32_t room = static_cast<int32_t>(bodySize / 2 + 1);
    uint8_t* exact = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(room)));
    (void)String_ConvertFromHexLength(reinterpret_cast<const char*>(body), length, exact, room, &count);
    Require(count >= 0 && count <= room);
    std::free(exact);
    int32_t va, vb, vc, vd, compared;
    (void)String_DecodeVersion(all, &va, &vb, &vc, &vd);
    (void)String_CompareVersion(text, pattern, &compared);
    int64_t flag;
    (void)String_DecodeBoolean(all, &flag, 0);

    // Matchers and comparisons.
    (void)String_CompareWildcard(text, pattern);
    (void)String_CompareWildcardWithoutCase(text, pattern);
    (void)String_CompareWildcardList(text, pattern);
    (void)String_CompareWildcardListWithoutCase(text, pattern);
    (void)String_CompareIgnore(text, pattern, " -", 1);
    (void)String_CompareEnding(text, pattern);
    (void)String_CompareWithoutCaseReturn(text, pattern);

    // Searches.
    const char* pos;
    if (String_FindString(text, pattern, &pos)) Require(pos >= text && pos < text + split + 1);
    if (String_FindStringWithoutCase(text, pattern, &pos)) Require(pos >= text && pos <= text + split);
    if (String_FindStringReverse(text, pattern, &pos)) Require(pos >= text && pos <= text + split);
    (void)String_FindStringReverseWithoutCase(text, pattern, &pos);
    if (String_FindStringLength(text, length, pattern, &pos)) Require(pos >= text && pos <= text + split);
    (void)String_FindFirstChar(text, pattern, &pos);
    (void)String_FindFirstCharReverse(text, pattern, &pos);
    (void)String_FindFirstCharLength(text, length, pattern, &pos);
    (void)String_FindCharLength(text, length, pattern[0], &pos);

    // Lists and lines, into small exact buffers.
    char* member = static_cast<char*>(std::malloc(8));
    char separator = pattern[0] != 0 ? pattern[0] : ',';
    for (int32_t index = 0; index < 4; index++) {
        (void)String_ListGetMember(text, separator, 1, index, member, 8);
        (void)String_ListGetMember(text, separator, 0, index, member, 8);
    }
    (void)String_ListContainsMember(text, separator, "a");
    const char* rest = reinterpret_cast<const char*>(body);
    int32_t left = length;
    while (left > 0) {
        int32_t used = 0;
        Require(String_LineGetNext(rest, left, member, 8, &used) == 1);
        Require(used >= 1 && used <= left);
        rest += used;
        left -= used;
    }
    std::free(member);

    // Edits in place, in a buffer with a little room to grow.
    const int32_t capacity = static_cast<int32_t>(split + 8);
    char* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(capacity)));
    std::memcpy(buffer, text, split + 1);
    (void)String_ReplaceLengthEx(pattern, "xy", '\\', buffer, capacity);
    Require(std::memchr(buffer, 0, static_cast<size_t>(capacity)) != nullptr);
    std::memcpy(buffer, text, split + 1);
    (void)String_ReplaceLength(pattern, "", buffer, capacity);
    std::memcpy(buffer, text, split + 1);
    (void)String_TrimChars(buffer, pattern);
    std::memcpy(buffer, text, split + 1);
    (void)String_TrimWhitespace(buffer);
    std::memcpy(buffer, text, split + 1);
    int32_t kept;
    (void)String_TrimRightCharsLength(buffer, pattern, static_cast<int32_t>(std::strlen(buffer)), &kept);
    std::memcpy(buffer, text, split + 1);
    (void)String_TrimLeftChar(buffer, separator);
    (void)String_TrimRightChar(buffer, separator);
    (void)String_ShiftRight(buffer, capacity, 3);
    (void)String_ShiftLeft(buffer, 2);
    std::free(buffer);

    std::free(pattern);
    std::free(text);
    std::free(all);
    return 0;
}
