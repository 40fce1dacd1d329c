// Blocking loopback throughput: 256 MiB from one socket to another on 127.0.0.1 in 64 KiB
// writes and reads, ours (a sending and a reading Socket) beside socat doing the same transfer
// (one socat sending from /dev/zero, one receiving into /dev/null, both with 64 KiB blocks).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "bench/peer_ratio.h"
#include "core/net/socket.h"

extern char** environ;

namespace {

constexpr uint64_t kTotal = 256ull << 20;
constexpr uint32_t kBlock = 64 << 10;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

void OurLoopback(benchmark::State& state) {
    Socket* listener = nullptr;
    Socket_Create(&listener);
    Socket_Open(listener, SOCKET_PROTOCOL_TCP);
    Socket_Bind(listener, &kLoopback, 0);
    Socket_Listen(listener);
    uint32_t address = 0, port = 0;
    Socket_GetLocalIP(listener, &address, &port);
    std::vector<uint8_t> out(kBlock, 0);
    for (auto _ : state) {
        uint64_t received = 0;
        std::thread sink([&] {
            Socket* peer = nullptr;
            if (!Socket_Accept(listener, &peer)) return;
            std::vector<uint8_t> in(kBlock);
            uint32_t got = 0;
            while (Socket_Read(peer, in.data(), kBlock, &got) && got > 0) received += got;
            Socket_Release(&peer);
        });
        Socket* client = nullptr;
        Socket_Create(&client);
        Socket_Open(client, SOCKET_PROTOCOL_TCP);
        if (Socket_Connect(client, &kLoopback, port)) {
            for (uint64_t sent = 0; sent < kTotal;) {
                uint32_t n = 0;
                if (!Socket_Write(client, out.data(), (uint32_t)std::min<uint64_t>(kBlock, kTotal - sent), &n)) break;
                sent += n;
            }
        }
        Socket_Release(&client);
        sink.join();
        if (received != kTotal) state.SkipWithError("transfer incomplete");
    }
    Socket_Release(&listener);
    state.SetBytesProcessed(state.iterations() * (int64_t)kTotal);
}

pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

bool Finished(pid_t pid) {
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A port that was free a moment ago.
uint32_t FreePort() {
    Socket* probe = nullptr;
    Socket_Create(&probe);
    Socket_Open(probe, SOCKET_PROTOCOL_TCP);
    Socket_Bind(probe, &kLoopback, 0);
    uint32_t address = 0, port = 0;
    Socket_GetLocalIP(probe, &address, &port);
    Socket_Release(&probe);
    return port;
}

void SocatLoopback(benchmark::State& state) {
    const std::string block = "-b" + std::to_string(kBlock);
    for (auto _ : state) {
        const std::string port = std::to_string(FreePort());
        const pid_t receiver =
            Spawn({"socat", "-u", block, "TCP-LISTEN:" + port + ",bind=127.0.0.1,reuseaddr", "OPEN:/dev/null"});
        const pid_t sender = Spawn({"socat", "-u", block, "OPEN:/dev/zero,readbytes=" + std::to_string(kTotal),
                                    "TCP:127.0.0.1:" + port + ",retry=100,interval=0.005"});
        const bool sent = Finished(sender);
        if (!sent && receiver > 0) kill(receiver, SIGTERM);
        const bool received = Finished(receiver);
        if (!sent || !received) {
            state.SkipWithError("socat is not installed or failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)kTotal);
}

BENCHMARK(OurLoopback)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(SocatLoopback)->Unit(benchmark::kMillisecond)->UseRealTime();
PEER_RATIO("blocking loopback 256 MiB", "OurLoopback", "SocatLoopback");

} // namespace

PEER_RATIO_MAIN()
