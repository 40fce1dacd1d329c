// Tests of the dictionary tree: items and their types, keys, value text, insertion and
// navigation, the arena and reset, settings passed to children, references and the abort texts.
#include "core/runtime/dictionary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/dictionary_internal.h"
#include "core/runtime/dictionary_load.h"
#include "tests/support/abort_table.h"
#include "tests/support/call_outcome.h"
#include "tests/support/change_log.h"
#include "tests/support/dictionary_trees.h"

namespace {

// Blocks the tree's arena holds (none before the first insert).
uint32_t Blocks(Dictionary* dict) {
    return Dictionary_Tree(dict) ? DictionaryTree_BlockCount(Dictionary_Tree(dict)) : 0;
}

TEST(Dictionary, AddTypedValues) {
    DictTree d;
    Dictionary_AddString(d, "s", "hello", nullptr);
    Dictionary_AddString(d, "e", "", nullptr);
    Dictionary_AddInt32(d, "i32", -5, nullptr);
    Dictionary_AddInt64(d, "i64", 1234567890123LL, nullptr);
    Dictionary_AddInt64(d, "lo", INT64_MIN, nullptr);
    Dictionary_AddFloat64(d, "f", 1.5, nullptr);
    Dictionary_AddFloat64(d, "g", 0.1, nullptr);
    Dictionary_AddFloat64(d, "big", 1e20, nullptr);
    Dictionary_AddBoolean(d, "bt", 1, nullptr);
    Dictionary_AddBoolean(d, "bf", 2, nullptr); // true exactly when the value is 1
    Dictionary_AddNull(d, "n", nullptr);
    Dictionary_Add(d, "u", nullptr);
    EXPECT_EQ(Render(d), "{s:'hello',e:'',i32:-5,i64:1234567890123,lo:-9223372036854775808,f:1.5,g:0.1,"
                         "big:1e+20,bt:true,bf:false,n:null,u:?}");
    const uint32_t types[] = {5, 5, 3, 3, 3, 4, 4, 4, 2, 2, 1, 0};
    for (uint32_t i = 0; i < 12; i++) {
        DictionaryItem* item = ItemAt(d, i);
        int64_t result = -1;
        ItemText(d, item, &result);
        EXPECT_EQ(result, types[i] != DICTIONARY_TYPE_UNKNOWN) << i;
        EXPECT_EQ(ItemType(d, item), types[i]) << i;
        EXPECT_EQ(Dictionary_ItemCompareType(d, item, types[i]), 1) << i;
        EXPECT_EQ(Dictionary_ItemCompareType(d, item, (types[i] + 1) % 8), 0) << i;
        EXPECT_EQ(Dictionary_ItemIsNull(d, item), types[i] == DICTIONARY_TYPE_NULL) << i;
    }
    EXPECT_STREQ(Dictionary_TranslateType(8), "Unknown");
    EXPECT_STREQ(Dictionary_TranslateType(0xFFFFFFFF), "Unknown");
    // SetNull on a String changes nothing of its type.
    EXPECT_EQ(Dictionary_ItemSetNull(d, ItemAt(d, 0)), 1);
    EXPECT_EQ(ItemType(d, ItemAt(d, 0)), DICTIONARY_TYPE_STRING);

    // Containers: a child of their own, no text; the child knows its parent and item.
    FillTree(d, "{l:[],d:{}}");
    DictionaryItem *li = ItemAt(d, 12), *di = ItemAt(d, 13);
    EXPECT_EQ(Dictionary_ItemIsContainer(d, li) + Dictionary_ItemIsContainer(d, di), 2);
    EXPECT_EQ(Dictionary_ItemIsContainer(d, ItemAt(d, 0)), 0);
    EXPECT_EQ(OUTCOME(Dictionary*, d, Dictionary_ItemGetDictionaryHandle(d, ItemAt(d, 0), &out)), "0:(null)");
    EXPECT_EQ(ItemText(d, li), "<none>");
    Dictionary* parent = nullptr;
    DictionaryItem* parentItem = nullptr;
    EXPECT_EQ(Dictionary_GetParent(ChildOf(d, di), &parent, &parentItem), 1);
    EXPECT_EQ(parent, d.dict);
    EXPECT_EQ(parentItem, di);
    EXPECT_EQ(Dictionary_GetParent(d, &parent, &parentItem), 0);
    EXPECT_EQ(parent, nullptr);
    EXPECT_EQ(parentItem, nullptr);
}

TEST(Dictionary, DuplicateKeys) {
    DictTree d("{a:1,a:2}");
    DictionaryItem* found = nullptr;
    EXPECT_EQ(Dictionary_ItemFindByKey(d, "a", ItemAt(d, 1), &found), 1);
    EXPECT_EQ(found, ItemAt(d, 1));

    DictTree unique;
    Dictionary_SetAllowDuplicates(unique, 0);
    DictionaryItem *first, *second;
    Dictionary_Add(unique, "a", &first);
    Dictionary_Add(unique, "a", &second);
    EXPECT_EQ(first, second);
    // Unnamed items are never duplicates.
    Dictionary_Add(unique, nullptr, &first);
    Dictionary_Add(unique, nullptr, &second);
    EXPECT_NE(first, second);
    EXPECT_EQ(ItemCount(unique), 3u);
}

TEST(Dictionary, PrivatePrefix) {
    DictTree d;
    DictionaryItem *dot, *hash, *plain, *twice;
    Dictionary_Add(d, ".x", &dot);
    Dictionary_Add(d, "#y", &hash);
    Dictionary_Add(d, "z", &plain);
    Dictionary_Add(d, "..w", &twice); // only one prefix character is dropped
    EXPECT_EQ(Render(d), "{#x:?,#y:?,z:?,#.w:?}");
    uint32_t value = 9;
    EXPECT_EQ(Dictionary_ItemGetPrivate(d, dot, &value), 1);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(Dictionary_ItemGetPrivate(d, plain, &value), 0);
    EXPECT_EQ(value, 0u);
    // Rewriting the key decides the bit again; SetPrivate takes 1 only.
    Dictionary_ItemSetKey(d, dot, "x");
    EXPECT_EQ(Dictionary_ItemGetPrivate(d, dot, nullptr), 0);
    Dictionary_ItemSetPrivate(d, dot, 1);
    EXPECT_EQ(Dictionary_ItemGetPrivate(d, dot, nullptr), 1);
    Dictionary_ItemSetPrivate(d, dot, 2);
    EXPECT_EQ(Dictionary_ItemGetPrivate(d, dot, nullptr), 0);
    // The bit reads as private only while PrivateKeys is on.
    Dictionary_SetPrivateKeys(d, 0);
    EXPECT_EQ(Dictionary_ItemGetPrivate(d, hash, nullptr), 0);

    DictTree open;
    Dictionary_SetPrivateKeys(open, 0);
    Dictionary_Add(open, ".x", nullptr);
    Dictionary_Add(open, "#x", nullptr);
    EXPECT_EQ(Render(open), "{.x:?,#x:?}");
    EXPECT_EQ(open.dict->Items.First->Flags & DICTIONARY_ITEM_FLAG_PRIVATE, 0);
}

// A mark alone names nothing to make private: "#", "." and "" stay three keys, as added, as a
// document reader appends them and as looked up by key and by path.
TEST(Dictionary, AMarkAloneIsAKeyOfItsOwn) {
    DictTree added;
    DictTree loaded;
    for (const char* key : {"#", ".", "", "#y"}) {
        Dictionary_AddString(added, key, key, nullptr);
        Dictionary_AppendLoaded(loaded, key, (int32_t)strlen(key), DICTIONARY_TYPE_STRING, key, (int32_t)strlen(key),
                                nullptr);
    }
    for (Dictionary* root : {added.dict, loaded.dict}) {
        EXPECT_EQ(Render(root), "{#:'#',.:'.',:'',#y:'#y'}");
        for (const char* key : {"#", ".", "", "#y", ".y"}) {
            DictionaryItem* item = nullptr;
            ASSERT_EQ(Dictionary_ItemFindByKey(root, key, nullptr, &item), 1) << key;
            const char* text = nullptr;
            Dictionary_ItemGetStringPtr(root, item, &text);
            const bool named = strlen(key) == 2;
            EXPECT_STREQ(text, named ? "#y" : key);
            EXPECT_EQ(Dictionary_ItemGetPrivate(root, item, nullptr), named ? 1 : 0) << key;
        }
        Dictionary* holder = nullptr;
        DictionaryItem* found = nullptr;
        ASSERT_EQ(Dictionary_ItemFindByPath(root, "#", &holder, &found), 1);
        const char* key = nullptr;
        Dictionary_ItemGetKeyPtr(holder, found, &key);
        EXPECT_STREQ(key, "#");
    }
}

TEST(Dictionary, KeyLengthLimit) {
    DictTree d;
    PrintLines lines;
    lines.Watch(d);
    const std::string key150(150, 'k');
    DictionaryItem* item = nullptr;
    Dictionary_Add(d, key150.c_str(), &item);
    EXPECT_EQ(ItemKey(d, item), std::string(119, 'k'));
    char head[64];
    String_Print(head, (int32_t)sizeof(head), "Dictionary.%08x - ", (uint32_t)(uintptr_t)d.dict);
    EXPECT_EQ(lines.raw,
              std::vector<std::string>{head + ("Key exceeds maximum length " + key150) + " (150 > 119)\n"});

    struct Case {
        std::string key;
        int32_t length; // -1: the whole key
        std::string stored;
        const char* warning; // the end of the warning line, or null for none
    };
    // clang-format off
    const Case cases[] = {
        {std::string(119, 'a'), -1, std::string(119, 'a'), nullptr},
        {"." + std::string(119, 'b'), -1, std::string(119, 'b'), nullptr}, // the prefix does not count
        {std::string(120, 'c'), -1, std::string(119, 'c'), " (120 > 119)\n"},
        // The cut never splits a UTF-8 character: an 'é' across the limit goes whole.
        {std::string(118, 'd') + "\xC3\xA9tail", -1, std::string(118, 'd'), " (124 > 119)\n"},
        {std::string(117, 'e') + "\xC3\xA9tail", -1, std::string(117, 'e') + "\xC3\xA9", " (123 > 119)\n"},
        // A key given by length is read that far only, terminated there or not.
        {std::string(200, 'r'), 200, std::string(119, 'r'), " (200 > 119)\n"}, {"abcdef", 3, "abc", nullptr},
        {"abc", -4, "", nullptr}, // a negative length gives an empty key
    };
    // clang-format on
    for (const Case& c : cases) {
        lines.raw.clear();
        if (c.length == -1)
            Dictionary_ItemSetKey(d, item, c.key.c_str());
        else
            Dictionary_ItemSetKeyLength(d, item, c.key.data(), c.length == -4 ? -4 : c.length);
        EXPECT_EQ(ItemKey(d, item), c.stored) << c.key.size();
        if (!c.warning) {
            EXPECT_TRUE(lines.raw.empty()) << c.key.size();
        } else {
            ASSERT_EQ(lines.raw.size(), 1u) << c.key.size();
            EXPECT_NE(lines.raw[0].find(c.key.substr(0, 100)), std::string::npos);
            EXPECT_TRUE(lines.raw[0].ends_with(c.warning)) << lines.raw[0];
        }
    }
    Dictionary_ItemSetKeyLength(d, item, nullptr, 5);
    EXPECT_EQ(ItemKey(d, item), "<unnamed>");
    // The print identifier shows after the address.
    lines.raw.clear();
    Dictionary_SetPrintIdentifier(d, "cfg");
    Dictionary_ItemSetKey(d, item, key150.c_str());
    String_Print(head, (int32_t)sizeof(head), "Dictionary.%08x.cfg - ", (uint32_t)(uintptr_t)d.dict);
    ASSERT_EQ(lines.raw.size(), 1u);
    EXPECT_TRUE(lines.raw[0].starts_with(head)) << lines.raw[0];
}

TEST(Dictionary, KeyCopies) {
    DictTree d("{abcdef:1,2}");
    EXPECT_EQ(OUTCOME_TEXT(4, Dictionary_ItemGetKey(d, ItemAt(d, 0), out, sizeof(out))), "1:abc");
    EXPECT_EQ(OUTCOME_TEXT(4, Dictionary_ItemGetKey(d, ItemAt(d, 1), out, sizeof(out))), "0:");
    EXPECT_EQ(OUTCOME(const char*, "x", Dictionary_ItemGetKeyPtr(d, ItemAt(d, 1), &out)), "0:(null)");
    // The item's own key text as the new key.
    const char* key = nullptr;
    Dictionary_ItemGetKeyPtr(d, ItemAt(d, 0), &key);
    Dictionary_ItemSetKey(d, ItemAt(d, 0), key + 2);
    EXPECT_EQ(Render(d), "{cdef:1,2}");
}

TEST(Dictionary, Retyping) {
    DictTree d("{s:'abc',c:{x:'1',y:'2'},#b:true}");
    DictionaryItem* s = ItemAt(d, 0);
    EXPECT_EQ(Dictionary_ItemSetType(d, s, DICTIONARY_TYPE_INT64), 1);
    int64_t result = -1;
    EXPECT_EQ(ItemText(d, s, &result), "<none>"); // another type drops the text
    EXPECT_EQ(result, 0);
    Dictionary_ItemSetBuffer(d, s, "12", 2);
    Dictionary_ItemSetType(d, s, DICTIONARY_TYPE_INT64); // the same type keeps it
    // Codes outside the table are refused and change nothing.
    EXPECT_EQ(Dictionary_ItemSetType(d, s, 8), 0);
    EXPECT_EQ(Dictionary_ItemSetType(d, s, 0x46), 0);
    EXPECT_EQ(ItemType(d, s), DICTIONARY_TYPE_INT64);
    EXPECT_EQ(ItemText(d, s), "12");

    // The same container type keeps the child and its items, another one empties it, a scalar
    // type drops it.
    DictionaryItem* c = ItemAt(d, 1);
    Dictionary* child = ChildOf(d, c);
    Dictionary_ItemSetType(d, c, DICTIONARY_TYPE_DICTIONARY);
    EXPECT_EQ(ChildOf(d, c), child);
    EXPECT_EQ(Render(d), "{s:12,c:{x:'1',y:'2'},#b:true}");
    Dictionary_ItemSetType(d, c, DICTIONARY_TYPE_LIST);
    EXPECT_EQ(Render(d), "{s:12,c:[],#b:true}");
    Dictionary_ItemSetType(d, c, DICTIONARY_TYPE_STRING);
    EXPECT_EQ(ChildOf(d, c), nullptr);

    // Private and boolean bits survive a retype; a leftover boolean bit does not make a
    // container lose its items when its type is set again.
    DictionaryItem* b = ItemAt(d, 2);
    Dictionary_ItemSetType(d, b, DICTIONARY_TYPE_DICTIONARY);
    EXPECT_NE(b->Flags & DICTIONARY_ITEM_FLAG_BOOLEAN, 0);
    Dictionary* bChild = ChildOf(d, b);
    Dictionary_AddNull(bChild, "kept", nullptr);
    Dictionary_ItemSetType(d, b, DICTIONARY_TYPE_DICTIONARY);
    EXPECT_EQ(ChildOf(d, b), bChild);
    EXPECT_EQ(Render(d), "{s:12,c:'',#b:{kept:null}}");
}

TEST(Dictionary, BooleanTexts) {
    DictTree d("{b:false}");
    DictionaryItem* b = ItemAt(d, 0);
    struct Case {
        const char* text;
        int32_t length;
        const char* expected;
    };
    // Each case starts from the one before: an empty or missing text leaves the value as it was.
    const Case cases[] = {
        {"True", 4, "true"}, {"no", 2, "false"}, {"t", 1, "true"},     {"yes", 3, "false"},
        {"T", 1, "true"},    {"1", 1, "false"},  {"TRUE", 4, "true"},  {"false", 5, "false"},
        {"tx", 1, "true"},   {"", 0, "true"},    {nullptr, 4, "true"}, {"f", 1, "false"},
    };
    for (const Case& c : cases) {
        Dictionary_ItemSetBuffer(d, b, c.text, c.length);
        EXPECT_EQ(ItemText(d, b), c.expected) << (c.text ? c.text : "null");
        EXPECT_EQ(b->Value, nullptr);
    }
    Dictionary_ItemSetBoolean(d, b, 1);
    EXPECT_EQ(ItemText(d, b), "true");
    Dictionary_ItemSetBoolean(d, b, 2);
    EXPECT_EQ(ItemText(d, b), "false");
}

TEST(Dictionary, ValueText) {
    DictTree d("{s:'abc',n:null}");
    DictionaryItem* s = ItemAt(d, 0);
    DictionaryItem* n = ItemAt(d, 1);
    // A Null item keeps no text.
    Dictionary_ItemSetBuffer(d, n, "xyz", 3);
    EXPECT_EQ(n->Value, nullptr);
    EXPECT_EQ(ItemText(d, n), "null");
    // Length 0 stores no text, yet an empty String reads back as "".
    Dictionary_ItemSetBuffer(d, s, "", 0);
    EXPECT_EQ(s->Value, nullptr);
    int64_t result = 0;
    EXPECT_EQ(ItemText(d, s, &result), "");
    EXPECT_EQ(result, 1);
    // clang-format off
    struct Case {
        const char* bytes;
        int32_t length;
        std::string expected;
    } const cases[] = {
        {"xyz", 2, "xy"}, // only `length` bytes are read
        {nullptr, 3, std::string(3, '\0')}, // a missing text gives zeros
        {"abc", -1, ""}, {"hello", 5, "hello"}, {"hellp", 5, "hellp"}, // a change in the last byte only
    };
    // clang-format on
    for (const Case& c : cases) {
        Dictionary_ItemSetBuffer(d, s, c.bytes, c.length);
        EXPECT_EQ(ItemText(d, s), c.expected) << c.length;
    }
    // The item's own text as the source.
    Dictionary_ItemSetBuffer(d, s, DictionaryItem_Text(s) + 1, 3);
    EXPECT_EQ(ItemText(d, s), "ell");
    // An Int64 item without text reads as missing; the length out-parameter is optional.
    DictionaryItem* i = nullptr;
    Dictionary_Add(d, "i", &i);
    Dictionary_ItemSetType(d, i, DICTIONARY_TYPE_INT64);
    const char* bytes = "x";
    EXPECT_EQ(Dictionary_ItemGetBufferPtr(d, i, &bytes, nullptr), 0);
    EXPECT_EQ(bytes, nullptr);
    // Large values are kept whole.
    std::string large(8 << 20, 'v');
    large[12345] = 'w';
    Dictionary_ItemSetBuffer(d, s, large.data(), (int32_t)large.size());
    EXPECT_EQ(ItemText(d, s), large);
}

TEST(Dictionary, InsertPositionsAndNavigation) {
    DictTree d;
    DictionaryItem *b, *a, *c, *mid, *item = nullptr;
    Dictionary_Insert(d, nullptr, "b", &b);
    Dictionary_Insert(d, nullptr, "a", &a);
    Dictionary_Append(d, "d", nullptr);
    Dictionary_Insert(d, b, "c", &c);
    Dictionary_Insert(d, a, "ab", &mid);
    EXPECT_EQ(Render(d), "{a:?,ab:?,b:?,c:?,d:?}");
    EXPECT_EQ(Dictionary_ItemGetLast(d, &item), 1);
    EXPECT_EQ(ItemKey(d, item), "d");
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
    DictionaryItem* last = d.dict->Items.Last;
    Dictionary_Remove(d, &last);
    EXPECT_EQ(Render(d), "{b:?,c:?}");
    Dictionary_Remove(d, &b);
    Dictionary_Remove(d, &c);
    EXPECT_EQ(ItemCount(d), 0u);
    EXPECT_EQ(d.dict->Items.First, nullptr);
    EXPECT_EQ(d.dict->Items.Last, nullptr);
    EXPECT_EQ(Dictionary_ItemGetFirst(d, &item), 0);
}

int64_t ByKey(Dictionary* dict, DictionaryItem* existing, const char* key, void* context) {
    ++*static_cast<int*>(context);
    return strcmp(key, ItemKey(dict, existing).c_str()) < 0 ? 1 : 0;
}

TEST(Dictionary, InsertSorted) {
    DictTree d;
    int calls = 0;
    for (const char* key : {"m", "c", "x", "a", "n", "c2", "0", "z"})
        Dictionary_InsertSorted(d, key, nullptr, &calls, ByKey);
    EXPECT_EQ(Render(d), "{0:?,a:?,c:?,c2:?,m:?,n:?,x:?,z:?}");
    EXPECT_GT(calls, 0);
}

TEST(Dictionary, ResetReleasesPoolChunksAndKeepsSettings) {
    for (uint32_t stringPool = 0; stringPool < 2; stringPool++) {
        DictTree d;
        Dictionary_SetStringPool(d, stringPool);
        for (int i = 0; i < 500; i++) {
            Dictionary* child = nullptr;
            Dictionary_AddDictionary(d, ("key" + std::to_string(i)).c_str(), &child, nullptr);
            Dictionary_AddString(child, "v", std::string(100, 'x').c_str(), nullptr);
        }
        EXPECT_GT(Blocks(d), 1u);
        Dictionary_SetCaseSensitive(d, 0);
        Dictionary_Reset(d);
        EXPECT_EQ(ItemCount(d), 0u);
        EXPECT_EQ(Blocks(d), 0u);
        uint32_t value = 9;
        Dictionary_GetCaseSensitive(d, &value);
        EXPECT_EQ(value, 0u);
        Dictionary_AddString(d, "after", "reset", nullptr);
        EXPECT_EQ(Render(d), "{after:'reset'}");
    }
}

TEST(Dictionary, StringPoolIsSharedWithChildren) {
    DictTree d;
    Dictionary_SetStringPool(d, 1);
    Dictionary* child = nullptr;
    Dictionary_AddDictionary(d, "c", &child, nullptr);
    EXPECT_EQ(Dictionary_Tree(child), Dictionary_Tree(d.dict));
    DictionaryItem* item = nullptr;
    const std::string large(5000, 'q');
    Dictionary_AddString(child, "k", large.c_str(), &item);
    EXPECT_EQ(ItemText(child, item), large);
    Dictionary_ItemSetBuffer(child, item, "short", 5);
    Dictionary_ItemSetKey(child, item, "renamed");
    EXPECT_EQ(Render(d), "{c:{renamed:'short'}}");
}

TEST(Dictionary, PoolChunkSize) {
    DictTree d;
    Dictionary_SetPoolChunkSize(d, 3);
    for (int i = 0; i < 7; i++) Dictionary_Add(d, nullptr, nullptr);
    EXPECT_EQ(ItemCount(d), 7u);
    // A chunk size of 0 still makes usable pools.
    DictTree zero;
    Dictionary_SetPoolChunkSize(zero, 0);
    for (int i = 0; i < 3; i++) Dictionary_Add(zero, nullptr, nullptr);
    EXPECT_EQ(ItemCount(zero), 3u);
}

// Children take the settings, print identifier and instance id of their parent, but have change
// callback slots of their own.
TEST(Dictionary, ChildrenCopySettingsAndIdentity) {
    DictTree d;
    Dictionary_SetCaseSensitive(d, 0);
    Dictionary_SetPrivateKeys(d, 0);
    Dictionary_SetAllowDuplicates(d, 0);
    Dictionary_SetPrintIdentifier(d, "root");
    Dictionary_SetItemRemoveCallback(
        d, nullptr, [](Dictionary*, DictionaryItem*, void*, const char*) -> int64_t { return 1; });
    Class_GenerateInstanceIdReal(d.dict);
    Dictionary* child = nullptr;
    Dictionary_AddList(d, "l", &child, nullptr);
    EXPECT_EQ(OUTCOME(uint32_t, 9, Dictionary_GetCaseSensitive(child, &out)), "1:0");
    EXPECT_EQ(OUTCOME(uint32_t, 9, Dictionary_GetPrivateKeys(child, &out)), "1:0");
    EXPECT_EQ(OUTCOME(uint32_t, 9, Dictionary_GetAllowDuplicates(child, &out)), "1:0");
    EXPECT_STREQ(child->Extra->Print.Identifier, "root");
    EXPECT_EQ(Dictionary_GetItemRemoveCallback(child, nullptr, nullptr), 0);
    const std::string rootId = OUTCOME_TEXT(40, Dictionary_GetInstanceId(d, out, sizeof(out)));
    EXPECT_EQ(rootId.size(), 34u);
    EXPECT_EQ(OUTCOME_TEXT(40, Dictionary_GetInstanceId(child, out, sizeof(out))), rootId);
    EXPECT_EQ(OUTCOME_TEXT(5, Dictionary_GetInstanceId(d, out, sizeof(out))), rootId.substr(0, 6));
}

TEST(Dictionary, ReferencesOfRootAndChild) {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    FillTree(dict, "{c:{x:'1'}}");
    // Releasing a child past its own reference leaves it to its item.
    Dictionary* child = Descend(dict, {0});
    Dictionary* handle = child;
    EXPECT_EQ(Dictionary_Release(&handle), 1);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(Render(dict), "{c:{x:'1'}}");

    Dictionary* second = dict;
    Dictionary_AddRef(dict);
    Dictionary_Release(&second);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(Render(dict), "{c:{x:'1'}}");
    EXPECT_EQ(Dictionary_Release(&dict), 1);
    EXPECT_EQ(dict, nullptr);
    EXPECT_EQ(Dictionary_Release(&dict), 0);
}

// A removed item, kept by a caller, is refused by its class check.
DictTree* g_tree = nullptr;
// Short texts are kept in the item, long lengths in front of the text: every length reads back
// whole, zero bytes included, whatever held the item before, and a change reports the old text.
TEST(Dictionary, ValueTextsOfEveryLength) {
    DictTree d;
    ChangeLog log;
    Dictionary_SetItemValueChangeCallback(d, &log, ChangeLogValue);
    DictionaryItem* s = nullptr;
    Dictionary_AddString(d, "s", "", &s);
    const std::string big(kDictionaryLongText + 3, 'x');
    const std::string texts[] = {"a", std::string("a\0b", 3), "1234567", "12345678", "abc", big,
                                 std::string(15, 'q'), "", std::string("\0\0\0\0\0\0\0", 7), "xy"};
    std::string previous;
    for (const std::string& text : texts) {
        log.Reports.clear();
        Dictionary_ItemSetBuffer(d, s, text.data(), (int32_t)text.size());
        EXPECT_EQ(ItemText(d, s), text) << text.size();
        if (!text.empty()) {
            EXPECT_EQ(log.Reports, (std::vector<std::string>{"value s " + (previous.empty() ? "-" : previous)}))
                << text.size();
        }
        previous = text;
    }
    // An inline text as its own source, shifted.
    Dictionary_ItemSetBuffer(d, s, "abcdef", 6);
    Dictionary_ItemSetBuffer(d, s, DictionaryItem_Text(s) + 2, 4);
    EXPECT_EQ(ItemText(d, s), "cdef");
    // Retyped to a container the text goes and a child comes; back again, a new text is kept.
    Dictionary_ItemSetType(d, s, DICTIONARY_TYPE_DICTIONARY);
    Dictionary* child = nullptr;
    EXPECT_EQ(Dictionary_ItemGetDictionaryHandle(d, s, &child), 1);
    Dictionary_ItemSetType(d, s, DICTIONARY_TYPE_INT64);
    EXPECT_EQ(ItemText(d, s), "<none>");
    Dictionary_ItemSetInt64(d, s, -42);
    EXPECT_EQ(ItemText(d, s), "-42");
    // A container's own text of any length.
    Dictionary_ItemSetType(d, s, DICTIONARY_TYPE_LIST);
    Dictionary_ItemSetBuffer(d, s, "ab", 2);
    EXPECT_EQ(ItemText(d, s), "ab");
    Dictionary_ItemSetBuffer(d, s, big.data(), (int32_t)big.size());
    EXPECT_EQ(ItemText(d, s).size(), big.size());
}

// A key ends at its first zero byte: that much is stored, found and freed.
TEST(Dictionary, KeyEndsAtItsFirstZeroByte) {
    DictTree d("{a:1}");
    DictionaryItem* item = ItemAt(d, 0);
    Dictionary_ItemSetKeyLength(d, item, "key\0tail", 8);
    EXPECT_EQ(ItemKey(d, item), "key");
    DictionaryItem* found = nullptr;
    EXPECT_EQ(Dictionary_ItemFindByKey(d, "key", nullptr, &found), 1);
    EXPECT_EQ(found, item);
    Dictionary_ItemSetKeyLength(d, item, "\0", 1);
    EXPECT_EQ(ItemKey(d, item), "");
    EXPECT_EQ(Dictionary_ItemFindByKey(d, "key", nullptr, &found), 0);
}

// Short keys are kept in the item: a key made from the item's own key, and every length around
// that size, reads back and is reported with the old key.
TEST(Dictionary, KeysOfEveryLength) {
    DictTree d("{a:1}");
    ChangeLog log;
    Dictionary_SetItemKeyChangeCallback(d, &log, ChangeLogKey);
    DictionaryItem* item = ItemAt(d, 0);
    std::string previous = "a";
    for (const char* key : {"abcdefg", "abcdefgh", "x", "", "0123456789abcdef", "bcdefg", "abcdefg"}) {
        log.Reports.clear();
        Dictionary_ItemSetKey(d, item, key);
        EXPECT_EQ(ItemKey(d, item), key);
        EXPECT_EQ(log.Reports, (std::vector<std::string>{"key " + std::string(key) + " " + previous})) << key;
        DictionaryItem* found = nullptr;
        EXPECT_EQ(Dictionary_ItemFindByKey(d, key, nullptr, &found), 1) << key;
        previous = key;
    }
    Dictionary_ItemSetKey(d, item, DictionaryItem_Key(item) + 2);
    EXPECT_EQ(ItemKey(d, item), "cdefg");
    Dictionary_ItemSetKey(d, item, nullptr);
    EXPECT_EQ(ItemKey(d, item), "<unnamed>");
}

DictionaryItem* g_stale = nullptr;

TEST(DictionaryDeathTest, AbortTexts) {
    DictTree tree("{a:1,b:2}");
    g_tree = &tree;
    g_stale = ItemAt(tree, 0);
    DictionaryItem* removed = g_stale;
    Dictionary_Remove(tree, &removed);
    static uint8_t fake[sizeof(Dictionary)] = {};
    reinterpret_cast<Class*>(fake)->ClassId = 0x12345678;
    ExpectAborts({
        {[] { Dictionary_ItemSetKey(*g_tree, g_stale, "b"); }, ClassMismatch(DICTIONARY_ITEM_CLASS_ID, 0)},
        {[] { Dictionary_Add(reinterpret_cast<Dictionary*>(fake), "a", nullptr); },
         ClassMismatch(DICTIONARY_CLASS_ID, 0x12345678)},
        {[] { Dictionary_SetStringPool(*g_tree, 1); },
         AbortRegex("Assertion failed (value == dict->StringPool || dict->Items.Count == 0)\n"
                    "String pool must be chosen before items are added")},
    });
}

} // namespace
