#include "core/runtime/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include "core/linux/platform.h"
#include "core/runtime/class.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/time.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/out_value.h"

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
// Joins wait without a time-out of their own: this bound fails a join that never returns.
const bool g_bounded = BoundEveryTest(60);

// Every test ends with the module's lock free: looking a thread up takes it.
class ThreadTest : public ::testing::Test {
  protected:
    void TearDown() override {
        FromOtherThread("a thread lookup", [] {
            Thread* none = nullptr;
            Thread_FindThreadById(0x7FFFFFF0, &none);
        });
    }
};

// Polls until the condition holds or 30 seconds pass; a generous bound, not a timing.
bool WaitFor(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
}

// What a thread function saw, and a gate that holds it until the test opens it.
struct Work {
    uint32_t input = 0;
    std::atomic<uint32_t> seenId{0};
    std::atomic<int> gate{0}, started{0};
    int64_t waits[3] = {-1, -1, -1};
    Thread* self = nullptr;
    EventQueue* queue = nullptr;
    void Hold() {
        started = 1;
        while (!gate.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

// Starts a thread running fn(work) and waits until it has started.
Thread* Start(Work* work, ThreadFunc fn) {
    Thread* handle = nullptr;
    EXPECT_EQ(Thread_Begin(&handle, work, fn), 1);
    EXPECT_TRUE(WaitFor([work] { return work->started.load() == 1; }));
    return handle;
}

uint32_t Square(void* parameter) {
    static_cast<Work*>(parameter)->seenId = Thread_GetCurrentId();
    return static_cast<Work*>(parameter)->input * static_cast<Work*>(parameter)->input;
}

uint32_t WaitForGate(void* parameter) {
    return static_cast<Work*>(parameter)->Hold(), 7;
}

TEST_F(ThreadTest, BeginRunsTheFunctionAndJoinGivesTheHandleBack) {
    Work work[4];
    Thread* handles[4] = {};
    for (uint32_t i = 0; i < 4; i++) {
        work[i].input = i + 2;
        // The container flag goes to the platform's start hook; the thread starts all the same.
        ASSERT_EQ(
            Thread_BeginEx(&handles[i], i == 3 ? (uint32_t)PLATFORM_THREAD_CONTAINER : 0u, &work[i], Square),
            1);
    }
    for (uint32_t i = 0; i < 4; i++) {
        const uint32_t id = Thread_GetId(handles[i]);
        EXPECT_TRUE(id != 0 && id != Thread_GetCurrentId());
        EXPECT_EQ(Thread_Join(-1, &handles[i]), 1);
        EXPECT_EQ(handles[i], nullptr);
        EXPECT_EQ(work[i].seenId.load(), id);
    }
    Thread* none = nullptr;
    EXPECT_EQ(Thread_Join(0, &none), 1);
    EXPECT_EQ(Thread_GetId(nullptr), 0u);
    EXPECT_EQ(Thread_Release(&none), 0);
}

uint32_t WaitTwiceThenForExitThrice(void* parameter) {
    Work* work = static_cast<Work*>(parameter);
    work->Hold();
    work->waits[0] = Thread_Wait(5);
    work->waits[1] = Thread_Wait(5);
    work->started = 2;
    while (!Thread_WaitForExit(-1)) {
    }
    work->waits[2] = Thread_WaitForExit(0) + Thread_WaitForExit(5);
    return 0;
}

// Two raises before the wait: the first wait takes the wake signal, the second times out; the
// exit signal, once raised, stays so.
TEST_F(ThreadTest, WakeIsAutoResetAndExitStaysRaised) {
    Work work;
    Thread* handle = Start(&work, WaitTwiceThenForExitThrice);
    const uint32_t id = Thread_GetId(handle);
    EXPECT_EQ(Thread_Signal(id) + Thread_SignalEvent(id), 2);
    work.gate = 1;
    EXPECT_TRUE(WaitFor([&] { return work.started.load() == 2; }));
    EXPECT_EQ(Thread_SignalExit(id), 1);
    EXPECT_EQ(Thread_Join(-1, &handle), 1);
    EXPECT_EQ(std::vector<int64_t>(work.waits, work.waits + 3), (std::vector<int64_t>{1, 0, 2}));
    EXPECT_EQ(Thread_SignalExit(id), 0) << "once the thread is gone there is nobody to tell";
}

std::mutex g_unhandledLock;
std::vector<std::pair<uint32_t, uint32_t>> g_unhandled;

// Signals for threads not started here wake the main thread and reach the host's callback.
TEST_F(ThreadTest, SignalsOfUnknownThreadsWakeTheMainThread) {
    EXPECT_EQ(Thread_GetMainId(), Thread_GetCurrentId());
    EXPECT_EQ(Thread_Tick(), 1); // nothing to do without a context
    while (Thread_Wait(0)) {
    }
    g_unhandled.clear();
    EXPECT_EQ(Thread_SetUnhandledSignal([](uint32_t threadId, uint32_t isEvent) {
                  std::lock_guard<std::mutex> guard(g_unhandledLock);
                  g_unhandled.emplace_back(threadId, isEvent);
              }),
              1);
    const uint32_t main = Thread_GetMainId();
    EXPECT_EQ(Thread_Signal(main), 1);
    EXPECT_EQ(std::vector({Thread_Wait(0), Thread_Wait(0)}), std::vector<int64_t>({1, 0}));
    EXPECT_TRUE(AllOne({Thread_SignalEvent(main), Thread_Signal(0x7FFFFFF0)}));
    EXPECT_EQ(std::vector({Thread_Wait(5), Thread_Wait(0)}), std::vector<int64_t>({1, 0}));
    EXPECT_EQ(g_unhandled,
              (std::vector<std::pair<uint32_t, uint32_t>>{{main, 0}, {main, 1}, {0x7FFFFFF0, 0}}));
    EXPECT_TRUE(AllOne({Thread_SetUnhandledSignal(nullptr), Thread_Signal(main)}));
    EXPECT_EQ(g_unhandled.size(), 3u);
    EXPECT_EQ(Thread_Wait(0), 1);
    // The main thread's exit signal is never raised by the module itself.
    EXPECT_EQ(Thread_WaitForExit(0), 0);
}

uint32_t LookAtSelf(void* parameter) {
    Work* work = static_cast<Work*>(parameter);
    Thread* self = nullptr;
    if (Thread_FindThreadById(Thread_GetCurrentId(), &self)) work->self = self, Thread_Release(&self);
    work->queue = Thread_GetCurrentEventQueueHandle();
    work->Hold();
    return 0;
}

TEST_F(ThreadTest, FindingThreadsAndTheirQueues) {
    EXPECT_EQ(Thread_GetCurrentEventQueueHandle(), nullptr);
    EXPECT_EQ(Thread_GetMainEventQueueHandle(), nullptr);
    Work work;
    Thread* handle = Start(&work, LookAtSelf);
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

// Names itself, and cannot join itself: that would wait for ever, so it is refused at once with
// the handle kept.
uint32_t NameAndJoinSelf(void* parameter) {
    Work* work = static_cast<Work*>(parameter);
    Thread* self = nullptr;
    if (!Thread_FindThreadById(Thread_GetCurrentId(), &self)) return 1;
    work->waits[0] = Thread_SetName(self, "worker-with-a-long-name");
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    work->waits[1] = std::string(name) == "worker-with-a-l"; // the kernel keeps 15 bytes
    work->waits[2] = Thread_Join(-1, &self) == 0 && self != nullptr;
    Thread_Release(&self);
    return 0;
}

TEST_F(ThreadTest, NamesItselfAndCannotJoinItself) {
    Work work;
    Thread* handle = nullptr;
    ASSERT_EQ(Thread_Begin(&handle, &work, NameAndJoinSelf), 1);
    EXPECT_EQ(Thread_Join(-1, &handle), 1);
    EXPECT_EQ(std::vector<int64_t>(work.waits, work.waits + 3), (std::vector<int64_t>{1, 1, 1}));
}

struct Worker {
    std::atomic<int32_t> ran{0}, wrongThread{0}, lostWakeUps{0}, gate{1};
    std::atomic<uint32_t> id{0};
    int32_t waitMs = 20000;
};

// Counts an event, and as wrong one that runs on another thread or where the thread cannot find its
// own record (also while its last events run after it left the list of running threads).
void CountEvent(void* instance, void*) {
    Worker* worker = static_cast<Worker*>(instance);
    Thread* self = nullptr;
    worker->wrongThread +=
        Thread_GetCurrentId() != worker->id.load() || !Thread_FindThreadById(worker->id, &self);
    Thread_Release(&self);
    worker->ran++;
}

void SlowCount(void* instance, void* payload) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    CountEvent(instance, payload);
}

// A worker's loop: sleep until woken, then run the queue; a wait that times out before the
// exit request means a wake-up was lost.
uint32_t EventLoop(void* parameter) {
    Worker* worker = static_cast<Worker*>(parameter);
    worker->id = Thread_GetCurrentId();
    while (!worker->gate.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    while (!Thread_WaitForExit(0)) {
        worker->lostWakeUps += !Thread_Wait(worker->waitMs);
        Thread_Tick();
    }
    return 0;
}

// A worker running EventLoop, its queue, and the end of it all: every event ran once, on the
// worker, and no wake-up was lost.
struct RunningWorker {
    Worker worker;
    Thread* handle = nullptr;
    EventQueue* queue = nullptr;
    RunningWorker(int32_t waitMs, int32_t gate) {
        worker.waitMs = waitMs;
        worker.gate = gate;
        EXPECT_EQ(Thread_Begin(&handle, &worker, EventLoop), 1);
        queue = Thread_GetEventQueueHandle(Thread_GetId(handle));
        EXPECT_NE(queue, nullptr);
    }
    void Finish(int32_t events) {
        EXPECT_TRUE(WaitFor([&] { return worker.ran.load() == events; }));
        EXPECT_EQ(Thread_SignalExit(Thread_GetId(handle)), 1);
        EXPECT_EQ(Thread_Join(-1, &handle), 1);
        EventQueue_Release(&queue);
        EXPECT_EQ(std::vector({worker.ran.load(), worker.wrongThread.load(), worker.lostWakeUps.load()}),
                  std::vector({events, 0, 0}));
    }
};

TEST_F(ThreadTest, EventsAddedFromManyThreadsWakeTheWorkerAndRunOnIt) {
    RunningWorker running(20000, 1);
    std::vector<std::thread> producers;
    for (int p = 0; p < 6; p++)
        producers.emplace_back([&] {
            for (int i = 0; i < 500; i++) {
                EventQueue_Add(running.queue, &running.worker, &i, sizeof(i), CountEvent);
                if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    for (auto& t : producers) t.join();
    running.Finish(6 * 500);
}

// An event added the moment Thread_Begin returns, before the new thread has run a line of its
// own, must wake that thread and not its creator.
TEST_F(ThreadTest, EventAddedRightAfterBeginWakesTheNewThread) {
    for (int round = 0; round < 20; round++) {
        RunningWorker running(3000, 1);
        EventQueue_Add(running.queue, &running.worker, nullptr, 0, CountEvent);
        running.Finish(1);
    }
}

// Ten slow events queued behind one wake-up cannot all run within one flush's budget; the
// pass that stops early wakes the worker again instead of leaving it asleep on due events.
TEST_F(ThreadTest, AFlushCutShortByItsBudgetWakesTheOwnerAgain) {
    RunningWorker running(3000, 0);
    for (int i = 0; i < 10; i++) EventQueue_Add(running.queue, &running.worker, nullptr, 0, SlowCount);
    running.worker.gate = 1;
    running.Finish(10);
}

uint32_t IdleUntilExit(void* parameter) {
    static_cast<Worker*>(parameter)->id = Thread_GetCurrentId();
    // No tick: whatever is queued waits for the thread's end.
    while (!Thread_WaitForExit(1)) {
    }
    return 3;
}

// Events still queued when the function returns run on the thread before the join returns.
TEST_F(ThreadTest, JoinWaitsForTheLastEvents) {
    Worker worker;
    Thread* handle = nullptr;
    ASSERT_EQ(Thread_Begin(&handle, &worker, IdleUntilExit), 1);
    const uint32_t id = Thread_GetId(handle);
    ASSERT_TRUE(WaitFor([&] { return worker.id.load() == id; }));
    EventQueue* queue = Thread_GetEventQueueHandle(id);
    for (int i = 0; i < 10; i++) EventQueue_Add(queue, &worker, nullptr, 0, CountEvent);
    EventQueue_Release(&queue);
    Thread_SignalExit(id);
    EXPECT_EQ(Thread_Join(-1, &handle), 1);
    EXPECT_EQ(std::vector({worker.ran.load(), worker.wrongThread.load()}), std::vector({10, 0}));
}

// Many creators start and finish threads at once; half the handles are joined, half released
// at once so that the thread drops the last reference itself.
TEST_F(ThreadTest, ManyCreatorsStartJoinAndReleaseConcurrently) {
    constexpr int kCreators = 8, kThreadsEach = 40;
    std::atomic<int> ran{0}, failures{0};
    std::vector<std::thread> creators;
    for (int c = 0; c < kCreators; c++)
        creators.emplace_back([&, c] {
            for (int i = 0; i < kThreadsEach; i++) {
                Thread* handle = nullptr;
                failures += Thread_Begin(&handle, &ran, [](void* count) {
                                return (uint32_t) static_cast<std::atomic<int>*>(count)->fetch_add(1);
                            }) != 1;
                failures += ((i + c) % 2 ? Thread_Release(&handle) : Thread_Join(-1, &handle)) != 1;
                failures += handle != nullptr;
            }
        });
    for (auto& t : creators) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(WaitFor([&] { return ran.load() == kCreators * kThreadsEach; }));
    // Released threads finish on their own; give them a moment to drop their records.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Thread_CheckForDeadlock(), 1);
}

// A thread held at a gate: joins that time out keep the handle; it may go 60 seconds without a
// tick, and past that the deadlock check aborts.
TEST_F(ThreadTest, TimedOutJoinsDeadlockCheckAndWrongHandles) {
    Work work;
    Thread* handle = Start(&work, WaitForGate);
    for (int32_t timeout : {0, 20}) EXPECT_EQ(Thread_Join(timeout, &handle), 0) << timeout;
    ASSERT_NE(handle, nullptr);
    EXPECT_NE(Thread_GetId(handle), 0u);
    EXPECT_EQ(Thread_CheckForDeadlock(), 1);
    Thread_SetLastTickTime(handle, Time_GetCurrent() - 59.0);
    EXPECT_EQ(Thread_CheckForDeadlock(), 1);
    EXPECT_DEATH(
        (BoundedDeathChild(), Thread_SetLastTickTime(handle, Time_GetCurrent() - 61.0),
         Thread_CheckForDeadlock()),
        "ABORT - Assertion failed \\(CurrentTime - Thread->LastTickTime <= 60\\.f\\)\nDeadlock detected on "
        "thread [1-9][0-9]* \\([^ ]+/[0-9]+\\)");
    work.gate = 1;
    EXPECT_EQ(Thread_Join(-1, &handle), 1);
    EXPECT_EQ(handle, nullptr);
    Class fake = {};
    fake.ClassId = 0xABCD;
    EXPECT_DEATH(
        (BoundedDeathChild(), Thread_GetId(reinterpret_cast<Thread*>(&fake))),
        "ABORT - Class mismatch pointer \\(0x[0-9A-F]{16}: expected 0x25b3fa47 but was 0x0000abcd\\)");
}

} // namespace
