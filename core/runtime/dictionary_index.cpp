// The key index of a large dictionary: an open-addressing table from each distinct key to the
// first item (in list order) that holds it, so that a lookup by key costs a hash, not a scan.
#include <cstring>

#include "core/linux/platform.h"
#include "core/runtime/dictionary_internal.h"
#include "core/runtime/keyed_hash.h"
#include "core/runtime/memory.h"

namespace {

// The slot holds the key's text and length beside the item, so that a lookup reads the slot and
// the text without first reading the item.
struct Slot {
    uint32_t Hash;
    int32_t KeyLength;
    DictionaryItem* Item; // null: never used; kGone: emptied, probing goes on past it
    const char* Key;
};

// `length` is the key's stored length (up to its first NUL).
void Fill(Slot* slot, DictionaryItem* item, size_t length) {
    slot->Item = item;
    slot->Key = DictionaryItem_Key(item);
    slot->KeyLength = (int32_t)length;
}

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
    // Times the table was rebuilt under a fresh key after a long probe.
    uint32_t Reseeds;
    uint64_t Key[2]; // the hash key of this table
    Slot* Slots;
    DictionaryTree* Tree; // whose arena holds the table
};

namespace {

// An insert that lands this far from its home slot starts a rebuild. Under a keyed hash at most
// half full, a run this long is far too rare to happen by chance even at the largest size, so
// it only comes from keys chosen to collide, and a fresh key scatters them again.
constexpr uint32_t kLongProbe = 128;
// Rebuilds one table may make; past them the table keeps what it has rather than rebuild on
// every insert (with the hash keyed this is never reached by chance).
constexpr uint32_t kMaxReseeds = 8;

// Keys equal without case hash alike in a caseless dictionary.
uint32_t HashKey(const DictionaryIndex* index, const char* key, size_t length) {
    return KeyedHash_Text(index->Key, key, length, index->CaseLess != 0);
}

Slot* AllocSlots(DictionaryTree* tree, uint32_t capacity) {
    void* slots = DictionaryTree_Alloc(tree, (size_t)capacity * sizeof(Slot));
    memset(slots, 0, (size_t)capacity * sizeof(Slot));
    return static_cast<Slot*>(slots);
}

// A stored key counts up to its first NUL, as lookups compare it.
size_t StoredLength(const DictionaryItem* item) {
    return (size_t)DictionaryItem_KeyLength(item);
}

DictionaryIndex* Allocate(DictionaryTree* tree, uint32_t capacity, bool caseless) {
    DictionaryIndex* index =
        static_cast<DictionaryIndex*>(DictionaryTree_Alloc(tree, sizeof(DictionaryIndex)));
    memset(index, 0, sizeof(DictionaryIndex));
    index->Tree = tree;
    index->Capacity = capacity;
    index->CaseLess = caseless ? 1u : 0u;
    // Every new table starts from the process's key: documents cannot be made to collide
    // without it.
    index->Key[0] = KeyedHash_ProcessKey()[0];
    index->Key[1] = KeyedHash_ProcessKey()[1];
    index->Slots = AllocSlots(tree, capacity);
    return index;
}

void Free(DictionaryIndex* index) {
    DictionaryTree_Free(index->Tree, index->Slots, (size_t)index->Capacity * sizeof(Slot));
    DictionaryTree_Free(index->Tree, index, sizeof(DictionaryIndex));
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
        } else if (slot->Hash == hash &&
                   Dictionary_KeyTextEquals(slot->Key, slot->KeyLength, key, length, caseless)) {
            return slot;
        }
    }
}

// Moves every entry to a table of `capacity` slots, hashing each key again when the table's key
// has just changed; false when that would be too large.
bool Resize(DictionaryIndex* index, uint32_t capacity, bool rehash) {
    if (capacity > kMaxCapacity) return false;
    Slot* slots = AllocSlots(index->Tree, capacity);
    const uint32_t mask = capacity - 1;
    for (uint32_t i = 0; i < index->Capacity; i++) {
        Slot entry = index->Slots[i];
        if (!entry.Item || entry.Item == kGone) continue;
        if (rehash) entry.Hash = HashKey(index, entry.Key, StoredLength(entry.Item));
        uint32_t pos = entry.Hash & mask;
        while (slots[pos].Item) pos = (pos + 1) & mask;
        slots[pos] = entry;
    }
    DictionaryTree_Free(index->Tree, index->Slots, (size_t)index->Capacity * sizeof(Slot));
    index->Slots = slots;
    index->Capacity = capacity;
    index->Gone = 0;
    return true;
}

// Adds `item`, which `before` says comes before any other holder of its key (the build walks the
// list in order, so there it never does). False when the table cannot grow.
bool InsertHashed(DictionaryIndex* index, DictionaryItem* item, size_t length, uint32_t hash,
                  bool mayPrecede) {
    Slot* free = nullptr;
    Slot* slot = Probe(index, hash, DictionaryItem_Key(item), length, &free);
    if (slot) {
        index->Duplicates++;
        if (mayPrecede && DictionaryItem_Precedes(item, slot->Item)) Fill(slot, item, length);
        return true;
    }
    if (free->Item == kGone) index->Gone--;
    free->Hash = hash;
    Fill(free, item, length);
    index->Used++;
    const uint32_t distance = ((uint32_t)(free - index->Slots) - hash) & (index->Capacity - 1);
    // Past a quarter full the table doubles, else it is only cleared of emptied slots.
    const uint32_t wanted =
        (uint64_t)index->Used * 4 > index->Capacity ? index->Capacity * 2 : index->Capacity;
    // At most half full, counting emptied slots, keeps probe runs short.
    const bool crowded = (uint64_t)(index->Used + index->Gone) * 2 > index->Capacity;
    const bool reseed = distance >= kLongProbe && index->Reseeds < kMaxReseeds;
    if (!crowded && !reseed) return true;
    if (reseed) {
        index->Reseeds++;
        Platform_CryptFill(index->Key, (int32_t)sizeof(index->Key));
    }
    return Resize(index, crowded || wanted <= kMaxCapacity ? wanted : index->Capacity, reseed);
}

bool Insert(DictionaryIndex* index, DictionaryItem* item, bool mayPrecede) {
    const size_t length = StoredLength(item);
    return InsertHashed(index, item, length, HashKey(index, DictionaryItem_Key(item), length), mayPrecede);
}

uint32_t& TreeCount(Dictionary* dict) {
    return Dictionary_Tree(dict)->IndexCount;
}

bool Build(Dictionary* dict) {
    uint32_t capacity = kMinCapacity;
    while (capacity < kMaxCapacity && (uint64_t)capacity < (uint64_t)dict->Items.Count * 2) capacity *= 2;
    DictionaryIndex* index = Allocate(Dictionary_Tree(dict), capacity, dict->CaseSensitive != 1);
    // A large table is missed in the cache on nearly every insert: each key is hashed and its
    // slot fetched kAhead keys before it goes in, so that the misses overlap. A hash made under
    // a table key since replaced is made again.
    constexpr uint32_t kAhead = 8;
    struct Pending {
        DictionaryItem* Item;
        size_t Length;
        uint32_t Hash;
        uint32_t Reseeds;
    } queue[kAhead];
    uint32_t head = 0, queued = 0;
    const auto insertOldest = [&]() {
        Pending& p = queue[head];
        head = (head + 1) % kAhead;
        queued--;
        const uint32_t hash =
            p.Reseeds == index->Reseeds ? p.Hash : HashKey(index, DictionaryItem_Key(p.Item), p.Length);
        return InsertHashed(index, p.Item, p.Length, hash, false);
    };
    bool ok = true;
    for (DictionaryItem* item = dict->Items.First; ok && item; item = item->Next) {
        const char* key = DictionaryItem_Key(item);
        if (!key) continue;
        if (queued == kAhead && !insertOldest()) ok = false;
        const size_t length = strlen(key);
        const uint32_t hash = HashKey(index, key, length);
        __builtin_prefetch(&index->Slots[hash & (index->Capacity - 1)], 1);
        queue[(head + queued) % kAhead] = {item, length, hash, index->Reseeds};
        queued++;
    }
    while (ok && queued) ok = insertOldest();
    if (!ok) {
        Free(index);
        return false;
    }
    Dictionary_SetIndex(dict, index);
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
    if (!Dictionary_Index(dict) && dict->Items.Count >= kDictionaryIndexThreshold) Build(dict);
}

void Dictionary_IndexDrop(Dictionary* dict) {
    if (!Dictionary_Index(dict)) return;
    Free(Dictionary_Index(dict));
    Dictionary_SetIndex(dict, nullptr);
    TreeCount(dict)--;
}

void Dictionary_IndexRebuild(Dictionary* dict) {
    if (!Dictionary_Index(dict)) return;
    Dictionary_IndexDrop(dict);
    Build(dict);
}

void Dictionary_IndexAdd(Dictionary* dict, DictionaryItem* item) {
    DictionaryIndex* index = Dictionary_Index(dict);
    if (!index || !DictionaryItem_Key(item)) return;
    // An appended item follows every other holder of its key.
    if (!Insert(index, item, item != dict->Items.Last)) Dictionary_IndexDrop(dict);
}

void Dictionary_IndexRemove(Dictionary* dict, DictionaryItem* item) {
    DictionaryIndex* index = Dictionary_Index(dict);
    if (!index || !DictionaryItem_Key(item)) return;
    const size_t length = StoredLength(item);
    const bool caseless = index->CaseLess != 0;
    Slot* slot = Probe(index, HashKey(index, DictionaryItem_Key(item), length), DictionaryItem_Key(item),
                       length, nullptr);
    if (!slot) return;
    if (slot->Item != item) {
        // A later holder of a key held earlier too.
        index->Duplicates--;
        return;
    }
    if (index->Duplicates) {
        for (DictionaryItem* next = item->Next; next; next = next->Next) {
            if (DictionaryItem_KeyEquals(next, DictionaryItem_Key(item), length, caseless)) {
                Fill(slot, next, length);
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
    DictionaryIndex* index = Dictionary_Index(dict);
    if (!index) return false;
    Slot* slot = Probe(index, HashKey(index, key, length), key, length, nullptr);
    *first = slot ? slot->Item : nullptr;
    return true;
}

bool Dictionary_IndexHasDuplicates(const Dictionary* dict) {
    return Dictionary_Index(dict) && Dictionary_Index(dict)->Duplicates != 0;
}

uint32_t Dictionary_IndexLongestProbe(const Dictionary* dict) {
    const DictionaryIndex* index = Dictionary_Index(dict);
    if (!index) return 0;
    const uint32_t mask = index->Capacity - 1;
    uint32_t longest = 0;
    for (uint32_t pos = 0; pos < index->Capacity; pos++) {
        const Slot& slot = index->Slots[pos];
        if (!slot.Item || slot.Item == kGone) continue;
        const uint32_t distance = (pos - slot.Hash) & mask;
        if (distance > longest) longest = distance;
    }
    return longest;
}
