// Tests of the system formatter: every conversion's known answers, buffer bounds at every
// capacity, the overrun log line, the engine's callbacks and the abort texts.

#include "core/runtime/string_print.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/runtime/debug.h"
#include "tests/support/abort_hook.h"

namespace {

// Prints into a large buffer and checks that the result is the terminated length.
std::string Format(const char* format, ...) {
    char buffer[4096];
    memset(buffer, 0x7E, sizeof(buffer));
    va_list args;
    va_start(args, format);
    const int32_t length = String_VPrint(buffer, sizeof(buffer), format, args);
    va_end(args);
    EXPECT_GE(length, 0);
    EXPECT_LT(length, static_cast<int32_t>(sizeof(buffer)));
    EXPECT_EQ(buffer[length], 0) << format;
    return std::string(buffer, length);
}

// Collects what the log receives while a test runs.
std::string g_logged;
uint32_t LoggingFlags() {
    return DEBUG_FLAG_CONSOLE;
}
int64_t CaptureLog(const char* text) {
    g_logged += text;
    return 1;
}

class LogCapture {
  public:
    LogCapture() {
        g_logged.clear();
        Debug_FlagsOverride(LoggingFlags);
        Debug_PrintOverride(CaptureLog);
    }
    ~LogCapture() {
        Debug_PrintOverride(nullptr);
        Debug_FlagsOverride(nullptr);
    }
};

const std::string kOverrunLine = "\n\nERROR: The next string overran the print buffer!\nLINE: ";

TEST(StringPrint, IntegersGiveTheKnownAnswers) {
    EXPECT_EQ(Format("%d", -5), "-5");
    EXPECT_EQ(Format("%+d", 5), "+5");
    EXPECT_EQ(Format("% d", 5), " 5");
    EXPECT_EQ(Format("%05d", -42), "-0042");
    EXPECT_EQ(Format("%-4d|", 7), "7   |");
    EXPECT_EQ(Format("%i", 123), "123");
    EXPECT_EQ(Format("%d", INT32_MIN), "-2147483648");
    EXPECT_EQ(Format("%u", 4294967295u), "4294967295");
    EXPECT_EQ(Format("%+u", 7u), "7"); // unsigned rows never show a sign
    EXPECT_EQ(Format("%.5d", 42), "00042");
    EXPECT_EQ(Format("%.0d", 0), "0");
    EXPECT_EQ(Format("%8.3d|", -7), "    -007|");
    EXPECT_EQ(Format("%-8d|", -7), "-7      |");
    EXPECT_EQ(Format("%*d|", 5, 1), "    1|");
    EXPECT_EQ(Format("%*d|", -5, 1), "1    |");
    EXPECT_EQ(Format("%.*d", 4, 9), "0009");
    EXPECT_EQ(Format("%.*d", -4, 9), "0009"); // a negative precision counts by its magnitude
    EXPECT_EQ(Format("%+05d", 42), "+0042");
    EXPECT_EQ(Format("%d %d %d", 1, 22, 333), "1 22 333");
}

TEST(StringPrint, LengthPrefixesChooseTheArgumentWidth) {
    const uint64_t big = 0x123456789ULL;
    EXPECT_EQ(Format("%lu", big), "591751049"); // low 32 bits only
    EXPECT_EQ(Format("%llu", big), "4886718345");
    EXPECT_EQ(Format("%I64u", big), "4886718345");
    EXPECT_EQ(Format("%zu", static_cast<size_t>(big)), "4886718345");
    EXPECT_EQ(Format("%lld", INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(Format("%I64d", int64_t{-1}), "-1");
    EXPECT_EQ(Format("%llu", UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(Format("%llx", UINT64_MAX), "ffffffffffffffff");
    EXPECT_EQ(Format("%llo", UINT64_MAX), "1777777777777777777777");
    // An I or I6 that does not form I64 is passed over.
    EXPECT_EQ(Format("%Id|%I6d", 12, 34), "12|34");
    // The arguments after a 64-bit one are still read in step.
    EXPECT_EQ(Format("%llu %d %s", big, -3, "x"), "4886718345 -3 x");
}

TEST(StringPrint, HexOctalAndPointer) {
    EXPECT_EQ(Format("%x", 255), "ff");
    EXPECT_EQ(Format("%X", 255), "FF");
    EXPECT_EQ(Format("%#X", 255), "0XFF");
    EXPECT_EQ(Format("%#x", 255), "0xff");
    EXPECT_EQ(Format("%#o", 8), "010");
    EXPECT_EQ(Format("%o", 8), "10");
    EXPECT_EQ(Format("%#x", 0), "0");
    EXPECT_EQ(Format("%x", -1), "ffffffff");
    EXPECT_EQ(Format("%08x", 0xBEEF), "0000beef");
    EXPECT_EQ(Format("%p", reinterpret_cast<void*>(0x1234)), "0000000000001234");
    EXPECT_EQ(Format("%p", reinterpret_cast<void*>(0xABCDEF0123456789ULL)), "ABCDEF0123456789");
    EXPECT_EQ(Format("%#p", reinterpret_cast<void*>(0x1234)), "0x0000000000001234");
    EXPECT_EQ(Format("%6p|", reinterpret_cast<void*>(0x1234)), "  1234|");
    EXPECT_EQ(Format("%06p|", reinterpret_cast<void*>(0x1234)), "001234|");
}

TEST(StringPrint, Ordinals) {
    const struct {
        int32_t value;
        const char* text;
    } cases[] = {{1, "1st"},   {2, "2nd"},     {3, "3rd"},       {4, "4th"},     {11, "11th"},
                 {12, "12th"}, {13, "13th"},   {21, "21st"},     {111, "111th"}, {0, "0th"},
                 {22, "22nd"}, {103, "103rd"}, {1012, "1012th"}, {-1, "-1st"},   {-13, "-13th"}};
    for (const auto& c : cases) EXPECT_EQ(Format("%r", c.value), c.text) << c.value;
    EXPECT_EQ(Format("%llr", int64_t{1000000000002}), "1000000000002nd");
    EXPECT_EQ(Format("%6r|", 2), "   2nd|");
}

TEST(StringPrint, Characters) {
    EXPECT_EQ(Format("%c", 'x'), "x");
    EXPECT_EQ(Format("%.3c", 'x'), "xxx");
    EXPECT_EQ(Format("[%.0c]", 'x'), "[]");
    EXPECT_EQ(Format("%C", 'q'), "Q");
    EXPECT_EQ(Format("%C", '1'), "1");
    EXPECT_EQ(Format("%a", 'q'), "q");
    EXPECT_EQ(Format("%lc", 0xE9), "\xC3\xA9");
    EXPECT_EQ(Format("%wc", 0x20AC), "\xE2\x82\xAC");
    EXPECT_EQ(Format("%3c|%-3c|", 'a', 'b'), "  a|b  |");
    EXPECT_EQ(Format("%.2lc", 0xE9), "\xC3\xA9\xC3\xA9");
    EXPECT_EQ(Format("[%lc]", -1), "[]");                    // no UTF-8 form
    EXPECT_EQ(Format("%.400c", 'z'), std::string(310, 'z')); // precision limit
    // A NUL character is written and counted.
    char buffer[8];
    EXPECT_EQ(String_Print(buffer, sizeof(buffer), "a%cb", 0), 3);
    EXPECT_EQ(memcmp(buffer, "a\0b", 4), 0);
}

TEST(StringPrint, Strings) {
    EXPECT_EQ(Format("[%s]", static_cast<const char*>(nullptr)), "[]");
    EXPECT_EQ(Format("%.2s", "abc"), "ab");
    EXPECT_EQ(Format("%.5s", "abc"), "abc");
    EXPECT_EQ(Format("%5s|", "ab"), "   ab|");
    EXPECT_EQ(Format("%-5s|", "ab"), "ab   |");
    EXPECT_EQ(Format("%3s", "abcdef"), "abc");
    EXPECT_EQ(Format("%8s", "abcdefghijkl"), "abcdefgh");
    EXPECT_EQ(Format("%-3s|", "abcdef"), "abc|");
    EXPECT_EQ(Format("%S", "abc1"), "ABC1");
    EXPECT_EQ(Format("%5S|", "ab\xC3\xA9"), " AB\xC3\xA9|");
    EXPECT_EQ(Format("%*s|", 4, "a"), "   a|");
    EXPECT_EQ(Format("%.*s|", 2, "abc"), "ab|");
    EXPECT_EQ(Format("%s%s", "", "x"), "x");
    // A precision bounds the read: the bytes need not be terminated.
    const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(Format("%.3s", unterminated), "xyz");
    const std::string longText(5000, 'q');
    EXPECT_EQ(Format("%.400s", longText.c_str()), std::string(400, 'q')); // no 310 limit for text
    EXPECT_EQ(String_GetPrintLength("%s", longText.c_str()), 5000);
}

TEST(StringPrint, WideAndSixteenBitStrings) {
    const uint32_t wide[] = {'h', 0xE9, 0x1F600, 0};
    const uint16_t narrow[] = {'h', 0xE9, 0x20AC, 0};
    const std::string wideUtf8 = "h\xC3\xA9\xF0\x9F\x98\x80";
    const std::string narrowUtf8 = "h\xC3\xA9\xE2\x82\xAC";
    EXPECT_EQ(Format("%ls", wide), wideUtf8);
    EXPECT_EQ(Format("%ws", wide), wideUtf8);
    EXPECT_EQ(Format("%#s", wide), wideUtf8);
    EXPECT_EQ(Format("%!s", narrow), narrowUtf8);
    EXPECT_EQ(Format("%lS", wide), "H\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(Format("%8ls|", wide), " " + wideUtf8 + "|");
    EXPECT_EQ(Format("%!.3s", narrow), "h\xC3\xA9");
    EXPECT_EQ(
        Format("[%ls][%!s]", static_cast<const uint32_t*>(nullptr), static_cast<const uint16_t*>(nullptr)),
        "[][]");
    EXPECT_EQ(Format("%ljs", wide), "h\\u00E9\\uD83D\\uDE00");
    // A 32-bit unit without a UTF-8 form leaves nothing to print.
    const uint32_t invalid[] = {'a', 0x80000000u, 0};
    EXPECT_EQ(Format("[%ls]", invalid), "[]");
}

TEST(StringPrint, JsonEscapes) {
    EXPECT_EQ(Format("%js", "q\"b\\t\t\xC3\xA9"), "q\\\"b\\\\t\\t\\u00E9");
    EXPECT_EQ(Format("%j", "\"x\""), "\\\"x\\\"");
    EXPECT_EQ(Format("%js", "\b\f\n\r"), "\\b\\f\\n\\r");
    EXPECT_EQ(Format("%js", "\xF0\x9F\x98\x80"), "\\uD83D\\uDE00");
    EXPECT_EQ(Format("%js", "\xE2\x82\xAC"), "\\u20AC");
    EXPECT_EQ(Format("%js", "/\x7F"), "/\x7F");
    EXPECT_EQ(Format("[%js]", static_cast<const char*>(nullptr)), "[]");
    EXPECT_EQ(Format("%jsx", "a"), "ax"); // "js" is one conversion

    // Every control byte is escaped, not only those with a short form.
    for (int32_t byte = 1; byte < 0x20; byte++) {
        const char text[2] = {static_cast<char>(byte), 0};
        std::string expected;
        switch (byte) {
        case 0x08:
            expected = "\\b";
            break;
        case 0x09:
            expected = "\\t";
            break;
        case 0x0A:
            expected = "\\n";
            break;
        case 0x0C:
            expected = "\\f";
            break;
        case 0x0D:
            expected = "\\r";
            break;
        default: {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\u%04X", byte);
            expected = hex;
        }
        }
        EXPECT_EQ(Format("%js", text), expected) << byte;
    }
    EXPECT_EQ(Format("%js", "\x1F"), "\\u001F");
}

TEST(StringPrint, JsonReplacesBrokenUtf8) {
    const struct {
        const char* text;
        const char* json;
    } cases[] = {
        {"a\xA9z", "a\\uFFFDz"},             // stray continuation byte
        {"\xFE\xFF", "\\uFFFD\\uFFFD"},      // never lead bytes
        {"\xC3\x41", "\\uFFFDA"},            // lead without its continuation
        {"x\xE2\x82", "x\\uFFFD"},           // cut by the terminator
        {"\xC0\xAF", "\\uFFFD"},             // overlong '/'
        {"\xC0\xA2", "\\uFFFD"},             // overlong '"'
        {"\xE0\x80\xAF", "\\uFFFD"},         // overlong '/' in three bytes
        {"\xF4\x90\x80\x80", "\\uFFFD"},     // above U+10FFFF
        {"\xF8\x88\x80\x80\x80", "\\uFFFD"}, // five-byte form
        {"\xED\xA0\xBD", "\\uD83D"},         // a 16-bit surrogate unit as encoded here
    };
    for (const auto& c : cases) EXPECT_EQ(Format("%js", c.text), c.json) << c.json;

    // A cut sequence at the very end of an exact-size heap block is not read past.
    char* text = static_cast<char*>(malloc(3));
    memcpy(text, "\xF0\x9F", 2);
    text[2] = 0;
    EXPECT_EQ(Format("%js", text), "\\uFFFD");
    free(text);
    // A precision cuts the source; the cut character is replaced.
    EXPECT_EQ(Format("%.2js", "a\xC3\xA9"), "a\\uFFFD");
    const char bytes[2] = {'\xC3', '\xA9'}; // not terminated
    EXPECT_EQ(Format("%.1js", bytes), "\\uFFFD");
}

TEST(StringPrint, JsonWidthNeverCutsAnEscape) {
    EXPECT_EQ(Format("%8js|", "ab"), "      ab|");
    EXPECT_EQ(Format("%-8js|", "ab"), "ab      |");
    EXPECT_EQ(Format("%3js|", "abcdef"), "abc|");
    // "a" and "\u00E9" (7 bytes) exceed a width of 5: the escape is left out, blanks fill.
    EXPECT_EQ(Format("%5js|", "a\xC3\xA9"), "    a|");
    EXPECT_EQ(Format("%-5js|", "a\xC3\xA9"), "a    |");
    EXPECT_EQ(Format("%6js|", "\xC3\xA9z"), "\\u00E9|");
    EXPECT_EQ(Format("%7js|", "\xC3\xA9z"), "\\u00E9z|");
}

TEST(StringPrint, Ipv4) {
    const uint8_t address[4] = {192, 168, 0, 1};
    EXPECT_EQ(Format("%ipv4", address), "192.168.0.1");
    EXPECT_EQ(Format("%ipv4:%d", address, 80), "192.168.0.1:80");
    EXPECT_EQ(Format("%v", address), "192.168.0.1");
    const uint8_t zeros[4] = {0, 0, 0, 0};
    EXPECT_EQ(Format("%ipv4", zeros), "0.0.0.0");
    EXPECT_EQ(Format("%16ipv4|", address), "     192.168.0.1|");
    EXPECT_EQ(Format("[%ipv4]", static_cast<const uint8_t*>(nullptr)), "[]");
    // Only the whole word "ipv4" is the address conversion.
    EXPECT_EQ(Format("%ipv", 7), "7pv");
}

TEST(StringPrint, FloatsGiveTheKnownAnswers) {
    const struct {
        const char* format;
        double value;
        const char* text;
    } cases[] = {
        {"%f", 1.5, "1.500000000000"},
        {"%.1f", 0.75, "0.8"},
        {"%g", 0.0001, "0.0001"},
        {"%g", 0.00001, "1e-05"},
        {"%e", 12345.0, "1.234500000000e+04"},
        {"%.0f", 0.5, "1"},
        {"%.0f", 2.5, "3"},
        {"%.0f", 0.3, "0"},
        {"%f", 0.0, "0.000000000000"},
        {"%e", 0.0, "0.000000000000e+00"},
        {"%g", 0.0, "0"},
        {"%f", -0.0, "0.000000000000"},
        {"%.2f", -0.001, "-0.00"},
        {"%f", 0.1, "0.100000000000"},
        {"%f", 1.0 / 3.0, "0.333333333333"},
        {"%f", 2.0 / 3.0, "0.666666666667"},
        {"%.2f", 2.675, "2.67"}, // the double lies below 2.675
        {"%.3f", 2.675, "2.675"},
        {"%.3f", 1234.5625, "1234.563"},           // an exact tie rounds up
        {"%.20f", 0.1, "0.10000000000000000000"},  // 16 significant digits
        {"%!.20f", 0.1, "0.10000000000000000555"}, // 26 significant digits
        {"%.18f", 0.3, "0.300000000000000000"},
        {"%f", 12345.678, "12345.678000000000"},
        {"%f", 123456789.123, "123456789.123000000000"},
        {"%.3e", 9.9996, "1.000e+01"},
        {"%5.1f", 9.96, " 10.0"},
        {"%.0e", 15.0, "2e+01"},
        {"%E", 1234.5, "1.234500000000E+03"},
        {"%G", 1e-10, "1E-10"},
        {"%g", 1e100, "1e+100"},
        {"%g", 123456.0, "123456"},
        {"%g", 100000000000.0, "100000000000"},
        {"%g", 1000000000000.0, "1e+12"},
        {"%.3g", 3.14159, "3.14"},
        {"%.0g", 3.5, "4"},
        {"%#g", 1.5, "1.50000000000"},
        {"%g", 1.5, "1.5"},
        {"%!f", 1.5, "1.5"},
        {"%!.0f", 2.0, "2.0"},
        {"%!f", 2.0, "2.0"},
        {"%#.0f", 2.0, "2."},
        {"%!e", 1.5, "1.5e+00"},
        {"%+f", 1.5, "+1.500000000000"},
        {"% .1f", 1.5, " 1.5"},
        {"%010.3f", -3.14159, "-00003.142"},
        {"%+010.3f", 3.14159, "+00003.142"},
        {"%-10.2f|", 3.14159, "3.14      |"},
        {"%10.2f|", 3.14159, "      3.14|"},
        {"%e", 1e300, "1.000000000000e+300"},
        {"%e", 1e-300, "1.000000000000e-300"},
        {"%e", 5e-324, "4.940656458412e-324"},
        {"%e", DBL_MAX, "1.797693134862e+308"},
        {"%.16e", DBL_MAX, "1.7976931348623160e+308"},
        {"%e", DBL_MIN, "2.225073858507e-308"},
        {"%.1f", 1e-30, "0.0"},
        {"%f", 1e15, "1000000000000000.000000000000"},
        {"%.0f", 9007199254740993.0, "9007199254740992"},
        {"%f", 1e20, "100000000000000000000.000000000000"},
        {"%.1f", 18446744073709551616.0, "18446744073709550000.0"},
        {"%g", 1e-5, "1e-05"},
        {"%g", 0.000123456, "0.000123456"},
    };
    for (const auto& c : cases) EXPECT_EQ(Format(c.format, c.value), c.text) << c.format << " " << c.value;
}

TEST(StringPrint, NaNAndInfinity) {
    EXPECT_EQ(Format("%f", NAN), "NaN");
    EXPECT_EQ(Format("%+e", -NAN), "NaN");
    EXPECT_EQ(Format("%f", HUGE_VAL), "Inf");
    EXPECT_EQ(Format("%+f", HUGE_VAL), "+Inf");
    EXPECT_EQ(Format("%f", -HUGE_VAL), "-Inf");
    EXPECT_EQ(Format("%g", -HUGE_VAL), "-Inf");
    EXPECT_EQ(Format("% e", HUGE_VAL), " Inf");
    EXPECT_EQ(Format("%6f|", HUGE_VAL), "   Inf|");
    EXPECT_EQ(Format("%06f|", HUGE_VAL), "   Inf|"); // zeros pad digits only
    EXPECT_EQ(Format("%-6f|", NAN), "NaN   |");
    EXPECT_EQ(Format("%f", strtod("1e400", nullptr)), "Inf");
}

TEST(StringPrint, LargeFloatsStayInsideTheBuffer) {
    // 309 integer digits and 165 decimals: longer than the 350-byte conversion buffer.
    const std::string text = Format("%.165f", DBL_MAX);
    ASSERT_EQ(text.size(), 309u + 1 + 165);
    EXPECT_EQ(text.substr(0, 17), "17976931348623160");
    EXPECT_EQ(text.find_first_not_of('0', 17), 309u);
    EXPECT_EQ(text[309], '.');
    EXPECT_EQ(Format("%+.400f", -DBL_MAX).size(), 1u + 309 + 1 + 165); // precision limit 165
    EXPECT_EQ(Format("%.400e", 1.0).size(), 1u + 1 + 165 + 4);
    EXPECT_EQ(Format("%0400.300f", 1.0).size(), 340u); // width limit 340
    EXPECT_EQ(Format("%.165f", 5e-324), "0." + std::string(165, '0'));
    EXPECT_EQ(Format("%.165g", 5e-324), "4.940656458412465e-324");
}

TEST(StringPrint, FloatsMatchCorrectlyRoundedDigits) {
    // Exact digits of the double: where at most 16 significant digits are printed and the value is
    // no tie, the C library's correctly rounded text is the same.
    std::mt19937_64 random(20240611);
    std::uniform_real_distribution<double> range(-9999.0, 9999.0);
    for (int32_t i = 0; i < 20000; i++) {
        const double value = range(random);
        char expected[64];
        snprintf(expected, sizeof(expected), "%.12f", value);
        ASSERT_EQ(Format("%f", value), expected) << value;
    }
    for (int32_t i = 0; i < 20000; i++) {
        // Any finite double, through its bits.
        uint64_t bits = random();
        double value;
        memcpy(&value, &bits, sizeof(value));
        if (!std::isfinite(value)) continue;
        char expected[64];
        snprintf(expected, sizeof(expected), "%.15e", value);
        // The C library rounds an exact tie to even, this formatter half up.
        char exact[1100];
        snprintf(exact, sizeof(exact), "%.1070e", value);
        const char* rest = strchr(exact, '.') + 16;
        if (rest[0] == '5' && strspn(rest + 1, "0") == strcspn(rest + 1, "e")) continue;
        ASSERT_EQ(Format("%.15e", value), expected);
    }
}

TEST(StringPrint, SeventeenDigitsRoundTrip) {
    const double known[] = {0.1,
                            1.0 / 3.0,
                            M_PI,
                            1e23,
                            5e-324,
                            DBL_MAX,
                            DBL_MIN,
                            123456789012345678.0,
                            2.2250738585072009e-308,
                            9007199254740993.0,
                            0.30000000000000004};
    for (double value : known) EXPECT_EQ(strtod(Format("%!.16e", value).c_str(), nullptr), value) << value;
    std::mt19937_64 random(7);
    for (int32_t i = 0; i < 20000; i++) {
        uint64_t bits = random();
        double value;
        memcpy(&value, &bits, sizeof(value));
        if (!std::isfinite(value)) continue;
        ASSERT_EQ(strtod(Format("%!.16e", value).c_str(), nullptr), value) << bits;
    }
}

TEST(StringPrint, PercentAndFormatEnds) {
    EXPECT_EQ(Format("100%%"), "100%");
    EXPECT_EQ(Format("%3%|"), "  %|");
    EXPECT_EQ(Format("50%"), "50%");
    EXPECT_EQ(Format("%d%", 5), "5%");
    EXPECT_EQ(Format(""), "");
    EXPECT_EQ(Format("plain text"), "plain text");
}

// Records each piece and its flags.
struct Piece {
    std::string Text;
    uint32_t Flags;
};

int64_t RecordPiece(void* context, uint32_t flags, const char* data, int32_t length, int32_t* scratch) {
    static_cast<std::vector<Piece>*>(context)->push_back({std::string(data, length), flags});
    *scratch = length;
    return 1;
}

std::string Joined(const std::vector<Piece>& pieces) {
    std::string text;
    for (const Piece& piece : pieces) text += piece.Text;
    return text;
}

TEST(StringPrint, UnknownConversionEndsTheCall) {
    std::vector<Piece> pieces;
    EXPECT_EQ(String_PrintFormatEx("a%db%qc%d", &pieces, RecordPiece, 1, 2), 0);
    EXPECT_EQ(Joined(pieces), "a1b");
    pieces.clear();
    EXPECT_EQ(String_PrintFormatEx("x%5", &pieces, RecordPiece), 0);
    EXPECT_EQ(Joined(pieces), "x");
    pieces.clear();
    EXPECT_EQ(String_PrintFormatEx("%hd", &pieces, RecordPiece, 1), 0);
    EXPECT_EQ(Joined(pieces), "");
    EXPECT_EQ(String_PrintFormatEx("%d and %s", &pieces, RecordPiece, 1, "x"), 1);
    EXPECT_EQ(String_PrintFormatEx("%", &pieces, RecordPiece), 1);
    EXPECT_EQ(Format("a%qb"), "a");
    EXPECT_EQ(String_GetPrintLength("ab%qcd"), 2);
}

TEST(StringPrint, EngineFlagsAndNullCallback) {
    std::vector<Piece> pieces;
    EXPECT_EQ(String_PrintFormatEx("ab%dcd%se", &pieces, RecordPiece, 7, "x"), 1);
    ASSERT_EQ(pieces.size(), 5u);
    EXPECT_EQ(pieces[0].Text, "ab");
    EXPECT_EQ(pieces[0].Flags, 1u);
    EXPECT_EQ(pieces[1].Text, "7");
    EXPECT_EQ(pieces[1].Flags, 1u); // the first conversion
    EXPECT_EQ(pieces[2].Flags, 0u);
    EXPECT_EQ(pieces[4].Text, "e");
    EXPECT_EQ(pieces[4].Flags, 2u); // nothing follows in the format
    pieces.clear();
    EXPECT_EQ(String_PrintFormatEx("%d", &pieces, RecordPiece, 7), 1);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].Flags, 3u);
    // Without a callback the format and its arguments are walked with no output.
    EXPECT_EQ(String_PrintFormatEx("%d %s %f %ls", nullptr, nullptr, 1, "a", 1.0, U"w"), 1);
    EXPECT_EQ(String_PrintFormatEx("%d %y", nullptr, nullptr, 1), 0);
}

struct SinkRecord {
    std::string Text;
    int32_t Calls = 0;
};

int64_t CollectSink(void* user, const char* data, int32_t length, int32_t* written) {
    SinkRecord* record = static_cast<SinkRecord*>(user);
    record->Text.append(data, length);
    record->Calls++;
    *written = length;
    return 1;
}

TEST(StringPrint, SinkFrontFunctions) {
    SinkRecord record;
    EXPECT_EQ(String_PrintFormat("%s=%d;%js", &record, CollectSink, "key", 42, "\""), 1);
    EXPECT_EQ(record.Text, "key=42;\\\"");
    EXPECT_EQ(String_PrintFormat("%d", nullptr, nullptr, 1), 1);
    EXPECT_EQ(String_PrintFormat("%w", &record, CollectSink), 0);

    // The buffer sink through the engine callback.
    char buffer[16];
    StringBuffer sink;
    StringBuffer_Init(&sink, buffer, sizeof(buffer));
    auto append = [](void* user, const char* data, int32_t length, int32_t* written) -> int64_t {
        return StringBuffer_Append(static_cast<StringBuffer*>(user), data, length, written);
    };
    EXPECT_EQ(String_PrintFormat("%s-%d", &sink, append, "ab", 9), 1);
    StringBuffer_Finalize(&sink);
    EXPECT_STREQ(buffer, "ab-9");
}

TEST(StringPrint, BufferOverrunIsCutTerminatedAndLogged) {
    LogCapture capture;
    char buffer[4];
    EXPECT_EQ(String_Print(buffer, sizeof(buffer), "abcdef"), 3);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(g_logged, kOverrunLine + "abcdef");

    // The log gets the format, not the arguments.
    g_logged.clear();
    char small[6];
    EXPECT_EQ(String_Print(small, sizeof(small), "%s!", "long text"), 5);
    EXPECT_STREQ(small, "long ");
    EXPECT_EQ(g_logged, kOverrunLine + "%s!");

    // A text that fits exactly (terminator included) is no overrun.
    g_logged.clear();
    EXPECT_EQ(String_Print(buffer, sizeof(buffer), "abc"), 3);
    EXPECT_EQ(g_logged, "");

    // String_VPrintCat appends and logs nothing.
    g_logged.clear();
    char cat[8] = "ab";
    auto vprintCat = [](char* target, int32_t capacity, const char* format, ...) {
        va_list args;
        va_start(args, format);
        const int64_t result = String_VPrintCat(target, capacity, format, args);
        va_end(args);
        return result;
    };
    EXPECT_EQ(vprintCat(cat, sizeof(cat), "%s", "cdefghij"), 1);
    EXPECT_STREQ(cat, "abcdefg");
    EXPECT_EQ(vprintCat(cat, sizeof(cat), "%q"), 0);
    EXPECT_EQ(g_logged, "");
}

TEST(StringPrint, EveryCapacityKeepsItsBounds) {
    const uint8_t address[4] = {10, 0, 0, 255};
    const uint32_t wide[] = {'w', 0x20AC, 0};
    struct Case {
        const char* format;
        std::string full;
        std::function<int32_t(char*, int32_t)> print;
    };
    const Case cases[] = {
        {"%d|%s", "-12345|text",
         [](char* b, int32_t c) { return String_Print(b, c, "%d|%s", -12345, "text"); }},
        {"%-20s|", "left" + std::string(16, ' ') + "|",
         [](char* b, int32_t c) { return String_Print(b, c, "%-20s|", "left"); }},
        {"%15.3f", std::string(7, ' ') + "3141.593",
         [](char* b, int32_t c) { return String_Print(b, c, "%15.3f", 3141.5926); }},
        {"%js", "\\u00E9\\\"\\u001F",
         [](char* b, int32_t c) { return String_Print(b, c, "%js", "\xC3\xA9\"\x1F"); }},
        {"%ipv4:%r", "10.0.0.255:3rd",
         [&address](char* b, int32_t c) { return String_Print(b, c, "%ipv4:%r", address, 3); }},
        {"%ls%.3c", "w\xE2\x82\xACzzz",
         [&wide](char* b, int32_t c) { return String_Print(b, c, "%ls%.3c", wide, 'z'); }},
        {"%#llx %e", "0xffffffffffffffff 1.000000000000e-300",
         [](char* b, int32_t c) { return String_Print(b, c, "%#llx %e", UINT64_MAX, 1e-300); }},
    };
    for (const Case& test : cases) {
        const int32_t size = static_cast<int32_t>(test.full.size());
        for (int32_t capacity = 1; capacity <= size + 3; capacity++) {
            std::vector<char> memory(capacity + 16, '\x5A');
            const int32_t result = test.print(memory.data(), capacity);
            const int32_t expected = size < capacity ? size : capacity - 1;
            ASSERT_EQ(result, expected) << test.format << " capacity " << capacity;
            ASSERT_EQ(std::string(memory.data(), result), test.full.substr(0, result));
            ASSERT_EQ(memory[result], 0);
            for (int32_t i = capacity; i < capacity + 16; i++) ASSERT_EQ(memory[i], '\x5A') << test.format;
        }
        EXPECT_EQ(String_GetPrintLength("%s", test.full.c_str()), size);
    }
    // Below one byte nothing is written at all.
    char untouched = 'u';
    EXPECT_EQ(String_Print(&untouched, 0, "abc"), 0);
    EXPECT_EQ(String_Print(&untouched, -5, "abc"), 0);
    EXPECT_EQ(untouched, 'u');
}

TEST(StringPrint, RandomConversionsKeepTheirBounds) {
    std::mt19937 random(99);
    auto pick = [&random](const char* set) { return set[random() % strlen(set)]; };
    for (int32_t round = 0; round < 3000; round++) {
        std::string format = "<";
        for (int32_t n = random() % 4; n > 0; n--) format += pick("-+ #0!");
        if (random() % 2) format += std::to_string(random() % 400);
        if (random() % 2) format += "." + std::to_string(random() % 400);
        std::function<int32_t(char*, int32_t)> print;
        switch (random() % 4) {
        case 0: {
            format += "ll";
            format += pick("dioxXurp");
            const long long value = static_cast<long long>((uint64_t{random()} << 32) | random());
            print = [&format, value](char* b, int32_t c) {
                return String_Print(b, c, format.c_str(), value);
            };
            break;
        }
        case 1: {
            format += pick("feEgG");
            uint64_t bits = (uint64_t{random()} << 32) | random();
            double value;
            memcpy(&value, &bits, sizeof(value));
            print = [&format, value](char* b, int32_t c) {
                return String_Print(b, c, format.c_str(), value);
            };
            break;
        }
        case 2: {
            format += random() % 3 == 0 ? "js" : random() % 2 ? "s" : "S";
            auto text = std::make_shared<std::string>();
            for (int32_t n = random() % 60; n > 0; n--)
                text->push_back(static_cast<char>(1 + random() % 255));
            print = [&format, text](char* b, int32_t c) {
                return String_Print(b, c, format.c_str(), text->c_str());
            };
            break;
        }
        default: {
            format += random() % 2 ? "lc" : "C";
            const int32_t value = static_cast<int32_t>(random() % 0x110000);
            print = [&format, value](char* b, int32_t c) {
                return String_Print(b, c, format.c_str(), value);
            };
            break;
        }
        }
        format += ">";
        std::vector<char> whole(8192, 0);
        const int32_t size = print(whole.data(), static_cast<int32_t>(whole.size()));
        ASSERT_LT(size, static_cast<int32_t>(whole.size()) - 1) << format;
        const std::string full(whole.data(), size);
        for (int32_t attempt = 0; attempt < 4; attempt++) {
            const int32_t capacity = 1 + static_cast<int32_t>(random() % (size + 3));
            std::vector<char> memory(capacity + 8, '\x5A');
            const int32_t result = print(memory.data(), capacity);
            ASSERT_EQ(result, size < capacity ? size : capacity - 1) << format;
            ASSERT_EQ(std::string(memory.data(), result), full.substr(0, result)) << format;
            ASSERT_EQ(memory[result], 0);
            for (int32_t i = capacity; i < capacity + 8; i++) ASSERT_EQ(memory[i], '\x5A') << format;
        }
    }
}

TEST(StringPrint, FormatEndsAreNotReadPast) {
    // Each format ends at the end of an exact-size heap block.
    const struct {
        const char* format;
        bool text; // the first argument read is a string
    } cases[] = {{"%", false},  {"%-", false},  {"%5", false},   {"%.", false},  {"%.*", false},
                 {"%l", false}, {"%ll", false}, {"%I", false},   {"%I6", false}, {"%I64", false},
                 {"%i", false}, {"%ip", false}, {"%ipv", false}, {"%j", true},   {"%js", true},
                 {"%0", false}, {"x%#!", false}};
    for (const auto& c : cases) {
        const size_t size = strlen(c.format) + 1;
        char* copy = static_cast<char*>(malloc(size));
        memcpy(copy, c.format, size);
        char buffer[64];
        if (c.text)
            String_Print(buffer, sizeof(buffer), copy, "t");
        else
            String_Print(buffer, sizeof(buffer), copy, 1);
        free(copy);
    }
    EXPECT_EQ(Format("%i", 5), "5");
    EXPECT_EQ(Format("x%#!"), "x");
}

TEST(StringPrint, LimitsOnWidthAndPrecision) {
    EXPECT_EQ(Format("%400d", 1).size(), 340u);
    EXPECT_EQ(Format("%99999999999999d", 1).size(), 340u);
    EXPECT_EQ(Format("%*d", INT32_MIN, 1).size(), 340u);
    EXPECT_EQ(Format("%.400d", 1), std::string(309, '0') + "1");
    EXPECT_EQ(Format("%0400d", -1), "-" + std::string(338, '0') + "1");
    EXPECT_EQ(Format("%#0400x", 1).size(), 342u); // zeros to the width, then the prefix
    EXPECT_EQ(Format("%.*s", INT32_MIN, "abc"), "abc");
    EXPECT_EQ(Format("%400s|", "a").size(), 341u);
}

TEST(StringPrint, GetPrintLengthAndPrintCat) {
    EXPECT_EQ(String_GetPrintLength("%d-%s", 12, "ab"), 5);
    EXPECT_EQ(String_GetPrintLength(""), 0);
    EXPECT_EQ(String_GetPrintLength("%f", 1.5), 14);

    char buffer[12] = "abc";
    EXPECT_EQ(String_PrintCat(buffer, sizeof(buffer), "%d", 42), 2);
    EXPECT_STREQ(buffer, "abc42");
    EXPECT_EQ(String_PrintCat(buffer, sizeof(buffer), "%s", "xyzxyzxyz"), 6);
    EXPECT_STREQ(buffer, "abc42xyzxyz");
    EXPECT_EQ(String_PrintCat(buffer, sizeof(buffer), "more"), 0);
    EXPECT_STREQ(buffer, "abc42xyzxyz");
    // A buffer without a terminator inside its capacity is not read past.
    char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(String_PrintCat(full, sizeof(full), "x"), 0);
    EXPECT_EQ(memcmp(full, "abcd", 4), 0);
}

TEST(StringPrint, StringBufferAppend) {
    char buffer[8];
    StringBuffer record;
    StringBuffer_Init(&record, buffer, sizeof(buffer));
    EXPECT_EQ(record.Header.ClassId, STRING_BUFFER_CLASS_ID);
    EXPECT_EQ(record.Header.RefCount, 0u);
    EXPECT_EQ(record.Header.InstanceId[0], 0);
    int32_t written = -1;
    EXPECT_EQ(StringBuffer_Append(&record, "abc", -1, &written), 1);
    EXPECT_EQ(written, 3);
    EXPECT_EQ(StringBuffer_Append(&record, nullptr, 5, &written), 1);
    EXPECT_EQ(written, 0);
    EXPECT_EQ(StringBuffer_Append(&record, "zz", 0, &written), 1);
    EXPECT_EQ(StringBuffer_Append(&record, "defgh", 5, &written), 1); // 4 of 5 fit
    EXPECT_EQ(written, 4);
    EXPECT_EQ(record.Overflow & 1, 1u);
    EXPECT_EQ(record.Used, 7);
    EXPECT_EQ(StringBuffer_Append(&record, "i", 1, &written), 0);
    EXPECT_EQ(written, 0);
    StringBuffer_Finalize(&record);
    EXPECT_STREQ(buffer, "abcdefg");

    // Full before the piece: nothing fits, result 0.
    StringBuffer_Init(&record, buffer, 3);
    EXPECT_EQ(StringBuffer_Append(&record, "ab", 2, &written), 1);
    EXPECT_EQ(StringBuffer_Append(&record, "c", 1, &written), 0);
    EXPECT_EQ(record.Overflow & 1, 1u);

    // Counting only.
    StringBuffer_Init(&record, nullptr, 0);
    EXPECT_EQ(StringBuffer_Append(&record, "abcdef", -1, &written), 1);
    EXPECT_EQ(StringBuffer_Append(&record, "abcdef", 2, &written), 1);
    EXPECT_EQ(record.Used, 8);
    EXPECT_EQ(StringBuffer_Finalize(&record), 1);
}

TEST(StringPrintDeathTest, AbortTexts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char buffer[8];
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_Print(nullptr, 8, "x");
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_Print(buffer, sizeof(buffer), nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_PrintFormatEx(nullptr, nullptr, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            String_GetPrintLength(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringBuffer_Append(nullptr, "x", 1, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));

    StringBuffer record;
    StringBuffer_Init(&record, buffer, sizeof(buffer));
    record.Header.ClassId = 0x12345678;
    // The child may run at other addresses, so the pointer is matched by its form: 16 upper-case digits.
    std::string mismatch =
        AbortRegex("Class mismatch pointer (0xPOINTER: expected 0x19ee5213 but was 0x12345678)\n");
    mismatch.replace(mismatch.find("POINTER"), 7, "[0-9A-F]{16}");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringBuffer_Append(&record, "x", 1, nullptr);
        },
        mismatch);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringBuffer_Finalize(&record);
        },
        mismatch);
}

} // namespace
