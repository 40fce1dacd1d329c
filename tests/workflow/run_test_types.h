// Task types that the workflow run's tests put into every run's workflow (through the workflow's
// custom type registration): "Macro" sets its "keyValuePairs" as workflow macros; "Step" completes
// at once ("fail": true adds "Test_Error_Failed", "hold": true waits, "queueUnload": true queues the
// workflow's "unload" first).
#pragma once

#include "core/runtime/class.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "workflow/task.h"
#include "workflow/workflow.h"

namespace run_test_types {

struct Instance {
    Task* Owner;
    char TaskId[40];
    bool Macro;
};

inline int64_t OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    Instance* instance = static_cast<Instance*>(user);
    Task* task = instance->Owner;
    Workflow* workflow = Task_GetWorkflowHandle(task);
    uint32_t flag = 0;
    if (instance->Macro) {
        Dictionary* pairs = nullptr;
        Dictionary_GetDictionaryByKey(Task_GetDictionaryHandle(task), "keyValuePairs", &pairs);
        DictionaryItem* item = nullptr;
        if (pairs) Dictionary_ItemGetFirst(pairs, &item);
        for (; item && workflow; Dictionary_ItemGetNext(pairs, item, &item)) {
            const char* key = nullptr;
            const char* value = nullptr;
            Dictionary_ItemGetKeyPtr(pairs, item, &key);
            Dictionary_ItemGetStringPtr(pairs, item, &value);
            if (key) Workflow_AddMacro(workflow, key, value ? value : "");
        }
    } else {
        if (Task_GetBooleanArgument(task, "hold", &flag) && flag) return 1;
        if (Task_GetBooleanArgument(task, "fail", &flag) && flag) Task_AddError(task, "Test_Error_Failed");
        if (Task_GetBooleanArgument(task, "queueUnload", &flag) && flag && workflow)
            Workflow_QueueTask(workflow, "unload", nullptr, nullptr, nullptr);
    }
    Task_Complete(task, nullptr);
    return 1;
}

inline int64_t Create(void** out, Task* task, bool macro) {
    Instance* instance = static_cast<Instance*>(Memory_AllocZero(sizeof(Instance)));
    instance->Owner = task;
    instance->Macro = macro;
    Task_GetInstanceId(task, instance->TaskId, sizeof(instance->TaskId));
    NotificationCenter_AddInstanceObserver("Task", "Start", instance->TaskId, instance, OnStart);
    *out = instance;
    return 1;
}
inline int64_t CreateMacro(void** out, Task* task) {
    return Create(out, task, true);
}
inline int64_t CreateStep(void** out, Task* task) {
    return Create(out, task, false);
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

inline const TaskInterface MacroType = {"Macro", CreateMacro, AddRef, Release};
inline const TaskInterface StepType = {"Step", CreateStep, AddRef, Release};

inline int64_t OnRegister(void*, const char*, const char*, const char* instance, Dictionary*) {
    Workflow* workflow = static_cast<Workflow*>(Class_ConvertFromInstanceId(instance));
    if (!workflow || !Workflow_ValidHandle(workflow)) return 1;
    Workflow_RegisterTaskHandler(workflow, &MacroType);
    Workflow_RegisterTaskHandler(workflow, &StepType);
    return 1;
}

// Every workflow that registers its custom types from now on gets the two.
inline void Install() {
    NotificationCenter_AddObserver("Workflow", "RegisterTaskHandlers", nullptr, OnRegister);
}
inline void Uninstall() {
    NotificationCenter_RemoveObserver("Workflow", "RegisterTaskHandlers", nullptr, OnRegister);
}

} // namespace run_test_types
