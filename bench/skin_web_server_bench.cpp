// The skin web server beside nginx serving the same files (1 KB, 64 KB, 10 MB) to wrk on 127.0.0.1
// with keep-alive, both on the same cores: this process (our server's threads) and nginx (as many
// workers as those cores) are pinned to the first cores, wrk to the others, the split made from
// the machine's core count. Ours runs as the host runs it: inline on one thread that loops over a
// server pass, its event queue and a wait of up to 1 ms on its signal, with authentication on and
// wrk admitted as a descendant (the bench, sh, taskset, wrk). The CPU time set beside each run is
// the server side's alone: this process's for ours, nginx's processes' for nginx (wrk's is left
// out of both).
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/nginx_peer.h"
#include "bench/peer_ratio.h"
#include "core/certs/authenticate.h"
#include "core/formats/mime.h"
#include "core/net/async_socket.h"
#include "core/net/socket.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/thread.h"
#include "skin/skin_file.h"
#include "skin/skin_web_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"

namespace {

constexpr double kNominalRequests = 20000;
constexpr const char* kSeconds = "2";
const std::vector<std::pair<std::string, size_t>> kFiles = {
    {"1k.bin", 1024}, {"64k.bin", 64 * 1024}, {"10m.bin", 10 * 1024 * 1024}};

int64_t Quiet(const char*) {
    return 1;
}

// The cores of the server side (ours or nginx) and of wrk: a quarter of the machine, at least
// one, for the server, the rest for wrk.
struct CoreSplit {
    int Server = 1, Total = 1;
    std::string ServerList() const { return Server > 1 ? "0-" + std::to_string(Server - 1) : "0"; }
    std::string ClientList() const {
        return Total - Server > 1 ? std::to_string(Server) + "-" + std::to_string(Total - 1)
                                  : std::to_string(Total > Server ? Server : 0);
    }
    int ClientThreads() const { return Total - Server < 1 ? 1 : Total - Server > 4 ? 4 : Total - Server; }
};

CoreSplit Split() {
    CoreSplit split;
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    split.Total = online > 0 ? (int)online : 1;
    split.Server = split.Total / 4 > 1 ? split.Total / 4 : 1;
    return split;
}

// Pins this thread, and so every thread it starts later, to the server's cores.
void PinToServerCores(const CoreSplit& split) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int i = 0; i < split.Server; i++) CPU_SET(i, &set);
    sched_setaffinity(0, sizeof(set), &set);
}

struct Env {
    TempDir Dir;
    std::unique_ptr<TlsServer> Nginx;
    Thread* Pump = nullptr;
    std::atomic<uint32_t> Port{0};

    static uint32_t PumpMain(void* parameter) {
        Env* env = static_cast<Env*>(parameter);
        SkinWebServer* server = nullptr;
        SkinWebServer_Create(&server);
        SkinWebServer_SetEnableChildAccess(server, 3);
        SkinWebServer_Start(server);
        EventQueue* queue = Thread_GetEventQueueHandle(Thread_GetCurrentId());
        while (!Thread_WaitForExit(0)) {
            Thread_Tick();
            SkinWebServer_Process(server);
            if (!env->Port) env->Port = SkinWebServer_GetListenPort(server);
            EventQueue_Flush(queue);
            Thread_Wait(1);
        }
        SkinWebServer_Delete(&server);
        return 0;
    }

    Env() {
        // Before any thread starts: the server's threads inherit the cores.
        PinToServerCores(Split());
        Debug_Init(nullptr, nullptr, DEBUG_FLAG_EXTERNAL_PRINT);
        Debug_PrintOverride(Quiet);
        Thread_Init();
        EventQueue_Init();
        MIME_Init();
        Socket_Init();
        IOWorker_Init();
        AsyncSocket_Init();
        SkinFile_Init();
        Authenticate_SetEnabled(1);
        chmod(Dir.path().c_str(), 0711);
        mkdir(Dir.file("www").c_str(), 0755);
        for (const auto& [name, size] : kFiles) {
            std::string data(size, '\0');
            for (size_t i = 0; i < size; i++) data[i] = (char)('a' + (i * 7 + i / 13) % 26);
            std::ofstream(Dir.file("www/" + name), std::ios::binary) << data;
            chmod(Dir.file("www/" + name).c_str(), 0644);
        }
        SkinFile_Attach(Dir.file("www").c_str());
        Nginx = StartNginxPinned(Dir, "nginx", Dir.file("www"), Split().Server, Split().ServerList(),
                                 "keepalive_requests 1000000; types { application/octet-stream bin; }");
        Thread_Begin(&Pump, this, PumpMain);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!Port && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    bool Ready() const { return Nginx && Nginx->Running() && Port != 0; }
};

Env& TheEnv() {
    static Env env;
    return env;
}

std::string Run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

// wrk's requests per second, 0 when it failed or any answer was not a 2xx.
double Wrk(uint32_t port, const std::string& name) {
    const CoreSplit split = Split();
    const std::string out = Run("taskset -c " + split.ClientList() + " wrk -t " + std::to_string(split.ClientThreads()) +
                                " -c 32 -d " + kSeconds + " -H 'Connection: keep-alive' " +
                                "http://127.0.0.1:" + std::to_string(port) + "/" + name + " 2>&1");
    if (out.find("Non-2xx") != std::string::npos || out.find("Socket errors") != std::string::npos) {
        fprintf(stderr, "port %u, %s: %s\n", port, name.c_str(), out.c_str());
        return 0;
    }
    const size_t at = out.find("Requests/sec:");
    return at == std::string::npos ? 0 : atof(out.c_str() + at + 13);
}

void Serve(benchmark::State& state, bool ours) {
    if (!TheEnv().Ready()) return state.SkipWithError("a server did not start");
    const auto& [name, size] = kFiles[(size_t)state.range(0)];
    const uint32_t port = ours ? TheEnv().Port.load() : TheEnv().Nginx->Port();
    double rate = 0, cpu = 0;
    // The server side's CPU: ours runs in this process, whose other threads wait for wrk; nginx
    // runs in descendants of this process, where wrk is no longer once it was reaped.
    auto serverCpu = [ours] {
        return ours ? peer_ratio::Usage(RUSAGE_SELF) : peer_ratio::LiveDescendantsCpu();
    };
    for (auto _ : state) {
        const double before = serverCpu();
        rate = Wrk(port, name);
        const double after = serverCpu();
        if (rate <= 0) return state.SkipWithError("wrk saw failed requests");
        // Per the nominal request count, as the time is.
        cpu += (after - before) * (kNominalRequests / rate) / atof(kSeconds);
        state.SetIterationTime(kNominalRequests / rate);
    }
    peer_ratio::SetCpu(state, cpu);
    state.SetItemsProcessed((int64_t)(state.iterations() * kNominalRequests));
    state.SetBytesProcessed((int64_t)(state.iterations() * kNominalRequests * (double)size));
}

void Ours(benchmark::State& state) {
    Serve(state, true);
}
void Nginx(benchmark::State& state) {
    Serve(state, false);
}

} // namespace

BENCHMARK(Ours)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(Nginx)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

PEER_RATIO("1 KB file, keep-alive, wrk 32 connections", "Ours/0", "Nginx/0");
PEER_RATIO("64 KB file, keep-alive, wrk 32 connections", "Ours/1", "Nginx/1");
PEER_RATIO("10 MB file, keep-alive, wrk 32 connections", "Ours/2", "Nginx/2");
PEER_RATIO_MAIN()
