#include "core/runtime/log.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/linux/platform.h"
#include "core/linux/platform_private_directory.h"
#include "core/runtime/debug.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/temp_dir.h"

namespace {

using ::testing::internal::RE;

const std::string kStamp = "[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} ";

std::vector<std::string> g_printed;

void Info(const char* text) {
    Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, "%s", text);
}

class LogTest : public ::testing::Test {
  protected:
    // Starts the debug layer with the given flags on a log file in the test's directory.
    void Start(uint32_t flags, const std::string& name = "test.log") {
        log = dir.file(name);
        ASSERT_EQ(Debug_Init(log.c_str(), nullptr, flags), 1);
        Debug_PrintCallback([](const char* text) { g_printed.push_back(text); });
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
    Start(DEBUG_FLAG_FILE);
    Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 1, "x\n");
    Log_PrintInt(LOG_LEVEL_ERROR, __FILE__, __LINE__, 0, "e %d\n", 5);
    Log_PrintInt(LOG_LEVEL_WARNING, __FILE__, __LINE__, 2, "w\n");
    Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "d\n");
    Log_PrintInt(7, __FILE__, __LINE__, 0, "plain\n");
    Log_PrintFormat("raw %s\n", "text");
    Log_PrintString("string\n");
    Log_PrintStringWithTimeStamp("stamped\n");
    Debug_Remove();
    EXPECT_TRUE(RE::PartialMatch(ReadFile(log), kStamp + "INFO -     x\n" + kStamp + "ERROR - e 5\n" +
                                                    kStamp + "WARNING -         w\n" + kStamp +
                                                    "DEBUG - d\n" + kStamp + "plain\nraw text\nstring\n" +
                                                    kStamp + "stamped\n$"))
        << ReadFile(log);
    EXPECT_EQ(g_printed[0], "INFO -     x\n") << "the callback gets the line without its stamp";
}

TEST_F(LogTest, NothingIsWrittenBeforeStartOrWithoutFileFlag) {
    EXPECT_FALSE(Log_IsEnabled());
    EXPECT_EQ(Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, "early\n"), 1);
    Start(DEBUG_FLAG_CONSOLE);
    EXPECT_TRUE(Log_IsEnabled());
    Log_WriteString("an error line\n", 1, 1);
    Debug_Remove();
    Start(DEBUG_FLAG_EXTERNAL_PRINT);
    EXPECT_TRUE(Log_IsEnabled());
    Info("external\n");
    EXPECT_EQ(g_printed, (std::vector<std::string>{"INFO - external\n"}));
    Debug_Remove();
    EXPECT_FALSE(FileExists(log) || FileExists(log + ".err"));
}

TEST_F(LogTest, ErrorFileKeepsTheNormalLog) {
    Start(DEBUG_FLAG_FILE | DEBUG_FLAG_ERROR_FILE);
    Info("one\n");
    Log_WriteString("E\n", 1, 0);
    Info("two\n");
    Debug_Remove();
    EXPECT_TRUE(RE::PartialMatch(ReadFile(log), "INFO - one\n.*INFO - two\n")) << ReadFile(log);
    EXPECT_EQ(ReadFile(log + ".err"), "E\n");
}

TEST_F(LogTest, FileIsTruncatedOnFirstOpenUnlessAppending) {
    ASSERT_TRUE(WriteText(dir.file("t.log"), "old\n"));
    Start(DEBUG_FLAG_FILE, "t.log");
    Debug_Remove();
    EXPECT_EQ(ReadFile(log).find("old\n"), std::string::npos);
    Start(DEBUG_FLAG_FILE | DEBUG_FLAG_APPEND, "t.log");
    Debug_Remove();
    EXPECT_NE(ReadFile(log).find("Log Level"), ReadFile(log).rfind("Log Level"))
        << "appending keeps the first run";
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
    const std::string before = dayFile();
    Start(DEBUG_FLAG_FILE | DEBUG_FLAG_APPEND | DEBUG_FLAG_PER_DAY | DEBUG_FLAG_PER_PROCESS,
          "host.developer.log");
    Info("main\n");
    Debug_Remove();
    // Across midnight the date moves on between the two readings; either file will do.
    EXPECT_TRUE(FileExists(dir.file(before)) || FileExists(dir.file(dayFile()))) << before;
    Start(DEBUG_FLAG_FILE | DEBUG_FLAG_APPEND | DEBUG_FLAG_PER_THREAD, "thread.log");
    uint32_t threadId = 0;
    FromOtherThread("a log line from a worker",
                    [&] { threadId = Platform_ThreadGetCurrentId(), Info("worker\n"); });
    Info("main\n");
    Debug_Remove();
    char threadFile[256];
    String_Print(threadFile, sizeof(threadFile), "thread.T%u.log", threadId);
    EXPECT_NE(ReadFile(dir.file(threadFile)).find("INFO - worker\n"), std::string::npos);
    const std::string mainFile = ReadFile(dir.file("thread.log"));
    EXPECT_TRUE(mainFile.find("INFO - main\n") != std::string::npos &&
                mainFile.find("worker") == std::string::npos);
    Start(DEBUG_FLAG_FILE, "noext");
    Debug_Remove();
    EXPECT_TRUE(FileExists(dir.file("noext.log")));
}

// A name that would not fit with the file id, process or thread the log adds is refused and said
// once, never cut (a cut name loses the process number and the extension).
TEST_F(LogTest, ANameTooLongWithWhatTheLogAddsIsRefusedNotCut) {
    std::string deep;
    for (int level = 0; level < 4; level++) deep += std::string(200, 'a' + level) + "/";
    Start(DEBUG_FLAG_FILE | DEBUG_FLAG_APPEND | DEBUG_FLAG_PER_PROCESS, deep + "long.log");
    Info("before\n");
    const std::string folder = dir.file(deep);
    EXPECT_TRUE(FileExists(folder + "long.P" + std::to_string(getpid()) + ".log"));
    testing::internal::CaptureStderr();
    Log_Fork(("prog --debugfileid=" + std::string(250, 'i')).c_str());
    Info("lost\n");
    Info("again\n");
    Debug_Remove();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.find("Log file " + log + " refused: a path too long with the date, file id, process or thread "
                        "added (LE: 36); logging to standard error\n"),
              0u)
        << said;
    EXPECT_EQ(said.find("refused", said.find('\n')), std::string::npos) << "said once: " << said;
    EXPECT_NE(said.find("INFO - again\n"), std::string::npos) << said;
    EXPECT_FALSE(FileExists(folder + "long." + std::string(1023 - folder.size() - 5, 'i')));
}

TEST_F(LogTest, UnwritableLogDirectoryLosesLinesWithoutHarm) {
    ASSERT_TRUE(WriteText(dir.file("blocker"), "x"));
    // The directory of the log is a regular file: every open fails.
    Start(DEBUG_FLAG_FILE, "blocker/sub.log");
    Info("lost\n");
    EXPECT_EQ(g_printed.size(), 1u);
    Debug_Remove();
    EXPECT_EQ(ReadFile(dir.file("blocker")), "x");
}

TEST_F(LogTest, OversizedMessageIsCutAndNoticed) {
    Start(DEBUG_FLAG_FILE);
    Log_PrintInt(LOG_LEVEL_INFO, "big.cpp", 1, 0, "%s", std::string(5000, 'a').c_str());
    EXPECT_EQ(g_printed,
              (std::vector<std::string>{"INFO - " + std::string(4088, 'a'),
                                        "INFO - \n\n***** Last string too large for debug buffer\n\n"}));
}

TEST_F(LogTest, VerboseFilterLastMatchWins) {
    Start(DEBUG_FLAG_FILE);
    const struct {
        const char *filter, *name;
        int64_t listed;
        int32_t level;
    } cases[] = {{"Dict*,!Dictionary,3Task", "Dictionary", 0, 0},
                 {"Dict*,!Dictionary,3Task", "DictionaryItem", 1, 1},
                 {"Dict*,!Dictionary,3Task", "task", 1, 3},
                 {"Dict*,!Dictionary,3Task", "Other", 0, 0},
                 {"Dictionary,2Task*,!TaskWait", "TaskRun", 1, 2},
                 {"Dictionary,2Task*,!TaskWait", "TaskWait", 0, 0},
                 {"Dictionary,2Task*,!TaskWait", "dictionary", 1, 1}};
    for (const auto& c : cases) {
        Log_SetVerboseFilter(c.filter);
        int32_t level = -1;
        EXPECT_EQ(Log_GetVerboseLevel(c.name, &level), c.listed) << c.filter << " " << c.name;
        EXPECT_EQ(level, c.level) << c.filter << " " << c.name;
    }
    Debug_SetFlags(DEBUG_FLAG_FILE | DEBUG_FLAG_VERBOSE_ALL);
    int32_t level = -1;
    EXPECT_EQ(Log_GetVerboseLevel("Anything", &level), 1);
    EXPECT_EQ(level, 8);
}

TEST_F(LogTest, LevelNames) {
    EXPECT_STREQ(Log_TranslateLevel(9), "ERROR") << "unknown levels read as errors";
    EXPECT_EQ(std::vector({Log_TranslateLevelString("warning"), Log_TranslateLevelString("Debug"),
                           Log_TranslateLevelString("loud")}),
              std::vector<uint32_t>({1, 3, 0}));
}

// A level the user named keeps the lines up to it; lines without a level always pass, and the
// limit ends with the log.
TEST_F(LogTest, LimitedLevelKeepsTheLinesUpToIt) {
    Start(DEBUG_FLAG_FILE);
    EXPECT_EQ(Log_LimitLevel(9), 0);
    ASSERT_EQ(Log_LimitLevel(LOG_LEVEL_WARNING), 1);
    EXPECT_EQ(Log_Level(), (uint32_t)LOG_LEVEL_WARNING);
    for (uint32_t level : {(uint32_t)LOG_LEVEL_ERROR, (uint32_t)LOG_LEVEL_WARNING, (uint32_t)LOG_LEVEL_INFO,
                           (uint32_t)LOG_LEVEL_DEBUG, 7u})
        Log_PrintInt(level, __FILE__, __LINE__, 0, "line %u\n", level);
    EXPECT_EQ(g_printed, std::vector<std::string>({"ERROR - line 0\n", "WARNING - line 1\n", "line 7\n"}));
    Debug_Remove();
    Start(DEBUG_FLAG_FILE);
    Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "again\n");
    EXPECT_EQ(g_printed, std::vector<std::string>({"DEBUG - again\n"}));
}

TEST_F(LogTest, BitsAndBinaryDumps) {
    Start(DEBUG_FLAG_FILE);
    Log_PrintBits(5, 4);
    Log_PrintBits(0x80000001, 32);
    Log_PrintBits(1, 0);
    const char data[] = "Hello, 100% sure\x01 tail";
    Log_PrintBinary(1, 1, data, (int32_t)sizeof(data) - 1);
    Log_PrintBinary(0, 0, data, 3);
    EXPECT_EQ(g_printed,
              (std::vector<std::string>{
                  "DEBUG - 0101\n", "DEBUG - 10000000000000000000000000000001\n", "DEBUG - \n",
                  "DEBUG - 00000000: 48 65 6C 6C 6F 2C 20 31 30 30 25 20 73 75 72 65 [ Hello, 100. sure ]\n",
                  "DEBUG - 00000010: 01 20 74 61 69 6C                               [ . tail           ]\n",
                  "DEBUG - 00000000: 48 65 6C "}));
}

TEST_F(LogTest, PrintOverrideTakesEveryLine) {
    Start(DEBUG_FLAG_FILE);
    static int64_t overridden = 0;
    Debug_PrintOverride([](const char*) { return ++overridden; });
    Info("a\n");
    Info("b\n");
    Debug_PrintOverride(nullptr);
    EXPECT_EQ(overridden, 2);
    EXPECT_TRUE(g_printed.empty());
    Debug_Remove();
    EXPECT_EQ(ReadFile(log).find("INFO - a"), std::string::npos);
}

// A log folder or file that another user made or can steer is not written through: the lines go
// to standard error after one line that says why (and one naming the folder that failed), and the
// other place stays as it was.
TEST_F(LogTest, AFolderOrFileAnotherUserControlsIsRefused) {
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    const std::string elsewhere = dir.file("elsewhere"), victim = dir.file("victim");
    const struct passwd* other = getpwuid(65534);
    const std::string them = other ? std::string(other->pw_name) + " (uid 65534)" : "uid 65534";
    const struct {
        const char* name;
        std::string log;  // relative to the test's folder
        std::string reason;
        std::string failed; // the line naming what failed, "" when none is said
    } cases[] = {
        {"a link of another user as the folder", "linked/test.log", "a link another user made",
         "The link " + dir.file("linked") + " is not followed: " + them +
             " made it; it is followed once you or root make it\n"},
        {"a folder of another user", "theirs/test.log", "a folder of another user",
         "The folder " + dir.file("theirs") + " is refused: it belongs to " + them +
             "; it passes once it belongs to you\n"},
        {"a link at the file's name", "mine/linked.log", "a link at the file's name", ""},
        {"a file of another user at the name", "mine/their.log", "a file of another user", ""},
    };
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.file("theirs").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(dir.file("mine").c_str(), 0700), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), dir.file("linked").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), dir.file("mine/linked.log").c_str()), 0);
    ASSERT_TRUE(WriteText(dir.file("mine/their.log"), "theirs", 0644));
    ASSERT_TRUE(WriteText(victim, "victim", 0600));
    if (lchown(dir.file("linked").c_str(), 65534, 65534) != 0 || chown(dir.file("theirs").c_str(), 65534, 65534) ||
        chown(dir.file("mine/their.log").c_str(), 65534, 65534))
        GTEST_SKIP() << "no second user to plant as";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStderr();
        Start(DEBUG_FLAG_FILE, c.log);
        Info("kept\n");
        Info("again\n");
        Debug_Remove();
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(said.find("Log file " + log + " refused: " + c.reason + " (LE: "), 0u) << said;
        const size_t second = said.find('\n') + 1;
        EXPECT_EQ(said.compare(second, c.failed.size(), c.failed), 0) << said;
        EXPECT_EQ(said.find("refused", second + c.failed.size()), std::string::npos) << "said once: " << said;
        EXPECT_NE(said.find("INFO - kept\n"), std::string::npos) << said;
        EXPECT_NE(said.find("INFO - again\n"), std::string::npos) << said;
    }
    EXPECT_FALSE(FileExists(elsewhere + "/test.log"));
    EXPECT_FALSE(FileExists(dir.file("theirs/test.log")));
    EXPECT_EQ(ReadFile(victim), "victim");
    EXPECT_EQ(ReadFile(dir.file("mine/their.log")), "theirs");
}

// The log opens its file by a walk of its own inside a caller's line, or fails before any walk (a
// name too long with what it adds): either way the caller's refusal is still there to be
// explained after it, and the log's own refusal does not name it.
TEST_F(LogTest, OpeningTheFileKeepsTheCallersRefusal) {
    std::string deep;
    for (int level = 0; level < 4; level++) deep += std::string(200, 'a' + level) + "/";
    for (const bool tooLong : {false, true}) {
        SCOPED_TRACE(tooLong ? "a name too long" : "a name not opened yet");
        const std::string open = dir.file(tooLong ? "open-long" : "open");
        ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
        ASSERT_EQ(chmod(open.c_str(), 0777), 0);
        Start(DEBUG_FLAG_FILE | (tooLong ? DEBUG_FLAG_APPEND | DEBUG_FLAG_PER_PROCESS : 0),
              tooLong ? deep + "long.log" : "test.log");
        Info("before\n");
        // The line below opens a name the log has not opened yet.
        if (tooLong)
            Log_Fork(("prog --debugfileid=" + std::string(250, 'i')).c_str());
        else
            ASSERT_EQ(Log_SetFilename(dir.file("second.log").c_str()), 1);
        int32_t fd = -1, error = 0;
        const char* reason = nullptr;
        ASSERT_EQ(Platform_OpenPrivateDirectory(open.c_str(), 0, &fd, &error, &reason), 0);
        testing::internal::CaptureStderr();
        Log_PrintInt(LOG_LEVEL_ERROR, __FILE__, __LINE__, 0, "refused\n");
        EXPECT_EQ(Platform_SayFolderRefusal(), 1);
        const std::string said = testing::internal::GetCapturedStderr();
        Debug_Remove();
        const std::string where = tooLong ? said : ReadFile(dir.file("second.log"));
        EXPECT_NE(where.find("ERROR - refused\n"), std::string::npos) << where;
        EXPECT_NE(where.find("ERROR - The folder " + open +
                             " is refused: every user may write into it (mode 0777); it passes when closed "
                             "to others' writes (chmod o-w)\n"),
                  std::string::npos)
            << where;
        EXPECT_EQ((said + ReadFile(dir.file("second.log"))).find("\nThe folder "), std::string::npos) << said;
    }
}

} // namespace
