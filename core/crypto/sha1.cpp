// SHA-1 (FIPS 180-4): the instance operations, the portable block function and the one on the
// processor's SHA instructions chosen at run time, and the record that the Hash layer reaches.
#include "core/crypto/sha1.h"

#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "core/crypto/digest_frame.h"

namespace {

constexpr uint32_t kInitialState[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};

using digest_frame::Rotl;

// The message schedule lives in a 16-word ring: word t is rebuilt in place from t-3, t-8, t-14, t-16.
#define SHA1_W(t)                                                                                            \
    (w[(t)&15] = Rotl(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t)&15], 1))
#define SHA1_ROUND(a, b, c, d, e, f, k, x)                                                                   \
    do {                                                                                                     \
        e += Rotl(a, 5) + (f) + (uint32_t)(k) + (x);                                                         \
        b = Rotl(b, 30);                                                                                     \
    } while (0)
#define SHA1_CH(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA1_PARITY(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_MAJ(b, c, d) (((b) & (c)) | ((d) & ((b) | (c))))

void CompressPortable(uint32_t state[5], const uint8_t* data, size_t blocks) {
    for (; blocks > 0; blocks--, data += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; i++) w[i] = digest_frame::LoadBig<uint32_t>(data + 4 * i);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
        // Five rounds per pass, the variables rotating by name instead of by assignment.
        for (int t = 0; t < 15; t += 5) {
            SHA1_ROUND(a, b, c, d, e, SHA1_CH(b, c, d), 0x5A827999, w[t]);
            SHA1_ROUND(e, a, b, c, d, SHA1_CH(a, b, c), 0x5A827999, w[t + 1]);
            SHA1_ROUND(d, e, a, b, c, SHA1_CH(e, a, b), 0x5A827999, w[t + 2]);
            SHA1_ROUND(c, d, e, a, b, SHA1_CH(d, e, a), 0x5A827999, w[t + 3]);
            SHA1_ROUND(b, c, d, e, a, SHA1_CH(c, d, e), 0x5A827999, w[t + 4]);
        }
        SHA1_ROUND(a, b, c, d, e, SHA1_CH(b, c, d), 0x5A827999, w[15]);
        SHA1_ROUND(e, a, b, c, d, SHA1_CH(a, b, c), 0x5A827999, SHA1_W(16));
        SHA1_ROUND(d, e, a, b, c, SHA1_CH(e, a, b), 0x5A827999, SHA1_W(17));
        SHA1_ROUND(c, d, e, a, b, SHA1_CH(d, e, a), 0x5A827999, SHA1_W(18));
        SHA1_ROUND(b, c, d, e, a, SHA1_CH(c, d, e), 0x5A827999, SHA1_W(19));
        for (int t = 20; t < 40; t += 5) {
            SHA1_ROUND(a, b, c, d, e, SHA1_PARITY(b, c, d), 0x6ED9EBA1, SHA1_W(t));
            SHA1_ROUND(e, a, b, c, d, SHA1_PARITY(a, b, c), 0x6ED9EBA1, SHA1_W(t + 1));
            SHA1_ROUND(d, e, a, b, c, SHA1_PARITY(e, a, b), 0x6ED9EBA1, SHA1_W(t + 2));
            SHA1_ROUND(c, d, e, a, b, SHA1_PARITY(d, e, a), 0x6ED9EBA1, SHA1_W(t + 3));
            SHA1_ROUND(b, c, d, e, a, SHA1_PARITY(c, d, e), 0x6ED9EBA1, SHA1_W(t + 4));
        }
        for (int t = 40; t < 60; t += 5) {
            SHA1_ROUND(a, b, c, d, e, SHA1_MAJ(b, c, d), 0x8F1BBCDC, SHA1_W(t));
            SHA1_ROUND(e, a, b, c, d, SHA1_MAJ(a, b, c), 0x8F1BBCDC, SHA1_W(t + 1));
            SHA1_ROUND(d, e, a, b, c, SHA1_MAJ(e, a, b), 0x8F1BBCDC, SHA1_W(t + 2));
            SHA1_ROUND(c, d, e, a, b, SHA1_MAJ(d, e, a), 0x8F1BBCDC, SHA1_W(t + 3));
            SHA1_ROUND(b, c, d, e, a, SHA1_MAJ(c, d, e), 0x8F1BBCDC, SHA1_W(t + 4));
        }
        for (int t = 60; t < 80; t += 5) {
            SHA1_ROUND(a, b, c, d, e, SHA1_PARITY(b, c, d), 0xCA62C1D6, SHA1_W(t));
            SHA1_ROUND(e, a, b, c, d, SHA1_PARITY(a, b, c), 0xCA62C1D6, SHA1_W(t + 1));
            SHA1_ROUND(d, e, a, b, c, SHA1_PARITY(e, a, b), 0xCA62C1D6, SHA1_W(t + 2));
            SHA1_ROUND(c, d, e, a, b, SHA1_PARITY(d, e, a), 0xCA62C1D6, SHA1_W(t + 3));
            SHA1_ROUND(b, c, d, e, a, SHA1_PARITY(c, d, e), 0xCA62C1D6, SHA1_W(t + 4));
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
    }
}

#if defined(__x86_64__) || defined(__i386__)
#define SHA_TARGET __attribute__((target("sha,ssse3,sse4.1")))

// Four rounds of the SHA instructions; group g of 20, each step fixed at compile time so that
// the four message registers stay in registers. E alternates between e[0] and e[1].
template <int g>
SHA_TARGET __attribute__((always_inline)) inline void ShaNiGroup(__m128i& abcd, __m128i e[2], __m128i msg[4],
                                                                 const uint8_t* data, __m128i mask) {
    constexpr int cur = g % 4;
    if constexpr (g < 4) msg[cur] = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i*)(data + 16 * g)), mask);
    if constexpr (g == 0)
        e[0] = _mm_add_epi32(e[0], msg[0]);
    else
        e[g % 2] = _mm_sha1nexte_epu32(e[g % 2], msg[cur]);
    e[(g + 1) % 2] = abcd;
    if constexpr (g >= 3 && g <= 18) msg[(g + 1) % 4] = _mm_sha1msg2_epu32(msg[(g + 1) % 4], msg[cur]);
    abcd = _mm_sha1rnds4_epu32(abcd, e[g % 2], g / 5);
    if constexpr (g >= 1 && g <= 16) msg[(g + 3) % 4] = _mm_sha1msg1_epu32(msg[(g + 3) % 4], msg[cur]);
    if constexpr (g >= 2 && g <= 17) msg[(g + 2) % 4] = _mm_xor_si128(msg[(g + 2) % 4], msg[cur]);
}

template <int... g>
SHA_TARGET __attribute__((always_inline)) inline void ShaNiBlock(__m128i& abcd, __m128i e[2], __m128i msg[4],
                                                                 const uint8_t* data, __m128i mask,
                                                                 std::integer_sequence<int, g...>) {
    (ShaNiGroup<g>(abcd, e, msg, data, mask), ...);
}

SHA_TARGET void CompressShaNi(uint32_t state[5], const uint8_t* data, size_t blocks) {
    const __m128i mask = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128((const __m128i*)state), 0x1B);
    __m128i e0 = _mm_set_epi32((int)state[4], 0, 0, 0);
    for (; blocks > 0; blocks--, data += 64) {
        const __m128i abcdSave = abcd, e0Save = e0;
        __m128i e[2] = {e0, e0};
        __m128i msg[4];
        ShaNiBlock(abcd, e, msg, data, mask, std::make_integer_sequence<int, 20>());
        // After the last group e[0] holds the A that went into it: its rotation feeds E.
        e0 = _mm_sha1nexte_epu32(e[0], e0Save);
        abcd = _mm_add_epi32(abcd, abcdSave);
    }
    _mm_storeu_si128((__m128i*)state, _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = (uint32_t)_mm_extract_epi32(e0, 3);
}

using Blocks = digest_frame::Engine<uint32_t, CompressPortable, CompressShaNi, digest_frame::ProcessorHasSha>;
#else
using Blocks = digest_frame::Engine<uint32_t, CompressPortable>;
#endif

// What the shared frame and object code need to know of SHA1.
struct Traits {
    using Object = SHA1;
    static constexpr uint32_t ClassId = SHA1_CLASS_ID;
    static constexpr const char* Name = "SHA1";
    static constexpr bool BigEndian = true;
    static int64_t Reset(SHA1* sha1) { return SHA1_Reset(sha1); }
    static constexpr auto Compress = Blocks::Compress;
};
using Digest = digest_object::Fixed<Traits>;
using Frame = digest_frame::Frame<Traits>;

} // namespace

const HashInterface SHA1_INTERFACE = DIGEST_INTERFACE(SHA1, SHA1, HashSlot<SHA1_Process>::Call);

DIGEST_FIXED_OPERATIONS(SHA1, Digest)
DIGEST_FRAME_OPERATIONS(SHA1, Frame, kInitialState)

int64_t SHA1_UseProcessorExtensions(int32_t allowed) {
    return Blocks::Use(allowed);
}
