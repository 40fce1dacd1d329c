// Tests of the HTTP connection against real peers on 127.0.0.1: a scripted Python peer (exact
// request bytes, malformed and cut-short answers), nginx (keep-alive, ranges, gzip), openssl
// s_server (TLS 1.2, and TLS 1.0 and 1.1 serving files), tinyproxy and squid (absolute URIs and
// CONNECT); "file" URLs against a temporary folder.
#include <gtest/gtest.h>
#include <pwd.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/crypto/hash.h"
#include "core/net/async_socket.h"
#include "core/net/socket.h"
#include "core/linux/platform_error.h"
#include "core/linux/platform_network.h"
#include "core/net/tls1.h"
#include "core/platform/async_file.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"
#include "core/web/web_get_cache.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_header.h"
#include "core/web/web_get_request.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/support/web_get_env.h"

namespace {

class ConnectionEnvironment : public WebGetNetEnvironment {
  public:
    void SetUp() override {
        WebGetNetEnvironment::SetUp();
        TLS1_CiphersEnable(1); // the engine's configuration enables them in the program
    }
};

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new ConnectionEnvironment);

std::string SourceDir() {
    return WEBGET_TEST_SOURCE_DIR();
}

// The peers, each started once for the whole program.
struct Peers {
    TempDir Dir;
    std::unique_ptr<TlsServer> Script, Nginx, Tls, Proxy, Squid, Tls10, Tls11;
    // Trusts the TLS peer's certificate; the client's trust cache may hold it until the end.
    std::unique_ptr<TrustSet> Trust;
    std::string Log() const { return Dir.file("requests.log"); }

    Peers() {
        Script = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"python3", SourceDir() + "/web_get_connection_peer.py", "{port}",
                                                 Log()});
        chmod(Dir.path().c_str(), 0711); // nginx's workers run as another user
        std::string big(300000, 'n');
        for (size_t i = 0; i < big.size(); i++) big[i] = (char)('a' + (i * 7) % 26);
        std::ofstream(Dir.file("big.txt"), std::ios::binary) << big;
        std::ofstream(Dir.file("nginx.tmpl"))
            << "worker_processes 1; pid " << Dir.file("nginx.pid") << "; error_log " << Dir.file("nginx.err")
            << ";\nevents { worker_connections 64; }\nhttp {\n  log_format conn '$connection $request $status';\n"
            << "  access_log " << Dir.file("access.log") << " conn;\n"
            << "  client_body_temp_path " << Dir.path() << "; proxy_temp_path " << Dir.path()
            << "; fastcgi_temp_path " << Dir.path() << "; uwsgi_temp_path " << Dir.path()
            << "; scgi_temp_path " << Dir.path() << ";\n  gzip on; gzip_types text/plain; gzip_min_length 10;\n"
            << "  types { text/plain txt; }\n  server { listen 127.0.0.1:PORT; root " << Dir.path() << "; }\n}\n";
        Nginx = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"sh", "-c",
                                                 "sed s/PORT/{port}/ nginx.tmpl > nginx.conf && exec nginx -c " +
                                                     Dir.file("nginx.conf") + " -g 'daemon off;'"});
        const std::string pki = "openssl req -x509 -newkey rsa:2048 -nodes -subj "
                                "/CN=localhost -addext subjectAltName=DNS:localhost -days 2 -keyout tls.key "
                                "-out tls.pem 2>/dev/null && openssl x509 -in tls.pem -outform DER -out tls.der";
        RunOracle("cd '" + Dir.path() + "' && " + pki, "", 30);
        Trust = std::make_unique<TrustSet>(std::vector<std::string>{ReadFile(Dir.file("tls.der"))});
        Tls = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"openssl", "s_server", "-accept", "127.0.0.1:{port}", "-cert",
                                                 "tls.pem", "-key", "tls.key", "-cipher", "DEFAULT@SECLEVEL=0", "-max_protocol", "TLSv1.2", "-WWW", "-quiet"});
        std::ofstream(Dir.file("tinyproxy.tmpl"))
            << "Port PORT\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\nConnectPort "
            << Tls->Port() << "\nLogLevel Info\n";
        Proxy = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"sh", "-c",
                                                 "sed s/PORT/{port}/ tinyproxy.tmpl > tinyproxy.conf && exec "
                                                 "tinyproxy -d -c " +
                                                     Dir.file("tinyproxy.conf")});
        // Run as root, squid drops to its own user: its logs go to a folder of that user's.
        mkdir(Dir.file("squid").c_str(), 0700);
        if (geteuid() == 0) {
            if (const passwd* user = getpwnam("proxy")) chown(Dir.file("squid").c_str(), user->pw_uid, user->pw_gid);
        }
        const std::string squid = Dir.file("squid");
        std::ofstream(Dir.file("squid.tmpl"))
            << "http_port 127.0.0.1:PORT\npid_filename " << squid << "/squid.pid\ncache_log " << squid
            << "/cache.log\naccess_log stdio:" << squid << "/access.log\ncoredump_dir " << squid
            << "\ncache deny all\ncache_mem 4 MB\nnetdb_filename none\npinger_enable off\n"
               "visible_hostname localhost\nshutdown_lifetime 0 seconds\nacl local src 127.0.0.1\n"
               "http_access allow local\nhttp_access deny all\n";
        Squid = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"sh", "-c",
                                                 "sed s/PORT/{port}/ squid.tmpl > squid.conf && exec squid -N -f " +
                                                     Dir.file("squid.conf")},
            30);
        // Old protocol versions. With -HTTP the server sends a file that holds the whole answer,
        // then ends the connection.
        std::ofstream(Dir.file("big.http"), std::ios::binary)
            << "HTTP/1.0 200 ok\r\nContent-Type: text/plain\r\nContent-Length: " << big.size() << "\r\n\r\n"
            << big;
        for (auto [server, version] : {std::pair{&Tls10, "-tls1"}, std::pair{&Tls11, "-tls1_1"}})
            *server = std::make_unique<TlsServer>(
                Dir.path(), std::vector<std::string>{"openssl", "s_server", "-accept", "127.0.0.1:{port}", "-cert",
                                                     "tls.pem", "-key", "tls.key", "-cipher", "DEFAULT@SECLEVEL=0",
                                                     version, "-HTTP", "-quiet"});
    }
    std::string SquidLog() const { return ReadFile(Dir.file("squid/access.log")); }
};

Peers* g_peers = nullptr;


// Every logged request of the scripted peer: (connection number, bytes).
std::vector<std::pair<int, std::string>> Requests() {
    std::vector<std::pair<int, std::string>> out;
    std::ifstream in(g_peers->Log());
    std::string line;
    while (std::getline(in, line)) {
        auto conn = std::stoi(line.substr(line.find(':') + 1));
        auto raw = line.substr(line.find("\"raw\": \"") + 8);
        raw.resize(raw.size() - 2);
        std::string text;
        for (size_t i = 0; i < raw.size(); i++) {
            if (raw[i] != '\\') {
                text += raw[i];
                continue;
            }
            const char e = raw[++i];
            text += e == 'r' ? '\r' : e == 'n' ? '\n' : e;
        }
        out.emplace_back(conn, text);
    }
    return out;
}

struct Outcome {
    bool Done;
    int32_t Error;
    int32_t Http;
    std::string Body;
    int32_t Extended = 0;
};

class WebGetConnectionTest : public WebGetTest {
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
        ASSERT_TRUE(g_peers->Script->Running());
        ASSERT_EQ(WebGetConnection_Create(&connection), 1);
        WebGetConnection_SetAllowProxy(connection, 0);
    }
    void TearDown() override {
        WebGetConnection_Release(&connection);
        WebGetTest::TearDown();
    }
    std::string Url(const std::string& path, const char* host = "127.0.0.1") {
        return "http://" + std::string(host) + ":" + std::to_string(g_peers->Script->Port()) + path;
    }
    WebGetRequest* Make(const std::string& url) {
        WebGetRequest* request = nullptr;
        WebGetRequest_Create(&request);
        WebGetRequest_SetRequireAuthorization(request, 0);
        WebGetRequest_SetURL(request, url.c_str());
        return request;
    }
    // Runs passes until the request is Done or the bound passes.
    Outcome Run(WebGetRequest* request, int seconds = 10) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!WebGetRequest_IsDone(request) && std::chrono::steady_clock::now() < deadline) {
            EventQueue_Flush(nullptr);
            NotificationCenter_Process();
            WebGetConnection_Process(connection);
            if (!WebGetRequest_IsDone(request)) Thread_Wait(1);
        }
        Outcome out{WebGetRequest_IsDone(request) != 0, 0, 0, {}};
        WebGetRequest_GetLastError(request, &out.Error, &out.Extended);
        WebGetRequest_GetHTTPCode(request, &out.Http);
        uint8_t* bytes = nullptr;
        uint32_t length = 0;
        WebGetRequest_GetBufferPtr(request, &bytes, &length);
        out.Body.assign(reinterpret_cast<char*>(bytes), length);
        return out;
    }
    Outcome Fetch(const std::string& url, int seconds = 10) {
        WebGetRequest* request = Make(url);
        WebGetConnection_RequestAdd(connection, request);
        Outcome out = Run(request, seconds);
        WebGetRequest_Release(&request);
        return out;
    }
    WebGetConnection* connection = nullptr;
};

TEST_F(WebGetConnectionTest, RequestBytesAndHeaderOrder) {
    char agent[WEBGET_AGENT_SIZE];
    WebGet_GetUserAgent(agent, sizeof(agent));
    const std::string port = std::to_string(g_peers->Script->Port());
    struct Case {
        std::string Url;
        uint32_t Type;
        std::string Expected;
    } cases[] = {
        {Url("/hello"), WEBGET_REQUEST_TYPE_GET,
         "GET /hello HTTP/1.1\r\nX-Mine: 1\r\nHost: 127.0.0.1:" + port + "\r\nUser-Agent: " + agent +
             "\r\nAccept: */*\r\nAccept-Language: en-us\r\nAccept-Encoding: gzip\r\n\r\n"},
        {Url("/hello", "127.0.0.2"), WEBGET_REQUEST_TYPE_GET,
         "GET /hello HTTP/1.1\r\nX-Mine: 1\r\nHost: 127.0.0.2:" + port + "\r\nUser-Agent: " + agent +
             "\r\nPragma: akamai-x-cache-on, akamai-x-get-request-id\r\nX-LDebug: 1\r\nAccept: */*\r\n"
             "Accept-Language: en-us\r\nAccept-Encoding: gzip\r\n\r\n"},
        {Url("/echo?a=1", "localhost"), WEBGET_REQUEST_TYPE_POST,
         "POST /echo HTTP/1.1\r\nX-Mine: 1\r\nHost: localhost:" + port + "\r\nUser-Agent: " + agent +
             "\r\nAccept: */*\r\nAccept-Language: en-us\r\nContent-Type: application/x-www-form-urlencoded\r\n"
             "Content-Length: 3\r\n\r\na=1"},
    };
    for (const Case& c : cases) {
        WebGetConnection_Close(connection);
        WebGetRequest* request = Make(c.Url);
        WebGetRequest_SetType(request, c.Type);
        char* block = nullptr;
        int32_t capacity = 0;
        WebGetRequest_GetHeader(request, &block, &capacity);
        WebGet_HeaderSet(block, capacity, "X-Mine", "1", 0);
        WebGetConnection_RequestAdd(connection, request);
        const Outcome out = Run(request);
        WebGetRequest_Release(&request);
        EXPECT_TRUE(out.Done && out.Error == 0 && out.Http == 200) << c.Url << " " << out.Error;
        const auto log = Requests();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().second, c.Expected);
    }
}

// A Start callback that answers 0 holds the request in Start until its owner lets it go.
TEST_F(WebGetConnectionTest, HeldRequestGoesOnWhenStarted) {
    WebGetRequest* request = Make(Url("/hello"));
    WebGetRequest_SetStartCallback(request, nullptr, nullptr, [](WebGetRequest*, void*) -> int64_t { return 0; });
    WebGetConnection_RequestAdd(connection, request);
    for (int i = 0; i < 20; i++) WebGetConnection_Process(connection), EventQueue_Flush(nullptr);
    int32_t phase = -1;
    WebGetRequest_GetPhase(request, &phase);
    EXPECT_EQ(phase, (int32_t)WEBGET_PHASE_START);
    EXPECT_EQ(WebGetRequest_Start(request), 1);
    const Outcome out = Run(request);
    EXPECT_TRUE(out.Done && out.Error == 0) << out.Error;
    EXPECT_EQ(out.Body, "hello");
    WebGetRequest_Release(&request);
}

TEST_F(WebGetConnectionTest, PersistentSocketIsReused) {
    const size_t before = Requests().size();
    for (const char* path : {"/hello", "/echo", "/hello"}) {
        const Outcome out = Fetch(Url(path));
        EXPECT_EQ(out.Body, std::string(path) == "/hello" ? "hello" : "ok");
    }
    const auto log = Requests();
    ASSERT_EQ(log.size(), before + 3);
    EXPECT_EQ(log[before].first, log[before + 2].first);
    EXPECT_EQ(log[before + 1].first, log[before + 2].first);
    EXPECT_EQ(Fetch(Url("/chunked")).Body, "abcde");
}

TEST_F(WebGetConnectionTest, BadAnswersEndWithTheirError) {
    WebGetConnection_SetTimeout(connection, 0); // no time-out: only the answer itself may end it
    // A reset may reach the connection as the end of the stream just before its error does.
    struct Case {
        const char* Path;
        int32_t Error, Or;
    } cases[] = {
        {"/cut-header", WEBGET_ERROR_HEADER_INCOMPLETE, 0},
        {"/endless-header", WEBGET_ERROR_HEADER_LIMIT, 0},
        {"/short", WEBGET_ERROR_UNDERFLOW, 0},
        {"/reset", WEBGET_ERROR_SOCKET, WEBGET_ERROR_UNDERFLOW},
        {"/auth", WEBGET_ERROR_AUTH_REQUEST_CANCEL, 0}, // no credential broker runs here
        {"/loop/0", WEBGET_ERROR_REDIRECT_LIMIT, 0},
        {"/loopc/0", WEBGET_ERROR_REDIRECT_LIMIT, 0},
        {"/bad-chunk", WEBGET_ERROR_CHUNKED_SIZE, 0},
        {"/chunk-term", WEBGET_ERROR_CHUNKED, 0},
        {"/cut-chunked", WEBGET_ERROR_UNDERFLOW, 0},
        {"/bad-gzip", WEBGET_ERROR_COMPRESSION, 0},
        {"/bad-length", WEBGET_ERROR_UNEXPECTED_LENGTH, 0},
    };
    for (const Case& c : cases) {
        const Outcome out = Fetch(Url(c.Path));
        EXPECT_TRUE(out.Done) << c.Path;
        EXPECT_TRUE(out.Error == c.Error || (c.Or && out.Error == c.Or)) << c.Path << " " << out.Error;
    }
    // Nothing listens there.
    const uint32_t closed = TlsFreePort();
    const Outcome refused = Fetch("http://127.0.0.1:" + std::to_string(closed) + "/");
    EXPECT_EQ(refused.Error, WEBGET_ERROR_CONNECT);
}

// Results the client owes exactly, seen on the wire: what it sent and how the answer ended.
TEST_F(WebGetConnectionTest, ExactResultsOnTheWire) {
    const std::string hundred(100, 'b');
    const char* kHundredBs = hundred.c_str();
    struct Case {
        const char* Path;
        int64_t Start, End;
        uint32_t Limit;
        int32_t Error, Http; // Http 0: none read
        const char* Body;    // null: not looked at
        size_t Requests;     // requests the peer saw
        const char* Sent;
        const char* NotSent;
    } cases[] = {
        {"/ranged", 100, 0, 0, 0, 206, "range", 1, "\r\nRange: bytes=100-\r\n", "Accept-Encoding"},
        {"/hdr/8190", 0, 0, 0, 0, 200, "ok", 1, "\r\nAccept-Encoding: gzip\r\n", "Range"},
        {"/hdr/8191", 0, 0, 0, WEBGET_ERROR_HEADER_LIMIT, 0, "", 1, "", ""},
        {"/body150", 0, 0, 100, WEBGET_ERROR_SIZE_LIMIT, 200, kHundredBs, 1, "", ""},
        // Four redirects are followed; the fifth fails.
        {"/loop/0", 0, 0, 0, WEBGET_ERROR_REDIRECT_LIMIT, 302, nullptr, 5, "GET /loop/4 HTTP/1.1\r\n", ""},
    };
    for (const Case& c : cases) {
        const size_t before = Requests().size();
        WebGetRequest* request = Make(Url(c.Path));
        WebGetRequest_SetByteRange(request, c.Start, c.End);
        WebGetRequest_SetLimitBodySize(request, c.Limit);
        WebGetConnection_RequestAdd(connection, request);
        const Outcome out = Run(request);
        WebGetRequest_Release(&request);
        EXPECT_TRUE(out.Done) << c.Path;
        EXPECT_EQ(out.Error, c.Error) << c.Path;
        EXPECT_EQ(out.Http, c.Http) << c.Path;
        if (c.Body) {
            EXPECT_EQ(out.Body, c.Body) << c.Path;
        }
        const auto log = Requests();
        ASSERT_EQ(log.size(), before + c.Requests) << c.Path;
        const std::string& sent = log.back().second;
        EXPECT_NE(sent.find(c.Sent), std::string::npos) << c.Path;
        if (c.NotSent[0]) {
            EXPECT_EQ(sent.find(c.NotSent), std::string::npos) << c.Path;
        }
        WebGetConnection_Close(connection);
    }
}

// A download that fails part-way into a resumed file leaves the file a true prefix of the entity:
// the bytes it had, then only bytes that arrived, each at its place.
TEST_F(WebGetConnectionTest, FailedResumeLeavesAPrefix) {
    std::string entity;
    for (int i = 0; i < 100; i++) entity += (char)('a' + i % 26);
    TempDir dir;
    const std::string path = dir.file("resume.bin");
    std::ofstream(path, std::ios::binary) << entity.substr(0, 10);
    WebGetRequest* request = Make(Url("/resume-reset"));
    WebGetRequest_SetOutputFilename(request, path.c_str());
    WebGetRequest_SetFillBodyCallbackFileOutput(request);
    WebGetRequest_SetAllowResume(request, 1);
    WebGetRequest_SetByteRange(request, 10, 0);
    WebGetConnection_SetTimeout(connection, 0);
    WebGetConnection_RequestAdd(connection, request);
    const Outcome out = Run(request);
    WebGetRequest_Release(&request);
    EXPECT_TRUE(out.Done);
    EXPECT_TRUE(out.Error == WEBGET_ERROR_SOCKET || out.Error == WEBGET_ERROR_UNDERFLOW) << out.Error;
    const std::string kept = ReadFile(path);
    EXPECT_GE(kept.size(), 10u);
    EXPECT_LE(kept.size(), 50u);
    EXPECT_EQ(kept, entity.substr(0, kept.size()));
}

// A post body many times the buffers goes out whole, through full socket buffers, to a peer
// that reads it slowly; the socket is kept for the next request.
TEST_F(WebGetConnectionTest, LargePostArrivesWhole) {
    std::string body(12 << 20, '\0');
    for (size_t i = 0; i < body.size(); i++) body[i] = (char)((i * 131 + (i >> 11)) & 0xFF);
    const HashInterface* sha256 = nullptr;
    ASSERT_EQ(Hash_InterfaceFromName("SHA256", &sha256), 1);
    char digest[80];
    ASSERT_EQ(Hash_QuickString(sha256, body.data(), (int32_t)body.size(), 0, digest, sizeof(digest)), 1);
    const size_t before = Requests().size();
    WebGetRequest* request = Make(Url("/count"));
    WebGetRequest_SetType(request, WEBGET_REQUEST_TYPE_POST);
    WebGetRequest_SetPostPtr(request, body.data(), (uint32_t)body.size());
    WebGetConnection_RequestAdd(connection, request);
    const Outcome out = Run(request, 30);
    WebGetRequest_Release(&request);
    EXPECT_TRUE(out.Done);
    EXPECT_EQ(out.Error, 0);
    EXPECT_EQ(out.Body, std::to_string(body.size()) + " " + digest);
    EXPECT_EQ(Fetch(Url("/hello")).Body, "hello");
    const auto log = Requests();
    ASSERT_EQ(log.size(), before + 2);
    EXPECT_EQ(log[before].first, log[before + 1].first);
}

TEST_F(WebGetConnectionTest, BodyEndsAsTheAnswerSays) {
    EXPECT_EQ(Fetch(Url("/until-close")).Body, std::string(5000, 'y'));
    WebGetRequest* head = Make(Url("/head-only"));
    WebGetRequest_SetType(head, WEBGET_REQUEST_TYPE_HEAD);
    WebGetConnection_RequestAdd(connection, head);
    const Outcome out = Run(head);
    WebGetRequest_Release(&head);
    EXPECT_TRUE(out.Done && out.Error == 0 && out.Http == 200 && out.Body.empty());
}

TEST_F(WebGetConnectionTest, BytesPastTheBodyAreNeverTheNextAnswer) {
    const size_t before = Requests().size();
    EXPECT_EQ(Fetch(Url("/stray")).Body, "hello");
    const Outcome next = Fetch(Url("/hello"));
    EXPECT_EQ(next.Body, "hello");
    const auto log = Requests();
    ASSERT_EQ(log.size(), before + 2);
    EXPECT_NE(log[before].first, log[before + 1].first);
}

TEST_F(WebGetConnectionTest, RedirectsWithoutCallbackGoOnHere) {
    const size_t before = Requests().size();
    WebGetRequest* request = Make(Url("/hop/0"));
    WebGetConnection_RequestAdd(connection, request);
    const Outcome out = Run(request);
    uint32_t depth = 0;
    WebGetRequest_GetRedirectionDepth(request, &depth);
    WebGetRequest_Release(&request);
    EXPECT_EQ(out.Body, "arrived");
    EXPECT_EQ(depth, 3u);
    const auto log = Requests();
    ASSERT_EQ(log.size(), before + 4);
    EXPECT_EQ(log[before].first, log[before + 3].first); // one socket throughout
}

TEST_F(WebGetConnectionTest, FileURLs) {
    TempDir dir;
    std::string data(100, 0);
    for (int i = 0; i < 100; i++) data[i] = (char)i;
    std::ofstream(dir.file("data.bin"), std::ios::binary) << data;
    const std::string url = "file://" + dir.file("data.bin");
    struct Case {
        int64_t Start, End;
        int32_t Http, Error;
        std::string Range, Body;
    } cases[] = {
        {0, 0, 200, 0, "", data},
        {10, 19, 206, 0, "bytes 10-19/100", data.substr(10, 10)},
        {90, 0, 206, 0, "bytes 90-99/100", data.substr(90)},
        {200, 0, 416, 0, "", ""},
    };
    for (const Case& c : cases) {
        WebGetRequest* request = Make(url);
        WebGetRequest_SetByteRange(request, c.Start, c.End);
        WebGetConnection_RequestAdd(connection, request);
        const Outcome out = Run(request);
        char* header = nullptr;
        int32_t capacity = 0;
        WebGetRequest_GetResponseHeader(request, &header, &capacity);
        char range[64] = "";
        WebGet_HeaderGetByName(header, "Content-Range", range, sizeof(range));
        WebGetRequest_Release(&request);
        EXPECT_TRUE(out.Done) << c.Start;
        EXPECT_EQ(out.Http, c.Http) << c.Start;
        EXPECT_EQ(out.Error, c.Error) << c.Start;
        EXPECT_EQ(range, c.Range) << c.Start;
        EXPECT_EQ(out.Body, c.Body) << c.Start;
    }
    EXPECT_EQ(Fetch("file://" + dir.file("missing.bin")).Error, WEBGET_ERROR_OS);
}

// Only a regular file is read from a "file" URL, and the open never waits: a FIFO (whose open
// would wait for a writer), a socket, a device (endless bytes) and a folder are refused at once.
// A link to a file is followed, as local callers expect.
TEST_F(WebGetConnectionTest, FileURLsReadOnlyRegularFilesWithoutWaiting) {
    TempDir dir;
    std::ofstream(dir.file("data.txt"), std::ios::binary) << "data";
    ASSERT_EQ(symlink(dir.file("data.txt").c_str(), dir.file("link.txt").c_str()), 0);
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    String_CopyLength(address.sun_path, dir.file("socket").c_str(), (int32_t)sizeof(address.sun_path));
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    // A reader stuck in the FIFO's open is let go after a while, so that a wait fails the test
    // instead of hanging it.
    std::mutex lock;
    std::condition_variable changed;
    bool finished = false;
    std::thread release([&] {
        std::unique_lock<std::mutex> guard(lock);
        if (changed.wait_for(guard, std::chrono::seconds(5), [&] { return finished; })) return;
        for (int i = 0; i < 100; i++) {
            const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writer >= 0) {
                close(writer);
                return;
            }
            changed.wait_for(guard, std::chrono::milliseconds(20));
        }
    });
    const int32_t notFile = PLATFORM_ERROR_ERRNO_BASE + ENOTSUP;
    struct Case {
        std::string Path;
        int32_t Error, Extended;
        std::string Body;
    } const cases[] = {
        {dir.file("link.txt"), 0, 0, "data"},
        {fifo, WEBGET_ERROR_OS, notFile, ""},
        {dir.file("socket"), WEBGET_ERROR_OS, notFile, ""},
        {"/dev/zero", WEBGET_ERROR_OS, notFile, ""},
        {dir.file("folder"), WEBGET_ERROR_OS, PLATFORM_ERROR_ERRNO_BASE + EISDIR, ""},
    };
    for (const Case& c : cases) {
        const Outcome out = Fetch("file://" + c.Path);
        EXPECT_TRUE(out.Done) << c.Path;
        EXPECT_EQ(out.Error, c.Error) << c.Path;
        EXPECT_EQ(out.Extended, c.Extended) << c.Path;
        EXPECT_EQ(out.Body, c.Body) << c.Path;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        finished = true;
    }
    changed.notify_all();
    release.join();
    close(listener);
}

TEST_F(WebGetConnectionTest, RevalidationAnswerIsUsedOnce) {
    WebGetCacheStore* store = nullptr;
    ASSERT_EQ(WebGetCacheStore_Create(&store), 1);
    const size_t before = Requests().size();
    std::vector<std::string> bodies;
    for (int i = 0; i < 2; i++) {
        WebGetRequest* request = Make(Url("/reval"));
        WebGetRequest_SetCacheStoreHandle(request, store);
        WebGetConnection_RequestAdd(connection, request);
        bodies.push_back(Run(request).Body);
        WebGetRequest_Release(&request);
    }
    EXPECT_EQ(Fetch(Url("/hello")).Body, "hello");
    WebGetCacheStore_Release(&store);
    EXPECT_EQ(bodies, (std::vector<std::string>{"stale", "fresh"}));
    const auto log = Requests();
    ASSERT_EQ(log.size(), before + 3);
    EXPECT_NE(log[before + 1].second.find("If-Modified-Since: Mon, 30 Nov 2026 10:00:00 GMT\r\n"), std::string::npos);
}

TEST_F(WebGetConnectionTest, NginxKeepAliveRangesAndGzip) {
    ASSERT_TRUE(g_peers->Nginx->Running());
    const std::string base = "http://127.0.0.1:" + std::to_string(g_peers->Nginx->Port()) + "/big.txt";
    const std::string big = ReadFile(g_peers->Dir.file("big.txt"));
    EXPECT_TRUE(Fetch(base).Body == big); // gzip-encoded by nginx, decoded here
    WebGetRequest* request = Make(base);
    WebGetRequest_SetByteRange(request, 1000, 1999);
    WebGetConnection_RequestAdd(connection, request);
    const Outcome ranged = Run(request);
    WebGetRequest_Release(&request);
    EXPECT_EQ(ranged.Http, 206);
    EXPECT_TRUE(ranged.Body == big.substr(1000, 1000));
    EXPECT_TRUE(Fetch(base).Body == big);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the access log is written after the answer
    const std::string access = ReadFile(g_peers->Dir.file("access.log"));
    std::vector<std::string> conns;
    for (size_t at = 0; at < access.size();) {
        const size_t end = access.find('\n', at);
        conns.push_back(access.substr(at, access.find(' ', at) - at));
        at = end == std::string::npos ? access.size() : end + 1;
    }
    ASSERT_GE(conns.size(), 3u);
    EXPECT_EQ(conns[conns.size() - 1], conns[conns.size() - 2]); // the gzip answer was chunked: not kept
}

TEST_F(WebGetConnectionTest, TlsDirectAndThroughProxy) {
    ASSERT_TRUE(g_peers->Tls->Running());
    WebGetConnection_SetCertStoreHandle(connection, g_peers->Trust->Interface);
    const std::string url = "https://localhost:" + std::to_string(g_peers->Tls->Port()) + "/big.txt";
    const std::string big = ReadFile(g_peers->Dir.file("big.txt"));
    EXPECT_TRUE(Fetch(url).Body == big);
    ASSERT_TRUE(g_peers->Proxy->Running());
    WebGetConnection_SetAllowProxy(connection, 1);
    WebGetConnection_SetProxyURL(connection, ("http://127.0.0.1:" + std::to_string(g_peers->Proxy->Port()) + "/").c_str());
    const Outcome tunnelled = Fetch(url);
    EXPECT_EQ(tunnelled.Error, 0);
    EXPECT_TRUE(tunnelled.Body == big);
    WebGetConnection_Close(connection);
    WebGetConnection_SetCertStoreHandle(connection, nullptr);
}

// Both fixed proxies: a plain request goes with its absolute URI, an https one through CONNECT.
TEST_F(WebGetConnectionTest, FixedProxiesTunnelAndForward) {
    const std::string big = ReadFile(g_peers->Dir.file("big.txt"));
    const std::string tlsPort = std::to_string(g_peers->Tls->Port());
    const std::string secure = "https://localhost:" + tlsPort + "/big.txt";
    const std::string plain = Url("/hello");
    struct Case {
        const char* Name;
        TlsServer* Proxy;
    } cases[] = {{"tinyproxy", g_peers->Proxy.get()}, {"squid", g_peers->Squid.get()}};
    for (const Case& c : cases) {
        ASSERT_TRUE(c.Proxy->Running()) << c.Name << c.Proxy->Output();
        WebGetConnection_Release(&connection);
        WebGetConnection_Create(&connection);
        WebGetConnection_SetCertStoreHandle(connection, g_peers->Trust->Interface);
        WebGetConnection_SetAllowProxy(connection, 1);
        WebGetConnection_SetProxyURL(connection, ("http://127.0.0.1:" + std::to_string(c.Proxy->Port()) + "/").c_str());
        const Outcome forwarded = Fetch(plain);
        EXPECT_EQ(forwarded.Error, 0) << c.Name;
        EXPECT_EQ(forwarded.Body, "hello") << c.Name;
        // tinyproxy takes no CONNECT on a connection that carried a forwarded request.
        WebGetConnection_Close(connection);
        const Outcome tunnelled = Fetch(secure);
        EXPECT_EQ(tunnelled.Error, 0) << c.Name;
        EXPECT_TRUE(tunnelled.Body == big) << c.Name << " " << tunnelled.Body.size();
        WebGetConnection_Close(connection);
        WebGetConnection_SetCertStoreHandle(connection, nullptr);
    }
    // squid logs the request lines as it was given them.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (g_peers->SquidLog().find("CONNECT") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string log = g_peers->SquidLog();
    EXPECT_NE(log.find(" GET " + plain + " "), std::string::npos) << log;
    EXPECT_NE(log.find(" CONNECT localhost:" + tlsPort + " "), std::string::npos) << log;
}

TEST_F(WebGetConnectionTest, OldTlsVersionsServeFiles) {
    const std::string big = ReadFile(g_peers->Dir.file("big.txt"));
    struct Case {
        const char* Name;
        TlsServer* Server;
    } cases[] = {{"TLS 1.0", g_peers->Tls10.get()}, {"TLS 1.1", g_peers->Tls11.get()}};
    WebGetConnection_SetCertStoreHandle(connection, g_peers->Trust->Interface);
    for (const Case& c : cases) {
        ASSERT_TRUE(c.Server->Running()) << c.Name;
        const Outcome out = Fetch("https://localhost:" + std::to_string(c.Server->Port()) + "/big.http");
        EXPECT_EQ(out.Error, 0) << c.Name;
        EXPECT_EQ(out.Http, 200) << c.Name;
        EXPECT_TRUE(out.Body == big) << c.Name << " " << out.Body.size();
        WebGetConnection_Close(connection);
    }
    WebGetConnection_SetCertStoreHandle(connection, nullptr);
}

TEST_F(WebGetConnectionTest, PlainRequestThroughProxyCarriesTheWholeURL) {
    // The scripted peer stands in as the proxy: it logs the request line it is given.
    WebGetConnection_SetAllowProxy(connection, 1);
    WebGetConnection_SetProxyURL(connection, Url("/").c_str());
    const std::string target = Url("/hello", "127.0.0.2");
    EXPECT_EQ(Fetch(target).Body, "hello");
    const auto log = Requests();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().second.substr(0, log.back().second.find("\r\n")), "GET " + target + " HTTP/1.1");
}

} // namespace

namespace {

struct RedirectSeen {
    int Redirects = 0, Dones = 0;
};

TEST_F(WebGetConnectionTest, RedirectCallbackTakesTheRequestAway) {
    RedirectSeen seen;
    WebGetConnection_SetRedirectCallback(connection, &seen, [](WebGetConnection*, void* user, WebGetRequest*) -> int64_t {
        static_cast<RedirectSeen*>(user)->Redirects++;
        return 1;
    });
    WebGetConnection_SetDoneCallback(connection, &seen, [](WebGetConnection*, void* user, WebGetRequest*) -> int64_t {
        static_cast<RedirectSeen*>(user)->Dones++;
        return 1;
    });
    WebGetRequest* request = Make(Url("/hop/0"));
    WebGetConnection_RequestAdd(connection, request);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int32_t phase = 0;
    while (phase != WEBGET_PHASE_REDIRECTED && std::chrono::steady_clock::now() < deadline) {
        EventQueue_Flush(nullptr);
        WebGetConnection_Process(connection);
        WebGetRequest_GetPhase(request, &phase);
    }
    char url[256] = "";
    WebGetRequest_GetURL(request, url, sizeof(url));
    WebGetRequest_Release(&request);
    EXPECT_EQ(phase, WEBGET_PHASE_REDIRECTED);
    EXPECT_EQ(std::string(url), Url("/hop/1"));
    EXPECT_EQ(seen.Redirects, 1);
    EXPECT_EQ(seen.Dones, 1);
    EXPECT_EQ(WebGetConnection_RequestPending(connection), 0);
    WebGetConnection_SetRedirectCallback(connection, nullptr, nullptr);
    WebGetConnection_SetDoneCallback(connection, nullptr, nullptr);
}

TEST_F(WebGetConnectionTest, CommittedCacheEntryAnswersWithoutTheNetwork) {
    WebGetCacheStore* store = nullptr;
    ASSERT_EQ(WebGetCacheStore_Create(&store), 1);
    const size_t before = Requests().size();
    std::vector<std::pair<std::string, int64_t>> got;
    for (int i = 0; i < 2; i++) {
        WebGetRequest* request = Make(Url("/hello"));
        WebGetRequest_SetCacheStoreHandle(request, store);
        WebGetConnection_RequestAdd(connection, request);
        const std::string body = Run(request).Body;
        got.emplace_back(body, WebGetRequest_IsCachedResponse(request));
        WebGetRequest_Release(&request);
    }
    WebGetCacheStore_Release(&store);
    EXPECT_EQ(got, (std::vector<std::pair<std::string, int64_t>>{{"hello", 0}, {"hello", 1}}));
    EXPECT_EQ(Requests().size(), before + 1);
}

TEST_F(WebGetConnectionTest, ResumeAddsToTheFileOrLeavesIt) {
    ASSERT_TRUE(g_peers->Nginx->Running());
    const std::string big = ReadFile(g_peers->Dir.file("big.txt"));
    TempDir dir;
    struct Case {
        std::string Url;
        int32_t Error;
        std::string Expected;
    } cases[] = {
        {"http://127.0.0.1:" + std::to_string(g_peers->Nginx->Port()) + "/big.txt", 0, big},
        // The peer ignores the range and answers 200: the part already there must stay as it was.
        {Url("/short"), WEBGET_ERROR_RANGE_NOT_SUPPORTED, big.substr(0, 1000)},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file("resume.bin");
        std::ofstream(path, std::ios::binary) << big.substr(0, 1000);
        WebGetRequest* request = Make(c.Url);
        WebGetRequest_SetOutputFilename(request, path.c_str());
        WebGetRequest_SetFillBodyCallbackFileOutput(request);
        WebGetRequest_SetAllowResume(request, 1);
        WebGetRequest_SetByteRange(request, 1000, 0);
        WebGetConnection_RequestAdd(connection, request);
        const Outcome out = Run(request);
        WebGetRequest_Release(&request);
        EXPECT_EQ(out.Error, c.Error) << c.Url;
        EXPECT_TRUE(ReadFile(path) == c.Expected) << c.Url << " " << ReadFile(path).size();
    }
}

} // namespace

namespace {

std::string g_proxyList;

int64_t ListedProxies(const char*, char* buffer, int32_t size, int32_t* state) {
    *state = 0;
    snprintf(buffer, (size_t)size, "%s", g_proxyList.c_str());
    return 1;
}

TEST_F(WebGetConnectionTest, ProxyFailOver) {
    // The scripted peer also answers absolute-URI requests, so it serves as the working proxy.
    const std::string closed = "PROXY 127.0.0.1:" + std::to_string(TlsFreePort());
    const std::string working = "PROXY 127.0.0.1:" + std::to_string(g_peers->Script->Port());
    struct Case {
        std::string List;
        int32_t Error;
        std::string Body;
    } cases[] = {
        {closed + ";" + working, 0, "hello"},
        {working, 0, "hello"},
        {closed, WEBGET_ERROR_CONNECT, ""},
        {"", 0, "hello"}, // direct
    };
    Platform_ProxyGetForURLOverride(ListedProxies);
    WebGetConnection_SetAllowProxy(connection, 1);
    for (const Case& c : cases) {
        g_proxyList = c.List;
        WebGetConnection_Release(&connection);
        WebGetConnection_Create(&connection);
        const Outcome out = Fetch(Url("/hello", "127.0.0.2"));
        EXPECT_EQ(out.Error, c.Error) << c.List;
        EXPECT_EQ(out.Body, c.Body) << c.List;
    }
    Platform_ProxyGetForURLOverride(nullptr);
}

} // namespace
