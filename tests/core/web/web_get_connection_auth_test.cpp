// Authentication on real connections: a Python peer that checks Basic, Digest (nonce counts,
// methods, URIs, bodies) and NTLM messages (impacket on the server side), apache2 with Digest,
// squid with Basic proxy authentication and 403, and openssl s_server asking for a client
// certificate. A scripted user interface answers the broker's prompts.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "core/net/async_socket.h"
#include "core/net/socket.h"
#include "core/net/tls1.h"
#include "core/platform/async_file.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/challenge.h"
#include "core/web/web_get.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_request.h"
#include "tests/support/auth_peers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/support/web_get_env.h"

namespace {

struct ScriptPeer;
struct CertPeer;
// The peers, started at their first use and stopped at the end of the program (squid's and
// apache2's workers change their user, so the parent's death would not take them along).
ScriptPeer* g_script = nullptr;
ApacheDigestPeer* g_apache = nullptr;
SquidBasicPeer* g_squid = nullptr;
CertPeer* g_cert = nullptr;
void StopPeers();

class ConnectionEnvironment : public WebGetNetEnvironment {
  public:
    void SetUp() override {
        WebGetNetEnvironment::SetUp();
        TLS1_CiphersEnable(1);
    }
    void TearDown() override {
        StopPeers();
        WebGetNetEnvironment::TearDown();
    }
};

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new ConnectionEnvironment);

std::string SourceDir() {
    return WEBGET_TEST_SOURCE_DIR();
}

// The Python peer, started once.
struct ScriptPeer {
    TempDir Dir;
    std::unique_ptr<TlsServer> Server;
    ScriptPeer() {
        Server = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"/usr/bin/python3", SourceDir() + "/web_get_auth_peer.py", "{port}",
                                                 Dir.file("requests.log")});
    }
    // Every logged request as "method target verdict", with its connection number.
    std::vector<std::pair<int, std::string>> Requests() const {
        std::vector<std::pair<int, std::string>> out;
        std::ifstream in(Dir.file("requests.log"));
        std::string line;
        auto field = [&](const std::string& name) {
            const size_t at = line.find("\"" + name + "\": ");
            if (at == std::string::npos) return std::string();
            size_t start = at + name.size() + 4;
            if (line[start] == '"') {
                const size_t end = line.find('"', start + 1);
                return line.substr(start + 1, end - start - 1);
            }
            return line.substr(start, line.find_first_of(",}", start) - start);
        };
        while (std::getline(in, line))
            out.emplace_back(std::stoi(field("conn")), field("method") + " " + field("target") + " " + field("verdict"));
        return out;
    }
};

ScriptPeer& Script() {
    if (!g_script) g_script = new ScriptPeer();
    return *g_script;
}

// One prompt as the user interface saw it.
std::vector<std::string> g_prompts;
// The user's answers, taken in order: {field, value, ...}; "cancel" alone declines.
std::deque<std::vector<std::string>> g_answers;

int64_t OnPrompt(void*, const char*, const char*, const char*, Dictionary* info) {
    std::string text;
    for (const char* key : {"filter", "type", "host", "realm", "address", "username", "password", "certificatePath",
                            "attempt"}) {
        uint32_t type = 0;
        if (!Dictionary_GetTypeByKey(info, key, &type)) continue;
        char value[600] = "";
        if (type == DICTIONARY_TYPE_INT64) {
            int32_t n = 0;
            Dictionary_GetInt32ByKey(info, key, &n);
            snprintf(value, sizeof(value), "%d", n);
        } else {
            Dictionary_GetStringByKey(info, key, value, sizeof(value));
        }
        text += std::string(key) + "=" + value + ";";
    }
    Dictionary* types = nullptr;
    if (Dictionary_GetListByKey(info, "certificateTypes", &types) && types) text += "types;";
    g_prompts.push_back(text);
    if (g_answers.empty()) return 1;
    std::vector<std::string> answer = g_answers.front();
    g_answers.pop_front();
    Dictionary* reply = nullptr;
    Dictionary_Create(&reply);
    for (const char* key : {"filter", "type", "host", "realm", "address"}) {
        uint32_t type = 0;
        if (!Dictionary_GetTypeByKey(info, key, &type)) continue;
        if (type == DICTIONARY_TYPE_INT64) {
            int32_t n = 0;
            Dictionary_GetInt32ByKey(info, key, &n);
            Dictionary_AddInt32(reply, key, n, nullptr);
        } else {
            char value[600] = "";
            Dictionary_GetStringByKey(info, key, value, sizeof(value));
            Dictionary_AddString(reply, key, value, nullptr);
        }
    }
    if (answer.size() == 1 && answer[0] == "cancel")
        Dictionary_AddBoolean(reply, "cancel", 1, nullptr);
    else
        for (size_t i = 0; i + 1 < answer.size(); i += 2)
            Dictionary_AddString(reply, answer[i].c_str(), answer[i + 1].c_str(), nullptr);
    NotificationCenter_FireAfterDelay("Challenge", "PromptResponse", "ui", 0, reply);
    Dictionary_Release(&reply);
    return 1;
}

struct Outcome {
    bool Done;
    int32_t Error;
    int32_t Http;
    std::string Body;
};

class ConnectionAuthTest : public WebGetTest {
  protected:
    void SetUp() override {
        WebGetTest::SetUp();
        g_prompts.clear();
        g_answers.clear();
        ASSERT_EQ(Challenge_Init(0), 1);
        NotificationCenter_AddObserver("Challenge", "PromptRequest", nullptr, OnPrompt);
        ASSERT_EQ(WebGetConnection_Create(&connection), 1);
        WebGetConnection_SetAllowProxy(connection, 0);
    }
    void TearDown() override {
        WebGetConnection_Release(&connection);
        NotificationCenter_RemoveObserver("Challenge", "PromptRequest", nullptr, OnPrompt);
        NotificationCenter_Process();
        Challenge_Remove();
        WebGetTest::TearDown();
    }
    static std::string Url(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(Script().Server->Port()) + path;
    }
    static WebGetRequest* Make(const std::string& url) {
        WebGetRequest* request = nullptr;
        WebGetRequest_Create(&request);
        WebGetRequest_SetRequireAuthorization(request, 0);
        WebGetRequest_SetURL(request, url.c_str());
        return request;
    }
    // Runs passes of the connections until every request is Done or the time is up.
    static void RunAll(std::vector<WebGetConnection*> connections, std::vector<WebGetRequest*> requests,
                       int seconds = 15) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        auto allDone = [&] {
            for (WebGetRequest* r : requests)
                if (!WebGetRequest_IsDone(r)) return false;
            return true;
        };
        while (!allDone() && std::chrono::steady_clock::now() < deadline) {
            EventQueue_Flush(nullptr);
            NotificationCenter_Process();
            for (WebGetConnection* c : connections) WebGetConnection_Process(c);
            if (!allDone()) Thread_Wait(1);
        }
    }
    static Outcome Result(WebGetRequest* request) {
        Outcome out{WebGetRequest_IsDone(request) != 0, 0, 0, {}};
        int32_t extended = 0;
        WebGetRequest_GetLastError(request, &out.Error, &extended);
        WebGetRequest_GetHTTPCode(request, &out.Http);
        uint8_t* bytes = nullptr;
        uint32_t length = 0;
        WebGetRequest_GetBufferPtr(request, &bytes, &length);
        out.Body.assign(reinterpret_cast<char*>(bytes), length);
        return out;
    }
    Outcome Fetch(const std::string& url, const std::string& post = "", uint32_t type = WEBGET_REQUEST_TYPE_GET) {
        WebGetRequest* request = Make(url);
        WebGetRequest_SetType(request, type);
        if (!post.empty()) WebGetRequest_SetPostPtr(request, post.data(), (uint32_t)post.size());
        WebGetConnection_RequestAdd(connection, request);
        RunAll({connection}, {request});
        Outcome out = Result(request);
        WebGetRequest_Release(&request);
        return out;
    }
    // The peer's log lines after the first `from`, without their connection numbers.
    static std::vector<std::string> Since(size_t from) {
        std::vector<std::string> out;
        const auto all = Script().Requests();
        for (size_t i = from; i < all.size(); i++) out.push_back(all[i].second);
        return out;
    }
    static std::string Port() { return std::to_string(Script().Server->Port()); }
    WebGetConnection* connection = nullptr;
};

TEST_F(ConnectionAuthTest, BasicAsksOnceAndSendsTheUserWithoutDomain) {
    ASSERT_TRUE(Script().Server->Running());
    const size_t before = Script().Requests().size();
    g_answers.push_back({"username", "DOM\\user", "password", "pw"});
    Outcome out = Fetch(Url("/basic/one"));
    EXPECT_TRUE(out.Done && out.Error == 0 && out.Http == 200) << out.Error;
    EXPECT_EQ(out.Body, "basic ok");
    ASSERT_EQ(g_prompts.size(), 1u);
    EXPECT_EQ(g_prompts[0], "filter=webgetserver;type=0;host=127.0.0.1:" + Port() +
                                ";realm=bas;username=;password=;attempt=0;");
    // Challenge, credentials asked, challenge again with them at hand, answer.
    EXPECT_EQ(Since(before), (std::vector<std::string>{"GET /basic/one none", "GET /basic/one none",
                                                       "GET /basic/one ok"}));
    // Another URL of the host: the broker answers from what the user said.
    out = Fetch(Url("/basic/two"));
    EXPECT_EQ(out.Body, "basic ok");
    EXPECT_EQ(g_prompts.size(), 1u);
}

TEST_F(ConnectionAuthTest, TwoConnectionsToOneRealmRaiseOnePrompt) {
    WebGetConnection* second = nullptr;
    WebGetConnection_Create(&second);
    WebGetConnection_SetAllowProxy(second, 0);
    WebGetRequest* a = Make(Url("/basic/a"));
    WebGetRequest* b = Make(Url("/basic/b"));
    WebGetConnection_RequestAdd(connection, a);
    WebGetConnection_RequestAdd(second, b);
    // The user answers only after both asked.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(WebGetConnection_IsCredentialPending(connection) && WebGetConnection_IsCredentialPending(second)) &&
           std::chrono::steady_clock::now() < deadline) {
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
        WebGetConnection_Process(connection);
        WebGetConnection_Process(second);
        Thread_Wait(1);
    }
    for (int i = 0; i < 5; i++) NotificationCenter_Process();
    ASSERT_EQ(g_prompts.size(), 1u);
    EXPECT_EQ(WebGetConnection_IsCredentialPending(connection), 1);
    EXPECT_EQ(WebGetConnection_IsCredentialPending(second), 1);
    Dictionary* reply = nullptr;
    Dictionary_Create(&reply);
    Dictionary_AddString(reply, "filter", "webgetserver", nullptr);
    Dictionary_AddInt32(reply, "type", 0, nullptr);
    Dictionary_AddString(reply, "host", ("127.0.0.1:" + Port()).c_str(), nullptr);
    Dictionary_AddString(reply, "realm", "bas", nullptr);
    Dictionary_AddString(reply, "username", "user", nullptr);
    Dictionary_AddString(reply, "password", "pw", nullptr);
    NotificationCenter_FireAfterDelay("Challenge", "PromptResponse", "ui", 0, reply);
    Dictionary_Release(&reply);
    RunAll({connection, second}, {a, b});
    EXPECT_EQ(Result(a).Body, "basic ok");
    EXPECT_EQ(Result(b).Body, "basic ok");
    EXPECT_EQ(g_prompts.size(), 1u);
    WebGetRequest_Release(&a);
    WebGetRequest_Release(&b);
    WebGetConnection_Release(&second);
}

// The peer refuses a nonce count that does not rise, and checks each answer against the method,
// URI and body of its own request.
TEST_F(ConnectionAuthTest, DigestCountsUpAndCoversEachRequest) {
    const size_t before = Script().Requests().size();
    g_answers.push_back({"username", "user", "password", "pw"});
    EXPECT_EQ(Fetch(Url("/digest/x?q=1")).Body, "digest ok");
    EXPECT_EQ(Fetch(Url("/digest/x?q=1")).Body, "digest ok");
    EXPECT_EQ(Fetch(Url("/digest/x?q=1"), "a=b", WEBGET_REQUEST_TYPE_POST).Body, "digest ok");
    EXPECT_EQ(Fetch(Url("/digest/x?q=1"), "", WEBGET_REQUEST_TYPE_HEAD).Http, 200);
    EXPECT_EQ(g_prompts.size(), 1u);
    EXPECT_EQ(Since(before),
              (std::vector<std::string>{"GET /digest/x?q=1 none", "GET /digest/x?q=1 none", "GET /digest/x?q=1 ok",
                                        "GET /digest/x?q=1 ok", "POST /digest/x?q=1 ok", "HEAD /digest/x?q=1 ok"}));
}

TEST_F(ConnectionAuthTest, DigestAuthIntHashesTheBody) {
    const size_t before = Script().Requests().size();
    g_answers.push_back({"username", "user", "password", "pw"});
    const std::string body = "first=1&second=two";
    EXPECT_EQ(Fetch(Url("/digest-int/p"), body, WEBGET_REQUEST_TYPE_POST).Body, "digest ok");
    // The same URL again: the standing answer is computed over this request's own body.
    EXPECT_EQ(Fetch(Url("/digest-int/p"), "other body", WEBGET_REQUEST_TYPE_POST).Body, "digest ok");
    const auto log = Since(before);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[2], "POST /digest-int/p ok");
    EXPECT_EQ(log[3], "POST /digest-int/p ok");
}

TEST_F(ConnectionAuthTest, NtlmAndNegotiateHandshakesOnOneSocket) {
    for (const std::string scheme : {"ntlm", "negotiate"}) {
        WebGetConnection_Close(connection);
        Challenge_Remove();
        Challenge_Init(0);
        g_prompts.clear();
        const size_t before = Script().Requests().size();
        g_answers.push_back({"username", "DOMAIN\\user", "password", "pw"});
        const Outcome out = Fetch(Url("/" + scheme));
        EXPECT_EQ(out.Body, "ntlm ok") << scheme << " " << out.Error;
        EXPECT_EQ(g_prompts.size(), 1u);
        const auto all = Script().Requests();
        ASSERT_EQ(all.size(), before + 4) << scheme;
        EXPECT_EQ(all[before + 2].second, "GET /" + scheme + " negotiate");
        EXPECT_EQ(all[before + 3].second, "GET /" + scheme + " ok");
        EXPECT_EQ(all[before + 2].first, all[before + 3].first); // the handshake stays on its socket
    }
}

TEST_F(ConnectionAuthTest, ChallengesThatEndTheRequest) {
    struct Row {
        const char* Path;
        bool Cancel;
        int32_t Error;
    } rows[] = {
        {"/nochallenge", false, WEBGET_ERROR_AUTH_HEADER_NOT_FOUND},
        {"/bearer", false, WEBGET_ERROR_AUTH_NOT_SUPPORTED},
        {"/basic/cancelled", true, WEBGET_ERROR_AUTH_REQUEST_CANCEL},
    };
    for (const Row& row : rows) {
        if (row.Cancel) g_answers.push_back({"cancel"});
        const Outcome out = Fetch(Url(row.Path));
        EXPECT_TRUE(out.Done) << row.Path;
        EXPECT_EQ(out.Error, row.Error) << row.Path;
    }
    // Without a broker nobody could answer: the request ends instead of waiting for ever.
    Challenge_Remove();
    EXPECT_EQ(Fetch(Url("/basic/alone")).Error, WEBGET_ERROR_AUTH_REQUEST_CANCEL);
    Challenge_Init(0);
    // Authentication not allowed.
    WebGetConnection_SetAllowAuthentication(connection, 0);
    EXPECT_EQ(Fetch(Url("/basic/barred")).Error, WEBGET_ERROR_AUTH_REQUEST_CANCEL);
}

TEST_F(ConnectionAuthTest, ForbiddenInvalidatesTheRememberedCredentials) {
    g_answers.push_back({"username", "user", "password", "pw"});
    EXPECT_EQ(Fetch(Url("/basic/in")).Body, "basic ok");
    // Credentials the server knows but does not accept here.
    const Outcome forbidden = Fetch(Url("/basic-forbidden"));
    EXPECT_TRUE(forbidden.Done && forbidden.Error == 0 && forbidden.Http == 403);
    EXPECT_EQ(g_prompts.size(), 1u);
    g_answers.push_back({"username", "user", "password", "pw"});
    EXPECT_EQ(Fetch(Url("/basic/again")).Body, "basic ok");
    ASSERT_EQ(g_prompts.size(), 2u);
    EXPECT_EQ(g_prompts[1], "filter=webgetserver;type=0;host=127.0.0.1:" + Port() +
                                ";realm=bas;username=user;password=;attempt=1;");
}

TEST_F(ConnectionAuthTest, ApacheDigest) {
    if (!g_apache) g_apache = new ApacheDigestPeer();
    ApacheDigestPeer* apache = g_apache;
    ASSERT_TRUE(apache->Running());
    const std::string base = "http://127.0.0.1:" + std::to_string(apache->Port()) + "/private/";
    g_answers.push_back({"username", "user", "password", "pw"});
    EXPECT_EQ(Fetch(base + "a.txt").Body, "apache a") << apache->Errors();
    EXPECT_EQ(Fetch(base + "a.txt").Body, "apache a");
    EXPECT_EQ(Fetch(base + "b.txt").Body, "apache b");
    ASSERT_EQ(g_prompts.size(), 1u);
    EXPECT_NE(g_prompts[0].find("realm=apache;"), std::string::npos);
    g_answers.push_back({"username", "user", "password", "wrong"});
    g_answers.push_back({"cancel"});
    WebGetConnection_Close(connection);
    Challenge_Remove();
    Challenge_Init(0);
    EXPECT_EQ(Fetch(base + "a.txt").Error, WEBGET_ERROR_AUTH_REQUEST_CANCEL);
    ASSERT_EQ(g_prompts.size(), 3u);
    EXPECT_NE(g_prompts[2].find("username=user;password=wrong;attempt=1;"), std::string::npos);
}

TEST_F(ConnectionAuthTest, SquidProxyBasicAnd403) {
    if (!g_squid) g_squid = new SquidBasicPeer();
    SquidBasicPeer* squid = g_squid;
    ASSERT_TRUE(squid->Running()) << squid->Log();
    ASSERT_TRUE(Script().Server->Running());
    const std::string proxy = "127.0.0.1:" + std::to_string(squid->Port());
    WebGetConnection_SetAllowProxy(connection, 1);
    WebGetConnection_SetProxyURL(connection, ("http://" + proxy + "/").c_str());
    g_answers.push_back({"username", "user", "password", "pw"});
    Outcome out = Fetch(Url("/plain"));
    EXPECT_TRUE(out.Done && out.Error == 0) << out.Error << " " << out.Http << " " << squid->Log();
    EXPECT_EQ(out.Body, "hello");
    ASSERT_EQ(g_prompts.size(), 1u);
    EXPECT_EQ(g_prompts[0], "filter=webgetproxy;type=1;host=" + proxy + ";realm=squidrealm;username=;password=;attempt=0;");
    out = Fetch(Url("/forbidden-by-proxy/x"));
    EXPECT_EQ(out.Http, 403);
    EXPECT_EQ(g_prompts.size(), 1u);
    g_answers.push_back({"username", "user", "password", "pw"});
    EXPECT_EQ(Fetch(Url("/plain")).Body, "hello");
    ASSERT_EQ(g_prompts.size(), 2u);
    EXPECT_NE(g_prompts[1].find("attempt=1;"), std::string::npos);
    // Proxy authentication not allowed: the 407 ends the request.
    WebGetConnection_Close(connection);
    WebGetConnection_SetAllowAuthentication(connection, 0);
    EXPECT_EQ(Fetch(Url("/plain")).Error, WEBGET_ERROR_AUTH_REQUEST_CANCEL);
}

// openssl s_server asking for a client certificate, and one that does not (Plain).
struct CertPeer {
    TlsPki Pki;
    std::unique_ptr<TrustSet> Trust;
    std::unique_ptr<TlsServer> Server, Plain;
    CertPeer() {
        if (!Pki.Made) return;
        Trust = std::make_unique<TrustSet>(std::vector<std::string>{Pki.Der("root")});
        Server = std::make_unique<TlsServer>(
            Pki.Dir.path(), std::vector<std::string>{"openssl", "s_server", "-accept", "127.0.0.1:{port}", "-cert",
                                                     "rsa.pem", "-key", "srvrsa.key", "-cert_chain", "chain2.pem",
                                                     "-cipher", "DEFAULT@SECLEVEL=0", "-max_protocol", "TLSv1.2",
                                                     "-Verify", "1", "-CAfile", "root.pem", "-www", "-quiet"});
        Plain = std::make_unique<TlsServer>(
            Pki.Dir.path(), std::vector<std::string>{"openssl", "s_server", "-accept", "127.0.0.1:{port}", "-cert",
                                                     "rsa.pem", "-key", "srvrsa.key", "-cert_chain", "chain2.pem",
                                                     "-cipher", "DEFAULT@SECLEVEL=0", "-max_protocol", "TLSv1.2",
                                                     "-www", "-quiet"});
        std::ofstream(Pki.File("broken.p12")) << Pki.Der("root").substr(0, 200);
    }
};

// The proxy asks for credentials on the CONNECT: the tunnel is asked for again with them, and
// the request inside it carries no proxy credentials.
TEST_F(ConnectionAuthTest, SquidProxyBasicOnTheTunnel) {
    if (!g_squid) g_squid = new SquidBasicPeer();
    if (!g_cert) g_cert = new CertPeer();
    ASSERT_TRUE(g_squid->Running());
    ASSERT_TRUE(g_cert->Plain && g_cert->Plain->Running());
    WebGetConnection_SetCertStoreHandle(connection, g_cert->Trust->Interface);
    WebGetConnection_SetAllowProxy(connection, 1);
    const std::string proxy = "127.0.0.1:" + std::to_string(g_squid->Port());
    WebGetConnection_SetProxyURL(connection, ("http://" + proxy + "/").c_str());
    WebGetConnection_SetPrintHeaders(connection, 1);
    g_answers.push_back({"username", "user", "password", "pw"});
    TakeLog();
    const Outcome out = Fetch("https://localhost:" + std::to_string(g_cert->Plain->Port()) + "/");
    const std::string log = TakeLog();
    EXPECT_TRUE(out.Done && out.Error == 0) << out.Error << " " << out.Http;
    EXPECT_NE(out.Body.find("s_server"), std::string::npos);
    ASSERT_EQ(g_prompts.size(), 1u);
    EXPECT_EQ(g_prompts[0], "filter=webgetproxy;type=1;host=" + proxy + ";realm=squidrealm;username=;password=;attempt=0;");
    // Only the CONNECT that was let through carried them.
    const size_t first = log.find("Proxy-Authorization: Basic dXNlcjpwdw==");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("Proxy-Authorization", first + 1), std::string::npos);
    EXPECT_NE(log.rfind("CONNECT localhost:", first), std::string::npos);
    EXPECT_NE(log.find("GET / HTTP/1.1", first), std::string::npos);
    WebGetConnection_SetCertStoreHandle(connection, nullptr);
}

void StopPeers() {
    delete g_script;
    delete g_apache;
    delete g_squid;
    delete g_cert;
    g_script = nullptr;
    g_apache = nullptr;
    g_squid = nullptr;
    g_cert = nullptr;
}

TEST_F(ConnectionAuthTest, ClientCertificateThroughTheBroker) {
    if (!g_cert) g_cert = new CertPeer();
    CertPeer* peer = g_cert;
    ASSERT_TRUE(peer->Server && peer->Server->Running());
    WebGetConnection_SetCertStoreHandle(connection, peer->Trust->Interface);
    const std::string url = "https://localhost:" + std::to_string(peer->Server->Port()) + "/";
    const std::string address = "127.0.0.1:" + std::to_string(peer->Server->Port());
    struct Row {
        const char* Name;
        std::vector<std::vector<std::string>> Answers;
        int32_t Error;
        size_t Prompts;
    } rows[] = {
        {"cancelled", {{"cancel"}}, WEBGET_ERROR_CERT_REQUEST_CANCEL, 1},
        {"broken file, then cancelled",
         {{"certificatePath", peer->Pki.File("broken.p12"), "password", "secret"}, {"cancel"}},
         WEBGET_ERROR_CERT_REQUEST_CANCEL, 2},
        {"wrong password, then cancelled",
         {{"certificatePath", peer->Pki.File("clirsa.p12"), "password", "nope"}, {"cancel"}},
         WEBGET_ERROR_CERT_REQUEST_CANCEL, 2},
        {"missing file, then cancelled",
         {{"certificatePath", peer->Pki.File("none.p12"), "password", "secret"}, {"cancel"}},
         WEBGET_ERROR_CERT_REQUEST_CANCEL, 2},
        {"the RSA certificate", {{"certificatePath", peer->Pki.File("clirsa.p12"), "password", "secret"}}, 0, 1},
    };
    for (const Row& row : rows) {
        WebGetConnection_Close(connection);
        Challenge_Remove();
        Challenge_Init(0);
        g_prompts.clear();
        for (const auto& answer : row.Answers) g_answers.push_back(answer);
        const Outcome out = Fetch(url);
        EXPECT_TRUE(out.Done) << row.Name;
        EXPECT_EQ(out.Error, row.Error) << row.Name;
        if (row.Error == 0) {
            EXPECT_NE(out.Body.find("s_server"), std::string::npos) << row.Name;
        }
        ASSERT_EQ(g_prompts.size(), row.Prompts) << row.Name;
        EXPECT_EQ(g_prompts[0], "filter=clientcert;address=" + address + ";password=;certificatePath=;attempt=0;types;") << row.Name;
        if (row.Prompts > 1) {
            EXPECT_NE(g_prompts[1].find("attempt=1;"), std::string::npos) << row.Name;
        }
        g_answers.clear();
    }
    // Another connection to the same address is answered from the broker's memory, no prompt.
    WebGetConnection* other = nullptr;
    WebGetConnection_Create(&other);
    WebGetConnection_SetAllowProxy(other, 0);
    WebGetConnection_SetCertStoreHandle(other, peer->Trust->Interface);
    WebGetRequest* request = Make(url);
    WebGetConnection_RequestAdd(other, request);
    RunAll({other}, {request});
    const Outcome again = Result(request);
    EXPECT_TRUE(again.Done && again.Error == 0) << again.Error;
    EXPECT_NE(again.Body.find("s_server"), std::string::npos);
    EXPECT_EQ(g_prompts.size(), 1u);
    WebGetRequest_Release(&request);
    WebGetConnection_SetCertStoreHandle(other, nullptr);
    WebGetConnection_Release(&other);
    WebGetConnection_SetCertStoreHandle(connection, nullptr);
}

} // namespace
