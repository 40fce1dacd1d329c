// Conversions of the text library: integers and doubles from text, hexadecimal, IPv4
// addresses, identifiers and random text, numbers, sizes, booleans and versions.
#include "core/runtime/string.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "core/linux/platform.h"
#include "core/runtime/debug.h"
#include "core/runtime/string_print.h"

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool HexPrefix(const char* p) {
    return p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
}

// Hexadecimal digits up to the first other byte; wraps on overflow.
uint64_t ReadHex(const char* p) {
    uint64_t value = 0;
    for (int d; (d = HexValue(*p)) >= 0; p++) value = value * 16 + static_cast<uint64_t>(d);
    return value;
}

// Decimal digits up to the first other byte; wraps on overflow.
uint64_t ReadDecimal(const char* p) {
    uint64_t value = 0;
    for (; IsDigit(*p); p++) value = value * 10 + static_cast<uint64_t>(*p - '0');
    return value;
}

// The unsigned part after the sign: "0x" hexadecimal or decimal.
uint64_t ReadMagnitude(const char* p, bool* hex) {
    *hex = HexPrefix(p);
    return *hex ? ReadHex(p + 2) : ReadDecimal(p);
}

constexpr char kHexLower[] = "0123456789abcdef";
constexpr char kHexUpper[] = "0123456789ABCDEF";

} // namespace

// ---- Integers ------------------------------------------------------------------------------

int64_t String_AtoI64(const char* text) {
    if (text == nullptr) return 0;
    bool negative = false;
    if (*text == '+') {
        text++;
    } else if (*text == '-') {
        negative = true;
        text++;
    }
    bool hex;
    uint64_t value = ReadMagnitude(text, &hex);
    // The sign does not apply to the hexadecimal form.
    if (negative && !hex) value = 0 - value;
    return static_cast<int64_t>(value);
}

int64_t String_AtoI64Length(const char* text, size_t length) {
    if (text == nullptr) return 0;
    const char* p = text;
    const char* const end = text + length;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    uint64_t value = 0;
    const bool hex = end - p >= 2 && HexPrefix(p);
    if (hex)
        for (p += 2; p < end && HexValue(*p) >= 0; p++)
            value = value * 16 + static_cast<uint64_t>(HexValue(*p));
    else
        for (; p < end && IsDigit(*p); p++) value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (negative && !hex) value = 0 - value;
    return static_cast<int64_t>(value);
}

int32_t String_AtoI(const char* text) {
    return static_cast<int32_t>(String_AtoI64(text));
}

uint64_t String_AtoU64(const char* text) {
    if (text == nullptr || *text == '-') return 0;
    if (*text == '+') text++;
    bool hex;
    return ReadMagnitude(text, &hex);
}

uint32_t String_AtoU(const char* text) {
    return static_cast<uint32_t>(String_AtoU64(text));
}

uintptr_t String_AtoP(const char* text) {
    return static_cast<uintptr_t>(String_AtoU64(text));
}

int64_t String_ConvertToHexInternal(const char* text, uint64_t* value) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(value);
    *value = 0;
    if (!HexPrefix(text)) return 0;
    *value = ReadHex(text + 2);
    return 1;
}

int64_t String_IsNumeric(const char* text) {
    ASSERT_POINTER(text);
    if (*text == '-') text++;
    for (; *text != 0; text++)
        if (!IsDigit(*text) && *text != '.') return 0;
    return 1;
}

// ---- The number reader ------------------------------------------------------------------------

namespace {

constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr uint64_t kExactMantissa = uint64_t{1} << 53;

// A decimal spelling: digits with at most one point, then an optional exponent.
struct DecimalScan {
    const char* End = nullptr; // the first byte after the number
    uint64_t Mantissa = 0;     // its first 19 significant digits
    int64_t Scale = 0;         // the power of ten that scales Mantissa
    int32_t Kept = 0;          // significant digits in Mantissa
    bool Exact = true;         // no nonzero digit was dropped
    bool Whole = true;         // neither a point nor an exponent
    bool Exponent = false;     // an exponent was read
};

// The byte at q: 0 at `end` when Bounded, as at the NUL of a terminated text otherwise.
template <bool Bounded>
inline uint8_t ByteAt(const char* q, const char* end) {
    if constexpr (Bounded)
        if (q >= end) return 0;
    return static_cast<uint8_t>(*q);
}

// An exponent at p ('e' or 'E', an optional sign, digits) added to the scan's scale; answers the
// byte after it, or p when there is none: a letter without digits is left out, as strtod leaves it.
template <bool Bounded>
inline const char* ReadExponent(const char* p, const char* end, int64_t* scale, DecimalScan* scan) {
    const uint8_t letter = ByteAt<Bounded>(p, end);
    if (letter != 'e' && letter != 'E') return p;
    const char* q = p + 1;
    bool negative = false;
    if (ByteAt<Bounded>(q, end) == '+' || ByteAt<Bounded>(q, end) == '-') negative = *q++ == '-';
    if (static_cast<uint32_t>(ByteAt<Bounded>(q, end)) - '0' > 9) return p;
    // Past a few hundred the value is 0 or beyond the range whatever the digits; the bound keeps
    // the sum from overflowing.
    int64_t exponent = 0;
    for (uint32_t d; (d = static_cast<uint32_t>(ByteAt<Bounded>(q, end)) - '0') <= 9; q++)
        if (exponent < 1000000) exponent = exponent * 10 + d;
    *scale += negative ? -exponent : exponent;
    scan->Whole = false;
    scan->Exponent = true;
    return q;
}

// Reads the decimal spelling at p (before `end`), any number of digits; false when it holds none.
bool ScanDecimal(const char* p, const char* end, DecimalScan* scan) {
    uint64_t mantissa = 0;
    int32_t kept = 0;
    int64_t scale = 0;
    bool exact = true, any = false;
    for (; p < end && *p == '0'; p++) any = true;
    for (; p < end && IsDigit(*p); p++) {
        any = true;
        if (kept < 19) {
            mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
            kept++;
        } else {
            scale++;
            exact = exact && *p == '0';
        }
    }
    if (p < end && *p == '.') {
        scan->Whole = false;
        p++;
        if (kept == 0)
            for (; p < end && *p == '0'; p++) {
                any = true;
                scale--;
            }
        for (; p < end && IsDigit(*p); p++) {
            any = true;
            if (kept < 19) {
                mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
                kept++;
                scale--;
            } else {
                exact = exact && *p == '0';
            }
        }
    }
    if (!any) return false;
    p = ReadExponent<true>(p, end, &scale, scan);
    scan->End = p;
    scan->Mantissa = mantissa;
    scan->Scale = scale;
    scan->Kept = kept;
    scan->Exact = exact;
    return true;
}

// The common spelling, at most 19 significant digits, read in one pass without a check per
// digit; `Bounded` reads up to `end`, otherwise up to the terminating NUL. False when it holds no
// digit; *tooLong when it has more digits than a 64-bit mantissa keeps, for ScanDecimal.
template <bool Bounded>
inline bool ScanShortDecimal(const char* p, const char* end, DecimalScan* scan, bool* tooLong) {
    const auto at = [end](const char* q) { return ByteAt<Bounded>(q, end); };
    uint64_t mantissa = 0;
    int64_t scale = 0;
    bool any = false;
    while (at(p) == '0') {
        p++;
        any = true;
    }
    const char* first = p;
    // Past 19 digits the sum wraps; such a text is read again by ScanDecimal.
    for (uint32_t d; (d = static_cast<uint32_t>(at(p)) - '0') <= 9; p++) mantissa = mantissa * 10 + d;
    int64_t kept = p - first;
    if (at(p) == '.') {
        scan->Whole = false;
        p++;
        if (kept == 0)
            while (at(p) == '0') {
                p++;
                scale--;
                any = true;
            }
        const char* fraction = p;
        for (uint32_t d; (d = static_cast<uint32_t>(at(p)) - '0') <= 9; p++) mantissa = mantissa * 10 + d;
        kept += p - fraction;
        scale -= p - fraction;
    }
    if (!any && kept == 0) return false;
    *tooLong = kept > 19;
    if (*tooLong) return true;
    p = ReadExponent<Bounded>(p, end, &scale, scan);
    scan->End = p;
    scan->Mantissa = mantissa;
    scan->Scale = scale;
    scan->Kept = static_cast<int32_t>(kept);
    return true;
}

// The correctly rounded magnitude of a scanned decimal spelling `digits`..scan.End that the exact
// path below cannot give: the standard library's conversion, which is locale-free.
[[gnu::noinline]] double LibraryDecimalValue(const char* digits, const DecimalScan& scan) {
    double value = 0.0;
    const std::from_chars_result read = std::from_chars(digits, scan.End, value, std::chars_format::general);
    if (read.ec == std::errc::result_out_of_range)
        // Beyond the range above, or below the smallest subnormal.
        value = scan.Kept + scan.Scale > 0 ? HUGE_VAL : 0.0;
    return value;
}

// The correctly rounded magnitude of a scanned decimal spelling. A mantissa of at most 53 bits
// scaled by an exact power of ten is one correctly rounded operation, the common case.
inline double DecimalValue(const char* digits, const DecimalScan& scan) {
    if (scan.Mantissa == 0) return 0.0;
    if (scan.Exact && scan.Mantissa <= kExactMantissa && scan.Scale >= -22 && scan.Scale <= 22) {
        const double m = static_cast<double>(scan.Mantissa);
        return scan.Scale < 0 ? m / kExactPowers[-scan.Scale] : m * kExactPowers[scan.Scale];
    }
    return LibraryDecimalValue(digits, scan);
}

// The hexadecimal digits at p (before `end` when Bounded, else before the NUL): the value
// (correctly rounded when past 64 bits), the 64-bit value and whether it fitted. Answers the first
// byte after the digits, or null when there is no digit.
template <bool Bounded>
const char* ScanHexadecimal(const char* p, const char* end, double* value, uint64_t* whole, bool* fits) {
    const char* first = p;
    uint64_t v = 0;
    *fits = true;
    for (int d; (!Bounded || p < end) && (d = HexValue(*p)) >= 0; p++) {
        if (v >> 60) *fits = false;
        v = v * 16 + static_cast<uint64_t>(d);
    }
    if (p == first) return nullptr;
    *whole = v;
    if (*fits) {
        *value = static_cast<double>(v);
    } else {
        const std::from_chars_result read = std::from_chars(first, p, *value, std::chars_format::hex);
        if (read.ec == std::errc::result_out_of_range) *value = HUGE_VAL;
    }
    return p;
}

// A magnitude with its sign as a 64-bit integer, held at the range's ends.
int64_t SignedInteger(uint64_t magnitude, bool negative) {
    if (negative) return magnitude >= (uint64_t{1} << 63) ? INT64_MIN : -static_cast<int64_t>(magnitude);
    return magnitude > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(magnitude);
}

int64_t TruncatedInteger(double value) {
    if (value >= 9223372036854775808.0) return INT64_MAX;
    if (value < -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(value);
}

// The whole of text (up to `end` when Bounded, else up to its NUL) as one number.
template <bool Bounded>
int64_t ParseWholeNumber(const char* text, const char* end, double* value, int64_t* integer) {
    ASSERT_POINTER(value);
    *value = 0.0;
    if (integer) *integer = 0;
    if (text == nullptr) return 0;
    const char* p = text;
    bool negative = false;
    if ((!Bounded || p < end) && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const auto ends = [end](const char* q) { return Bounded ? q == end : *q == 0; };
    double magnitude = 0.0;
    int64_t whole = 0;
    if ((!Bounded || end - p > 2) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        uint64_t bits = 0;
        bool fits = true;
        const char* stop = ScanHexadecimal<Bounded>(p + 2, end, &magnitude, &bits, &fits);
        if (!stop || !ends(stop) || !std::isfinite(magnitude)) return 0;
        if (integer) whole = fits ? SignedInteger(bits, negative) : (negative ? INT64_MIN : INT64_MAX);
    } else {
        DecimalScan scan;
        bool tooLong = false;
        if (!ScanShortDecimal<Bounded>(p, end, &scan, &tooLong)) return 0;
        if (tooLong) {
            scan = DecimalScan();
            ScanDecimal(p, Bounded ? end : p + std::strlen(p), &scan);
        }
        if (!ends(scan.End)) return 0;
        magnitude = DecimalValue(p, scan);
        if (!std::isfinite(magnitude)) return 0;
        if (integer) {
            if (scan.Whole && scan.Exact && scan.Scale == 0)
                whole = SignedInteger(scan.Mantissa, negative);
            else
                whole = TruncatedInteger(negative ? -magnitude : magnitude);
        }
    }
    *value = negative ? -magnitude : magnitude;
    if (integer) *integer = whole;
    return 1;
}

} // namespace

int64_t String_ParseNumber(const char* text, size_t length, double* value, int64_t* integer) {
    return ParseWholeNumber<true>(text, text ? text + length : nullptr, value, integer);
}

int64_t String_ParseNumberText(const char* text, double* value, int64_t* integer) {
    return ParseWholeNumber<false>(text, nullptr, value, integer);
}

// ---- The prefix reader (String_AtoF) --------------------------------------------------------------

namespace {

// Significant digits kept when a spelling is rebuilt around another exponent: a double's rounding
// is decided within the first 768, as long as a dropped nonzero digit is kept as a last '1'.
constexpr int32_t kKeptDigits = 780;
// An exponent is held at this size: past it every value is 0 or beyond the range, and adding the
// digits' own scale cannot overflow.
constexpr int64_t kExponentBound = 1000000;

// The correctly rounded magnitude of the digits in [p, end) (at most one point, no sign, no
// exponent) times 10^exponent; 0 or HUGE_VAL beyond the range.
[[gnu::noinline]] double ScaledDecimal(const char* p, const char* end, int64_t exponent) {
    char spelling[kKeptDigits + 32];
    int32_t kept = 0;
    int64_t scale = exponent;
    bool point = false, dropped = false;
    for (; p < end; p++) {
        if (*p == '.') {
            point = true;
        } else if (kept == 0 && *p == '0') {
            scale -= point;
        } else if (kept < kKeptDigits) {
            spelling[kept++] = *p;
            scale -= point;
        } else {
            scale += !point;
            dropped = dropped || *p != '0';
        }
    }
    if (kept == 0) return 0.0;
    if (dropped) {
        spelling[kept++] = '1';
        scale--;
    }
    spelling[kept] = 'e';
    const char* stop = std::to_chars(spelling + kept + 1, spelling + sizeof(spelling), scale).ptr;
    double value = 0.0;
    if (std::from_chars(spelling, stop, value).ec == std::errc::result_out_of_range)
        value = kept + scale > 0 ? HUGE_VAL : 0.0;
    return value;
}

// An exponent of String_AtoF's own forms, which the standard one does not take: after the
// letter an optional '+', then a number read as the mantissa is ("-5", "0x1F" unsigned as in
// String_AtoI64, "2.5" whose fraction is dropped); 0 when there are no digits. Held at
// kExponentBound, so that no run of digits wraps it.
int64_t LooseExponent(const char* p, const char* end) {
    if (p < end && *p == '+') p++;
    const bool negative = p < end && *p == '-';
    p += negative;
    int64_t exponent = 0;
    if (end - p >= 2 && HexPrefix(p)) {
        for (p += 2; p < end && HexValue(*p) >= 0; p++)
            if (exponent < kExponentBound) exponent = exponent * 16 + HexValue(*p);
        return exponent;
    }
    for (; p < end && IsDigit(*p); p++)
        if (exponent < kExponentBound) exponent = exponent * 10 + (*p - '0');
    return negative ? -exponent : exponent;
}

// Whether the digits that end at `at` (after `first`) are an exponent's: after 'e', with or
// without a sign.
bool AfterExponentLetter(const char* first, const char* at) {
    if (at > first && (at[-1] == '+' || at[-1] == '-')) at--;
    return at > first && (at[-1] == 'e' || at[-1] == 'E');
}

// String_AtoF of [text, end): the number its start spells, up to the first byte not part of it.
// The standard reader takes the common spelling, correctly rounded in any locale; String_AtoF's
// own exponent forms are read on top of what it took, still correctly rounded.
[[gnu::noinline]] double ReadNumberPrefix(const char* text, const char* end) {
    const char* p = text;
    const bool negative = p < end && *p == '-';
    p += negative;
    if (end - p >= 2 && HexPrefix(p)) {
        // The hexadecimal form's integer value: unsigned and wrapping, as String_AtoI64 reads it.
        uint64_t value = 0;
        for (p += 2; p < end && HexValue(*p) >= 0; p++)
            value = value * 16 + static_cast<uint64_t>(HexValue(*p));
        return static_cast<double>(value);
    }
    // Only a digit or a point starts a number; the standard reader would also take "inf", "nan"
    // and a second '-'.
    if (p == end || (!IsDigit(*p) && *p != '.')) return 0.0;
    double value = 0.0;
    const std::from_chars_result read = std::from_chars(p, end, value);
    if (read.ec == std::errc::invalid_argument) return 0.0;
    // The digits' value is scaled again when an exponent the standard reader does not take
    // follows them: a letter it left ("5e", "1e+-5"), unless that follows an exponent already
    // taken, which takes none of its own ("1e1e1"); or a hexadecimal exponent of which it took
    // the "0" ("1e0x1F").
    const char* stop = read.ptr;
    const char* digitsEnd = nullptr;
    int64_t exponent = 0;
    if (stop < end && (*stop == 'e' || *stop == 'E')) {
        const char* q = stop;
        while (q > p && IsDigit(q[-1])) q--;
        if (!AfterExponentLetter(p, q)) {
            digitsEnd = stop;
            exponent = LooseExponent(stop + 1, end);
        }
    } else if (stop < end && (*stop == 'x' || *stop == 'X') && stop[-1] == '0' &&
               AfterExponentLetter(p, stop - 1)) {
        const char* letter = stop - 1;
        if (letter[-1] == '+' || letter[-1] == '-') letter--;
        letter--;
        digitsEnd = letter;
        exponent = LooseExponent(letter + 1, end);
    }
    if (exponent != 0) {
        value = ScaledDecimal(p, digitsEnd, exponent);
    } else if (read.ec == std::errc::result_out_of_range) {
        // Beyond the range above, or below the smallest subnormal.
        DecimalScan scan;
        ScanDecimal(p, digitsEnd ? digitsEnd : stop, &scan);
        value = scan.Kept + scan.Scale > 0 ? HUGE_VAL : 0.0;
    }
    return negative ? -value : value;
}

// String_AtoF of a terminated text of at most 8 bytes. A plain spelling ("42", "-3.14") is read
// in one pass: its digits are exact in a double and so is their quotient by a power of ten, one
// correctly rounded division.
[[gnu::noinline]] double ReadShortNumber(const char* text, size_t length) {
    const char* const end = text + length;
    const char* const first = text + (text[0] == '-');
    const char* point = nullptr;
    const char* p = first;
    uint64_t mantissa = 0;
    for (; p < end; p++) {
        const uint32_t d = static_cast<uint32_t>(static_cast<uint8_t>(*p)) - '0';
        if (d <= 9)
            mantissa = mantissa * 10 + d;
        else if (*p == '.' && !point)
            point = p;
        else
            break;
    }
    if (p != end || end - first == (point ? 1 : 0)) return ReadNumberPrefix(text, end);
    double value = static_cast<double>(mantissa);
    if (point) value /= kExactPowers[end - point - 1];
    return first != text ? -value : value;
}

} // namespace

double String_AtoF(const char* text) {
    if (text == nullptr) return 0.0;
    const size_t length = std::strlen(text);
    if (length <= 8) return ReadShortNumber(text, length);
    // The common longer spelling, which the standard reader takes whole, its sign included; the
    // other forms are read by ReadNumberPrefix.
    const char* const first = text + (text[0] == '-');
    if (static_cast<uint32_t>(static_cast<uint8_t>(*first)) - '0' <= 9 && (first[1] | 0x20) != 'x') {
        double value;
        const std::from_chars_result read = std::from_chars(text, text + length, value);
        if (read.ec == std::errc() && read.ptr == text + length) return value;
    }
    return ReadNumberPrefix(text, text + length);
}

double String_AtoFLength(const char* text, size_t length) {
    if (text == nullptr) return 0.0;
    return ReadNumberPrefix(text, text + length);
}

// ---- Writing doubles ------------------------------------------------------------------------------

namespace {

// Room for any text below: a sign, "0.000" and 17 digits, or 17 digits, a point and "e-308".
constexpr size_t kNumberRoom = 32;

// The "%g" text of a finite value at the smallest precision from `precision` up that reads back
// as the same double, written at out (kNumberRoom bytes, not terminated); answers its length.
// The shortest digits that read back (std::to_chars) are those "%g" gives at that precision, save
// where the doubles around the value are not evenly spaced (a power of two, a subnormal): there
// the precisions are tried in turn. "%g" takes the exponent form below 10^-4 and from
// 10^precision, which is the standard writer's scientific text as it is, and the fixed form
// otherwise, which is that text with its point moved; no trailing zeros after a point.
size_t PrintGeneralShortest(double value, int32_t precision, char* out) {
    char* p = out;
    if (std::signbit(value)) {
        *p++ = '-';
        value = -value;
    }
    if (value < 9007199254740992.0 && value == static_cast<double>(static_cast<uint64_t>(value))) {
        // A whole number below 2^53: its own digits are the shortest.
        char* end = std::to_chars(p, p + 20, static_cast<uint64_t>(value)).ptr;
        const int32_t length = static_cast<int32_t>(end - p);
        int32_t count = length;
        while (count > 1 && p[count - 1] == '0') count--;
        if (length - 1 < (count > precision ? count : precision)) return static_cast<size_t>(end - out);
        // d.ddde+XX, the exponent below 16
        for (int32_t i = count - 1; i >= 1; i--) p[i + 1] = p[i];
        if (count > 1) p[1] = '.';
        char* e = p + count + (count > 1 ? 1 : 0);
        e[0] = 'e';
        e[1] = '+';
        e[2] = static_cast<char>('0' + (length - 1) / 10);
        e[3] = static_cast<char>('0' + (length - 1) % 10);
        return static_cast<size_t>(e + 4 - out);
    }
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    const bool evenlySpaced = (bits >> 52) != 0 && (bits & ((uint64_t{1} << 52) - 1)) != 0;
    if (evenlySpaced && value >= 1e-4 && value < 9007199254740992.0) {
        // A fraction from 10^-4 up: its digits reach past the units, so "%g" at their count takes
        // the fixed form, which is the standard writer's shortest fixed text (below 2^53 each
        // whole number is its own double, so no fraction's shortest digits end before the point).
        const char* end = std::to_chars(p, out + kNumberRoom, value, std::chars_format::fixed).ptr;
        return static_cast<size_t>(end - out);
    }
    if (evenlySpaced) {
        // "d.ddde+XX" or "de-XXX"
        char* end = std::to_chars(p, out + kNumberRoom, value, std::chars_format::scientific).ptr;
        // Below 10^-4, and from 10^17 whatever the digits, it is "%g"'s exponent form as it is.
        if (value < 1e-4 || value >= 1e17) return static_cast<size_t>(end - out);
        char* e = end[-4] == 'e' ? end - 4 : end - 5;
        int32_t exponent = 0;
        for (const char* q = e + 2; q < end; q++) exponent = exponent * 10 + (*q - '0');
        if (e[1] == '-') exponent = -exponent;
        const int32_t count = e - p > 1 ? static_cast<int32_t>(e - p) - 1 : 1;
        if (exponent >= (count > precision ? count : precision)) return static_cast<size_t>(end - out);
        // A whole number from 2^53 to 10^17 with as many digits as its exponent needs: the point
        // moves right past `exponent` digits, and zeros fill to the units.
        const int32_t whole = exponent + 1;
        for (int32_t i = 1; i < count && i < whole; i++) p[i] = p[i + 1];
        if (whole < count) {
            p[whole] = '.';
            return static_cast<size_t>(p + count + 1 - out);
        }
        for (int32_t i = count; i < whole; i++) p[i] = '0';
        return static_cast<size_t>(p + whole - out);
    }
    for (int32_t digits = precision;; digits++) {
        const char* end = std::to_chars(p, out + kNumberRoom, value, std::chars_format::general, digits).ptr;
        double back = 0.0;
        std::from_chars(p, end, back);
        // 17 significant digits always read back.
        if (back == value || digits >= 17) return static_cast<size_t>(end - out);
    }
}

[[gnu::always_inline]] inline int64_t PrintNumber(double value, int32_t precision, char* text, size_t size) {
    ASSERT_POINTER(text);
    if (!std::isfinite(value) || size == 0) {
        if (size > 0) text[0] = 0;
        return 0;
    }
    if (size >= kNumberRoom) {
        text[PrintGeneralShortest(value, precision, text)] = 0;
        return 1;
    }
    char spelling[kNumberRoom];
    const size_t length = PrintGeneralShortest(value, precision, spelling);
    if (length >= size) {
        text[0] = 0;
        return 0;
    }
    memcpy(text, spelling, length);
    text[length] = 0;
    return 1;
}

} // namespace

int64_t String_PrintNumberPrecision(double value, int32_t precision, char* text, size_t size) {
    return PrintNumber(value, precision < 1 ? 1 : (precision > 17 ? 17 : precision), text, size);
}

int64_t String_PrintNumber(double value, char* text, size_t size) {
    return PrintNumber(value, 6, text, size);
}

// ---- Hexadecimal ---------------------------------------------------------------------------

int64_t String_ConvertToHex(const void* bytes, int32_t count, int32_t lowerCase, char* dst,
                            int32_t capacity) {
    ASSERT_POINTER(dst);
    if (count > 0) ASSERT_POINTER(bytes);
    if (capacity < 1) return 0;
    const char* digits = lowerCase == 1 ? kHexLower : kHexUpper;
    const uint8_t* in = static_cast<const uint8_t*>(bytes);
    int64_t total = count > 0 ? 2 * static_cast<int64_t>(count) : 0;
    int64_t n = total < capacity - 1 ? total : capacity - 1;
    for (int64_t i = 0; i < n; i++) {
        uint8_t b = in[i / 2];
        dst[i] = digits[(i % 2) == 0 ? b >> 4 : b & 0x0F];
    }
    dst[n] = 0;
    return n == total ? 1 : 0;
}

int64_t String_ConvertFromHexLength(const char* text, int32_t length, void* dst, int32_t capacity,
                                    int32_t* count) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(dst);
    if (count) *count = 0;
    uint8_t* out = static_cast<uint8_t*>(dst);
    int32_t i = 0;
    if (length >= 2 && HexPrefix(text)) i = 2;
    int32_t n = 0;
    while (i < length && n < capacity) {
        int high = HexValue(text[i]);
        if (high < 0 || i + 1 >= length) break;
        int low = HexValue(text[i + 1]);
        if (low < 0) break;
        out[n++] = static_cast<uint8_t>(high << 4 | low);
        i += 2;
    }
    if (n < capacity) out[n] = 0;
    if (count) *count = n;
    return i >= length ? 1 : 0;
}

int64_t String_ConvertFromHex(const char* text, void* dst, int32_t capacity, int32_t* count) {
    ASSERT_POINTER(text);
    size_t length = std::strlen(text);
    return String_ConvertFromHexLength(text, length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length),
                                       dst, capacity, count);
}

// ---- IPv4 ----------------------------------------------------------------------------------

int64_t String_ConvertToIP(const char* text, uint32_t* address, uint16_t* port) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(address);
    *address = 0;
    if (port) *port = 0;
    uint8_t bytes[4];
    if (std::strcmp(text, "::1") == 0) {
        const uint8_t loopback[4] = {127, 0, 0, 1};
        std::memcpy(address, loopback, 4);
        return 1;
    }
    const char* p = text;
    for (int part = 0; part < 4; part++) {
        if (part > 0) {
            if (*p != '.') return 0;
            p++;
        }
        // Every part needs at least one digit: "1..2.3" is no address.
        if (!IsDigit(*p)) return 0;
        bytes[part] = static_cast<uint8_t>(ReadDecimal(p));
        while (IsDigit(*p)) p++;
    }
    uint64_t portValue = 0;
    if (*p == ':') {
        p++;
        if (!IsDigit(*p)) return 0;
        portValue = ReadDecimal(p);
        while (IsDigit(*p)) p++;
    }
    if (*p != 0) return 0;
    std::memcpy(address, bytes, 4);
    if (port) *port = static_cast<uint16_t>(portValue);
    return 1;
}

int64_t String_ConvertFromIP(const uint32_t* address, int32_t port, char* dst, int32_t capacity) {
    ASSERT_POINTER(address);
    ASSERT_POINTER(dst);
    if (capacity < 1) return 1;
    if (port != 0)
        String_Print(dst, capacity, "%ipv4:%d", static_cast<const void*>(address), port);
    else
        String_Print(dst, capacity, "%ipv4", static_cast<const void*>(address));
    return 1;
}

// ---- Identifiers and random text -----------------------------------------------------------

int64_t String_Guid(char* dst, int32_t capacity, int32_t style) {
    ASSERT_POINTER(dst);
    if (capacity >= 1) dst[0] = 0;
    uint8_t guid[16];
    if (!Platform_CreateGuid(guid)) return 0;
    char text[40];
    int32_t n = 0;
    for (int32_t i = 0; i < 16; i++) {
        // Dashes before bytes 4, 6 and 8 give groups of 8, 4, 4 and 16 digits.
        if (style == 1 && (i == 4 || i == 6 || i == 8)) text[n++] = '-';
        text[n++] = kHexLower[guid[i] >> 4];
        text[n++] = kHexLower[guid[i] & 0x0F];
    }
    text[n] = 0;
    String_CopyLength(dst, text, capacity);
    return 1;
}

int64_t String_Random(char* dst, int32_t capacity) {
    ASSERT_POINTER(dst);
    if (capacity < 1) return 1;
    int32_t n = capacity - 1;
    // The random bytes are drawn into dst itself and mapped in place.
    if (n > 0 && !Platform_CryptFill(dst, n)) {
        dst[0] = 0;
        return 0;
    }
    for (int32_t i = 0; i < n; i++) {
        int32_t v = static_cast<uint8_t>(dst[i]) % 35;
        if (v < 26)
            dst[i] = static_cast<char>((v % 2 == 1 ? 'A' : 'a') + v);
        else
            dst[i] = static_cast<char>('1' + (v - 26));
    }
    dst[n] = 0;
    return 1;
}

// ---- Numbers and sizes ---------------------------------------------------------------------

int64_t String_NumberToString(char* dst, int32_t capacity, int32_t group, int32_t decimals, int32_t trimZeros,
                              int32_t reserved, double value) {
    (void)reserved;
    ASSERT_POINTER(dst);
    if (decimals < 0 || decimals > 8) decimals = 0;
    const char format[] = {'%', '.', static_cast<char>('0' + decimals), 'f', 0};
    // The largest double printed in full needs 309 digits, 8 decimals, a sign and a point.
    char number[400];
    String_Print(number, sizeof number, format, value);
    // Only a printed fraction is trimmed: zeros of the integer part are never removed.
    if (trimZeros == 1 && std::strchr(number, '.') != nullptr) {
        String_TrimRightChar(number, '0');
        String_TrimRightChar(number, '.');
    }
    if (group != 1) {
        String_CopyLength(dst, number, capacity);
        return 1;
    }
    char grouped[sizeof number + sizeof number / 3];
    const char* p = number;
    int32_t n = 0;
    if (*p == '-' || *p == '+') grouped[n++] = *p++;
    size_t digits = 0;
    while (IsDigit(p[digits])) digits++;
    for (size_t i = 0; i < digits; i++) {
        if (i > 0 && (digits - i) % 3 == 0) grouped[n++] = ',';
        grouped[n++] = p[i];
    }
    String_Copy(grouped + n, p + digits);
    String_CopyLength(dst, grouped, capacity);
    return 1;
}

int64_t String_FormatMetric(char* dst, int32_t capacity, uint64_t value, uint32_t unit, int32_t mode) {
    ASSERT_POINTER(dst);
    if (capacity < 1) return 1;
    const char* suffix = mode == 1 ? "" : "/s";
    const bool bits = mode == 3;
    const char* letter = bits ? "b" : "B";
    // Compared and scaled as a double so that the bit count of a huge value does not wrap.
    const double shown = bits ? static_cast<double>(value) * 8.0 : static_cast<double>(value);
    const char* scale = nullptr;
    double divisor = 1;
    if (unit == 1024 || (unit == 0 && shown > 1024.0 && shown <= 1048576.0)) {
        scale = "K";
        divisor = 1024.0;
    } else if (unit == 0x100000 || (unit == 0 && shown > 1048576.0 && shown <= 1073741824.0)) {
        scale = "M";
        divisor = 1048576.0;
    } else if (unit == 0x40000000 || (unit == 0 && shown > 1073741824.0)) {
        scale = "G";
        divisor = 1073741824.0;
    }
    if (scale == nullptr) {
        // Unsigned: a size is never shown negative.
        String_Print(dst, capacity, "%I64u %s%s", bits ? value * 8 : value, letter, suffix);
    } else {
        String_Print(dst, capacity, "%.02f %s%s%s", shown / divisor, scale, letter, suffix);
    }
    return 1;
}

// ---- Booleans and versions -----------------------------------------------------------------

int64_t String_DecodeBoolean(const char* text, int64_t* value, int64_t defaultValue) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(value);
    *value = defaultValue;
    char word[10];
    String_CopyLength(word, text, sizeof word);
    String_Upper(word);
    if (word[0] == 0) return 1;
    static constexpr struct {
        const char* text;
        int64_t value;
    } kWords[] = {{"1", 1},   {"0", 0},  {"TRUE", 1}, {"FALSE", 0},
                  {"YES", 1}, {"NO", 0}, {"ON", 1},   {"OFF", 0}};
    for (const auto& w : kWords) {
        if (String_Compare(word, w.text)) {
            *value = w.value;
            return 1;
        }
    }
    return 0;
}

int64_t String_EncodeVersion(char* dst, int32_t capacity, int32_t a, int32_t b, int32_t c, int32_t d) {
    ASSERT_POINTER(dst);
    if (capacity < 1) return 1;
    String_Print(dst, capacity, "%d.%d.%d.%d", a, b, c, d);
    return 1;
}

namespace {

// A version field: its leading decimal digits, held at the largest 32-bit value when longer, so
// that a huge field never wraps round to a small or negative one.
int32_t ReadVersionField(const char* p) {
    int64_t value = 0;
    for (; IsDigit(*p); p++) {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX) return INT32_MAX;
    }
    return static_cast<int32_t>(value);
}

} // namespace

int64_t String_DecodeVersion(const char* text, int32_t* a, int32_t* b, int32_t* c, int32_t* d) {
    ASSERT_POINTER(text);
    int32_t* outs[4] = {a, b, c, d};
    for (int32_t* out : outs)
        if (out) *out = 0;
    const char* p = text;
    if (*p == 'v' || *p == 'V') p++;
    if (*p == 0) return 0;
    // A field is its leading decimal digits: no sign and no "0x" form, which would let the
    // unchecked fourth field read "0x10" as 16 or "-4" as below 0.
    if (a) *a = ReadVersionField(p);
    int64_t valid = 1;
    // Only the first three fields are examined; the fourth is its leading digits.
    for (int32_t field = 0; *p != 0 && field < 3; p++) {
        if (*p == '.' || *p == ',') {
            field++;
            if (outs[field]) *outs[field] = ReadVersionField(p + 1);
        } else if (!IsDigit(*p)) {
            valid = 0;
        }
    }
    return valid;
}

int64_t String_ConvertVersion(char* dst, int32_t capacity, const char* versionText, const char* format) {
    ASSERT_POINTER(dst);
    ASSERT_POINTER(versionText);
    ASSERT_POINTER(format);
    int32_t a, b, c, d;
    int64_t valid = String_DecodeVersion(versionText, &a, &b, &c, &d);
    if (capacity >= 1) String_Print(dst, capacity, format, a, b, c, d);
    return valid;
}

int64_t String_CompareVersion(const char* a, const char* b, int32_t* result) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    ASSERT_POINTER(result);
    *result = 0;
    int32_t va[4], vb[4];
    if (!String_DecodeVersion(a, &va[0], &va[1], &va[2], &va[3])) return 0;
    if (!String_DecodeVersion(b, &vb[0], &vb[1], &vb[2], &vb[3])) return 0;
    for (int32_t i = 0; i < 4; i++) {
        if (va[i] != vb[i]) {
            *result = va[i] > vb[i] ? 1 : -1;
            break;
        }
    }
    return 1;
}
