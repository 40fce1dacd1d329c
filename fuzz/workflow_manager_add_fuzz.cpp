// Feeds arbitrary add information to the WorkflowManager: the text is added as JSON, every run it
// asks for is started as the engine starts one (its arguments reaching the add callback: ids,
// dependencies, priorities), and the workflows are then queued, walked along their dependencies
// and driven by processing passes before the manager is removed.
#include <cstdint>
#include <cstring>
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

// At most this many runs per input are started.
constexpr size_t kMaxRuns = 8;

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

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

std::vector<Workflow*> g_workflows;

// The engine's run service in small: a workflow per asked run, announced with the run's
// arguments, then its "load".
int64_t OnRunStart(void*, const char*, const char*, const char*, Dictionary* info) {
    if (g_workflows.size() >= kMaxRuns || !info) return 1;
    Workflow* workflow = nullptr;
    Workflow_Create(&workflow);
    Workflow_SetPrintCallback(workflow, nullptr, Quiet);
    Workflow_RegisterTaskHandler(workflow, &kStep);
    static const char document[] = R"({"load": {"type": "Step"}, "state": {"type": "Step"},
        "install": {"type": "Step"}, "uninstall": {"type": "Step"}, "unload": {"type": "Step"}})";
    Workflow_LoadBuffer(workflow, document, (int32_t)sizeof(document) - 1);
    Workflow_SetGlobal(workflow, 1);
    g_workflows.push_back(workflow);
    Dictionary* run = nullptr;
    Dictionary_Create(&run);
    Dictionary_SetStringByKey(run, "task", "fuzz");
    Dictionary_SetStringByKey(run, "workflow", WorkflowManager_IdOf(workflow));
    Dictionary* arguments = nullptr;
    Dictionary_AddDictionary(run, "arguments", &arguments, nullptr);
    Dictionary_Merge(arguments, info, DICTIONARY_MERGE_OVERWRITE);
    NotificationCenter_Fire("WorkflowRun", "RunStart", "fuzz", run);
    Dictionary_Release(&run);
    Workflow_RunTask(workflow, "load", nullptr, nullptr, nullptr);
    return 1;
}

int64_t OnAdded(void*, void*) {
    return 1;
}

void Passes(int count) {
    for (int i = 0; i < count; i++) {
        NotificationCenter_Process();
        if (GlobalWorkflowManager) GlobalWorkflowManager->LastPass -= 2.0;
        WorkflowManager_Process();
    }
}

int64_t Visit(const char*, const char*, Workflow*) {
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = false;
    if (!started) {
        started = true;
        Debug_Init(nullptr, nullptr, DEBUG_FLAG_EXTERNAL_PRINT);
        Debug_PrintOverride([](const char*) -> int64_t { return 1; });
        Thread_Init();
        EventQueue_Init();
        Interop_Init();
        NotificationCenter_Init();
        Authenticate_Init();
        NotificationCenter_AddObserver("WorkflowRun", "Start", nullptr, OnRunStart);
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    WorkflowManager_Init();
    WorkflowManager_AddJSON(text.c_str(), nullptr, OnAdded);
    Passes(12);
    for (Workflow* workflow : g_workflows) {
        WorkflowManager_SetTaskAvailability(workflow, "install", 1);
        for (int mode = 1; mode <= 3; mode++) WorkflowManager_WalkDependencyChain(workflow, mode, "install", Visit);
    }
    WorkflowManager_SetHardDependency(1);
    WorkflowManager_QueueAvailableTasks("install");
    for (Workflow* workflow : g_workflows) WorkflowManager_QueueTask(workflow, "uninstall");
    Passes(20);
    WorkflowManager_Remove();
    for (Workflow*& workflow : g_workflows) {
        Workflow_CancelTasks(workflow);
        Workflow_Release(&workflow);
    }
    g_workflows.clear();
    for (int i = 0; i < 8; i++) NotificationCenter_Process();
    Interop_Process();
    return 0;
}
