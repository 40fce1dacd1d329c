// Privileged launch through pkexec: the broker asks the user for authorisation and replaces
// itself with the program, run as root, which keeps the id of the broker's process.
#include "core/linux/privileged_task.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "core/linux/platform_process.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

struct PrivilegedTask {
    Class Header;
    char** Arguments; // the program's arguments without the program; a null after the last
    int32_t ArgumentCount;
    FILE* OutputStream; // the program's standard output, behind the id line
    // Nobody reads the stream (a launch without an output file): the task passes what arrives on
    // to this process's standard output, so that the program never blocks on a full pipe.
    uint32_t Forward;
    char* LaunchPath;
    char* Input; // what the program finds on its standard input, or null
    int32_t ProcessId;
    int32_t ExitCode;
    int32_t ErrorCode;
    // The broker's process, which becomes the program: the child this process must reap. 0 when
    // nothing was started or it has been collected.
    int32_t ChildId;
};

namespace privileged_task_internal {
const char* BrokerPath = "/usr/bin/pkexec";
} // namespace privileged_task_internal

namespace {

// Exit statuses of the broker when it ran nothing: the user dismissed the dialog, or the
// authorisation failed (or the broker could not work).
constexpr int kBrokerDismissed = 126;
constexpr int kBrokerRefused = 127;
// The kernel names a process after the file it last executed, cut to 15 bytes.
constexpr size_t kNameSize = 16;
// How often the broker is looked at while the user decides: at first soon, then at this pace.
constexpr long kLongestLookNs = 50L * 1000 * 1000;

void FreeText(char** text) {
    if (!*text) return;
    const size_t length = strlen(*text);
    // Texts may be secrets handed to the program: nothing of them stays in freed memory.
    memset(*text, 0, length);
    Memory_Free(*text, (int32_t)length + 1);
    *text = nullptr;
}

char* CopyText(const char* text) {
    const size_t length = strlen(text);
    char* copy = static_cast<char*>(Memory_Alloc((int32_t)length + 1));
    memcpy(copy, text, length + 1);
    return copy;
}

void FreeArguments(char*** arguments, int32_t* count) {
    if (!*arguments) return;
    for (int32_t i = 0; i < *count; i++) FreeText(&(*arguments)[i]);
    Memory_Free(*arguments, (int32_t)sizeof(char*) * (*count + 1));
    *arguments = nullptr;
    *count = 0;
}

void WriteOut(const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = write(STDOUT_FILENO, data, length);
        if (n < 0 && errno == EINTR) continue;
        // Without a standard output the bytes are dropped: the program must not block on them.
        if (n <= 0) return;
        data += n;
        length -= (size_t)n;
    }
}

// Passes what the program has written so far on to this process's standard output.
void ForwardAvailable(PrivilegedTask* task) {
    if (!task->Forward || !task->OutputStream) return;
    const int fd = fileno(task->OutputStream);
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        WriteOut(buffer, (size_t)n);
    }
}

struct Forwarding {
    int Descriptor;
    int32_t ProcessId;
};

// Forwards the output of a program that outlived its task until the program closes it, then
// collects the program.
void* ForwardThread(void* argument) {
    Forwarding forwarding = *static_cast<Forwarding*>(argument);
    Memory_Free(argument, sizeof(Forwarding));
    const int flags = fcntl(forwarding.Descriptor, F_GETFL);
    if (flags >= 0) fcntl(forwarding.Descriptor, F_SETFL, flags & ~O_NONBLOCK);
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(forwarding.Descriptor, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        WriteOut(buffer, (size_t)n);
    }
    close(forwarding.Descriptor);
    int status = 0;
    while (waitpid(forwarding.ProcessId, &status, 0) < 0 && errno == EINTR) {
    }
    return nullptr;
}

// Hands a forwarded stream and its running program to a thread of their own; false when no
// thread can be had.
bool ForwardInBackground(PrivilegedTask* task) {
    // Close-on-exec from its first moment: a launch by another thread must not inherit it.
    const int descriptor = fcntl(fileno(task->OutputStream), F_DUPFD_CLOEXEC, 0);
    if (descriptor < 0) return false;
    Forwarding* forwarding = static_cast<Forwarding*>(Memory_Alloc(sizeof(Forwarding)));
    forwarding->Descriptor = descriptor;
    forwarding->ProcessId = task->ChildId;
    if (Platform_StartQuietThread(ForwardThread, forwarding, nullptr) == 0) return true;
    Memory_Free(forwarding, sizeof(Forwarding));
    close(descriptor);
    return false;
}

// Lets go of a launch. A program still running is collected in the background once it ends; a
// forwarded stream goes on being forwarded until then (closing it would end the program's
// writes with SIGPIPE), a stream read by the caller is closed.
void ForgetLaunch(PrivilegedTask* task) {
    bool handedOver = false;
    if (task->OutputStream && task->Forward) {
        ForwardAvailable(task);
        if (task->ChildId > 0) handedOver = ForwardInBackground(task);
    }
    if (task->OutputStream) fclose(task->OutputStream);
    task->OutputStream = nullptr;
    if (task->ChildId > 0 && !handedOver) Platform_ProcessReapLater(task->ChildId);
    task->ChildId = 0;
    task->ProcessId = 0;
    task->ExitCode = 0;
    task->Forward = 0;
}

int64_t DeleteHandle(void** handle) {
    return PrivilegedTask_Delete(reinterpret_cast<PrivilegedTask**>(handle));
}

// The broker is handed the user's authorisation, so it is only ever the system's own: found at
// its fixed place (a PATH or a current directory chosen by someone else never supplies it), and
// a regular executable file that root owns and no other user can rewrite.
bool BrokerUsable(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0) return false;
    return S_ISREG(info.st_mode) && info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
           access(path, X_OK) == 0;
}

// The launch path as the file system knows it: absolute, so that the broker neither searches its
// PATH for it nor reads it as an option. False when it cannot be formed or names nothing runnable
// (a missing file, a directory); a path that cannot be examined is left to the broker, which runs
// as root and may be able to.
bool FileSystemForm(const char* path, char* out, size_t size) {
    out[0] = 0;
    size_t used = 0;
    if (path[0] != '/') {
        if (!getcwd(out, size)) return false;
        used = strlen(out);
        if (used == 0 || out[used - 1] != '/') {
            if (used + 1 >= size) return false;
            out[used++] = '/';
        }
    }
    const size_t length = strlen(path);
    if (used + length >= size) {
        out[0] = 0;
        return false;
    }
    memcpy(out + used, path, length + 1);
    struct stat info;
    if (stat(out, &info) == 0) return !S_ISDIR(info.st_mode);
    return errno != ENOENT && errno != ENOTDIR && errno != ELOOP && errno != ENAMETOOLONG;
}

// The name the kernel gives a process started from path.
void NameOf(const char* path, char* name) {
    const char* base = strrchr(path, '/');
    base = base ? base + 1 : path;
    const size_t length = strnlen(base, kNameSize - 1);
    memcpy(name, base, length);
    name[length] = 0;
}

// The kernel's name of a process, a zombie included; false when it cannot be read.
bool ReadProcessName(int32_t pid, char* name) {
    name[0] = 0;
    char path[48];
    String_Print(path, sizeof(path), "/proc/%d/comm", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[kNameSize + 1];
    ssize_t n;
    do n = read(fd, text, sizeof(text) - 1);
    while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0) return false;
    if (text[n - 1] == '\n') n--;
    if ((size_t)n >= kNameSize) return false;
    memcpy(name, text, (size_t)n);
    name[n] = 0;
    return true;
}

enum class BrokerOutcome { ProgramStarted, BrokerEnded, Lost };

// Waits while the user decides. The broker's process bears the launching thread's name until its
// exec has completed, then the broker's, then, once authorised, that of the program it has become;
// any other name means the program runs (or ran: the end is only looked at, WNOWAIT, so that a
// program that ended at once keeps its status and name for IsRunning). An end under the broker's
// name is the broker's refusal. A process whose name cannot be read (a /proc that hides other
// users' processes) counts as started: a refusal then shows as its exit code.
BrokerOutcome WaitForProgram(int32_t child, const char* brokerName, const char* launcherName) {
    long pause = 1000 * 1000;
    for (;;) {
        siginfo_t info;
        memset(&info, 0, sizeof(info));
        if (waitid(P_PID, (id_t)child, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
            if (errno == EINTR) continue;
            return BrokerOutcome::Lost;
        }
        const bool ended = info.si_pid == child;
        char name[kNameSize];
        if (!ReadProcessName(child, name) ||
            (strcmp(name, brokerName) != 0 && strcmp(name, launcherName) != 0))
            return BrokerOutcome::ProgramStarted;
        if (ended) return BrokerOutcome::BrokerEnded;
        struct timespec interval = {0, pause};
        nanosleep(&interval, nullptr);
        if (pause < kLongestLookNs) pause *= 2;
    }
}

int32_t ExitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return 0;
}

} // namespace

int64_t PrivilegedTask_Create(PrivilegedTask** task) {
    ASSERT_POINTER(task);
    PrivilegedTask* t = static_cast<PrivilegedTask*>(Memory_AllocZero(sizeof(PrivilegedTask)));
    t->Header.ClassId = PRIVILEGED_TASK_CLASS_ID;
    t->Header.RefCount = 1;
    t->Header.Delete = DeleteHandle;
    *task = t;
    return 1;
}

int64_t PrivilegedTask_AddRef(PrivilegedTask* task) {
    CLASS_CHECK(task, PRIVILEGED_TASK_CLASS_ID);
    Class_AddRef(task);
    return 1;
}

int64_t PrivilegedTask_Release(PrivilegedTask** task) {
    ASSERT_POINTER(task);
    if (!*task) return 0;
    CLASS_CHECK(*task, PRIVILEGED_TASK_CLASS_ID);
    Class_Release(task);
    return 1;
}

int64_t PrivilegedTask_Delete(PrivilegedTask** task) {
    ASSERT_POINTER(task);
    PrivilegedTask* t = *task;
    CLASS_CHECK(t, PRIVILEGED_TASK_CLASS_ID);
    ForgetLaunch(t);
    FreeText(&t->LaunchPath);
    FreeText(&t->Input);
    FreeArguments(&t->Arguments, &t->ArgumentCount);
    t->Header.ClassId = 0;
    Memory_Free(t, sizeof(PrivilegedTask));
    *task = nullptr;
    return 1;
}

int64_t PrivilegedTask_GetInstanceId(PrivilegedTask* task, char* buffer, int32_t size) {
    CLASS_CHECK(task, PRIVILEGED_TASK_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, task->Header.InstanceId, (int32_t)sizeof(task->Header.InstanceId));
    return 1;
}

int64_t PrivilegedTask_SetLaunchPath(PrivilegedTask* task, const char* path) {
    CLASS_CHECK(task, PRIVILEGED_TASK_CLASS_ID);
    ASSERT_POINTER(path);
    if (strlen(path) >= PATH_MAX) {
        task->ErrorCode = PRIVILEGED_TASK_ERROR_PARAMETER;
        return 0;
    }
    FreeText(&task->LaunchPath);
    task->LaunchPath = CopyText(path);
    return 1;
}

int64_t PrivilegedTask_SetInput(PrivilegedTask* task, const char* text) {
    CLASS_CHECK(task, PRIVILEGED_TASK_CLASS_ID);
    FreeText(&task->Input);
    if (text && text[0]) task->Input = CopyText(text);
    return 1;
}

int64_t PrivilegedTask_SetArguments(PrivilegedTask* task, const char* const* arguments) {
    CLASS_CHECK(task, PRIVILEGED_TASK_CLASS_ID);
    int32_t count = 0;
    while (arguments && arguments[count]) {
        if (count == PRIVILEGED_TASK_MAX_ARGUMENTS || strlen(arguments[count]) >= (size_t)INT32_MAX / 2) {
            task->ErrorCode = PRIVILEGED_TASK_ERROR_PARAMETER;
            return 0;
        }
        count++;
    }
    FreeArguments(&task->Arguments, &task->ArgumentCount);
    task->Arguments = static_cast<char**>(Memory_AllocZero((int32_t)sizeof(char*) * (count + 1)));
    for (int32_t i = 0; i < count; i++) task->Arguments[i] = CopyText(arguments[i]);
    task->ArgumentCount = count;
    return 1;
}

namespace {

int64_t Launch(PrivilegedTask* task, FILE** stream, bool forward) {
    if (stream) *stream = nullptr;
    task->ErrorCode = 0;
    ForgetLaunch(task);
    if (!task->LaunchPath || !task->LaunchPath[0]) {
        task->ErrorCode = PRIVILEGED_TASK_ERROR_NO_PATH;
        return 0;
    }
    char program[PATH_MAX];
    const char* broker = privileged_task_internal::BrokerPath;
    // Neither asks for authorisation when it could only end in a failed exec.
    if (!FileSystemForm(task->LaunchPath, program, sizeof(program)) || !BrokerUsable(broker)) {
        task->ErrorCode = PRIVILEGED_TASK_ERROR_TOOL_FAILED;
        return 0;
    }

    // broker, program, arguments, null. The program comes first, so that the authorisation the
    // broker asks for names it, and each text is one argument of its own, never parsed by a shell.
    const int32_t count = task->ArgumentCount + 2;
    const int32_t argvBytes = (int32_t)sizeof(char*) * (count + 1);
    char** argv = static_cast<char**>(Memory_Alloc(argvBytes));
    argv[0] = const_cast<char*>(broker);
    argv[1] = program;
    for (int32_t i = 0; i < task->ArgumentCount; i++) argv[2 + i] = task->Arguments[i];
    argv[count] = nullptr;

    char brokerName[kNameSize], programName[kNameSize], launcherName[kNameSize] = "";
    NameOf(broker, brokerName);
    NameOf(program, programName);
    // The name the child bears until its exec is the one of this thread.
    prctl(PR_GET_NAME, launcherName, 0, 0, 0);
    launcherName[kNameSize - 1] = 0;

    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        Memory_Free(argv, argvBytes);
        task->ErrorCode = PRIVILEGED_TASK_ERROR_TOOL_FAILED;
        return 0;
    }
    // The broker keeps standard input, output and error: the input reaches the program.
    int32_t input = 0;
    if (!Platform_OpenInputPipe(task->Input, &input)) {
        Memory_Free(argv, argvBytes);
        close(output[0]);
        close(output[1]);
        task->ErrorCode = PRIVILEGED_TASK_ERROR_TOOL_FAILED;
        return 0;
    }
    PlatformLaunchPlan plan = {};
    plan.Path = broker;
    plan.Arguments = argv;
    plan.StandardOutput = output[1];
    plan.StandardInput = input;
    plan.ReportExecFailure = 1;
    int32_t child = 0;
    int32_t error = 0;
    const int64_t started = Platform_ForkExec(&plan, &child, &error);
    Memory_Free(argv, argvBytes);
    if (input > 0) close(input);
    close(output[1]);
    if (!started) {
        close(output[0]);
        task->ErrorCode = PRIVILEGED_TASK_ERROR_TOOL_FAILED;
        return 0;
    }
    task->ChildId = child;

    // A program that bears the broker's (or this thread's) name cannot be told from it: it counts
    // as started as soon as the broker runs.
    const BrokerOutcome outcome =
        strcmp(programName, brokerName) == 0 || strcmp(programName, launcherName) == 0
            ? BrokerOutcome::ProgramStarted
            : WaitForProgram(child, brokerName, launcherName);
    if (outcome == BrokerOutcome::ProgramStarted) {
        task->ProcessId = child;
        task->OutputStream = fdopen(output[0], "r");
        if (!task->OutputStream) close(output[0]);
        if (forward && task->OutputStream) {
            task->Forward = 1;
            fcntl(output[0], F_SETFL, fcntl(output[0], F_GETFL) | O_NONBLOCK);
        }
        if (stream) *stream = task->OutputStream;
        return 1;
    }
    close(output[0]);
    task->ErrorCode = PRIVILEGED_TASK_ERROR_INTERNAL;
    if (outcome == BrokerOutcome::BrokerEnded) {
        // Ended already: the wait only collects it.
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == kBrokerDismissed)
            task->ErrorCode = PRIVILEGED_TASK_ERROR_CANCELED;
        else if (WIFEXITED(status) && WEXITSTATUS(status) == kBrokerRefused)
            task->ErrorCode = PRIVILEGED_TASK_ERROR_DENIED;
    }
    task->ChildId = 0;
    return 0;
}

} // namespace

int64_t PrivilegedTask_Launch(PrivilegedTask* task) {
    CLASS_CHECK(task, PRIVILEGED_TASK_CLASS_ID);
    FILE* stream = nullptr;
    return Launch(task, &stream, true);
}

int64_t PrivilegedTask_LaunchWithOutputFile(PrivilegedTask* task, FILE** stream) {
    CLASS_CHECK(task, PRIVILEGED_TASK_CLASS_ID);
    return Launch(task, stream, false);
}

int32_t PrivilegedTask_GetPID(PrivilegedTask* task) {
    CLASS_CHECK(task, PRIVILEGED_TASK_CLASS_ID);
    return task->ProcessId;
}

int64_t PrivilegedTask_IsRunning(PrivilegedTask* task) {
    CLASS_CHECK(task, PRIVILEGED_TASK_CLASS_ID);
    // Never started, or already collected: a wait would fail, or reach a stranger with the old id.
    if (task->ChildId <= 0) return 0;
    ForwardAvailable(task);
    int status = 0;
    pid_t reaped;
    do reaped = waitpid(task->ChildId, &status, WNOHANG);
    while (reaped < 0 && errno == EINTR);
    if (reaped == 0) return 1;
    // What it wrote just before its end.
    ForwardAvailable(task);
    task->ExitCode = reaped == task->ChildId ? ExitCodeOf(status) : 0;
    task->ChildId = 0;
    return 0;
}

int64_t PrivilegedTask_GetExitCode(PrivilegedTask* task, int32_t* code) {
    ASSERT_POINTER(code);
    *code = 0;
    CLASS_CHECK(task, PRIVILEGED_TASK_CLASS_ID);
    *code = task->ExitCode;
    return 1;
}

int64_t PrivilegedTask_GetErrorCode(PrivilegedTask* task, int32_t* code) {
    ASSERT_POINTER(code);
    *code = 0;
    CLASS_CHECK(task, PRIVILEGED_TASK_CLASS_ID);
    *code = task->ErrorCode;
    return 1;
}
