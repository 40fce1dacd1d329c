// Tests of the read/write meter pair: each side forwards to its own meter, parents attach side
// to side, optional out values, deletion and reference counting.
#include "core/runtime/meter_rw.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/runtime/debug.h"
#include "core/runtime/string_print.h"
#include "tests/support/abort_hook.h"

namespace {

double g_now = 50.0;
double FakeClock() {
    return g_now;
}

class MeterRWEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        // Log lines reach only the print hooks: no log file.
        ASSERT_EQ(Debug_Init("meter_rw.log", nullptr, DEBUG_FLAG_EXTERNAL_PRINT), 1);
    }
    void TearDown() override { Debug_Remove(); }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new MeterRWEnvironment);

class MeterRWTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_now = 50.0;
        Meter_SetClockOverride(FakeClock);
        ASSERT_EQ(Meter_Init(), 1);
        ASSERT_EQ(Meter_Process(), 1);
    }
    void TearDown() override {
        for (MeterRW*& m : made)
            if (m) MeterRW_Delete(&m);
        EXPECT_EQ(Meter_Remove(), 1);
        Meter_SetClockOverride(nullptr);
    }
    MeterRW* Make() {
        MeterRW* m = nullptr;
        EXPECT_EQ(MeterRW_Create(&m), 1);
        made.push_back(m);
        return m;
    }
    std::vector<MeterRW*> made;
};

struct Pair {
    uint64_t read, write;
    bool operator==(const Pair& o) const { return read == o.read && write == o.write; }
};
std::ostream& operator<<(std::ostream& out, const Pair& p) {
    return out << "(" << p.read << ", " << p.write << ")";
}

Pair Usage(MeterRW* m) {
    Pair p{7, 7};
    EXPECT_EQ(MeterRW_GetOverallUsage(m, &p.read, &p.write), 1);
    return p;
}

std::pair<int32_t, int32_t> Limits(MeterRW* m) {
    int32_t read = 7, write = 7;
    EXPECT_EQ(MeterRW_GetLimitBandwidth(m, &read, &write), 1);
    return {read, write};
}

TEST_F(MeterRWTest, EachSideForwardsToItsOwnMeter) {
    MeterRW* m = Make();
    EXPECT_EQ(Limits(m), std::make_pair(-1, -1));
    EXPECT_EQ(Usage(m), (Pair{0, 0}));
    ASSERT_EQ(MeterRW_SetLimitBandwidth(m, 5000, 100), 1);
    EXPECT_EQ(Limits(m), std::make_pair(5000, 1024));

    int32_t count = 9999;
    EXPECT_EQ(MeterRW_LimitRead(m, &count), 1);
    EXPECT_EQ(count, 5000);
    count = 9999;
    EXPECT_EQ(MeterRW_LimitWrite(m, &count), 1);
    EXPECT_EQ(count, 1024);
    count = 1;
    EXPECT_EQ(MeterRW_LimitWrite(m, &count), 0) << "write allowance used up";
    EXPECT_EQ(count, 0);
    // Unused parts of the grants go back side by side.
    ASSERT_EQ(MeterRW_ReportRead(m, 4000), 1);
    ASSERT_EQ(MeterRW_ReportWrite(m, 24), 1);
    EXPECT_EQ(Usage(m), (Pair{4000, 24}));
    count = 9999;
    EXPECT_EQ(MeterRW_LimitRead(m, &count), 1);
    EXPECT_EQ(count, 1000);
    count = 9999;
    EXPECT_EQ(MeterRW_LimitWrite(m, &count), 0) << "the refused request replaced the earlier grant";

    // Each out value may be left out.
    uint64_t only = 0;
    EXPECT_EQ(MeterRW_GetOverallUsage(m, nullptr, &only), 1);
    EXPECT_EQ(only, 24u);
    EXPECT_EQ(MeterRW_GetOverallUsage(m, &only, nullptr), 1);
    EXPECT_EQ(only, 4000u);
    int32_t limit = 0;
    EXPECT_EQ(MeterRW_GetLimitBandwidth(m, nullptr, &limit), 1);
    EXPECT_EQ(limit, 1024);
    EXPECT_EQ(MeterRW_GetOverallUsage(m, nullptr, nullptr), 1);
}

TEST_F(MeterRWTest, BandwidthsPerSide) {
    MeterRW* m = Make();
    ASSERT_EQ(MeterRW_SetReadParentHandle(m, Meter_RootHandle()), 1);
    ASSERT_EQ(MeterRW_ReportRead(m, 2000), 1);
    ASSERT_EQ(MeterRW_ReportWrite(m, 6000), 1);
    g_now += 2.0;
    ASSERT_EQ(Meter_Process(), 1);
    double read = -1.0, write = -1.0;
    EXPECT_EQ(MeterRW_GetCurrentBandwidth(m, &read, &write), 1);
    EXPECT_EQ(read, 1000.0);
    EXPECT_EQ(write, 0.0) << "a side outside the root's tree is not calculated";
    g_now += 1.0;
    ASSERT_EQ(Meter_Process(), 1);
    EXPECT_EQ(MeterRW_GetCurrentBandwidth(m, &read, nullptr), 1);
    EXPECT_EQ(read, 0.0);
    EXPECT_EQ(MeterRW_GetMaxBandwidth(m, &read, &write), 1);
    EXPECT_EQ(read, 1000.0);
    ASSERT_EQ(MeterRW_ResetCounters(m), 1);
    EXPECT_EQ(MeterRW_GetMaxBandwidth(m, &read, &write), 1);
    EXPECT_EQ(read, 0.0);
    EXPECT_EQ(write, 0.0);
    EXPECT_EQ(Usage(m), (Pair{0, 0}));
}

TEST_F(MeterRWTest, ParentsAttachSideToSide) {
    MeterRW* parent = Make();
    MeterRW* child = Make();
    ASSERT_EQ(MeterRW_SetParentHandle(child, parent), 1);
    ASSERT_EQ(MeterRW_SetLimitBandwidth(parent, 2048, -1), 1);
    EXPECT_EQ(Limits(child), std::make_pair(2048, -1));
    ASSERT_EQ(MeterRW_ReportRead(child, 10), 1);
    ASSERT_EQ(MeterRW_ReportWrite(child, 20), 1);
    EXPECT_EQ(Usage(parent), (Pair{10, 20}));

    EXPECT_EQ(MeterRW_SetParentHandle(parent, child), 0) << "a loop is refused";
    EXPECT_EQ(MeterRW_SetParentHandle(child, child), 0);
    ASSERT_EQ(MeterRW_SetParentHandle(child, nullptr), 1);
    ASSERT_EQ(MeterRW_ReportRead(child, 5), 1);
    EXPECT_EQ(Usage(parent), (Pair{10, 20}));
    EXPECT_EQ(Limits(child), std::make_pair(-1, -1));

    // Attaching one side to a plain meter.
    Meter* root = Meter_RootHandle();
    ASSERT_EQ(MeterRW_SetWriteParentHandle(child, root), 1);
    ASSERT_EQ(MeterRW_ReportRead(child, 1), 1);
    ASSERT_EQ(MeterRW_ReportWrite(child, 2), 1);
    uint64_t rootUsage = 0;
    ASSERT_EQ(Meter_GetOverallUsage(root, &rootUsage), 1);
    EXPECT_EQ(rootUsage, 2u);
    ASSERT_EQ(MeterRW_SetReadParentHandle(child, root), 1);
    ASSERT_EQ(MeterRW_ReportRead(child, 4), 1);
    ASSERT_EQ(Meter_GetOverallUsage(root, &rootUsage), 1);
    EXPECT_EQ(rootUsage, 6u);

    // Reset takes the limits off both sides and their descendants.
    ASSERT_EQ(MeterRW_SetParentHandle(child, parent), 1);
    ASSERT_EQ(MeterRW_SetLimitBandwidth(child, 3000, 4000), 1);
    ASSERT_EQ(MeterRW_Reset(parent), 1);
    EXPECT_EQ(Limits(parent), std::make_pair(-1, -1));
    EXPECT_EQ(Limits(child), std::make_pair(-1, -1));
    EXPECT_EQ(Usage(child), (Pair{0, 0}));
}

TEST_F(MeterRWTest, DeletingAPairLeavesItsParentsAndOrphansItsChildren) {
    MeterRW* parent = Make();
    MeterRW* middle = nullptr;
    ASSERT_EQ(MeterRW_Create(&middle), 1);
    MeterRW* child = Make();
    ASSERT_EQ(MeterRW_SetParentHandle(middle, parent), 1);
    ASSERT_EQ(MeterRW_SetParentHandle(child, middle), 1);
    ASSERT_EQ(MeterRW_Delete(&middle), 1);
    EXPECT_EQ(middle, nullptr);
    ASSERT_EQ(MeterRW_ReportRead(child, 3), 1);
    ASSERT_EQ(MeterRW_ReportWrite(parent, 1), 1);
    EXPECT_EQ(Usage(child), (Pair{3, 0}));
    EXPECT_EQ(Usage(parent), (Pair{0, 1}));
    // The parent's child list no longer holds the deleted meters.
    ASSERT_EQ(MeterRW_ResetCounters(parent), 1);
    EXPECT_EQ(Usage(parent), (Pair{0, 0}));
}

std::vector<std::string> g_lines;
int64_t CaptureLine(const char* text) {
    g_lines.push_back(text);
    return 1;
}

TEST_F(MeterRWTest, VerboseSides) {
    MeterRW* m = Make();
    g_lines.clear();
    Debug_PrintOverride(CaptureLine);
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
    ASSERT_EQ(g_lines.size(), 4u);
    const char* expected[] = {
        "reported 1 bytes, counted overall 1 bytes\n",
        "reported 4 bytes, counted overall 6 bytes\n",
        "reported 5 bytes, counted overall 9 bytes\n",
        "reported 6 bytes, counted overall 12 bytes\n",
    };
    for (size_t i = 0; i < g_lines.size(); i++) {
        EXPECT_EQ(g_lines[i].rfind("DEBUG - Meter 0x", 0), 0u) << g_lines[i];
        EXPECT_NE(g_lines[i].find(expected[i]), std::string::npos) << g_lines[i];
    }
}

TEST_F(MeterRWTest, CountingAndBadHandles) {
    MeterRW* m = nullptr;
    ASSERT_EQ(MeterRW_Create(&m), 1);
    MeterRW* keep = m;
    ASSERT_EQ(MeterRW_AddRef(m), 1);
    ASSERT_EQ(MeterRW_Release(&m), 1);
    EXPECT_EQ(m, nullptr);
    char id[40] = "x";
    EXPECT_EQ(MeterRW_GetInstanceId(keep, id, sizeof(id)), 1);
    EXPECT_STREQ(id, "");
    m = keep;
    ASSERT_EQ(MeterRW_Release(&m), 1);
    EXPECT_EQ(MeterRW_Release(&m), 0);

    Meter* plain = nullptr;
    ASSERT_EQ(Meter_Create(&plain), 1);
    MeterRW* live = Make();
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MeterRW_ReportRead(nullptr, 1);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MeterRW_LimitWrite(reinterpret_cast<MeterRW*>(plain), nullptr);
        },
        "ABORT - Class mismatch pointer \\(0x[0-9A-F]{16}: expected 0x1fc9f960 but was 0x03daa48f\\)");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MeterRW_LimitRead(live, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MeterRW_Create(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    Meter_Delete(&plain);
}

} // namespace
