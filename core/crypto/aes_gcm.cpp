// AES-GCM: the message steps (start, process, tag) over the AES block runs, with GHASH by 4-bit
// tables or, when the processor allows, by carry-less multiplication eight blocks at a time.
#include "core/crypto/aes_gcm.h"

#include <cstring>

#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

using aes_internal::EncryptBlocks;
using aes_internal::UseHardware;

// Reduction of the four bits shifted out at each step of the 4-bit multiplication: entry i is
// the XOR over the set bits j of i of 0xE100 >> (3 - j), kept in the top 16 bits.
constexpr auto MakeLast4() {
    struct Table {
        uint64_t V[16];
    } t{};
    for (int i = 0; i < 16; i++) {
        uint64_t v = 0;
        for (int j = 0; j < 4; j++)
            if (i & (1 << j)) v ^= (uint64_t)(0xE100 >> (3 - j));
        t.V[i] = v << 48;
    }
    return t;
}
constexpr auto GCM_Last4 = MakeLast4();

uint64_t Load64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = (v << 8) | p[i];
    return v;
}

void Store64(uint8_t* p, uint64_t v) {
    for (int i = 7; i >= 0; i--) {
        p[i] = (uint8_t)v;
        v >>= 8;
    }
}

// x = x * H by the 4-bit tables: nibbles from the last byte to the first, low before high.
void GCM_Mult(const AESGCM* gcm, uint8_t x[16]) {
    uint8_t lo = x[15] & 0x0F;
    uint64_t zh = gcm->HH[lo], zl = gcm->HL[lo];
    for (int i = 15; i >= 0; i--) {
        lo = x[i] & 0x0F;
        const uint8_t hi = (uint8_t)(x[i] >> 4);
        if (i != 15) {
            const uint8_t rem = (uint8_t)(zl & 0x0F);
            zl = (zh << 60) | (zl >> 4);
            zh = (zh >> 4) ^ GCM_Last4.V[rem];
            zh ^= gcm->HH[lo];
            zl ^= gcm->HL[lo];
        }
        const uint8_t rem = (uint8_t)(zl & 0x0F);
        zl = (zh << 60) | (zl >> 4);
        zh = (zh >> 4) ^ GCM_Last4.V[rem];
        zh ^= gcm->HH[hi];
        zl ^= gcm->HL[hi];
    }
    Store64(x, zh);
    Store64(x + 8, zl);
}

// Folds data into acc, whole blocks first, then a short last block with zero fill.
void Fold(const AESGCM* gcm, uint8_t acc[16], const uint8_t* data, size_t length) {
    const size_t whole = length / 16;
    if (whole && UseHardware()) {
        gcm_internal::GhashHardware(gcm, acc, data, whole);
    } else {
        for (size_t b = 0; b < whole; b++) {
            for (int k = 0; k < 16; k++) acc[k] ^= data[16 * b + k];
            GCM_Mult(gcm, acc);
        }
    }
    const size_t rest = length % 16;
    if (rest) {
        uint8_t block[16] = {};
        memcpy(block, data + 16 * whole, rest);
        if (UseHardware()) {
            gcm_internal::GhashHardware(gcm, acc, block, 1);
        } else {
            for (int k = 0; k < 16; k++) acc[k] ^= block[k];
            GCM_Mult(gcm, acc);
        }
    }
}

// GHASH of a buffer from a zeroed accumulator.
void GCM_Hash(const AESGCM* gcm, uint8_t out[16], const uint8_t* data, size_t length) {
    memset(out, 0, 16);
    Fold(gcm, out, data, length);
}

void Increment(uint8_t y[16]) {
    for (int i = 15; i >= 12; i--)
        if (++y[i]) break;
}

void BuildTable(AESGCM* gcm, const uint8_t h[16]) {
    uint64_t vh = Load64(h), vl = Load64(h + 8);
    gcm->HL[8] = vl;
    gcm->HH[8] = vh;
    gcm->HH[0] = gcm->HL[0] = 0;
    for (int i = 4; i > 0; i >>= 1) {
        const uint64_t carry = (vl & 1) ? 0xE100000000000000ULL : 0;
        vl = (vh << 63) | (vl >> 1);
        vh = (vh >> 1) ^ carry;
        gcm->HL[i] = vl;
        gcm->HH[i] = vh;
    }
    for (int i = 2; i <= 8; i *= 2)
        for (int j = 1; j < i; j++) {
            gcm->HH[i + j] = gcm->HH[i] ^ gcm->HH[j];
            gcm->HL[i + j] = gcm->HL[i] ^ gcm->HL[j];
        }
}

int64_t DeleteHandle(void** handle) {
    return AESGCM_Delete(reinterpret_cast<AESGCM**>(handle));
}

int64_t Process(AESGCM* gcm, const void* in, void* out, uint32_t length, bool decrypting) {
    CLASS_CHECK(gcm, AESGCM_CLASS_ID);
    if (!gcm->KeySet || !gcm->Started) return 0;
    if (length == 0) return 1;
    ASSERT_POINTER(in);
    ASSERT_POINTER(out);
    const uint8_t* src = static_cast<const uint8_t*>(in);
    uint8_t* dst = static_cast<uint8_t*>(out);
    const size_t whole = length / 16;
    const uint64_t blocks = whole + (length % 16 ? 1 : 0);
    if (blocks > AESGCM_MAX_BLOCKS - gcm->Blocks) return 0;
    gcm->Blocks += blocks;
    gcm->TextLength += length;
    if (whole && UseHardware()) {
        gcm_internal::CryptHardware(gcm, src, dst, whole, decrypting);
    } else {
        for (size_t b = 0; b < whole; b++) {
            uint8_t stream[16], text[16];
            Increment(gcm->Y);
            EncryptBlocks(gcm->Cipher->Context, gcm->Y, stream, 1);
            memcpy(text, src + 16 * b, 16);
            for (int k = 0; k < 16; k++) {
                dst[16 * b + k] = (uint8_t)(text[k] ^ stream[k]);
                gcm->Accumulator[k] ^= decrypting ? text[k] : dst[16 * b + k];
            }
            GCM_Mult(gcm, gcm->Accumulator);
        }
    }
    const size_t rest = length % 16;
    if (rest) {
        uint8_t stream[16], cipher[16] = {};
        Increment(gcm->Y);
        EncryptBlocks(gcm->Cipher->Context, gcm->Y, stream, 1);
        for (size_t k = 0; k < rest; k++) {
            const uint8_t text = src[16 * whole + k];
            dst[16 * whole + k] = (uint8_t)(text ^ stream[k]);
            cipher[k] = decrypting ? text : (uint8_t)(text ^ stream[k]);
        }
        Fold(gcm, gcm->Accumulator, cipher, 16);
    }
    return 1;
}

int64_t FinishTag(AESGCM* gcm, uint8_t* tag, uint32_t length) {
    memcpy(tag, gcm->EK0, length);
    if (gcm->TextLength || gcm->AADLength) {
        uint8_t block[16];
        Store64(block, gcm->AADLength * 8);
        Store64(block + 8, gcm->TextLength * 8);
        Fold(gcm, gcm->Accumulator, block, 16);
        for (uint32_t k = 0; k < length; k++) tag[k] ^= gcm->Accumulator[k];
    }
    return 1;
}

} // namespace

int64_t AESGCM_Create(AESGCM** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    AESGCM* gcm = static_cast<AESGCM*>(Memory_AllocZero(sizeof(AESGCM)));
    gcm->Header.ClassId = AESGCM_CLASS_ID;
    gcm->Header.RefCount = 1;
    gcm->Header.Delete = DeleteHandle;
    AES_Create(&gcm->Cipher);
    *handle = gcm;
    return 1;
}

int64_t AESGCM_Delete(AESGCM** handle) {
    ASSERT_POINTER(handle);
    AESGCM* gcm = *handle;
    CLASS_CHECK(gcm, AESGCM_CLASS_ID);
    AES_Delete(&gcm->Cipher);
    memset(gcm, 0, sizeof(AESGCM));
    Memory_Free(gcm, sizeof(AESGCM));
    *handle = nullptr;
    return 1;
}

int64_t AESGCM_AddRef(AESGCM* gcm) {
    CLASS_CHECK(gcm, AESGCM_CLASS_ID);
    Class_AddRef(gcm);
    return 1;
}

int64_t AESGCM_Release(AESGCM** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    CLASS_CHECK(*handle, AESGCM_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t AESGCM_GetInstanceId(AESGCM* gcm, char* buffer, int32_t size) {
    CLASS_CHECK(gcm, AESGCM_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, gcm->Header.InstanceId, (int32_t)sizeof(gcm->Header.InstanceId));
    return 1;
}

int64_t AESGCM_SetKey(AESGCM* gcm, const void* key, uint32_t length) {
    CLASS_CHECK(gcm, AESGCM_CLASS_ID);
    if (!AES_SetEncryptKey(gcm->Cipher, key, length)) return 0;
    uint8_t h[16] = {};
    EncryptBlocks(gcm->Cipher->Context, h, h, 1);
    BuildTable(gcm, h);
    if (aes_internal::HardwareAvailable()) gcm_internal::PrepareHardware(gcm, h);
    memset(h, 0, sizeof(h));
    gcm->KeySet = 1;
    gcm->Started = 0;
    return 1;
}

int64_t AESGCM_SetEncryptKey(AESGCM* gcm, const void* key, uint32_t length) {
    return AESGCM_SetKey(gcm, key, length);
}

int64_t AESGCM_SetDecryptKey(AESGCM* gcm, const void* key, uint32_t length) {
    return AESGCM_SetKey(gcm, key, length);
}

int64_t AESGCM_SetAAD(AESGCM* gcm, const void* data, uint32_t length) {
    CLASS_CHECK(gcm, AESGCM_CLASS_ID);
    if (!gcm->KeySet) return 0;
    if (length) ASSERT_POINTER(data);
    gcm->AADLength = length;
    GCM_Hash(gcm, gcm->Accumulator, static_cast<const uint8_t*>(data), length);
    return 1;
}

int64_t AESGCM_Start(AESGCM* gcm, const void* nonce, uint32_t length) {
    CLASS_CHECK(gcm, AESGCM_CLASS_ID);
    if (!gcm->KeySet || length == 0) return 0;
    ASSERT_POINTER(nonce);
    gcm->TextLength = 0;
    gcm->Blocks = 0;
    if (length == 12) {
        memcpy(gcm->Y, nonce, 12);
        gcm->Y[12] = gcm->Y[13] = gcm->Y[14] = 0;
        gcm->Y[15] = 1;
    } else {
        uint8_t block[16] = {};
        memset(gcm->Y, 0, 16);
        Fold(gcm, gcm->Y, static_cast<const uint8_t*>(nonce), length);
        Store64(block + 8, (uint64_t)length * 8);
        Fold(gcm, gcm->Y, block, 16);
    }
    EncryptBlocks(gcm->Cipher->Context, gcm->Y, gcm->EK0, 1);
    gcm->Started = 1;
    return 1;
}

int64_t AESGCM_EncryptCBC(AESGCM* gcm, void* nonce, uint32_t nonceLength, const void* in, void* out,
                          uint32_t length) {
    if (!AESGCM_Start(gcm, nonce, nonceLength)) return 0;
    return Process(gcm, in, out, length, false);
}

int64_t AESGCM_DecryptCBC(AESGCM* gcm, void* nonce, uint32_t nonceLength, const void* in, void* out,
                          uint32_t length) {
    if (!AESGCM_Start(gcm, nonce, nonceLength)) return 0;
    return Process(gcm, in, out, length, true);
}

int64_t AESGCM_Encrypt(AESGCM* gcm, const void* in, void* out, uint32_t length) {
    return Process(gcm, in, out, length, false);
}

int64_t AESGCM_Decrypt(AESGCM* gcm, const void* in, void* out, uint32_t length) {
    return Process(gcm, in, out, length, true);
}

int64_t AESGCM_GetAuthTag(AESGCM* gcm, void* tag, uint32_t length) {
    CLASS_CHECK(gcm, AESGCM_CLASS_ID);
    if (!gcm->KeySet || !gcm->Started || length < 1 || length > 16) return 0;
    ASSERT_POINTER(tag);
    return FinishTag(gcm, static_cast<uint8_t*>(tag), length);
}

int64_t AESGCM_VerifyAuthTag(AESGCM* gcm, const void* tag, uint32_t length) {
    CLASS_CHECK(gcm, AESGCM_CLASS_ID);
    if (!gcm->KeySet || !gcm->Started || length < AESGCM_MIN_VERIFY_TAG || length > 16) return 0;
    ASSERT_POINTER(tag);
    uint8_t mine[16];
    FinishTag(gcm, mine, length);
    // No early exit: the time taken must not tell how many leading bytes were right.
    const volatile uint8_t* theirs = static_cast<const uint8_t*>(tag);
    uint8_t difference = 0;
    for (uint32_t k = 0; k < length; k++) difference |= (uint8_t)(mine[k] ^ theirs[k]);
    return difference == 0 ? 1 : 0;
}

const CryptSymmetricInterface AESGCM_INTERFACE = {
    "AESGCM",
    AES_BLOCKSIZE,
    CryptHandleSlot<AESGCM_Create>::Call,
    CryptHandleSlot<AESGCM_Delete>::Call,
    CryptSlot<AESGCM_SetDecryptKey>::Call,
    CryptSlot<AESGCM_SetEncryptKey>::Call,
    CryptSlot<AESGCM_SetAAD>::Call,
    CryptSlot<AESGCM_Encrypt>::Call,
    CryptSlot<AESGCM_Decrypt>::Call,
    CryptSlot<AESGCM_EncryptCBC>::Call,
    CryptSlot<AESGCM_DecryptCBC>::Call,
    CryptSlot<AESGCM_GetAuthTag>::Call,
};
