// Checks the library's number reader against the C library's strtod_l in the "C" locale, while the
// process runs in a locale whose decimal mark is a comma: what it takes is exactly the program's
// spellings, each with strtod's correctly rounded value bit for bit, counted or terminated; the
// whole-number answer is exact; String_AtoF agrees on the decimal any text starts with; the
// shortest written form reads back the same.
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <locale.h>

#include "core/runtime/string.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

bool Digit(char c) {
    return c >= '0' && c <= '9';
}

bool HexDigit(char c) {
    return Digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The spellings the reader takes, written out plainly: sign, then "0x" and hex digits, or digits
// with at most one point (one digit at least) and an optional exponent with digits.
bool Spelling(const char* p, const char* end, bool* hex, bool* whole) {
    *hex = false;
    *whole = true;
    if (p < end && (*p == '+' || *p == '-')) p++;
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        *hex = true;
        for (p += 2; p < end; p++)
            if (!HexDigit(*p)) return false;
        return true;
    }
    int digits = 0;
    for (; p < end && Digit(*p); p++) digits++;
    if (p < end && *p == '.') {
        *whole = false;
        for (p++; p < end && Digit(*p); p++) digits++;
    }
    if (digits == 0) return false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        *whole = false;
        p++;
        if (p < end && (*p == '+' || *p == '-')) p++;
        if (p == end || !Digit(*p)) return false;
        while (p < end && Digit(*p)) p++;
    }
    return p == end;
}

locale_t CLocale() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return c;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The toolkit's start-up puts the process in the user's locale; a comma locale where present.
    if (!setlocale(LC_ALL, "de_DE.UTF-8")) setlocale(LC_ALL, "fr_FR.UTF-8");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 2048) return 0;
    // An exactly sized copy: the reader must not look past its length, and strtod needs a NUL.
    char* text = static_cast<char*>(std::malloc(size + 1));
    std::memcpy(text, data, size);
    text[size] = 0;
    const char* end = text + size;
    const bool noNul = std::memchr(text, 0, size) == nullptr;

    bool hex = false, whole = false;
    const bool spelled = Spelling(text, end, &hex, &whole);
    double value = 7;
    int64_t integer = 7;
    const int64_t read = String_ParseNumber(text, size, &value, &integer);
    if (noNul) {
        // The terminated text's reader gives the same, the bounded one's answer bit for bit.
        double terminated = 7;
        int64_t terminatedInteger = 7;
        Require(String_ParseNumberText(text, &terminated, &terminatedInteger) == read);
        Require(std::memcmp(&terminated, &value, sizeof(value)) == 0 && terminatedInteger == integer);
    }

    char* stop = nullptr;
    const double oracle = strtod_l(text, &stop, CLocale());
    if (!spelled) {
        Require(read == 0 && value == 0 && integer == 0);
    } else {
        // Every accepted spelling is one strtod reads whole; its value is strtod's, finite.
        Require(noNul && stop == end);
        Require(read == (std::isfinite(oracle) ? 1 : 0));
        if (read) {
            Require(std::memcmp(&value, &oracle, sizeof(value)) == 0);
            if (whole && !hex) {
                errno = 0;
                const long long exact = strtoll(text, nullptr, 10);
                if (errno == 0) Require(integer == exact);
                else Require(integer == (text[0] == '-' ? INT64_MIN : INT64_MAX));
            } else if (std::fabs(value) < 9.0e15) {
                Require(integer == static_cast<int64_t>(value));
            }
            // The shortest written form reads back as the same value.
            char written[40];
            Require(String_PrintNumber(value, written, sizeof(written)) == 1);
            double back = 0;
            Require(String_ParseNumber(written, std::strlen(written), &back, nullptr) == 1);
            Require(std::memcmp(&back, &value, sizeof(value)) == 0);
        }
        // String_AtoF reads a plain decimal (its own sign rule: '-' only) to the same value.
        if (!hex && text[0] != '+') {
            const double prefix = String_AtoF(text);
            if (std::isfinite(oracle)) Require(std::memcmp(&prefix, &oracle, sizeof(prefix)) == 0);
        }
    }
    // Any text: String_AtoF reads the decimal its start spells as strtod does, up to the same byte,
    // save for its own exponent forms after a letter strtod leaves ("1e+-5", "1e0x2"); the bounded
    // reader gives the same without looking past the length.
    const double prefix = String_AtoF(text);
    if (noNul) {
        const double bounded = String_AtoFLength(text, size);
        Require(std::memcmp(&prefix, &bounded, sizeof(prefix)) == 0);
    }
    const char* first = text + (text[0] == '-');
    if ((Digit(*first) || *first == '.') && !(first[0] == '0' && (first[1] == 'x' || first[1] == 'X'))) {
        const double standard = strtod_l(first, &stop, CLocale());
        const bool ownForm = *stop == 'e' || *stop == 'E' ||
                             ((*stop == 'x' || *stop == 'X') && stop > first + 1 && stop[-1] == '0' &&
                              (stop[-2] == 'e' || stop[-2] == 'E' ||
                               (stop > first + 2 && (stop[-2] == '+' || stop[-2] == '-') &&
                                (stop[-3] == 'e' || stop[-3] == 'E'))));
        const double signed_ = first != text ? -standard : standard;
        if (!ownForm && stop != first) Require(std::memcmp(&prefix, &signed_, sizeof(prefix)) == 0);
        if (stop == first) Require(prefix == 0);
    }
    // Every finite value a text gives is written with the digits it needs, at either precision.
    if (std::isfinite(prefix)) {
        char written[32];
        Require(String_PrintNumberPrecision(prefix, 12, written, sizeof(written)) == 1);
        double back = 0;
        Require(String_ParseNumber(written, std::strlen(written), &back, nullptr) == 1);
        Require(std::memcmp(&back, &prefix, sizeof(back)) == 0);
    }
    std::free(text);
    return 0;
}
