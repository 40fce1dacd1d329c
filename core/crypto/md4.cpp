// MD4 (RFC 1320): the instance operations and the record that the Hash layer reaches them by.
#include "core/crypto/md4.h"

#include "core/crypto/digest_frame.h"

namespace {

constexpr uint32_t kInitialState[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};

using digest_frame::Rotl;

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
        for (int i = 0; i < 16; i++) x[i] = digest_frame::LoadLittle<uint32_t>(data + 4 * i);
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

// What the shared frame and object code need to know of MD4.
struct Traits {
    using Object = MD4;
    static constexpr uint32_t ClassId = MD4_CLASS_ID;
    static constexpr const char* Name = "MD4";
    static constexpr bool BigEndian = false;
    static int64_t Reset(MD4* md4) { return MD4_Reset(md4); }
    static constexpr auto Compress = ::Compress;
};
using Digest = digest_object::Fixed<Traits>;
using Frame = digest_frame::Frame<Traits>;

} // namespace

const HashInterface MD4_INTERFACE = DIGEST_INTERFACE(MD4, MD4, HashSlot<MD4_Process>::Call);

DIGEST_FIXED_OPERATIONS(MD4, Digest)
DIGEST_FRAME_OPERATIONS(MD4, Frame, kInitialState)
