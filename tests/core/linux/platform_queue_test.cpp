#include "core/linux/platform_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <pthread.h>
#include <signal.h>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/platform_sandbox.h"

namespace {

struct Counter {
    std::atomic<int32_t> ran{0};
    std::atomic<int32_t> running{0};
    std::atomic<int32_t> maxRunning{0};
    std::atomic<int32_t> order{0};
    std::atomic<int32_t> outOfOrder{0};
};

void CountSlowly(void* context, void* argument) {
    Counter* counter = static_cast<Counter*>(context);
    const int32_t now = ++counter->running;
    int32_t seen = counter->maxRunning.load();
    while (now > seen && !counter->maxRunning.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    counter->running--;
    (void)argument;
    counter->ran++;
}

TEST(PlatformQueue, NeverRunsMoreThreadsThanAllowed) {
    PlatformQueue* queue = nullptr;
    ASSERT_EQ(Platform_QueueCreate(&queue, "capped", 2), 1);
    Counter counter;
    for (int32_t i = 0; i < 40; i++) EXPECT_EQ(Platform_QueueAsync(queue, CountSlowly, &counter, nullptr), 1);
    EXPECT_EQ(Platform_QueueDelete(&queue), 1);
    EXPECT_EQ(queue, nullptr);
    EXPECT_EQ(counter.ran.load(), 40);
    EXPECT_LE(counter.maxRunning.load(), 2);
}

void CheckOrder(void* context, void* argument) {
    Counter* counter = static_cast<Counter*>(context);
    const int32_t index = (int32_t) reinterpret_cast<intptr_t>(argument);
    if (counter->order.fetch_add(1) != index) counter->outOfOrder++;
    counter->ran++;
}

// With one thread the items run one after the other in the order they were posted; what is
// still queued at deletion runs before the queue goes.
TEST(PlatformQueue, DeleteRunsWhatIsStillQueued) {
    PlatformQueue* queue = nullptr;
    ASSERT_EQ(Platform_QueueCreate(&queue, "serial", 1), 1);
    Counter counter;
    for (intptr_t i = 0; i < 500; i++)
        Platform_QueueAsync(queue, CheckOrder, &counter, reinterpret_cast<void*>(i));
    EXPECT_EQ(Platform_QueueDelete(&queue), 1);
    EXPECT_EQ(counter.ran.load(), 500);
    EXPECT_EQ(counter.outOfOrder.load(), 0);
}

struct Names {
    std::atomic<int32_t> done{0};
    char name[16] = {};
};

void NoteName(void* context, void*) {
    Names* names = static_cast<Names*>(context);
    pthread_getname_np(pthread_self(), names->name, sizeof(names->name));
    names->done = 1;
}

TEST(PlatformQueue, ThreadsCarryTheQueueNameCutTo15Bytes) {
    struct Case {
        const char* name;
        const char* expected;
    };
    const Case cases[] = {
        {"short", "short"},
        {"exactly15bytes!", "exactly15bytes!"},
        {"com.quarvelon.asyncfile", "com.quarvelon.a"},
        // A two-byte character across the cut is left out whole.
        {"fourteen bytes\xC3\xA9", "fourteen bytes"},
    };
    for (const Case& c : cases) {
        PlatformQueue* queue = nullptr;
        ASSERT_EQ(Platform_QueueCreate(&queue, c.name, 0), 1);
        Names names;
        Platform_QueueAsync(queue, NoteName, &names, nullptr);
        Platform_QueueDelete(&queue);
        EXPECT_EQ(names.done.load(), 1);
        EXPECT_STREQ(names.name, c.expected) << c.name;
    }
}

PlatformQueue* g_selfQueue = nullptr;
void DeleteOwnQueue(void*, void*) {
    Platform_QueueDelete(&g_selfQueue);
}

// A work item that overflows its thread's stack is still reported: the thread has an alternate
// stack for the fatal signal's handler.
TEST(PlatformQueue, WorkRunsOnAThreadWithASignalStack) {
    PlatformQueue* queue = nullptr;
    ASSERT_EQ(Platform_QueueCreate(&queue, "signal-stack", 1), 1);
    std::atomic<int32_t> enabled{-1};
    Platform_QueueAsync(
        queue,
        [](void* context, void*) {
            stack_t current = {};
            const bool has = sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE);
            static_cast<std::atomic<int32_t>*>(context)->store(has ? 1 : 0);
        },
        &enabled, nullptr);
    EXPECT_EQ(Platform_QueueDelete(&queue), 1);
    EXPECT_EQ(enabled.load(), 1);
}

TEST(PlatformQueueDeathTest, AQueueDeletedByItsOwnThreadAborts) {
    ExpectAborts({{"own thread",
                   [] {
                       Platform_QueueCreate(&g_selfQueue, "self", 1);
                       Platform_QueueAsync(g_selfQueue, DeleteOwnQueue, nullptr, nullptr);
                       std::this_thread::sleep_for(std::chrono::seconds(30));
                   },
                   AbortRegex("Assertion failed (OnOwnThread == false)\nA queue cannot be deleted by one of "
                              "its own threads")}});
}

} // namespace
