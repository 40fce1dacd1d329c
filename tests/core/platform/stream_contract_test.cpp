// Runs the common Stream contract against every kind of this folder that keeps bytes in memory:
// the memory stream, the buffered stream over it, the null stream, the stream view and both
// sides of the duplex stream.
#include "tests/core/platform/stream_contract.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "core/platform/buffered_stream.h"
#include "core/platform/duplex_stream.h"
#include "core/platform/memory_stream.h"
#include "core/platform/null_stream.h"
#include "core/platform/stream_view.h"

namespace {

using stream_contract::StreamKind;

constexpr uint32_t kMemorySlots = stream_contract::kSlotWrite | stream_contract::kSlotRead |
                                  stream_contract::kSlotSeek | stream_contract::kSlotTell |
                                  stream_contract::kSlotLength | stream_contract::kSlotIsOpen |
                                  stream_contract::kSlotClose;

// What each made stream needs to go away: the objects behind it and, for a view, its block.
std::map<Stream*, std::function<void()>>& Owners() {
    static std::map<Stream*, std::function<void()>> owners;
    return owners;
}

void Destroy(Stream* s) {
    auto it = Owners().find(s);
    ASSERT_NE(it, Owners().end());
    it->second();
    Owners().erase(it);
}

MemoryStream* MakeMemory(const std::vector<uint8_t>& content) {
    MemoryStream* ms = nullptr;
    MemoryStream_Create(&ms);
    MemoryStream_SetAutoGrow(ms, 1);
    uint32_t written = 0;
    if (!content.empty()) MemoryStream_Write(ms, content.data(), (uint32_t)content.size(), &written);
    MemoryStream_Seek(ms, 0, SEEK_ORIGIN_BEGIN);
    return ms;
}

// The buffered and the null stream answer a write of nothing with 1 (nothing asked is nothing
// failed), where the contract expects the memory kinds' 0. This record forwards every slot
// unchanged except that one answer, so the rest of the write checks still run on them; their own
// tests check the answer itself.
struct ZeroWriteAdapter {
    Stream Record{};
    Stream* Inner = nullptr;
};

Stream* Adapt(Stream* inner, std::function<void()> release) {
    ZeroWriteAdapter* a = new ZeroWriteAdapter;
    a->Inner = inner;
    Stream& r = a->Record;
    r.Handle = a;
    if (inner->Peek)
        r.Peek = [](void* h, void* b, uint32_t n, uint32_t* c) -> int64_t {
            return Stream_Peek(static_cast<ZeroWriteAdapter*>(h)->Inner, b, n, c);
        };
    if (inner->Write)
        r.Write = [](void* h, const void* b, uint32_t n, uint32_t* c) -> int64_t {
            const int64_t result = Stream_Write(static_cast<ZeroWriteAdapter*>(h)->Inner, b, n, c);
            return n == 0 ? 0 : result;
        };
    if (inner->Read)
        r.Read = [](void* h, void* b, uint32_t n, uint32_t* c) -> int64_t {
            return Stream_Read(static_cast<ZeroWriteAdapter*>(h)->Inner, b, n, c);
        };
    if (inner->Seek)
        r.Seek = [](void* h, int64_t o, SeekOrigin g) -> int64_t {
            return Stream_Seek(static_cast<ZeroWriteAdapter*>(h)->Inner, o, g);
        };
    if (inner->Flush)
        r.Flush = [](void* h) -> int64_t { return Stream_Flush(static_cast<ZeroWriteAdapter*>(h)->Inner); };
    if (inner->Tell)
        r.Tell = [](void* h, uint64_t* p) -> int64_t {
            return Stream_Tell(static_cast<ZeroWriteAdapter*>(h)->Inner, p);
        };
    if (inner->Length)
        r.Length = [](void* h, uint64_t* p) -> int64_t {
            return Stream_Length(static_cast<ZeroWriteAdapter*>(h)->Inner, p);
        };
    if (inner->IsOpen)
        r.IsOpen = [](void* h) -> int64_t { return Stream_IsOpen(static_cast<ZeroWriteAdapter*>(h)->Inner); };
    if (inner->Close)
        r.Close = [](void* h) -> int64_t { return Stream_Close(static_cast<ZeroWriteAdapter*>(h)->Inner); };
    Owners()[&r] = [a, release] {
        release();
        delete a;
    };
    return &r;
}

StreamKind MemoryKind() {
    StreamKind kind;
    kind.Name = "memory stream";
    kind.Slots = kMemorySlots;
    kind.Make = [](const std::vector<uint8_t>& content) {
        MemoryStream* ms = MakeMemory(content);
        Stream* s = nullptr;
        MemoryStream_GetStreamHandle(ms, &s);
        Owners()[s] = [ms]() mutable { MemoryStream_Delete(&ms); };
        return s;
    };
    kind.Destroy = Destroy;
    return kind;
}

StreamKind BufferedKind(int32_t bufferSize) {
    StreamKind kind;
    kind.Name = "buffered stream of " + std::to_string(bufferSize) + " over a memory stream";
    kind.Slots = kMemorySlots | stream_contract::kSlotFlush;
    kind.Make = [bufferSize](const std::vector<uint8_t>& content) {
        MemoryStream* ms = MakeMemory(content);
        Stream* base = nullptr;
        MemoryStream_GetStreamHandle(ms, &base);
        BufferedStream* bs = nullptr;
        BufferedStream_Create(&bs);
        BufferedStream_SetReadBufferSize(bs, bufferSize);
        BufferedStream_SetWriteBufferSize(bs, bufferSize);
        BufferedStream_SetBaseStreamHandle(bs, base);
        Stream* s = nullptr;
        BufferedStream_GetStreamHandle(bs, &s);
        return Adapt(s, [bs, ms]() mutable {
            BufferedStream_Delete(&bs);
            MemoryStream_Delete(&ms);
        });
    };
    kind.Destroy = Destroy;
    return kind;
}

StreamKind NullKind() {
    StreamKind kind;
    kind.Name = "null stream";
    kind.Slots = kMemorySlots | stream_contract::kSlotFlush;
    kind.ReadsContent = false;
    kind.WritesReadBack = false;
    kind.SeekOutsideFails = false;
    kind.Make = [](const std::vector<uint8_t>& content) {
        NullStream* ns = nullptr;
        NullStream_Create(&ns);
        Stream* s = nullptr;
        NullStream_GetStreamHandle(ns, &s);
        uint32_t written = 0;
        Stream_Write(s, content.data() ? (const void*)content.data() : "", (uint32_t)content.size(),
                     &written);
        Stream_Seek(s, 0, SEEK_ORIGIN_BEGIN);
        return Adapt(s, [ns]() mutable { NullStream_Delete(&ns); });
    };
    kind.Destroy = Destroy;
    return kind;
}

StreamKind ViewKind(uint32_t room) {
    StreamKind kind;
    kind.Name = "stream view with " + std::to_string(room) + " bytes of room";
    kind.Slots = kMemorySlots | stream_contract::kSlotPeek;
    kind.WriteExtends = room > 0;
    kind.Make = [room](const std::vector<uint8_t>& content) {
        // A heap block of exactly the viewed capacity, so that any access past it shows.
        const uint32_t capacity = (uint32_t)content.size() + room;
        uint8_t* block = capacity ? new uint8_t[capacity] : nullptr;
        if (!content.empty()) memcpy(block, content.data(), content.size());
        StreamView* view = nullptr;
        StreamView_Create(&view);
        StreamView_SetPointer(view, block, (uint32_t)content.size(), capacity);
        Stream* s = nullptr;
        StreamView_GetStreamHandle(view, &s);
        Owners()[s] = [view, block]() mutable {
            StreamView_Delete(&view);
            delete[] block;
        };
        return s;
    };
    kind.Destroy = Destroy;
    return kind;
}

StreamKind DuplexKind(bool readSide) {
    StreamKind kind;
    kind.Name = readSide ? "duplex stream read side" : "duplex stream write side";
    kind.Slots = kMemorySlots;
    kind.Make = [readSide](const std::vector<uint8_t>& content) {
        DuplexStream* ds = nullptr;
        DuplexStream_Create(&ds);
        MemoryStream* side = nullptr;
        if (readSide) {
            if (!content.empty()) DuplexStream_ReadPut(ds, content.data(), (uint32_t)content.size());
            DuplexStream_GetReadMemoryStreamHandle(ds, &side);
        } else {
            if (!content.empty()) DuplexStream_WritePut(ds, content.data(), (uint32_t)content.size());
            DuplexStream_GetWriteMemoryStreamHandle(ds, &side);
        }
        Stream* s = nullptr;
        MemoryStream_GetStreamHandle(side, &s);
        Owners()[s] = [ds]() mutable { DuplexStream_Delete(&ds); };
        return s;
    };
    kind.Destroy = Destroy;
    return kind;
}

TEST(StreamContractTest, MemoryStream) {
    stream_contract::RunStreamContract(MemoryKind());
}

TEST(StreamContractTest, BufferedStream) {
    for (int32_t size : {4096, 7, 1}) stream_contract::RunStreamContract(BufferedKind(size));
}

// The null stream stays open after Close (it only goes back to 0), so the close check is its
// own test's.
TEST(StreamContractTest, NullStream) {
    const StreamKind kind = NullKind();
    stream_contract::CheckSlots(kind);
    stream_contract::CheckEmptySlots(kind);
    stream_contract::CheckRead(kind);
    stream_contract::CheckPeek(kind);
    stream_contract::CheckSeekTell(kind);
    stream_contract::CheckWrite(kind);
    stream_contract::CheckBadRequests(kind);
    stream_contract::CheckLastError(kind);
}

TEST(StreamContractTest, StreamView) {
    stream_contract::RunStreamContract(ViewKind(0));
    stream_contract::RunStreamContract(ViewKind(64));
}

TEST(StreamContractTest, DuplexStreamSides) {
    stream_contract::RunStreamContract(DuplexKind(true));
    stream_contract::RunStreamContract(DuplexKind(false));
}

TEST(StreamContractTest, EveryStreamWasReleased) {
    EXPECT_TRUE(Owners().empty());
}

} // namespace
