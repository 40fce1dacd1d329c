// The digest record through which every hash algorithm is reached, and the Hash front object
// that binds to one record at run time (bytes given before binding are kept and replayed).
#pragma once

#include <cstdint>
#include <type_traits>

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

// Lookups over the nine records; no match logs at ERROR level and leaves *record as it was.
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

// Macro key provider: "CRC", "MD4", "MD5", "SHA1", "SHA256" (digest of the argument) and "Hash"
// (algorithm name, comma, text). The argument's first comma becomes a NUL.
int64_t Hash_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity);

// Makes an algorithm's own operation, typed on its instance, into a slot of its record, where
// instances travel untyped: `record.Reset = HashSlot<MD5_Reset>::Call`. Pointers to an instance
// type become void*, pointers to an instance handle void**; every other argument stays.
template <typename A> struct HashSlotArgument {
    using Type = A;
    static A From(A value) { return value; }
};
template <typename T>
requires std::is_class_v<T>
struct HashSlotArgument<T*> {
    using Type = void*;
    static T* From(void* value) { return static_cast<T*>(value); }
};
template <typename T>
requires std::is_class_v<T>
struct HashSlotArgument<T**> {
    using Type = void**;
    static T** From(void** value) { return reinterpret_cast<T**>(value); }
};

template <auto Operation> struct HashSlot;
template <typename R, typename... A, R (*Operation)(A...)> struct HashSlot<Operation> {
    static R Call(typename HashSlotArgument<A>::Type... args) {
        return Operation(HashSlotArgument<A>::From(args)...);
    }
};
