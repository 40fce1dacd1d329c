// Reusable checks of what every Stream kind promises through its slot record: reads, writes,
// seeks, tell, length and close, and that empty slots answer 0 with their out-counts zeroed and
// no error set; for a kind layered on a base stream, that a failing base loses and repeats
// nothing. A kind's test describes the kind and calls RunStreamContract from its own TEST.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/platform/memory_stream.h"
#include "core/platform/stream.h"

namespace stream_contract {

// Which slots a kind fills.
enum : uint32_t {
    kSlotPeek = 1u << 0,
    kSlotWrite = 1u << 1,
    kSlotWriteAsync = 1u << 2,
    kSlotRead = 1u << 3,
    kSlotReadAsync = 1u << 4,
    kSlotSeek = 1u << 5,
    kSlotFlush = 1u << 6,
    kSlotTell = 1u << 7,
    kSlotLength = 1u << 8,
    kSlotIsOpen = 1u << 9,
    kSlotClose = 1u << 10,
    kSlotsOfMemory = kSlotWrite | kSlotRead | kSlotSeek | kSlotTell | kSlotLength | kSlotIsOpen | kSlotClose,
};

struct StreamKind {
    std::string Name;
    // A new stream holding exactly `content`, positioned at its start. The test owns it until
    // Destroy.
    std::function<Stream*(const std::vector<uint8_t>& content)> Make;
    std::function<void(Stream*)> Destroy;
    // For a kind layered on another stream: a new one over `base` (destroyed with Destroy).
    std::function<Stream*(Stream* base)> Wrap;
    uint32_t Slots = 0;
    // Reads deliver the bytes given to Make, never more than are left, and answer 0 with a count
    // of 0 at the end (false for a kind such as the null stream).
    bool ReadsContent = true;
    // Bytes written at the position read back after seeking there.
    bool WritesReadBack = true;
    // A write at the end makes the stream longer.
    bool WriteExtends = true;
    // Seeks outside 0..length and with an unknown origin answer 0 and leave the position; an
    // offset from the end is ignored (the end is the end).
    bool SeeksBounded = true;
    // A write of nothing answers 1 (nothing asked, nothing failed) rather than 0.
    bool EmptyWriteSucceeds = false;
    // Close only rewinds: the stream stays open afterwards (the null stream).
    bool StaysOpenAfterClose = false;
};

// Known bytes: no run repeats within 251 bytes, so an offset error shows.
inline std::vector<uint8_t> Pattern(size_t size, uint8_t seed = 0) {
    std::vector<uint8_t> out(size);
    for (size_t i = 0; i < size; i++) out[i] = (uint8_t)((i % 251) * 7 + seed);
    return out;
}

// The used bytes of a memory stream.
inline std::vector<uint8_t> Bytes(MemoryStream* m) {
    uint8_t* p = nullptr;
    if (!MemoryStream_GetPointer(m, &p)) return {};
    std::vector<uint8_t> out(p, p + MemoryStream_GetUsed(m));
    MemoryStream_ReleasePointer(m, &p);
    return out;
}

// A growing memory stream holding `content`, positioned at its start.
inline MemoryStream* NewMemory(const std::vector<uint8_t>& content = {}) {
    MemoryStream* m = nullptr;
    MemoryStream_Create(&m);
    MemoryStream_SetAutoGrow(m, 1);
    uint32_t written = 0;
    if (!content.empty()) MemoryStream_Put(m, content.data(), (uint32_t)content.size(), &written);
    return m;
}

// A base stream over a memory stream that records what a layer asks of it and can be told to
// fail: writes after the next `WritesUntilFailure` answer 0 (taking `TakenOnFailure` bytes all the
// same, as a write cut by a full disk does), seeks are refused, reads fail with an error code.
struct SpyBase {
    Stream Record{};
    MemoryStream* Memory = nullptr;
    Stream* Inner = nullptr;
    std::vector<uint32_t> ReadAsks, ReadGots, WriteSizes;
    std::vector<std::pair<int64_t, uint32_t>> Seeks;
    int32_t WritesUntilFailure = -1; // -1: never
    uint32_t TakenOnFailure = 0;
    uint32_t WriteLimit = UINT32_MAX; // a short write, still a success
    bool RefuseSeeks = false;
    int32_t ReadError = 0;

    explicit SpyBase(const std::vector<uint8_t>& content = {}) : Memory(NewMemory(content)) {
        MemoryStream_GetStreamHandle(Memory, &Inner);
        if (content.empty()) MemoryStream_Size(Memory, 16, 0, 0); // open, as an empty file is
        Record.Handle = this;
        Record.Read = [](void* h, void* buffer, uint32_t size, uint32_t* read) -> int64_t {
            SpyBase* spy = static_cast<SpyBase*>(h);
            spy->ReadAsks.push_back(size);
            if (spy->ReadError) Stream_SetLastError(&spy->Record, spy->ReadError);
            const int64_t result = spy->ReadError ? 0 : Stream_Read(spy->Inner, buffer, size, read);
            spy->ReadGots.push_back(*read);
            return result;
        };
        Record.Write = [](void* h, const void* data, uint32_t size, uint32_t* written) -> int64_t {
            SpyBase* spy = static_cast<SpyBase*>(h);
            spy->WriteSizes.push_back(size);
            if (spy->WritesUntilFailure != 0) {
                if (spy->WritesUntilFailure > 0) spy->WritesUntilFailure--;
                return Stream_Write(spy->Inner, data, std::min(size, spy->WriteLimit), written);
            }
            const uint32_t taken = std::min(size, spy->TakenOnFailure);
            if (taken) Stream_Write(spy->Inner, data, taken, written);
            return 0;
        };
        Record.Seek = [](void* h, int64_t offset, SeekOrigin origin) -> int64_t {
            SpyBase* spy = static_cast<SpyBase*>(h);
            spy->Seeks.emplace_back(offset, origin);
            return spy->RefuseSeeks ? 0 : Stream_Seek(spy->Inner, offset, origin);
        };
        Record.Tell = [](void* h, uint64_t* at) { return Stream_Tell(static_cast<SpyBase*>(h)->Inner, at); };
        Record.Length = [](void* h, uint64_t* n) {
            return Stream_Length(static_cast<SpyBase*>(h)->Inner, n);
        };
        Record.IsOpen = [](void* h) { return Stream_IsOpen(static_cast<SpyBase*>(h)->Inner); };
        Record.Close = [](void* h) { return Stream_Close(static_cast<SpyBase*>(h)->Inner); };
    }
    ~SpyBase() { MemoryStream_Delete(&Memory); }
    SpyBase(const SpyBase&) = delete;
    SpyBase& operator=(const SpyBase&) = delete;
    std::vector<uint8_t> Content() const { return Bytes(Memory); }
    uint64_t Position() const {
        uint64_t position = 0;
        MemoryStream_Tell(Memory, &position);
        return position;
    }
};

struct Holder {
    const StreamKind& Kind;
    Stream* S;
    Holder(const StreamKind& kind, const std::vector<uint8_t>& content) : Kind(kind), S(kind.Make(content)) {}
    Holder(const StreamKind& kind, Stream* s) : Kind(kind), S(s) {}
    ~Holder() {
        if (S) Kind.Destroy(S);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
};

inline bool Has(const StreamKind& kind, uint32_t slot) {
    return (kind.Slots & slot) != 0;
}

inline int64_t NoCompletion(void*, void*, uint64_t, void*, uint32_t, int32_t) {
    return 1;
}

inline uint64_t Tell(Stream* s) {
    uint64_t position = 0xDEAD;
    EXPECT_EQ(Stream_Tell(s, &position), 1);
    return position;
}

// Reads until the stream answers 0 or stops delivering, in chunks of `chunk` bytes.
inline std::vector<uint8_t> ReadAll(Stream* s, uint32_t chunk) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buffer(chunk);
    for (int guard = 0; guard < 100000; guard++) {
        uint32_t count = 0xDEADBEEF;
        const int64_t ok = Stream_Read(s, buffer.data(), chunk, &count);
        if (!ok) {
            EXPECT_EQ(count, 0u) << "a failed read reports no bytes";
            break;
        }
        EXPECT_GT(count, 0u) << "a successful read delivers bytes";
        EXPECT_LE(count, chunk);
        if (count == 0 || count > chunk) break;
        out.insert(out.end(), buffer.begin(), buffer.begin() + count);
    }
    return out;
}

// The Can queries agree with the slots, and the record's slots with the kind's description.
inline void CheckSlots(const StreamKind& kind) {
    Holder h(kind, Pattern(16));
    ASSERT_NE(h.S, nullptr);
    int64_t (*const can[])(Stream*) = {Stream_CanPeek,   Stream_CanWrite,     Stream_CanWriteAsync,
                                       Stream_CanRead,   Stream_CanReadAsync, Stream_CanSeek,
                                       Stream_CanFlush,  Stream_CanTell,      Stream_CanLength,
                                       Stream_CanIsOpen, Stream_CanClose};
    for (uint32_t i = 0; i < 11; i++) EXPECT_EQ(can[i](h.S), Has(kind, 1u << i) ? 1 : 0) << "slot " << i;
    EXPECT_NE(h.S->Handle, nullptr) << "the record names its owner";
    EXPECT_EQ(Stream_GetLastError(h.S), 0) << "a new stream has no error";
}

// Every empty slot: the dispatch answers 0, zeroes its out-count and sets no error.
inline void CheckEmptySlots(const StreamKind& kind) {
    Holder h(kind, Pattern(16));
    ASSERT_NE(h.S, nullptr);
    Stream* s = h.S;
    Stream_SetLastError(s, -7); // a marker the dispatch must leave alone
    uint8_t buffer[8] = {};
    const std::pair<uint32_t, int64_t (*)(Stream*, void*, uint32_t, uint32_t*)> counted[] = {
        {kSlotPeek, Stream_Peek},
        {kSlotWrite, [](Stream* st, void* b, uint32_t n, uint32_t* c) { return Stream_Write(st, b, n, c); }},
        {kSlotRead, Stream_Read}};
    for (const auto& [slot, call] : counted) {
        if (Has(kind, slot)) continue;
        uint32_t count = 0xDEADBEEF;
        EXPECT_EQ(call(s, buffer, sizeof(buffer), &count), 0) << "slot " << slot;
        EXPECT_EQ(count, 0u) << "slot " << slot;
    }
    const std::pair<uint32_t, int64_t (*)(Stream*, uint64_t*)> valued[] = {{kSlotTell, Stream_Tell},
                                                                           {kSlotLength, Stream_Length}};
    for (const auto& [slot, call] : valued) {
        if (Has(kind, slot)) continue;
        uint64_t value = 0xDEADBEEFDEADBEEFull;
        EXPECT_EQ(call(s, &value), 0) << "slot " << slot;
        EXPECT_EQ(value, 0u) << "slot " << slot;
    }
    const std::pair<uint32_t, int64_t (*)(Stream*)> plain[] = {
        {kSlotWriteAsync, [](Stream* st) { return Stream_WriteAsync(st, 0, "", 1, nullptr, NoCompletion); }},
        {kSlotReadAsync,
         [](Stream* st) { return Stream_ReadAsync(st, 0, (void*)"", 1, nullptr, NoCompletion); }},
        {kSlotSeek, [](Stream* st) { return Stream_Seek(st, 0, SEEK_ORIGIN_BEGIN); }},
        {kSlotFlush, Stream_Flush},
        {kSlotIsOpen, Stream_IsOpen},
        {kSlotClose, Stream_Close}};
    for (const auto& [slot, call] : plain) {
        if (!Has(kind, slot)) {
            EXPECT_EQ(call(s), 0) << "slot " << slot;
        }
    }
    EXPECT_EQ(Stream_GetLastError(s), -7) << "an empty slot sets no error";
}

// Reads return the content in order, whatever the chunk size, then answer 0 with 0 bytes;
// tell follows the reads and length is the content's.
inline void CheckRead(const StreamKind& kind) {
    if (!Has(kind, kSlotRead) || !kind.ReadsContent) return;
    for (size_t size : {0, 1, 5000}) {
        for (uint32_t chunk : {1u, 7u, 4096u, 100000u}) {
            if (size > 1000 && chunk < 7) continue;
            SCOPED_TRACE("size " + std::to_string(size) + " chunk " + std::to_string(chunk));
            const std::vector<uint8_t> content = Pattern(size, 3);
            Holder h(kind, content);
            ASSERT_NE(h.S, nullptr);
            EXPECT_EQ(ReadAll(h.S, chunk), content);
            uint8_t byte = 0;
            uint32_t count = 0xDEADBEEF;
            EXPECT_EQ(Stream_Read(h.S, &byte, 1, &count), 0) << "end of data";
            EXPECT_EQ(count, 0u);
            if (Has(kind, kSlotTell)) {
                EXPECT_EQ(Tell(h.S), (uint64_t)size);
            }
            uint64_t length = 0;
            if (Has(kind, kSlotLength)) {
                EXPECT_EQ(Stream_Length(h.S, &length), 1);
                EXPECT_EQ(length, (uint64_t)size);
            }
            EXPECT_EQ(Stream_GetLastError(h.S), 0) << "reading to the end is no error";
        }
    }
}

// Peek shows the next bytes without consuming them.
inline void CheckPeek(const StreamKind& kind) {
    if (!Has(kind, kSlotPeek) || !Has(kind, kSlotRead) || !kind.ReadsContent) return;
    const std::vector<uint8_t> content = Pattern(100, 5);
    Holder h(kind, content);
    ASSERT_NE(h.S, nullptr);
    uint8_t peeked[10] = {};
    uint32_t count = 0;
    ASSERT_EQ(Stream_Peek(h.S, peeked, sizeof(peeked), &count), 1);
    ASSERT_GT(count, 0u);
    ASSERT_LE(count, sizeof(peeked));
    EXPECT_EQ(std::vector<uint8_t>(peeked, peeked + count),
              std::vector<uint8_t>(content.begin(), content.begin() + count));
    EXPECT_EQ(ReadAll(h.S, 64), content) << "peeking consumed nothing";
}

// Seeks of every origin from a known position, over 5,000 bytes: where they land, what a read
// sees there, and that a refused seek leaves the position.
inline void CheckSeekTell(const StreamKind& kind) {
    if (!Has(kind, kSlotSeek) || !Has(kind, kSlotTell)) return;
    const std::vector<uint8_t> content = Pattern(5000, 9);
    Holder h(kind, content);
    ASSERT_NE(h.S, nullptr);
    Stream* s = h.S;
    const bool reads = Has(kind, kSlotRead) && kind.ReadsContent;
    const struct {
        uint64_t From;
        int64_t Offset;
        SeekOrigin Origin;
        int64_t Result;
        uint64_t Position;
        bool Bounded; // holds only for a bounded kind
    } cases[] = {
        {0, 1234, SEEK_ORIGIN_BEGIN, 1, 1234, false},
        {1234, -34, SEEK_ORIGIN_CURRENT, 1, 1200, false},
        {1200, 0, SEEK_ORIGIN_CURRENT, 1, 1200, false},
        {1200, 0, SEEK_ORIGIN_BEGIN, 1, 0, false},
        {100, -100, SEEK_ORIGIN_CURRENT, 1, 0, false},
        {10, 0, SEEK_ORIGIN_END, 1, 5000, false},
        {0, 5000, SEEK_ORIGIN_BEGIN, 1, 5000, false},
        {100, 4900, SEEK_ORIGIN_CURRENT, 1, 5000, false},
        {4990, 5000, SEEK_ORIGIN_BEGIN, 1, 5000, false},
        {4990, 10, SEEK_ORIGIN_CURRENT, 1, 5000, false},
        {4990, 5001, SEEK_ORIGIN_BEGIN, 0, 4990, true},
        {4990, 11, SEEK_ORIGIN_CURRENT, 0, 4990, true},
        {10, 100, SEEK_ORIGIN_END, 1, 5000, true},
        {10, -100, SEEK_ORIGIN_END, 1, 5000, true},
        {100, -1, SEEK_ORIGIN_BEGIN, 0, 100, true},
        {100, 5001, SEEK_ORIGIN_BEGIN, 0, 100, true},
        {100, INT64_MIN, SEEK_ORIGIN_BEGIN, 0, 100, true},
        {100, INT64_MAX, SEEK_ORIGIN_BEGIN, 0, 100, true},
        {100, -101, SEEK_ORIGIN_CURRENT, 0, 100, true},
        {100, 4901, SEEK_ORIGIN_CURRENT, 0, 100, true},
        {100, INT64_MIN, SEEK_ORIGIN_CURRENT, 0, 100, true},
        {100, INT64_MAX, SEEK_ORIGIN_CURRENT, 0, 100, true},
        {100, 0, 3, 0, 100, true},
        {100, 0, 0xFFFFFFFF, 0, 100, true},
    };
    for (const auto& c : cases) {
        if (c.Bounded && !kind.SeeksBounded) continue;
        SCOPED_TRACE(std::to_string(c.Offset) + " origin " + std::to_string(c.Origin) + " from " +
                     std::to_string(c.From));
        ASSERT_EQ(Stream_Seek(s, (int64_t)c.From, SEEK_ORIGIN_BEGIN), 1);
        if (reads && c.From > 0) { // through a layer's buffers: read up to the position
            ASSERT_EQ(Stream_Seek(s, -1, SEEK_ORIGIN_CURRENT), 1);
            uint8_t byte = 0;
            uint32_t count = 0;
            ASSERT_EQ(Stream_Read(s, &byte, 1, &count), 1);
        }
        EXPECT_EQ(Stream_Seek(s, c.Offset, c.Origin), c.Result);
        EXPECT_EQ(Tell(s), c.Position);
        if (reads && c.Position < content.size()) {
            uint8_t bytes[16] = {};
            uint32_t count = 0;
            EXPECT_EQ(Stream_Read(s, bytes, sizeof(bytes), &count), 1);
            EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + count),
                      std::vector<uint8_t>(content.begin() + c.Position,
                                           content.begin() + std::min<size_t>(c.Position + 16, 5000)));
        }
    }
    if (reads) {
        ASSERT_EQ(Stream_Seek(s, 0, SEEK_ORIGIN_BEGIN), 1);
        EXPECT_EQ(ReadAll(s, 4096), content) << "a rewind reads it all again";
    }
    EXPECT_EQ(Stream_GetLastError(s), 0);
}

// Writes over the content, at the end, and of nothing.
inline void CheckWrite(const StreamKind& kind) {
    if (!Has(kind, kSlotWrite)) return;
    std::vector<uint8_t> content = Pattern(300, 11);
    Holder h(kind, content);
    ASSERT_NE(h.S, nullptr);
    Stream* s = h.S;
    const uint8_t text[] = {'A', 'B', 'C', 'D', 'E'};
    uint32_t count = 0xDEADBEEF;
    EXPECT_EQ(Stream_Write(s, text, 0, &count), kind.EmptyWriteSucceeds ? 1 : 0) << "a write of nothing";
    EXPECT_EQ(count, 0u);

    const bool canPlace = Has(kind, kSlotSeek) && Has(kind, kSlotRead) && kind.ReadsContent;
    if (!canPlace || !kind.WritesReadBack) {
        EXPECT_EQ(Stream_Write(s, text, sizeof(text), &count), 1);
        EXPECT_EQ(count, sizeof(text));
        if (Has(kind, kSlotFlush)) {
            EXPECT_EQ(Stream_Flush(s), 1);
        }
        EXPECT_EQ(Stream_GetLastError(s), 0);
        return;
    }
    ASSERT_EQ(Stream_Seek(s, 10, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Stream_Write(s, text, sizeof(text), &count), 1);
    EXPECT_EQ(count, sizeof(text));
    if (Has(kind, kSlotTell)) {
        EXPECT_EQ(Tell(s), 15u) << "a write advances the position";
    }
    std::copy(text, text + sizeof(text), content.begin() + 10);

    ASSERT_EQ(Stream_Seek(s, 0, SEEK_ORIGIN_END), 1);
    count = 0xDEADBEEF;
    const int64_t appended = Stream_Write(s, text, sizeof(text), &count);
    EXPECT_EQ(appended, kind.WriteExtends ? 1 : 0);
    EXPECT_EQ(count, kind.WriteExtends ? sizeof(text) : 0u);
    if (kind.WriteExtends) content.insert(content.end(), text, text + sizeof(text));
    if (Has(kind, kSlotFlush)) {
        EXPECT_EQ(Stream_Flush(s), 1);
    }
    uint64_t length = 0;
    if (Has(kind, kSlotLength)) {
        EXPECT_EQ(Stream_Length(s, &length), 1);
        EXPECT_EQ(length, (uint64_t)content.size());
    }
    ASSERT_EQ(Stream_Seek(s, 0, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(ReadAll(s, 64), content);
    EXPECT_EQ(Stream_GetLastError(s), 0);
}

// Reads of nothing and requests far larger than the content: defined answers, no overrun.
inline void CheckBadRequests(const StreamKind& kind) {
    if (!Has(kind, kSlotRead) || !kind.ReadsContent) return;
    const std::vector<uint8_t> content = Pattern(100, 13);
    Holder h(kind, content);
    ASSERT_NE(h.S, nullptr);
    Stream* s = h.S;
    std::vector<uint8_t> buffer(content.size() + 64, 0xEE);
    uint32_t count = 0xDEADBEEF;
    Stream_Read(s, buffer.data(), 0, &count);
    EXPECT_EQ(count, 0u) << "a read of nothing delivers nothing";
    // The whole rest and no more, whatever the request says.
    EXPECT_EQ(Stream_Read(s, buffer.data(), UINT32_MAX, &count), 1);
    ASSERT_EQ(count, content.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 100), content);
    EXPECT_EQ(buffer[100], 0xEE) << "nothing written past what was delivered";
    count = 0xDEADBEEF;
    EXPECT_EQ(Stream_Read(s, buffer.data(), UINT32_MAX, &count), 0);
    EXPECT_EQ(count, 0u);
}

// Close answers 1; afterwards the stream is not open and delivers nothing.
inline void CheckClose(const StreamKind& kind) {
    if (!Has(kind, kSlotClose)) return;
    Holder h(kind, Pattern(100));
    ASSERT_NE(h.S, nullptr);
    if (Has(kind, kSlotIsOpen)) {
        EXPECT_EQ(Stream_IsOpen(h.S), 1);
    }
    EXPECT_EQ(Stream_Close(h.S), 1);
    if (Has(kind, kSlotIsOpen)) {
        EXPECT_EQ(Stream_IsOpen(h.S), kind.StaysOpenAfterClose ? 1 : 0);
    }
    if (Has(kind, kSlotRead) && kind.ReadsContent) {
        uint8_t buffer[16];
        uint32_t count = 0xDEADBEEF;
        EXPECT_EQ(Stream_Read(h.S, buffer, sizeof(buffer), &count), 0);
        EXPECT_EQ(count, 0u);
    }
}

// Writes through the layer while its base fails, taking nothing or a few bytes of each write: the
// failure is reported (no call answers 1 while bytes are held back for good), the count never
// claims more than was given, and a close that cannot hand the base every byte the layer took
// answers 0.
inline void CheckFailingBaseIsReported(const StreamKind& kind) {
    if (!kind.Wrap) return;
    for (uint32_t taken : {0u, 3u}) {
        SCOPED_TRACE("the failing write takes " + std::to_string(taken));
        const std::vector<uint8_t> data = Pattern(1000, 21);
        SpyBase base;
        base.WritesUntilFailure = 0;
        base.TakenOnFailure = taken;
        Holder h(kind, kind.Wrap(&base.Record));
        uint32_t count = 0;
        int64_t answer = Stream_Write(h.S, data.data(), (uint32_t)data.size(), &count);
        EXPECT_LE(count, data.size());
        if (answer) answer = Stream_Flush(h.S);
        EXPECT_EQ(answer, 0) << "the base did not take it all: no success";
        const bool held = base.Content().size() < count;
        EXPECT_EQ(Stream_Close(h.S), held ? 0 : 1) << "bytes are lost with the close";
    }
}

// The base fails (taking `taken` bytes of the failing write), then recovers: going on with the
// writes and flushing puts every byte in the base exactly once, in order.
inline void CheckFailingBaseLosesAndRepeatsNothing(const StreamKind& kind, uint32_t taken) {
    if (!kind.Wrap) return;
    const std::vector<uint8_t> data = Pattern(1000, 21);
    SpyBase base;
    base.WritesUntilFailure = 0;
    base.TakenOnFailure = taken;
    Holder h(kind, kind.Wrap(&base.Record));
    uint32_t done = 0, failures = 0;
    while (done < data.size() && failures < 100) {
        uint32_t count = 0;
        if (!Stream_Write(h.S, data.data() + done, (uint32_t)data.size() - done, &count) && ++failures == 2)
            base.WritesUntilFailure = -1; // the base recovers
        done += count;
    }
    EXPECT_EQ(done, data.size());
    Stream_Flush(h.S); // may still meet the failing base
    base.WritesUntilFailure = -1;
    EXPECT_EQ(Stream_Flush(h.S), 1);
    EXPECT_EQ(base.Content(), data);
}

inline void RunStreamContract(const StreamKind& kind) {
    SCOPED_TRACE(kind.Name);
    CheckSlots(kind);
    CheckEmptySlots(kind);
    CheckRead(kind);
    CheckPeek(kind);
    CheckSeekTell(kind);
    CheckWrite(kind);
    CheckBadRequests(kind);
    CheckClose(kind);
    CheckFailingBaseIsReported(kind);
    CheckFailingBaseLosesAndRepeatsNothing(kind, 0);
}

} // namespace stream_contract
