// The basic task types that end or stop a workflow, wait, log, fire notifications and publish
// status; all run on the main thread.
#include "tasks/basic_tasks.h"

#include <cmath>
#include <cstring>
#include <ctime>

#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "tasks/task_base.h"
#include "workflow/task_type.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"

namespace {

constexpr int32_t kShortSize = 320;
constexpr int32_t kLogItemSize = 4096;

// A boolean item as the task arguments read one: a Boolean, or a text such as "true" or "1".
bool ItemIsTrue(Dictionary* dict, const char* key) {
    uint32_t value = 0;
    if (Dictionary_GetBooleanByKey(dict, key, &value) == 1) return value != 0;
    char text[kShortSize];
    if (!Dictionary_GetStringByKey(dict, key, text, sizeof(text))) return false;
    int64_t decoded = 0;
    return String_DecodeBoolean(text, &decoded, 0) == 1 && decoded != 0;
}

// The integer part of a number, held to the 32-bit range (a process exit code).
uint32_t IntegerPart(double number) {
    if (number >= 2147483647.0) return 2147483647u;
    if (number <= -2147483648.0) return 0x80000000u;
    return (uint32_t)(int32_t)number;
}

// ---- End, Error, Shutdown ---------------------------------------------------------------------

struct EndInstance {
    TaskBase Base;
};

// "restartArguments" judged as written and, once expanded (in `expanded`), each word of it.
bool RefuseRestartArguments(TaskBase* base, Dictionary* expanded) {
    const char* written = nullptr;
    const char* text = nullptr;
    if (!Task_GetArgumentPtr(base->Owner, "restartArguments", &written) || !written ||
        !Dictionary_GetStringPtrByKey(expanded, "restartArguments", &text) || !text)
        return false;
    if (TaskBase_RefuseProgramArgument(base, "restartArguments", written, nullptr)) return true;
    int32_t count = 0;
    char** words = nullptr;
    bool refused = false;
    if (!Arguments_Build(text, &count, &words)) {
        TaskBase_Fail(base, "Task_Error_InvalidArg", "\"restartArguments\" argument cannot be split: %s", text);
        return true;
    }
    for (int32_t i = 0; i < count && !refused; i++)
        refused = TaskBase_RefuseProgramArgument(base, "restartArguments", nullptr, words[i]) != 0;
    Arguments_Free(&count, &words);
    return refused;
}

int64_t End_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, ENDTASK_CLASS_ID);
    Task* task = base->Owner;
    double exitCode = std::nan("");
    if (!TaskBase_NumberArgument(base, "exitCode", &exitCode)) return 1;
    if (!std::isnan(exitCode)) Debug_SetExitCode(IntegerPart(exitCode));
    // A break asked of a release program only leaves a line: stopping the process here would
    // lose everything the workflow has not yet saved.
    uint32_t stop = 0;
    if (Task_GetBooleanArgument(task, "break", &stop) && stop) Task_Print(task, "Break requested");

    const char* type = Task_GetType(task);
    char text[kShortSize];
    if (type && String_CompareWithoutCase(type, "End")) {
        if (TaskBase_GetStringArgument(base, "error", text, sizeof(text))) Task_AddError(task, "%s", text);
    } else if (type && String_CompareWithoutCase(type, "Shutdown")) {
        Dictionary* copy = nullptr;
        if (Dictionary_Create(&copy)) {
            Dictionary_Merge(copy, Task_GetDictionaryHandle(task), 0);
            Task_ExpandDictionary(task, copy);
            // The program a restart would run is judged before anything stops.
            const char* restart = nullptr;
            if (Dictionary_GetStringPtrByKey(copy, "restartPath", &restart) && restart &&
                TaskBase_RefuseLocation(base, "restartPath", restart)) {
                Dictionary_Release(&copy);
                return 1;
            }
            // And so is what it would be handed, word by word as the restart splits it.
            if (RefuseRestartArguments(base, copy)) {
                Dictionary_Release(&copy);
                return 1;
            }
            Task_Print(task, "Initiating shutdown");
            if (ItemIsTrue(copy, "selfUpdate")) Dictionary_SetBooleanByKey(copy, "canRemote", 0);
            char id[40];
            Task_GetInstanceId(task, id, sizeof(id));
            NotificationCenter_FireAfterDelay("WorkflowApp", "Shutdown", id, 0, copy);
            Dictionary_Release(&copy);
        }
    } else if (TaskBase_GetStringArgument(base, "message", text, sizeof(text))) {
        Task_AddError(task, "%s", text);
    }
    return TaskBase_Complete(base, nullptr);
}

const TaskBaseType kEndType = {
    .ClassId = ENDTASK_CLASS_ID, .Size = sizeof(EndInstance), .OnStart = End_OnStart};

int64_t End_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kEndType);
}

// ---- Implode ----------------------------------------------------------------------------------

struct ImplodeInstance {
    TaskBase Base;
};

int64_t Implode_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, IMPLODETASK_CLASS_ID);
    Task_Print(base->Owner, "Imploding");
    // A "path" that expands to nothing removes nothing: only a missing "path" names the program.
    if (Task_HasArgument(base->Owner, "path")) {
        char path[kShortSize];
        TaskBase_GetStringArgument(base, "path", path, sizeof(path));
        if (TaskBase_RefuseLocation(base, "path", path)) return 1;
        WorkflowApp_SetImplodePath(path);
    } else {
        WorkflowApp_Implode();
    }
    return TaskBase_Complete(base, nullptr);
}

const TaskBaseType kImplodeType = {
    .ClassId = IMPLODETASK_CLASS_ID, .Size = sizeof(ImplodeInstance), .OnStart = Implode_OnStart};

int64_t Implode_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kImplodeType);
}

// ---- Sleep ------------------------------------------------------------------------------------

struct SleepInstance {
    TaskBase Base;
    double StartTime; // monotonic seconds; 0 while not waiting
    double EndTime;
    double Seconds;
};

void NowText(char* buffer, int32_t capacity) {
    struct tm now = {};
    Time_GetCurrentEncodedGMT(&now);
    String_Print(buffer, capacity, "%s, %.2d %s %.2d %.2d:%.2d:%.2d GMT",
                 Time_GetShortDayName(now.tm_wday + 1), now.tm_mday, Time_GetShortMonthName(now.tm_mon + 1),
                 now.tm_year % 100, now.tm_hour, now.tm_min, now.tm_sec);
}

int64_t Sleep_OnTick(void* user, const char*, const char*, const char*, Dictionary*) {
    SleepInstance* instance = reinterpret_cast<SleepInstance*>(TaskBase_Check(user, SLEEPTASK_CLASS_ID));
    if (instance->StartTime == 0) return 1;
    // The clock counts whole milliseconds: a reading taken late in one millisecond and another early
    // in a later one make a span seem up to 1 ms longer than it was, so a wait asks for 1 ms more.
    if (Time_GetCurrent() - instance->StartTime < instance->Seconds + 0.001) return 1;
    TaskBase_RemoveProcessObserver(&instance->Base, Sleep_OnTick);
    return TaskBase_Complete(&instance->Base, nullptr);
}

int64_t Sleep_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    SleepInstance* instance = reinterpret_cast<SleepInstance*>(TaskBase_Check(user, SLEEPTASK_CLASS_ID));
    TaskBase* base = &instance->Base;
    if (!TaskBase_RequireArgument(base, "seconds")) return 1;
    // Up to a year: a wait past that is a mistyped number, not a plan.
    if (!TaskBase_NumberArgumentInRange(base, "seconds", 0, 31536000, &instance->Seconds)) return 1;
    instance->EndTime = 0;
    instance->StartTime = Time_GetCurrent();
    // The clock's very first reading may be 0, which means "not waiting".
    if (instance->StartTime == 0) instance->StartTime = 1e-9;
    char now[64];
    NowText(now, sizeof(now));
    Task_Print(base->Owner, "Waiting %.02f seconds - %s", instance->Seconds, now);
    TaskBase_AddProcessObserver(base, Sleep_OnTick);
    return 1;
}

int64_t Sleep_OnComplete(void* user, const char*, const char*, const char*, Dictionary*) {
    SleepInstance* instance = reinterpret_cast<SleepInstance*>(TaskBase_Check(user, SLEEPTASK_CLASS_ID));
    TaskBase_RemoveProcessObserver(&instance->Base, Sleep_OnTick);
    instance->StartTime = 0;
    instance->EndTime = Time_GetCurrent();
    char now[64];
    NowText(now, sizeof(now));
    Task_Print(instance->Base.Owner, "Wait %s - %s",
               Task_IsCancelled(instance->Base.Owner) ? "cancelled" : "completed", now);
    return 1;
}

const TaskBaseType kSleepType = {.ClassId = SLEEPTASK_CLASS_ID,
                                 .Size = sizeof(SleepInstance),
                                 .OnStart = Sleep_OnStart,
                                 .OnComplete = Sleep_OnComplete};

int64_t Sleep_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kSleepType);
}

// ---- Log --------------------------------------------------------------------------------------

struct LogInstance {
    TaskBase Base;
};

void LogItem(TaskBase* base, const char* stored) {
    char text[kLogItemSize];
    String_CopyLength(text, stored, sizeof(text));
    Task_ExpandString(base->Owner, text, sizeof(text));
    Task_SetStatusString(base->Owner, "message", text);
    Task_Print(base->Owner, "%s", text);
}

int64_t Log_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, LOGTASK_CLASS_ID);
    Dictionary* arguments = Task_GetDictionaryHandle(base->Owner);
    int32_t count = 0;
    Dictionary* list = nullptr;
    const char* stored = nullptr;
    if (Dictionary_GetListByKey(arguments, "message", &list) == 1 && list) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
            if (!Dictionary_ItemCompareType(list, item, DICTIONARY_TYPE_STRING)) continue;
            if (Dictionary_ItemGetStringPtr(list, item, &stored) && stored) {
                LogItem(base, stored);
                count++;
            }
        }
    } else if (Task_GetArgumentPtr(base->Owner, "message", &stored) && stored) {
        LogItem(base, stored);
        count++;
    }
    if (count == 0 && !Task_HasArgument(base->Owner, "message"))
        return TaskBase_Fail(base, "Task_Error_MissingArg", "\"message\" argument not defined");
    return TaskBase_Complete(base, nullptr);
}

const TaskBaseType kLogType = {
    .ClassId = LOGTASK_CLASS_ID, .Size = sizeof(LogInstance), .OnStart = Log_OnStart};

int64_t Log_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kLogType);
}

// ---- Notification -----------------------------------------------------------------------------

struct NotificationInstance {
    TaskBase Base;
};

int64_t Notification_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, NOTIFICATIONTASK_CLASS_ID);
    Task* task = base->Owner;
    if (!TaskBase_RequireArgument(base, "event")) return 1;
    char type[kShortSize];
    char name[kShortSize];
    TaskBase_GetStringArgument(base, "event", type, sizeof(type));
    if (char* dot = strchr(type, '.')) {
        *dot = 0;
        String_CopyLength(name, dot + 1, sizeof(name));
    } else {
        String_CopyLength(name, type, sizeof(name));
    }
    double delay = 0;
    if (!TaskBase_NumberArgument(base, "delay", &delay)) return 1;
    // A delay the notification queue cannot hold fires at once or at its longest.
    if (!(delay > 0)) delay = 0;
    if (delay > 2147483647.0) delay = 2147483647.0;
    Task_Print(task, "Firing event %s.%s after %.02fms", type, name, delay);
    Dictionary* content = nullptr;
    Dictionary_Create(&content);
    Dictionary* info = content;
    if (Task_HasArgument(task, "content") && Task_GetDictionaryArgument(task, "content", content)) {
        Dictionary_SkipRoot(content, &info);
        if (!info) info = content;
        Task_ExpandDictionary(task, info);
    }
    char id[40];
    Task_GetInstanceId(task, id, sizeof(id));
    NotificationCenter_FireAfterDelay(type, name, id, (int32_t)delay, info);
    Dictionary_Release(&content);
    return TaskBase_Complete(base, nullptr);
}

const TaskBaseType kNotificationType = {.ClassId = NOTIFICATIONTASK_CLASS_ID,
                                        .Size = sizeof(NotificationInstance),
                                        .OnStart = Notification_OnStart};

int64_t Notification_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kNotificationType);
}

// ---- Status -----------------------------------------------------------------------------------

struct StatusInstance {
    TaskBase Base;
};

int64_t Status_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, STATUSTASK_CLASS_ID);
    Task* task = base->Owner;
    uint32_t kind = TASK_PATH_TASK;
    void* target = task;
    const char* path = nullptr;
    if (Task_HasArgument(task, "target")) {
        kind = TASK_PATH_NONE;
        target = nullptr;
        if (Task_GetArgumentPtr(task, "target", &path) && path)
            Task_EvaluatePathToObject(task, path, &kind, &target);
    }
    if (kind != TASK_PATH_WORKFLOW && kind != TASK_PATH_TASK) {
        TaskBase_InvalidArgument(base, "Cannot locate target");
        return TaskBase_Complete(base, nullptr);
    }
    Dictionary* copy = nullptr;
    if (Dictionary_Create(&copy)) {
        Dictionary_Merge(copy, Task_GetDictionaryHandle(task), 0);
        Dictionary_RemoveByKey(copy, "type");
        Dictionary_RemoveByKey(copy, "target");
        if (kind == TASK_PATH_WORKFLOW)
            Workflow_SetStatusWithDictionary(static_cast<Workflow*>(target), copy);
        else
            Task_SetStatusWithDictionary(static_cast<Task*>(target), copy);
        Dictionary_Release(&copy);
    }
    return TaskBase_Complete(base, nullptr);
}

const TaskBaseType kStatusType = {
    .ClassId = STATUSTASK_CLASS_ID, .Size = sizeof(StatusInstance), .OnStart = Status_OnStart};

int64_t Status_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kStatusType);
}

} // namespace

const TaskInterface End_Interface = {"End", End_Create, TaskBase_AddRef, TaskBase_Release};
const TaskInterface Error_Interface = {"Error", End_Create, TaskBase_AddRef, TaskBase_Release};
const TaskInterface Shutdown_Interface = {"Shutdown", End_Create, TaskBase_AddRef, TaskBase_Release};
const TaskInterface Implode_Interface = {"Implode", Implode_Create, TaskBase_AddRef, TaskBase_Release};
const TaskInterface Sleep_Interface = {"Sleep", Sleep_Create, TaskBase_AddRef, TaskBase_Release};
const TaskInterface Log_Interface = {"Log", Log_Create, TaskBase_AddRef, TaskBase_Release};
const TaskInterface Notification_Interface = {"Notification", Notification_Create, TaskBase_AddRef,
                                              TaskBase_Release};
const TaskInterface Status_Interface = {"Status", Status_Create, TaskBase_AddRef, TaskBase_Release};

int64_t BasicTasks_Register() {
    static const TaskInterface* const kRecords[] = {
        &End_Interface,
        &Error_Interface,
        &Shutdown_Interface,
        &Implode_Interface,
        &Sleep_Interface,
        &Log_Interface,
        &Notification_Interface,
        &Status_Interface,
        &StringContains_Interface,
        &StringCompare_Interface,
        &NumberCompare_Interface,
        &VersionCompare_Interface,
        &Singleton_Interface,
        &Environment_Interface,
        &EnvironmentGet_Interface,
        &EnvironmentSet_Interface,
    };
    for (const TaskInterface* record : kRecords) TaskType_RegisterDefault(record);
    return 1;
}
