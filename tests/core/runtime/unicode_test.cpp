// Tests of the UTF-8, 16-bit and 32-bit conversions: the lead-byte table, single characters,
// capacity handling of the string encoders and the decoder's treatment of malformed input.

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
}

} // namespace
