// The system's own printf engine: it reads the format, converts each argument in a stack buffer
// and hands the output piece by piece to a write callback; the front functions bind that callback
// to a caller's buffer, to a counter or to a caller's sink.

#include "core/runtime/string_print.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/runtime/log.h"
#include "core/runtime/unicode.h"

namespace {

enum StringFormatKind : uint8_t {
    STRINGFORMAT_TYPEUNKNOWN = 0,
    STRINGFORMAT_TYPEINTEGER = 1,
    STRINGFORMAT_TYPEFIXED = 2,
    STRINGFORMAT_TYPEEXPONENT = 3,
    STRINGFORMAT_TYPEGENERAL = 4,
    STRINGFORMAT_TYPESTRING = 5,
    STRINGFORMAT_TYPEJSON = 6,
    STRINGFORMAT_TYPEPERCENT = 7,
    STRINGFORMAT_TYPECHAR = 8,
    STRINGFORMAT_TYPEPOINTER = 9,
    STRINGFORMAT_TYPEORDINAL = 10,
    STRINGFORMAT_TYPEIPV4 = 11,
};

enum : uint8_t { STRINGFORMAT_SIGNED = 1, STRINGFORMAT_STRING = 2 };

// One row of the conversion table (six bytes, as the table is laid out).
struct StringFormatType {
    char Char;
    uint8_t Base;
    uint8_t Flags;
    uint8_t Kind;
    uint8_t DigitSet; // digit-string offset; exponent letter for floats; 1 = upper-case for text
    uint8_t Prefix;   // offset into GlobalStringConversionPrefix, 0 for none
};

constexpr StringFormatType GlobalStringFormatTypes[21] = {
    {'d', 10, STRINGFORMAT_SIGNED, STRINGFORMAT_TYPEINTEGER, 0, 0},
    {'s', 0, STRINGFORMAT_STRING, STRINGFORMAT_TYPESTRING, 0, 0},
    {'g', 0, STRINGFORMAT_SIGNED, STRINGFORMAT_TYPEGENERAL, 30, 0},
    {'c', 0, 0, STRINGFORMAT_TYPECHAR, 0, 0},
    {'o', 8, 0, STRINGFORMAT_TYPEINTEGER, 0, 2},
    {'u', 10, 0, STRINGFORMAT_TYPEINTEGER, 0, 0},
    {'x', 16, 0, STRINGFORMAT_TYPEINTEGER, 16, 1},
    {'X', 16, 0, STRINGFORMAT_TYPEINTEGER, 0, 4},
    {'f', 0, STRINGFORMAT_SIGNED, STRINGFORMAT_TYPEFIXED, 0, 0},
    {'e', 0, STRINGFORMAT_SIGNED, STRINGFORMAT_TYPEEXPONENT, 30, 0},
    {'E', 0, STRINGFORMAT_SIGNED, STRINGFORMAT_TYPEEXPONENT, 14, 0},
    {'G', 0, STRINGFORMAT_SIGNED, STRINGFORMAT_TYPEGENERAL, 14, 0},
    {'i', 10, STRINGFORMAT_SIGNED, STRINGFORMAT_TYPEINTEGER, 0, 0},
    {'%', 0, 0, STRINGFORMAT_TYPEPERCENT, 0, 0},
    {'p', 16, 0, STRINGFORMAT_TYPEPOINTER, 0, 1},
    {'r', 10, STRINGFORMAT_SIGNED, STRINGFORMAT_TYPEORDINAL, 0, 0},
    {'v', 0, STRINGFORMAT_STRING, STRINGFORMAT_TYPEIPV4, 0, 0},
    {'S', 0, STRINGFORMAT_STRING, STRINGFORMAT_TYPESTRING, 1, 0},
    {'C', 0, 0, STRINGFORMAT_TYPECHAR, 1, 0},
    {'j', 0, STRINGFORMAT_STRING, STRINGFORMAT_TYPEJSON, 0, 0},
    {'a', 0, 0, STRINGFORMAT_TYPECHAR, 2, 0},
};

// The %v row, also reached by the spelling "ipv4".
constexpr int32_t Ipv4Row = 16;
static_assert(GlobalStringFormatTypes[Ipv4Row].Char == 'v');

constexpr char GlobalStringDigits[] = "0123456789ABCDEF0123456789abcdef";
// Read from the offset up to the 0, each byte put in front of the previous: 1 "0x", 2 "0", 4 "0X".
constexpr char GlobalStringConversionPrefix[] = {'-', 'x', '0', 0, 'X', '0', 0};
constexpr char GlobalStringConversionOrdinals[] = "thstndrd";

constexpr char DecimalPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Limits that keep every integer conversion inside the conversion buffer: at most 340 digits
// (precision raised to the width), a sign, a two-byte prefix and a two-byte ordinal suffix.
constexpr int32_t ConversionBufferSize = 350;
constexpr int32_t MaxWidth = 340;
constexpr int32_t MaxPrecision = 310;
constexpr int32_t MaxFloatPrecision = 165;
constexpr int32_t DefaultFloatPrecision = 12;
static_assert(MaxWidth + 1 + 2 + 2 <= ConversionBufferSize);

// The fixed form of a large float with a large precision is longer than the conversion buffer:
// sign, 309 integer digits, '.', up to 168 decimals (general kind) and an exponent still fit here.
constexpr int32_t FloatBufferSize = 512;
static_assert(1 + 309 + 1 + MaxFloatPrecision + 4 + 6 <= FloatBufferSize);
static_assert(MaxWidth <= FloatBufferSize);

constexpr char Blanks[MaxWidth + 1] =
    "                                                                                                    "
    "                                                                                                    "
    "                                                                                                    "
    "                                        ";
static_assert(sizeof(Blanks) == MaxWidth + 1);

// Row index by conversion character, -1 where the table has none.
struct FormatLookup {
    int8_t Row[128];
    constexpr FormatLookup() : Row() {
        for (int32_t i = 0; i < 128; i++) Row[i] = -1;
        for (int32_t i = 20; i >= 0; i--)
            Row[static_cast<uint8_t>(GlobalStringFormatTypes[i].Char)] = static_cast<int8_t>(i);
    }
};
constexpr FormatLookup GlobalFormatLookup;

// One parsed conversion.
struct Conversion {
    bool Left = false;       // '-'
    bool Plus = false;       // '+'
    bool Blank = false;      // ' '
    bool Alternate = false;  // '#'
    bool Alternate2 = false; // '!'
    bool Zero = false;       // '0'
    bool Wide = false;       // 'l' or 'w'
    bool Is64 = false;       // ll, I64, z
    int32_t Width = 0;       // 0: none
    int32_t Precision = -1;  // -1: none
};

// The append itself, on a record already checked: count, or copy what fits and mark an overrun.
inline int64_t AppendToRecord(StringBuffer* record, const char* data, int32_t length, int32_t* written) {
    if (record->Overflow & 1) return 0;
    if (record->Buffer == nullptr) {
        // Counting only; a count that no int32_t can hold is an overrun too.
        if (length > INT32_MAX - 1 - record->Used) {
            record->Overflow |= 1;
            return 0;
        }
        record->Used += length;
        if (written) *written = length;
        return 1;
    }
    if (length >= record->Capacity - record->Used) {
        record->Overflow |= 1;
        length = record->Capacity - record->Used - 1;
        if (length <= 0) return 0;
    }
    memcpy(record->Buffer + record->Used, data, length);
    record->Used += length;
    if (written) *written = length;
    return 1;
}

// Hands pieces to an engine callback.
struct CallbackWriter {
    StringPrintWriteCallback Callback;
    void* Context;
    uint32_t Flags;

    void Put(const char* data, int32_t length) {
        if (length <= 0 || Callback == nullptr) return;
        int32_t scratch = 0;
        Callback(Context, Flags, data, length, &scratch);
    }
};

// Appends pieces straight to a StringBuffer that the front function set up (and so need not
// check): the same effect as the engine callback bound to StringBuffer_Append, without the calls.
struct BufferWriter {
    StringBuffer* Record;
    uint32_t Flags;

    void Put(const char* data, int32_t length) {
        if (length > 0) AppendToRecord(Record, data, length, nullptr);
    }
};

template <typename Writer> void PutBlanks(Writer& writer, int32_t count) {
    writer.Put(Blanks, count < MaxWidth ? count : MaxWidth);
}

// The text padded with blanks to the width, before it or (with '-') after it.
template <typename Writer>
void PutField(Writer& writer, const Conversion& conv, const char* data, int32_t length) {
    const int32_t pad = conv.Width - length;
    if (pad > 0 && !conv.Left) PutBlanks(writer, pad);
    writer.Put(data, length);
    if (pad > 0 && conv.Left) PutBlanks(writer, pad);
}

// --- Integers ---

// Writes the decimal digits of value in front of end; returns the first digit.
char* PutDecimal(char* end, uint64_t value) {
    while (value >= 100) {
        const uint64_t pair = value % 100;
        value /= 100;
        end -= 2;
        memcpy(end, DecimalPairs + 2 * pair, 2);
    }
    if (value >= 10) {
        end -= 2;
        memcpy(end, DecimalPairs + 2 * value, 2);
    } else {
        *--end = static_cast<char>('0' + value);
    }
    return end;
}

// Builds an integer, pointer or ordinal conversion from the end of buffer backwards; returns its
// first byte.
char* FormatInteger(char* buffer, const StringFormatType& row, const Conversion& conv, uint64_t magnitude,
                    bool negative) {
    char sign = 0;
    if (row.Flags & STRINGFORMAT_SIGNED) {
        if (negative)
            sign = '-';
        else if (conv.Plus)
            sign = '+';
        else if (conv.Blank)
            sign = ' ';
    }
    int32_t precision = conv.Precision < 0 ? 0 : conv.Precision;
    if (conv.Zero && precision < conv.Width - (sign ? 1 : 0)) precision = conv.Width - (sign ? 1 : 0);

    char* end = buffer + ConversionBufferSize;
    char* p = end;
    if (row.Kind == STRINGFORMAT_TYPEORDINAL) {
        uint64_t last = magnitude % 10;
        if (last >= 4 || (magnitude / 10) % 10 == 1) last = 0;
        p -= 2;
        p[0] = GlobalStringConversionOrdinals[2 * last];
        p[1] = GlobalStringConversionOrdinals[2 * last + 1];
    }
    char* const digitsEnd = p;
    if (row.Base == 10) {
        p = PutDecimal(p, magnitude);
    } else if (row.Base == 16) {
        const char* digits = GlobalStringDigits + row.DigitSet;
        uint64_t value = magnitude;
        do {
            *--p = digits[value & 15];
            value >>= 4;
        } while (value != 0);
    } else {
        uint64_t value = magnitude;
        do {
            *--p = static_cast<char>('0' + (value & 7));
            value >>= 3;
        } while (value != 0);
    }
    while (digitsEnd - p < precision) *--p = '0';
    if (sign) *--p = sign;
    if (conv.Alternate && magnitude != 0 && row.Prefix != 0)
        for (const char* q = GlobalStringConversionPrefix + row.Prefix; *q != 0; q++) *--p = *q;
    return p;
}

// --- Floats ---

// Up to maxDigits significant digits of an integer, truncated; the count of all its digits
// less one goes to exp10.
int32_t IntegerDigits(uint64_t value, char* digits, int32_t maxDigits, int32_t* exp10) {
    char temp[24];
    char* end = temp + sizeof(temp);
    char* first = PutDecimal(end, value);
    const int32_t count = static_cast<int32_t>(end - first);
    *exp10 = count - 1;
    const int32_t kept = count < maxDigits ? count : maxDigits;
    memcpy(digits, first, kept);
    return kept;
}

// Integers of up to 1024 bits: base 2^32 limbs, divided by 10^9 down to nothing.
int32_t LargeIntegerDigits(uint64_t mantissa, int32_t exponent, char* digits, int32_t maxDigits,
                           int32_t* exp10) {
    uint32_t limbs[36] = {};
    const int32_t word = exponent / 32;
    const unsigned __int128 shifted = static_cast<unsigned __int128>(mantissa) << (exponent % 32);
    limbs[word] = static_cast<uint32_t>(shifted);
    limbs[word + 1] = static_cast<uint32_t>(shifted >> 32);
    limbs[word + 2] = static_cast<uint32_t>(shifted >> 64);
    int32_t count = word + 3;
    while (count > 0 && limbs[count - 1] == 0) count--;

    uint32_t chunks[40];
    int32_t chunkCount = 0;
    while (count > 0) {
        uint64_t remainder = 0;
        for (int32_t i = count - 1; i >= 0; i--) {
            const uint64_t current = (remainder << 32) | limbs[i];
            limbs[i] = static_cast<uint32_t>(current / 1000000000u);
            remainder = current % 1000000000u;
        }
        chunks[chunkCount++] = static_cast<uint32_t>(remainder);
        while (count > 0 && limbs[count - 1] == 0) count--;
    }
    int32_t kept = IntegerDigits(chunks[chunkCount - 1], digits, maxDigits, exp10);
    *exp10 += 9 * (chunkCount - 1);
    for (int32_t c = chunkCount - 2; c >= 0 && kept < maxDigits; c--) {
        char temp[9];
        uint32_t value = chunks[c];
        for (int32_t k = 8; k >= 0; k--) {
            temp[k] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        for (int32_t k = 0; k < 9 && kept < maxDigits; k++) digits[kept++] = temp[k];
    }
    return kept;
}

// Values with a denominator of up to 2^124: the integer part, then the fraction in 128-bit fixed
// point, one digit at a time down to the power of ten `lowest`.
int32_t MediumDigits(uint64_t mantissa, int32_t shift, int32_t lowest, char* digits, int32_t maxDigits,
                     int32_t* exp10) {
    const uint64_t integer = shift < 64 ? mantissa >> shift : 0;
    unsigned __int128 fraction = shift < 64 ? mantissa & ((uint64_t{1} << shift) - 1) : mantissa;
    const unsigned __int128 mask = (static_cast<unsigned __int128>(1) << shift) - 1;
    int32_t count = integer != 0 ? IntegerDigits(integer, digits, maxDigits, exp10) : 0;
    for (int32_t position = -1; count < maxDigits && fraction != 0 && position >= lowest; position--) {
        fraction *= 10;
        const uint32_t digit = static_cast<uint32_t>(fraction >> shift);
        fraction &= mask;
        if (count == 0) {
            if (digit == 0) continue;
            *exp10 = position;
        }
        digits[count++] = static_cast<char>('0' + digit);
    }
    return count;
}

// Values below 2^-71: base 2^32 limbs below a binary point at `shift`, multiplied by 10^9 for
// each nine digits.
int32_t SmallDigits(uint64_t mantissa, int32_t shift, char* digits, int32_t maxDigits, int32_t* exp10) {
    uint32_t limbs[40] = {};
    limbs[0] = static_cast<uint32_t>(mantissa);
    limbs[1] = static_cast<uint32_t>(mantissa >> 32);
    int32_t count = limbs[1] != 0 ? 2 : 1;
    const int32_t word = shift / 32;
    const int32_t bit = shift % 32;
    int32_t position = 0;
    int32_t kept = 0;
    while (kept < maxDigits && count > 0) {
        uint64_t carry = 0;
        for (int32_t i = 0; i < count; i++) {
            const uint64_t current = static_cast<uint64_t>(limbs[i]) * 1000000000u + carry;
            limbs[i] = static_cast<uint32_t>(current);
            carry = current >> 32;
        }
        if (carry != 0) limbs[count++] = static_cast<uint32_t>(carry);
        // The nine digits are the bits at and above the binary point (less than 10^9).
        const uint64_t low = word < count ? limbs[word] : 0;
        const uint64_t high = word + 1 < count ? limbs[word + 1] : 0;
        uint32_t chunk = static_cast<uint32_t>(((high << 32) | low) >> bit);
        if (word < count) {
            limbs[word] &= (uint32_t{1} << bit) - 1;
            count = word + 1;
        }
        while (count > 0 && limbs[count - 1] == 0) count--;

        char temp[9];
        for (int32_t k = 8; k >= 0; k--) {
            temp[k] = static_cast<char>('0' + chunk % 10);
            chunk /= 10;
        }
        for (int32_t k = 0; k < 9; k++) {
            position++;
            if (kept == 0) {
                if (temp[k] == '0') continue;
                *exp10 = -position;
            }
            if (kept < maxDigits) digits[kept++] = temp[k];
        }
    }
    return kept;
}

// The exact leading decimal digits of a finite value (not negative): up to maxDigits significant
// digits, truncated, and the power of ten of the first one. Returns the count, 0 for zero. Digits
// below the power of ten `lowest` may be left out (the caller has no use for them).
int32_t DecimalDigits(double value, int32_t lowest, char* digits, int32_t maxDigits, int32_t* exp10) {
    *exp10 = 0;
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    const int32_t biased = static_cast<int32_t>((bits >> 52) & 0x7FF);
    uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
    int32_t exponent = -1074;
    if (biased != 0) {
        mantissa |= uint64_t{1} << 52;
        exponent = biased - 1075;
    }
    if (mantissa == 0) return 0;
    if (exponent < 0) {
        // Fewer fraction bits, so that more values take the 128-bit path.
        int32_t drop = std::countr_zero(mantissa);
        if (drop > -exponent) drop = -exponent;
        mantissa >>= drop;
        exponent += drop;
    }
    if (exponent >= 0) {
        if (exponent <= 10) return IntegerDigits(mantissa << exponent, digits, maxDigits, exp10);
        return LargeIntegerDigits(mantissa, exponent, digits, maxDigits, exp10);
    }
    if (-exponent <= 124) return MediumDigits(mantissa, -exponent, lowest, digits, maxDigits, exp10);
    return SmallDigits(mantissa, -exponent, digits, maxDigits, exp10);
}

// Keeps `keep` digits, rounding half up on the next one; a carry out of the first digit raises
// exp10. Returns the new count (0 when everything rounded away).
int32_t RoundDigits(char* digits, int32_t count, int32_t keep, int32_t* exp10) {
    if (keep >= count) return count;
    if (keep < 0) return 0;
    const bool up = digits[keep] >= '5';
    if (!up) return keep;
    int32_t i = keep - 1;
    while (i >= 0 && digits[i] == '9') i--;
    if (i < 0) {
        digits[0] = '1';
        (*exp10)++;
        return 1;
    }
    digits[i]++;
    return i + 1;
}

// Converts a float in the fixed, exponent or general form into Buffer (FloatBufferSize bytes);
// returns the length.
int32_t FormatFloat(char* Buffer, double value, const StringFormatType& row, const Conversion& conv) {
    if (std::isnan(value)) {
        memcpy(Buffer, "NaN", 3);
        return 3;
    }
    char prefix = 0;
    if (value < 0.0) {
        value = -value;
        prefix = '-';
    } else if (conv.Plus) {
        prefix = '+';
    } else if (conv.Blank) {
        prefix = ' ';
    }
    char* BufferPtr = Buffer;
    if (std::isinf(value)) {
        if (prefix) *BufferPtr++ = prefix;
        memcpy(BufferPtr, "Inf", 3);
        return static_cast<int32_t>(BufferPtr - Buffer) + 3;
    }

    int32_t Precision = conv.Precision < 0 ? DefaultFloatPrecision : conv.Precision;
    if (Precision > MaxFloatPrecision) Precision = MaxFloatPrecision;
    uint8_t kind = row.Kind;
    if (kind == STRINGFORMAT_TYPEGENERAL && Precision > 0) Precision--;

    // Digits beyond these print as '0'.
    const int32_t significant = conv.Alternate2 ? 26 : 16;
    char digits[32];
    int32_t exp10 = 0;
    // Half up at the last printed decimal: for the fixed kind that is 10^-Precision, for the
    // others the Precision-th digit after the first. One digit more decides the rounding.
    const bool fixed = kind == STRINGFORMAT_TYPEFIXED;
    const int32_t wanted = fixed || Precision + 2 > significant + 1 ? significant + 1 : Precision + 2;
    int32_t count = DecimalDigits(value, fixed ? -(Precision + 1) : INT32_MIN, digits, wanted, &exp10);
    int32_t keep = fixed ? exp10 + Precision + 1 : Precision + 1;
    if (keep > significant) keep = significant;
    count = RoundDigits(digits, count, keep, &exp10);
    if (count == 0) exp10 = fixed ? -1 : 0;

    bool trimZeros;
    if (kind == STRINGFORMAT_TYPEGENERAL) {
        trimZeros = !conv.Alternate;
        if (exp10 < -4 || exp10 > Precision) {
            kind = STRINGFORMAT_TYPEEXPONENT;
        } else {
            Precision -= exp10;
            kind = STRINGFORMAT_TYPEFIXED;
        }
    } else {
        trimZeros = conv.Alternate2;
    }
    int32_t e2 = kind == STRINGFORMAT_TYPEEXPONENT ? 0 : exp10;
    const bool point = Precision > 0 || conv.Alternate || conv.Alternate2;

    int32_t next = 0;
    auto digit = [&]() -> char { return next < count ? digits[next++] : '0'; };

    if (prefix) *BufferPtr++ = prefix;
    if (e2 < 0) {
        *BufferPtr++ = '0';
    } else {
        for (; e2 >= 0; e2--) *BufferPtr++ = digit();
    }
    if (point) *BufferPtr++ = '.';
    for (e2++; e2 < 0; Precision--, e2++) {
        ASSERT_MSG(Precision > 0, "Precision underrun when converting double");
        *BufferPtr++ = '0';
    }
    while (Precision-- > 0) *BufferPtr++ = digit();

    if (trimZeros && point) {
        while (BufferPtr[-1] == '0') --BufferPtr;
        ASSERT_MSG(BufferPtr > Buffer, "Buffer underflow while converting float");
        if (BufferPtr[-1] == '.') {
            if (conv.Alternate2)
                *BufferPtr++ = '0';
            else
                --BufferPtr;
        }
    }
    if (kind == STRINGFORMAT_TYPEEXPONENT) {
        int32_t e = exp10;
        *BufferPtr++ = GlobalStringDigits[row.DigitSet];
        if (e < 0) {
            *BufferPtr++ = '-';
            e = -e;
        } else {
            *BufferPtr++ = '+';
        }
        if (e >= 100) {
            *BufferPtr++ = static_cast<char>('0' + e / 100);
            e %= 100;
        }
        *BufferPtr++ = static_cast<char>('0' + e / 10);
        *BufferPtr++ = static_cast<char>('0' + e % 10);
    }
    int32_t length = static_cast<int32_t>(BufferPtr - Buffer);

    if (conv.Zero && !conv.Left && length < conv.Width) {
        // Zeros go between the sign and the digits.
        const int32_t pad = conv.Width - length;
        const int32_t at = prefix ? 1 : 0;
        memmove(Buffer + at + pad, Buffer + at, length - at);
        memset(Buffer + at, '0', pad);
        length = conv.Width;
    }
    return length;
}

// --- Strings ---

// Converts a 32-bit (or, with utf16, a 16-bit) string to UTF-8 in a process-heap block that the
// caller frees. Null when the text cannot be converted or the allocation fails.
char* WideToUtf8(const void* source, bool utf16) {
    int64_t size;
    int32_t units;
    if (utf16) {
        units = StringUtf16_Length(static_cast<const uint16_t*>(source));
        size = int64_t{StringUtf16_LengthUtf8(static_cast<const uint16_t*>(source))} + 1;
    } else {
        units = StringUtf32_Length(static_cast<const uint32_t*>(source));
        size = int64_t{StringUtf32_LengthUtf8(static_cast<const uint32_t*>(source))} + 1;
    }
    if (size >= INT32_MAX) return nullptr;
    char* text = static_cast<char*>(malloc(static_cast<size_t>(size)));
    if (text == nullptr) return nullptr;
    if (utf16)
        StringUtf16_CopyLengthToUtf8(text, static_cast<int32_t>(size), static_cast<const uint16_t*>(source),
                                     units);
    else
        StringUtf32_CopyLengthToUtf8(text, static_cast<int32_t>(size), static_cast<const uint32_t*>(source),
                                     units);
    return text;
}

// Length of text, reading no further than limit bytes.
int32_t BoundedLength(const char* text, int32_t limit) {
    if (limit == INT32_MAX) {
        const size_t length = strlen(text);
        return length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length);
    }
    const void* end = memchr(text, 0, static_cast<size_t>(limit));
    return end ? static_cast<int32_t>(static_cast<const char*>(end) - text) : limit;
}

// Writes text with its ASCII letters upper-cased, through a small stack copy.
template <typename Writer> void PutUpper(Writer& writer, const char* text, int32_t length) {
    char chunk[256];
    while (length > 0) {
        const int32_t n =
            length < static_cast<int32_t>(sizeof(chunk)) ? length : static_cast<int32_t>(sizeof(chunk));
        for (int32_t i = 0; i < n; i++) {
            const char c = text[i];
            chunk[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        }
        writer.Put(chunk, n);
        text += n;
        length -= n;
    }
}

constexpr char HexUpper[] = "0123456789ABCDEF";

// The letter after the backslash for bytes with a short JSON escape, 0 for the others.
struct JsonShortEscapeTable {
    char Letter[128];
    constexpr JsonShortEscapeTable() : Letter() {
        Letter[0x22] = '"';
        Letter[0x5C] = '\\';
        Letter[0x08] = 'b';
        Letter[0x09] = 't';
        Letter[0x0A] = 'n';
        Letter[0x0C] = 'f';
        Letter[0x0D] = 'r';
    }
};
constexpr JsonShortEscapeTable JsonShortEscapes;

char* PutUnicodeEscape(char* out, uint32_t unit) {
    out[0] = '\\';
    out[1] = 'u';
    out[2] = HexUpper[(unit >> 12) & 15];
    out[3] = HexUpper[(unit >> 8) & 15];
    out[4] = HexUpper[(unit >> 4) & 15];
    out[5] = HexUpper[unit & 15];
    return out + 6;
}

// The JSON escape of the character at text (at most `available` bytes): writes it to out (12
// bytes at most) and returns its length; *consumed receives the source bytes it stands for.
int32_t JsonEscapeOne(const char* text, int32_t available, char* out, int32_t* consumed) {
    const uint8_t byte = static_cast<uint8_t>(text[0]);
    *consumed = 1;
    if (byte < 0x80) {
        const char shortForm = JsonShortEscapes.Letter[byte];
        if (shortForm) {
            out[0] = '\\';
            out[1] = shortForm;
            return 2;
        }
        // JSON allows no raw control byte inside a string.
        if (byte < 0x20) return static_cast<int32_t>(PutUnicodeEscape(out, byte) - out);
        out[0] = static_cast<char>(byte);
        return 1;
    }
    uint32_t codePoint = 0;
    int32_t length = 0;
    CharUtf8_ConvertToUtf32(text, available, &codePoint, &length);
    *consumed = length > 0 ? length : 1;
    // A broken sequence decodes to 0xFFFD; so does a value no UTF-16 pair can carry.
    if (codePoint > 0x10FFFF) codePoint = 0xFFFD;
    if (codePoint >= 0x10000) {
        const uint32_t offset = codePoint - 0x10000;
        char* p = PutUnicodeEscape(out, 0xD800 + (offset >> 10));
        return static_cast<int32_t>(PutUnicodeEscape(p, 0xDC00 + (offset & 0x3FF)) - out);
    }
    return static_cast<int32_t>(PutUnicodeEscape(out, codePoint) - out);
}

// Escapes text[0, length) for a JSON string, stopping before an escape that would make the
// output longer than maxOutput; writes it when writer is set. Returns the output length.
template <typename Writer>
int32_t JsonEscape(Writer* writer, const char* text, int32_t length, int32_t maxOutput) {
    char chunk[256];
    int32_t used = 0;
    int32_t total = 0;
    int32_t i = 0;
    while (i < length) {
        char escape[12];
        int32_t consumed = 0;
        const int32_t n = JsonEscapeOne(text + i, length - i, escape, &consumed);
        if (n > maxOutput - total) break;
        if (writer) {
            if (used + n > static_cast<int32_t>(sizeof(chunk))) {
                writer->Put(chunk, used);
                used = 0;
            }
            memcpy(chunk + used, escape, n);
            used += n;
        }
        total += n;
        i += consumed;
    }
    if (writer) writer->Put(chunk, used);
    return total;
}

// Writes a string or JSON conversion of a UTF-8 text (null prints as the empty text).
template <typename Writer>
void PutText(Writer& writer, const StringFormatType& row, const Conversion& conv, const char* text) {
    if (text == nullptr) text = "";
    const int32_t precision = conv.Precision < 0 ? INT32_MAX : conv.Precision;
    if (row.Kind == STRINGFORMAT_TYPEJSON) {
        const int32_t length = BoundedLength(text, precision);
        // A width is the field length of the escaped text; escapes are never cut in half.
        const int32_t maxOutput = conv.Width > 0 ? conv.Width : INT32_MAX;
        int32_t pad = 0;
        if (conv.Width > 0) {
            pad = conv.Width - JsonEscape<Writer>(nullptr, text, length, maxOutput);
            if (pad > 0 && !conv.Left) PutBlanks(writer, pad);
        }
        JsonEscape(&writer, text, length, maxOutput);
        if (pad > 0 && conv.Left) PutBlanks(writer, pad);
        return;
    }
    // The width is also the field length: a longer text is cut to it.
    const int32_t limit = conv.Width > 0 && conv.Width < precision ? conv.Width : precision;
    const int32_t length = BoundedLength(text, limit);
    const int32_t pad = conv.Width - length;
    if (pad > 0 && !conv.Left) PutBlanks(writer, pad);
    if (row.DigitSet == 1)
        PutUpper(writer, text, length);
    else
        writer.Put(text, length);
    if (pad > 0 && conv.Left) PutBlanks(writer, pad);
}

// Writes a character conversion: a byte or (wide) a code point as UTF-8, repeated by a precision.
template <typename Writer>
void PutCharacter(Writer& writer, char* buffer, const StringFormatType& row, const Conversion& conv,
                  int32_t value) {
    char bytes[8];
    int32_t size = 1;
    if (conv.Wide) {
        if (!CharUtf64_CopyToUtf8(static_cast<uint32_t>(value), bytes, sizeof(bytes), &size)) size = 0;
    } else {
        bytes[0] = static_cast<char>(value);
    }
    if (row.DigitSet == 1 && size == 1 && bytes[0] >= 'a' && bytes[0] <= 'z')
        bytes[0] = static_cast<char>(bytes[0] - 'a' + 'A');
    const int32_t repeat = conv.Precision < 0 ? 1 : conv.Precision;
    const int32_t total = size * repeat;
    const int32_t pad = conv.Width - total;
    if (pad > 0 && !conv.Left) PutBlanks(writer, pad);
    if (size == 1) {
        // repeat is at most MaxPrecision, within the conversion buffer.
        memset(buffer, bytes[0], repeat);
        writer.Put(buffer, repeat);
    } else {
        for (int32_t i = 0; i < repeat; i++) writer.Put(bytes, size);
    }
    if (pad > 0 && conv.Left) PutBlanks(writer, pad);
}

// Dotted IPv4 address of four bytes; a null address prints as the empty text.
int32_t FormatIpv4(char* buffer, const uint8_t* address) {
    if (address == nullptr) return 0;
    char* end = buffer + ConversionBufferSize;
    char* p = end;
    for (int32_t i = 3; i >= 0; i--) {
        p = PutDecimal(p, address[i]);
        if (i > 0) *--p = '.';
    }
    const int32_t length = static_cast<int32_t>(end - p);
    memmove(buffer, p, length);
    return length;
}

// Context of String_WriteCallbackInt: the caller's sink and its user pointer.
struct SinkContext {
    StringPrintSinkCallback Sink;
    void* User;
};

// Keeps an overrun inside the log's own formatting from logging again.
thread_local bool InOverrunReport = false;

void ReportOverrun(const char* format) {
    if (InOverrunReport) return;
    InOverrunReport = true;
    Log_PrintString("\n\nERROR: The next string overran the print buffer!\nLINE: ");
    Log_PrintString(format);
    InOverrunReport = false;
}

// The engine over any writer; String_VPrintFormatEx runs it with the caller's callback, the buffer
// front functions with their own record.
template <typename Writer> int64_t RunEngine(const char* format, Writer& writer, va_list args) {
    char buffer[ConversionBufferSize];
    bool beforeFirst = true;
    const char* p = format;

    for (;;) {
        // Literal runs are short as a rule: a plain scan beats a library call here.
        const char* run = p;
        while (*p != 0 && *p != '%') p++;
        if (p != run) {
            writer.Flags = (beforeFirst ? 1u : 0u) | (*p == 0 ? 2u : 0u);
            writer.Put(run, static_cast<int32_t>(p - run));
        }
        if (*p == 0) return 1;
        p++;
        if (*p == 0) {
            writer.Flags = (beforeFirst ? 1u : 0u) | 2u;
            writer.Put("%", 1);
            return 1;
        }

        Conversion conv;
        for (;; p++) {
            const char c = *p;
            if (c == '-')
                conv.Left = true;
            else if (c == '+')
                conv.Plus = true;
            else if (c == ' ')
                conv.Blank = true;
            else if (c == '#')
                conv.Alternate = true;
            else if (c == '!')
                conv.Alternate2 = true;
            else if (c == '0')
                conv.Zero = true;
            else
                break;
        }

        if (*p == '*') {
            const int64_t width = va_arg(args, int);
            if (width < 0) conv.Left = true;
            const int64_t magnitude = width < 0 ? -width : width;
            conv.Width = static_cast<int32_t>(magnitude > MaxWidth ? MaxWidth : magnitude);
            p++;
        } else {
            int32_t width = 0;
            for (; *p >= '0' && *p <= '9'; p++)
                if (width <= MaxWidth) width = width * 10 + (*p - '0');
            conv.Width = width > MaxWidth ? MaxWidth : width;
        }

        if (*p == '.') {
            p++;
            int64_t precision = 0;
            if (*p == '*') {
                precision = va_arg(args, int);
                if (precision < 0) precision = -precision;
                p++;
            } else {
                for (; *p >= '0' && *p <= '9'; p++)
                    if (precision <= INT32_MAX) precision = precision * 10 + (*p - '0');
            }
            conv.Precision = static_cast<int32_t>(precision > INT32_MAX ? INT32_MAX : precision);
        }

        for (;;) {
            if (*p == 'l') {
                if (p[1] == 'l') {
                    conv.Is64 = true;
                    p += 2;
                } else {
                    conv.Wide = true;
                    p++;
                }
            } else if (*p == 'w') {
                conv.Wide = true;
                p++;
            } else if (*p == 'z') {
                conv.Is64 = true;
                p++;
            } else if (*p == 'I') {
                // I64; a lone I or I6 is passed over.
                if (p[1] == '6') {
                    if (p[2] == '4') {
                        conv.Is64 = true;
                        p += 3;
                    } else {
                        p += 2;
                    }
                } else {
                    p++;
                }
            } else {
                break;
            }
        }

        const uint8_t c = static_cast<uint8_t>(*p);
        const int32_t index = c < 128 ? GlobalFormatLookup.Row[c] : -1;
        if (index < 0) return 0;
        const StringFormatType* type = &GlobalStringFormatTypes[index];
        p++;
        // The long spellings: "ipv4" is %v, "js" is %j.
        if (type->Char == 'i' && p[0] == 'p' && p[1] == 'v' && p[2] == '4') {
            type = &GlobalStringFormatTypes[Ipv4Row];
            p += 3;
        } else if (type->Kind == STRINGFORMAT_TYPEJSON && *p == 's') {
            p++;
        }
        if (conv.Precision > MaxPrecision && !(type->Flags & STRINGFORMAT_STRING))
            conv.Precision = MaxPrecision;

        writer.Flags = (beforeFirst ? 1u : 0u) | (*p == 0 ? 2u : 0u);
        beforeFirst = false;

        switch (type->Kind) {
        case STRINGFORMAT_TYPEINTEGER:
        case STRINGFORMAT_TYPEORDINAL: {
            uint64_t magnitude;
            bool negative = false;
            if (type->Flags & STRINGFORMAT_SIGNED) {
                const int64_t value = conv.Is64 ? va_arg(args, long long) : va_arg(args, int);
                negative = value < 0;
                magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            } else {
                magnitude = conv.Is64 ? va_arg(args, unsigned long long) : va_arg(args, unsigned int);
            }
            const char* text = FormatInteger(buffer, *type, conv, magnitude, negative);
            PutField(writer, conv, text, static_cast<int32_t>(buffer + ConversionBufferSize - text));
            break;
        }
        case STRINGFORMAT_TYPEPOINTER: {
            const uint64_t value = reinterpret_cast<uintptr_t>(va_arg(args, void*));
            if (conv.Width <= 0) {
                conv.Width = 16;
                conv.Zero = true;
            }
            const char* text = FormatInteger(buffer, *type, conv, value, false);
            PutField(writer, conv, text, static_cast<int32_t>(buffer + ConversionBufferSize - text));
            break;
        }
        case STRINGFORMAT_TYPEFIXED:
        case STRINGFORMAT_TYPEEXPONENT:
        case STRINGFORMAT_TYPEGENERAL: {
            char floatBuffer[FloatBufferSize];
            const int32_t length = FormatFloat(floatBuffer, va_arg(args, double), *type, conv);
            PutField(writer, conv, floatBuffer, length);
            break;
        }
        case STRINGFORMAT_TYPESTRING:
        case STRINGFORMAT_TYPEJSON: {
            const bool utf32 = conv.Wide || conv.Alternate;
            if (utf32 || conv.Alternate2) {
                const void* source = va_arg(args, const void*);
                char* text = source ? WideToUtf8(source, !utf32) : nullptr;
                PutText(writer, *type, conv, text);
                free(text);
            } else {
                PutText(writer, *type, conv, va_arg(args, const char*));
            }
            break;
        }
        case STRINGFORMAT_TYPECHAR:
            PutCharacter(writer, buffer, *type, conv, va_arg(args, int));
            break;
        case STRINGFORMAT_TYPEIPV4: {
            const int32_t length = FormatIpv4(buffer, va_arg(args, const uint8_t*));
            PutField(writer, conv, buffer, length);
            break;
        }
        case STRINGFORMAT_TYPEPERCENT:
            PutField(writer, conv, "%", 1);
            break;
        default: {
            const uint8_t Type = type->Kind;
            ASSERT_MSG((Type == STRINGFORMAT_TYPEUNKNOWN), "Invalid string format type encountered [%c]",
                       type->Char);
            return 0;
        }
        }
    }
}

// Runs the engine into a fresh record over (buffer, capacity); a null buffer counts only.
int64_t PrintToRecord(StringBuffer* record, char* buffer, int32_t capacity, const char* format,
                      va_list args) {
    StringBuffer_Init(record, buffer, capacity);
    BufferWriter writer{record, 1};
    const int64_t result = RunEngine(format, writer, args);
    StringBuffer_Finalize(record);
    return result;
}

} // namespace

int32_t String_PrintInt64(char* out, int64_t value) {
    char digits[24];
    char* const end = digits + sizeof(digits);
    const char* first = PutDecimal(end, value < 0 ? 0 - (uint64_t)value : (uint64_t)value);
    int32_t n = 0;
    if (value < 0) out[n++] = '-';
    memcpy(out + n, first, (size_t)(end - first));
    n += (int32_t)(end - first);
    out[n] = 0;
    return n;
}

int64_t String_VPrintFormatEx(const char* format, void* context, StringPrintWriteCallback callback,
                              va_list args) {
    ASSERT_POINTER(format);
    CallbackWriter writer{callback, context, 1};
    return RunEngine(format, writer, args);
}

int64_t String_PrintFormatEx(const char* format, void* context, StringPrintWriteCallback callback, ...) {
    va_list args;
    va_start(args, callback);
    const int64_t result = String_VPrintFormatEx(format, context, callback, args);
    va_end(args);
    return result;
}

int64_t String_WriteCallbackInt(void* context, uint32_t, const char* data, int32_t length, int32_t* scratch) {
    ASSERT_POINTER(context);
    const SinkContext* sink = static_cast<const SinkContext*>(context);
    if (sink->Sink == nullptr) return 1;
    return sink->Sink(sink->User, data, length, scratch);
}

int64_t String_VPrintFormat(const char* format, void* user, StringPrintSinkCallback sink, va_list args) {
    SinkContext context{sink, user};
    return String_VPrintFormatEx(format, &context, sink ? String_WriteCallbackInt : nullptr, args);
}

int64_t String_PrintFormat(const char* format, void* user, StringPrintSinkCallback sink, ...) {
    va_list args;
    va_start(args, sink);
    const int64_t result = String_VPrintFormat(format, user, sink, args);
    va_end(args);
    return result;
}

int32_t String_VPrint(char* buffer, int32_t capacity, const char* format, va_list args) {
    if (capacity < 1) return 0;
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(format);
    StringBuffer record;
    PrintToRecord(&record, buffer, capacity, format, args);
    if (record.Overflow & 1) ReportOverrun(format);
    return record.Used;
}

int32_t String_Print(char* buffer, int32_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int32_t result = String_VPrint(buffer, capacity, format, args);
    va_end(args);
    return result;
}

int32_t String_PrintCat(char* buffer, int32_t capacity, const char* format, ...) {
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    // An unterminated buffer leaves no room rather than being read past its end.
    const int32_t used = BoundedLength(buffer, capacity);
    va_list args;
    va_start(args, format);
    const int32_t result = String_VPrint(buffer + used, capacity - used, format, args);
    va_end(args);
    return result;
}

int64_t String_VPrintCat(char* buffer, int32_t capacity, const char* format, va_list args) {
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(format);
    if (capacity < 1) return 0;
    const int32_t used = BoundedLength(buffer, capacity);
    if (capacity - used < 1) return 0;
    StringBuffer record;
    return PrintToRecord(&record, buffer + used, capacity - used, format, args);
}

int32_t String_GetVPrintLength(const char* format, va_list args) {
    ASSERT_POINTER(format);
    StringBuffer record;
    PrintToRecord(&record, nullptr, 0, format, args);
    return record.Used;
}

int32_t String_GetPrintLength(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int32_t result = String_GetVPrintLength(format, args);
    va_end(args);
    return result;
}

void StringBuffer_Init(StringBuffer* record, char* buffer, int32_t capacity) {
    ASSERT_POINTER(record);
    memset(record, 0, sizeof(*record));
    record->Header.ClassId = STRING_BUFFER_CLASS_ID;
    record->Buffer = buffer;
    record->Capacity = capacity;
}

int64_t StringBuffer_Append(StringBuffer* record, const char* data, int32_t length, int32_t* written) {
    if (written) *written = 0;
    CLASS_CHECK(record, STRING_BUFFER_CLASS_ID);
    if (record->Overflow & 1) return 0;
    if (data == nullptr) return 1;
    if (length < 0) {
        const size_t measured = strlen(data);
        length = measured > INT32_MAX ? INT32_MAX : static_cast<int32_t>(measured);
    }
    if (length == 0) return 1;
    return AppendToRecord(record, data, length, written);
}

int64_t StringBuffer_Finalize(StringBuffer* record) {
    CLASS_CHECK(record, STRING_BUFFER_CLASS_ID);
    if (record->Buffer != nullptr && record->Capacity > 0)
        record->Buffer[record->Used < record->Capacity ? record->Used : record->Capacity - 1] = 0;
    return 1;
}
