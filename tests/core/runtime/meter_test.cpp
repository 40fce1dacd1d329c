// Tests of the bandwidth meters: limits and allowances, give-back of unused grants, the cap of
// idle allowance, counting up the tree, bandwidth calculation, tree links, wide counts, threads.
#include "core/runtime/meter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/meter_rw.h"
#include "core/runtime/string_print.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/meter_clock.h"

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new MeterTestEnvironment);

class MeterTest : public MeterClockTest<Meter, Meter_Delete> {
  protected:
    // A new meter under the given parent (the root when none is given), with the given limit.
    Meter* Make(Meter* parent = nullptr, int32_t limit = -1) {
        Meter* m = nullptr;
        EXPECT_EQ(Meter_Create(&m), 1);
        EXPECT_EQ(Meter_SetParentHandle(m, parent ? parent : Meter_RootHandle()), 1);
        EXPECT_EQ(Meter_SetLimitBandwidth(m, limit), 1);
        return Keep(m);
    }
};

// Asks for `wanted` and returns what was granted, checking the answer agrees with it.
int32_t Grant(Meter* m, int32_t wanted) {
    const int64_t answer = Meter_Limit(m, &wanted);
    EXPECT_EQ(answer, wanted > 0 ? 1 : 0);
    return wanted;
}

// Takes grants of at most `chunk` until none is left; the total.
int64_t Drain(Meter* m, int32_t chunk) {
    int64_t total = 0;
    for (int32_t got = 1, i = 0; got > 0 && i < 1000; i++) total += got = Grant(m, chunk);
    return total;
}

std::vector<uint64_t> Usage(std::vector<Meter*> meters) {
    std::vector<uint64_t> out;
    for (Meter* m : meters) out.push_back(Got<uint64_t>(Meter_GetOverallUsage, m));
    return out;
}
uint64_t Usage(Meter* m) {
    return Got<uint64_t>(Meter_GetOverallUsage, m);
}
int32_t LimitOf(Meter* m) {
    return Got<int32_t>(Meter_GetLimitBandwidth, m);
}
double Current(Meter* m) {
    return Got<double>(Meter_GetCurrentBandwidth, m);
}
double Highest(Meter* m) {
    return Got<double>(Meter_GetMaxBandwidth, m);
}

TEST_F(MeterTest, NewLimitStartsWithOneSecondAndIdleTimeStopsAtTheCap) {
    Meter* m = Make(nullptr, 2000);
    EXPECT_EQ(Grant(m, 4096), 2000);
    EXPECT_EQ(Grant(m, 4096), 0);
    Advance(0.5);
    EXPECT_EQ(Grant(m, 4096), 0) << "less than a second: nothing accrued";
    Advance(0.5);
    EXPECT_EQ(Grant(m, 4096), 2000);
    Advance(5.0);
    // Never more than the limit at once, and never more than 1.05 seconds in store.
    EXPECT_EQ(std::vector({Grant(m, 4096), Grant(m, 4096), Grant(m, 4096)}), std::vector({2000, 100, 0}));
}

TEST_F(MeterTest, IdleAllowanceCapIsTakenInSinglePrecision) {
    // 2000 x 1.05 in double precision with the single-precision factor would be 2099, and 100000 x
    // 1.05 in double precision 105000; 1.05 times the largest limit does not fit an allowance.
    const std::pair<int32_t, int64_t> cases[] = {
        {1024, 1075}, {2000, 2100}, {4096, 4300}, {100000, 104999}, {INT32_MAX, INT32_MAX}};
    for (const auto& [limit, cap] : cases) {
        Meter* m = Make(nullptr, limit);
        Advance(100000.0); // a long pause must not overflow the accrual on its way to the cap
        EXPECT_EQ(Drain(m, INT32_MAX), cap) << limit;
    }
}

TEST_F(MeterTest, LimitValuesAndEffectiveLimit) {
    Meter* m = Make();
    EXPECT_EQ(LimitOf(m), -1) << "a new meter has no limit";
    const std::pair<int32_t, int32_t> cases[] = {{0, 1024},    {500, 1024}, {1024, 1024}, {1025, 1025},
                                                 {5000, 5000}, {-1, -1},    {-7, -7}};
    for (const auto& [set, read] : cases) {
        ASSERT_EQ(Meter_SetLimitBandwidth(m, set), 1);
        EXPECT_EQ(LimitOf(m), read) << "set " << set;
    }
    // Without a limit every wish passes unchanged; a wish below 1 passes nothing.
    EXPECT_EQ(Grant(m, 123456789), 123456789);
    for (int32_t wanted : {0, -5, INT32_MIN}) EXPECT_EQ(Grant(m, wanted), wanted);
    // The same limit again starts no new second of allowance; a different one does.
    for (auto [limit, wanted, granted] :
         {std::tuple{2000, 1500, 1500}, {2000, 4096, 500}, {3000, 4096, 3000}}) {
        ASSERT_EQ(Meter_SetLimitBandwidth(m, limit), 1);
        EXPECT_EQ(Grant(m, wanted), granted) << limit;
    }
}

TEST_F(MeterTest, ChildrenAreHeldByTheAllowanceOfLimitedAncestors) {
    Meter* parent = Make(nullptr, 2048);
    Meter* child = Make(parent);
    Meter* limitedChild = Make(parent, 1500);
    EXPECT_EQ(LimitOf(child), 2048);
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
    Meter* top = Make(nullptr, -5);
    Meter* below = Make(top, 2000);
    EXPECT_EQ(std::vector({LimitOf(top), LimitOf(below), Grant(below, 4096), Grant(below, 4096)}),
              std::vector({-5, 2000, 2000, 0}));
}

TEST_F(MeterTest, UnusedPartOfAGrantIsGivenBackOnce) {
    Meter* m = Make(nullptr, 2000);
    EXPECT_EQ(Grant(m, 1000), 1000);
    ASSERT_EQ(Meter_Report(m, 600), 1);
    EXPECT_EQ(Grant(m, 4096), 1400) << "400 of the grant came back";
    // Using the whole grant gives nothing back, and a second report cannot give it back again.
    ASSERT_TRUE(AllOne({Meter_Report(m, 1400), Meter_Report(m, 0)}));
    EXPECT_EQ(Grant(m, 4096), 0);
    // Even a grant of a single byte comes back when unused, and only once.
    Advance(1.0);
    EXPECT_EQ(std::vector({Grant(m, 1999), Grant(m, 1)}), std::vector({1999, 1}));
    ASSERT_TRUE(AllOne({Meter_Report(m, 0), Meter_Report(m, 0)}));
    EXPECT_EQ(Grant(m, 4096), 1);
    // Give-back goes to the limited ancestors of an unlimited meter, and a report of nothing
    // counts nothing.
    Meter* parent = Make(nullptr, 2000);
    Meter* child = Make(parent);
    EXPECT_EQ(Grant(child, 1500), 1500);
    ASSERT_EQ(Meter_Report(child, 0), 1);
    EXPECT_EQ(Usage(child), 0u);
    EXPECT_EQ(Grant(parent, 4096), 2000);
    // Given-back bytes stop at the cap as accrued ones do.
    Meter* capped = Make(nullptr, 2000);
    Advance(3.0);
    EXPECT_EQ(Grant(capped, 2000), 2000);  // 100 left
    Advance(1.0);                          // 2100 again
    ASSERT_EQ(Meter_Report(capped, 0), 1); // 2000 back, over the cap
    EXPECT_EQ(Drain(capped, 4096), 2100);
}

TEST_F(MeterTest, BandwidthIsCalculatedOncePerSecond) {
    Meter* a = Make();
    Meter* b = Make(a);
    ASSERT_EQ(Meter_Report(b, 3000), 1);
    Advance(0.5);
    EXPECT_EQ(Current(b), 0.0) << "not yet a second since the last calculation";
    Advance(1.0);
    EXPECT_EQ(std::vector({Current(b), Current(a)}), std::vector({2000.0, 2000.0})) << "3000 bytes in 1.5 s";
    ASSERT_EQ(Meter_Report(b, 500), 1);
    Advance(1.0);
    EXPECT_EQ(std::vector({Current(b), Highest(b)}), std::vector({500.0, 2000.0}));
    ASSERT_EQ(Meter_SetLimitBandwidth(b, 5000), 1);
    ASSERT_EQ(Meter_ResetCounters(a), 1);
    for (Meter* m : {a, b}) EXPECT_EQ(Usage(m) + Current(m) + Highest(m), 0.0);
    EXPECT_EQ(LimitOf(b), 5000) << "counters only";
    ASSERT_TRUE(AllOne({Meter_Report(b, 10), Meter_Reset(a)}));
    EXPECT_EQ(Usage(b), 0u);
    EXPECT_EQ(LimitOf(b), -1) << "a reset removes the limits below too";
}

TEST_F(MeterTest, ParentLinksCountUpTheTreeMoveMetersAndRefuseLoops) {
    Meter* root = Meter_RootHandle();
    Meter* a = Make();
    Meter* b = Make(a);
    Meter* c = Make(b);
    ASSERT_TRUE(AllOne({Meter_Report(b, 100), Meter_Report(a, 5)}));
    EXPECT_EQ(Usage({root, a, b, c}), (std::vector<uint64_t>{105, 105, 100, 0}));
    EXPECT_EQ(Meter_SetParentHandle(a, a), 0);
    EXPECT_EQ(Meter_SetParentHandle(a, c), 0) << "c is below a";
    EXPECT_EQ(Meter_SetParentHandle(b, c), 0);
    ASSERT_EQ(Meter_Report(c, 1), 1);
    EXPECT_EQ(Usage({root, a, b, c}), (std::vector<uint64_t>{106, 106, 101, 1}))
        << "refused links changed nothing";
    // Moving c under a takes it out of b's children; detached, it counts for itself alone.
    ASSERT_TRUE(AllOne({Meter_SetParentHandle(c, a), Meter_Report(c, 10)}));
    EXPECT_EQ(Usage({a, b}), (std::vector<uint64_t>{116, 101}));
    ASSERT_TRUE(AllOne({Meter_SetParentHandle(c, nullptr), Meter_Report(c, 100)}));
    EXPECT_EQ(Usage({a, c}), (std::vector<uint64_t>{116, 111}));
    // a loses its middle child; the last one stays reachable for resets.
    ASSERT_TRUE(
        AllOne({Meter_SetParentHandle(c, a), Meter_SetParentHandle(b, nullptr), Meter_ResetCounters(a)}));
    EXPECT_EQ(Usage({b, c}), (std::vector<uint64_t>{101, 0}));
    // Linked with its count carried, what c counted before counts for its new parents too.
    ASSERT_TRUE(AllOne({Meter_SetParentHandle(c, nullptr), Meter_Report(c, 7), Meter_ResetCounters(a)}));
    ASSERT_TRUE(AllOne({Meter_SetParentHandleCarryUsage(c, b), Meter_Report(c, 1)}));
    EXPECT_EQ(Usage({b, c}), (std::vector<uint64_t>{109, 8}));
    EXPECT_EQ(Meter_SetParentHandleCarryUsage(b, c), 0) << "no loops either";
}

TEST_F(MeterTest, DeletingAParentOrphansItsChildren) {
    Meter* root = Meter_RootHandle();
    Meter* parent = nullptr;
    ASSERT_TRUE(AllOne({Meter_Create(&parent), Meter_SetParentHandle(parent, root)}));
    Meter* first = Make(parent);
    Meter* second = Make(parent);
    ASSERT_TRUE(AllOne({Meter_SetLimitBandwidth(parent, 2048), Meter_Delete(&parent)}));
    EXPECT_EQ(parent, nullptr);
    ASSERT_TRUE(AllOne({Meter_Report(first, 70), Meter_Report(second, 30)}));
    EXPECT_EQ(Usage({root, first, second}), (std::vector<uint64_t>{0, 70, 30})) << "no longer in the tree";
    EXPECT_EQ(LimitOf(first), -1);
    EXPECT_EQ(Grant(first, 99999), 99999);
    // Attaching an orphan again works as for a new meter.
    ASSERT_TRUE(AllOne({Meter_SetParentHandle(first, root), Meter_Report(first, 1)}));
    EXPECT_EQ(Usage(root), 1u);
}

// However many bytes pass, no allowance and no count wraps: neither the allowance of a meter
// without a limit under a limited one, nor the root's under a limited child, nor the bytes of
// one interval.
TEST_F(MeterTest, HugeTransfersNeverOverflowAllowancesOrCounts) {
    Meter* freeChild = Make(Make(nullptr, INT32_MAX));
    Meter* limitedChild = Make(nullptr, INT32_MAX);
    for (int round = 0; round < 6; round++) {
        EXPECT_EQ(std::vector({Grant(freeChild, INT32_MAX), Grant(limitedChild, INT32_MAX)}),
                  std::vector({INT32_MAX, INT32_MAX}))
            << round;
        Meter_Report(freeChild, INT32_MAX);
        Meter_Report(limitedChild, UINT32_MAX);
        Meter_Report(limitedChild, UINT32_MAX);
        Advance(1.0);
    }
    EXPECT_EQ(Usage({freeChild, limitedChild}),
              (std::vector<uint64_t>{6ull * INT32_MAX, 12ull * UINT32_MAX}));
    EXPECT_EQ(Current(limitedChild), 2.0 * UINT32_MAX) << "two reports of 4 GiB in one second";
    EXPECT_EQ(Current(Meter_RootHandle()), 2.0 * UINT32_MAX + INT32_MAX);
}

TEST_F(MeterTest, ConcurrentGrantsNeverExceedTheAllowance) {
    Meter* parent = Make(nullptr, 100000);
    std::atomic<int64_t> granted{0};
    std::vector<std::thread> threads;
    Deadline deadline("grants on four threads");
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([child = Make(parent), &granted] {
            // Use all but one byte of each grant; the byte goes back.
            for (int32_t count = 700; Meter_Limit(child, &count); count = 700) {
                Meter_Report(child, (uint32_t)(count > 1 ? count - 1 : count));
                granted += count > 1 ? count - 1 : count;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    // Every byte given back was granted again until none was left.
    EXPECT_EQ(granted.load(), 100000);
    EXPECT_EQ(Usage(parent), 100000u);
}

std::vector<std::string> g_lines;

TEST_F(MeterTest, VerboseMetersLogEveryReport) {
    Meter* parent = Make();
    Meter* child = Make(parent);
    ASSERT_EQ(Meter_SetVerbose(parent, 1), 1);
    g_lines.clear();
    Debug_PrintOverride([](const char* text) -> int64_t { return g_lines.push_back(text), 1; });
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

TEST_F(MeterTest, ReferencesRepeatedInitAndMisuse) {
    Meter* m = nullptr;
    ASSERT_EQ(Meter_Create(&m), 1);
    Meter* keep = m;
    ASSERT_TRUE(AllOne({Meter_AddRef(m), Meter_Release(&m)}));
    EXPECT_EQ(m, nullptr);
    m = keep;
    ASSERT_TRUE(AllOne({Meter_Report(m, 1), Meter_Release(&m)})) << "alive until the last release";
    EXPECT_EQ(Meter_Release(&m), 0);
    Meter* root = Meter_RootHandle();
    EXPECT_EQ(Meter_Init(), 1);
    EXPECT_EQ(Meter_RootHandle(), root) << "a second start keeps the one root";
    // The death test runs in a new process, where the address differs.
    MeterRW* pair = nullptr;
    ASSERT_EQ(MeterRW_Create(&pair), 1);
    EXPECT_DEATH(
        (BoundedDeathChild(), Meter_Report(reinterpret_cast<Meter*>(pair), 1)),
        "ABORT - Class mismatch pointer \\(0x[0-9A-F]{16}: expected 0x03daa48f but was 0x1fc9f960\\)\n "
        "\\([^ ]+/[0-9]+\\)");
    EXPECT_DEATH((BoundedDeathChild(), Meter_Remove(), Meter_RootHandle()),
                 AbortRegex("Assertion failed (state != NULL)\nMeter not initialized"));
    MeterRW_Delete(&pair);
}

TEST(MeterWithoutInit, PassIsRefusedAndMetersStillCount) {
    EXPECT_EQ(Meter_Process(), 0);
    Meter *a = nullptr, *b = nullptr;
    ASSERT_TRUE(AllOne(
        {Meter_Create(&a), Meter_Create(&b), Meter_SetParentHandle(b, a), Meter_SetLimitBandwidth(a, 2000)}));
    EXPECT_EQ(Grant(b, 5000), 2000);
    ASSERT_EQ(Meter_Report(b, 2000), 1);
    EXPECT_EQ(Usage(a), 2000u);
    Meter_Delete(&a);
    Meter_Delete(&b);
}

} // namespace
