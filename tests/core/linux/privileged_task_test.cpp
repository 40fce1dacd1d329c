#include "core/linux/privileged_task.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "core/linux/platform_process.h"
#include "tests/core/linux/process_test_support.h"
#include "tests/support/abort_hook.h"
#include "tests/support/temp_dir.h"

namespace {

// A broker by the name "pkexec" on PATH that only leaves a mark: no launch may ever use it.
struct BrokerOnPath {
    explicit BrokerOnPath(const TempDir& dir) : mark(dir.file("path-broker-ran")) {
        const char* path = getenv("PATH");
        saved = path ? std::optional<std::string>(path) : std::nullopt;
        mkdir(dir.file("path-bin").c_str(), 0755);
        WriteScript(dir.file("path-bin/pkexec"), "touch " + mark + "\nexec \"$@\"\n");
        setenv("PATH", (dir.file("path-bin") + ":/usr/bin:/bin").c_str(), 1);
    }
    ~BrokerOnPath() {
        if (saved)
            setenv("PATH", saved->c_str(), 1);
        else
            unsetenv("PATH");
    }
    BrokerOnPath(const BrokerOnPath&) = delete;
    BrokerOnPath& operator=(const BrokerOnPath&) = delete;
    std::string mark;
    std::optional<std::string> saved;
};

// The broker is the system's, whatever PATH says: without it nothing is launched.
TEST(PrivilegedTask, BrokerIsNeverTakenFromPath) {
    if (access(privileged_task_internal::BrokerPath, F_OK) == 0)
        GTEST_SKIP() << "the system's broker is installed: a launch would ask for authorisation";
    TempDir dir;
    BrokerOnPath onPath(dir);
    PrivilegedTask* task = nullptr;
    PrivilegedTask_Create(&task);
    PrivilegedTask_SetLaunchPath(task, "/bin/true");
    EXPECT_EQ(PrivilegedTask_Launch(task), 0);
    int32_t code = 0;
    PrivilegedTask_GetErrorCode(task, &code);
    EXPECT_EQ(code, PRIVILEGED_TASK_ERROR_TOOL_FAILED);
    EXPECT_EQ(PrivilegedTask_GetPID(task), 0);
    PrivilegedTask_Delete(&task);
    EXPECT_FALSE(FileExists(onPath.mark));
    EXPECT_TRUE(Eventually([] { return ChildrenOfThisProcess().empty(); }));
}

// A stand-in broker at the broker's place: it records its arguments (NUL-separated) and then
// runs `body`, which by default runs them as the real one would. It must be root's, as the real
// one, which it is when root writes it; a broker of the same name on PATH is never used.
class BrokerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the broker must be root's: needs root";
        savedBroker_ = privileged_task_internal::BrokerPath;
        mkdir(dir_.file("bin").c_str(), 0755);
        broker_ = dir_.file("bin/pkexec");
        privileged_task_internal::BrokerPath = broker_.c_str();
        onPath_.emplace(dir_);
        UseBroker("exec \"$@\"\n");
    }
    void TearDown() override {
        if (!savedBroker_) return;
        privileged_task_internal::BrokerPath = savedBroker_;
        EXPECT_FALSE(FileExists(onPath_->mark)) << "the broker on PATH was used";
        onPath_.reset();
        // Whatever a test started has ended and been collected.
        EXPECT_TRUE(Eventually([] { return ChildrenOfThisProcess().empty(); }));
    }
    void UseBroker(const std::string& body) {
        WriteScript(dir_.file("bin/pkexec"),
                    "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > " + file("broker") + "\n" + body);
    }
    std::string file(const std::string& name) const { return dir_.file(name); }

    // A program that records its arguments and id, may say hello, and exits with `code`.
    std::string Recorder(int code, bool hello = false) {
        const std::string path = file("recorder");
        WriteScript(path, "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > " + file("arguments") +
                              "\necho $$ > " + file("pid") + (hello ? "\necho hello" : "") + "\nexit " +
                              std::to_string(code) + "\n");
        return path;
    }

    // Runs fn with standard output going to a file; what was written there.
    template <typename Fn> std::string CaptureStdout(Fn&& fn) {
        const std::string path = file("stdout");
        fflush(stdout);
        int saved = dup(STDOUT_FILENO);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDOUT_FILENO);
        close(fd);
        fn();
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        return ReadFile(path);
    }

    static int32_t ErrorCode(PrivilegedTask* task) {
        int32_t code = 1;
        EXPECT_EQ(PrivilegedTask_GetErrorCode(task, &code), 1);
        return code;
    }
    static int32_t WaitForEnd(PrivilegedTask* task) {
        EXPECT_TRUE(Eventually([&] { return PrivilegedTask_IsRunning(task) == 0; }));
        int32_t code = INT32_MIN;
        EXPECT_EQ(PrivilegedTask_GetExitCode(task, &code), 1);
        return code;
    }

    TempDir dir_;
    std::string broker_;
    const char* savedBroker_ = nullptr;
    std::optional<BrokerOnPath> onPath_;
};

TEST_F(BrokerTest, RunsTheProgramThroughTheBrokerWithExactArguments) {
    const std::string victim = file("victim"), pwned = file("pwned");
    std::ofstream(victim) << "x";
    const std::vector<std::string> hostile = {"plain",
                                              "two words",
                                              "",
                                              "; rm -f " + victim,
                                              "$(touch " + pwned + ")",
                                              "`touch " + pwned + "`",
                                              "'quoted'",
                                              "\"double\"",
                                              "back\\slash",
                                              "-c",
                                              "--",
                                              "*",
                                              "a|b&c>d",
                                              "$0 $@ $$",
                                              "line\nbreak",
                                              ""};
    std::vector<const char*> list;
    for (const std::string& argument : hostile) list.push_back(argument.c_str());
    list.push_back(nullptr);

    PrivilegedTask* task = nullptr;
    ASSERT_EQ(PrivilegedTask_Create(&task), 1);
    const std::string recorder = Recorder(3, true);
    ASSERT_EQ(PrivilegedTask_SetLaunchPath(task, recorder.c_str()), 1);
    ASSERT_EQ(PrivilegedTask_SetArguments(task, list.data()), 1);
    EXPECT_EQ(PrivilegedTask_GetPID(task), 0);
    FILE* stream = reinterpret_cast<FILE*>(1);
    ASSERT_EQ(PrivilegedTask_LaunchWithOutputFile(task, &stream), 1);
    EXPECT_EQ(ErrorCode(task), 0);
    ASSERT_NE(stream, nullptr);

    // The stream carries the program's output.
    char line[64] = "";
    ASSERT_NE(fgets(line, sizeof(line), stream), nullptr);
    EXPECT_STREQ(line, "hello\n");
    EXPECT_EQ(WaitForEnd(task), 3);
    EXPECT_EQ(ReadFile(file("pid")), std::to_string(PrivilegedTask_GetPID(task)) + "\n");

    // The program comes first, so that the authorisation names it rather than a shell.
    std::vector<std::string> broker = {recorder};
    broker.insert(broker.end(), hostile.begin(), hostile.end());
    EXPECT_EQ(ReadNulList(file("broker")), broker);
    EXPECT_EQ(ReadNulList(file("arguments")), hostile);
    EXPECT_TRUE(FileExists(victim));
    EXPECT_FALSE(FileExists(pwned));
    // The end was stored once; asking again neither waits nor changes it.
    EXPECT_EQ(PrivilegedTask_IsRunning(task), 0);
    EXPECT_EQ(WaitForEnd(task), 3);
    EXPECT_EQ(PrivilegedTask_Release(&task), 1);
    EXPECT_EQ(task, nullptr);
}

TEST_F(BrokerTest, ExitCodesAndSignals) {
    const struct {
        const char* script;
        int32_t code;
    } cases[] = {
        {"exit 0", 0},
        {"exit 3", 3},
        {"exit 255", 255},
        {"kill -9 $$", -9},
        {"kill -15 $$", -15},
        // The broker's refusal statuses, from a program that ran and ended at once, are its own.
        {"exit 126", 126},
        {"exit 127", 127},
    };
    for (const auto& test : cases) {
        PrivilegedTask* task = nullptr;
        PrivilegedTask_Create(&task);
        PrivilegedTask_SetLaunchPath(task, "/bin/sh");
        const char* const arguments[] = {"-c", test.script, nullptr};
        PrivilegedTask_SetArguments(task, arguments);
        ASSERT_EQ(PrivilegedTask_Launch(task), 1) << test.script;
        EXPECT_GT(PrivilegedTask_GetPID(task), 0);
        EXPECT_EQ(WaitForEnd(task), test.code) << test.script;
        PrivilegedTask_Delete(&task);
        EXPECT_EQ(task, nullptr);
    }
}

TEST_F(BrokerTest, RefusalsAndBrokenLaunchesLeaveTheirCode) {
    const struct {
        const char* broker;
        int32_t code;
    } cases[] = {
        {"exit 126\n", PRIVILEGED_TASK_ERROR_CANCELED},
        {"exit 127\n", PRIVILEGED_TASK_ERROR_DENIED},
        // After the user took a while.
        {"sleep 0.2\nexit 126\n", PRIVILEGED_TASK_ERROR_CANCELED},
        // Ran nothing, whatever it said.
        {"exit 0\n", PRIVILEGED_TASK_ERROR_INTERNAL},
        {"exit 1\n", PRIVILEGED_TASK_ERROR_INTERNAL},
        {"kill -9 $$\n", PRIVILEGED_TASK_ERROR_INTERNAL},
        {"echo $$\nexit 0\n", PRIVILEGED_TASK_ERROR_INTERNAL},
        {"exec 1>&-\nsleep 0.1\nexit 0\n", PRIVILEGED_TASK_ERROR_INTERNAL},
    };
    for (const auto& test : cases) {
        UseBroker(test.broker);
        PrivilegedTask* task = nullptr;
        PrivilegedTask_Create(&task);
        PrivilegedTask_SetLaunchPath(task, "/bin/true");
        FILE* stream = reinterpret_cast<FILE*>(1);
        EXPECT_EQ(PrivilegedTask_LaunchWithOutputFile(task, &stream), 0) << test.broker;
        EXPECT_EQ(stream, nullptr);
        EXPECT_EQ(ErrorCode(task), test.code) << test.broker;
        EXPECT_EQ(PrivilegedTask_GetPID(task), 0);
        EXPECT_EQ(PrivilegedTask_IsRunning(task), 0);
        PrivilegedTask_Release(&task);
        // The broker is collected (at once when it had ended without an id line).
        EXPECT_TRUE(Eventually([] { return ChildrenOfThisProcess().empty(); })) << test.broker;
    }
}

TEST_F(BrokerTest, TheLaunchWaitsUntilTheProgramRuns) {
    // The user takes a while to authorise; the launch answers once the program runs, with the
    // id the program has.
    UseBroker("sleep 0.3\nexec \"$@\"\n");
    PrivilegedTask* task = nullptr;
    PrivilegedTask_Create(&task);
    const std::string recorder = Recorder(0);
    PrivilegedTask_SetLaunchPath(task, recorder.c_str());
    struct timespec before, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    ASSERT_EQ(PrivilegedTask_Launch(task), 1);
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_GE((after.tv_sec - before.tv_sec) * 1000 + (after.tv_nsec - before.tv_nsec) / 1000000, 300);
    EXPECT_EQ(WaitForEnd(task), 0);
    EXPECT_EQ(ReadFile(file("pid")), std::to_string(PrivilegedTask_GetPID(task)) + "\n");
    PrivilegedTask_Delete(&task);
}

TEST_F(BrokerTest, AProgramByTheBrokersNameRunsToo) {
    // Its process cannot be told from the broker's by name: it counts as started at once.
    mkdir(file("other").c_str(), 0755);
    WriteScript(file("other/pkexec"), "exit 9\n");
    PrivilegedTask* task = nullptr;
    PrivilegedTask_Create(&task);
    PrivilegedTask_SetLaunchPath(task, file("other/pkexec").c_str());
    ASSERT_EQ(PrivilegedTask_Launch(task), 1);
    EXPECT_EQ(ErrorCode(task), 0);
    EXPECT_EQ(WaitForEnd(task), 9);
    PrivilegedTask_Delete(&task);
}

TEST_F(BrokerTest, ProgramsSeeOnlyTheStandardDescriptors) {
    // Opened without close-on-exec, as a library or an inheriting parent leaves them.
    const int leaked = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    const int high = fcntl(leaked, F_DUPFD, 200);
    ASSERT_EQ(high, 200);
    PrivilegedTask* task = nullptr;
    PrivilegedTask_Create(&task);
    PrivilegedTask_SetLaunchPath(task, "/bin/sh");
    // The program's own descriptors, standard output being the task's stream (the ':' keeps the
    // shell from becoming the ls, whose listing would show the directory it reads).
    const char* const arguments[] = {"-c", "ls /proc/$$/fd; :", nullptr};
    PrivilegedTask_SetArguments(task, arguments);
    FILE* stream = nullptr;
    ASSERT_EQ(PrivilegedTask_LaunchWithOutputFile(task, &stream), 1);
    std::string listed;
    char buffer[256];
    while (fgets(buffer, sizeof(buffer), stream)) listed += buffer;
    EXPECT_EQ(WaitForEnd(task), 0);
    EXPECT_EQ(listed, "0\n1\n2\n");
    close(leaked);
    close(high);
    PrivilegedTask_Delete(&task);
}

TEST_F(BrokerTest, NothingToRunAsksNobody) {
    mkdir(file("dir").c_str(), 0755);
    const struct {
        std::string path;
        int32_t code;
    } cases[] = {
        {"", PRIVILEGED_TASK_ERROR_NO_PATH},
        {"/nonexistent-qvr/tool", PRIVILEGED_TASK_ERROR_TOOL_FAILED},
        {file("dir"), PRIVILEGED_TASK_ERROR_TOOL_FAILED},
        {file("dir") + "/", PRIVILEGED_TASK_ERROR_TOOL_FAILED},
        {"/bin/true/x", PRIVILEGED_TASK_ERROR_TOOL_FAILED},
    };
    for (const auto& test : cases) {
        PrivilegedTask* task = nullptr;
        PrivilegedTask_Create(&task);
        if (!test.path.empty()) PrivilegedTask_SetLaunchPath(task, test.path.c_str());
        EXPECT_EQ(PrivilegedTask_Launch(task), 0) << test.path;
        EXPECT_EQ(ErrorCode(task), test.code) << test.path;
        PrivilegedTask_Delete(&task);
    }
    EXPECT_FALSE(FileExists(file("broker")));

    // A broker that is not the system's own kind of file is not handed the authorisation.
    const struct {
        const char* label;
        std::string broker;
        mode_t mode;
        uid_t owner;
    } brokers[] = {
        {"missing", file("bin/missing"), 0755, 0}, {"a directory", file("dir"), 0755, 0},
        {"not executable", broker_, 0644, 0},      {"writable by its group", broker_, 0775, 0},
        {"writable by anyone", broker_, 0757, 0},  {"another user's", broker_, 0755, 65534},
    };
    for (const auto& test : brokers) {
        chmod(broker_.c_str(), test.mode);
        ASSERT_EQ(chown(broker_.c_str(), test.owner, 0), 0);
        privileged_task_internal::BrokerPath = test.broker.c_str();
        PrivilegedTask* task = nullptr;
        PrivilegedTask_Create(&task);
        PrivilegedTask_SetLaunchPath(task, "/bin/true");
        EXPECT_EQ(PrivilegedTask_Launch(task), 0) << test.label;
        EXPECT_EQ(ErrorCode(task), PRIVILEGED_TASK_ERROR_TOOL_FAILED) << test.label;
        PrivilegedTask_Delete(&task);
    }
    EXPECT_FALSE(FileExists(file("broker")));
}

TEST_F(BrokerTest, RelativeLaunchPathIsMadeAbsolute) {
    WriteScript(file("tool"), "exit 5\n");
    char here[PATH_MAX];
    ASSERT_NE(getcwd(here, sizeof(here)), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    char physical[PATH_MAX];
    ASSERT_NE(getcwd(physical, sizeof(physical)), nullptr);
    PrivilegedTask* task = nullptr;
    PrivilegedTask_Create(&task);
    // Without a '/' the broker would search its PATH for it; "-x" would be read as an option.
    for (const char* relative : {"tool", "./tool"}) {
        PrivilegedTask_SetLaunchPath(task, relative);
        const int64_t launched = PrivilegedTask_Launch(task);
        EXPECT_EQ(launched, 1) << relative;
        if (launched) {
            EXPECT_EQ(WaitForEnd(task), 5);
        }
        EXPECT_EQ(ReadNulList(file("broker")),
                  std::vector<std::string>{std::string(physical) + "/" + relative});
    }
    PrivilegedTask_Delete(&task);
    ASSERT_EQ(chdir(here), 0);
}

TEST_F(BrokerTest, SettingsReplaceAndLimits) {
    PrivilegedTask* task = nullptr;
    PrivilegedTask_Create(&task);
    const std::string recorder = Recorder(0);
    PrivilegedTask_SetLaunchPath(task, "/bin/false");
    PrivilegedTask_SetLaunchPath(task, recorder.c_str());
    const char* const first[] = {"one", "two", nullptr};
    const char* const second[] = {"three", nullptr};
    EXPECT_EQ(PrivilegedTask_SetArguments(task, first), 1);
    EXPECT_EQ(PrivilegedTask_SetArguments(task, second), 1);

    // Too many arguments, or a path beyond the system's limit, change nothing.
    std::vector<const char*> many(PRIVILEGED_TASK_MAX_ARGUMENTS + 1, "x");
    many.push_back(nullptr);
    EXPECT_EQ(PrivilegedTask_SetArguments(task, many.data()), 0);
    EXPECT_EQ(ErrorCode(task), PRIVILEGED_TASK_ERROR_PARAMETER);
    const std::string longPath = "/" + std::string(PATH_MAX, 'p');
    EXPECT_EQ(PrivilegedTask_SetLaunchPath(task, longPath.c_str()), 0);
    ASSERT_EQ(PrivilegedTask_Launch(task), 1);
    EXPECT_EQ(ErrorCode(task), 0);
    EXPECT_EQ(WaitForEnd(task), 0);
    EXPECT_EQ(ReadNulList(file("arguments")), std::vector<std::string>{"three"});

    // The most arguments allowed, and none at all.
    many.erase(many.end() - 2);
    EXPECT_EQ(PrivilegedTask_SetArguments(task, many.data()), 1);
    EXPECT_EQ(PrivilegedTask_SetArguments(task, nullptr), 1);
    ASSERT_EQ(PrivilegedTask_Launch(task), 1);
    EXPECT_EQ(WaitForEnd(task), 0);
    EXPECT_EQ(ReadNulList(file("arguments")), std::vector<std::string>{});
    PrivilegedTask_Delete(&task);
}

TEST_F(BrokerTest, ProgramsOutlivingTheTaskAreCollected) {
    PrivilegedTask* task = nullptr;
    PrivilegedTask_Create(&task);
    PrivilegedTask_SetLaunchPath(task, "/bin/sleep");
    const char* const arguments[] = {"60", nullptr};
    PrivilegedTask_SetArguments(task, arguments);
    // A second launch lets go of the first.
    ASSERT_EQ(PrivilegedTask_Launch(task), 1);
    const int32_t first = PrivilegedTask_GetPID(task);
    ASSERT_EQ(PrivilegedTask_Launch(task), 1);
    const int32_t second = PrivilegedTask_GetPID(task);
    EXPECT_NE(first, second);
    EXPECT_EQ(PrivilegedTask_IsRunning(task), 1);
    // A reference keeps the task; the last release deletes it, the program goes on.
    EXPECT_EQ(PrivilegedTask_AddRef(task), 1);
    PrivilegedTask* other = task;
    EXPECT_EQ(PrivilegedTask_Release(&other), 1);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(PrivilegedTask_IsRunning(task), 1);
    EXPECT_EQ(PrivilegedTask_Release(&task), 1);
    EXPECT_EQ(task, nullptr);
    EXPECT_EQ(PrivilegedTask_Release(&task), 0);
    EXPECT_TRUE(Listed(first));
    EXPECT_TRUE(Listed(second));
    kill(first, SIGKILL);
    kill(second, SIGKILL);
    EXPECT_TRUE(Eventually([&] { return !Listed(first) && !Listed(second); }));
}

TEST_F(BrokerTest, OutputNobodyReadsIsPassedOn) {
    // More than a pipe holds: a program whose output nobody took would never end.
    PrivilegedTask* task = nullptr;
    PrivilegedTask_Create(&task);
    PrivilegedTask_SetLaunchPath(task, "/bin/sh");
    const char* const arguments[] = {"-c", "head -c 300000 /dev/zero | tr '\\0' x; exit 4", nullptr};
    PrivilegedTask_SetArguments(task, arguments);
    int32_t code = INT32_MIN;
    std::string output = CaptureStdout([&] {
        ASSERT_EQ(PrivilegedTask_Launch(task), 1);
        code = WaitForEnd(task);
    });
    EXPECT_EQ(code, 4);
    EXPECT_EQ(output.size(), 300000u);
    EXPECT_EQ(output.find_first_not_of('x'), std::string::npos);

    // After the task is gone, until the program ends.
    const char* const later[] = {"-c", "sleep 0.2; head -c 300000 /dev/zero | tr '\\0' y", nullptr};
    PrivilegedTask_SetArguments(task, later);
    output = CaptureStdout([&] {
        ASSERT_EQ(PrivilegedTask_Launch(task), 1);
        const int32_t pid = PrivilegedTask_GetPID(task);
        PrivilegedTask_Release(&task);
        EXPECT_TRUE(Eventually([&] { return !Listed(pid); }));
    });
    EXPECT_EQ(output.size(), 300000u);
    EXPECT_EQ(output.find_first_not_of('y'), std::string::npos);
}

TEST(PrivilegedTask, FreshTaskAndProgrammingErrors) {
    PrivilegedTask* task = nullptr;
    ASSERT_EQ(PrivilegedTask_Create(&task), 1);
    char id[40] = "junk";
    EXPECT_EQ(PrivilegedTask_GetInstanceId(task, id, sizeof(id)), 1);
    EXPECT_STREQ(id, "");
    int32_t code = 7;
    EXPECT_EQ(PrivilegedTask_GetExitCode(task, &code), 1);
    EXPECT_EQ(code, 0);
    code = 7;
    EXPECT_EQ(PrivilegedTask_GetErrorCode(task, &code), 1);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(PrivilegedTask_GetPID(task), 0);
    EXPECT_EQ(PrivilegedTask_IsRunning(task), 0);
    EXPECT_EQ(PrivilegedTask_Launch(task), 0);
    EXPECT_EQ(PrivilegedTask_GetErrorCode(task, &code), 1);
    EXPECT_EQ(code, -3221);
    EXPECT_EQ(PrivilegedTask_Delete(&task), 1);
    EXPECT_EQ(task, nullptr);

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            PrivilegedTask_Create(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            PrivilegedTask_Launch(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            PrivilegedTask* t = nullptr;
            PrivilegedTask_Create(&t);
            PrivilegedTask_SetLaunchPath(t, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Class wrong = {};
            wrong.ClassId = 0x574A8EBC;
            PrivilegedTask_GetPID(reinterpret_cast<PrivilegedTask*>(&wrong));
        },
        "Class mismatch pointer \\(0x[0-9a-fA-F]+: expected 0x9e5f7c03 but was 0x574a8ebc\\)");
}

} // namespace
