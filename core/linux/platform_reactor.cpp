// Reactor of epoll and a worker pool. Read and write sources live in two inner epoll sets (one
// descriptor may carry a source of each kind, which one set could not hold), both watched by the
// outer set of the epoll thread together with an eventfd that wakes it for cancellations and stop.
// Sources are one-shot: the kernel disarms a source when it reports it, and it is armed again
// only when it is resumed and no handler of it runs, so a handler never runs twice at once.
// A source still ready after its handler runs again on the same worker, and a worker that runs
// out of work lingers briefly before sleeping: handing every pass of a busy connection through
// epoll and a sleeping thread costs far more than the pass itself.
#include "core/linux/platform_reactor.h"

#include <errno.h>
#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "core/linux/platform.h"
#include "core/linux/platform_thread.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

constexpr int32_t kNameCapacity = 16;
constexpr int32_t kMinimumThreads = 4;
constexpr int32_t kMaximumThreads = 16;
constexpr int32_t kEventBatch = 128;
constexpr int32_t kBatchesPerRound = 8;
// Passes a ready source makes in a row before it queues behind the others again.
constexpr int32_t kPassesInARow = 64;
// How long an idle worker watches for new work before it sleeps, and how many do at once: one per
// four processors this process may run on, at most two. On fewer than four a lingering worker
// mostly takes the processor from the very thread that is about to post or to run what was
// posted, and sleeping costs less than that.
constexpr auto kLinger = std::chrono::microseconds(50);
constexpr int32_t kMaximumLingering = 2;
constexpr int32_t kProcessorsPerLingering = 4;

// Set on the epoll thread: a source cancelled there is taken out after the batch under way
// without waking that thread through the eventfd.
thread_local PlatformReactor* t_pollingReactor = nullptr;

// A work item that knows its source.
struct SourceWork {
    PlatformWork Work;
    PlatformSource* Source;
};

} // namespace

struct PlatformSource {
    Class Header;
    PlatformReactor* Reactor;
    int32_t Descriptor;
    int32_t Kind;
    void* Context;
    PlatformSourceHandler Event;
    PlatformSourceHandler CancelHandler;
    std::atomic<uint32_t> References; // the owner's and the reactor's, given back after the cancel handler
    SourceWork EventWork;
    SourceWork CancelWork;
    PlatformSource* NextCancelled; // the reactor's list of sources to take out of epoll

    std::mutex Lock; // guards the state below
    int32_t Suspended;
    bool Registered; // in its epoll set (armed or not)
    bool Armed;      // will be reported once when ready
    bool Running;    // the event handler is posted or running
    bool Cancelled;
    bool Detached;     // out of epoll, done by the epoll thread: no report of it can be in flight
    bool CancelPosted; // the cancel handler is posted (once)
    bool Inline;       // the event handler runs on the epoll thread
    bool CancelInline; // and so does the cancel handler (of an inline source)
    bool ArmedLasting; // armed without EPOLLONESHOT: reported while ready, until disarmed
};

struct PlatformReactor {
    Class Header;
    char Name[kNameCapacity];
    int32_t Outer;
    int32_t Inner[2]; // read set, write set
    int32_t Wake;     // eventfd
    std::thread Poller;

    std::mutex CancelLock;
    PlatformSource* CancelledFirst;
    bool Stopping;

    std::mutex WorkLock; // guards the work list and the pool below
    std::condition_variable WorkArrived;
    PlatformWork* First;
    PlatformWork* Last;
    std::atomic<int32_t> Queued; // items on the list; changed under the lock, watched without it
    int32_t Idle;      // workers awake and not running an item: each looks at the list before sleeping
    int32_t Lingering; // idle workers watching Queued
    int32_t Sleeping;
    int32_t Woken; // sleepers signalled that have not yet woken
    bool WorkStopping;
    int32_t ThreadCount;
    int32_t MaxThreads;
    int32_t MaxLingering;
    std::thread* Threads;
};

namespace {

PlatformReactor* CheckedReactor(PlatformReactor* reactor) {
    CLASS_CHECK(reactor, PLATFORM_REACTOR_CLASS_ID);
    return reactor;
}

PlatformSource* CheckedSource(PlatformSource* source) {
    CLASS_CHECK(source, PLATFORM_SOURCE_CLASS_ID);
    return source;
}

void Post(PlatformReactor* reactor, PlatformWork* work) {
    work->Next = nullptr;
    bool wake;
    {
        std::lock_guard<std::mutex> guard(reactor->WorkLock);
        if (reactor->Last)
            reactor->Last->Next = work;
        else
            reactor->First = work;
        reactor->Last = work;
        const int32_t queued = reactor->Queued.load(std::memory_order_relaxed) + 1;
        reactor->Queued.store(queued, std::memory_order_release);
        // Awake idle workers take the items first; a sleeper is woken only for one they cannot.
        wake = queued > reactor->Idle + reactor->Woken && reactor->Sleeping > reactor->Woken;
        if (wake) reactor->Woken++;
    }
    if (wake) reactor->WorkArrived.notify_one();
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Watches the list for a short while; true when something was posted.
bool Linger(PlatformReactor* reactor) {
    const auto end = std::chrono::steady_clock::now() + kLinger;
    for (;;) {
        for (int32_t i = 0; i < 64; i++) {
            if (reactor->Queued.load(std::memory_order_acquire) > 0) return true;
            CpuRelax();
        }
        if (std::chrono::steady_clock::now() > end) return false;
        // On a busy machine the thread about to post may be waiting for this processor.
        std::this_thread::yield();
    }
}

void WorkerMain(PlatformReactor* reactor) {
    // A handler that overflows this thread's stack is reported like any crash.
    const PlatformSignalStack signalStack;
    Platform_ThreadSetDescription(nullptr, Platform_ThreadGetCurrentId(), reactor->Name);
    std::unique_lock<std::mutex> lock(reactor->WorkLock);
    reactor->Idle++;
    bool lingered = false;
    for (;;) {
        if (PlatformWork* work = reactor->First) {
            reactor->First = work->Next;
            if (!reactor->First) reactor->Last = nullptr;
            reactor->Queued.store(reactor->Queued.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
            reactor->Idle--;
            lock.unlock();
            work->Function(work);
            lock.lock();
            reactor->Idle++;
            lingered = false;
            continue;
        }
        // Posted work runs before a stop is obeyed: cancel handlers are never lost.
        if (reactor->WorkStopping) {
            reactor->Idle--;
            return;
        }
        if (!lingered && reactor->Lingering < reactor->MaxLingering) {
            reactor->Lingering++;
            lock.unlock();
            Linger(reactor);
            lock.lock();
            reactor->Lingering--;
            lingered = true;
            continue;
        }
        reactor->Idle--;
        reactor->Sleeping++;
        reactor->WorkArrived.wait(lock);
        reactor->Sleeping--;
        if (reactor->Woken > 0) reactor->Woken--;
        reactor->Idle++;
        lingered = false;
    }
}

void ReleaseSource(PlatformSource* source) {
    if (source->References.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    source->Header.ClassId = 0;
    source->~PlatformSource();
    Memory_Free(source, sizeof(PlatformSource));
}

// Under the source's lock. A source run on the epoll thread is watched for as long as it is
// resumed (its handler never runs twice at once there), so it costs no system call per report;
// any other is watched for one report at a time.
void Arm(PlatformSource* source) {
    if (source->Cancelled || source->Suspended > 0 || source->Running || source->Armed) return;
    epoll_event event{};
    event.events = (source->Kind == PLATFORM_SOURCE_READ ? EPOLLIN : EPOLLOUT) |
                   (source->Inline ? 0u : (uint32_t)EPOLLONESHOT);
    event.data.ptr = source;
    const int32_t set = source->Reactor->Inner[source->Kind == PLATFORM_SOURCE_READ ? 0 : 1];
    const int op = source->Registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    // A descriptor the system will not watch stays quiet rather than spinning its handler.
    if (epoll_ctl(set, op, source->Descriptor, &event) != 0) return;
    source->Registered = true;
    source->Armed = true;
    source->ArmedLasting = source->Inline;
}

// Under the source's lock: stops a lasting watch, which would otherwise report a source that
// nobody runs over and over.
void Disarm(PlatformSource* source) {
    if (!source->Armed || !source->ArmedLasting) {
        source->Armed = false;
        return;
    }
    // Hang-ups and errors are reported whatever the mask: one-shot, so that such a report comes
    // once at most and then finds the source disarmed.
    epoll_event event{};
    event.events = EPOLLONESHOT;
    event.data.ptr = source;
    const int32_t set = source->Reactor->Inner[source->Kind == PLATFORM_SOURCE_READ ? 0 : 1];
    epoll_ctl(set, EPOLL_CTL_MOD, source->Descriptor, &event);
    source->Armed = false;
    source->ArmedLasting = false;
}

// Under the source's lock: the cancel handler may run once the source is out of epoll and its
// event handler has returned. The caller posts it after unlocking, since the cancel work frees
// the source, lock included.
bool CancelDue(PlatformSource* source) {
    if (!source->Cancelled || !source->Detached || source->Running || source->CancelPosted) return false;
    source->CancelPosted = true;
    return true;
}

// Whether the descriptor would be reported now, asked without waiting.
bool StillReady(PlatformSource* source) {
    pollfd entry{};
    entry.fd = source->Descriptor;
    entry.events = source->Kind == PLATFORM_SOURCE_READ ? POLLIN : POLLOUT;
    if (poll(&entry, 1, 0) != 1) return false;
    return (entry.revents & (entry.events | POLLERR | POLLHUP)) != 0 && (entry.revents & POLLNVAL) == 0;
}

void RunEvent(PlatformWork* work) {
    PlatformSource* source = reinterpret_cast<SourceWork*>(work)->Source;
    for (int32_t pass = 1;; pass++) {
        source->Event(source->Context);
        const bool ready = pass < kPassesInARow && StillReady(source);
        bool cancelDue = false;
        {
            std::lock_guard<std::mutex> guard(source->Lock);
            // Still ready and still wanted: run again here, as the epoll thread would have
            // had this worker or another do after a round trip.
            if (ready && !source->Cancelled && source->Suspended == 0) continue;
            source->Running = false;
            if (source->Cancelled)
                cancelDue = CancelDue(source);
            else
                Arm(source);
        }
        if (cancelDue) Post(source->Reactor, &source->CancelWork.Work);
        return;
    }
}

void RunCancel(PlatformWork* work) {
    PlatformSource* source = reinterpret_cast<SourceWork*>(work)->Source;
    source->CancelHandler(source->Context);
    ReleaseSource(source);
}

// On the epoll thread: a source the kernel reported, now disarmed.
void Deliver(PlatformSource* source) {
    std::unique_lock<std::mutex> guard(source->Lock);
    // A one-report watch is spent; a lasting one goes on unless the source is not to run.
    if (!source->ArmedLasting) source->Armed = false;
    if (source->Cancelled) {
        // Until it is taken out of epoll a lasting watch would report it again and again.
        Disarm(source);
        return;
    }
    // A suspended source is armed again by its Resume; the readiness is seen then.
    if (source->Suspended > 0) {
        Disarm(source);
        return;
    }
    source->Running = true;
    if (!source->Inline) {
        Disarm(source);
        Post(source->Reactor, &source->EventWork.Work);
        return;
    }
    // Run here: waking a worker for a short handler costs more than the handler.
    guard.unlock();
    source->Event(source->Context);
    guard.lock();
    source->Running = false;
    const bool cancelDue = source->Cancelled && CancelDue(source);
    if (!source->Cancelled) {
        if (source->Suspended > 0 || !source->Inline)
            Disarm(source);
        else
            Arm(source);
    }
    guard.unlock();
    if (cancelDue) Post(source->Reactor, &source->CancelWork.Work);
}

void DetachList(PlatformReactor* reactor, PlatformSource* list);

// On the epoll thread, between batches, so that no report of these sources is still held.
void DetachCancelled(PlatformReactor* reactor) {
    for (;;) {
        PlatformSource* list;
        {
            std::lock_guard<std::mutex> guard(reactor->CancelLock);
            list = reactor->CancelledFirst;
            reactor->CancelledFirst = nullptr;
        }
        // A cancel handler run here may cancel other sources, which wake nobody: they are taken
        // out in the next round.
        if (!list) return;
        DetachList(reactor, list);
    }
}

void DetachList(PlatformReactor* reactor, PlatformSource* list) {
    while (list) {
        PlatformSource* source = list;
        list = source->NextCancelled;
        bool cancelDue, runHere;
        {
            std::lock_guard<std::mutex> guard(source->Lock);
            if (source->Registered) {
                const int32_t set = reactor->Inner[source->Kind == PLATFORM_SOURCE_READ ? 0 : 1];
                epoll_ctl(set, EPOLL_CTL_DEL, source->Descriptor, nullptr);
                source->Registered = false;
            }
            source->Armed = false;
            source->Detached = true;
            cancelDue = CancelDue(source);
            runHere = source->Inline && source->CancelInline;
        }
        // Run here it costs no worker's wake-up; it frees the source, which is not touched again.
        if (cancelDue && runHere)
            RunCancel(&source->CancelWork.Work);
        else if (cancelDue)
            Post(reactor, &source->CancelWork.Work);
    }
}

// A bounded number of batches: sources still ready after them are reported again on the next
// round, after cancelled sources were taken out.
void DrainInner(int32_t set) {
    epoll_event events[kEventBatch];
    int count;
    int32_t batches = 0;
    do {
        count = epoll_wait(set, events, kEventBatch, 0);
        for (int i = 0; i < count; i++) Deliver(static_cast<PlatformSource*>(events[i].data.ptr));
    } while (count == kEventBatch && ++batches < kBatchesPerRound);
}

void PollerMain(PlatformReactor* reactor) {
    const PlatformSignalStack signalStack;
    Platform_ThreadSetDescription(nullptr, Platform_ThreadGetCurrentId(), reactor->Name);
    t_pollingReactor = reactor;
    epoll_event events[3];
    for (;;) {
        const int count = epoll_wait(reactor->Outer, events, 3, -1);
        if (count < 0 && errno != EINTR) break;
        for (int i = 0; i < count; i++) {
            const int32_t fd = events[i].data.fd;
            if (fd == reactor->Wake) {
                uint64_t value;
                (void)!read(reactor->Wake, &value, sizeof(value));
            } else {
                DrainInner(fd);
            }
        }
        DetachCancelled(reactor);
        std::lock_guard<std::mutex> guard(reactor->CancelLock);
        if (reactor->Stopping) break;
    }
}

void CloseDescriptors(PlatformReactor* reactor) {
    for (int32_t fd : {reactor->Outer, reactor->Inner[0], reactor->Inner[1], reactor->Wake})
        if (fd >= 0) close(fd);
}

void FreeReactor(PlatformReactor* reactor) {
    CloseDescriptors(reactor);
    Memory_Free(reactor->Threads, sizeof(std::thread) * (size_t)reactor->MaxThreads);
    reactor->Header.ClassId = 0;
    reactor->~PlatformReactor();
    Memory_Free(reactor, sizeof(PlatformReactor));
}

void StopWorkers(PlatformReactor* reactor) {
    {
        std::lock_guard<std::mutex> guard(reactor->WorkLock);
        reactor->WorkStopping = true;
        reactor->Woken = reactor->Sleeping;
    }
    reactor->WorkArrived.notify_all();
    for (int32_t i = 0; i < reactor->ThreadCount; i++) {
        reactor->Threads[i].join();
        reactor->Threads[i].~thread();
    }
    reactor->ThreadCount = 0;
}

void Wake(PlatformReactor* reactor) {
    const uint64_t one = 1;
    (void)!write(reactor->Wake, &one, sizeof(one));
}

} // namespace

int64_t Platform_ReactorCreate(PlatformReactor** handle, const char* name, int32_t threads) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    ASSERT_POINTER(name);
    // The processors this process may run on, not all the machine has: more workers than that
    // only take turns, each turn a switch.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    const int32_t usable = sched_getaffinity(0, sizeof(allowed), &allowed) == 0 ? CPU_COUNT(&allowed) : 0;
    const int32_t processors =
        usable > 0 ? usable : (int32_t)std::min<unsigned>(std::thread::hardware_concurrency(), 1024);
    if (threads <= 0) threads = std::clamp(processors, kMinimumThreads, kMaximumThreads);
    void* block = Memory_AllocZero(sizeof(PlatformReactor));
    PlatformReactor* reactor = new (block) PlatformReactor();
    reactor->Header.ClassId = PLATFORM_REACTOR_CLASS_ID;
    reactor->Header.RefCount = 1;
    String_CopyLength(reactor->Name, name, kNameCapacity);
    reactor->MaxThreads = threads;
    reactor->MaxLingering = std::clamp(processors / kProcessorsPerLingering, 0, kMaximumLingering);
    reactor->Threads = static_cast<std::thread*>(Memory_Alloc(sizeof(std::thread) * (size_t)threads));
    reactor->Outer = epoll_create1(EPOLL_CLOEXEC);
    reactor->Inner[0] = epoll_create1(EPOLL_CLOEXEC);
    reactor->Inner[1] = epoll_create1(EPOLL_CLOEXEC);
    reactor->Wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    bool ready = reactor->Outer >= 0 && reactor->Inner[0] >= 0 && reactor->Inner[1] >= 0 && reactor->Wake >= 0;
    for (int32_t fd : {reactor->Wake, reactor->Inner[0], reactor->Inner[1]}) {
        if (!ready) break;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ready = epoll_ctl(reactor->Outer, EPOLL_CTL_ADD, fd, &event) == 0;
    }
    try {
        for (int32_t i = 0; ready && i < threads; i++) {
            new (&reactor->Threads[i]) std::thread(WorkerMain, reactor);
            reactor->ThreadCount++;
        }
        if (ready) new (&reactor->Poller) std::thread(PollerMain, reactor);
    } catch (const std::system_error&) {
        ready = false;
    }
    if (!ready) {
        StopWorkers(reactor);
        FreeReactor(reactor);
        return 0;
    }
    *handle = reactor;
    return 1;
}

int64_t Platform_ReactorPost(PlatformReactor* reactor, PlatformWork* work) {
    CheckedReactor(reactor);
    ASSERT_POINTER(work);
    ASSERT_POINTER(work->Function);
    Post(reactor, work);
    return 1;
}

int64_t Platform_ReactorDelete(PlatformReactor** handle) {
    ASSERT_POINTER(handle);
    PlatformReactor* reactor = CheckedReactor(*handle);
    const std::thread::id self = std::this_thread::get_id();
    bool onOwnThread = reactor->Poller.get_id() == self;
    {
        std::lock_guard<std::mutex> guard(reactor->WorkLock);
        for (int32_t i = 0; i < reactor->ThreadCount; i++) onOwnThread |= reactor->Threads[i].get_id() == self;
    }
    ASSERT_MSG(onOwnThread == false, "A reactor cannot be deleted by one of its own threads");
    {
        std::lock_guard<std::mutex> guard(reactor->CancelLock);
        reactor->Stopping = true;
    }
    Wake(reactor);
    reactor->Poller.join();
    reactor->Poller.~thread();
    new (&reactor->Poller) std::thread();
    StopWorkers(reactor);
    *handle = nullptr;
    FreeReactor(reactor);
    return 1;
}

int64_t Platform_SourceCreate(PlatformSource** handle, PlatformReactor* reactor, int32_t descriptor, int32_t kind,
                              void* context, PlatformSourceHandler event, PlatformSourceHandler cancel) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    CheckedReactor(reactor);
    ASSERT_POINTER(event);
    ASSERT_POINTER(cancel);
    if (descriptor < 0 || (kind != PLATFORM_SOURCE_READ && kind != PLATFORM_SOURCE_WRITE)) return 0;
    void* block = Memory_AllocZero(sizeof(PlatformSource));
    PlatformSource* source = new (block) PlatformSource();
    source->Header.ClassId = PLATFORM_SOURCE_CLASS_ID;
    source->Header.RefCount = 1;
    source->Reactor = reactor;
    source->Descriptor = descriptor;
    source->Kind = kind;
    source->Context = context;
    source->Event = event;
    source->CancelHandler = cancel;
    source->References.store(2, std::memory_order_relaxed);
    source->EventWork = {{nullptr, RunEvent}, source};
    source->CancelWork = {{nullptr, RunCancel}, source};
    source->Suspended = 1;
    *handle = source;
    return 1;
}

int64_t Platform_SourceResume(PlatformSource* source) {
    CheckedSource(source);
    std::lock_guard<std::mutex> guard(source->Lock);
    ASSERT_MSG(source->Suspended > 0, "Source resumed more often than suspended");
    if (--source->Suspended == 0) Arm(source);
    return 1;
}

int64_t Platform_SourceSuspend(PlatformSource* source) {
    CheckedSource(source);
    std::lock_guard<std::mutex> guard(source->Lock);
    // Nothing to tell the kernel: a report that comes while suspended is dropped and the
    // readiness looked at again on resume.
    source->Suspended++;
    return 1;
}

int64_t Platform_SourceCancel(PlatformSource* source) {
    CheckedSource(source);
    {
        std::lock_guard<std::mutex> guard(source->Lock);
        if (source->Cancelled) return 1;
        source->Cancelled = true;
    }
    PlatformReactor* reactor = source->Reactor;
    {
        std::lock_guard<std::mutex> guard(reactor->CancelLock);
        source->NextCancelled = reactor->CancelledFirst;
        reactor->CancelledFirst = source;
    }
    // The epoll thread itself (an inline handler closing its socket) looks at the list after its
    // batch anyway.
    if (t_pollingReactor != reactor) Wake(reactor);
    return 1;
}

int64_t Platform_SourceSetInline(PlatformSource* source, int32_t on) {
    CheckedSource(source);
    std::lock_guard<std::mutex> guard(source->Lock);
    source->Inline = on != 0;
    return 1;
}

int64_t Platform_SourceSetCancelInline(PlatformSource* source, int32_t on) {
    CheckedSource(source);
    std::lock_guard<std::mutex> guard(source->Lock);
    source->CancelInline = on != 0;
    return 1;
}

int64_t Platform_ReactorOnPollingThread(PlatformReactor* reactor) {
    return reactor && t_pollingReactor == reactor ? 1 : 0;
}

int64_t Platform_SourceRelease(PlatformSource** handle) {
    ASSERT_POINTER(handle);
    PlatformSource* source = CheckedSource(*handle);
    *handle = nullptr;
    ReleaseSource(source);
    return 1;
}
