// Tests of the script bridge's callback registry and script-context registrations.
#include "core/formats/interop.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"
#include "tests/support/abort_hook.h"

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
    void* user = nullptr;
    void* argument = nullptr;
    int32_t calls = 0;
};

int64_t Remember(void* user, void* argument) {
    Seen* seen = static_cast<Seen*>(user);
    seen->user = user;
    seen->argument = argument;
    seen->calls++;
    return 7;
}

int64_t ExecuteNothing(void*, InteropExecuteCallback*, const char*, void*) {
    return 1;
}

TEST_F(InteropTest, CallbackIdsAreGivenCutOrGenerated) {
    struct Case {
        const char* id;
        size_t expectedLength;
        const char* expected;
    } cases[] = {
        {"observer-1", 10, "observer-1"},
        {"0123456789012345678901234567890123456789ABC", 39, "012345678901234567890123456789012345678"},
        {nullptr, 32, nullptr},
        {"", 32, nullptr},
    };
    for (const Case& c : cases) {
        InteropCallback* callback = nullptr;
        ASSERT_EQ(Interop_AddCallback(c.id, nullptr, Remember, &callback), 1);
        const char* id = Interop_GetCallbackId(callback);
        EXPECT_EQ(strlen(id), c.expectedLength);
        if (c.expected)
            EXPECT_STREQ(id, c.expected);
        else
            EXPECT_EQ(strspn(id, "0123456789abcdef"), 32u) << id;
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
    found = first;
    EXPECT_EQ(Interop_GetCallbackById("other", &found), 0);
    EXPECT_EQ(found, nullptr);
    // A released registration is no longer found, even before a pass frees it.
    InteropCallback* keep = first;
    Interop_ReleaseCallback(&keep);
    EXPECT_EQ(Interop_GetCallbackById("page.CALLBACK", &found), 1);
    EXPECT_EQ(found, second);
    Interop_ReleaseCallback(&second);
    EXPECT_EQ(Interop_GetCallbackById("page.callback", &found), 0);
    EXPECT_EQ(Interop_Process(), 1);
}

TEST_F(InteropTest, RaiseCallsTheFunctionWithItsUser) {
    Seen seen;
    int32_t argument = 5;
    InteropCallback* callback = nullptr;
    Interop_AddCallback("x", &seen, Remember, &callback);
    EXPECT_EQ(Interop_RaiseCallback(callback, &argument), 7);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.user, &seen);
    EXPECT_EQ(seen.argument, &argument);
    InteropCallback* empty = nullptr;
    Interop_AddCallback("y", &seen, nullptr, &empty);
    EXPECT_EQ(Interop_RaiseCallback(empty, &argument), 0);
    EXPECT_EQ(seen.calls, 1);
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

TEST_F(InteropTest, MainThreadOnlyOperationsAbortElsewhere) {
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

TEST(InteropDeathTest, MisuseAborts) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            InteropCallback* c = nullptr;
            Interop_AddCallback("x", nullptr, Remember, &c);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Interop_Init();
            Interop_GetCallbackId(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Interop_Init();
            uint32_t bogus[16] = {0x12345678};
            Interop_RaiseCallback(reinterpret_cast<InteropCallback*>(bogus), nullptr);
        },
        "Class mismatch pointer \\(0x[0-9a-fA-F]+: expected 0x76d1abff but was 0x12345678\\)");
}

} // namespace
