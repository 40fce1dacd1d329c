// Tests of the text file reader and writer: chunks as notifications after the call, the end of
// a file that fills the last chunk exactly, failures as "Complete" false, shorter rewrites, and
// the script classes' replies.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include <string>
#include <thread>
#include <vector>

#include "core/linux/platform_error.h"
#include "core/web/core_interop.h"
#include "skin/skin_file_extract.h"
#include "skin/text_file.h"
#include "tests/skin/script_class_call.h"
#include "tests/support/log_capture.h"
#include "tests/support/printed_lines.h"
#include "tests/support/temp_dir.h"
#include "tests/tasks/task_library_fixture.h"
#include "workflow/workflow_interop.h"

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
        if (info && Dictionary_GetStringPtrByKey(info, "text", &text) && text)
            entry += ":" + std::string(text);
        if (info && Dictionary_GetBooleanByKey(info, "successful", &flag) == 1)
            entry += flag ? ":true" : ":false";
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
        AbortRegex(
            "Assertion failed (Thread_GetMainId() == Thread_GetCurrentId())\nFunction not on main thread"));
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
    // A folder every user may change takes no file, one another account owns neither; a sticky one
    // does (as the system's temporary folder), but never over another account's file there.
    const std::string shared = dir.file("shared");
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    const struct {
        mode_t Mode;
        uid_t Owner, FileOwner; // FileOwner: a file another account left at the name first
        int64_t Opened;
    } folders[] = {{0777, 0, 0, 0}, {0755, 65534, 0, 0}, {01777, 0, 0, 1}, {01777, 0, 65534, 0}};
    for (const auto& f : folders) {
        ASSERT_EQ(chown(shared.c_str(), f.Owner ? f.Owner : geteuid(), (gid_t)-1), 0);
        ASSERT_EQ(chmod(shared.c_str(), f.Mode), 0);
        unlink((shared + "/f.txt").c_str());
        if (f.FileOwner) {
            std::ofstream(shared + "/f.txt") << "theirs";
            ASSERT_EQ(chown((shared + "/f.txt").c_str(), f.FileOwner, (gid_t)-1), 0);
        }
        EXPECT_EQ(TextFileWriter_Open(writer, (shared + "/f.txt").c_str()), f.Opened) << std::oct << f.Mode;
        TextFileWriter_Write(writer, "ours", &written);
        EXPECT_EQ(TextFileWriter_Close(writer), f.Opened);
        EXPECT_EQ(ReadFile(shared + "/f.txt"), f.Opened ? "ours" : f.FileOwner ? "theirs" : "") << std::oct << f.Mode;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(shared), {}), f.Opened || f.FileOwner ? 1 : 0);
    }
    ASSERT_EQ(chown(shared.c_str(), geteuid(), (gid_t)-1), 0);
    ASSERT_EQ(chmod(shared.c_str(), 0700), 0);
    unlink((shared + "/f.txt").c_str());
    rmdir(shared.c_str());
    // A writer dropped before its close leaves the old text whole and nothing beside it.
    ASSERT_EQ(TextFileWriter_Open(writer, path.c_str()), 1);
    TextFileWriter_Write(writer, "lost", &written);
    TextFileWriter_Release(&writer);
    EXPECT_EQ(ReadFile(path), "short");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("")), {}), 1);
}

// A page's file name that names a location nobody named is refused whole by every page object and
// script method that takes one, with one line naming the surface, the argument and the location:
// the script gets the method's own failure, and nothing happens in the folder another user made
// under that name. A name whose braces name nothing of ours is taken.
TEST_F(TextFileTest, PageObjectsRefuseALocationWithoutItsFolder) {
    TextFileReader* reader = nullptr;
    TextFileReader_Create(&reader);
    TextFileWriter* writer = nullptr;
    TextFileWriter_Create(&writer);
    SkinFileExtract* extract = nullptr;
    SkinFileExtract_Create(&extract);
    ScriptObject files, process, platform, app;
    ASSERT_TRUE(files.Create("QVR.FileSystem", CoreInterop_CreateInstance));
    ASSERT_TRUE(process.Create("QVR.Process", CoreInterop_CreateInstance));
    ASSERT_TRUE(platform.Create("QVR.Platform", CoreInterop_CreateInstance));
    ASSERT_TRUE(app.Create("QVR.WorkflowApp", WorkflowInterop_CreateInstance));
    Watch("Interop", "Load");
    // Run from a folder where the location's name was made first, open to all, with a file and a
    // folder in it: nothing there may be read, run, written or removed.
    char before[4096];
    ASSERT_NE(getcwd(before, sizeof(before)), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    ASSERT_EQ(mkdir("{workflowDirectory}", 0777), 0);
    ASSERT_EQ(mkdir("{workflowDirectory}/x.txt", 0777), 0);
    Write("{workflowDirectory}/x.txt/kept", "kept");
    // And a program image that carries a data store: read, it would be answered.
    std::string store = std::string("data beforeZERIZODIDUZIplanted") + '\0', trailer(512, '\0');
    trailer.replace(0, 4, "koly");
    trailer[296 + 7] = 11;
    trailer[304 + 7] = (char)(store.size() - 11);
    Write("{workflowPath}", store + trailer);
    struct Surface {
        std::string name;
        std::function<std::string(const char*)> call;
        std::string refused;    // the answer the script gets for a refused name
        std::string said;       // the line, up to the location
        std::string taken = ""; // the answer for a name without a location, when it is known
        bool desktop = false;   // hands the name to the desktop: not called with a real one
    };
    const auto setter = [](const char* name, std::function<int64_t(const char*)> set) {
        return Surface{name, [set](const char* n) { return std::to_string(set(n)); }, "0",
                       "File name refused: it", "1"};
    };
    // A script method given the name as its argument `key`, between the texts `first` and `after`;
    // its line names the class, the method and the argument.
    const auto script = [](ScriptObject& o, const char* cls, const char* name, const char* key,
                           std::string refused, std::string first = "", std::string after = "") {
        return Surface{std::string(cls) + "." + name,
                       [&o, name, key, first, after](const char* n) {
                           return o.Call(name, first + "\"" + key + "\": \"" + n + "\"" + after);
                       },
                       refused, std::string(cls) + "." + name + ": \"" + key + "\" argument"};
    };
    const std::string no = "{\"returnValue\":false}", zero = "{\"returnValue\":0}",
                      none = "{\"returnValue\":\"\"}", yes = "{\"returnValue\":true}",
                      invalid =
                          "{\"returnValue\":" + std::to_string(PLATFORM_ERROR_ERRNO_BASE + EINVAL) + "}";
    const std::string noCopy = ", \"failIfExists\": false";
    std::vector<Surface> surfaces = {
        setter("TextFileReader.setFileName",
               [&](const char* n) { return TextFileReader_SetFileName(reader, n); }),
        setter("TextFileWriter.open", [&](const char* n) { return TextFileWriter_Open(writer, n); }),
        setter("SkinFileExtract.setOutputFilename",
               [&](const char* n) { return SkinFileExtract_SetOutputFilename(extract, n); }),
        script(files, "Path", "fileErase", "path", invalid),
        script(files, "Path", "directoryErase", "path", invalid),
        script(files, "Path", "directoryCreate", "path", invalid),
        script(files, "Path", "fileCopy", "sourceFilename", no, "",
               ", \"targetFilename\": \"" + dir.file("copied") + "\"" + noCopy),
        script(files, "Path", "fileCopy", "targetFilename", no,
               "\"sourceFilename\": \"" + dir.file("source") + "\", ", noCopy),
        script(files, "Path", "fileExists", "path", no),
        script(files, "Path", "directoryExists", "path", no),
        script(files, "Path", "directoryIsEmpty", "path", no),
        script(files, "Path", "setGroup", "path", no, "", ", \"type\": \"app\""),
        script(files, "Path", "fileGetSize", "path", zero),
        script(files, "Path", "getFreeDiskSpace", "path", zero),
        script(files, "Path", "getModifiedTime", "path", zero),
        script(files, "Path", "getCreationTime", "path", zero),
        script(files, "Path", "directoryGetSize", "path", no, "", ", \"callbackId\": \"c\""),
        script(files, "Path", "pathResolve", "path", none),
        script(files, "Path", "pathConvertToUrl", "path", none),
        script(process, "Process", "setApplicationName", "applicationName", no),
        script(process, "Process", "setWorkingDirectory", "workingDirectory", no),
        script(process, "Process", "setSHA1Target", "sHA1Target", no),
        script(process, "Process", "setAuthenticateTarget", "authenticateTarget", no),
        script(process, "Process", "setArguments", "arguments", no),
        script(platform, "Platform", "access", "path", no, "", ", \"permissions\": 4, \"recurse\": false"),
        script(platform, "Platform", "authenticateX509", "path", no, "\"certStoreName\": \"app\", "),
        script(platform, "Platform", "getFileDataStore", "path", "{\"returnValue\":null}"),
        script(platform, "Platform", "findProcess", "path", zero),
        script(platform, "Platform", "shellOpen", "path", no),
        // The load's outcome is its notification, as for any other failed load.
        script(app, "WorkflowApp", "loadInterop", "path", yes, "\"name\": \"n\", "),
    };
    // A call refused for both its arguments.
    surfaces.push_back(surfaces[6]);
    surfaces.back().call = [&](const char* n) {
        return files.Call("fileCopy", "\"sourceFilename\": \"" + std::string(n) +
                                          "\", \"targetFilename\": \"" + n + "\"" + noCopy);
    };
    // A command line: a word after the first is judged as the first is.
    const Surface arguments = *std::find_if(surfaces.begin(), surfaces.end(),
                                            [](const Surface& s) { return s.name == "Process.setArguments"; });
    surfaces.push_back(arguments);
    surfaces.back().call = [&](const char* n) {
        return process.Call("setArguments", "\"arguments\": \"-v " + std::string(n) + "\"");
    };
    for (Surface& s : surfaces) {
        // A process's names are only kept: a real one is taken.
        if (s.name.rfind("Process.", 0) == 0) s.taken = yes;
        s.desktop = s.name == "Platform.shellOpen";
        if (s.name == "WorkflowApp.loadInterop") s.said = "Interop library (n) not loaded: \"path\" argument";
    }
    Write("source", "source");
    for (const auto& s : surfaces) {
        LogCapture said;
        fired.clear();
        for (const char* given :
             {"{workflowDirectory}/x.txt", "{workflowPath}", "{Env:QVR_NO_SUCH_VARIABLE}x"})
            EXPECT_EQ(s.call(given), s.refused) << s.name << " " << given;
        // Each refusal says why, once.
        const std::string line =
            s.said + " names a location without its folder ({workflowDirectory}): {workflowDirectory}/x.txt";
        const std::string text = said.Text();
        EXPECT_NE(text.find(line), std::string::npos) << s.name << "\n" << text;
        // One line for each refused call, however many of its arguments were refused.
        size_t lines = 0;
        for (size_t at = text.find("names a location"); at != std::string::npos;
             at = text.find("names a location", at + 1))
            lines++;
        EXPECT_EQ(lines, 3u) << s.name << "\n" << text;
        if (s.name == "WorkflowApp.loadInterop") {
            ASSERT_EQ(fired.size(), 3u) << s.name;
            EXPECT_NE(fired[0].find("\"successful\":false"), std::string::npos) << fired[0];
        }
        if (s.desktop) continue;
        LogCapture notes;
        const std::string answer = s.call(dir.file(std::string("{notes}") + s.name).c_str());
        if (!s.taken.empty()) {
            EXPECT_EQ(answer, s.taken) << s.name;
        }
        EXPECT_EQ(notes.Text().find("names a location"), std::string::npos) << s.name << "\n" << notes.Text();
    }
    Pump(20);
    TextFileWriter_Close(writer);
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.file("{notes}TextFileWriter.open")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("{workflowDirectory}")), {}), 1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("{workflowDirectory}/x.txt")), {}),
              1);
    EXPECT_EQ(ReadFile(dir.file("{workflowDirectory}/x.txt/kept")), "kept");
    EXPECT_EQ(ReadFile(dir.file("{workflowPath}")), store + trailer);
    EXPECT_FALSE(std::filesystem::exists(dir.file("copied")));
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
