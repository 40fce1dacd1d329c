// The crash handler: fatal signals write a dump file of our own format into a directory, then a
// thread made in advance runs the crash callback outside the signal context.
#pragma once
#include <cstddef>
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
// the lock afterwards knows the crashed process is done with its files. What the crash path writes
// (the dump, the memory map, the callback's file) is opened at installation, so that a crash with
// the descriptor table full needs no new descriptor; where the file system has no nameless files,
// a locked "<id>.part" is made for each instead (removed by Breakpad_Remove when unused). A fault
// on another thread while a crash is reported waits for that report (bounded); a fault while
// reporting takes the default action, and so does a fault in a forked child of this process (it
// touches nothing of ours).
int64_t Breakpad_Init(void* context, const char* dumpDirectory, BreakpadCallback callback,
                      const BreakpadLaunch* launch);
// For the callback, on the crash thread: starts the prepared program, with no allocation and no
// lock of this process taken (a crashed process may hold any of them), and every descriptor above
// standard error closed in it. 1 with its pid; 0 with errno when there is none or it did not start.
int64_t Breakpad_Launch(int32_t* pid);
// For the callback (only while a crash is reported): a new private file "name" in the dump
// directory holding exactly these bytes, named only once whole and never written through a name
// that stood there before. It needs no new descriptor, so it is saved with the descriptor table
// full. 1; 0 with errno (EEXIST when the name is taken).
int64_t Breakpad_SaveFile(const char* name, const char* bytes, size_t length);
// Why the last dump was cut short or could not be made (an errno value; 0 when none failed).
int32_t Breakpad_DumpError();
// Puts the earlier handlers back and ends the crash thread. 1.
int64_t Breakpad_Remove();

// How long the crashed thread waits for the callback before the process ends all the same
// (a callback blocked on a lock the crashed thread held must not hang the process).
void Breakpad_SetCallbackWaitForTesting(int32_t milliseconds);
// Gives up the dump file held since installation, as when none could be made then: a crash makes
// its own.
void Breakpad_ReleaseHeldDumpForTesting();
