// RC4: key schedule and keystream, and the record RC4_INTERFACE (no CBC, no additional data).
#include "core/crypto/rc4.h"

#include <bit>
#include <cstring>

#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

int64_t DeleteHandle(void** handle) {
    return RC4_Delete(reinterpret_cast<RC4**>(handle));
}

} // namespace

int64_t RC4_Create(RC4** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    RC4* rc4 = static_cast<RC4*>(Memory_AllocZero(sizeof(RC4)));
    rc4->Header.ClassId = RC4_CLASS_ID;
    rc4->Header.RefCount = 1;
    rc4->Header.Delete = DeleteHandle;
    RC4_Reset(rc4);
    *handle = rc4;
    return 1;
}

int64_t RC4_Delete(RC4** handle) {
    ASSERT_POINTER(handle);
    RC4* rc4 = *handle;
    CLASS_CHECK(rc4, RC4_CLASS_ID);
    memset(rc4, 0, sizeof(RC4));
    Memory_Free(rc4, sizeof(RC4));
    *handle = nullptr;
    return 1;
}

int64_t RC4_AddRef(RC4* rc4) {
    CLASS_CHECK(rc4, RC4_CLASS_ID);
    Class_AddRef(rc4);
    return 1;
}

int64_t RC4_Release(RC4** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    CLASS_CHECK(*handle, RC4_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t RC4_GetInstanceId(RC4* rc4, char* buffer, int32_t size) {
    CLASS_CHECK(rc4, RC4_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, rc4->Header.InstanceId, (int32_t)sizeof(rc4->Header.InstanceId));
    return 1;
}

int64_t RC4_Reset(RC4* rc4) {
    CLASS_CHECK(rc4, RC4_CLASS_ID);
    rc4->I = rc4->J = 0;
    for (int k = 0; k < 256; k++) rc4->S[k] = (uint8_t)k;
    rc4->KeyLength = 0;
    memset(rc4->Key, 0, sizeof(rc4->Key));
    return 1;
}

int64_t RC4_SetKey(RC4* rc4, const void* key, uint32_t length) {
    RC4_Reset(rc4);
    if (length >= RC4_MAX_KEY_LENGTH) {
        Log_Error("Key length too long (%d > %d)\n", (int32_t)length, (int32_t)RC4_MAX_KEY_LENGTH);
        return 0;
    }
    if (length == 0) return 0;
    ASSERT_POINTER(key);
    memcpy(rc4->Key, key, length);
    rc4->KeyLength = length;
    uint8_t j = 0;
    for (uint32_t k = 0; k < 256; k++) {
        const uint8_t t = rc4->S[k];
        j = (uint8_t)(j + t + rc4->Key[k % length]);
        rc4->S[k] = rc4->S[j];
        rc4->S[j] = t;
    }
    return 1;
}

int64_t RC4_SetEncryptKey(RC4* rc4, const void* key, uint32_t length) {
    return RC4_SetKey(rc4, key, length);
}

int64_t RC4_SetDecryptKey(RC4* rc4, const void* key, uint32_t length) {
    return RC4_SetKey(rc4, key, length);
}

int64_t RC4_Encrypt(RC4* rc4, const void* in, void* out, uint32_t length) {
    CLASS_CHECK(rc4, RC4_CLASS_ID);
    if (!rc4->KeyLength) return 0;
    if (length == 0) return 1;
    ASSERT_POINTER(in);
    ASSERT_POINTER(out);
    const uint8_t* src = static_cast<const uint8_t*>(in);
    uint8_t* dst = static_cast<uint8_t*>(out);
    // The state is worked on as 32-bit words in a local copy: whole-word loads and stores avoid
    // the partial-register merges of byte stores on the critical path, and the compiler may keep
    // the indices in registers because out cannot alias the copy.
    uint32_t s[256];
    for (int k = 0; k < 256; k++) s[k] = rc4->S[k];
    uint32_t i = rc4->I, j = rc4->J;
    auto next = [&]() -> uint32_t {
        i = (i + 1) & 0xFF;
        const uint32_t si = s[i];
        j = (j + si) & 0xFF;
        const uint32_t sj = s[j];
        s[i] = sj;
        s[j] = si;
        return s[(si + sj) & 0xFF];
    };
    uint32_t k = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Eight keystream bytes gathered into one word, applied with one load and one store.
        for (; k + 8 <= length; k += 8) {
            uint64_t stream = next();
            for (int b = 1; b < 8; b++) stream |= (uint64_t)next() << (8 * b);
            uint64_t word;
            memcpy(&word, src + k, 8);
            word ^= stream;
            memcpy(dst + k, &word, 8);
        }
    }
    for (; k < length; k++) dst[k] = (uint8_t)(src[k] ^ next());
    for (int k = 0; k < 256; k++) rc4->S[k] = (uint8_t)s[k];
    rc4->I = (uint8_t)i;
    rc4->J = (uint8_t)j;
    return 1;
}

int64_t RC4_Decrypt(RC4* rc4, const void* in, void* out, uint32_t length) {
    return RC4_Encrypt(rc4, in, out, length);
}

const CryptSymmetricInterface RC4_INTERFACE = {
    "RC4",
    0,
    CryptHandleSlot<RC4_Create>::Call,
    CryptHandleSlot<RC4_Delete>::Call,
    CryptSlot<RC4_SetDecryptKey>::Call,
    CryptSlot<RC4_SetEncryptKey>::Call,
    nullptr,
    CryptSlot<RC4_Encrypt>::Call,
    CryptSlot<RC4_Decrypt>::Call,
    nullptr,
    nullptr,
    nullptr,
};
