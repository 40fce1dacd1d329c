// Which task runs in which workflow and which task ran which workflow, kept from the engine's own
// notifications, with the queries over those links and the analytics event of a finished task.
#include <cstring>

#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/string.h"
#include "core/web/analytics.h"
#include "workflow/task.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app_internal.h"

namespace {

enum : int32_t {
    kTaskNameSize = 240,
    kIdSize = 40,
    kNameSize = 320,
    // Links come from notifications, also a peer's: a chain that loops must not recurse for ever.
    kMaxDepth = 64,
};

bool IsRemote(Dictionary* info) {
    uint32_t remote = 0;
    return info && Dictionary_GetBooleanByKey(info, "isRemote", &remote) && remote;
}

// The text under the key, or null when there is none.
const char* Lookup(Dictionary* dict, const char* key) {
    const char* text = nullptr;
    if (!dict || !key || !Dictionary_GetStringPtrByKey(dict, key, &text)) return nullptr;
    return text;
}

bool SameName(const char* a, const char* b) {
    return a && b && String_CompareWithoutCase(a, b);
}

bool CopyText(Dictionary* info, const char* key, char* buffer, int32_t capacity) {
    const char* text = Lookup(info, key);
    if (!text) return false;
    String_CopyLength(buffer, text, capacity);
    return true;
}

int64_t TaskInWorkflow(WorkflowApp* app, const char* taskId, const char* workflow, uint32_t recursive, int32_t depth) {
    const char* own = Lookup(app->TaskWorkflows, taskId);
    if (!own) return 0;
    if (SameName(own, workflow)) return 1;
    if (!recursive || depth >= kMaxDepth) return 0;
    const char* runner = Lookup(app->WorkflowRunners, own);
    if (!runner) return 0;
    return TaskInWorkflow(app, runner, workflow, recursive, depth + 1);
}

int64_t WorkflowInWorkflow(WorkflowApp* app, const char* workflow, const char* outer, int32_t depth) {
    if (SameName(workflow, outer)) return 1;
    if (depth >= kMaxDepth) return 0;
    const char* runner = Lookup(app->WorkflowRunners, workflow);
    if (!runner) return 0;
    const char* parent = Lookup(app->TaskWorkflows, runner);
    if (!parent) return 0;
    return WorkflowInWorkflow(app, parent, outer, depth + 1);
}

int64_t WorkflowByTaskId(WorkflowApp* app, const char* taskId, uint32_t recursive, char* buffer, int32_t capacity,
                         int32_t depth) {
    const char* own = Lookup(app->TaskWorkflows, taskId);
    if (!own) return 0;
    String_CopyLength(buffer, own, capacity);
    if (!recursive || depth >= kMaxDepth) return 1;
    const char* runner = Lookup(app->WorkflowRunners, own);
    if (!runner) return 1;
    char outer[kNameSize] = "";
    const int64_t result = WorkflowByTaskId(app, runner, recursive, outer, sizeof(outer), depth + 1);
    if (result && outer[0] != 0 && !SameName(outer, "Global")) String_CopyLength(buffer, outer, capacity);
    return result;
}

void ClearOut(char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
}

void SendTaskEvent(Task* task) {
    Dictionary* event = nullptr;
    Dictionary_Create(&event);
    const char* name = nullptr;
    Task_GetNamePtr(task, &name);
    Dictionary_SetStringByKey(event, "taskName", name ? name : "");
    double elapsed = 0;
    Task_GetTimeElapsed(task, &elapsed);
    Dictionary_SetFloat64ByKey(event, "elapsedTime", elapsed);
    const uint32_t cancelled = Task_IsCancelled(task) ? 1 : 0;
    uint32_t errors = 0;
    Task_GetErrorCount(task, &errors);
    Dictionary_SetBooleanByKey(event, "cancelled", cancelled);
    Dictionary_SetBooleanByKey(event, "successful", !cancelled && errors == 0);

    // The definition with macros and task paths expanded; the copy keeps the task's own intact.
    Dictionary* definition = nullptr;
    Dictionary_Create(&definition);
    if (Dictionary* own = Task_GetDictionaryHandle(task)) {
        uint32_t privateKeys = 0;
        Dictionary_GetPrivateKeys(own, &privateKeys);
        Dictionary_SetPrivateKeys(definition, privateKeys);
        Dictionary_Merge(definition, own, DICTIONARY_MERGE_OVERWRITE);
    }
    Task_ExpandDictionary(task, definition);
    Dictionary* arguments = nullptr;
    Dictionary_EnsureDictionary(event, "arguments", nullptr, &arguments);
    Dictionary_Merge(arguments, definition, DICTIONARY_MERGE_OVERWRITE | DICTIONARY_MERGE_SKIP_PRIVATE);
    Dictionary_Release(&definition);

    Dictionary* status = nullptr;
    Dictionary_EnsureDictionary(event, "status", nullptr, &status);
    if (Dictionary* own = Task_GetStatusDictionaryHandle(task))
        Dictionary_Merge(status, own, DICTIONARY_MERGE_OVERWRITE | DICTIONARY_MERGE_SKIP_PRIVATE);

    Dictionary* analytics = nullptr;
    Dictionary_EnsureDictionary(event, "analytics", nullptr, &analytics);
    Dictionary* shared = nullptr;
    if (Workflow* workflow = Task_GetWorkflowHandle(task))
        if (Workflow_GetAnalyticsDictionaryHandle(workflow, &shared) && shared)
            Dictionary_Merge(analytics, shared, DICTIONARY_MERGE_SKIP_PRIVATE);

    Analytics_SendEvent(Task_GetType(task), event);
    Dictionary_Release(&event);
}

} // namespace

// ---- Notification handlers ---------------------------------------------------------------------

int64_t WorkflowApp_Notification_OnTaskStart(void* user, const char*, const char*, const char* instance,
                                             Dictionary* info) {
    WorkflowApp* app = static_cast<WorkflowApp*>(user);
    char name[kTaskNameSize];
    char workflow[kIdSize];
    if (!instance || !CopyText(info, "name", name, sizeof(name)) || !CopyText(info, "workflow", workflow, sizeof(workflow)))
        return 0;
    Dictionary_SetStringByKey(app->RunningTasks, instance, name);
    // A task run on behalf of another task belongs to that task's workflow.
    if (const char* owner = Lookup(app->TaskWorkflows, workflow)) String_CopyLength(workflow, owner, sizeof(workflow));
    Dictionary_SetStringByKey(app->TaskWorkflows, instance, workflow);
    Dictionary* list = nullptr;
    if (!Dictionary_GetListByKey(app->WorkflowTaskLists, workflow, &list) || !list)
        Dictionary_AddList(app->WorkflowTaskLists, workflow, &list, nullptr);
    if (list) Dictionary_AddString(list, nullptr, instance, nullptr);
    return 1;
}

int64_t WorkflowApp_Notification_OnTaskComplete(void* user, const char*, const char*, const char* instance,
                                                Dictionary* info) {
    WorkflowApp* app = static_cast<WorkflowApp*>(user);
    if (!instance) return 0;
    Dictionary_RemoveByKey(app->RunningTasks, instance);
    // Building the event expands the whole definition: not worth it when nothing is sent.
    if (IsRemote(info) || !Analytics_IsEnabled()) return 1;
    void* object = Class_ConvertFromInstanceId(instance);
    if (!object || !Task_ValidHandle(object)) return 1;
    Task* task = static_cast<Task*>(object);
    uint32_t isPrivate = 0;
    Task_GetPrivate(task, &isPrivate);
    if (isPrivate) return 1;
    // The event is named after the task's type: a task whose type was taken off has none to name.
    const TaskInterface* record = nullptr;
    if (!Task_GetInterface(task, &record) || !record || !record->Name) return 1;
    SendTaskEvent(task);
    return 1;
}

int64_t WorkflowApp_Notification_OnWorkflowRun(void* user, const char*, const char*, const char*, Dictionary* info) {
    WorkflowApp* app = static_cast<WorkflowApp*>(user);
    char task[kIdSize];
    char workflow[kIdSize];
    if (!CopyText(info, "task", task, sizeof(task)) || !CopyText(info, "workflow", workflow, sizeof(workflow))) return 0;
    Dictionary_SetStringByKey(app->WorkflowRunners, workflow, task);
    return 1;
}

int64_t WorkflowApp_Notification_OnWorkflowEventComplete(void* user, const char*, const char*, const char*,
                                                         Dictionary* info) {
    WorkflowApp* app = static_cast<WorkflowApp*>(user);
    const char* name = Lookup(info, "name");
    const char* workflow = Lookup(info, "workflow");
    if (!name || !workflow) return 0;
    Dictionary* list = nullptr;
    if (Dictionary_GetListByKey(app->WorkflowTaskLists, workflow, &list) && list) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
            const char* taskId = nullptr;
            int32_t length = 0;
            Dictionary_ItemGetBufferPtr(list, item, &taskId, &length);
            if (taskId) Dictionary_RemoveByKey(app->TaskWorkflows, taskId);
        }
        Dictionary_RemoveByKey(app->WorkflowTaskLists, workflow);
    }
    if (IsRemote(info)) Dictionary_RemoveByKey(app->TaskWorkflows, workflow);
    if (String_Compare(name, "unload")) Dictionary_RemoveByKey(app->WorkflowRunners, workflow);
    Dictionary* global = nullptr;
    if (Dictionary_GetListByKey(app->WorkflowRunners, "Global", &global) && global) {
        DictionaryItem* item = nullptr;
        Dictionary_ItemGetFirst(global, &item);
        while (item) {
            DictionaryItem* next = nullptr;
            Dictionary_ItemGetNext(global, item, &next);
            const char* text = nullptr;
            Dictionary_ItemGetBufferPtr(global, item, &text, nullptr);
            if (text && String_Compare(text, workflow)) Dictionary_Remove(global, &item);
            item = next;
        }
    }
    return 1;
}

// ---- Queries ------------------------------------------------------------------------------------

int64_t WorkflowApp_IsTaskInWorkflow(const char* taskId, const char* workflow, uint32_t recursive) {
    WorkflowApp* app = GlobalWorkflowApp;
    if (!app || !taskId || !workflow) return 0;
    return TaskInWorkflow(app, taskId, workflow, recursive, 0);
}

int64_t WorkflowApp_IsWorkflowInWorkflow(const char* workflow, const char* outer) {
    WorkflowApp* app = GlobalWorkflowApp;
    if (!app || !workflow || !outer) return 0;
    return WorkflowInWorkflow(app, workflow, outer, 0);
}

int64_t WorkflowApp_IsWorkflowRemote(const char* workflow) {
    WorkflowApp* app = GlobalWorkflowApp;
    if (!app || !workflow) return 0;
    return Lookup(app->WorkflowRunners, workflow) ? 1 : 0;
}

int64_t WorkflowApp_GetWorkflowByTaskId(const char* taskId, uint32_t recursive, char* buffer, int32_t capacity) {
    ClearOut(buffer, capacity);
    WorkflowApp* app = GlobalWorkflowApp;
    if (!app || !taskId || capacity < 1) return 0;
    return WorkflowByTaskId(app, taskId, recursive, buffer, capacity, 0);
}

int64_t WorkflowApp_GetRootWorkflow(const char* workflow, char* buffer, int32_t capacity) {
    ClearOut(buffer, capacity);
    WorkflowApp* app = GlobalWorkflowApp;
    if (!app || !workflow || capacity < 1) return 0;
    String_CopyLength(buffer, workflow, capacity);
    const char* runner = Lookup(app->WorkflowRunners, workflow);
    if (!runner) return 1;
    char outer[kNameSize] = "";
    const int64_t result = WorkflowByTaskId(app, runner, 1, outer, sizeof(outer), 1);
    if (result && outer[0] != 0 && !SameName(outer, "Global")) String_CopyLength(buffer, outer, capacity);
    return result;
}

int64_t WorkflowApp_GetRemoteWorkflow(const char* workflow, char* buffer, int32_t capacity) {
    ClearOut(buffer, capacity);
    WorkflowApp* app = GlobalWorkflowApp;
    if (!app || !workflow || capacity < 1) return 0;
    Dictionary* list = nullptr;
    if (!Dictionary_GetListByKey(app->WorkflowTaskLists, workflow, &list) || !list) return 0;
    DictionaryItem* last = nullptr;
    if (!Dictionary_ItemGetLast(list, &last) || !last) return 0;
    const char* taskId = nullptr;
    Dictionary_ItemGetBufferPtr(list, last, &taskId, nullptr);
    if (!taskId) return 0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(app->WorkflowRunners, &item); item;
         Dictionary_ItemGetNext(app->WorkflowRunners, item, &item)) {
        const char* runner = nullptr;
        Dictionary_ItemGetBufferPtr(app->WorkflowRunners, item, &runner, nullptr);
        const char* ran = nullptr;
        if (runner && String_Compare(runner, taskId) && Dictionary_ItemGetKeyPtr(app->WorkflowRunners, item, &ran) &&
            ran) {
            String_CopyLength(buffer, ran, capacity);
            return 1;
        }
    }
    return 0;
}

int64_t WorkflowApp_PrintState() {
    WorkflowApp* app = GlobalWorkflowApp;
    if (!app) return 0;
    Log_Debug("Tracking Task/Workflow\n");
    Dictionary_Dump(app->TaskWorkflows);
    Log_Debug("Tracking Workflow/Task\n");
    Dictionary_Dump(app->WorkflowRunners);
    Log_Debug("Tracking Task GroupedBy Workflow\n");
    Dictionary_Dump(app->WorkflowTaskLists);
    return 1;
}
