#include "core/runtime/io_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <pthread.h>
#include <thread>
#include <vector>

#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"

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
const bool g_bounded = BoundEveryTest();

// Removal waits for every item posted: an item never counted as finished would hold it for ever.
void RemoveBounded() {
    Deadline deadline("IOWorker_Remove");
    EXPECT_EQ(IOWorker_Remove(), 1);
}

// Polls until the condition holds or 30 seconds pass; a generous bound, not a timing.
bool WaitFor(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
}

// A blocking item: it holds until four items run side by side, notes the thread it ran on and
// hands its result (the index and its square) back to the posting thread's queue.
struct Job {
    IOWorkerItem item; // first, so that the item is the job
    int32_t index = 0;
    char threadName[16] = {};
    uint32_t threadId = 0;
};

struct Batch {
    EventQueue* results = nullptr;
    std::atomic<int32_t> running{0}, maxRunning{0};
    std::vector<int32_t> delivered; // on the results queue's thread only
    uint32_t owner = Thread_GetCurrentId();
};

void RunJob(void* object, IOWorkerItem* item) {
    Batch* batch = static_cast<Batch*>(object);
    Job* job = reinterpret_cast<Job*>(item);
    for (int32_t now = ++batch->running, seen = batch->maxRunning.load();
         now > seen && !batch->maxRunning.compare_exchange_weak(seen, now);) {
    }
    pthread_getname_np(pthread_self(), job->threadName, sizeof(job->threadName));
    job->threadId = Thread_GetCurrentId();
    WaitFor([&] { return batch->maxRunning.load() >= 4; });
    batch->running--;
    const int32_t result[2] = {job->index, job->index * job->index};
    EventQueue_Add(batch->results, batch, result, sizeof(result), [](void* instance, void* payload) {
        Batch* batch = static_cast<Batch*>(instance);
        const int32_t* result = static_cast<const int32_t*>(payload);
        // A wrong result or a delivery on another thread shows as an index out of range.
        const bool right = result[1] == result[0] * result[0] && Thread_GetCurrentId() == batch->owner;
        batch->delivered.push_back(right ? result[0] : -1);
    });
}

TEST(IOWorker, ItemsRunConcurrentlyAndDeliverResultsThroughAQueue) {
    ASSERT_EQ(IOWorker_Init(), 1);
    Batch batch;
    EventQueue_Create(&batch.results);
    constexpr int32_t kJobs = 64;
    std::vector<Job> jobs(kJobs);
    for (int32_t i = 0; i < kJobs; i++) {
        jobs[i].item.Function = RunJob;
        jobs[i].index = i;
        EXPECT_EQ(IOWorker_Post(nullptr, &batch, &jobs[i].item), 1);
    }
    EXPECT_EQ(IOWorker_Process(), 1);
    WaitFor(
        [&] { return Thread_Wait(20), EventQueue_Flush(batch.results), batch.delivered.size() == kJobs; });
    RemoveBounded();
    EventQueue_Flush(batch.results);
    EventQueue_Release(&batch.results);
    std::vector<int32_t> seen(kJobs, 0);
    for (int32_t index : batch.delivered) seen.at(index)++;
    EXPECT_EQ(seen, std::vector<int32_t>(kJobs, 1));
    EXPECT_GE(batch.maxRunning.load(), 4);
    for (const Job& job : jobs) {
        EXPECT_STREQ(job.threadName, "com.quarvelon.w") << "the queue's name, cut to 15 bytes";
        EXPECT_NE(job.threadId, batch.owner);
    }
}

// Posting from many threads at once, items posting more items: a child is posted before its
// parent returns, so the count of outstanding items never falls to 0 early; slow items still
// running when removal starts are waited for.
struct Fanout {
    IOWorkerItem item;
    std::atomic<int32_t>* count;
    int32_t depth;
};

void RunFanout(void*, IOWorkerItem* item) {
    Fanout* job = reinterpret_cast<Fanout*>(item);
    if (job->depth < 0) std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ++*job->count;
    if (job->depth > 0)
        IOWorker_Post(nullptr, nullptr,
                      &(new Fanout{{nullptr, RunFanout}, job->count, job->depth - 1})->item);
    delete job;
}

TEST(IOWorker, RemoveWaitsForEveryItemPostedFromThreadsAndItems) {
    RemoveBounded(); // no worker: nothing to do
    for (int32_t depth : {3, -1, -1}) {
        ASSERT_EQ(IOWorker_Init(), 1);
        std::atomic<int32_t> count{0};
        std::vector<std::thread> posters;
        const int32_t kPosters = depth < 0 ? 2 : 6, kEach = depth < 0 ? 6 : 50;
        for (int32_t p = 0; p < kPosters; p++)
            posters.emplace_back([&] {
                for (int32_t i = 0; i < kEach; i++)
                    IOWorker_Post(nullptr, nullptr, &(new Fanout{{nullptr, RunFanout}, &count, depth})->item);
            });
        for (auto& t : posters) t.join();
        RemoveBounded();
        EXPECT_EQ(count.load(), kPosters * kEach * (depth < 0 ? 1 : depth + 1)) << depth;
    }
}

void RemoveFromItem(void*, IOWorkerItem*) {
    IOWorker_Remove();
}

TEST(IOWorkerDeathTest, MisuseAborts) {
    static IOWorkerItem noFunction = {}, remove = {nullptr, RemoveFromItem};
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[] { IOWorker_Init(), IOWorker_Init(); },
         "Assertion failed (GlobalIOWorker == NULL)\nIOWorker already initialized"},
        {[] { IOWorker_Post(nullptr, nullptr, &remove); }, "Pointer is NULL\n"}, // no worker
        {[] { IOWorker_Init(), IOWorker_Post(nullptr, nullptr, &noFunction); }, "Pointer is NULL\n"},
        {[] { IOWorker_AssociateDevice(nullptr); }, "Not implemented"},
        // Removal from inside an item would wait for that item for ever.
        {[] {
             IOWorker_Init(), IOWorker_Post(nullptr, nullptr, &remove),
                 std::this_thread::sleep_for(std::chrono::seconds(30));
         },
         "Assertion failed (!InWorkItem)\nIOWorker cannot be removed by one of its own work items"},
    };
    for (const auto& [misuse, text] : cases)
        EXPECT_DEATH((BoundedDeathChild(), misuse()), AbortRegex(text)) << text;
}

} // namespace
