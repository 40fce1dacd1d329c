// Dictionary items: types and child dictionaries, keys and the private flag, value text and
// booleans, item paths, and the change reports that climb from a change to the root.
#include <cstring>

#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_internal.h"
#include "core/runtime/dictionary_load.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

namespace {

constexpr int32_t kBubblePathSize = 4096;
// The key-length warning shows at most this much of the key (the print buffer is 8192 bytes).
constexpr int32_t kShownKeyBytes = 4096;

bool IsContainerType(uint32_t type) {
    return type == DICTIONARY_TYPE_LIST || type == DICTIONARY_TYPE_DICTIONARY;
}

} // namespace

Dictionary* Dictionary_CreateChild(Dictionary* dict, DictionaryItem* item, void* block) {
    if (!block) block = DictionaryTree_Alloc(Dictionary_EnsureTree(dict), sizeof(Dictionary));
    memset(block, 0, sizeof(Dictionary));
    Dictionary* child = static_cast<Dictionary*>(block);
    child->Header.ClassId = DICTIONARY_CLASS_ID;
    child->Header.RefCount = 1;
    child->Header.Delete = Dictionary_DeleteChildHandle;
    Dictionary_SetLink(child, kDictionaryLinkParent, dict);
    Dictionary_SetLink(child, kDictionaryLinkParentItem, item);
    Dictionary_SetLink(child, kDictionaryLinkTree, Dictionary_Tree(dict));
    if (dict->Extra && dict->Extra->Print.Identifier)
        Dictionary_EnsureExtra(child)->Print.Identifier = dict->Extra->Print.Identifier;
    child->CaseSensitive = dict->CaseSensitive;
    child->PrivateKeys = dict->PrivateKeys;
    child->AllowDuplicates = dict->AllowDuplicates;
    child->StringPool = dict->StringPool;
    child->Items.ClassId = DICTIONARY_ITEM_CLASS_ID;
    return child;
}

char** DictionaryItem_TextSlot(DictionaryItem* item, bool make) {
    if (!DictionaryItem_IsContainer(item)) return &item->Value;
    Dictionary* child = item->Container;
    if (!child || (!child->Extra && !make)) return nullptr;
    return &Dictionary_EnsureExtra(child)->HolderText;
}

namespace {

void DeleteChild(Dictionary* dict, DictionaryItem* item) {
    Dictionary* child = item->Container;
    Dictionary_Reset(child);
    item->Container = nullptr;
    child->Header.ClassId = 0;
    child->Items.ClassId = 0;
    Dictionary_DropExtra(child);
    DictionaryTree_Free(Dictionary_Tree(dict), child, sizeof(Dictionary));
}

// Puts `segment` and `separator` in front of the text in buffer, cutting at the capacity as a
// bounded print of "%s%s%s" would.
void PrependSegment(char* buffer, int32_t size, const char* segment, const char* separator) {
    if (size < 1) return;
    const int64_t segmentLength = (int64_t)strlen(segment);
    const int64_t separatorLength = (int64_t)strlen(separator);
    const int64_t prefix = segmentLength + separatorLength;
    const int64_t room = size - 1;
    const int64_t oldLength = (int64_t)strlen(buffer);
    const int64_t newLength = prefix + oldLength < room ? prefix + oldLength : room;
    if (newLength > prefix) memmove(buffer + prefix, buffer, (size_t)(newLength - prefix));
    const int64_t fromSegment = segmentLength < newLength ? segmentLength : newLength;
    memcpy(buffer, segment, (size_t)fromSegment);
    if (newLength > segmentLength) {
        const int64_t fromSeparator = prefix < newLength ? separatorLength : newLength - segmentLength;
        memcpy(buffer + segmentLength, separator, (size_t)fromSeparator);
    }
    buffer[newLength] = 0;
}

// Calls `report` at dict and at every ancestor whose slot is set, with the path of the change
// relative to that level and the item of that level holding the change.
template <typename Report>
void Bubble(Dictionary* dict, DictionaryItem* item, CallbackBase DictionaryExtra::*slot, Report report) {
    DictionaryItem* holder = item;
    for (Dictionary* level = dict; level; level = Dictionary_Parent(level)) {
        void* context = nullptr;
        void* function = nullptr;
        if (level->Extra && !CallbackBase_IsEmpty(&(level->Extra->*slot)) &&
            CallbackBase_GetReal(&(level->Extra->*slot), &context, &function)) {
            char path[kBubblePathSize];
            Dictionary_ItemGetPath(dict, item, level, path, kBubblePathSize);
            report(level, holder, context, function, path);
        }
        holder = Dictionary_ParentItem(level);
    }
}

} // namespace

// ---- Change reports -------------------------------------------------------------------------

void Dictionary_ItemRemoveBubble(Dictionary* dict, DictionaryItem* item) {
    Bubble(dict, item, &DictionaryExtra::ItemRemoveCallback,
           [](Dictionary* level, DictionaryItem* holder, void* context, void* function, const char* path) {
               reinterpret_cast<DictionaryItemRemoveCallback>(function)(level, holder, context, path);
           });
}

void Dictionary_ItemKeyChangeBubble(Dictionary* dict, DictionaryItem* item, const char* oldKey) {
    Bubble(
        dict, item, &DictionaryExtra::ItemKeyChangeCallback,
        [oldKey](Dictionary* level, DictionaryItem* holder, void* context, void* function, const char* path) {
            reinterpret_cast<DictionaryItemKeyChangeCallback>(function)(level, holder, context, path, oldKey);
        });
}

void Dictionary_ItemValueChangeBubble(Dictionary* dict, DictionaryItem* item, const char* oldValue,
                                      int32_t oldLength) {
    Bubble(dict, item, &DictionaryExtra::ItemValueChangeCallback,
           [oldValue, oldLength](Dictionary* level, DictionaryItem* holder, void* context, void* function,
                                 const char* path) {
               reinterpret_cast<DictionaryItemValueChangeCallback>(function)(level, holder, context, path,
                                                                             oldValue, (uint32_t)oldLength);
           });
}

void Dictionary_ListIndexBubble(Dictionary* dict, DictionaryItem* item) {
    for (; item; item = item->Next) Dictionary_ItemKeyChangeBubble(dict, item, nullptr);
}

// ---- Types ----------------------------------------------------------------------------------

int64_t Dictionary_ItemSetType(Dictionary* dict, DictionaryItem* item, uint32_t type) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    if (type > DICTIONARY_TYPE_DICTIONARY) return 0;
    // Only the type bits decide: a boolean bit left over from an earlier type must not make a
    // container drop its items, nor a scalar its text, when the same type is set again.
    if (DictionaryItem_Type(item) == type) return 1;
    Dictionary_ItemSetBuffer(dict, item, nullptr, 0);
    if (DictionaryItem_Child(item)) DeleteChild(dict, item);
    item->Flags = (uint8_t)((item->Flags & ~7u) | type);
    if (IsContainerType(type)) item->Container = Dictionary_CreateChild(dict, item);
    return 1;
}

int64_t Dictionary_ItemGetType(Dictionary* dict, DictionaryItem* item, uint32_t* type) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(type);
    *type = 0;
    DICTIONARY_ITEM_CHECK(item);
    *type = DictionaryItem_Type(item);
    return 1;
}

int64_t Dictionary_ItemCompareType(Dictionary* dict, DictionaryItem* item, uint32_t type) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    return DictionaryItem_Type(item) == type;
}

int64_t Dictionary_ItemIsContainer(Dictionary* dict, DictionaryItem* item) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    return IsContainerType(DictionaryItem_Type(item));
}

int64_t Dictionary_ItemIsNull(Dictionary* dict, DictionaryItem* item) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    return DictionaryItem_Type(item) == DICTIONARY_TYPE_NULL;
}

int64_t Dictionary_ItemSetNull(Dictionary* dict, DictionaryItem* item) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    return 1;
}

// ---- Keys -----------------------------------------------------------------------------------

int64_t Dictionary_ItemSetKey(Dictionary* dict, DictionaryItem* item, const char* key) {
    return Dictionary_ItemSetKeyLength(dict, item, key, key ? (int32_t)strnlen(key, INT32_MAX) : 0);
}

int64_t Dictionary_ItemSetKeyLength(Dictionary* dict, DictionaryItem* item, const char* key, int32_t length) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    if (!key || length < 0) length = 0;

    // Writing a key always decides the private bit.
    if (Dictionary_KeyHasPrivateMark(dict, key, length)) {
        key++;
        length--;
        item->Flags |= DICTIONARY_ITEM_FLAG_PRIVATE;
    } else {
        item->Flags &= (uint8_t)~DICTIONARY_ITEM_FLAG_PRIVATE;
    }

    if (key && length > DICTIONARY_MAX_KEY_LENGTH) {
        // The key need not be terminated within `length`: show a terminated copy.
        char shown[kShownKeyBytes + 1];
        const int32_t shownLength = length < kShownKeyBytes ? length : kShownKeyBytes;
        memcpy(shown, key, (size_t)shownLength);
        shown[shownLength] = 0;
        Dictionary_Print(dict, "Key exceeds maximum length %s (%d > %d)", shown, length,
                         DICTIONARY_MAX_KEY_LENGTH);
        length = DICTIONARY_MAX_KEY_LENGTH;
        // Never cut inside a UTF-8 character: a key split there is no longer valid text.
        while (length > 0 && ((uint8_t)key[length] & 0xC0) == 0x80) length--;
    }

    // A key ends at its first NUL: only that much is kept, and its length is its strlen.
    if (key) {
        const void* nul = memchr(key, 0, (size_t)length);
        if (nul) length = (int32_t)(static_cast<const char*>(nul) - key);
    }

    // An item not linked yet (one being inserted) enters the index when it is linked.
    const bool linked = item->Prev || dict->Items.First == item;
    const bool indexed = Dictionary_Index(dict) && linked;
    if (indexed) Dictionary_IndexRemove(dict, item);
    // The old key stays readable until the change is reported: `key` may point into it. One kept
    // in the item is copied out first, since the new key may be written where it was.
    char* oldKey = DictionaryItem_Key(item);
    const int32_t oldLength = DictionaryItem_KeyLength(item);
    const bool oldOwned = !(item->Flags & DICTIONARY_ITEM_FLAG_SHARED_KEY) && !item->InlineKey;
    char oldInline[sizeof(item->KeyBytes)];
    if (item->InlineKey) {
        memcpy(oldInline, item->KeyBytes, sizeof(oldInline));
        if (key && key >= item->KeyBytes && key < item->KeyBytes + sizeof(item->KeyBytes))
            key = oldInline + (key - item->KeyBytes);
        oldKey = oldInline;
    }
    item->Flags &= (uint8_t)~DICTIONARY_ITEM_FLAG_SHARED_KEY;
    item->InlineKey = 0;
    item->Key = nullptr;
    if (key) {
        if (length >= 1) {
            DictionaryItem_StoreKey(dict, item, key, length);
        } else {
            char* text = Dictionary_StringAlloc(dict, 0);
            text[0] = 0;
            item->Key = text;
        }
        if (indexed)
            Dictionary_IndexAdd(dict, item);
        else if (linked)
            Dictionary_IndexMaybeBuild(dict);
        Dictionary_ItemKeyChangeBubble(dict, item, oldKey);
    }
    if (oldOwned) Dictionary_StringFree(dict, &oldKey, oldLength);
    return 1;
}

int64_t Dictionary_ItemGetKeyPtr(Dictionary* dict, DictionaryItem* item, const char** key) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(key);
    *key = nullptr;
    DICTIONARY_ITEM_CHECK(item);
    *key = DictionaryItem_Key(item);
    return *key != nullptr;
}

int64_t Dictionary_ItemGetKey(Dictionary* dict, DictionaryItem* item, char* buffer, int32_t size) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    DICTIONARY_ITEM_CHECK(item);
    if (!item->Key) return 0;
    String_CopyLength(buffer, DictionaryItem_Key(item), size);
    return 1;
}

int64_t Dictionary_ItemSetPrivate(Dictionary* dict, DictionaryItem* item, uint32_t value) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    if (value == 1)
        item->Flags |= DICTIONARY_ITEM_FLAG_PRIVATE;
    else
        item->Flags &= (uint8_t)~DICTIONARY_ITEM_FLAG_PRIVATE;
    return 1;
}

int64_t Dictionary_ItemGetPrivate(Dictionary* dict, DictionaryItem* item, uint32_t* value) {
    DICTIONARY_CHECK(dict);
    if (value) *value = 0;
    DICTIONARY_ITEM_CHECK(item);
    const uint32_t isPrivate = dict->PrivateKeys != 0 && (item->Flags & DICTIONARY_ITEM_FLAG_PRIVATE) != 0;
    if (value) *value = isPrivate;
    return isPrivate;
}

// ---- Values ---------------------------------------------------------------------------------

int64_t Dictionary_ItemSetBuffer(Dictionary* dict, DictionaryItem* item, const char* bytes, int32_t length) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    if (length < 0) length = 0;
    const char* current = DictionaryItem_Text(item);
    const int32_t oldLength = DictionaryItem_Length(item);
    if (length >= 1 && bytes && current && length == oldLength && memcmp(bytes, current, (size_t)length) == 0)
        return 1;

    // The old text stays until the change is reported: `bytes` may point into it. A text kept in
    // the item is copied out first, since the new text is written where it was.
    char inlineOld[sizeof(item->Inline)];
    const char* oldValue = current;
    if (current && (item->Flags & DICTIONARY_ITEM_FLAG_INLINE_VALUE) && !DictionaryItem_IsContainer(item)) {
        memcpy(inlineOld, item->Inline, sizeof(inlineOld));
        oldValue = inlineOld;
        if (bytes >= item->Inline && bytes < item->Inline + sizeof(item->Inline))
            bytes = inlineOld + (bytes - item->Inline);
    }
    // Detached, not freed: the old block is freed at the end.
    char* oldBlock = nullptr;
    bool oldOwned = false;
    if (current && !(item->Flags & (DICTIONARY_ITEM_FLAG_SHARED_VALUE | DICTIONARY_ITEM_FLAG_INLINE_VALUE))) {
        oldBlock = const_cast<char*>(current);
        oldOwned = true;
    }
    if (char** slot = DictionaryItem_TextSlot(item, false)) *slot = nullptr;
    item->Flags &= (uint8_t)~(DICTIONARY_ITEM_FLAG_SHARED_VALUE | DICTIONARY_ITEM_FLAG_INLINE_VALUE);
    item->StoredLength = 0;

    const uint32_t type = DictionaryItem_Type(item);
    if (type == DICTIONARY_TYPE_NULL) {
        // A Null item holds no text.
    } else if (type == DICTIONARY_TYPE_BOOLEAN) {
        if (bytes && length >= 1) {
            char first = bytes[0];
            if (first >= 'a' && first <= 'z') first = (char)(first - 'a' + 'A');
            if (first == 'T')
                item->Flags |= DICTIONARY_ITEM_FLAG_BOOLEAN;
            else
                item->Flags &= (uint8_t)~DICTIONARY_ITEM_FLAG_BOOLEAN;
        }
    } else if (length >= 1) {
        DictionaryItem_StoreText(dict, item, bytes, length);
        if (type == DICTIONARY_TYPE_INT64 || type == DICTIONARY_TYPE_FLOAT64 ||
            type == DICTIONARY_TYPE_STRING)
            Dictionary_ItemValueChangeBubble(dict, item, oldValue, oldValue ? oldLength : 0);
    }
    if (oldOwned) Dictionary_TextFree(dict, oldBlock, oldLength);
    return 1;
}

int64_t Dictionary_ItemGetBufferPtr(Dictionary* dict, DictionaryItem* item, const char** bytes,
                                    int32_t* length) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(bytes);
    *bytes = nullptr;
    if (length) *length = 0;
    DICTIONARY_ITEM_CHECK(item);
    const char* text = DictionaryItem_Text(item);
    int32_t textLength = DictionaryItem_Length(item);
    switch (DictionaryItem_Type(item)) {
    case DICTIONARY_TYPE_NULL:
        text = "null";
        textLength = 4;
        break;
    case DICTIONARY_TYPE_BOOLEAN: {
        const bool set = (item->Flags & DICTIONARY_ITEM_FLAG_BOOLEAN) != 0;
        text = set ? "true" : "false";
        textLength = set ? 4 : 5;
        break;
    }
    case DICTIONARY_TYPE_STRING:
        if (!text) {
            text = "";
            textLength = 0;
        }
        break;
    default:
        break;
    }
    *bytes = text;
    if (length) *length = text ? textLength : 0;
    return text != nullptr;
}

int64_t Dictionary_ItemGetView(Dictionary* dict, DictionaryItem* item, DictionaryItemView* view) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(view);
    DICTIONARY_ITEM_CHECK(item);
    view->Key = DictionaryItem_Key(item);
    view->KeyLength = DictionaryItem_KeyLength(item);
    view->Private = dict->PrivateKeys != 0 && (item->Flags & DICTIONARY_ITEM_FLAG_PRIVATE) != 0;
    const uint32_t type = DictionaryItem_Type(item);
    view->Type = type;
    const char* text = DictionaryItem_Text(item);
    int32_t length = DictionaryItem_Length(item);
    if (type == DICTIONARY_TYPE_NULL) {
        text = "null";
        length = 4;
    } else if (type == DICTIONARY_TYPE_BOOLEAN) {
        const bool set = (item->Flags & DICTIONARY_ITEM_FLAG_BOOLEAN) != 0;
        text = set ? "true" : "false";
        length = set ? 4 : 5;
    } else if (type == DICTIONARY_TYPE_STRING && !text) {
        text = "";
        length = 0;
    }
    view->Text = text;
    view->Length = text ? length : 0;
    view->Child = DictionaryItem_Child(item);
    view->Next = item->Next;
    return 1;
}

int64_t Dictionary_ItemSetBoolean(Dictionary* dict, DictionaryItem* item, uint32_t value) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    const bool was = (item->Flags & DICTIONARY_ITEM_FLAG_BOOLEAN) != 0;
    const bool now = value == 1;
    if (now)
        item->Flags |= DICTIONARY_ITEM_FLAG_BOOLEAN;
    else
        item->Flags &= (uint8_t)~DICTIONARY_ITEM_FLAG_BOOLEAN;
    if (was != now) Dictionary_ItemValueChangeBubble(dict, item, was ? "true" : "false", was ? 4 : 5);
    return 1;
}

// ---- Paths ----------------------------------------------------------------------------------

int64_t Dictionary_ItemGetPath(Dictionary* dict, DictionaryItem* item, Dictionary* ancestor, char* buffer,
                               int32_t size) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;

    Dictionary* level = dict;
    DictionaryItem* current = item;
    bool first = true;
    for (;;) {
        char segment[DICTIONARY_MAX_KEY_LENGTH + 1];
        if (current->Key) {
            String_CopyLengthSafe(segment, (int32_t)sizeof(segment), DictionaryItem_Key(current),
                                  DICTIONARY_MAX_KEY_LENGTH);
        } else {
            uint32_t index = 0;
            for (DictionaryItem* p = current->Prev; p; p = p->Prev) index++;
            String_Print(segment, (int32_t)sizeof(segment), "[%d]", (int32_t)index);
        }
        if (first)
            String_CopyLength(buffer, segment, size);
        else if (size > 0)
            PrependSegment(buffer, size, segment, buffer[0] == '[' ? "" : ".");
        first = false;

        if (level == ancestor) return 1;
        if (!Dictionary_Parent(level)) return 0;
        current = Dictionary_ParentItem(level);
        level = Dictionary_Parent(level);
        DICTIONARY_CHECK(level);
        DICTIONARY_ITEM_CHECK(current);
    }
}
