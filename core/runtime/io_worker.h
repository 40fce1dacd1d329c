// The I/O worker: one process-wide concurrent queue on which blocking work items run outside
// the event-queue threads; items hand their results back to their owners, usually as events.
#pragma once

#include <cstdint>

enum : uint32_t { IOWORKER_CLASS_ID = 0x0A5CEAF2 };

struct IOWorkerItem;

// Runs on one of the worker's threads with the object and the item that were posted.
typedef void (*IOWorkerFunc)(void* object, IOWorkerItem* item);

// A work item begins with these two words; callers put their own fields after them.
struct IOWorkerItem {
    void* Reserved; // not used by the worker
    IOWorkerFunc Function;
};

// Creates the worker and its queue "com.quarvelon.worker"; a second call aborts. 0 when the
// queue cannot start a thread (the worker then does not exist).
int64_t IOWorker_Init();
// Waits until no posted item is outstanding, then stops the queue and frees the worker.
// Returns 1, also when there is no worker.
int64_t IOWorker_Remove();

// 1 while the worker exists (between IOWorker_Init and IOWorker_Remove), else 0.
int64_t IOWorker_IsRunning();
// Runs item->Function(object, item) on the worker's queue; items run concurrently, so what
// they share they lock themselves. Callers pass 0 as device and an object with a reference
// added for the duration of the work. Returns 1.
int64_t IOWorker_Post(void* device, void* object, IOWorkerItem* item);
// Nothing to do: items complete on the queue's own threads. Returns 1.
int64_t IOWorker_Process();
// Devices are not bound to the worker on this platform: aborts.
int64_t IOWorker_AssociateDevice(void* device);
