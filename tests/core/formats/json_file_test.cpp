// Tests of loading JSON from files and saving it to files: round trips, missing and unreadable
// files, and saves that fail without touching the file they were to replace.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "tests/support/printed_lines.h"
#include "tests/support/temp_dir.h"

namespace {

struct Loaded {
    TempDir Dir;
    JSON* json = nullptr;
    Dictionary* dict = nullptr;
    std::vector<std::string> printed;
    explicit Loaded(bool bound = true) {
        JSON_Create(&json);
        Dictionary_Create(&dict);
        if (bound) JSON_SetDictionaryHandle(json, dict);
        JSON_SetPrintCallback(json, &printed, KeepLine);
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
        return out.substr(0, length);
    }
};

TEST(JsonFile, SaveAndLoadRoundTrip) {
    const std::string document = R"({"name":"caf\u00e9","list":[1,2.5,true,null,{"k":"v"}],"empty":{}})";
    Loaded source;
    ASSERT_EQ(JSON_LoadBuffer(source.json, document.data(), (uint32_t)document.size()), 1);
    const std::string path = source.Dir.path() + "/sub/dir/out.json";
    ASSERT_EQ(JSON_SaveFile(source.json, path.c_str()), 1);
    EXPECT_EQ(ReadFile(path), source.Text());
    // A longer file in the way: the save leaves none of it behind.
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
    Loaded l;
    const std::string missing = l.Dir.file("missing.json");
    EXPECT_EQ(JSON_LoadFile(l.json, missing.c_str()), 0);
    EXPECT_TRUE(HasLine(l.printed, "Unable to open file (" + missing + ")"));
    // A directory where a file is expected, an empty file and a truncated document.
    EXPECT_EQ(JSON_LoadFile(l.json, l.Dir.path().c_str()), 0);
    for (const std::string& text : {std::string(), std::string(R"({"a":[1,2,{"b":"unfinished)")}) {
        ASSERT_TRUE(WriteText(l.Dir.file("bad.json"), text));
        EXPECT_EQ(JSON_LoadFile(l.json, l.Dir.file("bad.json").c_str()), 0) << text;
    }
    // A good load after the failures: the earlier contents are gone.
    ASSERT_TRUE(WriteText(l.Dir.file("good.json"), R"({"x":1})"));
    ASSERT_EQ(JSON_LoadFile(l.json, l.Dir.file("good.json").c_str()), 1);
    EXPECT_EQ(l.Text(), R"({"x":1})");
}

TEST(JsonFile, FailedSavesLeaveTheFileAlone) {
    Loaded unbound(false), empty, l;
    const std::string path = l.Dir.file("keep.json");
    ASSERT_TRUE(WriteText(path, R"({"old":true})"));
    // Nothing bound, or nothing to write.
    EXPECT_EQ(JSON_SaveFile(unbound.json, path.c_str()), 0);
    EXPECT_EQ(JSON_SaveFile(empty.json, path.c_str()), 0);
    EXPECT_EQ(ReadFile(path), R"({"old":true})");
    // A directory in the file's place cannot be written.
    ASSERT_EQ(JSON_LoadString(l.json, "%s", R"({"new":1})"), 1);
    EXPECT_EQ(JSON_SaveFile(l.json, l.Dir.path().c_str()), 0);
    EXPECT_TRUE(FileExists(l.Dir.path()));
    EXPECT_EQ(ReadFile(path), R"({"old":true})");
}

} // namespace
