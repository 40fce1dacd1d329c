#include "core/runtime/signal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/bounded_wait.h"
#include "tests/support/out_value.h"

namespace {

// A lost wake-up leaves a waiter asleep: this bound fails the test instead.
const bool g_bounded = BoundEveryTest();

struct SignalHolder {
    Signal* signal = nullptr;
    explicit SignalHolder(uint32_t autoReset = 0) {
        Signal_Create(&signal);
        if (autoReset) Signal_SetAutoReset(signal, 1);
    }
    ~SignalHolder() { Signal_Delete(&signal); }
    // Whether a wait of the given time-out saw the signal.
    uint32_t Wait(int32_t timeoutMs) {
        uint32_t signalled = 7;
        EXPECT_EQ(Signal_Wait(signal, &signalled, timeoutMs), 1);
        return signalled;
    }
};

TEST(Signal, SetRaisesAndClearsAManualResetSignal) {
    SignalHolder h; // a new signal is cleared and resets manually
    EXPECT_EQ(Got<uint32_t>(Signal_Get, h.signal), 0u);
    EXPECT_EQ(Got<uint32_t>(Signal_GetAutoReset, h.signal), 0u);
    // Raising a raised signal and clearing a cleared one change nothing; any non-zero raises; a
    // raised manual signal stays so across waits.
    const uint32_t steps[][3] = {{1, 1, 1}, {1, 1, 1}, {0, 0, 0}, {0, 0, 0}, {2, 1, 1}, {0, 0, 0}};
    for (const auto& step : steps) {
        EXPECT_EQ(Signal_Set(h.signal, step[0]), 1);
        EXPECT_EQ(std::vector({Got<uint32_t>(Signal_Get, h.signal), h.Wait(0), h.Wait(0)}),
                  std::vector({step[1], step[2], step[2]}))
            << "after setting " << step[0];
    }
}

TEST(Signal, AutoResetIsConsumedByOneWaitAndRaisesDoNotCount) {
    SignalHolder h(1);
    EXPECT_EQ(Got<uint32_t>(Signal_GetAutoReset, h.signal), 1u);
    Signal_Set(h.signal, 1);
    Signal_Set(h.signal, 1);
    EXPECT_EQ(std::vector({h.Wait(5), Got<uint32_t>(Signal_Get, h.signal), h.Wait(5)}),
              std::vector<uint32_t>({1, 0, 0}));
}

TEST(Signal, ShortTimeOutsWaitAtLeastFifteenMilliseconds) {
    SignalHolder h;
    for (auto [timeout, least] : {std::pair{1, 14}, {15, 14}, {60, 59}}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(h.Wait(timeout), 0u);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(least)) << timeout;
    }
}

TEST(Signal, WaitsAreWokenByAnotherThread) {
    for (int32_t timeout : {-1, 30000}) {
        SignalHolder h(1);
        uint32_t signalled = 0;
        std::thread waiter([&] { signalled = h.Wait(timeout); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Signal_Set(h.signal, 1);
        waiter.join();
        EXPECT_EQ(signalled, 1u) << "time-out " << timeout;
    }
}

// One raise of a manual signal wakes every waiter; each raise of an auto-reset signal lets
// exactly one through, and as many raises as waiters let every one through however the raises
// and the waits interleave.
TEST(Signal, RaisesWakeEveryManualWaiterAndOneAutoWaiterEach) {
    for (uint32_t autoReset : {0u, 1u}) {
        SignalHolder h(autoReset);
        std::atomic<int> passed{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; i++) threads.emplace_back([&] { passed += h.Wait(-1); });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Deadline deadline("waiters of a raised signal");
        for (int i = 0; i < (autoReset ? 8 : 1); i++) {
            const int before = passed.load();
            Signal_Set(h.signal, 1);
            // The next raise waits until this one was taken, so that raises do not merge.
            while (autoReset && passed.load() == before) std::this_thread::yield();
            EXPECT_TRUE(!autoReset || passed.load() == before + 1)
                << "raise " << i << " let more than one through";
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(passed.load(), 8) << autoReset;
    }
}

// Two threads hand a token back and forth through two auto-reset signals; a lost wake-up
// leaves a wait to run out, which counts as missed.
TEST(Signal, PingPongLosesNoWakeUp) {
    SignalHolder ping(1), pong(1);
    constexpr int kRounds = 20000;
    std::atomic<int> missed{0};
    std::thread other([&] {
        for (int i = 0; i < kRounds; i++) {
            missed += 1 - (int)ping.Wait(20000);
            Signal_Set(pong.signal, 1);
        }
    });
    for (int i = 0; i < kRounds; i++) {
        Signal_Set(ping.signal, 1);
        missed += 1 - (int)pong.Wait(20000);
    }
    other.join();
    EXPECT_EQ(missed.load(), 0);
}

TEST(SignalDeathTest, NoSignalAbortsAtTheCallersLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int line = __LINE__ + 1;
    auto misuse = [] { Signal_Set(nullptr, 1); };
    EXPECT_DEATH((BoundedDeathChild(), misuse()),
                 "ABORT - Pointer is NULL\n \\([^ ]*signal_test\\.cpp/" + std::to_string(line) + "\\)");
}

} // namespace
