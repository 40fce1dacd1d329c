#include "repository/storage_file_path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/hash_table.h"

namespace {

TEST(StorageFilePathCheck, NamesThatCouldLeaveTheDirectoryAreRefused) {
    const struct {
        const char* name;
        const char* normal; // null: refused
    } rows[] = {
        {"a/b/c.txt", "a/b/c.txt"},
        {"a\\b\\c.txt", "a/b/c.txt"},
        {"./a//b/./c", "a/b/c"},
        {"..a/b..", "..a/b.."},
        {"~/x", "~/x"},
        {"a/", "a"},
        {"..", nullptr},
        {"../etc/passwd", nullptr},
        {"a/../../b", nullptr},
        {"a/..", nullptr},
        {"a\\..\\b", nullptr},
        {"/etc/passwd", nullptr},
        {"\\etc\\passwd", nullptr},
        {"", nullptr},
        {".", nullptr},
        {"./", nullptr},
    };
    for (const auto& row : rows) {
        char out[STORAGE_FILE_PATH_SIZE] = "junk";
        const int64_t ok = StorageFilePath_Check(row.name, out, (int32_t)sizeof(out));
        EXPECT_EQ(ok, row.normal ? 1 : 0) << row.name;
        EXPECT_STREQ(out, row.normal ? row.normal : "") << row.name;
    }
    // A name that does not fit is refused rather than cut to another name.
    char small[6];
    EXPECT_EQ(StorageFilePath_Check("abc/def", small, (int32_t)sizeof(small)), 0);
    EXPECT_STREQ(small, "");
}

TEST(StorageFilePathReserved, EveryNameACopyCanTakeIsKeptFromManifests) {
    for (const char* name : {"a.quarvpartial", "a.quarvpartial~", "d/a.1.quarvpartial", "a.64.quarvpartial~",
                             "a.1.quarvpartial/b", ".quarvpartial"})
        EXPECT_EQ(StorageFilePath_IsReserved(name, ".quarvpartial"), 1) << name;
    for (const char* name : {"a", "a.quarvpartial.txt", "a.quarvpartial~~", "quarvpartial"})
        EXPECT_EQ(StorageFilePath_IsReserved(name, ".quarvpartial"), 0) << name;
}

TEST(StorageFilePathKept, TheNamesBesideTheLocalManifestAreTheInstallations) {
    const struct {
        const char* kept;
        const char* name;
        int64_t expected;
    } rows[] = {
        {"manifest.json", "manifest.json", 1},
        {"manifest.json", "MANIFEST.Json", 1},
        {"manifest.json", "manifest.json.replaced", 1},
        {"manifest.json", "manifest.json.replaced/readme.txt", 1},
        {"manifest.json", "manifest.json/x", 1},
        {"manifest.json", ".manifest.json.Ab12Cd", 1},
        {"manifest.json", ".manifest.json.replaced.Ab12Cd/x", 1},
        {"manifest.json", "manifest.json.txt", 0},
        {"manifest.json", "manifest.jso", 0},
        {"manifest.json", "manifest.json.replacedx", 0},
        {"manifest.json", ".manifest.json.", 0},
        {"manifest.json", "d/manifest.json", 0},
        {"manifest.json", "d/.manifest.json.Ab12Cd", 0},
        {"meta/manifest.json", "meta", 1},
        {"meta/manifest.json", "Meta", 1},
        {"meta/manifest.json", "meta/manifest.json.replaced", 1},
        {"meta/manifest.json", "meta/.manifest.json.x", 1},
        {"meta/manifest.json", "meta/other.json", 0},
        {"meta/manifest.json", "metafile", 0},
        {"meta/manifest.json", "manifest.json", 0},
        {"meta/manifest.json", ".manifest.json.Ab12Cd", 0},
        {"", "manifest.json", 0},
        {nullptr, "manifest.json", 0},
    };
    for (const auto& row : rows)
        EXPECT_EQ(StorageFilePath_IsKept(row.name, row.kept), row.expected) << (row.kept ? row.kept : "-") << " " << row.name;
}

TEST(StorageFilePathIgnore, EveryStringOfTheRootContainerIsKept) {
    const struct {
        const char* text;
        int64_t parsed;
        std::vector<std::string> kept, notKept;
    } rows[] = {
        {R"(["a/b.txt", "C", 3, {"d": "e"}, ["f"]])", 1, {"a/b.txt", "c"}, {"d", "e", "f", "3"}},
        {R"({"k": "v", "n": "Name"})", 1, {"v", "name"}, {"k", "n"}},
        {R"(["a", "unterminated)", 0, {"a"}, {"unterminated"}},
        {"", 0, {}, {"a"}},
    };
    for (const auto& row : rows) {
        HashTable* set = nullptr;
        StorageFilePath_IgnoreCreate(&set);
        EXPECT_EQ(StorageFilePath_IgnoreParse(row.text, (uint32_t)strlen(row.text), set), row.parsed) << row.text;
        for (const std::string& name : row.kept) EXPECT_TRUE(HashTable_ContainsKey(set, name.c_str())) << name;
        for (const std::string& name : row.notKept) EXPECT_FALSE(HashTable_ContainsKey(set, name.c_str())) << name;
        HashTable_Delete(&set);
    }
}

} // namespace
