// Linux processes for the platform layer: handle queries over /proc and waitpid, enumeration and
// search of running processes, socket owners, and the plain fork-and-exec launch.
#include "core/linux/platform_process.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/linux/platform.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
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

// Writes a decimal number without the library (usable between fork and exec).
int32_t FormatDecimal(char* buffer, int32_t value) {
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

void WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        length -= (size_t)n;
    }
}

// The failure line of a launch, prepared before the fork: the child only appends errno and
// "]\n" with plain system calls.
struct ExecFailureText {
    char Prefix[1200];
    size_t PrefixLength;
};

void PrepareExecFailure(ExecFailureText* text, const char* path) {
    // The template up to its errno field, filled by the system formatter in the parent.
    String_Print(text->Prefix, sizeof(text->Prefix), "%s failed to execute (%s) [LE: ", kExecuteNormal, path);
    text->PrefixLength = strlen(text->Prefix);
}

// Runs in the child after fork: no locks, no allocation, no log.
[[noreturn]] void ExecChild(const char* path, char* const* argv, const char* workingDirectory,
                            const ExecFailureText* failure) {
    // An empty or invalid directory leaves the child where it is.
    if (workingDirectory && workingDirectory[0]) (void)!chdir(workingDirectory);
    execv(path, argv);
    int error = errno;
    char tail[24];
    int32_t used = FormatDecimal(tail, error);
    tail[used++] = ']';
    tail[used++] = '\n';
    WriteAll(STDERR_FILENO, failure->Prefix, failure->PrefixLength);
    WriteAll(STDERR_FILENO, tail, (size_t)used);
    _exit(error);
}

// argv for execv: path, then the split command line, then null. The strings are borrowed from
// `split`; only the pointer array is allocated here.
char** BuildArgv(const char* path, int32_t count, char** split, int32_t* bytes) {
    *bytes = (int32_t)(sizeof(char*) * ((size_t)count + 2));
    char** argv = static_cast<char**>(Memory_Alloc(*bytes));
    if (!argv) return nullptr;
    argv[0] = const_cast<char*>(path);
    for (int32_t i = 0; i < count; i++) argv[i + 1] = split[i];
    argv[count + 1] = nullptr;
    return argv;
}

PlatformProcess* NewHandle(int32_t pid) {
    PlatformProcess* handle = static_cast<PlatformProcess*>(Memory_AllocZero(sizeof(PlatformProcess)));
    if (!handle) return nullptr;
    handle->Header.ClassId = PLATFORM_PROCESS_CLASS_ID;
    handle->ProcessId = pid;
    return handle;
}

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
    CLASS_CHECK(*handle, PLATFORM_PROCESS_CLASS_ID);
    // Task and Application are only set by elevated launches and lookups by id, which this
    // platform does not make yet.
    (*handle)->Header.ClassId = 0;
    Memory_Free(*handle, sizeof(PlatformProcess));
    *handle = nullptr;
    return 1;
}

int32_t Platform_ProcessGetId(PlatformProcess* handle) {
    CLASS_CHECK(handle, PLATFORM_PROCESS_CLASS_ID);
    return handle->ProcessId;
}

int64_t Platform_ProcessIsRunning(PlatformProcess* handle) {
    CLASS_CHECK(handle, PLATFORM_PROCESS_CLASS_ID);
    // Once reaped, the pid may already belong to another process.
    if (handle->WaitStatusValid) return 0;
    ProcStat stat;
    if (!ReadProcStat((uint64_t)(int64_t)handle->ProcessId, &stat)) return 0;
    return stat.State != 'Z' && stat.State != 'X';
}

int64_t Platform_ProcessIsIdle(PlatformProcess* handle) {
    CLASS_CHECK(handle, PLATFORM_PROCESS_CLASS_ID);
    if (handle->WaitStatusValid) return 0;
    ProcStat stat;
    return ReadProcStat((uint64_t)(int64_t)handle->ProcessId, &stat);
}

int64_t Platform_ProcessGetExitCode(PlatformProcess* handle, int32_t* code) {
    ASSERT_POINTER(code);
    *code = 0;
    CLASS_CHECK(handle, PLATFORM_PROCESS_CLASS_ID);
    if (handle->ProcessId == 0) return 1;
    if (!handle->WaitStatusValid) {
        if (handle->ProcessId < 0) return 0;
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

int64_t Platform_ExecuteNormal(const char* path, const char* commandLine, const char* workingDirectory,
                               uint32_t flags, PlatformProcess** handle) {
    (void)flags;
    ASSERT_POINTER(handle);
    *handle = nullptr;
    ASSERT_POINTER(path);
    ASSERT_POINTER(commandLine);
    ASSERT_POINTER(workingDirectory);

    int32_t count = 0;
    char** split = nullptr;
    if (!CommandLineToMutableArray(commandLine, &count, &split)) return 0;
    int32_t argvBytes = 0;
    char** argv = BuildArgv(path, count, split, &argvBytes);
    if (!argv) {
        CommandLineFreeMutableArray(&count, &split);
        return 0;
    }
    ExecFailureText failure;
    PrepareExecFailure(&failure, path);

    pid_t pid = fork();
    if (pid == 0) ExecChild(path, argv, workingDirectory, &failure);
    const int error = errno;
    Memory_Free(argv, argvBytes);
    CommandLineFreeMutableArray(&count, &split);
    if (pid < 0) {
        Log_Error(kExecuteFailed, kExecuteNormal, path, error);
        return 0;
    }
    *handle = NewHandle(pid);
    // Without a handle nobody could ever collect the child; it still runs, so the launch stands.
    return *handle != nullptr;
}

int64_t Platform_ShellOpen(const char* target) {
    ASSERT_POINTER(target);
    static const char kOpener[] = "/usr/bin/xdg-open";
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
    ExecFailureText failure;
    PrepareExecFailure(&failure, kOpener);

    // Nobody keeps a handle to collect the opener, so it is started by a short-lived middle child
    // and adopted by init, which reaps it; otherwise every call would leave a zombie behind.
    pid_t middle = fork();
    if (middle == 0) {
        pid_t opener = _Fork();
        if (opener == 0) ExecChild(kOpener, argv, "", &failure);
        _exit(opener < 0 ? (errno ? errno : 1) : 0);
    }
    if (middle < 0) {
        Log_Error(kExecuteFailed, kExecuteNormal, kOpener, errno);
        return 0;
    }
    int status = 0;
    pid_t reaped;
    do reaped = waitpid(middle, &status, 0);
    while (reaped < 0 && errno == EINTR);
    if (reaped != middle || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        Log_Error(kExecuteFailed, kExecuteNormal, kOpener,
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
