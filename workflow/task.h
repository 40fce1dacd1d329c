// Task: one running node of a workflow, bound to the task type that does its work; its status,
// error and warning lists, its typed arguments and key provider, and its start and completion.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"
#include "core/runtime/string_expand.h"

struct CertStoreList;
struct Dictionary;
struct DictionaryItem;
struct Task;
struct TaskEvent;
struct Workflow;

enum : uint32_t {
    TASK_CLASS_ID = 0xbfff2674,
    TASKEVENT_CLASS_ID = 0x071c8536,
    // Name of a task (119 characters and a terminator).
    TASK_NAME_SIZE = 120,
    TASK_STORE_NAME_SIZE = 64,
    // Error and warning texts are formatted and expanded in this many bytes.
    TASK_MESSAGE_SIZE = 1024,
    // A task's last line, kept for the failure it explains: as long as a message, so that one
    // naming several task names of the longest kind is never cut.
    TASK_DETAIL_SIZE = TASK_MESSAGE_SIZE,
};

// Kinds that Task_EvaluatePathToObject reports.
enum : uint32_t {
    TASK_PATH_NONE = 0,
    TASK_PATH_WORKFLOW = 1,
    TASK_PATH_TASK = 2,
    TASK_PATH_DICTIONARY = 3,
};

// The type bound to a task. Create makes the type's instance for the task; Release takes it back.
struct TaskInterface {
    const char* Name;
    int64_t (*Create)(void** instance, Task* task);
    int64_t (*AddRef)(void* instance);
    int64_t (*Release)(void** instance);
};

// A sub-action's end: (task, user, result dictionary or null); answers 1.
typedef int64_t (*TaskSubActionCallback)(Task* task, void* user, Dictionary* result);
// A task type's extra key provider: (task, user, path, value, capacity); 1 when it wrote the value.
typedef int64_t (*TaskExpandStringCallback)(Task* task, void* user, const char* path, char* value,
                                            int32_t capacity);
// Whether documents read by the task must be signed: (task, user) -> 1 required, 0 not.
typedef int64_t (*TaskAuthenticateCallback)(Task* task, void* user);
// One key-value pair: (user, expanded key, dictionary holding the value, value item); 0 stops.
typedef int64_t (*TaskKeyValuePairCallback)(void* user, const char* key, Dictionary* dict,
                                         DictionaryItem* item);
// The raw body of a task's web request: (task, user, body, length, error code, extended code).
typedef int64_t (*TaskRequestRawCallback)(Task* task, void* user, const uint8_t* body, uint32_t length,
                                          int32_t code, int32_t extendedCode);
// Code to name, for Task_AddErrorFromTranslate.
typedef const char* (*TaskTranslateFunc)(uint32_t code);


// ---- Object ------------------------------------------------------------------------------------
int64_t Task_Create(Task** task);
int64_t Task_AddRef(Task* task);
int64_t Task_Release(Task** task);
int64_t Task_Delete(Task** task);
int64_t Task_ValidHandle(void* handle);
int64_t Task_GetInstanceId(Task* task, char* buffer, int32_t capacity);
int64_t Task_SetInterface(Task* task, const TaskInterface* record);
int64_t Task_GetInterface(Task* task, const TaskInterface** record);
int64_t Task_GetInterfaceHandle(Task* task, void** instance);

// ---- Accessors ---------------------------------------------------------------------------------
int64_t Task_GetName(Task* task, char* buffer, int32_t capacity);
int64_t Task_GetNamePtr(Task* task, const char** name);
int64_t Task_SetName(Task* task, const char* name);
const char* Task_GetType(Task* task);
int64_t Task_SetPrivate(Task* task, uint32_t value);
int64_t Task_GetPrivate(Task* task, uint32_t* value);
int64_t Task_SetWorkflowHandle(Task* task, Workflow* workflow);
Workflow* Task_GetWorkflowHandle(Task* task);
Dictionary* Task_GetDictionaryHandle(Task* task);
Dictionary* Task_GetStatusDictionaryHandle(Task* task);
Dictionary* Task_GetMacroDictionaryHandle(Task* task);
int64_t Task_SetDefaultCertStore(Task* task, const char* name);
int64_t Task_GetDefaultCertStore(Task* task, char* buffer, int32_t capacity);
int64_t Task_SetExpandStringCallback(Task* task, void* user, TaskExpandStringCallback function);
int64_t Task_GetExpandStringCallback(Task* task, void** user, TaskExpandStringCallback* function);
int64_t Task_SetAuthenticateCallback(Task* task, void* user, TaskAuthenticateCallback function);
int64_t Task_IsCompleted(Task* task);
int64_t Task_GetTimeElapsed(Task* task, double* seconds);

// ---- Printing ----------------------------------------------------------------------------------
int64_t Task_Print(Task* task, const char* format, ...);
int64_t Task_VPrint(Task* task, int32_t indent, const char* format, va_list args);
// A print callback (ClassPrintCallback) whose user is a Task: objects a task owns log through it.
int64_t Task_PrintCallback(void* task, const char* format, ...);
int64_t Task_PrintTabbed(Task* task, int32_t indent, const char* format, ...);
int64_t Task_VerboseLog(Task* task, int32_t level, const char* format, ...);
int64_t Task_SetPrintCallback(Task* task, void* user, ClassPrintCallback function);
int64_t Task_GetPrintCallback(Task* task, void** user, ClassPrintCallback* function);
int64_t Task_SetPrintIdentifier(Task* task, const char* identifier);
int64_t Task_SetVerbose(Task* task, uint32_t level);
int64_t Task_GetVerbose(Task* task, uint32_t* level);
int64_t Task_Dump(Task* task);
int64_t Task_PrintInterop(Task* task, const char* text);

// ---- Status ------------------------------------------------------------------------------------
int64_t Task_SetStatusWithDictionary(Task* task, Dictionary* dict);
int64_t Task_SetStatusString(Task* task, const char* key, const char* text);
int64_t Task_SetStatus(Task* task, const char* text);
int64_t Task_SetStatusNumber(Task* task, const char* key, double number);
int64_t Task_SetProgress(Task* task, double number);

// ---- Errors and warnings -----------------------------------------------------------------------
int64_t Task_AddError(Task* task, const char* format, ...);
int64_t Task_AddErrorFromMap(Task* task, int32_t code, const char* defaultIdentifier);
int64_t Task_AddErrorFromCode(Task* task, int32_t code, int32_t extendedCode);
int64_t Task_AddErrorFromTranslate(Task* task, const char* prefix, uint32_t code, TaskTranslateFunc translate);
int64_t Task_AddErrorFromDictionary(Task* task, Dictionary* dict);
int64_t Task_HasError(Task* task, const char* identifier);
int64_t Task_IsCancelled(Task* task);
int64_t Task_GetErrorCount(Task* task, uint32_t* count);
int64_t Task_GetError(Task* task, int32_t index, char* buffer, int32_t capacity);
int64_t Task_ClearErrors(Task* task);
int64_t Task_AddWarning(Task* task, const char* format, ...);
int64_t Task_AddWarningFromDictionary(Task* task, Dictionary* dict);
int64_t Task_HasWarning(Task* task, const char* text);
int64_t Task_GetWarningCount(Task* task, uint32_t* count);
int64_t Task_GetWarning(Task* task, int32_t index, char* buffer, int32_t capacity);
int64_t Task_ClearWarnings(Task* task);
int64_t Task_CopyErrors(Task* task, Dictionary* source, Dictionary* target);
int64_t Task_CopyWarnings(Task* task, Dictionary* source, Dictionary* target);

// ---- Arguments ---------------------------------------------------------------------------------
int64_t Task_LoadFromDictionary(Task* task, Dictionary* document, const char* name);
int64_t Task_HasArgument(Task* task, const char* key);
int64_t Task_GetArgumentPtr(Task* task, const char* key, const char** text);
int64_t Task_GetArgumentType(Task* task, const char* key, uint32_t* type);
int64_t Task_GetStringArgument(Task* task, const char* key, char* buffer, int32_t capacity);
int64_t Task_GetMultiStringArgument(Task* task, const char* key, char* buffer, int32_t capacity);
int64_t Task_GetBooleanArgument(Task* task, const char* key, uint32_t* value);
int64_t Task_GetNumberArgument(Task* task, const char* key, double* value);
int64_t Task_GetDictionaryArgument(Task* task, const char* key, Dictionary* target);
int64_t Task_HasKeyValuePairs(Task* task);
int64_t Task_EnumerateKeyValuePairs(Task* task, void* user, TaskKeyValuePairCallback callback);
int64_t Task_GetCertStoreListHandle(Task* task, CertStoreList** list);
int64_t Task_DecodeJSON(Task* task, const char* buffer, int32_t length, Dictionary* target);
int64_t Task_DefaultAuthenticateCallback(Task* task, void* user);
int64_t Task_ExpandString(Task* task, char* buffer, int32_t capacity);
int64_t Task_ExpandDictionary(Task* task, Dictionary* dict);
int64_t Task_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity);
int64_t Task_EvaluatePathToObject(Task* task, const char* path, uint32_t* kind, void** object);

// ---- Lifecycle ---------------------------------------------------------------------------------
int64_t Task_Start(Task* task);
int64_t Task_Complete(Task* task, Dictionary* result);
int64_t Task_CompleteInterop(Task* task, const char* json);
int64_t Task_Cancel(Task* task);
int64_t Task_SetDelayedCancel(Task* task, uint32_t flag);
int64_t Task_GetDelayedCancel(Task* task, uint32_t* flag);
int64_t Task_GetDelayedCancelFired(Task* task, uint32_t* flag);
int64_t Task_RunSubAction(Task* task, const char* key, void* user, TaskSubActionCallback callback);
int64_t Task_RunSubActionNext(Task* task, const char* key, Dictionary* carried, void* user,
                              TaskSubActionCallback callback);
int64_t Task_RunSubTask(Task* task, const char* name, Dictionary* arguments, void* user,
                        TaskSubActionCallback callback);
int64_t Task_RunSubActionInterop(Task* task, const char* key, const char* callbackId);
int64_t Task_SubAction_Null(Task* task, void* user, Dictionary* result);
int64_t Task_SubAction_Complete(Task* task, void* user, Dictionary* result);

int64_t TaskEvent_Create(TaskEvent** event);
int64_t TaskEvent_AddRef(TaskEvent* event);
int64_t TaskEvent_Release(TaskEvent** event);
int64_t TaskEvent_GetInstanceId(TaskEvent* event, char* buffer, int32_t capacity);
int64_t TaskEvent_SetTaskHandle(TaskEvent* event, Task* task);
int64_t TaskEvent_SetCompleteCallback(TaskEvent* event, void* user, TaskSubActionCallback function);
int64_t TaskEvent_Start(TaskEvent* event, const char* name);
int64_t TaskEvent_Complete(TaskEvent* event, Dictionary* dict);
int64_t TaskEvent_SetCompleteDictionary(TaskEvent* event, Dictionary* dict);

// ---- Operation table ---------------------------------------------------------------------------
// Handed to task types; slot order is fixed.
struct TaskVtbl {
    TaskSubActionCallback SubActionNull;
    TaskSubActionCallback SubActionComplete;
    int64_t (*IsCompleted)(Task*);
    int64_t (*IsCancelled)(Task*);
    const char* (*GetType)(Task*);
    int64_t (*GetTimeElapsed)(Task*, double*);
    int64_t (*GetName)(Task*, char*, int32_t);
    int64_t (*GetNamePtr)(Task*, const char**);
    int64_t (*HasArgument)(Task*, const char*);
    int64_t (*GetArgumentPtr)(Task*, const char*, const char**);
    int64_t (*GetArgumentType)(Task*, const char*, uint32_t*);
    int64_t (*GetStringArgument)(Task*, const char*, char*, int32_t);
    int64_t (*GetMultiStringArgument)(Task*, const char*, char*, int32_t);
    int64_t (*GetBooleanArgument)(Task*, const char*, uint32_t*);
    int64_t (*GetNumberArgument)(Task*, const char*, double*);
    int64_t (*SetStatus)(Task*, const char*);
    int64_t (*SetStatusString)(Task*, const char*, const char*);
    int64_t (*SetStatusNumber)(Task*, const char*, double);
    int64_t (*SetStatusWithDictionary)(Task*, Dictionary*);
    int64_t (*SetProgress)(Task*, double);
    int64_t (*RunSubAction)(Task*, const char*, void*, TaskSubActionCallback);
    int64_t (*RunSubTask)(Task*, const char*, Dictionary*, void*, TaskSubActionCallback);
    int64_t (*Start)(Task*);
    int64_t (*Complete)(Task*, Dictionary*);
    int64_t (*Cancel)(Task*);
    int64_t (*Dump)(Task*);
    int64_t (*Print)(Task*, const char*, ...);
    int64_t (*VPrint)(Task*, int32_t, const char*, va_list);
    int64_t (*VerboseLog)(Task*, int32_t, const char*, ...);
    int64_t (*ExpandString)(Task*, char*, int32_t);
    int64_t (*LoadFromDictionary)(Task*, Dictionary*, const char*);
    int64_t (*HasError)(Task*, const char*);
    int64_t (*HasWarning)(Task*, const char*);
    int64_t (*GetErrorCount)(Task*, uint32_t*);
    int64_t (*GetWarningCount)(Task*, uint32_t*);
    int64_t (*AddError)(Task*, const char*, ...);
    int64_t (*AddErrorFromMap)(Task*, int32_t, const char*);
    int64_t (*GetError)(Task*, int32_t, char*, int32_t);
    int64_t (*AddWarning)(Task*, const char*, ...);
    int64_t (*GetWarning)(Task*, int32_t, char*, int32_t);
    int64_t (*ClearErrors)(Task*);
    int64_t (*ClearWarnings)(Task*);
    int64_t (*SetDelayedCancel)(Task*, uint32_t);
    int64_t (*GetDelayedCancel)(Task*, uint32_t*);
    Workflow* (*GetWorkflowHandle)(Task*);
    Dictionary* (*GetDictionaryHandle)(Task*);
    Dictionary* (*GetStatusDictionaryHandle)(Task*);
    int64_t (*SetExpandStringCallback)(Task*, void*, TaskExpandStringCallback);
    int64_t (*GetExpandStringCallback)(Task*, void**, TaskExpandStringCallback*);
    int64_t (*RequestURL)(Task*, const char*, void*, TaskRequestRawCallback);
};
extern const TaskVtbl GlobalTaskVtbl;

// Fetches a URL for the task and hands the raw body to the callback (see workflow/task_request.h);
// replaces the task's current request.
int64_t Task_RequestURL(Task* task, const char* url, void* user, TaskRequestRawCallback callback);
