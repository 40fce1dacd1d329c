// The Analytics task: "key" and "value" are appended as written (a second task with the same key
// leaves two items), "keyValuePairs" is expanded and merged over items of the same name.
#include "tasks/analytics_task.h"

#include "core/runtime/dictionary.h"
#include "core/web/analytics.h"
#include "tasks/task_base.h"
#include "workflow/task_type.h"
#include "workflow/workflow.h"

namespace {

// Appends a new item named `key` with the type and raw contents of the source item, even when
// the target holds that key already.
void AppendCopy(Dictionary* target, const char* key, Dictionary* source, DictionaryItem* item) {
    uint32_t type = 0;
    Dictionary_ItemGetType(source, item, &type);
    if (type == DICTIONARY_TYPE_LIST || type == DICTIONARY_TYPE_DICTIONARY) {
        Dictionary* from = nullptr;
        Dictionary* to = nullptr;
        Dictionary_ItemGetDictionaryHandle(source, item, &from);
        if (type == DICTIONARY_TYPE_LIST)
            Dictionary_AddList(target, key, &to, nullptr);
        else
            Dictionary_AddDictionary(target, key, &to, nullptr);
        if (from && to) Dictionary_Merge(to, from, 0);
        return;
    }
    DictionaryItem* added = nullptr;
    if (!Dictionary_Add(target, key, &added) || !added) return;
    Dictionary_ItemSetType(target, added, type);
    if (type == DICTIONARY_TYPE_BOOLEAN) {
        uint32_t flag = 0;
        Dictionary_ItemGetBoolean(source, item, &flag);
        Dictionary_ItemSetBoolean(target, added, flag);
        return;
    }
    const char* bytes = nullptr;
    int32_t length = 0;
    if (Dictionary_ItemGetBufferPtr(source, item, &bytes, &length) && bytes)
        Dictionary_ItemSetBuffer(target, added, bytes, length);
}

int64_t Analytics_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, ANALYTICSTASK_CLASS_ID);
    Task* task = base->Owner;
    Dictionary* arguments = Task_GetDictionaryHandle(task);
    uint32_t global = 0;
    if (!Task_GetBooleanArgument(task, "global", &global)) global = 0;
    Dictionary* target = nullptr;
    if (global)
        Analytics_GetGlobalDictionaryHandle(&target);
    else
        Workflow_GetAnalyticsDictionaryHandle(Task_GetWorkflowHandle(task), &target);

    bool applied = false;
    uint32_t type = 0;
    DictionaryItem* value = nullptr;
    const char* key = nullptr;
    if (Dictionary_GetTypeByKey(arguments, "key", &type) && type == DICTIONARY_TYPE_STRING &&
        Dictionary_GetStringPtrByKey(arguments, "key", &key) && key &&
        Dictionary_ItemFindByKey(arguments, "value", nullptr, &value) && value) {
        applied = true;
        if (target) AppendCopy(target, key, arguments, value);
    }
    if (Dictionary_GetTypeByKey(arguments, "keyValuePairs", &type) && type == DICTIONARY_TYPE_DICTIONARY) {
        applied = true;
        Dictionary* copy = nullptr;
        if (target && Dictionary_Create(&copy)) {
            Task_GetDictionaryArgument(task, "keyValuePairs", copy);
            Task_ExpandDictionary(task, copy);
            Dictionary_Merge(target, copy, DICTIONARY_MERGE_OVERWRITE);
            Dictionary_Release(&copy);
        }
    }
    if (!applied) {
        Task_Print(task, "key/keyValuePairs argument not defined");
        Task_AddError(task, "Task_Error_MissingArg");
    }
    return TaskBase_Complete(base, nullptr);
}

const TaskBaseType kAnalyticsType = {
    .ClassId = ANALYTICSTASK_CLASS_ID, .Size = sizeof(TaskBase), .OnStart = Analytics_OnStart};

int64_t Analytics_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kAnalyticsType);
}

} // namespace

const TaskInterface Analytics_Interface = {"Analytics", Analytics_Create, TaskBase_AddRef, TaskBase_Release};
