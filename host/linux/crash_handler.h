// The crash handler: fatal signals write a dump file of our own format into a directory, then a
// thread made in advance runs the crash callback outside the signal context.
#pragma once
#include <cstdint>

// What the callback is told of the dump: whole and named "<id>.dmp"; cut short and removed; none
// could be made (Breakpad_DumpError says why).
enum : uint32_t { BREAKPAD_DUMP_CUT = 0, BREAKPAD_DUMP_WHOLE = 1, BREAKPAD_DUMP_NONE = 2 };

// (context, dump directory, dump id, succeeded: a BREAKPAD_DUMP_ value) -> 1 when the report was
// taken on.
typedef int64_t (*BreakpadCallback)(void* context, const char* dumpDirectory, const char* minidumpId,
                                    uint32_t succeeded);

// A program for the crash thread to start, prepared while the process is sound: argv and envp end
// with a null, and they and the texts stay the caller's until Breakpad_Remove. Their bytes may
// change before a launch (an id written into an argument's room); their layout may not.
struct BreakpadLaunch {
    const char* Path;
    char* const* Arguments;
    char* const* Environment;
    const char* Directory; // the program's working directory; null or empty: ours
};

// Installs the handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT and SIGTRAP (replacing an earlier
// installation) and starts the crash thread. 0 when the directory or the callback is missing.
// A whole dump stays open and locked (flock) by the crashed process until it ends: whoever takes
// the lock afterwards knows the crashed process is done with its files. Three descriptors are kept
// in reserve for the dump, for a crash with the descriptor table full. A fault on another thread
// while a crash is reported waits for that report (bounded); a fault while reporting takes the
// default action.
int64_t Breakpad_Init(void* context, const char* dumpDirectory, BreakpadCallback callback,
                      const BreakpadLaunch* launch);
// For the callback, on the crash thread: starts the prepared program, with no allocation and no
// lock of this process taken (a crashed process may hold any of them), and every descriptor above
// standard error closed in it. 1 with its pid; 0 with errno when there is none or it did not start.
int64_t Breakpad_Launch(int32_t* pid);
// The dump directory opened at installation (-1 when not installed): the callback acts on the
// files through it, resolving no name again.
int32_t Breakpad_DirectoryDescriptor();
// For the callback, when an open failed with the descriptor table full: gives up one of the
// descriptors kept in reserve (only while a crash is reported). 1 when one was left.
int64_t Breakpad_ReleaseReserve();
// Why the last dump was cut short or could not be made (an errno value; 0 when none failed).
int32_t Breakpad_DumpError();
// Puts the earlier handlers back and ends the crash thread. 1.
int64_t Breakpad_Remove();

// How long the crashed thread waits for the callback before the process ends all the same
// (a callback blocked on a lock the crashed thread held must not hang the process).
void Breakpad_SetCallbackWaitForTesting(int32_t milliseconds);
