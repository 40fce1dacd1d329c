// The skeleton of the built-in task types: one instance record per task, made and freed the same
// way for every type, with the observers and outcome chains that the types share.
#include "tasks/task_base.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include "core/linux/platform_document.h"
#include "core/linux/platform_error.h"
#include "core/platform/path.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/string_print.h"

namespace {

constexpr int32_t kMessageSize = 1024;

int64_t DeleteInstance(void** handle);

TaskBase* Allocate(Task* task, const TaskBaseType* type) {
    ASSERT_POINTER(type);
    if (type->Size < sizeof(TaskBase))
        Debug_Abort("Assertion failed (type->Size >= sizeof(TaskBase))\nTask type record is smaller than its head");
    TaskBase* base = static_cast<TaskBase*>(Memory_AllocZero(type->Size));
    base->Header.ClassId = type->ClassId;
    base->Header.RefCount = 1;
    base->Header.Delete = DeleteInstance;
    Class_GenerateInstanceIdReal(base);
    Class_TrackInstance(base, base->Header.InstanceId, nullptr);
    base->Type = type;
    base->Owner = task;
    Task_GetInstanceId(task, base->TaskId, sizeof(base->TaskId));
    return base;
}

int64_t DefaultCancel(TaskBase* base) {
    Task_AddError(base->Owner, "Task_Error_Cancelled");
    return 1;
}

// Every run starts without a stop request left from the last one.
uint32_t OnWorkerStart(WorkerTask* worker, void* user) {
    TaskBase* base = static_cast<TaskBase*>(user);
    __atomic_store_n(&base->StopFlag, 0u, __ATOMIC_SEQ_CST);
    return base->Type->OnWorkerStart ? base->Type->OnWorkerStart(worker, base) : 1;
}

uint32_t OnWorkerCancel(WorkerTask*, void* user) {
    TaskBase* base = static_cast<TaskBase*>(user);
    if (base->Type->OnCancel) return base->Type->OnCancel(base->Worker, base);
    return (uint32_t)DefaultCancel(base);
}

// The end of the work on the main thread: a cancelled task only completes; an error the work
// wrote goes to the task; otherwise the type ends the task its own way.
void OnWorkerComplete(WorkerTask* worker, void* user) {
    TaskBase* base = static_cast<TaskBase*>(user);
    if (Task_IsCancelled(base->Owner)) {
        Task_Complete(base->Owner, nullptr);
        return;
    }
    char error[WORKERTASK_ERROR_SIZE];
    if (WorkerTask_GetError(worker, error, sizeof(error))) {
        Task_AddError(base->Owner, "%s", error);
        Task_Complete(base->Owner, nullptr);
        return;
    }
    if (base->Type->OnWorkerSuccess)
        base->Type->OnWorkerSuccess(base);
    else
        Task_Complete(base->Owner, nullptr);
}

int64_t DeleteInstance(void** handle) {
    ASSERT_POINTER(handle);
    TaskBase* base = static_cast<TaskBase*>(*handle);
    ASSERT_POINTER(base);
    CLASS_CHECK(base, base->Type->ClassId);
    Class_UntrackInstance(base);
    for (TaskBaseObserver& observer : base->Observers)
        if (observer.Callback)
            NotificationCenter_RemoveInstanceObserver(observer.Type, observer.Name, base->TaskId, base,
                                                      observer.Callback);
    // The thread reads the instance: it must have ended before anything of it goes.
    if (base->Worker) {
        WorkerTask_Join(base->Worker);
        WorkerTask_Release(&base->Worker);
    }
    // Progress records the thread posted and the main thread has not yet run.
    EventQueue_RemoveInstance(nullptr, base);
    if (base->Type->Free) base->Type->Free(base);
    if (base->FirstFailure) Dictionary_Release(&base->FirstFailure);
    const uint32_t size = base->Type->Size;
    base->Header.ClassId = 0;
    Memory_Free(base, size);
    *handle = nullptr;
    return 1;
}

// The record the thread posts for each progress step.
struct ProgressRecord {
    uint32_t Tag;
    uint64_t Done;
    uint64_t Total;
};
constexpr uint32_t kProgressTag = 0x50524f47; // "PROG"

void OnProgress(void* instance, void* payload) {
    TaskBase* base = static_cast<TaskBase*>(instance);
    ProgressRecord record;
    memcpy(&record, payload, sizeof(record));
    if (record.Tag != kProgressTag) return;
    Task_SetProgress(base->Owner, record.Total ? (double)record.Done / (double)record.Total : -1.0);
}

int64_t Finish(TaskBase* base, void** instance, int64_t result) {
    if (!result) {
        void* handle = base;
        DeleteInstance(&handle);
        return 0;
    }
    *instance = base;
    return 1;
}

int64_t OnSecondOutcome(Task* task, void* user, Dictionary* result) {
    TaskBase* base = static_cast<TaskBase*>(user);
    Dictionary* failure = base->FirstFailure;
    base->FirstFailure = nullptr;
    uint32_t successful = 1;
    const bool secondFailed = result && Dictionary_GetBooleanByKey(result, "successful", &successful) == 1 &&
                              !successful;
    Task_SubAction_Complete(task, nullptr, failure && !secondFailed ? failure : result);
    if (failure) Dictionary_Release(&failure);
    return 1;
}

int64_t OnFirstOutcome(Task* task, void* user, Dictionary* result) {
    TaskBase* base = static_cast<TaskBase*>(user);
    uint32_t successful = 1;
    if (result && Dictionary_GetBooleanByKey(result, "successful", &successful) == 1 && !successful &&
        Dictionary_Create(&base->FirstFailure))
        Dictionary_Merge(base->FirstFailure, result, DICTIONARY_MERGE_OVERWRITE);
    const char* second = base->NextOutcome;
    base->NextOutcome = nullptr;
    return Task_RunSubActionNext(task, second, result, base, OnSecondOutcome);
}

} // namespace

// ---- Object -----------------------------------------------------------------------------------

int64_t TaskBase_Create(void** instance, Task* task, const TaskBaseType* type) {
    ASSERT_POINTER(instance);
    *instance = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(type);
    ASSERT_POINTER(type->OnStart);
    TaskBase* base = Allocate(task, type);
    if (type->Init && !type->Init(base)) return Finish(base, instance, 0);
    TaskBase_AddTaskObserver(base, "Task", "Start", type->OnStart);
    if (type->OnComplete) TaskBase_AddTaskObserver(base, "Task", "Complete", type->OnComplete);
    return Finish(base, instance, 1);
}

int64_t TaskBase_CreateWorker(void** instance, Task* task, const TaskBaseType* type) {
    ASSERT_POINTER(instance);
    *instance = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(type);
    ASSERT_POINTER(type->Thread_OnWork);
    TaskBase* base = Allocate(task, type);
    if (type->Init && !type->Init(base)) return Finish(base, instance, 0);
    if (!WorkerTask_Create(&base->Worker)) return Finish(base, instance, 0);
    WorkerTask_SetTaskHandle(base->Worker, task);
    WorkerTask_SetStartCallback(base->Worker, base, OnWorkerStart);
    WorkerTask_SetRunCallback(base->Worker, base, type->Thread_OnWork);
    WorkerTask_SetCancelCallback(base->Worker, base, OnWorkerCancel);
    WorkerTask_SetCompleteCallback(base->Worker, base, OnWorkerComplete);
    return Finish(base, instance, 1);
}

int64_t TaskBase_AddRef(void* instance) {
    ASSERT_POINTER(instance);
    TaskBase* base = static_cast<TaskBase*>(instance);
    CLASS_CHECK(base, base->Type->ClassId);
    Class_AddRef(base);
    return 1;
}

int64_t TaskBase_Release(void** instance) {
    ASSERT_POINTER(instance);
    if (*instance == nullptr) return 0;
    TaskBase* base = static_cast<TaskBase*>(*instance);
    CLASS_CHECK(base, base->Type->ClassId);
    Class_Release(instance);
    *instance = nullptr;
    return 1;
}

TaskBase* TaskBase_Check(void* instance, uint32_t classId) {
    CLASS_CHECK(instance, classId);
    return static_cast<TaskBase*>(instance);
}

int64_t TaskBase_Delete(void** instance) {
    return DeleteInstance(instance);
}

void* TaskBase_GetInstance(Task* task) {
    void* instance = nullptr;
    Task_GetInterfaceHandle(task, &instance);
    return instance;
}

// ---- Observers --------------------------------------------------------------------------------

int64_t TaskBase_AddTaskObserver(TaskBase* base, const char* type, const char* name,
                                 NotificationObserverCallback callback) {
    ASSERT_POINTER(base);
    ASSERT_POINTER(type);
    ASSERT_POINTER(name);
    ASSERT_POINTER(callback);
    TaskBaseObserver* free = nullptr;
    for (TaskBaseObserver& observer : base->Observers) {
        if (observer.Callback == callback && String_Compare(observer.Type, type) && String_Compare(observer.Name, name))
            return 0;
        if (!observer.Callback && !free) free = &observer;
    }
    if (!free) return 0;
    *free = {type, name, callback};
    return NotificationCenter_AddInstanceObserver(type, name, base->TaskId, base, callback);
}

int64_t TaskBase_RemoveTaskObserver(TaskBase* base, const char* type, const char* name,
                                    NotificationObserverCallback callback) {
    ASSERT_POINTER(base);
    ASSERT_POINTER(type);
    ASSERT_POINTER(name);
    for (TaskBaseObserver& observer : base->Observers) {
        if (observer.Callback == callback && String_Compare(observer.Type, type) &&
            String_Compare(observer.Name, name)) {
            observer = {};
            return NotificationCenter_RemoveInstanceObserver(type, name, base->TaskId, base, callback);
        }
    }
    return 0;
}

int64_t TaskBase_AddProcessObserver(TaskBase* base, NotificationObserverCallback callback) {
    return TaskBase_AddTaskObserver(base, "NotificationCenter", "Process", callback);
}

int64_t TaskBase_RemoveProcessObserver(TaskBase* base, NotificationObserverCallback callback) {
    return TaskBase_RemoveTaskObserver(base, "NotificationCenter", "Process", callback);
}

// ---- Arguments and errors ---------------------------------------------------------------------

int64_t TaskBase_RequireArgument(TaskBase* base, const char* key) {
    ASSERT_POINTER(base);
    ASSERT_POINTER(key);
    if (Task_HasArgument(base->Owner, key)) return 1;
    return TaskBase_Fail(base, "Task_Error_MissingArg", "\"%s\" argument not defined", key);
}

int64_t TaskBase_GetStringArgument(TaskBase* base, const char* key, char* buffer, int32_t capacity) {
    ASSERT_POINTER(base);
    ASSERT_POINTER(key);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    buffer[0] = 0;
    const char* text = nullptr;
    if (!Task_GetArgumentPtr(base->Owner, key, &text) || !text) return 0;
    String_CopyLength(buffer, text, capacity);
    Task_ExpandString(base->Owner, buffer, capacity);
    return 1;
}

int64_t TaskBase_Fail(TaskBase* base, const char* errorKey, const char* format, ...) {
    ASSERT_POINTER(base);
    ASSERT_POINTER(errorKey);
    ASSERT_POINTER(format);
    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    String_VPrint(message, sizeof(message), format, args);
    va_end(args);
    Task_Print(base->Owner, "%s", message);
    Task_AddError(base->Owner, "%s", errorKey);
    Task_Complete(base->Owner, nullptr);
    return 0;
}

int64_t TaskBase_InvalidArgument(TaskBase* base, const char* format, ...) {
    ASSERT_POINTER(base);
    ASSERT_POINTER(format);
    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    String_VPrint(message, sizeof(message), format, args);
    va_end(args);
    Task_Print(base->Owner, "%s", message);
    Task_AddError(base->Owner, "Task_Error_InvalidArg");
    return 1;
}

int64_t TaskBase_NumberArgument(TaskBase* base, const char* key, double* value) {
    ASSERT_POINTER(base);
    ASSERT_POINTER(key);
    ASSERT_POINTER(value);
    uint32_t type = 0;
    if (!Task_GetArgumentType(base->Owner, key, &type) || type == DICTIONARY_TYPE_NULL) return 1;
    double number = 0;
    if (Task_GetNumberArgument(base->Owner, key, &number)) {
        *value = number;
        return 1;
    }
    // A number mistyped as a word would otherwise count as 0: a wait of nothing, a code of 0.
    char text[kMessageSize / 4];
    TaskBase_GetStringArgument(base, key, text, sizeof(text));
    if (!base->Worker)
        return TaskBase_Fail(base, "Task_Error_InvalidArg", "\"%s\" argument is not a number (\"%s\")", key, text);
    // A worker type's start hands its error to the worker, which completes the task.
    Task_Print(base->Owner, "\"%s\" argument is not a number (\"%s\")", key, text);
    WorkerTask_SetError(base->Worker, "Task_Error_InvalidArg");
    return 0;
}

namespace {

// A whole number as its digits, any other as "%g" gives it: a range reads "0 to 31536000", not
// "0 to 3.1536e+07".
void NumberText(char* buffer, int32_t capacity, double number) {
    if (number == std::floor(number) && std::fabs(number) < 1e15)
        String_Print(buffer, capacity, "%lld", (long long)number);
    else
        String_Print(buffer, capacity, "%g", number);
}

// A refused argument's line ends the task: at once, or, at a worker-thread type's start, through
// the worker, which gets the error and completes the task. Always 1 (refused).
int64_t FailInvalidArgument(TaskBase* base, const char* line) {
    if (!base->Worker) {
        TaskBase_Fail(base, "Task_Error_InvalidArg", "%s", line);
        return 1;
    }
    Task_Print(base->Owner, "%s", line);
    WorkerTask_SetError(base->Worker, "Task_Error_InvalidArg");
    return 1;
}

} // namespace

int64_t TaskBase_NumberArgumentInRange(TaskBase* base, const char* key, double minimum, double maximum,
                                       double* value) {
    ASSERT_POINTER(value);
    double number = *value;
    if (!TaskBase_NumberArgument(base, key, &number)) return 0;
    if (number >= minimum && number <= maximum) {
        *value = number;
        return 1;
    }
    // Held to the range here, once, instead of by each use: a value past it would be cut to an
    // integer somewhere else, or wait for ever.
    char low[40], high[40], given[40];
    NumberText(low, (int32_t)sizeof(low), minimum);
    NumberText(high, (int32_t)sizeof(high), maximum);
    NumberText(given, (int32_t)sizeof(given), number);
    if (!base->Worker)
        return TaskBase_Fail(base, "Task_Error_InvalidArg", "\"%s\" argument is out of range (%s to %s): %s", key, low,
                             high, given);
    Task_Print(base->Owner, "\"%s\" argument is out of range (%s to %s): %s", key, low, high, given);
    WorkerTask_SetError(base->Worker, "Task_Error_InvalidArg");
    return 0;
}

int64_t TaskBase_RefuseLocation(TaskBase* base, const char* key, const char* text) {
    ASSERT_POINTER(base);
    ASSERT_POINTER(key);
    ASSERT_POINTER(text);
    char line[TASK_MESSAGE_SIZE];
    // Judged with the text as written too: a location that gave no full path is refused as well.
    const char* written = nullptr;
    uint32_t type = 0;
    if (!Task_GetArgumentType(base->Owner, key, &type) || type != DICTIONARY_TYPE_STRING ||
        !Task_GetArgumentPtr(base->Owner, key, &written))
        written = nullptr;
    if (!String_ExpandJudgePath(key, written, text, line, (int32_t)sizeof(line))) return 0;
    return FailInvalidArgument(base, line);
}

namespace {

// Whether an expanded text still holds a location token (a refused folder's stand-in is no
// token: what begins with it is judged, and said, by its folder).
bool StillHoldsLocation(const char* text) {
    constexpr const char kLeft[] = "names a location";
    char said[256], shown[16];
    return String_ExpandJudgeLocation(text, said, (int32_t)sizeof(said), shown, (int32_t)sizeof(shown)) &&
           strncmp(said, kLeft, sizeof(kLeft) - 1) == 0;
}

// The first location token of `written` (its own name a location's, nested ones too) that,
// expanded on its own with the task's rules, gives nothing or is still there; its name to `name`.
bool LocationLostIn(Task* task, const char* written, char* name, int32_t capacity) {
    char* token = nullptr;
    bool lost = false;
    // The expander works in a buffer of this many bytes: nothing past it is ever a token.
    const char* last = written + strnlen(written, STRING_EXPAND_WORK_SIZE - 1);
    for (const char* open = strchr(written, '{'); open && open < last && !lost; open = strchr(open + 1, '{')) {
        const size_t length = strcspn(open + 1, ":{}");
        char probe[64];
        if (length == 0 || length + 3 > sizeof(probe) || open[1 + length] == '{') continue;
        String_Print(probe, (int32_t)sizeof(probe), "{%.*s}", (int32_t)length, open + 1);
        if (!String_ExpandFindLocation(probe, nullptr, 0)) continue;
        // The token's whole text, its inner tokens included: it is what the expander replaces.
        int32_t depth = 0;
        const char* end = open;
        for (; *end && end < last; end++) {
            if (*end == '{') depth++;
            else if (*end == '}' && --depth == 0) break;
        }
        if (!*end || end >= last) continue; // never closed: text, not a token
        const size_t size = (size_t)(end - open + 1);
        if (!token) token = static_cast<char*>(Memory_AllocZero(STRING_EXPAND_WORK_SIZE));
        memcpy(token, open, size);
        token[size] = 0;
        // Named whole, as the path judgement names it ({Env:NAME}, not {Env}).
        String_Print(name, capacity, "%.*s", (int32_t)(size - 2), open + 1);
        Task_ExpandString(task, token, STRING_EXPAND_WORK_SIZE);
        lost = !token[0] || StillHoldsLocation(token);
    }
    if (token) Memory_Free(token, STRING_EXPAND_WORK_SIZE);
    if (!lost && capacity > 0) name[0] = 0;
    return lost;
}

// Whether an expanded argument may be used where a path might be: today's guard on its text.
int64_t JudgeExpandedArgument(const char* key, const char* expanded, char* line, int32_t capacity) {
    return String_ExpandRefuseArgument(key, expanded, line, capacity);
}

} // namespace

int64_t TaskBase_JudgeProgramArgument(Task* task, const char* key, const char* written, const char* expanded,
                                      char* line, int32_t capacity) {
    ASSERT_POINTER(key);
    ASSERT_POINTER(line);
    if (capacity > 0) line[0] = 0;
    char name[256];
    if (task && written && LocationLostIn(task, written, name, (int32_t)sizeof(name))) {
        String_Print(line, capacity, "\"%s\" argument names a location without its folder ({%s}): %s", key, name,
                     written);
        return 1;
    }
    return expanded && JudgeExpandedArgument(key, expanded, line, capacity) ? 1 : 0;
}

int64_t TaskBase_RefuseProgramArgument(TaskBase* base, const char* key, const char* written, const char* expanded) {
    ASSERT_POINTER(base);
    char line[TASK_MESSAGE_SIZE];
    if (!TaskBase_JudgeProgramArgument(base->Owner, key, written, expanded, line, (int32_t)sizeof(line))) return 0;
    return FailInvalidArgument(base, line);
}

int64_t TaskBase_AddPlatformError(TaskBase* base, int32_t code) {
    ASSERT_POINTER(base);
    const char* name = Platform_TranslateError(code);
    if (!name || strcmp(name, "Unknown") == 0 || strcmp(name, "None") == 0)
        return Task_AddError(base->Owner, "Platform_Error_%d", code);
    return Task_AddError(base->Owner, "Platform_Error_%s", name);
}

int32_t TaskBase_JudgeFileName(Task* task, const char* path, uint32_t replacing) {
    ASSERT_POINTER(path);
    char resolved[PATH_SIZE];
    int32_t refused = 0;
    errno = 0;
    // Said with the resolver's own reason: a location left in the name, a home that cannot be
    // named, a name too long.
    if (!Path_Resolve(path, resolved, PATH_SIZE))
        refused = errno ? errno : EINVAL;
    else if (!Platform_DocumentCheckName(resolved, replacing ? 1 : 0))
        refused = errno ? errno : EIO;
    if (refused == 0) return 0;
    const PlatformErrorCode code = PLATFORM_ERROR_ERRNO_BASE + refused;
    char reason[256] = "";
    char location[32] = "";
    if (refused == EINVAL && String_ExpandFindLocation(path, location, (int32_t)sizeof(location)))
        String_Print(reason, sizeof(reason), "names a location without its folder ({%s})", location);
    else if (!Platform_GetErrorString(code, reason, sizeof(reason)))
        String_CopyLength(reason, "cannot be used", sizeof(reason));
    Task_Print(task, "%s: %s", path, reason);
    return (int32_t)code;
}

// ---- Worker threads -----------------------------------------------------------------------------

uint32_t TaskBase_OnCancelStop(WorkerTask*, void* user) {
    TaskBase* base = static_cast<TaskBase*>(user);
    ASSERT_POINTER(base);
    TaskBase_RequestStop(base);
    return (uint32_t)DefaultCancel(base);
}

int64_t TaskBase_RequestStop(TaskBase* base) {
    ASSERT_POINTER(base);
    uint32_t expected = 0;
    return __atomic_compare_exchange_n(&base->StopFlag, &expected, 1u, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST) ? 1
                                                                                                                 : 0;
}

int64_t TaskBase_IsStopRequested(TaskBase* base) {
    ASSERT_POINTER(base);
    return __atomic_load_n(&base->StopFlag, __ATOMIC_SEQ_CST) != 0;
}

int64_t TaskBase_PostProgress(TaskBase* base, uint64_t done, uint64_t total) {
    ASSERT_POINTER(base);
    const ProgressRecord record = {kProgressTag, done, total};
    return EventQueue_Add(nullptr, base, &record, sizeof(record), OnProgress);
}

int64_t TaskBase_SetProgressUnknown(TaskBase* base) {
    ASSERT_POINTER(base);
    Task_SetProgress(base->Owner, 0);
    return Task_SetProgress(base->Owner, -1);
}

// ---- Endings ----------------------------------------------------------------------------------

int64_t TaskBase_Complete(TaskBase* base, Dictionary* result) {
    ASSERT_POINTER(base);
    return Task_Complete(base->Owner, result);
}

int64_t TaskBase_RunOutcome(TaskBase* base, const char* word) {
    ASSERT_POINTER(base);
    ASSERT_POINTER(word);
    return Task_RunSubAction(base->Owner, word, base, Task_SubAction_Complete);
}

int64_t TaskBase_RunOutcomeThen(TaskBase* base, const char* word, TaskSubActionCallback callback) {
    ASSERT_POINTER(base);
    ASSERT_POINTER(word);
    ASSERT_POINTER(callback);
    return Task_RunSubAction(base->Owner, word, base, callback);
}

int64_t TaskBase_RunOutcomePair(TaskBase* base, const char* first, const char* second) {
    ASSERT_POINTER(base);
    ASSERT_POINTER(first);
    ASSERT_POINTER(second);
    base->NextOutcome = second;
    if (base->FirstFailure) Dictionary_Release(&base->FirstFailure);
    return Task_RunSubAction(base->Owner, first, base, OnFirstOutcome);
}

int64_t TaskBase_RunComparison(TaskBase* base, int32_t result) {
    if (result == 0) return TaskBase_RunOutcome(base, "equalTo");
    return TaskBase_RunOutcomePair(base, "notEqualTo", result < 0 ? "lessThan" : "greaterThan");
}
