// Tests of the sized allocator: block layout and guard bytes, overrun detection, the tracker list
// with its checks and aborts, counters, the dump and report texts, and the search helpers.
#include "core/runtime/memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <sys/resource.h>
#include <unistd.h>

#include "core/runtime/debug.h"
#include "core/runtime/string_print.h"
#include "tests/support/abort_hook.h"

namespace {

// Tracker record field offsets: file, line, size, block start, next (older), previous (newer), flags.
constexpr int32_t kFile = 0, kLine = 8, kSize = 12, kBlock = 16, kNext = 24, kPrev = 32, kFlags = 40;

uint32_t BlockSize(int32_t size) {
    return ((uint32_t)size + 35) & ~3u;
}
uint8_t* BlockOf(void* data) {
    return (uint8_t*)data - 16;
}
uint8_t* RecordOf(void* data, int32_t size) {
    return BlockOf(data) + BlockSize(size);
}

template <typename T> T ReadField(void* data, int32_t size, int32_t offset) {
    T value;
    memcpy(&value, RecordOf(data, size) + offset, sizeof(T));
    return value;
}
template <typename T> void WriteField(void* data, int32_t size, int32_t offset, T value) {
    memcpy(RecordOf(data, size) + offset, &value, sizeof(T));
}

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

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

// The abort text reported at the given source file and line.
std::string AbortAt(const std::string& message, const char* file, int line) {
    return "ABORT - " + Escape(message) + " \\(" + Escape(file) + "/" + std::to_string(line) + "\\)";
}

// The abort text reported at the memory module's own location.
std::string AbortInModule(const std::string& message) {
    return "ABORT - " + Escape(message) + " \\([^ ]*core/runtime/memory\\.cpp/[0-9]+\\)";
}

std::string HexBytes(const uint8_t* bytes, int count) {
    std::string out;
    for (int i = 0; i < count; i++) out += Format(" %.2X", (uint32_t)bytes[i]);
    return out;
}

int64_t PrintToStderr(const char* text) {
    fputs(text, stderr);
    return 1;
}

// A death test on the exact abort text: the hook copies the text to standard error.
#define EXPECT_ABORT(statement, regex)                                                                       \
    EXPECT_DEATH(                                                                                            \
        {                                                                                                    \
            InstallTestAbortHook();                                                                          \
            statement;                                                                                       \
        },                                                                                                   \
        regex)

uint32_t FlagsMemoryTest() {
    return DEBUG_FLAG_MEMORY_TEST;
}

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

// A private directory for log files, removed with its content.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/memory_test.XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string File(const char* name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Memory module started with tracking, without the rest of the core.
class TrackedMemory : public ::testing::Test {
  protected:
    void SetUp() override { Memory_Init(1); }
    void TearDown() override {
        Debug_FlagsOverride(nullptr);
        Memory_Remove();
    }
};

// Memory module started without tracking: guards and counters only.
class CountedMemory : public ::testing::Test {
  protected:
    void SetUp() override { Memory_Init(0); }
    void TearDown() override { Memory_Remove(); }
};

TEST_F(CountedMemory, BlockSizeIsRequestPlusGuardsRoundedToFour) {
    const struct {
        int32_t size;
        uint32_t r;
    } cases[] = {{1, 36}, {4, 36}, {5, 40}, {8, 40}, {9, 44}, {100, 132}, {4096, 4128}};
    for (const auto& c : cases) {
        void* p = Memory_Alloc(c.size);
        EXPECT_EQ(Bytes(), c.r) << c.size;
        EXPECT_EQ(Count(), 1u) << c.size;
        Memory_Free(p, c.size);
        EXPECT_EQ(Bytes(), 0u) << c.size;
        EXPECT_EQ(Count(), 0u) << c.size;
    }
}

TEST_F(CountedMemory, CountersFollowLiveBlocksOnlyWhileStarted) {
    void* a = Memory_Alloc(10);
    void* b = Memory_AllocZero(5);
    EXPECT_EQ(Count(), 2u);
    EXPECT_EQ(Bytes(), 44u + 40u);
    Memory_Free(a, 10);
    EXPECT_EQ(Count(), 1u);
    EXPECT_EQ(Bytes(), 40u);
    Memory_Free(b, 5);
    EXPECT_EQ(Count(), 0u);
    EXPECT_EQ(Bytes(), 0u);
    EXPECT_EQ(Memory_IsTracking(), 0);
    EXPECT_EQ(Memory_Check("ignored"), 0);

    // After the module stops, blocks come and go without being counted.
    Memory_Remove();
    void* c = Memory_Alloc(64);
    EXPECT_EQ(Count(), 0u);
    EXPECT_EQ(Bytes(), 0u);
    Memory_Free(c, 64);
    EXPECT_EQ(Count(), 0u);
    Memory_Init(0);
}

TEST_F(CountedMemory, CountsFollowBlocksAcrossThreads) {
    // Allocated on a thread that then ends, freed here; and the other way round.
    void* p = nullptr;
    std::thread([&p] { p = Memory_Alloc(100); }).join();
    EXPECT_EQ(Count(), 1u);
    EXPECT_EQ(Bytes(), 132u);
    Memory_Free(p, 100);
    EXPECT_EQ(Count(), 0u);
    EXPECT_EQ(Bytes(), 0u);
    p = Memory_Alloc(5);
    std::thread([p] { Memory_Free(p, 5); }).join();
    EXPECT_EQ(Count(), 0u);
    EXPECT_EQ(Bytes(), 0u);
    // A new start counts from zero again.
    p = Memory_Alloc(5);
    Memory_Remove();
    Memory_Init(0);
    EXPECT_EQ(Count(), 0u);
    void* q = Memory_Alloc(1);
    EXPECT_EQ(Count(), 1u);
    EXPECT_EQ(Bytes(), 36u);
    Memory_Free(q, 1);
    Memory_Remove();
    Memory_Free(p, 5);
    Memory_Init(0);
}

TEST(Memory, GuardBytesDeriveFromTheBlockAddress) {
    for (int32_t tracking = 0; tracking < 2; tracking++) {
        Memory_Init(tracking);
        for (int32_t size : {1, 3, 4, 5, 16, 17, 255}) {
            uint8_t* p = (uint8_t*)Memory_Alloc(size);
            const uint8_t* block = BlockOf(p);
            const std::vector<uint8_t> guard = ExpectedGuard(block);
            EXPECT_EQ(0, memcmp(block, guard.data(), 16)) << size;
            EXPECT_EQ(0, memcmp(block + BlockSize(size) - 16, guard.data(), 16)) << size;
            Memory_Free(p, size);
        }
        Memory_Remove();
    }
    // Before the module starts the guards are the same.
    uint8_t* p = (uint8_t*)Memory_Alloc(7);
    EXPECT_EQ(0, memcmp(BlockOf(p) + BlockSize(7) - 16, ExpectedGuard(BlockOf(p)).data(), 16));
    Memory_Free(p, 7);
}

TEST(Memory, ZeroFilledBlocksAreZero) {
    for (int32_t tracking = 0; tracking < 2; tracking++) {
        Memory_Init(tracking);
        // Dirty the heap first so that a plain allocation would likely return old bytes.
        for (int i = 0; i < 8; i++) {
            uint8_t* dirty = (uint8_t*)Memory_Alloc(4000);
            memset(dirty, 0xA5, 4000);
            Memory_Free(dirty, 4000);
        }
        uint8_t* p = (uint8_t*)Memory_AllocZero(4000);
        const std::vector<uint8_t> zeros(4000, 0);
        EXPECT_EQ(0, memcmp(p, zeros.data(), zeros.size()));
        Memory_Free(p, 4000);
        Memory_Remove();
    }
}

TEST(Memory, OverrunIntoFillBytesIsNotDetected) {
    uint8_t* p = (uint8_t*)Memory_Alloc(1);
    p[1] = 0x11;
    p[2] = 0x22;
    p[3] = 0x33;
    EXPECT_EQ(Memory_Validate(p, 1), 1);
    Memory_Free(p, 1);
}

TEST(Memory, OverrunAndUnderrunAbortOnFree) {
    uint8_t* p = (uint8_t*)Memory_Alloc(4);
    EXPECT_ABORT(p[4] ^= 0xFF;
                 Memory_Free(p, 4),
                 AbortInModule(Format("Memory corrupt (4) <Addr:0x%p Before:0 After:1 Max:16>\n", p)));
    EXPECT_ABORT(p[-1] ^= 0xFF; p[-16] ^= 0xFF; p[5] ^= 0xFF;
                 Memory_Validate(p, 4),
                 AbortInModule(Format("Memory corrupt (4) <Addr:0x%p Before:2 After:1 Max:16>\n", p)));
    Memory_Free(p, 4);
}

TEST(Memory, WrongSizeWithoutTrackingFindsTheBackGuardMissing) {
    uint8_t* p = (uint8_t*)Memory_AllocZero(100);
    // Freed as 50 bytes the back guard is looked for at bytes 68 to 83 of the block: zero data.
    const std::vector<uint8_t> guard = ExpectedGuard(BlockOf(p));
    int32_t after = 0;
    for (uint8_t b : guard) after += b != 0;
    EXPECT_ABORT(
        Memory_Free(p, 50),
        AbortInModule(Format("Memory corrupt (50) <Addr:0x%p Before:0 After:%d Max:16>\n", p, after)));
    Memory_Free(p, 100);
}

TEST(Memory, CorruptionIsLoggedWithExpectedAndFoundBytes) {
    TempDir dir;
    Debug_Init(dir.File("test.log").c_str(), nullptr, DEBUG_FLAG_EXTERNAL_PRINT);
    uint8_t* p = (uint8_t*)Memory_Alloc(4);
    uint8_t* block = BlockOf(p);
    const std::vector<uint8_t> guard = ExpectedGuard(block);

    // Untracked: only the back guard itself is shown after it.
    std::vector<uint8_t> damaged(block, block + 36);
    damaged[20] ^= 0xFF;
    std::string expected =
        Escape(Format("Memory corrupt (4) <Addr:0x%p Before:0 After:1 Max:16>\n", p)) + ".*" +
        Escape("Expected:" + HexBytes(guard.data(), 16) + "\n") + ".*" +
        Escape("After corruption:" + HexBytes(damaged.data() + 20, 16) + "\n") + ".*" +
        AbortInModule(Format("Memory corrupt (4) <Addr:0x%p Before:0 After:1 Max:16>\n", p));
    EXPECT_ABORT(Debug_PrintOverride(PrintToStderr); p[4] ^= 0xFF; Memory_Free(p, 4), expected);

    damaged.assign(block, block + 36);
    damaged[3] ^= 0xFF;
    expected = Escape(Format("Memory corrupt (4) <Addr:0x%p Before:1 After:0 Max:16>\n", p)) + ".*" +
               Escape("Expected:" + HexBytes(guard.data(), 16) + "\n") + ".*" +
               Escape("Prior corruption:" + HexBytes(damaged.data(), 32) + "\n");
    EXPECT_ABORT(Debug_PrintOverride(PrintToStderr); block[3] ^= 0xFF; Memory_Free(p, 4), expected);
    Memory_Free(p, 4);
    Debug_Remove();

    // Tracked: 32 bytes from the back guard on, the second half being the record (zeroed on free).
    Debug_Init(dir.File("test.log").c_str(), nullptr, DEBUG_FLAG_EXTERNAL_PRINT | DEBUG_FLAG_MEMORY_TRACKING);
    p = (uint8_t*)Memory_Alloc(4);
    block = BlockOf(p);
    damaged.assign(block + 20, block + 36);
    damaged[0] ^= 0xFF;
    damaged.resize(32, 0);
    expected = Escape("After corruption:" + HexBytes(damaged.data(), 32) + "\n");
    EXPECT_ABORT(Debug_PrintOverride(PrintToStderr); p[4] ^= 0xFF; Memory_Free(p, 4), expected);
    Memory_Free(p, 4);
    Debug_Remove();
}

TEST(Memory, InvalidArgumentsAbortAtTheCallersLine) {
    int local = 0;
    void* p = &local;
    const char* file = "caller.cpp";
    EXPECT_ABORT(Memory_AllocInt(0, MEMORY_FLAG_PLAIN, file, 1),
                 AbortAt("Invalid Memory Size (0)\n", file, 1));
    EXPECT_ABORT(Memory_AllocInt(-5, MEMORY_FLAG_ZERO, file, 2),
                 AbortAt("Invalid Memory Size (-5)\n", file, 2));
    EXPECT_ABORT(Memory_FreeInt(p, 0, file, 3), AbortAt("Invalid Memory Size (0)\n", file, 3));
    EXPECT_ABORT(Memory_ValidateInt(p, -1, nullptr, file, 4), AbortAt("Invalid Memory Size (-1)\n", file, 4));
    EXPECT_ABORT(Memory_FreeInt(nullptr, 10, file, 5),
                 AbortAt("No Memory address to free (10 / 44)\n", file, 5));
    EXPECT_ABORT(Memory_ValidateInt(nullptr, 1, nullptr, file, 6),
                 AbortAt("No Memory address to free (1 / 36)\n", file, 6));
    // The short forms pass the caller's own location.
    const int line = __LINE__ + 1;
    EXPECT_ABORT(Memory_Free(nullptr, 1), AbortAt("No Memory address to free (1 / 36)\n", __FILE__, line));
}

TEST(Memory, SizesWhoseBlockWouldWrapAreRejected) {
    // The block plus its record must fit 31 bits; beyond that R would wrap to a short block.
    const int32_t largest = INT32_MAX - 35 - 48;
    for (int32_t size : {INT32_MAX, INT32_MAX - 3, INT32_MAX - 35, largest + 1}) {
        EXPECT_ABORT(Memory_AllocInt(size, MEMORY_FLAG_PLAIN, "caller.cpp", 4711),
                     AbortAt(Format("Invalid Memory Size (%d)\n", size), "caller.cpp", 4711));
        int dummy = 0;
        EXPECT_ABORT(Memory_FreeInt(&dummy, size, "caller.cpp", 4712),
                     AbortAt(Format("Invalid Memory Size (%d)\n", size), "caller.cpp", 4712));
    }
}

TEST(Memory, FailedAllocationAborts) {
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer's allocator reads its limits once at start; the re-executed child inherits them.
    const char* old = getenv("ASAN_OPTIONS");
    const std::string saved = old ? old : "";
    setenv("ASAN_OPTIONS", (saved + ":allocator_may_return_null=1:max_allocation_size_mb=64").c_str(), 1);
    auto limit = [] {};
#else
    auto limit = [] {
        struct rlimit cap = {256u << 20, 256u << 20};
        setrlimit(RLIMIT_AS, &cap);
    };
#endif
    const int32_t size = 1 << 30;
    EXPECT_ABORT(limit(); Memory_AllocInt(size, MEMORY_FLAG_PLAIN, "caller.cpp", 11),
                          AbortAt("No Memory available (1073741824 / 1073741856)\n", "caller.cpp", 11));
    EXPECT_ABORT(limit();
                 Memory_AllocInt(size, MEMORY_FLAG_ZERO, "caller.cpp", 12),
                 AbortAt("No Zeroed Memory available (1073741824 / 1073741856)\n", "caller.cpp", 12));
#ifdef __SANITIZE_ADDRESS__
    if (old) {
        setenv("ASAN_OPTIONS", saved.c_str(), 1);
    } else {
        unsetenv("ASAN_OPTIONS");
    }
#endif
    GTEST_FLAG_SET(death_test_style, style);
}

TEST(Memory, SecondStartAborts) {
    Memory_Init(0);
    EXPECT_ABORT(Memory_Init(1),
                 AbortInModule("Assertion failed (GlobalMemory == NULL)\nMemory already initialized"));
    Memory_Remove();
}

TEST_F(TrackedMemory, RecordHoldsTheAllocationAndLinksTheList) {
    const int line = __LINE__ + 1;
    void* older = Memory_Alloc(10);
    void* newer = Memory_AllocZero(5);
    EXPECT_EQ(Memory_IsTracking(), 1);
    EXPECT_STREQ(ReadField<const char*>(older, 10, kFile), __FILE__);
    EXPECT_EQ(ReadField<uint32_t>(older, 10, kLine), (uint32_t)line);
    EXPECT_EQ(ReadField<uint32_t>(newer, 5, kLine), (uint32_t)line + 1);
    EXPECT_EQ(ReadField<uint32_t>(older, 10, kSize), 10u);
    EXPECT_EQ(ReadField<uint8_t*>(older, 10, kBlock), BlockOf(older));
    EXPECT_EQ(ReadField<uint32_t>(older, 10, kFlags), 1u);
    EXPECT_EQ(ReadField<uint32_t>(newer, 5, kFlags), 2u);
    // Ends of the list are null; neighbours point at each other's record.
    EXPECT_EQ(ReadField<void*>(older, 10, kNext), nullptr);
    EXPECT_EQ(ReadField<void*>(older, 10, kPrev), (void*)RecordOf(newer, 5));
    EXPECT_EQ(ReadField<void*>(newer, 5, kNext), (void*)RecordOf(older, 10));
    EXPECT_EQ(ReadField<void*>(newer, 5, kPrev), nullptr);
    // The record adds to the allocation but not to the bytes counted.
    EXPECT_EQ(Bytes(), 44u + 40u);
    EXPECT_EQ(Memory_Check(nullptr), 1);
    Memory_Free(newer, 5);
    EXPECT_EQ(ReadField<void*>(older, 10, kPrev), nullptr);
    Memory_Free(older, 10);
    EXPECT_EQ(Count(), 0u);
}

TEST_F(TrackedMemory, UnlinkingKeepsTheListWhole) {
    // Free from the middle, then the newest, then the oldest, checking the list after each.
    void* a = Memory_Alloc(20);
    void* b = Memory_Alloc(30);
    void* c = Memory_Alloc(40);
    Memory_Free(b, 30);
    EXPECT_EQ(ReadField<void*>(a, 20, kPrev), (void*)RecordOf(c, 40));
    EXPECT_EQ(ReadField<void*>(c, 40, kNext), (void*)RecordOf(a, 20));
    EXPECT_EQ(Memory_Check(nullptr), 1);
    Memory_Free(c, 40);
    EXPECT_EQ(ReadField<void*>(a, 20, kPrev), nullptr);
    EXPECT_EQ(Memory_Check(nullptr), 1);
    void* d = Memory_Alloc(50);
    EXPECT_EQ(ReadField<void*>(d, 50, kNext), (void*)RecordOf(a, 20));
    Memory_Free(a, 20);
    EXPECT_EQ(ReadField<void*>(d, 50, kNext), nullptr);
    EXPECT_EQ(Memory_Check(nullptr), 1);
    Memory_Free(d, 50);
    EXPECT_EQ(Count(), 0u);
    EXPECT_EQ(Memory_Check(nullptr), 1);
}

TEST_F(TrackedMemory, MaximaTakeTheCountersBeforeEachNewBlock) {
    uint32_t count = 99, bytes = 99;
    Memory_GetMaximum(&count, &bytes);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bytes, 0u);
    void* a = Memory_Alloc(1);
    void* b = Memory_Alloc(5);
    Memory_GetMaximum(&count, &bytes);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(bytes, 36u);
    void* c = Memory_Alloc(1);
    Memory_Free(a, 1);
    Memory_Free(b, 5);
    Memory_Free(c, 1);
    Memory_GetMaximum(&count, &bytes);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(bytes, 76u);
}

TEST_F(TrackedMemory, SizeMismatchAbortsWithBothSizes) {
    uint8_t* p = (uint8_t*)Memory_Alloc(8);
    // 6 and 8 bytes share R = 40, so the check finds the real record with another size in it.
    EXPECT_ABORT(Memory_FreeInt(p, 6, "caller.cpp", 21),
                 AbortAt(Format("Memory tracking mismatch (6 / 8) [0x%p / 0x%p]\n", p - 16, p - 16),
                         "caller.cpp", 21));
    EXPECT_ABORT(Memory_ValidateInt(p, 5, nullptr, "caller.cpp", 22),
                 AbortAt(Format("Memory tracking mismatch (5 / 8) [0x%p / 0x%p]\n", p - 16, p - 16),
                         "caller.cpp", 22));
    // A record that names another block.
    uint8_t* other = (uint8_t*)Memory_Alloc(8);
    EXPECT_ABORT(WriteField(p, 8, kBlock, BlockOf(other));
                 Memory_FreeInt(p, 8, "caller.cpp", 23),
                 AbortAt(Format("Memory tracking mismatch (8 / 8) [0x%p / 0x%p]\n", p - 16, other - 16),
                         "caller.cpp", 23));
    Memory_Free(other, 8);
    Memory_Free(p, 8);
}

TEST_F(TrackedMemory, DamagedRecordsAbortBeforeTheListIsTouched) {
    void* older = Memory_Alloc(12);
    void* newer = Memory_Alloc(24);
    uint8_t* olderRecord = RecordOf(older, 12);
    uint8_t* newerRecord = RecordOf(newer, 24);
    void* wild = (void*)(uintptr_t)1;

    EXPECT_ABORT(WriteField(newer, 24, kNext, wild);
                 Memory_Free(newer, 24),
                 AbortInModule(Format("Tracker next invalid address <0x%p->0x%p>\n", newerRecord, wild)));
    EXPECT_ABORT(WriteField(older, 12, kPrev, wild);
                 Memory_Free(older, 12),
                 AbortInModule(Format("Tracker prev invalid address <0x%p->0x%p>\n", olderRecord, wild)));
    EXPECT_ABORT(WriteField(older, 12, kBlock, wild);
                 Memory_Free(older, 12),
                 AbortInModule(Format("Tracker pointer invalid address <0x%p->0x%p>\n", olderRecord, wild)));
    // A link inside the bounds that does not point back.
    EXPECT_ABORT(WriteField(older, 12, kPrev, (void*)olderRecord);
                 Memory_FreeInt(newer, 24, "caller.cpp", 31),
                 AbortAt(Format("Tracker next invalid link <0x%p->0x%p->0x%p>\n", newerRecord, olderRecord,
                                olderRecord),
                         "caller.cpp", 31));
    EXPECT_ABORT(WriteField(newer, 24, kNext, (void*)newerRecord);
                 Memory_FreeInt(older, 12, "caller.cpp", 32),
                 AbortAt(Format("Tracker prev invalid link <0x%p->0x%p->0x%p>\n", olderRecord, newerRecord,
                                newerRecord),
                         "caller.cpp", 32));
    Memory_Free(newer, 24);
    Memory_Free(older, 12);
}

TEST_F(TrackedMemory, FreeingAnUntrackedAddressAborts) {
    // A record address beyond every tracked block is refused before it is read.
    uint8_t local[64] = {};
    uint8_t* p = local + 16;
    void* block = Memory_Alloc(8);
    EXPECT_ABORT(Memory_Free(p, 8), AbortInModule(Format("Tracker invalid address <0x%p>\n", local + 40)));
    Memory_Free(block, 8);
}

TEST_F(TrackedMemory, CheckFindsDamagedBlocksAndAbortsAfterCounting) {
    uint8_t* a = (uint8_t*)Memory_Alloc(4);
    uint8_t* b = (uint8_t*)Memory_Alloc(40);
    uint8_t* c = (uint8_t*)Memory_Alloc(4);
    EXPECT_EQ(Memory_Check("start"), 1);
    EXPECT_ABORT(a[4] ^= 1; c[-3] ^= 1;
                 Memory_Check("label"),
                 AbortInModule("Failure in internal memory check (2 blocks failed)\n"));
    // A recorded size reaching past the bounds (taken on the highest block, whose record is the
    // upper bound) or below 1 is refused before the guard is read.
    struct Live {
        uint8_t* data;
        int32_t size;
    } highest = {a, 4};
    for (Live live : {Live{b, 40}, Live{c, 4}})
        if (live.data > highest.data) highest = live;
    EXPECT_ABORT(
        WriteField(highest.data, highest.size, kSize, (uint32_t)0x7FFFFFF0);
        Memory_Check(nullptr),
        AbortInModule(Format("Invalid memory address (%d) <From:0x%p To:0x%p>\n", 0x7FFFFFF0,
                             highest.data - 16, (void*)((uintptr_t)(highest.data - 16) + 0x7FFFFFF0))));
    EXPECT_ABORT(WriteField(b, 40, kSize, (uint32_t)0xFFFFFFF0);
                 Memory_Check(nullptr),
                 AbortInModule(Format("Invalid memory address (-16) <From:0x%p To:0x%p>\n", b - 16, b - 32)));
    // The list cut short: fewer records than allocations.
    EXPECT_ABORT(WriteField(c, 4, kNext, (void*)nullptr);
                 Memory_Check(nullptr), AbortInModule("Check mismatch of allocation count (3 != 1)\n"));
    // A list that loops with consistent links ends at the walk limit instead of hanging.
    EXPECT_ABORT(WriteField(a, 4, kNext, (void*)RecordOf(c, 4));
                 WriteField(c, 4, kPrev, (void*)RecordOf(a, 4));
                 Memory_Check(nullptr), AbortInModule("Check mismatch of allocation count (3 != 4)\n"));
    Memory_Free(a, 4);
    Memory_Free(b, 40);
    Memory_Free(c, 4);
}

TEST_F(TrackedMemory, MemoryTestFlagChecksOnEveryCall) {
    uint8_t* a = (uint8_t*)Memory_Alloc(4);
    Debug_FlagsOverride(FlagsMemoryTest);
    Memory_Free(Memory_Alloc(16), 16);
    void* b = Memory_Alloc(16);
    EXPECT_ABORT(a[4] ^= 1;
                 Memory_Alloc(1), AbortInModule("Failure in internal memory check (1 blocks failed)\n"));
    EXPECT_ABORT(a[-1] ^= 1; Memory_Validate(b, 16),
                             AbortInModule("Failure in internal memory check (1 blocks failed)\n"));
    Memory_Free(b, 16);
    Memory_Free(a, 4);
}

TEST_F(TrackedMemory, ConcurrentUseKeepsListAndCountInStep) {
    // With the full check on every call, any moment where the list and the count disagree aborts.
    Debug_FlagsOverride(FlagsMemoryTest);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t] {
            void* live[8] = {};
            for (int i = 0; i < 400; i++) {
                const int slot = i % 8;
                const int32_t size = 1 + (t * 37 + slot * 13) % 200;
                if (live[slot]) Memory_Free(live[slot], size);
                live[slot] = Memory_Alloc(size);
            }
            for (int slot = 0; slot < 8; slot++) Memory_Free(live[slot], 1 + (t * 37 + slot * 13) % 200);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(Count(), 0u);
    EXPECT_EQ(Bytes(), 0u);
    EXPECT_EQ(Memory_Check(nullptr), 1);
}

TEST_F(TrackedMemory, BlocksOutliveTheModule) {
    void* p = Memory_Alloc(33);
    Memory_Remove();
    EXPECT_EQ(Memory_IsTracking(), 0);
    EXPECT_EQ(Memory_Validate(p, 33), 1);
    Memory_Free(p, 33);
    Memory_Init(1);
}

TEST(MemoryLog, DumpReportAndCheckTexts) {
    TempDir dir;
    const std::string log = dir.File("test.log");
    Debug_Init(log.c_str(), nullptr, DEBUG_FLAG_FILE | DEBUG_FLAG_MEMORY_TRACKING);
    uint32_t baseCount = 0, baseBytes = 0, baseMaxCount = 0, baseMaxBytes = 0;
    Memory_GetCount(&baseCount);
    Memory_GetSize(&baseBytes);
    Memory_GetMaximum(&baseMaxCount, &baseMaxBytes);
    const int line = __LINE__ + 1;
    void* big = Memory_Alloc(1048576);
    void* small = Memory_AllocZero(10);
    EXPECT_EQ(Memory_Dump(), 1);
    EXPECT_EQ(Memory_Report(), 1);
    EXPECT_EQ(Memory_Check("after two"), 1);
    uint32_t maxCount = 0, maxBytes = 0;
    Memory_GetMaximum(&maxCount, &maxBytes);
    Memory_Free(small, 10);
    Memory_Free(big, 1048576);
    Debug_Remove();

    const std::string text = ReadFile(log);
    const std::string smallLine = Format("Memory Tracking: 0x%p alloc'd from [Line %d/%s] [10/0x00000002]\n",
                                         small, line + 1, __FILE__);
    const std::string bigLine =
        Format("Memory Tracking: 0x%p alloc'd from [Line %d/%s] [1048576/0x00000001]\n", big, line, __FILE__);
    // Newest first.
    const size_t smallAt = text.find(smallLine);
    ASSERT_NE(smallAt, std::string::npos) << text;
    ASSERT_NE(text.find(bigLine, smallAt), std::string::npos) << text;
    EXPECT_NE(text.find("DEBUG - " + smallLine), std::string::npos) << text;

    // Maximum taken before the small block was counted; current includes both.
    EXPECT_EQ(maxCount, std::max(baseMaxCount, baseCount + 1));
    EXPECT_EQ(maxBytes, std::max(baseMaxBytes, baseBytes + 1048608));
    char expected[200];
    snprintf(expected, sizeof(expected), "Memory usage  -- Maximum (%6.2fm)   Current (%6.2fm)\n",
             maxBytes / 1048576.0, (baseBytes + 1048608 + 44) / 1048576.0);
    EXPECT_NE(text.find(expected), std::string::npos) << expected << text;
    snprintf(expected, sizeof(expected), "Memory allocs -- Maximum (%7u)   Current (%7u)\n", maxCount,
             baseCount + 2);
    EXPECT_NE(text.find(expected), std::string::npos) << expected << text;
    EXPECT_NE(text.find("Checking Memory at after two...\n"), std::string::npos) << text;
    snprintf(expected, sizeof(expected), "All memory appears to be correct (%u allocs verified).\n",
             baseCount + 2);
    EXPECT_NE(text.find(expected), std::string::npos) << text;
}

TEST(MemoryLog, UntrackedCheckSaysSoAndDumpAndReportAreSilent) {
    TempDir dir;
    const std::string log = dir.File("test.log");
    Debug_Init(log.c_str(), nullptr, DEBUG_FLAG_FILE);
    void* p = Memory_Alloc(8);
    EXPECT_EQ(Memory_Check("label"), 0);
    EXPECT_EQ(Memory_Dump(), 1);
    EXPECT_EQ(Memory_Report(), 1);
    Memory_Free(p, 8);
    Debug_Remove();
    const std::string text = ReadFile(log);
    EXPECT_NE(text.find("DEBUG - Memory tracking was not enabled\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Checking Memory"), std::string::npos) << text;
    EXPECT_EQ(text.find("Memory Tracking:"), std::string::npos) << text;
    EXPECT_EQ(text.find("Memory usage"), std::string::npos) << text;
}

TEST(MemoryLog, MemoryReportLogsEveryAllocationAndFree) {
    TempDir dir;
    const std::string log = dir.File("test.log");
    Debug_Init(log.c_str(), nullptr, DEBUG_FLAG_FILE | DEBUG_FLAG_MEMORY_REPORT);
    const int line = __LINE__ + 1;
    void* p = Memory_Alloc(123);
    Memory_Free(p, 123);
    Debug_Remove();
    const std::string text = ReadFile(log);
    const std::string alloc = Format("-- Alloc 0x%p: %10d [%s / %d]\n", p, 123, __FILE__, line);
    const std::string freed = Format("-- Free  0x%p: %10d [%s / %d]\n", p, 123, __FILE__, line + 1);
    EXPECT_EQ(alloc.find("-- Alloc 0x"), 0u);
    EXPECT_NE(alloc.find(":        123 ["), std::string::npos) << alloc;
    const size_t at = text.find(alloc);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_NE(text.find(freed, at), std::string::npos) << text;
}

TEST(Memory, FindPatternAndByte) {
    const char* text = "abcabd";
    const void* found = text;
    const struct {
        int32_t length;
        const char* pattern;
        int32_t patternLength;
        int32_t offset; // -1: not found
    } cases[] = {
        {6, "abd", 3, 3},    {6, "abc", 3, 0},     {6, "d", 1, 5},  {5, "abd", 3, -1}, {6, "abe", 3, -1},
        {6, "abcabd", 6, 0}, {3, "abcabd", 6, -1}, {0, "a", 1, -1}, {-4, "a", 1, -1},  {6, "a", 0, -1},
    };
    for (const auto& c : cases) {
        found = text;
        const int64_t result = Memory_FindPattern(text, c.length, c.pattern, c.patternLength, &found);
        EXPECT_EQ(result, c.offset >= 0 ? 1 : 0) << c.pattern << " " << c.length;
        EXPECT_EQ(found, c.offset >= 0 ? (const void*)(text + c.offset) : nullptr)
            << c.pattern << " " << c.length;
    }

    const uint8_t bytes[] = {1, 0, 7, 0, 7};
    EXPECT_EQ(Memory_FindByte(bytes, 5, 7, &found), 1);
    EXPECT_EQ(found, (const void*)(bytes + 2));
    EXPECT_EQ(Memory_FindByte(bytes, 5, 0, &found), 1);
    EXPECT_EQ(found, (const void*)(bytes + 1));
    EXPECT_EQ(Memory_FindByte(bytes, 2, 7, &found), 0);
    EXPECT_EQ(found, nullptr);
    found = bytes;
    EXPECT_EQ(Memory_FindByte(bytes, 0, 1, &found), 0);
    EXPECT_EQ(found, nullptr);

    EXPECT_ABORT(Memory_FindPattern(text, 6, "a", 1, nullptr), AbortInModule("Pointer is NULL\n"));
    EXPECT_ABORT(Memory_FindByte(nullptr, 6, 1, &found), AbortInModule("Pointer is NULL\n"));
}

TEST(Memory, CryptFillFillsEveryByte) {
    std::vector<uint8_t> first(1000, 0), second(1000, 0);
    EXPECT_EQ(Memory_CryptFill(first.data(), 1000), 1);
    EXPECT_EQ(Memory_CryptFill(second.data(), 1000), 1);
    EXPECT_NE(first, second);
    // The tail past the first requests is filled too (all zero would be a 2^-1600 chance).
    EXPECT_NE(std::vector<uint8_t>(first.begin() + 800, first.end()), std::vector<uint8_t>(200, 0));
    std::vector<uint8_t> untouched(8, 0x5A);
    EXPECT_EQ(Memory_CryptFill(untouched.data(), 0), 1);
    EXPECT_EQ(Memory_CryptFill(untouched.data(), -3), 1);
    EXPECT_EQ(untouched, std::vector<uint8_t>(8, 0x5A));
}

} // namespace
