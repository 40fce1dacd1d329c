#include "core/runtime/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include "core/linux/platform.h"
#include "core/runtime/class.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/time.h"
#include "tests/support/abort_hook.h"

namespace {

class ThreadEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(Thread_Init(), 1);
    }
    void TearDown() override { EXPECT_EQ(Thread_Remove(), 1); }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new ThreadEnvironment);

// Spins (yielding) until the condition holds or 30 seconds pass; a generous bound, not a timing.
template <typename F> bool WaitFor(F condition) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Work {
    uint32_t input = 0;
    std::atomic<uint32_t> seenId{0};
    std::atomic<int> gate{0};
    std::atomic<int> started{0};
    int64_t waits[3] = {-1, -1, -1};
    Thread* self = nullptr;
    EventQueue* queue = nullptr;
};

uint32_t Square(void* parameter) {
    Work* work = static_cast<Work*>(parameter);
    work->seenId = Thread_GetCurrentId();
    return work->input * work->input;
}

uint32_t WaitForGate(void* parameter) {
    Work* work = static_cast<Work*>(parameter);
    work->seenId = Thread_GetCurrentId();
    work->started = 1;
    while (!work->gate.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 7;
}

TEST(Thread, BeginRunsTheFunctionAndJoinGivesTheHandleBack) {
    Work work[4];
    Thread* handles[4] = {};
    for (uint32_t i = 0; i < 4; i++) {
        work[i].input = i + 2;
        ASSERT_EQ(Thread_Begin(&handles[i], &work[i], Square), 1);
        ASSERT_NE(handles[i], nullptr);
        EXPECT_EQ(reinterpret_cast<Class*>(handles[i])->ClassId, (uint32_t)THREAD_CLASS_ID);
    }
    for (uint32_t i = 0; i < 4; i++) {
        uint32_t id = Thread_GetId(handles[i]);
        EXPECT_NE(id, 0u);
        EXPECT_NE(id, Thread_GetCurrentId());
        EXPECT_EQ(Thread_Join(-1, &handles[i]), 1);
        EXPECT_EQ(handles[i], nullptr);
        EXPECT_EQ(work[i].seenId.load(), id);
    }
    Thread* none = nullptr;
    EXPECT_EQ(Thread_Join(0, &none), 1);
    EXPECT_EQ(Thread_GetId(nullptr), 0u);
    EXPECT_EQ(Thread_Release(&none), 0);
}

TEST(Thread, ContainerFlagStartsAThreadToo) {
    Work work;
    work.input = 9;
    Thread* handle = nullptr;
    ASSERT_EQ(Thread_BeginEx(&handle, PLATFORM_THREAD_CONTAINER, &work, Square), 1);
    EXPECT_EQ(Thread_Join(-1, &handle), 1);
    EXPECT_NE(work.seenId.load(), 0u);
}

TEST(Thread, JoinWithTimeOutZeroOnARunningThreadKeepsTheHandle) {
    Work work;
    Thread* handle = nullptr;
    ASSERT_EQ(Thread_Begin(&handle, &work, WaitForGate), 1);
    EXPECT_EQ(Thread_Join(0, &handle), 0);
    EXPECT_NE(handle, nullptr);
    EXPECT_EQ(Thread_Join(20, &handle), 0);
    ASSERT_NE(handle, nullptr);
    EXPECT_NE(Thread_GetId(handle), 0u);
    work.gate = 1;
    EXPECT_EQ(Thread_Join(-1, &handle), 1);
    EXPECT_EQ(handle, nullptr);
}

uint32_t WaitTwice(void* parameter) {
    Work* work = static_cast<Work*>(parameter);
    work->started = 1;
    while (!work->gate.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    work->waits[0] = Thread_Wait(5);
    work->waits[1] = Thread_Wait(5);
    return 0;
}

// Two raises before the wait: the first wait takes the signal, the second times out.
TEST(Thread, WaitIsAutoResetAndRaisesDoNotCount) {
    Work work;
    Thread* handle = nullptr;
    ASSERT_EQ(Thread_Begin(&handle, &work, WaitTwice), 1);
    ASSERT_TRUE(WaitFor([&] { return work.started.load() == 1; }));
    const uint32_t id = Thread_GetId(handle);
    EXPECT_EQ(Thread_Signal(id), 1);
    EXPECT_EQ(Thread_SignalEvent(id), 1);
    work.gate = 1;
    EXPECT_EQ(Thread_Join(-1, &handle), 1);
    EXPECT_EQ(work.waits[0], 1);
    EXPECT_EQ(work.waits[1], 0);
}

uint32_t WaitForExitThrice(void* parameter) {
    Work* work = static_cast<Work*>(parameter);
    work->waits[0] = Thread_WaitForExit(-1);
    work->waits[1] = Thread_WaitForExit(0);
    work->waits[2] = Thread_WaitForExit(5);
    return 0;
}

TEST(Thread, WaitForExitStaysRaised) {
    Work work;
    Thread* handle = nullptr;
    ASSERT_EQ(Thread_Begin(&handle, &work, WaitForExitThrice), 1);
    EXPECT_EQ(Thread_SignalExit(Thread_GetId(handle)), 1);
    EXPECT_EQ(Thread_Join(-1, &handle), 1);
    EXPECT_EQ(work.waits[0], 1);
    EXPECT_EQ(work.waits[1], 1);
    EXPECT_EQ(work.waits[2], 1);
    // Once the thread is gone there is nobody to tell.
    EXPECT_EQ(Thread_SignalExit(0x7FFFFFF0), 0);
}

struct Unhandled {
    std::mutex lock;
    std::vector<std::pair<uint32_t, uint32_t>> calls;
};
Unhandled g_unhandled;

void RecordUnhandled(uint32_t threadId, uint32_t isEvent) {
    std::lock_guard<std::mutex> guard(g_unhandled.lock);
    g_unhandled.calls.emplace_back(threadId, isEvent);
}

// Signals for threads not started here wake the main thread and reach the host's callback.
TEST(Thread, SignalsOfUnknownThreadsWakeTheMainThread) {
    EXPECT_EQ(Thread_GetMainId(), Thread_GetCurrentId());
    EXPECT_EQ(Thread_Tick(), 1); // nothing to do without a context
    while (Thread_Wait(0)) {
    }
    g_unhandled.calls.clear();
    EXPECT_EQ(Thread_SetUnhandledSignal(RecordUnhandled), 1);
    const uint32_t main = Thread_GetMainId();
    EXPECT_EQ(Thread_Signal(main), 1);
    EXPECT_EQ(Thread_Wait(0), 1);
    EXPECT_EQ(Thread_Wait(0), 0);
    EXPECT_EQ(Thread_SignalEvent(main), 1);
    EXPECT_EQ(Thread_Signal(0x7FFFFFF0), 1);
    EXPECT_EQ(Thread_Wait(5), 1);
    EXPECT_EQ(Thread_Wait(0), 0);
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {{main, 0}, {main, 1}, {0x7FFFFFF0, 0}};
    EXPECT_EQ(g_unhandled.calls, expected);
    EXPECT_EQ(Thread_SetUnhandledSignal(nullptr), 1);
    Thread_Signal(main);
    EXPECT_EQ(g_unhandled.calls.size(), 3u);
    EXPECT_EQ(Thread_Wait(0), 1);
    // The main thread's exit signal is never raised by the module itself.
    EXPECT_EQ(Thread_WaitForExit(0), 0);
}

uint32_t LookAtSelf(void* parameter) {
    Work* work = static_cast<Work*>(parameter);
    Thread* self = nullptr;
    if (Thread_FindThreadById(Thread_GetCurrentId(), &self)) {
        work->self = self;
        Thread_Release(&self);
    }
    work->queue = Thread_GetCurrentEventQueueHandle();
    work->started = 1;
    while (!work->gate.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

TEST(Thread, FindingThreadsAndTheirQueues) {
    EXPECT_EQ(Thread_GetCurrentEventQueueHandle(), nullptr);
    EXPECT_EQ(Thread_GetMainEventQueueHandle(), nullptr);
    Work work;
    Thread* handle = nullptr;
    ASSERT_EQ(Thread_Begin(&handle, &work, LookAtSelf), 1);
    ASSERT_TRUE(WaitFor([&] { return work.started.load() == 1; }));
    const uint32_t id = Thread_GetId(handle);
    EXPECT_EQ(work.self, handle);
    ASSERT_NE(work.queue, nullptr);

    Thread* found = nullptr;
    EXPECT_EQ(Thread_FindThreadById(id, &found), 1);
    EXPECT_EQ(found, handle);
    EXPECT_EQ(Thread_Release(&found), 1);
    EXPECT_EQ(found, nullptr);
    EventQueue* queue = Thread_GetEventQueueHandle(id);
    EXPECT_EQ(queue, work.queue);
    EventQueue_Release(&queue);
    EventQueue_Release(&work.queue);

    found = reinterpret_cast<Thread*>(&work);
    EXPECT_EQ(Thread_FindThreadById(Thread_GetCurrentId(), &found), 0);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(Thread_GetEventQueueHandle(0x7FFFFFF0), nullptr);

    work.gate = 1;
    EXPECT_EQ(Thread_Join(-1, &handle), 1);
    // A finished thread is no longer listed.
    EXPECT_EQ(Thread_FindThreadById(id, &found), 0);
    EXPECT_EQ(Thread_GetEventQueueHandle(id), nullptr);
}

struct SelfWork {
    int64_t named = -1;
    char name[16] = {};
    int64_t selfJoin = -1;
    bool handleKept = false;
};

uint32_t NameAndJoinSelf(void* parameter) {
    SelfWork* work = static_cast<SelfWork*>(parameter);
    Thread* self = nullptr;
    if (!Thread_FindThreadById(Thread_GetCurrentId(), &self)) return 1;
    work->named = Thread_SetName(self, "worker-with-a-long-name");
    pthread_getname_np(pthread_self(), work->name, sizeof(work->name));
    // Joining itself would wait for ever: refused at once, the handle kept.
    work->selfJoin = Thread_Join(-1, &self);
    work->handleKept = self != nullptr;
    Thread_Release(&self);
    return 0;
}

TEST(Thread, NamesItselfAndCannotJoinItself) {
    SelfWork work;
    Thread* handle = nullptr;
    ASSERT_EQ(Thread_Begin(&handle, &work, NameAndJoinSelf), 1);
    EXPECT_EQ(Thread_Join(-1, &handle), 1);
    EXPECT_EQ(work.named, 1);
    EXPECT_STREQ(work.name, "worker-with-a-l"); // the kernel keeps 15 bytes
    EXPECT_EQ(work.selfJoin, 0);
    EXPECT_TRUE(work.handleKept);
}

struct Worker {
    std::atomic<int32_t> ran{0};
    std::atomic<int32_t> wrongThread{0};
    std::atomic<int32_t> lostWakeUps{0};
    std::atomic<uint32_t> id{0};
    std::atomic<int32_t> gate{0};
    int32_t waitMs = 20000;
};

void CountEvent(void* instance, void* payload) {
    Worker* worker = static_cast<Worker*>(instance);
    if (Thread_GetCurrentId() != worker->id.load()) worker->wrongThread++;
    (void)payload;
    worker->ran++;
}

// A worker's loop: sleep until woken, then run the queue; a wait that times out before the
// exit request means a wake-up was lost.
uint32_t EventLoop(void* parameter) {
    Worker* worker = static_cast<Worker*>(parameter);
    worker->id = Thread_GetCurrentId();
    while (!Thread_WaitForExit(0)) {
        if (!Thread_Wait(worker->waitMs)) worker->lostWakeUps++;
        Thread_Tick();
    }
    return 0;
}

TEST(Thread, EventsAddedFromManyThreadsWakeTheWorkerAndRunOnIt) {
    Worker worker;
    Thread* handle = nullptr;
    ASSERT_EQ(Thread_Begin(&handle, &worker, EventLoop), 1);
    const uint32_t id = Thread_GetId(handle);
    EventQueue* queue = Thread_GetEventQueueHandle(id);
    ASSERT_NE(queue, nullptr);
    constexpr int kProducers = 6;
    constexpr int kEvents = 500;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; p++)
        producers.emplace_back([&] {
            for (int i = 0; i < kEvents; i++) {
                EventQueue_Add(queue, &worker, &i, sizeof(i), CountEvent);
                if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    for (auto& t : producers) t.join();
    EXPECT_TRUE(WaitFor([&] { return worker.ran.load() == kProducers * kEvents; }));
    EXPECT_EQ(Thread_SignalExit(id), 1);
    EXPECT_EQ(Thread_Join(-1, &handle), 1);
    EventQueue_Release(&queue);
    EXPECT_EQ(worker.ran.load(), kProducers * kEvents);
    EXPECT_EQ(worker.wrongThread.load(), 0);
    EXPECT_EQ(worker.lostWakeUps.load(), 0);
}

// An event added the moment Thread_Begin returns, before the new thread has run a line of its
// own, must wake that thread and not its creator.
TEST(Thread, EventAddedRightAfterBeginWakesTheNewThread) {
    for (int round = 0; round < 20; round++) {
        Worker worker;
        worker.waitMs = 3000;
        Thread* handle = nullptr;
        ASSERT_EQ(Thread_Begin(&handle, &worker, EventLoop), 1);
        EventQueue* queue = Thread_GetEventQueueHandle(Thread_GetId(handle));
        ASSERT_NE(queue, nullptr);
        EventQueue_Add(queue, &worker, nullptr, 0, CountEvent);
        EventQueue_Release(&queue);
        EXPECT_TRUE(WaitFor([&] { return worker.ran.load() == 1; }));
        Thread_SignalExit(Thread_GetId(handle));
        EXPECT_EQ(Thread_Join(-1, &handle), 1);
        EXPECT_EQ(worker.lostWakeUps.load(), 0) << "round " << round;
        EXPECT_EQ(worker.wrongThread.load(), 0);
    }
}

void SlowCount(void* instance, void* payload) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    CountEvent(instance, payload);
}

uint32_t GateThenEventLoop(void* parameter) {
    Worker* worker = static_cast<Worker*>(parameter);
    while (!worker->gate.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return EventLoop(parameter);
}

// Ten slow events queued behind one wake-up cannot all run within one flush's budget; the
// pass that stops early wakes the worker again instead of leaving it asleep on due events.
TEST(Thread, AFlushCutShortByItsBudgetWakesTheOwnerAgain) {
    Worker worker;
    worker.waitMs = 3000;
    Thread* handle = nullptr;
    ASSERT_EQ(Thread_Begin(&handle, &worker, GateThenEventLoop), 1);
    EventQueue* queue = Thread_GetEventQueueHandle(Thread_GetId(handle));
    ASSERT_NE(queue, nullptr);
    for (int i = 0; i < 10; i++) EventQueue_Add(queue, &worker, nullptr, 0, SlowCount);
    EventQueue_Release(&queue);
    worker.gate = 1;
    EXPECT_TRUE(WaitFor([&] { return worker.ran.load() == 10; }));
    Thread_SignalExit(Thread_GetId(handle));
    EXPECT_EQ(Thread_Join(-1, &handle), 1);
    EXPECT_EQ(worker.lostWakeUps.load(), 0);
    EXPECT_EQ(worker.wrongThread.load(), 0);
}

uint32_t IdleUntilGate(void* parameter) {
    Worker* worker = static_cast<Worker*>(parameter);
    worker->id = Thread_GetCurrentId();
    // No tick: whatever is queued waits for the thread's end.
    while (!Thread_WaitForExit(1)) {
    }
    return 3;
}

// Events still queued when the function returns run on the thread before the join returns.
TEST(Thread, JoinWaitsForTheLastEvents) {
    Worker worker;
    Thread* handle = nullptr;
    ASSERT_EQ(Thread_Begin(&handle, &worker, IdleUntilGate), 1);
    const uint32_t id = Thread_GetId(handle);
    ASSERT_TRUE(WaitFor([&] { return worker.id.load() == id; }));
    EventQueue* queue = Thread_GetEventQueueHandle(id);
    ASSERT_NE(queue, nullptr);
    for (int i = 0; i < 10; i++) EventQueue_Add(queue, &worker, nullptr, 0, CountEvent);
    EventQueue_Release(&queue);
    Thread_SignalExit(id);
    EXPECT_EQ(Thread_Join(-1, &handle), 1);
    EXPECT_EQ(worker.ran.load(), 10);
    EXPECT_EQ(worker.wrongThread.load(), 0);
}

uint32_t Quick(void* parameter) {
    static_cast<std::atomic<int>*>(parameter)->fetch_add(1);
    return 0;
}

// Many creators start and finish threads at once; half the handles are joined, half released
// at once so that the thread drops the last reference itself.
TEST(Thread, ManyCreatorsStartJoinAndReleaseConcurrently) {
    constexpr int kCreators = 8;
    constexpr int kThreadsEach = 40;
    std::atomic<int> ran{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> creators;
    for (int c = 0; c < kCreators; c++)
        creators.emplace_back([&, c] {
            for (int i = 0; i < kThreadsEach; i++) {
                Thread* handle = nullptr;
                if (Thread_Begin(&handle, &ran, Quick) != 1) {
                    failures++;
                    continue;
                }
                if ((i + c) % 2)
                    Thread_Release(&handle);
                else if (Thread_Join(-1, &handle) != 1)
                    failures++;
                if (handle) failures++;
            }
        });
    for (auto& t : creators) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(WaitFor([&] { return ran.load() == kCreators * kThreadsEach; }));
    // Released threads finish on their own; give them a moment to drop their records.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Thread_CheckForDeadlock(), 1);
}

TEST(Thread, DeadlockCheckPassesForThreadsThatTick) {
    Work work;
    Thread* handle = nullptr;
    ASSERT_EQ(Thread_Begin(&handle, &work, WaitForGate), 1);
    EXPECT_EQ(Thread_CheckForDeadlock(), 1);
    // 59 seconds without a tick are still fine.
    Thread_SetLastTickTime(handle, Time_GetCurrent() - 59.0);
    EXPECT_EQ(Thread_CheckForDeadlock(), 1);
    work.gate = 1;
    EXPECT_EQ(Thread_Join(-1, &handle), 1);
}

TEST(ThreadDeathTest, DeadlockAndBadHandlesAbort) {
    std::string deadlock = AbortRegex(
        "Assertion failed (CurrentTime - Thread->LastTickTime <= 60.f)\nDeadlock detected on thread ");
    const std::string tail = AbortRegex("");
    deadlock.insert(deadlock.size() - (tail.size() - std::string("ABORT - ").size()), "[1-9][0-9]*");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Work work;
            Thread* handle = nullptr;
            Thread_Begin(&handle, &work, WaitForGate);
            Thread_SetLastTickTime(handle, Time_GetCurrent() - 61.0);
            Thread_CheckForDeadlock();
        },
        deadlock);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Thread* handle = nullptr;
            Thread_Begin(&handle, nullptr, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Thread_Join(0, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Class fake = {};
            fake.ClassId = 0xABCD;
            Thread_GetId(reinterpret_cast<Thread*>(&fake));
        },
        "ABORT - Class mismatch pointer \\(0x[0-9A-F]{16}: expected 0x25b3fa47 but was 0x0000abcd\\)");
}

} // namespace
