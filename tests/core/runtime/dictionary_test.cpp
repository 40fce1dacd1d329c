// Tests of the dictionary tree: creation, items and their types, keys, value text, lookups by
// key, pools and reset, settings, the print channel and the abort texts.
#include "core/runtime/dictionary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/dictionary_internal.h"
#include "core/runtime/pool.h"
#include "core/runtime/string_print.h"
#include "tests/support/abort_hook.h"

namespace {

struct DictionaryHolder {
    Dictionary* dict = nullptr;
    DictionaryHolder() { Dictionary_Create(&dict); }
    ~DictionaryHolder() { Dictionary_Release(&dict); }
};

std::string Text(Dictionary* dict, DictionaryItem* item, int64_t* result = nullptr) {
    const char* bytes = nullptr;
    int32_t length = -1;
    int64_t r = Dictionary_ItemGetBufferPtr(dict, item, &bytes, &length);
    if (result) *result = r;
    return bytes ? std::string(bytes, (size_t)length) : std::string("<none>");
}

std::string Key(Dictionary* dict, DictionaryItem* item) {
    const char* key = nullptr;
    return Dictionary_ItemGetKeyPtr(dict, item, &key) ? std::string(key) : std::string("<unnamed>");
}

uint32_t Type(Dictionary* dict, DictionaryItem* item) {
    uint32_t type = 99;
    Dictionary_ItemGetType(dict, item, &type);
    return type;
}

uint32_t Count(Dictionary* dict) {
    uint32_t count = 99;
    Dictionary_ItemGetCount(dict, &count);
    return count;
}

std::vector<std::string> Keys(Dictionary* dict) {
    std::vector<std::string> keys;
    DictionaryItem* item = nullptr;
    for (int64_t ok = Dictionary_ItemGetFirst(dict, &item); ok;
         ok = Dictionary_ItemGetNext(dict, item, &item))
        keys.push_back(Key(dict, item));
    return keys;
}

// Collects every line handed to a print callback, formatted.
int64_t CollectLine(void* user, const char* format, ...) {
    char line[16384];
    va_list args;
    va_start(args, format);
    String_VPrint(line, (int32_t)sizeof(line), format, args);
    va_end(args);
    static_cast<std::vector<std::string>*>(user)->push_back(line);
    return 1;
}

uint32_t Chunks(Pool* pool) {
    uint32_t count = 99;
    Pool_GetBlocksInUse(pool, &count);
    return count;
}

TEST(Dictionary, TypeNames) {
    const char* names[] = {"Unknown", "Null", "Boolean", "Int64", "Float64", "String", "List", "Dictionary"};
    for (uint32_t code = 0; code < 8; code++) {
        EXPECT_EQ(Dictionary_TypeStringTable[code].Code, code);
        EXPECT_STREQ(Dictionary_TypeStringTable[code].Name, names[code]);
        EXPECT_STREQ(Dictionary_TranslateType(code), names[code]);
    }
    EXPECT_STREQ(Dictionary_TranslateType(8), "Unknown");
    EXPECT_STREQ(Dictionary_TranslateType(0xFFFFFFFF), "Unknown");
}

TEST(Dictionary, CreateHasDefaultsAndNoPools) {
    DictionaryHolder h;
    EXPECT_EQ(h.dict->Header.ClassId, DICTIONARY_CLASS_ID);
    EXPECT_EQ(h.dict->Header.RefCount, 1u);
    EXPECT_EQ(h.dict->Vtbl, &GlobalDictionaryVtbl);
    EXPECT_EQ(Count(h.dict), 0u);
    uint32_t value = 99;
    Dictionary_GetCaseSensitive(h.dict, &value);
    EXPECT_EQ(value, 1u);
    Dictionary_GetPrivateKeys(h.dict, &value);
    EXPECT_EQ(value, 1u);
    Dictionary_GetAllowDuplicates(h.dict, &value);
    EXPECT_EQ(value, 1u);
    Dictionary_GetStringPool(h.dict, &value);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(h.dict->PoolChunkSize, 8u);
    EXPECT_EQ(h.dict->ItemPool, nullptr);
    EXPECT_EQ(h.dict->DictionaryPool, nullptr);
    DictionaryItem* item = nullptr;
    EXPECT_EQ(Dictionary_ItemGetFirst(h.dict, &item), 0);
    EXPECT_EQ(Dictionary_ItemGetLast(h.dict, &item), 0);

    Dictionary_AddNull(h.dict, "n", nullptr);
    ASSERT_NE(h.dict->ItemPool, nullptr);
    ASSERT_NE(h.dict->DictionaryPool, nullptr);
    EXPECT_EQ(h.dict->StringPoolHandle, nullptr);
    uint32_t chunk = 0;
    Pool_GetChunkSize(h.dict->ItemPool, &chunk);
    EXPECT_EQ(chunk, 8u);
}

TEST(Dictionary, AddTypedValues) {
    DictionaryHolder h;
    Dictionary* d = h.dict;
    struct Case {
        DictionaryItem* item;
        uint32_t type;
        const char* text;
        int64_t result;
    };
    DictionaryItem *s, *e, *i32, *i64, *lo, *f, *g, *big, *bt, *bf, *n, *u;
    EXPECT_EQ(Dictionary_AddString(d, "s", "hello", &s), 1);
    Dictionary_AddString(d, "e", "", &e);
    Dictionary_AddInt32(d, "i32", -5, &i32);
    Dictionary_AddInt64(d, "i64", 1234567890123LL, &i64);
    Dictionary_AddInt64(d, "lo", INT64_MIN, &lo);
    Dictionary_AddFloat64(d, "f", 1.5, &f);
    Dictionary_AddFloat64(d, "g", 0.1, &g);
    Dictionary_AddFloat64(d, "big", 1e20, &big);
    Dictionary_AddBoolean(d, "bt", 1, &bt);
    Dictionary_AddBoolean(d, "bf", 2, &bf);
    Dictionary_AddNull(d, "n", &n);
    Dictionary_Add(d, "u", &u);
    const Case cases[] = {
        {s, DICTIONARY_TYPE_STRING, "hello", 1},
        {e, DICTIONARY_TYPE_STRING, "", 1},
        {i32, DICTIONARY_TYPE_INT64, "-5", 1},
        {i64, DICTIONARY_TYPE_INT64, "1234567890123", 1},
        {lo, DICTIONARY_TYPE_INT64, "-9223372036854775808", 1},
        {f, DICTIONARY_TYPE_FLOAT64, "1.5", 1},
        {g, DICTIONARY_TYPE_FLOAT64, "0.1", 1},
        {big, DICTIONARY_TYPE_FLOAT64, "1e+20", 1},
        {bt, DICTIONARY_TYPE_BOOLEAN, "true", 1},
        {bf, DICTIONARY_TYPE_BOOLEAN, "false", 1},
        {n, DICTIONARY_TYPE_NULL, "null", 1},
        {u, DICTIONARY_TYPE_UNKNOWN, "<none>", 0},
    };
    for (const Case& c : cases) {
        int64_t result = -1;
        EXPECT_EQ(Text(d, c.item, &result), c.text) << c.text;
        EXPECT_EQ(result, c.result) << c.text;
        EXPECT_EQ(Type(d, c.item), c.type) << c.text;
        EXPECT_EQ(Dictionary_ItemCompareType(d, c.item, c.type), 1);
    }
    EXPECT_EQ(Count(d), 12u);
    EXPECT_EQ(Dictionary_ItemIsNull(d, n), 1);
    EXPECT_EQ(Dictionary_ItemIsNull(d, s), 0);
    EXPECT_EQ(Dictionary_ItemSetNull(d, s), 1);
    EXPECT_EQ(Type(d, s), DICTIONARY_TYPE_STRING);

    Dictionary* list = nullptr;
    Dictionary* sub = nullptr;
    DictionaryItem *li, *di;
    Dictionary_AddList(d, "l", &list, &li);
    Dictionary_AddDictionary(d, "d", &sub, &di);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(Dictionary_ItemIsContainer(d, li), 1);
    EXPECT_EQ(Dictionary_ItemIsContainer(d, di), 1);
    EXPECT_EQ(Dictionary_ItemIsContainer(d, s), 0);
    Dictionary* child = nullptr;
    EXPECT_EQ(Dictionary_ItemGetDictionaryHandle(d, li, &child), 1);
    EXPECT_EQ(child, list);
    EXPECT_EQ(Dictionary_ItemGetDictionaryHandle(d, s, &child), 0);
    EXPECT_EQ(child, nullptr);
    Dictionary* parent = nullptr;
    DictionaryItem* parentItem = nullptr;
    EXPECT_EQ(Dictionary_GetParent(sub, &parent, &parentItem), 1);
    EXPECT_EQ(parent, d);
    EXPECT_EQ(parentItem, di);
    EXPECT_EQ(Dictionary_GetParent(d, &parent, &parentItem), 0);
    EXPECT_EQ(parent, nullptr);
    EXPECT_EQ(parentItem, nullptr);
    // A container item has no text of its own.
    EXPECT_EQ(Text(d, li), "<none>");
}

TEST(Dictionary, ThroughTheOperationTable) {
    DictionaryHolder h;
    const DictionaryVtbl* table = h.dict->Vtbl;
    DictionaryItem* item = nullptr;
    EXPECT_EQ(table->AddString(h.dict, "k", "v", &item), 1);
    DictionaryItem* found = nullptr;
    EXPECT_EQ(table->ItemFindByKey(h.dict, "k", nullptr, &found), 1);
    EXPECT_EQ(found, item);
    uint32_t count = 0;
    table->ItemGetCount(h.dict, &count);
    EXPECT_EQ(count, 1u);
    // Children carry the same table.
    Dictionary* child = nullptr;
    Dictionary_AddDictionary(h.dict, "c", &child, nullptr);
    EXPECT_EQ(child->Vtbl, &GlobalDictionaryVtbl);
}

TEST(Dictionary, DuplicatesAndLookupByKey) {
    DictionaryHolder h;
    DictionaryItem *a1, *a2, *found;
    Dictionary_AddString(h.dict, "a", "1", &a1);
    Dictionary_AddString(h.dict, "a", "2", &a2);
    EXPECT_NE(a1, a2);
    EXPECT_EQ(Count(h.dict), 2u);
    EXPECT_EQ(Dictionary_ItemFindByKey(h.dict, "a", nullptr, &found), 1);
    EXPECT_EQ(found, a1);
    EXPECT_EQ(Dictionary_ItemFindByKey(h.dict, "a", a2, &found), 1);
    EXPECT_EQ(found, a2);

    DictionaryHolder unique;
    Dictionary_SetAllowDuplicates(unique.dict, 0);
    DictionaryItem *first, *second;
    Dictionary_Add(unique.dict, "a", &first);
    Dictionary_Add(unique.dict, "a", &second);
    EXPECT_EQ(first, second);
    EXPECT_EQ(Count(unique.dict), 1u);
    // Unnamed items are never duplicates.
    Dictionary_Add(unique.dict, nullptr, &first);
    Dictionary_Add(unique.dict, nullptr, &second);
    EXPECT_NE(first, second);
    EXPECT_EQ(Count(unique.dict), 3u);
    // Children copy the setting.
    Dictionary* child = nullptr;
    Dictionary_AddDictionary(unique.dict, "c", &child, nullptr);
    uint32_t value = 9;
    Dictionary_GetAllowDuplicates(child, &value);
    EXPECT_EQ(value, 0u);
}

TEST(Dictionary, FindByKeyForms) {
    DictionaryHolder h;
    Dictionary* d = h.dict;
    DictionaryItem *literal, *b, *c, *unnamed, *found;
    Dictionary_Add(d, "[1]", &literal);
    Dictionary_Add(d, "Beta", &b);
    Dictionary_Add(d, "gamma", &c);
    Dictionary_Add(d, nullptr, &unnamed);
    Dictionary_Add(d, "[-1]", nullptr);

    struct Case {
        const char* key;
        DictionaryItem* start;
        DictionaryItem* expected;
    };
    DictionaryItem* last = d->Items.Last;
    const Case cases[] = {
        {"[0]", nullptr, literal}, {"[0]", b, b}, // positions count from the start item
        {"[1]", nullptr, literal},                // the literal key before position 1 wins
        {"[2]", nullptr, c},       {"[3]", nullptr, unnamed},
        {"[9]", nullptr, nullptr}, {"[-1]", nullptr, last}, // negative: a plain key
        {"Beta", nullptr, b},      {"beta", nullptr, nullptr},
        {".Beta", nullptr, b}, // the private prefix is dropped
        {"#gamma", nullptr, c},    {"gamma", b, c},
        {"Beta", c, nullptr},      {"", nullptr, nullptr}, // unnamed items never match
        {"gam", nullptr, nullptr}, {"gammax", nullptr, nullptr},
    };
    for (const Case& k : cases) {
        found = reinterpret_cast<DictionaryItem*>(1);
        EXPECT_EQ(Dictionary_ItemFindByKey(d, k.key, k.start, &found), k.expected ? 1 : 0) << k.key;
        EXPECT_EQ(found, k.expected) << k.key;
    }

    Dictionary_SetCaseSensitive(d, 0);
    EXPECT_EQ(Dictionary_ItemFindByKey(d, "BETA", nullptr, &found), 1);
    EXPECT_EQ(found, b);
    EXPECT_EQ(Dictionary_ItemFindByKey(d, "GAMMA", nullptr, &found), 1);
    EXPECT_EQ(found, c);
    EXPECT_EQ(Dictionary_ItemFindByKey(d, "GAMM", nullptr, &found), 0);

    Dictionary_SetPrivateKeys(d, 0);
    EXPECT_EQ(Dictionary_ItemFindByKey(d, ".Beta", nullptr, &found), 0);

    DictionaryHolder empty;
    EXPECT_EQ(Dictionary_ItemFindByKey(empty.dict, "[0]", nullptr, &found), 0);
    EXPECT_EQ(found, nullptr);
}

TEST(Dictionary, PrivatePrefix) {
    DictionaryHolder h;
    DictionaryItem *dot, *hash, *plain;
    Dictionary_Add(h.dict, ".x", &dot);
    Dictionary_Add(h.dict, "#y", &hash);
    Dictionary_Add(h.dict, "z", &plain);
    EXPECT_EQ(Key(h.dict, dot), "x");
    EXPECT_EQ(Key(h.dict, hash), "y");
    uint32_t value = 9;
    EXPECT_EQ(Dictionary_ItemGetPrivate(h.dict, dot, &value), 1);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(Dictionary_ItemGetPrivate(h.dict, hash, nullptr), 1);
    EXPECT_EQ(Dictionary_ItemGetPrivate(h.dict, plain, &value), 0);
    EXPECT_EQ(value, 0u);
    // Only "." or "#" in front, and only one of them is dropped.
    DictionaryItem* twice = nullptr;
    Dictionary_Add(h.dict, "..w", &twice);
    EXPECT_EQ(Key(h.dict, twice), ".w");
    // Rewriting the key decides the bit again.
    Dictionary_ItemSetKey(h.dict, dot, "x");
    EXPECT_EQ(Dictionary_ItemGetPrivate(h.dict, dot, nullptr), 0);
    Dictionary_ItemSetPrivate(h.dict, dot, 1);
    EXPECT_EQ(Dictionary_ItemGetPrivate(h.dict, dot, nullptr), 1);
    Dictionary_ItemSetPrivate(h.dict, dot, 2);
    EXPECT_EQ(Dictionary_ItemGetPrivate(h.dict, dot, nullptr), 0);
    // The bit reads as private only while the dictionary has PrivateKeys on.
    Dictionary_SetPrivateKeys(h.dict, 0);
    EXPECT_EQ(Dictionary_ItemGetPrivate(h.dict, hash, nullptr), 0);

    DictionaryHolder open;
    Dictionary_SetPrivateKeys(open.dict, 0);
    DictionaryItem* item = nullptr;
    Dictionary_Add(open.dict, ".x", &item);
    EXPECT_EQ(Key(open.dict, item), ".x");
    EXPECT_EQ(open.dict->Items.First->Flags & DICTIONARY_ITEM_FLAG_PRIVATE, 0);
    Dictionary_Add(open.dict, "#x", &item);
    EXPECT_EQ(Key(open.dict, item), "#x");
}

TEST(Dictionary, KeyLengthLimit) {
    DictionaryHolder h;
    std::vector<std::string> lines;
    Dictionary_SetPrintCallback(h.dict, &lines, CollectLine);

    const std::string key150(150, 'k');
    DictionaryItem* item = nullptr;
    Dictionary_Add(h.dict, key150.c_str(), &item);
    EXPECT_EQ(Key(h.dict, item), std::string(119, 'k'));
    ASSERT_EQ(lines.size(), 1u);
    char prefix[64];
    String_Print(prefix, (int32_t)sizeof(prefix), "Dictionary.%08x - ", (uint32_t)(uintptr_t)h.dict);
    EXPECT_EQ(lines[0], std::string(prefix) + "Key exceeds maximum length " + key150 + " (150 > 119)\n");

    // 119 characters pass; 120 are cut. The private prefix does not count.
    lines.clear();
    Dictionary_ItemSetKey(h.dict, item, std::string(119, 'a').c_str());
    EXPECT_TRUE(lines.empty());
    Dictionary_ItemSetKey(h.dict, item, ("." + std::string(119, 'b')).c_str());
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(Key(h.dict, item), std::string(119, 'b'));
    Dictionary_ItemSetKey(h.dict, item, std::string(120, 'c').c_str());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" (120 > 119)\n"), std::string::npos);
    EXPECT_EQ(Key(h.dict, item), std::string(119, 'c'));
    // The cut never splits a UTF-8 character: an 'é' across the limit goes whole.
    Dictionary_ItemSetKey(h.dict, item, (std::string(118, 'd') + "\xC3\xA9" + "tail").c_str());
    EXPECT_EQ(Key(h.dict, item), std::string(118, 'd'));
    Dictionary_ItemSetKey(h.dict, item, (std::string(117, 'e') + "\xC3\xA9" + "tail").c_str());
    EXPECT_EQ(Key(h.dict, item), std::string(117, 'e') + "\xC3\xA9");

    // A key given by length is read only that far, even when it is not terminated there.
    lines.clear();
    std::vector<char> raw(200, 'r');
    Dictionary_ItemSetKeyLength(h.dict, item, raw.data(), (int32_t)raw.size());
    EXPECT_EQ(Key(h.dict, item), std::string(119, 'r'));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(std::string(200, 'r') + " (200 > 119)"), std::string::npos);
    Dictionary_ItemSetKeyLength(h.dict, item, "abcdef", 3);
    EXPECT_EQ(Key(h.dict, item), "abc");
    // A negative length names the item with an empty key; a null key makes it unnamed.
    Dictionary_ItemSetKeyLength(h.dict, item, "abc", -4);
    EXPECT_EQ(Key(h.dict, item), "");
    Dictionary_ItemSetKeyLength(h.dict, item, nullptr, 5);
    EXPECT_EQ(Key(h.dict, item), "<unnamed>");

    // The print identifier shows after the address.
    lines.clear();
    Dictionary_SetPrintIdentifier(h.dict, "cfg");
    Dictionary_ItemSetKey(h.dict, item, key150.c_str());
    ASSERT_EQ(lines.size(), 1u);
    String_Print(prefix, (int32_t)sizeof(prefix), "Dictionary.%08x.cfg - ", (uint32_t)(uintptr_t)h.dict);
    EXPECT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
}

TEST(Dictionary, KeyCopies) {
    DictionaryHolder h;
    DictionaryItem *named, *unnamed;
    Dictionary_Add(h.dict, "abcdef", &named);
    Dictionary_Add(h.dict, nullptr, &unnamed);
    char buffer[4] = "xyz";
    EXPECT_EQ(Dictionary_ItemGetKey(h.dict, named, buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(Dictionary_ItemGetKey(h.dict, unnamed, buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "");
    const char* key = "x";
    EXPECT_EQ(Dictionary_ItemGetKeyPtr(h.dict, unnamed, &key), 0);
    EXPECT_EQ(key, nullptr);
    // Setting a key from the item's own key text.
    Dictionary_ItemGetKeyPtr(h.dict, named, &key);
    Dictionary_ItemSetKey(h.dict, named, key + 2);
    EXPECT_EQ(Key(h.dict, named), "cdef");
}

TEST(Dictionary, Retyping) {
    DictionaryHolder h;
    Dictionary* d = h.dict;
    DictionaryItem* s = nullptr;
    Dictionary_AddString(d, "s", "abc", &s);
    EXPECT_EQ(Dictionary_ItemSetType(d, s, DICTIONARY_TYPE_INT64), 1);
    int64_t result = -1;
    EXPECT_EQ(Text(d, s, &result), "<none>");
    EXPECT_EQ(result, 0);
    // Setting the same scalar type keeps the text.
    Dictionary_ItemSetBuffer(d, s, "12", 2);
    Dictionary_ItemSetType(d, s, DICTIONARY_TYPE_INT64);
    EXPECT_EQ(Text(d, s), "12");

    Dictionary* child = nullptr;
    DictionaryItem* c = nullptr;
    Dictionary_AddDictionary(d, "c", &child, &c);
    Dictionary_AddString(child, "x", "1", nullptr);
    Dictionary_AddString(child, "y", "2", nullptr);
    // The same container type keeps the child and its items.
    Dictionary_ItemSetType(d, c, DICTIONARY_TYPE_DICTIONARY);
    Dictionary* again = nullptr;
    Dictionary_ItemGetDictionaryHandle(d, c, &again);
    EXPECT_EQ(again, child);
    EXPECT_EQ(Count(child), 2u);
    // Another container type discards them.
    Dictionary_ItemSetType(d, c, DICTIONARY_TYPE_LIST);
    Dictionary_ItemGetDictionaryHandle(d, c, &again);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(Count(again), 0u);
    EXPECT_EQ(Type(d, c), DICTIONARY_TYPE_LIST);
    // A scalar type drops the child.
    Dictionary_ItemSetType(d, c, DICTIONARY_TYPE_STRING);
    EXPECT_EQ(Dictionary_ItemGetDictionaryHandle(d, c, &again), 0);

    // Private and boolean bits survive a retype; a leftover boolean bit does not make a
    // container lose its items when its type is set again.
    DictionaryItem* b = nullptr;
    Dictionary_AddBoolean(d, ".b", 1, &b);
    Dictionary_ItemSetType(d, b, DICTIONARY_TYPE_DICTIONARY);
    EXPECT_EQ(Dictionary_ItemGetPrivate(d, b, nullptr), 1);
    EXPECT_NE(b->Flags & DICTIONARY_ITEM_FLAG_BOOLEAN, 0);
    Dictionary* bchild = nullptr;
    Dictionary_ItemGetDictionaryHandle(d, b, &bchild);
    Dictionary_AddNull(bchild, "kept", nullptr);
    Dictionary_ItemSetType(d, b, DICTIONARY_TYPE_DICTIONARY);
    Dictionary_ItemGetDictionaryHandle(d, b, &again);
    EXPECT_EQ(again, bchild);
    EXPECT_EQ(Count(bchild), 1u);

    // Codes outside the table are refused and change nothing.
    EXPECT_EQ(Dictionary_ItemSetType(d, s, 8), 0);
    EXPECT_EQ(Dictionary_ItemSetType(d, s, 0x46), 0);
    EXPECT_EQ(Type(d, s), DICTIONARY_TYPE_INT64);
    EXPECT_EQ(Text(d, s), "12");
}

TEST(Dictionary, BooleanValues) {
    DictionaryHolder h;
    Dictionary* d = h.dict;
    DictionaryItem* b = nullptr;
    Dictionary_AddBoolean(d, "b", 0, &b);
    EXPECT_EQ(Text(d, b), "false");
    struct Case {
        const char* text;
        int32_t length;
        const char* expected;
    };
    const Case cases[] = {
        {"True", 4, "true"}, {"no", 2, "false"}, {"t", 1, "true"},     {"yes", 3, "false"},
        {"T", 1, "true"},    {"1", 1, "false"},  {"TRUE", 4, "true"},  {"false", 5, "false"},
        {"tx", 1, "true"},   {"", 0, "true"},    {nullptr, 4, "true"}, {"f", 1, "false"},
    };
    // Each case starts from the result of the one before it: an empty or missing text leaves the
    // value as it was.
    for (const Case& c : cases) {
        Dictionary_ItemSetBuffer(d, b, c.text, c.length);
        EXPECT_EQ(Text(d, b), c.expected) << (c.text ? c.text : "null");
        EXPECT_EQ(b->Value, nullptr);
    }
    Dictionary_ItemSetBoolean(d, b, 1);
    EXPECT_EQ(Text(d, b), "true");
    Dictionary_ItemSetBoolean(d, b, 2);
    EXPECT_EQ(Text(d, b), "false");
}

TEST(Dictionary, ValueText) {
    DictionaryHolder h;
    Dictionary* d = h.dict;
    DictionaryItem *s, *n, *i;
    Dictionary_AddString(d, "s", "abc", &s);
    Dictionary_AddNull(d, "n", &n);
    Dictionary_Add(d, "i", &i);
    Dictionary_ItemSetType(d, i, DICTIONARY_TYPE_INT64);

    // A Null item keeps no text.
    Dictionary_ItemSetBuffer(d, n, "xyz", 3);
    EXPECT_EQ(n->Value, nullptr);
    EXPECT_EQ(Text(d, n), "null");
    // Length 0 stores no text: an empty String reads back as "".
    Dictionary_ItemSetBuffer(d, s, "", 0);
    EXPECT_EQ(s->Value, nullptr);
    int64_t result = 0;
    EXPECT_EQ(Text(d, s, &result), "");
    EXPECT_EQ(result, 1);
    // Only `length` bytes are read; a missing text gives zeros.
    const char raw[3] = {'x', 'y', 'z'};
    Dictionary_ItemSetBuffer(d, s, raw, 2);
    EXPECT_EQ(Text(d, s), "xy");
    Dictionary_ItemSetBuffer(d, s, nullptr, 3);
    EXPECT_EQ(Text(d, s), std::string(3, '\0'));
    Dictionary_ItemSetBuffer(d, s, "abc", -1);
    EXPECT_EQ(Text(d, s), "");
    // An Int64 item without text reads as missing; the length out-parameter is optional.
    const char* bytes = "x";
    EXPECT_EQ(Dictionary_ItemGetBufferPtr(d, i, &bytes, nullptr), 0);
    EXPECT_EQ(bytes, nullptr);
    // The item's own text as the source.
    Dictionary_ItemSetBuffer(d, s, "hello", 5);
    Dictionary_ItemSetBuffer(d, s, s->Value + 1, 3);
    EXPECT_EQ(Text(d, s), "ell");

    // Large values are kept whole.
    std::string large(8 << 20, 'v');
    large[12345] = 'w';
    Dictionary_ItemSetBuffer(d, s, large.data(), (int32_t)large.size());
    EXPECT_EQ(Text(d, s), large);
}

TEST(Dictionary, InsertPositionsAndNavigation) {
    DictionaryHolder h;
    Dictionary* d = h.dict;
    DictionaryItem *b, *a, *c, *mid;
    Dictionary_Insert(d, nullptr, "b", &b);
    Dictionary_Insert(d, nullptr, "a", &a);
    Dictionary_Append(d, "d", nullptr);
    Dictionary_Insert(d, b, "c", &c);
    Dictionary_Insert(d, a, "ab", &mid);
    EXPECT_EQ(Keys(d), (std::vector<std::string>{"a", "ab", "b", "c", "d"}));
    DictionaryItem* item = nullptr;
    EXPECT_EQ(Dictionary_ItemGetLast(d, &item), 1);
    EXPECT_EQ(Key(d, item), "d");
    EXPECT_EQ(Dictionary_ItemGetNext(d, item, &item), 0);
    EXPECT_EQ(item, nullptr);
    EXPECT_EQ(Dictionary_ItemGetPrev(d, c, &item), 1);
    EXPECT_EQ(item, b);
    EXPECT_EQ(Dictionary_ItemGetPrev(d, a, &item), 0);
    uint32_t index = 99;
    Dictionary_ItemGetIndex(d, c, &index);
    EXPECT_EQ(index, 3u);
    Dictionary_ItemGetIndex(d, a, &index);
    EXPECT_EQ(index, 0u);

    Dictionary_Remove(d, &mid);
    EXPECT_EQ(mid, nullptr);
    Dictionary_Remove(d, &a);
    DictionaryItem* last = d->Items.Last;
    Dictionary_Remove(d, &last);
    EXPECT_EQ(Keys(d), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(Count(d), 2u);
    Dictionary_Remove(d, &b);
    Dictionary_Remove(d, &c);
    EXPECT_EQ(Count(d), 0u);
    EXPECT_EQ(d->Items.First, nullptr);
    EXPECT_EQ(d->Items.Last, nullptr);
}

int64_t ByKey(Dictionary* dict, DictionaryItem* existing, const char* key, void* context) {
    ++*static_cast<int*>(context);
    const char* existingKey = nullptr;
    Dictionary_ItemGetKeyPtr(dict, existing, &existingKey);
    return strcmp(key, existingKey) < 0 ? 1 : 0;
}

TEST(Dictionary, InsertSorted) {
    DictionaryHolder h;
    int calls = 0;
    for (const char* key : {"m", "c", "x", "a", "n", "c2"})
        Dictionary_InsertSorted(h.dict, key, nullptr, &calls, ByKey);
    EXPECT_EQ(Keys(h.dict), (std::vector<std::string>{"a", "c", "c2", "m", "n", "x"}));
    EXPECT_GT(calls, 0);
    DictionaryItem* item = nullptr;
    Dictionary_InsertSorted(h.dict, "0", &item, &calls, ByKey);
    EXPECT_EQ(h.dict->Items.First, item);
    Dictionary_InsertSorted(h.dict, "z", &item, &calls, ByKey);
    EXPECT_EQ(h.dict->Items.Last, item);
}

TEST(Dictionary, ResetReleasesPoolChunks) {
    for (uint32_t stringPool = 0; stringPool < 2; stringPool++) {
        DictionaryHolder h;
        Dictionary* d = h.dict;
        Dictionary_SetStringPool(d, stringPool);
        for (int i = 0; i < 500; i++) {
            Dictionary* child = nullptr;
            std::string key = "key" + std::to_string(i);
            Dictionary_AddDictionary(d, key.c_str(), &child, nullptr);
            Dictionary_AddString(child, "v", std::string(100, 'x').c_str(), nullptr);
        }
        EXPECT_GT(Chunks(d->ItemPool), 0u);
        EXPECT_GT(Chunks(d->DictionaryPool), 0u);
        if (stringPool) {
            ASSERT_NE(d->StringPoolHandle, nullptr);
            EXPECT_GT(Chunks(d->StringPoolHandle), 0u);
        } else {
            EXPECT_EQ(d->StringPoolHandle, nullptr);
        }
        Dictionary_SetCaseSensitive(d, 0);
        Dictionary_Reset(d);
        EXPECT_EQ(Count(d), 0u);
        EXPECT_EQ(Chunks(d->ItemPool), 0u);
        EXPECT_EQ(Chunks(d->DictionaryPool), 0u);
        if (stringPool) {
            EXPECT_EQ(Chunks(d->StringPoolHandle), 0u);
        }
        // Settings stay; adding afterwards works.
        uint32_t value = 9;
        Dictionary_GetCaseSensitive(d, &value);
        EXPECT_EQ(value, 0u);
        DictionaryItem* item = nullptr;
        Dictionary_AddString(d, "after", "reset", &item);
        EXPECT_EQ(Text(d, item), "reset");
        EXPECT_EQ(Count(d), 1u);
    }
}

TEST(Dictionary, StringPoolHoldsKeysAndValues) {
    DictionaryHolder h;
    Dictionary_SetStringPool(h.dict, 1);
    Dictionary* child = nullptr;
    Dictionary_AddDictionary(h.dict, "c", &child, nullptr);
    uint32_t value = 0;
    Dictionary_GetStringPool(child, &value);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(child->StringPoolHandle, h.dict->StringPoolHandle);
    DictionaryItem* item = nullptr;
    std::string large(5000, 'q');
    Dictionary_AddString(child, "k", large.c_str(), &item);
    EXPECT_EQ(Text(child, item), large);
    Dictionary_ItemSetBuffer(child, item, "short", 5);
    EXPECT_EQ(Text(child, item), "short");
    Dictionary_ItemSetKey(child, item, "renamed");
    EXPECT_EQ(Key(child, item), "renamed");
    uint32_t stringMode = 0;
    Pool_GetStringMode(h.dict->StringPoolHandle, &stringMode);
    EXPECT_EQ(stringMode, 1u);
    uint32_t memberSize = 0;
    Pool_GetMemorySize(h.dict->StringPoolHandle, &memberSize);
    EXPECT_EQ(memberSize, 2048u);
}

TEST(Dictionary, PoolChunkSize) {
    DictionaryHolder h;
    Dictionary_SetPoolChunkSize(h.dict, 3);
    Dictionary_Add(h.dict, "a", nullptr);
    uint32_t chunk = 0;
    Pool_GetChunkSize(h.dict->ItemPool, &chunk);
    EXPECT_EQ(chunk, 3u);
    for (int i = 0; i < 6; i++) Dictionary_Add(h.dict, nullptr, nullptr);
    EXPECT_EQ(Chunks(h.dict->ItemPool), 3u);

    // A chunk size of 0 still makes usable pools.
    DictionaryHolder zero;
    Dictionary_SetPoolChunkSize(zero.dict, 0);
    for (int i = 0; i < 3; i++) Dictionary_Add(zero.dict, nullptr, nullptr);
    EXPECT_EQ(Count(zero.dict), 3u);
}

TEST(Dictionary, ChildrenCopySettingsAndIdentity) {
    DictionaryHolder h;
    Dictionary_SetCaseSensitive(h.dict, 0);
    Dictionary_SetPrivateKeys(h.dict, 0);
    Dictionary_SetPrintIdentifier(h.dict, "root");
    Class_GenerateInstanceIdReal(h.dict);
    Dictionary* child = nullptr;
    Dictionary_AddList(h.dict, "l", &child, nullptr);
    uint32_t value = 9;
    Dictionary_GetCaseSensitive(child, &value);
    EXPECT_EQ(value, 0u);
    Dictionary_GetPrivateKeys(child, &value);
    EXPECT_EQ(value, 0u);
    EXPECT_STREQ(child->Print.Identifier, "root");
    char rootId[40], childId[40];
    Dictionary_GetInstanceId(h.dict, rootId, sizeof(rootId));
    Dictionary_GetInstanceId(child, childId, sizeof(childId));
    EXPECT_EQ(strlen(rootId), 32u);
    EXPECT_STREQ(rootId, childId);
    char small[5];
    Dictionary_GetInstanceId(h.dict, small, sizeof(small));
    EXPECT_EQ(std::string(small), std::string(rootId, 4));
    // Children have their own empty callback slots.
    EXPECT_EQ(Dictionary_GetItemRemoveCallback(child, nullptr, nullptr), 0);
}

TEST(Dictionary, ReferencesOfRootAndChild) {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Dictionary* child = nullptr;
    Dictionary_AddDictionary(dict, "c", &child, nullptr);
    Dictionary_AddString(child, "x", "1", nullptr);
    // Releasing a child past its own reference leaves it to its item.
    Dictionary* handle = child;
    EXPECT_EQ(Dictionary_Release(&handle), 1);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(Count(child), 1u);
    EXPECT_EQ(child->Header.RefCount, 1u);

    Dictionary* second = dict;
    Dictionary_AddRef(dict);
    Dictionary_Release(&second);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(Count(dict), 1u);
    EXPECT_EQ(Dictionary_Release(&dict), 1);
    EXPECT_EQ(dict, nullptr);
    EXPECT_EQ(Dictionary_Release(&dict), 0);
}

TEST(Dictionary, VerboseAndPrint) {
    DictionaryHolder h;
    EXPECT_EQ(Dictionary_IsVerboseLevel(h.dict, 0), 0);
    Dictionary_SetVerbose(h.dict, 1);
    EXPECT_EQ(Dictionary_IsVerboseLevel(h.dict, 0), 1);
    EXPECT_EQ(Dictionary_IsVerboseLevel(h.dict, 1), 0);
    EXPECT_STREQ(h.dict->Print.ClassName, "Dictionary");

    std::vector<std::string> lines;
    Dictionary_SetPrintCallback(h.dict, &lines, CollectLine);
    Dictionary_Print(h.dict, "a %d\nb", 7);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" - a 7\n"), std::string::npos);
    EXPECT_NE(lines[1].find(" - b\n"), std::string::npos);
    // Without a callback the default sink is put back.
    Dictionary_SetPrintCallback(h.dict, nullptr, nullptr);
    Dictionary_Print(h.dict, "to the log");
    EXPECT_EQ(h.dict->Print.PrintCallback, Dictionary_PrintInternal);
    EXPECT_EQ(h.dict->Print.PrintUser, h.dict);
}

TEST(Dictionary, SetStringPoolWithItemsAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Dictionary* d = nullptr;
            Dictionary_Create(&d);
            Dictionary_Add(d, "a", nullptr);
            Dictionary_SetStringPool(d, 1);
        },
        AbortRegex("Assertion failed (value == dict->StringPool || dict->Items.Count == 0)\n"
                   "String pool must be chosen before items are added"));
}

// The abort text for a handle of the wrong class; the address differs in the dying process.
std::string Mismatch(uint32_t expected, uint32_t found) {
    char text[128];
    String_Print(text, (int32_t)sizeof(text), "expected 0x%08x but was 0x%08x", expected, found);
    return "ABORT - Class mismatch pointer \\(0x[0-9A-Fa-f]+: " + std::string(text) +
           "\\)\n \\([^ ]+/[0-9]+\\)";
}

TEST(Dictionary, AbortTexts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string null = AbortRegex("Pointer is NULL\n");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Dictionary_Create(nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Dictionary_Add(nullptr, "a", nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            Dictionary_AddString(h.dict, "a", nullptr, nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            Dictionary_ItemGetCount(h.dict, nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            Dictionary_ItemSetType(h.dict, nullptr, 1);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            Dictionary_ItemFindByKey(h.dict, nullptr, nullptr, nullptr);
        },
        null);

    // Not a dictionary.
    static uint8_t fake[sizeof(Dictionary)] = {};
    Class* header = reinterpret_cast<Class*>(fake);
    header->ClassId = 0x12345678;
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Dictionary_Add(reinterpret_cast<Dictionary*>(fake), "a", nullptr);
        },
        Mismatch(DICTIONARY_CLASS_ID, 0x12345678));

    // An item handle after its removal.
    DictionaryHolder h;
    DictionaryItem* item = nullptr;
    Dictionary_Add(h.dict, "a", &item);
    DictionaryItem* stale = item;
    Dictionary_Add(h.dict, "b", nullptr);
    Dictionary_Remove(h.dict, &item);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Dictionary_ItemSetKey(h.dict, stale, "b");
        },
        Mismatch(DICTIONARY_ITEM_CLASS_ID, 0));
    // A damaged item list head.
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            h.dict->Items.ClassId = 7;
            Dictionary_Add(h.dict, "a", nullptr);
        },
        Mismatch(DICTIONARY_ITEM_CLASS_ID, 7));
}

} // namespace
