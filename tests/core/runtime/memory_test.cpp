// Tests of the sized allocator: block layout and guard bytes, overrun detection, the tracker list
// with its checks and aborts, counters, the dump and report texts, and the search helpers.
#include "core/runtime/memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>
#include <sys/resource.h>

#include "core/runtime/debug.h"
#include "core/runtime/string_print.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/out_value.h"
#include "tests/support/temp_dir.h"
#include "tests/support/heap_bytes.h"

namespace {

// Tracker record field offsets: size, block start, next (older), previous (newer).
constexpr int32_t kSize = 12, kBlock = 16, kNext = 24, kPrev = 32;

uint32_t BlockSize(int32_t size) {
    return ((uint32_t)size + 35) & ~3u;
}
uint8_t* BlockOf(void* data) {
    return (uint8_t*)data - 16;
}
uint8_t* RecordOf(void* data, int32_t size) {
    return BlockOf(data) + BlockSize(size);
}

template <typename T> void WriteField(void* data, int32_t size, int32_t offset, T value) {
    memcpy(RecordOf(data, size) + offset, &value, sizeof(T));
}

// Byte i of both guards is (block start >> i) XOR 0xCC.
std::vector<uint8_t> ExpectedGuard(const uint8_t* block) {
    std::vector<uint8_t> guard(16);
    for (int i = 0; i < 16; i++) guard[i] = (uint8_t)(((uintptr_t)block >> i) ^ 0xCC);
    return guard;
}

// Texts are built with the system formatter so that %p reads as the allocator prints it.
std::string Format(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    String_VPrint(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

// The message taken literally, as a pattern.
std::string Literal(const std::string& text) {
    const std::string pattern = AbortRegex(text);
    return pattern.substr(8, pattern.size() - 8 - std::string(" \\([^ ]+/[0-9]+\\)").size());
}

// The abort text reported at the given location (a pattern): the caller's, or by default the module's.
std::string AbortAt(const std::string& message,
                    const std::string& where = "[^ ]*core/runtime/memory\\.cpp/[0-9]+") {
    return "ABORT - " + Literal(message) + " \\(" + where + "\\)";
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; i++) out += Format(" %.2X", (uint32_t)bytes[i]);
    return out;
}

std::string Corrupt(int32_t size, void* p, int before, int after) {
    return Format("Memory corrupt (%d) <Addr:0x%p Before:%d After:%d Max:16>\n", size, p, before, after);
}

int64_t PrintToStderr(const char* text) {
    return fputs(text, stderr), 1;
}
uint32_t FlagsMemoryTest() {
    return DEBUG_FLAG_MEMORY_TEST;
}

// A death test on the exact abort text: the hook copies the text to standard error.
#define EXPECT_ABORT(statement, regex) EXPECT_DEATH((BoundedDeathChild(), statement), regex)

// Live blocks and the bytes they take.
std::pair<uint32_t, uint32_t> Usage() {
    return {Got<uint32_t>(Memory_GetCount), Got<uint32_t>(Memory_GetSize)};
}
using Pair = std::pair<uint32_t, uint32_t>;

// The module started with tracking (1) or without (0), without the rest of the core. The memory
// lock must be free when a test ends: a tracked allocation from another thread would block on it.
template <int32_t kTracking> class MemoryStarted : public ::testing::Test {
  protected:
    void SetUp() override { Memory_Init(kTracking); }
    void TearDown() override {
        Debug_FlagsOverride(nullptr);
        FromOtherThread("an allocation", [] { Memory_Free(Memory_Alloc(8), 8); });
        Memory_Remove();
    }
};
using TrackedMemory = MemoryStarted<1>;
using CountedMemory = MemoryStarted<0>;

TEST_F(CountedMemory, BlockSizeIsRequestPlusGuardsRoundedToFour) {
    const Pair cases[] = {{1, 36}, {4, 36}, {5, 40}, {8, 40}, {9, 44}, {100, 132}, {4096, 4128}};
    for (const auto& [size, r] : cases) {
        void* p = Memory_Alloc(size);
        EXPECT_EQ(Usage(), Pair(1, r)) << size;
        Memory_Free(p, size);
        EXPECT_EQ(Usage(), Pair(0, 0)) << size;
    }
    EXPECT_EQ(Memory_IsTracking(), 0);
    EXPECT_EQ(Memory_Check("ignored"), 0);
}

TEST_F(CountedMemory, CountsFollowBlocksAcrossThreadsAndStarts) {
    // Allocated on a thread that then ends, freed here; and the other way round.
    void* p = nullptr;
    std::thread([&p] { p = Memory_Alloc(100); }).join();
    void* q = Memory_AllocZero(5);
    EXPECT_EQ(Usage(), Pair(2, 132 + 40));
    Memory_Free(p, 100);
    std::thread([q] { Memory_Free(q, 5); }).join();
    EXPECT_EQ(Usage(), Pair(0, 0));
    // Blocks made or freed while the module is stopped are not counted; a new start counts from 0.
    p = Memory_Alloc(5);
    Memory_Remove();
    Memory_Free(Memory_Alloc(64), 64);
    EXPECT_EQ(Usage(), Pair(1, 40));
    Memory_Init(0);
    q = Memory_Alloc(1);
    EXPECT_EQ(Usage(), Pair(1, 36));
    Memory_Free(q, 1);
    Memory_Remove();
    Memory_Free(p, 5);
    Memory_Init(0);
    EXPECT_EQ(Usage(), Pair(0, 0));
}

TEST(Memory, ZeroBlocksAreZero) {
    for (int32_t tracking = -1; tracking < 2; tracking++) { // -1: before the module starts
        if (tracking >= 0) Memory_Init(tracking);
        // Dirty the heap first so that a plain allocation would likely return old bytes.
        for (int i = 0; i < 8; i++) Memory_Free(memset(Memory_Alloc(4000), 0xA5, 4000), 4000);
        uint8_t* zero = (uint8_t*)Memory_AllocZero(4000);
        EXPECT_EQ(std::vector<uint8_t>(zero, zero + 4000), std::vector<uint8_t>(4000, 0)) << tracking;
        Memory_Free(zero, 4000);
        if (tracking >= 0) Memory_Remove();
    }
}

TEST(Memory, GuardsCatchOverrunsButNotTheFillBytes) {
    uint8_t* p = (uint8_t*)Memory_AllocZero(101);
    p[101] = 0x11, p[102] = 0x22, p[103] = 0x33; // the fill up to a multiple of four
    EXPECT_EQ(Memory_Validate(p, 101), 1);
    EXPECT_ABORT((p[104] ^= 0xFF, Memory_Free(p, 101)), AbortAt(Corrupt(101, p, 0, 1)));
    EXPECT_ABORT((p[-1] ^= 0xFF, p[-16] ^= 0xFF, p[105] ^= 0xFF, Memory_Validate(p, 101)),
                 AbortAt(Corrupt(101, p, 2, 1)));
    // Freed as 50 bytes the back guard is looked for at bytes 68 to 83 of the block: zero data.
    const std::vector<uint8_t> guard = ExpectedGuard(BlockOf(p));
    EXPECT_ABORT(Memory_Free(p, 50),
                 AbortAt(Corrupt(50, p, 0, 16 - std::count(guard.begin(), guard.end(), 0))));
    Memory_Free(p, 101);
}

TEST(Memory, CorruptionIsLoggedWithExpectedAndFoundBytes) {
    TempDir dir;
    for (uint32_t tracking : {0u, (uint32_t)DEBUG_FLAG_MEMORY_TRACKING}) {
        Debug_Init(dir.file("test.log").c_str(), nullptr, DEBUG_FLAG_EXTERNAL_PRINT | tracking);
        uint8_t* p = (uint8_t*)Memory_Alloc(4);
        uint8_t* block = BlockOf(p);
        const std::string expected = Literal("Expected:" + HexBytes(ExpectedGuard(block).data(), 16) + "\n");
        // After the back guard come 16 more bytes when tracked: the record, zeroed on free.
        std::vector<uint8_t> damaged(block + 20, block + 36);
        damaged[0] ^= 0xFF;
        if (tracking) damaged.resize(32, 0);
        EXPECT_ABORT((Debug_PrintOverride(PrintToStderr), p[4] ^= 0xFF, Memory_Free(p, 4)),
                     Literal(Corrupt(4, p, 0, 1)) + ".*" + expected + ".*" +
                         Literal("After corruption:" + HexBytes(damaged.data(), damaged.size()) + "\n") +
                         ".*" + AbortAt(Corrupt(4, p, 0, 1)));
        damaged.assign(block, block + 32);
        damaged[3] ^= 0xFF;
        if (!tracking) {
            EXPECT_ABORT((Debug_PrintOverride(PrintToStderr), block[3] ^= 0xFF, Memory_Free(p, 4)),
                         Literal(Corrupt(4, p, 1, 0)) + ".*" + expected + ".*" +
                             Literal("Prior corruption:" + HexBytes(damaged.data(), 32) + "\n"));
        }
        Memory_Free(p, 4);
        Debug_Remove();
    }
}

TEST(Memory, BadArgumentsAbortAtTheCallersLine) {
    int local = 0;
    const int line = __LINE__ + 1; // the short forms pass the caller's own location
    auto freeNothing = [] { Memory_Free(nullptr, 1); };
    EXPECT_ABORT(freeNothing(), AbortAt("No Memory address to free (1 / 36)\n",
                                        "[^ ]*memory_test\\.cpp/" + std::to_string(line)));
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] { Memory_AllocInt(0, MEMORY_FLAG_PLAIN, "caller.cpp", 1); }, "Invalid Memory Size (0)\n"},
        {[] { Memory_AllocInt(-5, MEMORY_FLAG_ZERO, "caller.cpp", 1); }, "Invalid Memory Size (-5)\n"},
        {[&] { Memory_FreeInt(&local, 0, "caller.cpp", 1); }, "Invalid Memory Size (0)\n"},
        {[&] { Memory_ValidateInt(&local, -1, nullptr, "caller.cpp", 1); }, "Invalid Memory Size (-1)\n"},
        {[] { Memory_FreeInt(nullptr, 10, "caller.cpp", 1); }, "No Memory address to free (10 / 44)\n"},
        {[] { Memory_ValidateInt(nullptr, 1, nullptr, "caller.cpp", 1); },
         "No Memory address to free (1 / 36)\n"},
        // The block plus its record must fit 31 bits; beyond that R would wrap to a short block.
        {[] { Memory_AllocInt(INT32_MAX, MEMORY_FLAG_PLAIN, "caller.cpp", 1); },
         "Invalid Memory Size (2147483647)\n"},
        {[] { Memory_AllocInt(INT32_MAX - 35, MEMORY_FLAG_PLAIN, "caller.cpp", 1); },
         "Invalid Memory Size (2147483612)\n"},
        {[] { Memory_AllocInt(INT32_MAX - 82, MEMORY_FLAG_PLAIN, "caller.cpp", 1); },
         "Invalid Memory Size (2147483565)\n"},
        {[&] { Memory_FreeInt(&local, INT32_MAX - 3, "caller.cpp", 1); },
         "Invalid Memory Size (2147483644)\n"},
        {[&] { Memory_FreeInt(&local, INT32_MAX - 82, "caller.cpp", 1); },
         "Invalid Memory Size (2147483565)\n"},
    };
    for (const auto& [call, text] : cases) EXPECT_ABORT(call(), AbortAt(text, "caller\\.cpp/1"));
    EXPECT_ABORT((Memory_Init(0), Memory_Init(1)), AbortAt("Assertion failed (GlobalMemory == NULL)\n"
                                                           "Memory already initialized"));
}

TEST(Memory, FailedAllocationAborts) {
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizer's allocator reads its limits once at start; the re-executed child inherits them.
    const char* name = "ASAN_OPTIONS";
#ifdef __SANITIZE_THREAD__
    name = "TSAN_OPTIONS";
#endif
    const char* old = getenv(name);
    const std::string saved = old ? old : "";
    setenv(name, (saved + ":allocator_may_return_null=1:max_allocation_size_mb=64").c_str(), 1);
    auto limit = [] {};
#else
    auto limit = [] {
        struct rlimit cap = {256u << 20, 256u << 20};
        setrlimit(RLIMIT_AS, &cap);
    };
#endif
    EXPECT_ABORT((limit(), Memory_AllocInt(1 << 30, MEMORY_FLAG_PLAIN, "caller.cpp", 11)),
                 AbortAt("No Memory available (1073741824 / 1073741856)\n", "caller\\.cpp/11"));
    EXPECT_ABORT((limit(), Memory_AllocInt(1 << 30, MEMORY_FLAG_ZERO, "caller.cpp", 12)),
                 AbortAt("No Zeroed Memory available (1073741824 / 1073741856)\n", "caller\\.cpp/12"));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    if (old)
        setenv(name, saved.c_str(), 1);
    else
        unsetenv(name);
#endif
    GTEST_FLAG_SET(death_test_style, style);
}

TEST_F(TrackedMemory, TheListStaysWholeWhateverOrderBlocksAreFreedIn) {
    // Free from the middle, then the newest, then the oldest, checking the list after each; the
    // record adds to the allocation but not to the bytes counted.
    void* a = Memory_Alloc(20);
    void* b = Memory_Alloc(30);
    void* c = Memory_AllocZero(40);
    EXPECT_EQ(Memory_IsTracking(), 1);
    EXPECT_EQ(Usage(), Pair(3, 52 + 64 + 72));
    for (auto [p, size] : {std::pair{b, 30}, std::pair{c, 40}, std::pair{a, 20}}) {
        Memory_Free(p, size);
        EXPECT_EQ(Memory_Check(nullptr), 1) << size;
        void* d = Memory_Alloc(50);
        EXPECT_EQ(Memory_Check(nullptr), 1) << size;
        Memory_Free(d, 50);
    }
    EXPECT_EQ(Usage(), Pair(0, 0));
}

TEST_F(TrackedMemory, MaximaTakeTheCountersBeforeEachNewBlock) {
    auto maxima = [] {
        Pair out{99, 99};
        Memory_GetMaximum(&out.first, &out.second);
        return out;
    };
    EXPECT_EQ(maxima(), Pair(0, 0));
    void* blocks[] = {Memory_Alloc(1), Memory_Alloc(5)};
    EXPECT_EQ(maxima(), Pair(1, 36));
    Memory_Free(Memory_Alloc(1), 1);
    EXPECT_EQ(maxima(), Pair(2, 76));
    Memory_Free(blocks[0], 1);
    Memory_Free(blocks[1], 5);
}

TEST_F(TrackedMemory, DamagedOrMismatchedRecordsAbort) {
    uint8_t* older = (uint8_t*)Memory_Alloc(12);
    uint8_t* newer = (uint8_t*)Memory_Alloc(24);
    uint8_t* olderRecord = RecordOf(older, 12);
    uint8_t* newerRecord = RecordOf(newer, 24);
    void* wild = (void*)(uintptr_t)1;
    uint8_t local[64] = {};
    const std::string caller = "caller\\.cpp/2";
    const std::pair<std::function<void()>, std::string> cases[] = {
        // 12 and 10 bytes share R = 44, so the check finds the real record with another size in it.
        {[&] { Memory_FreeInt(older, 10, "caller.cpp", 2); },
         AbortAt(Format("Memory tracking mismatch (10 / 12) [0x%p / 0x%p]\n", older - 16, older - 16),
                 caller)},
        {[&] { Memory_ValidateInt(older, 9, nullptr, "caller.cpp", 2); },
         AbortAt(Format("Memory tracking mismatch (9 / 12) [0x%p / 0x%p]\n", older - 16, older - 16),
                 caller)},
        {[&] { WriteField(older, 12, kBlock, BlockOf(newer)), Memory_FreeInt(older, 12, "caller.cpp", 2); },
         AbortAt(Format("Memory tracking mismatch (12 / 12) [0x%p / 0x%p]\n", older - 16, newer - 16),
                 caller)},
        {[&] { WriteField(newer, 24, kNext, wild), Memory_Free(newer, 24); },
         AbortAt(Format("Tracker next invalid address <0x%p->0x%p>\n", newerRecord, wild))},
        {[&] { WriteField(older, 12, kPrev, wild), Memory_Free(older, 12); },
         AbortAt(Format("Tracker prev invalid address <0x%p->0x%p>\n", olderRecord, wild))},
        {[&] { WriteField(older, 12, kBlock, wild), Memory_Free(older, 12); },
         AbortAt(Format("Tracker pointer invalid address <0x%p->0x%p>\n", olderRecord, wild))},
        // Links inside the bounds that do not point back.
        {[&] {
             WriteField(older, 12, kPrev, (void*)olderRecord), Memory_FreeInt(newer, 24, "caller.cpp", 2);
         },
         AbortAt(
             Format("Tracker next invalid link <0x%p->0x%p->0x%p>\n", newerRecord, olderRecord, olderRecord),
             caller)},
        {[&] {
             WriteField(newer, 24, kNext, (void*)newerRecord), Memory_FreeInt(older, 12, "caller.cpp", 2);
         },
         AbortAt(
             Format("Tracker prev invalid link <0x%p->0x%p->0x%p>\n", olderRecord, newerRecord, newerRecord),
             caller)},
        // A record address beyond every tracked block is refused before it is read.
        {[&] { Memory_Free(local + 16, 8); },
         AbortAt(Format("Tracker invalid address <0x%p>\n", local + 40))},
    };
    for (const auto& [call, text] : cases) EXPECT_ABORT(call(), text);
    Memory_Free(newer, 24);
    Memory_Free(older, 12);
}

TEST_F(TrackedMemory, CheckFindsDamagedBlocksAndAbortsAfterCounting) {
    uint8_t* a = (uint8_t*)Memory_Alloc(4);
    uint8_t* b = (uint8_t*)Memory_Alloc(40);
    uint8_t* c = (uint8_t*)Memory_Alloc(4);
    EXPECT_EQ(Memory_Check("start"), 1);
    const std::string failed = "Failure in internal memory check (%d blocks failed)\n";
    EXPECT_ABORT((a[4] ^= 1, c[-3] ^= 1, Memory_Check("label")), AbortAt(Format(failed.c_str(), 2)));
    // A recorded size reaching past the bounds (taken on the highest block, whose record is the
    // upper bound) or below 1 is refused before the guard is read.
    uint8_t* top = std::max({a, b, c});
    const int32_t topSize = top == b ? 40 : 4;
    EXPECT_ABORT((WriteField(top, topSize, kSize, (uint32_t)0x7FFFFFF0), Memory_Check(nullptr)),
                 AbortAt(Format("Invalid memory address (%d) <From:0x%p To:0x%p>\n", 0x7FFFFFF0, top - 16,
                                (void*)((uintptr_t)(top - 16) + 0x7FFFFFF0))));
    EXPECT_ABORT((WriteField(b, 40, kSize, (uint32_t)0xFFFFFFF0), Memory_Check(nullptr)),
                 AbortAt(Format("Invalid memory address (-16) <From:0x%p To:0x%p>\n", b - 16, b - 32)));
    // The list cut short: fewer records than allocations; a list that loops with consistent links
    // ends at the walk limit instead of hanging.
    EXPECT_ABORT((WriteField(c, 4, kNext, (void*)nullptr), Memory_Check(nullptr)),
                 AbortAt("Check mismatch of allocation count (3 != 1)\n"));
    EXPECT_ABORT((WriteField(a, 4, kNext, (void*)RecordOf(c, 4)),
                  WriteField(c, 4, kPrev, (void*)RecordOf(a, 4)), Memory_Check(nullptr)),
                 AbortAt("Check mismatch of allocation count (3 != 4)\n"));
    // With the memory test flag every allocation and validation checks the whole list.
    Debug_FlagsOverride(FlagsMemoryTest);
    Memory_Free(Memory_Alloc(16), 16);
    EXPECT_ABORT((a[4] ^= 1, Memory_Alloc(1)), AbortAt(Format(failed.c_str(), 1)));
    EXPECT_ABORT((a[-1] ^= 1, Memory_Validate(b, 40)), AbortAt(Format(failed.c_str(), 1)));
    for (auto [p, size] : {std::pair{a, 4}, std::pair{b, 40}, std::pair{c, 4}}) Memory_Free(p, size);
}

TEST_F(TrackedMemory, ConcurrentUseKeepsListAndCountInStep) {
    // With the full check on every call, any moment where the list and the count disagree aborts.
    Debug_FlagsOverride(FlagsMemoryTest);
    Deadline deadline("allocations on four threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t] {
            void* live[8] = {};
            auto size = [t](int slot) { return 1 + (t * 37 + slot * 13) % 200; };
            for (int i = 0; i < 400; i++) {
                if (live[i % 8]) Memory_Free(live[i % 8], size(i % 8));
                live[i % 8] = Memory_Alloc(size(i % 8));
            }
            for (int slot = 0; slot < 8; slot++) Memory_Free(live[slot], size(slot));
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(Usage(), Pair(0, 0));
    EXPECT_EQ(Memory_Check(nullptr), 1);
}

// A thread allocates blocks for another to free, and goes on allocating while the first half are
// freed, then waits while the rest (with blocks large enough that the freeing thread releases
// them itself) are: the totals drop at once, though blocks may wait for their list's owner, and
// lists and counts stay in step throughout.
TEST_F(TrackedMemory, BlocksFreedByAnotherThreadWhileTheirOwnerRuns) {
    Deadline deadline("frees from another thread");
    constexpr int kBlocks = 300;
    auto size = [](int i) { return i % 100 == 99 ? 5 << 20 : 1 + i * 7 % 90; };
    std::vector<void*> blocks(kBlocks);
    std::atomic<int> stage{0};
    std::thread owner([&] {
        for (int i = 0; i < kBlocks; i++) blocks[i] = Memory_Alloc(size(i));
        stage = 1;
        while (stage.load() == 1) Memory_Free(Memory_Alloc(24), 24);
        stage = 3; // holds nothing now
        while (stage.load() != 4) std::this_thread::yield();
        Memory_Free(Memory_Alloc(8), 8);
    });
    auto freeRange = [&](int from, int to) {
        std::thread([&] {
            for (int i = from; i < to; i++) {
                Memory_Free(blocks[i], size(i));
                if (i % 50 == 0) {
                    EXPECT_EQ(Memory_Check(nullptr), 1) << i;
                }
            }
        }).join();
    };
    while (stage.load() == 0) std::this_thread::yield();
    freeRange(0, kBlocks / 2);
    stage = 2;
    while (stage.load() != 3) std::this_thread::yield();
    freeRange(kBlocks / 2, kBlocks);
    EXPECT_EQ(Usage(), Pair(0, 0));
    EXPECT_EQ(Memory_Check(nullptr), 1);
    stage = 4;
    owner.join();
    EXPECT_EQ(Usage(), Pair(0, 0));
}


// Blocks freed by another thread while their owner stays away from the allocator go back to the
// heap once they pass the bound, not only out of the counts: an idle owner holds at most the bound.
TEST_F(TrackedMemory, BlocksFreedByAnotherThreadWhileTheirOwnerIdlesAreReleased) {
    Deadline deadline("frees while the owner idles");
    constexpr int kBlocks = 12000;
    constexpr int32_t kSize = 1000;
    std::vector<void*> blocks(kBlocks);
    std::atomic<int> stage{0};
    std::thread owner([&] {
        for (void*& block : blocks) block = Memory_Alloc(kSize);
        stage = 1;
        while (stage.load() != 2) std::this_thread::yield(); // idle: no allocation, no free
        Memory_Free(Memory_Alloc(8), 8);
    });
    while (stage.load() != 1) std::this_thread::yield();
    const size_t before = HeapBytes();
    for (void* block : blocks) Memory_Free(block, kSize);
    const size_t after = HeapBytes();
    EXPECT_EQ(Usage(), Pair(0, 0));
    // 12 MB freed; what may wait for the owner is under 4 MiB.
    EXPECT_GT(before, after + (6u << 20)) << before << " " << after;
    stage = 2;
    owner.join();
    EXPECT_EQ(Memory_Check(nullptr), 1);
}

// A free from another thread while the allocating thread lives checks what it can at once, at the
// caller's line.
TEST_F(TrackedMemory, FreesFromAnotherThreadCheckAtTheFree) {
    // The child of the death test is forked without the allocating thread, whose list keeps its owner.
    std::atomic<bool> done{false};
    uint8_t* p = nullptr;
    std::atomic<bool> ready{false};
    std::thread owner([&] {
        p = (uint8_t*)Memory_Alloc(8);
        ready = true;
        while (!done.load()) std::this_thread::yield();
        Memory_Free(p, 8);
    });
    while (!ready.load()) std::this_thread::yield();
    EXPECT_ABORT(Memory_FreeInt(p, 7, "caller.cpp", 2),
                 AbortAt(Format("Memory tracking mismatch (7 / 8) [0x%p / 0x%p]\n", p - 16, p - 16),
                         "caller\\.cpp/2"));
    EXPECT_ABORT((p[8] ^= 1, Memory_Free(p, 8)), AbortAt(Corrupt(8, p, 0, 1)));
    // A second free of a block handed back is caught, not taken twice: from another thread, and
    // from the allocating thread (here this one) after another thread freed it.
    const std::string twice = "Memory tracking mismatch (8 / -1) [0x%p / 0x%p]\n";
    EXPECT_ABORT((Memory_Free(p, 8), Memory_FreeInt(p, 8, "caller.cpp", 2)),
                 AbortAt(Format(twice.c_str(), p - 16, p - 16), "caller\\.cpp/2"));
    // Nothing here may allocate between the hand-back and the second free: this thread's next
    // allocation takes back and releases the block.
    uint8_t* q = (uint8_t*)Memory_Alloc(8);
    const std::string qTwice = AbortAt(Format(twice.c_str(), q - 16, q - 16), "caller\\.cpp/2");
    std::thread([q] { Memory_Free(q, 8); }).join();
    EXPECT_ABORT(Memory_FreeInt(q, 8, "caller.cpp", 2), qTwice);
    done = true;
    owner.join();
}

TEST_F(TrackedMemory, BlocksOutliveTheModule) {
    void* p = Memory_Alloc(33);
    Memory_Remove();
    EXPECT_EQ(Memory_IsTracking(), 0);
    EXPECT_EQ(Memory_Validate(p, 33), 1);
    Memory_Free(p, 33);
    Memory_Init(1);
}

class MemoryLog : public ::testing::Test {
  protected:
    // The log written while body runs, the module started with the given debug flags.
    std::string Run(uint32_t flags, const std::function<void()>& body) {
        Debug_Init(dir.file("test.log").c_str(), nullptr, DEBUG_FLAG_FILE | flags);
        body();
        Debug_Remove();
        return ReadFile(dir.file("test.log"));
    }
    TempDir dir;
};

TEST_F(MemoryLog, DumpReportAndCheckTexts) {
    Pair base, baseMax, max;
    void *big = nullptr, *small = nullptr;
    int line = 0;
    const std::string text = Run(DEBUG_FLAG_MEMORY_TRACKING, [&] {
        base = Usage();
        Memory_GetMaximum(&baseMax.first, &baseMax.second);
        big = Memory_Alloc(1048576), line = __LINE__;
        small = Memory_AllocZero(10);
        EXPECT_EQ(Memory_Dump() + Memory_Report() + Memory_Check("after two"), 3);
        Memory_GetMaximum(&max.first, &max.second);
        Memory_Free(small, 10);
        Memory_Free(big, 1048576);
    });
    // Newest first; the maximum taken before the small block was counted; current includes both.
    const size_t smallAt =
        text.find(Format("DEBUG - Memory Tracking: 0x%p alloc'd from [Line %d/%s] [10/0x00000002]\n", small,
                         line + 1, __FILE__));
    ASSERT_NE(smallAt, std::string::npos) << text;
    EXPECT_NE(text.find(Format("Memory Tracking: 0x%p alloc'd from [Line %d/%s] [1048576/0x00000001]\n", big,
                               line, __FILE__),
                        smallAt),
              std::string::npos)
        << text;
    EXPECT_EQ(max,
              Pair(std::max(baseMax.first, base.first + 1), std::max(baseMax.second, base.second + 1048608)));
    for (const std::string& expected :
         {Format("Memory usage  -- Maximum (%6.2fm)   Current (%6.2fm)\n", max.second / 1048576.0,
                 (base.second + 1048608 + 44) / 1048576.0),
          Format("Memory allocs -- Maximum (%7u)   Current (%7u)\n", max.first, base.first + 2),
          std::string("Checking Memory at after two...\n"),
          Format("All memory appears to be correct (%u allocs verified).\n", base.first + 2)})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << text;
}

// Blocks of several threads, one of them ended and one freed by another thread: the dump still
// lists every live block newest first, and the check counts them all.
TEST_F(MemoryLog, DumpMergesTheBlocksOfEveryThreadNewestFirst) {
    void* blocks[4] = {};
    const int32_t sizes[4] = {11, 22, 33, 44};
    const std::string text = Run(DEBUG_FLAG_MEMORY_TRACKING, [&] {
        for (int i = 0; i < 3; i++) std::thread([&, i] { blocks[i] = Memory_Alloc(sizes[i]); }).join();
        blocks[3] = Memory_Alloc(sizes[3]);
        std::thread([&] { Memory_Free(blocks[1], sizes[1]); }).join();
        EXPECT_EQ(Memory_Dump() + Memory_Check("threads"), 2);
        for (int i : {0, 2, 3}) Memory_Free(blocks[i], sizes[i]);
    });
    size_t at = 0;
    for (int i : {3, 2, 0}) {
        at = text.find(Format("Memory Tracking: 0x%p alloc'd from", blocks[i]), at);
        ASSERT_NE(at, std::string::npos) << i << "\n" << text;
    }
    EXPECT_EQ(text.find(Format("Memory Tracking: 0x%p alloc'd from", blocks[1])), std::string::npos) << text;
    EXPECT_NE(text.find("appears to be correct"), std::string::npos) << text;
}

TEST_F(MemoryLog, UntrackedCheckSaysSoAndDumpAndReportAreSilent) {
    const std::string text = Run(0, [] {
        void* p = Memory_Alloc(8);
        EXPECT_EQ(Memory_Check("label") + Memory_Dump() + Memory_Report(), 2);
        Memory_Free(p, 8);
    });
    EXPECT_NE(text.find("DEBUG - Memory tracking was not enabled\n"), std::string::npos) << text;
    for (const char* absent : {"Checking Memory", "Memory Tracking:", "Memory usage"})
        EXPECT_EQ(text.find(absent), std::string::npos) << absent << "\n" << text;
}

TEST_F(MemoryLog, MemoryReportLogsEveryAllocationAndFree) {
    void* p = nullptr;
    int line = 0;
    const std::string text = Run(DEBUG_FLAG_MEMORY_REPORT, [&] {
        p = Memory_Alloc(123), Memory_Free(p, 123), line = __LINE__; // both on one line
    });
    const size_t at = text.find(Format("-- Alloc 0x%p:        123 [%s / %d]\n", p, __FILE__, line));
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_NE(text.find(Format("-- Free  0x%p:        123 [%s / %d]\n", p, __FILE__, line), at),
              std::string::npos);
}

TEST(Memory, FindPatternAndByte) {
    const char* text = "abcabd";
    // length, pattern, its length, offset found (-1: none)
    const std::tuple<int32_t, const char*, int32_t, int32_t> cases[] = {
        {6, "abd", 3, 3},    {6, "abc", 3, 0},     {6, "d", 1, 5},  {5, "abd", 3, -1}, {6, "abe", 3, -1},
        {6, "abcabd", 6, 0}, {3, "abcabd", 6, -1}, {0, "a", 1, -1}, {-4, "a", 1, -1},  {6, "a", 0, -1}};
    for (const auto& [length, pattern, patternLength, offset] : cases) {
        const void* found = text;
        EXPECT_EQ(Memory_FindPattern(text, length, pattern, patternLength, &found), offset >= 0)
            << pattern << length;
        EXPECT_EQ(found, offset >= 0 ? (const void*)(text + offset) : nullptr) << pattern << " " << length;
    }
    const uint8_t bytes[] = {1, 0, 7, 0, 7};
    const std::tuple<int32_t, uint8_t, int32_t> byteCases[] = {{5, 7, 2}, {5, 0, 1}, {2, 7, -1}, {0, 1, -1}};
    for (const auto& [length, byte, offset] : byteCases) {
        const void* found = bytes;
        EXPECT_EQ(Memory_FindByte(bytes, length, byte, &found), offset >= 0) << (int)byte << " " << length;
        EXPECT_EQ(found, offset >= 0 ? (const void*)(bytes + offset) : nullptr) << (int)byte << " " << length;
    }
}

TEST(Memory, CryptFillFillsEveryByte) {
    std::vector<uint8_t> first(1000, 0), second(1000, 0), untouched(8, 0x5A);
    EXPECT_EQ(Memory_CryptFill(first.data(), 1000) + Memory_CryptFill(second.data(), 1000), 2);
    EXPECT_NE(first, second);
    // The tail past the first requests is filled too (all zero would be a 2^-1600 chance).
    EXPECT_NE(std::vector<uint8_t>(first.begin() + 800, first.end()), std::vector<uint8_t>(200, 0));
    EXPECT_EQ(Memory_CryptFill(untouched.data(), 0) + Memory_CryptFill(untouched.data(), -3), 2);
    EXPECT_EQ(untouched, std::vector<uint8_t>(8, 0x5A));
}

} // namespace
