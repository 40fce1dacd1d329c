#include "core/runtime/debug.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdlib>
#include <string>

#include "core/certs/executable.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "tests/support/abort_table.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(DebugFlags, BuildFromSwitches) {
    // clang-format off
    struct Case {
        const char* commandLine;
        uint32_t flags;
    } const cases[] = {
        {"prog", 0}, {"prog --debug", 0x2}, {"prog --debug=info", 0x2}, {"prog --perthread", 0x10A},
        {"prog --perprocess", 0x20A}, {"prog --perday", 0x8A}, {"prog --debugfile", 0x40002},
        {"prog --debug --perprocess", 0x20A}, {"prog --window", 0x1},
        {"prog --cmdline --commit --append", 0x10018},
        {"prog --externalprint --memorytracking --memorytest --memoryreport", 0x24C00},
        {"prog --debugfileid=x", 0}, {"prog --debu", 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        uint32_t flags = 0xFFFFFFFF;
        EXPECT_EQ(Debug_BuildInitFlags(&flags, c.commandLine), 1);
        EXPECT_EQ(flags, c.flags) << c.commandLine;
    }
}

uint32_t FixedFlags() {
    return 0x1234;
}

TEST(DebugFlags, BeforeStartAndWithOverride) {
    EXPECT_EQ(Debug_Flags(), 0u);
    EXPECT_FALSE(Debug_IsStarted());
    Debug_FlagsOverride(FixedFlags);
    EXPECT_EQ(Debug_Flags(), 0x1234u);
    Debug_FlagsOverride(nullptr);
    EXPECT_EQ(Debug_Flags(), 0u);

    char revision[8];
    EXPECT_EQ(Debug_GetRevision(revision, sizeof(revision)), 1);
    EXPECT_STREQ(revision, "0.53");
    EXPECT_EQ(Debug_IsBigEndian(), 0);
}

TEST(DebugFlags, LoggingPerThreadOrProcessNeedsAppend) {
    ExpectAborts({
        {[] { Debug_SetFlags(0x302); }, AbortRegex("Threaded logging requires append to be on\n")},
        {[] { Debug_SetFlags(0x202); }, AbortRegex("Process logging requires append to be on\n")},
    });
}

TEST(DebugAbort, TextCarriesFileAndLine) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Debug_AbortInt("source.cpp", 12, "Pointer is NULL\n");
        },
        "^ABORT - Pointer is NULL\n \\(source.cpp/12\\)\n$");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Debug_AbortInt("a.cpp", 3, "Value %d of %s", 42, "x");
        },
        "^ABORT - Value 42 of x \\(a.cpp/3\\)\n$");
    // Without a hook and without logging the text still reaches standard error.
    EXPECT_DEATH(Debug_AbortInt("b.cpp", 4, "Plain"), "ABORT - Plain \\(b.cpp/4\\)");
}

class DebugStartTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetBothEnv("XDG_STATE_HOME", dir.path().c_str());
        SetBothEnv("HOME", dir.path().c_str());
    }
    TempDir dir;
};

TEST_F(DebugStartTest, InitWritesTheBannerAndRemoveReturnsTheExitCode) {
    std::string log = dir.file("banner.log");
    ASSERT_EQ(Debug_Init(log.c_str(), "6.2.42", 0x2), 1);
    EXPECT_TRUE(Debug_IsStarted());
    EXPECT_EQ(Debug_Flags(), 0x2u);
    EXPECT_EQ(Debug_ProcessId(), (uint32_t)getpid());
    EXPECT_NE(Debug_MainThreadId(), 0u);
    EXPECT_EQ(Log_Level(), (uint32_t)LOG_LEVEL_DEBUG);
    Debug_SetExitCode(3);
    EXPECT_EQ(Debug_ExitCode(), 3u);
    EXPECT_EQ(Debug_Remove(), 3u);
    EXPECT_FALSE(Debug_IsStarted());
    EXPECT_EQ(Debug_Flags(), 0u);

    std::string text = ReadFile(log);
    const char* stamp = "[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} ";
    EXPECT_TRUE(::testing::internal::RE::PartialMatch(text, std::string("^") + stamp + "Log Level: DEBUG\n"))
        << text;
    EXPECT_NE(text.find("Version: 6.2.42\n"), std::string::npos) << text;
    EXPECT_NE(text.find("File Version: 6.2.42\n"), std::string::npos);
    EXPECT_NE(text.find("Product Version: Quarvelon Host 6.2.42\n"), std::string::npos);
    EXPECT_NE(text.find("Company: Quarvelon\n"), std::string::npos);
    EXPECT_EQ(text.find("DEBUG - "), std::string::npos) << "banner lines carry no level";
}

TEST_F(DebugStartTest, ConsoleOnlyRecordsInfoLevel) {
    ASSERT_EQ(Debug_Init(dir.file("c.log").c_str(), nullptr, 0x1), 1);
    EXPECT_EQ(Log_Level(), (uint32_t)LOG_LEVEL_INFO);
    Debug_Remove();
    EXPECT_FALSE(FileExists(dir.file("c.log")));
}

// Relative names land in the module's log directory; the desktop flag moves any log there.
TEST_F(DebugStartTest, WhereTheLogFileGoes) {
    const std::string absolute = dir.file("abs.log");
    // clang-format off
    const struct {
        const char* name;
        uint32_t flags;
        std::string path;
    } cases[] = {
        {"logs/x.log", 0x2, dir.path() + "/Quarvelon Host/x.log"},
        {"", 0x2, dir.path() + "/Quarvelon Host/debug.log"}, {absolute.c_str(), 0x2, absolute},
        {"/somewhere/else/d.log", 0x40002, dir.path() + "/Desktop/d.log"},
    };
    // clang-format on
    for (const auto& c : cases) {
        ASSERT_EQ(Debug_Init(c.name, nullptr, c.flags), 1);
        char name[1024];
        Log_GetFilename(name, sizeof(name));
        EXPECT_EQ(std::string(name), c.path);
        Debug_Remove();
        EXPECT_TRUE(FileExists(c.path)) << c.path;
    }
}

// The room kept for what the log adds is counted once, the folder's own separator not twice: a
// name of 959 bytes in the log folder is the longest kept, one byte more is refused.
TEST_F(DebugStartTest, TheLongestLogFolderIsCountedAsTheHelpCountsIt) {
    for (const size_t length : {959u, 960u}) {
        SCOPED_TRACE(length);
        // The folder's path with "/Quarvelon Host/" and "x.log" makes `length` bytes.
        std::string state = dir.path();
        const size_t folderLength = length - strlen("/Quarvelon Host/x.log");
        while (state.size() < folderLength) state += "/" + std::string(std::min<size_t>(200, folderLength - state.size() - 1), 'b');
        ASSERT_EQ(state.size(), folderLength);
        SetBothEnv("XDG_STATE_HOME", state.c_str());
        testing::internal::CaptureStderr();
        EXPECT_EQ(Debug_Init("x.log", nullptr, 0x2), 1);
        char name[1024] = "?";
        Log_GetFilename(name, sizeof(name));
        Debug_Remove();
        const std::string said = testing::internal::GetCapturedStderr();
        if (length == 959) {
            EXPECT_EQ(std::string(name), state + "/Quarvelon Host/x.log");
            EXPECT_EQ(said, "");
        } else {
            EXPECT_STREQ(name, "");
            EXPECT_EQ(said, "ERROR - No log file is written: the log folder " + state +
                                "/Quarvelon Host/ is too long for the log file's name of at most 959 bytes\n");
        }
    }
}

// A log folder that cannot be named, or a name that would not fit with what the log adds to it,
// is said once on standard error and no file is written: never a bare name in the current folder,
// nor a cut one.
TEST_F(DebugStartTest, ALogPathThatDoesNotFitIsRefused) {
    const std::string current = dir.file("current");
    ASSERT_EQ(mkdir(current.c_str(), 0700), 0);
    auto deep = [&](int levels) {
        std::string path = dir.path();
        for (int level = 0; level < levels; level++) path += "/" + std::string(200, 'a' + level);
        return path;
    };
    const std::string longState = deep(5), tooLongState = deep(24), longName = deep(4) + "/" + std::string(180, 'n');
    // clang-format off
    const struct {
        const char* Name;
        std::string Log;
        uint32_t Flags;
        const char* Variable;
        std::string Value;
        std::string Said;
    } cases[] = {
        {"a state folder too long for the name", "x.log", 0x2, "XDG_STATE_HOME", longState,
         "the log folder " + longState + "/Quarvelon Host/ is too long for the log file's name of at most 959 bytes"},
        {"a state folder that cannot be named", "x.log", 0x42, "XDG_STATE_HOME", tooLongState,
         "the log folder cannot be named (it follows $XDG_STATE_HOME and $HOME)"},
        {"a desktop that cannot be named", "x.log", 0x40002, "HOME", tooLongState,
         "the desktop folder cannot be named"},
        {"a full name too long", longName, 0x2, "XDG_STATE_HOME", dir.path(),
         "the log file's name is longer than 959 bytes"},
    };
    // clang-format on
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(chdir(current.c_str()), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        SetBothEnv(c.Variable, c.Value.c_str());
        testing::internal::CaptureStderr();
        EXPECT_EQ(Debug_Init(c.Log.c_str(), nullptr, c.Flags), 1);
        Log_PrintInt(LOG_LEVEL_ERROR, __FILE__, __LINE__, 0, "a line\n");
        char name[1024] = "?";
        Log_GetFilename(name, sizeof(name));
        EXPECT_STREQ(name, "");
        EXPECT_EQ(Debug_Flags() & 0x42u, 0u);
        Debug_Remove();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR - No log file is written: " + c.Said + "\n");
        EXPECT_FALSE(FileExists(current + "/x.log"));
        EXPECT_FALSE(FileExists(current + "/x.log.err"));
        EXPECT_FALSE(FileExists(longState)) << "no folder of a cut name";
        EXPECT_FALSE(FileExists(deep(4))) << "no folder of a cut name";
        SetBothEnv("XDG_STATE_HOME", dir.path().c_str());
        SetBothEnv("HOME", dir.path().c_str());
    }
    ASSERT_EQ(chdir(previous), 0);
    // Console-only logging asks for no file and says nothing.
    SetBothEnv("XDG_STATE_HOME", tooLongState.c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(Debug_Init("x.log", nullptr, 0x800), 1);
    Debug_Remove();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(DebugStartTest, SecondInitAborts) {
    ASSERT_EQ(Debug_Init(dir.file("t.log").c_str(), nullptr, 0), 1);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Debug_Init(dir.file("t.log").c_str(), nullptr, 0);
        },
        AbortRegex("Assertion failed (GlobalCore == NULL)\nCore already initialized"));
    Debug_Remove();
}

TEST_F(DebugStartTest, LeaksAreReportedAtShutdown) {
    std::string log = dir.file("leak.log");
    ASSERT_EQ(Debug_Init(log.c_str(), nullptr, 0x20002), 1);
    void* kept = Memory_Alloc(5);
    void* freed = Memory_Alloc(100);
    Memory_Free(freed, 100);
    Debug_Remove();
    std::string text = ReadFile(log);
    EXPECT_NE(text.find("DEBUG - Maximum Memory in use ("), std::string::npos) << text;
    EXPECT_NE(text.find("WARNING - Not all memory was free'd (1 / 40b)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Memory Tracking: 0x"), std::string::npos) << text;
    // The block was tracked; after shutdown it is freed by size without tracking.
    free(static_cast<char*>(kept) - 16);
}

// The program's version values are read before the start (as the process entry does) and
// released at shutdown: the accounting balances, neither a leak nor more freed than counted.
TEST_F(DebugStartTest, VersionValuesReadBeforeTheStartBalance) {
    ASSERT_EQ(Executable_Init(), 1);
    std::string log = dir.file("balance.log");
    ASSERT_EQ(Debug_Init(log.c_str(), nullptr, 0x20002), 1);
    char version[64] = "";
    EXPECT_EQ(Executable_GetFileVersion(nullptr, version, sizeof version), 1) << "the values are still there";
    Debug_Remove();
    Executable_Remove();
    const std::string text = ReadFile(log);
    EXPECT_EQ(text.find("Not all memory was free'd"), std::string::npos) << text;
}

TEST_F(DebugStartTest, AbortWritesToTheErrorFile) {
    std::string log = dir.file("e.log");
    EXPECT_DEATH(
        {
            Debug_Init(log.c_str(), nullptr, 0x42);
            Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, "before\n");
            Debug_AbortInt("x.cpp", 9, "Broken\n");
        },
        "");
    std::string err = ReadFile(log + ".err");
    EXPECT_EQ(err, "ABORT - Broken\n (x.cpp/9)\n");
    std::string text = ReadFile(log);
    EXPECT_NE(text.find("INFO - before\n"), std::string::npos) << text;
    // The stamp of the error line went to the normal log, which kept its earlier lines.
    EXPECT_TRUE(::testing::internal::RE::PartialMatch(text, "before\n[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9:]{8} $"))
        << text;
}

} // namespace
