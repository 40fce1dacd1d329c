// A script call's round trip from a page in a WebKitGTK skin window (NativeInterop.invoke, a
// synchronous request to the instance route) beside a synchronous request of a small file from
// the same page and the same loopback peer. The page times each batch of 100 calls itself.
// Needs an X display: an Xvfb of its own is started when DISPLAY is unset.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/peer_ratio.h"
#include "core/formats/interop.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "host/host_web_browser.h"
#include "skin/linux/gtk/gtk_skin_window.h"
#include "skin/native_skin_window.h"
#include "skin/skin_window.h"
#include "skin/web_browser.h"
#include "tests/host/page_responder.h"
#include "tests/skin/gtk_display.h"

namespace {

constexpr int kBatch = 100;

constexpr const char kPage[] = R"HTML(<html><head><script>
var probe = null;
function report(text) { var x = new XMLHttpRequest(); x.open('POST', '/report', false); x.send(text); }
function DispatchInteropCallback(kind, round) {
  if (probe === null) probe = NativeInterop.createInstance('Test.Probe');
  var start = performance.now();
  for (var i = 0; i < 100; i++) {
    if (kind === 'invoke') {
      NativeInterop.invoke(probe, '{"method":"ping"}');
    } else {
      var x = new XMLHttpRequest(); x.open('GET', '/small.txt', false); x.send(null);
    }
  }
  report('round ' + round + ' ' + (performance.now() - start));
}
</script></head><body>bench</body></html>)HTML";

struct Setup {
    TempDir Site;
    PageResponder* Peer = nullptr;
    SkinWindow* Window = nullptr;
    std::string Url;
    int Round = 0;
    bool Ready = false;
};

Setup& S() {
    static Setup setup;
    return setup;
}

const SkinWindowAppInterface kApp = {
    nullptr,
    [](const char* id, Dictionary*, char* url, int32_t capacity) -> int64_t {
        snprintf(url, (size_t)capacity, "%s?window=%s", S().Url.c_str(), id);
        return 1;
    },
    [](const char*) -> int64_t { return 1; },
    nullptr,
    [](const char*, void**, uint32_t*) -> int64_t { return 0; },
    [](void*, uint32_t) -> int64_t { return 1; },
};

void Step() {
    SkinWindow_Process(S().Window);
    GtkSkinWindow_Pump(1);
    EventQueue_Flush(nullptr);
    NotificationCenter_Process();
}

bool Start() {
    static bool tried = false;
    if (tried) return S().Ready;
    tried = true;
    if (!TestDisplayStart().empty() || GtkSkinWindow_Init() != 1) return false;
    WriteText(S().Site.file("page.html"), kPage);
    WriteText(S().Site.file("small.txt"), std::string(512, 's'));
    S().Peer = new PageResponder(S().Site.path());
    if (S().Peer->port() == 0) return false;
    S().Url = S().Peer->url("/page.html");
    Debug_Init(nullptr, nullptr, DEBUG_FLAG_EXTERNAL_PRINT);
    Thread_Init();
    EventQueue_Init();
    Interop_Init();
    NotificationCenter_Init();
    if (WebBrowser_Init(HostWebBrowser_GetNativeInterface(), "") != 1) return false;
    NativeSkinWindow_SetInterface(GtkSkinWindow_GetInterface());
    SkinWindow_SetAppInterface(&kApp);
    SkinWindow_Init("bench");
    SkinWindow_Create(&S().Window);
    SkinWindow_LoadConfig(S().Window, nullptr);
    SkinWindow_Show(S().Window);
    // Loaded once the page's own script answers a first batch; at most 30 s.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto next = std::chrono::steady_clock::now();
    while (S().Peer->log().find("report round") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        if (std::chrono::steady_clock::now() >= next) {
            SkinWindow_ExecuteScript(S().Window, "fetch", "-1", nullptr);
            next += std::chrono::seconds(3);
        }
        Step();
    }
    S().Ready = S().Peer->log().find("report round") != std::string::npos;
    // The window and its web view go before the toolkit's own clean-up at exit.
    atexit([] {
        if (S().Window) SkinWindow_Release(&S().Window);
        GtkSkinWindow_Pump(50);
        delete S().Peer;
        S().Peer = nullptr;
    });
    return S().Ready;
}

// Runs one batch in the page and answers the time the page measured, in seconds (-1 on time-out).
double Batch(const char* kind) {
    const std::string round = std::to_string(++S().Round);
    const std::string mark = "report round " + round + " ";
    SkinWindow_ExecuteScript(S().Window, kind, round.c_str(), nullptr);
    for (int i = 0; i < 20000; i++) {
        const std::string log = S().Peer->log();
        const size_t at = log.find(mark);
        if (at != std::string::npos) return atof(log.c_str() + at + mark.size()) / 1000.0;
        Step();
    }
    return -1;
}

void Run(benchmark::State& state, const char* kind) {
    if (!Start()) {
        state.SkipWithError("no display, peer or page");
        return;
    }
    for (auto _ : state) {
        const double seconds = Batch(kind);
        if (seconds < 0) {
            const std::string log = S().Peer->log();
            fprintf(stderr, "round %d unanswered; the peer saw: %s\n", S().Round,
                    log.substr(log.size() > 1500 ? log.size() - 1500 : 0).c_str());
            state.SkipWithError("the page did not answer");
            break;
        }
        state.SetIterationTime(seconds);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_ScriptCall(benchmark::State& state) {
    Run(state, "invoke");
}
void BM_FileRequest(benchmark::State& state) {
    Run(state, "fetch");
}

} // namespace

BENCHMARK(BM_ScriptCall)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FileRequest)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);
PEER_RATIO("script call round trip beside a small file request", "BM_ScriptCall", "BM_FileRequest");
PEER_RATIO_MAIN()
