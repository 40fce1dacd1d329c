// Concurrent work queues on a pool of threads per queue: a locked list of items, idle threads
// waiting on a condition, and a new thread whenever more items wait than threads are idle.
#include "core/linux/platform_queue.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "core/linux/platform.h"
#include "core/linux/platform_thread.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

constexpr int32_t kNameCapacity = 64;
constexpr int32_t kMinimumThreads = 4;
constexpr int32_t kMaximumThreads = 32;

struct QueueItem {
    QueueItem* Next;
    PlatformQueueFunc Function;
    void* Context;
    void* Argument;
};

} // namespace

struct PlatformQueue {
    Class Header;
    char Name[kNameCapacity];
    std::mutex Lock; // guards everything below
    std::condition_variable WorkArrived;
    QueueItem* First;
    QueueItem* Last;
    int32_t Waiting; // items not yet taken by a thread
    int32_t Idle;    // threads waiting for work, including those woken but not yet running
    int32_t Stopping;
    int32_t ThreadCount;
    int32_t MaxThreads;
    std::thread* Threads; // MaxThreads slots, the first ThreadCount started
};

namespace {

PlatformQueue* Checked(PlatformQueue* queue) {
    CLASS_CHECK(queue, PLATFORM_QUEUE_CLASS_ID);
    return queue;
}

void ThreadMain(PlatformQueue* queue) {
    // A work item that overflows this thread's stack is reported like any crash.
    const PlatformSignalStack signalStack;
    Platform_ThreadSetDescription(nullptr, Platform_ThreadGetCurrentId(), queue->Name);
    std::unique_lock<std::mutex> lock(queue->Lock);
    for (;;) {
        if (QueueItem* item = queue->First) {
            queue->First = item->Next;
            if (!queue->First) queue->Last = nullptr;
            queue->Waiting--;
            lock.unlock();
            item->Function(item->Context, item->Argument);
            Memory_Free(item, sizeof(QueueItem));
            lock.lock();
            continue;
        }
        // Queued items are run before a stop is obeyed, so that work posted before the queue
        // is deleted is never lost.
        if (queue->Stopping) return;
        queue->Idle++;
        queue->WorkArrived.wait(lock);
        queue->Idle--;
    }
}

// Under the queue's lock. A thread that cannot be started is not fatal while others exist:
// they take the items in turn.
bool StartThread(PlatformQueue* queue) {
    if (queue->Stopping || queue->ThreadCount >= queue->MaxThreads) return false;
    try {
        new (&queue->Threads[queue->ThreadCount]) std::thread(ThreadMain, queue);
    } catch (const std::system_error&) {
        return false;
    }
    queue->ThreadCount++;
    return true;
}

void FreeQueue(PlatformQueue* queue) {
    Memory_Free(queue->Threads, sizeof(std::thread) * (size_t)queue->MaxThreads);
    queue->Header.ClassId = 0;
    queue->~PlatformQueue();
    Memory_Free(queue, sizeof(PlatformQueue));
}

} // namespace

int64_t Platform_QueueCreate(PlatformQueue** handle, const char* name, int32_t maxThreads) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    ASSERT_POINTER(name);
    if (maxThreads <= 0) {
        const int32_t processors = (int32_t)std::min<unsigned>(std::thread::hardware_concurrency(), 1024);
        maxThreads = std::clamp(2 * processors, kMinimumThreads, kMaximumThreads);
    }
    void* block = Memory_AllocZero(sizeof(PlatformQueue));
    PlatformQueue* queue = new (block) PlatformQueue();
    queue->Header.ClassId = PLATFORM_QUEUE_CLASS_ID;
    queue->Header.RefCount = 1;
    String_CopyLength(queue->Name, name, kNameCapacity);
    queue->MaxThreads = maxThreads;
    queue->Threads = static_cast<std::thread*>(Memory_Alloc(sizeof(std::thread) * (size_t)maxThreads));

    bool started;
    {
        std::lock_guard<std::mutex> guard(queue->Lock);
        started = StartThread(queue);
    }
    if (!started) {
        FreeQueue(queue);
        return 0;
    }
    *handle = queue;
    return 1;
}

int64_t Platform_QueueAsync(PlatformQueue* queue, PlatformQueueFunc function, void* context, void* argument) {
    Checked(queue);
    ASSERT_POINTER(function);
    auto* item = static_cast<QueueItem*>(Memory_Alloc(sizeof(QueueItem)));
    item->Next = nullptr;
    item->Function = function;
    item->Context = context;
    item->Argument = argument;

    std::lock_guard<std::mutex> guard(queue->Lock);
    if (queue->Last)
        queue->Last->Next = item;
    else
        queue->First = item;
    queue->Last = item;
    queue->Waiting++;
    // Every waiting item should have a thread of its own, so that blocking items do not hold
    // up the others while the pool may still grow.
    if (queue->Waiting > queue->Idle) StartThread(queue);
    queue->WorkArrived.notify_one();
    return 1;
}

int64_t Platform_QueueDelete(PlatformQueue** handle) {
    ASSERT_POINTER(handle);
    PlatformQueue* queue = Checked(*handle);
    const std::thread::id self = std::this_thread::get_id();
    bool OnOwnThread = false;
    {
        std::lock_guard<std::mutex> guard(queue->Lock);
        for (int32_t i = 0; i < queue->ThreadCount; i++) OnOwnThread |= queue->Threads[i].get_id() == self;
        if (!OnOwnThread) queue->Stopping = 1;
    }
    ASSERT_MSG(OnOwnThread == false, "A queue cannot be deleted by one of its own threads");
    queue->WorkArrived.notify_all();
    // No thread starts once stopping is set, so the count read under the lock above holds.
    for (int32_t i = 0; i < queue->ThreadCount; i++) {
        queue->Threads[i].join();
        queue->Threads[i].~thread();
    }
    *handle = nullptr;
    FreeQueue(queue);
    return 1;
}
