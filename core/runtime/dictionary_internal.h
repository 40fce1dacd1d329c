// Layout of dictionaries and items and the helpers shared by the dictionary's own source files;
// nothing outside core/runtime/dictionary*.cpp includes this.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/dictionary.h"

// An item is a block of its tree's arena; its handle is its address.
struct DictionaryItem {
    uint32_t ClassId;
    // Type in the low bits (read AND 7), 0x08 and 0x10 shared texts, 0x20 text in the item,
    // 0x40 private, 0x80 boolean value.
    union {
        struct {
            uint32_t Flags : 8;
            // The key's text is kept in the key field itself (KeyBytes).
            uint32_t InlineKey : 1;
            // The value text's length, or kDictionaryLongText when it is kept in front of the
            // text; read it through DictionaryItem_Length.
            uint32_t StoredLength : 23;
        };
        // The three fields as one word, for a writer that makes them at once (a field written
        // alone and then read back with its neighbours would stall the store).
        uint32_t Bits;
    };
    // Null for an unnamed item. A key ends at its first NUL (its length is its strlen); one of
    // 1 to kDictionaryInlineText bytes is kept in place, so the field is never null for it. Read
    // the text through DictionaryItem_Key.
    union {
        char* Key;
        char KeyBytes[8];
    };
    // A scalar holds its text here (null when there is none), or a text of up to
    // kDictionaryInlineText bytes in place; a List or Dictionary holds its child, and the rare
    // text of a container is kept in its child's extra part. Read them through
    // DictionaryItem_Child and DictionaryItem_Text, which look at the type and the flags.
    union {
        char* Value;
        Dictionary* Container;
        char Inline[8];
    };
    DictionaryItem* Next;
    DictionaryItem* Prev;
};

// The longest value or key text kept in the item itself (with its NUL in the last byte).
constexpr int32_t kDictionaryInlineText = 7;
// Lengths from this one on are kept in the 8 bytes in front of the text.
constexpr uint32_t kDictionaryLongText = 0x7FFFFF;

// The item list head carries the item class id and is checked on every access.
struct DictionaryItemList {
    uint32_t ClassId;
    uint32_t Count;
    DictionaryItem* First;
    DictionaryItem* Last;
};

struct DictionaryIndex;
struct DictionaryTree;

// What few containers use, made on first use: the print block and the change callbacks.
struct DictionaryExtra {
    ClassPrint Print;
    CallbackBase ItemRemoveCallback;
    CallbackBase ItemKeyChangeCallback;
    CallbackBase ItemValueChangeCallback;
    // The text of the item holding this container (its length is DictionaryItem_Length of the item).
    char* HolderText;
};

struct Dictionary {
    // The common object header. A child container has no instance id of its own (it answers its
    // root's), so the id's bytes hold its links instead: parent, parent item, tree and index,
    // read through Dictionary_Parent and its neighbours below. A root keeps its id there, and
    // its tree and index in the DictionaryRoot that follows it.
    Class Header;
    DictionaryItemList Items;
    // Print block and callbacks; null until one is set or printed through.
    DictionaryExtra* Extra;
    // The settings, each as set (a value past 0xFFFF is kept as 0xFFFF): every container of a
    // document carries them, so they are kept small.
    uint16_t CaseSensitive;
    uint16_t PrivateKeys;
    uint16_t AllowDuplicates;
    uint16_t StringPool;
};

// What only a root holds, right behind it.
struct DictionaryRoot {
    // The arena and bookkeeping of the whole tree (made by the root's first insert) and shared by
    // every child.
    DictionaryTree* Tree;
    // Keys to items, made once the container holds kDictionaryIndexThreshold items and kept in
    // step with every change of keys or items from then on; null below that size.
    DictionaryIndex* Index;
};

// The delete function of a child's header, which also tells a child from a root.
int64_t Dictionary_DeleteChildHandle(void** handle);

inline bool Dictionary_IsChild(const Dictionary* dict) {
    return dict->Header.Delete == Dictionary_DeleteChildHandle;
}

// Offsets of a child's links in its header's id bytes.
constexpr size_t kDictionaryLinkParent = 0;
constexpr size_t kDictionaryLinkParentItem = 8;
constexpr size_t kDictionaryLinkTree = 16;
constexpr size_t kDictionaryLinkIndex = 24;
static_assert(kDictionaryLinkIndex + 8 <= sizeof(Class::InstanceId), "the links must fit the id bytes");

template <typename T>
inline T Dictionary_Link(const Dictionary* dict, size_t at) {
    T value;
    memcpy(&value, dict->Header.InstanceId + at, sizeof(value));
    return value;
}

template <typename T>
inline void Dictionary_SetLink(Dictionary* dict, size_t at, T value) {
    memcpy(dict->Header.InstanceId + at, &value, sizeof(value));
}

inline DictionaryRoot* Dictionary_RootPart(const Dictionary* dict) {
    return reinterpret_cast<DictionaryRoot*>(const_cast<Dictionary*>(dict) + 1);
}

// The parent container and the item that holds this one; null for a root.
inline Dictionary* Dictionary_Parent(const Dictionary* dict) {
    return Dictionary_IsChild(dict) ? Dictionary_Link<Dictionary*>(dict, kDictionaryLinkParent) : nullptr;
}

inline DictionaryItem* Dictionary_ParentItem(const Dictionary* dict) {
    return Dictionary_IsChild(dict) ? Dictionary_Link<DictionaryItem*>(dict, kDictionaryLinkParentItem) : nullptr;
}

// The tree's arena and bookkeeping (null until a root's first insert).
inline DictionaryTree* Dictionary_Tree(const Dictionary* dict) {
    return Dictionary_IsChild(dict) ? Dictionary_Link<DictionaryTree*>(dict, kDictionaryLinkTree)
                                    : Dictionary_RootPart(dict)->Tree;
}

inline DictionaryIndex* Dictionary_Index(const Dictionary* dict) {
    return Dictionary_IsChild(dict) ? Dictionary_Link<DictionaryIndex*>(dict, kDictionaryLinkIndex)
                                    : Dictionary_RootPart(dict)->Index;
}

inline void Dictionary_SetIndex(Dictionary* dict, DictionaryIndex* index) {
    if (Dictionary_IsChild(dict))
        Dictionary_SetLink(dict, kDictionaryLinkIndex, index);
    else
        Dictionary_RootPart(dict)->Index = index;
}

// A setting as a container keeps it.
inline uint16_t Dictionary_Setting(uint32_t value) {
    return value > 0xFFFFu ? (uint16_t)0xFFFF : (uint16_t)value;
}

// A key written with a leading '#' or '.' names a private item under the rest of the key. A key
// that is the mark alone has no rest to name: it is a key of its own, so that "#", "." and ""
// stay three names instead of one empty private one.
inline bool Dictionary_KeyHasPrivateMark(const Dictionary* dict, const char* key, int32_t length) {
    return dict->PrivateKeys == 1 && key && length >= 2 && (key[0] == '.' || key[0] == '#');
}
// The same for a terminated key or path.
inline bool Dictionary_TextHasPrivateMark(const Dictionary* dict, const char* text) {
    return dict->PrivateKeys == 1 && (text[0] == '.' || text[0] == '#') && text[1] != 0;
}

// The first item from `start` (or the first) whose stored key is exactly the `length` bytes of
// `key` (case rule): no private mark taken off, no "[n]" taken as a position. How a key taken
// from a stored item is found again.
int64_t Dictionary_FindPlainKey(Dictionary* dict, const char* key, size_t length, DictionaryItem* start,
                                DictionaryItem** item);

// ---- The tree's arena (dictionary_arena.cpp) --------------------------------------------------

// Items, child containers, keys, texts and indexes of one tree are carved from large blocks
// without a guard or a record each; the root's release drops the blocks in one pass without
// visiting the items. Freed blocks are kept for reuse by size; texts too large for the blocks
// come from the general heap, recorded so that the release frees them too.
struct DictionaryTree {
    uint8_t* Cursor;
    // The end of the room handed out from: the current block's end, or in a large block the end
    // of the part made present so far (BlockEnd is the block's own end).
    uint8_t* End;
    uint8_t* BlockEnd;
    struct DictionaryArenaBlock* Blocks;
    struct DictionaryArenaLarge* Large;
    uint32_t BlockCount;
    uint32_t NextBlockBytes;
    uint32_t PoolChunkSize;
    // The indexes in the whole tree.
    uint32_t IndexCount;
    // Some child of the tree once had a remove callback set (its removals are reported even when
    // the tree is dropped whole).
    uint32_t RemoveWatched;
    // Some container of the tree once had a key- or value-change callback set.
    uint32_t ChangeWatched;
    // Texts the loader has stored, and once there are many, its table of short texts (keys and
    // values) that later items of the tree share rather than copy.
    uint32_t LoadedItems;
    struct DictionarySharedText* Shared;
    void* FreeLists[40];
};

DictionaryTree* DictionaryTree_Create(uint32_t chunkSize);
// Frees every block of the tree and the tree itself.
void DictionaryTree_Delete(DictionaryTree** tree);
// Frees every block and keeps the tree (and its settings) for reuse.
void DictionaryTree_Clear(DictionaryTree* tree);
// 8-byte aligned, not zeroed; `align16` asks for 16-byte alignment.
void* DictionaryTree_Alloc(DictionaryTree* tree, size_t size, bool align16 = false);
void DictionaryTree_Free(DictionaryTree* tree, void* block, size_t size);
// The bytes a block of `size` takes (its size class), or 0 when it comes from the general heap.
size_t DictionaryTree_BlockBytes(size_t size);
// The same, worked out in line for the common small sizes.
inline size_t DictionaryTree_SmallBlockBytes(size_t size) {
    return size - 1 < 256 ? (size + 7) & ~size_t{7} : DictionaryTree_BlockBytes(size);
}
// `bytes` (a sum of DictionaryTree_BlockBytes) of fresh room in one piece, never from the freed
// blocks: several blocks allocated at once, each freed on its own later with its own size.
void* DictionaryTree_Carve(DictionaryTree* tree, size_t bytes);
// Blocks held (arena blocks and general-heap blocks).
uint32_t DictionaryTree_BlockCount(const DictionaryTree* tree);

// The root's tree, made when missing (a child always has its root's).
DictionaryTree* Dictionary_EnsureTree(Dictionary* dict);
// The container's extra part, made when missing.
DictionaryExtra* Dictionary_EnsureExtra(Dictionary* dict);
// Frees the extra part.
void Dictionary_DropExtra(Dictionary* dict);

// Item flags the dictionary keeps for itself: the key or the value text is one the loader shares
// between items, freed only with the tree.
constexpr uint8_t DICTIONARY_ITEM_FLAG_SHARED_KEY = 0x08;
constexpr uint8_t DICTIONARY_ITEM_FLAG_SHARED_VALUE = 0x10;
// The value text is kept in the item's own value field.
constexpr uint8_t DICTIONARY_ITEM_FLAG_INLINE_VALUE = 0x20;

// A short text of the tree equal to `length` bytes of `text`, which the caller marks shared; null
// when the loader does not share texts of that length (yet).
char* DictionaryTree_SharedText(DictionaryTree* tree, const char* text, int32_t length, int32_t longest);

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

inline bool DictionaryItem_IsContainer(const DictionaryItem* item) {
    const uint32_t type = DictionaryItem_Type(item);
    return type == DICTIONARY_TYPE_LIST || type == DICTIONARY_TYPE_DICTIONARY;
}

// A List or Dictionary item's child; null for any other item.
inline Dictionary* DictionaryItem_Child(const DictionaryItem* item) {
    return DictionaryItem_IsContainer(item) ? item->Container : nullptr;
}

// Where the item's text pointer is kept: in the item, or in its child's extra part (made when
// `make`; null when missing and not made).
char** DictionaryItem_TextSlot(DictionaryItem* item, bool make);

// The item's stored text (null when there is none); its length is DictionaryItem_Length.
inline const char* DictionaryItem_Text(const DictionaryItem* item) {
    if (!DictionaryItem_IsContainer(item)) {
        if (item->Flags & DICTIONARY_ITEM_FLAG_INLINE_VALUE) return item->Inline;
        return item->Value;
    }
    const Dictionary* child = item->Container;
    return child && child->Extra ? child->Extra->HolderText : nullptr;
}

// The length of the item's stored text (0 when there is none).
inline int32_t DictionaryItem_Length(const DictionaryItem* item) {
    if (item->StoredLength != kDictionaryLongText) return (int32_t)item->StoredLength;
    // A long text is never kept in the item.
    const char* text = DictionaryItem_IsContainer(item) ? item->Container->Extra->HolderText : item->Value;
    int32_t length;
    memcpy(&length, text - 8, sizeof(length));
    return length;
}

// The key's text; null for an unnamed item.
inline char* DictionaryItem_Key(const DictionaryItem* item) {
    return item->InlineKey ? const_cast<char*>(item->KeyBytes) : item->Key;
}

// The key's length (0 for an unnamed item).
inline int32_t DictionaryItem_KeyLength(const DictionaryItem* item) {
    return item->Key ? (int32_t)strlen(DictionaryItem_Key(item)) : 0;
}

// The word of Bits that holds these fields.
inline uint32_t DictionaryItem_MakeBits(uint32_t flags, bool inlineKey, uint32_t storedLength) {
    return (flags & 0xFFu) | (inlineKey ? 1u << 8 : 0u) | storedLength << 9;
}

// Up to 8 bytes of `bytes` (zeros when null) in one word, in memory order, read without a byte
// past them; length 0 to 8.
inline uint64_t Dictionary_ShortWord(const char* bytes, int32_t length) {
    uint64_t word = 0;
    if (!bytes) return 0;
    if (length >= 4) {
        uint32_t head, tail;
        memcpy(&head, bytes, 4);
        memcpy(&tail, bytes + length - 4, 4);
        word = (uint64_t)head | (uint64_t)tail << (8 * (length - 4));
    } else {
        for (int32_t i = 0; i < length; i++) word |= (uint64_t)(uint8_t)bytes[i] << (8 * i);
    }
    return word;
}

// Stores `length` (>= 1, without a NUL) bytes of `key` as the item's key, which must be empty: in
// the item when short, else from the tree's arena.
void DictionaryItem_StoreKey(Dictionary* dict, DictionaryItem* item, const char* key, int32_t length);

// Stores `length` bytes of `bytes` (zeros when null) as the item's value text, which must be
// empty: in the item when short and not a container's, else from the tree's arena. length >= 1.
void DictionaryItem_StoreText(Dictionary* dict, DictionaryItem* item, const char* bytes, int32_t length);

// Key and value texts, from the tree's arena: always length + 1 bytes.
char* Dictionary_StringAlloc(Dictionary* dict, int32_t length);
void Dictionary_StringFree(Dictionary* dict, char** text, int32_t length);
// Value texts: the same, with the length kept in front of a text of kDictionaryLongText bytes or more.
char* Dictionary_TextAlloc(Dictionary* dict, int32_t length);
void Dictionary_TextFree(Dictionary* dict, char* text, int32_t length);
// Drops the item's key, or its text (in the item or its child's extra part), unless shared; the
// item is left without it.
void DictionaryItem_FreeKey(Dictionary* dict, DictionaryItem* item);
void DictionaryItem_FreeText(Dictionary* dict, DictionaryItem* item);

// A new child container for `item` (not yet set on it), with the settings of `dict`; in `block`
// when given (room for a container from the tree's arena).
Dictionary* Dictionary_CreateChild(Dictionary* dict, DictionaryItem* item, void* block = nullptr);

// The delete function of the object header (root and child alike).
int64_t Dictionary_DeleteHandle(void** handle);

// 1 when the root of dict's tree has a key-change callback.
int64_t Dictionary_HasKeyChangeBubble(Dictionary* dict);
// Report a change at dict and at every ancestor that has the callback set.
void Dictionary_ItemRemoveBubble(Dictionary* dict, DictionaryItem* item);
void Dictionary_ItemKeyChangeBubble(Dictionary* dict, DictionaryItem* item, const char* oldKey);
void Dictionary_ItemValueChangeBubble(Dictionary* dict, DictionaryItem* item, const char* oldValue,
                                      int32_t oldLength);
// The key-change bubble with no old key for `item` and every item after it: list indexes moved.
void Dictionary_ListIndexBubble(Dictionary* dict, DictionaryItem* item);

// Equal as NUL-terminated texts (exactly, or ASCII without case), with the stored length as a
// cheap first test: a stored key shorter than `key` cannot be equal. A stored key is compared up
// to its first NUL.
inline bool Dictionary_KeyTextEquals(const char* stored, int32_t storedLength, const char* key, size_t length,
                                     bool caseless) {
    if (!stored || (size_t)storedLength < length || stored[length] != 0) return false;
    if (!caseless) return length == 0 || memcmp(stored, key, length) == 0;
    for (size_t i = 0; i < length; i++) {
        unsigned char a = (unsigned char)stored[i], b = (unsigned char)key[i];
        if (a >= 'A' && a <= 'Z') a = (unsigned char)(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = (unsigned char)(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// The same for a stored key whose length is not at hand: no byte past its NUL is read.
inline bool Dictionary_KeyTextEquals(const char* stored, const char* key, size_t length, bool caseless) {
    if (!stored) return false;
    for (size_t i = 0; i < length; i++) {
        unsigned char a = (unsigned char)stored[i], b = (unsigned char)key[i];
        if (a == 0) return false;
        if (caseless) {
            if (a >= 'A' && a <= 'Z') a = (unsigned char)(a - 'A' + 'a');
            if (b >= 'A' && b <= 'Z') b = (unsigned char)(b - 'A' + 'a');
        }
        if (a != b) return false;
    }
    return stored[length] == 0;
}

inline bool DictionaryItem_KeyEquals(const DictionaryItem* item, const char* key, size_t length, bool caseless) {
    return Dictionary_KeyTextEquals(DictionaryItem_Key(item), key, length, caseless);
}

// ---- The key index (dictionary_index.cpp) ----------------------------------------------------

// Below this many items a scan of the list is as quick as a hash and costs no memory.
constexpr uint32_t kDictionaryIndexThreshold = 16;

// Makes the index when the container has reached the threshold and has none yet.
void Dictionary_IndexMaybeBuild(Dictionary* dict);
// Frees the index (a reset, or a change of the comparison rule that is followed by a rebuild).
void Dictionary_IndexDrop(Dictionary* dict);
// Rebuilds an existing index, after the case rule changed.
void Dictionary_IndexRebuild(Dictionary* dict);
// A keyed item just linked into the list / about to be unlinked or to lose its key.
void Dictionary_IndexAdd(Dictionary* dict, DictionaryItem* item);
void Dictionary_IndexRemove(Dictionary* dict, DictionaryItem* item);
// With an index: true, and the first item in list order whose key equals `key` (or null).
// Without one: false, and the caller scans.
bool Dictionary_IndexFind(Dictionary* dict, const char* key, size_t length, DictionaryItem** first);
// True when some key is held by more than one item.
bool Dictionary_IndexHasDuplicates(const Dictionary* dict);
// The farthest any key of the index sits from the slot its hash names (the probes a lookup of it
// takes, less one); 0 without an index.
uint32_t Dictionary_IndexLongestProbe(const Dictionary* dict);
// True when `a` comes before `b` in their (common) list; a != b.
bool DictionaryItem_Precedes(const DictionaryItem* a, const DictionaryItem* b);
