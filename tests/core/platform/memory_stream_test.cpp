// The memory stream as a growing buffer and a byte queue: growth steps and limits, sizing, a
// caller's block, the queue operations, callbacks, pinned pointers, transactions and its lock.
// What it promises as a stream is in the contract.
#include "core/platform/memory_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/core/platform/stream_contract.h"
#include "tests/support/abort_hook.h"

namespace {

using stream_contract::Pattern;
using Bytes = std::vector<uint8_t>;

struct Owned {
    MemoryStream* M = nullptr;
    explicit Owned(bool autoGrow = false) {
        EXPECT_EQ(MemoryStream_Create(&M), 1);
        MemoryStream_SetAutoGrow(M, autoGrow ? 1 : 0);
    }
    ~Owned() { MemoryStream_Delete(&M); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
};

Bytes Content(MemoryStream* m) {
    return stream_contract::Bytes(m);
}

void PutAll(MemoryStream* m, const Bytes& bytes) {
    uint32_t written = 0;
    ASSERT_EQ(MemoryStream_Put(m, bytes.data(), (uint32_t)bytes.size(), &written), 1);
    ASSERT_EQ(written, bytes.size());
}

// Writes (or puts) at the stream; checks the answer and answers the count.
uint32_t Write(MemoryStream* m, const void* data, uint32_t n, int64_t answer, bool put = false) {
    uint32_t written = 99;
    EXPECT_EQ((put ? MemoryStream_Put : MemoryStream_Write)(m, data, n, &written), answer);
    return written;
}

std::vector<int32_t> SizeCapacityUsed(MemoryStream* m) {
    return {MemoryStream_GetSize(m), MemoryStream_GetCapacity(m), MemoryStream_GetUsed(m)};
}

uint64_t Tell(MemoryStream* m) {
    uint64_t position = 99;
    EXPECT_EQ(MemoryStream_Tell(m, &position), 1);
    return position;
}

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
        Owned o(true);
        Bytes expect;
        uint8_t seed = 1;
        for (uint32_t n : c.Writes) {
            const Bytes bytes = Pattern(n, seed++);
            EXPECT_EQ(Write(o.M, bytes.data(), n, 1), n);
            expect.insert(expect.end(), bytes.begin(), bytes.end());
        }
        EXPECT_EQ(SizeCapacityUsed(o.M), std::vector<int32_t>({c.Size, c.Capacity, c.Used}));
        EXPECT_EQ(Tell(o.M), (uint64_t)c.Used);
        EXPECT_EQ(Content(o.M), expect) << "growth keeps the content";
        EXPECT_EQ(MemoryStream_IsOpen(o.M), 1);
    }
}

TEST(MemoryStream, GrowthStopsAtTheMaximum) {
    Owned o(true);
    MemoryStream_SetMaxCapacity(o.M, 1048576);
    ASSERT_EQ(MemoryStream_Size(o.M, 1000000, 0, 0), 1);
    EXPECT_EQ(MemoryStream_GetCapacity(o.M), 1000000);
    Bytes first = Pattern(1000000, 1);
    uint32_t written = 0;
    ASSERT_EQ(MemoryStream_Write(o.M, first.data(), (uint32_t)first.size(), &written), 1);
    EXPECT_EQ(MemoryStream_GetAvailableCapacity(o.M), 48576);
    Bytes second = Pattern(100000, 2);
    EXPECT_EQ(Write(o.M, second.data(), (uint32_t)second.size(), 1), 48576u);
    EXPECT_EQ(SizeCapacityUsed(o.M), std::vector<int32_t>({1048576, 1048576, 1048576}));
    EXPECT_EQ(MemoryStream_GetAvailableCapacity(o.M), 0);
    const Bytes content = Content(o.M);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), content.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.begin() + 48576, content.begin() + 1000000));
    // Full: the next write has no room at all.
    EXPECT_EQ(Write(o.M, second.data(), 10, 0), 0u);
}

TEST(MemoryStream, MaximumBelowTheContentNeverLosesBytes) {
    Owned o(true);
    PutAll(o.M, Pattern(3000));
    MemoryStream_SetMaxCapacity(o.M, 1000);
    const Bytes before = Content(o.M);
    // 1,096 bytes of room remain in the page; the rest is cut, and the growth that would have
    // allocated only 1,000 bytes does not happen.
    Bytes more = Pattern(2000, 9);
    EXPECT_EQ(Write(o.M, more.data(), 2000, 1, true), 1096u);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 4096);
    const Bytes after = Content(o.M);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
    EXPECT_EQ(MemoryStream_Print(o.M, "%s", "x"), 0) << "no room and no growth for a print either";
}

TEST(MemoryStream, WriteWithoutGrowthIsCut) {
    Owned o;
    ASSERT_EQ(MemoryStream_Size(o.M, 8, 0, 0), 1);
    uint32_t written = 0;
    ASSERT_EQ(MemoryStream_Write(o.M, "12345", 5, &written), 1);
    EXPECT_EQ(Write(o.M, "abcdefghij", 10, 1), 3u);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 8);
    EXPECT_EQ(Write(o.M, "z", 1, 0), 0u);
    EXPECT_EQ(Write(o.M, "z", 1, 0, true), 0u);
    EXPECT_EQ(Content(o.M), Bytes({'1', '2', '3', '4', '5', 'a', 'b', 'c'}));

    // A closed stream without auto-grow has no room at all.
    Owned empty;
    EXPECT_EQ(Write(empty.M, "z", 1, 0), 0u);
}

TEST(MemoryStream, HugeAndEmptyRequests) {
    Owned o(true);
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
    Bytes all(200);
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
    EXPECT_EQ(SizeCapacityUsed(o.M), std::vector<int32_t>({50, 100, 10}));
    EXPECT_EQ(Tell(o.M), 4u);

    // Force: a new allocation of half again, content carried over.
    ASSERT_EQ(MemoryStream_Size(o.M, 60, 1, 1), 1);
    EXPECT_EQ(MemoryStream_GetCapacity(o.M), 90);
    EXPECT_EQ(MemoryStream_GetSize(o.M), 60);
    EXPECT_EQ(Content(o.M), Bytes({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
    EXPECT_EQ(Tell(o.M), 4u);

    // Shrinking below the content with keep cuts it, and the position with it.
    ASSERT_EQ(MemoryStream_Size(o.M, 3, 1, 0), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 3);
    EXPECT_EQ(Tell(o.M), 3u);
    EXPECT_EQ(MemoryStream_GetAvailable(o.M), 0);

    // Without keep the content goes.
    ASSERT_EQ(MemoryStream_Size(o.M, 20, 0, 0), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 0);
    EXPECT_EQ(Tell(o.M), 0u);

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
    Owned o(true);
    ASSERT_EQ(MemoryStream_SetPointer(o.M, buffer, 5, 10), 1);
    EXPECT_EQ(MemoryStream_IsOpen(o.M), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 5);
    const Bytes twenty = Pattern(20, 4);
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

TEST(MemoryStream, LockingAndSettingsOutliveClose) {
    Owned o(true);
    EXPECT_EQ(MemoryStream_IsOpen(o.M), 0) << "created closed, with no buffer";
    EXPECT_EQ(MemoryStream_Lock(o.M), 0) << "no lock while locking is off";
    EXPECT_EQ(MemoryStream_Unlock(o.M), 0);
    MemoryStream_SetMaxCapacity(o.M, 5000);
    MemoryStream_SetAllowLock(o.M, 1);
    PutAll(o.M, Pattern(100));
    EXPECT_EQ(MemoryStream_Close(o.M), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 0);
    EXPECT_EQ(MemoryStream_GetSize(o.M), 0);
    EXPECT_EQ(o.M->MaxCapacity, 5000);
    EXPECT_EQ(MemoryStream_Lock(o.M), 1);
    EXPECT_EQ(MemoryStream_Unlock(o.M), 1);
    PutAll(o.M, Pattern(10)); // auto-grow is kept too
    MemoryStream_SetAllowLock(o.M, 0);
    EXPECT_EQ(o.M->Lock, nullptr);
}

TEST(MemoryStream, PutAppendsWhileReadAndWriteUseThePosition) {
    Owned o(true);
    uint32_t count = 9;
    uint8_t buffer[8] = {};
    EXPECT_EQ(MemoryStream_Read(o.M, buffer, 8, &count), 0) << "nothing to read in a new stream";
    EXPECT_EQ(count, 0u);
    PutAll(o.M, {'a', 'b', 'c', 'd', 'e'});
    EXPECT_EQ(Tell(o.M), 0u) << "Put does not move the position";
    EXPECT_EQ(MemoryStream_Read(o.M, buffer, 3, &count), 1);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 5) << "reading does not remove";
    EXPECT_EQ(MemoryStream_Write(o.M, "XYZ", 3, &count), 1);
    EXPECT_EQ(Content(o.M), Bytes({'a', 'b', 'c', 'X', 'Y', 'Z'}));
    MemoryStream_Seek(o.M, 1, SEEK_ORIGIN_BEGIN);
    EXPECT_EQ(MemoryStream_Put(o.M, "!", 1, &count), 1);
    EXPECT_EQ(Content(o.M), Bytes({'a', 'b', 'c', 'X', 'Y', 'Z', '!'}));
    EXPECT_EQ(Tell(o.M), 1u);
}

TEST(MemoryStream, GetTakesFromTheFront) {
    Owned o(true);
    const Bytes hundred = Pattern(100, 2);
    uint32_t count = 0;
    ASSERT_EQ(MemoryStream_Write(o.M, hundred.data(), 100, &count), 1);
    Bytes out(150, 0xEE);
    EXPECT_EQ(MemoryStream_Get(o.M, out.data(), 150, &count), 1);
    EXPECT_EQ(count, 100u);
    EXPECT_TRUE(std::equal(hundred.begin(), hundred.end(), out.begin()));
    EXPECT_EQ(out[100], 0xEE);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 0);
    EXPECT_EQ(Tell(o.M), 0u);
    count = 9;
    EXPECT_EQ(MemoryStream_Get(o.M, out.data(), 10, &count), 0) << "nothing to take";
    EXPECT_EQ(count, 0u);

    PutAll(o.M, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(MemoryStream_Get(o.M, out.data(), 2, &count), 1);
    EXPECT_EQ(Content(o.M), Bytes({3, 4, 5, 6}));

    // Without a buffer the bytes are dropped; more than there are empties the stream, and the
    // count says what really went.
    EXPECT_EQ(MemoryStream_Get(o.M, nullptr, 1000, &count), 1);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 0);
    EXPECT_EQ(MemoryStream_Get(o.M, nullptr, 10, &count), 1);
    EXPECT_EQ(count, 0u);
}

TEST(MemoryStream, Discards) {
    Owned o(true);
    PutAll(o.M, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    MemoryStream_Seek(o.M, 8, SEEK_ORIGIN_BEGIN);
    EXPECT_EQ(MemoryStream_DiscardBegin(o.M, 3), 1);
    EXPECT_EQ(Content(o.M), Bytes({3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(Tell(o.M), 7u) << "clamped, not shifted";
    EXPECT_EQ(MemoryStream_DiscardEnd(o.M, 2), 1);
    EXPECT_EQ(Content(o.M), Bytes({3, 4, 5, 6, 7}));
    EXPECT_EQ(Tell(o.M), 5u);
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
    const Bytes head = Pattern(1000, 1);
    const Bytes moving = Pattern(3000, 2);
    PutAll(target.M, head);
    PutAll(source.M, moving);
    EXPECT_EQ(MemoryStream_Fill(target.M, source.M), 1);
    EXPECT_EQ(MemoryStream_GetUsed(target.M), 2048);
    EXPECT_EQ(MemoryStream_GetUsed(source.M), 1952);
    Bytes expect = head;
    expect.insert(expect.end(), moving.begin(), moving.begin() + 1048);
    EXPECT_EQ(Content(target.M), expect);
    EXPECT_EQ(Content(source.M), Bytes(moving.begin() + 1048, moving.end()));

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
    EXPECT_EQ(Content(o.M), Bytes({'h', 'e', 'l', 'l', 'o'}));
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
    const Bytes content = Content(o.M);
    EXPECT_EQ(std::string(content.begin(), content.end()), "abcdef12-xyz10123456789" + big);
    EXPECT_EQ(Tell(o.M), 0u) << "printing does not use the position";
}

// A consumer of the unread bytes that takes `Take` of them and answers `Answer`.
struct Sink {
    uint32_t Take;
    int64_t Answer;
    std::string Got = "";
    int Calls = 0;
    static int64_t Write(void* user, const void* data, uint32_t length, uint32_t* written) {
        Sink* self = static_cast<Sink*>(user);
        self->Calls++;
        self->Got.assign((const char*)data, length);
        *written = self->Take;
        return self->Answer;
    }
};

std::string Text(MemoryStream* m) {
    const Bytes bytes = Content(m);
    return std::string(bytes.begin(), bytes.end());
}

TEST(MemoryStream, ReadToWriteCallbackRemovesWhatItHandedOn) {
    Owned o(true);
    uint32_t written = 99;
    Sink idle{3, 1};
    EXPECT_EQ(MemoryStream_ReadToWriteCallback(o.M, &idle, Sink::Write, &written), 1);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(idle.Calls, 0) << "an empty stream does not call";
    PutAll(o.M, {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    // Only the unread bytes are handed on, and those taken go: read bytes stay in front. A
    // refusal removes nothing; a consumer claiming more than it got removes only what it got.
    const struct {
        uint32_t ReadFirst, Take;
        int64_t Answer;
        const char *Handed, *Left;
        uint32_t Written;
    } steps[] = {{0, 3, 1, "0123456789", "3456789", 3},
                 {2, 2, 1, "56789", "34789", 2},
                 {0, 0, 0, "789", "34789", 0},
                 {0, 1000, 1, "789", "34", 3}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.Handed);
        uint8_t read[2];
        if (step.ReadFirst) MemoryStream_Read(o.M, read, step.ReadFirst, &written);
        Sink sink{step.Take, step.Answer};
        EXPECT_EQ(MemoryStream_ReadToWriteCallback(o.M, &sink, Sink::Write, &written), step.Answer);
        EXPECT_EQ(sink.Got, step.Handed);
        EXPECT_EQ(written, step.Written);
        EXPECT_EQ(Text(o.M), step.Left);
    }
}

// A consumer that fails after taking bytes: they leave the stream and are counted, so the next
// drain does not hand them on again.
TEST(MemoryStream, ReadToWriteCallbackNeverRepeatsBytesAFailingConsumerTook) {
    Owned o(true);
    PutAll(o.M, {'a', 'b', 'c', 'd'});
    Sink failing{2, 0};
    uint32_t written = 99;
    EXPECT_EQ(MemoryStream_ReadToWriteCallback(o.M, &failing, Sink::Write, &written), 0);
    EXPECT_EQ(written, 2u) << "the bytes that went out";
    EXPECT_EQ(Text(o.M), "cd") << "and are not handed on again";
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
    EXPECT_EQ(Content(o.M), Bytes({'a', 'b', 'c', 'X', 'Y', 'Z'})) << "unread bytes kept";
    Source liar{"12", 100};
    EXPECT_EQ(MemoryStream_WriteFromReadCallback(o.M, &liar, Source::Read, &read), 1);
    EXPECT_EQ(read, 6u) << "never more than the room offered";
    EXPECT_EQ(MemoryStream_GetUsed(o.M), 12);
    Source none{"", 0};
    EXPECT_EQ(MemoryStream_WriteFromReadCallback(o.M, &none, Source::Read, &read), 0);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(none.Calls, 0) << "no room, no call";
}

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
    EXPECT_EQ(Write(o.M, "x", 1, 0, true), 0u);
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
    EXPECT_EQ(Write(o.M, "x", 1, 1, true), 1u);
    EXPECT_EQ(MemoryStream_Close(o.M), 1);
}

TEST(MemoryStream, TransactionDropsOrKeeps) {
    for (int32_t drop : {1, 0}) {
        SCOPED_TRACE(drop);
        Owned o(true);
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
    Owned o(true);
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

TEST(MemoryStream, TransactionHoldsTheLockAgainstOtherThreads) {
    Owned o(true);
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
    EXPECT_EQ(Content(o.M), Bytes({'A', '1', 'A', '2', 'B'}));
}

TEST(MemoryStream, LockedProducerAndConsumer) {
    Owned o(true);
    MemoryStream_SetAllowLock(o.M, 1);
    constexpr uint32_t kTotal = 200000;
    const Bytes data = Pattern(kTotal, 7);
    std::thread producer([&] {
        for (uint32_t at = 0; at < kTotal;) {
            const uint32_t n = std::min<uint32_t>(97, kTotal - at);
            uint32_t written = 0;
            MemoryStream_Put(o.M, data.data() + at, n, &written);
            at += written;
        }
    });
    Bytes got;
    got.reserve(kTotal);
    uint8_t buffer[333];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (got.size() < kTotal && std::chrono::steady_clock::now() < deadline) {
        uint32_t count = 0;
        if (MemoryStream_Get(o.M, buffer, sizeof(buffer), &count))
            got.insert(got.end(), buffer, buffer + count);
        else
            std::this_thread::yield();
    }
    producer.join();
    EXPECT_EQ(got, data);
}

// Misuse stops the process with the reason.
TEST(MemoryStreamDeathTest, MisuseAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        void (*Call)(MemoryStream*);
        const char* Text;
    } cases[] = {
        {[](MemoryStream* m) {
             MemoryStream_TransactionStart(m);
             MemoryStream_TransactionStart(m);
         },
         "Assertion failed (MemoryStream->TransactionStart == -1)\nBuffer already in transaction"},
        {[](MemoryStream* m) { MemoryStream_TransactionEnd(m, 0); },
         "Assertion failed (MemoryStream->TransactionStart != -1)\nBuffer not in transaction"},
        {[](MemoryStream* m) {
             MemoryStream_Size(m, 10, 0, 0);
             uint8_t* p = nullptr;
             MemoryStream_GetPointer(m, &p);
             MemoryStream_GetAvailablePointer(m, &p);
             MemoryStream_Close(m);
         },
         "Assertion failed (MemoryStream->RefCount == 0)\n"
         "Reference to buffer not released before being reset [2]\n"},
    };
    for (const auto& c : cases) {
        EXPECT_DEATH(
            {
                InstallTestAbortHook();
                MemoryStream* m = nullptr;
                MemoryStream_Create(&m);
                c.Call(m);
            },
            AbortRegex(c.Text));
    }
}

} // namespace
