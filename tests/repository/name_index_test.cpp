#include "repository/name_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Names {
    std::vector<std::string> Texts;
    std::vector<bool> Absent;
    int Asked = 0;
};

const char* NameOf(void* context, uint32_t number) {
    Names* names = static_cast<Names*>(context);
    names->Asked++;
    return names->Absent[number] ? nullptr : names->Texts[number].c_str();
}

struct NameIndexTest : ::testing::Test {
    Names names;
    NameIndex index{};

    void Build(std::vector<std::string> texts, bool caseless, uint32_t* duplicate = nullptr) {
        names.Texts = std::move(texts);
        names.Absent.assign(names.Texts.size(), false);
        for (size_t i = 0; i < names.Texts.size(); i++) names.Absent[i] = names.Texts[i] == "<none>";
        NameIndex_Init(&index, caseless, NameOf, &names);
        ASSERT_TRUE(NameIndex_Build(&index, (uint32_t)names.Texts.size(), duplicate));
    }
    int Find(const char* key) {
        uint32_t number = 99;
        if (!NameIndex_Find(&index, key, &number)) {
            EXPECT_EQ(number, 0u);
            return -1;
        }
        return (int)number;
    }
    void TearDown() override { NameIndex_Free(&index); }
};

TEST_F(NameIndexTest, FirstHolderKeptAndFirstRepeatReported) {
    uint32_t duplicate = 0;
    Build({"a", "b", "<none>", "B", "a", "b", "c"}, false, &duplicate);
    EXPECT_EQ(duplicate, 4u); // "a" again, before the second "b"
    const struct {
        const char* Key;
        int Number;
    } cases[] = {{"a", 0}, {"b", 1}, {"B", 3}, {"c", 6}, {"<none>", -1}, {"", -1}, {"ab", -1}};
    for (const auto& c : cases) EXPECT_EQ(Find(c.Key), c.Number) << c.Key;
}

TEST_F(NameIndexTest, CaselessFoldsAsciiOnly) {
    uint32_t duplicate = 0;
    Build({"Dir/File.TXT", "dir/file.txt", "\xC3\x89t\xC3\xA9"}, true, &duplicate);
    EXPECT_EQ(duplicate, 1u);
    EXPECT_EQ(Find("DIR/FILE.txt"), 0);
    EXPECT_EQ(Find("\xC3\x89T\xC3\xA9"), 2);
    EXPECT_EQ(Find("\xC3\xA9t\xC3\xA9"), -1);
}

TEST_F(NameIndexTest, NoRepeatLeavesTheCountAndARebuildForgets) {
    uint32_t duplicate = 0;
    Build({"x", "y"}, false, &duplicate);
    EXPECT_EQ(duplicate, 2u);
    names.Texts = {"z"};
    names.Absent = {false};
    ASSERT_TRUE(NameIndex_Build(&index, 1, &duplicate));
    EXPECT_EQ(duplicate, 1u);
    EXPECT_EQ(Find("z"), 0);
    EXPECT_EQ(Find("y"), -1);
}

// Far more names than the table's first size, with long common prefixes: each is found at its
// own number.
TEST_F(NameIndexTest, ManyNamesEachFound) {
    std::vector<std::string> texts;
    for (int i = 0; i < 100000; i++)
        texts.push_back("content/dir" + std::to_string(i / 100) + "/file" + std::to_string(i));
    uint32_t duplicate = 0;
    Build(texts, true, &duplicate);
    EXPECT_EQ(duplicate, 100000u);
    for (int i = 0; i < 100000; i += 997) EXPECT_EQ(Find(names.Texts[(size_t)i].c_str()), i);
    EXPECT_EQ(Find("content/dir0/file100"), -1);
}

TEST_F(NameIndexTest, TooManyNamesRefusedWithoutReadingThem) {
    NameIndex_Init(&index, false, NameOf, &names);
    uint32_t duplicate = 0;
    EXPECT_FALSE(NameIndex_Build(&index, kNameIndexMaxNames + 1, &duplicate));
    EXPECT_EQ(names.Asked, 0);
    EXPECT_EQ(Find("a"), -1);
}

} // namespace
