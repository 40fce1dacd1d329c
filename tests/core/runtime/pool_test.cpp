#include "core/runtime/pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/string_print.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/log_capture.h"
#include "tests/support/out_value.h"

namespace {

using ::testing::internal::RE;

const bool g_bounded = BoundEveryTest();

// Chunk header and member descriptor sizes on a 64-bit build: the bytes a chunk takes besides
// its data area.
constexpr uint32_t kChunkHeader = 32, kDescriptor = 32;
constexpr uint32_t kStringChunk = kChunkHeader + kDescriptor + 2048;

const std::string kP = "0x[0-9A-F]{16}";

// Chunks held, bytes held, members out, most members out.
std::vector<uint32_t> Stats(Pool* pool) {
    return {Got<uint32_t>(Pool_GetBlocksInUse, pool), Got<uint32_t>(Pool_GetMemoryInUse, pool),
            Got<uint32_t>(Pool_GetActiveCount, pool), Got<uint32_t>(Pool_GetMaximumCount, pool)};
}
using S = std::vector<uint32_t>;

uint32_t LeftOver(Pool* pool) {
    return Got<uint32_t>(Pool_GetStringMemoryLeftOver, pool);
}

Pool* MakePool(uint32_t memberSize, uint32_t chunkSize, bool stringMode = false) {
    Pool* pool = nullptr;
    EXPECT_EQ(Pool_Create(&pool), 1);
    Pool_SetMemorySize(pool, memberSize);
    Pool_SetChunkSize(pool, chunkSize);
    EXPECT_EQ(Pool_SetStringMode(pool, stringMode), 1);
    return pool;
}

Pool* MakeStringPool() {
    return MakePool(2048, 1, true);
}

// A slot holding the pointer, for calls that take the address of one.
void** Slot(void* pointer) {
    static void* slot;
    return slot = pointer, &slot;
}

TEST(Pool, ChunkGrowthAndReuse) {
    Pool* pool = MakePool(20, 4); // aligned to 24
    const uint32_t chunk = kChunkHeader + 4 * kDescriptor + 4 * 24;
    std::vector<void*> members;
    for (int i = 0; i < 5; i++) members.push_back(Pool_Alloc(pool, 20));
    EXPECT_EQ(Stats(pool), (S{2, 2 * chunk, 5, 5}));
    // A fresh chunk hands out its members in address order, 24 bytes apart, 8-aligned.
    for (int i = 1; i < 4; i++) EXPECT_EQ((uint8_t*)members[i] - (uint8_t*)members[i - 1], 24);
    for (void* m : members) EXPECT_EQ((uintptr_t)m % 8, 0u);
    EXPECT_EQ(std::set<void*>(members.begin(), members.end()).size(), 5u);
    // Freeing nothing counts nothing; freed members come back before any new chunk is taken.
    void* none = nullptr;
    EXPECT_EQ(Pool_Free(pool, &none, 20), nullptr);
    EXPECT_EQ(Stats(pool), (S{2, 2 * chunk, 5, 5}));
    for (void*& m : members) EXPECT_EQ(Pool_Free(pool, &m, 20), nullptr);
    EXPECT_EQ(members, std::vector<void*>(5, nullptr));
    EXPECT_EQ(Stats(pool), (S{2, 2 * chunk, 0, 5}));
    for (int i = 0; i < 8; i++) members.push_back(Pool_Alloc(pool, 20));
    EXPECT_EQ(Stats(pool), (S{2, 2 * chunk, 8, 8}));
    members.push_back(Pool_Alloc(pool, 20));
    EXPECT_EQ(Stats(pool), (S{3, 3 * chunk, 9, 9}));
    // Fixed chunks keep their whole data area after the cursor.
    EXPECT_EQ(LeftOver(pool), 3 * 4 * 24u);
    Pool_Delete(&pool);
    // Members are the set size raised to a multiple of 8.
    for (uint32_t size : {1u, 8u, 13u, 24u, 25u}) {
        Pool* sized = MakePool(size, 2);
        const uint8_t* first = static_cast<uint8_t*>(Pool_Alloc(sized, size));
        EXPECT_EQ((uint32_t)(static_cast<uint8_t*>(Pool_Alloc(sized, size)) - first), (size + 7) / 8 * 8)
            << size;
        EXPECT_EQ(Got<uint32_t>(Pool_GetMemorySize, sized), (size + 7) / 8 * 8) << size;
        Pool_RemoveAll(sized);
        Pool_Delete(&sized);
    }
}

TEST(Pool, ResetKeepsChunksAndReusesTheirMembers) {
    Pool* pool = MakePool(16, 3);
    std::set<void*> first, second;
    for (int i = 0; i < 7; i++) first.insert(Pool_Alloc(pool, 16));
    const uint32_t memory = Stats(pool)[1];
    EXPECT_EQ(Pool_Reset(pool), 1);
    EXPECT_EQ(Stats(pool), (S{3, memory, 0, 0}));
    // All nine members of the three chunks are free again: nine allocations need no chunk and
    // include every member handed out before.
    for (int i = 0; i < 9; i++) second.insert(Pool_Alloc(pool, 16));
    EXPECT_EQ(Stats(pool), (S{3, memory, 9, 9}));
    EXPECT_EQ(second.size(), 9u);
    for (void* m : first) EXPECT_TRUE(second.count(m));
    EXPECT_EQ(Pool_RemoveAll(pool), 1);
    EXPECT_EQ(Stats(pool), (S{0, 0, 0, 0}));
    Pool_Delete(&pool);
}

TEST(Pool, MemorySizeChangeDropsChunksOnlyWhenTheAlignedSizeChanges) {
    Pool* pool = MakePool(24, 4);
    Pool_Free(pool, Slot(Pool_Alloc(pool, 24)), 24);
    Pool_SetMemorySize(pool, 20); // still 24 once aligned
    EXPECT_EQ(Stats(pool)[0], 1u);
    void* m = Pool_Alloc(pool, 20); // the exact size set is what members must be asked for
    Pool_Free(pool, &m, 20);
    Pool_SetMemorySize(pool, 32);
    EXPECT_EQ(Stats(pool), (S{0, 0, 0, 0}));
    Pool_Delete(&pool);
}

TEST(Pool, ZeroOnAlloc) {
    Pool* pool = MakePool(32, 2);
    uint8_t* kept = nullptr;
    for (uint32_t zero : {1u, 1u, 0u}) {
        Pool_SetZeroOnAlloc(pool, zero);
        auto* m = static_cast<uint8_t*>(Pool_Alloc(pool, 32));
        EXPECT_TRUE(!kept || m == kept) << "the last freed member comes back first";
        EXPECT_EQ(std::vector<uint8_t>(m, m + 32), std::vector<uint8_t>(32, zero ? 0 : 0xAB));
        kept = static_cast<uint8_t*>(memset(m, 0xAB, 32));
        Pool_Free(pool, &m, 32);
    }
    Pool_Delete(&pool);
    // String mode writes one NUL at the start.
    pool = MakeStringPool();
    memset(Pool_Alloc(pool, 10), 'x', 10);
    Pool_Reset(pool);
    EXPECT_EQ(static_cast<char*>(Pool_Alloc(pool, 10))[0], 0);
    Pool_Delete(&pool);
}

TEST(Pool, StringModeServesFromChunksWithStrictlyMoreRoom) {
    Pool* pool = MakeStringPool();
    // Each request takes the size plus 4 bytes.
    auto* a = static_cast<char*>(Pool_Alloc(pool, 100));
    EXPECT_EQ(Stats(pool), (S{1, kStringChunk, 1, 1}));
    EXPECT_EQ(LeftOver(pool), 2048u - 104);
    // 1940 + 4 would fill the 1944 bytes left exactly: it goes to a new chunk.
    auto* b = static_cast<char*>(Pool_Alloc(pool, 1940));
    EXPECT_EQ(Stats(pool)[0], 2u);
    EXPECT_EQ(LeftOver(pool), (2048u - 104) + (2048u - 1944));
    // 1939 + 4 leaves one byte: the newest chunk has 104 bytes, the older one serves it.
    auto* c = static_cast<char*>(Pool_Alloc(pool, 1939));
    EXPECT_EQ(Stats(pool)[0], 2u);
    EXPECT_EQ(LeftOver(pool), 1u + (2048u - 1944));
    EXPECT_EQ(c - a, 104);
    // A request larger than the member size gets a chunk sized for it, raised to a multiple of 8.
    auto* d = static_cast<char*>(Pool_Alloc(pool, 3000));
    EXPECT_EQ(Stats(pool), (S{3, 2 * kStringChunk + kChunkHeader + kDescriptor + 3008, 4, 4}));
    EXPECT_EQ(LeftOver(pool), 1u + (2048u - 1944) + 4);
    // Less than 10240 bytes held: freeing every string keeps the chunks; a reset releases them.
    for (char** p : {&a, &b, &c, &d}) Pool_Free(pool, p, 0);
    EXPECT_EQ(Stats(pool), (S{3, 2 * kStringChunk + kChunkHeader + kDescriptor + 3008, 0, 4}));
    Pool_Reset(pool);
    EXPECT_EQ(Stats(pool), (S{0, 0, 0, 0}));
    Pool_Delete(&pool);
}

TEST(Pool, StringModeResetsItselfOnlyWhenTheLastLiveStringIsFreed) {
    Pool* pool = MakeStringPool();
    // One 2000-byte string per chunk.
    std::vector<char*> texts;
    for (int i = 0; i < 6; i++) texts.push_back(static_cast<char*>(Pool_Alloc(pool, 2000)));
    String_Print(texts[5], 2000, "text 5");
    for (int i = 0; i < 5; i++) Pool_Free(pool, &texts[i], 2000);
    // Freeing nothing is not a free: the last live string keeps its chunk.
    char* none = nullptr;
    for (int i = 0; i < 3; i++) EXPECT_EQ(Pool_Free(pool, &none, 0), nullptr);
    EXPECT_EQ(Stats(pool), (S{6, 6 * kStringChunk, 1, 6}));
    EXPECT_STREQ(texts[5], "text 5");
    Pool_Free(pool, &texts[5], 2000);
    EXPECT_EQ(Stats(pool), (S{0, 0, 0, 0}));
    // Five chunks hold 10560 bytes, past 10240, and go with their last string; four stay.
    for (uint32_t chunks : {5u, 4u}) {
        for (uint32_t i = 0; i < chunks; i++) texts[i] = static_cast<char*>(Pool_Alloc(pool, 2000));
        for (uint32_t i = 0; i < chunks; i++) Pool_Free(pool, &texts[i], 2000);
        EXPECT_EQ(Stats(pool)[0], chunks == 5 ? 0u : 4u) << chunks;
    }
    Pool_Delete(&pool);
}

// Every request lands where the rule puts it: the newest chunk with strictly more room than the
// request (size + 4), else a new chunk. A model of the chunks' room checks each placement; then
// the strings are freed in a scrambled order, each still holding its text.
TEST(Pool, StringModePlacementFollowsTheNewestFirstRuleAndFreesInAnyOrder) {
    Pool* pool = MakeStringPool();
    std::vector<std::pair<uintptr_t, uint64_t>> chunks; // next free address and room, newest last
    std::vector<char*> texts;
    constexpr int kCount = 5000;
    for (uint32_t i = 0, seed = 12345; i < kCount; i++) {
        seed = seed * 1103515245u + 12345u;
        // Mostly small texts with the odd large one, so that gaps of every size appear.
        const uint32_t size = (seed >> 16) % 16 == 0 ? 200 + (seed >> 8) % 1500 : 12 + (seed >> 8) % 40;
        const uint64_t request = size + 4;
        int serving = (int)chunks.size() - 1;
        while (serving >= 0 && chunks[serving].second <= request) serving--;
        texts.push_back(static_cast<char*>(Pool_Alloc(pool, size)));
        if (serving < 0)
            chunks.push_back({(uintptr_t)texts.back() - 4, request > 2048 ? (request + 7) / 8 * 8 : 2048});
        if (serving < 0) serving = (int)chunks.size() - 1;
        ASSERT_EQ(Stats(pool)[0], chunks.size()) << "request " << i;
        ASSERT_EQ((uintptr_t)texts.back(), chunks[serving].first + 4) << "request " << i;
        chunks[serving].first += request;
        chunks[serving].second -= request;
        String_Print(texts.back(), (int32_t)size, "s%u", i);
    }
    uint64_t leftOver = 0;
    for (const auto& c : chunks) leftOver += c.second;
    EXPECT_EQ(LeftOver(pool), leftOver);
    for (int n = 0; n < kCount; n++) {
        const int i = (n * 2777) % kCount; // 2777 and 5000 share no factor: every string once
        ASSERT_EQ(std::string(texts[i]), "s" + std::to_string(i));
        Pool_Free(pool, &texts[i], 0);
        ASSERT_EQ(Stats(pool)[0], n < kCount - 1 ? chunks.size() : 0u) << n;
    }
    Pool_Delete(&pool);
}

TEST(Pool, DebugModeUsesSeparateBlocks) {
    Pool* pool = MakePool(24, 4);
    Pool_SetDebugMode(pool, 1);
    std::vector<uint8_t*> blocks;
    // Any size is served, zeroed by default.
    for (uint32_t size : {24u, 5u, 100u}) {
        blocks.push_back(static_cast<uint8_t*>(Pool_Alloc(pool, size)));
        EXPECT_EQ(std::vector<uint8_t>(blocks.back(), blocks.back() + size), std::vector<uint8_t>(size, 0));
        memset(blocks.back(), 0x5C, size);
    }
    Pool_Free(pool, &blocks[1], 5);
    EXPECT_EQ(blocks[1], nullptr);
    EXPECT_EQ(Stats(pool), (S{0, 0, 2, 3}));
    // Reset returns the remaining blocks to the sized allocator (the sanitizer sees no leak).
    Pool_Reset(pool);
    EXPECT_EQ(Stats(pool), (S{0, 0, 0, 0}));
    Pool_SetDebugMode(pool, 0);
    void* m = Pool_Alloc(pool, 24);
    EXPECT_EQ(Stats(pool)[0], 1u);
    Pool_Free(pool, &m, 24);
    Pool_Delete(&pool);
}

TEST(Pool, LockModeSharesOnePoolBetweenThreads) {
    Pool* pool = MakePool(16, 10);
    Pool_SetAllowLock(pool, 1);
    constexpr int kThreads = 4, kRounds = 2000, kHeld = 25;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    Deadline deadline("four threads sharing a locked pool");
    for (uint64_t t = 0; t < kThreads; t++) {
        threads.emplace_back([pool, t, &failures] {
            uint64_t* held[kHeld] = {};
            for (uint64_t round = 0, mark = t << 32; round < kRounds; round++, mark += kHeld) {
                for (int i = 0; i < kHeld; i++)
                    *(held[i] = static_cast<uint64_t*>(Pool_Alloc(pool, 16))) = mark + i;
                // A member handed to two threads at once would show the other thread's mark.
                for (int i = 0; i < kHeld; i++) failures += *held[i] != mark + i;
                for (int i = 0; i < kHeld; i++) Pool_Free(pool, &held[i], 16);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    const S stats = Stats(pool);
    EXPECT_TRUE(stats[0] <= kThreads * kHeld / 10 && stats[2] == 0 && stats[3] >= kHeld &&
                stats[3] <= kThreads * kHeld)
        << stats[0] << " " << stats[2] << " " << stats[3];
    // A string-mode free that resets the pool takes the lock again without blocking.
    Pool* strings = MakeStringPool();
    Pool_SetAllowLock(strings, 1);
    std::vector<void*> texts;
    for (int i = 0; i < 6; i++) texts.push_back(Pool_Alloc(strings, 2000));
    for (void*& text : texts) Pool_Free(strings, &text, 2000);
    EXPECT_EQ(Stats(strings)[0], 0u);
    FromOtherThread("a locked pool used after a self-reset", [strings] {
        void* text = Pool_Alloc(strings, 10);
        Pool_Free(strings, &text, 10);
    });
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
    EXPECT_TRUE(
        RE::FullMatch(printed[0], "DEBUG - -- Pool Alloc " + kP + " :         24 \\[caller\\.cpp / 12\\]\n"))
        << printed[0];
    EXPECT_TRUE(
        RE::FullMatch(printed[1], "DEBUG - -- Pool Free  " + kP + " :         24 \\[other\\.cpp / 345\\]\n"))
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
    // An empty pool says nothing.
    Pool_Create(&pool);
    Pool_Delete(&pool);
    EXPECT_EQ(printed,
              std::vector<std::string>{"DEBUG - Not all pool memory was freed (3) for (owner.cpp/77)\n"});
}

// Takes a member of the pool, a second one, then frees the first twice.
void DoubleFree(Pool* pool, uint32_t size) {
    void* m = Pool_Alloc(pool, size);
    void* copy = m;
    Pool_Alloc(pool, size);
    Pool_Free(pool, &m, size);
    Pool_Free(pool, &copy, size);
}

// A pool with one member out, for the misuse that needs it.
Pool* InUse(Pool* pool, uint32_t size) {
    return Pool_Alloc(pool, size), pool;
}

TEST(PoolDeath, MisuseAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A double free names the member and its descriptor (or, in string mode, its chunk); a block
    // the pool never held has none. After a reset every member is free: freeing one is a double
    // free. Changing the member size or the mode under live members would leave them in freed memory.
    const std::string unable = "ABORT - Unable to find member to free \\[" + kP + "\\] \\[";
    const std::string named = unable + "0x0*[1-9A-F][0-9A-F]*\\]\n",
                      unnamed = unable + "0x0000000000000000\\]\n";
    char text[16];
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] { Pool_AllocInt(MakePool(24, 4), 16, "caller.cpp", 9); },
         AbortRegex("Invalid pool member size (16 != 24) from (caller.cpp/9)\n")},
        {[] { Pool_FreeInt(MakePool(24, 4), Slot(nullptr), 32, "caller.cpp", 10); },
         AbortRegex("Invalid pool member size (32 != 24) from (caller.cpp/10)\n")},
        {[] { Pool_SetStringMode(MakePool(2048, 10), 1); },
         AbortRegex("Member chunk size must be 1 to use String Mode (10 != 1)\n")},
        {[] { Pool_SetDebugMode(InUse(MakePool(24, 4), 24), 1); },
         AbortRegex("Pooled memory manager may only be set to debug when empty (1)\n")},
        {[] { Pool_SetMemorySize(InUse(MakePool(24, 4), 24), 64); },
         AbortRegex(
             "Assertion failed (pool->ActiveCount == 0)\nPool member size may only change when the pool is "
             "empty (1)")},
        {[] { Pool_SetStringMode(InUse(MakePool(24, 1), 24), 1); },
         AbortRegex(
             "Assertion failed (pool->ActiveCount == 0)\nPool string mode may only change when the pool is "
             "empty (1)")},
        {[] { Pool_Alloc(MakePool(24, 0), 24); }, "ABORT - Assertion failed \\(pool->ChunkSize > 0\\)\nPool "
                                                  "chunk size is not set \\(.*pool_test.cpp/[0-9]+\\)"},
        {[] { DoubleFree(MakePool(24, 4), 24); }, named},
        {[] { DoubleFree(MakeStringPool(), 10); }, named},
        {[] {
             Pool* pool = MakePool(24, 4);
             Pool_SetDebugMode(pool, 1);
             DoubleFree(pool, 24);
         },
         unnamed},
        {[] {
             Pool* pool = MakePool(24, 4);
             void* m = Pool_Alloc(pool, 24);
             Pool_Reset(pool);
             Pool_Free(pool, &m, 24);
         },
         named},
        {[&] { Pool_Free(InUse(MakePool(24, 4), 24), Slot(text), 24); }, unnamed},
        {[] {
             Pool* pool = MakeStringPool();
             void* inside = static_cast<char*>(Pool_Alloc(pool, 10)) + 3;
             Pool_Free(pool, &inside, 10);
         },
         unnamed},
        {[&] { Pool_Free(MakeStringPool(), Slot(text), 10); }, unnamed},
        {[] { Pool_Reset(reinterpret_cast<Pool*>(std::vector<int32_t>(16).data())); },
         "ABORT - Class mismatch pointer \\(" + kP + ": expected 0x90654776 but was 0x00000000\\)\n"},
    };
    for (const auto& [misuse, message] : cases)
        EXPECT_DEATH((BoundedDeathChild(), misuse()), message) << message;
}

} // namespace
