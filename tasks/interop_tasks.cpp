// InteropLoad and InteropUnload. The signature check runs inside an AuthenticateAsync polled from
// main-loop ticks; the library is loaded on the main thread from the tick that sees it end.
#include "tasks/interop_tasks.h"

#include "core/certs/authenticate_async.h"
#include "core/certs/cert_store.h"
#include "core/certs/executable.h"
#include "core/formats/interop.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "tasks/task_base.h"
#include "workflow/task_type.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"

namespace {

constexpr int32_t kNameSize = 120;
constexpr int32_t kPathSize = 320;
constexpr int32_t kValueSize = 320;

struct InteropTask {
    TaskBase Head;
    char Name[kNameSize];
    char Path[kPathSize];
    AuthenticateAsync* Authenticate; // InteropLoad only
};

// Fires the "Interop" notification of the outcome, from the instance.
void FireInterop(InteropTask* self, const char* what, uint32_t successful) {
    Dictionary* info = nullptr;
    if (!Dictionary_Create(&info)) return;
    Dictionary_SetBooleanByKey(info, "successful", successful ? 1 : 0);
    Dictionary_SetStringByKey(info, "name", self->Name);
    Dictionary_SetStringByKey(info, "path", self->Path);
    NotificationCenter_Fire("Interop", what, self->Head.Header.InstanceId, info);
    Dictionary_Release(&info);
}

// Fires "Workflow"/<what> for the library's task types, from the task's workflow.
void FireTaskHandlers(InteropTask* self, const char* what) {
    Dictionary* info = nullptr;
    if (!Dictionary_Create(&info)) return;
    if (what[0] == 'R') {
        Dictionary_SetStringByKey(info, "interop", self->Name);
        Dictionary_SetBooleanByKey(info, "canRemote", 0);
    } else {
        Dictionary_SetBooleanByKey(info, "canRemote", 0);
        Dictionary_SetStringByKey(info, "interop", self->Name);
    }
    char id[64] = "";
    Workflow_GetInstanceId(Task_GetWorkflowHandle(self->Head.Owner), id, sizeof(id));
    NotificationCenter_Fire("Workflow", what, id, info);
    Dictionary_Release(&info);
}

bool ReadNameAndPath(InteropTask* self) {
    if (!TaskBase_RequireArgument(&self->Head, "name") || !TaskBase_RequireArgument(&self->Head, "path")) return false;
    Task_GetStringArgument(self->Head.Owner, "name", self->Name, sizeof(self->Name));
    Task_GetStringArgument(self->Head.Owner, "path", self->Path, sizeof(self->Path));
    return !TaskBase_RefuseLocation(&self->Head, "path", self->Path);
}

// ---- InteropLoad --------------------------------------------------------------------------------

// Every argument but "name", "type" and "path" goes to the library as "<name>.<key>".
void PassOptions(InteropTask* self, InteropLibrary* library) {
    Task* task = self->Head.Owner;
    Dictionary* arguments = Task_GetDictionaryHandle(task);
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(arguments, &item); item; Dictionary_ItemGetNext(arguments, item, &item)) {
        char key[kValueSize];
        if (!Dictionary_ItemGetKey(arguments, item, key, sizeof(key))) continue;
        if (String_CompareWithoutCase(key, "name") || String_CompareWithoutCase(key, "type") ||
            String_CompareWithoutCase(key, "path"))
            continue;
        char option[kNameSize + kValueSize + 2];
        String_Print(option, sizeof(option), "%s.%s", self->Name, key);
        char value[kValueSize];
        if (!Dictionary_ItemGetString(arguments, item, value, sizeof(value))) value[0] = 0;
        Task_ExpandString(task, value, sizeof(value));
        Interop_SetLibraryOption(library, option, value);
    }
}

void OnAuthenticated(AuthenticateAsync*, void* user, uint32_t result) {
    InteropTask* self = static_cast<InteropTask*>(user);
    Task* task = self->Head.Owner;
    uint32_t successful = 0;
    if (result) {
        InteropLibrary* library = Interop_LoadLibrary(self->Path);
        if (library) {
            successful = 1;
            PassOptions(self, library);
        } else {
            Task_Print(task, "Unable to load interop library %s", self->Path);
            Task_AddError(task, "Interop_Error_Load");
        }
    } else {
        Task_Print(task, "Interop library %s is not signed by a trusted signer", self->Path);
        Task_AddError(task, "Interop_Error_Authenticate");
    }
    FireInterop(self, "Load", successful);
    FireTaskHandlers(self, "RegisterTaskHandlers");
    TaskBase_Complete(&self->Head, nullptr);
}

int64_t InteropLoad_OnTick(void* user, const char*, const char*, const char*, Dictionary*) {
    InteropTask* self = static_cast<InteropTask*>(user);
    if (self->Authenticate) AuthenticateAsync_Process(self->Authenticate);
    return 1;
}

int64_t InteropLoad_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    InteropTask* self = reinterpret_cast<InteropTask*>(TaskBase_Check(user, INTEROPLOADTASK_CLASS_ID));
    Task* task = self->Head.Owner;
    if (!ReadNameAndPath(self)) return 1;
    CertStoreInterface* store = nullptr;
    if (Task_HasArgument(task, "store")) {
        CertStoreList* list = nullptr;
        if (Task_GetCertStoreListHandle(task, &list) && list) store = CertStoreList_GetInterfaceHandle(list);
    } else {
        store = WorkflowApp_InteropGetCertStore();
    }
    char version[kNameSize] = "";
    Executable_GetFileVersion(self->Path, version, sizeof(version));
    Task_Print(task, "Loading interop library (%s) (v%s)\n", self->Path, version);
    AuthenticateAsync_SetSourcePath(self->Authenticate, self->Path);
    AuthenticateAsync_SetCompleteCallback(self->Authenticate, self, OnAuthenticated);
    AuthenticateAsync_SetCertStoreHandle(self->Authenticate, store);
    // Observed before the start: a check that cannot start completes inside it.
    TaskBase_AddProcessObserver(&self->Head, InteropLoad_OnTick);
    AuthenticateAsync_Start(self->Authenticate);
    if (store) CertStoreInterface_Release(&store);
    return 1;
}

int64_t InteropLoad_OnComplete(void* user, const char*, const char*, const char*, Dictionary*) {
    InteropTask* self = reinterpret_cast<InteropTask*>(TaskBase_Check(user, INTEROPLOADTASK_CLASS_ID));
    TaskBase_RemoveProcessObserver(&self->Head, InteropLoad_OnTick);
    return 1;
}

int64_t InteropLoad_Init(TaskBase* base) {
    InteropTask* self = reinterpret_cast<InteropTask*>(base);
    Task_SetDefaultCertStore(base->Owner, "null");
    return AuthenticateAsync_Create(&self->Authenticate);
}

// Waits for a check still running: its thread must not outlive the instance.
void InteropLoad_Free(TaskBase* base) {
    InteropTask* self = reinterpret_cast<InteropTask*>(base);
    if (self->Authenticate) AuthenticateAsync_Delete(&self->Authenticate);
}

const TaskBaseType kLoadType = {.ClassId = INTEROPLOADTASK_CLASS_ID,
                                .Size = sizeof(InteropTask),
                                .OnStart = InteropLoad_OnStart,
                                .OnComplete = InteropLoad_OnComplete,
                                .Init = InteropLoad_Init,
                                .Free = InteropLoad_Free};

int64_t InteropLoad_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kLoadType);
}

// ---- InteropUnload ------------------------------------------------------------------------------

int64_t InteropUnload_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    InteropTask* self = reinterpret_cast<InteropTask*>(TaskBase_Check(user, INTEROPUNLOADTASK_CLASS_ID));
    if (!ReadNameAndPath(self)) return 1;
    // The library's task types leave the workflow before the library goes.
    FireTaskHandlers(self, "UnregisterTaskHandlers");
    const int64_t successful = Interop_FreeLibraryByName(self->Path);
    if (!successful) {
        Task_Print(self->Head.Owner, "Interop library %s is not loaded", self->Path);
        Task_AddError(self->Head.Owner, "Interop_Error_Unload");
    }
    FireInterop(self, "Unload", successful ? 1 : 0);
    return TaskBase_Complete(&self->Head, nullptr);
}

const TaskBaseType kUnloadType = {
    .ClassId = INTEROPUNLOADTASK_CLASS_ID, .Size = sizeof(InteropTask), .OnStart = InteropUnload_OnStart};

int64_t InteropUnload_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kUnloadType);
}

} // namespace

const TaskInterface InteropLoad_Interface = {"InteropLoad", InteropLoad_Create, TaskBase_AddRef, TaskBase_Release};
const TaskInterface InteropUnload_Interface = {"InteropUnload", InteropUnload_Create, TaskBase_AddRef,
                                               TaskBase_Release};
