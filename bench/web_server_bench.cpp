// Web server request rate beside nginx on 127.0.0.1, the same small answer from both, on equal
// processors: the server under test (ours, or nginx with one worker per processor) is pinned to
// the first processors this process may use and the load generator to the next ones, as many for
// each (a quarter of the processors, at least one), so neither side borrows the other's.
// Both sides do the same work per request, in two kinds: the answer from memory (ours from its
// callback, nginx through `return 200`), and the answer from a file opened, measured, read and
// closed per request (ours in its callbacks, nginx from its root with sendfile).
// Keep-alive through ab (32 clients, 20000 requests) and wrk, and one request per connection
// through wrk with "Connection: close" (nginx with keepalive_timeout 0). The CPU time set beside
// the wall time is the server's alone: this process's own (the load generator is a child) for
// ours, nginx's master and workers for the peer, per the nominal 20000 requests. After each
// one-per-connection run the sockets of the server's port still closing are counted.
// Beside them, the reading of one request header alone (no socket, no peer): a short request and
// a browser's, each put into a connection's read buffer and read as the server reads it; and a
// block with one 8,000-byte line, whole and a byte at a time (the server looking after each
// byte, as a slow client makes it), beside the same bytes as 40-byte lines a byte at a time.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <algorithm>
#include <string>
#include <vector>

#include "bench/nginx_peer.h"
#include "bench/peer_ratio.h"
#include "bench/socket_states.h"
#include "core/formats/mime.h"
#include "core/net/async_socket.h"
#include "core/net/socket.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/thread.h"
#include "core/platform/duplex_stream.h"
#include "core/web/web_server.h"
#include "core/web/web_server_internal.h"
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

// The runtime's debug output, made quiet once for every row: the servers' rows and the header
// rows each need it, and a second Debug_Init aborts.
void QuietDebug() {
    static const bool done = [] {
        Debug_Init(nullptr, nullptr, DEBUG_FLAG_EXTERNAL_PRINT);
        Debug_PrintOverride(Quiet);
        return true;
    }();
    (void)done;
}

// The folder the answers of the second kind are read from.
std::string& Root() {
    static std::string root;
    return root;
}

// Argument of every pair: which kind of answer, and the path asked for it.
enum Kind { kFromMemory = 0, kFromFile = 1 };
const char* const kPaths[] = {"/mem.txt", "/a.txt"};

void KeepAliveIfAsked(WebServer* s, WebServerConnection* c) {
    char value[32];
    // ab keeps a connection only when the answer says so.
    if (WebServer_ConnectionGetRequestHeader(s, c, "Connection", value, (int32_t)sizeof(value)) &&
        strncasecmp(value, "keep-alive", 10) == 0)
        WebServer_ConnectionSetResponseHeader(s, c, "Connection", "%s", "keep-alive");
}

// The file of a request's path under the root, opened and measured as a static file server does;
// the descriptor waits in the connection's user handle (plus one, so that none is null) for the
// body.
bool OpenAnswerFile(WebServer* s, WebServerConnection* c) {
    const char* name = nullptr;
    if (!WebServer_ConnectionGetFilenamePtr(s, c, &name) || !name || strstr(name, "..")) return false;
    const int fd = open((Root() + name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0) close(fd);
        return false;
    }
    WebServer_ConnectionSetUserHandle(s, c, reinterpret_cast<void*>((intptr_t)fd + 1));
    WebServer_ConnectionSetResponse(s, c, 200, (int64_t)info.st_size);
    return true;
}

int64_t AnswerHeader(WebServer* s, void*, WebServerConnection* c) {
    const char* name = nullptr;
    WebServer_ConnectionGetFilenamePtr(s, c, &name);
    if (name && strcmp(name, kPaths[kFromMemory]) == 0)
        WebServer_ConnectionSetResponse(s, c, 200, (int64_t)kAnswer.size());
    else if (!OpenAnswerFile(s, c))
        WebServer_ConnectionSetResponse(s, c, 404, 0);
    KeepAliveIfAsked(s, c);
    return 1;
}

int64_t AnswerBody(WebServer* s, void*, WebServerConnection* c, int64_t) {
    void* handle = nullptr;
    WebServer_ConnectionGetUserHandle(s, c, &handle);
    int32_t count = 0;
    if (!handle) {
        WebServer_ConnectionResponseWrite(s, c, kAnswer.data(), (int32_t)kAnswer.size(), &count);
        return 0;
    }
    WebServer_ConnectionSetUserHandle(s, c, nullptr);
    const int fd = (int)((intptr_t)handle - 1);
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0)
        WebServer_ConnectionResponseWrite(s, c, buffer, (int32_t)n, &count);
    close(fd);
    return 0;
}

// A descriptor still waiting when a connection ends early is closed with it.
int64_t CloseAnswerFile(WebServer* s, void*, WebServerConnection* c) {
    void* handle = nullptr;
    if (WebServer_ConnectionGetUserHandle(s, c, &handle) && handle) {
        WebServer_ConnectionSetUserHandle(s, c, nullptr);
        close((int)((intptr_t)handle - 1));
    }
    return 1;
}

// The processors this process may use, split into the server's (the first quarter, at least one)
// and the load generator's (as many, taken after them; the server's again on a single processor).
struct Processors {
    std::vector<int> Server, Client;

    Processors() {
        cpu_set_t set;
        CPU_ZERO(&set);
        std::vector<int> allowed;
        if (sched_getaffinity(0, sizeof(set), &set) == 0)
            for (int i = 0; i < CPU_SETSIZE; i++)
                if (CPU_ISSET(i, &set)) allowed.push_back(i);
        if (allowed.empty()) allowed.push_back(0);
        const size_t share = std::max<size_t>(1, allowed.size() / 4);
        Server.assign(allowed.begin(), allowed.begin() + (long)share);
        if (allowed.size() >= 2 * share)
            Client.assign(allowed.begin() + (long)share, allowed.begin() + (long)(2 * share));
        else
            Client = Server;
    }

    static std::string List(const std::vector<int>& cpus) {
        std::string text;
        for (int cpu : cpus) text += (text.empty() ? "" : ",") + std::to_string(cpu);
        return text;
    }

    // Pins the calling thread, and so every thread and child it starts afterwards, to the server's.
    void PinServer() const {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (int cpu : Server) CPU_SET(cpu, &set);
        sched_setaffinity(0, sizeof(set), &set);
    }
};

const Processors& TheProcessors() {
    static Processors processors;
    return processors;
}

// The user and system seconds of a process and its threads, and of its children (nginx's workers),
// from /proc, in clock ticks.
double ProcessTreeCpu(const std::string& pid) {
    static const double tick = (double)sysconf(_SC_CLK_TCK);
    double ticks = 0;
    std::vector<std::string> todo{pid};
    while (!todo.empty()) {
        const std::string at = todo.back();
        todo.pop_back();
        std::ifstream statFile("/proc/" + at + "/stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
        // After the command's closing parenthesis the fields run from the third: utime and stime
        // are the 14th and 15th.
        const size_t close = stat.rfind(')');
        if (close != std::string::npos) {
            std::istringstream fields(stat.substr(close + 1));
            std::string field;
            for (int k = 3; k <= 15 && fields >> field; k++)
                if (k >= 14) ticks += std::strtod(field.c_str(), nullptr);
        }
        std::ifstream children("/proc/" + at + "/task/" + at + "/children");
        std::string child;
        while (children >> child) todo.push_back(child);
    }
    return ticks / tick;
}

// The CPU seconds the server has used so far: this process's own for ours, nginx's for the peer.
double ServerCpu(const std::string& nginxPidFile) {
    if (nginxPidFile.empty()) {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return peer_ratio::Seconds(usage);
    }
    std::ifstream file(nginxPidFile);
    std::string pid;
    file >> pid;
    return pid.empty() ? 0 : ProcessTreeCpu(pid);
}

struct Env {
    TempDir Dir;
    std::unique_ptr<TlsServer> Nginx;
    std::unique_ptr<TlsServer> NginxClosing;
    WebServer* Server = nullptr;
    uint32_t Port = 0;

    Env() {
        TheProcessors().PinServer();
        QuietDebug();
        Thread_Init();
        EventQueue_Init();
        MIME_Init();
        Socket_Init();
        IOWorker_Init();
        AsyncSocket_Init();
        chmod(Dir.path().c_str(), 0711);
        mkdir(Dir.file("www").c_str(), 0755);
        std::ofstream(Dir.file("www/a.txt"), std::ios::binary) << kAnswer;
        Root() = Dir.file("www");
        const int workers = (int)TheProcessors().Server.size();
        const std::string cpus = Processors::List(TheProcessors().Server);
        // The answer from memory: nginx's own, with the type its files are given.
        const std::string fromMemory = std::string("location = ") + kPaths[kFromMemory] +
                                       " { default_type application/octet-stream; return 200 \"" + kAnswer +
                                       "\"; } ";
        Nginx = StartNginx(Dir, "nginx", Dir.file("www"), "", fromMemory + "keepalive_requests 1000000;",
                           workers, cpus);
        NginxClosing = StartNginx(Dir, "nginx_closing", Dir.file("www"), "",
                                  fromMemory + "keepalive_timeout 0;", workers, cpus);
        WebServer_Create(&Server);
        WebServer_SetPrintCallback(Server, nullptr, QuietPrint);
        WebServer_SetUseThread(Server, 1);
        WebServer_SetPersistentConnections(Server, 1);
        const uint32_t loopback = htonl(INADDR_LOOPBACK);
        WebServer_SetListenIP(Server, &loopback);
        WebServer_SetListenPort(Server, 0);
        WebServer_SetConnectionResponseHeaderCallback(Server, nullptr, AnswerHeader);
        WebServer_SetConnectionResponseBodyCallback(Server, nullptr, AnswerBody);
        WebServer_SetConnectionCloseCallback(Server, nullptr, CloseAnswerFile);
        WebServer_Start(Server);
        // The listener starts on its own thread: waited for in time, not in passes.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!Port && std::chrono::steady_clock::now() < deadline) {
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

std::string Url(uint32_t port, int kind) {
    return "http://127.0.0.1:" + std::to_string(port) + kPaths[kind];
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

// The load generator's command, run on its processors.
std::string OnClient(const std::string& command) {
    return "taskset -c " + Processors::List(TheProcessors().Client) + " " + command;
}

// Runs ab with keep-alive; true when every request was answered with success.
bool Ab(uint32_t port, int kind) {
    const std::string out = Run(OnClient("ab -q -r -s 30 -k -c 32 -n " + std::to_string(kAbRequests) + " " +
                                         Url(port, kind) + " 2>&1"));
    return out.find("Failed requests:        0\n") != std::string::npos &&
           out.find("Non-2xx") == std::string::npos &&
           out.find("Complete requests:      " + std::to_string(kAbRequests)) != std::string::npos;
}

struct WrkResult {
    double Rate = 0;     // requests per second, 0 when wrk failed or any request failed
    double Requests = 0; // answered in the run
};

// Runs wrk, one thread per processor of its own, with the Connection header given.
WrkResult Wrk(uint32_t port, int kind, const char* connection) {
    WrkResult result;
    const std::string out =
        Run(OnClient("wrk -t " + std::to_string(TheProcessors().Client.size()) + " -c 32 -d " + kWrkSeconds +
                     " -H 'Connection: " + connection + "' " + Url(port, kind) + " 2>&1"));
    if (out.find("Non-2xx") != std::string::npos) return result;
    // Read errors count the peers that closed, as meant, before wrk read their end: only the
    // other kinds are failures.
    const size_t errors = out.find("Socket errors:");
    if (errors != std::string::npos) {
        unsigned connect = 0, read = 0, write = 0, timeout = 0;
        sscanf(out.c_str() + errors, "Socket errors: connect %u, read %u, write %u, timeout %u", &connect, &read, &write,
               &timeout);
        if (connect || write || timeout) return result;
    }
    const size_t count = out.find(" requests in ");
    const size_t at = out.find("Requests/sec:");
    if (count == std::string::npos || at == std::string::npos) return result;
    const size_t begin = out.find_last_of(" \n", count - 1);
    result.Requests = atof(out.c_str() + (begin == std::string::npos ? 0 : begin + 1));
    result.Rate = result.Requests > 0 ? atof(out.c_str() + at + 13) : 0;
    return result;
}

uint32_t PortOf(bool ours, bool keepAlive) {
    if (ours) return TheEnv().Port;
    return keepAlive ? TheEnv().Nginx->Port() : TheEnv().NginxClosing->Port();
}

std::string PidFileOf(bool ours, bool keepAlive) {
    if (ours) return "";
    return TheEnv().Dir.file(keepAlive ? "nginx.pid" : "nginx_closing.pid");
}

void AbRun(benchmark::State& state, bool ours) {
    if (!TheEnv().Ready()) return state.SkipWithError("a server did not start");
    const std::string pidFile = PidFileOf(ours, true);
    double cpu = 0;
    for (auto _ : state) {
        const double before = ServerCpu(pidFile);
        if (!Ab(PortOf(ours, true), (int)state.range(0)))
            return state.SkipWithError("ab saw failed requests");
        cpu += ServerCpu(pidFile) - before;
    }
    state.SetItemsProcessed(state.iterations() * kAbRequests);
    peer_ratio::SetCpu(state, cpu);
}

void WrkRun(benchmark::State& state, bool ours, bool keepAlive) {
    if (!TheEnv().Ready()) return state.SkipWithError("a server did not start");
    const uint32_t port = PortOf(ours, keepAlive);
    const std::string pidFile = PidFileOf(ours, keepAlive);
    double cpu = 0;
    SocketStates after;
    for (auto _ : state) {
        const double before = ServerCpu(pidFile);
        const WrkResult run = Wrk(port, (int)state.range(0), keepAlive ? "keep-alive" : "close");
        if (run.Rate <= 0) return state.SkipWithError("wrk saw failed requests");
        // The server's CPU for the nominal count of requests, as the time is.
        cpu += (ServerCpu(pidFile) - before) * kWrkNominalRequests / run.Requests;
        state.SetIterationTime(kWrkNominalRequests / run.Rate);
        after = SocketStates_Count(port);
    }
    state.SetItemsProcessed((int64_t)(state.iterations() * kWrkNominalRequests));
    peer_ratio::SetCpu(state, cpu);
    if (!keepAlive) {
        state.counters["time_wait"] = after.TimeWait;
        state.counters["closing"] = after.Closing;
    }
}

// The request headers read: a short one, and a browser's with twelve lines.
const char* const kHeaders[] = {
    "GET /index.html HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nConnection: keep-alive\r\n\r\n",
    "GET /skin/page.html?view=main HTTP/1.1\r\n"
    "Host: 127.0.0.1:8080\r\n"
    "Connection: keep-alive\r\n"
    "sec-ch-ua: \"Chromium\";v=\"120\", \"Not?A_Brand\";v=\"8\"\r\n"
    "sec-ch-ua-mobile: ?0\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Safari/537.36\r\n"
    "sec-ch-ua-platform: \"Linux\"\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8\r\n"
    "Sec-Fetch-Site: same-origin\r\n"
    "Sec-Fetch-Mode: navigate\r\n"
    "Referer: http://127.0.0.1:8080/skin/index.html\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Accept-Language: en-US,en;q=0.9\r\n\r\n",
};

// The server the header rows read for: made once, for all of them.
WebServer* HeaderServer() {
    static WebServer* server = [] {
        QuietDebug();
        WebServer* s = nullptr;
        WebServer_Create(&s);
        WebServer_SetPrintCallback(s, nullptr, QuietPrint);
        WebServer_SetPersistentConnections(s, 1);
        return s;
    }();
    return server;
}

void ReadRequestHeader(benchmark::State& state) {
    WebServer* server = HeaderServer();
    const std::string header = kHeaders[state.range(0)];
    WebServerConnection* c = nullptr;
    WebServer_ConnectionCreateDetached(server, &c);
    DuplexStream* stream = nullptr;
    WebServer_ConnectionGetDuplexStreamHandle(server, c, &stream);
    for (auto _ : state) {
        DuplexStream_ReadPut(stream, header.data(), (uint32_t)header.size());
        c->Phase = WEBSERVER_PHASE_REQUEST_HEADER;
        if (!WebServer_ConnectionReadRequestHeader(c) || c->Phase != WEBSERVER_PHASE_RESPONSE_HEADER)
            return state.SkipWithError("the header was not read");
        WebServer_ConnectionReset(c);
    }
    WebServer_ConnectionFreeDetached(&c);
    state.SetBytesProcessed((int64_t)(state.iterations() * header.size()));
}

// The header block of the long-line rows: one line of 8,000 bytes, or the same bytes in 40-byte
// lines.
std::string LongHeaderBlock(bool shortLines) {
    std::string block = "GET / HTTP/1.1\r\n";
    if (!shortLines) return block + "X-Long: " + std::string(7990, 'v') + "\r\n\r\n";
    for (int32_t i = 0; i < 200; i++) {
        char name[16];
        snprintf(name, sizeof(name), "X-%03d: ", i);
        block += name + std::string(40 - 9 - 2, 'v') + "\r\n";
    }
    return block + "\r\n";
}

// Arg 0: the 8,000-byte line whole; 1: a byte at a time; 2: 40-byte lines a byte at a time.
void ReadLongHeaderLine(benchmark::State& state) {
    WebServer* server = HeaderServer();
    const std::string block = LongHeaderBlock(state.range(0) == 2);
    const size_t piece = state.range(0) == 0 ? block.size() : 1;
    WebServerConnection* c = nullptr;
    WebServer_ConnectionCreateDetached(server, &c);
    DuplexStream* stream = nullptr;
    WebServer_ConnectionGetDuplexStreamHandle(server, c, &stream);
    for (auto _ : state) {
        c->Phase = WEBSERVER_PHASE_REQUEST_HEADER;
        for (size_t at = 0; at < block.size(); at += piece) {
            DuplexStream_ReadPut(stream, block.data() + at, (uint32_t)std::min(piece, block.size() - at));
            if (!WebServer_ConnectionReadRequestHeader(c)) return state.SkipWithError("the header was refused");
        }
        if (c->Phase != WEBSERVER_PHASE_RESPONSE_HEADER) return state.SkipWithError("the header was not read");
        WebServer_ConnectionReset(c);
    }
    WebServer_ConnectionFreeDetached(&c);
    state.SetBytesProcessed((int64_t)(state.iterations() * block.size()));
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

BENCHMARK(ReadRequestHeader)->Arg(0)->Arg(1);
BENCHMARK(ReadLongHeaderLine)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(OurAbKeepAlive)
    ->Arg(kFromMemory)
    ->Arg(kFromFile)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(PeerAbKeepAlive)
    ->Arg(kFromMemory)
    ->Arg(kFromFile)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(OurWrkKeepAlive)
    ->Arg(kFromMemory)
    ->Arg(kFromFile)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(PeerWrkKeepAlive)
    ->Arg(kFromMemory)
    ->Arg(kFromFile)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(OurWrkPerConnection)
    ->Arg(kFromMemory)
    ->Arg(kFromFile)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(PeerWrkPerConnection)
    ->Arg(kFromMemory)
    ->Arg(kFromFile)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1);

PEER_RATIO("128-byte answers from memory, keep-alive, ab 32 clients x 20000", "OurAbKeepAlive/0",
           "PeerAbKeepAlive/0");
PEER_RATIO("128-byte answers from memory, keep-alive, wrk 32 connections", "OurWrkKeepAlive/0",
           "PeerWrkKeepAlive/0");
PEER_RATIO("128-byte answers from memory, one per connection, wrk 32 connections", "OurWrkPerConnection/0",
           "PeerWrkPerConnection/0");
PEER_RATIO("128-byte files, keep-alive, ab 32 clients x 20000", "OurAbKeepAlive/1", "PeerAbKeepAlive/1");
PEER_RATIO("128-byte files, keep-alive, wrk 32 connections", "OurWrkKeepAlive/1", "PeerWrkKeepAlive/1");
PEER_RATIO("128-byte files, one per connection, wrk 32 connections", "OurWrkPerConnection/1",
           "PeerWrkPerConnection/1");
PEER_RATIO_MAIN()
