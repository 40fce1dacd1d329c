#include "core/linux/platform_thread.h"

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <atomic>
#include <cstdio>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "core/linux/platform.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "tests/support/platform_sandbox.h"

namespace {

struct Work {
    uint32_t input = 0;
    uint32_t seenId = 0;
    uint32_t output = 0;
};

uint32_t Square(void* argument) {
    Work* work = static_cast<Work*>(argument);
    work->seenId = Platform_ThreadGetCurrentId();
    work->output = work->input * work->input;
    return work->output + 1;
}

TEST(PlatformThread, StartsRunsAndJoins) {
    std::vector<Work> work(4);
    std::vector<void*> handles(4);
    std::vector<uint32_t> ids(4);
    for (uint32_t i = 0; i < 4; i++) {
        work[i].input = i + 3;
        ASSERT_EQ(Platform_ThreadBegin(Square, &work[i], &ids[i], &handles[i]), 1);
        ASSERT_NE(handles[i], nullptr);
    }
    for (uint32_t i = 0; i < 4; i++) {
        EXPECT_EQ(Platform_ThreadJoin(handles[i]), 1);
        // Joining a thread that has already been joined answers at once.
        EXPECT_EQ(Platform_ThreadJoin(handles[i]), 1);
        EXPECT_EQ(work[i].output, (i + 3) * (i + 3));
        // The id handed to the creator is the one the thread sees for itself.
        EXPECT_EQ(work[i].seenId, ids[i]);
        EXPECT_NE(ids[i], Platform_ThreadGetCurrentId());
        EXPECT_EQ(Platform_ThreadEnd(&handles[i]), 1);
        EXPECT_EQ(handles[i], nullptr);
    }
    for (uint32_t i = 1; i < 4; i++) EXPECT_NE(ids[i], ids[0]);
    void* none = nullptr;
    EXPECT_EQ(Platform_ThreadEnd(&none), 0);
}

TEST(PlatformThread, CurrentIdIsTheKernelThreadId) {
    EXPECT_EQ(Platform_ThreadGetCurrentId(), (uint32_t)gettid());
    // The main thread's id is the process id.
    EXPECT_EQ(Platform_ThreadGetCurrentId(), (uint32_t)getpid());
}

std::atomic<pthread_t> g_native{0};
uint32_t ReportSelf(void*) {
    g_native.store(pthread_self());
    return 0xC0FFEE42u;
}

TEST(PlatformThread, ResultIsTheExitValue) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The thread is joined here by hand, behind the record's back, so that its exit value can be
    // read; the child leaves without ending the record.
    EXPECT_EXIT(
        {
            uint32_t id = 0;
            void* handle = nullptr;
            if (Platform_ThreadBegin(ReportSelf, nullptr, &id, &handle) != 1) _exit(2);
            if (!Eventually([] { return g_native.load() != 0; })) _exit(5);
            void* value = nullptr;
            if (pthread_join(g_native.load(), &value) != 0) _exit(3);
            _exit((uintptr_t)value == 0xC0FFEE42u ? 0 : 4);
        },
        ::testing::ExitedWithCode(0), "");
}

std::atomic<int64_t> g_selfJoin{-1};
uint32_t JoinSelf(void* argument) {
    void* self = *static_cast<void**>(argument);
    g_selfJoin.store(Platform_ThreadJoin(self));
    return 0;
}

TEST(PlatformThread, HandleIsStoredBeforeTheThreadRuns) {
    // The thread reads its own handle from the creator's variable: it must be there already.
    // Joining itself would wait for ever, so it fails.
    static void* handle = nullptr;
    uint32_t id = 0;
    ASSERT_EQ(Platform_ThreadBegin(JoinSelf, &handle, &id, &handle), 1);
    void* copy = handle;
    EXPECT_EQ(Platform_ThreadJoin(copy), 1);
    EXPECT_EQ(g_selfJoin.load(), 0);
    EXPECT_EQ(Platform_ThreadEnd(&copy), 1);
}

std::atomic<int32_t> g_finished{0};
uint32_t Finish(void*) {
    g_finished.store(1);
    return 0;
}

TEST(PlatformThread, EndWithoutJoinLeavesTheThreadAlone) {
    uint32_t id = 0;
    void* handle = nullptr;
    ASSERT_EQ(Platform_ThreadBegin(Finish, nullptr, &id, &handle), 1);
    EXPECT_EQ(Platform_ThreadEnd(&handle), 1);
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(Eventually([] { return g_finished.load() == 1; }));
}

TEST(PlatformThread, ContainerPriorityIsOneFifthUpTheRange) {
    struct Case {
        int32_t minimum, maximum, expected;
    };
    const Case cases[] = {
        {0, 47, 9}, {0, 0, 0}, {1, 99, 20}, {0, 5, 1}, {0, 4, 0}, {0, 10, 2}, {-20, 19, -12}, {15, 47, 21},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Platform_ThreadContainerPriority(c.minimum, c.maximum), c.expected)
            << c.minimum << ".." << c.maximum;
}

struct Container {
    void* handle = nullptr;
    int32_t policy = -1;
    int32_t priority = -1;
    int64_t start = 0, tick = 0, end = 0, plainStart = 0;
};

uint32_t RunContainer(void* argument) {
    Container* c = static_cast<Container*>(argument);
    c->plainStart = Platform_ThreadContainerStart(c->handle, 0);
    c->start = Platform_ThreadContainerStart(c->handle, PLATFORM_THREAD_CONTAINER);
    c->tick = Platform_ThreadTick(c->handle) && Platform_ThreadTick(c->handle);
    c->end = Platform_ThreadContainerEnd(c->handle, 7);
    int policy = 0;
    struct sched_param param = {};
    pthread_getschedparam(pthread_self(), &policy, &param);
    c->policy = policy;
    c->priority = param.sched_priority;
    return 0;
}

TEST(PlatformThread, ContainerHooksLowerOnlyARealTimeThread) {
    for (const bool realTime : {false, true}) {
        // A new thread inherits the creator's policy; real-time needs the privilege to set it.
        struct sched_param param = {}, oldParam = {};
        param.sched_priority = 1;
        int oldPolicy = 0;
        pthread_getschedparam(pthread_self(), &oldPolicy, &oldParam);
        if (realTime && pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0)
            GTEST_SKIP() << "no real-time privilege";
        Container c;
        uint32_t id = 0;
        const int64_t begun = Platform_ThreadBegin(RunContainer, &c, &id, &c.handle);
        pthread_setschedparam(pthread_self(), oldPolicy, &oldParam);
        ASSERT_EQ(begun, 1);
        ASSERT_EQ(Platform_ThreadJoin(c.handle), 1);
        EXPECT_EQ(std::make_tuple(c.plainStart, c.start, c.tick, c.end), std::make_tuple(1, 1, 1, 1));
        // The time-sharing policy has the single priority 0, which the thread keeps.
        EXPECT_EQ(c.policy, realTime ? SCHED_FIFO : SCHED_OTHER);
        EXPECT_EQ(c.priority, realTime ? Platform_ThreadContainerPriority(sched_get_priority_min(SCHED_FIFO),
                                                                          sched_get_priority_max(SCHED_FIFO))
                                       : 0);
        Platform_ThreadEnd(&c.handle);
    }
}

int64_t PrintToError(const char* text) {
    fputs(text, stderr);
    return 1;
}

// Runs in a child: a real-time thread at priority 1 without the right to raise it any further.
[[noreturn]] void StartContainerWithoutPrivilege(const std::string& log) {
    if (Debug_Init(log.c_str(), nullptr, DEBUG_FLAG_FILE) != 1) _exit(2);
    Debug_PrintOverride(PrintToError);
    struct sched_param param = {};
    param.sched_priority = 1;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0) _exit(3);
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_RTPRIO, &none);
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct caps[2] = {};
    if (syscall(SYS_capget, &header, caps) != 0) _exit(4);
    for (auto& c : caps) c.effective = c.permitted = 0;
    if (syscall(SYS_capset, &header, caps) != 0) _exit(5);
    Container c;
    uint32_t id = 0;
    if (Platform_ThreadBegin(RunContainer, &c, &id, &c.handle) != 1) _exit(6);
    Platform_ThreadJoin(c.handle);
    _exit(c.start == 1 && c.policy == SCHED_FIFO && c.priority == 1 ? 0 : 7);
}

TEST(PlatformThread, RefusedPriorityIsLoggedAndIgnored) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct sched_param probe = {};
    probe.sched_priority = 1;
    int oldPolicy = 0;
    struct sched_param oldParam = {};
    pthread_getschedparam(pthread_self(), &oldPolicy, &oldParam);
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &probe) != 0)
        GTEST_SKIP() << "no real-time privilege";
    pthread_setschedparam(pthread_self(), oldPolicy, &oldParam);
    TempDir dir;
    EXPECT_EXIT(StartContainerWithoutPrivilege(dir.file("t.log")), ::testing::ExitedWithCode(0),
                "^DEBUG - Unable to set thread priority\n$");
}

struct Naming {
    void* handle = nullptr;
    uint32_t id = 0;
    const char* name = nullptr;
    int64_t result = 0;
    char readBack[32] = {};
};

uint32_t NameSelf(void* argument) {
    Naming* n = static_cast<Naming*>(argument);
    while (__atomic_load_n(&n->id, __ATOMIC_ACQUIRE) == 0) sched_yield();
    n->result = Platform_ThreadSetDescription(n->handle, n->id, n->name);
    pthread_getname_np(pthread_self(), n->readBack, sizeof(n->readBack));
    return 0;
}

TEST(PlatformThread, NamesTheCallingThread) {
    struct Case {
        const char* name;
        const char* expected;
    };
    const Case cases[] = {
        {"worker", "worker"},
        {"", ""},
        {"exactly-15-byte", "exactly-15-byte"},
        {"com.quarvelon.asyncfile", "com.quarvelon.a"},
        // A cut never splits a UTF-8 sequence: "\xC3\xA9" would straddle byte 15.
        {"abcdefghijklmn\xC3\xA9z", "abcdefghijklmn"},
    };
    for (const Case& c : cases) {
        Naming n;
        n.name = c.name;
        uint32_t id = 0;
        ASSERT_EQ(Platform_ThreadBegin(NameSelf, &n, &id, &n.handle), 1);
        __atomic_store_n(&n.id, id, __ATOMIC_RELEASE);
        ASSERT_EQ(Platform_ThreadJoin(n.handle), 1);
        EXPECT_EQ(n.result, 1) << c.name;
        EXPECT_STREQ(n.readBack, c.expected);
        Platform_ThreadEnd(&n.handle);
    }
    // Threads not started here (the main thread) name themselves without a record.
    char before[32] = {};
    pthread_getname_np(pthread_self(), before, sizeof(before));
    EXPECT_EQ(Platform_ThreadSetDescription(nullptr, Platform_ThreadGetCurrentId(), "main-of-test"), 1);
    char after[32] = {};
    pthread_getname_np(pthread_self(), after, sizeof(after));
    EXPECT_STREQ(after, "main-of-test");
    pthread_setname_np(pthread_self(), before);
}

uint32_t Idle(void*) {
    return 0;
}

TEST(PlatformThread, ProgrammingErrorsAbort) {
    uint32_t id = 0;
    void* handle = nullptr;
    ASSERT_EQ(Platform_ThreadBegin(Idle, nullptr, &id, &handle), 1);
    ASSERT_EQ(Platform_ThreadJoin(handle), 1);
    Class other = {};
    other.ClassId = 0x309A40CD;
    ExpectAborts({{"named from elsewhere", [&] { Platform_ThreadSetDescription(handle, id, "elsewhere"); },
                   AbortRegex("Assertion failed (Platform_ThreadGetCurrentId() == ThreadId)\n"
                              "The thread name must be set from within the thread")},
                  {"another class", [&] { Platform_ThreadTick(&other); }, ClassMismatch(0x309a40cd)}});
    Platform_ThreadEnd(&handle);
}

} // namespace
