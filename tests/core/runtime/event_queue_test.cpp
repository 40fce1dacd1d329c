#include "core/runtime/event_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "tests/support/abort_table.h"
#include "tests/support/temp_dir.h"

namespace {

using Strings = std::vector<std::string>;

class EventQueueEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_EQ(Thread_Init(), 1); }
    void TearDown() override { EXPECT_EQ(Thread_Remove(), 1); }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new EventQueueEnvironment);

// A queue of the test's own and the log of what its callbacks and flushes did, in order. Events
// are added with the log as their instance unless another is given.
struct Queue {
    EventQueue* queue = nullptr;
    Strings log;
    Queue() { EventQueue_Create(&queue); }
    ~Queue() {
        if (queue) EventQueue_Release(&queue);
    }
    operator EventQueue*() const { return queue; }
    void Flush() { log.push_back("flush:" + std::to_string(EventQueue_Flush(queue))); }
};

void Record(void* instance, void* payload) {
    static_cast<Strings*>(instance)->push_back(std::string("run:") + static_cast<const char*>(payload));
}
void RecordCleanup(void* instance, void* payload) {
    static_cast<Strings*>(instance)->push_back(std::string("clean:") + static_cast<const char*>(payload));
}
void SleepyRecord(void* instance, void* payload) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Record(instance, payload);
}

void AddText(EventQueue* queue, Strings* log, const char* text, EventQueueCallback callback = Record) {
    EventQueue_Add(queue, log, text, (uint32_t)strlen(text) + 1, callback);
}

int64_t SameText(void* instance, const void* payload, void* pendingInstance, const void* pendingPayload) {
    return instance == pendingInstance &&
           strcmp(static_cast<const char*>(payload), static_cast<const char*>(pendingPayload)) == 0;
}

int64_t AddUniqueText(EventQueue* queue, Strings* log, const char* text,
                      EventQueueCompareCallback compare = SameText) {
    return EventQueue_AddUnique(queue, log, text, (uint32_t)strlen(text) + 1, Record, compare);
}

// Polls until the condition holds or 30 seconds pass; a generous bound, not a timing.
template <typename F> bool WaitFor(F condition) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Empties the main thread's wake signal; afterwards Thread_Wait(0) tells whether it was woken.
void DrainWakes() {
    while (Thread_Wait(0)) {
    }
}

// A worker thread that sleeps until woken or 5 ms pass and then runs its queue.
struct Worker {
    Thread* thread = nullptr;
    uint32_t id = 0;
    EventQueue* queue = nullptr;
    Worker() {
        EXPECT_EQ(Thread_Begin(&thread, nullptr,
                               [](void*) -> uint32_t {
                                   while (!Thread_WaitForExit(0)) {
                                       Thread_Wait(5);
                                       Thread_Tick();
                                   }
                                   return 0;
                               }),
                  1);
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

TEST(EventQueue, FlushRunsEventsInOrderWithCopiedPayloads) {
    Queue q;
    char text[8] = "first";
    AddText(q, &q.log, text);
    strcpy(text, "changed"); // the queue holds its own copy
    AddText(q, &q.log, "second");
    EventQueue_AddComplexEvent(q, &q.log, "third", 6, Record, RecordCleanup);
    EventQueue_Add(q, &q.log, nullptr, 0, nullptr); // no callback: nothing runs
    q.Flush();
    q.Flush();
    EXPECT_EQ(q.log, (Strings{"run:first", "run:second", "run:third", "clean:third", "flush:1", "flush:1"}));
    // A payload of the largest size is copied whole.
    uint8_t payload[EVENTQUEUE_MAXPAYLOADSIZE];
    for (uint32_t i = 0; i < sizeof(payload); i++) payload[i] = (uint8_t)(i * 7 + 1);
    std::vector<uint8_t> seen;
    EXPECT_EQ(EventQueue_Add(q, &seen, payload, sizeof(payload),
                             [](void* instance, void* copy) {
                                 static_cast<std::vector<uint8_t>*>(instance)->assign(
                                     (uint8_t*)copy, (uint8_t*)copy + EVENTQUEUE_MAXPAYLOADSIZE);
                             }),
              1);
    EXPECT_EQ(EventQueue_Flush(q), 1);
    EXPECT_EQ(seen, std::vector<uint8_t>(payload, payload + sizeof(payload)));
}

TEST(EventQueue, TheLastReleaseRunsCleanUpsButNoCallbacks) {
    Strings log;
    EventQueue* queue = nullptr;
    EventQueue_Create(&queue);
    AddText(queue, &log, "plain");
    EventQueue_AddComplexEvent(queue, &log, "a", 2, Record, RecordCleanup);
    EventQueue_AddComplexEvent(queue, &log, "b", 2, nullptr, RecordCleanup);
    EventQueue* second = EventQueue_AddRef(queue);
    EXPECT_EQ(EventQueue_Release(&second), 1u);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(EventQueue_Release(&queue), 0u);
    EXPECT_EQ(queue, nullptr);
    EXPECT_EQ(log, (Strings{"clean:a", "clean:b"}));
}

Queue* g_queue = nullptr;
int32_t g_addsLeft = 0;

// An event added by a callback waits for the next flush, which reports the queue not empty; it
// keeps its place ahead of events added later. A flush inside the queue's own callback runs
// nothing and only tells whether events are pending.
TEST(EventQueue, EventsAddedWhileFlushingRunOnTheNextPass) {
    Queue q;
    g_queue = &q;
    g_addsLeft = 2;
    static EventQueueCallback addAnother = [](void* instance, void* payload) {
        Record(instance, payload);
        if (g_addsLeft-- > 0) EventQueue_Add(*g_queue, instance, "again", 6, addAnother);
        g_queue->Flush();
    };
    EventQueue_Add(q, &q.log, "one", 4, addAnother);
    q.Flush();
    AddText(q, &q.log, "two");
    q.Flush();
    q.Flush();
    EXPECT_EQ(q.log, (Strings{"run:one", "flush:0", "flush:0", "run:again", "flush:0", "run:two", "flush:0",
                              "run:again", "flush:1", "flush:1"}));
}

// A flush runs events for its budget and leaves the rest, in order, to later passes: 1 ms set,
// then 0 for the default of 0.1 s (which ten events of 30 ms overrun and three of 5 ms do not).
TEST(EventQueue, FlushStopsAtItsBudgetAndKeepsTheOrder) {
    Queue q;
    EXPECT_EQ(EventQueue_SetFlushTimeout(q, 0.001), 1);
    for (const char* name : {"1", "2", "3"}) AddText(q, &q.log, name, SleepyRecord);
    for (int32_t i = 0; i < 3; i++) q.Flush();
    EXPECT_EQ(EventQueue_SetFlushTimeout(q, 0), 1);
    for (const char* name : {"4", "5", "6"}) AddText(q, &q.log, name, SleepyRecord);
    q.Flush();
    EXPECT_EQ(q.log, (Strings{"run:1", "flush:0", "run:2", "flush:0", "run:3", "flush:1", "run:4", "run:5",
                              "run:6", "flush:1"}));
    q.log.clear();
    for (const char* name : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"})
        AddText(q, &q.log, name, [](void* instance, void* payload) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            Record(instance, payload);
        });
    EXPECT_EQ(EventQueue_Flush(q), 0);
    EXPECT_GE(q.log.size(), 1u);
    EXPECT_LT(q.log.size(), 10u);
    for (int32_t passes = 1; !EventQueue_Flush(q) && passes < 100; passes++) {
    }
    EXPECT_EQ(q.log, (Strings{"run:0", "run:1", "run:2", "run:3", "run:4", "run:5", "run:6", "run:7", "run:8",
                              "run:9"}));
}

// Producers on other threads add while the owner flushes; every event runs once, each
// producer's events in the order they were added.
TEST(EventQueue, ConcurrentAddersWhileTheOwnerFlushes) {
    Queue q;
    constexpr int32_t kProducers = 6, kEvents = 2000;
    struct Tally {
        std::vector<int32_t> lastSeen = std::vector<int32_t>(kProducers, -1);
        int32_t outOfOrder = 0, ran = 0;
    } tally;
    auto count = [](void* instance, void* payload) {
        Tally* t = static_cast<Tally*>(instance);
        int32_t word[2];
        memcpy(word, payload, sizeof(word));
        if (t->lastSeen[word[0]] + 1 != word[1]) t->outOfOrder++;
        t->lastSeen[word[0]] = word[1];
        t->ran++;
    };
    std::atomic<int32_t> done{0};
    std::vector<std::thread> producers;
    for (int32_t p = 0; p < kProducers; p++)
        producers.emplace_back([&, p] {
            for (int32_t i = 0; i < kEvents; i++) {
                int32_t payload[2] = {p, i};
                EventQueue_Add(q, &tally, payload, sizeof(payload), count);
            }
            done++;
        });
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((done.load() < kProducers || !EventQueue_Flush(q)) && std::chrono::steady_clock::now() < end) {
    }
    for (auto& t : producers) t.join();
    EventQueue_Flush(q);
    EXPECT_EQ(tally.ran, kProducers * kEvents);
    EXPECT_EQ(tally.outOfOrder, 0);
}

std::mutex g_wakesLock;
std::vector<std::pair<uint32_t, uint32_t>> g_wakes;

// The owner is the main thread here, which has no thread record: an event that is due wakes it
// as an event signal; a delayed one does not until a merge makes it due.
TEST(EventQueue, DueAddsWakeTheOwnerDelayedOnesDoNot) {
    Queue q;
    DrainWakes();
    g_wakes.clear();
    Thread_SetUnhandledSignal([](uint32_t threadId, uint32_t isEvent) {
        std::lock_guard<std::mutex> guard(g_wakesLock);
        g_wakes.emplace_back(threadId, isEvent);
    });
    std::thread other([&] { AddText(q, &q.log, "w"); });
    other.join();
    Thread_SetUnhandledSignal(nullptr);
    EXPECT_EQ(Thread_Wait(0), 1);
    EXPECT_EQ(g_wakes, (std::vector<std::pair<uint32_t, uint32_t>>{{Thread_GetCurrentId(), 1u}}));

    DrainWakes();
    EXPECT_EQ(EventQueue_AddDelay(q, &q.log, "x", 2, Record, 3600), 1);
    EXPECT_EQ(Thread_Wait(0), 0);
    EXPECT_EQ(AddUniqueText(q, &q.log, "x"), 0);
    EXPECT_EQ(Thread_Wait(0), 1);
    EXPECT_EQ(EventQueue_AddDelay(q, &q.log, "y", 2, Record, -1), 1);
    EXPECT_EQ(Thread_Wait(0), 1);
    EXPECT_EQ(EventQueue_AddTime(q, &q.log, "z", 2, Record, Time_GetCurrent() - 1), 1);
    EXPECT_EQ(Thread_Wait(0), 1);
    EXPECT_EQ(EventQueue_Flush(q), 1);
    EXPECT_EQ(q.log, (Strings{"run:w", "run:x", "run:y", "run:z"}));
}

TEST(EventQueue, OwnerCanBeHandedToAnotherThread) {
    Queue q;
    AddText(q, &q.log, "moved");
    int64_t result = -1;
    std::thread other([&] {
        EventQueue_SetThreadId(q, Thread_GetCurrentId());
        result = EventQueue_Flush(q);
    });
    other.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(q.log, Strings{"run:moved"});
}

// Handle 0 names the global queue of the main thread; queues are not tracked, so their instance
// id is empty.
TEST(EventQueue, InitCreatesTheGlobalQueue) {
    ASSERT_EQ(EventQueue_Init(), 1);
    EventQueue* global = EventQueue_GetInstance(nullptr);
    ASSERT_NE(global, nullptr);
    EXPECT_EQ(EventQueue_Init(), 1);
    EXPECT_EQ(EventQueue_GetInstance(nullptr), global);
    EXPECT_EQ(EventQueue_GetInstance(global), global);
    EventQueue* reference = EventQueue_AddRef(nullptr);
    EXPECT_EQ(reference, global);
    EXPECT_EQ(EventQueue_Release(&reference), 1u);
    char id[48] = "xxxx";
    EXPECT_EQ(EventQueue_GetInstanceId(nullptr, id, (int32_t)sizeof(id)), 1);
    EXPECT_STREQ(id, "");
    EXPECT_EQ(EventQueue_GetInstanceId(nullptr, id, 0), 0);

    Strings log;
    AddText(nullptr, &log, "global");
    EXPECT_EQ(
        EventQueue_AddProcess(nullptr, &log,
                              [](void* instance) { static_cast<Strings*>(instance)->push_back("process"); }),
        1);
    EXPECT_EQ(EventQueue_Flush(nullptr), 1);
    EXPECT_EQ(log, (Strings{"run:global", "process"}));
    EXPECT_EQ(EventQueue_Remove(), 1);
    EXPECT_EQ(EventQueue_Remove(), 1);
}

// A unique add merges with the first equal pending event, which keeps its place; once run, the
// same event is queued again. Merging can only make the pending event due earlier.
TEST(EventQueue, UniqueEventsMergeWithAnEqualPendingOne) {
    Queue q;
    Strings other;
    EXPECT_EQ(AddUniqueText(q, &q.log, "a"), 1);
    AddText(q, &q.log, "b");
    EXPECT_EQ(AddUniqueText(q, &q.log, "a"), 0);
    EXPECT_EQ(AddUniqueText(q, &q.log, "c"), 1);
    EXPECT_EQ(AddUniqueText(q, &other, "a"), 1);
    EXPECT_EQ(AddUniqueText(q, &q.log, "a", nullptr), 1); // without a compare function
    q.Flush();
    EXPECT_EQ(AddUniqueText(q, &q.log, "a"), 1);
    const double now = Time_GetCurrent();
    EXPECT_EQ(EventQueue_AddTime(q, &q.log, "late", 5, Record, now + 3600), 1);
    EXPECT_EQ(EventQueue_AddTime(q, &q.log, "early", 6, Record, now - 10), 1);
    EXPECT_EQ(AddUniqueText(q, &q.log, "early"), 0); // due later than the pending one: no change
    q.Flush();
    EXPECT_EQ(AddUniqueText(q, &q.log, "late"), 0); // due earlier: the pending one becomes due
    q.Flush();
    EXPECT_EQ(q.log, (Strings{"run:a", "run:b", "run:c", "run:a", "flush:1", "run:a", "run:early", "flush:0",
                              "run:late", "flush:1"}));
    EXPECT_EQ(other, Strings{"run:a"});
}

struct Reentry {
    EventQueue* queue;
    int32_t runs;
    int64_t result;
};

void AddSelfOnce(void* instance, void*) {
    Reentry* r = static_cast<Reentry*>(instance);
    if (++r->runs == 1) r->result = EventQueue_AddUnique(r->queue, r, "s", 2, AddSelfOnce, SameText);
}

// A removed instance's event never runs its callback, so a request merged into it would be lost;
// the event being run belongs to the flush, not to the pending list: an equal add is queued.
TEST(EventQueue, DisarmedAndRunningEventsAreNoMergeTargets) {
    Queue q;
    EXPECT_EQ(AddUniqueText(q, &q.log, "u"), 1);
    EXPECT_EQ(EventQueue_RemoveInstance(q, &q.log), 1);
    EXPECT_EQ(AddUniqueText(q, &q.log, "u"), 1);
    q.Flush();
    EXPECT_EQ(q.log, (Strings{"run:u", "flush:1"}));
    Reentry reentry = {q, 0, -1};
    EXPECT_EQ(EventQueue_AddUnique(q, &reentry, "s", 2, AddSelfOnce, SameText), 1);
    EXPECT_EQ(EventQueue_Flush(q), 0);
    EXPECT_EQ(reentry.result, 1);
    EXPECT_EQ(EventQueue_Flush(q), 1);
    EXPECT_EQ(reentry.runs, 2);
}

struct ProcessCounts {
    int32_t a = 0, b = 0;
};
void ProcessA(void* instance) {
    static_cast<ProcessCounts*>(instance)->a++;
}
void ProcessB(void* instance) {
    static_cast<ProcessCounts*>(instance)->b++;
}

TEST(EventQueue, ProcessEventsRunOncePerInstanceAndFunction) {
    Queue q;
    ProcessCounts one, two;
    const std::tuple<ProcessCounts*, EventQueueProcessFunc, int64_t> adds[] = {{&one, ProcessA, 1},
                                                                               {&one, ProcessA, 0},
                                                                               {&one, ProcessA, 0},
                                                                               {&one, ProcessB, 1},
                                                                               {&two, ProcessA, 1}};
    for (const auto& [instance, function, queued] : adds)
        EXPECT_EQ(EventQueue_AddProcess(q, instance, function), queued);
    EXPECT_EQ(EventQueue_Flush(q), 1);
    EXPECT_EQ(std::vector<int32_t>({one.a, one.b, two.a, two.b}), std::vector<int32_t>({1, 1, 1, 0}));
    EXPECT_EQ(EventQueue_AddProcess(q, &one, ProcessA), 1);
    EXPECT_EQ(EventQueue_Flush(q), 1);
    EXPECT_EQ(one.a, 2);

    // The payload is the tag, then the function: compare and run check the tag.
    struct ProcessBytes {
        uint32_t tag, unused;
        EventQueueProcessFunc function;
    } const a = {EVENTQUEUE_PROCESS_TAG, 0, ProcessA}, b = {EVENTQUEUE_PROCESS_TAG, 0, ProcessB},
            wrong = {0x74495CC3, 0, ProcessA};
    const std::tuple<void*, const ProcessBytes*, void*, const ProcessBytes*, int64_t> compares[] = {
        {&one, &a, &one, &a, 1},         {&one, &a, &two, &a, 0},     {&one, &a, &one, &b, 0},
        {&one, &wrong, &one, &wrong, 0}, {&one, &a, &one, &wrong, 0}, {&one, &wrong, &one, &a, 0},
        {&one, nullptr, &one, &a, 0},    {&one, &a, &one, nullptr, 0}};
    for (const auto& [instance, payload, pendingInstance, pendingPayload, equal] : compares)
        EXPECT_EQ(EventQueue_ProcessCompare(instance, payload, pendingInstance, pendingPayload), equal);
    ProcessBytes run = wrong;
    EventQueue_ProcessRun(&two, &run);
    EventQueue_ProcessRun(&two, nullptr);
    EXPECT_EQ(two.a, 1);
    run = a;
    EventQueue_ProcessRun(&two, &run);
    EXPECT_EQ(two.a, 2);
}

// Events due at once run in the order they were added; one not yet due keeps its place and runs
// once its time has come.
TEST(EventQueue, DelayedEventsWaitForTheirTime) {
    Queue q;
    const double now = Time_GetCurrent();
    EventQueue_AddTime(q, &q.log, "future", 7, Record, now + 3600);
    EventQueue_AddDelay(q, &q.log, "later", 6, Record, 1.0);
    EventQueue_AddTime(q, &q.log, "past2", 6, Record, now - 2);
    AddText(q, &q.log, "now");
    EventQueue_AddTime(q, &q.log, "past1", 6, Record, now - 1);
    EventQueue_AddDelay(q, &q.log, "zero", 5, Record, 0);
    q.Flush();
    AddText(q, &q.log, "next");
    q.Flush();
    EXPECT_EQ(q.log,
              (Strings{"run:past2", "run:now", "run:past1", "run:zero", "flush:0", "run:next", "flush:0"}));
    ASSERT_TRUE(WaitFor([&] { return !EventQueue_Flush(q) && q.log.back() == "run:later"; }));
    EXPECT_GE(Time_GetCurrent() - now, 0.999);
    // Removal disarms the future event: the next flush frees it without running it.
    EXPECT_EQ(EventQueue_RemoveInstance(q, &q.log), 1);
    q.Flush();
    EXPECT_EQ(q.log.size(), 9u);
    EXPECT_EQ(q.log.back(), "flush:1");
}

struct Timed {
    std::mutex lock;
    Strings runs;
    std::atomic<int32_t> wrongThread{0}, early{0};
    uint32_t owner = 0;
    size_t Runs() {
        std::lock_guard<std::mutex> guard(lock);
        return runs.size();
    }
};

struct TimedPayload {
    char name[8];
    double notBefore;
};

void AddTimed(EventQueue* queue, Timed* timed, const char* name, double delay) {
    TimedPayload p = {};
    strncpy(p.name, name, sizeof(p.name) - 1);
    p.notBefore = Time_GetCurrent() + delay;
    EventQueue_AddDelay(
        queue, timed, &p, sizeof(p),
        [](void* instance, void* payload) {
            Timed* t = static_cast<Timed*>(instance);
            TimedPayload copy;
            memcpy(&copy, payload, sizeof(copy));
            if (Time_GetCurrent() < copy.notBefore) t->early++;
            if (Thread_GetCurrentId() != t->owner) t->wrongThread++;
            std::lock_guard<std::mutex> guard(t->lock);
            t->runs.push_back(copy.name);
        },
        delay);
}

// On a worker thread that polls its queue, delayed events run in the order they fall due, never
// before their time, also when many threads add them at once.
TEST(EventQueue, DelayedEventsRunOnTheOwnerInTheOrderTheyFallDue) {
    Worker worker;
    Timed timed;
    timed.owner = worker.id;
    AddTimed(worker.queue, &timed, "c", 1.0);
    AddTimed(worker.queue, &timed, "a", 0.2);
    AddTimed(worker.queue, &timed, "b", 0.6);
    ASSERT_TRUE(WaitFor([&] { return timed.Runs() == 3; }));
    EXPECT_EQ(timed.runs, (Strings{"a", "b", "c"}));
    std::vector<std::thread> producers;
    for (int32_t p = 0; p < 6; p++)
        producers.emplace_back([&, p] {
            for (int32_t i = 0; i < 100; i++) AddTimed(worker.queue, &timed, "d", 0.001 * ((p * 7 + i) % 50));
        });
    for (auto& t : producers) t.join();
    ASSERT_TRUE(WaitFor([&] { return timed.Runs() == 603; }));
    EXPECT_EQ(timed.early.load(), 0);
    EXPECT_EQ(timed.wrongThread.load(), 0);
}

struct Remover {
    EventQueue* queue = nullptr;
    void* victim = nullptr;
};

// Removal runs only the clean-ups of the instance's events; on the owner, inside a callback,
// the not yet handled events of the running flush are disarmed too.
TEST(EventQueue, RemoveInstanceRunsOnlyCleanUps) {
    Queue q;
    Strings other;
    Remover remover = {q, &q.log};
    EventQueue_AddComplexEvent(q, &q.log, "a", 2, Record, RecordCleanup);
    EventQueue_AddDelay(q, &q.log, "d", 2, Record, 3600);
    AddText(q, &other, "keep");
    EventQueue_AddComplexEvent(q, &q.log, "b", 2, Record, RecordCleanup);
    EXPECT_EQ(EventQueue_RemoveInstance(q, &q.log), 1);
    q.Flush();
    EventQueue_AddComplexEvent(q, &q.log, "1", 2, Record, RecordCleanup);
    EventQueue_Add(q, &remover, nullptr, 0, [](void* instance, void*) {
        Remover* r = static_cast<Remover*>(instance);
        EventQueue_RemoveInstance(r->queue, r->victim);
    });
    EventQueue_AddComplexEvent(q, &q.log, "2", 2, Record, RecordCleanup);
    q.Flush();
    EXPECT_EQ(q.log, (Strings{"clean:a", "clean:b", "flush:1", "run:1", "clean:1", "clean:2", "flush:1"}));
    EXPECT_EQ(other, Strings{"run:keep"});
}

// True when another thread takes the queue's lock (through an add) within a generous bound. A
// lock left held fails here instead of hanging: the blocked thread is left behind, and with it
// the queue it waits on.
bool LockIsFree(Queue& q) {
    auto added = std::make_shared<std::atomic<bool>>(false);
    EventQueue* queue = q.queue;
    std::thread adder([queue, added] {
        EventQueue_Add(queue, nullptr, nullptr, 0, [](void*, void*) {});
        *added = true;
    });
    if (WaitFor([&] { return added->load(); })) {
        adder.join();
        return true;
    }
    adder.detach();
    q.queue = nullptr;
    return false;
}

// Every way pending events are discarded gives the queue's lock back.
TEST(EventQueue, DiscardingPendingEventsLeavesTheLockFree) {
    const struct {
        const char* What;
        std::function<void(Queue&)> Discard;
    } cases[] = {
        {"removed on the owner", [](Queue& q) { EventQueue_RemoveInstance(q, &q.log); }},
        {"removed from another thread",
         [](Queue& q) { std::thread([&] { EventQueue_RemoveInstance(q, &q.log); }).join(); }},
        {"removed and flushed",
         [](Queue& q) {
             EventQueue_RemoveInstance(q, &q.log);
             q.Flush();
         }},
        {"removed inside a callback",
         [](Queue& q) {
             Remover remover = {q, &q.log};
             EventQueue_Add(q, &remover, nullptr, 0, [](void* instance, void*) {
                 Remover* r = static_cast<Remover*>(instance);
                 EventQueue_RemoveInstance(r->queue, r->victim);
             });
             q.Flush();
         }},
    };
    for (const auto& c : cases) {
        Queue q;
        EventQueue_AddComplexEvent(q, &q.log, "a", 2, Record, RecordCleanup);
        EventQueue_AddDelay(q, &q.log, "d", 2, Record, 3600);
        c.Discard(q);
        EXPECT_TRUE(LockIsFree(q)) << c.What;
    }
}

struct Victim {
    std::atomic<int32_t> runs{0}, cleanups{0}, removed{0}, lateRuns{0};
};

// Removal on another thread while the owner flushes: once it returns, no callback of the
// instance runs or is still running; every event is still freed through its clean-up.
TEST(EventQueue, RemoveInstanceFromAnotherThreadWhileTheOwnerFlushes) {
    for (int32_t round = 0; round < 3; round++) {
        Worker worker;
        Victim victim;
        constexpr int32_t kEvents = 400;
        std::thread producer([&] {
            for (int32_t i = 0; i < kEvents; i++)
                EventQueue_AddComplexEvent(
                    worker.queue, &victim, nullptr, 0,
                    [](void* instance, void*) {
                        Victim* v = static_cast<Victim*>(instance);
                        v->runs++;
                        std::this_thread::sleep_for(std::chrono::microseconds(500));
                        if (v->removed.load()) v->lateRuns++;
                    },
                    [](void* instance, void*) { static_cast<Victim*>(instance)->cleanups++; });
        });
        ASSERT_TRUE(WaitFor([&] { return victim.runs.load() >= 10 * (round + 1); }));
        // Every event is queued before the removal, so that any run after it is one too many
        // (on a busy machine the producer may still be adding while the owner flushes).
        producer.join();
        std::thread remover([&] {
            EventQueue_RemoveInstance(worker.queue, &victim);
            victim.removed = 1;
        });
        remover.join();
        ASSERT_TRUE(WaitFor([&] { return victim.cleanups.load() == kEvents; }));
        EXPECT_EQ(victim.lateRuns.load(), 0) << "round " << round;
        EXPECT_LE(victim.runs.load(), kEvents);
    }
}

struct Contended {
    std::atomic<int32_t> runs{0}, running{0}, overlap{0}, wrongThread{0};
    uint32_t owner = 0;
};

// Process events added from many threads at once: while one is pending every other add merges
// into it; each add that queued runs exactly once, on the owner, never two at a time.
TEST(EventQueue, CoalescingUnderContention) {
    Worker worker;
    Contended c;
    c.owner = worker.id;
    std::atomic<int32_t> queued{0};
    auto produce = [&](int32_t count) {
        std::vector<std::thread> producers;
        for (int32_t p = 0; p < 8; p++)
            producers.emplace_back([&] {
                for (int32_t i = 0; i < count; i++)
                    queued += (int32_t)EventQueue_AddProcess(worker.queue, &c, [](void* instance) {
                        Contended* c = static_cast<Contended*>(instance);
                        if (c->running++ != 0) c->overlap++;
                        if (Thread_GetCurrentId() != c->owner) c->wrongThread++;
                        c->runs++;
                        c->running--;
                    });
            });
        for (auto& t : producers) t.join();
    };
    // The owner is held inside a callback, so the first process event stays pending.
    std::atomic<int32_t> gate{0};
    EventQueue_Add(worker.queue, &gate, nullptr, 0, [](void* instance, void*) {
        auto* g = static_cast<std::atomic<int32_t>*>(instance);
        *g = 1;
        WaitFor([&] { return g->load() == 2; });
    });
    ASSERT_TRUE(WaitFor([&] { return gate.load() == 1; }));
    produce(500);
    EXPECT_EQ(queued.load(), 1);
    gate = 2;
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

// By thread id: that thread's queue, the global one for the main thread, none for a thread
// without a queue or before the global queue exists.
TEST(EventQueue, ByThreadIdReachesThatThreadsQueueOrTheGlobalOne) {
    Worker worker;
    Where onWorker, nowhere, onMain;
    EXPECT_EQ(EventQueue_AddProcessByThreadId(worker.id, &onWorker, NoteThread), 1);
    ASSERT_TRUE(WaitFor([&] { return onWorker.runs.load() == 1; }));
    EXPECT_EQ(onWorker.thread.load(), worker.id);
    EXPECT_EQ(EventQueue_RemoveInstanceByThreadId(worker.id, &onWorker), 1);
    EXPECT_EQ(EventQueue_AddProcessByThreadId(0x7FFFFFF0, &nowhere, NoteThread), 0);
    EXPECT_EQ(EventQueue_RemoveInstanceByThreadId(0x7FFFFFF0, &nowhere), 0);
    EXPECT_EQ(EventQueue_RemoveInstanceByThreadId(Thread_GetMainId(), &nowhere), 0);

    ASSERT_EQ(EventQueue_Init(), 1);
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

Strings g_printed;

struct Grower {
    int32_t addsPerRun = 0, addsLeft = 0, sleepMs = 0, runs = 0;
};

void Grow(void* instance, void*) {
    Grower* grower = static_cast<Grower*>(instance);
    grower->runs++;
    // Events added after a pause fall due after the flush's noted time.
    if (grower->sleepMs) std::this_thread::sleep_for(std::chrono::milliseconds(grower->sleepMs));
    for (int32_t i = 0; i < grower->addsPerRun && grower->addsLeft > 0; i++, grower->addsLeft--)
        EventQueue_Add(nullptr, grower, nullptr, 0, Grow);
}

// A queue that holds more events after a flush than the flush took has grown while flushing:
// the first time is reported, every time is counted, and up to half as many events as were
// taken run at once, without a budget, to catch up.
TEST(EventQueue, GrowthWhileFlushingIsReportedOnceAndCaughtUpOn) {
    TempDir dir;
    ASSERT_EQ(Debug_Init(dir.file("events.log").c_str(), nullptr, 0x800), 1);
    Debug_PrintCallback([](const char* text) { g_printed.push_back(text); });
    ASSERT_EQ(EventQueue_Init(), 1);
    const std::string growing =
        "WARNING - Detected an increase of event queue [Global] while flushing events. "
        "This may result in an unresponsive application\n";
    g_printed.clear();

    // One new event per event run is no growth: the new ones simply wait for the next pass.
    Grower steady = {1, 3, 0, 0};
    EventQueue_Add(nullptr, &steady, nullptr, 0, Grow);
    EXPECT_EQ(EventQueue_Flush(nullptr), 0);
    EXPECT_EQ(steady.runs, 1);
    while (!EventQueue_Flush(nullptr)) {
    }
    EXPECT_EQ(steady.runs, 4);
    EXPECT_EQ(std::count(g_printed.begin(), g_printed.end(), growing), 0);

    // An event not yet due stays behind by design; beside it, one that posts two more has not
    // made the queue fall behind: the pass was not cut short.
    int32_t timerRuns = 0;
    EventQueue_AddDelay(nullptr, &timerRuns, nullptr, 0, [](void* runs, void*) { ++*static_cast<int32_t*>(runs); },
                        60000);
    Grower fanOut = {2, 2, 0, 0};
    EventQueue_Add(nullptr, &fanOut, nullptr, 0, Grow);
    EXPECT_EQ(EventQueue_Flush(nullptr), 0);
    EXPECT_EQ(fanOut.runs, 1);
    EXPECT_EQ(std::count(g_printed.begin(), g_printed.end(), growing), 0);
    while (fanOut.runs < 3) EventQueue_Flush(nullptr);
    EventQueue_RemoveInstance(nullptr, &timerRuns);
    while (!EventQueue_Flush(nullptr)) {
    }
    EXPECT_EQ(timerRuns, 0);

    // Four events of 5 ms that add two each, under a budget of 1 ms: the budget stops the pass
    // after the first, leaving three old and two new events, five for the four taken. Two of
    // the old ones then run at once; the new ones, not yet due at the noted time, wait.
    for (int32_t round = 0; round < 2; round++) {
        Grower grower = {2, 12, 5, 0};
        for (int32_t i = 0; i < 4; i++) EventQueue_Add(nullptr, &grower, nullptr, 0, Grow);
        EventQueue_SetFlushTimeout(nullptr, 0.001);
        EXPECT_EQ(EventQueue_Flush(nullptr), 0);
        EXPECT_EQ(grower.runs, 3);
        // Seven pending now: the seven run, and add only six, the rest of their allowance.
        EventQueue_SetFlushTimeout(nullptr, 60);
        EXPECT_EQ(EventQueue_Flush(nullptr), 0);
        EXPECT_EQ(grower.runs, 10);
        EXPECT_EQ(EventQueue_Flush(nullptr), 1);
        EXPECT_EQ(grower.runs, 16);
        EXPECT_EQ(std::count(g_printed.begin(), g_printed.end(), growing), 1); // reported the first time only
    }
    EXPECT_EQ(EventQueue_Remove(), 1);
    EXPECT_EQ(std::count(g_printed.begin(), g_printed.end(),
                         "WARNING - Detected an increase of event queue [Global] while flushing events. This "
                         "happened 2 times\n"),
              1);
    Debug_PrintCallback(nullptr);
    Debug_Remove();
}

struct EndOfThread {
    std::atomic<uint32_t> id{0};
    std::atomic<int32_t> runs{0};
    double ranAt = 0, cpuSeconds = 0;
};

// A thread's final flushes still run an event that falls due after its function returned, and
// the join waits for it; the thread sleeps meanwhile instead of spinning through the second.
TEST(EventQueue, AThreadEndingWithADelayedEventRunsItWithoutSpinning) {
    EndOfThread end;
    Thread* thread = nullptr;
    ASSERT_EQ(Thread_Begin(&thread, &end,
                           [](void* parameter) -> uint32_t {
                               static_cast<EndOfThread*>(parameter)->id = Thread_GetCurrentId();
                               while (!Thread_WaitForExit(1)) {
                               }
                               return 0;
                           }),
              1);
    ASSERT_TRUE(WaitFor([&] { return end.id.load() != 0; }));
    EventQueue* queue = Thread_GetEventQueueHandle(end.id);
    ASSERT_NE(queue, nullptr);
    const double start = Time_GetCurrent();
    EventQueue_AddDelay(
        queue, &end, nullptr, 0,
        [](void* instance, void*) {
            EndOfThread* e = static_cast<EndOfThread*>(instance);
            timespec cpu = {};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
            e->cpuSeconds = (double)cpu.tv_sec + (double)cpu.tv_nsec / 1e9;
            e->ranAt = Time_GetCurrent();
            e->runs++;
        },
        1.0);
    EventQueue_Release(&queue);
    EXPECT_EQ(Thread_SignalExit(end.id), 1);
    EXPECT_EQ(Thread_Join(-1, &thread), 1);
    EXPECT_EQ(end.runs.load(), 1);
    EXPECT_GE(end.ranAt - start, 0.999);
    // A spinning loop would have used about the whole second of processor time.
    EXPECT_LT(end.cpuSeconds, 0.5);
}

template <typename F> void InOtherThread(F f) {
    std::thread(f).join();
}

TEST(EventQueueDeathTest, MisuseAborts) {
    const std::string oversize =
        AbortRegex("Assertion failed (sizeof(EventQueueEventStruct) + InternalEventSize <= "
                   "EVENTQUEUE_MAXEVENTSIZE)\nEvent exceed max size");
    const std::string wrongThread =
        AbortRegex("Assertion failed (Thread_GetCurrentId() == EventQueue->ThreadId)\n"
                   "Unable to flush event queue on invalid thread");
    static uint8_t big[EVENTQUEUE_MAXPAYLOADSIZE + 1] = {};
    ExpectAborts({
        {[] { EventQueue_Add(Queue(), nullptr, big, sizeof(big), nullptr); }, oversize},
        {[] { EventQueue_AddUnique(Queue(), nullptr, big, sizeof(big), nullptr, SameText); }, oversize},
        {[] { EventQueue_AddDelay(Queue(), nullptr, big, sizeof(big), nullptr, 1); }, oversize},
        {[] { EventQueue_AddTime(Queue(), nullptr, nullptr, 0xFFFFFFFFu, nullptr, 1); }, oversize},
        // A payload is needed for a size, not without one.
        {[] { EventQueue_Add(Queue(), nullptr, nullptr, 4, nullptr); }, AbortRegex("Pointer is NULL\n")},
        {[] {
             Queue q;
             InOtherThread([&] { EventQueue_Flush(q); });
         },
         wrongThread},
        {[] {
             EventQueue_Init();
             InOtherThread([] { EventQueue_Flush(nullptr); });
         },
         wrongThread},
        // Handle 0 before the global queue exists.
        {[] { EventQueue_GetInstance(nullptr); }, AbortRegex("Pointer is NULL\n")},
        {[] {
             Class fake = {};
             fake.ClassId = 0xABCD;
             EventQueue_Flush(reinterpret_cast<EventQueue*>(&fake));
         },
         ClassMismatch(EVENTQUEUE_CLASS_ID, 0xABCD)},
    });
}

} // namespace
