// Signals: a flag guarded by a mutex with a condition variable. Deadlines are taken on the
// steady (monotonic) clock, so that a change of the wall clock neither cuts a wait short nor
// stretches it.
#include "core/runtime/signal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "core/runtime/debug.h"
#include "core/runtime/memory.h"

struct Signal {
    uint32_t AutoReset; // 0 = manual reset
    std::atomic<uint32_t> State;
    std::mutex Mutex;
    std::condition_variable Condition;
};

namespace {

// The shortest wait a positive time-out gives, as the system's sleeps do.
constexpr int32_t kMinimumWaitMs = 15;

Signal* Checked(Signal* signal, const char* file, int32_t line) {
    if (!signal) Debug_AbortInt(file, line, "Pointer is NULL\n");
    return signal;
}

// Under the mutex: true when the signal is raised; an auto-reset signal is consumed.
bool TakeLocked(Signal* signal) {
    if (signal->State.load() == 0) return false;
    if (signal->AutoReset) signal->State.store(0);
    return true;
}

} // namespace

int64_t Signal_Create(Signal** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    void* block = Memory_AllocZero(sizeof(Signal));
    Signal* signal = new (block) Signal();
    signal->AutoReset = 0;
    signal->State.store(0);
    *handle = signal;
    return 1;
}

int64_t Signal_Delete(Signal** handle) {
    ASSERT_POINTER(handle);
    ASSERT_POINTER(*handle);
    Signal* signal = *handle;
    *handle = nullptr;
    signal->~Signal();
    Memory_Free(signal, sizeof(Signal));
    return 1;
}

int64_t Signal_SetInt(Signal* signal, uint32_t value, const char* file, int32_t line) {
    Checked(signal, file, line);
    const uint32_t target = value ? 1 : 0;
    // The waiters are woken while the mutex is held: a waiter that returns may delete the signal
    // at once, so nothing of it may be touched after the unlock.
    std::lock_guard<std::mutex> lock(signal->Mutex);
    if (signal->State.load() == target) return 1;
    signal->State.store(target);
    if (target == 1) {
        if (signal->AutoReset)
            signal->Condition.notify_one();
        else
            signal->Condition.notify_all();
    }
    return 1;
}

int64_t Signal_Get(Signal* signal, uint32_t* state) {
    ASSERT_POINTER(state);
    *state = 0;
    ASSERT_POINTER(signal);
    *state = signal->State.load();
    return 1;
}

int64_t Signal_WaitInt(Signal* signal, uint32_t* signalled, int32_t timeoutMs, const char* file,
                       int32_t line) {
    if (!signalled) Debug_AbortInt(file, line, "Pointer is NULL\n");
    *signalled = 0;
    Checked(signal, file, line);

    std::unique_lock<std::mutex> lock(signal->Mutex);
    if (TakeLocked(signal)) {
        *signalled = 1;
        return 1;
    }
    if (timeoutMs == 0) return 1;
    if (timeoutMs < 0) {
        // Spurious wake-ups and wake-ups taken by another waiter go back to sleep.
        while (!TakeLocked(signal)) signal->Condition.wait(lock);
        *signalled = 1;
        return 1;
    }
    if (timeoutMs < kMinimumWaitMs + 1) timeoutMs = kMinimumWaitMs;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!TakeLocked(signal)) {
        if (signal->Condition.wait_until(lock, deadline) == std::cv_status::timeout) {
            // A raise that came together with the time-out still counts.
            if (TakeLocked(signal)) break;
            return 1;
        }
    }
    *signalled = 1;
    return 1;
}

int64_t Signal_SetAutoReset(Signal* signal, uint32_t autoReset) {
    ASSERT_POINTER(signal);
    std::lock_guard<std::mutex> lock(signal->Mutex);
    signal->AutoReset = autoReset ? 1 : 0;
    return 1;
}

int64_t Signal_GetAutoReset(Signal* signal, uint32_t* autoReset) {
    ASSERT_POINTER(autoReset);
    *autoReset = 0;
    ASSERT_POINTER(signal);
    std::lock_guard<std::mutex> lock(signal->Mutex);
    *autoReset = signal->AutoReset;
    return 1;
}
