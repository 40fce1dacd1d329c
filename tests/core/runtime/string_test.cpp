// Tests of the text library's bounded copies, appends and in-place edits.
#include "core/runtime/string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/text_cases.h"

namespace {

TEST(StringCopy, BoundedCopies) {
    ExpectWrites({
        // String_CopyLength: the bytes copied, or the capacity when the text was cut.
        WRITE(8, String_CopyLength(d, "abcdefghij", n), 8, "abcdefg"),
        WRITE(8, String_CopyLength(d, "abc", n), 3, "abc"), WRITE(8, String_CopyLength(d, "", n), 0, ""),
        WRITE(8, String_CopyLength(d, "abcdefg", n), 7, "abcdefg"),
        WRITE(8, String_CopyLength(d, "abcdefgh", n), 8, "abcdefg"), WRITE(1, String_CopyLength(d, "a", n), 1, ""),
        WRITE(1, String_CopyLength(d, "", n), 0, ""),
        // String_CopyLengthSafe: at most maxBytes, never more than capacity - 1.
        WRITE(16, String_CopyLengthSafe(d, n, "abcdef", 3), 3, "abc"),
        WRITE(16, String_CopyLengthSafe(d, n, "ab", 5), 2, "ab"),
        WRITE(4, String_CopyLengthSafe(d, n, "abcdef", 6), 3, "abc"),
        WRITE(4, String_CopyLengthSafe(d, n, "abcdef", 2), 2, "ab"),
        WRITE(16, String_CopyLengthSafe(d, n, "abc", 0), 0, ""),
        WRITE(16, String_CopyLengthSafe(d, n, "abc", -4), 0, ""),
        WRITE(1, String_CopyLengthSafe(d, n, "abc", 3), 0, ""),
        // String_CatLength: within the total capacity; the result is String_CopyLength's for the room left.
        WRITE_IN("abc", 8, String_CatLength(d, "de", n), 2, "abcde"),
        WRITE_IN("abcde", 8, String_CatLength(d, "fghij", n), 3, "abcdefg"),
        WRITE_IN("abcdefg", 8, String_CatLength(d, "x", n), 1, "abcdefg"),
        WRITE_IN("abcdefg", 8, String_CatLength(d, "", n), 0, "abcdefg"),
        WRITE(4, String_CopyUntilCharLength(d, "abcdef,x", ",", n), 3, "abc"),
        WRITE(3, String_CopyUntilControlLength(d, "abcdef", n), 2, "ab"),
    });
    // A source without a terminator is not read past maxBytes.
    const char unterminated[3] = {'x', 'y', 'z'};
    char out[8];
    EXPECT_EQ(String_CopyLengthSafe(out, sizeof out, unterminated, 3), 3);
    EXPECT_STREQ(out, "xyz");
}

TEST(StringCopy, CapacityBelowOneWritesNothing) {
    for (int32_t capacity : {0, -1, INT32_MIN}) {
        ExpectWrites({
            WRITE(capacity, String_CopyLength(d, "abc", n), 1, nullptr),
            WRITE(capacity, String_CopyLength(d, "", n), 0, nullptr),
            WRITE(capacity, String_CopyLengthSafe(d, n, "abc", 3), 0, nullptr),
            WRITE(capacity, String_CopyUntilCharLength(d, "abc", ",", n), 0, nullptr),
            WRITE(capacity, String_CopyUntilControlLength(d, "abc", n), 0, nullptr),
            WRITE(capacity, String_ShiftRight(d, n, 1), 0, nullptr),
        });
    }
}

TEST(StringCopy, UnterminatedBuffersAreNotEdited) {
    ExpectWrites({
        WRITE_IN("aaaa", 4, String_CatLength(d, "abc", n), 1, nullptr),
        WRITE_IN("aaaa", 4, String_ReplaceLength("a", "b", d, n), 0, nullptr),
        WRITE_IN("abc", 3, String_TrimRightCharsLength(d, " ", 3, nullptr), 1, nullptr),
    });
}

TEST(StringCopy, UnboundedForms) {
    char buf[32] = "xyz";
    EXPECT_EQ(String_Copy(buf, "hello"), 5);
    EXPECT_EQ(String_Cat(buf, ", world"), 7);
    EXPECT_STREQ(buf, "hello, world");
    EXPECT_EQ(String_Copy(buf, ""), 0);
    EXPECT_STREQ(buf, "");
    const struct { const char *src, *stop, *out; int32_t result; } until[] = {
        {"key=value;x", "=;", "key", 3}, {"plain", ",;", "plain", 5}, {"plain", "", "plain", 5},
        {"line one\r\nline two", nullptr, "line one", 8}, {"tab\there", nullptr, "tab", 3},
        {"caf\xc3\xa9\x1f!", nullptr, "caf\xc3\xa9", 5}, // bytes of 0x80 and above are text
    };
    for (const auto& c : until) {
        EXPECT_EQ(c.stop ? String_CopyUntilChar(buf, c.src, c.stop) : String_CopyUntilControl(buf, c.src), c.result);
        EXPECT_STREQ(buf, c.out) << c.src;
    }
}

// An in-place edit of a text in a 32-byte buffer.
struct Edit { std::function<int64_t(char*)> call; const char *in, *out; int64_t result; };

void ExpectEdits(std::initializer_list<Edit> cases) {
    for (const Edit& c : cases) {
        char s[32];
        std::strcpy(s, c.in);
        EXPECT_EQ(c.call(s), c.result) << c.in;
        EXPECT_STREQ(s, c.out) << c.in;
    }
}

TEST(StringEdit, InPlace) {
    ExpectEdits({
        // Case folding touches A-Z / a-z only, not their neighbours nor other bytes.
        {String_Upper, "Hello, W\xc3\xa9rld 123 @AZ[`az{", "HELLO, W\xc3\xa9RLD 123 @AZ[`AZ{", 1},
        {String_Lower, "HELLO, W\xc3\x89RLD 123 @AZ[`az{", "hello, w\xc3\x89rld 123 @az[`az{", 1},
        {String_Reverse, "abcde", "edcba", 1}, {String_Reverse, "ab", "ba", 1}, {String_Reverse, "", "", 1},
        {[](char* s) { return String_TrimLeftChar(s, 'x'); }, "xxabcxx", "abcxx", 1},
        {[](char* s) { return String_TrimRightChar(s, 'x'); }, "xxabcxx", "xxabc", 1},
        {[](char* s) { return String_TrimChar(s, 'x'); }, "xxabcxx", "abc", 1},
        {[](char* s) { return String_TrimChar(s, 'x'); }, "xxxx", "", 1},
        {[](char* s) { return String_TrimLeftChar(s, 'x'); }, "xxxx", "", 1},
        {[](char* s) { return String_TrimRightChar(s, 'x'); }, "xxxx", "", 1},
        {[](char* s) { return String_TrimChar(s, 'x'); }, "axa", "axa", 1},
        {[](char* s) { return String_TrimChar(s, 'x'); }, "", "", 1},
        {[](char* s) { return String_TrimChar(s, 0); }, "abc", "abc", 1},
        {[](char* s) { return String_TrimRightChars(s, ","); }, ",,,", "", 1},
        {[](char* s) { return String_TrimLeftChars(s, " ,"); }, " ,a, ", "a, ", 1},
        {[](char* s) { return String_TrimRightChars(s, " ,"); }, " ,a, ", " ,a", 1},
        {[](char* s) { return String_TrimChars(s, " ,"); }, " ,a, ", "a", 1},
        {[](char* s) { return String_TrimChars(s, ""); }, "abc", "abc", 1},
        {[](char* s) { return String_TrimChars(s, "x"); }, "", "", 1}, {String_TrimWhitespace, " \tx \r\n", "x", 1},
        {String_TrimWhitespace, "\t a b \n", "a b", 1},
        // Only the printable ASCII bytes 0x21-0x7E are kept.
        {[](char* s) { return String_Strip(s, " a\tb\r\nc\x7f\x80\xff" "d~!"); }, "", "abcd~!", 1},
        {[](char* s) { return String_Strip(s, s); }, "x y z", "xyz", 1},
        {[](char* s) { return String_StripChar(s, '-'); }, "a-b--c-", "abc", 1},
        {[](char* s) { return String_StripChar(s, 0); }, "abc", "abc", 1},
        {[](char* s) { return String_ShiftLeft(s, 2); }, "abcdef", "cdef", 1},
        {[](char* s) { return String_ShiftLeft(s, 0); }, "cdef", "cdef", 1},
        {[](char* s) { return String_ShiftLeft(s, -1); }, "cdef", "cdef", 1},
        {[](char* s) { return String_ShiftLeft(s, 5); }, "cdef", "cdef", 0},
        {[](char* s) { return String_ShiftLeft(s, 4); }, "cdef", "", 1},
        {[](char* s) { return String_ReplaceChar('.', '/', s); }, "a.b.c", "a/b/c", 1},
        {[](char* s) { return String_ReplaceChar(0, 'x', s); }, "a/b/c", "a/b/c", 1},
        {[](char* s) { return String_ReplaceChar('\xe9', 'e', s); }, "\xe9t\xe9", "ete", 1},
    });
}

TEST(StringEdit, TrimRightCharsLength) {
    const struct { const char *in, *set; int32_t length; const char* out; int32_t kept; } cases[] = {
        {"abc   def", " ", 6, "abc", 3}, // only the first `length` bytes are looked at
        {",,,,", ",", 4, "", 0}, {"abc", ",", 3, "abc", 3}, {"abc", ",", 0, "abc", 0}, {"abc", ",", -3, "abc", -3},
    };
    for (const auto& c : cases) {
        char s[16];
        std::strcpy(s, c.in);
        int32_t kept = 99;
        EXPECT_EQ(String_TrimRightCharsLength(s, c.set, c.length, &kept), 1);
        EXPECT_EQ(kept, c.kept) << c.in;
        EXPECT_STREQ(s, c.out) << c.in;
    }
}

TEST(StringEdit, ShiftRightAndReplaceKeepToTheCapacity) {
    ExpectWrites({
        WRITE_IN("abcd", 8, String_ShiftRight(d, n, 3), 1, "   abcd"),
        WRITE_IN("   abcd", 8, String_ShiftRight(d, n, 1), 0, "   abcd"),
        WRITE_IN("   abcd", 8, String_ShiftRight(d, n, 0), 1, "   abcd"),
        WRITE_IN("abcd", 8, String_ShiftRight(d, n, INT32_MAX), 0, "abcd"),
        WRITE_IN("a%20b%20c", 32, String_ReplaceLength("%20", " ", d, n), 1, "a b c"),
        // Inserted text is not rescanned.
        WRITE_IN("xax", 32, String_ReplaceLength("x", "xx", d, n), 1, "xxaxx"),
        WRITE_IN("abcabab", 32, String_ReplaceLength("ab", "", d, n), 1, "c"),
        WRITE_IN("{n}={n}", 32, String_ReplaceLength("{n}", "name", d, n), 1, "name=name"),
        WRITE_IN("{n}={n}", 10, String_ReplaceLength("{n}", "name", d, n), 1, "name=name"),
        // The text stopped fitting: the replacements made so far stay.
        WRITE_IN("{n}={n}", 9, String_ReplaceLength("{n}", "name", d, n), 0, "name={n}"),
        WRITE_IN("abc", 32, String_ReplaceLength("", "y", d, n), 0, "abc"),
        WRITE_IN("", 32, String_ReplaceLength("a", "b", d, n), 0, ""),
        WRITE_IN("abc", 32, String_ReplaceLength("q", "r", d, n), 1, "abc"),
        // An occurrence right after the escape byte is kept.
        WRITE_IN("a\\aa", 16, String_ReplaceLengthEx("a", "bb", '\\', d, n), 1, "bb\\abb"),
        WRITE_IN("a\\aa", 6, String_ReplaceLengthEx("a", "bb", '\\', d, n), 0, "bb\\aa"),
        // An escape byte that a replacement inserted is not text of the original: it protects nothing.
        WRITE_IN("aa", 16, String_ReplaceLengthEx("a", "\\", '\\', d, n), 1, "\\\\"),
    });
}

} // namespace
