// Workflow tasks: the list of live tasks with their parent links and its queries, the workflow's
// own task types, and creating a task from its definition.
#include <cstring>
#include <initializer_list>

#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "workflow/task_internal.h"
#include "workflow/task_request.h"
#include "workflow/task_type.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_internal.h"

namespace {

bool EqualsNoCase(const char* a, const char* b) {
    return String_CompareWithoutCaseReturn(a, b) == 0;
}

bool SameRecord(const TaskInterface* a, const TaskInterface* b) {
    if (a == b) return true;
    if (!a || !b || a->Create != b->Create || a->AddRef != b->AddRef || a->Release != b->Release) return false;
    return a->Name && b->Name && strcmp(a->Name, b->Name) == 0;
}

// True when the task's type is a record of the workflow's own list (and so is freed with it).
bool TypeOfOwnList(Workflow* workflow, Task* task) {
    const TaskInterface* record = task->Interface;
    const TaskInterface* found = nullptr;
    return record && record->Name && workflow->TaskTypes &&
           TaskTypeList_Find(workflow->TaskTypes, record->Name, &found) && SameRecord(found, record);
}

// A task whose type goes away while someone still holds it: it ends now (cancelled, as its type
// can no longer end it) and lets go of the type while the type's record is still there.
void EndAndUnbind(Task* task) {
    if (!Task_IsCompleted(task) && !task->Completing) {
        Task_Cancel(task);
        // A type that asked to end its own work on a cancel cannot do so any more.
        if (!Task_IsCompleted(task) && !task->Completing) {
            Task_AddError(task, "Task_Error_Cancelled");
            Task_Complete(task, nullptr);
        }
    }
    Task_SetInterface(task, nullptr);
}

// Unlinks the node and frees it; the caller owns the list's reference on the task afterwards.
Task* Unlink(Workflow* workflow, WorkflowTaskNode* node) {
    Task* task = node->Task_;
    Workflow_VerboseLog(workflow, 1, "Removing task - %s", task->Header.InstanceId);
    // Children stay in the tree under their grandparent; they all lie after the node.
    uint32_t left = node->Children;
    for (WorkflowTaskNode* child = node->Next; child && left > 0; child = child->Next) {
        if (child->Parent != node) continue;
        child->Parent = node->Parent;
        if (node->Parent) node->Parent->Children++;
        left--;
    }
    if (node->Parent) node->Parent->Children--;
    if (node->Previous)
        node->Previous->Next = node->Next;
    else
        workflow->Head = node->Next;
    if (node->Next)
        node->Next->Previous = node->Previous;
    else
        workflow->Tail = node->Previous;
    workflow->TaskCount--;
    task->Node = nullptr;
    Memory_Free(node, sizeof(WorkflowTaskNode));
    // A task that someone still holds (a pending sub-action, a script) may outlive the workflow:
    // once out of the list it no longer reaches back into it, nor prints through it.
    if (!Class_HasOneRef(task)) {
        Task_SetWorkflowHandle(task, nullptr);
        Task_SetPrintCallback(task, nullptr, nullptr);
    }
    return task;
}

void Append(Workflow* workflow, Task* task, WorkflowTaskNode* parent) {
    WorkflowTaskNode* node = static_cast<WorkflowTaskNode*>(Memory_AllocZero(sizeof(WorkflowTaskNode)));
    node->Owner = workflow;
    node->Task_ = task;
    node->Parent = parent;
    node->Previous = workflow->Tail;
    if (workflow->Tail)
        workflow->Tail->Next = node;
    else
        workflow->Head = node;
    workflow->Tail = node;
    workflow->TaskCount++;
    if (parent) parent->Children++;
    task->Node = node;
}

} // namespace

WorkflowTaskNode* Workflow_FindNode(Workflow* workflow, Task* task) {
    if (!task || !Task_ValidHandle(task)) return nullptr;
    WorkflowTaskNode* node = task->Node;
    return node && node->Owner == workflow && node->Task_ == task ? node : nullptr;
}

void Workflow_RemoveNode(Workflow* workflow, WorkflowTaskNode* node, bool unbindType) {
    const bool ownType = unbindType && TypeOfOwnList(workflow, node->Task_);
    Task* task = Unlink(workflow, node);
    if (ownType && !Class_HasOneRef(task)) EndAndUnbind(task);
    Task_Release(&task);
}

// ---- Queries -----------------------------------------------------------------------------------

int64_t Workflow_FindTaskByInstanceId(Workflow* workflow, const char* id, Task** task) {
    ASSERT_POINTER(task);
    *task = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(id);
    for (WorkflowTaskNode* node = workflow->Head; node; node = node->Next) {
        char own[40];
        Task_GetInstanceId(node->Task_, own, sizeof(own));
        if (EqualsNoCase(own, id)) {
            *task = node->Task_;
            return 1;
        }
    }
    return 0;
}

int64_t Workflow_FindTaskByName(Workflow* workflow, const char* name, Task** task) {
    ASSERT_POINTER(task);
    *task = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(name);
    for (WorkflowTaskNode* node = workflow->Head; node; node = node->Next) {
        if (EqualsNoCase(node->Task_->Name, name)) {
            *task = node->Task_;
            return 1;
        }
    }
    return 0;
}

int64_t Workflow_IsTaskRunning(Workflow* workflow, const char* name) {
    Task* task = nullptr;
    return Workflow_FindTaskByName(workflow, name, &task) && !Task_IsCompleted(task);
}

int64_t Workflow_GetParentTaskHandle(Workflow* workflow, Task* task, Task** parent) {
    ASSERT_POINTER(parent);
    *parent = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    WorkflowTaskNode* node = Workflow_FindNode(workflow, task);
    if (!node || !node->Parent) return 0;
    *parent = node->Parent->Task_;
    return 1;
}

int64_t Workflow_GetParentTaskHandleByName(Workflow* workflow, Task* task, const char* name, Task** ancestor) {
    ASSERT_POINTER(ancestor);
    *ancestor = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(name);
    WorkflowTaskNode* node = Workflow_FindNode(workflow, task);
    for (WorkflowTaskNode* up = node ? node->Parent : nullptr; up; up = up->Parent) {
        if (EqualsNoCase(up->Task_->Name, name)) {
            *ancestor = up->Task_;
            return 1;
        }
    }
    return 0;
}

int64_t Workflow_GetRootTaskHandle(Workflow* workflow, Task* task, Task** root) {
    ASSERT_POINTER(root);
    *root = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    WorkflowTaskNode* node = Workflow_FindNode(workflow, task);
    if (!node || !node->Parent) return 0;
    while (node->Parent) node = node->Parent;
    *root = node->Task_;
    return 1;
}

int64_t Workflow_GetChildTaskCount(Workflow* workflow, Task* task, uint32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    WorkflowTaskNode* node = Workflow_FindNode(workflow, task);
    if (!node) return 0;
    *count = node->Children;
    return 1;
}

int64_t Workflow_HasTask(Workflow* workflow, const char* name) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(name);
    return WorkflowApp_IsTaskInWorkflow(name, workflow->Header.InstanceId, 0);
}

int64_t Workflow_HasRemoteTask(Workflow* workflow, const char* name) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(name);
    return WorkflowApp_IsTaskInWorkflow(name, workflow->Header.InstanceId, 1);
}

int64_t Workflow_HasRemoteWorkflow(Workflow* workflow, const char* workflowId) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(workflowId);
    return WorkflowApp_IsWorkflowInWorkflow(workflowId, workflow->Header.InstanceId);
}

int64_t Workflow_CanCreateTask(Workflow* workflow, const char* name) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(name);
    return Task_FindDefinition(workflow->Definitions, name) != nullptr;
}

// ---- Removing tasks ----------------------------------------------------------------------------

int64_t Workflow_ClearTasks(Workflow* workflow) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    while (workflow->Head) Workflow_RemoveNode(workflow, workflow->Head, false);
    return 1;
}

int64_t Workflow_ClearTasksByHandle(Workflow* workflow, Task* task) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    WorkflowTaskNode* node = Workflow_FindNode(workflow, task);
    if (!node) return 0;
    // Descendants lie after the task, each after its parent: one pass marks them all.
    node->Marked = 1;
    for (WorkflowTaskNode* next = node->Next; next; next = next->Next)
        next->Marked = next->Parent && next->Parent->Marked;
    WorkflowTaskNode* current = workflow->Tail;
    while (current) {
        WorkflowTaskNode* previous = current == node ? nullptr : current->Previous;
        if (current->Marked) {
            current->Marked = 0;
            Workflow_RemoveNode(workflow, current, false);
        }
        current = previous;
    }
    return 1;
}

// ---- Task types --------------------------------------------------------------------------------

int64_t Workflow_FindTaskHandler(Workflow* workflow, const char* name, const TaskInterface** record) {
    ASSERT_POINTER(record);
    *record = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(name);
    return workflow->TaskTypes && TaskTypeList_Find(workflow->TaskTypes, name, record);
}

int64_t Workflow_RegisterTaskHandler(Workflow* workflow, const TaskInterface* record) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(record);
    return workflow->TaskTypes && TaskTypeList_Add(workflow->TaskTypes, record);
}

int64_t Workflow_UnregisterTaskHandler(Workflow* workflow, const TaskInterface* record) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(record);
    return workflow->TaskTypes && TaskTypeList_Remove(workflow->TaskTypes, record);
}

int64_t Workflow_RegisterDefaultTasks(Workflow* workflow) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    return workflow->TaskTypes && TaskTypeList_AddDefaultTasks(workflow->TaskTypes);
}

int64_t Workflow_UnregisterDefaultTasks(Workflow* workflow) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    return workflow->TaskTypes && TaskTypeList_RemoveDefaultTasks(workflow->TaskTypes);
}

int64_t Workflow_RegisterCustomTasks(Workflow* workflow) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    return NotificationCenter_FireWithJSON("Workflow", "RegisterTaskHandlers", workflow->Header.InstanceId,
                                           "{\"canRemote\": false}") == 1;
}

int64_t Workflow_UnregisterCustomTasks(Workflow* workflow) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    return NotificationCenter_FireWithJSON("Workflow", "UnregisterTaskHandlers", workflow->Header.InstanceId,
                                           "{\"canRemote\": false}") == 1;
}

int64_t Workflow_GetTaskTypeListHandle(Workflow* workflow, TaskTypeList** list) {
    ASSERT_POINTER(list);
    *list = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    *list = workflow->TaskTypes;
    return *list != nullptr;
}

int64_t Workflow_SetUseDefaultTaskTypes(Workflow* workflow, uint32_t flag) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    workflow->UseDefaultTaskTypes = flag;
    return 1;
}

int64_t Workflow_GetUseDefaultTaskTypes(Workflow* workflow, uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = 0;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    *flag = workflow->UseDefaultTaskTypes;
    return 1;
}

int64_t Workflow_TaskListRemoveCallback(void* user, const TaskInterface* record) {
    Workflow* workflow = static_cast<Workflow*>(user);
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    if (!record) return 0;
    // The tasks are taken out of the list first: ending one fires notifications whose observers
    // may change the list.
    uint32_t count = 0;
    for (WorkflowTaskNode* node = workflow->Head; node; node = node->Next)
        if (SameRecord(node->Task_->Interface, record)) count++;
    if (count == 0) return 1;
    Task** tasks = static_cast<Task**>(Memory_Alloc(sizeof(Task*) * count));
    uint32_t taken = 0;
    WorkflowTaskNode* node = workflow->Head;
    while (node && taken < count) {
        WorkflowTaskNode* next = node->Next;
        if (SameRecord(node->Task_->Interface, record)) tasks[taken++] = Unlink(workflow, node);
        node = next;
    }
    // The record goes away when this call returns: every task lets go of its type now.
    for (uint32_t i = 0; i < taken; i++) {
        if (!Class_HasOneRef(tasks[i])) EndAndUnbind(tasks[i]);
        Task_Release(&tasks[i]);
    }
    Memory_Free(tasks, sizeof(Task*) * count);
    return 1;
}

// ---- Creating tasks ----------------------------------------------------------------------------

namespace {

// Where a workflow came from, for a user: the file or URL it was loaded from, else "workflow".
void WorkflowPlace(Workflow* workflow, char* buffer, int32_t capacity) {
    char url[1024] = "";
    if ((!Dictionary_GetStringByKey(workflow->Macros, "workflowUrl", url, sizeof(url)) || !url[0]) &&
        (!Dictionary_GetStringByKey(workflow->Macros, "workflowPath", url, sizeof(url)) || !url[0])) {
        String_CopyLength(buffer, "workflow", capacity);
        return;
    }
    TaskRequest_PlaceOf(url, buffer, capacity);
}

} // namespace

namespace {

// The known type of that name: the workflow's own first, then the program's (as creation looks).
const TaskInterface* FindType(Workflow* workflow, const char* type) {
    const TaskInterface* record = nullptr;
    if (workflow->TaskTypes && TaskTypeList_Find(workflow->TaskTypes, type, &record) && record) return record;
    record = nullptr;
    TaskTypeList* application = nullptr;
    if (workflow->UseDefaultTaskTypes && WorkflowApp_GetTaskTypeListHandle(&application) && application)
        TaskTypeList_Find(application, type, &record);
    return record;
}

bool HoldsMacro(const char* text) {
    return strchr(text, '{') != nullptr;
}

// Found as a task of that name is created: the name as stored first, then as written with a mark.
Dictionary* DefinitionIn(Dictionary* document, const char* name) {
    DictionaryItem* item = document ? Task_FindDefinition(document, name) : nullptr;
    Dictionary* definition = nullptr;
    if (!item ||
        !Dictionary_ItemCompareType(document, item, DICTIONARY_TYPE_DICTIONARY) ||
        !Dictionary_ItemGetDictionaryHandle(document, item, &definition))
        return nullptr;
    return definition;
}

// A definition of the document, or of what the workflow holds already (the document is merged
// over it).
Dictionary* Definition(Workflow* workflow, Dictionary* document, const char* name) {
    Dictionary* definition = DefinitionIn(document, name);
    return definition ? definition : DefinitionIn(workflow->Definitions, name);
}

// How a definition's type reads: absent, a text (with `type` pointing at it), or not decidable now.
enum class TypeIs { Missing, Text, Undecided };

TypeIs TypeOf(Workflow* workflow, Dictionary* document, Dictionary* definition, const char** type) {
    *type = nullptr;
    uint32_t kind = 0;
    if (Dictionary_GetTypeByKey(definition, "type", &kind)) {
        if (kind != DICTIONARY_TYPE_STRING || !Dictionary_GetStringPtrByKey(definition, "type", type) || !*type)
            return TypeIs::Missing;
        return HoldsMacro(*type) ? TypeIs::Undecided : TypeIs::Text;
    }
    // A type may come from a template (the definition's own keys win, so only when it has none).
    kind = 0;
    Dictionary_GetTypeByKey(definition, "template", &kind);
    TypeIs found = TypeIs::Missing;
    auto look = [&](const char* name) {
        if (!name) return;
        if (HoldsMacro(name) || strchr(name, '.')) {
            found = TypeIs::Undecided;
            return;
        }
        Dictionary* source = Definition(workflow, document, name);
        const char* text = nullptr;
        if (source && source != definition && Dictionary_GetStringPtrByKey(source, "type", &text) && text) {
            *type = text;
            found = HoldsMacro(text) ? TypeIs::Undecided : TypeIs::Text;
        }
    };
    if (kind == DICTIONARY_TYPE_STRING) {
        const char* name = nullptr;
        Dictionary_GetStringPtrByKey(definition, "template", &name);
        look(name);
    } else if (kind == DICTIONARY_TYPE_LIST) {
        Dictionary* list = nullptr;
        Dictionary_GetListByKey(definition, "template", &list);
        DictionaryItem* entry = nullptr;
        for (Dictionary_ItemGetFirst(list, &entry); entry; Dictionary_ItemGetNext(list, entry, &entry)) {
            const char* name = nullptr;
            if (Dictionary_ItemGetStringPtr(list, entry, &name)) look(name);
        }
    }
    return found;
}

// The task an outcome key names: its text, or an outcome dictionary's "action"; null when the key
// names nothing or a macro decides it.
const char* NamedTask(Dictionary* definition, const char* key) {
    uint32_t kind = 0;
    if (!Dictionary_GetTypeByKey(definition, key, &kind)) return nullptr;
    const char* name = nullptr;
    if (kind == DICTIONARY_TYPE_STRING) {
        Dictionary_GetStringPtrByKey(definition, key, &name);
    } else if (kind == DICTIONARY_TYPE_DICTIONARY) {
        Dictionary* outcome = nullptr;
        if (Dictionary_GetDictionaryByKey(definition, key, &outcome) && outcome)
            Dictionary_GetStringPtrByKey(outcome, "action", &name);
    }
    return name && !HoldsMacro(name) ? name : nullptr;
}

bool IsEntry(const char* name) {
    for (const char* entry : {"load", "state", "start", "apply", "install", "uninstall", "update", "repair", "launch",
                              "unload"})
        if (strcmp(name, entry) == 0) return true;
    return false;
}

bool LoadsInterop(Workflow* workflow, Dictionary* document) {
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(document, &item); item; Dictionary_ItemGetNext(document, item, &item)) {
        Dictionary* definition = nullptr;
        const char* type = nullptr;
        if (Dictionary_ItemGetDictionaryHandle(document, item, &definition) && definition &&
            TypeOf(workflow, document, definition, &type) == TypeIs::Text && EqualsNoCase(type, "InteropLoad"))
            return true;
    }
    return false;
}

} // namespace

int64_t Workflow_CheckDocument(Workflow* workflow, Dictionary* document, char* problem, int32_t capacity,
                               const char** errorKey) {
    ASSERT_POINTER(problem);
    ASSERT_POINTER(errorKey);
    if (capacity > 0) problem[0] = 0;
    *errorKey = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(document);
    const bool typesLater = LoadsInterop(workflow, document);
    constexpr const char* kOutcomes[] = {"success", "failure", "complete"};
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(document, &item); item; Dictionary_ItemGetNext(document, item, &item)) {
        const char* name = nullptr;
        Dictionary* definition = nullptr;
        if (!Dictionary_ItemGetKeyPtr(document, item, &name) || !name ||
            !Dictionary_ItemCompareType(document, item, DICTIONARY_TYPE_DICTIONARY) ||
            !Dictionary_ItemGetDictionaryHandle(document, item, &definition) || !definition)
            continue;
        const char* type = nullptr;
        const TypeIs typeIs = TypeOf(workflow, document, definition, &type);
        // A definition without a type may be a template or data: it fails only when named as a task,
        // by an outcome or as an entry the host runs.
        if (typeIs == TypeIs::Missing && IsEntry(name)) {
            String_Print(problem, capacity, "task \"%s\" has no \"type\"", name);
            *errorKey = "Task_Error_MissingSubTask";
            return 0;
        }
        if (typeIs != TypeIs::Text) continue;
        if (!typesLater && !FindType(workflow, type)) {
            String_Print(problem, capacity, "task \"%s\": unknown task type \"%s\"", name, type);
            *errorKey = "Task_Error_InvalidArg";
            return 0;
        }
        for (const char* key : kOutcomes) {
            const char* next = NamedTask(definition, key);
            if (!next) continue;
            Dictionary* target = Definition(workflow, document, next);
            const char* targetType = nullptr;
            if (!target) {
                String_Print(problem, capacity, "task \"%s\" (%s): \"%s\" names no task \"%s\"", name, type, key,
                             next);
                *errorKey = "Task_Error_MissingSubTask";
                return 0;
            }
            if (TypeOf(workflow, document, target, &targetType) == TypeIs::Missing) {
                String_Print(problem, capacity, "task \"%s\" has no \"type\" (named by \"%s\" of task \"%s\")", next,
                             key, name);
                *errorKey = "Task_Error_MissingSubTask";
                return 0;
            }
        }
    }
    return 1;
}

int64_t Workflow_CreateTaskWithMacros(Workflow* workflow, const char* name, Dictionary* arguments,
                                      Dictionary* macros, Task* parent, Task** out) {
    ASSERT_POINTER(out);
    *out = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(name);
    char expanded[WORKFLOW_TASK_NAME_SIZE];
    String_CopyLength(expanded, name, WORKFLOW_TASK_NAME_SIZE);
    Workflow_ExpandString(workflow, expanded, WORKFLOW_TASK_NAME_SIZE);

    Task* task = nullptr;
    if (!Task_Create(&task)) return 0;
    Task_SetWorkflowHandle(task, workflow);
    Task_SetPrintCallback(task, workflow, Workflow_Print);
    if (!Task_LoadFromDictionary(task, workflow->Definitions, expanded)) {
        Task_Release(&task);
        Workflow_Print(workflow, "Cannot find task %s", expanded);
        return 0;
    }
    if (arguments) Dictionary_Merge(Task_GetDictionaryHandle(task), arguments, DICTIONARY_MERGE_OVERWRITE);
    const char* type = nullptr;
    uint32_t kind = 0;
    if (!Dictionary_GetTypeByKey(Task_GetDictionaryHandle(task), "type", &kind) || kind != DICTIONARY_TYPE_STRING ||
        !Dictionary_GetStringPtrByKey(Task_GetDictionaryHandle(task), "type", &type) || !type) {
        Task_Release(&task);
        Workflow_Print(workflow, "Task has no type property (%s)", expanded);
        char place[1024];
        WorkflowPlace(workflow, place, sizeof(place));
        Log_Error("%s: task \"%s\" has no \"type\"\n", place, expanded);
        return 0;
    }
    const TaskInterface* record = nullptr;
    if (!(workflow->TaskTypes && TaskTypeList_Find(workflow->TaskTypes, type, &record) && record)) {
        record = nullptr;
        TaskTypeList* application = nullptr;
        if (workflow->UseDefaultTaskTypes && WorkflowApp_GetTaskTypeListHandle(&application) && application)
            TaskTypeList_Find(application, type, &record);
    }
    if (!record) {
        Workflow_Print(workflow, "Cannot find task handler for task type (%s)", type);
        char place[1024];
        WorkflowPlace(workflow, place, sizeof(place));
        Log_Error("%s: task \"%s\": unknown task type \"%s\"\n", place, expanded, type);
        Task_Release(&task);
        return 0;
    }
    if (macros) {
        Dictionary* root = nullptr;
        Dictionary_SkipRoot(macros, &root);
        if (root) Dictionary_Merge(Task_GetMacroDictionaryHandle(task), root, DICTIONARY_MERGE_OVERWRITE);
    }
    // A type that cannot make its instance would leave a task that nobody ever completes.
    if (!Task_SetInterface(task, record)) {
        Workflow_Print(workflow, "Cannot create task handler for task type (%s)", record->Name);
        Task_Release(&task);
        return 0;
    }
    Workflow_Print(workflow, "Created - %s - %s", expanded, task->Header.InstanceId);
    if (workflow->DumpTasks) Task_Dump(task);
    Append(workflow, task, Workflow_FindNode(workflow, parent));
    *out = task;
    return 1;
}

int64_t Workflow_CreateTask(Workflow* workflow, const char* name, Dictionary* arguments, Task* parent, Task** task) {
    return Workflow_CreateTaskWithMacros(workflow, name, arguments, nullptr, parent, task);
}

int64_t Workflow_CreateTaskWithMacrosInterop(Workflow* workflow, const char* name, Dictionary* arguments,
                                             const char* macros, Task* parent, Task** task) {
    ASSERT_POINTER(task);
    *task = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    if (!macros) return Workflow_CreateTaskWithMacros(workflow, name, arguments, nullptr, parent, task);
    Dictionary* dict = nullptr;
    JSON* json = nullptr;
    if (!Dictionary_Create(&dict)) return 0;
    int64_t result = 0;
    if (JSON_Create(&json)) {
        JSON_SetDictionaryHandle(json, dict);
        result = JSON_LoadBuffer(json, macros, (uint32_t)strlen(macros));
        JSON_SetDictionaryHandle(json, nullptr);
        JSON_Release(&json);
    }
    // Macros that do not parse are refused: the task would otherwise run with its names unexpanded.
    if (result == 1) result = Workflow_CreateTaskWithMacros(workflow, name, arguments, dict, parent, task);
    else result = 0;
    Dictionary_Release(&dict);
    return result;
}
