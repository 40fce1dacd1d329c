// The CEF back end's start and stop, and its application object: the switches the engine and its
// child processes get, and the render-process side that announces frames, runs page callbacks on
// request and measures a page.
#include "host/cef/cef_app.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/formats/url.h"
#include "core/linux/platform_network.h"
#include "core/net/async_socket.h"
#include "core/platform/async_file.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/class.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/certs/authenticate.h"
#include "host/host_switches.h"
#include "workflow/workflow_app.h"

struct CEFApp {
    Class Base;
    std::atomic<uint32_t> ChildCount;
    uint32_t IOStarted;
};

namespace {

constexpr const char* kApiHash = "589830b49e03e9f4ae2c050125bcdafacbb248dd";
constexpr const char* kEngineVersion = "109.1.18+gf1c41e4+chromium-109.0.5414.120";
constexpr int32_t kProxyValueSize = 4096;
constexpr int32_t kProxyMemberSize = 160;
constexpr int32_t kProxyListSize = 1024;
constexpr size_t kFrameUrlSize = 8192;

std::atomic<CEFEngine*> GlobalCEFEngine{nullptr};
std::atomic<CEFApp*> GlobalCEFApp{nullptr};

template <typename T> void ReleaseObject(T*& object) {
    if (object) object->Release();
    object = nullptr;
}

// Appends "entry" (with a ";" before it when the list is not empty), whole or not at all: a cut
// host name would send traffic to a host nobody named.
void AppendProxyEntry(std::string& list, const std::string& entry) {
    const size_t needed = entry.size() + (list.empty() ? 0 : 1);
    if (list.size() + needed >= (size_t)kProxyListSize) return;
    if (!list.empty()) list += ';';
    list += entry;
}

// The proxies of the `proxy` switch: members separated by commas or semicolons, each
// [scheme://]host:port. One member without host and port voids the whole switch.
std::string ProxyListFromSwitch() {
    std::string list;
    char value[kProxyValueSize];
    if (!CommandLine_GetFieldByName(nullptr, "proxy", value, sizeof(value))) return list;
    String_ReplaceChar(',', ';', value);
    for (char* at = value; *at;) {
        const size_t length = strcspn(at, ";");
        char member[kProxyMemberSize];
        const size_t kept = length < sizeof(member) - 1 ? length : sizeof(member) - 1;
        memcpy(member, at, kept);
        member[kept] = 0;
        at += length;
        if (*at) at++;
        if (!length) continue;
        char hostPort[kProxyMemberSize];
        char scheme[kProxyMemberSize];
        uint32_t port = 0;
        if (!URL_ParseHostWithPort(member, hostPort, sizeof(hostPort)) || !hostPort[0] ||
            !URL_ParsePort(member, &port)) {
            list.clear();
            break;
        }
        URL_ParseProtocol(member, scheme, sizeof(scheme));
        AppendProxyEntry(list, scheme[0] ? std::string(scheme) + "=" + hostPort : std::string(hostPort));
    }
    return list;
}

// Escapes a text for a double-quoted script string, so a frame's URL stays data.
std::string ScriptString(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            out += escaped;
        } else {
            out += (char)c;
        }
    }
    return out;
}

// Text settings are macro-expanded and used only when not empty.
void ExpandedConfig(const char* path, char* out, int32_t capacity) {
    out[0] = 0;
    char raw[CEF_SETTING_TEXT_SIZE];
    WorkflowApp_GetConfig(path, "", raw, sizeof(raw));
    if (raw[0]) WorkflowApp_ExpandString(raw, out, capacity);
}

void SetEngineMacros(CEFEngine* engine) {
    Dictionary* macros = nullptr;
    if (!WorkflowApp_GetMacroDictionaryHandle(&macros)) return;
    int32_t v[4];
    for (int32_t i = 0; i < 4; i++) v[i] = engine->VersionInfo(i);
    char text[64];
    WorkflowApp_AddMacro("host", "CEF");
    String_Print(text, sizeof(text), "%d.%d.%d", v[0], v[1], v[2]);
    WorkflowApp_AddMacro("hostVersion", text);
    String_Print(text, sizeof(text), "%d", v[0]);
    WorkflowApp_AddMacro("hostMajorVersion", text);
    String_Print(text, sizeof(text), "%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
    WorkflowApp_AddMacro("hostEngineVersion", text);
}

void FillSettings(CEFSettings* settings) {
    memset(settings, 0, sizeof(*settings));
    settings->NoSandbox = 0;
    settings->LogSeverity = CEF_LOG_SEVERITY_DISABLE;
    WorkflowApp_GetConfigBoolean(kAppConfigCefOffscreenRender, 0, &settings->WindowlessRenderingEnabled);
    WorkflowApp_GetConfigBoolean(kAppConfigCefPersistSessionCookies, 0, &settings->PersistSessionCookies);
    ExpandedConfig(kAppConfigCefCachePath, settings->CachePath, sizeof(settings->CachePath));
    ExpandedConfig(kAppConfigCefUserAgent, settings->UserAgent, sizeof(settings->UserAgent));
    if (settings->UserAgent[0]) Log_Debug("CEF UserAgent: %s\n", settings->UserAgent);
    uint32_t allowMultiple = 0;
    WorkflowApp_GetConfigBoolean(kAppConfigAllowMultipleInstances, 0, &allowMultiple);
    if (settings->CachePath[0] && allowMultiple)
        Log_Warning("Manually setting cache path is incompatible with multiple instances\n");
}

} // namespace

int64_t CEFEngine_Set(CEFEngine* engine) {
    GlobalCEFEngine.store(engine);
    return 1;
}

CEFEngine* CEFEngine_Get() { return GlobalCEFEngine.load(); }

// ---- Start and stop ------------------------------------------------------------------------

int64_t CEF5414CEFWebBrowser_Init(const char* libraryPath) {
    int32_t count = 0;
    char** vector = nullptr;
    Arguments_Get(&count, &vector);
    const bool child = CommandLine_IsFieldSet(nullptr, "type") != 0;
    CEFEngine* engine = CEFEngine_Get();
    // A child process gets the engine's functions some other way; without them it cannot run.
    if (!engine || (!child && !engine->LoadLibrary(libraryPath ? libraryPath : ""))) {
        Log_Error("Failed to load CEF library\n");
        return 0;
    }
    if (!String_CompareWithoutCase(engine->ApiHash().c_str(), kApiHash))
        Log_Error("CEF library is incompatible with required one\n");
    Log_Info("CEF %s\n", kEngineVersion);
    if (!child) SetEngineMacros(engine);

    CEFSettings settings;
    FillSettings(&settings);
    CEFApp* app = CEF5414CEFApp_GetApp();
    int64_t result = 1;
    const int32_t exitCode = engine->ExecuteProcess(count, vector, app);
    if (exitCode != -1) {
        Debug_SetExitCode((uint32_t)exitCode);
        Log_Debug("Exit Code - %d (CEF)\n", exitCode);
        result = 0;
    } else if (!engine->Initialize(count, vector, settings, app)) {
        Log_Error("Failed to initialize CEF\n");
        result = 0;
    }
    CEFApp_AppRelease(&app);
    return result;
}

int64_t CEF5414CEFWebBrowser_Remove() {
    CEFEngine* engine = CEFEngine_Get();
    if (!engine) return 1;
    engine->ClearSchemeHandlerFactories();
    if (!CommandLine_IsFieldSet(nullptr, "type")) engine->Shutdown();
    return 1;
}

// ---- The object ----------------------------------------------------------------------------

CEFApp* CEF5414CEFApp_GetApp() {
    CEFApp* app = GlobalCEFApp.load();
    if (app) {
        Class_AddRef(app);
        return app;
    }
    void* memory = Memory_AllocZero(sizeof(CEFApp));
    app = new (memory) CEFApp();
    app->Base.ClassId = CEFAPP_CLASS_ID;
    app->Base.RefCount = 1;
    app->Base.Delete = CEF5414CEFApp_Delete;
    Class_GenerateInstanceIdReal(app);
    GlobalCEFApp.store(app);
    return app;
}

int64_t CEF5414CEFApp_Delete(void** handle) {
    ASSERT_POINTER(handle);
    CEFApp* app = static_cast<CEFApp*>(*handle);
    if (!app) return 0;
    if (app->IOStarted) {
        AsyncFile_Remove();
        AsyncSocket_Remove();
        IOWorker_Remove();
    }
    CEFApp* expected = app;
    GlobalCEFApp.compare_exchange_strong(expected, nullptr);
    app->Base.ClassId = 0;
    app->~CEFApp();
    Memory_Free(app, sizeof(CEFApp));
    *handle = nullptr;
    return 1;
}

#define CEFAPP_CHECK(app)                                                                      \
    do {                                                                                       \
        ASSERT_POINTER(app);                                                                   \
        ASSERT_MSG((app)->Base.ClassId == CEFAPP_CLASS_ID, "Not an application object");       \
    } while (0)

int64_t CEFApp_AppAddRef(CEFApp* app) {
    CEFAPP_CHECK(app);
    Class_AddRef(app);
    return 1;
}

int64_t CEFApp_AppRelease(CEFApp** app) {
    ASSERT_POINTER(app);
    if (!*app) return 0;
    CEFAPP_CHECK(*app);
    Class_ReleaseHandle(app, __FILE__, __LINE__);
    return 1;
}

int64_t CEFApp_AppHasOneRef(CEFApp* app) {
    CEFAPP_CHECK(app);
    return Class_HasOneRef(app);
}

CEFApp* CEFApp_GetResourceBundleHandler(CEFApp*) { return nullptr; }
CEFApp* CEFApp_GetLoadHandler(CEFApp*) { return nullptr; }

CEFApp* CEFApp_GetBrowserProcessHandler(CEFApp* app) {
    CEFApp_AppAddRef(app);
    return app;
}

CEFApp* CEFApp_GetRenderProcessHandler(CEFApp* app) {
    CEFApp_AppAddRef(app);
    return app;
}

// ---- Switches ------------------------------------------------------------------------------

int64_t CEFApp_OnBeforeCommandLineProcessing(CEFApp* app, const char* processType, CEFCommandLine* commandLine) {
    CEFAPP_CHECK(app);
    ASSERT_POINTER(commandLine);
    // With authentication on, nobody may attach a debugger to the engine.
    if (Authenticate_Enabled()) {
        std::vector<std::pair<std::string, std::string>> switches;
        const int32_t count = commandLine->GetSwitchCount();
        for (int32_t i = 0; i < count; i++)
            switches.emplace_back(commandLine->GetSwitchName(i), commandLine->GetSwitchValueAt(i));
        commandLine->Reset();
        for (const auto& [name, value] : switches) {
            if (String_CompareWithoutCase(name.c_str(), "remote-debugging-port")) continue;
            if (value.empty())
                commandLine->AppendSwitch(name.c_str());
            else
                commandLine->AppendSwitchWithValue(name.c_str(), value.c_str());
        }
    }
    if (!processType || !processType[0]) {
        commandLine->AppendSwitch("use-mock-keychain");
        uint32_t offscreen = 0;
        WorkflowApp_GetConfigBoolean(kAppConfigCefOffscreenRender, 0, &offscreen);
        if (offscreen) {
            commandLine->AppendSwitch("disable-gpu");
            commandLine->AppendSwitch("disable-gpu-compositing");
        }
        char cachePath[CEF_SETTING_TEXT_SIZE];
        WorkflowApp_GetConfig(kAppConfigCefCachePath, "", cachePath, sizeof(cachePath));
        if (!cachePath[0]) commandLine->AppendSwitch("disable-gpu-shader-disk-cache");
    }
    if (CommandLine_IsFieldSet(nullptr, "type")) return 1;
    if (commandLine->HasSwitch("proxy-bypass-list")) return 1;

    std::string list = ProxyListFromSwitch();
    char platform[kProxyListSize];
    if (Platform_ProxyGetByProtocol("http", platform, sizeof(platform)) && platform[0])
        AppendProxyEntry(list, std::string("http=") + platform);
    if (Platform_ProxyGetByProtocol("https", platform, sizeof(platform)) && platform[0])
        AppendProxyEntry(list, std::string("https=") + platform);
    if (list.empty()) return 1;
    commandLine->AppendSwitchWithValue("proxy-server", list.c_str());
    char bypass[kProxyListSize];
    Platform_ProxyGetBypass(bypass, sizeof(bypass));
    std::string bypassList = bypass;
    if (!bypassList.empty() && bypassList.back() != ';') bypassList += ';';
    bypassList += "localhost;127.0.0.1";
    commandLine->AppendSwitchWithValue("proxy-bypass-list", bypassList.c_str());
    return 1;
}

int64_t CEFApp_OnBeforeChildProcessLaunch(CEFApp* app, CEFCommandLine* commandLine) {
    CEFAPP_CHECK(app);
    ASSERT_POINTER(commandLine);
    const uint32_t sandboxed = CommandLine_IsFieldSet(nullptr, "no-sandbox") ? 0 : 1;
    const uint32_t launched = app->ChildCount.fetch_add(1);
    std::string id = "--debugfileid=cef.";
    id += (char)('a' + launched);
    const std::string type = commandLine->GetSwitchValue("type");
    if (!type.empty()) id += "." + type;
    commandLine->AppendArgument(id.c_str());
    char version[32];
    String_Print(version, sizeof(version), "--cefversion=%d", (int32_t)CEFAPP_ENGINE_BRANCH);
    commandLine->AppendArgument(version);

    int32_t fields = 0;
    CommandLine_GetFieldCount(nullptr, &fields);
    for (int32_t i = 1; i < fields; i++) {
        char field[COMMAND_LINE_SIZE];
        char name[COMMAND_LINE_SIZE];
        if (!CommandLine_GetField(nullptr, i, field, sizeof(field))) continue;
        if (!CommandLine_GetFieldName(field, name, sizeof(name))) continue;
        if (Host_ShouldPassToChild(name, sandboxed)) commandLine->AppendArgument(field);
    }
    return 1;
}

uint32_t CEFApp_GetChildCount(CEFApp* app) {
    CEFAPP_CHECK(app);
    return app->ChildCount.load();
}

// ---- Render process ------------------------------------------------------------------------

int64_t CEFApp_OnWebKitInitialized(CEFApp* app) {
    CEFAPP_CHECK(app);
    // In a single process the browser side has started them already.
    if (!CommandLine_IsFieldSet(nullptr, "single-process")) {
        IOWorker_Init();
        AsyncSocket_Init();
        AsyncFile_Init();
        app->IOStarted = 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return 1;
}

int64_t CEFApp_OnBrowserDestroyed(CEFApp*, CEFBrowser*) { return 1; }
int64_t CEFApp_OnContextReleased(CEFApp*, CEFBrowser*, CEFFrame*, CEFV8Context*) { return 1; }
int64_t CEFApp_OnUncaughtException(CEFApp*, CEFBrowser*, CEFFrame*, CEFV8Context*) { return 1; }
int64_t CEFApp_OnFocusedNodeChanged(CEFApp*, CEFBrowser*, CEFFrame*) { return 1; }

int64_t CEFApp_OnContextCreated(CEFApp* app, CEFBrowser* browser, CEFFrame* frame, CEFV8Context*) {
    CEFAPP_CHECK(app);
    if (!browser || !frame) return 0;
    CEFFrame* main = browser->GetMainFrame();
    if (!main) return 1;
    if (main->GetIdentifier() != frame->GetIdentifier()) {
        std::string url = frame->GetURL();
        if (url.size() >= kFrameUrlSize) url.resize(kFrameUrlSize - 1);
        const std::string script = "window.postMessage({type:'frame', id: " + std::to_string(frame->GetIdentifier()) +
                                   ", location:\"" + ScriptString(url) + "\"}, \"*\");";
        main->ExecuteJavaScript(script.c_str(), "", 0);
    }
    ReleaseObject(main);
    return 1;
}

namespace {

// Calls the page's "DispatchInteropCallback" with both texts; 1 when it answered a string, which
// goes back to the browser process in a copy of the message.
int64_t RunScriptTask(CEFFrame* frame, CEFProcessMessage* message) {
    CEFEngine* engine = CEFEngine_Get();
    CEFV8Context* context = frame->GetV8Context();
    if (!engine || !context) {
        ReleaseObject(context);
        return 0;
    }
    int64_t handled = 0;
    if (context->Enter()) {
        CEFV8Value* global = context->GetGlobal();
        CEFV8Value* function = global ? global->GetValueByKey("DispatchInteropCallback") : nullptr;
        if (function && function->IsFunction()) {
            CEFV8Value* arguments[2] = {engine->CreateString(message->GetString(0).c_str()),
                                        engine->CreateString(message->GetString(1).c_str())};
            CEFV8Value* result = function->ExecuteFunction(global, 2, arguments);
            if (result && result->IsString()) {
                CEFProcessMessage* reply = message->Copy();
                if (reply) {
                    reply->SetString(1, result->GetStringValue().c_str());
                    frame->SendProcessMessage(CEF_PROCESS_BROWSER, reply);
                    ReleaseObject(reply);
                    handled = 1;
                }
            }
            ReleaseObject(result);
            ReleaseObject(arguments[0]);
            ReleaseObject(arguments[1]);
        }
        ReleaseObject(function);
        ReleaseObject(global);
        context->Exit();
    }
    ReleaseObject(context);
    return handled;
}

} // namespace

int64_t CEFApp_OnRenderProcessMessageReceived(CEFApp* app, CEFBrowser*, CEFFrame* frame, int32_t,
                                              CEFProcessMessage* message) {
    CEFAPP_CHECK(app);
    if (!frame || !message) return 0;
    const std::string name = message->GetName();
    if (name == "CEFScriptTask_Run" && message->GetArgumentCount() == 2) return RunScriptTask(frame, message);
    if (name == "ContentSize") {
        uint32_t width = 0;
        uint32_t height = 0;
        CEFEngine* engine = CEFEngine_Get();
        if (CEFApp_GetContentSize(frame, &width, &height) && engine) {
            CEFProcessMessage* reply = engine->CreateProcessMessage("ContentSize");
            if (reply) {
                reply->SetInt(0, (int32_t)width);
                reply->SetInt(1, (int32_t)height);
                frame->SendProcessMessage(CEF_PROCESS_BROWSER, reply);
                ReleaseObject(reply);
            }
        }
        return 1;
    }
    return 0;
}

int64_t CEFApp_GetContentSize(CEFFrame* frame, uint32_t* width, uint32_t* height) {
    ASSERT_POINTER(width);
    ASSERT_POINTER(height);
    *width = 0xFFFFFFFF;
    *height = 0xFFFFFFFF;
    if (!frame) return 0;
    CEFV8Context* context = frame->GetV8Context();
    if (!context) return 0;
    int64_t measured = 0;
    if (context->Enter()) {
        CEFV8Value* size = context->Eval("[document.documentElement.scrollWidth,document.documentElement.scrollHeight]");
        if (size && size->IsArray() && size->GetArrayLength() == 2) {
            CEFV8Value* w = size->GetValueAt(0);
            CEFV8Value* h = size->GetValueAt(1);
            if (w && h && w->IsInt() && h->IsInt()) {
                *width = (uint32_t)w->GetIntValue();
                *height = (uint32_t)h->GetIntValue();
                measured = 1;
            }
            ReleaseObject(w);
            ReleaseObject(h);
        }
        ReleaseObject(size);
        context->Exit();
    }
    ReleaseObject(context);
    return measured;
}

// ---- Window information --------------------------------------------------------------------

int64_t CEF5414CEFApp_WindowInfoInit(CEFWindowInfo* info, void* parentView, int32_t width, int32_t height,
                                     int32_t mode, const char* windowName) {
    ASSERT_POINTER(info);
    info->WindowName = windowName ? windowName : "";
    info->Width = width;
    info->Height = height;
    info->WindowlessRenderingEnabled = mode == 1 ? 1 : 0;
    info->Hidden = mode == 1 ? 1 : 0;
    info->ParentView = mode != 0 ? parentView : nullptr;
    return 1;
}

int64_t CEF5414CEFApp_WindowInfoFree(CEFWindowInfo* info) {
    ASSERT_POINTER(info);
    info->WindowName.clear();
    return 1;
}
