// DES (FIPS 46-3): key schedule, block transform with the S-boxes merged into the P permutation,
// ECB and CBC with in-place IV update, and the record DES_INTERFACE.
#include "core/crypto/des.h"

#include <cstring>

#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

constexpr uint8_t kSBox[8][64] = {
    {14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7, 0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11,
     9, 5, 3, 8, 4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0, 15, 12, 8, 2, 4, 9, 1, 7,
     5, 11, 3, 14, 10, 0, 6, 13},
    {15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10, 3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10,
     6, 9, 11, 5, 0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15, 13, 8, 10, 1, 3, 15, 4, 2,
     11, 6, 7, 12, 0, 5, 14, 9},
    {10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8, 13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14,
     12, 11, 15, 1, 13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7, 1, 10, 13, 0, 6, 9, 8, 7,
     4, 15, 14, 3, 11, 5, 2, 12},
    {7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15, 13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12,
     1, 10, 14, 9, 10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4, 3, 15, 0, 6, 10, 1, 13, 8,
     9, 4, 5, 11, 12, 7, 2, 14},
    {2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9, 14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10,
     3, 9, 8, 6, 4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14, 11, 8, 12, 7, 1, 14, 2, 13,
     6, 15, 0, 9, 10, 4, 5, 3},
    {12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11, 10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14,
     0, 11, 3, 8, 9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6, 4, 3, 2, 12, 9, 5, 15, 10,
     11, 14, 1, 7, 6, 0, 8, 13},
    {4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1, 13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12,
     2, 15, 8, 6, 1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2, 6, 11, 13, 8, 1, 4, 10, 7,
     9, 5, 0, 15, 14, 2, 3, 12},
    {13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7, 1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11,
     0, 14, 9, 2, 7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8, 2, 1, 14, 7, 4, 10, 8, 13,
     15, 12, 9, 0, 3, 5, 6, 11},
};

// Bit positions count from 1 at the most significant bit, as the standard writes them.
constexpr uint8_t kIP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                             62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                             57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                             61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};
constexpr uint8_t kE[48] = {32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
                            12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
                            22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};
constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
constexpr uint8_t kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                              10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                              63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                              14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr uint8_t kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                              26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                              51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// Picks bits of a value `width` bits wide into a new value, the table naming the source bits.
template <size_t N> constexpr uint64_t Permute(uint64_t value, const uint8_t (&table)[N], int width) {
    uint64_t out = 0;
    for (size_t i = 0; i < N; i++) out = (out << 1) | ((value >> (width - table[i])) & 1);
    return out;
}

struct Tables {
    uint32_t SB[8][64]; // S-box i output already moved through P
    uint8_t FP[64];
};

constexpr Tables MakeTables() {
    Tables t{};
    for (int box = 0; box < 8; box++)
        for (int v = 0; v < 64; v++) {
            const int row = ((v >> 4) & 2) | (v & 1), column = (v >> 1) & 15;
            const uint64_t placed = (uint64_t)kSBox[box][16 * row + column] << (28 - 4 * box);
            t.SB[box][v] = (uint32_t)Permute(placed, kP, 32);
        }
    for (int i = 0; i < 64; i++) t.FP[kIP[i] - 1] = (uint8_t)(i + 1);
    return t;
}

constexpr Tables kTables = MakeTables();

uint64_t Load64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = (v << 8) | p[i];
    return v;
}

void Store64(uint8_t* p, uint64_t v) {
    for (int i = 7; i >= 0; i--, v >>= 8) p[i] = (uint8_t)v;
}

uint32_t Feistel(uint32_t r, uint32_t k0, uint32_t k1) {
    const uint64_t e = Permute(r, kE, 32) ^ (((uint64_t)k0 << 24) | k1);
    uint32_t out = 0;
    for (int box = 0; box < 8; box++) out |= kTables.SB[box][(e >> (42 - 6 * box)) & 63];
    return out;
}

int64_t DeleteHandle(void** handle) {
    return DES_Delete(reinterpret_cast<DES**>(handle));
}

void CheckIv(const void* iv, uint32_t ivLength, const char* what) {
    ASSERT_POINTER(iv);
    if (ivLength < DES_BLOCKSIZE) Debug_Abort("%s: IV must be at least %d bytes\n", what, (int32_t)DES_BLOCKSIZE);
}

int64_t Cbc(DES* des, void* iv, uint32_t ivLength, const void* in, void* out, uint32_t length, bool decrypting) {
    CLASS_CHECK(des, DES_CLASS_ID);
    CheckIv(iv, ivLength, decrypting ? "DES_DecryptCBC" : "DES_EncryptCBC");
    if (!des->KeySet) return 0;
    if (length == 0) return 1;
    ASSERT_POINTER(in);
    ASSERT_POINTER(out);
    uint8_t* chain = static_cast<uint8_t*>(iv);
    const uint8_t* src = static_cast<const uint8_t*>(in);
    uint8_t* dst = static_cast<uint8_t*>(out);
    for (uint32_t at = 0; at < length; at += 8) {
        const uint32_t n = length - at < 8 ? length - at : 8;
        uint8_t block[8] = {}, result[8];
        memcpy(block, src + at, n);
        if (decrypting) {
            DES_Crypt(des->DecryptKeys, block, result);
            for (uint32_t k = 0; k < n; k++) dst[at + k] = (uint8_t)(result[k] ^ chain[k]);
            memcpy(chain, block, 8);
        } else {
            for (int k = 0; k < 8; k++) block[k] ^= chain[k];
            DES_Crypt(des->EncryptKeys, block, chain);
            memcpy(dst + at, chain, n);
        }
    }
    return 1;
}

} // namespace

int64_t DES_Create(DES** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    DES* des = static_cast<DES*>(Memory_AllocZero(sizeof(DES)));
    des->Header.ClassId = DES_CLASS_ID;
    des->Header.RefCount = 1;
    des->Header.Delete = DeleteHandle;
    *handle = des;
    return 1;
}

int64_t DES_Delete(DES** handle) {
    ASSERT_POINTER(handle);
    DES* des = *handle;
    CLASS_CHECK(des, DES_CLASS_ID);
    memset(des, 0, sizeof(DES));
    Memory_Free(des, sizeof(DES));
    *handle = nullptr;
    return 1;
}

int64_t DES_AddRef(DES* des) {
    CLASS_CHECK(des, DES_CLASS_ID);
    Class_AddRef(des);
    return 1;
}

int64_t DES_Release(DES** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    CLASS_CHECK(*handle, DES_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t DES_GetInstanceId(DES* des, char* buffer, int32_t size) {
    CLASS_CHECK(des, DES_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, des->Header.InstanceId, (int32_t)sizeof(des->Header.InstanceId));
    return 1;
}

int64_t DES_SetKey(DES* des, const void* key, uint32_t length) {
    CLASS_CHECK(des, DES_CLASS_ID);
    if (length != DES_KEYSIZE) {
        Log_Error("DES key size must be equal to DES_KEYSIZE [%d]\n", (int32_t)length);
        return 0;
    }
    ASSERT_POINTER(key);
    const uint64_t cd = Permute(Load64(static_cast<const uint8_t*>(key)), kPC1, 64);
    uint32_t c = (uint32_t)(cd >> 28), d = (uint32_t)(cd & 0x0FFFFFFF);
    for (int round = 0; round < 16; round++) {
        for (int s = 0; s < kShifts[round]; s++) {
            c = ((c << 1) | (c >> 27)) & 0x0FFFFFFF;
            d = ((d << 1) | (d >> 27)) & 0x0FFFFFFF;
        }
        const uint64_t k = Permute(((uint64_t)c << 28) | d, kPC2, 56);
        des->EncryptKeys[2 * round] = (uint32_t)(k >> 24);
        des->EncryptKeys[2 * round + 1] = (uint32_t)(k & 0xFFFFFF);
    }
    for (int round = 0; round < 16; round++) {
        des->DecryptKeys[2 * round] = des->EncryptKeys[30 - 2 * round];
        des->DecryptKeys[2 * round + 1] = des->EncryptKeys[31 - 2 * round];
    }
    des->KeySet = 1;
    return 1;
}

int64_t DES_SetEncryptKey(DES* des, const void* key, uint32_t length) {
    return DES_SetKey(des, key, length);
}

int64_t DES_SetDecryptKey(DES* des, const void* key, uint32_t length) {
    return DES_SetKey(des, key, length);
}

int64_t DES_Crypt(const uint32_t* subkeys, const uint8_t in[8], uint8_t out[8]) {
    const uint64_t block = Permute(Load64(in), kIP, 64);
    uint32_t l = (uint32_t)(block >> 32), r = (uint32_t)block;
    for (int round = 0; round < 16; round++) {
        const uint32_t next = l ^ Feistel(r, subkeys[2 * round], subkeys[2 * round + 1]);
        l = r;
        r = next;
    }
    Store64(out, Permute(((uint64_t)r << 32) | l, kTables.FP, 64));
    return 1;
}

int64_t DES_CryptBuffer(const uint32_t* subkeys, const void* in, uint32_t length, void* out, uint32_t capacity) {
    ASSERT_POINTER(subkeys);
    const uint64_t rounded = ((uint64_t)length + 7) / 8 * 8;
    if (rounded > capacity) return 0;
    if (length == 0) return 1;
    ASSERT_POINTER(in);
    ASSERT_POINTER(out);
    const uint8_t* src = static_cast<const uint8_t*>(in);
    uint8_t* dst = static_cast<uint8_t*>(out);
    for (uint32_t at = 0; at < length; at += 8) {
        uint8_t block[8] = {};
        memcpy(block, src + at, length - at < 8 ? length - at : 8);
        DES_Crypt(subkeys, block, dst + at);
    }
    return 1;
}

int64_t DES_Encrypt(DES* des, const void* in, void* out, uint32_t length) {
    CLASS_CHECK(des, DES_CLASS_ID);
    if (!des->KeySet) return 0;
    return DES_CryptBuffer(des->EncryptKeys, in, length, out, length);
}

int64_t DES_Decrypt(DES* des, const void* in, void* out, uint32_t length) {
    CLASS_CHECK(des, DES_CLASS_ID);
    if (!des->KeySet) return 0;
    return DES_CryptBuffer(des->DecryptKeys, in, length, out, length);
}

int64_t DES_EncryptCBC(DES* des, void* iv, uint32_t ivLength, const void* in, void* out, uint32_t length) {
    return Cbc(des, iv, ivLength, in, out, length, false);
}

int64_t DES_DecryptCBC(DES* des, void* iv, uint32_t ivLength, const void* in, void* out, uint32_t length) {
    return Cbc(des, iv, ivLength, in, out, length, true);
}

int64_t DES_SetAAD(DES* des, const void*, uint32_t) {
    CLASS_CHECK(des, DES_CLASS_ID);
    Debug_Abort("Not Supported - %s", "DES_SetAAD");
}

int64_t DES_GetAuthTag(DES* des, void*, uint32_t) {
    CLASS_CHECK(des, DES_CLASS_ID);
    Debug_Abort("Not Supported - %s", "DES_GetAuthTag");
}

const CryptSymmetricInterface DES_INTERFACE = {
    "DES",
    DES_BLOCKSIZE,
    CryptHandleSlot<DES_Create>::Call,
    CryptHandleSlot<DES_Delete>::Call,
    CryptSlot<DES_SetDecryptKey>::Call,
    CryptSlot<DES_SetEncryptKey>::Call,
    CryptSlot<DES_SetAAD>::Call,
    CryptSlot<DES_Encrypt>::Call,
    CryptSlot<DES_Decrypt>::Call,
    CryptSlot<DES_EncryptCBC>::Call,
    CryptSlot<DES_DecryptCBC>::Call,
    CryptSlot<DES_GetAuthTag>::Call,
};
