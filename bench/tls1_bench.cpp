// The TLS client on 127.0.0.1 beside peers doing the same work: a 1 GiB download through
// AES-128-GCM records (ECDHE-RSA-AES128-GCM-SHA256, TLS 1.2) from nginx, ours pumped through a
// Socket beside curl writing to /dev/null with the same suite, both checking the chain against
// the same root; and full handshakes with ECDHE P-256 and with RSA-2048 key exchange against
// openssl s_server (ours one by one, the peer `openssl s_time -new`). Each server serves the
// same sparse file to both sides. The download's CPU time is the client's alone (cpu_s: ours
// this process, curl its own), the server's being the same for both.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/nginx_peer.h"
#include "bench/peer_ratio.h"
#include "bench/process_peer.h"
#include "core/net/tls1.h"
#include "tests/support/tls_peer.h"
#include "tests/support/tls_pump.h"

extern char** environ;

namespace {

constexpr uint64_t kTotal = 1ull << 30;
constexpr const char* kRequest = "GET /big.bin HTTP/1.0\r\nHost: localhost\r\n\r\n";
constexpr int kPeerSeconds = 2;

struct BenchEnv {
    TlsPki Pki;
    TempDir Served; // nginx's folder: its workers may run as another user
    std::unique_ptr<TrustSet> Trust;
    std::unique_ptr<TlsServer> Server, Nginx;

    BenchEnv() {
        TLS1_Init();
        if (!Pki.Made) return;
        Trust = std::make_unique<TrustSet>(std::vector<std::string>{Pki.Der("root")});
        const int fd = open(Pki.File("big.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ftruncate(fd, (off_t)kTotal) != 0) return;
        close(fd);
        chmod(Served.path().c_str(), 0711);
        mkdir(Served.file("www").c_str(), 0755);
        { std::ofstream(Served.file("www/big.bin")); }
        if (truncate(Served.file("www/big.bin").c_str(), (off_t)kTotal) != 0 ||
            chmod(Served.file("www/big.bin").c_str(), 0644) != 0)
            return;
        Nginx = StartNginx(Served, "nginx", Served.file("www"), "ssl", NginxTls12(Served, Pki));
        Server = std::make_unique<TlsServer>(
            Pki.Dir.path(),
            std::vector<std::string>{"openssl", "s_server", "-accept", "127.0.0.1:{port}", "-cert", "rsa.pem",
                                     "-key", "srvrsa.key", "-cert_chain", "chain2.pem", "-WWW",
                                     "-http_server_binmode", "-no_ticket", "-groups", "P-256", "-quiet"});
    }
    ~BenchEnv() {
        Server.reset();
        Nginx.reset();
        TLS1_Remove();
    }
    bool Ready() const { return Server && Server->Running(); }
    bool NginxReady() const { return Nginx && Nginx->Running(); }
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

void OurDownload(benchmark::State& state) {
    if (!Env().NginxReady()) return state.SkipWithError("nginx did not start");
    Offer("ecdhe-rsa-aes128-gcm-sha256");
    double cpu = 0;
    for (auto _ : state) {
        const double start = ProcessCpu();
        TlsPump pump;
        TLS1_SetCertStoreHandle(pump.Tls(), Env().Trust->Interface);
        pump.Discard = true;
        if (!pump.Handshake(Env().Nginx->Port(), "localhost") || !pump.Send(kRequest))
            return state.SkipWithError("handshake failed");
        pump.ReadToClose(300000);
        if (pump.Discarded < kTotal || pump.Failed) return state.SkipWithError("download incomplete");
        cpu += ProcessCpu() - start;
    }
    peer_ratio::SetCpu(state, cpu);
    state.SetBytesProcessed(state.iterations() * (int64_t)kTotal);
}

void PeerDownload(benchmark::State& state) {
    if (!Env().NginxReady()) return state.SkipWithError("nginx did not start");
    const std::string port = std::to_string(Env().Nginx->Port());
    const std::vector<std::string> args{"-o",          "/dev/null",
                                        "--tlsv1.2",   "--tls-max",
                                        "1.2",         "--ciphers",
                                        "ECDHE-RSA-AES128-GCM-SHA256",
                                        "--cacert",    Env().Pki.File("root.pem"),
                                        "--resolve",   "localhost:" + port + ":127.0.0.1",
                                        "https://localhost:" + port + "/big.bin"};
    double cpu = 0;
    for (auto _ : state) {
        const double used = Curl(args);
        if (used < 0) return state.SkipWithError("curl failed");
        cpu += used;
    }
    peer_ratio::SetCpu(state, cpu);
    state.SetBytesProcessed(state.iterations() * (int64_t)kTotal);
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

BENCHMARK(OurDownload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(PeerDownload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(OurHandshake)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(PeerHandshake)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(1);
PEER_RATIO("1 GiB download from nginx beside curl, ECDHE-RSA-AES128-GCM-SHA256", "OurDownload", "PeerDownload");
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
