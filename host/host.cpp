// The host's start-up in a fixed module order, the branch by process role, the callbacks it
// hands to the engine and the skin, the switch filters and the shutdown in reverse order.
#include "host/host.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "core/certs/authenticate.h"
#include "core/certs/executable.h"
#include "core/formats/interop.h"
#include "core/formats/mime.h"
#include "core/formats/url.h"
#include "core/linux/platform.h"
#include "core/linux/platform_system.h"
#include "core/net/async_socket.h"
#include "core/net/proxy_resolver.h"
#include "core/net/socket.h"
#include "core/net/tls1.h"
#include "core/platform/async_file.h"
#include "core/platform/path.h"
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
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"
#include "core/web/web_get_cache.h"
#include "core/web/web_get_redirect.h"
#include "core/web/web_server.h"
#include "host/crash_report.h"
#include "host/host_command_line.h"
#include "host/host_outcome.h"
#include "host/host_web_browser.h"
#include "skin/localisation.h"
#include "skin/script_invoker.h"
#include "skin/skin_app.h"
#include "skin/skin_file.h"
#include "core/linux/gui/progress_window.h"
#include "skin/skin_request_handler.h"
#include "tasks/task_library.h"
#include "skin/web_browser.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_manager.h"


namespace {

constexpr const char* kLogName = "host.developer.log";
constexpr const char* kVersion = "6.2.42";
constexpr const char* kBoxTitle = "Host";
constexpr uint32_t kBoxError = 16;
constexpr uint32_t kDebugFlagFile = 2;
constexpr uint32_t kDebugFlagCmdline = 16;
// The log's own limit on a file name, with what it adds to it.
constexpr int32_t kLogPathSize = 1024;
constexpr int32_t kPathSize = 320;
constexpr int32_t kValueSize = 120;
constexpr int32_t kExpandSize = 8192;

constexpr const char* kHostSwitchFilterTable[] = {"cef",         "cefversion", "skinserver", "crashautosend", "crashid",
                                                  "crashreport", "crashsession", "devtools", "disablesecurity",
                                                  "elevated",    "ie",          "sslkeylogfile", "skin"};
// What a restarted copy must not inherit: its role and its link to the process that started it.
constexpr const char* kNotForRestart[] = {"debugfileid", "wfselfupdate", "wfendpoint", "wfworker"};

std::atomic<uint32_t> g_shutdownRequested{0};
std::atomic<int32_t> g_shutdownSignal{0};
bool g_developerTools = false;

bool IsSet(const char* name) { return CommandLine_IsFieldSet(nullptr, name) != 0; }

bool IsWorkerOrSelfUpdate() { return WorkflowApp_IsWorker() || WorkflowApp_IsSelfUpdate(); }

void ErrorBox(const char* key) { L10N_MessageBoxOverride(nullptr, key, kBoxTitle, kBoxError); }

// A role that could not start ends the process with code 1, unless something chose one already.
int64_t StartFailed() {
    if (!Debug_ExitCodeChosen()) Debug_SetExitCode(1);
    return 0;
}

// ---- Workflow documents answered from the skin --------------------------------------------------

struct WillLoadSink {
    char Header[kPathSize];
};

int64_t GetWorkflowRequestHeader(void*, const char*, char* buffer, int32_t capacity) {
    if (buffer && capacity > 0) buffer[0] = 0;
    return 0;
}

int64_t SetWorkflowResponse(void* context, const char* path, int32_t code, int64_t, int64_t length) {
    auto* sink = static_cast<WillLoadSink*>(context);
    const char* type = "application";
    const char* subtype = "octet-stream";
    MIME_Find(path ? path : "", &type, &subtype);
    const char* reason = WebServer_TranslateResponseCode(code);
    String_Print(sink->Header, sizeof(sink->Header), "HTTP/1.1 %d %s\r\nContent-Length: %d\r\nContent-Type: %s/%s\r\n",
                 code, reason ? reason : "", (int32_t)length, type ? type : "", subtype ? subtype : "");
    return code < 400 ? 1 : 0;
}

int64_t GetWorkflowResponseHeader(void* context, const char* name, const char* value) {
    auto* sink = static_cast<WillLoadSink*>(context);
    if (!name || String_CompareWithoutCase(name, "Pragma") || String_CompareWithoutCase(name, "Cache-Control") ||
        String_CompareWithoutCase(name, "Expires"))
        return 1;
    char line[kPathSize];
    String_Print(line, sizeof(line), "%s: %s\r\n", name, value ? value : "");
    String_CatLength(sink->Header, line, sizeof(sink->Header));
    return 1;
}

constexpr SkinHandler kWorkflowSink = {GetWorkflowRequestHeader, SetWorkflowResponse, GetWorkflowResponseHeader,
                                       nullptr};

bool StoreSkinDocument(const char* url, SkinFile* file, const char* header) {
    uint64_t size = 0;
    if (!SkinFile_GetFilesize(file, &size) || size >= (1ull << 31)) return false;
    WebGetCacheStore* store = nullptr;
    if (!WebGetCache_AddStore("workflow", &store) || !store) return false;
    WebGetCacheItem* item = nullptr;
    bool stored = false;
    if (WebGetCacheStore_AddItem(store, url, &item) && item) {
        WebGetCacheItem_SetMaxAge(item, 0x7FFFFFFFFFFFFFFFll);
        uint32_t written = 0;
        WebGetCacheItem_Write(item, header, (uint32_t)strlen(header), &written);
        WebGetCacheItem_Write(item, "\r\n", 2, &written);
        uint8_t chunk[8192];
        uint32_t read = 0;
        uint64_t left = size;
        stored = true;
        while (left > 0) {
            if (!SkinFile_Read(file, chunk, sizeof(chunk), &read) || read == 0) {
                stored = false;
                break;
            }
            WebGetCacheItem_Write(item, chunk, read, &written);
            left -= read < left ? read : left;
        }
        if (stored) WebGetCacheItem_Commit(item);
        else WebGetCacheItem_Invalidate(item);
        WebGetCacheItem_Release(&item);
    }
    WebGetCacheStore_Release(&store);
    return stored;
}

// ---- Self-update progress window -----------------------------------------------------------------

ProgressWindow* g_progressWindow = nullptr;

int64_t OnProgressStatus(void* window, const char*, const char*, const char*, Dictionary* info) {
    double progress = -1;
    if (info && Dictionary_GetFloat64ByPath(info, "overallProgress", &progress) && progress >= 0)
        ProgressWindow_SetProgress(static_cast<ProgressWindow*>(window), progress);
    return 1;
}

int64_t OnProgressComplete(void* window, const char*, const char*, const char*, Dictionary*) {
    NotificationCenter_RemoveObserver("Task", "Status", window, OnProgressStatus);
    NotificationCenter_RemoveObserver("WorkflowRun", "Complete", window, OnProgressComplete);
    if (window == g_progressWindow) ProgressWindow_Delete(&g_progressWindow);
    return 1;
}

// ---- Start-up steps -------------------------------------------------------------------------------

void SetEnvironmentMacros() {
    char environment[kValueSize] = "";
    Executable_GetInfoValue(nullptr, "Environment", environment, sizeof(environment));
    if (!environment[0]) return;
    WorkflowApp_AddMacro("BuildEnv", environment);
    const bool production = String_CompareWithoutCase(environment, "production") ||
                            String_CompareWithoutCase(environment, "prod") || String_CompareWithoutCase(environment, "live");
    WorkflowApp_AddMacro("StageEnv", production ? "" : environment);
}

// The skin a user names wins over the one bundled beside the program; a named skin that is
// missing is an error of its own, never silently replaced by another.
bool AttachSkin(const char* skinPath) {
    char path[kPathSize] = "";
    if (!CommandLine_GetFieldByName(nullptr, "skin", path, sizeof(path)) || !path[0]) {
        if (!SkinFile_Attach(skinPath)) return false;
        // A skin the user did not name is said, so that a forgotten or mistyped --skin is seen.
        if (Path_IsDirectory(skinPath) && !WorkflowApp_IsWorker())
            fprintf(stderr, "quarvelon-host: no --skin given: showing the skin beside the program, %s\n", skinPath);
        if (Path_IsDirectory(skinPath)) HostOutcome_SetSkinFolder(skinPath);
        return true;
    }
    char resolved[kPathSize] = "";
    if (Path_Resolve(path, resolved, sizeof(resolved)) && resolved[0]) String_CopyLength(path, resolved, sizeof(path));
    Path_FixSlash(path, sizeof(path), 0);
    if (!Path_Exists(path)) {
        Log_Error("Skin %s does not exist (--skin)\n", path);
        return false;
    }
    if (!Path_IsDirectory(path) && Executable_IsValid(path)) Executable_SetCurrentModuleAppPath(path);
    if (!SkinFile_Attach(path)) {
        Log_Error("Skin %s cannot be read: neither a folder nor a program with a skin (--skin)\n", path);
        return false;
    }
    if (Path_IsDirectory(path)) HostOutcome_SetSkinFolder(path);
    return true;
}

// Whether one of the ports the configuration lists can be bound on the loopback address now.
// A port held by another program would otherwise keep the start waiting 30 s for nothing.
bool ConfiguredPortsFree(char* listed, int32_t capacity) {
    listed[0] = 0;
    Dictionary* config = nullptr;
    Dictionary* ports = nullptr;
    if (!WorkflowApp_GetConfigHandle(&config) || !config ||
        !Dictionary_GetListByKey(config, kAppConfigWebServerListenPort, &ports) || !ports)
        return true;
    uint32_t count = 0;
    Dictionary_ItemGetCount(ports, &count);
    bool any = count == 0;
    for (uint32_t i = 0; i < count && !any; i++) {
        DictionaryItem* item = nullptr;
        int32_t port = 0;
        if (!Dictionary_ItemFindByIndex(ports, (int32_t)i, nullptr, &item) || !item ||
            !Dictionary_ItemGetInt32(ports, item, &port) || port < 0 || port > 65535)
            continue;
        String_PrintCat(listed, capacity, "%s%d", listed[0] ? ", " : "", port);
        if (port == 0) {
            any = true;
            break;
        }
        Socket* socket = nullptr;
        Socket_Create(&socket);
        const uint32_t loopback = 0x0100007F;
        if (socket && Socket_Open(socket, SOCKET_PROTOCOL_TCP) && Socket_Bind(socket, &loopback, (uint32_t)port))
            any = true;
        if (socket) Socket_Release(&socket);
    }
    return any;
}

// Crash reporting that was asked for but could not be installed (no private folder for dumps,
// no crash thread) is said in the log; the role still runs, since a missing crash report is no
// reason to refuse the user's work.
void StartCrashReporting() {
    if (!CrashReport_Init()) Log_Error("Crash reporting is not installed: a crash of this process leaves no report\n");
}

int64_t RunCrashReporter() {
    if (!IsSet("crashid")) {
        Log_Error("Crash report id not specified\n");
        return StartFailed();
    }
    char id[kPathSize] = "";
    char session[kPathSize] = "";
    CommandLine_GetFieldByName(nullptr, "crashid", id, sizeof(id));
    CommandLine_GetFieldByName(nullptr, "crashsession", session, sizeof(session));
    CrashReport_Offer(id, session, IsSet("crashautosend") ? 1 : 0);
    return 0;
}

int64_t StartWorkerRole() {
    StartCrashReporting();
    if (!Host_InitContent(1, 0)) return StartFailed();
    // Its workflows write into the local storage too: judged (and made) as the window's is.
    SkinApp_CreateLocalStorage();
    if (WorkflowApp_IsSelfUpdate()) {
        if (WorkflowApp_IsWorker()) {
            Log_Error("Misconfigured self-update process\n");
            return StartFailed();
        }
        ProgressDialog_Start("Host", "Host_SelfUpdating");
        Log_Info("Applying self-update\n");
        char name[kValueSize] = "";
        WorkflowApp_GetConfig(kAppConfigSelfUpdateWorkflow, "selfupdate.yaml", name, sizeof(name));
        char url[kExpandSize] = "";
        String_Print(url, sizeof(url), "{contentUrl}%s", name);
        WorkflowApp_ExpandString(url, url, sizeof(url));
        WorkflowManager_Add(url, nullptr, nullptr);
    }
    WebGet_WhitelistMakeImmutable();
    return SkinApp_Start(0);
}

int64_t StartUserInterfaceRole(uint32_t cefForced) {
    const WebBrowserInterface* nativeTable = nullptr;
    if (!SkinApp_CheckForSingleInstance(Host_PostCommandLineParams)) {
        // Said where a user sees it, and only what happened: a command line the running instance
        // took is not a failure; one it could not be given is.
        const int64_t handOver = Host_HandOverResult();
        if (handOver == SKINAPP_INFORM_FAILED) return StartFailed();
        fprintf(stderr, handOver == SKINAPP_INFORM_DELIVERED
                            ? "quarvelon-host: another instance of this skin runs already; it was handed this command line\n"
                            : "quarvelon-host: another instance of this skin runs already; this start ends\n");
        return 0;
    }
    if (!Host_PlatformInit(&nativeTable)) return StartFailed();
    uint32_t cefEnabled = cefForced;
    if (!cefForced) SkinApp_GetCEFEnabled(&cefEnabled);
    Dictionary* config = nullptr;
    Dictionary* external = nullptr;
    WorkflowApp_GetConfigHandle(&config);
    const bool hasExternal =
        config && Dictionary_GetDictionaryByPath(config, kAppConfigWebServerExternalPaths, &external) &&
        external;
    const uint32_t externalPaths = hasExternal ? 1 : 0;
    if (!Host_InitContent(cefEnabled, externalPaths)) return StartFailed();
    int32_t branch = 0;
    uint32_t nativeFallback = 0;
    SkinApp_GetCEFVersion(&branch);
    SkinApp_GetCEFNativeFallback(&nativeFallback);
    if (config) Dictionary_SetBooleanByPath(config, kAppConfigEnableDeveloperTools, g_developerTools ? 1 : 0);
    if (!Host_WebBrowserInit((int32_t)cefEnabled, branch, (int32_t)nativeFallback, nativeTable)) return StartFailed();
    StartCrashReporting();
    char windowConfig[kExpandSize] = "";
    WorkflowApp_GetConfig(kAppConfigStartupWindowConfig, "", windowConfig, sizeof(windowConfig));
    WorkflowApp_ExpandString(windowConfig, windowConfig, sizeof(windowConfig));
    SkinApp_CreateLocalStorage();
    char windowId[40] = "";
    // Without its first window the program would run on with nothing to show or to close.
    if (!SkinApp_OpenWindow(windowConfig, windowId, sizeof(windowId))) {
        // The skin has said at ERROR which file and why.
        Log_Info("The skin's first window (startupWindowConfig \"%s\") did not open: ending\n", windowConfig);
        return StartFailed();
    }
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_SetStringByKey(info, "skinWindow", windowId);
    char appId[40] = "";
    SkinApp_GetInstanceId(appId, sizeof(appId));
    NotificationCenter_FireAfterDelay("SkinApp", "OpenWindow", appId, 0, info);
    Dictionary_Release(&info);
    return SkinApp_Start(0);
}

} // namespace

// ---- Switch filters ---------------------------------------------------------------------------------

int64_t Host_ShouldRemoveSwitch(const char* name) {
    if (!name) return 0;
    for (const char* own : kHostSwitchFilterTable)
        if (String_Compare(name, own)) return 1;
    return 0;
}

int64_t Host_ShouldPassToChildRestart(const char* name) {
    if (!name) return 1;
    for (const char* dropped : kNotForRestart)
        if (String_Compare(name, dropped)) return 0;
    return 1;
}

int64_t Host_BuildRestartArguments(const char* commandLine, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity <= 0) return 0;
    buffer[0] = 0;
    int32_t count = 0;
    CommandLine_GetFieldCount(commandLine, &count);
    bool fits = true;
    for (int32_t i = 1; i < count; i++) {
        char field[HOST_FIELD_SIZE] = "";
        char name[HOST_FIELD_SIZE] = "";
        if (!CommandLine_GetField(commandLine, i, field, sizeof(field))) continue;
        CommandLine_GetFieldName(field, name, sizeof(name));
        if (!Host_ShouldPassToChildRestart(name)) continue;
        // A field cut short would hand the restarted copy a different switch: leave it out whole.
        const size_t separator = buffer[0] ? 1 : 0;
        if (strlen(buffer) + separator + strlen(field) >= (size_t)capacity) {
            fits = false;
            continue;
        }
        if (separator) String_CatLength(buffer, " ", capacity);
        String_CatLength(buffer, field, capacity);
    }
    return fits ? 1 : 0;
}

int64_t Host_AddElevatedSwitch(char* arguments, int32_t capacity) {
    ASSERT_POINTER(arguments);
    if (CommandLine_IsFieldSet(arguments, "elevated")) return 1;
    constexpr const char* kElevated = " --elevated";
    if (strlen(arguments) + strlen(kElevated) >= (size_t)capacity) return 0;
    String_CatLength(arguments, kElevated, capacity);
    return 1;
}

// ---- Callbacks ---------------------------------------------------------------------------------------

int64_t Host_GetExitCode(uint32_t* code) {
    ASSERT_POINTER(code);
    // A workflow run without a page to judge it decides the code when a signal reached it or it
    // failed.
    Host_SettleSignal();
    if (IsWorkerOrSelfUpdate()) HostOutcome_ApplyExitCode();
    return WorkflowApp_GetExitCode(code);
}

int64_t Host_IsRunning() { return SkinApp_IsRunning(); }

int64_t Host_Shutdown() {
    SkinApp_SetShutdown(1);
    return 1;
}

int64_t Host_ConsoleControlOverride() {
    // Called from a signal handler: nothing but the atomic store is safe here.
    g_shutdownRequested.store(1);
    return 1;
}

int64_t Host_SignalShutdown(int32_t signal) {
    int32_t none = 0;
    if (signal > 0) g_shutdownSignal.compare_exchange_strong(none, signal);
    g_shutdownRequested.store(1);
    return 1;
}

int32_t Host_ShutdownSignal() { return g_shutdownSignal.load(); }

int64_t Host_TakeShutdownRequest() { return g_shutdownRequested.exchange(0) ? 1 : 0; }

int64_t Host_ConfigLoadedCallback(void*, Dictionary* config) { return WorkflowApp_LoadConfigFromDictionary(config); }

int64_t Host_WebServerListenChangedCallback(void*, int32_t) {
    const char* url = SkinApp_GetContentUrl();
    WorkflowApp_AddMacro("#contentUrl", url ? url : "");
    if (WorkflowApp_IsWorker()) WorkflowApp_AddMacro("#remoteContentUrl", url ? url : "");
    return 1;
}

int64_t Host_WorkflowManagerWillLoadCallback(const char* url, void*) {
    const char* content = SkinApp_GetContentUrl();
    if (!url || !content || !content[0] || strncmp(url, content, strlen(content)) != 0) return 0;
    WillLoadSink sink = {};
    SkinFile* file = nullptr;
    const int64_t body = SkinHandler_GetResponse(url, 0, &sink, &kWorkflowSink, &file);
    if (!file) return 0;
    if (body == 1) StoreSkinDocument(url, file, sink.Header);
    SkinFile_Close(file);
    SkinFile_Release(&file);
    return body == 1 ? 1 : 0;
}

int64_t Host_InitContent(uint32_t cefEnabled, uint32_t externalPaths) {
    if (cefEnabled && !externalPaths) {
        const char* url = SkinApp_GetContentUrl();
        WorkflowApp_AddMacro("#contentUrl", url ? url : "");
    } else {
        char ports[kPathSize];
        if (!ConfiguredPortsFree(ports, sizeof(ports))) {
            Log_Error("Port %s on 127.0.0.1 is in use or cannot be bound (webServerListenPort in the skin's app.yaml)\n",
                      ports);
            return 0;
        }
        if (!SkinApp_StartWebServer(1)) {
            Log_Error("The skin's web server did not start listening on 127.0.0.1 within 30 s (webServerListenPort %s)\n",
                      ports[0] ? ports : "not set");
            return 0;
        }
    }
    char host[kPathSize] = "";
    const char* content = SkinApp_GetContentUrl();
    if (content && URL_ParseHostWithoutPort(content, host, sizeof(host)) && host[0]) WorkflowApp_AddHostname(host);
    const char* dev = SkinApp_GetDevServer();
    if (dev && dev[0] && !(content && String_Compare(dev, content)) && URL_ParseHostWithoutPort(dev, host, sizeof(host)) && host[0])
        WorkflowApp_AddHostname(host);
    return 1;
}

int64_t ProgressDialog_Start(const char* title, const char* text) {
    char titleText[kPathSize] = "";
    char bodyText[1024] = "";
    String_CopyLength(titleText, title ? title : "", sizeof(titleText));
    String_CopyLength(bodyText, text ? text : "", sizeof(bodyText));
    L10N_LocalizeString(titleText, sizeof(titleText));
    L10N_LocalizeString(bodyText, sizeof(bodyText));
    if (g_progressWindow) return 0;
    if (!ProgressWindow_Create(&g_progressWindow, titleText, bodyText) || !g_progressWindow) return 0;
    NotificationCenter_AddObserver("WorkflowRun", "Complete", g_progressWindow, OnProgressComplete);
    NotificationCenter_AddObserver("Task", "Status", g_progressWindow, OnProgressStatus);
    return 1;
}

// ---- Start-up --------------------------------------------------------------------------------------

int64_t Host_Init(const char* skinPath, uint32_t extraDebugFlags) {
    const char* commandLine = nullptr;
    CommandLine_Get(&commandLine);
    uint32_t flags = 0;
    Debug_BuildInitFlags(&flags, commandLine);
    flags |= extraDebugFlags;
    if (IsSet("cefversion") && !IsSet("no-sandbox")) flags = (flags & ~kDebugFlagFile) | kDebugFlagCmdline;

    // A log folder too long for the log file's name is said, and the log is kept from a file
    // rather than written under a bare name into whatever the current folder is. Another folder
    // named on the command line (--debugdir, --debugfile) replaces the log folder anyway.
    char logName[kLogPathSize] = "";
    char other[kPathSize] = "";
    const bool elsewhere = (flags & DEBUG_FLAG_DESKTOP_LOG) ||
                           (CommandLine_GetFieldByName(nullptr, "debugdir", other, sizeof(other)) && other[0]);
    if ((flags & kDebugFlagFile) && !elsewhere &&
        !HostCommandLine_GetLogFileName(kLogName, logName, sizeof(logName))) {
        Log_Error("The log folder under $XDG_STATE_HOME is too long for a log file's name of at most %d bytes: "
                  "no log file is written (--debugdir DIR names another folder)\n",
                  kLogPathSize - 1);
        flags &= ~kDebugFlagFile;
    }
    Debug_Init(kLogName, kVersion, flags);
    Platform_Init();
    Authenticate_Init();
    Thread_Init();
    Meter_Init();
    NotificationCenter_Init();
    Registry_Init();
    Socket_Init();
    WebGet_Init();
    EventQueue_Init();
    Interop_Init();
    Path_Init();
    Thread_SetUnhandledSignal(Host_PlatformMainThreadSignal);

    char executable[kPathSize] = "";
    Platform_GetModuleFilename(nullptr, executable, sizeof(executable));
    char skin[1024] = "";
    String_CopyLength(skin, skinPath && skinPath[0] ? skinPath : executable, sizeof(skin));

    uint32_t cefForced = 0;
    if (Path_Exists(executable) && !Executable_HasCertificate(executable)) {
        if (IsSet("disablesecurity")) WorkflowApp_SetSecurityEnabled(0);
        if (IsSet("cef")) cefForced = 1;
        if (IsSet("devtools")) g_developerTools = true;
    }
    uint32_t security = 1;
    WorkflowApp_GetSecurityEnabled(&security);
    if (!security) {
        char keyLog[kPathSize] = "";
        if (CommandLine_GetFieldByName(nullptr, "sslkeylogfile", keyLog, sizeof(keyLog)) && keyLog[0])
            TLS1_SetKeyLogPath(keyLog);
    }

    if (IsSet("cefversion") && IsSet("type")) {
        char version[kPathSize] = "";
        if (!CommandLine_GetFieldByName(nullptr, "cefversion", version, sizeof(version)) || !version[0]) return 0;
        return Host_WebBrowserInit(1, (int32_t)strtol(version, nullptr, 10), 0, nullptr) ? 1 : 0;
    }

    IOWorker_Init();
    AsyncFile_Init();
    AsyncSocket_Init();
    ProxyResolver_Init();
    L10N_Init();
    SkinFile_Init();
    Host_PlatformCheckForLegacyUpdates();

    Debug_ConsoleControlOverride([](int32_t signal) { Host_SignalShutdown(signal); });
    Host_PlatformInstallSignals();

    TaskLibrary_Register();
    WorkflowApp_InitMinimal(commandLine);
    WorkflowApp_SetWebRequestHandler([](WebGetRequest* r) -> uint32_t { return SkinApp_WebGetRequestQueue(r) ? 1 : 0; },
                                     [](WebGetRequest* r) -> uint32_t { return SkinApp_WebGetRequestRemove(r) ? 1 : 0; });
    WorkflowApp_AddHostname("127.0.0.1");
    SetEnvironmentMacros();

    WorkflowManager_Init();
    WorkflowManager_SetWillLoadCallback(nullptr, Host_WorkflowManagerWillLoadCallback);
    HostOutcome_Start();
    SkinApp_Init();
    SkinApp_SetConfigLoadedCallback(nullptr, Host_ConfigLoadedCallback);
    SkinApp_WebServerSetListenChangedCallback(nullptr, Host_WebServerListenChangedCallback);
    if (WorkflowApp_IsWorker()) SkinApp_SetAllowMultipleInstancesEnabled(0);

    char restart[HOST_RESTART_ARGUMENTS_SIZE] = "";
    Host_BuildRestartArguments(commandLine, restart, sizeof(restart));
    if (restart[0]) WorkflowApp_AppendRestartArguments(restart);

    if (!AttachSkin(skin)) {
        Log_Error("Failed to load the embedded skin resources\n");
        L10N_MessageBoxOverride(nullptr, "Unable to load skin", kBoxTitle, kBoxError);
        Host_AppRemove();
        return StartFailed();
    }

    Dictionary* config = nullptr;
    WorkflowApp_GetConfigHandle(&config);
    const int64_t configured = SkinApp_LoadConfig(config);
    if (IsSet("elevated")) {
        int32_t elevated = 0;
        if (!Platform_IsElevated(&elevated) || !elevated) {
            Log_Error("Failed to restart this application with elevated privileges\n");
            ErrorBox("Host_ElevationFail");
            Host_AppRemove();
            return StartFailed();
        }
    }
    if (!configured) {
        // A restart asked for by the configuration (requiresElevated) is not a failure.
        uint32_t restart = 0;
        WorkflowApp_GetRestart(&restart);
        if (!restart) Log_Error("The skin has no readable app.yaml (or app.json), or it does not parse\n");
        Host_AppRemove();
        return restart ? 0 : StartFailed();
    }

    WorkflowApp_InitInterop();
    Interop_Add(executable, SkinInterop_Init, SkinInterop_Remove, SkinInterop_CreateInstance, SkinInterop_SetOverride,
                SkinInterop_SetOption);

    if (CrashReport_IsReporting()) return RunCrashReporter();
    if (IsWorkerOrSelfUpdate()) return StartWorkerRole();
    return StartUserInterfaceRole(cefForced);
}

// ---- Shutdown -------------------------------------------------------------------------------------

int64_t Host_AppRemove() {
    if (!SkinApp_IsInit()) return 1;
    SkinApp_RemoveLocalStorage();
    SkinApp_Remove();
    uint32_t restart = 0;
    uint32_t restartElevated = 0;
    WorkflowApp_GetRestart(&restart);
    WorkflowApp_GetRestartElevated(&restartElevated);
    if (!restart && !restartElevated) WorkflowApp_ExpireLogs();
    WorkflowManager_Remove();
    uint32_t code = 0;
    char implode[kPathSize] = "";
    char path[kPathSize] = "";
    char arguments[HOST_RESTART_ARGUMENTS_SIZE] = "";
    WorkflowApp_GetExitCode(&code);
    WorkflowApp_GetImplodePath(implode, sizeof(implode));
    WorkflowApp_GetRestartPath(path, sizeof(path));
    WorkflowApp_GetRestartArguments(arguments, sizeof(arguments));
    HostOutcome_Stop();
    WorkflowApp_RemoveMinimal();
    Log_Info("Exit Code - %d\n", (int32_t)code);
    if (implode[0]) {
        Log_Info("Imploding %s\n", implode);
        Host_PlatformImplode(implode);
    }
    if (restart != 1 && restartElevated != 1) return 1;
    if (restartElevated == 1) Host_AddElevatedSwitch(arguments, sizeof(arguments));
    Log_Info("Restart as %s\n", restartElevated == 1 ? "elevated" : "invoker");
    Log_Debug("Restart executable - %s\n", path);
    Log_Debug("Restart arguments - %s\n", arguments);
    Host_PlatformRestart(path, arguments, restartElevated == 1 ? 1 : 2);
    return 1;
}

int64_t Host_Remove() {
    if (IsSet("cefversion") && IsSet("type")) {
        if (GlobalWebBrowserInterface) WebBrowser_Remove();
    } else {
        if (!CrashReport_IsReporting() && !IsWorkerOrSelfUpdate()) {
            if (GlobalWebBrowserInterface) WebBrowser_Remove();
            Host_PlatformRemove();
        }
        Host_AppRemove();
        SkinFile_Remove();
        L10N_Remove();
        ProxyResolver_Remove();
        AsyncSocket_Remove();
        AsyncFile_Remove();
        IOWorker_Remove();
    }
    Thread_SetUnhandledSignal(nullptr);
    Registry_Remove();
    Path_Remove();
    Interop_Remove();
    WebGet_Remove();
    NotificationCenter_Remove();
    Socket_Remove();
    Meter_Remove();
    Thread_Remove();
    Authenticate_Remove();
    EventQueue_Remove();
    Platform_Remove();
    CrashReport_Remove();
    Debug_Remove();
    return 1;
}
