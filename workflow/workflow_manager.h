// WorkflowManager: the process-wide scheduler of the workflows the host and the skin add. It asks
// for them to be fetched, keeps the loaded ones, runs their entry tasks through one priority queue
// under two limits, and derives availability, dependencies, progress and a status report.
#pragma once
#include <cstdint>

#include "core/formats/interop.h"

struct Dictionary;
struct Workflow;
struct WorkflowManager;

enum : uint32_t {
    WORKFLOWMANAGER_CLASS_ID = 0xa36e5270,
    // Instance ids, callback ids and workflow ids are kept in this many bytes.
    WORKFLOWMANAGER_ID_SIZE = 40,
    // An entry-task name after candidate selection.
    WORKFLOWMANAGER_NAME_SIZE = 120,
};

// Called before a workflow is fetched: (url, user).
typedef int64_t (*WorkflowManagerWillLoadFunc)(const char* url, void* user);
// A dependency walk's visitor: (task name, other workflow's id, other workflow); 1 when it acted.
typedef int64_t (*WorkflowManagerDependencyVisitor)(const char* name, const char* otherId, Workflow* other);

// The process's manager; null before Init and after Remove.
extern WorkflowManager* GlobalWorkflowManager;

// ---- Start and end -----------------------------------------------------------------------------
int64_t WorkflowManager_Init();
int64_t WorkflowManager_Remove();
int64_t WorkflowManager_GetInstanceId(char* buffer, int32_t capacity);
// One main-loop pass; answers 1.
int64_t WorkflowManager_Process();

// ---- Adding workflows --------------------------------------------------------------------------
int64_t WorkflowManager_Add(const char* url, void* user, InteropCallbackFunc function);
int64_t WorkflowManager_AddDictionary(Dictionary* info, void* user, InteropCallbackFunc function);
int64_t WorkflowManager_AddJSON(const char* text, void* user, InteropCallbackFunc function);
int64_t WorkflowManager_AddInterop(const char* text, const char* callbackId);
// The shared step; the callback (may be null) keeps the caller's reference.
int64_t WorkflowManager_AddInt(Dictionary* info, InteropCallback* callback);

// ---- Unloading ---------------------------------------------------------------------------------
int64_t WorkflowManager_Unload(void* user, InteropCallbackFunc function);
int64_t WorkflowManager_UnloadInterop(const char* callbackId);
int64_t WorkflowManager_IsUnloading();

// ---- Running and queueing entry tasks ----------------------------------------------------------
int64_t WorkflowManager_RunTask(Workflow* workflow, const char* name);
int64_t WorkflowManager_RunTaskWithMacros(Workflow* workflow, const char* name, Dictionary* macros);
int64_t WorkflowManager_RunTaskInterop(const char* workflow, const char* name);
int64_t WorkflowManager_RunTaskWithMacrosInterop(const char* workflow, const char* name, const char* macros);
int64_t WorkflowManager_QueueTask(Workflow* workflow, const char* name);
int64_t WorkflowManager_QueueTaskWithMacros(Workflow* workflow, const char* name, Dictionary* macros);
int64_t WorkflowManager_QueueTaskInt(Workflow* workflow, const char* name, Dictionary* macros, uint32_t mayRunNow,
                                     uint32_t walkDependencies);
int64_t WorkflowManager_QueueTaskInterop(const char* workflow, const char* name);
int64_t WorkflowManager_QueueTaskWithMacrosInterop(const char* workflow, const char* name, const char* macros);
int64_t WorkflowManager_QueueAvailableTasks(const char* name);
int64_t WorkflowManager_GetQueuedTaskCount(uint32_t* count);
int64_t WorkflowManager_PushToQueue(Workflow* workflow, const char* name, Dictionary* macros, Dictionary* queue);
int64_t WorkflowManager_PopFromQueue(Dictionary* queue, uint32_t checkDependency, uint32_t stateOnly);

// ---- Settings ----------------------------------------------------------------------------------
int64_t WorkflowManager_SetMaximumActiveTasks(int32_t count);
int64_t WorkflowManager_GetMaximumActiveTasks(int32_t* count);
int64_t WorkflowManager_SetMaximumActiveStateTasks(int32_t count);
int64_t WorkflowManager_GetMaximumActiveStateTasks(int32_t* count);
int64_t WorkflowManager_SetQueueTaskNames(const char* text);
int64_t WorkflowManager_SetProgressTaskNames(const char* text);
int64_t WorkflowManager_SetDependencyTaskNames(const char* text);
int64_t WorkflowManager_SetStateInterval(int32_t seconds);
int64_t WorkflowManager_GetStateInterval(int32_t* seconds);
int64_t WorkflowManager_SetFlowControl(uint32_t flag);
int64_t WorkflowManager_GetFlowControl(uint32_t* flag);
int64_t WorkflowManager_SetHardDependency(uint32_t flag);
int64_t WorkflowManager_GetHardDependency(uint32_t* flag);
int64_t WorkflowManager_SetAutoUnload(uint32_t flag);
int64_t WorkflowManager_GetAutoUnload(uint32_t* flag);
// 1 when the verbose level is 2 or more.
int64_t WorkflowManager_GetVerbose();
int64_t WorkflowManager_SetWillLoadCallback(void* user, WorkflowManagerWillLoadFunc function);
int64_t WorkflowManager_PrintState();

// ---- Availability, dependencies and progress ---------------------------------------------------
int64_t WorkflowManager_SetTaskAvailability(Workflow* workflow, const char* name, uint32_t available);
int64_t WorkflowManager_SetTaskAvailabilityInterop(const char* workflow, const char* name, uint32_t available);
int64_t WorkflowManager_ClearTaskAvailability(Workflow* workflow);
int64_t WorkflowManager_ClearTaskAvailabilityInterop(const char* workflow);
int64_t WorkflowManager_AddDependency(const char* id, const char* dependencyId);
int64_t WorkflowManager_SetProgress(Workflow* workflow, const char* name, double value);
int64_t WorkflowManager_SetProgressInterop(const char* workflow, const char* name, double value);
// The workflow the given one depends on (its first recorded dependency); 0 and null when none.
int64_t WorkflowManager_GetDependentWorkflow(Workflow* workflow, Workflow** dependency);
// Modes: 1 pre-order over dependencies, 2 post-order over dependencies, 3 post-order over
// dependents. A workflow already on the walk's path is never entered again.
int64_t WorkflowManager_WalkDependencyChain(Workflow* workflow, int32_t mode, const char* name,
                                            WorkflowManagerDependencyVisitor visitor);
int64_t WorkflowManager_QueueAvailableDependenciesEnum(const char* name, const char* otherId, Workflow* other);
int64_t WorkflowManager_FailDependenciesEnum(const char* name, const char* otherId, Workflow* other);
int64_t WorkflowManager_UpdateAvailability(Workflow* workflow, Dictionary* info, const char* name,
                                           uint32_t successful);

// ---- Notification handlers ---------------------------------------------------------------------
int64_t WorkflowManager_Notification_OnWorkflowEventCompleteFlow(void* user, const char* type, const char* name,
                                                                 const char* instance, Dictionary* info);
int64_t WorkflowManager_Notification_OnWorkflowRunRun(void* user, const char* type, const char* name,
                                                      const char* instance, Dictionary* info);
int64_t WorkflowManager_Notification_OnWorkflowRunStartTrack(void* user, const char* type, const char* name,
                                                             const char* instance, Dictionary* info);
int64_t WorkflowManager_Notification_OnWorkflowEventStart(void* user, const char* type, const char* name,
                                                          const char* instance, Dictionary* info);
int64_t WorkflowManager_Notification_OnWorkflowEventComplete(void* user, const char* type, const char* name,
                                                             const char* instance, Dictionary* info);
int64_t WorkflowManager_NormalizeTaskEvent(const char* kind, const char* task, Dictionary* info, Dictionary** entry);
int64_t WorkflowManager_FireTaskEvent(const char* kind, const char* task, Dictionary* entry);
