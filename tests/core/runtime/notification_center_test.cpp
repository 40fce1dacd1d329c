// Tests of the notification centre: key matching and order, deferred removal, cross-thread
// delivery, delays, the pass budget, script observers and script references.
#include "core/runtime/notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/formats/interop.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string_print.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "tests/support/abort_hook.h"
#include "tests/support/temp_dir.h"

namespace {

std::atomic<int32_t> g_mainWakes{0};

void CountWake(uint32_t threadId, uint32_t) {
    if (threadId == Thread_GetMainId()) g_mainWakes++;
}

class NotificationEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(Thread_Init(), 1);
        Thread_SetUnhandledSignal(CountWake);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(Interop_Init(), 1);
    }
    void TearDown() override {
        Interop_Remove();
        EventQueue_Remove();
        Thread_Remove();
    }
};

::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new NotificationEnvironment);

class NotificationCenterTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(NotificationCenter_Init(), 1); }
    void TearDown() override {
        EXPECT_EQ(NotificationCenter_Remove(), 1);
        EventQueue_Flush(nullptr);
        Interop_Process();
    }
};

// Observer journal: "<tag>:<type>.<name>.<instance>" per call.
struct Journal {
    std::string tag;
    std::vector<std::string>* lines;
};

int64_t Record(void* user, const char* type, const char* name, const char* instance, Dictionary*) {
    Journal* j = static_cast<Journal*>(user);
    j->lines->push_back(j->tag + ":" + type + "." + name + "." + instance);
    return 1;
}

TEST_F(NotificationCenterTest, ObserverClassesAreCalledInOrderByKey) {
    std::vector<std::string> lines;
    Journal all{"all", &lines}, any{"any", &lines}, one{"one", &lines}, typeOnly{"typeOnly", &lines};
    // Registered in reverse so that order comes from the observer class, not registration.
    NotificationCenter_AddInstanceObserver("task", "STATUS", "abc", &one, Record);
    NotificationCenter_AddObserver("Task", "Status", &any, Record);
    NotificationCenter_AddInstanceObserver(nullptr, nullptr, "Global", &all, Record);
    NotificationCenter_AddInstanceObserver(nullptr, nullptr, "ABC", &typeOnly, Record);
    struct Case {
        const char* instance;
        std::vector<std::string> expected;
    } cases[] = {
        {"ABC", {"all:Task.Status.ABC", "any:Task.Status.ABC", "one:task.STATUS.ABC"}},
        {"global", {"all:Task.Status.global", "any:Task.Status.global"}},
        {nullptr, {"all:Task.Status.Global", "any:Task.Status.Global"}},
        {"other", {"all:Task.Status.other", "any:Task.Status.other"}},
    };
    for (const Case& c : cases) {
        lines.clear();
        EXPECT_EQ(NotificationCenter_Fire("Task", "Status", c.instance, nullptr), 1);
        EXPECT_EQ(lines, c.expected) << (c.instance ? c.instance : "null");
    }
    lines.clear();
    NotificationCenter_Fire("Pipe", "Read", "abc", nullptr);
    EXPECT_EQ(lines, std::vector<std::string>{"all:Pipe.Read.abc"});
    // A fire without type and name reaches the all-wildcard observers once, with empty texts
    // as the record keeps them.
    lines.clear();
    NotificationCenter_Fire(nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(lines, std::vector<std::string>{"all:..Global"});
    NotificationKey* key = nullptr;
    EXPECT_EQ(NotificationCenter_Find("TASK", "status", "GLOBAL", &key), 1);
    EXPECT_NE(key, nullptr);
    EXPECT_EQ(NotificationCenter_Find("Task", "Complete", nullptr, &key), 0);
    EXPECT_EQ(key, nullptr);
}

TEST_F(NotificationCenterTest, RemovalIsDeferredAndTakesOnlyTheFirstMatch) {
    std::vector<std::string> lines;
    Journal a{"a", &lines};
    NotificationCenter_AddObserver("T", "N", &a, Record);
    NotificationCenter_AddObserver("T", "N", &a, Record);
    NotificationCenter_Fire("T", "N", nullptr, nullptr);
    EXPECT_EQ(lines.size(), 2u);
    EXPECT_EQ(NotificationCenter_RemoveObserver("T", "N", &a, Record), 1);
    lines.clear();
    NotificationCenter_Fire("T", "N", nullptr, nullptr);
    EXPECT_EQ(lines.size(), 1u);
    NotificationCenter_Process();
    NotificationKey* key = nullptr;
    EXPECT_EQ(NotificationCenter_Find("T", "N", nullptr, &key), 1);
    NotificationCenter_RemoveObserver("T", "N", &a, Record);
    // Not registered: nothing happens.
    EXPECT_EQ(NotificationCenter_RemoveObserver("T", "N", &lines, Record), 1);
    EXPECT_EQ(NotificationCenter_RemoveObserver("X", "Y", &a, Record), 1);
    NotificationCenter_Process();
    EXPECT_EQ(NotificationCenter_Find("T", "N", nullptr, &key), 0);
    lines.clear();
    NotificationCenter_Fire("T", "N", nullptr, nullptr);
    EXPECT_TRUE(lines.empty());
}

struct Remover {
    std::vector<std::string>* lines;
    Journal* victim;
};

int64_t RemoveVictim(void* user, const char*, const char*, const char*, Dictionary*) {
    Remover* r = static_cast<Remover*>(user);
    r->lines->push_back("remover");
    NotificationCenter_RemoveObserver("T", "N", r->victim, Record);
    return 1;
}

TEST_F(NotificationCenterTest, ObserverRemovedDuringDeliveryIsNotCalled) {
    std::vector<std::string> lines;
    Journal victim{"victim", &lines};
    Remover remover{&lines, &victim};
    NotificationCenter_AddObserver("T", "N", &remover, RemoveVictim);
    NotificationCenter_AddObserver("T", "N", &victim, Record);
    NotificationCenter_Fire("T", "N", nullptr, nullptr);
    EXPECT_EQ(lines, std::vector<std::string>{"remover"});
    NotificationCenter_RemoveObserver("T", "N", &remover, RemoveVictim);
    NotificationCenter_Process();
}

struct PassRunner {
    std::vector<std::string>* lines;
    Journal* next;
};

int64_t RemoveAndRunPass(void* user, const char*, const char*, const char*, Dictionary*) {
    PassRunner* r = static_cast<PassRunner*>(user);
    r->lines->push_back("runner");
    NotificationCenter_RemoveObserver("T", "N", r, RemoveAndRunPass);
    NotificationCenter_RemoveObserver("T", "N", r->next, Record);
    // A pass run from inside a delivery must not unlink the entries this delivery is walking.
    NotificationCenter_Process();
    return 1;
}

TEST_F(NotificationCenterTest, PassInsideADeliveryDefersRemovals) {
    std::vector<std::string> lines;
    Journal next{"next", &lines};
    PassRunner runner{&lines, &next};
    NotificationCenter_AddObserver("T", "N", &runner, RemoveAndRunPass);
    NotificationCenter_AddObserver("T", "N", &next, Record);
    NotificationCenter_Fire("T", "N", nullptr, nullptr);
    EXPECT_EQ(lines, std::vector<std::string>{"runner"});
    NotificationKey* key = nullptr;
    EXPECT_EQ(NotificationCenter_Find("T", "N", nullptr, &key), 1);
    NotificationCenter_Process();
    EXPECT_EQ(NotificationCenter_Find("T", "N", nullptr, &key), 0);
}

int32_t g_nested = 0;

int64_t NestedFire(void* user, const char* type, const char* name, const char* instance, Dictionary* info) {
    Record(user, type, name, instance, info);
    if (g_nested++ == 0) NotificationCenter_Fire("Other", "Thing", "i2", nullptr);
    return 1;
}

TEST_F(NotificationCenterTest, NestedFireFromWildcardObserverKeepsOuterTexts) {
    std::vector<std::string> lines;
    Journal first{"first", &lines}, second{"second", &lines};
    g_nested = 0;
    NotificationCenter_AddObserver(nullptr, nullptr, &first, NestedFire);
    NotificationCenter_AddObserver(nullptr, nullptr, &second, Record);
    NotificationCenter_Fire("Task", "Status", "i1", nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{"first:Task.Status.i1", "first:Other.Thing.i2",
                                               "second:Other.Thing.i2", "second:Task.Status.i1"}));
}

struct CrossThread {
    std::atomic<bool> returned{false};
    std::atomic<int32_t> deliveries{0};
    uint32_t deliveredOn = 0;
    bool returnedBeforeDelivery = true;
    int32_t infoValue = 0;
};

int64_t NoteDelivery(void* user, const char*, const char*, const char*, Dictionary* info) {
    CrossThread* c = static_cast<CrossThread*>(user);
    c->deliveredOn = Thread_GetCurrentId();
    c->returnedBeforeDelivery = c->returned.load();
    Dictionary_GetInt32ByKey(info, "value", &c->infoValue);
    c->deliveries++;
    return 1;
}

TEST_F(NotificationCenterTest, FireFromAnotherThreadIsDeliveredOnTheCentreThreadBeforeReturning) {
    CrossThread state;
    NotificationCenter_AddObserver("Worker", "Done", &state, NoteDelivery);
    std::thread worker([&state] {
        Dictionary* info = nullptr;
        Dictionary_Create(&info);
        Dictionary_SetInt32ByKey(info, "value", 42);
        NotificationCenter_Fire("Worker", "Done", nullptr, info);
        state.returned = true;
        Dictionary_Release(&info);
    });
    while (!state.returned) EventQueue_Flush(nullptr);
    worker.join();
    EXPECT_EQ(state.deliveries.load(), 1);
    EXPECT_EQ(state.deliveredOn, Thread_GetMainId());
    EXPECT_FALSE(state.returnedBeforeDelivery);
    EXPECT_EQ(state.infoValue, 42);
}

TEST(NotificationCenterShutdownTest, RemoveReleasesAThreadWaitingInFire) {
    ASSERT_EQ(NotificationCenter_Init(), 1);
    CrossThread state;
    NotificationCenter_AddObserver("Worker", "Done", &state, NoteDelivery);
    int32_t wakesBefore = g_mainWakes.load();
    std::thread worker([&state] {
        NotificationCenter_Fire("Worker", "Done", nullptr, nullptr);
        state.returned = true;
    });
    // The hand-over wakes the main thread once the entry is queued.
    while (g_mainWakes.load() == wakesBefore) std::this_thread::yield();
    EXPECT_EQ(NotificationCenter_Remove(), 1);
    worker.join();
    EXPECT_TRUE(state.returned);
    EXPECT_EQ(state.deliveries.load(), 0);
    EventQueue_Flush(nullptr);
}

TEST_F(NotificationCenterTest, DelayedNotificationWaitsForItsTime) {
    std::vector<std::string> lines;
    Journal j{"late", &lines};
    NotificationCenter_AddObserver("T", "Later", &j, Record);
    const double queued = Time_GetCurrent();
    NotificationCenter_FireAfterDelay("T", "Later", nullptr, 250, nullptr);
    NotificationCenter_Process();
    EXPECT_TRUE(lines.empty());
    while (Time_GetCurrent() - queued < 0.26) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    NotificationCenter_Process();
    EXPECT_EQ(lines, std::vector<std::string>{"late:T.Later.Global"});
}

int64_t SlowObserver(void* user, const char* type, const char* name, const char* instance, Dictionary* info) {
    Record(user, type, name, instance, info);
    if (std::string(instance) == "A") NotificationCenter_FireAfterDelay("T", "N", "D", 0, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    return 1;
}

TEST_F(NotificationCenterTest, PassBudgetKeepsRemainingAheadOfNewOnes) {
    std::vector<std::string> lines;
    Journal j{"s", &lines};
    NotificationCenter_AddObserver("T", "N", &j, SlowObserver);
    for (const char* instance : {"A", "B", "C"})
        NotificationCenter_FireAfterDelay("T", "N", instance, 0, nullptr);
    NotificationCenter_Process();
    EXPECT_EQ(lines, (std::vector<std::string>{"s:T.N.A", "s:T.N.B"}));
    for (int32_t i = 0; i < 3 && lines.size() < 4; i++) NotificationCenter_Process();
    EXPECT_EQ(lines, (std::vector<std::string>{"s:T.N.A", "s:T.N.B", "s:T.N.C", "s:T.N.D"}));
}

int64_t SlowThenNestedPass(void* user, const char* type, const char* name, const char* instance,
                           Dictionary* info) {
    Record(user, type, name, instance, info);
    const std::string which(instance);
    if (which == "A") {
        NotificationCenter_FireAfterDelay("P", "N", "m1", 0, nullptr);
        NotificationCenter_FireAfterDelay("P", "N", "m2", 0, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
    } else if (which == "B") {
        // As a modal loop run from an observer would.
        NotificationCenter_Process();
    }
    return 1;
}

TEST_F(NotificationCenterTest, NestedPassDuringGrowthCatchUp) {
    std::vector<std::string> lines;
    Journal j{"p", &lines};
    NotificationCenter_AddObserver("P", "N", &j, SlowThenNestedPass);
    for (const char* instance : {"A", "B", "C"})
        NotificationCenter_FireAfterDelay("P", "N", instance, 0, nullptr);
    NotificationCenter_Process();
    NotificationCenter_Process();
    EXPECT_EQ(lines, (std::vector<std::string>{"p:P.N.A", "p:P.N.B", "p:P.N.C", "p:P.N.m1", "p:P.N.m2"}));
}

struct RefJournal {
    std::vector<int32_t> addRefs;
};

int64_t NoteAddRef(void* user, const char*, const char*, const char*, Dictionary* info) {
    uint32_t value = 2;
    Dictionary_GetBooleanByKey(info, "addRef", &value);
    static_cast<RefJournal*>(user)->addRefs.push_back((int32_t)value);
    return 1;
}

TEST_F(NotificationCenterTest, ScriptReferencesAnnounceFirstAndLast) {
    RefJournal refs;
    NotificationCenter_AddInteropObserver("obj1", &refs, NoteAddRef);
    NotificationCenter_AddRefInteropReference("obj1");
    NotificationCenter_AddRefInteropReference("obj1");
    NotificationCenter_Process();
    EXPECT_EQ(refs.addRefs, std::vector<int32_t>{1});
    EXPECT_EQ(NotificationCenter_ReleaseInteropReference("obj1"), 1);
    NotificationCenter_Process();
    EXPECT_EQ(refs.addRefs, std::vector<int32_t>{1});
    EXPECT_EQ(NotificationCenter_ReleaseInteropReference("obj1"), 1);
    NotificationCenter_Process();
    EXPECT_EQ(refs.addRefs, (std::vector<int32_t>{1, 0}));
    EXPECT_EQ(NotificationCenter_ReleaseInteropReference("obj1"), 0);
    EXPECT_EQ(NotificationCenter_ReleaseInteropReference("never"), 0);
    NotificationCenter_RemoveInteropObserver("obj1", &refs, NoteAddRef);
}

struct ScriptRecord {
    std::vector<std::string> keys;
    std::string type, notification, sender, callbackId, infoText;
    uint32_t retained = 0;
    int32_t raised = 0;
};

int64_t CaptureRecord(void* user, void* argument) {
    ScriptRecord* r = static_cast<ScriptRecord*>(user);
    Dictionary* d = static_cast<Dictionary*>(argument);
    r->raised++;
    r->keys.clear();
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(d, &item); item; Dictionary_ItemGetNext(d, item, &item)) {
        const char* key = nullptr;
        Dictionary_ItemGetKeyPtr(d, item, &key);
        r->keys.push_back(key ? key : "");
    }
    char buffer[64];
    Dictionary_GetStringByKey(d, "type", buffer, sizeof(buffer));
    r->type = buffer;
    Dictionary_GetStringByKey(d, "notification", buffer, sizeof(buffer));
    r->notification = buffer;
    Dictionary_GetStringByKey(d, "sender", buffer, sizeof(buffer));
    r->sender = buffer;
    Dictionary_GetStringByKey(d, "callbackId", buffer, sizeof(buffer));
    r->callbackId = buffer;
    r->retained = 0;
    Dictionary_GetBooleanByKey(d, "retained", &r->retained);
    Dictionary* info = nullptr;
    r->infoText.clear();
    if (Dictionary_GetDictionaryByKey(d, "info", &info) && info) {
        Dictionary_GetStringByKey(info, "state", buffer, sizeof(buffer));
        r->infoText = buffer;
    }
    return 1;
}

int64_t ExecuteNothing(void*, InteropExecuteCallback*, const char*, void*) {
    return 1;
}

TEST_F(NotificationCenterTest, ScriptRecordOfARetainedInstance) {
    RefJournal refs;
    ScriptRecord record;
    int32_t users[3];
    InteropExecuteCallback* contexts[3] = {};
    for (int32_t i = 0; i < 3; i++) Interop_AddExecuteCallback(&contexts[i], &users[i], ExecuteNothing);
    InteropCallback* bridge = nullptr;
    Interop_AddCallback("page-cb", &record, CaptureRecord, &bridge);
    NotificationCenter_AddInteropObserver("task7", &refs, NoteAddRef);
    NotificationCenter_AddObserver(nullptr, nullptr, bridge,
                                   NotificationCenter_InteropExecuteObserverCallback);
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_SetStringByKey(info, "state", "running");
    NotificationCenter_Fire("Task", "Status", "task7", info);
    Dictionary_Release(&info);
    EXPECT_EQ(record.raised, 1);
    EXPECT_EQ(record.keys,
              (std::vector<std::string>{"type", "notification", "sender", "callbackId", "retained", "info"}));
    EXPECT_EQ(record.type, "Task");
    EXPECT_EQ(record.notification, "Status");
    EXPECT_EQ(record.sender, "task7");
    EXPECT_EQ(record.callbackId, "page-cb");
    EXPECT_EQ(record.retained, 1u);
    EXPECT_EQ(record.infoText, "running");
    // Three script contexts: three references, announced once; the "Interop" notification itself
    // never reaches the script observer.
    NotificationCenter_Process();
    EXPECT_EQ(record.raised, 1);
    EXPECT_EQ(refs.addRefs, std::vector<int32_t>{1});
    for (int32_t i = 0; i < 3; i++) EXPECT_EQ(NotificationCenter_ReleaseInteropReference("task7"), 1);
    EXPECT_EQ(NotificationCenter_ReleaseInteropReference("task7"), 0);
    NotificationCenter_Process();
    EXPECT_EQ(refs.addRefs, (std::vector<int32_t>{1, 0}));
    // Not retained: no "retained" key, no references.
    NotificationCenter_Fire("Task", "Status", "task8", nullptr);
    EXPECT_EQ(record.keys,
              (std::vector<std::string>{"type", "notification", "sender", "callbackId", "info"}));
    EXPECT_EQ(NotificationCenter_ReleaseInteropReference("task8"), 0);
    NotificationCenter_RemoveObserver(nullptr, nullptr, bridge,
                                      NotificationCenter_InteropExecuteObserverCallback);
    NotificationCenter_RemoveInteropObserver("task7", &refs, NoteAddRef);
    Interop_ReleaseCallback(&bridge);
    for (InteropExecuteCallback*& c : contexts) Interop_RemoveExecuteCallback(&c);
}

TEST_F(NotificationCenterTest, ScriptObserversThroughTheBridge) {
    const int32_t before = Interop_GetExecuteQueueCount();
    EXPECT_EQ(NotificationCenter_AddObserverInterop(nullptr, nullptr, "everything"), 1);
    InteropCallback* bridge = nullptr;
    EXPECT_EQ(Interop_GetCallbackById("EVERYTHING", &bridge), 1);
    NotificationCenter_AddRefInteropReference("x");
    NotificationCenter_Process();
    EXPECT_EQ(Interop_GetExecuteQueueCount(), before);
    NotificationCenter_Fire("Task", "Status", nullptr, nullptr);
    EXPECT_EQ(Interop_GetExecuteQueueCount(), before + 1);
    EXPECT_EQ(NotificationCenter_RemoveObserverInterop(nullptr, nullptr, "nobody"), 0);
    EXPECT_EQ(NotificationCenter_RemoveObserverInterop(nullptr, nullptr, "Everything"), 1);
    EXPECT_EQ(Interop_GetCallbackById("everything", &bridge), 0);
    NotificationCenter_Fire("Task", "Status", nullptr, nullptr);
    EXPECT_EQ(Interop_GetExecuteQueueCount(), before + 1);
    NotificationCenter_ReleaseInteropReference("x");
}

TEST_F(NotificationCenterTest, ProcessObserversArePolledNewestRecordFirst) {
    std::vector<std::string> lines;
    Journal a{"a", &lines}, b{"b", &lines};
    NotificationCenter_AddProcessObserver("first", &a, Record);
    NotificationCenter_AddProcessObserver("second", &b, Record);
    NotificationCenter_Process();
    EXPECT_EQ(lines, (std::vector<std::string>{"b:NotificationCenter.Process.second",
                                               "a:NotificationCenter.Process.first"}));
    NotificationCenter_RemoveProcessObserver("second", &b, Record);
    NotificationCenter_Process();
    lines.clear();
    NotificationCenter_Process();
    EXPECT_EQ(lines, std::vector<std::string>{"a:NotificationCenter.Process.first"});
    NotificationCenter_RemoveProcessObserver("first", &a, Record);
}

int32_t g_jsonValue = 0;
int32_t g_jsonCalls = 0;

int64_t NoteJson(void*, const char*, const char*, const char*, Dictionary* info) {
    g_jsonCalls++;
    g_jsonValue = -1;
    if (info) Dictionary_GetInt32ByKey(info, "a", &g_jsonValue);
    return 1;
}

TEST_F(NotificationCenterTest, JsonForms) {
    g_jsonCalls = 0;
    NotificationCenter_AddObserver("J", "N", nullptr, NoteJson);
    EXPECT_EQ(NotificationCenter_FireWithJSON("J", "N", nullptr, "{\"a\":%d}", 5), 1);
    EXPECT_EQ(g_jsonCalls, 1);
    EXPECT_EQ(g_jsonValue, 5);
    EXPECT_EQ(NotificationCenter_FireWithJSONV("J", "N", nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(g_jsonCalls, 2);
    EXPECT_EQ(g_jsonValue, -1);
    EXPECT_EQ(NotificationCenter_FireInterop("J", "N", nullptr, "{\"a\":7}"), 1);
    EXPECT_EQ(g_jsonValue, 7);
    EXPECT_NE(NotificationCenter_FireInterop("J", "N", nullptr, "{\"a\":"), 1);
    EXPECT_EQ(g_jsonCalls, 3);
    EXPECT_EQ(NotificationCenter_FireAfterDelayInterop("J", "N", nullptr, 0, "{\"a\":9}"), 1);
    EXPECT_EQ(g_jsonCalls, 3);
    NotificationCenter_Process();
    EXPECT_EQ(g_jsonCalls, 4);
    EXPECT_EQ(g_jsonValue, 9);
}

int32_t g_hookCalls = 0;

int64_t FireHook(const char*, const char*, const char* instance, Dictionary*) {
    g_hookCalls++;
    return instance == nullptr ? 5 : 6;
}

TEST_F(NotificationCenterTest, FireHookTakesTheCallUnchanged) {
    std::vector<std::string> lines;
    Journal j{"j", &lines};
    NotificationCenter_AddObserver("T", "N", &j, Record);
    NotificationCenter_FireOverride(FireHook);
    EXPECT_EQ(NotificationCenter_Fire("T", "N", nullptr, nullptr), 5);
    NotificationCenter_FireOverride(nullptr);
    EXPECT_EQ(g_hookCalls, 1);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(NotificationCenter_AssertInstance(nullptr), 1);
}

std::vector<std::string> g_logged;

int64_t CaptureLog(const char* text) {
    g_logged.push_back(text);
    return 1;
}

bool Logged(const std::string& text) {
    for (const std::string& line : g_logged)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

TEST(NotificationCenterLogTest, VerboseLinesAndLeftoverObservers) {
    TempDir dir;
    ASSERT_EQ(Debug_Init(dir.file("nc.log").c_str(), nullptr, DEBUG_FLAG_FILE), 1);
    ASSERT_EQ(NotificationCenter_Init(), 1);
    g_logged.clear();
    Debug_PrintOverride(CaptureLog);
    NotificationCenter_SetVerbose(1);
    std::vector<std::string> lines;
    Journal j{"j", &lines};
    NotificationCenter_AddInstanceObserver("Task", "Status", "abc", &j, Record);
    NotificationCenter_AddObserver("Pipe", "Read", &j, Record);
    NotificationCenter_Fire("Task", "Status", "abc", nullptr);
    NotificationCenter_RemoveInstanceObserver("Task", "Status", "abc", &j, Record);
    NotificationCenter_FireAfterDelay("Late", "One", nullptr, 100000, nullptr);
    NotificationCenter_Remove();
    Debug_PrintOverride(nullptr);
    Debug_Remove();
    char user[40];
    String_Print(user, sizeof(user), "[0x%p]\n", (void*)&j);
    EXPECT_TRUE(Logged(std::string("NotificationCenter - Add observer - Task.Status - abc ") + user));
    EXPECT_TRUE(Logged("NotificationCenter - Fire event - Task.Status - abc\n"));
    EXPECT_TRUE(Logged(std::string("NotificationCenter - Remove observer - Task.Status - abc ") + user));
    EXPECT_TRUE(Logged("NotificationCenter - Skipping pending fire - Late.One - Global\n"));
    EXPECT_TRUE(Logged("NotificationCenter - Callback not removed Pipe.Read - Global\n"));
    EXPECT_FALSE(Logged("Callback not removed Task.Status"));
}

int64_t QueueTwoMore(void*, const char*, const char*, const char* instance, Dictionary*) {
    if (std::string(instance) == "grow") {
        NotificationCenter_FireAfterDelay("G", "N", "more", 0, nullptr);
        NotificationCenter_FireAfterDelay("G", "N", "more", 0, nullptr);
    }
    return 1;
}

TEST(NotificationCenterLogTest, QueueGrowthIsWarnedOnceAndCounted) {
    TempDir dir;
    ASSERT_EQ(Debug_Init(dir.file("nc.log").c_str(), nullptr, DEBUG_FLAG_FILE), 1);
    ASSERT_EQ(NotificationCenter_Init(), 1);
    g_logged.clear();
    Debug_PrintOverride(CaptureLog);
    NotificationCenter_SetVerbose(1);
    NotificationCenter_AddObserver("G", "N", nullptr, QueueTwoMore);
    // One entry that is never due keeps the pass from emptying the queue.
    NotificationCenter_FireAfterDelay("G", "N", "late", 1000000, nullptr);
    NotificationCenter_FireAfterDelay("G", "N", "grow", 0, nullptr);
    NotificationCenter_Process();
    // The second pass delivers the two queued by the first, and the queue does not grow.
    NotificationCenter_FireAfterDelay("G", "N", "grow", 0, nullptr);
    NotificationCenter_Process();
    NotificationCenter_RemoveObserver("G", "N", nullptr, QueueTwoMore);
    NotificationCenter_Remove();
    Debug_PrintOverride(nullptr);
    Debug_Remove();
    int32_t warnings = 0;
    for (const std::string& line : g_logged)
        if (line.find(
                "Detected increase of notification center queue while raising notifications may result in "
                "unresponsive application\n") != std::string::npos)
            warnings++;
    EXPECT_EQ(warnings, 1);
    EXPECT_TRUE(
        Logged("Detected increase of notification center queue while raising notifications 1 times\n"));
}

TEST(NotificationCenterDeathTest, MisuseAborts) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            NotificationCenter_Fire("T", "N", nullptr, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            NotificationCenter_Init();
            NotificationCenter_ReleaseInteropReference(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            NotificationCenter_Init();
            std::thread worker([] { NotificationCenter_ProcessEvent(nullptr); });
            worker.join();
        },
        AbortRegex(
            "Assertion failed (Thread_GetMainId() == Thread_GetCurrentId())\nFunction not on main thread"));
}

} // namespace
