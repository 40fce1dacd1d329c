#include "repository/offset_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/dictionary.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/printed_lines.h"

namespace {

struct Counts {
    int32_t Size = -1, Hits = -1, Misses = -1, Used = -1;
    int64_t ReadBytes = -1;
    bool operator==(const Counts&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Counts& c) {
    return out << "size " << c.Size << " hits " << c.Hits << " misses " << c.Misses << " used " << c.Used
               << " readBytes " << c.ReadBytes;
}

class Cache {
public:
    explicit Cache(int32_t size) {
        OffsetCache_Create(&c);
        OffsetCache_SetPrintCallback(c, &Lines, KeepLine);
        OffsetCache_SetSize(c, size);
    }
    ~Cache() { OffsetCache_Release(&c); }

    int64_t Put(uint64_t offset, int32_t length, uint8_t fill) {
        const std::vector<uint8_t> bytes((size_t)length, fill);
        return OffsetCache_Put(c, offset, bytes.data(), length);
    }
    // The bytes served for offset, or "miss".
    std::string Get(uint64_t offset, int32_t capacity = 1 << 16) {
        std::string out((size_t)capacity, '\0');
        int32_t length = -1;
        if (!OffsetCache_Get(c, offset, out.data(), capacity, &length)) return length == 0 ? "miss" : "bad length";
        return out.substr(0, (size_t)length);
    }
    Counts Dump() {
        Dictionary* d = nullptr;
        Dictionary_Create(&d);
        OffsetCache_Dump(c, d);
        Counts r;
        Dictionary_GetInt32ByKey(d, "size", &r.Size);
        Dictionary_GetInt32ByKey(d, "hits", &r.Hits);
        Dictionary_GetInt32ByKey(d, "misses", &r.Misses);
        Dictionary_GetInt32ByKey(d, "used", &r.Used);
        Dictionary_GetInt64ByKey(d, "readBytes", &r.ReadBytes);
        Dictionary_Release(&d);
        return r;
    }
    // The printed messages, without the class and object prefix.
    std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const std::string& line : Lines) out.push_back(line.substr(line.find(" - ") + 3));
        Lines.clear();
        return out;
    }

    OffsetCache* c = nullptr;
    std::vector<std::string> Lines;
};

TEST(OffsetCache, SizeZeroIsOff) {
    Cache cache(0);
    EXPECT_EQ(cache.Put(7, 100, 'a'), 0);
    EXPECT_EQ(cache.Get(7), "miss");
    EXPECT_EQ(cache.Dump(), (Counts{0, 0, 0, 0, 0}));
}

TEST(OffsetCache, ServesCopiesAndCounts) {
    Cache cache(16384);
    EXPECT_EQ(cache.Put(1000, 3000, 'a'), 1);
    EXPECT_EQ(cache.Put(5000, 1000, 'b'), 1);
    EXPECT_EQ(cache.Get(1000), std::string(3000, 'a'));
    EXPECT_EQ(cache.Get(1001), "miss");
    // Too long for the caller's buffer: not served, the buffer untouched.
    EXPECT_EQ(cache.Get(1000, 2999), "miss");
    // A second put at a cached offset only refreshes the entry.
    EXPECT_EQ(cache.Put(5000, 2000, 'c'), 1);
    EXPECT_EQ(cache.Get(5000), std::string(1000, 'b'));
    EXPECT_EQ(cache.Dump(), (Counts{16384, 2, 2, 4000, 4000}));
    EXPECT_EQ(OffsetCache_Reset(cache.c), 1);
    EXPECT_EQ(cache.Dump(), (Counts{16384, 0, 0, 0, 0}));
    EXPECT_EQ(cache.Get(1000), "miss");
}

TEST(OffsetCache, EvictsLeastRecentlyUsedFirst) {
    Cache cache(4 * 4096);
    OffsetCache_SetVerbose(cache.c, 1);
    for (uint64_t k = 0; k < 4; k++) cache.Put(k, 4096, (uint8_t)('a' + k));
    EXPECT_EQ(cache.Get(0).size(), 4096u); // 0 is now the most recently used
    cache.Put(1, 10, 'x');                 // refreshes 1
    cache.Put(9, 8192, 'z');
    const std::vector<std::string> expected = {"Alloc (0) (4096)\n", "Alloc (1) (4096)\n", "Alloc (2) (4096)\n",
                                               "Alloc (3) (4096)\n", "Evict (2) (4096)\n", "Evict (3) (4096)\n",
                                               "Alloc (9) (8192)\n"};
    EXPECT_EQ(cache.Messages(), expected);
    EXPECT_EQ(cache.Get(1), std::string(4096, 'b'));
    EXPECT_EQ(cache.Get(2), "miss");
    EXPECT_EQ(cache.Dump().Used, 4 * 4096);
}

TEST(OffsetCache, RangeLargerThanTheCacheEvictsEverythingAndKeepsNothing) {
    Cache cache(8192);
    cache.Put(0, 4096, 'a');
    cache.Put(1, 4096, 'b');
    EXPECT_EQ(cache.Put(2, 8193, 'c'), 1);
    EXPECT_EQ(cache.Messages(), std::vector<std::string>{"Unable to clear enough cache space (8193)\n"});
    EXPECT_EQ(cache.Dump().Used, 0);
    EXPECT_EQ(cache.Get(0), "miss");
    EXPECT_EQ(cache.Get(2), "miss");
}

TEST(OffsetCache, SetSizeEvictsEverything) {
    Cache cache(8192);
    cache.Put(0, 100, 'a');
    EXPECT_EQ(OffsetCache_SetSize(cache.c, 4096), 1);
    EXPECT_EQ(cache.Get(0), "miss");
    EXPECT_EQ(OffsetCache_SetSize(cache.c, -1), 0);
    EXPECT_EQ(cache.Put(0, 100, 'a'), 0);
}

TEST(OffsetCacheDeathTest, EmptyRangeAborts) {
    Cache cache(8192);
    EXPECT_DEATH((InstallTestAbortHook(), cache.Put(3, 0, 'a')),
                 AbortRegex("Assertion failed (Length > 0)\nOffsetCache length must be greater than 0"));
}

// Readers get whole entries while another thread keeps evicting and refilling the same offsets
// with different bytes: the copy is made under the lock, so no reader sees a torn entry. The writer
// goes on until every reader has checked entries of its own (a busy machine may schedule a reader
// only late), within a bound in seconds.
TEST(OffsetCache, ReadersNeverSeeAnEntryChangeUnderThem) {
    constexpr int kReaders = 2, kChecked = 100;
    Cache cache(3 * 4096);
    Deadline deadline("offset cache threads");
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<int> checked[kReaders] = {};
    const auto allChecked = [&] {
        for (const auto& count : checked)
            if (count.load() < kChecked) return false;
        return true;
    };
    std::thread writer([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (int round = 0; round < 4000 || (!allChecked() && std::chrono::steady_clock::now() < until);
             round++)
            for (uint64_t k = 0; k < 4; k++) cache.Put(k, 4096, (uint8_t)(round * 4 + k));
        stop = true;
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; r++)
        readers.emplace_back([&, r] {
            std::string out(4096, '\0');
            while (!stop)
                for (uint64_t k = 0; k < 4; k++) {
                    int32_t length = 0;
                    if (!OffsetCache_Get(cache.c, k, out.data(), 4096, &length)) continue;
                    if (length != 4096 || out.find_first_not_of(out[0]) != std::string::npos) torn++;
                    checked[r]++;
                }
        });
    writer.join();
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_TRUE(allChecked()) << "readers checked " << checked[0].load() << " and " << checked[1].load()
                              << " entries within 20 s";
    const Counts counts = cache.Dump();
    EXPECT_GT(counts.Hits + counts.Misses, 0);
}

} // namespace
