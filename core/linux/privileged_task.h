// Runs a program with administrator rights once the user has authorised it (through pkexec), and
// follows it by the id of the broker's process, which pkexec replaces with the program.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/runtime/class.h"

enum : uint32_t { PRIVILEGED_TASK_CLASS_ID = 0x9E5F7C03 };

// Error codes: 0, or an authorisation status.
enum : int32_t {
    PRIVILEGED_TASK_ERROR_NONE = 0,
    PRIVILEGED_TASK_ERROR_PARAMETER = -50,      // more arguments than a launch can carry
    PRIVILEGED_TASK_ERROR_NO_PATH = -3221,      // no launch path was set
    PRIVILEGED_TASK_ERROR_DENIED = -60005,      // not authorised, or the broker failed
    PRIVILEGED_TASK_ERROR_CANCELED = -60006,    // the user dismissed the authorisation dialog
    PRIVILEGED_TASK_ERROR_INTERNAL = -60008,    // the broker ended without starting the program
    PRIVILEGED_TASK_ERROR_TOOL_FAILED = -60031, // the program or the broker could not be executed
};

// The most arguments a task carries (they were counted in 16 bits).
enum : int32_t { PRIVILEGED_TASK_MAX_ARGUMENTS = 32767 };

struct PrivilegedTask;

// Reference-counted: created with a count of 1; the last release deletes.
int64_t PrivilegedTask_Create(PrivilegedTask** task);
int64_t PrivilegedTask_AddRef(PrivilegedTask* task);
int64_t PrivilegedTask_Release(PrivilegedTask** task);
// Frees path and arguments, closes the output stream and clears the handle. A launched program
// goes on running; its end is collected in the background.
int64_t PrivilegedTask_Delete(PrivilegedTask** task);
int64_t PrivilegedTask_GetInstanceId(PrivilegedTask* task, char* buffer, int32_t size);

// Replace the previous values. A path longer than the system's path limit, or more than
// PRIVILEGED_TASK_MAX_ARGUMENTS arguments, answer false and keep the previous value (the error
// code then says why). A null argument list is an empty one.
int64_t PrivilegedTask_SetLaunchPath(PrivilegedTask* task, const char* path);
int64_t PrivilegedTask_SetArguments(PrivilegedTask* task, const char* const* arguments);

// Bytes the program finds on its standard input (a pipe closed after them); null or empty: the
// program inherits this process's standard input. The copy is wiped when replaced or deleted.
int64_t PrivilegedTask_SetInput(PrivilegedTask* task, const char* text);

// Starts the launch path (made absolute) with the arguments, each as one argument, through the
// broker at its fixed place, /usr/bin/pkexec (a regular root-owned executable that nobody else
// may write; never searched for on PATH), so that the authorisation names the program itself.
// The broker replaces itself with the program, which keeps the broker's id. True once the program
// runs, that is once the broker's process no longer bears the broker's name (or has ended under
// another); a broker that ends first answers false with its refusal. The stream is the program's
// standard output; the task keeps it and closes it when deleted (stream may be null). Launching
// again lets go of the previous launch first.
int64_t PrivilegedTask_LaunchWithOutputFile(PrivilegedTask* task, FILE** stream);
// The same with the stream kept by the task alone. Since nobody reads it, what the program writes
// there is passed on to this process's standard output whenever the task is asked whether it
// runs, and after the task is deleted by a thread that also collects the program's end.
int64_t PrivilegedTask_Launch(PrivilegedTask* task);

// The launched program's id, 0 before a launch.
int32_t PrivilegedTask_GetPID(PrivilegedTask* task);
// True while the program runs. Once it has ended, stores its exit code: the exit status, or minus
// the signal number that ended it; a wait that fails answers false with exit code 0.
int64_t PrivilegedTask_IsRunning(PrivilegedTask* task);
int64_t PrivilegedTask_GetExitCode(PrivilegedTask* task, int32_t* code);
int64_t PrivilegedTask_GetErrorCode(PrivilegedTask* task, int32_t* code);

namespace privileged_task_internal {
// Where the broker is started from: "/usr/bin/pkexec". Only tests point it at a stand-in, which
// must pass the same checks as the real one.
extern const char* BrokerPath;
} // namespace privileged_task_internal
