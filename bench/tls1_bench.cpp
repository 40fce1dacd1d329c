// Full TLS 1.2 handshakes of the client on 127.0.0.1 beside a peer doing the same work: ECDHE
// P-256 and RSA-2048 key exchange against openssl s_server (ours one by one, the peer `openssl
// s_time -new`), both checking the chain against the same root. A download over HTTPS is measured
// where the product's own client makes it, beside curl: tasks_download_bench.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/peer_ratio.h"
#include "core/net/tls1.h"
#include "tests/support/tls_peer.h"
#include "tests/support/tls_pump.h"

extern char** environ;

namespace {

constexpr int kPeerSeconds = 2;

struct BenchEnv {
    TlsPki Pki;
    std::unique_ptr<TrustSet> Trust;
    std::unique_ptr<TlsServer> Server;

    BenchEnv() {
        TLS1_Init();
        if (!Pki.Made) return;
        Trust = std::make_unique<TrustSet>(std::vector<std::string>{Pki.Der("root")});
        Server = std::make_unique<TlsServer>(
            Pki.Dir.path(),
            std::vector<std::string>{"openssl", "s_server", "-accept", "127.0.0.1:{port}", "-cert", "rsa.pem",
                                     "-key", "srvrsa.key", "-cert_chain", "chain2.pem", "-WWW",
                                     "-http_server_binmode", "-no_ticket", "-groups", "P-256", "-quiet"});
    }
    ~BenchEnv() {
        Server.reset();
        TLS1_Remove();
    }
    bool Ready() const { return Server && Server->Running(); }
};

BenchEnv& Env() {
    static BenchEnv env;
    return env;
}

void Offer(const char* suite) {
    TLS1_CiphersEnable(0);
    TLS1_CipherEnable(TLS1_CipherTranslate(suite), 1);
    TLS_VersionSetMin(TLS1_VERSION_1_2);
    TLS_VersionSetMax(TLS1_VERSION_1_2);
}

// Runs a program with stdin from a file and stdout to another; its wall time in seconds, or a
// negative value when it failed.
double RunTimed(const std::vector<std::string>& args, const std::string& in, const std::string& out) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

const char* const kSuites[] = {"ecdhe-rsa-aes128-gcm-sha256", "rsa-aes128-gcm-sha256"};
const char* const kOpensslSuites[] = {"ECDHE-RSA-AES128-GCM-SHA256", "AES128-GCM-SHA256"};

// One full handshake per iteration, then close_notify and a closed socket.
void OurHandshake(benchmark::State& state) {
    if (!Env().Ready()) {
        state.SkipWithError("openssl s_server did not start");
        return;
    }
    Offer(kSuites[state.range(0)]);
    TlsPump pump;
    TLS1_SetCertStoreHandle(pump.Tls(), Env().Trust->Interface);
    for (auto _ : state) {
        if (!pump.Handshake(Env().Server->Port(), "localhost")) {
            state.SkipWithError("handshake failed");
            break;
        }
        pump.Close();
    }
}

// s_time makes new connections for a while; the time per connection is set as the
// iteration's time.
void PeerHandshake(benchmark::State& state) {
    if (!Env().Ready()) {
        state.SkipWithError("openssl s_server did not start");
        return;
    }
    const std::string out = Env().Pki.File("s_time.txt");
    const std::vector<std::string> args{"openssl",  "s_time",
                                        "-connect", "127.0.0.1:" + std::to_string(Env().Server->Port()),
                                        "-new",     "-tls1_2",
                                        "-cipher",  kOpensslSuites[state.range(0)],
                                        "-time",    std::to_string(kPeerSeconds)};
    for (auto _ : state) {
        const double seconds = RunTimed(args, "/dev/null", out);
        const std::string text = ReadFile(out);
        const size_t at = text.find(" connections in ");
        size_t begin = at;
        while (begin > 0 && isdigit((unsigned char)text[begin - 1])) begin--;
        const long count = at == std::string::npos ? 0 : atol(text.c_str() + begin);
        if (seconds < 0 || count <= 0) {
            state.SkipWithError("openssl s_time failed");
            break;
        }
        state.SetIterationTime(seconds / (double)count);
    }
}

BENCHMARK(OurHandshake)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(PeerHandshake)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(1);
PEER_RATIO("handshakes, ECDHE P-256 (RSA-2048 signature)", "OurHandshake/0", "PeerHandshake/0");
PEER_RATIO("handshakes, RSA-2048 key exchange", "OurHandshake/1", "PeerHandshake/1");

} // namespace

// Repetitions of ours and the peer's alternate, so that a busy moment of the machine falls on
// both sides alike.
int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.push_back(interleave);
    return peer_ratio::Main((int)args.size(), args.data());
}
