// Web server request rate beside nginx (one worker) on 127.0.0.1, the same small answer from both:
// keep-alive through ab (32 clients, 20000 requests) and wrk, and one request per connection
// through wrk with "Connection: close" (nginx with keepalive_timeout 0). After each run the
// sockets of the server's port still closing (TIME_WAIT, and those still lingering) are counted.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/peer_ratio.h"
#include "bench/socket_states.h"
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

constexpr int kAbRequests = 20000;
// wrk runs for a fixed time; its rate is turned into the time of this many requests.
constexpr double kWrkNominalRequests = 20000;
constexpr const char* kWrkSeconds = "2";
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

// One nginx with a single worker serving the answer; `keepAlive` false closes after every answer.
std::unique_ptr<TlsServer> StartNginx(TempDir& dir, const std::string& name, bool keepAlive) {
    std::ofstream(dir.file(name + ".tmpl"))
        << "worker_processes 1; pid " << dir.file(name + ".pid") << "; error_log " << dir.file(name + ".err")
        << ";\nevents { worker_connections 1024; }\nhttp {\n  access_log off; keepalive_requests 1000000;\n"
        << (keepAlive ? "" : "  keepalive_timeout 0;\n") << "  client_body_temp_path " << dir.path()
        << "; proxy_temp_path " << dir.path() << "; fastcgi_temp_path " << dir.path() << "; uwsgi_temp_path "
        << dir.path() << "; scgi_temp_path " << dir.path() << ";\n  types { text/plain txt; }\n"
        << "  server { listen 127.0.0.1:PORT; root " << dir.file("www") << "; }\n}\n";
    return std::make_unique<TlsServer>(
        dir.path(), std::vector<std::string>{"sh", "-c",
                                             "sed s/PORT/{port}/ " + name + ".tmpl > " + name + ".conf && exec nginx -c " +
                                                 dir.file(name + ".conf") + " -g 'daemon off;'"});
}

struct Env {
    TempDir Dir;
    std::unique_ptr<TlsServer> Nginx;
    std::unique_ptr<TlsServer> NginxClosing;
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
        Nginx = StartNginx(Dir, "nginx", true);
        NginxClosing = StartNginx(Dir, "nginx_closing", false);
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
    bool Ready() const { return Nginx && Nginx->Running() && NginxClosing && NginxClosing->Running() && Port != 0; }
};

Env& TheEnv() {
    static Env env;
    return env;
}

std::string Url(uint32_t port) {
    return "http://127.0.0.1:" + std::to_string(port) + "/a.txt";
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

// Runs ab with keep-alive; true when every request was answered.
bool Ab(uint32_t port) {
    const std::string out =
        Run("ab -q -r -s 30 -k -c 32 -n " + std::to_string(kAbRequests) + " " + Url(port) + " 2>&1");
    return out.find("Failed requests:        0\n") != std::string::npos &&
           out.find("Complete requests:      " + std::to_string(kAbRequests)) != std::string::npos;
}

// Runs wrk with the Connection header given; its requests per second, 0 when it failed or any
// request failed.
double Wrk(uint32_t port, const char* connection) {
    const std::string out = Run(std::string("wrk -t 2 -c 32 -d ") + kWrkSeconds + " -H 'Connection: " + connection +
                                "' " + Url(port) + " 2>&1");
    if (out.find("Non-2xx") != std::string::npos) return 0;
    // Read errors count the peers that closed, as meant, before wrk read their end: only the
    // other kinds are failures.
    const size_t errors = out.find("Socket errors:");
    if (errors != std::string::npos) {
        unsigned connect = 0, read = 0, write = 0, timeout = 0;
        sscanf(out.c_str() + errors, "Socket errors: connect %u, read %u, write %u, timeout %u", &connect, &read, &write,
               &timeout);
        if (connect || write || timeout) return 0;
    }
    const size_t at = out.find("Requests/sec:");
    return at == std::string::npos ? 0 : atof(out.c_str() + at + 13);
}

uint32_t PortOf(bool ours, bool keepAlive) {
    if (ours) return TheEnv().Port;
    return keepAlive ? TheEnv().Nginx->Port() : TheEnv().NginxClosing->Port();
}

void AbRun(benchmark::State& state, bool ours) {
    if (!TheEnv().Ready()) return state.SkipWithError("a server did not start");
    for (auto _ : state)
        if (!Ab(PortOf(ours, true))) return state.SkipWithError("ab saw failed requests");
    state.SetItemsProcessed(state.iterations() * kAbRequests);
}

void WrkRun(benchmark::State& state, bool ours, bool keepAlive) {
    if (!TheEnv().Ready()) return state.SkipWithError("a server did not start");
    const uint32_t port = PortOf(ours, keepAlive);
    double rate = 0;
    SocketStates after;
    for (auto _ : state) {
        rate = Wrk(port, keepAlive ? "keep-alive" : "close");
        if (rate <= 0) return state.SkipWithError("wrk saw failed requests");
        state.SetIterationTime(kWrkNominalRequests / rate);
        after = SocketStates_Count(port);
    }
    state.SetItemsProcessed((int64_t)(state.iterations() * kWrkNominalRequests));
    if (!keepAlive) {
        state.counters["time_wait"] = after.TimeWait;
        state.counters["closing"] = after.Closing;
    }
}

void OurAbKeepAlive(benchmark::State& state) {
    AbRun(state, true);
}
void PeerAbKeepAlive(benchmark::State& state) {
    AbRun(state, false);
}
void OurWrkKeepAlive(benchmark::State& state) {
    WrkRun(state, true, true);
}
void PeerWrkKeepAlive(benchmark::State& state) {
    WrkRun(state, false, true);
}
void OurWrkPerConnection(benchmark::State& state) {
    WrkRun(state, true, false);
}
void PeerWrkPerConnection(benchmark::State& state) {
    WrkRun(state, false, false);
}

} // namespace

BENCHMARK(OurAbKeepAlive)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(PeerAbKeepAlive)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(OurWrkKeepAlive)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(PeerWrkKeepAlive)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(OurWrkPerConnection)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(PeerWrkPerConnection)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

PEER_RATIO("128-byte answers, keep-alive, ab 32 clients x 20000", "OurAbKeepAlive", "PeerAbKeepAlive");
PEER_RATIO("128-byte answers, keep-alive, wrk 32 connections", "OurWrkKeepAlive", "PeerWrkKeepAlive");
PEER_RATIO("128-byte answers, one per connection, wrk 32 connections", "OurWrkPerConnection",
           "PeerWrkPerConnection");
PEER_RATIO_MAIN()
