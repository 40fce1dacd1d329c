// Worker tasks: one thread for one blocking task. The worker watches its task's start and cancel,
// runs the type's work on its own thread and hands the end of the work back to the main thread.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "core/runtime/thread.h"
#include "workflow/task.h"

struct WorkerTask;

enum : uint32_t {
    WORKERTASK_CLASS_ID = 0x675c5107,
    // The error identifier that the work hands back (319 characters and a terminator).
    WORKERTASK_ERROR_SIZE = 320,
};

// Start and cancel callbacks answer: start 0 = nothing to run (the complete callback follows at
// once), cancel 1 = the type ends the work and completes the task itself.
typedef uint32_t (*WorkerTaskStartCallback)(WorkerTask* worker, void* user);
typedef uint32_t (*WorkerTaskCancelCallback)(WorkerTask* worker, void* user);
// The blocking work, on the worker's thread.
typedef void (*WorkerTaskRunCallback)(WorkerTask* worker, void* user);
// The end of the work, on the main thread.
typedef void (*WorkerTaskCompleteCallback)(WorkerTask* worker, void* user);
// Starts the worker's thread; Thread_Begin unless a test replaces it.
typedef int64_t (*WorkerTaskThreadBeginFunc)(Thread** handle, void* parameter, ThreadFunc function);

int64_t WorkerTask_Create(WorkerTask** worker);
int64_t WorkerTask_AddRef(WorkerTask* worker);
int64_t WorkerTask_Release(WorkerTask** worker);
// Stops the process when the worker's thread has not been joined.
int64_t WorkerTask_Delete(WorkerTask** worker);
int64_t WorkerTask_GetInstanceId(WorkerTask* worker, char* buffer, int32_t capacity);

// Binds the task (null unbinds): the task's cancel is delayed, and its start and cancel reach the
// worker.
int64_t WorkerTask_SetTaskHandle(WorkerTask* worker, Task* task);
int64_t WorkerTask_SetStartCallback(WorkerTask* worker, void* user, WorkerTaskStartCallback function);
int64_t WorkerTask_SetRunCallback(WorkerTask* worker, void* user, WorkerTaskRunCallback function);
int64_t WorkerTask_SetCancelCallback(WorkerTask* worker, void* user, WorkerTaskCancelCallback function);
int64_t WorkerTask_SetCompleteCallback(WorkerTask* worker, void* user, WorkerTaskCompleteCallback function);

// Tells the thread to exit and waits for it without limit; 1 also when there is no thread.
int64_t WorkerTask_Join(WorkerTask* worker);

// The error identifier, written by the work and read by the complete callback.
int64_t WorkerTask_SetError(WorkerTask* worker, const char* format, ...);
// "<prefix>_<name of code>", or "<prefix>_<code>" when a code other than 0 has no name.
int64_t WorkerTask_SetErrorFromTranslate(WorkerTask* worker, const char* prefix, uint32_t code,
                                         TaskTranslateFunc translate);
// 1 when an error is set.
int64_t WorkerTask_GetError(WorkerTask* worker, char* buffer, int32_t capacity);
// 1 when the task has the argument; else prints the key and sets "Task_Error_MissingArg".
int64_t WorkerTask_RequireArgument(WorkerTask* worker, const char* key);

// Replaces the thread start (null restores Thread_Begin), so that tests can make it fail.
int64_t WorkerTask_SetThreadBeginOverride(WorkerTaskThreadBeginFunc function);
