// Tests of the UTF-8, 16-bit, 32-bit and Windows-1252 conversions: single characters, capacity
// handling of the string encoders and decoders, the allocating forms and the decoder's treatment
// of malformed input.

#include "core/runtime/unicode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tests/support/text_cases.h"

namespace {

using std::string;
using std::u16string;

// A copy of the bytes at the very end of an exact-size heap block: a read past them is reported
// by the address sanitizer.
std::unique_ptr<char[]> Exact(const string& bytes) {
    std::unique_ptr<char[]> block(new char[bytes.size()]);
    memcpy(block.get(), bytes.data(), bytes.size());
    return block;
}

TEST(Unicode, SequenceLengthByLeadByte) {
    // The six-byte form of UTF-8: 0xFE, 0xFF and stray continuation bytes stand alone.
    const int32_t lengths[] = {0x7F, 1, 0xBF, 1, 0xDF, 2, 0xEF, 3, 0xF7, 4, 0xFB, 5, 0xFD, 6, 0xFF, 1};
    for (int32_t byte = 0, row = 0; byte <= 0xFF; byte++) {
        if (byte > lengths[row]) row += 2;
        const char lead = static_cast<char>(byte);
        ASSERT_EQ(CharUtf8_Length(&lead), lengths[row + 1]) << byte;
    }
}

TEST(Unicode, DecodesSingleCharacters) {
    // `available` bounds the code-point form; the rows with 6 are also read by the 16-bit form.
    const struct { string text; int32_t available; int64_t result; uint32_t codePoint; int32_t length; } cases[] = {
        {"A", 6, 1, 'A', 1}, {"\xC3\xA9", 6, 1, 0xE9, 2}, {"\xE2\x82\xAC", 6, 1, 0x20AC, 3},
        {"\xDF\xBF", 6, 1, 0x7FF, 2}, {"\xEF\xBF\xBF", 6, 1, 0xFFFF, 3},
        {"\xED\xA0\xBD", 6, 1, 0xD83D, 3}, // a surrogate unit stands alone
        {"\xA9", 6, 1, 0xFFFD, 1}, // a stray continuation byte is no ')'
        {"\xFE", 6, 1, 0xFFFD, 1}, {"\xC0\xAF", 6, 1, 0xFFFD, 2}, // overlong '/': never the character it imitates
        {"\xC1\xBF", 6, 1, 0xFFFD, 2}, {"\xE0\x80\xAF", 6, 1, 0xFFFD, 3}, {"\xF0\x80\x80\xAF", 6, 1, 0xFFFD, 4},
        {"\xF8\x87\xBF\xBF\xBF", 6, 1, 0xFFFD, 5}, {"\xFC\x83\xBF\xBF\xBF\xBF", 6, 1, 0xFFFD, 6},
        {"\xC3\x41", 6, 0, 0xFFFD, 1}, // broken: the length before the byte that broke it
        {"\xE2\x82\x41", 6, 0, 0xFFFD, 2}, {"\xE2", 6, 0, 0xFFFD, 1}, // the second cut by the terminator
        {"\xF0\x9F\x98\x80", 4, 1, 0x1F600, 4}, {"\xF4\x8F\xBF\xBF", 4, 1, 0x10FFFF, 4},
        {"\xF8\x88\x80\x80\x80", 5, 1, 0x200000, 5}, {"\xFC\x84\x80\x80\x80\x80", 6, 1, 0x4000000, 6},
        {"\xFD\xBF\xBF\xBF\xBF\xBF", 6, 1, 0x7FFFFFFF, 6}, {"\xC3\xA9", 1, 0, 0xFFFD, 1},
        {"\xF0\x9F\x98\x80", 3, 0, 0xFFFD, 3}, // cut by the length
        {"x", 0, 0, 0xFFFD, 0}, {"", 1, 1, 0, 1},
    };
    for (const auto& c : cases) {
        uint32_t codePoint = 1;
        int32_t length = -1;
        EXPECT_EQ(CharUtf8_ConvertToUtf32(c.text.c_str(), c.available, &codePoint, &length), c.result) << c.text;
        EXPECT_EQ(codePoint, c.codePoint) << c.text;
        EXPECT_EQ(length, c.length) << c.text;
        if (c.available != 6) continue;
        // The 16-bit form: beyond 16 bits U+FFFD, never the low bits (0xF600 would be another character).
        uint16_t unit = 0x1234;
        length = -1;
        EXPECT_EQ(CharUtf8_ConvertToUtf16(c.text.c_str(), &unit, &length), c.result) << c.text;
        EXPECT_EQ(unit, c.codePoint > 0xFFFF ? 0xFFFD : c.codePoint) << c.text;
        EXPECT_EQ(length, c.length) << c.text;
    }
    uint16_t unit = 0;
    int32_t length = 0;
    EXPECT_EQ(CharUtf8_ConvertToUtf16("\xF0\x9F\x98\x80", &unit, &length), 1);
    EXPECT_EQ(unit, 0xFFFD);
    // A cut sequence ending an exact-size block (its terminator included) is not read past.
    for (const string cut : {"\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xFC\x84\x80\x80\x80"}) {
        const auto block = Exact(cut + '\0');
        EXPECT_EQ(CharUtf8_ConvertToUtf16(block.get(), &unit, &length), 0);
        EXPECT_EQ(length, static_cast<int32_t>(cut.size()));
        uint32_t codePoint = 0;
        EXPECT_EQ(CharUtf8_ConvertToUtf32(block.get(), 100, &codePoint, &length), 0);
    }
}

TEST(Unicode, EncodesCodePoints) {
    const struct { uint64_t codePoint; string bytes; } cases[] = {
        {0x00, string(1, '\0')}, {0x7F, "\x7F"}, {0x80, "\xC2\x80"}, {0x7FF, "\xDF\xBF"}, {0x800, "\xE0\xA0\x80"},
        {0xD83D, "\xED\xA0\xBD"}, {0xFFFF, "\xEF\xBF\xBF"}, {0x10000, "\xF0\x90\x80\x80"},
        {0x1F600, "\xF0\x9F\x98\x80"}, {0x1FFFFF, "\xF7\xBF\xBF\xBF"}, {0x200000, "\xF8\x88\x80\x80\x80"},
        {0x3FFFFFF, "\xFB\xBF\xBF\xBF\xBF"}, {0x4000000, "\xFC\x84\x80\x80\x80\x80"},
        {0x7FFFFFFF, "\xFD\xBF\xBF\xBF\xBF\xBF"}, {0x80000000, ""}, {UINT64_MAX, ""}, // no UTF-8 form: result 0
    };
    for (const auto& c : cases) {
        const int32_t size = static_cast<int32_t>(c.bytes.size());
        EXPECT_EQ(CharUtf64_LengthUtf8(c.codePoint), size) << c.codePoint;
        // Written without a terminator when it fits whole; one byte short: nothing, length 0, still 1.
        for (int32_t capacity : {8, size - 1}) {
            Guarded<char> target(capacity);
            int32_t length = -1;
            EXPECT_EQ(CharUtf64_CopyToUtf8(c.codePoint, target, capacity, &length), size > 0 ? 1 : 0);
            const int32_t written = capacity >= size ? size : 0;
            EXPECT_EQ(length, written) << c.codePoint;
            EXPECT_EQ(string(target.data(), written), c.bytes.substr(0, written)) << c.codePoint;
            EXPECT_TRUE(target.Untouched(written)) << c.codePoint;
        }
    }
}

TEST(Unicode, EveryCodePointRoundTrips) {
    for (uint32_t codePoint = 0; codePoint <= 0x10FFFF; codePoint++) {
        char bytes[8];
        int32_t length = 0, used = 0;
        uint32_t decoded = 0;
        ASSERT_EQ(CharUtf64_CopyToUtf8(codePoint, bytes, sizeof(bytes), &length), 1);
        ASSERT_EQ(CharUtf8_ConvertToUtf32(bytes, length, &decoded, &used), 1);
        ASSERT_EQ(decoded, codePoint);
        ASSERT_EQ(used, length);
        if (codePoint == 0 || codePoint > 0xFFFF) continue;
        bytes[length] = 0;
        uint16_t unit = 0;
        ASSERT_EQ(CharUtf8_ConvertToUtf16(bytes, &unit, &used), 1);
        ASSERT_EQ(unit, codePoint);
    }
}

TEST(Unicode, Utf8Lengths) {
    // `characters`: StringUtf8_Length; `valid`: StringUtf8_ValidLength of the whole text.
    const struct { string text; int32_t characters, valid; } cases[] = {
        {"", 0, 0}, {"abc", 3, 3}, {string("a\0b", 3), 1, 3}, // NUL: a character to the strict count
        {"\xC3\xA9t\xC3\xA9", 3, 5}, {"\xE2\x82\xAC", 1, 3}, {"\xED\x9F\xBF", 1, 3}, // U+D7FF
        {"\xEE\x80\x80", 1, 3}, {"\xF0\x90\x80\x80", 1, 4}, {"\xF4\x8F\xBF\xBF", 1, 4}, // U+10FFFF
        {"ab\xC0\x80", 3, 2}, {"\xC1\xBF", 1, 0}, {"a\xE0\x9F\xBF", 2, 1}, // overlong forms
        {"\xF0\x8F\xBF\xBF", 1, 0}, {"ab\xED\xA0\x80", 3, 2}, {"\xED\xBF\xBF", 1, 0}, // surrogates
        {"x\xF4\x90\x80\x80", 2, 1}, {"\xF5\x80\x80\x80", 1, 0}, // above U+10FFFF
        {"\xF8\x88\x80\x80\x80", 1, 0}, {"\xFC\x84\x80\x80\x80\x80", 1, 0}, // the longer forms are not strict
        {"a\x80", 2, 1}, {"\xA9\xA9", 2, 0}, {"\xFE\xFF", 2, 0}, // stray bytes count one each
        {"abc\xE2\x82", 4, 3}, {"\xC3\xA9\xF0\x9F\x98", 2, 2}, // cut by the end
        {"\xE2\x61\xAC", 3, 0}, {"\xE2" "a", 2, 0}, // cut by a letter, which still counts
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StringUtf8_Length(c.text.c_str()), c.characters) << c.text;
        EXPECT_EQ(StringUtf8_ValidLength(c.text.data(), static_cast<int32_t>(c.text.size())), c.valid) << c.text;
    }
    // Only `length` bytes are read: the cut is seen at the given end, not at a later terminator.
    EXPECT_EQ(StringUtf8_ValidLength(Exact("\xE2\x82").get(), 2), 0);
    // Cut by the length where the byte after it would complete the sequence: still a cut.
    const struct { const char* text; int32_t length, valid; } cuts[] = {
        {"ab\xE2\x82\xAC", 4, 2}, {"\xC3\xA9", 1, 0}, {"x\xF0\x9F\x98\x80", 4, 1}, {"x\xF0\x9F\x98\x80", 2, 1},
    };
    for (const auto& c : cuts) EXPECT_EQ(StringUtf8_ValidLength(c.text, c.length), c.valid) << c.text << " " << c.length;
    EXPECT_EQ(StringUtf8_ValidLength("ab\xE2\x82\xAC", 5), 5);
    EXPECT_EQ(StringUtf8_ValidLength("ab", 0), 0);
    EXPECT_EQ(StringUtf8_ValidLength("ab", -3), 0);
    EXPECT_EQ(StringUtf8_ValidLength(nullptr, 0), 0); // nothing is read when length < 1
}

TEST(Unicode, Utf8ToUnits) {
    // lastIndex -2: the terminated form (StringUtf8_CopyToUtf16). `units` are those written, the
    // terminator included when there is one: a conversion that fills the capacity has none.
    const struct { string source; int32_t lastIndex, capacity, result; u16string units; } cases[] = {
        {"abc", -2, 4, 3, u16string(u"abc", 4)}, {"abc", -2, 3, 3, u"abc"}, {"abc", -2, 2, 2, u"ab"},
        {"abc", -2, 1, 1, u"a"}, {"abc", -2, 0, 0, u""}, {"", -2, 2, 0, u16string(1, 0)},
        {"\xC3\xA9", -2, 16, 1, u16string(u"\u00E9", 2)},
        {"a\xE2\x82\xAC" "b", -2, 16, 3, u16string(u"a\u20AC" "b", 4)},
        {"\xF0\x9F\x98\x80!", -2, 16, 2, u16string(u"\uFFFD!", 3)}, // beyond 16 bits: U+FFFD, not U+F600
        {"\xA9x", -2, 16, 2, u16string(u"\uFFFDx", 3)}, // a stray continuation byte is not ')'
        {"\xC0\xAF", -2, 16, 1, u16string(u"\uFFFD", 2)}, // overlong '/' is not '/'
        {"\xE0\x80\xAE\xE0\x80\xAE", -2, 16, 2, u16string(u"\uFFFD\uFFFD", 3)},
        {"\xFE\xFF", -2, 16, 2, u16string(u"\uFFFD\uFFFD", 3)},
        {"\xED\xA0\xBD", -2, 16, 1, u16string(u"\xD83D", 2)}, // a surrogate unit stands alone
        {"ab\xC3" "Acd", -2, 16, 2, u16string(u"ab", 3)}, // a broken sequence ends the text before it
        {"ab\xE2\x82", -2, 16, 2, u16string(u"ab", 3)}, // so does one cut by the terminator
        // The last index bounds the bytes read, even without a terminator after them.
        {"a\xC3\xA9zz", 2, 8, 2, u16string(u"a\u00E9", 3)},
        {"a\xC3\xA9zz", 1, 8, 1, u16string(u"a", 2)}, // a sequence cut by it is broken
        {"abc", -1, 8, 0, u16string(1, 0)}, // a negative last index: the empty text
        {string("a\0b", 3), 2, 8, 3, u16string(u"a\0b", 4)}, // a NUL in counted text is a character
        {"\xE2\x82\xAC", 2, 8, 1, u16string(u"\u20AC", 2)}, {"\xF0\x9F\x98", 2, 8, 0, u16string(1, 0)},
    };
    for (const auto& c : cases) {
        const auto source = Exact(c.source + (c.lastIndex == -2 ? string(1, '\0') : string()));
        Guarded<uint16_t> target(c.capacity, 0xBEEF);
        EXPECT_EQ(c.lastIndex == -2 ? StringUtf8_CopyToUtf16(target, source.get(), c.capacity)
                                    : StringUtf8_CopyLengthToUtf16(target, c.capacity, source.get(), c.lastIndex),
                  c.result)
            << c.source << " " << c.capacity;
        EXPECT_EQ(u16string(reinterpret_cast<char16_t*>(target.data()), c.units.size()), c.units) << c.source;
        EXPECT_TRUE(target.Untouched(static_cast<int32_t>(c.units.size()))) << c.source << " " << c.capacity;
    }
    // 32-bit units hold whole code points; the malformed forms are replaced as in 16 bits.
    Guarded<uint32_t> wide(8, 0xDEADBEEF);
    EXPECT_EQ(StringUtf8_CopyToUtf32(wide, "\xF0\x9F\x98\x80\xC0\xAF\xA9\xFD\xBF\xBF\xBF\xBF\xBF", 8), 4);
    EXPECT_EQ(std::u32string(reinterpret_cast<char32_t*>(wide.data())), U"\U0001F600\uFFFD\uFFFD\x7FFFFFFF");
    EXPECT_TRUE(wide.Untouched(5));
    Guarded<uint32_t> full(3, 0xDEADBEEF);
    EXPECT_EQ(StringUtf8_CopyToUtf32(full, "xyz", 3), 3); // full: no terminator
    EXPECT_EQ(full[2], static_cast<uint32_t>('z'));
    EXPECT_TRUE(full.Untouched());
    EXPECT_EQ(StringUtf8_CopyLengthToUtf32(full, 2, "xyz", 2), 2);
    EXPECT_EQ(full[2], static_cast<uint32_t>('z'));
    EXPECT_EQ(StringUtf8_CopyToUtf32(wide, "x\xC3", 8), 1);
    EXPECT_EQ(wide[1], 0u);
}

// An encoding into a guarded byte buffer: its result and the bytes written, terminator included.
struct Encode {
    const char* name;
    int32_t capacity;
    int32_t (*call)(char* d, int32_t n);
    int32_t result;
    string bytes;
};
#define ENCODE(capacity, call, result, bytes) \
    {#call, capacity, [](char* d, int32_t n) -> int32_t { return (void)n, call; }, result, bytes}

const uint16_t kText16[] = {'A', 0x20AC, 'B', 0};
const uint16_t kMixed16[] = {'a', 0xE9, 0x20AC, 'b', 0};
const uint32_t kText32[] = {'a', 0xE9, 0x1F600, 0};
const uint32_t kInvalid32[] = {'a', 0x80000000u, 'b', 0};
const uint32_t kWideThenNarrow[] = {0x1F600, 'z', 0};
const uint32_t kNarrowThenWide[] = {'x', 0x1F600, 0};
const uint16_t kSwapped[] = {0x4100, 0xAC20, 0x3DD8, 0}; // 'A', U+20AC and 0xD83D stored big-endian
const uint16_t kSurrogate[] = {0xD83D, 0};
const char* kAnsi = "caf\xE9 \x80" "5";
const string z(1, '\0');

TEST(Unicode, EncodesToUtf8) {
    const Encode cases[] = {
        // A unit that does not fit beside the terminator is skipped; a later shorter one may still fit.
        ENCODE(4, StringUtf16_CopyLengthToUtf8(d, n, kText16, 3), 2, "AB" + z),
        ENCODE(5, StringUtf16_CopyLengthToUtf8(d, n, kText16, 3), 4, "A\xE2\x82\xAC" + z),
        ENCODE(8, StringUtf16_CopyToUtf8(d, kText16, n), 5, "A\xE2\x82\xAC" "B" + z),
        ENCODE(8, StringUtf16_CopyLengthToUtf8(d, n, kText16, 1), 1, "A" + z), // the count limits the units read
        ENCODE(8, StringUtf16_CopyLengthToUtf8(d, n, kText16, -1), 0, z),
        ENCODE(1, StringUtf16_CopyToUtf8(d, kText16, n), 0, z),
        ENCODE(0, StringUtf16_CopyToUtf8(d, kText16, n), 0, ""),
        ENCODE(8, StringUtf16_CopyToUtf8(d, kSurrogate, n), 3, "\xED\xA0\xBD" + z), // encoded on its own
        ENCODE(9, StringUtf16_CopyToUtf8(d, kMixed16, n), 7, "a\xC3\xA9\xE2\x82\xAC" "b" + z),
        ENCODE(8, StringUtf16_CopyToUtf8(d, kMixed16, n), 7, "a\xC3\xA9\xE2\x82\xAC" "b" + z),
        ENCODE(7, StringUtf16_CopyToUtf8(d, kMixed16, n), 6, "a\xC3\xA9\xE2\x82\xAC" + z),
        ENCODE(16, StringUtf16_ESCopyLengthToUtf8(d, n, kSwapped, 3), 7, "A\xE2\x82\xAC\xED\xA0\xBD" + z),
        ENCODE(4, StringUtf16_ESCopyLengthToUtf8(d, n, kSwapped, 3), 1, "A" + z),
        // The terminating 0 of 32-bit text is encoded too, and counted.
        ENCODE(16, StringUtf32_CopyToUtf8(d, kText32, n), 8, "a\xC3\xA9\xF0\x9F\x98\x80" + z + z),
        ENCODE(8, StringUtf32_CopyToUtf8(d, kText32, n), 7, "a\xC3\xA9\xF0\x9F\x98\x80" + z),
        ENCODE(16, StringUtf32_CopyLengthToUtf8(d, n, kText32, 2), 3, "a\xC3\xA9" + z),
        ENCODE(3, StringUtf32_CopyLengthToUtf8(d, n, kWideThenNarrow, 2), 1, "z" + z),
        ENCODE(16, StringUtf32_CopyLengthToUtf8(d, n, kInvalid32, 3), 1, "a" + z), // no UTF-8 form ends the walk
        ENCODE(16, StringAnsi_CopyToUtf8(d, kAnsi, n), 10, "caf\xC3\xA9 \xE2\x82\xAC" "5" + z),
        ENCODE(9, StringAnsi_CopyToUtf8(d, kAnsi, n), 7, "caf\xC3\xA9 5" + z),
        ENCODE(16, StringAnsi_CopyLengthToUtf8(d, n, kAnsi, 3), 3, "caf" + z),
    };
    for (const Encode& c : cases) {
        Guarded<char> target(c.capacity, 0x55);
        EXPECT_EQ(c.call(target, c.capacity), c.result) << c.name;
        EXPECT_EQ(string(target.data(), c.bytes.size()), c.bytes) << c.name;
        EXPECT_TRUE(target.Untouched(static_cast<int32_t>(c.bytes.size()))) << c.name;
    }
    // Every capacity: terminated, and nothing written past the capacity.
    for (int32_t capacity = 1; capacity <= 10; capacity++) {
        Guarded<char> target(capacity, 0x55);
        const int32_t result = StringUtf16_CopyToUtf8(target, kMixed16, capacity);
        ASSERT_LT(result, capacity);
        EXPECT_EQ(static_cast<int32_t>(strnlen(target, capacity)), result) << capacity;
        EXPECT_TRUE(target.Untouched()) << capacity;
    }
    EXPECT_EQ(StringUtf16_Length(kText16), 3);
    EXPECT_EQ(StringUtf16_LengthUtf8(kText16), 5);
    const uint16_t mixed[] = {0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0};
    EXPECT_EQ(StringUtf16_LengthUtf8(mixed), 1 + 2 + 2 + 3 + 3);
    EXPECT_EQ(StringUtf16_LengthUtf8(mixed + 5), 0);
    EXPECT_EQ(StringUtf32_Length(kText32), 3);
    EXPECT_EQ(StringUtf32_LengthUtf8(kText32), 1 + 2 + 4);
    EXPECT_EQ(StringUtf32_LengthUtf8(kInvalid32), 0);
    EXPECT_EQ(StringAnsi_LengthUtf8(kAnsi), 3 + 2 + 1 + 3 + 1);
    EXPECT_EQ(StringAnsi_LengthUtf8(""), 0);
}

TEST(Unicode, ThirtyTwoBitToSixteenBits) {
    const uint32_t text[] = {'a', 0xE9, 0x1F600, 0x80000000u, 0};
    // lastIndex -2: the terminated form, StringUtf32_CopyToUtf16; `units` as written.
    const struct { int32_t lastIndex, capacity, result; u16string units; } cases[] = {
        // Beyond 16 bits: U+FFFD rather than the low 16 bits (0xF600 would be another character).
        {-2, 8, 4, u16string(u"a\u00E9\uFFFD\uFFFD", 5)}, {-2, 4, 4, u"a\u00E9\uFFFD\uFFFD"}, // full: no terminator
        {0, 8, 1, u16string(u"a", 2)}, {-1, 8, 0, u16string(1, 0)}, {3, 0, 0, u""},
    };
    for (const auto& c : cases) {
        Guarded<uint16_t> target(c.capacity, 0xBEEF);
        EXPECT_EQ(c.lastIndex == -2 ? StringUtf32_CopyToUtf16(target, text, c.capacity)
                                    : StringUtf32_CopyLengthToUtf16(target, c.capacity, text, c.lastIndex),
                  c.result);
        EXPECT_EQ(u16string(reinterpret_cast<char16_t*>(target.data()), c.units.size()), c.units) << c.lastIndex;
        EXPECT_TRUE(target.Untouched(static_cast<int32_t>(c.units.size()))) << c.lastIndex << " " << c.capacity;
    }
}

TEST(Unicode, WindowsCodePage) {
    // Windows-1252: 0x80-0x9F, where the five bytes the code page leaves out stand for themselves.
    const uint16_t high[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                               0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                               0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
    for (int32_t byte = 0; byte <= 0xFF; byte++) {
        const uint32_t codePoint = byte >= 0x80 && byte <= 0x9F ? high[byte - 0x80] : byte;
        char expected[8], target[8];
        int32_t size = 0, length = -1;
        CharUtf64_CopyToUtf8(codePoint, expected, sizeof(expected), &size);
        EXPECT_EQ(CharAnsi_LengthUtf8(static_cast<uint8_t>(byte)), size) << byte;
        EXPECT_EQ(CharAnsi_CopyToUtf8(static_cast<uint8_t>(byte), target, sizeof(target), &length), 1);
        EXPECT_EQ(string(target, length), string(expected, size)) << byte;
        EXPECT_EQ(CharAnsi_CopyToUtf8(static_cast<uint8_t>(byte), target, size - 1, &length), 1);
        EXPECT_EQ(length, 0) << byte; // too small: nothing written, length 0, still 1
    }
}

TEST(Unicode, CreateAndDelete) {
    // The Length forms are always terminated, even when the text is longer than the capacity; a
    // failed create leaves a null pointer, and a delete frees, clears and accepts a null pointer.
    uint16_t* t16 = reinterpret_cast<uint16_t*>(1);
    uint32_t* t32 = reinterpret_cast<uint32_t*>(1);
    ExpectResults({
        RESULT(StringUtf8_CreateUtf16Length("abc", 0, &t16), 0), RESULT(t16 == nullptr, 1),
        RESULT(StringUtf8_CreateUtf16("h\xC3\xA9llo \xF0\x9F\x98\x80", &t16), 1),
        RESULT(Text16(t16) == u"h\u00E9llo \uFFFD", 1), RESULT(StringUtf8_DeleteUtf16(&t16), 1),
        RESULT(t16 == nullptr, 1), RESULT(StringUtf8_DeleteUtf16(&t16), 1),
        RESULT(StringUtf8_CreateUtf16("", &t16), 1), RESULT(t16[0], 0), RESULT(StringUtf8_DeleteUtf16(&t16), 1),
        RESULT(StringUtf8_CreateUtf16Length("abcdef", 3, &t16), 1), RESULT(Text16(t16) == u"ab", 1),
        RESULT(StringUtf8_DeleteUtf16(&t16), 1), RESULT(StringUtf8_CreateUtf16Length("abcdef", 1, &t16), 1),
        RESULT(t16[0], 0), RESULT(StringUtf8_DeleteUtf16(&t16), 1),
        RESULT(StringUtf8_CreateWide("a\xF0\x9F\x98\x80", &t32), 1),
        RESULT(std::u32string(reinterpret_cast<char32_t*>(t32)) == U"a\U0001F600", 1),
        RESULT(StringUtf8_DeleteWide(&t32), 1), RESULT(t32 == nullptr, 1),
        RESULT(StringUtf8_CreateWideLength("abc", 2, &t32), 1), RESULT(t32[0], 'a'), RESULT(t32[1], 0),
        RESULT(StringUtf8_DeleteWide(&t32), 1), RESULT(WideString_CreateLength(3, &t32), 1),
        RESULT(t32[0] | t32[1] | t32[2], 0), RESULT(WideString_DeleteLength(&t32), 1), RESULT(t32 == nullptr, 1),
        RESULT(WideString_CreateLength(0, &t32), 0), RESULT(t32 == nullptr, 1),
    });
    const struct { int64_t (*create)(char**); int64_t (*remove)(char**); const char* expected; } toUtf8[] = {
        {[](char** t) { return StringUtf16_CreateUtf8(U(u"a\u20AC\u00E9"), t); }, StringUtf16_DeleteUtf8,
         "a\xE2\x82\xAC\xC3\xA9"},
        {[](char** t) { return StringUtf16_CreateUtf8Length(U(u"abc"), 3, t); }, StringUtf16_DeleteUtf8, "ab"},
        {[](char** t) { return StringUtf16_CreateUtf8Length(U(u"abc"), 0, t); }, StringUtf16_DeleteUtf8, nullptr},
        {[](char** t) { return WideString_CreateUtf8(kNarrowThenWide, t); }, WideString_DeleteUtf8, "x\xF0\x9F\x98\x80"},
        {[](char** t) { return WideString_CreateUtf8Length(kNarrowThenWide, 4, t); }, WideString_DeleteUtf8, "x"},
        {[](char** t) { return StringAnsi_CreateUtf8(kAnsi, t); }, StringAnsi_DeleteUtf8,
         "caf\xC3\xA9 \xE2\x82\xAC" "5"},
        {[](char** t) { return StringAnsi_CreateUtf8("", t); }, StringAnsi_DeleteUtf8, ""},
        {[](char** t) { return StringAnsi_CreateUtf8Length(kAnsi, 4, t); }, StringAnsi_DeleteUtf8, "caf"},
    };
    for (const auto& c : toUtf8) {
        char* text = reinterpret_cast<char*>(1);
        ASSERT_EQ(c.create(&text), c.expected ? 1 : 0);
        EXPECT_EQ(text ? std::string(text) : "(null)", c.expected ? c.expected : "(null)");
        EXPECT_EQ(c.remove(&text), 1);
        EXPECT_EQ(text, nullptr);
    }
}

TEST(UnicodeDeathTest, TextIsRequiredOnlyWhenCounted) {
    ExpectAborts({{"ValidLength", [] { StringUtf8_ValidLength(nullptr, 1); }, "Pointer is NULL\n"}});
}

} // namespace
