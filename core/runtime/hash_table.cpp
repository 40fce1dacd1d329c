// Chained hash table with keys stored inside the members; members come from the table's own pool
// in chunks of 10, so adding and removing rarely reaches the sized allocator. The bucket count
// given at creation is where it starts: past one member per bucket the buckets double, so that a
// table of names never slows with the count of names.
#include "core/runtime/hash_table.h"

#include <cstring>

#include "core/linux/platform.h"
#include "core/runtime/class.h"
#include "core/runtime/keyed_hash.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"

struct HashTableMember {
    uint32_t ClassId;
    uint32_t Hash;
    uint64_t Value;
    HashTableMember* Prev;
    HashTableMember* Next;
    uint32_t Bucket;
    alignas(8) uint8_t Key[]; // KeySize bytes
};

struct HashTable {
    Class Header;
    Pool* Members;
    HashTableMember** Buckets;
    uint32_t BucketCount;
    uint32_t KeySize;
    uint32_t MemberSize;
    volatile uint32_t Count;
    void* AssignContext;
    HashTableKeyAssignFunc Assign;
    void* ValueContext;
    HashTableValueFunc Value;
    void* CompareContext;
    HashTableCompareFunc Compare;
};

namespace {

constexpr uint32_t kMembersPerChunk = 10;
// The most buckets growth makes (a 128 MB array); past it chains lengthen.
constexpr uint32_t kMaxGrownBuckets = 1u << 24;

// Members carry their class id in their first word, not in an object header.
#define MEMBER_CHECK(member)                                                                                 \
    do {                                                                                                     \
        const HashTableMember* member_check_ = (member);                                                     \
        if (!member_check_) Debug_AbortInt(__FILE__, __LINE__, "Pointer is NULL\n");                         \
        if (member_check_->ClassId != HASH_TABLE_MEMBER_CLASS_ID)                                            \
            Debug_AbortInt(                                                                                  \
                __FILE__, __LINE__, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",       \
                (const void*)member_check_, (uint32_t)HASH_TABLE_MEMBER_CLASS_ID, member_check_->ClassId);   \
    } while (0)

uint32_t FinishStringHash(uint32_t h) {
    h += h << 13;
    h ^= h >> 7;
    h += h << 3;
    h ^= h >> 17;
    h += h << 5;
    return h;
}

uint32_t FoldByte(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? (uint32_t)(c + 32) : c;
}

HashTableMember* FindHashed(HashTable* table, HashTableKey key, uint32_t hash) {
    for (HashTableMember* m = table->Buckets[hash % table->BucketCount]; m; m = m->Next)
        if (m->Hash == hash && table->Compare(table, table->CompareContext, m->Key, key)) return m;
    return nullptr;
}

HashTableMember* Find(HashTable* table, HashTableKey key) {
    return FindHashed(table, key, table->Value(table, table->ValueContext, key));
}

// Aborts unless the member sits in this table's chains: a member of another table would make
// the unlink write through that table's bucket index.
void CheckOwned(HashTable* table, HashTableMember* member) {
    ASSERT_MSG(member->Bucket < table->BucketCount &&
                   (member->Prev ? member->Prev->Next == member : table->Buckets[member->Bucket] == member),
               "Member [0x%p] is not in this table [0x%p]", (void*)member, (void*)table);
}

void Unlink(HashTable* table, HashTableMember* member) {
    if (member->Prev)
        member->Prev->Next = member->Next;
    else
        table->Buckets[member->Bucket] = member->Next;
    if (member->Next) member->Next->Prev = member->Prev;
    member->ClassId = 0;
    Pool_Free(table->Members, &member, table->MemberSize);
    Platform_Decrement(&table->Count);
}

// Empties every chain and makes every pool block free again; stale member handles then fail
// their class check.
void ResetMembers(HashTable* table) {
    for (uint32_t b = 0; b < table->BucketCount; b++) {
        for (HashTableMember* m = table->Buckets[b]; m; m = m->Next) m->ClassId = 0;
        table->Buckets[b] = nullptr;
    }
    Pool_Reset(table->Members);
    __atomic_store_n(&table->Count, 0u, __ATOMIC_SEQ_CST);
}

// Twice the buckets, each member moved by the hash it keeps. A member keeps its place in the
// pool, so handles to it stay good. The members of old bucket b go to b and b + the old count
// only, each in the order it had, so a chain still runs newest first.
void Grow(HashTable* table) {
    const uint32_t old = table->BucketCount, count = old * 2;
    auto* buckets = static_cast<HashTableMember**>(Memory_AllocZero(sizeof(HashTableMember*) * count));
    for (uint32_t b = 0; b < old; b++) {
        HashTableMember* tails[2] = {nullptr, nullptr};
        for (HashTableMember* m = table->Buckets[b]; m;) {
            HashTableMember* next = m->Next;
            m->Bucket = m->Hash % count;
            HashTableMember*& tail = tails[m->Bucket == b ? 0 : 1];
            m->Prev = tail;
            m->Next = nullptr;
            if (tail)
                tail->Next = m;
            else
                buckets[m->Bucket] = m;
            tail = m;
            m = next;
        }
    }
    Memory_Free(table->Buckets, sizeof(HashTableMember*) * old);
    table->Buckets = buckets;
    table->BucketCount = count;
}

HashTableMember* FirstFrom(HashTable* table, uint32_t bucket) {
    for (; bucket < table->BucketCount; bucket++)
        if (table->Buckets[bucket]) return table->Buckets[bucket];
    return nullptr;
}

} // namespace

int64_t HashTable_Create(HashTable** table, uint32_t keySize, uint32_t bucketCount) {
    ASSERT_POINTER(table);
    *table = nullptr;
    ASSERT_MSG(bucketCount > 0, "Bucket count must not be zero");
    ASSERT_MSG(bucketCount <= 0x7FFFFFFF / sizeof(HashTableMember*), "Bucket count too large (%u)",
               bucketCount);
    // At least 8 key bytes, so that the pointer callbacks can always read a whole value.
    const uint64_t memberSize = sizeof(HashTableMember) + (keySize < 8 ? 8 : (uint64_t)keySize);
    ASSERT_MSG(memberSize <= 0x7FFFFFFF / kMembersPerChunk, "Key size too large (%u)", keySize);
    HashTable* t = static_cast<HashTable*>(Memory_AllocZero(sizeof(HashTable)));
    t->Header.ClassId = HASH_TABLE_CLASS_ID;
    t->Header.RefCount = 1;
    t->Buckets = static_cast<HashTableMember**>(Memory_AllocZero(sizeof(HashTableMember*) * bucketCount));
    t->BucketCount = bucketCount;
    t->KeySize = keySize;
    t->MemberSize = (uint32_t)memberSize;
    Pool_Create(&t->Members);
    Pool_SetMemorySize(t->Members, t->MemberSize);
    Pool_SetChunkSize(t->Members, kMembersPerChunk);
    t->Assign = HashTable_StringKeyAssign;
    t->Value = HashTable_StringValue;
    t->Compare = HashTable_StringCompare;
    *table = t;
    return 1;
}

int64_t HashTable_Delete(HashTable** table) {
    ASSERT_POINTER(table);
    HashTable* t = *table;
    CLASS_CHECK(t, HASH_TABLE_CLASS_ID);
    ResetMembers(t);
    Memory_Free(t->Buckets, sizeof(HashTableMember*) * t->BucketCount);
    Pool_Delete(&t->Members);
    t->Header.ClassId = 0;
    Memory_Free(t, sizeof(HashTable));
    *table = nullptr;
    return 1;
}

int64_t HashTable_ValidHandle(HashTable* table) {
    return table && table->Header.ClassId == HASH_TABLE_CLASS_ID;
}

int64_t HashTable_SetKeyAssignCallback(HashTable* table, void* context, HashTableKeyAssignFunc fn) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    table->AssignContext = context;
    table->Assign = fn;
    return 1;
}

int64_t HashTable_SetValueCallback(HashTable* table, void* context, HashTableValueFunc fn) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    ASSERT_POINTER(fn);
    table->ValueContext = context;
    table->Value = fn;
    return 1;
}

int64_t HashTable_SetCompareCallback(HashTable* table, void* context, HashTableCompareFunc fn) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    ASSERT_POINTER(fn);
    table->CompareContext = context;
    table->Compare = fn;
    return 1;
}

int64_t HashTable_GetKeySize(HashTable* table, uint32_t* keySize) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    ASSERT_POINTER(keySize);
    *keySize = table->KeySize;
    return 1;
}

int64_t HashTable_Add(HashTable* table, HashTableKey key, uint64_t value) {
    HashTableMember* member = nullptr;
    return HashTable_AddEx(table, key, value, &member);
}

int64_t HashTable_AddEx(HashTable* table, HashTableKey key, uint64_t value, HashTableMember** member) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    ASSERT_POINTER(member);
    *member = nullptr;
    const uint32_t hash = table->Value(table, table->ValueContext, key);
    if (HashTableMember* found = FindHashed(table, key, hash)) {
        found->Value = value;
        *member = found;
        return 1;
    }
    uint32_t bucket = hash % table->BucketCount;
    HashTableMember* m = static_cast<HashTableMember*>(Pool_Alloc(table->Members, table->MemberSize));
    m->ClassId = HASH_TABLE_MEMBER_CLASS_ID;
    if (table->Assign) table->Assign(table, table->AssignContext, m->Key, table->KeySize, key);
    m->Value = value;
    m->Hash = hash;
    m->Bucket = bucket;
    m->Next = table->Buckets[bucket];
    if (m->Next) m->Next->Prev = m;
    table->Buckets[bucket] = m;
    Platform_Increment(&table->Count);
    *member = m;
    // The count is read atomically: other threads may read it while this one adds.
    if (__atomic_load_n(&table->Count, __ATOMIC_RELAXED) > table->BucketCount &&
        table->BucketCount < kMaxGrownBuckets)
        Grow(table);
    return 1;
}

int64_t HashTable_GetValue(HashTable* table, HashTableKey key, uint64_t* value) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    ASSERT_POINTER(value);
    *value = 0;
    HashTableMember* m = Find(table, key);
    if (!m) return 0;
    *value = m->Value;
    return 1;
}

int64_t HashTable_ContainsKey(HashTable* table, HashTableKey key) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    return Find(table, key) != nullptr;
}

int64_t HashTable_MemberFindByKey(HashTable* table, HashTableKey key, HashTableMember** member) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    ASSERT_POINTER(member);
    *member = Find(table, key);
    return *member != nullptr;
}

int64_t HashTable_Remove(HashTable* table, HashTableKey key) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    HashTableMember* m = Find(table, key);
    if (!m) return 0;
    Unlink(table, m);
    return 1;
}

int64_t HashTable_MemberRemove(HashTable* table, HashTableMember** member) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    ASSERT_POINTER(member);
    MEMBER_CHECK(*member);
    CheckOwned(table, *member);
    Unlink(table, *member);
    *member = nullptr;
    return 1;
}

int64_t HashTable_RemoveAll(HashTable* table) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    ResetMembers(table);
    Pool_RemoveAll(table->Members);
    return 1;
}

int64_t HashTable_Reset(HashTable* table) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    ResetMembers(table);
    return 1;
}

int64_t HashTable_GetCount(HashTable* table, uint32_t* count) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    ASSERT_POINTER(count);
    *count = Platform_CAS(&table->Count, 0, 0);
    return 1;
}

int64_t HashTable_MemberGetFirst(HashTable* table, HashTableMember** member) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    ASSERT_POINTER(member);
    *member = table->Count ? FirstFrom(table, 0) : nullptr;
    return *member != nullptr;
}

int64_t HashTable_MemberGetNext(HashTable* table, HashTableMember* member, HashTableMember** next) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    MEMBER_CHECK(member);
    ASSERT_POINTER(next);
    *next = member->Next ? member->Next : FirstFrom(table, member->Bucket + 1);
    return *next != nullptr;
}

int64_t HashTable_MemberGetKey(HashTable* table, HashTableMember* member, const void** key) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    MEMBER_CHECK(member);
    ASSERT_POINTER(key);
    *key = member->Key;
    return 1;
}

int64_t HashTable_MemberGetValue(HashTable* table, HashTableMember* member, uint64_t* value) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    MEMBER_CHECK(member);
    ASSERT_POINTER(value);
    *value = member->Value;
    return 1;
}

int64_t HashTable_MemberSetValue(HashTable* table, HashTableMember* member, uint64_t value) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    MEMBER_CHECK(member);
    member->Value = value;
    return 1;
}

int64_t HashTable_MemberGet(HashTable* table, HashTableMember* member, const void** key, uint64_t* value) {
    CLASS_CHECK(table, HASH_TABLE_CLASS_ID);
    MEMBER_CHECK(member);
    if (key) *key = member->Key;
    if (value) *value = member->Value;
    return 1;
}

int64_t HashTable_StringKeyAssign(HashTable*, void*, void* destination, uint32_t keySize, HashTableKey key) {
    ASSERT_POINTER(key);
    String_CopyLength(static_cast<char*>(destination), static_cast<const char*>(key), (int32_t)keySize);
    return 1;
}

// The key argument's own value, little-endian, at most 8 bytes.
int64_t HashTable_PointerKeyAssign(HashTable*, void*, void* destination, uint32_t keySize, HashTableKey key) {
    uint64_t value = (uint64_t)(uintptr_t)key;
    memcpy(destination, &value, keySize < 8 ? keySize : 8);
    return 1;
}

int64_t HashTable_StringPointerKeyAssign(HashTable* t, void* c, void* destination, uint32_t keySize,
                                         HashTableKey key) {
    return HashTable_PointerKeyAssign(t, c, destination, keySize, key);
}

int64_t HashTable_Int32KeyAssign(HashTable* t, void* c, void* destination, uint32_t keySize,
                                 HashTableKey key) {
    return HashTable_PointerKeyAssign(t, c, destination, keySize, key);
}

uint32_t HashTable_StringValue(HashTable*, void*, HashTableKey key) {
    ASSERT_POINTER(key);
    uint32_t h = 0x811C9DC5;
    for (const uint8_t* p = static_cast<const uint8_t*>(key); *p; p++) h = (h ^ *p) * 0x01000193;
    return FinishStringHash(h);
}

uint32_t HashTable_StringValueWithoutCase(HashTable*, void*, HashTableKey key) {
    ASSERT_POINTER(key);
    uint32_t h = 0x811C9DC5;
    for (const uint8_t* p = static_cast<const uint8_t*>(key); *p; p++) h = (h ^ FoldByte(*p)) * 0x01000193;
    return FinishStringHash(h);
}

uint32_t HashTable_StringKeyedValue(HashTable*, void*, HashTableKey key) {
    ASSERT_POINTER(key);
    const char* text = static_cast<const char*>(key);
    return KeyedHash_Text(KeyedHash_ProcessKey(), text, strlen(text), false);
}

uint32_t HashTable_StringKeyedValueWithoutCase(HashTable*, void*, HashTableKey key) {
    ASSERT_POINTER(key);
    const char* text = static_cast<const char*>(key);
    return KeyedHash_Text(KeyedHash_ProcessKey(), text, strlen(text), true);
}

uint32_t HashTable_PointerValue(HashTable*, void*, HashTableKey key) {
    uint32_t k = (uint32_t)(uintptr_t)key;
    k += ~(k << 15);
    k ^= k >> 10;
    k += k << 3;
    k ^= k >> 6;
    k += ~(k << 11);
    k ^= k >> 16;
    return k;
}

uint32_t HashTable_Int32Value(HashTable* t, void* c, HashTableKey key) {
    return HashTable_PointerValue(t, c, key);
}

int64_t HashTable_StringCompare(HashTable*, void*, const void* storedKey, HashTableKey key) {
    return String_Compare(static_cast<const char*>(storedKey), static_cast<const char*>(key));
}

int64_t HashTable_StringCompareWithoutCase(HashTable*, void*, const void* storedKey, HashTableKey key) {
    return String_CompareWithoutCase(static_cast<const char*>(storedKey), static_cast<const char*>(key));
}

int64_t HashTable_StringPointerCompare(HashTable*, void*, const void* storedKey, HashTableKey key) {
    const char* stored;
    memcpy(&stored, storedKey, sizeof(stored));
    return String_Compare(stored, static_cast<const char*>(key));
}

int64_t HashTable_StringPointerCompareWithoutCase(HashTable*, void*, const void* storedKey,
                                                  HashTableKey key) {
    const char* stored;
    memcpy(&stored, storedKey, sizeof(stored));
    return String_CompareWithoutCase(stored, static_cast<const char*>(key));
}

int64_t HashTable_PointerCompare(HashTable*, void*, const void* storedKey, HashTableKey key) {
    uint64_t stored;
    memcpy(&stored, storedKey, sizeof(stored));
    return stored == (uint64_t)(uintptr_t)key;
}

int64_t HashTable_Int32Compare(HashTable*, void*, const void* storedKey, HashTableKey key) {
    uint32_t stored;
    memcpy(&stored, storedKey, sizeof(stored));
    return stored == (uint32_t)(uintptr_t)key;
}
