// Tests of the text library's conversions: numbers, hexadecimal, IPv4, identifiers, random
// text, sizes, booleans and versions.
#include "core/runtime/string.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>

#include "tests/support/abort_hook.h"

TEST(StringConvert, AtoI64) {
    struct Case {
        const char* text;
        int64_t value;
    } cases[] = {
        {"-0x10", 16},
        {"-16", -16},
        {"12abc", 12},
        {"+42", 42},
        {"0x1F", 31},
        {"0XfF", 255},
        {"0x", 0},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {" 5", 0},
        {"007", 7},
        {"0x1g", 1},
        {"+-5", 0},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"18446744073709551617", 1}, // wraps
        {"0xFFFFFFFFFFFFFFFF", -1},
    };
    for (const Case& c : cases) EXPECT_EQ(String_AtoI64(c.text), c.value) << c.text;
    EXPECT_EQ(String_AtoI64(nullptr), 0);
    EXPECT_EQ(String_AtoI("4294967297"), 1);
    EXPECT_EQ(String_AtoI("-2"), -2);
}

TEST(StringConvert, AtoU64) {
    EXPECT_EQ(String_AtoU64("-5"), 0u);
    EXPECT_EQ(String_AtoU64("-0x5"), 0u);
    EXPECT_EQ(String_AtoU64("+5"), 5u);
    EXPECT_EQ(String_AtoU64("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(String_AtoU64("0xdeadBEEF"), 0xDEADBEEFu);
    EXPECT_EQ(String_AtoU64(nullptr), 0u);
    EXPECT_EQ(String_AtoU("4294967296"), 0u);
    EXPECT_EQ(String_AtoU("4294967295"), UINT32_MAX);
    EXPECT_EQ(String_AtoP("0x1000"), static_cast<uintptr_t>(0x1000));
}

TEST(StringConvert, HexInternal) {
    uint64_t v = 99;
    EXPECT_EQ(String_ConvertToHexInternal("0x1A2b", &v), 1);
    EXPECT_EQ(v, 0x1A2Bu);
    EXPECT_EQ(String_ConvertToHexInternal("0X", &v), 1);
    EXPECT_EQ(v, 0u);
    v = 99;
    EXPECT_EQ(String_ConvertToHexInternal("1A", &v), 0);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(String_ConvertToHexInternal("-0x1", &v), 0);
}

TEST(StringConvert, AtoF) {
    struct Case {
        const char* text;
        double value;
    } cases[] = {
        {"-1.5e2", -150.0},
        {"2.5e-1", 0.25},
        {"0.1", 0.1},
        {"3", 3.0},
        {".5", 0.5},
        {"-.5", -0.5},
        {"1.", 1.0},
        {"1.2.3", 1.2},
        {"1e3", 1000.0},
        {"1E+3", 1000.0},
        {"5e", 5.0},
        {"0x10", 16.0},
        {"-0x10", 16.0},
        {"abc", 0.0},
        {"", 0.0},
        {"+1.5", 0.0},
        {"12.5kg", 12.5},
        {"1e-3", 0.001},
        {"123.456", 123.456},
        {"1e0x2", 100.0}, // the exponent is read by the same rules as the number
        {"1e400", HUGE_VAL},
        {"1e-400", 0.0},
        {"0.00000000000000000000000000000001", 1e-32},
        {"12345678901234567890123", 12345678901234567890123.0},
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(String_AtoF(c.text), c.value) << c.text;
    EXPECT_EQ(String_AtoF("0.1"), 0.1);
    EXPECT_EQ(String_AtoF("2.5e-1"), 0.25);
    EXPECT_EQ(String_AtoF(nullptr), 0.0);
    // A long run of exponents is read once, not nested.
    std::string nested = "1";
    for (int i = 0; i < 10000; i++) nested += "e1";
    EXPECT_EQ(String_AtoF(nested.c_str()), 10.0);
}

TEST(StringConvert, IsNumeric) {
    for (const char* yes : {"", "-", "123", "-1.5", "1.2.3", "..", "-0"})
        EXPECT_EQ(String_IsNumeric(yes), 1) << yes;
    for (const char* no : {"+1", "1e5", " 1", "1 ", "--1", "0x10", "1-"})
        EXPECT_EQ(String_IsNumeric(no), 0) << no;
}

TEST(StringConvert, ToHex) {
    const uint8_t bytes[] = {0xAB, 0xCD};
    char out[16];
    std::memset(out, 0x5A, sizeof out);
    EXPECT_EQ(String_ConvertToHex(bytes, 2, 0, out, 4), 0);
    EXPECT_STREQ(out, "ABC");
    EXPECT_EQ(out[4], 0x5A);
    EXPECT_EQ(String_ConvertToHex(bytes, 2, 0, out, 5), 1);
    EXPECT_STREQ(out, "ABCD");
    EXPECT_EQ(String_ConvertToHex(bytes, 2, 1, out, sizeof out), 1);
    EXPECT_STREQ(out, "abcd");
    EXPECT_EQ(String_ConvertToHex(bytes, 2, 2, out, sizeof out), 1); // only 1 means lower case
    EXPECT_STREQ(out, "ABCD");
    EXPECT_EQ(String_ConvertToHex(bytes, 0, 1, out, sizeof out), 1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(String_ConvertToHex(nullptr, 0, 1, out, sizeof out), 1);
    std::memset(out, 0x5A, sizeof out);
    EXPECT_EQ(String_ConvertToHex(bytes, 2, 1, out, 0), 0);
    EXPECT_EQ(out[0], 0x5A);
}

TEST(StringConvert, FromHex) {
    uint8_t out[8];
    int32_t count = -1;
    std::memset(out, 0x5A, sizeof out);
    EXPECT_EQ(String_ConvertFromHex("0x0aFF", out, sizeof out, &count), 1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(out[2], 0); // terminated when room is left

    EXPECT_EQ(String_ConvertFromHex("abc", out, sizeof out, &count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(out[0], 0xAB);

    EXPECT_EQ(String_ConvertFromHex("12zz", out, sizeof out, &count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(String_ConvertFromHex("", out, sizeof out, &count), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(String_ConvertFromHex("0x", out, sizeof out, &count), 1);
    EXPECT_EQ(count, 0);

    // Full capacity: no terminator past it, and the rest of the text is reported unread.
    std::memset(out, 0x5A, sizeof out);
    EXPECT_EQ(String_ConvertFromHex("010203", out, 2, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(out[2], 0x5A);
    EXPECT_EQ(String_ConvertFromHex("0102", out, 2, &count), 1);
    EXPECT_EQ(out[2], 0x5A);

    // The length form reads only the given bytes.
    const char raw[5] = {'0', '1', 'f', 'f', '9'};
    EXPECT_EQ(String_ConvertFromHexLength(raw, 4, out, sizeof out, &count), 1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(String_ConvertFromHexLength(raw, 5, out, sizeof out, nullptr), 0);
    EXPECT_EQ(String_ConvertFromHexLength(raw, 1, out, sizeof out, &count), 0);
    EXPECT_EQ(count, 0);
}

TEST(StringConvert, ToIP) {
    struct Case {
        const char* text;
        int64_t result;
        uint8_t bytes[4];
        uint16_t port;
    } cases[] = {
        {"10.0.0.1:8080", 1, {10, 0, 0, 1}, 8080},
        {"192.168.1.20", 1, {192, 168, 1, 20}, 0},
        {"::1", 1, {127, 0, 0, 1}, 0},
        {"256.1.2.3", 1, {0, 1, 2, 3}, 0}, // each part keeps its low byte
        {"10.0.0", 0, {0, 0, 0, 0}, 0},
        {"10.0.0.1x", 0, {0, 0, 0, 0}, 0},
        {"10.0.0.1.5", 0, {0, 0, 0, 0}, 0},
        {"10..0.1", 0, {0, 0, 0, 0}, 0},
        {"10.0.0.1:", 0, {0, 0, 0, 0}, 0},
        {"10.0.0.1:80x", 0, {0, 0, 0, 0}, 0},
        {"-1.0.0.1", 0, {0, 0, 0, 0}, 0},
        {" 1.2.3.4", 0, {0, 0, 0, 0}, 0},
        {"", 0, {0, 0, 0, 0}, 0},
        {"::1:80", 0, {0, 0, 0, 0}, 0},
    };
    for (const Case& c : cases) {
        uint32_t address = 0xFFFFFFFF;
        uint16_t port = 0xFFFF;
        EXPECT_EQ(String_ConvertToIP(c.text, &address, &port), c.result) << c.text;
        EXPECT_EQ(std::memcmp(&address, c.bytes, 4), 0) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
    uint32_t address = 0;
    EXPECT_EQ(String_ConvertToIP("1.2.3.4:99", &address, nullptr), 1);
    const uint8_t expect[4] = {1, 2, 3, 4};
    EXPECT_EQ(std::memcmp(&address, expect, 4), 0);
}

TEST(StringConvert, FromIP) {
    const uint8_t bytes[4] = {192, 168, 0, 1};
    uint32_t address;
    std::memcpy(&address, bytes, 4);
    char out[32];
    EXPECT_EQ(String_ConvertFromIP(&address, 80, out, sizeof out), 1);
    EXPECT_STREQ(out, "192.168.0.1:80");
    EXPECT_EQ(String_ConvertFromIP(&address, 0, out, sizeof out), 1);
    EXPECT_STREQ(out, "192.168.0.1");
    char small[8];
    std::memset(small, 0x5A, sizeof small);
    String_ConvertFromIP(&address, 0, small, 6);
    EXPECT_STREQ(small, "192.1");
    EXPECT_EQ(small[6], 0x5A);
    // Round trip through the parser.
    uint32_t back = 0;
    uint16_t port = 0;
    EXPECT_EQ(String_ConvertToIP("10.20.30.40:65535", &back, &port), 1);
    EXPECT_EQ(String_ConvertFromIP(&back, port, out, sizeof out), 1);
    EXPECT_STREQ(out, "10.20.30.40:65535");
}

namespace {

bool AllLowerHex(const std::string& s) {
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

} // namespace

TEST(StringConvert, Guid) {
    char plain[40], dashed[40];
    EXPECT_EQ(String_Guid(plain, sizeof plain, 0), 1);
    EXPECT_EQ(std::strlen(plain), 32u);
    EXPECT_TRUE(AllLowerHex(plain)) << plain;
    EXPECT_EQ(String_Guid(dashed, sizeof dashed, 1), 1);
    std::string d = dashed;
    ASSERT_EQ(d.size(), 35u) << d;
    EXPECT_EQ(d[8], '-');
    EXPECT_EQ(d[13], '-');
    EXPECT_EQ(d[18], '-');
    EXPECT_TRUE(AllLowerHex(d.substr(0, 8) + d.substr(9, 4) + d.substr(14, 4) + d.substr(19))) << d;
    // Fresh each time.
    std::set<std::string> seen;
    for (int i = 0; i < 50; i++) {
        char g[40];
        String_Guid(g, sizeof g, 0);
        seen.insert(g);
    }
    EXPECT_EQ(seen.size(), 50u);
    // Cut to the capacity, always terminated.
    char small[12];
    std::memset(small, 0x5A, sizeof small);
    EXPECT_EQ(String_Guid(small, 9, 1), 1);
    EXPECT_EQ(std::strlen(small), 8u);
    EXPECT_EQ(small[9], 0x5A);
}

TEST(StringConvert, Random) {
    char out[64];
    std::memset(out, 0x5A, sizeof out);
    EXPECT_EQ(String_Random(out, 33), 1);
    EXPECT_EQ(std::strlen(out), 32u);
    EXPECT_EQ(out[33], 0x5A);
    for (int i = 0; i < 32; i++) {
        char c = out[i];
        EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '1' && c <= '9')) << c;
    }
    // Only odd values give upper case ('A' + value) and even ones lower case: the letters
    // that can occur are B, D, ..., Z and a, c, ..., y.
    std::string many;
    for (int i = 0; i < 40; i++) {
        String_Random(out, sizeof out);
        many += out;
    }
    for (char c : many) {
        if (c >= 'A' && c <= 'Z') {
            EXPECT_EQ((c - 'A') % 2, 1) << c;
        } else if (c >= 'a' && c <= 'z') {
            EXPECT_EQ((c - 'a') % 2, 0) << c;
        }
    }
    EXPECT_EQ(String_Random(out, 1), 1);
    EXPECT_STREQ(out, "");
    std::memset(out, 0x5A, sizeof out);
    EXPECT_EQ(String_Random(out, 0), 1);
    EXPECT_EQ(out[0], 0x5A);
}

TEST(StringConvert, NumberToString) {
    struct Case {
        int32_t group, decimals, trimZeros;
        double value;
        const char* out;
    } cases[] = {
        {0, 2, 0, 3.14159, "3.14"},
        {0, 0, 0, 2.25, "2"},
        {1, 2, 0, 1234567.891, "1,234,567.89"},
        {1, 0, 0, -1234567.0, "-1,234,567"},
        {1, 0, 0, 123.0, "123"},
        {1, 0, 0, 1000.0, "1,000"},
        {0, 4, 1, 1.5, "1.5"},
        {0, 4, 1, 2.0, "2"},
        {0, 9, 1, 100.0, "100"}, // 9 decimals prints as 0 and keeps its zeros
        {0, -1, 0, 7.25, "7"},
        {1, 8, 1, 1234.125, "1,234.125"},
        {0, 0, 1, 100.0, "100"},
    };
    for (const Case& c : cases) {
        char out[64];
        EXPECT_EQ(String_NumberToString(out, sizeof out, c.group, c.decimals, c.trimZeros, 0, c.value), 1);
        EXPECT_STREQ(out, c.out) << c.value;
    }
    char small[8];
    std::memset(small, 0x5A, sizeof small);
    String_NumberToString(small, 6, 1, 0, 0, 0, 1234567.0);
    EXPECT_STREQ(small, "1,234");
    EXPECT_EQ(small[6], 0x5A);
}

TEST(StringConvert, FormatMetric) {
    struct Case {
        uint64_t value;
        uint32_t unit;
        int32_t mode;
        const char* out;
    } cases[] = {
        {1536, 0, 1, "1.50 KB"},
        {512, 0, 2, "512 B/s"},
        {512, 0, 3, "4.00 Kb/s"},
        {1024, 0, 1, "1024 B"},
        {1025, 0, 1, "1.00 KB"},
        {1572864, 0, 2, "1.50 MB/s"},
        {1048576, 0, 1, "1024.00 KB"},
        {3221225472ull, 0, 1, "3.00 GB"},
        {512, 1024, 1, "0.50 KB"},
        {512, 0x100000, 1, "0.00 MB"},
        {1073741824ull, 0x40000000, 2, "1.00 GB/s"},
        {5000, 1000, 1, "5000 B"}, // any other unit prints the whole number
        {100, 7, 3, "800 b/s"},
        {0xFFFFFFFFFFFFFFFFull, 1, 1, "18446744073709551615 B"},
    };
    for (const Case& c : cases) {
        char out[64];
        EXPECT_EQ(String_FormatMetric(out, sizeof out, c.value, c.unit, c.mode), 1);
        EXPECT_STREQ(out, c.out) << c.value << " " << c.unit << " " << c.mode;
    }
}

TEST(StringConvert, DecodeBoolean) {
    struct Case {
        const char* text;
        int64_t def;
        int64_t result;
        int64_t value;
    } cases[] = {
        {"", 1, 1, 1},           {"", 0, 1, 0},
        {"maybe", 1, 0, 1},      {"off", 1, 1, 0},
        {"On", 0, 1, 1},         {"TRUE", 0, 1, 1},
        {"false", 1, 1, 0},      {"yes", 0, 1, 1},
        {"No", 1, 1, 0},         {"1", 0, 1, 1},
        {"0", 1, 1, 0},          {"true ", 0, 0, 0},
        {"2", 7, 0, 7},          {"truetruetrue", 0, 0, 0},
        {"YESYESYESY", 0, 0, 0},
    };
    for (const Case& c : cases) {
        int64_t value = -99;
        EXPECT_EQ(String_DecodeBoolean(c.text, &value, c.def), c.result) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(StringConvert, DecodeVersion) {
    struct Case {
        const char* text;
        int64_t result;
        int32_t a, b, c, d;
    } cases[] = {
        {"V1.2.3.4", 1, 1, 2, 3, 4},
        {"1.2b", 0, 1, 2, 0, 0},
        {"v10,20,30,40", 1, 10, 20, 30, 40},
        {"1", 1, 1, 0, 0, 0},
        {"1.2", 1, 1, 2, 0, 0},
        {"1.2.3.4beta", 1, 1, 2, 3, 4}, // the fourth field is not examined
        {"1.2x.3.4", 0, 1, 2, 3, 4},    // reading goes on after a bad byte
        {"", 0, 0, 0, 0, 0},
        {"v", 0, 0, 0, 0, 0},
        {"x1.2", 0, 0, 2, 0, 0},
        {"1.2.3.4.5", 1, 1, 2, 3, 4},
    };
    for (const Case& c : cases) {
        int32_t a = -1, b = -1, cc = -1, d = -1;
        EXPECT_EQ(String_DecodeVersion(c.text, &a, &b, &cc, &d), c.result) << c.text;
        EXPECT_EQ(a, c.a) << c.text;
        EXPECT_EQ(b, c.b) << c.text;
        EXPECT_EQ(cc, c.c) << c.text;
        EXPECT_EQ(d, c.d) << c.text;
    }
    int32_t b = 0;
    EXPECT_EQ(String_DecodeVersion("3.4.5", nullptr, &b, nullptr, nullptr), 1);
    EXPECT_EQ(b, 4);
}

TEST(StringConvert, CompareVersion) {
    int32_t result = 99;
    EXPECT_EQ(String_CompareVersion("1.10", "1.9", &result), 1);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(String_CompareVersion("1.9", "1.10", &result), 1);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(String_CompareVersion("v2.0.0.1", "2.0.0.1", &result), 1);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(String_CompareVersion("1.2.3.4", "1.2.3.5", &result), 1);
    EXPECT_EQ(result, -1);
    result = 99;
    EXPECT_EQ(String_CompareVersion("1.x", "1.0", &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(String_CompareVersion("1.0", "", &result), 0);
}

TEST(StringConvert, EncodeAndConvertVersion) {
    char out[32];
    EXPECT_EQ(String_EncodeVersion(out, sizeof out, 6, 2, 42, 0), 1);
    EXPECT_STREQ(out, "6.2.42.0");
    EXPECT_EQ(String_ConvertVersion(out, sizeof out, "v1.2.3.4", "%d_%d_%d_%d"), 1);
    EXPECT_STREQ(out, "1_2_3_4");
    EXPECT_EQ(String_ConvertVersion(out, sizeof out, "7.8", "%d.%d"), 1);
    EXPECT_STREQ(out, "7.8");
    EXPECT_EQ(String_ConvertVersion(out, sizeof out, "1.2b", "%d-%d-%d-%d"), 0);
    EXPECT_STREQ(out, "1-2-0-0");
    char small[6];
    std::memset(small, 0x5A, sizeof small);
    String_EncodeVersion(small, 4, 10, 20, 30, 40);
    EXPECT_STREQ(small, "10.");
    EXPECT_EQ(small[4], 0x5A);
}

TEST(StringConvertDeathTest, NullStringsAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    uint32_t address;
    int64_t value;
    char out[8];
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_ConvertToIP(nullptr, &address, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_DecodeBoolean(nullptr, &value, 0);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_DecodeVersion(nullptr, nullptr, nullptr, nullptr, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_ConvertFromHex(nullptr, out, 8, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_IsNumeric(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_Guid(nullptr, 40, 0);
        },
        AbortRegex("Pointer is NULL\n"));
}
