// Tests of the text library's searches, separated lists and line splitting.
#include "core/runtime/string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/abort_hook.h"

namespace {

// Offset of a found position, -1 for a null one.
int64_t At(const char* text, const char* pos) {
    return pos ? pos - text : -1;
}

const char* const kUnset = reinterpret_cast<const char*>(0x1);

} // namespace

TEST(StringSearch, Chars) {
    const char* t = "a,b;c,d";
    const char* pos = kUnset;
    EXPECT_EQ(String_FindChar(t, ',', &pos), 1);
    EXPECT_EQ(At(t, pos), 1);
    pos = kUnset;
    EXPECT_EQ(String_FindChar(t, 'x', &pos), 0);
    EXPECT_EQ(pos, nullptr);
    pos = kUnset;
    EXPECT_EQ(String_FindChar(t, 0, &pos), 0); // the terminator is not found
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(String_ContainsChar(t, ';'), 1);
    EXPECT_EQ(String_ContainsChar(t, 'x'), 0);
    EXPECT_EQ(String_FindChar(t, ',', nullptr), 1);

    EXPECT_EQ(String_FindCharLength(t, 3, 'b', &pos), 1);
    EXPECT_EQ(At(t, pos), 2);
    EXPECT_EQ(String_FindCharLength(t, 2, 'b', &pos), 0);
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(String_FindCharLength("ab", 100, 'x', &pos), 0); // stops at the terminator
    EXPECT_EQ(String_FindCharLength(t, -1, 'a', &pos), 0);

    EXPECT_EQ(String_FindCharReverse(t, ',', &pos), 1);
    EXPECT_EQ(At(t, pos), 5);
    EXPECT_EQ(String_FindCharReverse(t, 0, &pos), 1);
    EXPECT_EQ(At(t, pos), 7);
    EXPECT_EQ(String_FindCharReverse(t, 'x', &pos), 0);
    EXPECT_EQ(pos, nullptr);

    EXPECT_EQ(String_FindFirstChar(t, ";,", &pos), 1);
    EXPECT_EQ(At(t, pos), 1);
    EXPECT_EQ(String_FindFirstChar(t, "", &pos), 0);
    EXPECT_EQ(String_FindFirstChar(t, "xy", &pos), 0);
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(String_FindFirstCharLength(t, 3, ";", &pos), 0);
    EXPECT_EQ(String_FindFirstCharLength(t, 4, ";", &pos), 1);
    EXPECT_EQ(At(t, pos), 3);
    EXPECT_EQ(String_FindFirstCharReverse(t, ";b", &pos), 1);
    EXPECT_EQ(At(t, pos), 3);
    EXPECT_EQ(String_FindFirstCharReverse("", ";", &pos), 0);

    EXPECT_EQ(String_CountChar("a,b,,c", ','), 3);
    EXPECT_EQ(String_CountChar("abc", ','), 0);
    EXPECT_EQ(String_CountChar("abc", 0), 0);
}

TEST(StringSearch, Strings) {
    const char* t = "one two one";
    const char* pos = kUnset;
    EXPECT_EQ(String_FindString(t, "one", &pos), 1);
    EXPECT_EQ(At(t, pos), 0);
    EXPECT_EQ(String_FindString(t, "two", &pos), 1);
    EXPECT_EQ(At(t, pos), 4);
    EXPECT_EQ(String_FindString(t, "three", &pos), 0);
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(String_FindString(t, "", &pos), 1);
    EXPECT_EQ(At(t, pos), 0);
    pos = kUnset;
    EXPECT_EQ(String_FindString("", "", &pos), 0);
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(String_FindString("", "a", &pos), 0);
    EXPECT_EQ(String_ContainsString(t, "e t"), 1);
    EXPECT_EQ(String_ContainsString(t, "TWO"), 0);

    EXPECT_EQ(String_FindStringWithoutCase(t, "TWO", &pos), 1);
    EXPECT_EQ(At(t, pos), 4);
    EXPECT_EQ(String_FindStringWithoutCase(t, "", &pos), 1);
    EXPECT_EQ(At(t, pos), 0);
    EXPECT_EQ(String_FindStringWithoutCase("", "", &pos), 0);
    EXPECT_EQ(String_FindStringWithoutCase("ab", "abc", &pos), 0);
    EXPECT_EQ(String_ContainsStringWithoutCase("Content-Type", "TYPE"), 1);
    EXPECT_EQ(String_ContainsStringWithoutCase("Content-Type", "types"), 0);
}

TEST(StringSearch, StringLengthStaysInsideN) {
    const char* t = "abcdef";
    const char* pos = kUnset;
    EXPECT_EQ(String_FindStringLength(t, 6, "def", &pos), 1);
    EXPECT_EQ(At(t, pos), 3);
    // Starting at 3 the needle would reach byte 6; only positions up to n - 3 = 2 count.
    EXPECT_EQ(String_FindStringLength(t, 5, "def", &pos), 0);
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(String_FindStringLength(t, 2, "abc", &pos), 0); // needle longer than n
    EXPECT_EQ(String_FindStringLength(t, 3, "abc", &pos), 1);
    EXPECT_EQ(String_FindStringLength(t, 100, "ef", &pos), 1); // n past the text is fine
    EXPECT_EQ(At(t, pos), 4);
    EXPECT_EQ(String_FindStringLength(t, 100, "fg", &pos), 0);
    EXPECT_EQ(String_FindStringLength(t, -1, "", &pos), 0);
    // Not read past n when the text has no terminator inside it.
    const char raw[4] = {'x', 'y', 'z', 'w'};
    EXPECT_EQ(String_FindStringLength(raw, 4, "zw", &pos), 1);
    EXPECT_EQ(At(raw, pos), 2);
}

TEST(StringSearch, Reverse) {
    const char* t = "one two one";
    const char* pos = kUnset;
    EXPECT_EQ(String_FindStringReverse(t, "one", &pos), 1);
    EXPECT_EQ(At(t, pos), 8);
    EXPECT_EQ(String_FindStringReverse(t, "", &pos), 1);
    EXPECT_EQ(At(t, pos), 11);
    EXPECT_EQ(String_FindStringReverse("", "", &pos), 1);
    EXPECT_EQ(String_FindStringReverse(t, "ONE", &pos), 0);
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(String_FindStringReverse("ab", "abc", &pos), 0);
    EXPECT_EQ(String_FindStringReverseWithoutCase(t, "ONE", &pos), 1);
    EXPECT_EQ(At(t, pos), 8);
    EXPECT_EQ(String_FindStringReverseWithoutCase("aAa", "AA", &pos), 1);
    EXPECT_EQ(At("aAa", pos), 1);
}

TEST(StringList, GetMemberKnownAnswers) {
    struct Case {
        const char* list;
        char separator;
        int32_t mode;
        int32_t index;
        const char* out;
        int64_t result;
    } cases[] = {
        {"a, b ,c", ',', 1, 1, "b", 1},   {"a, b ,c", ',', 1, 3, "", 0},
        {"a, b ,c", ',', 0, 1, " b ", 1}, {"a, b ,c", ',', 1, 0, "a", 1},
        {"a, b ,c", ',', 1, 2, "c", 1},   {"a,,c", ',', 0, 1, "", 1}, // an empty field exists
        {"a,", ',', 0, 1, "", 1},         {"", ',', 0, 0, "", 1},
        {"", ',', 0, 1, "", 0},           {"  x\t,y", ',', 1, 0, "x", 1}, // blanks before the first field too
        {"a b  c", ' ', 1, 2, "", 1},                                     // a blank separator still separates
        {"a b  c", ' ', 1, 3, "c", 1},    {"a,b", ',', 0, -1, "", 0},
        {"a,b", 0, 0, 0, "a,b", 1},       {"a,b", 0, 0, 1, "", 0},
    };
    for (const Case& c : cases) {
        char out[32];
        std::strcpy(out, "junk");
        EXPECT_EQ(String_ListGetMember(c.list, c.separator, c.mode, c.index, out, sizeof out), c.result)
            << c.list << " #" << c.index;
        EXPECT_STREQ(out, c.out) << c.list << " #" << c.index;
    }
}

TEST(StringList, GetMemberTruncates) {
    char out[8];
    std::memset(out, 0x5A, sizeof out);
    // "abcdef" fits 4 + guard: capacity 4 keeps "abc" and reports the cut.
    EXPECT_EQ(String_ListGetMember("x,abcdef,y", ',', 0, 1, out, 4), 0);
    EXPECT_STREQ(out, "abc");
    for (int i = 4; i < 8; i++) EXPECT_EQ(out[i], 0x5A);
    EXPECT_EQ(String_ListGetMember("x,abc ,y", ',', 1, 1, out, 4), 1); // fits once trimmed
    EXPECT_STREQ(out, "abc");
    std::memset(out, 0x5A, sizeof out);
    EXPECT_EQ(String_ListGetMember("x", ',', 0, 0, out, 0), 0);
    EXPECT_EQ(out[0], 0x5A);
}

TEST(StringList, ContainsMember) {
    EXPECT_EQ(String_ListContainsMember("red, green ,blue", ',', "green"), 1);
    EXPECT_EQ(String_ListContainsMember("red, green ,blue", ',', "blue"), 1);
    EXPECT_EQ(String_ListContainsMember("red, green ,blue", ',', "red"), 1);
    EXPECT_EQ(String_ListContainsMember("red, green ,blue", ',', "gree"), 0);
    EXPECT_EQ(String_ListContainsMember("red, green ,blue", ',', "greens"), 0);
    EXPECT_EQ(String_ListContainsMember("red, green ,blue", ',', "Green"), 0);
    EXPECT_EQ(String_ListContainsMember("red;green", ';', "green"), 1);
    EXPECT_EQ(String_ListContainsMember("a,,b", ',', ""), 1);
    EXPECT_EQ(String_ListContainsMember("a,b", ',', ""), 0);
}

TEST(StringLine, GetNextSplitsCountedText) {
    const char text[] = "one\r\ntwo";
    char line[16];
    int32_t consumed = -1;
    EXPECT_EQ(String_LineGetNext(text, 8, line, sizeof line, &consumed), 1);
    EXPECT_STREQ(line, "one");
    EXPECT_EQ(consumed, 5);
    EXPECT_EQ(String_LineGetNext(text + 5, 3, line, sizeof line, &consumed), 1);
    EXPECT_STREQ(line, "two");
    EXPECT_EQ(consumed, 3);

    EXPECT_EQ(String_LineGetNext("\n", 1, line, sizeof line, &consumed), 1);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(consumed, 1);
    EXPECT_EQ(String_LineGetNext("a\rb\n", 4, line, sizeof line, &consumed), 1);
    EXPECT_STREQ(line, "a\rb"); // only a CR right before the LF goes
    EXPECT_EQ(String_LineGetNext("ab\r", 3, line, sizeof line, &consumed), 1);
    EXPECT_STREQ(line, "ab\r");
    EXPECT_EQ(consumed, 3);
    // Only the given length is read: the LF after it is not seen.
    EXPECT_EQ(String_LineGetNext("abc\ndef", 2, line, sizeof line, &consumed), 1);
    EXPECT_STREQ(line, "ab");
    EXPECT_EQ(consumed, 2);
    EXPECT_EQ(String_LineGetNext("abc\n", 4, line, sizeof line, nullptr), 1);
}

TEST(StringLine, GetNextBoundsAndRefusals) {
    char line[8];
    int32_t consumed = -1;
    std::memset(line, 0x5A, sizeof line);
    EXPECT_EQ(String_LineGetNext("abcdefgh\nx", 10, line, 4, &consumed), 1);
    EXPECT_STREQ(line, "abc");
    EXPECT_EQ(consumed, 9); // the whole line is consumed even though it was cut
    for (int i = 4; i < 8; i++) EXPECT_EQ(line[i], 0x5A);

    EXPECT_EQ(String_LineGetNext("abc", 0, line, sizeof line, &consumed), 0);
    EXPECT_EQ(consumed, 0);
    EXPECT_EQ(String_LineGetNext("abc", -2, line, sizeof line, &consumed), 0);
    std::memset(line, 0x5A, sizeof line);
    EXPECT_EQ(String_LineGetNext("abc", 3, line, 0, &consumed), 0);
    EXPECT_EQ(consumed, 0);
    EXPECT_EQ(line[0], 0x5A);
    // A 0 byte inside the counted text is data: the call still makes progress.
    const char withNul[] = {'\0', 'a', '\n'};
    EXPECT_EQ(String_LineGetNext(withNul, 3, line, sizeof line, &consumed), 1);
    EXPECT_EQ(consumed, 3);
}

TEST(StringSearchDeathTest, NullStringsAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* pos;
    char out[8];
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_FindChar(nullptr, 'a', &pos);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_FindString("a", nullptr, &pos);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_ListGetMember(nullptr, ',', 0, 0, out, 8);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_LineGetNext("a", 1, nullptr, 8, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
}
