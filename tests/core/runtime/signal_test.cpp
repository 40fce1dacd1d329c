#include "core/runtime/signal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/abort_hook.h"

namespace {

struct SignalHolder {
    Signal* signal = nullptr;
    SignalHolder() { Signal_Create(&signal); }
    ~SignalHolder() {
        if (signal) Signal_Delete(&signal);
    }
};

int64_t ElapsedMs(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

TEST(Signal, CreateGivesAClearedManualResetSignal) {
    Signal* signal = nullptr;
    ASSERT_EQ(Signal_Create(&signal), 1);
    ASSERT_NE(signal, nullptr);
    uint32_t state = 7, autoReset = 7;
    EXPECT_EQ(Signal_Get(signal, &state), 1);
    EXPECT_EQ(state, 0u);
    EXPECT_EQ(Signal_GetAutoReset(signal, &autoReset), 1);
    EXPECT_EQ(autoReset, 0u);
    EXPECT_EQ(Signal_Delete(&signal), 1);
    EXPECT_EQ(signal, nullptr);
}

TEST(Signal, SetRaisesAndClears) {
    SignalHolder h;
    uint32_t state = 0;
    struct Step {
        uint32_t value;
        uint32_t expected;
    };
    // Raising a raised signal and clearing a cleared one change nothing; any non-zero raises.
    const Step steps[] = {{1, 1}, {1, 1}, {0, 0}, {0, 0}, {2, 1}, {0, 0}};
    for (const Step& step : steps) {
        EXPECT_EQ(Signal_Set(h.signal, step.value), 1);
        Signal_Get(h.signal, &state);
        EXPECT_EQ(state, step.expected) << "after setting " << step.value;
    }
}

TEST(Signal, ManualResetStaysRaisedAcrossWaits) {
    SignalHolder h;
    uint32_t signalled = 7;
    EXPECT_EQ(Signal_Wait(h.signal, &signalled, 0), 1);
    EXPECT_EQ(signalled, 0u);
    Signal_Set(h.signal, 1);
    for (int i = 0; i < 3; i++) {
        signalled = 0;
        EXPECT_EQ(Signal_Wait(h.signal, &signalled, 0), 1);
        EXPECT_EQ(signalled, 1u);
    }
    Signal_Set(h.signal, 0);
    EXPECT_EQ(Signal_Wait(h.signal, &signalled, 0), 1);
    EXPECT_EQ(signalled, 0u);
}

TEST(Signal, AutoResetIsConsumedByOneWaitAndRaisesDoNotCount) {
    SignalHolder h;
    uint32_t flag = 0;
    EXPECT_EQ(Signal_SetAutoReset(h.signal, 1), 1);
    Signal_GetAutoReset(h.signal, &flag);
    EXPECT_EQ(flag, 1u);
    Signal_Set(h.signal, 1);
    Signal_Set(h.signal, 1);
    uint32_t signalled = 0, state = 7;
    EXPECT_EQ(Signal_Wait(h.signal, &signalled, 5), 1);
    EXPECT_EQ(signalled, 1u);
    Signal_Get(h.signal, &state);
    EXPECT_EQ(state, 0u);
    EXPECT_EQ(Signal_Wait(h.signal, &signalled, 5), 1);
    EXPECT_EQ(signalled, 0u);
}

TEST(Signal, ShortTimeOutsWaitAtLeastFifteenMilliseconds) {
    SignalHolder h;
    for (int32_t timeout : {1, 15}) {
        uint32_t signalled = 7;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Signal_Wait(h.signal, &signalled, timeout), 1);
        EXPECT_EQ(signalled, 0u);
        EXPECT_GE(ElapsedMs(start), 14) << "time-out " << timeout;
    }
    uint32_t signalled = 7;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Signal_Wait(h.signal, &signalled, 60), 1);
    EXPECT_EQ(signalled, 0u);
    EXPECT_GE(ElapsedMs(start), 59);
}

TEST(Signal, WaitsAreWokenByAnotherThread) {
    for (int32_t timeout : {-1, 30000}) {
        SignalHolder h;
        Signal_SetAutoReset(h.signal, 1);
        uint32_t signalled = 0;
        int64_t result = 0;
        std::thread waiter([&] { result = Signal_Wait(h.signal, &signalled, timeout); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Signal_Set(h.signal, 1);
        waiter.join();
        EXPECT_EQ(result, 1);
        EXPECT_EQ(signalled, 1u) << "time-out " << timeout;
    }
}

TEST(Signal, ManualRaiseWakesEveryWaiter) {
    SignalHolder h;
    constexpr int kWaiters = 16;
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kWaiters; i++)
        threads.emplace_back([&] {
            uint32_t signalled = 0;
            Signal_Wait(h.signal, &signalled, 30000);
            if (signalled) woken++;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    Signal_Set(h.signal, 1);
    for (auto& t : threads) t.join();
    EXPECT_EQ(woken.load(), kWaiters);
}

// Each raise of an auto-reset signal lets exactly one waiter through; every waiter gets through
// once with as many raises as waiters, however the raises and the waits interleave.
TEST(Signal, AutoRaiseReleasesOneWaiterEachWithoutLosingAny) {
    SignalHolder h;
    Signal_SetAutoReset(h.signal, 1);
    constexpr int kWaiters = 8;
    std::atomic<int> passed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kWaiters; i++)
        threads.emplace_back([&] {
            uint32_t signalled = 0;
            Signal_Wait(h.signal, &signalled, -1);
            passed++;
        });
    for (int i = 0; i < kWaiters; i++) {
        int before = passed.load();
        Signal_Set(h.signal, 1);
        // The next raise waits until this one was taken, so that raises do not merge.
        auto start = std::chrono::steady_clock::now();
        while (passed.load() == before && ElapsedMs(start) < 30000) std::this_thread::yield();
        EXPECT_EQ(passed.load(), before + 1);
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(passed.load(), kWaiters);
}

// Two threads hand a token back and forth through two auto-reset signals; a lost wake-up
// would leave both waiting, which the long time-out turns into a failure.
TEST(Signal, PingPongLosesNoWakeUp) {
    SignalHolder ping, pong;
    Signal_SetAutoReset(ping.signal, 1);
    Signal_SetAutoReset(pong.signal, 1);
    constexpr int kRounds = 20000;
    std::atomic<int> missed{0};
    std::thread other([&] {
        for (int i = 0; i < kRounds; i++) {
            uint32_t signalled = 0;
            Signal_Wait(ping.signal, &signalled, 20000);
            if (!signalled) missed++;
            Signal_Set(pong.signal, 1);
        }
    });
    for (int i = 0; i < kRounds; i++) {
        Signal_Set(ping.signal, 1);
        uint32_t signalled = 0;
        Signal_Wait(pong.signal, &signalled, 20000);
        if (!signalled) missed++;
    }
    other.join();
    EXPECT_EQ(missed.load(), 0);
}

TEST(SignalDeathTest, NullHandlesAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Signal_Delete(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Signal* none = nullptr;
            Signal_Delete(&none);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Signal_Set(nullptr, 1);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            uint32_t signalled = 0;
            Signal_Wait(nullptr, &signalled, 0);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace
