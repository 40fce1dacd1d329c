// Tests of the platform's processes: splitting command lines, the launch routes (plain, as the
// user who elevated this process, through the broker), what launched programs get and keep, the
// process handle's queries, reaping, enumeration and search.
#include "core/linux/platform_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <tuple>
#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/linux/privileged_task.h"
#include "tests/support/log_capture.h"
#include "tests/support/platform_sandbox.h"
#include "tests/support/scoped_env.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

using Args = std::vector<std::string>;

Args Split(const std::string& text) {
    int32_t count = -1;
    char** array = nullptr;
    EXPECT_EQ(CommandLineToMutableArray(text.c_str(), &count, &array), 1);
    Args out(array, array + count);
    EXPECT_TRUE(!array || !array[count]);
    EXPECT_EQ(CommandLineFreeMutableArray(&count, &array), 1);
    EXPECT_EQ(std::make_pair(count, array), std::make_pair(0, (char**)nullptr));
    return out;
}

TEST(CommandLineSplit, Rules) {
    const std::string x8191(8191, 'x'), x8192(8192, 'x'), q8192(8192, 'q');
    const struct {
        std::string Text;
        Args Expected;
    } cases[] = {{"a \"b c\" d", {"a", "b c", "d"}},
                 {"\"x\\\"y\"", {"x\\", "y"}},
                 {"", {}},
                 {" \t\r\n ", {}},
                 {"  a \t\r\n b  ", {"a", "b"}},
                 {"\"\"", {""}},
                 {"\"\"\"\"", {"", ""}},
                 {"a\"\"b", {"a", "b"}},
                 // Text before the opening quote belongs to the quoted argument; text after the closing
                 // quote starts a new one.
                 {"ab\"c d\"e", {"abc d", "e"}},
                 // A backslash outside quotes keeps itself and takes the next character literally.
                 {"a\\ b", {"a\\ b"}},
                 {"a\\\"b c\"", {"a\\\"b", "c"}},
                 {"a\\\\\"b c\"", {"a\\\\b c"}},
                 {"end\\", {"end\\"}},
                 // Inside quotes a backslash escapes nothing.
                 {"\"a\\ b\\\\\" c", {"a\\ b\\\\", "c"}},
                 {"\"open quote", {"open quote"}},
                 // Splitting stops at an argument of 8192 bytes.
                 {x8191 + " y", {x8191, "y"}},
                 {x8192 + " y", {x8192}},
                 {"a " + std::string(9000, 'x') + " y", {"a", x8192}},
                 {"\"" + q8192 + "\" y", {q8192}}};
    for (const auto& c : cases) EXPECT_EQ(Split(c.Text), c.Expected) << c.Text.substr(0, 40);
}

// Polls until the child has been reaped; false if it never ends (a broken test, not a slow one).
bool WaitExit(PlatformProcess* handle, int32_t* code) {
    return Eventually([&] { return Platform_ProcessGetExitCode(handle, code) == 1; });
}

struct Ran {
    int64_t result = 0;
    int32_t pid = 0;
    bool ended = false;
    int32_t code = INT32_MIN;
};

// Launches through start, waits for the program's end and deletes the handle.
Ran Run(const std::function<int64_t(PlatformProcess**)>& start) {
    Ran out;
    PlatformProcess* handle = reinterpret_cast<PlatformProcess*>(1);
    out.result = start(&handle);
    if (!out.result || !handle) {
        EXPECT_EQ(handle, nullptr);
        return out;
    }
    out.pid = Platform_ProcessGetId(handle);
    out.ended = WaitExit(handle, &out.code);
    EXPECT_EQ(Platform_ProcessDelete(&handle), 1);
    EXPECT_EQ(handle, nullptr);
    return out;
}

Ran Normal(const std::string& path, const std::string& line, const std::string& directory = "") {
    return Run([&](PlatformProcess** h) {
        return Platform_ExecuteNormal(path.c_str(), line.c_str(), directory.c_str(), 0, h);
    });
}

Ran Execute(const std::string& path, const std::string& line, const std::string& directory, uint32_t flags) {
    return Run([&](PlatformProcess** h) {
        return Platform_Execute(path.c_str(), line.c_str(), directory.c_str(), flags, nullptr, nullptr,
                                nullptr, h);
    });
}

std::string Cwd() {
    char here[PATH_MAX];
    return getcwd(here, sizeof(here)) ? here : "";
}

char ProcState(int32_t pid) {
    const std::string text = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() ? 0 : text[close + 2];
}

TEST(PlatformExecute, ExitCodesOfRealChildren) {
    const struct {
        const char* Path;
        const char* Line;
        int32_t Code;
    } cases[] = {{"/bin/true", "", 0},
                 {"/bin/false", "", 1},
                 {"/bin/sh", "-c \"exit 3\"", 3},
                 {"/bin/sh", "-c \"kill -9 $$\"", -9},
                 {"/bin/sh", "-c \"kill -15 $$\"", -15},
                 // argv[0] is the path; the split command line follows it.
                 {"/bin/sh", "-c \"case $1 in 'b c') exit $((40 + $#));; esac; exit 1\" sh \"b c\" d", 42},
                 {"/bin/sh", "-c \"[ $0 = /bin/sh ] && exit 5\"", 5}};
    for (const auto& c : cases) {
        const Ran r = Normal(c.Path, c.Line);
        EXPECT_GT(r.pid, 0);
        EXPECT_TRUE(r.ended && r.code == c.Code) << c.Line << ": " << r.code;
    }
}

TEST(PlatformExecute, WorkingDirectoryOfEachRoute) {
    ScopedEnv env({{"PKEXEC_UID", nullptr}, {"SUDO_UID", nullptr}});
    TempDir dir;
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
    const std::string script = "-c \"pwd > '" + dir.file("out") + "'\"", here = Cwd();
    const std::string ignored = "DEBUG - Working path is not respected for this platform\n";
    const struct {
        const char* Name;
        bool Plain; // Platform_ExecuteNormal rather than Platform_Execute
        uint32_t Flags;
        std::string Directory, Expected, Log;
    } cases[] = {{"plain", true, 0, dir.path(), real, ""},
                 // An invalid directory leaves the child where the parent is.
                 {"plain, missing directory", true, 0, "/nonexistent-qvr-directory", here, ""},
                 // Without the plain-launch flag the directory is not used (as root nobody elevated this
                 // process, so the program runs as root itself); 0x01 changes nothing.
                 {"default", false, 0, dir.path(), here, ignored},
                 {"hidden", false, PLATFORM_EXECUTE_HIDE, dir.path(), here, ignored},
                 // The plain-launch flag honours it, silently, and wins over the elevation flag.
                 {"normal", false, PLATFORM_EXECUTE_NORMAL, dir.path(), real, ""},
                 {"normal and elevated", false, PLATFORM_EXECUTE_NORMAL | PLATFORM_EXECUTE_ELEVATED,
                  dir.path(), real, ""}};
    for (const auto& c : cases) {
        unlink(dir.file("out").c_str());
        TakeLog();
        const Ran r = c.Plain ? Normal("/bin/sh", script, c.Directory)
                              : Execute("/bin/sh", script, c.Directory, c.Flags);
        EXPECT_TRUE(r.result == 1 && r.ended && r.code == 0) << c.Name;
        EXPECT_EQ(ReadFile(dir.file("out")), c.Expected + "\n") << c.Name;
        EXPECT_EQ(TakeLog(), c.Log) << c.Name;
    }
}

TEST(PlatformExecute, MissingExecutableEndsWithErrnoAndTheFailureLine) {
    TempDir dir;
    // A directory is no executable: EACCES.
    for (const auto& [path, code] :
         {std::pair{std::string("/nonexistent-qvr/tool"), ENOENT}, {dir.path(), EACCES}}) {
        Ran r;
        const std::string text =
            CaptureOutput(STDERR_FILENO, dir.file("stderr"), [&] { r = Normal(path, "a b"); });
        EXPECT_TRUE(r.ended && r.code == code) << path;
        EXPECT_EQ(text, "Platform_ExecuteNormal failed to execute (" + path +
                            ") [LE: " + std::to_string(code) + "]\n");
    }
}

// A shell that lists its own descriptors on its standard output (the ':' keeps it from becoming
// the ls, whose listing would show the directory it reads).
const char kListDescriptors[] = "-c \"ls /proc/$$/fd; :\"";

TEST(PlatformExecute, ProgramsGetOnlyTheStandardDescriptors) {
    TempDir dir;
    // Opened without close-on-exec, as a library or an inheriting parent leaves them.
    const int low = open("/dev/null", O_RDONLY), high = fcntl(low, F_DUPFD, 200);
    ASSERT_EQ(high, 200);
    for (const bool plain : {true, false}) {
        Ran r;
        const std::string listed = CaptureOutput(STDOUT_FILENO, dir.file("out"), [&] {
            r = plain ? Normal("/bin/sh", kListDescriptors)
                      : Execute("/bin/sh", kListDescriptors, "/", PLATFORM_EXECUTE_NORMAL);
        });
        EXPECT_TRUE(r.ended && r.code == 0) << plain;
        EXPECT_EQ(listed, "0\n1\n2\n") << plain;
    }
    close(low);
    close(high);
}

TEST(PlatformExecute, WithoutCloseRangeDescriptorsAreClosedOneByOne) {
    // A kernel without close_range, made by a filter that answers ENOSYS to it, in a child.
    TempDir dir;
    const auto listed = TextFromChild(
        [] {
            struct rlimit limit;
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = 256;
            // Just below the limit, the highest number the fallback has to reach.
            const int leaked = open("/dev/null", O_RDONLY);
            struct sock_filter filter[] = {
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
            struct sock_fprog program = {(unsigned short)std::size(filter), filter};
            return setrlimit(RLIMIT_NOFILE, &limit) == 0 && fcntl(leaked, F_DUPFD, 255) == 255 &&
                   prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                   prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0 &&
                   syscall(SYS_close_range, 1000u, 1001u, 0u) != 0 && errno == ENOSYS;
        },
        [&] {
            Ran r;
            const std::string text = CaptureOutput(STDOUT_FILENO, dir.file("out"),
                                                   [&] { r = Normal("/bin/sh", kListDescriptors); });
            return std::to_string(r.code) + "|" + text;
        });
    if (!listed) GTEST_SKIP() << "no seccomp filter can be installed here";
    EXPECT_EQ(*listed, "0|0\n1\n2\n");
}

TEST(PlatformExecute, RelativeProgramIsTheCallersNotTheWorkingDirectorys) {
    TempDir caller, work;
    mkdir(caller.file("bin").c_str(), 0755);
    mkdir(work.file("bin").c_str(), 0755);
    // The program records how it was named, and exits with a code of its own.
    WriteScript(caller.file("tool"), "echo \"$0\" > " + caller.file("named") + "\nexit 21\n");
    WriteScript(caller.file("bin/tool"), "exit 22\n");
    const std::string back = Cwd();
    ASSERT_EQ(chdir(caller.path().c_str()), 0);
    const std::string physical = Cwd();
    const struct {
        const char* Path;
        bool OtherInWork; // the working directory holds a program of the same name
        int32_t Code;
    } cases[] = {{"tool", false, 21},
                 {"tool", true, 21},
                 {"./tool", true, 21},
                 {"bin/tool", false, 22},
                 {"bin/tool", true, 22}};
    for (const auto& c : cases) {
        for (const char* name : {"tool", "bin/tool"})
            c.OtherInWork ? WriteScript(work.file(name), "exit 66\n") : (void)unlink(work.file(name).c_str());
        const Ran plain = Normal(c.Path, "", work.path()),
                  normal = Execute(c.Path, "", work.path(), PLATFORM_EXECUTE_NORMAL);
        EXPECT_TRUE(plain.ended && plain.code == c.Code) << c.Path << " (plain)";
        EXPECT_TRUE(normal.ended && normal.code == c.Code) << c.Path << " (execute)";
    }
    EXPECT_EQ(ReadFile(caller.file("named")), physical + "/./tool\n");
    ASSERT_EQ(chdir(back.c_str()), 0);
}

// A program named by a location the expander could not name ("{userAppData}" left with a relative
// HOME) is never taken from the current folder, where another user may have put one, on any route
// and as no working directory either; braces that name no location are a real program's name.
TEST(PlatformExecute, ALocationLeftUnexpandedIsNeverLaunched) {
    TempDir shared, work;
    for (const char* folder : {"{userAppData}Q", "{Env:QVR_NO_SUCH_VARIABLE}", "{notes}"})
        ASSERT_EQ(mkdir(shared.file(folder).c_str(), 0755), 0);
    WriteScript(shared.file("{userAppData}Q/run"), "touch " + shared.file("ran") + "\nexit 0\n");
    WriteScript(shared.file("{Env:QVR_NO_SUCH_VARIABLE}/run"), "touch " + shared.file("ran") + "\nexit 0\n");
    WriteScript(shared.file("{notes}/run"), "exit 23\n");
    const std::string back = Cwd();
    ASSERT_EQ(chdir(shared.path().c_str()), 0);
    for (const char* path : {"{userAppData}Q/run", "{Env:QVR_NO_SUCH_VARIABLE}/run", "./{userAppData}Q/run"}) {
        EXPECT_FALSE(Normal(path, "").result) << path;
        EXPECT_FALSE(Execute(path, "", "", PLATFORM_EXECUTE_NORMAL).result) << path;
        EXPECT_FALSE(Execute(path, "", "", 0).result) << path;
    }
    EXPECT_FALSE(Normal("/bin/true", "", "{userAppData}Q").result);
    EXPECT_FALSE(Execute("/bin/true", "", "{userAppData}Q", PLATFORM_EXECUTE_NORMAL).result);
    const Ran real = Normal("{notes}/run", "");
    EXPECT_TRUE(real.ended && real.code == 23);
    const Ran vector = Execute("{notes}/run", "", "{notes}", PLATFORM_EXECUTE_NORMAL);
    EXPECT_TRUE(vector.ended && vector.code == 23);
    EXPECT_EQ(access(shared.file("ran").c_str(), F_OK), -1);
    ASSERT_EQ(chdir(back.c_str()), 0);
}

TEST(PlatformExecute, ForkFailureIsLoggedAndMakesNoHandle) {
    // A user that may own no process at all cannot fork.
    const auto result = TextFromChild(
        [] {
            struct rlimit none = {0, 0};
            return (getuid() != 0 || (setgid(54331) == 0 && setuid(54331) == 0)) &&
                   setrlimit(RLIMIT_NPROC, &none) == 0;
        },
        [] {
            TakeLog();
            PlatformProcess* handle = reinterpret_cast<PlatformProcess*>(1);
            const int64_t result = Platform_ExecuteNormal("/bin/true", "a", "", 0, &handle);
            return std::to_string(result) + (handle ? " handle " : " none ") + TakeLog();
        });
    if (!result) GTEST_SKIP() << "cannot take a user without processes";
    EXPECT_EQ(*result, "0 none ERROR - Platform_ExecuteNormal failed to execute (/bin/true) [LE: " +
                           std::to_string(EAGAIN) + "]\n");
}

TEST(PlatformProcess, RunningStoppedKilledAndReaped) {
    PlatformProcess* handle = nullptr;
    ASSERT_EQ(Platform_ExecuteNormal("/bin/sleep", "60", "", 0, &handle), 1);
    const int32_t pid = Platform_ProcessGetId(handle);
    char expected[PATH_MAX], path[PLATFORM_PROCESS_PATH_SIZE] = "";
    ASSERT_NE(realpath("/bin/sleep", expected), nullptr);
    EXPECT_TRUE(Eventually([&] {
        return Platform_ProcessGetPathById((uint32_t)pid, path, sizeof(path)) && strcmp(path, expected) == 0;
    }));
    EXPECT_EQ(Platform_GetParentProcessId((uint32_t)pid), (uint32_t)getpid());
    EXPECT_EQ(Platform_ProcessIsRunning(handle) + Platform_ProcessIsIdle(handle), 2);
    int32_t code = 77;
    EXPECT_EQ(Platform_ProcessGetExitCode(handle, &code), 0);
    EXPECT_EQ(code, 0);

    // A stopped child has no exit code yet.
    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    ASSERT_TRUE(Eventually([&] { return ProcState(pid) == 'T'; }));
    EXPECT_EQ(Platform_ProcessGetExitCode(handle, &code), 0);
    EXPECT_EQ(Platform_ProcessIsRunning(handle), 1);

    // Killed but not yet reaped: a zombie is not running, yet it exists.
    EXPECT_EQ(Platform_ProcessForceTerminateById((uint32_t)pid), 1);
    EXPECT_TRUE(Eventually([&] { return ProcState(pid) == 'Z'; }));
    EXPECT_EQ(Platform_ProcessIsRunning(handle), 0);
    EXPECT_EQ(Platform_ProcessIsIdle(handle), 1);
    ASSERT_TRUE(WaitExit(handle, &code));
    EXPECT_EQ(code, -SIGKILL);
    // The status is kept: a second query answers the same without another wait.
    code = 0;
    EXPECT_EQ(Platform_ProcessGetExitCode(handle, &code), 1);
    EXPECT_EQ(code, -SIGKILL);
    // Once reaped, the pid may be reused by another process: the handle's process has ended.
    EXPECT_EQ(Platform_ProcessIsRunning(handle) + Platform_ProcessIsIdle(handle), 0);
    EXPECT_EQ(Platform_ProcessForceTerminateById((uint32_t)pid), 0);
    EXPECT_EQ(Platform_ProcessDelete(&handle), 1);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(Platform_ProcessDelete(&handle), 1);
}

TEST(PlatformProcess, ChildCollectedBehindTheHandleHasEnded) {
    // Someone else's wait took the status: the handle can neither see the end through its own
    // wait nor collect it, and the process is gone all the same.
    PlatformProcess* handle = nullptr;
    ASSERT_EQ(Platform_ExecuteNormal("/bin/sleep", "60", "", 0, &handle), 1);
    const int32_t pid = Platform_ProcessGetId(handle);
    EXPECT_EQ(Platform_ProcessIsRunning(handle), 1);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(Platform_ProcessIsRunning(handle) + Platform_ProcessIsIdle(handle), 0);
    int32_t code = 5;
    EXPECT_EQ(Platform_ProcessGetExitCode(handle, &code), 0);
    EXPECT_EQ(Platform_ProcessDelete(&handle), 1);
}

TEST(PlatformProcess, HandleWithoutProcessOrOfAnotherClass) {
    PlatformProcess none = {};
    none.Header.ClassId = PLATFORM_PROCESS_CLASS_ID;
    int32_t code = 5;
    EXPECT_EQ(Platform_ProcessGetExitCode(&none, &code), 1);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(Platform_ProcessIsRunning(&none), 0);
    // A pid that is not our child cannot be reaped.
    PlatformProcess stranger = none;
    stranger.ProcessId = 1;
    EXPECT_EQ(Platform_ProcessGetExitCode(&stranger, &code), 0);
    PlatformProcess wrong = {};
    wrong.Header.ClassId = 0x12345678;
    ExpectAborts({{"another class", [&] { Platform_ProcessIsRunning(&wrong); }, ClassMismatch(0x12345678)}});
}

// Whether the child survives fn; a broken guard would make it signal its own group or everything.
bool SurvivesInChild(const std::function<bool()>& fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn() ? 0 : 3);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(PlatformProcess, IdsThatNameGroupsAreRefused) {
    // In its own process group, a kill(0) would hit only the child. kill(-1) reaches every
    // process of the caller's user: the child takes a user id that nothing else runs as, or does
    // not try at all.
    const std::function<bool()> cases[] = {
        [] { return Platform_ProcessForceTerminateById(0) == 0; },
        [] { return signal(SIGTERM, SIG_DFL) != SIG_ERR && Platform_ProcessTerminateById(0) == 0; },
        [] {
            if (setgid(54329) != 0 || setuid(54329) != 0) return true;
            return Platform_ProcessForceTerminateById(UINT32_MAX) == 0 &&
                   Platform_ProcessForceTerminateById(0x80000000u) == 0;
        }};
    for (size_t i = 0; i < std::size(cases); i++)
        EXPECT_TRUE(SurvivesInChild([&] { return setpgid(0, 0) == 0 && cases[i](); })) << i;
}

std::string SelfExe() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, (size_t)n) : std::string();
}

TEST(PlatformProcessFind, EnumerationFindsThisProcess) {
    PlatformProcessEntry entry;
    PlatformProcessEnumeration* enumeration = nullptr;
    ASSERT_EQ(Platform_ProcessFindFirst(&entry, &enumeration), 1);
    std::string comm = ReadFile("/proc/self/comm");
    comm = comm.substr(0, std::min(comm.size() - 1, (size_t)PLATFORM_PROCESS_NAME_SIZE - 1));
    int32_t listed = 0, found = 0;
    do {
        listed++;
        EXPECT_GT(entry.ProcessId, 0u);
        EXPECT_EQ(entry.Path[0], '/');
        EXPECT_LT(strlen(entry.ShortName), (size_t)PLATFORM_PROCESS_NAME_SIZE);
        if (entry.ProcessId != (uint32_t)getpid()) continue;
        found++;
        EXPECT_EQ(entry.Path, SelfExe());
        EXPECT_EQ(entry.ParentProcessId, getppid());
        EXPECT_EQ(entry.ShortName, comm);
    } while (Platform_ProcessFindNext(enumeration, &entry));
    EXPECT_EQ(found, 1);
    EXPECT_GT(listed, 1);
    // The end clears the entry and stays at the end.
    EXPECT_EQ(entry.Path[0], 0);
    EXPECT_EQ(Platform_ProcessFindNext(enumeration, &entry), 0);
    EXPECT_EQ(Platform_ProcessFindClose(&enumeration), 1);
    EXPECT_EQ(enumeration, nullptr);
    EXPECT_EQ(Platform_ProcessFindClose(&enumeration), 1);
}

TEST(PlatformProcessFind, FillOfMissingProcessesAndParents) {
    PlatformProcessEntry entry;
    EXPECT_EQ(Platform_ProcessFindFill(&entry, (uint32_t)getpid()), 1);
    EXPECT_EQ(entry.Path, SelfExe());
    EXPECT_EQ(Platform_GetParentProcessId((uint32_t)getpid()), (uint32_t)getppid());
    // A child that has ended and been reaped no longer exists.
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    for (uint32_t pid : {(uint32_t)child, 0u, UINT32_MAX}) {
        EXPECT_EQ(Platform_ProcessFindFill(&entry, pid), 0) << pid;
        EXPECT_EQ(std::make_tuple(entry.ProcessId, entry.ParentProcessId, entry.Path[0], entry.ShortName[0]),
                  std::make_tuple(pid, -1, '\0', '\0'));
        EXPECT_EQ(Platform_GetParentProcessId(pid), 0u);
        char path[64] = "x";
        EXPECT_EQ(Platform_ProcessGetPathById(pid, path, sizeof(path)), 0);
        EXPECT_EQ(path[0], 0);
    }
    // A path that does not fit is not cut into another name.
    char small[4] = "x";
    EXPECT_EQ(Platform_ProcessGetPathById((uint32_t)getpid(), small, sizeof(small)), 0);
    EXPECT_EQ(small[0], 0);
}

TEST(PlatformProcessFind, FindProcessByWildcard) {
    const std::string exe = SelfExe(), name = exe.substr(exe.rfind('/') + 1);
    std::string upper = name;
    for (char& c : upper) c = (char)toupper((unsigned char)c);
    // Patterns over this binary's whole path name it; one that leaves the directory open, or over
    // the file name alone without case, may also meet a copy of this test built elsewhere: it
    // finds a process of this name.
    const struct {
        std::string Pattern;
        bool Self;
    } cases[] = {{exe, true},
                 {"*/" + name, false},
                 {exe.substr(0, exe.size() - 8) + "*" + exe.substr(exe.size() - 4), true},
                 {upper, false},
                 {"*" + upper.substr(3), false}};
    for (const auto& c : cases) {
        int32_t pid = 0;
        char path[PLATFORM_PROCESS_PATH_SIZE] = "";
        EXPECT_EQ(Platform_FindProcess(c.Pattern.c_str(), &pid), 1) << c.Pattern;
        EXPECT_TRUE(!c.Self || pid == getpid()) << c.Pattern;
        EXPECT_EQ(Platform_ProcessGetPathById((uint32_t)pid, path, sizeof(path)), 1);
        EXPECT_EQ(std::string(path).substr(std::string(path).rfind('/') + 1), name) << c.Pattern;
    }
    int32_t pid = 0;
    EXPECT_EQ(Platform_FindProcess("qvr-no-such-process-*-here", &pid), 0);
    EXPECT_EQ(pid, -1);
}

TEST(PlatformProcess, DebuggerPresence) {
    EXPECT_EQ(Platform_IsDebuggerPresent(), 0);
    // A child that asks to be traced by this process sees a tracer.
    const auto traced = TextFromChild([] { return ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0; },
                                      [] { return std::to_string(Platform_IsDebuggerPresent()); });
    if (!traced) GTEST_SKIP() << "ptrace is not permitted here";
    EXPECT_EQ(*traced, "1");
}

TEST(PlatformSocketPID, OwnerOfAListeningSocket) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const uint16_t port = ntohs(address.sin_port);
    const uint32_t loopback = address.sin_addr.s_addr, other = htonl(0x7F000002);
    uint32_t pid = 7;
    EXPECT_EQ(Platform_GetSocketPID(&loopback, port, &pid), 1);
    EXPECT_EQ(pid, (uint32_t)getpid());
    EXPECT_EQ(Platform_GetSocketPID(&other, port, &pid), 0);
    EXPECT_EQ(pid, 0u);
    close(listener);
    EXPECT_EQ(Platform_GetSocketPID(&loopback, port, &pid), 0);
    EXPECT_EQ(pid, 0u);
}

TEST(PlatformShellOpen, LeavesNoChildBehind) {
    const bool opener = access("/usr/bin/xdg-open", X_OK) == 0;
    TakeLog();
    // Without the opener nothing is started, and the caller hears of it instead of a success.
    EXPECT_EQ(Platform_ShellOpen("~/qvr-no-such-file"), opener ? 1 : 0);
    if (!opener) {
        EXPECT_EQ(TakeLog(), "ERROR - Platform_ExecuteNormal failed to execute (/usr/bin/xdg-open) [LE: 2]\n");
    }
    // The opener runs as a grandchild adopted by init: nothing is left for this process to reap.
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// ---- Platform_Execute as the user who elevated this process, and through the broker ------------

// A directory that other users can read, with a subdirectory "out" they can write to.
struct SharedDir : TempDir {
    SharedDir() {
        chmod(path().c_str(), 0755);
        mkdir(out().c_str(), 0777);
        chmod(out().c_str(), 0777);
    }
    std::string out(const std::string& name = "") const { return file("out/" + name); }
};

// Hostile texts that must reach the program unchanged, one argument each.
struct Hostile {
    std::string Line;
    Args Expected;
};

Hostile HostileArguments(const SharedDir& dir) {
    WriteText(dir.file("victim"), "x");
    const std::string victim = dir.file("victim"), pwned = dir.out("pwned");
    return {"plain \"two words\" \"\" \"; rm -f " + victim + "\" \"$(touch " + pwned + ")\" \"`touch " +
                pwned + "`\" 'single' x\\\"y * \"a|b&c>d\" $HOME \"\"",
            {"plain", "two words", "", "; rm -f " + victim, "$(touch " + pwned + ")", "`touch " + pwned + "`",
             "'single'", "x\\\"y", "*", "a|b&c>d", "$HOME", ""}};
}

bool Harmless(const SharedDir& dir) {
    return FileExists(dir.file("victim")) && !FileExists(dir.out("pwned"));
}

// A program that records its arguments and its id, then exits with `code`.
std::string WriteRecorder(const SharedDir& dir, int code = 0) {
    WriteScript(dir.file("recorder"), "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > " +
                                          dir.out("arguments") + "\necho $$ > " + dir.out("pid") + "\nexit " +
                                          std::to_string(code) + "\n");
    return dir.file("recorder");
}

// A stand-in for pkexec in dir/name that records its arguments and runs the rest, or leaves with
// `exitCode`. Like the real one it must be root's, which it is when root writes it.
std::string WriteBroker(const SharedDir& dir, const std::string& name, int exitCode = -1) {
    mkdir(dir.file(name).c_str(), 0755);
    WriteScript(
        dir.file(name + "/pkexec"),
        "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > " + dir.out("broker") + "\n" +
            (exitCode < 0 ? std::string("exec \"$@\"\n") : "exit " + std::to_string(exitCode) + "\n"));
    return dir.file(name + "/pkexec");
}

bool HaveNobody() {
    return getpwuid(kOtherUser) != nullptr;
}

// The routes of a plain launch: by default, in the working directory, and (from root) as the
// user who elevated.
struct Route {
    const char* Name;
    uint32_t Flags;
    const char* ConsoleUser;
};
constexpr Route kRoutes[] = {
    {"default", 0, nullptr}, {"normal", PLATFORM_EXECUTE_NORMAL, nullptr}, {"as the user", 0, "65534"}};

TEST(PlatformExecute, ArgumentsReachTheProgramExactlyOnEveryRoute) {
    for (const Route& c : kRoutes) {
        if (c.ConsoleUser && (geteuid() != 0 || !HaveNobody())) continue; // needs root and the user nobody
        ScopedEnv env({{"PKEXEC_UID", c.ConsoleUser}, {"SUDO_UID", nullptr}});
        SharedDir dir;
        const Hostile hostile = HostileArguments(dir);
        const Ran r = Execute(WriteRecorder(dir, 4), hostile.Line, "", c.Flags);
        EXPECT_TRUE(r.ended && r.code == 4) << c.Name;
        EXPECT_EQ(ReadNulList(dir.out("arguments")), hostile.Expected) << c.Name;
        EXPECT_EQ(ReadFile(dir.out("pid")), std::to_string(r.pid) + "\n") << c.Name;
        EXPECT_TRUE(Harmless(dir)) << c.Name;
    }
}

TEST(PlatformExecute, ResolvesHomeAndEitherSeparatorAndRefusesPathsThatDoNotFit) {
    SharedDir dir;
    ScopedEnv env({{"HOME", dir.file("").c_str()}, {"PKEXEC_UID", nullptr}, {"SUDO_UID", nullptr}});
    mkdir(dir.file("sub").c_str(), 0755);
    WriteScript(dir.file("sub/tool"), "exit 9\n");
    for (const char* path : {"~/sub/tool", "~\\sub\\tool", "~/sub//tool"}) {
        const Ran r = Execute(path, "", "", PLATFORM_EXECUTE_NORMAL);
        EXPECT_TRUE(r.ended && r.code == 9) << path;
    }
    // A path that does not fit is refused rather than cut into another name.
    TakeLog();
    const std::string longPath = "/" + std::string(1100, 'p');
    const Ran r = Execute(longPath, "", "", PLATFORM_EXECUTE_NORMAL);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(TakeLog(), "ERROR - Platform_ExecuteNormal failed to execute (" + longPath +
                             ") [LE: " + std::to_string(ENAMETOOLONG) + "]\n");
}

TEST(PlatformExecute, EnvironmentAndStandardStreamsAreInherited) {
    // Expanded text is not parsed again: the ';' stays a character.
    ScopedEnv env({{"QVR_LAUNCH_PROBE", "a=b;c"}});
    TempDir dir;
    int64_t result = 0;
    int32_t code = -1;
    // The caller's standard handles are not used: the program writes to this process's output.
    const std::string out = CaptureOutput(STDOUT_FILENO, dir.file("out"), [&] {
        PlatformProcess* handle = nullptr;
        result = Platform_Execute("/bin/sh", "-c \"printf %s $QVR_LAUNCH_PROBE\"", "",
                                  PLATFORM_EXECUTE_NORMAL, reinterpret_cast<void*>(0x10),
                                  reinterpret_cast<void*>(0x20), reinterpret_cast<void*>(0x30), &handle);
        EXPECT_TRUE(handle && WaitExit(handle, &code));
        Platform_ProcessDelete(&handle);
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out, "a=b;c");
}

// A launched program gets the program's own environment on every route: a value set is there
// and one unset is gone, a variable whose name starts with a changed one stays, and what only the
// C library's table holds (the toolkit's own changes) is not handed on.
TEST(PlatformExecute, ProgramsGetTheProgramsOwnEnvironment) {
    ScopedEnv scope({{"QVR_X", nullptr}, {"QVR_X_LONGER", nullptr}, {"QVR_LIBRARY_ONLY", nullptr}});
    for (const Route& route : {kRoutes[1], kRoutes[2]}) {
        if (route.ConsoleUser && (geteuid() != 0 || !HaveNobody())) continue; // needs root and the user nobody
        ScopedEnv env({{"PKEXEC_UID", route.ConsoleUser}, {"SUDO_UID", nullptr}});
        SharedDir dir;
        const std::string out = dir.out("environment");
        const std::string script = "-c \"echo ${QVR_X-unset} ${QVR_X_LONGER-unset} ${QVR_LIBRARY_ONLY-unset} > $0\" " + out;
        const auto seen = [&] {
            unlink(out.c_str());
            const Ran r = Execute("/bin/sh", script, "", route.Flags);
            EXPECT_TRUE(r.result == 1 && r.ended && r.code == 0) << route.Name;
            return ReadFile(out);
        };
        ASSERT_EQ(Platform_SetEnvironmentVariable("QVR_X_LONGER", "keep"), 1);
        ASSERT_EQ(Platform_SetEnvironmentVariable("QVR_X", "one"), 1);
        ASSERT_EQ(setenv("QVR_LIBRARY_ONLY", "library", 1), 0);
        EXPECT_EQ(seen(), "one keep unset\n") << route.Name;
        ASSERT_EQ(Platform_SetEnvironmentVariable("QVR_X", "two"), 1);
        EXPECT_EQ(seen(), "two keep unset\n") << route.Name;
        ASSERT_EQ(Platform_UnsetEnvironmentVariable("QVR_X"), 1);
        EXPECT_EQ(seen(), "unset keep unset\n") << route.Name;
        ASSERT_EQ(Platform_UnsetEnvironmentVariable("QVR_X_LONGER"), 1);
        EXPECT_EQ(seen(), "unset unset unset\n") << route.Name;
    }
}

// "uid gid groups HOME USER LOGNAME" of a user, as the identity script prints them.
std::string ExpectedIdentity(uid_t uid) {
    struct passwd* entry = getpwuid(uid);
    gid_t groups[256];
    int count = 256;
    getgrouplist(entry->pw_name, entry->pw_gid, groups, &count);
    std::string list;
    for (int i = 0; i < count; i++)
        if (std::find(groups, groups + i, groups[i]) == groups + i)
            list += (list.empty() ? "" : " ") + std::to_string(groups[i]);
    return std::to_string(uid) + " " + std::to_string(entry->pw_gid) + " " + list + " " + entry->pw_dir +
           " " + entry->pw_name + " " + entry->pw_name + "\n";
}

TEST(PlatformExecute, AsRootRunsAsTheUserWhoElevated) {
    if (geteuid() != 0 || !HaveNobody()) GTEST_SKIP() << "needs root and the user nobody";
    SharedDir dir;
    const std::string out = dir.out("identity");
    const std::string script =
        "-c \"echo $(id -u) $(id -g) $(id -G | tr ' ' '\\n' | awk '!seen[$0]++' | tr '\\n' ' ')$HOME "
        "$USER $LOGNAME > $0\" " +
        out;
    const struct {
        const char* Pkexec;
        const char* Sudo;
        uint32_t Flags;
        uid_t Expected;
    } cases[] = {{"65534", nullptr, 0, kOtherUser},
                 {nullptr, "65534", 0, kOtherUser},
                 {"", "65534", PLATFORM_EXECUTE_HIDE, kOtherUser},
                 {"65534", "0", 0, kOtherUser},
                 // Root elevated root: nothing to give up.
                 {"0", "65534", 0, 0},
                 {nullptr, nullptr, 0, 0},
                 // An elevated launch by root, and a plain launch, run as root.
                 {"65534", nullptr, PLATFORM_EXECUTE_ELEVATED, 0},
                 {"65534", nullptr, PLATFORM_EXECUTE_NORMAL, 0}};
    const char* saved = privileged_task_internal::BrokerPath;
    const std::string broker = WriteBroker(dir, "bin");
    privileged_task_internal::BrokerPath = broker.c_str();
    for (const auto& c : cases) {
        const std::string label = std::string(c.Pkexec ? c.Pkexec : "-") + "/" + (c.Sudo ? c.Sudo : "-");
        ScopedEnv env({{"PKEXEC_UID", c.Pkexec}, {"SUDO_UID", c.Sudo}});
        unlink(out.c_str());
        const Ran r = Execute("/bin/sh", script, "", c.Flags);
        EXPECT_TRUE(r.result == 1 && r.ended && r.code == 0) << label;
        // Root keeps this process's own groups and environment: its id is what counts.
        if (c.Expected == 0)
            EXPECT_EQ(ReadFile(out).substr(0, 2), "0 ") << label;
        else
            EXPECT_EQ(ReadFile(out), ExpectedIdentity(c.Expected)) << label;
    }
    privileged_task_internal::BrokerPath = saved;
    // Root never asks the broker.
    EXPECT_FALSE(FileExists(dir.out("broker")));
}

TEST(PlatformExecute, AsRootFailuresOfTheUserLaunch) {
    if (geteuid() != 0 || !HaveNobody()) GTEST_SKIP() << "needs root and the user nobody";
    SharedDir dir;
    // A program nobody may not run: its directory is closed to others.
    mkdir(dir.file("closed").c_str(), 0700);
    WriteScript(dir.file("closed/tool"), "exit 0\n");
    uint32_t unknown = 4000000;
    while (getpwuid(unknown)) unknown++;
    const std::string failed = "ERROR - Platform_ExecuteDowngrade failed to execute (";
    const auto notAnId = [&](const std::string& uid) {
        return "DEBUG - Console user PKEXEC_UID=" + uid + " is not a user id\n" + failed +
               "/bin/true) [LE: 22]\n";
    };
    const struct {
        std::string Uid, Path, Log;
    } cases[] = {{std::to_string(unknown), "/bin/true",
                  "DEBUG - Console user " + std::to_string(unknown) + " is unknown\n" + failed +
                      "/bin/true) [LE: 2]\n"},
                 {"12abc", "/bin/true", notAnId("12abc")},
                 {"-5", "/bin/true", notAnId("-5")},
                 {"4294967295", "/bin/true", notAnId("4294967295")},
                 {"99999999999999999999", "/bin/true", notAnId("99999999999999999999")},
                 {"65534", "/nonexistent-qvr/tool",
                  "DEBUG - Platform_ExecuteDowngrade failed to locate (/nonexistent-qvr/tool)\n"},
                 {"65534", dir.path(), failed + dir.path() + ") [LE: " + std::to_string(EACCES) + "]\n"},
                 {"65534", dir.file("closed/tool"),
                  failed + dir.file("closed/tool") + ") [LE: " + std::to_string(EACCES) + "]\n"}};
    for (const auto& c : cases) {
        ScopedEnv env({{"PKEXEC_UID", c.Uid.c_str()}, {"SUDO_UID", nullptr}});
        TakeLog();
        EXPECT_EQ(Execute(c.Path, "a", "", 0).result, 0) << c.Uid << " " << c.Path;
        EXPECT_EQ(TakeLog(), c.Log);
        // The failed child was collected at once.
        EXPECT_EQ(ChildrenOfThisProcess(), std::vector<int32_t>{}) << c.Path;
    }
}

TEST(PlatformExecute, ElevatedLaunchGoesThroughTheBroker) {
    // The broker must be root's, as the stand-ins are only when root writes them.
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    SharedDir dir;
    const Hostile hostile = HostileArguments(dir);
    const std::string recorder = WriteRecorder(dir, 7), broker = WriteBroker(dir, "bin");
    const std::string dismissing = WriteBroker(dir, "bin-dismiss", 126);
    // Run as a plain user, where the elevation flag asks the broker; each step reports a line.
    const auto report = TextFromChild(BecomeOtherUser, [&] {
        std::string text;
        const auto launch = [&](const char* path, const char* line, uint32_t flags) {
            PlatformProcess* handle = reinterpret_cast<PlatformProcess*>(1);
            int32_t code = -1;
            const int64_t result =
                Platform_Execute(path, line, "/", flags, nullptr, nullptr, nullptr, &handle);
            text += std::to_string(result) + (handle ? " handle" : " none");
            if (handle) {
                const bool ended = WaitExit(handle, &code);
                const bool id =
                    ReadFile(dir.out("pid")) == std::to_string(Platform_ProcessGetId(handle)) + "\n";
                text += std::string(handle->Task ? " task" : " plain") + (ended ? " ended " : " running ") +
                        std::to_string(code) + (id ? " id " : " ") +
                        std::to_string(Platform_ProcessIsRunning(handle));
                text += std::to_string(Platform_ProcessDelete(&handle));
            }
            text += "|" + TakeLog();
        };
        privileged_task_internal::BrokerPath = broker.c_str();
        TakeLog();
        launch(recorder.c_str(), hostile.Line.c_str(), PLATFORM_EXECUTE_ELEVATED);
        // The program comes first: it is what the authorisation names.
        Args expected = {recorder};
        expected.insert(expected.end(), hostile.Expected.begin(), hostile.Expected.end());
        text += std::string(ReadNulList(dir.out("broker")) == expected ? "broker arguments exact"
                                                                       : "broker arguments differ") +
                (ReadNulList(dir.out("arguments")) == hostile.Expected ? ", program arguments exact\n"
                                                                       : ", program arguments differ\n");
        // A plain user's launch without elevation is a plain one.
        unlink(dir.out("broker").c_str());
        launch(recorder.c_str(), "x", 0);
        text += FileExists(dir.out("broker")) ? "broker asked\n" : "broker not asked\n";
        // A location left unexpanded is never handed to the broker to run as root.
        launch("{userAppData}Q/tool", "", PLATFORM_EXECUTE_ELEVATED);
        text += FileExists(dir.out("broker")) ? "broker asked\n" : "broker not asked\n";
        // Refusals and impossible launches make no handle.
        privileged_task_internal::BrokerPath = dismissing.c_str();
        launch("/bin/true", "", PLATFORM_EXECUTE_ELEVATED);
        unlink(dir.out("broker").c_str());
        launch("/nonexistent-qvr/tool", "", PLATFORM_EXECUTE_ELEVATED);
        text += FileExists(dir.out("broker")) ? "broker asked" : "broker not asked";
        return text + " children " + std::to_string(ChildrenOfThisProcess().size());
    });
    const std::string ignored = "DEBUG - Working path is not respected for this platform\n";
    const std::string failed = ignored + "ERROR - Platform_ExecuteElevated failed to execute (";
    // One line a launch: its answer, its handle, and the log it left.
    EXPECT_EQ(report, "1 handle task ended 7 id 01|" + ignored +
                          "broker arguments exact, program arguments exact\n" +
                          "1 handle plain ended 7 id 01|" + ignored + "broker not asked\n" + "0 none|" + ignored +
                          "ERROR - Platform_ExecuteElevated failed to execute ({userAppData}Q/tool) [LE: 22]\n" +
                          "broker not asked\n" + "0 none|" +
                          failed + "/bin/true) [LE: -60006]\n" + "0 none|" + failed +
                          "/nonexistent-qvr/tool) [LE: -60031]\nbroker not asked children 0");
    EXPECT_TRUE(Harmless(dir));
}

TEST(PlatformProcess, FoundByIdAndAskedToEndWhateverTheLauncherBlocked) {
    // Launched from a thread that blocks the signals that ask programs to end.
    PlatformProcess* launched = nullptr;
    std::thread([&] {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGTERM);
        sigaddset(&blocked, SIGINT);
        pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
        Platform_ExecuteNormal("/bin/sleep", "60", "", 0, &launched);
    }).join();
    ASSERT_NE(launched, nullptr);
    const int32_t pid = Platform_ProcessGetId(launched);
    char expected[PATH_MAX], path[PLATFORM_PROCESS_PATH_SIZE] = "";
    ASSERT_NE(realpath("/bin/sleep", expected), nullptr);
    ASSERT_TRUE(Eventually([&] {
        return Platform_ProcessGetPathById((uint32_t)pid, path, sizeof(path)) && strcmp(path, expected) == 0;
    }));
    const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    EXPECT_NE(status.find("\nSigBlk:\t0000000000000000\n"), std::string::npos) << status;
    PlatformProcess* found = reinterpret_cast<PlatformProcess*>(1);
    ASSERT_EQ(Platform_ProcessGetById((uint32_t)pid, &found), 1);
    EXPECT_EQ(Platform_ProcessGetId(found), pid);
    EXPECT_EQ(Platform_ProcessIsRunning(found), 1);
    // A handle found by id never collects the launch's status, and deleting it stops nothing.
    int32_t code = 5;
    EXPECT_EQ(Platform_ProcessGetExitCode(found, &code), 0);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(Platform_ProcessDelete(&found), 1);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(Platform_ProcessIsRunning(launched), 1);

    EXPECT_EQ(Platform_ProcessTerminateById((uint32_t)pid), 1);
    ASSERT_TRUE(WaitExit(launched, &code));
    EXPECT_EQ(code, -SIGTERM);
    EXPECT_EQ(Platform_ProcessDelete(&launched), 1);

    // Gone, no process, no process id at all, or an ended child not yet collected.
    const pid_t zombie = fork();
    if (zombie == 0) _exit(0);
    ASSERT_TRUE(Eventually([&] { return ProcState(zombie) == 'Z'; }));
    for (uint32_t candidate : {(uint32_t)pid, 0u, 0x80000000u, UINT32_MAX, (uint32_t)zombie}) {
        found = reinterpret_cast<PlatformProcess*>(1);
        EXPECT_EQ(Platform_ProcessGetById(candidate, &found), 0) << candidate;
        EXPECT_EQ(found, nullptr);
        EXPECT_TRUE(candidate == (uint32_t)zombie || !Platform_ProcessTerminateById(candidate)) << candidate;
    }
    waitpid(zombie, nullptr, 0);
    ASSERT_EQ(Platform_ProcessGetById((uint32_t)getpid(), &found), 1);
    EXPECT_EQ(Platform_ProcessIsRunning(found), 1);
    EXPECT_EQ(Platform_ProcessDelete(&found), 1);
}

// A program starts with every signal at its default disposition and none blocked, on every route,
// whatever this process ignores, handles or blocks: in a launched script a pipeline whose reader
// leaves early ends quietly.
TEST(PlatformExecute, ProgramsStartWithDefaultSignalsAndNoneBlocked) {
    struct sigaction ignore = {}, handle = {}, oldPipe = {}, oldUsr1 = {}, oldUsr2 = {};
    ignore.sa_handler = SIG_IGN;
    handle.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &oldPipe), 0);
    ASSERT_EQ(sigaction(SIGUSR1, &ignore, &oldUsr1), 0);
    ASSERT_EQ(sigaction(SIGUSR2, &handle, &oldUsr2), 0);
    for (const Route& route : kRoutes) {
        if (route.ConsoleUser && (geteuid() != 0 || !HaveNobody()))
            continue; // needs root and the user nobody
        ScopedEnv env({{"PKEXEC_UID", route.ConsoleUser}, {"SUDO_UID", nullptr}});
        SharedDir dir;
        const std::string out = dir.out("signals");
        Ran r;
        // Launched from a thread that blocks what asks programs to end, and more.
        std::thread([&] {
            sigset_t blocked;
            sigfillset(&blocked);
            pthread_sigmask(SIG_SETMASK, &blocked, nullptr);
            r = Execute(
                "/bin/sh",
                "-c \"grep -E '^Sig(Blk|Ign)' /proc/self/status > $0; yes | head -1 > $0.yes 2>&1\" " + out,
                "", route.Flags);
        }).join();
        EXPECT_TRUE(r.result == 1 && r.ended && r.code == 0) << route.Name;
        EXPECT_EQ(ReadFile(out), "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n") << route.Name;
        EXPECT_EQ(ReadFile(out + ".yes"), "y\n") << route.Name;
    }
    sigaction(SIGPIPE, &oldPipe, nullptr);
    sigaction(SIGUSR1, &oldUsr1, nullptr);
    sigaction(SIGUSR2, &oldUsr2, nullptr);
}

// Launches from several threads at once, each child on a stack of its own until its exec, while
// the launching threads' memory is shared with their children.
TEST(PlatformExecute, LaunchesFromManyThreadsAtOnce) {
    constexpr int kThreads = 6, kEach = 15;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&good, t] {
            for (int i = 0; i < kEach; i++) {
                const std::string line = "-c \"exit " + std::to_string((t * kEach + i) % 100) + "\"";
                const Ran r = Normal("/bin/sh", line);
                if (r.result == 1 && r.ended && r.code == (t * kEach + i) % 100) good++;
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(good.load(), kThreads * kEach);
}

TEST(PlatformProcess, DeletedHandlesLeaveNoZombies) {
    ASSERT_EQ(ChildrenOfThisProcess(), std::vector<int32_t>{});
    TempDir dir;
    // Ended before the delete: collected by it.
    for (const char* path : {"/bin/true", "/bin/false", "/nonexistent-qvr/tool"}) {
        PlatformProcess* handle = nullptr;
        CaptureOutput(STDERR_FILENO, dir.file("stderr"),
                      [&] { Platform_ExecuteNormal(path, "", "", 0, &handle); });
        ASSERT_NE(handle, nullptr);
        const int32_t pid = Platform_ProcessGetId(handle);
        ASSERT_TRUE(Eventually([&] { return ProcState(pid) == 'Z'; })) << path;
        EXPECT_EQ(Platform_ProcessDelete(&handle), 1);
        // A child whose other threads are still ending shows as a zombie before it can be
        // collected; the delete then leaves it to a waiting thread.
        EXPECT_TRUE(Eventually([&] { return !Listed(pid); })) << path;
    }
    // Still running at the delete: collected once it ends.
    std::vector<int32_t> running;
    for (int i = 0; i < 3; i++) {
        PlatformProcess* handle = nullptr;
        ASSERT_EQ(Platform_Execute("/bin/sleep", "60", "", PLATFORM_EXECUTE_NORMAL, nullptr, nullptr, nullptr,
                                   &handle),
                  1);
        running.push_back(Platform_ProcessGetId(handle));
        EXPECT_EQ(Platform_ProcessDelete(&handle), 1);
        EXPECT_TRUE(Listed(running.back()));
    }
    for (int32_t pid : running) kill(pid, SIGKILL);
    EXPECT_TRUE(Eventually([] { return ChildrenOfThisProcess().empty(); }));
}

TEST(PlatformShellOpen, AsRootOpensForTheUserWhoElevated) {
    if (geteuid() != 0 || !HaveNobody()) GTEST_SKIP() << "needs root and the user nobody";
    // No such user: nothing is started.
    uint32_t unknown = 4000000;
    while (getpwuid(unknown)) unknown++;
    ScopedEnv env({{"PKEXEC_UID", std::to_string(unknown).c_str()}, {"SUDO_UID", nullptr}});
    TakeLog();
    EXPECT_EQ(Platform_ShellOpen("/tmp"), 0);
    EXPECT_EQ(
        TakeLog(),
        "DEBUG - Console user " + std::to_string(unknown) +
            " is unknown\nERROR - Platform_ExecuteDowngrade failed to execute (/usr/bin/xdg-open) [LE: 2]\n");
    env.Set("PKEXEC_UID", "65534");
    if (access("/usr/bin/xdg-open", X_OK) == 0) {
        EXPECT_EQ(Platform_ShellOpen("/tmp"), 1);
        return;
    }
    EXPECT_EQ(Platform_ShellOpen("/tmp"), 0);
    EXPECT_EQ(TakeLog(), "ERROR - Platform_ExecuteDowngrade failed to execute (/usr/bin/xdg-open) [LE: 2]\n");
}

} // namespace

namespace {

std::atomic<int> g_endsSeen{0};
std::atomic<uint32_t> g_lastEndToken{0};

void RecordEnd(uint32_t token) {
    g_lastEndToken.store(token);
    g_endsSeen.fetch_add(1);
}

} // namespace

TEST(PlatformProcess, WatchedEndIsToldOnceWithoutReaping) {
    g_endsSeen.store(0);
    PlatformProcess* handle = nullptr;
    ASSERT_EQ(Platform_ExecuteNormal("/bin/sleep", "60", "", 0, &handle), 1);
    const int32_t pid = Platform_ProcessGetId(handle);
    if (!Platform_ProcessWatchEnd(handle, RecordEnd, 7)) {
        kill(pid, SIGKILL);
        Platform_ProcessDelete(&handle);
        GTEST_SKIP() << "no pidfd here";
    }
    // A second watch on the same child is refused: one end, one call.
    EXPECT_EQ(Platform_ProcessWatchEnd(handle, RecordEnd, 8), 0);
    EXPECT_EQ(g_endsSeen.load(), 0);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(Eventually([] { return g_endsSeen.load() > 0; }));
    EXPECT_EQ(g_lastEndToken.load(), 7u);
    // The status is still the handle's to collect.
    EXPECT_EQ(ProcState(pid), 'Z');
    int32_t code = 0;
    ASSERT_TRUE(WaitExit(handle, &code));
    EXPECT_EQ(code, -SIGKILL);
    EXPECT_EQ(Platform_ProcessDelete(&handle), 1);
    EXPECT_EQ(g_endsSeen.load(), 1);

    // Deleted before the end: the watch goes with the handle and never calls.
    ASSERT_EQ(Platform_ExecuteNormal("/bin/sleep", "60", "", 0, &handle), 1);
    const int32_t second = Platform_ProcessGetId(handle);
    ASSERT_EQ(Platform_ProcessWatchEnd(handle, RecordEnd, 9), 1);
    EXPECT_EQ(Platform_ProcessDelete(&handle), 1);
    ASSERT_EQ(kill(second, SIGKILL), 0);
    EXPECT_TRUE(Eventually([&] { return !Listed(second); }));
    EXPECT_EQ(g_endsSeen.load(), 1);
    EXPECT_EQ(g_lastEndToken.load(), 7u);

    // A handle found by id is no child of ours: its pid could be recycled under a watch.
    PlatformProcess* found = nullptr;
    ASSERT_EQ(Platform_ProcessGetById((uint32_t)getpid(), &found), 1);
    EXPECT_EQ(Platform_ProcessWatchEnd(found, RecordEnd, 10), 0);
    Platform_ProcessDelete(&found);
}
