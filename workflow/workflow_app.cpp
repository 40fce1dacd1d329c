// The engine context: its creation and removal (with and without the core services around it),
// the configuration readers, the application macros and the engine's expander.
#include "workflow/workflow_app.h"

#include <atomic>

#include <cstring>

#include "core/certs/authenticate.h"
#include "core/certs/executable.h"
#include "core/formats/interop.h"
#include "core/linux/platform.h"
#include "core/linux/platform_system.h"
#include "core/net/async_socket.h"
#include "core/net/proxy_resolver.h"
#include "core/net/socket.h"
#include "core/platform/async_file.h"
#include "core/platform/registry.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/meter.h"
#include "core/runtime/meter_rw.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/analytics.h"
#include "core/web/challenge.h"
#include "core/web/web_get.h"
#include "core/web/web_get_cache.h"
#include "core/web/web_get_pool.h"
#include "workflow/notification_endpoint.h"
#include "workflow/task.h"
#include "workflow/task_type.h"
#include "workflow/workflow_app_internal.h"

WorkflowApp* GlobalWorkflowApp = nullptr;
// The process's own endpoint, unless a caller installs other operations before the context exists.
const WorkflowAppEndPointHooks kDefaultEndPointHooks = {NotificationEndPoint_Create, NotificationEndPoint_Start,
                                                        NotificationEndPoint_Stop, NotificationEndPoint_Release,
                                                        NotificationEndPoint_AddEndPoint};
WorkflowAppEndPointHooks GlobalWorkflowAppEndPointHooks = kDefaultEndPointHooks;

const char* const WorkflowApp_Version = "6.2.42";

const char* const Workflow_SwitchFilterTable[WORKFLOW_SWITCH_FILTER_COUNT] = {
    "debuginterop", "maxdays", "wfendpoint", "wfworker", "wfselfupdate",
};

namespace {

// Special path id of the running executable.
constexpr uint32_t kModulePath = 16;

const char kCipherDefault[] =
    "ecdhe-ecdsa-aes256-gcm-sha384,ecdhe-rsa-aes256-gcm-sha384,ecdhe-ecdsa-aes128-gcm-sha256,"
    "ecdhe-rsa-aes128-gcm-sha256,rsa-aes256-gcm-sha384,rsa-aes128-gcm-sha256,ecdhe-ecdsa-aes256-sha384,"
    "ecdhe-rsa-aes256-sha384,ecdhe-ecdsa-aes256-sha,ecdhe-rsa-aes256-sha,ecdhe-ecdsa-aes128-sha256,"
    "ecdhe-rsa-aes128-sha256,ecdhe-ecdsa-aes128-sha,ecdhe-rsa-aes128-sha,rsa-aes256-sha256,rsa-aes256-sha,"
    "rsa-aes128-sha256,rsa-aes128-sha";

// A 64-bit float default stored with its full text: the weights are single-precision values
// widened to double, and the dictionary's short number text would round them.
void SetFloatText(Dictionary* config, const char* path, double value, const char* text) {
    Dictionary_SetFloat64ByPath(config, path, value);
    Dictionary* holder = nullptr;
    DictionaryItem* item = nullptr;
    if (Dictionary_ItemFindByPath(config, path, &holder, &item))
        Dictionary_ItemSetBuffer(holder, item, text, static_cast<int32_t>(strlen(text)));
}

void SetDefaults(Dictionary* config) {
    Dictionary_SetStringByPath(config, kAppConfigLocalStorage, "{userAppData}Quarvelon{pathSlash}");
    Dictionary_SetBooleanByPath(config, kAppConfigRequiresElevated, 0);
    Dictionary_SetInt64ByPath(config, kAppConfigAliasLimitSize, 33554432);
    Dictionary_SetInt64ByPath(config, kAppConfigCatalogLimitSize, 33554432);
    Dictionary_SetInt64ByPath(config, kAppConfigMetafileLimitSize, 33554432);
    Dictionary_SetInt32ByPath(config, kAppConfigStorageRequests, 8);
    Dictionary_SetStringByPath(config, kAppConfigStorageDeltaFormat, "{sourceInfoHash}/{targetDigest}.quarvdelta");
    Dictionary_SetStringByPath(config, kAppConfigStoragePieceFormat, "{targetInfoHash}/{targetDigest}.quarvpiece");
    Dictionary_SetStringByPath(config, kAppConfigStoragePartialExtension, ".quarvpartial");
    Dictionary_SetInt32ByPath(config, kAppConfigStorageFileCompletes, 10);
    Dictionary_SetStringByPath(config, kAppConfigStorageLockDirectory, "{moduleDirectory}_lock{pathSlash}");
    Dictionary_SetInt64ByPath(config, kAppConfigStorageDeltaCacheSize, 33554432);
    Dictionary_SetBooleanByPath(config, kAppConfigStorageSkipTimestamp, 0);
    Dictionary_SetBooleanByPath(config, kAppConfigStorageSkipAttributes, 0);
    Dictionary_SetBooleanByPath(config, kAppConfigStorageSelfUpdate, 0);
    Dictionary_SetBooleanByPath(config, kAppConfigStorageSystemBuffer, 1);
    SetFloatText(config, kAppConfigRepositoryCopyWeight, 0.8f, "0.800000011920929");
    SetFloatText(config, kAppConfigRepositoryApplyWeight, 0.12f, "0.11999999731779099");
    SetFloatText(config, kAppConfigRepositoryCleanWeight, 0.08f, "0.07999999821186066");
    Dictionary_SetStringByPath(config, kAppConfigTls1Cipher, kCipherDefault);
    Dictionary_SetStringByPath(config, kAppConfigTls1VersionMin, "1.0");
    Dictionary_SetStringByPath(config, kAppConfigTls1VersionMax, "1.2");
    Dictionary_SetInt32ByPath(config, kAppConfigAliasWebGetCacheMinAge, 60);
    Dictionary_SetInt32ByPath(config, kAppConfigWorkflowWebGetCacheMinAge, 60);
    Dictionary_SetInt32ByPath(config, kAppConfigWebGetPoolMaxHosts, 5);
    Dictionary_SetInt32ByPath(config, kAppConfigWebGetPoolMaxHostConnections, 6);
}

int64_t StatusItemRemoved(Dictionary*, DictionaryItem*, void* context, const char*) {
    static_cast<WorkflowApp*>(context)->StatusChanged = 1;
    return 1;
}
int64_t StatusKeyChanged(Dictionary*, DictionaryItem*, void* context, const char*, const char*) {
    static_cast<WorkflowApp*>(context)->StatusChanged = 1;
    return 1;
}
int64_t StatusValueChanged(Dictionary*, DictionaryItem*, void* context, const char*, const char*, uint32_t) {
    static_cast<WorkflowApp*>(context)->StatusChanged = 1;
    return 1;
}

Dictionary* NewDictionary(uint32_t caseSensitive, uint32_t allowDuplicates) {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Dictionary_SetCaseSensitive(dict, caseSensitive);
    Dictionary_SetAllowDuplicates(dict, allowDuplicates);
    return dict;
}

// ---- Notification handlers ---------------------------------------------------------------------

int64_t OnEndPointDisconnected(void* user, const char*, const char*, const char*, Dictionary*) {
    static_cast<WorkflowApp*>(user)->DisconnectSeen = 1;
    return 1;
}

// Once our endpoint listens, the parent's endpoint named on the command line becomes its peer.
int64_t OnEndPointRunning(void* user, const char*, const char*, const char*, Dictionary*) {
    WorkflowApp* app = static_cast<WorkflowApp*>(user);
    if (app->EndPointUrl[0] == 0) return 1;
    // A worker's token comes on its standard input, never on its command line.
    char url[WORKFLOWRUN_ENDPOINT_URL_SIZE];
    if (!WorkflowRun_GetWorkerEndPointUrl(app->EndPointUrl, app->IsWorker, url, sizeof(url))) {
        // Without it the worker can never join the other process: it has nothing to wait for.
        app->DisconnectSeen = 1;
        return 1;
    }
    if (app->EndPoint && GlobalWorkflowAppEndPointHooks.AddEndPoint)
        GlobalWorkflowAppEndPointHooks.AddEndPoint(app->EndPoint, url);
    return 1;
}

struct ObserverEntry {
    const char* Type;
    const char* Name;
    NotificationObserverCallback Callback;
};

// In the order they are added; removal walks it backwards.
constexpr ObserverEntry kAnySenderObservers[] = {
    {"WorkflowApp", "Shutdown", WorkflowApp_Notification_OnShutdown},
    {"WorkflowApp", "LocalLimit", WorkflowApp_Notification_OnLocalLimit},
    {"WorkflowApp", "RemoteLimit", WorkflowApp_Notification_OnRemoteLimit},
    {"WebGetConnection", "Error", WorkflowApp_Notification_OnWebGetConnectionError},
    {"Task", "Start", WorkflowApp_Notification_OnTaskStart},
    {"Task", "Complete", WorkflowApp_Notification_OnTaskComplete},
    {"WorkflowRun", "Run", WorkflowApp_Notification_OnWorkflowRun},
    {"WorkflowEvent", "Complete", WorkflowApp_Notification_OnWorkflowEventComplete},
};

void AddObservers(WorkflowApp* app) {
    if (app->EndPoint) {
        const char* id = reinterpret_cast<const char*>(app->EndPoint);
        NotificationCenter_AddInstanceObserver("NotificationEndPoint", "Disconnected", id, app, OnEndPointDisconnected);
        NotificationCenter_AddInstanceObserver("NotificationEndPoint", "Running", id, app, OnEndPointRunning);
    }
    for (const ObserverEntry& entry : kAnySenderObservers)
        NotificationCenter_AddObserver(entry.Type, entry.Name, app, entry.Callback);
}

void RemoveObservers(WorkflowApp* app) {
    for (size_t i = sizeof(kAnySenderObservers) / sizeof(kAnySenderObservers[0]); i-- > 0;)
        NotificationCenter_RemoveObserver(kAnySenderObservers[i].Type, kAnySenderObservers[i].Name, app,
                                          kAnySenderObservers[i].Callback);
    if (app->EndPoint) {
        const char* id = reinterpret_cast<const char*>(app->EndPoint);
        NotificationCenter_RemoveInstanceObserver("NotificationEndPoint", "Running", id, app, OnEndPointRunning);
        NotificationCenter_RemoveInstanceObserver("NotificationEndPoint", "Disconnected", id, app,
                                                  OnEndPointDisconnected);
    }
}

void ReleaseDictionary(Dictionary** dict) {
    if (*dict) Dictionary_Release(dict);
}

} // namespace

// ---- Life cycle ---------------------------------------------------------------------------------

int64_t WorkflowApp_SetEndPointHooks(const WorkflowAppEndPointHooks* hooks) {
    if (GlobalWorkflowApp) return 0;
    GlobalWorkflowAppEndPointHooks = hooks ? *hooks : kDefaultEndPointHooks;
    return 1;
}

int64_t WorkflowApp_InitMinimal(const char* commandLine) {
    ASSERT_MSG(GlobalWorkflowApp == nullptr, "The engine context exists already\n");
    WorkflowApp* app = static_cast<WorkflowApp*>(Memory_AllocZero(sizeof(WorkflowApp)));
    app->Header.ClassId = WORKFLOWAPP_CLASS_ID;
    Class_GenerateInstanceIdReal(app);
    Class_TrackInstance(app, app->Header.InstanceId, nullptr);
    app->InteropAuthentications.ClassId = WORKFLOWAPP_INTEROP_LIST_CLASS_ID;
    GlobalWorkflowApp = app;

    if (CommandLine_IsFieldSet(commandLine, "debuginterop")) Interop_SetVerbose(1);
    Log_GetVerboseLevel("Config", &app->ConfigVerbose);
    Log_GetVerboseLevel("Workflow", &app->WorkflowVerbose);

    app->StartTime = Time_GetCurrent();
    app->IsWorker = CommandLine_IsFieldSet(commandLine, "wfworker") ? 1 : 0;
    app->IsSelfUpdate = CommandLine_IsFieldSet(commandLine, "wfselfupdate") ? 1 : 0;
    app->NextStatusTime = app->StartTime;
    app->PreventSystemShutdown = 1;
    Platform_GetSpecialPath(kModulePath, app->RestartPath, sizeof(app->RestartPath));

    // Defaults go in before the change callback, so that setting them announces nothing.
    app->Config = NewDictionary(0, 1);
    SetDefaults(app->Config);
    Dictionary_SetItemValueChangeCallback(app->Config, app, WorkflowApp_ConfigDictionary_ItemValueChanged);
    NotificationCenter_AddInstanceObserver("Config", "OptionChanged", reinterpret_cast<const char*>(app->Config), app,
                                           WorkflowApp_Notification_OnConfigOptionChanged);
    Interop_SetConfigHandle(app->Config);

    if (app->IsWorker) Platform_EnablePrivilege(1);
    app->InteropCertStore = Authenticate_CertStoreGet("null");
    app->DataStoreCertStore = Authenticate_CertStoreGet("null");

    app->Status = NewDictionary(1, 1);
    Dictionary_SetItemRemoveCallback(app->Status, app, StatusItemRemoved);
    Dictionary_SetItemKeyChangeCallback(app->Status, app, StatusKeyChanged);
    Dictionary_SetItemValueChangeCallback(app->Status, app, StatusValueChanged);
    app->StatusSource = NewDictionary(1, 1);
    app->Macros = NewDictionary(0, 0);
    app->TemplateMacros = NewDictionary(0, 0);
    app->RunningTasks = NewDictionary(1, 0);
    app->WorkflowTaskLists = NewDictionary(1, 0);
    app->TaskWorkflows = NewDictionary(1, 0);
    app->WorkflowRunners = NewDictionary(1, 0);

    TaskTypeList_Create(&app->TaskTypes);
    TaskTypeList_AddDefaultTasks(app->TaskTypes);

    MeterRW_Create(&app->LocalMeter);
    MeterRW_SetReadParentHandle(app->LocalMeter, Meter_RootHandle());
    MeterRW_SetWriteParentHandle(app->LocalMeter, Meter_RootHandle());
    MeterRW_Create(&app->RemoteMeter);
    MeterRW_SetReadParentHandle(app->RemoteMeter, Meter_RootHandle());
    MeterRW_SetWriteParentHandle(app->RemoteMeter, Meter_RootHandle());

    Analytics_Init();
    MeterRW* analyticsMeter = nullptr;
    if (Analytics_GetRemoteMeterRWHandle(&analyticsMeter) && analyticsMeter)
        MeterRW_SetParentHandle(analyticsMeter, app->RemoteMeter);

    Challenge_Init(app->IsWorker);

    // The endpoint's relay rules depend on whether this process runs elevated.
    NotificationEndPoint_SetIsElevatedHook([]() -> int64_t {
        int32_t elevated = 0;
        return Platform_IsElevated(&elevated) && elevated;
    });
    if (GlobalWorkflowAppEndPointHooks.Create && GlobalWorkflowAppEndPointHooks.Release)
        GlobalWorkflowAppEndPointHooks.Create(&app->EndPoint);
    CommandLine_GetFieldByName(commandLine, "wfendpoint", app->EndPointUrl, sizeof(app->EndPointUrl));
    if (app->EndPoint && GlobalWorkflowAppEndPointHooks.Start && app->EndPointUrl[0] != 0)
        GlobalWorkflowAppEndPointHooks.Start(app->EndPoint);

    AddObservers(app);

    WebGetPool_Init();
    WebGetCache_Init();
    WorkflowRun_Init();
    WorkflowRun_SetNotificationEndPointHandle(app->EndPoint);
    return 1;
}

namespace {

// A task still running (one waiting to retry a request, say) holds its run, and the run its
// workflow, until it completes; the owner's release of the workflow cannot end it. Each is
// cancelled here and given bounded passes to complete, so that nothing it holds outlives the
// engine.
void CancelRunningTasks(WorkflowApp* app) {
    Dictionary* running = nullptr;
    if (!Dictionary_Create(&running)) return;
    // A copy: completions take their tasks off the live list while it is walked.
    Dictionary_Merge(running, app->RunningTasks, DICTIONARY_MERGE_OVERWRITE);
    bool cancelled = false;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(running, &item); item; Dictionary_ItemGetNext(running, item, &item)) {
        const char* instance = nullptr;
        if (!Dictionary_ItemGetKeyPtr(running, item, &instance) || !instance) continue;
        void* object = Class_ConvertFromInstanceId(instance);
        if (!object || !Task_ValidHandle(object)) continue;
        Task* task = static_cast<Task*>(object);
        Task_AddRef(task);
        cancelled = Task_Cancel(task) == 1 || cancelled;
        Task_Release(&task);
    }
    Dictionary_Release(&running);
    if (!cancelled) return;
    // Completion runs through notifications and events; a worker thread may take a moment to see
    // its stop flag. Bounded: a task that will not end is left as it is.
    for (int32_t pass = 0; pass < 2000; pass++) {
        const bool idle = EventQueue_Flush(nullptr) == 1;
        NotificationCenter_Process();
        uint32_t count = 0;
        Dictionary_ItemGetCount(app->RunningTasks, &count);
        if (idle && count == 0 && pass > 2) break;
        Platform_SleepMS(1);
    }
}

} // namespace

int64_t WorkflowApp_RemoveMinimal() {
    WorkflowApp* app = GlobalWorkflowApp;
    ASSERT_POINTER(app);
    // Events still queued run before their owners go; an event that keeps posting itself (or one
    // due later) must not hold the removal for ever, so the passes are bounded.
    for (int32_t pass = 0; pass < 1000 && !EventQueue_Flush(nullptr); pass++) {
    }
    NotificationCenter_Process();
    Interop_Process();
    CancelRunningTasks(app);

    app->WebRequestAdd = nullptr;
    app->WebRequestRemove = nullptr;

    uint32_t sendXCache = 1;
    WorkflowApp_GetConfigBoolean(kAppConfigAnalyticsSendWebGetXCache, 1, &sendXCache);
    if (sendXCache) {
        Dictionary* counters = nullptr;
        if (WebGet_XCacheLockDictionaryHandle(&counters) && counters) {
            Dictionary_Dump(counters);
            Analytics_SendEventXCache(counters);
        }
        WebGet_XCacheUnlockDictionaryHandle(&counters);
    }
    WebGet_SetAllowAuthentication(0);

    if (app->InteropCertStore) CertStoreInterface_Release(&app->InteropCertStore);
    if (app->DataStoreCertStore) CertStoreInterface_Release(&app->DataStoreCertStore);
    if (app->WorkflowCacheStore) WebGetCacheStore_Release(&app->WorkflowCacheStore);
    if (app->AliasCacheStore) WebGetCacheStore_Release(&app->AliasCacheStore);

    WebGetPool_Remove();
    WebGetCache_Remove();
    NotificationCenter_Process();

    if (app->EndPoint && GlobalWorkflowAppEndPointHooks.Stop) GlobalWorkflowAppEndPointHooks.Stop(app->EndPoint);
    Interop_SetConfigHandle(nullptr);

    // Checks of interop libraries still pending end here.
    WorkflowAppInteropEntry* entry = app->InteropAuthentications.First;
    while (entry) {
        WorkflowAppInteropEntry* next = entry->Next;
        WorkflowApp_FreeInteropEntry(entry);
        entry = next;
    }
    app->InteropAuthentications.First = app->InteropAuthentications.Last = nullptr;
    app->InteropAuthentications.Count = 0;

    RemoveObservers(app);
    WorkflowApp_RemoveShutdownWait(app);

    if (app->EndPoint) GlobalWorkflowAppEndPointHooks.Release(&app->EndPoint);
    WorkflowRun_Remove();
    Analytics_Remove();
    TaskTypeList_RemoveDefaultTasks(app->TaskTypes);
    TaskTypeList_Delete(&app->TaskTypes);

    ReleaseDictionary(&app->WorkflowRunners);
    ReleaseDictionary(&app->TaskWorkflows);
    ReleaseDictionary(&app->WorkflowTaskLists);
    ReleaseDictionary(&app->RunningTasks);
    ReleaseDictionary(&app->StatusSource);
    Dictionary_SetItemRemoveCallback(app->Status, nullptr, nullptr);
    Dictionary_SetItemKeyChangeCallback(app->Status, nullptr, nullptr);
    Dictionary_SetItemValueChangeCallback(app->Status, nullptr, nullptr);
    ReleaseDictionary(&app->Status);
    ReleaseDictionary(&app->ShutdownInfo);
    ReleaseDictionary(&app->Macros);
    ReleaseDictionary(&app->TemplateMacros);

    MeterRW_Delete(&app->LocalMeter);
    MeterRW_Delete(&app->RemoteMeter);
    NotificationCenter_RemoveInstanceObserver("Config", "OptionChanged", reinterpret_cast<const char*>(app->Config), app,
                                              WorkflowApp_Notification_OnConfigOptionChanged);
    Challenge_Remove();
    Dictionary_SetItemValueChangeCallback(app->Config, nullptr, nullptr);
    ReleaseDictionary(&app->Config);
    Class_UntrackInstance(app);
    Memory_Free(app, sizeof(WorkflowApp));
    GlobalWorkflowApp = nullptr;
    return 1;
}

int64_t WorkflowApp_Init(const char* logName, uint32_t debugFlags) {
    Executable_Init();
    const char* commandLine = nullptr;
    CommandLine_Get(&commandLine);
    uint32_t built = 0;
    Debug_BuildInitFlags(&built, commandLine);
    Debug_Init(logName, WorkflowApp_Version, debugFlags | built);
    Log_Debug("Workflow Library - Startup\n");
    Platform_Init();
    Thread_Init();
    IOWorker_Init();
    Meter_Init();
    Socket_Init();
    AsyncSocket_Init();
    AsyncFile_Init();
    Authenticate_Init();
    NotificationCenter_Init();
    WebGet_Init();
    EventQueue_Init();
    ProxyResolver_Init();
    Registry_Init();
    Interop_Init();
    return WorkflowApp_InitMinimal(commandLine);
}

int64_t WorkflowApp_Remove(uint32_t* exitCode) {
    WorkflowApp_RemoveMinimal();
    Interop_Remove();
    if (exitCode) *exitCode = Debug_ExitCode();
    Registry_Remove();
    ProxyResolver_Remove();
    WebGet_Remove();
    NotificationCenter_Remove();
    Authenticate_Remove();
    AsyncFile_Remove();
    AsyncSocket_Remove();
    Socket_Remove();
    Meter_Remove();
    IOWorker_Remove();
    Thread_Remove();
    EventQueue_Remove();
    Platform_Remove();
    Log_Debug("Workflow Library - Shutdown\n");
    Debug_Remove();
    Executable_Remove();
    return 1;
}

namespace {
std::atomic<const WorkflowAppInteropEntries*> g_repositoryInterop{nullptr};
} // namespace

int64_t WorkflowApp_SetRepositoryInterop(const WorkflowAppInteropEntries* entries) {
    g_repositoryInterop.store(entries);
    return 1;
}

int64_t WorkflowApp_InitInterop() {
    char path[1024];
    Platform_GetSpecialPath(kModulePath, path, sizeof(path));
    Interop_Add(path, CoreInterop_Init, CoreInterop_Remove, CoreInterop_CreateInstance, CoreInterop_SetOverride,
                CoreInterop_SetOption);
    if (const WorkflowAppInteropEntries* repository = g_repositoryInterop.load())
        Interop_Add(path, repository->Init, repository->Remove, repository->CreateInstance, repository->SetOverride,
                    repository->SetOption);
    Interop_Add(path, WorkflowInterop_Init, WorkflowInterop_Remove, WorkflowInterop_CreateInstance,
                WorkflowInterop_SetOverride, WorkflowInterop_SetOption);
    return 1;
}

int64_t WorkflowApp_IsInitialized() {
    return GlobalWorkflowApp ? 1 : 0;
}

int64_t WorkflowApp_GetNotificationEndPointHandle(NotificationEndPoint** endpoint) {
    ASSERT_POINTER(endpoint);
    *endpoint = GlobalWorkflowApp ? GlobalWorkflowApp->EndPoint : nullptr;
    return *endpoint ? 1 : 0;
}

// ---- Flags --------------------------------------------------------------------------------------

int64_t WorkflowApp_GetVerbose() {
    return GlobalWorkflowApp && GlobalWorkflowApp->WorkflowVerbose >= 2 ? 1 : 0;
}

int64_t WorkflowApp_IsShuttingDown() {
    return GlobalWorkflowApp ? GlobalWorkflowApp->ShuttingDown : 0;
}

int64_t WorkflowApp_IsWorker() {
    return GlobalWorkflowApp ? GlobalWorkflowApp->IsWorker : 0;
}

int64_t WorkflowApp_IsSelfUpdate() {
    return GlobalWorkflowApp ? GlobalWorkflowApp->IsSelfUpdate : 0;
}

int64_t WorkflowApp_GetTaskTypeListHandle(TaskTypeList** list) {
    ASSERT_POINTER(list);
    *list = GlobalWorkflowApp ? GlobalWorkflowApp->TaskTypes : nullptr;
    return *list ? 1 : 0;
}

// ---- Configuration readers ----------------------------------------------------------------------

int64_t WorkflowApp_GetConfigHandle(Dictionary** config) {
    ASSERT_POINTER(config);
    *config = GlobalWorkflowApp ? GlobalWorkflowApp->Config : nullptr;
    return *config ? 1 : 0;
}

int64_t WorkflowApp_GetConfig(const char* path, const char* defaultValue, char* buffer, int32_t capacity) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    if (!GlobalWorkflowApp || !GlobalWorkflowApp->Config) return 0;
    Dictionary* holder = nullptr;
    DictionaryItem* item = nullptr;
    if (!Dictionary_ItemFindByPath(GlobalWorkflowApp->Config, path, &holder, &item)) {
        String_CopyLength(buffer, defaultValue ? defaultValue : "", capacity);
        return 1;
    }
    uint32_t type = DICTIONARY_TYPE_UNKNOWN;
    Dictionary_ItemGetType(holder, item, &type);
    if (type == DICTIONARY_TYPE_BOOLEAN) {
        uint32_t flag = 0;
        Dictionary_ItemGetBoolean(holder, item, &flag);
        String_CopyLength(buffer, flag ? "true" : "false", capacity);
        return 1;
    }
    if (type == DICTIONARY_TYPE_LIST || type == DICTIONARY_TYPE_DICTIONARY) return 1;
    const char* bytes = nullptr;
    int32_t length = 0;
    Dictionary_ItemGetBufferPtr(holder, item, &bytes, &length);
    if (!bytes || length <= 0) return 1;
    // The value may hold zeros; only its text up to the first one is a configuration value.
    char* text = static_cast<char*>(Memory_AllocZero(length + 1));
    memcpy(text, bytes, length);
    WorkflowApp_ConvertFromEntitizedString(text, buffer, capacity);
    Memory_Free(text, length + 1);
    return 1;
}

int64_t WorkflowApp_GetConfigBoolean(const char* path, uint32_t defaultValue, uint32_t* value) {
    ASSERT_POINTER(value);
    *value = defaultValue;
    if (!GlobalWorkflowApp) return 0;
    char text[64];
    WorkflowApp_GetConfig(path, "", text, sizeof(text));
    int64_t decoded = defaultValue;
    String_DecodeBoolean(text, &decoded, defaultValue);
    *value = decoded ? 1 : 0;
    return 1;
}

int64_t WorkflowApp_ConfigDictionary_ItemValueChanged(Dictionary*, DictionaryItem*, void* context, const char* path,
                                                      const char*, uint32_t) {
    WorkflowApp* app = static_cast<WorkflowApp*>(context);
    if (!app || !path) return 0;
    char value[8192];
    const char* bytes = nullptr;
    int32_t length = 0;
    if (!Dictionary_GetBufferPtrByPath(app->Config, path, &bytes, &length) || !bytes) return 0;
    String_CopyLengthSafe(value, sizeof(value), bytes, length);
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_SetStringByKey(info, "key", path);
    Dictionary_SetStringByKey(info, "value", value);
    NotificationCenter_Fire("Config", "OptionChanged", reinterpret_cast<const char*>(app->Config), info);
    Dictionary_Release(&info);
    if (app->ConfigVerbose >= 1) Log_Debug("Config Changed - ['%js' = '%js']\n", path, value);
    return 1;
}

int64_t WorkflowApp_Notification_OnConfigOptionChanged(void*, const char*, const char*, const char*,
                                                       Dictionary* info) {
    const char* key = nullptr;
    const char* value = nullptr;
    if (!info || !Dictionary_GetStringPtrByKey(info, "key", &key) || !Dictionary_GetStringPtrByKey(info, "value", &value))
        return 0;
    return Interop_DispatchSetOption(key, value);
}

// ---- Macros -------------------------------------------------------------------------------------

int64_t WorkflowApp_AddMacro(const char* name, const char* value) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(GlobalWorkflowApp);
    Dictionary_SetStringByKey(GlobalWorkflowApp->Macros, name, value ? value : "");
    Dictionary_RemoveByKey(GlobalWorkflowApp->TemplateMacros, name);
    return 1;
}

int64_t WorkflowApp_AddTemplateMacro(const char* name, const char* value) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(GlobalWorkflowApp);
    Dictionary_SetStringByKey(GlobalWorkflowApp->Macros, name, value ? value : "");
    Dictionary_SetStringByKey(GlobalWorkflowApp->TemplateMacros, name, "");
    return 1;
}

int64_t WorkflowApp_GetMacroDictionaryHandle(Dictionary** macros) {
    ASSERT_POINTER(macros);
    *macros = GlobalWorkflowApp ? GlobalWorkflowApp->Macros : nullptr;
    return *macros ? 1 : 0;
}

int64_t WorkflowApp_ExpandKey(void*, const char* name, char*, char* value, int32_t capacity) {
    if (!value || capacity < 1) return 0;
    value[0] = 0;
    if (!name) return 0;
    if (String_CompareWithoutCase(name, "AppVersion")) {
        String_CopyLength(value, WorkflowApp_Version, capacity);
        return 1;
    }
    WorkflowApp* app = GlobalWorkflowApp;
    if (!app) return 0;
    if (String_CompareWithoutCase(name, "RestartArguments")) {
        String_CopyLength(value, app->RestartArguments, capacity);
        return 1;
    }
    const char* text = nullptr;
    if (!Dictionary_GetStringPtrByKey(app->Macros, name, &text)) {
        // An empty macro holds no text, and is still an answer.
        if (!Dictionary_ContainsKey(app->Macros, name)) return 0;
        text = "";
    }
    String_CopyLength(value, text ? text : "", capacity);
    return Dictionary_ContainsKey(app->TemplateMacros, name) ? STRING_EXPAND_TEMPLATE : 1;
}

int64_t WorkflowApp_ExpandString(const char* source, char* buffer, int32_t capacity) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    if (source != buffer) String_CopyLength(buffer, source, capacity);
    return String_Expand(buffer, capacity, GlobalWorkflowApp, WorkflowApp_ExpandKey);
}

int64_t WorkflowApp_ExpandDictionary(Dictionary* dict) {
    ASSERT_POINTER(dict);
    return String_ExpandDictionary(dict, GlobalWorkflowApp, WorkflowApp_ExpandKey);
}
