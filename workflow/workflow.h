// Workflow: one loaded workflow document with its macros, status and error list, the live tasks
// and their parent links, its own task types and named stores; and the WorkflowEvent that runs or
// queues one of its tasks by name.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"
#include "core/runtime/string_expand.h"
#include "workflow/task.h"

struct CertStoreTable;
struct Dictionary;
struct TaskTypeList;
struct Workflow;
struct WorkflowEvent;

enum : uint32_t {
    WORKFLOW_CLASS_ID = 0x4b2c3068,
    WORKFLOWEVENT_CLASS_ID = 0x28615826,
    // The instance id of the workflow's counterpart in the other process.
    WORKFLOW_REMOTE_ID_SIZE = 40,
    // Task names are expanded in this many bytes before they are looked up.
    WORKFLOW_TASK_NAME_SIZE = 512,
    // A waiting queued event looks again after this many milliseconds.
    WORKFLOWEVENT_WAIT_MS = 1000,
};

// A run or queue request's end: (workflow, user, completion information).
typedef int64_t (*WorkflowEventCompleteCallback)(Workflow* workflow, void* user, Dictionary* info);

// ---- Life cycle --------------------------------------------------------------------------------
int64_t Workflow_Create(Workflow** workflow);
int64_t Workflow_AddRef(Workflow* workflow);
int64_t Workflow_Release(Workflow** workflow);
int64_t Workflow_Delete(Workflow** workflow);
int64_t Workflow_ValidHandle(void* handle);
int64_t Workflow_GetInstanceId(Workflow* workflow, char* buffer, int32_t capacity);
int64_t Workflow_Reset(Workflow* workflow);

// ---- Loading -----------------------------------------------------------------------------------
int64_t Workflow_LoadFile(Workflow* workflow, const char* path);
int64_t Workflow_LoadBuffer(Workflow* workflow, const char* buffer, int32_t length);
// 0, with nothing merged, when the document's task names clash (Workflow_CheckTaskNames).
int64_t Workflow_LoadDictionary(Workflow* workflow, Dictionary* dict, uint32_t merge);

// ---- Macros and expansion ----------------------------------------------------------------------
int64_t Workflow_AddMacro(Workflow* workflow, const char* name, const char* value);
int64_t Workflow_AddMacroJSON(Workflow* workflow, const char* text);
int64_t Workflow_ExpandString(Workflow* workflow, char* buffer, int32_t capacity);
int64_t Workflow_ExpandStringInterop(Workflow* workflow, const char* source, char* destination, int32_t capacity);
// An ExpandKeyCallback with the workflow as user.
int64_t Workflow_ExpandKey(void* workflow, const char* name, char* argument, char* value, int32_t capacity);
int64_t Workflow_SetExpandStringCallback(Workflow* workflow, void* user, ExpandKeyCallback function);
int64_t Workflow_GetExpandStringCallback(Workflow* workflow, void** user, ExpandKeyCallback* function);
int64_t Workflow_GetMacroDictionaryHandle(Workflow* workflow, Dictionary** macros);

// ---- Tasks of the list -------------------------------------------------------------------------
int64_t Workflow_FindTaskByInstanceId(Workflow* workflow, const char* id, Task** task);
int64_t Workflow_FindTaskByName(Workflow* workflow, const char* name, Task** task);
int64_t Workflow_IsTaskRunning(Workflow* workflow, const char* name);
int64_t Workflow_GetParentTaskHandle(Workflow* workflow, Task* task, Task** parent);
int64_t Workflow_GetParentTaskHandleByName(Workflow* workflow, Task* task, const char* name, Task** ancestor);
int64_t Workflow_GetRootTaskHandle(Workflow* workflow, Task* task, Task** root);
int64_t Workflow_GetChildTaskCount(Workflow* workflow, Task* task, uint32_t* count);
int64_t Workflow_HasTask(Workflow* workflow, const char* name);
int64_t Workflow_HasRemoteTask(Workflow* workflow, const char* name);
int64_t Workflow_HasRemoteWorkflow(Workflow* workflow, const char* workflowId);
int64_t Workflow_CanCreateTask(Workflow* workflow, const char* name);

// ---- Task types --------------------------------------------------------------------------------
int64_t Workflow_FindTaskHandler(Workflow* workflow, const char* name, const TaskInterface** record);
int64_t Workflow_RegisterTaskHandler(Workflow* workflow, const TaskInterface* record);
int64_t Workflow_UnregisterTaskHandler(Workflow* workflow, const TaskInterface* record);
int64_t Workflow_RegisterDefaultTasks(Workflow* workflow);
int64_t Workflow_UnregisterDefaultTasks(Workflow* workflow);
int64_t Workflow_RegisterCustomTasks(Workflow* workflow);
int64_t Workflow_UnregisterCustomTasks(Workflow* workflow);
int64_t Workflow_GetTaskTypeListHandle(Workflow* workflow, TaskTypeList** list);
int64_t Workflow_SetUseDefaultTaskTypes(Workflow* workflow, uint32_t flag);
int64_t Workflow_GetUseDefaultTaskTypes(Workflow* workflow, uint32_t* flag);
// The remove callback of the workflow's own type list (user: the workflow).
int64_t Workflow_TaskListRemoveCallback(void* workflow, const TaskInterface* record);

// ---- Status and errors -------------------------------------------------------------------------
int64_t Workflow_SetStatus(Workflow* workflow, const char* text);
int64_t Workflow_SetStatusString(Workflow* workflow, const char* key, const char* text);
int64_t Workflow_SetStatusNumber(Workflow* workflow, const char* key, double number);
int64_t Workflow_SetStatusWithDictionary(Workflow* workflow, Dictionary* dict);
int64_t Workflow_AddError(Workflow* workflow, const char* format, ...);
int64_t Workflow_ClearErrors(Workflow* workflow);
int64_t Workflow_GetErrorCount(Workflow* workflow, uint32_t* count);
int64_t Workflow_GetStatusDictionaryHandle(Workflow* workflow, Dictionary** status);
int64_t Workflow_GetDictionaryHandle(Workflow* workflow, Dictionary** definitions);
int64_t Workflow_GetAnalyticsDictionaryHandle(Workflow* workflow, Dictionary** analytics);
int64_t Workflow_GetCertStoreTableHandle(Workflow* workflow, CertStoreTable** table);

// ---- Identity and flags ------------------------------------------------------------------------
int64_t Workflow_SetRemoteInstanceId(Workflow* workflow, const char* id);
int64_t Workflow_GetRemoteInstanceId(Workflow* workflow, char* buffer, int32_t capacity);
int64_t Workflow_SetGlobal(Workflow* workflow, uint32_t flag);
int64_t Workflow_IsGlobal(Workflow* workflow);
int64_t Workflow_SetTaskHandle(Workflow* workflow, Task* task);

// ---- Printing ----------------------------------------------------------------------------------
// A ClassPrintCallback with the workflow as user, so tasks can print through their workflow.
int64_t Workflow_Print(void* workflow, const char* format, ...);
int64_t Workflow_PrintTabbed(Workflow* workflow, int32_t indent, const char* format, ...);
int64_t Workflow_VPrint(Workflow* workflow, int32_t indent, const char* format, va_list args);
int64_t Workflow_VerboseLog(Workflow* workflow, int32_t level, const char* format, ...);
int64_t Workflow_IsVerboseLevel(Workflow* workflow, int32_t level);
int64_t Workflow_SetPrintCallback(Workflow* workflow, void* user, ClassPrintCallback function);
int64_t Workflow_GetPrintCallback(Workflow* workflow, void** user, ClassPrintCallback* function);
int64_t Workflow_SetPrintIdentifier(Workflow* workflow, const char* identifier);
int64_t Workflow_SetVerbose(Workflow* workflow, uint32_t level);
int64_t Workflow_GetVerbose(Workflow* workflow, uint32_t* level);
// The default printer: one DEBUG log line.
int64_t Workflow_PrintInternal(void* workflow, const char* format, ...);

// ---- Notifications the workflow observes for itself --------------------------------------------
int64_t Workflow_Notification_OnInteropReference(void* user, const char* type, const char* name,
                                                 const char* instance, Dictionary* info);
int64_t Workflow_Notification_OnStatus(void* user, const char* type, const char* name, const char* instance,
                                       Dictionary* info);

// ---- Task creation -----------------------------------------------------------------------------
// The new task carries one reference, the one the task list holds.
int64_t Workflow_CreateTaskWithMacros(Workflow* workflow, const char* name, Dictionary* arguments,
                                      Dictionary* macros, Task* parent, Task** task);
int64_t Workflow_CreateTask(Workflow* workflow, const char* name, Dictionary* arguments, Task* parent,
                            Task** task);
// Checks a document before any of it runs: every definition's type (its own or its template's)
// names a known task type, and every task that an outcome ("success", "failure", "complete", or an
// outcome dictionary's "action") names is defined and has a type. Names and types that hold a macro
// are decided only when they run, and so are the types of a document that loads an interop
// library. 1 when sound; else 0 with the first problem as "task \"NAME\"...: what" and its error key.
int64_t Workflow_CheckDocument(Workflow* workflow, Dictionary* document, char* problem, int32_t capacity,
                               const char** errorKey);
// Checks that every name `document` gives a task reaches that task's own definition, beside the
// definitions `loaded` (may be null) that it would be merged into: no name is given twice by the
// document, and no private name written with its mark ("#x") is the stored name of another task
// (one read from "##x"). 1 when sound; else 0 with the two names in `problem`.
int64_t Workflow_CheckTaskNames(Dictionary* document, Dictionary* loaded, char* problem, int32_t capacity);
int64_t Workflow_CreateTaskWithMacrosInterop(Workflow* workflow, const char* name, Dictionary* arguments,
                                             const char* macros, Task* parent, Task** task);

// ---- Running and queueing ----------------------------------------------------------------------
int64_t Workflow_RunTaskWithMacros(Workflow* workflow, const char* name, Dictionary* macros, Task* parent,
                                   void* user, WorkflowEventCompleteCallback function);
int64_t Workflow_QueueTaskWithMacros(Workflow* workflow, const char* name, Dictionary* macros, Task* parent,
                                     void* user, WorkflowEventCompleteCallback function);
int64_t Workflow_RunTask(Workflow* workflow, const char* name, Task* parent, void* user,
                         WorkflowEventCompleteCallback function);
int64_t Workflow_QueueTask(Workflow* workflow, const char* name, Task* parent, void* user,
                           WorkflowEventCompleteCallback function);
int64_t Workflow_RunTaskWithMacrosInterop(Workflow* workflow, const char* name, const char* macros, Task* parent,
                                          void* user, WorkflowEventCompleteCallback function);
int64_t Workflow_QueueTaskWithMacrosInterop(Workflow* workflow, const char* name, const char* macros,
                                            Task* parent, void* user, WorkflowEventCompleteCallback function);
int64_t Workflow_IsTaskQueued(Workflow* workflow, const char* name);
int64_t Workflow_IsActivated(Workflow* workflow);
int64_t Workflow_CancelTasks(Workflow* workflow);
int64_t Workflow_ClearTasks(Workflow* workflow);
int64_t Workflow_ClearTasksByHandle(Workflow* workflow, Task* task);
int64_t Workflow_Complete(Workflow* workflow, Dictionary* info);

// ---- WorkflowEvent -----------------------------------------------------------------------------
int64_t WorkflowEvent_Create(WorkflowEvent** event);
int64_t WorkflowEvent_AddRef(WorkflowEvent* event);
int64_t WorkflowEvent_Release(WorkflowEvent** event);
int64_t WorkflowEvent_Delete(WorkflowEvent** event);
int64_t WorkflowEvent_GetInstanceId(WorkflowEvent* event, char* buffer, int32_t capacity);
int64_t WorkflowEvent_SetWorkflowHandle(WorkflowEvent* event, Workflow* workflow);
int64_t WorkflowEvent_SetMacroDictionary(WorkflowEvent* event, Dictionary* macros);
int64_t WorkflowEvent_SetMacroDictionaryHandle(WorkflowEvent* event, Dictionary* macros);
int64_t WorkflowEvent_SetParentTaskHandle(WorkflowEvent* event, Task* parent);
int64_t WorkflowEvent_SetCompleteCallback(WorkflowEvent* event, void* user, WorkflowEventCompleteCallback function);
int64_t WorkflowEvent_Start(WorkflowEvent* event, const char* name);
int64_t WorkflowEvent_Ready(WorkflowEvent* event);
// Reports the end: the complete callback, then "WorkflowEvent"/"Complete" with the information.
int64_t WorkflowEvent_Complete(WorkflowEvent* event, Dictionary* info);
// Observers of the event's own notifications and of its task (user: the event).
int64_t WorkflowEvent_Notification_OnWait(void* user, const char* type, const char* name, const char* instance,
                                          Dictionary* info);
int64_t WorkflowEvent_Notification_OnReady(void* user, const char* type, const char* name, const char* instance,
                                           Dictionary* info);
int64_t WorkflowEvent_Notification_OnStart(void* user, const char* type, const char* name, const char* instance,
                                           Dictionary* info);
int64_t WorkflowEvent_Notification_OnComplete(void* user, const char* type, const char* name,
                                              const char* instance, Dictionary* info);
int64_t Workflow_Notification_OnTaskStart(void* user, const char* type, const char* name, const char* instance,
                                          Dictionary* info);
int64_t Workflow_Notification_OnTaskComplete(void* user, const char* type, const char* name,
                                             const char* instance, Dictionary* info);

// ---- Operation table ---------------------------------------------------------------------------
// Handed to task types, interop libraries and the manager; slot order is fixed.
struct WorkflowVtbl {
    int64_t (*FindTaskByInstanceId)(Workflow*, const char*, Task**);
    int64_t (*FindTaskByName)(Workflow*, const char*, Task**);
    int64_t (*GetParentTaskHandle)(Workflow*, Task*, Task**);
    int64_t (*FindTaskHandler)(Workflow*, const char*, const TaskInterface**);
    int64_t (*RegisterTaskHandler)(Workflow*, const TaskInterface*);
    int64_t (*UnregisterTaskHandler)(Workflow*, const TaskInterface*);
    int64_t (*CanCreateTask)(Workflow*, const char*);
    int64_t (*CreateTask)(Workflow*, const char*, Dictionary*, Task*, Task**);
    int64_t (*RunTask)(Workflow*, const char*, Task*, void*, WorkflowEventCompleteCallback);
    int64_t (*QueueTask)(Workflow*, const char*, Task*, void*, WorkflowEventCompleteCallback);
    int64_t (*CancelTasks)(Workflow*);
    int64_t (*ClearTasks)(Workflow*);
    int64_t (*IsTaskRunning)(Workflow*, const char*);
    int64_t (*IsTaskQueued)(Workflow*, const char*);
    int64_t (*IsActivated)(Workflow*);
    int64_t (*Complete)(Workflow*, Dictionary*);
    int64_t (*Reset)(Workflow*);
    int64_t (*AddMacro)(Workflow*, const char*, const char*);
    int64_t (*ExpandString)(Workflow*, char*, int32_t);
    int64_t (*LoadFile)(Workflow*, const char*);
    int64_t (*LoadBuffer)(Workflow*, const char*, int32_t);
    int64_t (*LoadDictionary)(Workflow*, Dictionary*, uint32_t);
    int64_t (*RegisterDefaultTasks)(Workflow*);
    int64_t (*UnregisterDefaultTasks)(Workflow*);
    int64_t (*Print)(void*, const char*, ...);
    int64_t (*SetExpandStringCallback)(Workflow*, void*, ExpandKeyCallback);
    int64_t (*GetExpandStringCallback)(Workflow*, void**, ExpandKeyCallback*);
    int64_t (*GetMacroDictionaryHandle)(Workflow*, Dictionary**);
    int64_t (*GetDictionaryHandle)(Workflow*, Dictionary**);
    int64_t (*IsGlobal)(Workflow*);
    int64_t (*CreateTaskWithMacros)(Workflow*, const char*, Dictionary*, Dictionary*, Task*, Task**);
    int64_t (*RunTaskWithMacros)(Workflow*, const char*, Dictionary*, Task*, void*, WorkflowEventCompleteCallback);
    int64_t (*QueueTaskWithMacros)(Workflow*, const char*, Dictionary*, Task*, void*, WorkflowEventCompleteCallback);
};
extern const WorkflowVtbl GlobalWorkflowVtbl;
