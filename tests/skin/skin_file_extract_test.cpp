// Tests of skin file extraction: into memory and read back in Base64 slices, to a file that
// appears only when complete (an old file survives every failure, no partial file is left), and
// the workflow task type with its argument rules.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "tests/support/oracle_process.h"
#include "skin/skin_file.h"
#include "skin/skin_file_extract.h"
#include "tests/skin/script_class_call.h"
#include "tests/support/temp_dir.h"
#include "tests/tasks/task_library_fixture.h"

namespace {

std::string Base64(const std::string& bytes) {
    auto out = RunOracle("base64 -w0", bytes);
    return out.value_or("<failed>");
}

class SkinFileExtractTest : public TaskLibraryTest {
  protected:
    TempDir skin, out;
    std::string data;
    std::vector<std::string> events;

    void SetUp() override {
        TaskLibraryTest::SetUp();
        for (size_t i = 0; i < 40000; i++) data += (char)((i * 7 + i / 256) & 0xff);
        Put(skin.file("data.bin"), data);
        Put(skin.file("empty.txt"), "");
        ASSERT_EQ(SkinFile_Attach(skin.path().c_str()), 1);
        for (const char* name : {"Start", "Complete"})
            NotificationCenter_AddObserver("SkinFileExtract", name, this, OnEvent);
    }
    void TearDown() override {
        for (const char* name : {"Start", "Complete"})
            NotificationCenter_RemoveObserver("SkinFileExtract", name, this, OnEvent);
        SkinFile_Remove();
        TaskLibraryTest::TearDown();
    }
    static int64_t OnEvent(void* user, const char*, const char* name, const char*, Dictionary* info) {
        uint32_t flag = 0;
        std::string entry = name;
        if (info && Dictionary_GetBooleanByKey(info, "successful", &flag) == 1) entry += flag ? ":true" : ":false";
        static_cast<SkinFileExtractTest*>(user)->events.push_back(entry);
        return 1;
    }
    static void Put(const std::string& path, const std::string& content) {
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }
    std::set<std::string> Listing() const {
        std::set<std::string> names;
        DIR* d = opendir(out.path().c_str());
        for (dirent* e = d ? readdir(d) : nullptr; e; e = readdir(d))
            if (e->d_name[0] != '.' || (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")))
                names.insert(e->d_name);
        if (d) closedir(d);
        return names;
    }
    bool Completed() const { return !events.empty() && events.back().rfind("Complete", 0) == 0; }

    // Runs an extraction to the end; its notifications.
    std::vector<std::string> Extract(const std::string& name, const std::string& output) {
        events.clear();
        SkinFileExtract* extract = nullptr;
        SkinFileExtract_Create(&extract);
        SkinFileExtract_SetFilename(extract, name.c_str());
        SkinFileExtract_SetOutputFilename(extract, output.c_str());
        SkinFileExtract_Start(extract);
        EXPECT_TRUE(events.empty());
        EXPECT_TRUE(PumpUntil([&] { return Completed(); }));
        EXPECT_EQ(SkinFileExtract_IsDone(extract), 1);
        SkinFileExtract_Release(&extract);
        return events;
    }
};

const std::vector<std::string> kOk = {"Start", "Complete:true"};
const std::vector<std::string> kFailed = {"Start", "Complete:false"};

TEST_F(SkinFileExtractTest, IntoMemoryReadBackInSlices) {
    ScriptObject object;
    ASSERT_TRUE(object.Create("QVR.SkinFileExtract"));
    EXPECT_EQ(object.Call("setFilename", "\"filename\": \"data.bin\""), "{\"returnValue\":true}");
    EXPECT_EQ(object.Call("getFilename"), "{\"returnValue\":\"data.bin\"}");
    EXPECT_EQ(object.Call("getOutputFilename"), "{\"returnValue\":\"\"}");
    EXPECT_EQ(object.Call("start"), "{\"returnValue\":true}");
    EXPECT_TRUE(PumpUntil([&] { return Completed(); }));
    EXPECT_EQ(events, kOk);
    EXPECT_EQ(object.Call("getBufferSize"), "{\"returnValue\":40000}");
    struct Slice {
        const char* arguments;
        std::string expected;
    };
    const Slice slices[] = {
        {"\"offset\": 0, \"length\": 10", "\"" + Base64(data.substr(0, 10)) + "\""},
        {"\"offset\": 16380, \"length\": 9", "\"" + Base64(data.substr(16380, 9)) + "\""},
        {"\"offset\": 39995, \"length\": 100", "\"" + Base64(data.substr(39995)) + "\""},
        {"\"offset\": 40000, \"length\": 1", "null"},
        {"\"offset\": -1, \"length\": 1", "null"},
        {"\"offset\": 5, \"length\": 0", "null"},
    };
    for (const Slice& s : slices)
        EXPECT_EQ(object.Call("getBuffer", s.arguments), "{\"returnValue\":" + s.expected + "}") << s.arguments;
    EXPECT_EQ(object.Call("getBuffer", "\"offset\": 0"), "0 {\"returnValue\":null}");
}

TEST_F(SkinFileExtractTest, ToFileReplacesWholeOnlyWhenComplete) {
    const std::string target = out.file("t.bin");
    Put(target, std::string(50000, 'o'));
    EXPECT_EQ(Extract("data.bin", target), kOk);
    EXPECT_EQ(ReadFile(target), data);
    EXPECT_EQ(Extract("empty.txt", out.file("e.txt")), kOk);
    EXPECT_EQ(ReadFile(out.file("e.txt")), "");
    struct stat info {};
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    // Failures leave the old file and nothing beside it.
    Put(target, "old");
    EXPECT_EQ(Extract("missing.bin", target), kFailed);
    EXPECT_EQ(Extract("data.bin", out.file("no/dir/t.bin")), kFailed);
    EXPECT_EQ(Extract("data.bin", out.path()), kFailed) << "a directory is no file name";
    EXPECT_EQ(ReadFile(target), "old");
    EXPECT_EQ(Listing(), (std::set<std::string>{"e.txt", "t.bin"}));

    // A link at the target is replaced, not written through.
    const std::string elsewhere = skin.file("victim");
    Put(elsewhere, "keep");
    ASSERT_EQ(symlink(elsewhere.c_str(), out.file("link").c_str()), 0);
    EXPECT_EQ(Extract("data.bin", out.file("link")), kOk);
    EXPECT_EQ(ReadFile(elsewhere), "keep");
    EXPECT_EQ(ReadFile(out.file("link")), data);
}

TEST_F(SkinFileExtractTest, AnEntryThatEndsEarlyIsAFailure) {
    const std::string target = out.file("t.bin");
    Put(target, "old");
    SkinFileExtract* extract = nullptr;
    SkinFileExtract_Create(&extract);
    SkinFileExtract_SetFilename(extract, "data.bin");
    SkinFileExtract_SetOutputFilename(extract, target.c_str());
    SkinFileExtract_Start(extract);
    SkinFileExtract_Process(extract); // opens, takes the first 16384 bytes
    ASSERT_EQ(truncate(skin.file("data.bin").c_str(), 20000), 0);
    EXPECT_TRUE(PumpUntil([&] { return Completed(); }));
    EXPECT_EQ(events, kFailed);
    EXPECT_EQ(SkinFileExtract_IsOk(extract), 0);
    EXPECT_EQ(ReadFile(target), "old");
    EXPECT_EQ(Listing(), std::set<std::string>{"t.bin"});
    SkinFileExtract_Release(&extract);
}

TEST_F(SkinFileExtractTest, TaskTypeComesWithTheSkinLibrary) {
    ASSERT_EQ(SkinInterop_Init(), 1);
    char id[40] = {};
    Workflow_GetInstanceId(workflow, id, sizeof(id));
    NotificationCenter_Fire("Workflow", "RegisterTaskHandlers", id, nullptr);
    Pump(3);
    const TaskInterface* record = nullptr;
    ASSERT_EQ(Workflow_FindTaskHandler(workflow, "SkinFileExtract", &record), 1);
    ASSERT_NE(record, nullptr);

    int runs = 0;
    std::string name;
    auto run = [&](const std::string& arguments) {
        name = "x" + std::to_string(++runs);
        Define("{\"" + name + "\": {\"type\": \"SkinFileExtract\"" + arguments + "}}");
        return RunTask(name.c_str(), 30);
    };
    // An existing directory receives the file under the skin file's own name.
    Run r = run(", \"path\": \"data.bin\", \"outputPath\": \"" + out.path() + "\"");
    EXPECT_TRUE(r.successful);
    EXPECT_EQ(ReadFile(out.file("data.bin")), data);
    EXPECT_EQ(Status(name, "outputPath"), out.file("data.bin"));

    r = run(", \"path\": \"data.bin\"");
    EXPECT_EQ(r.errors, std::vector<std::string>{"Task_Error_MissingArg"});
    EXPECT_TRUE(Printed("\"outputPath\" argument not defined"));
    r = run(", \"outputPath\": \"" + out.file("y") + "\"");
    EXPECT_EQ(r.errors, std::vector<std::string>{"Task_Error_MissingArg"});
    r = run(", \"path\": \"missing.bin\", \"outputPath\": \"" + out.file("y") + "\"");
    EXPECT_EQ(r.errors, std::vector<std::string>{"Platform_Error_AccessInvalid"});
    EXPECT_EQ(Listing(), std::set<std::string>{"data.bin"});

    NotificationCenter_Fire("Workflow", "UnregisterTaskHandlers", id, nullptr);
    Pump(3);
    EXPECT_EQ(Workflow_FindTaskHandler(workflow, "SkinFileExtract", &record), 0);
    SkinInterop_Remove();
}

} // namespace
