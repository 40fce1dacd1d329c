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
// 10^0 .. 10^19.
constexpr uint64_t kPowersOfTen[20] = {1,
                                       10,
                                       100,
                                       1000,
                                       10000,
                                       100000,
                                       1000000,
                                       10000000,
                                       100000000,
                                       1000000000,
                                       10000000000,
                                       100000000000,
                                       1000000000000,
                                       10000000000000,
                                       100000000000000,
                                       1000000000000000,
                                       10000000000000000,
                                       100000000000000000,
                                       1000000000000000000,
                                       10000000000000000000u};
// An exponent's digits are held at this size. It is above the count of digits any text in memory
// can hold (2^57 bytes of address space), so that a held exponent still gives 0 or beyond the range
// whatever digits precede it; and below 2^59, so that neither its last step (x 16 + 15) nor
// adding the digits' own scale overflows.
constexpr int64_t kExponentBound = int64_t{1} << 58;

// ---- Powers of five to 128 bits

// 5^q for q in [kLeastPower, kGreatestPower] as 128 bits whose top bit is set: 5^q is
// (High:Low) x 2^(PowerOfFiveExponent(q) - 127). Truncated for q >= 0; for q < 0 the quotient
// of a power of two by 5^-q plus one, cut to 128 bits. Each is within one unit of the last bit.
// The range is that of the nonzero finite decimals below 2^64 x 10^q, and of the powers of two
// the writer scales.
constexpr int32_t kLeastPower = -342;
constexpr int32_t kGreatestPower = 347;
constexpr int32_t kPowerCount = kGreatestPower - kLeastPower + 1;

struct PowersOfFive {
    uint64_t High[kPowerCount];
    uint64_t Low[kPowerCount];
    // Bit q - kLeastPower set where the entry is one unit below 5^q's 128 bits rounded up, which
    // the writer takes: the entry plus this bit is the least 128-bit number not below 5^q's bits.
    uint64_t RoundUp[(kPowerCount + 63) / 64];
    bool Valid;
};

// floor(log2(5^q)) for q in the range above.
constexpr int32_t PowerOfFiveExponent(int32_t q) {
    return ((217706 * q) >> 16) - q;
}

// An unsigned integer of up to 1792 bits, for building the table at compile time.
struct WideInteger {
    static constexpr int32_t kLimbs = 28;
    uint64_t Limb[kLimbs] = {};

    constexpr int32_t BitLength() const {
        for (int32_t i = kLimbs - 1; i >= 0; i--)
            if (Limb[i]) return i * 64 + 64 - std::countl_zero(Limb[i]);
        return 0;
    }
    // The 64 bits from bit `from` (below 0: zeros shifted in).
    constexpr uint64_t Bits(int32_t from) const {
        if (from <= -64) return 0;
        if (from < 0) return Limb[0] << -from;
        const int32_t i = from / 64, shift = from % 64;
        const uint64_t low = i < kLimbs ? Limb[i] : 0, high = i + 1 < kLimbs ? Limb[i + 1] : 0;
        return shift ? (low >> shift) | (high << (64 - shift)) : low;
    }
    constexpr WideInteger ShiftedRight(int32_t bits) const {
        WideInteger shifted;
        for (int32_t i = 0; i < kLimbs; i++) shifted.Limb[i] = Bits(i * 64 + bits);
        return shifted;
    }
    constexpr void Multiply(uint64_t factor) {
        unsigned __int128 carry = 0;
        for (uint64_t& limb : Limb) {
            carry += static_cast<unsigned __int128>(limb) * factor;
            limb = static_cast<uint64_t>(carry);
            carry >>= 64;
        }
    }
    constexpr void Divide(uint64_t divisor) {
        unsigned __int128 rest = 0;
        for (int32_t i = kLimbs - 1; i >= 0; i--) {
            rest = rest << 64 | Limb[i];
            Limb[i] = static_cast<uint64_t>(rest / divisor);
            rest %= divisor;
        }
    }
    constexpr void AddOne() {
        for (uint64_t& limb : Limb)
            if (++limb != 0) break;
    }
    // Whether a bit below bit `from` is set.
    constexpr bool AnyBelow(int32_t from) const {
        for (int32_t i = 0; i < kLimbs && i * 64 < from; i++) {
            const uint64_t mask = from - i * 64 >= 64 ? ~uint64_t{0} : (uint64_t{1} << (from - i * 64)) - 1;
            if (Limb[i] & mask) return true;
        }
        return false;
    }
};

constexpr PowersOfFive MakePowersOfFive() {
    PowersOfFive table{};
    table.Valid = true;
    const auto put = [&table](int32_t q, const WideInteger& value) {
        const int32_t from = value.BitLength() - 128;
        table.High[q - kLeastPower] = value.Bits(from + 64);
        table.Low[q - kLeastPower] = value.Bits(from);
    };
    const auto roundUp = [&table](int32_t q) {
        table.RoundUp[(q - kLeastPower) / 64] |= uint64_t{1} << ((q - kLeastPower) % 64);
    };
    WideInteger power;
    power.Limb[0] = 1;
    for (int32_t q = 0; q <= kGreatestPower; q++) {
        put(q, power);
        // The entry is 5^q's first 128 bits: rounded up, one more when a bit below them is set.
        if (power.AnyBelow(power.BitLength() - 128)) roundUp(q);
        table.Valid = table.Valid && power.BitLength() - 1 == PowerOfFiveExponent(q);
        power.Multiply(5);
    }
    // floor(2^kTop / 5^n) by one division by 5 a step; floor(2^b / 5^n) is it shifted right.
    constexpr int32_t kTop = 1718;
    WideInteger quotient, five;
    quotient.Limb[kTop / 64] = uint64_t{1} << (kTop % 64);
    five.Limb[0] = 1;
    for (int32_t n = 1; n <= -kLeastPower; n++) {
        quotient.Divide(5);
        five.Multiply(5);
        const int32_t z = five.BitLength(); // 2^(z-1) < 5^n < 2^z
        // Up to 5^27 the quotient of 2^(z+127) has 128 bits; past it a longer one is cut.
        const int32_t b = n <= 27 ? z + 127 : 2 * z + 128;
        table.Valid = table.Valid && b <= kTop && -z == PowerOfFiveExponent(-n);
        WideInteger rounded = quotient.ShiftedRight(kTop - b);
        rounded.AddOne();
        put(-n, rounded);
        // 2^(z+127) / 5^n rounded up (it is no integer), 128 bits; the entry is it or one below.
        WideInteger up = quotient.ShiftedRight(kTop - z - 127);
        up.AddOne();
        const size_t i = static_cast<size_t>(-n - kLeastPower);
        const uint64_t high = up.Bits(64), low = up.Bits(0);
        const bool one = table.Low[i] + 1 == low && table.High[i] + (low == 0) == high;
        table.Valid = table.Valid && up.BitLength() == 128 && (one || (table.Low[i] == low && table.High[i] == high));
        if (one) roundUp(-n);
    }
    return table;
}

constexpr PowersOfFive kPowersOfFive = MakePowersOfFive();
static_assert(kPowersOfFive.Valid, "powers of five out of their range");
static_assert(kPowersOfFive.High[0 - kLeastPower] == uint64_t{1} << 63 &&
              kPowersOfFive.Low[0 - kLeastPower] == 0);
static_assert(kPowersOfFive.High[1 - kLeastPower] == uint64_t{5} << 61);
// Known answers at the ends: 5^-342 and 5^308 to 128 bits.
static_assert(kPowersOfFive.High[0] == 0xEEF453D6923BD65A && kPowersOfFive.Low[0] == 0x113FAA2906A13B3F);
static_assert(kPowersOfFive.High[308 - kLeastPower] == 0x8E679C2F5E44FF8F &&
              kPowersOfFive.Low[308 - kLeastPower] == 0x570F09EAA7EA7648);

// An entry rounded up, as the writer takes it: the high and low halves.
constexpr unsigned __int128 PowerOfFiveRoundedUp(int32_t q) {
    const size_t i = static_cast<size_t>(q - kLeastPower);
    return (static_cast<unsigned __int128>(kPowersOfFive.High[i]) << 64 | kPowersOfFive.Low[i]) +
           (kPowersOfFive.RoundUp[i / 64] >> (i % 64) & 1);
}
constexpr bool RoundedUpIs(int32_t q, uint64_t high, uint64_t low) {
    return PowerOfFiveRoundedUp(q) == (static_cast<unsigned __int128>(high) << 64 | low);
}
// Known answers, rounded up: both ends, the exact powers' end (5^55 fits 128 bits, 5^56 does not),
// the first rounded quotient cut to 128 bits (5^-28), the writer's least power (10^-292).
static_assert(RoundedUpIs(-342, 0xEEF453D6923BD65A, 0x113FAA2906A13B40) &&
              RoundedUpIs(-292, 0xFF77B1FCBEBCDC4F, 0x25E8E89C13BB0F7B) &&
              RoundedUpIs(-28, 0xFD87B5F28300CA0D, 0x8BCA9D6E188853FD) &&
              RoundedUpIs(-27, 0x9E74D1B791E07E48, 0x775EA264CF55347E) &&
              RoundedUpIs(-1, 0xCCCCCCCCCCCCCCCC, 0xCCCCCCCCCCCCCCCD) &&
              RoundedUpIs(55, 0xD0CF4B50CFE20765, 0xFFF4B4E3F741CF6D) &&
              RoundedUpIs(56, 0x82818F1281ED449F, 0xBFF8F10E7A8921A5) &&
              RoundedUpIs(308, 0x8E679C2F5E44FF8F, 0x570F09EAA7EA7649) &&
              RoundedUpIs(324, 0x9E19DB92B4E31BA9, 0x6C07A2C26A8346D2) &&
              RoundedUpIs(347, 0xD13EB46469447567, 0x4B7195F2D2D1A9FC));

// ---- The nearest double

// The bits of the double nearest to w x 10^q, ties to even; false in the rare case that 128 bits of
// 10^q cannot settle it. One or two 64 x 64-bit products against the table: the error of the
// table's entry moves the product by less than w, which shows in its low bits only when they are all
// ones, and then the entry's second half is taken in too.
inline bool NearestDoubleBits(uint64_t w, int64_t q, uint64_t* bits) {
    constexpr uint64_t kInfinity = uint64_t{0x7FF} << 52;
    if (w == 0 || q < kLeastPower) {
        *bits = 0;
        return true;
    }
    if (q > 308) {
        *bits = kInfinity;
        return true;
    }
    const int32_t lz = std::countl_zero(w);
    w <<= lz;
    const size_t index = static_cast<size_t>(q - kLeastPower);
    const unsigned __int128 first = static_cast<unsigned __int128>(w) * kPowersOfFive.High[index];
    uint64_t high = static_cast<uint64_t>(first >> 64), low = static_cast<uint64_t>(first);
    // 54 bits are kept, one more than the double's, to round; the 9 below them decide whether
    // the truncation could matter.
    if ((high & 0x1FF) == 0x1FF) {
        const uint64_t second =
            static_cast<uint64_t>(static_cast<unsigned __int128>(w) * kPowersOfFive.Low[index] >> 64);
        low += second;
        high += low < second;
    }
    // Within 5^-27..5^55 the product is exact enough as it is; elsewhere a low half of all ones
    // may still be short of a carry.
    if (low == UINT64_MAX && (q < -27 || q > 55)) return false;
    const int32_t upper = static_cast<int32_t>(high >> 63);
    uint64_t mantissa = high >> (upper + 9);
    // The biased exponent: floor(log2(10^q)) + 1023, with the product's own top bit.
    int32_t exponent = static_cast<int32_t>(((217706 * q) >> 16) + 63) + upper - lz + 1023;
    if (exponent <= 0) {
        // A subnormal, or 0: the mantissa shifted to the fixed exponent, then rounded; rounding up
        // may make it the smallest normal.
        if (1 - exponent >= 64) {
            *bits = 0;
            return true;
        }
        mantissa >>= 1 - exponent;
        mantissa += mantissa & 1;
        mantissa >>= 1;
        *bits = mantissa;
        return true;
    }
    // A product exactly halfway (only a small q can give one) rounds to even.
    if (low <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 && (mantissa << (upper + 9)) == high)
        mantissa &= ~uint64_t{1};
    mantissa += mantissa & 1;
    mantissa >>= 1;
    if (mantissa >= uint64_t{2} << 52) {
        mantissa = uint64_t{1} << 52;
        exponent++;
    }
    if (exponent >= 0x7FF) {
        *bits = kInfinity;
        return true;
    }
    *bits = static_cast<uint64_t>(exponent) << 52 | (mantissa & ((uint64_t{1} << 52) - 1));
    return true;
}

// A decimal spelling: digits with at most one point, then an optional exponent.
struct DecimalScan {
    const char* End = nullptr; // the first byte after the number
    uint64_t Mantissa = 0;     // its first 19 significant digits
    int64_t Scale = 0;         // the power of ten that scales Mantissa
    int64_t Kept = 0;          // significant digits in Mantissa
    bool Exact = true;         // Mantissa holds every significant digit
    bool Whole = true;         // neither a point nor an exponent
};

// The byte at q: 0 at `end` when Bounded, as at the NUL of a terminated text otherwise.
template <bool Bounded> inline uint8_t ByteAt(const char* q, const char* end) {
    if constexpr (Bounded)
        if (q >= end) return 0;
    return static_cast<uint8_t>(*q);
}

// An exponent at p ('e' or 'E', an optional sign, digits) added to the scan's scale; answers the
// byte after it, or p when there is none: a letter without digits is left out, as strtod leaves it.
template <bool Bounded> inline const char* ReadExponent(const char* p, const char* end, DecimalScan* scan) {
    const uint8_t letter = ByteAt<Bounded>(p, end);
    if (letter != 'e' && letter != 'E') return p;
    const char* q = p + 1;
    bool negative = false;
    if (ByteAt<Bounded>(q, end) == '+' || ByteAt<Bounded>(q, end) == '-') negative = *q++ == '-';
    if (static_cast<uint32_t>(ByteAt<Bounded>(q, end)) - '0' > 9) return p;
    int64_t exponent = 0;
    // Seventeen digits stay below the bound; past them each step is held at it.
    const int64_t quick = Bounded && end - q < 17 ? end - q : 17;
    for (uint32_t d, n = 0; n < quick && (d = static_cast<uint32_t>(static_cast<uint8_t>(*q)) - '0') <= 9; n++, q++)
        exponent = exponent * 10 + d;
    for (uint32_t d; (d = static_cast<uint32_t>(ByteAt<Bounded>(q, end)) - '0') <= 9; q++)
        if (exponent < kExponentBound) exponent = exponent * 10 + d;
    scan->Scale += negative ? -exponent : exponent;
    scan->Whole = false;
    return q;
}

// Eight digits at once: the bytes at p as one little-endian word, whether each is a digit, and
// their decimal value (three multiplications instead of eight steps).
inline uint64_t LoadEight(const char* p) {
    uint64_t word;
    memcpy(&word, p, sizeof(word));
    return word;
}

inline bool EightDigits(uint64_t word) {
    // Each byte's high half is 3, and adding 6 leaves it 3 (the low half is at most 9).
    return ((word & 0xF0F0F0F0F0F0F0F0) | (((word + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4)) ==
           0x3333333333333333;
}

inline uint64_t EightDigitValue(uint64_t word) {
    word -= 0x3030303030303030;
    word = word * 10 + (word >> 8); // pairs: each 16-bit lane's low byte is 10 a + b
    // Pairs (0, 2) and (1, 3) scaled by 10^6, 10^2 and 10^4, 1, summed into the upper half.
    word = ((word & 0x000000FF000000FF) * (100 + (uint64_t{1000000} << 32)) +
            ((word >> 16) & 0x000000FF000000FF) * (1 + (uint64_t{10000} << 32))) >>
           32;
    return word;
}

// The digits from p added to *mantissa (wrapping past 19), answering the first byte after them.
// Eight at a time while eight bytes remain; with ByteFirst, after the first eight read one at a
// time, which is all most whole parts have. A terminated text (not Bounded) is read a byte at a time
// up to eight digits; past them its end is found once (*end, null until then) and the rest is read
// as a counted text.
template <bool Bounded, bool ByteFirst>
inline const char* ReadDigits(const char* p, const char** end, uint64_t* mantissa) {
    uint64_t m = *mantissa;
    if constexpr (ByteFirst || !Bounded) {
        const char* const stop = p + 8;
        for (uint32_t d; p < stop; p++) {
            if ((d = static_cast<uint32_t>(ByteAt<Bounded>(p, *end)) - '0') > 9) {
                *mantissa = m;
                return p;
            }
            m = m * 10 + d;
        }
        if (!Bounded && !*end) *end = p + std::strlen(p);
    }
    if constexpr (std::endian::native == std::endian::little)
        while (*end - p >= 8 && EightDigits(LoadEight(p))) {
            m = m * 100000000 + EightDigitValue(LoadEight(p));
            p += 8;
        }
    for (uint32_t d; (d = static_cast<uint32_t>(ByteAt<true>(p, *end)) - '0') <= 9; p++) m = m * 10 + d;
    *mantissa = m;
    return p;
}

// Reads the decimal spelling at p, in one pass without a check per digit; `Bounded` reads up to
// `end`, otherwise up to the terminating NUL. False when it holds no digit.
template <bool Bounded> inline bool ScanDecimal(const char* p, const char* end, DecimalScan* scan) {
    const auto at = [end](const char* q) { return ByteAt<Bounded>(q, end); };
    // A terminated text's end, once a long run of digits has made it worth finding.
    const char* measured = Bounded ? end : nullptr;
    uint64_t mantissa = 0;
    bool any = false;
    while (at(p) == '0') {
        p++;
        any = true;
    }
    const char* first = p; // the first significant digit
    // Past 19 digits the sum wraps; the first 19 are read again below.
    p = ReadDigits<Bounded, true>(p, &measured, &mantissa);
    int64_t kept = p - first;
    if (at(p) == '.') {
        scan->Whole = false;
        p++;
        if (kept == 0) {
            while (at(p) == '0') {
                p++;
                scan->Scale--;
                any = true;
            }
            first = p;
        }
        const char* fraction = p;
        p = ReadDigits<Bounded, false>(p, &measured, &mantissa);
        kept += p - fraction;
        scan->Scale -= p - fraction;
    }
    if (!any && kept == 0) return false;
    scan->End = ReadExponent<Bounded>(p, end, scan);
    if (kept > 19) {
        // The value lies between the first 19 digits and the next 19-digit number above them.
        mantissa = 0;
        for (int32_t taken = 0; taken < 19; first++)
            if (*first != '.') {
                mantissa = mantissa * 10 + static_cast<uint64_t>(*first - '0');
                taken++;
            }
        scan->Scale += kept - 19;
        kept = 19;
        scan->Exact = false;
    }
    scan->Mantissa = mantissa;
    scan->Kept = kept;
    return true;
}

// The correctly rounded magnitude of a scanned decimal spelling `digits`..scan.End that the
// table cannot settle: the standard library's conversion, which is locale-free.
[[gnu::noinline]] double LibraryDecimalValue(const char* digits, const DecimalScan& scan) {
    double value = 0.0;
    const std::from_chars_result read = std::from_chars(digits, scan.End, value, std::chars_format::general);
    if (read.ec == std::errc::result_out_of_range)
        // Beyond the range above, or below the smallest subnormal.
        value = scan.Kept + scan.Scale > 0 ? HUGE_VAL : 0.0;
    return value;
}

// The correctly rounded magnitude of a scanned decimal spelling past the fast cases below: the
// table gives the nearest double, from the first 19 digits and from the number above them when
// more were dropped, where both agree.
[[gnu::noinline]] double TableDecimalValue(const char* digits, const DecimalScan& scan) {
    uint64_t bits = 0, above = 0;
    if (scan.Exact ? NearestDoubleBits(scan.Mantissa, scan.Scale, &bits)
                   : NearestDoubleBits(scan.Mantissa, scan.Scale, &bits) &&
                         NearestDoubleBits(scan.Mantissa + 1, scan.Scale, &above) && bits == above)
        return std::bit_cast<double>(bits);
    return LibraryDecimalValue(digits, scan);
}

// The correctly rounded magnitude of a scanned decimal spelling. A mantissa of at most 53 bits
// scaled by an exact power of ten is one correctly rounded operation, as is a whole number's
// conversion; any other mantissa that holds every digit is settled by the table here, and what is
// left (digits dropped, or a product the table cannot settle) by TableDecimalValue.
inline double DecimalValue(const char* digits, const DecimalScan& scan) {
    if (scan.Mantissa == 0) return 0.0;
    if (scan.Exact) {
        if (scan.Mantissa <= kExactMantissa && scan.Scale >= -22 && scan.Scale <= 22) {
            const double m = static_cast<double>(scan.Mantissa);
            return scan.Scale < 0 ? m / kExactPowers[-scan.Scale] : m * kExactPowers[scan.Scale];
        }
        if (scan.Scale == 0) return static_cast<double>(scan.Mantissa);
        uint64_t bits = 0;
        if (NearestDoubleBits(scan.Mantissa, scan.Scale, &bits)) return std::bit_cast<double>(bits);
    }
    return TableDecimalValue(digits, scan);
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
        if (!ScanDecimal<Bounded>(p, end, &scan) || !ends(scan.End)) return 0;
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
        ScanDecimal<true>(p, digitsEnd ? digitsEnd : stop, &scan);
        value = scan.Kept + scan.Scale > 0 ? HUGE_VAL : 0.0;
    }
    return negative ? -value : value;
}

// String_AtoF of text (up to `end` when Bounded, else up to its NUL). The common spelling is read
// in one pass as the whole-text reader reads it; hexadecimal, and an exponent form of String_AtoF's
// own (a letter after the digits that the common spelling leaves), by ReadNumberPrefix.
template <bool Bounded> double ReadNumberStart(const char* text, const char* end) {
    const char* p = text + (ByteAt<Bounded>(text, end) == '-');
    DecimalScan scan;
    const bool hex = ByteAt<Bounded>(p, end) == '0' && (ByteAt<Bounded>(p + 1, end) | 0x20) == 'x';
    if (!hex) {
        if (!ScanDecimal<Bounded>(p, end, &scan)) return 0.0;
        const uint8_t next = ByteAt<Bounded>(scan.End, end) | 0x20;
        if (next != 'e' && next != 'x') {
            const double value = DecimalValue(p, scan);
            return p != text ? -value : value;
        }
    }
    return ReadNumberPrefix(text, Bounded ? end : text + std::strlen(text));
}

} // namespace

double String_AtoF(const char* text) {
    if (text == nullptr) return 0.0;
    return ReadNumberStart<false>(text, nullptr);
}

double String_AtoFLength(const char* text, size_t length) {
    if (text == nullptr) return 0.0;
    return ReadNumberStart<true>(text, text + length);
}

// ---- Writing doubles ------------------------------------------------------------------------------

namespace {

// Room for any text below: a sign, "0.000" and 17 digits, or 17 digits, a point and "e-308".
constexpr size_t kNumberRoom = 32;

// A number's significant digits (no trailing zero) and the power of ten of the first.
struct DecimalDigits {
    char Digits[24];
    int32_t Count;
    int32_t Exponent;
    uint64_t Value; // the digits as a whole number, where ShortestDigits gave them
};

// The product of a 128-bit power and cp, shifted right by 128 bits and rounded to odd: its lowest
// bit is set when any bit shifted out was, so that comparisons with multiples of 4 hold as they do
// on the exact product.
inline uint64_t RoundToOdd(unsigned __int128 power, uint64_t cp) {
    const unsigned __int128 low = static_cast<unsigned __int128>(cp) * static_cast<uint64_t>(power);
    const unsigned __int128 high =
        static_cast<unsigned __int128>(cp) * static_cast<uint64_t>(power >> 64) + static_cast<uint64_t>(low >> 64);
    return static_cast<uint64_t>(high >> 64) | (static_cast<uint64_t>(high) > 1);
}


// The eight decimal digits of n (below 10^8, leading zeros kept) as eight bytes in writing order:
// split into halves of four digits in 32-bit lanes, then pairs in 16-bit lanes, then single digits
// in bytes, the more significant part in the lower lane each time (quotients by multiplication:
// x / 100 = x x 5243 >> 19 below 43,699; y / 10 = y x 103 >> 10 below 179).
inline uint64_t EightDigitText(uint32_t n) {
    const uint64_t high = static_cast<uint64_t>(n) * 0xD1B71759 >> 45;
    const uint64_t fours = high | (n - high * 10000) << 32;
    const uint64_t hundreds = (fours * 5243 >> 19) & 0x0000007F0000007F;
    const uint64_t pairs = hundreds | (fours - hundreds * 100) << 16;
    const uint64_t tens = (pairs * 103 >> 10) & 0x000F000F000F000F;
    const uint64_t text = (tens | (pairs - tens * 10) << 8) + 0x3030303030303030;
    if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(text);
    return text;
}

// The shortest digits that read back as the positive finite double `bits`, the nearest to it
// when several do (ties to an even last digit), as the standard writer chooses them. The rounding
// interval of c x 2^q is scaled by the power of ten that leaves it 17 or 18 digits; among the
// integers in it, a multiple of ten when one is there (one digit fewer), else the nearest. The
// interval's ends belong to it when c is even, as a reader rounding ties to even takes them; a
// power of two's lower neighbour is half as far as its upper.
void ShortestDigits(uint64_t bits, DecimalDigits* d) {
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    const int32_t biased = static_cast<int32_t>(bits >> 52);
    const uint64_t c = biased ? fraction | uint64_t{1} << 52 : fraction;
    const int32_t q = biased ? biased - 1075 : -1074;
    const bool closer = fraction == 0 && biased > 1;
    // floor(log10(2^q)), or floor(log10(3/4 x 2^q)) for the nearer lower end.
    const int32_t k = (q * 1262611 - (closer ? 524031 : 0)) >> 22;
    // 10^-k = power x 2^(PowerOfFiveExponent(-k) - k - 127); h places 4c x 2^q x 10^-k at bit 128.
    const int32_t h = q + PowerOfFiveExponent(-k) - k + 1;
    const unsigned __int128 power = PowerOfFiveRoundedUp(-k);
    const uint64_t cb = c << 2;
    const uint64_t vb = RoundToOdd(power, cb << h);
    const uint64_t odd = c & 1;
    const uint64_t lower = RoundToOdd(power, (cb - 2 + closer) << h) + odd;
    const uint64_t upper = RoundToOdd(power, (cb + 2) << h) - odd;
    const uint64_t s = vb >> 2;
    uint64_t digits = 0;
    int32_t exponent = k;
    bool found = false;
    if (s >= 10) {
        // At most one of the two multiples of ten around the value lies in the interval.
        const uint64_t tens = s / 10;
        const bool belowIn = lower <= 40 * tens, aboveIn = 40 * tens + 40 <= upper;
        if (belowIn != aboveIn) {
            digits = tens + aboveIn;
            exponent = k + 1;
            found = true;
        }
    }
    if (!found) {
        const bool belowIn = lower <= 4 * s, aboveIn = 4 * s + 4 <= upper;
        if (belowIn != aboveIn)
            digits = s + aboveIn;
        else
            digits = s + (vb > 4 * s + 2 || (vb == 4 * s + 2 && (s & 1)));
    }
    while (digits % 10 == 0 && digits != 0) {
        digits /= 10;
        exponent++;
    }
    // The count of digits: from the bit length, then one more when at the next power of ten.
    int32_t count = ((64 - std::countl_zero(digits)) * 1233) >> 12;
    count += digits >= kPowersOfTen[count];
    d->Value = digits;
    // Below 10^17: a first digit and twice eight, leading zeros included, then the digits kept.
    const uint64_t high = digits / 100000000;
    const uint32_t top = static_cast<uint32_t>(high / 100000000);
    char text[40];
    text[0] = static_cast<char>('0' + top);
    const uint64_t middle = EightDigitText(static_cast<uint32_t>(high - uint64_t{top} * 100000000));
    const uint64_t low = EightDigitText(static_cast<uint32_t>(digits - high * 100000000));
    memcpy(text + 1, &middle, 8);
    memcpy(text + 9, &low, 8);
    memcpy(d->Digits, text + 17 - count, 17);
    d->Count = count;
    d->Exponent = exponent + count - 1;
}

// "%g"'s text of the digits at `precision` (at least their count): the exponent form below 10^-4
// and from 10^precision ("d.ddde+XX", two exponent digits at least), the fixed form otherwise.
char* SpellGeneral(const DecimalDigits& d, int32_t precision, char* p) {
    const int32_t x = d.Exponent;
    if (x < -4 || x >= precision) {
        *p++ = d.Digits[0];
        if (d.Count > 1) {
            *p++ = '.';
            memcpy(p, d.Digits + 1, static_cast<size_t>(d.Count - 1));
            p += d.Count - 1;
        }
        *p++ = 'e';
        *p++ = x < 0 ? '-' : '+';
        const int32_t magnitude = x < 0 ? -x : x;
        if (magnitude >= 100) *p++ = static_cast<char>('0' + magnitude / 100);
        *p++ = static_cast<char>('0' + magnitude / 10 % 10);
        *p++ = static_cast<char>('0' + magnitude % 10);
        return p;
    }
    if (x < 0) {
        *p++ = '0';
        *p++ = '.';
        for (int32_t i = -1; i > x; i--) *p++ = '0';
        memcpy(p, d.Digits, static_cast<size_t>(d.Count));
        return p + d.Count;
    }
    const int32_t whole = x + 1;
    if (d.Count <= whole) {
        memcpy(p, d.Digits, static_cast<size_t>(d.Count));
        memset(p + d.Count, '0', static_cast<size_t>(whole - d.Count));
        return p + whole;
    }
    memcpy(p, d.Digits, static_cast<size_t>(whole));
    p[whole] = '.';
    memcpy(p + whole + 1, d.Digits + whole, static_cast<size_t>(d.Count - whole));
    return p + d.Count + 1;
}

// 2^k x 10^q rounded to the nearest integer, when that is below 2^64 and the table's error cannot
// move it across a half (nor is it a tie); false otherwise.
bool RoundedPowerOfTwo(int32_t k, int32_t q, uint64_t* rounded) {
    if (q < kLeastPower || q > kGreatestPower) return false;
    const size_t index = static_cast<size_t>(q - kLeastPower);
    const unsigned __int128 entry =
        static_cast<unsigned __int128>(kPowersOfFive.High[index]) << 64 | kPowersOfFive.Low[index];
    // 2^k x 10^q = entry x 2^(k + q + PowerOfFiveExponent(q) - 127); the bits below 2^0 are shifted out.
    const int32_t shift = 127 - k - q - PowerOfFiveExponent(q);
    if (shift <= 64 || shift >= 128) return false;
    const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
    const unsigned __int128 fraction = entry & ((half << 1) - 1);
    // The entry is within one unit of 5^q's true bits.
    if (fraction + 1 >= half && fraction <= half + 1) return false;
    *rounded = static_cast<uint64_t>(entry >> shift) + (fraction > half ? 1 : 0);
    return true;
}

// The "%g" text of value at the first precision from `precision` up whose text reads back as value.
char* SearchGeneral(double value, int32_t precision, char* p) {
    for (int32_t digits = precision;; digits++) {
        char* end = std::to_chars(p, p + kNumberRoom - 1, value, std::chars_format::general, digits).ptr;
        double back = 0.0;
        std::from_chars(p, end, back);
        // 17 significant digits always read back.
        if (back == value || digits >= 17) return end;
    }
}

// The "%g" text at p of a value with shortest digits d where nearer digits are needed: a subnormal
// shown with more digits than its shortest, or a power of two from 16 digits (see
// PrintGeneralShortest). Answers the end of the text.
[[gnu::noinline]] char* SpellNearer(double value, uint64_t bits, int32_t precision, DecimalDigits d, char* p) {
    const int32_t shown = d.Count > precision ? d.Count : precision;
    if ((bits >> 52) == 0) return SearchGeneral(value, shown, p);
    const int32_t k = static_cast<int32_t>(bits >> 52) - 1023;
    uint64_t nearest = 0;
    if (shown == 16 && d.Count == 16) {
        if (!RoundedPowerOfTwo(k, 15 - d.Exponent, &nearest)) return SearchGeneral(value, 16, p);
        if (nearest == d.Value) return SpellGeneral(d, 16, p);
    } else if (shown == 16) {
        return SearchGeneral(value, 16, p);
    }
    // The nearest 17 digits.
    if (!RoundedPowerOfTwo(k, 16 - d.Exponent, &nearest) || nearest < 10000000000000000ull ||
        nearest >= 100000000000000000ull)
        return SearchGeneral(value, 17, p);
    for (int32_t i = 16; i >= 0; i--, nearest /= 10) d.Digits[i] = static_cast<char>('0' + nearest % 10);
    d.Count = 17;
    while (d.Count > 1 && d.Digits[d.Count - 1] == '0') d.Count--;
    return SpellGeneral(d, 17, p);
}

// The "%g" text of a finite value at the smallest precision from `precision` up that reads back
// as the same double, written at out (kNumberRoom bytes, not terminated); answers its length.
// No text of fewer digits than the shortest reads back. Where the doubles
// around the value are evenly spaced, the nearest text at the shortest count of digits, or at any
// precision above it, reads back, and the shortest digits are those: "%g" at that precision is
// the shortest digits, spelled. A subnormal needs the nearest text at a precision above its
// shortest count. A power of two has a nearer neighbour below than above: up to 15 digits no two
// texts are as close as its neighbours, so its shortest digits are the nearest there too; at 16,
// the nearest may fall below the half-way point and not read back, and then 17 are written, which
// always read back.
[[gnu::always_inline]] inline size_t PrintGeneralShortest(double value, int32_t precision, char* out) {
    char* p = out;
    if (std::signbit(value)) {
        *p++ = '-';
        value = -value;
    }
    if (value < 9007199254740992.0 && value == static_cast<double>(static_cast<uint64_t>(value))) {
        // A whole number below 2^53: its own digits are the shortest.
        DecimalDigits d;
        const char* end =
            std::to_chars(d.Digits, d.Digits + sizeof(d.Digits), static_cast<uint64_t>(value)).ptr;
        const int32_t length = static_cast<int32_t>(end - d.Digits);
        if (length - 1 < precision) {
            memcpy(p, d.Digits, static_cast<size_t>(length));
            return static_cast<size_t>(p + length - out);
        }
        d.Count = length;
        while (d.Count > 1 && d.Digits[d.Count - 1] == '0') d.Count--;
        d.Exponent = length - 1;
        return static_cast<size_t>(SpellGeneral(d, d.Count > precision ? d.Count : precision, p) - out);
    }
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    const bool subnormal = (bits >> 52) == 0;
    const bool powerOfTwo = !subnormal && (bits & ((uint64_t{1} << 52) - 1)) == 0;
    DecimalDigits d;
    ShortestDigits(bits, &d);
    const int32_t shown = d.Count > precision ? d.Count : precision;
    if (subnormal ? shown > d.Count : powerOfTwo && shown >= 16 && d.Count < 17)
        return static_cast<size_t>(SpellNearer(value, bits, precision, d, p) - out);
    // "%g" at the shortest count takes the fixed form from 10^-4 up to where the digits end before
    // the units; a fraction below 2^53 always reaches past them, as its interval holds no whole number.
    return static_cast<size_t>(SpellGeneral(d, shown, p) - out);
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
