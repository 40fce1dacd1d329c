// Tests of the request pool against real peers on 127.0.0.1: nginx (its access log names the
// socket of every request) and a scripted Python peer answering on several loopback addresses,
// so that one port gives many hosts, with answers held until the test lets them go.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/net/async_socket.h"
#include "core/net/socket.h"
#include "core/platform/async_file.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/meter.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/pool.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_pool.h"
#include "core/web/web_get_pool_internal.h"
#include "core/web/web_get_request.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/printed_lines.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/support/web_get_env.h"

namespace {

class PoolEnvironment : public WebGetNetEnvironment {
};

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new PoolEnvironment);

std::string SourceDir() {
    return WEBGET_TEST_SOURCE_DIR();
}

struct Peers {
    TempDir Dir;
    std::unique_ptr<TlsServer> Script, Nginx;

    Peers() {
        chmod(Dir.path().c_str(), 0711); // nginx's workers run as another user
        for (int i = 0; i < 20; i++) std::ofstream(Dir.file("f" + std::to_string(i) + ".txt")) << "file " << i;
        std::ofstream(Dir.file("nginx.tmpl"))
            << "worker_processes 1; pid " << Dir.file("nginx.pid") << "; error_log " << Dir.file("nginx.err")
            << ";\nevents { worker_connections 64; }\nhttp {\n  log_format conn '$connection $request_uri';\n"
            << "  access_log " << Dir.file("access.log") << " conn;\n"
            << "  client_body_temp_path " << Dir.path() << "; proxy_temp_path " << Dir.path()
            << "; fastcgi_temp_path " << Dir.path() << "; uwsgi_temp_path " << Dir.path()
            << "; scgi_temp_path " << Dir.path() << ";\n  types { text/plain txt; }\n"
            << "  server { listen 127.0.0.1:PORT; root " << Dir.path() << "; }\n}\n";
        Nginx = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"sh", "-c",
                                                 "sed s/PORT/{port}/ nginx.tmpl > nginx.conf && exec nginx -c " +
                                                     Dir.file("nginx.conf") + " -g 'daemon off;'"});
        Script = std::make_unique<TlsServer>(
            Dir.path(),
            std::vector<std::string>{"python3", SourceDir() + "/web_get_pool_peer.py", "{port}", Dir.path()});
    }
};

Peers* g_peers = nullptr;

struct Logged {
    std::string Addr;
    int Conn;
    std::string Path;
};

// Every request the scripted peer received, in arrival order.
std::vector<Logged> ScriptLog() {
    std::vector<Logged> out;
    std::ifstream in(g_peers->Dir.file("pool-requests.log"));
    std::string line;
    auto field = [&](const std::string& name) {
        const size_t at = line.find("\"" + name + "\": ") + name.size() + 4;
        if (line[at] == '"') return line.substr(at + 1, line.find('"', at + 1) - at - 1);
        return line.substr(at, line.find_first_of(",}", at) - at);
    };
    // The peer may be writing the last line right now: only whole lines count.
    while (std::getline(in, line) && !in.eof() && !line.empty() && line.back() == '}')
        out.push_back({field("addr"), std::stoi(field("conn")), field("path")});
    return out;
}

// The nginx socket number of every logged request, by path.
std::vector<std::pair<std::string, std::string>> NginxLog() {
    std::vector<std::pair<std::string, std::string>> out;
    std::ifstream in(g_peers->Dir.file("access.log"));
    std::string conn, path;
    while (in >> conn >> path) out.emplace_back(path, conn);
    return out;
}

// nginx writes its log line after the answer has gone out, so a client can finish before the line
// is there: wait (bounded) for at least `count` lines.
std::vector<std::pair<std::string, std::string>> NginxLogOf(size_t count) {
    auto log = NginxLog();
    StepUntil([&] { return log.size() >= count; },
              [&] {
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
                  log = NginxLog();
              },
              20);
    return log;
}

const Logged* Find(const std::vector<Logged>& log, const std::string& addr, const std::string& path) {
    for (const Logged& l : log)
        if (l.Addr == addr && l.Path == path) return &l;
    return nullptr;
}

std::string& Printed() {
    static std::string text;
    return text;
}

int64_t KeepPrinted(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    char line[4096];
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    // Requests print from the connections' threads as well as from the test's.
    std::lock_guard<std::mutex> hold(PrintedLinesLock());
    Printed() += line;
    return 1;
}

class WebGetPoolTest : public WebGetTest {
  public:
    static void SetUpTestSuite() {
        if (!g_peers) g_peers = new Peers();
    }
    static void TearDownTestSuite() {
        Release("all");
        delete g_peers;
        g_peers = nullptr;
    }
    void SetUp() override {
        WebGetTest::SetUp();
        ASSERT_TRUE(g_peers->Script->Running());
        ASSERT_TRUE(g_peers->Nginx->Running());
        ASSERT_EQ(WebGetPool_Init(), 1);
    }
    void TearDown() override {
        for (WebGetRequest*& request : made)
            if (request) WebGetRequest_Release(&request);
        WebGetPool_Remove();
        WebGetTest::TearDown();
    }
    static void Release(const std::string& name) { std::ofstream(g_peers->Dir.file("release-" + name)); }
    static std::string Script(int host, const std::string& path) {
        return "http://127.0.0." + std::to_string(host) + ":" + std::to_string(g_peers->Script->Port()) + path;
    }
    static std::string Nginx(const std::string& path, const char* host = "127.0.0.1") {
        return "http://" + std::string(host) + ":" + std::to_string(g_peers->Nginx->Port()) + path;
    }
    // A request kept by the test until its end.
    WebGetRequest* Make(const std::string& url) {
        WebGetRequest* request = nullptr;
        WebGetRequest_Create(&request);
        WebGetRequest_SetRequireAuthorization(request, 0);
        WebGetRequest_SetAllowProxy(request, 0);
        WebGetRequest_SetURL(request, url.c_str());
        made.push_back(request);
        return request;
    }
    WebGetRequest* File(const std::string& url) {
        WebGetRequest* request = Make(url);
        EXPECT_EQ(WebGetPool_RequestAdd(request), 1);
        return request;
    }
    // Runs the main loop (event queue and pool passes) until the condition holds, at most the time.
    template <typename Cond> bool Pump(Cond cond, int ms = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (cond()) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            EventQueue_Flush(nullptr);
            NotificationCenter_Process();
            WebGetPool_Process();
            Thread_Wait(1);
        }
    }
    void PumpFor(int ms) {
        Pump([] { return false; }, ms);
    }
    static bool Done(WebGetRequest* request) { return WebGetRequest_IsDone(request) != 0; }
    static std::string Body(WebGetRequest* request) {
        uint8_t* bytes = nullptr;
        uint32_t length = 0;
        WebGetRequest_GetBufferPtr(request, &bytes, &length);
        return std::string(reinterpret_cast<char*>(bytes), length);
    }
    // Runs until the scripted peer logged n requests more than before.
    bool Arrived(size_t before, size_t n) {
        return Pump([&] { return ScriptLog().size() >= before + n; });
    }
    std::vector<WebGetRequest*> made;
};

TEST_F(WebGetPoolTest, TwentyRequestsToOneHostShareAtMostSixSockets) {
    const size_t before = NginxLog().size();
    std::vector<WebGetRequest*> requests;
    for (int i = 0; i < 20; i++) requests.push_back(File(Nginx("/f" + std::to_string(i) + ".txt")));
    uint32_t most = 0;
    ASSERT_TRUE(Pump([&] {
        most = std::max(most, WebGetPool_GetActiveConnectionCount());
        for (WebGetRequest* r : requests)
            if (!Done(r)) return false;
        return true;
    }));
    for (int i = 0; i < 20; i++) {
        EXPECT_TRUE(WebGetRequest_IsOk(requests[i])) << i;
        EXPECT_EQ(Body(requests[i]), "file " + std::to_string(i));
    }
    const auto log = NginxLogOf(before + 20);
    ASSERT_EQ(log.size(), before + 20);
    std::set<std::string> sockets;
    for (size_t i = before; i < log.size(); i++) sockets.insert(log[i].second);
    EXPECT_LE(sockets.size(), 6u);
    EXPECT_EQ(most, 6u);
    EXPECT_EQ(WebGetPool_GetActiveHostCount(), 1u);
    EXPECT_EQ(WebGetPool_GetScheduledRequestCount(), 0u);
}

TEST_F(WebGetPoolTest, SixthHostWaitsUntilOneOfFiveFallsIdle) {
    const size_t before = ScriptLog().size();
    std::vector<WebGetRequest*> held;
    for (int host = 1; host <= 5; host++) held.push_back(File(Script(host, "/hold/wait" + std::to_string(host))));
    ASSERT_TRUE(Arrived(before, 5));
    WebGetRequest* sixth = File(Script(6, "/ok6"));
    EXPECT_EQ(WebGetPool_GetActiveHostCount(), 5u);
    EXPECT_EQ(WebGetPool_GetPendingHostCount(), 1u);
    EXPECT_EQ(WebGetPool_GetPendingRequestCount(), 1u);
    PumpFor(300);
    EXPECT_EQ(Find(ScriptLog(), "127.0.0.6", "/ok6"), nullptr);
    int32_t phase = -1;
    WebGetRequest_GetPhase(sixth, &phase);
    EXPECT_EQ(phase, (int32_t)WEBGET_PHASE_IDLE);

    Release("wait3");
    ASSERT_TRUE(Pump([&] { return Done(sixth); }));
    EXPECT_TRUE(WebGetRequest_IsOk(sixth));
    EXPECT_EQ(Body(sixth), "ok6");
    EXPECT_TRUE(Done(held[2]));
    EXPECT_EQ(WebGetPool_GetActiveHostCount(), 5u);
    EXPECT_EQ(WebGetPool_GetPendingHostCount(), 0u);
    for (int host : {1, 2, 4, 5}) Release("wait" + std::to_string(host));
    ASSERT_TRUE(Pump([&] {
        for (WebGetRequest* r : held)
            if (!Done(r)) return false;
        return true;
    }));
}

TEST_F(WebGetPoolTest, SixthHostEvictsAnIdleHostAtOnce) {
    const size_t before = ScriptLog().size();
    WebGetRequest* quick = File(Script(1, "/ok1"));
    ASSERT_TRUE(Pump([&] { return Done(quick); }));
    std::vector<WebGetRequest*> held;
    for (int host = 2; host <= 5; host++) held.push_back(File(Script(host, "/hold/evict" + std::to_string(host))));
    ASSERT_TRUE(Arrived(before, 5));
    EXPECT_EQ(WebGetPool_GetActiveHostCount(), 5u);

    WebGetRequest* sixth = File(Script(6, "/ok6e"));
    EXPECT_EQ(WebGetPool_GetActiveHostCount(), 5u);
    EXPECT_EQ(WebGetPool_GetPendingHostCount(), 0u);
    EXPECT_EQ(WebGetPool_GetActiveConnectionCount(), 5u); // host 1's connection went with it
    ASSERT_TRUE(Pump([&] { return Done(sixth); }));
    EXPECT_EQ(Body(sixth), "ok6e");
    for (int host = 2; host <= 5; host++) Release("evict" + std::to_string(host));
    ASSERT_TRUE(Pump([&] {
        for (WebGetRequest* r : held)
            if (!Done(r)) return false;
        return true;
    }));
}

TEST_F(WebGetPoolTest, SeventhRequestStartsOnTheFirstConnectionToFinish) {
    const size_t before = ScriptLog().size();
    std::vector<WebGetRequest*> held;
    for (int i = 1; i <= 6; i++) held.push_back(File(Script(1, "/hold/seven" + std::to_string(i))));
    ASSERT_TRUE(Arrived(before, 6));
    WebGetRequest* seventh = File(Script(1, "/ok7"));
    EXPECT_EQ(WebGetPool_GetActiveRequestCount(), 6u);
    EXPECT_EQ(WebGetPool_GetScheduledRequestCount(), 7u);
    PumpFor(200);
    EXPECT_EQ(Find(ScriptLog(), "127.0.0.1", "/ok7"), nullptr);

    Release("seven4");
    ASSERT_TRUE(Pump([&] { return Done(seventh); }));
    EXPECT_EQ(Body(seventh), "ok7");
    const auto log = ScriptLog();
    const Logged* freed = Find(log, "127.0.0.1", "/hold/seven4");
    const Logged* next = Find(log, "127.0.0.1", "/ok7");
    ASSERT_TRUE(freed && next);
    EXPECT_EQ(next->Conn, freed->Conn);
    EXPECT_EQ(WebGetPool_GetActiveConnectionCount(), 6u);
    for (int i : {1, 2, 3, 5, 6}) Release("seven" + std::to_string(i));
    ASSERT_TRUE(Pump([&] { return WebGetPool_GetScheduledRequestCount() == 0; }));
}

// A queued request that its owner gave up never reaches the wire: released by the owner, or
// taken back with WebGetPool_RequestRemove.
TEST_F(WebGetPoolTest, QueuedRequestGivenUpIsDroppedWithoutRunning) {
    ASSERT_EQ(WebGetPool_SetMaxHostConnectionCount(1), 1);
    for (const bool byRemove : {false, true}) {
        const std::string tag = byRemove ? "r" : "x";
        const size_t before = ScriptLog().size();
        WebGetRequest* busy = File(Script(2, "/hold/drop" + tag));
        ASSERT_TRUE(Arrived(before, 1));
        WebGetRequest* dropped = File(Script(2, "/okdropped" + tag));
        // A callback's user pointer must be even (its low bit marks a held reference).
        int64_t doneCalls = 0;
        WebGetRequest_SetDoneCallback(dropped, nullptr, &doneCalls, [](WebGetRequest*, void* user) -> int64_t {
            ++*static_cast<int64_t*>(user);
            return 1;
        });
        EXPECT_EQ(WebGetPool_GetScheduledRequestCount(), 2u);
        if (byRemove) {
            EXPECT_EQ(WebGetPool_RequestRemove(dropped), 1);
        } else {
            made.pop_back();
            WebGetRequest_Release(&dropped);
        }
        WebGetRequest* after = File(Script(2, "/okafter" + tag));
        Release("drop" + tag);
        ASSERT_TRUE(Pump([&] { return Done(after); }));
        EXPECT_EQ(Body(after), "okafter" + tag);
        EXPECT_EQ(Find(ScriptLog(), "127.0.0.2", "/okdropped" + tag), nullptr);
        EXPECT_EQ(doneCalls, 0);
        EXPECT_TRUE(Done(busy));
    }
}

// A running request whose owner lets it go frees its connection without a Done callback; the
// host's queue still moves on.
TEST_F(WebGetPoolTest, RunningRequestGivenUpFreesItsConnectionForTheQueue) {
    ASSERT_EQ(WebGetPool_SetMaxHostConnectionCount(1), 1);
    for (const bool byRemove : {false, true}) {
        const std::string tag = byRemove ? "r" : "x";
        const size_t before = ScriptLog().size();
        WebGetRequest* running = File(Script(3, "/hold/abandon" + tag));
        ASSERT_TRUE(Arrived(before, 1));
        WebGetRequest* queued = File(Script(3, "/okqueued" + tag));
        if (byRemove) {
            // The connections print through the pool's sink.
            Printed().clear();
            WebGetPool_SetPrintCallback(nullptr, KeepPrinted);
            EXPECT_EQ(WebGetPool_RequestRemove(running), 1);
            EXPECT_NE(Printed().find("WebGetConnection."), std::string::npos) << Printed();
            EXPECT_NE(Printed().find(" - Closing connection (flags 02)\n"), std::string::npos) << Printed();
            WebGetPool_SetPrintCallback(nullptr, nullptr);
        } else {
            for (WebGetRequest*& r : made)
                if (r == running) r = nullptr;
            WebGetRequest_Release(&running);
        }
        ASSERT_TRUE(Pump([&] { return Done(queued); }, 5000));
        EXPECT_EQ(Body(queued), "okqueued" + tag);
        Release("abandon" + tag);
    }
}

// An idle connection whose server closed the socket serves the host's next request over a new
// one.
TEST_F(WebGetPoolTest, IdleConnectionClosedByTheServerStillServes) {
    const size_t before = ScriptLog().size();
    WebGetRequest* first = File(Script(8, "/closing"));
    ASSERT_TRUE(Pump([&] { return Done(first); }));
    EXPECT_EQ(Body(first), "closing");
    PumpFor(100);
    WebGetRequest* next = File(Script(8, "/okreopened"));
    ASSERT_TRUE(Pump([&] { return Done(next); }));
    EXPECT_TRUE(WebGetRequest_IsOk(next));
    EXPECT_EQ(Body(next), "okreopened");
    const auto log = ScriptLog();
    ASSERT_EQ(log.size(), before + 2);
    EXPECT_NE(log[before + 1].Conn, log[before].Conn);
    EXPECT_EQ(WebGetPool_GetActiveConnectionCount(), 1u);
}

TEST_F(WebGetPoolTest, HostKeysIgnoreCaseAndTheDefaultPort) {
    struct Case {
        const char* First;
        const char* Second;
        uint32_t Hosts;
    } cases[] = {
        {"http://Example.test/a", "http://example.test:80/b", 1},
        {"https://EXAMPLE.test:443/a", "https://example.test/b", 1},
        {"file:///tmp/a.txt", "file:///var/b.txt", 1},
        {"http://example.test/a", "http://example.test:8080/a", 2},
        {"http://example.test/a", "https://example.test/a", 2},
    };
    for (const Case& c : cases) {
        WebGetPool_Remove();
        ASSERT_EQ(WebGetPool_Init(), 1);
        File(c.First);
        File(c.Second);
        EXPECT_EQ(WebGetPool_GetActiveHostCount(), c.Hosts) << c.First << " " << c.Second;
        // Two requests filed without a pass: each holds a connection of its host.
        EXPECT_EQ(WebGetPool_GetActiveConnectionCount(), 2u) << c.First;
    }
}

TEST_F(WebGetPoolTest, SameHostInOtherCaseReusesTheSocketAndFileURLsRun) {
    const size_t before = NginxLog().size();
    for (const char* host : {"LOCALHOST", "localhost", "LocalHost"}) {
        WebGetRequest* r = File(Nginx("/f1.txt", host));
        ASSERT_TRUE(Pump([&] { return Done(r); }));
        EXPECT_TRUE(WebGetRequest_IsOk(r)) << host;
    }
    const auto log = NginxLogOf(before + 3);
    ASSERT_EQ(log.size(), before + 3);
    EXPECT_EQ(log[before].second, log[before + 2].second);
    EXPECT_EQ(WebGetPool_GetActiveHostCount(), 1u);

    WebGetRequest* a = File("file://" + g_peers->Dir.file("f2.txt"));
    WebGetRequest* b = File("file://" + g_peers->Dir.file("f3.txt"));
    EXPECT_EQ(WebGetPool_GetActiveHostCount(), 2u);
    ASSERT_TRUE(Pump([&] { return Done(a) && Done(b); }));
    EXPECT_EQ(Body(a), "file 2");
    EXPECT_EQ(Body(b), "file 3");
}

TEST_F(WebGetPoolTest, LimitsBelowOneAreRefused) {
    EXPECT_EQ(WebGetPool_SetMaxHostCount(0), 0);
    EXPECT_EQ(WebGetPool_SetMaxHostConnectionCount(0), 0);
    uint32_t connections = 0;
    EXPECT_EQ(WebGetPool_GetMaxHostConnectionCount(&connections), 1);
    EXPECT_EQ(connections, 6u);
    for (int host = 1; host <= 6; host++) File("http://host" + std::to_string(host) + ".test/");
    EXPECT_EQ(WebGetPool_GetActiveHostCount(), 5u);
    EXPECT_EQ(WebGetPool_GetPendingHostCount(), 1u);
    EXPECT_EQ(WebGetPool_GetPendingConnectionCount(), 1u);
    EXPECT_EQ(WebGetPool_SetMaxHostCount(7), 1);
    File("http://host7.test/");
    EXPECT_EQ(WebGetPool_GetActiveHostCount(), 6u);
}

TEST_F(WebGetPoolTest, RedirectMovesTheRequestToTheOtherHost) {
    struct Case {
        int Late; // ms before the redirect's body
    } cases[] = {{0}, {300}};
    for (const Case& c : cases) {
        const std::string tag = std::to_string(c.Late);
        const size_t before = ScriptLog().size();
        WebGetRequest* r =
            File(Script(4, "/redirect?late=" + tag + "&to=" + Script(5, "/okmoved" + tag)));
        ASSERT_TRUE(Pump([&] { return Done(r); }));
        EXPECT_TRUE(WebGetRequest_IsOk(r)) << tag;
        EXPECT_EQ(Body(r), "okmoved" + tag);
        // The old host's socket stays usable: the next request to it goes over the same one.
        WebGetRequest* again = File(Script(4, "/okagain" + tag));
        ASSERT_TRUE(Pump([&] { return Done(again); }));
        const auto log = ScriptLog();
        ASSERT_EQ(log.size(), before + 3);
        EXPECT_EQ(log[before + 1].Addr, "127.0.0.5");
        EXPECT_EQ(log[before + 2].Conn, log[before].Conn) << tag;
        EXPECT_EQ(WebGetPool_GetActiveHostCount(), 2u);
    }
}

// A redirected request waits on the re-file list only while its old connection still reads the
// redirect's body away; the pass in which that connection lets it go files it with the new host.
TEST_F(WebGetPoolTest, RedirectIsFiledAgainInThePassThatFreesIt) {
    WebGetRequest* r = File(Script(6, "/redirect?late=300&to=" + Script(7, "/oknext")));
    WebGetPool* pool = WebGetPool_GetGlobal();
    ASSERT_TRUE(Pump([&] { return pool->Refile.Count > 0; }));
    ASSERT_TRUE(Pump([&] {
        void* connection = nullptr;
        const bool attached = WebGetRequest_GetConnectionHandle(r, &connection) != 0;
        if (pool->Refile.Count > 0) {
            EXPECT_TRUE(attached);
            return false;
        }
        return true;
    }));
    EXPECT_EQ(WebGetPool_GetActiveHostCount(), 2u);
    EXPECT_EQ(WebGetPool_GetScheduledRequestCount(), 1u);
    ASSERT_TRUE(Pump([&] { return Done(r); }));
    EXPECT_EQ(Body(r), "oknext");
}

// A redirect whose own body never arrives ends the request there, with an error and one Done
// callback; it is not filed again under the new URL.
TEST_F(WebGetPoolTest, RedirectFailingOnItsOldConnectionIsNotFiledAgain) {
    WebGetRequest* r = Make(Script(6, "/redirect?late=100&cut=1&to=" + Script(7, "/oknever")));
    int64_t doneCalls = 0;
    WebGetRequest_SetDoneCallback(r, nullptr, &doneCalls, [](WebGetRequest*, void* user) -> int64_t {
        ++*static_cast<int64_t*>(user);
        return 1;
    });
    ASSERT_EQ(WebGetPool_RequestAdd(r), 1);
    ASSERT_TRUE(Pump([&] { return Done(r); }));
    PumpFor(300);
    EXPECT_EQ(doneCalls, 1);
    int32_t code = 0, extended = 0;
    WebGetRequest_GetLastError(r, &code, &extended);
    EXPECT_NE(code, 0);
    EXPECT_EQ(Find(ScriptLog(), "127.0.0.7", "/oknever"), nullptr);
    EXPECT_EQ(WebGetPool_GetScheduledRequestCount(), 0u);
}

// A redirected request still waiting to be filed again when the pool goes is let go: only its
// owner's reference is left.
TEST_F(WebGetPoolTest, RemovingThePoolReleasesRedirectsNotYetFiled) {
    WebGetRequest* r = File(Script(6, "/redirect?late=300&to=" + Script(7, "/okgone")));
    ASSERT_TRUE(Pump([&] { return WebGetPool_GetGlobal()->Refile.Count > 0; }));
    WebGetPool_Remove();
    EXPECT_EQ(WebGetRequest_HasOneRef(r), 1);
    ASSERT_EQ(WebGetPool_Init(), 1);
}

// An owner's Done callback that files a request to a new host while the pass stands on the
// finishing host: that host, now the only idle one, is evicted under the walk, which goes on
// safely; a pass asked for from inside the callback does not run inside this one.
TEST_F(WebGetPoolTest, DoneCallbackEvictingTheWalkedHost) {
    // Records taken one by one from the allocator, so that a freed one read again is caught.
    Pool_SetDebugMode(WebGetPool_GetGlobal()->HostPool, 1);
    Pool_SetDebugMode(WebGetPool_GetGlobal()->ConnectionEntryPool, 1);
    const size_t before = ScriptLog().size();
    std::vector<WebGetRequest*> held;
    for (int host = 2; host <= 5; host++) held.push_back(File(Script(host, "/hold/walk" + std::to_string(host))));
    ASSERT_TRUE(Arrived(before, 4));
    struct Owner {
        WebGetPoolTest* Test;
        WebGetRequest* Next = nullptr;
        int64_t NestedPass = -1;
    } owner{this};
    WebGetRequest* first = Make(Script(1, "/okfirst"));
    WebGetRequest_SetDoneCallback(first, nullptr, &owner, [](WebGetRequest*, void* user) -> int64_t {
        Owner* o = static_cast<Owner*>(user);
        o->Next = o->Test->File(Script(6, "/oknewhost"));
        o->NestedPass = WebGetPool_Process();
        return 1;
    });
    ASSERT_EQ(WebGetPool_RequestAdd(first), 1);
    ASSERT_TRUE(Pump([&] { return owner.Next && Done(owner.Next); }));
    EXPECT_EQ(Body(first), "okfirst");
    EXPECT_EQ(Body(owner.Next), "oknewhost");
    EXPECT_EQ(owner.NestedPass, 0);
    EXPECT_EQ(WebGetPool_GetActiveHostCount(), 5u);
    for (int host = 2; host <= 5; host++) Release("walk" + std::to_string(host));
    ASSERT_TRUE(Pump([&] { return WebGetPool_GetScheduledRequestCount() == 0; }));
}

TEST_F(WebGetPoolTest, EmptyPassAnswersZero) {
    WebGetPool_GetGlobal()->NextHostPosition = 3;
    EXPECT_EQ(WebGetPool_Process(), 0);
    EXPECT_EQ(WebGetPool_GetGlobal()->NextHostPosition, 0u);
}

// Outside the peers' fixture: a death test's child must not start servers that outlive it.
TEST(WebGetPoolDeathTest, CallsOffTheMainThreadStop) {
    EXPECT_DEATH((BoundedDeathChild(), std::thread([] { WebGetPool_Process(); }).join()),
                 AbortRegex("Assertion failed (Thread_GetMainId() == Thread_GetCurrentId())\nFunction not on main "
                            "thread"));
}

} // namespace
