// The basic task types that reach beyond the workflow: a lock shared with other processes and the
// process's environment variables.
#include <cstring>

#include "core/linux/platform.h"
#include "core/linux/platform_system.h"
#include "core/platform/app_mark.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"
#include "tasks/basic_tasks.h"
#include "tasks/task_base.h"

namespace {

constexpr int32_t kNameSize = 320;
constexpr int32_t kVariableNameSize = 119;
constexpr int32_t kVariableValueSize = 8192;

// ---- Singleton --------------------------------------------------------------------------------

struct SingletonInstance {
    TaskBase Base;
    AppMark Mark; // held from a successful claim until the outcome chain has ended
};

void ReleaseMark(SingletonInstance* instance) {
    if (instance->Mark) AppMark_Delete(&instance->Mark);
    instance->Mark = nullptr;
}

int64_t Singleton_OnChainEnd(Task* task, void* user, Dictionary* result) {
    ReleaseMark(reinterpret_cast<SingletonInstance*>(TaskBase_Check(user, SINGLETONTASK_CLASS_ID)));
    return Task_SubAction_Complete(task, nullptr, result);
}

int64_t Singleton_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    SingletonInstance* instance = reinterpret_cast<SingletonInstance*>(TaskBase_Check(user, SINGLETONTASK_CLASS_ID));
    TaskBase* base = &instance->Base;
    if (!TaskBase_RequireArgument(base, "name")) return 1;
    char name[kNameSize];
    TaskBase_GetStringArgument(base, "name", name, sizeof(name));
    // Without a name the system has no lock to offer: every claim would seem to succeed.
    if (!name[0]) {
        TaskBase_InvalidArgument(base, "\"name\" argument is empty");
        return TaskBase_Complete(base, nullptr);
    }
    // A start while an earlier chain still runs gives that claim up first, so that it is not lost.
    ReleaseMark(instance);
    AppMark mark = nullptr;
    if (!AppMark_Create(&mark) || !mark) {
        TaskBase_InvalidArgument(base, "Cannot create lock (%s)", name);
        return TaskBase_Complete(base, nullptr);
    }
    AppMark_SetName(mark, name);
    if (!AppMark_AcquireWithTimeout(mark, 0)) {
        AppMark_Delete(&mark);
        Task_Print(base->Owner, "Lock already exists (%s)", name);
        return TaskBase_RunOutcomeThen(base, "exists", Singleton_OnChainEnd);
    }
    instance->Mark = mark;
    Task_Print(base->Owner, "Lock does not exist (%s)", name);
    return TaskBase_RunOutcomeThen(base, "missing", Singleton_OnChainEnd);
}

void Singleton_Free(TaskBase* base) {
    ReleaseMark(reinterpret_cast<SingletonInstance*>(base));
}

const TaskBaseType kSingletonType = {SINGLETONTASK_CLASS_ID,
                                     sizeof(SingletonInstance),
                                     Singleton_OnStart,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     Singleton_Free};

int64_t Singleton_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kSingletonType);
}

// ---- Environment, EnvironmentGet, EnvironmentSet ----------------------------------------------

struct EnvironmentInstance {
    TaskBase Base;
    char Value[kVariableValueSize];
};

// Sets one variable; a name the system refuses (empty, or holding "=") is an unusable argument.
void SetVariable(EnvironmentInstance* instance, const char* name, const char* value) {
    Task_Print(instance->Base.Owner, "Set environment variable %s = %s", name, value);
    if (!Platform_SetEnvironmentVariable(name, value))
        TaskBase_InvalidArgument(&instance->Base, "Cannot set environment variable %s", name);
}

int64_t Environment_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    EnvironmentInstance* instance =
        reinterpret_cast<EnvironmentInstance*>(TaskBase_Check(user, ENVIRONMENTTASK_CLASS_ID));
    TaskBase* base = &instance->Base;
    Task* task = base->Owner;
    char name[kVariableNameSize];
    if (Task_HasArgument(task, "key")) {
        TaskBase_GetStringArgument(base, "key", name, sizeof(name));
        if (Task_HasArgument(task, "value")) {
            TaskBase_GetStringArgument(base, "value", instance->Value, kVariableValueSize);
            SetVariable(instance, name, instance->Value);
        } else {
            // An unset variable reads as empty.
            Platform_GetEnvironmentVariable(name, instance->Value, kVariableValueSize);
            Task_Print(task, "Get environment variable %s", name);
            if (name[0]) Task_SetStatusString(task, name, instance->Value);
        }
        return TaskBase_Complete(base, nullptr);
    }
    Dictionary* pairs = nullptr;
    uint32_t count = 0;
    if (!Dictionary_GetDictionaryByKey(Task_GetDictionaryHandle(task), "keyValuePairs", &pairs) || !pairs ||
        !Dictionary_ItemGetCount(pairs, &count) || count == 0)
        return TaskBase_Fail(base, "Task_Error_MissingArg", "key/keyValuePairs argument not defined");
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(pairs, &item); item; Dictionary_ItemGetNext(pairs, item, &item)) {
        const char* key = nullptr;
        const char* value = nullptr;
        if (!Dictionary_ItemCompareType(pairs, item, DICTIONARY_TYPE_STRING) ||
            !Dictionary_ItemGetKeyPtr(pairs, item, &key) || !key || !Dictionary_ItemGetStringPtr(pairs, item, &value) ||
            !value)
            continue;
        String_CopyLength(name, key, sizeof(name));
        Task_ExpandString(task, name, sizeof(name));
        String_CopyLength(instance->Value, value, kVariableValueSize);
        Task_ExpandString(task, instance->Value, kVariableValueSize);
        SetVariable(instance, name, instance->Value);
    }
    return TaskBase_Complete(base, nullptr);
}

const TaskBaseType kEnvironmentType = {ENVIRONMENTTASK_CLASS_ID,
                                       sizeof(EnvironmentInstance),
                                       Environment_OnStart,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr};

int64_t Environment_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kEnvironmentType);
}

} // namespace

const TaskInterface Singleton_Interface = {"Singleton", Singleton_Create, TaskBase_AddRef, TaskBase_Release};
const TaskInterface Environment_Interface = {"Environment", Environment_Create, TaskBase_AddRef, TaskBase_Release};
const TaskInterface EnvironmentGet_Interface = {"EnvironmentGet", Environment_Create, TaskBase_AddRef,
                                                TaskBase_Release};
const TaskInterface EnvironmentSet_Interface = {"EnvironmentSet", Environment_Create, TaskBase_AddRef,
                                                TaskBase_Release};
