// Meter tests: the debug layer for the program (log lines reach only the print hooks), a clock
// the test moves by hand, and a fixture that starts the meters on it. Every test ends by taking
// the meters' lock from another thread, so that a lock left held fails there instead of hanging
// a later test.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "core/runtime/debug.h"
#include "core/runtime/meter.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/out_value.h"

class MeterTestEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(Debug_Init("meter.log", nullptr, DEBUG_FLAG_EXTERNAL_PRINT), 1);
    }
    void TearDown() override { Debug_Remove(); }
};

// Handles of type H made by a test and deleted with `remove` when it ends.
template <typename H, int64_t (*remove)(H**)> class MeterClockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        now = 1000.0;
        Meter_SetClockOverride([] { return now; });
        ASSERT_EQ(Meter_Init(), 1);
        // The first pass catches up at once; later passes wait for a second to pass.
        ASSERT_EQ(Meter_Process(), 1);
    }
    void TearDown() override {
        for (H*& handle : made) remove(&handle);
        FromOtherThread("a report to the root meter", [] { Meter_Report(Meter_RootHandle(), 0); });
        EXPECT_EQ(Meter_Remove(), 1);
        Meter_SetClockOverride(nullptr);
    }
    void Advance(double seconds) {
        now += seconds;
        ASSERT_EQ(Meter_Process(), 1);
    }
    H* Keep(H* handle) { return made.push_back(handle), handle; }
    static inline double now = 0.0;
    std::vector<H*> made;
};
