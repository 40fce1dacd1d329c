// Thread creation and signal masks of the whole process, taken over in the executable: libraries
// start threads of their own (the toolkit's worker blocks every signal, graphics drivers block the
// crash signals) and none of them would give a thread an alternate signal stack. Without these a
// fault there ends the process with no handler run: no dump, no line.
#include "host/linux/crash_handler_threads.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "core/linux/platform_thread.h"

namespace {

// The synchronous crash signals: a fault raises them on the faulting thread, where a blocked one
// ends the process at once.
constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT};

using CreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
using MaskFunction = int (*)(int, const sigset_t*, sigset_t*);

// What stands behind us: the C library's, or a sanitizer's that calls it.
template <typename Function>
Function Next(std::atomic<Function>* slot, const char* name) {
    Function found = slot->load(std::memory_order_acquire);
    if (!found) {
        found = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
        slot->store(found, std::memory_order_release);
    }
    return found;
}

std::atomic<CreateFunction> g_create{nullptr};
std::atomic<MaskFunction> g_threadMask{nullptr};
std::atomic<MaskFunction> g_processMask{nullptr};

CreateFunction RealCreate() { return Next(&g_create, "pthread_create"); }
MaskFunction RealThreadMask() { return Next(&g_threadMask, "pthread_sigmask"); }
MaskFunction RealProcessMask() { return Next(&g_processMask, "sigprocmask"); }

// Looked up while the process starts, not first in a signal handler (sigprocmask is allowed
// there, dlsym is not).
[[maybe_unused]] const bool g_resolved = RealCreate() && RealThreadMask() && RealProcessMask();

void CrashSignals(sigset_t* set) {
    sigemptyset(set);
    for (const int signal : kCrashSignals) sigaddset(set, signal);
}

int SetMask(MaskFunction real, int how, const sigset_t* set, sigset_t* old) {
    if (!set || how == SIG_UNBLOCK) return real(how, set, old);
    sigset_t kept = *set;
    for (const int signal : kCrashSignals) sigdelset(&kept, signal);
    return real(how, &kept, old);
}

void OpenCrashSignals() {
    sigset_t open;
    CrashSignals(&open);
    if (MaskFunction real = RealThreadMask()) real(SIG_UNBLOCK, &open, nullptr);
}

struct ThreadStart {
    void* (*Routine)(void*);
    void* Argument;
};

void TakeStack(void* room) { Platform_ThreadTakeSignalStack(room); }

// The new thread's mask may come from a creator that blocked everything by other means (a mask
// given in the attributes, a raw system call): the crash signals are opened here whatever it was.
void* CoveredStart(void* raw) {
    const ThreadStart start = *static_cast<ThreadStart*>(raw);
    free(raw);
    OpenCrashSignals();
    void* room = Platform_ThreadGiveSignalStack();
    void* result = nullptr;
    // Also when the thread leaves by pthread_exit or is cancelled.
    pthread_cleanup_push(TakeStack, room);
    result = start.Routine(start.Argument);
    pthread_cleanup_pop(1);
    return result;
}

} // namespace

extern "C" {

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*), void* argument) noexcept {
    const CreateFunction real = RealCreate();
    if (!real) return EAGAIN;
    // The C library's allocator: libraries start threads before the program's own memory
    // functions exist, and the record is freed by the new thread.
    ThreadStart* start = static_cast<ThreadStart*>(malloc(sizeof(ThreadStart)));
    if (!start) return EAGAIN;
    start->Routine = routine;
    start->Argument = argument;
    const int result = real(thread, attributes, CoveredStart, start);
    if (result != 0) free(start);
    return result;
}

// An error number, as the library's.
int pthread_sigmask(int how, const sigset_t* set, sigset_t* old) noexcept {
    const MaskFunction real = RealThreadMask();
    return real ? SetMask(real, how, set, old) : ENOSYS;
}

// -1 with errno, as the library's.
int sigprocmask(int how, const sigset_t* set, sigset_t* old) noexcept {
    const MaskFunction real = RealProcessMask();
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return SetMask(real, how, set, old);
}

} // extern "C"

int64_t Breakpad_CoverEveryThread() {
    OpenCrashSignals();
    // What the libraries of the process reach under these names.
    return dlsym(RTLD_DEFAULT, "pthread_create") == reinterpret_cast<void*>(&pthread_create) &&
                   dlsym(RTLD_DEFAULT, "pthread_sigmask") == reinterpret_cast<void*>(&pthread_sigmask) &&
                   dlsym(RTLD_DEFAULT, "sigprocmask") == reinterpret_cast<void*>(&sigprocmask)
               ? 1
               : 0;
}
