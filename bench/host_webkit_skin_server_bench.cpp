// A script call's round trip from a skin page in a WebKitGTK skin window (NativeInterop.invoke on
// a "QVR.SkinApp" instance, answered in this process through the view's interop scheme) beside a
// synchronous request of a small skin file from the same page through the skin application's own
// web server, with authentication on as the host runs it. The page times batches of 100 calls
// itself (its clock is coarsened to whole milliseconds, too coarse for one call) and reports the
// time per call in its title. The process turns the host's own main loop (its 15 ms tick and the
// wake-ups that other threads send the main thread), so a call that waited for the tick would
// show here.
// Needs an X display: an Xvfb of its own is started when DISPLAY is unset.
#include <benchmark/benchmark.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/peer_ratio.h"
#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "host/host.h"
#include "host/host_web_browser.h"
#include "host/webkit/webkit_web_browser.h"
#include "skin/linux/gtk/gtk_skin_window.h"
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

constexpr int kBatch = 100;

constexpr const char kPage[] = R"HTML(<html><head><title>loading</title><script>
var app = null;
var binding = JSON.stringify({method: 'isAttached', methodHash: -207263893});
function DispatchInteropCallback(kind, round) {
  if (app === null) app = NativeInterop.createInstance('QVR.SkinApp');
  var ok = 0, start = performance.now();
  for (var i = 0; i < 100; i++) {
    if (kind === 'invoke') {
      if (NativeInterop.invoke(app, binding) === '{"returnValue":true}') ok++;
    } else {
      var x = new XMLHttpRequest(); x.open('GET', 'small.txt', false); x.send(null);
      if (x.status === 200 && x.responseText.length === 512) ok++;
    }
  }
  document.title = 'round ' + round + ' ' + ok + ' ' + (performance.now() - start) / 100;
}
</script></head><body>bench</body></html>)HTML";

struct Setup {
    TempDir Skin;
    SkinWindow* Window = nullptr;
    int Round = 0;
    bool Ready = false;
};

Setup& S() {
    static Setup setup;
    return setup;
}

// One turn of the host's loop: sleeps until its tick, a wake-up or the web view has work.
void Step() {
    g_main_context_iteration(nullptr, TRUE);
}

std::string Title() {
    void* view = S().Window ? WebKitWebBrowser_GetView(S().Window->Browser) : nullptr;
    const char* title = view ? webkit_web_view_get_title(WEBKIT_WEB_VIEW(view)) : nullptr;
    return title ? title : "";
}

int64_t MergeConfig(void*, Dictionary* config) {
    return WorkflowApp_LoadConfigFromDictionary(config);
}

// Runs one batch in the page; the time per call the page measured in seconds, -1 when it did not answer
// within 20 s, -2 when a call in it failed.
double Batch(const char* kind) {
    const std::string round = std::to_string(++S().Round);
    const std::string mark = "round " + round + " ";
    SkinWindow_ExecuteScript(S().Window, kind, round.c_str(), nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string title = Title();
        if (title.rfind(mark, 0) == 0) {
            const char* rest = title.c_str() + mark.size();
            char* end = nullptr;
            const long ok = strtol(rest, &end, 10);
            return ok == kBatch ? atof(end) / 1000.0 : -2;
        }
        Step();
    }
    return -1;
}

bool Start() {
    static bool tried = false;
    if (tried) return S().Ready;
    tried = true;
    // Without a session bus of the caller's, one started on our own display would end this
    // program when that display ends at exit: desktop settings come from memory instead.
    if (!getenv("DBUS_SESSION_BUS_ADDRESS")) setenv("GSETTINGS_BACKEND", "memory", 1);
    if (!TestDisplayStart().empty() || GtkSkinWindow_Init() != 1) return false;
    if (!WriteText(S().Skin.file("index.html"), kPage) ||
        !WriteText(S().Skin.file("small.txt"), std::string(512, 's')) ||
        !WriteText(S().Skin.file("app.yaml"), "name: bench\n"))
        return false;
    WorkflowApp_Init("webkit_skin_server_bench.log", DEBUG_FLAG_EXTERNAL_PRINT);
    WorkflowApp_InitInterop();
    Interop_Add("skin", SkinInterop_Init, SkinInterop_Remove, SkinInterop_CreateInstance,
                SkinInterop_SetOverride, SkinInterop_SetOption);
    if (WebBrowser_Init(HostWebBrowser_GetNativeInterface(), "") != 1) return false;
    NativeSkinWindow_SetInterface(GtkSkinWindow_GetInterface());
    SkinFile_Init();
    if (SkinFile_Attach(S().Skin.path().c_str()) != 1) return false;
    SkinApp_Init();
    SkinApp_SetConfigLoadedCallback(nullptr, MergeConfig);
    Dictionary* config = nullptr;
    WorkflowApp_GetConfigHandle(&config);
    if (SkinApp_LoadConfig(config) != 1) return false;
    Authenticate_SetEnabled(1);
    if (SkinApp_StartWebServer(1) != 1) return false;
    // The host's own loop: its tick and the wake-ups of the main thread, as Host_Init sets them.
    Thread_SetUnhandledSignal(Host_PlatformMainThreadSignal);
    const WebBrowserInterface* table = nullptr;
    if (Host_PlatformInit(&table) != 1) return false;
    char id[64] = "";
    const std::string url = std::string(SkinApp_GetContentUrl()) + "index.html";
    if (SkinApp_OpenWindowWithUrl(url.c_str(), id, sizeof(id)) != 1 || SkinApp_Start(0) != 1) return false;
    SkinApp_GetWindowById(id, &S().Window);
    if (!S().Window) return false;
    SkinWindow_Show(S().Window);
    // The window and its web view go before the toolkit's own clean-up at exit.
    atexit([] {
        if (S().Window) SkinWindow_Release(&S().Window);
        SkinApp_CloseAllWindows();
        for (int i = 0; i < 50 && SkinApp_Process(); i++) GtkSkinWindow_Pump(10);
        GtkSkinWindow_Pump(50);
        Host_PlatformRemove();
        Thread_SetUnhandledSignal(nullptr);
    });
    // Loaded once the page answers a first batch; it is asked again every 3 s, at most 30 s.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto next = std::chrono::steady_clock::now();
    while (Title().rfind("round", 0) != 0 && std::chrono::steady_clock::now() < deadline) {
        if (std::chrono::steady_clock::now() >= next) {
            SkinWindow_ExecuteScript(S().Window, "fetch", "0", nullptr);
            next += std::chrono::seconds(3);
        }
        Step();
    }
    S().Ready = Title().rfind("round", 0) == 0 && Batch("invoke") > 0;
    return S().Ready;
}

void Run(benchmark::State& state, const char* kind) {
    if (!Start()) {
        state.SkipWithError("no display, server or page");
        return;
    }
    for (auto _ : state) {
        const double seconds = Batch(kind);
        if (seconds < 0) {
            fprintf(stderr, "round %d: %s (title \"%s\")\n", S().Round,
                    seconds == -1 ? "unanswered" : "a call failed", Title().c_str());
            state.SkipWithError("the page did not answer");
            break;
        }
        state.SetIterationTime(seconds);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ScriptCall(benchmark::State& state) {
    Run(state, "invoke");
}
void BM_SkinFileRequest(benchmark::State& state) {
    Run(state, "fetch");
}

} // namespace

BENCHMARK(BM_ScriptCall)->UseManualTime()->Iterations(20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SkinFileRequest)->UseManualTime()->Iterations(20)->Unit(benchmark::kMicrosecond);
PEER_RATIO("script call round trip beside a small skin file request", "BM_ScriptCall", "BM_SkinFileRequest");
PEER_RATIO_MAIN()
