// Tests of the exchange against peers that do not play fair, on 127.0.0.1: a scripted python peer
// (interim answers, redirects out of the web, gzip members and bombs, conflicting lengths, wide
// cookies, and a proxy that answers CONNECT in the site's place) and nginx (revalidation by 304).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/async_http.h"
#include "core/web/web_get.h"
#include "core/web/web_get_cache.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_pool.h"
#include "core/web/web_get_request.h"
#include "tests/support/nginx_peer.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/support/web_get_env.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetNetEnvironment);

struct Peers {
    TempDir Dir;
    std::unique_ptr<TlsServer> Script;
    std::unique_ptr<NginxPeer> Nginx;
    Peers() {
        Script = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"python3",
                                                 WEBGET_TEST_SOURCE_DIR() + "/web_get_connection_exchange_peer.py",
                                                 "{port}"});
        Nginx = std::make_unique<NginxPeer>("location /nc/ { add_header Cache-Control no-cache; }");
        mkdir(Nginx->Dir.file("www/nc").c_str(), 0755);
    }
};

Peers* g_peers = nullptr;

struct Outcome {
    bool Done;
    int32_t Error, ErrorEx, Http;
    std::string Body;
};

class WebGetExchangeTest : public WebGetTest {
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
        ASSERT_TRUE(g_peers->Script->Running()) << g_peers->Script->Output();
        ASSERT_EQ(WebGetConnection_Create(&connection), 1);
        WebGetConnection_SetAllowProxy(connection, 0);
        // Every fault below ends at once when handled; a wait of its own would only hide one.
        WebGetConnection_SetTimeout(connection, 4);
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
    Outcome Run(WebGetRequest* request, int seconds = 10) {
        WebGetConnection_RequestAdd(connection, request);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!WebGetRequest_IsDone(request) && std::chrono::steady_clock::now() < deadline) {
            EventQueue_Flush(nullptr);
            NotificationCenter_Process();
            WebGetConnection_Process(connection);
            if (!WebGetRequest_IsDone(request)) Thread_Wait(1);
        }
        Outcome out{WebGetRequest_IsDone(request) != 0, 0, 0, 0, {}};
        WebGetRequest_GetLastError(request, &out.Error, &out.ErrorEx);
        WebGetRequest_GetHTTPCode(request, &out.Http);
        uint8_t* bytes = nullptr;
        uint32_t length = 0;
        WebGetRequest_GetBufferPtr(request, &bytes, &length);
        out.Body.assign(reinterpret_cast<char*>(bytes), length);
        return out;
    }
    Outcome Fetch(const std::string& url, int seconds = 10) {
        WebGetRequest* request = Make(url);
        Outcome out = Run(request, seconds);
        WebGetRequest_Release(&request);
        return out;
    }
    WebGetConnection* connection = nullptr;
};

// Interim answers come before the final one, also split across reads; a peer that sends only
// them is given up on.
TEST_F(WebGetExchangeTest, InterimAnswersAreSkipped) {
    const Outcome out = Fetch(Url("/interim"));
    EXPECT_EQ(out.Error, 0);
    EXPECT_EQ(out.Http, 200);
    EXPECT_EQ(out.Body, "final");
    EXPECT_EQ(Fetch(Url("/interim-flood")).Error, WEBGET_ERROR_HEADER_LIMIT);
}

// The bound on interim answers counts those of one request: requests that follow on the same kept
// connection start again from none, so together they may pass it.
TEST_F(WebGetExchangeTest, InterimAnswersAreCountedPerRequest) {
    std::vector<uint32_t> ports;
    for (int i = 0; i < 3; i++) {
        const Outcome out = Fetch(Url("/interims?n=15"));
        EXPECT_EQ(out.Error, 0) << i;
        EXPECT_EQ(out.Body, "final") << i;
        uint32_t port = 0;
        WebGetConnection_GetLocalPort(connection, &port);
        ports.push_back(port);
    }
    EXPECT_EQ(ports, std::vector<uint32_t>(3, ports[0]));
}

// 101 is not interim: it ends the request without a body, and what follows it on the socket (now
// another protocol) is never read as the answer of this request or the next.
TEST_F(WebGetExchangeTest, SwitchingProtocolsIsNotInterim) {
    const Outcome out = Fetch(Url("/switch"));
    EXPECT_TRUE(out.Done);
    EXPECT_EQ(out.Http, 101);
    EXPECT_EQ(out.Body, "");
    const Outcome next = Fetch(Url("/interim"));
    EXPECT_EQ(next.Error, 0);
    EXPECT_EQ(next.Body, "final");
}

// A server's redirect leads to another web address only: not to a file, not to another protocol.
TEST_F(WebGetExchangeTest, RedirectsStayOnTheWeb) {
    TempDir dir;
    const std::string secret = dir.file("secret.txt");
    std::ofstream(secret) << "local secret";
    for (const std::string& target : {"file://" + secret, std::string("ftp://127.0.0.1/x")}) {
        const Outcome out = Fetch(Url("/to?url=" + target));
        EXPECT_TRUE(out.Done) << target;
        EXPECT_EQ(out.Error, WEBGET_ERROR_BLOCKED_REDIRECT) << target;
        EXPECT_EQ(out.Body.find("secret"), std::string::npos) << target;
    }
    EXPECT_EQ(Fetch(Url("/to?url=/echo-cookie")).Error, 0); // a plain redirect still goes
}

// Through the request pool and the document loader, as the program loads documents.
int64_t OpenToLoopback(AsyncHTTP*, void*, WebGetRequest* request) {
    WebGetRequest_SetRequireAuthorization(request, 0);
    WebGetRequest_SetAllowProxy(request, 0);
    return 1;
}

TEST_F(WebGetExchangeTest, LoaderNeverFollowsARedirectToAFile) {
    TempDir dir;
    const std::string local = dir.file("local.yaml");
    std::ofstream(local) << "name: local\n";
    ASSERT_EQ(WebGetPool_Init(), 1);
    AsyncHTTP* loader = nullptr;
    ASSERT_EQ(AsyncHTTP_Create(&loader), 1);
    AsyncHTTP_SetRequestBuildCallback(loader, nullptr, OpenToLoopback);
    AsyncHTTP_SetParser(loader, ASYNCHTTP_PARSER_YAML);
    ASSERT_EQ(AsyncHTTP_Load(loader, Url("/to?url=file://" + local).c_str(), 0), 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (AsyncHTTP_IsAlive(loader) && std::chrono::steady_clock::now() < deadline) {
        EventQueue_Flush(nullptr);
        WebGetPool_Process();
        Thread_Wait(1);
    }
    uint32_t code = 0, codeEx = 0;
    AsyncHTTP_GetLastError(loader, &code, &codeEx);
    Dictionary* dict = nullptr;
    uint32_t items = 0;
    AsyncHTTP_GetDictionaryHandle(loader, &dict);
    Dictionary_ItemGetCount(dict, &items);
    AsyncHTTP_Release(&loader);
    for (int i = 0; i < 20; i++) EventQueue_Flush(nullptr), WebGetPool_Process();
    WebGetPool_Remove();
    EXPECT_EQ(code, (uint32_t)WEBGET_ERROR_BLOCKED_REDIRECT);
    EXPECT_EQ(items, 0u);
}

// A proxy answers CONNECT for itself only: its redirects, errors and answers with a body never
// stand for the site's answer, and plain bytes it pushes into the tunnel after its 200 are taken
// by TLS (and fail it), never read as the site's answer; its 200 is not the request's status.
TEST_F(WebGetExchangeTest, ProxyAnswersToConnectAreNotTheSites) {
    WebGetConnection_SetAllowProxy(connection, 1);
    WebGetConnection_SetProxyURL(connection, Url("/").c_str());
    struct Case {
        const char* Host;
        int32_t Error, Status;
    } cases[] = {{"redirect.test", WEBGET_ERROR_BAD_TRANSPORT, 302}, {"error.test", WEBGET_ERROR_BAD_TRANSPORT, 500},
                 {"body.test", WEBGET_ERROR_BAD_TRANSPORT, 200},     {"bare.test", WEBGET_ERROR_BAD_TRANSPORT, 200},
                 {"late.test", WEBGET_ERROR_TLS1, 40}};
    for (const Case& c : cases) {
        const Outcome out = Fetch("https://" + std::string(c.Host) + "/doc");
        EXPECT_TRUE(out.Done) << c.Host;
        EXPECT_EQ(out.Error, c.Error) << c.Host;
        EXPECT_EQ(out.ErrorEx, c.Status) << c.Host;
        EXPECT_EQ(out.Http, 0) << c.Host;
        EXPECT_TRUE(out.Body.empty()) << c.Host << ": " << out.Body;
        WebGetConnection_Close(connection);
    }
}

// Many gzip members decode in one pass each read, not one member per pass.
TEST_F(WebGetExchangeTest, GzipMembersDecodeTogether) {
    const Outcome out = Fetch(Url("/members?n=5000"), 5);
    EXPECT_TRUE(out.Done);
    EXPECT_EQ(out.Error, 0);
    std::string expected;
    for (int i = 0; i < 5000; i++) expected += "ab";
    EXPECT_TRUE(out.Body == expected) << out.Body.size();
}

// A small gzip answer that inflates without end is refused on its way to memory, and written out
// whole to a file; a plain body past the default bound of memory bodies is refused too.
TEST_F(WebGetExchangeTest, MemoryBodiesHaveBounds) {
    const Outcome bomb = Fetch(Url("/bomb?mib=40"));
    EXPECT_EQ(bomb.Error, WEBGET_ERROR_SIZE_LIMIT);
    EXPECT_LE(bomb.Body.size(), 17u << 20);

    TempDir dir;
    WebGetRequest* request = Make(Url("/bomb?mib=40"));
    WebGetRequest_SetOutputFilename(request, dir.file("zeros.bin").c_str());
    WebGetRequest_SetFillBodyCallbackFileOutput(request);
    const Outcome file = Run(request);
    WebGetRequest_Release(&request);
    EXPECT_EQ(file.Error, 0);
    struct stat st {};
    EXPECT_EQ(stat(dir.file("zeros.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 40 << 20);

    EXPECT_EQ(Fetch(Url("/plain?n=" + std::to_string((128 << 20) + 1)), 30).Error, WEBGET_ERROR_SIZE_LIMIT);
}

// An answer that is not a success is kept in memory even when the request writes to a file, so the
// inflation bound holds for it there: a failing server cannot fill memory with a bomb.
TEST_F(WebGetExchangeTest, FailedAnswerToAFileIsBoundedInMemory) {
    TempDir dir;
    WebGetRequest* request = Make(Url("/bomb?mib=40&status=500"));
    WebGetRequest_SetOutputFilename(request, dir.file("zeros.bin").c_str());
    WebGetRequest_SetFillBodyCallbackFileOutput(request);
    const Outcome out = Run(request);
    WebGetRequest_Release(&request);
    EXPECT_TRUE(out.Done);
    EXPECT_EQ(out.Error, WEBGET_ERROR_SIZE_LIMIT);
    EXPECT_LE(out.Body.size(), 17u << 20);
    struct stat st {};
    EXPECT_TRUE(stat(dir.file("zeros.bin").c_str(), &st) != 0 || st.st_size == 0) << st.st_size;
}

// Two Content-Length lines that disagree leave the body's end unknown; equal ones are one length.
TEST_F(WebGetExchangeTest, ConflictingLengthsAreRefused) {
    EXPECT_EQ(Fetch(Url("/lengths?n=5,25")).Error, WEBGET_ERROR_UNEXPECTED_LENGTH);
    const Outcome same = Fetch(Url("/lengths?n=5,5"));
    EXPECT_EQ(same.Error, 0);
    EXPECT_EQ(same.Body, "hello");
}

// A cookie set by an address belongs to that address: a Domain attribute cannot widen it.
TEST_F(WebGetExchangeTest, CookiesOfAnAddressStayWithIt) {
    struct Case {
        const char* Cookie;
        const char* Home; // what the setting address gets back
    } cases[] = {{"a=1; domain=0.1", ""}, {"a=1; domain=.0.0.1", ""}, {"a=1; domain=127.0.0.1", "a=1;"}, {"a=1", "a=1;"}};
    for (const Case& c : cases) {
        WebGetRequest* request = Make(Url(std::string("/set-cookie?c=") + c.Cookie));
        EXPECT_EQ(Run(request).Error, 0);
        std::vector<std::string> sent;
        for (const char* host : {"127.5.0.1", "127.0.0.1"}) {
            WebGetRequest_Reset(request);
            WebGetRequest_SetURL(request, Url("/echo-cookie", host).c_str());
            sent.push_back(Run(request).Body);
        }
        WebGetRequest_Release(&request);
        EXPECT_EQ(sent, (std::vector<std::string>{"", c.Home})) << c.Cookie;
    }
}

// A stored answer that must be confirmed comes back by 304: the stored body is delivered at once
// and the socket stays for the next request.
TEST_F(WebGetExchangeTest, RevalidatedAnswerComesFromTheStore) {
    ASSERT_TRUE(g_peers->Nginx->Server->Running());
    const std::string url = g_peers->Nginx->Put("nc/doc.txt", "stored document");
    const std::string other = g_peers->Nginx->Put("other.txt", "other");
    WebGetCacheStore* store = nullptr;
    ASSERT_EQ(WebGetCacheStore_Create(&store), 1);
    std::vector<std::pair<int32_t, std::string>> got;
    std::vector<uint32_t> ports;
    for (const std::string& u : {url, url, other}) {
        WebGetRequest* request = Make(u);
        WebGetRequest_SetCacheStoreHandle(request, store);
        const Outcome out = Run(request);
        WebGetRequest_Release(&request);
        got.emplace_back(out.Error, out.Body);
        uint32_t port = 0;
        WebGetConnection_GetLocalPort(connection, &port);
        ports.push_back(port);
    }
    WebGetCacheStore_Release(&store);
    EXPECT_EQ(got, (std::vector<std::pair<int32_t, std::string>>{
                       {0, "stored document"}, {0, "stored document"}, {0, "other"}}));
    EXPECT_EQ(ports[0], ports[1]);
    EXPECT_EQ(ports[1], ports[2]);
}

} // namespace
