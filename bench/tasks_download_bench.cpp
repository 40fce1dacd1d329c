// The Download task run end to end through the engine (a workflow's task started, the main loop
// pumped until its run has ended) beside `curl -o` of the same URL from nginx on 127.0.0.1: a
// 1 GiB file fetched fresh, its second half fetched onto a half-written file (curl -C -), and the
// file fetched fresh over HTTPS (TLS 1.2, a chain under a root both clients are given as their
// only anchor). The served file is sparse (zeros), made at start in a fresh directory and removed
// at the end.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "bench/nginx_peer.h"
#include "bench/peer_ratio.h"
#include "bench/task_run.h"
#include "bench/process_peer.h"
#include "core/formats/json.h"
#include "core/linux/platform_trust.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/web/web_get.h"
#include "tasks/task_library.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"

extern char** environ;

namespace {

constexpr int64_t kBig = 1ll << 30;
constexpr int64_t kHalf = kBig / 2;

int64_t AllowEveryHost(const char*) {
    return 1;
}

struct Env {
    TempDir Dir;
    std::unique_ptr<TlsServer> Nginx;
    bool Engine = false;

    std::unique_ptr<TlsPki> Pki;
    std::unique_ptr<TlsServer> NginxTls;

    Env() {
        TaskLibrary_Register();
        Engine = WorkflowApp_Init("tasks_download_bench.log", DEBUG_FLAG_EXTERNAL_PRINT) == 1;
        // The configuration's defaults, as the program applies them once its configuration is
        // read: the TLS suites among them.
        Dictionary* config = nullptr;
        Dictionary_Create(&config);
        Engine = Engine && WorkflowApp_LoadConfigFromDictionary(config) == 1;
        Dictionary_Release(&config);
        WebGet_AuthorizeOverride(AllowEveryHost);
        // nginx's workers may run as another user: they must reach the served file.
        chmod(Dir.path().c_str(), 0711);
        mkdir(Dir.file("www").c_str(), 0755);
        mkdir(Dir.file("out").c_str(), 0700);
        { std::ofstream(Dir.file("www/big.bin")); }
        if (truncate(Dir.file("www/big.bin").c_str(), kBig) != 0) return;
        chmod(Dir.file("www/big.bin").c_str(), 0644);
        Nginx = StartNginx(Dir, "nginx", Dir.file("www"));
        // The same file over TLS: the leaf for "localhost" with its intermediate, the root the
        // only anchor of both clients.
        Pki = std::make_unique<TlsPki>();
        if (!Pki->Made) return;
        Platform_SetTrustBundlePath(Pki->File("root.pem").c_str());
        NginxTls = StartNginx(Dir, "nginx_tls", Dir.file("www"), "ssl", NginxTls12(Dir, *Pki));
    }
    ~Env() {
        Nginx.reset();
        NginxTls.reset();
        Platform_SetTrustBundlePath(nullptr);
        if (Engine) {
            WebGet_AuthorizeOverride(nullptr);
            uint32_t code = 0;
            WorkflowApp_Remove(&code);
        }
    }
    bool Ready(bool secure = false) const {
        return Engine && Nginx && Nginx->Running() && (!secure || (NginxTls && NginxTls->Running()));
    }
    std::string Url(bool secure = false) const {
        return secure ? "https://localhost:" + std::to_string(NginxTls->Port()) + "/big.bin"
                      : "http://127.0.0.1:" + std::to_string(Nginx->Port()) + "/big.bin";
    }
};

Env& TheEnv() {
    static Env env;
    return env;
}

// The engine's own pump drives the download's requests.
bool RunTask(const std::string& document) {
    return task_run::RunTask(document, true);
}

int64_t SizeOf(const std::string& path) {
    struct stat info = {};
    return stat(path.c_str(), &info) == 0 ? (int64_t)info.st_size : -1;
}

// The output file: none, or the first half of the remote one.
void Prepare(const std::string& out, bool half) {
    unlink(out.c_str());
    if (!half) return;
    { std::ofstream(out.c_str()); }
    if (truncate(out.c_str(), kHalf) != 0) unlink(out.c_str());
}

// Argument: 0 fresh, 1 second half resumed, 2 fresh over HTTPS.
void Ours(benchmark::State& state) {
    const bool secure = state.range(0) == 2;
    if (!TheEnv().Ready(secure)) return state.SkipWithError("nginx did not start");
    const bool resumed = state.range(0) == 1;
    const std::string out = TheEnv().Dir.file("out/ours.bin");
    const std::string document = "{\"t\": {\"type\": \"Download\", \"url\": \"" + TheEnv().Url(secure) +
                                 "\", \"outputPath\": \"" + out + "\", \"allowResume\": true}}";
    for (auto _ : state) {
        state.PauseTiming();
        Prepare(out, resumed);
        state.ResumeTiming();
        if (!RunTask(document) || SizeOf(out) != kBig) return state.SkipWithError("download failed");
    }
    unlink(out.c_str());
    state.SetBytesProcessed(state.iterations() * (resumed ? kBig - kHalf : kBig));
}

void Peer(benchmark::State& state) {
    const bool secure = state.range(0) == 2;
    if (!TheEnv().Ready(secure)) return state.SkipWithError("nginx did not start");
    const bool resumed = state.range(0) == 1;
    const std::string out = TheEnv().Dir.file("out/curl.bin");
    for (auto _ : state) {
        state.PauseTiming();
        Prepare(out, resumed);
        state.ResumeTiming();
        std::vector<std::string> args = {"-o", out, TheEnv().Url(secure)};
        if (resumed) args.insert(args.begin(), {"-C", "-"});
        if (secure) args.insert(args.begin(), {"--cacert", TheEnv().Pki->File("root.pem")});
        if (Curl(args) < 0 || SizeOf(out) != kBig) return state.SkipWithError("curl failed");
    }
    unlink(out.c_str());
    state.SetBytesProcessed(state.iterations() * (resumed ? kBig - kHalf : kBig));
}

BENCHMARK(Ours)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(Peer)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

PEER_RATIO("1 GiB download from nginx, fresh", "Ours/0", "Peer/0");
PEER_RATIO("1 GiB download from nginx, second half resumed", "Ours/1", "Peer/1");
PEER_RATIO("1 GiB download from nginx over HTTPS (TLS 1.2), fresh", "Ours/2", "Peer/2");

} // namespace

PEER_RATIO_MAIN();
