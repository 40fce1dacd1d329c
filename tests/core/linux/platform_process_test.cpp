#include "core/linux/platform_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/runtime/debug.h"
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

} // namespace
