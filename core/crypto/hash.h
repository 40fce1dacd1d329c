// The digest record through which every hash algorithm is reached, and the Hash front object
// that binds to one record at run time (bytes given before binding are kept and replayed).
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

typedef uint32_t (*HashSizeOfFunc)();
typedef int64_t (*HashStackFunc)(void* memory);
typedef int64_t (*HashUnstackFunc)(void* instance);
typedef int64_t (*HashCreateFunc)(void** handle);
typedef int64_t (*HashDeleteFunc)(void** handle);
typedef int64_t (*HashCopyToFunc)(void* source, void* target);
typedef int64_t (*HashResetFunc)(void* instance);
typedef int64_t (*HashProcessFunc)(void* instance, const void* data, uint32_t length);
typedef uint32_t (*HashIsGeneratedFunc)(void* instance);
typedef int64_t (*HashGenerateFunc)(void* instance);
typedef uint32_t (*HashGetDigestFunc)(void* instance, uint8_t* out, int32_t capacity);
typedef uint32_t (*HashGetStringFunc)(void* instance, uint32_t spaced, char* out, int32_t capacity);

// One constant record per algorithm, compared by identity; an empty slot means the algorithm
// lacks that operation.
struct HashInterface {
    const char* Name;
    uint32_t BlockSize;
    uint32_t DigestSize;
    HashSizeOfFunc SizeOf;
    HashStackFunc Stack;
    HashUnstackFunc Unstack;
    HashCreateFunc Create;
    HashDeleteFunc Delete;
    HashCopyToFunc CopyTo;
    HashResetFunc Reset;
    HashProcessFunc Process;
    HashIsGeneratedFunc IsGenerated;
    HashGenerateFunc Generate;
    HashGetDigestFunc GetDigest;
    HashGetStringFunc GetString;
};

enum : uint32_t {
    HASH_CLASS_ID = 0xB3855D8F,
    HASH_PENDING_CAPACITY = 4096,
};

struct Hash;

int64_t Hash_Create(Hash** handle);
int64_t Hash_Delete(Hash** handle);
int64_t Hash_AddRef(Hash* hash);
int64_t Hash_Release(Hash** handle);
int64_t Hash_GetInstanceId(Hash* hash, char* buffer, int32_t size);

int64_t Hash_SetInterface(Hash* hash, const HashInterface* record);
int64_t Hash_GetInterface(Hash* hash, const HashInterface** record);
int64_t Hash_Reset(Hash* hash);
int64_t Hash_Process(Hash* hash, const void* data, uint32_t length, uint32_t* processed);
int64_t Hash_Generate(Hash* hash);
int64_t Hash_IsGenerated(Hash* hash);
int64_t Hash_GetDigest(Hash* hash, uint8_t* out, uint32_t capacity);
uint32_t Hash_GetDigestSize(Hash* hash);
uint32_t Hash_GetBlockSize(Hash* hash);
int64_t Hash_GetString(Hash* hash, uint32_t spaced, char* out, uint32_t capacity);
int64_t Hash_CopyTo(Hash* source, Hash* target);

// Lookups; only the records built so far take part.
int64_t Hash_InterfaceFromName(const char* name, const HashInterface** record);
int64_t Hash_InterfaceFromOid(const char* oidText, const HashInterface** record);
int64_t Hash_InterfaceFromDigestSize(uint32_t size, const HashInterface** record);

// Lower-case hex text of a digest; with spaced 1 a space follows every fourth byte.
int64_t Hash_ConvertDigestToString(const uint8_t* digest, int32_t length, uint32_t spaced, char* out,
                                   int32_t capacity);

// One-call digests running an instance in the caller's stack frame.
int64_t Hash_QuickDigest(const HashInterface* record, const void* data, int32_t length, uint8_t* out,
                         int32_t capacity);
int64_t Hash_QuickDigest2(const HashInterface* record, const void* data, int32_t length,
                          uint32_t caseSensitive, uint8_t* out, int32_t capacity);
// Each 16-bit unit encoded to UTF-8 on its own (a surrogate half gives three bytes).
int64_t Hash_QuickDigestUtf16(const HashInterface* record, const uint16_t* text16, int32_t unitCount,
                              uint32_t caseSensitive, uint8_t* out, int32_t capacity);
int64_t Hash_QuickString(const HashInterface* record, const void* data, int32_t length, uint32_t spaced,
                         char* out, int32_t capacity);
// The bytes unchanged; length counts bytes.
int64_t Hash_QuickStringUtf16(const HashInterface* record, const void* data, int32_t length, uint32_t spaced,
                              char* out, int32_t capacity);
