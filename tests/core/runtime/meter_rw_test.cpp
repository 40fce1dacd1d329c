// Tests of the read/write meter pair: each side forwards to its own meter, parents attach side
// to side, optional out values, deletion and reference counting.
#include "core/runtime/meter_rw.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/bounded_wait.h"
#include "tests/support/meter_clock.h"

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new MeterTestEnvironment);

class MeterRWTest : public MeterClockTest<MeterRW, MeterRW_Delete> {
  protected:
    MeterRW* Make(MeterRW* parent = nullptr) {
        MeterRW* m = nullptr;
        EXPECT_EQ(MeterRW_Create(&m), 1);
        EXPECT_EQ(parent ? MeterRW_SetParentHandle(m, parent) : 1, 1);
        return Keep(m);
    }
};

// Read and write side of one answer.
template <typename T, typename G> std::pair<T, T> Sides(G getter, MeterRW* m) {
    std::pair<T, T> p{7, 7};
    EXPECT_EQ(getter(m, &p.first, &p.second), 1);
    return p;
}
std::pair<uint64_t, uint64_t> Usage(MeterRW* m) {
    return Sides<uint64_t>(MeterRW_GetOverallUsage, m);
}
std::pair<int32_t, int32_t> Limits(MeterRW* m) {
    return Sides<int32_t>(MeterRW_GetLimitBandwidth, m);
}
using U = std::pair<uint64_t, uint64_t>;
using L = std::pair<int32_t, int32_t>;

// What both sides grant of the wishes, each answer checked against its grant.
L Grant(MeterRW* m, int32_t read, int32_t write) {
    const int64_t answers[] = {MeterRW_LimitRead(m, &read), MeterRW_LimitWrite(m, &write)};
    EXPECT_EQ(answers[0], read > 0);
    EXPECT_EQ(answers[1], write > 0);
    return {read, write};
}

TEST_F(MeterRWTest, EachSideForwardsToItsOwnMeter) {
    MeterRW* m = Make();
    EXPECT_EQ(Limits(m), L(-1, -1));
    EXPECT_EQ(Usage(m), U(0, 0));
    ASSERT_EQ(MeterRW_SetLimitBandwidth(m, 5000, 100), 1);
    EXPECT_EQ(Limits(m), L(5000, 1024));
    EXPECT_EQ(Grant(m, 9999, 9999), L(5000, 1024));
    EXPECT_EQ(Grant(m, 0, 1), L(0, 0)) << "write allowance used up";
    // Unused parts of the grants go back side by side.
    EXPECT_EQ(MeterRW_ReportRead(m, 4000) + MeterRW_ReportWrite(m, 24), 2);
    EXPECT_EQ(Usage(m), U(4000, 24));
    EXPECT_EQ(Grant(m, 9999, 9999), L(1000, 0)) << "the refused request replaced the earlier grant";
    // Each out value may be left out.
    uint64_t only[2] = {};
    int32_t limit = 0;
    EXPECT_EQ(MeterRW_GetOverallUsage(m, nullptr, &only[0]) + MeterRW_GetOverallUsage(m, &only[1], nullptr),
              2);
    EXPECT_EQ(MeterRW_GetLimitBandwidth(m, nullptr, &limit), 1);
    EXPECT_EQ(std::vector<uint64_t>({only[0], only[1], (uint64_t)limit}),
              std::vector<uint64_t>({24, 4000, 1024}));
}

TEST_F(MeterRWTest, BandwidthsPerSide) {
    MeterRW* m = Make();
    ASSERT_EQ(MeterRW_SetReadParentHandle(m, Meter_RootHandle()), 1);
    MeterRW_ReportRead(m, 2000);
    MeterRW_ReportWrite(m, 6000);
    Advance(2.0);
    // A side outside the root's tree is not calculated.
    EXPECT_EQ(Sides<double>(MeterRW_GetCurrentBandwidth, m), std::make_pair(1000.0, 0.0));
    Advance(1.0);
    double read = -1.0;
    EXPECT_EQ(MeterRW_GetCurrentBandwidth(m, &read, nullptr), 1);
    EXPECT_EQ(read, 0.0);
    EXPECT_EQ(Sides<double>(MeterRW_GetMaxBandwidth, m), std::make_pair(1000.0, 0.0));
    ASSERT_EQ(MeterRW_ResetCounters(m), 1);
    EXPECT_EQ(Sides<double>(MeterRW_GetMaxBandwidth, m), std::make_pair(0.0, 0.0));
    EXPECT_EQ(Usage(m), U(0, 0));
}

TEST_F(MeterRWTest, ParentsAttachSideToSide) {
    MeterRW* parent = Make();
    MeterRW* child = Make(parent);
    ASSERT_EQ(MeterRW_SetLimitBandwidth(parent, 2048, -1), 1);
    EXPECT_EQ(Limits(child), L(2048, -1));
    MeterRW_ReportRead(child, 10);
    MeterRW_ReportWrite(child, 20);
    EXPECT_EQ(Usage(parent), U(10, 20));
    EXPECT_EQ(MeterRW_SetParentHandle(parent, child), 0) << "a loop is refused";
    EXPECT_EQ(MeterRW_SetParentHandle(child, child), 0);
    ASSERT_EQ(MeterRW_SetParentHandle(child, nullptr), 1);
    MeterRW_ReportRead(child, 5);
    EXPECT_EQ(Usage(parent), U(10, 20));
    EXPECT_EQ(Limits(child), L(-1, -1));
    // One side under a plain meter.
    Meter* root = Meter_RootHandle();
    ASSERT_EQ(MeterRW_SetWriteParentHandle(child, root), 1);
    MeterRW_ReportRead(child, 1);
    MeterRW_ReportWrite(child, 2);
    EXPECT_EQ(Got<uint64_t>(Meter_GetOverallUsage, root), 2u);
    ASSERT_EQ(MeterRW_SetReadParentHandle(child, root), 1);
    MeterRW_ReportRead(child, 4);
    EXPECT_EQ(Got<uint64_t>(Meter_GetOverallUsage, root), 6u);
    // Reset takes the limits off both sides and their descendants.
    ASSERT_EQ(MeterRW_SetParentHandle(child, parent), 1);
    ASSERT_EQ(MeterRW_SetLimitBandwidth(child, 3000, 4000), 1);
    ASSERT_EQ(MeterRW_Reset(parent), 1);
    EXPECT_EQ(std::vector({Limits(parent), Limits(child)}), std::vector({L(-1, -1), L(-1, -1)}));
    EXPECT_EQ(Usage(child), U(0, 0));
}

TEST_F(MeterRWTest, DeletingAPairLeavesItsParentsAndOrphansItsChildren) {
    MeterRW* parent = Make();
    MeterRW* middle = nullptr;
    ASSERT_EQ(MeterRW_Create(&middle), 1);
    ASSERT_EQ(MeterRW_SetParentHandle(middle, parent), 1);
    MeterRW* child = Make(middle);
    ASSERT_EQ(MeterRW_Delete(&middle), 1);
    EXPECT_EQ(middle, nullptr);
    MeterRW_ReportRead(child, 3);
    MeterRW_ReportWrite(parent, 1);
    EXPECT_EQ(std::vector({Usage(child), Usage(parent)}), std::vector({U(3, 0), U(0, 1)}));
    // The parent's child list no longer holds the deleted meters.
    ASSERT_EQ(MeterRW_ResetCounters(parent), 1);
    EXPECT_EQ(Usage(parent), U(0, 0));
}

std::vector<std::string> g_lines;

TEST_F(MeterRWTest, VerboseSides) {
    MeterRW* m = Make();
    g_lines.clear();
    Debug_PrintOverride([](const char* text) -> int64_t { return g_lines.push_back(text), 1; });
    MeterRW_SetVerboseRead(m, 1);
    MeterRW_ReportRead(m, 1);
    MeterRW_ReportWrite(m, 2);
    MeterRW_SetVerbose(m, 0);
    MeterRW_SetVerboseWrite(m, 1);
    MeterRW_ReportRead(m, 3);
    MeterRW_ReportWrite(m, 4);
    MeterRW_SetVerbose(m, 1);
    MeterRW_ReportRead(m, 5);
    MeterRW_ReportWrite(m, 6);
    Debug_PrintOverride(nullptr);
    const char* expected[] = {"1 bytes, counted overall 1", "4 bytes, counted overall 6",
                              "5 bytes, counted overall 9", "6 bytes, counted overall 12"};
    ASSERT_EQ(g_lines.size(), 4u);
    for (size_t i = 0; i < g_lines.size(); i++)
        EXPECT_TRUE(g_lines[i].rfind("DEBUG - Meter 0x", 0) == 0 &&
                    g_lines[i].find(std::string(" reported ") + expected[i] + " bytes\n") !=
                        std::string::npos)
            << g_lines[i];
}

TEST_F(MeterRWTest, ReferencesAndWrongHandles) {
    MeterRW* m = nullptr;
    ASSERT_EQ(MeterRW_Create(&m), 1);
    MeterRW* keep = m;
    ASSERT_EQ(MeterRW_AddRef(m), 1);
    ASSERT_EQ(MeterRW_Release(&m), 1);
    EXPECT_EQ(m, nullptr);
    m = keep;
    MeterRW_ReportRead(m, 1); // still alive
    ASSERT_EQ(MeterRW_Release(&m), 1);
    EXPECT_EQ(MeterRW_Release(&m), 0);
    Meter* plain = nullptr;
    ASSERT_EQ(Meter_Create(&plain), 1);
    EXPECT_DEATH(
        (BoundedDeathChild(), MeterRW_LimitWrite(reinterpret_cast<MeterRW*>(plain), nullptr)),
        "ABORT - Class mismatch pointer \\(0x[0-9A-F]{16}: expected 0x1fc9f960 but was 0x03daa48f\\)");
    Meter_Delete(&plain);
}

} // namespace
