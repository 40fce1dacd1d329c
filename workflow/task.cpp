// Task: the object itself, its accessors, printing and the operation table handed to task types.
#include "workflow/task.h"

#include <cstring>

#include "core/certs/cert_store.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "workflow/task_internal.h"
#include "workflow/task_request.h"

namespace {

int64_t DeleteHandle(void** handle) {
    return Task_Delete(reinterpret_cast<Task**>(handle));
}

void PreparePrint(Task* task) {
    ClassPrint_Prepare(&task->Print, task, "Task", nullptr);
}

// A script that takes a reference on the task holds one of ours until it lets go.
int64_t OnInterop(void* user, const char*, const char*, const char*, Dictionary* info) {
    Task* task = static_cast<Task*>(user);
    uint32_t addRef = 0;
    if (info) Dictionary_GetBooleanByKey(info, "addRef", &addRef);
    if (addRef)
        Task_AddRef(task);
    else
        Task_Release(&task);
    return 1;
}

int64_t CreateDictionary(Task* task, Dictionary** dict) {
    if (!Dictionary_Create(dict)) return 0;
    PreparePrint(task);
    Dictionary_SetPrintCallback(*dict, task->Print.PrintUser, task->Print.PrintCallback);
    return 1;
}

} // namespace

int64_t Task_Create(Task** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    Task* task = static_cast<Task*>(Memory_AllocZero(sizeof(Task)));
    task->Header.ClassId = TASK_CLASS_ID;
    task->Header.RefCount = 1;
    task->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(task);
    Class_TrackInstance(task, task->Header.InstanceId, nullptr);
    task->Vtbl = &GlobalTaskVtbl;
    PreparePrint(task);
    String_CopyLength(task->DefaultCertStore, "app", TASK_STORE_NAME_SIZE);
    CallbackBase_Set(&task->AuthenticateCallback, 0, task, Task_DefaultAuthenticateCallback);
    CreateDictionary(task, &task->Arguments);
    CreateDictionary(task, &task->Status);
    CreateDictionary(task, &task->Macros);
    NotificationCenter_AddInstanceObserver("NotificationCenter", "Interop", task->Header.InstanceId, task,
                                           OnInterop);
    *handle = task;
    NotificationCenter_Fire("Task", "Create", task->Header.InstanceId, nullptr);
    return 1;
}

int64_t Task_Delete(Task** handle) {
    ASSERT_POINTER(handle);
    Task* task = *handle;
    CLASS_CHECK(task, TASK_CLASS_ID);
    if (task->Request) Task_RequestDelete(task);
    if (task->CertStores) CertStoreList_Release(&task->CertStores);
    Task_SetInterface(task, nullptr);
    Task_ObserveStatus(task, false);
    NotificationCenter_RemoveInstanceObserver("NotificationCenter", "Interop", task->Header.InstanceId, task,
                                              OnInterop);
    Dictionary_Release(&task->Status);
    Dictionary_Release(&task->Macros);
    Dictionary_Release(&task->Arguments);
    Class_UntrackInstance(task);
    task->Header.ClassId = 0;
    Memory_Free(task, sizeof(Task));
    *handle = nullptr;
    return 1;
}

int64_t Task_AddRef(Task* task) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    Class_AddRef(task);
    return 1;
}

int64_t Task_Release(Task** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, TASK_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t Task_ValidHandle(void* handle) {
    return handle && static_cast<Class*>(handle)->ClassId == TASK_CLASS_ID;
}

int64_t Task_GetInstanceId(Task* task, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    CLASS_CHECK(task, TASK_CLASS_ID);
    String_CopyLengthSafe(buffer, capacity, task->Header.InstanceId, 36);
    return 1;
}

int64_t Task_SetInterface(Task* task, const TaskInterface* record) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    if (task->Interface && task->Instance && task->Interface->Release) task->Interface->Release(&task->Instance);
    task->Instance = nullptr;
    if (!record) {
        task->Interface = nullptr;
        return 1;
    }
    if (record != &task->InterfaceCopy) {
        task->InterfaceCopy = *record;
        String_CopyLength(task->InterfaceName, record->Name ? record->Name : "", TASK_NAME_SIZE);
        task->InterfaceCopy.Name = task->InterfaceName;
    }
    task->Interface = &task->InterfaceCopy;
    if (task->Interface->Create) return task->Interface->Create(&task->Instance, task);
    return 1;
}

int64_t Task_GetInterface(Task* task, const TaskInterface** record) {
    ASSERT_POINTER(record);
    *record = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    *record = task->Interface;
    return *record != nullptr;
}

int64_t Task_GetInterfaceHandle(Task* task, void** instance) {
    ASSERT_POINTER(instance);
    *instance = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    *instance = task->Instance;
    return *instance != nullptr;
}

int64_t Task_GetName(Task* task, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    CLASS_CHECK(task, TASK_CLASS_ID);
    return String_CopyLength(buffer, task->Name, capacity) < capacity;
}

int64_t Task_GetNamePtr(Task* task, const char** name) {
    ASSERT_POINTER(name);
    *name = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    *name = task->Name;
    return 1;
}

int64_t Task_SetName(Task* task, const char* name) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(name);
    String_CopyLength(task->Name, name, TASK_NAME_SIZE);
    return 1;
}

const char* Task_GetType(Task* task) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    if (!task->Interface) Debug_Abort("Assertion failed (Task->Interface != NULL)\nTask interface is not set");
    return task->Interface->Name;
}

int64_t Task_SetPrivate(Task* task, uint32_t value) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    task->Private = value;
    return 1;
}

int64_t Task_GetPrivate(Task* task, uint32_t* value) {
    ASSERT_POINTER(value);
    *value = 0;
    CLASS_CHECK(task, TASK_CLASS_ID);
    *value = task->Private;
    return 1;
}

int64_t Task_SetWorkflowHandle(Task* task, Workflow* workflow) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    task->Workflow_ = workflow;
    return 1;
}

Workflow* Task_GetWorkflowHandle(Task* task) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    return task->Workflow_;
}

Dictionary* Task_GetDictionaryHandle(Task* task) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    return task->Arguments;
}

Dictionary* Task_GetStatusDictionaryHandle(Task* task) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    return task->Status;
}

Dictionary* Task_GetMacroDictionaryHandle(Task* task) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    return task->Macros;
}

int64_t Task_SetDefaultCertStore(Task* task, const char* name) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(name);
    String_CopyLength(task->DefaultCertStore, name, TASK_STORE_NAME_SIZE);
    return 1;
}

int64_t Task_GetDefaultCertStore(Task* task, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    CLASS_CHECK(task, TASK_CLASS_ID);
    return String_CopyLength(buffer, task->DefaultCertStore, capacity) < capacity;
}

int64_t Task_SetExpandStringCallback(Task* task, void* user, TaskExpandStringCallback function) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    CallbackBase_Set(&task->ExpandStringCallback, 0, user, function);
    return 1;
}

int64_t Task_GetExpandStringCallback(Task* task, void** user, TaskExpandStringCallback* function) {
    ASSERT_POINTER(user);
    ASSERT_POINTER(function);
    *user = nullptr;
    *function = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    return CallbackBase_Get(&task->ExpandStringCallback, user, function);
}

int64_t Task_SetAuthenticateCallback(Task* task, void* user, TaskAuthenticateCallback function) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    CallbackBase_Set(&task->AuthenticateCallback, 0, user, function);
    return 1;
}

int64_t Task_IsCompleted(Task* task) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    return task->EndTime != 0;
}

int64_t Task_GetTimeElapsed(Task* task, double* seconds) {
    ASSERT_POINTER(seconds);
    *seconds = 0;
    CLASS_CHECK(task, TASK_CLASS_ID);
    const double end = task->EndTime != 0 ? task->EndTime : Time_GetCurrent();
    *seconds = end - task->StartTime;
    return 1;
}

// ---- Printing ----------------------------------------------------------------------------------

int64_t Task_PrintCallback(void* task, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Task_VPrint(static_cast<Task*>(task), 0, format, args);
    va_end(args);
    return result;
}

int64_t Task_VPrint(Task* task, int32_t indent, const char* format, va_list args) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(format);
    PreparePrint(task);
    va_list copy;
    va_copy(copy, args);
    String_VPrint(task->LastLine, (int32_t)sizeof(task->LastLine), format, copy);
    va_end(copy);
    return ClassPrint_VPrint(&task->Print, indent, format, args);
}

int64_t Task_Print(Task* task, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Task_VPrint(task, 0, format, args);
    va_end(args);
    return result;
}

int64_t Task_PrintTabbed(Task* task, int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Task_VPrint(task, indent, format, args);
    va_end(args);
    return result;
}

int64_t Task_VerboseLog(Task* task, int32_t level, const char* format, ...) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    PreparePrint(task);
    const bool own = level >= 0 && task->OwnVerbose >= (uint32_t)level && task->OwnVerbose != 0;
    if (!own && !ClassPrint_IsVerboseLevel(&task->Print, level)) return 0;
    va_list args;
    va_start(args, format);
    const int64_t result = Task_VPrint(task, 0, format, args);
    va_end(args);
    return result;
}

int64_t Task_SetPrintCallback(Task* task, void* user, ClassPrintCallback function) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    task->Print.PrintUser = user;
    task->Print.PrintCallback = function;
    PreparePrint(task);
    Dictionary* dicts[] = {task->Arguments, task->Status, task->Macros};
    for (Dictionary* dict : dicts)
        if (dict) Dictionary_SetPrintCallback(dict, task->Print.PrintUser, task->Print.PrintCallback);
    return 1;
}

int64_t Task_GetPrintCallback(Task* task, void** user, ClassPrintCallback* function) {
    ASSERT_POINTER(user);
    ASSERT_POINTER(function);
    *user = nullptr;
    *function = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    PreparePrint(task);
    *user = task->Print.PrintUser;
    *function = task->Print.PrintCallback;
    return 1;
}

int64_t Task_SetPrintIdentifier(Task* task, const char* identifier) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    task->Print.Identifier = identifier;
    return 1;
}

int64_t Task_SetVerbose(Task* task, uint32_t level) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    task->OwnVerbose = level;
    return 1;
}

int64_t Task_GetVerbose(Task* task, uint32_t* level) {
    ASSERT_POINTER(level);
    *level = 0;
    CLASS_CHECK(task, TASK_CLASS_ID);
    *level = task->OwnVerbose;
    return 1;
}

int64_t Task_Dump(Task* task) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    return Dictionary_Dump(task->Arguments);
}

int64_t Task_PrintInterop(Task* task, const char* text) {
    ASSERT_POINTER(text);
    return Task_Print(task, "%s", text);
}

// ---- Operation table ---------------------------------------------------------------------------

const TaskVtbl GlobalTaskVtbl = {
    Task_SubAction_Null,
    Task_SubAction_Complete,
    Task_IsCompleted,
    Task_IsCancelled,
    Task_GetType,
    Task_GetTimeElapsed,
    Task_GetName,
    Task_GetNamePtr,
    Task_HasArgument,
    Task_GetArgumentPtr,
    Task_GetArgumentType,
    Task_GetStringArgument,
    Task_GetMultiStringArgument,
    Task_GetBooleanArgument,
    Task_GetNumberArgument,
    Task_SetStatus,
    Task_SetStatusString,
    Task_SetStatusNumber,
    Task_SetStatusWithDictionary,
    Task_SetProgress,
    Task_RunSubAction,
    Task_RunSubTask,
    Task_Start,
    Task_Complete,
    Task_Cancel,
    Task_Dump,
    Task_Print,
    Task_VPrint,
    Task_VerboseLog,
    Task_ExpandString,
    Task_LoadFromDictionary,
    Task_HasError,
    Task_HasWarning,
    Task_GetErrorCount,
    Task_GetWarningCount,
    Task_AddError,
    Task_AddErrorFromMap,
    Task_GetError,
    Task_AddWarning,
    Task_GetWarning,
    Task_ClearErrors,
    Task_ClearWarnings,
    Task_SetDelayedCancel,
    Task_GetDelayedCancel,
    Task_GetWorkflowHandle,
    Task_GetDictionaryHandle,
    Task_GetStatusDictionaryHandle,
    Task_SetExpandStringCallback,
    Task_GetExpandStringCallback,
    Task_RequestURL,
};
