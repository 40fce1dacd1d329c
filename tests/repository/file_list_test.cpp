// The file table filled value by value as a manifest scan hands it over, and its index: layout
// with and without pad ranges, lookups by offset and by name, and the layouts it refuses.
#include "repository/file_list.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/formats/json.h"
#include "repository/padding.h"

namespace {

struct File {
    std::string Name;
    int64_t Size; // -1: no "size"
    int64_t Pad;  // -1: no "pad"
};

void Add(FileList* list, const std::string& path, const std::string& text, uint32_t type = JSON_VALUE_STRING) {
    uint32_t error = 99;
    EXPECT_EQ(FileList_MemberAddByValue(list, path.c_str(), type, text.data(), (int32_t)text.size(), &error), 1);
    EXPECT_EQ(error, 0u);
}

void Fill(FileList* list, const std::vector<File>& files, bool flush = true) {
    for (size_t i = 0; i < files.size(); i++) {
        const std::string at = "files\\" + std::to_string(i);
        Add(list, at, "", JSON_VALUE_OBJECT);
        if (!files[i].Name.empty()) Add(list, at + "\\name", files[i].Name);
        if (files[i].Size >= 0) Add(list, at + "\\size", std::to_string(files[i].Size), JSON_VALUE_NUMBER);
        if (files[i].Pad != -1) Add(list, at + "\\pad", std::to_string(files[i].Pad), JSON_VALUE_NUMBER);
    }
    if (flush) FileList_MemberFlush(list);
}

class FileListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        FileList_Create(&list);
        FileList_IndexCreate(&index);
        Padding_Create(&padding);
        Padding_IndexCreate(&paddingIndex);
    }
    void TearDown() override {
        FileList_IndexRelease(&index);
        FileList_Release(&list);
        Padding_IndexRelease(&paddingIndex);
        Padding_Release(&padding);
    }
    void Ranges(const std::vector<std::pair<uint64_t, uint32_t>>& ranges) {
        for (size_t i = 0; i < ranges.size(); i++) {
            const std::string at = "pad\\" + std::to_string(i);
            const std::string offset = std::to_string(ranges[i].first), size = std::to_string(ranges[i].second);
            Padding_MemberAddByValue(padding, (at + "\\offset").c_str(), JSON_VALUE_NUMBER, offset.data(),
                                     (int32_t)offset.size(), nullptr);
            Padding_MemberAddByValue(padding, (at + "\\size").c_str(), JSON_VALUE_NUMBER, size.data(),
                                     (int32_t)size.size(), nullptr);
        }
        Padding_MemberFlush(padding);
        ASSERT_EQ(Padding_IndexMake(paddingIndex, padding), 1);
    }
    // Name and start of the file found at the offset; "" when none.
    std::pair<std::string, uint64_t> At(uint64_t offset) {
        FileListMember* m = nullptr;
        uint64_t start = 0;
        if (!FileList_IndexFindByOffset(index, offset, &m, &start)) return {"", 0};
        char name[64];
        FileList_MemberGetName(list, m, name, sizeof(name));
        return {name, start};
    }
    std::vector<int64_t> Paddings() {
        std::vector<int64_t> out;
        FileListMember* m = nullptr;
        for (FileList_MemberGetFirst(list, &m); m; FileList_MemberGetNext(list, m, &m)) {
            int64_t pad = -1;
            FileList_MemberGetPadding(list, m, &pad);
            out.push_back(pad);
        }
        return out;
    }
    FileList* list = nullptr;
    FileListIndex* index = nullptr;
    Padding* padding = nullptr;
    PaddingIndex* paddingIndex = nullptr;
};

TEST_F(FileListTest, LayoutFromSizesAndOwnPadding) {
    Fill(list, {{"a.bin", 10, 6}, {"Dir/B.txt", 5, -1}, {"empty", -1, -1}, {"c", 3, 13}}, false);
    // An "offset" in the manifest is never taken: the index computes every offset.
    Add(list, "files\\3\\offset", "999", JSON_VALUE_NUMBER);
    FileList_MemberFlush(list);
    ASSERT_EQ(FileList_IndexMake(index, list, nullptr, nullptr), 1);
    uint64_t length = 0, pad = 0;
    FileList_IndexGetTotalLength(index, &length);
    FileList_IndexGetTotalPadding(index, &pad);
    EXPECT_EQ(length, 18u);
    EXPECT_EQ(pad, 19u);
    const struct {
        uint64_t Offset;
        std::string Name;
        uint64_t Start;
    } cases[] = {
        {0, "a.bin", 0}, {9, "a.bin", 0},  {15, "a.bin", 0}, // 10..15 is a.bin's padding
        {16, "Dir/B.txt", 16}, {20, "Dir/B.txt", 16},
        {21, "empty", 21}, // the empty file starts there; "c" as well
        {22, "c", 21},     {36, "c", 21},    {37, "", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(At(c.Offset), std::make_pair(c.Name, c.Start)) << c.Offset;
    FileListMember* m = nullptr;
    uint64_t start = 0;
    ASSERT_EQ(FileList_IndexFindByName(index, "dir/b.TXT", &m, &start), 1);
    EXPECT_EQ(start, 16u);
    uint64_t offset = 0;
    EXPECT_EQ(FileList_MemberGetOffset(list, m, &offset), 1);
    EXPECT_EQ(offset, 16u);
    EXPECT_EQ(FileList_IndexFindByName(index, "dir/b.tx", &m, &start), 0);
    EXPECT_EQ(m, nullptr);
}

TEST_F(FileListTest, LookupsAcrossManyBuckets) {
    std::vector<File> files;
    for (int i = 0; i < 250; i++) files.push_back({"f" + std::to_string(i), 7 + i % 5, i % 3});
    Fill(list, files);
    ASSERT_EQ(FileList_IndexMake(index, list, nullptr, nullptr), 1);
    uint64_t start = 0;
    for (int i = 0; i < 250; i++) {
        const uint64_t span = (uint64_t)(7 + i % 5 + i % 3);
        EXPECT_EQ(At(start), std::make_pair(files[i].Name, start)) << i;
        EXPECT_EQ(At(start + span - 1), std::make_pair(files[i].Name, start)) << i;
        // The place found is the file's place in stream order; fetching ahead changes nothing.
        FileListMember* m = nullptr;
        FileListMember* placed = nullptr;
        uint32_t at = 9999;
        EXPECT_EQ(FileList_IndexFindByOffset(index, start + span - 1, &m, nullptr, &at), 1);
        EXPECT_EQ(at, (uint32_t)i);
        EXPECT_EQ(FileList_IndexGetMemberAt(index, at, &placed), 1);
        EXPECT_EQ(placed, m);
        EXPECT_EQ(FileList_IndexPrefetch(index, at, start + 100), 1);
        start += span;
    }
    EXPECT_EQ(At(start).first, "");
    FileListMember* none = nullptr;
    uint32_t at = 9999;
    EXPECT_EQ(FileList_IndexFindByOffset(index, start, &none, nullptr, &at), 0);
    EXPECT_EQ(at, 0u);
    EXPECT_EQ(FileList_IndexPrefetch(index, 250, UINT64_MAX) + FileList_IndexPrefetch(index, UINT32_MAX, 0),
              2);
    EXPECT_EQ(At(0), std::make_pair(files[0].Name, (uint64_t)0));
}

// A lookup from a place answers as the plain lookup does, whatever the place: over lists whose
// names repeat with or without regard to case, and lists whose names are all distinct.
TEST(FileListIndex, LookupFromAPlaceAnswersAsTheLookup) {
    std::mt19937 random(4242);
    const char* const stems[] = {"a", "A", "b", "d/c", "D/C", "e"};
    for (int round = 0; round < 60; round++) {
        FileList* list = nullptr;
        FileListIndex* index = nullptr;
        FileList_Create(&list);
        FileList_IndexCreate(&index);
        std::vector<File> files;
        std::vector<std::string> queries = {"absent", "A0"};
        const int count = 1 + (int)(random() % 12);
        for (int i = 0; i < count; i++) {
            // Half the rounds keep every name distinct; the others draw from few stems, which
            // repeat some exactly and some in another case.
            const std::string name = round % 2
                                         ? std::string(stems[random() % 6]) + std::to_string(random() % 3)
                                         : "n" + std::to_string(i);
            files.push_back({name, 1 + (int64_t)(random() % 4), 0});
            queries.push_back(name);
        }
        Fill(list, files);
        ASSERT_EQ(FileList_IndexMake(index, list, nullptr, nullptr), 1);
        for (const std::string& name : queries) {
            FileListMember* expected = nullptr;
            uint32_t expectedAt = 99;
            const int64_t found =
                FileList_IndexFindByName(index, name.c_str(), &expected, nullptr, &expectedAt);
            for (uint32_t hint = 0; hint <= (uint32_t)count + 1; hint++) {
                FileListMember* member = nullptr;
                uint32_t at = 77;
                EXPECT_EQ(FileList_IndexFindByNameNear(index, name.c_str(), hint, &member, &at), found);
                EXPECT_EQ(member, expected) << name << " from " << hint << " in round " << round;
                EXPECT_EQ(at, expectedAt) << name << " from " << hint << " in round " << round;
            }
            FileListMember* member = nullptr;
            EXPECT_EQ(FileList_IndexFindByNameNear(index, name.c_str(), UINT32_MAX, &member), found);
            EXPECT_EQ(member, expected);
        }
        FileList_IndexRelease(&index);
        FileList_Release(&list);
    }
}

TEST_F(FileListTest, EmptyFilesSharingAnOffsetFindTheFirst) {
    // The two empty files close the first hundred entries, so the first of them and the file after
    // them lie in different buckets of a hundred.
    std::vector<File> files;
    for (int i = 0; i < 98; i++) files.push_back({"f" + std::to_string(i), 1, -1});
    files.push_back({"empty1", 0, -1});
    files.push_back({"empty2", 0, -1});
    files.push_back({"full", 4, -1});
    Fill(list, files);
    ASSERT_EQ(FileList_IndexMake(index, list, nullptr, nullptr), 1);
    EXPECT_EQ(At(98), std::make_pair(std::string("empty1"), (uint64_t)98));
    EXPECT_EQ(At(99), std::make_pair(std::string("full"), (uint64_t)98));
}

TEST_F(FileListTest, PaddingFromRanges) {
    // "a" takes two ranges (the second one touches the span the first one grew); "empty" gets 0
    // whatever it says; "b" takes the range right after its data; "c" the last one.
    Fill(list, {{"a", 10, 999}, {"empty", 0, 77}, {"b", 4, -1}, {"c", 2, -1}});
    Ranges({{10, 3}, {13, 5}, {22, 2}, {26, 6}});
    ASSERT_EQ(FileList_IndexMake(index, list, padding, paddingIndex), 1);
    EXPECT_EQ(Paddings(), (std::vector<int64_t>{8, 0, 2, 6}));
    EXPECT_EQ(At(18), std::make_pair(std::string("empty"), (uint64_t)18));
    EXPECT_EQ(At(25), std::make_pair(std::string("c"), (uint64_t)24));
    EXPECT_EQ(At(31), std::make_pair(std::string("c"), (uint64_t)24));
}

TEST_F(FileListTest, RefusedLayouts) {
    const struct {
        std::vector<File> Files;
        bool WithRanges;
    } cases[] = {
        {{{"a", 1, -1}, {"", 2, -1}}, false},                 // a file without a name
        {{{"a", 1, -1}, {"b", 2, -1}}, true},                 // no range at or after "b"
        {{{"a", 1, -5}}, false},                              // negative padding
        {{{"a", 1, 2147483648}}, false},                      // padding past a 32-bit count
        {{{"a", -1, -1}, {"b", 1, -1}}, false},               // size "-1" (of "b") reads as 2^64 - 1
        {{{"a", 4611686018427387904, 0}, {"b", 4611686018427387904, 0}}, false}, // 2^63 bytes
    };
    for (const auto& c : cases) {
        FileList_Reset(list);
        Padding_Reset(padding);
        Fill(list, c.Files, false);
        if (c.Files.size() == 2 && c.Files[0].Size == -1) Add(list, "files\\1\\size", "-1", JSON_VALUE_NUMBER);
        FileList_MemberFlush(list);
        if (c.WithRanges) Ranges({{0, 1}});
        EXPECT_EQ(FileList_IndexMake(index, list, c.WithRanges ? padding : nullptr, paddingIndex), 0)
            << c.Files[0].Name << c.Files.size();
        uint32_t count = 9;
        FileList_IndexGetCount(index, &count);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(At(0).first, "");
    }
    FileList_Reset(list);
    Fill(list, {{"a", 1, 2147483647}});
    EXPECT_EQ(FileList_IndexMake(index, list, nullptr, nullptr), 1);
}

TEST_F(FileListTest, OnlyAFieldsOwnScalarIsTaken) {
    Add(list, "files\\0\\NAME", "x/y");
    Add(list, "files\\0\\size\\deeper", "77", JSON_VALUE_NUMBER); // below a field: not the field
    Add(list, "files\\1\\name", "", JSON_VALUE_OBJECT);            // a container is no name
    Add(list, "files", "", JSON_VALUE_ARRAY);
    Add(list, "files\\2\\name", std::string(2 << 20, 'n')); // no path is that long
    FileList_MemberFlush(list);
    uint32_t count = 0;
    FileList_GetCount(list, &count);
    ASSERT_EQ(count, 3u);
    FileListMember* m = nullptr;
    FileList_MemberGetFirst(list, &m);
    uint64_t size = 5;
    EXPECT_STREQ(FileList_MemberGetNamePtr(list, m), "x/y");
    EXPECT_EQ(FileList_MemberGetSize(list, m, &size), 0);
    FileList_MemberGetNext(list, m, &m);
    EXPECT_EQ(FileList_MemberGetNamePtr(list, m), nullptr);
    FileList_MemberGetNext(list, m, &m);
    EXPECT_EQ(FileList_MemberGetNamePtr(list, m), nullptr);
    EXPECT_EQ(FileList_IndexMake(index, list, nullptr, nullptr), 0);
}

// A number field is read whole however long its text, in the text's own bounds: a modified time
// of 67 characters is 1733700000, not the 1.7337 of its first 63.
TEST_F(FileListTest, NumberFieldsAreReadWhole) {
    const std::string mtime = "1.7337" + std::string(59, '0') + "e9";
    ASSERT_EQ(mtime.size(), 67u);
    const std::string size = std::string(70, '0') + "12345";
    // Held in buffers of exactly their size, so that a read past the text is caught.
    std::vector<char> at(mtime.begin(), mtime.end()), sized(size.begin(), size.end());
    Add(list, "files\\0", "", JSON_VALUE_OBJECT);
    uint32_t error = 99;
    ASSERT_EQ(FileList_MemberAddByValue(list, "files\\0\\mtime", JSON_VALUE_NUMBER, at.data(), (int32_t)at.size(),
                                        &error), 1);
    ASSERT_EQ(FileList_MemberAddByValue(list, "files\\0\\size", JSON_VALUE_NUMBER, sized.data(),
                                        (int32_t)sized.size(), &error), 1);
    Add(list, "files\\1\\mtime", "1733700000.123456e0", JSON_VALUE_NUMBER);
    Add(list, "files\\1\\attr", "0x1F");
    FileList_MemberFlush(list);
    FileListMember* m = nullptr;
    FileList_MemberGetFirst(list, &m);
    double seconds = 0;
    uint64_t bytes = 0;
    EXPECT_EQ(FileList_MemberGetModifiedTime(list, m, &seconds), 1);
    EXPECT_EQ(seconds, 1733700000.0);
    EXPECT_EQ(FileList_MemberGetSize(list, m, &bytes), 1);
    EXPECT_EQ(bytes, 12345u);
    FileList_MemberGetNext(list, m, &m);
    EXPECT_EQ(FileList_MemberGetModifiedTime(list, m, &seconds), 1);
    EXPECT_EQ(seconds, 1733700000.123456);
    uint32_t attributes = 0;
    EXPECT_EQ(FileList_MemberGetAttributes(list, m, &attributes), 1);
    EXPECT_EQ(attributes, 31u);
}

} // namespace

namespace {

// The end of the last file data: trailing empty files and padding count for nothing, and a
// failed layout leaves none.
TEST_F(FileListTest, DataEndIsTheLastFileDataEnd) {
    const struct {
        const char* What;
        std::vector<File> Files;
        uint64_t End;
    } cases[] = {
        {"padding after the last data", {{"a", 10, 6}, {"b", 5, -1}, {"e", -1, -1}, {"c", 3, 13}}, 24},
        {"empty files with padding last", {{"a", 4, 2}, {"e", 0, 5}, {"f", -1, 3}}, 4},
        {"no data", {{"e", 0, 7}, {"f", -1, -1}}, 0},
    };
    for (const auto& c : cases) {
        FileList_Reset(list);
        Fill(list, c.Files);
        ASSERT_EQ(FileList_IndexMake(index, list, nullptr, nullptr), 1) << c.What;
        uint64_t end = 99;
        EXPECT_EQ(FileList_IndexGetDataEnd(index, &end), 1);
        EXPECT_EQ(end, c.End) << c.What;
    }
    FileList_Reset(list);
    Fill(list, {{"a", 4, 0}, {"", 3, 0}});
    EXPECT_EQ(FileList_IndexMake(index, list, nullptr, nullptr), 0);
    uint64_t end = 99;
    FileList_IndexGetDataEnd(index, &end);
    EXPECT_EQ(end, 0u);
}

} // namespace
