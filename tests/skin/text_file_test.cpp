// Tests of the text file reader and writer: chunks as notifications after the call, the end of
// a file that fills the last chunk exactly, failures as "Complete" false, shorter rewrites, and
// the script classes' replies.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include <string>
#include <thread>
#include <vector>

#include "skin/skin_file_extract.h"
#include "skin/text_file.h"
#include "tests/skin/script_class_call.h"
#include "tests/support/log_capture.h"
#include "tests/support/printed_lines.h"
#include "tests/support/temp_dir.h"
#include "tests/tasks/task_library_fixture.h"

namespace {

class TextFileTest : public TaskLibraryTest {
  protected:
    TempDir dir;
    // "Start", "Read:<text>", "Complete:true" ... in the order delivered.
    std::vector<std::string> events;
    std::vector<std::string> printed;

    void SetUp() override {
        TaskLibraryTest::SetUp();
        for (const char* name : {"Start", "Read", "Complete"})
            NotificationCenter_AddObserver("TextFileReader", name, this, OnEvent);
    }
    void TearDown() override {
        for (const char* name : {"Start", "Read", "Complete"})
            NotificationCenter_RemoveObserver("TextFileReader", name, this, OnEvent);
        TaskLibraryTest::TearDown();
    }

    static int64_t OnEvent(void* user, const char*, const char* name, const char*, Dictionary* info) {
        std::string entry = name;
        const char* text = nullptr;
        uint32_t flag = 0;
        if (info && Dictionary_GetStringPtrByKey(info, "text", &text) && text) entry += ":" + std::string(text);
        if (info && Dictionary_GetBooleanByKey(info, "successful", &flag) == 1) entry += flag ? ":true" : ":false";
        static_cast<TextFileTest*>(user)->events.push_back(entry);
        return 1;
    }

    void Write(const std::string& name, const std::string& content) {
        FILE* f = fopen(dir.file(name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }
    bool Completed() const { return !events.empty() && events.back().rfind("Complete", 0) == 0; }
};

TEST_F(TextFileTest, ChunksArriveAfterTheCallAndEndWithComplete) {
    struct Case {
        std::string content;
        int32_t bufferSize;
        std::vector<std::string> expected;
    };
    const std::string e = "\xc3\xa9"; // a two-byte character
    const std::vector<Case> cases = {
        {"abcdefg", 4, {"Start", "Read:abc", "Read:def", "Read:g", "Complete:true"}},
        // The last chunk is full: one more pass reads nothing and ends the file.
        {"abcdef", 4, {"Start", "Read:abc", "Read:def", "Complete:true"}},
        {"", 4, {"Start", "Complete:true"}},
        // A chunk ends inside the character; each half is delivered as read.
        {"a" + e, 3, {"Start", "Read:a\xc3", "Read:\xa9", "Complete:true"}},
        // Room for the terminator only: nothing can be read, which is no successful read.
        {"abc", 1, {"Start", "Complete:false"}},
    };
    for (const Case& c : cases) {
        events.clear();
        Write("in.txt", c.content);
        TextFileReader* reader = nullptr;
        ASSERT_EQ(TextFileReader_Create(&reader), 1);
        ASSERT_EQ(TextFileReader_SetFileName(reader, dir.file("in.txt").c_str()), 1);
        ASSERT_EQ(TextFileReader_SetBufferSize(reader, c.bufferSize), 1);
        EXPECT_EQ(TextFileReader_Start(reader), 1);
        EXPECT_TRUE(events.empty()) << "nothing is delivered inside the call";
        uint64_t size = 0, left = 0;
        TextFileReader_GetFileSize(reader, &size);
        EXPECT_EQ(size, c.content.size());
        EXPECT_TRUE(PumpUntil([&] { return Completed(); }));
        EXPECT_EQ(events, c.expected) << c.content;
        TextFileReader_GetBytesLeft(reader, &left);
        EXPECT_EQ(left, c.bufferSize > 1 ? 0u : c.content.size());
        // Idle again: it starts over.
        events.clear();
        TextFileReader_Start(reader);
        EXPECT_TRUE(PumpUntil([&] { return Completed(); }));
        EXPECT_EQ(events, c.expected);
        TextFileReader_Release(&reader);
    }
}

TEST_F(TextFileTest, FailuresAndRefusals) {
    TextFileReader* reader = nullptr;
    TextFileReader_Create(&reader);
    TextFileReader_SetPrintCallback(reader, &printed, KeepLine);
    for (int32_t bad : {0, -1}) EXPECT_EQ(TextFileReader_SetBufferSize(reader, bad), 0);
    int32_t size = 0;
    TextFileReader_GetBufferSize(reader, &size);
    EXPECT_EQ(size, 4096);
    EXPECT_EQ(TextFileReader_SetFileName(reader, std::string(320, 'a').c_str()), 0);

    TextFileReader_Start(reader);
    EXPECT_TRUE(PumpUntil([&] { return Completed(); }));
    EXPECT_EQ(events, std::vector<std::string>{"Complete:false"});
    ASSERT_FALSE(printed.empty());
    EXPECT_NE(printed.back().find("Filename is empty."), std::string::npos);

    events.clear();
    TextFileReader_SetFileName(reader, dir.file("missing").c_str());
    TextFileReader_Start(reader);
    EXPECT_TRUE(PumpUntil([&] { return Completed(); }));
    EXPECT_EQ(events, std::vector<std::string>{"Complete:false"});

    // A second start while reading only says so.
    events.clear();
    Write("in.txt", "xy");
    TextFileReader_SetFileName(reader, dir.file("in.txt").c_str());
    TextFileReader_Start(reader);
    TextFileReader_Start(reader);
    EXPECT_NE(printed.back().find("Trying to start an already open file (" + dir.file("in.txt") + ")."),
              std::string::npos);
    EXPECT_TRUE(PumpUntil([&] { return Completed(); }));
    EXPECT_EQ(events, (std::vector<std::string>{"Start", "Read:xy", "Complete:true"}));
    EXPECT_DEATH(
        {
            std::thread worker([&] { TextFileReader_Process(reader); });
            worker.join();
        },
        AbortRegex("Assertion failed (Thread_GetMainId() == Thread_GetCurrentId())\nFunction not on main thread"));
    TextFileReader_Release(&reader);
}

TEST_F(TextFileTest, WriterCutsOldContentAndMakesPrivateFiles) {
    TextFileWriter* writer = nullptr;
    TextFileWriter_Create(&writer);
    const std::string path = dir.file("out.txt");
    uint32_t written = 0;
    EXPECT_EQ(TextFileWriter_Write(writer, "x", &written), 0) << "nothing open";
    ASSERT_EQ(TextFileWriter_Open(writer, path.c_str()), 1);
    EXPECT_EQ(TextFileWriter_Write(writer, "a longer first text", &written), 1);
    EXPECT_EQ(written, 19u);
    EXPECT_EQ(TextFileWriter_Close(writer), 1);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    ASSERT_EQ(TextFileWriter_Open(writer, path.c_str()), 1);
    ASSERT_EQ(TextFileWriter_Open(writer, path.c_str()), 1) << "an open file is finished, not fatal";
    TextFileWriter_Write(writer, "sh", &written);
    TextFileWriter_Write(writer, "ort", &written);
    EXPECT_EQ(TextFileWriter_Close(writer), 1);
    EXPECT_EQ(ReadFile(path), "short");
    EXPECT_EQ(TextFileWriter_Close(writer), 0) << "already closed";
    EXPECT_EQ(TextFileWriter_Open(writer, dir.file("no/such/dir/f").c_str()), 0);
    // A writer dropped before its close leaves the old text whole and nothing beside it.
    ASSERT_EQ(TextFileWriter_Open(writer, path.c_str()), 1);
    TextFileWriter_Write(writer, "lost", &written);
    TextFileWriter_Release(&writer);
    EXPECT_EQ(ReadFile(path), "short");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("")), {}), 1);
}

// A page's file name that names a location nobody named is refused whole by every page object
// that takes one, and a name without such a location is taken.
TEST_F(TextFileTest, PageObjectsRefuseALocationWithoutItsFolder) {
    TextFileReader* reader = nullptr;
    TextFileReader_Create(&reader);
    TextFileWriter* writer = nullptr;
    TextFileWriter_Create(&writer);
    SkinFileExtract* extract = nullptr;
    SkinFileExtract_Create(&extract);
    // Run from a folder where the location's name was made first: nothing may land there.
    char before[4096];
    ASSERT_NE(getcwd(before, sizeof(before)), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    ASSERT_EQ(mkdir("{workflowDirectory}", 0700), 0);
    const struct {
        const char* name;
        std::function<int64_t(const char*)> set;
    } surfaces[] = {
        {"TextFileReader.setFileName", [&](const char* n) { return TextFileReader_SetFileName(reader, n); }},
        {"TextFileWriter.open", [&](const char* n) { return TextFileWriter_Open(writer, n); }},
        {"SkinFileExtract.setOutputFilename", [&](const char* n) { return SkinFileExtract_SetOutputFilename(extract, n); }},
    };
    for (const auto& s : surfaces) {
        LogCapture said;
        for (const char* given : {"{workflowDirectory}/x.txt", "{workflowPath}", "{Env:QVR_NO_SUCH_VARIABLE}x"})
            EXPECT_EQ(s.set(given), 0) << s.name << " " << given;
        // Each refusal says why.
        EXPECT_NE(said.Text().find("File name refused: it names a location without its folder ({workflowDirectory}): "
                                   "{workflowDirectory}/x.txt"),
                  std::string::npos)
            << s.name << "\n" << said.Text();
        EXPECT_EQ(s.set(dir.file("{notes}.txt").c_str()), 1) << s.name;
    }
    TextFileWriter_Close(writer);
    EXPECT_EQ(ReadFile(dir.file("{notes}.txt")), "");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("{workflowDirectory}")), {}), 0);
    ASSERT_EQ(chdir(before), 0);
    TextFileReader_Release(&reader);
    TextFileWriter_Release(&writer);
    SkinFileExtract_Release(&extract);
}

TEST_F(TextFileTest, ScriptClassesAnswerByMethodHash) {
    Write("in.txt", "hello");
    ScriptObject reader, writer;
    ASSERT_TRUE(reader.Create("QVR.TextFileReader"));
    ASSERT_TRUE(writer.Create("QVR.TextFileWriter"));
    EXPECT_NE(reader.process, nullptr);
    const std::string in = dir.file("in.txt");
    EXPECT_EQ(reader.Call("setFileName", "\"fileName\": \"" + in + "\""), "{\"returnValue\":true}");
    EXPECT_EQ(reader.Call("getFileName"), "{\"returnValue\":\"" + in + "\"}");
    EXPECT_EQ(reader.Call("setBufferSize", "\"bufferSize\": 0"), "{\"returnValue\":false}");
    EXPECT_EQ(reader.Call("setBufferSize", "\"bufferSize\": 3"), "{\"returnValue\":true}");
    EXPECT_EQ(reader.Call("getBufferSize"), "{\"returnValue\":3}");
    EXPECT_EQ(reader.Call("setFileName"), "0 {\"returnValue\":false}");
    EXPECT_EQ(reader.Call("start"), "{\"returnValue\":true}");
    EXPECT_EQ(reader.Call("getFileSize"), "{\"returnValue\":5}");
    EXPECT_EQ(reader.Call("getBytesLeft"), "{\"returnValue\":5}");
    EXPECT_TRUE(PumpUntil([&] { return Completed(); }));
    EXPECT_EQ(events, (std::vector<std::string>{"Start", "Read:he", "Read:ll", "Read:o", "Complete:true"}));
    EXPECT_EQ(reader.Call("getBytesLeft"), "{\"returnValue\":0}");
    EXPECT_EQ(reader.Call("noSuchMethod"), "0 {}");

    const std::string out = dir.file("out.txt");
    EXPECT_EQ(writer.Call("open", "\"path\": \"" + out + "\""), "{\"returnValue\":true}");
    EXPECT_EQ(writer.Call("write", "\"value\": \"h\u00e9\""), "{\"returnValue\":3}");
    EXPECT_EQ(writer.Call("close"), "{\"returnValue\":true}");
    EXPECT_EQ(ReadFile(out), "h\xc3\xa9");
}

} // namespace
