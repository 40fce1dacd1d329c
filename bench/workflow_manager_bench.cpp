// WorkflowManager costs: main-loop passes until every one of n registered workflows has run its
// "state" task (four at a time), and the time of a manager pass while 50 loaded workflows are
// idle, both the usual pass that finds nothing due and the once-a-second pass that looks at
// every table. There is no peer to run beside: the budgets are passes and times.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "workflow/task.h"
#include "workflow/workflow.h"
#include "workflow/workflow_manager_internal.h"

namespace {

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

// The bench's task type: completes when its start is delivered.
struct Instance {
    Task* Owner;
    char TaskId[40];
};
int64_t OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    Task_Complete(static_cast<Instance*>(user)->Owner, nullptr);
    return 1;
}
int64_t Create(void** out, Task* task) {
    Instance* instance = static_cast<Instance*>(Memory_AllocZero(sizeof(Instance)));
    instance->Owner = task;
    Task_GetInstanceId(task, instance->TaskId, sizeof(instance->TaskId));
    NotificationCenter_AddInstanceObserver("Task", "Start", instance->TaskId, instance, OnStart);
    *out = instance;
    return 1;
}
int64_t AddRef(void*) {
    return 1;
}
int64_t Release(void** handle) {
    Instance* instance = static_cast<Instance*>(*handle);
    *handle = nullptr;
    if (!instance) return 0;
    NotificationCenter_RemoveInstanceObserver("Task", "Start", instance->TaskId, instance, OnStart);
    Memory_Free(instance, sizeof(Instance));
    return 1;
}
const TaskInterface kStep = {"Step", Create, AddRef, Release};

void Init() {
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

int g_states = 0;
int64_t OnEventEnd(void*, const char*, const char*, const char*, Dictionary* info) {
    const char* name = nullptr;
    if (info && Dictionary_GetStringPtrByKey(info, "name", &name) && name && std::string(name) == "state") g_states++;
    return 1;
}

void Pass() {
    NotificationCenter_Process();
    WorkflowManager_Process();
}

// A global workflow registered as a run registers it, with its "load" running.
Workflow* Add() {
    Workflow* workflow = nullptr;
    Workflow_Create(&workflow);
    Workflow_SetPrintCallback(workflow, nullptr, Quiet);
    Workflow_RegisterTaskHandler(workflow, &kStep);
    const char* document = R"({"load": {"type": "Step"}, "state": {"type": "Step"}, "install": {"type": "Step"}})";
    Workflow_LoadBuffer(workflow, document, (int32_t)std::string(document).size());
    Workflow_SetGlobal(workflow, 1);
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_SetStringByKey(info, "workflow", WorkflowManager_IdOf(workflow));
    Dictionary_AddDictionary(info, "arguments", nullptr, nullptr);
    NotificationCenter_Fire("WorkflowRun", "RunStart", "bench", info);
    Dictionary_Release(&info);
    Workflow_RunTask(workflow, "load", nullptr, nullptr, nullptr);
    return workflow;
}

// n workflows loaded until each has run "state"; the passes that took.
int LoadAll(int count, std::vector<Workflow*>& out) {
    const int target = g_states + count;
    for (int i = 0; i < count; i++) out.push_back(Add());
    int passes = 0;
    while (g_states < target && passes < 100000) {
        Pass();
        passes++;
    }
    return passes;
}

void Unload(std::vector<Workflow*>& workflows) {
    WorkflowManager_Remove();
    for (Workflow*& workflow : workflows) Workflow_Release(&workflow);
    for (int i = 0; i < 20; i++) NotificationCenter_Process();
    Interop_Process();
    workflows.clear();
}

void BM_StateTasks(benchmark::State& state) {
    Init();
    NotificationCenter_AddObserver("WorkflowEvent", "Complete", nullptr, OnEventEnd);
    const int count = (int)state.range(0);
    int passes = 0;
    int runs = 0;
    for (auto _ : state) {
        WorkflowManager_Init();
        std::vector<Workflow*> workflows;
        passes += LoadAll(count, workflows);
        runs++;
        state.PauseTiming();
        Unload(workflows);
        state.ResumeTiming();
    }
    NotificationCenter_RemoveObserver("WorkflowEvent", "Complete", nullptr, OnEventEnd);
    state.counters["passes"] = (double)passes / runs;
    state.counters["passes_per_workflow"] = (double)passes / runs / count;
    std::printf("%d workflows: %.1f passes until every state task ran (%.2f per workflow)\n", count,
                (double)passes / runs, (double)passes / runs / count);
}
BENCHMARK(BM_StateTasks)->Arg(10)->Arg(50)->Arg(200)->Unit(benchmark::kMillisecond);

// A manager pass with 50 idle workflows; with Arg 1 every pass is the full once-a-second one.
void BM_IdlePass(benchmark::State& state) {
    Init();
    NotificationCenter_AddObserver("WorkflowEvent", "Complete", nullptr, OnEventEnd);
    WorkflowManager_Init();
    std::vector<Workflow*> workflows;
    LoadAll(50, workflows);
    for (int i = 0; i < 20; i++) Pass();
    const bool full = state.range(0) == 1;
    for (auto _ : state) {
        if (full) GlobalWorkflowManager->LastPass -= 2.0;
        WorkflowManager_Process();
    }
    Unload(workflows);
    NotificationCenter_RemoveObserver("WorkflowEvent", "Complete", nullptr, OnEventEnd);
}
BENCHMARK(BM_IdlePass)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace
