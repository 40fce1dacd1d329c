// Real TLS servers for the client's interoperability tests and benchmarks: certificates and
// PKCS #12 files made once by openssl in a temporary folder, `openssl s_server` or `gnutls-serv`
// started on a free port of 127.0.0.1 and waited for (bounded), a store that trusts given
// certificates, and the server stopped (and its output kept) at the end.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "core/certs/cert_store.h"
#include "core/certs/x509.h"
#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"

// Keys: RSA 2048 and EC P-256. Every server certificate names "localhost".
//   root                 self-signed CA, the anchor the client trusts
//   ica1, ica2           CAs: root > ica1 > ica2
//   rsa, ec, ec384       server leaves under ica1 (chain files: chain2.pem = ica1, root); ec384
//                        has a P-384 key
//   self                 a self-signed server certificate (a chain of one)
//   leaf2                under root (chain: root)
//   leaf4                under ica2 (chain: ica2, ica1, root)
//   big                  under ica1 with 900 extra DNS names: one certificate over 16 KiB
//   other                under otherroot, a root nobody trusts
//   clirsa, cliec        client certificates under root, and clirsa.p12 / cliec.p12 made with
//                        SHA-1 and 128-bit RC4 throughout, password "secret"
inline const char* const kTlsPkiScript = R"SH(set -e
rsa() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out $1.key 2>/dev/null; }
ec() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:${2:-P-256} -out $1.key 2>/dev/null; }
CA='basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n'
SRV='subjectAltName=DNS:localhost\n'
# cert name key issuer(self|name) subject extensions
cert() {
  printf "$5" > $1.ext
  if [ "$3" = self ]; then
    printf "[req]\ndistinguished_name=d\n[d]\n[e]\n$5" > $1.cnf
    openssl req -new -x509 -key $2.key -subj "$4" -days 30 -sha256 -extensions e -config $1.cnf -out $1.pem 2>/dev/null
  else
    openssl req -new -key $2.key -subj "$4" -out $1.csr 2>/dev/null
    openssl x509 -req -in $1.csr -CA $3.pem -CAkey $(cat $3.kn).key -set_serial 0x$(openssl rand -hex 8) \
      -days 30 -sha256 -extfile $1.ext -out $1.pem 2>/dev/null
  fi
  echo $2 > $1.kn
  openssl x509 -in $1.pem -outform DER -out $1.der
}
rsa root; rsa ica1; rsa ica2; rsa srvrsa; ec srvec; ec srvec384 P-384; rsa clirsa; ec cliec; rsa otherroot
cert root root self "/CN=Interop Root" "$CA"
cert ica1 ica1 root "/CN=Interop ICA 1" "$CA"
cert ica2 ica2 ica1 "/CN=Interop ICA 2" "$CA"
cert rsa srvrsa ica1 "/CN=localhost" "$SRV"
cert ec srvec ica1 "/CN=localhost" "$SRV"
cert ec384 srvec384 ica1 "/CN=localhost" "$SRV"
cat ica1.pem root.pem > chain2.pem
cert self srvrsa self "/CN=localhost" "$SRV"
cert leaf2 srvrsa root "/CN=localhost" "$SRV"
cp root.pem chain_leaf2.pem
cert leaf4 srvrsa ica2 "/CN=localhost" "$SRV"
cat ica2.pem ica1.pem root.pem > chain_leaf4.pem
big="subjectAltName=DNS:localhost"; i=0
while [ $i -lt 900 ]; do big="$big,DNS:host$i.interop.test"; i=$((i+1)); done
cert big srvrsa ica1 "/CN=localhost" "$big\n"
cert otherroot otherroot self "/CN=Interop Root" "$CA"
cert other srvrsa otherroot "/CN=localhost" "$SRV"
cp otherroot.pem chain_other.pem
cert clirsa clirsa root "/CN=Interop Client RSA" 'extendedKeyUsage=clientAuth\n'
cert cliec cliec root "/CN=Interop Client EC" 'extendedKeyUsage=clientAuth\n'
for c in clirsa cliec; do
  openssl pkcs12 -export -legacy -keypbe PBE-SHA1-RC4-128 -certpbe PBE-SHA1-RC4-128 -macalg sha1 \
    -inkey $c.key -in $c.pem -passout pass:secret -out $c.p12
done
echo made
)SH";

struct TlsPki {
    TempDir Dir;
    bool Made = false;

    TlsPki() {
        auto out = RunOracle("cd '" + Dir.path() + "' && sh -s", kTlsPkiScript, 120);
        Made = out && out->find("made") != std::string::npos;
    }
    std::string File(const std::string& name) const { return Dir.file(name); }
    std::string Der(const std::string& name) const { return ReadFile(Dir.file(name + ".der")); }
};

// A store that trusts exactly the certificates given, by their bytes. It counts the references
// handed out with its interface (the trust cache keeps one per certificate it remembers), so it
// lives on after its owner until the last of them is released.
class TrustSet {
  public:
    explicit TrustSet(std::vector<std::string> ders) : state_(new State{std::move(ders), 1, nullptr}) {
        CertStoreInterface_Create(&state_->Interface);
        Interface = state_->Interface;
        CertStoreInterface_SetAddRefCallback(Interface, state_, [](CertStoreInterface* h, void* s) {
            static_cast<State*>(s)->Refs++;
            return h;
        });
        CertStoreInterface_SetReleaseCallback(Interface, state_,
                                              [](CertStoreInterface** h, void* s) -> int64_t {
                                                  *h = nullptr;
                                                  Drop(static_cast<State*>(s));
                                                  return 1;
                                              });
        CertStoreInterface_SetX509IsTrustedCallback(
            Interface, state_, [](CertStoreInterface*, void* s, X509* cert, uint32_t* stop) -> int64_t {
                const uint8_t* der = nullptr;
                uint32_t length = 0;
                X509_GetASN1(cert, &der, &length);
                *stop = 0;
                const std::string bytes(reinterpret_cast<const char*>(der), length);
                for (const std::string& trusted : static_cast<State*>(s)->Ders)
                    if (trusted == bytes) return 1;
                return 0;
            });
        CertStoreInterface_SetX509IsTrustedJWSCallback(Interface, state_,
                                                       [](CertStoreInterface*, void*, Dictionary*,
                                                          CryptAsymmetric**,
                                                          uint32_t*) -> int64_t { return 0; });
    }
    ~TrustSet() { Drop(state_); }
    TrustSet(const TrustSet&) = delete;
    TrustSet& operator=(const TrustSet&) = delete;

    // Trusts nothing from now on.
    void Clear() { state_->Ders.clear(); }

    CertStoreInterface* Interface = nullptr;

  private:
    struct State {
        std::vector<std::string> Ders;
        uint32_t Refs;
        CertStoreInterface* Interface;
    };
    static void Drop(State* state) {
        if (--state->Refs > 0) return;
        CertStoreInterface_Delete(&state->Interface);
        delete state;
    }
    State* state_;
};

// A port of 127.0.0.1 that was free a moment ago.
inline uint32_t TlsFreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    uint32_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

// Whether something listens on 127.0.0.1:port, read from the kernel's table, so that waiting
// for a server never costs it a connection.
inline bool TlsPortListening(uint32_t port) {
    FILE* table = fopen("/proc/net/tcp", "re");
    if (!table) return false;
    char line[512];
    char wanted[32];
    snprintf(wanted, sizeof(wanted), "0100007F:%04X", port);
    char any[32];
    snprintf(any, sizeof(any), "00000000:%04X", port);
    bool found = false;
    while (!found && fgets(line, sizeof(line), table)) {
        char local[64], remote[64], state[8];
        int slot = 0;
        if (sscanf(line, " %d: %63s %63s %7s", &slot, local, remote, state) != 4) continue;
        found = (strcmp(local, wanted) == 0 || strcmp(local, any) == 0) && strcmp(state, "0A") == 0;
    }
    fclose(table);
    return found;
}

// One server process. "{port}" in the arguments becomes the chosen port. It runs in the given
// folder with its standard output and error going to a file there, and its standard input from
// /dev/null or, with `input`, from a pipe that Type writes to; it is stopped (TERM, then KILL
// after a second) when the object goes.
class TlsServer {
  public:
    TlsServer(const std::string& folder, std::vector<std::string> args, int startSeconds = 10,
              bool input = false)
        : folder_(folder), input_(input) {
        static int serial = 0;
        log_ = folder + "/server" + std::to_string(++serial) + ".log";
        signal(SIGPIPE, SIG_IGN);
        for (int attempt = 0; attempt < 3 && !Running(); attempt++) Start(args, startSeconds);
    }
    ~TlsServer() { Stop(); }
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    bool Running() const { return pid_ > 0 && ready_; }
    uint32_t Port() const { return port_; }
    // What the server printed so far.
    std::string Output() const { return ReadFile(log_); }
    // Whether the server prints the text within the time.
    bool Printed(const std::string& text, int ms = 5000) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (Output().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    // Writes text to the server's standard input; false without a pipe or when it is closed.
    bool Type(const std::string& text) {
        if (typing_ < 0) return false;
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = write(typing_, text.data() + done, text.size() - done);
            if (n <= 0) return false;
            done += (size_t)n;
        }
        return true;
    }

    void Stop() {
        if (typing_ >= 0) close(typing_);
        typing_ = -1;
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        const auto grace = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (waitpid(pid_, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < grace)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (waitpid(pid_, &status, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        ready_ = false;
    }

  private:
    void Start(const std::vector<std::string>& pattern, int seconds) {
        port_ = TlsFreePort();
        std::vector<std::string> args;
        for (std::string a : pattern) {
            const size_t at = a.find("{port}");
            if (at != std::string::npos) a.replace(at, 6, std::to_string(port_));
            args.push_back(a);
        }
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2] = {-1, -1};
        if (input_ && pipe2(fds, O_CLOEXEC) != 0) return;
        const pid_t child = fork();
        if (child < 0) {
            if (input_) close(fds[0]), close(fds[1]);
            return;
        }
        if (child == 0) {
            // A test that dies (an abort, a sanitizer report) takes its servers with it.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (chdir(folder_.c_str()) != 0) _exit(126);
            const int out = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            const int in = input_ ? fds[0] : open("/dev/null", O_RDONLY);
            if (out < 0 || in < 0) _exit(126);
            dup2(in, 0);
            dup2(out, 1);
            dup2(out, 2);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        pid_ = child;
        if (input_) {
            close(fds[0]);
            typing_ = fds[1];
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                Stop();
                return;
            }
            if (TlsPortListening(port_)) {
                ready_ = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Stop();
    }

    std::string folder_, log_;
    bool input_ = false;
    int typing_ = -1;
    pid_t pid_ = -1;
    uint32_t port_ = 0;
    bool ready_ = false;
};
