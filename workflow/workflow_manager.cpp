// WorkflowManager: its life, the adds that ask for workflows to be fetched, unloading, settings,
// the processing pass, the flow that drives each workflow from "load" to "unload", and the
// registry of loaded workflows.
#include <cstring>
#include <initializer_list>

#include "core/formats/json.h"
#include "core/linux/platform_facts.h"
#include "core/linux/platform_system.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_manager_internal.h"

WorkflowManager* GlobalWorkflowManager = nullptr;

namespace {

// Nested add information deeper than this is not followed.
constexpr int32_t kMaxAddDepth = 16;

struct Watch {
    const char* type;
    const char* name;
    NotificationObserverCallback callback;
};
const Watch kWatches[] = {
    {"Task", "Start", WorkflowManager_Notification_OnTask},
    {"Task", "Status", WorkflowManager_Notification_OnTask},
    {"Task", "Complete", WorkflowManager_Notification_OnTask},
    {"Task", "Error", WorkflowManager_Notification_OnTask},
    {"Task", "Warning", WorkflowManager_Notification_OnTask},
    {"WorkflowEvent", "Start", WorkflowManager_Notification_OnWorkflowEventStart},
    {"WorkflowEvent", "Complete", WorkflowManager_Notification_OnWorkflowEventComplete},
    {"WorkflowRun", "RunStart", WorkflowManager_Notification_OnWorkflowRunStartTrack},
};

int64_t OnWorkflowRunRunInterval(void*, const char*, const char*, const char*, Dictionary*);

WorkflowManager* Manager() {
    return GlobalWorkflowManager;
}

int64_t MarkDirtyRemoved(Dictionary*, DictionaryItem*, void* context, const char*) {
    static_cast<WorkflowManager*>(context)->Dirty = 1;
    return 1;
}
int64_t MarkDirtyKey(Dictionary*, DictionaryItem*, void* context, const char*, const char*) {
    static_cast<WorkflowManager*>(context)->Dirty = 1;
    return 1;
}
int64_t MarkDirtyValue(Dictionary*, DictionaryItem*, void* context, const char*, const char*, uint32_t) {
    static_cast<WorkflowManager*>(context)->Dirty = 1;
    return 1;
}

void Reporting(WorkflowManager* manager, Dictionary* table, bool on) {
    Dictionary_SetItemRemoveCallback(table, on ? manager : nullptr, on ? MarkDirtyRemoved : nullptr);
    Dictionary_SetItemKeyChangeCallback(table, on ? manager : nullptr, on ? MarkDirtyKey : nullptr);
    Dictionary_SetItemValueChangeCallback(table, on ? manager : nullptr, on ? MarkDirtyValue : nullptr);
}

Dictionary* NewTable(uint32_t duplicates) {
    Dictionary* table = nullptr;
    Dictionary_Create(&table);
    Dictionary_SetAllowDuplicates(table, duplicates);
    return table;
}

void FillNames(Dictionary* list, const char* text) {
    Dictionary_Reset(list);
    const char* at = text ? text : "";
    while (*at) {
        const char* end = strchr(at, ',');
        const int32_t length = end ? (int32_t)(end - at) : (int32_t)strlen(at);
        char name[WORKFLOWMANAGER_NAME_SIZE];
        String_CopyLength(name, at, length + 1 < (int32_t)sizeof(name) ? length + 1 : (int32_t)sizeof(name));
        String_TrimChars(name, " \t");
        if (name[0]) Dictionary_AddString(list, nullptr, name, nullptr);
        at = end ? end + 1 : at + length;
    }
}

void SetFlowObserver(bool on) {
    if (on)
        NotificationCenter_AddObserver("WorkflowEvent", "Complete", nullptr,
                                       WorkflowManager_Notification_OnWorkflowEventCompleteFlow);
    else
        NotificationCenter_RemoveObserver("WorkflowEvent", "Complete", nullptr,
                                          WorkflowManager_Notification_OnWorkflowEventCompleteFlow);
}

void FreeAddRecords(WorkflowManager* manager) {
    while (WorkflowManagerAddRecord* record = manager->AddRecords) {
        manager->AddRecords = record->Next;
        NotificationCenter_RemoveObserver("WorkflowRun", "RunStart", record,
                                          WorkflowManager_Notification_OnWorkflowRunRun);
        Interop_ReleaseCallback(&record->Callback);
        Memory_Free(record, sizeof(WorkflowManagerAddRecord));
    }
}

void UnlinkAddRecord(WorkflowManager* manager, WorkflowManagerAddRecord* record) {
    for (WorkflowManagerAddRecord** at = &manager->AddRecords; *at; at = &(*at)->Next) {
        if (*at == record) {
            *at = record->Next;
            return;
        }
    }
}

int64_t DeleteHandle(void** handle) {
    WorkflowManager* manager = static_cast<WorkflowManager*>(*handle);
    *handle = nullptr;
    Memory_Free(manager, sizeof(WorkflowManager));
    return 1;
}

} // namespace

// ---- Shared helpers ----------------------------------------------------------------------------

Workflow* WorkflowManager_FindWorkflow(const char* id) {
    if (!id || !id[0]) return nullptr;
    void* object = Class_ConvertFromInstanceId(id);
    return Workflow_ValidHandle(object) ? static_cast<Workflow*>(object) : nullptr;
}

const char* WorkflowManager_IdOf(Workflow* workflow) {
    return reinterpret_cast<const Class*>(workflow)->InstanceId;
}

bool WorkflowManager_ListHolds(Dictionary* list, const char* text) {
    if (!list || !text) return false;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
        const char* value = nullptr;
        if (Dictionary_ItemGetStringPtr(list, item, &value) && value && String_CompareWithoutCaseReturn(value, text) == 0)
            return true;
    }
    return false;
}

bool WorkflowManager_IsStateName(const char* name) {
    return name && String_CompareWithoutCaseReturn(name, "state") == 0;
}

namespace {
int32_t CountActive(WorkflowManager* manager, bool state) {
    int32_t count = 0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(manager->Active, &item); item; Dictionary_ItemGetNext(manager->Active, item, &item)) {
        const char* name = nullptr;
        Dictionary_ItemGetStringPtr(manager->Active, item, &name);
        if (WorkflowManager_IsStateName(name) == state) count++;
    }
    return count;
}
} // namespace

int32_t WorkflowManager_ActiveCount(WorkflowManager* manager) {
    return CountActive(manager, false);
}

int32_t WorkflowManager_ActiveStateCount(WorkflowManager* manager) {
    return CountActive(manager, true);
}

DictionaryItem* WorkflowManager_InsertByPriority(WorkflowManager* manager, Dictionary* table, const char* workflow) {
    int32_t priority = 0;
    Dictionary_GetInt32ByKey(manager->Priorities, workflow, &priority);
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(table, &item); item; Dictionary_ItemGetNext(table, item, &item)) {
        const char* key = nullptr;
        int32_t other = 0;
        if (!Dictionary_ItemGetKeyPtr(table, item, &key) || !key) continue;
        if (Dictionary_GetInt32ByKey(manager->Priorities, key, &other) && other < priority) break;
    }
    DictionaryItem* created = nullptr;
    if (item) {
        DictionaryItem* before = nullptr;
        Dictionary_ItemGetPrev(table, item, &before);
        Dictionary_Insert(table, before, workflow, &created);
    } else {
        Dictionary_Append(table, workflow, &created);
    }
    return created;
}

DictionaryItem* WorkflowManager_FirstEntry(Dictionary* queue, const char* workflow) {
    DictionaryItem* item = nullptr;
    return Dictionary_ItemFindByKey(queue, workflow, nullptr, &item) ? item : nullptr;
}

// ---- Start and end -----------------------------------------------------------------------------

int64_t WorkflowManager_Init() {
    if (GlobalWorkflowManager) return 1;
    WorkflowManager* manager = static_cast<WorkflowManager*>(Memory_AllocZero(sizeof(WorkflowManager)));
    manager->Header.ClassId = WORKFLOWMANAGER_CLASS_ID;
    manager->Header.RefCount = 1;
    manager->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(manager);
    manager->OverallProgress = -2;
    manager->FlowControl = 1;
    GlobalWorkflowManager = manager;
    SetFlowObserver(true);
    if (WorkflowApp_IsWorker()) {
        manager->Worker = 1;
        return 1;
    }
    manager->MaxActiveTasks = -1;
    manager->MaxActiveStateTasks = 4;
    manager->TaskEntries = NewTable(0);
    manager->Loaded = NewTable(0);
    manager->TaskQueue = NewTable(1);
    manager->QueueNames = NewTable(1);
    manager->Active = NewTable(0);
    manager->ActiveProgress = NewTable(0);
    manager->ProgressNames = NewTable(1);
    manager->Available = NewTable(0);
    manager->PreviousAvailable = NewTable(0);
    manager->Failed = NewTable(0);
    manager->WorkflowIds = NewTable(0);
    manager->Priorities = NewTable(0);
    manager->Dependencies = NewTable(1);
    manager->DependencyQueue = NewTable(1);
    manager->DependencyNames = NewTable(1);
    for (Dictionary* table : {manager->TaskQueue, manager->DependencyQueue, manager->Active, manager->Available})
        Reporting(manager, table, true);
    for (const Watch& watch : kWatches)
        NotificationCenter_AddObserver(watch.type, watch.name, manager, watch.callback);
    NotificationCenter_AddObserver("WorkflowRun", "Run", manager, OnWorkflowRunRunInterval);
    FillNames(manager->QueueNames, "state,start,install,uninstall,update,repair");
    FillNames(manager->ProgressNames, "start,install,uninstall,update,repair");
    FillNames(manager->DependencyNames, "install,!uninstall,update,repair");
    manager->LastStateRefresh = Time_GetCurrent();
    return 1;
}

int64_t WorkflowManager_Remove() {
    WorkflowManager* manager = Manager();
    if (!manager) return 1;
    if (!manager->Worker) {
        for (const Watch& watch : kWatches)
            NotificationCenter_RemoveObserver(watch.type, watch.name, manager, watch.callback);
        NotificationCenter_RemoveObserver("WorkflowRun", "Run", manager, OnWorkflowRunRunInterval);
        for (Dictionary* table : {manager->TaskQueue, manager->DependencyQueue, manager->Active, manager->Available})
            Reporting(manager, table, false);
        // The references the registry took on loaded workflows.
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(manager->Loaded, &item); item; Dictionary_ItemGetNext(manager->Loaded, item, &item)) {
            const char* id = nullptr;
            Dictionary_ItemGetStringPtr(manager->Loaded, item, &id);
            if (Workflow* workflow = WorkflowManager_FindWorkflow(id)) Workflow_Release(&workflow);
        }
        for (Dictionary** table :
             {&manager->TaskEntries, &manager->Loaded, &manager->TaskQueue, &manager->QueueNames, &manager->Active,
              &manager->ActiveProgress, &manager->ProgressNames, &manager->Available, &manager->PreviousAvailable,
              &manager->Failed, &manager->WorkflowIds, &manager->Priorities, &manager->Dependencies,
              &manager->DependencyQueue, &manager->DependencyNames})
            Dictionary_Release(table);
        if (manager->SleepPrevented) Platform_PreventSystemSleep(0);
    }
    manager->FlowControl = 0;
    SetFlowObserver(false);
    FreeAddRecords(manager);
    if (manager->UnloadCallback) Interop_ReleaseCallback(&manager->UnloadCallback);
    CallbackBase_Reset(&manager->WillLoad);
    GlobalWorkflowManager = nullptr;
    Class_Release(&manager);
    return 1;
}

int64_t WorkflowManager_GetInstanceId(char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    WorkflowManager* manager = Manager();
    if (!manager) return 0;
    String_CopyLength(buffer, manager->Header.InstanceId, capacity);
    return 1;
}

// ---- Adding workflows --------------------------------------------------------------------------

namespace {

int64_t AddAt(WorkflowManager* manager, Dictionary* info, InteropCallback* callback, int32_t depth, bool* taken) {
    Dictionary* root = nullptr;
    Dictionary_SkipRootContainer(info, &root);
    if (!root) root = info;
    const char* url = nullptr;
    if (Dictionary_GetStringPtrByKey(root, "url", &url) && url) {
        Dictionary* copy = nullptr;
        if (!Dictionary_Create(&copy)) return 0;
        Dictionary_SetPrivateKeys(copy, 1);
        Dictionary_Merge(copy, root, DICTIONARY_MERGE_OVERWRITE);
        Dictionary_SetStringByKey(copy, "url", url);
        Dictionary_SetStringByKey(copy, "cache", "workflow");
        char text[WORKFLOWMANAGER_ID_SIZE];
        if (!Dictionary_ContainsKey(copy, "id")) {
            String_Guid(text, sizeof(text), 1);
            Dictionary_SetStringByKey(copy, "id", text);
        }
        if (!Dictionary_ContainsKey(copy, "callbackId")) {
            if (callback)
                String_CopyLength(text, Interop_GetCallbackId(callback), sizeof(text));
            else
                String_Guid(text, sizeof(text), 1);
            Dictionary_SetStringByKey(copy, "#callbackId", text);
        }
        const char* kept = nullptr;
        Dictionary_GetStringPtrByKey(copy, "url", &kept);
        WORKFLOWMANAGER_LOG("WorkflowManager - Add - %s\n", kept);
        Dictionary_Dump(copy);
        void* user = nullptr;
        WorkflowManagerWillLoadFunc willLoad = nullptr;
        if (CallbackBase_Get(&manager->WillLoad, &user, &willLoad) && willLoad) willLoad(kept, user);
        if (callback) {
            WorkflowManagerAddRecord* record =
                static_cast<WorkflowManagerAddRecord*>(Memory_AllocZero(sizeof(WorkflowManagerAddRecord)));
            record->Callback = Interop_AddRefCallback(callback);
            record->Next = manager->AddRecords;
            manager->AddRecords = record;
            NotificationCenter_AddObserver("WorkflowRun", "RunStart", record,
                                           WorkflowManager_Notification_OnWorkflowRunRun);
        }
        NotificationCenter_FireAfterDelay("WorkflowRun", "Start", nullptr, 0, copy);
        Dictionary_Release(&copy);
        *taken = true;
        return 1;
    }
    int64_t any = 0;
    if (depth < kMaxAddDepth) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(root, &item); item; Dictionary_ItemGetNext(root, item, &item)) {
            Dictionary* child = nullptr;
            if (!Dictionary_ItemCompareType(root, item, DICTIONARY_TYPE_DICTIONARY) ||
                !Dictionary_ItemGetDictionaryHandle(root, item, &child) || !child)
                continue;
            if (AddAt(manager, child, callback, depth + 1, taken)) any = 1;
        }
    }
    if (!any) WORKFLOWMANAGER_LOG("WorkflowManager - Add info must contain url\n");
    return any;
}

// A callback for the add's caller, or null without a function.
InteropCallback* MakeCallback(const char* id, void* user, InteropCallbackFunc function) {
    InteropCallback* callback = nullptr;
    if (!function) return nullptr;
    Interop_AddCallback(id, user, function, &callback);
    return callback;
}

} // namespace

int64_t WorkflowManager_AddInt(Dictionary* info, InteropCallback* callback) {
    WorkflowManager* manager = Manager();
    if (!manager || !info) return 0;
    bool taken = false;
    return AddAt(manager, info, callback, 0, &taken);
}

int64_t WorkflowManager_AddDictionary(Dictionary* info, void* user, InteropCallbackFunc function) {
    InteropCallback* callback = MakeCallback(nullptr, user, function);
    const int64_t result = WorkflowManager_AddInt(info, callback);
    if (callback) Interop_ReleaseCallback(&callback);
    return result;
}

int64_t WorkflowManager_Add(const char* url, void* user, InteropCallbackFunc function) {
    Dictionary* info = nullptr;
    if (!Dictionary_Create(&info)) return 0;
    Dictionary_SetStringByKey(info, "url", url ? url : "");
    const int64_t result = WorkflowManager_AddDictionary(info, user, function);
    Dictionary_Release(&info);
    return result;
}

Dictionary* WorkflowManager_ParseJson(const char* text) {
    if (!text) return nullptr;
    Dictionary* dict = nullptr;
    JSON* json = nullptr;
    Dictionary_Create(&dict);
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, dict);
    const int64_t loaded = JSON_LoadBuffer(json, text, (uint32_t)strlen(text));
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    if (!loaded) Dictionary_Release(&dict);
    return dict;
}

int64_t WorkflowManager_AddJSON(const char* text, void* user, InteropCallbackFunc function) {
    Dictionary* info = WorkflowManager_ParseJson(text);
    if (!info) {
        WORKFLOWMANAGER_LOG("WorkflowManager - Add - Failed to parse json\n");
        return 0;
    }
    const int64_t result = WorkflowManager_AddDictionary(info, user, function);
    Dictionary_Release(&info);
    return result;
}

int64_t WorkflowManager_AddInterop(const char* text, const char* callbackId) {
    Dictionary* info = WorkflowManager_ParseJson(text);
    if (!info) {
        WORKFLOWMANAGER_LOG("WorkflowManager - Add - Failed to parse json\n");
        return 0;
    }
    InteropCallback* callback = nullptr;
    Interop_AddCallback(callbackId, nullptr, Interop_Execute, &callback);
    const int64_t result = WorkflowManager_AddInt(info, callback);
    if (callback) Interop_ReleaseCallback(&callback);
    Dictionary_Release(&info);
    return result;
}

// ---- Unloading ---------------------------------------------------------------------------------

namespace {

// Queues "unload" on the workflow unless it waits already.
void UnloadWorkflow(Workflow* workflow) {
    if (!GlobalWorkflowVtbl.IsTaskQueued(workflow, "unload"))
        GlobalWorkflowVtbl.QueueTask(workflow, "unload", nullptr, nullptr, nullptr);
}

int64_t StartUnload(InteropCallback* callback) {
    WorkflowManager* manager = Manager();
    if (!manager) {
        if (callback) Interop_ReleaseCallback(&callback);
        return 0;
    }
    if (manager->Unloading) {
        if (callback) Interop_ReleaseCallback(&callback);
        return 1;
    }
    manager->Unloading = 1;
    manager->UnloadCallback = callback;
    String_CopyLength(manager->UnloadCallbackId, callback ? Interop_GetCallbackId(callback) : "",
                      sizeof(manager->UnloadCallbackId));
    uint32_t count = 0;
    if (manager->Loaded) Dictionary_ItemGetCount(manager->Loaded, &count);
    if (count == 0) {
        WorkflowManager_RaiseUnloadCallback(manager);
        return 1;
    }
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(manager->Loaded, &item); item; Dictionary_ItemGetNext(manager->Loaded, item, &item)) {
        const char* id = nullptr;
        Dictionary_ItemGetStringPtr(manager->Loaded, item, &id);
        Workflow* workflow = WorkflowManager_FindWorkflow(id);
        if (workflow && Workflow_IsGlobal(workflow)) UnloadWorkflow(workflow);
    }
    return 1;
}

} // namespace

void WorkflowManager_RaiseUnloadCallback(WorkflowManager* manager) {
    InteropCallback* found = nullptr;
    if (manager->UnloadCallbackId[0] && Interop_GetCallbackById(manager->UnloadCallbackId, &found) && found) {
        Dictionary* dict = nullptr;
        Dictionary_Create(&dict);
        Dictionary_SetStringByKey(dict, "callbackId", manager->UnloadCallbackId);
        Dictionary_SetStringByKey(dict, "type", "WorkflowManager");
        Dictionary_SetStringByKey(dict, "sender", manager->Header.InstanceId);
        Dictionary_AddDictionary(dict, "info", nullptr, nullptr);
        Interop_RaiseCallback(found, dict);
        Dictionary_Release(&dict);
        Interop_ReleaseCallback(&found);
    }
    if (manager->UnloadCallback) Interop_ReleaseCallback(&manager->UnloadCallback);
    manager->Unloading = 0;
    manager->UnloadCallbackId[0] = 0;
}

int64_t WorkflowManager_Unload(void* user, InteropCallbackFunc function) {
    // Without a function the callback still carries the id that ends the unloading state.
    InteropCallback* callback = nullptr;
    Interop_AddCallback(nullptr, user, function, &callback);
    return StartUnload(callback);
}

int64_t WorkflowManager_UnloadInterop(const char* callbackId) {
    InteropCallback* callback = nullptr;
    Interop_AddCallback(callbackId, nullptr, Interop_Execute, &callback);
    return StartUnload(callback);
}

int64_t WorkflowManager_IsUnloading() {
    WorkflowManager* manager = Manager();
    return manager ? manager->Unloading : 0;
}

// ---- Settings ----------------------------------------------------------------------------------

#define WORKFLOWMANAGER_GETTER(Name, Field, Type)                                                   \
    int64_t WorkflowManager_Get##Name(Type* value) {                                                \
        ASSERT_POINTER(value);                                                                      \
        *value = 0;                                                                                 \
        if (!Manager()) return 0;                                                                   \
        *value = Manager()->Field;                                                                  \
        return 1;                                                                                   \
    }

WORKFLOWMANAGER_GETTER(MaximumActiveTasks, MaxActiveTasks, int32_t)
WORKFLOWMANAGER_GETTER(MaximumActiveStateTasks, MaxActiveStateTasks, int32_t)
WORKFLOWMANAGER_GETTER(StateInterval, StateInterval, int32_t)
WORKFLOWMANAGER_GETTER(FlowControl, FlowControl, uint32_t)
WORKFLOWMANAGER_GETTER(HardDependency, HardDependency, uint32_t)
WORKFLOWMANAGER_GETTER(AutoUnload, AutoUnload, uint32_t)

int64_t WorkflowManager_SetMaximumActiveTasks(int32_t count) {
    if (!Manager()) return 0;
    Manager()->MaxActiveTasks = count;
    WORKFLOWMANAGER_LOG("WorkflowManager - Maximum Active Tasks - %d\n", count);
    return 1;
}

int64_t WorkflowManager_SetMaximumActiveStateTasks(int32_t count) {
    if (!Manager()) return 0;
    Manager()->MaxActiveStateTasks = count;
    WORKFLOWMANAGER_LOG("WorkflowManager - Maximum Active State Tasks - %d\n", count);
    return 1;
}

int64_t WorkflowManager_SetQueueTaskNames(const char* text) {
    if (!Manager() || !Manager()->QueueNames) return 0;
    FillNames(Manager()->QueueNames, text);
    return 1;
}

int64_t WorkflowManager_SetProgressTaskNames(const char* text) {
    if (!Manager() || !Manager()->ProgressNames) return 0;
    FillNames(Manager()->ProgressNames, text);
    return 1;
}

int64_t WorkflowManager_SetDependencyTaskNames(const char* text) {
    if (!Manager() || !Manager()->DependencyNames) return 0;
    FillNames(Manager()->DependencyNames, text);
    return 1;
}

int64_t WorkflowManager_SetStateInterval(int32_t seconds) {
    WorkflowManager* manager = Manager();
    if (!manager) return 0;
    // A refresh more often than every 30 seconds would keep the products' checks running
    // back to back; only -1 turns it off.
    manager->StateInterval = seconds == -1 ? -1 : (seconds < 31 ? 30 : seconds);
    manager->LastStateRefresh = Time_GetCurrent();
    WORKFLOWMANAGER_LOG("WorkflowManager - State Interval - %d\n", manager->StateInterval);
    return 1;
}

int64_t WorkflowManager_SetFlowControl(uint32_t flag) {
    WorkflowManager* manager = Manager();
    if (!manager) return 0;
    const bool was = manager->FlowControl == 1;
    manager->FlowControl = flag;
    if ((flag == 1) != was) SetFlowObserver(flag == 1);
    return 1;
}

int64_t WorkflowManager_SetHardDependency(uint32_t flag) {
    if (!Manager()) return 0;
    Manager()->HardDependency = flag;
    return 1;
}

int64_t WorkflowManager_SetAutoUnload(uint32_t flag) {
    if (!Manager()) return 0;
    Manager()->AutoUnload = flag;
    return 1;
}

int64_t WorkflowManager_GetVerbose() {
    return Manager() && Manager()->Verbose >= 2 ? 1 : 0;
}

int64_t WorkflowManager_SetWillLoadCallback(void* user, WorkflowManagerWillLoadFunc function) {
    if (!Manager()) return 0;
    CallbackBase_Set(&Manager()->WillLoad, 0, user, function);
    return 1;
}

int64_t WorkflowManager_PrintState() {
    WorkflowManager* manager = Manager();
    if (!manager || manager->Worker) return 0;
    const struct {
        const char* label;
        Dictionary* table;
    } tables[] = {
        {"Queuable Tasks List\n", manager->QueueNames},
        {"Progressable Tasks List\n", manager->ProgressNames},
        {"Available Task List\n", manager->Available},
        {"Queued Task List\n", manager->TaskQueue},
        {"Active Task List\n", manager->Active},
        {"Active Progress Task List\n", manager->ActiveProgress},
        {"Workflow Id List\n", manager->WorkflowIds},
        {"Workflow Priority List\n", manager->Priorities},
        {"Dependency/Workflow List\n", manager->Dependencies},
        {"Dependency Task List\n", manager->DependencyQueue},
        {"Dependency Task Names List\n", manager->DependencyNames},
    };
    for (const auto& entry : tables) {
        WORKFLOWMANAGER_LOG("%s", entry.label);
        Dictionary_Dump(entry.table);
    }
    return 1;
}

// ---- Processing pass ---------------------------------------------------------------------------

int64_t WorkflowManager_Process() {
    WorkflowManager* manager = Manager();
    if (!manager || manager->Worker) return 1;
    const double now = Time_GetCurrent();
    if (now - manager->LastPass < 1.0 && !manager->Dirty && !manager->RefillPending) return 1;
    manager->LastPass = now;
    WorkflowManager_ExpireTaskEntries(manager, now);
    uint32_t started = 0;
    // A limit below 1 means no limit, as it does where a task is queued.
    const int32_t maxState = manager->MaxActiveStateTasks;
    if (maxState < 1 || WorkflowManager_ActiveStateCount(manager) < maxState) {
        if (WorkflowManager_PopFromQueue(manager->TaskQueue, 0, 1)) started = 1;
    }
    const int32_t maxActive = manager->MaxActiveTasks;
    if (maxActive < 1 || WorkflowManager_ActiveCount(manager) < maxActive) {
        if (WorkflowManager_PopFromQueue(manager->DependencyQueue, 0, 0) ||
            WorkflowManager_PopFromQueue(manager->TaskQueue, 1, 0))
            started = 1;
    }
    if (started) manager->Dirty = 1;
    // A start may leave more waiting that could start now: the next pass looks again rather
    // than waiting for the second to pass.
    manager->RefillPending = started;
    uint32_t prevent = 0;
    if (WorkflowManager_ActiveCount(manager) > 0 && WorkflowApp_IsInitialized()) {
        uint32_t setting = 0;
        prevent = WorkflowApp_GetPreventSystemShutdown(&setting) && setting == 1;
    }
    if (prevent != manager->SleepPrevented) {
        Platform_PreventSystemSleep((int32_t)prevent);
        manager->SleepPrevented = prevent;
    }
    WorkflowManager_UpdateOverallProgress(manager);
    if (manager->StateInterval > 0 && now - manager->LastStateRefresh > manager->StateInterval) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(manager->Loaded, &item); item; Dictionary_ItemGetNext(manager->Loaded, item, &item)) {
            const char* id = nullptr;
            Dictionary_ItemGetStringPtr(manager->Loaded, item, &id);
            WorkflowManager_QueueTaskInterop(id, "state,update");
        }
        manager->LastStateRefresh = now;
    }
    if (manager->Dirty) {
        WorkflowManager_FireStatus(manager);
        manager->Dirty = 0;
    }
    return 1;
}

namespace {
int64_t OnWorkflowRunRunInterval(void* user, const char*, const char*, const char*, Dictionary*) {
    WorkflowManager* manager = static_cast<WorkflowManager*>(user);
    if (manager->StateInterval >= 1) manager->LastStateRefresh = Time_GetCurrent();
    return 1;
}
} // namespace

// ---- Flow --------------------------------------------------------------------------------------

int64_t WorkflowManager_Notification_OnWorkflowEventCompleteFlow(void*, const char*, const char*, const char*,
                                                                 Dictionary* info) {
    WorkflowManager* manager = Manager();
    if (!manager || manager->FlowControl != 1 || !info) return 1;
    uint32_t flag = 0;
    if (Dictionary_GetBooleanByKey(info, "isRemote", &flag) && flag) return 1;
    const char* name = nullptr;
    const char* id = nullptr;
    uint32_t successful = 0;
    if (!Dictionary_GetStringPtrByKey(info, "name", &name) || !name) return 1;
    if (!Dictionary_GetStringPtrByKey(info, "workflow", &id) || !id) return 1;
    if (!Dictionary_GetBooleanByKey(info, "successful", &successful)) return 1;
    Workflow* workflow = WorkflowManager_FindWorkflow(id);
    if (!workflow) return 1;
    const bool worker = WorkflowApp_IsWorker() == 1;
    const bool selfUpdate = WorkflowApp_IsSelfUpdate() == 1;
    if (String_CompareWithoutCaseReturn(name, "load") == 0) {
        if (manager->Unloading) {
            UnloadWorkflow(workflow);
        } else if (GlobalWorkflowVtbl.IsGlobal(workflow) && !worker && !selfUpdate) {
            if (!successful) return 1;
            if (GlobalWorkflowVtbl.CanCreateTask(workflow, "state"))
                WorkflowManager_QueueTaskInt(workflow, "state", nullptr, 0, 1);
            else if (GlobalWorkflowVtbl.CanCreateTask(workflow, "start"))
                WorkflowManager_QueueTaskInt(workflow, "start", nullptr, 0, 1);
            else if (manager->AutoUnload == 1)
                UnloadWorkflow(workflow);
        } else {
            GlobalWorkflowVtbl.QueueTask(workflow, selfUpdate ? "apply" : "start", nullptr, nullptr, nullptr);
        }
        return 1;
    }
    if (String_CompareWithoutCaseReturn(name, "start") == 0 || String_CompareWithoutCaseReturn(name, "apply") == 0) {
        const bool stays = !worker && !selfUpdate && GlobalWorkflowVtbl.IsGlobal(workflow) && manager->AutoUnload != 1;
        if (!stays) UnloadWorkflow(workflow);
        return 1;
    }
    if (String_CompareWithoutCaseReturn(name, "unload") != 0) return 1;
    GlobalWorkflowVtbl.Complete(workflow, nullptr);
    if (manager->Worker) return 1;
    DictionaryItem* item = nullptr;
    if (!Dictionary_ItemFindByBuffer(manager->Loaded, id, (int32_t)strlen(id), nullptr, &item) || !item) return 1;
    Dictionary_Remove(manager->Loaded, &item);
    Workflow_Release(&workflow);
    uint32_t count = 0;
    Dictionary_ItemGetCount(manager->Loaded, &count);
    if (count == 0 && manager->UnloadCallbackId[0]) WorkflowManager_RaiseUnloadCallback(manager);
    return 1;
}

// ---- Registry and add callbacks ----------------------------------------------------------------

int64_t WorkflowManager_Notification_OnWorkflowRunStartTrack(void* user, const char*, const char*, const char*,
                                                             Dictionary* info) {
    WorkflowManager* manager = static_cast<WorkflowManager*>(user);
    if (!info) return 1;
    uint32_t elevated = 0;
    if (Dictionary_GetBooleanByPath(info, "arguments.elevated", &elevated)) {
        int32_t self = 0;
        Platform_IsElevated(&self);
        if ((elevated != 0) != (self != 0)) return 1;
    }
    char id[WORKFLOWMANAGER_ID_SIZE];
    if (!Dictionary_GetStringByKey(info, "workflow", id, sizeof(id))) return 1;
    Workflow* workflow = WorkflowManager_FindWorkflow(id);
    if (!workflow) return 1;
    // A run announced twice is registered once.
    if (Dictionary_ContainsString(manager->Loaded, id)) return 1;
    Workflow_AddRef(workflow);
    Dictionary_AddString(manager->Loaded, nullptr, id, nullptr);
    DictionaryItem* entry = nullptr;
    if (!Dictionary_ItemFindByKey(manager->Available, id, nullptr, &entry)) entry = WorkflowManager_InsertByPriority(manager, manager->Available, id);
    if (entry) Dictionary_ItemSetType(manager->Available, entry, DICTIONARY_TYPE_LIST);
    manager->Dirty = 1;
    return 1;
}

int64_t WorkflowManager_Notification_OnWorkflowRunRun(void* user, const char*, const char*, const char*,
                                                      Dictionary* info) {
    WorkflowManager* manager = Manager();
    WorkflowManagerAddRecord* record = static_cast<WorkflowManagerAddRecord*>(user);
    if (!manager || !info) return 1;
    const char* callbackId = Interop_GetCallbackId(record->Callback);
    const char* wanted = nullptr;
    if (!Dictionary_GetStringPtrByPath(info, "arguments.callbackId", &wanted) || !wanted || !callbackId ||
        strcmp(wanted, callbackId) != 0 || Dictionary_ContainsKey(info, "called"))
        return 1;
    Dictionary_SetBooleanByKey(info, "called", 1);
    NotificationCenter_RemoveObserver("WorkflowRun", "RunStart", record, WorkflowManager_Notification_OnWorkflowRunRun);
    UnlinkAddRecord(manager, record);

    char workflow[WORKFLOWMANAGER_ID_SIZE] = "";
    Dictionary_GetStringByKey(info, "workflow", workflow, sizeof(workflow));
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Dictionary_SetStringByKey(dict, "callbackId", callbackId);
    Dictionary_SetStringByKey(dict, "type", "Workflow");
    Dictionary_SetStringByKey(dict, "sender", workflow);
    Dictionary* out = nullptr;
    Dictionary_AddDictionary(dict, "info", &out, nullptr);
    Dictionary_SetStringByKey(out, "workflow", workflow);
    const char* task = nullptr;
    if (Dictionary_GetStringPtrByKey(info, "task", &task) && task) Dictionary_SetStringByKey(out, "task", task);
    Dictionary* arguments = nullptr;
    if (Dictionary_GetDictionaryByKey(info, "arguments", &arguments) && arguments) {
        Dictionary_Merge(out, arguments, 0);
        char id[WORKFLOWMANAGER_NAME_SIZE];
        if (Dictionary_GetStringByKey(arguments, "id", id, sizeof(id)) && workflow[0]) {
            Dictionary_SetStringByKey(manager->WorkflowIds, workflow, id);
            Dictionary* dependencies = nullptr;
            if (Dictionary_GetListByKey(arguments, "dependencies", &dependencies) && dependencies) {
                DictionaryItem* item = nullptr;
                for (Dictionary_ItemGetFirst(dependencies, &item); item;
                     Dictionary_ItemGetNext(dependencies, item, &item)) {
                    const char* text = nullptr;
                    if (Dictionary_ItemCompareType(dependencies, item, DICTIONARY_TYPE_STRING) &&
                        Dictionary_ItemGetStringPtr(dependencies, item, &text) && text)
                        WorkflowManager_AddDependency(id, text);
                }
            }
        }
        uint32_t type = 0;
        int32_t priority = 0;
        if (workflow[0] && Dictionary_GetTypeByKey(arguments, "priority", &type) &&
            (type == DICTIONARY_TYPE_INT64 || type == DICTIONARY_TYPE_FLOAT64) &&
            Dictionary_GetInt32ByKey(arguments, "priority", &priority))
            Dictionary_SetInt32ByKey(manager->Priorities, workflow, priority);
    }
    Dictionary* errors = nullptr;
    if (Dictionary_GetListByKey(info, "errors", &errors) && errors) {
        Dictionary* copy = nullptr;
        Dictionary_EnsureList(out, "errors", nullptr, &copy);
        if (copy) {
            Dictionary_Reset(copy);
            Dictionary_Merge(copy, errors, 0);
        }
        manager->Dirty = 1;
    }
    if (manager->Verbose >= 1)
        WORKFLOWMANAGER_LOG("WorkflowManager - Trigger add callback - %s [0x%p]\n", callbackId, record->Callback);
    Interop_RaiseCallback(record->Callback, dict);
    Dictionary_Release(&dict);
    Interop_ReleaseCallback(&record->Callback);
    Memory_Free(record, sizeof(WorkflowManagerAddRecord));
    return 1;
}
