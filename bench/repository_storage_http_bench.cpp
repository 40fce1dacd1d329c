// Reading content from nginx on 127.0.0.1 through an "http" storage: 16 pieces of 4 MiB, each a
// byte range of one 64 MiB file, fetched and verified by Storage_Get four at a time, beside curl
// fetching the same ranges four at a time (--parallel). The HTTP client alone, its bodies
// discarded, is set beside curl too, which tells the storage's share (copy into the request
// buffer, digests) from the transfer's. CPU time of each side is the counter cpu_s.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/peer_ratio.h"
#include "bench/process_peer.h"
#include "core/certs/authenticate.h"
#include "core/crypto/sha1.h"
#include "core/formats/base64.h"
#include "core/formats/json.h"
#include "core/net/async_socket.h"
#include "core/net/socket.h"
#include "core/platform/async_file.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/meter.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"
#include "core/web/web_get_pool.h"
#include "core/web/web_get_request.h"
#include "repository/meta_file.h"
#include "repository/storage.h"
#include "repository/storage_request.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"

namespace {

constexpr int kPieces = 16;
constexpr int64_t kPiece = 4 << 20;
constexpr int kInFlight = 4;

int64_t Quiet(const char*) { return 1; }
int64_t Everyone(const char*) { return 1; }

struct Env {
    TempDir Dir;
    std::unique_ptr<TlsServer> Nginx;
    MetaFile* Manifest = nullptr;
    Storage* Store = nullptr;

    Env() {
        Debug_Init(nullptr, nullptr, DEBUG_FLAG_EXTERNAL_PRINT);
        Debug_PrintOverride(Quiet);
        Thread_Init();
        EventQueue_Init();
        NotificationCenter_Init();
        Authenticate_Init();
        WebGet_Init();
        WebGet_AuthorizeOverride(Everyone);
        Meter_Init();
        Socket_Init();
        IOWorker_Init();
        AsyncFile_Init();
        AsyncSocket_Init();
        WebGetPool_Init();
        chmod(Dir.path().c_str(), 0711); // nginx's workers run as another user
        mkdir(Dir.file("www").c_str(), 0755);
        std::string piece((size_t)kPiece, 0);
        {
            std::ofstream out(Dir.file("www/content.bin"), std::ios::binary);
            for (int i = 0; i < kPieces; i++) {
                for (size_t k = 0; k < piece.size(); k += 4096) piece[k] = (char)(i * 31 + k / 4096);
                out << piece;
            }
        }
        chmod(Dir.file("www/content.bin").c_str(), 0644);
        std::ofstream(Dir.file("nginx.tmpl"))
            << "worker_processes 2; pid " << Dir.file("nginx.pid") << "; error_log " << Dir.file("nginx.err")
            << ";\nevents { worker_connections 64; }\nhttp {\n  access_log off; sendfile on; keepalive_requests 100000;\n"
            << "  default_type application/octet-stream;\n"
            << "  client_body_temp_path " << Dir.path() << "; proxy_temp_path " << Dir.path()
            << "; fastcgi_temp_path " << Dir.path() << "; uwsgi_temp_path " << Dir.path() << "; scgi_temp_path "
            << Dir.path() << ";\n  server { listen 127.0.0.1:PORT; root " << Dir.file("www") << "; }\n}\n";
        Nginx = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"sh", "-c",
                                                 "sed s/PORT/{port}/ nginx.tmpl > nginx.conf && exec nginx -c " +
                                                     Dir.file("nginx.conf") + " -g 'daemon off;'"});
        std::string digests;
        for (int i = 0; i < kPieces; i++) {
            for (size_t k = 0; k < piece.size(); k += 4096) piece[k] = (char)(i * 31 + k / 4096);
            SHA1* sha = nullptr;
            SHA1_Create(&sha);
            SHA1_Process(sha, piece.data(), (uint32_t)piece.size());
            SHA1_Generate(sha);
            uint8_t digest[20];
            SHA1_GetDigest(sha, digest, 20);
            SHA1_Release(&sha);
            char text[64];
            uint32_t written = 0;
            Base64_Encode(digest, 20, text, sizeof(text), &written);
            text[written] = 0;
            digests += std::string(i ? ",\"" : "\"") + text + "\"";
        }
        const std::string manifest = R"({"id":"bench","files":[{"name":"content.bin","size":)" +
                                     std::to_string(kPiece * kPieces) + R"(}],"pieces":{"size":)" +
                                     std::to_string(kPiece) + R"(,"digests":[)" + digests + "]}}";
        MetaFile_Create(&Manifest);
        JSON* json = nullptr;
        JSON_Create(&json);
        JSON_SetValueCallback(json, Manifest, MetaFile_ValueCallback);
        JSON_LoadBuffer(json, manifest.data(), (uint32_t)manifest.size());
        JSON_Release(&json);
        uint32_t code = 0, codeEx = 0;
        MetaFile_WorkerBuild(nullptr, Manifest, &code, &codeEx);
        Storage_Create(&Store);
        Dictionary* config = nullptr;
        Dictionary_Create(&config);
        Dictionary_SetStringByKey(config, "type", "http");
        Dictionary_SetStringByKey(config, "url", Url("/").c_str());
        Storage_Configure(Store, nullptr, config, nullptr);
        Dictionary_Release(&config);
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

struct Slot {
    StorageRequest* Request = nullptr;
    bool Busy = false;
    uint32_t Code = 0;
};

void Completed(Storage*, void* user, void*, uint32_t code, uint32_t) {
    auto* slot = static_cast<Slot*>(user);
    slot->Code = code;
    slot->Busy = false;
}

void OurRanges(benchmark::State& state) {
    Env& env = TheEnv();
    if (!env.Ready()) return state.SkipWithError("nginx did not start");
    Slot slots[kInFlight];
    for (Slot& s : slots) StorageRequest_Create(&s.Request);
    double cpu = 0;
    bool failed = false;
    for (auto _ : state) {
        const double start = ProcessCpu();
        int next = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        for (;;) {
            bool idle = true;
            for (Slot& s : slots) {
                if (s.Busy) {
                    idle = false;
                    continue;
                }
                failed = failed || s.Code != 0;
                if (next >= kPieces) continue;
                StorageRequest_Reset(s.Request);
                StorageRequest_SetMetaFileHandle(s.Request, env.Manifest);
                StorageRequest_IndexAdd(s.Request, next++);
                StorageRequest_Alloc(s.Request);
                s.Busy = true;
                idle = false;
                Storage_Get(env.Store, s.Request, nullptr, &s, Completed);
            }
            if ((idle && next >= kPieces) || std::chrono::steady_clock::now() > deadline) break;
            EventQueue_Flush(nullptr);
            WebGetPool_Process();
            Thread_Wait(1);
        }
        cpu += ProcessCpu() - start;
        if (failed || next < kPieces) break;
    }
    for (Slot& s : slots) StorageRequest_Release(&s.Request);
    if (failed) return state.SkipWithError("a Get failed");
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(state.iterations() * kPiece * kPieces);
}

int64_t Discard(WebGetRequest*, void*, const uint8_t*, uint32_t length, uint32_t* used) {
    *used += length;
    return 1;
}

void ClientRanges(benchmark::State& state) {
    Env& env = TheEnv();
    if (!env.Ready()) return state.SkipWithError("nginx did not start");
    for (auto _ : state) {
        std::vector<WebGetRequest*> live;
        int next = 0;
        while (next < kPieces || !live.empty()) {
            for (size_t i = 0; i < live.size();) {
                if (WebGetRequest_IsDone(live[i])) {
                    WebGetRequest_Release(&live[i]);
                    live.erase(live.begin() + (long)i);
                } else {
                    i++;
                }
            }
            while (next < kPieces && live.size() < kInFlight) {
                WebGetRequest* r = nullptr;
                WebGetRequest_Create(&r);
                WebGetRequest_SetURL(r, env.Url("/content.bin").c_str());
                WebGetRequest_SetByteRange(r, next * kPiece, (next + 1) * kPiece - 1);
                WebGetRequest_SetFillBodyCallback(r, nullptr, nullptr, Discard);
                WebGetPool_RequestAdd(r);
                live.push_back(r);
                next++;
            }
            EventQueue_Flush(nullptr);
            WebGetPool_Process();
            Thread_Wait(1);
        }
    }
    state.SetBytesProcessed(state.iterations() * kPiece * kPieces);
}

void PeerRanges(benchmark::State& state) {
    Env& env = TheEnv();
    if (!env.Ready()) return state.SkipWithError("nginx did not start");
    const std::string config = env.Dir.file("ranges.cfg");
    {
        std::ofstream list(config);
        for (int i = 0; i < kPieces; i++) {
            if (i) list << "next\n";
            list << "silent\nurl = \"" << env.Url("/content.bin") << "\"\nrange = \"" << i * kPiece << "-"
                 << (i + 1) * kPiece - 1 << "\"\noutput = \"/dev/null\"\n";
        }
    }
    double cpu = 0;
    for (auto _ : state) {
        const double used = Curl({"--parallel", "--parallel-max", std::to_string(kInFlight), "-K", config});
        if (used < 0) return state.SkipWithError("curl failed");
        cpu += used;
    }
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(state.iterations() * kPiece * kPieces);
}

BENCHMARK(OurRanges)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(ClientRanges)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(PeerRanges)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

PEER_RATIO("16 ranges of 4 MiB from nginx, 4 at a time, verified", "OurRanges", "PeerRanges");
PEER_RATIO("the same ranges, HTTP client alone, bodies discarded", "ClientRanges", "PeerRanges");

} // namespace

PEER_RATIO_MAIN();
