// Tests of the locale conversions of 16-bit text: measure first, convert only what fits whole,
// an empty terminated target on failure, under a UTF-8 locale and the plain "C" locale.

#include "core/runtime/unicode.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <locale.h>
#include <string>

namespace {

const uint16_t* U(const char16_t* text) {
    return reinterpret_cast<const uint16_t*>(text);
}

std::u16string Text16(const uint16_t* text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}

constexpr uint16_t Guard16 = 0xBEEF;

// Switches the calling thread to a locale for the life of the object.
class ThreadLocale {
  public:
    explicit ThreadLocale(const char* name) : Locale(newlocale(LC_CTYPE_MASK, name, nullptr)) {
        if (Locale != nullptr) Previous = uselocale(Locale);
    }
    ~ThreadLocale() {
        if (Locale == nullptr) return;
        uselocale(Previous);
        freelocale(Locale);
    }
    bool Ok() const { return Locale != nullptr; }

  private:
    locale_t Locale;
    locale_t Previous = nullptr;
};

TEST(UnicodeLocale, MultiByteToSixteenBits) {
    ThreadLocale utf8("C.UTF-8");
    ASSERT_TRUE(utf8.Ok());
    uint16_t target[8];
    for (auto& unit : target) unit = Guard16;
    EXPECT_EQ(String_CopyToUtf16(target, "a\xC3\xA9\xE2\x82\xAC", 8), 3);
    EXPECT_EQ(Text16(target), u"a\u00E9\u20AC");
    EXPECT_EQ(target[4], Guard16);
    // Beyond 16 bits: U+FFFD.
    EXPECT_EQ(String_CopyToUtf16(target, "\xF0\x9F\x98\x80z", 8), 2);
    EXPECT_EQ(Text16(target), u"\uFFFDz");

    // Exactly the text and its terminator fit; one unit less is a failure with an empty target.
    for (auto& unit : target) unit = Guard16;
    EXPECT_EQ(String_CopyToUtf16(target, "abc", 4), 3);
    EXPECT_EQ(Text16(target), u"abc");
    for (auto& unit : target) unit = Guard16;
    EXPECT_EQ(String_CopyToUtf16(target, "abc", 3), 0);
    EXPECT_EQ(target[0], 0);
    EXPECT_EQ(target[1], Guard16);
    target[0] = Guard16;
    EXPECT_EQ(String_CopyToUtf16(target, "abc", 0), 0);
    EXPECT_EQ(target[0], Guard16);

    // Invalid input: empty target.
    for (auto& unit : target) unit = Guard16;
    EXPECT_EQ(String_CopyToUtf16(target, "ab\xC3(", 8), 0);
    EXPECT_EQ(target[0], 0);
    EXPECT_EQ(String_CopyToUtf16(target, "\xC0\xAF", 8), 0); // an overlong form is invalid here too
    EXPECT_EQ(target[0], 0);

    // The byte count bounds the bytes read; a sequence cut by it is invalid.
    EXPECT_EQ(String_CopyLengthToUtf16(target, 8, "a\xC3\xA9zz", 3), 2);
    EXPECT_EQ(Text16(target), u"a\u00E9");
    EXPECT_EQ(String_CopyLengthToUtf16(target, 8, "a\xC3\xA9zz", 2), 0);
    EXPECT_EQ(target[0], 0);
    EXPECT_EQ(String_CopyLengthToUtf16(target, 8, "abc", 0), 0);
    EXPECT_EQ(target[0], 0);
    char* exact = static_cast<char*>(malloc(2));
    memcpy(exact, "\xE2\x82", 2);
    EXPECT_EQ(String_CopyLengthToUtf16(target, 8, exact, 2), 0);
    free(exact);
}

TEST(UnicodeLocale, SixteenBitsToMultiByte) {
    ThreadLocale utf8("C.UTF-8");
    ASSERT_TRUE(utf8.Ok());
    char target[8];
    memset(target, 0x55, sizeof(target));
    EXPECT_EQ(StringUtf16_CopyToAscii(target, U(u"a\u00E9\u20AC"), 8), 6);
    EXPECT_STREQ(target, "a\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(target[7], 0x55);
    // Needs 7 bytes with the terminator: 6 is a failure, never a cut text.
    memset(target, 0x55, sizeof(target));
    EXPECT_EQ(StringUtf16_CopyToAscii(target, U(u"a\u00E9\u20AC"), 6), 0);
    EXPECT_EQ(target[0], 0);
    EXPECT_EQ(target[1], 0x55);
    // A lone surrogate has no multibyte form.
    EXPECT_EQ(StringUtf16_CopyToAscii(target, U(u"a\xD83D"), 8), 0);
    EXPECT_EQ(target[0], 0);
    // The unit count bounds the units read.
    EXPECT_EQ(StringUtf16_CopyLengthToAscii(target, 8, U(u"abc\xD83D"), 3), 3);
    EXPECT_STREQ(target, "abc");
    EXPECT_EQ(StringUtf16_CopyLengthToAscii(target, 8, U(u"abc"), 0), 0);
    EXPECT_STREQ(target, "");
    target[0] = 0x55;
    EXPECT_EQ(StringUtf16_CopyToAscii(target, U(u"abc"), 0), 0);
    EXPECT_EQ(target[0], 0x55);
}

TEST(UnicodeLocale, PlainLocaleIsAscii) {
    ThreadLocale plain("C");
    ASSERT_TRUE(plain.Ok());
    char target[8];
    EXPECT_EQ(StringUtf16_CopyToAscii(target, U(u"abc"), 8), 3);
    EXPECT_STREQ(target, "abc");
    EXPECT_EQ(StringUtf16_CopyToAscii(target, U(u"ab\u00E9"), 8), 0);
    EXPECT_STREQ(target, "");
    uint16_t units[8];
    EXPECT_EQ(String_CopyToUtf16(units, "abc", 8), 3);
    EXPECT_EQ(Text16(units), u"abc");
    EXPECT_EQ(String_CopyToUtf16(units, "ab\xC3\xA9", 8), 0);
    EXPECT_EQ(units[0], 0);
}

} // namespace
