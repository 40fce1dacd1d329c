#include "core/runtime/critical_section.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "core/runtime/class.h"
#include "tests/support/abort_table.h"

namespace {

// Runs `work` on `count` threads and waits at most `seconds` for all of them: a lock left held
// fails the test instead of hanging the suite. Threads still blocked are left behind.
bool RunWithin(int count, int seconds, const std::function<void()>& work) {
    auto done = std::make_shared<std::atomic<int>>(0);
    std::vector<std::thread> threads;
    for (int i = 0; i < count; i++)
        threads.emplace_back([done, work] {
            work();
            (*done)++;
        });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (done->load() < count && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool finished = done->load() == count;
    for (auto& t : threads) finished ? t.join() : t.detach();
    return finished;
}

TEST(CriticalSection, CreateValidateAndDelete) {
    EXPECT_EQ(CriticalSection_Create(nullptr), 0);
    CriticalSection* lock = nullptr;
    ASSERT_EQ(CriticalSection_Create(&lock), 1);
    EXPECT_EQ(CriticalSection_ValidHandle(lock), 1);
    EXPECT_EQ(CriticalSection_ValidHandle(nullptr), 0);
    EXPECT_EQ(CriticalSection_Delete(&lock), 1);
    EXPECT_EQ(lock, nullptr);
    EXPECT_EQ(CriticalSection_Delete(&lock), 0);
    EXPECT_EQ(CriticalSection_Delete(nullptr), 0);
    // A handle without the class id is refused and nothing is freed (the fake lives on the
    // stack, so a free would be caught by the address sanitizer).
    alignas(16) uint8_t fake[128] = {};
    reinterpret_cast<Class*>(fake)->ClassId = 0x12345678;
    CriticalSection* handle = reinterpret_cast<CriticalSection*>(fake);
    EXPECT_EQ(CriticalSection_ValidHandle(handle), 0);
    EXPECT_EQ(CriticalSection_Delete(&handle), 0);
    EXPECT_EQ(handle, reinterpret_cast<CriticalSection*>(fake));
}

TEST(CriticalSection, IsReentrantOnTheOwningThread) {
    CriticalSection* lock = nullptr;
    CriticalSection_Create(&lock);
    for (int i = 0; i < 5; i++) EXPECT_EQ(CriticalSection_Lock(lock), 1);
    for (int i = 0; i < 4; i++) EXPECT_EQ(CriticalSection_Unlock(lock), 1);
    // Another thread cannot enter until every level is unlocked.
    std::atomic<int> entered{0};
    std::thread other([&] {
        CriticalSection_Lock(lock);
        entered = 1;
        CriticalSection_Unlock(lock);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(entered.load(), 0);
    CriticalSection_Unlock(lock);
    // A bounded wait: a lock left held fails here; the blocked thread and the lock are left.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!entered.load() && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    if (!entered.load()) other.detach();
    ASSERT_EQ(entered.load(), 1) << "the lock was left held";
    other.join();
    CriticalSection_Delete(&lock);
}

TEST(CriticalSection, SerialisesManyThreads) {
    CriticalSection* lock = nullptr;
    CriticalSection_Create(&lock);
    constexpr int kThreads = 8, kRounds = 20000;
    int64_t counter = 0; // plain on purpose: only the lock protects it
    ASSERT_TRUE(RunWithin(kThreads, 60, [&] {
        for (int i = 0; i < kRounds; i++) {
            CriticalSectionGuard outer(lock);
            CriticalSectionGuard inner(lock);
            counter++;
        }
    }));
    EXPECT_EQ(counter, (int64_t)kThreads * kRounds);
    CriticalSection_Delete(&lock);
}

TEST(CriticalSectionDeathTest, BadHandlesAbort) {
    ExpectAborts({
        {[] { CriticalSection_Unlock(nullptr); }, AbortRegex("Pointer is NULL\n")},
        {[] {
             alignas(16) uint8_t fake[128] = {};
             reinterpret_cast<Class*>(fake)->ClassId = 0x12345678;
             CriticalSection_Lock(reinterpret_cast<CriticalSection*>(fake));
         },
         ClassMismatch(CRITICAL_SECTION_CLASS_ID, 0x12345678)},
    });
}

} // namespace
