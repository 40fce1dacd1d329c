#include "core/runtime/event_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "tests/support/abort_hook.h"
#include "tests/support/temp_dir.h"

namespace {

class EventQueueEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(Thread_Init(), 1);
    }
    void TearDown() override { EXPECT_EQ(Thread_Remove(), 1); }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new EventQueueEnvironment);

struct QueueHolder {
    EventQueue* queue = nullptr;
    QueueHolder() { EventQueue_Create(&queue); }
    ~QueueHolder() {
        if (queue) EventQueue_Release(&queue);
    }
};

// What the callbacks saw, in order.
struct Journal {
    std::vector<std::string> entries;
    EventQueue* queue = nullptr;
    int32_t addsLeft = 0;
    int32_t nestedResult = -1;
};

void Record(void* instance, void* payload) {
    static_cast<Journal*>(instance)->entries.push_back(std::string("run:") +
                                                       static_cast<const char*>(payload));
}

void RecordCleanup(void* instance, void* payload) {
    static_cast<Journal*>(instance)->entries.push_back(std::string("clean:") +
                                                       static_cast<const char*>(payload));
}

void AddText(EventQueue* queue, Journal* journal, const char* text) {
    EventQueue_Add(queue, journal, text, (uint32_t)strlen(text) + 1, Record);
}

TEST(EventQueue, CreateGivesAnEmptyQueueOwnedByTheCreator) {
    EventQueue* queue = nullptr;
    ASSERT_EQ(EventQueue_Create(&queue), 1);
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(reinterpret_cast<Class*>(queue)->ClassId, (uint32_t)EVENTQUEUE_CLASS_ID);
    EXPECT_EQ(reinterpret_cast<Class*>(queue)->RefCount, 1u);
    EXPECT_EQ(EventQueue_Flush(queue), 1);
    EXPECT_EQ(EventQueue_SetName(queue, "A name longer than thirty-one characters is cut"), 1);
    EventQueue* second = EventQueue_AddRef(queue);
    EXPECT_EQ(second, queue);
    EXPECT_EQ(EventQueue_Release(&second), 1u);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(EventQueue_Release(&queue), 0u);
    EXPECT_EQ(queue, nullptr);
    EXPECT_EQ(EventQueue_Release(&queue), 0u);
}

TEST(EventQueue, FlushRunsEventsInOrderWithCopiedPayloads) {
    QueueHolder h;
    Journal journal;
    char text[8] = "first";
    AddText(h.queue, &journal, text);
    strcpy(text, "changed"); // the queue holds its own copy
    AddText(h.queue, &journal, "second");
    EventQueue_AddComplexEvent(h.queue, &journal, "third", 6, Record, RecordCleanup);
    EventQueue_Add(h.queue, &journal, nullptr, 0, nullptr); // no callback: nothing runs
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    const std::vector<std::string> expected = {"run:first", "run:second", "run:third", "clean:third"};
    EXPECT_EQ(journal.entries, expected);
    journal.entries.clear();
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_TRUE(journal.entries.empty());
}

void CheckFullPayload(void* instance, void* payload) {
    auto* seen = static_cast<std::vector<uint8_t>*>(instance);
    seen->assign(static_cast<uint8_t*>(payload), static_cast<uint8_t*>(payload) + EVENTQUEUE_MAXPAYLOADSIZE);
}

TEST(EventQueue, SixtyFourBytePayloadIsAccepted) {
    QueueHolder h;
    uint8_t payload[EVENTQUEUE_MAXPAYLOADSIZE];
    for (uint32_t i = 0; i < sizeof(payload); i++) payload[i] = (uint8_t)(i * 7 + 1);
    std::vector<uint8_t> seen;
    EXPECT_EQ(EventQueue_Add(h.queue, &seen, payload, sizeof(payload), CheckFullPayload), 1);
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(seen, std::vector<uint8_t>(payload, payload + sizeof(payload)));
}

TEST(EventQueue, DeleteRunsCleanUpsButNoCallbacks) {
    Journal journal;
    EventQueue* queue = nullptr;
    EventQueue_Create(&queue);
    AddText(queue, &journal, "plain");
    EventQueue_AddComplexEvent(queue, &journal, "a", 2, Record, RecordCleanup);
    EventQueue_AddComplexEvent(queue, &journal, "b", 2, nullptr, RecordCleanup);
    EventQueue* second = EventQueue_AddRef(queue);
    EXPECT_EQ(EventQueue_Release(&second), 1u);
    EXPECT_TRUE(journal.entries.empty());
    EXPECT_EQ(EventQueue_Release(&queue), 0u);
    const std::vector<std::string> expected = {"clean:a", "clean:b"};
    EXPECT_EQ(journal.entries, expected);
}

void AddAnother(void* instance, void* payload) {
    Journal* journal = static_cast<Journal*>(instance);
    journal->entries.push_back(std::string("run:") + static_cast<const char*>(payload));
    if (journal->addsLeft-- > 0) EventQueue_Add(journal->queue, journal, "again", 6, AddAnother);
    // A flush from inside one of the queue's own callbacks runs nothing.
    journal->nestedResult = (int32_t)EventQueue_Flush(journal->queue);
}

// An event added by a callback waits for the next flush, which reports the queue not empty.
TEST(EventQueue, EventsAddedWhileFlushingRunOnTheNextPass) {
    QueueHolder h;
    Journal journal;
    journal.queue = h.queue;
    journal.addsLeft = 2;
    EventQueue_Add(h.queue, &journal, "one", 4, AddAnother);
    EXPECT_EQ(EventQueue_Flush(h.queue), 0);
    EXPECT_EQ(journal.entries, std::vector<std::string>{"run:one"});
    EXPECT_EQ(journal.nestedResult, 0);
    EventQueue_Add(h.queue, &journal, "two", 4, Record);
    // The event from the callback keeps its place ahead of the later one.
    EXPECT_EQ(EventQueue_Flush(h.queue), 0);
    const std::vector<std::string> second = {"run:one", "run:again", "run:two"};
    EXPECT_EQ(journal.entries, second);
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(journal.entries.size(), 4u);
    EXPECT_EQ(journal.entries.back(), "run:again");
}

void SlowEvent(void* instance, void* payload) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    Record(instance, payload);
}

// Ten events of 30 ms each cannot all run within one flush's budget of 0.1 s; what is left
// runs on later passes in the order it was added.
TEST(EventQueue, FlushStopsAtItsBudgetAndKeepsTheOrder) {
    QueueHolder h;
    Journal journal;
    const char* names[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
    for (const char* name : names) EventQueue_Add(h.queue, &journal, name, 2, SlowEvent);
    EXPECT_EQ(EventQueue_Flush(h.queue), 0);
    EXPECT_GE(journal.entries.size(), 1u);
    EXPECT_LT(journal.entries.size(), 10u);
    int32_t passes = 1;
    while (!EventQueue_Flush(h.queue) && passes < 100) passes++;
    ASSERT_EQ(journal.entries.size(), 10u);
    for (size_t i = 0; i < 10; i++) EXPECT_EQ(journal.entries[i], std::string("run:") + names[i]);
}

struct Tally {
    std::mutex lock;
    std::vector<int32_t> lastSeen;
    int32_t outOfOrder = 0;
    int32_t ran = 0;
};

void CountInOrder(void* instance, void* payload) {
    Tally* tally = static_cast<Tally*>(instance);
    int32_t producer = 0, index = 0;
    memcpy(&producer, payload, 4);
    memcpy(&index, static_cast<uint8_t*>(payload) + 4, 4);
    if (tally->lastSeen[producer] + 1 != index) tally->outOfOrder++;
    tally->lastSeen[producer] = index;
    tally->ran++;
}

// Producers on other threads add while the owner flushes; every event runs once, each
// producer's events in the order they were added.
TEST(EventQueue, ConcurrentAddersWhileTheOwnerFlushes) {
    QueueHolder h;
    constexpr int32_t kProducers = 6;
    constexpr int32_t kEvents = 2000;
    Tally tally;
    tally.lastSeen.assign(kProducers, -1);
    std::atomic<int32_t> done{0};
    std::vector<std::thread> producers;
    for (int32_t p = 0; p < kProducers; p++)
        producers.emplace_back([&, p] {
            for (int32_t i = 0; i < kEvents; i++) {
                int32_t payload[2] = {p, i};
                EventQueue_Add(h.queue, &tally, payload, sizeof(payload), CountInOrder);
            }
            done++;
        });
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((done.load() < kProducers || !EventQueue_Flush(h.queue)) &&
           std::chrono::steady_clock::now() < end) {
    }
    for (auto& t : producers) t.join();
    EventQueue_Flush(h.queue);
    EXPECT_EQ(tally.ran, kProducers * kEvents);
    EXPECT_EQ(tally.outOfOrder, 0);
}

struct Wakes {
    std::mutex lock;
    std::vector<std::pair<uint32_t, uint32_t>> calls;
};
Wakes g_wakes;

void RecordWake(uint32_t threadId, uint32_t isEvent) {
    std::lock_guard<std::mutex> guard(g_wakes.lock);
    g_wakes.calls.emplace_back(threadId, isEvent);
}

// The main thread has no thread record: an event for its queue wakes it as an event signal.
TEST(EventQueue, AddingWakesTheOwnerThread) {
    QueueHolder h;
    Journal journal;
    while (Thread_Wait(0)) {
    }
    g_wakes.calls.clear();
    Thread_SetUnhandledSignal(RecordWake);
    std::thread other([&] { AddText(h.queue, &journal, "x"); });
    other.join();
    Thread_SetUnhandledSignal(nullptr);
    EXPECT_EQ(Thread_Wait(0), 1);
    ASSERT_EQ(g_wakes.calls.size(), 1u);
    EXPECT_EQ(g_wakes.calls[0], std::make_pair(Thread_GetCurrentId(), 1u));
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(journal.entries, std::vector<std::string>{"run:x"});
}

TEST(EventQueue, OwnerCanBeHandedToAnotherThread) {
    QueueHolder h;
    Journal journal;
    AddText(h.queue, &journal, "moved");
    int64_t result = -1;
    std::thread other([&] {
        EventQueue_SetThreadId(h.queue, Thread_GetCurrentId());
        result = EventQueue_Flush(h.queue);
    });
    other.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(journal.entries, std::vector<std::string>{"run:moved"});
}

TEST(EventQueueDeathTest, MisuseAborts) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            QueueHolder h;
            uint8_t payload[EVENTQUEUE_MAXPAYLOADSIZE + 1] = {};
            EventQueue_Add(h.queue, nullptr, payload, sizeof(payload), nullptr);
        },
        AbortRegex("Assertion failed (sizeof(EventQueueEventStruct) + InternalEventSize <= "
                   "EVENTQUEUE_MAXEVENTSIZE)\nEvent exceed max size"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            QueueHolder h;
            std::thread other([&] { EventQueue_Flush(h.queue); });
            other.join();
        },
        AbortRegex("Assertion failed (Thread_GetCurrentId() == EventQueue->ThreadId)\n"
                   "Unable to flush event queue on invalid thread"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            EventQueue_Flush(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            QueueHolder h;
            EventQueue_Add(h.queue, nullptr, nullptr, 4, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Class fake = {};
            fake.ClassId = 0xABCD;
            EventQueue_Flush(reinterpret_cast<EventQueue*>(&fake));
        },
        "ABORT - Class mismatch pointer \\(0x[0-9A-F]{16}: expected 0xc97be418 but was 0x0000abcd\\)");
}

// ---------------------------------------------------------------------------------------------
// The global queue, unique, delayed and process events, removal, growth and the thread's end.

// Polls until the condition holds or 30 seconds pass; a generous bound, not a timing.
template <typename F> bool WaitFor(F condition) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A worker's loop: sleep until woken or 5 ms pass, then run the queue.
uint32_t EventLoop(void*) {
    while (!Thread_WaitForExit(0)) {
        Thread_Wait(5);
        Thread_Tick();
    }
    return 0;
}

// A worker thread running EventLoop, with its queue.
struct Worker {
    Thread* thread = nullptr;
    uint32_t id = 0;
    EventQueue* queue = nullptr;
    Worker() {
        EXPECT_EQ(Thread_Begin(&thread, nullptr, EventLoop), 1);
        id = Thread_GetId(thread);
        queue = Thread_GetEventQueueHandle(id);
        EXPECT_NE(queue, nullptr);
    }
    ~Worker() {
        EventQueue_Release(&queue);
        Thread_SignalExit(id);
        EXPECT_EQ(Thread_Join(-1, &thread), 1);
    }
};

int64_t SameText(void* instance, const void* payload, void* pendingInstance, const void* pendingPayload) {
    return instance == pendingInstance &&
           strcmp(static_cast<const char*>(payload), static_cast<const char*>(pendingPayload)) == 0;
}

int64_t AddUniqueText(EventQueue* queue, Journal* journal, const char* text,
                      EventQueueCompareCallback compare = SameText) {
    return EventQueue_AddUnique(queue, journal, text, (uint32_t)strlen(text) + 1, Record, compare);
}

TEST(EventQueue, InitCreatesTheGlobalQueueThatHandleZeroNames) {
    ASSERT_EQ(EventQueue_Init(), 1);
    EventQueue* global = EventQueue_GetInstance(nullptr);
    ASSERT_NE(global, nullptr);
    EXPECT_EQ(reinterpret_cast<Class*>(global)->ClassId, (uint32_t)EVENTQUEUE_CLASS_ID);
    EXPECT_EQ(EventQueue_Init(), 1);
    EXPECT_EQ(EventQueue_GetInstance(nullptr), global);
    EXPECT_EQ(EventQueue_GetInstance(global), global);
    EventQueue* reference = EventQueue_AddRef(nullptr);
    EXPECT_EQ(reference, global);
    EXPECT_EQ(EventQueue_Release(&reference), 1u);

    // Queues are not tracked: the instance id is empty.
    char id[48];
    memset(id, 'x', sizeof(id));
    EXPECT_EQ(EventQueue_GetInstanceId(nullptr, id, (int32_t)sizeof(id)), 1);
    EXPECT_STREQ(id, "");
    EXPECT_EQ(EventQueue_GetInstanceId(nullptr, id, 0), 0);

    Journal journal;
    AddText(nullptr, &journal, "global");
    EXPECT_EQ(EventQueue_AddProcess(
                  nullptr, &journal,
                  [](void* instance) { static_cast<Journal*>(instance)->entries.push_back("process"); }),
              1);
    EXPECT_EQ(EventQueue_Flush(nullptr), 1);
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"run:global", "process"}));
    EXPECT_EQ(EventQueue_Remove(), 1);
    EXPECT_EQ(EventQueue_Remove(), 1);
}

// A unique add merges with the first equal pending event; the merged event keeps its place.
TEST(EventQueue, UniqueEventsMergeWithAnEqualPendingOne) {
    QueueHolder h;
    Journal journal, other;
    EXPECT_EQ(AddUniqueText(h.queue, &journal, "a"), 1);
    AddText(h.queue, &journal, "b");
    EXPECT_EQ(AddUniqueText(h.queue, &journal, "a"), 0);
    EXPECT_EQ(AddUniqueText(h.queue, &journal, "c"), 1);
    EXPECT_EQ(AddUniqueText(h.queue, &other, "a"), 1);
    EXPECT_EQ(AddUniqueText(h.queue, &journal, "a", nullptr), 1); // without a compare function
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"run:a", "run:b", "run:c", "run:a"}));
    EXPECT_EQ(other.entries, std::vector<std::string>{"run:a"});
    // Once run, the same event is queued again.
    EXPECT_EQ(AddUniqueText(h.queue, &journal, "a"), 1);
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(journal.entries.size(), 5u);
}

TEST(EventQueue, MergingCanOnlyMakeAPendingEventDueEarlier) {
    QueueHolder h;
    Journal journal;
    const double now = Time_GetCurrent();
    EXPECT_EQ(EventQueue_AddTime(h.queue, &journal, "late", 5, Record, now + 3600), 1);
    EXPECT_EQ(EventQueue_AddTime(h.queue, &journal, "early", 6, Record, now - 10), 1);
    // Due now, later than the pending one: that one stays as it is.
    EXPECT_EQ(AddUniqueText(h.queue, &journal, "early"), 0);
    EXPECT_EQ(EventQueue_Flush(h.queue), 0);
    EXPECT_EQ(journal.entries, std::vector<std::string>{"run:early"});
    // Due now, earlier than the pending one: that one becomes due.
    EXPECT_EQ(AddUniqueText(h.queue, &journal, "late"), 0);
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"run:early", "run:late"}));
}

// The owner is the main thread here: its wake signal shows which adds woke it.
TEST(EventQueue, DueAddsWakeTheOwnerDelayedOnesDoNot) {
    QueueHolder h;
    Journal journal;
    while (Thread_Wait(0)) {
    }
    EXPECT_EQ(EventQueue_AddDelay(h.queue, &journal, "x", 2, Record, 3600), 1);
    EXPECT_EQ(Thread_Wait(0), 0);
    // The merge makes the delayed event due; nothing else would wake the owner for it.
    EXPECT_EQ(AddUniqueText(h.queue, &journal, "x"), 0);
    EXPECT_EQ(Thread_Wait(0), 1);
    EXPECT_EQ(EventQueue_AddDelay(h.queue, &journal, "y", 2, Record, -1), 1);
    EXPECT_EQ(Thread_Wait(0), 1);
    EXPECT_EQ(EventQueue_AddTime(h.queue, &journal, "z", 2, Record, Time_GetCurrent() - 1), 1);
    EXPECT_EQ(Thread_Wait(0), 1);
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"run:x", "run:y", "run:z"}));
}

// A removed instance's event never runs its callback, so a request merged into it would be lost.
TEST(EventQueue, DisarmedEventsAreNoMergeTargets) {
    QueueHolder h;
    Journal journal;
    EXPECT_EQ(AddUniqueText(h.queue, &journal, "u"), 1);
    EXPECT_EQ(EventQueue_RemoveInstance(h.queue, &journal), 1);
    EXPECT_EQ(AddUniqueText(h.queue, &journal, "u"), 1);
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(journal.entries, std::vector<std::string>{"run:u"});
}

struct Reentry {
    EventQueue* queue = nullptr;
    std::vector<int64_t> results;
    int32_t runs = 0;
};

void AddSelfUnique(void* instance, void*) {
    Reentry* reentry = static_cast<Reentry*>(instance);
    if (++reentry->runs == 1)
        reentry->results.push_back(
            EventQueue_AddUnique(reentry->queue, reentry, "s", 2, AddSelfUnique, SameText));
}

// The event being run belongs to the flush, not to the pending list: an equal add is queued.
TEST(EventQueue, EventsOfARunningFlushAreNotCompared) {
    QueueHolder h;
    Reentry reentry;
    reentry.queue = h.queue;
    EXPECT_EQ(EventQueue_AddUnique(h.queue, &reentry, "s", 2, AddSelfUnique, SameText), 1);
    EXPECT_EQ(EventQueue_Flush(h.queue), 0);
    EXPECT_EQ(reentry.results, std::vector<int64_t>{1});
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(reentry.runs, 2);
}

struct ProcessCounts {
    int32_t a = 0;
    int32_t b = 0;
};
void ProcessA(void* instance) {
    static_cast<ProcessCounts*>(instance)->a++;
}
void ProcessB(void* instance) {
    static_cast<ProcessCounts*>(instance)->b++;
}

TEST(EventQueue, ProcessEventsRunOncePerInstanceAndFunction) {
    QueueHolder h;
    ProcessCounts one, two;
    EXPECT_EQ(EventQueue_AddProcess(h.queue, &one, ProcessA), 1);
    EXPECT_EQ(EventQueue_AddProcess(h.queue, &one, ProcessA), 0);
    EXPECT_EQ(EventQueue_AddProcess(h.queue, &one, ProcessA), 0);
    EXPECT_EQ(EventQueue_AddProcess(h.queue, &one, ProcessB), 1);
    EXPECT_EQ(EventQueue_AddProcess(h.queue, &two, ProcessA), 1);
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(one.a, 1);
    EXPECT_EQ(one.b, 1);
    EXPECT_EQ(two.a, 1);
    EXPECT_EQ(two.b, 0);
    EXPECT_EQ(EventQueue_AddProcess(h.queue, &one, ProcessA), 1);
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(one.a, 2);
}

// The process payload: the tag, then the function, 16 bytes.
struct ProcessBytes {
    uint32_t tag;
    uint32_t unused;
    EventQueueProcessFunc function;
};

TEST(EventQueue, ProcessCompareAndRunCheckTheTag) {
    ProcessCounts one, two;
    const ProcessBytes a = {EVENTQUEUE_PROCESS_TAG, 0, ProcessA};
    const ProcessBytes b = {EVENTQUEUE_PROCESS_TAG, 0, ProcessB};
    const ProcessBytes wrongTag = {0x74495CC3, 0, ProcessA};
    struct Case {
        void* instance;
        const ProcessBytes* payload;
        void* pendingInstance;
        const ProcessBytes* pendingPayload;
        int64_t equal;
    };
    const Case cases[] = {
        {&one, &a, &one, &a, 1},        {&one, &a, &two, &a, 0},
        {&one, &a, &one, &b, 0},        {&one, &wrongTag, &one, &wrongTag, 0},
        {&one, &a, &one, &wrongTag, 0}, {&one, &wrongTag, &one, &a, 0},
        {&one, nullptr, &one, &a, 0},   {&one, &a, &one, nullptr, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(EventQueue_ProcessCompare(c.instance, c.payload, c.pendingInstance, c.pendingPayload),
                  c.equal)
            << (&c - cases);

    ProcessBytes run = wrongTag;
    EventQueue_ProcessRun(&one, &run);
    EventQueue_ProcessRun(&one, nullptr);
    EXPECT_EQ(one.a, 0);
    run = a;
    EventQueue_ProcessRun(&one, &run);
    EXPECT_EQ(one.a, 1);
}

TEST(EventQueue, ADelayedEventWaitsForItsTime) {
    QueueHolder h;
    Journal journal;
    const double start = Time_GetCurrent();
    EXPECT_EQ(EventQueue_AddDelay(h.queue, &journal, "later", 6, Record, 1.0), 1);
    AddText(h.queue, &journal, "now");
    EXPECT_EQ(EventQueue_Flush(h.queue), 0);
    EXPECT_EQ(journal.entries, std::vector<std::string>{"run:now"});
    EXPECT_EQ(EventQueue_Flush(h.queue), 0);
    ASSERT_TRUE(WaitFor([&] { return EventQueue_Flush(h.queue) == 1; }));
    EXPECT_GE(Time_GetCurrent() - start, 0.999);
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"run:now", "run:later"}));
}

// Events due at once run in the order they were added; one not yet due keeps its place.
TEST(EventQueue, EventsDueTogetherRunInTheOrderTheyWereAdded) {
    QueueHolder h;
    Journal journal;
    const double now = Time_GetCurrent();
    EventQueue_AddTime(h.queue, &journal, "future", 7, Record, now + 3600);
    EventQueue_AddTime(h.queue, &journal, "past2", 6, Record, now - 2);
    AddText(h.queue, &journal, "now");
    EventQueue_AddTime(h.queue, &journal, "past1", 6, Record, now - 1);
    EventQueue_AddDelay(h.queue, &journal, "zero", 5, Record, 0);
    EXPECT_EQ(EventQueue_Flush(h.queue), 0);
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"run:past2", "run:now", "run:past1", "run:zero"}));
    AddText(h.queue, &journal, "next");
    EXPECT_EQ(EventQueue_Flush(h.queue), 0);
    EXPECT_EQ(journal.entries.back(), "run:next");
    // Removal disarms the future event: the next flush frees it without running it.
    EXPECT_EQ(EventQueue_RemoveInstance(h.queue, &journal), 1);
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(journal.entries.size(), 5u);
}

struct Timed {
    std::mutex lock;
    std::vector<std::pair<std::string, double>> runs;
    std::atomic<int32_t> wrongThread{0};
    std::atomic<int32_t> early{0};
    uint32_t owner = 0;
};

struct TimedPayload {
    char name[8];
    double notBefore;
};

void RecordTimed(void* instance, void* payload) {
    Timed* timed = static_cast<Timed*>(instance);
    TimedPayload p;
    memcpy(&p, payload, sizeof(p));
    const double now = Time_GetCurrent();
    if (now < p.notBefore) timed->early++;
    if (Thread_GetCurrentId() != timed->owner) timed->wrongThread++;
    std::lock_guard<std::mutex> guard(timed->lock);
    timed->runs.emplace_back(p.name, now);
}

void AddTimed(EventQueue* queue, Timed* timed, const char* name, double delay) {
    TimedPayload p = {};
    strncpy(p.name, name, sizeof(p.name) - 1);
    p.notBefore = Time_GetCurrent() + delay;
    EventQueue_AddDelay(queue, timed, &p, sizeof(p), RecordTimed, delay);
}

// On a worker thread that polls its queue, delayed events run in the order they fall due,
// never before their time.
TEST(EventQueue, DelayedEventsRunOnTheOwnerInTheOrderTheyFallDue) {
    Worker worker;
    Timed timed;
    timed.owner = worker.id;
    AddTimed(worker.queue, &timed, "c", 1.0);
    AddTimed(worker.queue, &timed, "a", 0.2);
    AddTimed(worker.queue, &timed, "b", 0.6);
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> guard(timed.lock);
        return timed.runs.size() == 3;
    }));
    EXPECT_EQ(timed.runs[0].first, "a");
    EXPECT_EQ(timed.runs[1].first, "b");
    EXPECT_EQ(timed.runs[2].first, "c");
    EXPECT_EQ(timed.early.load(), 0);
    EXPECT_EQ(timed.wrongThread.load(), 0);
}

// Many threads add delayed events at once; each runs once, on the owner, not before its time.
TEST(EventQueue, DelayedEventsFromManyThreads) {
    Worker worker;
    Timed timed;
    timed.owner = worker.id;
    constexpr int32_t kProducers = 6;
    constexpr int32_t kEvents = 100;
    std::vector<std::thread> producers;
    for (int32_t p = 0; p < kProducers; p++)
        producers.emplace_back([&, p] {
            for (int32_t i = 0; i < kEvents; i++)
                AddTimed(worker.queue, &timed, "d", 0.001 * ((p * 7 + i) % 50));
        });
    for (auto& t : producers) t.join();
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> guard(timed.lock);
        return timed.runs.size() == (size_t)(kProducers * kEvents);
    }));
    EXPECT_EQ(timed.early.load(), 0);
    EXPECT_EQ(timed.wrongThread.load(), 0);
}

void SleepyRecord(void* instance, void* payload) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Record(instance, payload);
}

TEST(EventQueue, FlushTimeoutBoundsEachPass) {
    QueueHolder h;
    Journal journal;
    EXPECT_EQ(EventQueue_SetFlushTimeout(h.queue, 0.001), 1);
    for (const char* name : {"1", "2", "3"}) EventQueue_Add(h.queue, &journal, name, 2, SleepyRecord);
    EXPECT_EQ(EventQueue_Flush(h.queue), 0);
    EXPECT_EQ(journal.entries.size(), 1u);
    EXPECT_EQ(EventQueue_Flush(h.queue), 0);
    EXPECT_EQ(journal.entries.size(), 2u);
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"run:1", "run:2", "run:3"}));
    // 0 means the default of 0.1 s, ample for three events of 5 ms.
    EXPECT_EQ(EventQueue_SetFlushTimeout(h.queue, 0), 1);
    for (const char* name : {"4", "5", "6"}) EventQueue_Add(h.queue, &journal, name, 2, SleepyRecord);
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(journal.entries.size(), 6u);
}

TEST(EventQueue, RemoveInstanceRunsOnlyCleanUps) {
    QueueHolder h;
    Journal journal, other;
    EventQueue_AddComplexEvent(h.queue, &journal, "a", 2, Record, RecordCleanup);
    EventQueue_AddDelay(h.queue, &journal, "d", 2, Record, 3600);
    AddText(h.queue, &other, "keep");
    EventQueue_AddComplexEvent(h.queue, &journal, "b", 2, Record, RecordCleanup);
    EXPECT_EQ(EventQueue_RemoveInstance(h.queue, &journal), 1);
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"clean:a", "clean:b"}));
    EXPECT_EQ(other.entries, std::vector<std::string>{"run:keep"});
}

struct Remover {
    EventQueue* queue = nullptr;
    void* victim = nullptr;
};

void RemoveVictim(void* instance, void*) {
    Remover* remover = static_cast<Remover*>(instance);
    EventQueue_RemoveInstance(remover->queue, remover->victim);
}

// On the owner, inside a callback: the not yet handled events of the running flush are
// disarmed too.
TEST(EventQueue, RemoveInstanceFromACallbackDisarmsTheRestOfTheFlush) {
    QueueHolder h;
    Journal journal;
    Remover remover;
    remover.queue = h.queue;
    remover.victim = &journal;
    EventQueue_AddComplexEvent(h.queue, &journal, "1", 2, Record, RecordCleanup);
    EventQueue_Add(h.queue, &remover, nullptr, 0, RemoveVictim);
    EventQueue_AddComplexEvent(h.queue, &journal, "2", 2, Record, RecordCleanup);
    EXPECT_EQ(EventQueue_Flush(h.queue), 1);
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"run:1", "clean:1", "clean:2"}));
}

struct Victim {
    std::atomic<int32_t> runs{0};
    std::atomic<int32_t> cleanups{0};
    std::atomic<int32_t> removed{0};
    std::atomic<int32_t> lateRuns{0};
};

void VictimRun(void* instance, void*) {
    Victim* victim = static_cast<Victim*>(instance);
    victim->runs++;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    if (victim->removed.load()) victim->lateRuns++;
}

void VictimCleanup(void* instance, void*) {
    static_cast<Victim*>(instance)->cleanups++;
}

// Removal on another thread while the owner flushes: once it returns, no callback of the
// instance runs or is still running; every event is still freed through its clean-up.
TEST(EventQueue, RemoveInstanceFromAnotherThreadWhileTheOwnerFlushes) {
    for (int32_t round = 0; round < 3; round++) {
        Worker worker;
        Victim victim;
        constexpr int32_t kEvents = 400;
        std::thread producer([&] {
            for (int32_t i = 0; i < kEvents; i++)
                EventQueue_AddComplexEvent(worker.queue, &victim, nullptr, 0, VictimRun, VictimCleanup);
        });
        ASSERT_TRUE(WaitFor([&] { return victim.runs.load() >= 10 * (round + 1); }));
        std::thread remover([&] {
            EventQueue_RemoveInstance(worker.queue, &victim);
            victim.removed = 1;
        });
        remover.join();
        producer.join();
        // Events the producer added after the removal run normally; disarm them too.
        EventQueue_RemoveInstance(worker.queue, &victim);
        victim.removed = 1;
        ASSERT_TRUE(WaitFor([&] { return victim.cleanups.load() == kEvents; }));
        EXPECT_EQ(victim.lateRuns.load(), 0) << "round " << round;
        EXPECT_LE(victim.runs.load(), kEvents);
    }
}

struct Contended {
    std::atomic<int32_t> runs{0};
    std::atomic<int32_t> running{0};
    std::atomic<int32_t> overlap{0};
    std::atomic<int32_t> wrongThread{0};
    uint32_t owner = 0;
};

void ContendedRun(void* instance) {
    Contended* c = static_cast<Contended*>(instance);
    if (c->running++ != 0) c->overlap++;
    if (Thread_GetCurrentId() != c->owner) c->wrongThread++;
    c->runs++;
    c->running--;
}

struct Gate {
    std::atomic<int32_t> blocked{0};
    std::atomic<int32_t> open{0};
};

void WaitAtGate(void* instance, void*) {
    Gate* gate = static_cast<Gate*>(instance);
    gate->blocked = 1;
    WaitFor([&] { return gate->open.load() == 1; });
}

// Process events added from many threads at once: while one is pending every other add merges
// into it; each add that queued runs exactly once, on the owner, never two at a time.
TEST(EventQueue, CoalescingUnderContention) {
    Worker worker;
    Contended c;
    c.owner = worker.id;
    constexpr int32_t kProducers = 8;
    std::atomic<int32_t> queued{0};
    auto produce = [&](int32_t count) {
        std::vector<std::thread> producers;
        for (int32_t p = 0; p < kProducers; p++)
            producers.emplace_back([&] {
                for (int32_t i = 0; i < count; i++)
                    queued += (int32_t)EventQueue_AddProcess(worker.queue, &c, ContendedRun);
            });
        for (auto& t : producers) t.join();
    };

    // The owner is held inside a callback, so the first process event stays pending.
    Gate gate;
    EventQueue_Add(worker.queue, &gate, nullptr, 0, WaitAtGate);
    ASSERT_TRUE(WaitFor([&] { return gate.blocked.load() == 1; }));
    produce(500);
    EXPECT_EQ(queued.load(), 1);
    gate.open = 1;
    ASSERT_TRUE(WaitFor([&] { return c.runs.load() == 1; }));

    produce(2000);
    ASSERT_TRUE(WaitFor([&] { return c.runs.load() == queued.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(c.runs.load(), queued.load());
    EXPECT_EQ(c.overlap.load(), 0);
    EXPECT_EQ(c.wrongThread.load(), 0);
}

struct Where {
    std::atomic<uint32_t> thread{0};
    std::atomic<int32_t> runs{0};
};

void NoteThread(void* instance) {
    Where* where = static_cast<Where*>(instance);
    where->thread = Thread_GetCurrentId();
    where->runs++;
}

TEST(EventQueue, ByThreadIdReachesThatThreadsQueueOrTheGlobalOne) {
    Worker worker;
    Where onWorker;
    EXPECT_EQ(EventQueue_AddProcessByThreadId(worker.id, &onWorker, NoteThread), 1);
    ASSERT_TRUE(WaitFor([&] { return onWorker.runs.load() == 1; }));
    EXPECT_EQ(onWorker.thread.load(), worker.id);
    EXPECT_EQ(EventQueue_RemoveInstanceByThreadId(worker.id, &onWorker), 1);

    Where nowhere;
    EXPECT_EQ(EventQueue_AddProcessByThreadId(0x7FFFFFF0, &nowhere, NoteThread), 0);
    EXPECT_EQ(EventQueue_RemoveInstanceByThreadId(0x7FFFFFF0, &nowhere), 0);
    // Without the global queue there is nothing to remove from for the main thread.
    EXPECT_EQ(EventQueue_RemoveInstanceByThreadId(Thread_GetMainId(), &nowhere), 0);

    ASSERT_EQ(EventQueue_Init(), 1);
    Where onMain;
    EXPECT_EQ(EventQueue_AddProcessByThreadId(Thread_GetMainId(), &onMain, NoteThread), 1);
    EXPECT_EQ(EventQueue_AddProcessByThreadId(Thread_GetMainId(), &onMain, NoteThread), 0);
    EXPECT_EQ(EventQueue_Flush(nullptr), 1);
    EXPECT_EQ(onMain.runs.load(), 1);
    EXPECT_EQ(onMain.thread.load(), Thread_GetMainId());
    EXPECT_EQ(EventQueue_AddProcessByThreadId(Thread_GetMainId(), &onMain, NoteThread), 1);
    EXPECT_EQ(EventQueue_RemoveInstanceByThreadId(Thread_GetMainId(), &onMain), 1);
    EXPECT_EQ(EventQueue_Flush(nullptr), 1);
    EXPECT_EQ(onMain.runs.load(), 1);
    EXPECT_EQ(EventQueue_Remove(), 1);
}

std::vector<std::string> g_printed;
void CapturePrint(const char* text) {
    g_printed.push_back(text);
}

int32_t CountPrinted(const std::string& text) {
    int32_t count = 0;
    for (const std::string& line : g_printed) count += line == text;
    return count;
}

struct Grower {
    EventQueue* queue = nullptr;
    int32_t addsPerRun = 0;
    int32_t addsLeft = 0;
    int32_t sleepMs = 0;
    int32_t runs = 0;
};

void Grow(void* instance, void*) {
    Grower* grower = static_cast<Grower*>(instance);
    grower->runs++;
    // Events added after a pause fall due after the flush's noted time.
    if (grower->sleepMs) std::this_thread::sleep_for(std::chrono::milliseconds(grower->sleepMs));
    for (int32_t i = 0; i < grower->addsPerRun && grower->addsLeft > 0; i++, grower->addsLeft--)
        EventQueue_Add(grower->queue, grower, nullptr, 0, Grow);
}

// A queue that holds more events after a flush than the flush took has grown while flushing:
// the first time is reported, every time is counted, and up to half as many events as were
// taken run at once, without a budget, to catch up.
TEST(EventQueue, GrowthWhileFlushingIsReportedOnceAndCaughtUpOn) {
    TempDir dir;
    ASSERT_EQ(Debug_Init(dir.file("events.log").c_str(), nullptr, 0x800), 1);
    Debug_PrintCallback(CapturePrint);
    ASSERT_EQ(EventQueue_Init(), 1);
    const std::string growing =
        "WARNING - Detected an increase of event queue [Global] while flushing events. "
        "This may result in an unresponsive application\n";
    g_printed.clear();

    // One new event per event run is no growth: the new ones simply wait for the next pass.
    Grower steady;
    steady.addsPerRun = 1;
    steady.addsLeft = 3;
    EventQueue_Add(nullptr, &steady, nullptr, 0, Grow);
    EXPECT_EQ(EventQueue_Flush(nullptr), 0);
    EXPECT_EQ(steady.runs, 1);
    while (!EventQueue_Flush(nullptr)) {
    }
    EXPECT_EQ(steady.runs, 4);
    EXPECT_EQ(CountPrinted(growing), 0);

    // Four events of 5 ms that add two each, under a budget of 1 ms: the budget stops the pass
    // after the first, leaving three old and two new events, five for the four taken. Two of
    // the old ones then run at once; the new ones, not yet due at the noted time, wait.
    for (int32_t round = 0; round < 2; round++) {
        Grower growing4;
        growing4.addsPerRun = 2;
        growing4.addsLeft = 12;
        growing4.sleepMs = 5;
        for (int32_t i = 0; i < 4; i++) EventQueue_Add(nullptr, &growing4, nullptr, 0, Grow);
        EventQueue_SetFlushTimeout(nullptr, 0.001);
        EXPECT_EQ(EventQueue_Flush(nullptr), 0);
        EXPECT_EQ(growing4.runs, 3);
        // Seven pending now: the seven run, and add only six, the rest of their allowance.
        EventQueue_SetFlushTimeout(nullptr, 60);
        EXPECT_EQ(EventQueue_Flush(nullptr), 0);
        EXPECT_EQ(growing4.runs, 10);
        EXPECT_EQ(EventQueue_Flush(nullptr), 1);
        EXPECT_EQ(growing4.runs, 16);
        // Reported the first time only.
        EXPECT_EQ(CountPrinted(growing), 1);
    }

    EXPECT_EQ(EventQueue_Remove(), 1);
    EXPECT_EQ(
        CountPrinted("WARNING - Detected an increase of event queue [Global] while flushing events. This "
                     "happened 2 times\n"),
        1);
    Debug_PrintCallback(nullptr);
    Debug_Remove();
}

struct EndOfThread {
    std::atomic<uint32_t> id{0};
    std::atomic<int32_t> runs{0};
    double ranAt = 0;
    double cpuSeconds = 0;
};

uint32_t IdleUntilExit(void* parameter) {
    static_cast<EndOfThread*>(parameter)->id = Thread_GetCurrentId();
    while (!Thread_WaitForExit(1)) {
    }
    return 0;
}

void NoteEnd(void* instance, void*) {
    EndOfThread* end = static_cast<EndOfThread*>(instance);
    timespec cpu = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    end->cpuSeconds = (double)cpu.tv_sec + (double)cpu.tv_nsec / 1e9;
    end->ranAt = Time_GetCurrent();
    end->runs++;
}

// A thread's final flushes still run an event that falls due after its function returned, and
// the join waits for it; the thread sleeps meanwhile instead of spinning through the second.
TEST(EventQueue, AThreadEndingWithADelayedEventRunsItWithoutSpinning) {
    EndOfThread end;
    Thread* thread = nullptr;
    ASSERT_EQ(Thread_Begin(&thread, &end, IdleUntilExit), 1);
    ASSERT_TRUE(WaitFor([&] { return end.id.load() != 0; }));
    EventQueue* queue = Thread_GetEventQueueHandle(end.id);
    ASSERT_NE(queue, nullptr);
    const double start = Time_GetCurrent();
    EventQueue_AddDelay(queue, &end, nullptr, 0, NoteEnd, 1.0);
    EventQueue_Release(&queue);
    EXPECT_EQ(Thread_SignalExit(end.id), 1);
    EXPECT_EQ(Thread_Join(-1, &thread), 1);
    EXPECT_EQ(end.runs.load(), 1);
    EXPECT_GE(end.ranAt - start, 0.999);
    // A spinning loop would have used about the whole second of processor time.
    EXPECT_LT(end.cpuSeconds, 0.5);
}

TEST(EventQueueDeathTest, GlobalQueueAndAddMisuseAborts) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            EventQueue_GetInstance(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            EventQueue_AddProcessByThreadId(Thread_GetMainId(), nullptr, ProcessA);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            EventQueue_Init();
            EventQueue_Remove();
            EventQueue_SetFlushTimeout(nullptr, 1);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            EventQueue_Init();
            std::thread other([] { EventQueue_Flush(nullptr); });
            other.join();
        },
        AbortRegex("Assertion failed (Thread_GetCurrentId() == EventQueue->ThreadId)\n"
                   "Unable to flush event queue on invalid thread"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            QueueHolder h;
            EventQueue_AddProcess(h.queue, nullptr, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    const std::string oversize =
        AbortRegex("Assertion failed (sizeof(EventQueueEventStruct) + InternalEventSize <= "
                   "EVENTQUEUE_MAXEVENTSIZE)\nEvent exceed max size");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            QueueHolder h;
            uint8_t payload[EVENTQUEUE_MAXPAYLOADSIZE + 1] = {};
            EventQueue_AddUnique(h.queue, nullptr, payload, sizeof(payload), nullptr, SameText);
        },
        oversize);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            QueueHolder h;
            uint8_t payload[EVENTQUEUE_MAXPAYLOADSIZE + 1] = {};
            EventQueue_AddDelay(h.queue, nullptr, payload, sizeof(payload), nullptr, 1);
        },
        oversize);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            QueueHolder h;
            EventQueue_AddTime(h.queue, nullptr, nullptr, 0xFFFFFFFFu, nullptr, 1);
        },
        oversize);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Class fake = {};
            fake.ClassId = 0xABCD;
            EventQueue_GetInstance(reinterpret_cast<EventQueue*>(&fake));
        },
        "ABORT - Class mismatch pointer \\(0x[0-9A-F]{16}: expected 0xc97be418 but was 0x0000abcd\\)");
}

} // namespace
