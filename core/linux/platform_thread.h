// Native threads for the core's thread objects: start, join and end of a POSIX thread, the
// start hooks a container thread runs on itself, and naming of the calling thread.
#pragma once

#include <cstdint>

enum : uint32_t {
    PLATFORM_THREAD_CLASS_ID = 0x2E551E15,
    // Flag of Platform_ThreadContainerStart: lower the priority and mark a container thread.
    PLATFORM_THREAD_CONTAINER = 1,
};

// The function a platform thread runs; its result becomes the thread's exit value.
typedef uint32_t (*PlatformThreadFunc)(void* argument);

// Starts a joinable thread running function(argument). On success *threadId is the id the new
// thread gets from Platform_ThreadGetCurrentId (see platform.h) and *handle its record; on failure
// both are 0.
int64_t Platform_ThreadBegin(PlatformThreadFunc function, void* argument, uint32_t* threadId, void** handle);
// Waits for the thread to end; a thread already joined has ended, so a second join answers 1.
int64_t Platform_ThreadJoin(void* handle);
// Frees the record and nulls *handle; the thread is neither joined nor stopped.
int64_t Platform_ThreadEnd(void** handle);

// Run by the new thread itself before its work, on each turn of its loop, and after its work.
int64_t Platform_ThreadContainerStart(void* handle, uint32_t flags);
int64_t Platform_ThreadTick(void* handle);
int64_t Platform_ThreadContainerEnd(void* handle, uint32_t ignored);

// Names the calling thread, whose id must be threadId; the handle may be null.
int64_t Platform_ThreadSetDescription(void* handle, uint32_t threadId, const char* name);

// Room for a fatal signal's handler when the calling thread's own stack is what overflowed: an
// alternate signal stack is per thread and a new thread has none. The room given, to hand back to
// Platform_ThreadTakeSignalStack when the thread ends; null when the thread has one already (it
// is left as it is) or none could be made.
void* Platform_ThreadGiveSignalStack();
// Takes back, on the same thread, the room Platform_ThreadGiveSignalStack gave; null does nothing.
void Platform_ThreadTakeSignalStack(void* room);
// The two for a thread body's whole run, whichever way it leaves.
struct PlatformSignalStack {
    PlatformSignalStack() : Room(Platform_ThreadGiveSignalStack()) {}
    ~PlatformSignalStack() { Platform_ThreadTakeSignalStack(Room); }
    PlatformSignalStack(const PlatformSignalStack&) = delete;
    PlatformSignalStack& operator=(const PlatformSignalStack&) = delete;
    void* Room;
};

// The priority a container thread takes within its policy's range [minimum, maximum]: one fifth
// of the way up, truncated.
int32_t Platform_ThreadContainerPriority(int32_t minimum, int32_t maximum);
