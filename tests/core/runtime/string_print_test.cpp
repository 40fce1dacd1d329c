// Tests of the system formatter: every conversion's known answers, buffer bounds at every
// capacity, the overrun log line, the engine's callbacks and the abort texts.

#include "core/runtime/string_print.h"

#include <gtest/gtest.h>

#include <bit>
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

#include "tests/support/log_capture.h"
#include "tests/support/text_cases.h"

namespace {

// Prints into a large buffer and checks that the result is the terminated length.
std::string Format(const char* format, ...) {
    char buffer[4096];
    memset(buffer, 0x7E, sizeof(buffer));
    va_list args;
    va_start(args, format);
    const int32_t length = String_VPrint(buffer, sizeof(buffer), format, args);
    va_end(args);
    EXPECT_TRUE(length >= 0 && length < static_cast<int32_t>(sizeof(buffer)) && buffer[length] == 0) << format;
    return std::string(buffer, length);
}

// A known answer: what Format printed for the arguments, and the text it must be.
struct Answer { std::string got; std::string want; const char* call; };
#define F(want, ...) Answer{Format(__VA_ARGS__), want, #__VA_ARGS__}

void ExpectAnswers(std::initializer_list<Answer> answers) {
    for (const Answer& a : answers) EXPECT_EQ(a.got, a.want) << a.call;
}

const void* Ptr(uintptr_t value) {
    return reinterpret_cast<const void*>(value);
}

TEST(StringPrint, Integers) {
    const uint64_t big = 0x123456789ULL;
    ExpectAnswers({
        F("-5", "%d", -5), F("+5", "%+d", 5), F(" 5", "% d", 5), F("-0042", "%05d", -42), F("7   |", "%-4d|", 7),
        F("123", "%i", 123), F("-2147483648", "%d", INT32_MIN), F("4294967295", "%u", 4294967295u),
        F("7", "%+u", 7u), // unsigned rows never show a sign
        F("00042", "%.5d", 42), F("0", "%.0d", 0), F("    -007|", "%8.3d|", -7), F("-7      |", "%-8d|", -7),
        F("    1|", "%*d|", 5, 1), F("1    |", "%*d|", -5, 1), F("0009", "%.*d", 4, 9),
        F("0009", "%.*d", -4, 9), // a negative precision counts by its magnitude
        F("+0042", "%+05d", 42), F("1 22 333", "%d %d %d", 1, 22, 333),
        // Length prefixes choose the argument's width; %l is 32 bits.
        F("591751049", "%lu", big), F("4886718345", "%llu", big), F("4886718345", "%I64u", big),
        F("4886718345", "%zu", static_cast<size_t>(big)), F("-9223372036854775808", "%lld", INT64_MIN),
        F("-1", "%I64d", int64_t{-1}), F("18446744073709551615", "%llu", UINT64_MAX),
        F("ffffffffffffffff", "%llx", UINT64_MAX), F("1777777777777777777777", "%llo", UINT64_MAX),
        F("12|34", "%Id|%I6d", 12, 34), // an I or I6 that does not form I64 is passed over
        F("4886718345 -3 x", "%llu %d %s", big, -3, "x"), // later arguments are read in step
        F("ff", "%x", 255), F("FF", "%X", 255), F("0XFF", "%#X", 255), F("0xff", "%#x", 255), F("010", "%#o", 8),
        F("10", "%o", 8), F("0", "%#x", 0), F("ffffffff", "%x", -1), F("0000beef", "%08x", 0xBEEF),
        F("0000000000001234", "%p", Ptr(0x1234)), F("ABCDEF0123456789", "%p", Ptr(0xABCDEF0123456789ULL)),
        F("0x0000000000001234", "%#p", Ptr(0x1234)), F("  1234|", "%6p|", Ptr(0x1234)),
        F("001234|", "%06p|", Ptr(0x1234)), F("100%", "100%%"), F("  %|", "%3%|"), F("50%", "50%"), F("5%", "%d%", 5),
        F("", ""), F("plain", "plain"),
    });
}

TEST(StringPrint, WholeNumbersWithoutTheFormatter) {
    const struct {
        int64_t Value;
        const char* Text;
    } cases[] = {{0, "0"}, {9, "9"}, {10, "10"}, {-1, "-1"}, {1000, "1000"}, {-200, "-200"},
                 {INT64_MAX, "9223372036854775807"}, {INT64_MIN, "-9223372036854775808"}};
    for (const auto& c : cases) {
        char out[21];
        EXPECT_EQ(String_PrintInt64(out, c.Value), (int32_t)strlen(c.Text));
        EXPECT_STREQ(out, c.Text);
    }
}

TEST(StringPrint, Ordinals) {
    const struct { int32_t value; const char* text; } cases[] = {
        {1, "1st"},     {2, "2nd"},   {3, "3rd"},       {4, "4th"},     {11, "11th"}, {12, "12th"},
                 {13, "13th"},   {21, "21st"}, {111, "111th"},   {0, "0th"},     {22, "22nd"}, {103, "103rd"},
                 {1012, "1012th"}, {-1, "-1st"}, {-13, "-13th"}};
    for (const auto& c : cases) EXPECT_EQ(Format("%r", c.value), c.text) << c.value;
    ExpectAnswers({F("1000000000002nd", "%llr", int64_t{1000000000002}), F("   2nd|", "%6r|", 2)});
}

TEST(StringPrint, CharactersAndStrings) {
    const uint32_t wide[] = {'h', 0xE9, 0x1F600, 0};
    const uint16_t narrow[] = {'h', 0xE9, 0x20AC, 0};
    const uint32_t invalid[] = {'a', 0x80000000u, 0}; // no UTF-8 form: nothing to print
    const char unterminated[3] = {'x', 'y', 'z'};    // a precision bounds the read
    const std::string wideUtf8 = "h\xC3\xA9\xF0\x9F\x98\x80", narrowUtf8 = "h\xC3\xA9\xE2\x82\xAC";
    const std::string longText(5000, 'q');
    ExpectAnswers({
        F("x", "%c", 'x'), F("xxx", "%.3c", 'x'), F("[]", "[%.0c]", 'x'), F("Q", "%C", 'q'), F("1", "%C", '1'),
        F("q", "%a", 'q'), F("\xC3\xA9", "%lc", 0xE9), F("\xE2\x82\xAC", "%wc", 0x20AC),
        F("  a|b  |", "%3c|%-3c|", 'a', 'b'), F("\xC3\xA9\xC3\xA9", "%.2lc", 0xE9), F("[]", "[%lc]", -1),
        F(std::string(310, 'z'), "%.400c", 'z'), // the precision limit
        F("[]", "[%s]", static_cast<const char*>(nullptr)), F("ab", "%.2s", "abc"), F("abc", "%.5s", "abc"),
        F("   ab|", "%5s|", "ab"), F("ab   |", "%-5s|", "ab"), F("abc", "%3s", "abcdef"),
        F("abcdefgh", "%8s", "abcdefghijkl"), F("abc|", "%-3s|", "abcdef"), F("ABC1", "%S", "abc1"),
        F(" AB\xC3\xA9|", "%5S|", "ab\xC3\xA9"), F("   a|", "%*s|", 4, "a"), F("ab|", "%.*s|", 2, "abc"),
        F("x", "%s%s", "", "x"), F("xyz", "%.3s", unterminated),
        F(std::string(400, 'q'), "%.400s", longText.c_str()), // no 310 limit for text
        F(wideUtf8, "%ls", wide), F(wideUtf8, "%ws", wide), F(wideUtf8, "%#s", wide), F(narrowUtf8, "%!s", narrow),
        F("H\xC3\xA9\xF0\x9F\x98\x80", "%lS", wide), F(" " + wideUtf8 + "|", "%8ls|", wide),
        F("h\xC3\xA9", "%!.3s", narrow), F("h\\u00E9\\uD83D\\uDE00", "%ljs", wide), F("[]", "[%ls]", invalid),
        F("[][]", "[%ls][%!s]", static_cast<const uint32_t*>(nullptr), static_cast<const uint16_t*>(nullptr)),
    });
    EXPECT_EQ(String_GetPrintLength("%s", longText.c_str()), 5000);
    // A NUL character is written and counted.
    char buffer[8];
    EXPECT_EQ(String_Print(buffer, sizeof(buffer), "a%cb", 0), 3);
    EXPECT_EQ(memcmp(buffer, "a\0b", 4), 0);
}

TEST(StringPrint, JsonEscapes) {
    ExpectAnswers({
        F("q\\\"b\\\\t\\t\\u00E9", "%js", "q\"b\\t\t\xC3\xA9"), F("\\\"x\\\"", "%j", "\"x\""),
        F("\\b\\f\\n\\r", "%js", "\b\f\n\r"), F("\\uD83D\\uDE00", "%js", "\xF0\x9F\x98\x80"),
        F("\\u20AC", "%js", "\xE2\x82\xAC"), F("/\x7F", "%js", "/\x7F"),
        F("[]", "[%js]", static_cast<const char*>(nullptr)), F("ax", "%jsx", "a"), // "js" is one conversion
        // Broken UTF-8 becomes U+FFFD.
        F("a\\uFFFDz", "%js", "a\xA9z"), // stray continuation byte
        F("\\uFFFD\\uFFFD", "%js", "\xFE\xFF"), // never lead bytes
        F("\\uFFFDA", "%js", "\xC3\x41"), // lead without its continuation
        F("x\\uFFFD", "%js", "x\xE2\x82"), // cut by the terminator
        F("\\uFFFD", "%js", "\xC0\xAF"), F("\\uFFFD", "%js", "\xC0\xA2"), F("\\uFFFD", "%js", "\xE0\x80\xAF"),
        F("\\uFFFD", "%js", "\xF4\x90\x80\x80"), // above U+10FFFF
        F("\\uFFFD", "%js", "\xF8\x88\x80\x80\x80"), // five-byte form
        F("\\uD83D", "%js", "\xED\xA0\xBD"), // a 16-bit surrogate unit as encoded here
        F("a\\uFFFD", "%.2js", "a\xC3\xA9"), // a precision cuts the source; the cut character is replaced
        // A width is the length of the escaped field and never cuts an escape.
        F("      ab|", "%8js|", "ab"), F("ab      |", "%-8js|", "ab"), F("abc|", "%3js|", "abcdef"),
        F("    a|", "%5js|", "a\xC3\xA9"), F("a    |", "%-5js|", "a\xC3\xA9"), F("\\u00E9|", "%6js|", "\xC3\xA9z"),
        F("\\u00E9z|", "%7js|", "\xC3\xA9z"),
    });
    // Every control byte is escaped, not only those with a short form.
    for (int32_t byte = 1; byte < 0x20; byte++) {
        const char text[2] = {static_cast<char>(byte), 0};
        const char* shortForm = byte == 8 ? "\\b" : byte == 9 ? "\\t" : byte == 10 ? "\\n" : byte == 12 ? "\\f"
                                : byte == 13 ? "\\r" : nullptr;
        char hex[8];
        snprintf(hex, sizeof(hex), "\\u%04X", byte);
        EXPECT_EQ(Format("%js", text), shortForm ? shortForm : hex) << byte;
    }
    // A cut sequence at the very end of an exact-size heap block is not read past.
    std::unique_ptr<char[]> text(new char[3]{'\xF0', '\x9F', 0});
    EXPECT_EQ(Format("%js", text.get()), "\\uFFFD");
    const char bytes[2] = {'\xC3', '\xA9'}; // not terminated
    EXPECT_EQ(Format("%.1js", bytes), "\\uFFFD");
}

TEST(StringPrint, Ipv4) {
    const uint8_t address[4] = {192, 168, 0, 1}, zeros[4] = {};
    ExpectAnswers({
        F("192.168.0.1", "%ipv4", address), F("192.168.0.1:80", "%ipv4:%d", address, 80),
        F("192.168.0.1", "%v", address), F("0.0.0.0", "%ipv4", zeros), F("     192.168.0.1|", "%16ipv4|", address),
        F("[]", "[%ipv4]", static_cast<const uint8_t*>(nullptr)),
        F("7pv", "%ipv", 7), // only the whole word "ipv4" is the address conversion
    });
}

TEST(StringPrint, Floats) {
    const struct { const char* format; double value; const char* text; } cases[] = {
        {"%f", 1.5, "1.500000000000"}, {"%.1f", 0.75, "0.8"}, {"%g", 0.0001, "0.0001"}, {"%g", 0.00001, "1e-05"},
        {"%e", 12345.0, "1.234500000000e+04"}, {"%.0f", 0.5, "1"}, {"%.0f", 2.5, "3"}, {"%.0f", 0.3, "0"},
        {"%f", 0.0, "0.000000000000"}, {"%e", 0.0, "0.000000000000e+00"}, {"%g", 0.0, "0"},
        {"%f", -0.0, "0.000000000000"}, {"%.2f", -0.001, "-0.00"}, {"%f", 0.1, "0.100000000000"},
        {"%f", 1.0 / 3.0, "0.333333333333"}, {"%f", 2.0 / 3.0, "0.666666666667"},
        {"%.2f", 2.675, "2.67"}, {"%.3f", 2.675, "2.675"}, // the double lies below 2.675
        {"%.3f", 1234.5625, "1234.563"},                  // an exact tie rounds up
        {"%.20f", 0.1, "0.10000000000000000000"}, // 16 significant digits
        {"%!.20f", 0.1, "0.10000000000000000555"}, // 26 significant digits
        {"%.18f", 0.3, "0.300000000000000000"}, {"%f", 12345.678, "12345.678000000000"},
        {"%f", 123456789.123, "123456789.123000000000"}, {"%.3e", 9.9996, "1.000e+01"}, {"%5.1f", 9.96, " 10.0"},
        {"%.0e", 15.0, "2e+01"}, {"%E", 1234.5, "1.234500000000E+03"}, {"%G", 1e-10, "1E-10"},
        {"%g", 1e100, "1e+100"}, {"%g", 123456.0, "123456"}, {"%g", 100000000000.0, "100000000000"},
        {"%g", 1000000000000.0, "1e+12"}, {"%.3g", 3.14159, "3.14"}, {"%.0g", 3.5, "4"},
        {"%#g", 1.5, "1.50000000000"}, {"%g", 1.5, "1.5"}, {"%!f", 1.5, "1.5"}, {"%!.0f", 2.0, "2.0"},
        {"%!f", 2.0, "2.0"}, {"%#.0f", 2.0, "2."}, {"%!e", 1.5, "1.5e+00"}, {"%+f", 1.5, "+1.500000000000"},
        {"% .1f", 1.5, " 1.5"}, {"%010.3f", -3.14159, "-00003.142"}, {"%+010.3f", 3.14159, "+00003.142"},
        {"%-10.2f|", 3.14159, "3.14      |"}, {"%10.2f|", 3.14159, "      3.14|"},
        {"%e", 1e300, "1.000000000000e+300"}, {"%e", 1e-300, "1.000000000000e-300"},
        {"%e", 5e-324, "4.940656458412e-324"}, {"%e", DBL_MAX, "1.797693134862e+308"},
        {"%.16e", DBL_MAX, "1.7976931348623160e+308"}, {"%e", DBL_MIN, "2.225073858507e-308"}, {"%.1f", 1e-30, "0.0"},
        {"%f", 1e15, "1000000000000000.000000000000"}, {"%.0f", 9007199254740993.0, "9007199254740992"},
        {"%f", 1e20, "100000000000000000000.000000000000"},
        {"%.1f", 18446744073709551616.0, "18446744073709550000.0"}, {"%g", 0.000123456, "0.000123456"},
        {"%f", NAN, "NaN"}, {"%+e", -NAN, "NaN"}, {"%f", HUGE_VAL, "Inf"}, {"%+f", HUGE_VAL, "+Inf"},
        {"%f", -HUGE_VAL, "-Inf"}, {"%g", -HUGE_VAL, "-Inf"}, {"% e", HUGE_VAL, " Inf"},
        {"%6f|", HUGE_VAL, "   Inf|"}, {"%06f|", HUGE_VAL, "   Inf|"}, // zeros pad digits only
        {"%-6f|", NAN, "NaN   |"}, {"%.165f", 5e-324, nullptr}, {"%.165g", 5e-324, "4.940656458412465e-324"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Format(c.format, c.value), c.text ? c.text : "0." + std::string(165, '0')) << c.format << c.value;
    // 309 integer digits and 165 decimals: longer than the 350-byte conversion buffer.
    const std::string text = Format("%.165f", DBL_MAX);
    EXPECT_EQ(text, "17976931348623160" + std::string(309 - 17, '0') + "." + std::string(165, '0'));
    EXPECT_EQ(Format("%+.400f", -DBL_MAX).size(), 1u + 309 + 1 + 165); // precision limit 165
    EXPECT_EQ(Format("%.400e", 1.0).size(), 1u + 1 + 165 + 4);
    EXPECT_EQ(Format("%0400.300f", 1.0).size(), 340u); // width limit 340
}

TEST(StringPrint, FloatsMatchCorrectlyRoundedDigits) {
    // Exact digits of the double: where at most 16 significant digits are printed and the value is
    // no tie, the C library's correctly rounded text is the same.
    std::mt19937_64 random(20240611);
    std::uniform_real_distribution<double> range(-9999.0, 9999.0);
    char expected[64], exact[1100];
    for (int32_t i = 0; i < 20000; i++) {
        const double value = range(random);
        snprintf(expected, sizeof(expected), "%.12f", value);
        ASSERT_EQ(Format("%f", value), expected) << value;
    }
    for (int32_t i = 0; i < 20000; i++) {
        const double value = std::bit_cast<double>(static_cast<uint64_t>(random())); // any finite double
        if (!std::isfinite(value)) continue;
        snprintf(expected, sizeof(expected), "%.15e", value);
        // The C library rounds an exact tie to even, this formatter half up.
        snprintf(exact, sizeof(exact), "%.1070e", value);
        const char* rest = strchr(exact, '.') + 16;
        if (rest[0] == '5' && strspn(rest + 1, "0") == strcspn(rest + 1, "e")) continue;
        ASSERT_EQ(Format("%.15e", value), expected);
    }
}

TEST(StringPrint, SeventeenDigitsRoundTrip) {
    for (double value : {0.1, 1.0 / 3.0, M_PI, 1e23, 5e-324, DBL_MAX, DBL_MIN, 123456789012345678.0,
                         2.2250738585072009e-308, 9007199254740993.0, 0.30000000000000004})
        EXPECT_EQ(strtod(Format("%!.16e", value).c_str(), nullptr), value) << value;
    std::mt19937_64 random(7);
    for (int32_t i = 0; i < 20000; i++) {
        const uint64_t bits = random();
        const double value = std::bit_cast<double>(bits);
        if (!std::isfinite(value)) continue;
        ASSERT_EQ(strtod(Format("%!.16e", value).c_str(), nullptr), value) << bits;
    }
}

// Records each piece the engine hands over, and its flags.
struct Piece {
    std::string Text;
    uint32_t Flags;
    bool operator==(const Piece&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Piece& p) { return out << p.Text << "/" << p.Flags; }
};

int64_t RecordPiece(void* context, uint32_t flags, const char* data, int32_t length, int32_t* scratch) {
    static_cast<std::vector<Piece>*>(context)->push_back({std::string(data, length), flags});
    *scratch = length;
    return 1;
}

TEST(StringPrint, EnginePiecesAndFlags) {
    // Flag 1 on the pieces up to and including the first conversion, 2 on the last.
    const struct { const char* format; int64_t result; std::vector<Piece> pieces; } cases[] = {
        {"ab%dcd%se", 1, {{"ab", 1}, {"7", 1}, {"cd", 0}, {"x", 0}, {"e", 2}}}, {"%d", 1, {{"7", 3}}},
        {"a%db%qc%d", 0, {{"a", 1}, {"7", 1}, {"b", 0}}}, // an unknown conversion ends the call
        {"x%5", 0, {{"x", 1}}}, {"%hd", 0, {}}, {"%", 1, {{"%", 3}}},
    };
    for (const auto& c : cases) {
        std::vector<Piece> pieces;
        EXPECT_EQ(String_PrintFormatEx(c.format, &pieces, RecordPiece, 7, "x"), c.result) << c.format;
        EXPECT_EQ(pieces, c.pieces) << c.format;
    }
    EXPECT_EQ(Format("a%qb"), "a");
    EXPECT_EQ(String_GetPrintLength("ab%qcd"), 2);
    // Without a callback the format and its arguments are walked with no output.
    EXPECT_EQ(String_PrintFormatEx("%d %s %f %ls", nullptr, nullptr, 1, "a", 1.0, U"w"), 1);
    EXPECT_EQ(String_PrintFormatEx("%d %y", nullptr, nullptr, 1), 0);
}

TEST(StringPrint, SinkFrontFunctions) {
    std::string text;
    auto collect = [](void* user, const char* data, int32_t length, int32_t* written) -> int64_t {
        static_cast<std::string*>(user)->append(data, length);
        *written = length;
        return 1;
    };
    EXPECT_EQ(String_PrintFormat("%s=%d;%js", &text, collect, "key", 42, "\""), 1);
    EXPECT_EQ(text, "key=42;\\\"");
    EXPECT_EQ(String_PrintFormat("%d", nullptr, nullptr, 1), 1);
    EXPECT_EQ(String_PrintFormat("%w", &text, collect), 0);
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

int64_t VPrintCat(char* target, int32_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = String_VPrintCat(target, capacity, format, args);
    va_end(args);
    return result;
}

TEST(StringPrint, BufferOverrunIsCutTerminatedAndLogged) {
    const std::string overrun = "\n\nERROR: The next string overran the print buffer!\nLINE: ";
    LogCapture capture;
    char buffer[4], small[6];
    EXPECT_EQ(String_Print(buffer, sizeof(buffer), "abcdef"), 3);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(TakeLog(), overrun + "abcdef");
    EXPECT_EQ(String_Print(small, sizeof(small), "%s!", "long text"), 5);
    EXPECT_STREQ(small, "long ");
    EXPECT_EQ(TakeLog(), overrun + "%s!"); // the format, not the arguments
    // A text that fits exactly (terminator included) is no overrun.
    EXPECT_EQ(String_Print(buffer, sizeof(buffer), "abc"), 3);
    // String_VPrintCat appends and logs nothing.
    char cat[8] = "ab";
    EXPECT_EQ(VPrintCat(cat, sizeof(cat), "%s", "cdefghij"), 1);
    EXPECT_STREQ(cat, "abcdefg");
    EXPECT_EQ(VPrintCat(cat, sizeof(cat), "%q"), 0);
    EXPECT_EQ(TakeLog(), "");
}

// Prints `format` (with one argument) at every capacity up to past its whole length: the result
// is the whole text or capacity - 1 bytes of it, terminated, and nothing is written past the end.
void ExpectBoundsAtEveryCapacity(const std::string& format, const std::function<int32_t(char*, int32_t)>& print,
                                 const std::string* expected = nullptr, int32_t step = 1) {
    std::vector<char> whole(8192, 0);
    const int32_t size = print(whole.data(), static_cast<int32_t>(whole.size()));
    ASSERT_LT(size, static_cast<int32_t>(whole.size()) - 1) << format;
    const std::string full(whole.data(), size);
    if (expected) {
        ASSERT_EQ(full, *expected) << format;
    }
    for (int32_t capacity = 1; capacity <= size + 3; capacity += step) {
        Guarded<char> memory(capacity);
        const int32_t result = print(memory, capacity);
        ASSERT_EQ(result, size < capacity ? size : capacity - 1) << format << " capacity " << capacity;
        ASSERT_EQ(std::string(memory.data(), result), full.substr(0, result)) << format;
        ASSERT_EQ(memory[result], 0) << format;
        ASSERT_TRUE(memory.Untouched()) << format << " capacity " << capacity;
    }
}

// The same for a format and its arguments, whose whole text is known.
template <typename... Args> void ExpectBounds(const std::string& full, const char* format, Args... args) {
    const auto print = [=](char* buffer, int32_t capacity) { return String_Print(buffer, capacity, format, args...); };
    ExpectBoundsAtEveryCapacity(format, print, &full);
    EXPECT_EQ(String_GetPrintLength(format, args...), static_cast<int32_t>(full.size())) << format;
}

TEST(StringPrint, EveryCapacityKeepsItsBounds) {
    const uint8_t address[4] = {10, 0, 0, 255};
    const uint32_t wide[] = {'w', 0x20AC, 0};
    ExpectBounds("-12345|text", "%d|%s", -12345, "text");
    ExpectBounds("left" + std::string(16, ' ') + "|", "%-20s|", "left");
    ExpectBounds(std::string(7, ' ') + "3141.593", "%15.3f", 3141.5926);
    ExpectBounds("\\u00E9\\\"\\u001F", "%js", "\xC3\xA9\"\x1F");
    ExpectBounds("10.0.0.255:3rd", "%ipv4:%r", address, 3);
    ExpectBounds("w\xE2\x82\xACzzz", "%ls%.3c", wide, 'z');
    ExpectBounds("0xffffffffffffffff 1.000000000000e-300", "%#llx %e", UINT64_MAX, 1e-300);
    // Below one byte nothing is written at all.
    Guarded<char> untouched(0);
    EXPECT_EQ(String_Print(untouched, 0, "abc"), 0);
    EXPECT_EQ(String_Print(untouched, -5, "abc"), 0);
    EXPECT_TRUE(untouched.Untouched());
}

TEST(StringPrint, RandomConversionsKeepTheirBounds) {
    std::mt19937 random(99);
    auto pick = [&random](const char* set) { return set[random() % strlen(set)]; };
    for (int32_t round = 0; round < 3000; round++) {
        std::string format = "<";
        for (int32_t n = random() % 4; n > 0; n--) format += pick("-+ #0!");
        if (random() % 2) format += std::to_string(random() % 400);
        if (random() % 2) format += "." + std::to_string(random() % 400);
        const uint64_t bits = (uint64_t{random()} << 32) | random();
        std::string text;
        for (int32_t n = random() % 60; n > 0; n--) text.push_back(static_cast<char>(1 + random() % 255));
        const int32_t kind = random() % 4, step = 1 + random() % 97;
        format += kind == 0   ? "ll" + std::string(1, pick("dioxXurp"))
                  : kind == 1 ? std::string(1, pick("feEgG"))
                  : kind == 2 ? std::string(random() % 3 == 0 ? "js" : random() % 2 ? "s" : "S")
                              : std::string(random() % 2 ? "lc" : "C");
        format += ">";
        const double value = std::bit_cast<double>(bits);
        const int32_t character = static_cast<int32_t>(bits % 0x110000);
        ExpectBoundsAtEveryCapacity(format, [&](char* b, int32_t c) {
            const char* f = format.c_str();
            return kind == 0 ? String_Print(b, c, f, bits) : kind == 1 ? String_Print(b, c, f, value)
                 : kind == 2 ? String_Print(b, c, f, text.c_str()) : String_Print(b, c, f, character);
        }, nullptr, step);
    }
}

TEST(StringPrint, FormatEndsAreNotReadPast) {
    // Each format ends at the end of an exact-size heap block.
    for (const char* format : {"%", "%-", "%5", "%.", "%.*", "%l", "%ll", "%I", "%I6", "%I64", "%i", "%ip", "%ipv",
                               "%j", "%js", "%0", "x%#!"}) {
        std::unique_ptr<char[]> copy(new char[strlen(format) + 1]);
        memcpy(copy.get(), format, strlen(format) + 1);
        char buffer[64];
        if (format[1] == 'j')
            String_Print(buffer, sizeof(buffer), copy.get(), "t");
        else
            String_Print(buffer, sizeof(buffer), copy.get(), 1);
    }
    ExpectAnswers({F("5", "%i", 5), F("x", "x%#!")});
}

TEST(StringPrint, LimitsOnWidthAndPrecision) {
    ExpectResults({RESULT(Format("%400d", 1).size(), 340), RESULT(Format("%99999999999999d", 1).size(), 340),
                   RESULT(Format("%*d", INT32_MIN, 1).size(), 340), RESULT(Format("%400s|", "a").size(), 341),
                   RESULT(Format("%#0400x", 1).size(), 342)}); // zeros to the width, then the prefix
    ExpectAnswers({F(std::string(309, '0') + "1", "%.400d", 1), F("-" + std::string(338, '0') + "1", "%0400d", -1),
                   F("abc", "%.*s", INT32_MIN, "abc")});
}

TEST(StringPrint, GetPrintLengthAndPrintCat) {
    ExpectResults({RESULT(String_GetPrintLength("%d-%s", 12, "ab"), 5), RESULT(String_GetPrintLength(""), 0),
                   RESULT(String_GetPrintLength("%f", 1.5), 14)});
    ExpectWrites({
        WRITE_IN("abc", 12, String_PrintCat(d, n, "%d", 42), 2, "abc42"),
        WRITE_IN("abc42", 12, String_PrintCat(d, n, "%s", "xyzxyzxyz"), 6, "abc42xyzxyz"),
        WRITE_IN("abc42xyzxyz", 12, String_PrintCat(d, n, "more"), 0, "abc42xyzxyz"),
        WRITE_IN("abcd", 4, String_PrintCat(d, n, "x"), 0, nullptr), // no terminator inside: not read past
    });
}

TEST(StringPrint, StringBufferAppend) {
    char buffer[8];
    StringBuffer record;
    StringBuffer_Init(&record, buffer, sizeof(buffer));
    int32_t written = -1;
    ExpectResults({
        RESULT(StringBuffer_Append(&record, "abc", -1, &written), 1), RESULT(written, 3),
        RESULT(StringBuffer_Append(&record, nullptr, 5, &written), 1), RESULT(written, 0),
        RESULT(StringBuffer_Append(&record, "zz", 0, &written), 1), RESULT(record.Overflow & 1, 0),
        RESULT(StringBuffer_Append(&record, "defgh", 5, &written), 1), RESULT(written, 4), // 4 of 5 fit: an overrun
        RESULT(record.Overflow & 1, 1), RESULT(record.Used, 7),
        RESULT(StringBuffer_Append(&record, "i", 1, &written), 0), RESULT(written, 0),
        RESULT(StringBuffer_Finalize(&record), 1), RESULT(strcmp(buffer, "abcdefg"), 0),
    });
    StringBuffer_Init(&record, buffer, 3); // full before the piece: nothing fits, result 0
    ExpectResults({RESULT(StringBuffer_Append(&record, "ab", 2, nullptr), 1), RESULT(record.Overflow & 1, 0),
                   RESULT(StringBuffer_Append(&record, "c", 1, nullptr), 0), RESULT(record.Overflow & 1, 1)});
    StringBuffer_Init(&record, nullptr, 0); // counting only
    ExpectResults({RESULT(StringBuffer_Append(&record, "abcdef", -1, nullptr), 1),
                   RESULT(StringBuffer_Append(&record, "abcdef", 2, nullptr), 1), RESULT(record.Used, 8),
                   RESULT(StringBuffer_Finalize(&record), 1)});
}

TEST(StringPrintDeathTest, ForeignRecordIsRefused) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child may run at other addresses, so the pointer is matched by its form: 16 upper-case digits.
    std::string mismatch = AbortRegex("Class mismatch pointer (0xPOINTER: expected 0x19ee5213 but was 0x12345678)\n");
    mismatch.replace(mismatch.find("POINTER"), 7, "[0-9A-F]{16}");
    char buffer[8];
    StringBuffer record;
    StringBuffer_Init(&record, buffer, sizeof(buffer));
    record.Header.ClassId = 0x12345678;
    EXPECT_DEATH(InstallTestAbortHook(); StringBuffer_Append(&record, "x", 1, nullptr), mismatch);
    EXPECT_DEATH(InstallTestAbortHook(); StringBuffer_Finalize(&record), mismatch);
}

} // namespace
