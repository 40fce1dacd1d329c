// SHA-512 and SHA-384 (FIPS 180-4): one engine, with the message schedule on the vector unit and
// rotations by BMI2 when the processor has AVX2, and the two records that share its processing and
// finishing operations.
#include "core/crypto/sha512.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QVR_SHA512_X86 1
#endif

#include "core/crypto/sha2_frame.h"

const uint64_t SHA384_InitialState[8] = {0xcbbb9d5dc1059ed8ULL, 0x629a292a367cd507ULL, 0x9159015a3070dd17ULL,
                                         0x152fecd8f70e5939ULL, 0x67332667ffc00b31ULL, 0x8eb44a8768581511ULL,
                                         0xdb0c2e0d64f98fa7ULL, 0x47b5481dbefa4fa4ULL};
const uint64_t SHA512_InitialState[8] = {0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL,
                                         0xa54ff53a5f1d36f1ULL, 0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL,
                                         0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL};
const uint64_t K512[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL,
};

namespace {

// The rotations and shifts of SHA-512's rounds and schedule.
struct Params {
    using Word = uint64_t;
    static constexpr int Rounds = 80;
    static constexpr const uint64_t* K = K512;
    static constexpr int Sum0[3] = {28, 34, 39}, Sum1[3] = {14, 18, 41};
    static constexpr int Sigma0[3] = {1, 8, 7}, Sigma1[3] = {19, 61, 6};
};
constexpr auto CompressPortable = sha2::Rounds<Params>::CompressPortable;

using digest_frame::Rotr;

#ifdef QVR_SHA512_X86
#define SHA512_VECTOR_TARGET __attribute__((target("avx2,bmi,bmi2")))

// The rounds stay on the integer unit (BMI2 rotates without a copy); the schedule runs two words
// at a time on the vector unit, interleaved with the rounds, so that both units work at once.
// W[2p] and W[2p+1] live in x[p % 8]; each step makes the pair 8 ahead and stores it with its
// round constants into wk, in the slot the two rounds before it have just read.

SHA512_VECTOR_TARGET __attribute__((always_inline)) inline __m128i Rotr128(__m128i x, int n) {
    return _mm_or_si128(_mm_srli_epi64(x, n), _mm_slli_epi64(x, 64 - n));
}

// Pair p + 8 from pairs p .. p + 7, all taken by their place in the ring of 8.
template <int j>
SHA512_VECTOR_TARGET __attribute__((always_inline)) inline void SchedulePair(__m128i x[8], uint64_t* wk,
                                                                             const uint64_t* k) {
    const __m128i w16 = x[j];                                              // W[t-16], W[t-15]
    const __m128i w15 = _mm_alignr_epi8(x[(j + 1) & 7], x[j], 8);          // W[t-15], W[t-14]
    const __m128i w7 = _mm_alignr_epi8(x[(j + 5) & 7], x[(j + 4) & 7], 8); // W[t-7], W[t-6]
    const __m128i w2 = x[(j + 7) & 7];                                     // W[t-2], W[t-1]
    const __m128i s0 = _mm_xor_si128(_mm_xor_si128(Rotr128(w15, 1), Rotr128(w15, 8)), _mm_srli_epi64(w15, 7));
    const __m128i s1 = _mm_xor_si128(_mm_xor_si128(Rotr128(w2, 19), Rotr128(w2, 61)), _mm_srli_epi64(w2, 6));
    const __m128i w = _mm_add_epi64(_mm_add_epi64(w16, s0), _mm_add_epi64(w7, s1));
    x[j] = w;
    _mm_store_si128((__m128i*)(wk + 2 * j), _mm_add_epi64(w, _mm_loadu_si128((const __m128i*)(k + 2 * j))));
}

// Maj(a, b, c) is ((a ^ b) & (b ^ c)) ^ b, and this round's b ^ c is the last round's a ^ b.
#define SHA512_ROUND_WK(a, b, c, d, e, f, g, h, i)                                                           \
    do {                                                                                                     \
        uint64_t t1 = h + wk[i] + (Rotr(e, 14) ^ Rotr(e, 18) ^ Rotr(e, 41)) + (g ^ (e & (f ^ g)));           \
        const uint64_t ab = a ^ b;                                                                           \
        uint64_t t2 = (Rotr(a, 28) ^ Rotr(a, 34) ^ Rotr(a, 39)) + ((ab & bc) ^ b);                           \
        bc = ab;                                                                                             \
        d += t1;                                                                                             \
        h = t1 + t2;                                                                                         \
    } while (0)

// Sixteen rounds from wk; with schedule set, the pairs for the next sixteen (round constants from k)
// are made as their slots free up.
#define SHA512_SIXTEEN(schedule, k)                                                                          \
    do {                                                                                                     \
        SHA512_ROUND_WK(a, b, c, d, e, f, g, h, 0);                                                          \
        SHA512_ROUND_WK(h, a, b, c, d, e, f, g, 1);                                                          \
        if (schedule) SchedulePair<0>(x, wk, k);                                                             \
        SHA512_ROUND_WK(g, h, a, b, c, d, e, f, 2);                                                          \
        SHA512_ROUND_WK(f, g, h, a, b, c, d, e, 3);                                                          \
        if (schedule) SchedulePair<1>(x, wk, k);                                                             \
        SHA512_ROUND_WK(e, f, g, h, a, b, c, d, 4);                                                          \
        SHA512_ROUND_WK(d, e, f, g, h, a, b, c, 5);                                                          \
        if (schedule) SchedulePair<2>(x, wk, k);                                                             \
        SHA512_ROUND_WK(c, d, e, f, g, h, a, b, 6);                                                          \
        SHA512_ROUND_WK(b, c, d, e, f, g, h, a, 7);                                                          \
        if (schedule) SchedulePair<3>(x, wk, k);                                                             \
        SHA512_ROUND_WK(a, b, c, d, e, f, g, h, 8);                                                          \
        SHA512_ROUND_WK(h, a, b, c, d, e, f, g, 9);                                                          \
        if (schedule) SchedulePair<4>(x, wk, k);                                                             \
        SHA512_ROUND_WK(g, h, a, b, c, d, e, f, 10);                                                         \
        SHA512_ROUND_WK(f, g, h, a, b, c, d, e, 11);                                                         \
        if (schedule) SchedulePair<5>(x, wk, k);                                                             \
        SHA512_ROUND_WK(e, f, g, h, a, b, c, d, 12);                                                         \
        SHA512_ROUND_WK(d, e, f, g, h, a, b, c, 13);                                                         \
        if (schedule) SchedulePair<6>(x, wk, k);                                                             \
        SHA512_ROUND_WK(c, d, e, f, g, h, a, b, 14);                                                         \
        SHA512_ROUND_WK(b, c, d, e, f, g, h, a, 15);                                                         \
        if (schedule) SchedulePair<7>(x, wk, k);                                                             \
    } while (0)

SHA512_VECTOR_TARGET void CompressVector(uint64_t state[8], const uint8_t* data, size_t blocks) {
    const __m128i swap = _mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    alignas(16) uint64_t wk[16];
    for (; blocks > 0; blocks--, data += 128) {
        __m128i x[8];
        for (int p = 0; p < 8; p++) {
            x[p] = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i*)(data + 16 * p)), swap);
            _mm_store_si128((__m128i*)(wk + 2 * p),
                            _mm_add_epi64(x[p], _mm_loadu_si128((const __m128i*)(K512 + 2 * p))));
        }
        uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
        uint64_t bc = b ^ c;
        for (int t = 16; t < 80; t += 16) SHA512_SIXTEEN(true, K512 + t);
        SHA512_SIXTEEN(false, K512);
        sha2::Rounds<Params>::AddTo(state, a, b, c, d, e, f, g, h);
    }
}

bool ProcessorHasVector() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
}

using Blocks = digest_frame::Engine<uint64_t, CompressPortable, CompressVector, ProcessorHasVector>;
#else
using Blocks = digest_frame::Engine<uint64_t, CompressPortable>;
#endif

// What the shared frame and object code need to know of the engine.
struct Traits {
    using Object = SHA512;
    static constexpr uint32_t ClassId = SHA512_CLASS_ID;
    static constexpr const char* Name = "SHA512";
    static constexpr uint32_t DigestSize = SHA512_DIGEST_SIZE;
    static constexpr bool BigEndian = true;
    static int64_t Reset(SHA512* sha) { return SHA512_Reset(sha); }
    static constexpr auto Compress = Blocks::Compress;
};
using Digest = digest_object::Sized<Traits>;
using Sha2 = sha2::Engine<Traits>;

} // namespace

SHA2_OPERATIONS(SHA512, SHA384, Digest, Sha2, Blocks)
