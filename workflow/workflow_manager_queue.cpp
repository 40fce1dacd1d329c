// WorkflowManager: running and queueing entry tasks under the two limits, the task queue and the
// dependency queue in priority order.
#include <cstring>

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "workflow/workflow.h"
#include "workflow/workflow_manager_internal.h"

namespace {

WorkflowManager* Manager() {
    return GlobalWorkflowManager;
}

// Macros given as JSON text; null for none or for text that does not parse.
Dictionary* ParseMacros(const char* text) {
    if (!text || !text[0]) return nullptr;
    Dictionary* parsed = WorkflowManager_ParseJson(text);
    if (!parsed) return nullptr;
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(parsed, &root);
    Dictionary* macros = nullptr;
    Dictionary_Create(&macros);
    Dictionary_Merge(macros, root ? root : parsed, DICTIONARY_MERGE_OVERWRITE);
    Dictionary_Release(&parsed);
    return macros;
}

// The first candidate of a comma-separated list that the workflow defines.
bool TakeName(Workflow* workflow, const char* name, char* taken) {
    taken[0] = 0;
    if (String_CompareWithoutCaseReturn(name, "unload") == 0) {
        String_CopyLength(taken, name, WORKFLOWMANAGER_NAME_SIZE);
        return true;
    }
    const char* at = name;
    while (*at) {
        const char* end = strchr(at, ',');
        const int32_t length = end ? (int32_t)(end - at) : (int32_t)strlen(at);
        String_CopyLength(taken, at, length + 1 < (int32_t)WORKFLOWMANAGER_NAME_SIZE ? length + 1 : (int32_t)WORKFLOWMANAGER_NAME_SIZE);
        String_TrimChars(taken, " \t");
        if (taken[0] && Workflow_CanCreateTask(workflow, taken)) return true;
        at = end ? end + 1 : at + length;
    }
    taken[0] = 0;
    return false;
}

// The availability list of the workflow when it has one (not cleared), else null.
Dictionary* AvailabilityList(WorkflowManager* manager, const char* workflow) {
    Dictionary* list = nullptr;
    return Dictionary_GetListByKey(manager->Available, workflow, &list) ? list : nullptr;
}

bool DependencyQueued(WorkflowManager* manager, Workflow* workflow) {
    Workflow* dependency = nullptr;
    return WorkflowManager_GetDependentWorkflow(workflow, &dependency) && dependency &&
           WorkflowManager_FirstEntry(manager->DependencyQueue, WorkflowManager_IdOf(dependency)) != nullptr;
}

int64_t RunNow(WorkflowManager* manager, Workflow* workflow, const char* taken, Dictionary* macros, bool queueable) {
    const char* id = WorkflowManager_IdOf(workflow);
    const int32_t before = WorkflowManager_ActiveCount(manager);
    Dictionary_RemoveByKey(manager->Failed, id);
    if (queueable) {
        Dictionary_SetStringByKey(manager->Active, id, taken);
        const bool state = WorkflowManager_IsStateName(taken);
        WORKFLOWMANAGER_LOG("WorkflowManager - Task Queue - %s - Ready - %s (%d/%d)\n", id, taken,
                            state ? WorkflowManager_ActiveStateCount(manager) : WorkflowManager_ActiveCount(manager),
                            state ? manager->MaxActiveStateTasks : manager->MaxActiveTasks);
        WorkflowManager_ClearTaskAvailability(workflow);
        if (before == 0 && WorkflowManager_ActiveCount(manager) >= 1)
            NotificationCenter_Fire("WorkflowManager", "Activate", manager->Header.InstanceId, nullptr);
    } else {
        if (WorkflowManager_IsStateName(taken)) WorkflowManager_ClearTaskAvailability(workflow);
        WORKFLOWMANAGER_LOG("WorkflowManager - Task Queue - %s - Ready - %s\n", id, taken);
    }
    WorkflowManager_SetProgress(workflow, taken, 0.0);
    Workflow_QueueTaskWithMacros(workflow, taken, macros, nullptr, nullptr, nullptr);
    return 1;
}

// Whether following first dependencies from the workflow leads back to it. Workflows that wait
// for each other round a cycle would otherwise all wait for ever.
bool InDependencyCycle(WorkflowManager* manager, Workflow* workflow) {
    uint32_t bound = 0;
    Dictionary_ItemGetCount(manager->WorkflowIds, &bound);
    Workflow* at = workflow;
    for (uint32_t step = 0; step <= bound; step++) {
        Workflow* next = nullptr;
        if (!WorkflowManager_GetDependentWorkflow(at, &next) || !next) return false;
        if (next == workflow) return true;
        at = next;
    }
    return false;
}

} // namespace

int64_t WorkflowManager_QueueTaskInt(Workflow* workflow, const char* name, Dictionary* macros, uint32_t mayRunNow,
                                     uint32_t walkDependencies) {
    WorkflowManager* manager = Manager();
    if (!manager || manager->Worker || !workflow || !name) return 0;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    if (manager->Unloading) return 0;
    char taken[WORKFLOWMANAGER_NAME_SIZE];
    if (!TakeName(workflow, name, taken)) return 0;
    const char* id = WorkflowManager_IdOf(workflow);
    const char* active = nullptr;
    if (Dictionary_GetStringPtrByKey(manager->Active, id, &active) && active &&
        String_CompareWithoutCaseReturn(active, taken) == 0)
        return 0;
    const bool queueable = WorkflowManager_ListHolds(manager->QueueNames, taken);
    bool pending = false;
    if (walkDependencies && WorkflowManager_ListHolds(manager->DependencyNames, taken))
        pending = WorkflowManager_WalkDependencyChain(workflow, 2, taken,
                                                      WorkflowManager_QueueAvailableDependenciesEnum) == 1;
    // The limit follows the name as asked for: a candidate list is measured as ordinary tasks.
    const bool stateLimit = WorkflowManager_IsStateName(name);
    const int32_t count = stateLimit ? WorkflowManager_ActiveStateCount(manager) : WorkflowManager_ActiveCount(manager);
    const int32_t limit = stateLimit ? manager->MaxActiveStateTasks : manager->MaxActiveTasks;
    const bool room = count < limit || limit < 1;
    if (mayRunNow && (!queueable || (room && !pending))) {
        RunNow(manager, workflow, taken, macros, queueable);
    } else {
        WorkflowManager_PushToQueue(workflow, taken, macros, manager->TaskQueue);
        if (pending && limit >= 1 && count < limit) WorkflowManager_PopFromQueue(manager->DependencyQueue, 0, 0);
    }
    if (walkDependencies) {
        char negated[WORKFLOWMANAGER_NAME_SIZE];
        negated[0] = '!';
        String_CopyLength(negated + 1, taken, sizeof(negated) - 1);
        if (WorkflowManager_ListHolds(manager->DependencyNames, negated))
            WorkflowManager_WalkDependencyChain(workflow, 1, taken, WorkflowManager_QueueAvailableDependenciesEnum);
    }
    return 1;
}

int64_t WorkflowManager_PushToQueue(Workflow* workflow, const char* name, Dictionary* macros, Dictionary* queue) {
    WorkflowManager* manager = Manager();
    if (!manager || !workflow || !name || !queue) return 0;
    const char* id = WorkflowManager_IdOf(workflow);
    DictionaryItem* first = WorkflowManager_FirstEntry(queue, id);
    Dictionary* entry = nullptr;
    if (first && Dictionary_ItemGetDictionaryHandle(queue, first, &entry) && entry && Dictionary_ContainsKey(entry, name))
        return 1;
    if (Dictionary* list = AvailabilityList(manager, id)) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
            const char* value = nullptr;
            if (Dictionary_ItemGetStringPtr(list, item, &value) && value &&
                String_CompareWithoutCaseReturn(value, name) == 0) {
                Dictionary_Remove(list, &item);
                break;
            }
        }
    }
    WORKFLOWMANAGER_LOG("WorkflowManager - Task Queue - %s - Wait - %s\n", id, name);
    NotificationCenter_FireAfterDelayWithJSON("Workflow", "Status", id, 0, "{\"queued\":true,\"queuedDependencies\":%s}",
                                              DependencyQueued(manager, workflow) ? "true" : "false");
    DictionaryItem* created = first ? nullptr : WorkflowManager_InsertByPriority(manager, queue, id);
    if (first) Dictionary_Append(queue, id, &created);
    if (!created) return 0;
    Dictionary_ItemSetType(queue, created, DICTIONARY_TYPE_DICTIONARY);
    entry = nullptr;
    Dictionary_ItemGetDictionaryHandle(queue, created, &entry);
    Dictionary* task = nullptr;
    // Task names are keys as written, so the name popped is the name queued; the macros under one
    // keep their private items.
    if (entry) Dictionary_SetPrivateKeys(entry, 0);
    if (!entry || !Dictionary_AddDictionary(entry, name, &task, nullptr) || !task) return 0;
    Dictionary_SetPrivateKeys(task, 1);
    if (macros) Dictionary_Merge(task, macros, DICTIONARY_MERGE_OVERWRITE);
    manager->Dirty = 1;
    return 1;
}

int64_t WorkflowManager_PopFromQueue(Dictionary* queue, uint32_t checkDependency, uint32_t stateOnly) {
    WorkflowManager* manager = Manager();
    if (!manager || !queue) return 0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(queue, &item); item; Dictionary_ItemGetNext(queue, item, &item)) {
        Dictionary* entry = nullptr;
        if (!Dictionary_ItemIsContainer(queue, item) || !Dictionary_ItemGetDictionaryHandle(queue, item, &entry) ||
            !entry)
            continue;
        DictionaryItem* task = nullptr;
        const char* name = nullptr;
        if (!Dictionary_ItemGetFirst(entry, &task) || !task || !Dictionary_ItemGetKeyPtr(entry, task, &name) || !name)
            continue;
        if (WorkflowManager_IsStateName(name) != (stateOnly == 1)) continue;
        const char* id = nullptr;
        Dictionary_ItemGetKeyPtr(queue, item, &id);
        Workflow* workflow = WorkflowManager_FindWorkflow(id);
        if (checkDependency && workflow && !InDependencyCycle(manager, workflow)) {
            Workflow* dependency = nullptr;
            if (WorkflowManager_GetDependentWorkflow(workflow, &dependency) && dependency) {
                const char* other = WorkflowManager_IdOf(dependency);
                const bool busy = WorkflowManager_FirstEntry(manager->TaskQueue, other) != nullptr ||
                                  Dictionary_ContainsKey(manager->Active, other);
                if (busy && !Dictionary_ContainsKey(manager->Failed, other)) continue;
            }
        }
        if (!workflow) continue;
        // The entry may move while the task is started: keep what is needed first.
        char taken[WORKFLOWMANAGER_NAME_SIZE];
        String_CopyLength(taken, name, sizeof(taken));
        Dictionary* macros = nullptr;
        Dictionary* stored = nullptr;
        if (Dictionary_ItemGetDictionaryHandle(entry, task, &stored) && stored) {
            uint32_t count = 0;
            if (Dictionary_ItemGetCount(stored, &count) && count) {
                Dictionary_Create(&macros);
                Dictionary_Merge(macros, stored, DICTIONARY_MERGE_OVERWRITE);
            }
        }
        const int64_t started = WorkflowManager_QueueTaskInt(workflow, taken, macros, 1, 0);
        Dictionary_Release(&macros);
        // The popped task leaves its entry whatever the answer; an empty entry leaves the queue.
        Dictionary_ItemFindByKey(entry, taken, nullptr, &task);
        if (task) Dictionary_Remove(entry, &task);
        uint32_t left = 0;
        Dictionary_ItemGetCount(entry, &left);
        if (left == 0) Dictionary_Remove(queue, &item);
        manager->Dirty = 1;
        return started;
    }
    return 0;
}

// ---- Entry points by handle and by id ----------------------------------------------------------

int64_t WorkflowManager_RunTask(Workflow* workflow, const char* name) {
    return WorkflowManager_RunTaskWithMacros(workflow, name, nullptr);
}

int64_t WorkflowManager_RunTaskWithMacros(Workflow* workflow, const char* name, Dictionary* macros) {
    if (!workflow || !name) return 0;
    return Workflow_RunTaskWithMacros(workflow, name, macros, nullptr, nullptr, nullptr);
}

int64_t WorkflowManager_RunTaskInterop(const char* workflow, const char* name) {
    return WorkflowManager_RunTaskWithMacrosInterop(workflow, name, nullptr);
}

int64_t WorkflowManager_RunTaskWithMacrosInterop(const char* workflow, const char* name, const char* macros) {
    Workflow* handle = WorkflowManager_FindWorkflow(workflow);
    if (!handle || !name) return 0;
    Dictionary* dict = ParseMacros(macros);
    const int64_t result = WorkflowManager_RunTaskWithMacros(handle, name, dict);
    Dictionary_Release(&dict);
    return result;
}

int64_t WorkflowManager_QueueTask(Workflow* workflow, const char* name) {
    return WorkflowManager_QueueTaskInt(workflow, name, nullptr, 1, 1);
}

int64_t WorkflowManager_QueueTaskWithMacros(Workflow* workflow, const char* name, Dictionary* macros) {
    return WorkflowManager_QueueTaskInt(workflow, name, macros, 1, 1);
}

int64_t WorkflowManager_QueueTaskInterop(const char* workflow, const char* name) {
    return WorkflowManager_QueueTaskWithMacrosInterop(workflow, name, nullptr);
}

int64_t WorkflowManager_QueueTaskWithMacrosInterop(const char* workflow, const char* name, const char* macros) {
    Workflow* handle = WorkflowManager_FindWorkflow(workflow);
    if (!handle || !name) return 0;
    Dictionary* dict = ParseMacros(macros);
    const int64_t result = WorkflowManager_QueueTaskInt(handle, name, dict, 1, 1);
    Dictionary_Release(&dict);
    return result;
}

int64_t WorkflowManager_QueueAvailableTasks(const char* name) {
    WorkflowManager* manager = Manager();
    if (!manager || manager->Worker || !name) return 0;
    // Queueing changes the lists being read: take the workflows first.
    Dictionary* chosen = nullptr;
    Dictionary_Create(&chosen);
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(manager->Available, &item); item;
         Dictionary_ItemGetNext(manager->Available, item, &item)) {
        const char* id = nullptr;
        Dictionary* list = nullptr;
        if (Dictionary_ItemGetKeyPtr(manager->Available, item, &id) && id &&
            Dictionary_ItemCompareType(manager->Available, item, DICTIONARY_TYPE_LIST) &&
            Dictionary_ItemGetDictionaryHandle(manager->Available, item, &list) && WorkflowManager_ListHolds(list, name))
            Dictionary_AddString(chosen, nullptr, id, nullptr);
    }
    for (Dictionary_ItemGetFirst(chosen, &item); item; Dictionary_ItemGetNext(chosen, item, &item)) {
        const char* id = nullptr;
        Dictionary_ItemGetStringPtr(chosen, item, &id);
        WorkflowManager_QueueTaskInterop(id, name);
    }
    Dictionary_Release(&chosen);
    return 1;
}

int64_t WorkflowManager_GetQueuedTaskCount(uint32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    WorkflowManager* manager = Manager();
    if (!manager || !manager->TaskQueue) return 0;
    return Dictionary_ItemGetCount(manager->TaskQueue, count);
}
