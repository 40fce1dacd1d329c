// Tests of Process with real child programs: the "Start", "Ready" and "Complete" notifications in
// order and with their information, exit codes and signals, programs that end before they are
// watched or ignore SIGTERM, missing programs, the digest and signature checks in their order,
// the standard pipe slots, settings, the print block and observers that act from inside a
// notification. Every child is reaped, which the tests check through /proc.
#include "core/platform/process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/platform/pipe.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "tests/support/abort_hook.h"
#include "tests/support/temp_dir.h"

namespace {

TempDir* g_dir = nullptr;

class ProcessEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        g_dir = new TempDir;
        // Pipes live here; and launches by root stay with root.
        setenv("TMPDIR", g_dir->path().c_str(), 1);
        unsetenv("PKEXEC_UID");
        unsetenv("SUDO_UID");
        ASSERT_EQ(Debug_Init(g_dir->file("process.log").c_str(), nullptr, DEBUG_FLAG_EXTERNAL_PRINT), 1);
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(Interop_Init(), 1);
    }
    void TearDown() override {
        Interop_Remove();
        EventQueue_Remove();
        Thread_Remove();
        Debug_Remove();
        delete g_dir;
        g_dir = nullptr;
    }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new ProcessEnvironment);

// One notification as an observer saw it.
struct Seen {
    std::string Name;
    bool HasInfo = false;
    int32_t Id = -1;
    int32_t Successful = -1;
    int32_t ExitCode = -99;
    double RunningTime = -1;
};

struct Recorder {
    Process* Owner = nullptr;
    std::vector<Seen> Events;
    std::vector<std::string> Lines;
    // Acts from inside "Complete": release the owner, or launch it again once.
    bool ReleaseOnComplete = false;
    bool RelaunchOnComplete = false;

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const Seen& seen : Events) names.push_back(seen.Name);
        return names;
    }
    size_t Count(const std::string& name) const {
        size_t count = 0;
        for (const Seen& seen : Events) count += seen.Name == name;
        return count;
    }
    const Seen* Last(const std::string& name) const {
        for (auto it = Events.rbegin(); it != Events.rend(); ++it)
            if (it->Name == name) return &*it;
        return nullptr;
    }
    bool HasLine(const std::string& text) const {
        for (const std::string& line : Lines)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
};

int64_t Observe(void* user, const char* type, const char*, const char* instance, Dictionary* info) {
    Recorder* r = static_cast<Recorder*>(user);
    EXPECT_STREQ(type, "Process");
    Seen seen;
    // The name as the centre delivers it to an instance observer is the record's; ask the info.
    seen.HasInfo = info != nullptr;
    if (info) {
        Dictionary_GetInt32ByKey(info, "id", &seen.Id);
        uint32_t successful = 0;
        if (Dictionary_GetBooleanByKey(info, "successful", &successful))
            seen.Successful = (int32_t)successful;
        Dictionary_GetInt32ByKey(info, "exitCode", &seen.ExitCode);
    }
    if (r->Owner) {
        char id[40];
        Process_GetInstanceId(r->Owner, id, sizeof(id));
        EXPECT_STREQ(instance, id);
        Process_GetRunningTime(r->Owner, &seen.RunningTime);
    }
    r->Events.push_back(seen);
    return 1;
}

int64_t ObserveStart(void* user, const char* type, const char* name, const char* instance, Dictionary* info) {
    Observe(user, type, name, instance, info);
    static_cast<Recorder*>(user)->Events.back().Name = "Start";
    return 1;
}

int64_t ObserveReady(void* user, const char* type, const char* name, const char* instance, Dictionary* info) {
    Observe(user, type, name, instance, info);
    static_cast<Recorder*>(user)->Events.back().Name = "Ready";
    return 1;
}

int64_t ObserveComplete(void* user, const char* type, const char* name, const char* instance,
                        Dictionary* info) {
    Recorder* r = static_cast<Recorder*>(user);
    Observe(user, type, name, instance, info);
    r->Events.back().Name = "Complete";
    if (r->RelaunchOnComplete) {
        r->RelaunchOnComplete = false;
        EXPECT_EQ(Process_Launch(r->Owner), 1) << "a launch from inside \"Complete\" is a new launch";
    }
    if (r->ReleaseOnComplete) {
        r->ReleaseOnComplete = false;
        Process_Release(&r->Owner);
    }
    return 1;
}

int64_t CaptureLine(void* user, const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    String_VPrint(line, sizeof(line), format, args);
    va_end(args);
    static_cast<Recorder*>(user)->Lines.push_back(line);
    return 1;
}

// The state letter of /proc/<pid>/stat, 0 when the process is gone (reaped). Plain reads: the
// file may vanish while it is read.
char ProcState(int32_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    char text[512] = {};
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    const ssize_t n = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (n <= 0) return 0;
    const std::string stat(text, (size_t)n);
    const size_t end = stat.rfind(')');
    return end == std::string::npos || end + 2 >= stat.size() ? 0 : stat[end + 2];
}

// The command name of /proc/<pid>/comm, empty when the process is gone.
std::string ProcName(int32_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/comm";
    char text[64] = {};
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return "";
    const ssize_t n = read(fd, text, sizeof(text) - 1);
    close(fd);
    std::string name(text, n > 0 ? (size_t)n : 0);
    while (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
}

bool WaitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string Sha1Of(const std::string& path) {
    std::string command = "sha1sum '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    char text[128] = {};
    if (pipe) {
        if (!fgets(text, sizeof(text), pipe)) text[0] = 0;
        pclose(pipe);
    }
    return std::string(text).substr(0, 40);
}

std::string Upper(std::string text) {
    for (char& c : text) c = (char)toupper((unsigned char)c);
    return text;
}

void WriteFile(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
}

class ProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(NotificationCenter_Init(), 1);
        Authenticate_Init();
        Authenticate_SetEnabled(1);
        // A fresh directory per run, so that marks of an earlier run (also of a repeat) never count.
        static int32_t runs = 0;
        dir = g_dir->path() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "." +
              std::to_string(++runs);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    }
    void TearDown() override {
        if (process) Process_Release(&process);
        EXPECT_EQ(NotificationCenter_Remove(), 1);
        EventQueue_Flush(nullptr);
        Interop_Process();
        Authenticate_Remove();
    }
    Process* Make(const std::string& path, const std::string& arguments, Recorder& r) {
        EXPECT_EQ(Process_Create(&process), 1);
        r.Owner = process;
        Process_SetApplicationName(process, path.c_str());
        Process_SetArguments(process, arguments.c_str());
        Process_SetPrintCallback(process, &r, CaptureLine);
        const char* id = process->Header.InstanceId;
        NotificationCenter_AddInstanceObserver("Process", "Start", id, &r, ObserveStart);
        NotificationCenter_AddInstanceObserver("Process", "Ready", id, &r, ObserveReady);
        NotificationCenter_AddInstanceObserver("Process", "Complete", id, &r, ObserveComplete);
        return process;
    }
    // Polls until `count` "Complete" notifications have arrived (bounded: a fault fails).
    bool PollUntilComplete(Recorder& r, size_t count = 1) {
        return WaitFor([&] {
            if (r.Owner) Process_Process(r.Owner);
            return r.Count("Complete") >= count;
        });
    }
    // A script in this test's directory that waits until `go` exists, then exits with the code.
    std::string HeldProgram(int32_t code) {
        return "-c \"while [ ! -e '" + dir + "/go' ]; do sleep 0.01; done; exit " + std::to_string(code) +
               "\"";
    }
    void Release() { std::ofstream(dir + "/go") << "go"; }

    std::string dir;
    Process* process = nullptr;
};

using Names = std::vector<std::string>;

TEST_F(ProcessTest, EmptyApplicationPathStartsAndCompletesUnsuccessfully) {
    Recorder r;
    Make("", "", r);
    EXPECT_EQ(Process_Launch(process), 0);
    EXPECT_EQ(r.Names(), (Names{"Start", "Complete"}));
    EXPECT_FALSE(r.Events[0].HasInfo) << "\"Start\" carries no information";
    EXPECT_EQ(r.Events[1].Successful, 0);
    EXPECT_EQ(r.Events[1].ExitCode, 0);
    EXPECT_TRUE(r.HasLine("Application name is empty"));
    EXPECT_EQ(process->State, PROCESS_STATE_IDLE);
    Process_Process(process);
    EXPECT_EQ(r.Events.size(), 2u) << "an idle object reports nothing";
}

TEST_F(ProcessTest, HeldProgramIsReadyAfterAQuarterSecondThenCompletesWithItsExitCode) {
    Recorder r;
    Make("/bin/sh", HeldProgram(3), r);
    ASSERT_EQ(Process_Launch(process), 1);
    EXPECT_EQ(process->State, PROCESS_STATE_RUNNING);
    uint32_t pid = 0;
    Process_GetId(process, &pid);
    ASSERT_GT(pid, 0u);
    EXPECT_NE(ProcState((int32_t)pid), 0);

    ASSERT_TRUE(WaitFor([&] {
        Process_Process(process);
        return r.Count("Ready") > 0;
    }));
    EXPECT_EQ(r.Names(), (Names{"Start", "Ready"}));
    EXPECT_EQ(r.Events[1].Id, (int32_t)pid);
    EXPECT_GE(r.Events[1].RunningTime, 0.25) << "a program is ready once it has run a quarter second";
    for (int i = 0; i < 20; i++) Process_Process(process);
    EXPECT_EQ(r.Count("Ready"), 1u) << "once per launch";

    Release();
    ASSERT_TRUE(PollUntilComplete(r));
    EXPECT_EQ(r.Names(), (Names{"Start", "Ready", "Complete"}));
    EXPECT_EQ(r.Events[2].Successful, 1);
    EXPECT_EQ(r.Events[2].ExitCode, 3);
    EXPECT_EQ(ProcState((int32_t)pid), 0) << "the child was reaped";
    EXPECT_EQ(process->State, PROCESS_STATE_IDLE);
    EXPECT_EQ(process->PlatformHandle, nullptr);

    double first = 0, second = 0;
    Process_GetRunningTime(process, &first);
    Process_GetRunningTime(process, &second);
    EXPECT_GE(first, 0.25);
    EXPECT_EQ(first, second) << "the running time stops with the program";
    Process_GetId(process, &pid);
    EXPECT_EQ(pid, 0u);
}

TEST_F(ProcessTest, ProgramThatEndedBeforeItWasWatchedIsReadyJustBeforeComplete) {
    const struct {
        const char* arguments;
        int32_t exitCode;
    } cases[] = {
        {"-c \"exit 5\"", 5},
        {"-c \"exit 0\"", 0},
        {"-c \"kill -9 $$\"", -9}, // ended by a signal: minus its number
        {"-c \"exit 300\"", 300 & 0xFF},
    };
    for (const auto& test : cases) {
        Recorder r;
        Make("/bin/sh", test.arguments, r);
        ASSERT_EQ(Process_Launch(process), 1) << test.arguments;
        uint32_t pid = 0;
        Process_GetId(process, &pid);
        // Ended and not yet collected: a zombie that only this object's poll may reap.
        ASSERT_TRUE(WaitFor([&] { return ProcState((int32_t)pid) == 'Z'; })) << test.arguments;
        Process_Process(process);
        EXPECT_EQ(r.Names(), (Names{"Start", "Ready", "Complete"})) << test.arguments;
        EXPECT_EQ(r.Events[1].Id, (int32_t)pid);
        EXPECT_EQ(r.Events[2].Successful, 1);
        EXPECT_EQ(r.Events[2].ExitCode, test.exitCode) << test.arguments;
        EXPECT_EQ(ProcState((int32_t)pid), 0);
        Process_Process(process);
        EXPECT_EQ(r.Events.size(), 3u);
        Process_Release(&process);
    }
}

TEST_F(ProcessTest, ProgramThatIgnoresTerminationIsFollowedUntilItIsKilled) {
    Recorder r;
    Make("/bin/sh", "-c \"trap '' TERM; exec sleep 600\"", r);
    ASSERT_EQ(Process_Launch(process), 1);
    uint32_t pid = 0;
    Process_GetId(process, &pid);
    // The exec'd program keeps the ignored SIGTERM; make sure it runs "sleep" before signalling.
    ASSERT_TRUE(WaitFor([&] { return ProcName((int32_t)pid) == "sleep"; }));
    ASSERT_EQ(kill((pid_t)pid, SIGTERM), 0);
    ASSERT_TRUE(WaitFor([&] {
        Process_Process(process);
        return r.Count("Ready") > 0;
    }));
    EXPECT_EQ(r.Count("Complete"), 0u) << "SIGTERM is ignored";
    EXPECT_EQ(process->State, PROCESS_STATE_RUNNING);

    ASSERT_EQ(kill((pid_t)pid, SIGKILL), 0);
    ASSERT_TRUE(PollUntilComplete(r));
    EXPECT_EQ(r.Last("Complete")->Successful, 1);
    EXPECT_EQ(r.Last("Complete")->ExitCode, -SIGKILL);
    EXPECT_EQ(ProcState((int32_t)pid), 0);
}

TEST_F(ProcessTest, SecondLaunchWhileRunningIsRefusedWithoutDisturbingTheFirst) {
    Recorder r;
    Make("/bin/sh", HeldProgram(6), r);
    ASSERT_EQ(Process_Launch(process), 1);
    const double start = process->StartTime;
    uint32_t pid = 0;
    Process_GetId(process, &pid);

    EXPECT_EQ(Process_Launch(process), 0);
    EXPECT_EQ(r.Names(), (Names{"Start", "Start", "Complete"}));
    EXPECT_EQ(r.Events[2].Successful, 0);
    EXPECT_EQ(r.Events[2].ExitCode, 0);
    EXPECT_TRUE(r.HasLine("Application already launched, waiting for exit"));
    EXPECT_EQ(process->State, PROCESS_STATE_RUNNING);
    EXPECT_EQ(process->StartTime, start);
    EXPECT_EQ(process->EndTime, 0.0);
    uint32_t still = 0;
    Process_GetId(process, &still);
    EXPECT_EQ(still, pid);

    Release();
    ASSERT_TRUE(PollUntilComplete(r, 2));
    EXPECT_EQ(r.Names(), (Names{"Start", "Start", "Complete", "Ready", "Complete"}));
    EXPECT_EQ(r.Events[3].Id, (int32_t)pid);
    EXPECT_EQ(r.Events[4].Successful, 1);
    EXPECT_EQ(r.Events[4].ExitCode, 6);
}

TEST_F(ProcessTest, ProgramThatCannotRunIsNotLaunched) {
    const std::string plain = dir + "/plain.txt";
    WriteFile(plain, "not a program\n", 0644);
    const std::string cases[] = {"/no/such/program", dir, plain, "\"/no/such/quoted program\""};
    for (const std::string& path : cases) {
        Recorder r;
        Make(path, "", r);
        EXPECT_EQ(Process_Launch(process), 0) << path;
        EXPECT_EQ(r.Names(), (Names{"Start", "Complete"})) << path;
        EXPECT_EQ(r.Events[1].Successful, 0) << path;
        EXPECT_EQ(r.Events[1].ExitCode, 0) << path;
        EXPECT_TRUE(r.HasLine("Unable to execute application (")) << path;
        EXPECT_EQ(process->State, PROCESS_STATE_IDLE);
        Process_Release(&process);
    }
}

TEST_F(ProcessTest, QuotedPathAndWorkingDirectory) {
    Recorder r;
    Make("\"/bin/sh\"", "-c \"pwd > where; exit 4\"", r);
    Process_SetWorkingDirectory(process, ("\"" + dir + "\"").c_str());
    Process_SetElevationRights(process, Process_TranslateRightsString("invoker"));
    ASSERT_EQ(Process_Launch(process), 1);
    ASSERT_TRUE(PollUntilComplete(r));
    EXPECT_EQ(r.Last("Complete")->Successful, 1);
    EXPECT_EQ(r.Last("Complete")->ExitCode, 4);
    EXPECT_EQ(ReadFile(dir + "/where"), dir + "\n");
}

TEST_F(ProcessTest, RelativeProgramIsTakenFromTheCurrentDirectoryNotTheWorkingOne) {
    // The caller's directory holds the program; the working directory another by the same name,
    // or none, or the only one by its name.
    const std::string caller = dir + "/caller", work = dir + "/work";
    ASSERT_EQ(mkdir(caller.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    WriteFile(caller + "/tool", "#!/bin/sh\nexit 21\n", 0755);
    WriteFile(work + "/only-there", "#!/bin/sh\nexit 66\n", 0755);
    struct Back {
        char here[4096] = "";
        ~Back() { EXPECT_EQ(chdir(here), 0); }
    } back;
    ASSERT_NE(getcwd(back.here, sizeof(back.here)), nullptr);
    ASSERT_EQ(chdir(caller.c_str()), 0);
    for (bool other : {false, true}) {
        if (other) WriteFile(work + "/tool", "#!/bin/sh\nexit 66\n", 0755);
        Recorder r;
        Make("tool", "", r);
        Process_SetWorkingDirectory(process, work.c_str());
        Process_SetElevationRights(process, PROCESS_RIGHTS_INVOKER);
        EXPECT_EQ(Process_Launch(process), 1) << other;
        EXPECT_TRUE(PollUntilComplete(r)) << other;
        ASSERT_NE(r.Last("Complete"), nullptr);
        EXPECT_EQ(r.Last("Complete")->Successful, 1) << other;
        EXPECT_EQ(r.Last("Complete")->ExitCode, 21) << other;
        Process_Release(&process);
    }
    Recorder r;
    Make("only-there", "", r);
    Process_SetWorkingDirectory(process, work.c_str());
    Process_SetElevationRights(process, PROCESS_RIGHTS_INVOKER);
    EXPECT_EQ(Process_Launch(process), 0);
    EXPECT_EQ(r.Names(), (Names{"Start", "Complete"}));
    EXPECT_TRUE(r.HasLine("Unable to execute application (only-there)"));
}

TEST_F(ProcessTest, DigestIsCheckedInChunksBeforeTheLaunch) {
    // A script larger than several digest chunks, which leaves a mark when it runs.
    const std::string script = dir + "/script.sh";
    const std::string mark = dir + "/ran";
    std::string text = "#!/bin/sh\n: > '" + mark + "'\nexit 7\n";
    text += "#" + std::string(5 * 65536, 'x') + "\n";
    WriteFile(script, text, 0755);
    const std::string digest = Sha1Of(script);
    ASSERT_EQ(digest.size(), 40u);

    Recorder r;
    Make(script, "", r);
    Process_SetSHA1(process, Upper(digest).c_str());
    ASSERT_EQ(Process_Launch(process), 1);
    EXPECT_EQ(process->State, PROCESS_STATE_HASHING);
    int32_t polls = 0;
    while (process->State == PROCESS_STATE_HASHING && polls < 100) {
        Process_Process(process);
        polls++;
    }
    EXPECT_GE(polls, 5) << "one chunk per poll";
    EXPECT_EQ(process->State, PROCESS_STATE_RUNNING) << "the upper-case digest matched";
    ASSERT_TRUE(PollUntilComplete(r));
    EXPECT_EQ(r.Names(), (Names{"Start", "Ready", "Complete"}));
    EXPECT_EQ(r.Last("Complete")->ExitCode, 7);
    EXPECT_TRUE(FileExists(mark));
}

TEST_F(ProcessTest, DigestMismatchOrUnreadableTargetRefusesTheLaunch) {
    const std::string script = dir + "/script.sh";
    const std::string mark = dir + "/ran";
    WriteFile(script, "#!/bin/sh\n: > '" + mark + "'\n", 0755);
    const std::string data = dir + "/data.bin";
    WriteFile(data, "data", 0644);
    const std::string wrong = std::string(40, '0');

    // Digest of another file than the program: that file decides.
    Recorder r;
    Make(script, "", r);
    Process_SetSHA1(process, wrong.c_str());
    Process_SetSHA1Target(process, data.c_str());
    ASSERT_EQ(Process_Launch(process), 1);
    ASSERT_TRUE(PollUntilComplete(r));
    EXPECT_EQ(r.Names(), (Names{"Start", "Complete"}));
    EXPECT_EQ(r.Last("Complete")->Successful, 0);
    EXPECT_EQ(r.Last("Complete")->ExitCode, 0);
    EXPECT_TRUE(
        r.HasLine("SHA1 failed (" + data + ") Expected (" + wrong + ") Actual (" + Sha1Of(data) + ")"));
    EXPECT_FALSE(FileExists(mark));

    // A target that cannot be opened completes at once, inside the launch.
    Recorder missing;
    Process_Release(&process);
    Make(script, "", missing);
    Process_SetSHA1(process, Sha1Of(script).c_str());
    Process_SetSHA1Target(process, (dir + "/absent").c_str());
    EXPECT_EQ(Process_Launch(process), 1) << "the check was started";
    EXPECT_EQ(missing.Names(), (Names{"Start", "Complete"}));
    EXPECT_EQ(missing.Last("Complete")->Successful, 0);
    EXPECT_EQ(process->State, PROCESS_STATE_IDLE);
    EXPECT_FALSE(FileExists(mark));
}

TEST_F(ProcessTest, SignatureIsCheckedAfterTheDigestAndRefusedWhileItCannotBeVerified) {
    const std::string script = dir + "/script.sh";
    const std::string mark = dir + "/ran";
    WriteFile(script, "#!/bin/sh\n: > '" + mark + "'\nexit 9\n", 0755);
    const std::string good = Sha1Of(script);

    // Digest mismatch: the signature check never starts.
    Recorder first;
    Make(script, "", first);
    Process_SetSHA1(process, std::string(40, 'f').c_str());
    Process_SetAuthenticateTarget(process, script.c_str());
    ASSERT_EQ(Process_Launch(process), 1);
    ASSERT_TRUE(PollUntilComplete(first));
    EXPECT_TRUE(first.HasLine("SHA1 failed"));
    EXPECT_FALSE(first.HasLine("Authentication failed"));
    Process_Release(&process);

    // Digest match, checking on: refused with a reason, never launched unchecked.
    Recorder second;
    Make(script, "", second);
    Process_SetSHA1(process, good.c_str());
    Process_SetAuthenticateTarget(process, ("\"" + script + "\"").c_str());
    ASSERT_EQ(Process_Launch(process), 1);
    ASSERT_TRUE(WaitFor([&] {
        Process_Process(process);
        return process->State != PROCESS_STATE_HASHING;
    }));
    ASSERT_TRUE(PollUntilComplete(second));
    EXPECT_EQ(second.Names(), (Names{"Start", "Complete"}));
    EXPECT_EQ(second.Last("Complete")->Successful, 0);
    EXPECT_TRUE(second.HasLine("Authentication failed (" + script + ")"));
    EXPECT_FALSE(FileExists(mark));
    Process_Release(&process);

    // Checking off: the signature is skipped and the program runs.
    Authenticate_SetEnabled(0);
    Recorder third;
    Make(script, "", third);
    Process_SetSHA1(process, good.c_str());
    Process_SetAuthenticateTarget(process, script.c_str());
    ASSERT_EQ(Process_Launch(process), 1);
    ASSERT_TRUE(PollUntilComplete(third));
    EXPECT_EQ(third.Names(), (Names{"Start", "Ready", "Complete"}));
    EXPECT_EQ(third.Last("Complete")->Successful, 1);
    EXPECT_EQ(third.Last("Complete")->ExitCode, 9);
    EXPECT_TRUE(FileExists(mark));
}

TEST_F(ProcessTest, SignatureOnlyCheckFollowsTheSwitch) {
    const struct {
        uint32_t enabled;
        Names names;
        int32_t successful;
    } cases[] = {
        {1, {"Start", "Complete"}, 0},
        {0, {"Start", "Ready", "Complete"}, 1},
    };
    for (const auto& test : cases) {
        Authenticate_SetEnabled(test.enabled);
        Recorder r;
        Make("/bin/sh", "-c \"exit 2\"", r);
        Process_SetAuthenticateTarget(process, "/bin/sh");
        ASSERT_EQ(Process_Launch(process), 1);
        EXPECT_EQ(process->State, PROCESS_STATE_AUTHENTICATING);
        ASSERT_TRUE(PollUntilComplete(r));
        EXPECT_EQ(r.Names(), test.names) << test.enabled;
        EXPECT_EQ(r.Last("Complete")->Successful, test.successful);
        EXPECT_EQ(r.Last("Complete")->ExitCode, test.successful ? 2 : 0);
        Process_Release(&process);
    }
}

TEST_F(ProcessTest, ObserversMayReleaseOrLaunchAgainFromComplete) {
    Recorder r;
    Make("/bin/sh", "-c \"exit 1\"", r);
    r.RelaunchOnComplete = true;
    ASSERT_EQ(Process_Launch(process), 1);
    ASSERT_TRUE(PollUntilComplete(r, 2));
    EXPECT_EQ(r.Names(), (Names{"Start", "Ready", "Complete", "Start", "Ready", "Complete"}));
    EXPECT_EQ(r.Events[5].ExitCode, 1);

    // The observer drops the only reference while the poll is inside the notification.
    r.ReleaseOnComplete = true;
    ASSERT_EQ(Process_Launch(process), 1);
    process = nullptr; // the recorder owns it now
    ASSERT_TRUE(PollUntilComplete(r, 3));
    EXPECT_EQ(r.Owner, nullptr);
}

TEST_F(ProcessTest, DeleteWhileRunningLeavesTheProgramAndReapsItLater) {
    Recorder r;
    Make("/bin/sh", "-c \"trap '' TERM; exec sleep 600\"", r);
    ASSERT_EQ(Process_Launch(process), 1);
    uint32_t pid = 0;
    Process_GetId(process, &pid);
    Process_Release(&process);
    r.Owner = nullptr;
    EXPECT_NE(ProcState((int32_t)pid), 0) << "deletion neither waits for nor stops the program";
    ASSERT_EQ(kill((pid_t)pid, SIGKILL), 0);
    EXPECT_TRUE(WaitFor([&] { return ProcState((int32_t)pid) == 0; })) << "reaped in the background";
    EXPECT_EQ(r.Count("Complete"), 0u);
}

TEST_F(ProcessTest, StandardPipeSlots) {
    Recorder r;
    Make("/bin/sh", "-c \"exit 0\"", r);
    Pipe* out = nullptr;
    Pipe* in = nullptr;
    Pipe_Create(&out);
    Pipe_Create(&in);
    Pipe_SetName(out, "process-out");
    Pipe_SetName(in, "process-in");
    char outId[40], inId[40];
    Pipe_GetInstanceId(out, outId, sizeof(outId));
    Pipe_GetInstanceId(in, inId, sizeof(inId));

    Dictionary* settings = nullptr;
    Dictionary_Create(&settings);
    Dictionary_AddString(settings, "instanceId", outId, nullptr);
    EXPECT_EQ(Process_SetStdout(process, settings), 1);
    EXPECT_EQ(Process_SetStdout(process, settings), 1) << "the same pipe again";
    EXPECT_EQ(Class_HasOneRef(out), 0) << "the slot holds a reference";
    uint32_t inbound = 9;
    Pipe_GetIsIn(out, &inbound);
    EXPECT_EQ(inbound, 1u);
    Dictionary_Release(&settings);
    Dictionary_Create(&settings);
    Dictionary_AddString(settings, "instanceId", inId, nullptr);
    EXPECT_EQ(Process_SetStdin(process, settings), 1);
    Pipe_GetIsIn(in, &inbound);
    EXPECT_EQ(inbound, 0u) << "the child reads standard input";
    Dictionary_Release(&settings);

    Dictionary* answer = nullptr;
    Dictionary_Create(&answer);
    EXPECT_EQ(Process_GetStdout(process, answer), 1);
    char text[40] = {};
    Dictionary_GetStringByKey(answer, "instanceId", text, sizeof(text));
    EXPECT_STREQ(text, outId);
    Dictionary_Release(&answer);
    Dictionary_Create(&answer);
    EXPECT_EQ(Process_GetStderr(process, answer), 1);
    EXPECT_EQ(Dictionary_GetStringByKey(answer, "instanceId", text, sizeof(text)), 0)
        << "no pipe, nothing added";
    Dictionary_Release(&answer);

    // An id that names an object of another kind changes nothing.
    Dictionary* other = nullptr;
    Dictionary_Create(&other);
    Class_GenerateInstanceIdReal(other);
    const char* otherId = static_cast<Class*>(static_cast<void*>(other))->InstanceId;
    Class_TrackInstance(other, otherId, nullptr);
    Dictionary_Create(&settings);
    Dictionary_AddString(settings, "instanceId", otherId, nullptr);
    EXPECT_EQ(Process_SetStdout(process, settings), 0);
    Dictionary_Release(&settings);
    Class_UntrackInstance(other);
    Dictionary_Release(&other);
    Dictionary_Create(&answer);
    Process_GetStdout(process, answer);
    Dictionary_GetStringByKey(answer, "instanceId", text, sizeof(text));
    EXPECT_STREQ(text, outId) << "the previous pipe is kept";
    Dictionary_Release(&answer);

    // The launch opens the pipes that are not open yet.
    ASSERT_EQ(Process_Launch(process), 1);
    EXPECT_EQ(Pipe_IsOpen(out), 1);
    EXPECT_EQ(Pipe_IsOpen(in), 1);
    ASSERT_TRUE(PollUntilComplete(r));
    EXPECT_EQ(r.Last("Complete")->Successful, 1);

    // An empty id empties the slot.
    Dictionary_Create(&settings);
    Dictionary_AddString(settings, "instanceId", "", nullptr);
    EXPECT_EQ(Process_SetStdout(process, settings), 1);
    Dictionary_Release(&settings);
    EXPECT_EQ(Class_HasOneRef(out), 1);
    Dictionary_Create(&answer);
    Process_GetStdout(process, answer);
    EXPECT_EQ(Dictionary_GetStringByKey(answer, "instanceId", text, sizeof(text)), 0);
    Dictionary_Release(&answer);
    // A missing id too; the deletion releases the rest.
    Dictionary_Create(&settings);
    EXPECT_EQ(Process_SetStdin(process, settings), 1);
    EXPECT_EQ(Class_HasOneRef(in), 1);
    Dictionary_Release(&settings);
    Pipe_Release(&out);
    Pipe_Release(&in);
}

TEST_F(ProcessTest, SettingsAndRights) {
    Recorder r;
    Make("/usr/bin/env", "A=1 B=2", r);
    const std::string longPath = "/" + std::string(500, 'a');
    Process_SetSHA1Target(process, longPath.c_str());
    char buffer[PROCESS_PATH_SIZE + 10];
    Process_GetSHA1Target(process, buffer, sizeof(buffer));
    EXPECT_EQ(std::string(buffer), longPath.substr(0, PROCESS_PATH_SIZE - 1));
    const std::string longArguments(5000, 'b');
    Process_SetArguments(process, longArguments.c_str());
    const char* arguments = nullptr;
    Process_GetArgumentsPtr(process, &arguments);
    EXPECT_EQ(std::string(arguments).size(), (size_t)PROCESS_ARGUMENTS_SIZE - 1);
    const char* path = nullptr;
    Process_GetApplicationNamePtr(process, &path);
    EXPECT_STREQ(path, "/usr/bin/env");
    char small[5];
    Process_GetApplicationName(process, small, sizeof(small));
    EXPECT_STREQ(small, "/usr");
    Process_GetShortApplicationName(process, buffer, sizeof(buffer));
    EXPECT_STREQ(buffer, "env");
    Process_SetApplicationName(process, "/usr/bin/");
    Process_GetShortApplicationName(process, buffer, sizeof(buffer));
    EXPECT_STREQ(buffer, "/usr/bin/") << "no last component: the whole path";

    uint32_t value = 9;
    Process_GetShowWindow(process, &value);
    EXPECT_EQ(value, 1u);
    Process_GetElevationRights(process, &value);
    EXPECT_EQ(value, 0u);

    const struct {
        const char* name;
        uint32_t value;
    } names[] = {{"User", 0},    {"elevated", 1}, {"ASINVOKER", 2}, {"invoker", 2},
                 {"InVoKeR", 2}, {"Admin", 0},    {"", 0}};
    for (const auto& test : names)
        EXPECT_EQ(Process_TranslateRightsString(test.name), test.value) << test.name;
    const struct {
        uint32_t value;
        const char* name;
    } values[] = {{0, "User"}, {1, "Elevated"}, {2, "AsInvoker"}, {7, "User"}};
    for (const auto& test : values)
        EXPECT_STREQ(Process_TranslateRights(test.value), test.name) << test.value;
}

TEST_F(ProcessTest, DumpAndPrintBlock) {
    Recorder r;
    Make("/bin/sh", "", r);
    Process_Dump(process);
    EXPECT_EQ(r.Lines.size(), 2u);
    EXPECT_TRUE(r.HasLine(" - Application name - /bin/sh\n"));
    EXPECT_TRUE(r.HasLine(" - Elevation rights - User\n"));
    r.Lines.clear();
    Process_SetWorkingDirectory(process, "/tmp");
    Process_SetArguments(process, "-c true");
    Process_SetElevationRights(process, 2);
    Process_SetSHA1(process, "abc");
    Process_Dump(process);
    const std::vector<std::string> expected = {"Application name - /bin/sh", "Working directory - /tmp",
                                               "Arguments - -c true", "Elevation rights - AsInvoker",
                                               "SHA1 - abc"};
    ASSERT_EQ(r.Lines.size(), expected.size());
    char id[40];
    Process_GetInstanceId(process, id, sizeof(id));
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(r.Lines[i], "Process." + std::string(id).substr(0, 8) + " - " + expected[i] + "\n");

    // An unknown state is reported and left alone.
    process->State = 9;
    EXPECT_EQ(Process_Process(process), 1);
    EXPECT_TRUE(r.HasLine("Unknown state (9)"));
    process->State = PROCESS_STATE_IDLE;

    EXPECT_EQ(Process_VerboseLog(process, 1, "quiet"), 0);
    Process_SetVerbose(process, 1);
    uint32_t verbose = 0;
    Process_GetVerbose(process, &verbose);
    EXPECT_EQ(verbose, 1u);
}

TEST_F(ProcessTest, ProgrammingErrorsStop) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Process_Create(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Process_Launch(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    Recorder r;
    Make("/bin/sh", "", r);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Process_SetStdout(process, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Process_Process(reinterpret_cast<Process*>(dict));
        },
        "Class mismatch pointer");
    Dictionary_Release(&dict);
}

} // namespace
