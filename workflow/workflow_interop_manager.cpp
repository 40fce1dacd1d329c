// Script class "QVR.WorkflowManager": the methods page script calls on the process's workflow
// manager, each one manager operation.
#include "core/runtime/string.h"
#include "workflow/workflow_interop_internal.h"
#include "workflow/workflow_manager.h"
#include "workflow/workflow_manager_internal.h"

namespace {
constexpr auto H = ApiGen_MethodHash;
} // namespace

int64_t WorkflowManager_QueueAvailableTasksByWorkflow(const char* name, const char* workflow) {
    WorkflowManager* manager = GlobalWorkflowManager;
    if (!manager || manager->Worker || !name || !workflow) return 0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(manager->Available, &item); item;
         Dictionary_ItemGetNext(manager->Available, item, &item)) {
        const char* id = nullptr;
        Dictionary* list = nullptr;
        if (Dictionary_ItemGetKeyPtr(manager->Available, item, &id) && id && String_Compare(id, workflow) &&
            Dictionary_ItemCompareType(manager->Available, item, DICTIONARY_TYPE_LIST) &&
            Dictionary_ItemGetDictionaryHandle(manager->Available, item, &list) && WorkflowManager_ListHolds(list, name))
            return WorkflowManager_QueueTaskInterop(workflow, name);
    }
    return 0;
}

int64_t WorkflowManager_Invoke(void*, Dictionary* request, Dictionary* response) {
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, "WorkflowManager", &method, &hash)) return 0;
    WorkflowInteropCall c{request, response, "WorkflowManager", method};
    uint32_t flag = 0;
    int32_t count = 0;
    switch (hash) {
    case H("queueAvailableTasks"): {
        const char* name = c.String("name");
        return c.ReturnBoolean(c.Ok && WorkflowManager_QueueAvailableTasks(name));
    }
    case H("getMaximumActiveStateTasks"):
        WorkflowManager_GetMaximumActiveStateTasks(&count);
        return c.ReturnInt32(count);
    case H("setFlowControl"): {
        uint32_t value = c.Boolean("flowControl");
        return c.ReturnBoolean(c.Ok && WorkflowManager_SetFlowControl(value));
    }
    case H("getMaximumActiveTasks"):
        WorkflowManager_GetMaximumActiveTasks(&count);
        return c.ReturnInt32(count);
    case H("setProgress"): {
        const char* workflow = c.String("workflow");
        const char* name = c.String("name");
        int32_t progress = c.Int32("progress");
        return c.ReturnBoolean(c.Ok && WorkflowManager_SetProgressInterop(workflow, name, progress));
    }
    case H("setHardDependency"): {
        uint32_t value = c.Boolean("hardDependency");
        return c.ReturnBoolean(c.Ok && WorkflowManager_SetHardDependency(value));
    }
    case H("setMaximumActiveTasks"): {
        int32_t value = c.Int32("maximumActiveTasks");
        return c.ReturnBoolean(c.Ok && WorkflowManager_SetMaximumActiveTasks(value));
    }
    case H("runTask"): {
        const char* workflow = c.String("workflow");
        const char* name = c.String("name");
        return c.ReturnBoolean(c.Ok && WorkflowManager_RunTaskInterop(workflow, name));
    }
    case H("setQueueTaskNames"): {
        const char* names = c.String("queueTaskNames");
        return c.ReturnBoolean(c.Ok && WorkflowManager_SetQueueTaskNames(names));
    }
    case H("getHardDependency"):
        return c.ReturnBoolean(WorkflowManager_GetHardDependency(&flag) && flag);
    case H("getFlowControl"):
        return c.ReturnBoolean(WorkflowManager_GetFlowControl(&flag) && flag);
    case H("setProgressTaskNames"): {
        const char* names = c.String("progressTaskNames");
        return c.ReturnBoolean(c.Ok && WorkflowManager_SetProgressTaskNames(names));
    }
    case H("clearTaskAvailability"): {
        const char* workflow = c.String("workflow");
        return c.ReturnBoolean(c.Ok && WorkflowManager_ClearTaskAvailabilityInterop(workflow));
    }
    case H("setMaximumActiveStateTasks"): {
        int32_t value = c.Int32("maximumActiveStateTasks");
        return c.ReturnBoolean(c.Ok && WorkflowManager_SetMaximumActiveStateTasks(value));
    }
    case H("addDependency"): {
        const char* id = c.String("id");
        const char* dependency = c.String("dependencyId");
        return c.ReturnBoolean(c.Ok && WorkflowManager_AddDependency(id, dependency));
    }
    case H("queueAvailableTasksByWorkflow"): {
        const char* name = c.String("name");
        const char* workflow = c.String("workflow");
        return c.ReturnBoolean(c.Ok && WorkflowManager_QueueAvailableTasksByWorkflow(name, workflow));
    }
    case H("queueTaskWithMacros"): {
        const char* workflow = c.String("workflow");
        const char* name = c.String("name");
        const char* macros = c.String("macros");
        return c.ReturnBoolean(c.Ok && WorkflowManager_QueueTaskWithMacrosInterop(workflow, name, macros));
    }
    case H("getStateInterval"):
        WorkflowManager_GetStateInterval(&count);
        return c.ReturnInt32(count);
    case H("runTaskWithMacros"): {
        const char* workflow = c.String("workflow");
        const char* name = c.String("name");
        const char* macros = c.String("macros");
        return c.ReturnBoolean(c.Ok && WorkflowManager_RunTaskWithMacrosInterop(workflow, name, macros));
    }
    case H("setDependencyTaskNames"): {
        const char* names = c.String("dependencyTaskNames");
        return c.ReturnBoolean(c.Ok && WorkflowManager_SetDependencyTaskNames(names));
    }
    case H("unload"): {
        const char* callbackId = c.String("callbackId");
        return c.ReturnBoolean(c.Ok && WorkflowManager_UnloadInterop(callbackId));
    }
    case H("setTaskAvailability"): {
        const char* workflow = c.String("workflow");
        const char* name = c.String("name");
        uint32_t available = c.Boolean("available");
        return c.ReturnBoolean(c.Ok && WorkflowManager_SetTaskAvailabilityInterop(workflow, name, available));
    }
    case H("queueTask"): {
        const char* workflow = c.String("workflow");
        const char* name = c.String("name");
        return c.ReturnBoolean(c.Ok && WorkflowManager_QueueTaskInterop(workflow, name));
    }
    case H("setStateInterval"): {
        int32_t seconds = c.Int32("stateInterval");
        return c.ReturnBoolean(c.Ok && WorkflowManager_SetStateInterval(seconds));
    }
    case H("add"): {
        const char* json = c.String("json");
        const char* callbackId = c.String("callbackId");
        return c.ReturnBoolean(c.Ok && WorkflowManager_AddInterop(json, callbackId));
    }
    default:
        return 0;
    }
}
