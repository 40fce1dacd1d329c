#include "core/runtime/pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/debug.h"
#include "core/runtime/string_print.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using ::testing::internal::RE;

// Chunk header and member descriptor sizes on a 64-bit build: the bytes a chunk takes besides
// its data area.
constexpr uint32_t kChunkHeader = 32;
constexpr uint32_t kDescriptor = 32;

const char* kP = "0x[0-9A-F]{16}";

uint32_t Get(int64_t (*getter)(Pool*, uint32_t*), Pool* pool) {
    uint32_t value = 0xFFFFFFFF;
    EXPECT_EQ(getter(pool, &value), 1);
    return value;
}

Pool* MakePool(uint32_t memberSize, uint32_t chunkSize) {
    Pool* pool = nullptr;
    EXPECT_EQ(Pool_Create(&pool), 1);
    Pool_SetMemorySize(pool, memberSize);
    Pool_SetChunkSize(pool, chunkSize);
    return pool;
}

Pool* MakeStringPool() {
    Pool* pool = MakePool(2048, 1);
    EXPECT_EQ(Pool_SetStringMode(pool, 1), 1);
    return pool;
}

TEST(Pool, DefaultsAndSettings) {
    Pool* pool = nullptr;
    ASSERT_EQ(Pool_Create(&pool), 1);
    EXPECT_EQ(Pool_ValidHandle(pool), 1);
    EXPECT_EQ(Pool_ValidHandle(nullptr), 0);
    int32_t notAPool[16] = {};
    EXPECT_EQ(Pool_ValidHandle(reinterpret_cast<Pool*>(notAPool)), 0);

    struct {
        int64_t (*getter)(Pool*, uint32_t*);
        uint32_t expected;
    } defaults[] = {
        {Pool_GetStringMode, 0},  {Pool_GetDebugMode, 0},   {Pool_GetZeroOnAlloc, 1},
        {Pool_GetVerbose, 0},     {Pool_GetAllowLock, 0},   {Pool_GetChunkSize, 0},
        {Pool_GetMemorySize, 0},  {Pool_GetActiveCount, 0}, {Pool_GetMaximumCount, 0},
        {Pool_GetMemoryInUse, 0}, {Pool_GetBlocksInUse, 0}, {Pool_GetStringMemoryLeftOver, 0},
    };
    for (const auto& d : defaults) EXPECT_EQ(Get(d.getter, pool), d.expected);

    // The getter answers the size raised to a multiple of 8.
    const uint32_t sizes[][2] = {{1, 8}, {8, 8}, {13, 16}, {24, 24}, {25, 32}};
    for (const auto& s : sizes) {
        Pool_SetMemorySize(pool, s[0]);
        EXPECT_EQ(Get(Pool_GetMemorySize, pool), s[1]) << s[0];
    }
    Pool_SetChunkSize(pool, 7);
    Pool_SetZeroOnAlloc(pool, 0);
    Pool_SetVerbose(pool, 1);
    Pool_SetAllowLock(pool, 1);
    EXPECT_EQ(Get(Pool_GetChunkSize, pool), 7u);
    EXPECT_EQ(Get(Pool_GetZeroOnAlloc, pool), 0u);
    EXPECT_EQ(Get(Pool_GetVerbose, pool), 1u);
    EXPECT_EQ(Get(Pool_GetAllowLock, pool), 1u);
    Pool_SetVerbose(pool, 0);
    Pool_SetDebugMode(pool, 1);
    EXPECT_EQ(Get(Pool_GetDebugMode, pool), 1u);

    EXPECT_EQ(Pool_Delete(&pool), 1);
    EXPECT_EQ(pool, nullptr);
}

TEST(Pool, ChunkGrowthAndReuse) {
    Pool* pool = MakePool(20, 4); // aligned to 24
    const uint32_t chunkBytes = kChunkHeader + 4 * kDescriptor + 4 * 24;
    std::vector<void*> members;
    for (int i = 0; i < 5; i++) members.push_back(Pool_Alloc(pool, 20));
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 2u);
    EXPECT_EQ(Get(Pool_GetMemoryInUse, pool), 2 * chunkBytes);
    EXPECT_EQ(Get(Pool_GetActiveCount, pool), 5u);
    EXPECT_EQ(Get(Pool_GetMaximumCount, pool), 5u);

    // A fresh chunk hands out its members in address order, 24 bytes apart, 8-aligned.
    for (int i = 1; i < 4; i++)
        EXPECT_EQ(static_cast<uint8_t*>(members[i]) - static_cast<uint8_t*>(members[i - 1]), 24);
    for (void* m : members) EXPECT_EQ((uintptr_t)m % 8, 0u);
    EXPECT_EQ(std::set<void*>(members.begin(), members.end()).size(), 5u);

    // Freed members come back before any new chunk is taken.
    for (void*& m : members) EXPECT_EQ(Pool_Free(pool, &m, 20), nullptr);
    for (void* m : members) EXPECT_EQ(m, nullptr);
    EXPECT_EQ(Get(Pool_GetActiveCount, pool), 0u);
    EXPECT_EQ(Get(Pool_GetMaximumCount, pool), 5u);
    for (int i = 0; i < 8; i++) members.push_back(Pool_Alloc(pool, 20));
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 2u);
    members.push_back(Pool_Alloc(pool, 20));
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 3u);
    EXPECT_EQ(Get(Pool_GetMaximumCount, pool), 9u);

    // Fixed chunks keep their whole data area after the cursor.
    EXPECT_EQ(Get(Pool_GetStringMemoryLeftOver, pool), 3 * 4 * 24u);
    Pool_RemoveAll(pool);
    Pool_Delete(&pool);
}

TEST(Pool, ResetKeepsChunksAndReusesTheirMembers) {
    Pool* pool = MakePool(16, 3);
    std::set<void*> first;
    for (int i = 0; i < 7; i++) first.insert(Pool_Alloc(pool, 16));
    const uint32_t memory = Get(Pool_GetMemoryInUse, pool);
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 3u);

    EXPECT_EQ(Pool_Reset(pool), 1);
    EXPECT_EQ(Get(Pool_GetActiveCount, pool), 0u);
    EXPECT_EQ(Get(Pool_GetMaximumCount, pool), 0u);
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 3u);
    EXPECT_EQ(Get(Pool_GetMemoryInUse, pool), memory);

    // All nine members of the three chunks are free again: nine allocations need no chunk and
    // include every member handed out before.
    std::set<void*> second;
    for (int i = 0; i < 9; i++) second.insert(Pool_Alloc(pool, 16));
    EXPECT_EQ(second.size(), 9u);
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 3u);
    for (void* m : first) EXPECT_TRUE(second.count(m));
    EXPECT_EQ(Get(Pool_GetActiveCount, pool), 9u);

    EXPECT_EQ(Pool_RemoveAll(pool), 1);
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 0u);
    EXPECT_EQ(Get(Pool_GetMemoryInUse, pool), 0u);
    EXPECT_EQ(Get(Pool_GetActiveCount, pool), 0u);
    EXPECT_EQ(Get(Pool_GetMaximumCount, pool), 0u);
    Pool_Delete(&pool);
}

TEST(Pool, MemorySizeChangeDropsChunksOnlyWhenTheAlignedSizeChanges) {
    Pool* pool = MakePool(24, 4);
    void* m = Pool_Alloc(pool, 24);
    Pool_Free(pool, &m, 24);
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 1u);
    Pool_SetMemorySize(pool, 20); // still 24 once aligned
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 1u);
    m = Pool_Alloc(pool, 20); // the exact size set is what members must be asked for
    Pool_Free(pool, &m, 20);
    Pool_SetMemorySize(pool, 32);
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 0u);
    EXPECT_EQ(Get(Pool_GetMemoryInUse, pool), 0u);
    EXPECT_EQ(Get(Pool_GetMemorySize, pool), 32u);
    Pool_Delete(&pool);
}

TEST(Pool, ZeroOnAlloc) {
    Pool* pool = MakePool(32, 2);
    auto* m = static_cast<uint8_t*>(Pool_Alloc(pool, 32));
    for (int i = 0; i < 32; i++) EXPECT_EQ(m[i], 0);
    memset(m, 0xAB, 32);
    uint8_t* kept = m;
    Pool_Free(pool, &m, 32);
    m = static_cast<uint8_t*>(Pool_Alloc(pool, 32)); // the last freed member comes back first
    ASSERT_EQ(m, kept);
    for (int i = 0; i < 32; i++) EXPECT_EQ(m[i], 0);
    memset(m, 0xAB, 32);
    Pool_Free(pool, &m, 32);
    Pool_SetZeroOnAlloc(pool, 0);
    m = static_cast<uint8_t*>(Pool_Alloc(pool, 32));
    ASSERT_EQ(m, kept);
    EXPECT_EQ(m[0], 0xAB);
    EXPECT_EQ(m[31], 0xAB);
    Pool_Free(pool, &m, 32);
    Pool_Delete(&pool);

    // String mode writes one NUL at the start and leaves the rest.
    Pool* strings = MakeStringPool();
    auto* s = static_cast<char*>(Pool_Alloc(strings, 10));
    memset(s, 'x', 10);
    Pool_Reset(strings);
    s = static_cast<char*>(Pool_Alloc(strings, 10));
    EXPECT_EQ(s[0], 0);
    Pool_Delete(&strings);
}

TEST(Pool, StringModeServesFromChunksWithStrictlyMoreRoom) {
    Pool* pool = MakeStringPool();
    const uint32_t chunkBytes = kChunkHeader + kDescriptor + 2048;

    // Each request takes the size plus 4 bytes.
    auto* a = static_cast<char*>(Pool_Alloc(pool, 100));
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 1u);
    EXPECT_EQ(Get(Pool_GetMemoryInUse, pool), chunkBytes);
    EXPECT_EQ(Get(Pool_GetStringMemoryLeftOver, pool), 2048u - 104);

    // 1940 + 4 would fill the 1944 bytes left exactly: it goes to a new chunk.
    auto* b = static_cast<char*>(Pool_Alloc(pool, 1940));
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 2u);
    EXPECT_EQ(Get(Pool_GetStringMemoryLeftOver, pool), (2048u - 104) + (2048u - 1944));
    // 1939 + 4 leaves one byte: the newest chunk has 104 bytes, the older one serves it.
    auto* c = static_cast<char*>(Pool_Alloc(pool, 1939));
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 2u);
    EXPECT_EQ(Get(Pool_GetStringMemoryLeftOver, pool), 1u + (2048u - 1944));
    EXPECT_EQ(c - a, 104);

    // A request larger than the member size gets a chunk sized for it, raised to a multiple of 8.
    auto* d = static_cast<char*>(Pool_Alloc(pool, 3000));
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 3u);
    EXPECT_EQ(Get(Pool_GetMemoryInUse, pool), 2 * chunkBytes + kChunkHeader + kDescriptor + 3008);
    EXPECT_EQ(Get(Pool_GetStringMemoryLeftOver, pool), 1u + (2048u - 1944) + 4);

    // The texts do not overlap.
    memset(a, 'a', 100);
    memset(b, 'b', 1940);
    memset(c, 'c', 1939);
    memset(d, 'd', 3000);
    EXPECT_EQ(a[99], 'a');
    EXPECT_EQ(b[0], 'b');
    EXPECT_EQ(Get(Pool_GetActiveCount, pool), 4u);

    // Less than 10240 bytes held: freeing every string keeps the chunks.
    for (char** p : {&a, &b, &c, &d}) Pool_Free(pool, p, 0);
    EXPECT_EQ(Get(Pool_GetActiveCount, pool), 0u);
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 3u);

    // Reset in string mode releases the chunks.
    Pool_Reset(pool);
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 0u);
    EXPECT_EQ(Get(Pool_GetMemoryInUse, pool), 0u);
    Pool_Delete(&pool);
}

TEST(Pool, StringModeResetsItselfOnlyWhenTheLastLiveStringIsFreed) {
    Pool* pool = MakeStringPool();
    // One 2000-byte string per chunk: six chunks, 12720 bytes, more than 10240.
    std::vector<char*> texts;
    for (int i = 0; i < 6; i++) {
        char* t = static_cast<char*>(Pool_Alloc(pool, 2000));
        String_Print(t, 2000, "text %d", i);
        texts.push_back(t);
    }
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 6u);
    EXPECT_GT(Get(Pool_GetMemoryInUse, pool), 10240u);
    for (int i = 0; i < 5; i++) Pool_Free(pool, &texts[i], 2000);

    // Freeing nothing is not a free: the last live string keeps its chunk.
    char* none = nullptr;
    for (int i = 0; i < 3; i++) EXPECT_EQ(Pool_Free(pool, &none, 0), nullptr);
    EXPECT_EQ(Get(Pool_GetActiveCount, pool), 1u);
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 6u);
    EXPECT_STREQ(texts[5], "text 5");

    Pool_Free(pool, &texts[5], 2000);
    EXPECT_EQ(Get(Pool_GetActiveCount, pool), 0u);
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 0u);
    EXPECT_EQ(Get(Pool_GetMemoryInUse, pool), 0u);
    Pool_Delete(&pool);
}

TEST(Pool, StringModeFreesInAnyOrderAcrossManyChunks) {
    Pool* pool = MakeStringPool();
    std::vector<char*> texts;
    std::vector<std::string> expected;
    // Sizes that leave odd remainders, so that later requests also go back to older chunks.
    for (int i = 0; i < 600; i++) {
        const uint32_t size = 16 + (uint32_t)(i * 37 % 700);
        char* t = static_cast<char*>(Pool_Alloc(pool, size));
        String_Print(t, (int32_t)size, "string %d", i);
        texts.push_back(t);
        expected.push_back("string " + std::to_string(i));
    }
    const uint32_t chunks = Get(Pool_GetBlocksInUse, pool);
    EXPECT_GT(chunks, 100u);
    // Free in a scrambled order, checking the texts still held as the pool empties.
    std::vector<int> order(600);
    for (int i = 0; i < 600; i++) order[i] = (i * 277) % 600;
    for (int n = 0; n < 600; n++) {
        const int i = order[n];
        ASSERT_EQ(std::string(texts[i]), expected[i]);
        Pool_Free(pool, &texts[i], 0);
        if (n < 599) {
            ASSERT_EQ(Get(Pool_GetBlocksInUse, pool), chunks);
        }
    }
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 0u);
    Pool_Delete(&pool);
}

// Every request lands where the rule puts it: the newest chunk with strictly more room than the
// request (size + 4), else a new chunk. A model of the chunks' room checks each placement.
TEST(Pool, StringModePlacementFollowsTheNewestFirstRule) {
    Pool* pool = MakeStringPool();
    struct ModelChunk {
        uintptr_t cursor; // next free address, once known
        uint64_t room;
    };
    std::vector<ModelChunk> chunks; // newest last
    uint32_t seed = 12345;
    for (int i = 0; i < 5000; i++) {
        seed = seed * 1103515245u + 12345u;
        // Mostly small texts with the odd large one, so that gaps of every size appear.
        const uint32_t size = (seed >> 16) % 16 == 0 ? 200 + (seed >> 8) % 1500 : 1 + (seed >> 8) % 40;
        const uint64_t request = size + 4;
        int serving = -1;
        for (int c = (int)chunks.size() - 1; c >= 0; c--)
            if (chunks[c].room > request) {
                serving = c;
                break;
            }
        auto* member = static_cast<uint8_t*>(Pool_Alloc(pool, size));
        if (serving < 0) {
            ASSERT_EQ(Get(Pool_GetBlocksInUse, pool), chunks.size() + 1) << "request " << i;
            const uint64_t data = request > 2048 ? (request + 7) / 8 * 8 : 2048;
            chunks.push_back({(uintptr_t)member + size, data - request});
        } else {
            ASSERT_EQ(Get(Pool_GetBlocksInUse, pool), chunks.size()) << "request " << i;
            ASSERT_EQ((uintptr_t)member, chunks[serving].cursor + 4) << "request " << i;
            chunks[serving].cursor += request;
            chunks[serving].room -= request;
        }
    }
    uint64_t leftOver = 0;
    for (const ModelChunk& c : chunks) leftOver += c.room;
    EXPECT_EQ(Get(Pool_GetStringMemoryLeftOver, pool), leftOver);
    Pool_Delete(&pool);
}

TEST(Pool, FixedModeNullFreeCountsNothing) {
    Pool* pool = MakePool(8, 4);
    void* m = Pool_Alloc(pool, 8);
    void* none = nullptr;
    Pool_Free(pool, &none, 8);
    EXPECT_EQ(Get(Pool_GetActiveCount, pool), 1u);
    Pool_Free(pool, &m, 8);
    EXPECT_EQ(Get(Pool_GetActiveCount, pool), 0u);
    Pool_Delete(&pool);
}

TEST(Pool, DebugModeUsesSeparateBlocks) {
    Pool* pool = MakePool(24, 4);
    Pool_SetDebugMode(pool, 1);
    std::vector<uint8_t*> blocks;
    // Any size is served, zeroed by default.
    for (uint32_t size : {24u, 5u, 100u}) {
        auto* b = static_cast<uint8_t*>(Pool_Alloc(pool, size));
        for (uint32_t i = 0; i < size; i++) ASSERT_EQ(b[i], 0);
        memset(b, 0x5C, size);
        blocks.push_back(b);
    }
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 0u);
    EXPECT_EQ(Get(Pool_GetMemoryInUse, pool), 0u);
    EXPECT_EQ(Get(Pool_GetActiveCount, pool), 3u);
    Pool_Free(pool, &blocks[1], 5);
    EXPECT_EQ(blocks[1], nullptr);
    EXPECT_EQ(Get(Pool_GetActiveCount, pool), 2u);
    EXPECT_EQ(Get(Pool_GetMaximumCount, pool), 3u);
    // Reset returns the remaining blocks to the sized allocator (the sanitizer sees no leak).
    Pool_Reset(pool);
    EXPECT_EQ(Get(Pool_GetActiveCount, pool), 0u);
    Pool_SetDebugMode(pool, 0);
    void* m = Pool_Alloc(pool, 24);
    EXPECT_EQ(Get(Pool_GetBlocksInUse, pool), 1u);
    Pool_Free(pool, &m, 24);
    Pool_Delete(&pool);
}

TEST(Pool, LockModeSharesOnePoolBetweenThreads) {
    Pool* pool = MakePool(16, 10);
    Pool_SetAllowLock(pool, 1);
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    constexpr int kHeld = 25;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([pool, t, &failures] {
            uint64_t* held[kHeld] = {};
            for (int round = 0; round < kRounds; round++) {
                for (int i = 0; i < kHeld; i++) {
                    held[i] = static_cast<uint64_t*>(Pool_Alloc(pool, 16));
                    held[i][0] = ((uint64_t)t << 32) | (uint64_t)(round * kHeld + i);
                }
                // A member handed to two threads at once would show the other thread's mark.
                for (int i = 0; i < kHeld; i++) {
                    if (held[i][0] != (((uint64_t)t << 32) | (uint64_t)(round * kHeld + i))) failures[t]++;
                    Pool_Free(pool, &held[i], 16);
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int f : failures) EXPECT_EQ(f, 0);
    EXPECT_EQ(Get(Pool_GetActiveCount, pool), 0u);
    EXPECT_LE(Get(Pool_GetMaximumCount, pool), (uint32_t)(kThreads * kHeld));
    EXPECT_GE(Get(Pool_GetMaximumCount, pool), (uint32_t)kHeld);
    EXPECT_LE(Get(Pool_GetBlocksInUse, pool), (uint32_t)(kThreads * kHeld / 10));

    // A string-mode free that resets the pool takes the lock again without blocking.
    Pool* strings = MakeStringPool();
    Pool_SetAllowLock(strings, 1);
    std::vector<void*> texts;
    for (int i = 0; i < 6; i++) texts.push_back(Pool_Alloc(strings, 2000));
    for (void*& text : texts) Pool_Free(strings, &text, 2000);
    EXPECT_EQ(Get(Pool_GetBlocksInUse, strings), 0u);
    Pool_Delete(&strings);
    Pool_Delete(&pool);
}

class PoolLogTest : public LogLinesTest {};

TEST_F(PoolLogTest, VerboseLinesNameTheCaller) {
    Pool* pool = MakePool(24, 2);
    Pool_SetVerbose(pool, 1);
    printed.clear();
    void* m = Pool_AllocInt(pool, 24, "caller.cpp", 12);
    Pool_FreeInt(pool, &m, 24, "other.cpp", 345);
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_TRUE(RE::FullMatch(printed[0], std::string("DEBUG - -- Pool Alloc ") + kP +
                                              " :         24 \\[caller\\.cpp / 12\\]\n"))
        << printed[0];
    EXPECT_TRUE(RE::FullMatch(printed[1], std::string("DEBUG - -- Pool Free  ") + kP +
                                              " :         24 \\[other\\.cpp / 345\\]\n"))
        << printed[1];
    Pool_SetVerbose(pool, 0);
    Pool_Delete(&pool);
}

TEST_F(PoolLogTest, DeleteReportsMembersStillActive) {
    Pool* pool = nullptr;
    Pool_CreateInt(&pool, "owner.cpp", 77);
    Pool_SetMemorySize(pool, 8);
    Pool_SetChunkSize(pool, 2);
    for (int i = 0; i < 3; i++) Pool_Alloc(pool, 8);
    printed.clear();
    Pool_Delete(&pool);
    EXPECT_EQ(pool, nullptr);
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(printed[0], "DEBUG - Not all pool memory was freed (3) for (owner.cpp/77)\n");

    // An empty pool says nothing.
    Pool_Create(&pool);
    Pool_Delete(&pool);
    EXPECT_EQ(printed.size(), 1u);
}

TEST(PoolDeath, WrongSizesAndModes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakePool(24, 4);
            Pool_AllocInt(pool, 16, "caller.cpp", 9);
        },
        AbortRegex("Invalid pool member size (16 != 24) from (caller.cpp/9)\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakePool(24, 4);
            void* m = Pool_Alloc(pool, 24);
            Pool_FreeInt(pool, &m, 32, "caller.cpp", 10);
        },
        AbortRegex("Invalid pool member size (32 != 24) from (caller.cpp/10)\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakePool(2048, 10);
            Pool_SetStringMode(pool, 1);
        },
        AbortRegex("Member chunk size must be 1 to use String Mode (10 != 1)\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakePool(24, 4);
            Pool_Alloc(pool, 24);
            Pool_SetDebugMode(pool, 1);
        },
        AbortRegex("Pooled memory manager may only be set to debug when empty (1)\n"));
    // Changing the member size or the mode under live members would leave them in freed memory.
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakePool(24, 4);
            Pool_Alloc(pool, 24);
            Pool_SetMemorySize(pool, 64);
        },
        AbortRegex("Assertion failed (pool->ActiveCount == 0)\n"
                   "Pool member size may only change when the pool is empty (1)"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakePool(24, 1);
            Pool_Alloc(pool, 24);
            Pool_SetStringMode(pool, 1);
        },
        AbortRegex("Assertion failed (pool->ActiveCount == 0)\n"
                   "Pool string mode may only change when the pool is empty (1)"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakePool(24, 0);
            Pool_Alloc(pool, 24);
        },
        "ABORT - Assertion failed \\(pool->ChunkSize > 0\\)\nPool chunk size is not set "
        "\\(.*pool_test.cpp/[0-9]+\\)");
}

TEST(PoolDeath, DoubleAndForeignFrees) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string unable = "ABORT - Unable to find member to free \\[";
    // Fixed mode: a double free names the member and its descriptor on the free list.
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakePool(24, 4);
            void* m = Pool_Alloc(pool, 24);
            void* copy = m;
            Pool_Free(pool, &m, 24);
            Pool_Free(pool, &copy, 24);
        },
        unable + kP + "\\] \\[0x0*[1-9A-F][0-9A-F]*\\]\n");
    // A block the pool never held has no descriptor at all.
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakePool(24, 4);
            Pool_Alloc(pool, 24);
            uint64_t other[3];
            void* m = other;
            Pool_Free(pool, &m, 24);
        },
        unable + kP + "\\] \\[0x0000000000000000\\]\n");
    // String mode: a second free of a string, and an address it never handed out.
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakeStringPool();
            void* s = Pool_Alloc(pool, 10);
            Pool_Alloc(pool, 10);
            void* copy = s;
            Pool_Free(pool, &s, 10);
            Pool_Free(pool, &copy, 10);
        },
        unable + kP + "\\] \\[0x0*[1-9A-F][0-9A-F]*\\]\n");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakeStringPool();
            char* s = static_cast<char*>(Pool_Alloc(pool, 10));
            void* inside = s + 3;
            Pool_Free(pool, &inside, 10);
        },
        unable + kP + "\\] \\[0x0000000000000000\\]\n");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakeStringPool();
            char text[16];
            void* m = text;
            Pool_Free(pool, &m, 10);
        },
        unable + kP + "\\] \\[0x0000000000000000\\]\n");
    // Debug mode tracks its blocks too.
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakePool(24, 4);
            Pool_SetDebugMode(pool, 1);
            void* m = Pool_Alloc(pool, 24);
            void* copy = m;
            Pool_Free(pool, &m, 24);
            Pool_Free(pool, &copy, 24);
        },
        unable + kP + "\\] \\[0x0000000000000000\\]\n");
    // After a reset every member is free: freeing one is a double free.
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakePool(24, 4);
            void* m = Pool_Alloc(pool, 24);
            Pool_Reset(pool);
            Pool_Free(pool, &m, 24);
        },
        unable + kP + "\\] \\[0x0*[1-9A-F][0-9A-F]*\\]\n");
}

TEST(PoolDeath, NullAndWrongHandles) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool_Alloc(nullptr, 8);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakePool(8, 2);
            Pool_AllocInt(pool, 8, nullptr, 1);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakePool(8, 2);
            Pool_FreeInt(pool, nullptr, 8, "x.cpp", 1);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool_Create(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Pool* pool = MakePool(8, 2);
            Pool_GetActiveCount(pool, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            int32_t notAPool[16] = {};
            Pool_Reset(reinterpret_cast<Pool*>(notAPool));
        },
        "ABORT - Class mismatch pointer \\(0x[0-9A-F]{16}: expected 0x90654776 but was 0x00000000\\)\n");
}

} // namespace
