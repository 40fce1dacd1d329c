// A task type for the engine's tests, benches and fuzzers: each instance observes its task's
// start and hands the task to a function of the user's, with the flags its record's Create gave.
// "Step" is the plain one: it completes at once unless its "hold" argument is true.
#pragma once
#include <cstdint>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "workflow/task.h"

namespace engine_task_type {

typedef void (*StartFunc)(Task* task, uint32_t flags);

struct Instance {
    Task* Owner;
    char TaskId[40];
    uint32_t Flags;
    StartFunc Start;
};

inline int64_t OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    Instance* instance = static_cast<Instance*>(user);
    instance->Start(instance->Owner, instance->Flags);
    return 1;
}

inline int64_t Create(void** out, Task* task, StartFunc start, uint32_t flags) {
    Instance* instance = static_cast<Instance*>(Memory_AllocZero(sizeof(Instance)));
    instance->Owner = task;
    instance->Flags = flags;
    instance->Start = start;
    Task_GetInstanceId(task, instance->TaskId, sizeof(instance->TaskId));
    NotificationCenter_AddInstanceObserver("Task", "Start", instance->TaskId, instance, OnStart);
    *out = instance;
    return 1;
}

inline int64_t AddRef(void*) {
    return 1;
}

inline int64_t Release(void** handle) {
    Instance* instance = static_cast<Instance*>(*handle);
    *handle = nullptr;
    if (!instance) return 0;
    NotificationCenter_RemoveInstanceObserver("Task", "Start", instance->TaskId, instance, OnStart);
    Memory_Free(instance, sizeof(Instance));
    return 1;
}

inline void CompleteUnlessHeld(Task* task, uint32_t) {
    uint32_t hold = 0;
    if (!(Task_GetBooleanArgument(task, "hold", &hold) && hold)) Task_Complete(task, nullptr);
}

inline int64_t CreateStep(void** out, Task* task) {
    return Create(out, task, CompleteUnlessHeld, 0);
}

inline const TaskInterface kStep = {"Step", CreateStep, AddRef, Release};

// A print callback that drops the workflow's lines.
inline int64_t Quiet(void*, const char*, ...) {
    return 1;
}

// The runtime a bench or fuzzer needs under the engine, started once, its printing silenced.
inline void InitRuntimeOnce() {
    static bool done = false;
    if (done) return;
    done = true;
    Debug_Init(nullptr, nullptr, DEBUG_FLAG_EXTERNAL_PRINT);
    Debug_PrintOverride([](const char*) -> int64_t { return 1; });
    Thread_Init();
    EventQueue_Init();
    Interop_Init();
    NotificationCenter_Init();
    Authenticate_Init();
}

} // namespace engine_task_type
