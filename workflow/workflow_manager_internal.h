// The WorkflowManager's record and the helpers its source files share.
#pragma once
#include <cstdint>

#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/log.h"
#include "workflow/workflow_manager.h"

struct DictionaryItem;

// One add that waits for its run to start: the callback it will raise.
struct WorkflowManagerAddRecord {
    InteropCallback* Callback;
    WorkflowManagerAddRecord* Next;
};

struct WorkflowManager {
    Class Header;
    int32_t Verbose;
    uint32_t Dirty;
    uint32_t FlowControl;
    uint32_t HardDependency;
    uint32_t AutoUnload;
    uint32_t Unloading;
    char UnloadCallbackId[WORKFLOWMANAGER_ID_SIZE];
    int32_t MaxActiveTasks;
    int32_t MaxActiveStateTasks;
    Dictionary* TaskEntries;
    Dictionary* Loaded;
    Dictionary* TaskQueue;
    Dictionary* QueueNames;
    Dictionary* Active;
    Dictionary* ActiveProgress;
    Dictionary* ProgressNames;
    Dictionary* Available;
    Dictionary* PreviousAvailable;
    Dictionary* Failed;
    Dictionary* WorkflowIds;
    Dictionary* Priorities;
    Dictionary* Dependencies;
    Dictionary* DependencyQueue;
    Dictionary* DependencyNames;
    int32_t StateInterval;
    double LastStateRefresh;
    double LastPass;
    int32_t OverallProgress;
    CallbackBase WillLoad;
    // The rest is this implementation's own bookkeeping.
    uint32_t Worker;           // the process is the elevated worker: flow only
    uint32_t RefillPending;    // the last pass started a task: the next one is not held back
    uint32_t SleepPrevented;   // the system is kept awake by us
    InteropCallback* UnloadCallback; // our reference on the unload callback while unloading
    WorkflowManagerAddRecord* AddRecords;
};

#define WORKFLOWMANAGER_LOG(...) Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, __VA_ARGS__)

// ---- Shared helpers (workflow_manager.cpp) -----------------------------------------------------
// The live workflow behind an instance id, or null.
Workflow* WorkflowManager_FindWorkflow(const char* id);
const char* WorkflowManager_IdOf(Workflow* workflow);
// 1 when the list holds the text, compared without case.
bool WorkflowManager_ListHolds(Dictionary* list, const char* text);
// Active entry tasks that are not "state" / that are "state".
int32_t WorkflowManager_ActiveCount(WorkflowManager* manager);
int32_t WorkflowManager_ActiveStateCount(WorkflowManager* manager);
bool WorkflowManager_IsStateName(const char* name);
// Inserts a keyed entry for the workflow in priority order (higher first, equal keep arrival).
DictionaryItem* WorkflowManager_InsertByPriority(WorkflowManager* manager, Dictionary* table, const char* workflow);
// The first entry of the workflow in a queue, or null.
DictionaryItem* WorkflowManager_FirstEntry(Dictionary* queue, const char* workflow);
// A JSON text read into a new Dictionary; null when it does not parse.
Dictionary* WorkflowManager_ParseJson(const char* text);
// Raises the unload callback and leaves the unloading state.
void WorkflowManager_RaiseUnloadCallback(WorkflowManager* manager);
// Recomputes the overall progress figure.
void WorkflowManager_UpdateOverallProgress(WorkflowManager* manager);
// Fires "WorkflowManager"/"Status" with the report.
void WorkflowManager_FireStatus(WorkflowManager* manager);
// Task notification observers (status file).
int64_t WorkflowManager_Notification_OnTask(void* user, const char* type, const char* name, const char* instance,
                                            Dictionary* info);
// Removes task entries whose time has passed.
void WorkflowManager_ExpireTaskEntries(WorkflowManager* manager, double now);
