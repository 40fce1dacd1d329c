// The engine context as the workflow and its tasks reach it: application macros and key lookup,
// the application's task type list, the shutting-down flag and the task registry.
#pragma once
#include <cstdint>

#include "core/formats/interop.h"

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
// The content repository's script classes live in a library above the engine, which hands its
// entry points over before the engine adds its interop libraries; until then there is none.
struct WorkflowAppInteropEntries {
    InteropInitFunc Init;
    InteropRemoveFunc Remove;
    InteropCreateInstanceFunc CreateInstance;
    InteropSetOverrideFunc SetOverride;
    InteropSetOptionFunc SetOption;
};
int64_t WorkflowApp_SetRepositoryInterop(const WorkflowAppInteropEntries* entries);
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
// A macro whose value is text: what it holds is inserted as it is, never expanded again.
int64_t WorkflowApp_AddMacro(const char* name, const char* value);
// A macro the skin's author defined: a template, whose tokens are expanded where it is used (so
// one definition may name another), with the same sources as the text that names it.
int64_t WorkflowApp_AddTemplateMacro(const char* name, const char* value);
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

// ---- The running engine ---------------------------------------------------------------------------
struct MeterRW;
struct WebGetRequest;

// One pass of the engine pump; the host's main loop calls it on every pass. 1.
int64_t WorkflowApp_Process();
// Waits up to that long on the calling thread's wake signal.
int64_t WorkflowApp_Wait(int32_t milliseconds);
// Whether a workflow run is under way.
int64_t WorkflowApp_IsActive();
// True before creation, and once a disconnected peer's runs have all ended.
int64_t WorkflowApp_IsDisconnected();
// Whether a task other than a "global" one runs.
int64_t WorkflowApp_IsBusy();
// Writes the meters' status items into the dictionary.
int64_t WorkflowApp_Dump(Dictionary* dict);
int64_t WorkflowApp_GetInstanceId(char* buffer, int32_t capacity);
int64_t WorkflowApp_IsElevated();
// Monotonic seconds.
int64_t WorkflowApp_GetStartTime(double* seconds);
int64_t WorkflowApp_GetRunningTime(double* seconds);
int64_t WorkflowApp_GetCurrentTime(double* seconds);
// Asks the run service for a workflow by URL.
int64_t WorkflowApp_Add(const char* url);

// Meters; limits in bytes per second, 0 for none.
int64_t WorkflowApp_GetLocalMeterRWHandle(MeterRW** meter);
int64_t WorkflowApp_GetRemoteMeterRWHandle(MeterRW** meter);
int64_t WorkflowApp_SetLocalReadBandwidth(int32_t bytesPerSecond);
int64_t WorkflowApp_SetLocalWriteBandwidth(int32_t bytesPerSecond);
int64_t WorkflowApp_SetRemoteReadBandwidth(int32_t bytesPerSecond);
int64_t WorkflowApp_SetRemoteWriteBandwidth(int32_t bytesPerSecond);
int64_t WorkflowApp_GetLocalReadBandwidth(int32_t* bytesPerSecond);
int64_t WorkflowApp_GetLocalWriteBandwidth(int32_t* bytesPerSecond);
int64_t WorkflowApp_GetRemoteReadBandwidth(int32_t* bytesPerSecond);
int64_t WorkflowApp_GetRemoteWriteBandwidth(int32_t* bytesPerSecond);

// Exit code, restart and implode; the host reads them at exit.
int64_t WorkflowApp_SetExitCode(uint32_t code);
int64_t WorkflowApp_GetExitCode(uint32_t* code);
int64_t WorkflowApp_SetRestart(uint32_t flag);
int64_t WorkflowApp_GetRestart(uint32_t* flag);
int64_t WorkflowApp_SetRestartElevated(uint32_t flag);
int64_t WorkflowApp_GetRestartElevated(uint32_t* flag);
int64_t WorkflowApp_SetRestartPath(const char* path);
int64_t WorkflowApp_GetRestartPath(char* buffer, int32_t capacity);
int64_t WorkflowApp_SetRestartArguments(const char* text);
int64_t WorkflowApp_GetRestartArguments(char* buffer, int32_t capacity);
int64_t WorkflowApp_AppendRestartArguments(const char* text);
int64_t WorkflowApp_SetImplodePath(const char* path);
int64_t WorkflowApp_GetImplodePath(char* buffer, int32_t capacity);
// The running executable becomes the file deleted at exit; 0 when it cannot be found.
int64_t WorkflowApp_Implode();
int64_t WorkflowApp_SetPreventSystemShutdown(uint32_t flag);
int64_t WorkflowApp_GetPreventSystemShutdown(uint32_t* flag);

// The process's own command line and log.
int64_t WorkflowApp_GetCommandFieldCount(int32_t* count);
int64_t WorkflowApp_IsCommandFieldSet(const char* name);
int64_t WorkflowApp_GetCommandFieldByName(const char* name, char* buffer, int32_t capacity);
int64_t WorkflowApp_GetCommandField(int32_t index, char* buffer, int32_t capacity);
int64_t WorkflowApp_GetCommandLine(char* buffer, int32_t capacity);
int64_t WorkflowApp_GetDebugFilename(char* buffer, int32_t capacity);
int64_t WorkflowApp_GetDebugFlags(uint32_t* flags);
int64_t WorkflowApp_SetDebugLogging(const char* filename, uint32_t flags);
int64_t WorkflowApp_DebugPrint(const char* text);

// Stops the process through the abort path.
[[noreturn]] int64_t WorkflowApp_Crash();

// Tracking of tasks and workflows (names are workflow names or task instance ids).
int64_t WorkflowApp_IsWorkflowRemote(const char* workflow);
// The task's workflow; recursive: the outermost one up the chain of runners that is not "Global".
int64_t WorkflowApp_GetWorkflowByTaskId(const char* taskId, uint32_t recursive, char* buffer, int32_t capacity);
int64_t WorkflowApp_GetRootWorkflow(const char* workflow, char* buffer, int32_t capacity);
int64_t WorkflowApp_PrintState();

// Interop libraries loaded at run time after a signature check; the outcome is announced as
// "Interop"/"Load" and "Interop"/"Unload".
int64_t WorkflowApp_LoadInterop(const char* name, const char* path);
int64_t WorkflowApp_UnloadInterop(const char* name, const char* path);

// Named stores of the authentication service. Only stores bound as removable can be removed.
struct CertStoreInterface;
struct CertStoreTable;
int64_t WorkflowApp_KeyStoreRemove(const char* name);
int64_t WorkflowApp_CertStoreRemove(const char* name);
// A new reference to the trust store of interop libraries or of the embedded data store.
CertStoreInterface* WorkflowApp_InteropGetCertStore();
CertStoreInterface* WorkflowApp_DataStoreGetCertStore();
int64_t WorkflowApp_InteropReleaseCertStore(CertStoreInterface* store);
int64_t WorkflowApp_DataStoreReleaseCertStore(CertStoreInterface* store);
// Verifies a compact JWS against the stores named (comma-separated; none: "app") in the table; a
// name not found stands for a store that trusts nothing.
int64_t WorkflowApp_JwsVerifyStore(const char* token, CertStoreTable* table, const char* names);
int64_t WorkflowApp_JwsVerifyCertStore(const char* token, const char* storeNames);
int64_t WorkflowApp_JwsVerifyKeyStore(const char* token, const char* storeNames);
// Against one base64 key; 0 when the key does not decode.
int64_t WorkflowApp_JwsVerifyKey(const char* token, const char* keyText);
int64_t WorkflowApp_SetSecurityEnabled(uint32_t flag);
int64_t WorkflowApp_GetSecurityEnabled(uint32_t* flag);

// The host's request hooks, tried before the HTTP pool: both or neither (one alone: 0, nothing
// changes). A hook answers 1 when it took the request.
typedef uint32_t (*WorkflowAppWebRequestFunc)(WebGetRequest* request);
int64_t WorkflowApp_SetWebRequestHandler(WorkflowAppWebRequestFunc add, WorkflowAppWebRequestFunc remove);
int64_t WorkflowApp_WebGetRequestAdd(WebGetRequest* request);
int64_t WorkflowApp_WebGetRequestRemove(WebGetRequest* request);

// Crash analytics events, filled with the version and the application macros.
int64_t WorkflowApp_FillCrashEvent(const char* format, Dictionary* event);
// Sent as "CrashDump" only when analytics and crash-dump reporting are on (else 1, nothing sent).
int64_t WorkflowApp_SendCrashEvent(const char* format, Dictionary* event);
int64_t WorkflowApp_SendCrashEventInterop(const char* format, const char* jsonText);
// Deletes day logs older than the `maxdays` switch allows, beside the current log; never the log
// in use.
int64_t WorkflowApp_ExpireLogs();
