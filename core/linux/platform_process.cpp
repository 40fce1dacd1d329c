// Linux processes for the platform layer: launches (a clone sharing memory until its exec, elevated through the
// privileged task, as the console user when root), handle queries over /proc and waitpid,
// enumeration and search of running processes, and socket owners.
#include "core/linux/platform_process.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <initializer_list>
#include <mutex>
#include <new>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/linux/platform.h"
#include "core/linux/privileged_task.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/string_print.h"

struct PlatformProcessEnumeration {
    Class Header;
    int32_t AllocationSize;
    int32_t Count;
    int32_t Cursor;
    uint32_t* ProcessIds; // points just behind this record, in the same block
};

namespace {

constexpr char kExecuteNormal[] = "Platform_ExecuteNormal";
constexpr char kExecuteFailed[] = "%s failed to execute (%s) [LE: %d]\n";
constexpr int32_t kLinkSize = 4096;

// Pids beyond this are no process ids; they would turn kill() and /proc paths into nonsense.
bool IsValidPid(uint64_t pid) {
    return pid > 0 && pid <= INT32_MAX;
}

// The kernel's short record of a process from /proc/<pid>/stat: "pid (name) state ppid ...".
// The name may itself hold blanks and parentheses, so it ends at the last ')'.
struct ProcStat {
    char State;
    int32_t ParentProcessId;
    char Name[PLATFORM_PROCESS_NAME_SIZE];
};

bool ReadProcStat(uint64_t pid, ProcStat* stat) {
    memset(stat, 0, sizeof(*stat));
    if (!IsValidPid(pid)) return false;
    char path[64];
    String_Print(path, sizeof(path), "/proc/%llu/stat", (unsigned long long)pid);
    char text[1024];
    if (Platform_ReadSmallFile(path, text, sizeof(text)) <= 0) return false;
    const char* open = strchr(text, '(');
    const char* close = strrchr(text, ')');
    if (!open || !close || close < open || close[1] != ' ' || close[2] == 0) return false;
    String_CopyLengthSafe(stat->Name, sizeof(stat->Name), open + 1, (int32_t)(close - open - 1));
    stat->State = close[2];
    stat->ParentProcessId = -1;
    if (close[3] == ' ') stat->ParentProcessId = String_AtoI(close + 4);
    return true;
}

// The executable of a process; false when it cannot be read or does not fit the buffer (a cut
// path would name another file).
bool ReadExecutablePath(uint64_t pid, char* buffer, int32_t size) {
    if (size > 0) buffer[0] = 0;
    if (!IsValidPid(pid) || size < 1) return false;
    char link[64];
    String_Print(link, sizeof(link), "/proc/%llu/exe", (unsigned long long)pid);
    char path[kLinkSize];
    ssize_t n = readlink(link, path, sizeof(path) - 1);
    if (n <= 0 || n >= size) return false;
    path[n] = 0;
    memcpy(buffer, path, (size_t)n + 1);
    return true;
}

// A /proc directory entry that names a process: digits only.
bool ParsePid(const char* name, uint32_t* pid) {
    uint64_t value = 0;
    if (!*name) return false;
    for (const char* p = name; *p; p++) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (uint64_t)(*p - '0');
        if (value > INT32_MAX) return false;
    }
    *pid = (uint32_t)value;
    return value > 0;
}

// Calls visit(pid) for every process in /proc order until it answers true. Returns errno of a
// failed open of /proc, else 0; found tells whether a visit answered true.
template <typename Visit> int32_t ForEachProcess(Visit&& visit, bool* found = nullptr) {
    if (found) *found = false;
    DIR* directory = opendir("/proc");
    if (!directory) return errno ? errno : EIO;
    while (struct dirent* item = readdir(directory)) {
        uint32_t pid;
        if (!ParsePid(item->d_name, &pid)) continue;
        if (visit(pid)) {
            if (found) *found = true;
            break;
        }
    }
    closedir(directory);
    return 0;
}

void ClearEntry(PlatformProcessEntry* entry) {
    memset(entry, 0, sizeof(*entry));
    entry->ParentProcessId = -1;
}

constexpr char kExecuteElevated[] = "Platform_ExecuteElevated";
constexpr char kExecuteDowngrade[] = "Platform_ExecuteDowngrade";
constexpr char kLocateFailed[] = "%s failed to locate (%s)\n";
constexpr int32_t kResolvedPathSize = 1024;

// ---- The child: a clone sharing this process's memory until its exec ------------------------
//
// A launch clones with CLONE_VM|CLONE_VFORK, as the C library's spawn does: no page table is
// copied, however large this process is, and the launching thread waits until the child has
// executed its program or left. The child runs on a stack of its own in memory it shares with
// us, so it may change nothing but its own descriptors, directory, ids and signal dispositions
// (all private to it), and it calls the kernel directly: the library's wrappers of close, dup2,
// sigaction, write and _exit may be interposed (by sanitizers) with bookkeeping in memory that
// is ours too. Its functions are built without sanitizer instrumentation for the same reason.

#define QVR_CHILD_CODE __attribute__((noinline, no_sanitize("address", "thread", "undefined")))

// The kernel's own record of a signal disposition (rt_sigaction), which the library's sigaction
// translates to and from; the layout x86-64 and arm64 share.
struct KernelSignalAction {
    void* Handler;
    unsigned long Flags;
    void* Restorer;
    uint64_t Mask;
};

using CloneFunction = int (*)(int (*)(void*), void*, int, void*, ...);

// What the child needs, prepared by the parent. ExecError is the child's answer: it is written
// only by a child that failed before or at its exec, and read once the parent runs again.
struct ChildStart {
    const PlatformLaunchPlan* Plan;
    char* const* Environment; // the plan's, else a copy of the program's own made for the launch
    int DescriptorLimit;
    volatile int ExecError;
    // The opener of a desktop document: the child starts the program as a child of its own and
    // leaves, so that init adopts the program.
    ChildStart* Inner;
    char* InnerStackTop;
    CloneFunction Clone; // the middle's way to start the program
};

QVR_CHILD_CODE long Kernel(long number, long a = 0, long b = 0, long c = 0, long d = 0) {
    const long result = syscall(number, a, b, c, d);
    return result < 0 ? -(long)errno : result;
}

[[noreturn]] QVR_CHILD_CODE void LeaveChild(int status) {
    for (;;) syscall(SYS_exit_group, (long)status);
}

// Writes a decimal number without the library.
QVR_CHILD_CODE int32_t FormatDecimal(char* buffer, int32_t value) {
    char digits[16];
    int32_t n = 0;
    uint32_t magnitude = value < 0 ? 0u - (uint32_t)value : (uint32_t)value;
    do digits[n++] = (char)('0' + magnitude % 10);
    while ((magnitude /= 10) != 0);
    int32_t used = 0;
    if (value < 0) buffer[used++] = '-';
    while (n > 0) buffer[used++] = digits[--n];
    return used;
}

QVR_CHILD_CODE void WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const long n = Kernel(SYS_write, fd, (long)data, (long)length);
        if (n == -EINTR) continue;
        if (n <= 0) return;
        data += n;
        length -= (size_t)n;
    }
}

// Ends the child with errno as its exit status, after telling why in the shared record and, when
// the plan does not hand failures to the parent, on standard error (the prepared text, errno and
// "]\n").
[[noreturn]] QVR_CHILD_CODE void FailChild(ChildStart* start, int error) {
    const PlatformLaunchPlan* plan = start->Plan;
    start->ExecError = error;
    if (!plan->ReportExecFailure && plan->FailureText) {
        size_t length = 0;
        while (plan->FailureText[length]) length++;
        char tail[24];
        int32_t used = FormatDecimal(tail, error);
        tail[used++] = ']';
        tail[used++] = '\n';
        WriteAll(STDERR_FILENO, plan->FailureText, length);
        WriteAll(STDERR_FILENO, tail, (size_t)used);
    }
    LeaveChild(error);
}

// Closes every descriptor above standard error: what this process opened without close-on-exec,
// or inherited, is no business of the program. close_range needs no allocation and no listing
// of /proc; where the kernel lacks it, each number below the descriptor limit (read before the
// launch) is closed in turn.
QVR_CHILD_CODE void CloseInherited(int limit) {
#ifdef SYS_close_range
    if (Kernel(SYS_close_range, 3, (long)~0U, 0) == 0) return;
#endif
    for (int fd = 3; fd < limit; fd++) Kernel(SYS_close, fd);
}

// fd becomes `target`, as dup2 does: the same number is left as it is.
QVR_CHILD_CODE long Duplicate(int fd, int target) {
    if (fd == target) return target;
    return Kernel(SYS_dup3, fd, target, 0);
}

[[noreturn]] QVR_CHILD_CODE void RunChild(ChildStart* start) {
    const PlatformLaunchPlan* plan = start->Plan;
    // This process's handlers must not run in the child before the exec (they may lock or
    // allocate, in memory the child shares with us), and what the launching thread blocked must
    // not stay blocked in the program, or a SIGTERM could never end it. The parent blocked
    // everything around the clone, so nothing is delivered before the handlers are back to their
    // defaults. What this process ignores (SIGPIPE, which a library it loads may set) is not the
    // program's choice either: an exec would keep it, and a pipeline in a launched script would
    // then print write errors instead of ending quietly. So every signal starts at its default.
    constexpr int kSignals = 64;
    constexpr unsigned long kSignalInfo = 4; // SA_SIGINFO
    for (int number = 1; number <= kSignals; number++) {
        if (number == SIGKILL || number == SIGSTOP) continue;
        KernelSignalAction current;
        if (Kernel(SYS_rt_sigaction, number, 0, (long)&current, sizeof(uint64_t)) != 0) continue;
        if (!(current.Flags & kSignalInfo) && current.Handler == (void*)SIG_DFL) continue;
        KernelSignalAction byDefault;
        byDefault.Handler = (void*)SIG_DFL;
        byDefault.Flags = 0;
        byDefault.Restorer = nullptr;
        byDefault.Mask = 0;
        Kernel(SYS_rt_sigaction, number, (long)&byDefault, 0, sizeof(uint64_t));
    }
    const uint64_t none = 0;
    Kernel(SYS_rt_sigprocmask, SIG_SETMASK, (long)&none, 0, sizeof(uint64_t));

    long result;
    if (plan->StandardInput > 0 && (result = Duplicate(plan->StandardInput, STDIN_FILENO)) < 0)
        FailChild(start, (int)-result);
    if (plan->StandardOutput == STDOUT_FILENO) {
        // Already in place, but opened close-on-exec.
        if ((result = Kernel(SYS_fcntl, STDOUT_FILENO, F_SETFD, 0)) != 0) FailChild(start, (int)-result);
    } else if (plan->StandardOutput >= 0 && (result = Duplicate(plan->StandardOutput, STDOUT_FILENO)) < 0) {
        FailChild(start, (int)-result);
    }
    CloseInherited(start->DescriptorLimit);
    if (plan->ChangeUser) {
        // Raw system calls: they change the ids of this thread, the only one in the child. The
        // library's wrappers would try to reach the parent's other threads, which are not here.
        if ((result = Kernel(SYS_setgroups, (long)plan->GroupCount, (long)plan->Groups)) != 0 ||
            (result = Kernel(SYS_setresgid, (long)plan->GroupId, (long)plan->GroupId, (long)plan->GroupId)) != 0 ||
            (result = Kernel(SYS_setresuid, (long)plan->UserId, (long)plan->UserId, (long)plan->UserId)) != 0)
            FailChild(start, (int)-result);
    }
    // An empty or unusable directory leaves the child where it is.
    if (plan->WorkingDirectory && plan->WorkingDirectory[0]) Kernel(SYS_chdir, (long)plan->WorkingDirectory);
    result = Kernel(SYS_execve, (long)plan->Path, (long)plan->Arguments, (long)start->Environment);
    FailChild(start, (int)-result);
}

// The C library's own clone, past any interposer: a sanitizer's clone would run its fork
// bookkeeping in the child, on memory the child shares with us.
CloneFunction LibraryClone() {
    static const CloneFunction clone = []() -> CloneFunction {
        void* library = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
        void* found = library ? dlsym(library, "clone") : nullptr;
        if (library) dlclose(library);
        return found ? reinterpret_cast<CloneFunction>(found) : &::clone;
    }();
    return clone;
}

QVR_CHILD_CODE int ChildMain(void* argument) {
    RunChild(static_cast<ChildStart*>(argument));
}

// The middle of a detached launch: starts the program and leaves at once with its start's answer,
// an errno value or 0.
QVR_CHILD_CODE int MiddleMain(void* argument) {
    ChildStart* start = static_cast<ChildStart*>(argument);
    const int program = start->Clone(ChildMain, start->InnerStackTop, CLONE_VM | CLONE_VFORK | SIGCHLD, start->Inner);
    LeaveChild(program < 0 ? errno : start->Inner->ExecError);
}

// A stack for a child, mapped for one launch. The child's few frames need far less than this;
// its lowest page is a guard all the same, since running past it would write into memory this
// process uses.
struct ChildStack {
    static constexpr size_t kSize = 64 * 1024;
    static constexpr size_t kGuard = 4096;
    void* Base = MAP_FAILED;
    ~ChildStack() {
        if (Base != MAP_FAILED) munmap(Base, kSize);
    }
    bool Map() {
        Base = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (Base == MAP_FAILED) return false;
        if (mprotect(Base, kGuard, PROT_NONE) == 0) return true;
        const int error = errno;
        munmap(Base, kSize);
        Base = MAP_FAILED;
        errno = error;
        return false;
    }
    // Stacks grow down on the machines this is built for.
    char* Top() const { return static_cast<char*>(Base) + kSize; }
};

// Clones `entry` with every signal blocked around it, so that no handler of ours runs in the
// child while it shares our memory. The child's pid, or -1 with errno.
pid_t StartChild(int (*entry)(void*), ChildStack* stack, ChildStart* start) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t child = LibraryClone()(entry, stack->Top(), CLONE_VM | CLONE_VFORK | SIGCHLD, start);
    const int error = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return child;
}

// The highest descriptor number plus one that the child's fallback closes: the soft limit, or
// the kernel's default ceiling of descriptors when the limit is higher or unlimited.
int DescriptorLimit() {
    constexpr rlim_t kCeiling = 1 << 20;
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > kCeiling)
        return (int)kCeiling;
    return (int)limit.rlim_cur;
}

// ---- The parent's preparations --------------------------------------------------------------

// The failure line of a launch up to its errno field, filled by the system formatter before the
// launch; the child appends errno and "]\n" with plain system calls.
struct ExecFailureText {
    char Prefix[1200];
};

void PrepareExecFailure(ExecFailureText* text, const char* name, const char* path) {
    String_Print(text->Prefix, sizeof(text->Prefix), "%s failed to execute (%s) [LE: ", name, path);
}

// argv for exec: path, then the split command line, then null. The strings are borrowed from
// `split`; only the pointer array is allocated here.
char** BuildArgv(const char* path, int32_t count, char* const* split, int32_t* bytes) {
    *bytes = 0;
    if (count < 0 || (size_t)count > (size_t)INT32_MAX / sizeof(char*) - 2) return nullptr;
    *bytes = (int32_t)(sizeof(char*) * ((size_t)count + 2));
    char** argv = static_cast<char**>(Memory_Alloc(*bytes));
    argv[0] = const_cast<char*>(path);
    for (int32_t i = 0; i < count; i++) argv[i + 1] = split[i];
    argv[count + 1] = nullptr;
    return argv;
}

PlatformProcess* NewHandle(int32_t pid, bool child) {
    PlatformProcess* handle = static_cast<PlatformProcess*>(Memory_AllocZero(sizeof(PlatformProcess)));
    handle->Header.ClassId = PLATFORM_PROCESS_CLASS_ID;
    handle->ProcessId = pid;
    handle->Child = child ? 1 : 0;
    return handle;
}

// '~' (alone or before a separator) is the home directory and '\' separates like '/'. An error
// number when the path cannot be resolved or does not fit: a cut path would name another program.
int32_t ResolveLaunchPath(const char* path, char* out, int32_t size) {
    out[0] = 0;
    // A location the expander could not name ("{userAppData}" with a relative HOME) is no
    // program of the current folder: whoever can write there would choose what runs.
    if (String_ExpandFindLocation(path, nullptr, 0)) return EINVAL;
    size_t used = 0;
    const char* rest = path;
    if (path[0] == '~' && (path[1] == 0 || path[1] == '/' || path[1] == '\\')) {
        if (!Platform_GetUserHome(out, size)) return ENOENT;
        used = strlen(out);
        rest = path[1] ? path + 2 : path + 1;
        // "~" alone names the directory itself, without the separator the home ends in.
        if (!*rest && used > 1 && out[used - 1] == '/') out[--used] = 0;
    }
    const size_t length = strlen(rest);
    if (used + length >= (size_t)size) {
        out[0] = 0;
        return ENAMETOOLONG;
    }
    memcpy(out + used, rest, length + 1);
    for (char* p = out; *p; p++)
        if (*p == '\\') *p = '/';
    return 0;
}

// The path joined to the current directory when it is relative (an empty path stays empty: it
// names no file either way). An error number when the directory cannot be had or the joined
// path does not fit.
int32_t AbsoluteLaunchPath(const char* path, char* out, size_t size) {
    out[0] = 0;
    size_t used = 0;
    if (path[0] && path[0] != '/') {
        if (!getcwd(out, size)) {
            const int32_t error = errno == ERANGE ? ENAMETOOLONG : errno ? errno : ENOENT;
            out[0] = 0;
            return error;
        }
        used = strlen(out);
        if (used == 0 || out[used - 1] != '/') {
            if (used + 1 >= size) return ENAMETOOLONG;
            out[used++] = '/';
        }
    }
    const size_t length = strlen(path);
    if (used + length >= size) {
        out[0] = 0;
        return ENAMETOOLONG;
    }
    memcpy(out + used, path, length + 1);
    return 0;
}

// Who a root process starts programs as when it launches "as the console user".
enum class ConsoleUserLookup { Self, Found, Failed };

ConsoleUserLookup FindConsoleUserId(uint32_t* uid, int32_t* error) {
    *uid = 0;
    *error = 0;
    // A set-user-id program was started by its real user, whose environment is not to be trusted
    // with naming somebody else: the real id decides.
    if (getuid() != 0) {
        *uid = (uint32_t)getuid();
        return ConsoleUserLookup::Found;
    }
    for (const char* name : {"PKEXEC_UID", "SUDO_UID"}) {
        char value[32];
        const int32_t length = Platform_ReadEnvironmentVariable(name, value, sizeof(value));
        if (length <= 0) continue;
        uint64_t id = 0;
        const char* p = value;
        for (; *p >= '0' && *p <= '9' && id <= UINT32_MAX; p++) id = id * 10 + (uint64_t)(*p - '0');
        // (uid_t)-1 is no user: it means "unchanged" to the id calls; a value cut to fit is none either.
        if (*p || id >= UINT32_MAX || length >= (int32_t)sizeof(value)) {
            Log_Debug("Console user %s=%s is not a user id\n", name, value);
            *error = EINVAL;
            return ConsoleUserLookup::Failed;
        }
        if (id == 0) return ConsoleUserLookup::Self;
        *uid = (uint32_t)id;
        return ConsoleUserLookup::Found;
    }
    return ConsoleUserLookup::Self;
}

// What a child needs to become the console user: ids, supplementary groups, and the environment
// with that user's HOME, USER and LOGNAME (root's home would be no place for the user's files).
struct ConsoleUser {
    uint32_t UserId;
    uint32_t GroupId;
    uint32_t* Groups;
    int32_t GroupCount;
    int32_t GroupBytes;
    char** Environment;
    int32_t EnvironmentBytes;
    char* Variables; // "HOME=...", "USER=...", "LOGNAME=..." one after another
    int32_t VariablesBytes;
    char** Inherited; // the program's environment, whose texts Environment borrows
    int32_t InheritedBytes;
};

void FreeConsoleUser(ConsoleUser* user) {
    if (user->Groups) Memory_Free(user->Groups, user->GroupBytes);
    if (user->Environment) Memory_Free(user->Environment, user->EnvironmentBytes);
    if (user->Variables) Memory_Free(user->Variables, user->VariablesBytes);
    if (user->Inherited) Memory_Free(user->Inherited, user->InheritedBytes);
    memset(user, 0, sizeof(*user));
}

bool IsVariable(const char* entry, const char* name) {
    const size_t length = strlen(name);
    return strncmp(entry, name, length) == 0 && entry[length] == '=';
}

bool PrepareConsoleUser(uint32_t uid, ConsoleUser* user, int32_t* error) {
    memset(user, 0, sizeof(*user));
    *error = 0;
    struct passwd entry;
    struct passwd* found = nullptr;
    int32_t scratchSize = 16384;
    char* scratch = nullptr;
    for (;;) {
        scratch = static_cast<char*>(Memory_Alloc(scratchSize));
        const int result = getpwuid_r((uid_t)uid, &entry, scratch, (size_t)scratchSize, &found);
        if (result == ERANGE && scratchSize < (1 << 22)) {
            Memory_Free(scratch, scratchSize);
            scratchSize *= 4;
            continue;
        }
        if (result != 0 || !found) {
            Memory_Free(scratch, scratchSize);
            Log_Debug("Console user %lu is unknown\n", uid);
            *error = result ? result : ENOENT;
            return false;
        }
        break;
    }
    user->UserId = uid;
    user->GroupId = (uint32_t)entry.pw_gid;

    // Supplementary groups, as a login would give them; the primary group alone when the list
    // cannot be had.
    int count = 32;
    for (;;) {
        user->GroupBytes = (int32_t)sizeof(uint32_t) * count;
        user->Groups = static_cast<uint32_t*>(Memory_Alloc(user->GroupBytes));
        int listed = count;
        if (getgrouplist(entry.pw_name, entry.pw_gid, reinterpret_cast<gid_t*>(user->Groups), &listed) >= 0) {
            user->GroupCount = listed;
            break;
        }
        Memory_Free(user->Groups, user->GroupBytes);
        user->Groups = nullptr;
        if (listed <= count || listed > 65536) {
            user->GroupBytes = (int32_t)sizeof(uint32_t);
            user->Groups = static_cast<uint32_t*>(Memory_Alloc(user->GroupBytes));
            user->Groups[0] = user->GroupId;
            user->GroupCount = 1;
            break;
        }
        count = listed;
    }

    const char* home = entry.pw_dir && entry.pw_dir[0] ? entry.pw_dir : "/";
    const char* name = entry.pw_name;
    const size_t variables = strlen("HOME=") + strlen(home) + 1 + strlen("USER=") + strlen(name) + 1 +
                             strlen("LOGNAME=") + strlen(name) + 1;
    user->Inherited = Platform_CopyEnvironment(&user->InheritedBytes);
    int32_t entries = 0;
    for (char** e = user->Inherited; e && *e; e++) entries++;
    if (!user->Inherited || variables > (size_t)INT32_MAX / 2 || entries > INT32_MAX / (int32_t)sizeof(char*) / 2) {
        *error = user->Inherited ? E2BIG : errno;
        Memory_Free(scratch, scratchSize);
        FreeConsoleUser(user);
        return false;
    }
    user->VariablesBytes = (int32_t)variables;
    user->Variables = static_cast<char*>(Memory_Alloc(user->VariablesBytes));
    // Three terminated texts, one after another.
    char* cursor = user->Variables;
    auto add = [&cursor](const char* key, const char* value) {
        char* start = cursor;
        const size_t keyLength = strlen(key), valueLength = strlen(value);
        memcpy(cursor, key, keyLength);
        memcpy(cursor + keyLength, value, valueLength + 1);
        cursor += keyLength + valueLength + 1;
        return start;
    };
    char* homeVariable = add("HOME=", home);
    char* userVariable = add("USER=", name);
    char* logNameVariable = add("LOGNAME=", name);

    user->EnvironmentBytes = (int32_t)sizeof(char*) * (entries + 4);
    user->Environment = static_cast<char**>(Memory_Alloc(user->EnvironmentBytes));
    int32_t used = 0;
    for (int32_t i = 0; i < entries; i++) {
        char* e = user->Inherited[i];
        if (IsVariable(e, "HOME") || IsVariable(e, "USER") || IsVariable(e, "LOGNAME")) continue;
        user->Environment[used++] = e;
    }
    user->Environment[used++] = homeVariable;
    user->Environment[used++] = userVariable;
    user->Environment[used++] = logNameVariable;
    user->Environment[used] = nullptr;
    Memory_Free(scratch, scratchSize);
    return true;
}

void* ReapThread(void* argument) {
    const pid_t pid = (pid_t)(intptr_t)argument;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return nullptr;
}

// ---- The watcher of launched children's ends --------------------------------------------------

// One thread waits on the pidfds of every watched child, so that an owner learns of an end at
// once instead of on its next poll. Slots are bounded: past them a launch is simply polled.
constexpr int32_t kWatchSlots = 256;
constexpr int32_t kWatchEventsPerWait = 16;

struct EndWatchSlot {
    uint64_t Serial; // never reused, so that a stale ready event cannot hit a later watch
    int32_t Descriptor;
    uint32_t Token;
    void (*Ended)(uint32_t token);
};

struct EndWatcher {
    std::mutex Lock;
    int32_t Poll = -1;
    uint64_t NextSerial = 1;
    EndWatchSlot Slots[kWatchSlots] = {};
};

// Removes the slot's descriptor from the watch and closes it; the caller holds the lock.
void DropSlot(EndWatcher* watcher, EndWatchSlot* slot) {
    epoll_ctl(watcher->Poll, EPOLL_CTL_DEL, slot->Descriptor, nullptr);
    close(slot->Descriptor);
    *slot = {};
}

void* EndWatchThread(void* argument) {
    EndWatcher* watcher = static_cast<EndWatcher*>(argument);
    epoll_event events[kWatchEventsPerWait];
    for (;;) {
        const int count = epoll_wait(watcher->Poll, events, kWatchEventsPerWait, -1);
        if (count < 0) {
            if (errno == EINTR) continue;
            Log_Debug("The watch on launched programs failed [LE: %d]\n", errno);
            return nullptr;
        }
        std::lock_guard<std::mutex> guard(watcher->Lock);
        for (int i = 0; i < count; i++)
            for (EndWatchSlot& slot : watcher->Slots) {
                if (slot.Serial != events[i].data.u64) continue;
                void (*ended)(uint32_t) = slot.Ended;
                const uint32_t token = slot.Token;
                DropSlot(watcher, &slot);
                ended(token);
                break;
            }
    }
}

} // namespace

int Platform_StartQuietThread(void* (*main)(void*), void* argument, pthread_t* thread) {
    pthread_attr_t attributes;
    int result = pthread_attr_init(&attributes);
    if (result != 0) return result;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t started;
    result = pthread_create(&started, &attributes, main, argument);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    if (result == 0 && thread) *thread = started;
    return result;
}

namespace {

// The watcher, started on first use; null when the system refuses epoll or the thread. It lives
// as long as the program: a child may end at any time.
EndWatcher* Watcher() {
    static EndWatcher* const watcher = []() -> EndWatcher* {
        const int poll = epoll_create1(EPOLL_CLOEXEC);
        if (poll < 0) return nullptr;
        EndWatcher* created = new (std::nothrow) EndWatcher;
        if (!created) {
            close(poll);
            return nullptr;
        }
        created->Poll = poll;
        pthread_t thread;
        const int result = Platform_StartQuietThread(EndWatchThread, created, &thread);
        if (result != 0) {
            Log_Debug("Unable to start the watch on launched programs [LE: %d]\n", result);
            close(poll);
            delete created;
            return nullptr;
        }
        pthread_setname_np(thread, "process-end");
        return created;
    }();
    return watcher;
}

void CancelEndWatch(PlatformProcess* process) {
    if (!process->EndWatch) return;
    EndWatcher* watcher = Watcher();
    std::lock_guard<std::mutex> guard(watcher->Lock);
    for (EndWatchSlot& slot : watcher->Slots)
        if (slot.Serial == process->EndWatch) {
            DropSlot(watcher, &slot);
            break;
        }
    process->EndWatch = 0;
}

} // namespace

int64_t Platform_ProcessWatchEnd(PlatformProcess* handle, void (*ended)(uint32_t token), uint32_t token) {
    CLASS_CHECK(handle, PLATFORM_PROCESS_CLASS_ID);
    ASSERT_POINTER(ended);
    // Only an unreaped child of ours keeps its pid: any other could be recycled under the watch.
    if (handle->Task || !handle->Child || handle->ProcessId <= 0 || handle->WaitStatusValid || handle->EndWatch)
        return 0;
#ifdef SYS_pidfd_open
    EndWatcher* watcher = Watcher();
    if (!watcher) return 0;
    const int descriptor = (int)syscall(SYS_pidfd_open, (pid_t)handle->ProcessId, 0);
    if (descriptor < 0) return 0;
    std::lock_guard<std::mutex> guard(watcher->Lock);
    for (EndWatchSlot& slot : watcher->Slots) {
        if (slot.Serial) continue;
        epoll_event event = {};
        event.events = EPOLLIN;
        event.data.u64 = watcher->NextSerial;
        if (epoll_ctl(watcher->Poll, EPOLL_CTL_ADD, descriptor, &event) != 0) break;
        slot = {watcher->NextSerial++, descriptor, token, ended};
        handle->EndWatch = slot.Serial;
        return 1;
    }
    close(descriptor);
    return 0;
#else
    (void)token;
    return 0;
#endif
}

namespace {

// Fills the entry from the first listed pid at or after the cursor that can be read; the cursor
// ends behind it.
bool FillFromCursor(PlatformProcessEnumeration* enumeration, PlatformProcessEntry* entry) {
    while (enumeration->Cursor < enumeration->Count) {
        uint32_t pid = enumeration->ProcessIds[enumeration->Cursor++];
        if (Platform_ProcessFindFill(entry, pid)) return true;
    }
    ClearEntry(entry);
    return false;
}

} // namespace

int64_t Platform_ProcessDelete(PlatformProcess** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 1;
    PlatformProcess* process = *handle;
    CLASS_CHECK(process, PLATFORM_PROCESS_CLASS_ID);
    CancelEndWatch(process);
    if (process->Task) {
        PrivilegedTask_Release(&process->Task);
    } else if (process->Child && process->ProcessId > 0 && !process->WaitStatusValid) {
        // Nobody could collect the child's end once the handle is gone.
        Platform_ProcessReapLater(process->ProcessId);
    }
    process->Header.ClassId = 0;
    Memory_Free(process, sizeof(PlatformProcess));
    *handle = nullptr;
    return 1;
}

int32_t Platform_ProcessGetId(PlatformProcess* handle) {
    CLASS_CHECK(handle, PLATFORM_PROCESS_CLASS_ID);
    if (handle->Task) return PrivilegedTask_GetPID(handle->Task);
    return handle->ProcessId;
}

int64_t Platform_ProcessIsRunning(PlatformProcess* handle) {
    CLASS_CHECK(handle, PLATFORM_PROCESS_CLASS_ID);
    if (handle->Task) return PrivilegedTask_IsRunning(handle->Task);
    // Once reaped, the pid may already belong to another process.
    if (handle->WaitStatusValid) return 0;
    // Our own unreaped child answers through one wait that leaves its status in place, instead of
    // the kernel formatting its whole /proc record on every poll. Only an end counts: a stopped
    // child still runs, and a child no longer ours (reaped elsewhere) is asked through /proc.
    if (handle->Child && handle->ProcessId > 0) {
        siginfo_t info;
        int waited;
        do {
            info.si_pid = 0;
            waited = waitid(P_PID, (id_t)handle->ProcessId, &info, WEXITED | WNOHANG | WNOWAIT);
        } while (waited < 0 && errno == EINTR);
        if (waited == 0) return info.si_pid == 0;
    }
    ProcStat stat;
    if (!ReadProcStat((uint64_t)(int64_t)handle->ProcessId, &stat)) return 0;
    return stat.State != 'Z' && stat.State != 'X';
}

int64_t Platform_ProcessIsIdle(PlatformProcess* handle) {
    CLASS_CHECK(handle, PLATFORM_PROCESS_CLASS_ID);
    if (handle->Task) return PrivilegedTask_IsRunning(handle->Task);
    if (handle->WaitStatusValid) return 0;
    ProcStat stat;
    return ReadProcStat((uint64_t)(int64_t)handle->ProcessId, &stat);
}

int64_t Platform_ProcessGetExitCode(PlatformProcess* handle, int32_t* code) {
    ASSERT_POINTER(code);
    *code = 0;
    CLASS_CHECK(handle, PLATFORM_PROCESS_CLASS_ID);
    if (handle->Task) {
        if (PrivilegedTask_IsRunning(handle->Task)) return 0;
        return PrivilegedTask_GetExitCode(handle->Task, code);
    }
    if (handle->ProcessId == 0) return 1;
    if (!handle->WaitStatusValid) {
        // Only the launch's own handle may collect the status: a wait through any other would
        // take it away from the launch.
        if (handle->ProcessId < 0 || !handle->Child) return 0;
        int status = 0;
        pid_t reaped;
        do reaped = waitpid(handle->ProcessId, &status, WNOHANG);
        while (reaped < 0 && errno == EINTR);
        if (reaped != handle->ProcessId) return 0;
        handle->WaitStatus = status;
        handle->WaitStatusValid = 1;
    }
    const int status = handle->WaitStatus;
    if (WIFEXITED(status)) {
        *code = WEXITSTATUS(status);
        return 1;
    }
    if (WIFSIGNALED(status)) {
        *code = -WTERMSIG(status);
        return 1;
    }
    return 0;
}

int64_t Platform_ProcessReapLater(int32_t pid) {
    if (pid <= 0) return 0;
    int status = 0;
    pid_t reaped;
    do reaped = waitpid(pid, &status, WNOHANG);
    while (reaped < 0 && errno == EINTR);
    // Reaped now, or no child of ours (anymore).
    if (reaped != 0) return 1;
    // One small waiting thread per child that outlives its handle.
    const int result = Platform_StartQuietThread(ReapThread, reinterpret_cast<void*>((intptr_t)pid), nullptr);
    if (result != 0) {
        Log_Debug("Unable to wait for the end of process %d [LE: %d]\n", pid, result);
        return 0;
    }
    return 1;
}

int64_t Platform_ProcessGetById(uint32_t pid, PlatformProcess** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    ProcStat stat;
    // A zombie has ended: it runs no program any more.
    if (!ReadProcStat(pid, &stat) || stat.State == 'Z' || stat.State == 'X') return 0;
    *handle = NewHandle((int32_t)pid, false);
    return 1;
}

int64_t Platform_ProcessTerminateById(uint32_t pid) {
    // 0 and "negative" ids would signal whole process groups.
    if (!IsValidPid(pid)) return 0;
    return kill((pid_t)pid, SIGTERM) == 0;
}

int64_t Platform_ProcessForceTerminateById(uint32_t pid) {
    // 0 and "negative" ids would signal whole process groups.
    if (!IsValidPid(pid)) return 0;
    return kill((pid_t)pid, SIGKILL) == 0;
}

int64_t Platform_ProcessGetPathById(uint32_t pid, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    return ReadExecutablePath(pid, buffer, size);
}

uint32_t Platform_GetParentProcessId(uint32_t pid) {
    ProcStat stat;
    if (!ReadProcStat(pid, &stat) || stat.ParentProcessId < 0) return 0;
    return (uint32_t)stat.ParentProcessId;
}

int64_t Platform_IsDebuggerPresent() {
    char text[4096];
    if (Platform_ReadSmallFile("/proc/self/status", text, sizeof(text)) <= 0) return 0;
    const char* field = strstr(text, "\nTracerPid:");
    if (!field) return 0;
    return String_AtoI(field + strlen("\nTracerPid:") + strspn(field + strlen("\nTracerPid:"), " \t")) != 0;
}

int64_t Platform_ProcessFindFill(PlatformProcessEntry* entry, uint32_t pid) {
    ASSERT_POINTER(entry);
    ClearEntry(entry);
    entry->ProcessId = pid;
    ProcStat stat;
    if (!ReadProcStat(pid, &stat)) return 0;
    String_CopyLength(entry->ShortName, stat.Name, sizeof(entry->ShortName));
    if (!ReadExecutablePath(pid, entry->Path, sizeof(entry->Path))) {
        entry->ShortName[0] = 0;
        return 0;
    }
    entry->ParentProcessId = stat.ParentProcessId;
    return 1;
}

int64_t Platform_ProcessFindFirst(PlatformProcessEntry* entry, PlatformProcessEnumeration** enumeration) {
    ASSERT_POINTER(entry);
    ASSERT_POINTER(enumeration);
    ClearEntry(entry);
    *enumeration = nullptr;

    int32_t listed = 0;
    int32_t error = ForEachProcess([&](uint32_t) {
        listed++;
        return listed >= INT32_MAX / 8;
    });
    if (error) {
        Log_Debug("Error getting proc list: %d\n", error);
        return 0;
    }
    // Processes started between the two passes find room in one eighth more.
    const int32_t capacity = listed + listed / 8 + 8;
    const int32_t size = (int32_t)sizeof(PlatformProcessEnumeration) + capacity * (int32_t)sizeof(uint32_t);
    auto* list = static_cast<PlatformProcessEnumeration*>(Memory_AllocZero(size));
    if (!list) return 0;
    list->Header.ClassId = PLATFORM_PROCESS_ENUMERATION_CLASS_ID;
    list->AllocationSize = size;
    list->ProcessIds = reinterpret_cast<uint32_t*>(list + 1);
    error = ForEachProcess([&](uint32_t pid) {
        list->ProcessIds[list->Count++] = pid;
        return list->Count >= capacity;
    });
    if (error) {
        Log_Debug("Error getting proc list: %d\n", error);
        Platform_ProcessFindClose(&list);
        return 0;
    }
    if (!FillFromCursor(list, entry)) {
        Platform_ProcessFindClose(&list);
        return 0;
    }
    *enumeration = list;
    return 1;
}

int64_t Platform_ProcessFindNext(PlatformProcessEnumeration* enumeration, PlatformProcessEntry* entry) {
    ASSERT_POINTER(entry);
    CLASS_CHECK(enumeration, PLATFORM_PROCESS_ENUMERATION_CLASS_ID);
    return FillFromCursor(enumeration, entry);
}

int64_t Platform_ProcessFindClose(PlatformProcessEnumeration** enumeration) {
    ASSERT_POINTER(enumeration);
    if (!*enumeration) return 1;
    CLASS_CHECK(*enumeration, PLATFORM_PROCESS_ENUMERATION_CLASS_ID);
    (*enumeration)->Header.ClassId = 0;
    Memory_Free(*enumeration, (*enumeration)->AllocationSize);
    *enumeration = nullptr;
    return 1;
}

int64_t Platform_FindProcess(const char* pattern, int32_t* pid) {
    ASSERT_POINTER(pid);
    *pid = -1;
    ASSERT_POINTER(pattern);
    bool found = false;
    ForEachProcess(
        [&](uint32_t candidate) {
            char path[kLinkSize];
            if (!ReadExecutablePath(candidate, path, sizeof(path))) return false;
            const char* name = strrchr(path, '/');
            name = name ? name + 1 : path;
            if (!String_CompareWildcardWithoutCase(path, pattern) &&
                !String_CompareWildcardWithoutCase(name, pattern))
                return false;
            *pid = (int32_t)candidate;
            return true;
        },
        &found);
    return found;
}

int64_t CommandLineToMutableArray(const char* text, int32_t* count, char*** array) {
    ASSERT_POINTER(count);
    ASSERT_POINTER(array);
    *count = 0;
    *array = nullptr;
    ASSERT_POINTER(text);
    // The process command line is split by the same rules.
    return Arguments_Build(text, count, array);
}

int64_t CommandLineFreeMutableArray(int32_t* count, char*** array) {
    return Arguments_Free(count, array);
}

int64_t Platform_InitSpawnSignals(posix_spawnattr_t* attributes) {
    if (posix_spawnattr_init(attributes) != 0) return 0;
    // Every bit set: sigfillset would leave out the signals the C library keeps for itself, and
    // its spawn then has the program start with them ignored. SIGKILL and SIGSTOP are passed over.
    sigset_t all, none;
    memset(&all, 0xff, sizeof(all));
    sigemptyset(&none);
    if (posix_spawnattr_setsigdefault(attributes, &all) == 0 &&
        posix_spawnattr_setsigmask(attributes, &none) == 0 &&
        posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0)
        return 1;
    posix_spawnattr_destroy(attributes);
    return 0;
}

int64_t Platform_ForkExec(const PlatformLaunchPlan* plan, int32_t* pid, int32_t* error) {
    ASSERT_POINTER(pid);
    ASSERT_POINTER(error);
    *pid = 0;
    *error = 0;
    ASSERT_POINTER(plan);
    ASSERT_POINTER(plan->Path);
    ASSERT_POINTER(plan->Arguments);
    ChildStack stack;
    if (!stack.Map()) {
        *error = errno;
        return 0;
    }
    // The child is handed the program's own environment, copied now: it may not lock or copy.
    int32_t inheritedBytes = 0;
    char** inherited = nullptr;
    if (!plan->Environment && !(inherited = Platform_CopyEnvironment(&inheritedBytes))) {
        *error = errno;
        return 0;
    }
    ChildStart start = {};
    start.Plan = plan;
    start.Environment = plan->Environment ? plan->Environment : inherited;
    start.DescriptorLimit = DescriptorLimit();
    const pid_t child = StartChild(ChildMain, &stack, &start);
    const int startError = errno;
    // The clone returns once the child has executed its program or left: its copy is no longer read.
    if (inherited) Memory_Free(inherited, inheritedBytes);
    if (child < 0) {
        *error = startError;
        return 0;
    }
    // A failure is in the record by now.
    const int execError = start.ExecError;
    if (!plan->ReportExecFailure || execError == 0) {
        *pid = child;
        return 1;
    }
    // The child leaves right after its report: collect it now, so that it leaves no zombie.
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    *error = execError;
    return 0;
}

namespace {

int64_t ExecuteNormalWithInput(const char* path, int32_t count, char* const* split, const char* workingDirectory,
                               const char* input, PlatformProcess** handle);

// Elevated launch: the privileged task asks for the user's authorisation and runs the program.
int64_t ExecuteElevated(const char* path, char* const* split, const char* input, PlatformProcess** handle) {
    int32_t code = 0;
    PrivilegedTask* task = nullptr;
    PrivilegedTask_Create(&task);
    bool launched = false;
    if (!PrivilegedTask_SetLaunchPath(task, path) || !PrivilegedTask_SetArguments(task, split) ||
        !PrivilegedTask_SetInput(task, input) || !PrivilegedTask_Launch(task))
        PrivilegedTask_GetErrorCode(task, &code);
    else
        launched = true;
    if (!launched) {
        Log_Error(kExecuteFailed, kExecuteElevated, path, code);
        PrivilegedTask_Release(&task);
        return 0;
    }
    *handle = NewHandle(PrivilegedTask_GetPID(task), false);
    (*handle)->Task = task;
    return 1;
}

// Launch by a root process as the user who elevated it. Failures of the exec are reported here,
// before a handle is made, as the system's own launcher reports them.
int64_t ExecuteDowngrade(const char* path, int32_t count, char* const* split, const char* input,
                         PlatformProcess** handle) {
    uint32_t uid = 0;
    int32_t error = 0;
    const ConsoleUserLookup lookup = FindConsoleUserId(&uid, &error);
    if (lookup == ConsoleUserLookup::Self) return ExecuteNormalWithInput(path, count, split, "", input, handle);
    if (lookup == ConsoleUserLookup::Failed) {
        Log_Error(kExecuteFailed, kExecuteDowngrade, path, error);
        return 0;
    }
    struct stat info;
    if (stat(path, &info) != 0) {
        Log_Debug(kLocateFailed, kExecuteDowngrade, path);
        return 0;
    }
    ConsoleUser user;
    if (!PrepareConsoleUser(uid, &user, &error)) {
        Log_Error(kExecuteFailed, kExecuteDowngrade, path, error);
        return 0;
    }
    int32_t argvBytes = 0;
    char** argv = nullptr;
    int32_t pid = 0;
    bool launched = false;
    if (!(argv = BuildArgv(path, count, split, &argvBytes))) {
        error = ENOMEM;
    } else {
        PlatformLaunchPlan plan = {};
        plan.Path = path;
        plan.Arguments = argv;
        plan.Environment = user.Environment;
        plan.StandardOutput = -1;
        plan.ChangeUser = 1;
        plan.UserId = user.UserId;
        plan.GroupId = user.GroupId;
        plan.GroupCount = user.GroupCount;
        plan.Groups = user.Groups;
        plan.ReportExecFailure = 1;
        int32_t inputFd = 0;
        if (!Platform_OpenInputPipe(input, &inputFd))
            error = errno;
        else {
            plan.StandardInput = inputFd;
            launched = Platform_ForkExec(&plan, &pid, &error);
        }
        if (inputFd > 0) close(inputFd);
    }
    if (argv) Memory_Free(argv, argvBytes);
    FreeConsoleUser(&user);
    if (!launched) {
        Log_Error(kExecuteFailed, kExecuteDowngrade, path, error);
        return 0;
    }
    *handle = NewHandle(pid, true);
    return 1;
}

} // namespace

int64_t Platform_OpenInputPipe(const char* input, int32_t* readEnd) {
    ASSERT_POINTER(readEnd);
    *readEnd = 0;
    if (!input || !input[0]) return 1;
    const size_t length = strlen(input);
    // The bytes are in the pipe before the program exists: nobody waits for a reader, and the
    // write can neither block nor meet a closed pipe.
    int fds[2];
    if (length > PIPE_BUF || pipe2(fds, O_CLOEXEC) != 0) {
        if (length > PIPE_BUF) errno = E2BIG;
        return 0;
    }
    ssize_t n;
    do n = write(fds[1], input, length);
    while (n < 0 && errno == EINTR);
    const int saved = errno;
    close(fds[1]);
    if (n != (ssize_t)length) {
        close(fds[0]);
        errno = n < 0 ? saved : EIO;
        return 0;
    }
    *readEnd = fds[0];
    return 1;
}

int64_t Platform_Execute(const char* path, const char* arguments, const char* workingDirectory,
                         uint32_t flags, void* standardInput, void* standardOutput, void* standardError,
                         PlatformProcess** handle) {
    // The program inherits this process's standard streams.
    (void)standardInput;
    (void)standardOutput;
    (void)standardError;
    return Platform_ExecuteWithInput(path, arguments, workingDirectory, flags, nullptr, handle);
}

int64_t Platform_ExecuteWithInput(const char* path, const char* arguments, const char* workingDirectory,
                                  uint32_t flags, const char* input, PlatformProcess** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    ASSERT_POINTER(path);
    ASSERT_POINTER(arguments);
    ASSERT_POINTER(workingDirectory);
    int32_t count = 0;
    char** split = nullptr;
    if (!CommandLineToMutableArray(arguments, &count, &split)) {
        Log_Error(kExecuteFailed, kExecuteNormal, path, ENOMEM);
        return 0;
    }
    const int64_t launched = Platform_ExecuteVector(path, count, split, workingDirectory, flags, input, handle);
    CommandLineFreeMutableArray(&count, &split);
    return launched;
}

int64_t Platform_ExecuteVector(const char* path, int32_t count, char* const* arguments,
                               const char* workingDirectory, uint32_t flags, const char* input,
                               PlatformProcess** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    ASSERT_POINTER(path);
    ASSERT_POINTER(workingDirectory);
    ASSERT_MSG(count == 0 || (arguments && !arguments[count]), "Argument vector must end with a null");
    char* const kNone[] = {nullptr};
    char* const* split = count > 0 ? arguments : kNone;

    const char* directory = workingDirectory;
    const char* route = kExecuteNormal;
    if (!(flags & PLATFORM_EXECUTE_NORMAL)) {
        if (workingDirectory[0]) Log_Debug("Working path is not respected for this platform\n");
        directory = "";
        int32_t elevated = 0;
        Platform_IsElevated(&elevated);
        // Elevation asked for by root, and no elevation asked for by a plain user, are plain launches.
        if ((flags & PLATFORM_EXECUTE_ELEVATED) && !elevated) route = kExecuteElevated;
        if (!(flags & PLATFORM_EXECUTE_ELEVATED) && elevated) route = kExecuteDowngrade;
    }
    char resolved[kResolvedPathSize];
    if (const int32_t error = ResolveLaunchPath(path, resolved, sizeof(resolved))) {
        Log_Error(kExecuteFailed, route, path, error);
        return 0;
    }
    if (route == kExecuteElevated) return ExecuteElevated(resolved, split, input, handle);
    if (route == kExecuteDowngrade) return ExecuteDowngrade(resolved, count, split, input, handle);
    return ExecuteNormalWithInput(resolved, count, split, directory, input, handle);
}

int64_t Platform_ExecuteNormal(const char* path, const char* commandLine, const char* workingDirectory,
                               uint32_t flags, PlatformProcess** handle) {
    (void)flags;
    ASSERT_POINTER(handle);
    *handle = nullptr;
    ASSERT_POINTER(commandLine);
    int32_t count = 0;
    char** split = nullptr;
    if (!CommandLineToMutableArray(commandLine, &count, &split)) {
        Log_Error(kExecuteFailed, kExecuteNormal, path, ENOMEM);
        return 0;
    }
    char* const kNone[] = {nullptr};
    const int64_t launched =
        ExecuteNormalWithInput(path, count, count > 0 ? split : kNone, workingDirectory, nullptr, handle);
    CommandLineFreeMutableArray(&count, &split);
    return launched;
}

namespace {

int64_t ExecuteNormalWithInput(const char* path, int32_t count, char* const* split, const char* workingDirectory,
                               const char* input, PlatformProcess** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    ASSERT_POINTER(path);
    ASSERT_POINTER(workingDirectory);

    // A relative path names a file of the caller's current directory, not of the working
    // directory the child enters before its exec: it is made absolute here, before the launch.
    // Neither the program nor the folder it starts in may be a location left unexpanded.
    if (String_ExpandFindLocation(path, nullptr, 0) || String_ExpandFindLocation(workingDirectory, nullptr, 0)) {
        Log_Error(kExecuteFailed, kExecuteNormal, path, EINVAL);
        return 0;
    }
    char absolute[PATH_MAX];
    if (const int32_t error = AbsoluteLaunchPath(path, absolute, sizeof(absolute))) {
        Log_Error(kExecuteFailed, kExecuteNormal, path, error);
        return 0;
    }
    int32_t argvBytes = 0;
    char** argv = nullptr;
    if (!(argv = BuildArgv(absolute, count, split, &argvBytes))) {
        Log_Error(kExecuteFailed, kExecuteNormal, path, ENOMEM);
        return 0;
    }
    ExecFailureText failure;
    PrepareExecFailure(&failure, kExecuteNormal, path);
    PlatformLaunchPlan plan = {};
    plan.Path = absolute;
    plan.Arguments = argv;
    plan.WorkingDirectory = workingDirectory;
    plan.StandardOutput = -1;
    plan.FailureText = failure.Prefix;
    int32_t pid = 0;
    int32_t error = 0;
    int32_t inputFd = 0;
    int64_t launched = 0;
    if (!Platform_OpenInputPipe(input, &inputFd)) {
        error = errno;
    } else {
        plan.StandardInput = inputFd;
        launched = Platform_ForkExec(&plan, &pid, &error);
    }
    if (inputFd > 0) close(inputFd);
    Memory_Free(argv, argvBytes);
    if (!launched) {
        Log_Error(kExecuteFailed, kExecuteNormal, path, error);
        return 0;
    }
    *handle = NewHandle(pid, true);
    return 1;
}

} // namespace

int64_t Platform_ShellOpen(const char* target) {
    ASSERT_POINTER(target);
    static const char kOpener[] = "/usr/bin/xdg-open";
    // The opener takes a relative name from its current folder: a location left unexpanded is
    // refused, as every launch refuses it.
    if (String_ExpandFindLocation(target, nullptr, 0)) {
        Log_Error(kExecuteFailed, kExecuteNormal, target, EINVAL);
        return 0;
    }
    char resolved[4096];
    if (target[0] == '~' && (target[1] == '/' || target[1] == 0)) {
        char home[4096];
        if (!Platform_GetUserHome(home, sizeof(home))) return 0;
        // The home ends in '/', so the '~' and its own '/' are both replaced.
        const char* rest = target[1] == '/' ? target + 2 : target + 1;
        if (strlen(home) + strlen(rest) >= sizeof(resolved)) return 0;
        String_Print(resolved, sizeof(resolved), "%s%s", home, rest);
    } else if (String_CopyLength(resolved, target, sizeof(resolved)) >= (int32_t)sizeof(resolved)) {
        return 0;
    }
    // The target travels as one argument as it is: quoting it into a command line to be split
    // again would let a '"' inside a file name or URL break it into other arguments.
    char* argv[] = {const_cast<char*>(kOpener), resolved, nullptr};

    // As root, the desktop is opened for the user who elevated this process, as any launch
    // without elevation.
    const char* name = kExecuteNormal;
    ConsoleUser user = {};
    int32_t elevated = 0;
    Platform_IsElevated(&elevated);
    if (elevated) {
        uint32_t uid = 0;
        int32_t error = 0;
        const ConsoleUserLookup lookup = FindConsoleUserId(&uid, &error);
        if (lookup != ConsoleUserLookup::Self) {
            name = kExecuteDowngrade;
            if (lookup == ConsoleUserLookup::Failed || !PrepareConsoleUser(uid, &user, &error)) {
                Log_Error(kExecuteFailed, name, kOpener, error);
                return 0;
            }
        }
    }
    // A desktop without the opener is told here, with its own error, before anything starts.
    if (access(kOpener, X_OK) != 0) {
        Log_Error(kExecuteFailed, name, kOpener, errno);
        FreeConsoleUser(&user);
        return 0;
    }
    ExecFailureText failure;
    PrepareExecFailure(&failure, name, kOpener);
    PlatformLaunchPlan plan = {};
    plan.Path = kOpener;
    plan.Arguments = argv;
    plan.StandardOutput = -1;
    plan.FailureText = failure.Prefix;
    if (user.Environment) {
        plan.Environment = user.Environment;
        plan.ChangeUser = 1;
        plan.UserId = user.UserId;
        plan.GroupId = user.GroupId;
        plan.GroupCount = user.GroupCount;
        plan.Groups = user.Groups;
    }

    // Nobody keeps a handle to collect the opener, so it is started by a short-lived middle child
    // and adopted by init, which reaps it; otherwise every call would leave a zombie behind. The
    // middle leaves with the opener's start error, or 0 once the opener runs.
    ChildStack middleStack, openerStack;
    if (!middleStack.Map() || !openerStack.Map()) {
        Log_Error(kExecuteFailed, name, kOpener, errno);
        FreeConsoleUser(&user);
        return 0;
    }
    int32_t inheritedBytes = 0;
    char** inherited = nullptr;
    if (!plan.Environment && !(inherited = Platform_CopyEnvironment(&inheritedBytes))) {
        Log_Error(kExecuteFailed, name, kOpener, errno);
        FreeConsoleUser(&user);
        return 0;
    }
    ChildStart opener = {};
    opener.Plan = &plan;
    opener.Environment = plan.Environment ? plan.Environment : inherited;
    opener.DescriptorLimit = DescriptorLimit();
    ChildStart start = {};
    start.Plan = &plan;
    start.Inner = &opener;
    start.InnerStackTop = openerStack.Top();
    start.Clone = LibraryClone();
    const pid_t middle = StartChild(MiddleMain, &middleStack, &start);
    const int startError = errno;
    FreeConsoleUser(&user);
    if (inherited) Memory_Free(inherited, inheritedBytes);
    if (middle < 0) {
        Log_Error(kExecuteFailed, name, kOpener, startError);
        return 0;
    }
    int status = 0;
    pid_t reaped;
    do reaped = waitpid(middle, &status, 0);
    while (reaped < 0 && errno == EINTR);
    if (reaped != middle || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        Log_Error(kExecuteFailed, name, kOpener,
                  reaped == middle && WIFEXITED(status) ? WEXITSTATUS(status) : errno);
        return 0;
    }
    return 1;
}

int64_t Platform_GetSocketPID(const uint32_t* localAddress, uint16_t port, uint32_t* pid) {
    ASSERT_POINTER(pid);
    *pid = 0;
    ASSERT_POINTER(localAddress);

    // The kernel lists the sockets with their inodes; the owner is the process holding a
    // descriptor that links to "socket:[inode]". The address is printed as the raw 32 bits.
    FILE* table = fopen("/proc/net/tcp", "re");
    if (!table) {
        Log_Debug("Error getting pid info list: %d\n", errno);
        return 0;
    }
    constexpr int32_t kMaxInodes = 64;
    unsigned long inodes[kMaxInodes];
    int32_t inodeCount = 0;
    char line[512];
    while (inodeCount < kMaxInodes && fgets(line, sizeof(line), table)) {
        // A line longer than the buffer continues on the next reads: its rest is skipped.
        char rest[128];
        bool whole = strchr(line, '\n') != nullptr;
        while (!whole && fgets(rest, sizeof(rest), table)) whole = strchr(rest, '\n') != nullptr;
        unsigned int address = 0, localPort = 0;
        unsigned long inode = 0;
        if (sscanf(line, " %*u: %8x:%4x %*s %*s %*s %*s %*s %*s %*s %lu", &address, &localPort, &inode) != 3)
            continue;
        // Sockets in TIME_WAIT have no inode and no owner.
        if (inode == 0 || address != *localAddress || localPort != port) continue;
        inodes[inodeCount++] = inode;
    }
    fclose(table);
    if (inodeCount == 0) return 0;

    bool found = false;
    int32_t error = ForEachProcess(
        [&](uint32_t candidate) {
            char directoryPath[64];
            String_Print(directoryPath, sizeof(directoryPath), "/proc/%lu/fd", candidate);
            // Processes end and deny access all the time: those are skipped, not errors.
            DIR* directory = opendir(directoryPath);
            if (!directory) return false;
            bool owner = false;
            while (!owner) {
                struct dirent* item = readdir(directory);
                if (!item) break;
                char target[64];
                ssize_t n = readlinkat(dirfd(directory), item->d_name, target, sizeof(target) - 1);
                if (n <= 0) continue;
                target[n] = 0;
                unsigned long inode = 0;
                char close = 0;
                if (sscanf(target, "socket:[%lu%c", &inode, &close) != 2 || close != ']') continue;
                for (int32_t i = 0; i < inodeCount && !owner; i++) owner = inodes[i] == inode;
            }
            closedir(directory);
            if (owner) *pid = candidate;
            return owner;
        },
        &found);
    if (error) {
        Log_Debug("Error getting pid list size: %d\n", error);
        return 0;
    }
    return found;
}
