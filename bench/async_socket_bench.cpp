// Loopback speed of the asynchronous sockets beside socat in the same run: 256 MiB through one
// connection (socat copying /dev/zero into TCP and TCP into /dev/null, 32 KiB at a time like our
// passes), and batches of 200 connections at once (socat: one client process per connection and
// a forking listener, which is how socat serves many connections). Starting 200 socat processes
// takes up to 0.7 s on its own on a busy machine, so the pair carries 128 MiB on each connection:
// the start-ups are then under 5 % of socat's time. The same batches carrying 1 KiB each are
// measured too, not as a pair: socat's is its start-up cost, ours what many short connections
// cost us.
// Accepts per second of ours alone are measured apart, against plain blocking clients.
// Repetitions of ours and socat's run interleaved, so that a busy moment of the machine weighs on
// both.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/peer_ratio.h"
#include "core/net/async_socket.h"

extern char** environ;

namespace {

constexpr uint64_t kStreamBytes = 256ull << 20;
constexpr int32_t kConnections = 200;
constexpr int64_t kConnectionBytes = 128 << 20;
constexpr int64_t kShortConnectionBytes = 1024;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

uint32_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = kLoopback;
    socklen_t length = sizeof(a);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    close(fd);
    return ntohs(a.sin_port);
}

pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

bool Wait(pid_t pid) {
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Our side: a listener whose accepted sockets read everything and count it, closing at the end.
struct Sink {
    AsyncSocket* listener = nullptr;
    uint32_t port = 0;
    std::atomic<uint64_t> bytes{0};
    std::atomic<int32_t> ended{0};

    static int32_t ReadSize(AsyncSocket*, void*) { return 32768; }
    static void Read(AsyncSocket*, void* user, const uint8_t*, int32_t length) {
        static_cast<Sink*>(user)->bytes += (uint64_t)length;
    }
    static void Closed(AsyncSocket*, void* user) { static_cast<Sink*>(user)->ended++; }
    static void Accept(AsyncSocket*, void* user, AsyncSocket* socket) {
        // Held until the peer's end of stream closes it (ClosedRelease).
        AsyncSocket_AddRef(socket);
        AsyncSocket_SetReadSizeCallback(socket, user, ReadSize);
        AsyncSocket_SetReadCallback(socket, user, Read);
        AsyncSocket_SetCloseCallback(socket, user, ClosedRelease);
        AsyncSocket_StartReading(socket);
    }
    static void ClosedRelease(AsyncSocket* socket, void* user) {
        Closed(socket, user);
        AsyncSocket_Release(&socket);
    }

    Sink() {
        AsyncSocket_Create(&listener);
        AsyncSocket_Open(listener, 1);
        AsyncSocket_SetReuse(listener, 1);
        AsyncSocket_Bind(listener, &kLoopback, 0);
        AsyncSocket_Listen(listener, 1024);
        uint32_t address = 0;
        AsyncSocket_GetLocalIP(listener, &address, &port);
        AsyncSocket_SetAcceptCallback(listener, this, Accept);
        AsyncSocket_StartAccepting(listener);
    }
    ~Sink() {
        AsyncSocket_SetAcceptCallback(listener, nullptr, nullptr);
        AsyncSocket_Close(listener);
        AsyncSocket_Release(&listener);
    }
};

// A sender of `total` bytes (the buffer's content is whatever it holds, as /dev/zero's is zeros).
struct Source {
    AsyncSocket* socket = nullptr;
    uint64_t total;
    std::atomic<uint64_t> produced{0};
    std::atomic<int32_t> connected{0};

    static int32_t WriteSize(AsyncSocket*, void* user) {
        Source* s = static_cast<Source*>(user);
        const uint64_t left = s->total - s->produced.load();
        return (int32_t)(left < 32768 ? left : 32768);
    }
    static int32_t Write(AsyncSocket*, void* user, uint8_t*, int32_t capacity) {
        static_cast<Source*>(user)->produced += (uint64_t)capacity;
        return capacity;
    }
    static void Connected(AsyncSocket*, void* user, uint32_t success) {
        static_cast<Source*>(user)->connected = success ? 1 : -1;
    }
    Source(uint64_t bytes, uint32_t port) : total(bytes) {
        AsyncSocket_Create(&socket);
        AsyncSocket_SetWriteSizeCallback(socket, this, WriteSize);
        AsyncSocket_SetWriteCallback(socket, this, Write);
        AsyncSocket_SetConnectCallback(socket, this, Connected);
        AsyncSocket_Open(socket, 1);
        AsyncSocket_Connect(socket, &kLoopback, port);
    }
    // Sent in full: everything produced and nothing left in the send buffer.
    bool Done() { return produced.load() == total && !AsyncSocket_IsWriting(socket); }
    ~Source() {
        AsyncSocket_SetWriteSizeCallback(socket, nullptr, nullptr);
        AsyncSocket_SetWriteCallback(socket, nullptr, nullptr);
        AsyncSocket_SetConnectCallback(socket, nullptr, nullptr);
        AsyncSocket_Close(socket);
        AsyncSocket_Release(&socket);
    }
};

void BM_Stream_Ours(benchmark::State& state) {
    AsyncSocket_Init();
    for (auto _ : state) {
        Sink sink;
        {
            Source source(kStreamBytes, sink.port);
            while (source.connected.load() == 0) std::this_thread::yield();
            // Asks for the next pass as soon as one ends, but hands the processor to the workers
            // doing the passes whenever they wait for it.
            while (sink.bytes.load() < kStreamBytes) {
                AsyncSocket_StartWriting(source.socket);
                std::this_thread::yield();
            }
        }
        // The receiving end closes on the end of stream; the sink must outlive its callbacks.
        while (sink.ended.load() < 1) std::this_thread::yield();
    }
    state.SetBytesProcessed((int64_t)(kStreamBytes * state.iterations()));
}

void BM_Stream_Socat(benchmark::State& state) {
    const std::string bytes = std::to_string(kStreamBytes);
    for (auto _ : state) {
        const std::string port = std::to_string(FreePort());
        const pid_t sink = Spawn({"socat", "-u", "-b", "32768", "TCP-LISTEN:" + port + ",bind=127.0.0.1,reuseaddr",
                                  "OPEN:/dev/null"});
        const pid_t source = Spawn({"socat", "-u", "-b", "32768", "OPEN:/dev/zero,readbytes=" + bytes,
                                    "TCP:127.0.0.1:" + port + ",retry=1000,interval=0.001"});
        if (!Wait(source) || !Wait(sink)) state.SkipWithError("socat failed");
    }
    state.SetBytesProcessed((int64_t)(kStreamBytes * state.iterations()));
}

void BM_Connections_Ours(benchmark::State& state) {
    const uint64_t bytes = (uint64_t)state.range(0);
    AsyncSocket_Init();
    for (auto _ : state) {
        Sink sink;
        std::vector<Source*> sources;
        for (int32_t i = 0; i < kConnections; i++) sources.push_back(new Source(bytes, sink.port));
        std::vector<bool> closed(kConnections, false);
        for (int32_t left = kConnections; left > 0;) {
            for (int32_t i = 0; i < kConnections; i++) {
                if (closed[i]) continue;
                if (sources[i]->connected.load() == 1 && !sources[i]->Done()) AsyncSocket_StartWriting(sources[i]->socket);
                if (sources[i]->connected.load() != 0 && (sources[i]->Done() || sources[i]->connected.load() < 0)) {
                    AsyncSocket_Close(sources[i]->socket);
                    closed[i] = true;
                    left--;
                }
            }
        }
        while (sink.ended.load() < kConnections) std::this_thread::yield();
        if (sink.bytes.load() != bytes * kConnections) state.SkipWithError("bytes lost");
        for (Source* s : sources) delete s;
    }
    state.SetBytesProcessed((int64_t)bytes * kConnections * state.iterations());
}

void BM_Connections_Socat(benchmark::State& state) {
    const std::string port = std::to_string(FreePort());
    const pid_t listener = Spawn({"socat", "-u", "TCP-LISTEN:" + port + ",bind=127.0.0.1,reuseaddr,fork,backlog=1024",
                                  "OPEN:/dev/null"});
    const std::string target = "TCP:127.0.0.1:" + port + ",retry=1000,interval=0.001";
    const std::string from = "OPEN:/dev/zero,readbytes=" + std::to_string(state.range(0));
    for (auto _ : state) {
        std::vector<pid_t> clients;
        for (int32_t i = 0; i < kConnections; i++) clients.push_back(Spawn({"socat", "-u", from, target}));
        bool ok = true;
        for (pid_t pid : clients) ok &= Wait(pid);
        if (!ok) state.SkipWithError("socat failed");
    }
    kill(listener, SIGTERM);
    Wait(listener);
    state.SetBytesProcessed(state.range(0) * kConnections * state.iterations());
}

// Accepts alone: plain clients connect and close as fast as the kernel lets them, our listener
// accepts each into a new socket that nobody keeps (so it is closed again at once).
void BM_Accept_Ours(benchmark::State& state) {
    AsyncSocket_Init();
    struct Counter {
        std::atomic<int32_t> accepted{0};
        static void Accept(AsyncSocket*, void* user, AsyncSocket*) { static_cast<Counter*>(user)->accepted++; }
    } counter;
    AsyncSocket* listener = nullptr;
    AsyncSocket_Create(&listener);
    AsyncSocket_Open(listener, 1);
    AsyncSocket_Bind(listener, &kLoopback, 0);
    AsyncSocket_Listen(listener, 1024);
    uint32_t address = 0, port = 0;
    AsyncSocket_GetLocalIP(listener, &address, &port);
    AsyncSocket_SetAcceptCallback(listener, &counter, Counter::Accept);
    AsyncSocket_StartAccepting(listener);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = kLoopback;
    to.sin_port = htons((uint16_t)port);
    int32_t target = 0;
    for (auto _ : state) {
        target += kConnections;
        for (int32_t i = 0; i < kConnections; i++) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            // Closed with a reset: no TIME_WAIT pile-up of client ports over the repetitions.
            const linger reset{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
            if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) != 0) state.SkipWithError("connect failed");
            close(fd);
        }
        while (counter.accepted.load() < target) std::this_thread::yield();
    }
    AsyncSocket_SetAcceptCallback(listener, nullptr, nullptr);
    AsyncSocket_Close(listener);
    AsyncSocket_Release(&listener);
    state.SetItemsProcessed(kConnections * state.iterations());
}

BENCHMARK(BM_Stream_Ours)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Stream_Socat)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Connections_Ours)->Arg(kShortConnectionBytes)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Connections_Socat)->Arg(kShortConnectionBytes)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Connections_Ours)->Arg(kConnectionBytes)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_Connections_Socat)->Arg(kConnectionBytes)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_Accept_Ours)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

PEER_RATIO("one connection, 256 MiB", "BM_Stream_Ours",
           "BM_Stream_Socat");
PEER_RATIO("200 connections of 128 MiB at once", "BM_Connections_Ours/134217728",
           "BM_Connections_Socat/134217728");

} // namespace

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    bool given = false;
    for (int i = 1; i < argc; i++) given |= strncmp(argv[i], "--benchmark_enable_random_interleaving", 38) == 0;
    if (!given) args.push_back(interleave);
    return peer_ratio::Main((int)args.size(), args.data());
}
