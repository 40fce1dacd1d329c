// What the fuzz targets of the engine's own task types share: the runtime they need, two task
// types of the fuzzer's own ("Ok" reports the definition's "progress" and completes with its
// "result"; "Fail" fails), and a run of one task that ends, by cancelling, whatever still runs.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/runtime/class.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "workflow/task.h"
#include "workflow/workflow.h"

namespace engine_fuzz {

inline int64_t Quiet(void*, const char*, ...) {
    return 1;
}

struct Instance {
    Task* Owner;
    char TaskId[40];
    bool Fail;
};

inline int64_t OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    Instance* instance = static_cast<Instance*>(user);
    Task* task = instance->Owner;
    double progress = 0;
    if (Task_GetNumberArgument(task, "progress", &progress)) Task_SetProgress(task, progress);
    if (instance->Fail) Task_AddError(task, "Fuzz_Error_Failed");
    Dictionary* result = nullptr;
    Dictionary_GetDictionaryByKey(Task_GetDictionaryHandle(task), "result", &result);
    Task_Complete(task, result);
    return 1;
}

inline int64_t Create(void** out, Task* task, bool fail) {
    Instance* instance = static_cast<Instance*>(Memory_AllocZero(sizeof(Instance)));
    instance->Owner = task;
    instance->Fail = fail;
    Task_GetInstanceId(task, instance->TaskId, sizeof(instance->TaskId));
    NotificationCenter_AddInstanceObserver("Task", "Start", instance->TaskId, instance, OnStart);
    *out = instance;
    return 1;
}
inline int64_t CreateOk(void** out, Task* task) {
    return Create(out, task, false);
}
inline int64_t CreateFail(void** out, Task* task) {
    return Create(out, task, true);
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

inline const TaskInterface kOk = {"Ok", CreateOk, AddRef, Release};
inline const TaskInterface kFail = {"Fail", CreateFail, AddRef, Release};

inline std::vector<Task*>* g_tasks = nullptr;

inline int64_t OnCreate(void*, const char*, const char*, const char* instance, Dictionary*) {
    Task* task = static_cast<Task*>(Class_ConvertFromInstanceId(instance));
    if (g_tasks && task && Task_ValidHandle(task)) {
        Task_AddRef(task);
        g_tasks->push_back(task);
    }
    return 1;
}

inline void Pump(int passes) {
    for (int i = 0; i < passes; i++) NotificationCenter_Process();
}

inline void Init() {
    Class_Init();
    Thread_Init();
    EventQueue_Init();
    Interop_Init();
    NotificationCenter_Init();
    Authenticate_Init();
    NotificationCenter_AddObserver("Task", "Create", nullptr, OnCreate);
}

// A workflow with the built-in types and the fuzzer's own, printing nowhere.
inline Workflow* NewWorkflow() {
    Workflow* workflow = nullptr;
    Workflow_Create(&workflow);
    Workflow_SetPrintCallback(workflow, nullptr, Quiet);
    Workflow_RegisterDefaultTasks(workflow);
    Workflow_RegisterTaskHandler(workflow, &kOk);
    Workflow_RegisterTaskHandler(workflow, &kFail);
    return workflow;
}

// Runs `name` for a bounded number of passes, cancels what still runs and releases everything.
// A run left behind holding the workflow is a fault.
inline void RunAndEnd(Workflow* workflow, const char* name, int passes) {
    std::vector<Task*> tasks;
    g_tasks = &tasks;
    Workflow_RunTask(workflow, name, nullptr, nullptr, nullptr);
    Pump(passes);
    for (int round = 0; round < 4000; round++) {
        bool running = false;
        for (Task* task : tasks) {
            if (Task_IsCompleted(task)) continue;
            running = true;
            Task_Cancel(task);
        }
        if (!running && !Workflow_IsActivated(workflow)) break;
        Pump(1);
    }
    Pump(8);
    if (!Class_HasOneRef(workflow)) __builtin_trap();
    g_tasks = nullptr;
    Workflow_Release(&workflow);
    Pump(4);
    for (Task* task : tasks) Task_Release(&task);
    Pump(4);
}

} // namespace engine_fuzz
