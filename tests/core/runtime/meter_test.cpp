// Tests of the bandwidth meters: limits and allowances, give-back of unused grants, the cap of
// idle allowance, counting up the tree, bandwidth calculation, tree links, wide counts, threads.
#include "core/runtime/meter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/debug.h"
#include "core/runtime/meter_rw.h"
#include "core/runtime/string_print.h"
#include "tests/support/abort_hook.h"

namespace {

double g_now = 1000.0;
double FakeClock() {
    return g_now;
}

class MeterEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        // Log lines reach only the print hooks: no log file.
        ASSERT_EQ(Debug_Init("meter.log", nullptr, DEBUG_FLAG_EXTERNAL_PRINT), 1);
    }
    void TearDown() override { Debug_Remove(); }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new MeterEnvironment);

class MeterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_now = 1000.0;
        Meter_SetClockOverride(FakeClock);
        ASSERT_EQ(Meter_Init(), 1);
        // The first pass catches up at once; later passes wait for a second to pass.
        ASSERT_EQ(Meter_Process(), 1);
    }
    void TearDown() override {
        for (Meter*& m : made)
            if (m) Meter_Delete(&m);
        EXPECT_EQ(Meter_Remove(), 1);
        Meter_SetClockOverride(nullptr);
    }
    // A new meter under the given parent (the root when none is given).
    Meter* Make(Meter* parent = nullptr) {
        Meter* m = nullptr;
        EXPECT_EQ(Meter_Create(&m), 1);
        EXPECT_EQ(Meter_SetParentHandle(m, parent ? parent : Meter_RootHandle()), 1);
        made.push_back(m);
        return m;
    }
    void Advance(double seconds) {
        g_now += seconds;
        ASSERT_EQ(Meter_Process(), 1);
    }
    std::vector<Meter*> made;
};

// Asks for `wanted` and returns what was granted, checking the answer agrees with it.
int32_t Grant(Meter* m, int32_t wanted) {
    int32_t count = wanted;
    const int64_t answer = Meter_Limit(m, &count);
    EXPECT_EQ(answer, count > 0 ? 1 : 0) << "wanted " << wanted;
    return count;
}

// Takes grants of at most `chunk` until none is left; the total.
int64_t Drain(Meter* m, int32_t chunk) {
    int64_t total = 0;
    for (int i = 0; i < 1000; i++) {
        const int32_t got = Grant(m, chunk);
        if (got == 0) break;
        total += got;
    }
    return total;
}

uint64_t Usage(Meter* m) {
    uint64_t usage = 0xDEAD;
    EXPECT_EQ(Meter_GetOverallUsage(m, &usage), 1);
    return usage;
}

int32_t LimitOf(Meter* m) {
    int32_t limit = 0x7EAD;
    EXPECT_EQ(Meter_GetLimitBandwidth(m, &limit), 1);
    return limit;
}

TEST_F(MeterTest, NewLimitStartsWithOneSecondAndIdleTimeStopsAtTheCap) {
    Meter* m = Make();
    ASSERT_EQ(Meter_SetLimitBandwidth(m, 2000), 1);
    EXPECT_EQ(Grant(m, 4096), 2000);
    EXPECT_EQ(Grant(m, 4096), 0);
    Advance(0.5);
    EXPECT_EQ(Grant(m, 4096), 0) << "less than a second: nothing accrued";
    Advance(0.5);
    EXPECT_EQ(Grant(m, 4096), 2000);
    Advance(5.0);
    // Never more than the limit at once, and never more than 1.05 seconds in store.
    EXPECT_EQ(Grant(m, 4096), 2000);
    EXPECT_EQ(Grant(m, 4096), 100);
    EXPECT_EQ(Grant(m, 4096), 0);
}

TEST_F(MeterTest, IdleAllowanceCapIsTakenInSinglePrecision) {
    const struct {
        int32_t limit;
        int64_t cap;
    } cases[] = {
        // 2000 x 1.05 in double precision with the single-precision factor would be 2099, and
        // 100000 x 1.05 in double precision 105000.
        {1024, 1075},
        {2000, 2100},
        {4096, 4300},
        {100000, 104999},
        // 1.05 times the largest limit does not fit an allowance: it stops at the largest one.
        {INT32_MAX, INT32_MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        Meter* m = Make();
        ASSERT_EQ(Meter_SetLimitBandwidth(m, c.limit), 1);
        // A long pause: the accrual must not overflow on its way to the cap.
        Advance(100000.0);
        EXPECT_EQ(Drain(m, INT32_MAX), c.cap);
    }
}

TEST_F(MeterTest, LimitValuesAndEffectiveLimit) {
    const struct {
        int32_t set;
        int32_t read;
    } cases[] = {
        {0, 1024}, {500, 1024}, {1024, 1024}, {1025, 1025}, {5000, 5000}, {-1, -1}, {-7, -7},
    };
    Meter* m = Make();
    EXPECT_EQ(LimitOf(m), -1) << "a new meter has no limit";
    for (const auto& c : cases) {
        ASSERT_EQ(Meter_SetLimitBandwidth(m, c.set), 1);
        EXPECT_EQ(LimitOf(m), c.read) << "set " << c.set;
    }
    // Without a limit every wish passes unchanged; a wish below 1 passes nothing.
    EXPECT_EQ(Grant(m, 123456789), 123456789);
    for (int32_t wanted : {0, -5, INT32_MIN}) {
        int32_t count = wanted;
        EXPECT_EQ(Meter_Limit(m, &count), 0);
        EXPECT_EQ(count, wanted);
    }
    // The same limit again starts no new second of allowance.
    ASSERT_EQ(Meter_SetLimitBandwidth(m, 2000), 1);
    EXPECT_EQ(Grant(m, 1500), 1500);
    ASSERT_EQ(Meter_SetLimitBandwidth(m, 2000), 1);
    EXPECT_EQ(Grant(m, 4096), 500);
    // A different one does.
    ASSERT_EQ(Meter_SetLimitBandwidth(m, 3000), 1);
    EXPECT_EQ(Grant(m, 4096), 3000);
}

TEST_F(MeterTest, ChildrenAreHeldByTheAllowanceOfLimitedAncestors) {
    Meter* parent = Make();
    Meter* child = Make(parent);
    Meter* limitedChild = Make(parent);
    ASSERT_EQ(Meter_SetLimitBandwidth(parent, 2048), 1);
    EXPECT_EQ(LimitOf(child), 2048);
    ASSERT_EQ(Meter_SetLimitBandwidth(limitedChild, 1500), 1);
    EXPECT_EQ(LimitOf(limitedChild), 1500) << "the smaller of the two";
    ASSERT_EQ(Meter_SetLimitBandwidth(limitedChild, 4000), 1);
    EXPECT_EQ(LimitOf(limitedChild), 2048);

    EXPECT_EQ(Grant(child, 4096), 2048);
    EXPECT_EQ(Grant(parent, 1), 0) << "the child's grant came out of the parent's allowance";
    EXPECT_EQ(Grant(limitedChild, 1), 0);
    Advance(1.0);
    EXPECT_EQ(Grant(limitedChild, 100), 100);
    EXPECT_EQ(Grant(child, 4096), 1948);

    // A negative limit other than -1 on an ancestor is no limit there, and hides none below.
    Meter* top = Make();
    Meter* below = Make(top);
    ASSERT_EQ(Meter_SetLimitBandwidth(top, -5), 1);
    ASSERT_EQ(Meter_SetLimitBandwidth(below, 2000), 1);
    EXPECT_EQ(LimitOf(top), -5);
    EXPECT_EQ(LimitOf(below), 2000);
    EXPECT_EQ(Grant(below, 4096), 2000);
    EXPECT_EQ(Grant(below, 4096), 0);
}

TEST_F(MeterTest, UnusedPartOfAGrantIsGivenBack) {
    Meter* m = Make();
    ASSERT_EQ(Meter_SetLimitBandwidth(m, 2000), 1);
    EXPECT_EQ(Grant(m, 1000), 1000);
    ASSERT_EQ(Meter_Report(m, 600), 1);
    EXPECT_EQ(Grant(m, 4096), 1400) << "400 of the grant came back";
    // Using the whole grant gives nothing back, and a second report cannot give it back again.
    ASSERT_EQ(Meter_Report(m, 1400), 1);
    ASSERT_EQ(Meter_Report(m, 0), 1);
    EXPECT_EQ(Grant(m, 4096), 0);

    // Give-back goes to the limited ancestors of an unlimited meter.
    Meter* parent = Make();
    Meter* child = Make(parent);
    ASSERT_EQ(Meter_SetLimitBandwidth(parent, 2000), 1);
    EXPECT_EQ(Grant(child, 1500), 1500);
    ASSERT_EQ(Meter_Report(child, 0), 1);
    EXPECT_EQ(Usage(child), 0u) << "a report of nothing counts nothing";
    EXPECT_EQ(Grant(parent, 4096), 2000);

    // Given-back bytes stop at the cap as accrued ones do.
    Meter* capped = Make();
    ASSERT_EQ(Meter_SetLimitBandwidth(capped, 2000), 1);
    Advance(3.0);
    EXPECT_EQ(Grant(capped, 2000), 2000);  // 100 left
    Advance(1.0);                          // 2100 again
    ASSERT_EQ(Meter_Report(capped, 0), 1); // 2000 back, over the cap
    EXPECT_EQ(Drain(capped, 4096), 2100);
}

TEST_F(MeterTest, ReportsCountInEveryAncestor) {
    Meter* root = Meter_RootHandle();
    Meter* a = Make();
    Meter* b = Make(a);
    const uint64_t before = Usage(root);
    ASSERT_EQ(Meter_Report(b, 100), 1);
    EXPECT_EQ(Usage(b), 100u);
    EXPECT_EQ(Usage(a), 100u);
    EXPECT_EQ(Usage(root), before + 100);
    ASSERT_EQ(Meter_Report(a, 5), 1);
    EXPECT_EQ(Usage(b), 100u);
    EXPECT_EQ(Usage(a), 105u);
    EXPECT_EQ(Usage(root), before + 105);
}

TEST_F(MeterTest, BandwidthIsCalculatedOncePerSecond) {
    Meter* a = Make();
    Meter* b = Make(a);
    double value = -1.0;
    ASSERT_EQ(Meter_Report(b, 3000), 1);
    Advance(0.5);
    EXPECT_EQ(Meter_GetCurrentBandwidth(b, &value), 1);
    EXPECT_EQ(value, 0.0) << "not yet a second since the last calculation";
    Advance(1.0);
    EXPECT_EQ(Meter_GetCurrentBandwidth(b, &value), 1);
    EXPECT_EQ(value, 2000.0) << "3000 bytes over 1.5 seconds";
    EXPECT_EQ(Meter_GetCurrentBandwidth(a, &value), 1);
    EXPECT_EQ(value, 2000.0);
    ASSERT_EQ(Meter_Report(b, 500), 1);
    Advance(1.0);
    EXPECT_EQ(Meter_GetCurrentBandwidth(b, &value), 1);
    EXPECT_EQ(value, 500.0);
    EXPECT_EQ(Meter_GetMaxBandwidth(b, &value), 1);
    EXPECT_EQ(value, 2000.0);

    ASSERT_EQ(Meter_SetLimitBandwidth(b, 5000), 1);
    ASSERT_EQ(Meter_ResetCounters(a), 1);
    for (Meter* m : {a, b}) {
        EXPECT_EQ(Usage(m), 0u);
        EXPECT_EQ(Meter_GetCurrentBandwidth(m, &value), 1);
        EXPECT_EQ(value, 0.0);
        EXPECT_EQ(Meter_GetMaxBandwidth(m, &value), 1);
        EXPECT_EQ(value, 0.0);
    }
    EXPECT_EQ(LimitOf(b), 5000) << "counters only";
    ASSERT_EQ(Meter_Report(b, 10), 1);
    ASSERT_EQ(Meter_Reset(a), 1);
    EXPECT_EQ(Usage(b), 0u);
    EXPECT_EQ(LimitOf(b), -1) << "a reset removes the limits below too";
}

TEST_F(MeterTest, DeletingAParentOrphansItsChildren) {
    Meter* root = Meter_RootHandle();
    Meter* parent = nullptr;
    ASSERT_EQ(Meter_Create(&parent), 1);
    ASSERT_EQ(Meter_SetParentHandle(parent, root), 1);
    Meter* first = Make(parent);
    Meter* second = Make(parent);
    ASSERT_EQ(Meter_SetLimitBandwidth(parent, 2048), 1);
    ASSERT_EQ(Meter_Delete(&parent), 1);
    EXPECT_EQ(parent, nullptr);
    const uint64_t before = Usage(root);
    ASSERT_EQ(Meter_Report(first, 70), 1);
    ASSERT_EQ(Meter_Report(second, 30), 1);
    EXPECT_EQ(Usage(first), 70u);
    EXPECT_EQ(Usage(second), 30u);
    EXPECT_EQ(Usage(root), before) << "no longer in the tree";
    EXPECT_EQ(LimitOf(first), -1);
    EXPECT_EQ(Grant(first, 99999), 99999);
    // Attaching an orphan again works as for a new meter.
    ASSERT_EQ(Meter_SetParentHandle(first, root), 1);
    ASSERT_EQ(Meter_Report(first, 1), 1);
    EXPECT_EQ(Usage(root), before + 1);
}

TEST_F(MeterTest, ParentLinksMoveMetersAndRefuseLoops) {
    Meter* a = Make();
    Meter* b = Make(a);
    Meter* c = Make(b);
    EXPECT_EQ(Meter_SetParentHandle(a, a), 0);
    EXPECT_EQ(Meter_SetParentHandle(a, c), 0) << "c is below a";
    EXPECT_EQ(Meter_SetParentHandle(b, c), 0);
    // The refused links changed nothing.
    ASSERT_EQ(Meter_Report(c, 1), 1);
    EXPECT_EQ(Usage(a), 1u);
    EXPECT_EQ(Usage(b), 1u);
    EXPECT_EQ(Usage(Meter_RootHandle()), 1u);
    // Moving c under a takes it out of b's children.
    ASSERT_EQ(Meter_SetParentHandle(c, a), 1);
    ASSERT_EQ(Meter_Report(c, 10), 1);
    EXPECT_EQ(Usage(b), 1u);
    EXPECT_EQ(Usage(a), 11u);
    // Detaching.
    ASSERT_EQ(Meter_SetParentHandle(c, nullptr), 1);
    ASSERT_EQ(Meter_Report(c, 100), 1);
    EXPECT_EQ(Usage(a), 11u);
    EXPECT_EQ(Usage(c), 111u);
    // a loses its middle child; the last one stays reachable for resets.
    ASSERT_EQ(Meter_SetParentHandle(c, a), 1);
    ASSERT_EQ(Meter_SetParentHandle(b, nullptr), 1);
    ASSERT_EQ(Meter_ResetCounters(a), 1);
    EXPECT_EQ(Usage(c), 0u);
    EXPECT_EQ(Usage(b), 1u);
}

// However many bytes pass, no allowance and no count wraps: neither the allowance of a meter
// without a limit under a limited one, nor the root's under a limited child, nor the bytes of
// one interval.
TEST_F(MeterTest, HugeTransfersNeverOverflowAllowancesOrCounts) {
    Meter* limitedParent = Make();
    Meter* freeChild = Make(limitedParent);
    Meter* limitedChild = Make();
    ASSERT_EQ(Meter_SetLimitBandwidth(limitedParent, INT32_MAX), 1);
    ASSERT_EQ(Meter_SetLimitBandwidth(limitedChild, INT32_MAX), 1);
    uint64_t expected = 0;
    for (int round = 0; round < 6; round++) {
        SCOPED_TRACE(round);
        EXPECT_EQ(Grant(freeChild, INT32_MAX), INT32_MAX);
        EXPECT_EQ(Grant(limitedChild, INT32_MAX), INT32_MAX);
        ASSERT_EQ(Meter_Report(freeChild, INT32_MAX), 1);
        ASSERT_EQ(Meter_Report(limitedChild, UINT32_MAX), 1);
        ASSERT_EQ(Meter_Report(limitedChild, UINT32_MAX), 1);
        expected += 2ull * UINT32_MAX;
        Advance(1.0);
    }
    EXPECT_EQ(Usage(freeChild), 6ull * INT32_MAX);
    EXPECT_EQ(Usage(limitedChild), expected);
    double value = 0.0;
    EXPECT_EQ(Meter_GetCurrentBandwidth(limitedChild, &value), 1);
    EXPECT_EQ(value, 2.0 * UINT32_MAX) << "two reports of 4 GiB in one second";
    EXPECT_EQ(Meter_GetCurrentBandwidth(Meter_RootHandle(), &value), 1);
    EXPECT_EQ(value, 2.0 * UINT32_MAX + INT32_MAX);
}

TEST_F(MeterTest, ConcurrentGrantsNeverExceedTheAllowance) {
    Meter* parent = Make();
    ASSERT_EQ(Meter_SetLimitBandwidth(parent, 100000), 1);
    constexpr int kThreads = 4;
    Meter* children[kThreads];
    for (Meter*& child : children) child = Make(parent);
    std::atomic<int64_t> granted{0};
    std::vector<std::thread> threads;
    for (Meter* child : children) {
        threads.emplace_back([child, &granted] {
            for (;;) {
                int32_t count = 700;
                if (!Meter_Limit(child, &count)) break;
                // Use all but one byte of each grant; the byte goes back.
                const int32_t used = count > 1 ? count - 1 : count;
                Meter_Report(child, (uint32_t)used);
                granted += used;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    // Every byte given back was granted again until none was left.
    EXPECT_EQ(granted.load(), 100000);
    EXPECT_EQ(Usage(parent), 100000u);
}

std::vector<std::string> g_lines;
int64_t CaptureLine(const char* text) {
    g_lines.push_back(text);
    return 1;
}

TEST_F(MeterTest, VerboseMetersLogEveryReport) {
    Meter* parent = Make();
    Meter* child = Make(parent);
    ASSERT_EQ(Meter_SetVerbose(parent, 1), 1);
    g_lines.clear();
    Debug_PrintOverride(CaptureLine);
    Meter_Report(child, 100);
    Meter_Report(child, 3000000000u);
    Meter_SetVerbose(parent, 0);
    Meter_Report(child, 1);
    Debug_PrintOverride(nullptr);
    char first[128], second[128];
    String_Print(first, sizeof(first), "DEBUG - Meter 0x%p reported 100 bytes, counted overall 100 bytes\n",
                 parent);
    String_Print(second, sizeof(second),
                 "DEBUG - Meter 0x%p reported 3000000000 bytes, counted overall 3000000100 bytes\n", parent);
    EXPECT_EQ(g_lines, (std::vector<std::string>{first, second}));
}

TEST_F(MeterTest, CountingAndInstanceId) {
    Meter* m = nullptr;
    ASSERT_EQ(Meter_Create(&m), 1);
    Meter* keep = m;
    ASSERT_EQ(Meter_AddRef(m), 1);
    ASSERT_EQ(Meter_Release(&m), 1);
    EXPECT_EQ(m, nullptr);
    char id[40];
    memset(id, 'x', sizeof(id));
    EXPECT_EQ(Meter_GetInstanceId(keep, id, sizeof(id)), 1);
    EXPECT_STREQ(id, "") << "meters are not tracked";
    m = keep;
    ASSERT_EQ(Meter_Release(&m), 1);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(Meter_Release(&m), 0);
    // Init twice keeps the one root.
    Meter* root = Meter_RootHandle();
    EXPECT_EQ(Meter_Init(), 1);
    EXPECT_EQ(Meter_RootHandle(), root);
}

TEST_F(MeterTest, BadHandlesAbort) {
    Meter* m = Make();
    MeterRW* pair = nullptr;
    ASSERT_EQ(MeterRW_Create(&pair), 1);
    // The death test runs in a new process, where the address differs.
    const std::string mismatch = "ABORT - Class mismatch pointer \\(0x[0-9A-F]{16}: expected 0x03daa48f but "
                                 "was 0x1fc9f960\\)\n \\([^ ]+/[0-9]+\\)";
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Meter_Report(reinterpret_cast<Meter*>(pair), 1);
        },
        mismatch);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Meter_Report(nullptr, 1);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Meter_Limit(m, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Meter_GetOverallUsage(m, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Meter_Create(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Meter_Remove();
            Meter_RootHandle();
        },
        AbortRegex("Assertion failed (state != NULL)\nMeter not initialized"));
    MeterRW_Delete(&pair);
}

TEST(MeterWithoutInit, PassIsRefusedAndMetersStillCount) {
    EXPECT_EQ(Meter_Process(), 0);
    Meter* a = nullptr;
    Meter* b = nullptr;
    ASSERT_EQ(Meter_Create(&a), 1);
    ASSERT_EQ(Meter_Create(&b), 1);
    ASSERT_EQ(Meter_SetParentHandle(b, a), 1);
    ASSERT_EQ(Meter_SetLimitBandwidth(a, 2000), 1);
    EXPECT_EQ(Grant(b, 5000), 2000);
    ASSERT_EQ(Meter_Report(b, 2000), 1);
    EXPECT_EQ(Usage(a), 2000u);
    Meter_Delete(&a);
    Meter_Delete(&b);
}

} // namespace
