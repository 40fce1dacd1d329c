// The engine's interop library: which script class a name stands for, the object each instance
// adapts, task types whose work script does, and the engine's own command-line switches.
#include "workflow/workflow_interop.h"
#include "workflow/workflow_interop_internal.h"

#include "core/runtime/class.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "workflow/task.h"
#include "workflow/task_type.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_manager.h"

struct ScriptTask {
    Class Header;
    Task* TaskHandle;
};

namespace {

int64_t ReleaseWorkflow(void** context) {
    Workflow* workflow = static_cast<Workflow*>(*context);
    *context = nullptr;
    return workflow ? Workflow_Release(&workflow) : 0;
}

int64_t ReleaseTask(void** context) {
    Task* task = static_cast<Task*>(*context);
    *context = nullptr;
    return task ? Task_Release(&task) : 0;
}

int64_t DeleteScriptTask(void** handle) {
    return ScriptTask_Delete(handle);
}

bool IsClass(const char* className, const char* name) {
    return String_Compare(className, name) != 0;
}

// The live object of that kind behind the id, or null (logged).
void* ObjectOfKind(const char* id, const char* className, int64_t (*valid)(void*)) {
    void* object = id ? Class_ConvertFromInstanceId(id) : nullptr;
    if (object && valid(object)) return object;
    Log_Print(LOG_LEVEL_DEBUG, "Instance %s is not a type of %s\n", id ? id : "", className);
    return nullptr;
}

} // namespace

// ---- Library entry points -----------------------------------------------------------------------

int64_t WorkflowInterop_Init() {
    return 1;
}

int64_t WorkflowInterop_Remove() {
    return 1;
}

int64_t WorkflowInterop_SetOverride(const char*, void*) {
    return 1;
}

int64_t WorkflowInterop_SetOption(const char*, const char*) {
    return 1;
}

int64_t WorkflowInterop_CreateInstance(const char* className, char* id, int32_t idSize, void*, InteropExecuteFunc,
                                       InteropInvokeFunc* invoke, InteropReleaseFunc* release,
                                       InteropProcessFunc* process, void** userContext) {
    ASSERT_POINTER(invoke);
    ASSERT_POINTER(release);
    ASSERT_POINTER(process);
    ASSERT_POINTER(userContext);
    *invoke = nullptr;
    *release = nullptr;
    *process = nullptr;
    *userContext = nullptr;
    if (!className) return 0;
    if (IsClass(className, "QVR.Workflow")) {
        Workflow* workflow = static_cast<Workflow*>(ObjectOfKind(id, className, Workflow_ValidHandle));
        if (!workflow) return 0;
        Workflow_AddRef(workflow);
        *invoke = Workflow_Invoke;
        *release = ReleaseWorkflow;
        *userContext = workflow;
        return 1;
    }
    if (IsClass(className, "QVR.Task")) {
        Task* task = static_cast<Task*>(ObjectOfKind(id, className, Task_ValidHandle));
        if (!task) return 0;
        Task_AddRef(task);
        *invoke = Task_Invoke;
        *release = ReleaseTask;
        *userContext = task;
        return 1;
    }
    if (IsClass(className, "QVR.ScriptTaskHandler")) {
        *invoke = ScriptTaskHandler_Invoke;
        return 1;
    }
    if (IsClass(className, "QVR.WorkflowManager")) {
        // Without a manager there is no object for the instance to stand for.
        if (!id || idSize <= 0 || !WorkflowManager_GetInstanceId(id, idSize)) return 0;
        *invoke = WorkflowManager_Invoke;
        return 1;
    }
    if (IsClass(className, "QVR.WorkflowApp") || IsClass(className, "QVR.App")) {
        if (!id || idSize <= 0 || !WorkflowApp_IsInitialized() || !WorkflowApp_GetInstanceId(id, idSize)) return 0;
        *invoke = WorkflowApp_Invoke;
        return 1;
    }
    return 0;
}

// ---- Task types implemented in script -------------------------------------------------------------

int64_t ScriptTaskHandler_Register(const char* name) {
    TaskTypeList* list = nullptr;
    if (!name || !WorkflowApp_GetTaskTypeListHandle(&list) || !list) return 0;
    const TaskInterface record = {name, ScriptTask_Create, nullptr, ScriptTask_Release};
    return TaskTypeList_Add(list, &record);
}

int64_t ScriptTaskHandler_Unregister(const char* name) {
    TaskTypeList* list = nullptr;
    if (!name || !WorkflowApp_GetTaskTypeListHandle(&list) || !list) return 0;
    // Script takes back only what script added: the built-in types stay whatever it names.
    const TaskInterface* record = nullptr;
    if (!TaskTypeList_Find(list, name, &record) || !record || record->Create != ScriptTask_Create) return 0;
    return TaskTypeList_RemoveByName(list, name);
}

int64_t ScriptTaskHandler_IsRegistered(const char* name) {
    TaskTypeList* list = nullptr;
    const TaskInterface* record = nullptr;
    if (!name || !WorkflowApp_GetTaskTypeListHandle(&list) || !list) return 0;
    return TaskTypeList_Find(list, name, &record) && record ? 1 : 0;
}

int64_t ScriptTaskHandler_Invoke(void*, Dictionary* request, Dictionary* response) {
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, "ScriptTaskHandler", &method, &hash)) return 0;
    WorkflowInteropCall c{request, response, "ScriptTaskHandler", method};
    switch (hash) {
    case ApiGen_MethodHash("unregister"): {
        const char* name = c.String("name");
        return c.ReturnBoolean(c.Ok && ScriptTaskHandler_Unregister(name));
    }
    case ApiGen_MethodHash("register"): {
        const char* name = c.String("name");
        return c.ReturnBoolean(c.Ok && ScriptTaskHandler_Register(name));
    }
    default:
        return 0;
    }
}

int64_t ScriptTask_Create(void** instance, Task* task) {
    ASSERT_POINTER(instance);
    *instance = nullptr;
    ScriptTask* object = static_cast<ScriptTask*>(Memory_AllocZero(sizeof(ScriptTask)));
    object->Header.ClassId = SCRIPTTASK_CLASS_ID;
    object->Header.RefCount = 1;
    object->Header.Delete = DeleteScriptTask;
    Class_GenerateInstanceIdReal(object);
    Class_TrackInstance(object, object->Header.InstanceId, nullptr);
    // The task owns this object: holding a reference back would keep both alive for ever.
    object->TaskHandle = task;
    *instance = object;
    return 1;
}

int64_t ScriptTask_AddRef(void* instance) {
    CLASS_CHECK(instance, SCRIPTTASK_CLASS_ID);
    Class_AddRef(instance);
    return 1;
}

int64_t ScriptTask_Release(void** instance) {
    ASSERT_POINTER(instance);
    if (*instance == nullptr) return 0;
    CLASS_CHECK(*instance, SCRIPTTASK_CLASS_ID);
    Class_Release(instance);
    return 1;
}

int64_t ScriptTask_Delete(void** instance) {
    ASSERT_POINTER(instance);
    ScriptTask* object = static_cast<ScriptTask*>(*instance);
    if (!object) return 0;
    CLASS_CHECK(object, SCRIPTTASK_CLASS_ID);
    Class_UntrackInstance(object);
    object->Header.ClassId = 0;
    Memory_Free(object, sizeof(ScriptTask));
    *instance = nullptr;
    return 1;
}

Task* ScriptTask_GetTaskHandle(void* instance) {
    CLASS_CHECK(instance, SCRIPTTASK_CLASS_ID);
    return static_cast<ScriptTask*>(instance)->TaskHandle;
}

// ---- Command-line hand-over -------------------------------------------------------------------------

int64_t Workflow_ShouldRemoveSwitch(const char* name) {
    if (!name) return 0;
    for (const char* own : Workflow_SwitchFilterTable)
        if (String_Compare(name, own)) return 1;
    return 0;
}
