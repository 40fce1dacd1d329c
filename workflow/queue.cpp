// Queue: runs its task's actions as sub-tasks, a limited number at once, one after another as each
// ends, and completes the task after the last or once a failed lane leaves nothing running.
#include "workflow/queue.h"
#include "workflow/task_type.h"

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"

struct QueueAction {
    uint32_t ClassId;
    QueueAction* Next;
    QueueAction* Previous;
    char Name[QUEUE_ACTION_NAME_SIZE];
    Dictionary* Arguments;
};

struct QueueActionList {
    uint32_t ClassId;
    QueueAction* First;
    QueueAction* Last;
    int32_t Count;
};

struct Queue {
    Class Header;
    Task* Task_; // not referenced: the task owns the queue through its type
    int32_t Concurrency;
    uint32_t NextIndex;
    uint32_t Running;
    uint32_t Completed;
    QueueActionList Actions;
    // The record at NextIndex, so that starting the next action does not walk the list.
    QueueAction* Cursor;
    // The result of the first action that failed while other lanes still ran: the queue's outcome.
    Dictionary* Failed;
    uint32_t ObservingTaskStart;
};

namespace {

constexpr int32_t kLoadedNameSize = 320;

int64_t DeleteHandle(void** handle) {
    return Queue_Delete(reinterpret_cast<Queue**>(handle));
}

void CheckList(QueueActionList* list) {
    if (list->ClassId != QUEUE_ACTION_CLASS_ID)
        Debug_AbortInt(__FILE__, __LINE__, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",
                       list, (uint32_t)QUEUE_ACTION_CLASS_ID, list->ClassId);
}

void CheckAction(QueueAction* action) {
    if (action == nullptr) Debug_AbortInt(__FILE__, __LINE__, "Pointer is NULL\n");
    if (action->ClassId != QUEUE_ACTION_CLASS_ID)
        Debug_AbortInt(__FILE__, __LINE__, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",
                       action, (uint32_t)QUEUE_ACTION_CLASS_ID, action->ClassId);
}

void Observe(Queue* queue, bool on) {
    auto change = on ? NotificationCenter_AddInstanceObserver : NotificationCenter_RemoveInstanceObserver;
    change("Queue", "Start", queue->Header.InstanceId, queue, Queue_Notification_OnStart);
    change("Queue", "NextTask", queue->Header.InstanceId, queue, Queue_Notification_OnNextTask);
}

void ObserveTaskStart(Queue* queue, bool on) {
    if ((queue->ObservingTaskStart != 0) == on) return;
    auto change = on ? NotificationCenter_AddInstanceObserver : NotificationCenter_RemoveInstanceObserver;
    change("Task", "Start", reinterpret_cast<const char*>(queue->Task_), queue,
           Queue_Notification_OnTaskStart);
    queue->ObservingTaskStart = on;
}

void UpdateProgress(Queue* queue, Dictionary* extra) {
    Dictionary* dict = nullptr;
    if (!Dictionary_Create(&dict)) return;
    const double total = (double)queue->Actions.Count;
    Dictionary_SetFloat64ByKey(dict, "runningActions", (double)queue->Running);
    Dictionary_SetFloat64ByKey(dict, "completeActions", (double)queue->Completed);
    Dictionary_SetFloat64ByKey(dict, "totalActions", total);
    Dictionary_SetFloat64ByKey(dict, "progress", total < 1 ? 0.0 : (double)queue->Completed / total);
    if (extra) Dictionary_Merge(dict, extra, DICTIONARY_MERGE_OVERWRITE);
    Task_SetStatusWithDictionary(queue->Task_, dict);
    Dictionary_Release(&dict);
}

QueueAction* ActionAt(Queue* queue, uint32_t index) {
    if (index == 0) return queue->Actions.First;
    if (queue->Cursor && queue->NextIndex == index) return queue->Cursor;
    QueueAction* action = queue->Actions.First;
    for (uint32_t i = 0; action && i < index; i++) action = action->Next;
    return action;
}

} // namespace

int64_t Queue_Create(Queue** handle, Task* task) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    Queue* queue = static_cast<Queue*>(Memory_AllocZero(sizeof(Queue)));
    queue->Header.ClassId = QUEUE_CLASS_ID;
    queue->Header.RefCount = 1;
    queue->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(queue);
    Class_TrackInstance(queue, queue->Header.InstanceId, nullptr);
    queue->Task_ = task;
    queue->Concurrency = 1;
    queue->Actions.ClassId = QUEUE_ACTION_CLASS_ID;
    ObserveTaskStart(queue, true);
    Observe(queue, true);
    *handle = queue;
    return 1;
}

int64_t Queue_CreateManual(Queue** handle, Task* task) {
    if (!Queue_Create(handle, task)) return 0;
    ObserveTaskStart(*handle, false);
    return 1;
}

int64_t Queue_AddRef(Queue* queue) {
    CLASS_CHECK(queue, QUEUE_CLASS_ID);
    Class_AddRef(queue);
    return 1;
}

int64_t Queue_Release(Queue** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, QUEUE_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t Queue_Delete(Queue** handle) {
    ASSERT_POINTER(handle);
    Queue* queue = *handle;
    CLASS_CHECK(queue, QUEUE_CLASS_ID);
    Class_UntrackInstance(queue);
    ObserveTaskStart(queue, false);
    Observe(queue, false);
    Queue_ActionRemoveAll(queue);
    if (queue->Failed) Dictionary_Release(&queue->Failed);
    queue->Header.ClassId = 0;
    Memory_Free(queue, sizeof(Queue));
    *handle = nullptr;
    return 1;
}

// ---- Actions -----------------------------------------------------------------------------------

int64_t Queue_ActionAdd(Queue* queue, const char* name, Dictionary* arguments) {
    CLASS_CHECK(queue, QUEUE_CLASS_ID);
    ASSERT_POINTER(name);
    CheckList(&queue->Actions);
    QueueAction* action = static_cast<QueueAction*>(Memory_AllocZero(sizeof(QueueAction)));
    action->ClassId = QUEUE_ACTION_CLASS_ID;
    String_CopyLength(action->Name, name, QUEUE_ACTION_NAME_SIZE);
    if (arguments) {
        Dictionary_Create(&action->Arguments);
        Dictionary_SetPrintCallback(action->Arguments, queue->Task_, Task_PrintCallback);
        Dictionary_Merge(action->Arguments, arguments, DICTIONARY_MERGE_OVERWRITE);
        if (Task_VerboseLog(queue->Task_, 0, "New action %s", action->Name))
            Dictionary_Dump(action->Arguments);
    }
    action->Previous = queue->Actions.Last;
    if (queue->Actions.Last)
        queue->Actions.Last->Next = action;
    else
        queue->Actions.First = action;
    queue->Actions.Last = action;
    queue->Actions.Count++;
    return 1;
}

int64_t Queue_ActionRemoveAll(Queue* queue) {
    CLASS_CHECK(queue, QUEUE_CLASS_ID);
    CheckList(&queue->Actions);
    while (QueueAction* action = queue->Actions.First) {
        CheckAction(action);
        queue->Actions.First = action->Next;
        if (action->Arguments) Dictionary_Release(&action->Arguments);
        action->ClassId = 0;
        Memory_Free(action, sizeof(QueueAction));
    }
    queue->Actions.Last = nullptr;
    queue->Actions.Count = 0;
    // A new list starts from its first action.
    queue->Cursor = nullptr;
    queue->NextIndex = 0;
    queue->Completed = 0;
    if (queue->Failed) Dictionary_Release(&queue->Failed);
    return 1;
}

int64_t Queue_LoadActions(Queue* queue) {
    CLASS_CHECK(queue, QUEUE_CLASS_ID);
    Dictionary* list = nullptr;
    if (!Dictionary_GetListByKey(Task_GetDictionaryHandle(queue->Task_), "actions", &list) || !list) return 1;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
        char name[kLoadedNameSize];
        if (!Dictionary_ItemCompareType(list, item, DICTIONARY_TYPE_STRING) ||
            !Dictionary_ItemGetString(list, item, name, kLoadedNameSize))
            continue;
        Task_ExpandString(queue->Task_, name, kLoadedNameSize);
        Queue_ActionAdd(queue, name, nullptr);
    }
    return 1;
}

int64_t Queue_Start(Queue* queue) {
    CLASS_CHECK(queue, QUEUE_CLASS_ID);
    NotificationCenter_FireAfterDelay("Queue", "Start", queue->Header.InstanceId, 0, nullptr);
    return 1;
}

int64_t Queue_ActionGetFirst(Queue* queue, QueueAction** action) {
    ASSERT_POINTER(action);
    *action = nullptr;
    CLASS_CHECK(queue, QUEUE_CLASS_ID);
    CheckList(&queue->Actions);
    *action = queue->Actions.First;
    return *action != nullptr;
}

int64_t Queue_ActionGetNext(QueueAction* action, QueueAction** next) {
    ASSERT_POINTER(next);
    *next = nullptr;
    CheckAction(action);
    *next = action->Next;
    return *next != nullptr;
}

int64_t Queue_ActionGetName(Queue* queue, QueueAction* action, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    CLASS_CHECK(queue, QUEUE_CLASS_ID);
    CheckAction(action);
    return String_CopyLengthSafe(buffer, capacity, action->Name, QUEUE_ACTION_NAME_SIZE) >= 0;
}

// ---- Running -----------------------------------------------------------------------------------

int64_t Queue_Notification_OnTaskStart(void* user, const char*, const char*, const char*, Dictionary*) {
    Queue* queue = static_cast<Queue*>(user);
    CLASS_CHECK(queue, QUEUE_CLASS_ID);
    if (!Task_HasArgument(queue->Task_, "actions")) {
        Task_Print(queue->Task_, "\"actions\" argument not defined");
        Task_AddError(queue->Task_, "Task_Error_MissingArg");
        Task_Complete(queue->Task_, nullptr);
        return 1;
    }
    Queue_LoadActions(queue);
    return Queue_Start(queue);
}

int64_t Queue_Notification_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    Queue* queue = static_cast<Queue*>(user);
    CLASS_CHECK(queue, QUEUE_CLASS_ID);
    Task* task = queue->Task_;
    uint32_t errors = 0;
    if (Task_GetErrorCount(task, &errors) && errors >= 1) {
        Task_Complete(task, nullptr);
        return 1;
    }
    Dictionary* arguments = Task_GetDictionaryHandle(task);
    const char* key =
        Dictionary_ContainsKey(arguments, "concurrentTasks") ? "concurrentTasks" : "concurrentActions";
    int64_t wanted = 0;
    if (Dictionary_GetInt64ByKey(arguments, key, &wanted)) {
        const int64_t count = queue->Actions.Count;
        // Below -1 nothing would ever start nor end the task.
        if (wanted < -1) {
            Task_Print(task, "Invalid concurrent actions (%lld)", (long long)wanted);
            Task_AddError(task, "Task_Error_InvalidArg");
            Task_Complete(task, nullptr);
            return 1;
        }
        if (wanted == -1 || wanted > count) wanted = count;
        queue->Concurrency = (int32_t)wanted;
    }
    if (queue->Concurrency != 1) Task_Print(task, "Set %d concurrent actions", queue->Concurrency);
    UpdateProgress(queue, nullptr);
    // The queue may be released by an action's end inside a synchronous start.
    Queue_AddRef(queue);
    const int32_t lanes = queue->Concurrency;
    for (int32_t i = 0; i < lanes; i++)
        NotificationCenter_Fire("Queue", "NextTask", queue->Header.InstanceId, nullptr);
    if (lanes == 0) Task_Complete(task, nullptr);
    Queue_Release(&queue);
    return 1;
}

int64_t Queue_Notification_OnNextTask(void* user, const char*, const char*, const char*, Dictionary* info) {
    Queue* queue = static_cast<Queue*>(user);
    CLASS_CHECK(queue, QUEUE_CLASS_ID);
    Task* task = queue->Task_;
    if (queue->NextIndex < (uint32_t)queue->Actions.Count) {
        if (Task_IsCancelled(task)) {
            Task_Print(task, "Cancelled next task");
            Task_Complete(task, info);
            return 0;
        }
        queue->Running++;
        Task_SetStatusNumber(task, "runningActions", (double)queue->Running);
        QueueAction* action = ActionAt(queue, queue->NextIndex);
        CheckAction(action);
        if (queue->Concurrency == 1)
            Task_SetStatusNumber(task, "currentAction", (double)queue->NextIndex + 1);
        Task_Print(task, "Next task %s", action->Name);
        queue->NextIndex++;
        queue->Cursor = action->Next;
        // Each pending run holds the queue, so that its end never reaches a freed queue.
        Queue_AddRef(queue);
        if (!Task_RunSubTask(task, action->Name, action->Arguments, queue,
                             Queue_Notification_OnNextTaskComplete)) {
            queue->Running--;
            Task_AddError(task, "Task_Error_MissingSubTask");
            Queue_Release(&queue);
            return 1;
        }
    }
    // A lane that failed earlier decides the outcome, whatever the last lane to end reported.
    if (queue->Running == 0) Task_Complete(task, queue->Failed ? queue->Failed : info);
    return 1;
}

int64_t Queue_Notification_OnNextTaskComplete(Task* task, void* user, Dictionary* result) {
    Queue* queue = static_cast<Queue*>(user);
    CLASS_CHECK(queue, QUEUE_CLASS_ID);
    if (queue->Running > 0) queue->Running--;
    queue->Completed++;
    UpdateProgress(queue, result);
    uint32_t success = 0;
    if (result) {
        Dictionary_GetBooleanByKey(result, "successful", &success);
    } else {
        uint32_t errors = 0;
        Task_GetErrorCount(task, &errors);
        success = errors == 0;
    }
    if (success)
        NotificationCenter_FireAfterDelay("Queue", "NextTask", queue->Header.InstanceId, 0, result);
    else if (queue->Running == 0)
        Task_Complete(task, result ? result : queue->Failed);
    else if (!queue->Failed && Dictionary_Create(&queue->Failed)) {
        if (result) Dictionary_Merge(queue->Failed, result, DICTIONARY_MERGE_OVERWRITE);
        Dictionary_SetBooleanByKey(queue->Failed, "successful", 0);
    }
    Queue_Release(&queue);
    return 1;
}

// ---- Type record -------------------------------------------------------------------------------

const TaskInterface Queue_Interface =
    TaskType_Record<Queue, Queue_Create, Queue_AddRef, Queue_Release>("Queue");
