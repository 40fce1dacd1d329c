// AES (FIPS 197): key expansion, the portable block transform, ECB and CBC with in-place IV
// update, and the record AES_INTERFACE. Whole runs of blocks go to the AES-NI code when present.
#include "core/crypto/aes.h"

#include <atomic>
#include <cpuid.h>
#include <cstring>

#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

constexpr uint8_t XTime(uint8_t x) {
    return (uint8_t)((x << 1) ^ ((x & 0x80) ? 0x1B : 0));
}

constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    while (b) {
        if (b & 1) r ^= a;
        a = XTime(a);
        b >>= 1;
    }
    return r;
}

struct SBoxes {
    uint8_t Forward[256];
    uint8_t Inverse[256];
};

constexpr uint8_t Rotl(uint8_t x, int n) {
    return (uint8_t)((x << n) | (x >> (8 - n)));
}

// The S-box is the multiplicative inverse in GF(2^8) followed by the affine map. Walking the
// powers of 3 (p) together with those of its inverse (q) visits every non-zero byte with its
// inverse at hand.
constexpr SBoxes MakeSBoxes() {
    SBoxes s{};
    uint8_t p = 1, q = 1;
    do {
        p = (uint8_t)(p ^ (p << 1) ^ ((p & 0x80) ? 0x1B : 0));
        q ^= (uint8_t)(q << 1);
        q ^= (uint8_t)(q << 2);
        q ^= (uint8_t)(q << 4);
        if (q & 0x80) q ^= 0x09;
        const uint8_t x = (uint8_t)(q ^ Rotl(q, 1) ^ Rotl(q, 2) ^ Rotl(q, 3) ^ Rotl(q, 4) ^ 0x63);
        s.Forward[p] = x;
        s.Inverse[x] = p;
    } while (p != 1);
    s.Forward[0] = 0x63;
    s.Inverse[0x63] = 0;
    return s;
}

constexpr SBoxes kBoxes = MakeSBoxes();

void CheckAes(const AES* aes) {
    if (!aes) Debug_Abort("Pointer is NULL\n");
    if (aes->ClassId != AES_CLASS_ID)
        Debug_Abort("Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n", aes, (uint32_t)AES_CLASS_ID,
                    aes->ClassId);
}

void InvMixColumn(uint8_t* c) {
    const uint8_t a0 = c[0], a1 = c[1], a2 = c[2], a3 = c[3];
    c[0] = GfMul(a0, 14) ^ GfMul(a1, 11) ^ GfMul(a2, 13) ^ GfMul(a3, 9);
    c[1] = GfMul(a0, 9) ^ GfMul(a1, 14) ^ GfMul(a2, 11) ^ GfMul(a3, 13);
    c[2] = GfMul(a0, 13) ^ GfMul(a1, 9) ^ GfMul(a2, 14) ^ GfMul(a3, 11);
    c[3] = GfMul(a0, 11) ^ GfMul(a1, 13) ^ GfMul(a2, 9) ^ GfMul(a3, 14);
}

int64_t ExpandKey(AES* aes, const void* key, uint32_t length) {
    CheckAes(aes);
    if (length != 16 && length != 24 && length != 32) return 0;
    ASSERT_POINTER(key);
    AESContext* c = aes->Context;
    const uint32_t nk = length / 4;
    const int32_t rounds = (int32_t)nk + 6;
    const uint32_t words = 4 * (uint32_t)(rounds + 1);
    uint8_t* w = c->EncryptKeys;
    memcpy(w, key, length);
    uint8_t rcon = 1;
    for (uint32_t i = nk; i < words; i++) {
        uint8_t t[4];
        memcpy(t, w + 4 * (i - 1), 4);
        if (i % nk == 0) {
            const uint8_t first = t[0];
            t[0] = (uint8_t)(kBoxes.Forward[t[1]] ^ rcon);
            t[1] = kBoxes.Forward[t[2]];
            t[2] = kBoxes.Forward[t[3]];
            t[3] = kBoxes.Forward[first];
            rcon = XTime(rcon);
        } else if (nk > 6 && i % nk == 4) {
            for (uint8_t& b : t) b = kBoxes.Forward[b];
        }
        for (int k = 0; k < 4; k++) w[4 * i + k] = (uint8_t)(w[4 * (i - nk) + k] ^ t[k]);
    }
    for (int32_t r = 0; r <= rounds; r++) {
        uint8_t* d = c->DecryptKeys + 16 * r;
        memcpy(d, c->EncryptKeys + 16 * (rounds - r), 16);
        if (r > 0 && r < rounds)
            for (int k = 0; k < 4; k++) InvMixColumn(d + 4 * k);
    }
    c->Rounds = rounds;
    return 1;
}

void AddRoundKey(uint8_t* s, const uint8_t* k) {
    for (int i = 0; i < 16; i++) s[i] ^= k[i];
}

std::atomic<int> g_forcePortable{0};

bool DetectHardware() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    return (c & bit_AES) && (c & bit_PCLMUL) && (c & bit_SSE4_1);
}

void CheckIv(const void* iv, uint32_t ivLength, const char* what) {
    ASSERT_POINTER(iv);
    if (ivLength < AES_BLOCKSIZE) Debug_Abort("%s: IV must be at least %d bytes\n", what, (int32_t)AES_BLOCKSIZE);
}

int64_t CheckEcb(AES* aes, const void* in, void* out, uint32_t length) {
    CheckAes(aes);
    if (length % AES_BLOCKSIZE) {
        Log_Error("Length must be a multiple of AES_BLOCKSIZE\n");
        return 0;
    }
    if (length == 0) return 1;
    ASSERT_POINTER(in);
    ASSERT_POINTER(out);
    return aes->Context->Rounds ? 1 : 0;
}

} // namespace

namespace aes_internal {

bool HardwareAvailable() {
    static const bool available = DetectHardware();
    return available;
}

void ForcePortable(bool on) {
    g_forcePortable.store(on ? 1 : 0, std::memory_order_relaxed);
}

bool UseHardware() {
    return HardwareAvailable() && !g_forcePortable.load(std::memory_order_relaxed);
}

void EncryptBlockPortable(const AESContext* context, const uint8_t in[16], uint8_t out[16]) {
    uint8_t s[16];
    memcpy(s, in, 16);
    const uint8_t* k = context->EncryptKeys;
    AddRoundKey(s, k);
    for (int32_t r = 1; r <= context->Rounds; r++) {
        uint8_t t[16];
        // SubBytes with ShiftRows: row i of column c comes from column c + i.
        for (int c = 0; c < 4; c++)
            for (int i = 0; i < 4; i++) t[4 * c + i] = kBoxes.Forward[s[4 * ((c + i) & 3) + i]];
        if (r < context->Rounds) {
            for (int c = 0; c < 4; c++) {
                uint8_t* col = t + 4 * c;
                const uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
                const uint8_t all = a0 ^ a1 ^ a2 ^ a3;
                col[0] ^= all ^ XTime(a0 ^ a1);
                col[1] ^= all ^ XTime(a1 ^ a2);
                col[2] ^= all ^ XTime(a2 ^ a3);
                col[3] ^= all ^ XTime(a3 ^ a0);
            }
        }
        AddRoundKey(t, k + 16 * r);
        memcpy(s, t, 16);
    }
    memcpy(out, s, 16);
}

void DecryptBlockPortable(const AESContext* context, const uint8_t in[16], uint8_t out[16]) {
    uint8_t s[16];
    memcpy(s, in, 16);
    const uint8_t* k = context->DecryptKeys;
    AddRoundKey(s, k);
    for (int32_t r = 1; r <= context->Rounds; r++) {
        uint8_t t[16];
        // InvSubBytes with InvShiftRows: row i of column c comes from column c - i.
        for (int c = 0; c < 4; c++)
            for (int i = 0; i < 4; i++) t[4 * c + i] = kBoxes.Inverse[s[4 * ((c - i) & 3) + i]];
        if (r < context->Rounds)
            for (int c = 0; c < 4; c++) InvMixColumn(t + 4 * c);
        AddRoundKey(t, k + 16 * r);
        memcpy(s, t, 16);
    }
    memcpy(out, s, 16);
}

void EncryptBlocks(const AESContext* context, const uint8_t* in, uint8_t* out, size_t blocks) {
    if (UseHardware()) return EncryptBlocksHardware(context, in, out, blocks);
    for (size_t i = 0; i < blocks; i++) EncryptBlockPortable(context, in + 16 * i, out + 16 * i);
}

void DecryptBlocks(const AESContext* context, const uint8_t* in, uint8_t* out, size_t blocks) {
    if (UseHardware()) return DecryptBlocksHardware(context, in, out, blocks);
    for (size_t i = 0; i < blocks; i++) DecryptBlockPortable(context, in + 16 * i, out + 16 * i);
}

} // namespace aes_internal

using namespace aes_internal;

int64_t AES_Create(AES** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    AES* aes = static_cast<AES*>(Memory_AllocZero(sizeof(AES)));
    aes->ClassId = AES_CLASS_ID;
    aes->Context = static_cast<AESContext*>(Memory_AllocZero(sizeof(AESContext)));
    *handle = aes;
    return 1;
}

int64_t AES_Delete(AES** handle) {
    ASSERT_POINTER(handle);
    AES* aes = *handle;
    CheckAes(aes);
    // Key material does not outlive the instance in freed memory.
    memset(aes->Context, 0, sizeof(AESContext));
    Memory_Free(aes->Context, sizeof(AESContext));
    aes->ClassId = 0;
    Memory_Free(aes, sizeof(AES));
    *handle = nullptr;
    return 1;
}

int64_t AES_Release(void** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    Class_Release(handle);
    return 1;
}

int64_t AES_SetEncryptKey(AES* aes, const void* key, uint32_t length) {
    return ExpandKey(aes, key, length);
}

int64_t AES_SetDecryptKey(AES* aes, const void* key, uint32_t length) {
    return ExpandKey(aes, key, length);
}

int64_t AES_Encrypt(AES* aes, const void* in, void* out, uint32_t length) {
    if (!CheckEcb(aes, in, out, length)) return 0;
    if (length == 0) return 1;
    EncryptBlocks(aes->Context, static_cast<const uint8_t*>(in), static_cast<uint8_t*>(out), length / 16);
    return 1;
}

int64_t AES_Decrypt(AES* aes, const void* in, void* out, uint32_t length) {
    if (!CheckEcb(aes, in, out, length)) return 0;
    if (length == 0) return 1;
    DecryptBlocks(aes->Context, static_cast<const uint8_t*>(in), static_cast<uint8_t*>(out), length / 16);
    return 1;
}

int64_t AES_EncryptCBC(AES* aes, void* iv, uint32_t ivLength, const void* in, void* out, uint32_t length) {
    CheckAes(aes);
    CheckIv(iv, ivLength, "AES_EncryptCBC");
    if (length == 0) return 1;
    ASSERT_POINTER(in);
    ASSERT_POINTER(out);
    const AESContext* c = aes->Context;
    if (!c->Rounds) return 0;
    uint8_t* chain = static_cast<uint8_t*>(iv);
    const uint8_t* src = static_cast<const uint8_t*>(in);
    uint8_t* dst = static_cast<uint8_t*>(out);
    const size_t whole = length / 16;
    if (UseHardware()) {
        EncryptCBCHardware(c, chain, src, dst, whole);
    } else {
        for (size_t i = 0; i < whole; i++) {
            uint8_t block[16];
            for (int k = 0; k < 16; k++) block[k] = (uint8_t)(src[16 * i + k] ^ chain[k]);
            EncryptBlockPortable(c, block, chain);
            memcpy(dst + 16 * i, chain, 16);
        }
    }
    const uint32_t rest = length % 16;
    if (rest) {
        uint8_t block[16];
        memcpy(block, chain, 16);
        for (uint32_t k = 0; k < rest; k++) block[k] ^= src[16 * whole + k];
        EncryptBlocks(c, block, chain, 1);
        memcpy(dst + 16 * whole, chain, rest);
    }
    return 1;
}

int64_t AES_DecryptCBC(AES* aes, void* iv, uint32_t ivLength, const void* in, void* out, uint32_t length) {
    CheckAes(aes);
    CheckIv(iv, ivLength, "AES_DecryptCBC");
    if (length == 0) return 1;
    ASSERT_POINTER(in);
    ASSERT_POINTER(out);
    const AESContext* c = aes->Context;
    if (!c->Rounds) return 0;
    uint8_t* chain = static_cast<uint8_t*>(iv);
    const uint8_t* src = static_cast<const uint8_t*>(in);
    uint8_t* dst = static_cast<uint8_t*>(out);
    const size_t whole = length / 16;
    if (UseHardware()) {
        DecryptCBCHardware(c, chain, src, dst, whole);
    } else {
        for (size_t i = 0; i < whole; i++) {
            uint8_t cipher[16], plain[16];
            memcpy(cipher, src + 16 * i, 16);
            DecryptBlockPortable(c, cipher, plain);
            for (int k = 0; k < 16; k++) dst[16 * i + k] = (uint8_t)(plain[k] ^ chain[k]);
            memcpy(chain, cipher, 16);
        }
    }
    const uint32_t rest = length % 16;
    if (rest) {
        uint8_t cipher[16] = {}, plain[16];
        memcpy(cipher, src + 16 * whole, rest);
        DecryptBlocks(c, cipher, plain, 1);
        for (uint32_t k = 0; k < rest; k++) dst[16 * whole + k] = (uint8_t)(plain[k] ^ chain[k]);
        memcpy(chain, cipher, 16);
    }
    return 1;
}

int64_t AES_SetAAD(AES* aes, const void*, uint32_t) {
    CheckAes(aes);
    Debug_Abort("Not Supported - %s", "AES_SetAAD");
}

int64_t AES_GetAuthTag(AES* aes, void*, uint32_t) {
    CheckAes(aes);
    Debug_Abort("Not Supported - %s", "AES_GetAuthTag");
}

const CryptSymmetricInterface AES_INTERFACE = {
    "AES",
    AES_BLOCKSIZE,
    CryptHandleSlot<AES_Create>::Call,
    CryptHandleSlot<AES_Delete>::Call,
    CryptSlot<AES_SetDecryptKey>::Call,
    CryptSlot<AES_SetEncryptKey>::Call,
    CryptSlot<AES_SetAAD>::Call,
    CryptSlot<AES_Encrypt>::Call,
    CryptSlot<AES_Decrypt>::Call,
    CryptSlot<AES_EncryptCBC>::Call,
    CryptSlot<AES_DecryptCBC>::Call,
    CryptSlot<AES_GetAuthTag>::Call,
};
