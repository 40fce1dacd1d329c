// The skeleton every built-in task type stands on: the instance header, Create and Delete for
// main-thread and worker-thread types, the observers an instance adds, argument errors and outcome words.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"
#include "core/runtime/notification_center.h"
#include "workflow/task.h"
#include "workflow/worker_task.h"

struct TaskBase;

enum : uint32_t {
    // Observers one instance can hold at a time (Task Start, Complete, Cancel, ..., its process tick).
    TASKBASE_OBSERVER_COUNT = 8,
};

// Hooks of a type. Every hook gets the instance, which starts with a TaskBase.
typedef int64_t (*TaskBaseHook)(TaskBase* base);
typedef void (*TaskBaseVoidHook)(TaskBase* base);

// What a type tells the skeleton about itself; one constant record per type (several names may
// share it and tell themselves apart with Task_GetType), written with designated initializers:
// the hooks a type leaves out are null.
struct TaskBaseType {
    uint32_t ClassId;
    // Size of the type's instance record, which begins with its TaskBase.
    uint32_t Size;
    // Main-thread types: the "Task"/"Start" handler (required) and an optional "Task"/"Complete"
    // handler, both observed on the instance's own task with the instance as user.
    NotificationObserverCallback OnStart = nullptr;
    NotificationObserverCallback OnComplete = nullptr;
    // Worker-thread types (Thread_OnWork set): main-thread OnWorkerStart (0 skips the thread),
    // the work on the thread, an optional cancel (default: "Task_Error_Cancelled", answer 1)
    // and an optional end of successful work on the main thread (default: Task_Complete).
    WorkerTaskStartCallback OnWorkerStart = nullptr;
    WorkerTaskRunCallback Thread_OnWork = nullptr;
    WorkerTaskCancelCallback OnCancel = nullptr;
    TaskBaseVoidHook OnWorkerSuccess = nullptr;
    // Objects owned for the instance's whole life: made after the header is set (0 fails Create),
    // released in Delete after the worker has been joined and the observers removed.
    TaskBaseHook Init = nullptr;
    TaskBaseVoidHook Free = nullptr;
};

struct TaskBaseObserver {
    const char* Type;
    const char* Name;
    NotificationObserverCallback Callback;
};

// The common head of every instance. The task is not reference-held: it owns the instance.
struct TaskBase {
    Class Header;
    const TaskBaseType* Type;
    Task* Owner;
    // The task's instance id, the key of the observers on it.
    char TaskId[40];
    // Worker-thread types only: the worker that owns the thread.
    WorkerTask* Worker;
    TaskBaseObserver Observers[TASKBASE_OBSERVER_COUNT];
    // The second word of a two-level outcome while the first one's chain runs, and a copy of
    // that chain's result when it failed.
    const char* NextOutcome;
    Dictionary* FirstFailure;
    // Set once (0 to 1, by compare-and-swap) to ask the work on the thread to stop early.
    uint32_t StopFlag;
};

// ---- Object -----------------------------------------------------------------------------------
// Makes an instance of a main-thread type bound to the task and observing its start (and its
// completion when the type asks). Returns 1.
int64_t TaskBase_Create(void** instance, Task* task, const TaskBaseType* type);
// Makes an instance of a worker-thread type with its WorkerTask bound to the task.
int64_t TaskBase_CreateWorker(void** instance, Task* task, const TaskBaseType* type);
// The shared reference operations, for TaskInterface records.
int64_t TaskBase_AddRef(void* instance);
int64_t TaskBase_Release(void** instance);
// What the last release runs: stops observing, joins the worker, frees; clears the handle.
int64_t TaskBase_Delete(void** instance);
// The instance's head, checked against the type's class id (aborts on a wrong or null handle).
TaskBase* TaskBase_Check(void* instance, uint32_t classId);
// The instance a task's type bound to it (null when none).
void* TaskBase_GetInstance(Task* task);

// ---- Observers --------------------------------------------------------------------------------
// Observes type/name on the instance's own task; Delete removes what is still observed. 0 when
// the observer is already there or no slot is left.
int64_t TaskBase_AddTaskObserver(TaskBase* base, const char* type, const char* name,
                                 NotificationObserverCallback callback);
int64_t TaskBase_RemoveTaskObserver(TaskBase* base, const char* type, const char* name,
                                    NotificationObserverCallback callback);
// The main loop's tick for the instance's task ("NotificationCenter"/"Process").
int64_t TaskBase_AddProcessObserver(TaskBase* base, NotificationObserverCallback callback);
int64_t TaskBase_RemoveProcessObserver(TaskBase* base, NotificationObserverCallback callback);

// ---- Arguments and errors ---------------------------------------------------------------------
// 1 when the task has the argument; else prints "\"key\" argument not defined", adds
// "Task_Error_MissingArg" and completes the task.
int64_t TaskBase_RequireArgument(TaskBase* base, const char* key);
// Copies the argument's text cut to the buffer, then expands it (a longer value is cut, not
// refused). 0 and an empty buffer when the argument is missing or has no text.
int64_t TaskBase_GetStringArgument(TaskBase* base, const char* key, char* buffer, int32_t capacity);
// Prints the message, adds the error key and completes the task; returns 0 for the caller to pass on.
int64_t TaskBase_Fail(TaskBase* base, const char* errorKey, const char* format, ...);
// Prints the message and adds "Task_Error_InvalidArg" (the task goes on to its own ending).
int64_t TaskBase_InvalidArgument(TaskBase* base, const char* format, ...);
// A number argument: 1 with the value when it is a number, 1 with the value untouched when the
// task has no such argument (or a null one); when it is there but is not a number, prints
// "\"key\" argument is not a number (\"text\")", adds "Task_Error_InvalidArg", completes the task
// and returns 0 for the caller to pass on (a worker-thread type's start: the worker gets the
// error and completes the task once the start answers 0).
int64_t TaskBase_NumberArgument(TaskBase* base, const char* key, double* value);
// The same for an argument with a range: a number below minimum or above maximum is refused like
// a word, printing "\"key\" argument is out of range (minimum to maximum): number".
int64_t TaskBase_NumberArgumentInRange(TaskBase* base, const char* key, double minimum, double maximum,
                                       double* value);
// A path argument read with TaskBase_GetStringArgument that still holds a location nobody could
// name ("{userAppData}" with a relative HOME, "{workflowDirectory}" of a workflow not read from a
// file) or that lies in a folder the program refused is refused: prints "\"key\" argument names
// a location without its folder ({name}): text" (or "names the refused folder FOLDER (reason)"),
// adds "Task_Error_InvalidArg" and completes the task (a worker-thread type's worker gets the
// error and completes it once the start answers 0); returns 1 for the caller to stop. 0 when the
// text may be used.
int64_t TaskBase_RefuseLocation(TaskBase* base, const char* key, const char* text);
// An argument handed to a program ("arguments", "restartArguments"), as the task wrote it and as
// it expanded (either may be null: a text split into words is judged written once and each word
// expanded): 1 when it may not be handed over, with `line` holding the line the path guard gives
// ("\"KEY\" argument names a location without its folder ({name}): TEXT", or "names the refused
// folder FOLDER (reason): TEXT"). Refused: a location token of the written text that, expanded on
// its own, gives nothing or is still left (a folder nobody could name would turn the argument
// into a name in whatever the current folder is), and an expanded word that still holds a
// location or begins with a path inside a refused folder. Every other argument passes as written.
int64_t TaskBase_JudgeProgramArgument(Task* task, const char* key, const char* written, const char* expanded,
                                      char* line, int32_t capacity);
// The same judgement made a refusal: prints the line, adds "Task_Error_InvalidArg" and completes
// the task; returns 1 for the caller to stop (nothing is launched), 0 when the argument passes.
int64_t TaskBase_RefuseProgramArgument(TaskBase* base, const char* key, const char* written, const char* expanded);
// "Platform_Error_<class>", or "Platform_Error_<code>" when the class is "Unknown" or "None".
int64_t TaskBase_AddPlatformError(TaskBase* base, int32_t code);
// Judges what a file name ("~" expanded) names before the task reads it (replacing 0) or
// replaces it (1): a regular file passes, and for a replacement so does nothing at all; a
// folder, device, FIFO or socket is refused (as the document writers refuse it), with
// "<path>: <the system's words>" printed on the task. 0 when it passes, else the platform error
// code for the task's error key. Safe on a worker thread.
int32_t TaskBase_JudgeFileName(Task* task, const char* path, uint32_t replacing);

// ---- Worker threads -----------------------------------------------------------------------------
// A cancel callback for work that can stop early: asks it to stop, adds "Task_Error_Cancelled"
// and answers 1, so that the task completes once the thread has ended.
uint32_t TaskBase_OnCancelStop(WorkerTask* worker, void* user);
// Asks the work to stop (1 for the call that set the flag); read by the work from its thread.
int64_t TaskBase_RequestStop(TaskBase* base);
int64_t TaskBase_IsStopRequested(TaskBase* base);
// From the work's thread: hands a count of done and total to the main thread, which publishes
// done / total as the task's progress (-1 while the total is 0). Delete drops records not yet run.
int64_t TaskBase_PostProgress(TaskBase* base, uint64_t done, uint64_t total);
// At the start of work whose total is not yet known: progress 0, then -1.
int64_t TaskBase_SetProgressUnknown(TaskBase* base);

// ---- Endings ----------------------------------------------------------------------------------
// Plain completion with an optional result dictionary.
int64_t TaskBase_Complete(TaskBase* base, Dictionary* result);
// Runs the chain under the word, then completes the task with its result.
int64_t TaskBase_RunOutcome(TaskBase* base, const char* word);
// Runs the chain under the word, then calls back (task, instance, result) instead of completing.
int64_t TaskBase_RunOutcomeThen(TaskBase* base, const char* word, TaskSubActionCallback callback);
// Runs the chain under `first`, then the one under `second` (Task_RunSubActionNext), then
// completes; a failed first chain fails the task even when the second succeeds.
int64_t TaskBase_RunOutcomePair(TaskBase* base, const char* first, const char* second);
// The comparisons' ending: 0 "equalTo"; below 0 "notEqualTo" then "lessThan"; above 0
// "notEqualTo" then "greaterThan".
int64_t TaskBase_RunComparison(TaskBase* base, int32_t result);
