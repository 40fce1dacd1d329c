#include "core/linux/platform_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <initializer_list>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <optional>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/linux/privileged_task.h"
#include "core/runtime/debug.h"
#include "tests/core/linux/process_test_support.h"
#include "tests/support/abort_hook.h"
#include "tests/support/temp_dir.h"

namespace {

std::vector<std::string> Split(const std::string& text) {
    int32_t count = -1;
    char** array = nullptr;
    EXPECT_EQ(CommandLineToMutableArray(text.c_str(), &count, &array), 1);
    std::vector<std::string> out;
    for (int32_t i = 0; i < count; i++) out.emplace_back(array[i]);
    if (array) {
        EXPECT_EQ(array[count], nullptr);
    }
    EXPECT_EQ(CommandLineFreeMutableArray(&count, &array), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(array, nullptr);
    return out;
}

using Args = std::vector<std::string>;

TEST(CommandLineSplit, Rules) {
    const struct {
        const char* text;
        Args expected;
    } cases[] = {
        {"a \"b c\" d", {"a", "b c", "d"}},
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
    };
    for (const auto& test : cases) EXPECT_EQ(Split(test.text), test.expected) << test.text;
}

TEST(CommandLineSplit, StopsAtAnArgumentOf8192Bytes) {
    EXPECT_EQ(Split(std::string(8191, 'x') + " y"), (Args{std::string(8191, 'x'), "y"}));
    EXPECT_EQ(Split(std::string(8192, 'x') + " y"), (Args{std::string(8192, 'x')}));
    EXPECT_EQ(Split("a " + std::string(9000, 'x') + " y"), (Args{"a", std::string(8192, 'x')}));
    EXPECT_EQ(Split("\"" + std::string(8192, 'q') + "\" y"), (Args{std::string(8192, 'q')}));
}

// Polls until the child has been reaped; false if it never ends (a broken test, not a slow one).
bool WaitExit(PlatformProcess* handle, int32_t* code) {
    for (int i = 0; i < 60000; i++) {
        if (Platform_ProcessGetExitCode(handle, code)) return true;
        usleep(1000);
    }
    return false;
}

struct Launched {
    int32_t code = INT32_MIN;
    bool ended = false;
    int32_t pid = 0;
};

Launched Launch(const char* path, const char* commandLine, const char* directory = "") {
    Launched result;
    PlatformProcess* handle = reinterpret_cast<PlatformProcess*>(1);
    EXPECT_EQ(Platform_ExecuteNormal(path, commandLine, directory, 0, &handle), 1) << path;
    if (!handle) return result;
    result.pid = Platform_ProcessGetId(handle);
    result.ended = WaitExit(handle, &result.code);
    EXPECT_EQ(Platform_ProcessDelete(&handle), 1);
    EXPECT_EQ(handle, nullptr);
    return result;
}

TEST(PlatformExecute, ExitCodesOfRealChildren) {
    const struct {
        const char* path;
        const char* commandLine;
        int32_t code;
    } cases[] = {
        {"/bin/true", "", 0},
        {"/bin/false", "", 1},
        {"/bin/sh", "-c \"exit 3\"", 3},
        {"/bin/sh", "-c \"kill -9 $$\"", -9},
        {"/bin/sh", "-c \"kill -15 $$\"", -15},
        // argv[0] is the path; the split command line follows it.
        {"/bin/sh", "-c \"case $1 in 'b c') exit $((40 + $#));; esac; exit 1\" sh \"b c\" d", 42},
        {"/bin/sh", "-c \"[ $0 = /bin/sh ] && exit 5\"", 5},
    };
    for (const auto& test : cases) {
        Launched result = Launch(test.path, test.commandLine);
        EXPECT_GT(result.pid, 0);
        ASSERT_TRUE(result.ended) << test.commandLine;
        EXPECT_EQ(result.code, test.code) << test.commandLine;
    }
}

TEST(PlatformExecute, WorkingDirectoryIsHonouredWhenItExists) {
    TempDir dir;
    std::string script = "-c \"pwd > '" + dir.file("out") + "'\"";
    Launched result = Launch("/bin/sh", script.c_str(), dir.path().c_str());
    ASSERT_TRUE(result.ended);
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
    EXPECT_EQ(ReadFile(dir.file("out")), std::string(real) + "\n");

    // An invalid directory leaves the child where the parent is.
    result = Launch("/bin/sh", script.c_str(), "/nonexistent-qvr-directory");
    ASSERT_TRUE(result.ended);
    EXPECT_EQ(result.code, 0);
    char here[PATH_MAX];
    ASSERT_NE(getcwd(here, sizeof(here)), nullptr);
    EXPECT_EQ(ReadFile(dir.file("out")), std::string(here) + "\n");
}

// Runs fn with standard error going to a file and returns what was written there.
template <typename Fn> std::string CaptureStderr(const TempDir& dir, Fn&& fn) {
    std::string path = dir.file("stderr");
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
    fn();
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    return ReadFile(path);
}

TEST(PlatformExecute, MissingExecutableEndsWithErrnoAndTheFailureLine) {
    TempDir dir;
    Launched result;
    std::string text = CaptureStderr(dir, [&] { result = Launch("/nonexistent-qvr/tool", "a b"); });
    ASSERT_TRUE(result.ended);
    EXPECT_EQ(result.code, ENOENT);
    EXPECT_EQ(text, "Platform_ExecuteNormal failed to execute (/nonexistent-qvr/tool) [LE: 2]\n");

    // A directory is no executable: EACCES.
    text = CaptureStderr(dir, [&] { result = Launch(dir.path().c_str(), ""); });
    ASSERT_TRUE(result.ended);
    EXPECT_EQ(result.code, EACCES);
    EXPECT_EQ(text, "Platform_ExecuteNormal failed to execute (" + dir.path() + ") [LE: 13]\n");
}

// Runs fn with standard output going to a file and returns what was written there; the saved
// output is close-on-exec, so that it is no descriptor a launched program could be handed.
template <typename Fn> std::string CaptureStdout(const TempDir& dir, Fn&& fn) {
    std::string path = dir.file("stdout");
    fflush(stdout);
    int saved = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return ReadFile(path);
}

// A shell that lists its own descriptors on its standard output (the ':' keeps it from becoming
// the ls, whose listing would show the directory it reads).
const char kListDescriptors[] = "-c \"ls /proc/$$/fd; :\"";

// Descriptors opened without close-on-exec, as a library or an inheriting parent leaves them.
struct LeakedDescriptors {
    int Low = open("/dev/null", O_RDONLY);
    int High = fcntl(Low, F_DUPFD, 200);
    ~LeakedDescriptors() {
        close(Low);
        close(High);
    }
};

TEST(PlatformExecute, ProgramsGetOnlyTheStandardDescriptors) {
    TempDir dir;
    LeakedDescriptors leaked;
    ASSERT_GE(leaked.Low, 3);
    ASSERT_EQ(leaked.High, 200);
    const struct {
        const char* label;
        std::function<int64_t(PlatformProcess**)> launch;
    } cases[] = {
        {"plain",
         [](PlatformProcess** h) { return Platform_ExecuteNormal("/bin/sh", kListDescriptors, "", 0, h); }},
        {"plain in a directory",
         [](PlatformProcess** h) {
             return Platform_Execute("/bin/sh", kListDescriptors, "/", PLATFORM_EXECUTE_NORMAL, nullptr,
                                     nullptr, nullptr, h);
         }},
    };
    for (const auto& test : cases) {
        int32_t code = -1;
        const std::string listed = CaptureStdout(dir, [&] {
            PlatformProcess* handle = nullptr;
            ASSERT_EQ(test.launch(&handle), 1) << test.label;
            EXPECT_TRUE(WaitExit(handle, &code)) << test.label;
            Platform_ProcessDelete(&handle);
        });
        EXPECT_EQ(code, 0) << test.label;
        EXPECT_EQ(listed, "0\n1\n2\n") << test.label;
    }
}

TEST(PlatformExecute, WithoutCloseRangeDescriptorsAreClosedOneByOne) {
    // A kernel without close_range, made by a filter that answers ENOSYS to it, in a child.
    TempDir dir;
    const std::string out = dir.file("listed");
    pid_t child = fork();
    if (child == 0) {
        struct rlimit limit;
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 256;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(2);
        // Just below the limit, the highest number the fallback has to reach.
        const int leaked = open("/dev/null", O_RDONLY);
        if (leaked < 0 || fcntl(leaked, F_DUPFD, 255) != 255) _exit(3);
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || dup2(fd, STDOUT_FILENO) != STDOUT_FILENO) _exit(3);
        struct sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        struct sock_fprog program = {(unsigned short)(sizeof(filter) / sizeof(filter[0])), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            _exit(2);
        if (syscall(SYS_close_range, 1000u, 1001u, 0u) == 0 || errno != ENOSYS) _exit(4);
        PlatformProcess* handle = nullptr;
        if (Platform_ExecuteNormal("/bin/sh", kListDescriptors, "", 0, &handle) != 1) _exit(5);
        int32_t code = -1;
        if (!WaitExit(handle, &code) || code != 0) _exit(6);
        Platform_ProcessDelete(&handle);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no seccomp filter can be installed here";
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(out), "0\n1\n2\n");
}

std::string WorkingDirectoryNow() {
    char here[PATH_MAX];
    return getcwd(here, sizeof(here)) ? std::string(here) : std::string();
}

TEST(PlatformExecute, RelativeProgramIsTheCallersNotTheWorkingDirectorys) {
    TempDir caller, work;
    mkdir(caller.file("bin").c_str(), 0755);
    // The program records how it was named, and exits with a code of its own.
    WriteScript(caller.file("tool"), "echo \"$0\" > " + caller.file("named") + "\nexit 21\n");
    WriteScript(caller.file("bin/tool"), "exit 22\n");
    struct Back {
        std::string here = WorkingDirectoryNow();
        ~Back() { EXPECT_EQ(chdir(here.c_str()), 0); }
    } back;
    ASSERT_EQ(chdir(caller.path().c_str()), 0);
    const std::string physical = WorkingDirectoryNow();
    const struct {
        const char* path;
        bool otherInWork; // the working directory holds a program of the same name
        int32_t code;
    } cases[] = {
        {"tool", false, 21},     {"tool", true, 21},     {"./tool", true, 21},
        {"bin/tool", false, 22}, {"bin/tool", true, 22},
    };
    for (const auto& test : cases) {
        mkdir(work.file("bin").c_str(), 0755);
        if (test.otherInWork) {
            WriteScript(work.file("tool"), "exit 66\n");
            WriteScript(work.file("bin/tool"), "exit 66\n");
        } else {
            unlink(work.file("tool").c_str());
            unlink(work.file("bin/tool").c_str());
        }
        Launched plain = Launch(test.path, "", work.path().c_str());
        ASSERT_TRUE(plain.ended) << test.path;
        EXPECT_EQ(plain.code, test.code) << test.path << " (plain)";
        PlatformProcess* handle = nullptr;
        ASSERT_EQ(Platform_Execute(test.path, "", work.path().c_str(), PLATFORM_EXECUTE_NORMAL, nullptr,
                                   nullptr, nullptr, &handle),
                  1);
        int32_t code = -1;
        EXPECT_TRUE(WaitExit(handle, &code));
        Platform_ProcessDelete(&handle);
        EXPECT_EQ(code, test.code) << test.path << " (execute)";
    }
    EXPECT_EQ(ReadFile(caller.file("named")), physical + "/./tool\n");
}

char g_logged[512];
int64_t CaptureLog(const char* text) {
    snprintf(g_logged + strlen(g_logged), sizeof(g_logged) - strlen(g_logged), "%s", text);
    return 1;
}

TEST(PlatformExecute, ForkFailureIsLoggedAndMakesNoHandle) {
    // A user that may own no process at all cannot fork. Run in a child, which can take such a
    // user id (when running as root) and start the log for itself.
    pid_t child = fork();
    if (child == 0) {
        Debug_Init(nullptr, nullptr, DEBUG_FLAG_EXTERNAL_PRINT);
        Debug_PrintOverride(CaptureLog);
        if (getuid() == 0 && (setgid(54331) != 0 || setuid(54331) != 0)) _exit(2);
        struct rlimit none = {0, 0};
        if (setrlimit(RLIMIT_NPROC, &none) != 0) _exit(2);
        g_logged[0] = 0;
        PlatformProcess* handle = reinterpret_cast<PlatformProcess*>(1);
        if (Platform_ExecuteNormal("/bin/true", "a", "", 0, &handle) != 0 || handle != nullptr) _exit(3);
        char expected[128];
        snprintf(expected, sizeof(expected),
                 "ERROR - Platform_ExecuteNormal failed to execute (/bin/true) [LE: %d]\n", EAGAIN);
        _exit(strcmp(g_logged, expected) == 0 ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot take a user without processes";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

char ProcState(int32_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() ? 0 : text[close + 2];
}

TEST(PlatformProcess, RunningStoppedKilledAndReaped) {
    PlatformProcess* handle = nullptr;
    ASSERT_EQ(Platform_ExecuteNormal("/bin/sleep", "60", "", 0, &handle), 1);
    const int32_t pid = Platform_ProcessGetId(handle);
    ASSERT_GT(pid, 0);

    char expected[PATH_MAX];
    ASSERT_NE(realpath("/bin/sleep", expected), nullptr);
    char path[PLATFORM_PROCESS_PATH_SIZE] = "";
    for (int i = 0; i < 60000 && std::string(path) != expected; i++) {
        Platform_ProcessGetPathById((uint32_t)pid, path, sizeof(path));
        usleep(1000);
    }
    EXPECT_STREQ(path, expected);
    EXPECT_EQ(Platform_GetParentProcessId((uint32_t)pid), (uint32_t)getpid());
    EXPECT_EQ(Platform_ProcessIsRunning(handle), 1);
    EXPECT_EQ(Platform_ProcessIsIdle(handle), 1);
    int32_t code = 77;
    EXPECT_EQ(Platform_ProcessGetExitCode(handle, &code), 0);
    EXPECT_EQ(code, 0);

    // A stopped child has no exit code yet.
    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    for (int i = 0; i < 60000 && ProcState(pid) != 'T'; i++) usleep(1000);
    ASSERT_EQ(ProcState(pid), 'T');
    EXPECT_EQ(Platform_ProcessGetExitCode(handle, &code), 0);
    EXPECT_EQ(Platform_ProcessIsRunning(handle), 1);

    EXPECT_EQ(Platform_ProcessForceTerminateById((uint32_t)pid), 1);
    // Killed but not yet reaped: a zombie is not running, yet it exists.
    for (int i = 0; i < 60000 && ProcState(pid) != 'Z'; i++) usleep(1000);
    EXPECT_EQ(Platform_ProcessIsRunning(handle), 0);
    EXPECT_EQ(Platform_ProcessIsIdle(handle), 1);
    ASSERT_TRUE(WaitExit(handle, &code));
    EXPECT_EQ(code, -SIGKILL);
    // The status is kept: a second query answers the same without another wait.
    code = 0;
    EXPECT_EQ(Platform_ProcessGetExitCode(handle, &code), 1);
    EXPECT_EQ(code, -SIGKILL);
    // Once reaped, the pid may be reused by another process: the handle's process has ended.
    EXPECT_EQ(Platform_ProcessIsRunning(handle), 0);
    EXPECT_EQ(Platform_ProcessIsIdle(handle), 0);
    EXPECT_EQ(Platform_ProcessForceTerminateById((uint32_t)pid), 0);
    EXPECT_EQ(Platform_ProcessDelete(&handle), 1);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(Platform_ProcessDelete(&handle), 1);
}

TEST(PlatformProcess, HandleWithoutProcessAndWrongHandles) {
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

    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Platform_ProcessGetId(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            PlatformProcess wrong = {};
            wrong.Header.ClassId = 0x12345678;
            Platform_ProcessIsRunning(&wrong);
        },
        "Class mismatch pointer \\(0x[0-9a-fA-F]+: expected 0x574a8ebc but was 0x12345678\\)");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            PlatformProcess* handle = nullptr;
            Platform_ExecuteNormal("/bin/true", nullptr, "", 0, &handle);
        },
        AbortRegex("Pointer is NULL\n"));
}

// Whether the child fn survives; a broken guard would make it signal its own group or everything.
bool SurvivesInChild(void (*fn)()) {
    pid_t pid = fork();
    if (pid == 0) {
        fn();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(PlatformProcess, TerminateRefusesIdsThatNameGroups) {
    // In its own process group, a kill(0) would hit only the child.
    EXPECT_TRUE(SurvivesInChild([] {
        setpgid(0, 0);
        if (Platform_ProcessForceTerminateById(0) != 0) _exit(3);
    }));
    // kill(-1) reaches every process of the caller's user: the child takes a user id that nothing
    // else runs as, or does not try at all.
    EXPECT_TRUE(SurvivesInChild([] {
        setpgid(0, 0);
        if (setgid(54329) != 0 || setuid(54329) != 0) _exit(0);
        if (Platform_ProcessForceTerminateById(UINT32_MAX) != 0) _exit(3);
        if (Platform_ProcessForceTerminateById(0x80000000u) != 0) _exit(3);
    }));
}

std::string SelfExe() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, (size_t)n) : std::string();
}

std::string SelfComm() {
    std::string text = ReadFile("/proc/self/comm");
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

TEST(PlatformProcessFind, EnumerationFindsThisProcess) {
    PlatformProcessEntry entry;
    PlatformProcessEnumeration* enumeration = nullptr;
    ASSERT_EQ(Platform_ProcessFindFirst(&entry, &enumeration), 1);
    ASSERT_NE(enumeration, nullptr);
    int32_t listed = 0;
    bool found = false;
    do {
        listed++;
        EXPECT_GT(entry.ProcessId, 0u);
        EXPECT_EQ(entry.Path[0], '/');
        EXPECT_LT(strlen(entry.ShortName), (size_t)PLATFORM_PROCESS_NAME_SIZE);
        if (entry.ProcessId != (uint32_t)getpid()) continue;
        found = true;
        EXPECT_EQ(std::string(entry.Path), SelfExe());
        EXPECT_EQ(entry.ParentProcessId, getppid());
        EXPECT_EQ(std::string(entry.ShortName), SelfComm().substr(0, PLATFORM_PROCESS_NAME_SIZE - 1));
    } while (Platform_ProcessFindNext(enumeration, &entry));
    EXPECT_TRUE(found);
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
    EXPECT_EQ(std::string(entry.Path), SelfExe());

    // A child that has ended and been reaped no longer exists.
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    for (uint32_t pid : {(uint32_t)child, 0u, UINT32_MAX}) {
        EXPECT_EQ(Platform_ProcessFindFill(&entry, pid), 0) << pid;
        EXPECT_EQ(entry.ProcessId, pid);
        EXPECT_EQ(entry.ParentProcessId, -1);
        EXPECT_EQ(entry.Path[0], 0);
        EXPECT_EQ(entry.ShortName[0], 0);
        EXPECT_EQ(Platform_GetParentProcessId(pid), 0u);
        char path[64] = "x";
        EXPECT_EQ(Platform_ProcessGetPathById(pid, path, sizeof(path)), 0);
        EXPECT_EQ(path[0], 0);
    }
    EXPECT_EQ(Platform_GetParentProcessId((uint32_t)getpid()), (uint32_t)getppid());

    // A path that does not fit is not cut into another name.
    char small[4] = "x";
    EXPECT_EQ(Platform_ProcessGetPathById((uint32_t)getpid(), small, sizeof(small)), 0);
    EXPECT_EQ(small[0], 0);
}

TEST(PlatformProcessFind, FindProcessByWildcard) {
    const std::string exe = SelfExe();
    const std::string name = exe.substr(exe.rfind('/') + 1);
    std::string upper = name;
    for (char& c : upper) c = (char)toupper((unsigned char)c);
    // Patterns over the whole path name this very binary.
    const std::string paths[] = {exe, "*/" + name,
                                 exe.substr(0, exe.size() - 8) + "*" + exe.substr(exe.size() - 4)};
    for (const std::string& pattern : paths) {
        int32_t pid = 0;
        EXPECT_EQ(Platform_FindProcess(pattern.c_str(), &pid), 1) << pattern;
        EXPECT_EQ(pid, getpid()) << pattern;
    }
    // A pattern over the file name alone, without case, may also meet a copy of this test built
    // elsewhere: it finds a process with this file name.
    for (const std::string& pattern : {upper, "*" + upper.substr(3)}) {
        int32_t pid = 0;
        EXPECT_EQ(Platform_FindProcess(pattern.c_str(), &pid), 1) << pattern;
        char path[PLATFORM_PROCESS_PATH_SIZE] = "";
        EXPECT_EQ(Platform_ProcessGetPathById((uint32_t)pid, path, sizeof(path)), 1);
        const char* found = strrchr(path, '/');
        EXPECT_STREQ(found ? found + 1 : path, name.c_str()) << pattern;
    }
    int32_t pid = 0;
    EXPECT_EQ(Platform_FindProcess("qvr-no-such-process-*-here", &pid), 0);
    EXPECT_EQ(pid, -1);
}

TEST(PlatformProcess, DebuggerPresence) {
    EXPECT_EQ(Platform_IsDebuggerPresent(), 0);
    // A child that asks to be traced by this process sees a tracer.
    pid_t child = fork();
    if (child == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(2);
        _exit(Platform_IsDebuggerPresent() == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "ptrace is not permitted here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PlatformSocketPID, OwnerOfAListeningSocket) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t length = sizeof(address);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const uint16_t port = ntohs(address.sin_port);
    const uint32_t loopback = address.sin_addr.s_addr;

    uint32_t pid = 7;
    EXPECT_EQ(Platform_GetSocketPID(&loopback, port, &pid), 1);
    EXPECT_EQ(pid, (uint32_t)getpid());

    const uint32_t other = htonl(0x7F000002);
    EXPECT_EQ(Platform_GetSocketPID(&other, port, &pid), 0);
    EXPECT_EQ(pid, 0u);
    close(listener);
    EXPECT_EQ(Platform_GetSocketPID(&loopback, port, &pid), 0);
    EXPECT_EQ(pid, 0u);
}

TEST(PlatformShellOpen, LeavesNoChildBehind) {
    TempDir dir;
    int64_t result = 0;
    CaptureStderr(dir, [&] { result = Platform_ShellOpen("~/qvr-no-such-file"); });
    EXPECT_EQ(result, 1);
    // The opener runs as a grandchild adopted by init: nothing is left for this process to reap.
    int status = 0;
    errno = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    if (access("/usr/bin/xdg-open", X_OK) != 0) {
        // Without the opener the grandchild reports its failed exec on the inherited stderr.
        for (int i = 0; i < 60000 && ReadFile(dir.file("stderr")).empty(); i++) usleep(1000);
        EXPECT_EQ(ReadFile(dir.file("stderr")),
                  "Platform_ExecuteNormal failed to execute (/usr/bin/xdg-open) [LE: 2]\n");
    }
}

// ---- Platform_Execute: the routes, arguments, users, handles and reaping ---------------------

constexpr uid_t kNobody = 65534;

// Puts environment variables back as they were at the end of a scope.
class EnvironmentGuard {
  public:
    explicit EnvironmentGuard(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            const char* value = getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
    }
    ~EnvironmentGuard() {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The log lines written while it lives.
class LogCapture {
  public:
    LogCapture() {
        Debug_Init(nullptr, nullptr, DEBUG_FLAG_EXTERNAL_PRINT);
        Debug_PrintOverride(Capture);
        Text().clear();
    }
    ~LogCapture() {
        Debug_PrintOverride(nullptr);
        Debug_Remove();
    }
    static std::string Take() {
        std::string text = Text();
        Text().clear();
        return text;
    }

  private:
    static std::string& Text() {
        static std::string text;
        return text;
    }
    static int64_t Capture(const char* line) {
        Text() += line;
        return 1;
    }
};

std::string Show(const std::vector<std::string>& list) {
    std::string out = "[";
    for (const std::string& item : list) out += "<" + item + ">";
    return out + "]";
}
std::string Show(const std::string& text) {
    return "<" + text + ">";
}
std::string Show(const std::vector<int32_t>& list) {
    std::string out = "[";
    for (int32_t item : list) out += " " + std::to_string(item);
    return out + " ]";
}
template <typename T> std::string Show(const T& value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

// Checks made where gtest cannot report (in a forked child): the failures as text.
struct Checks {
    std::string failures;
    template <typename A, typename B>
    void Equal(const A& actual, const B& expected, const std::string& what) {
        if (!(actual == expected))
            failures += what + ": " + Show(actual) + " instead of " + Show(expected) + "\n";
    }
};

// Runs fn in a child without root rights (as nobody when the tests run as root); what it reports
// is empty when all its checks held.
std::string RunUnprivileged(const std::function<std::string()>& fn) {
    int channel[2];
    if (pipe(channel) != 0) return "no pipe";
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        std::string report;
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
            report = "cannot give up root";
        else
            report = fn();
        if (!report.empty()) (void)!write(channel[1], report.data(), report.size());
        _exit(0);
    }
    close(channel[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = read(channel[0], buffer, sizeof(buffer))) > 0;) report.append(buffer, (size_t)n);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) report += "the child did not end normally\n";
    return report;
}

struct Executed {
    int64_t result = 0;
    bool ended = false;
    int32_t code = INT32_MIN;
    int32_t pid = 0;
};

Executed Execute(const std::string& path, const std::string& arguments, const std::string& directory,
                 uint32_t flags) {
    Executed out;
    PlatformProcess* handle = reinterpret_cast<PlatformProcess*>(1);
    out.result = Platform_Execute(path.c_str(), arguments.c_str(), directory.c_str(), flags, nullptr, nullptr,
                                  nullptr, &handle);
    if (!handle) return out;
    out.pid = Platform_ProcessGetId(handle);
    out.ended = WaitExit(handle, &out.code);
    Platform_ProcessDelete(&handle);
    return out;
}

// A directory that other users can read, with a subdirectory they can write to.
struct SharedDir {
    TempDir dir;
    SharedDir() {
        chmod(dir.path().c_str(), 0755);
        mkdir(out().c_str(), 0777);
        chmod(out().c_str(), 0777);
    }
    const std::string& path() const { return dir.path(); }
    std::string file(const std::string& name) const { return dir.file(name); }
    std::string out() const { return dir.file("out"); }
    std::string out(const std::string& name) const { return dir.file("out/" + name); }
};

// Hostile texts that must reach the program unchanged, one argument each.
struct Hostile {
    std::string text;
    std::vector<std::string> expected;
};

Hostile HostileArguments(const SharedDir& dir) {
    const std::string victim = dir.file("victim"), pwned = dir.out("pwned");
    return {"plain \"two words\" \"\" \"; rm -f " + victim + "\" \"$(touch " + pwned + ")\" \"`touch " +
                pwned + "`\" 'single' x\\\"y * \"a|b&c>d\" $HOME \"\"",
            {"plain", "two words", "", "; rm -f " + victim, "$(touch " + pwned + ")", "`touch " + pwned + "`",
             "'single'", "x\\\"y", "*", "a|b&c>d", "$HOME", ""}};
}

// A program that records its arguments and its id, then exits with `code`.
std::string WriteRecorder(const SharedDir& dir, int code = 0) {
    const std::string path = dir.file("recorder");
    WriteScript(path, "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > " + dir.out("arguments") +
                          "\necho $$ > " + dir.out("pid") + "\nexit " + std::to_string(code) + "\n");
    return path;
}

// The broker the launches use while it lives.
class BrokerGuard {
  public:
    explicit BrokerGuard(const std::string& path)
        : path_(path), saved_(privileged_task_internal::BrokerPath) {
        privileged_task_internal::BrokerPath = path_.c_str();
    }
    ~BrokerGuard() { privileged_task_internal::BrokerPath = saved_; }
    BrokerGuard(const BrokerGuard&) = delete;
    BrokerGuard& operator=(const BrokerGuard&) = delete;

  private:
    std::string path_;
    const char* saved_;
};

// A stand-in for pkexec that records its arguments and runs the rest, or leaves with `exitCode`.
// Answers its directory. Like the real one it must be root's, which it is when root writes it.
std::string WriteBroker(const SharedDir& dir, const std::string& name, int exitCode = -1) {
    const std::string bin = dir.file(name);
    mkdir(bin.c_str(), 0755);
    chmod(bin.c_str(), 0755);
    WriteScript(
        bin + "/pkexec",
        "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > " + dir.out("broker") + "\n" +
            (exitCode < 0 ? std::string("exec \"$@\"\n") : "exit " + std::to_string(exitCode) + "\n"));
    return bin;
}

std::string CurrentDirectory() {
    char here[PATH_MAX];
    return getcwd(here, sizeof(here)) ? std::string(here) : std::string();
}

TEST(PlatformExecute, PlainRoutesAndTheWorkingDirectory) {
    EnvironmentGuard guard({"PKEXEC_UID", "SUDO_UID"});
    unsetenv("PKEXEC_UID");
    unsetenv("SUDO_UID");
    SharedDir dir;
    const std::string script = "-c \"pwd > " + dir.out("pwd") + "\"";
    LogCapture log;
    // Without the plain-launch flag the directory is not used (as root nobody elevated this
    // process, so the program runs as root itself); 0x01 changes nothing.
    for (uint32_t flags : {0u, (uint32_t)PLATFORM_EXECUTE_HIDE}) {
        unlink(dir.out("pwd").c_str());
        Executed result = Execute("/bin/sh", script, dir.path(), flags);
        EXPECT_EQ(result.result, 1) << flags;
        ASSERT_TRUE(result.ended) << flags;
        EXPECT_EQ(result.code, 0);
        EXPECT_EQ(ReadFile(dir.out("pwd")), CurrentDirectory() + "\n") << flags;
        EXPECT_EQ(LogCapture::Take(), "DEBUG - Working path is not respected for this platform\n") << flags;
    }
    // The plain-launch flag honours it, silently, and wins over the elevation flag.
    for (uint32_t flags : {(uint32_t)PLATFORM_EXECUTE_NORMAL,
                           (uint32_t)(PLATFORM_EXECUTE_NORMAL | PLATFORM_EXECUTE_ELEVATED)}) {
        Executed result = Execute("/bin/sh", script, dir.path(), flags);
        ASSERT_TRUE(result.ended) << flags;
        EXPECT_EQ(ReadFile(dir.out("pwd")), dir.path() + "\n") << flags;
        EXPECT_EQ(LogCapture::Take(), "") << flags;
    }
}

TEST(PlatformExecute, ArgumentsReachTheProgramExactly) {
    EnvironmentGuard guard({"PKEXEC_UID", "SUDO_UID"});
    unsetenv("PKEXEC_UID");
    unsetenv("SUDO_UID");
    SharedDir dir;
    std::ofstream(dir.file("victim")) << "x";
    const Hostile hostile = HostileArguments(dir);
    const std::string recorder = WriteRecorder(dir, 4);
    for (uint32_t flags : {0u, (uint32_t)PLATFORM_EXECUTE_NORMAL}) {
        unlink(dir.out("arguments").c_str());
        Executed result = Execute(recorder, hostile.text, "", flags);
        ASSERT_TRUE(result.ended) << flags;
        EXPECT_EQ(result.code, 4);
        EXPECT_EQ(ReadNulList(dir.out("arguments")), hostile.expected) << flags;
        EXPECT_EQ(ReadFile(dir.out("pid")), std::to_string(result.pid) + "\n");
    }
    EXPECT_TRUE(FileExists(dir.file("victim")));
    EXPECT_FALSE(FileExists(dir.out("pwned")));
}

TEST(PlatformExecute, ResolvesHomeAndEitherSeparator) {
    EnvironmentGuard guard({"HOME", "PKEXEC_UID", "SUDO_UID"});
    unsetenv("PKEXEC_UID");
    unsetenv("SUDO_UID");
    SharedDir dir;
    setenv("HOME", dir.file("").c_str(), 1);
    mkdir(dir.file("sub").c_str(), 0755);
    WriteScript(dir.file("sub/tool"), "exit 9\n");
    for (const char* path : {"~/sub/tool", "~\\sub\\tool", "~/sub//tool"}) {
        Executed result = Execute(path, "", "", PLATFORM_EXECUTE_NORMAL);
        ASSERT_TRUE(result.ended) << path;
        EXPECT_EQ(result.code, 9) << path;
    }
    // A path that does not fit is refused rather than cut into another name.
    LogCapture log;
    const std::string longPath = "/" + std::string(1100, 'p');
    Executed result = Execute(longPath, "", "", PLATFORM_EXECUTE_NORMAL);
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(result.pid, 0);
    EXPECT_EQ(LogCapture::Take(), "ERROR - Platform_ExecuteNormal failed to execute (" + longPath +
                                      ") [LE: " + std::to_string(ENAMETOOLONG) + "]\n");
}

TEST(PlatformExecute, EnvironmentAndStandardStreamsAreInherited) {
    EnvironmentGuard guard({"QVR_LAUNCH_PROBE"});
    // Expanded text is not parsed again: the ';' stays a character.
    setenv("QVR_LAUNCH_PROBE", "a=b;c", 1);
    TempDir dir;
    // The caller's standard handles are not used: the program writes to this process's output.
    std::string captured = dir.file("stdout");
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int fd = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    PlatformProcess* handle = nullptr;
    int64_t result = Platform_Execute("/bin/sh", "-c \"printf %s $QVR_LAUNCH_PROBE\"", "",
                                      PLATFORM_EXECUTE_NORMAL, reinterpret_cast<void*>(0x10),
                                      reinterpret_cast<void*>(0x20), reinterpret_cast<void*>(0x30), &handle);
    int32_t code = -1;
    bool ended = handle && WaitExit(handle, &code);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    EXPECT_EQ(result, 1);
    ASSERT_TRUE(ended);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(Platform_ProcessDelete(&handle), 1);
    EXPECT_EQ(ReadFile(captured), "a=b;c");
}

bool HaveNobody() {
    return getpwuid(kNobody) != nullptr;
}

std::string ExpectedIdentity(uid_t uid) {
    struct passwd* entry = getpwuid(uid);
    gid_t groups[256];
    int count = 256;
    getgrouplist(entry->pw_name, entry->pw_gid, groups, &count);
    std::string list;
    for (int i = 0; i < count; i++) {
        if (std::find(groups, groups + i, groups[i]) != groups + i) continue;
        list += (list.empty() ? "" : " ") + std::to_string(groups[i]);
    }
    return std::to_string(uid) + " " + std::to_string(entry->pw_gid) + " " + list + " " + entry->pw_dir +
           " " + entry->pw_name + " " + entry->pw_name + "\n";
}

// Who ran the program, as "uid gid groups HOME USER LOGNAME".
const char kIdentityScript[] =
    "-c \"echo $(id -u) $(id -g) $(id -G | tr ' ' '\\n' | awk '!seen[$0]++' | tr '\\n' ' ')$HOME "
    "$USER $LOGNAME > $0\" ";

TEST(PlatformExecute, AsRootRunsAsTheUserWhoElevated) {
    if (geteuid() != 0 || !HaveNobody()) GTEST_SKIP() << "needs root and the user nobody";
    EnvironmentGuard guard({"PKEXEC_UID", "SUDO_UID"});
    SharedDir dir;
    const std::string out = dir.out("identity");
    const std::string arguments = kIdentityScript + out;
    const struct {
        const char* pkexec;
        const char* sudo;
        uint32_t flags;
        uid_t expected;
    } cases[] = {
        {"65534", nullptr, 0, kNobody},
        {nullptr, "65534", 0, kNobody},
        {"", "65534", PLATFORM_EXECUTE_HIDE, kNobody},
        {"65534", "0", 0, kNobody},
        // Root elevated root: nothing to give up.
        {"0", "65534", 0, 0},
        {nullptr, nullptr, 0, 0},
        // An elevated launch by root, and a plain launch, run as root.
        {"65534", nullptr, PLATFORM_EXECUTE_ELEVATED, 0},
        {"65534", nullptr, PLATFORM_EXECUTE_NORMAL, 0},
    };
    BrokerGuard broker(WriteBroker(dir, "bin") + "/pkexec");
    for (const auto& test : cases) {
        const std::string label =
            std::string(test.pkexec ? test.pkexec : "-") + "/" + (test.sudo ? test.sudo : "-");
        test.pkexec ? setenv("PKEXEC_UID", test.pkexec, 1) : unsetenv("PKEXEC_UID");
        test.sudo ? setenv("SUDO_UID", test.sudo, 1) : unsetenv("SUDO_UID");
        unlink(out.c_str());
        Executed result = Execute("/bin/sh", arguments, "", test.flags);
        EXPECT_EQ(result.result, 1) << label;
        ASSERT_TRUE(result.ended) << label;
        EXPECT_EQ(result.code, 0) << label;
        // Root keeps this process's own groups and environment: its id is what counts.
        if (test.expected == 0)
            EXPECT_EQ(ReadFile(out).substr(0, 2), "0 ") << label;
        else
            EXPECT_EQ(ReadFile(out), ExpectedIdentity(test.expected)) << label;
    }
    // Root never asks the broker.
    EXPECT_FALSE(FileExists(dir.out("broker")));

    // The arguments reach the user's program unchanged too.
    std::ofstream(dir.file("victim")) << "x";
    const Hostile hostile = HostileArguments(dir);
    setenv("PKEXEC_UID", "65534", 1);
    Executed result = Execute(WriteRecorder(dir), hostile.text, "", 0);
    ASSERT_TRUE(result.ended);
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(ReadNulList(dir.out("arguments")), hostile.expected);
    EXPECT_TRUE(FileExists(dir.file("victim")));
    EXPECT_FALSE(FileExists(dir.out("pwned")));
}

TEST(PlatformExecute, AsRootFailuresOfTheUserLaunch) {
    if (geteuid() != 0 || !HaveNobody()) GTEST_SKIP() << "needs root and the user nobody";
    EnvironmentGuard guard({"PKEXEC_UID", "SUDO_UID"});
    unsetenv("SUDO_UID");
    SharedDir dir;
    // A program nobody may not run: its directory is closed to others.
    mkdir(dir.file("closed").c_str(), 0700);
    WriteScript(dir.file("closed/tool"), "exit 0\n");
    uint32_t unknown = 4000000;
    while (getpwuid(unknown)) unknown++;
    const std::string eacces = std::to_string(EACCES);
    const struct {
        std::string uid;
        std::string path;
        std::string log;
    } cases[] = {
        {std::to_string(unknown), "/bin/true",
         "DEBUG - Console user " + std::to_string(unknown) +
             " is unknown\nERROR - Platform_ExecuteDowngrade failed to execute (/bin/true) [LE: 2]\n"},
        {"12abc", "/bin/true",
         "DEBUG - Console user PKEXEC_UID=12abc is not a user id\n"
         "ERROR - Platform_ExecuteDowngrade failed to execute (/bin/true) [LE: 22]\n"},
        {"-5", "/bin/true",
         "DEBUG - Console user PKEXEC_UID=-5 is not a user id\n"
         "ERROR - Platform_ExecuteDowngrade failed to execute (/bin/true) [LE: 22]\n"},
        {"4294967295", "/bin/true",
         "DEBUG - Console user PKEXEC_UID=4294967295 is not a user id\n"
         "ERROR - Platform_ExecuteDowngrade failed to execute (/bin/true) [LE: 22]\n"},
        {"99999999999999999999", "/bin/true",
         "DEBUG - Console user PKEXEC_UID=99999999999999999999 is not a user id\n"
         "ERROR - Platform_ExecuteDowngrade failed to execute (/bin/true) [LE: 22]\n"},
        {"65534", "/nonexistent-qvr/tool",
         "DEBUG - Platform_ExecuteDowngrade failed to locate (/nonexistent-qvr/tool)\n"},
        {"65534", dir.path(),
         "ERROR - Platform_ExecuteDowngrade failed to execute (" + dir.path() + ") [LE: " + eacces + "]\n"},
        {"65534", dir.file("closed/tool"),
         "ERROR - Platform_ExecuteDowngrade failed to execute (" + dir.file("closed/tool") +
             ") [LE: " + eacces + "]\n"},
    };
    LogCapture log;
    for (const auto& test : cases) {
        setenv("PKEXEC_UID", test.uid.c_str(), 1);
        Executed result = Execute(test.path, "a", "", 0);
        EXPECT_EQ(result.result, 0) << test.uid << " " << test.path;
        EXPECT_EQ(result.pid, 0);
        EXPECT_EQ(LogCapture::Take(), test.log);
        // The failed child was collected at once.
        EXPECT_EQ(ChildrenOfThisProcess(), std::vector<int32_t>{}) << test.path;
    }
}

TEST(PlatformExecute, ElevatedLaunchGoesThroughTheBroker) {
    // The broker must be root's, as the stand-ins are only when root writes them.
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    SharedDir dir;
    std::ofstream(dir.file("victim")) << "x";
    const Hostile hostile = HostileArguments(dir);
    const std::string recorder = WriteRecorder(dir, 7);
    const std::string bin = WriteBroker(dir, "bin");
    const std::string dismissing = WriteBroker(dir, "bin-dismiss", 126);
    std::string report = RunUnprivileged([&] {
        Checks check;
        LogCapture log;
        BrokerGuard broker(bin + "/pkexec");
        PlatformProcess* handle = nullptr;
        check.Equal(Platform_Execute(recorder.c_str(), hostile.text.c_str(), "/", PLATFORM_EXECUTE_ELEVATED,
                                     nullptr, nullptr, nullptr, &handle),
                    1, "elevated launch");
        if (!handle) return check.failures + "no handle\n";
        check.Equal(handle->Task != nullptr, true, "handle holds the task");
        int32_t code = -1;
        check.Equal(WaitExit(handle, &code), true, "program ended");
        check.Equal(code, 7, "exit code");
        check.Equal(ReadFile(dir.out("pid")), std::to_string(Platform_ProcessGetId(handle)) + "\n", "id");
        check.Equal(Platform_ProcessIsRunning(handle), 0, "running after the end");
        check.Equal(Platform_ProcessDelete(&handle), 1, "delete");
        // The program comes first: it is what the authorisation names.
        std::vector<std::string> brokerArguments = {recorder};
        brokerArguments.insert(brokerArguments.end(), hostile.expected.begin(), hostile.expected.end());
        check.Equal(ReadNulList(dir.out("broker")), brokerArguments, "broker arguments");
        check.Equal(ReadNulList(dir.out("arguments")), hostile.expected, "program arguments");
        check.Equal(LogCapture::Take(), "DEBUG - Working path is not respected for this platform\n", "log");

        // Its output reaches this process's standard output, however much it is.
        fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        const int captured = open(dir.out("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(captured, STDOUT_FILENO);
        close(captured);
        check.Equal(Platform_Execute("/bin/sh", "-c \"head -c 300000 /dev/zero\"", "",
                                     PLATFORM_EXECUTE_ELEVATED, nullptr, nullptr, nullptr, &handle),
                    1, "elevated launch with output");
        code = -1;
        check.Equal(handle && WaitExit(handle, &code), true, "output program ended");
        dup2(saved, STDOUT_FILENO);
        close(saved);
        Platform_ProcessDelete(&handle);
        check.Equal(code, 0, "output program exit code");
        check.Equal(ReadFile(dir.out("stdout")).size(), (size_t)300000, "output passed on");

        // A plain user's launch without elevation is a plain one.
        unlink(dir.out("broker").c_str());
        check.Equal(Platform_Execute(recorder.c_str(), "x", "", 0, nullptr, nullptr, nullptr, &handle), 1,
                    "plain");
        code = -1;
        check.Equal(handle && WaitExit(handle, &code), true, "plain ended");
        check.Equal(code, 7, "plain exit code");
        Platform_ProcessDelete(&handle);
        check.Equal(FileExists(dir.out("broker")), false, "plain launch used the broker");

        // Refusals and impossible launches make no handle.
        BrokerGuard dismissingBroker(dismissing + "/pkexec");
        handle = reinterpret_cast<PlatformProcess*>(1);
        check.Equal(Platform_Execute("/bin/true", "", "", PLATFORM_EXECUTE_ELEVATED, nullptr, nullptr,
                                     nullptr, &handle),
                    0, "dismissed");
        check.Equal(handle == nullptr, true, "dismissed handle");
        check.Equal(
            LogCapture::Take(),
            std::string("ERROR - Platform_ExecuteElevated failed to execute (/bin/true) [LE: -60006]\n"),
            "dismissed log");
        unlink(dir.out("broker").c_str());
        check.Equal(Platform_Execute("/nonexistent-qvr/tool", "", "", PLATFORM_EXECUTE_ELEVATED, nullptr,
                                     nullptr, nullptr, &handle),
                    0, "missing program");
        check.Equal(
            LogCapture::Take(),
            std::string(
                "ERROR - Platform_ExecuteElevated failed to execute (/nonexistent-qvr/tool) [LE: -60031]\n"),
            "missing program log");
        check.Equal(FileExists(dir.out("broker")), false, "missing program asked the broker");
        check.Equal(ChildrenOfThisProcess(), std::vector<int32_t>{}, "children left");
        return check.failures;
    });
    EXPECT_EQ(report, "");
    EXPECT_TRUE(FileExists(dir.file("victim")));
    EXPECT_FALSE(FileExists(dir.out("pwned")));
}

TEST(PlatformProcess, FoundByIdAndAskedToEnd) {
    PlatformProcess* launched = nullptr;
    ASSERT_EQ(Platform_ExecuteNormal("/bin/sleep", "60", "", 0, &launched), 1);
    const int32_t pid = Platform_ProcessGetId(launched);

    PlatformProcess* found = reinterpret_cast<PlatformProcess*>(1);
    ASSERT_EQ(Platform_ProcessGetById((uint32_t)pid, &found), 1);
    ASSERT_NE(found, nullptr);
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

    // Gone, no process, or no process id at all.
    for (uint32_t candidate : {(uint32_t)pid, 0u, 0x80000000u, UINT32_MAX}) {
        found = reinterpret_cast<PlatformProcess*>(1);
        EXPECT_EQ(Platform_ProcessGetById(candidate, &found), 0) << candidate;
        EXPECT_EQ(found, nullptr);
        EXPECT_EQ(Platform_ProcessTerminateById(candidate), 0) << candidate;
    }
    // An ended child not yet collected runs nothing.
    pid_t zombie = fork();
    if (zombie == 0) _exit(0);
    ASSERT_TRUE(Eventually([&] { return ProcState(zombie) == 'Z'; }));
    EXPECT_EQ(Platform_ProcessGetById((uint32_t)zombie, &found), 0);
    waitpid(zombie, nullptr, 0);

    ASSERT_EQ(Platform_ProcessGetById((uint32_t)getpid(), &found), 1);
    EXPECT_EQ(Platform_ProcessIsRunning(found), 1);
    EXPECT_EQ(Platform_ProcessDelete(&found), 1);
    // Ids that name process groups are refused; a child in its own group shows that none was sent.
    EXPECT_TRUE(SurvivesInChild([] {
        setpgid(0, 0);
        signal(SIGTERM, SIG_DFL);
        if (Platform_ProcessTerminateById(0) != 0) _exit(3);
    }));
}

TEST(PlatformProcess, ProgramsDoNotInheritTheLaunchersBlockedSignals) {
    PlatformProcess* handle = nullptr;
    std::thread launcher([&] {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGTERM);
        sigaddset(&blocked, SIGINT);
        pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
        Platform_ExecuteNormal("/bin/sleep", "60", "", 0, &handle);
    });
    launcher.join();
    ASSERT_NE(handle, nullptr);
    const int32_t pid = Platform_ProcessGetId(handle);
    char expected[PATH_MAX];
    ASSERT_NE(realpath("/bin/sleep", expected), nullptr);
    ASSERT_TRUE(Eventually([&] {
        char path[PLATFORM_PROCESS_PATH_SIZE] = "";
        return Platform_ProcessGetPathById((uint32_t)pid, path, sizeof(path)) &&
               std::string(path) == expected;
    }));
    const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    EXPECT_NE(status.find("\nSigBlk:\t0000000000000000\n"), std::string::npos) << status;
    EXPECT_EQ(Platform_ProcessTerminateById((uint32_t)pid), 1);
    int32_t code = 0;
    ASSERT_TRUE(WaitExit(handle, &code));
    EXPECT_EQ(code, -SIGTERM);
    Platform_ProcessDelete(&handle);
}

TEST(PlatformProcess, DeletedHandlesLeaveNoZombies) {
    ASSERT_EQ(ChildrenOfThisProcess(), std::vector<int32_t>{});
    // Ended before the delete: collected by it.
    std::vector<int32_t> ended;
    for (const char* path : {"/bin/true", "/bin/false", "/nonexistent-qvr/tool"}) {
        PlatformProcess* handle = nullptr;
        TempDir dir;
        CaptureStderr(dir, [&] { ASSERT_EQ(Platform_ExecuteNormal(path, "", "", 0, &handle), 1); });
        ASSERT_NE(handle, nullptr);
        const int32_t pid = Platform_ProcessGetId(handle);
        ASSERT_TRUE(Eventually([&] { return ProcState(pid) == 'Z'; })) << path;
        EXPECT_EQ(Platform_ProcessDelete(&handle), 1);
        EXPECT_FALSE(Listed(pid)) << path;
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

TEST(PlatformExecute, NullArgumentsAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PlatformProcess* handle = nullptr;
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Platform_Execute("/bin/true", "", "", 0, nullptr, nullptr, nullptr, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Platform_Execute(nullptr, "", "", 0, nullptr, nullptr, nullptr, &handle);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Platform_Execute("/bin/true", nullptr, "", 0, nullptr, nullptr, nullptr, &handle);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Platform_Execute("/bin/true", "", nullptr, 0, nullptr, nullptr, nullptr, &handle);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Platform_ProcessGetById(1, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
}

TEST(PlatformShellOpen, AsRootOpensForTheUserWhoElevated) {
    if (geteuid() != 0 || !HaveNobody()) GTEST_SKIP() << "needs root and the user nobody";
    EnvironmentGuard guard({"PKEXEC_UID", "SUDO_UID"});
    unsetenv("SUDO_UID");
    TempDir dir;
    LogCapture log;
    // No such user: nothing is started.
    uint32_t unknown = 4000000;
    while (getpwuid(unknown)) unknown++;
    setenv("PKEXEC_UID", std::to_string(unknown).c_str(), 1);
    EXPECT_EQ(Platform_ShellOpen("/tmp"), 0);
    EXPECT_EQ(LogCapture::Take(), "DEBUG - Console user " + std::to_string(unknown) +
                                      " is unknown\nERROR - Platform_ExecuteDowngrade failed to execute "
                                      "(/usr/bin/xdg-open) [LE: 2]\n");
    setenv("PKEXEC_UID", "65534", 1);
    int64_t result = 0;
    CaptureStderr(dir, [&] { result = Platform_ShellOpen("/tmp"); });
    EXPECT_EQ(result, 1);
    if (access("/usr/bin/xdg-open", X_OK) != 0) {
        for (int i = 0; i < 60000 && ReadFile(dir.file("stderr")).empty(); i++) usleep(1000);
        EXPECT_EQ(ReadFile(dir.file("stderr")),
                  "Platform_ExecuteDowngrade failed to execute (/usr/bin/xdg-open) [LE: 2]\n");
    }
}

} // namespace
