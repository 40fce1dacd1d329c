// Tests of the 16-bit string library: bounded copies and appends, searches, comparisons with and
// without case, wildcard matching, reversal and number parsing.

#include "core/runtime/unicode.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/abort_hook.h"

namespace {

const uint16_t* U(const char16_t* text) {
    return reinterpret_cast<const uint16_t*>(text);
}

std::u16string Text16(const uint16_t* text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}

constexpr uint16_t Guard = 0xBEEF;

TEST(UnicodeString16, CopyLength) {
    const struct {
        const char16_t* source;
        int32_t capacity;
        int32_t result;
        const char16_t* expected;
    } cases[] = {
        {u"hello", 6, 5, u"hello"}, {u"hello", 5, 4, u"hell"}, {u"hello", 2, 1, u"h"},
        {u"hello", 1, 0, u""},      {u"", 4, 0, u""},          {u"a\u20ACb", 8, 3, u"a\u20ACb"},
    };
    for (const auto& c : cases) {
        uint16_t target[8];
        for (auto& unit : target) unit = Guard;
        EXPECT_EQ(StringUtf16_CopyLength(target, U(c.source), c.capacity), c.result);
        EXPECT_EQ(Text16(target), c.expected);
        for (int32_t i = c.capacity; i < 8; i++) ASSERT_EQ(target[i], Guard) << c.capacity;
    }
    uint16_t target[8] = {Guard};
    EXPECT_EQ(StringUtf16_CopyLength(target, U(u"abc"), 0), 0);
    EXPECT_EQ(target[0], Guard);
    EXPECT_EQ(StringUtf16_Copy(target, U(u"abc")), 3);
    EXPECT_EQ(Text16(target), u"abc");
}

TEST(UnicodeString16, Append) {
    uint16_t target[8];
    for (auto& unit : target) unit = Guard;
    StringUtf16_Copy(target, U(u"ab"));
    EXPECT_EQ(StringUtf16_Cat(target, U(u"cd")), 2);
    EXPECT_EQ(Text16(target), u"abcd");
    // The capacity is that of the whole target.
    EXPECT_EQ(StringUtf16_CatLength(target, U(u"efgh"), 7), 2);
    EXPECT_EQ(Text16(target), u"abcdef");
    EXPECT_EQ(target[7], Guard);
    EXPECT_EQ(StringUtf16_CatLength(target, U(u"x"), 7), 0);
    EXPECT_EQ(Text16(target), u"abcdef");
    // A target with no terminator inside its capacity is neither read past nor changed.
    uint16_t full[3] = {'a', 'b', 'c'};
    EXPECT_EQ(StringUtf16_CatLength(full, U(u"x"), 3), 0);
    EXPECT_EQ(full[2], 'c');
    EXPECT_EQ(StringUtf16_CatLength(full, U(u"x"), 0), 0);
}

TEST(UnicodeString16, FindCharacters) {
    const uint16_t* text = U(u"abcabc");
    const uint16_t* pos = nullptr;
    EXPECT_EQ(StringUtf16_FindChar(text, 'c', &pos), 1);
    EXPECT_EQ(pos, text + 2);
    EXPECT_EQ(StringUtf16_FindChar(text, 'z', &pos), 0);
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(StringUtf16_FindChar(text, 'a', nullptr), 1);
    EXPECT_EQ(StringUtf16_FindCharReverse(text, 'b', &pos), 1);
    EXPECT_EQ(pos, text + 4);
    EXPECT_EQ(StringUtf16_FindCharReverse(text, 'z', &pos), 0);
    EXPECT_EQ(StringUtf16_FindCharReverse(text, 0, &pos), 1);
    EXPECT_EQ(pos, text + 6);

    const struct {
        int32_t start;
        uint16_t unit;
        int32_t found; // index or -1
    } at[] = {{5, 'a', 3},  {2, 'a', 0},   {0, 'a', 0},   {2, 'c', 2},
              {1, 'c', -1}, {-1, 'a', -1}, {100, 'c', 5}, {100, 'z', -1}};
    for (const auto& c : at) {
        pos = text;
        EXPECT_EQ(StringUtf16_FindCharReverseAt(text, c.unit, c.start, &pos), c.found >= 0 ? 1 : 0)
            << c.start;
        EXPECT_EQ(pos, c.found >= 0 ? text + c.found : nullptr) << c.start;
    }
    EXPECT_EQ(StringUtf16_FindCharReverseAt(U(u""), 'a', 0, &pos), 0);
}

TEST(UnicodeString16, FindStrings) {
    const uint16_t* text = U(u"Hello World");
    const uint16_t* pos = nullptr;
    EXPECT_EQ(StringUtf16_FindString(text, U(u"World"), &pos), 1);
    EXPECT_EQ(pos, text + 6);
    EXPECT_EQ(StringUtf16_FindString(text, U(u"world"), &pos), 0);
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(StringUtf16_FindStringWithoutCase(text, U(u"WORLD"), &pos), 1);
    EXPECT_EQ(pos, text + 6);
    EXPECT_EQ(StringUtf16_FindString(text, U(u"World!"), &pos), 0);
    EXPECT_EQ(StringUtf16_FindString(text, U(u""), &pos), 1);
    EXPECT_EQ(pos, text);
    EXPECT_EQ(StringUtf16_FindString(U(u""), U(u""), &pos), 0);
    // Folding touches A-Z only.
    EXPECT_EQ(StringUtf16_FindStringWithoutCase(U(u"\u00C9t\u00E9"), U(u"\u00E9T"), &pos), 0);
}

TEST(UnicodeString16, Compare) {
    EXPECT_EQ(StringUtf16_Compare(U(u"abc"), U(u"abc")), 1);
    EXPECT_EQ(StringUtf16_Compare(U(u"abc"), U(u"abC")), 0);
    EXPECT_EQ(StringUtf16_Compare(U(u"abc"), U(u"ab")), 0);
    EXPECT_EQ(StringUtf16_Compare(U(u"ab"), U(u"abc")), 0);
    EXPECT_EQ(StringUtf16_Compare(U(u""), U(u"")), 1);
    EXPECT_EQ(StringUtf16_CompareWithoutCase(U(u"aBc"), U(u"AbC")), 1);
    EXPECT_EQ(StringUtf16_CompareWithoutCase(U(u"\u00E9"), U(u"\u00C9")), 0);

    EXPECT_EQ(StringUtf16_CompareBeginning(U(u"abcdef"), U(u"abc")), 1);
    EXPECT_EQ(StringUtf16_CompareBeginning(U(u"abcdef"), U(u"abd")), 0);
    EXPECT_EQ(StringUtf16_CompareBeginning(U(u"ab"), U(u"abc")), 0);
    EXPECT_EQ(StringUtf16_CompareBeginning(U(u"ab"), U(u"")), 1);
    EXPECT_EQ(StringUtf16_CompareBeginningWithoutCase(U(u"ABcdef"), U(u"abC")), 1);

    EXPECT_EQ(StringUtf16_CompareLength(U(u"abcX"), U(u"abcY"), 3), 1);
    EXPECT_EQ(StringUtf16_CompareLength(U(u"abcX"), U(u"abcY"), 4), 0);
    EXPECT_EQ(StringUtf16_CompareLength(U(u"ab"), U(u"ab"), 10), 1); // a common terminator ends it
    EXPECT_EQ(StringUtf16_CompareLength(U(u"ab"), U(u"abc"), 10), 0);
    EXPECT_EQ(StringUtf16_CompareLength(U(u"x"), U(u"y"), 0), 1);
    EXPECT_EQ(StringUtf16_CompareLength(U(u"x"), U(u"y"), -3), 1);
    EXPECT_EQ(StringUtf16_CompareLengthWithoutCase(U(u"ABcX"), U(u"abCY"), 3), 1);

    // The shorter of the two is a tail of the longer, in either order.
    EXPECT_EQ(StringUtf16_CompareEnding(U(u"bc"), U(u"abc")), 1);
    EXPECT_EQ(StringUtf16_CompareEnding(U(u"abc"), U(u"bc")), 1);
    EXPECT_EQ(StringUtf16_CompareEnding(U(u"abc"), U(u"bd")), 0);
    EXPECT_EQ(StringUtf16_CompareEnding(U(u"abc"), U(u"")), 1);
    EXPECT_EQ(StringUtf16_CompareEnding(U(u"abc"), U(u"BC")), 0);
    EXPECT_EQ(StringUtf16_CompareEndingWithoutCase(U(u"abc"), U(u"BC")), 1);
}

TEST(UnicodeString16, Wildcards) {
    const struct {
        const char16_t* text;
        const char16_t* pattern;
        int64_t plain;
        int64_t caseless;
    } cases[] = {
        {u"notes.txt", u"*.txt", 1, 1},
        {u"notes.TXT", u"*.txt", 0, 1},
        {u"ab", u"a", 0, 0},
        {u"a", u"a*b", 0, 0}, // "a*b" needs a b at the end
        {u"ab", u"a*b", 1, 1},
        {u"axxb", u"a*b", 1, 1},
        {u"axxbc", u"a*b", 0, 0},
        {u"", u"", 1, 1},
        {u"", u"*", 1, 1},
        {u"", u"**", 1, 1},
        {u"", u"*a", 0, 0}, // an empty text has no a
        {u"a", u"", 0, 0},
        {u"abc", u"*", 1, 1},
        {u"abc", u"a*", 1, 1},
        {u"abc", u"*c", 1, 1},
        {u"abc", u"*b*", 1, 1},
        {u"abcbd", u"a*b*d", 1, 1},
        {u"a?c", u"a?c", 1, 1}, // no single-unit wildcard
        {u"abc", u"a?c", 0, 0},
        {u"\u00E9t\u00E9", u"\u00E9*", 1, 1},
        {u"\u00C9t\u00E9", u"\u00E9*", 0, 0}, // folding is ASCII only
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StringUtf16_CompareWildcard(U(c.text), U(c.pattern)), c.plain);
        EXPECT_EQ(StringUtf16_CompareWildcardWithoutCase(U(c.text), U(c.pattern)), c.caseless);
        EXPECT_EQ(StringUtf16_CompareWildcardInt(U(c.text), U(c.pattern), 1), c.caseless);
    }
    // Many stars against a long text that does not match end in bounded time.
    std::u16string text(2000, u'a');
    std::u16string pattern;
    for (int32_t i = 0; i < 40; i++) pattern += u"*a";
    pattern += u"b";
    EXPECT_EQ(StringUtf16_CompareWildcard(U(text.c_str()), U(pattern.c_str())), 0);
}

TEST(UnicodeString16, ReverseAndNumbers) {
    uint16_t text[8];
    StringUtf16_Copy(text, U(u"abcd"));
    EXPECT_EQ(StringUtf16_Reverse(text), 1);
    EXPECT_EQ(Text16(text), u"dcba");
    StringUtf16_Copy(text, U(u"abc"));
    StringUtf16_Reverse(text);
    EXPECT_EQ(Text16(text), u"cba");
    StringUtf16_Copy(text, U(u""));
    EXPECT_EQ(StringUtf16_Reverse(text), 1);
    EXPECT_EQ(text[0], 0);

    const struct {
        const char16_t* text;
        int64_t value;
    } numbers[] = {
        {u"123", 123},
        {u"-45x", -45},
        {u"+7", 7},
        {u"", 0},
        {u"-", 0},
        {u"x12", 0},
        {u" 12", 0},
        {u"0012", 12},
        {u"9223372036854775807", INT64_MAX},
        {u"-9223372036854775808", INT64_MIN},
        {u"18446744073709551617", 1}, // wraps
    };
    for (const auto& n : numbers) EXPECT_EQ(StringUtf16_AtoI64(U(n.text)), n.value);
    EXPECT_EQ(StringUtf16_AtoI(U(u"4294967297")), 1); // the low 32 bits
    EXPECT_EQ(StringUtf16_AtoI(U(u"-12")), -12);
}

TEST(UnicodeString16DeathTest, NullArguments) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    uint16_t target[4];
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringUtf16_CopyLength(target, nullptr, 4);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringUtf16_CompareWildcard(nullptr, U(u"*"));
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringUtf16_FindString(U(u"a"), nullptr, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace
