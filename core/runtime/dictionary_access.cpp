// Typed access to dictionary values: creating what is missing (Ensure), reading and writing by
// key, by index and by item, list texts, enumerators, and the flat "key=value" text form.
#include <cstdarg>
#include <cstring>

#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_internal.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

namespace {

// One call appends at most this many items to reach an index: an index from outside input must
// not be able to exhaust memory.
constexpr int64_t kMaxEnsureGrowth = 1 << 20;

bool IsNumber(const DictionaryItem* item) {
    const uint32_t type = DictionaryItem_Type(item);
    return type == DICTIONARY_TYPE_INT64 || type == DICTIONARY_TYPE_FLOAT64;
}

DictionaryItem* FindKey(Dictionary* dict, const char* key) {
    DictionaryItem* item = nullptr;
    Dictionary_ItemFindByKey(dict, key, nullptr, &item);
    return item;
}

// The child of `item` when it is a container of exactly `type`.
int64_t ChildOfType(DictionaryItem* item, uint32_t type, Dictionary** child) {
    if (!item || DictionaryItem_Type(item) != type || !DictionaryItem_Child(item)) return 0;
    *child = DictionaryItem_Child(item);
    return 1;
}

int32_t TextLength(const char* text) {
    return (int32_t)strnlen(text, INT32_MAX);
}

int64_t SetNumberText(Dictionary* dict, DictionaryItem* item, const char* format, ...) {
    char text[64];
    va_list args;
    va_start(args, format);
    const int32_t length = String_VPrint(text, (int32_t)sizeof(text), format, args);
    va_end(args);
    return Dictionary_ItemSetBuffer(dict, item, text, length);
}

// A Float64 item's text: every digit the value needs to read back as itself, in "%g"'s spelling
// (so whole numbers to twelve digits stay plain); "NaN" or "Inf", which no reader takes for a
// number, for a value that is not finite.
int64_t SetFloat64Text(Dictionary* dict, DictionaryItem* item, double value) {
    char text[64];
    if (String_PrintNumberPrecision(value, 12, text, sizeof(text)))
        return Dictionary_ItemSetBuffer(dict, item, text, (int32_t)strlen(text));
    return SetNumberText(dict, item, "%g", value);
}

// A text in sized memory of its own: formatted (measured first, so never cut), or copied.
struct OwnText {
    char* Text = nullptr;
    int32_t Length = 0;
    int32_t Bytes = 0;

    OwnText(const char* format, va_list args) {
        va_list measure;
        va_copy(measure, args);
        const int32_t length = String_GetVPrintLength(format, measure);
        va_end(measure);
        if (!Allocate(length)) return;
        Length = String_VPrint(Text, Bytes, format, args);
    }
    OwnText(const char* text, int32_t length) {
        if (!Allocate(length)) return;
        memcpy(Text, text, (size_t)length);
        Text[length] = 0;
        Length = length;
    }
    ~OwnText() {
        if (Text) Memory_Free(Text, Bytes);
    }
    OwnText(const OwnText&) = delete;
    OwnText& operator=(const OwnText&) = delete;

    bool Allocate(int32_t length) {
        if (length < 1 || length == INT32_MAX) return false;
        Bytes = length + 1;
        Text = static_cast<char*>(Memory_Alloc(Bytes));
        return true;
    }
};

// 1 when `text` lies inside the item's own value, which a change of type frees.
bool IsOwnValue(const DictionaryItem* item, const char* text) {
    if (!DictionaryItem_Text(item)) return false;
    const uintptr_t at = (uintptr_t)text;
    const uintptr_t begin = (uintptr_t)DictionaryItem_Text(item);
    return at >= begin && at <= begin + (uintptr_t)DictionaryItem_Length(item);
}

// EnsureKey, then the given type; the item to fill.
DictionaryItem* EnsureTyped(Dictionary* dict, const char* key, uint32_t type) {
    DictionaryItem* item = nullptr;
    Dictionary_EnsureKey(dict, key, &item);
    Dictionary_ItemSetType(dict, item, type);
    return item;
}

int64_t EnsureContainer(Dictionary* dict, DictionaryItem* item, uint32_t type, DictionaryItem** out,
                        Dictionary** child) {
    Dictionary_ItemSetType(dict, item, type);
    if (out) *out = item;
    if (child) *child = DictionaryItem_Child(item);
    return 1;
}

int64_t EnsureContainerByIndex(Dictionary* dict, int32_t index, uint32_t type, DictionaryItem** item,
                               Dictionary** child) {
    if (item) *item = nullptr;
    if (child) *child = nullptr;
    DictionaryItem* found = nullptr;
    if (!Dictionary_EnsureIndex(dict, index, &found)) return 0;
    return EnsureContainer(dict, found, type, item, child);
}

// The walk of every enumerator: 1 when some call answered non-zero; a zero answer stops it. The
// next item is taken before the call, so that a callback may remove the item it was given.
template <typename Visit> int64_t Walk(Dictionary* dict, Visit visit) {
    int64_t any = 0;
    for (DictionaryItem* item = dict->Items.First; item;) {
        DictionaryItem* next = item->Next;
        int64_t answer = 0;
        if (visit(item, &answer)) {
            if (answer != 0) any = 1;
            if (answer == 0) break;
        }
        item = next;
    }
    return any;
}

} // namespace

// ---- Ensure ---------------------------------------------------------------------------------

int64_t Dictionary_EnsureKey(Dictionary* dict, const char* key, DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    if (item) *item = nullptr;
    ASSERT_POINTER(key);
    DictionaryItem* found = FindKey(dict, key);
    if (!found) Dictionary_Append(dict, key, &found);
    if (item) *item = found;
    return 1;
}

int64_t Dictionary_EnsureList(Dictionary* dict, const char* key, DictionaryItem** item, Dictionary** child) {
    DICTIONARY_CHECK(dict);
    if (item) *item = nullptr;
    if (child) *child = nullptr;
    DictionaryItem* found = nullptr;
    Dictionary_EnsureKey(dict, key, &found);
    return EnsureContainer(dict, found, DICTIONARY_TYPE_LIST, item, child);
}

int64_t Dictionary_EnsureDictionary(Dictionary* dict, const char* key, DictionaryItem** item,
                                    Dictionary** child) {
    DICTIONARY_CHECK(dict);
    if (item) *item = nullptr;
    if (child) *child = nullptr;
    DictionaryItem* found = nullptr;
    Dictionary_EnsureKey(dict, key, &found);
    return EnsureContainer(dict, found, DICTIONARY_TYPE_DICTIONARY, item, child);
}

int64_t Dictionary_EnsureIndex(Dictionary* dict, int32_t index, DictionaryItem** item) {
    DICTIONARY_CHECK(dict);
    if (item) *item = nullptr;
    if ((int64_t)index - (int64_t)dict->Items.Count >= kMaxEnsureGrowth) return 0;
    while ((int64_t)dict->Items.Count <= (int64_t)index) Dictionary_Append(dict, nullptr, nullptr);
    DictionaryItem* found = nullptr;
    if (!Dictionary_ItemFindByIndex(dict, index, nullptr, &found)) return 0;
    if (item) *item = found;
    return 1;
}

int64_t Dictionary_EnsureListByIndex(Dictionary* dict, int32_t index, DictionaryItem** item,
                                     Dictionary** child) {
    DICTIONARY_CHECK(dict);
    return EnsureContainerByIndex(dict, index, DICTIONARY_TYPE_LIST, item, child);
}

int64_t Dictionary_EnsureDictionaryByIndex(Dictionary* dict, int32_t index, DictionaryItem** item,
                                           Dictionary** child) {
    DICTIONARY_CHECK(dict);
    return EnsureContainerByIndex(dict, index, DICTIONARY_TYPE_DICTIONARY, item, child);
}

// ---- Item values ----------------------------------------------------------------------------

int64_t Dictionary_ItemSetString(Dictionary* dict, DictionaryItem* item, const char* text) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    ASSERT_POINTER(text);
    return Dictionary_ItemSetBuffer(dict, item, text, TextLength(text));
}

int64_t Dictionary_ItemSetStringV(Dictionary* dict, DictionaryItem* item, const char* format, va_list args) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    ASSERT_POINTER(format);
    OwnText text(format, args);
    return Dictionary_ItemSetBuffer(dict, item, text.Text, text.Length);
}

int64_t Dictionary_ItemSetStringPrint(Dictionary* dict, DictionaryItem* item, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Dictionary_ItemSetStringV(dict, item, format, args);
    va_end(args);
    return result;
}

int64_t Dictionary_ItemSetInt32(Dictionary* dict, DictionaryItem* item, int32_t value) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    return SetNumberText(dict, item, "%d", value);
}

int64_t Dictionary_ItemSetInt64(Dictionary* dict, DictionaryItem* item, int64_t value) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    return SetNumberText(dict, item, "%lld", value);
}

int64_t Dictionary_ItemSetFloat64(Dictionary* dict, DictionaryItem* item, double value) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    return SetFloat64Text(dict, item, value);
}

int64_t Dictionary_ItemGetString(Dictionary* dict, DictionaryItem* item, char* buffer, int32_t size) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    DICTIONARY_ITEM_CHECK(item);
    if (DictionaryItem_Type(item) != DICTIONARY_TYPE_STRING) return 0;
    if (DictionaryItem_Text(item)) String_CopyLength(buffer, DictionaryItem_Text(item), size);
    return 1;
}

int64_t Dictionary_ItemGetStringPtr(Dictionary* dict, DictionaryItem* item, const char** text) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(text);
    *text = nullptr;
    DICTIONARY_ITEM_CHECK(item);
    if (DictionaryItem_Type(item) != DICTIONARY_TYPE_STRING) return 0;
    *text = DictionaryItem_Text(item) ? DictionaryItem_Text(item) : "";
    return 1;
}

// The numeric item getters: numbers are held as text, read by the library's one number reader,
// so that every getter and every task argument gives a number item the same value. A text that
// holds no number (set by hand on an item of a number type) reads as failure, not as 0; an item
// only typed as a number, with no text yet, holds 0.
int64_t ItemGetNumber(Dictionary* dict, DictionaryItem* item, double* real, int64_t* whole) {
    DICTIONARY_CHECK(dict);
    DICTIONARY_ITEM_CHECK(item);
    if (!IsNumber(item)) return 0;
    // Item texts are kept terminated.
    const char* text = DictionaryItem_Text(item);
    if (!text || !text[0]) return 1;
    return String_ParseNumberText(text, real, whole);
}

int64_t Dictionary_ItemGetInt32(Dictionary* dict, DictionaryItem* item, int32_t* value) {
    ASSERT_POINTER(value);
    *value = 0;
    double real = 0;
    int64_t whole = 0;
    if (!ItemGetNumber(dict, item, &real, &whole)) return 0;
    *value = whole > INT32_MAX ? INT32_MAX : whole < INT32_MIN ? INT32_MIN : (int32_t)whole;
    return 1;
}

int64_t Dictionary_ItemGetInt64(Dictionary* dict, DictionaryItem* item, int64_t* value) {
    ASSERT_POINTER(value);
    *value = 0;
    double real = 0;
    return ItemGetNumber(dict, item, &real, value);
}

int64_t Dictionary_ItemGetFloat64(Dictionary* dict, DictionaryItem* item, double* value) {
    ASSERT_POINTER(value);
    *value = 0;
    return ItemGetNumber(dict, item, value, nullptr);
}

int64_t Dictionary_ItemGetBoolean(Dictionary* dict, DictionaryItem* item, uint32_t* value) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(value);
    *value = 0;
    DICTIONARY_ITEM_CHECK(item);
    if (DictionaryItem_Type(item) != DICTIONARY_TYPE_BOOLEAN) return 0;
    *value = (item->Flags & DICTIONARY_ITEM_FLAG_BOOLEAN) != 0;
    return 1;
}

// ---- By key ---------------------------------------------------------------------------------

int64_t Dictionary_SetStringByKey(Dictionary* dict, const char* key, const char* text) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(text);
    DictionaryItem* item = nullptr;
    Dictionary_EnsureKey(dict, key, &item);
    const int32_t length = TextLength(text);
    if (DictionaryItem_Type(item) != DICTIONARY_TYPE_STRING && IsOwnValue(item, text)) {
        OwnText copy(text, length);
        Dictionary_ItemSetType(dict, item, DICTIONARY_TYPE_STRING);
        return Dictionary_ItemSetBuffer(dict, item, copy.Text, copy.Length);
    }
    Dictionary_ItemSetType(dict, item, DICTIONARY_TYPE_STRING);
    return Dictionary_ItemSetBuffer(dict, item, text, length);
}

int64_t Dictionary_SetStringByKeyV(Dictionary* dict, const char* key, const char* format, va_list args) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(format);
    // Formatted before the item is retyped: an argument may be the item's own value.
    OwnText text(format, args);
    DictionaryItem* item = EnsureTyped(dict, key, DICTIONARY_TYPE_STRING);
    return Dictionary_ItemSetBuffer(dict, item, text.Text, text.Length);
}

int64_t Dictionary_SetStringByKeyPrint(Dictionary* dict, const char* key, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Dictionary_SetStringByKeyV(dict, key, format, args);
    va_end(args);
    return result;
}

int64_t Dictionary_SetInt32ByKey(Dictionary* dict, const char* key, int32_t value) {
    return Dictionary_SetInt64ByKey(dict, key, (int64_t)value);
}

int64_t Dictionary_SetInt64ByKey(Dictionary* dict, const char* key, int64_t value) {
    DICTIONARY_CHECK(dict);
    DictionaryItem* item = EnsureTyped(dict, key, DICTIONARY_TYPE_INT64);
    return SetNumberText(dict, item, "%lld", value);
}

int64_t Dictionary_SetFloat64ByKey(Dictionary* dict, const char* key, double value) {
    DICTIONARY_CHECK(dict);
    DictionaryItem* item = EnsureTyped(dict, key, DICTIONARY_TYPE_FLOAT64);
    return SetFloat64Text(dict, item, value);
}

int64_t Dictionary_SetBooleanByKey(Dictionary* dict, const char* key, uint32_t value) {
    DICTIONARY_CHECK(dict);
    DictionaryItem* item = EnsureTyped(dict, key, DICTIONARY_TYPE_BOOLEAN);
    return Dictionary_ItemSetBoolean(dict, item, value);
}

int64_t Dictionary_GetStringByKey(Dictionary* dict, const char* key, char* buffer, int32_t size) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    DictionaryItem* item = FindKey(dict, key);
    return item ? Dictionary_ItemGetString(dict, item, buffer, size) : 0;
}

int64_t Dictionary_GetStringPtrByKey(Dictionary* dict, const char* key, const char** text) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(text);
    *text = nullptr;
    DictionaryItem* item = FindKey(dict, key);
    return item ? Dictionary_ItemGetStringPtr(dict, item, text) : 0;
}

int64_t Dictionary_GetBufferPtrByKey(Dictionary* dict, const char* key, const char** bytes, int32_t* length) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(bytes);
    *bytes = nullptr;
    if (length) *length = 0;
    DictionaryItem* item = FindKey(dict, key);
    return item ? Dictionary_ItemGetBufferPtr(dict, item, bytes, length) : 0;
}

int64_t Dictionary_GetInt32ByKey(Dictionary* dict, const char* key, int32_t* value) {
    ASSERT_POINTER(value);
    *value = 0;
    int64_t wide = 0;
    const int64_t result = Dictionary_GetInt64ByKey(dict, key, &wide);
    *value = (int32_t)wide;
    return result;
}

int64_t Dictionary_GetInt64ByKey(Dictionary* dict, const char* key, int64_t* value) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(value);
    *value = 0;
    DictionaryItem* item = FindKey(dict, key);
    return item ? Dictionary_ItemGetInt64(dict, item, value) : 0;
}

int64_t Dictionary_GetFloat64ByKey(Dictionary* dict, const char* key, double* value) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(value);
    *value = 0.0;
    DictionaryItem* item = FindKey(dict, key);
    return item ? Dictionary_ItemGetFloat64(dict, item, value) : 0;
}

int64_t Dictionary_GetBooleanByKey(Dictionary* dict, const char* key, uint32_t* value) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(value);
    *value = 0;
    DictionaryItem* item = FindKey(dict, key);
    return item ? Dictionary_ItemGetBoolean(dict, item, value) : 0;
}

int64_t Dictionary_GetTypeByKey(Dictionary* dict, const char* key, uint32_t* type) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(type);
    *type = 0;
    DictionaryItem* item = FindKey(dict, key);
    if (!item) return 0;
    *type = DictionaryItem_Type(item);
    return 1;
}

int64_t Dictionary_GetListByKey(Dictionary* dict, const char* key, Dictionary** child) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(child);
    *child = nullptr;
    return ChildOfType(FindKey(dict, key), DICTIONARY_TYPE_LIST, child);
}

int64_t Dictionary_GetDictionaryByKey(Dictionary* dict, const char* key, Dictionary** child) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(child);
    *child = nullptr;
    return ChildOfType(FindKey(dict, key), DICTIONARY_TYPE_DICTIONARY, child);
}

int64_t Dictionary_GetListByIndex(Dictionary* dict, int32_t index, Dictionary** child) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(child);
    *child = nullptr;
    DictionaryItem* item = nullptr;
    Dictionary_ItemFindByIndex(dict, index, nullptr, &item);
    return ChildOfType(item, DICTIONARY_TYPE_LIST, child);
}

int64_t Dictionary_GetDictionaryByIndex(Dictionary* dict, int32_t index, Dictionary** child) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(child);
    *child = nullptr;
    DictionaryItem* item = nullptr;
    Dictionary_ItemFindByIndex(dict, index, nullptr, &item);
    return ChildOfType(item, DICTIONARY_TYPE_DICTIONARY, child);
}

// ---- List texts -----------------------------------------------------------------------------

int64_t Dictionary_GetListStringByKey(Dictionary* dict, const char* key, char* buffer, int32_t size) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    DictionaryItem* item = FindKey(dict, key);
    if (!item) return 0;
    const uint32_t type = DictionaryItem_Type(item);
    if (type == DICTIONARY_TYPE_STRING) return Dictionary_ItemGetString(dict, item, buffer, size);
    if (type != DICTIONARY_TYPE_LIST || !DictionaryItem_Child(item)) return 0;
    if (size < 1) return 1;
    for (DictionaryItem* element = DictionaryItem_Child(item)->Items.First; element; element = element->Next)
        if (DictionaryItem_Type(element) == DICTIONARY_TYPE_STRING && DictionaryItem_Text(element))
            String_CatLength(buffer, DictionaryItem_Text(element), size);
    return 1;
}

int64_t Dictionary_GetListStringLengthByKey(Dictionary* dict, const char* key, uint32_t* length) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(length);
    *length = 0;
    DictionaryItem* item = FindKey(dict, key);
    if (!item) return 0;
    const uint32_t type = DictionaryItem_Type(item);
    if (type == DICTIONARY_TYPE_STRING) {
        *length = (uint32_t)DictionaryItem_Length(item);
        return 1;
    }
    if (type != DICTIONARY_TYPE_LIST || !DictionaryItem_Child(item)) return 0;
    uint64_t total = 0;
    for (DictionaryItem* element = DictionaryItem_Child(item)->Items.First; element; element = element->Next)
        if (DictionaryItem_Type(element) == DICTIONARY_TYPE_STRING) total += (uint64_t)DictionaryItem_Length(element);
    *length = total > UINT32_MAX ? UINT32_MAX : (uint32_t)total;
    return 1;
}

// ---- Enumerators ----------------------------------------------------------------------------

int64_t Dictionary_EnumerateString(Dictionary* dict, void* context, DictionaryEnumerateStringCallback fn) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(fn);
    return Walk(dict, [&](DictionaryItem* item, int64_t* answer) {
        if (DictionaryItem_Type(item) != DICTIONARY_TYPE_STRING) return false;
        *answer = fn(context, DictionaryItem_Text(item) ? DictionaryItem_Text(item) : "");
        return true;
    });
}

int64_t Dictionary_EnumerateKey(Dictionary* dict, void* context, DictionaryEnumerateKeyCallback fn) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(fn);
    return Walk(dict, [&](DictionaryItem* item, int64_t* answer) {
        if (!DictionaryItem_Key(item)) return false;
        *answer = fn(context, DictionaryItem_Key(item));
        return true;
    });
}

int64_t Dictionary_EnumerateKeyString(Dictionary* dict, void* context,
                                      DictionaryEnumerateKeyStringCallback fn) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(fn);
    return Walk(dict, [&](DictionaryItem* item, int64_t* answer) {
        if (!DictionaryItem_Key(item) || DictionaryItem_Type(item) != DICTIONARY_TYPE_STRING) return false;
        *answer = fn(context, DictionaryItem_Key(item), DictionaryItem_Text(item) ? DictionaryItem_Text(item) : "");
        return true;
    });
}

int64_t Dictionary_EnumerateKeyBuffer(Dictionary* dict, void* context,
                                      DictionaryEnumerateKeyBufferCallback fn) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(fn);
    return Walk(dict, [&](DictionaryItem* item, int64_t* answer) {
        const char* text = nullptr;
        int32_t length = 0;
        if (!DictionaryItem_Key(item) || !Dictionary_ItemGetBufferPtr(dict, item, &text, &length)) return false;
        *answer = fn(context, DictionaryItem_Key(item), text, length);
        return true;
    });
}

int64_t Dictionary_EnumerateList(Dictionary* dict, const char* key, void* context,
                                 DictionaryEnumerateListCallback fn) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(fn);
    DictionaryItem* item = FindKey(dict, key);
    if (!item) return 0;
    if (DictionaryItem_Type(item) == DICTIONARY_TYPE_LIST && DictionaryItem_Child(item)) {
        Dictionary* list = DictionaryItem_Child(item);
        return Walk(list, [&](DictionaryItem* element, int64_t* answer) {
            *answer = fn(context, list, element);
            return true;
        });
    }
    const char* text = nullptr;
    if (!Dictionary_ItemGetBufferPtr(dict, item, &text, nullptr)) return 0;
    return fn(context, dict, item) == 1;
}

int64_t Dictionary_EnumerateListString(Dictionary* dict, const char* key, void* context,
                                       DictionaryEnumerateStringCallback fn) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(fn);
    DictionaryItem* item = FindKey(dict, key);
    if (!item) return 0;
    const uint32_t type = DictionaryItem_Type(item);
    if (type == DICTIONARY_TYPE_LIST && DictionaryItem_Child(item)) {
        return Walk(DictionaryItem_Child(item), [&](DictionaryItem* element, int64_t* answer) {
            if (DictionaryItem_Type(element) != DICTIONARY_TYPE_STRING) return false;
            *answer = fn(context, DictionaryItem_Text(element) ? DictionaryItem_Text(element) : "");
            return true;
        });
    }
    if (type != DICTIONARY_TYPE_STRING) return 0;
    return fn(context, DictionaryItem_Text(item) ? DictionaryItem_Text(item) : "") != 0;
}

int64_t Dictionary_EnumerateListInt32(Dictionary* dict, const char* key, void* context,
                                      DictionaryEnumerateInt32Callback fn) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(fn);
    DictionaryItem* item = FindKey(dict, key);
    if (!item) return 0;
    if (DictionaryItem_Type(item) == DICTIONARY_TYPE_LIST && DictionaryItem_Child(item)) {
        Dictionary* list = DictionaryItem_Child(item);
        return Walk(list, [&](DictionaryItem* element, int64_t* answer) {
            int32_t value = 0;
            if (!Dictionary_ItemGetInt32(list, element, &value)) return false;
            *answer = fn(context, value);
            return true;
        });
    }
    int32_t value = 0;
    if (!Dictionary_ItemGetInt32(dict, item, &value)) return 0;
    return fn(context, value) != 0;
}

// ---- Flat text ------------------------------------------------------------------------------

int64_t Dictionary_ConvertFromString(Dictionary* dict, const char* text, int32_t length,
                                     uint8_t pairSeparator, uint8_t itemSeparator) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(text);
    if (length < 1) return 1;
    const char* p = text;
    const char* const end = text + length;
    const char pair = (char)pairSeparator;
    const char separator = (char)itemSeparator;
    // Separators before the first piece would make an empty piece: empty pieces are skipped.
    while (p < end && *p == separator) p++;
    while (p < end) {
        const char* pieceEnd = static_cast<const char*>(memchr(p, separator, (size_t)(end - p)));
        if (!pieceEnd) pieceEnd = end;

        DictionaryItem* item = nullptr;
        Dictionary_Append(dict, nullptr, &item);
        Dictionary_ItemSetType(dict, item, DICTIONARY_TYPE_STRING);
        if (pairSeparator == 0) {
            Dictionary_ItemSetBuffer(dict, item, p, (int32_t)(pieceEnd - p));
        } else {
            const char* key = p;
            while (key < pieceEnd && *key == ' ') key++;
            const char* at = static_cast<const char*>(memchr(key, pair, (size_t)(pieceEnd - key)));
            if (at) {
                Dictionary_ItemSetKeyLength(dict, item, key, (int32_t)(at - key));
                const char* value = at + 1;
                while (value < pieceEnd && *value == pair) value++;
                Dictionary_ItemSetBuffer(dict, item, value, (int32_t)(pieceEnd - value));
            } else {
                // A bare flag.
                Dictionary_ItemSetKeyLength(dict, item, key, (int32_t)(pieceEnd - key));
                Dictionary_ItemSetBoolean(dict, item, 1);
            }
        }
        p = pieceEnd;
        while (p < end && *p == separator) p++;
    }
    return 1;
}

int64_t Dictionary_ConvertToString(Dictionary* dict, char* buffer, int32_t size, uint8_t pairSeparator,
                                   uint8_t itemSeparator) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    int32_t used = 0;
    // Printing at the end rather than with String_PrintCat keeps the walk linear; it stops once
    // the buffer is full, so that a cut text reports its overrun once.
    auto append = [&](const char* format, auto... args) {
        if (used < size - 1) used += String_Print(buffer + used, size - used, format, args...);
    };
    for (DictionaryItem* item = dict->Items.First; item && used < size - 1; item = item->Next) {
        const uint32_t type = DictionaryItem_Type(item);
        if (type == DICTIONARY_TYPE_STRING) {
            const char* value = DictionaryItem_Text(item) ? DictionaryItem_Text(item) : "";
            if (DictionaryItem_Key(item) && pairSeparator != 0)
                append("%s%c%s", DictionaryItem_Key(item), (int32_t)pairSeparator, value);
            else
                append("%s%s", DictionaryItem_Key(item) ? DictionaryItem_Key(item) : "", value);
        } else if (type == DICTIONARY_TYPE_BOOLEAN && DictionaryItem_Key(item)) {
            // A flag is present or absent: a false one writing its key would read back as set.
            if (item->Flags & DICTIONARY_ITEM_FLAG_BOOLEAN) append("%s", DictionaryItem_Key(item));
        }
        // A zero separator would end the text.
        if (itemSeparator != 0 && !(type == DICTIONARY_TYPE_BOOLEAN && !DictionaryItem_Key(item)))
            append("%c", (int32_t)itemSeparator);
    }
    return 1;
}
