// Worker tasks: the thread of a blocking task type, started on the task's start and ended back on
// the main thread through the main event queue, where the type completes the task.
#include "workflow/worker_task.h"

#include <atomic>
#include <cstring>

#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

struct WorkerTask {
    Class Header;
    Task* Task_;
    // The bound task's instance id, kept so that its observers can be removed by name.
    char TaskId[40];
    // 1 from a successful thread start until WorkerTask_Join.
    uint32_t Running;
    // Written by the thread before it queues the completion, read on the main thread after the
    // completion has been flushed: the queue orders the two.
    char Error[WORKERTASK_ERROR_SIZE];
    CallbackBase StartCallback;
    CallbackBase RunCallback;
    CallbackBase CancelCallback;
    CallbackBase CompleteCallback;
    Thread* Thread_;
};

namespace {

std::atomic<WorkerTaskThreadBeginFunc> g_threadBegin{nullptr};

int64_t DeleteHandle(void** handle) {
    return WorkerTask_Delete(reinterpret_cast<WorkerTask**>(handle));
}

void RunComplete(WorkerTask* worker) {
    void* user = nullptr;
    WorkerTaskCompleteCallback function = nullptr;
    if (CallbackBase_Get(&worker->CompleteCallback, &user, &function) && function) function(worker, user);
}

// On the main thread, when the main event queue is flushed.
void OnWorkDone(void* instance, void*) {
    RunComplete(static_cast<WorkerTask*>(instance));
}

uint32_t WorkerThread(void* parameter) {
    WorkerTask* worker = static_cast<WorkerTask*>(parameter);
    Thread* self = nullptr;
    if (Thread_FindThreadById(Thread_GetCurrentId(), &self)) {
        Thread_SetName(self, "WorkerTask");
        Thread_Release(&self);
    }
    void* user = nullptr;
    WorkerTaskRunCallback function = nullptr;
    if (CallbackBase_Get(&worker->RunCallback, &user, &function) && function) function(worker, user);
    EventQueue_Add(nullptr, worker, nullptr, 0, OnWorkDone);
    return 0;
}

// A thread that cannot start ends the work at once with an error, through the same complete
// callback as work that failed, so that the task does not wait for a thread that never comes.
void ThreadStartFailed(WorkerTask* worker) {
    WorkerTask_SetError(worker, "WorkerTask_Error_ThreadStart");
    if (worker->Task_) Task_Print(worker->Task_, "Worker task thread failed to start");
    if (!CallbackBase_IsEmpty(&worker->CompleteCallback)) {
        RunComplete(worker);
    } else if (worker->Task_) {
        Task_AddError(worker->Task_, "%s", worker->Error);
        Task_Complete(worker->Task_, nullptr);
    }
}

int64_t OnTaskStart(void* user, const char*, const char*, const char*, Dictionary*) {
    WorkerTask* worker = static_cast<WorkerTask*>(user);
    worker->Error[0] = 0;
    void* startUser = nullptr;
    WorkerTaskStartCallback start = nullptr;
    if (CallbackBase_Get(&worker->StartCallback, &startUser, &start) && start && start(worker, startUser) == 0) {
        RunComplete(worker);
        return 1;
    }
    // A task started again before its type joined the last run: that thread is done with its
    // work or about to be, and its handle must not be lost.
    if (worker->Thread_) WorkerTask_Join(worker);
    WorkerTaskThreadBeginFunc begin = g_threadBegin.load();
    if (!(begin ? begin : Thread_Begin)(&worker->Thread_, worker, WorkerThread)) {
        worker->Thread_ = nullptr;
        ThreadStartFailed(worker);
        return 1;
    }
    worker->Running = 1;
    return 1;
}

int64_t OnTaskCancel(void* user, const char*, const char*, const char*, Dictionary*) {
    WorkerTask* worker = static_cast<WorkerTask*>(user);
    void* cancelUser = nullptr;
    WorkerTaskCancelCallback cancel = nullptr;
    if (CallbackBase_Get(&worker->CancelCallback, &cancelUser, &cancel) && cancel && cancel(worker, cancelUser) == 1)
        return 1;
    // The work goes on until it returns; its completion then finds the task completed.
    if (worker->Task_) {
        Task_AddError(worker->Task_, "Task_Error_Cancelled");
        Task_Complete(worker->Task_, nullptr);
    }
    return 1;
}

void Observe(WorkerTask* worker, bool on) {
    auto change = on ? NotificationCenter_AddInstanceObserver : NotificationCenter_RemoveInstanceObserver;
    change("Task", "Start", worker->TaskId, worker, OnTaskStart);
    change("Task", "Cancel", worker->TaskId, worker, OnTaskCancel);
}

} // namespace

int64_t WorkerTask_Create(WorkerTask** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    WorkerTask* worker = static_cast<WorkerTask*>(Memory_AllocZero(sizeof(WorkerTask)));
    worker->Header.ClassId = WORKERTASK_CLASS_ID;
    worker->Header.RefCount = 1;
    worker->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(worker);
    *handle = worker;
    return 1;
}

int64_t WorkerTask_AddRef(WorkerTask* worker) {
    CLASS_CHECK(worker, WORKERTASK_CLASS_ID);
    Class_AddRef(worker);
    return 1;
}

int64_t WorkerTask_Release(WorkerTask** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, WORKERTASK_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t WorkerTask_Delete(WorkerTask** handle) {
    ASSERT_POINTER(handle);
    WorkerTask* worker = *handle;
    CLASS_CHECK(worker, WORKERTASK_CLASS_ID);
    if (worker->Running)
        Debug_Abort("Assertion failed (WorkerTask->RequireJoin == FALSE)\nWorker task requires join before delete");
    WorkerTask_SetTaskHandle(worker, nullptr);
    EventQueue_RemoveInstance(nullptr, worker);
    CallbackBase_Reset(&worker->StartCallback);
    CallbackBase_Reset(&worker->RunCallback);
    CallbackBase_Reset(&worker->CancelCallback);
    CallbackBase_Reset(&worker->CompleteCallback);
    worker->Header.ClassId = 0;
    Memory_Free(worker, sizeof(WorkerTask));
    *handle = nullptr;
    return 1;
}

int64_t WorkerTask_GetInstanceId(WorkerTask* worker, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    CLASS_CHECK(worker, WORKERTASK_CLASS_ID);
    String_CopyLengthSafe(buffer, capacity, worker->Header.InstanceId, 36);
    return 1;
}

int64_t WorkerTask_SetTaskHandle(WorkerTask* worker, Task* task) {
    CLASS_CHECK(worker, WORKERTASK_CLASS_ID);
    if (worker->Task_) {
        Observe(worker, false);
        worker->Task_ = nullptr;
        worker->TaskId[0] = 0;
    }
    if (!task) return 1;
    Task_GetInstanceId(task, worker->TaskId, sizeof(worker->TaskId));
    worker->Task_ = task;
    Task_SetDelayedCancel(task, 1);
    Observe(worker, true);
    return 1;
}

int64_t WorkerTask_SetStartCallback(WorkerTask* worker, void* user, WorkerTaskStartCallback function) {
    CLASS_CHECK(worker, WORKERTASK_CLASS_ID);
    return CallbackBase_Set(&worker->StartCallback, 0, user, function);
}

int64_t WorkerTask_SetRunCallback(WorkerTask* worker, void* user, WorkerTaskRunCallback function) {
    CLASS_CHECK(worker, WORKERTASK_CLASS_ID);
    return CallbackBase_Set(&worker->RunCallback, 0, user, function);
}

int64_t WorkerTask_SetCancelCallback(WorkerTask* worker, void* user, WorkerTaskCancelCallback function) {
    CLASS_CHECK(worker, WORKERTASK_CLASS_ID);
    return CallbackBase_Set(&worker->CancelCallback, 0, user, function);
}

int64_t WorkerTask_SetCompleteCallback(WorkerTask* worker, void* user, WorkerTaskCompleteCallback function) {
    CLASS_CHECK(worker, WORKERTASK_CLASS_ID);
    return CallbackBase_Set(&worker->CompleteCallback, 0, user, function);
}

int64_t WorkerTask_Join(WorkerTask* worker) {
    CLASS_CHECK(worker, WORKERTASK_CLASS_ID);
    if (worker->Thread_) {
        Thread_SignalExit(Thread_GetId(worker->Thread_));
        Thread_Join(-1, &worker->Thread_);
    }
    worker->Running = 0;
    return 1;
}

int64_t WorkerTask_SetError(WorkerTask* worker, const char* format, ...) {
    CLASS_CHECK(worker, WORKERTASK_CLASS_ID);
    ASSERT_POINTER(format);
    va_list args;
    va_start(args, format);
    String_VPrint(worker->Error, sizeof(worker->Error), format, args);
    va_end(args);
    return 1;
}

int64_t WorkerTask_SetErrorFromTranslate(WorkerTask* worker, const char* prefix, uint32_t code,
                                         TaskTranslateFunc translate) {
    CLASS_CHECK(worker, WORKERTASK_CLASS_ID);
    ASSERT_POINTER(prefix);
    ASSERT_POINTER(translate);
    const char* name = translate(code);
    // Code 0 keeps its name even when that name is "None": "<prefix>_0" would read as a number.
    if (!name || (code != 0 && (strcmp(name, "Unknown") == 0 || strcmp(name, "None") == 0)))
        return WorkerTask_SetError(worker, "%s_%d", prefix, (int32_t)code);
    return WorkerTask_SetError(worker, "%s_%s", prefix, name);
}

int64_t WorkerTask_GetError(WorkerTask* worker, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    CLASS_CHECK(worker, WORKERTASK_CLASS_ID);
    String_CopyLength(buffer, worker->Error, capacity);
    return worker->Error[0] != 0;
}

int64_t WorkerTask_RequireArgument(WorkerTask* worker, const char* key) {
    CLASS_CHECK(worker, WORKERTASK_CLASS_ID);
    ASSERT_POINTER(key);
    if (worker->Task_ && Task_HasArgument(worker->Task_, key)) return 1;
    if (worker->Task_) Task_Print(worker->Task_, "%s argument not defined", key);
    WorkerTask_SetError(worker, "Task_Error_MissingArg");
    return 0;
}

int64_t WorkerTask_SetThreadBeginOverride(WorkerTaskThreadBeginFunc function) {
    g_threadBegin.store(function);
    return 1;
}
