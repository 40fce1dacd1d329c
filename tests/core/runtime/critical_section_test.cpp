#include "core/runtime/critical_section.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/runtime/class.h"
#include "tests/support/abort_hook.h"

namespace {

TEST(CriticalSection, CreateValidateAndDelete) {
    EXPECT_EQ(CriticalSection_Create(nullptr), 0);
    CriticalSection* lock = nullptr;
    ASSERT_EQ(CriticalSection_Create(&lock), 1);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(CriticalSection_ValidHandle(lock), 1);
    EXPECT_EQ(reinterpret_cast<Class*>(lock)->ClassId, (uint32_t)CRITICAL_SECTION_CLASS_ID);
    EXPECT_EQ(CriticalSection_ValidHandle(nullptr), 0);
    EXPECT_EQ(CriticalSection_Delete(&lock), 1);
    EXPECT_EQ(lock, nullptr);
    EXPECT_EQ(CriticalSection_Delete(&lock), 0);
    EXPECT_EQ(CriticalSection_Delete(nullptr), 0);
}

// A handle without the class id is refused and nothing is freed (the fake lives on the stack,
// so a free would be caught by the address sanitizer).
TEST(CriticalSection, DeleteOfAForeignHandleFreesNothing) {
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
    // Another thread cannot enter until every level is unlocked.
    std::atomic<int> entered{0};
    std::thread other([&] {
        CriticalSection_Lock(lock);
        entered = 1;
        CriticalSection_Unlock(lock);
    });
    for (int i = 0; i < 4; i++) EXPECT_EQ(CriticalSection_Unlock(lock), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(entered.load(), 0);
    CriticalSection_Unlock(lock);
    other.join();
    EXPECT_EQ(entered.load(), 1);
    CriticalSection_Delete(&lock);
}

TEST(CriticalSection, SerialisesManyThreads) {
    CriticalSection* lock = nullptr;
    CriticalSection_Create(&lock);
    constexpr int kThreads = 8;
    constexpr int kRounds = 20000;
    int64_t counter = 0; // plain on purpose: only the lock protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; i++) {
                CriticalSectionGuard outer(lock);
                CriticalSectionGuard inner(lock);
                counter++;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, (int64_t)kThreads * kRounds);
    CriticalSection_Delete(&lock);
}

TEST(CriticalSectionDeathTest, BadHandlesAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CriticalSection_Lock(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CriticalSection_Unlock(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            alignas(16) uint8_t fake[128] = {};
            reinterpret_cast<Class*>(fake)->ClassId = 0x12345678;
            CriticalSection_Lock(reinterpret_cast<CriticalSection*>(fake));
        },
        "ABORT - Class mismatch pointer \\(0x[0-9a-fA-F]+: expected 0xff945dbc but was 0x12345678\\)");
}

} // namespace
