// SHA-256 and SHA-224 (FIPS 180-4): one engine, the processor's SHA instructions when present,
// and the two records that share its processing and finishing operations.
#include "core/crypto/sha256.h"

#include <atomic>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define QVR_SHA256_X86 1
#endif

#include "core/crypto/digest_object.h"

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

inline uint32_t Rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

inline uint32_t LoadBig32(const uint8_t* p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

inline void StoreBig32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

// One round; the eight working variables rotate by name. The schedule is a 16-word ring.
#define SHA256_ROUND(a, b, c, d, e, f, g, h, k, x)                                                           \
    do {                                                                                                     \
        uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + (g ^ (e & (f ^ g))) + (k) + (x);        \
        uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) | (c & (a | b)));                  \
        d += t1;                                                                                             \
        h = t1 + t2;                                                                                         \
    } while (0)
#define SHA256_S0(x) (Rotr(x, 7) ^ Rotr(x, 18) ^ ((x) >> 3))
#define SHA256_S1(x) (Rotr(x, 17) ^ Rotr(x, 19) ^ ((x) >> 10))
#define SHA256_W(t)                                                                                          \
    (w[(t)&15] += SHA256_S1(w[((t) + 14) & 15]) + w[((t) + 9) & 15] + SHA256_S0(w[((t) + 1) & 15]))

void CompressPortable(uint32_t state[8], const uint8_t* data, size_t blocks) {
    for (; blocks > 0; blocks--, data += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; i++) w[i] = LoadBig32(data + 4 * i);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 16; t += 8) {
            SHA256_ROUND(a, b, c, d, e, f, g, h, K256[t], w[t]);
            SHA256_ROUND(h, a, b, c, d, e, f, g, K256[t + 1], w[t + 1]);
            SHA256_ROUND(g, h, a, b, c, d, e, f, K256[t + 2], w[t + 2]);
            SHA256_ROUND(f, g, h, a, b, c, d, e, K256[t + 3], w[t + 3]);
            SHA256_ROUND(e, f, g, h, a, b, c, d, K256[t + 4], w[t + 4]);
            SHA256_ROUND(d, e, f, g, h, a, b, c, K256[t + 5], w[t + 5]);
            SHA256_ROUND(c, d, e, f, g, h, a, b, K256[t + 6], w[t + 6]);
            SHA256_ROUND(b, c, d, e, f, g, h, a, K256[t + 7], w[t + 7]);
        }
        for (int t = 16; t < 64; t += 8) {
            SHA256_ROUND(a, b, c, d, e, f, g, h, K256[t], SHA256_W(t));
            SHA256_ROUND(h, a, b, c, d, e, f, g, K256[t + 1], SHA256_W(t + 1));
            SHA256_ROUND(g, h, a, b, c, d, e, f, K256[t + 2], SHA256_W(t + 2));
            SHA256_ROUND(f, g, h, a, b, c, d, e, K256[t + 3], SHA256_W(t + 3));
            SHA256_ROUND(e, f, g, h, a, b, c, d, K256[t + 4], SHA256_W(t + 4));
            SHA256_ROUND(d, e, f, g, h, a, b, c, K256[t + 5], SHA256_W(t + 5));
            SHA256_ROUND(c, d, e, f, g, h, a, b, K256[t + 6], SHA256_W(t + 6));
            SHA256_ROUND(b, c, d, e, f, g, h, a, K256[t + 7], SHA256_W(t + 7));
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

typedef void (*CompressFunc)(uint32_t state[8], const uint8_t* data, size_t blocks);

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

bool ProcessorHasSha() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool vector = (c & bit_SSSE3) && (c & bit_SSE4_1);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return vector && (b & bit_SHA);
}

CompressFunc Pick(bool allowed) {
    return allowed && ProcessorHasSha() ? CompressShaNi : CompressPortable;
}
#else
CompressFunc Pick(bool) {
    return CompressPortable;
}
#endif

std::atomic<CompressFunc>& Engine() {
    static std::atomic<CompressFunc> engine{Pick(true)};
    return engine;
}

inline void Compress(uint32_t state[8], const uint8_t* data, size_t blocks) {
    Engine().load(std::memory_order_relaxed)(state, data, blocks);
}

// What the shared object code needs to know of the engine.
struct Traits {
    using Object = SHA256;
    static constexpr uint32_t ClassId = SHA256_CLASS_ID;
    static constexpr const char* Name = "SHA256";
    static constexpr uint32_t DigestSize = SHA256_DIGEST_SIZE;
    static int64_t Reset(SHA256* sha) { return SHA256_Reset(sha); }
};
using Digest = digest_object::Sized<Traits>;

void Absorb(SHA256* sha, const uint8_t* in, uint32_t length) {
    const uint32_t used = (uint32_t)(sha->ByteCount & 63);
    sha->ByteCount += length;
    digest_object::Absorb<64>(sha->Block, used, in, length,
                              [sha](const uint8_t* blocks, size_t n) { Compress(sha->State, blocks, n); });
}

// The record slot takes the whole unsigned length that the Hash layer passes.
int64_t SlotProcess(void* instance, const void* data, uint32_t length) {
    CLASS_CHECK(instance, SHA256_CLASS_ID);
    ASSERT_POINTER(data);
    Absorb(static_cast<SHA256*>(instance), static_cast<const uint8_t*>(data), length);
    return 1;
}

} // namespace

const HashInterface SHA256_INTERFACE = {
    "SHA256",
    64,
    SHA256_DIGEST_SIZE,
    SHA256_SizeOf,
    SHA256_Stack,
    SHA256_Unstack,
    HashSlot<SHA256_Create>::Call,
    HashSlot<SHA256_Delete>::Call,
    HashSlot<SHA256_CopyTo>::Call,
    HashSlot<SHA256_Reset>::Call,
    SlotProcess,
    HashSlot<SHA256_IsGenerated>::Call,
    HashSlot<SHA256_Generate>::Call,
    HashSlot<SHA256_GetDigest>::Call,
    HashSlot<SHA256_GetString>::Call,
};

const HashInterface SHA224_INTERFACE = {
    "SHA224",
    64,
    SHA224_DIGEST_SIZE,
    SHA224_SizeOf,
    SHA224_Stack,
    SHA224_Unstack,
    HashSlot<SHA224_Create>::Call,
    HashSlot<SHA224_Delete>::Call,
    HashSlot<SHA224_CopyTo>::Call,
    HashSlot<SHA224_Reset>::Call,
    SlotProcess,
    HashSlot<SHA256_IsGenerated>::Call,
    HashSlot<SHA256_Generate>::Call,
    HashSlot<SHA256_GetDigest>::Call,
    HashSlot<SHA256_GetString>::Call,
};

void SHA256_WriteByteBlock(uint32_t state[8], const uint8_t* block) {
    ASSERT_POINTER(state);
    ASSERT_POINTER(block);
    Compress(state, block, 1);
}

int64_t SHA256_SetDigestSize(SHA256* sha, uint32_t size) {
    return Digest::SetDigestSize(sha, size);
}

uint32_t SHA256_SizeOf() {
    return sizeof(SHA256);
}

uint32_t SHA224_SizeOf() {
    return sizeof(SHA256);
}

int64_t SHA256_Stack(void* memory) {
    return Digest::Stack(memory);
}

int64_t SHA224_Stack(void* memory) {
    SHA256_Stack(memory);
    SHA256* sha = static_cast<SHA256*>(memory);
    SHA256_SetDigestSize(sha, SHA224_DIGEST_SIZE);
    return SHA224_Reset(sha);
}

int64_t SHA256_Unstack(void* memory) {
    return Digest::Unstack(memory);
}

int64_t SHA224_Unstack(void* memory) {
    return SHA256_Unstack(memory);
}

int64_t SHA256_Create(SHA256** handle) {
    return Digest::Create(handle, SHA256_DIGEST_SIZE, SHA256_Reset);
}

int64_t SHA224_Create(SHA256** handle) {
    return Digest::Create(handle, SHA224_DIGEST_SIZE, SHA224_Reset);
}

int64_t SHA256_Delete(SHA256** handle) {
    return Digest::Delete(handle);
}

int64_t SHA224_Delete(SHA256** handle) {
    return SHA256_Delete(handle);
}

int64_t SHA256_AddRef(SHA256* sha) {
    return Digest::AddRef(sha);
}

int64_t SHA256_Release(SHA256** handle) {
    return Digest::Release(handle);
}

int64_t SHA256_GetInstanceId(SHA256* sha, char* buffer, int32_t size) {
    return Digest::GetInstanceId(sha, buffer, size);
}

int64_t SHA256_CopyTo(SHA256* source, SHA256* target) {
    return Digest::CopyTo(source, target);
}

int64_t SHA224_CopyTo(SHA256* source, SHA256* target) {
    return SHA256_CopyTo(source, target);
}

int64_t SHA256_Reset(SHA256* sha) {
    return Digest::ResetTo(sha, SHA256_InitialState);
}

int64_t SHA224_Reset(SHA256* sha) {
    return Digest::ResetTo(sha, SHA224_InitialState);
}

int64_t SHA256_Process(SHA256* sha, const void* data, int32_t length) {
    CLASS_CHECK(sha, SHA256_CLASS_ID);
    ASSERT_POINTER(data);
    if (length < 0) return 0;
    Absorb(sha, static_cast<const uint8_t*>(data), (uint32_t)length);
    return 1;
}

uint32_t SHA256_IsGenerated(SHA256* sha) {
    return Digest::IsGenerated(sha);
}

int64_t SHA256_Generate(SHA256* sha) {
    CLASS_CHECK(sha, SHA256_CLASS_ID);
    const uint64_t bits = sha->ByteCount << 3;
    uint8_t count[8];
    StoreBig32(count, (uint32_t)(bits >> 32));
    StoreBig32(count + 4, (uint32_t)bits);
    digest_object::Pad<64>(sha->Block, (uint32_t)(sha->ByteCount & 63), count, 8,
                           [sha](const uint8_t* blocks, size_t n) { Compress(sha->State, blocks, n); });
    uint8_t full[32];
    for (int i = 0; i < 8; i++) StoreBig32(full + 4 * i, sha->State[i]);
    if (sha->DigestSize > 0)
        memcpy(sha->Digest, full, sha->DigestSize < sizeof(full) ? sha->DigestSize : sizeof(full));
    sha->DigestReady = 1;
    return 1;
}

uint32_t SHA256_GetDigest(SHA256* sha, uint8_t* out, int32_t capacity) {
    return Digest::GetDigest(sha, out, capacity);
}

uint32_t SHA256_GetString(SHA256* sha, uint32_t spaced, char* out, int32_t capacity) {
    return Digest::GetString(sha, spaced, out, capacity);
}

int64_t SHA256_UseProcessorExtensions(int32_t allowed) {
    CompressFunc engine = Pick(allowed != 0);
    Engine().store(engine);
    return engine != CompressPortable ? 1 : 0;
}
