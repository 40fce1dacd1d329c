// Aggregate: loads a document from "url" or "content", makes one queue action per entry (the
// entry merged into a copy of the target task's definition) and runs them through its queue.
#include "workflow/aggregate.h"
#include "workflow/task_type.h"

#include <cstring>

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "workflow/queue.h"
#include "workflow/task_request.h"
#include "workflow/workflow.h"

struct Aggregate {
    Class Header;
    Task* Task_; // not referenced: the task owns the object through its type
    Queue* Queue_;
    uint32_t Requested; // a fetch of ours may still be pending on the task
    uint32_t Deleting;
};

namespace {

constexpr int32_t kUrlSize = 8192;
constexpr int32_t kSourceSize = 120;
constexpr int32_t kTargetSize = 320;

int64_t DeleteHandle(void** handle) {
    return Aggregate_Delete(reinterpret_cast<Aggregate**>(handle));
}

bool VerboseOne(Task* task) {
    uint32_t level = 0;
    Task_GetVerbose(task, &level);
    return level == 1;
}

bool Target(Task* task, char* target) {
    return Task_GetStringArgument(task, "target", target, kTargetSize) == 1;
}

bool KeyedContainer(Dictionary* dict, DictionaryItem* item, const char** key) {
    *key = nullptr;
    return Dictionary_ItemIsContainer(dict, item) && Dictionary_ItemGetKeyPtr(dict, item, key) && *key &&
           (*key)[0];
}

int64_t OnTaskStart(void* user, const char*, const char*, const char*, Dictionary*) {
    Aggregate* aggregate = static_cast<Aggregate*>(user);
    CLASS_CHECK(aggregate, AGGREGATE_CLASS_ID);
    Task* task = aggregate->Task_;
    char* url = static_cast<char*>(Memory_Alloc(kUrlSize));
    const bool hasUrl = Task_GetStringArgument(task, "url", url, kUrlSize) == 1;
    if (hasUrl) {
        const int64_t started = Task_RequestJSON(task, url, aggregate, Aggregate_OnRequestComplete);
        Memory_Free(url, kUrlSize);
        if (started) {
            aggregate->Requested = 1;
            return 1;
        }
        // A url the request cannot take would otherwise leave the task waiting for ever.
        Task_AddError(task, "Task_Error_InvalidArg");
        Task_Complete(task, nullptr);
        return 1;
    }
    Memory_Free(url, kUrlSize);
    Dictionary* content = nullptr;
    if (Dictionary_Create(&content) && Task_GetDictionaryArgument(task, "content", content)) {
        Aggregate_LoadDictionary(aggregate, content);
        Dictionary_Release(&content);
        return 1;
    }
    if (content) Dictionary_Release(&content);
    // Nothing to load: without an answer here the task would never end.
    Task_Print(task, "\"url\" or \"content\" argument not defined");
    Task_AddError(task, "Task_Error_MissingArg");
    Task_Complete(task, nullptr);
    return 1;
}

} // namespace

int64_t Aggregate_Create(Aggregate** handle, Task* task) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    Aggregate* aggregate = static_cast<Aggregate*>(Memory_AllocZero(sizeof(Aggregate)));
    aggregate->Header.ClassId = AGGREGATE_CLASS_ID;
    aggregate->Header.RefCount = 1;
    aggregate->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(aggregate);
    Class_TrackInstance(aggregate, aggregate->Header.InstanceId, nullptr);
    aggregate->Task_ = task;
    Queue_CreateManual(&aggregate->Queue_, task);
    NotificationCenter_AddInstanceObserver("Task", "Start", reinterpret_cast<const char*>(task), aggregate,
                                           OnTaskStart);
    *handle = aggregate;
    return 1;
}

int64_t Aggregate_AddRef(Aggregate* aggregate) {
    CLASS_CHECK(aggregate, AGGREGATE_CLASS_ID);
    Class_AddRef(aggregate);
    return 1;
}

int64_t Aggregate_Release(Aggregate** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, AGGREGATE_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t Aggregate_Delete(Aggregate** handle) {
    ASSERT_POINTER(handle);
    Aggregate* aggregate = *handle;
    CLASS_CHECK(aggregate, AGGREGATE_CLASS_ID);
    Class_UntrackInstance(aggregate);
    NotificationCenter_RemoveInstanceObserver(
        "Task", "Start", reinterpret_cast<const char*>(aggregate->Task_), aggregate, OnTaskStart);
    // A fetch still pending would answer into a freed object.
    aggregate->Deleting = 1;
    if (aggregate->Requested) Task_RequestDelete(aggregate->Task_);
    Queue_Release(&aggregate->Queue_);
    aggregate->Header.ClassId = 0;
    Memory_Free(aggregate, sizeof(Aggregate));
    *handle = nullptr;
    return 1;
}

int64_t Aggregate_OnRequestComplete(Task* task, void* user, Dictionary* document, int32_t code, int32_t) {
    Aggregate* aggregate = static_cast<Aggregate*>(user);
    CLASS_CHECK(aggregate, AGGREGATE_CLASS_ID);
    aggregate->Requested = 0;
    if (aggregate->Deleting) return 1;
    if (code == 0 && document) {
        Dictionary* root = nullptr;
        Dictionary_SkipRoot(document, &root);
        char source[kSourceSize];
        if (Task_GetStringArgument(task, "source", source, kSourceSize)) {
            Dictionary* holder = nullptr;
            DictionaryItem* item = nullptr;
            Dictionary* found = nullptr;
            if (root && Dictionary_ItemFindByPath(root, source, &holder, &item) && holder && item &&
                Dictionary_ItemIsContainer(holder, item) &&
                Dictionary_ItemGetDictionaryHandle(holder, item, &found) && found) {
                Dictionary_SkipRoot(found, &root);
            } else {
                Task_Print(task, "Failed to find source path - %s", source);
                Task_AddError(task, "Aggregate_Error_Merge");
                root = nullptr;
            }
        }
        if (root) Aggregate_LoadDictionary(aggregate, root);
    }
    uint32_t errors = 0;
    Task_GetErrorCount(task, &errors);
    // A failed fetch whose error the definition ignores still ends the task.
    if (errors > 0 || code != 0 || !document) Task_Complete(task, nullptr);
    return 1;
}

int64_t Aggregate_LoadDictionary(Aggregate* aggregate, Dictionary* source) {
    CLASS_CHECK(aggregate, AGGREGATE_CLASS_ID);
    ASSERT_POINTER(source);
    Task* task = aggregate->Task_;
    Queue_ActionRemoveAll(aggregate->Queue_);
    if (VerboseOne(task)) Dictionary_Dump(source);
    DictionaryItem* item = nullptr;
    bool stoppedAtFirst = false;
    bool first = true;
    for (Dictionary_ItemGetFirst(source, &item); item;
         Dictionary_ItemGetNext(source, item, &item), first = false) {
        const char* key = nullptr;
        if (!KeyedContainer(source, item, &key)) {
            stoppedAtFirst = first;
            break;
        }
        Dictionary* child = nullptr;
        Dictionary_ItemGetDictionaryHandle(source, item, &child);
        if (!child) continue;
        if (Dictionary_ItemCompareType(source, item, DICTIONARY_TYPE_LIST))
            Aggregate_AddActionsFromList(aggregate, key, child);
        else
            Aggregate_AddAction(aggregate, key, child);
    }
    char target[kTargetSize];
    if (stoppedAtFirst && Target(task, target)) {
        if (char* dot = strchr(target, '.')) *dot = 0;
        for (Dictionary_ItemGetFirst(source, &item); item; Dictionary_ItemGetNext(source, item, &item)) {
            Dictionary* child = nullptr;
            const bool list = Dictionary_ItemCompareType(source, item, DICTIONARY_TYPE_LIST) != 0;
            const bool dict = Dictionary_ItemCompareType(source, item, DICTIONARY_TYPE_DICTIONARY) != 0;
            if ((list || dict) && Dictionary_ItemGetDictionaryHandle(source, item, &child) && child) {
                if (list)
                    Aggregate_AddActionsFromList(aggregate, target, child);
                else
                    Aggregate_AddAction(aggregate, target, child);
                continue;
            }
            Aggregate_AddAction(aggregate, target, source);
            break;
        }
    }
    return Queue_Start(aggregate->Queue_);
}

int64_t Aggregate_AddActionsFromList(Aggregate* aggregate, const char* name, Dictionary* list) {
    CLASS_CHECK(aggregate, AGGREGATE_CLASS_ID);
    ASSERT_POINTER(name);
    ASSERT_POINTER(list);
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
        Dictionary* child = nullptr;
        if (Dictionary_ItemCompareType(list, item, DICTIONARY_TYPE_DICTIONARY) &&
            Dictionary_ItemGetDictionaryHandle(list, item, &child) && child)
            Aggregate_AddAction(aggregate, name, child);
    }
    return 1;
}

int64_t Aggregate_AddAction(Aggregate* aggregate, const char* name, Dictionary* data) {
    CLASS_CHECK(aggregate, AGGREGATE_CLASS_ID);
    ASSERT_POINTER(name);
    ASSERT_POINTER(data);
    Task* task = aggregate->Task_;
    char target[kTargetSize];
    char taskName[kTargetSize];
    const char* key = nullptr;
    String_CopyLength(taskName, name, kTargetSize);
    if (Target(task, target)) {
        if (char* dot = strchr(target, '.')) {
            *dot = 0;
            String_CopyLength(taskName, target, kTargetSize);
            key = dot + 1;
        }
    }
    Dictionary* arguments = nullptr;
    if (!Dictionary_Create(&arguments)) return 0;
    Workflow* workflow = Task_GetWorkflowHandle(task);
    Dictionary* definitions = nullptr;
    Dictionary* definition = nullptr;
    if (workflow && Workflow_GetDictionaryHandle(workflow, &definitions) && definitions &&
        Dictionary_GetDictionaryByKey(definitions, taskName, &definition) && definition)
        Dictionary_Merge(arguments, definition, DICTIONARY_MERGE_OVERWRITE);
    else
        Task_Print(task, "Cannot find task in workflow - %s", taskName);
    Dictionary* nested = nullptr;
    if (key && key[0] && Dictionary_EnsureDictionary(arguments, key, nullptr, &nested) && nested)
        Dictionary_Merge(nested, data, DICTIONARY_MERGE_OVERWRITE);
    else
        Dictionary_Merge(arguments, data, DICTIONARY_MERGE_OVERWRITE);
    if (VerboseOne(task)) Dictionary_Dump(arguments);
    Queue_ActionAdd(aggregate->Queue_, taskName, arguments);
    Dictionary_Release(&arguments);
    return 1;
}

// ---- Type record -------------------------------------------------------------------------------

const TaskInterface Aggregate_Interface =
    TaskType_Record<Aggregate, Aggregate_Create, Aggregate_AddRef, Aggregate_Release>("Aggregate");
