// Tests of the proxy resolver against a loopback peer (DNS on 127.0.0.1 and 127.0.0.2, HTTP for
// the script), inside a network namespace of its own so that no name lookup leaves the machine,
// with the desktop's settings asking for discovery (GSettings keyfile in a private folder).
#include "tests/support/scoped_env.h"
#include "tests/support/source_path.h"
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "core/linux/platform_jscore.h"
#include "core/linux/platform_network.h"
#include "core/net/async_socket.h"
#include "core/net/proxy_resolver.h"
#include "core/net/socket.h"
#include "core/platform/async_file.h"
#include "core/runtime/command_line.h"
#include "core/runtime/io_worker.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_request.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/support/web_get_env.h"

namespace {

bool g_isolated = false;

// A network namespace with only the loopback interface, up.
bool Isolate() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    strcpy(request.ifr_name, "lo");
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return up;
}

class ResolverEnvironment : public WebGetEnvironment {
  public:
    void SetUp() override {
        g_isolated = Isolate(); // before any thread, so that every thread and peer shares it
        for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy",
                                 "NO_PROXY"})
            SetBothEnv(name, nullptr);
        mkdir((config_.path() + "/glib-2.0").c_str(), 0700);
        mkdir((config_.path() + "/glib-2.0/settings").c_str(), 0700);
        std::ofstream(config_.path() + "/glib-2.0/settings/keyfile") << "[system/proxy]\nmode='auto'\n";
        SetBothEnv("XDG_CONFIG_HOME", config_.path().c_str());
        SetBothEnv("GSETTINGS_BACKEND", "keyfile");
        // No system bus: the DHCP step finds no lease.
        SetBothEnv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + config_.path() + "/no_bus").c_str());
        WebGetEnvironment::SetUp();
        CommandLine_Init("host");
        ASSERT_EQ(Socket_Init(), 1);
        ASSERT_EQ(IOWorker_Init(), 1);
        ASSERT_EQ(AsyncFile_Init(), 1);
        ASSERT_EQ(AsyncSocket_Init(), 1);
    }
    void TearDown() override {
        AsyncSocket_Remove();
        AsyncFile_Remove();
        IOWorker_Remove();
        Socket_Remove();
        PlatformJSCore_Remove();
        CommandLine_Remove();
        WebGetEnvironment::TearDown();
    }

  private:
    TempDir config_;
};

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new ResolverEnvironment);

void SetCommandLine(const char* text) {
    CommandLine_Remove();
    CommandLine_Init(text);
}

std::string SourceDir() {
    const std::string file = SourcePath(__FILE__);
    return file.substr(0, file.rfind('/'));
}

class ProxyResolverTest : public WebGetTest {
  protected:
    void SetUp() override {
        WebGetTest::SetUp();
        if (!g_isolated) GTEST_SKIP() << "no network namespace of our own: lookups could leave the machine";
    }
    void TearDown() override {
        ProxyResolver_Remove();
        ProxyResolver_SetDiscoveryOverride(nullptr);
        SetCommandLine("host");
        SetBothEnv("http_proxy", nullptr);
        peer_.reset();
        WebGetTest::TearDown();
    }

    // Starts the peer with the zone (JSON) and the script it serves.
    void StartPeer(const std::string& zone, const std::string& script) {
        std::ofstream(dir_.file("zone.json")) << (zone.empty() ? "{}" : zone);
        std::ofstream(dir_.file("wpad.dat")) << script;
        peer_ = std::make_unique<TlsServer>(
            dir_.path(), std::vector<std::string>{"/usr/bin/python3", SourceDir() + "/proxy_resolver_peer.py", "{port}",
                                                  dir_.file("zone.json"), dir_.file("peer.log"),
                                                  dir_.file("wpad.dat")});
        ASSERT_TRUE(peer_->Running());
    }
    std::string ScriptURL(const std::string& path = "/wpad.dat") const {
        return "http://127.0.0.1:" + std::to_string(peer_->Port()) + path;
    }
    void Discover(const char* hostName) {
        ProxyResolverDiscovery discovery{};
        strcpy(discovery.FirstServer, "127.0.0.1");
        strcpy(discovery.SecondServer, "127.0.0.2");
        discovery.Port = peer_ ? peer_->Port() : 9;
        snprintf(discovery.HostName, sizeof(discovery.HostName), "%s", hostName);
        discovery.AnyAdapter = 1;
        ProxyResolver_SetDiscoveryOverride(&discovery);
    }
    // The answer once discovery has ended (bounded wait).
    std::string Answer(const std::string& url = "http://www.example.com/") {
        char list[512] = "junk";
        int32_t pending = 1;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            EXPECT_EQ(ProxyResolver_GetProxyForURL(url.c_str(), list, sizeof(list), &pending), 1);
            if (!pending) return list;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "(still pending)";
    }
    std::string PeerLog() const { return ReadFile(dir_.file("peer.log")); }

    TempDir dir_;
    std::unique_ptr<TlsServer> peer_;
};

TEST_F(ProxyResolverTest, SwitchAnswersForEveryURL) {
    StartPeer("{}", "");
    Discover("pc.corp.lan");
    SetCommandLine("host --proxy=a:8080,b:8080");
    ASSERT_EQ(ProxyResolver_Init(), 1);
    EXPECT_EQ(Answer(), "a:8080;b:8080");
    EXPECT_EQ(Answer("https://other.test/x"), "a:8080;b:8080");
    // Through the platform, as the web client asks.
    char list[64] = "";
    int32_t pending = 9;
    EXPECT_EQ(Platform_ProxyGetForURL("http://x.test/", list, sizeof(list), &pending), 1);
    EXPECT_STREQ(list, "a:8080;b:8080");
    EXPECT_NE(TakeLog().find("Internet proxy set using the command line"), std::string::npos);
    EXPECT_EQ(PeerLog(), ""); // no script was looked for
}

TEST_F(ProxyResolverTest, WpadNamesInOrderOnBothServers) {
    StartPeer("{}", "");
    Discover("pc1.corp.lan.local");
    ASSERT_EQ(ProxyResolver_Init(), 1);
    EXPECT_EQ(Answer(), "");
    std::string expected;
    for (const char* name : {"wpad.pc1.corp.lan.local", "wpad.corp.lan.local", "wpad.lan.local"})
        for (const char* server : {"127.0.0.1", "127.0.0.2"})
            expected += std::string(server) + " " + name + " 255 255\n";
    EXPECT_EQ(PeerLog(), expected);
}

TEST_F(ProxyResolverTest, HostWithoutDotSkipsDns) {
    StartPeer("{}", "");
    Discover("pc1");
    ASSERT_EQ(ProxyResolver_Init(), 1);
    EXPECT_EQ(Answer(), "");
    EXPECT_EQ(PeerLog(), "");
}

TEST_F(ProxyResolverTest, TxtRecordLeadsToTheScript) {
    StartPeer("", "function FindProxyForURL(url, host) { return dnsDomainIs(host, '.corp.lan') ? 'DIRECT' : "
                  "'PROXY p.test:3128; DIRECT'; }");
    std::ofstream(dir_.file("zone.json"))
        << "{\"wpad.corp.lan\": [[\"TXT\", \"\\\"service: wpad:!!" << ScriptURL() << "\\\"\"]]}";
    Discover("pc.corp.lan");
    ASSERT_EQ(ProxyResolver_Init(), 1);
    EXPECT_EQ(Answer(), "PROXY p.test:3128; DIRECT");
    EXPECT_EQ(Answer("http://intra.corp.lan/"), "DIRECT");
    EXPECT_NE(PeerLog().find("GET /wpad.dat"), std::string::npos);
    const std::string log = TakeLog();
    EXPECT_NE(log.find("Retrieving wpad script from url - " + ScriptURL() + " (DNS)"), std::string::npos) << log;
}

TEST_F(ProxyResolverTest, AddressRecordNamesTheQueriedHost) {
    StartPeer("{\"wpad.corp.lan\": [[\"A\", \"127.0.0.1\"], [\"CNAME\", \"elsewhere.test.\"]]}", "");
    Discover("pc.corp.lan");
    ASSERT_EQ(ProxyResolver_Init(), 1);
    EXPECT_EQ(Answer(), "");
    // Each record fetches the same URL again while fetches fail; the name does not resolve here.
    const std::string log = TakeLog();
    const std::string line = "Retrieving wpad script from url - http://wpad.corp.lan/wpad.dat (DNS)";
    const size_t first = log.find(line);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find(line, first + 1), std::string::npos);
}

TEST_F(ProxyResolverTest, AnswersThatLeadNowhere) {
    StartPeer("{\"wpad.a.b.c.lan\": \"garbage\", \"wpad.b.c.lan\": \"otherid\", \"wpad.c.lan\": [[\"TXT\", "
              "\"\\\"service: nothing\\\"\"], [\"MX\", \"10 mx.test.\"]]}",
              "");
    Discover("a.b.c.lan");
    ASSERT_EQ(ProxyResolver_Init(), 1);
    EXPECT_EQ(Answer(), "");
    EXPECT_NE(PeerLog().find("127.0.0.2 wpad.c.lan"), std::string::npos);
}

TEST_F(ProxyResolverTest, OnlyTheAnswerUnderTheQueryIdCounts) {
    StartPeer("", "function FindProxyForURL(url, host) { return 'PROXY right.test:1'; }");
    const auto txt = [&](const std::string& path) {
        return "[[\"TXT\", \"\\\"service: wpad:" + ScriptURL(path) + "\\\"\"]]";
    };
    // Records under another ID lead nowhere, even when no right answer follows; when one does,
    // it is waited for and taken.
    const struct {
        std::string Then;
        const char* Answer;
    } cases[] = {{"", ""}, {", \"then\": " + txt("/wpad.dat"), "PROXY right.test:1"}};
    for (const auto& c : cases) {
        std::ofstream(dir_.file("zone.json"))
            << "{\"wpad.corp.lan\": {\"wrongid\": " << txt("/wrong.dat") << c.Then << "}}";
        Discover("pc.corp.lan");
        ASSERT_EQ(ProxyResolver_Init(), 1);
        EXPECT_EQ(Answer(), c.Answer) << c.Then;
        EXPECT_EQ(PeerLog().find("GET /wrong.dat"), std::string::npos) << c.Then;
        EXPECT_NE(PeerLog().find("127.0.0.1 wpad.corp.lan"), std::string::npos) << c.Then;
        ProxyResolver_Remove();
    }
}

TEST_F(ProxyResolverTest, ThrowingScriptFallsBackToTheSystem) {
    StartPeer("", "function FindProxyForURL(url, host) { throw new Error('broken'); }");
    SetCommandLine(("host --proxy-wpad=" + ScriptURL()).c_str());
    ASSERT_EQ(ProxyResolver_Init(), 1);
    EXPECT_EQ(Answer(), "");
    // Read at lookup time, after discovery has ended.
    SetBothEnv("http_proxy", "http://fallback.test:3128/");
    EXPECT_EQ(Answer(), "fallback.test:3128");
    EXPECT_NE(TakeLog().find("(Command Line)"), std::string::npos);
}

TEST_F(ProxyResolverTest, RemoveDoesNotWaitForAHungPeer) {
    StartPeer("{\"wpad.corp.lan\": \"silent\", \"wpad.lan\": \"silent\"}", "");
    struct Case {
        const char* Switch;
        const char* Host;
    } cases[] = {{"--proxy-wpad=", "pc.x"}, {"", "pc.a.b.corp.lan"}};
    for (const Case& c : cases) {
        Discover(c.Host);
        SetCommandLine(c.Switch[0] ? ("host " + std::string(c.Switch) + ScriptURL("/hang")).c_str() : "host");
        ASSERT_EQ(ProxyResolver_Init(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        char list[64] = "junk";
        int32_t pending = 0;
        EXPECT_EQ(ProxyResolver_GetProxyForURL("http://a.test/", list, sizeof(list), &pending), 1);
        EXPECT_EQ(pending, 1) << c.Switch;
        EXPECT_STREQ(list, "");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ProxyResolver_Remove(), 1);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0) << c.Switch;
    }
    EXPECT_EQ(ProxyResolver_Remove(), 1);
}

std::string g_proxyAnswer;

int64_t FixedAnswer(const char*, char* list, int32_t size, int32_t* pending) {
    *pending = 0;
    snprintf(list, (size_t)size, "%s", g_proxyAnswer.c_str());
    return 1;
}

// What the peer logged for one request through a connection that may use proxies, and its code.
std::string FetchThrough(WebGetConnection* connection, const std::string& url, int32_t* code) {
    WebGetRequest* request = nullptr;
    WebGetRequest_Create(&request);
    WebGetRequest_SetRequireAuthorization(request, 0);
    WebGetRequest_SetURL(request, url.c_str());
    WebGetConnection_RequestAdd(connection, request);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!WebGetRequest_IsDone(request) && std::chrono::steady_clock::now() < deadline) {
        EventQueue_Flush(nullptr);
        WebGetConnection_Process(connection);
        if (!WebGetRequest_IsDone(request)) Thread_Wait(1);
    }
    *code = 0;
    WebGetRequest_GetHTTPCode(request, code);
    WebGetRequest_Release(&request);
    return url;
}

TEST_F(ProxyResolverTest, BypassedHostsGoDirect) {
    StartPeer("{}", "function FindProxyForURL(u, h) { return 'DIRECT'; }");
    const std::string port = std::to_string(peer_->Port());
    // Every URL is answered with the peer as proxy; the peer answers a proxied request with 404.
    g_proxyAnswer = "PROXY 127.0.0.1:" + port;
    Platform_ProxyGetForURLOverride(FixedAnswer);
    SetBothEnv("http_proxy", "http://unused.test:1/");
    SetBothEnv("no_proxy", "127.0.0.1");
    WebGetConnection* connection = nullptr;
    ASSERT_EQ(WebGetConnection_Create(&connection), 1);
    WebGetConnection_SetAllowProxy(connection, 1);
    int32_t code = 0;
    FetchThrough(connection, "http://127.0.0.2:" + port + "/first", &code);
    EXPECT_EQ(code, 404);
    // The host named by no_proxy goes direct.
    WebGetConnection_Release(&connection);
    ASSERT_EQ(WebGetConnection_Create(&connection), 1);
    WebGetConnection_SetAllowProxy(connection, 1);
    FetchThrough(connection, "http://127.0.0.1:" + port + "/wpad.dat", &code);
    EXPECT_EQ(code, 200);
    EXPECT_EQ(PeerLog(), "GET http://127.0.0.2:" + port + "/first\nGET /wpad.dat\n");
    WebGetConnection_Release(&connection);
    Platform_ProxyGetForURLOverride(nullptr);
    SetBothEnv("no_proxy", nullptr);
}

TEST_F(ProxyResolverTest, WalkOfRecordedAnswers) {
    // service: wpad:!!<URL> loses the run of '!'; an A record for the name gives its wpad.dat.
    const uint8_t answer[] = {
        0x12, 0x34, 0x81, 0x80, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x04, 'w', 'p', 'a', 'd',
        0x01, 'h',  0x00, 0x00, 0xFF, 0x00, 0xFF, 0xC0, 0x0C, 0x00, 0x10, 0x00, 0x01, 0x00, 0x00, 0x00, 0x3C,
        0x00, 0x1F, 0x1E, 's',  'e',  'r',  'v',  'i',  'c',  'e',  ':',  ' ',  'w',  'p',  'a',  'd',  ':',
        '!',  '!',  'h',  't',  't',  'p',  ':',  '/',  '/',  'h',  '/',  'p',  '.',  'd',  'a',  't'};
    std::vector<std::string> urls;
    auto record = [](void* user, const char* url, const char*) -> int64_t {
        static_cast<std::vector<std::string>*>(user)->push_back(url);
        return 1;
    };
    EXPECT_EQ(ProxyResolver_WalkWPadAnswer(answer, sizeof(answer), "wpad.h", record, &urls), 1);
    EXPECT_EQ(urls, std::vector<std::string>{"http://h/p.dat"});
    EXPECT_EQ(ProxyResolver_WalkWPadAnswer(answer, 20, "wpad.h", record, &urls), 0);
    const uint32_t none = 0;
    EXPECT_EQ(ProxyResolver_RetrieveWPadFromDNS(&none, "wpad.h"), 0);
}

} // namespace
