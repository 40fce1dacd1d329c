// Macro: adds one macro ("key" and "value"), several ("keyValuePairs") or a fetched document's
// items as macros of the task's workflow, or of the engine with "global", and publishes them.
#include "workflow/macro.h"
#include "workflow/task_type.h"

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "workflow/task_request.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"

struct Macro {
    Class Header;
    Task* Task_; // not referenced: the task owns the object through its type
    uint32_t Global;
    uint32_t Requested;
    uint32_t Deleting;
};

namespace {

constexpr int32_t kUrlSize = 8192;
constexpr int32_t kValueSize = 1024;

int64_t DeleteHandle(void** handle) {
    return Macro_Delete(reinterpret_cast<Macro**>(handle));
}

Dictionary* DictionaryArgument(Task* task, const char* key) {
    Dictionary* arguments = Task_GetDictionaryHandle(task);
    uint32_t type = 0;
    Dictionary* child = nullptr;
    if (!Dictionary_GetTypeByKey(arguments, key, &type) || type != DICTIONARY_TYPE_DICTIONARY ||
        !Dictionary_GetDictionaryByKey(arguments, key, &child))
        return nullptr;
    return child;
}

int64_t OnTaskStart(void* user, const char*, const char*, const char*, Dictionary*) {
    Macro* macro = static_cast<Macro*>(user);
    CLASS_CHECK(macro, MACRO_CLASS_ID);
    Task* task = macro->Task_;
    uint32_t global = 0;
    macro->Global = Task_GetBooleanArgument(task, "global", &global) && global;
    char* url = static_cast<char*>(Memory_Alloc(kUrlSize));
    const bool hasUrl = Task_GetStringArgument(task, "url", url, kUrlSize) == 1;
    const int64_t started = hasUrl && Task_RequestJSON(task, url, macro, Macro_OnRequestComplete);
    Memory_Free(url, kUrlSize);
    if (hasUrl) {
        if (started) {
            macro->Requested = 1;
            return 1;
        }
        Task_AddError(task, "Task_Error_InvalidArg");
        Task_Complete(task, nullptr);
        return 1;
    }
    Dictionary* arguments = Task_GetDictionaryHandle(task);
    Dictionary* pairs = DictionaryArgument(task, "keyValuePairs");
    uint32_t type = 0;
    const char* key = nullptr;
    const char* value = nullptr;
    int32_t length = 0;
    if (Dictionary_GetTypeByKey(arguments, "key", &type) && type == DICTIONARY_TYPE_STRING &&
        Dictionary_GetStringPtrByKey(arguments, "key", &key) && key &&
        Dictionary_GetBufferPtrByKey(arguments, "value", &value, &length) && value) {
        char text[kValueSize];
        String_CopyLength(text, value, kValueSize);
        Task_ExpandString(task, text, kValueSize);
        Macro_AddRaw(macro, key, text);
        Task_SetStatusString(task, key, text);
        if (pairs) Macro_AddDictionary(macro, pairs);
    } else if (pairs) {
        Macro_AddDictionary(macro, pairs);
    } else {
        Task_Print(task, "key/keyValuePairs argument not defined");
        Task_AddError(task, "Task_Error_MissingArg");
    }
    Task_Complete(task, nullptr);
    return 1;
}

} // namespace

int64_t Macro_Create(Macro** handle, Task* task) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    Macro* macro = static_cast<Macro*>(Memory_AllocZero(sizeof(Macro)));
    macro->Header.ClassId = MACRO_CLASS_ID;
    macro->Header.RefCount = 1;
    macro->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(macro);
    Class_TrackInstance(macro, macro->Header.InstanceId, nullptr);
    macro->Task_ = task;
    NotificationCenter_AddInstanceObserver("Task", "Start", reinterpret_cast<const char*>(task), macro,
                                           OnTaskStart);
    *handle = macro;
    return 1;
}

int64_t Macro_AddRef(Macro* macro) {
    CLASS_CHECK(macro, MACRO_CLASS_ID);
    Class_AddRef(macro);
    return 1;
}

int64_t Macro_Release(Macro** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, MACRO_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t Macro_Delete(Macro** handle) {
    ASSERT_POINTER(handle);
    Macro* macro = *handle;
    CLASS_CHECK(macro, MACRO_CLASS_ID);
    Class_UntrackInstance(macro);
    NotificationCenter_RemoveInstanceObserver("Task", "Start", reinterpret_cast<const char*>(macro->Task_),
                                              macro, OnTaskStart);
    // A fetch still pending would answer into a freed object.
    macro->Deleting = 1;
    if (macro->Requested) Task_RequestDelete(macro->Task_);
    macro->Header.ClassId = 0;
    Memory_Free(macro, sizeof(Macro));
    *handle = nullptr;
    return 1;
}

int64_t Macro_OnRequestComplete(Task* task, void* user, Dictionary* document, int32_t code, int32_t) {
    Macro* macro = static_cast<Macro*>(user);
    CLASS_CHECK(macro, MACRO_CLASS_ID);
    macro->Requested = 0;
    if (macro->Deleting) return 1;
    if (code == 0 && document) {
        Dictionary* root = nullptr;
        Dictionary_SkipRoot(document, &root);
        if (root) Macro_AddDictionary(macro, root);
    }
    Task_Complete(task, nullptr);
    return 1;
}

int64_t Macro_AddDictionary(Macro* macro, Dictionary* dict) {
    CLASS_CHECK(macro, MACRO_CLASS_ID);
    ASSERT_POINTER(dict);
    Dictionary* copy = nullptr;
    if (!Dictionary_Create(&copy)) return 0;
    Dictionary_Merge(copy, dict, DICTIONARY_MERGE_OVERWRITE);
    Task_ExpandDictionary(macro->Task_, copy);
    uint32_t count = 0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(copy, &item); item; Dictionary_ItemGetNext(copy, item, &item)) {
        count++;
        const char* key = nullptr;
        const char* value = nullptr;
        int32_t length = 0;
        if (Dictionary_ItemGetKeyPtr(copy, item, &key) && key &&
            Dictionary_ItemGetBufferPtr(copy, item, &value, &length) && value)
            Macro_AddRaw(macro, key, value);
    }
    if (count > 0) Task_SetStatusWithDictionary(macro->Task_, copy);
    Dictionary_Release(&copy);
    return 1;
}

int64_t Macro_AddRaw(Macro* macro, const char* name, const char* value) {
    CLASS_CHECK(macro, MACRO_CLASS_ID);
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    if (!macro->Global) {
        Workflow* workflow = Task_GetWorkflowHandle(macro->Task_);
        return workflow && Workflow_AddMacro(workflow, name, value);
    }
    Task_Print(macro->Task_, "Adding macro %s=%s (global)", name, value);
    // Only a process that runs the engine context keeps global macros.
    if (!WorkflowApp_IsInitialized()) return 0;
    return WorkflowApp_AddMacro(name, value);
}

// ---- Type record -------------------------------------------------------------------------------

const TaskInterface Macro_Interface =
    TaskType_Record<Macro, Macro_Create, Macro_AddRef, Macro_Release>("Macro");
