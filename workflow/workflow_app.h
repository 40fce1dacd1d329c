// The engine context as the workflow and its tasks reach it: application macros and key lookup,
// the application's task type list, the shutting-down flag and the task registry.
#pragma once
#include <cstdint>

struct TaskTypeList;

// The engine's expander callback (an ExpandKeyCallback; the context is not read).
int64_t WorkflowApp_ExpandKey(void* context, const char* name, char* argument, char* value, int32_t capacity);
// 1 when the engine prints verbose lines.
int64_t WorkflowApp_GetVerbose();
int64_t WorkflowApp_IsShuttingDown();
// The application's list of task types; 0 and null when there is none.
int64_t WorkflowApp_GetTaskTypeListHandle(TaskTypeList** list);
int64_t WorkflowApp_IsTaskInWorkflow(const char* taskId, const char* workflow, uint32_t recursive);
int64_t WorkflowApp_IsWorkflowInWorkflow(const char* workflow, const char* outer);
// The workflow in the other process that the last task recorded for this workflow ran; 0 when a
// link is missing.
int64_t WorkflowApp_GetRemoteWorkflow(const char* workflow, char* buffer, int32_t capacity);

// ---- The process-wide engine context ------------------------------------------------------------
// One context per process, reached through a global handle: the engine configuration, the
// application macros, the engine's meters, the default task types and the link to a peer
// process. All of it is used from the main thread.
struct Dictionary;
struct DictionaryItem;
struct CertStoreList;
struct NotificationEndPoint;
struct WorkflowApp;

enum : uint32_t {
    WORKFLOWAPP_CLASS_ID = 0xa824b96a,
    WORKFLOWAPP_INTEROP_LIST_CLASS_ID = 0x7ed64f45,
    WORKFLOWAPP_PATH_SIZE = 320,
    WORKFLOWAPP_ARGUMENTS_SIZE = 4096,
    WORKFLOWAPP_ENDPOINT_URL_SIZE = 512,
};

// The engine's version, as the macro "AppVersion" and the log report it.
extern const char* const WorkflowApp_Version;

// Switches of the engine, dropped when a command line is passed on to another process.
enum : int32_t { WORKFLOW_SWITCH_FILTER_COUNT = 5 };
extern const char* const Workflow_SwitchFilterTable[WORKFLOW_SWITCH_FILTER_COUNT];

// Life cycle. InitMinimal/RemoveMinimal run inside a process whose core services are up; Init and
// Remove start and stop those services around them. Remove stores the core's exit code through
// the pointer when one is given.
int64_t WorkflowApp_InitMinimal(const char* commandLine);
int64_t WorkflowApp_RemoveMinimal();
int64_t WorkflowApp_Init(const char* logName, uint32_t debugFlags);
int64_t WorkflowApp_Remove(uint32_t* exitCode);
int64_t WorkflowApp_InitInterop();
int64_t WorkflowApp_IsInitialized();

// The peer-process endpoint is reached through these operations: the process's own endpoint unless
// other operations are installed before the context is created.
struct WorkflowAppEndPointHooks {
    int64_t (*Create)(NotificationEndPoint** endpoint);
    int64_t (*Start)(NotificationEndPoint* endpoint);
    int64_t (*Stop)(NotificationEndPoint* endpoint);
    int64_t (*Release)(NotificationEndPoint** endpoint);
    int64_t (*AddEndPoint)(NotificationEndPoint* endpoint, const char* url);
};
// Copies the table (null restores the process's own endpoint); 0 while a context exists.
int64_t WorkflowApp_SetEndPointHooks(const WorkflowAppEndPointHooks* hooks);
int64_t WorkflowApp_GetNotificationEndPointHandle(NotificationEndPoint** endpoint);

// Configuration.
int64_t WorkflowApp_LoadConfigFromDictionary(Dictionary* source);
int64_t WorkflowApp_LoadConfigFromFile(const char* path);
int64_t WorkflowApp_GetConfigHandle(Dictionary** config);
int64_t WorkflowApp_GetConfig(const char* path, const char* defaultValue, char* buffer, int32_t capacity);
int64_t WorkflowApp_GetConfigBoolean(const char* path, uint32_t defaultValue, uint32_t* value);
// Observers of the configuration's own changes.
int64_t WorkflowApp_ConfigDictionary_ItemValueChanged(Dictionary* dict, DictionaryItem* item, void* context,
                                                      const char* path, const char* oldValue, uint32_t oldLength);
int64_t WorkflowApp_Notification_OnConfigOptionChanged(void* user, const char* type, const char* name,
                                                       const char* instance, Dictionary* info);

// Macros and expansion.
int64_t WorkflowApp_AddMacro(const char* name, const char* value);
int64_t WorkflowApp_ExpandString(const char* source, char* buffer, int32_t capacity);
int64_t WorkflowApp_ExpandDictionary(Dictionary* dict);
int64_t WorkflowApp_ConvertToEntitizedString(const char* source, char* buffer, int32_t capacity);
int64_t WorkflowApp_ConvertFromEntitizedString(const char* source, char* buffer, int32_t capacity);
int64_t WorkflowApp_GetMacroDictionaryHandle(Dictionary** macros);

// Configuration steps, also usable alone.
int64_t WorkflowApp_AddHostname(const char* text);
int64_t WorkflowApp_AddCipher(const char* text);
int64_t WorkflowApp_AddRegistry(int32_t readWrite, const char* text);
int64_t WorkflowApp_KeyStoreAdd(const char* name, uint32_t removable, const char* keyText);
int64_t WorkflowApp_CertStoreAdd(const char* name, uint32_t removable, Dictionary* thumbprints);
int64_t WorkflowApp_AddToCertStoreList(CertStoreList* list, const char* name);
int64_t WorkflowApp_AppSetCertStores(Dictionary* names);
int64_t WorkflowApp_InteropSetCertStores(Dictionary* names);
int64_t WorkflowApp_DataStoreSetCertStores(Dictionary* names);
int64_t WorkflowApp_WebGetSetCertStores(Dictionary* names);

// Flags of the context (false before creation).
int64_t WorkflowApp_IsWorker();
int64_t WorkflowApp_IsSelfUpdate();
