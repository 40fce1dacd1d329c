// Tests of the text library's comparisons and wildcard matching.
#include "core/runtime/string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "core/runtime/unicode.h"
#include "tests/support/text_cases.h"

namespace {

TEST(StringCompare, ThreeWayForms) {
    // `bytes`: String_CompareReturn's byte difference; `folded`: String_CompareWithoutCaseReturn's.
    const struct { const char *a, *b; int64_t bytes, folded; } cases[] = {
        {"abc", "abc", 0, 0}, {"abc", "abd", 'c' - 'd', -1}, {"abd", "abc", 1, 1}, {"ab", "abc", -'c', -1},
        {"abc", "ab", 'c', 1}, {"\xe9", "e", 0xE9 - 'e', 1}, {"", "", 0, 0}, {"", "a", -'a', -1},
        {"abc", "ABC", 32, 0}, {"abc", "ABCD", 32, -1}, {"ABC", "abd", -32, -1}, {"z", "\xe9", 'z' - 0xE9, -1},
        // Folding goes to small letters: '_' and '[' lie between the capitals and the small ones.
        {"_", "A", '_' - 'A', -1}, {"[", "a", '[' - 'a', -1}, {"{", "Z", '{' - 'Z', 1},
        {"\xc3\x89", "\xc3\xa9", 0x89 - 0xA9, -1}, // only ASCII letters fold
    };
    for (const auto& c : cases) // and the equality forms: 1 when equal
        EXPECT_EQ(std::tuple(String_CompareReturn(c.a, c.b), String_Compare(c.a, c.b),
                             String_CompareWithoutCaseReturn(c.a, c.b), String_CompareWithoutCase(c.a, c.b)),
                  std::tuple(c.bytes, int64_t{c.bytes == 0}, c.folded, int64_t{c.folded == 0}))
            << c.a << " " << c.b;
    const char* same = "x";
    EXPECT_EQ(String_CompareReturn(same, same), 0);
}

TEST(StringCompare, LengthBeginningEndingAndIgnore) {
    ExpectResults({
        RESULT(String_CompareLength("abcdef", "abcxy", 3), 1), RESULT(String_CompareLength("abcdef", "abcxy", 4), 0),
        RESULT(String_CompareLength("ab", "ab", 10), 1), // a common terminator ends the comparison
        RESULT(String_CompareLength("ab", "abc", 10), 0), RESULT(String_CompareLength("x", "y", 0), 1),
        RESULT(String_CompareLength("x", "y", -5), 1), RESULT(String_CompareLength("Ab", "ab", 2), 0),
        RESULT(String_CompareLengthWithoutCase("HeLLo world", "hello WORLD", 11), 1),
        RESULT(String_CompareLengthWithoutCase("Hello", "Help", 4), 0),
        RESULT(String_CompareBeginning("readme.txt", "read"), 1),
        RESULT(String_CompareBeginning("readme.txt", "Read"), 0), RESULT(String_CompareBeginning("re", "read"), 0),
        RESULT(String_CompareBeginning("abc", ""), 1),
        RESULT(String_CompareBeginningWithoutCase("ReadMe", "rEAD"), 1),
        RESULT(String_CompareBeginningWithoutCase("Re", "rEAD"), 0),
        // The shorter of the two is a tail of the longer, in either order.
        RESULT(String_CompareEnding("c", "abc"), 1), RESULT(String_CompareEnding("abc", "c"), 1),
        RESULT(String_CompareEnding("abc", "bc"), 1), RESULT(String_CompareEnding("abc", "ab"), 0),
        RESULT(String_CompareEnding("abc", ""), 1), RESULT(String_CompareEnding("", "abc"), 1),
        RESULT(String_CompareEnding("abc", "ABC"), 0), RESULT(String_CompareEndingWithoutCase("file.TXT", ".txt"), 1),
        RESULT(String_CompareEndingWithoutCase(".txt", "file.TXT"), 1),
        RESULT(String_CompareEndingWithoutCase("file.txt", ".doc"), 0),
        // Equality after skipping the bytes of a set in both.
        RESULT(String_CompareIgnore("AB-CD-EF", "ABCDEF", "-", 0), 1),
        RESULT(String_CompareIgnore("AB--CD", "A-B-C-D", "-", 0), 1),
        RESULT(String_CompareIgnore("ab cd", "AB-CD", " -", 1), 1),
        RESULT(String_CompareIgnore("ab cd", "AB-CD", " -", 0), 0),
        RESULT(String_CompareIgnore("abc", "abc", "", 0), 1), RESULT(String_CompareIgnore("a b", "ab", "", 0), 0),
        RESULT(String_CompareIgnore("abc-", "abc", "-", 0), 1),
        RESULT(String_CompareIgnore("abcd", "abc", "-", 0), 0), RESULT(String_CompareIgnore("---", "", "-", 0), 1),
    });
}

// Every caseless comparison, search and wildcard match of the byte and 16-bit libraries, asked
// whether two texts that differ in one byte match: folding joins A-Z with a-z and nothing else,
// so the neighbours '@' / '`' and '[' / '{' stay apart.
using Text = const std::string&;
const char* C(Text s) {
    return s.c_str();
}
struct W { // the same text as 16-bit units, alive to the end of the call it is built for
    std::u16string units;
    W(Text s) : units(s.begin(), s.end()) {}
    operator const uint16_t*() const { return U(units.c_str()); }
};
#define CASELESS(expr) {#expr, [](Text a, Text b) { return (expr); }}
const struct { const char* name; bool (*match)(Text a, Text b); } kCaseless[] = {
    CASELESS(String_CompareWithoutCaseReturn(C(a), C(b)) == 0), CASELESS(String_CompareWithoutCase(C(a), C(b)) == 1),
    CASELESS(String_CompareLengthWithoutCase(C(a), C(b), 3) == 1),
    CASELESS(String_CompareBeginningWithoutCase(C(a + "-"), C(b)) == 1),
    CASELESS(String_CompareEndingWithoutCase(C("-" + a), C(b)) == 1),
    CASELESS(String_CompareIgnore(C(a), C(b), "-", 1) == 1),
    CASELESS(String_CompareWildcardWithoutCase(C(a), C("*" + b)) == 1),
    CASELESS(String_CompareWildcardListWithoutCase(C(a), C("q; " + b)) == 1),
    CASELESS(String_FindStringWithoutCase(C("--" + a), C(b), nullptr) == 1),
    CASELESS(String_ContainsStringWithoutCase(C(a + "--"), C(b)) == 1),
    CASELESS(String_FindStringReverseWithoutCase(C("-" + a + "-"), C(b), nullptr) == 1),
    CASELESS(StringUtf16_CompareWithoutCase(W(a), W(b)) == 1),
    CASELESS(StringUtf16_CompareLengthWithoutCase(W(a), W(b), 3) == 1),
    CASELESS(StringUtf16_CompareBeginningWithoutCase(W(a + "-"), W(b)) == 1),
    CASELESS(StringUtf16_CompareEndingWithoutCase(W("-" + a), W(b)) == 1),
    CASELESS(StringUtf16_FindStringWithoutCase(W("--" + a), W(b), nullptr) == 1),
    CASELESS(StringUtf16_CompareWildcardWithoutCase(W(a), W("*" + b)) == 1),
    CASELESS(StringUtf16_CompareWildcardInt(W(a), W(b), 1) == 1),
};
#undef CASELESS

TEST(StringCompare, CaselessFoldsLettersOnlyNotTheirNeighbours) {
    const struct { char a, b; bool match; } pairs[] = {
        {'A', 'a', true},  {'a', 'A', true},  {'Z', 'z', true},  {'z', 'Z', true},  {'A', 'A', true},
        {'@', '`', false}, {'`', '@', false}, {'[', '{', false}, {'{', '[', false}, {'@', 'A', false},
        {'[', 'Z', false}, {'`', 'a', false}, {'{', 'z', false}, {'@', '@', true},  {'{', '{', true}};
    for (const auto& fn : kCaseless)
        for (const auto& p : pairs)
            EXPECT_EQ(fn.match(std::string("x") + p.a + "y", std::string("x") + p.b + "y"), p.match)
                << fn.name << " '" << p.a << "' ~ '" << p.b << "'";
}

TEST(StringWildcard, KnownAnswers) {
    const struct { const char *text, *pattern; int64_t plain, caseless; } cases[] = {
        {"readme.txt", "*.txt", 1, 1}, {"readme.txt", "*.doc", 0, 0}, {"a?c", "a?c", 1, 1},
        {"abc", "a?c", 0, 0}, // '?' is an ordinary byte
        {"a*c", "a\\*c", 1, 1}, {"abc", "a\\*c", 0, 0}, // "\*" is a literal star
        {"a\\bc", "a\\bc", 1, 1}, // any other backslash is ordinary
        {"", "", 1, 1}, {"", "*", 1, 1}, {"", "**", 1, 1}, {"", "a", 0, 0}, {"a", "", 0, 0}, {"abc", "*", 1, 1},
        {"abc", "a*", 1, 1}, {"abc", "*c", 1, 1}, {"abc", "a*b*c", 1, 1}, {"abc", "a**c", 1, 1}, {"abc", "*b", 0, 0},
        {"abcbd", "a*b*d", 1, 1}, {"aab", "*ab", 1, 1}, {"mississippi", "m*iss*ppi", 1, 1},
        {"mississippi", "m*iss*ssi", 0, 0}, {"ab", "ab*", 1, 1}, {"ab", "ab**", 1, 1}, {"ab", "abc*", 0, 0},
        {"x*", "x\\*", 1, 1}, {"x", "x\\*", 0, 0}, {"README.TXT", "*.txt", 0, 1}, {"Report.Doc", "r*.DOC", 0, 1},
        {"Report.Doc", "r*.DOCX", 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(String_CompareWildcard(c.text, c.pattern), c.plain) << c.text << " ~ " << c.pattern;
        EXPECT_EQ(String_CompareWildcardWithoutCase(c.text, c.pattern), c.caseless) << c.text << " ~ " << c.pattern;
    }
}

TEST(StringWildcard, HostilePatternsStayFastAndBounded) {
    // Many stars against a long text that almost matches: a matcher that tries every split
    // point at every star would take exponential time; this one finishes at once.
    std::string text(4000, 'a'), pattern;
    for (int i = 0; i < 200; i++) pattern += "a*";
    EXPECT_EQ(String_CompareWildcard(text.c_str(), (pattern + "b").c_str()), 0);
    EXPECT_EQ(String_CompareWildcard((text + "b").c_str(), (pattern + "b").c_str()), 1);
    // A very long run of stars neither recurses nor overflows the stack.
    std::string stars(100000, '*');
    EXPECT_EQ(String_CompareWildcard("anything", stars.c_str()), 1);
    EXPECT_EQ(String_CompareWildcard("anything", (stars + "x").c_str()), 0);
}

// The matcher as first described: recursion at every '*' over every split point. Exponential,
// but a plain statement of the rules to hold the fast matcher to on small inputs.
int64_t ReferenceMatch(const char* t, const char* p, char stop) {
    auto end = [stop](const char* q) { return *q == 0 || (stop != 0 && *q == stop); };
    for (;; p++, t++) {
        if (*t == 0) {
            while (*p == '*') p++;
            return end(p) ? 1 : 0;
        }
        if (*p == '\\' && p[1] == '*') {
            if (*t != '*') return 0;
            p++;
            continue;
        }
        if (*p == '*') {
            if (end(p + 1)) return 1;
            for (const char* s = t; *s != 0; s++)
                if (ReferenceMatch(s, p + 1, stop)) return 1;
            return 0;
        }
        if (end(p) || *p != *t) return 0;
    }
}

TEST(StringWildcard, AgreesWithRecursiveRules) {
    const char alphabet[] = {'a', 'b', '*', '\\', ';'};
    uint32_t seed = 12345;
    auto next = [&seed]() { return (seed = seed * 1103515245u + 12345u) >> 16; };
    for (int round = 0; round < 20000; round++) {
        char text[10], pattern[10];
        int tl = static_cast<int>(next() % 8), pl = static_cast<int>(next() % 8);
        for (int i = 0; i < tl; i++) text[i] = alphabet[next() % 5];
        for (int i = 0; i < pl; i++) pattern[i] = alphabet[next() % 5];
        text[tl] = pattern[pl] = 0;
        ASSERT_EQ(String_CompareWildcard(text, pattern), ReferenceMatch(text, pattern, 0))
            << "'" << text << "' ~ '" << pattern << "'";
        // The list form tries each ';' pattern with the same rules.
        int64_t any = std::strcmp(pattern, "*") == 0;
        for (const char* p = pattern; *p != 0 && !any;) {
            any = ReferenceMatch(text, p, ';');
            const char* semicolon = std::strchr(p, ';');
            if (semicolon == nullptr) break;
            for (p = semicolon + 1; *p == ' ';) p++;
        }
        ASSERT_EQ(String_CompareWildcardList(text, pattern), any) << "'" << text << "' ~ list '" << pattern << "'";
    }
}

TEST(StringWildcard, Lists) {
    const struct { const char *text, *list; int64_t plain, caseless; } cases[] = {
        {"report.doc", "*.txt; *.doc", 1, 1}, {"report.txt", "*.txt; *.doc", 1, 1},
        {"report.pdf", "*.txt; *.doc", 0, 0}, {"REPORT.DOC", "*.txt; *.doc", 0, 1}, {"abc", "ab*;x", 1, 1},
        {"x", "ab*;x", 1, 1}, {"", "*", 1, 1}, {"anything", "*", 1, 1}, {"", "", 0, 0}, {"abc", "", 0, 0},
        {"abc", "x;", 0, 0}, {"", "x;", 0, 0}, // nothing after the last ';'
        {"abc", "x;   abc", 1, 1}, // spaces after ';' are skipped
        {"abc", " abc", 0, 0}, // but not before the first pattern
        {"a;b", "a;b", 0, 0}, {"a;b", "a\\*;b", 0, 0}, {"a;b", "a*", 1, 1}, // a ';' in the text is text
        {"ab", "*;x", 1, 1}, {"", "x;;y", 1, 1}, // the empty pattern between matches the empty text
    };
    for (const auto& c : cases) {
        EXPECT_EQ(String_CompareWildcardList(c.text, c.list), c.plain) << c.text << " ~ " << c.list;
        EXPECT_EQ(String_CompareWildcardListWithoutCase(c.text, c.list), c.caseless) << c.text << " ~ " << c.list;
    }
}

} // namespace
