// Map from a key to one pointer-sized value: a fixed number of buckets, keys stored inside the
// members, and replaceable store/hash/compare callbacks for the different key kinds.
#pragma once

#include <cstdint>

enum : uint32_t {
    HASH_TABLE_CLASS_ID = 0x3CF21D39,
    HASH_TABLE_MEMBER_CLASS_ID = 0x1E7D9D7A,
};

struct HashTable;
struct HashTableMember;

// A key is one pointer-sized argument: a text pointer, or the pointer or integer itself.
typedef const void* HashTableKey;
typedef int64_t (*HashTableKeyAssignFunc)(HashTable* table, void* context, void* destination,
                                          uint32_t keySize, HashTableKey key);
typedef uint32_t (*HashTableValueFunc)(HashTable* table, void* context, HashTableKey key);
typedef int64_t (*HashTableCompareFunc)(HashTable* table, void* context, const void* storedKey,
                                        HashTableKey key);

int64_t HashTable_Create(HashTable** table, uint32_t keySize, uint32_t bucketCount);
int64_t HashTable_Delete(HashTable** table);
int64_t HashTable_ValidHandle(HashTable* table);
int64_t HashTable_SetKeyAssignCallback(HashTable* table, void* context, HashTableKeyAssignFunc fn);
int64_t HashTable_SetValueCallback(HashTable* table, void* context, HashTableValueFunc fn);
int64_t HashTable_SetCompareCallback(HashTable* table, void* context, HashTableCompareFunc fn);
int64_t HashTable_GetKeySize(HashTable* table, uint32_t* keySize);

int64_t HashTable_Add(HashTable* table, HashTableKey key, uint64_t value);
int64_t HashTable_AddEx(HashTable* table, HashTableKey key, uint64_t value, HashTableMember** member);
int64_t HashTable_GetValue(HashTable* table, HashTableKey key, uint64_t* value);
int64_t HashTable_ContainsKey(HashTable* table, HashTableKey key);
int64_t HashTable_MemberFindByKey(HashTable* table, HashTableKey key, HashTableMember** member);
int64_t HashTable_Remove(HashTable* table, HashTableKey key);
int64_t HashTable_MemberRemove(HashTable* table, HashTableMember** member);
int64_t HashTable_RemoveAll(HashTable* table);
int64_t HashTable_Reset(HashTable* table);
int64_t HashTable_GetCount(HashTable* table, uint32_t* count);

int64_t HashTable_MemberGetFirst(HashTable* table, HashTableMember** member);
int64_t HashTable_MemberGetNext(HashTable* table, HashTableMember* member, HashTableMember** next);
int64_t HashTable_MemberGetKey(HashTable* table, HashTableMember* member, const void** key);
int64_t HashTable_MemberGetValue(HashTable* table, HashTableMember* member, uint64_t* value);
int64_t HashTable_MemberSetValue(HashTable* table, HashTableMember* member, uint64_t value);
int64_t HashTable_MemberGet(HashTable* table, HashTableMember* member, const void** key, uint64_t* value);

// Built-in callbacks.
int64_t HashTable_StringKeyAssign(HashTable*, void*, void* destination, uint32_t keySize, HashTableKey key);
int64_t HashTable_PointerKeyAssign(HashTable*, void*, void* destination, uint32_t keySize, HashTableKey key);
int64_t HashTable_StringPointerKeyAssign(HashTable*, void*, void* destination, uint32_t keySize,
                                         HashTableKey key);
int64_t HashTable_Int32KeyAssign(HashTable*, void*, void* destination, uint32_t keySize, HashTableKey key);
uint32_t HashTable_StringValue(HashTable*, void*, HashTableKey key);
uint32_t HashTable_StringValueWithoutCase(HashTable*, void*, HashTableKey key);
// The same under the process's secret key (ASCII case folded in the second): for names that
// come from outside, which texts chosen to collide must not crowd into one bucket. The order of
// members then differs from process to process.
uint32_t HashTable_StringKeyedValue(HashTable*, void*, HashTableKey key);
uint32_t HashTable_StringKeyedValueWithoutCase(HashTable*, void*, HashTableKey key);
uint32_t HashTable_PointerValue(HashTable*, void*, HashTableKey key);
uint32_t HashTable_Int32Value(HashTable*, void*, HashTableKey key);
int64_t HashTable_StringCompare(HashTable*, void*, const void* storedKey, HashTableKey key);
int64_t HashTable_StringCompareWithoutCase(HashTable*, void*, const void* storedKey, HashTableKey key);
int64_t HashTable_StringPointerCompare(HashTable*, void*, const void* storedKey, HashTableKey key);
int64_t HashTable_StringPointerCompareWithoutCase(HashTable*, void*, const void* storedKey, HashTableKey key);
int64_t HashTable_PointerCompare(HashTable*, void*, const void* storedKey, HashTableKey key);
int64_t HashTable_Int32Compare(HashTable*, void*, const void* storedKey, HashTableKey key);
