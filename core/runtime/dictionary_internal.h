// Layout of dictionaries and items and the helpers shared by the dictionary's own source files;
// nothing outside core/runtime/dictionary*.cpp includes this.
#pragma once

#include <cstdint>

#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/pool.h"

// An item is a pool block; its handle is its address.
struct DictionaryItem {
    uint32_t ClassId;
    uint8_t Flags; // type in the low bits (read AND 7), 0x40 private, 0x80 boolean value
    char* Key;     // null for an unnamed item
    int32_t KeyLength;
    char* Value; // null when there is no text
    int32_t ValueLength;
    Dictionary* Child; // List and Dictionary items only
    DictionaryItem* Next;
    DictionaryItem* Prev;
};

// The item list head carries the item class id and is checked on every access.
struct DictionaryItemList {
    uint32_t ClassId;
    DictionaryItem* First;
    DictionaryItem* Last;
    uint32_t Count;
};

struct Dictionary {
    Class Header;
    const DictionaryVtbl* Vtbl;
    ClassPrint Print;
    uint32_t CaseSensitive;
    uint32_t PrivateKeys;
    uint32_t AllowDuplicates;
    uint32_t StringPool;
    uint32_t PoolChunkSize;
    Pool* DictionaryPool;
    Pool* ItemPool;
    Pool* StringPoolHandle;
    Dictionary* Parent;
    DictionaryItem* ParentItem;
    DictionaryItemList Items;
    CallbackBase ItemRemoveCallback;
    CallbackBase ItemKeyChangeCallback;
    CallbackBase ItemValueChangeCallback;
};

// Both checks report the caller's location, as every class check does.
#define DICTIONARY_ITEM_CHECK(item)                                                                          \
    do {                                                                                                     \
        const void* dictionary_item_check_ = (item);                                                         \
        if (!dictionary_item_check_) Debug_AbortInt(__FILE__, __LINE__, "Pointer is NULL\n");                \
        uint32_t dictionary_item_found_ = *static_cast<const uint32_t*>(dictionary_item_check_);             \
        if (dictionary_item_found_ != DICTIONARY_ITEM_CLASS_ID)                                              \
            Debug_AbortInt(                                                                                  \
                __FILE__, __LINE__, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",       \
                dictionary_item_check_, (uint32_t)DICTIONARY_ITEM_CLASS_ID, dictionary_item_found_);         \
    } while (0)

#define DICTIONARY_CHECK(dict)                                                                               \
    do {                                                                                                     \
        CLASS_CHECK((dict), DICTIONARY_CLASS_ID);                                                            \
        DICTIONARY_ITEM_CHECK(&(dict)->Items);                                                               \
    } while (0)

inline uint32_t DictionaryItem_Type(const DictionaryItem* item) {
    return item->Flags & 7u;
}

// Key and value texts: from the string pool when the dictionary uses one, else sized memory;
// always length + 1 bytes.
char* Dictionary_StringAlloc(Dictionary* dict, int32_t length);
void Dictionary_StringFree(Dictionary* dict, char** text, int32_t length);

// The delete function of the object header (root and child alike).
int64_t Dictionary_DeleteHandle(void** handle);

// Makes the root's missing pools (string, dictionary, item); a child never makes pools.
int64_t Dictionary_CreatePools(Dictionary* dict);
// 1 when the root of dict's tree has a key-change callback.
int64_t Dictionary_HasKeyChangeBubble(Dictionary* dict);
// Report a change at dict and at every ancestor that has the callback set.
void Dictionary_ItemRemoveBubble(Dictionary* dict, DictionaryItem* item);
void Dictionary_ItemKeyChangeBubble(Dictionary* dict, DictionaryItem* item, const char* oldKey);
void Dictionary_ItemValueChangeBubble(Dictionary* dict, DictionaryItem* item, const char* oldValue,
                                      int32_t oldLength);
// The key-change bubble with no old key for `item` and every item after it: list indexes moved.
void Dictionary_ListIndexBubble(Dictionary* dict, DictionaryItem* item);
