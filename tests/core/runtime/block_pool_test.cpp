#include "core/runtime/block_pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/abort_table.h"
#include "tests/support/log_capture.h"

namespace {

BlockPool* MakePool(int32_t memory, int32_t blockSize = 4096) {
    BlockPool* pool = nullptr;
    EXPECT_EQ(BlockPool_Create(&pool), 1);
    EXPECT_EQ(BlockPool_SetBlockSize(pool, blockSize), 1);
    EXPECT_EQ(BlockPool_SetMemorySize(pool, memory), 1);
    return pool;
}

uint8_t* Alloc(BlockPool* pool, int32_t size) {
    void* address = reinterpret_cast<void*>(1);
    EXPECT_EQ(BlockPool_Alloc(pool, size, &address), 1) << size;
    return static_cast<uint8_t*>(address);
}

// 1 when the allocation failed as it should: result 0 and a null address.
bool Refused(BlockPool* pool, int32_t size) {
    void* address = reinterpret_cast<void*>(1);
    return BlockPool_Alloc(pool, size, &address) == 0 && address == nullptr;
}

void Free(BlockPool* pool, int32_t size, void* at) {
    EXPECT_EQ(BlockPool_Free(pool, size, &at), 1);
    EXPECT_EQ(at, nullptr);
}

TEST(BlockPool, BlockSizeIsFixedWhileARegionIsHeld) {
    BlockPool* pool = nullptr;
    ASSERT_EQ(BlockPool_Create(&pool), 1);
    EXPECT_EQ(BlockPool_SetBlockSize(pool, 512), 1);
    // A block size below 1 would divide by zero in every block count.
    EXPECT_EQ(BlockPool_SetBlockSize(pool, 0), 0);
    EXPECT_EQ(BlockPool_SetBlockSize(pool, -512), 0);
    int32_t value = -1;
    EXPECT_EQ(BlockPool_GetBlockSize(pool, &value), 1);
    EXPECT_EQ(value, 512);
    EXPECT_EQ(BlockPool_SetMemorySize(pool, 2000), 1);
    EXPECT_EQ(BlockPool_SetBlockSize(pool, 4096), 0);
    EXPECT_EQ(BlockPool_SetBlockSize(pool, 512), 1); // the same size is fine
    EXPECT_EQ(BlockPool_SetMemorySize(pool, 0), 1);
    EXPECT_EQ(BlockPool_SetBlockSize(pool, 4096), 1);
    EXPECT_EQ(BlockPool_Delete(&pool), 1);
    EXPECT_EQ(pool, nullptr);
}

TEST(BlockPool, FirstFitRuns) {
    // 10000 bytes are 3 blocks of 4096.
    BlockPool* pool = MakePool(10000);
    uint8_t* base = Alloc(pool, 0);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ((uintptr_t)base % 4096, 0u);
    uint8_t* first = Alloc(pool, 5000);
    EXPECT_EQ(first, base);
    EXPECT_TRUE(Refused(pool, 4097));
    uint8_t* third = Alloc(pool, 4096);
    EXPECT_EQ(third, base + 2 * 4096);
    // Every block handed out is usable in full.
    memset(first, 0xA5, 8192);
    memset(third, 0x5A, 4096);
    Free(pool, 5000, first);
    EXPECT_EQ(Alloc(pool, 8192), base);
    EXPECT_TRUE(Refused(pool, 1));

    // A run is found past the used blocks before it.
    Free(pool, 8192, base);
    Free(pool, 4096, third);
    uint8_t* a = Alloc(pool, 1);
    uint8_t* b = Alloc(pool, 1);
    uint8_t* c = Alloc(pool, 1);
    EXPECT_EQ(b, base + 4096);
    EXPECT_EQ(c, base + 8192);
    Free(pool, 1, b);
    EXPECT_TRUE(Refused(pool, 4097)); // one free block, not two in a row
    EXPECT_EQ(Alloc(pool, 4096), b);
    for (uint8_t* p : {a, b, c}) Free(pool, 100, p);

    // A negative size is refused and a size beyond the pool never fits.
    for (int32_t size : {-1, INT32_MAX, 3 * 4096 + 1}) EXPECT_TRUE(Refused(pool, size)) << size;
    EXPECT_EQ(Alloc(pool, 3 * 4096), base);
    Free(pool, 3 * 4096, base);
    BlockPool_Delete(&pool);
}

TEST(BlockPool, OddBlockSizesStayAligned) {
    BlockPool* pool = MakePool(1000, 100);
    uint8_t* base = Alloc(pool, 0);
    EXPECT_EQ((uintptr_t)base % 100, 0u);
    for (int i = 0; i < 10; i++) {
        uint8_t* block = Alloc(pool, 100);
        EXPECT_EQ(block, base + i * 100);
        memset(block, i, 100);
    }
    for (int i = 0; i < 10; i++) EXPECT_EQ(base[i * 100 + 99], (uint8_t)i);
    EXPECT_TRUE(Refused(pool, 1));
    Free(pool, 1000, base);
    BlockPool_Delete(&pool);
}

TEST(BlockPool, Sizing) {
    BlockPool* pool = MakePool(10000);
    uint8_t* held = Alloc(pool, 10);
    // Refused while a block is in use; the same size is always fine.
    EXPECT_EQ(BlockPool_SetMemorySize(pool, 20000), 0);
    EXPECT_EQ(BlockPool_SetMemorySize(pool, 10000), 1);
    Free(pool, 10, held);
    EXPECT_EQ(BlockPool_SetMemorySize(pool, 20000), 1);
    int32_t size = 0;
    BlockPool_GetMemorySize(pool, &size);
    EXPECT_EQ(size, 20000);
    Free(pool, 20000, Alloc(pool, 20000)); // 5 blocks

    // Without a region no block can be handed out, however many the old region had; zero bytes
    // take no block even then.
    for (int32_t empty : {0, -100}) {
        EXPECT_EQ(BlockPool_SetMemorySize(pool, empty), 1);
        EXPECT_TRUE(Refused(pool, 1)) << empty;
        Free(pool, 0, Alloc(pool, 0));
        BlockPool_SetMemorySize(pool, 4096);
    }
    // A region that the allocator cannot give is refused and the old one stays.
    EXPECT_EQ(BlockPool_SetMemorySize(pool, INT32_MAX), 0);
    BlockPool_GetMemorySize(pool, &size);
    EXPECT_EQ(size, 4096);
    EXPECT_NE(Alloc(pool, 4096), nullptr);
    EXPECT_TRUE(Refused(pool, 1));
    BlockPool_Delete(&pool);

    BlockPool* huge = nullptr;
    BlockPool_Create(&huge);
    EXPECT_EQ(BlockPool_SetBlockSize(huge, 1 << 30), 1);
    EXPECT_EQ(BlockPool_SetMemorySize(huge, 1), 0); // (1 + 2) blocks of 1 GiB
    BlockPool_Delete(&huge);
}

class BlockPoolLogTest : public LogLinesTest {};

TEST_F(BlockPoolLogTest, DeleteReportsBlocksStillInUse) {
    BlockPool* pool = nullptr;
    BlockPool_CreateReal(&pool, "owner.cpp", 42);
    BlockPool_SetMemorySize(pool, 5 * 4096);
    Alloc(pool, 4096);
    Alloc(pool, 8000);
    printed.clear();
    EXPECT_EQ(BlockPool_Delete(&pool), 1);
    EXPECT_EQ(printed, std::vector<std::string>{
                           "DEBUG - Not all block pool memory was freed (3) for (owner.cpp/42)\n"});

    pool = MakePool(4096);
    Free(pool, 4096, Alloc(pool, 4096));
    BlockPool_Delete(&pool);
    EXPECT_EQ(printed.size(), 1u);
}

// In a pool of 4 blocks: takes `taken` bytes, then frees `size` bytes at the run's address moved
// by `offset` bytes (twice when asked).
void FreeAfterTaking(int32_t taken, int64_t offset, int32_t size, bool twice = false) {
    BlockPool* pool = MakePool(4 * 4096);
    uint8_t* at = Alloc(pool, taken) + offset;
    Free(pool, size, at);
    if (twice) Free(pool, size, at);
}

TEST(BlockPoolDeathTest, FreeingWhatWasNotHandedOutAborts) {
    const std::string unallocated = AbortRegex(
        "Assertion failed (BitField_IsRangeSet(BlockPool->BitFieldHandle, BlockStart, BlockCount))\n"
        "Attempt to free unallocated memory");
    ExpectAborts({
        {[] { FreeAfterTaking(100, 0, 100, true); }, unallocated},            // twice
        {[] { FreeAfterTaking(4096, 0, 8192); }, unallocated},                // more blocks than taken
        {[] { FreeAfterTaking(4096, -4096, 4096); }, unallocated},            // before the base
        {[] { FreeAfterTaking(4 * 4096, 4 * 4096, 1); }, unallocated},        // past the last block
        {[] { FreeAfterTaking(4 * 4096, 3 * 4096, 2 * 4096); }, unallocated}, // runs past the last block
        {[] { FreeAfterTaking(4096, 1, 4095); }, unallocated},                // inside a block
        {[] { FreeAfterTaking(4096, 0, -1); }, unallocated},
        {[] { Free(MakePool(0), 1, reinterpret_cast<void*>(0x10000)); }, unallocated}, // no region at all
        {[] {
             uint32_t other[16] = {};
             other[9] = 0x2efcb6e2;
             BlockPool_SetMemorySize(reinterpret_cast<BlockPool*>(other), 1);
         },
         ClassMismatch(BLOCK_POOL_CLASS_ID, 0x2efcb6e2)},
    });
}

} // namespace
