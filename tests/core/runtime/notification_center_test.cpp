// Tests of the notification centre: key matching and order, deferred removal, cross-thread
// delivery, delays, the pass budget, script observers and script references.
#include "core/runtime/notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/temp_dir.h"

namespace {

std::atomic<int32_t> g_mainWakes{0};

class NotificationEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(Thread_Init(), 1);
        Thread_SetUnhandledSignal(
            [](uint32_t threadId, uint32_t) { g_mainWakes += threadId == Thread_GetMainId(); });
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
const bool g_bounded = BoundEveryTest();

// Queues a notification from another thread, which takes the centre's lock: bounded, so that a
// lock left held fails the test.
void QueueFromOtherThread(const char* what) {
    FromOtherThread(what,
                    [] { NotificationCenter_FireAfterDelay("Probe", "Lock", nullptr, 1000000, nullptr); });
}

// Every call of an observer as "<tag>:<type>.<name>.<instance>"; the user pointer is the tag.
std::vector<std::string> g_lines;

int64_t Record(void* user, const char* type, const char* name, const char* instance, Dictionary*) {
    g_lines.push_back(std::string(static_cast<const char*>(user)) + ":" + type + "." + name + "." + instance);
    return 1;
}

bool HasKey(const char* type, const char* name, const char* instance) {
    NotificationKey* key = nullptr;
    return NotificationCenter_Find(type, name, instance, &key) == 1 && key;
}

class NotificationCenterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_lines.clear();
        ASSERT_EQ(NotificationCenter_Init(), 1);
    }
    void TearDown() override {
        QueueFromOtherThread("a notification queued at the end of the test");
        EXPECT_EQ(NotificationCenter_Remove(), 1);
        EventQueue_Flush(nullptr);
        Interop_Process();
    }
};

TEST_F(NotificationCenterTest, ObserverClassesAreCalledInOrderByKey) {
    // Registered in reverse so that order comes from the observer class, not registration.
    NotificationCenter_AddInstanceObserver("task", "STATUS", "abc", (void*)"one", Record);
    NotificationCenter_AddObserver("Task", "Status", (void*)"any", Record);
    NotificationCenter_AddInstanceObserver(nullptr, nullptr, "Global", (void*)"all", Record);
    NotificationCenter_AddInstanceObserver(nullptr, nullptr, "ABC", (void*)"typeOnly", Record);
    // A fire without type and name reaches the all-wildcard observers once, with empty texts as
    // the record keeps them.
    const struct {
        const char *type, *name, *instance;
        std::vector<std::string> expected;
    } cases[] = {
        {"Task", "Status", "ABC", {"all:Task.Status.ABC", "any:Task.Status.ABC", "one:task.STATUS.ABC"}},
        {"Task", "Status", "global", {"all:Task.Status.global", "any:Task.Status.global"}},
        {"Task", "Status", nullptr, {"all:Task.Status.Global", "any:Task.Status.Global"}},
        {"Task", "Status", "other", {"all:Task.Status.other", "any:Task.Status.other"}},
        {"Pipe", "Read", "abc", {"all:Pipe.Read.abc"}},
        {nullptr, nullptr, nullptr, {"all:..Global"}}};
    for (const auto& c : cases) {
        g_lines.clear();
        EXPECT_EQ(NotificationCenter_Fire(c.type, c.name, c.instance, nullptr), 1);
        EXPECT_EQ(g_lines, c.expected)
            << (c.type ? c.type : "null") << " " << (c.instance ? c.instance : "null");
    }
    EXPECT_TRUE(HasKey("TASK", "status", "GLOBAL"));
    NotificationKey* key = reinterpret_cast<NotificationKey*>(&g_lines);
    EXPECT_EQ(NotificationCenter_Find("Task", "Complete", nullptr, &key), 0);
    EXPECT_EQ(key, nullptr);
}

TEST_F(NotificationCenterTest, KeysUpToTheirSizeAreWholeAndLongerOnesStillMatchThemselves) {
    // Type, name and instance lengths around the key's size (two separators and the end byte).
    const struct {
        size_t type, name, instance;
    } cases[] = {{1, 1, 1}, {39, 40, 40}, {40, 40, 39}, {0, 0, 120}, {40, 40, 40}};
    for (const auto& c : cases) {
        const std::string type(c.type, 't'), name(c.name, 'n'), instance(c.instance, 'i');
        std::string other = instance;
        other.back() = 'x';
        NotificationCenter_AddInstanceObserver(type.c_str(), name.c_str(), instance.c_str(), (void*)"k", Record);
        EXPECT_TRUE(HasKey(type.c_str(), name.c_str(), instance.c_str())) << c.type << "/" << c.instance;
        // A key that fits keeps its last byte: an instance differing only there is another key.
        if (c.type + c.name + c.instance + 2 < NOTIFICATIONCENTER_KEY_SIZE) {
            EXPECT_FALSE(HasKey(type.c_str(), name.c_str(), other.c_str())) << c.type << "/" << c.instance;
        }
        g_lines.clear();
        NotificationCenter_Fire(type.c_str(), name.c_str(), instance.c_str(), nullptr);
        EXPECT_EQ(g_lines.size(), 1u) << c.type << "/" << c.instance;
        NotificationCenter_RemoveInstanceObserver(type.c_str(), name.c_str(), instance.c_str(), (void*)"k", Record);
        NotificationCenter_Process();
        EXPECT_FALSE(HasKey(type.c_str(), name.c_str(), instance.c_str())) << c.type << "/" << c.instance;
    }
}

TEST_F(NotificationCenterTest, RemovalIsDeferredAndTakesOnlyTheFirstMatch) {
    const char* a = "a";
    NotificationCenter_AddObserver("T", "N", (void*)a, Record);
    NotificationCenter_AddObserver("T", "N", (void*)a, Record);
    EXPECT_EQ(NotificationCenter_RemoveObserver("T", "N", (void*)a, Record), 1);
    NotificationCenter_Fire("T", "N", nullptr, nullptr);
    NotificationCenter_Process();
    EXPECT_TRUE(HasKey("T", "N", nullptr));
    NotificationCenter_RemoveObserver("T", "N", (void*)a, Record);
    // Not registered: nothing happens.
    EXPECT_EQ(NotificationCenter_RemoveObserver("T", "N", &g_lines, Record), 1);
    EXPECT_EQ(NotificationCenter_RemoveObserver("X", "Y", (void*)a, Record), 1);
    EXPECT_TRUE(HasKey("T", "N", nullptr)) << "until the next pass";
    NotificationCenter_Process();
    EXPECT_FALSE(HasKey("T", "N", nullptr));
    NotificationCenter_Fire("T", "N", nullptr, nullptr);
    EXPECT_EQ(g_lines, std::vector<std::string>{"a:T.N.Global"});
}

const char* const kVictim = "victim";

int64_t RemoveVictimAndRunPass(void*, const char*, const char*, const char*, Dictionary*) {
    g_lines.push_back("runner");
    NotificationCenter_RemoveObserver("T", "N", (void*)kVictim, Record);
    NotificationCenter_RemoveObserver("T", "N", nullptr, RemoveVictimAndRunPass);
    // A pass run from inside a delivery must not unlink the entries this delivery is walking.
    NotificationCenter_Process();
    return 1;
}

TEST_F(NotificationCenterTest, ObserverRemovedDuringDeliveryIsNotCalledAndStaysLinkedUntilThePass) {
    NotificationCenter_AddObserver("T", "N", nullptr, RemoveVictimAndRunPass);
    NotificationCenter_AddObserver("T", "N", (void*)kVictim, Record);
    NotificationCenter_Fire("T", "N", nullptr, nullptr);
    EXPECT_EQ(g_lines, std::vector<std::string>{"runner"});
    EXPECT_TRUE(HasKey("T", "N", nullptr));
    NotificationCenter_Process();
    EXPECT_FALSE(HasKey("T", "N", nullptr));
}

int64_t NestedFire(void* user, const char* type, const char* name, const char* instance, Dictionary* info) {
    Record(user, type, name, instance, info);
    if (g_lines.size() == 1) NotificationCenter_Fire("Other", "Thing", "i2", nullptr);
    return 1;
}

TEST_F(NotificationCenterTest, NestedFireFromWildcardObserverKeepsOuterTexts) {
    NotificationCenter_AddObserver(nullptr, nullptr, (void*)"first", NestedFire);
    NotificationCenter_AddObserver(nullptr, nullptr, (void*)"second", Record);
    NotificationCenter_Fire("Task", "Status", "i1", nullptr);
    EXPECT_EQ(g_lines, (std::vector<std::string>{"first:Task.Status.i1", "first:Other.Thing.i2",
                                                 "second:Other.Thing.i2", "second:Task.Status.i1"}));
}

// An observer runs without the centre's lock: another thread can queue a notification meanwhile.
int64_t QueueMeanwhile(void*, const char*, const char*, const char*, Dictionary*) {
    QueueFromOtherThread("a notification queued while an observer runs");
    g_lines.push_back("queued");
    return 1;
}

TEST_F(NotificationCenterTest, ObserversRunWithTheLockReleased) {
    NotificationCenter_AddObserver("T", "N", nullptr, QueueMeanwhile);
    NotificationCenter_AddProcessObserver("p", nullptr, QueueMeanwhile);
    NotificationCenter_Fire("T", "N", nullptr, nullptr);
    NotificationCenter_Process();
    EXPECT_EQ(g_lines, (std::vector<std::string>{"queued", "queued"}));
    NotificationCenter_RemoveProcessObserver("p", nullptr, QueueMeanwhile);
}

// A delivery noted with its thread, whether the firing thread had returned, and its information.
int64_t NoteDelivery(void* returned, const char*, const char*, const char*, Dictionary* info) {
    int32_t value = 0;
    Dictionary_GetInt32ByKey(info, "value", &value);
    g_lines.push_back(std::to_string(Thread_GetCurrentId() == Thread_GetMainId()) +
                      std::to_string(static_cast<std::atomic<bool>*>(returned)->load()) +
                      std::to_string(value));
    return 1;
}

TEST_F(NotificationCenterTest, FireFromAnotherThreadIsDeliveredOnTheCentreThreadBeforeReturning) {
    std::atomic<bool> returned{false};
    NotificationCenter_AddObserver("Worker", "Done", &returned, NoteDelivery);
    std::thread worker([&returned] {
        Dictionary* info = nullptr;
        Dictionary_Create(&info);
        Dictionary_SetInt32ByKey(info, "value", 42);
        NotificationCenter_Fire("Worker", "Done", nullptr, info);
        returned = true;
        Dictionary_Release(&info);
    });
    Deadline deadline("a fire handed over from another thread");
    while (!returned) EventQueue_Flush(nullptr);
    worker.join();
    EXPECT_EQ(g_lines, std::vector<std::string>{"1042"}) << "on the main thread, before the fire returned";
}

TEST(NotificationCenterShutdownTest, RemoveReleasesAThreadWaitingInFire) {
    ASSERT_EQ(NotificationCenter_Init(), 1);
    g_lines.clear();
    std::atomic<bool> returned{false};
    NotificationCenter_AddObserver("Worker", "Done", &returned, NoteDelivery);
    const int32_t wakesBefore = g_mainWakes.load();
    std::thread worker(
        [&returned] { NotificationCenter_Fire("Worker", "Done", nullptr, nullptr), returned = true; });
    Deadline deadline("a thread waiting in a fire when the centre goes");
    // The hand-over wakes the main thread once the entry is queued.
    while (g_mainWakes.load() == wakesBefore) std::this_thread::yield();
    EXPECT_EQ(NotificationCenter_Remove(), 1);
    worker.join();
    EXPECT_TRUE(returned);
    EXPECT_TRUE(g_lines.empty());
    EventQueue_Flush(nullptr);
    // An object whose last reference drops late (a worker's completion) still unregisters itself.
    EXPECT_EQ(NotificationCenter_RemoveInstanceObserver("Worker", "Done", "late", &returned, NoteDelivery), 1);
}

TEST_F(NotificationCenterTest, DelayedNotificationWaitsForItsTime) {
    NotificationCenter_AddObserver("T", "Later", (void*)"late", Record);
    // Taken before the act: the delay runs from inside it.
    const double queued = Time_GetCurrent();
    NotificationCenter_FireAfterDelay("T", "Later", nullptr, 250, nullptr);
    NotificationCenter_Process();
    // A pass that ended before the delay was over delivered nothing (a stalled one may be later).
    if (Time_GetCurrent() - queued < 0.25) {
        EXPECT_TRUE(g_lines.empty());
    }
    StepUntil([] { return !g_lines.empty(); },
              [] {
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
                  NotificationCenter_Process();
              });
    EXPECT_GE(Time_GetCurrent() - queued, 0.25);
    EXPECT_EQ(g_lines, std::vector<std::string>{"late:T.Later.Global"});
}

// A slow observer. Of the first batch each takes 60 ms and "A" queues "D"; of the second, "a" queues
// two and takes 120 ms, and "b" runs a nested pass, as a modal loop run from an observer would.
int64_t SlowObserver(void* user, const char* type, const char* name, const char* instance, Dictionary* info) {
    Record(user, type, name, instance, info);
    const std::string which(instance);
    if (which == "A") NotificationCenter_FireAfterDelay("T", "N", "D", 0, nullptr);
    for (const char* more : {"m1", "m2"})
        if (which == "a") NotificationCenter_FireAfterDelay("T", "N", more, 0, nullptr);
    if (which == "b") NotificationCenter_Process();
    const int32_t ms = which == "a" ? 120 : which[0] >= 'A' && which[0] <= 'Z' ? 60 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return 1;
}

TEST_F(NotificationCenterTest, PassBudgetKeepsRemainingAheadOfNewOnes) {
    NotificationCenter_AddObserver("T", "N", (void*)"s", SlowObserver);
    for (const char* instance : {"A", "B", "C"})
        NotificationCenter_FireAfterDelay("T", "N", instance, 0, nullptr);
    NotificationCenter_Process();
    EXPECT_EQ(g_lines, (std::vector<std::string>{"s:T.N.A", "s:T.N.B"}));
    for (int32_t i = 0; i < 3 && g_lines.size() < 4; i++) NotificationCenter_Process();
    EXPECT_EQ(g_lines, (std::vector<std::string>{"s:T.N.A", "s:T.N.B", "s:T.N.C", "s:T.N.D"}));
    // A nested pass while the queue grows.
    g_lines.clear();
    for (const char* instance : {"a", "b", "c"})
        NotificationCenter_FireAfterDelay("T", "N", instance, 0, nullptr);
    NotificationCenter_Process();
    NotificationCenter_Process();
    EXPECT_EQ(g_lines, (std::vector<std::string>{"s:T.N.a", "s:T.N.b", "s:T.N.c", "s:T.N.m1", "s:T.N.m2"}));
}

int64_t NoteAddRef(void*, const char*, const char*, const char*, Dictionary* info) {
    uint32_t value = 2;
    Dictionary_GetBooleanByKey(info, "addRef", &value);
    g_lines.push_back("addRef=" + std::to_string(value));
    return 1;
}

// What a script observer is handed, as JSON (the items of the record, without braces around them).
int64_t CaptureRecord(void*, void* argument) {
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetMinify(json, 1);
    JSON_SetDictionaryHandle(json, static_cast<Dictionary*>(argument));
    char text[512] = "";
    uint32_t length = 0;
    JSON_SaveBuffer(json, text, sizeof(text) - 1, &length);
    JSON_Delete(&json);
    g_lines.push_back(std::string(text, length));
    return 1;
}

TEST_F(NotificationCenterTest, ScriptRecordOfARetainedInstance) {
    int32_t users[3];
    InteropExecuteCallback* contexts[3] = {};
    for (int32_t i = 0; i < 3; i++)
        Interop_AddExecuteCallback(
            &contexts[i], &users[i],
            [](void*, InteropExecuteCallback*, const char*, void*) { return int64_t{1}; });
    InteropCallback* bridge = nullptr;
    Interop_AddCallback("page-cb", nullptr, CaptureRecord, &bridge);
    NotificationCenter_AddInteropObserver("task7", nullptr, NoteAddRef);
    NotificationCenter_AddObserver(nullptr, nullptr, bridge,
                                   NotificationCenter_InteropExecuteObserverCallback);
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_SetStringByKey(info, "state", "running");
    NotificationCenter_Fire("Task", "Status", "task7", info);
    Dictionary_Release(&info);
    // Three script contexts: three references, the first and the last announced once each, no
    // release past the last; the "Interop" notification itself never reaches the script observer.
    NotificationCenter_Process();
    for (int32_t i = 0; i < 3; i++) EXPECT_EQ(NotificationCenter_ReleaseInteropReference("task7"), 1);
    EXPECT_EQ(NotificationCenter_ReleaseInteropReference("task7"), 0);
    NotificationCenter_Process();
    // Not retained: no "retained" key, no references.
    NotificationCenter_Fire("Task", "Status", "task8", nullptr);
    EXPECT_EQ(NotificationCenter_ReleaseInteropReference("task8"), 0);
    EXPECT_EQ(g_lines,
              (std::vector<std::string>{
                  "\"type\":\"Task\",\"notification\":\"Status\",\"sender\":\"task7\",\"callbackId\":"
                  "\"page-cb\",\"retained\":true,\"info\":{\"state\":\"running\"}",
                  "addRef=1", "addRef=0",
                  "\"type\":\"Task\",\"notification\":\"Status\",\"sender\":\"task8\",\"callbackId\":"
                  "\"page-cb\",\"info\":{}"}));
    NotificationCenter_RemoveObserver(nullptr, nullptr, bridge,
                                      NotificationCenter_InteropExecuteObserverCallback);
    NotificationCenter_RemoveInteropObserver("task7", nullptr, NoteAddRef);
    Interop_ReleaseCallback(&bridge);
    for (InteropExecuteCallback*& c : contexts) Interop_RemoveExecuteCallback(&c);
}

TEST_F(NotificationCenterTest, ScriptObserversThroughTheBridge) {
    const int32_t before = Interop_GetExecuteQueueCount();
    EXPECT_EQ(NotificationCenter_AddObserverInterop(nullptr, nullptr, "everything"), 1);
    InteropCallback* bridge = nullptr;
    EXPECT_EQ(Interop_GetCallbackById("EVERYTHING", &bridge), 1);
    Interop_ReleaseCallback(&bridge);
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
    NotificationCenter_AddProcessObserver("first", (void*)"a", Record);
    NotificationCenter_AddProcessObserver("second", (void*)"b", Record);
    NotificationCenter_Process();
    NotificationCenter_RemoveProcessObserver("second", (void*)"b", Record);
    NotificationCenter_Process();
    NotificationCenter_Process();
    EXPECT_EQ(g_lines, (std::vector<std::string>{
                           "b:NotificationCenter.Process.second", "a:NotificationCenter.Process.first",
                           "a:NotificationCenter.Process.first", "a:NotificationCenter.Process.first"}));
    NotificationCenter_RemoveProcessObserver("first", (void*)"a", Record);
}

int64_t NoteJson(void*, const char*, const char*, const char*, Dictionary* info) {
    int32_t value = -1;
    if (info) Dictionary_GetInt32ByKey(info, "a", &value);
    g_lines.push_back(std::to_string(value));
    return 1;
}

TEST_F(NotificationCenterTest, JsonFormsAndTheFireHook) {
    NotificationCenter_AddObserver("J", "N", nullptr, NoteJson);
    EXPECT_EQ(NotificationCenter_FireWithJSON("J", "N", nullptr, "{\"a\":%d}", 5), 1);
    EXPECT_EQ(NotificationCenter_FireWithJSONV("J", "N", nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(NotificationCenter_FireInterop("J", "N", nullptr, "{\"a\":7}"), 1);
    EXPECT_NE(NotificationCenter_FireInterop("J", "N", nullptr, "{\"a\":"), 1);
    EXPECT_EQ(NotificationCenter_FireAfterDelayInterop("J", "N", nullptr, 0, "{\"a\":9}"), 1);
    EXPECT_EQ(g_lines, (std::vector<std::string>{"5", "-1", "7"}));
    NotificationCenter_Process();
    // The fire hook takes the call unchanged and answers for it.
    NotificationCenter_FireOverride(
        [](const char*, const char*, const char* instance, Dictionary*) -> int64_t {
            return g_lines.push_back("hook"), instance == nullptr ? 5 : 6;
        });
    EXPECT_EQ(NotificationCenter_Fire("J", "N", nullptr, nullptr), 5);
    NotificationCenter_FireOverride(nullptr);
    EXPECT_EQ(g_lines, (std::vector<std::string>{"5", "-1", "7", "9", "hook"}));
}

// The centre started verbose on a log, with every text it logs kept.
class NotificationCenterLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(Debug_Init(dir.file("nc.log").c_str(), nullptr, DEBUG_FLAG_FILE), 1);
        ASSERT_EQ(NotificationCenter_Init(), 1);
        logged.clear();
        Debug_PrintOverride([](const char* text) -> int64_t { return logged += text, 1; });
        NotificationCenter_SetVerbose(1);
    }
    // Ends the centre and the log; how often each text was logged.
    std::vector<size_t> StopAndCount(std::vector<std::string> texts) {
        NotificationCenter_Remove();
        Debug_PrintOverride(nullptr);
        Debug_Remove();
        std::vector<size_t> counts;
        for (const std::string& text : texts) {
            counts.push_back(0);
            for (size_t at = logged.find(text); at != std::string::npos; at = logged.find(text, at + 1))
                counts.back()++;
        }
        return counts;
    }
    static inline std::string logged;
    TempDir dir;
};

TEST_F(NotificationCenterLogTest, VerboseLinesAndLeftoverObservers) {
    const char* j = "j";
    NotificationCenter_AddInstanceObserver("Task", "Status", "abc", (void*)j, Record);
    NotificationCenter_AddObserver("Pipe", "Read", (void*)j, Record);
    NotificationCenter_Fire("Task", "Status", "abc", nullptr);
    NotificationCenter_RemoveInstanceObserver("Task", "Status", "abc", (void*)j, Record);
    NotificationCenter_FireAfterDelay("Late", "One", nullptr, 100000, nullptr);
    char user[40];
    String_Print(user, sizeof(user), "[0x%p]\n", (void*)j);
    EXPECT_EQ(StopAndCount({std::string("NotificationCenter - Add observer - Task.Status - abc ") + user,
                            "NotificationCenter - Fire event - Task.Status - abc\n",
                            std::string("NotificationCenter - Remove observer - Task.Status - abc ") + user,
                            "NotificationCenter - Skipping pending fire - Late.One - Global\n",
                            "NotificationCenter - Callback not removed Pipe.Read - Global\n",
                            "Callback not removed Task.Status"}),
              (std::vector<size_t>{1, 1, 1, 1, 1, 0}));
}

int64_t QueueTwoMore(void*, const char*, const char*, const char* instance, Dictionary*) {
    for (int i = 0; i < 2 && std::string(instance) == "grow"; i++)
        NotificationCenter_FireAfterDelay("G", "N", "more", 0, nullptr);
    return 1;
}

TEST_F(NotificationCenterLogTest, QueueGrowthIsWarnedOnceAndCounted) {
    NotificationCenter_AddObserver("G", "N", nullptr, QueueTwoMore);
    // One entry that is never due keeps the pass from emptying the queue; the second pass
    // delivers the two queued by the first, and the queue does not grow.
    NotificationCenter_FireAfterDelay("G", "N", "late", 1000000, nullptr);
    for (int pass = 0; pass < 2; pass++) {
        NotificationCenter_FireAfterDelay("G", "N", "grow", 0, nullptr);
        NotificationCenter_Process();
    }
    NotificationCenter_RemoveObserver("G", "N", nullptr, QueueTwoMore);
    EXPECT_EQ(StopAndCount(
                  {"Detected increase of notification center queue while raising notifications may result "
                   "in unresponsive application\n",
                   "Detected increase of notification center queue while raising notifications 1 times\n"}),
              (std::vector<size_t>{1, 1}));
}

TEST(NotificationCenterDeathTest, MisuseAborts) {
    EXPECT_DEATH((BoundedDeathChild(), NotificationCenter_Fire("T", "N", nullptr, nullptr)),
                 AbortRegex("Pointer is NULL\n"))
        << "no centre";
    EXPECT_DEATH(
        (BoundedDeathChild(), NotificationCenter_Init(),
         std::thread([] { NotificationCenter_ProcessEvent(nullptr); }).join()),
        AbortRegex(
            "Assertion failed (Thread_GetMainId() == Thread_GetCurrentId())\nFunction not on main thread"));
}

} // namespace
