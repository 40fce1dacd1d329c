// Worker threads: each owns an event queue and a wake, an exit and a finished signal, and can
// be woken, told to exit and joined with a time-out. The module keeps the list of running ones.
#pragma once

#include <cstdint>

struct EventQueue;
struct Thread;

enum : uint32_t { THREAD_CLASS_ID = 0x25B3FA47 };

// The function a thread runs; its result is the thread's exit value.
typedef uint32_t (*ThreadFunc)(void* parameter);
// Called when a signal goes to a thread not started here (the main thread included), with the
// id and 0 for Thread_Signal or 1 for Thread_SignalEvent; the host wakes its run loop with it.
typedef void (*ThreadUnhandledSignalFunc)(uint32_t threadId, uint32_t isEvent);

int64_t Thread_Init();
int64_t Thread_Remove();

// Start a thread running function(parameter); on failure 0 and a null handle. The flags go to
// the platform start hook (PLATFORM_THREAD_CONTAINER).
int64_t Thread_Begin(Thread** handle, void* parameter, ThreadFunc function);
int64_t Thread_BeginEx(Thread** handle, uint32_t flags, void* parameter, ThreadFunc function);
// Waits up to the time-out (negative: without limit) for the thread to finish; 0 when it has
// not, the handle kept. On success the handle is released and nulled. 1 for a null handle.
int64_t Thread_Join(int32_t timeoutMs, Thread** handle);
// Drops one reference and nulls the handle; the record goes with the last reference.
int64_t Thread_Release(Thread** handle);
// The calling thread's own record, or a running thread's, with a reference added.
int64_t Thread_FindThreadById(uint32_t threadId, Thread** record);

int64_t Thread_Signal(uint32_t threadId);
int64_t Thread_SignalEvent(uint32_t threadId);
// 0 when no thread with that id was started here and is running.
int64_t Thread_SignalExit(uint32_t threadId);
// 1 when woken (the wake signal resets itself), 0 on time-out.
int64_t Thread_Wait(int32_t timeoutMs);
// 1 once the thread was told to exit; it stays so.
int64_t Thread_WaitForExit(int32_t timeoutMs);
// One pass of a worker's loop: the platform hook, the tick time, one flush of its queue.
int64_t Thread_Tick();

// Queues with a reference added, or null; the main queue is the global one, handle 0.
EventQueue* Thread_GetEventQueueHandle(uint32_t threadId);
EventQueue* Thread_GetCurrentEventQueueHandle();
EventQueue* Thread_GetMainEventQueueHandle();

uint32_t Thread_GetCurrentId();
uint32_t Thread_GetMainId();
uint32_t Thread_GetId(Thread* handle);
// Names the thread; must run on that thread.
int64_t Thread_SetName(Thread* handle, const char* name);
int64_t Thread_SetUnhandledSignal(ThreadUnhandledSignalFunc function);
// Aborts when a running thread has not ticked for more than 60 seconds; else 1.
int64_t Thread_CheckForDeadlock();

// Moves a thread's last tick time, so that tests can age a thread without waiting a minute.
int64_t Thread_SetLastTickTime(Thread* handle, double time);
