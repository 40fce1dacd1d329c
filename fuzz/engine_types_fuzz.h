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
#include "tests/support/engine_task_type.h"
#include "workflow/task.h"
#include "workflow/workflow.h"

namespace engine_fuzz {

using engine_task_type::Quiet;

inline void Start(Task* task, uint32_t fail) {
    double progress = 0;
    if (Task_GetNumberArgument(task, "progress", &progress)) Task_SetProgress(task, progress);
    if (fail) Task_AddError(task, "Fuzz_Error_Failed");
    Dictionary* result = nullptr;
    Dictionary_GetDictionaryByKey(Task_GetDictionaryHandle(task), "result", &result);
    Task_Complete(task, result);
}
inline int64_t CreateOk(void** out, Task* task) {
    return engine_task_type::Create(out, task, Start, 0);
}
inline int64_t CreateFail(void** out, Task* task) {
    return engine_task_type::Create(out, task, Start, 1);
}

inline const TaskInterface kOk = {"Ok", CreateOk, engine_task_type::AddRef, engine_task_type::Release};
inline const TaskInterface kFail = {"Fail", CreateFail, engine_task_type::AddRef, engine_task_type::Release};

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
