// MD5 (RFC 1321): the instance operations and the record that the Hash layer reaches them by.
#include "core/crypto/md5.h"

#include <cstring>

#include "core/crypto/digest_object.h"

namespace {

constexpr uint32_t kInitialState[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};

inline uint32_t Rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadLittle32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

inline void StoreLittle32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

// F and G in the forms that need one operation fewer than the RFC's.
#define MD5_STEP(f, a, b, c, d, x, k, s)                                                                     \
    do {                                                                                                     \
        a += f(b, c, d) + (x) + (uint32_t)(k);                                                               \
        a = Rotl(a, s) + b;                                                                                  \
    } while (0)
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

void Compress(uint32_t state[4], const uint8_t* data, size_t blocks) {
    uint32_t a0 = state[0], b0 = state[1], c0 = state[2], d0 = state[3];
    for (; blocks > 0; blocks--, data += 64) {
        uint32_t x[16];
        for (int i = 0; i < 16; i++) x[i] = LoadLittle32(data + 4 * i);
        uint32_t a = a0, b = b0, c = c0, d = d0;

        MD5_STEP(MD5_F, a, b, c, d, x[0], 0xd76aa478, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[2], 0x242070db, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22);
        MD5_STEP(MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[5], 0x4787c62a, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[6], 0xa8304613, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[7], 0xfd469501, 22);
        MD5_STEP(MD5_F, a, b, c, d, x[8], 0x698098d8, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[11], 0x895cd7be, 22);
        MD5_STEP(MD5_F, a, b, c, d, x[12], 0x6b901122, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[13], 0xfd987193, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[14], 0xa679438e, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[15], 0x49b40821, 22);

        MD5_STEP(MD5_G, a, b, c, d, x[1], 0xf61e2562, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[6], 0xc040b340, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[11], 0x265e5a51, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[0], 0xe9b6c7aa, 20);
        MD5_STEP(MD5_G, a, b, c, d, x[5], 0xd62f105d, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[10], 0x02441453, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[15], 0xd8a1e681, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[4], 0xe7d3fbc8, 20);
        MD5_STEP(MD5_G, a, b, c, d, x[9], 0x21e1cde6, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[14], 0xc33707d6, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[3], 0xf4d50d87, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[8], 0x455a14ed, 20);
        MD5_STEP(MD5_G, a, b, c, d, x[13], 0xa9e3e905, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[2], 0xfcefa3f8, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[7], 0x676f02d9, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[12], 0x8d2a4c8a, 20);

        MD5_STEP(MD5_H, a, b, c, d, x[5], 0xfffa3942, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[8], 0x8771f681, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[14], 0xfde5380c, 23);
        MD5_STEP(MD5_H, a, b, c, d, x[1], 0xa4beea44, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23);
        MD5_STEP(MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[6], 0x04881d05, 23);
        MD5_STEP(MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23);

        MD5_STEP(MD5_I, a, b, c, d, x[0], 0xf4292244, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[7], 0x432aff97, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[14], 0xab9423a7, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[5], 0xfc93a039, 21);
        MD5_STEP(MD5_I, a, b, c, d, x[12], 0x655b59c3, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[10], 0xffeff47d, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[1], 0x85845dd1, 21);
        MD5_STEP(MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[6], 0xa3014314, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21);
        MD5_STEP(MD5_I, a, b, c, d, x[4], 0xf7537e82, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[11], 0xbd3af235, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[9], 0xeb86d391, 21);

        a0 += a;
        b0 += b;
        c0 += c;
        d0 += d;
    }
    state[0] = a0;
    state[1] = b0;
    state[2] = c0;
    state[3] = d0;
}

// What the shared object code needs to know of MD5.
struct Traits {
    using Object = MD5;
    static constexpr uint32_t ClassId = MD5_CLASS_ID;
    static constexpr const char* Name = "MD5";
    static int64_t Reset(MD5* md5) { return MD5_Reset(md5); }
};
using Digest = digest_object::Fixed<Traits>;

} // namespace

const HashInterface MD5_INTERFACE = {
    "MD5",
    64,
    MD5_DIGEST_SIZE,
    MD5_SizeOf,
    MD5_Stack,
    MD5_Unstack,
    HashSlot<MD5_Create>::Call,
    HashSlot<MD5_Delete>::Call,
    HashSlot<MD5_CopyTo>::Call,
    HashSlot<MD5_Reset>::Call,
    HashSlot<MD5_Process>::Call,
    HashSlot<MD5_IsGenerated>::Call,
    HashSlot<MD5_Generate>::Call,
    HashSlot<MD5_GetDigest>::Call,
    HashSlot<MD5_GetString>::Call,
};

uint32_t MD5_SizeOf() {
    return sizeof(MD5);
}

int64_t MD5_Stack(void* memory) {
    return Digest::Stack(memory);
}

int64_t MD5_Unstack(void* memory) {
    return Digest::Unstack(memory);
}

int64_t MD5_Create(MD5** handle) {
    return Digest::Create(handle);
}

int64_t MD5_Delete(MD5** handle) {
    return Digest::Delete(handle);
}

int64_t MD5_AddRef(MD5* md5) {
    return Digest::AddRef(md5);
}

int64_t MD5_Release(MD5** handle) {
    return Digest::Release(handle);
}

int64_t MD5_GetInstanceId(MD5* md5, char* buffer, int32_t size) {
    return Digest::GetInstanceId(md5, buffer, size);
}

int64_t MD5_CopyTo(MD5* source, MD5* target) {
    return Digest::CopyTo(source, target);
}

int64_t MD5_Reset(MD5* md5) {
    CLASS_CHECK(md5, MD5_CLASS_ID);
    md5->BitCount[0] = md5->BitCount[1] = 0;
    memcpy(md5->State, kInitialState, sizeof(kInitialState));
    memset(md5->Block, 0, sizeof(md5->Block));
    md5->DigestReady = 0;
    memset(md5->Digest, 0, sizeof(md5->Digest));
    return 1;
}

int64_t MD5_Process(MD5* md5, const void* data, uint32_t length) {
    CLASS_CHECK(md5, MD5_CLASS_ID);
    ASSERT_POINTER(data);
    const uint8_t* in = static_cast<const uint8_t*>(data);
    uint32_t used = (md5->BitCount[0] >> 3) & 63;
    // The bit count is 64 bits kept in two words; 8 x length may carry into the high word.
    uint32_t low = md5->BitCount[0] + (length << 3);
    md5->BitCount[1] += (length >> 29) + (low < md5->BitCount[0] ? 1 : 0);
    md5->BitCount[0] = low;
    digest_object::Absorb<64>(md5->Block, used, in, length,
                               [md5](const uint8_t* blocks, size_t n) { Compress(md5->State, blocks, n); });
    return 1;
}

uint32_t MD5_IsGenerated(MD5* md5) {
    return Digest::IsGenerated(md5);
}

int64_t MD5_Generate(MD5* md5) {
    CLASS_CHECK(md5, MD5_CLASS_ID);
    uint8_t count[8];
    StoreLittle32(count, md5->BitCount[0]);
    StoreLittle32(count + 4, md5->BitCount[1]);
    digest_object::Pad<64>(md5->Block, (md5->BitCount[0] >> 3) & 63, count, 8,
                            [md5](const uint8_t* blocks, size_t n) { Compress(md5->State, blocks, n); });
    for (int i = 0; i < 4; i++) StoreLittle32(md5->Digest + 4 * i, md5->State[i]);
    md5->DigestReady = 1;
    return 1;
}

uint32_t MD5_GetDigest(MD5* md5, uint8_t* out, int32_t capacity) {
    return Digest::GetDigest(md5, out, capacity);
}

uint32_t MD5_GetString(MD5* md5, uint32_t spaced, char* out, int32_t capacity) {
    return Digest::GetString(md5, spaced, out, capacity);
}
