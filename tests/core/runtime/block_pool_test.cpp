#include "core/runtime/block_pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/debug.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

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

TEST(BlockPool, DefaultsAndSettings) {
    BlockPool* pool = nullptr;
    ASSERT_EQ(BlockPool_Create(&pool), 1);
    int32_t value = -1;
    EXPECT_EQ(BlockPool_GetBlockSize(pool, &value), 1);
    EXPECT_EQ(value, 4096);
    EXPECT_EQ(BlockPool_GetMemorySize(pool, &value), 1);
    EXPECT_EQ(value, 0);

    EXPECT_EQ(BlockPool_SetBlockSize(pool, 512), 1);
    EXPECT_EQ(BlockPool_GetBlockSize(pool, &value), 1);
    EXPECT_EQ(value, 512);
    // A block size below 1 would divide by zero in every block count.
    EXPECT_EQ(BlockPool_SetBlockSize(pool, 0), 0);
    EXPECT_EQ(BlockPool_SetBlockSize(pool, -512), 0);
    EXPECT_EQ(BlockPool_GetBlockSize(pool, &value), 1);
    EXPECT_EQ(value, 512);

    EXPECT_EQ(BlockPool_SetMemorySize(pool, 2000), 1);
    EXPECT_EQ(BlockPool_GetMemorySize(pool, &value), 1);
    EXPECT_EQ(value, 2000);
    // The block size is fixed while a region is held; after dropping it, it may change again.
    EXPECT_EQ(BlockPool_SetBlockSize(pool, 4096), 0);
    EXPECT_EQ(BlockPool_SetBlockSize(pool, 512), 1);
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
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(BlockPool_Alloc(pool, 4097, &none), 0);
    EXPECT_EQ(none, nullptr);
    uint8_t* third = Alloc(pool, 4096);
    EXPECT_EQ(third, base + 2 * 4096);
    // Every block handed out is usable in full.
    memset(first, 0xA5, 8192);
    memset(third, 0x5A, 4096);

    void* at = first;
    EXPECT_EQ(BlockPool_Free(pool, 5000, &at), 1);
    EXPECT_EQ(at, nullptr);
    EXPECT_EQ(Alloc(pool, 8192), base);
    EXPECT_EQ(BlockPool_Alloc(pool, 1, &none), 0);

    // A run is found past the used blocks before it.
    at = base;
    BlockPool_Free(pool, 8192, &at);
    at = third;
    BlockPool_Free(pool, 4096, &at);
    uint8_t* a = Alloc(pool, 1);
    uint8_t* b = Alloc(pool, 1);
    uint8_t* c = Alloc(pool, 1);
    EXPECT_EQ(a, base);
    EXPECT_EQ(b, base + 4096);
    EXPECT_EQ(c, base + 8192);
    at = b;
    BlockPool_Free(pool, 1, &at);
    EXPECT_EQ(BlockPool_Alloc(pool, 4097, &none), 0); // one free block, not two in a row
    EXPECT_EQ(Alloc(pool, 4096), b);
    for (uint8_t* p : {a, b, c}) {
        at = p;
        EXPECT_EQ(BlockPool_Free(pool, 100, &at), 1);
    }

    // A negative size is refused and a size beyond the pool never fits.
    EXPECT_EQ(BlockPool_Alloc(pool, -1, &none), 0);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(BlockPool_Alloc(pool, INT32_MAX, &none), 0);
    EXPECT_EQ(BlockPool_Alloc(pool, 3 * 4096 + 1, &none), 0);
    uint8_t* all = Alloc(pool, 3 * 4096);
    EXPECT_EQ(all, base);
    at = all;
    BlockPool_Free(pool, 3 * 4096, &at);
    BlockPool_Delete(&pool);
}

TEST(BlockPool, OddBlockSizesStayAligned) {
    BlockPool* pool = MakePool(1000, 100);
    uint8_t* base = Alloc(pool, 0);
    EXPECT_EQ((uintptr_t)base % 100, 0u);
    std::vector<uint8_t*> blocks;
    for (int i = 0; i < 10; i++) blocks.push_back(Alloc(pool, 100));
    for (int i = 0; i < 10; i++) EXPECT_EQ(blocks[(size_t)i], base + i * 100);
    for (size_t i = 0; i < blocks.size(); i++) memset(blocks[i], (int)i, 100);
    for (size_t i = 0; i < blocks.size(); i++) EXPECT_EQ(blocks[i][99], (uint8_t)i);
    void* none = nullptr;
    EXPECT_EQ(BlockPool_Alloc(pool, 1, &none), 0);
    for (uint8_t*& p : blocks) {
        void* at = p;
        BlockPool_Free(pool, 100, &at);
    }
    BlockPool_Delete(&pool);
}

TEST(BlockPool, Sizing) {
    BlockPool* pool = MakePool(10000);
    uint8_t* held = Alloc(pool, 10);
    // Refused while a block is in use; the same size is always fine.
    EXPECT_EQ(BlockPool_SetMemorySize(pool, 20000), 0);
    EXPECT_EQ(BlockPool_SetMemorySize(pool, 10000), 1);
    int32_t size = 0;
    BlockPool_GetMemorySize(pool, &size);
    EXPECT_EQ(size, 10000);
    void* at = held;
    BlockPool_Free(pool, 10, &at);
    EXPECT_EQ(BlockPool_SetMemorySize(pool, 20000), 1);
    BlockPool_GetMemorySize(pool, &size);
    EXPECT_EQ(size, 20000);
    uint8_t* big = Alloc(pool, 20000); // 5 blocks
    at = big;
    BlockPool_Free(pool, 20000, &at);

    // Without a region no block can be handed out, however many the old region had.
    for (int32_t empty : {0, -100}) {
        EXPECT_EQ(BlockPool_SetMemorySize(pool, empty), 1);
        void* none = reinterpret_cast<void*>(1);
        EXPECT_EQ(BlockPool_Alloc(pool, 1, &none), 0) << empty;
        EXPECT_EQ(none, nullptr);
        // Zero bytes take no block even then.
        EXPECT_EQ(BlockPool_Alloc(pool, 0, &none), 1);
        EXPECT_EQ(BlockPool_Free(pool, 0, &none), 1);
        BlockPool_SetMemorySize(pool, 4096);
    }

    // A region that the allocator cannot give is refused and the old one stays.
    EXPECT_EQ(BlockPool_SetMemorySize(pool, INT32_MAX), 0);
    BlockPool_GetMemorySize(pool, &size);
    EXPECT_EQ(size, 4096);
    EXPECT_NE(Alloc(pool, 4096), nullptr);
    void* none = nullptr;
    EXPECT_EQ(BlockPool_Alloc(pool, 1, &none), 0);
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
    void* a = nullptr;
    void* b = nullptr;
    BlockPool_Alloc(pool, 4096, &a);
    BlockPool_Alloc(pool, 8000, &b);
    printed.clear();
    EXPECT_EQ(BlockPool_Delete(&pool), 1);
    EXPECT_EQ(pool, nullptr);
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(printed[0], "DEBUG - Not all block pool memory was freed (3) for (owner.cpp/42)\n");

    BlockPool_Create(&pool);
    BlockPool_SetMemorySize(pool, 4096);
    void* c = nullptr;
    BlockPool_Alloc(pool, 4096, &c);
    BlockPool_Free(pool, 4096, &c);
    BlockPool_Delete(&pool);
    EXPECT_EQ(printed.size(), 1u);
}

TEST(BlockPoolDeath, Aborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* unallocated =
        "Assertion failed (BitField_IsRangeSet(BlockPool->BitFieldHandle, BlockStart, BlockCount))\n"
        "Attempt to free unallocated memory";
    struct {
        void (*run)();
        const char* text;
    } cases[] = {
        {[] {
             BlockPool* pool = MakePool(4 * 4096);
             void* at = nullptr;
             BlockPool_Alloc(pool, 100, &at);
             void* again = at;
             BlockPool_Free(pool, 100, &at);
             BlockPool_Free(pool, 100, &again); // twice
         },
         unallocated},
        {[] {
             BlockPool* pool = MakePool(4 * 4096);
             void* at = nullptr;
             BlockPool_Alloc(pool, 4096, &at);
             BlockPool_Free(pool, 8192, &at); // more blocks than allocated
         },
         unallocated},
        {[] {
             BlockPool* pool = MakePool(4 * 4096);
             void* at = nullptr;
             BlockPool_Alloc(pool, 4096, &at);
             at = static_cast<uint8_t*>(at) - 4096; // before the base
             BlockPool_Free(pool, 4096, &at);
         },
         unallocated},
        {[] {
             BlockPool* pool = MakePool(4 * 4096);
             void* at = nullptr;
             BlockPool_Alloc(pool, 4 * 4096, &at);
             at = static_cast<uint8_t*>(at) + 4 * 4096; // past the last block
             BlockPool_Free(pool, 1, &at);
         },
         unallocated},
        {[] {
             BlockPool* pool = MakePool(4 * 4096);
             void* at = nullptr;
             BlockPool_Alloc(pool, 4 * 4096, &at);
             at = static_cast<uint8_t*>(at) + 3 * 4096;
             BlockPool_Free(pool, 2 * 4096, &at); // runs past the last block
         },
         unallocated},
        {[] {
             BlockPool* pool = MakePool(4 * 4096);
             void* at = nullptr;
             BlockPool_Alloc(pool, 4096, &at);
             at = static_cast<uint8_t*>(at) + 1; // inside a block
             BlockPool_Free(pool, 4095, &at);
         },
         unallocated},
        {[] {
             BlockPool* pool = MakePool(4 * 4096);
             void* at = nullptr;
             BlockPool_Alloc(pool, 4096, &at);
             BlockPool_Free(pool, -1, &at);
         },
         unallocated},
        {[] {
             BlockPool* pool = MakePool(0);
             void* at = reinterpret_cast<void*>(0x10000);
             BlockPool_Free(pool, 1, &at); // no region at all
         },
         unallocated},
        {[] { BlockPool_Alloc(MakePool(4096), 1, nullptr); }, "Pointer is NULL\n"},
        {[] { BlockPool_Free(MakePool(4096), 1, nullptr); }, "Pointer is NULL\n"},
        {[] { BlockPool_GetBlockSize(MakePool(4096), nullptr); }, "Pointer is NULL\n"},
        {[] { BlockPool_SetMemorySize(nullptr, 1); }, "Pointer is NULL\n"},
        {[] { BlockPool_CreateReal(nullptr, "x", 1); }, "Pointer is NULL\n"},
    };
    for (const auto& c : cases)
        EXPECT_DEATH(
            {
                InstallTestAbortHook();
                c.run();
            },
            AbortRegex(c.text))
            << c.text;

    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            uint32_t other[16] = {};
            other[9] = 0x2efcb6e2;
            BlockPool_SetMemorySize(reinterpret_cast<BlockPool*>(other), 1);
        },
        "Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0x65d358e0 but was 0x2efcb6e2\\)");
}

} // namespace
