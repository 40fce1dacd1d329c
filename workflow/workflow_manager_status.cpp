// WorkflowManager: what it derives from outcomes — the entry tasks each workflow offers, the
// dependencies between workflows, overall progress, the status report and the task
// notifications it re-publishes under its own name.
#include <cstring>
#include <vector>

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"
#include "workflow/task.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_manager_internal.h"

namespace {

WorkflowManager* Manager() {
    return GlobalWorkflowManager;
}

// Errors a product's "state" task reports to say what it needs; they are signals, not failures.
constexpr const char* kSignals[] = {"Application_NotInstalled", "Application_RepairRequired",
                                    "Application_UpdateRequired"};

bool IsSignal(const char* text) {
    for (const char* signal : kSignals)
        if (text && strcmp(text, signal) == 0) return true;
    return false;
}

// The availability entry of the workflow, made in priority order when missing.
DictionaryItem* EnsureEntry(WorkflowManager* manager, const char* id) {
    DictionaryItem* item = nullptr;
    if (Dictionary_ItemFindByKey(manager->Available, id, nullptr, &item) && item) return item;
    item = WorkflowManager_InsertByPriority(manager, manager->Available, id);
    if (item) Dictionary_ItemSetType(manager->Available, item, DICTIONARY_TYPE_LIST);
    manager->Dirty = 1;
    return item;
}

bool HasEntry(WorkflowManager* manager, const char* id) {
    return Dictionary_ContainsKey(manager->Available, id) == 1;
}

bool Defined(Workflow* workflow, const char* name) {
    return Workflow_CanCreateTask(workflow, name) == 1;
}

} // namespace

// ---- Availability ------------------------------------------------------------------------------

int64_t WorkflowManager_SetTaskAvailability(Workflow* workflow, const char* name, uint32_t available) {
    WorkflowManager* manager = Manager();
    if (!manager || manager->Worker || !workflow || !name) return 0;
    DictionaryItem* entry = EnsureEntry(manager, WorkflowManager_IdOf(workflow));
    if (!entry) return 0;
    const bool cleared = !Dictionary_ItemCompareType(manager->Available, entry, DICTIONARY_TYPE_LIST);
    if (cleared) Dictionary_ItemSetType(manager->Available, entry, DICTIONARY_TYPE_LIST);
    Dictionary* list = nullptr;
    Dictionary_ItemGetDictionaryHandle(manager->Available, entry, &list);
    if (!list) return 0;
    // A cleared entry starts again from an empty list, not from what it held before.
    if (cleared) {
        Dictionary_Reset(list);
        manager->Dirty = 1;
    }
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
        const char* value = nullptr;
        if (Dictionary_ItemGetStringPtr(list, item, &value) && value && String_CompareWithoutCaseReturn(value, name) == 0)
            break;
    }
    if (available && !item) {
        Dictionary_AddString(list, nullptr, name, nullptr);
        manager->Dirty = 1;
    } else if (!available && item) {
        Dictionary_Remove(list, &item);
        manager->Dirty = 1;
    }
    return 1;
}

int64_t WorkflowManager_SetTaskAvailabilityInterop(const char* workflow, const char* name, uint32_t available) {
    Workflow* handle = WorkflowManager_FindWorkflow(workflow);
    return handle ? WorkflowManager_SetTaskAvailability(handle, name, available) : 0;
}

int64_t WorkflowManager_ClearTaskAvailability(Workflow* workflow) {
    WorkflowManager* manager = Manager();
    if (!manager || manager->Worker || !workflow) return 0;
    DictionaryItem* entry = EnsureEntry(manager, WorkflowManager_IdOf(workflow));
    if (!entry) return 0;
    if (!Dictionary_ItemIsNull(manager->Available, entry)) {
        Dictionary_ItemSetType(manager->Available, entry, DICTIONARY_TYPE_NULL);
        manager->Dirty = 1;
    }
    return 1;
}

int64_t WorkflowManager_ClearTaskAvailabilityInterop(const char* workflow) {
    Workflow* handle = WorkflowManager_FindWorkflow(workflow);
    return handle ? WorkflowManager_ClearTaskAvailability(handle) : 0;
}

int64_t WorkflowManager_UpdateAvailability(Workflow* workflow, Dictionary* info, const char* name,
                                           uint32_t successful) {
    WorkflowManager* manager = Manager();
    if (!manager || !workflow || !name) return 0;
    const char* id = WorkflowManager_IdOf(workflow);
    enum : uint32_t { kInstall = 1, kUninstall = 2, kUpdate = 4, kRepair = 8, kLaunch = 16 };
    auto is = [name](const char* word) { return String_CompareWithoutCaseReturn(name, word) == 0; };
    uint32_t set = 0;
    if (is("state")) {
        if (successful) {
            set = kUninstall | kRepair | kLaunch;
        } else {
            Dictionary* errors = nullptr;
            if (!info || !Dictionary_GetListByKey(info, "errors", &errors) || !errors) return 1;
            if (Dictionary_ContainsString(errors, kSignals[0]))
                set = kInstall;
            else if (Dictionary_ContainsString(errors, kSignals[1]))
                set = kUninstall | kRepair;
            else if (Dictionary_ContainsString(errors, kSignals[2]))
                set = kUninstall | kUpdate | kRepair;
            else
                return WorkflowManager_SetTaskAvailability(workflow, "state", 1);
        }
    } else if (is("install")) {
        set = successful ? kUninstall | kRepair | kLaunch : kInstall;
    } else if (is("uninstall")) {
        set = successful ? kInstall : kUninstall | kRepair;
    } else if (is("update")) {
        set = successful ? kUninstall | kRepair | kLaunch : kUninstall | kUpdate;
    } else if (is("repair")) {
        Dictionary* previous = nullptr;
        Dictionary_GetListByKey(manager->PreviousAvailable, id, &previous);
        set = successful ? kUninstall | kRepair | kLaunch : kUninstall | kRepair;
        if (WorkflowManager_ListHolds(previous, "update")) set |= kUpdate;
    } else if (is("start")) {
        set = successful ? kRepair | kLaunch : kRepair;
    } else if (is("launch")) {
        set = kRepair | kLaunch;
    } else if (!is("unload")) {
        return 1;
    }
    const struct {
        uint32_t bit;
        const char* name;
    } names[] = {{kInstall, "install"}, {kUninstall, "uninstall"}, {kUpdate, "update"}, {kRepair, "repair"},
                 {kLaunch, "launch"}};
    for (const auto& entry : names)
        WorkflowManager_SetTaskAvailability(workflow, entry.name, (set & entry.bit) && Defined(workflow, entry.name));
    WorkflowManager_SetTaskAvailability(workflow, "state", 0);
    return 1;
}

// ---- Dependencies ------------------------------------------------------------------------------

int64_t WorkflowManager_AddDependency(const char* id, const char* dependencyId) {
    WorkflowManager* manager = Manager();
    if (!manager || manager->Worker || !id || !dependencyId) return 0;
    WORKFLOWMANAGER_LOG("WorkflowManager - Dependency - Added - %s -> %s\n", id, dependencyId);
    Dictionary_AddString(manager->Dependencies, id, dependencyId, nullptr);
    manager->Dirty = 1;
    return 1;
}

namespace {

// The first workflow whose given id is `id`.
Workflow* WorkflowById(WorkflowManager* manager, const char* id) {
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(manager->WorkflowIds, &item); item;
         Dictionary_ItemGetNext(manager->WorkflowIds, item, &item)) {
        const char* value = nullptr;
        const char* key = nullptr;
        if (Dictionary_ItemGetStringPtr(manager->WorkflowIds, item, &value) && value && strcmp(value, id) == 0 &&
            Dictionary_ItemGetKeyPtr(manager->WorkflowIds, item, &key))
            return WorkflowManager_FindWorkflow(key);
    }
    return nullptr;
}

int64_t Walk(WorkflowManager* manager, Workflow* workflow, int32_t mode, const char* name,
             WorkflowManagerDependencyVisitor visitor, std::vector<Workflow*>& path) {
    const char* own = nullptr;
    if (!Dictionary_GetStringPtrByKey(manager->WorkflowIds, WorkflowManager_IdOf(workflow), &own) || !own) return 0;
    // The id text lives in the table, which the visitors may change: keep a copy.
    char id[WORKFLOWMANAGER_NAME_SIZE];
    String_CopyLength(id, own, sizeof(id));
    path.push_back(workflow);
    int64_t acted = 0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(manager->Dependencies, &item); item;
         Dictionary_ItemGetNext(manager->Dependencies, item, &item)) {
        const char* key = nullptr;
        const char* value = nullptr;
        Dictionary_ItemGetKeyPtr(manager->Dependencies, item, &key);
        Dictionary_ItemGetStringPtr(manager->Dependencies, item, &value);
        if (!key || !value) continue;
        const char* other = nullptr;
        if (mode == 3)
            other = strcmp(value, id) == 0 ? key : nullptr;
        else
            other = strcmp(key, id) == 0 ? value : nullptr;
        if (!other) continue;
        Workflow* next = WorkflowById(manager, other);
        if (!next) continue;
        // A cycle of dependencies would walk for ever: a workflow already on the path is left out.
        bool onPath = false;
        for (Workflow* seen : path) onPath = onPath || seen == next;
        if (onPath) continue;
        char otherId[WORKFLOWMANAGER_NAME_SIZE];
        String_CopyLength(otherId, other, sizeof(otherId));
        if (mode == 1 && visitor(name, otherId, next) == 1) acted = 1;
        if (Walk(manager, next, mode, name, visitor, path) == 1) acted = 1;
        if (mode != 1 && visitor(name, otherId, next) == 1) acted = 1;
    }
    path.pop_back();
    return acted;
}

} // namespace

int64_t WorkflowManager_GetDependentWorkflow(Workflow* workflow, Workflow** dependency) {
    ASSERT_POINTER(dependency);
    *dependency = nullptr;
    WorkflowManager* manager = Manager();
    if (!manager || manager->Worker || !workflow) return 0;
    const char* id = nullptr;
    if (!Dictionary_GetStringPtrByKey(manager->WorkflowIds, WorkflowManager_IdOf(workflow), &id) || !id) return 0;
    const char* other = nullptr;
    if (!Dictionary_GetStringPtrByKey(manager->Dependencies, id, &other) || !other) return 0;
    *dependency = WorkflowById(manager, other);
    return *dependency != nullptr;
}

int64_t WorkflowManager_WalkDependencyChain(Workflow* workflow, int32_t mode, const char* name,
                                            WorkflowManagerDependencyVisitor visitor) {
    WorkflowManager* manager = Manager();
    if (!manager || manager->Worker || !workflow || !name || !visitor || mode < 1 || mode > 3) return 0;
    std::vector<Workflow*> path;
    return Walk(manager, workflow, mode, name, visitor, path);
}

int64_t WorkflowManager_QueueAvailableDependenciesEnum(const char* name, const char* otherId, Workflow* other) {
    WorkflowManager* manager = Manager();
    Dictionary* list = nullptr;
    const char* id = WorkflowManager_IdOf(other);
    if (!manager || !Dictionary_GetListByKey(manager->Available, id, &list) || !WorkflowManager_ListHolds(list, name))
        return 0;
    WORKFLOWMANAGER_LOG("WorkflowManager - Dependency - Queue - %s -  %s (%s)\n", otherId, id, name);
    WorkflowManager_PushToQueue(other, name, nullptr, manager->DependencyQueue);
    return 1;
}

int64_t WorkflowManager_FailDependenciesEnum(const char* name, const char* otherId, Workflow* other) {
    WorkflowManager* manager = Manager();
    if (!manager) return 0;
    const char* id = WorkflowManager_IdOf(other);
    WORKFLOWMANAGER_LOG("WorkflowManager - Failed Dependent - Queue - %s -  %s (%s)\n", otherId, id, name);
    DictionaryItem* first = WorkflowManager_FirstEntry(manager->TaskQueue, id);
    if (first) Dictionary_Remove(manager->TaskQueue, &first);
    Dictionary_SetStringByKey(manager->Failed, id, name);
    Workflow_AddError(other, "%s", "Task_Error_DependencyFailure");
    WorkflowManager_UpdateAvailability(other, nullptr, name, 0);
    return 1;
}

// ---- Progress ----------------------------------------------------------------------------------

int64_t WorkflowManager_SetProgress(Workflow* workflow, const char* name, double value) {
    WorkflowManager* manager = Manager();
    if (!manager || manager->Worker || !workflow || !name) return 0;
    const char* id = WorkflowManager_IdOf(workflow);
    if (!WorkflowManager_ListHolds(manager->ProgressNames, name) || !Dictionary_ContainsKey(manager->Active, id))
        return 0;
    Dictionary_SetFloat64ByKey(manager->ActiveProgress, id, value);
    return 1;
}

int64_t WorkflowManager_SetProgressInterop(const char* workflow, const char* name, double value) {
    Workflow* handle = WorkflowManager_FindWorkflow(workflow);
    return handle ? WorkflowManager_SetProgress(handle, name, value) : 0;
}

void WorkflowManager_UpdateOverallProgress(WorkflowManager* manager) {
    uint32_t count = 0;
    Dictionary_ItemGetCount(manager->ActiveProgress, &count);
    double overall = -2.0;
    if (count > 0) {
        double sum = 0;
        bool negative = false;
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(manager->ActiveProgress, &item); item;
             Dictionary_ItemGetNext(manager->ActiveProgress, item, &item)) {
            double value = 0;
            Dictionary_ItemGetFloat64(manager->ActiveProgress, item, &value);
            // Figures come from scripts and task reports: a share above the whole counts as the
            // whole, and nothing may turn into a percentage outside 32 bits.
            if (value != value) value = 0;
            if (value > 1.0) value = 1.0;
            if (value < -2147483648.0) value = -2147483648.0;
            if (value < 0) {
                overall = value;
                negative = true;
                break;
            }
            sum += value;
        }
        if (!negative) overall = sum > 0 ? sum / count : 0;
    }
    const int32_t figure = overall < 0 ? (int32_t)overall : (int32_t)(overall * 100.0);
    if (figure == manager->OverallProgress) return;
    manager->OverallProgress = figure;
    WORKFLOWMANAGER_LOG("WorkflowManager - Overall Progress - %.02f (%d)\n", overall, (int32_t)count);
    manager->Dirty = 1;
}

// ---- Workflow events ---------------------------------------------------------------------------

int64_t WorkflowManager_Notification_OnWorkflowEventStart(void* user, const char*, const char*, const char*,
                                                          Dictionary* info) {
    WorkflowManager* manager = static_cast<WorkflowManager*>(user);
    const char* name = nullptr;
    const char* id = nullptr;
    if (!info || !Dictionary_GetStringPtrByKey(info, "name", &name) || !name ||
        !Dictionary_GetStringPtrByKey(info, "workflow", &id) || !id)
        return 1;
    const char* active = nullptr;
    if (Dictionary_GetStringPtrByKey(manager->Active, id, &active) && active &&
        String_CompareWithoutCaseReturn(active, name) == 0)
        NotificationCenter_FireAfterDelayWithJSON("Workflow", "Status", id, 0, "{\"queued\":false}");
    // Only workflows the manager keeps availability for: other workflows of the process run
    // events too, and must not fill the table.
    Workflow* workflow = WorkflowManager_FindWorkflow(id);
    if (!workflow || !HasEntry(manager, id)) return 1;
    Dictionary* previous = nullptr;
    Dictionary_EnsureList(manager->PreviousAvailable, id, nullptr, &previous);
    if (previous) {
        Dictionary_Reset(previous);
        Dictionary* current = nullptr;
        if (Dictionary_GetListByKey(manager->Available, id, &current) && current) Dictionary_Merge(previous, current, 0);
    }
    WorkflowManager_ClearTaskAvailability(workflow);
    return 1;
}

int64_t WorkflowManager_Notification_OnWorkflowEventComplete(void* user, const char*, const char*, const char*,
                                                             Dictionary* info) {
    WorkflowManager* manager = static_cast<WorkflowManager*>(user);
    const char* found = nullptr;
    const char* workflowId = nullptr;
    if (!info || !Dictionary_GetStringPtrByKey(info, "name", &found) || !found ||
        !Dictionary_GetStringPtrByKey(info, "workflow", &workflowId) || !workflowId)
        return 1;
    char name[WORKFLOWMANAGER_NAME_SIZE];
    char id[WORKFLOWMANAGER_ID_SIZE];
    String_CopyLength(name, found, sizeof(name));
    String_CopyLength(id, workflowId, sizeof(id));
    uint32_t successful = 0;
    Dictionary_GetBooleanByKey(info, "successful", &successful);
    const char* active = nullptr;
    if (Dictionary_GetStringPtrByKey(manager->Active, id, &active) && active) {
        const int32_t before = WorkflowManager_ActiveCount(manager);
        if (String_CompareWithoutCaseReturn(active, name) == 0) {
            Dictionary_RemoveByKey(manager->Active, id);
            if (WorkflowManager_ListHolds(manager->ProgressNames, name)) Dictionary_RemoveByKey(manager->ActiveProgress, id);
            WORKFLOWMANAGER_LOG("WorkflowManager - Task Queue - %s - Complete - %s (%d/%d)\n", id, name, 0,
                                manager->MaxActiveTasks);
        }
        uint32_t queued = 0;
        Dictionary_ItemGetCount(manager->TaskQueue, &queued);
        const int32_t now = WorkflowManager_ActiveCount(manager);
        if (before >= 1 && now == 0 && queued == 0)
            NotificationCenter_FireAfterDelay("WorkflowManager", "Deactivate", manager->Header.InstanceId, 0, nullptr);
        WORKFLOWMANAGER_LOG("WorkflowManager - Task Queue - %s - Ready - %s (%d/%d)\n", id, name, now,
                            manager->MaxActiveTasks);
    }
    Workflow* workflow = WorkflowManager_FindWorkflow(id);
    if (workflow && HasEntry(manager, id)) WorkflowManager_UpdateAvailability(workflow, info, name, successful);
    if (!WorkflowManager_ListHolds(manager->QueueNames, name)) return 1;
    if (!successful) {
        Dictionary_SetStringByKey(manager->Failed, id, name);
        char negated[WORKFLOWMANAGER_NAME_SIZE + 1];
        negated[0] = '!';
        String_CopyLength(negated + 1, name, sizeof(negated) - 1);
        const bool dependencyName = WorkflowManager_ListHolds(manager->DependencyNames, name) ||
                                    WorkflowManager_ListHolds(manager->DependencyNames, negated);
        if (workflow && dependencyName && manager->HardDependency == 1)
            WorkflowManager_WalkDependencyChain(workflow, 3, name, WorkflowManager_FailDependenciesEnum);
    } else {
        Dictionary_RemoveByKey(manager->Failed, id);
    }
    return 1;
}

// ---- Task notifications ------------------------------------------------------------------------

namespace {

void RemoveSignals(Dictionary* target) {
    Dictionary* errors = nullptr;
    if (!Dictionary_GetListByKey(target, "errors", &errors) || !errors) return;
    for (const char* signal : kSignals)
        while (Dictionary_RemoveByString(errors, signal)) {
        }
}

// The workflow in this process that runs the task, as the engine tracks it; a live task the
// engine has not seen yet answers for itself.
bool LocalWorkflowOf(const char* task, char* buffer, int32_t capacity) {
    if (WorkflowApp_GetWorkflowByTaskId(task, 0, buffer, capacity) && buffer[0]) return true;
    void* object = Class_ConvertFromInstanceId(task);
    if (!Task_ValidHandle(object)) return false;
    Workflow* workflow = Task_GetWorkflowHandle(static_cast<Task*>(object));
    if (!workflow || !Workflow_ValidHandle(workflow)) return false;
    String_CopyLength(buffer, WorkflowManager_IdOf(workflow), capacity);
    return true;
}

Dictionary* CopyWithoutMessage(Dictionary* info) {
    Dictionary* copy = nullptr;
    Dictionary_Create(&copy);
    if (info) Dictionary_Merge(copy, info, DICTIONARY_MERGE_OVERWRITE);
    Dictionary_RemoveByKey(copy, "message");
    return copy;
}

bool NumberOf(Dictionary* info, const char* key, double* value) {
    uint32_t type = 0;
    return Dictionary_GetTypeByKey(info, key, &type) && (type == DICTIONARY_TYPE_INT64 || type == DICTIONARY_TYPE_FLOAT64) &&
           Dictionary_GetFloat64ByKey(info, key, value);
}

} // namespace

int64_t WorkflowManager_NormalizeTaskEvent(const char* kind, const char* task, Dictionary* info, Dictionary** entry) {
    ASSERT_POINTER(entry);
    *entry = nullptr;
    WorkflowManager* manager = Manager();
    if (!manager || manager->Worker || !kind || !task) return 0;
    Dictionary* own = nullptr;
    if (!Dictionary_EnsureDictionary(manager->TaskEntries, task, nullptr, &own) || !own) return 0;
    const bool inStatus = strcmp(kind, "Status") == 0 || strcmp(kind, "Error") == 0 || strcmp(kind, "Warning") == 0;
    Dictionary* target = own;
    if (inStatus && (!Dictionary_EnsureDictionary(own, "status", nullptr, &target) || !target)) return 0;
    if (info) Dictionary_Merge(target, info, DICTIONARY_MERGE_OVERWRITE);
    RemoveSignals(target);
    Dictionary_RemoveByKey(target, "isRemote");
    char named[WORKFLOWMANAGER_ID_SIZE];
    if (info && Dictionary_GetStringByKey(info, "workflow", named, sizeof(named)) && named[0]) {
        char localId[WORKFLOWMANAGER_ID_SIZE];
        if (LocalWorkflowOf(task, localId, sizeof(localId))) {
            if (strcmp(localId, named) != 0) Dictionary_SetStringByKey(own, "remoteWorkflow", named);
            Dictionary_SetStringByKey(own, "workflow", localId);
        }
        Dictionary_SetStringByKey(own, "task", task);
    }
    *entry = own;
    return 1;
}

int64_t WorkflowManager_FireTaskEvent(const char* kind, const char* task, Dictionary* entry) {
    WorkflowManager* manager = Manager();
    if (!manager || !kind || !entry) return 0;
    char name[40];
    String_CopyLength(name, "Task", sizeof(name));
    String_CopyLength(name + 4, kind, (int32_t)sizeof(name) - 4);
    if (manager->Verbose == 1) {
        WORKFLOWMANAGER_LOG("WorkflowManager - Task %s - %s\n", kind, task);
        Dictionary_Dump(entry);
    }
    return NotificationCenter_FireAfterDelay("WorkflowManager", name, manager->Header.InstanceId, 0, entry);
}

int64_t WorkflowManager_Notification_OnTask(void* user, const char*, const char* kind, const char* task,
                                            Dictionary* info) {
    WorkflowManager* manager = static_cast<WorkflowManager*>(user);
    if (!kind || !task) return 1;
    if (strcmp(kind, "Error") == 0 || strcmp(kind, "Warning") == 0) {
        if (strcmp(kind, "Error") == 0) {
            Dictionary* known = nullptr;
            if (!Dictionary_GetDictionaryByKey(manager->TaskEntries, task, &known) || !known ||
                !Dictionary_ContainsKey(known, "workflow") || !Dictionary_ContainsKey(known, "name"))
                return 1;
            const char* message = nullptr;
            if (info && Dictionary_GetStringPtrByKey(info, "message", &message) && IsSignal(message)) return 1;
        }
        Dictionary* copy = CopyWithoutMessage(info);
        Dictionary* entry = nullptr;
        if (WorkflowManager_NormalizeTaskEvent(kind, task, copy, &entry)) WorkflowManager_FireTaskEvent(kind, task, entry);
        Dictionary_Release(&copy);
        return 1;
    }
    Dictionary* entry = nullptr;
    if (!WorkflowManager_NormalizeTaskEvent(kind, task, info, &entry)) return 1;
    WorkflowManager_FireTaskEvent(kind, task, entry);
    if (strcmp(kind, "Status") == 0 && info) {
        double value = 0;
        const char* workflow = nullptr;
        if ((NumberOf(info, "aggregateProgress", &value) || NumberOf(info, "overallProgress", &value)) &&
            Dictionary_GetStringPtrByKey(entry, "workflow", &workflow) && workflow &&
            Dictionary_ContainsKey(manager->ActiveProgress, workflow))
            Dictionary_SetFloat64ByKey(manager->ActiveProgress, workflow, value);
    } else if (strcmp(kind, "Complete") == 0) {
        Dictionary_SetFloat64ByKey(entry, "expireTime", Time_GetCurrent() + 10.0);
    }
    return 1;
}

void WorkflowManager_ExpireTaskEntries(WorkflowManager* manager, double now) {
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(manager->TaskEntries, &item);
    while (item) {
        DictionaryItem* next = nullptr;
        Dictionary_ItemGetNext(manager->TaskEntries, item, &next);
        Dictionary* entry = nullptr;
        double expires = 0;
        if (Dictionary_ItemGetDictionaryHandle(manager->TaskEntries, item, &entry) && entry &&
            Dictionary_GetFloat64ByKey(entry, "expireTime", &expires) && expires < now)
            Dictionary_Remove(manager->TaskEntries, &item);
        item = next;
    }
}

// ---- Status report -----------------------------------------------------------------------------

namespace {

// Adds the task names of every entry of a queue to report[workflow].
void AddQueued(Dictionary* report, Dictionary* queue) {
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(queue, &item); item; Dictionary_ItemGetNext(queue, item, &item)) {
        const char* id = nullptr;
        Dictionary* entry = nullptr;
        if (!Dictionary_ItemGetKeyPtr(queue, item, &id) || !id || !Dictionary_ItemIsContainer(queue, item) ||
            !Dictionary_ItemGetDictionaryHandle(queue, item, &entry) || !entry)
            continue;
        Dictionary* names = nullptr;
        Dictionary_EnsureList(report, id, nullptr, &names);
        DictionaryItem* task = nullptr;
        for (Dictionary_ItemGetFirst(entry, &task); task; Dictionary_ItemGetNext(entry, task, &task)) {
            const char* name = nullptr;
            if (names && Dictionary_ItemGetKeyPtr(entry, task, &name) && name)
                Dictionary_AddString(names, nullptr, name, nullptr);
        }
    }
}

void CopyTable(Dictionary* report, const char* key, Dictionary* table) {
    Dictionary* copy = nullptr;
    Dictionary_AddDictionary(report, key, &copy, nullptr);
    if (copy) {
        Dictionary_SetAllowDuplicates(copy, 1);
        Dictionary_Merge(copy, table, 0);
    }
}

} // namespace

void WorkflowManager_FireStatus(WorkflowManager* manager) {
    Dictionary* report = nullptr;
    if (!Dictionary_Create(&report)) return;
    Dictionary_SetInt32ByKey(report, "progress", manager->OverallProgress);
    CopyTable(report, "active", manager->Active);
    CopyTable(report, "available", manager->Available);
    CopyTable(report, "dependencies", manager->Dependencies);
    Dictionary* queued = nullptr;
    Dictionary_AddDictionary(report, "queued", &queued, nullptr);
    if (queued) {
        AddQueued(queued, manager->TaskQueue);
        AddQueued(queued, manager->DependencyQueue);
    }
    Dictionary* dependencies = nullptr;
    Dictionary_AddDictionary(report, "queuedDependencies", &dependencies, nullptr);
    if (dependencies) AddQueued(dependencies, manager->DependencyQueue);
    CopyTable(report, "workflowId", manager->WorkflowIds);
    NotificationCenter_FireAfterDelay("WorkflowManager", "Status", manager->Header.InstanceId, 0, report);
    Dictionary_Release(&report);
}
