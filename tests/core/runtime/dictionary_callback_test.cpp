// Tests of dictionary item paths and of the change reports (remove, key change, value change)
// that climb from a change to the root.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/runtime/dictionary.h"

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

struct Tree {
    Dictionary* root = nullptr;
    DictionaryItem* a = nullptr;
    Dictionary* aChild = nullptr;
    DictionaryItem* tags = nullptr;
    Dictionary* tagList = nullptr;
    DictionaryItem* tag[3] = {};
    // root { a: { tags: ["x", "y", "z"] } }
    Tree() {
        Dictionary_Create(&root);
        Dictionary_AddDictionary(root, "a", &aChild, &a);
        Dictionary_AddList(aChild, "tags", &tagList, &tags);
        const char* texts[] = {"x", "y", "z"};
        for (int i = 0; i < 3; i++) Dictionary_AddString(tagList, nullptr, texts[i], &tag[i]);
    }
    ~Tree() { Dictionary_Release(&root); }
};

std::string Path(Dictionary* dict, DictionaryItem* item, Dictionary* ancestor, int32_t size,
                 int64_t* result) {
    std::string buffer(size > 0 ? (size_t)size : 1, '#');
    *result = Dictionary_ItemGetPath(dict, item, ancestor, buffer.data(), size);
    return buffer.c_str();
}

TEST(DictionaryPath, Paths) {
    Tree t;
    DictionaryItem* nested = nullptr;
    Dictionary* inner = nullptr;
    DictionaryItem* innerItem = nullptr;
    Dictionary* outer = nullptr;
    Dictionary_AddList(t.root, "l", &outer, nullptr);
    Dictionary_AddNull(outer, nullptr, nullptr);
    Dictionary_AddList(outer, nullptr, &inner, &innerItem);
    Dictionary_AddNull(inner, nullptr, &nested);
    DictionaryItem* unnamed = nullptr;
    Dictionary_AddNull(t.root, nullptr, &unnamed);
    Dictionary* other = nullptr;
    Dictionary_Create(&other);

    struct Case {
        Dictionary* dict;
        DictionaryItem* item;
        Dictionary* ancestor;
        int32_t size;
        const char* path;
        int64_t result;
    };
    const Case cases[] = {
        {t.tagList, t.tag[2], nullptr, 4096, "a.tags[2]", 0},
        {t.tagList, t.tag[2], t.root, 4096, "a.tags[2]", 1},
        {t.tagList, t.tag[2], t.aChild, 4096, "tags[2]", 1},
        {t.tagList, t.tag[2], t.tagList, 4096, "[2]", 1},
        {t.tagList, t.tag[0], other, 4096, "a.tags[0]", 0},
        {t.aChild, t.tags, t.root, 4096, "a.tags", 1},
        {t.root, t.a, t.root, 4096, "a", 1},
        {inner, nested, t.root, 4096, "l[1][0]", 1},
        {outer, innerItem, t.root, 4096, "l[1]", 1},
        {t.root, unnamed, t.root, 4096, "[2]", 1},
        // Cut at the buffer as a bounded print cuts.
        {t.tagList, t.tag[2], t.root, 5, "a.ta", 1},
        {t.tagList, t.tag[2], t.root, 8, "a.tags[", 1},
        {t.tagList, t.tag[2], t.root, 2, "a", 1},
        {t.tagList, t.tag[2], t.root, 1, "", 1},
    };
    for (const Case& c : cases) {
        int64_t result = -1;
        EXPECT_EQ(Path(c.dict, c.item, c.ancestor, c.size, &result), c.path) << c.path;
        EXPECT_EQ(result, c.result) << c.path;
    }
    // A size of 0 writes nothing.
    char untouched[4] = "abc";
    Dictionary_ItemGetPath(t.tagList, t.tag[1], nullptr, untouched, 0);
    EXPECT_STREQ(untouched, "abc");
    Dictionary_Release(&other);
}

TEST(DictionaryCallbacks, SlotsStoreContextAndFunction) {
    Dictionary* d = nullptr;
    Dictionary_Create(&d);
    Recorder r;
    void* context = nullptr;
    DictionaryItemRemoveCallback remove = nullptr;
    DictionaryItemKeyChangeCallback key = nullptr;
    DictionaryItemValueChangeCallback value = nullptr;
    EXPECT_EQ(Dictionary_GetItemRemoveCallback(d, &context, &remove), 0);
    EXPECT_EQ(remove, nullptr);
    Dictionary_SetItemRemoveCallback(d, &r, OnRemove);
    Dictionary_SetItemKeyChangeCallback(d, &r, OnKey);
    Dictionary_SetItemValueChangeCallback(d, &r, OnValue);
    EXPECT_EQ(Dictionary_GetItemRemoveCallback(d, &context, &remove), 1);
    EXPECT_EQ(context, &r);
    EXPECT_EQ(remove, OnRemove);
    EXPECT_EQ(Dictionary_GetItemKeyChangeCallback(d, &context, &key), 1);
    EXPECT_EQ(key, OnKey);
    EXPECT_EQ(Dictionary_GetItemValueChangeCallback(d, nullptr, &value), 1);
    EXPECT_EQ(value, OnValue);
    Dictionary_SetItemKeyChangeCallback(d, nullptr, nullptr);
    EXPECT_EQ(Dictionary_GetItemKeyChangeCallback(d, &context, &key), 0);
    EXPECT_EQ(context, nullptr);
    Dictionary_Release(&d);
}

TEST(DictionaryCallbacks, ValueChangesReachTheRootWithFullPaths) {
    Tree t;
    Recorder r;
    Dictionary_SetItemValueChangeCallback(t.root, &r, OnValue);

    Dictionary_ItemSetBuffer(t.tagList, t.tag[2], "new", 3);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0], (Event{"value", t.root, t.a, "a.tags[2]", "z"}));

    // Equal text, cleared text and a retype report nothing.
    r.events.clear();
    Dictionary_ItemSetBuffer(t.tagList, t.tag[2], "new", 3);
    Dictionary_ItemSetBuffer(t.tagList, t.tag[1], nullptr, 0);
    Dictionary_ItemSetType(t.tagList, t.tag[0], DICTIONARY_TYPE_INT64);
    EXPECT_TRUE(r.events.empty());

    // A first text reports a missing old text; so does an Int64 added.
    Dictionary_ItemSetBuffer(t.tagList, t.tag[0], "5", 1);
    Dictionary_AddInt64(t.aChild, "n", 7, nullptr);
    ASSERT_EQ(r.events.size(), 2u);
    EXPECT_EQ(r.events[0], (Event{"value", t.root, t.a, "a.tags[0]", "(null)"}));
    EXPECT_EQ(r.events[1], (Event{"value", t.root, t.a, "a.n", "(null)"}));

    // Text on an item of type Unknown, List or Dictionary reports nothing.
    r.events.clear();
    DictionaryItem* unknown = nullptr;
    Dictionary_Add(t.aChild, "u", &unknown);
    Dictionary_ItemSetBuffer(t.aChild, unknown, "text", 4);
    Dictionary_ItemSetBuffer(t.aChild, t.tags, "text", 4);
    EXPECT_TRUE(r.events.empty());

    // Booleans report through ItemSetBoolean when the value changes.
    DictionaryItem* flag = nullptr;
    Dictionary_AddBoolean(t.aChild, "flag", 0, &flag);
    EXPECT_TRUE(r.events.empty());
    Dictionary_ItemSetBoolean(t.aChild, flag, 1);
    Dictionary_ItemSetBoolean(t.aChild, flag, 1);
    Dictionary_ItemSetBoolean(t.aChild, flag, 0);
    ASSERT_EQ(r.events.size(), 2u);
    EXPECT_EQ(r.events[0], (Event{"value", t.root, t.a, "a.flag", "false"}));
    EXPECT_EQ(r.events[1], (Event{"value", t.root, t.a, "a.flag", "true"}));
}

TEST(DictionaryCallbacks, EveryLevelWithASlotIsCalled) {
    Tree t;
    Recorder atRoot, atList;
    Dictionary_SetItemValueChangeCallback(t.root, &atRoot, OnValue);
    Dictionary_SetItemValueChangeCallback(t.tagList, &atList, OnValue);
    Dictionary_ItemSetBuffer(t.tagList, t.tag[1], "Y", 1);
    ASSERT_EQ(atList.events.size(), 1u);
    EXPECT_EQ(atList.events[0], (Event{"value", t.tagList, t.tag[1], "[1]", "y"}));
    ASSERT_EQ(atRoot.events.size(), 1u);
    EXPECT_EQ(atRoot.events[0], (Event{"value", t.root, t.a, "a.tags[1]", "y"}));
}

TEST(DictionaryCallbacks, KeyChanges) {
    Dictionary* d = nullptr;
    Dictionary_Create(&d);
    Recorder r;
    Dictionary_SetItemKeyChangeCallback(d, &r, OnKey);
    DictionaryItem *k, *u;
    Dictionary_Add(d, "k", &k);
    Dictionary_ItemSetKey(d, k, ".k2");
    Dictionary_Add(d, nullptr, &u);
    Dictionary_ItemSetKey(d, k, nullptr);
    Dictionary_Remove(d, &u);
    Dictionary_ItemSetKey(d, k, "back");
    ASSERT_EQ(r.events.size(), 3u);
    EXPECT_EQ(r.events[0], (Event{"key", d, k, "k", "(null)"}));
    EXPECT_EQ(r.events[1], (Event{"key", d, k, "k2", "k"}));
    // The key was cleared in between, so the old key is missing again.
    EXPECT_EQ(r.events[2], (Event{"key", d, k, "back", "(null)"}));
    Dictionary_Release(&d);
}

TEST(DictionaryCallbacks, ListIndexesMoveAfterRemovalAndInsertion) {
    Dictionary* root = nullptr;
    Dictionary_Create(&root);
    Dictionary* list = nullptr;
    DictionaryItem* l = nullptr;
    Dictionary_AddList(root, "l", &list, &l);
    DictionaryItem* e[4];
    for (int i = 0; i < 4; i++) Dictionary_AddInt32(list, nullptr, i, &e[i]);
    Recorder r;
    Dictionary_SetItemKeyChangeCallback(root, &r, OnKey);
    Dictionary_SetItemRemoveCallback(root, &r, OnRemove);

    Dictionary_Remove(list, &e[1]);
    const std::vector<Event> afterRemoval = {
        {"remove", root, l, "l[1]", ""},
        {"key", root, l, "l[1]", "(null)"},
        {"key", root, l, "l[2]", "(null)"},
    };
    EXPECT_EQ(r.events, afterRemoval);

    r.events.clear();
    DictionaryItem* front = nullptr;
    Dictionary_Insert(list, nullptr, nullptr, &front);
    const std::vector<Event> afterInsertion = {
        {"key", root, l, "l[1]", "(null)"},
        {"key", root, l, "l[2]", "(null)"},
        {"key", root, l, "l[3]", "(null)"},
    };
    EXPECT_EQ(r.events, afterInsertion);

    // Appending and removing the last element move nothing.
    r.events.clear();
    DictionaryItem* last = nullptr;
    Dictionary_Append(list, nullptr, &last);
    Dictionary_Remove(list, &last);
    EXPECT_EQ(r.events, (std::vector<Event>{{"remove", root, l, "l[4]", ""}}));

    // Keyed siblings in a Dictionary do not move.
    r.events.clear();
    Dictionary* sub = nullptr;
    Dictionary_AddDictionary(root, "d", &sub, nullptr);
    DictionaryItem *x, *y;
    Dictionary_Add(sub, "x", &x);
    Dictionary_Add(sub, "y", &y);
    r.events.clear();
    Dictionary_Remove(sub, &x);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].path, "d.x");

    // Only the root's slot turns the index reports on.
    Dictionary_SetItemKeyChangeCallback(root, nullptr, nullptr);
    Recorder atList;
    Dictionary_SetItemKeyChangeCallback(list, &atList, OnKey);
    DictionaryItem* first = nullptr;
    Dictionary_ItemGetFirst(list, &first);
    Dictionary_Remove(list, &first);
    EXPECT_TRUE(atList.events.empty());
    Dictionary_Release(&root);
}

TEST(DictionaryCallbacks, RemovalsOfContainersAndReset) {
    Tree t;
    Recorder r;
    Dictionary_SetItemRemoveCallback(t.root, &r, OnRemove);
    Dictionary_AddNull(t.root, "b", nullptr);
    Dictionary_Reset(t.root);
    const std::vector<std::string> expected = {"b", "a.tags[2]", "a.tags[1]", "a.tags[0]", "a.tags", "a"};
    std::vector<std::string> paths;
    for (const Event& e : r.events) paths.push_back(e.path);
    EXPECT_EQ(paths, expected);
    uint32_t count = 9;
    Dictionary_ItemGetCount(t.root, &count);
    EXPECT_EQ(count, 0u);
}

// Only slots that are set hear about a reset: a watched child deep in an unwatched tree reports its
// own removals, with paths relative to itself, and the tree is emptied either way.
TEST(DictionaryCallbacks, ResetReportsOnlyWhereWatched) {
    for (int resetChildFirst = 0; resetChildFirst < 2; resetChildFirst++) {
        Tree t;
        Recorder atList;
        Dictionary_SetItemRemoveCallback(t.tagList, &atList, OnRemove);
        Dictionary* other = nullptr;
        Dictionary_AddDictionary(t.root, "b", &other, nullptr);
        Dictionary_AddString(other, "k", "v", nullptr);
        if (resetChildFirst) Dictionary_Reset(t.aChild);
        else Dictionary_Reset(t.root);
        std::vector<std::string> paths;
        for (const Event& e : atList.events) paths.push_back(e.path);
        EXPECT_EQ(paths, (std::vector<std::string>{"[2]", "[1]", "[0]"}));
        uint32_t count = 9;
        Dictionary_ItemGetCount(resetChildFirst ? t.aChild : t.root, &count);
        EXPECT_EQ(count, 0u);
        // The emptied tree takes new items.
        DictionaryItem* item = nullptr;
        EXPECT_EQ(Dictionary_AddString(t.root, "c", "w", &item), 1);
    }
}

} // namespace
