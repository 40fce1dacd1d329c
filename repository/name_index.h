// An index from the names of a manifest's list to their numbers in it: open addressing over
// 8-byte slots, built in one pass over the whole list, so that a list of a million names costs
// per name about what one of ten thousand does.
#pragma once

#include <cstdint>

// The name of entry `number` of the caller's list (a text up to its first NUL), or null for an
// entry without one, which is left out of the index.
typedef const char* (*NameIndexNameFunc)(void* context, uint32_t number);

struct NameIndex {
    // High 32 bits: the name's keyed hash; low 32 bits: its number plus one; 0: an empty slot.
    uint64_t* Slots;
    uint32_t Capacity; // a power of two, or 0 before the first build
    bool CaseLess;
    NameIndexNameFunc Name;
    void* Context;
};

// The largest list an index takes: its table must stay within what one sized allocation holds.
constexpr uint32_t kNameIndexMaxNames = 1u << 26;

// An empty index over the names `name` gives, compared without ASCII case when `caseless`.
void NameIndex_Init(NameIndex* index, bool caseless, NameIndexNameFunc name, void* context);
void NameIndex_Free(NameIndex* index);
// Indexes entries 0 to count - 1, replacing what the index held; where names repeat, the first
// in list order is kept. `duplicate`, when given, receives the first entry in list order whose
// name an earlier entry holds (count when none). False, with the index empty, when count passes
// kNameIndexMaxNames.
bool NameIndex_Build(NameIndex* index, uint32_t count, uint32_t* duplicate);
// The number of the first entry holding `key`; false when none does.
bool NameIndex_Find(const NameIndex* index, const char* key, uint32_t* number);
