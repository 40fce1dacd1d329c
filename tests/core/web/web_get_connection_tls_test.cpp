// The HTTP connection over TLS against real servers on 127.0.0.1: nginx serving large bodies to
// consumers of every pace (each byte checked by SHA-256), and certificates that do not name the
// host asked for, which must end the request at once with the certificate's error.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/crypto/hash.h"
#include "core/crypto/sha256.h"
#include "core/net/tls1.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_request.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/support/web_get_env.h"

namespace {

class TlsConnectionEnvironment : public WebGetNetEnvironment {
  public:
    void SetUp() override {
        WebGetNetEnvironment::SetUp();
        TLS1_CiphersEnable(1);
    }
};

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new TlsConnectionEnvironment);

constexpr size_t kBodySize = 24u << 20;

std::string Sha256(const void* bytes, size_t length) {
    char text[80] = {};
    Hash_QuickString(&SHA256_INTERFACE, bytes, (int32_t)length, 0, text, sizeof(text));
    return text;
}

// nginx with TLS 1.2 and a certificate for "localhost" only (its alternative names hold one
// dNSName), serving a body of random bytes.
struct Peers {
    TempDir Dir;
    std::unique_ptr<TrustSet> Trust;
    std::unique_ptr<TlsServer> Nginx;
    std::string BodyDigest;

    Peers() {
        chmod(Dir.path().c_str(), 0755); // nginx's workers run as another user
        mkdir(Dir.file("www").c_str(), 0755);
        std::string body(kBodySize, '\0');
        std::mt19937 random(7);
        for (char& c : body) c = (char)random();
        WriteText(Dir.file("www/body.bin"), body, 0644);
        BodyDigest = Sha256(body.data(), body.size());
        RunOracle("cd '" + Dir.path() +
                      "' && openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -addext "
                      "subjectAltName=DNS:localhost -days 2 -keyout tls.key -out tls.pem 2>/dev/null && "
                      "openssl x509 -in tls.pem -outform DER -out tls.der && chmod 644 tls.key",
                  "", 30);
        Trust = std::make_unique<TrustSet>(std::vector<std::string>{ReadFile(Dir.file("tls.der"))});
        std::ofstream(Dir.file("nginx.tmpl"))
            << "worker_processes 1; pid " << Dir.file("nginx.pid") << "; error_log " << Dir.file("nginx.err")
            << ";\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n"
            << "  client_body_temp_path " << Dir.path() << "; proxy_temp_path " << Dir.path()
            << "; fastcgi_temp_path " << Dir.path() << "; uwsgi_temp_path " << Dir.path()
            << "; scgi_temp_path " << Dir.path() << ";\n"
            << "  server { listen 127.0.0.1:PORT ssl; ssl_protocols TLSv1.2; ssl_certificate "
            << Dir.file("tls.pem") << "; ssl_certificate_key " << Dir.file("tls.key") << "; root "
            << Dir.file("www") << "; }\n}\n";
        Nginx = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"sh", "-c",
                                                 "sed s/PORT/{port}/ nginx.tmpl > nginx.conf && exec nginx -c " +
                                                     Dir.file("nginx.conf") + " -g 'daemon off;'"});
    }
    std::string Url(const char* host, const char* path) const {
        return "https://" + std::string(host) + ":" + std::to_string(Nginx->Port()) + path;
    }
};

Peers* g_peers = nullptr;

// A body consumer that takes at most a slice per call, sleeping after each, and digests what it
// took.
struct PacedSink {
    uint32_t Slice = 0;
    std::chrono::microseconds Pause{0};
    Hash* Digest = nullptr;
    uint64_t Taken = 0;

    PacedSink(uint32_t slice, std::chrono::microseconds pause) : Slice(slice), Pause(pause) {
        Hash_Create(&Digest);
        Hash_SetInterface(Digest, &SHA256_INTERFACE);
    }
    ~PacedSink() { Hash_Release(&Digest); }
    std::string Result() {
        Hash_Generate(Digest);
        char text[80] = {};
        Hash_GetString(Digest, 0, text, sizeof(text));
        return text;
    }
    static int64_t Fill(WebGetRequest*, void* user, const uint8_t* bytes, uint32_t length, uint32_t* used) {
        auto* sink = static_cast<PacedSink*>(user);
        const uint32_t take = length < sink->Slice ? length : sink->Slice;
        Hash_Process(sink->Digest, bytes, take, nullptr);
        sink->Taken += take;
        *used += take;
        if (sink->Pause.count()) std::this_thread::sleep_for(sink->Pause);
        return 1;
    }
};

struct Outcome {
    bool Done = false;
    int32_t Error = 0;
    int32_t ErrorEx = 0;
    int32_t Http = 0;
    double Seconds = 0;
};

class WebGetConnectionTlsTest : public WebGetTest {
  protected:
    static void SetUpTestSuite() {
        if (!g_peers) g_peers = new Peers();
    }
    static void TearDownTestSuite() {
        delete g_peers;
        g_peers = nullptr;
    }
    void SetUp() override {
        WebGetTest::SetUp();
        ASSERT_TRUE(g_peers->Nginx->Running()) << ReadFile(g_peers->Dir.file("nginx.err"));
        ASSERT_EQ(WebGetConnection_Create(&connection), 1);
        WebGetConnection_SetAllowProxy(connection, 0);
        WebGetConnection_SetCertStoreHandle(connection, g_peers->Trust->Interface);
    }
    void TearDown() override {
        WebGetConnection_Close(connection);
        WebGetConnection_SetCertStoreHandle(connection, nullptr);
        WebGetConnection_Release(&connection);
        WebGetTest::TearDown();
    }
    // Runs the request to its end, passes driven as a program's main loop drives them.
    Outcome Fetch(const std::string& url, PacedSink* sink, int seconds) {
        WebGetRequest* request = nullptr;
        WebGetRequest_Create(&request);
        WebGetRequest_SetRequireAuthorization(request, 0);
        WebGetRequest_SetURL(request, url.c_str());
        if (sink) WebGetRequest_SetFillBodyCallback(request, nullptr, sink, PacedSink::Fill);
        WebGetConnection_RequestAdd(connection, request);
        const auto start = std::chrono::steady_clock::now();
        const auto deadline = start + std::chrono::seconds(seconds);
        while (!WebGetRequest_IsDone(request) && std::chrono::steady_clock::now() < deadline) {
            EventQueue_Flush(nullptr);
            NotificationCenter_Process();
            WebGetConnection_Process(connection);
            if (!WebGetRequest_IsDone(request)) Thread_Wait(1);
        }
        Outcome out;
        out.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        out.Done = WebGetRequest_IsDone(request) != 0;
        WebGetRequest_GetLastError(request, &out.Error, &out.ErrorEx);
        WebGetRequest_GetHTTPCode(request, &out.Http);
        WebGetRequest_Release(&request);
        return out;
    }
    WebGetConnection* connection = nullptr;
};

// Decrypted records wait for the consumer; the socket must read on as it catches up, however far
// behind it falls.
TEST_F(WebGetConnectionTlsTest, WholeBodyReachesConsumersOfEveryPace) {
    struct Case {
        const char* What;
        uint32_t Slice;
        std::chrono::microseconds Pause;
    } cases[] = {
        {"64 KiB at a time, 2 ms each", 65536, std::chrono::microseconds(2000)},
        {"16 KiB at a time, no pause", 16384, std::chrono::microseconds(0)},
        {"everything offered", 0xFFFFFFFFu, std::chrono::microseconds(0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        PacedSink sink(c.Slice, c.Pause);
        const Outcome out = Fetch(g_peers->Url("localhost", "/body.bin"), &sink, 120);
        ASSERT_TRUE(out.Done);
        EXPECT_EQ(out.Error, 0) << out.ErrorEx;
        EXPECT_EQ(out.Http, 200);
        EXPECT_EQ(sink.Taken, (uint64_t)kBodySize);
        EXPECT_EQ(sink.Result(), g_peers->BodyDigest);
    }
}

// A certificate for another name (here "localhost" where 127.0.0.1 was asked for) fails the
// handshake as a certificate error, TLS failure 971 with alert 42, well before the connection's
// 15 s time-out.
TEST_F(WebGetConnectionTlsTest, CertificateForAnotherNameFailsAtOnce) {
    const Outcome out = Fetch(g_peers->Url("127.0.0.1", "/body.bin"), nullptr, 30);
    ASSERT_TRUE(out.Done);
    EXPECT_EQ(out.Error, WEBGET_ERROR_TLS1);
    EXPECT_EQ(out.ErrorEx, (int32_t)TLS1_ALERT_BAD_CERTIFICATE);
    EXPECT_LT(out.Seconds, 5.0);
}

} // namespace
