// Tests of the text library's searches, separated lists and line splitting.
#include "core/runtime/string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/text_cases.h"

namespace {

// A search: the call (`s` the text, `p` the position out-argument) and the offset it must find,
// -1 for none (a null position then). Each is also made without a position.
struct Search { const char* name; const char* text; int64_t (*find)(const char* s, const char** p); int64_t at; };
#define ROW(text, call, at) {#call, text, [](const char* s, const char** p) { return call; }, at}

void ExpectSearches(std::initializer_list<Search> cases) {
    for (const Search& c : cases) {
        const char* pos = reinterpret_cast<const char*>(0x1);
        EXPECT_EQ(c.find(c.text, &pos), c.at >= 0 ? 1 : 0) << c.name;
        EXPECT_EQ(pos, c.at >= 0 ? c.text + c.at : nullptr) << c.name;
        EXPECT_EQ(c.find(c.text, nullptr), c.at >= 0 ? 1 : 0) << c.name;
    }
}

TEST(StringSearch, Chars) {
    const char* t = "a,b;c,d";
    ExpectSearches({
        ROW(t, String_FindChar(s, ',', p), 1), ROW(t, String_FindChar(s, 'x', p), -1),
        ROW(t, String_FindChar(s, 0, p), -1), ROW(t, String_FindCharLength(s, 3, 'b', p), 2),
        ROW(t, String_FindCharLength(s, 2, 'b', p), -1), ROW("ab", String_FindCharLength(s, 100, 'x', p), -1),
        ROW(t, String_FindCharLength(s, -1, 'a', p), -1), ROW(t, String_FindCharReverse(s, ',', p), 5),
        ROW(t, String_FindCharReverse(s, 0, p), 7), ROW(t, String_FindCharReverse(s, 'x', p), -1),
        ROW(t, String_FindFirstChar(s, ";,", p), 1), ROW(t, String_FindFirstChar(s, "", p), -1),
        ROW(t, String_FindFirstChar(s, "xy", p), -1), ROW(t, String_FindFirstCharLength(s, 3, ";", p), -1),
        ROW(t, String_FindFirstCharLength(s, 4, ";", p), 3), ROW(t, String_FindFirstCharReverse(s, ";b", p), 3),
        ROW("", String_FindFirstCharReverse(s, ";", p), -1),
    });
    ExpectResults({RESULT(String_ContainsChar(t, ';'), 1), RESULT(String_ContainsChar(t, 'x'), 0),
                   RESULT(String_CountChar("a,b,,c", ','), 3), RESULT(String_CountChar("abc", ','), 0),
                   RESULT(String_CountChar("abc", 0), 0)});
}

TEST(StringSearch, Strings) {
    const char* t = "one two one";
    const char* a = "abcdef";
    const char raw[4] = {'x', 'y', 'z', 'w'}; // no terminator inside the length: not read past it
    ExpectSearches({
        ROW(t, String_FindString(s, "one", p), 0), ROW(t, String_FindString(s, "two", p), 4),
        ROW(t, String_FindString(s, "three", p), -1), ROW(t, String_FindString(s, "", p), 0),
        ROW("", String_FindString(s, "", p), -1), ROW("", String_FindString(s, "a", p), -1),
        ROW(t, String_FindStringWithoutCase(s, "TWO", p), 4), ROW(t, String_FindStringWithoutCase(s, "", p), 0),
        ROW("", String_FindStringWithoutCase(s, "", p), -1), ROW("ab", String_FindStringWithoutCase(s, "abc", p), -1),
        // Only occurrences lying wholly within the first n bytes count.
        ROW(a, String_FindStringLength(s, 6, "def", p), 3), ROW(a, String_FindStringLength(s, 5, "def", p), -1),
        ROW(a, String_FindStringLength(s, 2, "abc", p), -1), ROW(a, String_FindStringLength(s, 3, "abc", p), 0),
        ROW(a, String_FindStringLength(s, 100, "ef", p), 4), ROW(a, String_FindStringLength(s, 100, "fg", p), -1),
        ROW(a, String_FindStringLength(s, -1, "", p), -1), ROW(raw, String_FindStringLength(s, 4, "zw", p), 2),
        ROW(t, String_FindStringReverse(s, "one", p), 8), ROW(t, String_FindStringReverse(s, "", p), 11),
        ROW("", String_FindStringReverse(s, "", p), 0), ROW(t, String_FindStringReverse(s, "ONE", p), -1),
        ROW("ab", String_FindStringReverse(s, "abc", p), -1),
        ROW(t, String_FindStringReverseWithoutCase(s, "ONE", p), 8),
        ROW("aAa", String_FindStringReverseWithoutCase(s, "AA", p), 1),
    });
    ExpectResults({RESULT(String_ContainsString(t, "e t"), 1), RESULT(String_ContainsString(t, "TWO"), 0),
                   RESULT(String_ContainsStringWithoutCase("Content-Type", "TYPE"), 1),
                   RESULT(String_ContainsStringWithoutCase("Content-Type", "types"), 0)});
}
#undef ROW

TEST(StringList, GetMember) {
    const struct { const char* list; char separator; int32_t mode, index, capacity; const char* out; int64_t result; }
        cases[] = {
        {"a, b ,c", ',', 1, 1, 32, "b", 1}, {"a, b ,c", ',', 1, 3, 32, "", 0}, {"a, b ,c", ',', 0, 1, 32, " b ", 1},
        {"a, b ,c", ',', 1, 0, 32, "a", 1}, {"a, b ,c", ',', 1, 2, 32, "c", 1},
        {"a,,c", ',', 0, 1, 32, "", 1}, // an empty field exists
        {"a,", ',', 0, 1, 32, "", 1}, {"", ',', 0, 0, 32, "", 1}, {"", ',', 0, 1, 32, "", 0},
        {"  x\t,y", ',', 1, 0, 32, "x", 1}, // blanks before the first field too
        {"a b  c", ' ', 1, 2, 32, "", 1}, // a blank separator still separates
        {"a b  c", ' ', 1, 3, 32, "c", 1}, {"a,b", ',', 0, -1, 32, "", 0}, {"a,b", 0, 0, 0, 32, "a,b", 1},
        {"a,b", 0, 0, 1, 32, "", 0},
        {"x,abcdef,y", ',', 0, 1, 4, "abc", 0}, // cut to the capacity, and the cut reported
        {"x,abc ,y", ',', 1, 1, 4, "abc", 1}, // fits once trimmed
        {"x", ',', 0, 0, 0, "", 0}, // capacity 0 writes nothing
    };
    for (const auto& c : cases) {
        Guarded<char> out(c.capacity, 'Z');
        EXPECT_EQ(String_ListGetMember(c.list, c.separator, c.mode, c.index, out, c.capacity), c.result)
            << c.list << " #" << c.index;
        if (c.capacity > 0) {
            EXPECT_STREQ(out, c.out) << c.list << " #" << c.index;
        }
        EXPECT_TRUE(out.Untouched()) << c.list << " #" << c.index;
    }
}

TEST(StringList, ContainsMember) {
    const char* colours = "red, green ,blue";
    ExpectResults({
        RESULT(String_ListContainsMember(colours, ',', "green"), 1),
        RESULT(String_ListContainsMember(colours, ',', "blue"), 1),
        RESULT(String_ListContainsMember(colours, ',', "red"), 1),
        RESULT(String_ListContainsMember(colours, ',', "gree"), 0),
        RESULT(String_ListContainsMember(colours, ',', "greens"), 0),
        RESULT(String_ListContainsMember(colours, ',', "Green"), 0),
        RESULT(String_ListContainsMember("red;green", ';', "green"), 1),
        RESULT(String_ListContainsMember("a,,b", ',', ""), 1), RESULT(String_ListContainsMember("a,b", ',', ""), 0),
    });
}

TEST(StringLine, GetNextSplitsCountedText) {
    // `text` is counted and may hold a 0 byte.
    const struct { std::string text; int32_t length, capacity; int64_t result; const char* line; int32_t consumed; }
        cases[] = {
        {"one\r\ntwo", 8, 16, 1, "one", 5}, {"two", 3, 16, 1, "two", 3}, {"\n", 1, 16, 1, "", 1},
        {"a\rb\n", 4, 16, 1, "a\rb", 4}, // only a CR right before the LF goes
        {"ab\r", 3, 16, 1, "ab\r", 3}, {"abc\ndef", 2, 16, 1, "ab", 2}, // only the given length is read
        {"abcdefgh\nx", 10, 4, 1, "abc", 9}, // the whole line is consumed even though it was cut
        {"abc", 0, 16, 0, "", 0}, {"abc", -2, 16, 0, "", 0}, {"abc", 3, 0, 0, "", 0},
        {std::string("\0a\n", 3), 3, 16, 1, "", 3}, // a 0 byte is data: the call still makes progress
    };
    for (const auto& c : cases) {
        Guarded<char> line(c.capacity, 'Z');
        int32_t consumed = -1;
        EXPECT_EQ(String_LineGetNext(c.text.data(), c.length, line, c.capacity, &consumed), c.result) << c.text;
        if (c.capacity > 0) {
            EXPECT_STREQ(line, c.line) << c.text;
        }
        EXPECT_EQ(consumed, c.consumed) << c.text;
        EXPECT_TRUE(line.Untouched()) << c.text;
    }
    char line[8];
    EXPECT_EQ(String_LineGetNext("abc\n", 4, line, sizeof line, nullptr), 1);
}

} // namespace
