// The I/O worker: a class-checked record around one concurrent platform queue and the count
// of posted items that have not finished, which removal waits to reach zero.
#include "core/runtime/io_worker.h"

#include <atomic>
#include <new>

#include "core/linux/platform.h"
#include "core/linux/platform_queue.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"

struct IOWorker {
    Class Header;
    PlatformQueue* Queue;
    std::atomic<uint32_t> Outstanding; // posted items whose function has not returned
};

namespace {

constexpr const char* kQueueName = "com.quarvelon.worker";
constexpr int32_t kRemovePollMs = 100;

std::atomic<IOWorker*> GlobalIOWorker{nullptr};

// Set while a work item runs on this thread: removal from inside an item would wait for
// that item itself for ever.
thread_local bool InWorkItem = false;

IOWorker* Checked(IOWorker* worker) {
    CLASS_CHECK(worker, IOWORKER_CLASS_ID);
    return worker;
}

// What one posted item needs on its thread; the platform queue hands on two pointers only.
struct PostedItem {
    void* Object;
    IOWorkerItem* Item;
};

void RunItem(void* context, void* argument) {
    IOWorker* worker = static_cast<IOWorker*>(context);
    PostedItem posted = *static_cast<PostedItem*>(argument);
    Memory_Free(argument, sizeof(PostedItem));
    InWorkItem = true;
    posted.Item->Function(posted.Object, posted.Item);
    InWorkItem = false;
    // The last touch of the worker: once the count is 0, removal may free it.
    worker->Outstanding.fetch_sub(1);
}

} // namespace

int64_t IOWorker_Init() {
    ASSERT_MSG(GlobalIOWorker == NULL, "IOWorker already initialized");
    void* block = Memory_AllocZero(sizeof(IOWorker));
    IOWorker* worker = new (block) IOWorker();
    worker->Header.ClassId = IOWORKER_CLASS_ID;
    worker->Header.RefCount = 1;
    if (!Platform_QueueCreate(&worker->Queue, kQueueName, 0)) {
        worker->~IOWorker();
        Memory_Free(worker, sizeof(IOWorker));
        return 0;
    }
    IOWorker* expected = nullptr;
    if (!GlobalIOWorker.compare_exchange_strong(expected, worker)) {
        // Another thread's Init won the race: the same programming error as a second call.
        Platform_QueueDelete(&worker->Queue);
        worker->~IOWorker();
        Memory_Free(worker, sizeof(IOWorker));
        ASSERT_MSG(GlobalIOWorker == NULL, "IOWorker already initialized");
    }
    return 1;
}

int64_t IOWorker_Remove() {
    IOWorker* worker = GlobalIOWorker.load();
    if (!worker) return 1;
    Checked(worker);
    ASSERT_MSG(!InWorkItem, "IOWorker cannot be removed by one of its own work items");
    while (worker->Outstanding.load() != 0) Platform_SleepMS(kRemovePollMs);
    GlobalIOWorker.store(nullptr);
    Platform_QueueDelete(&worker->Queue);
    worker->Header.ClassId = 0;
    worker->~IOWorker();
    Memory_Free(worker, sizeof(IOWorker));
    return 1;
}

int64_t IOWorker_IsRunning() {
    return GlobalIOWorker.load() ? 1 : 0;
}

int64_t IOWorker_Post(void* device, void* object, IOWorkerItem* item) {
    (void)device;
    IOWorker* worker = GlobalIOWorker.load();
    ASSERT_POINTER(worker);
    Checked(worker);
    ASSERT_POINTER(item);
    ASSERT_POINTER(item->Function);
    auto* posted = static_cast<PostedItem*>(Memory_Alloc(sizeof(PostedItem)));
    posted->Object = object;
    posted->Item = item;
    worker->Outstanding.fetch_add(1);
    Platform_QueueAsync(worker->Queue, RunItem, worker, posted);
    return 1;
}

int64_t IOWorker_Process() {
    return 1;
}

int64_t IOWorker_AssociateDevice(void* device) {
    (void)device;
    Debug_Abort("Not implemented");
}
