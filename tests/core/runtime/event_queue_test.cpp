#include "core/runtime/event_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/class.h"
#include "core/runtime/thread.h"
#include "tests/support/abort_hook.h"

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

} // namespace
