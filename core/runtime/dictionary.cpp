// The Dictionary object: creation and deletion, the root's pools, settings, change callbacks,
// insertion, removal, reset and navigation of the item list.
#include "core/runtime/dictionary.h"

#include <cstddef>
#include <cstring>

#include "core/runtime/dictionary_internal.h"
#include "core/runtime/dictionary_load.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

const DictionaryTypeString Dictionary_TypeStringTable[8] = {
    {DICTIONARY_TYPE_UNKNOWN, "Unknown"}, {DICTIONARY_TYPE_NULL, "Null"},
    {DICTIONARY_TYPE_BOOLEAN, "Boolean"}, {DICTIONARY_TYPE_INT64, "Int64"},
    {DICTIONARY_TYPE_FLOAT64, "Float64"}, {DICTIONARY_TYPE_STRING, "String"},
    {DICTIONARY_TYPE_LIST, "List"},       {DICTIONARY_TYPE_DICTIONARY, "Dictionary"},
};

const char* Dictionary_TranslateType(uint32_t type) {
    for (const DictionaryTypeString& row : Dictionary_TypeStringTable)
        if (row.Code == type) return row.Name;
    return "Unknown";
}

// Every value of a loaded document is an item and every object or array a container as well:
// their size is most of what a document holds.
static_assert(sizeof(DictionaryItem) == 40 && sizeof(Dictionary) == 96, "item or container grew");
static_assert(offsetof(Dictionary, Header) == 0, "a container's handle is its header's");

namespace {

size_t TextBytes(int32_t length) {
    return (size_t)(int64_t)length + 1;
}

// The longest key and value texts the loader shares.
constexpr int32_t kSharedKeyLength = 31;
constexpr int32_t kSharedValueLength = 15;

bool IsListChild(const Dictionary* dict) {
    return Dictionary_ParentItem(dict) && DictionaryItem_Type(Dictionary_ParentItem(dict)) == DICTIONARY_TYPE_LIST;
}

} // namespace

char* Dictionary_StringAlloc(Dictionary* dict, int32_t length) {
    return static_cast<char*>(DictionaryTree_Alloc(Dictionary_EnsureTree(dict), TextBytes(length)));
}

void Dictionary_StringFree(Dictionary* dict, char** text, int32_t length) {
    if (!*text) return;
    DictionaryTree_Free(Dictionary_Tree(dict), *text, TextBytes(length));
    *text = nullptr;
}

char* Dictionary_TextAlloc(Dictionary* dict, int32_t length) {
    if ((uint32_t)length < kDictionaryLongText) return Dictionary_StringAlloc(dict, length);
    // The length does not fit the item: it goes in front of the text.
    auto* block = static_cast<char*>(DictionaryTree_Alloc(Dictionary_EnsureTree(dict), TextBytes(length) + 8));
    memcpy(block, &length, sizeof(length));
    return block + 8;
}

void Dictionary_TextFree(Dictionary* dict, char* text, int32_t length) {
    if (!text) return;
    if ((uint32_t)length < kDictionaryLongText)
        DictionaryTree_Free(Dictionary_Tree(dict), text, TextBytes(length));
    else
        DictionaryTree_Free(Dictionary_Tree(dict), text - 8, TextBytes(length) + 8);
}

void DictionaryItem_StoreText(Dictionary* dict, DictionaryItem* item, const char* bytes, int32_t length) {
    if (length <= kDictionaryInlineText && !DictionaryItem_IsContainer(item)) {
        // Gathered in a register and stored whole: bytes written one by one and read back as a
        // word would stall the store.
        const uint64_t word = Dictionary_ShortWord(bytes, length);
        memcpy(item->Inline, &word, sizeof(word));
        item->Flags |= DICTIONARY_ITEM_FLAG_INLINE_VALUE;
        item->StoredLength = (uint32_t)length;
        return;
    }
    char* text = Dictionary_TextAlloc(dict, length);
    if (bytes)
        memcpy(text, bytes, (size_t)length);
    else
        memset(text, 0, (size_t)length);
    text[length] = 0;
    *DictionaryItem_TextSlot(item, true) = text;
    item->StoredLength = (uint32_t)length < kDictionaryLongText ? (uint32_t)length : kDictionaryLongText;
}

void DictionaryItem_StoreKey(Dictionary* dict, DictionaryItem* item, const char* key, int32_t length) {
    if (length <= kDictionaryInlineText) {
        // Gathered in a register and stored whole, as a short value text is.
        const uint64_t word = Dictionary_ShortWord(key, length);
        memcpy(item->KeyBytes, &word, sizeof(word));
        item->InlineKey = 1;
        return;
    }
    char* text = Dictionary_StringAlloc(dict, length);
    memcpy(text, key, (size_t)length);
    text[length] = 0;
    item->Key = text;
}

void DictionaryItem_FreeKey(Dictionary* dict, DictionaryItem* item) {
    if ((item->Flags & DICTIONARY_ITEM_FLAG_SHARED_KEY) || item->InlineKey)
        item->Key = nullptr;
    else
        Dictionary_StringFree(dict, &item->Key, DictionaryItem_KeyLength(item));
    item->Flags &= (uint8_t)~DICTIONARY_ITEM_FLAG_SHARED_KEY;
    item->InlineKey = 0;
}

void DictionaryItem_FreeText(Dictionary* dict, DictionaryItem* item) {
    const uint8_t held = DICTIONARY_ITEM_FLAG_SHARED_VALUE | DICTIONARY_ITEM_FLAG_INLINE_VALUE;
    const bool container = DictionaryItem_IsContainer(item);
    if (!container && (item->Flags & held)) {
        item->Value = nullptr;
    } else if (char** text = DictionaryItem_TextSlot(item, false)) {
        Dictionary_TextFree(dict, *text, DictionaryItem_Length(item));
        *text = nullptr;
    }
    item->Flags &= (uint8_t)~held;
    item->StoredLength = 0;
}

DictionaryTree* Dictionary_EnsureTree(Dictionary* dict) {
    // A child always has its root's.
    if (Dictionary_IsChild(dict)) return Dictionary_Link<DictionaryTree*>(dict, kDictionaryLinkTree);
    DictionaryRoot* root = Dictionary_RootPart(dict);
    if (!root->Tree) root->Tree = DictionaryTree_Create(8);
    return root->Tree;
}

DictionaryExtra* Dictionary_EnsureExtra(Dictionary* dict) {
    if (dict->Extra) return dict->Extra;
    void* block;
    // A child's goes with its tree; a root's outlives a reset of its tree.
    if (Dictionary_Parent(dict)) {
        block = DictionaryTree_Alloc(Dictionary_Tree(dict), sizeof(DictionaryExtra), true);
        memset(block, 0, sizeof(DictionaryExtra));
    } else {
        block = Memory_AllocZero(sizeof(DictionaryExtra));
    }
    dict->Extra = static_cast<DictionaryExtra*>(block);
    return dict->Extra;
}

void Dictionary_DropExtra(Dictionary* dict) {
    if (!dict->Extra) return;
    if (Dictionary_Parent(dict))
        DictionaryTree_Free(Dictionary_Tree(dict), dict->Extra, sizeof(DictionaryExtra));
    else
        Memory_Free(dict->Extra, sizeof(DictionaryExtra));
    dict->Extra = nullptr;
}

int64_t Dictionary_DeleteHandle(void** handle) {
    return Dictionary_Delete(reinterpret_cast<Dictionary**>(handle));
}

int64_t Dictionary_DeleteChildHandle(void** handle) {
    return Dictionary_Delete(reinterpret_cast<Dictionary**>(handle));
}

int64_t Dictionary_Create(Dictionary** dict) {
    ASSERT_POINTER(dict);
    *dict = nullptr;
    Dictionary* d = static_cast<Dictionary*>(Memory_AllocZero(sizeof(Dictionary) + sizeof(DictionaryRoot)));
    d->Header.ClassId = DICTIONARY_CLASS_ID;
    d->Header.RefCount = 1;
    d->Header.Delete = Dictionary_DeleteHandle;
    d->CaseSensitive = 1;
    d->PrivateKeys = 1;
    d->AllowDuplicates = 1;
    d->StringPool = 0;
    d->Items.ClassId = DICTIONARY_ITEM_CLASS_ID;
    *dict = d;
    return 1;
}

int64_t Dictionary_AddRef(Dictionary* dict) {
    DICTIONARY_CHECK(dict);
    Class_AddRef(dict);
    return 1;
}

int64_t Dictionary_Release(Dictionary** dict) {
    ASSERT_POINTER(dict);
    if (!*dict) return 0;
    DICTIONARY_CHECK(*dict);
    Class_Release(dict);
    return 1;
}

int64_t Dictionary_Delete(Dictionary** dict) {
    ASSERT_POINTER(dict);
    Dictionary* d = *dict;
    DICTIONARY_CHECK(d);
    if (Dictionary_Parent(d)) {
        // A child lives and dies with its item; a release past its own reference keeps it.
        d->Header.RefCount = 1;
        *dict = nullptr;
        return 0;
    }
    Dictionary_Reset(d);
    DictionaryTree_Delete(&Dictionary_RootPart(d)->Tree);
    Dictionary_DropExtra(d);
    d->Header.ClassId = 0;
    d->Items.ClassId = 0;
    Memory_Free(d, sizeof(Dictionary) + sizeof(DictionaryRoot));
    *dict = nullptr;
    return 1;
}

int64_t Dictionary_GetInstanceId(Dictionary* dict, char* buffer, int32_t size) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(buffer);
    // A child answers its root's id.
    const Dictionary* root = dict;
    while (Dictionary* parent = Dictionary_Parent(root)) root = parent;
    String_CopyLengthSafe(buffer, size, root->Header.InstanceId, (int32_t)sizeof(root->Header.InstanceId));
    return 1;
}

// ---- Inserting and removing -----------------------------------------------------------------

int64_t Dictionary_Insert(Dictionary* dict, DictionaryItem* after, const char* key, DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    if (item) *item = nullptr;
    if (after) DICTIONARY_ITEM_CHECK(after);
    if (!dict->AllowDuplicates && key) {
        DictionaryItem* existing = nullptr;
        if (Dictionary_ItemFindByKey(dict, key, nullptr, &existing)) {
            if (item) *item = existing;
            return 1;
        }
    }
    DictionaryItem* created =
        static_cast<DictionaryItem*>(DictionaryTree_Alloc(Dictionary_EnsureTree(dict), sizeof(DictionaryItem)));
    memset(created, 0, sizeof(DictionaryItem));
    created->ClassId = DICTIONARY_ITEM_CLASS_ID;
    Dictionary_ItemSetType(dict, created, DICTIONARY_TYPE_UNKNOWN);
    Dictionary_ItemSetKey(dict, created, key);

    DictionaryItemList& list = dict->Items;
    if (after) {
        created->Prev = after;
        created->Next = after->Next;
        if (after->Next)
            after->Next->Prev = created;
        else
            list.Last = created;
        after->Next = created;
    } else {
        created->Next = list.First;
        if (list.First)
            list.First->Prev = created;
        else
            list.Last = created;
        list.First = created;
    }
    list.Count++;
    // A container of unnamed items (a list) never needs an index.
    if (Dictionary_Index(dict))
        Dictionary_IndexAdd(dict, created);
    else if (created->Key)
        Dictionary_IndexMaybeBuild(dict);

    // The items behind a new list element have moved up one index.
    if (created->Next && IsListChild(dict) && Dictionary_HasKeyChangeBubble(dict))
        Dictionary_ListIndexBubble(dict, created->Next);
    if (item) *item = created;
    return 1;
}

int64_t Dictionary_Append(Dictionary* dict, const char* key, DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    return Dictionary_Insert(dict, dict->Items.Last, key, item);
}

int64_t Dictionary_Add(Dictionary* dict, const char* key, DictionaryItem** item) {
    return Dictionary_Append(dict, key, item);
}

namespace {

// Append, then type, then the value text.
DictionaryItem* AppendTyped(Dictionary* dict, const char* key, uint32_t type, DictionaryItem** item) {
    DictionaryItem* created = nullptr;
    Dictionary_Append(dict, key, &created);
    Dictionary_ItemSetType(dict, created, type);
    if (item) *item = created;
    return created;
}

int64_t AddNumberText(Dictionary* dict, const char* key, uint32_t type, const char* text,
                      DictionaryItem** item) {
    DictionaryItem* created = AppendTyped(dict, key, type, item);
    return Dictionary_ItemSetBuffer(dict, created, text, (int32_t)strlen(text));
}

int64_t AddContainer(Dictionary* dict, const char* key, uint32_t type, Dictionary** child,
                     DictionaryItem** item) {
    if (child) *child = nullptr;
    DictionaryItem* created = AppendTyped(dict, key, type, item);
    if (child) *child = DictionaryItem_Child(created);
    return 1;
}

} // namespace

int64_t Dictionary_AddNull(Dictionary* dict, const char* key, DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    AppendTyped(dict, key, DICTIONARY_TYPE_NULL, item);
    return 1;
}

int64_t Dictionary_AddString(Dictionary* dict, const char* key, const char* text, DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    if (item) *item = nullptr;
    ASSERT_POINTER(text);
    DictionaryItem* created = AppendTyped(dict, key, DICTIONARY_TYPE_STRING, item);
    return Dictionary_ItemSetBuffer(dict, created, text, (int32_t)strnlen(text, INT32_MAX));
}

int64_t Dictionary_AddInt32(Dictionary* dict, const char* key, int32_t value, DictionaryItem** item) {
    return Dictionary_AddInt64(dict, key, (int64_t)value, item);
}

int64_t Dictionary_AddInt64(Dictionary* dict, const char* key, int64_t value, DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    char text[32];
    String_Print(text, (int32_t)sizeof(text), "%lld", value);
    return AddNumberText(dict, key, DICTIONARY_TYPE_INT64, text, item);
}

int64_t Dictionary_AddFloat64(Dictionary* dict, const char* key, double value, DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    // Every digit the value needs to read back as itself, in "%g"'s spelling (so whole numbers to
    // twelve digits stay plain); "NaN" or "Inf", which no reader takes for a number, otherwise.
    char text[64];
    if (!String_PrintNumberPrecision(value, 12, text, sizeof(text)))
        String_Print(text, (int32_t)sizeof(text), "%g", value);
    return AddNumberText(dict, key, DICTIONARY_TYPE_FLOAT64, text, item);
}

int64_t Dictionary_AddBoolean(Dictionary* dict, const char* key, uint32_t value, DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    DictionaryItem* created = AppendTyped(dict, key, DICTIONARY_TYPE_BOOLEAN, item);
    return Dictionary_ItemSetBoolean(dict, created, value);
}

int64_t Dictionary_AddList(Dictionary* dict, const char* key, Dictionary** child, DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    return AddContainer(dict, key, DICTIONARY_TYPE_LIST, child, item);
}

int64_t Dictionary_AddDictionary(Dictionary* dict, const char* key, Dictionary** child,
                                 DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    return AddContainer(dict, key, DICTIONARY_TYPE_DICTIONARY, child, item);
}

namespace {

bool SlotSet(CallbackBase* slot) {
    return !CallbackBase_IsEmpty(slot) && CallbackBase_GetReal(slot, nullptr, nullptr) != 0;
}

// No key or value change in dict is reported anywhere up its tree.
bool ChangesUnwatched(Dictionary* dict) {
    // A tree where no such callback was ever set needs no walk.
    if (!Dictionary_Tree(dict) || !Dictionary_Tree(dict)->ChangeWatched) return true;
    for (Dictionary* level = dict; level; level = Dictionary_Parent(level))
        if (level->Extra &&
            (SlotSet(&level->Extra->ItemKeyChangeCallback) || SlotSet(&level->Extra->ItemValueChangeCallback)))
            return false;
    return true;
}

// The general way: each call of its own, with every rule and report.
int64_t AppendLoadedSlow(Dictionary* dict, const char* key, uint32_t type, const char* text, int32_t length,
                         Dictionary** child) {
    DictionaryItem* item = nullptr;
    Dictionary_Add(dict, key, &item);
    // A new item is of type Unknown already; an existing one (duplicates refused) keeps its type.
    if (type != DICTIONARY_TYPE_UNKNOWN) Dictionary_ItemSetType(dict, item, type);
    if (type == DICTIONARY_TYPE_BOOLEAN)
        Dictionary_ItemSetBoolean(dict, item, length >= 1 && (text[0] == 't' || text[0] == 'T') ? 1 : 0);
    else if (type != DICTIONARY_TYPE_NULL && type != DICTIONARY_TYPE_LIST && type != DICTIONARY_TYPE_DICTIONARY)
        Dictionary_ItemSetBuffer(dict, item, text, length);
    if (child) *child = DictionaryItem_Child(item);
    return 1;
}

int64_t AppendLoaded(Dictionary* dict, const char* key, int32_t keyLength, uint32_t type, const char* text,
                     int32_t length, Dictionary** child, bool deferIndex) {
    DICTIONARY_CHECK(dict);
    if (child) *child = nullptr;
    if (type > DICTIONARY_TYPE_DICTIONARY) return 0;
    if (length < 0) length = 0;
    if (key) {
        if (keyLength < 0) keyLength = 0;
        // Keys are short: a plain loop beats a library call.
        int32_t n = 0;
        while (n < keyLength && key[n] != 0) n++;
        keyLength = n;
    }
    // A rule or a report on the way takes the general path: a duplicate key refused, a key cut
    // with a warning, a change someone watches.
    if ((key && (!dict->AllowDuplicates || keyLength > DICTIONARY_MAX_KEY_LENGTH)) || !ChangesUnwatched(dict)) {
        if (!key) return AppendLoadedSlow(dict, nullptr, type, text, length, child);
        char* copy = static_cast<char*>(Memory_Alloc((size_t)keyLength + 1));
        memcpy(copy, key, (size_t)keyLength);
        copy[keyLength] = 0;
        const int64_t result = AppendLoadedSlow(dict, copy, type, text, length, child);
        Memory_Free(copy, (size_t)keyLength + 1);
        return result;
    }
    DictionaryTree* tree = Dictionary_EnsureTree(dict);
    uint8_t flags = 0;
    if (Dictionary_KeyHasPrivateMark(dict, key, keyLength)) {
        key++;
        keyLength--;
        flags = DICTIONARY_ITEM_FLAG_PRIVATE;
    }
    const bool container = type == DICTIONARY_TYPE_LIST || type == DICTIONARY_TYPE_DICTIONARY;
    const bool hasText = type != DICTIONARY_TYPE_BOOLEAN && type != DICTIONARY_TYPE_NULL && !container && length >= 1;
    // Short keys and values are kept in the item.
    const bool inlineText = hasText && length <= kDictionaryInlineText;
    const bool inlineKey = key && keyLength >= 1 && keyLength <= kDictionaryInlineText;
    // Longer keys and values repeat through a document too: an equal text of the tree is shared.
    char* sharedKey =
        key && !inlineKey ? DictionaryTree_SharedText(tree, key, keyLength, kSharedKeyLength) : nullptr;
    char* sharedValue = hasText && !inlineText && text
                            ? DictionaryTree_SharedText(tree, text, length, kSharedValueLength)
                            : nullptr;
    // The item, its key and a value text of a size class come from one piece of the arena; each
    // is freed on its own later, as its own size.
    const size_t itemBytes = DictionaryTree_SmallBlockBytes(sizeof(DictionaryItem));
    const size_t keyBytes =
        key && !inlineKey && !sharedKey ? DictionaryTree_SmallBlockBytes((size_t)keyLength + 1) : 0;
    const size_t valueBytes =
        hasText && !inlineText && !sharedValue ? DictionaryTree_SmallBlockBytes((size_t)length + 1) : 0;
    const size_t childBytes = container ? DictionaryTree_SmallBlockBytes(sizeof(Dictionary)) : 0;
    uint8_t* piece =
        static_cast<uint8_t*>(DictionaryTree_Carve(tree, itemBytes + keyBytes + valueBytes + childBytes));
    auto* item = reinterpret_cast<DictionaryItem*>(piece);
    // The item is made in locals and written once, each word whole.
    uint32_t itemFlags = flags | type;
    uint32_t storedLength = 0;
    uint64_t keyWord = 0;
    if (inlineKey) {
        keyWord = Dictionary_ShortWord(key, keyLength);
    } else if (sharedKey) {
        memcpy(&keyWord, &sharedKey, sizeof(keyWord));
        itemFlags |= DICTIONARY_ITEM_FLAG_SHARED_KEY;
    } else if (key) {
        char* stored = reinterpret_cast<char*>(piece + itemBytes);
        memcpy(stored, key, (size_t)keyLength);
        stored[keyLength] = 0;
        memcpy(&keyWord, &stored, sizeof(keyWord));
    }
    uint64_t valueWord = 0;
    Dictionary* made = nullptr;
    if (type == DICTIONARY_TYPE_BOOLEAN) {
        if (length >= 1 && (text[0] == 't' || text[0] == 'T')) itemFlags |= DICTIONARY_ITEM_FLAG_BOOLEAN;
    } else if (container) {
        made = Dictionary_CreateChild(dict, item, piece + itemBytes + keyBytes);
        memcpy(&valueWord, &made, sizeof(valueWord));
    } else if (inlineText) {
        valueWord = Dictionary_ShortWord(text, length);
        itemFlags |= DICTIONARY_ITEM_FLAG_INLINE_VALUE;
        storedLength = (uint32_t)length;
    } else if (sharedValue) {
        memcpy(&valueWord, &sharedValue, sizeof(valueWord));
        itemFlags |= DICTIONARY_ITEM_FLAG_SHARED_VALUE;
        storedLength = (uint32_t)length;
    } else if (valueBytes) {
        char* value = reinterpret_cast<char*>(piece + itemBytes + keyBytes);
        if (text)
            memcpy(value, text, (size_t)length);
        else
            memset(value, 0, (size_t)length);
        value[length] = 0;
        memcpy(&valueWord, &value, sizeof(valueWord));
        storedLength = (uint32_t)length;
    }
    item->ClassId = DICTIONARY_ITEM_CLASS_ID;
    item->Bits = DictionaryItem_MakeBits(itemFlags, inlineKey, storedLength);
    memcpy(item->KeyBytes, &keyWord, sizeof(keyWord));
    memcpy(item->Inline, &valueWord, sizeof(valueWord));
    item->Next = nullptr;
    item->Prev = nullptr;
    // A text too long for the arena's blocks.
    if (hasText && !inlineText && !sharedValue && !valueBytes) DictionaryItem_StoreText(dict, item, text, length);
    DictionaryItemList& list = dict->Items;
    item->Prev = list.Last;
    if (list.Last)
        list.Last->Next = item;
    else
        list.First = item;
    list.Last = item;
    list.Count++;
    if (Dictionary_Index(dict))
        Dictionary_IndexAdd(dict, item);
    else if (item->Key && !deferIndex)
        Dictionary_IndexMaybeBuild(dict);
    if (child) *child = made;
    return 1;
}

} // namespace

int64_t Dictionary_AppendLoaded(Dictionary* dict, const char* key, int32_t keyLength, uint32_t type,
                                const char* text, int32_t length, Dictionary** child) {
    return AppendLoaded(dict, key, keyLength, type, text, length, child, false);
}

int64_t Dictionary_AppendLoadedIndexLater(Dictionary* dict, const char* key, int32_t keyLength, uint32_t type,
                                          const char* text, int32_t length, Dictionary** child) {
    return AppendLoaded(dict, key, keyLength, type, text, length, child, true);
}

void Dictionary_IndexLoaded(Dictionary* dict) {
    DICTIONARY_CHECK(dict);
    if (!Dictionary_Tree(dict) || Dictionary_Index(dict) || dict->Items.Count < kDictionaryIndexThreshold)
        return;
    // As appends one at a time make it: once a keyed item comes at the threshold or past it. A
    // list of unnamed items gets none.
    uint32_t position = dict->Items.Count;
    for (DictionaryItem* item = dict->Items.Last; item && position >= kDictionaryIndexThreshold;
         item = item->Prev, position--) {
        if (item->Key) {
            Dictionary_IndexMaybeBuild(dict);
            return;
        }
    }
}

int64_t Dictionary_InsertSorted(Dictionary* dict, const char* key, DictionaryItem** item, void* context,
                                DictionaryCompareCallback compare) {
    DICTIONARY_CHECK(dict);
    if (item) *item = nullptr;
    ASSERT_POINTER(compare);
    for (DictionaryItem* existing = dict->Items.First; existing; existing = existing->Next)
        if (compare(dict, existing, key, context) == 1)
            return Dictionary_Insert(dict, existing->Prev, key, item);
    return Dictionary_Insert(dict, dict->Items.Last, key, item);
}

int64_t Dictionary_Remove(Dictionary* dict, DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(item);
    DictionaryItem* victim = *item;
    DICTIONARY_ITEM_CHECK(victim);

    DictionaryItem* next = victim->Next;
    if (Dictionary* child = DictionaryItem_Child(victim)) Dictionary_Reset(child);
    Dictionary_ItemRemoveBubble(dict, victim);

    Dictionary_IndexRemove(dict, victim);
    // The key goes without a key-change report; the type change returns the child to its pool.
    DictionaryItem_FreeKey(dict, victim);
    Dictionary_ItemSetBuffer(dict, victim, nullptr, 0);
    Dictionary_ItemSetType(dict, victim, DICTIONARY_TYPE_UNKNOWN);

    DictionaryItemList& list = dict->Items;
    if (victim->Prev)
        victim->Prev->Next = victim->Next;
    else
        list.First = victim->Next;
    if (victim->Next)
        victim->Next->Prev = victim->Prev;
    else
        list.Last = victim->Prev;
    list.Count--;
    victim->ClassId = 0;
    DictionaryTree_Free(Dictionary_Tree(dict), victim, sizeof(DictionaryItem));
    *item = nullptr;

    if (next && IsListChild(dict) && Dictionary_HasKeyChangeBubble(dict))
        Dictionary_ListIndexBubble(dict, next);
    return 1;
}

namespace {

bool RemoveWatched(Dictionary* dict) {
    CallbackBase* slot = dict->Extra ? &dict->Extra->ItemRemoveCallback : nullptr;
    return slot && !CallbackBase_IsEmpty(slot) && CallbackBase_GetReal(slot, nullptr, nullptr) != 0;
}

// 1 when a removal in dict would be reported: the remove report climbs to the root.
bool RemovalReported(Dictionary* dict) {
    for (Dictionary* level = dict; level; level = Dictionary_Parent(level))
        if (RemoveWatched(level)) return true;
    return false;
}

// Empties dict, newest item first, when no removal in it is reported, so the per-item removal
// (bubble, retype, unlink) has nothing to tell anyone. A child whose own slot is set is emptied the
// reporting way. With `treeDropped` the root is about to release every block of its tree at once,
// so nothing is handed back one by one.
void DropItems(Dictionary* dict, bool treeDropped) {
    DictionaryTree* tree = Dictionary_Tree(dict);
    for (DictionaryItem* item = dict->Items.Last; item;) {
        DictionaryItem* prev = item->Prev;
        // A container's text is kept in its child's extra part, which goes below.
        if (!treeDropped) DictionaryItem_FreeText(dict, item);
        if (Dictionary* child = DictionaryItem_Child(item)) {
            if (RemoveWatched(child))
                Dictionary_Reset(child);
            else
                DropItems(child, treeDropped);
            Dictionary_IndexDrop(child);
            item->Container = nullptr;
            child->Header.ClassId = 0;
            child->Items.ClassId = 0;
            if (!treeDropped) {
                Dictionary_DropExtra(child);
                DictionaryTree_Free(tree, child, sizeof(Dictionary));
            }
        }
        if (!treeDropped) DictionaryItem_FreeKey(dict, item);
        item->ClassId = 0;
        if (!treeDropped) DictionaryTree_Free(tree, item, sizeof(DictionaryItem));
        item = prev;
    }
}

} // namespace

int64_t Dictionary_Reset(Dictionary* dict) {
    DICTIONARY_CHECK(dict);
    if (RemovalReported(dict)) {
        // Removals reported one by one keep the index in step.
        while (dict->Items.Last) {
            DictionaryItem* last = dict->Items.Last;
            Dictionary_Remove(dict, &last);
        }
    } else if (Dictionary_Parent(dict)) {
        Dictionary_IndexDrop(dict);
        DropItems(dict, false);
    } else if (Dictionary_Tree(dict) && Dictionary_Tree(dict)->RemoveWatched) {
        // Some child reports its removals: walk to it; the blocks go all at once below.
        Dictionary_IndexDrop(dict);
        DropItems(dict, true);
    }
    // A root's tree goes in one pass, whatever it holds: no item is visited.
    if (!Dictionary_Parent(dict) && Dictionary_Tree(dict)) {
        Dictionary_SetIndex(dict, nullptr);
        DictionaryTree_Clear(Dictionary_Tree(dict));
    }
    dict->Items.First = nullptr;
    dict->Items.Last = nullptr;
    dict->Items.Count = 0;
    Dictionary_IndexDrop(dict);
    return 1;
}

// ---- Navigation -----------------------------------------------------------------------------

int64_t Dictionary_ItemGetFirst(Dictionary* dict, DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(item);
    *item = dict->Items.First;
    return *item != nullptr;
}

int64_t Dictionary_ItemGetLast(Dictionary* dict, DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(item);
    *item = dict->Items.Last;
    return *item != nullptr;
}

int64_t Dictionary_ItemGetNext(Dictionary* dict, DictionaryItem* item, DictionaryItem** next) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(next);
    *next = nullptr;
    DICTIONARY_ITEM_CHECK(item);
    *next = item->Next;
    return *next != nullptr;
}

int64_t Dictionary_ItemGetPrev(Dictionary* dict, DictionaryItem* item, DictionaryItem** prev) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(prev);
    *prev = nullptr;
    DICTIONARY_ITEM_CHECK(item);
    *prev = item->Prev;
    return *prev != nullptr;
}

int64_t Dictionary_ItemGetCount(Dictionary* dict, uint32_t* count) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(count);
    *count = dict->Items.Count;
    return 1;
}

int64_t Dictionary_ItemGetIndex(Dictionary* dict, DictionaryItem* item, uint32_t* index) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(index);
    *index = 0;
    DICTIONARY_ITEM_CHECK(item);
    uint32_t n = 0;
    for (DictionaryItem* p = item->Prev; p; p = p->Prev) n++;
    *index = n;
    return 1;
}

int64_t Dictionary_GetParent(Dictionary* dict, Dictionary** parent, DictionaryItem** parentItem) {
    DICTIONARY_CHECK(dict);
    if (parent) *parent = Dictionary_Parent(dict);
    if (parentItem) *parentItem = Dictionary_ParentItem(dict);
    return Dictionary_Parent(dict) && Dictionary_ParentItem(dict);
}

int64_t Dictionary_ItemGetDictionaryHandle(Dictionary* dict, DictionaryItem* item, Dictionary** child) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(child);
    *child = nullptr;
    DICTIONARY_ITEM_CHECK(item);
    *child = DictionaryItem_Child(item);
    return *child != nullptr;
}

// ---- Settings -------------------------------------------------------------------------------

int64_t Dictionary_SetCaseSensitive(Dictionary* dict, uint32_t value) {
    DICTIONARY_CHECK(dict);
    dict->CaseSensitive = Dictionary_Setting(value);
    Dictionary_IndexRebuild(dict);
    return 1;
}

int64_t Dictionary_GetCaseSensitive(Dictionary* dict, uint32_t* value) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(value);
    *value = dict->CaseSensitive;
    return 1;
}

int64_t Dictionary_SetPrivateKeys(Dictionary* dict, uint32_t value) {
    DICTIONARY_CHECK(dict);
    dict->PrivateKeys = Dictionary_Setting(value);
    return 1;
}

int64_t Dictionary_GetPrivateKeys(Dictionary* dict, uint32_t* value) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(value);
    *value = dict->PrivateKeys;
    return 1;
}

int64_t Dictionary_SetAllowDuplicates(Dictionary* dict, uint32_t value) {
    DICTIONARY_CHECK(dict);
    dict->AllowDuplicates = Dictionary_Setting(value);
    return 1;
}

int64_t Dictionary_GetAllowDuplicates(Dictionary* dict, uint32_t* value) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(value);
    *value = dict->AllowDuplicates;
    return 1;
}

int64_t Dictionary_SetStringPool(Dictionary* dict, uint32_t value) {
    DICTIONARY_CHECK(dict);
    // Chosen once, before the first item, as it always had to be.
    ASSERT_MSG(value == dict->StringPool || dict->Items.Count == 0,
               "String pool must be chosen before items are added");
    dict->StringPool = Dictionary_Setting(value);
    return 1;
}

int64_t Dictionary_GetStringPool(Dictionary* dict, uint32_t* value) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(value);
    *value = dict->StringPool;
    return 1;
}

int64_t Dictionary_SetPoolChunkSize(Dictionary* dict, uint32_t value) {
    DICTIONARY_CHECK(dict);
    Dictionary_EnsureTree(dict)->PoolChunkSize = value;
    return 1;
}

// ---- Change callbacks -------------------------------------------------------------------------

namespace {

// A container that never had a callback set answers from an empty slot.
CallbackBase* Slot(Dictionary* dict, CallbackBase DictionaryExtra::*slot, CallbackBase* empty) {
    return dict->Extra ? &(dict->Extra->*slot) : empty;
}

} // namespace

int64_t Dictionary_SetItemRemoveCallback(Dictionary* dict, void* context, DictionaryItemRemoveCallback fn) {
    DICTIONARY_CHECK(dict);
    if (Dictionary_Parent(dict)) Dictionary_Tree(dict)->RemoveWatched = 1;
    return CallbackBase_Set(&Dictionary_EnsureExtra(dict)->ItemRemoveCallback, 0, context, fn);
}

int64_t Dictionary_GetItemRemoveCallback(Dictionary* dict, void** context, DictionaryItemRemoveCallback* fn) {
    DICTIONARY_CHECK(dict);
    CallbackBase empty = {};
    return CallbackBase_Get(Slot(dict, &DictionaryExtra::ItemRemoveCallback, &empty), context, fn);
}

int64_t Dictionary_SetItemKeyChangeCallback(Dictionary* dict, void* context,
                                            DictionaryItemKeyChangeCallback fn) {
    DICTIONARY_CHECK(dict);
    Dictionary_EnsureTree(dict)->ChangeWatched = 1;
    return CallbackBase_Set(&Dictionary_EnsureExtra(dict)->ItemKeyChangeCallback, 0, context, fn);
}

int64_t Dictionary_GetItemKeyChangeCallback(Dictionary* dict, void** context,
                                            DictionaryItemKeyChangeCallback* fn) {
    DICTIONARY_CHECK(dict);
    CallbackBase empty = {};
    return CallbackBase_Get(Slot(dict, &DictionaryExtra::ItemKeyChangeCallback, &empty), context, fn);
}

int64_t Dictionary_SetItemValueChangeCallback(Dictionary* dict, void* context,
                                              DictionaryItemValueChangeCallback fn) {
    DICTIONARY_CHECK(dict);
    Dictionary_EnsureTree(dict)->ChangeWatched = 1;
    return CallbackBase_Set(&Dictionary_EnsureExtra(dict)->ItemValueChangeCallback, 0, context, fn);
}

int64_t Dictionary_GetItemValueChangeCallback(Dictionary* dict, void** context,
                                              DictionaryItemValueChangeCallback* fn) {
    DICTIONARY_CHECK(dict);
    CallbackBase empty = {};
    return CallbackBase_Get(Slot(dict, &DictionaryExtra::ItemValueChangeCallback, &empty), context, fn);
}

int64_t Dictionary_HasKeyChangeBubble(Dictionary* dict) {
    Dictionary* root = dict;
    while (Dictionary_Parent(root)) root = Dictionary_Parent(root);
    if (!root->Extra) return 0;
    CallbackBase* slot = &root->Extra->ItemKeyChangeCallback;
    return !CallbackBase_IsEmpty(slot) && CallbackBase_GetReal(slot, nullptr, nullptr);
}

// ---- Operation table ------------------------------------------------------------------------

const DictionaryVtbl GlobalDictionaryVtbl = {
    .GetParent = Dictionary_GetParent,
    .Add = Dictionary_Add,
    .AddNull = Dictionary_AddNull,
    .AddString = Dictionary_AddString,
    .AddInt32 = Dictionary_AddInt32,
    .AddInt64 = Dictionary_AddInt64,
    .AddFloat64 = Dictionary_AddFloat64,
    .AddBoolean = Dictionary_AddBoolean,
    .AddList = Dictionary_AddList,
    .AddDictionary = Dictionary_AddDictionary,
    .Append = Dictionary_Append,
    .Insert = Dictionary_Insert,
    .Remove = Dictionary_Remove,
    .ConvertFromString = Dictionary_ConvertFromString,
    .ConvertToString = Dictionary_ConvertToString,
    .ContainsKey = Dictionary_ContainsKey,
    .EnsureIndex = Dictionary_EnsureIndex,
    .EnsureListByIndex = Dictionary_EnsureListByIndex,
    .EnsureDictionaryByIndex = Dictionary_EnsureDictionaryByIndex,
    .EnsureKey = Dictionary_EnsureKey,
    .EnsureList = Dictionary_EnsureList,
    .EnsureDictionary = Dictionary_EnsureDictionary,
    .GetTypeByKey = Dictionary_GetTypeByKey,
    .SetStringByKey = Dictionary_SetStringByKey,
    .GetStringByKey = Dictionary_GetStringByKey,
    .SetStringByKeyV = Dictionary_SetStringByKeyV,
    .GetStringPtrByKey = Dictionary_GetStringPtrByKey,
    .GetBufferPtrByKey = Dictionary_GetBufferPtrByKey,
    .SetInt32ByKey = Dictionary_SetInt32ByKey,
    .GetInt32ByKey = Dictionary_GetInt32ByKey,
    .SetInt64ByKey = Dictionary_SetInt64ByKey,
    .GetInt64ByKey = Dictionary_GetInt64ByKey,
    .SetFloat64ByKey = Dictionary_SetFloat64ByKey,
    .GetFloat64ByKey = Dictionary_GetFloat64ByKey,
    .SetBooleanByKey = Dictionary_SetBooleanByKey,
    .GetBooleanByKey = Dictionary_GetBooleanByKey,
    .GetListByIndex = Dictionary_GetListByIndex,
    .GetDictionaryByIndex = Dictionary_GetDictionaryByIndex,
    .GetListByKey = Dictionary_GetListByKey,
    .GetDictionaryByKey = Dictionary_GetDictionaryByKey,
    .RemoveByKey = Dictionary_RemoveByKey,
    .ItemGetPath = Dictionary_ItemGetPath,
    .ItemIsContainer = Dictionary_ItemIsContainer,
    .ItemIsNull = Dictionary_ItemIsNull,
    .ItemGetIndex = Dictionary_ItemGetIndex,
    .ItemSetType = Dictionary_ItemSetType,
    .ItemGetType = Dictionary_ItemGetType,
    .ItemCompareType = Dictionary_ItemCompareType,
    .ItemSetKey = Dictionary_ItemSetKey,
    .ItemSetKeyLength = Dictionary_ItemSetKeyLength,
    .ItemGetKey = Dictionary_ItemGetKey,
    .ItemGetKeyPtr = Dictionary_ItemGetKeyPtr,
    .ItemSetString = Dictionary_ItemSetString,
    .ItemSetStringV = Dictionary_ItemSetStringV,
    .ItemGetString = Dictionary_ItemGetString,
    .ItemGetStringPtr = Dictionary_ItemGetStringPtr,
    .ItemSetBuffer = Dictionary_ItemSetBuffer,
    .ItemGetBufferPtr = Dictionary_ItemGetBufferPtr,
    .ItemSetFloat64 = Dictionary_ItemSetFloat64,
    .ItemGetFloat64 = Dictionary_ItemGetFloat64,
    .ItemSetInt32 = Dictionary_ItemSetInt32,
    .ItemGetInt32 = Dictionary_ItemGetInt32,
    .ItemSetInt64 = Dictionary_ItemSetInt64,
    .ItemGetInt64 = Dictionary_ItemGetInt64,
    .ItemSetBoolean = Dictionary_ItemSetBoolean,
    .ItemGetBoolean = Dictionary_ItemGetBoolean,
    .ItemSetNull = Dictionary_ItemSetNull,
    .ItemGetDictionaryHandle = Dictionary_ItemGetDictionaryHandle,
    .ItemFindByPath = Dictionary_ItemFindByPath,
    .ItemFindByKey = Dictionary_ItemFindByKey,
    .ItemFindByBuffer = Dictionary_ItemFindByBuffer,
    .ItemFindByIndex = Dictionary_ItemFindByIndex,
    .ItemGetNext = Dictionary_ItemGetNext,
    .ItemGetPrev = Dictionary_ItemGetPrev,
    .ItemGetFirst = Dictionary_ItemGetFirst,
    .ItemGetLast = Dictionary_ItemGetLast,
    .ItemGetCount = Dictionary_ItemGetCount,
    .Print = Dictionary_Print,
    .PrintTabbed = Dictionary_PrintTabbed,
    .SetPrintCallback = Dictionary_SetPrintCallback,
    .GetPrintCallback = Dictionary_GetPrintCallback,
    .Sync = Dictionary_Sync,
    .SyncAt = Dictionary_SyncAt,
    .RemoveMissing = Dictionary_RemoveMissing,
    .Merge = Dictionary_Merge,
    .MergeAt = Dictionary_MergeAt,
    .SkipRoot = Dictionary_SkipRoot,
    .Reset = Dictionary_Reset,
    .Dump = Dictionary_Dump,
    .SetCaseSensitive = Dictionary_SetCaseSensitive,
    .GetCaseSensitive = Dictionary_GetCaseSensitive,
    .SetAllowDuplicates = Dictionary_SetAllowDuplicates,
    .GetAllowDuplicates = Dictionary_GetAllowDuplicates,
    .SetStringPool = Dictionary_SetStringPool,
    .GetStringPool = Dictionary_GetStringPool,
    .SetPoolChunkSize = Dictionary_SetPoolChunkSize,
    .SetItemRemoveCallback = Dictionary_SetItemRemoveCallback,
    .GetItemRemoveCallback = Dictionary_GetItemRemoveCallback,
    .SetItemKeyChangeCallback = Dictionary_SetItemKeyChangeCallback,
    .GetItemKeyChangeCallback = Dictionary_GetItemKeyChangeCallback,
    .SetItemValueChangeCallback = Dictionary_SetItemValueChangeCallback,
    .GetItemValueChangeCallback = Dictionary_GetItemValueChangeCallback,
    .MergeItem = Dictionary_MergeItem,
    .SetStringByKeyPrint = Dictionary_SetStringByKeyPrint,
    .ItemSetStringPrint = Dictionary_ItemSetStringPrint,
    .SetStringByPath = Dictionary_SetStringByPath,
    .GetStringByPath = Dictionary_GetStringByPath,
    .GetBufferPtrByPath = Dictionary_GetBufferPtrByPath,
    .SetInt32ByPath = Dictionary_SetInt32ByPath,
    .GetInt32ByPath = Dictionary_GetInt32ByPath,
    .SetInt64ByPath = Dictionary_SetInt64ByPath,
    .GetInt64ByPath = Dictionary_GetInt64ByPath,
    .SetFloat64ByPath = Dictionary_SetFloat64ByPath,
    .GetFloat64ByPath = Dictionary_GetFloat64ByPath,
    .SetBooleanByPath = Dictionary_SetBooleanByPath,
    .GetBooleanByPath = Dictionary_GetBooleanByPath,
    .SkipRootContainer = Dictionary_SkipRootContainer,
    .ItemSetPrivate = Dictionary_ItemSetPrivate,
    .ItemGetPrivate = Dictionary_ItemGetPrivate,
    .SetPrivateKeys = Dictionary_SetPrivateKeys,
    .GetPrivateKeys = Dictionary_GetPrivateKeys,
    .AddRef = Dictionary_AddRef,
    .Release = Dictionary_Release,
    .EnsureDictionaryByPath = Dictionary_EnsureDictionaryByPath,
    .ContainsPath = Dictionary_ContainsPath,
    .GetStringPtrByPath = Dictionary_GetStringPtrByPath,
    .ContainsString = Dictionary_ContainsString,
    .RemoveByString = Dictionary_RemoveByString,
    .GetDictionaryByPath = Dictionary_GetDictionaryByPath,
};
