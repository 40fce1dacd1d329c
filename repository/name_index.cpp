// Open-addressing index of a list's names. The names come from manifests: they are hashed under
// the process's secret key, so that names chosen to collide cannot pile into one probe run.
#include "repository/name_index.h"

#include <cstring>

#include "core/runtime/keyed_hash.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

constexpr uint32_t kMinCapacity = 64;

uint32_t HashName(const NameIndex* index, const char* name, size_t length) {
    return KeyedHash_Text(KeyedHash_ProcessKey(), name, length, index->CaseLess);
}

bool SameName(const NameIndex* index, const char* a, const char* b) {
    return index->CaseLess ? String_CompareWithoutCase(a, b) != 0 : strcmp(a, b) == 0;
}

uint64_t SlotOf(uint32_t hash, uint32_t number) {
    return (uint64_t)hash << 32 | (uint64_t)(number + 1);
}

// The slot holding a name equal to `name`, or the empty slot where it would go.
uint64_t* Probe(const NameIndex* index, uint32_t hash, const char* name) {
    const uint32_t mask = index->Capacity - 1;
    for (uint32_t pos = hash & mask;; pos = (pos + 1) & mask) {
        uint64_t* slot = &index->Slots[pos];
        if (!*slot) return slot;
        if ((uint32_t)(*slot >> 32) == hash &&
            SameName(index, index->Name(index->Context, (uint32_t)*slot - 1), name))
            return slot;
    }
}

void FreeSlots(NameIndex* index) {
    if (index->Slots) Memory_Free(index->Slots, (int32_t)(sizeof(uint64_t) * index->Capacity));
    index->Slots = nullptr;
    index->Capacity = 0;
}

} // namespace

void NameIndex_Init(NameIndex* index, bool caseless, NameIndexNameFunc name, void* context) {
    memset(index, 0, sizeof(NameIndex));
    index->CaseLess = caseless;
    index->Name = name;
    index->Context = context;
}

void NameIndex_Free(NameIndex* index) {
    FreeSlots(index);
}

bool NameIndex_Build(NameIndex* index, uint32_t count, uint32_t* duplicate) {
    if (duplicate) *duplicate = count;
    if (count > kNameIndexMaxNames) {
        FreeSlots(index);
        return false;
    }
    // At most half full, so that probe runs stay short; a table kept from an earlier build is
    // reused while it is large enough and not far too large.
    uint32_t capacity = kMinCapacity;
    while (capacity < count * 2) capacity <<= 1;
    if (index->Capacity < capacity || index->Capacity > capacity * 4) {
        FreeSlots(index);
        index->Slots = static_cast<uint64_t*>(Memory_Alloc((int32_t)(sizeof(uint64_t) * capacity)));
        index->Capacity = capacity;
    }
    memset(index->Slots, 0, sizeof(uint64_t) * index->Capacity);
    // A large table is missed in the cache on nearly every insert: each name is hashed and its
    // slot fetched kAhead names before it goes in, so that the misses overlap. Inserts still
    // happen in list order, which keeps the first holder of a name.
    constexpr uint32_t kAhead = 16;
    struct Pending {
        const char* Name;
        uint32_t Number;
        uint32_t Hash;
    } queue[kAhead];
    uint32_t head = 0, queued = 0;
    bool seenDuplicate = false;
    const auto insertOldest = [&]() {
        const Pending& p = queue[head];
        head = (head + 1) % kAhead;
        queued--;
        uint64_t* slot = Probe(index, p.Hash, p.Name);
        if (!*slot) {
            *slot = SlotOf(p.Hash, p.Number);
        } else if (!seenDuplicate) {
            seenDuplicate = true;
            if (duplicate) *duplicate = p.Number;
        }
    };
    const uint32_t mask = index->Capacity - 1;
    for (uint32_t number = 0; number < count; number++) {
        const char* name = index->Name(index->Context, number);
        if (!name) continue;
        if (queued == kAhead) insertOldest();
        const uint32_t hash = HashName(index, name, strlen(name));
        __builtin_prefetch(&index->Slots[hash & mask], 1);
        queue[(head + queued) % kAhead] = {name, number, hash};
        queued++;
    }
    while (queued) insertOldest();
    return true;
}

bool NameIndex_Find(const NameIndex* index, const char* key, uint32_t* number) {
    *number = 0;
    if (!index->Capacity || !key) return false;
    const uint64_t* slot = Probe(index, HashName(index, key, strlen(key)), key);
    if (!*slot) return false;
    *number = (uint32_t)*slot - 1;
    return true;
}
