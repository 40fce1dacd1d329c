// Dictionary paths put to work: creating the dictionaries a path names, typed reads and writes
// by path, and the pure text operations on path texts. Resolving a path is a lookup.
#include <cstring>

#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_internal.h"
#include "core/runtime/string.h"

namespace {

// Paths given to the setters and members of ensured paths are cut to this many characters.
constexpr int32_t kSetPathLength = 319;

bool IsContainer(const DictionaryItem* item) {
    const uint32_t type = DictionaryItem_Type(item);
    return (type == DICTIONARY_TYPE_LIST || type == DICTIONARY_TYPE_DICTIONARY) && DictionaryItem_Child(item);
}

// The item a path names, or null; the holder (when asked for) is its dictionary.
DictionaryItem* FindForGet(Dictionary* dict, const char* path, Dictionary** holder) {
    DictionaryItem* item = nullptr;
    Dictionary_ItemFindByPath(dict, path, holder, &item);
    return item;
}

// Splits a setter's path at its last '.': the part before is ensured as a dictionary, the part
// after is the key handed to `set` in it.
template <typename Set> int64_t SetByPath(Dictionary* dict, const char* path, Set set) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(path);
    char copy[kSetPathLength + 1];
    String_CopyLength(copy, path, (int32_t)sizeof(copy));
    char* lastDot = strrchr(copy, '.');
    const char* key = lastDot ? lastDot + 1 : copy;
    // An empty last segment names no item that a getter could find again.
    if (key[0] == 0) return 0;
    Dictionary* target = dict;
    if (lastDot) {
        *lastDot = 0;
        if (!Dictionary_EnsureDictionaryByPath(dict, copy, &target)) return 0;
    }
    return set(target, key);
}

// Finds the last '.', '\' or '[' of path; null when there is none.
const char* LastPathDelimiter(const char* path) {
    const char* last = nullptr;
    for (const char* p = path; *p; p++)
        if (*p == '.' || *p == '\\' || *p == '[') last = p;
    return last;
}

} // namespace

// ---- Ensuring ------------------------------------------------------------------------------

int64_t Dictionary_EnsureDictionaryByPath(Dictionary* dict, const char* path, Dictionary** child) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(child);
    *child = nullptr;
    ASSERT_POINTER(path);

    Dictionary* current = dict;
    for (const char* p = path;;) {
        char member[kSetPathLength + 1];
        String_ListGetMember(p, '.', 1, 0, member, (int32_t)sizeof(member));
        // Empty members ("a..b", a trailing '.') are skipped, as the resolver skips them.
        if (member[0] != 0) {
            const size_t length = strlen(member);
            Dictionary* next = nullptr;
            DictionaryItem* found = nullptr;
            if (member[length - 1] == '~') {
                // "rows~" always makes a fresh entry.
                member[length - 1] = 0;
                Dictionary_AddDictionary(current, member, &next, nullptr);
            } else if (Dictionary_ItemFindByPath(current, member, nullptr, &found)) {
                if (!IsContainer(found)) return 0;
                next = DictionaryItem_Child(found);
            } else {
                Dictionary_AddDictionary(current, member, &next, nullptr);
            }
            current = next;
        }
        const char* dot = strchr(p, '.');
        if (!dot) break;
        p = dot + 1;
    }
    *child = current;
    return 1;
}

int64_t Dictionary_GetDictionaryByPath(Dictionary* dict, const char* path, Dictionary** child) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(child);
    *child = nullptr;
    DictionaryItem* item = FindForGet(dict, path, nullptr);
    if (!item || !IsContainer(item)) return 0;
    *child = DictionaryItem_Child(item);
    return 1;
}

// ---- Typed access by path -------------------------------------------------------------------

int64_t Dictionary_SetStringByPath(Dictionary* dict, const char* path, const char* text) {
    ASSERT_POINTER(text);
    return SetByPath(dict, path, [text](Dictionary* d, const char* key) {
        return Dictionary_SetStringByKey(d, key, text);
    });
}

int64_t Dictionary_SetInt32ByPath(Dictionary* dict, const char* path, int32_t value) {
    return SetByPath(dict, path, [value](Dictionary* d, const char* key) {
        return Dictionary_SetInt32ByKey(d, key, value);
    });
}

int64_t Dictionary_SetInt64ByPath(Dictionary* dict, const char* path, int64_t value) {
    return SetByPath(dict, path, [value](Dictionary* d, const char* key) {
        return Dictionary_SetInt64ByKey(d, key, value);
    });
}

int64_t Dictionary_SetFloat64ByPath(Dictionary* dict, const char* path, double value) {
    return SetByPath(dict, path, [value](Dictionary* d, const char* key) {
        return Dictionary_SetFloat64ByKey(d, key, value);
    });
}

int64_t Dictionary_SetBooleanByPath(Dictionary* dict, const char* path, uint32_t value) {
    return SetByPath(dict, path, [value](Dictionary* d, const char* key) {
        return Dictionary_SetBooleanByKey(d, key, value);
    });
}

int64_t Dictionary_GetStringByPath(Dictionary* dict, const char* path, char* buffer, int32_t size) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    Dictionary* holder = nullptr;
    DictionaryItem* item = FindForGet(dict, path, &holder);
    return item ? Dictionary_ItemGetString(holder, item, buffer, size) : 0;
}

int64_t Dictionary_GetStringPtrByPath(Dictionary* dict, const char* path, const char** text) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(text);
    *text = nullptr;
    Dictionary* holder = nullptr;
    DictionaryItem* item = FindForGet(dict, path, &holder);
    return item ? Dictionary_ItemGetStringPtr(holder, item, text) : 0;
}

int64_t Dictionary_GetBufferPtrByPath(Dictionary* dict, const char* path, const char** bytes,
                                      int32_t* length) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(bytes);
    *bytes = nullptr;
    if (length) *length = 0;
    Dictionary* holder = nullptr;
    DictionaryItem* item = FindForGet(dict, path, &holder);
    return item ? Dictionary_ItemGetBufferPtr(holder, item, bytes, length) : 0;
}

// The typed getters by path: find the item, then read it with the item getter of its type.
template <typename T, int64_t (*ItemGet)(Dictionary*, DictionaryItem*, T*)>
int64_t GetByPath(Dictionary* dict, const char* path, T* value) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(value);
    *value = T{};
    Dictionary* holder = nullptr;
    DictionaryItem* item = FindForGet(dict, path, &holder);
    return item ? ItemGet(holder, item, value) : 0;
}

int64_t Dictionary_GetInt32ByPath(Dictionary* dict, const char* path, int32_t* value) {
    return GetByPath<int32_t, Dictionary_ItemGetInt32>(dict, path, value);
}

int64_t Dictionary_GetInt64ByPath(Dictionary* dict, const char* path, int64_t* value) {
    return GetByPath<int64_t, Dictionary_ItemGetInt64>(dict, path, value);
}

int64_t Dictionary_GetFloat64ByPath(Dictionary* dict, const char* path, double* value) {
    return GetByPath<double, Dictionary_ItemGetFloat64>(dict, path, value);
}

int64_t Dictionary_GetBooleanByPath(Dictionary* dict, const char* path, uint32_t* value) {
    return GetByPath<uint32_t, Dictionary_ItemGetBoolean>(dict, path, value);
}

// ---- Path texts -----------------------------------------------------------------------------

int64_t Dictionary_PathGetKey(const char* path, char* buffer, int32_t size) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    const char* last = LastPathDelimiter(path);
    // A '[' stays with the key: "a.b[3]" gives "[3]".
    const char* key = !last ? path : (*last == '[' ? last : last + 1);
    String_CopyLength(buffer, key, size);
    return 1;
}

int64_t Dictionary_PathGetParent(const char* path, char* buffer, int32_t size) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    const char* last = LastPathDelimiter(path);
    if (!last || last == path) return 0;
    String_CopyLengthSafe(buffer, size, path, (int32_t)(last - path));
    return 1;
}

int64_t Dictionary_PathHasParent(const char* path) {
    ASSERT_POINTER(path);
    const char* last = LastPathDelimiter(path);
    return last && last != path;
}

int64_t Dictionary_PathSkipRoot(const char* path, char* buffer, int32_t size) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    const char* p = path;
    while (*p && *p != '.' && *p != ']' && *p != '\\') p++;
    if (*p == 0) {
        String_CopyLength(buffer, path, size);
        return 0;
    }
    while (*p == '.' || *p == ']' || *p == '\\') p++;
    String_CopyLength(buffer, p, size);
    return 1;
}
