// Tests of the credential broker: one prompt for many requesters of one key, answers from the
// cache, invalidation and attempts, cancels, filter rules, the worker's aborts and the lock
// shared with another thread.
#include "core/web/challenge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/web_get_env.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetEnvironment);
const bool g_bounded = BoundEveryTest();

// One delivered notification: its name, addressee and the fields the tests look at.
struct Seen {
    std::string Name;
    std::string Instance;
    std::string Username;
    int32_t Attempt = -1;
    uint32_t Cancel = 0;
};

std::vector<Seen> g_seen;

int64_t Record(void*, const char*, const char* name, const char* instance, Dictionary* info) {
    Seen s;
    s.Name = name;
    s.Instance = instance ? instance : "";
    const char* user = nullptr;
    if (info && Dictionary_GetStringPtrByKey(info, "username", &user) && user) s.Username = user;
    if (info && Dictionary_ContainsKey(info, "attempt")) Dictionary_GetInt32ByKey(info, "attempt", &s.Attempt);
    if (info) Dictionary_GetBooleanByKey(info, "cancel", &s.Cancel);
    g_seen.push_back(s);
    return 1;
}

Dictionary* Make(const char* filter, const char* host, const char* username, const char* password, int32_t type = 0) {
    Dictionary* d = nullptr;
    Dictionary_Create(&d);
    Dictionary_AddString(d, "filter", filter, nullptr);
    Dictionary_AddInt32(d, "type", type, nullptr);
    Dictionary_AddString(d, "host", host, nullptr);
    Dictionary_AddString(d, "realm", "realm", nullptr);
    if (username) Dictionary_AddString(d, "username", username, nullptr);
    if (password) Dictionary_AddString(d, "password", password, nullptr);
    return d;
}

class ChallengeTest : public WebGetTest {
  protected:
    void SetUp() override {
        WebGetTest::SetUp();
        g_seen.clear();
        NotificationCenter_AddObserver("Challenge", "PromptRequest", nullptr, Record);
        NotificationCenter_AddObserver("Challenge", "Response", nullptr, Record);
        ASSERT_EQ(Challenge_Init(0), 1);
    }
    void TearDown() override {
        Challenge_Remove();
        NotificationCenter_RemoveObserver("Challenge", "PromptRequest", nullptr, Record);
        NotificationCenter_RemoveObserver("Challenge", "Response", nullptr, Record);
        WebGetTest::TearDown();
    }
    void Pump() {
        for (int i = 0; i < 3; i++) NotificationCenter_Process();
    }
    // Requests and pumps; what was delivered since the last call.
    std::vector<Seen> Request(const char* requester, Dictionary* request) {
        Challenge_Request(request, requester);
        Dictionary_Release(&request);
        return Take();
    }
    std::vector<Seen> Answer(Dictionary* answer) {
        NotificationCenter_FireAfterDelay("Challenge", "PromptResponse", "ui", 0, answer);
        Dictionary_Release(&answer);
        return Take();
    }
    std::vector<Seen> Take() {
        Pump();
        std::vector<Seen> out;
        out.swap(g_seen);
        return out;
    }
    static std::string Names(const std::vector<Seen>& seen) {
        std::string out;
        for (const Seen& s : seen) out += (out.empty() ? "" : " ") + s.Name + ":" + s.Instance;
        return out;
    }
};

TEST_F(ChallengeTest, OnePromptReleasesEveryRequesterOfTheKey) {
    for (const char* requester : {"a", "b"}) {
        Dictionary* request = Make("webgetserver", "h", "", "");
        Challenge_Request(request, requester);
        Dictionary_Release(&request);
    }
    std::vector<Seen> seen = Take();
    ASSERT_EQ(Names(seen), "PromptRequest:a");
    EXPECT_EQ(seen[0].Attempt, 0);
    seen = Answer(Make("webgetserver", "h", "user", "pw"));
    ASSERT_EQ(Names(seen), "Response:a Response:b");
    EXPECT_EQ(seen[1].Username, "user");
}

TEST_F(ChallengeTest, CachedAnswersAndRepeatedCredentials) {
    Request("a", Make("webgetserver", "h", "", ""));
    Answer(Make("webgetserver", "h", "user", "pw"));
    struct Row {
        const char* Name;
        Dictionary* Request;
        const char* Expected;
        int32_t Attempt;
    };
    const Row rows[] = {
        {"no credentials yet", Make("webgetserver", "h", nullptr, nullptr), "Response:r", -1},
        {"other credentials", Make("webgetserver", "h", "user", "old"), "Response:r", -1},
        // The requester tried exactly the cached answer: it failed, so the user is asked again.
        {"the cached credentials", Make("webgetserver", "h", "user", "pw"), "PromptRequest:r", 1},
    };
    for (const Row& row : rows) {
        const std::vector<Seen> seen = Request("r", row.Request);
        ASSERT_EQ(Names(seen), row.Expected) << row.Name;
        EXPECT_EQ(seen[0].Attempt, row.Attempt) << row.Name;
    }
}

TEST_F(ChallengeTest, InvalidatedAnswerPromptsWithAttempt) {
    Request("a", Make("webgetproxy", "h", "", "", 1));
    Answer(Make("webgetproxy", "h", "user", "pw", 1));
    Dictionary* key = Make("webgetproxy", "h", nullptr, nullptr, 1);
    EXPECT_EQ(Challenge_ResponseInvalidate(key), 1);
    std::vector<Seen> seen = Request("b", Make("webgetproxy", "h", "", "", 1));
    ASSERT_EQ(Names(seen), "PromptRequest:b");
    EXPECT_EQ(seen[0].Attempt, 1);
    seen = Answer(Make("webgetproxy", "h", "user2", "pw2", 1));
    ASSERT_EQ(Names(seen), "Response:b");
    Dictionary* found = nullptr;
    Dictionary_Create(&found);
    EXPECT_EQ(Challenge_ResponseFind(key, found), 1);
    EXPECT_EQ(Dictionary_ContainsKey(found, "invalid"), 0);
    char user[16];
    Dictionary_GetStringByKey(found, "username", user, sizeof(user));
    EXPECT_STREQ(user, "user2");
    Dictionary_Release(&found);
    Dictionary_Release(&key);
}

TEST_F(ChallengeTest, CancelIsDeliveredButNotRemembered) {
    Request("a", Make("storagedecrypt", "h", nullptr, nullptr));
    Dictionary* answer = Make("storagedecrypt", "h", nullptr, nullptr);
    Dictionary_AddBoolean(answer, "cancel", 1, nullptr);
    std::vector<Seen> seen = Answer(answer);
    ASSERT_EQ(Names(seen), "Response:a");
    EXPECT_EQ(seen[0].Cancel, 1u);
    Dictionary* found = nullptr;
    Dictionary_Create(&found);
    Dictionary* key = Make("storagedecrypt", "h", nullptr, nullptr);
    EXPECT_EQ(Challenge_ResponseFind(key, found), 0);
    EXPECT_EQ(Challenge_ResponseLast("storagedecrypt", found), 0);
    Dictionary_Release(&key);
    Dictionary_Release(&found);
}

TEST_F(ChallengeTest, KeyFieldsAndFilterSpelling) {
    Request("a", Make("WebGetServer", "h", "", ""));
    Answer(Make("WebGetServer", "h", "user", "pw"));
    struct Row {
        const char* Name;
        Dictionary* Request;
        const char* Expected;
    };
    const Row rows[] = {
        {"same key", Make("WebGetServer", "h", "", ""), "Response:r"},
        // The rule is chosen without case, but the filter field itself must be equal.
        {"filter in other case", Make("webgetserver", "h", "", ""), "PromptRequest:r"},
    };
    for (const Row& row : rows) EXPECT_EQ(Names(Request("r", row.Request)), row.Expected) << row.Name;
    // The prompt for "webgetserver" is still showing: a request of another type only queues.
    EXPECT_EQ(Names(Request("t", Make("WebGetServer", "h", "", "", 1))), "");
    Dictionary* out = nullptr;
    Dictionary_Create(&out);
    EXPECT_EQ(Challenge_ResponseLast("webgetserver", out), 0);
    EXPECT_EQ(Challenge_ResponseLast("WebGetServer", out), 1);
    Dictionary_Release(&out);
}

TEST_F(ChallengeTest, LockIsSharedWithOtherThreads) {
    std::atomic<int> step{0};
    ASSERT_EQ(Challenge_Lock(), 1);
    ASSERT_EQ(Challenge_Lock(), 1); // recursive
    std::thread other([&] {
        step = 1;
        Dictionary* key = Make("clientcert", "h", nullptr, nullptr);
        Dictionary* out = nullptr;
        Dictionary_Create(&out);
        Challenge_ResponseFind(key, out);
        step = step == 3 ? 4 : 2;
        Dictionary_Release(&out);
        Dictionary_Release(&key);
    });
    while (step.load() == 0) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(step.load(), 1);
    step = 3;
    Challenge_Unlock();
    Challenge_Unlock();
    Deadline deadline("lookup after the lock was left");
    other.join();
    EXPECT_EQ(step.load(), 4);
}

// Requests and answers come from scripts and from the other process too: one without a known
// filter is logged and dropped, and the broker goes on serving the others.
TEST_F(ChallengeTest, UnknownFiltersAreDropped) {
    Dictionary* none = nullptr;
    Dictionary_Create(&none);
    TakeLog();
    EXPECT_EQ(Names(Request("a", none)), "");
    EXPECT_NE(TakeLog().find("Dictionary missing filter key"), std::string::npos);
    EXPECT_EQ(Names(Request("b", Make("password", "h", nullptr, nullptr))), "");
    EXPECT_NE(TakeLog().find("Unknown filter value (password)"), std::string::npos);
    EXPECT_EQ(Names(Request("c", Make("webgetserver", "h", "", ""))), "PromptRequest:c");
    EXPECT_EQ(Names(Answer(Make("password", "h", "user", "pw"))), "");
    EXPECT_NE(TakeLog().find("Unknown filter value (password)"), std::string::npos);
    Dictionary* key = Make("password", "h", nullptr, nullptr);
    Dictionary* out = nullptr;
    Dictionary_Create(&out);
    EXPECT_EQ(Challenge_ResponseFind(key, out), 0);
    EXPECT_EQ(Challenge_ResponseInvalidate(key), 0);
    Dictionary_Release(&out);
    Dictionary_Release(&key);
    EXPECT_EQ(Names(Answer(Make("webgetserver", "h", "user", "pw"))), "Response:c");
}

TEST_F(ChallengeTest, ProgrammingErrorsStop) {
    InstallTestAbortHook();
    Dictionary* none = nullptr;
    Dictionary_Create(&none);
    Dictionary* odd = Make("password", "h", nullptr, nullptr);
    Challenge_Remove();
    Challenge_Init(1);
    const char* prefix = "Assertion failed (GlobalChallenge->Worker == FALSE)\n";
    EXPECT_DEATH(Challenge_ResponseFind(odd, none), AbortRegex(std::string(prefix) + "Unable to find response in worker process"));
    EXPECT_DEATH(Challenge_ResponseLast("clientcert", none),
                 AbortRegex(std::string(prefix) + "Unable to find last response in worker process"));
    EXPECT_DEATH(Challenge_Notification_PromptResponse(nullptr, "Challenge", "PromptResponse", "a", odd),
                 AbortRegex(std::string(prefix) + "Response called in worker environment"));
    // A worker's broker observes nothing: requests stay unanswered.
    EXPECT_EQ(Names(Request("a", Make("webgetserver", "h", "", ""))), "");
    Dictionary_Release(&odd);
    Dictionary_Release(&none);
}

} // namespace
