// Web server request rate beside nginx (one worker) on 127.0.0.1: the same small answer to ab,
// with keep-alive (32 clients, 20000 requests) and with one request per connection.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/peer_ratio.h"
#include "core/formats/mime.h"
#include "core/net/async_socket.h"
#include "core/net/socket.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/thread.h"
#include "core/web/web_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"

namespace {

constexpr int kPersistentRequests = 20000;
constexpr int kSingleRequests = 5000;
const std::string kAnswer(128, 'a');

int64_t Quiet(const char*) {
    return 1;
}

int64_t QuietPrint(void*, const char*, ...) {
    return 1;
}

int64_t AnswerHeader(WebServer* s, void*, WebServerConnection* c) {
    WebServer_ConnectionSetResponse(s, c, 200, (int64_t)kAnswer.size());
    char value[32];
    // ab keeps a connection only when the answer says so.
    if (WebServer_ConnectionGetRequestHeader(s, c, "Connection", value, (int32_t)sizeof(value)) &&
        strncasecmp(value, "keep-alive", 10) == 0)
        WebServer_ConnectionSetResponseHeader(s, c, "Connection", "%s", "keep-alive");
    return 1;
}

int64_t AnswerBody(WebServer* s, void*, WebServerConnection* c, int64_t) {
    int32_t count = 0;
    WebServer_ConnectionResponseWrite(s, c, kAnswer.data(), (int32_t)kAnswer.size(), &count);
    return 0;
}

struct Env {
    TempDir Dir;
    std::unique_ptr<TlsServer> Nginx;
    WebServer* Server = nullptr;
    uint32_t Port = 0;

    Env() {
        Debug_Init(nullptr, nullptr, DEBUG_FLAG_EXTERNAL_PRINT);
        Debug_PrintOverride(Quiet);
        Thread_Init();
        EventQueue_Init();
        MIME_Init();
        Socket_Init();
        IOWorker_Init();
        AsyncSocket_Init();
        chmod(Dir.path().c_str(), 0711);
        mkdir(Dir.file("www").c_str(), 0755);
        std::ofstream(Dir.file("www/a.txt"), std::ios::binary) << kAnswer;
        std::ofstream(Dir.file("nginx.tmpl"))
            << "worker_processes 1; pid " << Dir.file("nginx.pid") << "; error_log " << Dir.file("nginx.err")
            << ";\nevents { worker_connections 256; }\nhttp {\n  access_log off; keepalive_requests 100000;\n"
            << "  client_body_temp_path " << Dir.path() << "; proxy_temp_path " << Dir.path()
            << "; fastcgi_temp_path " << Dir.path() << "; uwsgi_temp_path " << Dir.path() << "; scgi_temp_path "
            << Dir.path() << ";\n  types { text/plain txt; }\n"
            << "  server { listen 127.0.0.1:PORT; root " << Dir.file("www") << "; }\n}\n";
        Nginx = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"sh", "-c",
                                                 "sed s/PORT/{port}/ nginx.tmpl > nginx.conf && exec nginx -c " +
                                                     Dir.file("nginx.conf") + " -g 'daemon off;'"});
        WebServer_Create(&Server);
        WebServer_SetPrintCallback(Server, nullptr, QuietPrint);
        WebServer_SetUseThread(Server, 1);
        WebServer_SetPersistentConnections(Server, 1);
        const uint32_t loopback = htonl(INADDR_LOOPBACK);
        WebServer_SetListenIP(Server, &loopback);
        WebServer_SetListenPort(Server, 0);
        WebServer_SetConnectionResponseHeaderCallback(Server, nullptr, AnswerHeader);
        WebServer_SetConnectionResponseBodyCallback(Server, nullptr, AnswerBody);
        WebServer_Start(Server);
        for (int i = 0; i < 500 && !Port; i++) {
            WebServer_GetActiveListenPort(Server, &Port);
            if (!Port) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    bool Ready() const { return Nginx && Nginx->Running() && Port != 0; }
};

Env& TheEnv() {
    static Env env;
    return env;
}

// Runs ab; 0 when every request was answered.
bool Ab(uint32_t port, bool keepAlive, int requests) {
    const std::string command = std::string("ab -q -r -s 30 ") + (keepAlive ? "-k " : "") + "-c 32 -n " +
                                std::to_string(requests) + " http://127.0.0.1:" + std::to_string(port) +
                                "/a.txt 2>&1 | grep -q '^Failed requests: *0$'";
    return system(command.c_str()) == 0;
}

void Run(benchmark::State& state, bool ours, bool keepAlive) {
    if (!TheEnv().Ready()) return state.SkipWithError("a server did not start");
    const uint32_t port = ours ? TheEnv().Port : TheEnv().Nginx->Port();
    const int requests = keepAlive ? kPersistentRequests : kSingleRequests;
    for (auto _ : state)
        if (!Ab(port, keepAlive, requests)) return state.SkipWithError("ab saw failed requests");
    state.SetItemsProcessed(state.iterations() * requests);
}

void OurKeepAlive(benchmark::State& state) {
    Run(state, true, true);
}
void PeerKeepAlive(benchmark::State& state) {
    Run(state, false, true);
}
void OurPerConnection(benchmark::State& state) {
    Run(state, true, false);
}
void PeerPerConnection(benchmark::State& state) {
    Run(state, false, false);
}

} // namespace

BENCHMARK(OurKeepAlive)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(PeerKeepAlive)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(OurPerConnection)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(PeerPerConnection)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

PEER_RATIO("128-byte answers, keep-alive, 32 clients x 20000", "OurKeepAlive", "PeerKeepAlive");
PEER_RATIO("128-byte answers, one per connection, 32 clients x 5000", "OurPerConnection", "PeerPerConnection");
PEER_RATIO_MAIN()
