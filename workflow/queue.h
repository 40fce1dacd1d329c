// Queue: the task type that runs a list of other tasks (its actions) by name, in order, with a limit
// on how many run at once. Progress and Aggregate embed it in its manual form and start it themselves.
#pragma once
#include <cstdint>

#include "workflow/task.h"

struct Dictionary;
struct Queue;
struct QueueAction;

enum : uint32_t {
    QUEUE_CLASS_ID = 0xe5e1b632,
    // Tags the action list and each of its records.
    QUEUE_ACTION_CLASS_ID = 0x1ee408da,
    // An action's task name: 119 characters and a terminator.
    QUEUE_ACTION_NAME_SIZE = 120,
};

int64_t Queue_Create(Queue** queue, Task* task);
// As Queue_Create, but the task's start neither loads nor starts the queue: the owner does.
int64_t Queue_CreateManual(Queue** queue, Task* task);
int64_t Queue_AddRef(Queue* queue);
int64_t Queue_Release(Queue** queue);
int64_t Queue_Delete(Queue** queue);

// Appends an action; the arguments (or null) are copied and later merged over the run's own.
int64_t Queue_ActionAdd(Queue* queue, const char* name, Dictionary* arguments);
int64_t Queue_ActionRemoveAll(Queue* queue);
// Appends every text item of the task's list "actions", expanded.
int64_t Queue_LoadActions(Queue* queue);
// Starts the actions on a later main-loop pass.
int64_t Queue_Start(Queue* queue);
int64_t Queue_ActionGetFirst(Queue* queue, QueueAction** action);
int64_t Queue_ActionGetNext(QueueAction* action, QueueAction** next);
int64_t Queue_ActionGetName(Queue* queue, QueueAction* action, char* buffer, int32_t capacity);

// Observers (user: the queue).
int64_t Queue_Notification_OnTaskStart(void* user, const char* type, const char* name, const char* instance,
                                       Dictionary* info);
int64_t Queue_Notification_OnStart(void* user, const char* type, const char* name, const char* instance,
                                   Dictionary* info);
int64_t Queue_Notification_OnNextTask(void* user, const char* type, const char* name, const char* instance,
                                      Dictionary* info);
// The end of one action's run (user: the queue).
int64_t Queue_Notification_OnNextTaskComplete(Task* task, void* user, Dictionary* result);

extern const TaskInterface Queue_Interface;
