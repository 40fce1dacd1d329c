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

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
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
#include "core/runtime/thread.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/out_value.h"
#include "tests/support/printed_lines.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace {

TempDir* g_dir = nullptr;

class ProcessEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        g_dir = new TempDir;
        // Pipes live here; and launches by root stay with root.
        SetBothEnv("TMPDIR", g_dir->path().c_str());
        SetBothEnv("PKEXEC_UID", nullptr);
        SetBothEnv("SUDO_UID", nullptr);
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
    int32_t Id = -1, Successful = -1, ExitCode = -99;
    double RunningTime = -1;
};

struct Recorder {
    Process* Owner = nullptr;
    std::vector<Seen> Events;
    std::vector<std::string> Lines;
    // Acts from inside "Complete": release the owner, or launch it again once.
    bool ReleaseOnComplete = false, RelaunchOnComplete = false;

    // The notifications in order, each "Complete" with (successful,exit code).
    std::string Story() const {
        std::string story;
        for (const Seen& seen : Events) {
            story += (story.empty() ? "" : " ") + seen.Name;
            if (seen.Name == "Complete")
                story += "(" + std::to_string(seen.Successful) + "," + std::to_string(seen.ExitCode) + ")";
        }
        return story;
    }
    size_t Count(const std::string& name) const {
        size_t count = 0;
        for (const Seen& seen : Events) count += seen.Name == name;
        return count;
    }
    // The last "Complete" as (successful,exit code), or "none".
    std::string Completed() const {
        for (auto it = Events.rbegin(); it != Events.rend(); ++it)
            if (it->Name == "Complete")
                return "(" + std::to_string(it->Successful) + "," + std::to_string(it->ExitCode) + ")";
        return "none";
    }
    bool HasLine(const std::string& text) const {
        for (const std::string& line : Lines)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
};

// Observes one notification; the name as the centre delivers it to an instance observer is the
// record's, so each observer knows its own.
template <int Which>
int64_t Observe(void* user, const char* type, const char*, const char* instance, Dictionary* info) {
    static const char* const names[] = {"Start", "Ready", "Complete"};
    Recorder* r = static_cast<Recorder*>(user);
    EXPECT_STREQ(type, "Process");
    Seen seen{names[Which], info != nullptr};
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
    if (Which == 2 && r->RelaunchOnComplete) {
        r->RelaunchOnComplete = false;
        EXPECT_EQ(Process_Launch(r->Owner), 1) << "a launch from inside \"Complete\" is a new launch";
    }
    if (Which == 2 && r->ReleaseOnComplete) {
        r->ReleaseOnComplete = false;
        Process_Release(&r->Owner);
    }
    return 1;
}

// The text of /proc/<pid>/<name>, empty when the process is gone (reaped). Plain reads: the file
// may vanish while it is read.
std::string ProcText(uint32_t pid, const char* name) {
    char text[512] = {};
    const int fd = open(("/proc/" + std::to_string(pid) + "/" + name).c_str(), O_RDONLY);
    if (fd < 0) return "";
    const ssize_t n = read(fd, text, sizeof(text) - 1);
    close(fd);
    return std::string(text, n > 0 ? (size_t)n : 0);
}

// The state letter of /proc/<pid>/stat, 0 when the process is gone.
char ProcState(uint32_t pid) {
    const std::string stat = ProcText(pid, "stat");
    const size_t end = stat.rfind(')');
    return end == std::string::npos || end + 2 >= stat.size() ? 0 : stat[end + 2];
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
        Process_SetPrintCallback(process, &r.Lines, KeepLine);
        const char* id = process->Header.InstanceId;
        NotificationCenter_AddInstanceObserver("Process", "Start", id, &r, Observe<0>);
        NotificationCenter_AddInstanceObserver("Process", "Ready", id, &r, Observe<1>);
        NotificationCenter_AddInstanceObserver("Process", "Complete", id, &r, Observe<2>);
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
    uint32_t Pid() {
        uint32_t pid = 0;
        Process_GetId(process, &pid);
        return pid;
    }
    // Polls until the program is ready (bounded).
    bool PollUntilReady(Recorder& r) {
        return WaitFor([&] {
            Process_Process(process);
            return r.Count("Ready") > 0;
        });
    }
    // A script in this test's directory that marks `ran` when it runs, then exits with the code.
    std::string Script(int32_t code, size_t padding = 0) {
        WriteFile(dir + "/script.sh",
                  "#!/bin/sh\n: > '" + dir + "/ran'\nexit " + std::to_string(code) + "\n#" +
                      std::string(padding, 'x') + "\n",
                  0755);
        return dir + "/script.sh";
    }
    bool Ran() { return FileExists(dir + "/ran"); }

    std::string dir;
    Process* process = nullptr;
};

TEST_F(ProcessTest, EmptyApplicationPathStartsAndCompletesUnsuccessfully) {
    Recorder r;
    Make("", "", r);
    EXPECT_EQ(Process_Launch(process), 0);
    EXPECT_EQ(r.Story(), "Start Complete(0,0)");
    EXPECT_FALSE(r.Events[0].HasInfo) << "\"Start\" carries no information";
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
    const uint32_t pid = Pid();
    ASSERT_GT(pid, 0u);
    EXPECT_NE(ProcState(pid), 0);
    ASSERT_TRUE(PollUntilReady(r));
    EXPECT_EQ(r.Events[1].Id, (int32_t)pid);
    EXPECT_GE(r.Events[1].RunningTime, 0.25) << "a program is ready once it has run a quarter second";
    for (int i = 0; i < 20; i++) Process_Process(process);
    EXPECT_EQ(r.Story(), "Start Ready") << "ready once per launch";
    Release();
    ASSERT_TRUE(PollUntilComplete(r));
    EXPECT_EQ(r.Story(), "Start Ready Complete(1,3)");
    EXPECT_EQ(ProcState(pid), 0) << "the child was reaped";
    EXPECT_EQ(process->State, PROCESS_STATE_IDLE);
    EXPECT_EQ(process->PlatformHandle, nullptr);
    double first = 0, second = 0;
    Process_GetRunningTime(process, &first);
    Process_GetRunningTime(process, &second);
    EXPECT_GE(first, 0.25);
    EXPECT_EQ(first, second) << "the running time stops with the program";
    EXPECT_EQ(Pid(), 0u);
}

TEST_F(ProcessTest, ProgramThatEndedBeforeItWasWatchedIsReadyJustBeforeComplete) {
    const struct {
        const char* arguments;
        const char* story;
    } cases[] = {
        {"-c \"exit 5\"", "Start Ready Complete(1,5)"},
        {"-c \"exit 0\"", "Start Ready Complete(1,0)"},
        {"-c \"kill -9 $$\"", "Start Ready Complete(1,-9)"}, // ended by a signal: minus its number
        {"-c \"exit 300\"", "Start Ready Complete(1,44)"},   // 300 & 0xFF
    };
    for (const auto& test : cases) {
        Recorder r;
        Make("/bin/sh", test.arguments, r);
        ASSERT_EQ(Process_Launch(process), 1) << test.arguments;
        const uint32_t pid = Pid();
        // Ended and not yet collected: a zombie that only this object's poll may reap.
        ASSERT_TRUE(WaitFor([&] { return ProcState(pid) == 'Z'; })) << test.arguments;
        Process_Process(process);
        EXPECT_EQ(r.Story(), test.story);
        EXPECT_EQ(r.Events[1].Id, (int32_t)pid);
        EXPECT_EQ(ProcState(pid), 0);
        Process_Process(process);
        EXPECT_EQ(r.Events.size(), 3u);
        Process_Release(&process);
    }
}

TEST_F(ProcessTest, ProgramThatIgnoresTerminationIsFollowedUntilItIsKilled) {
    Recorder r;
    Make("/bin/sh", "-c \"trap '' TERM; exec sleep 600\"", r);
    ASSERT_EQ(Process_Launch(process), 1);
    const uint32_t pid = Pid();
    // The exec'd program keeps the ignored SIGTERM; make sure it runs "sleep" before signalling.
    ASSERT_TRUE(WaitFor([&] { return ProcText(pid, "comm") == "sleep\n"; }));
    ASSERT_EQ(kill((pid_t)pid, SIGTERM), 0);
    ASSERT_TRUE(PollUntilReady(r));
    EXPECT_EQ(r.Count("Complete"), 0u) << "SIGTERM is ignored";
    EXPECT_EQ(process->State, PROCESS_STATE_RUNNING);
    ASSERT_EQ(kill((pid_t)pid, SIGKILL), 0);
    ASSERT_TRUE(PollUntilComplete(r));
    EXPECT_EQ(r.Completed(), "(1," + std::to_string(-SIGKILL) + ")");
    EXPECT_EQ(ProcState(pid), 0);
}

TEST_F(ProcessTest, SecondLaunchWhileRunningIsRefusedWithoutDisturbingTheFirst) {
    Recorder r;
    Make("/bin/sh", HeldProgram(6), r);
    ASSERT_EQ(Process_Launch(process), 1);
    const double start = process->StartTime;
    const uint32_t pid = Pid();
    EXPECT_EQ(Process_Launch(process), 0);
    EXPECT_EQ(r.Story(), "Start Start Complete(0,0)");
    EXPECT_TRUE(r.HasLine("Application already launched, waiting for exit"));
    EXPECT_EQ(process->State, PROCESS_STATE_RUNNING);
    EXPECT_EQ(process->StartTime, start);
    EXPECT_EQ(process->EndTime, 0.0);
    EXPECT_EQ(Pid(), pid);
    Release();
    ASSERT_TRUE(PollUntilComplete(r, 2));
    EXPECT_EQ(r.Story(), "Start Start Complete(0,0) Ready Complete(1,6)");
    EXPECT_EQ(r.Events[3].Id, (int32_t)pid);
}

TEST_F(ProcessTest, ProgramThatCannotRunIsNotLaunched) {
    WriteFile(dir + "/plain.txt", "not a program\n", 0644);
    for (const std::string& path : {std::string("/no/such/program"), dir, dir + "/plain.txt",
                                    std::string("\"/no/such/quoted program\"")}) {
        Recorder r;
        Make(path, "", r);
        EXPECT_EQ(Process_Launch(process), 0) << path;
        EXPECT_EQ(r.Story(), "Start Complete(0,0)") << path;
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
    EXPECT_EQ(r.Completed(), "(1,4)");
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
        EXPECT_EQ(r.Completed(), "(1,21)") << other;
        Process_Release(&process);
    }
    Recorder r;
    Make("only-there", "", r);
    Process_SetWorkingDirectory(process, work.c_str());
    Process_SetElevationRights(process, PROCESS_RIGHTS_INVOKER);
    EXPECT_EQ(Process_Launch(process), 0);
    EXPECT_EQ(r.Story(), "Start Complete(0,0)");
    EXPECT_TRUE(r.HasLine("Unable to execute application (only-there)"));
}

// The process object (the script's QVR.Process) never runs a program named by a location the
// expander could not name, though one stands at that name in the current folder.
TEST_F(ProcessTest, ALocationLeftUnexpandedIsNotLaunched) {
    const std::string shared = dir + "/shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((shared + "/{userAppData}Q").c_str(), 0755), 0);
    WriteFile(shared + "/{userAppData}Q/run", "#!/bin/sh\ntouch ran\nexit 0\n", 0755);
    struct Back {
        char here[4096] = "";
        ~Back() { EXPECT_EQ(chdir(here), 0); }
    } back;
    ASSERT_NE(getcwd(back.here, sizeof(back.here)), nullptr);
    ASSERT_EQ(chdir(shared.c_str()), 0);
    for (uint32_t rights : {PROCESS_RIGHTS_INVOKER, PROCESS_RIGHTS_USER}) {
        Recorder r;
        Make("{userAppData}Q/run", "", r);
        Process_SetElevationRights(process, rights);
        EXPECT_EQ(Process_Launch(process), 0) << rights;
        EXPECT_EQ(r.Story(), "Start Complete(0,0)") << rights;
        EXPECT_TRUE(r.HasLine("Unable to execute application ({userAppData}Q/run)")) << rights;
        Process_Release(&process);
    }
    EXPECT_NE(access((shared + "/ran").c_str(), F_OK), 0);
}

TEST_F(ProcessTest, DigestIsCheckedInChunksBeforeTheLaunch) {
    // A script larger than several digest chunks.
    const std::string script = Script(7, 5 * 65536);
    const std::string digest = Sha1Of(script);
    ASSERT_EQ(digest.size(), 40u);
    Recorder r;
    Make(script, "", r);
    Process_SetSHA1(process, Upper(digest).c_str());
    ASSERT_EQ(Process_Launch(process), 1);
    EXPECT_EQ(process->State, PROCESS_STATE_HASHING);
    int32_t polls = 0;
    for (; process->State == PROCESS_STATE_HASHING && polls < 100; polls++) Process_Process(process);
    EXPECT_GE(polls, 5) << "one chunk per poll";
    EXPECT_EQ(process->State, PROCESS_STATE_RUNNING) << "the upper-case digest matched";
    ASSERT_TRUE(PollUntilComplete(r));
    EXPECT_EQ(r.Story(), "Start Ready Complete(1,7)");
    EXPECT_TRUE(Ran());
}

TEST_F(ProcessTest, DigestMismatchOrUnreadableTargetRefusesTheLaunch) {
    const std::string script = Script(0);
    const std::string data = dir + "/data.bin", wrong(40, '0');
    WriteFile(data, "data", 0644);
    // Digest of another file than the program: that file decides.
    Recorder r;
    Make(script, "", r);
    Process_SetSHA1(process, wrong.c_str());
    Process_SetSHA1Target(process, data.c_str());
    ASSERT_EQ(Process_Launch(process), 1);
    ASSERT_TRUE(PollUntilComplete(r));
    EXPECT_EQ(r.Story(), "Start Complete(0,0)");
    EXPECT_TRUE(
        r.HasLine("SHA1 failed (" + data + ") Expected (" + wrong + ") Actual (" + Sha1Of(data) + ")"));
    EXPECT_FALSE(Ran());
    // A target that cannot be opened completes at once, inside the launch.
    Recorder missing;
    Process_Release(&process);
    Make(script, "", missing);
    Process_SetSHA1(process, Sha1Of(script).c_str());
    Process_SetSHA1Target(process, (dir + "/absent").c_str());
    EXPECT_EQ(Process_Launch(process), 1) << "the check was started";
    EXPECT_EQ(missing.Story(), "Start Complete(0,0)");
    EXPECT_EQ(process->State, PROCESS_STATE_IDLE);
    EXPECT_FALSE(Ran());
}

TEST_F(ProcessTest, DigestAskedOnlyForALaterLaunchIsStillChecked) {
    const std::string script = Script(0);
    Recorder r;
    Make(script, "", r);
    ASSERT_EQ(Process_Launch(process), 1);
    ASSERT_TRUE(PollUntilComplete(r));
    EXPECT_EQ(process->Digester, nullptr) << "a launch without a digest reads no file";
    // The same object launched again, now with a digest: a wrong one refuses, the right one runs.
    ASSERT_EQ(unlink((dir + "/ran").c_str()), 0);
    Process_SetSHA1(process, std::string(40, '0').c_str());
    ASSERT_EQ(Process_Launch(process), 1);
    ASSERT_TRUE(PollUntilComplete(r, 2));
    EXPECT_FALSE(Ran());
    Process_SetSHA1(process, Sha1Of(script).c_str());
    ASSERT_EQ(Process_Launch(process), 1);
    ASSERT_TRUE(PollUntilComplete(r, 3));
    EXPECT_TRUE(Ran());
    EXPECT_EQ(r.Story(), "Start Ready Complete(1,0) Start Complete(0,0) Start Ready Complete(1,0)");
}

TEST_F(ProcessTest, SignatureIsCheckedAfterTheDigestAndRefusedWhileItCannotBeVerified) {
    const std::string script = Script(9);
    // Digest mismatch: the signature check never starts. Digest match, checking on: refused with
    // a reason, never launched unchecked. Checking off: the signature is skipped and it runs.
    const struct {
        std::string Digest, Target;
        uint32_t Checking;
        const char* Story;
        std::string Line, NoLine;
    } cases[] = {
        {std::string(40, 'f'), script, 1, "Start Complete(0,0)", "SHA1 failed", "Authentication failed"},
        {Sha1Of(script), "\"" + script + "\"", 1, "Start Complete(0,0)",
         "Authentication failed (" + script + ")", ""},
        {Sha1Of(script), script, 0, "Start Ready Complete(1,9)", "", "failed"},
    };
    for (const auto& c : cases) {
        Authenticate_SetEnabled(c.Checking);
        Recorder r;
        Make(script, "", r);
        Process_SetSHA1(process, c.Digest.c_str());
        Process_SetAuthenticateTarget(process, c.Target.c_str());
        ASSERT_EQ(Process_Launch(process), 1);
        ASSERT_TRUE(PollUntilComplete(r));
        EXPECT_EQ(r.Story(), c.Story) << c.Target;
        EXPECT_TRUE(c.Line.empty() || r.HasLine(c.Line)) << c.Line;
        EXPECT_FALSE(!c.NoLine.empty() && r.HasLine(c.NoLine)) << c.NoLine;
        EXPECT_EQ(Ran(), c.Checking == 0);
        Process_Release(&process);
    }
}

TEST_F(ProcessTest, SignatureOnlyCheckFollowsTheSwitch) {
    // A shell script is no program file whose signature can pass; an ELF program passes as it is.
    const std::string script = Script(2);
    const std::tuple<uint32_t, std::string, const char*> cases[] = {{1, script, "Start Complete(0,0)"},
                                                                    {0, script, "Start Ready Complete(1,2)"},
                                                                    {1, "/bin/sh", "Start Ready Complete(1,2)"}};
    for (const auto& [enabled, target, story] : cases) {
        Authenticate_SetEnabled(enabled);
        Recorder r;
        Make("/bin/sh", "-c \"exit 2\"", r);
        Process_SetAuthenticateTarget(process, target.c_str());
        ASSERT_EQ(Process_Launch(process), 1);
        EXPECT_EQ(process->State, PROCESS_STATE_AUTHENTICATING);
        ASSERT_TRUE(PollUntilComplete(r));
        EXPECT_EQ(r.Story(), story);
        Process_Release(&process);
    }
}

TEST_F(ProcessTest, ObserversMayReleaseOrLaunchAgainFromComplete) {
    Recorder r;
    Make("/bin/sh", "-c \"exit 1\"", r);
    r.RelaunchOnComplete = true;
    ASSERT_EQ(Process_Launch(process), 1);
    ASSERT_TRUE(PollUntilComplete(r, 2));
    EXPECT_EQ(r.Story(), "Start Ready Complete(1,1) Start Ready Complete(1,1)");
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
    const uint32_t pid = Pid();
    Process_Release(&process);
    r.Owner = nullptr;
    EXPECT_NE(ProcState(pid), 0) << "deletion neither waits for nor stops the program";
    ASSERT_EQ(kill((pid_t)pid, SIGKILL), 0);
    EXPECT_TRUE(WaitFor([&] { return ProcState(pid) == 0; })) << "reaped in the background";
    EXPECT_EQ(r.Count("Complete"), 0u);
}

// A settings dictionary naming a pipe (or anything else) by its instance id.
Dictionary* PipeSettings(const char* id) {
    Dictionary* settings = Created(Dictionary_Create);
    if (id) Dictionary_AddString(settings, "instanceId", id, nullptr);
    return settings;
}

// The instance id a standard pipe slot answers; empty when the slot is empty.
std::string SlotId(int64_t (*get)(Process*, Dictionary*), Process* process) {
    Dictionary* answer = Created(Dictionary_Create);
    char text[40] = "";
    EXPECT_EQ(get(process, answer), 1);
    Dictionary_GetStringByKey(answer, "instanceId", text, sizeof(text));
    Dictionary_Release(&answer);
    return text;
}

// Sets a standard pipe slot from settings naming `id` (no id at all for null).
int64_t SetSlot(int64_t (*set)(Process*, Dictionary*), Process* process, const char* id) {
    Dictionary* settings = PipeSettings(id);
    const int64_t result = set(process, settings);
    Dictionary_Release(&settings);
    return result;
}

TEST_F(ProcessTest, StandardPipeSlots) {
    Recorder r;
    Make("/bin/sh", "-c \"exit 0\"", r);
    Pipe* out = Created(Pipe_Create);
    Pipe* in = Created(Pipe_Create);
    Pipe_SetName(out, "process-out");
    Pipe_SetName(in, "process-in");
    char outId[40], inId[40];
    Pipe_GetInstanceId(out, outId, sizeof(outId));
    Pipe_GetInstanceId(in, inId, sizeof(inId));
    EXPECT_EQ(SetSlot(Process_SetStdout, process, outId), 1);
    EXPECT_EQ(SetSlot(Process_SetStdout, process, outId), 1) << "the same pipe again";
    EXPECT_EQ(Class_HasOneRef(out), 0) << "the slot holds a reference";
    uint32_t inbound = 9;
    Pipe_GetIsIn(out, &inbound);
    EXPECT_EQ(inbound, 1u);
    EXPECT_EQ(SetSlot(Process_SetStdin, process, inId), 1);
    Pipe_GetIsIn(in, &inbound);
    EXPECT_EQ(inbound, 0u) << "the child reads standard input";
    EXPECT_EQ(SlotId(Process_GetStdout, process), outId);
    EXPECT_EQ(SlotId(Process_GetStderr, process), "") << "no pipe, nothing added";

    // An id that names an object of another kind changes nothing.
    Dictionary* other = Created(Dictionary_Create);
    Class_GenerateInstanceIdReal(other);
    const char* otherId = static_cast<Class*>(static_cast<void*>(other))->InstanceId;
    Class_TrackInstance(other, otherId, nullptr);
    EXPECT_EQ(SetSlot(Process_SetStdout, process, otherId), 0);
    Class_UntrackInstance(other);
    Dictionary_Release(&other);
    EXPECT_EQ(SlotId(Process_GetStdout, process), outId) << "the previous pipe is kept";

    // The launch opens the pipes that are not open yet.
    ASSERT_EQ(Process_Launch(process), 1);
    EXPECT_EQ(Pipe_IsOpen(out), 1);
    EXPECT_EQ(Pipe_IsOpen(in), 1);
    ASSERT_TRUE(PollUntilComplete(r));
    EXPECT_EQ(r.Completed(), "(1,0)");

    // An empty id empties the slot, and so does a missing one; the deletion releases the rest.
    EXPECT_EQ(SetSlot(Process_SetStdout, process, ""), 1);
    EXPECT_EQ(Class_HasOneRef(out), 1);
    EXPECT_EQ(SlotId(Process_GetStdout, process), "");
    EXPECT_EQ(SetSlot(Process_SetStdin, process, nullptr), 1);
    EXPECT_EQ(Class_HasOneRef(in), 1);
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
}

// One of two threads that each launch a held program and then only wait for a wake: the watch on
// its program's end is the only thing that can wake it.
struct EndWaiter {
    std::string Go; // the file that lets the program end
    uint32_t Pid = 0;
    std::atomic<int> State{0}; // 0 launching, 1 waiting, 2 woken, 3 never woken, 4 finished
    char StateWhenWoken = '?'; // the program's /proc state when the wake came: 'Z' (or 0) once ended
    bool Woken = false;
};

uint32_t LaunchAndWaitForTheEnd(void* parameter) {
    EndWaiter* w = static_cast<EndWaiter*>(parameter);
    Process* process = nullptr;
    Process_Create(&process);
    Process_SetApplicationName(process, "/bin/sh");
    Process_SetArguments(process, ("-c \"while [ ! -e '" + w->Go + "' ]; do sleep 0.01; done\"").c_str());
    if (Process_Launch(process) == 1) {
        Process_GetId(process, &w->Pid);
        Thread_Wait(0); // a wake left from the launch is not the program's end
        w->State = 1;
        const bool woken = Thread_Wait(20000) == 1;
        w->StateWhenWoken = ProcState(w->Pid);
        w->Woken = woken;
        w->State = woken ? 2 : 3;
        // Collected as the owner's polls collect it.
        StepUntil(
            [&] {
                uint32_t pid = 0;
                Process_GetId(process, &pid);
                return pid == 0;
            },
            [&] {
                Thread_Tick();
                Process_Process(process);
                Thread_Wait(2);
            });
    }
    Process_Release(&process);
    w->State = 4;
    return 0;
}

// Two programs watched at once, each launched by its own thread: the end of each wakes the thread
// that launched it, and only that one, whichever ends first.
TEST_F(ProcessTest, TwoWatchedProgramsEachWakeTheirOwnThread) {
    EndWaiter first, second;
    first.Go = dir + "/go-first";
    second.Go = dir + "/go-second";
    // The main thread delivers the notifications the workers fire.
    const auto pumpUntil = [](const std::function<bool()>& condition) {
        return WaitFor([&] {
            NotificationCenter_Process();
            EventQueue_Flush(nullptr);
            return condition();
        });
    };
    Thread* threads[2] = {};
    ASSERT_EQ(Thread_Begin(&threads[0], &first, LaunchAndWaitForTheEnd), 1);
    ASSERT_TRUE(pumpUntil([&] { return first.State >= 1; }));
    ASSERT_EQ(Thread_Begin(&threads[1], &second, LaunchAndWaitForTheEnd), 1);
    ASSERT_TRUE(pumpUntil([&] { return second.State >= 1; }));
    ASSERT_EQ(first.State, 1);
    // The one launched last ends first.
    WriteFile(second.Go, "go", 0644);
    ASSERT_TRUE(pumpUntil([&] { return second.State >= 2; }));
    WriteFile(first.Go, "go", 0644);
    ASSERT_TRUE(pumpUntil([&] { return first.State == 4 && second.State == 4; }));
    for (Thread*& thread : threads) EXPECT_EQ(Thread_Join(5000, &thread), 1);
    for (const EndWaiter* w : {&first, &second}) {
        EXPECT_TRUE(w->Woken) << w->Go;
        EXPECT_TRUE(w->StateWhenWoken == 'Z' || w->StateWhenWoken == 0)
            << w->Go << ": woken while its program ran (" << w->StateWhenWoken << ")";
        EXPECT_EQ(ProcState(w->Pid), 0) << w->Go;
    }
}

} // namespace
