// Privileged launch through pkexec: the broker asks the user for authorisation and runs a shell
// as root, which prints its own id and replaces itself with the program, keeping that id.
#include "core/linux/privileged_task.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "core/linux/platform_process.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

struct PrivilegedTask {
    Class Header;
    char** Arguments; // the program's arguments without the program; a null after the last
    int32_t ArgumentCount;
    FILE* OutputStream; // the program's standard output, behind the id line
    // Nobody reads the stream (a launch without an output file): the task passes what arrives on
    // to this process's standard output, so that the program never blocks on a full pipe.
    uint32_t Forward;
    char* LaunchPath;
    int32_t ProcessId;
    int32_t ExitCode;
    int32_t ErrorCode;
    // The broker's process, which becomes the shell and then the program: the child this process
    // must reap. 0 when nothing was started or it has been collected.
    int32_t ChildId;
};

namespace {

constexpr char kBroker[] = "pkexec";
constexpr char kShell[] = "/bin/sh";
constexpr char kShellScript[] = "echo $$; exec \"$@\"";
constexpr int32_t kLineLimit = 1024;
// Exit statuses of the broker when it ran nothing: the user dismissed the dialog, or the
// authorisation failed (or the broker could not work).
constexpr int kBrokerDismissed = 126;
constexpr int kBrokerRefused = 127;

void FreeText(char** text) {
    if (!*text) return;
    Memory_Free(*text, (int32_t)strlen(*text) + 1);
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
    const int descriptor = dup(fileno(task->OutputStream));
    if (descriptor < 0) return false;
    fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    Forwarding* forwarding = static_cast<Forwarding*>(Memory_Alloc(sizeof(Forwarding)));
    forwarding->Descriptor = descriptor;
    forwarding->ProcessId = task->ChildId;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) == 0) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        // The thread handles no signal meant for the threads that expect them.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        pthread_t thread;
        const int result = pthread_create(&thread, &attributes, ForwardThread, forwarding);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        pthread_attr_destroy(&attributes);
        if (result == 0) return true;
    }
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

// The broker on PATH; only absolute directories count, so that the current directory never
// supplies it.
bool FindBroker(char* out, size_t size) {
    const char* list = getenv("PATH");
    if (!list || !list[0]) list = "/usr/bin:/bin";
    while (*list) {
        const char* end = strchr(list, ':');
        const size_t length = end ? (size_t)(end - list) : strlen(list);
        if (length > 0 && list[0] == '/' && length + 1 + sizeof(kBroker) <= size) {
            memcpy(out, list, length);
            out[length] = '/';
            memcpy(out + length + 1, kBroker, sizeof(kBroker));
            struct stat info;
            if (stat(out, &info) == 0 && S_ISREG(info.st_mode) && access(out, X_OK) == 0) return true;
        }
        list += length;
        if (*list == ':') list++;
    }
    out[0] = 0;
    return false;
}

// The launch path as the file system knows it: absolute, so that the root shell neither searches
// its PATH for it nor reads it as an option. False when it cannot be formed or names nothing
// runnable (a missing file, a directory); a path that cannot be examined is left to the root
// shell, which may be able to.
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

// "%d" of the id line: optional blanks, an optional sign, digits; nothing else but blanks after.
bool ParseProcessId(const char* line, int32_t* pid) {
    *pid = 0;
    const char* p = line;
    while (*p == ' ' || *p == '\t') p++;
    if (*p == '+') p++;
    if (*p < '0' || *p > '9') return false;
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX) return false;
    }
    while (*p == ' ' || *p == '\t' || *p == '\r') p++;
    if (*p || value == 0) return false;
    *pid = (int32_t)value;
    return true;
}

// The child after the stream ended without an id line: the broker ran nothing and leaves. It is
// given a few seconds to do so; one that stays is collected later instead of blocking here.
bool WaitForBroker(int32_t child, int* status) {
    for (int32_t i = 0; i < 500; i++) {
        pid_t reaped = waitpid(child, status, WNOHANG);
        if (reaped == child) return true;
        if (reaped < 0 && errno != EINTR) return false;
        struct timespec interval = {0, 10 * 1000 * 1000};
        nanosleep(&interval, nullptr);
    }
    return false;
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
    char broker[PATH_MAX];
    // Neither asks for authorisation when it could only end in a failed exec.
    if (!FileSystemForm(task->LaunchPath, program, sizeof(program)) || !FindBroker(broker, sizeof(broker))) {
        task->ErrorCode = PRIVILEGED_TASK_ERROR_TOOL_FAILED;
        return 0;
    }

    // broker, shell, "-c", script, $0 (empty), program, arguments, null. Every text is one
    // argument of its own: the script reaches them only as "$@", never as text to parse.
    const int32_t count = task->ArgumentCount + 6;
    const int32_t argvBytes = (int32_t)sizeof(char*) * (count + 1);
    char** argv = static_cast<char**>(Memory_Alloc(argvBytes));
    argv[0] = broker;
    argv[1] = const_cast<char*>(kShell);
    argv[2] = const_cast<char*>("-c");
    argv[3] = const_cast<char*>(kShellScript);
    argv[4] = const_cast<char*>("");
    argv[5] = program;
    for (int32_t i = 0; i < task->ArgumentCount; i++) argv[6 + i] = task->Arguments[i];
    argv[count] = nullptr;

    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        Memory_Free(argv, argvBytes);
        task->ErrorCode = PRIVILEGED_TASK_ERROR_TOOL_FAILED;
        return 0;
    }
    PlatformLaunchPlan plan = {};
    plan.Path = broker;
    plan.Arguments = argv;
    plan.StandardOutput = output[1];
    plan.ReportExecFailure = 1;
    int32_t child = 0;
    int32_t error = 0;
    const int64_t started = Platform_ForkExec(&plan, &child, &error);
    Memory_Free(argv, argvBytes);
    close(output[1]);
    if (!started) {
        close(output[0]);
        task->ErrorCode = PRIVILEGED_TASK_ERROR_TOOL_FAILED;
        return 0;
    }
    task->ChildId = child;

    // The first line is the shell's id; it comes only once the user has authorised the launch.
    char line[kLineLimit + 1];
    int32_t length = 0;
    bool lineRead = false;
    bool ended = false;
    while (length < kLineLimit) {
        char c;
        const ssize_t n = read(output[0], &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ended = true;
            break;
        }
        if (c == '\n') {
            lineRead = true;
            break;
        }
        line[length++] = c;
    }
    line[length] = 0;
    int32_t pid = 0;
    if (lineRead && ParseProcessId(line, &pid)) {
        task->ProcessId = pid;
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
    int status = 0;
    if (ended && WaitForBroker(child, &status)) {
        if (WIFEXITED(status) && WEXITSTATUS(status) == kBrokerDismissed)
            task->ErrorCode = PRIVILEGED_TASK_ERROR_CANCELED;
        else if (WIFEXITED(status) && WEXITSTATUS(status) == kBrokerRefused)
            task->ErrorCode = PRIVILEGED_TASK_ERROR_DENIED;
    } else {
        // Whatever runs there is no launch of this task; it is only collected once it ends.
        Platform_ProcessReapLater(child);
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
