// Dictionary lookups among the items of one dictionary.
#include <cstring>

#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_internal.h"
#include "core/runtime/string.h"

namespace {

// Equal as NUL-terminated texts (exactly, or without case), with the stored length as a cheap
// first test: a stored key shorter than `key` cannot be equal.
bool KeyEquals(const DictionaryItem* item, const char* key, size_t length, bool caseless) {
    if (!item->Key || (size_t)item->KeyLength < length || item->Key[length] != 0) return false;
    if (caseless) return String_CompareLengthWithoutCase(item->Key, key, (int32_t)length) != 0;
    return memcmp(item->Key, key, length) == 0;
}

} // namespace

int64_t Dictionary_ItemFindByKey(Dictionary* dict, const char* key, DictionaryItem* start,
                                 DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(item);
    *item = nullptr;
    ASSERT_POINTER(key);
    if (start) DICTIONARY_ITEM_CHECK(start);
    DictionaryItem* current = start ? start : dict->Items.First;
    if (!current) return 0;

    if (dict->PrivateKeys == 1 && (key[0] == '.' || key[0] == '#')) key++;
    const size_t length = strlen(key);
    const bool caseless = dict->CaseSensitive != 1;

    // "[n]": an item before position n whose key is literally the text wins, else position n.
    if (length >= 2 && key[0] == '[' && key[length - 1] == ']') {
        const int32_t position = String_AtoI(key + 1);
        if (position >= 0) {
            for (int32_t i = 0; current && i < position; i++, current = current->Next) {
                if (KeyEquals(current, key, length, caseless)) {
                    *item = current;
                    return 1;
                }
            }
            *item = current;
            return current != nullptr;
        }
    }
    for (; current; current = current->Next) {
        if (KeyEquals(current, key, length, caseless)) {
            *item = current;
            return 1;
        }
    }
    return 0;
}
