// Tests of the text library's comparisons and wildcard matching.
#include "core/runtime/string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/abort_hook.h"

TEST(StringCompare, ThreeWayReturnsByteDifference) {
    EXPECT_EQ(String_CompareReturn("abc", "abc"), 0);
    EXPECT_EQ(String_CompareReturn("abc", "abd"), 'c' - 'd');
    EXPECT_EQ(String_CompareReturn("abd", "abc"), 1);
    EXPECT_EQ(String_CompareReturn("ab", "abc"), -'c');
    EXPECT_EQ(String_CompareReturn("abc", "ab"), 'c');
    // Bytes count as unsigned: 0xE9 is above 'e'.
    EXPECT_EQ(String_CompareReturn("\xe9", "e"), 0xE9 - 'e');
    const char* same = "x";
    EXPECT_EQ(String_CompareReturn(same, same), 0);
    EXPECT_EQ(String_Compare("abc", "abc"), 1);
    EXPECT_EQ(String_Compare("abc", "ABC"), 0);
    EXPECT_EQ(String_Compare("", ""), 1);
}

TEST(StringCompare, WithoutCaseReturnIsMinusOneZeroOrOne) {
    struct Case {
        const char* a;
        const char* b;
        int64_t result;
    } cases[] = {
        {"abc", "ABCD", -1}, {"abcd", "ABC", 1}, {"aBc", "AbC", 0},  {"", "", 0},       {"", "a", -1},
        {"a", "", 1},        {"abd", "ABC", 1},  {"ABC", "abd", -1}, {"z", "\xe9", -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(String_CompareWithoutCaseReturn(c.a, c.b), c.result) << c.a << " " << c.b;
        EXPECT_EQ(String_CompareWithoutCase(c.a, c.b), c.result == 0 ? 1 : 0);
    }
    // Only ASCII letters fold: É and é stay different.
    EXPECT_EQ(String_CompareWithoutCase("\xc3\x89", "\xc3\xa9"), 0);
}

TEST(StringCompare, LengthForms) {
    EXPECT_EQ(String_CompareLength("abcdef", "abcxyz", 3), 1);
    EXPECT_EQ(String_CompareLength("abcdef", "abcxyz", 4), 0);
    EXPECT_EQ(String_CompareLength("ab", "ab", 10), 1); // common terminator
    EXPECT_EQ(String_CompareLength("ab", "abc", 10), 0);
    EXPECT_EQ(String_CompareLength("x", "y", 0), 1);
    EXPECT_EQ(String_CompareLength("x", "y", -5), 1);
    EXPECT_EQ(String_CompareLengthWithoutCase("HeLLo world", "hello WORLD", 11), 1);
    EXPECT_EQ(String_CompareLengthWithoutCase("Hello", "Help", 4), 0);
}

TEST(StringCompare, BeginningAndEnding) {
    EXPECT_EQ(String_CompareBeginning("readme.txt", "read"), 1);
    EXPECT_EQ(String_CompareBeginning("readme.txt", "Read"), 0);
    EXPECT_EQ(String_CompareBeginning("re", "read"), 0);
    EXPECT_EQ(String_CompareBeginning("abc", ""), 1);
    EXPECT_EQ(String_CompareBeginningWithoutCase("ReadMe", "rEAD"), 1);

    EXPECT_EQ(String_CompareEnding("c", "abc"), 1);
    EXPECT_EQ(String_CompareEnding("abc", "c"), 1);
    EXPECT_EQ(String_CompareEnding("abc", "bc"), 1);
    EXPECT_EQ(String_CompareEnding("abc", "ab"), 0);
    EXPECT_EQ(String_CompareEnding("abc", ""), 1);
    EXPECT_EQ(String_CompareEnding("", "abc"), 1);
    EXPECT_EQ(String_CompareEnding("abc", "ABC"), 0);
    EXPECT_EQ(String_CompareEndingWithoutCase("file.TXT", ".txt"), 1);
    EXPECT_EQ(String_CompareEndingWithoutCase(".txt", "file.TXT"), 1);
    EXPECT_EQ(String_CompareEndingWithoutCase("file.txt", ".doc"), 0);
}

TEST(StringCompare, IgnoreSkipsSetBytes) {
    struct Case {
        const char* a;
        const char* b;
        const char* ignore;
        int32_t caseless;
        int64_t result;
    } cases[] = {
        {"AB-CD-EF", "ABCDEF", "-", 0, 1}, {"AB--CD", "A-B-C-D", "-", 0, 1}, {"ab cd", "AB-CD", " -", 1, 1},
        {"ab cd", "AB-CD", " -", 0, 0},    {"abc", "abc", "", 0, 1},         {"a b", "ab", "", 0, 0},
        {"abc-", "abc", "-", 0, 1},        {"abcd", "abc", "-", 0, 0},       {"---", "", "-", 0, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(String_CompareIgnore(c.a, c.b, c.ignore, c.caseless), c.result) << c.a << " / " << c.b;
}

TEST(StringWildcard, KnownAnswers) {
    struct Case {
        const char* text;
        const char* pattern;
        int64_t result;
    } cases[] = {
        {"readme.txt", "*.txt", 1},
        {"readme.txt", "*.doc", 0},
        {"a?c", "a?c", 1},
        {"abc", "a?c", 0},   // '?' is an ordinary byte
        {"a*c", "a\\*c", 1}, // "\*" is a literal star
        {"abc", "a\\*c", 0},
        {"a\\bc", "a\\bc", 1}, // any other backslash is ordinary
        {"", "", 1},
        {"", "*", 1},
        {"", "**", 1},
        {"", "a", 0},
        {"a", "", 0},
        {"abc", "*", 1},
        {"abc", "a*", 1},
        {"abc", "*c", 1},
        {"abc", "a*b*c", 1},
        {"abc", "a**c", 1},
        {"abc", "*b", 0},
        {"abcbd", "a*b*d", 1},
        {"aab", "*ab", 1},
        {"mississippi", "m*iss*ppi", 1},
        {"mississippi", "m*iss*ssi", 0},
        {"ab", "ab*", 1},
        {"ab", "ab**", 1},
        {"ab", "abc*", 0},
        {"x*", "x\\*", 1},
        {"x", "x\\*", 0},
        {"README.TXT", "*.txt", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(String_CompareWildcard(c.text, c.pattern), c.result) << c.text << " ~ " << c.pattern;
    EXPECT_EQ(String_CompareWildcardWithoutCase("README.TXT", "*.txt"), 1);
    EXPECT_EQ(String_CompareWildcardWithoutCase("Report.Doc", "r*.DOC"), 1);
    EXPECT_EQ(String_CompareWildcardWithoutCase("Report.Doc", "r*.DOCX"), 0);
}

TEST(StringWildcard, HostilePatternsStayFastAndBounded) {
    // Many stars against a long text that almost matches: a matcher that tries every split
    // point at every star would take exponential time; this one finishes at once.
    std::string text(4000, 'a');
    std::string pattern;
    for (int i = 0; i < 200; i++) pattern += "a*";
    pattern += "b";
    EXPECT_EQ(String_CompareWildcard(text.c_str(), pattern.c_str()), 0);
    text += "b";
    EXPECT_EQ(String_CompareWildcard(text.c_str(), pattern.c_str()), 1);
    // A very long run of stars neither recurses nor overflows the stack.
    std::string stars(100000, '*');
    EXPECT_EQ(String_CompareWildcard("anything", stars.c_str()), 1);
    EXPECT_EQ(String_CompareWildcard("anything", (stars + "x").c_str()), 0);
}

namespace {

// The matcher as first described: recursion at every '*' over every split point. Exponential,
// but a plain statement of the rules to hold the fast matcher to on small inputs.
int64_t ReferenceMatch(const char* t, const char* p, char stop) {
    auto end = [stop](const char* q) { return *q == 0 || (stop != 0 && *q == stop); };
    for (;;) {
        if (*t == 0) {
            while (*p == '*') p++;
            return end(p) ? 1 : 0;
        }
        if (*p == '\\' && p[1] == '*') {
            if (*t != '*') return 0;
            p += 2;
            t++;
            continue;
        }
        if (*p == '*') {
            if (end(p + 1)) return 1;
            for (const char* s = t; *s != 0; s++)
                if (ReferenceMatch(s, p + 1, stop)) return 1;
            return 0;
        }
        if (end(p) || *p != *t) return 0;
        p++;
        t++;
    }
}

} // namespace

TEST(StringWildcard, AgreesWithRecursiveRules) {
    const char alphabet[] = {'a', 'b', '*', '\\', ';'};
    uint32_t seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    for (int round = 0; round < 20000; round++) {
        char text[10], pattern[10];
        int tl = static_cast<int>(next() % 8), pl = static_cast<int>(next() % 8);
        for (int i = 0; i < tl; i++) text[i] = alphabet[next() % 5];
        for (int i = 0; i < pl; i++) pattern[i] = alphabet[next() % 5];
        text[tl] = 0;
        pattern[pl] = 0;
        ASSERT_EQ(String_CompareWildcard(text, pattern), ReferenceMatch(text, pattern, 0))
            << "'" << text << "' ~ '" << pattern << "'";
        // The list form tries each ';' pattern with the same rules.
        int64_t any = 0;
        if (pattern[0] == '*' && pattern[1] == 0) any = 1;
        for (const char* p = pattern; *p != 0 && !any;) {
            any = ReferenceMatch(text, p, ';');
            const char* semicolon = std::strchr(p, ';');
            if (semicolon == nullptr) break;
            p = semicolon + 1;
            while (*p == ' ') p++;
        }
        ASSERT_EQ(String_CompareWildcardList(text, pattern), any)
            << "'" << text << "' ~ list '" << pattern << "'";
    }
}

TEST(StringWildcard, Lists) {
    struct Case {
        const char* text;
        const char* list;
        int64_t result;
    } cases[] = {
        {"report.doc", "*.txt; *.doc", 1},
        {"report.txt", "*.txt; *.doc", 1},
        {"report.pdf", "*.txt; *.doc", 0},
        {"abc", "ab*;x", 1},
        {"x", "ab*;x", 1},
        {"", "*", 1},
        {"anything", "*", 1},
        {"", "", 0},
        {"abc", "", 0},
        {"abc", "x;", 0}, // nothing after the last ';'
        {"", "x;", 0},
        {"abc", "x;   abc", 1}, // spaces after ';' are skipped
        {"abc", " abc", 0},     // but not before the first pattern
        {"a;b", "a;b", 0},      // a separator in the text is text, not a boundary
        {"a;b", "a\\*;b", 0},
        {"a;b", "a*", 1},
        {"ab", "*;x", 1},
        {"", "x;;y", 1}, // the empty pattern between matches the empty text
    };
    for (const Case& c : cases)
        EXPECT_EQ(String_CompareWildcardList(c.text, c.list), c.result) << c.text << " ~ " << c.list;
    EXPECT_EQ(String_CompareWildcardListWithoutCase("REPORT.DOC", "*.txt; *.doc"), 1);
    EXPECT_EQ(String_CompareWildcardListWithoutCase("REPORT.PDF", "*.txt; *.doc"), 0);
}

TEST(StringCompareDeathTest, NullStringsAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_Compare(nullptr, "a");
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_CompareWithoutCase("a", nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_CompareWildcard("a", nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_CompareWildcardList(nullptr, "*");
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_CompareIgnore("a", "a", nullptr, 0);
        },
        AbortRegex("Pointer is NULL\n"));
}
