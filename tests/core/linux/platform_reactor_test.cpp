#include "core/linux/platform_reactor.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include "tests/support/abort_table.h"
#include "tests/support/bounded_wait.h"

namespace {

const bool g_bounded = BoundEveryTest(60);

bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// An eventfd that stays readable until drained, and what the handlers saw.
struct Watch {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::atomic<int32_t> events{0};
    std::atomic<int32_t> running{0};
    std::atomic<int32_t> overlapped{0};
    std::atomic<int32_t> cancels{0};
    std::atomic<int32_t> eventsAfterCancel{0};
    std::atomic<int32_t> holdMs{0};
    std::atomic<bool> drain{true};
    // When set, the handler suspends (or cancels) its own source at that event.
    PlatformSource* self = nullptr;
    std::atomic<int32_t> suspendAt{0};
    std::atomic<int32_t> cancelAt{0};
    // The threads the event handler ran on.
    std::mutex threadsLock;
    std::set<std::thread::id> threads;
    ~Watch() {
        if (fd >= 0) close(fd);
    }
    void Signal() {
        const uint64_t one = 1;
        EXPECT_EQ(write(fd, &one, sizeof(one)), 8);
    }
};

void OnEvent(void* context) {
    Watch* w = static_cast<Watch*>(context);
    if (w->running.fetch_add(1) != 0) w->overlapped++;
    if (w->cancels.load()) w->eventsAfterCancel++;
    if (w->holdMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(w->holdMs.load()));
    if (w->drain.load()) {
        uint64_t value;
        (void)!read(w->fd, &value, sizeof(value));
    }
    {
        std::lock_guard<std::mutex> guard(w->threadsLock);
        w->threads.insert(std::this_thread::get_id());
    }
    const int32_t seen = ++w->events;
    if (seen == w->suspendAt) Platform_SourceSuspend(w->self);
    // From that event on: a source that keeps reporting may pass the mark while it is being set
    // (a second cancel does nothing).
    if (w->cancelAt && seen >= w->cancelAt) Platform_SourceCancel(w->self);
    w->running--;
}

void OnCancel(void* context) {
    Watch* w = static_cast<Watch*>(context);
    // The cancel handler never overlaps the event handler.
    if (w->running.load()) w->overlapped++;
    w->cancels++;
}

// 1 when the calling thread has an alternate stack for signal handlers, else 0.
int32_t HasSignalStack() {
    stack_t current = {};
    return sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) ? 1 : 0;
}

class PlatformReactorTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(Platform_ReactorCreate(&reactor, "reactor-test-name", 3), 1); }
    void TearDown() override {
        EXPECT_EQ(Platform_ReactorDelete(&reactor), 1);
        EXPECT_EQ(reactor, nullptr);
    }
    PlatformSource* Make(Watch& w, int32_t kind = PLATFORM_SOURCE_READ, bool runInline = false) {
        PlatformSource* source = nullptr;
        EXPECT_EQ(Platform_SourceCreate(&source, reactor, w.fd, kind, &w, OnEvent, OnCancel), 1);
        if (runInline) Platform_SourceSetInline(source, 1);
        return source;
    }
    PlatformReactor* reactor = nullptr;
};

// A source starts suspended, reports readiness once resumed, and readiness that came while it
// was suspended is seen on resume.
TEST_F(PlatformReactorTest, SuspendedSourcesWaitForResume) {
    Watch w;
    PlatformSource* source = Make(w);
    w.Signal();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(w.events.load(), 0);
    Platform_SourceResume(source);
    ASSERT_TRUE(WaitFor([&] { return w.events.load() == 1; }));

    Platform_SourceSuspend(source);
    w.Signal();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(w.events.load(), 1);
    Platform_SourceResume(source);
    ASSERT_TRUE(WaitFor([&] { return w.events.load() == 2; }));

    Platform_SourceCancel(source);
    Platform_SourceRelease(&source);
    ASSERT_TRUE(WaitFor([&] { return w.cancels.load() == 1; }));
}

// A descriptor that stays ready keeps its handler busy, but one call at a time.
TEST_F(PlatformReactorTest, HandlerNeverRunsTwiceAtOnce) {
    Watch w;
    w.drain = false;
    PlatformSource* source = Make(w);
    w.Signal();
    Platform_SourceResume(source);
    ASSERT_TRUE(WaitFor([&] { return w.events.load() >= 200; }));
    Platform_SourceCancel(source);
    Platform_SourceRelease(&source);
    ASSERT_TRUE(WaitFor([&] { return w.cancels.load() == 1; }));
    EXPECT_EQ(w.overlapped.load(), 0);
}

// Cancellation runs the cancel handler exactly once in every state, after a running handler.
TEST_F(PlatformReactorTest, CancelHandlerRunsOnceInEveryState) {
    enum Start { kSuspended, kResumedIdle, kHandlerRunning, kWriteSource };
    for (Start start : {kSuspended, kResumedIdle, kHandlerRunning, kWriteSource}) {
        Watch w;
        PlatformSource* source = Make(w, start == kWriteSource ? PLATFORM_SOURCE_WRITE : PLATFORM_SOURCE_READ);
        if (start != kSuspended) Platform_SourceResume(source);
        if (start == kHandlerRunning) {
            w.holdMs = 100;
            w.Signal();
            ASSERT_TRUE(WaitFor([&] { return w.running.load() == 1; }));
        }
        for (int i = 0; i < 3; i++) Platform_SourceCancel(source);
        Platform_SourceRelease(&source);
        w.Signal();
        ASSERT_TRUE(WaitFor([&] { return w.cancels.load() == 1; })) << start;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(w.cancels.load(), 1) << start;
        EXPECT_EQ(w.overlapped.load(), 0) << start;
        EXPECT_EQ(w.eventsAfterCancel.load(), 0) << start;
    }
}

// A source that stays ready runs again at once, but not past a suspension or cancellation
// its handler made.
TEST_F(PlatformReactorTest, ReadySourceStopsWhereItsHandlerSaysSo) {
    for (int32_t round = 0; round < 4; round++) {
        const bool cancel = round & 1, runInline = round & 2;
        Watch w;
        w.drain = false;
        PlatformSource* source = Make(w, PLATFORM_SOURCE_READ, runInline);
        w.self = source;
        (cancel ? w.cancelAt : w.suspendAt) = 5;
        w.Signal();
        Platform_SourceResume(source);
        ASSERT_TRUE(WaitFor([&] { return w.events.load() >= 5; })) << cancel;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(w.events.load(), 5) << cancel;
        if (!cancel) {
            Platform_SourceResume(source);
            ASSERT_TRUE(WaitFor([&] { return w.events.load() > 5; }));
            Platform_SourceCancel(source);
        }
        Platform_SourceRelease(&source);
        ASSERT_TRUE(WaitFor([&] { return w.cancels.load() == 1; })) << cancel;
        EXPECT_EQ(w.overlapped.load(), 0) << cancel;
    }
}

// Sources run on the polling thread: each stays ready and keeps being run, one call at a time,
// all on that one thread; one suspended by its handler while its peer hung up (reported
// whatever the watch asks for) stays quiet until resumed; cancellation from the handler or from
// outside runs the cancel handler once.
TEST_F(PlatformReactorTest, InlineSourcesRunOnThePollingThread) {
    Watch ready;
    ready.drain = false;
    Watch hungUp;
    hungUp.drain = false;
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
    close(hungUp.fd);
    hungUp.fd = pair[0];
    close(pair[1]);
    PlatformSource* first = Make(ready, PLATFORM_SOURCE_READ, true);
    PlatformSource* second = Make(hungUp, PLATFORM_SOURCE_READ, true);
    hungUp.self = second;
    hungUp.suspendAt = 3;
    ready.Signal();
    Platform_SourceResume(first);
    Platform_SourceResume(second);
    ASSERT_TRUE(WaitFor([&] { return ready.events.load() >= 200 && hungUp.events.load() >= 3; }));
    Platform_SourceCancel(first);
    Platform_SourceRelease(&first);
    ASSERT_TRUE(WaitFor([&] { return ready.cancels.load() == 1; }));
    // Quiet: no handler runs, and the polling thread does not spin on the hang-up either.
    const std::clock_t before = std::clock();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LT((double)(std::clock() - before) / CLOCKS_PER_SEC, 0.05);
    EXPECT_EQ(hungUp.events.load(), 3);
    Platform_SourceResume(second);
    ASSERT_TRUE(WaitFor([&] { return hungUp.events.load() > 3; }));
    {
        std::lock_guard<std::mutex> a(ready.threadsLock), b(hungUp.threadsLock);
        EXPECT_EQ(ready.threads.size(), 1u);
        EXPECT_EQ(ready.threads, hungUp.threads);
    }
    hungUp.cancelAt = hungUp.events.load() + 2;
    Platform_SourceRelease(&second);
    for (Watch* w : {&ready, &hungUp}) {
        ASSERT_TRUE(WaitFor([&] { return w->cancels.load() == 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(w->cancels.load(), 1);
        EXPECT_EQ(w->overlapped.load(), 0);
        EXPECT_EQ(w->eventsAfterCancel.load(), 0);
    }
}

// Sources on the polling thread that stay ready and cancel themselves at once (as connections
// that all see their peers close do) are all taken out and their cancel handlers run: hundreds,
// and a single one after which nothing else ever wakes the polling thread.
TEST_F(PlatformReactorTest, ManyInlineSourcesCancelledAtOnceAllFinish) {
    for (const size_t count : {size_t(1), size_t(400)}) {
        SCOPED_TRACE(count);
        std::vector<Watch> watches(count);
        std::vector<PlatformSource*> sources;
        for (Watch& w : watches) {
            w.drain = false;
            w.cancelAt = 1;
            w.Signal();
            sources.push_back(Make(w, PLATFORM_SOURCE_READ, true));
            w.self = sources.back();
        }
        for (PlatformSource* source : sources) Platform_SourceResume(source);
        for (PlatformSource*& source : sources) Platform_SourceRelease(&source);
        ASSERT_TRUE(WaitFor([&] {
            for (Watch& w : watches)
                if (w.cancels.load() != 1) return false;
            return true;
        }));
        for (Watch& w : watches) EXPECT_EQ(w.events.load(), 1);
    }
}

// What the polling-thread question answered in a source's handlers.
PlatformReactor* g_asked = nullptr;
std::atomic<int32_t> g_eventsElsewhere{0};
std::atomic<int64_t> g_cancelOnPolling{-1};

void OnEventAsking(void* context) {
    if (Platform_ReactorOnPollingThread(g_asked) != 1) g_eventsElsewhere++;
    OnEvent(context);
}

void OnCancelAsking(void* context) {
    g_cancelOnPolling = Platform_ReactorOnPollingThread(g_asked);
    OnCancel(context);
}

// The cancel handler of a source run on the polling thread runs on that thread too when asked
// (after its last event, never beside it), and on a worker otherwise; only the polling thread
// says it is that thread.
TEST_F(PlatformReactorTest, CancelHandlerRunsOnThePollingThreadWhenAsked) {
    g_asked = reactor;
    for (const bool cancelInline : {false, true}) {
        SCOPED_TRACE(cancelInline);
        Watch w;
        w.drain = false;
        w.cancelAt = 3;
        g_eventsElsewhere = 0;
        g_cancelOnPolling = -1;
        PlatformSource* source = nullptr;
        ASSERT_EQ(Platform_SourceCreate(&source, reactor, w.fd, PLATFORM_SOURCE_READ, &w, OnEventAsking, OnCancelAsking),
                  1);
        Platform_SourceSetInline(source, 1);
        Platform_SourceSetCancelInline(source, cancelInline ? 1 : 0);
        w.self = source;
        w.Signal();
        Platform_SourceResume(source);
        ASSERT_TRUE(WaitFor([&] { return w.cancels.load() == 1; }));
        EXPECT_EQ(w.events.load(), 3);
        EXPECT_EQ(g_eventsElsewhere.load(), 0);
        EXPECT_EQ(g_cancelOnPolling.load(), cancelInline ? 1 : 0);
        EXPECT_EQ(w.overlapped.load(), 0);
        Platform_SourceRelease(&source);
    }
    EXPECT_EQ(Platform_ReactorOnPollingThread(reactor), 0);
}

PlatformSource* g_cancelledByHandler = nullptr;

void OnCancelCancellingAnother(void* context) {
    Platform_SourceCancel(g_cancelledByHandler);
    OnCancel(context);
}

// A cancel handler run on the polling thread that cancels another, idle source: that one is
// taken out and its cancel handler runs too, though nothing else ever wakes the polling thread.
TEST_F(PlatformReactorTest, SourceCancelledByACancelHandlerOnThePollingThreadFinishes) {
    Watch first, idle;
    first.drain = false;
    first.cancelAt = 1;
    PlatformSource* a = nullptr;
    ASSERT_EQ(Platform_SourceCreate(&a, reactor, first.fd, PLATFORM_SOURCE_READ, &first, OnEvent,
                                    OnCancelCancellingAnother),
              1);
    PlatformSource* b = Make(idle, PLATFORM_SOURCE_READ, true);
    Platform_SourceSetCancelInline(b, 1);
    Platform_SourceResume(b);
    Platform_SourceSetInline(a, 1);
    Platform_SourceSetCancelInline(a, 1);
    first.self = a;
    g_cancelledByHandler = b;
    first.Signal();
    Platform_SourceResume(a);
    EXPECT_TRUE(WaitFor([&] { return first.cancels.load() == 1 && idle.cancels.load() == 1; }, 3000));
    // Should it have been left behind, a report of it wakes the polling thread before the end.
    idle.Signal();
    ASSERT_TRUE(WaitFor([&] { return idle.cancels.load() == 1; }));
    EXPECT_EQ(idle.events.load(), 0);
    Platform_SourceRelease(&a);
    Platform_SourceRelease(&b);
}

struct Posted {
    PlatformWork work;
    std::atomic<int32_t>* ran;
};

struct Gathering {
    PlatformWork work;
    std::atomic<int32_t>* arrived;
    std::atomic<int32_t>* together;
};

// Waits (bounded) until `count` items run at once.
void RunGathering(PlatformWork* work) {
    Gathering* g = reinterpret_cast<Gathering*>(work);
    g->arrived->fetch_add(1);
    if (WaitFor([&] { return g->arrived->load() == 3; }, 5000)) g->together->fetch_add(1);
}

// Work posted while every awake worker is busy wakes sleeping ones: three items that wait for
// each other all run at once on the three workers.
TEST_F(PlatformReactorTest, PostedWorkWakesEnoughWorkers) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the workers are asleep by now
    std::atomic<int32_t> arrived{0}, together{0};
    std::vector<Gathering> items(3);
    for (Gathering& g : items) {
        g = {{nullptr, RunGathering}, &arrived, &together};
        Platform_ReactorPost(reactor, &g.work);
    }
    ASSERT_TRUE(WaitFor([&] { return together.load() == 3; }));
}

void RunCounted(PlatformWork* work) {
    reinterpret_cast<Posted*>(work)->ran->fetch_add(1);
}

// Sources that never stop being ready take every worker, yet posted work still gets its turn.
TEST_F(PlatformReactorTest, BusySourcesLeaveRoomForPostedWork) {
    std::vector<Watch> watches(3);
    std::vector<PlatformSource*> sources;
    for (Watch& w : watches) {
        w.drain = false;
        w.holdMs = 1;
        w.Signal();
        sources.push_back(Make(w));
        Platform_SourceResume(sources.back());
    }
    EXPECT_TRUE(WaitFor([&] {
        return watches[0].running.load() + watches[1].running.load() + watches[2].running.load() == 3;
    }));
    std::atomic<int32_t> ran{0};
    Posted item{{nullptr, RunCounted}, &ran};
    Platform_ReactorPost(reactor, &item.work);
    EXPECT_TRUE(WaitFor([&] { return ran.load() == 1; }));
    for (PlatformSource*& source : sources) {
        Platform_SourceCancel(source);
        Platform_SourceRelease(&source);
    }
    for (Watch& w : watches) ASSERT_TRUE(WaitFor([&] { return w.cancels.load() == 1; }));
}

void RunPosted(PlatformWork* work) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    reinterpret_cast<Posted*>(work)->ran->fetch_add(1);
}

// Work still waiting when the reactor is deleted runs first.
TEST_F(PlatformReactorTest, DeleteRunsPostedWork) {
    std::atomic<int32_t> ran{0};
    std::vector<Posted> items(100);
    for (Posted& p : items) {
        p = {{nullptr, RunPosted}, &ran};
        Platform_ReactorPost(reactor, &p.work);
    }
    EXPECT_EQ(Platform_ReactorDelete(&reactor), 1);
    EXPECT_EQ(ran.load(), 100);
    ASSERT_EQ(Platform_ReactorCreate(&reactor, "again", 1), 1);
}

TEST(PlatformReactor, ResumingMoreThanSuspendedStops) {
    ExpectAborts({{[] {
                       PlatformReactor* reactor = nullptr;
                       Platform_ReactorCreate(&reactor, "r", 1);
                       PlatformSource* source = nullptr;
                       Platform_SourceCreate(&source, reactor, 0, PLATFORM_SOURCE_READ, nullptr, OnEvent, OnCancel);
                       Platform_SourceResume(source);
                       Platform_SourceResume(source);
                   },
                   AbortRegex("Assertion failed (source->Suspended > 0)\nSource resumed more often than suspended")}});
}

// A handler that overflows its thread's stack is still reported, on a worker as on the polling
// thread: each has an alternate stack for the fatal signal's handler.
TEST_F(PlatformReactorTest, EveryThreadHasASignalStack) {
    struct Probe {
        PlatformWork Work;
        std::atomic<int32_t> worker{-1};
        std::atomic<int32_t> poller{-1};
        std::atomic<int32_t> cancels{0};
        int fd = eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);
    } probe;
    probe.Work.Next = nullptr;
    probe.Work.Function = [](PlatformWork* work) { reinterpret_cast<Probe*>(work)->worker.store(HasSignalStack()); };
    Platform_ReactorPost(reactor, &probe.Work);
    PlatformSource* source = nullptr;
    ASSERT_EQ(Platform_SourceCreate(
                  &source, reactor, probe.fd, PLATFORM_SOURCE_READ, &probe,
                  [](void* context) {
                      Probe* p = static_cast<Probe*>(context);
                      uint64_t value;
                      (void)!read(p->fd, &value, sizeof(value));
                      p->poller.store(HasSignalStack());
                  },
                  [](void* context) { static_cast<Probe*>(context)->cancels++; }),
              1);
    Platform_SourceSetInline(source, 1);
    Platform_SourceResume(source);
    ASSERT_TRUE(WaitFor([&] { return probe.worker.load() >= 0 && probe.poller.load() >= 0; }));
    EXPECT_EQ(probe.worker.load(), 1);
    EXPECT_EQ(probe.poller.load(), 1);
    Platform_SourceCancel(source);
    Platform_SourceRelease(&source);
    ASSERT_TRUE(WaitFor([&] { return probe.cancels.load() == 1; }));
    close(probe.fd);
}

} // namespace
