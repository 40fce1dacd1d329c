// GHASH by carry-less multiplication and the AES-GCM counter loop on AES-NI: eight blocks per
// step, their products summed against H^8..H^1 and reduced once; the ciphertext of one step is
// hashed while the next step's counters go through the AES rounds.
#include <atomic>
#include <cpuid.h>
#include <immintrin.h>

#include "core/crypto/aes_gcm.h"

#define GCM_CLMUL_TARGET __attribute__((target("aes,pclmul,sse4.1")))
#define GCM_WIDE_TARGET __attribute__((target("aes,pclmul,sse4.1,avx,avx2,vaes,vpclmulqdq")))

namespace {

// Works in the byte-reversed domain, where the carry-less product of two field elements is the
// 256-bit value one bit short of the reflected product (fixed by the shift in Reduce).
GCM_CLMUL_TARGET inline __m128i Reverse(__m128i v) {
    return _mm_shuffle_epi8(v, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

GCM_CLMUL_TARGET inline __m128i Get(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

GCM_CLMUL_TARGET inline void Put(uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Sums of products in Karatsuba form: Mid holds (a0 ^ a1)(b0 ^ b1), so the middle term is
// Mid ^ Lo ^ Hi, taken once per reduction; three multiplications per block instead of four.
struct Product {
    __m128i Lo, Mid, Hi;
};

GCM_CLMUL_TARGET inline __m128i Halves(__m128i v) {
    return _mm_xor_si128(v, _mm_shuffle_epi32(v, 0x4E));
}

GCM_CLMUL_TARGET inline void MulAdd(Product& p, __m128i a, __m128i b) {
    p.Lo = _mm_xor_si128(p.Lo, _mm_clmulepi64_si128(a, b, 0x00));
    p.Hi = _mm_xor_si128(p.Hi, _mm_clmulepi64_si128(a, b, 0x11));
    p.Mid = _mm_xor_si128(p.Mid, _mm_clmulepi64_si128(Halves(a), Halves(b), 0x00));
}

GCM_CLMUL_TARGET inline Product Zero() {
    return {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
}

// The 256-bit product shifted left by one bit and reduced modulo x^128 + x^7 + x^2 + x + 1.
GCM_CLMUL_TARGET inline __m128i Reduce(const Product& p) {
    const __m128i mid = _mm_xor_si128(p.Mid, _mm_xor_si128(p.Lo, p.Hi));
    __m128i lo = _mm_xor_si128(p.Lo, _mm_slli_si128(mid, 8));
    __m128i hi = _mm_xor_si128(p.Hi, _mm_srli_si128(mid, 8));
    __m128i t7 = _mm_srli_epi32(lo, 31);
    __m128i t8 = _mm_srli_epi32(hi, 31);
    lo = _mm_slli_epi32(lo, 1);
    hi = _mm_slli_epi32(hi, 1);
    const __m128i t9 = _mm_srli_si128(t7, 12);
    t8 = _mm_slli_si128(t8, 4);
    t7 = _mm_slli_si128(t7, 4);
    lo = _mm_or_si128(lo, t7);
    hi = _mm_or_si128(_mm_or_si128(hi, t8), t9);
    t7 = _mm_xor_si128(_mm_xor_si128(_mm_slli_epi32(lo, 31), _mm_slli_epi32(lo, 30)), _mm_slli_epi32(lo, 25));
    t8 = _mm_srli_si128(t7, 4);
    lo = _mm_xor_si128(lo, _mm_slli_si128(t7, 12));
    __m128i t2 = _mm_xor_si128(_mm_xor_si128(_mm_srli_epi32(lo, 1), _mm_srli_epi32(lo, 2)), _mm_srli_epi32(lo, 7));
    t2 = _mm_xor_si128(t2, t8);
    lo = _mm_xor_si128(lo, t2);
    return _mm_xor_si128(hi, lo);
}

GCM_CLMUL_TARGET inline __m128i Mul(__m128i a, __m128i b) {
    Product p = Zero();
    MulAdd(p, a, b);
    return Reduce(p);
}

struct Powers {
    __m128i H[8]; // H[i] = H^(i+1)
};

GCM_CLMUL_TARGET inline void LoadPowers(Powers& powers, const AESGCM* gcm) {
    for (int i = 0; i < 8; i++) powers.H[i] = Get(gcm->HPowers[i]);
}

// acc (reversed) folded with eight blocks (reversed).
GCM_CLMUL_TARGET inline __m128i Fold8(const Powers& powers, __m128i acc, const __m128i* c) {
    Product p = Zero();
    MulAdd(p, _mm_xor_si128(acc, c[0]), powers.H[7]);
    for (int i = 1; i < 8; i++) MulAdd(p, c[i], powers.H[7 - i]);
    return Reduce(p);
}

GCM_CLMUL_TARGET inline uint32_t LoadBE32(const uint8_t* p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}


std::atomic<int> g_forceNarrow{0};

bool DetectWide() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    // The 256-bit registers must be saved by the operating system (OSXSAVE and XCR0 bits 1, 2).
    if (!(c & bit_OSXSAVE) || !(c & bit_AVX)) return false;
    unsigned xlo = 0, xhi = 0;
    __asm__("xgetbv" : "=a"(xlo), "=d"(xhi) : "c"(0));
    if ((xlo & 6) != 6) return false;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return (b & bit_AVX2) && (c & bit_VAES) && (c & bit_VPCLMULQDQ);
}

bool UseWide() {
    return gcm_internal::WideAvailable() && !g_forceNarrow.load(std::memory_order_relaxed);
}

GCM_WIDE_TARGET inline __m256i Reverse2(__m256i v) {
    const __m256i mask = _mm256_broadcastsi128_si256(
        _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    return _mm256_shuffle_epi8(v, mask);
}

GCM_WIDE_TARGET inline __m256i Get2(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

struct Product2 {
    __m256i Lo, Mid, Hi;
};

GCM_WIDE_TARGET inline __m256i Halves2(__m256i v) {
    return _mm256_xor_si256(v, _mm256_shuffle_epi32(v, 0x4E));
}

// Karatsuba form as in Product; bHalves is Halves2 of b, kept with the powers.
GCM_WIDE_TARGET inline void MulAdd2(Product2& p, __m256i a, __m256i b, __m256i bHalves) {
    p.Lo = _mm256_xor_si256(p.Lo, _mm256_clmulepi64_epi128(a, b, 0x00));
    p.Hi = _mm256_xor_si256(p.Hi, _mm256_clmulepi64_epi128(a, b, 0x11));
    p.Mid = _mm256_xor_si256(p.Mid, _mm256_clmulepi64_epi128(Halves2(a), bHalves, 0x00));
}

GCM_WIDE_TARGET inline __m128i Fold(__m256i v) {
    return _mm_xor_si128(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

// Whole runs of eight blocks (blocks a multiple of 8), two blocks per register.
GCM_WIDE_TARGET void CryptWide(AESGCM* gcm, const uint8_t* in, uint8_t* out, size_t blocks, bool decrypting) {
    const AESContext* context = gcm->Cipher->Context;
    const int32_t rounds = context->Rounds;
    __m256i k[15];
    for (int32_t r = 0; r <= rounds; r++) k[r] = _mm256_broadcastsi128_si256(Get(context->EncryptKeys + 16 * r));
    // Pair j holds the powers for blocks 2j (low lane) and 2j + 1 (high lane): H^(8-2j), H^(7-2j).
    __m256i h[4], hHalves[4];
    for (int j = 0; j < 4; j++) {
        h[j] = _mm256_set_m128i(Get(gcm->HPowers[6 - 2 * j]), Get(gcm->HPowers[7 - 2 * j]));
        hHalves[j] = Halves2(h[j]);
    }
    __m128i acc = Reverse(Get(gcm->Accumulator));
    const __m128i base = Get(gcm->Y);
    uint32_t counter = LoadBE32(gcm->Y + 12);

    __m256i pending[4];
    bool havePending = false;
    for (size_t i = 0; i < blocks; i += 8) {
        __m256i b[4];
        for (int j = 0; j < 4; j++) {
            const __m128i lo = _mm_insert_epi32(base, (int)__builtin_bswap32(counter + 1 + 2 * (uint32_t)j), 3);
            const __m128i hi = _mm_insert_epi32(base, (int)__builtin_bswap32(counter + 2 + 2 * (uint32_t)j), 3);
            b[j] = _mm256_xor_si256(_mm256_set_m128i(hi, lo), k[0]);
        }
        counter += 8;
        Product2 p{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
        for (int32_t r = 1; r < rounds; r++) {
            for (int j = 0; j < 4; j++) b[j] = _mm256_aesenc_epi128(b[j], k[r]);
            if (havePending && r <= 4) {
                const int j = r - 1;
                MulAdd2(p, j == 0 ? _mm256_xor_si256(pending[0], _mm256_zextsi128_si256(acc)) : pending[j], h[j],
                        hHalves[j]);
            }
        }
        if (havePending) acc = Reduce({Fold(p.Lo), Fold(p.Mid), Fold(p.Hi)});
        for (int j = 0; j < 4; j++) {
            const __m256i text = Get2(in + 16 * (i + 2 * j));
            const __m256i result = _mm256_xor_si256(_mm256_aesenclast_epi128(b[j], k[rounds]), text);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * (i + 2 * j)), result);
            pending[j] = Reverse2(decrypting ? text : result);
        }
        havePending = true;
    }
    if (havePending) {
        Product2 p{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
        MulAdd2(p, _mm256_xor_si256(pending[0], _mm256_zextsi128_si256(acc)), h[0], hHalves[0]);
        for (int j = 1; j < 4; j++) MulAdd2(p, pending[j], h[j], hHalves[j]);
        acc = Reduce({Fold(p.Lo), Fold(p.Mid), Fold(p.Hi)});
    }
    Put(gcm->Accumulator, Reverse(acc));
    const uint32_t be = __builtin_bswap32(counter);
    __builtin_memcpy(gcm->Y + 12, &be, 4);
}

} // namespace

namespace gcm_internal {

bool WideAvailable() {
    static const bool available = DetectWide();
    return available;
}

void ForceNarrow(bool on) {
    g_forceNarrow.store(on ? 1 : 0, std::memory_order_relaxed);
}

GCM_CLMUL_TARGET void PrepareHardware(AESGCM* gcm, const uint8_t h[16]) {
    const __m128i h1 = Reverse(Get(h));
    __m128i power = h1;
    for (int i = 0; i < 8; i++) {
        Put(gcm->HPowers[i], power);
        power = Mul(power, h1);
    }
}

GCM_CLMUL_TARGET void GhashHardware(const AESGCM* gcm, uint8_t accumulator[16], const uint8_t* data,
                                    size_t blocks) {
    Powers powers;
    LoadPowers(powers, gcm);
    __m128i acc = Reverse(Get(accumulator));
    size_t i = 0;
    for (; i + 8 <= blocks; i += 8) {
        __m128i c[8];
        for (int j = 0; j < 8; j++) c[j] = Reverse(Get(data + 16 * (i + j)));
        acc = Fold8(powers, acc, c);
    }
    for (; i < blocks; i++) acc = Mul(_mm_xor_si128(acc, Reverse(Get(data + 16 * i))), powers.H[0]);
    Put(accumulator, Reverse(acc));
}

GCM_CLMUL_TARGET void CryptHardware(AESGCM* gcm, const uint8_t* in, uint8_t* out, size_t blocks, bool decrypting) {
    if (blocks >= 16 && UseWide()) {
        const size_t wide = blocks & ~(size_t)7;
        CryptWide(gcm, in, out, wide, decrypting);
        in += 16 * wide;
        out += 16 * wide;
        blocks -= wide;
    }
    const AESContext* context = gcm->Cipher->Context;
    const int32_t rounds = context->Rounds;
    __m128i k[15];
    for (int32_t r = 0; r <= rounds; r++) k[r] = Get(context->EncryptKeys + 16 * r);
    Powers powers;
    LoadPowers(powers, gcm);
    __m128i acc = Reverse(Get(gcm->Accumulator));
    const __m128i base = Get(gcm->Y);
    uint32_t counter = LoadBE32(gcm->Y + 12);

    // Ciphertext of the previous step (reversed), hashed during this step's rounds.
    __m128i pending[8];
    bool havePending = false;
    size_t i = 0;
    for (; i + 8 <= blocks; i += 8) {
        __m128i b[8];
        for (int j = 0; j < 8; j++)
            b[j] = _mm_xor_si128(_mm_insert_epi32(base, (int)__builtin_bswap32(counter + 1 + (uint32_t)j), 3), k[0]);
        counter += 8;
        Product p = Zero();
        for (int32_t r = 1; r < rounds; r++) {
            for (int j = 0; j < 8; j++) b[j] = _mm_aesenc_si128(b[j], k[r]);
            if (havePending && r <= 8) {
                const int j = r - 1;
                MulAdd(p, j == 0 ? _mm_xor_si128(acc, pending[0]) : pending[j], powers.H[7 - j]);
            }
        }
        if (havePending) acc = Reduce(p);
        for (int j = 0; j < 8; j++) {
            const __m128i text = Get(in + 16 * (i + j));
            const __m128i result = _mm_xor_si128(_mm_aesenclast_si128(b[j], k[rounds]), text);
            Put(out + 16 * (i + j), result);
            pending[j] = Reverse(decrypting ? text : result);
        }
        havePending = true;
    }
    if (havePending) acc = Fold8(powers, acc, pending);
    for (; i < blocks; i++) {
        __m128i b = _mm_xor_si128(_mm_insert_epi32(base, (int)__builtin_bswap32(++counter), 3), k[0]);
        for (int32_t r = 1; r < rounds; r++) b = _mm_aesenc_si128(b, k[r]);
        const __m128i text = Get(in + 16 * i);
        const __m128i result = _mm_xor_si128(_mm_aesenclast_si128(b, k[rounds]), text);
        Put(out + 16 * i, result);
        acc = Mul(_mm_xor_si128(acc, Reverse(decrypting ? text : result)), powers.H[0]);
    }
    Put(gcm->Accumulator, Reverse(acc));
    const uint32_t be = __builtin_bswap32(counter);
    __builtin_memcpy(gcm->Y + 12, &be, 4);
}

} // namespace gcm_internal
