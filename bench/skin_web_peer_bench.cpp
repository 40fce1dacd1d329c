// What admitting one connection costs the skin web server: the look-up of the process holding
// its client end, as the host makes it for each script call of a page (a child holds the socket,
// depth 1, the same child as the last call). Beside it the floor every look-up stands on: one
// question to the kernel's socket diagnostics for that one connection, asked the same way.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "skin/linux/skin_web_peer.h"

namespace {

uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t size = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

// A listener, one connection to it whose client end a child holds, made before the measured run.
struct Setup {
    int Server = -1, Gate = -1;
    pid_t Child = -1;
    uint16_t ServerPort = 0, ClientPort = 0;
    Setup() {
        Server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(Server, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(Server, 8);
        ServerPort = LocalPort(Server);
        const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        a.sin_port = htons(ServerPort);
        connect(client, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        ClientPort = LocalPort(client);
        int gate[2];
        if (pipe(gate) != 0) return;
        Child = fork();
        if (Child == 0) {
            close(gate[1]);
            char c;
            (void)!read(gate[0], &c, 1);
            _exit(0);
        }
        close(gate[0]);
        close(client);
        Gate = gate[1];
    }
    ~Setup() {
        close(Gate);
        if (Child > 0) waitpid(Child, nullptr, 0);
        close(Server);
    }
};

void Lookup(benchmark::State& state) {
    Setup setup;
    SkinWebPeer peer{};
    for (auto _ : state) {
        if (SkinWebPeer_FromConnection(htonl(INADDR_LOOPBACK), setup.ClientPort, setup.ServerPort, 1, &peer) != 1 ||
            peer.Pid != (uint32_t)setup.Child) {
            state.SkipWithError("the child was not found");
            break;
        }
    }
}

void DiagnosticsOnly(benchmark::State& state) {
    Setup setup;
    const int diagnostics = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    struct {
        nlmsghdr Header;
        inet_diag_req_v2 Request;
    } ask{};
    ask.Header.nlmsg_len = sizeof(ask);
    ask.Header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.Header.nlmsg_flags = NLM_F_REQUEST;
    ask.Request.sdiag_family = AF_INET;
    ask.Request.sdiag_protocol = IPPROTO_TCP;
    ask.Request.idiag_states = 1u << TCP_ESTABLISHED;
    ask.Request.id.idiag_src[0] = htonl(INADDR_LOOPBACK);
    ask.Request.id.idiag_sport = htons(setup.ClientPort);
    ask.Request.id.idiag_dst[0] = htonl(INADDR_LOOPBACK);
    ask.Request.id.idiag_dport = htons(setup.ServerPort);
    ask.Request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    ask.Request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    alignas(nlmsghdr) char buffer[8192];
    for (auto _ : state) {
        ask.Header.nlmsg_seq++;
        if (send(diagnostics, &ask, sizeof(ask), 0) != (ssize_t)sizeof(ask) ||
            recv(diagnostics, buffer, sizeof(buffer), 0) <= 0) {
            state.SkipWithError("the kernel did not answer");
            break;
        }
        benchmark::DoNotOptimize(buffer);
    }
    close(diagnostics);
}

} // namespace

BENCHMARK(Lookup)->Unit(benchmark::kMicrosecond);
BENCHMARK(DiagnosticsOnly)->Unit(benchmark::kMicrosecond);
