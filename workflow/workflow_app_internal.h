// The engine context's record and the links to parts of the engine it drives at start-up and
// removal; shared by the context's own source files only.
#pragma once
#include <cstdint>

#include "core/formats/interop.h"
#include "core/runtime/class.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_run.h"

struct AuthenticateAsync;
struct CertStoreInterface;
struct MeterRW;
struct WebGetCacheStore;
struct WebGetRequest;

// A pending signature check of an interop library.
struct WorkflowAppInteropEntry {
    uint32_t ClassId;
    AuthenticateAsync* Authenticate;
    uint32_t Done;
    char Name[120];
    char Path[WORKFLOWAPP_PATH_SIZE];
    WorkflowAppInteropEntry* Next;
    WorkflowAppInteropEntry* Prev;
};

struct WorkflowAppInteropList {
    uint32_t ClassId;
    WorkflowAppInteropEntry* First;
    WorkflowAppInteropEntry* Last;
    uint32_t Count;
};

struct WorkflowApp {
    Class Header;
    NotificationEndPoint* EndPoint;
    MeterRW* LocalMeter;
    MeterRW* RemoteMeter;
    Dictionary* StatusSource;
    Dictionary* Status;
    uint32_t StatusChanged;
    double NextStatusTime;
    Dictionary* Config;
    int32_t ConfigVerbose;
    int32_t WorkflowVerbose;
    uint32_t DisconnectSeen;
    uint32_t Disconnected;
    uint32_t IsWorker;
    uint32_t IsSelfUpdate;
    uint32_t ShuttingDown;
    Dictionary* Macros;
    // Names of the macros that are templates (the skin's own definitions): their values' tokens
    // are expanded where they are used; every other macro's value is text.
    Dictionary* TemplateMacros;
    Dictionary* ShutdownInfo;
    Dictionary* RunningTasks;
    Dictionary* TaskWorkflows;
    Dictionary* WorkflowRunners;
    Dictionary* WorkflowTaskLists;
    double StartTime;
    uint32_t Restart;
    uint32_t RestartElevated;
    char RestartPath[WORKFLOWAPP_PATH_SIZE];
    char RestartArguments[WORKFLOWAPP_ARGUMENTS_SIZE];
    char ImplodePath[WORKFLOWAPP_PATH_SIZE];
    WorkflowAppInteropList InteropAuthentications;
    CertStoreInterface* InteropCertStore;
    CertStoreInterface* DataStoreCertStore;
    TaskTypeList* TaskTypes;
    uint32_t PreventSystemShutdown;
    WebGetCacheStore* AliasCacheStore;
    WebGetCacheStore* WorkflowCacheStore;
    WorkflowAppWebRequestFunc WebRequestAdd;
    WorkflowAppWebRequestFunc WebRequestRemove;
    // The `wfendpoint` value of the command line the context was created with.
    char EndPointUrl[WORKFLOWAPP_ENDPOINT_URL_SIZE];
};

// The one context of the process; null before creation and after removal.
extern WorkflowApp* GlobalWorkflowApp;

// The endpoint operations registered by the endpoint's provider (all null when none).
extern WorkflowAppEndPointHooks GlobalWorkflowAppEndPointHooks;

// The workflow run service (workflow/workflow_run.h) is started with the context and handed its
// endpoint; the pump lets a disconnected worker end only when no run it started is left.

// The in-process interop libraries the engine registers for a process without the host: the core
// script classes, the content repository's and the workflow engine's.
int64_t CoreInterop_Init();
int64_t CoreInterop_Remove();
int64_t CoreInterop_CreateInstance(const char* className, char* id, int32_t idSize, void* executeUser,
                                   InteropExecuteFunc executeFunction, InteropInvokeFunc* invoke,
                                   InteropReleaseFunc* release, InteropProcessFunc* process,
                                   void** userContext);
int64_t CoreInterop_SetOverride(const char* name, void* function);
int64_t CoreInterop_SetOption(const char* name, const char* value);
int64_t WorkflowInterop_Init();
int64_t WorkflowInterop_Remove();
int64_t WorkflowInterop_CreateInstance(const char* className, char* id, int32_t idSize, void* executeUser,
                                       InteropExecuteFunc executeFunction, InteropInvokeFunc* invoke,
                                       InteropReleaseFunc* release, InteropProcessFunc* process,
                                       void** userContext);
int64_t WorkflowInterop_SetOverride(const char* name, void* function);
int64_t WorkflowInterop_SetOption(const char* name, const char* value);

// The pump's collection of finished interop signature checks: one finished entry freed per pass.
int64_t WorkflowApp_ProcessInterop();
// Frees a pending entry with its check.
void WorkflowApp_FreeInteropEntry(WorkflowAppInteropEntry* entry);
// Completion of an interop library's signature check (its user is the entry).
void WorkflowApp_AuthenticateInteropCallback(AuthenticateAsync* auth, void* user, uint32_t result);
// Drops the observer of a shutdown still waiting for busy tasks.
void WorkflowApp_RemoveShutdownWait(WorkflowApp* app);

// Observers the context adds at creation (the user is the context).
int64_t WorkflowApp_Notification_OnShutdown(void* user, const char* type, const char* name, const char* instance,
                                            Dictionary* info);
int64_t WorkflowApp_Notification_OnLocalLimit(void* user, const char* type, const char* name, const char* instance,
                                              Dictionary* info);
int64_t WorkflowApp_Notification_OnRemoteLimit(void* user, const char* type, const char* name, const char* instance,
                                               Dictionary* info);
int64_t WorkflowApp_Notification_OnWebGetConnectionError(void* user, const char* type, const char* name,
                                                         const char* instance, Dictionary* info);
int64_t WorkflowApp_Notification_OnTaskStart(void* user, const char* type, const char* name, const char* instance,
                                             Dictionary* info);
int64_t WorkflowApp_Notification_OnTaskComplete(void* user, const char* type, const char* name, const char* instance,
                                                Dictionary* info);
int64_t WorkflowApp_Notification_OnWorkflowRun(void* user, const char* type, const char* name, const char* instance,
                                               Dictionary* info);
int64_t WorkflowApp_Notification_OnWorkflowEventComplete(void* user, const char* type, const char* name,
                                                         const char* instance, Dictionary* info);
// Sets the given limits of a meter (bytes per second, 0 or below for none), keeping the other.
int64_t WorkflowApp_SetMeterLimits(MeterRW* meter, const int32_t* read, const int32_t* write);
// Log expiry with the `maxdays` value and the wall-clock time given.
int64_t WorkflowApp_ExpireLogsAt(const char* maxDays, double now);
