// SHA-256 and SHA-224 (FIPS 180-4): one engine, the processor's SHA instructions when present,
// and the two records that share its processing and finishing operations.
#include "core/crypto/sha256.h"

#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QVR_SHA256_X86 1
#endif

#include "core/crypto/sha2_frame.h"

const uint32_t SHA224_InitialState[8] = {0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939,
                                         0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4};
const uint32_t SHA256_InitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
alignas(16) const uint32_t K256[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

namespace {

// The rotations and shifts of SHA-256's rounds and schedule.
struct Params {
    using Word = uint32_t;
    static constexpr int Rounds = 64;
    static constexpr const uint32_t* K = K256;
    static constexpr int Sum0[3] = {2, 13, 22}, Sum1[3] = {6, 11, 25};
    static constexpr int Sigma0[3] = {7, 18, 3}, Sigma1[3] = {17, 19, 10};
};
constexpr auto CompressPortable = sha2::Rounds<Params>::CompressPortable;

#ifdef QVR_SHA256_X86
#define SHA_TARGET __attribute__((target("sha,ssse3,sse4.1")))

// Four rounds of the SHA instructions; group g of 16, each step fixed at compile time so that
// the four message registers stay in registers. The state is kept as ABEF and CDGH.
template <int g>
SHA_TARGET __attribute__((always_inline)) inline void ShaNiGroup(__m128i& abef, __m128i& cdgh, __m128i msg[4],
                                                                 const uint8_t* data, __m128i mask) {
    constexpr int cur = g % 4;
    if constexpr (g < 4) msg[cur] = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i*)(data + 16 * g)), mask);
    __m128i m = _mm_add_epi32(msg[cur], _mm_load_si128((const __m128i*)(K256 + 4 * g)));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, m);
    if constexpr (g >= 3 && g <= 14) {
        constexpr int next = (g + 1) % 4;
        msg[next] = _mm_add_epi32(msg[next], _mm_alignr_epi8(msg[cur], msg[(g + 3) % 4], 4));
        msg[next] = _mm_sha256msg2_epu32(msg[next], msg[cur]);
    }
    abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(m, 0x0E));
    if constexpr (g >= 1 && g <= 12) msg[(g + 3) % 4] = _mm_sha256msg1_epu32(msg[(g + 3) % 4], msg[cur]);
}

template <int... g>
SHA_TARGET __attribute__((always_inline)) inline void ShaNiBlock(__m128i& abef, __m128i& cdgh, __m128i msg[4],
                                                                 const uint8_t* data, __m128i mask,
                                                                 std::integer_sequence<int, g...>) {
    (ShaNiGroup<g>(abef, cdgh, msg, data, mask), ...);
}

SHA_TARGET void CompressShaNi(uint32_t state[8], const uint8_t* data, size_t blocks) {
    const __m128i mask = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128((const __m128i*)state), 0xB1);       // CDAB
    __m128i hgfe = _mm_shuffle_epi32(_mm_loadu_si128((const __m128i*)(state + 4)), 0x1B); // EFGH
    __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);
    __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);
    for (; blocks > 0; blocks--, data += 64) {
        const __m128i abefSave = abef, cdghSave = cdgh;
        __m128i msg[4];
        ShaNiBlock(abef, cdgh, msg, data, mask, std::make_integer_sequence<int, 16>());
        abef = _mm_add_epi32(abef, abefSave);
        cdgh = _mm_add_epi32(cdgh, cdghSave);
    }
    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128((__m128i*)state, _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128((__m128i*)(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

using Blocks = digest_frame::Engine<uint32_t, CompressPortable, CompressShaNi, digest_frame::ProcessorHasSha>;
#else
using Blocks = digest_frame::Engine<uint32_t, CompressPortable>;
#endif

// What the shared frame and object code need to know of the engine.
struct Traits {
    using Object = SHA256;
    static constexpr uint32_t ClassId = SHA256_CLASS_ID;
    static constexpr const char* Name = "SHA256";
    static constexpr uint32_t DigestSize = SHA256_DIGEST_SIZE;
    static constexpr bool BigEndian = true;
    static int64_t Reset(SHA256* sha) { return SHA256_Reset(sha); }
    static constexpr auto Compress = Blocks::Compress;
};
using Digest = digest_object::Sized<Traits>;
using Sha2 = sha2::Engine<Traits>;

} // namespace

SHA2_OPERATIONS(SHA256, SHA224, Digest, Sha2, Blocks)
