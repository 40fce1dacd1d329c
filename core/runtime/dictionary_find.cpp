// Dictionary lookups: by key (with the positional "[n]" form), by index from either end, by
// value text, and by path, resolved one level at a time; the Contains and Remove operations
// built on them.
#include <cstring>

#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_internal.h"
#include "core/runtime/string.h"

namespace {

// A path segment longer than this is cut, as keys are.
constexpr int32_t kSegmentLength = DICTIONARY_MAX_KEY_LENGTH;

// Reads a position as String_AtoI does (sign, then "0x" hexadecimal or decimal digits), but
// answers false for a number outside the 32-bit range, which String_AtoI would wrap into some
// other, valid position.
bool ReadPosition(const char* text, int32_t* position) {
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    // The sign does not apply to the hexadecimal form.
    if (hex) negative = false;
    const int64_t limit = negative ? (int64_t)INT32_MAX + 1 : (int64_t)INT32_MAX;
    int64_t value = 0;
    for (const char* p = hex ? text + 2 : text;; p++) {
        int32_t digit = -1;
        if (*p >= '0' && *p <= '9')
            digit = *p - '0';
        else if (hex && *p >= 'a' && *p <= 'f')
            digit = *p - 'a' + 10;
        else if (hex && *p >= 'A' && *p <= 'F')
            digit = *p - 'A' + 10;
        if (digit < 0) break;
        value = value * (hex ? 16 : 10) + digit;
        if (value > limit) return false;
    }
    *position = (int32_t)(negative ? -value : value);
    return true;
}

bool IsContainer(const DictionaryItem* item) {
    const uint32_t type = DictionaryItem_Type(item);
    return (type == DICTIONARY_TYPE_LIST || type == DICTIONARY_TYPE_DICTIONARY) && DictionaryItem_Child(item);
}

// ---- Path resolution ------------------------------------------------------------------------

bool IsSegmentEnd(char c) {
    return c == '.' || c == '\\' || c == '[' || c == ']';
}

// Separators between segments; a '[' is not one of them, it begins the next segment.
bool IsSegmentGap(char c) {
    return c == '.' || c == '\\' || c == ']';
}

// Copies the first segment of a non-empty path to `segment` (at most kSegmentLength characters)
// and returns the rest. The end is searched from the second character, so that a segment may
// begin with '['. It is searched in the whole path, not in the copy only: a segment longer than
// a key must not swallow the rest of the path and leave its parent as the answer.
const char* SplitSegment(const char* path, char* segment) {
    size_t end = 1;
    while (path[end] != 0 && !IsSegmentEnd(path[end])) end++;
    const size_t copied = end < (size_t)kSegmentLength ? end : (size_t)kSegmentLength;
    memcpy(segment, path, copied);
    segment[copied] = 0;
    const char* rest = path + end;
    while (IsSegmentGap(*rest)) rest++;
    return rest;
}

bool ValueEquals(Dictionary* dict, DictionaryItem* item, const char* value, size_t length) {
    const char* text = nullptr;
    int32_t textLength = 0;
    if (!Dictionary_ItemGetBufferPtr(dict, item, &text, &textLength)) return false;
    if ((size_t)textLength != length) return false;
    if (dict->CaseSensitive != 1) return String_CompareLengthWithoutCase(text, value, (int32_t)length) != 0;
    return memcmp(text, value, length) == 0;
}

// "[key=value]": 1 when some item of dict has the key and the value text.
bool MatchKeyValue(Dictionary* dict, const char* text, const char* equals) {
    char key[kSegmentLength + 1];
    String_CopyLengthSafe(key, (int32_t)sizeof(key), text, (int32_t)(equals - text));
    const char* value = equals + 1;
    const size_t valueLength = strlen(value);
    DictionaryItem* candidate = nullptr;
    for (int64_t found = Dictionary_ItemFindByKey(dict, key, nullptr, &candidate); found;
         found = candidate->Next && Dictionary_ItemFindByKey(dict, key, candidate->Next, &candidate)) {
        if (ValueEquals(dict, candidate, value, valueLength)) return true;
    }
    return false;
}

struct Location {
    Dictionary* Dict;
    DictionaryItem* Item;
};

// Resolves `path` in dict. Only a key segment with a rest recurses (it may have to try the next
// item with the same key), so the depth stays within the depth of the tree however long the
// path; every other form goes on in this loop. A matched "[key=value]" leaves the item holding
// its dictionary as the answer for when the rest that follows it does not resolve.
bool Resolve(Dictionary* dict, const char* path, Location* out) {
    Location fallback = {nullptr, nullptr};
    char segment[kSegmentLength + 1];
    for (;;) {
        if (Dictionary_TextHasPrivateMark(dict, path)) path++;
        if (path[0] == 0 || !dict->Items.First) break;
        const char* rest = SplitSegment(path, segment);

        if (segment[0] != '[') {
            DictionaryItem* candidate = nullptr;
            for (int64_t found = Dictionary_ItemFindByKey(dict, segment, nullptr, &candidate); found;
                 found = candidate->Next &&
                         Dictionary_ItemFindByKey(dict, segment, candidate->Next, &candidate)) {
                if (rest[0] == 0) {
                    *out = {dict, candidate};
                    return true;
                }
                if (IsContainer(candidate) && Resolve(DictionaryItem_Child(candidate), rest, out))
                    return true;
            }
            break;
        }

        const char* text = segment + 1;
        const char* equals = strchr(text, '=');
        Dictionary* holder = dict;
        DictionaryItem* selected = nullptr;
        int32_t index = 0;
        if (String_IsNumeric(text)) {
            if (ReadPosition(text, &index)) Dictionary_ItemFindByIndex(dict, index, nullptr, &selected);
        } else if (equals) {
            if (!MatchKeyValue(dict, text, equals) || !Dictionary_Parent(dict) || !Dictionary_ParentItem(dict)) break;
            fallback = {Dictionary_Parent(dict), Dictionary_ParentItem(dict)};
            if (rest[0] == 0) break;
            path = rest; // the rest is resolved in this same dictionary
            continue;
        } else if (String_CompareWithoutCase(text, "next")) {
            holder = Dictionary_Parent(dict);
            if (holder && Dictionary_ParentItem(dict)) selected = Dictionary_ParentItem(dict)->Next;
        } else if (String_CompareWithoutCase(text, "last-child")) {
            selected = dict->Items.Last;
        }
        if (!selected) break;
        if (rest[0] == 0) {
            *out = {holder, selected};
            return true;
        }
        if (!IsContainer(selected)) break;
        dict = DictionaryItem_Child(selected);
        path = rest;
    }
    if (!fallback.Item) return false;
    *out = fallback;
    return true;
}

} // namespace

// ---- By key ---------------------------------------------------------------------------------

int64_t Dictionary_ItemFindByKey(Dictionary* dict, const char* key, DictionaryItem* start,
                                 DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(item);
    *item = nullptr;
    ASSERT_POINTER(key);
    if (start) DICTIONARY_ITEM_CHECK(start);
    DictionaryItem* current = start ? start : dict->Items.First;
    if (!current) return 0;

    if (Dictionary_TextHasPrivateMark(dict, key)) key++;
    const size_t length = strlen(key);
    const bool caseless = dict->CaseSensitive != 1;

    // "[n]": an item before position n whose key is literally the text wins, else position n.
    // A negative n, or one beyond 32 bits, leaves the text a plain key.
    int32_t position = -1;
    if (length >= 2 && key[0] == '[' && key[length - 1] == ']' && ReadPosition(key + 1, &position) &&
        position >= 0) {
        for (int32_t i = 0; current && i < position; i++, current = current->Next) {
            if (DictionaryItem_KeyEquals(current, key, length, caseless)) {
                *item = current;
                return 1;
            }
        }
        *item = current;
        return current != nullptr;
    }
    return Dictionary_FindPlainKey(dict, key, length, start, item);
}

int64_t Dictionary_FindPlainKey(Dictionary* dict, const char* key, size_t length, DictionaryItem* start,
                                DictionaryItem** item) {
    *item = nullptr;
    DictionaryItem* current = start ? start : dict->Items.First;
    if (!current) return 0;
    const bool caseless = dict->CaseSensitive != 1;
    DictionaryItem* first = nullptr;
    if (Dictionary_IndexFind(dict, key, length, &first)) {
        if (!first) return 0;
        if (!start || start == first) {
            *item = first;
            return 1;
        }
        // With one holder per key the answer is that holder, when it is not before the start.
        if (!Dictionary_IndexHasDuplicates(dict)) {
            if (!DictionaryItem_Precedes(start, first)) return 0;
            *item = first;
            return 1;
        }
    }
    for (; current; current = current->Next) {
        if (DictionaryItem_KeyEquals(current, key, length, caseless)) {
            *item = current;
            return 1;
        }
    }
    return 0;
}

int64_t Dictionary_ContainsKey(Dictionary* dict, const char* key) {
    DictionaryItem* found = nullptr;
    return Dictionary_ItemFindByKey(dict, key, nullptr, &found);
}

int64_t Dictionary_RemoveByKey(Dictionary* dict, const char* key) {
    DictionaryItem* found = nullptr;
    if (!Dictionary_ItemFindByKey(dict, key, nullptr, &found)) return 0;
    return Dictionary_Remove(dict, &found);
}

// ---- By index -------------------------------------------------------------------------------

int64_t Dictionary_ItemFindByIndex(Dictionary* dict, int32_t index, DictionaryItem* start,
                                   DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(item);
    *item = nullptr;
    if (start) DICTIONARY_ITEM_CHECK(start);

    DictionaryItem* current = nullptr;
    if (index >= 0) {
        current = start ? start : dict->Items.First;
        for (int32_t steps = index; current && steps > 0; steps--) current = current->Next;
    } else {
        // -1 is the item just before `start`, or the last item; counted in 64 bits, as
        // -INT32_MIN does not fit 32.
        current = start ? start->Prev : dict->Items.Last;
        for (int64_t steps = -(int64_t)index - 1; current && steps > 0; steps--) current = current->Prev;
    }
    *item = current;
    return current != nullptr;
}

// ---- By value text --------------------------------------------------------------------------

int64_t Dictionary_ItemFindByBuffer(Dictionary* dict, const char* bytes, int32_t length,
                                    DictionaryItem* start, DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(item);
    *item = nullptr;
    ASSERT_POINTER(bytes);
    if (start) DICTIONARY_ITEM_CHECK(start);
    // No value text has a negative length.
    if (length < 0) return 0;
    for (DictionaryItem* current = start ? start : dict->Items.First; current; current = current->Next) {
        const char* text = nullptr;
        int32_t textLength = 0;
        if (!Dictionary_ItemGetBufferPtr(dict, current, &text, &textLength)) continue;
        if (textLength == length && memcmp(text, bytes, (size_t)length) == 0) {
            *item = current;
            return 1;
        }
    }
    return 0;
}

int64_t Dictionary_ContainsString(Dictionary* dict, const char* text) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(text);
    DictionaryItem* found = nullptr;
    return Dictionary_ItemFindByBuffer(dict, text, (int32_t)strnlen(text, INT32_MAX), nullptr, &found);
}

int64_t Dictionary_RemoveByString(Dictionary* dict, const char* text) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(text);
    DictionaryItem* found = nullptr;
    if (!Dictionary_ItemFindByBuffer(dict, text, (int32_t)strnlen(text, INT32_MAX), nullptr, &found))
        return 0;
    return Dictionary_Remove(dict, &found);
}

// ---- By path --------------------------------------------------------------------------------

int64_t Dictionary_ItemFindByPath(Dictionary* dict, const char* path, Dictionary** holder,
                                  DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    if (holder) *holder = nullptr;
    if (item) *item = nullptr;
    ASSERT_POINTER(path);
    Location found = {nullptr, nullptr};
    if (!Resolve(dict, path, &found)) return 0;
    if (holder) *holder = found.Dict;
    if (item) *item = found.Item;
    return 1;
}

int64_t Dictionary_ContainsPath(Dictionary* dict, const char* path) {
    return Dictionary_ItemFindByPath(dict, path, nullptr, nullptr);
}
