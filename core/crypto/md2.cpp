// MD2 (RFC 1319): the instance operations and the record that the Hash layer reaches them by.
#include "core/crypto/md2.h"

#include <cstring>

#include "core/crypto/digest_frame.h"

const uint8_t GlobalMD2PiTable[256] = {
    41,  46,  67,  201, 162, 216, 124, 1,   61,  54,  84,  161, 236, 240, 6,   19,  98,  167, 5,   243,
    192, 199, 115, 140, 152, 147, 43,  217, 188, 76,  130, 202, 30,  155, 87,  60,  253, 212, 224, 22,
    103, 66,  111, 24,  138, 23,  229, 18,  190, 78,  196, 214, 218, 158, 222, 73,  160, 251, 245, 142,
    187, 47,  238, 122, 169, 104, 121, 145, 21,  178, 7,   63,  148, 194, 16,  137, 11,  34,  95,  33,
    128, 127, 93,  154, 90,  144, 50,  39,  53,  62,  204, 231, 191, 247, 151, 3,   255, 25,  48,  179,
    72,  165, 181, 209, 215, 94,  146, 42,  172, 86,  170, 198, 79,  184, 56,  210, 150, 164, 125, 182,
    118, 252, 107, 226, 156, 116, 4,   241, 69,  157, 112, 89,  100, 113, 135, 32,  134, 91,  207, 101,
    230, 45,  168, 2,   27,  96,  37,  173, 174, 176, 185, 246, 28,  70,  97,  105, 52,  64,  126, 15,
    85,  71,  163, 35,  221, 81,  175, 58,  195, 92,  249, 206, 186, 197, 234, 38,  44,  83,  13,  110,
    133, 40,  132, 9,   211, 223, 205, 244, 65,  129, 77,  82,  106, 220, 55,  200, 108, 193, 171, 250,
    36,  225, 123, 8,   12,  189, 177, 74,  120, 136, 149, 139, 227, 99,  232, 109, 233, 203, 213, 254,
    59,  0,   29,  57,  242, 239, 183, 14,  102, 88,  208, 228, 166, 119, 114, 248, 235, 117, 75,  10,
    49,  68,  80,  180, 143, 237, 31,  26,  219, 153, 141, 51,  159, 17,  131, 20,
};

namespace {

// One block through the working buffer and into the checksum.
void Transform(MD2* md2, const uint8_t* block) {
    uint8_t* x = md2->X;
    for (int j = 0; j < 16; j++) {
        x[16 + j] = block[j];
        x[32 + j] = (uint8_t)(x[j] ^ block[j]);
    }
    uint32_t t = 0;
    for (uint32_t pass = 0; pass < 18; pass++) {
        for (int j = 0; j < 48; j++) t = x[j] ^= GlobalMD2PiTable[t];
        t = (t + pass) & 0xFF;
    }
    uint8_t* k = md2->Checksum;
    uint8_t l = k[15];
    for (int j = 0; j < 16; j++) l = k[j] ^= GlobalMD2PiTable[block[j] ^ l];
}

// What the shared object code needs to know of MD2.
struct Traits {
    using Object = MD2;
    static constexpr uint32_t ClassId = MD2_CLASS_ID;
    static constexpr const char* Name = "MD2";
    static int64_t Reset(MD2* md2) { return MD2_Reset(md2); }
};
using Digest = digest_object::Fixed<Traits>;

} // namespace

const HashInterface MD2_INTERFACE = DIGEST_INTERFACE(MD2, MD2, HashSlot<MD2_Process>::Call);

DIGEST_FIXED_OPERATIONS(MD2, Digest)

int64_t MD2_Reset(MD2* md2) {
    CLASS_CHECK(md2, MD2_CLASS_ID);
    memset(md2->X, 0, sizeof(md2->X));
    memset(md2->Checksum, 0, sizeof(md2->Checksum));
    memset(md2->Block, 0, sizeof(md2->Block));
    md2->DigestReady = 0;
    memset(md2->Digest, 0, sizeof(md2->Digest));
    md2->BlockLength = 0;
    return 1;
}

int64_t MD2_Process(MD2* md2, const void* data, uint32_t length) {
    CLASS_CHECK(md2, MD2_CLASS_ID);
    if (length == 0) return 1;
    ASSERT_POINTER(data);
    const uint32_t used = md2->BlockLength;
    md2->BlockLength = (used + (length & 15)) & 15;
    digest_object::Absorb<16>(md2->Block, used, static_cast<const uint8_t*>(data), length,
                              [md2](const uint8_t* blocks, size_t n) {
                                  for (; n > 0; n--, blocks += 16) Transform(md2, blocks);
                              });
    return 1;
}

int64_t MD2_Generate(MD2* md2) {
    CLASS_CHECK(md2, MD2_CLASS_ID);
    // 1 to 16 bytes, each holding the count; an empty message pads a whole block.
    const uint8_t n = (uint8_t)(16 - md2->BlockLength);
    memset(md2->Block + md2->BlockLength, n, n);
    Transform(md2, md2->Block);
    md2->BlockLength = 0;
    uint8_t checksum[16];
    memcpy(checksum, md2->Checksum, sizeof(checksum));
    Transform(md2, checksum);
    memcpy(md2->Digest, md2->X, sizeof(md2->Digest));
    md2->DigestReady = 1;
    return 1;
}
