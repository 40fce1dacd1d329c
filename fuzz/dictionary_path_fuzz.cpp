// Feeds arbitrary texts as dictionary paths and keys to every lookup, ensure, set and remove
// operation over a small fixed tree. The first byte picks the tree's settings; the rest is split
// at newlines into paths, each in an exactly sized heap copy so that a read past it is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/runtime/dictionary.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

char* Copy(const uint8_t* data, size_t size) {
    char* s = static_cast<char*>(std::malloc(size + 1));
    std::memcpy(s, data, size);
    s[size] = 0;
    return s;
}

//   a {x: "1"}, a {b: "B", x: {deep: 5}}, list [{name: "n0"}, {name: "n1"}, "plain", 7],
//   server {name: "web", port: 8080}, s "text", flag true, none null, f 2.5
Dictionary* BuildTree(uint8_t settings) {
    Dictionary* root = nullptr;
    Dictionary_Create(&root);
    Dictionary_SetCaseSensitive(root, (settings & 1) ? 0 : 1);
    Dictionary_SetPrivateKeys(root, (settings & 2) ? 0 : 1);
    Dictionary_SetStringPool(root, (settings & 4) ? 1 : 0);
    Dictionary_SetAllowDuplicates(root, (settings & 8) ? 0 : 1);
    Dictionary *a, *x, *list, *element, *server;
    Dictionary_AddDictionary(root, "a", &a, nullptr);
    Dictionary_AddString(a, "x", "1", nullptr);
    Dictionary_AddDictionary(root, "a", &a, nullptr);
    Dictionary_AddString(a, "b", "B", nullptr);
    Dictionary_AddDictionary(a, "x", &x, nullptr);
    Dictionary_AddInt64(x, "deep", 5, nullptr);
    Dictionary_AddList(root, "list", &list, nullptr);
    Dictionary_AddDictionary(list, nullptr, &element, nullptr);
    Dictionary_AddString(element, "name", "n0", nullptr);
    Dictionary_AddDictionary(list, nullptr, &element, nullptr);
    Dictionary_AddString(element, "name", "n1", nullptr);
    Dictionary_AddString(list, nullptr, "plain", nullptr);
    Dictionary_AddInt64(list, nullptr, 7, nullptr);
    Dictionary_AddDictionary(root, "server", &server, nullptr);
    Dictionary_AddString(server, "name", "web", nullptr);
    Dictionary_AddInt64(server, "port", 8080, nullptr);
    Dictionary_AddString(root, "s", "text", nullptr);
    Dictionary_AddBoolean(root, "flag", 1, nullptr);
    Dictionary_AddNull(root, "none", nullptr);
    Dictionary_AddFloat64(root, "f", 2.5, nullptr);
    return root;
}

bool Holds(Dictionary* dict, DictionaryItem* item) {
    DictionaryItem* current = nullptr;
    for (int64_t ok = Dictionary_ItemGetFirst(dict, &current); ok;
         ok = Dictionary_ItemGetNext(dict, current, &current))
        if (current == item) return true;
    return false;
}

// Dot-separated lower-case segments of 1 to 20 letters: a path that set and get read alike.
bool IsPlainPath(const char* path) {
    int32_t run = 0;
    for (const char* p = path;; p++) {
        if (*p >= 'a' && *p <= 'z') {
            if (++run > 20) return false;
        } else if (*p == '.' || *p == 0) {
            if (run == 0) return false;
            if (*p == 0) return true;
            run = 0;
        } else {
            return false;
        }
    }
}

void Lookups(Dictionary* root, const char* path, size_t length) {
    Dictionary* holder = nullptr;
    DictionaryItem* item = nullptr;
    if (Dictionary_ItemFindByPath(root, path, &holder, &item)) {
        Require(item && holder && Holds(holder, item));
        char text[256];
        Dictionary_ItemGetPath(holder, item, nullptr, text, (int32_t)sizeof text);
    } else {
        Require(!item && !holder);
    }
    Require(Dictionary_ContainsPath(root, path) == (item != nullptr));

    char buffer[16];
    const char* pointer = nullptr;
    int32_t bytes = 0;
    int32_t i32 = 0;
    int64_t i64 = 0;
    double f = 0;
    uint32_t b = 0;
    Dictionary* child = nullptr;
    if (!Dictionary_GetStringByPath(root, path, buffer, (int32_t)sizeof buffer)) Require(buffer[0] == 0);
    Require(std::strlen(buffer) < sizeof buffer);
    Dictionary_GetStringPtrByPath(root, path, &pointer);
    if (Dictionary_GetBufferPtrByPath(root, path, &pointer, &bytes)) Require(bytes >= 0 && pointer);
    if (!Dictionary_GetInt32ByPath(root, path, &i32)) Require(i32 == 0);
    if (!Dictionary_GetInt64ByPath(root, path, &i64)) Require(i64 == 0);
    if (!Dictionary_GetFloat64ByPath(root, path, &f)) Require(f == 0.0);
    if (!Dictionary_GetBooleanByPath(root, path, &b)) Require(b == 0);
    if (!Dictionary_GetDictionaryByPath(root, path, &child)) Require(child == nullptr);

    // The same text as a key and as value text.
    Dictionary_ItemFindByKey(root, path, nullptr, &item);
    Dictionary_ContainsKey(root, path);
    Dictionary_GetTypeByKey(root, path, &b);
    Dictionary_GetListStringByKey(root, "list", buffer, (int32_t)sizeof buffer);
    Dictionary_ItemFindByBuffer(root, path, (int32_t)length, nullptr, &item);
    Dictionary_ContainsString(root, path);

    char out[64];
    Dictionary_PathGetKey(path, out, (int32_t)sizeof out);
    Dictionary_PathGetParent(path, out, (int32_t)sizeof out);
    Dictionary_PathHasParent(path);
    Dictionary_PathSkipRoot(path, out, (int32_t)sizeof out);
}

void Changes(Dictionary* root, const char* path, size_t length, uint8_t selector) {
    Dictionary* child = reinterpret_cast<Dictionary*>(8);
    if (!Dictionary_EnsureDictionaryByPath(root, path, &child))
        Require(child == nullptr);
    else
        Require(child != nullptr);

    if (Dictionary_SetStringByPath(root, path, "v") && IsPlainPath(path)) {
        char buffer[4];
        Require(Dictionary_GetStringByPath(root, path, buffer, (int32_t)sizeof buffer) == 1);
        Require(std::strcmp(buffer, "v") == 0);
    }
    switch (selector % 6) {
    case 0:
        Dictionary_SetInt32ByPath(root, path, -1);
        break;
    case 1:
        Dictionary_SetInt64ByPath(root, path, INT64_MIN);
        break;
    case 2:
        Dictionary_SetFloat64ByPath(root, path, 1e300);
        break;
    case 3:
        Dictionary_SetBooleanByPath(root, path, 1);
        break;
    case 4:
        Dictionary_EnsureList(root, path, nullptr, nullptr);
        break;
    default:
        Dictionary_EnsureDictionary(root, path, nullptr, nullptr);
        break;
    }
    Dictionary_RemoveByKey(root, path);
    Dictionary_RemoveByString(root, path);

    // The text as flat key=value input, and the dictionary written back.
    Dictionary* flat = nullptr;
    Dictionary_Create(&flat);
    Dictionary_ConvertFromString(flat, path, (int32_t)length, '=', selector & 1 ? ';' : '.');
    char text[48];
    Dictionary_ConvertToString(flat, text, (int32_t)sizeof text, '=', ';');
    Require(std::strlen(text) < sizeof text);
    Dictionary_Release(&flat);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    const uint8_t settings = data[0];
    Dictionary* root = BuildTree(settings);
    const uint8_t* p = data + 1;
    const uint8_t* end = data + size;
    uint8_t selector = settings;
    while (p <= end) {
        const uint8_t* newline = static_cast<const uint8_t*>(std::memchr(p, '\n', (size_t)(end - p)));
        const uint8_t* stop = newline ? newline : end;
        const size_t length = (size_t)(stop - p);
        char* path = Copy(p, length);
        Lookups(root, path, length);
        Changes(root, path, length, selector++);
        Lookups(root, path, length);
        std::free(path);
        if (!newline) break;
        p = newline + 1;
    }
    Dictionary_Release(&root);
    return 0;
}
