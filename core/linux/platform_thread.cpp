// POSIX threads under the core's thread objects: a record per thread that hands the new
// thread's kernel id back to its creator, the container start hooks and thread naming.
#include "core/linux/platform_thread.h"

#include <atomic>
#include <cstring>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>

#include "core/linux/platform.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

// The kernel keeps 16 bytes of a thread's name, terminator included.
constexpr size_t kThreadNameLength = 15;

struct PlatformThread {
    Class Header;
    pthread_t Thread;
    int32_t Container;
    int32_t Joined;
    PlatformThreadFunc Function;
    void* Argument;
    // 0 until the new thread has published its id; the creator waits for it.
    std::atomic<uint32_t> ThreadId;
};

PlatformThread* CheckedThread(void* handle) {
    CLASS_CHECK(handle, PLATFORM_THREAD_CLASS_ID);
    return static_cast<PlatformThread*>(handle);
}

void FreeThread(PlatformThread* record) {
    record->~PlatformThread();
    Memory_Free(record, sizeof(PlatformThread));
}

// 64 KiB: the crash handler writes its dump from there, with buffers on that stack.
constexpr size_t kSignalStackSize = 64 * 1024;

void* ThreadTrampoline(void* context) {
    PlatformThread* record = static_cast<PlatformThread*>(context);
    PlatformThreadFunc function = record->Function;
    void* argument = record->Argument;
    // The id callers compare is the kernel's id of the thread, which only the thread itself can
    // read; its creator waits here for it.
    record->ThreadId.store(Platform_ThreadGetCurrentId());
    record->ThreadId.notify_all();
    void* signalStack = Platform_ThreadGiveSignalStack();
    uint32_t result = function(argument);
    Platform_ThreadTakeSignalStack(signalStack);
    return reinterpret_cast<void*>((uintptr_t)result);
}

// Gives the calling thread the priority one fifth up its policy's range.
void LowerPriority() {
    int policy = 0;
    struct sched_param param;
    memset(&param, 0, sizeof(param));
    pthread_t self = pthread_self();
    bool ok = pthread_getschedparam(self, &policy, &param) == 0;
    if (ok) {
        int minimum = sched_get_priority_min(policy);
        int maximum = sched_get_priority_max(policy);
        ok = minimum != -1 && maximum != -1;
        if (ok) {
            param.sched_priority = Platform_ThreadContainerPriority(minimum, maximum);
            ok = pthread_setschedparam(self, policy, &param) == 0;
        }
    }
    if (!ok) Log_Debug("Unable to set thread priority\n");
}

// The longest prefix of name within limit bytes that does not split a UTF-8 sequence.
size_t CutName(const char* name, size_t limit) {
    size_t length = strnlen(name, limit + 1);
    if (length <= limit) return length;
    length = limit;
    while (length > 0 && ((uint8_t)name[length] & 0xC0) == 0x80) length--;
    return length;
}

} // namespace

void* Platform_ThreadGiveSignalStack() {
    stack_t current = {};
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return nullptr;
    void* room = mmap(nullptr, kSignalStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (room == MAP_FAILED) return nullptr;
    stack_t alternate = {};
    alternate.ss_sp = room;
    alternate.ss_size = kSignalStackSize;
    if (sigaltstack(&alternate, nullptr) != 0) {
        munmap(room, kSignalStackSize);
        return nullptr;
    }
    return room;
}

void Platform_ThreadTakeSignalStack(void* room) {
    if (!room) return;
    stack_t off = {};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(room, kSignalStackSize);
}

int32_t Platform_ThreadContainerPriority(int32_t minimum, int32_t maximum) {
    return (int32_t)((double)minimum + 0.2 * ((double)maximum - (double)minimum));
}

int64_t Platform_ThreadBegin(PlatformThreadFunc function, void* argument, uint32_t* threadId, void** handle) {
    ASSERT_POINTER(threadId);
    ASSERT_POINTER(handle);
    *threadId = 0;
    *handle = nullptr;
    ASSERT_POINTER(function);

    void* block = Memory_AllocZero(sizeof(PlatformThread));
    PlatformThread* record = new (block) PlatformThread();
    record->Header.ClassId = PLATFORM_THREAD_CLASS_ID;
    record->Header.RefCount = 1;
    record->Function = function;
    record->Argument = argument;
    *handle = record;

    pthread_attr_t attributes;
    bool ok = pthread_attr_init(&attributes) == 0;
    if (ok) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_JOINABLE);
        ok = pthread_create(&record->Thread, &attributes, ThreadTrampoline, record) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (!ok) {
        *handle = nullptr;
        FreeThread(record);
        return 0;
    }
    record->ThreadId.wait(0);
    *threadId = record->ThreadId.load();
    return 1;
}

int64_t Platform_ThreadJoin(void* handle) {
    PlatformThread* record = CheckedThread(handle);
    if (record->Joined) return 1;
    // Joining fails only for the thread itself (it would wait for ever) or a broken handle.
    if (pthread_join(record->Thread, nullptr) != 0) return 0;
    record->Joined = 1;
    return 1;
}

int64_t Platform_ThreadEnd(void** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    PlatformThread* record = CheckedThread(*handle);
    // A thread nobody joined is detached, so that its resources go back when it finishes;
    // this neither waits for it nor stops it.
    if (!record->Joined) pthread_detach(record->Thread);
    *handle = nullptr;
    FreeThread(record);
    return 1;
}

int64_t Platform_ThreadContainerStart(void* handle, uint32_t flags) {
    PlatformThread* record = CheckedThread(handle);
    if (flags != PLATFORM_THREAD_CONTAINER) return 1;
    LowerPriority();
    record->Container = 1;
    // A container thread needs no run-time set-up of its own here: there is no object run time
    // to switch into multithreading mode and no autorelease pool to open.
    return 1;
}

// Without an autorelease pool a container thread has nothing to drain on each turn.
int64_t Platform_ThreadTick(void* handle) {
    CheckedThread(handle);
    return 1;
}

// Without an autorelease pool a container thread has nothing to drain at its end.
int64_t Platform_ThreadContainerEnd(void* handle, uint32_t) {
    CheckedThread(handle);
    return 1;
}

int64_t Platform_ThreadSetDescription(void* handle, uint32_t threadId, const char* name) {
    // Only the calling thread is named, so the record itself is not needed.
    if (handle) CheckedThread(handle);
    ASSERT_POINTER(name);
    const uint32_t ThreadId = threadId;
    ASSERT_MSG(Platform_ThreadGetCurrentId() == ThreadId,
               "The thread name must be set from within the thread");
    char cut[kThreadNameLength + 1];
    size_t length = CutName(name, kThreadNameLength);
    memcpy(cut, name, length);
    cut[length] = 0;
    return pthread_setname_np(pthread_self(), cut) == 0;
}
