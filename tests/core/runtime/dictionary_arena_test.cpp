// Tests of the tree's arena (reuse by size, alignment, large blocks, release), of the loaders'
// one-step append against the calls it stands for, and of the writers' one-step item view.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_internal.h"
#include "core/runtime/dictionary_load.h"
#include "tests/support/dictionary_trees.h"

namespace {

TEST(DictionaryArena, FreedBlocksServeTheirSizeAgain) {
    DictionaryTree* tree = DictionaryTree_Create(8);
    void* a = DictionaryTree_Alloc(tree, 56);
    void* b = DictionaryTree_Alloc(tree, 20);
    EXPECT_EQ((uintptr_t)a % 8, 0u);
    EXPECT_EQ((uintptr_t)b % 8, 0u);
    DictionaryTree_Free(tree, a, 56);
    DictionaryTree_Free(tree, b, 20);
    // Same class: the freed block back; another class: fresh room.
    EXPECT_EQ(DictionaryTree_Alloc(tree, 50), a);
    EXPECT_EQ(DictionaryTree_Alloc(tree, 17), b);
    void* c = DictionaryTree_Alloc(tree, 600);
    DictionaryTree_Free(tree, c, 600);
    EXPECT_EQ(DictionaryTree_Alloc(tree, 1000), c);
    DictionaryTree_Delete(&tree);
    EXPECT_EQ(tree, nullptr);
}

TEST(DictionaryArena, BlockBytesByClass) {
    const struct {
        size_t Size, Bytes;
    } cases[] = {{0, 8}, {1, 8}, {8, 8}, {9, 16}, {56, 56}, {250, 256}, {256, 256}, {257, 512},
                 {600, 1024}, {8192, 8192}, {8193, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(DictionaryTree_BlockBytes(c.Size), c.Bytes) << c.Size;
        EXPECT_EQ(DictionaryTree_SmallBlockBytes(c.Size), c.Bytes) << c.Size;
    }
}

TEST(DictionaryArena, AlignedRequestsSkipMisalignedFreeBlocks) {
    DictionaryTree* tree = DictionaryTree_Create(8);
    for (int round = 0; round < 64; round++) {
        void* odd = DictionaryTree_Alloc(tree, 8 + (round % 3) * 8);
        void* aligned = DictionaryTree_Alloc(tree, 112, true);
        EXPECT_EQ((uintptr_t)aligned % 16, 0u);
        void* plain = DictionaryTree_Alloc(tree, 112);
        DictionaryTree_Free(tree, plain, 112);
        DictionaryTree_Free(tree, odd, 8 + (round % 3) * 8);
        EXPECT_EQ((uintptr_t)DictionaryTree_Alloc(tree, 112, true) % 16, 0u);
    }
    DictionaryTree_Delete(&tree);
}

TEST(DictionaryArena, LargeBlocksAreRecordedAndReleased) {
    DictionaryTree* tree = DictionaryTree_Create(8);
    const uint32_t before = DictionaryTree_BlockCount(tree);
    std::vector<char*> large;
    for (int i = 0; i < 3; i++) {
        char* text = static_cast<char*>(DictionaryTree_Alloc(tree, 100000));
        memset(text, 'x', 100000);
        large.push_back(text);
    }
    EXPECT_EQ(DictionaryTree_BlockCount(tree), before + 3);
    DictionaryTree_Free(tree, large[1], 100000);
    EXPECT_EQ(DictionaryTree_BlockCount(tree), before + 2);
    // Many small ones take few blocks.
    for (int i = 0; i < 10000; i++) DictionaryTree_Alloc(tree, 56);
    EXPECT_LT(DictionaryTree_BlockCount(tree), 20u);
    DictionaryTree_Clear(tree);
    EXPECT_EQ(DictionaryTree_BlockCount(tree), 0u);
    EXPECT_NE(DictionaryTree_Alloc(tree, 8), nullptr);
    DictionaryTree_Delete(&tree);
}

// A tree grown through many large blocks, whose room is handed out a window at a time: every
// request (plain, 16-byte aligned, carved) gets room of its own, and what was written stays.
TEST(DictionaryArena, LargeTreeHandsOutDistinctRoom) {
    DictionaryTree* tree = DictionaryTree_Create(8);
    std::vector<std::pair<uint8_t*, size_t>> pieces;
    uint32_t seed = 1;
    for (size_t total = 0; total < (12u << 20);) {
        seed = seed * 1103515245u + 12345u;
        size_t size = 1 + (seed >> 8) % ((seed & 0x30) == 0 ? 8192 : 200);
        uint8_t* at = nullptr;
        switch ((seed >> 4) % 3) {
        case 0:
            at = static_cast<uint8_t*>(DictionaryTree_Alloc(tree, size));
            break;
        case 1:
            at = static_cast<uint8_t*>(DictionaryTree_Alloc(tree, size, true));
            ASSERT_EQ((uintptr_t)at % 16, 0u);
            break;
        default:
            size = DictionaryTree_BlockBytes(size);
            at = static_cast<uint8_t*>(DictionaryTree_Carve(tree, size));
        }
        memset(at, (int)(pieces.size() % 251), size);
        pieces.emplace_back(at, size);
        total += size;
    }
    for (size_t i = 0; i < pieces.size(); i++) {
        const std::vector<uint8_t> want(pieces[i].second, (uint8_t)(i % 251));
        ASSERT_EQ(memcmp(pieces[i].first, want.data(), want.size()), 0) << i;
    }
    DictionaryTree_Delete(&tree);
}

// A tree built, edited (values grown, keys renamed, items removed) and dropped whole, with
// texts large enough to leave the blocks.
TEST(DictionaryArena, EditedTreeReadsBackAndDrops) {
    DictTree d("{a:'1',l:[1,2,{x:'y'}],s:'short'}");
    const std::string big(20000, 'b');
    Dictionary_SetStringByKey(d, "s", big.c_str());
    Dictionary_SetStringByKey(d, "a", "a longer text than before");
    DictionaryItem* item = FindKey(d, "l");
    Dictionary_ItemSetKey(d, item, "renamed");
    Dictionary* list = ChildOf(d, item);
    DictionaryItem* first = ItemAt(list, 0);
    Dictionary_Remove(list, &first);
    EXPECT_EQ(Render(d), "{a:'a longer text than before',renamed:[2,{x:'y'}],s:'" + big + "'}");
    Dictionary_SetStringByKey(d, "s", "small again");
    EXPECT_EQ(Render(d), "{a:'a longer text than before',renamed:[2,{x:'y'}],s:'small again'}");
}

// ---- One-step append ------------------------------------------------------------------------

struct Step {
    const char* Key; // null: unnamed
    int32_t KeyLength;
    uint32_t Type;
    const char* Text;
};

// The calls a loader would make instead.
void AppendByCalls(Dictionary* dict, const Step& step) {
    std::string key = step.Key ? std::string(step.Key, (size_t)step.KeyLength) : std::string();
    key = key.c_str(); // up to a NUL
    DictionaryItem* item = nullptr;
    Dictionary_Add(dict, step.Key ? key.c_str() : nullptr, &item);
    Dictionary_ItemSetType(dict, item, step.Type);
    if (step.Type == DICTIONARY_TYPE_BOOLEAN)
        Dictionary_ItemSetBoolean(dict, item, step.Text[0] == 't' || step.Text[0] == 'T');
    else if (step.Type != DICTIONARY_TYPE_NULL && step.Type < DICTIONARY_TYPE_LIST)
        Dictionary_ItemSetBuffer(dict, item, step.Text, (int32_t)strlen(step.Text));
}

std::vector<std::string>* g_reports = nullptr;

int64_t OnValue(Dictionary*, DictionaryItem*, void*, const char* path, const char* old, uint32_t length) {
    g_reports->push_back(std::string("value ") + path + " " + (old ? std::string(old, length) : "-"));
    return 1;
}

int64_t OnKey(Dictionary*, DictionaryItem*, void*, const char* path, const char* old) {
    g_reports->push_back(std::string("key ") + path + " " + (old ? old : "-"));
    return 1;
}

TEST(DictionaryArena, AppendLoadedMatchesTheCalls) {
    const std::string longKey(130, 'k');
    const Step steps[] = {
        {"s", 1, DICTIONARY_TYPE_STRING, "text"},
        {"n", 1, DICTIONARY_TYPE_FLOAT64, "-2.5e3"},
        {"t", 1, DICTIONARY_TYPE_BOOLEAN, "true"},
        {"f", 1, DICTIONARY_TYPE_BOOLEAN, "false"},
        {"z", 1, DICTIONARY_TYPE_NULL, ""},
        {nullptr, 0, DICTIONARY_TYPE_STRING, "unnamed"},
        {"#hidden", 7, DICTIONARY_TYPE_STRING, "p"},
        {"ab\0cd", 5, DICTIONARY_TYPE_STRING, "cut at the NUL"},
        {"s", 1, DICTIONARY_TYPE_STRING, "again"},
        {longKey.c_str(), (int32_t)longKey.size(), DICTIONARY_TYPE_STRING, "long key"},
        {"e", 1, DICTIONARY_TYPE_STRING, ""},
        {"l", 1, DICTIONARY_TYPE_LIST, ""},
        {"d", 1, DICTIONARY_TYPE_DICTIONARY, ""},
    };
    for (int watched = 0; watched < 2; watched++) {
        for (uint32_t duplicates = 0; duplicates < 2; duplicates++) {
            std::vector<std::string> loadedReports, calledReports;
            DictTree loaded, called;
            PrintLines loadedLines, calledLines;
            loadedLines.Watch(loaded);
            calledLines.Watch(called);
            for (Dictionary* dict : {loaded.dict, called.dict}) {
                Dictionary_SetAllowDuplicates(dict, duplicates);
                if (watched) {
                    Dictionary_SetItemValueChangeCallback(dict, nullptr, OnValue);
                    Dictionary_SetItemKeyChangeCallback(dict, nullptr, OnKey);
                }
            }
            // Enough items for the key index, so that lookups go through it afterwards.
            for (int round = 0; round < 3; round++) {
                for (const Step& step : steps) {
                    g_reports = &loadedReports;
                    Dictionary* child = nullptr;
                    EXPECT_EQ(Dictionary_AppendLoaded(loaded, step.Key, step.KeyLength, step.Type, step.Text,
                                                      (int32_t)strlen(step.Text), &child),
                              1);
                    EXPECT_EQ(child != nullptr, step.Type >= DICTIONARY_TYPE_LIST);
                    g_reports = &calledReports;
                    AppendByCalls(called, step);
                }
            }
            g_reports = nullptr;
            EXPECT_EQ(Render(loaded), Render(called)) << watched << duplicates;
            EXPECT_EQ(loadedReports, calledReports);
            EXPECT_EQ(loadedLines.Texts(), calledLines.Texts());
            EXPECT_EQ(ItemText(loaded, FindKey(loaded, "n")), "-2.5e3");
            EXPECT_EQ(ItemText(loaded, FindKey(loaded, "ab")), "cut at the NUL");
            // Without duplicates: 11 keys and 3 unnamed items, and the over-long key twice more,
            // since it is looked up whole but stored cut.
            EXPECT_EQ(ItemCount(loaded), duplicates ? 39u : 16u);
        }
    }
}

TEST(DictionaryArena, ItemViewAnswersAsTheGetters) {
    for (uint32_t privateKeys = 0; privateKeys < 2; privateKeys++) {
        Dictionary* dict = nullptr;
        Dictionary_Create(&dict);
        Dictionary_SetPrivateKeys(dict, privateKeys);
        Dictionary_AddString(dict, "s", "text", nullptr);
        Dictionary_AddNull(dict, "#n", nullptr);
        Dictionary_AddBoolean(dict, nullptr, 1, nullptr);
        Dictionary_AddBoolean(dict, "f", 0, nullptr);
        Dictionary_AddFloat64(dict, "r", 2.5, nullptr);
        DictionaryItem* empty = nullptr;
        Dictionary_Add(dict, "e", &empty);
        Dictionary_ItemSetType(dict, empty, DICTIONARY_TYPE_STRING);
        Dictionary_Add(dict, "u", nullptr);
        DictionaryItem* cut = nullptr;
        Dictionary_AddInt32(dict, "x", 7, &cut);
        Dictionary_ItemSetKeyLength(dict, cut, "ab\0cd", 5);
        Dictionary* child = nullptr;
        Dictionary_AddList(dict, "l", &child, nullptr);
        DictionaryItem* item = nullptr;
        Dictionary_ItemGetFirst(dict, &item);
        for (; item; Dictionary_ItemGetNext(dict, item, &item)) {
            DictionaryItemView view{};
            ASSERT_EQ(Dictionary_ItemGetView(dict, item, &view), 1);
            const char* key = nullptr;
            Dictionary_ItemGetKeyPtr(dict, item, &key);
            EXPECT_EQ(view.Key, key);
            if (key) {
                EXPECT_EQ(std::string(view.Key, strnlen(view.Key, (size_t)view.KeyLength)), key);
            }
            uint32_t value = 0;
            Dictionary_ItemGetPrivate(dict, item, &value);
            EXPECT_EQ(view.Private, value);
            Dictionary_ItemGetType(dict, item, &value);
            EXPECT_EQ(view.Type, value);
            const char* text = nullptr;
            int32_t length = -1;
            Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
            EXPECT_EQ(view.Text, text);
            EXPECT_EQ(view.Length, length);
            Dictionary* itemChild = nullptr;
            Dictionary_ItemGetDictionaryHandle(dict, item, &itemChild);
            EXPECT_EQ(view.Child, itemChild);
            DictionaryItem* next = nullptr;
            Dictionary_ItemGetNext(dict, item, &next);
            EXPECT_EQ(view.Next, next);
        }
        DictionaryItemView view{};
        Dictionary_ItemGetLast(dict, &item);
        Dictionary_ItemGetView(dict, item, &view);
        EXPECT_EQ(view.Child, child);
        Dictionary_ItemGetFirst(dict, &item);
        Dictionary_ItemGetView(dict, item, &view);
        EXPECT_EQ(std::string(view.Text, (size_t)view.Length), "text");
        Dictionary_Release(&dict);
    }
}

// Past a few hundred loaded items, equal keys and short values are one text of the tree: a
// change to one item's key or value, a removal, a retype or an emptied container must leave
// every other holder of that text as it was.
TEST(DictionaryArena, SharedTextsChangeForOneItemOnly) {
    constexpr int kRecords = 300;
    DictTree d;
    for (int i = 0; i < kRecords; i++) {
        Dictionary* record = nullptr;
        ASSERT_EQ(Dictionary_AppendLoaded(d, "r", 1, DICTIONARY_TYPE_DICTIONARY, "", 0, &record), 1);
        Dictionary_AppendLoaded(record, "key", 3, DICTIONARY_TYPE_STRING, "same", 4, nullptr);
        Dictionary_AppendLoaded(record, "n", 1, DICTIONARY_TYPE_FLOAT64, "1", 1, nullptr);
    }
    Dictionary* last = ChildOf(d, ItemAt(d, kRecords - 1));
    Dictionary_ItemSetKey(last, ItemAt(last, 0), "renamed");
    Dictionary_ItemSetBuffer(last, ItemAt(last, 0), "other", 5);
    Dictionary_ItemSetBuffer(last, ItemAt(last, 1), "22", 2);
    Dictionary* removed = ChildOf(d, ItemAt(d, kRecords - 2));
    DictionaryItem* first = ItemAt(removed, 0);
    Dictionary_Remove(removed, &first);
    Dictionary* retyped = ChildOf(d, ItemAt(d, kRecords - 3));
    Dictionary_ItemSetType(retyped, ItemAt(retyped, 0), DICTIONARY_TYPE_LIST);
    Dictionary_Reset(ChildOf(d, ItemAt(d, kRecords - 4)));
    // New texts of the sizes just given back.
    Dictionary_AddString(last, "abc", "xyz", nullptr);
    Dictionary_AddString(removed, "k", "7", nullptr);

    EXPECT_EQ(Render(last), "{renamed:'other',n:22,abc:'xyz'}");
    EXPECT_EQ(Render(removed), "{n:1,k:'7'}");
    EXPECT_EQ(Render(retyped), "{key:[],n:1}");
    EXPECT_EQ(Render(ChildOf(d, ItemAt(d, kRecords - 4))), "{}");
    for (int i : {0, 255, 256, kRecords - 5})
        EXPECT_EQ(Render(ChildOf(d, ItemAt(d, (uint32_t)i))), "{key:'same',n:1}") << i;
}

// A List or Dictionary item may hold a text of its own beside its child's items.
TEST(DictionaryArena, ContainerTextBesideItsChild) {
    DictTree d("{d:{x:1},l:[2]}");
    DictionaryItem* item = FindKey(d, "d");
    Dictionary_ItemSetBuffer(d, item, "note", 4);
    Dictionary_AddString(ChildOf(d, item), "y", "two", nullptr);
    EXPECT_EQ(ItemText(d, item), "note");
    Dictionary_ItemSetBuffer(d, item, "a longer note than the first", 28);
    EXPECT_EQ(ItemText(d, item), "a longer note than the first");
    EXPECT_EQ(Render(d), "{d:{x:1,y:'two'},l:[2]}");
    // Retyped, the item drops text and child alike.
    Dictionary_ItemSetType(d, item, DICTIONARY_TYPE_STRING);
    EXPECT_EQ(ItemText(d, item), "");
    EXPECT_EQ(ChildOf(d, item), nullptr);
    // Removed or reset with its text, nothing is left behind.
    DictionaryItem* list = FindKey(d, "l");
    Dictionary_ItemSetBuffer(d, list, "list note", 9);
    Dictionary_Remove(d, &list);
    Dictionary_ItemSetBuffer(d, FindKey(d, "d"), "x", 1);
    Dictionary_AddDictionary(d, "e", nullptr, &item);
    Dictionary_ItemSetBuffer(d, item, "kept until the reset", 20);
    Dictionary_Reset(d);
    EXPECT_EQ(Render(d), "{}");
}

} // namespace
