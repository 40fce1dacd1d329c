// Tests of the privileged task: programs run through the broker at its fixed place with their exact
// arguments, the broker's refusals, exit codes, output, what programs inherit, and who collects them.
#include "core/linux/privileged_task.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "core/linux/platform_process.h"
#include "tests/support/platform_sandbox.h"
#include "tests/support/scoped_env.h"

namespace {

using Args = std::vector<std::string>;

// A task for path with the given arguments, released at the end of the scope.
struct Task {
    explicit Task(const std::string& path = "", const Args& arguments = {}) {
        PrivilegedTask_Create(&task);
        if (!path.empty()) PrivilegedTask_SetLaunchPath(task, path.c_str());
        if (!arguments.empty()) SetArguments(arguments);
    }
    ~Task() {
        if (task) PrivilegedTask_Release(&task);
    }
    operator PrivilegedTask*() const { return task; }
    int64_t SetArguments(const Args& arguments) {
        std::vector<const char*> list;
        for (const std::string& argument : arguments) list.push_back(argument.c_str());
        list.push_back(nullptr);
        return PrivilegedTask_SetArguments(task, list.data());
    }
    int32_t Error() const {
        int32_t code = 1;
        EXPECT_EQ(PrivilegedTask_GetErrorCode(task, &code), 1);
        return code;
    }
    // Waits for the program's end; its exit code.
    int32_t Wait() const {
        EXPECT_TRUE(Eventually([&] { return PrivilegedTask_IsRunning(task) == 0; }));
        int32_t code = INT32_MIN;
        EXPECT_EQ(PrivilegedTask_GetExitCode(task, &code), 1);
        return code;
    }
    PrivilegedTask* task = nullptr;
};

// A broker by the name "pkexec" on PATH that only leaves a mark: no launch may ever use it.
struct BrokerOnPath {
    explicit BrokerOnPath(const TempDir& dir) : mark(dir.file("path-broker-ran")) {
        mkdir(dir.file("path-bin").c_str(), 0755);
        WriteScript(dir.file("path-bin/pkexec"), "touch " + mark + "\nexec \"$@\"\n");
        env.Set("PATH", (dir.file("path-bin") + ":/usr/bin:/bin").c_str());
    }
    std::string mark;
    ScopedEnv env;
};

// The broker is the system's, whatever PATH says: without it nothing is launched.
TEST(PrivilegedTask, BrokerIsNeverTakenFromPath) {
    if (access(privileged_task_internal::BrokerPath, F_OK) == 0)
        GTEST_SKIP() << "the system's broker is installed: a launch would ask for authorisation";
    TempDir dir;
    BrokerOnPath onPath(dir);
    {
        Task task("/bin/true");
        EXPECT_EQ(PrivilegedTask_Launch(task), 0);
        EXPECT_EQ(task.Error(), PRIVILEGED_TASK_ERROR_TOOL_FAILED);
        EXPECT_EQ(PrivilegedTask_GetPID(task), 0);
    }
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
        mkdir(file("bin").c_str(), 0755);
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
        WriteScript(broker_,
                    "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > " + file("broker") + "\n" + body);
    }
    std::string file(const std::string& name) const { return dir_.file(name); }

    // A program that records its arguments and id, may say hello, and exits with `code`.
    std::string Recorder(int code, bool hello = false) {
        WriteScript(file("recorder"), "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > " +
                                          file("arguments") + "\necho $$ > " + file("pid") +
                                          (hello ? "\necho hello" : "") + "\nexit " + std::to_string(code) +
                                          "\n");
        return file("recorder");
    }
    bool IdRecorded(const Task& task) {
        return ReadFile(file("pid")) == std::to_string(PrivilegedTask_GetPID(task)) + "\n";
    }

    TempDir dir_;
    const std::string broker_ = dir_.file("bin/pkexec");
    const char* savedBroker_ = nullptr;
    std::optional<BrokerOnPath> onPath_;
};

TEST_F(BrokerTest, RunsTheProgramThroughTheBrokerWithExactArguments) {
    const std::string victim = file("victim"), pwned = file("pwned");
    WriteText(victim, "x");
    const Args hostile = {"plain",
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
    const std::string recorder = Recorder(3, true);
    Task task(recorder, hostile);
    EXPECT_EQ(PrivilegedTask_GetPID(task), 0);
    FILE* stream = reinterpret_cast<FILE*>(1);
    ASSERT_EQ(PrivilegedTask_LaunchWithOutputFile(task, &stream), 1);
    EXPECT_EQ(task.Error(), 0);
    ASSERT_NE(stream, nullptr);
    // The stream carries the program's output.
    char line[64] = "";
    ASSERT_NE(fgets(line, sizeof(line), stream), nullptr);
    EXPECT_STREQ(line, "hello\n");
    EXPECT_EQ(task.Wait(), 3);
    EXPECT_TRUE(IdRecorded(task));
    // The program comes first, so that the authorisation names it rather than a shell.
    Args broker = {recorder};
    broker.insert(broker.end(), hostile.begin(), hostile.end());
    EXPECT_EQ(ReadNulList(file("broker")), broker);
    EXPECT_EQ(ReadNulList(file("arguments")), hostile);
    EXPECT_TRUE(FileExists(victim));
    EXPECT_FALSE(FileExists(pwned));
    // The end was stored once; asking again neither waits nor changes it.
    EXPECT_EQ(PrivilegedTask_IsRunning(task), 0);
    EXPECT_EQ(task.Wait(), 3);
    EXPECT_EQ(PrivilegedTask_Release(&task.task), 1);
    EXPECT_EQ(task.task, nullptr);
}

TEST_F(BrokerTest, ExitCodesAndSignals) {
    // The broker's refusal statuses, from a program that ran and ended at once, are its own.
    const std::pair<const char*, int32_t> cases[] = {
        {"exit 0", 0},        {"exit 3", 3},     {"exit 255", 255}, {"kill -9 $$", -9},
        {"kill -15 $$", -15}, {"exit 126", 126}, {"exit 127", 127}};
    for (const auto& [script, code] : cases) {
        Task task("/bin/sh", {"-c", script});
        ASSERT_EQ(PrivilegedTask_Launch(task), 1) << script;
        EXPECT_GT(PrivilegedTask_GetPID(task), 0);
        EXPECT_EQ(task.Wait(), code) << script;
        EXPECT_EQ(PrivilegedTask_Delete(&task.task), 1);
        EXPECT_EQ(task.task, nullptr);
    }
}

TEST_F(BrokerTest, RefusalsAndBrokenLaunchesLeaveTheirCode) {
    const std::pair<const char*, int32_t> cases[] = {
        {"exit 126\n", PRIVILEGED_TASK_ERROR_CANCELED},
        {"exit 127\n", PRIVILEGED_TASK_ERROR_DENIED},
        // After the user took a while.
        {"sleep 0.2\nexit 126\n", PRIVILEGED_TASK_ERROR_CANCELED},
        // Ran nothing, whatever it said.
        {"exit 0\n", PRIVILEGED_TASK_ERROR_INTERNAL},
        {"exit 1\n", PRIVILEGED_TASK_ERROR_INTERNAL},
        {"kill -9 $$\n", PRIVILEGED_TASK_ERROR_INTERNAL},
        {"echo $$\nexit 0\n", PRIVILEGED_TASK_ERROR_INTERNAL},
        {"exec 1>&-\nsleep 0.1\nexit 0\n", PRIVILEGED_TASK_ERROR_INTERNAL}};
    for (const auto& [body, code] : cases) {
        UseBroker(body);
        {
            Task task("/bin/true");
            FILE* stream = reinterpret_cast<FILE*>(1);
            EXPECT_EQ(PrivilegedTask_LaunchWithOutputFile(task, &stream), 0) << body;
            EXPECT_EQ(stream, nullptr);
            EXPECT_EQ(task.Error(), code) << body;
            EXPECT_EQ(PrivilegedTask_GetPID(task) + PrivilegedTask_IsRunning(task), 0);
        }
        // The broker is collected (at once when it had ended without an id line).
        EXPECT_TRUE(Eventually([] { return ChildrenOfThisProcess().empty(); })) << body;
    }
}

TEST_F(BrokerTest, TheLaunchWaitsUntilTheProgramRuns) {
    // The user takes a while to authorise; the launch answers once the program runs, with the
    // id the program has.
    UseBroker("sleep 0.3\nexec \"$@\"\n");
    Task task(Recorder(0));
    struct timespec before, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    ASSERT_EQ(PrivilegedTask_Launch(task), 1);
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_GE((after.tv_sec - before.tv_sec) * 1000 + (after.tv_nsec - before.tv_nsec) / 1000000, 300);
    EXPECT_EQ(task.Wait(), 0);
    EXPECT_TRUE(IdRecorded(task));
}

TEST_F(BrokerTest, AProgramByTheBrokersNameRunsToo) {
    // Its process cannot be told from the broker's by name: it counts as started at once.
    mkdir(file("other").c_str(), 0755);
    WriteScript(file("other/pkexec"), "exit 9\n");
    Task task(file("other/pkexec"));
    ASSERT_EQ(PrivilegedTask_Launch(task), 1);
    EXPECT_EQ(task.Error(), 0);
    EXPECT_EQ(task.Wait(), 9);
}

TEST_F(BrokerTest, ProgramsSeeOnlyTheStandardDescriptors) {
    // Opened without close-on-exec, as a library or an inheriting parent leaves them.
    const int leaked = open("/dev/null", O_RDONLY), high = fcntl(leaked, F_DUPFD, 200);
    ASSERT_EQ(high, 200);
    // The program's own descriptors, standard output being the task's stream (the ':' keeps the
    // shell from becoming the ls, whose listing would show the directory it reads).
    Task task("/bin/sh", {"-c", "ls /proc/$$/fd; :"});
    FILE* stream = nullptr;
    ASSERT_EQ(PrivilegedTask_LaunchWithOutputFile(task, &stream), 1);
    std::string listed;
    char buffer[256];
    while (fgets(buffer, sizeof(buffer), stream)) listed += buffer;
    EXPECT_EQ(task.Wait(), 0);
    EXPECT_EQ(listed, "0\n1\n2\n");
    close(leaked);
    close(high);
}

TEST_F(BrokerTest, NothingToRunAsksNobody) {
    mkdir(file("dir").c_str(), 0755);
    const std::pair<std::string, int32_t> cases[] = {
        {"", PRIVILEGED_TASK_ERROR_NO_PATH},
        {"/nonexistent-qvr/tool", PRIVILEGED_TASK_ERROR_TOOL_FAILED},
        {file("dir"), PRIVILEGED_TASK_ERROR_TOOL_FAILED},
        {file("dir") + "/", PRIVILEGED_TASK_ERROR_TOOL_FAILED},
        {"/bin/true/x", PRIVILEGED_TASK_ERROR_TOOL_FAILED}};
    for (const auto& [path, code] : cases) {
        Task task(path);
        EXPECT_EQ(PrivilegedTask_Launch(task), 0) << path;
        EXPECT_EQ(task.Error(), code) << path;
    }
    // A broker that is not the system's own kind of file is not handed the authorisation.
    const struct {
        const char* Label;
        std::string Broker;
        mode_t Mode;
        uid_t Owner;
    } brokers[] = {{"missing", file("bin/missing"), 0755, 0}, {"a directory", file("dir"), 0755, 0},
                   {"not executable", broker_, 0644, 0},      {"writable by its group", broker_, 0775, 0},
                   {"writable by anyone", broker_, 0757, 0},  {"another user's", broker_, 0755, kOtherUser}};
    for (const auto& b : brokers) {
        ASSERT_EQ(chmod(broker_.c_str(), b.Mode) + chown(broker_.c_str(), b.Owner, 0), 0);
        privileged_task_internal::BrokerPath = b.Broker.c_str();
        Task task("/bin/true");
        EXPECT_EQ(PrivilegedTask_Launch(task), 0) << b.Label;
        EXPECT_EQ(task.Error(), PRIVILEGED_TASK_ERROR_TOOL_FAILED) << b.Label;
    }
    EXPECT_FALSE(FileExists(file("broker")));
}

TEST_F(BrokerTest, RelativeLaunchPathIsMadeAbsolute) {
    WriteScript(file("tool"), "exit 5\n");
    char here[PATH_MAX], physical[PATH_MAX];
    ASSERT_NE(getcwd(here, sizeof(here)), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    ASSERT_NE(getcwd(physical, sizeof(physical)), nullptr);
    // Without a '/' the broker would search its PATH for it; "-x" would be read as an option.
    for (const char* relative : {"tool", "./tool"}) {
        Task task(relative);
        EXPECT_EQ(PrivilegedTask_Launch(task), 1) << relative;
        EXPECT_EQ(task.Wait(), 5);
        EXPECT_EQ(ReadNulList(file("broker")), Args{std::string(physical) + "/" + relative});
    }
    ASSERT_EQ(chdir(here), 0);
}

TEST_F(BrokerTest, SettingsReplaceAndLimits) {
    Task task("/bin/false", {"one", "two"});
    PrivilegedTask_SetLaunchPath(task, Recorder(0).c_str());
    EXPECT_EQ(task.SetArguments({"three"}), 1);
    // Too many arguments, or a path beyond the system's limit, change nothing.
    EXPECT_EQ(task.SetArguments(Args(PRIVILEGED_TASK_MAX_ARGUMENTS + 1, "x")), 0);
    EXPECT_EQ(task.Error(), PRIVILEGED_TASK_ERROR_PARAMETER);
    EXPECT_EQ(PrivilegedTask_SetLaunchPath(task, ("/" + std::string(PATH_MAX, 'p')).c_str()), 0);
    ASSERT_EQ(PrivilegedTask_Launch(task), 1);
    EXPECT_EQ(task.Error(), 0);
    EXPECT_EQ(task.Wait(), 0);
    EXPECT_EQ(ReadNulList(file("arguments")), Args{"three"});
    // The most arguments allowed, and none at all.
    EXPECT_EQ(task.SetArguments(Args(PRIVILEGED_TASK_MAX_ARGUMENTS, "x")), 1);
    EXPECT_EQ(PrivilegedTask_SetArguments(task, nullptr), 1);
    ASSERT_EQ(PrivilegedTask_Launch(task), 1);
    EXPECT_EQ(task.Wait(), 0);
    EXPECT_EQ(ReadNulList(file("arguments")), Args{});
}

TEST_F(BrokerTest, ProgramsOutlivingTheTaskAreCollected) {
    Task task("/bin/sleep", {"60"});
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
    EXPECT_EQ(PrivilegedTask_Release(&task.task), 1);
    EXPECT_EQ(PrivilegedTask_Release(&task.task), 0);
    EXPECT_TRUE(Listed(first) && Listed(second));
    kill(first, SIGKILL);
    kill(second, SIGKILL);
    EXPECT_TRUE(Eventually([&] { return !Listed(first) && !Listed(second); }));
}

TEST_F(BrokerTest, OutputNobodyReadsIsPassedOn) {
    // More than a pipe holds: a program whose output nobody took would never end.
    Task task("/bin/sh", {"-c", "head -c 300000 /dev/zero | tr '\\0' x; exit 4"});
    int32_t code = INT32_MIN;
    std::string output = CaptureOutput(STDOUT_FILENO, file("stdout"), [&] {
        ASSERT_EQ(PrivilegedTask_Launch(task), 1);
        code = task.Wait();
    });
    EXPECT_EQ(code, 4);
    EXPECT_EQ(output, std::string(300000, 'x'));
    // After the task is gone, until the program ends.
    task.SetArguments({"-c", "sleep 0.2; head -c 300000 /dev/zero | tr '\\0' y"});
    output = CaptureOutput(STDOUT_FILENO, file("stdout"), [&] {
        ASSERT_EQ(PrivilegedTask_Launch(task), 1);
        const int32_t pid = PrivilegedTask_GetPID(task);
        PrivilegedTask_Release(&task.task);
        EXPECT_TRUE(Eventually([&] { return !Listed(pid); }));
    });
    EXPECT_EQ(output, std::string(300000, 'y'));
}

TEST(PrivilegedTask, HandlesOfAnotherClassAbort) {
    Class wrong = {};
    wrong.ClassId = 0x574A8EBC;
    ExpectAborts({{"another class", [&] { PrivilegedTask_GetPID(reinterpret_cast<PrivilegedTask*>(&wrong)); },
                   ClassMismatch(0x574a8ebc)}});
}

} // namespace
