// The key index of a large dictionary: an open-addressing table from each distinct key to the
// first item (in list order) that holds it, so that a lookup by key costs a hash, not a scan.
#include <cstring>

#include "core/runtime/dictionary_internal.h"
#include "core/runtime/memory.h"

namespace {

struct Slot {
    uint32_t Hash;
    DictionaryItem* Item; // null: never used; kGone: emptied, probing goes on past it
};

DictionaryItem* const kGone = reinterpret_cast<DictionaryItem*>(uintptr_t{1});

// The smallest table, and the largest: sized memory takes an int32_t size, so a container past
// about 2^26 distinct keys goes back to scanning rather than failing.
constexpr uint32_t kMinCapacity = 32;
constexpr uint32_t kMaxCapacity = 1u << 26;

} // namespace

struct DictionaryIndex {
    uint32_t Capacity; // a power of two
    uint32_t Used;     // distinct keys
    uint32_t Gone;     // emptied slots
    // Items whose key an earlier item of the list already holds; while it is 0 every key
    // names one item, and a lookup from a start item needs no scan.
    uint32_t Duplicates;
    uint32_t CaseLess;
    Slot* Slots;
};

namespace {

uint64_t FoldWord(uint64_t x) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    const uint64_t low = x & (0x7F * ones);
    const uint64_t fromA = low + (0x80 - 'A') * ones;     // bit 7 set where byte >= 'A'
    const uint64_t pastZ = low + (0x80 - 'Z' - 1) * ones; // bit 7 set where byte > 'Z'
    const uint64_t upper = fromA & ~pastZ & ~x & (0x80 * ones);
    return x | (upper >> 2);
}

// Eight bytes at a time; ASCII letters folded to lower case for a caseless dictionary, so that
// keys equal without case hash alike.
uint32_t HashKey(const char* key, size_t length, bool caseless) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ (uint64_t)length;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t w;
        memcpy(&w, key + i, 8);
        if (caseless) w = FoldWord(w);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 29;
    }
    if (i < length) {
        uint64_t w = 0;
        memcpy(&w, key + i, length - i);
        if (caseless) w = FoldWord(w);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    }
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return (uint32_t)h;
}

// A stored key counts up to its first NUL, as lookups compare it.
size_t StoredLength(const DictionaryItem* item) {
    const void* nul = memchr(item->Key, 0, (size_t)item->KeyLength);
    return nul ? (size_t)(static_cast<const char*>(nul) - item->Key) : (size_t)item->KeyLength;
}

DictionaryIndex* Allocate(uint32_t capacity, bool caseless) {
    DictionaryIndex* index = static_cast<DictionaryIndex*>(Memory_AllocZero(sizeof(DictionaryIndex)));
    index->Capacity = capacity;
    index->CaseLess = caseless ? 1u : 0u;
    index->Slots = static_cast<Slot*>(Memory_AllocZero((size_t)capacity * sizeof(Slot)));
    return index;
}

void Free(DictionaryIndex* index) {
    Memory_Free(index->Slots, (size_t)index->Capacity * sizeof(Slot));
    Memory_Free(index, sizeof(DictionaryIndex));
}

// The slot holding `key`, or null; `free` receives the first reusable slot on the probe path.
Slot* Probe(DictionaryIndex* index, uint32_t hash, const char* key, size_t length, Slot** free) {
    const uint32_t mask = index->Capacity - 1;
    const bool caseless = index->CaseLess != 0;
    Slot* reusable = nullptr;
    for (uint32_t pos = hash & mask;; pos = (pos + 1) & mask) {
        Slot* slot = &index->Slots[pos];
        if (!slot->Item) {
            if (free) *free = reusable ? reusable : slot;
            return nullptr;
        }
        if (slot->Item == kGone) {
            if (!reusable) reusable = slot;
        } else if (slot->Hash == hash && DictionaryItem_KeyEquals(slot->Item, key, length, caseless)) {
            return slot;
        }
    }
}

// Moves every entry to a table of `capacity` slots; false when that would be too large.
bool Resize(DictionaryIndex* index, uint32_t capacity) {
    if (capacity > kMaxCapacity) return false;
    Slot* slots = static_cast<Slot*>(Memory_AllocZero((size_t)capacity * sizeof(Slot)));
    const uint32_t mask = capacity - 1;
    for (uint32_t i = 0; i < index->Capacity; i++) {
        const Slot& old = index->Slots[i];
        if (!old.Item || old.Item == kGone) continue;
        uint32_t pos = old.Hash & mask;
        while (slots[pos].Item) pos = (pos + 1) & mask;
        slots[pos] = old;
    }
    Memory_Free(index->Slots, (size_t)index->Capacity * sizeof(Slot));
    index->Slots = slots;
    index->Capacity = capacity;
    index->Gone = 0;
    return true;
}

// Adds `item`, which `before` says comes before any other holder of its key (the build walks the
// list in order, so there it never does). False when the table cannot grow.
bool Insert(DictionaryIndex* index, DictionaryItem* item, bool mayPrecede) {
    const size_t length = StoredLength(item);
    const uint32_t hash = HashKey(item->Key, length, index->CaseLess != 0);
    Slot* free = nullptr;
    Slot* slot = Probe(index, hash, item->Key, length, &free);
    if (slot) {
        index->Duplicates++;
        if (mayPrecede && DictionaryItem_Precedes(item, slot->Item)) slot->Item = item;
        return true;
    }
    if (free->Item == kGone) index->Gone--;
    free->Hash = hash;
    free->Item = item;
    index->Used++;
    // At most half full, counting emptied slots, keeps probe runs short.
    if ((uint64_t)(index->Used + index->Gone) * 2 > index->Capacity) {
        const uint32_t wanted = (uint64_t)index->Used * 4 > index->Capacity ? index->Capacity * 2 : index->Capacity;
        if (!Resize(index, wanted)) return false;
    }
    return true;
}

uint32_t& TreeCount(Dictionary* dict) {
    while (dict->Parent) dict = dict->Parent;
    return dict->TreeIndexCount;
}

bool Build(Dictionary* dict) {
    uint32_t capacity = kMinCapacity;
    while (capacity < kMaxCapacity && (uint64_t)capacity < (uint64_t)dict->Items.Count * 2) capacity *= 2;
    DictionaryIndex* index = Allocate(capacity, dict->CaseSensitive != 1);
    for (DictionaryItem* item = dict->Items.First; item; item = item->Next) {
        if (item->Key && !Insert(index, item, false)) {
            Free(index);
            return false;
        }
    }
    dict->Index = index;
    TreeCount(dict)++;
    return true;
}

} // namespace

bool DictionaryItem_Precedes(const DictionaryItem* a, const DictionaryItem* b) {
    // Both ways at once: the cost is the distance between them or to the nearer end.
    const DictionaryItem* ahead = a->Next;
    const DictionaryItem* behind = a->Prev;
    for (;;) {
        if (ahead == b) return true;
        if (behind == b || !ahead) return false;
        if (!behind) return true;
        ahead = ahead->Next;
        behind = behind->Prev;
    }
}

void Dictionary_IndexMaybeBuild(Dictionary* dict) {
    if (!dict->Index && dict->Items.Count >= kDictionaryIndexThreshold) Build(dict);
}

void Dictionary_IndexDrop(Dictionary* dict) {
    if (!dict->Index) return;
    Free(dict->Index);
    dict->Index = nullptr;
    TreeCount(dict)--;
}

void Dictionary_IndexRebuild(Dictionary* dict) {
    if (!dict->Index) return;
    Dictionary_IndexDrop(dict);
    Build(dict);
}

void Dictionary_IndexAdd(Dictionary* dict, DictionaryItem* item) {
    DictionaryIndex* index = dict->Index;
    if (!index || !item->Key) return;
    // An appended item follows every other holder of its key.
    if (!Insert(index, item, item != dict->Items.Last)) Dictionary_IndexDrop(dict);
}

void Dictionary_IndexRemove(Dictionary* dict, DictionaryItem* item) {
    DictionaryIndex* index = dict->Index;
    if (!index || !item->Key) return;
    const size_t length = StoredLength(item);
    const bool caseless = index->CaseLess != 0;
    Slot* slot = Probe(index, HashKey(item->Key, length, caseless), item->Key, length, nullptr);
    if (!slot) return;
    if (slot->Item != item) {
        // A later holder of a key held earlier too.
        index->Duplicates--;
        return;
    }
    if (index->Duplicates) {
        for (DictionaryItem* next = item->Next; next; next = next->Next) {
            if (DictionaryItem_KeyEquals(next, item->Key, length, caseless)) {
                slot->Item = next;
                index->Duplicates--;
                return;
            }
        }
    }
    slot->Item = kGone;
    index->Used--;
    index->Gone++;
}

bool Dictionary_IndexFind(Dictionary* dict, const char* key, size_t length, DictionaryItem** first) {
    DictionaryIndex* index = dict->Index;
    if (!index) return false;
    Slot* slot = Probe(index, HashKey(key, length, index->CaseLess != 0), key, length, nullptr);
    *first = slot ? slot->Item : nullptr;
    return true;
}

bool Dictionary_IndexHasDuplicates(const Dictionary* dict) {
    return dict->Index && dict->Index->Duplicates != 0;
}
