// Processes as the platform layer sees them: launching programs (plainly, elevated, or as the
// console user), the process handle and its queries, process enumeration and search through /proc.
#pragma once

#include <pthread.h>
#include <spawn.h>

#include <cstdint>

#include "core/runtime/class.h"

enum : uint32_t {
    PLATFORM_PROCESS_CLASS_ID = 0x574A8EBC,
    PLATFORM_PROCESS_ENUMERATION_CLASS_ID = 0x9424D5CD,
};

// PlatformExecuteFlags.
enum : uint32_t {
    PLATFORM_EXECUTE_HIDE = 0x01,     // hide the window: nothing to do here
    PLATFORM_EXECUTE_ELEVATED = 0x08, // run with administrator rights
    PLATFORM_EXECUTE_NORMAL = 0x10,   // plain launch in the working directory
};

enum : int32_t {
    PLATFORM_PROCESS_PATH_SIZE = 320,
    PLATFORM_PROCESS_NAME_SIZE = 14,
};

struct PrivilegedTask;

// Starts a detached helper thread with every signal blocked, so that none is handled there instead
// of in the threads that expect it. Returns pthread_create's result (0 when started); the thread
// is put in *thread when given.
int Platform_StartQuietThread(void* (*main)(void*), void* argument, pthread_t* thread);

// Attributes for posix_spawn under which a program starts as every launch of ours does: each
// signal at its default disposition and none blocked, whatever this process ignores or blocks.
// Initialises *attributes: 1 when set (the caller destroys them), 0 with nothing to destroy.
int64_t Platform_InitSpawnSignals(posix_spawnattr_t* attributes);

// A started (or found) process. Allocated zeroed; it has no reference count and no delete
// function of its own: Platform_ProcessDelete frees it.
struct PlatformProcess {
    Class Header;
    PrivilegedTask* Task; // elevated launch: every query goes to the task
    void* Application;    // never set here: this platform has no running-application objects
    int32_t ProcessId;
    int32_t WaitStatus; // the status collected by waitpid, kept once the child is reaped
    uint32_t WaitStatusValid;
    // A child started by this process, which it alone can and must reap; a handle found by id
    // never reaps, so it cannot take the status away from the handle of the launch.
    uint32_t Child;
    // The watch on the child's end (Platform_ProcessWatchEnd), 0 when none; the delete cancels it.
    uint64_t EndWatch;
};

struct PlatformProcessEntry {
    uint32_t ProcessId;
    int32_t ParentProcessId; // -1 when unknown
    char Path[PLATFORM_PROCESS_PATH_SIZE];
    char ShortName[PLATFORM_PROCESS_NAME_SIZE];
};

struct PlatformProcessEnumeration;

// Starts a program. Flag 0x10 is a plain launch in the working directory; otherwise the
// directory is not used, and flag 0x08 launches with administrator rights (through the
// privileged task) unless this process already runs as root, while without 0x08 a process that
// runs as root starts the program as the user who elevated it (PKEXEC_UID, then SUDO_UID), or as
// itself when none is known. The program inherits the caller's standard streams: the three
// handles are not used. False, with the handle null and a log line, when no launch was made.
int64_t Platform_Execute(const char* path, const char* arguments, const char* workingDirectory,
                         uint32_t flags, void* standardInput, void* standardOutput, void* standardError,
                         PlatformProcess** handle);
// The same, with `input` (when not null) written to the program's standard input, a pipe that is
// then closed: a way to hand the program a secret that must not stand on its command line.
int64_t Platform_ExecuteWithInput(const char* path, const char* arguments, const char* workingDirectory,
                                  uint32_t flags, const char* input, PlatformProcess** handle);
// The same with the arguments as a vector (count entries and a null after them), each reaching
// the program as one argument with its exact characters: nothing is split, quoted or expanded.
int64_t Platform_ExecuteVector(const char* path, int32_t count, char* const* arguments,
                               const char* workingDirectory, uint32_t flags, const char* input,
                               PlatformProcess** handle);
// A handle for a running process (not a zombie); false (null) when there is none with that id.
int64_t Platform_ProcessGetById(uint32_t pid, PlatformProcess** handle);
// Asks the process to end (SIGTERM); true when the signal was delivered.
int64_t Platform_ProcessTerminateById(uint32_t pid);
// Frees the handle (and its privileged task) and clears the caller's pointer; neither waits for
// nor stops the process. A child of ours that has not been reaped yet is reaped in the
// background once it ends, so that none is left behind as a zombie.
int64_t Platform_ProcessDelete(PlatformProcess** handle);
int32_t Platform_ProcessGetId(PlatformProcess* handle);
// Alive and not a zombie; a child already reaped through the exit-code query is not running.
int64_t Platform_ProcessIsRunning(PlatformProcess* handle);
// The process exists (this platform has no visible "being created" state).
int64_t Platform_ProcessIsIdle(PlatformProcess* handle);
// Reaps the child once without blocking: the exit status after a normal exit, minus the signal
// number after a termination by signal; false while it runs or is stopped, and for a process
// that is not a child of this one. An elevated launch answers through its task.
int64_t Platform_ProcessGetExitCode(PlatformProcess* handle, int32_t* code);
// Reaps a child of ours now if it has ended, else from a background thread once it ends.
int64_t Platform_ProcessReapLater(int32_t pid);
// Calls ended(token) once, on the shared watcher thread, when the child launched through the
// handle ends (its pidfd turns readable), so that its owner need not poll to notice. Reaps
// nothing: the exit-code query still collects the status. The handler runs under the watcher's
// lock and must only post work elsewhere; once Platform_ProcessDelete returned it never runs for
// that handle. 0 when there is no pidfd (older kernel), the handle is no plain child of ours, or
// all watch slots are taken: the caller then keeps polling.
int64_t Platform_ProcessWatchEnd(PlatformProcess* handle, void (*ended)(uint32_t token), uint32_t token);

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

// Starts path with the split command line as its arguments, in workingDirectory
// when that is not empty. A relative path is taken from the caller's current directory at the
// time of the call, whatever directory the child enters (argv[0] is then the absolute path).
// The flags are not used. An exec failure ends the child with errno as its exit status, which
// the exit-code query then reports, after a line on standard error.
int64_t Platform_ExecuteNormal(const char* path, const char* commandLine, const char* workingDirectory,
                               uint32_t flags, PlatformProcess** handle);
// How a child is started. Everything is prepared before the launch, because the child shares
// this process's memory until its exec and may only make direct system calls: no lock, no
// allocation, no log. The program gets standard input, output and error and no other descriptor
// of this process.
struct PlatformLaunchPlan {
    const char* Path;
    char* const* Arguments;       // argv, ending with a null
    char* const* Environment;     // ending with a null; null: the program's own, copied at the launch
    const char* WorkingDirectory; // null or empty (or not usable): stays where it is
    int32_t StandardOutput;       // descriptor that becomes standard output; -1 keeps ours
    int32_t StandardInput;        // descriptor that becomes standard input; 0 or less keeps ours
    uint32_t ChangeUser;          // take the ids below before the exec
    uint32_t UserId;
    uint32_t GroupId;
    int32_t GroupCount; // supplementary groups
    const uint32_t* Groups;
    // 1: an exec failure is handed to the parent, which reaps the child and answers false;
    // 0: the child writes FailureText, errno and "]\n" to standard error and exits with errno.
    uint32_t ReportExecFailure;
    const char* FailureText;
};
// A pipe already holding `input` (at most PIPE_BUF bytes), its write end closed: readEnd becomes a
// plan's StandardInput, and the caller closes it after the launch. readEnd is 0 for a null or empty
// input. False with errno when no pipe could be made.
int64_t Platform_OpenInputPipe(const char* input, int32_t* readEnd);
// Starts the plan's program in a child that shares this process's memory until its exec (no
// copy of the address space, whatever its size), with the calling thread waiting until then.
// True with the child's pid; false with errno of the failed clone (or of the failed exec with
// ReportExecFailure), no child left behind.
int64_t Platform_ForkExec(const PlatformLaunchPlan* plan, int32_t* pid, int32_t* error);

// Opens a file or URL with the desktop's default handler (as the console user when this process
// runs as root); true when the launch started.
int64_t Platform_ShellOpen(const char* target);

// Splits a command line into a new vector (a null after the last entry): blanks separate outside
// quotes, a character after a backslash outside quotes is literal (the backslash stays), a
// quoted part ends its argument at the closing quote, and the split stops at an argument of
// 8192 bytes. False (nothing allocated) when memory runs out.
int64_t CommandLineToMutableArray(const char* text, int32_t* count, char*** array);
int64_t CommandLineFreeMutableArray(int32_t* count, char*** array);
