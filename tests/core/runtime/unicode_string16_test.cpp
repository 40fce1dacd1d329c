// Tests of the 16-bit string library: bounded copies and appends, searches, comparisons with and
// without case, wildcard matching, reversal and number parsing.

#include "core/runtime/unicode.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/text_cases.h"

namespace {

constexpr uint16_t Guard = 0xBEEF;

TEST(UnicodeString16, CopyAndAppend) {
    // `before` null: StringUtf16_CopyLength; else StringUtf16_CatLength onto that text.
    const struct { const char16_t *before, *source; int32_t capacity, result; const char16_t* expected; } cases[] = {
        {nullptr, u"hello", 6, 5, u"hello"}, {nullptr, u"hello", 5, 4, u"hell"}, {nullptr, u"hello", 2, 1, u"h"},
        {nullptr, u"hello", 1, 0, u""}, {nullptr, u"", 4, 0, u""}, {nullptr, u"a\u20ACb", 8, 3, u"a\u20ACb"},
        {nullptr, u"abc", 0, 0, nullptr}, // nothing written at all
        {u"abcd", u"efgh", 7, 2, u"abcdef"}, // the capacity is that of the whole target
        {u"abcdef", u"x", 7, 0, u"abcdef"},
    };
    for (const auto& c : cases) {
        Guarded<uint16_t> target(c.capacity, Guard);
        if (c.before) StringUtf16_Copy(target, U(c.before));
        EXPECT_EQ(c.before ? StringUtf16_CatLength(target, U(c.source), c.capacity)
                           : StringUtf16_CopyLength(target, U(c.source), c.capacity),
                  c.result);
        if (c.expected) {
            EXPECT_EQ(Text16(target), c.expected);
        }
        EXPECT_TRUE(target.Untouched()) << c.capacity;
    }
    // A target with no terminator inside its capacity is neither read past nor changed.
    Guarded<uint16_t> full(3, Guard);
    full[0] = full[1] = full[2] = 'a';
    EXPECT_EQ(StringUtf16_CatLength(full, U(u"x"), 3), 0);
    EXPECT_EQ(full[2], 'a');
    EXPECT_EQ(StringUtf16_CatLength(full, U(u"x"), 0), 0);
    EXPECT_TRUE(full.Untouched());
    uint16_t target[8];
    EXPECT_EQ(StringUtf16_Copy(target, U(u"ab")), 2);
    EXPECT_EQ(StringUtf16_Cat(target, U(u"cd")), 2);
    EXPECT_EQ(Text16(target), u"abcd");
}

// A search: the call (`t` the text, `p` the position out-argument) and the index it must find.
struct Search {
    const char* name;
    const uint16_t* text;
    int64_t (*find)(const uint16_t* t, const uint16_t** p);
    int32_t at; // -1: not found, and a null position
};
#define FIND(text, call, at) {#call, text, [](const uint16_t* t, const uint16_t** p) { return call; }, at}

TEST(UnicodeString16, Searches) {
    const uint16_t* text = U(u"abcabc");
    const uint16_t* hello = U(u"Hello World");
    const Search cases[] = {
        FIND(text, StringUtf16_FindChar(t, 'c', p), 2), FIND(text, StringUtf16_FindChar(t, 'z', p), -1),
        FIND(text, StringUtf16_FindChar(t, 0, p), -1), FIND(text, StringUtf16_FindCharReverse(t, 'b', p), 4),
        FIND(text, StringUtf16_FindCharReverse(t, 'z', p), -1), FIND(text, StringUtf16_FindCharReverse(t, 0, p), 6),
        FIND(hello, StringUtf16_FindString(t, U(u"World"), p), 6),
        FIND(hello, StringUtf16_FindString(t, U(u"world"), p), -1),
        FIND(hello, StringUtf16_FindString(t, U(u"World!"), p), -1),
        FIND(hello, StringUtf16_FindString(t, U(u""), p), 0), FIND(U(u""), StringUtf16_FindString(t, U(u""), p), -1),
        FIND(hello, StringUtf16_FindStringWithoutCase(t, U(u"WORLD"), p), 6),
        FIND(U(u"\u00C9t\u00E9"), StringUtf16_FindStringWithoutCase(t, U(u"\u00E9T"), p), -1), // A-Z only fold
    };
#undef FIND
    for (const auto& c : cases) {
        const uint16_t* pos = c.text;
        EXPECT_EQ(c.find(c.text, &pos), c.at >= 0 ? 1 : 0) << c.name;
        EXPECT_EQ(pos, c.at >= 0 ? c.text + c.at : nullptr) << c.name;
        EXPECT_EQ(c.find(c.text, nullptr), c.at >= 0 ? 1 : 0) << c.name;
    }
    // From index start (at most the last unit) down to 0.
    const struct { int32_t start; uint16_t unit; int32_t found; } at[] = {
        {5, 'a', 3}, {2, 'a', 0}, {0, 'a', 0}, {2, 'c', 2}, {1, 'c', -1}, {-1, 'a', -1}, {100, 'c', 5},
        {100, 'z', -1}};
    for (const auto& c : at) {
        const uint16_t* pos = text;
        EXPECT_EQ(StringUtf16_FindCharReverseAt(text, c.unit, c.start, &pos), c.found >= 0 ? 1 : 0) << c.start;
        EXPECT_EQ(pos, c.found >= 0 ? text + c.found : nullptr) << c.start;
    }
    const uint16_t* pos = text;
    EXPECT_EQ(StringUtf16_FindCharReverseAt(U(u""), 'a', 0, &pos), 0);
}

TEST(UnicodeString16, Compare) {
    ExpectResults({
        RESULT(StringUtf16_Compare(U(u"abc"), U(u"abc")), 1), RESULT(StringUtf16_Compare(U(u"abc"), U(u"abC")), 0),
        RESULT(StringUtf16_Compare(U(u"abc"), U(u"ab")), 0), RESULT(StringUtf16_Compare(U(u"ab"), U(u"abc")), 0),
        RESULT(StringUtf16_Compare(U(u""), U(u"")), 1),
        RESULT(StringUtf16_CompareWithoutCase(U(u"aBc"), U(u"AbC")), 1),
        RESULT(StringUtf16_CompareWithoutCase(U(u"\u00E9"), U(u"\u00C9")), 0),
        RESULT(StringUtf16_CompareWithoutCase(U(u"ab"), U(u"abc")), 0),
        RESULT(StringUtf16_CompareBeginning(U(u"abcdef"), U(u"abc")), 1),
        RESULT(StringUtf16_CompareBeginning(U(u"abcdef"), U(u"abd")), 0),
        RESULT(StringUtf16_CompareBeginning(U(u"ab"), U(u"abc")), 0),
        RESULT(StringUtf16_CompareBeginning(U(u"ab"), U(u"")), 1),
        RESULT(StringUtf16_CompareBeginningWithoutCase(U(u"ABcdef"), U(u"abC")), 1),
        // The shorter of the two is a tail of the longer, in either order.
        RESULT(StringUtf16_CompareEnding(U(u"bc"), U(u"abc")), 1),
        RESULT(StringUtf16_CompareEnding(U(u"abc"), U(u"bc")), 1),
        RESULT(StringUtf16_CompareEnding(U(u"abc"), U(u"bd")), 0),
        RESULT(StringUtf16_CompareEnding(U(u"abc"), U(u"")), 1),
        RESULT(StringUtf16_CompareEnding(U(u"abc"), U(u"BC")), 0),
        RESULT(StringUtf16_CompareEndingWithoutCase(U(u"abc"), U(u"BC")), 1),
        RESULT(StringUtf16_CompareLength(U(u"abcX"), U(u"abcY"), 3), 1),
        RESULT(StringUtf16_CompareLength(U(u"abcX"), U(u"abcY"), 4), 0),
        RESULT(StringUtf16_CompareLength(U(u"ab"), U(u"ab"), 10), 1), // a common terminator ends it
        RESULT(StringUtf16_CompareLength(U(u"ab"), U(u"abc"), 10), 0),
        RESULT(StringUtf16_CompareLength(U(u"x"), U(u"y"), 0), 1),
        RESULT(StringUtf16_CompareLength(U(u"x"), U(u"y"), -3), 1),
        RESULT(StringUtf16_CompareLengthWithoutCase(U(u"ABcX"), U(u"abCY"), 3), 1),
        RESULT(StringUtf16_CompareLengthWithoutCase(U(u"ABcX"), U(u"abCY"), 4), 0),
    });
}

TEST(UnicodeString16, Wildcards) {
    const struct { const char16_t *text, *pattern; int64_t plain, caseless; } cases[] = {
        {u"notes.txt", u"*.txt", 1, 1}, {u"notes.TXT", u"*.txt", 0, 1}, {u"ab", u"a", 0, 0}, {u"a", u"a*b", 0, 0},
        {u"ab", u"a*b", 1, 1}, {u"axxb", u"a*b", 1, 1}, // "a*b" needs a b at the end
        {u"axxbc", u"a*b", 0, 0}, {u"", u"", 1, 1}, {u"", u"*", 1, 1}, {u"", u"**", 1, 1}, {u"", u"*a", 0, 0},
        {u"a", u"", 0, 0}, {u"abc", u"*", 1, 1}, {u"abc", u"a*", 1, 1}, {u"abc", u"*c", 1, 1}, {u"abc", u"*b*", 1, 1},
        {u"abcbd", u"a*b*d", 1, 1}, {u"a?c", u"a?c", 1, 1}, // no single-unit wildcard
        {u"abc", u"a?c", 0, 0}, {u"\u00E9t\u00E9", u"\u00E9*", 1, 1},
        {u"\u00C9t\u00E9", u"\u00E9*", 0, 0}, // folding is ASCII only
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StringUtf16_CompareWildcard(U(c.text), U(c.pattern)), c.plain) << (&c - cases);
        EXPECT_EQ(StringUtf16_CompareWildcardInt(U(c.text), U(c.pattern), 0), c.plain) << (&c - cases);
        EXPECT_EQ(StringUtf16_CompareWildcardWithoutCase(U(c.text), U(c.pattern)), c.caseless) << (&c - cases);
    }
    // Many stars against a long text that does not match end in bounded time.
    std::u16string text(2000, u'a'), pattern;
    for (int32_t i = 0; i < 40; i++) pattern += u"*a";
    EXPECT_EQ(StringUtf16_CompareWildcard(U(text.c_str()), U((pattern + u"b").c_str())), 0);
}

TEST(UnicodeString16, ReverseAndNumbers) {
    for (const auto& [in, out] : {std::pair{u"abcd", u"dcba"}, {u"abc", u"cba"}, {u"", u""}}) {
        uint16_t text[8];
        StringUtf16_Copy(text, U(in));
        EXPECT_EQ(StringUtf16_Reverse(text), 1);
        EXPECT_EQ(Text16(text), out);
    }
    const struct { const char16_t* text; int64_t value; } numbers[] = {
        {u"123", 123}, {u"-45x", -45}, {u"+7", 7}, {u"", 0}, {u"-", 0}, {u"x12", 0}, {u" 12", 0}, {u"0012", 12},
        {u"9223372036854775807", INT64_MAX}, {u"-9223372036854775808", INT64_MIN},
        {u"18446744073709551617", 1}, // wraps
    };
    for (const auto& n : numbers) EXPECT_EQ(StringUtf16_AtoI64(U(n.text)), n.value);
    EXPECT_EQ(StringUtf16_AtoI(U(u"4294967297")), 1); // the low 32 bits
    EXPECT_EQ(StringUtf16_AtoI(U(u"-12")), -12);
}

} // namespace
