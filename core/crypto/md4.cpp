// MD4 (RFC 1320): the instance operations and the record that the Hash layer reaches them by.
#include "core/crypto/md4.h"

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

#define MD4_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD4_G(x, y, z) (((x) & (y)) | ((z) & ((x) | (y))))
#define MD4_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD4_STEP(f, a, b, c, d, x, k, s)                                                                     \
    do {                                                                                                     \
        a = Rotl(a + f(b, c, d) + (x) + (uint32_t)(k), s);                                                   \
    } while (0)

void Compress(uint32_t state[4], const uint8_t* data, size_t blocks) {
    for (; blocks > 0; blocks--, data += 64) {
        uint32_t x[16];
        for (int i = 0; i < 16; i++) x[i] = LoadLittle32(data + 4 * i);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        for (int i = 0; i < 16; i += 4) {
            MD4_STEP(MD4_F, a, b, c, d, x[i], 0, 3);
            MD4_STEP(MD4_F, d, a, b, c, x[i + 1], 0, 7);
            MD4_STEP(MD4_F, c, d, a, b, x[i + 2], 0, 11);
            MD4_STEP(MD4_F, b, c, d, a, x[i + 3], 0, 19);
        }
        for (int i = 0; i < 4; i++) {
            MD4_STEP(MD4_G, a, b, c, d, x[i], 0x5A827999, 3);
            MD4_STEP(MD4_G, d, a, b, c, x[i + 4], 0x5A827999, 5);
            MD4_STEP(MD4_G, c, d, a, b, x[i + 8], 0x5A827999, 9);
            MD4_STEP(MD4_G, b, c, d, a, x[i + 12], 0x5A827999, 13);
        }
        static constexpr int kOrder[4] = {0, 2, 1, 3};
        for (int k : kOrder) {
            MD4_STEP(MD4_H, a, b, c, d, x[k], 0x6ED9EBA1, 3);
            MD4_STEP(MD4_H, d, a, b, c, x[k + 8], 0x6ED9EBA1, 9);
            MD4_STEP(MD4_H, c, d, a, b, x[k + 4], 0x6ED9EBA1, 11);
            MD4_STEP(MD4_H, b, c, d, a, x[k + 12], 0x6ED9EBA1, 15);
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
    }
}

// What the shared object code needs to know of MD4.
struct Traits {
    using Object = MD4;
    static constexpr uint32_t ClassId = MD4_CLASS_ID;
    static constexpr const char* Name = "MD4";
    static int64_t Reset(MD4* md4) { return MD4_Reset(md4); }
};
using Digest = digest_object::Fixed<Traits>;

} // namespace

const HashInterface MD4_INTERFACE = {
    "MD4",
    64,
    MD4_DIGEST_SIZE,
    MD4_SizeOf,
    MD4_Stack,
    MD4_Unstack,
    HashSlot<MD4_Create>::Call,
    HashSlot<MD4_Delete>::Call,
    HashSlot<MD4_CopyTo>::Call,
    HashSlot<MD4_Reset>::Call,
    HashSlot<MD4_Process>::Call,
    HashSlot<MD4_IsGenerated>::Call,
    HashSlot<MD4_Generate>::Call,
    HashSlot<MD4_GetDigest>::Call,
    HashSlot<MD4_GetString>::Call,
};

uint32_t MD4_SizeOf() {
    return sizeof(MD4);
}

int64_t MD4_Stack(void* memory) {
    return Digest::Stack(memory);
}

int64_t MD4_Unstack(void* memory) {
    return Digest::Unstack(memory);
}

int64_t MD4_Create(MD4** handle) {
    return Digest::Create(handle);
}

int64_t MD4_Delete(MD4** handle) {
    return Digest::Delete(handle);
}

int64_t MD4_AddRef(MD4* md4) {
    return Digest::AddRef(md4);
}

int64_t MD4_Release(MD4** handle) {
    return Digest::Release(handle);
}

int64_t MD4_GetInstanceId(MD4* md4, char* buffer, int32_t size) {
    return Digest::GetInstanceId(md4, buffer, size);
}

int64_t MD4_CopyTo(MD4* source, MD4* target) {
    return Digest::CopyTo(source, target);
}

int64_t MD4_Reset(MD4* md4) {
    CLASS_CHECK(md4, MD4_CLASS_ID);
    md4->BitCount[0] = md4->BitCount[1] = 0;
    memcpy(md4->State, kInitialState, sizeof(kInitialState));
    memset(md4->Block, 0, sizeof(md4->Block));
    md4->DigestReady = 0;
    memset(md4->Digest, 0, sizeof(md4->Digest));
    return 1;
}

int64_t MD4_Process(MD4* md4, const void* data, uint32_t length) {
    CLASS_CHECK(md4, MD4_CLASS_ID);
    ASSERT_POINTER(data);
    const uint8_t* in = static_cast<const uint8_t*>(data);
    uint32_t used = (md4->BitCount[0] >> 3) & 63;
    // The bit count is 64 bits kept in two words; 8 x length may carry into the high word.
    uint32_t low = md4->BitCount[0] + (length << 3);
    md4->BitCount[1] += (length >> 29) + (low < md4->BitCount[0] ? 1 : 0);
    md4->BitCount[0] = low;
    digest_object::Absorb<64>(md4->Block, used, in, length,
                               [md4](const uint8_t* blocks, size_t n) { Compress(md4->State, blocks, n); });
    return 1;
}

uint32_t MD4_IsGenerated(MD4* md4) {
    return Digest::IsGenerated(md4);
}

int64_t MD4_Generate(MD4* md4) {
    CLASS_CHECK(md4, MD4_CLASS_ID);
    uint8_t count[8];
    StoreLittle32(count, md4->BitCount[0]);
    StoreLittle32(count + 4, md4->BitCount[1]);
    digest_object::Pad<64>(md4->Block, (md4->BitCount[0] >> 3) & 63, count, 8,
                            [md4](const uint8_t* blocks, size_t n) { Compress(md4->State, blocks, n); });
    for (int i = 0; i < 4; i++) StoreLittle32(md4->Digest + 4 * i, md4->State[i]);
    md4->DigestReady = 1;
    return 1;
}

uint32_t MD4_GetDigest(MD4* md4, uint8_t* out, int32_t capacity) {
    return Digest::GetDigest(md4, out, capacity);
}

uint32_t MD4_GetString(MD4* md4, uint32_t spaced, char* out, int32_t capacity) {
    return Digest::GetString(md4, spaced, out, capacity);
}
