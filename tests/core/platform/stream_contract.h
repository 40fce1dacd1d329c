// Reusable checks of what every Stream kind promises through its slot record: reads, writes,
// seeks, tell, length, close and the last error, and that empty slots answer 0 with their
// out-counts zeroed and no error set. A kind's test describes the kind and calls
// RunStreamContract (or single Check functions) from its own TESTs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
    kSlotAll = (1u << 11) - 1,
};

struct StreamKind {
    std::string Name;
    // A new stream holding exactly `content`, positioned at its start. The test owns it until
    // Destroy.
    std::function<Stream*(const std::vector<uint8_t>& content)> Make;
    std::function<void(Stream*)> Destroy;
    uint32_t Slots = 0;
    // Reads deliver the bytes given to Make, never more than are left, and answer 0 with a count
    // of 0 at the end (false for a kind such as the null stream).
    bool ReadsContent = true;
    // Bytes written at the position read back after seeking there.
    bool WritesReadBack = true;
    // A write at the end makes the stream longer.
    bool WriteExtends = true;
    // Seeks outside 0..length answer 0 and leave the position.
    bool SeekOutsideFails = true;
    // Length reports the number of content bytes.
    bool LengthIsContent = true;
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

// Sizes every check runs over: empty, one byte, and more than one copy buffer.
inline std::vector<size_t> ContentSizes() {
    return {0, 1, 5000};
}

struct Holder {
    const StreamKind& Kind;
    Stream* S;
    Holder(const StreamKind& kind, const std::vector<uint8_t>& content) : Kind(kind), S(kind.Make(content)) {}
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
    SCOPED_TRACE(kind.Name);
    Holder h(kind, Pattern(16));
    ASSERT_NE(h.S, nullptr);
    EXPECT_EQ(Stream_CanPeek(h.S), Has(kind, kSlotPeek) ? 1 : 0);
    EXPECT_EQ(Stream_CanWrite(h.S), Has(kind, kSlotWrite) ? 1 : 0);
    EXPECT_EQ(Stream_CanWriteAsync(h.S), Has(kind, kSlotWriteAsync) ? 1 : 0);
    EXPECT_EQ(Stream_CanRead(h.S), Has(kind, kSlotRead) ? 1 : 0);
    EXPECT_EQ(Stream_CanReadAsync(h.S), Has(kind, kSlotReadAsync) ? 1 : 0);
    EXPECT_EQ(Stream_CanSeek(h.S), Has(kind, kSlotSeek) ? 1 : 0);
    EXPECT_EQ(Stream_CanFlush(h.S), Has(kind, kSlotFlush) ? 1 : 0);
    EXPECT_EQ(Stream_CanTell(h.S), Has(kind, kSlotTell) ? 1 : 0);
    EXPECT_EQ(Stream_CanLength(h.S), Has(kind, kSlotLength) ? 1 : 0);
    EXPECT_EQ(Stream_CanIsOpen(h.S), Has(kind, kSlotIsOpen) ? 1 : 0);
    EXPECT_EQ(Stream_CanClose(h.S), Has(kind, kSlotClose) ? 1 : 0);
    EXPECT_NE(h.S->Handle, nullptr) << "the record names its owner";
    EXPECT_EQ(Stream_GetLastError(h.S), 0) << "a new stream has no error";
}

// Every empty slot: the dispatch answers 0, zeroes its out-count and sets no error.
inline void CheckEmptySlots(const StreamKind& kind) {
    SCOPED_TRACE(kind.Name);
    Holder h(kind, Pattern(16));
    ASSERT_NE(h.S, nullptr);
    Stream* s = h.S;
    Stream_SetLastError(s, -7); // a marker the dispatch must leave alone
    uint8_t buffer[8] = {};
    uint32_t count = 0xDEADBEEF;
    uint64_t value = 0xDEADBEEFDEADBEEFull;
    if (!Has(kind, kSlotPeek)) {
        EXPECT_EQ(Stream_Peek(s, buffer, sizeof(buffer), &count), 0);
        EXPECT_EQ(count, 0u);
        count = 0xDEADBEEF;
    }
    if (!Has(kind, kSlotWrite)) {
        EXPECT_EQ(Stream_Write(s, buffer, sizeof(buffer), &count), 0);
        EXPECT_EQ(count, 0u);
        count = 0xDEADBEEF;
    }
    if (!Has(kind, kSlotRead)) {
        EXPECT_EQ(Stream_Read(s, buffer, sizeof(buffer), &count), 0);
        EXPECT_EQ(count, 0u);
        count = 0xDEADBEEF;
    }
    if (!Has(kind, kSlotWriteAsync)) {
        EXPECT_EQ(Stream_WriteAsync(s, 0, buffer, sizeof(buffer), nullptr, NoCompletion), 0);
    }
    if (!Has(kind, kSlotReadAsync)) {
        EXPECT_EQ(Stream_ReadAsync(s, 0, buffer, sizeof(buffer), nullptr, NoCompletion), 0);
    }
    if (!Has(kind, kSlotSeek)) {
        EXPECT_EQ(Stream_Seek(s, 0, SEEK_ORIGIN_BEGIN), 0);
    }
    if (!Has(kind, kSlotFlush)) {
        EXPECT_EQ(Stream_Flush(s), 0);
    }
    if (!Has(kind, kSlotTell)) {
        EXPECT_EQ(Stream_Tell(s, &value), 0);
        EXPECT_EQ(value, 0u);
        value = 0xDEADBEEFDEADBEEFull;
    }
    if (!Has(kind, kSlotLength)) {
        EXPECT_EQ(Stream_Length(s, &value), 0);
        EXPECT_EQ(value, 0u);
    }
    if (!Has(kind, kSlotIsOpen)) {
        EXPECT_EQ(Stream_IsOpen(s), 0);
    }
    if (!Has(kind, kSlotClose)) {
        EXPECT_EQ(Stream_Close(s), 0);
    }
    EXPECT_EQ(Stream_GetLastError(s), -7) << "an empty slot sets no error";
}

// Reads return the content in order, whatever the chunk size, then answer 0 with 0 bytes;
// tell follows the reads and length is the content's.
inline void CheckRead(const StreamKind& kind) {
    if (!Has(kind, kSlotRead) || !kind.ReadsContent) return;
    for (size_t size : ContentSizes()) {
        for (uint32_t chunk : {1u, 7u, 4096u, 100000u}) {
            if (size > 1000 && chunk < 7) continue;
            SCOPED_TRACE(kind.Name + " size " + std::to_string(size) + " chunk " + std::to_string(chunk));
            const std::vector<uint8_t> content = Pattern(size, 3);
            Holder h(kind, content);
            ASSERT_NE(h.S, nullptr);
            EXPECT_EQ(ReadAll(h.S, chunk), content);
            uint8_t byte = 0;
            uint32_t count = 0xDEADBEEF;
            EXPECT_EQ(Stream_Read(h.S, &byte, 1, &count), 0) << "end of data";
            EXPECT_EQ(count, 0u);
            uint64_t value = 0;
            if (Has(kind, kSlotTell)) {
                EXPECT_EQ(Stream_Tell(h.S, &value), 1);
                EXPECT_EQ(value, (uint64_t)size);
            }
            if (Has(kind, kSlotLength) && kind.LengthIsContent) {
                EXPECT_EQ(Stream_Length(h.S, &value), 1);
                EXPECT_EQ(value, (uint64_t)size);
            }
            EXPECT_EQ(Stream_GetLastError(h.S), 0) << "reading to the end is no error";
        }
    }
}

// Peek shows the next bytes without consuming them.
inline void CheckPeek(const StreamKind& kind) {
    if (!Has(kind, kSlotPeek) || !Has(kind, kSlotRead) || !kind.ReadsContent) return;
    SCOPED_TRACE(kind.Name);
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

// Seeks from the start, from the current position and to the end, and what reads see after.
inline void CheckSeekTell(const StreamKind& kind) {
    if (!Has(kind, kSlotSeek) || !Has(kind, kSlotTell)) return;
    SCOPED_TRACE(kind.Name);
    const std::vector<uint8_t> content = Pattern(5000, 9);
    Holder h(kind, content);
    ASSERT_NE(h.S, nullptr);
    Stream* s = h.S;
    uint64_t position = 0;

    EXPECT_EQ(Stream_Seek(s, 1234, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Stream_Tell(s, &position), 1);
    EXPECT_EQ(position, 1234u);
    EXPECT_EQ(Stream_Seek(s, -34, SEEK_ORIGIN_CURRENT), 1);
    EXPECT_EQ(Stream_Tell(s, &position), 1);
    EXPECT_EQ(position, 1200u);
    EXPECT_EQ(Stream_Seek(s, 0, SEEK_ORIGIN_CURRENT), 1);
    EXPECT_EQ(Stream_Tell(s, &position), 1);
    EXPECT_EQ(position, 1200u);
    if (Has(kind, kSlotRead) && kind.ReadsContent) {
        uint8_t buffer[16] = {};
        uint32_t count = 0;
        EXPECT_EQ(Stream_Read(s, buffer, sizeof(buffer), &count), 1);
        ASSERT_EQ(count, sizeof(buffer));
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 16),
                  std::vector<uint8_t>(content.begin() + 1200, content.begin() + 1216));
    }
    EXPECT_EQ(Stream_Seek(s, 0, SEEK_ORIGIN_END), 1);
    EXPECT_EQ(Stream_Tell(s, &position), 1);
    if (kind.LengthIsContent) {
        EXPECT_EQ(position, 5000u);
    }
    EXPECT_EQ(Stream_Seek(s, 0, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Stream_Tell(s, &position), 1);
    EXPECT_EQ(position, 0u);
    if (Has(kind, kSlotRead) && kind.ReadsContent) {
        EXPECT_EQ(ReadAll(s, 4096), content) << "a rewind reads it all again";
    }

    if (kind.SeekOutsideFails) {
        EXPECT_EQ(Stream_Seek(s, 100, SEEK_ORIGIN_BEGIN), 1);
        const struct {
            int64_t Offset;
            SeekOrigin Origin;
        } outside[] = {
            {-1, SEEK_ORIGIN_BEGIN},          {5001, SEEK_ORIGIN_BEGIN},
            {INT64_MIN, SEEK_ORIGIN_BEGIN},   {INT64_MAX, SEEK_ORIGIN_BEGIN},
            {-101, SEEK_ORIGIN_CURRENT},      {4901, SEEK_ORIGIN_CURRENT},
            {INT64_MIN, SEEK_ORIGIN_CURRENT}, {INT64_MAX, SEEK_ORIGIN_CURRENT},
        };
        for (const auto& c : outside) {
            SCOPED_TRACE("offset " + std::to_string(c.Offset) + " origin " + std::to_string(c.Origin));
            EXPECT_EQ(Stream_Seek(s, c.Offset, c.Origin), 0);
            EXPECT_EQ(Stream_Tell(s, &position), 1);
            EXPECT_EQ(position, 100u) << "a refused seek leaves the position";
        }
    }
    EXPECT_EQ(Stream_GetLastError(s), 0);
}

// Writes over the content, at the end, and of nothing.
inline void CheckWrite(const StreamKind& kind) {
    if (!Has(kind, kSlotWrite)) return;
    SCOPED_TRACE(kind.Name);
    std::vector<uint8_t> content = Pattern(300, 11);
    Holder h(kind, content);
    ASSERT_NE(h.S, nullptr);
    Stream* s = h.S;
    const uint8_t text[] = {'A', 'B', 'C', 'D', 'E'};
    uint32_t count = 0xDEADBEEF;

    // A write of nothing moves nothing.
    EXPECT_EQ(Stream_Write(s, text, 0, &count), kind.EmptyWriteSucceeds ? 1 : 0);
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
    uint64_t position = 0;
    if (Has(kind, kSlotTell)) {
        EXPECT_EQ(Stream_Tell(s, &position), 1);
        EXPECT_EQ(position, 15u) << "a write advances the position";
    }
    for (size_t i = 0; i < sizeof(text); i++) content[10 + i] = text[i];

    ASSERT_EQ(Stream_Seek(s, 0, SEEK_ORIGIN_END), 1);
    count = 0xDEADBEEF;
    const int64_t appended = Stream_Write(s, text, sizeof(text), &count);
    if (kind.WriteExtends) {
        EXPECT_EQ(appended, 1);
        EXPECT_EQ(count, sizeof(text));
        content.insert(content.end(), text, text + sizeof(text));
    } else {
        EXPECT_EQ(appended, 0) << "no room past the end";
        EXPECT_EQ(count, 0u);
    }
    if (Has(kind, kSlotFlush)) {
        EXPECT_EQ(Stream_Flush(s), 1);
    }
    if (Has(kind, kSlotLength) && kind.LengthIsContent) {
        EXPECT_EQ(Stream_Length(s, &position), 1);
        EXPECT_EQ(position, (uint64_t)content.size());
    }
    ASSERT_EQ(Stream_Seek(s, 0, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(ReadAll(s, 64), content);
    EXPECT_EQ(Stream_GetLastError(s), 0);
}

// Reads of nothing and requests far larger than the content: defined answers, no overrun.
inline void CheckBadRequests(const StreamKind& kind) {
    if (!Has(kind, kSlotRead) || !kind.ReadsContent) return;
    SCOPED_TRACE(kind.Name);
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
    SCOPED_TRACE(kind.Name);
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

// The last error lives in the record: set, read, cleared; only positive codes are errors.
inline void CheckLastError(const StreamKind& kind) {
    SCOPED_TRACE(kind.Name);
    Holder h(kind, Pattern(10));
    ASSERT_NE(h.S, nullptr);
    Stream* s = h.S;
    EXPECT_EQ(Stream_HasError(s), 0);
    EXPECT_EQ(Stream_SetLastError(s, 100002), 1);
    EXPECT_EQ(Stream_GetLastError(s), 100002);
    EXPECT_EQ(Stream_HasError(s), 1);
    EXPECT_EQ(Stream_SetLastError(s, -1), 1);
    EXPECT_EQ(Stream_GetLastError(s), -1);
    EXPECT_EQ(Stream_HasError(s), 0) << "negative codes are not errors here";
    EXPECT_EQ(Stream_ClearLastError(s), 1);
    EXPECT_EQ(Stream_GetLastError(s), 0);
}

inline void RunStreamContract(const StreamKind& kind) {
    CheckSlots(kind);
    CheckEmptySlots(kind);
    CheckRead(kind);
    CheckPeek(kind);
    CheckSeekTell(kind);
    CheckWrite(kind);
    CheckBadRequests(kind);
    CheckClose(kind);
    CheckLastError(kind);
}

} // namespace stream_contract
