// Tests of dictionary item paths and of the change reports (remove, key change, value change)
// that climb from a change to the root.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/runtime/dictionary.h"
#include "tests/support/dictionary_trees.h"

namespace {

struct Event {
    std::string kind;
    Dictionary* level;
    DictionaryItem* holder;
    std::string path;
    std::string old;
    bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Event& e) {
    return out << e.kind << " " << e.path << " old=" << e.old;
}

struct Recorder {
    std::vector<Event> events;
    std::vector<std::string> Paths() const {
        std::vector<std::string> paths;
        for (const Event& e : events) paths.push_back(e.path);
        return paths;
    }
};

int64_t OnRemove(Dictionary* dict, DictionaryItem* item, void* context, const char* path) {
    static_cast<Recorder*>(context)->events.push_back({"remove", dict, item, path, ""});
    return 1;
}

int64_t OnKey(Dictionary* dict, DictionaryItem* item, void* context, const char* path, const char* oldKey) {
    static_cast<Recorder*>(context)->events.push_back({"key", dict, item, path, oldKey ? oldKey : "(null)"});
    return 1;
}

int64_t OnValue(Dictionary* dict, DictionaryItem* item, void* context, const char* path, const char* oldValue,
                uint32_t oldLength) {
    std::string old = oldValue ? std::string(oldValue, oldLength) : "(null)";
    static_cast<Recorder*>(context)->events.push_back({"value", dict, item, path, old});
    return 1;
}

// root { a: { tags: ["x", "y", "z"] } }
struct Tree : DictTree {
    DictionaryItem* a = ItemAt(dict, 0);
    Dictionary* aChild = Descend(dict, {0});
    DictionaryItem* tags = ItemAt(aChild, 0);
    Dictionary* tagList = Descend(aChild, {0});
    DictionaryItem* tag[3] = {ItemAt(tagList, 0), ItemAt(tagList, 1), ItemAt(tagList, 2)};
    Tree() : DictTree("{a:{tags:['x','y','z']}}") {}
};

TEST(DictionaryPath, ItemPaths) {
    Tree t;
    FillTree(t, "{l:[null,[null]],null}");
    Dictionary* outer = Descend(t, {1});
    Dictionary* inner = Descend(outer, {1});
    DictTree other;
    struct Case {
        Dictionary* dict;
        DictionaryItem* item;
        Dictionary* ancestor;
        int32_t size;
        const char* path;
        int64_t result;
    };
    // clang-format off
    const Case cases[] = {
        {t.tagList, t.tag[2], nullptr, 4096, "a.tags[2]", 0}, {t.tagList, t.tag[2], t, 4096, "a.tags[2]", 1},
        {t.tagList, t.tag[2], t.aChild, 4096, "tags[2]", 1}, {t.tagList, t.tag[2], t.tagList, 4096, "[2]", 1},
        {t.tagList, t.tag[0], other, 4096, "a.tags[0]", 0}, {t.aChild, t.tags, t, 4096, "a.tags", 1},
        {t, t.a, t, 4096, "a", 1}, {inner, ItemAt(inner, 0), t, 4096, "l[1][0]", 1},
        {outer, ItemAt(outer, 1), t, 4096, "l[1]", 1}, {t, ItemAt(t, 2), t, 4096, "[2]", 1},
        // Cut at the buffer as a bounded print cuts.
        {t.tagList, t.tag[2], t, 5, "a.ta", 1}, {t.tagList, t.tag[2], t, 8, "a.tags[", 1},
        {t.tagList, t.tag[2], t, 2, "a", 1}, {t.tagList, t.tag[2], t, 1, "", 1},
    };
    // clang-format on
    for (const Case& c : cases) {
        std::string buffer((size_t)c.size, '#');
        EXPECT_EQ(Dictionary_ItemGetPath(c.dict, c.item, c.ancestor, buffer.data(), c.size), c.result)
            << c.path;
        EXPECT_STREQ(buffer.c_str(), c.path);
    }
    // A size of 0 writes nothing.
    char untouched[4] = "abc";
    Dictionary_ItemGetPath(t.tagList, t.tag[1], nullptr, untouched, 0);
    EXPECT_STREQ(untouched, "abc");
}

TEST(DictionaryCallbacks, ValueChangesReachTheRootWithFullPaths) {
    Recorder r; // outlives the tree, whose release reports
    Tree t;
    Dictionary_SetItemValueChangeCallback(t, &r, OnValue);
    Dictionary_ItemSetBuffer(t.tagList, t.tag[2], "new", 3);
    EXPECT_EQ(r.events, (std::vector<Event>{{"value", t, t.a, "a.tags[2]", "z"}}));

    // Equal text, cleared text and a retype report nothing.
    r.events.clear();
    Dictionary_ItemSetBuffer(t.tagList, t.tag[2], "new", 3);
    Dictionary_ItemSetBuffer(t.tagList, t.tag[1], nullptr, 0);
    Dictionary_ItemSetType(t.tagList, t.tag[0], DICTIONARY_TYPE_INT64);
    EXPECT_TRUE(r.events.empty());

    // A first text reports a missing old text; so does an Int64 added.
    Dictionary_ItemSetBuffer(t.tagList, t.tag[0], "5", 1);
    Dictionary_AddInt64(t.aChild, "n", 7, nullptr);
    EXPECT_EQ(r.events, (std::vector<Event>{{"value", t, t.a, "a.tags[0]", "(null)"},
                                            {"value", t, t.a, "a.n", "(null)"}}));

    // Text on an item of type Unknown, List or Dictionary reports nothing.
    r.events.clear();
    DictionaryItem* unknown = nullptr;
    Dictionary_Add(t.aChild, "u", &unknown);
    Dictionary_ItemSetBuffer(t.aChild, unknown, "text", 4);
    Dictionary_ItemSetBuffer(t.aChild, t.tags, "text", 4);
    // Booleans report through ItemSetBoolean when the value changes, not when added.
    DictionaryItem* flag = nullptr;
    Dictionary_AddBoolean(t.aChild, "flag", 0, &flag);
    EXPECT_TRUE(r.events.empty());
    for (uint32_t value : {1, 1, 0}) Dictionary_ItemSetBoolean(t.aChild, flag, value);
    EXPECT_EQ(r.events, (std::vector<Event>{{"value", t, t.a, "a.flag", "false"},
                                            {"value", t, t.a, "a.flag", "true"}}));
}

TEST(DictionaryCallbacks, EveryLevelWithASlotIsCalled) {
    Recorder atRoot, atList;
    Tree t;
    Dictionary_SetItemValueChangeCallback(t, &atRoot, OnValue);
    Dictionary_SetItemValueChangeCallback(t.tagList, &atList, OnValue);
    Dictionary_ItemSetBuffer(t.tagList, t.tag[1], "Y", 1);
    EXPECT_EQ(atList.events, (std::vector<Event>{{"value", t.tagList, t.tag[1], "[1]", "y"}}));
    EXPECT_EQ(atRoot.events, (std::vector<Event>{{"value", t, t.a, "a.tags[1]", "y"}}));
}

TEST(DictionaryCallbacks, KeyChanges) {
    Recorder r;
    DictTree d;
    Dictionary_SetItemKeyChangeCallback(d, &r, OnKey);
    DictionaryItem *k, *u;
    Dictionary_Add(d, "k", &k);
    Dictionary_ItemSetKey(d, k, ".k2");
    Dictionary_Add(d, nullptr, &u);
    Dictionary_ItemSetKey(d, k, nullptr);
    Dictionary_Remove(d, &u);
    Dictionary_ItemSetKey(d, k, "back");
    // The key was cleared in between, so the old key is missing again.
    EXPECT_EQ(r.events,
              (std::vector<Event>{
                  {"key", d, k, "k", "(null)"}, {"key", d, k, "k2", "k"}, {"key", d, k, "back", "(null)"}}));
}

TEST(DictionaryCallbacks, ListIndexesMoveAfterRemovalAndInsertion) {
    Recorder r, atList;
    DictTree root("{l:[0,1,2,3],d:{x:?,y:?}}");
    Dictionary* list = Descend(root, {0});
    DictionaryItem* l = ItemAt(root, 0);
    Dictionary_SetItemKeyChangeCallback(root, &r, OnKey);
    Dictionary_SetItemRemoveCallback(root, &r, OnRemove);

    DictionaryItem* item = ItemAt(list, 1);
    Dictionary_Remove(list, &item);
    EXPECT_EQ(r.events, (std::vector<Event>{{"remove", root, l, "l[1]", ""},
                                            {"key", root, l, "l[1]", "(null)"},
                                            {"key", root, l, "l[2]", "(null)"}}));
    r.events.clear();
    Dictionary_Insert(list, nullptr, nullptr, nullptr);
    EXPECT_EQ(r.Paths(), (std::vector<std::string>{"l[1]", "l[2]", "l[3]"}));

    // Appending and removing the last element move nothing; keyed siblings do not move.
    r.events.clear();
    Dictionary_Append(list, nullptr, &item);
    Dictionary_Remove(list, &item);
    item = ItemAt(Descend(root, {1}), 0);
    Dictionary_Remove(Descend(root, {1}), &item);
    EXPECT_EQ(r.Paths(), (std::vector<std::string>{"l[4]", "d.x"}));

    // Only the root's slot turns the index reports on.
    Dictionary_SetItemKeyChangeCallback(root, nullptr, nullptr);
    Dictionary_SetItemKeyChangeCallback(list, &atList, OnKey);
    item = ItemAt(list, 0);
    Dictionary_Remove(list, &item);
    EXPECT_TRUE(atList.events.empty());
}

TEST(DictionaryCallbacks, RemovalsOfContainersAndReset) {
    Recorder r; // outlives the tree, whose release reports
    Tree t;
    Dictionary_SetItemRemoveCallback(t, &r, OnRemove);
    Dictionary_AddNull(t, "b", nullptr);
    Dictionary_Reset(t);
    EXPECT_EQ(r.Paths(),
              (std::vector<std::string>{"b", "a.tags[2]", "a.tags[1]", "a.tags[0]", "a.tags", "a"}));
    EXPECT_EQ(ItemCount(t), 0u);
}

// Only slots that are set hear about a reset: a watched child deep in an unwatched tree reports its
// own removals, with paths relative to itself, and the tree is emptied either way.
TEST(DictionaryCallbacks, ResetReportsOnlyWhereWatched) {
    for (int resetChildFirst = 0; resetChildFirst < 2; resetChildFirst++) {
        Recorder atList;
        Tree t;
        Dictionary_SetItemRemoveCallback(t.tagList, &atList, OnRemove);
        FillTree(t, "{b:{k:'v'}}");
        Dictionary_Reset(resetChildFirst ? t.aChild : t.dict);
        EXPECT_EQ(atList.Paths(), (std::vector<std::string>{"[2]", "[1]", "[0]"}));
        EXPECT_EQ(ItemCount(resetChildFirst ? t.aChild : t.dict), 0u);
        EXPECT_EQ(Dictionary_AddString(t, "c", "w", nullptr), 1); // the emptied tree takes new items
    }
}

} // namespace
