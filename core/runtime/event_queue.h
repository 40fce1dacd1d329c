// Event queues: any thread adds an event (a callback with a small copied payload) to a queue,
// and the queue's owner thread runs the due events from its loop.
#pragma once

#include <cstdint>

enum : uint32_t {
    EVENTQUEUE_CLASS_ID = 0xC97BE418,
    EVENTQUEUE_LIST_CLASS_ID = 0x18C354DB,
    // The largest payload an event copies.
    EVENTQUEUE_MAXPAYLOADSIZE = 64,
};

struct EventQueue;

// Run with the event's instance and its copy of the payload.
typedef void (*EventQueueCallback)(void* instance, void* payload);

int64_t EventQueue_Create(EventQueue** handle);
EventQueue* EventQueue_AddRef(EventQueue* queue);
uint32_t EventQueue_ReleaseInt(EventQueue** handle, const char* file, int32_t line);
// Runs the clean-up functions of the pending events (not their callbacks) and frees the queue.
int64_t EventQueue_Delete(EventQueue** handle);

// The name is cut to 31 characters.
int64_t EventQueue_SetName(EventQueue* queue, const char* name);
// The only thread allowed to flush.
int64_t EventQueue_SetThreadId(EventQueue* queue, uint32_t threadId);

// Queue an event due now, copying size bytes of payload (at most 64); the owner thread is woken.
// Returns 1.
int64_t EventQueue_AddReal(EventQueue* queue, void* instance, const void* payload, uint32_t size,
                           EventQueueCallback callback, const char* file, int32_t line);
// The same with a clean-up function that runs after the callback, or alone when the event is
// discarded, so that it can release what the payload refers to.
int64_t EventQueue_AddComplexEvent(EventQueue* queue, void* instance, const void* payload, uint32_t size,
                                   EventQueueCallback callback, EventQueueCallback cleanup);

// On the owner thread: runs the due events, in the order they were added, for at most the
// flush budget. 1 when no event is pending afterwards, else 0.
int64_t EventQueue_Flush(EventQueue* queue);

#define EventQueue_Release(handle) EventQueue_ReleaseInt((handle), __FILE__, __LINE__)
#define EventQueue_Add(queue, instance, payload, size, callback)                                             \
    EventQueue_AddReal((queue), (instance), (payload), (size), (callback), __FILE__, __LINE__)
