// Tests of the whole-tree dictionary operations: merge and its flags, sync with and without a
// filter, removal of missing items and keys, document roots, trees sharing source and target,
// deep trees, large values and the abort texts.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/runtime/dictionary.h"
#include "tests/support/abort_hook.h"

namespace {

// ---- Trees from a compact text ----------------------------------------------------------------
// {k:v,...} and [v,...]; values are integers, 'text', true, false, null, {..} and [..]. A key
// with a leading '#' is private (PrivateKeys is on by default).

void SkipSpaces(const char*& p) {
    while (*p == ' ') p++;
}

void ParseItems(Dictionary* dict, const char*& p, char close);

void ParseValue(Dictionary* dict, const std::string& key, const char*& p) {
    const char* k = key.empty() ? nullptr : key.c_str();
    SkipSpaces(p);
    Dictionary* child = nullptr;
    if (*p == '{' || *p == '[') {
        const char open = *p++;
        if (open == '{')
            Dictionary_AddDictionary(dict, k, &child, nullptr);
        else
            Dictionary_AddList(dict, k, &child, nullptr);
        ParseItems(child, p, open == '{' ? '}' : ']');
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
    } else {
        char* end = nullptr;
        Dictionary_AddInt64(dict, k, strtoll(p, &end, 10), nullptr);
        p = end;
    }
}

void ParseItems(Dictionary* dict, const char*& p, char close) {
    for (;;) {
        SkipSpaces(p);
        if (*p == close) {
            p++;
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
        ParseValue(dict, key, p);
        SkipSpaces(p);
        if (*p == ',') p++;
    }
}

// Fills `dict` with the items of the text's outer braces or brackets.
void Fill(Dictionary* dict, const char* text) {
    const char* p = text;
    SkipSpaces(p);
    const char open = *p++;
    ParseItems(dict, p, open == '{' ? '}' : ']');
}

Dictionary* Build(const char* text) {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Fill(dict, text);
    return dict;
}

std::string RenderItems(Dictionary* dict);

// '#' marks the private bit as stored; strings are quoted, containers bracketed by their type.
std::string RenderItem(Dictionary* dict, DictionaryItem* item) {
    std::string out;
    uint32_t type = 0;
    Dictionary_ItemGetType(dict, item, &type);
    const char* key = nullptr;
    if (Dictionary_ItemGetKeyPtr(dict, item, &key)) {
        uint32_t keys = 0;
        Dictionary_GetPrivateKeys(dict, &keys);
        Dictionary_SetPrivateKeys(dict, 1);
        if (Dictionary_ItemGetPrivate(dict, item, nullptr)) out += "#";
        Dictionary_SetPrivateKeys(dict, keys);
        out += std::string(key) + ":";
    }
    Dictionary* child = nullptr;
    if (Dictionary_ItemGetDictionaryHandle(dict, item, &child)) {
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

std::string RenderItems(Dictionary* dict) {
    std::string out;
    DictionaryItem* item = nullptr;
    for (int64_t ok = Dictionary_ItemGetFirst(dict, &item); ok;
         ok = Dictionary_ItemGetNext(dict, item, &item)) {
        if (!out.empty()) out += ",";
        out += RenderItem(dict, item);
    }
    return out;
}

std::string Render(Dictionary* dict) {
    return "{" + RenderItems(dict) + "}";
}

struct Tree {
    Dictionary* dict;
    explicit Tree(const char* text) : dict(Build(text)) {}
    ~Tree() { Dictionary_Release(&dict); }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;
};

DictionaryItem* ItemAt(Dictionary* dict, uint32_t index) {
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(dict, &item);
    while (item && index--) Dictionary_ItemGetNext(dict, item, &item);
    return item;
}

// The dictionary reached from `dict` by following the children of items at these indexes.
Dictionary* Descend(Dictionary* dict, const std::vector<uint32_t>& indexes) {
    for (uint32_t index : indexes) {
        Dictionary* child = nullptr;
        Dictionary_ItemGetDictionaryHandle(dict, ItemAt(dict, index), &child);
        dict = child;
    }
    return dict;
}

// ---- Merge ------------------------------------------------------------------------------------

TEST(DictionaryMerge, FlagsKnownAnswers) {
    struct Case {
        const char* target;
        const char* source;
        uint32_t flags;
        const char* expected;
    } cases[] = {
        // Key by key at every depth; without overwrite an existing scalar keeps its value.
        {"{a:9,b:{d:3}}", "{a:1,b:{c:2}}", 0, "{a:9,b:{d:3,c:2}}"},
        {"{a:9,b:{d:3}}", "{a:1,b:{c:2}}", 1, "{a:1,b:{d:3,c:2}}"},
        // Lists are replaced unless kept.
        {"{l:[7]}", "{l:[1,2]}", 0, "{l:[1,2]}"},
        {"{l:[7]}", "{l:[1,2]}", 4, "{l:[7,1,2]}"},
        // New items at the front land in reverse source order.
        {"{z:0}", "{x:1,y:2}", 2, "{y:2,x:1,z:0}"},
        {"{z:0,x:5}", "{x:1,y:2}", 2, "{y:2,z:0,x:5}"},
        {"{z:0,x:5}", "{x:1,y:2}", 3, "{y:2,z:0,x:1}"},
        // Unnamed items are always added.
        {"[1,2]", "[1,2]", 0, "{1,2,1,2}"},
        {"[1]", "[2,3]", 2, "{3,2,1}"},
        // Without overwrite an existing item keeps its type; with it the source type wins.
        {"{a:'x'}", "{a:5}", 0, "{a:'x'}"},
        {"{a:'x'}", "{a:5}", 1, "{a:5}"},
        {"{a:'x'}", "{a:{b:1}}", 0, "{a:'x'}"},
        {"{a:'x'}", "{a:{b:1}}", 1, "{a:{b:1}}"},
        {"{a:{b:1}}", "{a:7}", 1, "{a:7}"},
        // A Dictionary taking list elements is not emptied; a Dictionary retyped to List is.
        {"{a:{b:1}}", "{a:[5]}", 0, "{a:{b:1,5}}"},
        {"{a:{b:1}}", "{a:[5]}", 1, "{a:[5]}"},
        // Lists inside lists: the destination list is emptied at each level.
        {"{l:[[1],[2]]}", "{l:[[3]]}", 0, "{l:[[3]]}"},
        {"{l:[[1],[2]]}", "{l:[[3]]}", 4, "{l:[[1],[2],[3]]}"},
        // Booleans, nulls and empty texts.
        {"{b:false,n:1,s:'x'}", "{b:true,n:null,s:''}", 1, "{b:true,n:null,s:''}"},
        {"{b:true}", "{b:false}", 1, "{b:false}"},
        {"{}", "{b:true,n:null,s:''}", 0, "{b:true,n:null,s:''}"},
        // Private items carry their bit.
        {"{}", "{#p:1,q:2}", 0, "{#p:1,q:2}"},
        {"{p:9}", "{#p:1}", 1, "{#p:1}"},
        {"{#p:9}", "{p:1}", 1, "{p:1}"},
        {"{}", "{#p:1,q:{#r:2,s:3}}", 8, "{q:{s:3}}"},
        // Duplicate source keys meet the first target item of that key.
        {"{a:0}", "{a:1,a:2}", 1, "{a:2}"},
        {"{a:0}", "{a:1,a:2}", 0, "{a:0}"},
        // An empty source changes nothing.
        {"{a:1}", "{}", 15, "{a:1}"},
    };
    for (const Case& c : cases) {
        Tree target(c.target), source(c.source);
        const std::string before = Render(source.dict);
        EXPECT_EQ(Dictionary_Merge(target.dict, source.dict, c.flags), 1);
        EXPECT_EQ(Render(target.dict), c.expected) << c.target << " <- " << c.source << " flags " << c.flags;
        EXPECT_EQ(Render(source.dict), before) << "the source is never changed";
    }
}

TEST(DictionaryMerge, SkipPrivateFollowsTheSourcePrivateKeys) {
    Tree source("{#p:1,q:2}");
    {
        Tree target("{}");
        Dictionary_Merge(target.dict, source.dict, DICTIONARY_MERGE_SKIP_PRIVATE);
        EXPECT_EQ(Render(target.dict), "{q:2}");
    }
    // With PrivateKeys off nothing in the source counts as private: all of it is merged, and
    // without the private bit.
    Dictionary_SetPrivateKeys(source.dict, 0);
    {
        Tree target("{}");
        Dictionary_Merge(target.dict, source.dict, DICTIONARY_MERGE_SKIP_PRIVATE);
        EXPECT_EQ(Render(target.dict), "{p:1,q:2}");
    }
}

TEST(DictionaryMerge, ExistingItemsKeepTheirIdentity) {
    Tree target("{a:1,b:{c:2},l:[1]}"), source("{a:5,b:{c:3,d:4},l:[2]}");
    DictionaryItem* a = ItemAt(target.dict, 0);
    DictionaryItem* b = ItemAt(target.dict, 1);
    Dictionary* bChild = Descend(target.dict, {1});
    DictionaryItem* c = ItemAt(bChild, 0);
    Dictionary_Merge(target.dict, source.dict, DICTIONARY_MERGE_OVERWRITE);
    EXPECT_EQ(Render(target.dict), "{a:5,b:{c:3,d:4},l:[2]}");
    EXPECT_EQ(ItemAt(target.dict, 0), a);
    EXPECT_EQ(ItemAt(target.dict, 1), b);
    EXPECT_EQ(Descend(target.dict, {1}), bChild);
    EXPECT_EQ(ItemAt(bChild, 0), c);
}

TEST(DictionaryMerge, MergeAtAndMergeItem) {
    Tree source("{a:1,b:{c:2},d:3}");
    {
        Tree target("{}");
        EXPECT_EQ(Dictionary_MergeAt(target.dict, source.dict, ItemAt(source.dict, 1), 0), 1);
        EXPECT_EQ(Render(target.dict), "{b:{c:2},d:3}");
    }
    {
        Tree target("{}");
        EXPECT_EQ(Dictionary_MergeAt(target.dict, source.dict, nullptr, 0), 1);
        EXPECT_EQ(Render(target.dict), "{a:1,b:{c:2},d:3}");
    }
    {
        Tree target("{x:0}");
        EXPECT_EQ(Dictionary_MergeItem(target.dict, source.dict, ItemAt(source.dict, 1), 0), 1);
        EXPECT_EQ(Render(target.dict), "{x:0,b:{c:2}}");
        EXPECT_EQ(Dictionary_MergeItem(target.dict, source.dict, ItemAt(source.dict, 2), 2), 1);
        EXPECT_EQ(Render(target.dict), "{d:3,x:0,b:{c:2}}");
    }
    {
        // A private item is skipped by MergeItem as by Merge.
        Tree privateSource("{#p:1}"), target("{}");
        Dictionary_MergeItem(target.dict, privateSource.dict, ItemAt(privateSource.dict, 0), 8);
        EXPECT_EQ(Render(target.dict), "{}");
    }
}

TEST(DictionaryMerge, ChangeCallbacksFire) {
    std::vector<std::string> paths;
    auto onValue = [](Dictionary*, DictionaryItem*, void* context, const char* path, const char*,
                      uint32_t) -> int64_t {
        static_cast<std::vector<std::string>*>(context)->push_back(path);
        return 1;
    };
    Tree target("{a:1,b:{c:2,e:true}}"), source("{a:1,b:{c:3,e:false}}");
    Dictionary_SetItemValueChangeCallback(target.dict, &paths, onValue);
    Dictionary_Merge(target.dict, source.dict, DICTIONARY_MERGE_OVERWRITE);
    // Equal values are not reported; the boolean flip is.
    EXPECT_EQ(paths, (std::vector<std::string>{"b.c", "b.e"}));
}

// ---- Source and target in one tree --------------------------------------------------------------

// The operation on (target path, source path) of one tree must give what it gives with the
// source read from an independent copy of the same tree.
struct SharedCase {
    const char* tree;
    std::vector<uint32_t> target;
    std::vector<uint32_t> source;
};

const SharedCase kSharedCases[] = {
    {"{a:1,l:[1,2],s:{x:1,l:[3]},[4]}", {}, {}},
    {"{sub:{sub:5,x:[1]},y:2}", {}, {0}},
    {"{sub:{sub:{sub:1}},y:2}", {0}, {}},
    {"{sub:{sub:{sub:1}},y:2}", {0, 0}, {}},
    {"{a:{b:[1,{c:2}]},d:{b:[3]}}", {1}, {0}},
    {"[[1,[2]],[3]]", {0, 1}, {0}},
    {"{#p:{#q:1},r:{s:2}}", {1}, {}},
};

template <typename Operation> void ExpectSharedTreeLikeCopy(Operation operation, const char* name) {
    for (const SharedCase& c : kSharedCases) {
        Tree shared(c.tree), expected(c.tree), sourceCopy(c.tree);
        Dictionary* target = Descend(shared.dict, c.target);
        Dictionary* source = Descend(shared.dict, c.source);
        operation(target, source);
        operation(Descend(expected.dict, c.target), Descend(sourceCopy.dict, c.source));
        EXPECT_EQ(Render(shared.dict), Render(expected.dict)) << name << " on " << c.tree;
    }
}

TEST(DictionaryMerge, SourceInsideTheTargetTreeReadsAsACopy) {
    for (uint32_t flags = 0; flags < 16; flags++) {
        ExpectSharedTreeLikeCopy([flags](Dictionary* t, Dictionary* s) { Dictionary_Merge(t, s, flags); },
                                 "Merge");
        ExpectSharedTreeLikeCopy(
            [flags](Dictionary* t, Dictionary* s) {
                uint32_t count = 0;
                Dictionary_ItemGetCount(s, &count);
                if (count > 1) Dictionary_MergeAt(t, s, ItemAt(s, 1), flags);
            },
            "MergeAt");
        ExpectSharedTreeLikeCopy(
            [flags](Dictionary* t, Dictionary* s) { Dictionary_MergeItem(t, s, ItemAt(s, 0), flags); },
            "MergeItem");
    }
    ExpectSharedTreeLikeCopy([](Dictionary* t, Dictionary* s) { Dictionary_Sync(t, s, nullptr, nullptr); },
                             "Sync");
    ExpectSharedTreeLikeCopy(
        [](Dictionary* t, Dictionary* s) { Dictionary_SyncAt(t, s, ItemAt(s, 0), nullptr, nullptr); },
        "SyncAt");
    ExpectSharedTreeLikeCopy([](Dictionary* t, Dictionary* s) { Dictionary_RemoveMissing(t, s); },
                             "RemoveMissing");
    ExpectSharedTreeLikeCopy([](Dictionary* t, Dictionary* s) { Dictionary_RemoveMissingKeys(t, s); },
                             "RemoveMissingKeys");
}

TEST(DictionaryMerge, SelfMergeKnownAnswers) {
    struct Case {
        uint32_t flags;
        const char* expected;
    } cases[] = {
        {0, "{a:1,l:[1,2],s:{x:1},3,3}"},
        {1, "{a:1,l:[1,2],s:{x:1},3,3}"},
        {4, "{a:1,l:[1,2,1,2],s:{x:1},3,3}"},
        {2, "{3,a:1,l:[2,1],s:{x:1},3}"},
    };
    for (const Case& c : cases) {
        Tree tree("{a:1,l:[1,2],s:{x:1},3}");
        Dictionary_Merge(tree.dict, tree.dict, c.flags);
        EXPECT_EQ(Render(tree.dict), c.expected) << c.flags;
    }
    // Into its own descendant: the copy of the whole tree lands one level down, once.
    Tree tree("{sub:{x:1}}");
    Dictionary_Merge(Descend(tree.dict, {0}), tree.dict, 0);
    EXPECT_EQ(Render(tree.dict), "{sub:{x:1,sub:{x:1}}}");
    // A source inside the item it overwrites.
    Tree inner("{sub:{sub:5}}");
    Dictionary_Merge(inner.dict, Descend(inner.dict, {0}), DICTIONARY_MERGE_OVERWRITE);
    EXPECT_EQ(Render(inner.dict), "{sub:5}");
}

TEST(DictionaryMerge, SelfSyncIsIdentity) {
    Tree tree("{a:1,l:[1,2],s:{x:1},3}");
    DictionaryItem* first = ItemAt(tree.dict, 0);
    Dictionary_Sync(tree.dict, tree.dict, nullptr, nullptr);
    EXPECT_EQ(Render(tree.dict), "{a:1,l:[1,2],s:{x:1},3}");
    EXPECT_EQ(ItemAt(tree.dict, 0), first);
}

// ---- Sync -------------------------------------------------------------------------------------

int64_t RejectK(Dictionary*, void* context, Dictionary* source, DictionaryItem* item) {
    (*static_cast<int*>(context))++;
    const char* key = nullptr;
    Dictionary_ItemGetKeyPtr(source, item, &key);
    return key && strcmp(key, "k") == 0 ? 0 : 1;
}

TEST(DictionarySync, KnownAnswers) {
    struct Case {
        const char* target;
        const char* source;
        const char* expected;
    } cases[] = {
        {"[1,2,3]", "[1,2]", "{1,2}"},
        {"[1,2]", "[1,2,3]", "{1,2,3}"},
        {"[]", "[1,'x',true]", "{1,'x',true}"},
        {"{a:1,b:2}", "{}", "{}"},
        {"{a:1,b:2,c:3}", "{c:9,a:1}", "{a:1,c:9}"},
        {"{a:{x:1,y:2}}", "{a:{y:3}}", "{a:{y:3}}"},
        {"{a:{x:1}}", "{a:[5]}", "{a:[5]}"},
        {"{a:[1,2,3]}", "{a:[1]}", "{a:[1]}"},
        {"{a:'s',#p:1}", "{a:true,p:2}", "{a:true,p:2}"},
        {"{l:[[1,2],[3]]}", "{l:[[1]]}", "{l:[[1]]}"},
        // Duplicate source keys land on the first target item of the key.
        {"{a:0,a:0}", "{a:1,a:2}", "{a:2,a:0}"},
    };
    for (const Case& c : cases) {
        Tree target(c.target), source(c.source);
        EXPECT_EQ(Dictionary_Sync(target.dict, source.dict, nullptr, nullptr), 1);
        EXPECT_EQ(Render(target.dict), c.expected) << c.target << " <- " << c.source;
    }
}

TEST(DictionarySync, MatchingItemsKeepTheirIdentity) {
    Tree target("['a','b','c']"), source("['a','b']");
    DictionaryItem* first = ItemAt(target.dict, 0);
    DictionaryItem* second = ItemAt(target.dict, 1);
    Dictionary_Sync(target.dict, source.dict, nullptr, nullptr);
    EXPECT_EQ(Render(target.dict), "{'a','b'}");
    EXPECT_EQ(ItemAt(target.dict, 0), first);
    EXPECT_EQ(ItemAt(target.dict, 1), second);

    Tree keyed("{x:{y:1},z:2}"), keyedSource("{z:3,x:{y:1,w:0}}");
    DictionaryItem* x = ItemAt(keyed.dict, 0);
    Dictionary* xChild = Descend(keyed.dict, {0});
    DictionaryItem* y = ItemAt(xChild, 0);
    Dictionary_Sync(keyed.dict, keyedSource.dict, nullptr, nullptr);
    EXPECT_EQ(Render(keyed.dict), "{x:{y:1,w:0},z:3}");
    EXPECT_EQ(ItemAt(keyed.dict, 0), x);
    EXPECT_EQ(Descend(keyed.dict, {0}), xChild);
    EXPECT_EQ(ItemAt(xChild, 0), y);
}

TEST(DictionarySync, FilterLeavesRejectedItemsAsTheyWere) {
    Tree target("{k:1,j:2,m:{k:3,n:4}}"), source("{k:5,m:{k:6,n:7},o:8}");
    int calls = 0;
    Dictionary_Sync(target.dict, source.dict, &calls, RejectK);
    // k stays (the source has k, so it is not missing); j is removed; the filter also applies in
    // the children.
    EXPECT_EQ(Render(target.dict), "{k:1,m:{k:3,n:7},o:8}");
    EXPECT_EQ(calls, 5);
}

TEST(DictionarySync, ReportsOnlyRealChanges) {
    struct Log {
        std::vector<std::string> events;
    } log;
    auto onValue = [](Dictionary*, DictionaryItem*, void* context, const char* path, const char*,
                      uint32_t) -> int64_t {
        static_cast<Log*>(context)->events.push_back(std::string("value ") + path);
        return 1;
    };
    auto onRemove = [](Dictionary*, DictionaryItem*, void* context, const char* path) -> int64_t {
        static_cast<Log*>(context)->events.push_back(std::string("remove ") + path);
        return 1;
    };
    auto onKey = [](Dictionary*, DictionaryItem*, void* context, const char* path, const char*) -> int64_t {
        static_cast<Log*>(context)->events.push_back(std::string("key ") + path);
        return 1;
    };
    Tree target("{a:1,b:{c:'x',d:[1,2]},e:true}");
    Dictionary_SetItemValueChangeCallback(target.dict, &log, onValue);
    Dictionary_SetItemRemoveCallback(target.dict, &log, onRemove);
    Dictionary_SetItemKeyChangeCallback(target.dict, &log, onKey);
    {
        Tree same("{a:1,b:{c:'x',d:[1,2]},e:true}");
        Dictionary_Sync(target.dict, same.dict, nullptr, nullptr);
        EXPECT_TRUE(log.events.empty());
    }
    {
        Tree changed("{a:1,b:{c:'y',d:[1]},e:false}");
        Dictionary_Sync(target.dict, changed.dict, nullptr, nullptr);
        EXPECT_EQ(log.events, (std::vector<std::string>{"value b.c", "remove b.d[1]", "value e"}));
    }
}

TEST(DictionarySync, SyncAtStartsAtThePositionOfTheStartItem) {
    Tree target("[9,9,9,9]"), source("[1,2,3]");
    EXPECT_EQ(Dictionary_SyncAt(target.dict, source.dict, ItemAt(source.dict, 1), nullptr, nullptr), 1);
    // No removal at the top level of SyncAt.
    EXPECT_EQ(Render(target.dict), "{9,2,3,9}");

    Tree shortTarget("[9]"), keyedSource("{a:1,b:{c:2,d:3}}");
    Tree nested("{b:{c:0,x:1}}");
    Dictionary_SyncAt(nested.dict, keyedSource.dict, ItemAt(keyedSource.dict, 1), nullptr, nullptr);
    // Child levels are synced whole, with their removal.
    EXPECT_EQ(Render(nested.dict), "{b:{c:2,d:3}}");
    Dictionary_SyncAt(shortTarget.dict, source.dict, ItemAt(source.dict, 2), nullptr, nullptr);
    EXPECT_EQ(Render(shortTarget.dict), "{9,3}");
}

// ---- Removal of missing items and keys --------------------------------------------------------

TEST(DictionarySync, RemoveMissingKnownAnswers) {
    struct Case {
        const char* target;
        const char* source;
        const char* expected;
    } cases[] = {
        {"{a:1,b:2,c:3}", "{b:0}", "{b:2}"},
        {"[1,2,3]", "['x','y']", "{1,2}"},
        {"[1,2,3]", "[]", "{}"},
        // Keyed and unnamed mixed: an unnamed item's counterpart is the source item before the
        // counterpart found one step later, else the item at its own position.
        {"{[1],k:2}", "{[9],k:0}", "{[1],k:2}"},
        {"{1,2,k:3}", "{k:0,'x'}", "{1,k:3}"},
        // Only one level: children are left alone.
        {"{a:{x:1}}", "{a:{}}", "{a:{x:1}}"},
    };
    for (const Case& c : cases) {
        Tree target(c.target), source(c.source);
        EXPECT_EQ(Dictionary_RemoveMissing(target.dict, source.dict), 1);
        EXPECT_EQ(Render(target.dict), c.expected) << c.target << " - " << c.source;
    }
}

TEST(DictionarySync, RemoveMissingKeysKnownAnswers) {
    struct Case {
        const char* target;
        const char* source;
        const char* expected;
    } cases[] = {
        {"{a:1,b:2,c:3,[4]}", "['a','c',5]", "{a:1,c:3,[4]}"},
        {"{ab:1,abc:2}", "['abc']", "{abc:2}"},
        {"{true:1,null:2,5:3,x:4}", "[true,null,5]", "{true:1,null:2,5:3}"},
        {"{A:1}", "['a']", "{}"},
        {"{a:1}", "[]", "{}"},
    };
    for (const Case& c : cases) {
        Tree target(c.target), source(c.source);
        EXPECT_EQ(Dictionary_RemoveMissingKeys(target.dict, source.dict), 1);
        EXPECT_EQ(Render(target.dict), c.expected) << c.target << " - " << c.source;
    }
}

// ---- Document roots ---------------------------------------------------------------------------

TEST(DictionaryRoot, SkipRoot) {
    struct Case {
        const char* tree;
        bool skips;          // SkipRoot gives the only item's child
        bool skipsContainer; // SkipRootContainer does
    } cases[] = {
        {"[{a:1}]", true, true},     {"[[1]]", false, true}, {"[{a:1},{b:2}]", false, false},
        {"{k:{a:1}}", false, false}, {"[]", false, false},   {"[5]", false, false},
        {"{k:[1]}", false, false},
    };
    for (const Case& c : cases) {
        Tree tree(c.tree);
        Dictionary* only = nullptr;
        if (ItemAt(tree.dict, 0)) Dictionary_ItemGetDictionaryHandle(tree.dict, ItemAt(tree.dict, 0), &only);
        Dictionary* out = reinterpret_cast<Dictionary*>(1);
        EXPECT_EQ(Dictionary_SkipRoot(tree.dict, &out), 1);
        EXPECT_EQ(out, c.skips ? only : tree.dict) << c.tree;
        out = reinterpret_cast<Dictionary*>(1);
        EXPECT_EQ(Dictionary_SkipRootContainer(tree.dict, &out), 1);
        EXPECT_EQ(out, c.skipsContainer ? only : tree.dict) << c.tree;
    }
    // Only a root is unwrapped.
    Tree nested("[[{a:1}]]");
    Dictionary* inner = Descend(nested.dict, {0});
    Dictionary* out = nullptr;
    Dictionary_SkipRoot(inner, &out);
    EXPECT_EQ(out, inner);
}

// ---- Deep trees and large values --------------------------------------------------------------

// A chain root{k:{k:{...}}} of `depth` levels, the innermost holding v:1.
Dictionary* DeepChain(int32_t depth, bool list) {
    Dictionary* root = nullptr;
    Dictionary_Create(&root);
    Dictionary* level = root;
    for (int32_t i = 0; i < depth; i++) {
        Dictionary* child = nullptr;
        if (list)
            Dictionary_AddList(level, nullptr, &child, nullptr);
        else
            Dictionary_AddDictionary(level, "k", &child, nullptr);
        level = child;
    }
    Dictionary_AddInt64(level, list ? nullptr : "v", 1, nullptr);
    return root;
}

// Levels below `dict` along the first items, and the value at the bottom.
int32_t ChainDepth(Dictionary* dict, std::string* bottom) {
    int32_t depth = 0;
    for (;;) {
        DictionaryItem* item = nullptr;
        if (!Dictionary_ItemGetFirst(dict, &item)) return depth;
        Dictionary* child = nullptr;
        if (!Dictionary_ItemGetDictionaryHandle(dict, item, &child)) {
            *bottom = RenderItem(dict, item);
            return depth;
        }
        dict = child;
        depth++;
    }
}

// Empties a deep tree from the bottom up before releasing it, so that the release stays shallow.
void ReleaseChain(Dictionary** root) {
    std::vector<Dictionary*> levels{*root};
    for (size_t i = 0; i < levels.size(); i++) {
        DictionaryItem* item = nullptr;
        for (int64_t ok = Dictionary_ItemGetFirst(levels[i], &item); ok;
             ok = Dictionary_ItemGetNext(levels[i], item, &item)) {
            Dictionary* child = nullptr;
            if (Dictionary_ItemGetDictionaryHandle(levels[i], item, &child)) levels.push_back(child);
        }
    }
    for (size_t i = levels.size(); i-- > 1;) Dictionary_Reset(levels[i]);
    Dictionary_Release(root);
}

// Runs `work` on a thread with a small stack: an operation that recursed once per level of a deep
// tree would overflow it.
void OnSmallStack(const std::function<void()>& work) {
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

TEST(DictionaryMerge, DeepTreesNeedNoStack) {
    // Every change report climbs to the root, so deep keyed trees are slow to build: the keyed
    // chain is shallower, both far deeper than a small stack allows for recursion.
    for (bool list : {false, true}) {
        const int32_t depth = list ? 6000 : 3000;
        Dictionary* source = DeepChain(depth, list);
        Dictionary* target = nullptr;
        Dictionary* other = nullptr;
        Dictionary_Create(&target);
        Dictionary_Create(&other);
        Dictionary_AddInt64(other, list ? nullptr : "k", 7, nullptr);
        int64_t results[4] = {};
        OnSmallStack([&] {
            results[0] = Dictionary_Merge(target, source, 0);
            // Merging into itself goes through a copy of the whole chain.
            results[1] = Dictionary_Merge(target, target, DICTIONARY_MERGE_OVERWRITE);
            results[2] = Dictionary_Sync(other, source, nullptr, nullptr);
            // Retyping the deep item lets its subtree go.
            Tree flat("{k:1}");
            if (!list) results[3] = Dictionary_Sync(other, flat.dict, nullptr, nullptr);
        });
        EXPECT_EQ(results[0], 1);
        EXPECT_EQ(results[1], 1);
        EXPECT_EQ(results[2], 1);
        std::string bottom;
        EXPECT_EQ(ChainDepth(target, &bottom), depth);
        EXPECT_EQ(bottom, list ? "1" : "v:1");
        if (list) {
            EXPECT_EQ(ChainDepth(other, &bottom), depth);
            EXPECT_EQ(bottom, "1");
        } else {
            EXPECT_EQ(results[3], 1);
            EXPECT_EQ(Render(other), "{k:1}");
        }
        ReleaseChain(&other);
        ReleaseChain(&target);
        ReleaseChain(&source);
    }
}

TEST(DictionaryMerge, LargeValuesAndEmbeddedZerosAreCopiedWhole) {
    std::string big(3 * 1024 * 1024 + 7, 'x');
    for (size_t i = 0; i < big.size(); i += 4099) big[i] = (char)(i % 251);
    big[10] = 0;
    Tree source("{}");
    DictionaryItem* item = nullptr;
    Dictionary_Add(source.dict, "big", &item);
    Dictionary_ItemSetType(source.dict, item, DICTIONARY_TYPE_STRING);
    Dictionary_ItemSetBuffer(source.dict, item, big.data(), (int32_t)big.size());

    for (int pass = 0; pass < 2; pass++) {
        Tree target("{big:'old'}");
        if (pass == 0)
            Dictionary_Merge(target.dict, source.dict, DICTIONARY_MERGE_OVERWRITE);
        else
            Dictionary_Sync(target.dict, source.dict, nullptr, nullptr);
        const char* text = nullptr;
        int32_t length = 0;
        Dictionary_ItemGetBufferPtr(target.dict, ItemAt(target.dict, 0), &text, &length);
        ASSERT_EQ(length, (int32_t)big.size());
        EXPECT_EQ(memcmp(text, big.data(), big.size()), 0);
    }
}

// ---- Abort texts ------------------------------------------------------------------------------

TEST(DictionaryMerge, AbortTexts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string null = AbortRegex("Pointer is NULL\n");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Tree t("{}");
            Dictionary_Merge(t.dict, nullptr, 0);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Tree t("{}");
            Dictionary_Sync(nullptr, t.dict, nullptr, nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Tree t("{}");
            Dictionary_SyncAt(t.dict, t.dict, nullptr, nullptr, nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Tree t("{}");
            Dictionary_MergeItem(t.dict, t.dict, nullptr, 0);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Tree t("{}");
            Dictionary_RemoveMissing(t.dict, nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Tree t("{}");
            Dictionary_RemoveMissingKeys(nullptr, t.dict);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Tree t("{}");
            Dictionary_SkipRoot(t.dict, nullptr);
        },
        null);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Dictionary* out = nullptr;
            Dictionary_SkipRootContainer(nullptr, &out);
        },
        null);
    // An item of another dictionary as the start.
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Tree a("{x:1}");
            Tree b("{y:2}");
            Dictionary_MergeAt(a.dict, b.dict, ItemAt(a.dict, 0), 0);
        },
        AbortRegex("Assertion failed (startInSource)\nThe start item is not an item of the source"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Tree a("{x:1}");
            Tree b("{y:2,z:3}");
            Dictionary_SyncAt(a.dict, b.dict, ItemAt(Descend(a.dict, {}), 0), nullptr, nullptr);
        },
        AbortRegex("Assertion failed (startInSource)\nThe start item is not an item of the source"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Tree a("{x:{y:1}}");
            Dictionary_MergeItem(a.dict, a.dict, ItemAt(Descend(a.dict, {0}), 0), 0);
        },
        AbortRegex("Assertion failed (itemInSource)\nThe item is not an item of the source"));
    // A handle of another class.
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Tree a("{x:1}");
            Dictionary_Merge(a.dict, reinterpret_cast<Dictionary*>(ItemAt(a.dict, 0)), 0);
        },
        "Class mismatch pointer");
}

} // namespace
