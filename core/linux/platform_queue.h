// Named concurrent work queues: each queue is a small pool of threads that run posted functions
// in parallel, for blocking work kept off the event-queue threads.
#pragma once

#include <cstdint>

enum : uint32_t { PLATFORM_QUEUE_CLASS_ID = 0x3C81D6A5 };

struct PlatformQueue;

typedef void (*PlatformQueueFunc)(void* context, void* argument);

// A queue whose threads carry the name, cut to 15 bytes. At most maxThreads run at once (0 or
// less: twice the processor count, at least 4 and at most 32); threads start when work finds
// none idle, the first with the queue. 0 with a null handle when no thread can start.
int64_t Platform_QueueCreate(PlatformQueue** handle, const char* name, int32_t maxThreads);
// Runs function(context, argument) on one of the queue's threads; items start in the order
// they were posted and run concurrently. Returns 1.
int64_t Platform_QueueAsync(PlatformQueue* queue, PlatformQueueFunc function, void* context, void* argument);
// Runs what is still queued, stops and joins the threads, frees the queue and nulls the handle.
// Must not run on one of the queue's own threads.
int64_t Platform_QueueDelete(PlatformQueue** handle);
