// Dictionary trees for tests: built from a compact text and rendered back to one, so that a test
// states a whole tree, before or after an operation, in one line instead of a call per item.
//   {k:v,...} is a Dictionary, [v,...] a List; values are integers, numbers with a '.', 'text',
//   true, false, null, ? (a fresh item of type Unknown), {..} and [..]. A key may start with '#'
//   (private, as PrivateKeys is on by default). Render writes the same form; a Dictionary root
//   renders with braces whatever its items, and a '#' marks the stored private bit.
#pragma once

#include <gtest/gtest.h>

#include <pthread.h>

#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/runtime/dictionary.h"
#include "core/runtime/string_print.h"

inline void ParseTreeItems(Dictionary* dict, const char*& p, char close);

inline void ParseTreeValue(Dictionary* dict, const std::string& key, const char*& p) {
    const char* k = key.empty() ? nullptr : key.c_str();
    while (*p == ' ') p++;
    Dictionary* child = nullptr;
    if (*p == '{' || *p == '[') {
        const char open = *p++;
        if (open == '{')
            Dictionary_AddDictionary(dict, k, &child, nullptr);
        else
            Dictionary_AddList(dict, k, &child, nullptr);
        ParseTreeItems(child, p, open == '{' ? '}' : ']');
    } else if (*p == '\'') {
        const char* end = strchr(p + 1, '\'');
        Dictionary_AddString(dict, k, std::string(p + 1, end).c_str(), nullptr);
        p = end + 1;
    } else if (strncmp(p, "true", 4) == 0 || strncmp(p, "false", 5) == 0) {
        Dictionary_AddBoolean(dict, k, *p == 't' ? 1 : 0, nullptr);
        p += *p == 't' ? 4 : 5;
    } else if (strncmp(p, "null", 4) == 0) {
        Dictionary_AddNull(dict, k, nullptr);
        p += 4;
    } else if (*p == '?') {
        Dictionary_Add(dict, k, nullptr);
        p++;
    } else {
        char* end = nullptr;
        const double number = strtod(p, &end);
        if (end == p) { // not a value of the text form: stop reading rather than loop
            ADD_FAILURE() << "tree text not understood at: " << p;
            p += strlen(p);
            return;
        }
        if (memchr(p, '.', (size_t)(end - p)))
            Dictionary_AddFloat64(dict, k, number, nullptr);
        else
            Dictionary_AddInt64(dict, k, strtoll(p, nullptr, 10), nullptr);
        p = end;
    }
}

inline void ParseTreeItems(Dictionary* dict, const char*& p, char close) {
    for (;;) {
        while (*p == ' ') p++;
        if (*p == close || *p == 0) {
            if (*p) p++;
            return;
        }
        // A run of key characters followed by ':' is a key; anything else is an unnamed value.
        std::string key;
        const char* q = p;
        while (isalnum((unsigned char)*q) || *q == '#' || *q == '_') q++;
        if (q > p && *q == ':') {
            key.assign(p, q);
            p = q + 1;
        }
        ParseTreeValue(dict, key, p);
        while (*p == ' ') p++;
        if (*p == ',') p++;
    }
}

// Adds the items of the text's outer braces or brackets to `dict`.
inline void FillTree(Dictionary* dict, const char* text) {
    const char* p = text;
    while (*p == ' ') p++;
    const char open = *p++;
    ParseTreeItems(dict, p, open == '{' ? '}' : ']');
}

// A root dictionary that lives as long as the object; it converts to its handle.
struct DictTree {
    Dictionary* dict = nullptr;
    explicit DictTree(const char* text = "{}") {
        Dictionary_Create(&dict);
        FillTree(dict, text);
    }
    ~DictTree() { Dictionary_Release(&dict); }
    DictTree(const DictTree&) = delete;
    DictTree& operator=(const DictTree&) = delete;
    operator Dictionary*() const { return dict; }
};

inline uint32_t ItemCount(Dictionary* dict) {
    uint32_t count = 99;
    Dictionary_ItemGetCount(dict, &count);
    return count;
}

inline uint32_t ItemType(Dictionary* dict, DictionaryItem* item) {
    uint32_t type = 99;
    Dictionary_ItemGetType(dict, item, &type);
    return type;
}

// The value text, or "<none>" when the item has none.
inline std::string ItemText(Dictionary* dict, DictionaryItem* item, int64_t* result = nullptr) {
    const char* bytes = nullptr;
    int32_t length = -1;
    const int64_t r = Dictionary_ItemGetBufferPtr(dict, item, &bytes, &length);
    if (result) *result = r;
    return bytes ? std::string(bytes, (size_t)length) : std::string("<none>");
}

inline std::string ItemKey(Dictionary* dict, DictionaryItem* item) {
    const char* key = nullptr;
    return Dictionary_ItemGetKeyPtr(dict, item, &key) ? std::string(key) : std::string("<unnamed>");
}

inline DictionaryItem* ItemAt(Dictionary* dict, uint32_t index) {
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(dict, &item);
    while (item && index--) Dictionary_ItemGetNext(dict, item, &item);
    return item;
}

inline DictionaryItem* FindKey(Dictionary* dict, const char* key) {
    DictionaryItem* item = nullptr;
    Dictionary_ItemFindByKey(dict, key, nullptr, &item);
    return item;
}

inline Dictionary* ChildOf(Dictionary* dict, DictionaryItem* item) {
    Dictionary* child = nullptr;
    Dictionary_ItemGetDictionaryHandle(dict, item, &child);
    return child;
}

// The dictionary reached from `dict` through the children of the items at these positions.
inline Dictionary* Descend(Dictionary* dict, const std::vector<uint32_t>& positions) {
    for (uint32_t position : positions) dict = ChildOf(dict, ItemAt(dict, position));
    return dict;
}

inline std::string RenderItems(Dictionary* dict);

inline std::string RenderItem(Dictionary* dict, DictionaryItem* item) {
    std::string out;
    const uint32_t type = ItemType(dict, item);
    const char* key = nullptr;
    if (Dictionary_ItemGetKeyPtr(dict, item, &key)) {
        uint32_t keys = 0;
        Dictionary_GetPrivateKeys(dict, &keys);
        Dictionary_SetPrivateKeys(dict, 1);
        if (Dictionary_ItemGetPrivate(dict, item, nullptr)) out += "#";
        Dictionary_SetPrivateKeys(dict, keys);
        out += std::string(key) + ":";
    }
    if (Dictionary* child = ChildOf(dict, item)) {
        const bool list = type == DICTIONARY_TYPE_LIST;
        return out + (list ? "[" : "{") + RenderItems(child) + (list ? "]" : "}");
    }
    const char* text = nullptr;
    int32_t length = 0;
    Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
    const std::string value = text ? std::string(text, (size_t)length) : "";
    if (type == DICTIONARY_TYPE_STRING) return out + "'" + value + "'";
    if (type == DICTIONARY_TYPE_UNKNOWN) return out + "?" + value;
    return out + value;
}

inline std::string RenderItems(Dictionary* dict) {
    std::string out;
    for (DictionaryItem* item = ItemAt(dict, 0); item; Dictionary_ItemGetNext(dict, item, &item))
        out += (out.empty() ? "" : ",") + RenderItem(dict, item);
    return out;
}

inline std::string Render(Dictionary* dict) {
    return "{" + RenderItems(dict) + "}";
}

// Every line a dictionary prints, whole (`raw`) or as the text after its "<class>.<id> - " head.
struct PrintLines {
    std::vector<std::string> raw;
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const std::string& line : raw) {
            const size_t at = line.find(" - ");
            std::string text = at == std::string::npos ? line : line.substr(at + 3);
            if (!text.empty() && text.back() == '\n') text.pop_back();
            out.push_back(text);
        }
        return out;
    }
    // Installs itself as the dictionary's print callback.
    void Watch(Dictionary* dict) { Dictionary_SetPrintCallback(dict, this, Collect); }
    static int64_t Collect(void* user, const char* format, ...) {
        char line[16384];
        va_list args;
        va_start(args, format);
        String_VPrint(line, (int32_t)sizeof(line), format, args);
        va_end(args);
        static_cast<PrintLines*>(user)->raw.push_back(line);
        return 1;
    }
};

// Runs `work` on a thread with a small stack: an operation that recursed once per level of a
// deep tree would overflow it.
inline void RunOnSmallStack(const std::function<void()>& work) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 128 * 1024);
    pthread_t thread;
    auto run = [](void* argument) -> void* {
        (*static_cast<const std::function<void()>*>(argument))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

// Empties a deep tree from the bottom up, so that releasing it afterwards stays shallow.
inline void EmptyBottomUp(Dictionary* root) {
    std::vector<Dictionary*> levels{root};
    for (size_t i = 0; i < levels.size(); i++)
        for (DictionaryItem* item = ItemAt(levels[i], 0); item;
             Dictionary_ItemGetNext(levels[i], item, &item))
            if (Dictionary* child = ChildOf(levels[i], item)) levels.push_back(child);
    for (size_t i = levels.size(); i-- > 1;) Dictionary_Reset(levels[i]);
}
