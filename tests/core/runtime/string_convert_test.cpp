// Tests of the text library's conversions: numbers, hexadecimal, IPv4, identifiers, random
// text, sizes, booleans and versions.
#include "core/runtime/string.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
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
        {"0.1", 1, 0.1, 0}, {"1.05", 1, 1.05, 1}, {"10.0025e2", 1, 1000.25, 1000}, {"1.5e2", 1, 150, 150}, {"1e22", 1, 1e22, INT64_MAX}, {"123e-2", 1, 1.23, 1},
        // No number, or none a reader can give: refused, never 0.
        {"", 0, 0, 0}, {"-", 0, 0, 0}, {"+", 0, 0, 0}, {".", 0, 0, 0}, {"e5", 0, 0, 0}, {"1e", 0, 0, 0},
        {"1e+", 0, 0, 0}, {"0x", 0, 0, 0}, {"0xg", 0, 0, 0}, {"1.2.3", 0, 0, 0}, {"12.5kg", 0, 0, 0},
        {" 5", 0, 0, 0}, {"5 ", 0, 0, 0}, {"--5", 0, 0, 0}, {"inf", 0, 0, 0}, {"nan", 0, 0, 0},
        {"1e999", 0, 0, 0}, {"-1e999", 0, 0, 0}, {"0,25", 0, 0, 0}, {"0x1p3", 0, 0, 0}, {"1e1.5", 0, 0, 0},
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
