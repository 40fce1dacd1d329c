// Bounded waits for tests of code that locks. A lock left held, or a wake-up that never comes,
// must fail a test within a limit rather than hang the suite: once such a call blocks it cannot
// be taken back, and whatever it holds would block every later test too, so the failure is
// reported and the test program ends at once.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <unistd.h>

#include "tests/support/abort_hook.h"

// While it lives, a watchdog: if it is not destroyed within `seconds`, the test fails and the
// program ends.
class Deadline {
  public:
    explicit Deadline(std::string what, int seconds = 30) : what_(std::move(what)) {
        watchdog_ = std::thread([this, seconds] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) return;
            ADD_FAILURE() << what_ << " did not finish within " << seconds
                          << " s: a lock left held or a wake-up lost";
            fflush(stdout);
            fflush(stderr);
            std::_Exit(1);
        });
    }
    ~Deadline() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        watchdog_.join();
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

  private:
    std::string what_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread watchdog_;
};

// Calls step() until done() holds or `seconds` have passed; whether done() holds at the end. A
// wait for another thread, process, peer, timer or the kernel is bounded by a time, never by a
// count of passes: a pass takes microseconds on an idle machine, while the other side may need
// seconds on a busy one. A step that does not block should sleep a little, so that the wait
// does not take the processor from what it waits for.
template <typename Done, typename Step> bool StepUntil(Done done, Step step, double seconds = 30) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return done();
        step();
    }
    return true;
}

// Runs fn on a thread of its own, bounded: a lock that the calling thread (or an earlier call)
// left held blocks there even where the lock is re-entrant for its holder.
inline void FromOtherThread(const std::string& what, const std::function<void()>& fn, int seconds = 30) {
    Deadline deadline(what, seconds);
    std::thread(fn).join();
}

// Bounds every test of the program; register once per program:
//   const bool g_bounded = BoundEveryTest();
class BoundedTestListener : public ::testing::EmptyTestEventListener {
  public:
    explicit BoundedTestListener(int seconds) : seconds_(seconds) {}
    void OnTestStart(const ::testing::TestInfo& test) override {
        deadline_ =
            std::make_unique<Deadline>(std::string(test.test_suite_name()) + "." + test.name(), seconds_);
    }
    void OnTestEnd(const ::testing::TestInfo&) override { deadline_.reset(); }

  private:
    int seconds_;
    std::unique_ptr<Deadline> deadline_;
};

inline bool BoundEveryTest(int seconds = 120) {
    ::testing::UnitTest::GetInstance()->listeners().Append(new BoundedTestListener(seconds));
    return true;
}

// The first step of a death test's statement: the abort hook, and an alarm that ends a child
// blocked for good. A child forked while its parent held a lock finds the lock owned by a thread
// that does not exist in it, and its parent would wait for it for ever.
inline void BoundedDeathChild(unsigned seconds = 30) {
    InstallTestAbortHook();
    alarm(seconds);
}
