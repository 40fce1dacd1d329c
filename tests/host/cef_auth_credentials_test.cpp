// Credential questions of the browser engine: the request the broker gets, the answers that
// continue or cancel the engine's callback, and the pending list shared between threads.
#include "host/cef/cef_auth_credentials.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "core/formats/interop.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "tests/host/cef_fakes.h"
#include "tests/support/dictionary_text.h"
#include "tests/support/log_capture.h"

// The notification centre delivers through the main thread's event queue.
class CentreEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(Interop_Init(), 1);
    }
    void TearDown() override {
        Interop_Remove();
        EventQueue_Remove();
        Thread_Remove();
    }
};

const auto* g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);
const auto* g_centre = ::testing::AddGlobalTestEnvironment(new CentreEnvironment);

namespace {

using Strings = std::vector<std::string>;

std::mutex g_lock;
std::vector<std::pair<std::string, std::string>> g_requests; // (questioner id, request)

int64_t RecordRequest(void*, const char*, const char*, const char* instance, Dictionary* info) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_requests.emplace_back(instance, info ? DictionaryAsJson(info) : "");
    return 1;
}

class CefAuthCredentialsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        NotificationCenter_Init();
        NotificationCenter_AddObserver("Challenge", "Request", nullptr, RecordRequest);
        g_requests.clear();
    }
    void TearDown() override {
        AuthCredentials_CancelAll();
        NotificationCenter_RemoveObserver("Challenge", "Request", nullptr, RecordRequest);
        NotificationCenter_Process();
        NotificationCenter_Remove();
    }
    // Asks one question and returns the id the broker's answer must name.
    std::string Ask(FakeAuthCallback& callback, uint32_t proxy = 0) {
        g_requests.clear();
        EXPECT_EQ(AuthCredentials_Get(proxy, "h", 80, "r", &callback), 1);
        NotificationCenter_Process();
        return g_requests.empty() ? "" : g_requests.back().first;
    }
    static void Answer(const std::string& id, const char* json) {
        NotificationCenter_FireWithJSON("Challenge", "Response", id.c_str(), "%s", json);
        NotificationCenter_Process();
    }
};

TEST_F(CefAuthCredentialsTest, RequestToTheBroker) {
    FakeAuthCallback proxy, server;
    EXPECT_EQ(AuthCredentials_Get(1, "proxy.corp", 3128, "Squid", &proxy), 1);
    EXPECT_EQ(AuthCredentials_Get(0, "example.org", 443, nullptr, &server), 1);
    NotificationCenter_Process();
    ASSERT_EQ(g_requests.size(), 2u);
    EXPECT_EQ(g_requests[0].second, R"("filter":"webgetproxy","type":1,"host":"proxy.corp:3128","realm":"Squid")");
    EXPECT_EQ(g_requests[1].second, R"("filter":"webgetserver","type":0,"host":"example.org:443","realm":"")");
    EXPECT_NE(g_requests[0].first, g_requests[1].first);
    // Each question holds its callback until it is answered.
    EXPECT_EQ(proxy.refs, 2);
    EXPECT_EQ(AuthCredentials_CancelAll(), 1);
    EXPECT_EQ(proxy.Answers(), Strings{"cancel"});
    EXPECT_EQ(server.Answers(), Strings{"cancel"});
    EXPECT_EQ(proxy.refs, 1);
    EXPECT_EQ(server.refs, 1);
}

TEST_F(CefAuthCredentialsTest, Answers) {
    const struct {
        const char* response;
        const char* answer;
    } cases[] = {
        {R"({"username":"u","password":"p w"})", "continue u p w"},
        {R"({"username":"u","password":""})", "continue u "},
        {R"({"cancel":true,"username":"u","password":"p"})", "cancel"},
        {R"({"cancel":false,"username":"u"})", "cancel"},
        {R"({"password":"p"})", "cancel"},
        {R"({})", "cancel"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.response);
        FakeAuthCallback callback;
        const std::string id = Ask(callback);
        Answer(id, c.response);
        EXPECT_EQ(callback.Answers(), Strings{c.answer});
        EXPECT_EQ(callback.refs, 1);
        // A second answer for the same id finds nothing.
        Answer(id, R"({"username":"x","password":"y"})");
        EXPECT_EQ(callback.Answers().size(), 1u);
    }
}

TEST_F(CefAuthCredentialsTest, UnknownIdsAndCancelAll) {
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_AddString(info, "username", "u", nullptr);
    Dictionary_AddString(info, "password", "p", nullptr);
    EXPECT_EQ(AuthCredentials_CancelAll(), 1); // nothing pending, no list
    EXPECT_EQ(AuthCredentials_OnResponse(nullptr, "Challenge", "Response", "nobody", info), 1);

    FakeAuthCallback first;
    const std::string id = Ask(first);
    EXPECT_EQ(AuthCredentials_OnResponse(nullptr, "Challenge", "Response", "nobody", info), 1);
    EXPECT_TRUE(first.Answers().empty());
    EXPECT_EQ(AuthCredentials_CancelAll(), 1);
    EXPECT_EQ(AuthCredentials_CancelAll(), 1);
    EXPECT_EQ(first.Answers(), Strings{"cancel"});
    Answer(id, R"({"username":"u","password":"p"})");
    EXPECT_EQ(first.Answers(), Strings{"cancel"});

    // A later question starts a new list.
    FakeAuthCallback second;
    EXPECT_EQ(AuthCredentials_OnResponse(nullptr, "Challenge", "Response", Ask(second).c_str(), info), 1);
    EXPECT_EQ(second.Answers(), Strings{"continue u p"});
    Dictionary_Release(&info);
}

// Questions come from the engine's I/O thread while answers and cancels arrive from others: every
// question gets exactly one answer and gives its callback back.
TEST_F(CefAuthCredentialsTest, QuestionsAnswersAndCancelsOnThreads) {
    constexpr int kQuestions = 300;
    std::vector<FakeAuthCallback> callbacks(kQuestions);
    std::atomic<bool> asked{false};
    std::thread io([&] {
        for (auto& callback : callbacks) AuthCredentials_Get(0, "h", 80, "r", &callback);
        asked = true;
    });
    std::thread canceller([&] {
        while (!asked) {
            AuthCredentials_CancelAll();
            std::this_thread::yield();
        }
    });
    std::thread answerer([&] {
        Dictionary* info = nullptr;
        Dictionary_Create(&info);
        Dictionary_AddString(info, "username", "u", nullptr);
        Dictionary_AddString(info, "password", "p", nullptr);
        size_t next = 0;
        while (!asked || next < kQuestions) {
            std::string id;
            {
                std::lock_guard<std::mutex> guard(g_lock);
                if (next < g_requests.size()) id = g_requests[next++].first;
            }
            if (!id.empty()) AuthCredentials_OnResponse(nullptr, "Challenge", "Response", id.c_str(), info);
            else if (asked && next >= kQuestions) break;
            else std::this_thread::yield();
        }
        Dictionary_Release(&info);
    });
    // The centre's own thread hands the requests out.
    while (true) {
        NotificationCenter_Process();
        std::lock_guard<std::mutex> guard(g_lock);
        if (asked && g_requests.size() == (size_t)kQuestions) break;
    }
    io.join();
    canceller.join();
    answerer.join();
    AuthCredentials_CancelAll();
    for (auto& callback : callbacks) {
        EXPECT_EQ(callback.Answers().size(), 1u);
        EXPECT_EQ(callback.refs, 1);
    }
}

} // namespace
