// Worker threads on top of the platform's native threads: the record of each started thread,
// the list of running ones, the per-thread context and the wake/exit/finish protocol.
#include "core/runtime/thread.h"

#include <atomic>
#include <new>

#include "core/linux/platform.h"
#include "core/runtime/class.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/signal.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"

struct Thread {
    Class Header;           // only the class id is set; the count below is the thread's own
    Signal* WakeSignal;     // auto-reset
    Signal* ExitSignal;     // manual reset: once told to exit, a thread stays told
    Signal* FinishedSignal; // manual reset, raised after the last event ran
    // One for the creator's handle, one for the running thread.
    std::atomic<uint32_t> RefCount;
    uint32_t ThreadId;
    uint32_t Flags;
    std::atomic<double> LastTickTime;
    std::atomic<uint32_t> Draining; // its function returned; the last events run
    void* PlatformHandle;
    EventQueue* Queue;
    void* Parameter;
    ThreadFunc Function;
    Thread* Next;
    Thread* Prev;
};

namespace {

constexpr uint32_t kRecordsPerChunk = 10;
// The longest sleep between the final flushes of a thread whose queue still holds delayed
// events; it bounds how late such an event runs.
constexpr int32_t kFinalFlushWaitMs = 15;

struct ThreadList {
    Class Header; // only the class id is set
    Thread* Head;
    Thread* Tail;
    uint32_t Count;
};

struct ThreadModule {
    uint32_t MainThreadId;
    Pool* Records;
    Signal* MainWake;
    Signal* MainExit;
    CriticalSection* Lock;
    std::atomic<ThreadUnhandledSignalFunc> Unhandled;
    ThreadList List;
};

ThreadModule GlobalThread;

// The record of the thread that runs here, for threads started by Thread_BeginEx only.
thread_local Thread* CurrentThread = nullptr;

// Under the module lock, which also guards the pool.
Thread* NewRecord() {
    void* block = Pool_Alloc(GlobalThread.Records, sizeof(Thread));
    return new (block) Thread();
}

// Under the module lock.
void FreeRecord(Thread* record) {
    record->~Thread();
    Pool_Free(GlobalThread.Records, &record, sizeof(Thread));
}

CriticalSection* ModuleLock() {
    CriticalSection* lock = GlobalThread.Lock;
    ASSERT_POINTER(lock);
    return lock;
}

// Under the module lock.
void Append(Thread* record) {
    ThreadList& list = GlobalThread.List;
    record->Next = nullptr;
    record->Prev = list.Tail;
    if (list.Tail)
        list.Tail->Next = record;
    else
        list.Head = record;
    list.Tail = record;
    list.Count++;
}

// Under the module lock.
void Unlink(Thread* record) {
    ThreadList& list = GlobalThread.List;
    if (record->Prev)
        record->Prev->Next = record->Next;
    else
        list.Head = record->Next;
    if (record->Next)
        record->Next->Prev = record->Prev;
    else
        list.Tail = record->Prev;
    record->Next = record->Prev = nullptr;
    list.Count--;
}

Thread* Checked(Thread* handle) {
    CLASS_CHECK(handle, THREAD_CLASS_ID);
    return handle;
}

uint32_t ThreadContainer(void* argument) {
    Thread* record = static_cast<Thread*>(argument);
    CurrentThread = record;
    // The creator holds the lock until the record is listed and carries its id and handle.
    CriticalSection_Lock(ModuleLock());
    CriticalSection_Unlock(ModuleLock());

    char name[32];
    String_Print(name, (int32_t)sizeof(name), "Thread-%d", record->ThreadId);
    EventQueue_SetName(record->Queue, name);
    EventQueue_SetThreadId(record->Queue, record->ThreadId);

    Platform_ThreadContainerStart(record->PlatformHandle, record->Flags);
    const uint32_t result = record->Function(record->Parameter);

    // Events added for this thread still run here, so that a join never returns while they do.
    // Events not yet due keep the queue from being empty and would make this loop spin until
    // their time, so it sleeps a little between passes. A pass cut short by its budget raises
    // the thread's own wake signal, so that the next one follows at once. The thread stays
    // listed until its queue is closed: an owner deleting an object on another thread must
    // still find the queue to disarm that object's events.
    record->Draining.store(1);
    do {
        while (!EventQueue_Flush(record->Queue)) Thread_Wait(kFinalFlushWaitMs);
    } while (!EventQueue_CloseIfEmpty(record->Queue));

    CriticalSection_Lock(ModuleLock());
    Unlink(record);
    CriticalSection_Unlock(ModuleLock());

    Platform_ThreadContainerEnd(record->PlatformHandle, result);
    Signal_Set(record->FinishedSignal, 1);
    CurrentThread = nullptr;
    Thread_Release(&record);
    return result;
}

int64_t Wake(uint32_t threadId, uint32_t isEvent) {
    Thread* record = nullptr;
    if (Thread_FindThreadById(threadId, &record)) {
        Signal_Set(record->WakeSignal, 1);
        Thread_Release(&record);
        return 1;
    }
    ASSERT_POINTER(GlobalThread.MainWake);
    Signal_Set(GlobalThread.MainWake, 1);
    ThreadUnhandledSignalFunc unhandled = GlobalThread.Unhandled.load();
    if (unhandled) unhandled(threadId, isEvent);
    return 1;
}

int64_t WaitOn(Signal* signal, int32_t timeoutMs) {
    ASSERT_POINTER(signal);
    uint32_t signalled = 0;
    Signal_Wait(signal, &signalled, timeoutMs);
    return signalled;
}

} // namespace

int64_t Thread_Init() {
    ThreadModule& m = GlobalThread;
    if (m.Lock) return 1;
    m.MainThreadId = Platform_ThreadGetCurrentId();
    Pool_Create(&m.Records);
    Pool_SetMemorySize(m.Records, sizeof(Thread));
    Pool_SetChunkSize(m.Records, kRecordsPerChunk);
    Signal_Create(&m.MainWake);
    Signal_SetAutoReset(m.MainWake, 1);
    Signal_Create(&m.MainExit);
    m.Unhandled.store(nullptr);
    m.List.Header.ClassId = THREAD_CLASS_ID;
    m.List.Head = m.List.Tail = nullptr;
    m.List.Count = 0;
    CriticalSection_Create(&m.Lock);
    return 1;
}

int64_t Thread_Remove() {
    ThreadModule& m = GlobalThread;
    if (!m.Lock) return 1;
    CriticalSection_Delete(&m.Lock);
    Signal_Delete(&m.MainWake);
    Signal_Delete(&m.MainExit);
    Pool_Delete(&m.Records);
    m.Unhandled.store(nullptr);
    m.List.Head = m.List.Tail = nullptr;
    m.List.Count = 0;
    m.MainThreadId = 0;
    return 1;
}

int64_t Thread_Begin(Thread** handle, void* parameter, ThreadFunc function) {
    return Thread_BeginEx(handle, 0, parameter, function);
}

int64_t Thread_BeginEx(Thread** handle, uint32_t flags, void* parameter, ThreadFunc function) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    ASSERT_POINTER(function);
    CriticalSectionGuard guard(ModuleLock());

    Thread* record = NewRecord();
    record->Header.ClassId = THREAD_CLASS_ID;
    record->Function = function;
    record->Flags = flags;
    record->Parameter = parameter;
    record->LastTickTime.store(Time_GetCurrent());
    record->RefCount.store(2);
    Signal_Create(&record->WakeSignal);
    Signal_SetAutoReset(record->WakeSignal, 1);
    Signal_Create(&record->ExitSignal);
    Signal_Create(&record->FinishedSignal);
    EventQueue_Create(&record->Queue);
    *handle = record;

    if (Platform_ThreadBegin(ThreadContainer, record, &record->ThreadId, &record->PlatformHandle)) {
        // The queue is bound to the new thread before anyone can reach it, so that an event
        // added before the thread's first line wakes that thread and not its creator.
        EventQueue_SetThreadId(record->Queue, record->ThreadId);
        Append(record);
        return 1;
    }
    record->RefCount.store(1);
    Thread_Release(handle);
    return 0;
}

int64_t Thread_Join(int32_t timeoutMs, Thread** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 1;
    Thread* record = Checked(*handle);
    // A thread cannot outlive itself: waiting for its own end would never return.
    if (record == CurrentThread) return 0;
    uint32_t finished = 0;
    Signal_Wait(record->FinishedSignal, &finished, timeoutMs);
    if (!finished) return 0;
    const int64_t joined = Platform_ThreadJoin(record->PlatformHandle);
    if (joined != 1) return joined;
    Thread_Release(handle);
    return 1;
}

int64_t Thread_Release(Thread** handle) {
    ASSERT_POINTER(handle);
    Thread* record = *handle;
    *handle = nullptr;
    if (!record) return 0;
    Checked(record);
    if (record->RefCount.fetch_sub(1) != 1) return 1;

    EventQueue_Release(&record->Queue);
    Signal_Delete(&record->WakeSignal);
    Signal_Delete(&record->ExitSignal);
    Signal_Delete(&record->FinishedSignal);
    if (record->PlatformHandle) Platform_ThreadEnd(&record->PlatformHandle);
    record->Header.ClassId = 0;
    CriticalSectionGuard guard(ModuleLock());
    FreeRecord(record);
    return 1;
}

int64_t Thread_FindThreadById(uint32_t threadId, Thread** record) {
    ASSERT_POINTER(record);
    *record = nullptr;
    Thread* self = CurrentThread;
    if (self && self->ThreadId == threadId) {
        self->RefCount.fetch_add(1);
        *record = self;
        return 1;
    }
    // A listed thread still holds its own reference, so adding one under the lock is safe and
    // keeps the record valid after the lock is gone.
    CriticalSectionGuard guard(ModuleLock());
    for (Thread* t = GlobalThread.List.Head; t; t = t->Next) {
        if (t->ThreadId == threadId) {
            t->RefCount.fetch_add(1);
            *record = t;
            return 1;
        }
    }
    return 0;
}

int64_t Thread_Signal(uint32_t threadId) {
    return Wake(threadId, 0);
}

int64_t Thread_SignalEvent(uint32_t threadId) {
    return Wake(threadId, 1);
}

int64_t Thread_SignalExit(uint32_t threadId) {
    Thread* record = nullptr;
    if (!Thread_FindThreadById(threadId, &record)) return 0;
    Signal_Set(record->ExitSignal, 1);
    Signal_Set(record->WakeSignal, 1);
    Thread_Release(&record);
    return 1;
}

int64_t Thread_Wait(int32_t timeoutMs) {
    Thread* self = CurrentThread;
    return WaitOn(self ? self->WakeSignal : GlobalThread.MainWake, timeoutMs);
}

int64_t Thread_WaitForExit(int32_t timeoutMs) {
    Thread* self = CurrentThread;
    return WaitOn(self ? self->ExitSignal : GlobalThread.MainExit, timeoutMs);
}

int64_t Thread_Tick() {
    Thread* self = CurrentThread;
    if (!self) return 1;
    Platform_ThreadTick(self->PlatformHandle);
    self->LastTickTime.store(Time_GetCurrent());
    EventQueue_Flush(self->Queue);
    return 1;
}

EventQueue* Thread_GetEventQueueHandle(uint32_t threadId) {
    Thread* record = nullptr;
    if (!Thread_FindThreadById(threadId, &record)) return nullptr;
    EventQueue* queue = EventQueue_AddRef(record->Queue);
    Thread_Release(&record);
    return queue;
}

EventQueue* Thread_GetCurrentEventQueueHandle() {
    Thread* self = CurrentThread;
    return self ? EventQueue_AddRef(self->Queue) : nullptr;
}

EventQueue* Thread_GetMainEventQueueHandle() {
    return nullptr;
}

uint32_t Thread_GetCurrentId() {
    return Platform_ThreadGetCurrentId();
}

uint32_t Thread_GetMainId() {
    return GlobalThread.MainThreadId;
}

uint32_t Thread_GetId(Thread* handle) {
    if (!handle) return 0;
    return Checked(handle)->ThreadId;
}

int64_t Thread_SetName(Thread* handle, const char* name) {
    Checked(handle);
    ASSERT_POINTER(name);
    return Platform_ThreadSetDescription(handle->PlatformHandle, handle->ThreadId, name);
}

int64_t Thread_SetUnhandledSignal(ThreadUnhandledSignalFunc function) {
    GlobalThread.Unhandled.store(function);
    return 1;
}

int64_t Thread_CheckForDeadlock() {
    CriticalSectionGuard guard(ModuleLock());
    const double CurrentTime = Time_GetCurrent();
    for (Thread* Thread = GlobalThread.List.Head; Thread; Thread = Thread->Next) {
        if (Thread->Draining.load()) continue;
        ASSERT_MSG(CurrentTime - Thread->LastTickTime <= 60.f, "Deadlock detected on thread %d",
                   Thread->ThreadId);
    }
    return 1;
}

int64_t Thread_SetLastTickTime(Thread* handle, double time) {
    Checked(handle)->LastTickTime.store(time);
    return 1;
}
