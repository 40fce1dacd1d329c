// Tests of Memory_MoveInt, the resize that growing buffers use: content kept, guards rewritten,
// counts as for an allocation and a free, and the long way (same texts and aborts) when tracking
// or when the old block is damaged.
#include "core/runtime/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/abort_hook.h"

namespace {

uint32_t Count() {
    uint32_t count = 0;
    Memory_GetCount(&count);
    return count;
}

uint32_t Bytes() {
    uint32_t bytes = 0;
    Memory_GetSize(&bytes);
    return bytes;
}

uint32_t BlockSize(int32_t size) {
    return ((uint32_t)size + 35) & ~3u;
}

class Counted : public ::testing::TestWithParam<int32_t> {
  protected:
    void SetUp() override {
        Memory_Remove();
        Memory_Init(GetParam());
    }
    void TearDown() override {
        Memory_Remove();
        Memory_Init(0);
    }
};

TEST_P(Counted, KeepsContentAndCountsLikeAllocAndFree) {
    const struct {
        int32_t From, To, Keep;
    } cases[] = {{10, 20, 10}, {100, 4096, 60}, {4096, 100, 100}, {1, 1, 1}, {64, 200000, 64}, {300, 5, 0}};
    for (const auto& c : cases) {
        uint8_t* p = (uint8_t*)Memory_Alloc(c.From);
        for (int32_t i = 0; i < c.From; i++) p[i] = (uint8_t)(i * 7 + 1);
        const uint32_t count = Count(), bytes = Bytes();
        uint8_t* q = (uint8_t*)Memory_MoveInt(p, c.From, c.To, c.Keep, "alloc.cpp", 1, "free.cpp", 2);
        ASSERT_NE(q, nullptr);
        for (int32_t i = 0; i < c.Keep; i++) ASSERT_EQ(q[i], (uint8_t)(i * 7 + 1)) << c.From << " " << i;
        EXPECT_EQ(Count(), count);
        EXPECT_EQ(Bytes(), bytes - BlockSize(c.From) + BlockSize(c.To));
        // The whole new block is usable and its guards hold.
        memset(q, 0x5A, (size_t)c.To);
        EXPECT_EQ(Memory_Validate(q, c.To), 1);
        if (GetParam()) {
            EXPECT_EQ(Memory_Check(nullptr), 1);
        }
        Memory_Free(q, c.To);
        EXPECT_EQ(Count(), count - 1);
    }
}

INSTANTIATE_TEST_SUITE_P(MemoryMove, Counted, ::testing::Values(0, 1));

#define EXPECT_ABORT(statement, regex)                                                                       \
    EXPECT_DEATH(                                                                                            \
        {                                                                                                    \
            InstallTestAbortHook();                                                                          \
            statement;                                                                                       \
        },                                                                                                   \
        regex)

TEST(MemoryMove, DamageAndBadSizesAbortAsAllocAndFreeWould) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    uint8_t* p = (uint8_t*)Memory_Alloc(4);
    // A damaged guard stops the move as it would stop the free.
    EXPECT_ABORT(p[4] ^= 1; Memory_MoveInt(p, 4, 40, 4, "alloc.cpp", 1, "free.cpp", 2),
                            "ABORT - Memory corrupt \\(4\\) <Addr:0x[0-9A-Fa-f]+ Before:0 After:1 Max:16>");
    EXPECT_ABORT(Memory_MoveInt(p, 4, 0, 0, "alloc.cpp", 1, "free.cpp", 2),
                 "ABORT - Invalid Memory Size \\(0\\)\n \\(alloc\\.cpp/1\\)");
    EXPECT_ABORT(Memory_MoveInt(nullptr, 4, 8, 0, "alloc.cpp", 1, "free.cpp", 2),
                 "ABORT - No Memory address to free \\(4 / 36\\)\n \\(free\\.cpp/2\\)");
    Memory_Free(p, 4);
}

} // namespace
