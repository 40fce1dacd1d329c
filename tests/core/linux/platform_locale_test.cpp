// Tests of the platform's locale converters: measuring, bounded writes with the terminator,
// consumed counts, limits and failures.

#include "core/linux/platform_locale.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <string>

namespace {

const uint16_t* U(const char16_t* text) {
    return reinterpret_cast<const uint16_t*>(text);
}

class Utf8Locale : public ::testing::Test {
  protected:
    void SetUp() override {
        Locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
        ASSERT_NE(Locale, nullptr);
        Previous = uselocale(Locale);
    }
    void TearDown() override {
        uselocale(Previous);
        freelocale(Locale);
    }
    locale_t Locale = nullptr;
    locale_t Previous = nullptr;
};

TEST_F(Utf8Locale, WideToMultiByte) {
    int32_t consumed = -1;
    // Measuring: no buffer.
    EXPECT_EQ(Platform_WideChar16ToMultiByte(&consumed, nullptr, 0, U(u"a\u00E9\u20AC"), -1), 6);
    EXPECT_EQ(consumed, 3);
    char buffer[8];
    memset(buffer, 0x55, sizeof(buffer));
    EXPECT_EQ(Platform_WideChar16ToMultiByte(&consumed, buffer, 8, U(u"a\u00E9\u20AC"), -1), 6);
    EXPECT_STREQ(buffer, "a\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(buffer[7], 0x55);
    // A character that does not fit beside the terminator stops the conversion.
    memset(buffer, 0x55, sizeof(buffer));
    EXPECT_EQ(Platform_WideChar16ToMultiByte(&consumed, buffer, 5, U(u"a\u00E9\u20AC"), -1), 3);
    EXPECT_EQ(consumed, 2);
    EXPECT_STREQ(buffer, "a\xC3\xA9");
    EXPECT_EQ(buffer[5], 0x55);
    EXPECT_EQ(Platform_WideChar16ToMultiByte(&consumed, buffer, 1, U(u"abc"), -1), 0);
    EXPECT_EQ(buffer[0], 0);
    buffer[0] = 0x55;
    EXPECT_EQ(Platform_WideChar16ToMultiByte(&consumed, buffer, 0, U(u"abc"), -1), 0);
    EXPECT_EQ(buffer[0], 0x55);
    // The limit bounds the units read; a unit without a form fails.
    EXPECT_EQ(Platform_WideChar16ToMultiByte(&consumed, buffer, 8, U(u"abc"), 2), 2);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_EQ(Platform_WideChar16ToMultiByte(&consumed, nullptr, 0, U(u"ab\xDC00"), -1), -1);
    EXPECT_EQ(consumed, 2);
    EXPECT_EQ(Platform_WideChar16ToMultiByte(&consumed, nullptr, 0, U(u"ab\xDC00"), 2), 2);
}

TEST_F(Utf8Locale, MultiByteToWide) {
    int32_t consumed = -1;
    EXPECT_EQ(Platform_MultiByteToWideChar16(&consumed, nullptr, 0, "a\xC3\xA9\xF0\x9F\x98\x80", -1), 3);
    EXPECT_EQ(consumed, 7);
    uint16_t buffer[6];
    for (auto& unit : buffer) unit = 0xBEEF;
    EXPECT_EQ(Platform_MultiByteToWideChar16(&consumed, buffer, 6, "a\xC3\xA9\xF0\x9F\x98\x80", -1), 3);
    EXPECT_EQ(buffer[0], 'a');
    EXPECT_EQ(buffer[1], 0xE9);
    EXPECT_EQ(buffer[2], 0xFFFD);
    EXPECT_EQ(buffer[3], 0);
    EXPECT_EQ(buffer[4], 0xBEEF);
    // Stops when the buffer holds size - 1 units, then terminates.
    for (auto& unit : buffer) unit = 0xBEEF;
    EXPECT_EQ(Platform_MultiByteToWideChar16(&consumed, buffer, 3, "abcdef", -1), 2);
    EXPECT_EQ(consumed, 2);
    EXPECT_EQ(buffer[2], 0);
    EXPECT_EQ(buffer[3], 0xBEEF);
    // Invalid and cut sequences.
    EXPECT_EQ(Platform_MultiByteToWideChar16(&consumed, nullptr, 0, "ab\xFF", -1), -1);
    EXPECT_EQ(consumed, 2);
    EXPECT_EQ(Platform_MultiByteToWideChar16(&consumed, nullptr, 0, "ab\xE2\x82", -1), -1);
    EXPECT_EQ(Platform_MultiByteToWideChar16(&consumed, nullptr, 0, "ab\xE2\x82\xAC", 4), -1);
    EXPECT_EQ(Platform_MultiByteToWideChar16(&consumed, nullptr, 0, "ab\xE2\x82\xAC", 5), 3);
    // A limit past the text ends at the terminator; the bytes of an exact block are not passed.
    EXPECT_EQ(Platform_MultiByteToWideChar16(&consumed, nullptr, 0, "ab", 100), 2);
    char* exact = static_cast<char*>(malloc(3));
    memcpy(exact, "x\xC3\xA9", 3);
    EXPECT_EQ(Platform_MultiByteToWideChar16(&consumed, nullptr, 0, exact, 3), 2);
    EXPECT_EQ(Platform_MultiByteToWideChar16(&consumed, nullptr, 0, exact, 2), -1);
    free(exact);
}

} // namespace
