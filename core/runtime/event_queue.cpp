// Event queues: a pending list guarded by the queue's lock, filled from any thread, and flushed
// by the owner thread, which runs the callbacks without holding the lock.
#include "core/runtime/event_queue.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <new>
#include <thread>

#include "core/runtime/class.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"

// One queued event; its payload copy follows it in the same pool item.
struct EventQueueEventStruct {
    EventQueueEventStruct* Next;
    EventQueueEventStruct* Prev;
    EventQueueCallback Callback;
    EventQueueCallback Cleanup;
    void* Instance;
    double FireTime;
    const char* File;
    int32_t Line;
    uint32_t PayloadSize;
};

// A pool item: the record followed by room for the largest payload.
#define EVENTQUEUE_MAXEVENTSIZE (sizeof(EventQueueEventStruct) + EVENTQUEUE_MAXPAYLOADSIZE)

static_assert(sizeof(EventQueueEventStruct) % 16 == 0, "payloads start 16-byte aligned within the item");

namespace {

struct EventList {
    Class Header; // only the class id is set
    EventQueueEventStruct* First;
    EventQueueEventStruct* Last;
    uint32_t Count;
};

// The payload of a process event.
struct ProcessPayload {
    uint32_t Tag;
    uint32_t Unused;
    EventQueueProcessFunc Function;
};
static_assert(sizeof(ProcessPayload) == 16, "a process payload is two words");

constexpr int32_t kNameCapacity = 32;
constexpr uint32_t kEventsPerChunk = 5;
constexpr double kDefaultFlushSeconds = 0.1;
// How long an idle queue keeps its pool's memory before giving it back.
constexpr double kCleanupSeconds = 30.0;

} // namespace

struct EventQueue {
    Class Header;
    char Name[kNameCapacity];
    std::atomic<uint32_t> ThreadId; // the owner, the only thread that flushes
    int32_t GrowthCount;
    std::atomic<double> FlushTimeout; // 0 (or less) means the default
    double NextCleanup;
    CriticalSection* Lock; // guards both lists and Flushing
    Pool* EventPool;
    EventList Pending;
    EventList InFlush; // the events a running flush took
    // Set by the owner, under the lock, from the moment a flush takes events until the last
    // callback has returned and what is left is pending again. Removal on another thread waits
    // for it: the in-flush list alone runs empty while its last callback still runs. It also
    // stops a flush started from one of the queue's own callbacks, which would walk the list
    // under the outer flush's feet.
    int32_t Flushing;
    // Set by the owner thread's last pass: the queue takes no events any more, so nothing can
    // wait in it for a thread that is gone.
    int32_t Closed;
};

namespace {

std::atomic<EventQueue*> GlobalEventQueue{nullptr};

// A null handle stands for the global queue.
EventQueue* Resolve(EventQueue* queue) {
    if (!queue) queue = GlobalEventQueue.load();
    CLASS_CHECK(queue, EVENTQUEUE_CLASS_ID);
    return queue;
}

void ListInit(EventList* list) {
    list->Header.ClassId = EVENTQUEUE_LIST_CLASS_ID;
    list->First = list->Last = nullptr;
    list->Count = 0;
}

void ListAppend(EventList* list, EventQueueEventStruct* event) {
    event->Next = nullptr;
    event->Prev = list->Last;
    if (list->Last)
        list->Last->Next = event;
    else
        list->First = event;
    list->Last = event;
    list->Count++;
}

void ListUnlink(EventList* list, EventQueueEventStruct* event) {
    if (event->Prev)
        event->Prev->Next = event->Next;
    else
        list->First = event->Next;
    if (event->Next)
        event->Next->Prev = event->Prev;
    else
        list->Last = event->Prev;
    event->Next = event->Prev = nullptr;
    list->Count--;
}

// Moves every event of `from` to the end of `to`, order kept.
void ListMoveTo(EventList* from, EventList* to) {
    if (!from->First) return;
    if (to->Last) {
        to->Last->Next = from->First;
        from->First->Prev = to->Last;
    } else {
        to->First = from->First;
    }
    to->Last = from->Last;
    to->Count += from->Count;
    ListInit(from);
}

uint8_t* PayloadOf(EventQueueEventStruct* event) {
    return reinterpret_cast<uint8_t*>(event + 1);
}

void FreeEvent(EventQueue* queue, EventQueueEventStruct* event) {
    Pool_Free(queue->EventPool, &event, EVENTQUEUE_MAXEVENTSIZE);
}

int64_t DeleteHandle(void** handle) {
    return EventQueue_Delete(reinterpret_cast<EventQueue**>(handle));
}

void CheckOwner(const EventQueue* EventQueue) {
    ASSERT_MSG(Thread_GetCurrentId() == EventQueue->ThreadId,
               "Unable to flush event queue on invalid thread");
}

bool IsDue(double fireTime, double now) {
    // Written as the flush tests it, so that a time that is not a number counts as due.
    return !(fireTime > now);
}

struct NewEvent {
    void* Instance;
    const void* Payload;
    uint32_t Size;
    EventQueueCallback Callback;
    EventQueueCallback Cleanup;
    EventQueueCompareCallback Compare;
    double FireTime;
    const char* File;
    int32_t Line;
};

// Under the lock: the first armed pending event the compare function calls equal. A disarmed
// event (its instance removed) never runs its callback, so a request merged into it would be
// lost; events of a running flush are not compared.
EventQueueEventStruct* FindEqual(EventQueue* queue, const NewEvent& add) {
    for (EventQueueEventStruct* event = queue->Pending.First; event; event = event->Next) {
        if (!event->Callback) continue;
        if (add.Compare(add.Instance, add.Payload, event->Instance, PayloadOf(event)) == 1) return event;
    }
    return nullptr;
}

int64_t AddEvent(EventQueue* queue, const NewEvent& add) {
    queue = Resolve(queue);
    const uint32_t InternalEventSize = add.Size;
    ASSERT_MSG(sizeof(EventQueueEventStruct) + InternalEventSize <= EVENTQUEUE_MAXEVENTSIZE,
               "Event exceed max size");
    if (add.Size > 0) ASSERT_POINTER(add.Payload);

    const double now = Time_GetCurrent();
    int64_t queued = 1;
    bool due = false;
    bool closed = false;
    {
        CriticalSectionGuard guard(queue->Lock);
        if (queue->Closed) {
            closed = true;
        } else {
        EventQueueEventStruct* equal = add.Compare ? FindEqual(queue, add) : nullptr;
        if (equal) {
            // Merging never moves the pending event; it can only make it due earlier.
            if (add.FireTime < equal->FireTime) equal->FireTime = add.FireTime;
            due = IsDue(equal->FireTime, now);
            queued = 0;
        } else {
            auto* event =
                static_cast<EventQueueEventStruct*>(Pool_Alloc(queue->EventPool, EVENTQUEUE_MAXEVENTSIZE));
            event->Callback = add.Callback;
            event->Cleanup = add.Cleanup;
            event->Instance = add.Instance;
            event->FireTime = add.FireTime;
            event->File = add.File;
            event->Line = add.Line;
            event->PayloadSize = add.Size;
            uint8_t* payload = PayloadOf(event);
            if (add.Size > 0) memcpy(payload, add.Payload, add.Size);
            // Compare functions see whole payload areas: no stale bytes of an earlier event.
            memset(payload + add.Size, 0, EVENTQUEUE_MAXPAYLOADSIZE - add.Size);
            ListAppend(&queue->Pending, event);
            due = IsDue(add.FireTime, now);
        }
        }
    }
    if (closed) {
        // Like an event discarded with its queue: the callback never runs, the clean-up does.
        if (add.Cleanup) {
            alignas(max_align_t) uint8_t copy[EVENTQUEUE_MAXPAYLOADSIZE] = {};
            if (add.Size > 0) memcpy(copy, add.Payload, add.Size);
            add.Cleanup(add.Instance, copy);
        }
        return 0;
    }
    // Wake the owner after the lock is gone. A merge that made a delayed event due wakes it
    // too: nobody else would, and a sleeping owner would leave the event waiting.
    if (due) Thread_SignalEvent(queue->ThreadId.load());
    return queued;
}

NewEvent MakeEvent(void* instance, const void* payload, uint32_t size, EventQueueCallback callback,
                   double fireTime, const char* file, int32_t line) {
    NewEvent add = {};
    add.Instance = instance;
    add.Payload = payload;
    add.Size = size;
    add.Callback = callback;
    add.FireTime = fireTime;
    add.File = file;
    add.Line = line;
    return add;
}

// Runs one event taken off the lists and gives its record back.
void RunEvent(EventQueue* queue, EventQueueEventStruct* event) {
    if (event->Callback) event->Callback(event->Instance, PayloadOf(event));
    if (event->Cleanup) event->Cleanup(event->Instance, PayloadOf(event));
    FreeEvent(queue, event);
}

// Owner thread, without the lock: walks the in-flush list from its head and runs the events
// due at `now` (and disarmed ones), passing over the others, until the list is passed, the
// budget (when above 0) is spent or `limit` events were handled. Only the owner changes the
// in-flush list, so the walk may read it unlocked. True when it stopped with events left to
// visit.
bool HandleEvents(EventQueue* queue, double now, double budget, uint32_t limit) {
    uint32_t handled = 0;
    EventQueueEventStruct* event = queue->InFlush.First;
    while (event) {
        EventQueueEventStruct* next = event->Next;
        if (event->FireTime > now && event->Callback) {
            event = next;
            continue;
        }
        {
            CriticalSectionGuard guard(queue->Lock);
            ListUnlink(&queue->InFlush, event);
        }
        RunEvent(queue, event);
        handled++;
        if (next && (handled >= limit || (budget > 0 && Time_GetCurrent() - now > budget))) return true;
        event = next;
    }
    return false;
}

// Under the lock: what a flush left keeps its place ahead of the events added meanwhile.
void RequeueLeftovers(EventQueue* queue) {
    if (queue->InFlush.Count == 0) return;
    ListMoveTo(&queue->Pending, &queue->InFlush);
    ListMoveTo(&queue->InFlush, &queue->Pending);
}

// Under the lock.
void Disarm(EventList* list, void* instance) {
    for (EventQueueEventStruct* event = list->First; event; event = event->Next)
        if (event->Instance == instance) event->Callback = nullptr;
}

// The queue of the thread with a reference added; for the main thread without a queue of its
// own, the global queue with a reference (or null when it does not exist). Null otherwise.
EventQueue* QueueOfThread(uint32_t threadId) {
    EventQueue* queue = Thread_GetEventQueueHandle(threadId);
    if (queue) return queue;
    if (threadId != Thread_GetMainId()) return nullptr;
    EventQueue* global = GlobalEventQueue.load();
    return global ? EventQueue_AddRef(global) : nullptr;
}

} // namespace

int64_t EventQueue_Init() {
    if (GlobalEventQueue.load()) return 1;
    EventQueue* queue = nullptr;
    EventQueue_Create(&queue);
    EventQueue_SetName(queue, "Global");
    EventQueue_SetFlushTimeout(queue, kDefaultFlushSeconds);
    EventQueue* expected = nullptr;
    if (!GlobalEventQueue.compare_exchange_strong(expected, queue)) EventQueue_Release(&queue);
    return 1;
}

int64_t EventQueue_Remove() {
    EventQueue* queue = GlobalEventQueue.exchange(nullptr);
    if (queue) EventQueue_Release(&queue);
    return 1;
}

int64_t EventQueue_Create(EventQueue** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    void* block = Memory_AllocZero(sizeof(EventQueue));
    EventQueue* queue = new (block) EventQueue();
    queue->Header.ClassId = EVENTQUEUE_CLASS_ID;
    queue->Header.RefCount = 1;
    queue->Header.Delete = DeleteHandle;
    queue->ThreadId.store(Thread_GetCurrentId());
    queue->FlushTimeout.store(0);
    queue->NextCleanup = Time_GetCurrent() + kCleanupSeconds;
    CriticalSection_Create(&queue->Lock);
    Pool_Create(&queue->EventPool);
    Pool_SetMemorySize(queue->EventPool, EVENTQUEUE_MAXEVENTSIZE);
    Pool_SetChunkSize(queue->EventPool, kEventsPerChunk);
    Pool_SetAllowLock(queue->EventPool, 1);
    ListInit(&queue->Pending);
    ListInit(&queue->InFlush);
    *handle = queue;
    return 1;
}

EventQueue* EventQueue_AddRef(EventQueue* queue) {
    return static_cast<EventQueue*>(Class_AddRef(Resolve(queue)));
}

uint32_t EventQueue_ReleaseInt(EventQueue** handle, const char* file, int32_t line) {
    if (!handle) Debug_AbortInt(file, line, "Pointer is NULL\n");
    if (*handle) Resolve(*handle);
    return Class_ReleaseHandle(handle, file, line);
}

int64_t EventQueue_Delete(EventQueue** handle) {
    ASSERT_POINTER(handle);
    EventQueue* queue = *handle;
    CLASS_CHECK(queue, EVENTQUEUE_CLASS_ID);
    if (queue->GrowthCount > 0)
        Log_Warning(
            "Detected an increase of event queue [%s] while flushing events. This happened %d times\n",
            queue->Name, queue->GrowthCount);

    EventList discarded;
    ListInit(&discarded);
    CriticalSection_Lock(queue->Lock);
    ListMoveTo(&queue->InFlush, &discarded);
    ListMoveTo(&queue->Pending, &discarded);
    CriticalSection_Unlock(queue->Lock);
    // Callbacks do not run, but clean-up functions do: they release what the payloads refer to.
    while (EventQueueEventStruct* event = discarded.First) {
        ListUnlink(&discarded, event);
        if (event->Cleanup) event->Cleanup(event->Instance, PayloadOf(event));
        FreeEvent(queue, event);
    }

    Pool_RemoveAll(queue->EventPool);
    Pool_Delete(&queue->EventPool);
    CriticalSection_Delete(&queue->Lock);
    queue->Header.ClassId = 0;
    *handle = nullptr;
    queue->~EventQueue();
    Memory_Free(queue, sizeof(EventQueue));
    return 1;
}

int64_t EventQueue_SetName(EventQueue* queue, const char* name) {
    queue = Resolve(queue);
    ASSERT_POINTER(name);
    String_CopyLength(queue->Name, name, kNameCapacity);
    return 1;
}

int64_t EventQueue_SetThreadId(EventQueue* queue, uint32_t threadId) {
    Resolve(queue)->ThreadId.store(threadId);
    return 1;
}

int64_t EventQueue_SetFlushTimeout(EventQueue* queue, double seconds) {
    Resolve(queue)->FlushTimeout.store(seconds);
    return 1;
}

EventQueue* EventQueue_GetInstance(EventQueue* queue) {
    return Resolve(queue);
}

int64_t EventQueue_GetInstanceId(EventQueue* queue, char* buffer, int32_t capacity) {
    queue = Resolve(queue);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    buffer[0] = 0;
    String_CopyLengthSafe(buffer, capacity, queue->Header.InstanceId,
                          (int32_t)sizeof(queue->Header.InstanceId));
    return 1;
}

int64_t EventQueue_AddReal(EventQueue* queue, void* instance, const void* payload, uint32_t size,
                           EventQueueCallback callback, const char* file, int32_t line) {
    return AddEvent(queue, MakeEvent(instance, payload, size, callback, Time_GetCurrent(), file, line));
}

int64_t EventQueue_AddComplexEvent(EventQueue* queue, void* instance, const void* payload, uint32_t size,
                                   EventQueueCallback callback, EventQueueCallback cleanup) {
    NewEvent add = MakeEvent(instance, payload, size, callback, Time_GetCurrent(), __FILE__, __LINE__);
    add.Cleanup = cleanup;
    return AddEvent(queue, add);
}

int64_t EventQueue_AddUnique(EventQueue* queue, void* instance, const void* payload, uint32_t size,
                             EventQueueCallback callback, EventQueueCompareCallback compare) {
    NewEvent add = MakeEvent(instance, payload, size, callback, Time_GetCurrent(), __FILE__, __LINE__);
    add.Compare = compare;
    return AddEvent(queue, add);
}

int64_t EventQueue_AddDelay(EventQueue* queue, void* instance, const void* payload, uint32_t size,
                            EventQueueCallback callback, double seconds) {
    return AddEvent(
        queue, MakeEvent(instance, payload, size, callback, Time_GetCurrent() + seconds, __FILE__, __LINE__));
}

int64_t EventQueue_AddTime(EventQueue* queue, void* instance, const void* payload, uint32_t size,
                           EventQueueCallback callback, double time) {
    return AddEvent(queue, MakeEvent(instance, payload, size, callback, time, __FILE__, __LINE__));
}

int64_t EventQueue_AddProcess(EventQueue* queue, void* instance, EventQueueProcessFunc function) {
    ASSERT_POINTER(function);
    ProcessPayload payload = {};
    payload.Tag = EVENTQUEUE_PROCESS_TAG;
    payload.Function = function;
    return EventQueue_AddUnique(queue, instance, &payload, sizeof(payload), EventQueue_ProcessRun,
                                EventQueue_ProcessCompare);
}

int64_t EventQueue_AddProcessByThreadId(uint32_t threadId, void* instance, EventQueueProcessFunc function) {
    EventQueue* queue = Thread_GetEventQueueHandle(threadId);
    if (!queue) {
        if (threadId != Thread_GetMainId()) return 0;
        // The main thread's events go to the global queue; a poster on another thread may come
        // before it was made or after it was removed, and is then told so.
        if (!GlobalEventQueue.load()) return 0;
        return EventQueue_AddProcess(nullptr, instance, function);
    }
    const int64_t result = EventQueue_AddProcess(queue, instance, function);
    EventQueue_Release(&queue);
    return result;
}

void EventQueue_ProcessRun(void* instance, void* payload) {
    if (!payload) return;
    ProcessPayload process;
    memcpy(&process, payload, sizeof(process));
    if (process.Tag != EVENTQUEUE_PROCESS_TAG || !process.Function) return;
    process.Function(instance);
}

int64_t EventQueue_ProcessCompare(void* instance, const void* payload, void* pendingInstance,
                                  const void* pendingPayload) {
    if (!payload || !pendingPayload || instance != pendingInstance) return 0;
    ProcessPayload a, b;
    memcpy(&a, payload, sizeof(a));
    memcpy(&b, pendingPayload, sizeof(b));
    return a.Tag == EVENTQUEUE_PROCESS_TAG && b.Tag == EVENTQUEUE_PROCESS_TAG && a.Function == b.Function;
}

int64_t EventQueue_Flush(EventQueue* queue) {
    queue = Resolve(queue);
    CheckOwner(queue);
    if (queue->Flushing) {
        CriticalSectionGuard guard(queue->Lock);
        return queue->Pending.Count == 0 && queue->InFlush.Count == 0;
    }

    const double now = Time_GetCurrent();
    uint32_t taken;
    {
        CriticalSectionGuard guard(queue->Lock);
        ListMoveTo(&queue->Pending, &queue->InFlush);
        taken = queue->InFlush.Count;
        if (taken == 0) {
            // Idle: now and then give the pool's chunks back.
            if (now >= queue->NextCleanup) {
                Pool_RemoveAll(queue->EventPool);
                queue->NextCleanup = now + kCleanupSeconds;
            }
            return 1;
        }
        queue->Flushing = 1;
    }

    const double timeout = queue->FlushTimeout.load();
    const double budget = timeout > 0 ? timeout : kDefaultFlushSeconds;
    bool stoppedEarly = HandleEvents(queue, now, budget, UINT32_MAX);

    bool grew = false;
    bool firstGrowth = false;
    {
        CriticalSectionGuard guard(queue->Lock);
        RequeueLeftovers(queue);
        // Only a pass that the budget cut short can fall behind. Events not yet due stay in the
        // list by design, and events that the ones handled posted simply wait for the next pass:
        // counted as growth, every chain of posted notifications beside a timer looked like a
        // queue running away.
        if (stoppedEarly && queue->Pending.Count > taken) {
            grew = true;
            firstGrowth = queue->GrowthCount == 0;
            queue->GrowthCount++;
            ListMoveTo(&queue->Pending, &queue->InFlush);
        }
    }
    if (grew) {
        if (firstGrowth)
            Log_Warning(
                "Detected an increase of event queue [%s] while flushing events. This may result in an "
                "unresponsive application\n",
                queue->Name);
        // Catch up on part of the growth without a budget, so that a queue fed faster than
        // its budget allows still moves.
        if (taken >= 2 && HandleEvents(queue, now, 0, taken / 2)) stoppedEarly = true;
        CriticalSectionGuard guard(queue->Lock);
        RequeueLeftovers(queue);
    }

    int64_t empty;
    {
        CriticalSectionGuard guard(queue->Lock);
        queue->Flushing = 0;
        empty = queue->Pending.Count == 0;
    }
    // The wake-ups of the events left behind were spent on this pass; without a new one the
    // owner would sleep while they are due.
    if (stoppedEarly) Thread_SignalEvent(queue->ThreadId.load());
    return empty;
}

int64_t EventQueue_CloseIfEmpty(EventQueue* queue) {
    queue = Resolve(queue);
    CheckOwner(queue);
    CriticalSectionGuard guard(queue->Lock);
    if (queue->Flushing || queue->Pending.Count > 0 || queue->InFlush.Count > 0) return 0;
    queue->Closed = 1;
    return 1;
}

int64_t EventQueue_RemoveInstance(EventQueue* queue, void* instance) {
    queue = Resolve(queue);
    CriticalSectionGuard guard(queue->Lock);
    if (Thread_GetCurrentId() == queue->ThreadId) {
        // The owner, typically inside a callback: the not yet handled events of the running
        // flush are disarmed as well.
        Disarm(&queue->Pending, instance);
        Disarm(&queue->InFlush, instance);
        return 1;
    }
    while (queue->Flushing) {
        CriticalSection_Unlock(queue->Lock);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        CriticalSection_Lock(queue->Lock);
    }
    Disarm(&queue->Pending, instance);
    return 1;
}

int64_t EventQueue_RemoveInstanceByThreadId(uint32_t threadId, void* instance) {
    // When the global queue is already gone, so are its events: there is nothing to disarm.
    EventQueue* queue = QueueOfThread(threadId);
    if (!queue) return 0;
    EventQueue_RemoveInstance(queue, instance);
    EventQueue_Release(&queue);
    return 1;
}
