#include "core/runtime/log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/linux/platform.h"
#include "core/runtime/debug.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "tests/support/abort_hook.h"
#include "tests/support/temp_dir.h"

namespace {

using ::testing::internal::RE;

const std::string kStamp = "[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} ";

std::vector<std::string> g_printed;
void CapturePrint(const char* text) { g_printed.push_back(text); }

class LogTest : public ::testing::Test {
protected:
    void Start(uint32_t flags, const std::string& name = "test.log") {
        log = dir.file(name);
        ASSERT_EQ(Debug_Init(log.c_str(), nullptr, flags), 1);
        Debug_PrintCallback(CapturePrint);
        g_printed.clear();
    }
    void TearDown() override {
        Debug_PrintCallback(nullptr);
        if (Debug_IsStarted()) Debug_Remove();
    }
    TempDir dir;
    std::string log;
};

TEST_F(LogTest, LineLayoutInTheFile) {
    Start(0x2);
    ReadFile(log); // the banner
    Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 1, "x\n");
    Log_PrintInt(LOG_LEVEL_ERROR, __FILE__, __LINE__, 0, "e %d\n", 5);
    Log_PrintInt(LOG_LEVEL_WARNING, __FILE__, __LINE__, 2, "w\n");
    Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "d\n");
    Log_PrintInt(7, __FILE__, __LINE__, 0, "plain\n");
    Log_PrintFormat("raw %s\n", "text");
    Log_PrintString("string\n");
    Log_PrintStringWithTimeStamp("stamped\n");
    Debug_Remove();
    std::string text = ReadFile(log);
    std::string expected = kStamp + "INFO -     x\n" + kStamp + "ERROR - e 5\n" + kStamp + "WARNING -         w\n" +
                           kStamp + "DEBUG - d\n" + kStamp + "plain\nraw text\nstring\n" + kStamp + "stamped\n$";
    EXPECT_TRUE(RE::PartialMatch(text, expected)) << text;
    EXPECT_EQ(g_printed[0], "INFO -     x\n");
}

TEST_F(LogTest, NothingIsWrittenBeforeStartOrWithoutFileFlag) {
    EXPECT_FALSE(Log_IsEnabled());
    EXPECT_EQ(Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, "early\n"), 1);

    Start(0x1);
    EXPECT_TRUE(Log_IsEnabled());
    Log_WriteString("an error line\n", 1, 1);
    Debug_Remove();
    EXPECT_FALSE(FileExists(log));
    EXPECT_FALSE(FileExists(log + ".err"));

    Start(0x800);
    EXPECT_TRUE(Log_IsEnabled());
    Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, "external\n");
    EXPECT_EQ(g_printed, (std::vector<std::string>{"INFO - external\n"}));
    Debug_Remove();
    EXPECT_FALSE(FileExists(log));
}

TEST_F(LogTest, ErrorFileKeepsTheNormalLog) {
    Start(0x42);
    Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, "one\n");
    Log_WriteString("E\n", 1, 0);
    Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, "two\n");
    Debug_Remove();
    std::string text = ReadFile(log);
    EXPECT_NE(text.find("INFO - one\n"), std::string::npos) << text;
    EXPECT_NE(text.find("INFO - two\n"), std::string::npos) << text;
    EXPECT_EQ(ReadFile(log + ".err"), "E\n");
}

TEST_F(LogTest, FileIsTruncatedOnFirstOpenUnlessAppending) {
    {
        std::ofstream(dir.file("t.log")) << "old\n";
    }
    Start(0x2, "t.log");
    Debug_Remove();
    EXPECT_EQ(ReadFile(log).find("old\n"), std::string::npos);
    Start(0xA, "t.log");
    Debug_Remove();
    std::string text = ReadFile(log);
    EXPECT_NE(text.find("Log Level"), text.rfind("Log Level")) << "appending keeps the first run";
}

TEST_F(LogTest, FileNamesCarryDayProcessAndThread) {
    auto dayFile = [] {
        uint8_t hour, minute, second, month, day;
        uint32_t year;
        Time_GetDecoded(&hour, &minute, &second, &month, &day, &year, Time_GetCurrentEncodedLocal(nullptr));
        char name[256];
        String_Print(name, sizeof(name), "host.developer.%.2d.%.2d.%d.P%u.log", (int32_t)month, (int32_t)day,
                     (int32_t)year, (uint32_t)getpid());
        return std::string(name);
    };
    std::string before = dayFile();
    Start(0x28A, "host.developer.log");
    Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, "main\n");
    Debug_Remove();
    std::string after = dayFile();
    // Across midnight the date moves on between the two readings; either file will do.
    EXPECT_TRUE(FileExists(dir.file(before)) || FileExists(dir.file(after))) << before;

    Start(0x10A, "thread.log");
    uint32_t threadId = 0;
    std::thread worker([&] {
        threadId = Platform_ThreadGetCurrentId();
        Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, "worker\n");
    });
    worker.join();
    Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, "main\n");
    Debug_Remove();
    char threadFile[256];
    String_Print(threadFile, sizeof(threadFile), "thread.T%u.log", threadId);
    EXPECT_NE(ReadFile(dir.file(threadFile)).find("INFO - worker\n"), std::string::npos);
    EXPECT_NE(ReadFile(dir.file("thread.log")).find("INFO - main\n"), std::string::npos);
    EXPECT_EQ(ReadFile(dir.file("thread.log")).find("worker"), std::string::npos);
}

TEST_F(LogTest, NameWithoutExtensionGetsLog) {
    Start(0x2, "noext");
    Debug_Remove();
    EXPECT_TRUE(FileExists(dir.file("noext.log")));
}

TEST_F(LogTest, UnwritableLogDirectoryLosesLinesWithoutHarm) {
    {
        std::ofstream(dir.file("blocker")) << "x";
    }
    // The directory of the log is a regular file: every open fails.
    Start(0x2, "blocker/sub.log");
    Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, "lost\n");
    EXPECT_EQ(g_printed.size(), 1u);
    Debug_Remove();
    EXPECT_EQ(ReadFile(dir.file("blocker")), "x");
}

TEST_F(LogTest, OversizedMessageIsCutAndNoticed) {
    Start(0x2);
    std::string big(5000, 'a');
    Log_PrintInt(LOG_LEVEL_INFO, "big.cpp", 1, 0, "%s", big.c_str());
    ASSERT_EQ(g_printed.size(), 2u);
    EXPECT_EQ(g_printed[0].size(), 4095u);
    EXPECT_EQ(g_printed[0].substr(0, 7), "INFO - ");
    EXPECT_EQ(g_printed[1], "INFO - \n\n***** Last string too large for debug buffer\n\n");
}

TEST_F(LogTest, VerboseFilterLastMatchWins) {
    Start(0x2);
    Log_SetVerboseFilter("Dict*,!Dictionary,3Task");
    int32_t level = -1;
    EXPECT_EQ(Log_GetVerboseLevel("Dictionary", &level), 0);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(Log_GetVerboseLevel("DictionaryItem", &level), 1);
    EXPECT_EQ(level, 1);
    EXPECT_EQ(Log_GetVerboseLevel("task", &level), 1);
    EXPECT_EQ(level, 3);
    EXPECT_EQ(Log_GetVerboseLevel("Other", &level), 0);
    EXPECT_EQ(level, 0);

    Log_SetVerboseFilter("Dictionary,2Task*,!TaskWait");
    EXPECT_EQ(Log_GetVerboseLevel("TaskRun", &level), 1);
    EXPECT_EQ(level, 2);
    EXPECT_EQ(Log_GetVerboseLevel("TaskWait", &level), 0);
    EXPECT_EQ(Log_GetVerboseLevel("dictionary", &level), 1);

    Debug_SetFlags(0x6);
    EXPECT_EQ(Log_GetVerboseLevel("Anything", &level), 1);
    EXPECT_EQ(level, 8);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Log_GetVerboseLevel(nullptr, &level);
        },
        AbortRegex("Pointer is NULL\n"));
}

TEST_F(LogTest, LevelNames) {
    EXPECT_STREQ(Log_TranslateLevel(0), "ERROR");
    EXPECT_STREQ(Log_TranslateLevel(1), "WARNING");
    EXPECT_STREQ(Log_TranslateLevel(2), "INFO");
    EXPECT_STREQ(Log_TranslateLevel(3), "DEBUG");
    EXPECT_STREQ(Log_TranslateLevel(9), "ERROR");
    EXPECT_EQ(Log_TranslateLevelString("warning"), 1u);
    EXPECT_EQ(Log_TranslateLevelString("Debug"), 3u);
    EXPECT_EQ(Log_TranslateLevelString("loud"), 0u);
}

TEST_F(LogTest, BitsAndBinaryDumps) {
    Start(0x2);
    Log_PrintBits(5, 4);
    Log_PrintBits(0x80000001, 32);
    Log_PrintBits(1, 0);
    EXPECT_EQ(g_printed,
              (std::vector<std::string>{"DEBUG - 0101\n", "DEBUG - 10000000000000000000000000000001\n", "DEBUG - \n"}));

    g_printed.clear();
    const char data[] = "Hello, 100% sure\x01 tail";
    Log_PrintBinary(1, 1, data, (int32_t)sizeof(data) - 1);
    ASSERT_EQ(g_printed.size(), 2u);
    EXPECT_EQ(g_printed[0], "DEBUG - 00000000: 48 65 6C 6C 6F 2C 20 31 30 30 25 20 73 75 72 65 [ Hello, 100. sure ]\n");
    EXPECT_EQ(g_printed[1], "DEBUG - 00000010: 01 20 74 61 69 6C                               [ . tail           ]\n");

    g_printed.clear();
    Log_PrintBinary(0, 0, data, 3);
    EXPECT_EQ(g_printed, (std::vector<std::string>{"DEBUG - 00000000: 48 65 6C "}));
}

int64_t g_overrideCount = 0;
int64_t CountingOverride(const char*) {
    g_overrideCount++;
    return 1;
}

TEST_F(LogTest, PrintOverrideTakesEveryLine) {
    Start(0x2);
    Debug_PrintOverride(CountingOverride);
    Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, "a\n");
    Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, "b\n");
    Debug_PrintOverride(nullptr);
    EXPECT_EQ(g_overrideCount, 2);
    EXPECT_TRUE(g_printed.empty());
    Debug_Remove();
    EXPECT_EQ(ReadFile(log).find("INFO - a"), std::string::npos);
}

} // namespace
