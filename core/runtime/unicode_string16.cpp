// The 16-bit string library: copies, appends, searches, comparisons, wildcard matching and
// number parsing on NUL-terminated 16-bit text, mirroring the UTF-8 text library.

#include "core/runtime/unicode.h"

#include "core/runtime/debug.h"

namespace {

uint16_t Plain(uint16_t unit) {
    return unit;
}

uint16_t Fold(uint16_t unit) {
    return unit >= 'A' && unit <= 'Z' ? static_cast<uint16_t>(unit - 'A' + 'a') : unit;
}

int64_t Found(const uint16_t* at, const uint16_t** pos) {
    if (pos) *pos = at;
    return at != nullptr ? 1 : 0;
}

template <uint16_t (*Map)(uint16_t)> bool Begins(const uint16_t* text, const uint16_t* prefix) {
    for (; *prefix != 0; text++, prefix++)
        if (Map(*text) != Map(*prefix)) return false;
    return true;
}

template <uint16_t (*Map)(uint16_t)>
int64_t FindString(const uint16_t* text, const uint16_t* sub, const uint16_t** pos) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(sub);
    for (const uint16_t* p = text; *p != 0; p++)
        if (Begins<Map>(p, sub)) return Found(p, pos);
    return Found(nullptr, pos);
}

template <uint16_t (*Map)(uint16_t)> int64_t Equal(const uint16_t* a, const uint16_t* b) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    for (; *a != 0; a++, b++)
        if (Map(*a) != Map(*b)) return 0;
    return *b == 0 ? 1 : 0;
}

template <uint16_t (*Map)(uint16_t)> int64_t EqualLength(const uint16_t* a, const uint16_t* b, int32_t n) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    for (int32_t i = 0; i < n; i++) {
        if (Map(a[i]) != Map(b[i])) return 0;
        if (a[i] == 0) return 1;
    }
    return 1;
}

template <uint16_t (*Map)(uint16_t)> int64_t Ending(const uint16_t* a, const uint16_t* b) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    int32_t i = StringUtf16_Length(a);
    int32_t j = StringUtf16_Length(b);
    while (i > 0 && j > 0)
        if (Map(a[--i]) != Map(b[--j])) return 0;
    return 1;
}

// Matches with one remembered '*': on a mismatch the text position after the last star moves on
// by one unit. This gives the same answers as trying every split recursively, in time bounded by
// text length times pattern length instead of growing with the number of stars.
template <uint16_t (*Map)(uint16_t)> int64_t Wildcard(const uint16_t* text, const uint16_t* pattern) {
    const uint16_t* t = text;
    const uint16_t* p = pattern;
    const uint16_t* starPattern = nullptr;
    const uint16_t* starText = nullptr;
    for (;;) {
        if (*t == 0) {
            // Stars left at the end of the text match the empty run; anything else must be
            // matched by text that is not there.
            while (*p == '*') p++;
            return *p == 0 ? 1 : 0;
        }
        if (*p == '*') {
            p++;
            if (*p == 0) return 1;
            starPattern = p;
            starText = t;
            continue;
        }
        if (*p != 0 && Map(*p) == Map(*t)) {
            p++;
            t++;
            continue;
        }
        if (starPattern == nullptr) return 0;
        t = ++starText;
        p = starPattern;
    }
}

} // namespace

int32_t StringUtf16_Copy(uint16_t* target, const uint16_t* source) {
    ASSERT_POINTER(target);
    ASSERT_POINTER(source);
    int32_t i = 0;
    for (; source[i] != 0; i++) target[i] = source[i];
    target[i] = 0;
    return i;
}

int32_t StringUtf16_CopyLength(uint16_t* target, const uint16_t* source, int32_t capacity) {
    ASSERT_POINTER(target);
    ASSERT_POINTER(source);
    if (capacity < 1) return 0;
    int32_t i = 0;
    for (; i < capacity - 1 && source[i] != 0; i++) target[i] = source[i];
    target[i] = 0;
    return i;
}

int32_t StringUtf16_Cat(uint16_t* target, const uint16_t* source) {
    ASSERT_POINTER(target);
    return StringUtf16_Copy(target + StringUtf16_Length(target), source);
}

int32_t StringUtf16_CatLength(uint16_t* target, const uint16_t* source, int32_t capacity) {
    ASSERT_POINTER(target);
    ASSERT_POINTER(source);
    // The current length is looked for only inside the capacity: a target that is full (or has
    // no terminator there) takes nothing more and is not read past its end.
    int32_t used = 0;
    while (used < capacity && target[used] != 0) used++;
    if (used >= capacity) return 0;
    return StringUtf16_CopyLength(target + used, source, capacity - used);
}

int64_t StringUtf16_FindChar(const uint16_t* text, uint16_t unit, const uint16_t** pos) {
    ASSERT_POINTER(text);
    if (unit != 0)
        for (const uint16_t* p = text; *p != 0; p++)
            if (*p == unit) return Found(p, pos);
    return Found(nullptr, pos);
}

int64_t StringUtf16_FindCharReverse(const uint16_t* text, uint16_t unit, const uint16_t** pos) {
    ASSERT_POINTER(text);
    const int32_t length = StringUtf16_Length(text);
    if (unit == 0) return Found(text + length, pos);
    for (int32_t i = length; i > 0; i--)
        if (text[i - 1] == unit) return Found(text + i - 1, pos);
    return Found(nullptr, pos);
}

int64_t StringUtf16_FindCharReverseAt(const uint16_t* text, uint16_t unit, int32_t start,
                                      const uint16_t** pos) {
    ASSERT_POINTER(text);
    if (start < 0 || text[0] == 0) return Found(nullptr, pos);
    // A start beyond the text begins at its last unit rather than reading past the terminator.
    const int32_t length = StringUtf16_Length(text);
    if (start > length - 1) start = length - 1;
    for (int32_t i = start; i >= 0; i--)
        if (text[i] == unit) return Found(text + i, pos);
    return Found(nullptr, pos);
}

int64_t StringUtf16_FindString(const uint16_t* text, const uint16_t* sub, const uint16_t** pos) {
    return FindString<Plain>(text, sub, pos);
}

int64_t StringUtf16_FindStringWithoutCase(const uint16_t* text, const uint16_t* sub, const uint16_t** pos) {
    return FindString<Fold>(text, sub, pos);
}

int64_t StringUtf16_CompareBeginning(const uint16_t* text, const uint16_t* prefix) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(prefix);
    return Begins<Plain>(text, prefix) ? 1 : 0;
}

int64_t StringUtf16_CompareBeginningWithoutCase(const uint16_t* text, const uint16_t* prefix) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(prefix);
    return Begins<Fold>(text, prefix) ? 1 : 0;
}

int64_t StringUtf16_Compare(const uint16_t* a, const uint16_t* b) {
    return Equal<Plain>(a, b);
}

int64_t StringUtf16_CompareWithoutCase(const uint16_t* a, const uint16_t* b) {
    return Equal<Fold>(a, b);
}

int64_t StringUtf16_CompareLength(const uint16_t* a, const uint16_t* b, int32_t n) {
    return EqualLength<Plain>(a, b, n);
}

int64_t StringUtf16_CompareLengthWithoutCase(const uint16_t* a, const uint16_t* b, int32_t n) {
    return EqualLength<Fold>(a, b, n);
}

int64_t StringUtf16_CompareEnding(const uint16_t* a, const uint16_t* b) {
    return Ending<Plain>(a, b);
}

int64_t StringUtf16_CompareEndingWithoutCase(const uint16_t* a, const uint16_t* b) {
    return Ending<Fold>(a, b);
}

int64_t StringUtf16_CompareWildcardInt(const uint16_t* text, const uint16_t* pattern, int32_t caseless) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(pattern);
    return caseless == 1 ? Wildcard<Fold>(text, pattern) : Wildcard<Plain>(text, pattern);
}

int64_t StringUtf16_CompareWildcard(const uint16_t* text, const uint16_t* pattern) {
    return StringUtf16_CompareWildcardInt(text, pattern, 0);
}

int64_t StringUtf16_CompareWildcardWithoutCase(const uint16_t* text, const uint16_t* pattern) {
    return StringUtf16_CompareWildcardInt(text, pattern, 1);
}

int64_t StringUtf16_Reverse(uint16_t* text) {
    ASSERT_POINTER(text);
    int32_t i = 0;
    int32_t j = StringUtf16_Length(text) - 1;
    for (; i < j; i++, j--) {
        const uint16_t unit = text[i];
        text[i] = text[j];
        text[j] = unit;
    }
    return 1;
}

int64_t StringUtf16_AtoI64(const uint16_t* text) {
    ASSERT_POINTER(text);
    const uint16_t* p = text;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    // Unsigned arithmetic: an overflowing number wraps instead of being undefined.
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; p++) value = value * 10 + (*p - '0');
    return static_cast<int64_t>(negative ? 0 - value : value);
}

int32_t StringUtf16_AtoI(const uint16_t* text) {
    return static_cast<int32_t>(StringUtf16_AtoI64(text));
}
