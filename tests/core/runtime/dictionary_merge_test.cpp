// Tests of the whole-tree dictionary operations: merge and its flags, sync with and without a
// filter, removal of missing items and keys, document roots, trees sharing source and target,
// deep trees, large values and the abort texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/dictionary.h"
#include "tests/support/abort_table.h"
#include "tests/support/dictionary_trees.h"

namespace {

// ---- Merge ------------------------------------------------------------------------------------

TEST(DictionaryMerge, FlagsKnownAnswers) {
    // clang-format off
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
        {"{l:[7]}", "{l:[1,2]}", 0, "{l:[1,2]}"}, {"{l:[7]}", "{l:[1,2]}", 4, "{l:[7,1,2]}"},
        // New items at the front land in reverse source order.
        {"{z:0}", "{x:1,y:2}", 2, "{y:2,x:1,z:0}"}, {"{z:0,x:5}", "{x:1,y:2}", 2, "{y:2,z:0,x:5}"},
        {"{z:0,x:5}", "{x:1,y:2}", 3, "{y:2,z:0,x:1}"},
        // Unnamed items are always added.
        {"[1,2]", "[1,2]", 0, "{1,2,1,2}"}, {"[1]", "[2,3]", 2, "{3,2,1}"},
        // Without overwrite an existing item keeps its type; with it the source type wins.
        {"{a:'x'}", "{a:5}", 0, "{a:'x'}"}, {"{a:'x'}", "{a:5}", 1, "{a:5}"},
        {"{a:'x'}", "{a:{b:1}}", 0, "{a:'x'}"}, {"{a:'x'}", "{a:{b:1}}", 1, "{a:{b:1}}"},
        {"{a:{b:1}}", "{a:7}", 1, "{a:7}"},
        // A Dictionary taking list elements is not emptied; a Dictionary retyped to List is.
        {"{a:{b:1}}", "{a:[5]}", 0, "{a:{b:1,5}}"}, {"{a:{b:1}}", "{a:[5]}", 1, "{a:[5]}"},
        // Lists inside lists: the destination list is emptied at each level.
        {"{l:[[1],[2]]}", "{l:[[3]]}", 0, "{l:[[3]]}"},
        {"{l:[[1],[2]]}", "{l:[[3]]}", 4, "{l:[[1],[2],[3]]}"},
        // Booleans, nulls and empty texts.
        {"{b:false,n:1,s:'x'}", "{b:true,n:null,s:''}", 1, "{b:true,n:null,s:''}"},
        {"{b:true}", "{b:false}", 1, "{b:false}"}, {"{}", "{b:true,n:null,s:''}", 0, "{b:true,n:null,s:''}"},
        // Private items carry their bit.
        {"{}", "{#p:1,q:2}", 0, "{#p:1,q:2}"}, {"{p:9}", "{#p:1}", 1, "{#p:1}"},
        {"{#p:9}", "{p:1}", 1, "{p:1}"}, {"{}", "{#p:1,q:{#r:2,s:3}}", 8, "{q:{s:3}}"},
        // A key is merged as stored: a "#" or "." left after the private one is part of the name.
        {"{}", "{##x:1,###y:2}", 0, "{##x:1,###y:2}"}, {"{##x:9,#x:8}", "{##x:1}", 1, "{##x:1,#x:8}"},
        // Duplicate source keys meet the first target item of that key.
        {"{a:0}", "{a:1,a:2}", 1, "{a:2}"}, {"{a:0}", "{a:1,a:2}", 0, "{a:0}"},
        // An empty source changes nothing.
        {"{a:1}", "{}", 15, "{a:1}"},
    };
    // clang-format on
    for (const Case& c : cases) {
        DictTree target(c.target), source(c.source);
        const std::string before = Render(source);
        EXPECT_EQ(Dictionary_Merge(target, source, c.flags), 1);
        EXPECT_EQ(Render(target), c.expected) << c.target << " <- " << c.source << " flags " << c.flags;
        EXPECT_EQ(Render(source), before) << "the source is never changed";
    }
    DictTree dotted, target;
    Dictionary_AddString(dotted, "..y", "v", nullptr);
    Dictionary_Merge(target, dotted, 0);
    EXPECT_EQ(Render(target), "{#.y:'v'}");
    // A key in brackets is merged as a key, never into the item at that position.
    for (uint32_t flags : {0u, 1u}) {
        DictTree numbered, into;
        Dictionary_AddInt64(into, "x", 0, nullptr);
        Dictionary_AddInt64(into, "y", 5, nullptr);
        Dictionary_AddInt64(numbered, "[0]", 1, nullptr);
        Dictionary_AddInt64(numbered, "[1]", 2, nullptr);
        Dictionary_Merge(into, numbered, flags);
        EXPECT_EQ(Render(into), "{x:0,y:5,[0]:1,[1]:2}") << flags;
        Dictionary_Merge(into, numbered, flags);
        EXPECT_EQ(Render(into), "{x:0,y:5,[0]:1,[1]:2}") << flags;
    }
}

// With PrivateKeys off nothing in the source counts as private: all of it is merged, and
// without the private bit.
TEST(DictionaryMerge, SkipPrivateFollowsTheSourcePrivateKeys) {
    for (uint32_t keys : {1u, 0u}) {
        DictTree source("{#p:1,q:2}"), target;
        Dictionary_SetPrivateKeys(source, keys);
        Dictionary_Merge(target, source, DICTIONARY_MERGE_SKIP_PRIVATE);
        EXPECT_EQ(Render(target), keys ? "{q:2}" : "{p:1,q:2}");
    }
}

TEST(DictionaryMerge, ExistingItemsKeepTheirIdentity) {
    DictTree target("{a:1,b:{c:2},l:[1]}"), source("{a:5,b:{c:3,d:4},l:[2]}");
    DictionaryItem* a = ItemAt(target, 0);
    DictionaryItem* b = ItemAt(target, 1);
    Dictionary* bChild = Descend(target, {1});
    DictionaryItem* c = ItemAt(bChild, 0);
    Dictionary_Merge(target, source, DICTIONARY_MERGE_OVERWRITE);
    EXPECT_EQ(Render(target), "{a:5,b:{c:3,d:4},l:[2]}");
    EXPECT_EQ(ItemAt(target, 0), a);
    EXPECT_EQ(ItemAt(target, 1), b);
    EXPECT_EQ(Descend(target, {1}), bChild);
    EXPECT_EQ(ItemAt(bChild, 0), c);
}

TEST(DictionaryMerge, MergeAtAndMergeItem) {
    // clang-format off
    struct Case {
        bool item;     // MergeItem, else MergeAt
        int32_t start; // position in the source, -1 for none
        uint32_t flags;
        const char* target;
        const char* expected;
    } const cases[] = {
        {false, 1, 0, "{}", "{b:{c:2},d:3,#p:1}"}, {false, -1, 0, "{}", "{a:1,b:{c:2},d:3,#p:1}"},
        {true, 1, 0, "{x:0}", "{x:0,b:{c:2}}"}, {true, 2, 2, "{x:0}", "{d:3,x:0}"},
        {true, 3, 8, "{}", "{}"}, // a private item is skipped by MergeItem as by Merge
    };
    // clang-format on
    for (const Case& c : cases) {
        DictTree source("{a:1,b:{c:2},d:3,#p:1}"), target(c.target);
        DictionaryItem* start = c.start >= 0 ? ItemAt(source, (uint32_t)c.start) : nullptr;
        EXPECT_EQ(c.item ? Dictionary_MergeItem(target, source, start, c.flags)
                         : Dictionary_MergeAt(target, source, start, c.flags),
                  1);
        EXPECT_EQ(Render(target), c.expected) << c.item << " " << c.start;
    }
}

TEST(DictionaryMerge, ChangeCallbacksFire) {
    std::vector<std::string> paths;
    auto onValue = [](Dictionary*, DictionaryItem*, void* context, const char* path, const char*,
                      uint32_t) -> int64_t {
        static_cast<std::vector<std::string>*>(context)->push_back(path);
        return 1;
    };
    DictTree target("{a:1,b:{c:2,e:true}}"), source("{a:1,b:{c:3,e:false}}");
    Dictionary_SetItemValueChangeCallback(target, &paths, onValue);
    Dictionary_Merge(target, source, DICTIONARY_MERGE_OVERWRITE);
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

// clang-format off
const SharedCase kSharedCases[] = {
    {"{a:1,l:[1,2],s:{x:1,l:[3]},[4]}", {}, {}}, {"{sub:{sub:5,x:[1]},y:2}", {}, {0}},
    {"{sub:{sub:{sub:1}},y:2}", {0}, {}}, {"{sub:{sub:{sub:1}},y:2}", {0, 0}, {}},
    {"{a:{b:[1,{c:2}]},d:{b:[3]}}", {1}, {0}}, {"[[1,[2]],[3]]", {0, 1}, {0}},
    {"{#p:{#q:1},r:{s:2}}", {1}, {}},
};
// clang-format on

template <typename Operation> void ExpectSharedTreeLikeCopy(Operation operation, const char* name) {
    for (const SharedCase& c : kSharedCases) {
        DictTree shared(c.tree), expected(c.tree), sourceCopy(c.tree);
        Dictionary* target = Descend(shared, c.target);
        Dictionary* source = Descend(shared, c.source);
        operation(target, source);
        operation(Descend(expected, c.target), Descend(sourceCopy, c.source));
        EXPECT_EQ(Render(shared), Render(expected)) << name << " on " << c.tree;
    }
}

TEST(DictionaryMerge, SourceInsideTheTargetTreeReadsAsACopy) {
    for (uint32_t flags = 0; flags < 16; flags++) {
        ExpectSharedTreeLikeCopy([flags](Dictionary* t, Dictionary* s) { Dictionary_Merge(t, s, flags); },
                                 "Merge");
        ExpectSharedTreeLikeCopy(
            [flags](Dictionary* t, Dictionary* s) {
                if (ItemCount(s) > 1) Dictionary_MergeAt(t, s, ItemAt(s, 1), flags);
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
    // clang-format off
    struct Case {
        uint32_t flags;
        const char* expected;
    } cases[] = {
        {0, "{a:1,l:[1,2],s:{x:1},3,3}"}, {1, "{a:1,l:[1,2],s:{x:1},3,3}"},
        {4, "{a:1,l:[1,2,1,2],s:{x:1},3,3}"}, {2, "{3,a:1,l:[2,1],s:{x:1},3}"},
    };
    // clang-format on
    for (const Case& c : cases) {
        DictTree tree("{a:1,l:[1,2],s:{x:1},3}");
        Dictionary_Merge(tree, tree, c.flags);
        EXPECT_EQ(Render(tree), c.expected) << c.flags;
    }
    // Into its own descendant: the copy of the whole tree lands one level down, once.
    DictTree tree("{sub:{x:1}}");
    Dictionary_Merge(Descend(tree, {0}), tree, 0);
    EXPECT_EQ(Render(tree), "{sub:{x:1,sub:{x:1}}}");
    // A source inside the item it overwrites.
    DictTree inner("{sub:{sub:5}}");
    Dictionary_Merge(inner, Descend(inner, {0}), DICTIONARY_MERGE_OVERWRITE);
    EXPECT_EQ(Render(inner), "{sub:5}");
}

TEST(DictionaryMerge, SelfSyncIsIdentity) {
    DictTree tree("{a:1,l:[1,2],s:{x:1},3}");
    DictionaryItem* first = ItemAt(tree, 0);
    Dictionary_Sync(tree, tree, nullptr, nullptr);
    EXPECT_EQ(Render(tree), "{a:1,l:[1,2],s:{x:1},3}");
    EXPECT_EQ(ItemAt(tree, 0), first);
}

// ---- Sync -------------------------------------------------------------------------------------

int64_t RejectK(Dictionary*, void* context, Dictionary* source, DictionaryItem* item) {
    (*static_cast<int*>(context))++;
    const char* key = nullptr;
    Dictionary_ItemGetKeyPtr(source, item, &key);
    return key && strcmp(key, "k") == 0 ? 0 : 1;
}

int64_t Sync(Dictionary* target, Dictionary* source) {
    return Dictionary_Sync(target, source, nullptr, nullptr);
}

// Sync makes the target an image of the source; RemoveMissing removes, one level deep, what has
// no counterpart; RemoveMissingKeys the keyed items whose key is no value text of the source.
TEST(DictionarySync, KnownAnswers) {
    // clang-format off
    struct Case {
        int64_t (*operation)(Dictionary*, Dictionary*);
        const char* target;
        const char* source;
        const char* expected;
    } cases[] = {
        {Sync, "[1,2,3]", "[1,2]", "{1,2}"}, {Sync, "[1,2]", "[1,2,3]", "{1,2,3}"},
        {Sync, "[]", "[1,'x',true]", "{1,'x',true}"}, {Sync, "{a:1,b:2}", "{}", "{}"},
        {Sync, "{a:1,b:2,c:3}", "{c:9,a:1}", "{a:1,c:9}"}, {Sync, "{a:{x:1,y:2}}", "{a:{y:3}}", "{a:{y:3}}"},
        {Sync, "{a:{x:1}}", "{a:[5]}", "{a:[5]}"}, {Sync, "{a:[1,2,3]}", "{a:[1]}", "{a:[1]}"},
        {Sync, "{a:'s',#p:1}", "{a:true,p:2}", "{a:true,p:2}"},
        {Sync, "{l:[[1,2],[3]]}", "{l:[[1]]}", "{l:[[1]]}"},
        // Duplicate source keys land on the first target item of the key.
        {Sync, "{a:0,a:0}", "{a:1,a:2}", "{a:2,a:0}"},
        {Sync, "{#x:0}", "{##x:1}", "{##x:1}"},
        {Dictionary_RemoveMissing, "{a:1,b:2,c:3}", "{b:0}", "{b:2}"},
        {Dictionary_RemoveMissing, "{##x:1,#x:2}", "{##x:0}", "{##x:1}"},
        {Dictionary_RemoveMissing, "[1,2,3]", "['x','y']", "{1,2}"},
        {Dictionary_RemoveMissing, "[1,2,3]", "[]", "{}"},
        // Keyed and unnamed mixed: an unnamed item's counterpart is the source item before the
        // counterpart found one step later, else the item at its own position.
        {Dictionary_RemoveMissing, "{[1],k:2}", "{[9],k:0}", "{[1],k:2}"},
        {Dictionary_RemoveMissing, "{1,2,k:3}", "{k:0,'x'}", "{1,k:3}"},
        {Dictionary_RemoveMissing, "{a:{x:1}}", "{a:{}}", "{a:{x:1}}"},
        {Dictionary_RemoveMissingKeys, "{a:1,b:2,c:3,[4]}", "['a','c',5]", "{a:1,c:3,[4]}"},
        {Dictionary_RemoveMissingKeys, "{ab:1,abc:2}", "['abc']", "{abc:2}"},
        {Dictionary_RemoveMissingKeys, "{true:1,null:2,5:3,x:4}", "[true,null,5]", "{true:1,null:2,5:3}"},
        {Dictionary_RemoveMissingKeys, "{A:1}", "['a']", "{}"},
        {Dictionary_RemoveMissingKeys, "{a:1}", "[]", "{}"},
    };
    // clang-format on
    for (const Case& c : cases) {
        DictTree target(c.target), source(c.source);
        EXPECT_EQ(c.operation(target, source), 1);
        EXPECT_EQ(Render(target), c.expected) << c.target << " <- " << c.source << " case " << (&c - cases);
    }
}

TEST(DictionarySync, MatchingItemsKeepTheirIdentity) {
    DictTree target("['a','b','c']"), source("['a','b']");
    DictionaryItem* first = ItemAt(target, 0);
    DictionaryItem* second = ItemAt(target, 1);
    Dictionary_Sync(target, source, nullptr, nullptr);
    EXPECT_EQ(Render(target), "{'a','b'}");
    EXPECT_EQ(ItemAt(target, 0), first);
    EXPECT_EQ(ItemAt(target, 1), second);

    DictTree keyed("{x:{y:1},z:2}"), keyedSource("{z:3,x:{y:1,w:0}}");
    DictionaryItem* x = ItemAt(keyed, 0);
    Dictionary* xChild = Descend(keyed, {0});
    DictionaryItem* y = ItemAt(xChild, 0);
    Dictionary_Sync(keyed, keyedSource, nullptr, nullptr);
    EXPECT_EQ(Render(keyed), "{x:{y:1,w:0},z:3}");
    EXPECT_EQ(ItemAt(keyed, 0), x);
    EXPECT_EQ(Descend(keyed, {0}), xChild);
    EXPECT_EQ(ItemAt(xChild, 0), y);
}

TEST(DictionarySync, FilterLeavesRejectedItemsAsTheyWere) {
    DictTree target("{k:1,j:2,m:{k:3,n:4}}"), source("{k:5,m:{k:6,n:7},o:8}");
    int calls = 0;
    Dictionary_Sync(target, source, &calls, RejectK);
    // k stays (the source has k, so it is not missing); j is removed; the filter also applies in
    // the children.
    EXPECT_EQ(Render(target), "{k:1,m:{k:3,n:7},o:8}");
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
    DictTree target("{a:1,b:{c:'x',d:[1,2]},e:true}");
    Dictionary_SetItemValueChangeCallback(target, &log, onValue);
    Dictionary_SetItemRemoveCallback(target, &log, onRemove);
    Dictionary_SetItemKeyChangeCallback(target, &log, onKey);
    {
        DictTree same("{a:1,b:{c:'x',d:[1,2]},e:true}");
        Dictionary_Sync(target, same, nullptr, nullptr);
        EXPECT_TRUE(log.events.empty());
    }
    {
        DictTree changed("{a:1,b:{c:'y',d:[1]},e:false}");
        Dictionary_Sync(target, changed, nullptr, nullptr);
        EXPECT_EQ(log.events, (std::vector<std::string>{"value b.c", "remove b.d[1]", "value e"}));
    }
}

TEST(DictionarySync, SyncAtStartsAtThePositionOfTheStartItem) {
    DictTree target("[9,9,9,9]"), source("[1,2,3]");
    EXPECT_EQ(Dictionary_SyncAt(target, source, ItemAt(source, 1), nullptr, nullptr), 1);
    // No removal at the top level of SyncAt.
    EXPECT_EQ(Render(target), "{9,2,3,9}");

    DictTree shortTarget("[9]"), keyedSource("{a:1,b:{c:2,d:3}}");
    DictTree nested("{b:{c:0,x:1}}");
    Dictionary_SyncAt(nested, keyedSource, ItemAt(keyedSource, 1), nullptr, nullptr);
    // Child levels are synced whole, with their removal.
    EXPECT_EQ(Render(nested), "{b:{c:2,d:3}}");
    Dictionary_SyncAt(shortTarget, source, ItemAt(source, 2), nullptr, nullptr);
    EXPECT_EQ(Render(shortTarget), "{9,3}");
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
        DictTree tree(c.tree);
        Dictionary* only = nullptr;
        if (ItemAt(tree, 0)) Dictionary_ItemGetDictionaryHandle(tree, ItemAt(tree, 0), &only);
        Dictionary* out = reinterpret_cast<Dictionary*>(1);
        EXPECT_EQ(Dictionary_SkipRoot(tree, &out), 1);
        EXPECT_EQ(out, c.skips ? only : tree) << c.tree;
        out = reinterpret_cast<Dictionary*>(1);
        EXPECT_EQ(Dictionary_SkipRootContainer(tree, &out), 1);
        EXPECT_EQ(out, c.skipsContainer ? only : tree) << c.tree;
    }
    // Only a root is unwrapped.
    DictTree nested("[[{a:1}]]");
    Dictionary* inner = Descend(nested, {0});
    Dictionary* out = nullptr;
    Dictionary_SkipRoot(inner, &out);
    EXPECT_EQ(out, inner);
}

// ---- Deep trees and large values --------------------------------------------------------------

// A chain root{k:{k:{...}}} of `depth` levels (unnamed Lists for `list`), the innermost holding
// v:1.
Dictionary* DeepChain(int32_t depth, bool list) {
    Dictionary* root = nullptr;
    Dictionary_Create(&root);
    Dictionary* level = root;
    for (int32_t i = 0; i < depth; i++) {
        if (list)
            Dictionary_AddList(level, nullptr, &level, nullptr);
        else
            Dictionary_AddDictionary(level, "k", &level, nullptr);
    }
    Dictionary_AddInt64(level, list ? nullptr : "v", 1, nullptr);
    return root;
}

// Levels below `dict` along the first items, and the value at the bottom.
int32_t ChainDepth(Dictionary* dict, std::string* bottom) {
    int32_t depth = 0;
    for (DictionaryItem* item = ItemAt(dict, 0); item; item = ItemAt(dict, 0), depth++) {
        Dictionary* child = ChildOf(dict, item);
        if (!child) {
            *bottom = RenderItem(dict, item);
            break;
        }
        dict = child;
    }
    return depth;
}

void ReleaseChain(Dictionary** root) {
    EmptyBottomUp(*root);
    Dictionary_Release(root);
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
        int64_t results[4] = {0, 0, 0, 1};
        RunOnSmallStack([&] {
            results[0] = Dictionary_Merge(target, source, 0);
            // Merging into itself goes through a copy of the whole chain.
            results[1] = Dictionary_Merge(target, target, DICTIONARY_MERGE_OVERWRITE);
            results[2] = Dictionary_Sync(other, source, nullptr, nullptr);
            // Retyping the deep item lets its subtree go.
            DictTree flat("{k:1}");
            if (!list) results[3] = Dictionary_Sync(other, flat, nullptr, nullptr);
        });
        EXPECT_EQ(results[0] + results[1] + results[2] + results[3], 4);
        std::string bottom;
        EXPECT_EQ(ChainDepth(target, &bottom), depth);
        EXPECT_EQ(bottom, list ? "1" : "v:1");
        if (list) {
            EXPECT_EQ(ChainDepth(other, &bottom), depth);
            EXPECT_EQ(bottom, "1");
        } else {
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
    DictTree source("{big:''}");
    Dictionary_ItemSetBuffer(source, ItemAt(source, 0), big.data(), (int32_t)big.size());
    for (int pass = 0; pass < 2; pass++) {
        DictTree target("{big:'old'}");
        if (pass == 0)
            Dictionary_Merge(target, source, DICTIONARY_MERGE_OVERWRITE);
        else
            Dictionary_Sync(target, source, nullptr, nullptr);
        EXPECT_EQ(ItemText(target, ItemAt(target, 0)), big) << pass;
    }
}

TEST(DictionaryMergeDeathTest, StartItemsMustBelongToTheSource) {
    const std::string start =
        AbortRegex("Assertion failed (startInSource)\nThe start item is not an item of the source");
    ExpectAborts({
        {[] {
             DictTree a("{x:1}"), b("{y:2}");
             Dictionary_MergeAt(a, b, ItemAt(a, 0), 0);
         },
         start},
        {[] {
             DictTree a("{x:1}"), b("{y:2,z:3}");
             Dictionary_SyncAt(a, b, ItemAt(a, 0), nullptr, nullptr);
         },
         start},
        {[] {
             DictTree a("{x:{y:1}}");
             Dictionary_MergeItem(a, a, ItemAt(Descend(a, {0}), 0), 0);
         },
         AbortRegex("Assertion failed (itemInSource)\nThe item is not an item of the source")},
    });
}

} // namespace
