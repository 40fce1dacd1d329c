// Processes as the platform layer sees them: the process handle and its queries, process
// enumeration and search through /proc, the plain fork-and-exec launch and command-line splitting.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

enum : uint32_t {
    PLATFORM_PROCESS_CLASS_ID = 0x574A8EBC,
    PLATFORM_PROCESS_ENUMERATION_CLASS_ID = 0x9424D5CD,
};

enum : int32_t {
    PLATFORM_PROCESS_PATH_SIZE = 320,
    PLATFORM_PROCESS_NAME_SIZE = 14,
};

// A started (or found) process. Allocated zeroed; it has no reference count and no delete
// function of its own: Platform_ProcessDelete frees it.
struct PlatformProcess {
    Class Header;
    void* Task;        // privileged task of an elevated launch; null for a plain launch
    void* Application; // running application found by id; null for a launched child
    int32_t ProcessId;
    int32_t WaitStatus; // the status collected by waitpid, kept once the child is reaped
    uint32_t WaitStatusValid;
};

struct PlatformProcessEntry {
    uint32_t ProcessId;
    int32_t ParentProcessId; // -1 when unknown
    char Path[PLATFORM_PROCESS_PATH_SIZE];
    char ShortName[PLATFORM_PROCESS_NAME_SIZE];
};

struct PlatformProcessEnumeration;

// Frees the handle and clears the caller's pointer; neither waits for nor stops the process.
int64_t Platform_ProcessDelete(PlatformProcess** handle);
int32_t Platform_ProcessGetId(PlatformProcess* handle);
// Alive and not a zombie; a child already reaped through the exit-code query is not running.
int64_t Platform_ProcessIsRunning(PlatformProcess* handle);
// The process exists (this platform has no visible "being created" state).
int64_t Platform_ProcessIsIdle(PlatformProcess* handle);
// Reaps the child once without blocking: the exit status after a normal exit, minus the signal
// number after a termination by signal; false while it runs or is stopped.
int64_t Platform_ProcessGetExitCode(PlatformProcess* handle, int32_t* code);

int64_t Platform_ProcessForceTerminateById(uint32_t pid);
int64_t Platform_ProcessGetPathById(uint32_t pid, char* buffer, int32_t size);
// Parent of pid, 0 when unknown.
uint32_t Platform_GetParentProcessId(uint32_t pid);
int64_t Platform_IsDebuggerPresent();

int64_t Platform_ProcessFindFirst(PlatformProcessEntry* entry, PlatformProcessEnumeration** enumeration);
int64_t Platform_ProcessFindNext(PlatformProcessEnumeration* enumeration, PlatformProcessEntry* entry);
int64_t Platform_ProcessFindClose(PlatformProcessEnumeration** enumeration);
int64_t Platform_ProcessFindFill(PlatformProcessEntry* entry, uint32_t pid);
// First process whose executable path, or else its file name, matches the wildcard pattern
// (case-insensitive); pid is -1 when none does.
int64_t Platform_FindProcess(const char* pattern, int32_t* pid);

// The process owning a TCP IPv4 socket bound to localAddress (network order, compared as 32
// bits) and port (host order); pid is 0 when none is found.
int64_t Platform_GetSocketPID(const uint32_t* localAddress, uint16_t port, uint32_t* pid);

// Forks and executes path with the split command line as its arguments, in workingDirectory
// when that is not empty. The flags are not used. An exec failure ends the child with errno as
// its exit status, which the exit-code query then reports.
int64_t Platform_ExecuteNormal(const char* path, const char* commandLine, const char* workingDirectory,
                               uint32_t flags, PlatformProcess** handle);
// Opens a file or URL with the desktop's default handler; true when the launch started.
int64_t Platform_ShellOpen(const char* target);

// Splits a command line into a new vector (a null after the last entry): blanks separate outside
// quotes, a character after a backslash outside quotes is literal (the backslash stays), a
// quoted part ends its argument at the closing quote, and the split stops at an argument of
// 8192 bytes. False (nothing allocated) when memory runs out.
int64_t CommandLineToMutableArray(const char* text, int32_t* count, char*** array);
int64_t CommandLineFreeMutableArray(int32_t* count, char*** array);
