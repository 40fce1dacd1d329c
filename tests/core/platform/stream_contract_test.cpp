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
        Owners()[s] = [bs, ms]() mutable {
            BufferedStream_Delete(&bs);
            MemoryStream_Delete(&ms);
        };
        return s;
    };
    kind.Destroy = Destroy;
    kind.EmptyWriteSucceeds = true;
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
        Owners()[s] = [ns]() mutable { NullStream_Delete(&ns); };
        return s;
    };
    kind.Destroy = Destroy;
    kind.EmptyWriteSucceeds = true;
    kind.StaysOpenAfterClose = true;
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

TEST(StreamContractTest, NullStream) {
    stream_contract::RunStreamContract(NullKind());
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
