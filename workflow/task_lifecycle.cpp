// Task lifecycle: start, the outcome chain that runs the next task before the task reports its
// own completion, sub-actions and sub-tasks carried by TaskEvents, and cancelling.
#include <cstring>

#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"
#include "workflow/task_internal.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"

struct TaskEvent {
    Class Header;
    char Name[TASK_NAME_SIZE];
    Dictionary* Event;
    Task* Owner;
    Task* Sub; // the sub-task whose completion ends the event, referenced until then
    Dictionary* Completion;
    CallbackBase Callback;
    uint32_t Started;
    uint32_t Completed;
};

namespace {

constexpr int32_t kTextSize = 1024;
constexpr int32_t kSubTaskNameSize = 512;

int64_t DeleteEvent(void** handle) {
    TaskEvent* event = static_cast<TaskEvent*>(*handle);
    CLASS_CHECK(event, TASKEVENT_CLASS_ID);
    if (event->Sub) Task_Release(&event->Sub);
    if (event->Owner) Task_Release(&event->Owner);
    Dictionary_Release(&event->Event);
    if (event->Completion) Dictionary_Release(&event->Completion);
    Class_UntrackInstance(event);
    event->Header.ClassId = 0;
    Memory_Free(event, sizeof(TaskEvent));
    *handle = nullptr;
    return 1;
}

Dictionary* CompletionOf(TaskEvent* event) {
    if (!event->Completion) Dictionary_Create(&event->Completion);
    return event->Completion;
}

int64_t OnEventComplete(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskEvent* event = static_cast<TaskEvent*>(user);
    NotificationCenter_RemoveInstanceObserver("TaskEvent", "Complete", event->Header.InstanceId, event,
                                              OnEventComplete);
    void* callbackUser = nullptr;
    TaskSubActionCallback callback = nullptr;
    if (CallbackBase_Get(&event->Callback, &callbackUser, &callback) && callback && event->Owner)
        callback(event->Owner, callbackUser, event->Completion);
    if (event->Owner) Task_VerboseLog(event->Owner, 1, "Event %s completed", event->Name);
    TaskEvent_Release(&event);
    return 1;
}

int64_t OnSubTaskComplete(void* user, const char*, const char*, const char*, Dictionary* info) {
    TaskEvent* event = static_cast<TaskEvent*>(user);
    if (event->Sub)
        NotificationCenter_RemoveInstanceObserver("Task", "Complete", event->Sub->Header.InstanceId, event,
                                                  OnSubTaskComplete);
    TaskEvent_Complete(event, info);
    return 1;
}

// The text of `key` as the start and completion publish it: the String, or the item at `index`
// of a List; expanded in 1024 bytes.
bool StatusText(Task* task, int32_t index, char* text) {
    text[0] = 0;
    Dictionary* args = Task_GetDictionaryHandle(task);
    uint32_t type = 0;
    Dictionary_GetTypeByKey(args, "status", &type);
    const char* stored = nullptr;
    if (type == DICTIONARY_TYPE_LIST) {
        Dictionary* list = nullptr;
        DictionaryItem* item = nullptr;
        if (!Dictionary_GetListByKey(args, "status", &list) ||
            !Dictionary_ItemFindByIndex(list, index, nullptr, &item) || !item ||
            !Dictionary_ItemGetStringPtr(list, item, &stored))
            return false;
    } else if (type == DICTIONARY_TYPE_STRING && index == 0) {
        Dictionary_GetStringPtrByKey(args, "status", &stored);
    }
    if (!stored) return false;
    String_CopyLength(text, stored, kTextSize);
    Task_ExpandString(task, text, kTextSize);
    return true;
}

bool IsBoolean(Dictionary* dict, const char* key, uint32_t* value) {
    *value = 0;
    return Dictionary_GetBooleanByKey(dict, key, value) == 1;
}

// Replaces the list `key` of `target` with that of `source` when the source's is not empty.
void ReplaceList(Dictionary* target, Dictionary* source, const char* key) {
    Dictionary* from = nullptr;
    uint32_t count = 0;
    if (!Dictionary_GetListByKey(source, key, &from) || !Dictionary_ItemGetCount(from, &count) || count == 0) return;
    Dictionary* to = nullptr;
    if (!Dictionary_EnsureList(target, key, nullptr, &to) || !to) return;
    Dictionary_Reset(to);
    Dictionary_Merge(to, from, 0);
}

int64_t Finish(Task* task, TaskEvent* event, Dictionary* result) {
    task->EndTime = Time_GetCurrent();
    if (task->EndTime == 0) task->EndTime = 1e-9;
    task->Completing = 0;
    Dictionary* completion = CompletionOf(event);
    if (result && result != completion) {
        uint32_t value = 0;
        if (IsBoolean(result, "successful", &value)) Dictionary_SetBooleanByKey(completion, "successful", value);
        if (IsBoolean(result, "cancelled", &value)) Dictionary_SetBooleanByKey(completion, "cancelled", value);
        ReplaceList(completion, result, "errors");
        ReplaceList(completion, result, "warnings");
    }
    NotificationCenter_Fire("Task", "Complete", task->Header.InstanceId, completion);
    Task_ObserveStatus(task, false);
    TaskEvent_Complete(event, nullptr);
    return 1;
}

int64_t OnChainDone(Task* task, void* user, Dictionary* result) {
    return Finish(task, static_cast<TaskEvent*>(user), result);
}

int64_t OnOutcomeDone(Task* task, void* user, Dictionary* result) {
    return Task_RunSubActionNext(task, "complete", result, user, OnChainDone);
}

bool MayRunDuringShutdown(Task* task) {
    if (String_CompareWithoutCaseReturn(task->Name, "unload") == 0) return true;
    Task* ancestor = nullptr;
    return task->Workflow_ && Workflow_GetParentTaskHandleByName(task->Workflow_, task, "unload", &ancestor) &&
           ancestor;
}

} // namespace

// ---- TaskEvent ---------------------------------------------------------------------------------

int64_t TaskEvent_Create(TaskEvent** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    TaskEvent* event = static_cast<TaskEvent*>(Memory_AllocZero(sizeof(TaskEvent)));
    event->Header.ClassId = TASKEVENT_CLASS_ID;
    event->Header.RefCount = 1;
    event->Header.Delete = DeleteEvent;
    Class_GenerateInstanceIdReal(event);
    Class_TrackInstance(event, event->Header.InstanceId, nullptr);
    Dictionary_Create(&event->Event);
    *handle = event;
    return 1;
}

int64_t TaskEvent_AddRef(TaskEvent* event) {
    CLASS_CHECK(event, TASKEVENT_CLASS_ID);
    Class_AddRef(event);
    return 1;
}

int64_t TaskEvent_Release(TaskEvent** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, TASKEVENT_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t TaskEvent_GetInstanceId(TaskEvent* event, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    CLASS_CHECK(event, TASKEVENT_CLASS_ID);
    String_CopyLengthSafe(buffer, capacity, event->Header.InstanceId, 36);
    return 1;
}

int64_t TaskEvent_SetTaskHandle(TaskEvent* event, Task* task) {
    CLASS_CHECK(event, TASKEVENT_CLASS_ID);
    CLASS_CHECK(task, TASK_CLASS_ID);
    if (event->Started) return 0;
    if (event->Owner) Task_Release(&event->Owner);
    event->Owner = task;
    Task_AddRef(task);
    return 1;
}

int64_t TaskEvent_SetCompleteCallback(TaskEvent* event, void* user, TaskSubActionCallback function) {
    CLASS_CHECK(event, TASKEVENT_CLASS_ID);
    CallbackBase_Set(&event->Callback, 0, user, function);
    return 1;
}

int64_t TaskEvent_SetCompleteDictionary(TaskEvent* event, Dictionary* dict) {
    CLASS_CHECK(event, TASKEVENT_CLASS_ID);
    ASSERT_POINTER(dict);
    Dictionary* completion = CompletionOf(event);
    return completion && Dictionary_Merge(completion, dict, DICTIONARY_MERGE_OVERWRITE);
}

int64_t TaskEvent_Start(TaskEvent* event, const char* name) {
    CLASS_CHECK(event, TASKEVENT_CLASS_ID);
    ASSERT_POINTER(name);
    // An event without its task, or started twice, would end (and free itself) more than once.
    if (!event->Owner || event->Started) return 0;
    event->Started = 1;
    String_CopyLength(event->Name, name, TASK_NAME_SIZE);
    Dictionary_SetStringByKey(event->Event, "task", event->Owner->Header.InstanceId);
    Dictionary_SetStringByKey(event->Event, "name", event->Name);
    Task_VerboseLog(event->Owner, 1, "%s ready", event->Name);
    NotificationCenter_FireAfterDelay("Task", "SubActionStart", event->Owner->Header.InstanceId, 0, event->Event);
    NotificationCenter_AddInstanceObserver("TaskEvent", "Complete", event->Header.InstanceId, event, OnEventComplete);
    NotificationCenter_FireAfterDelay("TaskEvent", "Start", event->Header.InstanceId, 0, event->Event);
    return 1;
}

int64_t TaskEvent_Complete(TaskEvent* event, Dictionary* dict) {
    CLASS_CHECK(event, TASKEVENT_CLASS_ID);
    // Only a started event is observing its end, and it ends once: a second end would free it twice.
    if (!event->Started || event->Completed) return 0;
    event->Completed = 1;
    if (dict) {
        Dictionary* completion = CompletionOf(event);
        if (completion != dict) Dictionary_Merge(completion, dict, DICTIONARY_MERGE_OVERWRITE);
    }
    NotificationCenter_FireAfterDelay("TaskEvent", "Complete", event->Header.InstanceId, 0, event->Event);
    NotificationCenter_FireAfterDelay("Task", "SubActionComplete", event->Owner->Header.InstanceId, 0, event->Event);
    return 1;
}

// ---- Task --------------------------------------------------------------------------------------

int64_t Task_SubAction_Null(Task*, void*, Dictionary*) {
    return 1;
}

int64_t Task_SubAction_Complete(Task* task, void*, Dictionary* result) {
    Task_Complete(task, result);
    return 1;
}

int64_t Task_Start(Task* task) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    task->StartTime = Time_GetCurrent();
    task->EndTime = 0;
    Task_ObserveStatus(task, true);
    Dictionary* start = nullptr;
    if (!Dictionary_Create(&start)) return 0;
    // The task's name is a key as written; its arguments keep their private items.
    Dictionary_SetPrivateKeys(start, 0);
    Dictionary* copy = nullptr;
    if (Dictionary_AddDictionary(start, task->Name, &copy, nullptr) && copy) {
        Dictionary_SetPrivateKeys(copy, 1);
        Dictionary_Merge(copy, task->Arguments, 0);
    }
    Dictionary_SetStringByKey(start, "type", task->Interface && task->Interface->Name ? task->Interface->Name : "");
    Dictionary_SetStringByKey(start, "name", task->Name);
    const char* workflow = nullptr;
    if (Dictionary_GetStringPtrByKey(task->Arguments, "workflow", &workflow) && workflow)
        Dictionary_SetStringByKey(start, "workflow", workflow);
    else if (task->Workflow_)
        Dictionary_SetStringByKey(start, "workflow", reinterpret_cast<const Class*>(task->Workflow_)->InstanceId);
    char text[kTextSize];
    const char* title = nullptr;
    if (Dictionary_GetBufferPtrByKey(task->Arguments, "title", &title, nullptr) && title) {
        String_CopyLength(text, title, kTextSize);
        Task_ExpandString(task, text, kTextSize);
        Dictionary_SetStringByKey(start, "title", text);
    }
    if (StatusText(task, 0, text)) Dictionary_SetStringByKey(start, "status", text);
    NotificationCenter_FireAfterDelay("Task", "Start", task->Header.InstanceId, 0, start);
    Dictionary_Release(&start);
    return 1;
}

int64_t Task_Complete(Task* task, Dictionary* result) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    if (task->Completing || task->EndTime != 0) return 1;
    task->Completing = 1;
    const bool hasErrors = Task_HasError(task, nullptr) != 0;
    uint32_t cancelled = Task_IsCancelled(task) != 0;
    uint32_t successful = !hasErrors;
    if (result) {
        uint32_t value = 0;
        if (!hasErrors && IsBoolean(result, "successful", &value)) successful = value;
        if (!cancelled && IsBoolean(result, "cancelled", &value)) cancelled = value;
    }
    const bool success = successful && !cancelled;
    char text[kTextSize];
    if (success && StatusText(task, 1, text)) Task_SetStatus(task, text);

    TaskEvent* event = nullptr;
    if (!TaskEvent_Create(&event)) return 0;
    TaskEvent_SetTaskHandle(event, task);
    Dictionary* completion = CompletionOf(event);
    Dictionary_SetBooleanByKey(completion, "successful", successful);
    Dictionary_SetBooleanByKey(completion, "cancelled", cancelled);
    Task_CopyErrors(task, nullptr, completion);
    Task_CopyWarnings(task, nullptr, completion);
    if (result) {
        Dictionary_Merge(completion, result, DICTIONARY_MERGE_OVERWRITE);
        // The result's own words were weighed above: a task with errors that passes
        // "successful": true must not be reported as a success.
        Dictionary_SetBooleanByKey(completion, "successful", successful);
        Dictionary_SetBooleanByKey(completion, "cancelled", cancelled);
    }
    TaskEvent_Start(event, task->Name);
    if (Task_IsCancelled(task)) {
        Task_VerboseLog(task, 1, "Cancelled");
        return Finish(task, event, nullptr);
    }
    Task_VerboseLog(task, 1, "Completed");
    return Task_RunSubActionNext(task, success ? "success" : "failure", nullptr, event, OnOutcomeDone);
}

int64_t Task_CompleteInterop(Task* task, const char* json) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(json);
    Dictionary* dict = nullptr;
    JSON* reader = nullptr;
    if (!Dictionary_Create(&dict)) return 0;
    int64_t result = 0;
    if (JSON_Create(&reader)) {
        JSON_SetDictionaryHandle(reader, dict);
        result = JSON_LoadBuffer(reader, json, (uint32_t)strlen(json)) == 1;
        JSON_Release(&reader);
    }
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(dict, &root);
    Task_Complete(task, result && root ? root : nullptr);
    Dictionary_Release(&dict);
    return result;
}

int64_t Task_Cancel(Task* task) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    if (task->EndTime != 0 || task->Completing || Task_IsCancelled(task) || task->DelayedCancelFired) return 0;
    if (!task->DelayedCancel) {
        Task_Print(task, "Cancel");
        Task_AddError(task, "Task_Error_Cancelled");
        Task_Complete(task, nullptr);
        return 1;
    }
    Task_Print(task, "Cancel delayed");
    NotificationCenter_Fire("Task", "Cancel", task->Header.InstanceId, nullptr);
    task->DelayedCancelFired = 1;
    return 1;
}

int64_t Task_SetDelayedCancel(Task* task, uint32_t flag) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    task->DelayedCancel = flag;
    return 1;
}

int64_t Task_GetDelayedCancel(Task* task, uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = 0;
    CLASS_CHECK(task, TASK_CLASS_ID);
    *flag = task->DelayedCancel;
    return 1;
}

int64_t Task_GetDelayedCancelFired(Task* task, uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = 0;
    CLASS_CHECK(task, TASK_CLASS_ID);
    *flag = task->DelayedCancelFired;
    return 1;
}

int64_t Task_RunSubAction(Task* task, const char* key, void* user, TaskSubActionCallback callback) {
    return Task_RunSubActionNext(task, key, nullptr, user, callback);
}

int64_t Task_RunSubActionNext(Task* task, const char* key, Dictionary* carried, void* user,
                              TaskSubActionCallback callback) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(key);
    uint32_t type = 0;
    Dictionary_GetTypeByKey(task->Arguments, key, &type);
    // A null value names nothing, like a missing key: it is not a task called "null".
    if (type == DICTIONARY_TYPE_STRING || type == DICTIONARY_TYPE_BOOLEAN || type == DICTIONARY_TYPE_INT64 ||
        type == DICTIONARY_TYPE_FLOAT64) {
        const char* text = nullptr;
        if (Dictionary_GetBufferPtrByKey(task->Arguments, key, &text, nullptr) && text)
            return Task_RunSubTask(task, text, nullptr, user, callback);
    } else if (type == DICTIONARY_TYPE_DICTIONARY) {
        Dictionary* value = nullptr;
        const char* action = nullptr;
        Dictionary_GetDictionaryByKey(task->Arguments, key, &value);
        if (value && Dictionary_GetStringPtrByKey(value, "action", &action) && action) {
            char name[kSubTaskNameSize];
            String_CopyLength(name, action, kSubTaskNameSize);
            Dictionary* arguments = nullptr;
            if (!Dictionary_Create(&arguments)) return 0;
            Dictionary_Merge(arguments, value, 0);
            Dictionary_RemoveByKey(arguments, "action");
            const int64_t result = Task_RunSubTask(task, name, arguments, user, callback);
            Dictionary_Release(&arguments);
            return result;
        }
    }
    TaskEvent* event = nullptr;
    if (!TaskEvent_Create(&event)) return 0;
    TaskEvent_SetTaskHandle(event, task);
    TaskEvent_SetCompleteCallback(event, user, callback);
    TaskEvent_Start(event, key);
    TaskEvent_Complete(event, carried);
    return 1;
}

int64_t Task_RunSubTask(Task* task, const char* name, Dictionary* arguments, void* user,
                        TaskSubActionCallback callback) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(name);
    char expanded[kSubTaskNameSize];
    String_CopyLength(expanded, name, kSubTaskNameSize);
    Task_ExpandString(task, expanded, kSubTaskNameSize);
    Task_Print(task, "Running subtask %s", expanded);
    TaskEvent* event = nullptr;
    if (!TaskEvent_Create(&event)) return 0;
    TaskEvent_SetTaskHandle(event, task);
    TaskEvent_SetCompleteCallback(event, user, callback);
    TaskEvent_Start(event, expanded);
    if (Task_IsCancelled(task)) {
        Task_Print(task, "Cancelled subtask %s", expanded);
        return TaskEvent_Complete(event, nullptr);
    }
    if (WorkflowApp_IsShuttingDown() && !MayRunDuringShutdown(task)) {
        Task_Print(task, "Shutdown prevented subtask from running (%s)", expanded);
        Task_AddError(task, "Task_Error_Cancelled");
        return TaskEvent_Complete(event, nullptr);
    }
    Task* sub = nullptr;
    if (!task->Workflow_ || !Workflow_CreateTask(task->Workflow_, expanded, arguments, task, &sub) || !sub) {
        Task_Print(task, "Next task \"%s\" cannot be created", expanded);
        Task_AddError(task, "Task_Error_MissingSubTask");
        // The outcome was weighed before the chain ran: a chain that cannot go on is a failure of
        // its task, not a success that silently skipped its next step.
        Dictionary* failed = nullptr;
        if (!Dictionary_Create(&failed)) return TaskEvent_Complete(event, nullptr);
        Dictionary_SetBooleanByKey(failed, "successful", 0);
        Task_CopyErrors(task, nullptr, failed);
        const int64_t result = TaskEvent_Complete(event, failed);
        Dictionary_Release(&failed);
        return result;
    }
    // The workflow's list holds the sub-task's reference; the event holds its own until it ends.
    Task_AddRef(sub);
    event->Sub = sub;
    NotificationCenter_AddInstanceObserver("Task", "Complete", sub->Header.InstanceId, event, OnSubTaskComplete);
    Task_Start(sub);
    return 1;
}

namespace {

int64_t OnInteropSubAction(Task* task, void* user, Dictionary* result) {
    InteropCallback* callback = static_cast<InteropCallback*>(user);
    Dictionary* record = nullptr;
    if (Dictionary_Create(&record)) {
        Dictionary_SetStringByKey(record, "callbackId", Interop_GetCallbackId(callback));
        Dictionary_SetStringByKey(record, "type", "Task");
        Dictionary_SetStringByKey(record, "sender", task->Header.InstanceId);
        Dictionary* child = nullptr;
        Dictionary_AddDictionary(record, "info", &child, nullptr);
        if (result && child) Dictionary_Merge(child, result, DICTIONARY_MERGE_OVERWRITE);
        Interop_RaiseCallback(callback, record);
        Dictionary_Release(&record);
    }
    Interop_ReleaseCallback(&callback);
    return 1;
}

} // namespace

int64_t Task_RunSubActionInterop(Task* task, const char* key, const char* callbackId) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(key);
    InteropCallback* callback = nullptr;
    if (!Interop_AddCallback(callbackId, nullptr, Interop_Execute, &callback) || !callback) return 0;
    return Task_RunSubAction(task, key, callback, OnInteropSubAction);
}
