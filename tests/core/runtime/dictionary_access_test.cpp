// Tests of typed dictionary access: Ensure operations, values by key, index and item, list
// texts, enumerators, the flat key=value text form and the operation table's entries for them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_internal.h"
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

std::string Text(Dictionary* dict, DictionaryItem* item) {
    const char* bytes = nullptr;
    int32_t length = 0;
    return Dictionary_ItemGetBufferPtr(dict, item, &bytes, &length) ? std::string(bytes, (size_t)length)
                                                                    : std::string("<none>");
}

std::string Key(Dictionary* dict, DictionaryItem* item) {
    const char* key = nullptr;
    return Dictionary_ItemGetKeyPtr(dict, item, &key) ? std::string(key) : std::string("<unnamed>");
}

DictionaryItem* Find(Dictionary* dict, const char* key) {
    DictionaryItem* item = nullptr;
    Dictionary_ItemFindByKey(dict, key, nullptr, &item);
    return item;
}

// "key=text (type)" for every item, in order.
std::string Describe(Dictionary* dict) {
    std::string out;
    DictionaryItem* item = nullptr;
    for (int64_t ok = Dictionary_ItemGetFirst(dict, &item); ok;
         ok = Dictionary_ItemGetNext(dict, item, &item)) {
        if (!out.empty()) out += " ";
        out +=
            Key(dict, item) + "=" + Text(dict, item) + "(" + Dictionary_TranslateType(Type(dict, item)) + ")";
    }
    return out;
}

int64_t SetViaV(Dictionary* dict, const char* key, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Dictionary_SetStringByKeyV(dict, key, format, args);
    va_end(args);
    return result;
}

} // namespace

// ---- Ensure ---------------------------------------------------------------------------------

TEST(DictionaryAccess, EnsureByKey) {
    DictionaryHolder h;
    DictionaryItem *item, *again;
    EXPECT_EQ(Dictionary_EnsureKey(h.dict, "k", &item), 1);
    EXPECT_EQ(Type(h.dict, item), DICTIONARY_TYPE_UNKNOWN);
    EXPECT_EQ(Dictionary_EnsureKey(h.dict, "k", &again), 1);
    EXPECT_EQ(again, item);
    EXPECT_EQ(Dictionary_EnsureKey(h.dict, "[0]", &again), 1); // positional: the first item
    EXPECT_EQ(again, item);
    EXPECT_EQ(Count(h.dict), 1u);

    // Retyping drops another type's value; the same container type keeps its items.
    Dictionary_AddString(h.dict, "s", "text", nullptr);
    Dictionary *list, *listAgain, *dict;
    EXPECT_EQ(Dictionary_EnsureList(h.dict, "s", &item, &list), 1);
    EXPECT_EQ(Type(h.dict, item), DICTIONARY_TYPE_LIST);
    EXPECT_EQ(Text(h.dict, item), "<none>");
    Dictionary_AddString(list, nullptr, "element", nullptr);
    EXPECT_EQ(Dictionary_EnsureList(h.dict, "s", nullptr, &listAgain), 1);
    EXPECT_EQ(listAgain, list);
    EXPECT_EQ(Count(list), 1u);
    EXPECT_EQ(Dictionary_EnsureDictionary(h.dict, "s", &item, &dict), 1);
    EXPECT_EQ(Type(h.dict, item), DICTIONARY_TYPE_DICTIONARY);
    EXPECT_EQ(Count(dict), 0u);
    EXPECT_EQ(Dictionary_EnsureDictionary(h.dict, "new", nullptr, nullptr), 1);
    EXPECT_EQ(Count(h.dict), 3u);
}

TEST(DictionaryAccess, EnsureByIndex) {
    DictionaryHolder h;
    DictionaryItem* item = nullptr;
    EXPECT_EQ(Dictionary_EnsureIndex(h.dict, 3, &item), 1);
    EXPECT_EQ(Count(h.dict), 4u);
    DictionaryItem* last = nullptr;
    Dictionary_ItemGetLast(h.dict, &last);
    EXPECT_EQ(item, last);
    EXPECT_EQ(Key(h.dict, item), "<unnamed>");
    EXPECT_EQ(Type(h.dict, item), DICTIONARY_TYPE_UNKNOWN);
    DictionaryItem* first = nullptr;
    Dictionary_ItemGetFirst(h.dict, &first);
    EXPECT_EQ(Dictionary_EnsureIndex(h.dict, 0, &item), 1);
    EXPECT_EQ(item, first);
    EXPECT_EQ(Dictionary_EnsureIndex(h.dict, -1, &item), 1); // counts from the end
    EXPECT_EQ(item, last);
    EXPECT_EQ(Dictionary_EnsureIndex(h.dict, -5, &item), 0);
    EXPECT_EQ(item, nullptr);
    EXPECT_EQ(Count(h.dict), 4u);
    // An index from outside input must not be able to exhaust memory.
    item = last;
    EXPECT_EQ(Dictionary_EnsureIndex(h.dict, INT32_MAX, &item), 0);
    EXPECT_EQ(item, nullptr);
    EXPECT_EQ(Count(h.dict), 4u);

    Dictionary *list, *dict;
    EXPECT_EQ(Dictionary_EnsureListByIndex(h.dict, 5, &item, &list), 1);
    EXPECT_EQ(Count(h.dict), 6u);
    EXPECT_EQ(Type(h.dict, item), DICTIONARY_TYPE_LIST);
    EXPECT_NE(list, nullptr);
    EXPECT_EQ(Dictionary_EnsureDictionaryByIndex(h.dict, 1, &item, &dict), 1);
    EXPECT_EQ(Type(h.dict, item), DICTIONARY_TYPE_DICTIONARY);
    Dictionary* byIndex = nullptr;
    EXPECT_EQ(Dictionary_GetDictionaryByIndex(h.dict, 1, &byIndex), 1);
    EXPECT_EQ(byIndex, dict);
    EXPECT_EQ(Dictionary_GetListByIndex(h.dict, -1, &byIndex), 1);
    EXPECT_EQ(byIndex, list);
    EXPECT_EQ(Dictionary_GetListByIndex(h.dict, 1, &byIndex), 0);
    EXPECT_EQ(byIndex, nullptr);
    EXPECT_EQ(Dictionary_EnsureDictionaryByIndex(h.dict, INT32_MAX, &item, &dict), 0);
    EXPECT_EQ(item, nullptr);
    EXPECT_EQ(dict, nullptr);
}

// ---- By key ---------------------------------------------------------------------------------

TEST(DictionaryAccess, SettersWriteTypeAndText) {
    DictionaryHolder h;
    Dictionary* d = h.dict;
    EXPECT_EQ(Dictionary_SetStringByKey(d, "s", "text"), 1);
    EXPECT_EQ(Dictionary_SetInt32ByKey(d, "i32", -5), 1);
    EXPECT_EQ(Dictionary_SetInt32ByKey(d, "i32min", INT32_MIN), 1);
    EXPECT_EQ(Dictionary_SetInt64ByKey(d, "i64", INT64_MIN), 1);
    EXPECT_EQ(Dictionary_SetFloat64ByKey(d, "f", 0.1), 1);
    EXPECT_EQ(Dictionary_SetFloat64ByKey(d, "big", 1e20), 1);
    EXPECT_EQ(Dictionary_SetBooleanByKey(d, "t", 1), 1);
    EXPECT_EQ(Dictionary_SetBooleanByKey(d, "two", 2), 1); // true exactly when the value is 1
    EXPECT_EQ(Dictionary_SetStringByKeyPrint(d, "p", "%d-%s", 7, "x"), 1);
    EXPECT_EQ(SetViaV(d, "v", "%05.1f|%lld", 2.75, (long long)-3), 1);
    EXPECT_EQ(Describe(d),
              "s=text(String) i32=-5(Int64) i32min=-2147483648(Int64) "
              "i64=-9223372036854775808(Int64) f=0.1(Float64) big=1e+20(Float64) t=true(Boolean) "
              "two=false(Boolean) p=7-x(String) v=002.8|-3(String)");

    // A setter on an existing item retypes it in place.
    EXPECT_EQ(Dictionary_SetInt64ByKey(d, "s", 42), 1);
    EXPECT_EQ(Dictionary_SetStringByKey(d, "t", ""), 1);
    EXPECT_EQ(Count(d), 10u);
    EXPECT_EQ(Text(d, Find(d, "s")), "42");
    EXPECT_EQ(Type(d, Find(d, "s")), DICTIONARY_TYPE_INT64);
    EXPECT_EQ(Type(d, Find(d, "t")), DICTIONARY_TYPE_STRING);
    EXPECT_EQ(Text(d, Find(d, "t")), "");

    // The text may be the item's own value, which the change of type frees.
    Dictionary_SetInt64ByKey(d, "own", 123456);
    const char* own = nullptr;
    Dictionary_GetBufferPtrByKey(d, "own", &own, nullptr);
    EXPECT_EQ(Dictionary_SetStringByKey(d, "own", own + 1), 1);
    EXPECT_EQ(Text(d, Find(d, "own")), "23456");
    Dictionary_SetFloat64ByKey(d, "own", 2.5);
    Dictionary_GetBufferPtrByKey(d, "own", &own, nullptr);
    EXPECT_EQ(Dictionary_SetStringByKeyPrint(d, "own", "<%s>", own), 1);
    EXPECT_EQ(Text(d, Find(d, "own")), "<2.5>");
    EXPECT_EQ(Type(d, Find(d, "own")), DICTIONARY_TYPE_STRING);
    Dictionary_RemoveByKey(d, "own");

    // A formatted text is never cut, however long.
    const std::string longText(5000, 'q');
    EXPECT_EQ(Dictionary_SetStringByKeyPrint(d, "long", "%s!", longText.c_str()), 1);
    EXPECT_EQ(Text(d, Find(d, "long")), longText + "!");
    EXPECT_EQ(Dictionary_SetStringByKeyPrint(d, "long", "%s", ""), 1);
    EXPECT_EQ(Text(d, Find(d, "long")), "");
}

TEST(DictionaryAccess, GettersAndConversions) {
    DictionaryHolder h;
    Dictionary* d = h.dict;
    Dictionary_AddFloat64(d, "f", 3.75, nullptr);
    Dictionary_AddInt64(d, "i", 7, nullptr);
    Dictionary_AddInt64(d, "wide", 4294967297LL, nullptr);
    Dictionary_AddString(d, "s", "12", nullptr);
    Dictionary_AddString(d, "empty", "", nullptr);
    Dictionary_AddBoolean(d, "b", 1, nullptr);
    Dictionary_AddBoolean(d, "no", 0, nullptr);
    Dictionary_AddNull(d, "null", nullptr);
    Dictionary* list = nullptr;
    Dictionary* child = nullptr;
    Dictionary_AddList(d, "list", &list, nullptr);
    Dictionary_AddDictionary(d, "dict", &child, nullptr);

    int32_t i32 = 0;
    int64_t i64 = 0;
    double f = 0;
    uint32_t b = 0;
    EXPECT_EQ(Dictionary_GetInt32ByKey(d, "f", &i32), 1);
    EXPECT_EQ(i32, 3);
    EXPECT_EQ(Dictionary_GetFloat64ByKey(d, "i", &f), 1);
    EXPECT_EQ(f, 7.0);
    EXPECT_EQ(Dictionary_GetFloat64ByKey(d, "f", &f), 1);
    EXPECT_EQ(f, 3.75);
    EXPECT_EQ(Dictionary_GetInt64ByKey(d, "wide", &i64), 1);
    EXPECT_EQ(i64, 4294967297LL);
    EXPECT_EQ(Dictionary_GetInt32ByKey(d, "wide", &i32), 1); // the low 32 bits
    EXPECT_EQ(i32, 1);
    EXPECT_EQ(Dictionary_GetBooleanByKey(d, "b", &b), 1);
    EXPECT_EQ(b, 1u);
    EXPECT_EQ(Dictionary_GetBooleanByKey(d, "no", &b), 1);
    EXPECT_EQ(b, 0u);

    char buffer[8];
    strcpy(buffer, "stale");
    EXPECT_EQ(Dictionary_GetStringByKey(d, "i", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(Dictionary_GetStringByKey(d, "empty", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(Dictionary_GetStringByKey(d, "s", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "12");
    const char* pointer = nullptr;
    EXPECT_EQ(Dictionary_GetStringPtrByKey(d, "empty", &pointer), 1);
    EXPECT_STREQ(pointer, "");
    EXPECT_EQ(Dictionary_GetStringPtrByKey(d, "b", &pointer), 0);
    EXPECT_EQ(pointer, nullptr);
    const char* bytes = nullptr;
    int32_t length = 0;
    EXPECT_EQ(Dictionary_GetBufferPtrByKey(d, "i", &bytes, &length), 1);
    EXPECT_EQ(std::string(bytes, length), "7");
    EXPECT_EQ(Dictionary_GetBufferPtrByKey(d, "null", &bytes, nullptr), 1);
    EXPECT_STREQ(bytes, "null");
    EXPECT_EQ(Dictionary_GetBufferPtrByKey(d, "list", &bytes, &length), 0);
    EXPECT_EQ(bytes, nullptr);

    // Types a getter does not take, and missing keys: 0 with the output cleared.
    for (const char* key : {"s", "b", "null", "list", "missing"}) {
        i32 = 9;
        i64 = 9;
        f = 9;
        EXPECT_EQ(Dictionary_GetInt32ByKey(d, key, &i32), 0) << key;
        EXPECT_EQ(Dictionary_GetInt64ByKey(d, key, &i64), 0) << key;
        EXPECT_EQ(Dictionary_GetFloat64ByKey(d, key, &f), 0) << key;
        EXPECT_EQ(i32, 0) << key;
        EXPECT_EQ(i64, 0) << key;
        EXPECT_EQ(f, 0.0) << key;
    }
    for (const char* key : {"i", "s", "missing"}) {
        b = 9;
        EXPECT_EQ(Dictionary_GetBooleanByKey(d, key, &b), 0) << key;
        EXPECT_EQ(b, 0u) << key;
    }

    uint32_t type = 99;
    EXPECT_EQ(Dictionary_GetTypeByKey(d, "f", &type), 1);
    EXPECT_EQ(type, DICTIONARY_TYPE_FLOAT64);
    EXPECT_EQ(Dictionary_GetTypeByKey(d, "missing", &type), 0);
    EXPECT_EQ(type, 0u);

    Dictionary* found = nullptr;
    EXPECT_EQ(Dictionary_GetListByKey(d, "list", &found), 1);
    EXPECT_EQ(found, list);
    EXPECT_EQ(Dictionary_GetDictionaryByKey(d, "list", &found), 0);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(Dictionary_GetDictionaryByKey(d, "dict", &found), 1);
    EXPECT_EQ(found, child);
    EXPECT_EQ(Dictionary_GetListByKey(d, "s", &found), 0);
    EXPECT_EQ(Count(d), 10u); // getters create nothing
}

// ---- Items ----------------------------------------------------------------------------------

TEST(DictionaryAccess, ItemValues) {
    DictionaryHolder h;
    Dictionary* d = h.dict;
    DictionaryItem *s, *n, *null, *b;
    Dictionary_AddString(d, "s", "old", &s);
    Dictionary_AddInt64(d, "n", 1, &n);
    Dictionary_AddNull(d, "null", &null);
    Dictionary_AddBoolean(d, "b", 0, &b);

    // Number setters write text and keep the type.
    EXPECT_EQ(Dictionary_ItemSetInt32(d, s, -12), 1);
    EXPECT_EQ(Text(d, s), "-12");
    EXPECT_EQ(Type(d, s), DICTIONARY_TYPE_STRING);
    EXPECT_EQ(Dictionary_ItemSetInt64(d, n, 9007199254740993LL), 1);
    EXPECT_EQ(Text(d, n), "9007199254740993");
    EXPECT_EQ(Dictionary_ItemSetFloat64(d, n, -0.5), 1);
    EXPECT_EQ(Text(d, n), "-0.5");
    EXPECT_EQ(Type(d, n), DICTIONARY_TYPE_INT64);
    int32_t i32 = 0;
    EXPECT_EQ(Dictionary_ItemGetInt32(d, n, &i32), 1);
    EXPECT_EQ(i32, 0);

    EXPECT_EQ(Dictionary_ItemSetString(d, s, "new"), 1);
    EXPECT_EQ(Text(d, s), "new");
    EXPECT_EQ(Dictionary_ItemSetStringPrint(d, s, "%s=%d", "k", 4), 1);
    EXPECT_EQ(Text(d, s), "k=4");
    EXPECT_EQ(Dictionary_ItemSetStringPrint(d, s, "%s", ""), 1); // an empty result stores no text
    EXPECT_EQ(Text(d, s), "");
    EXPECT_EQ(Dictionary_ItemSetString(d, null, "text"), 1); // nothing for a Null item
    EXPECT_EQ(Text(d, null), "null");
    EXPECT_EQ(Dictionary_ItemSetString(d, b, "True"), 1);
    EXPECT_EQ(Text(d, b), "true");

    char buffer[4];
    Dictionary_ItemSetString(d, s, "abcdef");
    EXPECT_EQ(Dictionary_ItemGetString(d, s, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "abc");
    strcpy(buffer, "xy");
    EXPECT_EQ(Dictionary_ItemGetString(d, n, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    const char* pointer = "stale";
    EXPECT_EQ(Dictionary_ItemGetStringPtr(d, null, &pointer), 0);
    EXPECT_EQ(pointer, nullptr);
    i32 = 5;
    EXPECT_EQ(Dictionary_ItemGetInt32(d, s, &i32), 0);
    EXPECT_EQ(i32, 0);
    int64_t i64 = 5;
    EXPECT_EQ(Dictionary_ItemGetInt64(d, b, &i64), 0);
    EXPECT_EQ(i64, 0);
    double f = 5;
    EXPECT_EQ(Dictionary_ItemGetFloat64(d, n, &f), 1);
    EXPECT_EQ(f, -0.5);
    uint32_t flag = 5;
    EXPECT_EQ(Dictionary_ItemGetBoolean(d, b, &flag), 1);
    EXPECT_EQ(flag, 1u);
    EXPECT_EQ(Dictionary_ItemGetBoolean(d, s, &flag), 0);
    EXPECT_EQ(flag, 0u);

    // A number item without text reads as 0.
    DictionaryItem* bare = nullptr;
    Dictionary_Add(d, "bare", &bare);
    Dictionary_ItemSetType(d, bare, DICTIONARY_TYPE_FLOAT64);
    f = 5;
    EXPECT_EQ(Dictionary_ItemGetFloat64(d, bare, &f), 1);
    EXPECT_EQ(f, 0.0);
}

// ---- List texts -----------------------------------------------------------------------------

TEST(DictionaryAccess, ListTexts) {
    DictionaryHolder h;
    Dictionary* d = h.dict;
    Dictionary* list = nullptr;
    Dictionary_AddList(d, "list", &list, nullptr);
    Dictionary_AddString(list, nullptr, "ab", nullptr);
    Dictionary_AddInt64(list, nullptr, 5, nullptr);
    Dictionary_AddString(list, nullptr, "", nullptr);
    Dictionary_AddString(list, nullptr, "cde", nullptr);
    Dictionary_AddString(d, "s", "single", nullptr);
    Dictionary_AddDictionary(d, "dict", nullptr, nullptr);

    char buffer[16];
    uint32_t length = 99;
    EXPECT_EQ(Dictionary_GetListStringByKey(d, "list", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(Dictionary_GetListStringLengthByKey(d, "list", &length), 1);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(Dictionary_GetListStringByKey(d, "list", buffer, 4), 1);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(Dictionary_GetListStringByKey(d, "s", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "single");
    EXPECT_EQ(Dictionary_GetListStringLengthByKey(d, "s", &length), 1);
    EXPECT_EQ(length, 6u);
    strcpy(buffer, "stale");
    EXPECT_EQ(Dictionary_GetListStringByKey(d, "dict", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(Dictionary_GetListStringByKey(d, "missing", buffer, sizeof buffer), 0);
    EXPECT_EQ(Dictionary_GetListStringLengthByKey(d, "dict", &length), 0);
    EXPECT_EQ(length, 0u);
}

// ---- Enumerators ----------------------------------------------------------------------------

namespace {

// Records every call and answers from a script (1 when the script has run out).
struct Recorder {
    std::vector<std::string> calls;
    std::vector<int64_t> answers;
    int64_t Next() {
        const size_t i = calls.size() - 1;
        return i < answers.size() ? answers[i] : 1;
    }
};

int64_t OnString(void* context, const char* text) {
    Recorder* r = static_cast<Recorder*>(context);
    r->calls.push_back(text);
    return r->Next();
}

int64_t OnKeyString(void* context, const char* key, const char* text) {
    Recorder* r = static_cast<Recorder*>(context);
    r->calls.push_back(std::string(key) + "=" + text);
    return r->Next();
}

int64_t OnKeyBuffer(void* context, const char* key, const char* text, int32_t length) {
    Recorder* r = static_cast<Recorder*>(context);
    r->calls.push_back(std::string(key) + "=" + std::string(text, (size_t)length));
    return r->Next();
}

int64_t OnListItem(void* context, Dictionary* list, DictionaryItem* item) {
    Recorder* r = static_cast<Recorder*>(context);
    r->calls.push_back(Text(list, item));
    return r->Next();
}

int64_t OnInt32(void* context, int32_t value) {
    Recorder* r = static_cast<Recorder*>(context);
    r->calls.push_back(std::to_string(value));
    return r->Next();
}

int64_t RemoveWhileWalking(void* context, Dictionary* list, DictionaryItem* item) {
    static_cast<Recorder*>(context)->calls.push_back(Text(list, item));
    Dictionary_Remove(list, &item);
    return 1;
}

} // namespace

TEST(DictionaryAccess, EnumerateDictionary) {
    DictionaryHolder h;
    Dictionary* d = h.dict;
    Dictionary_AddString(d, "a", "1", nullptr);
    Dictionary_AddInt64(d, "n", 2, nullptr);
    Dictionary_AddString(d, nullptr, "unnamed", nullptr);
    Dictionary_AddBoolean(d, "flag", 0, nullptr);
    Dictionary_AddString(d, "b", "", nullptr);
    Dictionary_AddList(d, "list", nullptr, nullptr);

    Recorder r;
    EXPECT_EQ(Dictionary_EnumerateString(d, &r, OnString), 1);
    EXPECT_EQ(r.calls, (std::vector<std::string>{"1", "unnamed", ""}));
    r = {};
    EXPECT_EQ(Dictionary_EnumerateKey(d, &r, OnString), 1);
    EXPECT_EQ(r.calls, (std::vector<std::string>{"a", "n", "flag", "b", "list"}));
    r = {};
    EXPECT_EQ(Dictionary_EnumerateKeyString(d, &r, OnKeyString), 1);
    EXPECT_EQ(r.calls, (std::vector<std::string>{"a=1", "b="}));
    r = {};
    EXPECT_EQ(Dictionary_EnumerateKeyBuffer(d, &r, OnKeyBuffer), 1);
    EXPECT_EQ(r.calls, (std::vector<std::string>{"a=1", "n=2", "flag=false", "b="}));

    // A zero answer stops the walk; the result says whether any answer was non-zero.
    r = {};
    r.answers = {1, 0, 1};
    EXPECT_EQ(Dictionary_EnumerateKey(d, &r, OnString), 1);
    EXPECT_EQ(r.calls.size(), 2u);
    r = {};
    r.answers = {0};
    EXPECT_EQ(Dictionary_EnumerateKey(d, &r, OnString), 0);
    EXPECT_EQ(r.calls.size(), 1u);
    r = {};
    r.answers = {7, 7, 7};
    EXPECT_EQ(Dictionary_EnumerateString(d, &r, OnString), 1);
    EXPECT_EQ(r.calls.size(), 3u);

    DictionaryHolder empty;
    r = {};
    EXPECT_EQ(Dictionary_EnumerateString(empty.dict, &r, OnString), 0);
    EXPECT_TRUE(r.calls.empty());
}

TEST(DictionaryAccess, EnumerateLists) {
    DictionaryHolder h;
    Dictionary* d = h.dict;
    Dictionary* list = nullptr;
    Dictionary_AddList(d, "list", &list, nullptr);
    Dictionary_AddString(list, nullptr, "x", nullptr);
    Dictionary_AddInt64(list, nullptr, 5, nullptr);
    Dictionary_AddFloat64(list, nullptr, 2.9, nullptr);
    Dictionary_AddFloat64(list, nullptr, -2.9, nullptr);
    Dictionary_AddString(list, nullptr, "y", nullptr);
    Dictionary_AddString(d, "s", "single", nullptr);
    Dictionary_AddInt64(d, "n", 12, nullptr);
    Dictionary_AddDictionary(d, "dict", nullptr, nullptr);

    Recorder r;
    EXPECT_EQ(Dictionary_EnumerateList(d, "list", &r, OnListItem), 1);
    EXPECT_EQ(r.calls, (std::vector<std::string>{"x", "5", "2.9", "-2.9", "y"}));
    r = {};
    EXPECT_EQ(Dictionary_EnumerateListString(d, "list", &r, OnString), 1);
    EXPECT_EQ(r.calls, (std::vector<std::string>{"x", "y"}));
    r = {};
    EXPECT_EQ(Dictionary_EnumerateListInt32(d, "list", &r, OnInt32), 1);
    EXPECT_EQ(r.calls, (std::vector<std::string>{"5", "2", "-2"}));

    // Not a List: the item itself once.
    r = {};
    EXPECT_EQ(Dictionary_EnumerateList(d, "s", &r, OnListItem), 1);
    EXPECT_EQ(r.calls, (std::vector<std::string>{"single"}));
    r = {};
    r.answers = {2}; // a single call counts only when it answered 1
    EXPECT_EQ(Dictionary_EnumerateList(d, "n", &r, OnListItem), 0);
    EXPECT_EQ(r.calls, (std::vector<std::string>{"12"}));
    r = {};
    EXPECT_EQ(Dictionary_EnumerateListString(d, "s", &r, OnString), 1);
    EXPECT_EQ(r.calls, (std::vector<std::string>{"single"}));
    r = {};
    EXPECT_EQ(Dictionary_EnumerateListString(d, "n", &r, OnString), 0);
    EXPECT_TRUE(r.calls.empty());
    r = {};
    EXPECT_EQ(Dictionary_EnumerateListInt32(d, "n", &r, OnInt32), 1);
    EXPECT_EQ(r.calls, (std::vector<std::string>{"12"}));
    r = {};
    EXPECT_EQ(Dictionary_EnumerateList(d, "dict", &r, OnListItem), 0); // no value text
    EXPECT_EQ(Dictionary_EnumerateList(d, "missing", &r, OnListItem), 0);
    EXPECT_EQ(Dictionary_EnumerateListInt32(d, "missing", &r, OnInt32), 0);
    EXPECT_TRUE(r.calls.empty());

    // A callback may remove the element it is given.
    r = {};
    EXPECT_EQ(Dictionary_EnumerateList(d, "list", &r, RemoveWhileWalking), 1);
    EXPECT_EQ(r.calls.size(), 5u);
    EXPECT_EQ(Count(list), 0u);
}

// ---- Flat text ------------------------------------------------------------------------------

TEST(DictionaryAccess, ConvertFromString) {
    struct Case {
        const char* text;
        uint8_t pair;
        uint8_t item;
        const char* expected;
    };
    const Case cases[] = {
        {"a=1;;b==2;c", '=', ';', "a=1(String) b=2(String) c=(String)"},
        {"  key =v a l;x=", '=', ';', "key =v a l(String) x=(String)"},
        {";;a=1;", '=', ';', "a=1(String)"},
        {"one,two,,three", 0, ',', "<unnamed>=one(String) <unnamed>=two(String) <unnamed>=three(String)"},
        {"=v", '=', ';', "=v(String)"},
        {"a=b=c", '=', '&', "a=b=c(String)"},
        {"", '=', ';', ""},
        {";;;", '=', ';', ""},
    };
    for (const Case& k : cases) {
        DictionaryHolder h;
        EXPECT_EQ(Dictionary_ConvertFromString(h.dict, k.text, (int32_t)strlen(k.text), k.pair, k.item), 1)
            << k.text;
        EXPECT_EQ(Describe(h.dict), k.expected) << k.text;
    }
    // A bare key is a flag: its boolean bit is set on the String item.
    DictionaryHolder h;
    Dictionary_ConvertFromString(h.dict, "c", 1, '=', ';');
    DictionaryItem* c = Find(h.dict, "c");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(Dictionary_ItemSetType(h.dict, c, DICTIONARY_TYPE_BOOLEAN), 1);
    EXPECT_EQ(Text(h.dict, c), "true");

    // Only `length` bytes are read: the text need not be terminated.
    DictionaryHolder counted;
    char* exact = static_cast<char*>(malloc(7));
    memcpy(exact, "k=v;z=9", 7);
    EXPECT_EQ(Dictionary_ConvertFromString(counted.dict, exact, 5, '=', ';'), 1);
    EXPECT_EQ(Describe(counted.dict), "k=v(String) z=(String)");
    EXPECT_EQ(Dictionary_ConvertFromString(counted.dict, exact, 7, '=', ';'), 1);
    free(exact);
    EXPECT_EQ(Count(counted.dict), 4u);
    EXPECT_EQ(Dictionary_ConvertFromString(counted.dict, "x", 0, '=', ';'), 1);
    EXPECT_EQ(Dictionary_ConvertFromString(counted.dict, "x", -5, '=', ';'), 1);
    EXPECT_EQ(Count(counted.dict), 4u);
}

TEST(DictionaryAccess, ConvertToString) {
    DictionaryHolder h;
    Dictionary* d = h.dict;
    Dictionary_AddString(d, "a", "1", nullptr);
    Dictionary_AddBoolean(d, "flag", 1, nullptr);
    Dictionary_AddInt64(d, "n", 5, nullptr);
    char buffer[64];
    EXPECT_EQ(Dictionary_ConvertToString(d, buffer, sizeof buffer, '=', ';'), 1);
    EXPECT_STREQ(buffer, "a=1;flag;;");

    Dictionary_AddString(d, nullptr, "v", nullptr);
    Dictionary_AddBoolean(d, nullptr, 1, nullptr); // unnamed Boolean: nothing, no separator
    Dictionary_AddString(d, "e", "", nullptr);
    // A false flag writes no key: read back, a bare key would be a set flag.
    Dictionary_AddBoolean(d, "off", 0, nullptr);
    EXPECT_EQ(Dictionary_ConvertToString(d, buffer, sizeof buffer, '=', ';'), 1);
    EXPECT_STREQ(buffer, "a=1;flag;;v;e=;;");
    EXPECT_EQ(Dictionary_ConvertToString(d, buffer, sizeof buffer, 0, ','), 1);
    EXPECT_STREQ(buffer, "a1,flag,,v,e,,");
    // Cut to the buffer.
    EXPECT_EQ(Dictionary_ConvertToString(d, buffer, 6, '=', ';'), 1);
    EXPECT_STREQ(buffer, "a=1;f");
    buffer[0] = 'z';
    EXPECT_EQ(Dictionary_ConvertToString(d, buffer, 0, '=', ';'), 0);
    EXPECT_EQ(buffer[0], 'z');

    // Read back: unnamed texts come back as bare keys.
    EXPECT_EQ(Dictionary_ConvertToString(d, buffer, sizeof buffer, '=', ';'), 1);
    DictionaryHolder back;
    EXPECT_EQ(Dictionary_ConvertFromString(back.dict, buffer, (int32_t)strlen(buffer), '=', ';'), 1);
    EXPECT_EQ(Describe(back.dict), "a=1(String) flag=(String) v=(String) e=(String)");
}

// ---- Operation table ------------------------------------------------------------------------

TEST(DictionaryAccess, OperationTableEntries) {
    const DictionaryVtbl& t = GlobalDictionaryVtbl;
    EXPECT_EQ(t.ConvertFromString, Dictionary_ConvertFromString);
    EXPECT_EQ(t.ConvertToString, Dictionary_ConvertToString);
    EXPECT_EQ(t.ContainsKey, Dictionary_ContainsKey);
    EXPECT_EQ(t.EnsureIndex, Dictionary_EnsureIndex);
    EXPECT_EQ(t.EnsureListByIndex, Dictionary_EnsureListByIndex);
    EXPECT_EQ(t.EnsureDictionaryByIndex, Dictionary_EnsureDictionaryByIndex);
    EXPECT_EQ(t.EnsureKey, Dictionary_EnsureKey);
    EXPECT_EQ(t.EnsureList, Dictionary_EnsureList);
    EXPECT_EQ(t.EnsureDictionary, Dictionary_EnsureDictionary);
    EXPECT_EQ(t.GetTypeByKey, Dictionary_GetTypeByKey);
    EXPECT_EQ(t.SetStringByKey, Dictionary_SetStringByKey);
    EXPECT_EQ(t.GetStringByKey, Dictionary_GetStringByKey);
    EXPECT_EQ(t.SetStringByKeyV, Dictionary_SetStringByKeyV);
    EXPECT_EQ(t.GetStringPtrByKey, Dictionary_GetStringPtrByKey);
    EXPECT_EQ(t.GetBufferPtrByKey, Dictionary_GetBufferPtrByKey);
    EXPECT_EQ(t.SetInt32ByKey, Dictionary_SetInt32ByKey);
    EXPECT_EQ(t.GetInt32ByKey, Dictionary_GetInt32ByKey);
    EXPECT_EQ(t.SetInt64ByKey, Dictionary_SetInt64ByKey);
    EXPECT_EQ(t.GetInt64ByKey, Dictionary_GetInt64ByKey);
    EXPECT_EQ(t.SetFloat64ByKey, Dictionary_SetFloat64ByKey);
    EXPECT_EQ(t.GetFloat64ByKey, Dictionary_GetFloat64ByKey);
    EXPECT_EQ(t.SetBooleanByKey, Dictionary_SetBooleanByKey);
    EXPECT_EQ(t.GetBooleanByKey, Dictionary_GetBooleanByKey);
    EXPECT_EQ(t.GetListByIndex, Dictionary_GetListByIndex);
    EXPECT_EQ(t.GetDictionaryByIndex, Dictionary_GetDictionaryByIndex);
    EXPECT_EQ(t.GetListByKey, Dictionary_GetListByKey);
    EXPECT_EQ(t.GetDictionaryByKey, Dictionary_GetDictionaryByKey);
    EXPECT_EQ(t.RemoveByKey, Dictionary_RemoveByKey);
    EXPECT_EQ(t.ItemSetString, Dictionary_ItemSetString);
    EXPECT_EQ(t.ItemSetStringV, Dictionary_ItemSetStringV);
    EXPECT_EQ(t.ItemGetString, Dictionary_ItemGetString);
    EXPECT_EQ(t.ItemGetStringPtr, Dictionary_ItemGetStringPtr);
    EXPECT_EQ(t.ItemSetFloat64, Dictionary_ItemSetFloat64);
    EXPECT_EQ(t.ItemGetFloat64, Dictionary_ItemGetFloat64);
    EXPECT_EQ(t.ItemSetInt32, Dictionary_ItemSetInt32);
    EXPECT_EQ(t.ItemGetInt32, Dictionary_ItemGetInt32);
    EXPECT_EQ(t.ItemSetInt64, Dictionary_ItemSetInt64);
    EXPECT_EQ(t.ItemGetInt64, Dictionary_ItemGetInt64);
    EXPECT_EQ(t.ItemGetBoolean, Dictionary_ItemGetBoolean);
    EXPECT_EQ(t.ItemFindByPath, Dictionary_ItemFindByPath);
    EXPECT_EQ(t.ItemFindByKey, Dictionary_ItemFindByKey);
    EXPECT_EQ(t.ItemFindByBuffer, Dictionary_ItemFindByBuffer);
    EXPECT_EQ(t.ItemFindByIndex, Dictionary_ItemFindByIndex);
    EXPECT_EQ(t.SetStringByKeyPrint, Dictionary_SetStringByKeyPrint);
    EXPECT_EQ(t.ItemSetStringPrint, Dictionary_ItemSetStringPrint);
    EXPECT_EQ(t.SetStringByPath, Dictionary_SetStringByPath);
    EXPECT_EQ(t.GetStringByPath, Dictionary_GetStringByPath);
    EXPECT_EQ(t.GetBufferPtrByPath, Dictionary_GetBufferPtrByPath);
    EXPECT_EQ(t.SetInt32ByPath, Dictionary_SetInt32ByPath);
    EXPECT_EQ(t.GetInt32ByPath, Dictionary_GetInt32ByPath);
    EXPECT_EQ(t.SetInt64ByPath, Dictionary_SetInt64ByPath);
    EXPECT_EQ(t.GetInt64ByPath, Dictionary_GetInt64ByPath);
    EXPECT_EQ(t.SetFloat64ByPath, Dictionary_SetFloat64ByPath);
    EXPECT_EQ(t.GetFloat64ByPath, Dictionary_GetFloat64ByPath);
    EXPECT_EQ(t.SetBooleanByPath, Dictionary_SetBooleanByPath);
    EXPECT_EQ(t.GetBooleanByPath, Dictionary_GetBooleanByPath);
    EXPECT_EQ(t.EnsureDictionaryByPath, Dictionary_EnsureDictionaryByPath);
    EXPECT_EQ(t.ContainsPath, Dictionary_ContainsPath);
    EXPECT_EQ(t.GetStringPtrByPath, Dictionary_GetStringPtrByPath);
    EXPECT_EQ(t.ContainsString, Dictionary_ContainsString);
    EXPECT_EQ(t.RemoveByString, Dictionary_RemoveByString);
    EXPECT_EQ(t.GetDictionaryByPath, Dictionary_GetDictionaryByPath);

    // Through the table, as other modules reach the dictionary.
    DictionaryHolder h;
    EXPECT_EQ(h.dict->Vtbl->SetStringByPath(h.dict, "a.b", "v"), 1);
    char buffer[8];
    EXPECT_EQ(h.dict->Vtbl->GetStringByPath(h.dict, "a.b", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "v");
}

// ---- Abort texts ----------------------------------------------------------------------------

TEST(DictionaryAccessDeathTest, NullArguments) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string null = AbortRegex("Pointer is NULL\n");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Dictionary_SetStringByKey(nullptr, "k", "v");
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            Dictionary_SetStringByKey(h.dict, nullptr, "v");
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            Dictionary_SetStringByKey(h.dict, "k", nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            Dictionary_GetInt64ByKey(h.dict, "k", nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            Dictionary_ItemGetString(h.dict, nullptr, nullptr, 0);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            char buffer[4];
            Dictionary_ItemGetString(h.dict, nullptr, buffer, sizeof buffer);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            Dictionary_EnumerateString(h.dict, nullptr, nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            Dictionary_ConvertFromString(h.dict, nullptr, 0, '=', ';');
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DictionaryHolder h;
            Dictionary_ConvertToString(h.dict, nullptr, 8, '=', ';');
        },
        null);
}
