// Tests of loading JSON from files and saving it to files: round trips, missing and unreadable
// files, and saves that fail without touching the file they were to replace.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string_print.h"
#include "tests/support/temp_dir.h"

namespace {

std::vector<std::string> printed;

int64_t Collect(void*, const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    String_VPrint(line, sizeof(line), format, args);
    va_end(args);
    printed.push_back(line);
    return 1;
}

struct Loaded {
    JSON* json = nullptr;
    Dictionary* dict = nullptr;
    Loaded() {
        JSON_Create(&json);
        Dictionary_Create(&dict);
        JSON_SetDictionaryHandle(json, dict);
        JSON_SetPrintCallback(json, nullptr, Collect);
        printed.clear();
    }
    ~Loaded() {
        JSON_Delete(&json);
        Dictionary_Release(&dict);
    }
    std::string Text() {
        uint32_t length = 0;
        JSON_SaveBufferEstimate(json, &length);
        std::string out(length, '\0');
        JSON_SaveBuffer(json, out.data(), length, &length);
        out.resize(length);
        return out;
    }
};

TEST(JsonFile, SaveAndLoadRoundTrip) {
    TempDir dir;
    const std::string document = R"({"name":"caf\u00e9","list":[1,2.5,true,null,{"k":"v"}],"empty":{}})";
    Loaded source;
    ASSERT_EQ(JSON_LoadBuffer(source.json, document.data(), (uint32_t)document.size()), 1);
    const std::string path = dir.path() + "/sub/dir/out.json";
    // A longer file in the way: the save leaves none of it behind.
    ASSERT_EQ(JSON_SaveFile(source.json, path.c_str()), 1);
    EXPECT_EQ(ReadFile(path), source.Text());
    ASSERT_TRUE(WriteText(path, std::string(4096, ' ') + "[1]"));
    ASSERT_EQ(JSON_SaveFile(source.json, path.c_str()), 1);
    EXPECT_EQ(ReadFile(path), source.Text());

    Loaded copy;
    ASSERT_EQ(JSON_LoadFile(copy.json, path.c_str()), 1);
    EXPECT_EQ(copy.Text(), source.Text());

    // Indented output round-trips as well.
    JSON_SetMinify(source.json, 0);
    ASSERT_EQ(JSON_SaveFile(source.json, path.c_str()), 1);
    Loaded again;
    ASSERT_EQ(JSON_LoadFile(again.json, path.c_str()), 1);
    EXPECT_EQ(again.Text(), copy.Text());
}

TEST(JsonFile, LoadFailures) {
    TempDir dir;
    Loaded l;
    const std::string missing = dir.path() + "/missing.json";
    EXPECT_EQ(JSON_LoadFile(l.json, missing.c_str()), 0);
    ASSERT_FALSE(printed.empty());
    EXPECT_NE(printed.back().find("Unable to open file (" + missing + ")"), std::string::npos) << printed.back();

    // A directory where a file is expected, an empty file and a truncated document.
    EXPECT_EQ(JSON_LoadFile(l.json, dir.path().c_str()), 0);
    const std::string empty = dir.path() + "/empty.json";
    ASSERT_TRUE(WriteText(empty, ""));
    EXPECT_EQ(JSON_LoadFile(l.json, empty.c_str()), 0);
    const std::string cut = dir.path() + "/cut.json";
    ASSERT_TRUE(WriteText(cut, R"({"a":[1,2,{"b":"unfinished)"));
    EXPECT_EQ(JSON_LoadFile(l.json, cut.c_str()), 0);

    // A good load after the failures: the earlier contents are gone.
    const std::string good = dir.path() + "/good.json";
    ASSERT_TRUE(WriteText(good, R"({"x":1})"));
    ASSERT_EQ(JSON_LoadFile(l.json, good.c_str()), 1);
    EXPECT_EQ(l.Text(), R"({"x":1})");
}

TEST(JsonFile, FailedSavesLeaveTheFileAlone) {
    TempDir dir;
    const std::string path = dir.path() + "/keep.json";
    ASSERT_TRUE(WriteText(path, R"({"old":true})"));

    // Nothing bound, or nothing to write.
    JSON* unbound = nullptr;
    JSON_Create(&unbound);
    EXPECT_EQ(JSON_SaveFile(unbound, path.c_str()), 0);
    JSON_Delete(&unbound);
    Loaded empty;
    EXPECT_EQ(JSON_SaveFile(empty.json, path.c_str()), 0);
    EXPECT_EQ(ReadFile(path), R"({"old":true})");

    // A directory in the file's place cannot be written.
    Loaded l;
    ASSERT_EQ(JSON_LoadString(l.json, "%s", R"({"new":1})"), 1);
    EXPECT_EQ(JSON_SaveFile(l.json, dir.path().c_str()), 0);
    EXPECT_TRUE(FileExists(dir.path()));
    EXPECT_EQ(ReadFile(path), R"({"old":true})");
}

} // namespace
