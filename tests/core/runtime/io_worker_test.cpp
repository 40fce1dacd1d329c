#include "core/runtime/io_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <pthread.h>
#include <thread>
#include <vector>

#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"
#include "tests/support/abort_hook.h"

namespace {

class IOWorkerEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(Thread_Init(), 1);
    }
    void TearDown() override { EXPECT_EQ(Thread_Remove(), 1); }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new IOWorkerEnvironment);

// Polls until the condition holds or 30 seconds pass; a generous bound, not a timing.
template <typename F> bool WaitFor(F condition) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Batch {
    EventQueue* results = nullptr; // owned by the test's thread
    int32_t concurrency = 0;       // how many items must run at the same time
    std::atomic<int32_t> running{0};
    std::atomic<int32_t> maxRunning{0};
    // Filled on the results queue's thread only.
    std::vector<int32_t> delivered;
    int32_t wrongResults = 0;
    int32_t wrongThread = 0;
    uint32_t owner = 0;
};

struct Job {
    IOWorkerItem item; // first, so that the item is the job
    int32_t index = 0;
    char threadName[16] = {};
    uint32_t threadId = 0;
};

void DeliverResult(void* instance, void* payload) {
    Batch* batch = static_cast<Batch*>(instance);
    int32_t result[2];
    memcpy(result, payload, sizeof(result));
    if (result[1] != result[0] * result[0]) batch->wrongResults++;
    if (Thread_GetCurrentId() != batch->owner) batch->wrongThread++;
    batch->delivered.push_back(result[0]);
}

void RunJob(void* object, IOWorkerItem* item) {
    Batch* batch = static_cast<Batch*>(object);
    Job* job = reinterpret_cast<Job*>(item);
    const int32_t now = ++batch->running;
    int32_t seen = batch->maxRunning.load();
    while (now > seen && !batch->maxRunning.compare_exchange_weak(seen, now)) {
    }
    pthread_getname_np(pthread_self(), job->threadName, sizeof(job->threadName));
    job->threadId = Thread_GetCurrentId();
    // Blocking work: hold until enough items run side by side.
    WaitFor([&] { return batch->maxRunning.load() >= batch->concurrency; });
    batch->running--;
    const int32_t result[2] = {job->index, job->index * job->index};
    EventQueue_Add(batch->results, batch, result, sizeof(result), DeliverResult);
}

// Items run side by side on the worker's own threads and hand their results back to the
// posting thread through its event queue.
TEST(IOWorker, ItemsRunConcurrentlyAndDeliverResultsThroughAQueue) {
    ASSERT_EQ(IOWorker_Init(), 1);
    Batch batch;
    EventQueue_Create(&batch.results);
    batch.owner = Thread_GetCurrentId();
    batch.concurrency = 4;
    constexpr int32_t kJobs = 64;
    std::vector<Job> jobs(kJobs);
    for (int32_t i = 0; i < kJobs; i++) {
        jobs[i].item.Function = RunJob;
        jobs[i].index = i;
        EXPECT_EQ(IOWorker_Post(nullptr, &batch, &jobs[i].item), 1);
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (batch.delivered.size() < (size_t)kJobs && std::chrono::steady_clock::now() < end) {
        Thread_Wait(20);
        EventQueue_Flush(batch.results);
    }
    EXPECT_EQ(IOWorker_Remove(), 1);
    EventQueue_Flush(batch.results);
    EventQueue_Release(&batch.results);

    ASSERT_EQ(batch.delivered.size(), (size_t)kJobs);
    std::vector<int32_t> seen(kJobs, 0);
    for (int32_t index : batch.delivered) seen[index]++;
    EXPECT_EQ(seen, std::vector<int32_t>(kJobs, 1));
    EXPECT_EQ(batch.wrongResults, 0);
    EXPECT_EQ(batch.wrongThread, 0);
    EXPECT_GE(batch.maxRunning.load(), 4);
    for (const Job& job : jobs) {
        // The queue's name, cut to the 15 bytes a thread name holds.
        EXPECT_STREQ(job.threadName, "com.quarvelon.w");
        EXPECT_NE(job.threadId, batch.owner);
    }
}

struct SlowJob {
    IOWorkerItem item;
    std::atomic<int32_t>* done;
};

void RunSlow(void*, IOWorkerItem* item) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ++*reinterpret_cast<SlowJob*>(item)->done;
}

TEST(IOWorker, RemoveWaitsForOutstandingItems) {
    EXPECT_EQ(IOWorker_Remove(), 1); // no worker: nothing to do
    EXPECT_EQ(IOWorker_Process(), 1);
    for (int32_t round = 0; round < 2; round++) {
        ASSERT_EQ(IOWorker_Init(), 1);
        std::atomic<int32_t> done{0};
        std::vector<SlowJob> jobs(12);
        for (SlowJob& job : jobs) {
            job.item.Function = RunSlow;
            job.done = &done;
            IOWorker_Post(nullptr, nullptr, &job.item);
        }
        EXPECT_EQ(IOWorker_Process(), 1);
        EXPECT_EQ(IOWorker_Remove(), 1);
        EXPECT_EQ(done.load(), 12);
    }
}

// Posting from many threads at once, items posting more items.
struct Fanout {
    IOWorkerItem item;
    std::atomic<int32_t>* count;
    int32_t depth;
};

void RunFanout(void*, IOWorkerItem* item) {
    Fanout* job = reinterpret_cast<Fanout*>(item);
    ++*job->count;
    if (job->depth > 0) {
        Fanout* child = new Fanout{{nullptr, RunFanout}, job->count, job->depth - 1};
        IOWorker_Post(nullptr, nullptr, &child->item);
    }
    delete job;
}

TEST(IOWorker, PostsFromManyThreadsAndFromItems) {
    ASSERT_EQ(IOWorker_Init(), 1);
    std::atomic<int32_t> count{0};
    constexpr int32_t kPosters = 6, kEach = 50, kDepth = 3;
    std::vector<std::thread> posters;
    for (int32_t p = 0; p < kPosters; p++)
        posters.emplace_back([&] {
            for (int32_t i = 0; i < kEach; i++) {
                Fanout* job = new Fanout{{nullptr, RunFanout}, &count, kDepth};
                IOWorker_Post(nullptr, nullptr, &job->item);
            }
        });
    for (auto& t : posters) t.join();
    // A child is posted before its parent returns, so the count never falls to 0 early.
    EXPECT_EQ(IOWorker_Remove(), 1);
    EXPECT_EQ(count.load(), kPosters * kEach * (kDepth + 1));
}

void RemoveFromItem(void*, IOWorkerItem*) {
    IOWorker_Remove();
}

TEST(IOWorkerDeathTest, MisuseAborts) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            IOWorker_Init();
            IOWorker_Init();
        },
        AbortRegex("Assertion failed (GlobalIOWorker == NULL)\nIOWorker already initialized"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            IOWorkerItem item = {};
            item.Function = RunSlow;
            IOWorker_Post(nullptr, nullptr, &item);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            IOWorker_Init();
            IOWorker_Post(nullptr, nullptr, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            IOWorker_Init();
            IOWorkerItem item = {};
            IOWorker_Post(nullptr, nullptr, &item);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            IOWorker_AssociateDevice(nullptr);
        },
        AbortRegex("Not implemented"));
    // Removal from inside an item would wait for that item for ever.
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            IOWorker_Init();
            IOWorkerItem item = {};
            item.Function = RemoveFromItem;
            IOWorker_Post(nullptr, nullptr, &item);
            std::this_thread::sleep_for(std::chrono::seconds(30));
        },
        AbortRegex(
            "Assertion failed (!InWorkItem)\nIOWorker cannot be removed by one of its own work items"));
}

} // namespace
