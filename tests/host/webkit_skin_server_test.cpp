// A skin page in a WebKitGTK view inside a GTK skin window, served by the skin application's own
// web server with authentication on: the page object in both frames after each load, native
// instances created, called and released through the "instances/" routes, and a notification
// that reaches the page through DispatchInteropCallback.
#include <gtest/gtest.h>
#include <webkit2/webkit2.h>

#include <string>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "host/host_web_browser.h"
#include "host/webkit/webkit_web_browser.h"
#include "skin/linux/gtk/gtk_skin_window.h"
#include "skin/localisation.h"
#include "skin/native_skin_window.h"
#include "skin/script_invoker.h"
#include "skin/skin_app.h"
#include "skin/skin_file.h"
#include "skin/skin_window.h"
#include "skin/skin_window_internal.h"
#include "skin/web_browser.h"
#include "tests/skin/gtk_display.h"
#include "tests/support/temp_dir.h"
#include "workflow/workflow_app.h"

namespace {

// The page writes what it saw into its title, which the test reads from the view: a report that
// does not depend on the bridge under test.
constexpr const char kIndex[] = R"HTML(<html><head><title>loading</title><script>
function crc32(text) {
  var crc = -1, bytes = unescape(encodeURIComponent(text));
  for (var i = 0; i < bytes.length; i++) {
    crc ^= bytes.charCodeAt(i);
    for (var bit = 0; bit < 8; bit++) crc = (crc >>> 1) ^ (0xedb88320 & -(crc & 1));
  }
  return (crc ^ -1) | 0;
}
function call(id, method, args) {
  var binding = {method: method, methodHash: crc32(method)};
  for (var key in args || {}) binding[key] = args[key];
  return NativeInterop.invoke(id, JSON.stringify(binding));
}
var app = null, center = null, callbackId = null, pageLoaded = false, frameSaw = null;
function DispatchInteropCallback(first, second) {
  if (first === 'reload') { location.reload(); return; }
  var seen = [];
  JSON.parse(first).forEach(function (m) {
    seen.push([m.callbackId, m.type, m.notification, JSON.stringify(m.info)].join('|'));
  });
  var r = ['callback=' + seen.join(',') + '|' + JSON.stringify(second)];
  r.push('unobserve=' + call(center, 'removeObserver', {type: 'E2E', notification: 'Ping', callbackId: callbackId}));
  r.push('release=' + NativeInterop.releaseInstance(center) + ',' + NativeInterop.releaseInstance(app));
  document.title = r.join(';');
}
// On a reload the frame may finish after the page's own load event: the report waits for both.
function frameLoaded(saw) { frameSaw = saw; report(); }
window.addEventListener('load', function () { pageLoaded = true; report(); });
function report() {
  if (!pageLoaded || frameSaw === null) return;
  var kind = performance.getEntriesByType('navigation')[0].type;
  var frame = document.getElementById('f').contentWindow;
  var r = [kind, 'top=' + typeof NativeInterop, 'frame=' + typeof frame.NativeInterop + ',' + frameSaw];
  app = NativeInterop.createInstance('QVR.SkinApp');
  r.push('app=' + app, 'has=' + NativeInterop.hasInstance(app));
  r.push('invoke=' + call(app, 'expandString', {expand: '{Upper:e2e}'}));
  center = NativeInterop.createInstance('QVR.NotificationCenter');
  callbackId = 'ping-' + kind;
  r.push('observe=' + call(center, 'addObserver', {type: 'E2E', notification: 'Ping', callbackId: callbackId}));
  document.title = r.join(';');
}
</script></head><body><iframe id="f" src="frame.html"></iframe></body></html>)HTML";

// The frame's own script runs after the page object is in place; its window id is the page's.
// Like a well-behaved page it lets go of what it made, or its window waits for it when closing.
constexpr const char kFrame[] = R"HTML(<html><head><script>
var n = window.NativeInterop;
var made = n ? n.createInstance('QVR.SkinApp') : null;
parent.frameLoaded(typeof n + '/' + typeof made + '/' + (n ? n.releaseInstance(made) : '-'));
</script></head><body>frame</body></html>)HTML";

TempDir* g_skin = nullptr;

// One pass as the host's main loop makes it, with the toolkit's events between passes.
void Step() {
    GtkSkinWindow_Pump(2);
    WorkflowApp_Process();
    SkinApp_Process();
}

int64_t MergeConfig(void*, Dictionary* config) {
    return WorkflowApp_LoadConfigFromDictionary(config);
}

class SkinServerEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        // Proxy discovery reads the desktop's settings. Without a session bus of the caller's, one
        // would be started on our own display and, when that display ends at exit, take this
        // program down with it: settings come from memory instead.
        if (!getenv("DBUS_SESSION_BUS_ADDRESS")) setenv("GSETTINGS_BACKEND", "memory", 1);
        const std::string why = TestDisplayStart();
        ASSERT_EQ(why, "") << "GUI tests need an X display: " << why;
        ASSERT_EQ(GtkSkinWindow_Init(), 1) << "GTK could not open the display " << getenv("DISPLAY");
        ASSERT_EQ(WorkflowApp_Init("webkit_skin_server.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        ASSERT_EQ(WorkflowApp_InitInterop(), 1);
        ASSERT_TRUE(Interop_Add("skin", SkinInterop_Init, SkinInterop_Remove, SkinInterop_CreateInstance,
                                SkinInterop_SetOverride, SkinInterop_SetOption));
        ASSERT_EQ(WebBrowser_Init(HostWebBrowser_GetNativeInterface(), ""), 1);
        NativeSkinWindow_SetInterface(GtkSkinWindow_GetInterface());
        SkinFile_Init();
        L10N_Init();
        g_skin = new TempDir();
        ASSERT_TRUE(WriteText(g_skin->file("index.html"), kIndex) &&
                    WriteText(g_skin->file("frame.html"), kFrame) &&
                    WriteText(g_skin->file("app.yaml"), "name: e2e\n"));
        ASSERT_EQ(SkinFile_Attach(g_skin->path().c_str()), 1);
        ASSERT_EQ(SkinApp_Init(), 1);
        SkinApp_SetConfigLoadedCallback(nullptr, MergeConfig);
        Dictionary* config = nullptr;
        WorkflowApp_GetConfigHandle(&config);
        ASSERT_EQ(SkinApp_LoadConfig(config), 1);
        // As the host runs it: only this process and its direct children (the view's network
        // process) may call the server.
        Authenticate_SetEnabled(1);
        ASSERT_EQ(SkinApp_StartWebServer(1), 1);
        ASSERT_EQ(SkinApp_WebServerSetEnableChildAccess(1), 1);
    }
    void TearDown() override {
        // The page does not answer a request to close: its window may close without asking.
        SkinApp_EnumerateWindows(nullptr,
                                 [](void*, SkinWindow* window) { return SkinWindow_SetCanClose(window, 1); });
        SkinApp_CloseAllWindows();
        EXPECT_TRUE(WaitFor([] { return SkinApp_IsRunning() == 0; }, Step, 10000))
            << "the window did not close";
        GtkSkinWindow_Pump(50);
        SkinApp_Remove();
        SkinFile_Remove();
        L10N_Remove();
        WebBrowser_Remove();
        delete g_skin;
        uint32_t code = 0;
        WorkflowApp_Remove(&code);
    }
};
::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new SkinServerEnvironment);

std::string Title(SkinWindow* window) {
    void* view = WebKitWebBrowser_GetView(window->Browser);
    const char* title = view ? webkit_web_view_get_title(WEBKIT_WEB_VIEW(view)) : nullptr;
    return title ? title : "";
}

// Waits (at most 30 s) for a title that starts with the prefix, and answers the title then.
std::string TitleStartingWith(SkinWindow* window, const std::string& prefix) {
    WaitFor([&] { return Title(window).rfind(prefix, 0) == 0; }, Step, 30000);
    return Title(window);
}

TEST(WebKitSkinServer, PageObjectWorksInEveryFrameAfterEachLoad) {
    const std::string url = std::string(SkinApp_GetContentUrl()) + "index.html";
    ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url;
    char windowId[64] = "";
    ASSERT_EQ(SkinApp_OpenWindowWithUrl(url.c_str(), windowId, sizeof(windowId)), 1);
    ASSERT_EQ(SkinApp_Start(0), 1);
    SkinWindow* window = nullptr;
    ASSERT_EQ(SkinApp_GetWindowById(windowId, &window), 1);
    SkinWindow_Show(window);
    char appId[64] = "";
    SkinApp_GetInstanceId(appId, sizeof(appId));

    const struct {
        const char* Kind;
        const char* Reload; // how the test makes this load happen, null for the first
    } loads[] = {{"navigate", nullptr}, {"reload", "reload"}};
    for (const auto& load : loads) {
        SCOPED_TRACE(load.Kind);
        if (load.Reload) {
            ASSERT_EQ(SkinWindow_ExecuteScript(window, load.Reload, "", nullptr), 1);
        }
        const std::string loaded = std::string(load.Kind) + ";";
        EXPECT_EQ(TitleStartingWith(window, loaded),
                  loaded + "top=object;frame=object,object/string/true;app=" + appId +
                      ";has=true;invoke={\"returnValue\":\"E2E\"};observe={\"returnValue\":true}");
        // The page's notification centre is the one instance that speaks to the window.
        EXPECT_EQ(Interop_GetExecuteCallbackCount(), 1);

        Dictionary* info = nullptr;
        Dictionary_Create(&info);
        Dictionary_SetStringByKey(info, "text", "h\xc3\xa9 \"quoted\"");
        NotificationCenter_Fire("E2E", "Ping", nullptr, info);
        Dictionary_Release(&info);
        // One message for this page's observer only, both texts as the bridge wrote them.
        EXPECT_EQ(
            TitleStartingWith(window, "callback="),
            std::string("callback=ping-") + load.Kind +
                "|E2E|Ping|{\"text\":\"h\xc3\xa9 \\\"quoted\\\"\"}|\"\";unobserve={\"returnValue\":true};"
                "release=true,true");
        // The page's notification centre goes with its release, and its bridge to the window too.
        EXPECT_TRUE(WaitFor([] { return Interop_GetExecuteCallbackCount() == 0; }, Step, 10000))
            << Interop_GetExecuteCallbackCount();
    }
    SkinWindow_Release(&window);
}

} // namespace
