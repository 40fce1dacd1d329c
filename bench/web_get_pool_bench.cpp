// The request pool against nginx on loopback addresses: 1,000 small files on one host filed at
// once (six connections) beside curl fetching the same list with six parallel HTTP/1.1
// transfers, and the longest main-loop pass while five hosts download over six connections each.
// CPU time of each side is the counter cpu_s (ours: this process; curl: its own).
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
#include "core/runtime/meter.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"
#include "core/web/web_get_pool.h"
#include "core/web/web_get_request.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"

extern char** environ;

namespace {

constexpr int kSmallCount = 1000;
constexpr int kHosts = 5;
constexpr int kBigPerHost = 6;
constexpr int64_t kBig = 64ll << 20;

int64_t Quiet(const char*) {
    return 1;
}

struct Env {
    TempDir Dir;
    std::unique_ptr<TlsServer> Nginx;

    Env() {
        Debug_Init(nullptr, nullptr, DEBUG_FLAG_EXTERNAL_PRINT);
        Debug_PrintOverride(Quiet);
        Thread_Init();
        Meter_Init();
        EventQueue_Init();
        NotificationCenter_Init();
        Authenticate_Init();
        WebGet_Init();
        Socket_Init();
        IOWorker_Init();
        AsyncFile_Init();
        AsyncSocket_Init();
        WebGetPool_Init();
        // nginx's workers run as another user: they must reach the served files.
        chmod(Dir.path().c_str(), 0711);
        mkdir(Dir.file("www").c_str(), 0755);
        const std::string small(1024, 's');
        for (int i = 0; i < kSmallCount; i++) std::ofstream(Dir.file("www/s" + std::to_string(i))) << small;
        { std::ofstream(Dir.file("www/big.bin")); }
        truncate(Dir.file("www/big.bin").c_str(), kBig);
        std::string listen;
        for (int h = 1; h <= kHosts; h++) listen += " listen 127.0.0." + std::to_string(h) + ":PORT;";
        std::ofstream(Dir.file("nginx.tmpl"))
            << "worker_processes 2; pid " << Dir.file("nginx.pid") << "; error_log " << Dir.file("nginx.err")
            << ";\nevents { worker_connections 256; }\nhttp {\n  access_log off; sendfile on; keepalive_requests 100000;\n"
            << "  client_body_temp_path " << Dir.path() << "; proxy_temp_path " << Dir.path()
            << "; fastcgi_temp_path " << Dir.path() << "; uwsgi_temp_path " << Dir.path() << "; scgi_temp_path "
            << Dir.path() << ";\n  server {" << listen << " root " << Dir.file("www") << "; }\n}\n";
        Nginx = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"sh", "-c",
                                                 "sed s/PORT/{port}/g nginx.tmpl > nginx.conf && exec nginx -c " +
                                                     Dir.file("nginx.conf") + " -g 'daemon off;'"});
        std::ofstream list(Dir.file("list.cfg"));
        for (int i = 0; i < kSmallCount; i++)
            list << "url = \"" << Url(1, "/s" + std::to_string(i)) << "\"\noutput = \"/dev/null\"\n";
        if (Ready() && Curl({"-o", "/dev/null", Url(1, "/s0")}) < 0)
            fprintf(stderr, "nginx does not serve: %s\n", ReadFile(Dir.file("nginx.err")).c_str());
    }
    bool Ready() const { return Nginx && Nginx->Running(); }
    std::string Url(int host, const std::string& path) const {
        return "http://127.0.0." + std::to_string(host) + ":" + std::to_string(Nginx ? Nginx->Port() : 0) + path;
    }
};

Env& TheEnv() {
    static Env env;
    return env;
}

WebGetRequest* Make(const std::string& url) {
    WebGetRequest* request = nullptr;
    WebGetRequest_Create(&request);
    WebGetRequest_SetRequireAuthorization(request, 0);
    WebGetRequest_SetAllowProxy(request, 0);
    WebGetRequest_SetURL(request, url.c_str());
    return request;
}

struct Longest {
    double Loop = 0; // one turn of the loop: the event queue's flush, then a pool pass
    double Flush = 0;
    double Pass = 0; // a pool pass called by the loop itself
};

// Files every request with the pool and runs the main loop until all are Done; false when a
// request failed or the bound passed.
bool RunAll(const std::vector<WebGetRequest*>& requests, int64_t expected, Longest* longest) {
    for (WebGetRequest* r : requests) WebGetPool_RequestAdd(r);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
    size_t done = 0;
    using Clock = std::chrono::steady_clock;
    auto seconds = [](Clock::time_point from, Clock::time_point to) {
        return std::chrono::duration<double>(to - from).count();
    };
    while (done < requests.size() && std::chrono::steady_clock::now() < deadline) {
        const auto start = Clock::now();
        EventQueue_Flush(nullptr);
        const auto flushed = Clock::now();
        WebGetPool_Process();
        const auto end = Clock::now();
        longest->Loop = std::max(longest->Loop, seconds(start, end));
        longest->Flush = std::max(longest->Flush, seconds(start, flushed));
        longest->Pass = std::max(longest->Pass, seconds(flushed, end));
        while (done < requests.size() && WebGetRequest_IsDone(requests[done])) done++;
        if (done < requests.size()) Thread_Wait(1);
    }
    for (WebGetRequest* r : requests) {
        int64_t length = 0;
        WebGetRequest_GetBodyLength(r, &length);
        if (!WebGetRequest_IsOk(r) || length != expected) return false;
    }
    return true;
}

void OurSmallFiles(benchmark::State& state) {
    if (!TheEnv().Ready()) return state.SkipWithError("nginx did not start");
    double cpu = 0;
    for (auto _ : state) {
        const double start = ProcessCpu();
        std::vector<WebGetRequest*> requests;
        for (int i = 0; i < kSmallCount; i++) requests.push_back(Make(TheEnv().Url(1, "/s" + std::to_string(i))));
        Longest longest;
        const bool ok = RunAll(requests, 1024, &longest);
        for (WebGetRequest*& r : requests) WebGetRequest_Release(&r);
        cpu += ProcessCpu() - start;
        if (!ok) return state.SkipWithError("small file failed");
    }
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}

void PeerSmallFiles(benchmark::State& state) {
    if (!TheEnv().Ready()) return state.SkipWithError("nginx did not start");
    double cpu = 0;
    for (auto _ : state) {
        const double used = Curl({"--no-progress-meter", "--parallel", "--parallel-max", "6", "--http1.1", "-K", TheEnv().Dir.file("list.cfg")});
        if (used < 0) return state.SkipWithError("curl failed");
        cpu += used;
    }
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}

// Five hosts, six connections each, all receiving at once: the counters are the longest turn of
// the main loop (loop_ms), of its event queue flush, which runs queued pool passes (flush_ms), and
// of the pool pass it calls itself (pass_ms).
void OurFiveHostsPass(benchmark::State& state) {
    if (!TheEnv().Ready()) return state.SkipWithError("nginx did not start");
    double cpu = 0;
    Longest longest;
    for (auto _ : state) {
        const double start = ProcessCpu();
        std::vector<WebGetRequest*> requests;
        for (int h = 1; h <= kHosts; h++)
            for (int i = 0; i < kBigPerHost; i++) {
                WebGetRequest* r = Make(TheEnv().Url(h, "/big.bin"));
                WebGetRequest_SetFillBodyCallbackNull(r);
                requests.push_back(r);
            }
        const bool ok = RunAll(requests, kBig, &longest);
        for (WebGetRequest*& r : requests) WebGetRequest_Release(&r);
        cpu += ProcessCpu() - start;
        if (!ok) return state.SkipWithError("download failed");
    }
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
    state.counters["loop_ms"] = longest.Loop * 1000;
    state.counters["flush_ms"] = longest.Flush * 1000;
    state.counters["pass_ms"] = longest.Pass * 1000;
    state.SetBytesProcessed(state.iterations() * kHosts * kBigPerHost * kBig);
}

BENCHMARK(OurSmallFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(PeerSmallFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(OurFiveHostsPass)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

PEER_RATIO("1,000 small files, one host, six connections", "OurSmallFiles", "PeerSmallFiles");

} // namespace

PEER_RATIO_MAIN();
