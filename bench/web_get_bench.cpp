// HTTP client throughput from nginx on 127.0.0.1: a 1 GiB file written to disk, a gzip body
// decoded in memory, and 1,000 small files over one persistent connection, each beside curl doing
// the same fetches (curl -o, curl --compressed, one curl command for the whole list). CPU time of
// each side is reported as the counter cpu_s (ours: this process; curl: its own).
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/peer_ratio.h"
#include "bench/process_peer.h"
#include "core/certs/authenticate.h"
#include "core/net/async_socket.h"
#include "core/net/socket.h"
#include "core/platform/async_file.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_request.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"

extern char** environ;

namespace {

constexpr int64_t kBig = 1ll << 30;
constexpr int kSmallCount = 1000;

int64_t Quiet(const char*) {
    return 1;
}

struct Env {
    TempDir Dir;
    std::unique_ptr<TlsServer> Nginx;
    std::string Text;
    WebGetConnection* Connection = nullptr;

    Env() {
        Debug_Init(nullptr, nullptr, DEBUG_FLAG_EXTERNAL_PRINT);
        Debug_PrintOverride(Quiet);
        Thread_Init();
        EventQueue_Init();
        NotificationCenter_Init();
        Authenticate_Init();
        WebGet_Init();
        Socket_Init();
        IOWorker_Init();
        AsyncFile_Init();
        AsyncSocket_Init();
        // nginx's workers run as another user: they must reach the served files.
        chmod(Dir.path().c_str(), 0711);
        mkdir(Dir.file("www").c_str(), 0755);
        mkdir(Dir.file("out").c_str(), 0700);
        truncate(Dir.file("www/big.bin").c_str(), 0);
        { std::ofstream(Dir.file("www/big.bin")); }
        truncate(Dir.file("www/big.bin").c_str(), kBig);
        for (int i = 0; Text.size() < (16u << 20); i++) Text += "line " + std::to_string(i * 7919 % 100003) + " of the text\n";
        std::ofstream(Dir.file("www/text.txt"), std::ios::binary) << Text;
        const std::string small(1024, 's');
        std::ofstream list(Dir.file("list.cfg"));
        for (int i = 0; i < kSmallCount; i++) std::ofstream(Dir.file("www/s" + std::to_string(i))) << small;
        std::ofstream(Dir.file("nginx.tmpl"))
            << "worker_processes 2; pid " << Dir.file("nginx.pid") << "; error_log " << Dir.file("nginx.err")
            << ";\nevents { worker_connections 64; }\nhttp {\n  access_log off; sendfile on; keepalive_requests 100000;\n"
            // Only the text is gzip-encoded: the big file and the small ones go as they are (as
            // curl fetches them), with a length, so that the connection is kept between them.
            << "  default_type application/octet-stream;\n"
            << "  client_body_temp_path " << Dir.path() << "; proxy_temp_path " << Dir.path()
            << "; fastcgi_temp_path " << Dir.path() << "; uwsgi_temp_path " << Dir.path() << "; scgi_temp_path "
            << Dir.path() << ";\n  gzip on; gzip_comp_level 1; gzip_types text/plain;\n"
            << "  types { text/plain txt; }\n  server { listen 127.0.0.1:PORT; root " << Dir.file("www") << "; }\n}\n";
        Nginx = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"sh", "-c",
                                                 "sed s/PORT/{port}/ nginx.tmpl > nginx.conf && exec nginx -c " +
                                                     Dir.file("nginx.conf") + " -g 'daemon off;'"});
        for (int i = 0; i < kSmallCount; i++)
            list << "url = \"" << Url("/s" + std::to_string(i)) << "\"\noutput = \"/dev/null\"\n";
        if (Ready() && Curl({"-o", "/dev/null", Url("/s0")}) < 0)
            fprintf(stderr, "nginx does not serve: %s\n", ReadFile(Dir.file("nginx.err")).c_str());
        WebGetConnection_Create(&Connection);
        WebGetConnection_SetAllowProxy(Connection, 0);
    }
    bool Ready() const { return Nginx && Nginx->Running(); }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(Nginx ? Nginx->Port() : 0) + path;
    }
};

Env& TheEnv() {
    static Env env;
    return env;
}

// Runs one request on the shared connection; its body length, or -1 on failure.
int64_t Fetch(WebGetRequest* request) {
    WebGetConnection_RequestAdd(TheEnv().Connection, request);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!WebGetRequest_IsDone(request) && std::chrono::steady_clock::now() < deadline) {
        EventQueue_Flush(nullptr);
        if (!WebGetRequest_IsDone(request)) Thread_Wait(1);
    }
    int32_t code = 0, extended = 0, http = 0;
    WebGetRequest_GetLastError(request, &code, &extended);
    WebGetRequest_GetHTTPCode(request, &http);
    int64_t length = 0;
    WebGetRequest_GetBodyLength(request, &length);
    if (!WebGetRequest_IsDone(request) || code != 0 || http != 200)
        fprintf(stderr, "request failed: done %d, error %d (%d), HTTP %d\n", (int)WebGetRequest_IsDone(request),
                code, extended, http);
    return WebGetRequest_IsDone(request) && code == 0 && http == 200 ? length : -1;
}

WebGetRequest* Make(const std::string& url) {
    WebGetRequest* request = nullptr;
    WebGetRequest_Create(&request);
    WebGetRequest_SetRequireAuthorization(request, 0);
    WebGetRequest_SetURL(request, url.c_str());
    return request;
}

void OurBigFile(benchmark::State& state) {
    if (!TheEnv().Ready()) return state.SkipWithError("nginx did not start");
    const std::string out = TheEnv().Dir.file("out/ours.bin");
    double cpu = 0;
    for (auto _ : state) {
        unlink(out.c_str());
        const double start = ProcessCpu();
        WebGetRequest* request = Make(TheEnv().Url("/big.bin"));
        WebGetRequest_SetOutputFilename(request, out.c_str());
        WebGetRequest_SetFillBodyCallbackFileOutput(request);
        const int64_t got = Fetch(request);
        WebGetRequest_Release(&request);
        cpu += ProcessCpu() - start;
        if (got != kBig) return state.SkipWithError("download failed");
    }
    unlink(out.c_str());
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(state.iterations() * kBig);
}

void PeerBigFile(benchmark::State& state) {
    if (!TheEnv().Ready()) return state.SkipWithError("nginx did not start");
    const std::string out = TheEnv().Dir.file("out/curl.bin");
    double cpu = 0;
    for (auto _ : state) {
        const double used = Curl({"-o", out, TheEnv().Url("/big.bin")});
        if (used < 0) return state.SkipWithError("curl failed");
        cpu += used;
    }
    unlink(out.c_str());
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(state.iterations() * kBig);
}

void OurGzip(benchmark::State& state) {
    if (!TheEnv().Ready()) return state.SkipWithError("nginx did not start");
    double cpu = 0;
    for (auto _ : state) {
        const double start = ProcessCpu();
        WebGetRequest* request = Make(TheEnv().Url("/text.txt"));
        const int64_t got = Fetch(request);
        const bool compressed = WebGetRequest_IsCompressedResponse(request);
        WebGetRequest_Release(&request);
        cpu += ProcessCpu() - start;
        if (got != (int64_t)TheEnv().Text.size() || !compressed) return state.SkipWithError("gzip body failed");
    }
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(state.iterations() * (int64_t)TheEnv().Text.size());
}

void PeerGzip(benchmark::State& state) {
    if (!TheEnv().Ready()) return state.SkipWithError("nginx did not start");
    double cpu = 0;
    for (auto _ : state) {
        const double used = Curl({"--compressed", "-o", "/dev/null", TheEnv().Url("/text.txt")});
        if (used < 0) return state.SkipWithError("curl failed");
        cpu += used;
    }
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(state.iterations() * (int64_t)TheEnv().Text.size());
}

void OurSmallFiles(benchmark::State& state) {
    if (!TheEnv().Ready()) return state.SkipWithError("nginx did not start");
    std::vector<std::string> urls;
    for (int i = 0; i < kSmallCount; i++) urls.push_back(TheEnv().Url("/s" + std::to_string(i)));
    double cpu = 0;
    for (auto _ : state) {
        const double start = ProcessCpu();
        for (const std::string& url : urls) {
            WebGetRequest* request = Make(url);
            const int64_t got = Fetch(request);
            WebGetRequest_Release(&request);
            if (got != 1024) return state.SkipWithError("small file failed");
        }
        cpu += ProcessCpu() - start;
    }
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}

void PeerSmallFiles(benchmark::State& state) {
    if (!TheEnv().Ready()) return state.SkipWithError("nginx did not start");
    double cpu = 0;
    for (auto _ : state) {
        const double used = Curl({"-K", TheEnv().Dir.file("list.cfg")});
        if (used < 0) return state.SkipWithError("curl failed");
        cpu += used;
    }
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}

BENCHMARK(OurBigFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(PeerBigFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(OurGzip)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(PeerGzip)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(OurSmallFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(PeerSmallFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

PEER_RATIO("1 GiB file to disk from nginx", "OurBigFile", "PeerBigFile");
PEER_RATIO("16 MiB gzip body to memory", "OurGzip", "PeerGzip");
PEER_RATIO("1,000 small files, one connection", "OurSmallFiles",
           "PeerSmallFiles");

} // namespace

PEER_RATIO_MAIN();
