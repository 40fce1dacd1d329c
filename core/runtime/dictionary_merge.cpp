// Whole-tree operations on dictionaries: merging one tree into another, syncing a target into an
// image of a source, pruning by a source, and unwrapping a parsed document's single root.
#include <cstring>

#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_internal.h"

namespace {

Dictionary* RootOf(Dictionary* dict) {
    while (Dictionary_Parent(dict)) dict = Dictionary_Parent(dict);
    return dict;
}

// When source and target share a tree, writing the target can reach the source: a retyped item
// may free the source under the walk, and merging a tree into its own descendant would grow
// without end. Such calls read a copy of the source taken first.
bool SameTree(Dictionary* a, Dictionary* b) {
    return RootOf(a) == RootOf(b);
}

// Walks back to the head of the item's list: an item of another dictionary has another head.
bool ItemIsIn(Dictionary* dict, DictionaryItem* item, uint32_t* index) {
    uint32_t n = 0;
    DictionaryItem* head = item;
    for (; head->Prev; head = head->Prev) n++;
    if (index) *index = n;
    return head == dict->Items.First;
}

// The item at `position`, or null past the end.
DictionaryItem* ItemAt(Dictionary* dict, uint32_t position) {
    if (position >= dict->Items.Count) return nullptr;
    DictionaryItem* item = nullptr;
    Dictionary_ItemFindByIndex(dict, (int32_t)position, nullptr, &item);
    return item;
}

// A key taken from a stored item is looked up and written as stored. The private prefix rule
// already ran when the item was made (its private bit travels on its own, see ApplyItem): run
// again, it would take a second "#" or "." off ("##x" read as "#x" would become "x") and make two
// names one. Only a key the rule would change turns the rule off, for the lookup or insert alone.
class StoredKey {
  public:
    StoredKey(Dictionary* dict, const char* key)
        : dict_(dict), saved_(dict->PrivateKeys),
          off_(key && dict->PrivateKeys == 1 && (key[0] == '.' || key[0] == '#')) {
        if (off_) dict_->PrivateKeys = 0;
    }
    StoredKey(const StoredKey&) = delete;
    StoredKey& operator=(const StoredKey&) = delete;
    ~StoredKey() {
        if (off_) dict_->PrivateKeys = saved_;
    }

  private:
    Dictionary* dict_;
    uint32_t saved_;
    bool off_;
};

// The item holding a key taken from a stored item, found as stored: the key text exactly, never
// "[n]" taken as a position (a key "[0]" would otherwise merge into whatever item comes first).
bool FindStored(Dictionary* dict, const char* key, DictionaryItem** item) {
    return Dictionary_FindPlainKey(dict, key, strlen(key), nullptr, item) != 0;
}

// Removes every item of `dict` in the order a reset would (each item after its subtree, the last
// first, with the same remove reports) but without recursion, so that a deep subtree costs no
// stack when it goes.
void EmptyDeep(Dictionary* dict) {
    Dictionary* level = dict;
    for (;;) {
        DictionaryItem* last = level->Items.Last;
        if (!last) {
            if (level == dict) return;
            level = Dictionary_Parent(level);
            continue;
        }
        if (DictionaryItem_Child(last) && DictionaryItem_Child(last)->Items.Last) {
            level = DictionaryItem_Child(last);
            continue;
        }
        Dictionary_Remove(level, &last);
    }
}

void RemoveItem(Dictionary* dict, DictionaryItem* item) {
    if (DictionaryItem_Child(item)) EmptyDeep(DictionaryItem_Child(item));
    Dictionary_Remove(dict, &item);
}

// Copies the items first..last (last null: to the end) of `source` to the end of `copy`, with
// their subtrees when `deep`. Keys, types, private and boolean bits and texts are copied as
// stored, and every level takes the PrivateKeys and CaseSensitive of its original, so that
// lookups and privacy read the same on the copy. The walk follows the parent links instead of
// recursing, so depth costs no stack.
void CopyItems(Dictionary* copy, Dictionary* source, DictionaryItem* first, DictionaryItem* last, bool deep) {
    Dictionary* const top = source;
    // Keys are written as stored: no private prefix may be taken off while copying. Children made
    // below take this 0 and get their own value when their level is done.
    copy->PrivateKeys = 0;
    DictionaryItem* s = first;
    for (;;) {
        if (!s) {
            copy->PrivateKeys = source->PrivateKeys;
            copy->CaseSensitive = source->CaseSensitive;
            Dictionary_IndexRebuild(copy);
            if (source == top) return;
            DictionaryItem* holder = Dictionary_ParentItem(source);
            source = Dictionary_Parent(source);
            copy = Dictionary_Parent(copy);
            s = source == top && holder == last ? nullptr : holder->Next;
            continue;
        }
        DictionaryItem* n = nullptr;
        Dictionary_Append(copy, nullptr, &n);
        if (DictionaryItem_Key(s)) Dictionary_ItemSetKeyLength(copy, n, DictionaryItem_Key(s), DictionaryItem_KeyLength(s));
        Dictionary_ItemSetType(copy, n, DictionaryItem_Type(s));
        n->Flags |= (uint8_t)(s->Flags & (DICTIONARY_ITEM_FLAG_PRIVATE | DICTIONARY_ITEM_FLAG_BOOLEAN));
        if (DictionaryItem_Text(s))
            Dictionary_ItemSetBuffer(copy, n, DictionaryItem_Text(s), DictionaryItem_Length(s));
        if (deep && DictionaryItem_Child(s) && DictionaryItem_Child(n)) {
            source = DictionaryItem_Child(s);
            copy = DictionaryItem_Child(n);
            copy->PrivateKeys = 0;
            s = source->Items.First;
            continue;
        }
        s = source == top && s == last ? nullptr : s->Next;
    }
}

// Owns the copy of a source that shares the target's tree.
class SourceCopy {
  public:
    SourceCopy() = default;
    SourceCopy(const SourceCopy&) = delete;
    SourceCopy& operator=(const SourceCopy&) = delete;
    ~SourceCopy() {
        if (!copy_) return;
        EmptyDeep(copy_);
        Dictionary_Release(&copy_);
    }

    Dictionary* Take(Dictionary* source, DictionaryItem* first, DictionaryItem* last, bool deep) {
        Dictionary_Create(&copy_);
        if (first) CopyItems(copy_, source, first, last, deep);
        copy_->PrivateKeys = source->PrivateKeys;
        copy_->CaseSensitive = source->CaseSensitive;
        Dictionary_IndexRebuild(copy_);
        return copy_;
    }

  private:
    Dictionary* copy_ = nullptr;
};

// Gives `dest` the source item's type, private bit and value text. Equal values and types
// change nothing, so the change callbacks report only real changes.
void ApplyItem(Dictionary* target, DictionaryItem* dest, uint32_t type, uint32_t isPrivate, const char* text,
               int32_t length) {
    // A retyped container loses its subtree: let it go without recursion.
    if (DictionaryItem_Child(dest) && DictionaryItem_Type(dest) != type)
        EmptyDeep(DictionaryItem_Child(dest));
    Dictionary_ItemSetType(target, dest, type);
    Dictionary_ItemSetPrivate(target, dest, isPrivate);
    if (type == DICTIONARY_TYPE_BOOLEAN) {
        // Through the boolean setter, so that a flip is reported like any other value change.
        const bool value = text && length == 4 && memcmp(text, "true", 4) == 0;
        Dictionary_ItemSetBoolean(target, dest, value ? 1u : 0u);
    } else {
        Dictionary_ItemSetBuffer(target, dest, text, length);
    }
}

// One source item into `target` (without its children); the destination, or null when the item
// is left out.
DictionaryItem* MergeOne(Dictionary* target, Dictionary* source, DictionaryItem* s, uint32_t flags) {
    const uint32_t isPrivate = (uint32_t)Dictionary_ItemGetPrivate(source, s, nullptr);
    if ((flags & DICTIONARY_MERGE_SKIP_PRIVATE) && isPrivate) return nullptr;
    const char* text = nullptr;
    int32_t length = 0;
    Dictionary_ItemGetBufferPtr(source, s, &text, &length);

    DictionaryItem* dest = nullptr;
    bool found = false;
    {
        const StoredKey asStored(target, DictionaryItem_Key(s));
        found = DictionaryItem_Key(s) && FindStored(target, DictionaryItem_Key(s), &dest);
        if (!found)
            Dictionary_Insert(target, (flags & DICTIONARY_MERGE_FRONT) ? nullptr : target->Items.Last,
                              DictionaryItem_Key(s), &dest);
    }
    if (found && !(flags & DICTIONARY_MERGE_OVERWRITE)) return dest;
    ApplyItem(target, dest, DictionaryItem_Type(s), isPrivate, text, length);
    return dest;
}

// Merges the source items first..last (last null: to the end) and, depth first, their children.
// `source` is never in the target's tree here.
void MergeRange(Dictionary* target, Dictionary* source, DictionaryItem* first, DictionaryItem* last,
                uint32_t flags) {
    Dictionary* const top = source;
    DictionaryItem* s = first;
    for (;;) {
        if (!s) {
            if (source == top) return;
            DictionaryItem* holder = Dictionary_ParentItem(source);
            source = Dictionary_Parent(source);
            target = Dictionary_Parent(target);
            s = source == top && holder == last ? nullptr : holder->Next;
            continue;
        }
        DictionaryItem* dest = MergeOne(target, source, s, flags);
        if (dest && DictionaryItem_Child(s) && DictionaryItem_Child(dest)) {
            if (!(flags & DICTIONARY_MERGE_KEEP_LISTS) && DictionaryItem_Type(dest) == DICTIONARY_TYPE_LIST)
                EmptyDeep(DictionaryItem_Child(dest)); // the reset of the list, without recursion
            target = DictionaryItem_Child(dest);
            source = DictionaryItem_Child(s);
            s = source->Items.First;
            continue;
        }
        s = source == top && s == last ? nullptr : s->Next;
    }
}

// Removes the target items of one level that have no counterpart in the source. Walking from the
// end keeps the positions of the items still to be visited.
void RemoveMissingLevel(Dictionary* target, Dictionary* source) {
    uint32_t position = target->Items.Count;
    DictionaryItem* previousFound = nullptr;
    for (DictionaryItem* t = target->Items.Last; t;) {
        position--;
        DictionaryItem* before = t->Prev;
        DictionaryItem* found = nullptr;
        if (DictionaryItem_Key(t)) {
            const StoredKey asStored(source, DictionaryItem_Key(t));
            FindStored(source, DictionaryItem_Key(t), &found);
        } else
            found = previousFound ? previousFound->Prev : ItemAt(source, position);
        if (!found) RemoveItem(target, t);
        previousFound = found;
        t = before;
    }
}

// Syncs the source items from `start` (at `position` in its dictionary) and, depth first, the
// children of each into the matching destination's child, each child level ending with its
// RemoveMissing; the top level ends with one only when `removeMissing`.
void SyncRange(Dictionary* target, Dictionary* source, DictionaryItem* start, uint32_t position,
               void* context, DictionarySyncFilterCallback filter, bool removeMissing) {
    Dictionary* const top = source;
    DictionaryItem* lastDest = nullptr;
    DictionaryItem* s = start;
    for (;;) {
        if (!s) {
            if (source != top || removeMissing) RemoveMissingLevel(target, source);
            if (source == top) return;
            // Back in the parent level, the destination just finished is the last one there, so
            // the position is not needed again at that level.
            lastDest = Dictionary_ParentItem(target);
            s = Dictionary_ParentItem(source)->Next;
            source = Dictionary_Parent(source);
            target = Dictionary_Parent(target);
            continue;
        }
        if (filter && filter(target, context, source, s) != 1) {
            s = s->Next;
            position++;
            continue;
        }
        const uint32_t isPrivate = (uint32_t)Dictionary_ItemGetPrivate(source, s, nullptr);
        const char* text = nullptr;
        int32_t length = 0;
        Dictionary_ItemGetBufferPtr(source, s, &text, &length);

        DictionaryItem* dest = nullptr;
        {
            const StoredKey asStored(target, DictionaryItem_Key(s));
            if (DictionaryItem_Key(s))
                FindStored(target, DictionaryItem_Key(s), &dest);
            else
                dest = lastDest ? lastDest->Next : ItemAt(target, position);
            if (!dest) Dictionary_Append(target, DictionaryItem_Key(s), &dest);
        }
        ApplyItem(target, dest, DictionaryItem_Type(s), isPrivate, text, length);
        lastDest = dest;

        if (DictionaryItem_Child(s) && DictionaryItem_Child(dest)) {
            target = DictionaryItem_Child(dest);
            source = DictionaryItem_Child(s);
            s = source->Items.First;
            position = 0;
            lastDest = nullptr;
            continue;
        }
        s = s->Next;
        position++;
    }
}

void CheckPair(Dictionary* target, Dictionary* source) {
    DICTIONARY_CHECK(target);
    DICTIONARY_CHECK(source);
}

} // namespace

// ---- Merge ------------------------------------------------------------------------------------

int64_t Dictionary_Merge(Dictionary* target, Dictionary* source, uint32_t flags) {
    return Dictionary_MergeAt(target, source, nullptr, flags);
}

int64_t Dictionary_MergeAt(Dictionary* target, Dictionary* source, DictionaryItem* start, uint32_t flags) {
    CheckPair(target, source);
    if (start) {
        DICTIONARY_ITEM_CHECK(start);
        const bool startInSource = ItemIsIn(source, start, nullptr);
        ASSERT_MSG(startInSource, "The start item is not an item of the source");
    }
    DictionaryItem* first = start ? start : source->Items.First;
    if (!first) return 1;
    SourceCopy copy;
    if (SameTree(target, source)) {
        source = copy.Take(source, first, nullptr, true);
        first = source->Items.First;
    }
    MergeRange(target, source, first, nullptr, flags);
    return 1;
}

int64_t Dictionary_MergeItem(Dictionary* target, Dictionary* source, DictionaryItem* item, uint32_t flags) {
    CheckPair(target, source);
    DICTIONARY_ITEM_CHECK(item);
    const bool itemInSource = ItemIsIn(source, item, nullptr);
    ASSERT_MSG(itemInSource, "The item is not an item of the source");
    SourceCopy copy;
    if (SameTree(target, source)) {
        source = copy.Take(source, item, item, true);
        item = source->Items.First;
    }
    MergeRange(target, source, item, item, flags);
    return 1;
}

// ---- Sync -------------------------------------------------------------------------------------

int64_t Dictionary_Sync(Dictionary* target, Dictionary* source, void* context,
                        DictionarySyncFilterCallback filter) {
    CheckPair(target, source);
    SourceCopy copy;
    if (SameTree(target, source)) source = copy.Take(source, source->Items.First, nullptr, true);
    SyncRange(target, source, source->Items.First, 0, context, filter, true);
    return 1;
}

int64_t Dictionary_SyncAt(Dictionary* target, Dictionary* source, DictionaryItem* start, void* context,
                          DictionarySyncFilterCallback filter) {
    CheckPair(target, source);
    DICTIONARY_ITEM_CHECK(start);
    uint32_t position = 0;
    const bool startInSource = ItemIsIn(source, start, &position);
    ASSERT_MSG(startInSource, "The start item is not an item of the source");
    SourceCopy copy;
    if (SameTree(target, source)) {
        source = copy.Take(source, start, nullptr, true);
        start = source->Items.First;
    }
    SyncRange(target, source, start, position, context, filter, false);
    return 1;
}

int64_t Dictionary_RemoveMissing(Dictionary* target, Dictionary* source) {
    CheckPair(target, source);
    SourceCopy copy;
    if (SameTree(target, source)) source = copy.Take(source, source->Items.First, nullptr, false);
    RemoveMissingLevel(target, source);
    return 1;
}

int64_t Dictionary_RemoveMissingKeys(Dictionary* target, Dictionary* source) {
    CheckPair(target, source);
    SourceCopy copy;
    if (SameTree(target, source)) source = copy.Take(source, source->Items.First, nullptr, false);
    for (DictionaryItem* t = target->Items.Last; t;) {
        DictionaryItem* before = t->Prev;
        DictionaryItem* named = nullptr;
        if (DictionaryItem_Key(t) && !Dictionary_ItemFindByBuffer(source, DictionaryItem_Key(t), DictionaryItem_KeyLength(t), nullptr, &named))
            RemoveItem(target, t);
        t = before;
    }
    return 1;
}

// ---- Document roots ---------------------------------------------------------------------------

namespace {

int64_t SkipRootOf(Dictionary* dict, Dictionary** out, bool listToo) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(out);
    *out = dict;
    DictionaryItem* only = dict->Items.First;
    if (Dictionary_Parent(dict) || !only || only != dict->Items.Last || DictionaryItem_Key(only) || !DictionaryItem_Child(only))
        return 1;
    const uint32_t type = DictionaryItem_Type(only);
    if (type == DICTIONARY_TYPE_DICTIONARY || (listToo && type == DICTIONARY_TYPE_LIST))
        *out = DictionaryItem_Child(only);
    return 1;
}

} // namespace

int64_t Dictionary_SkipRoot(Dictionary* dict, Dictionary** out) {
    return SkipRootOf(dict, out, false);
}

int64_t Dictionary_SkipRootContainer(Dictionary* dict, Dictionary** out) {
    return SkipRootOf(dict, out, true);
}
