#include "core/platform/memory_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/core/platform/stream_contract.h"
#include "tests/support/abort_hook.h"

namespace {

using stream_contract::Pattern;

struct Owned {
    MemoryStream* M = nullptr;
    Owned() { EXPECT_EQ(MemoryStream_Create(&M), 1); }
    ~Owned() {
        if (M) MemoryStream_Delete(&M);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Stream* S() {
        Stream* s = nullptr;
        MemoryStream_GetStreamHandle(M, &s);
        return s;
    }
};

std::vector<uint8_t> Content(MemoryStream* m) {
    uint8_t* p = nullptr;
    if (!MemoryStream_GetPointer(m, &p)) return {};
    std::vector<uint8_t> out(p, p + MemoryStream_GetUsed(m));
    MemoryStream_ReleasePointer(m, &p);
    return out;
}

void PutAll(MemoryStream* m, const std::vector<uint8_t>& bytes) {
    uint32_t written = 0;
    if (bytes.empty()) return;
    ASSERT_EQ(MemoryStream_Put(m, bytes.data(), (uint32_t)bytes.size(), &written), 1);
    ASSERT_EQ(written, bytes.size());
}

// ---- The stream contract, for owning, locked and caller-owned memory streams -------------------

Stream* MakeGrowing(const std::vector<uint8_t>& content, bool locked) {
    MemoryStream* m = nullptr;
    MemoryStream_Create(&m);
    MemoryStream_SetAutoGrow(m, 1);
    if (locked) MemoryStream_SetAllowLock(m, 1);
    PutAll(m, content);
    Stream* s = nullptr;
    MemoryStream_GetStreamHandle(m, &s);
    return s;
}

void DestroyOwned(Stream* s) {
    MemoryStream* m = static_cast<MemoryStream*>(s->Handle);
    MemoryStream_Release(&m);
}

std::map<Stream*, std::vector<uint8_t>>& CallerBuffers() {
    static std::map<Stream*, std::vector<uint8_t>> buffers;
    return buffers;
}

Stream* MakeCallerOwned(const std::vector<uint8_t>& content) {
    MemoryStream* m = nullptr;
    MemoryStream_Create(&m);
    MemoryStream_SetAutoGrow(m, 1); // never applies to a caller's buffer
    Stream* s = nullptr;
    MemoryStream_GetStreamHandle(m, &s);
    std::vector<uint8_t>& buffer = CallerBuffers()[s];
    buffer = content;
    buffer.reserve(1);
    MemoryStream_SetPointer(m, buffer.data(), (uint32_t)content.size(), (uint32_t)content.size());
    return s;
}

void DestroyCallerOwned(Stream* s) {
    DestroyOwned(s);
    CallerBuffers().erase(s);
}

constexpr uint32_t kMemorySlots = stream_contract::kSlotWrite | stream_contract::kSlotRead |
                                  stream_contract::kSlotSeek | stream_contract::kSlotTell |
                                  stream_contract::kSlotLength | stream_contract::kSlotIsOpen |
                                  stream_contract::kSlotClose;

TEST(MemoryStream, StreamContract) {
    stream_contract::StreamKind growing;
    growing.Name = "growing";
    growing.Make = [](const std::vector<uint8_t>& c) { return MakeGrowing(c, false); };
    growing.Destroy = DestroyOwned;
    growing.Slots = kMemorySlots;
    stream_contract::RunStreamContract(growing);

    stream_contract::StreamKind locked = growing;
    locked.Name = "locked";
    locked.Make = [](const std::vector<uint8_t>& c) { return MakeGrowing(c, true); };
    stream_contract::RunStreamContract(locked);

    stream_contract::StreamKind caller = growing;
    caller.Name = "caller-owned";
    caller.Make = MakeCallerOwned;
    caller.Destroy = DestroyCallerOwned;
    caller.WriteExtends = false;
    stream_contract::RunStreamContract(caller);
}

TEST(MemoryStream, CreateFillsTheRecord) {
    Owned o;
    Stream* s = o.S();
    EXPECT_EQ(s, &o.M->StreamRecord);
    EXPECT_EQ(s->Handle, o.M);
    EXPECT_EQ(o.M->Header.ClassId, MEMORY_STREAM_CLASS_ID);
    EXPECT_EQ(o.M->Header.RefCount, 1u);
    EXPECT_EQ(o.M->TransactionStart, -1);
    EXPECT_EQ(MemoryStream_TransactionActive(o.M), 0);
    EXPECT_EQ(MemoryStream_IsOpen(o.M), 0) << "created closed, with no buffer";
    EXPECT_EQ(o.M->Buffer, nullptr);
    uint32_t flag = 7;
    EXPECT_EQ(MemoryStream_GetAutoGrow(o.M, &flag), 1);
    EXPECT_EQ(flag, 0u);
    EXPECT_EQ(MemoryStream_GetAllowLock(o.M, &flag), 1);
    EXPECT_EQ(flag, 0u);
    EXPECT_EQ(MemoryStream_Lock(o.M), 0) << "no lock while locking is off";
    EXPECT_EQ(MemoryStream_Unlock(o.M), 0);
    EXPECT_EQ(MemoryStream_GetAvailableCapacity(o.M), 0);
}

TEST(MemoryStream, ReferencesAndDelete) {
    MemoryStream* m = nullptr;
    ASSERT_EQ(MemoryStream_Create(&m), 1);
    MemoryStream* second = m;
    EXPECT_EQ(MemoryStream_AddRef(m), 1);
    EXPECT_EQ(MemoryStream_Release(&second), 1);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(m->Header.RefCount, 1u);
    char id[40] = "x";
    EXPECT_EQ(MemoryStream_GetInstanceId(m, id, sizeof(id)), 1);
    EXPECT_STREQ(id, "") << "memory streams are not in the instance table";
    MemoryStream_SetAllowLock(m, 1);
    MemoryStream_SetAutoGrow(m, 1);
    uint32_t written = 0;
    MemoryStream_Put(m, "abc", 3, &written);
    EXPECT_EQ(MemoryStream_Delete(&m), 1);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(MemoryStream_Release(&m), 0) << "releasing a null handle does nothing";
}

// ---- Growth -------------------------------------------------------------------------------------

TEST(MemoryStream, GrowthSteps) {
    struct Case {
        const char* Name;
        std::vector<uint32_t> Writes;
        int32_t Size, Capacity, Used;
    };
    const Case cases[] = {
        {"small write grows by a page", {10}, 4096, 4096, 10},
        {"large first write is exact", {5000}, 5000, 5000, 5000},
        {"later growth allocates half again", {5000, 100}, 9096, 13644, 5100},
        {"shortfall above a page grows by it", {4096, 5000}, 9096, 13644, 9096},
        {"room left needs no growth", {10, 4086}, 4096, 4096, 4096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Owned o;
        MemoryStream_SetAutoGrow(o.M, 1);
        std::vector<uint8_t> expect;
        uint8_t seed = 1;
        for (uint32_t n : c.Writes) {
            const std::vector<uint8_t> bytes = Pattern(n, seed++);
            uint32_t written = 0;
            EXPECT_EQ(MemoryStream_Write(o.M, bytes.data(), n, &written), 1);
            EXPECT_EQ(written, n);
            expect.insert(expect.end(), bytes.begin(), bytes.end());
        }
        EXPECT_EQ(MemoryStream_GetSize(o.M), c.Size);
        EXPECT_EQ(MemoryStream_GetCapacity(o.M), c.Capacity);
        EXPECT_EQ(MemoryStream_GetUsed(o.M), c.Used);
        uint64_t position = 0;
        MemoryStream_Tell(o.M, &position);
        EXPECT_EQ(position, (uint64_t)c.Used);
        EXPECT_EQ(Content(o.M), expect) << "growth keeps the content";
        EXPECT_EQ(MemoryStream_IsOpen(o.M), 1);
    }
}

TEST(MemoryStream, GrowthStopsAtTheMaximum) {
    Owned o;
    MemoryStream_SetAutoGrow(o.M, 1);
    MemoryStream_SetMaxCapacity(o.M, 1048576);
    ASSERT_EQ(MemoryStream_Size(o.M, 1000000, 0, 0), 1);
    EXPECT_EQ(MemoryStream_GetCapacity(o.M), 1000000);
    std::vector<uint8_t> first = Pattern(1000000, 1);
    uint32_t written = 0;
    ASSERT_EQ(MemoryStream_Write(o.M, first.data(), (uint32_t)first.size(), &written), 1);
    EXPECT_EQ(MemoryStream_GetAvailableCapacity(o.M), 48576);
    std::vector<uint8_t> second = Pattern(100000, 2);
    EXPECT_EQ(MemoryStream_Write(o.M, second.data(), (uint32_t)second.size(), &written), 1);
    EXPECT_EQ(written, 48576u);
    EXPECT_EQ(MemoryStream_GetCapacity(o.M), 1048576);
    EXPECT_EQ(MemoryStream_GetSize(o.M), 1048576);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 1048576);
    EXPECT_EQ(MemoryStream_GetAvailableCapacity(o.M), 0);
    const std::vector<uint8_t> content = Content(o.M);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), content.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.begin() + 48576, content.begin() + 1000000));
    // Full: the next write has no room at all.
    EXPECT_EQ(MemoryStream_Write(o.M, second.data(), 10, &written), 0);
    EXPECT_EQ(written, 0u);
}

TEST(MemoryStream, MaximumBelowTheContentNeverLosesBytes) {
    Owned o;
    MemoryStream_SetAutoGrow(o.M, 1);
    PutAll(o.M, Pattern(3000));
    MemoryStream_SetMaxCapacity(o.M, 1000);
    const std::vector<uint8_t> before = Content(o.M);
    uint32_t written = 0;
    // 1,096 bytes of room remain in the page; the rest is cut, and the growth that would have
    // allocated only 1,000 bytes does not happen.
    std::vector<uint8_t> more = Pattern(2000, 9);
    EXPECT_EQ(MemoryStream_Put(o.M, more.data(), 2000, &written), 1);
    EXPECT_EQ(written, 1096u);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 4096);
    const std::vector<uint8_t> after = Content(o.M);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
    EXPECT_EQ(MemoryStream_Print(o.M, "%s", "x"), 0) << "no room and no growth for a print either";
}

TEST(MemoryStream, WriteWithoutGrowthIsCut) {
    Owned o;
    ASSERT_EQ(MemoryStream_Size(o.M, 8, 0, 0), 1);
    uint32_t written = 0;
    ASSERT_EQ(MemoryStream_Write(o.M, "12345", 5, &written), 1);
    EXPECT_EQ(MemoryStream_Write(o.M, "abcdefghij", 10, &written), 1);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 8);
    written = 99;
    EXPECT_EQ(MemoryStream_Write(o.M, "z", 1, &written), 0);
    EXPECT_EQ(written, 0u);
    written = 99;
    EXPECT_EQ(MemoryStream_Put(o.M, "z", 1, &written), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(Content(o.M), std::vector<uint8_t>({'1', '2', '3', '4', '5', 'a', 'b', 'c'}));

    // A closed stream without auto-grow has no room at all.
    Owned empty;
    EXPECT_EQ(MemoryStream_Write(empty.M, "z", 1, &written), 0);
    EXPECT_EQ(written, 0u);
}

TEST(MemoryStream, HugeAndEmptyRequests) {
    Owned o;
    MemoryStream_SetAutoGrow(o.M, 1);
    PutAll(o.M, Pattern(100));
    uint8_t small[16] = {};
    uint32_t count = 99;
    // Growth to past 2 GiB is refused before a byte of the source is read.
    EXPECT_EQ(MemoryStream_Write(o.M, small, UINT32_MAX, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(MemoryStream_Put(o.M, small, 0x80000000u, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 100);
    EXPECT_EQ(MemoryStream_Size(o.M, INT32_MAX, 1, 0), 0);
    EXPECT_EQ(MemoryStream_Size(o.M, -1, 1, 0), 0);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 100);
    // Zero-length writes and puts move nothing and answer 0.
    EXPECT_EQ(MemoryStream_Write(o.M, nullptr, 0, &count), 0);
    EXPECT_EQ(MemoryStream_Put(o.M, nullptr, 0, &count), 0);
    EXPECT_EQ(count, 0u);
    // A huge get takes what is there.
    std::vector<uint8_t> all(200);
    EXPECT_EQ(MemoryStream_Get(o.M, all.data(), UINT32_MAX, &count), 1);
    EXPECT_EQ(count, 100u);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 0);
    // Negative and oversized discards and claims are harmless.
    PutAll(o.M, Pattern(10));
    EXPECT_EQ(MemoryStream_DiscardBegin(o.M, -5), 1);
    EXPECT_EQ(MemoryStream_DiscardEnd(o.M, -5), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 10);
    EXPECT_EQ(MemoryStream_Claim(o.M, -1), 0);
    EXPECT_EQ(MemoryStream_Claim(o.M, INT32_MAX), 0);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 10);
    EXPECT_EQ(MemoryStream_DiscardBegin(o.M, INT32_MAX), 0);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 0);
}

// ---- Sizing -------------------------------------------------------------------------------------

TEST(MemoryStream, SizeRules) {
    Owned o;
    ASSERT_EQ(MemoryStream_Size(o.M, 100, 0, 0), 1);
    EXPECT_EQ(MemoryStream_GetCapacity(o.M), 100) << "first allocation is exact";
    EXPECT_EQ(MemoryStream_IsOpen(o.M), 1);
    uint32_t written = 0;
    MemoryStream_Write(o.M, "0123456789", 10, &written);
    MemoryStream_Seek(o.M, 4, SEEK_ORIGIN_BEGIN);
    uint8_t* before = o.M->Buffer;

    // Reuse with keep: content and position stay.
    ASSERT_EQ(MemoryStream_Size(o.M, 50, 1, 0), 1);
    EXPECT_EQ(o.M->Buffer, before);
    EXPECT_EQ(MemoryStream_GetSize(o.M), 50);
    EXPECT_EQ(MemoryStream_GetCapacity(o.M), 100);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 10);
    uint64_t position = 0;
    MemoryStream_Tell(o.M, &position);
    EXPECT_EQ(position, 4u);

    // Force: a new allocation of half again, content carried over.
    ASSERT_EQ(MemoryStream_Size(o.M, 60, 1, 1), 1);
    EXPECT_EQ(MemoryStream_GetCapacity(o.M), 90);
    EXPECT_EQ(MemoryStream_GetSize(o.M), 60);
    EXPECT_EQ(Content(o.M), std::vector<uint8_t>({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
    MemoryStream_Tell(o.M, &position);
    EXPECT_EQ(position, 4u);

    // Shrinking below the content with keep cuts it, and the position with it.
    ASSERT_EQ(MemoryStream_Size(o.M, 3, 1, 0), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 3);
    MemoryStream_Tell(o.M, &position);
    EXPECT_EQ(position, 3u);
    EXPECT_EQ(MemoryStream_GetAvailable(o.M), 0);

    // Without keep the content goes.
    ASSERT_EQ(MemoryStream_Size(o.M, 20, 0, 0), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 0);
    MemoryStream_Tell(o.M, &position);
    EXPECT_EQ(position, 0u);

    // A maximum limits the allocation and the size.
    MemoryStream_SetMaxCapacity(o.M, 64);
    ASSERT_EQ(MemoryStream_Size(o.M, 200, 0, 0), 1);
    EXPECT_EQ(MemoryStream_GetCapacity(o.M), 64);
    EXPECT_EQ(MemoryStream_GetSize(o.M), 64);

    // Size 0 closes; the stream can be sized again.
    ASSERT_EQ(MemoryStream_Size(o.M, 0, 1, 0), 1);
    EXPECT_EQ(MemoryStream_IsOpen(o.M), 0);
    EXPECT_EQ(MemoryStream_GetCapacity(o.M), 0);
    EXPECT_EQ(o.M->Buffer, nullptr);
    ASSERT_EQ(MemoryStream_Size(o.M, 10, 0, 0), 1);
    EXPECT_EQ(MemoryStream_GetCapacity(o.M), 10);
}

TEST(MemoryStream, CallerBuffer) {
    uint8_t buffer[10] = {'a', 'b', 'c', 'd', 'e', 0, 0, 0, 0, 0};
    Owned o;
    MemoryStream_SetAutoGrow(o.M, 1);
    ASSERT_EQ(MemoryStream_SetPointer(o.M, buffer, 5, 10), 1);
    EXPECT_EQ(MemoryStream_IsOpen(o.M), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 5);
    const std::vector<uint8_t> twenty = Pattern(20, 4);
    uint32_t written = 0;
    EXPECT_EQ(MemoryStream_Write(o.M, twenty.data(), 20, &written), 1);
    EXPECT_EQ(written, 10u) << "a caller's buffer never grows";
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 10);
    EXPECT_EQ(memcmp(buffer, twenty.data(), 10), 0);
    EXPECT_EQ(MemoryStream_Size(o.M, 100, 1, 0), 0);
    EXPECT_EQ(MemoryStream_Size(o.M, 0, 1, 0), 0);
    EXPECT_EQ(MemoryStream_Print(o.M, "x"), 0);
    // Close leaves the caller's bytes alone (a free of the stack array would stop the sanitizer).
    EXPECT_EQ(MemoryStream_Close(o.M), 1);
    EXPECT_EQ(memcmp(buffer, twenty.data(), 10), 0);
    EXPECT_EQ(o.M->Buffer, nullptr);
    // After closing, it owns buffers again.
    EXPECT_EQ(MemoryStream_Write(o.M, "x", 1, &written), 1);
    EXPECT_EQ(MemoryStream_GetCapacity(o.M), 4096);

    // A used length past the size is cut to it; a null buffer only closes.
    ASSERT_EQ(MemoryStream_SetPointer(o.M, buffer, 50, 10), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 10);
    ASSERT_EQ(MemoryStream_SetPointer(o.M, nullptr, 5, 10), 1);
    EXPECT_EQ(MemoryStream_IsOpen(o.M), 0);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 0);
}

TEST(MemoryStream, CloseKeepsSettings) {
    Owned o;
    MemoryStream_SetAutoGrow(o.M, 1);
    MemoryStream_SetMaxCapacity(o.M, 5000);
    MemoryStream_SetAllowLock(o.M, 1);
    PutAll(o.M, Pattern(100));
    EXPECT_EQ(MemoryStream_Close(o.M), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 0);
    EXPECT_EQ(MemoryStream_GetSize(o.M), 0);
    uint32_t flag = 0;
    MemoryStream_GetAutoGrow(o.M, &flag);
    EXPECT_EQ(flag, 1u);
    MemoryStream_GetAllowLock(o.M, &flag);
    EXPECT_EQ(flag, 1u);
    EXPECT_EQ(o.M->MaxCapacity, 5000);
    EXPECT_EQ(MemoryStream_Lock(o.M), 1);
    EXPECT_EQ(MemoryStream_Unlock(o.M), 1);
    MemoryStream_SetAllowLock(o.M, 0);
    EXPECT_EQ(o.M->Lock, nullptr);
}

// ---- Stream operations --------------------------------------------------------------------------

TEST(MemoryStream, Seek) {
    Owned o;
    MemoryStream_SetAutoGrow(o.M, 1);
    PutAll(o.M, Pattern(50));
    struct Case {
        int64_t Offset;
        SeekOrigin Origin;
        uint64_t From;
        int64_t Result;
        uint64_t Position;
    };
    const Case cases[] = {
        {100, SEEK_ORIGIN_END, 0, 1, 50}, // the offset from the end is ignored
        {-100, SEEK_ORIGIN_END, 10, 1, 50},
        {-1, SEEK_ORIGIN_CURRENT, 0, 0, 0},
        {-1, SEEK_ORIGIN_CURRENT, 1, 1, 0},
        {50, SEEK_ORIGIN_BEGIN, 0, 1, 50},
        {51, SEEK_ORIGIN_BEGIN, 3, 0, 3},
        {-1, SEEK_ORIGIN_BEGIN, 3, 0, 3},
        {47, SEEK_ORIGIN_CURRENT, 3, 1, 50},
        {48, SEEK_ORIGIN_CURRENT, 3, 0, 3},
        {0, 3, 3, 0, 3},
        {0, 0xFFFFFFFF, 3, 0, 3},
        {INT64_MIN, SEEK_ORIGIN_CURRENT, 3, 0, 3},
        {INT64_MAX, SEEK_ORIGIN_CURRENT, 3, 0, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Offset) + " from " + std::to_string(c.Origin));
        ASSERT_EQ(MemoryStream_Seek(o.M, (int64_t)c.From, SEEK_ORIGIN_BEGIN), 1);
        EXPECT_EQ(MemoryStream_Seek(o.M, c.Offset, c.Origin), c.Result);
        uint64_t position = 99;
        EXPECT_EQ(MemoryStream_Tell(o.M, &position), 1);
        EXPECT_EQ(position, c.Position);
    }
}

TEST(MemoryStream, ReadAtThePosition) {
    Owned o;
    MemoryStream_SetAutoGrow(o.M, 1);
    uint32_t count = 0;
    uint8_t buffer[8] = {};
    EXPECT_EQ(MemoryStream_Read(o.M, buffer, 8, &count), 0) << "nothing to read in a new stream";
    PutAll(o.M, {1, 2, 3, 4, 5});
    uint64_t position = 9;
    MemoryStream_Tell(o.M, &position);
    EXPECT_EQ(position, 0u) << "Put does not move the position";
    EXPECT_EQ(MemoryStream_Read(o.M, buffer, 3, &count), 1);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(MemoryStream_Read(o.M, buffer + 3, 8, &count), 1);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 5), std::vector<uint8_t>({1, 2, 3, 4, 5}));
    count = 9;
    EXPECT_EQ(MemoryStream_Read(o.M, buffer, 8, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 5) << "reading does not remove";
    uint64_t length = 0;
    EXPECT_EQ(MemoryStream_Length(o.M, &length), 1);
    EXPECT_EQ(length, 5u);
}

TEST(MemoryStream, WriteOverwritesAtThePosition) {
    Owned o;
    MemoryStream_SetAutoGrow(o.M, 1);
    PutAll(o.M, {'a', 'b', 'c', 'd', 'e'});
    MemoryStream_Seek(o.M, 3, SEEK_ORIGIN_BEGIN);
    uint32_t written = 0;
    EXPECT_EQ(MemoryStream_Write(o.M, "XYZ", 3, &written), 1);
    EXPECT_EQ(Content(o.M), std::vector<uint8_t>({'a', 'b', 'c', 'X', 'Y', 'Z'}));
    // Put appends at the end whatever the position.
    MemoryStream_Seek(o.M, 1, SEEK_ORIGIN_BEGIN);
    EXPECT_EQ(MemoryStream_Put(o.M, "!", 1, &written), 1);
    EXPECT_EQ(Content(o.M), std::vector<uint8_t>({'a', 'b', 'c', 'X', 'Y', 'Z', '!'}));
    uint64_t position = 0;
    MemoryStream_Tell(o.M, &position);
    EXPECT_EQ(position, 1u);
}

// ---- Queue operations ---------------------------------------------------------------------------

TEST(MemoryStream, GetTakesFromTheFront) {
    Owned o;
    MemoryStream_SetAutoGrow(o.M, 1);
    const std::vector<uint8_t> hundred = Pattern(100, 2);
    uint32_t count = 0;
    ASSERT_EQ(MemoryStream_Write(o.M, hundred.data(), 100, &count), 1);
    std::vector<uint8_t> out(150, 0xEE);
    EXPECT_EQ(MemoryStream_Get(o.M, out.data(), 150, &count), 1);
    EXPECT_EQ(count, 100u);
    EXPECT_TRUE(std::equal(hundred.begin(), hundred.end(), out.begin()));
    EXPECT_EQ(out[100], 0xEE);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 0);
    uint64_t position = 9;
    MemoryStream_Tell(o.M, &position);
    EXPECT_EQ(position, 0u);
    count = 9;
    EXPECT_EQ(MemoryStream_Get(o.M, out.data(), 10, &count), 0) << "nothing to take";
    EXPECT_EQ(count, 0u);

    PutAll(o.M, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(MemoryStream_Get(o.M, out.data(), 2, &count), 1);
    EXPECT_EQ(Content(o.M), std::vector<uint8_t>({3, 4, 5, 6}));

    // Without a buffer the bytes are dropped; more than there are empties the stream, and the
    // count says what really went.
    EXPECT_EQ(MemoryStream_Get(o.M, nullptr, 1000, &count), 1);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 0);
    EXPECT_EQ(MemoryStream_Get(o.M, nullptr, 10, &count), 1);
    EXPECT_EQ(count, 0u);
}

TEST(MemoryStream, Discards) {
    Owned o;
    MemoryStream_SetAutoGrow(o.M, 1);
    PutAll(o.M, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    MemoryStream_Seek(o.M, 8, SEEK_ORIGIN_BEGIN);
    EXPECT_EQ(MemoryStream_DiscardBegin(o.M, 3), 1);
    EXPECT_EQ(Content(o.M), std::vector<uint8_t>({3, 4, 5, 6, 7, 8, 9}));
    uint64_t position = 0;
    MemoryStream_Tell(o.M, &position);
    EXPECT_EQ(position, 7u) << "clamped, not shifted";
    EXPECT_EQ(MemoryStream_DiscardEnd(o.M, 2), 1);
    EXPECT_EQ(Content(o.M), std::vector<uint8_t>({3, 4, 5, 6, 7}));
    MemoryStream_Tell(o.M, &position);
    EXPECT_EQ(position, 5u);
    EXPECT_EQ(MemoryStream_DiscardEnd(o.M, 50), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 0);
    PutAll(o.M, {1, 2, 3});
    EXPECT_EQ(MemoryStream_DiscardBegin(o.M, 3), 0) << "0 once empty";
    PutAll(o.M, {1, 2, 3});
    const int32_t capacity = MemoryStream_GetCapacity(o.M);
    EXPECT_EQ(MemoryStream_DiscardAll(o.M), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 0);
    EXPECT_EQ(MemoryStream_GetCapacity(o.M), capacity) << "the buffer stays";
}

TEST(MemoryStream, Fill) {
    Owned target, source;
    MemoryStream_SetAutoGrow(target.M, 1);
    MemoryStream_SetMaxCapacity(target.M, 2048);
    MemoryStream_SetAutoGrow(source.M, 1);
    const std::vector<uint8_t> head = Pattern(1000, 1);
    const std::vector<uint8_t> moving = Pattern(3000, 2);
    PutAll(target.M, head);
    PutAll(source.M, moving);
    EXPECT_EQ(MemoryStream_Fill(target.M, source.M), 1);
    EXPECT_EQ(MemoryStream_GetUsed(target.M), 2048);
    EXPECT_EQ(MemoryStream_GetUsed(source.M), 1952);
    std::vector<uint8_t> expect = head;
    expect.insert(expect.end(), moving.begin(), moving.begin() + 1048);
    EXPECT_EQ(Content(target.M), expect);
    EXPECT_EQ(Content(source.M), std::vector<uint8_t>(moving.begin() + 1048, moving.end()));

    EXPECT_EQ(MemoryStream_Fill(target.M, source.M), 0) << "target full";
    EXPECT_EQ(MemoryStream_GetUsed(source.M), 1952);
    Owned empty;
    EXPECT_EQ(MemoryStream_Fill(target.M, empty.M), 0) << "empty source, target at its maximum";
    MemoryStream_DiscardEnd(target.M, 1);
    EXPECT_EQ(MemoryStream_Fill(target.M, empty.M), 1) << "empty source, target below its maximum";
    EXPECT_EQ(MemoryStream_Fill(source.M, source.M), 0) << "a stream cannot fill itself";
    EXPECT_EQ(MemoryStream_GetUsed(source.M), 1952);

    // Without a maximum everything moves; with locking on both sides as well.
    Owned all;
    MemoryStream_SetAutoGrow(all.M, 1);
    MemoryStream_SetAllowLock(all.M, 1);
    MemoryStream_SetAllowLock(source.M, 1);
    EXPECT_EQ(MemoryStream_Fill(all.M, source.M), 1);
    EXPECT_EQ(MemoryStream_GetUsed(all.M), 1952);
    EXPECT_EQ(MemoryStream_GetUsed(source.M), 0);
    EXPECT_EQ(MemoryStream_Fill(all.M, source.M), 1);
}

TEST(MemoryStream, Claim) {
    Owned o;
    ASSERT_EQ(MemoryStream_Size(o.M, 16, 0, 0), 1);
    uint8_t* p = nullptr;
    ASSERT_EQ(MemoryStream_GetAvailablePointer(o.M, &p), 1);
    memcpy(p, "hello", 5);
    EXPECT_EQ(MemoryStream_Claim(o.M, 5), 1);
    MemoryStream_ReleasePointer(o.M, &p);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(Content(o.M), std::vector<uint8_t>({'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(MemoryStream_Claim(o.M, 12), 0) << "past the size";
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 5);
    EXPECT_EQ(MemoryStream_Claim(o.M, 11), 1);
    EXPECT_EQ(MemoryStream_GetAvailable(o.M), 0);
}

TEST(MemoryStream, Print) {
    Owned o;
    ASSERT_EQ(MemoryStream_Size(o.M, 16, 0, 0), 1);
    PutAll(o.M, {'a', 'b', 'c', 'd', 'e', 'f'});
    EXPECT_EQ(MemoryStream_Print(o.M, "%s", "0123456789"), 0) << "the terminator needs room too";
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 6);
    EXPECT_EQ(MemoryStream_Print(o.M, "%d-%s", 12, "xyz1"), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 13);
    EXPECT_EQ(std::string((const char*)o.M->Buffer, 14), std::string("abcdef12-xyz1\0", 14));
    EXPECT_EQ(MemoryStream_Print(o.M, ""), 1) << "nothing to print";
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 13);

    // With auto-grow: a page for short texts, the text's own length for long ones.
    MemoryStream_SetAutoGrow(o.M, 1);
    EXPECT_EQ(MemoryStream_Print(o.M, "%s", "0123456789"), 1);
    EXPECT_EQ(MemoryStream_GetSize(o.M), 16 + 4096);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 23);
    const std::string big(10000, 'q');
    EXPECT_EQ(MemoryStream_Print(o.M, "%s", big.c_str()), 1);
    EXPECT_EQ(MemoryStream_GetSize(o.M), 16 + 4096 + 10001);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 10023);
    const std::vector<uint8_t> content = Content(o.M);
    EXPECT_EQ(std::string(content.begin(), content.end()), "abcdef12-xyz10123456789" + big);
    uint64_t position = 9;
    MemoryStream_Tell(o.M, &position);
    EXPECT_EQ(position, 0u) << "printing does not use the position";
}

TEST(MemoryStream, ReadToWriteCallbackRemovesWhatItHandedOn) {
    struct Sink {
        std::string Got;
        uint32_t Take;
        int64_t Answer;
        int Calls = 0;
        static int64_t Write(void* user, const void* data, uint32_t length, uint32_t* written) {
            Sink* self = static_cast<Sink*>(user);
            self->Calls++;
            self->Got.assign((const char*)data, length);
            *written = self->Answer ? self->Take : 0;
            return self->Answer;
        }
    };
    Owned o;
    MemoryStream_SetAutoGrow(o.M, 1);
    uint32_t written = 99;
    Sink idle{"", 3, 1};
    EXPECT_EQ(MemoryStream_ReadToWriteCallback(o.M, &idle, Sink::Write, &written), 1);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(idle.Calls, 0) << "an empty stream does not call";

    PutAll(o.M, {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    Sink three{"", 3, 1};
    EXPECT_EQ(MemoryStream_ReadToWriteCallback(o.M, &three, Sink::Write, &written), 1);
    EXPECT_EQ(three.Got, "0123456789");
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(Content(o.M), std::vector<uint8_t>({'3', '4', '5', '6', '7', '8', '9'}));

    // After reading two bytes only the unread ones are handed on, and those it took go: the two
    // read bytes stay in front.
    uint8_t two[2];
    uint32_t count = 0;
    MemoryStream_Read(o.M, two, 2, &count);
    Sink more{"", 2, 1};
    EXPECT_EQ(MemoryStream_ReadToWriteCallback(o.M, &more, Sink::Write, &written), 1);
    EXPECT_EQ(more.Got, "56789");
    EXPECT_EQ(written, 2u);
    EXPECT_EQ(Content(o.M), std::vector<uint8_t>({'3', '4', '7', '8', '9'}));

    // A refusal removes nothing; a callback claiming more than it got removes only what it got.
    Sink refuse{"", 2, 0};
    EXPECT_EQ(MemoryStream_ReadToWriteCallback(o.M, &refuse, Sink::Write, &written), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 5);
    Sink greedy{"", 1000, 1};
    EXPECT_EQ(MemoryStream_ReadToWriteCallback(o.M, &greedy, Sink::Write, &written), 1);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(Content(o.M), std::vector<uint8_t>({'3', '4'}));
}

TEST(MemoryStream, WriteFromReadCallbackAppends) {
    struct Source {
        std::string Give;
        uint32_t Claim;
        uint32_t Offered = 0;
        int Calls = 0;
        static int64_t Read(void* user, void* space, uint32_t length, uint32_t* read) {
            Source* self = static_cast<Source*>(user);
            self->Calls++;
            self->Offered = length;
            const size_t n = self->Give.size() < length ? self->Give.size() : length;
            memcpy(space, self->Give.data(), n);
            *read = self->Claim;
            return 1;
        }
    };
    Owned o;
    ASSERT_EQ(MemoryStream_Size(o.M, 12, 0, 0), 1);
    PutAll(o.M, {'a', 'b', 'c'});
    uint32_t read = 99;
    Source s{"XYZ", 3};
    EXPECT_EQ(MemoryStream_WriteFromReadCallback(o.M, &s, Source::Read, &read), 1);
    EXPECT_EQ(read, 3u);
    EXPECT_EQ(s.Offered, 9u) << "the room past the used end";
    EXPECT_EQ(Content(o.M), std::vector<uint8_t>({'a', 'b', 'c', 'X', 'Y', 'Z'})) << "unread bytes kept";
    Source liar{"12", 100};
    EXPECT_EQ(MemoryStream_WriteFromReadCallback(o.M, &liar, Source::Read, &read), 1);
    EXPECT_EQ(read, 6u) << "never more than the room offered";
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 12);
    Source none{"", 0};
    EXPECT_EQ(MemoryStream_WriteFromReadCallback(o.M, &none, Source::Read, &read), 0);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(none.Calls, 0) << "no room, no call";
}

// ---- Direct access and pins ---------------------------------------------------------------------

TEST(MemoryStream, PointersPinTheBuffer) {
    Owned o;
    uint8_t* p = reinterpret_cast<uint8_t*>(1);
    EXPECT_EQ(MemoryStream_GetPointer(o.M, &p), 0) << "no buffer yet";
    EXPECT_EQ(p, nullptr);
    MemoryStream_SetAutoGrow(o.M, 1);
    PutAll(o.M, Pattern(4096));
    ASSERT_EQ(MemoryStream_GetPointerAt(o.M, 10, &p), 1);
    EXPECT_EQ(p, o.M->Buffer + 10);
    EXPECT_EQ(o.M->PinCount, 1u);
    uint8_t* q = nullptr;
    EXPECT_EQ(MemoryStream_GetPointerAt(o.M, -1, &q), 0);
    EXPECT_EQ(MemoryStream_GetPointerAt(o.M, 4097, &q), 0);
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(o.M->PinCount, 1u);

    // While pinned the buffer cannot move: growth fails instead.
    uint8_t* before = o.M->Buffer;
    uint32_t written = 99;
    EXPECT_EQ(MemoryStream_Put(o.M, "x", 1, &written), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(MemoryStream_Size(o.M, 10000, 1, 0), 0);
    EXPECT_EQ(MemoryStream_Size(o.M, 100, 1, 1), 0);
    EXPECT_EQ(o.M->Buffer, before);
    EXPECT_EQ(p[0], Pattern(4096)[10]);

    EXPECT_EQ(MemoryStream_ReleasePointer(o.M, &p), 1);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(o.M->PinCount, 0u);
    EXPECT_EQ(MemoryStream_ReleasePointer(o.M, &p), 1) << "a null pointer releases nothing";
    uint8_t stray = 0;
    uint8_t* strayPointer = &stray;
    EXPECT_EQ(MemoryStream_ReleasePointer(o.M, &strayPointer), 1);
    EXPECT_EQ(o.M->PinCount, 0u) << "never below zero";
    EXPECT_EQ(MemoryStream_Put(o.M, "x", 1, &written), 1);
    EXPECT_EQ(MemoryStream_Close(o.M), 1);
}

TEST(MemoryStream, CloseWithAPinnedPointerAborts) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MemoryStream* m = nullptr;
            MemoryStream_Create(&m);
            MemoryStream_Size(m, 10, 0, 0);
            uint8_t* p = nullptr;
            MemoryStream_GetPointer(m, &p);
            MemoryStream_GetAvailablePointer(m, &p);
            MemoryStream_Close(m);
        },
        AbortRegex("Assertion failed (MemoryStream->RefCount == 0)\n"
                   "Reference to buffer not released before being reset [2]\n"));
}

// ---- Transactions -------------------------------------------------------------------------------

TEST(MemoryStream, TransactionDropsOrKeeps) {
    for (int32_t drop : {1, 0}) {
        SCOPED_TRACE(drop);
        Owned o;
        MemoryStream_SetAutoGrow(o.M, 1);
        MemoryStream_SetAllowLock(o.M, 1);
        PutAll(o.M, Pattern(40));
        EXPECT_EQ(MemoryStream_TransactionStart(o.M), 1);
        EXPECT_EQ(MemoryStream_TransactionActive(o.M), 1);
        EXPECT_EQ(o.M->TransactionStart, 40);
        PutAll(o.M, Pattern(30, 5));
        EXPECT_EQ(MemoryStream_TransactionEnd(o.M, drop), 1);
        EXPECT_EQ(MemoryStream_TransactionActive(o.M), 0);
        EXPECT_EQ(MemoryStream_GetUsed(o.M), drop ? 40 : 70);
        // A second transaction may follow.
        EXPECT_EQ(MemoryStream_TransactionStart(o.M), 1);
        EXPECT_EQ(MemoryStream_TransactionEnd(o.M, 0), 1);
    }
}

TEST(MemoryStream, TransactionDropNeverGoesForward) {
    Owned o;
    MemoryStream_SetAutoGrow(o.M, 1);
    PutAll(o.M, Pattern(40));
    MemoryStream_TransactionStart(o.M);
    PutAll(o.M, Pattern(5));
    MemoryStream_DiscardBegin(o.M, 30);
    EXPECT_EQ(MemoryStream_TransactionEnd(o.M, 1), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 15) << "nothing stale comes back";
    MemoryStream_TransactionStart(o.M);
    MemoryStream_Close(o.M);
    EXPECT_EQ(MemoryStream_TransactionActive(o.M), 1) << "a transaction survives Close";
    EXPECT_EQ(MemoryStream_TransactionEnd(o.M, 1), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 0);
}

TEST(MemoryStream, TransactionMisuseAborts) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MemoryStream* m = nullptr;
            MemoryStream_Create(&m);
            MemoryStream_TransactionStart(m);
            MemoryStream_TransactionStart(m);
        },
        AbortRegex("Assertion failed (MemoryStream->TransactionStart == -1)\nBuffer already in transaction"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MemoryStream* m = nullptr;
            MemoryStream_Create(&m);
            MemoryStream_TransactionEnd(m, 0);
        },
        AbortRegex("Assertion failed (MemoryStream->TransactionStart != -1)\nBuffer not in transaction"));
}

TEST(MemoryStream, TransactionHoldsTheLockAgainstOtherThreads) {
    Owned o;
    MemoryStream_SetAutoGrow(o.M, 1);
    MemoryStream_SetAllowLock(o.M, 1);
    ASSERT_EQ(MemoryStream_TransactionStart(o.M), 1);
    std::atomic<bool> started{false};
    std::thread other([&] {
        started = true;
        uint32_t written = 0;
        MemoryStream_Put(o.M, "B", 1, &written);
    });
    while (!started) std::this_thread::yield();
    // However long the other thread runs meanwhile, its byte cannot land inside the record.
    uint32_t written = 0;
    MemoryStream_Put(o.M, "A1", 2, &written);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    MemoryStream_Put(o.M, "A2", 2, &written);
    EXPECT_EQ(MemoryStream_TransactionEnd(o.M, 0), 1);
    other.join();
    EXPECT_EQ(Content(o.M), std::vector<uint8_t>({'A', '1', 'A', '2', 'B'}));
}

TEST(MemoryStream, LockedProducerAndConsumer) {
    Owned o;
    MemoryStream_SetAutoGrow(o.M, 1);
    MemoryStream_SetAllowLock(o.M, 1);
    constexpr uint32_t kTotal = 200000;
    const std::vector<uint8_t> data = Pattern(kTotal, 7);
    std::thread producer([&] {
        for (uint32_t at = 0; at < kTotal;) {
            const uint32_t n = std::min<uint32_t>(97, kTotal - at);
            uint32_t written = 0;
            MemoryStream_Put(o.M, data.data() + at, n, &written);
            at += written;
        }
    });
    std::vector<uint8_t> got;
    got.reserve(kTotal);
    uint8_t buffer[333];
    while (got.size() < kTotal) {
        uint32_t count = 0;
        if (MemoryStream_Get(o.M, buffer, sizeof(buffer), &count))
            got.insert(got.end(), buffer, buffer + count);
        else
            std::this_thread::yield();
    }
    producer.join();
    EXPECT_EQ(got, data);
}

// ---- Misuse -------------------------------------------------------------------------------------

TEST(MemoryStream, NullAndWrongHandlesAbort) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MemoryStream* m = nullptr;
            MemoryStream_Create(&m);
            MemoryStream_Write(m, "x", 1, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MemoryStream_GetUsed(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MemoryStream* m = nullptr;
            MemoryStream_Create(&m);
            MemoryStream_Put(m, nullptr, 5, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Class other{};
            other.ClassId = 0x12345678;
            MemoryStream_Close(reinterpret_cast<MemoryStream*>(&other));
        },
        "ABORT - Class mismatch pointer \\(0x[0-9a-fA-F]+: expected 0xa2214518 but was 0x12345678\\)");
}

} // namespace
