// The skin application singleton: configuration, state machine, windows, content URL, data store,
// single instance and local storage. Everything here runs on the main thread.
#include "skin/skin_app.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "core/certs/authenticate.h"
#include "core/certs/executable.h"
#include "core/certs/jws.h"
#include "core/formats/base32.h"
#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/formats/mime.h"
#include "core/formats/url.h"
#include "core/formats/yaml.h"
#include "core/linux/platform.h"
#include "core/linux/platform_private_directory.h"
#include "core/linux/platform_singleton.h"
#include "core/platform/path.h"
#include "core/platform/stream.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/hash_table.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "core/web/async_http.h"
#include "core/web/web_get_request.h"
#include "skin/linux/skin_app_instances.h"
#include "skin/localisation.h"
#include "skin/skin_app_internal.h"
#include "skin/skin_file.h"
#include "skin/skin_web_server.h"
#include "skin/skin_window.h"
#include "workflow/workflow_app.h"

namespace {

struct WindowNode {
    SkinWindow* Window;
    WindowNode* Next;
    WindowNode* Previous;
};

struct WindowList {
    uint32_t ClassId;
    WindowNode* Head;
    WindowNode* Tail;
    uint32_t Count;
};

} // namespace

struct SkinApp {
    Class Header;
    SkinWebServer* WebServer;
    Dictionary* Config;
    HashTable* Requests; // WebGetRequest -> the SkinFile answering it (null until set up)
    uint32_t Processing;
    uint32_t State;
    uint32_t CefEnabled;
    int32_t CefVersion;
    uint32_t CefNativeFallback;
    uint32_t SingleInstanceEnabled;
    uint32_t MultipleWindows;
    uint32_t RemoveLocalStorage;
    char LocalStoragePath[SKINAPP_PATH_SIZE];
    uint32_t WindowModuleStarted;
    WindowList Windows;
    SkinAppConfigLoadedFunc ConfigLoaded;
    void* ConfigLoadedUser;
};

namespace {

SkinApp* GlobalSkinApp = nullptr;
uint32_t GlobalShutdown = 0;
char GlobalContentUrl[SKINAPP_CONTENT_URL_SIZE];
// Read by the web server's pass, set once at start-up by the browser back end.
std::atomic<uint32_t> GlobalInstanceRoutes{1};
char GlobalDevServer[SKINAPP_DEV_SERVER_SIZE];
bool GlobalDevServerRead = false;

constexpr const char kDefaultName[] = "Quarvelon Host";
constexpr const char kCaption[] = "Host";
constexpr uint32_t kBoxError = 16;
// The largest skin document (configuration, window configuration, locale file) read into memory.
constexpr uint32_t kMaxDocumentSize = 16u << 20;

int64_t MessageBox(const char* key, uint32_t type) {
    return L10N_MessageBoxOverride(nullptr, key, kCaption, type);
}

// ---- Skin documents --------------------------------------------------------------------------

enum class Format { Json, Yaml, None };

constexpr int32_t kParserWordsSize = 256;

// Reads a skin file whole; 1 read, 0 not opened, -1 a read failure or a file too large.
int64_t ReadWhole(const char* path, void** data, uint32_t* length) {
    *data = nullptr;
    *length = 0;
    SkinFile* file = nullptr;
    SkinFile_Create(&file);
    if (!SkinFile_Open(file, path)) {
        SkinFile_Release(&file);
        return 0;
    }
    uint64_t size = 0;
    SkinFile_GetFilesize(file, &size);
    int64_t result = -1;
    if (size < kMaxDocumentSize) {
        const uint32_t capacity = (uint32_t)size + 1;
        uint8_t* buffer = static_cast<uint8_t*>(Memory_Alloc(capacity));
        uint32_t used = 0;
        bool failed = false;
        while (used < (uint32_t)size) {
            uint32_t got = 0;
            const int64_t more = SkinFile_Read(file, buffer + used, (uint32_t)size - used, &got);
            used += got;
            if (!more) break;
            if (got == 0) {
                failed = true;
                break;
            }
        }
        if (failed || used != (uint32_t)size) {
            Memory_Free(buffer, capacity);
        } else {
            buffer[used] = 0;
            *data = buffer;
            *length = used;
            result = 1;
        }
    }
    SkinFile_Release(&file);
    return result;
}

int64_t FreeWhole(void* data, uint32_t length) {
    if (data) Memory_Free(data, length + 1);
    return 1;
}

// The first line a parser says while it parses, without its class prefix: why it refused.
struct ParserWords {
    char Text[kParserWordsSize];
};

int64_t KeepParserWords(void* user, const char* format, ...) {
    char text[kParserWordsSize * 2];
    va_list args;
    va_start(args, format);
    String_VPrint(text, (int32_t)sizeof(text), format, args);
    va_end(args);
    auto* words = static_cast<ParserWords*>(user);
    if (words && !words->Text[0]) {
        const char* message = strstr(text, " - ");
        String_CopyLength(words->Text, message ? message + 3 : text, (int32_t)sizeof(words->Text));
        size_t length = strlen(words->Text);
        while (length > 0 && (words->Text[length - 1] == '\n' || words->Text[length - 1] == '\r'))
            words->Text[--length] = 0;
    }
    return ClassPrint_DefaultCallback(nullptr, "%s", text);
}

// "7:10: Unexpected node" from a parser's "Unexpected node [@ 7:10]" (or "[x @ 7:10]", x being
// what it found); the words as they are when they name no position.
void PositionFirst(const char* words, char* buffer, int32_t capacity) {
    String_CopyLength(buffer, words, capacity);
    const char* open = strrchr(words, '[');
    const char* close = open ? strchr(open, ']') : nullptr;
    const char* at = open ? (const char*)memchr(open, '@', (size_t)(close ? close - open : 0)) : nullptr;
    at = at ? at + 1 : (open ? open + 1 : nullptr);
    if (!close || !at) return;
    char* end = nullptr;
    const long line = strtol(at, &end, 10);
    if (end == at || *end != ':') return;
    const char* columnText = end + 1;
    const long column = strtol(columnText, &end, 10);
    if (end == columnText || end != close) return;
    int32_t whatLength = (int32_t)(open - words);
    while (whatLength > 0 && words[whatLength - 1] == ' ') whatLength--;
    String_Print(buffer, capacity, "%ld:%ld: %.*s", line, column, whatLength, words);
}

// A skin document that cannot be used, said at ERROR with its place: a folder skin's file by
// its path, a program's skin by the program.
void ReportDocument(const char* name, const char* what) {
    char root[SKINAPP_PATH_SIZE] = "";
    SkinFile_GetRoot(root, sizeof(root));
    const size_t length = strlen(root);
    if (length > 0 && root[length - 1] == '/') Log_Error("%s%s%s\n", root, name, what);
    else Log_Error("%s%s (in the skin of %s)\n", name, what, root[0] ? root : "this program");
}

// Parses the document into target; 1 when the whole of it parsed. A format other than JSON or
// YAML leaves target empty. The parser's reason goes to words when given.
bool Parse(Format format, const void* data, uint32_t length, Dictionary* target, ParserWords* words = nullptr) {
    int64_t result = 0;
    if (format == Format::Json) {
        JSON* json = nullptr;
        JSON_Create(&json);
        if (words) JSON_SetPrintCallback(json, words, KeepParserWords);
        JSON_SetDictionaryHandle(json, target);
        result = JSON_LoadBuffer(json, data, length);
        JSON_SetDictionaryHandle(json, nullptr);
        JSON_Release(&json);
    } else if (format == Format::Yaml) {
        YAML* yaml = nullptr;
        YAML_Create(&yaml);
        if (words) YAML_SetPrintCallback(yaml, words, KeepParserWords);
        YAML_SetDictionaryHandle(yaml, target);
        result = YAML_LoadBuffer(yaml, data, length);
        YAML_SetDictionaryHandle(yaml, nullptr);
        YAML_Release(&yaml);
    } else {
        return true;
    }
    return result == 1;
}

// The root container of a parsed document, or null when its top is not a dictionary.
Dictionary* DocumentRoot(Dictionary* document) {
    uint32_t count = 0;
    Dictionary_ItemGetCount(document, &count);
    if (count == 0) return document;
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(document, &root);
    if (!root || root == document) return nullptr;
    DictionaryItem* parent = nullptr;
    Dictionary* holder = nullptr;
    uint32_t type = 0;
    Dictionary_GetParent(root, &holder, &parent);
    if (holder && parent) Dictionary_ItemGetType(holder, parent, &type);
    return type == DICTIONARY_TYPE_DICTIONARY ? root : nullptr;
}

uint32_t ConfigBoolean(Dictionary* config, const char* path, uint32_t fallback) {
    uint32_t value = fallback;
    if (!config || !Dictionary_GetBooleanByPath(config, path, &value)) return fallback;
    return value ? 1 : 0;
}

bool ConfigHas(Dictionary* config, const char* path) {
    Dictionary* holder = nullptr;
    DictionaryItem* item = nullptr;
    return config && Dictionary_ItemFindByPath(config, path, &holder, &item) && item;
}

// ---- Windows ---------------------------------------------------------------------------------

void Unlink(WindowList* list, WindowNode* node) {
    (node->Previous ? node->Previous->Next : list->Head) = node->Next;
    (node->Next ? node->Next->Previous : list->Tail) = node->Previous;
    list->Count--;
}

void Append(WindowList* list, SkinWindow* window) {
    WindowNode* node = static_cast<WindowNode*>(Memory_AllocZero(sizeof(WindowNode)));
    node->Window = window;
    node->Previous = list->Tail;
    (list->Tail ? list->Tail->Next : list->Head) = node;
    list->Tail = node;
    list->Count++;
}

void FreeNode(WindowNode* node) {
    if (node->Window) SkinWindow_Release(&node->Window);
    Memory_Free(node, sizeof(WindowNode));
}

bool WindowHasId(SkinWindow* window, const char* id) {
    char own[SKINAPP_CONTENT_URL_SIZE];
    SkinWindow_GetInstanceId(window, own, sizeof(own));
    return id && String_Compare(own, id);
}

void CloseAllEvent(void* instance, void*) {
    SkinApp* app = static_cast<SkinApp*>(instance);
    if (app != GlobalSkinApp || !app) return;
    for (WindowNode* node = app->Windows.Tail; node;) {
        WindowNode* previous = node->Previous;
        SkinWindow_Close(node->Window);
        node = previous;
    }
}

int64_t QueueCloseAll(SkinApp* app) {
    EventQueue_Add(nullptr, app, nullptr, 0, CloseAllEvent);
    return 1;
}

int64_t IsMainWindowById(const char* id) {
    return SkinApp_IsMainWindow(id);
}

int64_t LocalizeInPlace(char* text, int32_t capacity) {
    return L10N_LocalizeString(text, capacity);
}

const SkinWindowAppInterface kWindowInterface = {
    SkinApp_ExpandString, SkinApp_GetWindowUrl, IsMainWindowById, LocalizeInPlace, ReadWhole, FreeWhole,
};

// ---- Notifications ---------------------------------------------------------------------------

int64_t OnShutdown(void* user, const char*, const char*, const char*, Dictionary* info) {
    SkinApp* app = static_cast<SkinApp*>(user);
    if (app != GlobalSkinApp || !app || !info) return 1;
    uint32_t flag = 0;
    if (!Dictionary_GetBooleanByKey(info, "force", &flag) || !flag) return 1;
    if (Dictionary_GetBooleanByKey(info, "removeLocalStorage", &flag)) app->RemoveLocalStorage = flag ? 1 : 0;
    if (Dictionary_GetBooleanByKey(info, "restart", &flag)) WorkflowApp_SetRestart(flag);
    if (Dictionary_GetBooleanByKey(info, "restartElevated", &flag)) WorkflowApp_SetRestartElevated(flag);
    const char* text = nullptr;
    // A restart of a program that is refused (a location nobody named) is no restart at all, not
    // one of this program in its place.
    if (Dictionary_GetStringPtrByKey(info, "restartPath", &text) && text && !WorkflowApp_SetRestartPath(text)) {
        WorkflowApp_SetRestart(0);
        WorkflowApp_SetRestartElevated(0);
    }
    if (Dictionary_GetStringPtrByKey(info, "restartArguments", &text) && text && !WorkflowApp_SetRestartArguments(text)) {
        WorkflowApp_SetRestart(0);
        WorkflowApp_SetRestartElevated(0);
    }
    if (Dictionary_GetBooleanByKey(info, "selfUpdate", &flag) && flag)
        WorkflowApp_AppendRestartArguments("--debugfileid=selfupdate --wfselfupdate");
    return QueueCloseAll(app);
}

int32_t OnNewInstanceData(void* user, const char* data, int32_t length) {
    if (!data || length < 0) return 0;
    // The sender's bytes need not be terminated; the handler takes text.
    char* text = static_cast<char*>(Memory_Alloc(length + 1));
    memcpy(text, data, (size_t)length);
    text[length] = 0;
    const int64_t result = SkinApp_OnNewInstanceDataReceived(user, text);
    Memory_Free(text, length + 1);
    return (int32_t)result;
}

// ---- Single instance -------------------------------------------------------------------------

int32_t LockTimeout(Dictionary* config) {
    int64_t seconds = 1;
    if (config && !Dictionary_GetInt64ByPath(config, kAppConfigSingleInstanceTimeout, &seconds)) seconds = 1;
    if (seconds < 0) seconds = 0;
    // A day is far beyond any real wait; the cap keeps the product within 32 bits.
    if (seconds > 86400) seconds = 86400;
    return (int32_t)(seconds * 1000);
}

} // namespace

// ---- Life --------------------------------------------------------------------------------------

int64_t SkinApp_Init() {
    if (GlobalSkinApp) return 1;
    SkinApp* app = static_cast<SkinApp*>(Memory_AllocZero(sizeof(SkinApp)));
    app->Header.ClassId = SKINAPP_CLASS_ID;
    app->Header.RefCount = 1;
    Class_GenerateInstanceIdReal(app);
    Class_TrackInstance(app, app->Header.InstanceId, nullptr);
    app->SingleInstanceEnabled = 1;
    app->MultipleWindows = 1;
    app->Windows.ClassId = SKINAPP_WINDOWLIST_CLASS_ID;
    SkinWebServer_Create(&app->WebServer);
    GlobalSkinApp = app;
    L10N_SetLoadCallback(nullptr, SkinApp_L10NLoadCallback);
    SkinWindow_SetAppInterface(&kWindowInterface);
    NotificationCenter_AddObserver("WorkflowApp", "Shutdown", app, OnShutdown);
    return 1;
}

int64_t SkinApp_Remove() {
    SkinApp* app = GlobalSkinApp;
    if (!app) return 0;
    if (app->WindowModuleStarted) SkinWindow_Remove();
    EventQueue_RemoveInstance(nullptr, app);
    NotificationCenter_RemoveObserver("WorkflowApp", "Shutdown", app, OnShutdown);
    if (app->Requests) {
        AsyncHTTP_SetWebRequestHandler(nullptr, nullptr);
        HashTableMember* member = nullptr;
        while (HashTable_MemberGetFirst(app->Requests, &member) && member) {
            const void* key = nullptr;
            HashTable_MemberGetKey(app->Requests, member, &key);
            // The member stores the pointer's value as its key bytes.
            WebGetRequest* request = nullptr;
            memcpy(&request, key, sizeof(request));
            SkinApp_WebGetRequestRemove(request);
        }
        HashTable_Delete(&app->Requests);
    }
    if (app->WebServer) SkinWebServer_Delete(&app->WebServer);
    while (WindowNode* node = app->Windows.Head) {
        Unlink(&app->Windows, node);
        FreeNode(node);
    }
    SkinWindow_SetAppInterface(nullptr);
    L10N_SetLoadCallback(nullptr, nullptr);
    Class_UntrackInstance(app);
    GlobalSkinApp = nullptr;
    app->Header.ClassId = 0;
    Memory_Free(app, sizeof(SkinApp));
    Platform_SingletonEnd();
    return 1;
}

int64_t SkinApp_IsInit() {
    return GlobalSkinApp ? 1 : 0;
}

int64_t SkinApp_GetInstanceId(char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    if (!GlobalSkinApp) return 0;
    String_CopyLengthSafe(buffer, capacity, GlobalSkinApp->Header.InstanceId,
                          (int32_t)sizeof(GlobalSkinApp->Header.InstanceId));
    return 1;
}

int64_t SkinApp_SetConfigLoadedCallback(void* user, SkinAppConfigLoadedFunc fn) {
    if (!GlobalSkinApp) return 0;
    GlobalSkinApp->ConfigLoaded = fn;
    GlobalSkinApp->ConfigLoadedUser = user;
    return 1;
}

int64_t SkinApp_LoadConfig(Dictionary* config) {
    SkinApp* app = GlobalSkinApp;
    if (!app || !config) return 0;
    app->Config = config;
    Dictionary_SetBooleanByKey(config, kAppConfigAllowMultipleInstances, 0);
    Dictionary_SetStringByKey(config, kAppConfigName, kDefaultName);
    Dictionary_SetStringByKey(config, kAppConfigStartupWindowConfig, "main.json");
    Interop_SetConfigHandle(config);

    Dictionary* document = nullptr;
    Dictionary_Create(&document);
    Dictionary_SetCaseSensitive(document, 0);
    void* data = nullptr;
    uint32_t length = 0;
    Format format = Format::Json;
    int64_t read = ReadWhole("app.json", &data, &length);
    if (read == 1) {
        Log_Debug("Opening deprecated app config app.json. Consider migrating to app.yaml.\n");
    } else {
        format = Format::Yaml;
        read = ReadWhole("app.yaml", &data, &length);
    }
    if (read != 1) {
        Log_Print(LOG_LEVEL_INFO, "Unable to %s app config (app.json or app.yaml)\n", "open");
        Dictionary_Release(&document);
        return 0;
    }
    const bool parsed = Parse(format, data, length, document);
    FreeWhole(data, length);
    Dictionary* root = parsed ? DocumentRoot(document) : nullptr;
    if (!root) {
        Log_Print(LOG_LEVEL_INFO, "Unable to %s app config (app.%s)\n", "parse",
                  format == Format::Json ? "json" : "yaml");
        Dictionary_Release(&document);
        return 0;
    }
    if (app->ConfigLoaded) app->ConfigLoaded(app->ConfigLoadedUser, root);
    Dictionary_Release(&document);

    app->CefEnabled = ConfigBoolean(config, kAppConfigCefEnabled, 0);
    int32_t version = 0;
    app->CefVersion = Dictionary_GetInt32ByPath(config, kAppConfigCefVersion, &version) ? version : 0;
    app->CefNativeFallback = ConfigBoolean(config, kAppConfigCefNativeFallback, 0);

    if (ConfigBoolean(config, kAppConfigRequiresElevated, 0) && !WorkflowApp_IsElevated()) {
        WorkflowApp_SetRestartElevated(1);
        WorkflowApp_SetRestart(1);
        return 0;
    }
    if (ConfigBoolean(config, kAppConfigRequiresDataStore, 0)) {
        uint8_t* store = nullptr;
        uint32_t size = 0;
        Executable_GetDataStore(nullptr, &store, &size);
        const bool present = store && size > 0;
        const bool valid = present && SkinApp_AuthenticateDataStore(nullptr, store, size);
        Executable_ReleaseDataStore(nullptr, &store, &size);
        if (!valid) {
            Log_Error("Required embedded datastore is %s\n", present ? "expired and no longer valid" : "missing");
            MessageBox(present ? "Host_DataStoreExpired" : "Host_DataStoreMissing", kBoxError);
            return 0;
        }
    }
    Dictionary* ports = nullptr;
    if (app->WebServer && Dictionary_GetListByKey(config, kAppConfigWebServerListenPort, &ports) && ports) {
        SkinWebServer_ResetListenPort(app->WebServer);
        uint32_t count = 0;
        Dictionary_ItemGetCount(ports, &count);
        for (uint32_t i = 0; i < count; i++) {
            DictionaryItem* item = nullptr;
            int32_t port = 0;
            if (Dictionary_ItemFindByIndex(ports, (int32_t)i, nullptr, &item) && item &&
                Dictionary_ItemGetInt32(ports, item, &port) && port >= 0 && port <= 65535)
                SkinWebServer_AddListenPort(app->WebServer, (uint32_t)port);
        }
    }
    return 1;
}

// ---- Single instance ---------------------------------------------------------------------------

int64_t SkinApp_OnNewInstanceDataReceived(void*, const char* text) {
    SkinApp* app = GlobalSkinApp;
    if (!app || !text) return 0;
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, info);
    const int64_t parsed = JSON_LoadBuffer(json, text, (uint32_t)strlen(text));
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    Dictionary* root = parsed ? DocumentRoot(info) : nullptr;
    int64_t result = 0;
    if (root) {
        Dictionary* payload = nullptr;
        Dictionary_Create(&payload);
        Dictionary_Merge(payload, root, DICTIONARY_MERGE_OVERWRITE);
        result = NotificationCenter_FireAfterDelay("SkinApp", "NewCommandLine", app->Header.InstanceId, 0, payload);
        Dictionary_Release(&payload);
    }
    Dictionary_Release(&info);
    return result ? 1 : 0;
}

int64_t SkinApp_CheckForSingleInstance(SkinAppInformFunc inform) {
    SkinApp* app = GlobalSkinApp;
    if (!app) return 0;
    char name[SKINAPP_PATH_SIZE];
    String_CopyLength(name, kDefaultName, sizeof(name));
    if (app->Config) Dictionary_GetStringByPath(app->Config, kAppConfigName, name, sizeof(name));
    const uint32_t allowMultiple = ConfigBoolean(app->Config, kAppConfigAllowMultipleInstances, 0);
    if (!app->WindowModuleStarted) {
        SkinWindow_Init(name);
        app->WindowModuleStarted = 1;
    }
    if (!app->SingleInstanceEnabled || allowMultiple) return 1;

    const int32_t timeout = LockTimeout(app->Config);
    if (!Platform_Singleton(name, timeout)) {
        Platform_SingletonSetDataCallback(app, OnNewInstanceData);
        return 1;
    }
    Log_Print(LOG_LEVEL_INFO, "Another instance of this application is open (%s)\n", name);
    if (!ConfigBoolean(app->Config, kAppConfigKillOtherInstances, 0)) {
        Log_Print(LOG_LEVEL_INFO, "Locating window of opened instance of this application\n");
        const bool located = SkinWindow_Locate(name) != 0;
        if (located) Log_Print(LOG_LEVEL_INFO, "Focus sent to window of opened instance\n");
        // The command line goes over first: telling the user to close the other instance and
        // start again would be wrong once it has taken what this start was asked to do.
        const int64_t informed = inform ? inform() : SKINAPP_INFORM_NOTHING;
        if (informed == SKINAPP_INFORM_FAILED) Log_Error("Unable to inform another open instance\n");
        if (!located && informed != SKINAPP_INFORM_DELIVERED) {
            Log_Print(LOG_LEVEL_INFO, "Please close all instances of this application and rerun\n");
            MessageBox("Host_SingleInstance", 0);
        }
        return 0;
    }
    Log_Print(LOG_LEVEL_INFO, "Killing other open instances of this application\n");
    SkinApp_KillOtherInstances();
    if (Platform_Singleton(name, timeout)) {
        Log_Print(LOG_LEVEL_INFO, "Please close all instances of this application and rerun\n");
        MessageBox("Host_SingleInstance", 0);
        return 0;
    }
    Platform_SingletonSetDataCallback(app, OnNewInstanceData);
    return 1;
}

// ---- States --------------------------------------------------------------------------------------

int64_t SkinApp_StartWebServer(uint32_t wait) {
    SkinApp* app = GlobalSkinApp;
    if (!app) return 0;
    app->State = SKINAPP_STATE_STARTING;
    if (app->WebServer) SkinWebServer_Start(app->WebServer);
    if (!wait) return 1;
    const double start = Time_GetCurrent();
    while (app->State <= SKINAPP_STATE_STARTING && Time_GetCurrent() - start < 30.0) {
        // Without a server nothing can ever start: waiting would only delay the failure.
        if (!app->WebServer) break;
        if (!SkinApp_Process()) break;
        Platform_SleepMS(1);
    }
    if (app->State <= SKINAPP_STATE_STARTING) {
        Log_Error("Timeout waiting for webserver to start\n");
        MessageBox("Host_WebServerTimeout", kBoxError);
        return 0;
    }
    return app->State != SKINAPP_STATE_FINISHED ? 1 : 0;
}

int64_t SkinApp_Start(uint32_t startServer) {
    SkinApp* app = GlobalSkinApp;
    if (!app || app->State == SKINAPP_STATE_FINISHED) return 0;
    if (startServer) {
        if (app->State != SKINAPP_STATE_WAITFORSTART) {
            Debug_AbortInt(__FILE__, __LINE__,
                           "Assertion failed (StartServer == FALSE || GlobalSkinApp->State == "
                           "SKINAPP_STATE_WAITFORSTART)\nTried to start app class while not in waiting state");
            return 0;
        }
        app->State = SKINAPP_STATE_RUNNING;
        return 1;
    }
    app->State = SKINAPP_STATE_RUNNING;
    if (!app->Requests) {
        HashTable_Create(&app->Requests, sizeof(void*), 32);
        HashTable_SetKeyAssignCallback(app->Requests, nullptr, HashTable_PointerKeyAssign);
        HashTable_SetValueCallback(app->Requests, nullptr, HashTable_PointerValue);
        HashTable_SetCompareCallback(app->Requests, nullptr, HashTable_PointerCompare);
    }
    AsyncHTTP_SetWebRequestHandler(SkinApp_WebGetRequestQueueCallback, SkinApp_WebGetRequestRemoveCallback);
    return 1;
}

SkinWebServer* SkinApp_GetWebServerHandle() {
    return GlobalSkinApp ? GlobalSkinApp->WebServer : nullptr;
}

HashTable* SkinApp_GetRequestTable() {
    return GlobalSkinApp ? GlobalSkinApp->Requests : nullptr;
}

int64_t SkinApp_Process() {
    SkinApp* app = GlobalSkinApp;
    if (!app) return 0;
    if (app->Processing) return 1;
    app->Processing = 1;
    int64_t result = 1;
    SkinApp_ProcessWebServer();
    switch (app->State) {
    case SKINAPP_STATE_CREATED:
    case SKINAPP_STATE_WAITFORSTART:
        break;
    case SKINAPP_STATE_STARTING:
        if (app->WebServer && SkinWebServer_IsRunning(app->WebServer)) app->State = SKINAPP_STATE_WAITFORSTART;
        break;
    case SKINAPP_STATE_RUNNING:
        for (WindowNode* node = app->Windows.Head; node; node = node->Next) {
            if (SkinWindow_Process(node->Window)) continue;
            Unlink(&app->Windows, node);
            FreeNode(node);
            break;
        }
        if (app->Windows.Count == 0) {
            app->State = SKINAPP_STATE_FINISHED;
        } else if (GlobalShutdown) {
            GlobalShutdown = 0;
            QueueCloseAll(app);
        }
        break;
    case SKINAPP_STATE_FINISHED:
        result = 0;
        break;
    default:
        Log_Debug("Unknown state in app (%d)\n", (int32_t)app->State);
        break;
    }
    app->Processing = 0;
    return result;
}

int64_t SkinApp_IsRunning() {
    return GlobalSkinApp && GlobalSkinApp->State != SKINAPP_STATE_FINISHED ? 1 : 0;
}

// ---- Content URL, dev server, macros, localisation -----------------------------------------------

const char* SkinApp_GetContentUrl() {
    if (GlobalContentUrl[0]) return GlobalContentUrl;
    if (GlobalSkinApp && GlobalSkinApp->WebServer) {
        String_CopyLength(GlobalContentUrl, SkinWebServer_GetAddressPath(GlobalSkinApp->WebServer),
                          sizeof(GlobalContentUrl));
        if (GlobalContentUrl[0]) return GlobalContentUrl;
    }
    // Without a listening server the skin lives under a random host name of its own, which no
    // page elsewhere can guess.
    uint8_t random[20];
    Platform_CryptFill(random, sizeof(random));
    char encoded[64];
    uint32_t written = 0;
    Base32_Encode(random, sizeof(random), "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567", encoded, sizeof(encoded), &written);
    for (char* c = encoded; *c; c++)
        if (*c >= 'A' && *c <= 'Z') *c = (char)(*c + 32);
    String_CopyLength(GlobalContentUrl, "https://", sizeof(GlobalContentUrl));
    String_CatLength(GlobalContentUrl, encoded, sizeof(GlobalContentUrl));
    String_CatLength(GlobalContentUrl, ".skin/", sizeof(GlobalContentUrl));
    return GlobalContentUrl;
}

int64_t SkinApp_IsContentUrl(const char* url) {
    return url && URL_CompareHosts(url, SkinApp_GetContentUrl()) ? 1 : 0;
}

const char* SkinApp_GetDevServer() {
    if (!GlobalDevServerRead) {
        GlobalDevServerRead = true;
        GlobalDevServer[0] = 0;
        if (!Authenticate_Enabled() &&
            !CommandLine_GetFieldByName(nullptr, "devserver", GlobalDevServer, sizeof(GlobalDevServer)))
            GlobalDevServer[0] = 0;
    }
    return GlobalDevServer;
}

int64_t SkinApp_IsDevServer(const char* url) {
    const char* server = SkinApp_GetDevServer();
    return url && server[0] && URL_CompareHosts(url, server) ? 1 : 0;
}

int64_t SkinApp_IsSkinOrigin(const char* origin) {
    if (!origin || !origin[0]) return 0;
    // An Origin header is the origin and nothing else: a path, query or fragment after it means
    // the text came from somewhere else.
    const char* authority = strstr(origin, "://");
    if (!authority || authority[3 + strcspn(authority + 3, "/\\?#")] != 0) return 0;
    // A host name is at most 253 characters: a longer origin is no skin's.
    char given[320], skin[320];
    if (!URL_ParseOrigin(origin, given, (int32_t)sizeof(given))) return 0;
    if (URL_ParseOrigin(SkinApp_GetContentUrl(), skin, (int32_t)sizeof(skin)) && strcmp(given, skin) == 0) return 1;
    const char* server = SkinApp_GetDevServer();
    return server[0] && URL_ParseOrigin(server, skin, (int32_t)sizeof(skin)) && strcmp(given, skin) == 0 ? 1 : 0;
}

int64_t SkinApp_SetInstanceRoutes(uint32_t enabled) {
    GlobalInstanceRoutes.store(enabled ? 1u : 0u);
    return 1;
}

uint32_t SkinApp_GetInstanceRoutes() {
    return GlobalInstanceRoutes.load();
}

int64_t SkinApp_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity) {
    if (name && String_CompareWithoutCase(name, "ContentUrl") && !Authenticate_Enabled()) {
        const char* server = SkinApp_GetDevServer();
        if (server[0]) {
            if (capacity > 0) String_CopyLength(value, server, capacity);
            return 1;
        }
    }
    return WorkflowApp_ExpandKey(user, name, argument, value, capacity);
}

int64_t SkinApp_ExpandString(const char* source, char* buffer, int32_t capacity) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    if (source != buffer) String_CopyLength(buffer, source, capacity);
    return String_Expand(buffer, capacity, nullptr, SkinApp_ExpandKey);
}

int64_t SkinApp_LocalizeString(const char* source, char* buffer, int32_t capacity) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    if (source != buffer) String_CopyLength(buffer, source, capacity);
    return L10N_LocalizeString(buffer, capacity);
}

int64_t SkinApp_GetLanguage(char* buffer, int32_t capacity) {
    return L10N_GetLanguage(buffer, capacity);
}

int64_t SkinApp_SetLanguage(const char* language) {
    return language ? L10N_SetLanguage(language) : 0;
}

int64_t SkinApp_GetCountry(char* buffer, int32_t capacity) {
    return L10N_GetCountry(buffer, capacity);
}

int64_t SkinApp_SetCountry(const char* country) {
    return country ? L10N_SetCountry(country) : 0;
}

int64_t SkinApp_L10NLoadCallback(void*, const char* path, Dictionary* target) {
    if (!path || !target) return 0;
    void* data = nullptr;
    uint32_t length = 0;
    if (ReadWhole(path, &data, &length) != 1) return 0;
    Dictionary* document = nullptr;
    Dictionary_Create(&document);
    const bool parsed = Parse(Format::Json, data, length, document);
    FreeWhole(data, length);
    Dictionary* root = parsed ? DocumentRoot(document) : nullptr;
    if (root) Dictionary_Merge(target, root, DICTIONARY_MERGE_OVERWRITE);
    Dictionary_Release(&document);
    return root ? 1 : 0;
}

// ---- Data store ----------------------------------------------------------------------------------

int64_t SkinApp_ShouldAuthenticateDataStore() {
    Dictionary* config = GlobalSkinApp ? GlobalSkinApp->Config : nullptr;
    return ConfigHas(config, kAppConfigDataStorePublicKey) || ConfigHas(config, kAppConfigCertificateStoresDataStore) ? 1 : 0;
}

int64_t SkinApp_AuthenticateDataStore(Dictionary* payload, const uint8_t* data, uint32_t length) {
    if (!SkinApp_ShouldAuthenticateDataStore()) return 1;
    if (!data || length == 0) return 0;
    Dictionary* config = GlobalSkinApp->Config;
    CertStoreInterface* store = nullptr;
    bool keyStore = false;
    const char* keyName = nullptr;
    if (Dictionary_GetStringPtrByPath(config, kAppConfigDataStorePublicKey, &keyName) && keyName) {
        store = Authenticate_KeyStoreGet(keyName);
        keyStore = true;
    } else if (ConfigHas(config, kAppConfigDataStorePublicKey)) {
        return 0; // a key name of another type names no key
    } else {
        store = WorkflowApp_DataStoreGetCertStore();
    }
    if (!store) return 0;
    JWSClaims* claims = nullptr;
    JWSClaims_Create(&claims);
    JWSClaims_Add(claims, 1, JWSClaim_Exp);
    JWSClaims_Add(claims, 1, JWSClaim_Nbf);
    Dictionary* target = payload;
    if (!target) Dictionary_Create(&target);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, target);
    const int64_t result =
        JWS_Decode(json, claims, store, reinterpret_cast<const char*>(data), length, Authenticate_Enabled() ? 1 : 0);
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    if (!payload) Dictionary_Release(&target);
    JWSClaims_Release(&claims);
    if (keyStore) {
        Authenticate_KeyStoreRelease(&store);
    } else {
        WorkflowApp_DataStoreReleaseCertStore(store);
    }
    return result == 1 ? 1 : 0;
}

int64_t SkinApp_GetDataStore(void*, uint8_t** buffer, uint32_t* length) {
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    *buffer = nullptr;
    *length = 0;
    uint8_t* raw = nullptr;
    uint32_t size = 0;
    if (!Executable_GetDataStore(nullptr, &raw, &size) || !raw) return 0;
    if (!SkinApp_ShouldAuthenticateDataStore()) {
        uint8_t* copy = static_cast<uint8_t*>(Memory_Alloc(size + 1));
        memcpy(copy, raw, size);
        copy[size] = 0;
        *buffer = copy;
        *length = size;
        Executable_ReleaseDataStore(nullptr, &raw, &size);
        return 1;
    }
    Dictionary* payload = nullptr;
    Dictionary_Create(&payload);
    const int64_t valid = SkinApp_AuthenticateDataStore(payload, raw, size);
    Executable_ReleaseDataStore(nullptr, &raw, &size);
    if (!valid) {
        Log_Error("Failed to authenticate datastore (it is either not a JWS or has expired)\n");
        Dictionary_Release(&payload);
        return 0;
    }
    Dictionary* root = DocumentRoot(payload);
    Dictionary* chosen = root ? root : payload;
    uint32_t type = DICTIONARY_TYPE_DICTIONARY;
    Dictionary* data = nullptr;
    if (root && Dictionary_GetTypeByKey(root, "data", &type) &&
        (type == DICTIONARY_TYPE_LIST || type == DICTIONARY_TYPE_DICTIONARY) &&
        (type == DICTIONARY_TYPE_LIST ? Dictionary_GetListByKey(root, "data", &data)
                                      : Dictionary_GetDictionaryByKey(root, "data", &data)) &&
        data) {
        chosen = data;
    } else {
        type = DICTIONARY_TYPE_DICTIONARY;
    }
    // The writer gives the members of a container; the brackets say which kind it was.
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetMinify(json, 1);
    JSON_SetDictionaryHandle(json, chosen);
    uint32_t estimate = 0;
    JSON_SaveBufferEstimate(json, &estimate);
    const uint32_t capacity = estimate + 3;
    char* text = static_cast<char*>(Memory_AllocZero(capacity));
    const bool list = type == DICTIONARY_TYPE_LIST;
    text[0] = list ? '[' : '{';
    uint32_t written = 0;
    const int64_t saved = JSON_SaveBuffer(json, text + 1, estimate + 1, &written);
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    Dictionary_Release(&payload);
    if (!saved) {
        Memory_Free(text, capacity);
        return 0;
    }
    // A writer that already framed the container is taken as it is.
    if (written >= 2 && (text[1] == '[' || text[1] == '{')) {
        memmove(text, text + 1, written);
        text[written] = 0;
    } else {
        text[1 + written] = list ? ']' : '}';
        text[2 + written] = 0;
    }
    const uint32_t used = (uint32_t)strlen(text);
    // The caller frees length + 1 bytes: hand over a buffer of exactly that size.
    char* result = static_cast<char*>(Memory_Alloc(used + 1));
    memcpy(result, text, used + 1);
    Memory_Free(text, capacity);
    *buffer = reinterpret_cast<uint8_t*>(result);
    *length = used;
    return 1;
}

int64_t SkinApp_ReleaseDataStore(void*, uint8_t** buffer, uint32_t* length) {
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    if (*buffer) Memory_Free(*buffer, *length + 1);
    *buffer = nullptr;
    *length = 0;
    return 1;
}

// ---- Windows -------------------------------------------------------------------------------------

namespace {

int64_t OpenWithConfig(Dictionary* config, char* instanceId, int32_t capacity) {
    SkinApp* app = GlobalSkinApp;
    SkinWindow* window = nullptr;
    if (!SkinWindow_Create(&window) || !window) return 0;
    SkinWindow_GetInstanceId(window, instanceId, capacity);
    SkinWindow_LoadConfig(window, config);
    Append(&app->Windows, window);
    return 1;
}

} // namespace

int64_t SkinApp_OpenWindow(const char* configPath, char* instanceId, int32_t capacity) {
    ASSERT_POINTER(instanceId);
    if (capacity > 0) instanceId[0] = 0;
    SkinApp* app = GlobalSkinApp;
    if (!app || !configPath) return 0;
    if (!app->MultipleWindows && app->Windows.Count > 0) return 0;
    void* data = nullptr;
    uint32_t length = 0;
    const int64_t read = ReadWhole(configPath, &data, &length);
    if (read != 1) {
        Log_Debug("Unable to %s window config (%s)\n", "open", configPath);
        ReportDocument(configPath, read == 0 ? ": the window configuration is missing from the skin"
                                             : ": the window configuration cannot be read or is too large");
        return 0;
    }
    const char* type = nullptr;
    const char* subtype = nullptr;
    Format format = Format::None;
    if (MIME_Find(configPath, &type, &subtype) && subtype) {
        if (String_CompareWithoutCase(subtype, "json")) format = Format::Json;
        if (String_CompareWithoutCase(subtype, "x-yaml")) format = Format::Yaml;
    }
    Dictionary* document = nullptr;
    Dictionary_Create(&document);
    ParserWords words = {};
    const bool parsed = Parse(format, data, length, document, &words);
    FreeWhole(data, length);
    Dictionary* root = parsed ? DocumentRoot(document) : nullptr;
    if (!root) {
        Log_Print(LOG_LEVEL_INFO, "Unable to %s window config (%s)\n", "parse", configPath);
        char what[kParserWordsSize + 64];
        if (!parsed && words.Text[0]) {
            char positioned[kParserWordsSize + 32];
            PositionFirst(words.Text, positioned, sizeof(positioned));
            String_Print(what, sizeof(what), "%s%s", positioned[0] >= '0' && positioned[0] <= '9' ? ":" : ": ",
                         positioned);
        } else {
            String_Print(what, sizeof(what), ": the window configuration %s",
                         format == Format::None ? "is neither JSON nor YAML"
                         : parsed               ? "is not a dictionary"
                                                : "does not parse");
        }
        ReportDocument(configPath, what);
        Dictionary_Release(&document);
        return 0;
    }
    const int64_t result = OpenWithConfig(root, instanceId, capacity);
    Dictionary_Release(&document);
    if (!result) ReportDocument(configPath, ": no window could be made of it");
    return result;
}

int64_t SkinApp_OpenWindowWithUrl(const char* url, char* instanceId, int32_t capacity) {
    ASSERT_POINTER(instanceId);
    if (capacity > 0) instanceId[0] = 0;
    SkinApp* app = GlobalSkinApp;
    if (!app || !url) return 0;
    if (!app->MultipleWindows && app->Windows.Count > 0) return 0;
    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetStringByKey(config, kWindowConfigUrl, url);
    const int64_t result = OpenWithConfig(config, instanceId, capacity);
    Dictionary_Release(&config);
    return result;
}

int64_t SkinApp_IsMainWindow(const char* instanceId) {
    SkinApp* app = GlobalSkinApp;
    return app && app->Windows.Head && WindowHasId(app->Windows.Head->Window, instanceId) ? 1 : 0;
}

int64_t SkinApp_GetWindowById(const char* instanceId, SkinWindow** window) {
    ASSERT_POINTER(window);
    *window = nullptr;
    SkinApp* app = GlobalSkinApp;
    if (!app) return 0;
    for (WindowNode* node = app->Windows.Head; node; node = node->Next) {
        if (instanceId && !WindowHasId(node->Window, instanceId)) continue;
        SkinWindow_AddRef(node->Window);
        *window = node->Window;
        return 1;
    }
    return 0;
}

int64_t SkinApp_EnumerateWindows(void* user, SkinAppEnumerateWindowsFunc fn) {
    SkinApp* app = GlobalSkinApp;
    if (!app || !fn) return 0;
    for (WindowNode* node = app->Windows.Head; node; node = node->Next)
        if (!fn(user, node->Window)) break;
    return 1;
}

int64_t SkinApp_GetWindowUrl(const char* windowId, Dictionary* windowConfig, char* url, int32_t capacity) {
    ASSERT_POINTER(url);
    if (capacity < 1) return 0;
    url[0] = 0;
    if (windowConfig) Dictionary_GetStringByPath(windowConfig, kWindowConfigUrl, url, capacity);
    String_Expand(url, capacity, nullptr, SkinApp_ExpandKey);
    char query[SKINAPP_URL_SIZE];
    String_CopyLength(query, "window=", sizeof(query));
    String_CatLength(query, windowId ? windowId : "", sizeof(query));
    if (!URL_AppendQuery(url, capacity, query)) {
        String_CatLength(url, strchr(url, '?') ? "&" : "?", capacity);
        String_CatLength(url, query, capacity);
    }
    if (!Authenticate_Enabled()) {
        WorkflowApp_ExpandString("skinserver={urlQueryEncode:{contentUrl}}", query, sizeof(query));
        if (!URL_AppendQuery(url, capacity, query)) {
            String_CatLength(url, "&", capacity);
            String_CatLength(url, query, capacity);
        }
    }
    return 1;
}

int64_t SkinApp_CloseAllWindows() {
    return GlobalSkinApp ? QueueCloseAll(GlobalSkinApp) : 0;
}

// ---- Local storage -------------------------------------------------------------------------------

int64_t SkinApp_CreateLocalStorage() {
    SkinApp* app = GlobalSkinApp;
    if (!app) return 0;
    char* folder = app->LocalStoragePath;
    WorkflowApp_ExpandString("{LocalStorage}", folder, sizeof(app->LocalStoragePath));
    int32_t fd = -1, error = EINVAL;
    const char* reason = "not an absolute path";
    // A location left unexpanded or relative would be taken from whatever the current folder is.
    // The folder is reached and made by the private walk: no other user's folder or link on the
    // way, ours alone and closed to other writers.
    if (folder[0] == '/' && !strchr(folder, '{') && Platform_OpenPrivateDirectory(folder, 1, &fd, &error, &reason)) {
        Platform_Close(fd);
        return 1;
    }
    Log_Error("The local storage %s is refused (%s, %d): nothing is kept there, and what needs it fails\n",
              folder[0] ? folder : "{LocalStorage}", reason ? reason : "", error);
    Platform_SayFolderRefusal();
    // Nothing may be written there, nor erased at the end: the location has no value from here on,
    // so a text that names it keeps its token, which no file operation takes (never a stand-in
    // path, whose "../" would lead out of it); every surface that takes a path refuses it first,
    // and any path that reaches the refused folder by another name, naming the folder and why.
    String_ExpandRefuseFolder("LocalStorage", folder[0] ? folder : "{LocalStorage}", reason ? reason : "");
    folder[0] = 0;
    Dictionary* macros = nullptr;
    if (WorkflowApp_GetMacroDictionaryHandle(&macros) && macros)
        while (Dictionary_RemoveByKey(macros, "LocalStorage")) {
        }
    return 0;
}

namespace {

// The log's own limit on a file name, and the room it keeps in it for the date, process and
// thread it may add.
constexpr int32_t kLogNameSize = 1024;
constexpr int32_t kLogSuffixRoom = 64;

// Carries the log file out of the local storage about to be erased into the user's private
// temporary folder (0700, refused when another user made it), where it goes on under the same file
// name. The temporary folder itself is shared: a name there could be made first by another user,
// so the private one is used, and the file is copied from one folder's descriptor to the other's
// (never through a link; the copy takes the name in one step). Where that cannot be done the log
// stops writing to a file, said once: it is never moved to a bare name in the current folder.
void CarryLogOutOf(const char* storage, uint32_t flags) {
    char log[kLogNameSize + 1];
    if (!Log_GetFilename(log, sizeof(log)) || !log[0] || !String_CompareLengthWithoutCase(log, storage, (int32_t)strlen(storage)))
        return;
    char folder[kLogNameSize + 1];
    String_CopyLength(folder, log, sizeof(folder));
    char* slash = strrchr(folder, '/');
    const char* file = slash ? log + (slash - folder) + 1 : "";
    if (slash) slash[slash == folder ? 1 : 0] = 0;
    char temporary[kLogNameSize + 1];
    int32_t from = -1, to = -1, error = 0;
    const char* why = nullptr;
    const char* reason = nullptr;
    // Nothing is written to the file while it is carried.
    Debug_SetFlags(flags & ~(uint32_t)DEBUG_FLAG_FILE);
    if (folder[0] != '/' || !file[0])
        why = "its name is not a full path";
    else if (!Platform_GetSpecialPath(PLATFORM_PATH_PIPE_PATH, temporary, sizeof(temporary)) || temporary[0] != '/')
        why = "the private temporary folder cannot be had";
    else if (strlen(temporary) + strlen(file) + kLogSuffixRoom >= (size_t)kLogNameSize)
        why = "its name in the private temporary folder would be too long";
    else if (!Platform_OpenPrivateDirectory(temporary, 0, &to, &error, &reason) ||
             !Platform_OpenPrivateDirectory(folder, 0, &from, &error, &reason))
        why = reason ? reason : "a folder cannot be opened";
    else if (!Platform_CopyFileAt(from, file, to, file, 0) &&
             Platform_GetLastError() != PLATFORM_ERROR_ERRNO_BASE + ENOENT) // not yet written: nothing to carry
        why = "it cannot be copied";
    if (from >= 0) Platform_Close(from);
    if (to >= 0) Platform_Close(to);
    if (why) {
        Log_SetFilename("");
        Debug_SetFlags(flags & ~(uint32_t)(DEBUG_FLAG_FILE | DEBUG_FLAG_ERROR_FILE));
        Log_Error("The log file %s is not kept: it lies in the local storage that is erased, and %s; no log file is "
                  "written from here on\n",
                  log, why);
        // The walk's own reason: the folder that failed is named too.
        if (reason && why == reason) Platform_SayFolderRefusal();
        return;
    }
    char moved[kLogNameSize];
    String_Print(moved, sizeof(moved), "%s%s", temporary, file);
    // Its first open in the new place appends: the lines carried there are kept.
    Debug_SetFlags(flags | DEBUG_FLAG_APPEND);
    Log_SetFilename(moved);
}

} // namespace

int64_t SkinApp_RemoveLocalStorage() {
    SkinApp* app = GlobalSkinApp;
    if (!app || !app->RemoveLocalStorage) return 1;
    const char* path = app->LocalStoragePath;
    if (!path[0]) return 0;
    const uint32_t flags = Debug_Flags();
    if (flags & DEBUG_FLAG_FILE) CarryLogOutOf(path, flags);
    PlatformErrorCode error = {};
    return Path_EraseDirectory(path, 1, &error);
}

int64_t SkinApp_SetRemoveLocalStorage(uint32_t flag) {
    if (!GlobalSkinApp) return 0;
    GlobalSkinApp->RemoveLocalStorage = flag ? 1 : 0;
    return 1;
}

int64_t SkinApp_GetRemoveLocalStorage(uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = 0;
    if (!GlobalSkinApp) return 0;
    *flag = GlobalSkinApp->RemoveLocalStorage;
    return 1;
}

// ---- Flags -----------------------------------------------------------------------------------------

int64_t SkinApp_SetAllowMultipleInstancesEnabled(uint32_t flag) {
    if (!GlobalSkinApp) return 0;
    GlobalSkinApp->SingleInstanceEnabled = flag ? 1 : 0;
    return 1;
}

int64_t SkinApp_SetAllowMultipleWindows(uint32_t flag) {
    if (!GlobalSkinApp) return 0;
    GlobalSkinApp->MultipleWindows = flag ? 1 : 0;
    return 1;
}

int64_t SkinApp_SetShutdown(uint32_t flag) {
    GlobalShutdown = flag ? 1 : 0;
    return 1;
}

int64_t SkinApp_GetCEFEnabled(uint32_t* value) {
    ASSERT_POINTER(value);
    *value = GlobalSkinApp ? GlobalSkinApp->CefEnabled : 0;
    return GlobalSkinApp ? 1 : 0;
}

int64_t SkinApp_GetCEFVersion(int32_t* value) {
    ASSERT_POINTER(value);
    *value = GlobalSkinApp ? GlobalSkinApp->CefVersion : 0;
    return GlobalSkinApp ? 1 : 0;
}

int64_t SkinApp_GetCEFNativeFallback(uint32_t* value) {
    ASSERT_POINTER(value);
    *value = GlobalSkinApp ? GlobalSkinApp->CefNativeFallback : 0;
    return GlobalSkinApp ? 1 : 0;
}

// ---- Web server pass-throughs ------------------------------------------------------------------------

int64_t SkinApp_WebServerSetListenChangedCallback(void* user, SkinAppListenChangedFunc fn) {
    SkinWebServer* server = SkinApp_GetWebServerHandle();
    return server ? SkinWebServer_SetListenChangedCallback(server, user, fn) : 0;
}

int64_t SkinApp_WebServerSetUseThread(uint32_t flag) {
    SkinWebServer* server = SkinApp_GetWebServerHandle();
    return server ? SkinWebServer_SetUseThread(server, flag) : 0;
}

int64_t SkinApp_WebServerSetEnableChildAccess(int32_t steps) {
    SkinWebServer* server = SkinApp_GetWebServerHandle();
    return server ? SkinWebServer_SetEnableChildAccess(server, steps) : 0;
}

int64_t SkinApp_WebServerIsOn(uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = 0;
    SkinWebServer* server = SkinApp_GetWebServerHandle();
    return server ? SkinWebServer_IsOn(server, flag) : 0;
}

int64_t SkinApp_WebServerSetBlockQuarterTime(int32_t seconds) {
    SkinWebServer* server = SkinApp_GetWebServerHandle();
    return server ? SkinWebServer_BlockSetQuarterTime(server, seconds) : 0;
}

int64_t SkinApp_WebServerGetBlockStateForTest(int32_t port, uint32_t* flags) {
    ASSERT_POINTER(flags);
    for (int32_t i = 0; i < 4; i++) flags[i] = 0;
    SkinWebServer* server = SkinApp_GetWebServerHandle();
    return server ? SkinWebServer_GetBlockStateForTest(server, port, flags) : 0;
}

int64_t SkinApp_ParseCreateInstance(Stream* stream, char* typeName, char* windowId, char* instanceId) {
    ASSERT_POINTER(typeName);
    ASSERT_POINTER(windowId);
    ASSERT_POINTER(instanceId);
    typeName[0] = windowId[0] = instanceId[0] = 0;
    if (!stream || !Stream_Seek(stream, 0, SEEK_ORIGIN_BEGIN)) return 0;
    Dictionary* document = nullptr;
    Dictionary_Create(&document);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, document);
    const int64_t parsed = JSON_LoadStream(json, stream);
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    Dictionary* root = parsed == 1 ? DocumentRoot(document) : nullptr;
    const int64_t result = root && Dictionary_GetStringByKey(root, "typename", typeName, SKINAPP_TYPE_NAME_SIZE) &&
                                   Dictionary_GetStringByKey(root, "window", windowId, SKINAPP_ID_SIZE)
                               ? 1
                               : 0;
    if (result && !Dictionary_GetStringByKey(root, "instanceId", instanceId, SKINAPP_ID_SIZE)) instanceId[0] = 0;
    if (!result) typeName[0] = windowId[0] = 0;
    Dictionary_Release(&document);
    return result;
}

int64_t Skin_ShouldRemoveSwitch(const char* name) {
    return name && String_CompareWithoutCase(name, "devserver") ? 1 : 0;
}
