// Tests of the script bridge's callback registry and script-context registrations.
#include "core/formats/interop.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "core/certs/authenticate.h"
#include "core/formats/interop_internal.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"

namespace {

class InteropEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
    }
    void TearDown() override {
        EventQueue_Remove();
        Thread_Remove();
    }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new InteropEnvironment);

class InteropTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(Interop_Init(), 1); }
    void TearDown() override { EXPECT_EQ(Interop_Remove(), 1); }
};

struct Seen {
    void* User = nullptr;
    void* Argument = nullptr;
    int32_t Calls = 0;
};

int64_t Remember(void* user, void* argument) {
    Seen* seen = static_cast<Seen*>(user);
    *seen = {user, argument, seen->Calls + 1};
    return 7;
}

int64_t ExecuteNothing(void*, InteropExecuteCallback*, const char*, void*) {
    return 1;
}

TEST_F(InteropTest, CallbackIdsAreGivenCutOrGenerated) {
    // id, then the id kept (null: a GUID of 32 hex digits)
    const char* cases[][2] = {
        {"observer-1", "observer-1"},
        {"0123456789012345678901234567890123456789ABC", "012345678901234567890123456789012345678"},
        {nullptr, nullptr},
        {"", nullptr}};
    for (const auto& c : cases) {
        InteropCallback* callback = nullptr;
        ASSERT_EQ(Interop_AddCallback(c[0], nullptr, Remember, &callback), 1);
        const std::string id = Interop_GetCallbackId(callback);
        EXPECT_EQ(id, c[1] ? c[1] : id.substr(0, strspn(id.c_str(), "0123456789abcdef")));
        EXPECT_EQ(id.size(), c[1] ? strlen(c[1]) : 32u) << id;
        Interop_ReleaseCallback(&callback);
        EXPECT_EQ(callback, nullptr);
    }
}

TEST_F(InteropTest, LookupIgnoresCaseAndFindsTheFirst) {
    Seen a, b;
    InteropCallback* first = nullptr;
    InteropCallback* second = nullptr;
    Interop_AddCallback("Page.Callback", &a, Remember, &first);
    Interop_AddCallback("page.callback", &b, Remember, &second);
    InteropCallback* found = nullptr;
    EXPECT_EQ(Interop_GetCallbackById("PAGE.CALLBACK", &found), 1);
    EXPECT_EQ(found, first);
    Interop_ReleaseCallback(&found);
    EXPECT_EQ(Interop_GetCallbackById("other", &found), 0);
    EXPECT_EQ(found, nullptr);
    // A released registration is no longer found, even before a pass frees it.
    InteropCallback* keep = first;
    Interop_ReleaseCallback(&keep);
    EXPECT_EQ(Interop_GetCallbackById("page.CALLBACK", &found), 1);
    EXPECT_EQ(found, second);
    Interop_ReleaseCallback(&found);
    Interop_ReleaseCallback(&second);
    EXPECT_EQ(Interop_GetCallbackById("page.callback", &found), 0);
    EXPECT_EQ(Interop_Process(), 1);
}

TEST_F(InteropTest, RaiseCallsTheFunctionWithItsUser) {
    Seen seen;
    int32_t argument = 5;
    InteropCallback* callback = nullptr;
    InteropCallback* empty = nullptr;
    Interop_AddCallback("x", &seen, Remember, &callback);
    Interop_AddCallback("y", &seen, nullptr, &empty);
    EXPECT_EQ(Interop_RaiseCallback(callback, &argument), 7);
    EXPECT_EQ(Interop_RaiseCallback(empty, &argument), 0);
    EXPECT_EQ(seen.Calls, 1);
    EXPECT_EQ(seen.User, &seen);
    EXPECT_EQ(seen.Argument, &argument);
    Interop_ReleaseCallback(&callback);
    Interop_ReleaseCallback(&empty);
}

TEST_F(InteropTest, ExecuteCallbacksAreCountedOncePerUserAndFunction) {
    int32_t one = 0, two = 0;
    InteropExecuteCallback* a = nullptr;
    InteropExecuteCallback* again = nullptr;
    InteropExecuteCallback* b = nullptr;
    EXPECT_EQ(Interop_GetExecuteCallbackCount(), 0);
    EXPECT_EQ(Interop_AddExecuteCallback(&a, &one, ExecuteNothing), 1);
    EXPECT_EQ(Interop_AddExecuteCallback(&again, &one, ExecuteNothing), 1);
    EXPECT_EQ(again, a);
    EXPECT_EQ(Interop_AddExecuteCallback(&b, &two, ExecuteNothing), 1);
    EXPECT_NE(b, a);
    EXPECT_EQ(Interop_GetExecuteCallbackCount(), 2);
    EXPECT_EQ(Interop_RemoveExecuteCallback(&a), 0);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(Interop_GetExecuteCallbackCount(), 1);
    Interop_RemoveExecuteCallback(&b);
    EXPECT_EQ(Interop_GetExecuteCallbackCount(), 0);
}

TEST_F(InteropTest, ExecuteQueuesTheDictionaryWithAReference) {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Dictionary_SetStringByKey(dict, "k", "v");
    InteropCallback* callback = nullptr;
    Interop_AddCallback(nullptr, nullptr, Interop_Execute, &callback);
    EXPECT_EQ(Interop_RaiseCallback(callback, dict), 1);
    EXPECT_EQ(Interop_GetExecuteQueueCount(), 1);
    // The queue holds its own reference: the caller's release leaves the item alive.
    Dictionary_Release(&dict);
    Interop_ReleaseCallback(&callback);
    EventQueue_Flush(nullptr);
}

TEST_F(InteropTest, ScriptContextsAreForTheMainThreadOnly) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            std::thread worker([] {
                InteropExecuteCallback* e = nullptr;
                Interop_AddExecuteCallback(&e, nullptr, ExecuteNothing);
            });
            worker.join();
        },
        AbortRegex(
            "Assertion failed (Thread_GetMainId() == Thread_GetCurrentId())\nFunction not on main thread"));
}

std::string g_messages;
int32_t g_handovers = 0;
int64_t CollectMessages(void*, InteropExecuteCallback*, const char* text, void*) {
    g_messages += text;
    g_handovers++;
    return 1;
}

TEST_F(InteropTest, QueuedMessagesReachEachScriptContextAsOneArray) {
    InteropExecuteCallback* first = nullptr;
    InteropExecuteCallback* second = nullptr;
    int32_t other = 0;
    Interop_AddExecuteCallback(&first, nullptr, CollectMessages);
    Interop_AddExecuteCallback(&second, &other, CollectMessages);
    g_messages.clear();
    g_handovers = 0;
    for (int32_t i = 1; i <= 3; i++) {
        Dictionary* dict = nullptr;
        Dictionary_Create(&dict);
        Dictionary_SetInt32ByKey(dict, "n", i);
        Dictionary_SetStringByKey(dict, "type", "Task");
        Interop_Execute(nullptr, dict);
        Dictionary_Release(&dict);
    }
    EventQueue_Flush(nullptr);
    const std::string batch = R"([{"n":1,"type":"Task"},{"n":2,"type":"Task"},{"n":3,"type":"Task"}])";
    EXPECT_EQ(g_messages, batch + batch);
    EXPECT_EQ(g_handovers, 2);
    EXPECT_EQ(Interop_GetExecuteQueueCount(), 0);
    Interop_RemoveExecuteCallback(&first);
    Interop_RemoveExecuteCallback(&second);
}

// Three script contexts "a", "b", "c"; the first one handed the messages removes the contexts
// named in g_removedByFirst, itself among them perhaps.
InteropExecuteCallback* g_contexts[3] = {};
std::string g_removedByFirst;
std::string g_delivered;
int64_t DeliverAndRemove(void* user, InteropExecuteCallback*, const char*, void*) {
    const char name = *static_cast<const char*>(user);
    g_delivered += name;
    if (name == 'a')
        for (char victim : g_removedByFirst) Interop_RemoveExecuteCallback(&g_contexts[victim - 'a']);
    return 1;
}

TEST_F(InteropTest, ContextsRemovedDuringDeliveryAreSkippedNotCalled) {
    static const char names[] = "abc";
    // removed by "a", contexts called
    const char* cases[][2] = {{"", "abc"}, {"b", "ac"}, {"a", "abc"}, {"bc", "a"}, {"ab", "ac"}, {"c", "ab"}};
    for (const auto& c : cases) {
        for (int i = 0; i < 3; i++) Interop_AddExecuteCallback(&g_contexts[i], (void*)&names[i], DeliverAndRemove);
        g_removedByFirst = c[0];
        g_delivered.clear();
        Dictionary* dict = nullptr;
        Dictionary_Create(&dict);
        Interop_Execute(nullptr, dict);
        Dictionary_Release(&dict);
        Interop_Process();
        EXPECT_EQ(g_delivered, c[1]) << c[0];
        EXPECT_EQ(Interop_GetExecuteCallbackCount(), 3 - (int32_t)strlen(c[0])) << c[0];
        for (InteropExecuteCallback*& e : g_contexts)
            if (e) Interop_RemoveExecuteCallback(&e);
    }
    EventQueue_Flush(nullptr);
}

TEST_F(InteropTest, CallbackReferencesStopAtTheCeiling) {
    InteropCallback* callback = nullptr;
    Interop_AddCallback("crowded", nullptr, Remember, &callback);
    callback->RefCount = kInteropCountCeiling - 1;
    InteropCallback* more = Interop_AddRefCallback(Interop_AddRefCallback(callback));
    InteropCallback* found = nullptr;
    // A count that wrapped to 0 would leave the record to the next pass while it is held.
    EXPECT_EQ(Interop_GetCallbackById("crowded", &found), 1);
    Interop_ReleaseCallback(&found);
    Interop_ReleaseCallback(&more);
    Interop_Process();
    EXPECT_EQ(Interop_GetCallbackById("crowded", &found), 1);
    EXPECT_EQ(found, callback);
    Interop_ReleaseCallback(&found);
}

TEST_F(InteropTest, AddRefKeepsACallbackThroughOneRelease) {
    int32_t user = 0;
    InteropCallback* callback = nullptr;
    Interop_AddCallback("kept", &user, Remember, &callback);
    InteropCallback* second = Interop_AddRefCallback(callback);
    Interop_ReleaseCallback(&callback);
    Interop_Process();
    InteropCallback* found = nullptr;
    EXPECT_EQ(Interop_GetCallbackById("kept", &found), 1);
    void* seen = nullptr;
    Interop_GetCallbackUserPtr(found, &seen);
    EXPECT_EQ(seen, &user);
    Interop_ReleaseCallback(&found);
    Interop_ReleaseCallback(&second);
    EXPECT_EQ(Interop_GetCallbackById("kept", &found), 0);
}

uint32_t FlagsSeven() {
    return 7;
}
int64_t ApproveAll(const char*) {
    return 1;
}

TEST_F(InteropTest, SetOverrideInstallsTheServicesItKnows) {
    EXPECT_EQ(Interop_SetOverride("debug_flags", reinterpret_cast<void*>(FlagsSeven)), 1);
    EXPECT_EQ(Debug_Flags(), 7u);
    Debug_FlagsOverride(nullptr);
    // Services a library only calls, never replaces.
    for (const char* name :
         {"Dictionary_Create", "NotificationCenter_FireWithJSON", "Interop_GenerateInstanceId", "x"})
        EXPECT_EQ(Interop_SetOverride(name, reinterpret_cast<void*>(ApproveAll)), 0) << name;
}

int64_t ApproveNone(const char*) {
    return 0;
}

TEST_F(InteropTest, UrlAuthorizationWithoutTheWebClient) {
    LogCapture log;
    // authentication, override, URL, answer, logged
    struct Case {
        uint32_t Enabled;
        WebGetAuthorizeFunc Override;
        const char* Url;
        int64_t Answer;
        const char* Logged;
    };
    const Case cases[] = {
        {0, nullptr, "https://host/", 1, "Hostname not found in whitelist (host)"},
        {0, nullptr, "no-slashes", 0, "Malformed url (no-slashes)"},
        {1, nullptr, "https://host/", 0, "Hostname not found in whitelist (host)"},
        {1, ApproveAll, "https://host/", 1, ""},
        {1, ApproveNone, "https://host/", 0, ""},
        {0, ApproveNone, "https://host/", 0, ""},
    };
    EXPECT_EQ(Interop_SetOverride("WebGet_Authorize", reinterpret_cast<void*>(ApproveAll)), 1);
    EXPECT_EQ(WebGet_Authorize("https://host/"), 1);
    for (const Case& c : cases) {
        log.Clear();
        Authenticate_SetEnabled(c.Enabled);
        WebGet_AuthorizeOverride(c.Override);
        EXPECT_EQ(WebGet_Authorize(c.Url), c.Answer) << c.Url << " " << c.Enabled;
        if (c.Logged[0])
            EXPECT_NE(log.Text().find(c.Logged), std::string::npos) << log.Text();
        else
            EXPECT_EQ(log.Text(), "");
    }
    WebGet_AuthorizeOverride(nullptr);
    Authenticate_SetEnabled(1);
}

} // namespace
