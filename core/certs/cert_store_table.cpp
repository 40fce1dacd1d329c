// CertStoreTable: trust stores registered by name (ASCII case ignored). Fixed entries stay for
// the table's life; removable ones may be replaced or removed.
#include <cstring>

#include "core/certs/cert_store_internal.h"
#include "core/runtime/class_family.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/hash_table.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"

namespace {

constexpr uint32_t kEntrySignature = 0x253fae89;
constexpr uint32_t kEntriesPerChunk = 10;
constexpr uint32_t kBuckets = 31;

struct Entry {
    uint32_t Signature;
    char Name[CERTSTORETABLE_NAME_SIZE + 1];
    uint32_t Removable;
    CertStoreInterface* Store; // holds a reference
};

} // namespace

struct CertStoreTable {
    Class Header;
    CriticalSection* Lock;
    // Name -> Entry*, keyed by a pointer to the entry's own name.
    HashTable* Names;
    Pool* Entries;
};

namespace {

Entry* FindLocked(CertStoreTable* table, const char* name) {
    uint64_t value = 0;
    if (HashTable_GetValue(table->Names, name, &value) != 1) return nullptr;
    auto* entry = reinterpret_cast<Entry*>(value);
    ASSERT_MSG(entry && entry->Signature == kEntrySignature, "Damaged certificate store table entry");
    return entry;
}

void DropLocked(CertStoreTable* table, Entry* entry) {
    HashTable_Remove(table->Names, entry->Name);
    CertStoreInterface_Release(&entry->Store);
    entry->Signature = 0;
    Pool_Free(table->Entries, &entry, sizeof(Entry));
}

void DropAll(CertStoreTable* table) {
    HashTableMember* member = nullptr;
    while (HashTable_MemberGetFirst(table->Names, &member) == 1 && member) {
        uint64_t value = 0;
        HashTable_MemberGetValue(table->Names, member, &value);
        DropLocked(table, reinterpret_cast<Entry*>(value));
    }
}

int64_t DeleteHandle(void** handle) {
    return CertStoreTable_Delete(reinterpret_cast<CertStoreTable**>(handle));
}

} // namespace

int64_t CertStoreTable_Create(CertStoreTable** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* table = static_cast<CertStoreTable*>(Memory_AllocZero(sizeof(CertStoreTable)));
    table->Header.ClassId = CERTSTORETABLE_CLASS_ID;
    table->Header.RefCount = 1;
    table->Header.Delete = DeleteHandle;
    CriticalSection_Create(&table->Lock);
    HashTable_Create(&table->Names, sizeof(const char*), kBuckets);
    HashTable_SetKeyAssignCallback(table->Names, nullptr, HashTable_StringPointerKeyAssign);
    HashTable_SetValueCallback(table->Names, nullptr, HashTable_StringValueWithoutCase);
    HashTable_SetCompareCallback(table->Names, nullptr, HashTable_StringPointerCompareWithoutCase);
    Pool_Create(&table->Entries);
    Pool_SetMemorySize(table->Entries, sizeof(Entry));
    Pool_SetChunkSize(table->Entries, kEntriesPerChunk);
    *handle = table;
    return 1;
}

int64_t CertStoreTable_Delete(CertStoreTable** handle) {
    ASSERT_POINTER(handle);
    CertStoreTable* table = *handle;
    CLASS_CHECK(table, CERTSTORETABLE_CLASS_ID);
    {
        CriticalSectionGuard guard(table->Lock);
        DropAll(table);
    }
    Pool_Delete(&table->Entries);
    HashTable_Delete(&table->Names);
    CriticalSection_Delete(&table->Lock);
    table->Header.ClassId = 0;
    Memory_Free(table, sizeof(CertStoreTable));
    *handle = nullptr;
    return 1;
}

int64_t CertStoreTable_Add(CertStoreTable* table, const char* name, uint32_t removable, CertStoreInterface* store) {
    CLASS_CHECK(table, CERTSTORETABLE_CLASS_ID);
    ASSERT_POINTER(name);
    CLASS_CHECK(store, CERTSTOREINTERFACE_CLASS_ID);
    // Looked up by the name as it will be kept, so that a long name finds its own entry again.
    char kept[CERTSTORETABLE_NAME_SIZE + 1];
    String_CopyLengthSafe(kept, (int32_t)sizeof(kept), name, CERTSTORETABLE_NAME_SIZE);
    CriticalSectionGuard guard(table->Lock);
    if (Entry* old = FindLocked(table, kept)) {
        if (!old->Removable) return 0;
        DropLocked(table, old);
    }
    auto* entry = static_cast<Entry*>(Pool_Alloc(table->Entries, sizeof(Entry)));
    entry->Signature = kEntrySignature;
    memcpy(entry->Name, kept, sizeof(kept));
    entry->Removable = removable ? 1 : 0;
    entry->Store = CertStoreInterface_AddRef(store);
    HashTable_Add(table->Names, entry->Name, reinterpret_cast<uint64_t>(entry));
    return 1;
}

int64_t CertStoreTable_Remove(CertStoreTable* table, const char* name) {
    CLASS_CHECK(table, CERTSTORETABLE_CLASS_ID);
    ASSERT_POINTER(name);
    char kept[CERTSTORETABLE_NAME_SIZE + 1];
    String_CopyLengthSafe(kept, (int32_t)sizeof(kept), name, CERTSTORETABLE_NAME_SIZE);
    CriticalSectionGuard guard(table->Lock);
    Entry* entry = FindLocked(table, kept);
    if (!entry || !entry->Removable) return 0;
    DropLocked(table, entry);
    return 1;
}

int64_t CertStoreTable_GetInterfaceHandle(CertStoreTable* table, const char* name, CertStoreInterface** store) {
    CLASS_CHECK(table, CERTSTORETABLE_CLASS_ID);
    ASSERT_POINTER(name);
    ASSERT_POINTER(store);
    *store = nullptr;
    char kept[CERTSTORETABLE_NAME_SIZE + 1];
    String_CopyLengthSafe(kept, (int32_t)sizeof(kept), name, CERTSTORETABLE_NAME_SIZE);
    CriticalSectionGuard guard(table->Lock);
    Entry* entry = FindLocked(table, kept);
    if (!entry) return 0;
    *store = CertStoreInterface_AddRef(entry->Store);
    return 1;
}

int64_t CertStoreTable_ReleaseInterfaceHandle(CertStoreTable* table, CertStoreInterface** store) {
    CLASS_CHECK(table, CERTSTORETABLE_CLASS_ID);
    ASSERT_POINTER(store);
    if (*store) CertStoreInterface_Release(store);
    return 1;
}

CLASS_BASICS(CertStoreTable, CertStoreTable, CERTSTORETABLE_CLASS_ID)
