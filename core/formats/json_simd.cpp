// Vector searches of the JSON scanner: 16 or 32 bytes compared at once against the bytes that end
// a plain string run (quote, backslash, NUL) or a run of white space; the tail goes byte by byte.
#include "core/formats/json_simd.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define JSON_SIMD_X86 1
#endif

namespace {

bool StringStop(uint8_t c) {
    return c == '"' || c == '\\' || c == 0;
}

bool Space(uint8_t c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

size_t StringTail(const uint8_t* bytes, size_t i, size_t length, bool* nonAscii) {
    bool high = false;
    while (i < length && !StringStop(bytes[i])) high |= bytes[i++] >= 0x80;
    if (high) *nonAscii = true;
    return i;
}

size_t SpaceTail(const uint8_t* bytes, size_t i, size_t length) {
    while (i < length && Space(bytes[i])) i++;
    return i;
}

#ifdef JSON_SIMD_X86

#define AVX2_TARGET __attribute__((target("avx2")))

// SSE2 is part of every x86-64 processor.
size_t StringRunSse2(const uint8_t* bytes, size_t i, size_t length, bool* nonAscii) {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i zero = _mm_setzero_si128();
    uint32_t high = 0;
    for (; length - i >= 16; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        const __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                          _mm_cmpeq_epi8(v, zero));
        const uint32_t stops = (uint32_t)_mm_movemask_epi8(stop);
        const uint32_t highs = (uint32_t)_mm_movemask_epi8(v);
        if (stops) {
            const uint32_t at = (uint32_t)__builtin_ctz(stops);
            high |= highs & ((1u << at) - 1);
            if (high) *nonAscii = true;
            return i + at;
        }
        high |= highs;
    }
    if (high) *nonAscii = true;
    return StringTail(bytes, i, length, nonAscii);
}

size_t SpaceRunSse2(const uint8_t* bytes, size_t i, size_t length) {
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    for (; length - i >= 16; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        const __m128i blank = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, tab)),
                                           _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)));
        const uint32_t other = ~(uint32_t)_mm_movemask_epi8(blank) & 0xFFFFu;
        if (other) return i + (uint32_t)__builtin_ctz(other);
    }
    return SpaceTail(bytes, i, length);
}

AVX2_TARGET size_t StringRunAvx2(const uint8_t* bytes, size_t i, size_t length, bool* nonAscii) {
    const __m256i quote = _mm256_set1_epi8('"');
    const __m256i backslash = _mm256_set1_epi8('\\');
    const __m256i zero = _mm256_setzero_si256();
    uint32_t high = 0;
    for (; length - i >= 32; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i));
        const __m256i stop = _mm256_or_si256(
            _mm256_or_si256(_mm256_cmpeq_epi8(v, quote), _mm256_cmpeq_epi8(v, backslash)),
            _mm256_cmpeq_epi8(v, zero));
        const uint32_t stops = (uint32_t)_mm256_movemask_epi8(stop);
        const uint32_t highs = (uint32_t)_mm256_movemask_epi8(v);
        if (stops) {
            const uint32_t at = (uint32_t)__builtin_ctz(stops);
            high |= at ? highs & (0xFFFFFFFFu >> (32 - at)) : 0;
            if (high) *nonAscii = true;
            return i + at;
        }
        high |= highs;
    }
    if (high) *nonAscii = true;
    return StringRunSse2(bytes, i, length, nonAscii);
}

AVX2_TARGET size_t SpaceRunAvx2(const uint8_t* bytes, size_t i, size_t length) {
    const __m256i space = _mm256_set1_epi8(' ');
    const __m256i tab = _mm256_set1_epi8('\t');
    const __m256i cr = _mm256_set1_epi8('\r');
    const __m256i lf = _mm256_set1_epi8('\n');
    for (; length - i >= 32; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i));
        const __m256i blank =
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, space), _mm256_cmpeq_epi8(v, tab)),
                            _mm256_or_si256(_mm256_cmpeq_epi8(v, cr), _mm256_cmpeq_epi8(v, lf)));
        const uint32_t other = ~(uint32_t)_mm256_movemask_epi8(blank);
        if (other) return i + (uint32_t)__builtin_ctz(other);
    }
    return SpaceRunSse2(bytes, i, length);
}

int32_t Available() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return JSON_SIMD_AVX2;
    return JSON_SIMD_SSE2;
}

#else

int32_t Available() {
    return JSON_SIMD_SCALAR;
}

#endif

std::atomic<int32_t>& Engine() {
    static std::atomic<int32_t> engine{Available()};
    return engine;
}

} // namespace

int32_t JsonSimd_Select(int32_t highest) {
    const int32_t available = Available();
    const int32_t engine = highest < available ? (highest < 0 ? 0 : highest) : available;
    Engine().store(engine, std::memory_order_relaxed);
    return engine;
}

int32_t JsonSimd_Engine() {
    return Engine().load(std::memory_order_relaxed);
}

size_t JsonSimd_StringRunEnd(const uint8_t* bytes, size_t i, size_t length, bool* nonAscii) {
#ifdef JSON_SIMD_X86
    switch (Engine().load(std::memory_order_relaxed)) {
    case JSON_SIMD_AVX2:
        return StringRunAvx2(bytes, i, length, nonAscii);
    case JSON_SIMD_SSE2:
        return StringRunSse2(bytes, i, length, nonAscii);
    default:
        break;
    }
#endif
    return StringTail(bytes, i, length, nonAscii);
}

size_t JsonSimd_SpaceRunEnd(const uint8_t* bytes, size_t i, size_t length) {
#ifdef JSON_SIMD_X86
    switch (Engine().load(std::memory_order_relaxed)) {
    case JSON_SIMD_AVX2:
        return SpaceRunAvx2(bytes, i, length);
    case JSON_SIMD_SSE2:
        return SpaceRunSse2(bytes, i, length);
    default:
        break;
    }
#endif
    return SpaceTail(bytes, i, length);
}
