// Tests of the UTF-8, 16-bit, 32-bit and Windows-1252 conversions: the tables, single characters,
// capacity handling of the string encoders and decoders, the allocating forms and the decoder's
// treatment of malformed input.

#include "core/runtime/unicode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/abort_hook.h"

namespace {

std::string Bytes(const char* data, int32_t length) {
    return std::string(data, length);
}

const uint16_t* U(const char16_t* text) {
    return reinterpret_cast<const uint16_t*>(text);
}

constexpr uint16_t Guard16 = 0xBEEF;
constexpr uint32_t Guard32 = 0xDEADBEEF;

TEST(Unicode, LengthTableByLeadByte) {
    const struct {
        int32_t first, last, length;
    } ranges[] = {{0x00, 0x7F, 1}, {0x80, 0xBF, 1}, {0xC0, 0xDF, 2}, {0xE0, 0xEF, 3},
                  {0xF0, 0xF7, 4}, {0xF8, 0xFB, 5}, {0xFC, 0xFD, 6}, {0xFE, 0xFF, 1}};
    for (const auto& range : ranges) {
        for (int32_t byte = range.first; byte <= range.last; byte++) {
            ASSERT_EQ(Utf8LengthTable[byte], range.length) << byte;
            const char lead = static_cast<char>(byte);
            ASSERT_EQ(CharUtf8_Length(&lead), range.length);
        }
    }
    const uint8_t masks[] = {0x00, 0x7F, 0x1F, 0x0F, 0x07, 0x03, 0x01};
    for (int32_t i = 0; i < 7; i++) EXPECT_EQ(Utf8Mask[i], masks[i]);
}

TEST(Unicode, DecodesToSixteenBits) {
    const struct {
        const char* text;
        int64_t result;
        uint16_t unit;
        int32_t length;
    } cases[] = {
        {"\xC3\xA9", 1, 0x00E9, 2},
        {"A", 1, 0x0041, 1},
        {"\xE2\x82\xAC", 1, 0x20AC, 3},
        {"\xED\xA0\xBD", 1, 0xD83D, 3},     // a surrogate unit stands alone
        {"\xF0\x9F\x98\x80", 1, 0xFFFD, 4}, // beyond 16 bits: replaced, not cut to 0xF600
        {"\xA9", 1, 0xFFFD, 1},             // a stray continuation byte is no ')'
        {"\xFE", 1, 0xFFFD, 1},
        {"\xC0\xAF", 1, 0xFFFD, 2}, // overlong '/'
        {"\xC1\xBF", 1, 0xFFFD, 2},
        {"\xE0\x80\xAF", 1, 0xFFFD, 3},
        {"\xF0\x80\x80\xAF", 1, 0xFFFD, 4},
        {"\xC3\x41", 0, 0xFFFD, 1}, // invalid: ends a conversion before it
        {"\xE2\x82\x41", 0, 0xFFFD, 2},
        {"\xE2", 0, 0xFFFD, 1}, // cut by the terminator
        {"\xDF\xBF", 1, 0x07FF, 2},
        {"\xEF\xBF\xBF", 1, 0xFFFF, 3},
    };
    for (const auto& c : cases) {
        uint16_t unit = 0x1234;
        int32_t length = -1;
        EXPECT_EQ(CharUtf8_ConvertToUtf16(c.text, &unit, &length), c.result) << c.text;
        EXPECT_EQ(unit, c.unit) << c.text;
        EXPECT_EQ(length, c.length) << c.text;
    }
}

TEST(Unicode, DecodesToCodePoints) {
    const struct {
        const char* text;
        int32_t available;
        int64_t result;
        uint32_t codePoint;
        int32_t length;
    } cases[] = {
        {"\xF0\x9F\x98\x80", 4, 1, 0x1F600, 4},
        {"\xF4\x8F\xBF\xBF", 4, 1, 0x10FFFF, 4},
        {"\xF8\x88\x80\x80\x80", 5, 1, 0x200000, 5},
        {"\xFD\xBF\xBF\xBF\xBF\xBF", 6, 1, 0x7FFFFFFF, 6},
        {"\xFC\x84\x80\x80\x80\x80", 6, 1, 0x4000000, 6},
        {"\xFC\x83\xBF\xBF\xBF\xBF", 6, 1, 0xFFFD, 6}, // overlong six-byte form
        {"\xF8\x87\xBF\xBF\xBF", 5, 1, 0xFFFD, 5},     // overlong five-byte form
        {"\xC3\xA9", 1, 0, 0xFFFD, 1},                 // cut by the length
        {"\xF0\x9F\x98\x80", 3, 0, 0xFFFD, 3},
        {"x", 0, 0, 0xFFFD, 0},
        {"", 1, 1, 0, 1},
    };
    for (const auto& c : cases) {
        uint32_t codePoint = 1;
        int32_t length = -1;
        EXPECT_EQ(CharUtf8_ConvertToUtf32(c.text, c.available, &codePoint, &length), c.result) << c.text;
        EXPECT_EQ(codePoint, c.codePoint) << c.text;
        EXPECT_EQ(length, c.length) << c.text;
    }
}

TEST(Unicode, DecoderStopsAtTheEndOfTheBytes) {
    // Each cut sequence sits at the very end of an exact-size heap block: a read past the
    // terminator would be reported by the address sanitizer.
    const char* cuts[] = {"\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xFC\x84\x80\x80\x80"};
    for (const char* cut : cuts) {
        const size_t size = strlen(cut) + 1;
        char* block = static_cast<char*>(malloc(size));
        memcpy(block, cut, size);
        uint16_t unit = 0;
        int32_t length = 0;
        EXPECT_EQ(CharUtf8_ConvertToUtf16(block, &unit, &length), 0);
        EXPECT_EQ(length, static_cast<int32_t>(size - 1));
        uint32_t codePoint = 0;
        EXPECT_EQ(CharUtf8_ConvertToUtf32(block, 100, &codePoint, &length), 0);
        free(block);
    }
}

TEST(Unicode, EncodesCodePoints) {
    const struct {
        uint64_t codePoint;
        int32_t length;
        const char* bytes;
    } cases[] = {
        {0x00, 1, "\x00"},
        {0x7F, 1, "\x7F"},
        {0x80, 2, "\xC2\x80"},
        {0x7FF, 2, "\xDF\xBF"},
        {0x800, 3, "\xE0\xA0\x80"},
        {0xD83D, 3, "\xED\xA0\xBD"},
        {0xFFFF, 3, "\xEF\xBF\xBF"},
        {0x10000, 4, "\xF0\x90\x80\x80"},
        {0x1F600, 4, "\xF0\x9F\x98\x80"},
        {0x1FFFFF, 4, "\xF7\xBF\xBF\xBF"},
        {0x200000, 5, "\xF8\x88\x80\x80\x80"},
        {0x3FFFFFF, 5, "\xFB\xBF\xBF\xBF\xBF"},
        {0x4000000, 6, "\xFC\x84\x80\x80\x80\x80"},
        {0x7FFFFFFF, 6, "\xFD\xBF\xBF\xBF\xBF\xBF"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CharUtf64_LengthUtf8(c.codePoint), c.length);
        char target[8];
        memset(target, 0x55, sizeof(target));
        int32_t length = -1;
        EXPECT_EQ(CharUtf64_CopyToUtf8(c.codePoint, target, sizeof(target), &length), 1);
        ASSERT_EQ(length, c.length);
        EXPECT_EQ(Bytes(target, length), Bytes(c.bytes, c.length)) << c.codePoint;
        EXPECT_EQ(target[length], 0x55); // no terminator

        // One byte short: nothing written, length 0, still success.
        memset(target, 0x55, sizeof(target));
        EXPECT_EQ(CharUtf64_CopyToUtf8(c.codePoint, target, c.length - 1, &length), 1);
        EXPECT_EQ(length, 0);
        EXPECT_EQ(target[0], 0x55);
    }
    int32_t length = -1;
    char target[8];
    EXPECT_EQ(CharUtf64_LengthUtf8(0x80000000), 0);
    EXPECT_EQ(CharUtf64_CopyToUtf8(0x80000000, target, sizeof(target), &length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(CharUtf64_CopyToUtf8(UINT64_MAX, target, sizeof(target), &length), 0);
}

TEST(Unicode, EveryCodePointRoundTrips) {
    for (uint32_t codePoint = 0; codePoint <= 0x10FFFF; codePoint++) {
        char bytes[8];
        int32_t length = 0;
        ASSERT_EQ(CharUtf64_CopyToUtf8(codePoint, bytes, sizeof(bytes), &length), 1);
        uint32_t decoded = 0;
        int32_t used = 0;
        ASSERT_EQ(CharUtf8_ConvertToUtf32(bytes, length, &decoded, &used), 1);
        ASSERT_EQ(decoded, codePoint);
        ASSERT_EQ(used, length);
        if (codePoint != 0 && codePoint <= 0xFFFF) {
            bytes[length] = 0;
            uint16_t unit = 0;
            ASSERT_EQ(CharUtf8_ConvertToUtf16(bytes, &unit, &used), 1);
            ASSERT_EQ(unit, codePoint);
        }
    }
}

TEST(Unicode, SixteenBitToUtf8) {
    const uint16_t text[] = {0x41, 0x20AC, 0x42, 0};
    EXPECT_EQ(StringUtf16_Length(text), 3);
    EXPECT_EQ(StringUtf16_LengthUtf8(text), 5);
    const uint16_t empty[] = {0};
    EXPECT_EQ(StringUtf16_Length(empty), 0);
    EXPECT_EQ(StringUtf16_LengthUtf8(empty), 0);
    const uint16_t mixed[] = {0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0};
    EXPECT_EQ(StringUtf16_LengthUtf8(mixed), 1 + 2 + 2 + 3 + 3);

    // The euro sign does not fit beside the terminator in 4 bytes; B after it still does.
    char target[8];
    memset(target, 0x55, sizeof(target));
    EXPECT_EQ(StringUtf16_CopyLengthToUtf8(target, 4, text, 3), 2);
    EXPECT_STREQ(target, "AB");
    EXPECT_EQ(target[4], 0x55);
    memset(target, 0x55, sizeof(target));
    EXPECT_EQ(StringUtf16_CopyLengthToUtf8(target, 5, text, 3), 4);
    EXPECT_STREQ(target, "A\xE2\x82\xAC");
    EXPECT_EQ(target[5], 0x55);
    EXPECT_EQ(StringUtf16_CopyToUtf8(target, text, sizeof(target)), 5);
    EXPECT_STREQ(target, "A\xE2\x82\xAC"
                         "B");
    // The count limits the units read.
    EXPECT_EQ(StringUtf16_CopyLengthToUtf8(target, sizeof(target), text, 1), 1);
    EXPECT_STREQ(target, "A");
    EXPECT_EQ(StringUtf16_CopyLengthToUtf8(target, sizeof(target), text, -1), 0);
    EXPECT_STREQ(target, "");
    // Capacity 1 holds the terminator only; capacity 0 writes nothing.
    target[0] = 'x';
    EXPECT_EQ(StringUtf16_CopyToUtf8(target, text, 1), 0);
    EXPECT_EQ(target[0], 0);
    target[0] = 'x';
    EXPECT_EQ(StringUtf16_CopyToUtf8(target, text, 0), 0);
    EXPECT_EQ(target[0], 'x');
    // A surrogate unit is encoded on its own.
    const uint16_t surrogate[] = {0xD83D, 0};
    EXPECT_EQ(StringUtf16_CopyToUtf8(target, surrogate, sizeof(target)), 3);
    EXPECT_STREQ(target, "\xED\xA0\xBD");
}

TEST(Unicode, ThirtyTwoBitToUtf8) {
    const uint32_t text[] = {'a', 0xE9, 0x1F600, 0};
    EXPECT_EQ(StringUtf32_Length(text), 3);
    EXPECT_EQ(StringUtf32_LengthUtf8(text), 1 + 2 + 4);
    const uint32_t invalid[] = {'a', 0x80000000u, 'b', 0};
    EXPECT_EQ(StringUtf32_LengthUtf8(invalid), 0);

    char target[16];
    memset(target, 0x55, sizeof(target));
    // The terminating 0 is encoded too and counted.
    EXPECT_EQ(StringUtf32_CopyToUtf8(target, text, sizeof(target)), 8);
    EXPECT_EQ(Bytes(target, 9), Bytes("a\xC3\xA9\xF0\x9F\x98\x80\0\0", 9));
    // Sized for the text and its terminator only, the terminating 0 finds no room.
    EXPECT_EQ(StringUtf32_CopyToUtf8(target, text, 8), 7);
    EXPECT_STREQ(target, "a\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(StringUtf32_CopyLengthToUtf8(target, sizeof(target), text, 2), 3);
    EXPECT_STREQ(target, "a\xC3\xA9");
    // Room for a but not for the next: later shorter units still fit.
    const uint32_t wideThenNarrow[] = {0x1F600, 'z', 0};
    EXPECT_EQ(StringUtf32_CopyLengthToUtf8(target, 3, wideThenNarrow, 2), 1);
    EXPECT_STREQ(target, "z");
    // A unit without a UTF-8 form ends the walk.
    EXPECT_EQ(StringUtf32_CopyLengthToUtf8(target, sizeof(target), invalid, 3), 1);
    EXPECT_STREQ(target, "a");
}

TEST(Unicode, Utf8CharacterCount) {
    const struct {
        const char* text;
        int32_t count;
    } cases[] = {
        {"", 0},
        {"abc", 3},
        {"\xC3\xA9t\xC3\xA9", 3},
        {"\xF0\x9F\x98\x80", 1},
        {"\xA9\xA9", 2}, // stray continuation bytes count one each
        {"\xFE\xFF", 2},
        {"\xE2\x82", 1}, // cut at the end: never stepped past the terminator
        {"\xE2"
         "a",
         2}, // cut by a letter: the letter still counts
        {"\xFC\x84\x80\x80\x80\x80", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(StringUtf8_Length(c.text), c.count) << c.text;
}

TEST(Unicode, StrictUtf8PrefixLength) {
    const struct {
        std::string text;
        int32_t valid;
    } cases[] = {
        {"", 0},
        {"abc", 3},
        {std::string("a\0b", 3), 3}, // NUL is a character here, not an end
        {"\xC3\xA9t\xC3\xA9", 5},
        {"\xE2\x82\xAC", 3},         // U+20AC
        {"\xED\x9F\xBF", 3},         // U+D7FF, just below the surrogates
        {"\xEE\x80\x80", 3},         // U+E000, just above them
        {"\xF0\x90\x80\x80", 4},     // U+10000
        {"\xF4\x8F\xBF\xBF", 4},     // U+10FFFF
        {"ab\xC0\x80", 2},           // overlong NUL
        {"\xC1\xBF", 0},             // overlong two-byte form
        {"a\xE0\x9F\xBF", 1},        // overlong three-byte form
        {"\xF0\x8F\xBF\xBF", 0},     // overlong four-byte form
        {"ab\xED\xA0\x80", 2},       // high surrogate
        {"\xED\xBF\xBF", 0},         // low surrogate
        {"x\xF4\x90\x80\x80", 1},    // above U+10FFFF
        {"\xF5\x80\x80\x80", 0},     // lead byte of nothing
        {"\xF8\x88\x80\x80\x80", 0}, // the five-byte form is not strict UTF-8
        {"a\x80", 1},                // stray continuation byte
        {"\xFE", 0},
        {"abc\xE2\x82", 3},          // cut by the end
        {"\xE2\x61\xAC", 0},         // cut by a letter ('a')
        {"\xC3\xA9\xF0\x9F\x98", 2}, // four-byte form cut by the end
    };
    for (const auto& c : cases)
        EXPECT_EQ(StringUtf8_ValidLength(c.text.data(), (int32_t)c.text.size()), c.valid) << c.text;
    // Only `length` bytes are read: the cut is seen at the given end, not at a later terminator.
    EXPECT_EQ(StringUtf8_ValidLength("\xE2\x82\xAC", 2), 0);
    EXPECT_EQ(StringUtf8_ValidLength("ab\xE2\x82\xAC", 5), 5);
    EXPECT_EQ(StringUtf8_ValidLength("ab", 0), 0);
    EXPECT_EQ(StringUtf8_ValidLength("ab", -3), 0);
    EXPECT_EQ(StringUtf8_ValidLength(nullptr, 0), 0);
}

TEST(Unicode, Utf8ToSixteenBitsCapacity) {
    // abc into 4 units: terminated; into 3: all three, no terminator; into 2: ab, unterminated;
    // into 1: a alone, unterminated.
    const struct {
        int32_t capacity;
        int32_t result;
        std::u16string expected; // units written, terminator included when there is one
    } cases[] = {
        {4, 3, std::u16string(u"abc", 4)},
        {3, 3, u"abc"},
        {2, 2, u"ab"},
        {1, 1, u"a"},
    };
    for (const auto& c : cases) {
        uint16_t target[8];
        for (auto& unit : target) unit = Guard16;
        EXPECT_EQ(StringUtf8_CopyToUtf16(target, "abc", c.capacity), c.result) << c.capacity;
        for (size_t i = 0; i < c.expected.size(); i++) EXPECT_EQ(target[i], c.expected[i]) << c.capacity;
        for (size_t i = c.expected.size(); i < 8; i++)
            EXPECT_EQ(target[i], Guard16) << c.capacity << " " << i;
    }
    // Capacity 0 writes nothing at all.
    uint16_t target[2] = {Guard16, Guard16};
    EXPECT_EQ(StringUtf8_CopyToUtf16(target, "abc", 0), 0);
    EXPECT_EQ(target[0], Guard16);
    EXPECT_EQ(StringUtf8_CopyToUtf16(target, "", 2), 0);
    EXPECT_EQ(target[0], 0);
    EXPECT_EQ(target[1], Guard16);
}

TEST(Unicode, Utf8ToSixteenBitsContent) {
    const struct {
        const char* text;
        int32_t result;
        std::u16string expected; // the terminated result
    } cases[] = {
        {"\xC3\xA9", 1, u"\u00E9"},
        {"a\xE2\x82\xAC"
         "b",
         3,
         u"a\u20AC"
         "b"},
        {"\xF0\x9F\x98\x80!", 2, u"\uFFFD!"}, // beyond 16 bits: U+FFFD, not U+F600
        {"\xA9x", 2, u"\uFFFDx"},             // a stray continuation byte is not ')'
        {"\xC0\xAF", 1, u"\uFFFD"},           // overlong '/' is not '/'
        {"\xE0\x80\xAE\xE0\x80\xAE", 2, u"\uFFFD\uFFFD"},
        {"\xFE\xFF", 2, u"\uFFFD\uFFFD"},
        {"\xED\xA0\xBD", 1, u"\xD83D"}, // a surrogate unit stands alone
        {"ab\xC3"
         "Acd",
         2, u"ab"},               // a broken sequence ends the text before it
        {"ab\xE2\x82", 2, u"ab"}, // so does one cut by the terminator
    };
    for (const auto& c : cases) {
        uint16_t target[16];
        for (auto& unit : target) unit = Guard16;
        EXPECT_EQ(StringUtf8_CopyToUtf16(target, c.text, 16), c.result) << c.text;
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(target)), c.expected) << c.text;
    }
}

TEST(Unicode, Utf8ToUnitsByLastIndex) {
    uint16_t target[8];
    for (auto& unit : target) unit = Guard16;
    // The last index bounds the bytes read: "\xC3\xA9" at indexes 1-2 is taken whole.
    EXPECT_EQ(StringUtf8_CopyLengthToUtf16(target, 8, "a\xC3\xA9zz", 2), 2);
    EXPECT_EQ(target[0], 'a');
    EXPECT_EQ(target[1], 0xE9);
    EXPECT_EQ(target[2], 0);
    EXPECT_EQ(target[3], Guard16);
    // A sequence cut by the last index is broken: the text ends before it.
    EXPECT_EQ(StringUtf8_CopyLengthToUtf16(target, 8, "a\xC3\xA9zz", 1), 1);
    EXPECT_EQ(target[1], 0);
    // A negative last index gives the empty text.
    target[0] = Guard16;
    EXPECT_EQ(StringUtf8_CopyLengthToUtf16(target, 8, "abc", -1), 0);
    EXPECT_EQ(target[0], 0);
    // Counted text may hold a NUL; it is a character like any other.
    EXPECT_EQ(StringUtf8_CopyLengthToUtf16(target, 8, "a\0b", 2), 3);
    EXPECT_EQ(target[1], 0);
    EXPECT_EQ(target[2], 'b');
    EXPECT_EQ(target[3], 0);

    // The source is read no further than its last index even without a terminator there.
    char* exact = static_cast<char*>(malloc(3));
    memcpy(exact, "\xE2\x82\xAC", 3);
    for (auto& unit : target) unit = Guard16;
    EXPECT_EQ(StringUtf8_CopyLengthToUtf16(target, 8, exact, 2), 1);
    EXPECT_EQ(target[0], 0x20AC);
    EXPECT_EQ(target[1], 0);
    memcpy(exact, "\xF0\x9F\x98", 3); // a four-byte lead cut by the end of the block
    EXPECT_EQ(StringUtf8_CopyLengthToUtf16(target, 8, exact, 2), 0);
    EXPECT_EQ(target[0], 0);
    free(exact);
}

TEST(Unicode, Utf8ToThirtyTwoBits) {
    uint32_t target[8];
    for (auto& unit : target) unit = Guard32;
    // 32-bit units hold whole code points; the malformed forms are replaced as in 16 bits.
    EXPECT_EQ(StringUtf8_CopyToUtf32(target, "\xF0\x9F\x98\x80\xC0\xAF\xA9\xFD\xBF\xBF\xBF\xBF\xBF", 8), 4);
    EXPECT_EQ(target[0], 0x1F600u);
    EXPECT_EQ(target[1], 0xFFFDu);
    EXPECT_EQ(target[2], 0xFFFDu);
    EXPECT_EQ(target[3], 0x7FFFFFFFu);
    EXPECT_EQ(target[4], 0u);
    EXPECT_EQ(target[5], Guard32);
    // Same capacity rule: a full capacity has no terminator.
    for (auto& unit : target) unit = Guard32;
    EXPECT_EQ(StringUtf8_CopyToUtf32(target, "xyz", 3), 3);
    EXPECT_EQ(target[2], static_cast<uint32_t>('z'));
    EXPECT_EQ(target[3], Guard32);
    EXPECT_EQ(StringUtf8_CopyLengthToUtf32(target, 2, "xyz", 2), 2);
    EXPECT_EQ(target[2], static_cast<uint32_t>('z'));
    EXPECT_EQ(StringUtf8_CopyToUtf32(target, "x\xC3", 8), 1);
    EXPECT_EQ(target[1], 0u);
}

TEST(Unicode, CreateFromUtf8) {
    uint16_t* text16 = reinterpret_cast<uint16_t*>(1);
    ASSERT_EQ(StringUtf8_CreateUtf16("h\xC3\xA9llo \xF0\x9F\x98\x80", &text16), 1);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(text16)), u"h\u00E9llo \uFFFD");
    EXPECT_EQ(StringUtf8_DeleteUtf16(&text16), 1);
    EXPECT_EQ(text16, nullptr);
    EXPECT_EQ(StringUtf8_DeleteUtf16(&text16), 1); // a null pointer is accepted

    // The Length form is always terminated, even when the text is longer than the capacity.
    ASSERT_EQ(StringUtf8_CreateUtf16Length("abcdef", 3, &text16), 1);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(text16)), u"ab");
    StringUtf8_DeleteUtf16(&text16);
    ASSERT_EQ(StringUtf8_CreateUtf16Length("abcdef", 1, &text16), 1);
    EXPECT_EQ(text16[0], 0);
    StringUtf8_DeleteUtf16(&text16);
    text16 = reinterpret_cast<uint16_t*>(1);
    EXPECT_EQ(StringUtf8_CreateUtf16Length("abc", 0, &text16), 0);
    EXPECT_EQ(text16, nullptr);
    ASSERT_EQ(StringUtf8_CreateUtf16("", &text16), 1);
    EXPECT_EQ(text16[0], 0);
    StringUtf8_DeleteUtf16(&text16);

    uint32_t* wide = nullptr;
    ASSERT_EQ(StringUtf8_CreateWide("a\xF0\x9F\x98\x80", &wide), 1);
    EXPECT_EQ(wide[0], static_cast<uint32_t>('a'));
    EXPECT_EQ(wide[1], 0x1F600u);
    EXPECT_EQ(wide[2], 0u);
    EXPECT_EQ(StringUtf8_DeleteWide(&wide), 1);
    EXPECT_EQ(wide, nullptr);
    ASSERT_EQ(StringUtf8_CreateWideLength("abc", 2, &wide), 1);
    EXPECT_EQ(wide[0], static_cast<uint32_t>('a'));
    EXPECT_EQ(wide[1], 0u);
    StringUtf8_DeleteWide(&wide);
}

TEST(Unicode, CreateUtf8FromWideText) {
    char* text = reinterpret_cast<char*>(1);
    ASSERT_EQ(StringUtf16_CreateUtf8(U(u"a\u20AC\u00E9"), &text), 1);
    EXPECT_STREQ(text, "a\xE2\x82\xAC\xC3\xA9");
    EXPECT_EQ(StringUtf16_DeleteUtf8(&text), 1);
    EXPECT_EQ(text, nullptr);
    ASSERT_EQ(StringUtf16_CreateUtf8Length(U(u"abc"), 3, &text), 1);
    EXPECT_STREQ(text, "ab");
    StringUtf16_DeleteUtf8(&text);
    EXPECT_EQ(StringUtf16_CreateUtf8Length(U(u"abc"), 0, &text), 0);
    EXPECT_EQ(text, nullptr);

    const uint32_t wide[] = {'x', 0x1F600, 0};
    ASSERT_EQ(WideString_CreateUtf8(wide, &text), 1);
    EXPECT_STREQ(text, "x\xF0\x9F\x98\x80");
    EXPECT_EQ(WideString_DeleteUtf8(&text), 1);
    EXPECT_EQ(text, nullptr);
    ASSERT_EQ(WideString_CreateUtf8Length(wide, 4, &text), 1);
    EXPECT_STREQ(text, "x");
    WideString_DeleteUtf8(&text);

    uint32_t* units = reinterpret_cast<uint32_t*>(1);
    ASSERT_EQ(WideString_CreateLength(3, &units), 1);
    EXPECT_EQ(units[0] | units[1] | units[2], 0u);
    EXPECT_EQ(WideString_DeleteLength(&units), 1);
    EXPECT_EQ(units, nullptr);
    EXPECT_EQ(WideString_CreateLength(0, &units), 0);
    EXPECT_EQ(units, nullptr);
    EXPECT_EQ(WideString_DeleteLength(&units), 1);
}

TEST(Unicode, ByteSwappedSixteenBitToUtf8) {
    // 0x41 0x20AC 0xD83D stored big-endian.
    const uint16_t swapped[] = {0x4100, 0xAC20, 0x3DD8, 0};
    char target[16];
    memset(target, 0x55, sizeof(target));
    EXPECT_EQ(StringUtf16_ESCopyLengthToUtf8(target, sizeof(target), swapped, 3), 7);
    EXPECT_EQ(Bytes(target, 8), Bytes("A\xE2\x82\xAC\xED\xA0\xBD\0", 8));
    EXPECT_EQ(target[8], 0x55);
    EXPECT_EQ(StringUtf16_ESCopyLengthToUtf8(target, 4, swapped, 3), 1);
    EXPECT_STREQ(target, "A");
}

TEST(Unicode, ThirtyTwoBitToSixteenBits) {
    const uint32_t text[] = {'a', 0xE9, 0x1F600, 0x80000000u, 0};
    uint16_t target[8];
    for (auto& unit : target) unit = Guard16;
    EXPECT_EQ(StringUtf32_CopyToUtf16(target, text, 8), 4);
    // Beyond 16 bits: U+FFFD rather than the low 16 bits (0xF600 would be another character).
    const uint16_t expected[] = {'a', 0xE9, 0xFFFD, 0xFFFD, 0, Guard16};
    for (int32_t i = 0; i < 6; i++) EXPECT_EQ(target[i], expected[i]) << i;
    for (auto& unit : target) unit = Guard16;
    EXPECT_EQ(StringUtf32_CopyToUtf16(target, text, 4), 4); // full: no terminator
    EXPECT_EQ(target[4], Guard16);
    EXPECT_EQ(StringUtf32_CopyLengthToUtf16(target, 8, text, 0), 1);
    EXPECT_EQ(target[1], 0);
    target[0] = Guard16;
    EXPECT_EQ(StringUtf32_CopyLengthToUtf16(target, 8, text, -1), 0);
    EXPECT_EQ(target[0], 0);
    target[0] = Guard16;
    EXPECT_EQ(StringUtf32_CopyLengthToUtf16(target, 0, text, 3), 0);
    EXPECT_EQ(target[0], Guard16);
}

TEST(Unicode, AnsiTable) {
    const uint16_t expected[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                   0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                   0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                   0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    for (int32_t i = 0; i < 32; i++) EXPECT_EQ(Ansi80Utf16Table[i], expected[i]) << i;
}

TEST(Unicode, AnsiCharacters) {
    const struct {
        uint8_t byte;
        const char* utf8;
    } cases[] = {
        {0x41, "A"},        {0x80, "\xE2\x82\xAC"}, {0x81, "\xC2\x81"},
        {0x8D, "\xC2\x8D"}, {0x8F, "\xC2\x8F"},     {0x90, "\xC2\x90"},
        {0x9D, "\xC2\x9D"}, {0x9F, "\xC5\xB8"},     {0x99, "\xE2\x84\xA2"},
        {0xA0, "\xC2\xA0"}, {0xE9, "\xC3\xA9"},     {0xFF, "\xC3\xBF"},
    };
    for (const auto& c : cases) {
        const int32_t size = static_cast<int32_t>(strlen(c.utf8));
        EXPECT_EQ(CharAnsi_LengthUtf8(c.byte), size) << int(c.byte);
        char target[4];
        int32_t length = -1;
        EXPECT_EQ(CharAnsi_CopyToUtf8(c.byte, target, sizeof(target), &length), 1);
        ASSERT_EQ(length, size);
        EXPECT_EQ(Bytes(target, length), c.utf8);
        // Too small: nothing written, length 0, still 1.
        EXPECT_EQ(CharAnsi_CopyToUtf8(c.byte, target, size - 1, &length), 1);
        EXPECT_EQ(length, 0);
    }
}

TEST(Unicode, AnsiText) {
    const char* text = "caf\xE9 \x80"
                       "5";
    EXPECT_EQ(StringAnsi_LengthUtf8(text), 3 + 2 + 1 + 3 + 1);
    EXPECT_EQ(StringAnsi_LengthUtf8(""), 0);
    char target[16];
    memset(target, 0x55, sizeof(target));
    EXPECT_EQ(StringAnsi_CopyToUtf8(target, text, sizeof(target)), 10);
    EXPECT_STREQ(target, "caf\xC3\xA9 \xE2\x82\xAC"
                         "5");
    // The euro sign does not fit beside the terminator; the 5 after it does.
    memset(target, 0x55, sizeof(target));
    EXPECT_EQ(StringAnsi_CopyToUtf8(target, text, 9), 7);
    EXPECT_STREQ(target, "caf\xC3\xA9 5");
    EXPECT_EQ(target[9], 0x55);
    EXPECT_EQ(StringAnsi_CopyLengthToUtf8(target, sizeof(target), text, 3), 3);
    EXPECT_STREQ(target, "caf");

    char* created = nullptr;
    ASSERT_EQ(StringAnsi_CreateUtf8(text, &created), 1);
    EXPECT_STREQ(created, "caf\xC3\xA9 \xE2\x82\xAC"
                          "5");
    EXPECT_EQ(StringAnsi_DeleteUtf8(&created), 1);
    EXPECT_EQ(created, nullptr);
    ASSERT_EQ(StringAnsi_CreateUtf8("", &created), 1);
    EXPECT_STREQ(created, "");
    StringAnsi_DeleteUtf8(&created);
    ASSERT_EQ(StringAnsi_CreateUtf8Length(text, 4, &created), 1);
    EXPECT_STREQ(created, "caf");
    StringAnsi_DeleteUtf8(&created);
}

TEST(Unicode, ToUtf8CapacityBoundaries) {
    // Every capacity from 0 to past the whole text: nothing is written beyond the capacity and the
    // text is always terminated (capacity >= 1).
    const uint16_t text[] = {'a', 0xE9, 0x20AC, 'b', 0};
    const std::string full = "a\xC3\xA9\xE2\x82\xAC"
                             "b";
    for (int32_t capacity = 0; capacity <= 10; capacity++) {
        char target[16];
        memset(target, 0x55, sizeof(target));
        const int32_t result = StringUtf16_CopyToUtf8(target, text, capacity);
        for (int32_t i = capacity; i < 16; i++) ASSERT_EQ(target[i], 0x55) << capacity;
        if (capacity == 0) {
            EXPECT_EQ(result, 0);
            continue;
        }
        ASSERT_LT(result, capacity);
        EXPECT_EQ(target[result], 0);
        EXPECT_EQ(static_cast<int32_t>(strlen(target)), result);
    }
    char target[16];
    EXPECT_EQ(StringUtf16_CopyToUtf8(target, text, 9), 7);
    EXPECT_EQ(std::string(target), full);
    EXPECT_EQ(StringUtf16_CopyToUtf8(target, text, 8), 7);
    EXPECT_EQ(std::string(target), full);
    // Seven bytes: a, e-acute and the euro sign take 6 and leave no room for b.
    EXPECT_EQ(StringUtf16_CopyToUtf8(target, text, 7), 6);
    EXPECT_EQ(std::string(target), "a\xC3\xA9\xE2\x82\xAC");
}

TEST(UnicodeDeathTest, NullArguments) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char target[4];
    const uint16_t text16[] = {0};
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringUtf16_CopyToUtf8(nullptr, text16, 4);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringUtf16_CopyToUtf8(target, nullptr, 4);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringUtf32_Length(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringUtf8_ValidLength(nullptr, 1);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            uint16_t unit;
            int32_t length;
            CharUtf8_ConvertToUtf16(nullptr, &unit, &length);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            int32_t length;
            CharUtf64_CopyToUtf8('a', nullptr, 4, &length);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            uint16_t units[4];
            StringUtf8_CopyToUtf16(units, nullptr, 4);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringUtf8_CopyLengthToUtf32(nullptr, 4, "abc", 2);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringUtf8_CreateUtf16("abc", nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringAnsi_DeleteUtf8(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_CopyToUtf16(nullptr, "abc", 4);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringAnsi_CopyToUtf8(target, nullptr, 4);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace
