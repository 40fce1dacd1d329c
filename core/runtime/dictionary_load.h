// The one step of a document reader that stores what it read: an item appended with its key,
// type and value at once, as Append, ItemSetType and ItemSetBuffer in a row would make it; and
// the one step of a document writer that reads an item whole.
#pragma once

#include <cstdint>

#include "core/runtime/dictionary.h"

// Appends to `dict` an item named by the first `keyLength` bytes of `key` (up to a NUL; null
// for an unnamed item) of `type`, with `length` bytes of `text` as its value: a Boolean is true
// when the text starts with 't' or 'T', Null and containers take no text. *child (may be null)
// receives a container's child. Change reports and the duplicate rule apply as for those calls.
int64_t Dictionary_AppendLoaded(Dictionary* dict, const char* key, int32_t keyLength, uint32_t type,
                                const char* text, int32_t length, Dictionary** child);

// The same, except that a container reaching the size at which keys are indexed gets no index
// yet: the loader makes it with Dictionary_IndexLoaded once the container's last item is in, in
// one pass that costs far less than keeping a large index in step item by item. Until then a
// lookup in the container scans its items. (A container that has an index keeps it in step.)
int64_t Dictionary_AppendLoadedIndexLater(Dictionary* dict, const char* key, int32_t keyLength, uint32_t type,
                                          const char* text, int32_t length, Dictionary** child);
// Makes the key index of `dict` when it has none and appends one at a time would have made it
// (a keyed item at the threshold's position or past it).
void Dictionary_IndexLoaded(Dictionary* dict);

// An item as the single getters answer it: the key (null for an unnamed item) and its stored
// length (the key ends at its first NUL within it, as ItemGetKeyPtr's text does), the private mark as ItemGetPrivate answers it, the type, the text as
// ItemGetBufferPtr answers it, a container's child, and the next item (null after the last).
struct DictionaryItemView {
    const char* Key;
    int32_t KeyLength;
    uint32_t Private;
    uint32_t Type;
    const char* Text;
    int32_t Length;
    Dictionary* Child;
    DictionaryItem* Next;
};

int64_t Dictionary_ItemGetView(Dictionary* dict, DictionaryItem* item, DictionaryItemView* view);
