// Tests of the analytics queue: event building, the queue limit, batches and back-off against a
// Python sink on 127.0.0.1 that records every post and answers 200, 500 or not at all.
#include "core/web/analytics.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/net/async_socket.h"
#include "core/net/socket.h"
#include "core/platform/async_file.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_request.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/support/web_get_env.h"

namespace {

class AnalyticsEnvironment : public WebGetEnvironment {
  public:
    void SetUp() override {
        WebGetEnvironment::SetUp();
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
        WebGetEnvironment::TearDown();
    }
};

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new AnalyticsEnvironment);

// Logs one line per post: the X-Api-Key, the Content-Type, the element count and the body. The
// file "mode" decides the answer: 200, 500, or "hang" (read the post, never answer).
const char* kSink = R"(
import http.server, json, sys, time, os
folder = sys.argv[2]
class Sink(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0"))).decode()
        try:
            count = len(json.loads(body))
        except Exception:
            count = -1
        with open(os.path.join(folder, "posts.log"), "a") as log:
            log.write("%s|%s|%d|%s\n" % (self.headers.get("X-Api-Key"), self.headers.get("Content-Type"), count, body))
        mode = open(os.path.join(folder, "mode")).read().strip()
        if mode == "hang":
            time.sleep(60)
            return
        self.send_response(int(mode))
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Sink)
print("ready", flush=True)
server.serve_forever()
)";

struct Post {
    std::string Key, Type;
    int Count;
    std::string Body;
};

double g_now = 1000;
double FakeClock() {
    return g_now;
}

class AnalyticsTest : public WebGetTest {
  protected:
    void SetUp() override {
        WebGetTest::SetUp();
        g_now = 1000;
        Analytics_SetClockOverride(FakeClock);
        SetMode("200");
        sink = std::make_unique<TlsServer>(
            dir.path(), std::vector<std::string>{"python3", "-c", kSink, "{port}", dir.path()});
        ASSERT_TRUE(sink->Running());
        ASSERT_EQ(Analytics_Init(), 1);
        Configure("{\"analytics\": {\"key\": \"k-123\", \"endPoint\": \"http://127.0.0.1:" +
                  std::to_string(sink->Port()) + "/track/\"}}");
        WebGetRequest* request = nullptr;
        Analytics_GetWebGetRequestHandle(&request);
        WebGetRequest_SetRequireAuthorization(request, 0);
        WebGetConnection* connection = nullptr;
        Analytics_GetWebGetConnectionHandle(&connection);
        WebGetConnection_SetTimeout(connection, 2);
        WebGetConnection_SetAllowProxy(connection, 0);
    }
    void TearDown() override {
        Analytics_Remove();
        Analytics_SetClockOverride(nullptr);
        sink.reset();
        WebGetTest::TearDown();
    }
    void SetMode(const char* mode) { std::ofstream(dir.file("mode")) << mode; }
    void Configure(const std::string& json) {
        Dictionary* config = Load(json);
        ASSERT_EQ(Analytics_LoadConfigFromDictionary(config), 1);
        Dictionary_Release(&config);
    }
    // A parsed JSON text; the caller releases it.
    static Dictionary* Load(const std::string& json) {
        Dictionary* root = nullptr;
        Dictionary_Create(&root);
        JSON* reader = nullptr;
        JSON_Create(&reader);
        JSON_SetDictionaryHandle(reader, root);
        EXPECT_EQ(JSON_LoadBuffer(reader, json.data(), (uint32_t)json.size()), 1) << json;
        JSON_Release(&reader);
        Dictionary* object = nullptr;
        Dictionary_SkipRoot(root, &object);
        Dictionary* copy = nullptr;
        Dictionary_Create(&copy);
        Dictionary_Merge(copy, object, DICTIONARY_MERGE_OVERWRITE);
        Dictionary_Release(&root);
        return copy;
    }
    static void Send(int first, int count) {
        for (int i = first; i < first + count; i++) {
            Dictionary* info = nullptr;
            Dictionary_Create(&info);
            Dictionary_SetInt32ByKey(info, "i", i);
            ASSERT_EQ(Analytics_SendEvent("Tick", info), 1);
            Dictionary_Release(&info);
        }
    }
    std::vector<Post> Posts() const {
        std::vector<Post> out;
        std::ifstream in(dir.file("posts.log"));
        std::string line;
        while (std::getline(in, line)) {
            std::vector<std::string> parts;
            size_t at = 0;
            for (int i = 0; i < 3; i++) {
                const size_t bar = line.find('|', at);
                parts.push_back(line.substr(at, bar - at));
                at = bar + 1;
            }
            out.push_back({parts[0], parts[1], std::stoi(parts[2]), line.substr(at)});
        }
        return out;
    }
    // Main-loop passes until the condition holds or the bound passes.
    template <typename F> bool Pump(F done, int ms = 8000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < deadline) {
            EventQueue_Flush(nullptr);
            NotificationCenter_Process();
            Analytics_Process();
            if (done()) return true;
            Thread_Wait(1);
        }
        return false;
    }
    bool PostIdle() {
        WebGetRequest* request = nullptr;
        Analytics_GetWebGetRequestHandle(&request);
        return WebGetRequest_IsIdle(request) != 0;
    }
    // The queued events as they would be dumped.
    static std::vector<Dictionary*> Dumped(Dictionary* list) {
        Analytics_Dump(list);
        std::vector<Dictionary*> out;
        uint32_t count = 0;
        Dictionary_ItemGetCount(list, &count);
        for (uint32_t i = 0; i < count; i++) {
            Dictionary* e = nullptr;
            Dictionary_GetDictionaryByIndex(list, (int32_t)i, &e);
            out.push_back(e);
        }
        return out;
    }
    static std::string Text(Dictionary* dict, const char* path) {
        char buffer[256] = {0};
        Dictionary_GetStringByPath(dict, path, buffer, sizeof(buffer));
        return buffer;
    }
    TempDir dir;
    std::unique_ptr<TlsServer> sink;
};

TEST_F(AnalyticsTest, BatchesOfAtMostMaxSendEventsGoOutBackToBack) {
    Send(0, 250);
    ASSERT_TRUE(Pump([] { return !Analytics_IsActive(); }));
    const auto posts = Posts();
    ASSERT_EQ(posts.size(), 3u);
    const int expected[] = {100, 100, 50};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(posts[i].Count, expected[i]);
        EXPECT_EQ(posts[i].Key, "k-123");
        EXPECT_EQ(posts[i].Type, "application/json");
    }
    // Oldest first across the batches.
    EXPECT_NE(posts[0].Body.find("\"i\":0}"), std::string::npos);
    EXPECT_NE(posts[1].Body.find("\"i\":100}"), std::string::npos);
    EXPECT_NE(posts[2].Body.find("\"i\":249}"), std::string::npos);
    EXPECT_EQ(posts[0].Body.find("\"i\":100}"), std::string::npos);
}

TEST_F(AnalyticsTest, FewerEventsWaitForTheInterval) {
    Send(0, 3);
    EXPECT_FALSE(Pump([this] { return !Posts().empty(); }, 300));
    g_now += 300;
    ASSERT_TRUE(Pump([] { return !Analytics_IsActive(); }));
    ASSERT_EQ(Posts().size(), 1u);
    EXPECT_EQ(Posts()[0].Count, 3);
}

TEST_F(AnalyticsTest, FailedPostsKeepEventsAndBackOff) {
    struct Case {
        int Interval;
        double ThirdDelay;
    } cases[] = {{300, 30}, {20, 20}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Interval);
        std::remove(dir.file("posts.log").c_str());
        Configure("{\"analytics\": {\"sendInterval\": " + std::to_string(c.Interval) + "}}");
        SetMode("500");
        Send(0, 100);
        const double start = g_now;
        // First failure: no delay, the second post follows at once.
        ASSERT_TRUE(Pump([this] { return Posts().size() == 2 && PostIdle(); }));
        // Second failure: 15 s.
        g_now = start + 14.5;
        EXPECT_FALSE(Pump([this] { return Posts().size() > 2; }, 300));
        g_now = start + 15;
        ASSERT_TRUE(Pump([this] { return Posts().size() == 3 && PostIdle(); }));
        g_now = start + 15 + c.ThirdDelay - 0.5;
        EXPECT_FALSE(Pump([this] { return Posts().size() > 3; }, 300));
        // The sink recovers: the same 100 events go out once more, and then the queue is empty.
        SetMode("200");
        g_now = start + 15 + c.ThirdDelay;
        ASSERT_TRUE(Pump([] { return !Analytics_IsActive(); }));
        const auto posts = Posts();
        ASSERT_EQ(posts.size(), 4u);
        for (const auto& p : posts) EXPECT_EQ(p.Count, 100);
        EXPECT_EQ(posts[3].Body, posts[0].Body);
    }
}

TEST_F(AnalyticsTest, SinkThatNeverAnswersEndsInBoundedTime) {
    SetMode("hang");
    Send(0, 2);
    ASSERT_EQ(Analytics_PostEvents(1), 1);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Pump([this] { return PostIdle(); }, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    Dictionary* list = nullptr;
    Dictionary_Create(&list);
    EXPECT_EQ(Dumped(list).size(), 2u); // kept for a later post
    Dictionary_Release(&list);
    // Shutdown tries once more and gives up after the timeout.
    const auto before = std::chrono::steady_clock::now();
    Analytics_Remove();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(6));
    EXPECT_NE(TakeLog().find("Failed to send 2 analytics events"), std::string::npos);
}

TEST_F(AnalyticsTest, ShutdownCountsWhatItCouldNotSend) {
    SetMode("500");
    Send(0, 3);
    Analytics_Remove();
    EXPECT_EQ(Posts().size(), 1u);
    EXPECT_NE(TakeLog().find("Failed to send 3 analytics events (500)"), std::string::npos);
}

TEST_F(AnalyticsTest, ShutdownDrainsTheQueue) {
    Send(0, 150);
    Analytics_Remove();
    const auto posts = Posts();
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0].Count + posts[1].Count, 150);
    EXPECT_EQ(TakeLog().find("Failed to send"), std::string::npos);
}

TEST_F(AnalyticsTest, EventBuildingAndGlobalInformation) {
    Dictionary* global = Load(R"({"app": "g", "shared": "global"})");
    ASSERT_EQ(Analytics_Extend(global), 1);
    Dictionary_Release(&global);
    Dictionary* info = Load(R"({"session": "mine", "arguments": {"url": "u", "headers": {"Authorization": "s1"},
        "cookies": {"sid": "s2"}, "analytics": {"shared": "event", "user": "{Lower:ABC}"}}})");
    ASSERT_EQ(Analytics_SendEvent("Download", info), 1);
    Dictionary_Release(&info);
    g_now += 300;
    ASSERT_TRUE(Pump([] { return !Analytics_IsActive(); }));
    const auto posts = Posts();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].Body.find("s1"), std::string::npos);
    EXPECT_EQ(posts[0].Body.find("s2"), std::string::npos);
    Dictionary* batch = Load("{\"b\":" + posts[0].Body + "}");
    Dictionary* list = nullptr;
    Dictionary_GetListByKey(batch, "b", &list);
    Dictionary* e = nullptr;
    ASSERT_EQ(Dictionary_GetDictionaryByIndex(list, 0, &e), 1);
    const std::pair<const char*, const char*> expected[] = {
        {"event", "Download"},         {"session", "mine"},      {"arguments.url", "u"},
        {"analytics.shared", "event"}, {"analytics.app", "g"},   {"analytics.user", "abc"},
        {"arguments.analytics", ""},   {"arguments.headers", ""}, {"arguments.cookies", ""},
    };
    for (const auto& [path, value] : expected) EXPECT_EQ(Text(e, path), value) << path;
    char machine[ANALYTICS_TEXT_SIZE] = {0};
    EXPECT_EQ(Dictionary_GetStringByKey(e, "machine", machine, sizeof(machine)), 1);
    Dictionary_Release(&batch);
}

TEST_F(AnalyticsTest, QueueLimitDropsTheOldestWithOneWarning) {
    TakeLog();
    Send(0, 502);
    const std::string log = TakeLog();
    const std::string warning = "Analytics event count exceeds max size (500)";
    ASSERT_NE(log.find(warning), std::string::npos);
    EXPECT_EQ(log.find(warning, log.find(warning) + 1), std::string::npos);
    Dictionary* list = nullptr;
    Dictionary_Create(&list);
    const auto events = Dumped(list);
    ASSERT_EQ(events.size(), 500u);
    int32_t first = -1;
    Dictionary_GetInt32ByKey(events[0], "i", &first);
    EXPECT_EQ(first, 2);
    Dictionary_Release(&list);

    Configure(R"({"analytics": {"maxEvents": 0}})");
    Send(600, 2);
    Dictionary_Create(&list);
    EXPECT_EQ(Dumped(list).size(), 1u);
    Dictionary_Release(&list);
    // Disabling drops everything at once.
    Analytics_SetEnabled(0);
    EXPECT_EQ(Analytics_IsActive(), 0);
    EXPECT_EQ(Analytics_SendEventInterop("Tick", "{}"), 0);
}

TEST_F(AnalyticsTest, WithoutKeyEndPointOrSwitchNothingIsQueued) {
    const std::string endPoint = "http://127.0.0.1:" + std::to_string(sink->Port()) + "/track/";
    const char* missing[] = {R"({"analytics": {"key": ""}})", R"({"analytics": {"endPoint": ""}})",
                             R"({"analytics": {"enabled": false}})"};
    for (const char* config : missing) {
        Configure(config);
        EXPECT_EQ(Analytics_IsEnabled(), 0) << config;
        EXPECT_EQ(Analytics_SendEventInterop("Tick", R"({"a": 1})"), 0) << config;
        EXPECT_EQ(Analytics_IsActive(), 0) << config;
        Configure(R"({"analytics": {"key": "k", "enabled": true, "endPoint": ")" + endPoint + "\"}}");
        EXPECT_EQ(Analytics_IsEnabled(), 1);
    }
    // Printf-style text: the parse result, and only an object is queued.
    EXPECT_EQ(Analytics_SendEventWithJSON("J", "{\"n\": %d, \"s\": \"%s\"}", 5, "x"), 1);
    EXPECT_EQ(Analytics_SendEventWithJSON("J", "[%d]", 5), 1);
    EXPECT_EQ(Analytics_SendEventWithJSON("J", "{\"n\": %d", 5), 0);
    Dictionary* list = nullptr;
    Dictionary_Create(&list);
    const auto events = Dumped(list);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(Text(events[0], "s"), "x");
    Dictionary_Release(&list);
}

TEST_F(AnalyticsTest, BadEventsAreRefused) {
    const std::string huge = "{\"v\": \"" + std::string(ANALYTICS_EVENT_LIMIT + 10, 'x') + "\"}";
    const char* texts[] = {"[1, 2]", "5", "\"text\"", "{\"a\": ", "%s%s%n%s", "", huge.c_str()};
    for (const char* text : texts) EXPECT_EQ(Analytics_SendEventInterop("Bad", text), 0) << text;
    EXPECT_EQ(Analytics_ExtendInterop("[1]"), 0);
    Dictionary* list = Load(R"({"l": [1, 2]})");
    Dictionary* inner = nullptr;
    Dictionary_GetListByKey(list, "l", &inner);
    EXPECT_EQ(Analytics_SendEvent("Bad", inner), 0);
    Dictionary_Release(&list);
    EXPECT_EQ(Analytics_IsActive(), 0);

    // Script text is JSON, never a format: a '%' stays as it is.
    ASSERT_EQ(Analytics_SendEventInterop("P", R"({"p": "100%s%n"})"), 1);
    Dictionary* dump = nullptr;
    Dictionary_Create(&dump);
    const auto one = Dumped(dump);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(Text(one[0], "p"), "100%s%n");
    Dictionary_Release(&dump);
    Analytics_Clear();

    // Only dictionaries with an event name are queued.
    Dictionary* many = Load(R"({"l": [{"event": "A", "x": 1}, 7, {"x": 2}, {"event": "B"}]})");
    Dictionary_GetListByKey(many, "l", &inner);
    EXPECT_EQ(Analytics_SendEventMultiple(inner), 1);
    Dictionary_Release(&many);
    Dictionary_Create(&dump);
    const auto events = Dumped(dump);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(Text(events[0], "event"), "A");
    EXPECT_EQ(Text(events[1], "event"), "B");
    Dictionary_Release(&dump);
}

TEST_F(AnalyticsTest, CacheCountersBecomeOneEventEach) {
    Dictionary* empty = nullptr;
    Dictionary_Create(&empty);
    EXPECT_EQ(Analytics_SendEventXCache(empty), 0);
    Dictionary_Release(&empty);
    Dictionary* tree = Load(R"({"h1": {"s1": {"HIT": 3, "MISS": 1}}, "h2": {"s2": {"HIT": 7}}})");
    EXPECT_EQ(Analytics_SendEventXCache(tree), 1);
    Dictionary_Release(&tree);
    Dictionary* list = nullptr;
    Dictionary_Create(&list);
    const auto events = Dumped(list);
    ASSERT_EQ(events.size(), 3u);
    const char* rows[3][3] = {{"h1", "s1", "HIT"}, {"h1", "s1", "MISS"}, {"h2", "s2", "HIT"}};
    const int64_t counts[3] = {3, 1, 7};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(Text(events[i], "event"), "WebGetXCache");
        EXPECT_EQ(Text(events[i], "host"), rows[i][0]);
        EXPECT_EQ(Text(events[i], "from"), rows[i][1]);
        EXPECT_EQ(Text(events[i], "verb"), rows[i][2]);
        int64_t value = 0;
        Dictionary_GetInt64ByKey(events[i], "value", &value);
        EXPECT_EQ(value, counts[i]);
    }
    Dictionary_Release(&list);
}

TEST_F(AnalyticsTest, CrashEventCarriesSessionAndExtra) {
    ASSERT_EQ(Analytics_SetSession("sess-1"), 1);
    ASSERT_EQ(Analytics_SetCrashAppId("app-9"), 1);
    Dictionary* extra = Load(R"({"event": "Other", "note": "n"})");
    Dictionary* event = nullptr;
    Dictionary_Create(&event);
    ASSERT_EQ(Analytics_FillCrashEvent("Native", "6.2.42", event, extra), 1);
    const std::pair<const char*, const char*> expected[] = {
        {"event", "Other"}, {"format", "Native"}, {"session", "sess-1"}, {"appVersion", "6.2.42"},
        {"appId", "app-9"}, {"note", "n"},
    };
    for (const auto& [path, value] : expected) EXPECT_EQ(Text(event, path), value) << path;
    Dictionary_Release(&event);
    Dictionary_Release(&extra);
}

} // namespace
