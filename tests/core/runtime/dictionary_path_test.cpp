// Tests of dictionary lookups and paths: by key, index, value text and path, the path grammar
// and its malformed forms, ensuring dictionaries by path, typed access by path and path texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/runtime/dictionary.h"
#include "core/runtime/string_print.h"
#include "tests/support/abort_hook.h"

namespace {

struct DictionaryHolder {
    Dictionary* dict = nullptr;
    DictionaryHolder() { Dictionary_Create(&dict); }
    ~DictionaryHolder() { Dictionary_Release(&dict); }
};

uint32_t Count(Dictionary* dict) {
    uint32_t count = 0;
    Dictionary_ItemGetCount(dict, &count);
    return count;
}

uint32_t Type(Dictionary* dict, DictionaryItem* item) {
    uint32_t type = 99;
    Dictionary_ItemGetType(dict, item, &type);
    return type;
}

Dictionary* Child(Dictionary* dict, DictionaryItem* item) {
    Dictionary* child = nullptr;
    Dictionary_ItemGetDictionaryHandle(dict, item, &child);
    return child;
}

// The tree most path tests run on:
//   a      {x: "first-x"}
//   a      {b: "B", x: {deep: 5}, y: "after"}
//   list   [{name: "n0"}, {name: "n1", tag: "t"}, {other: "o"}]
//   server {name: "api", port: 1}
//   server {name: "web", port: 8080}
//   s      "text"
//   flag   true
//   last   {only: null}
struct Tree {
    DictionaryHolder holder;
    Dictionary* root = holder.dict;
    DictionaryItem *a1, *a2, *list, *server1, *server2, *s, *flag, *last;
    DictionaryItem *a1x, *a2b, *a2x, *a2y, *deep, *e0, *e1, *e2, *n1, *tag, *other, *port1, *port2, *only;
    Dictionary *a1Child, *a2Child, *xChild, *listChild, *s1Child, *s2Child, *lastChild;

    Tree() {
        Dictionary_AddDictionary(root, "a", &a1Child, &a1);
        Dictionary_AddString(a1Child, "x", "first-x", &a1x);
        Dictionary_AddDictionary(root, "a", &a2Child, &a2);
        Dictionary_AddString(a2Child, "b", "B", &a2b);
        Dictionary_AddDictionary(a2Child, "x", &xChild, &a2x);
        Dictionary_AddInt64(xChild, "deep", 5, &deep);
        Dictionary_AddString(a2Child, "y", "after", &a2y);
        Dictionary_AddList(root, "list", &listChild, &list);
        Dictionary* element = nullptr;
        Dictionary_AddDictionary(listChild, nullptr, &element, &e0);
        Dictionary_AddString(element, "name", "n0", nullptr);
        Dictionary_AddDictionary(listChild, nullptr, &element, &e1);
        Dictionary_AddString(element, "name", "n1", &n1);
        Dictionary_AddString(element, "tag", "t", &tag);
        Dictionary_AddDictionary(listChild, nullptr, &element, &e2);
        Dictionary_AddString(element, "other", "o", &other);
        Dictionary_AddDictionary(root, "server", &s1Child, &server1);
        Dictionary_AddString(s1Child, "name", "api", nullptr);
        Dictionary_AddInt64(s1Child, "port", 1, &port1);
        Dictionary_AddDictionary(root, "server", &s2Child, &server2);
        Dictionary_AddString(s2Child, "name", "web", nullptr);
        Dictionary_AddInt64(s2Child, "port", 8080, &port2);
        Dictionary_AddString(root, "s", "text", &s);
        Dictionary_AddBoolean(root, "flag", 1, &flag);
        Dictionary_AddDictionary(root, "last", &lastChild, &last);
        Dictionary_AddNull(lastChild, "only", &only);
    }
};

// The abort text of a handle of another class; the address is printed by the system formatter.
std::string Mismatch(uint32_t expected, uint32_t found) {
    char text[128];
    String_Print(text, (int32_t)sizeof(text), "expected 0x%08x but was 0x%08x", expected, found);
    return "ABORT - Class mismatch pointer \\(0x[0-9A-Fa-f]+: " + std::string(text) +
           "\\)\n \\([^ ]+/[0-9]+\\)";
}

DictionaryItem* const kSentinel = reinterpret_cast<DictionaryItem*>(8);

DictionaryItem* FindPath(Dictionary* dict, const char* path, Dictionary** holder = nullptr) {
    DictionaryItem* item = kSentinel;
    Dictionary* found = reinterpret_cast<Dictionary*>(8);
    const int64_t result = Dictionary_ItemFindByPath(dict, path, &found, &item);
    EXPECT_EQ(result, item ? 1 : 0) << path;
    if (!item) {
        EXPECT_EQ(found, nullptr) << path;
    }
    if (holder) *holder = found;
    return item;
}

} // namespace

// ---- By key, index and value text ---------------------------------------------------------------

TEST(DictionaryFind, PositionalKeys) {
    DictionaryHolder h;
    DictionaryItem *first, *second, *third, *found;
    Dictionary_AddString(h.dict, "[1]", "literal", &first);
    Dictionary_AddString(h.dict, "b", "2", &second);
    Dictionary_AddString(h.dict, "c", "3", &third);
    struct Case {
        const char* key;
        DictionaryItem* start;
        DictionaryItem* expected;
    };
    const Case cases[] = {
        {"[0]", nullptr, first},
        {"[0]", second, second},   // position 0 is the start item
        {"[5]", nullptr, nullptr}, // three items
        {"[1]", nullptr, first},   // the first item's key is literally "[1]"
        {"[2]", nullptr, third},
        {"[1]", second, third},
        {"[]", nullptr, first},
        {"[0x2]", nullptr, third},
        // Beyond 32 bits the text is a plain key rather than a wrapped position.
        {"[4294967296]", nullptr, nullptr},
        {"[4294967298]", nullptr, nullptr},
        {"[-2147483648]", nullptr, nullptr},
        {"[2147483648]", nullptr, nullptr},
        {"[2147483647]", nullptr, nullptr},
    };
    for (const Case& k : cases) {
        found = kSentinel;
        EXPECT_EQ(Dictionary_ItemFindByKey(h.dict, k.key, k.start, &found), k.expected ? 1 : 0) << k.key;
        EXPECT_EQ(found, k.expected) << k.key;
    }
    // An out-of-range position can still be a literal key.
    DictionaryItem* literal = nullptr;
    Dictionary_AddString(h.dict, "[4294967296]", "x", &literal);
    EXPECT_EQ(Dictionary_ItemFindByKey(h.dict, "[4294967296]", nullptr, &found), 1);
    EXPECT_EQ(found, literal);

    EXPECT_EQ(Dictionary_ContainsKey(h.dict, "b"), 1);
    EXPECT_EQ(Dictionary_ContainsKey(h.dict, "zz"), 0);
    EXPECT_EQ(Dictionary_RemoveByKey(h.dict, "b"), 1);
    EXPECT_EQ(Dictionary_RemoveByKey(h.dict, "b"), 0);
    EXPECT_EQ(Count(h.dict), 3u);
}

TEST(DictionaryFind, ByIndex) {
    DictionaryHolder h;
    DictionaryItem* items[4];
    for (DictionaryItem*& item : items) Dictionary_Add(h.dict, nullptr, &item);
    struct Case {
        int32_t index;
        DictionaryItem* start;
        DictionaryItem* expected;
    };
    const Case cases[] = {
        {0, nullptr, items[0]},         {3, nullptr, items[3]},        {4, nullptr, nullptr},
        {-1, nullptr, items[3]},        {-4, nullptr, items[0]},       {-5, nullptr, nullptr},
        {0, items[2], items[2]},        {1, items[2], items[3]},       {2, items[2], nullptr},
        {-1, items[2], items[1]},       {-2, items[2], items[0]},      {-3, items[2], nullptr},
        {-1, items[0], nullptr},        {INT32_MAX, nullptr, nullptr}, {INT32_MIN, nullptr, nullptr},
        {INT32_MIN, items[3], nullptr},
    };
    for (const Case& k : cases) {
        DictionaryItem* found = kSentinel;
        EXPECT_EQ(Dictionary_ItemFindByIndex(h.dict, k.index, k.start, &found), k.expected ? 1 : 0)
            << k.index;
        EXPECT_EQ(found, k.expected) << k.index;
    }
    DictionaryHolder empty;
    DictionaryItem* found = kSentinel;
    EXPECT_EQ(Dictionary_ItemFindByIndex(empty.dict, -1, nullptr, &found), 0);
    EXPECT_EQ(found, nullptr);
}

TEST(DictionaryFind, ByValueText) {
    DictionaryHolder h;
    DictionaryItem *text, *empty, *number, *yes, *no, *null, *list, *found;
    Dictionary_AddString(h.dict, "t", "Web", &text);
    Dictionary_AddString(h.dict, "e", "", &empty);
    Dictionary_AddInt64(h.dict, "n", 42, &number);
    Dictionary_AddBoolean(h.dict, "y", 1, &yes);
    Dictionary_AddBoolean(h.dict, "f", 0, &no);
    Dictionary_AddNull(h.dict, "z", &null);
    Dictionary_AddList(h.dict, "l", nullptr, &list);
    struct Case {
        const char* bytes;
        int32_t length;
        DictionaryItem* start;
        DictionaryItem* expected;
    };
    const Case cases[] = {
        {"Web", 3, nullptr, text},     {"web", 3, nullptr, nullptr}, // always case-sensitive
        {"We", 2, nullptr, nullptr},   {"Webs", 3, nullptr, text},   // exactly `length` bytes
        {"", 0, nullptr, empty},       {"42", 2, nullptr, number},   {"true", 4, nullptr, yes},
        {"false", 5, nullptr, no},     {"null", 4, nullptr, null},   {"Web", 3, empty, nullptr},
        {"Web", -1, nullptr, nullptr},
    };
    for (const Case& k : cases) {
        found = kSentinel;
        EXPECT_EQ(Dictionary_ItemFindByBuffer(h.dict, k.bytes, k.length, k.start, &found), k.expected ? 1 : 0)
            << k.bytes;
        EXPECT_EQ(found, k.expected) << k.bytes;
    }
    Dictionary_SetCaseSensitive(h.dict, 0);
    EXPECT_EQ(Dictionary_ContainsString(h.dict, "web"), 0);
    EXPECT_EQ(Dictionary_ContainsString(h.dict, "42"), 1);
    EXPECT_EQ(Dictionary_RemoveByString(h.dict, "true"), 1);
    EXPECT_EQ(Dictionary_RemoveByString(h.dict, "true"), 0);
    EXPECT_EQ(Count(h.dict), 6u);
}

// ---- Paths ----------------------------------------------------------------------------------

TEST(DictionaryPath, Grammar) {
    Tree t;
    struct Case {
        const char* path;
        DictionaryItem* expected;
    };
    const Case cases[] = {
        {"a.b", t.a2b}, // only the second a has b
        {"a\\b", t.a2b},
        {"a.x", t.a1x},
        {"a.x.deep", t.deep}, // the first a's x is no container: the second a is tried
        {"list[1].name", t.n1},
        {"list[1].tag", t.tag},
        {"list[-1].other", t.other},
        {"list[]", t.e0},
        {"list[2].name", nullptr}, // the third element has no name
        {"list.[2]", t.e2},
        {"[-1]", t.last},
        {"[]", t.a1},
        {"[x]", nullptr},
        {"[-8]", t.a1},
        {"[-9]", nullptr},
        {"[7]", t.last},
        {"[8]", nullptr},
        {"[1.9]", nullptr}, // '.' ends the segment: "[1" is a2, which has no key "9"
        {"server[name=web]", t.server2},
        {"server[name=web].missing", t.server2},
        {"server[name=web].port", t.port2},
        {"server[name=api].port", t.port1},
        {"server[name=none]", nullptr},
        {"server[NAME=web]", nullptr},
        {"server[name=WEB]", nullptr},
        {"a.[next]", t.a2},
        {"last.[next]", nullptr}, // last item
        {"[next]", nullptr},      // at the root
        {"a.x[next]", t.a2y},
        {"a[last-child]", t.a1x},
        {"list[last-child]", t.e2},
        {"a[LAST-CHILD]", t.a1x},
        {"a.[Next]", t.a2},
        {"s", t.s},
        {"s.k", nullptr}, // s is no container
        {"flag", t.flag},
        {"last.only", t.only},
        {"missing", nullptr},
        {"A.b", nullptr},
        {"#a.b", t.a2b}, // the private prefix is dropped
        {".a.b", t.a2b},
        {"a.#b", t.a2b},
    };
    for (const Case& k : cases) EXPECT_EQ(FindPath(t.root, k.path), k.expected) << k.path;

    // The holder is the dictionary of the item found.
    Dictionary* holder = nullptr;
    EXPECT_EQ(FindPath(t.root, "a.x.deep", &holder), t.deep);
    EXPECT_EQ(holder, t.xChild);
    EXPECT_EQ(FindPath(t.root, "server[name=web]", &holder), t.server2);
    EXPECT_EQ(holder, t.root);
    EXPECT_EQ(FindPath(t.root, "a.[next]", &holder), t.a2);
    EXPECT_EQ(holder, t.root);
    EXPECT_EQ(FindPath(t.root, "list[1]", &holder), t.e1);
    EXPECT_EQ(holder, t.listChild);

    EXPECT_EQ(Dictionary_ContainsPath(t.root, "list[1].tag"), 1);
    EXPECT_EQ(Dictionary_ContainsPath(t.root, "list[1].none"), 0);
    // Either out-parameter may be left out.
    EXPECT_EQ(Dictionary_ItemFindByPath(t.root, "a.b", nullptr, nullptr), 1);
}

TEST(DictionaryPath, CaseAndPrivateRules) {
    Tree t;
    Dictionary_SetCaseSensitive(t.root, 0);
    Dictionary_SetCaseSensitive(t.s2Child, 0);
    EXPECT_EQ(FindPath(t.root, "SERVER"), t.server1);
    EXPECT_EQ(FindPath(t.s2Child, "NAME"), FindPath(t.s2Child, "name"));
    // The value of [key=value] follows the case rule of the dictionary scanned.
    EXPECT_EQ(FindPath(t.root, "SERVER[NAME=WEB].port"), t.port2);

    Dictionary_SetPrivateKeys(t.root, 0);
    EXPECT_EQ(FindPath(t.root, "#a.b"), nullptr);
}

TEST(DictionaryPath, KeyValueChains) {
    Tree t;
    // Several [key=value] in a row test the same dictionary; the first mismatch leaves the item
    // holding it as the answer.
    EXPECT_EQ(FindPath(t.root, "server[name=web][port=8080]"), t.server2);
    EXPECT_EQ(FindPath(t.root, "server[name=web][port=1]"), t.server2);
    EXPECT_EQ(FindPath(t.root, "server[port=1][name=api].port"), t.port1);
    EXPECT_EQ(FindPath(t.root, "server[port=1][name=web].port"), t.server1);
    // A bare key beneath a matched list element.
    EXPECT_EQ(FindPath(t.root, "list[1][tag=t].name"), t.n1);
    EXPECT_EQ(FindPath(t.root, "list[0][tag=t]"), nullptr);
    // A dictionary without parent has no holding item.
    EXPECT_EQ(FindPath(t.s2Child, "[name=web]"), t.server2);
    DictionaryHolder lone;
    Dictionary_AddString(lone.dict, "name", "web", nullptr);
    EXPECT_EQ(FindPath(lone.dict, "[name=web]"), nullptr);
    EXPECT_EQ(FindPath(lone.dict, "[name=web].name"), nullptr);
}

TEST(DictionaryPath, MalformedPaths) {
    Tree t;
    const std::string longKey(DICTIONARY_MAX_KEY_LENGTH, 'k');
    Dictionary* longChild = nullptr;
    DictionaryItem *longItem, *underLong;
    Dictionary_AddDictionary(t.root, longKey.c_str(), &longChild, &longItem);
    Dictionary_AddString(longChild, "c", "under", &underLong);

    struct Case {
        std::string path;
        DictionaryItem* expected;
    };
    const Case cases[] = {
        {"", nullptr},
        {".", nullptr}, // the private prefix leaves an empty path
        {"#", nullptr},
        {"..", nullptr},
        {"\\", nullptr},
        {"]", nullptr},
        {"a..b", t.a2b}, // runs of separators are one
        {"a.\\.b", t.a2b},
        {"a.b.", t.a2b},
        {"a]", t.a1},
        {"a]]].b", t.a2b},
        {"a[", t.a1x}, // an unclosed "[" is "[]"
        {"[", t.a1},
        {"[[", t.a1x},
        {"[[[", nullptr},
        {"list[1", t.e1},
        {"server[name=web", t.server2},
        {"[=x]", nullptr},          // '=' without key
        {"server[name=]", nullptr}, // no item has an empty value
        {"server[=web]", nullptr},
        {"[99999999999]", nullptr}, // huge indices name no item
        {"[4294967296]", nullptr},
        {"[-2147483648]", nullptr},
        {"[-99999999999]", nullptr},
        {"[--1]", nullptr},
        {"[-]", t.a1},
        {"[1-]", nullptr},
        {"[ 1]", nullptr},
        {"a[b]", nullptr},
        {"list[1][1][1]", nullptr},
        {std::string(100000, '.'), nullptr},
        {std::string(100000, '['), nullptr},
        {std::string(100000, ']'), nullptr},
        // A segment as long as a key, and longer ones cut to it, keep the rest of the path.
        {longKey, longItem},
        {longKey + ".c", underLong},
        {longKey + "kkkkkkkkkk.c", underLong},
        {std::string(5000, 'k'), longItem},
        {longKey + "[0]", underLong},
    };
    for (const Case& k : cases)
        EXPECT_EQ(FindPath(t.root, k.path.c_str()), k.expected)
            << k.path.substr(0, 40) << " (" << k.path.size() << ")";

    // A long chain of [key=value] stays in one dictionary: it must not take a stack frame each.
    std::string chain = "server";
    for (int32_t i = 0; i < 200000; i++) chain += "[name=web]";
    EXPECT_EQ(FindPath(t.root, chain.c_str()), t.server2);
    EXPECT_EQ(FindPath(t.root, (chain + ".port").c_str()), t.port2);
    std::string nexts = "a";
    for (int32_t i = 0; i < 100000; i++) nexts += "[0][next]";
    EXPECT_EQ(FindPath(t.root, nexts.c_str()), nullptr);

    // A path into an empty dictionary.
    DictionaryHolder empty;
    EXPECT_EQ(FindPath(empty.dict, "[0]"), nullptr);
    EXPECT_EQ(FindPath(empty.dict, "[last-child]"), nullptr);
}

TEST(DictionaryPath, DeepTreeAndPath) {
    // Each key segment descends one level: a path as deep as the tree resolves.
    DictionaryHolder h;
    Dictionary* level = h.dict;
    std::string path;
    DictionaryItem* bottom = nullptr;
    for (int32_t i = 0; i < 2000; i++) {
        Dictionary_AddDictionary(level, "n", &level, &bottom);
        path += i ? ".n" : "n";
    }
    EXPECT_EQ(FindPath(h.dict, path.c_str()), bottom);
    EXPECT_EQ(FindPath(h.dict, (path + ".n").c_str()), nullptr);
    EXPECT_EQ(FindPath(h.dict, (path + "[next]").c_str()), nullptr);
}

// ---- Ensure and set by path -----------------------------------------------------------------

TEST(DictionaryPath, EnsureDictionaryByPath) {
    DictionaryHolder h;
    Dictionary* child = reinterpret_cast<Dictionary*>(8);
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(h.dict, "", &child), 1);
    EXPECT_EQ(child, h.dict);

    Dictionary *first, *second;
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(h.dict, "rows~", &first), 1);
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(h.dict, "rows~", &second), 1);
    EXPECT_NE(first, second);
    EXPECT_EQ(Count(h.dict), 2u);
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetLast(h.dict, &item);
    const char* key = nullptr;
    Dictionary_ItemGetKeyPtr(h.dict, item, &key);
    EXPECT_STREQ(key, "rows");
    EXPECT_EQ(Type(h.dict, item), DICTIONARY_TYPE_DICTIONARY);

    Dictionary *pq, *again, *trimmed, *skipped;
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(h.dict, "p.q", &pq), 1);
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(h.dict, "p.q", &again), 1);
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(h.dict, "  p .\tq  ", &trimmed), 1);
    // Empty members are skipped, as the resolver skips runs of separators.
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(h.dict, "p..q.", &skipped), 1);
    EXPECT_EQ(again, pq);
    EXPECT_EQ(trimmed, pq);
    EXPECT_EQ(skipped, pq);
    EXPECT_EQ(Count(h.dict), 3u);
    // Members are paths of the current dictionary.
    Dictionary* byIndex = nullptr;
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(h.dict, "[2].[0]", &byIndex), 1);
    EXPECT_EQ(byIndex, pq);
    // "rows~" under an existing path appends under it.
    Dictionary* row = nullptr;
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(h.dict, "p.rows~", &row), 1);
    EXPECT_EQ(FindPath(h.dict, "p.rows") != nullptr, true);

    // A member naming a non-container fails with a null out.
    Dictionary_AddString(h.dict, "s", "text", nullptr);
    child = reinterpret_cast<Dictionary*>(8);
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(h.dict, "s.deeper", &child), 0);
    EXPECT_EQ(child, nullptr);
    EXPECT_EQ(Count(h.dict), 4u);

    // A list element is reached by index.
    Dictionary* list = nullptr;
    Dictionary_AddList(h.dict, "list", &list, nullptr);
    Dictionary* element = nullptr;
    Dictionary_AddDictionary(list, nullptr, &element, nullptr);
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(h.dict, "list[0]", &child), 1);
    EXPECT_EQ(child, element);
}

TEST(DictionaryPath, SetAndGetByPath) {
    DictionaryHolder h;
    EXPECT_EQ(Dictionary_SetStringByPath(h.dict, "x.y.z", "deep text"), 1);
    DictionaryItem* x = nullptr;
    ASSERT_EQ(Dictionary_ItemFindByKey(h.dict, "x", nullptr, &x), 1);
    EXPECT_EQ(Type(h.dict, x), DICTIONARY_TYPE_DICTIONARY);
    Dictionary* xc = Child(h.dict, x);
    DictionaryItem* y = nullptr;
    ASSERT_EQ(Dictionary_ItemFindByKey(xc, "y", nullptr, &y), 1);
    EXPECT_EQ(Type(xc, y), DICTIONARY_TYPE_DICTIONARY);
    Dictionary* yc = Child(xc, y);
    DictionaryItem* z = nullptr;
    ASSERT_EQ(Dictionary_ItemFindByKey(yc, "z", nullptr, &z), 1);
    EXPECT_EQ(Type(yc, z), DICTIONARY_TYPE_STRING);
    char buffer[32];
    EXPECT_EQ(Dictionary_GetStringByPath(h.dict, "x.y.z", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "deep text");
    EXPECT_EQ(Dictionary_GetStringByPath(h.dict, "x\\y\\z", buffer, 5), 1);
    EXPECT_STREQ(buffer, "deep"); // cut by the bounded copy
    const char* pointer = nullptr;
    EXPECT_EQ(Dictionary_GetStringPtrByPath(h.dict, "x.y.z", &pointer), 1);
    EXPECT_STREQ(pointer, "deep text");
    EXPECT_EQ(Dictionary_SetStringByPath(h.dict, "x.y.z", "again"), 1);
    EXPECT_EQ(Count(yc), 1u);

    EXPECT_EQ(Dictionary_SetInt32ByPath(h.dict, "n.i32", -7), 1);
    EXPECT_EQ(Dictionary_SetInt64ByPath(h.dict, "n.i64", INT64_MIN), 1);
    EXPECT_EQ(Dictionary_SetFloat64ByPath(h.dict, "n.f", 2.5), 1);
    EXPECT_EQ(Dictionary_SetBooleanByPath(h.dict, "n.b", 1), 1);
    int32_t i32 = 0;
    int64_t i64 = 0;
    double f = 0;
    uint32_t b = 0;
    EXPECT_EQ(Dictionary_GetInt32ByPath(h.dict, "n.i32", &i32), 1);
    EXPECT_EQ(i32, -7);
    EXPECT_EQ(Dictionary_GetInt64ByPath(h.dict, "n.i64", &i64), 1);
    EXPECT_EQ(i64, INT64_MIN);
    EXPECT_EQ(Dictionary_GetFloat64ByPath(h.dict, "n.f", &f), 1);
    EXPECT_EQ(f, 2.5);
    EXPECT_EQ(Dictionary_GetInt32ByPath(h.dict, "n.f", &i32), 1);
    EXPECT_EQ(i32, 2);
    EXPECT_EQ(Dictionary_GetBooleanByPath(h.dict, "n.b", &b), 1);
    EXPECT_EQ(b, 1u);
    const char* bytes = nullptr;
    int32_t length = 0;
    EXPECT_EQ(Dictionary_GetBufferPtrByPath(h.dict, "n.i64", &bytes, &length), 1);
    EXPECT_EQ(std::string(bytes, length), "-9223372036854775808");
    EXPECT_EQ(Dictionary_GetBufferPtrByPath(h.dict, "n.b", &bytes, &length), 1);
    EXPECT_EQ(std::string(bytes, length), "true");
    Dictionary* n = nullptr;
    EXPECT_EQ(Dictionary_GetDictionaryByPath(h.dict, "n", &n), 1);
    EXPECT_EQ(Count(n), 4u);

    // Not found, or of a type the getter does not take: 0 with the output cleared.
    strcpy(buffer, "stale");
    EXPECT_EQ(Dictionary_GetStringByPath(h.dict, "n.missing", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    strcpy(buffer, "stale");
    EXPECT_EQ(Dictionary_GetStringByPath(h.dict, "n.i32", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    i32 = 9;
    EXPECT_EQ(Dictionary_GetInt32ByPath(h.dict, "n.b", &i32), 0);
    EXPECT_EQ(i32, 0);
    i64 = 9;
    EXPECT_EQ(Dictionary_GetInt64ByPath(h.dict, "n.missing", &i64), 0);
    EXPECT_EQ(i64, 0);
    f = 9;
    EXPECT_EQ(Dictionary_GetFloat64ByPath(h.dict, "x.y.z", &f), 0);
    EXPECT_EQ(f, 0.0);
    b = 9;
    EXPECT_EQ(Dictionary_GetBooleanByPath(h.dict, "n.f", &b), 0);
    EXPECT_EQ(b, 0u);
    pointer = "stale";
    EXPECT_EQ(Dictionary_GetStringPtrByPath(h.dict, "n.b", &pointer), 0);
    EXPECT_EQ(pointer, nullptr);
    bytes = "stale";
    length = 9;
    EXPECT_EQ(Dictionary_GetBufferPtrByPath(h.dict, "nothing", &bytes, &length), 0);
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(length, 0);
    n = reinterpret_cast<Dictionary*>(8);
    EXPECT_EQ(Dictionary_GetDictionaryByPath(h.dict, "n.f", &n), 0);
    EXPECT_EQ(n, nullptr);
    EXPECT_EQ(Count(h.dict), 2u); // getters create nothing
}

TEST(DictionaryPath, SetByPathEdges) {
    DictionaryHolder h;
    Dictionary_AddString(h.dict, "s", "text", nullptr);
    // The parent part names a String: nothing is set.
    EXPECT_EQ(Dictionary_SetStringByPath(h.dict, "s.k", "v"), 0);
    EXPECT_EQ(Count(h.dict), 1u);
    char buffer[16];
    EXPECT_EQ(Dictionary_GetStringByKey(h.dict, "s", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "text");

    // An empty last part names nothing a getter could find: refused before anything is made.
    EXPECT_EQ(Dictionary_SetStringByPath(h.dict, "p.", "v"), 0);
    EXPECT_EQ(Dictionary_SetStringByPath(h.dict, "", "v"), 0);
    EXPECT_EQ(Count(h.dict), 1u);

    // The last segment is a key: "[0]" addresses the first item, "[2]" past the end and
    // "list[2]" are literal keys.
    EXPECT_EQ(Dictionary_SetStringByPath(h.dict, "[0]", "first"), 1);
    EXPECT_EQ(Dictionary_GetStringByKey(h.dict, "s", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "first");
    EXPECT_EQ(Dictionary_SetStringByPath(h.dict, "[2]", "two"), 1);
    EXPECT_EQ(Dictionary_SetStringByPath(h.dict, "list[2]", "literal"), 1);
    EXPECT_EQ(Count(h.dict), 3u);
    DictionaryItem* item = nullptr;
    Dictionary_ItemFindByIndex(h.dict, 1, nullptr, &item);
    const char* key = nullptr;
    Dictionary_ItemGetKeyPtr(h.dict, item, &key);
    EXPECT_STREQ(key, "[2]");
    Dictionary_ItemFindByIndex(h.dict, 2, nullptr, &item);
    Dictionary_ItemGetKeyPtr(h.dict, item, &key);
    EXPECT_STREQ(key, "list[2]");

    // Paths past 319 characters are cut there.
    std::string longPath = "q." + std::string(400, 'z');
    EXPECT_EQ(Dictionary_SetStringByPath(h.dict, longPath.c_str(), "long"), 1);
    Dictionary* q = nullptr;
    ASSERT_EQ(Dictionary_GetDictionaryByKey(h.dict, "q", &q), 1);
    Dictionary_ItemGetFirst(q, &item);
    Dictionary_ItemGetKeyPtr(q, item, &key);
    EXPECT_EQ(strlen(key), (size_t)DICTIONARY_MAX_KEY_LENGTH);
    std::string cut = "r." + std::string(320, 'z') + ".k";
    EXPECT_EQ(Dictionary_SetStringByPath(h.dict, cut.c_str(), "v"), 1);
    EXPECT_EQ(Dictionary_ContainsPath(h.dict, ("r." + std::string(317, 'z')).c_str()), 1);
    EXPECT_EQ(Dictionary_ContainsPath(h.dict, ("r." + std::string(317, 'z') + ".k").c_str()), 0);
}

// ---- Path texts -----------------------------------------------------------------------------

TEST(DictionaryPath, PathTexts) {
    struct Case {
        const char* path;
        const char* key;
        const char* parent;
        int64_t hasParent;
        const char* skipped;
        int64_t skipResult;
    };
    const Case cases[] = {
        {"a.b.c", "c", "a.b", 1, "b.c", 1},
        {"a.b[3]", "[3]", "a.b", 1, "b[3]", 1},
        {"a[3].b", "b", "a[3]", 1, "b", 1},
        {"[0].x", "x", "[0]", 1, "x", 1},
        {"a\\b", "b", "a", 1, "b", 1},
        {"plain", "plain", "", 0, "plain", 0},
        {"", "", "", 0, "", 0},
        {".a", "a", "", 0, "a", 1},
        {"a.", "", "a", 1, "", 1},
        {"[3]", "[3]", "", 0, "", 1},
        {"a..]\\b", "b", "a..]", 1, "b", 1},
    };
    for (const Case& k : cases) {
        char out[64];
        strcpy(out, "stale");
        EXPECT_EQ(Dictionary_PathGetKey(k.path, out, sizeof out), 1) << k.path;
        EXPECT_STREQ(out, k.key) << k.path;
        strcpy(out, "stale");
        EXPECT_EQ(Dictionary_PathGetParent(k.path, out, sizeof out), k.parent[0] ? 1 : 0) << k.path;
        EXPECT_STREQ(out, k.parent) << k.path;
        EXPECT_EQ(Dictionary_PathHasParent(k.path), k.hasParent) << k.path;
        strcpy(out, "stale");
        EXPECT_EQ(Dictionary_PathSkipRoot(k.path, out, sizeof out), k.skipResult) << k.path;
        EXPECT_STREQ(out, k.skipped) << k.path;
    }
    // Bounded outputs.
    char small[4];
    Dictionary_PathGetKey("a.longkey", small, sizeof small);
    EXPECT_STREQ(small, "lon");
    EXPECT_EQ(Dictionary_PathGetParent("abcdef.x", small, sizeof small), 1);
    EXPECT_STREQ(small, "abc");
    Dictionary_PathSkipRoot("a.bcdef", small, sizeof small);
    EXPECT_STREQ(small, "bcd");
    char none[1] = {'z'};
    EXPECT_EQ(Dictionary_PathGetParent("a.b", none, 0), 1);
    EXPECT_EQ(none[0], 'z');
}

// ---- Abort texts ----------------------------------------------------------------------------

TEST(DictionaryPathDeathTest, NullArguments) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string null = AbortRegex("Pointer is NULL\n");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Dictionary_ItemFindByPath(nullptr, "a", nullptr, nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            Dictionary_ItemFindByPath(h.dict, nullptr, nullptr, nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            Dictionary_ItemFindByIndex(h.dict, 0, nullptr, nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            DictionaryItem* item = nullptr;
            Dictionary_ItemFindByBuffer(h.dict, nullptr, 1, nullptr, &item);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            Dictionary_EnsureDictionaryByPath(h.dict, "a", nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            Dictionary_SetStringByPath(h.dict, "a", nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            char out[4];
            Dictionary_PathGetKey(nullptr, out, sizeof out);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Dictionary_PathSkipRoot("a.b", nullptr, 4);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Dictionary_PathHasParent(nullptr);
        },
        null);
}

TEST(DictionaryPathDeathTest, WrongHandles) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The class id of a dictionary follows its instance id; an item's comes first.
    alignas(16) static uint8_t fake[256] = {};
    reinterpret_cast<Class*>(fake)->ClassId = 0x12345678;
    alignas(16) static uint8_t fakeItem[64] = {};
    *reinterpret_cast<uint32_t*>(fakeItem) = 0x12345678;
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Dictionary_ContainsPath(reinterpret_cast<Dictionary*>(fake), "a");
        },
        Mismatch(DICTIONARY_CLASS_ID, 0x12345678));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            DictionaryItem* item = nullptr;
            Dictionary_ItemFindByIndex(h.dict, 0, reinterpret_cast<DictionaryItem*>(fakeItem), &item);
        },
        Mismatch(DICTIONARY_ITEM_CLASS_ID, 0x12345678));
}
