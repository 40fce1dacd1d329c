// Tests of the text library's conversions: numbers, hexadecimal, IPv4, identifiers, random
// text, sizes, booleans and versions.
#include "core/runtime/string.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/support/scoped_locale.h"
#include "tests/support/text_cases.h"

namespace {

TEST(StringConvert, Integers) {
    const struct { const char* text; int64_t i64; uint64_t u64; } cases[] = {
        {"-0x10", 16, 0}, // the sign does not apply to hexadecimal; unsigned refuses a '-'
        {"-16", -16, 0}, {"12abc", 12, 12}, {"+42", 42, 42}, {"0x1F", 31, 31}, {"0XfF", 255, 255}, {"0x", 0, 0},
        {"abc", 0, 0}, {"", 0, 0}, {"-", 0, 0}, {" 5", 0, 0}, {"007", 7, 7}, {"0x1g", 1, 1}, {"+-5", 0, 0},
        {"0xdeadBEEF", 0xDEADBEEF, 0xDEADBEEF}, {"9223372036854775807", INT64_MAX, INT64_MAX},
        {"-9223372036854775808", INT64_MIN, 0}, {"18446744073709551617", 1, 1}, // wraps
        {"18446744073709551615", -1, UINT64_MAX}, {"0xFFFFFFFFFFFFFFFF", -1, UINT64_MAX},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(String_AtoI64(c.text), c.i64) << c.text;
        EXPECT_EQ(String_AtoU64(c.text), c.u64) << c.text;
    }
    for (const char* yes : {"", "-", "123", "-1.5", "1.2.3", "..", "-0"}) EXPECT_EQ(String_IsNumeric(yes), 1) << yes;
    for (const char* no : {"+1", "1e5", " 1", "1 ", "--1", "0x10", "1-"}) EXPECT_EQ(String_IsNumeric(no), 0) << no;
    uint64_t v = 99;
    ExpectResults({
        RESULT(String_AtoI64(nullptr), 0), RESULT(String_AtoU64(nullptr), 0), RESULT(String_AtoI("4294967297"), 1),
        RESULT(String_AtoI("-2"), -2), RESULT(String_AtoU("4294967296"), 0),
        RESULT(String_AtoU("4294967295"), UINT32_MAX), RESULT(String_AtoP("0x1000"), 0x1000),
        RESULT(String_ConvertToHexInternal("0x1A2b", &v), 1), RESULT(v, 0x1A2B),
        RESULT(String_ConvertToHexInternal("0X", &v), 1), RESULT(v, 0),
        RESULT((v = 99, String_ConvertToHexInternal("1A", &v)), 0), RESULT(v, 0),
        RESULT(String_ConvertToHexInternal("-0x1", &v), 0),
    });
}

TEST(StringConvert, AtoF) {
    const struct { const char* text; double value; } cases[] = {
        {"-1.5e2", -150.0}, {"2.5e-1", 0.25}, {"0.1", 0.1}, {"3", 3.0}, {".5", 0.5}, {"-.5", -0.5}, {"1.", 1.0},
        {"1.2.3", 1.2}, {"1e3", 1000.0}, {"1E+3", 1000.0}, {"5e", 5.0}, {"0x10", 16.0}, {"-0x10", 16.0}, {"abc", 0.0},
        {"", 0.0}, {"+1.5", 0.0}, {"12.5kg", 12.5}, {"1e-3", 0.001}, {"123.456", 123.456},
        {"1e0x2", 100.0}, // the exponent is read by the same rules as the number
        {"1e400", HUGE_VAL}, {"1e-400", 0.0}, {"0.00000000000000000000000000000001", 1e-32},
        {"12345678901234567890123", 12345678901234567890123.0},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(String_AtoF(c.text), c.value) << c.text;
    // Correctly rounded, not merely close.
    EXPECT_EQ(String_AtoF("0.1"), 0.1);
    EXPECT_EQ(String_AtoF("2.5e-1"), 0.25);
    EXPECT_EQ(String_AtoF(nullptr), 0.0);
    // A long run of exponents is read once, not nested.
    std::string nested = "1";
    for (int i = 0; i < 10000; i++) nested += "e1";
    EXPECT_EQ(String_AtoF(nested.c_str()), 10.0);
}

// Every spelling is read one way, correctly rounded: a letter without digits or a point or 'x'
// after the exponent ends the number where strtod ends it; the exponent forms of the text library
// itself (a hexadecimal exponent, "e+-5") give the digits' value scaled exactly; an exponent's
// size is held, never wrapped.
TEST(StringConvert, AtoFReadsEveryFormExactly) {
    const struct { const char* text; double value; } cases[] = {
        {"2.0796413831281894E", 2.0796413831281894}, {"2.0796413831281894e+", 2.0796413831281894},
        {"0.1e", 0.1}, {"-0.3e-", -0.3}, {"9007199254740993E", 9007199254740992.0},
        {"2.0796413831281894e1.5", 20.796413831281894}, {"2.0796413831281894e1x", 20.796413831281894},
        {"1e5.5", 1e5}, {"1e-5.9", 1e-5}, {"1.7e0.5", 1.7}, {"1e.5", 1.0}, {"0.1e0x2", 10.0}, {"0.3E+0x2", 30.0},
        {"0.7e-0x2", 70.0}, {"0.1e+-1", 0.01}, {"3.3e-+1", 3.3}, {"0.1e0x", 0.1}, {"1e00x2", 1.0},
        {"1e18446744073709551617", HUGE_VAL}, {"2e-18446744073709551615", 0.0},
        {"1e0x10000000000000002", HUGE_VAL}, {"1e+-18446744073709551617", 0.0}, {"-1e400", -HUGE_VAL},
        {"1.", 1.0}, {"-0", -0.0}, {"1.2.3", 1.2}, {"123456789012345", 123456789012345.0},
        {"1234567890123456", 1234567890123456.0}, {"12345678901234.5", 12345678901234.5}, {"-inf", 0.0},
        {"nan", 0.0}, {"--5", 0.0}, {".", 0.0}, {".e5", 0.0}, {"-.", 0.0}, {"0x1p3", 1.0},
        {"1.0000000000e0x2", 100.0}, {"-1.0000000000e+-2", -0.01}, {"1.00000000000000000000e5x", 1e5},
        {"123456789.0kg", 123456789.0}, {"-0x00000000010", 16.0}, {"12345678", 12345678.0}, {"-1234567", -1234567.0},
        {"123456.78", 123456.78}, {"1.5e1e2", 15.0}, {"2.0796413831281894e1e2", 20.796413831281894},
        {"2.0796413831281894e1E+2", 20.796413831281894},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::bit_cast<uint64_t>(String_AtoF(c.text)), std::bit_cast<uint64_t>(c.value)) << c.text;
    // Past 768 digits only whether a nonzero digit follows can matter, and it is kept.
    const std::string halfway = "2.4703282292062327208828439643411068618252990130716238221279284125033775363510437593264991818"
                                 "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                                 "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                                 "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                                 "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                                 "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                                 "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                                 "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                                 "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
                                 "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000";
    // The exact halfway point between 0 and the smallest subnormal, 5^1075 * 10^-1075 (752 digits):
    // itself it rounds to the even 0, and a last nonzero digit past the 780 kept takes it up.
    std::string half = "1";
    for (int i = 0; i < 1075; i++) {
        int carry = 0;
        for (size_t d = half.size(); d-- > 0;) {
            const int v = (half[d] - '0') * 5 + carry;
            half[d] = (char)('0' + v % 10);
            carry = v / 10;
        }
        if (carry) half.insert(0, 1, (char)('0' + carry));
    }
    ASSERT_EQ(half.size(), 752u);
    const std::string above = half + std::string(60, '0') + "1";
    const struct { std::string text; std::string standard; uint64_t bits; } exact[] = {
        {half + "e+-1075", half + "e-1075", 0}, {above + "e+-1136", above + "e-1136", 1},
        {"0." + std::string(325, '0') + above + "e0x2", "0." + std::string(325, '0') + above + "e2", 1},
        {half + "e-1075.9", half + "e-1075", 0},
    };
    for (const auto& c : exact) {
        EXPECT_EQ(std::bit_cast<uint64_t>(String_AtoF(c.text.c_str())), c.bits) << c.text.substr(c.text.size() - 12);
        EXPECT_EQ(std::bit_cast<uint64_t>(strtod(c.standard.c_str(), nullptr)), c.bits) << "(oracle)";
    }
    for (const char* tail : {"e-324", "1e-324", "e-0x144", "1e-0x144", "1e-324x", "e-324e"}) {
        // -0x144 is 324 unsigned: the sign does not apply to the hexadecimal form.
        const std::string text = halfway + tail;
        const bool hex = strchr(tail, 'x') && tail[strlen(tail) - 1] != 'x';
        const std::string standard = hex ? halfway + (tail[0] == '1' ? "1e324" : "e324") : text;
        EXPECT_EQ(std::bit_cast<uint64_t>(String_AtoF(text.c_str())),
                  std::bit_cast<uint64_t>(strtod(standard.c_str(), nullptr))) << tail;
    }
}

// A text that need not be terminated is read to its length, whole however long, and no further.
TEST(StringConvert, NumbersOfAGivenLength) {
    const std::string mtime = "1.733700000000000000000000000000000000000000000000000000000000000e9";
    ASSERT_GT(mtime.size(), 64u);
    const std::string followed = mtime + "99";
    EXPECT_EQ(String_AtoFLength(followed.data(), mtime.size()), 1.7337e9);
    EXPECT_EQ(String_AtoFLength("12345", 2), 12.0);
    EXPECT_EQ(String_AtoFLength("1e5", 2), 1.0);
    EXPECT_EQ(String_AtoFLength("1e0x2", 4), 1.0);
    EXPECT_EQ(String_AtoFLength("0x1F", 3), 1.0);
    EXPECT_EQ(String_AtoFLength("-0x1F", 2), 0.0);
    EXPECT_EQ(String_AtoFLength("7", 0), 0.0);
    EXPECT_EQ(String_AtoFLength(nullptr, 5), 0.0);
    const std::string zeros = std::string(80, '0') + "1733700000";
    EXPECT_EQ(String_AtoI64Length(zeros.data(), zeros.size()), 1733700000);
    const struct { const char* text; size_t length; int64_t value; } integers[] = {
        {"-16", 3, -16}, {"-0x10", 5, 16}, {"+42x", 4, 42}, {"0x1F", 3, 1}, {"0x", 2, 0}, {"123", 2, 12}, {"5", 0, 0},
        {"18446744073709551617", 20, 1},
    };
    for (const auto& c : integers) EXPECT_EQ(String_AtoI64Length(c.text, c.length), c.value) << c.text;
}

// A spelling with more digits than any exponent bound: its exponent is still added whole, so the
// value is strtod's in every reader of the family, finite or not.
TEST(StringConvert, ExponentsBeyondAMillionDigitsAreReadWhole) {
    const std::string zeros(2000000, '0');
    const struct { std::string text, standard; } cases[] = {
        {"0." + zeros + "1e+20000000", ""}, {"0." + zeros + "1e+2000010", ""}, {"1" + zeros + "e-2000005", ""},
        {"-0." + zeros + "25E2000001", ""}, {"1" + zeros + "e-20000000", ""},
        // String_AtoF's own exponent forms: hexadecimal, and a sign after '+'.
        {"0." + zeros + "1e0x1E8489", "0." + zeros + "1e2000009"}, {"1" + zeros + "e+-2000003", "1" + zeros + "e-2000003"},
    };
    for (const auto& c : cases) {
        const std::string& standard = c.standard.empty() ? c.text : c.standard;
        const double expected = strtod(standard.c_str(), nullptr);
        const std::string tail = c.text.substr(c.text.size() - 14);
        EXPECT_EQ(std::bit_cast<uint64_t>(String_AtoF(c.text.c_str())), std::bit_cast<uint64_t>(expected)) << tail;
        EXPECT_EQ(std::bit_cast<uint64_t>(String_AtoFLength(c.text.data(), c.text.size())),
                  std::bit_cast<uint64_t>(expected)) << tail;
        if (!c.standard.empty()) continue;
        double value = 7, terminated = 7;
        EXPECT_EQ(String_ParseNumber(c.text.data(), c.text.size(), &value, nullptr), std::isfinite(expected) ? 1 : 0) << tail;
        EXPECT_EQ(String_ParseNumberText(c.text.c_str(), &terminated, nullptr), std::isfinite(expected) ? 1 : 0) << tail;
        if (std::isfinite(expected)) {
            EXPECT_EQ(std::bit_cast<uint64_t>(value), std::bit_cast<uint64_t>(expected)) << tail;
            EXPECT_EQ(std::bit_cast<uint64_t>(terminated), std::bit_cast<uint64_t>(expected)) << tail;
        }
    }
}

TEST(StringConvert, AtoFIsCorrectlyRoundedInAnyLocale) {
    // Spellings whose nearest double a sum of scaled digits misses: more than 19 digits, powers
    // of ten beyond the exact ones, halfway cases and the ends of the range. Known answers are
    // the C library's in the "C" locale, checked bit for bit.
    const struct { const char* text; uint64_t bits; } cases[] = {
        {"7.038531e-26", 0x3AB5C87FB0000000},
        {"1.00000000000000011102230246251565404236316680908203125", 0x3FF0000000000000},
        {"1.00000000000000011102230246251565404236316680908203126", 0x3FF0000000000001},
        {"2.2250738585072011e-308", 0x000FFFFFFFFFFFFF},
        {"1.7976931348623157e308", 0x7FEFFFFFFFFFFFFF},
        {"4.9406564584124654e-324", 0x0000000000000001},
        {"9007199254740993", 0x4340000000000000},
        {"0.30000000000000004", 0x3FD3333333333334},
        {"123456789012345678901234567890", 0x45F8EE90FF6C373E},
        {"8.98846567431158e307", 0x7FE0000000000000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::bit_cast<uint64_t>(String_AtoF(c.text)), c.bits) << c.text;
        EXPECT_EQ(std::bit_cast<uint64_t>(strtod(c.text, nullptr)), c.bits) << c.text << " (oracle)";
    }
    // Where the decimal mark is a comma, a document's "0.25" still reads as 0.25.
    USE_LOCALE_OR_SKIP(german, "de_DE.UTF-8");
    for (const char* text : {"0.25", "2.5e-1", "25e-2", "-0.25"})
        EXPECT_EQ(std::fabs(String_AtoF(text)), 0.25) << text;
    EXPECT_EQ(std::bit_cast<uint64_t>(String_AtoF("7.038531e-26")), uint64_t{0x3AB5C87FB0000000});
    EXPECT_EQ(String_AtoF("0,25"), 0.0);
}

// The one reader every number item, task argument and document goes through: the whole text is one
// number, its value correctly rounded (the C library's, bit for bit), in any locale.
TEST(StringConvert, ParseNumber) {
    const struct { const char* text; int64_t result; double value; int64_t whole; } cases[] = {
        {"0", 1, 0, 0}, {"-0", 1, -0.0, 0}, {"+5", 1, 5, 5}, {"12.5", 1, 12.5, 12}, {"-12.5", 1, -12.5, -12},
        {"2.5e-06", 1, 2.5e-6, 0}, {"1e+21", 1, 1e21, INT64_MAX}, {"-1e+21", 1, -1e21, INT64_MIN},
        {"1.e5", 1, 1e5, 100000}, {".5e3", 1, 500, 500}, {"5.", 1, 5, 5}, {"-.5", 1, -0.5, 0},
        {"0x10", 1, 16, 16}, {"-0x10", 1, -16, -16}, {"+0X1f", 1, 31, 31},
        {"0x10000000000000001", 1, 18446744073709551617.0, INT64_MAX},
        {"-0x10000000000000001", 1, -18446744073709551617.0, INT64_MIN},
        {"0xFFFFFFFFFFFFFFFF", 1, 18446744073709551615.0, INT64_MAX},
        {"-0x8000000000000000", 1, -9223372036854775808.0, INT64_MIN},
        {"9007199254740993", 1, 9007199254740992.0, 9007199254740993},
        {"-9223372036854775808", 1, -9223372036854775808.0, INT64_MIN},
        {"9223372036854775808", 1, 9223372036854775808.0, INT64_MAX},
        {"99999999999999999999", 1, 1e20, INT64_MAX}, {"1e-999", 1, 0, 0}, {"007", 1, 7, 7},
        {"1e99999999999999999999", 0, 0, 0}, {"1e-99999999999999999999", 1, 0, 0},
        {"1e9999999999999999999", 0, 0, 0}, {"1e-9999999999999999999", 1, 0, 0}, {"1e-00000000000000000300", 1, 1e-300, 0}, {"1.5e0000000000000002", 1, 150, 150}, {"2e00000000000000001", 1, 20, 20},
        {"0.1", 1, 0.1, 0}, {"1.05", 1, 1.05, 1}, {"10.0025e2", 1, 1000.25, 1000}, {"1.5e2", 1, 150, 150}, {"1e22", 1, 1e22, INT64_MAX}, {"123e-2", 1, 1.23, 1},
        // No number, or none a reader can give: refused, never 0.
        {"", 0, 0, 0}, {"-", 0, 0, 0}, {"+", 0, 0, 0}, {".", 0, 0, 0}, {"e5", 0, 0, 0}, {"1e", 0, 0, 0},
        {"1e+", 0, 0, 0}, {"0x", 0, 0, 0}, {"0xg", 0, 0, 0}, {"1.2.3", 0, 0, 0}, {"12.5kg", 0, 0, 0},
        {" 5", 0, 0, 0}, {"5 ", 0, 0, 0}, {"--5", 0, 0, 0}, {"inf", 0, 0, 0}, {"nan", 0, 0, 0},
        {"1e999", 0, 0, 0}, {"-1e999", 0, 0, 0}, {"0,25", 0, 0, 0}, {"0x1p3", 0, 0, 0}, {"1e1.5", 0, 0, 0},
        // An exponent's digits are held at a bound, never wrapped into a small one.
        {"1e18446744073709551617", 0, 0, 0}, {"2e-18446744073709551615", 1, 0, 0},
        {"1e18446744073709551616", 0, 0, 0}, {"0.000000000000000000001e9223372036854775808", 0, 0, 0},
    };
    for (const auto& c : cases) {
        double value = 7;
        int64_t whole = 7;
        EXPECT_EQ(String_ParseNumber(c.text, strlen(c.text), &value, &whole), c.result) << c.text;
        EXPECT_EQ(std::bit_cast<uint64_t>(value), std::bit_cast<uint64_t>(c.value)) << c.text;
        EXPECT_EQ(whole, c.whole) << c.text;
        // The same reading of the terminated text.
        value = whole = 7;
        EXPECT_EQ(String_ParseNumberText(c.text, &value, &whole), c.result) << c.text;
        EXPECT_EQ(std::bit_cast<uint64_t>(value), std::bit_cast<uint64_t>(c.value)) << c.text;
        EXPECT_EQ(whole, c.whole) << c.text;
    }
    // The length bounds the text: what follows is not read.
    double value = 0;
    EXPECT_EQ(String_ParseNumber("12345", 2, &value, nullptr), 1);
    EXPECT_EQ(value, 12.0);
    EXPECT_EQ(String_ParseNumber(nullptr, 0, &value, nullptr), 0);
    // Past 19 digits and beyond the exact powers the value is still the nearest double.
    for (const char* text : {"1.00000000000000011102230246251565404236316680908203126", "7.038531e-26",
                             "2.2250738585072011e-308", "4.9406564584124654e-324", "1.7976931348623157e308",
                             "0.30000000000000004", "123456789012345678901234567890", "9007199254740993e-5",
                             // Past 53 bits one exact power is two roundings, which can miss.
                             "29514929935856118e-3", "20443807682392890e-1", "28513642127861726e1",
                             "0.000000000000000000000000000000000000000000001234567890123456789e-280"}) {
        EXPECT_EQ(String_ParseNumber(text, strlen(text), &value, nullptr), 1) << text;
        EXPECT_EQ(std::bit_cast<uint64_t>(value), std::bit_cast<uint64_t>(strtod(text, nullptr))) << text;
    }
    USE_LOCALE_OR_SKIP(german, "de_DE.UTF-8");
    EXPECT_EQ(String_ParseNumber("0.25", 4, &value, nullptr), 1);
    EXPECT_EQ(value, 0.25);
    EXPECT_EQ(String_ParseNumber("0,25", 4, &value, nullptr), 0);
}

// The shortest text that reads back as the same value, with a point in any locale.
TEST(StringConvert, PrintNumber) {
    const struct { double value; int64_t result; const char* text; } cases[] = {
        {0.1, 1, "0.1"}, {2.5e-6, 1, "2.5e-06"}, {1e21, 1, "1e+21"}, {-16, 1, "-16"}, {0.30000000000000004, 1,
        "0.30000000000000004"}, {1.0 / 3, 1, "0.3333333333333333"}, {-0.0, 1, "-0"}, {HUGE_VAL, 0, ""},
        {-HUGE_VAL, 0, ""}, {NAN, 0, ""}, {123456789, 1, "123456789"}, {5e-324, 1, "4.94066e-324"},
    };
    USE_LOCALE_OR_SKIP(german, "de_DE.UTF-8");
    for (const auto& c : cases) {
        char text[32] = "x";
        EXPECT_EQ(String_PrintNumber(c.value, text, sizeof(text)), c.result) << c.text;
        EXPECT_STREQ(text, c.text);
    }
    char small[4] = "x";
    EXPECT_EQ(String_PrintNumber(0.1234, small, sizeof(small)), 0);
    EXPECT_STREQ(small, "");
    char fits[5] = "x";
    EXPECT_EQ(String_PrintNumber(-0.5, fits, sizeof(fits)), 1);
    EXPECT_STREQ(fits, "-0.5");
}

// From a given precision up: "%.12g" spells a whole number of up to twelve digits plainly, and a
// value that needs more digits gets them all.
TEST(StringConvert, PrintNumberPrecision) {
    const struct { double value; int32_t precision; const char* text; } cases[] = {
        {1e6, 12, "1000000"}, {1e6, 6, "1e+06"}, {1e11, 12, "100000000000"}, {1e12, 12, "1e+12"}, {1e20, 12, "1e+20"},
        {1733700000.123456, 12, "1733700000.123456"}, {1733700000.5, 12, "1733700000.5"},
        {0.30000000000000004, 12, "0.30000000000000004"}, {0.1 + 0.7, 12, "0.7999999999999999"}, {0.1, 12, "0.1"},
        {2.5e-6, 12, "2.5e-06"}, {0.0001, 12, "0.0001"}, {123456789012, 12, "123456789012"},
        {1234567890123, 12, "1234567890123"}, {12345678901230, 12, "1.234567890123e+13"},
        {76561198000000001.0, 12, "7.6561198e+16"}, {9007199254740993.0, 12, "9007199254740992"},
        {9223372036854775807.0, 12, "9.223372036854776e+18"}, {5e-324, 12, "4.94065645841e-324"},
        {5e-324, 1, "5e-324"}, {0.5, 12, "0.5"}, {0x1p-1022, 6, "2.2250738585072014e-308"}, {0x1p60, 6, "1.152921504606847e+18"},
        // A power of two whose shortest digits (16 here) are not the nearest at that length.
        {std::ldexp(1.0, 976), 6, "6.3866889905111034e+293"}, {3 * 5e-324, 6, "1.4822e-323"},
        {-1.5, 0, "-1.5"}, {0.1, 40, "0.1"}, {-0.0, 12, "-0"},
        {1.7976931348623157e308, 12, "1.7976931348623157e+308"}, {100.25, 1, "100.25"}, {100, 1, "1e+02"},
        // Past 2^53 every double is whole: plain while its digits reach the units.
        {12345678901234568.0, 6, "12345678901234568"}, {9007199254740994.0, 6, "9007199254740994"},
        {9007199254740994.0, 17, "9007199254740994"}, {9.5e15, 12, "9.5e+15"}, {1e17 + 16, 6, "1.0000000000000002e+17"},
        {1.8e16, 17, "18000000000000000"}, {1.8e16, 16, "1.8e+16"}, {12345678901234560.0, 17, "12345678901234560"},
        {1234567.5, 6, "1234567.5"}, {0.00012345678901234, 6, "0.00012345678901234"}, {9.9e-5, 6, "9.9e-05"},
    };
    for (const auto& c : cases) {
        char text[32] = "x";
        EXPECT_EQ(String_PrintNumberPrecision(c.value, c.precision, text, sizeof(text)), 1) << c.text;
        EXPECT_STREQ(text, c.text);
    }
    char text[32] = "x";
    EXPECT_EQ(String_PrintNumberPrecision(NAN, 12, text, sizeof(text)), 0);
    EXPECT_STREQ(text, "");
}

// ---- Against the standard conversions --------------------------------------------------------

// The kinds of number a program reads and writes: 1..999, two places ("3.14"), 17 digits, an
// exponent anywhere in the range (subnormals included), 40 digits, 19 digits across the range,
// and long texts just below or above the point halfway between two doubles.
constexpr int kNumberKinds = 7;

// The i-th text of a kind, from random bits.
std::string NumberTextOfKind(int kind, std::mt19937_64& random) {
    char text[64];
    const uint64_t bits = random();
    switch (kind) {
    case 0:
        return std::to_string(1 + bits % 999);
    case 1:
        snprintf(text, sizeof(text), "%u.%02u", (unsigned)(bits % 100000), (unsigned)(bits >> 32) % 100);
        return text;
    case 2:
        snprintf(text, sizeof(text), "%.17g", std::ldexp((double)(bits >> 11), -(int)(bits % 40)));
        return text;
    case 3: {
        // 1 to 17 digits, a point after the first, an exponent from -345 to 325.
        std::string t = std::to_string(1 + (bits >> 20) % 9);
        const int digits = (int)(bits % 17);
        if (digits) t += ".";
        for (int i = 0; i < digits; i++) t += (char)('0' + random() % 10);
        return t + ((bits >> 8) & 1 ? "e" : "E") + std::to_string((int)((bits >> 24) % 671) - 345);
    }
    case 5: {
        // 19 digits, all before the exponent or one before the point, from the subnormals up.
        std::string t = std::to_string(1000000000000000000ull + bits % 9000000000000000000ull);
        const int scale = (int)((bits >> 40) % 660) - 342;
        if ((bits >> 20) & 1) return t + "e" + std::to_string(scale - 18);
        return t.substr(0, 1) + "." + t.substr(1) + "e" + std::to_string(scale);
    }
    case 6: {
        // The exact halfway point above a double from 2^-200 to 2^200, its last digit (a 5) moved.
        const double value = std::ldexp(1.0 + (double)(bits >> 12) / 4503599627370496.0, (int)(bits % 401) - 200);
        const long double half = ((long double)value + (long double)std::nextafter(value, HUGE_VAL)) / 2;
        char exact[400];
        snprintf(exact, sizeof(exact), "%.300Le", half);
        std::string digits(exact, strchr(exact, 'e'));
        while (digits.back() == '0') digits.pop_back();
        if ((bits >> 60) & 1)
            digits += "1";
        else
            digits.back() = '4';
        return digits + strchr(exact, 'e');
    }
    default: {
        // 40 digits, the point anywhere among them, sometimes an exponent.
        std::string t;
        const int point = (int)(bits % 41);
        for (int i = 0; i < 40; i++) {
            if (i == point) t += ".";
            t += (char)('0' + random() % 10);
        }
        if ((bits >> 8) & 1) t += "e" + std::to_string((int)((bits >> 16) % 640) - 320);
        return t;
    }
    }
}

// What a number text may be followed by: nothing, another byte, a letter without digits, a point
// or 'x' after an exponent.
const char* const kAfterNumber[] = {"", "", "", "", "kg", "e", "E", "e+", "E-", "ex", "x", ".", "..5", " 1"};

// The standard reader's value of the number text starts with, as String_AtoF holds the range.
double StandardValue(const std::string& text) {
    double value = 0;
    const char* first = text.data() + (text[0] == '-');
    const std::from_chars_result read = std::from_chars(first, text.data() + text.size(), value);
    if (read.ec == std::errc::result_out_of_range) {
        value = strtod(first, nullptr);
        if (std::isinf(value) || value == 0) value = std::isinf(value) ? HUGE_VAL : 0.0;
    }
    return text[0] == '-' ? -value : value;
}

// "%g" at the first precision from `precision` that reads back: no precision below the count of
// the shortest digits that read back does, so the search starts there.
std::string GeneralModel(double value, int precision) {
    char text[64];
    const char* end = std::to_chars(text, text + sizeof(text), value, std::chars_format::scientific).ptr;
    int shortest = 0;
    for (const char* p = text; p < end && *p != 'e'; p++) shortest += *p >= '0' && *p <= '9';
    for (int digits = std::max(precision, shortest);; digits++) {
        end = std::to_chars(text, text + sizeof(text), value, std::chars_format::general, digits).ptr;
        double back = 0;
        std::from_chars(text, end, back);
        if (back == value || digits == 17) return std::string(text, (size_t)(end - text));
    }
}

// Over a seeded sample of a million texts and a million doubles of every kind: the readers give
// what the standard reader gives, bit for bit, and the writers the "%g" text of the fewest digits
// that read back, at the standard writer's length.
TEST(StringConvert, NumbersAgreeWithTheStandardConversions) {
    std::mt19937_64 random(84);
    constexpr int kSamples = 1 << 20;
    int mismatches = 0;
    std::string padded;
    for (int i = 0; i < kSamples && mismatches < 10; i++) {
        const int kind = i % kNumberKinds;
        std::string number = NumberTextOfKind(kind, random);
        if (random() & 1) number.insert(0, "-");
        const std::string text = number + kAfterNumber[random() % std::size(kAfterNumber)];
        const uint64_t expected = std::bit_cast<uint64_t>(StandardValue(text));
        // The length bounds the text: digits after it are not read.
        padded = text + "123e5";
        const uint64_t read = std::bit_cast<uint64_t>(String_AtoF(text.c_str()));
        const uint64_t bounded = std::bit_cast<uint64_t>(String_AtoFLength(padded.data(), text.size()));
        double whole = 0;
        const int64_t parsed = String_ParseNumber(number.data(), number.size(), &whole, nullptr);
        const bool inRange = std::isfinite(StandardValue(number));
        if (read != expected || bounded != expected || parsed != (inRange ? 1 : 0) ||
            (inRange && std::bit_cast<uint64_t>(whole) != std::bit_cast<uint64_t>(StandardValue(number)))) {
            ADD_FAILURE() << "read " << text << " kind " << kind;
            mismatches++;
        }
    }
    std::mt19937_64 values(4884);
    for (int i = 0; i < kSamples && mismatches < 20; i++) {
        double value = 0;
        const uint64_t bits = values();
        switch (i % kNumberKinds) {
        case 0: value = (double)(1 + bits % 999); break;
        case 1: value = (double)(bits % 10000000) / 100; break;
        case 2: value = std::ldexp((double)(bits >> 11), -(int)(bits % 60)); break;
        // Any finite double: subnormals, powers of two and the ends of the range among them.
        case 3: value = std::bit_cast<double>((bits & 0x7FEFFFFFFFFFFFFFull) >> ((bits >> 8) % 4 == 0 ? bits % 64 : 0)); break;
        default: value = strtod(NumberTextOfKind(4, values).c_str(), nullptr); break;
        }
        // Beyond the range: a power of two in it instead.
        if (!std::isfinite(value)) value = std::ldexp(1.0, (int)(bits % 2098) - 1074);
        if (bits >> 63) value = -value;
        char text[32], precise[32];
        ASSERT_EQ(String_PrintNumber(value, text, sizeof(text)), 1) << value;
        ASSERT_EQ(String_PrintNumberPrecision(value, 12, precise, sizeof(precise)), 1) << value;
        double back = 0, backPrecise = 0;
        std::from_chars(text, text + strlen(text), back);
        std::from_chars(precise, precise + strlen(precise), backPrecise);
        if (std::bit_cast<uint64_t>(back) != std::bit_cast<uint64_t>(value) || text != GeneralModel(value, 6) ||
            std::bit_cast<uint64_t>(backPrecise) != std::bit_cast<uint64_t>(value) ||
            precise != GeneralModel(value, 12)) {
            ADD_FAILURE() << std::hexfloat << value << " written " << text << " and " << precise;
            mismatches++;
        }
    }
}

// Where the doubles around a value are not evenly spaced (a power of two) or its nearest text at a
// precision is not its shortest digits (a subnormal), the writer's text at every precision is the
// model's: every power of two and the smallest subnormals, both signs.
TEST(StringConvert, PrintNumberOfUnevenlySpacedValuesIsTheModelsAtEveryPrecision) {
    std::vector<double> values;
    for (int k = -1074; k <= 1023; k++) values.push_back(std::ldexp(1.0, k));
    for (uint64_t m = 1; m < 3000; m++) values.push_back(std::bit_cast<double>(m * 0x9E3779B97ull % (uint64_t{1} << 52)));
    int mismatches = 0;
    for (double value : values)
        for (double v : {value, -value})
            for (int32_t precision = 1; precision <= 17 && mismatches < 20; precision++) {
                char text[32];
                ASSERT_EQ(String_PrintNumberPrecision(v, precision, text, sizeof(text)), 1);
                if (text != GeneralModel(v, precision)) {
                    ADD_FAILURE() << std::hexfloat << v << " at " << precision << ": " << text;
                    mismatches++;
                }
            }
}

// The writer's shortest digits are the standard writer's: at precision 1 the text of any value
// whose neighbours are evenly spaced holds exactly them (a seeded sample of every kind of bit
// pattern, the ends of the range and of each binade among them), and every text reads back.
TEST(StringConvert, PrintNumberDigitsAreTheStandardWritersShortest) {
    std::mt19937_64 random(2024);
    std::vector<double> values = {DBL_MAX, DBL_MIN, std::nextafter(DBL_MIN, 1.0), 0x1.fffffffffffffp-1022,
                                  1e23, 9007199254740993.0, 5e-324, 2.2250738585072011e-308, 1e-300, 1.5e300};
    for (int i = 0; i < (1 << 18); i++) {
        const uint64_t bits = random();
        // Any bits, few significant bits, and the neighbours of a binade's ends.
        const uint64_t pattern = i % 3 == 0 ? bits : i % 3 == 1 ? bits & ~((uint64_t{1} << (bits % 52)) - 1) : bits ^ (bits % 3);
        const double value = std::bit_cast<double>(pattern & 0x7FFFFFFFFFFFFFFFull);
        if (std::isfinite(value) && value != 0) values.push_back(value);
    }
    int mismatches = 0;
    for (double value : values) {
        char text[32], standard[32];
        ASSERT_EQ(String_PrintNumberPrecision(value, 1, text, sizeof(text)), 1);
        const uint64_t bits = std::bit_cast<uint64_t>(value);
        const bool uneven = (bits >> 52) == 0 || (bits & ((uint64_t{1} << 52) - 1)) == 0;
        *std::to_chars(standard, standard + sizeof(standard), value, std::chars_format::scientific).ptr = 0;
        std::string ours, theirs;
        for (const char* p = text; *p && *p != 'e'; p++)
            if (*p >= '0' && *p <= '9' && !(ours.empty() && *p == '0')) ours += *p;
        for (const char* p = standard; *p && *p != 'e'; p++)
            if (*p >= '0' && *p <= '9') theirs += *p;
        while (ours.size() > 1 && ours.back() == '0') ours.pop_back();
        while (theirs.size() > 1 && theirs.back() == '0') theirs.pop_back();
        double back = 0;
        std::from_chars(text, text + strlen(text), back);
        if ((!uneven && ours != theirs) || back != value) {
            ADD_FAILURE() << std::hexfloat << value << ": " << text << " against " << standard;
            if (++mismatches == 10) break;
        }
    }
}

const uint8_t kAB[] = {0xAB, 0xCD};

TEST(StringConvert, Hexadecimal) {
    ExpectWrites({
        WRITE(4, String_ConvertToHex(kAB, 2, 0, d, n), 0, "ABC"),
        WRITE(5, String_ConvertToHex(kAB, 2, 0, d, n), 1, "ABCD"),
        WRITE(16, String_ConvertToHex(kAB, 2, 1, d, n), 1, "abcd"),
        WRITE(16, String_ConvertToHex(kAB, 2, 2, d, n), 1, "ABCD"), // only 1 means lower case
        WRITE(16, String_ConvertToHex(kAB, 0, 1, d, n), 1, ""),
        WRITE(16, String_ConvertToHex(nullptr, 0, 1, d, n), 1, ""),
        WRITE(0, String_ConvertToHex(kAB, 2, 1, d, n), 0, nullptr),
    });
    // `bytes`: those written, the terminator included when there was room for it.
    const struct { std::string text; int32_t length, capacity; int64_t result; std::string bytes; } from[] = {
        {"0x0aFF", 6, 8, 1, std::string("\x0a\xff\0", 3)}, {"", 0, 8, 1, std::string("\0", 1)},
        {"abc", 3, 8, 0, std::string("\xab\0", 2)}, // an odd digit is left unread
        {"12zz", 4, 8, 0, std::string("\x12\0", 2)}, {"0x", 2, 8, 1, std::string("\0", 1)},
        {"010203", 6, 2, 0, "\x01\x02"}, {"0102", 4, 2, 1, "\x01\x02"}, // full: no terminator, the rest unread
        {"01ff9", 4, 8, 1, std::string("\x01\xff\0", 3)}, // only the given length is read
        {"01ff9", 5, 8, 0, std::string("\x01\xff\0", 3)}, {"01ff9", 1, 8, 0, std::string("\0", 1)},
    };
    for (const auto& c : from) {
        Guarded<uint8_t> out(c.capacity);
        int32_t count = -1;
        EXPECT_EQ(String_ConvertFromHexLength(c.text.data(), c.length, out, c.capacity, &count), c.result) << c.text;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), c.bytes.size()), c.bytes) << c.text;
        EXPECT_EQ(count, static_cast<int32_t>(c.bytes.size()) - (c.bytes.size() > 0 && c.bytes.back() == 0 ? 1 : 0));
        EXPECT_TRUE(out.Untouched(static_cast<int32_t>(c.bytes.size()))) << c.text;
        if (c.length == static_cast<int32_t>(c.text.size())) {
            EXPECT_EQ(String_ConvertFromHex(c.text.c_str(), out, c.capacity, nullptr), c.result) << c.text;
        }
    }
}

const uint32_t kAddress = std::bit_cast<uint32_t>(std::array<uint8_t, 4>{192, 168, 0, 1});

TEST(StringConvert, IPv4) {
    const struct { const char* text; int64_t result; uint8_t bytes[4]; uint16_t port; } cases[] = {
        {"10.0.0.1:8080", 1, {10, 0, 0, 1}, 8080}, {"192.168.1.20", 1, {192, 168, 1, 20}, 0},
        {"::1", 1, {127, 0, 0, 1}, 0}, {"256.1.2.3", 1, {0, 1, 2, 3}, 0}, // each part keeps its low byte
        {"10.0.0", 0, {}, 0}, {"10.0.0.1x", 0, {}, 0}, {"10.0.0.1.5", 0, {}, 0}, {"10..0.1", 0, {}, 0},
        {"10.0.0.1:", 0, {}, 0}, {"10.0.0.1:80x", 0, {}, 0}, {"-1.0.0.1", 0, {}, 0}, {" 1.2.3.4", 0, {}, 0},
        {"", 0, {}, 0}, {"::1:80", 0, {}, 0},
    };
    for (const auto& c : cases) {
        uint32_t address = 0xFFFFFFFF;
        uint16_t port = 0xFFFF;
        EXPECT_EQ(String_ConvertToIP(c.text, &address, &port), c.result) << c.text;
        EXPECT_EQ(std::memcmp(&address, c.bytes, 4), 0) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
    uint32_t address = 0;
    const uint8_t expect[4] = {1, 2, 3, 4};
    EXPECT_EQ(String_ConvertToIP("1.2.3.4:99", &address, nullptr), 1);
    EXPECT_EQ(std::memcmp(&address, expect, 4), 0);

    ExpectWrites({
        WRITE(32, String_ConvertFromIP(&kAddress, 80, d, n), 1, "192.168.0.1:80"),
        WRITE(32, String_ConvertFromIP(&kAddress, 0, d, n), 1, "192.168.0.1"),
        WRITE(6, String_ConvertFromIP(&kAddress, 0, d, n), 1, "192.1"),
    });
    uint16_t port = 0;
    char out[32];
    EXPECT_EQ(String_ConvertToIP("10.20.30.40:65535", &address, &port), 1);
    EXPECT_EQ(String_ConvertFromIP(&address, port, out, sizeof out), 1);
    EXPECT_STREQ(out, "10.20.30.40:65535");
}

TEST(StringConvert, GuidsAreFreshLowerCaseHexadecimal) {
    const auto lowerHex = [](const std::string& s) { return s.find_first_not_of("0123456789abcdef") == s.npos; };
    std::set<std::string> seen;
    for (int i = 0; i < 50; i++) {
        char plain[40], dashed[40];
        EXPECT_EQ(String_Guid(plain, sizeof plain, 0), 1);
        EXPECT_EQ(std::strlen(plain), 32u);
        EXPECT_TRUE(lowerHex(plain)) << plain;
        seen.insert(plain);
        EXPECT_EQ(String_Guid(dashed, sizeof dashed, 1), 1);
        const std::string d = dashed;
        ASSERT_EQ(d.size(), 35u) << d;
        EXPECT_EQ(d[8] + std::string() + d[13] + d[18], "---") << d;
        EXPECT_TRUE(lowerHex(d.substr(0, 8) + d.substr(9, 4) + d.substr(14, 4) + d.substr(19))) << d;
    }
    EXPECT_EQ(seen.size(), 50u);
    Guarded<char> small(9); // cut to the capacity, always terminated
    EXPECT_EQ(String_Guid(small, 9, 1), 1);
    EXPECT_EQ(strnlen(small, 9), 8u);
    EXPECT_TRUE(small.Untouched());
}

TEST(StringConvert, RandomLettersAndDigits) {
    // Odd values give capitals ('A' + value) and even ones small letters, then the digits 1-9:
    // the letters that can occur are B, D, ..., Z and a, c, ..., y.
    std::string many;
    for (int i = 0; i < 40; i++) {
        Guarded<char> out(33);
        EXPECT_EQ(String_Random(out, 33), 1);
        EXPECT_EQ(std::strlen(out), 32u);
        EXPECT_TRUE(out.Untouched());
        many += out.data();
    }
    for (char c : many) {
        if (c >= 'A' && c <= 'Z') {
            EXPECT_EQ((c - 'A') % 2, 1) << c;
        } else if (c >= 'a' && c <= 'z') {
            EXPECT_EQ((c - 'a') % 2, 0) << c;
        } else {
            EXPECT_TRUE(c >= '1' && c <= '9') << c;
        }
    }
    ExpectWrites({WRITE_IN("xy", 3, String_Random(d, 1), 1, ""), WRITE(0, String_Random(d, n), 1, nullptr)});
}

TEST(StringConvert, NumbersAndSizes) {
    ExpectWrites({
        WRITE(64, String_NumberToString(d, n, 0, 2, 0, 0, 3.14159), 1, "3.14"),
        WRITE(64, String_NumberToString(d, n, 0, 0, 0, 0, 2.25), 1, "2"),
        WRITE(64, String_NumberToString(d, n, 1, 2, 0, 0, 1234567.891), 1, "1,234,567.89"),
        WRITE(64, String_NumberToString(d, n, 1, 0, 0, 0, -1234567.0), 1, "-1,234,567"),
        WRITE(64, String_NumberToString(d, n, 1, 0, 0, 0, 123.0), 1, "123"),
        WRITE(64, String_NumberToString(d, n, 1, 0, 0, 0, 1000.0), 1, "1,000"),
        WRITE(64, String_NumberToString(d, n, 0, 4, 1, 0, 1.5), 1, "1.5"),
        WRITE(64, String_NumberToString(d, n, 0, 4, 1, 0, 2.0), 1, "2"),
        WRITE(64, String_NumberToString(d, n, 0, 9, 1, 0, 100.0), 1, "100"), // 9 decimals: 0, zeros kept
        WRITE(64, String_NumberToString(d, n, 0, -1, 0, 0, 7.25), 1, "7"),
        WRITE(64, String_NumberToString(d, n, 1, 8, 1, 0, 1234.125), 1, "1,234.125"),
        WRITE(64, String_NumberToString(d, n, 0, 0, 1, 0, 100.0), 1, "100"),
        WRITE(6, String_NumberToString(d, n, 1, 0, 0, 0, 1234567.0), 1, "1,234"),
        WRITE(64, String_FormatMetric(d, n, 1536, 0, 1), 1, "1.50 KB"),
        WRITE(64, String_FormatMetric(d, n, 512, 0, 2), 1, "512 B/s"),
        WRITE(64, String_FormatMetric(d, n, 512, 0, 3), 1, "4.00 Kb/s"),
        WRITE(64, String_FormatMetric(d, n, 1024, 0, 1), 1, "1024 B"),
        WRITE(64, String_FormatMetric(d, n, 1025, 0, 1), 1, "1.00 KB"),
        WRITE(64, String_FormatMetric(d, n, 1572864, 0, 2), 1, "1.50 MB/s"),
        WRITE(64, String_FormatMetric(d, n, 1048576, 0, 1), 1, "1024.00 KB"),
        WRITE(64, String_FormatMetric(d, n, 3221225472ull, 0, 1), 1, "3.00 GB"),
        WRITE(64, String_FormatMetric(d, n, 512, 1024, 1), 1, "0.50 KB"),
        WRITE(64, String_FormatMetric(d, n, 512, 0x100000, 1), 1, "0.00 MB"),
        WRITE(64, String_FormatMetric(d, n, 1073741824ull, 0x40000000, 2), 1, "1.00 GB/s"),
        WRITE(64, String_FormatMetric(d, n, 5000, 1000, 1), 1, "5000 B"), // other units: the whole number
        WRITE(64, String_FormatMetric(d, n, 100, 7, 3), 1, "800 b/s"),
        WRITE(64, String_FormatMetric(d, n, UINT64_MAX, 1, 1), 1, "18446744073709551615 B"),
    });
}

TEST(StringConvert, DecodeBoolean) {
    const struct { const char* text; int64_t def, result, value; } cases[] = {
        {"", 1, 1, 1}, {"", 0, 1, 0}, {"maybe", 1, 0, 1}, {"off", 1, 1, 0}, {"On", 0, 1, 1}, {"TRUE", 0, 1, 1},
        {"false", 1, 1, 0}, {"yes", 0, 1, 1}, {"No", 1, 1, 0}, {"1", 0, 1, 1}, {"0", 1, 1, 0}, {"true ", 0, 0, 0},
        {"2", 7, 0, 7}, {"truetruetrue", 0, 0, 0}, {"YESYESYESY", 0, 0, 0},
    };
    for (const auto& c : cases) {
        int64_t value = -99;
        EXPECT_EQ(String_DecodeBoolean(c.text, &value, c.def), c.result) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(StringConvert, Versions) {
    const struct { const char* text; int64_t result; int32_t a, b, c, d; } cases[] = {
        {"V1.2.3.4", 1, 1, 2, 3, 4}, {"1.2b", 0, 1, 2, 0, 0}, {"v10,20,30,40", 1, 10, 20, 30, 40},
        {"1", 1, 1, 0, 0, 0}, {"1.2", 1, 1, 2, 0, 0},
        {"1.2.3.4beta", 1, 1, 2, 3, 4}, // the fourth field is not examined
        {"1.2x.3.4", 0, 1, 2, 3, 4}, // reading goes on after a bad byte
        {"", 0, 0, 0, 0, 0}, {"v", 0, 0, 0, 0, 0}, {"x1.2", 0, 0, 2, 0, 0}, {"1.2.3.4.5", 1, 1, 2, 3, 4},
        // The fourth field is its leading digits only: no hexadecimal form, no sign.
        {"1.2.3.0x10", 1, 1, 2, 3, 0}, {"1.2.3.-4", 1, 1, 2, 3, 0}, {"1.2.3.+4", 1, 1, 2, 3, 0},
        // A field too large for 32 bits stays at the largest value instead of wrapping round.
        {"4294967297.2147483648.99999999999", 1, INT32_MAX, INT32_MAX, INT32_MAX, 0},
    };
    for (const auto& c : cases) {
        int32_t v[4] = {-1, -1, -1, -1};
        EXPECT_EQ(String_DecodeVersion(c.text, &v[0], &v[1], &v[2], &v[3]), c.result) << c.text;
        EXPECT_EQ(std::vector<int32_t>(v, v + 4), (std::vector<int32_t>{c.a, c.b, c.c, c.d})) << c.text;
    }
    int32_t b = 0;
    EXPECT_EQ(String_DecodeVersion("3.4.5", nullptr, &b, nullptr, nullptr), 1);
    EXPECT_EQ(b, 4);

    int32_t r = 99;
    ExpectResults({
        RESULT(String_CompareVersion("1.10", "1.9", &r), 1), RESULT(r, 1),
        RESULT(String_CompareVersion("1.9", "1.10", &r), 1), RESULT(r, -1),
        RESULT(String_CompareVersion("v2.0.0.1", "2.0.0.1", &r), 1), RESULT(r, 0),
        RESULT(String_CompareVersion("1.2.3.4", "1.2.3.5", &r), 1), RESULT(r, -1),
        RESULT(String_CompareVersion("1.2147483648", "1.5", &r), 1), RESULT(r, 1),
        RESULT((r = 99, String_CompareVersion("1.x", "1.0", &r)), 0), RESULT(r, 0),
        RESULT((r = 99, String_CompareVersion("1.0", "", &r)), 0), RESULT(r, 0),
    });
    ExpectWrites({
        WRITE(32, String_EncodeVersion(d, n, 6, 2, 42, 0), 1, "6.2.42.0"),
        WRITE(4, String_EncodeVersion(d, n, 10, 20, 30, 40), 1, "10."),
        WRITE(32, String_ConvertVersion(d, n, "v1.2.3.4", "%d_%d_%d_%d"), 1, "1_2_3_4"),
        WRITE(32, String_ConvertVersion(d, n, "7.8", "%d.%d"), 1, "7.8"),
        WRITE(32, String_ConvertVersion(d, n, "1.2b", "%d-%d-%d-%d"), 0, "1-2-0-0"),
    });
}

TEST(StringConvertDeathTest, BytesAreRequiredOnlyWhenCounted) {
    ExpectAborts({{"ConvertToHex", [] {
                       char out[8];
                       String_ConvertToHex(nullptr, 2, 1, out, sizeof out);
                   },
                   "Pointer is NULL\n"}});
}

} // namespace
