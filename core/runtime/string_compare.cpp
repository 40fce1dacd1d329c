// Comparisons of the text library: exact and ASCII-caseless equality, prefixes, suffixes,
// comparisons that skip a set of bytes, and wildcard patterns and pattern lists.
#include "core/runtime/string.h"

#include <cstring>

#include "core/runtime/debug.h"

namespace {

constexpr unsigned char Fold(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

constexpr unsigned char Plain(char c) {
    return static_cast<unsigned char>(c);
}

template <unsigned char (*Map)(char)> int64_t EqualLength(const char* a, const char* b, int32_t n) {
    for (int32_t i = 0; i < n; i++) {
        if (Map(a[i]) != Map(b[i])) return 0;
        if (a[i] == 0) return 1;
    }
    return 1;
}

template <unsigned char (*Map)(char)> int64_t Beginning(const char* text, const char* prefix) {
    for (; *prefix != 0; text++, prefix++)
        if (Map(*text) != Map(*prefix)) return 0;
    return 1;
}

template <unsigned char (*Map)(char)> int64_t Ending(const char* a, const char* b) {
    size_t la = std::strlen(a), lb = std::strlen(b);
    size_t n = la < lb ? la : lb;
    const char* ta = a + la - n;
    const char* tb = b + lb - n;
    for (size_t i = 0; i < n; i++)
        if (Map(ta[i]) != Map(tb[i])) return 0;
    return 1;
}

// End of one pattern: the terminator, or the list separator in the list forms.
bool PatternEnd(const char* p, char stop) {
    return *p == 0 || (stop != 0 && *p == stop);
}

// The matcher walks text and pattern together and, on a mismatch, resumes after the most
// recent unescaped '*' with that star taking one more byte of text. For patterns whose only
// wildcard is '*' this finds a match whenever trying every split point at every star would, in
// O(text x pattern) time and constant stack, so a hostile pattern cannot recurse or blow up.
template <unsigned char (*Map)(char)> int64_t Wildcard(const char* text, const char* pattern, char stop) {
    const char* t = text;
    const char* p = pattern;
    const char* starPattern = nullptr; // pattern just after the last '*'
    const char* starText = nullptr;    // text position that star's run currently ends at
    for (;;) {
        if (*t == 0) {
            while (*p == '*') p++;
            return PatternEnd(p, stop) ? 1 : 0;
        }
        if (*p == '*') {
            p++;
            if (PatternEnd(p, stop)) return 1;
            starPattern = p;
            starText = t;
            continue;
        }
        // A byte of the pattern; "\*" stands for a literal '*'. The end of the pattern never
        // matches a byte of text (a list separator in the text is text, not a boundary).
        bool matched = false;
        int step = 1;
        if (!PatternEnd(p, stop)) {
            char want = *p;
            if (want == '\\' && p[1] == '*') {
                want = '*';
                step = 2;
            }
            matched = Map(want) == Map(*t);
        }
        if (matched) {
            p += step;
            t++;
            continue;
        }
        if (starPattern == nullptr) return 0;
        t = ++starText;
        p = starPattern;
    }
}

template <unsigned char (*Map)(char)> int64_t WildcardList(const char* text, const char* list) {
    if (list[0] == '*' && list[1] == 0) return 1;
    const char* p = list;
    while (*p != 0) {
        if (Wildcard<Map>(text, p, ';')) return 1;
        const char* next = std::strchr(p, ';');
        if (next == nullptr) break;
        p = next + 1;
        while (*p == ' ') p++;
    }
    return 0;
}

} // namespace

int64_t String_CompareReturn(const char* a, const char* b) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    if (a == b) return 0;
    while (*a != 0 && *a == *b) {
        a++;
        b++;
    }
    return static_cast<int64_t>(Plain(*a)) - static_cast<int64_t>(Plain(*b));
}

int64_t String_Compare(const char* a, const char* b) {
    return String_CompareReturn(a, b) == 0 ? 1 : 0;
}

int64_t String_CompareWithoutCaseReturn(const char* a, const char* b) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    for (;; a++, b++) {
        if (*a == 0) return *b != 0 ? -1 : 0;
        if (*b == 0) return 1;
        unsigned char fa = Fold(*a), fb = Fold(*b);
        if (fa != fb) return fa < fb ? -1 : 1;
    }
}

int64_t String_CompareWithoutCase(const char* a, const char* b) {
    return String_CompareWithoutCaseReturn(a, b) == 0 ? 1 : 0;
}

int64_t String_CompareLength(const char* a, const char* b, int32_t n) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    return EqualLength<Plain>(a, b, n);
}

int64_t String_CompareLengthWithoutCase(const char* a, const char* b, int32_t n) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    return EqualLength<Fold>(a, b, n);
}

int64_t String_CompareBeginning(const char* text, const char* prefix) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(prefix);
    return Beginning<Plain>(text, prefix);
}

int64_t String_CompareBeginningWithoutCase(const char* text, const char* prefix) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(prefix);
    return Beginning<Fold>(text, prefix);
}

int64_t String_CompareEnding(const char* a, const char* b) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    return Ending<Plain>(a, b);
}

int64_t String_CompareEndingWithoutCase(const char* a, const char* b) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    return Ending<Fold>(a, b);
}

int64_t String_CompareIgnore(const char* a, const char* b, const char* ignoreSet, int32_t caseless) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    ASSERT_POINTER(ignoreSet);
    auto ignored = [ignoreSet](char c) { return c != 0 && std::strchr(ignoreSet, c) != nullptr; };
    for (;;) {
        while (ignored(*a)) a++;
        while (ignored(*b)) b++;
        unsigned char ca = caseless ? Fold(*a) : Plain(*a);
        unsigned char cb = caseless ? Fold(*b) : Plain(*b);
        if (ca != cb) return 0;
        if (ca == 0) return 1;
        a++;
        b++;
    }
}

int64_t String_CompareWildcard(const char* text, const char* pattern) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(pattern);
    return Wildcard<Plain>(text, pattern, 0);
}

int64_t String_CompareWildcardWithoutCase(const char* text, const char* pattern) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(pattern);
    return Wildcard<Fold>(text, pattern, 0);
}

int64_t String_CompareWildcardList(const char* text, const char* patternList) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(patternList);
    return WildcardList<Plain>(text, patternList);
}

int64_t String_CompareWildcardListWithoutCase(const char* text, const char* patternList) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(patternList);
    return WildcardList<Fold>(text, patternList);
}
