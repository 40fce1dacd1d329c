// Event queues: a pending list guarded by the queue's lock, filled from any thread, and flushed
// by the owner thread, which runs the callbacks without holding the lock.
#include "core/runtime/event_queue.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>

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
    double FlushTimeout; // 0 means the default
    double NextCleanup;
    CriticalSection* Lock; // guards both lists
    Pool* EventPool;
    EventList Pending;
    EventList InFlush; // the events a running flush took
    // Set by the owner while it flushes: a flush started from one of the queue's own callbacks
    // would walk the list under the outer flush's feet.
    int32_t Flushing;
};

namespace {

EventQueue* Checked(EventQueue* queue) {
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

int64_t AddEvent(EventQueue* queue, void* instance, const void* payload, uint32_t size,
                 EventQueueCallback callback, EventQueueCallback cleanup, const char* file, int32_t line) {
    Checked(queue);
    const uint32_t InternalEventSize = size;
    ASSERT_MSG(sizeof(EventQueueEventStruct) + InternalEventSize <= EVENTQUEUE_MAXEVENTSIZE,
               "Event exceed max size");
    if (size > 0) ASSERT_POINTER(payload);

    const double now = Time_GetCurrent();
    {
        CriticalSectionGuard guard(queue->Lock);
        auto* event =
            static_cast<EventQueueEventStruct*>(Pool_Alloc(queue->EventPool, EVENTQUEUE_MAXEVENTSIZE));
        event->Callback = callback;
        event->Cleanup = cleanup;
        event->Instance = instance;
        event->FireTime = now;
        event->File = file;
        event->Line = line;
        event->PayloadSize = size;
        if (size > 0) memcpy(PayloadOf(event), payload, size);
        ListAppend(&queue->Pending, event);
    }
    // The event is due now: wake the owner, after the lock is gone.
    Thread_SignalEvent(queue->ThreadId.load());
    return 1;
}

// Runs one event taken off the lists and gives its record back.
void RunEvent(EventQueue* queue, EventQueueEventStruct* event) {
    if (event->Callback) event->Callback(event->Instance, PayloadOf(event));
    if (event->Cleanup) event->Cleanup(event->Instance, PayloadOf(event));
    FreeEvent(queue, event);
}

} // namespace

int64_t EventQueue_Create(EventQueue** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    void* block = Memory_AllocZero(sizeof(EventQueue));
    EventQueue* queue = new (block) EventQueue();
    queue->Header.ClassId = EVENTQUEUE_CLASS_ID;
    queue->Header.RefCount = 1;
    queue->Header.Delete = DeleteHandle;
    queue->ThreadId.store(Thread_GetCurrentId());
    queue->FlushTimeout = 0;
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
    return static_cast<EventQueue*>(Class_AddRef(Checked(queue)));
}

uint32_t EventQueue_ReleaseInt(EventQueue** handle, const char* file, int32_t line) {
    if (!handle) Debug_AbortInt(file, line, "Pointer is NULL\n");
    if (*handle) Checked(*handle);
    return Class_ReleaseHandle(handle, file, line);
}

int64_t EventQueue_Delete(EventQueue** handle) {
    ASSERT_POINTER(handle);
    EventQueue* queue = Checked(*handle);
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
    Checked(queue);
    ASSERT_POINTER(name);
    String_CopyLength(queue->Name, name, kNameCapacity);
    return 1;
}

int64_t EventQueue_SetThreadId(EventQueue* queue, uint32_t threadId) {
    Checked(queue)->ThreadId.store(threadId);
    return 1;
}

int64_t EventQueue_AddReal(EventQueue* queue, void* instance, const void* payload, uint32_t size,
                           EventQueueCallback callback, const char* file, int32_t line) {
    return AddEvent(queue, instance, payload, size, callback, nullptr, file, line);
}

int64_t EventQueue_AddComplexEvent(EventQueue* queue, void* instance, const void* payload, uint32_t size,
                                   EventQueueCallback callback, EventQueueCallback cleanup) {
    return AddEvent(queue, instance, payload, size, callback, cleanup, __FILE__, __LINE__);
}

int64_t EventQueue_Flush(EventQueue* queue) {
    Checked(queue);
    CheckOwner(queue);
    if (queue->Flushing) {
        CriticalSectionGuard guard(queue->Lock);
        return queue->Pending.Count == 0 && queue->InFlush.Count == 0;
    }

    const double now = Time_GetCurrent();
    {
        CriticalSectionGuard guard(queue->Lock);
        ListMoveTo(&queue->Pending, &queue->InFlush);
        if (queue->InFlush.Count == 0) {
            // Idle: now and then give the pool's chunks back.
            if (now >= queue->NextCleanup) {
                Pool_RemoveAll(queue->EventPool);
                queue->NextCleanup = now + kCleanupSeconds;
            }
            return 1;
        }
    }

    queue->Flushing = 1;
    const double budget = queue->FlushTimeout > 0 ? queue->FlushTimeout : kDefaultFlushSeconds;
    bool cutShort = false;
    EventQueueEventStruct* event = queue->InFlush.First;
    while (event) {
        EventQueueEventStruct* next = event->Next;
        // An event that is not due keeps its place; a disarmed one (no callback) goes now.
        if (event->FireTime > now && event->Callback) {
            event = next;
            continue;
        }
        {
            CriticalSectionGuard guard(queue->Lock);
            ListUnlink(&queue->InFlush, event);
        }
        RunEvent(queue, event);
        if (Time_GetCurrent() - now > budget) {
            cutShort = next != nullptr;
            break;
        }
        event = next;
    }
    queue->Flushing = 0;

    int64_t empty = 0;
    {
        CriticalSectionGuard guard(queue->Lock);
        if (queue->InFlush.Count > 0) {
            // What this flush left keeps its place ahead of the events added meanwhile.
            ListMoveTo(&queue->Pending, &queue->InFlush);
            ListMoveTo(&queue->InFlush, &queue->Pending);
        }
        empty = queue->Pending.Count == 0;
    }
    // The wake-ups of the events left behind were spent on this pass; without a new one the
    // owner would sleep while they are due.
    if (cutShort) Thread_SignalEvent(queue->ThreadId.load());
    return empty;
}
