// Event queues: any thread adds an event (a callback with a small copied payload, due now, after
// a delay or at a time, or merged into an equal pending one) to a queue, and the queue's owner
// thread runs the due events from its loop. The main thread owns the global queue, handle 0.
#pragma once

#include <cstdint>

enum : uint32_t {
    EVENTQUEUE_CLASS_ID = 0xC97BE418,
    EVENTQUEUE_LIST_CLASS_ID = 0x18C354DB,
    // The largest payload an event copies.
    EVENTQUEUE_MAXPAYLOADSIZE = 64,
    // First word of a process event's payload.
    EVENTQUEUE_PROCESS_TAG = 0x74495CC2,
};

struct EventQueue;

// Run with the event's instance and its copy of the payload.
typedef void (*EventQueueCallback)(void* instance, void* payload);
// 1 when the new event (first pair) stands for the pending one (second pair).
typedef int64_t (*EventQueueCompareCallback)(void* instance, const void* payload, void* pendingInstance,
                                             const void* pendingPayload);
// The function a process event runs on the queue's thread.
typedef void (*EventQueueProcessFunc)(void* instance);

// Wherever a queue handle is taken, a null handle means the global queue; using it before
// EventQueue_Init aborts.

// The global queue: created once, owned by the calling thread (the main thread), flush budget
// 0.1 s. Both return 1.
int64_t EventQueue_Init();
int64_t EventQueue_Remove();

int64_t EventQueue_Create(EventQueue** handle);
EventQueue* EventQueue_AddRef(EventQueue* queue);
uint32_t EventQueue_ReleaseInt(EventQueue** handle, const char* file, int32_t line);
// Runs the clean-up functions of the pending events (not their callbacks) and frees the queue.
int64_t EventQueue_Delete(EventQueue** handle);

// The name is cut to 31 characters.
int64_t EventQueue_SetName(EventQueue* queue, const char* name);
// The only thread allowed to flush.
int64_t EventQueue_SetThreadId(EventQueue* queue, uint32_t threadId);
// The time one flush may run events for; 0 (or less) means 0.1 s.
int64_t EventQueue_SetFlushTimeout(EventQueue* queue, double seconds);
// The queue record itself, class-checked.
EventQueue* EventQueue_GetInstance(EventQueue* queue);
// Copies the header's instance id (at most 36 bytes; empty, as queues are not tracked).
int64_t EventQueue_GetInstanceId(EventQueue* queue, char* buffer, int32_t capacity);

// Adding, from any thread: size bytes of payload are copied (at most 64). Each returns 1 when
// the event was queued and 0 when it was merged into an equal pending one. An event that is due
// wakes the owner thread.
int64_t EventQueue_AddReal(EventQueue* queue, void* instance, const void* payload, uint32_t size,
                           EventQueueCallback callback, const char* file, int32_t line);
// Clean-up runs after the callback, or alone when the event is discarded, so that it can
// release what the payload refers to.
int64_t EventQueue_AddComplexEvent(EventQueue* queue, void* instance, const void* payload, uint32_t size,
                                   EventQueueCallback callback, EventQueueCallback cleanup);
// Due now, unless compare finds an equal pending event: that one is made due now instead.
int64_t EventQueue_AddUnique(EventQueue* queue, void* instance, const void* payload, uint32_t size,
                             EventQueueCallback callback, EventQueueCompareCallback compare);
// Due after the delay, or at the given monotonic time (Time_GetCurrent).
int64_t EventQueue_AddDelay(EventQueue* queue, void* instance, const void* payload, uint32_t size,
                            EventQueueCallback callback, double seconds);
int64_t EventQueue_AddTime(EventQueue* queue, void* instance, const void* payload, uint32_t size,
                           EventQueueCallback callback, double time);
// Runs function(instance) once on the queue's thread, however often it is added before it runs.
int64_t EventQueue_AddProcess(EventQueue* queue, void* instance, EventQueueProcessFunc function);
// The same on the queue of the given thread; for the main thread without a queue of its own
// the global queue; 0 when the thread has no queue (or the global queue does not exist).
int64_t EventQueue_AddProcessByThreadId(uint32_t threadId, void* instance, EventQueueProcessFunc function);
// The callback and compare function of process events.
void EventQueue_ProcessRun(void* instance, void* payload);
int64_t EventQueue_ProcessCompare(void* instance, const void* payload, void* pendingInstance,
                                  const void* pendingPayload);

// On the owner thread: runs the due events, in the order they were added, for at most the
// flush budget. 1 when no event is pending afterwards, else 0.
int64_t EventQueue_Flush(EventQueue* queue);
// On the owner thread, at its end: when nothing is pending, the queue takes no more events
// (adding runs only the clean-up function and returns 0) and 1 is returned; else 0.
int64_t EventQueue_CloseIfEmpty(EventQueue* queue);
// Disarms every queued event of the instance: the next flush runs only its clean-up function,
// due or not. From another thread it first waits for a running flush to end, so that no
// callback of the instance runs once it returns. Returns 1.
int64_t EventQueue_RemoveInstance(EventQueue* queue, void* instance);
// Routed like EventQueue_AddProcessByThreadId; 0 when there is no such queue.
int64_t EventQueue_RemoveInstanceByThreadId(uint32_t threadId, void* instance);

#define EventQueue_Release(handle) EventQueue_ReleaseInt((handle), __FILE__, __LINE__)
#define EventQueue_Add(queue, instance, payload, size, callback)                                             \
    EventQueue_AddReal((queue), (instance), (payload), (size), (callback), __FILE__, __LINE__)
