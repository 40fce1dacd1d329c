// WorkflowEvent: runs or queues one task of a workflow by name, keeps the workflow activated
// while it runs and reports the task's completion; cancelling, the workflow's completion notice
// and the operation table.
#include <cstring>

#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"
#include "workflow/task_internal.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_internal.h"

struct WorkflowEvent {
    Class Header;
    Workflow* Workflow_; // referenced from the start until the event is freed
    Dictionary* Macros;
    char Name[TASK_NAME_SIZE];
    uint32_t Queued;
    uint32_t Waiting;
    double StartTime;
    double EndTime;
    Task* Parent; // referenced while the event holds it
    CallbackBase Callback;
    Task* Task_; // the running task, referenced until it completes
    uint32_t Started;
    uint32_t Observing; // bits of Watch
};

namespace {

enum Watch : uint32_t {
    kWatchReady = 1,
    kWatchWait = 2,
    kWatchStart = 4,
    kWatchComplete = 8,
    kWatchTaskStart = 16,
    kWatchTaskComplete = 32,
};

// The duration flags: weeks to milliseconds with short labels.
constexpr uint32_t kDurationFields = 508;


struct WatchEntry {
    Watch bit;
    const char* type;
    const char* name;
    NotificationObserverCallback callback;
};
constexpr WatchEntry kWatches[] = {
    {kWatchReady, "WorkflowEvent", "Ready", WorkflowEvent_Notification_OnReady},
    {kWatchWait, "WorkflowEvent", "Wait", WorkflowEvent_Notification_OnWait},
    {kWatchStart, "WorkflowEvent", "Start", WorkflowEvent_Notification_OnStart},
    {kWatchComplete, "WorkflowEvent", "Complete", WorkflowEvent_Notification_OnComplete},
    {kWatchTaskStart, "Task", "Start", Workflow_Notification_OnTaskStart},
    {kWatchTaskComplete, "Task", "Complete", Workflow_Notification_OnTaskComplete},
};

const char* WatchedInstance(WorkflowEvent* event, const WatchEntry& entry) {
    return entry.bit >= kWatchTaskStart ? reinterpret_cast<const char*>(event->Task_) : event->Header.InstanceId;
}

void SetWatch(WorkflowEvent* event, Watch bit, bool on) {
    if (((event->Observing & bit) != 0) == on) return;
    for (const WatchEntry& entry : kWatches) {
        if (entry.bit != bit) continue;
        if (on)
            NotificationCenter_AddInstanceObserver(entry.type, entry.name, WatchedInstance(event, entry), event,
                                                   entry.callback);
        else
            NotificationCenter_RemoveInstanceObserver(entry.type, entry.name, WatchedInstance(event, entry), event,
                                                      entry.callback);
    }
    event->Observing = on ? event->Observing | bit : event->Observing & ~bit;
}

int64_t DeleteHandle(void** handle) {
    return WorkflowEvent_Delete(reinterpret_cast<WorkflowEvent**>(handle));
}

// {"name", "workflow"} of the event.
Dictionary* NameAndWorkflow(WorkflowEvent* event) {
    Dictionary* dict = nullptr;
    if (!Dictionary_Create(&dict)) return nullptr;
    Dictionary_SetStringByKey(dict, "name", event->Name);
    Dictionary_SetStringByKey(dict, "workflow", event->Workflow_->Header.InstanceId);
    return dict;
}

void FireEdge(Workflow* workflow, const char* name) {
    Dictionary* dict = nullptr;
    if (!Dictionary_Create(&dict)) return;
    Dictionary_SetStringByKey(dict, "sender", workflow->RemoteInstanceId);
    NotificationCenter_Fire("Workflow", name, workflow->Header.InstanceId, dict);
    Dictionary_Release(&dict);
}

} // namespace

int64_t WorkflowEvent_Ready(WorkflowEvent* event) {
    Workflow* workflow = event->Workflow_;
    workflow->ReadyEvents++;
    Workflow_Print(workflow, "Event %s ready", event->Name);
    Dictionary* dict = NameAndWorkflow(event);
    NotificationCenter_FireAfterDelay("WorkflowEvent", "Ready", event->Header.InstanceId, 0, dict);
    Dictionary_Release(&dict);
    return 1;
}

namespace {

void FireWait(WorkflowEvent* event, int32_t delayMs) {
    Dictionary* dict = nullptr;
    if (!Dictionary_Create(&dict)) return;
    Dictionary_SetStringByKey(dict, "name", event->Name);
    Dictionary_SetBooleanByKey(dict, "canRemote", 0);
    NotificationCenter_FireAfterDelay("WorkflowEvent", "Wait", event->Header.InstanceId, delayMs, dict);
    Dictionary_Release(&dict);
}

// The first key of the queue, or null when the queue is empty.
DictionaryItem* FirstQueued(Workflow* workflow, const char** key) {
    *key = nullptr;
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(workflow->Queue, &item);
    // An empty name may be kept as an unnamed item; it still stands for that name.
    if (item && !(Dictionary_ItemGetKeyPtr(workflow->Queue, item, key) && *key)) *key = "";
    return item;
}

} // namespace

int64_t WorkflowEvent_Notification_OnWait(void* user, const char*, const char*, const char*, Dictionary*) {
    WorkflowEvent* event = static_cast<WorkflowEvent*>(user);
    if (!event->Waiting) return 1;
    Workflow* workflow = event->Workflow_;
    const char* first = nullptr;
    DictionaryItem* item = FirstQueued(workflow, &first);
    if (!Workflow_IsActivated(workflow) && (!item || String_CompareWithoutCaseReturn(first, event->Name) == 0)) {
        workflow->Cancelled = 0;
        event->Waiting = 0;
        SetWatch(event, kWatchWait, false);
        // Our own key is the first whose name matches: it was added when we began to wait.
        for (DictionaryItem* entry = item; entry; Dictionary_ItemGetNext(workflow->Queue, entry, &entry)) {
            const char* key = nullptr;
            if (!Dictionary_ItemGetKeyPtr(workflow->Queue, entry, &key) || !key) key = "";
            if (String_CompareWithoutCaseReturn(key, event->Name) == 0) {
                Dictionary_Remove(workflow->Queue, &entry);
                break;
            }
        }
        WorkflowEvent_Ready(event);
        return 1;
    }
    if (String_CompareWithoutCaseReturn(event->Name, "unload") == 0) Workflow_CancelTasks(workflow);
    FireWait(event, WORKFLOWEVENT_WAIT_MS);
    return 1;
}

int64_t WorkflowEvent_Notification_OnReady(void* user, const char*, const char*, const char*, Dictionary*) {
    WorkflowEvent* event = static_cast<WorkflowEvent*>(user);
    SetWatch(event, kWatchReady, false);
    SetWatch(event, kWatchStart, true);
    SetWatch(event, kWatchComplete, true);
    event->StartTime = Time_GetCurrent();
    Dictionary* dict = NameAndWorkflow(event);
    NotificationCenter_FireAfterDelay("WorkflowEvent", "Start", event->Header.InstanceId, 0, dict);
    Dictionary_Release(&dict);
    return 1;
}

int64_t WorkflowEvent_Notification_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    WorkflowEvent* event = static_cast<WorkflowEvent*>(user);
    Workflow* workflow = event->Workflow_;
    SetWatch(event, kWatchStart, false);
    if (workflow->RunningEvents == 0) FireEdge(workflow, "Activate");
    workflow->RunningEvents++;
    if (workflow->ReadyEvents > 0) workflow->ReadyEvents--;
    Task* task = nullptr;
    if (!Workflow_CreateTaskWithMacros(workflow, event->Name, nullptr, event->Macros, event->Parent, &task) || !task) {
        Dictionary* dict = nullptr;
        if (!Dictionary_Create(&dict)) return 1;
        Dictionary_SetBooleanByKey(dict, "successful", 0);
        WorkflowEvent_Complete(event, dict);
        Dictionary_Release(&dict);
        return 1;
    }
    Task_AddRef(task);
    event->Task_ = task;
    SetWatch(event, kWatchTaskStart, true);
    SetWatch(event, kWatchTaskComplete, true);
    Task_Start(task);
    return 1;
}

int64_t Workflow_Notification_OnTaskStart(void* user, const char*, const char*, const char*, Dictionary*) {
    SetWatch(static_cast<WorkflowEvent*>(user), kWatchTaskStart, false);
    return 1;
}

int64_t Workflow_Notification_OnTaskComplete(void* user, const char*, const char*, const char*, Dictionary* info) {
    WorkflowEvent* event = static_cast<WorkflowEvent*>(user);
    SetWatch(event, kWatchTaskStart, false);
    SetWatch(event, kWatchTaskComplete, false);
    Dictionary* copy = nullptr;
    if (!Dictionary_Create(&copy)) return 1;
    if (info) Dictionary_Merge(copy, info, DICTIONARY_MERGE_OVERWRITE);
    if (WorkflowApp_IsShuttingDown()) Dictionary_SetBooleanByKey(copy, "shutdown", 1);
    WorkflowEvent_Complete(event, copy);
    Dictionary_Release(&copy);
    Task* task = event->Task_;
    event->Task_ = nullptr;
    Workflow_ClearTasksByHandle(event->Workflow_, task);
    Task_Release(&task);
    return 1;
}

int64_t WorkflowEvent_Notification_OnComplete(void* user, const char*, const char*, const char*, Dictionary*) {
    WorkflowEvent* event = static_cast<WorkflowEvent*>(user);
    Workflow* workflow = event->Workflow_;
    SetWatch(event, kWatchComplete, false);
    if (workflow->RunningEvents > 0 && --workflow->RunningEvents == 0) FireEdge(workflow, "Deactivate");
    WorkflowEvent_Release(&event);
    return 1;
}

namespace {

// Creates and starts an event for the run and queue operations.
int64_t StartEvent(Workflow* workflow, const char* name, Dictionary* macros, Task* parent, void* user,
                   WorkflowEventCompleteCallback function, uint32_t queued) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(name);
    WorkflowEvent* event = nullptr;
    if (!WorkflowEvent_Create(&event)) return 0;
    WorkflowEvent_SetWorkflowHandle(event, workflow);
    if (macros) {
        WorkflowEvent_SetMacroDictionary(event, macros);
        if (event->Macros) Dictionary_Dump(event->Macros);
    }
    if (parent) WorkflowEvent_SetParentTaskHandle(event, parent);
    WorkflowEvent_SetCompleteCallback(event, user, function);
    event->Queued = queued;
    if (!WorkflowEvent_Start(event, name)) {
        WorkflowEvent_Release(&event);
        return 0;
    }
    return 1;
}

Dictionary* ParseMacros(const char* text, int64_t* result) {
    *result = 1;
    if (!text) return nullptr;
    Dictionary* dict = nullptr;
    JSON* json = nullptr;
    *result = 0;
    if (!Dictionary_Create(&dict)) return nullptr;
    if (JSON_Create(&json)) {
        JSON_SetDictionaryHandle(json, dict);
        *result = JSON_LoadBuffer(json, text, (uint32_t)strlen(text)) == 1;
        JSON_SetDictionaryHandle(json, nullptr);
        JSON_Release(&json);
    }
    if (!*result) Dictionary_Release(&dict);
    return dict;
}

} // namespace

// ---- WorkflowEvent -----------------------------------------------------------------------------

int64_t WorkflowEvent_Create(WorkflowEvent** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    WorkflowEvent* event = static_cast<WorkflowEvent*>(Memory_AllocZero(sizeof(WorkflowEvent)));
    event->Header.ClassId = WORKFLOWEVENT_CLASS_ID;
    event->Header.RefCount = 1;
    event->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(event);
    Class_TrackInstance(event, event->Header.InstanceId, nullptr);
    *handle = event;
    return 1;
}

int64_t WorkflowEvent_Delete(WorkflowEvent** handle) {
    ASSERT_POINTER(handle);
    WorkflowEvent* event = *handle;
    CLASS_CHECK(event, WORKFLOWEVENT_CLASS_ID);
    for (const WatchEntry& entry : kWatches) SetWatch(event, entry.bit, false);
    if (event->Macros) Dictionary_Release(&event->Macros);
    if (event->Task_) Task_Release(&event->Task_);
    if (event->Parent) Task_Release(&event->Parent);
    if (event->Workflow_) Workflow_Release(&event->Workflow_);
    Class_UntrackInstance(event);
    event->Header.ClassId = 0;
    Memory_Free(event, sizeof(WorkflowEvent));
    *handle = nullptr;
    return 1;
}

int64_t WorkflowEvent_AddRef(WorkflowEvent* event) {
    CLASS_CHECK(event, WORKFLOWEVENT_CLASS_ID);
    Class_AddRef(event);
    return 1;
}

int64_t WorkflowEvent_Release(WorkflowEvent** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, WORKFLOWEVENT_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t WorkflowEvent_GetInstanceId(WorkflowEvent* event, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    CLASS_CHECK(event, WORKFLOWEVENT_CLASS_ID);
    String_CopyLengthSafe(buffer, capacity, event->Header.InstanceId, 36);
    return 1;
}

int64_t WorkflowEvent_SetWorkflowHandle(WorkflowEvent* event, Workflow* workflow) {
    CLASS_CHECK(event, WORKFLOWEVENT_CLASS_ID);
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    // The event holds the workflow until it is freed; it cannot change under a started event.
    if (event->Started) return 0;
    Workflow_AddRef(workflow);
    if (event->Workflow_) Workflow_Release(&event->Workflow_);
    event->Workflow_ = workflow;
    return 1;
}

int64_t WorkflowEvent_SetMacroDictionary(WorkflowEvent* event, Dictionary* macros) {
    CLASS_CHECK(event, WORKFLOWEVENT_CLASS_ID);
    if (!macros) return 1;
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(macros, &root);
    Dictionary* copy = nullptr;
    if (!root || !Dictionary_Create(&copy)) return 0;
    Dictionary_Merge(copy, root, DICTIONARY_MERGE_OVERWRITE);
    if (event->Macros) Dictionary_Release(&event->Macros);
    event->Macros = copy;
    return 1;
}

int64_t WorkflowEvent_SetMacroDictionaryHandle(WorkflowEvent* event, Dictionary* macros) {
    CLASS_CHECK(event, WORKFLOWEVENT_CLASS_ID);
    // The caller keeps its own reference.
    if (macros) Dictionary_AddRef(macros);
    if (event->Macros) Dictionary_Release(&event->Macros);
    event->Macros = macros;
    return 1;
}

int64_t WorkflowEvent_SetParentTaskHandle(WorkflowEvent* event, Task* parent) {
    CLASS_CHECK(event, WORKFLOWEVENT_CLASS_ID);
    if (parent) Task_AddRef(parent);
    if (event->Parent) Task_Release(&event->Parent);
    event->Parent = parent;
    return 1;
}

int64_t WorkflowEvent_SetCompleteCallback(WorkflowEvent* event, void* user, WorkflowEventCompleteCallback function) {
    CLASS_CHECK(event, WORKFLOWEVENT_CLASS_ID);
    CallbackBase_Set(&event->Callback, 0, user, function);
    return 1;
}

int64_t WorkflowEvent_Start(WorkflowEvent* event, const char* name) {
    CLASS_CHECK(event, WORKFLOWEVENT_CLASS_ID);
    ASSERT_POINTER(name);
    // Without a workflow there is nothing to run; a second start would count the event twice.
    if (!event->Workflow_ || event->Started) return 0;
    event->Started = 1;
    String_CopyLength(event->Name, name, TASK_NAME_SIZE);
    SetWatch(event, kWatchReady, true);
    Workflow* workflow = event->Workflow_;
    if (!event->Queued) {
        WorkflowEvent_Ready(event);
        return 1;
    }
    Workflow_Print(workflow, "Event %s waiting", event->Name);
    Dictionary_Add(workflow->Queue, event->Name, nullptr);
    event->Waiting = 1;
    SetWatch(event, kWatchWait, true);
    FireWait(event, 0);
    return 1;
}

int64_t WorkflowEvent_Complete(WorkflowEvent* event, Dictionary* info) {
    CLASS_CHECK(event, WORKFLOWEVENT_CLASS_ID);
    ASSERT_POINTER(info);
    Workflow* workflow = event->Workflow_;
    event->EndTime = Time_GetCurrent();
    void* user = nullptr;
    WorkflowEventCompleteCallback callback = nullptr;
    if (CallbackBase_Get(&event->Callback, &user, &callback) && callback) callback(workflow, user, info);
    Dictionary_SetStringByKey(info, "name", event->Name);
    Dictionary_SetStringByKey(info, "workflow", workflow->Header.InstanceId);
    Dictionary_SetBooleanByKey(info, "exists", (uint32_t)Workflow_CanCreateTask(workflow, event->Name));
    Dictionary_SetBooleanByKey(info, "global", (uint32_t)Workflow_IsGlobal(workflow));
    uint32_t successful = 0;
    Dictionary_GetBooleanByKey(info, "successful", &successful);
    char duration[64];
    Time_DurationString(kDurationFields, duration, sizeof(duration), event->EndTime - event->StartTime);
    if (!duration[0]) String_CopyLength(duration, "0s", sizeof(duration));
    Workflow_Print(workflow, "Event %s completed in %s (%d)", event->Name, duration, (int32_t)successful);
    NotificationCenter_FireAfterDelay("WorkflowEvent", "Complete", event->Header.InstanceId, 0, info);
    return 1;
}

// ---- Running and queueing ----------------------------------------------------------------------

int64_t Workflow_RunTaskWithMacros(Workflow* workflow, const char* name, Dictionary* macros, Task* parent,
                                   void* user, WorkflowEventCompleteCallback function) {
    return StartEvent(workflow, name, macros, parent, user, function, 0);
}

int64_t Workflow_QueueTaskWithMacros(Workflow* workflow, const char* name, Dictionary* macros, Task* parent,
                                     void* user, WorkflowEventCompleteCallback function) {
    return StartEvent(workflow, name, macros, parent, user, function, 1);
}

int64_t Workflow_RunTask(Workflow* workflow, const char* name, Task* parent, void* user,
                         WorkflowEventCompleteCallback function) {
    return StartEvent(workflow, name, nullptr, parent, user, function, 0);
}

int64_t Workflow_QueueTask(Workflow* workflow, const char* name, Task* parent, void* user,
                           WorkflowEventCompleteCallback function) {
    return StartEvent(workflow, name, nullptr, parent, user, function, 1);
}

int64_t Workflow_RunTaskWithMacrosInterop(Workflow* workflow, const char* name, const char* macros, Task* parent,
                                          void* user, WorkflowEventCompleteCallback function) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    int64_t parsed = 0;
    Dictionary* dict = ParseMacros(macros, &parsed);
    // Macros that do not parse are refused: the task would otherwise run with its names unexpanded.
    const int64_t result = parsed ? StartEvent(workflow, name, dict, parent, user, function, 0) : 0;
    if (dict) Dictionary_Release(&dict);
    return result;
}

int64_t Workflow_QueueTaskWithMacrosInterop(Workflow* workflow, const char* name, const char* macros,
                                            Task* parent, void* user, WorkflowEventCompleteCallback function) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    int64_t parsed = 0;
    Dictionary* dict = ParseMacros(macros, &parsed);
    const int64_t result = parsed ? StartEvent(workflow, name, dict, parent, user, function, 1) : 0;
    if (dict) Dictionary_Release(&dict);
    return result;
}

int64_t Workflow_IsTaskQueued(Workflow* workflow, const char* name) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(name);
    return Dictionary_ContainsKey(workflow->Queue, name) != 0;
}

int64_t Workflow_IsActivated(Workflow* workflow) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    return workflow->RunningEvents > 0 || workflow->ReadyEvents > 0;
}

// ---- Cancelling and completion -----------------------------------------------------------------

int64_t Workflow_CancelTasks(Workflow* workflow) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    if (Workflow_IsTaskRunning(workflow, "load") || Workflow_IsTaskRunning(workflow, "unload")) {
        Workflow_Print(workflow, "Cannot cancel load/unload tasks");
        return 0;
    }
    if (workflow->Cancelled || workflow->TaskCount == 0) return 1;
    Workflow_VerboseLog(workflow, 1, "Canceling leaf tasks");
    // Cancelling completes tasks at once, and a completed top task takes its subtree out of the
    // list: the leaves are gathered first, each held, and cancelled afterwards.
    const uint32_t capacity = workflow->TaskCount;
    Task** leaves = static_cast<Task**>(Memory_Alloc(sizeof(Task*) * capacity));
    uint32_t count = 0;
    for (WorkflowTaskNode* node = workflow->Tail; node && count < capacity; node = node->Previous) {
        if (node->Children != 0 || Task_IsCompleted(node->Task_)) continue;
        Task_AddRef(node->Task_);
        leaves[count++] = node->Task_;
    }
    workflow->Cancelled = 1;
    for (uint32_t i = 0; i < count; i++) {
        Task_Cancel(leaves[i]);
        Task_Release(&leaves[i]);
    }
    Memory_Free(leaves, sizeof(Task*) * capacity);
    return 1;
}

int64_t Workflow_Complete(Workflow* workflow, Dictionary* info) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    Workflow_Print(workflow, "Complete");
    Dictionary* copy = nullptr;
    if (!Dictionary_Create(&copy)) return 0;
    if (info) Dictionary_Merge(copy, info, DICTIONARY_MERGE_OVERWRITE);
    Dictionary_Dump(copy);
    Dictionary_SetBooleanByKey(copy, "canRemote", 0);
    NotificationCenter_FireAfterDelay("Workflow", "Complete", workflow->Header.InstanceId, 0, copy);
    Dictionary_Release(&copy);
    return 1;
}

// ---- Operation table ---------------------------------------------------------------------------

const WorkflowVtbl GlobalWorkflowVtbl = {
    Workflow_FindTaskByInstanceId,
    Workflow_FindTaskByName,
    Workflow_GetParentTaskHandle,
    Workflow_FindTaskHandler,
    Workflow_RegisterTaskHandler,
    Workflow_UnregisterTaskHandler,
    Workflow_CanCreateTask,
    Workflow_CreateTask,
    Workflow_RunTask,
    Workflow_QueueTask,
    Workflow_CancelTasks,
    Workflow_ClearTasks,
    Workflow_IsTaskRunning,
    Workflow_IsTaskQueued,
    Workflow_IsActivated,
    Workflow_Complete,
    Workflow_Reset,
    Workflow_AddMacro,
    Workflow_ExpandString,
    Workflow_LoadFile,
    Workflow_LoadBuffer,
    Workflow_LoadDictionary,
    Workflow_RegisterDefaultTasks,
    Workflow_UnregisterDefaultTasks,
    Workflow_Print,
    Workflow_SetExpandStringCallback,
    Workflow_GetExpandStringCallback,
    Workflow_GetMacroDictionaryHandle,
    Workflow_GetDictionaryHandle,
    Workflow_IsGlobal,
    Workflow_CreateTaskWithMacros,
    Workflow_RunTaskWithMacros,
    Workflow_QueueTaskWithMacros,
};
