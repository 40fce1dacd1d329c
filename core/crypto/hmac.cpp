// HMAC over the digest records through a Hash object, its one-call forms and macro keys, and
// PBKDF2-HMAC-SHA1 on SHA-1 instances held in the caller's frame.
#include "core/crypto/hmac.h"

#include <climits>
#include <cstring>

#include "core/crypto/sha1.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

constexpr uint8_t kInnerPad = 0x36;
// The outer pad reached from the inner-padded block: 0x36 XOR 0x5C.
constexpr uint8_t kInnerToOuter = 0x6A;

int64_t DeleteHandle(void** handle) {
    return HMAC_Delete(reinterpret_cast<HMAC**>(handle));
}

const HashInterface* BoundRecord(HMAC* hmac) {
    const HashInterface* record = nullptr;
    Hash_GetInterface(hmac->Inner, &record);
    return record;
}

void XorBlock(uint8_t* block, int32_t length, uint8_t pad) {
    for (int32_t i = 0; i < length; i++) block[i] ^= pad;
}

// The key is complete once data arrives: a key longer than the block becomes its digest, the
// block is zero-filled and the inner pad goes in.
void ApplyInnerPad(HMAC* hmac, const HashInterface* record) {
    if (hmac->KeyLength > hmac->BlockSize) {
        Hash_Generate(hmac->Inner);
        memset(hmac->InnerDigest, 0, record->DigestSize);
        Hash_GetDigest(hmac->Inner, hmac->InnerDigest, record->DigestSize);
        const int32_t n =
            (int32_t)record->DigestSize < hmac->BlockSize ? (int32_t)record->DigestSize : hmac->BlockSize;
        memcpy(hmac->KeyBlock, hmac->InnerDigest, (size_t)n);
        hmac->KeyLength = n;
    }
    memset(hmac->KeyBlock + hmac->KeyLength, 0, (size_t)(hmac->BlockSize - hmac->KeyLength));
    XorBlock(hmac->KeyBlock, hmac->BlockSize, kInnerPad);
    Hash_Reset(hmac->Inner);
    Hash_Process(hmac->Inner, hmac->KeyBlock, (uint32_t)hmac->BlockSize, nullptr);
    hmac->KeyLength = -1;
}

// Splits text at its first comma: the comma becomes a NUL and the rest is returned (null when
// there is no comma).
char* SplitAtComma(char* text) {
    char* comma = strchr(text, ',');
    if (!comma) return nullptr;
    *comma = 0;
    return comma + 1;
}

uint32_t TextLength(const char* text) {
    return (uint32_t)strnlen(text, 0x7FFFFFFF);
}

} // namespace

int64_t HMAC_Create(HMAC** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    HMAC* hmac = static_cast<HMAC*>(Memory_AllocZero(sizeof(HMAC)));
    hmac->Header.ClassId = HMAC_CLASS_ID;
    hmac->Header.RefCount = 1;
    hmac->Header.Delete = DeleteHandle;
    Hash_Create(&hmac->Inner);
    *handle = hmac;
    return 1;
}

int64_t HMAC_Delete(HMAC** handle) {
    ASSERT_POINTER(handle);
    HMAC* hmac = *handle;
    CLASS_CHECK(hmac, HMAC_CLASS_ID);
    HMAC_SetHashInterface(hmac, nullptr);
    Hash_Delete(&hmac->Inner);
    hmac->Header.ClassId = 0;
    Memory_Free(hmac, sizeof(HMAC));
    *handle = nullptr;
    return 1;
}

int64_t HMAC_AddRef(HMAC* hmac) {
    CLASS_CHECK(hmac, HMAC_CLASS_ID);
    Class_AddRef(hmac);
    return 1;
}

int64_t HMAC_Release(HMAC** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, HMAC_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t HMAC_GetInstanceId(HMAC* hmac, char* buffer, int32_t size) {
    CLASS_CHECK(hmac, HMAC_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, hmac->Header.InstanceId, (int32_t)sizeof(hmac->Header.InstanceId));
    return 1;
}

int64_t HMAC_SetHashInterface(HMAC* hmac, const HashInterface* record) {
    CLASS_CHECK(hmac, HMAC_CLASS_ID);
    const HashInterface* current = BoundRecord(hmac);
    if (current == record) {
        if (record) HMAC_Reset(hmac);
        return 1;
    }
    if (current) {
        Memory_Free(hmac->InnerDigest, current->DigestSize);
        Memory_Free(hmac->KeyBlock, hmac->BlockSize);
        hmac->InnerDigest = nullptr;
        hmac->KeyBlock = nullptr;
    }
    hmac->KeyLength = 0;
    if (!record) {
        hmac->BlockSize = 0;
        return Hash_SetInterface(hmac->Inner, nullptr);
    }
    ASSERT_MSG(record->BlockSize > 0 && record->BlockSize <= 0x10000, "%s: BlockSize out of range\n",
               "HMAC_SetHashInterface");
    ASSERT_MSG(record->DigestSize != 0, "%s: DigestSize must not be zero\n", "HMAC_SetHashInterface");
    hmac->InnerDigest = static_cast<uint8_t*>(Memory_AllocZero(record->DigestSize));
    hmac->KeyBlock = static_cast<uint8_t*>(Memory_AllocZero(record->BlockSize));
    hmac->BlockSize = (int32_t)record->BlockSize;
    return Hash_SetInterface(hmac->Inner, record);
}

int64_t HMAC_SetKey(HMAC* hmac, const void* key, int32_t length) {
    CLASS_CHECK(hmac, HMAC_CLASS_ID);
    if (hmac->KeyLength == -1 || !hmac->KeyBlock || length < 0) return 0;
    if (length == 0) return 1;
    ASSERT_POINTER(key);
    const int64_t total = (int64_t)hmac->KeyLength + length;
    if (total > hmac->BlockSize) {
        // The key no longer fits the block: from here on it is hashed. Bytes still held in the
        // block go in first.
        if (hmac->KeyLength <= hmac->BlockSize) {
            Hash_Reset(hmac->Inner);
            if (hmac->KeyLength > 0)
                Hash_Process(hmac->Inner, hmac->KeyBlock, (uint32_t)hmac->KeyLength, nullptr);
        }
        Hash_Process(hmac->Inner, key, (uint32_t)length, nullptr);
    } else {
        memcpy(hmac->KeyBlock + hmac->KeyLength, key, (size_t)length);
    }
    // Past the block only "longer than the block" matters, so the count may stop growing.
    hmac->KeyLength = total > INT32_MAX ? INT32_MAX : (int32_t)total;
    return 1;
}

int64_t HMAC_Process(HMAC* hmac, const void* data, uint32_t length) {
    CLASS_CHECK(hmac, HMAC_CLASS_ID);
    const HashInterface* record = BoundRecord(hmac);
    if (!hmac->Inner || !record) return 0;
    if (hmac->KeyLength != -1) ApplyInnerPad(hmac, record);
    if (length > 0) {
        ASSERT_POINTER(data);
        Hash_Process(hmac->Inner, data, length, nullptr);
    }
    return 1;
}

int64_t HMAC_Generate(HMAC* hmac) {
    CLASS_CHECK(hmac, HMAC_CLASS_ID);
    const HashInterface* record = BoundRecord(hmac);
    if (!hmac->Inner || !record) return 0;
    if (hmac->KeyLength != -1) ApplyInnerPad(hmac, record);
    memset(hmac->InnerDigest, 0, record->DigestSize);
    Hash_Generate(hmac->Inner);
    Hash_GetDigest(hmac->Inner, hmac->InnerDigest, record->DigestSize);
    XorBlock(hmac->KeyBlock, hmac->BlockSize, kInnerToOuter);
    Hash_Reset(hmac->Inner);
    Hash_Process(hmac->Inner, hmac->KeyBlock, (uint32_t)hmac->BlockSize, nullptr);
    Hash_Process(hmac->Inner, hmac->InnerDigest, record->DigestSize, nullptr);
    Hash_Generate(hmac->Inner);
    return 1;
}

int64_t HMAC_GetDigest(HMAC* hmac, uint8_t* out, uint32_t capacity) {
    CLASS_CHECK(hmac, HMAC_CLASS_ID);
    ASSERT_POINTER(out);
    const HashInterface* record = BoundRecord(hmac);
    // A truncated value would pass for a whole one, so a short buffer is refused.
    if (!record || capacity < record->DigestSize) return 0;
    return Hash_GetDigest(hmac->Inner, out, capacity);
}

int64_t HMAC_GetString(HMAC* hmac, uint32_t spaced, char* out, uint32_t capacity) {
    CLASS_CHECK(hmac, HMAC_CLASS_ID);
    ASSERT_POINTER(out);
    return Hash_GetString(hmac->Inner, spaced, out, capacity);
}

int64_t HMAC_Reset(HMAC* hmac) {
    CLASS_CHECK(hmac, HMAC_CLASS_ID);
    Hash_Reset(hmac->Inner);
    hmac->KeyLength = 0;
    if (hmac->KeyBlock) memset(hmac->KeyBlock, 0, (size_t)hmac->BlockSize);
    return 1;
}

int64_t HMAC_CopyTo(HMAC* source, HMAC* target) {
    CLASS_CHECK(source, HMAC_CLASS_ID);
    CLASS_CHECK(target, HMAC_CLASS_ID);
    if (source == target) return 1;
    const HashInterface* SourceInterface = BoundRecord(source);
    HMAC_SetHashInterface(target, SourceInterface);
    const HashInterface* TargetInterface = BoundRecord(target);
    HMAC* SourceHMAC = source;
    HMAC* TargetHMAC = target;
    ASSERT_MSG(SourceInterface == TargetInterface, "Interfaces don't match");
    ASSERT_MSG(SourceHMAC->BlockSize == TargetHMAC->BlockSize, "Block sizes don't match");
    target->KeyLength = source->KeyLength;
    if (!SourceInterface) return 1;
    memcpy(target->KeyBlock, source->KeyBlock, (size_t)source->BlockSize);
    Hash_CopyTo(source->Inner, target->Inner);
    memcpy(target->InnerDigest, source->InnerDigest, SourceInterface->DigestSize);
    return 1;
}

int64_t HMAC_QuickDigest(const HashInterface* record, const void* data, uint32_t dataLength, const void* key,
                         uint32_t keyLength, uint8_t* out, uint32_t capacity) {
    ASSERT_POINTER(out);
    HMAC* hmac = nullptr;
    HMAC_Create(&hmac);
    int64_t result = HMAC_SetHashInterface(hmac, record);
    if (result == 1) result = HMAC_SetKey(hmac, key, keyLength > INT32_MAX ? -1 : (int32_t)keyLength);
    if (result == 1) result = HMAC_Process(hmac, data, dataLength);
    if (result == 1) result = HMAC_Generate(hmac);
    if (result == 1) result = HMAC_GetDigest(hmac, out, capacity);
    HMAC_Delete(&hmac);
    return result;
}

int64_t HMAC_QuickString(const HashInterface* record, const void* data, uint32_t dataLength, const void* key,
                         uint32_t keyLength, uint32_t spaced, char* out, uint32_t capacity) {
    ASSERT_POINTER(out);
    if (capacity > 0) out[0] = 0;
    HMAC* hmac = nullptr;
    HMAC_Create(&hmac);
    int64_t result = HMAC_SetHashInterface(hmac, record);
    if (result == 1) result = HMAC_SetKey(hmac, key, keyLength > INT32_MAX ? -1 : (int32_t)keyLength);
    if (result == 1) result = HMAC_Process(hmac, data, dataLength);
    if (result == 1) result = HMAC_Generate(hmac);
    if (result == 1) result = HMAC_GetString(hmac, spaced, out, capacity);
    HMAC_Delete(&hmac);
    return result;
}

int64_t HMAC_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity) {
    (void)user;
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    if (!argument || !String_CompareBeginningWithoutCase(name, "HMAC")) return 0;
    if (capacity > 0) value[0] = 0;
    const char* algorithm = name + 4;
    char* rest = argument;
    if (strlen(name) < 6) {
        // The bare key names the algorithm in its argument.
        algorithm = argument;
        rest = SplitAtComma(argument);
        if (!rest) return 1;
    }
    const HashInterface* record = nullptr;
    if (!Hash_InterfaceFromName(algorithm, &record)) return 1;
    char* text = SplitAtComma(rest);
    if (!text) return 1;
    HMAC_QuickString(record, text, TextLength(text), rest, TextLength(rest), 0, value,
                     capacity > 0 ? (uint32_t)capacity : 0);
    return 1;
}

int32_t HMACSHA1_DeriveKey(const void* password, uint32_t passwordLength, const void* salt,
                           uint32_t saltLength, uint32_t iterationCount, uint8_t* out, uint16_t outLength) {
    if (out) memset(out, 0, outLength);
    if (!password || !salt || !out || iterationCount == 0) return HMAC_DERIVE_PARAM_ERROR;
    // The two padded key blocks are hashed once; every iteration starts from copies of them.
    uint8_t block[64] = {};
    if (passwordLength > sizeof(block)) {
        SHA1 keyHash;
        SHA1_Stack(&keyHash);
        SHA1_Process(&keyHash, password, passwordLength);
        SHA1_Generate(&keyHash);
        memcpy(block, keyHash.Digest, SHA1_DIGEST_SIZE);
        SHA1_Unstack(&keyHash);
    } else if (passwordLength > 0) {
        memcpy(block, password, passwordLength);
    }
    SHA1 inner, outer, work;
    SHA1_Stack(&inner);
    SHA1_Stack(&outer);
    SHA1_Stack(&work);
    XorBlock(block, sizeof(block), kInnerPad);
    SHA1_Process(&inner, block, sizeof(block));
    XorBlock(block, sizeof(block), kInnerToOuter);
    SHA1_Process(&outer, block, sizeof(block));
    memset(block, 0, sizeof(block));

    uint8_t u[SHA1_DIGEST_SIZE];
    uint8_t t[SHA1_DIGEST_SIZE];
    const uint8_t zero = 0;
    uint32_t index = 1;
    for (uint32_t done = 0; done < outLength; done += SHA1_DIGEST_SIZE, index++) {
        const uint8_t count[4] = {(uint8_t)(index >> 24), (uint8_t)(index >> 16), (uint8_t)(index >> 8),
                                  (uint8_t)index};
        const uint8_t* message = saltLength > 0 ? static_cast<const uint8_t*>(salt) : &zero;
        uint32_t messageLength = saltLength;
        for (uint32_t i = 0; i < iterationCount; i++) {
            SHA1_CopyTo(&inner, &work);
            SHA1_Process(&work, message, messageLength);
            if (i == 0) SHA1_Process(&work, count, sizeof(count));
            SHA1_Generate(&work);
            memcpy(u, work.Digest, sizeof(u));
            SHA1_CopyTo(&outer, &work);
            SHA1_Process(&work, u, sizeof(u));
            SHA1_Generate(&work);
            memcpy(u, work.Digest, sizeof(u));
            if (i == 0)
                memcpy(t, u, sizeof(t));
            else
                for (uint32_t k = 0; k < sizeof(t); k++) t[k] ^= u[k];
            message = u;
            messageLength = sizeof(u);
        }
        const uint32_t n = outLength - done < SHA1_DIGEST_SIZE ? outLength - done : SHA1_DIGEST_SIZE;
        memcpy(out + done, t, n);
    }
    memset(u, 0, sizeof(u));
    memset(t, 0, sizeof(t));
    SHA1_Unstack(&inner);
    SHA1_Unstack(&outer);
    SHA1_Unstack(&work);
    return 0;
}
