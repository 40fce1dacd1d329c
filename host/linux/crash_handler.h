// The crash handler: fatal signals write a dump file of our own format into a directory, then a
// thread made in advance runs the crash callback outside the signal context.
#pragma once
#include <cstdint>

// (context, dump directory, dump id, succeeded) -> 1 when the report was taken on.
typedef int64_t (*BreakpadCallback)(void* context, const char* dumpDirectory, const char* minidumpId,
                                    uint32_t succeeded);

// Installs the handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT (replacing an earlier
// installation) and starts the crash thread. 0 when the directory or the callback is missing.
int64_t Breakpad_Init(void* context, const char* dumpDirectory, BreakpadCallback callback);
// Puts the earlier handlers back and ends the crash thread. 1.
int64_t Breakpad_Remove();

// How long the crashed thread waits for the callback before the process ends all the same
// (a callback blocked on a lock the crashed thread held must not hang the process).
void Breakpad_SetCallbackWaitForTesting(int32_t milliseconds);
