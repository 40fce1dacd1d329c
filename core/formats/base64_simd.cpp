// Vector engines of the Base64 codecs (SSSE3 and AVX2, picked at run time from what the processor
// has): 12 or 24 bytes become 16 or 32 characters per step, and back.
#include "core/formats/base64_simd.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define BASE64_SIMD_X86 1
#endif

namespace {

#ifdef BASE64_SIMD_X86

// ---- Encoding -------------------------------------------------------------------------------------
// Each 32-bit lane gets the bytes of one group as [b1 b0 b2 b1]; two multiplies then move the four
// 6-bit fields to the low bits of the lane's four bytes. A field becomes its character by adding an
// offset that depends only on its range: A-Z, a-z, 0-9 and the two last characters.

#define SSSE3_TARGET __attribute__((target("ssse3")))
#define AVX2_TARGET __attribute__((target("avx2")))

// Offsets by range class: class 0 is a-z, 1-10 the digits, 11 and 12 the two last characters,
// 13 is A-Z.
constexpr int8_t Offset(int32_t klass, bool urlSafe) {
    if (klass == 0) return 'a' - 26;
    if (klass <= 10) return '0' - 52;
    if (klass == 11) return urlSafe ? '-' - 62 : '+' - 62;
    if (klass == 12) return urlSafe ? '_' - 63 : '/' - 63;
    if (klass == 13) return 'A';
    return 0;
}

SSSE3_TARGET inline __m128i EncodeOffsets128(bool urlSafe) {
    return _mm_setr_epi8(Offset(0, urlSafe), Offset(1, urlSafe), Offset(2, urlSafe), Offset(3, urlSafe),
                         Offset(4, urlSafe), Offset(5, urlSafe), Offset(6, urlSafe), Offset(7, urlSafe),
                         Offset(8, urlSafe), Offset(9, urlSafe), Offset(10, urlSafe), Offset(11, urlSafe),
                         Offset(12, urlSafe), Offset(13, urlSafe), 0, 0);
}

SSSE3_TARGET inline __m128i EncodeBlock128(__m128i bytes, __m128i offsets) {
    const __m128i spread =
        _mm_shuffle_epi8(bytes, _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
    const __m128i high =
        _mm_mulhi_epu16(_mm_and_si128(spread, _mm_set1_epi32(0x0FC0FC00)), _mm_set1_epi32(0x04000040));
    const __m128i low =
        _mm_mullo_epi16(_mm_and_si128(spread, _mm_set1_epi32(0x003F03F0)), _mm_set1_epi32(0x01000010));
    const __m128i fields = _mm_or_si128(high, low);
    __m128i klass = _mm_subs_epu8(fields, _mm_set1_epi8(51));
    const __m128i upper = _mm_cmpgt_epi8(_mm_set1_epi8(26), fields);
    klass = _mm_or_si128(klass, _mm_and_si128(upper, _mm_set1_epi8(13)));
    return _mm_add_epi8(fields, _mm_shuffle_epi8(offsets, klass));
}

SSSE3_TARGET size_t EncodeSsse3(const uint8_t* in, size_t length, char* out, size_t room, bool urlSafe,
                                size_t* consumed) {
    const __m128i offsets = EncodeOffsets128(urlSafe);
    size_t i = 0, o = 0;
    // The 16-byte load reads 4 bytes past the block's 12.
    while (i + 16 <= length && o + 16 <= room) {
        const __m128i chars = EncodeBlock128(_mm_loadu_si128((const __m128i*)(in + i)), offsets);
        _mm_storeu_si128((__m128i*)(out + o), chars);
        i += 12;
        o += 16;
    }
    *consumed = i;
    return o;
}

AVX2_TARGET size_t EncodeAvx2(const uint8_t* in, size_t length, char* out, size_t room, bool urlSafe,
                              size_t* consumed) {
    const __m128i offsets128 = _mm_setr_epi8(
        Offset(0, urlSafe), Offset(1, urlSafe), Offset(2, urlSafe), Offset(3, urlSafe), Offset(4, urlSafe),
        Offset(5, urlSafe), Offset(6, urlSafe), Offset(7, urlSafe), Offset(8, urlSafe), Offset(9, urlSafe),
        Offset(10, urlSafe), Offset(11, urlSafe), Offset(12, urlSafe), Offset(13, urlSafe), 0, 0);
    const __m256i offsets = _mm256_broadcastsi128_si256(offsets128);
    const __m256i spreadOrder = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, 1, 0, 2,
                                                 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    size_t i = 0, o = 0;
    // Two 16-byte loads, 12 bytes apart; the second reads 4 bytes past the block's 24.
    while (i + 28 <= length && o + 32 <= room) {
        const __m256i bytes =
            _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128((const __m128i*)(in + i))),
                                    _mm_loadu_si128((const __m128i*)(in + i + 12)), 1);
        const __m256i spread = _mm256_shuffle_epi8(bytes, spreadOrder);
        const __m256i high = _mm256_mulhi_epu16(_mm256_and_si256(spread, _mm256_set1_epi32(0x0FC0FC00)),
                                                _mm256_set1_epi32(0x04000040));
        const __m256i low = _mm256_mullo_epi16(_mm256_and_si256(spread, _mm256_set1_epi32(0x003F03F0)),
                                               _mm256_set1_epi32(0x01000010));
        const __m256i fields = _mm256_or_si256(high, low);
        __m256i klass = _mm256_subs_epu8(fields, _mm256_set1_epi8(51));
        const __m256i upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), fields);
        klass = _mm256_or_si256(klass, _mm256_and_si256(upper, _mm256_set1_epi8(13)));
        const __m256i chars = _mm256_add_epi8(fields, _mm256_shuffle_epi8(offsets, klass));
        _mm256_storeu_si256((__m256i*)(out + o), chars);
        i += 24;
        o += 32;
    }
    // A last block that cannot over-read goes through the 128-bit step.
    size_t rest = 0;
    o += EncodeSsse3(in + i, length - i, out + o, room - o, urlSafe, &rest);
    *consumed = i + rest;
    return o;
}

// ---- Decoding -------------------------------------------------------------------------------------
// A character's low and high nibbles index two tables whose entries share a bit only for bytes
// outside the standard alphabet ('=' and NUL included); a third table by high nibble (with '/'
// told apart from '+') gives the amount that turns a character into its 6-bit value. Two
// multiply-adds join four values into 24 bits per lane, and a shuffle packs the bytes.

constexpr int8_t kLowNibble[16] = {0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                   0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A};
constexpr int8_t kHighNibble[16] = {0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                    0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10};
constexpr int8_t kRoll[16] = {0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0};

SSSE3_TARGET inline __m128i Table128(const int8_t* table) {
    return _mm_loadu_si128((const __m128i*)table);
}

// Answers false when a character of the block is outside the alphabet.
SSSE3_TARGET inline bool DecodeBlock128(__m128i chars, __m128i lowTable, __m128i highTable, __m128i roll,
                                        __m128i* bytes) {
    const __m128i high = _mm_and_si128(_mm_srli_epi32(chars, 4), _mm_set1_epi8(0x0F));
    const __m128i low = _mm_and_si128(chars, _mm_set1_epi8(0x0F));
    const __m128i lowBits = _mm_shuffle_epi8(lowTable, low);
    const __m128i highBits = _mm_shuffle_epi8(highTable, high);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(lowBits, highBits), _mm_setzero_si128())) != 0xFFFF)
        return false;
    const __m128i slash = _mm_cmpeq_epi8(chars, _mm_set1_epi8('/'));
    const __m128i values = _mm_add_epi8(chars, _mm_shuffle_epi8(roll, _mm_add_epi8(slash, high)));
    const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
    const __m128i words = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    *bytes = _mm_shuffle_epi8(words, _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
    return true;
}

SSSE3_TARGET size_t DecodeSsse3(const uint8_t* in, size_t length, uint8_t* out, size_t limit,
                                size_t* produced) {
    const __m128i lowTable = Table128(kLowNibble), highTable = Table128(kHighNibble), roll = Table128(kRoll);
    size_t i = 0, o = 0;
    // The block's last group starts at o + 9.
    while (i + 16 <= length && o + 9 < limit) {
        __m128i bytes;
        if (!DecodeBlock128(_mm_loadu_si128((const __m128i*)(in + i)), lowTable, highTable, roll, &bytes))
            break;
        // Exactly 12 bytes: the caller's buffer past them is not ours to touch.
        _mm_storel_epi64((__m128i*)(out + o), bytes);
        const uint32_t tail = (uint32_t)_mm_cvtsi128_si32(_mm_srli_si128(bytes, 8));
        __builtin_memcpy(out + o + 8, &tail, 4);
        i += 16;
        o += 12;
    }
    *produced = o;
    return i;
}

AVX2_TARGET size_t DecodeAvx2(const uint8_t* in, size_t length, uint8_t* out, size_t limit,
                              size_t* produced) {
    const __m256i lowTable = _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i*)kLowNibble));
    const __m256i highTable = _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i*)kHighNibble));
    const __m256i roll = _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i*)kRoll));
    const __m256i pack = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6,
                                          5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    size_t i = 0, o = 0;
    // The block's last group starts at o + 21.
    while (i + 32 <= length && o + 21 < limit) {
        const __m256i chars = _mm256_loadu_si256((const __m256i*)(in + i));
        const __m256i high = _mm256_and_si256(_mm256_srli_epi32(chars, 4), _mm256_set1_epi8(0x0F));
        const __m256i low = _mm256_and_si256(chars, _mm256_set1_epi8(0x0F));
        const __m256i bad =
            _mm256_and_si256(_mm256_shuffle_epi8(lowTable, low), _mm256_shuffle_epi8(highTable, high));
        if (!_mm256_testz_si256(bad, bad)) break;
        const __m256i slash = _mm256_cmpeq_epi8(chars, _mm256_set1_epi8('/'));
        const __m256i values =
            _mm256_add_epi8(chars, _mm256_shuffle_epi8(roll, _mm256_add_epi8(slash, high)));
        const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
        const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, pack), join);
        // Exactly 24 bytes: the caller's buffer past them is not ours to touch.
        _mm_storeu_si128((__m128i*)(out + o), _mm256_castsi256_si128(bytes));
        _mm_storel_epi64((__m128i*)(out + o + 16), _mm256_extracti128_si256(bytes, 1));
        i += 32;
        o += 24;
    }
    size_t more = 0;
    i += DecodeSsse3(in + i, length - i, out + o, limit > o ? limit - o : 0, &more);
    *produced = o + more;
    return i;
}

int32_t Available() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return BASE64_ENGINE_AVX2;
    if (__builtin_cpu_supports("ssse3")) return BASE64_ENGINE_SSSE3;
    return BASE64_ENGINE_SCALAR;
}

#else

int32_t Available() {
    return BASE64_ENGINE_SCALAR;
}

#endif

std::atomic<int32_t>& Engine() {
    static std::atomic<int32_t> engine{Available()};
    return engine;
}

} // namespace

int32_t Base64Simd_Select(int32_t highest) {
    const int32_t available = Available();
    const int32_t engine = highest < available ? (highest < 0 ? 0 : highest) : available;
    Engine().store(engine, std::memory_order_relaxed);
    return engine;
}

int32_t Base64Simd_Engine() {
    return Engine().load(std::memory_order_relaxed);
}

size_t Base64Simd_Encode(const uint8_t* in, size_t length, char* out, size_t room, bool urlSafe,
                         size_t* consumed) {
    *consumed = 0;
#ifdef BASE64_SIMD_X86
    switch (Engine().load(std::memory_order_relaxed)) {
    case BASE64_ENGINE_AVX2:
        return EncodeAvx2(in, length, out, room, urlSafe, consumed);
    case BASE64_ENGINE_SSSE3:
        return EncodeSsse3(in, length, out, room, urlSafe, consumed);
    default:
        break;
    }
#else
    (void)in, (void)length, (void)out, (void)room, (void)urlSafe;
#endif
    return 0;
}

size_t Base64Simd_Decode(const uint8_t* in, size_t length, uint8_t* out, size_t limit, size_t* produced) {
    *produced = 0;
#ifdef BASE64_SIMD_X86
    switch (Engine().load(std::memory_order_relaxed)) {
    case BASE64_ENGINE_AVX2:
        return DecodeAvx2(in, length, out, limit, produced);
    case BASE64_ENGINE_SSSE3:
        return DecodeSsse3(in, length, out, limit, produced);
    default:
        break;
    }
#else
    (void)in, (void)length, (void)out, (void)limit;
#endif
    return 0;
}
