// Three small task types for tests that need a task to do something: one that completes as soon
// as it starts, one that fails, and one whose work blocks on a WorkerTask thread until the test
// opens its gate (or the thread is told to exit).
#pragma once

#include <atomic>
#include <cstring>
#include <new>

#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "workflow/task.h"
#include "workflow/worker_task.h"

namespace test_task_types {

// ---- Completes at once / fails ----------------------------------------------------------------

struct PlainInstance {
    Task* Owner;
    char TaskId[40];
    bool Fail;
};

inline int64_t PlainOnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    PlainInstance* instance = static_cast<PlainInstance*>(user);
    if (instance->Fail) Task_AddError(instance->Owner, "Test_Error_Failed");
    Task_Complete(instance->Owner, nullptr);
    return 1;
}

inline int64_t PlainCreate(void** out, Task* task, bool fail) {
    PlainInstance* instance = static_cast<PlainInstance*>(Memory_AllocZero(sizeof(PlainInstance)));
    instance->Owner = task;
    instance->Fail = fail;
    Task_GetInstanceId(task, instance->TaskId, sizeof(instance->TaskId));
    NotificationCenter_AddInstanceObserver("Task", "Start", instance->TaskId, instance, PlainOnStart);
    *out = instance;
    return 1;
}

inline int64_t ImmediateCreate(void** out, Task* task) {
    return PlainCreate(out, task, false);
}
inline int64_t FailingCreate(void** out, Task* task) {
    return PlainCreate(out, task, true);
}
// Instances are owned by their task alone.
inline int64_t PlainAddRef(void*) {
    return 1;
}
inline int64_t PlainRelease(void** handle) {
    PlainInstance* instance = static_cast<PlainInstance*>(*handle);
    *handle = nullptr;
    if (!instance) return 0;
    NotificationCenter_RemoveInstanceObserver("Task", "Start", instance->TaskId, instance, PlainOnStart);
    Memory_Free(instance, sizeof(PlainInstance));
    return 1;
}

// ---- Blocks on a worker thread ----------------------------------------------------------------

struct BlockingInstance {
    Task* Owner;
    WorkerTask* Worker;
    std::atomic<bool> Open;
    std::atomic<bool> Working;
    std::atomic<int> Runs;
    std::atomic<int> Completions;
};

// The work: waits for the gate; an exit request ends it with "Test_Error_Interrupted". A task
// with the argument "error" (a text) fails its work with that identifier.
inline void BlockingRun(WorkerTask* worker, void* user) {
    BlockingInstance* instance = static_cast<BlockingInstance*>(user);
    instance->Runs++;
    instance->Working = true;
    while (!instance->Open.load()) {
        if (Thread_WaitForExit(2)) {
            WorkerTask_SetError(worker, "Test_Error_Interrupted");
            break;
        }
    }
    instance->Working = false;
}

inline uint32_t BlockingStart(WorkerTask* worker, void* user) {
    BlockingInstance* instance = static_cast<BlockingInstance*>(user);
    char error[256];
    if (Task_GetStringArgument(instance->Owner, "error", error, sizeof(error))) WorkerTask_SetError(worker, "%s", error);
    return 1;
}

// The type's end of the work: the worker's error goes to the task, which then completes.
inline void BlockingComplete(WorkerTask* worker, void* user) {
    BlockingInstance* instance = static_cast<BlockingInstance*>(user);
    instance->Completions++;
    char error[WORKERTASK_ERROR_SIZE];
    if (WorkerTask_GetError(worker, error, sizeof(error))) Task_AddError(instance->Owner, "%s", error);
    Task_Complete(instance->Owner, nullptr);
}

inline int64_t BlockingCreate(void** out, Task* task) {
    BlockingInstance* instance = new (Memory_AllocZero(sizeof(BlockingInstance))) BlockingInstance();
    instance->Owner = task;
    WorkerTask_Create(&instance->Worker);
    WorkerTask_SetStartCallback(instance->Worker, instance, BlockingStart);
    WorkerTask_SetRunCallback(instance->Worker, instance, BlockingRun);
    WorkerTask_SetCompleteCallback(instance->Worker, instance, BlockingComplete);
    WorkerTask_SetTaskHandle(instance->Worker, task);
    *out = instance;
    return 1;
}

inline int64_t BlockingAddRef(void*) {
    return 1;
}
// Joins the worker (telling a still blocked run to stop) before deleting it.
inline int64_t BlockingRelease(void** handle) {
    BlockingInstance* instance = static_cast<BlockingInstance*>(*handle);
    *handle = nullptr;
    if (!instance) return 0;
    WorkerTask_Join(instance->Worker);
    WorkerTask_Release(&instance->Worker);
    instance->~BlockingInstance();
    Memory_Free(instance, sizeof(BlockingInstance));
    return 1;
}

// The BlockingInstance of a task bound to the blocking type, or null.
inline BlockingInstance* Blocking(Task* task) {
    void* instance = nullptr;
    Task_GetInterfaceHandle(task, &instance);
    return static_cast<BlockingInstance*>(instance);
}

} // namespace test_task_types

inline const TaskInterface TestImmediateTaskType = {"TestImmediate", test_task_types::ImmediateCreate,
                                                    test_task_types::PlainAddRef, test_task_types::PlainRelease};
inline const TaskInterface TestFailingTaskType = {"TestFailing", test_task_types::FailingCreate,
                                                  test_task_types::PlainAddRef, test_task_types::PlainRelease};
inline const TaskInterface TestBlockingTaskType = {"TestBlocking", test_task_types::BlockingCreate,
                                                   test_task_types::BlockingAddRef, test_task_types::BlockingRelease};
