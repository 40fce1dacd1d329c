// The skin application: the process-wide singleton that loads the skin's configuration, keeps
// its windows and its state from start to end, makes the content URL, hands the embedded data
// store to scripts, enforces a single running instance and owns the local-storage directory.
#pragma once

#include <cstdint>

struct Dictionary;
struct Stream;
struct SkinWindow;
struct WebGetRequest;

enum : uint32_t {
    SKINAPP_CLASS_ID = 0x836e6c01,
    SKINAPP_WINDOWLIST_CLASS_ID = 0x7abb5e59,
    SKINAPP_STATE_CREATED = 0,
    SKINAPP_STATE_STARTING = 1,
    SKINAPP_STATE_WAITFORSTART = 2,
    SKINAPP_STATE_RUNNING = 3,
    SKINAPP_STATE_FINISHED = 4,
    SKINAPP_PATH_SIZE = 320,
    SKINAPP_CONTENT_URL_SIZE = 48,
    SKINAPP_DEV_SERVER_SIZE = 8192,
    SKINAPP_URL_SIZE = 8192,
    SKINAPP_TYPE_NAME_SIZE = 320,
    SKINAPP_ID_SIZE = 40,
};

// fn(user, the parsed skin configuration), called by SkinApp_LoadConfig.
typedef int64_t (*SkinAppConfigLoadedFunc)(void* user, Dictionary* config);
// Hands this process's command line to the running instance: one of the answers below.
typedef int64_t (*SkinAppInformFunc)();
enum : int64_t {
    SKINAPP_INFORM_FAILED = 0,    // there was something to hand over and it did not arrive
    SKINAPP_INFORM_DELIVERED = 1, // the running instance has it
    SKINAPP_INFORM_NOTHING = 2,   // nothing of the command line is for the running instance
};
typedef int64_t (*SkinAppEnumerateWindowsFunc)(void* user, SkinWindow* window);

// ---- Life ------------------------------------------------------------------------------------
int64_t SkinApp_Init();
int64_t SkinApp_Remove();
int64_t SkinApp_IsInit();
int64_t SkinApp_GetInstanceId(char* buffer, int32_t capacity);
int64_t SkinApp_SetConfigLoadedCallback(void* user, SkinAppConfigLoadedFunc fn);
// Reads "app.json" (preferred, deprecated) or "app.yaml" from the skin into the configuration
// handle; 0 stops start-up.
int64_t SkinApp_LoadConfig(Dictionary* config);
// 0 means this process must end (another instance runs and was not ended).
int64_t SkinApp_CheckForSingleInstance(SkinAppInformFunc inform);
// Data a later instance sent: fires "SkinApp"/"NewCommandLine" after a delay with the text
// parsed as JSON as its information.
int64_t SkinApp_OnNewInstanceDataReceived(void* user, const char* text);
int64_t SkinApp_StartWebServer(uint32_t wait);
int64_t SkinApp_Start(uint32_t startServer);
// One main-loop tick; 0 once the application has finished.
int64_t SkinApp_Process();
int64_t SkinApp_ProcessWebServer();
int64_t SkinApp_IsRunning();

// ---- Content URL, dev server, macros, localisation ---------------------------------------------
const char* SkinApp_GetContentUrl();
int64_t SkinApp_IsContentUrl(const char* url);
int64_t SkinApp_IsDevServer(const char* url);
// 1 when the text is an origin ("scheme://host[:port]", nothing after it) that is the content
// server's or the development server's exactly: scheme, host and port. The one test of every
// route by which a page reaches native objects; "null", an empty text or a URL with a path is
// no origin.
int64_t SkinApp_IsSkinOrigin(const char* origin);
// Whether the skin web server offers its "instances/" routes (on unless a browser back end that
// carries its own bridge turned them off).
int64_t SkinApp_SetInstanceRoutes(uint32_t enabled);
uint32_t SkinApp_GetInstanceRoutes();
const char* SkinApp_GetDevServer();
int64_t SkinApp_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity);
int64_t SkinApp_ExpandString(const char* source, char* buffer, int32_t capacity);
int64_t SkinApp_LocalizeString(const char* source, char* buffer, int32_t capacity);
int64_t SkinApp_GetLanguage(char* buffer, int32_t capacity);
int64_t SkinApp_SetLanguage(const char* language);
int64_t SkinApp_GetCountry(char* buffer, int32_t capacity);
int64_t SkinApp_SetCountry(const char* country);
// The localisation loader: "locale/<name>.json" read from the skin.
int64_t SkinApp_L10NLoadCallback(void* user, const char* path, Dictionary* target);

// ---- Data store -------------------------------------------------------------------------------
// The buffer holds length bytes and a zero byte; free it with SkinApp_ReleaseDataStore.
int64_t SkinApp_GetDataStore(void* unused, uint8_t** buffer, uint32_t* length);
int64_t SkinApp_ReleaseDataStore(void* unused, uint8_t** buffer, uint32_t* length);
int64_t SkinApp_ShouldAuthenticateDataStore();
// With payload null only the check runs; otherwise the verified payload is loaded into it.
int64_t SkinApp_AuthenticateDataStore(Dictionary* payload, const uint8_t* data, uint32_t length);

// ---- Windows ----------------------------------------------------------------------------------
int64_t SkinApp_OpenWindow(const char* configPath, char* instanceId, int32_t capacity);
int64_t SkinApp_OpenWindowWithUrl(const char* url, char* instanceId, int32_t capacity);
int64_t SkinApp_IsMainWindow(const char* instanceId);
// The window (null id: the main window) with a reference added.
int64_t SkinApp_GetWindowById(const char* instanceId, SkinWindow** window);
int64_t SkinApp_EnumerateWindows(void* user, SkinAppEnumerateWindowsFunc fn);
int64_t SkinApp_GetWindowUrl(const char* windowId, Dictionary* windowConfig, char* url, int32_t capacity);
// Queues the closing of every window (last to first) on the main event queue.
int64_t SkinApp_CloseAllWindows();

// ---- Local storage ----------------------------------------------------------------------------
int64_t SkinApp_CreateLocalStorage();
int64_t SkinApp_RemoveLocalStorage();
int64_t SkinApp_SetRemoveLocalStorage(uint32_t flag);
int64_t SkinApp_GetRemoveLocalStorage(uint32_t* flag);

// ---- Flags ------------------------------------------------------------------------------------
int64_t SkinApp_SetAllowMultipleInstancesEnabled(uint32_t flag);
int64_t SkinApp_SetAllowMultipleWindows(uint32_t flag);
int64_t SkinApp_SetShutdown(uint32_t flag);
int64_t SkinApp_GetCEFEnabled(uint32_t* value);
int64_t SkinApp_GetCEFVersion(int32_t* value);
int64_t SkinApp_GetCEFNativeFallback(uint32_t* value);

// ---- Web server pass-throughs (0 while there is no server) ------------------------------------
typedef int64_t (*SkinAppListenChangedFunc)(void* user, int32_t port);
int64_t SkinApp_WebServerSetListenChangedCallback(void* user, SkinAppListenChangedFunc fn);
int64_t SkinApp_WebServerSetUseThread(uint32_t flag);
int64_t SkinApp_WebServerSetEnableChildAccess(int32_t steps);
int64_t SkinApp_WebServerIsOn(uint32_t* flag);
int64_t SkinApp_WebServerSetBlockQuarterTime(int32_t seconds);
int64_t SkinApp_WebServerGetBlockStateForTest(int32_t port, uint32_t* flags);
// A create request's body, read from the stream's start as JSON: "typename" (320 bytes) and
// "window" (40) are needed, "instanceId" (40) is taken when present.
int64_t SkinApp_ParseCreateInstance(Stream* stream, char* typeName, char* windowId, char* instanceId);

// ---- In-process requests for the content URL (the table exists once started) -----------------------
// Takes a request for the content URL's host (once, with a reference added); 0 for any other.
int64_t SkinApp_WebGetRequestQueue(WebGetRequest* request);
// Drops the request and what answers it; 0 when it was not taken.
int64_t SkinApp_WebGetRequestRemove(WebGetRequest* request);

// A switch the host drops from the command line it hands to a running instance.
int64_t Skin_ShouldRemoveSwitch(const char* name);

// ---- Script class "QVR.SkinApp" ----------------------------------------------------------------
int64_t SkinApp_Invoke(void* unused, Dictionary* request, Dictionary* response);
