// Tests of the text library's bounded copies, appends and in-place edits.
#include "core/runtime/string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/abort_hook.h"

namespace {

// A destination of a given capacity followed by guard bytes that no write may touch.
struct Guarded {
    static constexpr int32_t kGuard = 16;
    static constexpr char kFill = static_cast<char>(0xA5);
    char raw[256 + kGuard];
    int32_t capacity;
    explicit Guarded(int32_t cap) : capacity(cap) { std::memset(raw, kFill, sizeof raw); }
    char* buf() { return raw; }
    bool Untouched(int32_t from) const {
        for (int32_t i = from; i < capacity + kGuard; i++)
            if (raw[i] != kFill) return false;
        return true;
    }
    bool GuardIntact() const { return Untouched(capacity > 0 ? capacity : 0); }
};

} // namespace

TEST(StringCopy, CopyLengthTruncatesAndReportsCut) {
    struct Case {
        const char* src;
        int32_t capacity;
        const char* expect;
        int32_t result;
    } cases[] = {
        {"abcdefghij", 8, "abcdefg", 8}, {"abc", 8, "abc", 3}, {"", 8, "", 0}, {"abcdefg", 8, "abcdefg", 7},
        {"abcdefgh", 8, "abcdefg", 8},   {"a", 1, "", 1},      {"", 1, "", 0},
    };
    for (const Case& c : cases) {
        Guarded g(c.capacity);
        EXPECT_EQ(String_CopyLength(g.buf(), c.src, c.capacity), c.result) << c.src << " " << c.capacity;
        EXPECT_STREQ(g.buf(), c.expect);
        EXPECT_TRUE(g.GuardIntact()) << c.src << " " << c.capacity;
    }
}

TEST(StringCopy, CapacityBelowOneWritesNothing) {
    for (int32_t capacity : {0, -1, INT32_MIN}) {
        Guarded g(0);
        EXPECT_EQ(String_CopyLength(g.buf(), "abc", capacity), 1);
        EXPECT_EQ(String_CopyLength(g.buf(), "", capacity), 0);
        EXPECT_EQ(String_CopyLengthSafe(g.buf(), capacity, "abc", 3), 0);
        EXPECT_EQ(String_CopyUntilCharLength(g.buf(), "abc", ",", capacity), 0);
        EXPECT_EQ(String_CopyUntilControlLength(g.buf(), "abc", capacity), 0);
        EXPECT_TRUE(g.Untouched(0));
    }
}

TEST(StringCopy, CopyAndCatAreUnbounded) {
    char buf[32] = "xyz";
    EXPECT_EQ(String_Copy(buf, "hello"), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(String_Cat(buf, ", world"), 7);
    EXPECT_STREQ(buf, "hello, world");
    EXPECT_EQ(String_Copy(buf, ""), 0);
    EXPECT_STREQ(buf, "");
}

TEST(StringCopy, CatLengthAppendsWithinTotalCapacity) {
    Guarded g(8);
    std::strcpy(g.buf(), "abc");
    EXPECT_EQ(String_CatLength(g.buf(), "de", 8), 2);
    EXPECT_STREQ(g.buf(), "abcde");
    // Room left is 3 bytes: two text bytes and the terminator; the result is that room.
    EXPECT_EQ(String_CatLength(g.buf(), "fghij", 8), 3);
    EXPECT_STREQ(g.buf(), "abcdefg");
    EXPECT_TRUE(g.GuardIntact());
    // Already full: nothing is written and the cut is reported.
    EXPECT_EQ(String_CatLength(g.buf(), "x", 8), 1);
    EXPECT_STREQ(g.buf(), "abcdefg");
    EXPECT_EQ(String_CatLength(g.buf(), "", 8), 0);
    EXPECT_TRUE(g.GuardIntact());
}

TEST(StringCopy, CatLengthOnUnterminatedBufferWritesNothing) {
    Guarded g(4);
    std::memset(g.buf(), 'x', 4);
    EXPECT_EQ(String_CatLength(g.buf(), "abc", 4), 1);
    EXPECT_EQ(std::string(g.buf(), 4), "xxxx");
    EXPECT_TRUE(g.GuardIntact());
}

TEST(StringCopy, CopyLengthSafeTakesAtMostMaxBytes) {
    struct Case {
        const char* src;
        int32_t capacity;
        int32_t maxBytes;
        const char* expect;
        int32_t result;
    } cases[] = {
        {"abcdef", 16, 3, "abc", 3}, {"ab", 16, 5, "ab", 2}, {"abcdef", 4, 6, "abc", 3},
        {"abcdef", 4, 2, "ab", 2},   {"abc", 16, 0, "", 0},  {"abc", 16, -4, "", 0},
        {"abc", 1, 3, "", 0},
    };
    for (const Case& c : cases) {
        Guarded g(c.capacity);
        EXPECT_EQ(String_CopyLengthSafe(g.buf(), c.capacity, c.src, c.maxBytes), c.result) << c.src;
        EXPECT_STREQ(g.buf(), c.expect);
        EXPECT_TRUE(g.GuardIntact());
    }
    // The source is not read past maxBytes, even when it has no terminator.
    const char unterminated[3] = {'x', 'y', 'z'};
    char out[8];
    EXPECT_EQ(String_CopyLengthSafe(out, sizeof out, unterminated, 3), 3);
    EXPECT_STREQ(out, "xyz");
}

TEST(StringCopy, CopyUntilStopsAtSetOrControl) {
    char out[32];
    EXPECT_EQ(String_CopyUntilChar(out, "key=value;x", "=;"), 3);
    EXPECT_STREQ(out, "key");
    EXPECT_EQ(String_CopyUntilChar(out, "plain", ",;"), 5);
    EXPECT_STREQ(out, "plain");
    EXPECT_EQ(String_CopyUntilChar(out, "plain", ""), 5);
    Guarded g(4);
    EXPECT_EQ(String_CopyUntilCharLength(g.buf(), "abcdef,x", ",", 4), 3);
    EXPECT_STREQ(g.buf(), "abc");
    EXPECT_TRUE(g.GuardIntact());

    EXPECT_EQ(String_CopyUntilControl(out, "line one\r\nline two"), 8);
    EXPECT_STREQ(out, "line one");
    EXPECT_EQ(String_CopyUntilControl(out, "tab\there"), 3);
    EXPECT_STREQ(out, "tab");
    // Bytes of 0x80 and above are text, not control bytes.
    EXPECT_EQ(String_CopyUntilControl(out, "caf\xc3\xa9\x1f!"), 5);
    EXPECT_STREQ(out, "caf\xc3\xa9");
    Guarded h(3);
    EXPECT_EQ(String_CopyUntilControlLength(h.buf(), "abcdef", 3), 2);
    EXPECT_STREQ(h.buf(), "ab");
    EXPECT_TRUE(h.GuardIntact());
}

TEST(StringEdit, CaseAndReverse) {
    char s[] = "Hello, W\xc3\xa9rld 123";
    String_Upper(s);
    EXPECT_STREQ(s, "HELLO, W\xc3\xa9RLD 123");
    String_Lower(s);
    EXPECT_STREQ(s, "hello, w\xc3\xa9rld 123");
    char r[] = "abcde";
    String_Reverse(r);
    EXPECT_STREQ(r, "edcba");
    char even[] = "ab";
    String_Reverse(even);
    EXPECT_STREQ(even, "ba");
    char empty[] = "";
    EXPECT_EQ(String_Reverse(empty), 1);
    EXPECT_STREQ(empty, "");
}

TEST(StringEdit, TrimChar) {
    struct Case {
        int64_t (*fn)(char*, char);
        const char* in;
        const char* out;
    } cases[] = {
        {String_TrimLeftChar, "xxabcxx", "abcxx"}, {String_TrimRightChar, "xxabcxx", "xxabc"},
        {String_TrimChar, "xxabcxx", "abc"},       {String_TrimChar, "xxxx", ""},
        {String_TrimLeftChar, "xxxx", ""},         {String_TrimRightChar, "xxxx", ""},
        {String_TrimChar, "axa", "axa"},           {String_TrimChar, "", ""},
    };
    for (const Case& c : cases) {
        char s[32];
        std::strcpy(s, c.in);
        EXPECT_EQ(c.fn(s, 'x'), 1);
        EXPECT_STREQ(s, c.out) << c.in;
    }
    char s[] = "abc";
    String_TrimChar(s, 0);
    EXPECT_STREQ(s, "abc");
}

TEST(StringEdit, TrimChars) {
    struct Case {
        int64_t (*fn)(char*, const char*);
        const char* in;
        const char* set;
        const char* out;
    } cases[] = {
        {String_TrimRightChars, ",,,", ",", ""},       {String_TrimLeftChars, " ,a, ", " ,", "a, "},
        {String_TrimRightChars, " ,a, ", " ,", " ,a"}, {String_TrimChars, " ,a, ", " ,", "a"},
        {String_TrimChars, "abc", "", "abc"},          {String_TrimChars, "", "x", ""},
    };
    for (const Case& c : cases) {
        char s[32];
        std::strcpy(s, c.in);
        EXPECT_EQ(c.fn(s, c.set), 1);
        EXPECT_STREQ(s, c.out) << c.in;
    }
    char ws[] = " \tx \r\n";
    String_TrimWhitespace(ws);
    EXPECT_STREQ(ws, "x");
    char inner[] = "\t a b \n";
    String_TrimWhitespace(inner);
    EXPECT_STREQ(inner, "a b");
}

TEST(StringEdit, TrimRightCharsLength) {
    char s[] = "abc   def";
    int32_t kept = -1;
    // Only the first 6 bytes ("abc   ") are looked at.
    EXPECT_EQ(String_TrimRightCharsLength(s, " ", 6, &kept), 1);
    EXPECT_EQ(kept, 3);
    EXPECT_STREQ(s, "abc");

    char all[] = ",,,,";
    EXPECT_EQ(String_TrimRightCharsLength(all, ",", 4, &kept), 1);
    EXPECT_EQ(kept, 0);
    EXPECT_STREQ(all, "");

    char none[] = "abc";
    EXPECT_EQ(String_TrimRightCharsLength(none, ",", 3, &kept), 1);
    EXPECT_EQ(kept, 3);
    EXPECT_STREQ(none, "abc");

    EXPECT_EQ(String_TrimRightCharsLength(none, ",", 0, &kept), 1);
    EXPECT_EQ(kept, 0);
    EXPECT_EQ(String_TrimRightCharsLength(none, ",", -3, &kept), 1);
    EXPECT_EQ(kept, -3);
    EXPECT_EQ(String_TrimRightCharsLength(none, ",", 3, nullptr), 1);

    // A counted text with no room after it: nothing to trim means nothing is written past it.
    Guarded g(3);
    std::memcpy(g.buf(), "abc", 3);
    EXPECT_EQ(String_TrimRightCharsLength(g.buf(), " ", 3, &kept), 1);
    EXPECT_EQ(kept, 3);
    EXPECT_TRUE(g.GuardIntact());
}

TEST(StringEdit, StripAndStripChar) {
    char out[32];
    String_Strip(out, " a\tb\r\nc\x7f\x80\xff"
                      "d~!");
    EXPECT_STREQ(out, "abcd~!");
    char same[] = "x y z";
    String_Strip(same, same);
    EXPECT_STREQ(same, "xyz");

    char s[] = "a-b--c-";
    EXPECT_EQ(String_StripChar(s, '-'), 1);
    EXPECT_STREQ(s, "abc");
    char t[] = "abc";
    String_StripChar(t, 0);
    EXPECT_STREQ(t, "abc");
}

TEST(StringEdit, ShiftLeftAndRight) {
    char s[16] = "abcdef";
    EXPECT_EQ(String_ShiftLeft(s, 2), 1);
    EXPECT_STREQ(s, "cdef");
    EXPECT_EQ(String_ShiftLeft(s, 0), 1);
    EXPECT_EQ(String_ShiftLeft(s, -1), 1);
    EXPECT_STREQ(s, "cdef");
    EXPECT_EQ(String_ShiftLeft(s, 5), 0);
    EXPECT_STREQ(s, "cdef");
    EXPECT_EQ(String_ShiftLeft(s, 4), 1);
    EXPECT_STREQ(s, "");

    Guarded g(8);
    std::strcpy(g.buf(), "abcd");
    EXPECT_EQ(String_ShiftRight(g.buf(), 8, 3), 1);
    EXPECT_STREQ(g.buf(), "   abcd");
    EXPECT_TRUE(g.GuardIntact());
    // 7 + 1 would need 9 bytes.
    EXPECT_EQ(String_ShiftRight(g.buf(), 8, 1), 0);
    EXPECT_STREQ(g.buf(), "   abcd");
    EXPECT_EQ(String_ShiftRight(g.buf(), 8, 0), 1);
    EXPECT_STREQ(g.buf(), "   abcd");
    EXPECT_EQ(String_ShiftRight(g.buf(), 0, 1), 0);
    EXPECT_EQ(String_ShiftRight(g.buf(), 8, INT32_MAX), 0);
    EXPECT_TRUE(g.GuardIntact());
}

TEST(StringEdit, ReplaceChar) {
    char s[] = "a.b.c";
    EXPECT_EQ(String_ReplaceChar('.', '/', s), 1);
    EXPECT_STREQ(s, "a/b/c");
    String_ReplaceChar(0, 'x', s);
    EXPECT_STREQ(s, "a/b/c");
    char high[] = "\xe9t\xe9";
    String_ReplaceChar('\xe9', 'e', high);
    EXPECT_STREQ(high, "ete");
}

TEST(StringEdit, ReplaceLengthExHonoursEscape) {
    char s[16] = "a\\aa";
    EXPECT_EQ(String_ReplaceLengthEx("a", "bb", '\\', s, sizeof s), 1);
    EXPECT_STREQ(s, "bb\\abb");

    // Growth from 4 to 6 bytes needs a capacity of 7.
    char tight[6] = "a\\aa";
    EXPECT_EQ(String_ReplaceLengthEx("a", "bb", '\\', tight, sizeof tight), 0);
    // The first replacement (4 -> 5 bytes) fitted and stays.
    EXPECT_STREQ(tight, "bb\\aa");
}

TEST(StringEdit, ReplaceLength) {
    struct Case {
        const char* find;
        const char* replacement;
        const char* in;
        int32_t capacity;
        const char* out;
        int64_t result;
    } cases[] = {
        {"%20", " ", "a%20b%20c", 32, "a b c", 1},
        {"x", "xx", "xax", 32, "xxaxx", 1}, // inserted text is not rescanned
        {"ab", "", "abcabab", 32, "c", 1},
        {"{n}", "name", "{n}={n}", 32, "name=name", 1},
        {"{n}", "name", "{n}={n}", 10, "name=name", 1},
        {"{n}", "name", "{n}={n}", 9, "name={n}", 0},
        {"", "y", "abc", 32, "abc", 0},
        {"a", "b", "", 32, "", 0},
        {"q", "r", "abc", 32, "abc", 1},
    };
    for (const Case& c : cases) {
        Guarded g(c.capacity);
        std::strcpy(g.buf(), c.in);
        EXPECT_EQ(String_ReplaceLength(c.find, c.replacement, g.buf(), c.capacity), c.result) << c.in;
        EXPECT_STREQ(g.buf(), c.out) << c.in;
        EXPECT_TRUE(g.GuardIntact()) << c.in;
    }
}

TEST(StringEdit, ReplaceInsertedEscapeDoesNotProtect) {
    // The replacement ends with the escape byte; that inserted byte is not text of the
    // original and so does not protect the next occurrence.
    char s[16] = "aa";
    EXPECT_EQ(String_ReplaceLengthEx("a", "\\", '\\', s, sizeof s), 1);
    EXPECT_STREQ(s, "\\\\");
}

TEST(StringEdit, ReplaceOnUnterminatedBufferIsRefused) {
    Guarded g(4);
    std::memset(g.buf(), 'a', 4);
    EXPECT_EQ(String_ReplaceLength("a", "b", g.buf(), 4), 0);
    EXPECT_EQ(std::string(g.buf(), 4), "aaaa");
    EXPECT_TRUE(g.GuardIntact());
}

TEST(StringDeathTest, NullStringsAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char buf[8];
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_CopyLength(buf, nullptr, 8);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_CopyLength(nullptr, "a", 8);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_Copy(buf, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_CatLength(buf, nullptr, 8);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_Upper(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_TrimChars(buf, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_ReplaceLength("a", nullptr, buf, 8);
        },
        AbortRegex("Pointer is NULL\n"));
}
