// Workflow: the object and its dictionaries, loading documents, macros and string expansion,
// status and errors, identity flags and printing.
#include "workflow/workflow.h"

#include <cstring>

#include "core/certs/cert_store.h"
#include "core/formats/json.h"
#include "core/formats/yaml.h"
#include "core/platform/path.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "workflow/task_type.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_internal.h"

namespace {

constexpr int32_t kMessageSize = 1024;
constexpr int32_t kDirectorySize = 320;

int64_t DeleteHandle(void** handle) {
    return Workflow_Delete(reinterpret_cast<Workflow**>(handle));
}

void PreparePrint(Workflow* workflow) {
    ClassPrint_Prepare(&workflow->Print, workflow, "Workflow", Workflow_PrintInternal);
}

int64_t OnCancel(void* user, const char*, const char*, const char*, Dictionary*) {
    Workflow_CancelTasks(static_cast<Workflow*>(user));
    return 1;
}

int64_t OnRetry(void* user, const char*, const char*, const char*, Dictionary*) {
    Workflow* workflow = static_cast<Workflow*>(user);
    Workflow_CancelTasks(workflow);
    if (workflow->OwningTask)
        NotificationCenter_FireAfterDelay("Task", "Retry", reinterpret_cast<const char*>(workflow->OwningTask), 0,
                                          nullptr);
    return 1;
}

void Observe(Workflow* workflow, bool on) {
    const char* id = workflow->Header.InstanceId;
    auto change = on ? NotificationCenter_AddInstanceObserver : NotificationCenter_RemoveInstanceObserver;
    change("NotificationCenter", "Interop", id, workflow, Workflow_Notification_OnInteropReference);
    change("Workflow", "Status", id, workflow, Workflow_Notification_OnStatus);
    change("Workflow", "Cancel", id, workflow, OnCancel);
    change("Workflow", "Retry", id, workflow, OnRetry);
}

bool EndsWithNoCase(const char* text, const char* suffix) {
    const size_t n = strlen(text);
    const size_t m = strlen(suffix);
    return n >= m && String_CompareWithoutCaseReturn(text + n - m, suffix) == 0;
}

// A workflow document maps names to definitions: its top level holds only keyed items. A list
// or a lone value at the top names no task and is refused rather than merged as unnamed items.
bool IsDocument(Dictionary* root) {
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(root, &item); item; Dictionary_ItemGetNext(root, item, &item)) {
        const char* key = nullptr;
        if (!Dictionary_ItemGetKeyPtr(root, item, &key) || !key) return false;
    }
    return true;
}

// Merges the root of a freshly read document into the definitions.
int64_t MergeDocument(Workflow* workflow, Dictionary* document) {
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(document, &root);
    if (!root || !IsDocument(root)) {
        Workflow_Print(workflow, "Workflow document is not a dictionary");
        return 0;
    }
    return Workflow_LoadDictionary(workflow, root, 1);
}

int64_t ReadJson(Dictionary* document, const char* path, const char* buffer, int32_t length) {
    JSON* json = nullptr;
    if (!JSON_Create(&json)) return 0;
    JSON_SetDictionaryHandle(json, document);
    const int64_t result = path ? JSON_LoadFile(json, path) : JSON_LoadBuffer(json, buffer, (uint32_t)length);
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    return result;
}

int64_t ReadYaml(Dictionary* document, const char* path) {
    YAML* yaml = nullptr;
    if (!YAML_Create(&yaml)) return 0;
    YAML_SetDictionaryHandle(yaml, document);
    const int64_t result = YAML_LoadFile(yaml, path);
    YAML_SetDictionaryHandle(yaml, nullptr);
    YAML_Release(&yaml);
    return result;
}

int64_t FireStatus(Workflow* workflow, Dictionary* dict) {
    return NotificationCenter_Fire("Workflow", "Status", workflow->Header.InstanceId, dict);
}

} // namespace

// ---- Life cycle --------------------------------------------------------------------------------

int64_t Workflow_Create(Workflow** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    Workflow* workflow = static_cast<Workflow*>(Memory_AllocZero(sizeof(Workflow)));
    workflow->Header.ClassId = WORKFLOW_CLASS_ID;
    workflow->Header.RefCount = 1;
    workflow->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(workflow);
    Class_TrackInstance(workflow, workflow->Header.InstanceId, nullptr);
    workflow->Vtbl = &GlobalWorkflowVtbl;
    workflow->UseDefaultTaskTypes = 1;
    CertStoreTable_Create(&workflow->CertStores);
    Dictionary_Create(&workflow->Definitions);
    Dictionary_Create(&workflow->Status);
    Dictionary_Create(&workflow->Macros);
    Dictionary_SetCaseSensitive(workflow->Macros, 0);
    Dictionary_Create(&workflow->Analytics);
    Dictionary_Create(&workflow->Queue);
    // Queued names are keys as written: a name starting with "#" or "." is no private item, and
    // stripped it would never match the waiting event's name, which would wait for ever.
    Dictionary_SetPrivateKeys(workflow->Queue, 0);
    TaskTypeList_Create(&workflow->TaskTypes);
    if (workflow->TaskTypes)
        TaskTypeList_SetRemoveCallback(workflow->TaskTypes, workflow, Workflow_TaskListRemoveCallback);
    Observe(workflow, true);
    CallbackBase_Set(&workflow->ExpandStringCallback, 0, nullptr, WorkflowApp_ExpandKey);
    int32_t level = 0;
    Log_GetVerboseLevel("Workflow", &level);
    workflow->DumpTasks = level > 0;
    PreparePrint(workflow);
    *handle = workflow;
    NotificationCenter_Fire("Workflow", "Create", workflow->Header.InstanceId, nullptr);
    return 1;
}

int64_t Workflow_Delete(Workflow** handle) {
    ASSERT_POINTER(handle);
    Workflow* workflow = *handle;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    Observe(workflow, false);
    // Tasks that others still hold outlive the workflow: they must not reach back into it.
    for (WorkflowTaskNode* node = workflow->Head; node; node = node->Next) {
        Task_SetWorkflowHandle(node->Task_, nullptr);
        Task_SetPrintCallback(node->Task_, nullptr, nullptr);
    }
    Workflow_Reset(workflow);
    // Someone else may still hold the list: its later removals must not call back into us.
    if (workflow->TaskTypes) {
        TaskTypeList_SetRemoveCallback(workflow->TaskTypes, nullptr, nullptr);
        TaskTypeList_Release(&workflow->TaskTypes);
    }
    if (workflow->CertStores) CertStoreTable_Release(&workflow->CertStores);
    Dictionary_Release(&workflow->Queue);
    Dictionary_Release(&workflow->Analytics);
    Dictionary_Release(&workflow->Macros);
    Dictionary_Release(&workflow->Status);
    Dictionary_Release(&workflow->Definitions);
    Class_UntrackInstance(workflow);
    workflow->Header.ClassId = 0;
    Memory_Free(workflow, sizeof(Workflow));
    *handle = nullptr;
    return 1;
}

int64_t Workflow_AddRef(Workflow* workflow) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    Class_AddRef(workflow);
    return 1;
}

int64_t Workflow_Release(Workflow** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, WORKFLOW_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t Workflow_ValidHandle(void* handle) {
    return handle && static_cast<Class*>(handle)->ClassId == WORKFLOW_CLASS_ID;
}

int64_t Workflow_GetInstanceId(Workflow* workflow, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    String_CopyLengthSafe(buffer, capacity, workflow->Header.InstanceId, 36);
    return 1;
}

int64_t Workflow_Reset(Workflow* workflow) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    Dictionary_Reset(workflow->Definitions);
    Dictionary_Reset(workflow->Macros);
    Dictionary_Reset(workflow->Queue);
    // The workflow's own types go away below; a task that someone still holds lets go of its
    // type first, while the type's record is still there.
    while (workflow->Head) Workflow_RemoveNode(workflow, workflow->Head, true);
    if (workflow->TaskTypes) TaskTypeList_Reset(workflow->TaskTypes);
    return 1;
}

// ---- Loading -----------------------------------------------------------------------------------

int64_t Workflow_LoadFile(Workflow* workflow, const char* path) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(path);
    const char* extension = nullptr;
    Path_ParseExtensionPtr(path, 0, &extension);
    const bool json = extension && EndsWithNoCase(extension, "json");
    Dictionary* document = nullptr;
    if (!Dictionary_Create(&document)) return 0;
    int64_t result = json ? ReadJson(document, path, nullptr, 0) : ReadYaml(document, path);
    if (result == 1) result = MergeDocument(workflow, document);
    Dictionary_Release(&document);
    if (result != 1) return result;
    char directory[kDirectorySize];
    Path_ParseDirectory(path, directory, kDirectorySize);
    Workflow_AddMacro(workflow, "workflowPath", path);
    Workflow_AddMacro(workflow, "workflowDirectory", directory);
    return 1;
}

int64_t Workflow_LoadBuffer(Workflow* workflow, const char* buffer, int32_t length) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(buffer);
    if (length < 0) return 0;
    Dictionary* document = nullptr;
    if (!Dictionary_Create(&document)) return 0;
    int64_t result = ReadJson(document, nullptr, buffer, length);
    if (result == 1) result = MergeDocument(workflow, document);
    Dictionary_Release(&document);
    return result;
}

int64_t Workflow_LoadDictionary(Workflow* workflow, Dictionary* dict, uint32_t merge) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(dict);
    // A document whose two keys are one task name would lose or hide a definition: it is refused
    // whole, before anything of it is merged.
    char problem[1024];
    if (!Workflow_CheckTaskNames(dict, merge ? workflow->Definitions : nullptr, problem, (int32_t)sizeof(problem))) {
        Workflow_Print(workflow, "Workflow document refused: %s", problem);
        return 0;
    }
    if (!merge) Dictionary_Reset(workflow->Definitions);
    Dictionary_Merge(workflow->Definitions, dict, DICTIONARY_MERGE_OVERWRITE);
    return 1;
}

// ---- Macros and expansion ----------------------------------------------------------------------

int64_t Workflow_AddMacro(Workflow* workflow, const char* name, const char* value) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    Dictionary_SetStringByKey(workflow->Macros, name, value);
    if (WorkflowApp_GetVerbose() == 1) Workflow_Print(workflow, "Added macro %s=%s", name, value);
    return 1;
}

int64_t Workflow_AddMacroJSON(Workflow* workflow, const char* text) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(text);
    Dictionary* document = nullptr;
    if (!Dictionary_Create(&document)) return 0;
    const int64_t result = ReadJson(document, nullptr, text, (int32_t)strlen(text));
    if (result == 1) {
        Dictionary* root = nullptr;
        Dictionary_SkipRoot(document, &root);
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(root, &item); item; Dictionary_ItemGetNext(root, item, &item)) {
            const char* key = nullptr;
            const char* value = nullptr;
            if (Dictionary_ItemCompareType(root, item, DICTIONARY_TYPE_STRING) &&
                Dictionary_ItemGetKeyPtr(root, item, &key) && key && Dictionary_ItemGetStringPtr(root, item, &value) &&
                value)
                Workflow_AddMacro(workflow, key, value);
        }
    }
    Dictionary_Release(&document);
    return result;
}

int64_t Workflow_ExpandString(Workflow* workflow, char* buffer, int32_t capacity) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(buffer);
    return String_Expand(buffer, capacity, workflow, Workflow_ExpandKey);
}

int64_t Workflow_ExpandStringInterop(Workflow* workflow, const char* source, char* destination, int32_t capacity) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(source);
    ASSERT_POINTER(destination);
    if (capacity < 1) return 0;
    if (source != destination) String_CopyLength(destination, source, capacity);
    return Workflow_ExpandString(workflow, destination, capacity);
}

int64_t Workflow_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity) {
    Workflow* workflow = static_cast<Workflow*>(user);
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    if (capacity < 1) return 0;
    // The expander cuts a token at its first ':'; a macro's name is the whole token again.
    char key[STRING_EXPAND_TOKEN_SIZE + 1];
    if (argument)
        String_Print(key, sizeof(key), "%s:%s", name, argument);
    else
        String_CopyLength(key, name, (int32_t)sizeof(key));
    DictionaryItem* item = nullptr;
    const char* text = nullptr;
    int32_t length = 0;
    if (Dictionary_ItemFindByKey(workflow->Macros, key, nullptr, &item) && item &&
        Dictionary_ItemGetBufferPtr(workflow->Macros, item, &text, &length) && text) {
        String_CopyLengthSafe(value, capacity, text, length);
        return 1;
    }
    void* callbackUser = nullptr;
    ExpandKeyCallback callback = nullptr;
    if (CallbackBase_Get(&workflow->ExpandStringCallback, &callbackUser, &callback) && callback)
        return callback(callbackUser, name, argument, value, capacity);
    return 0;
}

int64_t Workflow_SetExpandStringCallback(Workflow* workflow, void* user, ExpandKeyCallback function) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    CallbackBase_Set(&workflow->ExpandStringCallback, 0, user, function);
    return 1;
}

int64_t Workflow_GetExpandStringCallback(Workflow* workflow, void** user, ExpandKeyCallback* function) {
    ASSERT_POINTER(user);
    ASSERT_POINTER(function);
    *user = nullptr;
    *function = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    return CallbackBase_Get(&workflow->ExpandStringCallback, user, function);
}

int64_t Workflow_GetMacroDictionaryHandle(Workflow* workflow, Dictionary** macros) {
    ASSERT_POINTER(macros);
    *macros = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    *macros = workflow->Macros;
    return *macros != nullptr;
}

// ---- Status and errors -------------------------------------------------------------------------

int64_t Workflow_Notification_OnStatus(void* user, const char*, const char*, const char*, Dictionary* info) {
    Workflow* workflow = static_cast<Workflow*>(user);
    if (info && info != workflow->Status) Dictionary_Merge(workflow->Status, info, DICTIONARY_MERGE_OVERWRITE);
    return 1;
}

int64_t Workflow_Notification_OnInteropReference(void* user, const char*, const char*, const char*,
                                                 Dictionary* info) {
    Workflow* workflow = static_cast<Workflow*>(user);
    uint32_t addRef = 0;
    if (info) Dictionary_GetBooleanByKey(info, "addRef", &addRef);
    if (addRef)
        Workflow_AddRef(workflow);
    else
        Workflow_Release(&workflow);
    return 1;
}

int64_t Workflow_SetStatusWithDictionary(Workflow* workflow, Dictionary* dict) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(dict);
    FireStatus(workflow, dict);
    return 1;
}

int64_t Workflow_SetStatusString(Workflow* workflow, const char* key, const char* text) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(key);
    ASSERT_POINTER(text);
    Dictionary* dict = nullptr;
    if (!Dictionary_Create(&dict)) return 0;
    Dictionary_SetStringByKey(dict, key, text);
    FireStatus(workflow, dict);
    Dictionary_Release(&dict);
    return 1;
}

int64_t Workflow_SetStatus(Workflow* workflow, const char* text) {
    return Workflow_SetStatusString(workflow, "status", text);
}

int64_t Workflow_SetStatusNumber(Workflow* workflow, const char* key, double number) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(key);
    Dictionary* dict = nullptr;
    if (!Dictionary_Create(&dict)) return 0;
    Dictionary_SetFloat64ByKey(dict, key, number);
    FireStatus(workflow, dict);
    Dictionary_Release(&dict);
    return 1;
}

int64_t Workflow_AddError(Workflow* workflow, const char* format, ...) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(format);
    char text[kMessageSize];
    va_list args;
    va_start(args, format);
    String_VPrint(text, kMessageSize, format, args);
    va_end(args);
    Workflow_ExpandString(workflow, text, kMessageSize);
    Workflow_Print(workflow, "Error - %s", text);
    Dictionary* dict = nullptr;
    if (!Dictionary_Create(&dict)) return 0;
    Dictionary* list = nullptr;
    Dictionary_AddList(dict, "errors", &list, nullptr);
    Dictionary* current = nullptr;
    if (list && Dictionary_GetListByKey(workflow->Status, "errors", &current) && current)
        Dictionary_Merge(list, current, 0);
    if (list && !Dictionary_ContainsString(list, text)) Dictionary_AddString(list, nullptr, text, nullptr);
    FireStatus(workflow, dict);
    Dictionary_SetStringByKey(dict, "message", text);
    NotificationCenter_Fire("Workflow", "Error", workflow->Header.InstanceId, dict);
    Dictionary_Release(&dict);
    return 1;
}

int64_t Workflow_ClearErrors(Workflow* workflow) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    Dictionary_RemoveByKey(workflow->Status, "errors");
    FireStatus(workflow, workflow->Status);
    NotificationCenter_Fire("Workflow", "Error", workflow->Header.InstanceId, nullptr);
    return 1;
}

int64_t Workflow_GetErrorCount(Workflow* workflow, uint32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    Dictionary* list = nullptr;
    if (Dictionary_GetListByKey(workflow->Status, "errors", &list) && list) Dictionary_ItemGetCount(list, count);
    return 1;
}

int64_t Workflow_GetStatusDictionaryHandle(Workflow* workflow, Dictionary** status) {
    ASSERT_POINTER(status);
    *status = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    *status = workflow->Status;
    return *status != nullptr;
}

int64_t Workflow_GetDictionaryHandle(Workflow* workflow, Dictionary** definitions) {
    ASSERT_POINTER(definitions);
    *definitions = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    *definitions = workflow->Definitions;
    return *definitions != nullptr;
}

int64_t Workflow_GetAnalyticsDictionaryHandle(Workflow* workflow, Dictionary** analytics) {
    ASSERT_POINTER(analytics);
    *analytics = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    *analytics = workflow->Analytics;
    return *analytics != nullptr;
}

int64_t Workflow_GetCertStoreTableHandle(Workflow* workflow, CertStoreTable** table) {
    ASSERT_POINTER(table);
    *table = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    *table = workflow->CertStores;
    return *table != nullptr;
}

// ---- Identity and flags ------------------------------------------------------------------------

int64_t Workflow_SetRemoteInstanceId(Workflow* workflow, const char* id) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(id);
    Workflow_Print(workflow, "Remote instance - %s", id);
    String_CopyLength(workflow->RemoteInstanceId, id, WORKFLOW_REMOTE_ID_SIZE);
    return 1;
}

int64_t Workflow_GetRemoteInstanceId(Workflow* workflow, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    return String_CopyLength(buffer, workflow->RemoteInstanceId, capacity) < capacity;
}

int64_t Workflow_SetGlobal(Workflow* workflow, uint32_t flag) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    workflow->Global = flag;
    return 1;
}

int64_t Workflow_IsGlobal(Workflow* workflow) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    return workflow->Global;
}

int64_t Workflow_SetTaskHandle(Workflow* workflow, Task* task) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    workflow->OwningTask = task;
    return 1;
}

// ---- Printing ----------------------------------------------------------------------------------

int64_t Workflow_PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

int64_t Workflow_VPrint(Workflow* workflow, int32_t indent, const char* format, va_list args) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    ASSERT_POINTER(format);
    PreparePrint(workflow);
    return ClassPrint_VPrint(&workflow->Print, indent, format, args);
}

int64_t Workflow_Print(void* user, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Workflow_VPrint(static_cast<Workflow*>(user), 0, format, args);
    va_end(args);
    return result;
}

int64_t Workflow_PrintTabbed(Workflow* workflow, int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Workflow_VPrint(workflow, indent, format, args);
    va_end(args);
    return result;
}

int64_t Workflow_IsVerboseLevel(Workflow* workflow, int32_t level) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    PreparePrint(workflow);
    if (level >= 0 && workflow->OwnVerbose != 0 && workflow->OwnVerbose >= (uint32_t)level) return 1;
    return ClassPrint_IsVerboseLevel(&workflow->Print, level);
}

int64_t Workflow_VerboseLog(Workflow* workflow, int32_t level, const char* format, ...) {
    if (!Workflow_IsVerboseLevel(workflow, level)) return 0;
    va_list args;
    va_start(args, format);
    const int64_t result = Workflow_VPrint(workflow, 0, format, args);
    va_end(args);
    return result;
}

int64_t Workflow_SetPrintCallback(Workflow* workflow, void* user, ClassPrintCallback function) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    workflow->Print.PrintUser = user;
    workflow->Print.PrintCallback = function;
    PreparePrint(workflow);
    return 1;
}

int64_t Workflow_GetPrintCallback(Workflow* workflow, void** user, ClassPrintCallback* function) {
    ASSERT_POINTER(user);
    ASSERT_POINTER(function);
    *user = nullptr;
    *function = nullptr;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    PreparePrint(workflow);
    *user = workflow->Print.PrintUser;
    *function = workflow->Print.PrintCallback;
    return 1;
}

int64_t Workflow_SetPrintIdentifier(Workflow* workflow, const char* identifier) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    workflow->Print.Identifier = identifier;
    return 1;
}

int64_t Workflow_SetVerbose(Workflow* workflow, uint32_t level) {
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    workflow->OwnVerbose = level;
    return 1;
}

int64_t Workflow_GetVerbose(Workflow* workflow, uint32_t* level) {
    ASSERT_POINTER(level);
    *level = 0;
    CLASS_CHECK(workflow, WORKFLOW_CLASS_ID);
    *level = workflow->OwnVerbose;
    return 1;
}
