#include "core/platform/buffered_stream.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/platform/memory_stream.h"
#include "core/platform/null_stream.h"
#include "core/runtime/log.h"
#include "core/runtime/string_print.h"
#include "tests/support/abort_hook.h"

namespace {

std::vector<uint8_t> Pattern(size_t size, uint8_t seed = 0) {
    std::vector<uint8_t> out(size);
    for (size_t i = 0; i < size; i++) out[i] = (uint8_t)((i % 251) * 7 + seed);
    return out;
}

// A base stream over a memory stream that records what the layer asks of it and can be told to
// refuse writes or seeks, fail reads with an error code, or leave slots empty.
struct SpyBase {
    Stream Record{};
    MemoryStream* Memory = nullptr;
    Stream* Inner = nullptr;
    std::vector<uint32_t> ReadAsks;
    std::vector<uint32_t> ReadGots;
    std::vector<uint32_t> WriteSizes;
    std::vector<std::pair<int64_t, uint32_t>> Seeks;
    bool RefuseWrites = false;
    bool RefuseSeeks = false;
    int32_t ReadError = 0;
    uint32_t WriteLimit = UINT32_MAX;

    explicit SpyBase(const std::vector<uint8_t>& content) {
        MemoryStream_Create(&Memory);
        MemoryStream_SetAutoGrow(Memory, 1);
        MemoryStream_GetStreamHandle(Memory, &Inner);
        uint32_t written = 0;
        if (!content.empty()) MemoryStream_Write(Memory, content.data(), (uint32_t)content.size(), &written);
        if (content.empty()) MemoryStream_Size(Memory, 16, 0, 0);
        MemoryStream_Seek(Memory, 0, SEEK_ORIGIN_BEGIN);
        Record.Handle = this;
        Record.Read = [](void* h, void* buffer, uint32_t size, uint32_t* read) -> int64_t {
            SpyBase* spy = static_cast<SpyBase*>(h);
            spy->ReadAsks.push_back(size);
            if (spy->ReadError) {
                Stream_SetLastError(&spy->Record, spy->ReadError);
                spy->ReadGots.push_back(0);
                return 0;
            }
            const int64_t result = Stream_Read(spy->Inner, buffer, size, read);
            spy->ReadGots.push_back(*read);
            return result;
        };
        Record.Write = [](void* h, const void* data, uint32_t size, uint32_t* written) -> int64_t {
            SpyBase* spy = static_cast<SpyBase*>(h);
            spy->WriteSizes.push_back(size);
            if (spy->RefuseWrites) return 0;
            return Stream_Write(spy->Inner, data, size < spy->WriteLimit ? size : spy->WriteLimit, written);
        };
        Record.Seek = [](void* h, int64_t offset, SeekOrigin origin) -> int64_t {
            SpyBase* spy = static_cast<SpyBase*>(h);
            spy->Seeks.emplace_back(offset, origin);
            if (spy->RefuseSeeks) return 0;
            return Stream_Seek(spy->Inner, offset, origin);
        };
        Record.Tell = [](void* h, uint64_t* position) -> int64_t {
            return Stream_Tell(static_cast<SpyBase*>(h)->Inner, position);
        };
        Record.Length = [](void* h, uint64_t* length) -> int64_t {
            return Stream_Length(static_cast<SpyBase*>(h)->Inner, length);
        };
        Record.IsOpen = [](void* h) -> int64_t { return Stream_IsOpen(static_cast<SpyBase*>(h)->Inner); };
        Record.Close = [](void* h) -> int64_t { return Stream_Close(static_cast<SpyBase*>(h)->Inner); };
    }
    ~SpyBase() { MemoryStream_Delete(&Memory); }

    std::vector<uint8_t> Content() {
        uint8_t* pointer = nullptr;
        std::vector<uint8_t> out;
        if (MemoryStream_GetPointer(Memory, &pointer)) {
            out.assign(pointer, pointer + MemoryStream_GetUsed(Memory));
            MemoryStream_ReleasePointer(Memory, &pointer);
        }
        return out;
    }
    uint64_t Position() {
        uint64_t position = 0;
        MemoryStream_Tell(Memory, &position);
        return position;
    }
};

class BufferedStreamTest : public ::testing::Test {
  protected:
    void Make(const std::vector<uint8_t>& content, int32_t readSize = 4096, int32_t writeSize = 4096) {
        base_ = new SpyBase(content);
        ASSERT_EQ(BufferedStream_Create(&bs_), 1);
        EXPECT_EQ(BufferedStream_SetReadBufferSize(bs_, readSize), 1);
        EXPECT_EQ(BufferedStream_SetWriteBufferSize(bs_, writeSize), 1);
        EXPECT_EQ(BufferedStream_SetBaseStreamHandle(bs_, &base_->Record), 1);
        ASSERT_EQ(BufferedStream_GetStreamHandle(bs_, &s_), 1);
    }
    void TearDown() override {
        if (bs_) BufferedStream_Delete(&bs_);
        delete base_;
    }
    std::vector<uint8_t> Read(uint32_t size, int64_t expectResult = 1) {
        std::vector<uint8_t> out(size);
        uint32_t count = 0xDEADBEEF;
        EXPECT_EQ(Stream_Read(s_, out.data(), size, &count), expectResult);
        out.resize(count <= size ? count : 0);
        return out;
    }
    uint64_t Tell() {
        uint64_t position = 0xDEAD;
        EXPECT_EQ(Stream_Tell(s_, &position), 1);
        return position;
    }
    int64_t Write(const std::string& text, uint32_t* count = nullptr) {
        uint32_t written = 0xDEADBEEF;
        const int64_t result = Stream_Write(s_, text.data(), (uint32_t)text.size(), &written);
        if (count) *count = written;
        return result;
    }

    SpyBase* base_ = nullptr;
    BufferedStream* bs_ = nullptr;
    Stream* s_ = nullptr;
};

TEST_F(BufferedStreamTest, CreateFillsTheRecord) {
    Make(Pattern(10));
    EXPECT_EQ(s_->Handle, bs_);
    EXPECT_EQ(s_->BaseStreamHandle, &base_->Record);
    EXPECT_EQ(Stream_CanPeek(s_), 0);
    EXPECT_EQ(Stream_CanWriteAsync(s_), 0);
    EXPECT_EQ(Stream_CanReadAsync(s_), 0);
    for (auto can : {Stream_CanWrite, Stream_CanRead, Stream_CanSeek, Stream_CanFlush, Stream_CanTell,
                     Stream_CanLength, Stream_CanIsOpen, Stream_CanClose})
        EXPECT_EQ(can(s_), 1);
    char id[40] = "x";
    EXPECT_EQ(BufferedStream_GetInstanceId(bs_, id, sizeof(id)), 1);
    EXPECT_STREQ(id, "") << "the type is not tracked";
}

// The known answers of a 10,000-byte base under 4,096-byte buffers.
TEST_F(BufferedStreamTest, ReadOfHundredBytesTakesOneFill) {
    const std::vector<uint8_t> content = Pattern(10000);
    Make(content);
    EXPECT_EQ(Read(100), std::vector<uint8_t>(content.begin(), content.begin() + 100));
    EXPECT_EQ(base_->ReadAsks, std::vector<uint32_t>({4096}));
    EXPECT_EQ(base_->ReadGots, std::vector<uint32_t>({4096}));
    EXPECT_EQ(Tell(), 100u);
    EXPECT_EQ(base_->Position(), 4096u) << "Tell does not move the base";
}

TEST_F(BufferedStreamTest, ReadOfWholeBaseInOneCall) {
    const std::vector<uint8_t> content = Pattern(10000);
    Make(content);
    EXPECT_EQ(Read(10000), content);
    EXPECT_EQ(base_->ReadAsks, std::vector<uint32_t>({4096, 4096, 4096}));
    EXPECT_EQ(base_->ReadGots, std::vector<uint32_t>({4096, 4096, 1808}));
    // The next read asks for the room behind the 1,808 bytes and finds nothing.
    EXPECT_EQ(Read(10, 0), std::vector<uint8_t>());
    EXPECT_EQ(base_->ReadAsks.back(), 2288u);
    EXPECT_EQ(base_->ReadGots.back(), 0u);
    EXPECT_EQ(Tell(), 10000u);
}

// A request that runs into the end of the base delivers the tail as a successful short read.
TEST_F(BufferedStreamTest, ReadReachingTheEndReturnsTheTailAsSuccess) {
    const struct {
        size_t Content;
        int32_t Buffer;
        uint32_t Request;
    } cases[] = {{5000, 4096, 8000}, {10, 4096, 11}, {100, 7, 1000}, {1, 1, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.Content) + "/" + std::to_string(c.Buffer));
        const std::vector<uint8_t> content = Pattern(c.Content, 1);
        Make(content, c.Buffer);
        EXPECT_EQ(Read(c.Request, 1), content);
        EXPECT_EQ(Read(c.Request, 0), std::vector<uint8_t>()) << "only an empty read means the end";
        TearDown();
        base_ = nullptr;
        bs_ = nullptr;
    }
}

TEST_F(BufferedStreamTest, CopyThroughTheLayerLosesNothing) {
    for (int32_t bufferSize : {1, 7, 3000, 4096, 9000}) {
        SCOPED_TRACE(bufferSize);
        const std::vector<uint8_t> content = Pattern(10000, 2);
        Make(content, bufferSize);
        MemoryStream* target = nullptr;
        MemoryStream_Create(&target);
        MemoryStream_SetAutoGrow(target, 1);
        Stream* t = nullptr;
        MemoryStream_GetStreamHandle(target, &t);
        EXPECT_EQ(Stream_Copy(t, s_), 1);
        uint8_t* p = nullptr;
        ASSERT_EQ(MemoryStream_GetPointer(target, &p), 1);
        EXPECT_EQ(std::vector<uint8_t>(p, p + MemoryStream_GetUsed(target)), content);
        MemoryStream_ReleasePointer(target, &p);
        MemoryStream_Delete(&target);
        TearDown();
        base_ = nullptr;
        bs_ = nullptr;
    }
}

TEST_F(BufferedStreamTest, ZeroLengthAndUnbufferedReads) {
    Make(Pattern(10), 0);
    uint8_t byte = 0;
    uint32_t count = 0xDEADBEEF;
    EXPECT_EQ(Stream_Read(s_, &byte, 0, &count), 1) << "nothing asked is nothing failed";
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Stream_Read(s_, &byte, 1, &count), 0) << "no read buffer";
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(base_->ReadAsks.empty());
}

TEST_F(BufferedStreamTest, WriteFlushesWholeBlocks) {
    const std::vector<uint8_t> content = Pattern(5000, 4);
    Make({});
    uint32_t written = 0;
    EXPECT_EQ(Stream_Write(s_, content.data(), 5000, &written), 1);
    EXPECT_EQ(written, 5000u);
    EXPECT_EQ(base_->WriteSizes, std::vector<uint32_t>({4096}));
    uint64_t length = 0;
    EXPECT_EQ(Stream_Length(s_, &length), 1);
    EXPECT_EQ(length, 4096u) << "the 904 pending bytes are not counted";
    EXPECT_EQ(Tell(), 5000u);
    EXPECT_EQ(Stream_Flush(s_), 1);
    EXPECT_EQ(base_->WriteSizes, std::vector<uint32_t>({4096, 904}));
    EXPECT_EQ(base_->Content(), content);
    EXPECT_EQ(Stream_Flush(s_), 1) << "nothing pending is nothing failed";
    EXPECT_EQ(base_->WriteSizes.size(), 2u);
}

TEST_F(BufferedStreamTest, FlushRepeatsShortBaseWrites) {
    const std::vector<uint8_t> content = Pattern(100, 4);
    Make({});
    base_->WriteLimit = 30;
    uint32_t written = 0;
    EXPECT_EQ(Stream_Write(s_, content.data(), 100, &written), 1);
    EXPECT_EQ(Stream_Flush(s_), 1);
    EXPECT_EQ(base_->WriteSizes, std::vector<uint32_t>({100, 70, 40, 10}));
    EXPECT_EQ(base_->Content(), content);
    EXPECT_EQ(Tell(), 100u);
}

TEST_F(BufferedStreamTest, SeekBackOneCharacterServedFromTheBuffer) {
    const std::vector<uint8_t> content = Pattern(10000);
    Make(content);
    Read(10);
    EXPECT_EQ(Stream_Seek(s_, -1, SEEK_ORIGIN_CURRENT), 1);
    EXPECT_EQ(Read(1), std::vector<uint8_t>({content[9]}));
    EXPECT_EQ(base_->ReadAsks.size(), 1u) << "no base read";
    EXPECT_TRUE(base_->Seeks.empty()) << "no base seek";
}

TEST_F(BufferedStreamTest, WriteAfterReadRepositionsTheBase) {
    std::vector<uint8_t> content = Pattern(10000);
    Make(content);
    Read(10);
    EXPECT_EQ(Write("XYZ"), 1);
    ASSERT_EQ(base_->Seeks.size(), 1u);
    EXPECT_EQ(base_->Seeks[0], std::make_pair((int64_t)10, (uint32_t)SEEK_ORIGIN_BEGIN));
    EXPECT_EQ(Tell(), 13u);
    EXPECT_EQ(Stream_Flush(s_), 1);
    content[10] = 'X';
    content[11] = 'Y';
    content[12] = 'Z';
    EXPECT_EQ(base_->Content(), content);
}

TEST_F(BufferedStreamTest, WithoutWriteBufferEveryWriteAnswersZero) {
    Make(Pattern(10), 4096, 0);
    for (const std::string& text : {std::string(), std::string("a"), std::string(5000, 'b')}) {
        uint32_t count = 0xDEADBEEF;
        EXPECT_EQ(Write(text, &count), 0);
        EXPECT_EQ(count, 0u);
    }
    EXPECT_TRUE(base_->WriteSizes.empty());
    EXPECT_EQ(base_->Content(), Pattern(10));
}

TEST_F(BufferedStreamTest, ZeroLengthWriteMovesNothing) {
    Make(Pattern(10));
    uint32_t count = 0xDEADBEEF;
    EXPECT_EQ(Write("", &count), 1);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Tell(), 0u);
}

// Seeks never take an offset in front of a buffer's start: what lies before it is not buffered,
// so the seek goes to the base (or is refused before position 0).
TEST_F(BufferedStreamTest, SeekNeverGoesBeforeTheStartOfTheReadBuffer) {
    const std::vector<uint8_t> content = Pattern(100, 9);
    Make(content, 16);
    Read(20); // the second fill starts again at the front; 4 of its 16 bytes are consumed
    ASSERT_EQ(base_->ReadAsks.size(), 2u);
    EXPECT_EQ(Stream_Seek(s_, -5, SEEK_ORIGIN_CURRENT), 1);
    EXPECT_EQ(Tell(), 15u);
    EXPECT_EQ(Read(2), std::vector<uint8_t>({content[15], content[16]}));

    EXPECT_EQ(Stream_Seek(s_, -18, SEEK_ORIGIN_CURRENT), 0) << "before position 0";
    EXPECT_EQ(Tell(), 17u);
    EXPECT_EQ(Stream_Seek(s_, -17, SEEK_ORIGIN_CURRENT), 1);
    EXPECT_EQ(Read(1), std::vector<uint8_t>({content[0]}));
}

TEST_F(BufferedStreamTest, SeekNeverGoesBeforeTheStartOfTheWriteBuffer) {
    std::vector<uint8_t> content = Pattern(100, 9);
    Make(content);
    ASSERT_EQ(Stream_Seek(s_, 50, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Write("0123456789"), 1);
    EXPECT_EQ(Stream_Seek(s_, -61, SEEK_ORIGIN_CURRENT), 0);
    EXPECT_EQ(Tell(), 60u);
    // Back inside the pending block: the patch lands in the buffer.
    EXPECT_EQ(Stream_Seek(s_, -4, SEEK_ORIGIN_CURRENT), 1);
    EXPECT_EQ(Tell(), 56u);
    EXPECT_EQ(Write("ab"), 1);
    // Before the pending block: the block goes out and the base moves.
    EXPECT_EQ(Stream_Seek(s_, -11, SEEK_ORIGIN_CURRENT), 1);
    EXPECT_EQ(Tell(), 47u);
    EXPECT_EQ(Write("Q"), 1);
    EXPECT_EQ(Stream_Flush(s_), 1);
    memcpy(&content[50], "012345ab89", 10);
    content[47] = 'Q';
    EXPECT_EQ(base_->Content(), content);
}

TEST_F(BufferedStreamTest, FlushKeepsThePositionAfterASeekBack) {
    std::vector<uint8_t> content = Pattern(20, 3);
    Make(content);
    EXPECT_EQ(Write("ABCDEFGH"), 1);
    EXPECT_EQ(Stream_Seek(s_, 2, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Write("x"), 1);
    EXPECT_EQ(Stream_Flush(s_), 1);
    EXPECT_EQ(Tell(), 3u) << "a flush does not move the position";
    EXPECT_EQ(Write("y"), 1);
    EXPECT_EQ(Stream_Flush(s_), 1);
    memcpy(content.data(), "ABxyEFGH", 8);
    EXPECT_EQ(base_->Content(), content);
}

TEST_F(BufferedStreamTest, SeeksInsideTheBuffers) {
    const std::vector<uint8_t> content = Pattern(10000, 5);
    Make(content);
    Read(100);
    // Origin 0 inside the read buffer (base at 4096 after the fill).
    EXPECT_EQ(Stream_Seek(s_, 4000, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Read(2), std::vector<uint8_t>({content[4000], content[4001]}));
    EXPECT_EQ(Stream_Seek(s_, 0, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Read(1), std::vector<uint8_t>({content[0]}));
    EXPECT_TRUE(base_->Seeks.empty());
    EXPECT_EQ(base_->ReadAsks.size(), 1u);
    // Origin 1 forward to the very end of the fill.
    EXPECT_EQ(Stream_Seek(s_, 4095, SEEK_ORIGIN_CURRENT), 1);
    EXPECT_EQ(Tell(), 4096u);
    EXPECT_TRUE(base_->Seeks.empty());
}

TEST_F(BufferedStreamTest, SeekToTheEndWithPendingWrites) {
    Make({});
    EXPECT_EQ(Write("hello"), 1);
    EXPECT_EQ(Stream_Seek(s_, 1, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Stream_Seek(s_, 0, SEEK_ORIGIN_END), 1);
    EXPECT_EQ(Tell(), 5u);
    EXPECT_TRUE(base_->Seeks.empty()) << "the pending block ends the stream";
    EXPECT_EQ(Write("!"), 1);
    EXPECT_EQ(Stream_Flush(s_), 1);
    EXPECT_EQ(base_->Content(), std::vector<uint8_t>({'h', 'e', 'l', 'l', 'o', '!'}));
}

TEST_F(BufferedStreamTest, SeekToTheEndPastPendingWritesGoesToTheBase) {
    std::vector<uint8_t> content = Pattern(50, 1);
    Make(content);
    EXPECT_EQ(Write("ab"), 1);
    EXPECT_EQ(Stream_Seek(s_, 0, SEEK_ORIGIN_END), 1);
    EXPECT_EQ(Tell(), 50u);
    EXPECT_EQ(Write("z"), 1);
    EXPECT_EQ(Stream_Flush(s_), 1);
    content[0] = 'a';
    content[1] = 'b';
    content.push_back('z');
    EXPECT_EQ(base_->Content(), content);
}

TEST_F(BufferedStreamTest, SeeksOutsideTheBuffersMoveTheBase) {
    const std::vector<uint8_t> content = Pattern(10000, 6);
    Make(content);
    Read(10);
    const struct {
        int64_t Offset;
        SeekOrigin Origin;
        int64_t Result;
        uint64_t Position;
    } cases[] = {
        {9000, SEEK_ORIGIN_BEGIN, 1, 9000},
        {-8000, SEEK_ORIGIN_CURRENT, 1, 1000},
        {5000, SEEK_ORIGIN_CURRENT, 1, 6000},
        {10001, SEEK_ORIGIN_BEGIN, 0, 6000},
        {-1, SEEK_ORIGIN_BEGIN, 0, 6000},
        {INT64_MAX, SEEK_ORIGIN_CURRENT, 0, 6000},
        {INT64_MIN, SEEK_ORIGIN_CURRENT, 0, 6000},
        {0, 3, 0, 6000},
        {0, 0xFFFFFFFF, 0, 6000},
        {0, SEEK_ORIGIN_END, 1, 10000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.Offset) + " origin " + std::to_string(c.Origin));
        EXPECT_EQ(Stream_Seek(s_, c.Offset, c.Origin), c.Result);
        EXPECT_EQ(Tell(), c.Position);
        if (c.Position < content.size()) {
            EXPECT_EQ(Read(1), std::vector<uint8_t>({content[c.Position]}));
            EXPECT_EQ(Stream_Seek(s_, -1, SEEK_ORIGIN_CURRENT), 1);
        }
    }
}

TEST_F(BufferedStreamTest, InvalidOriginKeepsPendingWrites) {
    Make({});
    EXPECT_EQ(Write("abc"), 1);
    EXPECT_EQ(Stream_Seek(s_, 0, 7), 0);
    EXPECT_EQ(Tell(), 3u);
    EXPECT_EQ(Stream_Flush(s_), 1);
    EXPECT_EQ(base_->Content(), std::vector<uint8_t>({'a', 'b', 'c'}));
}

// Reading after writes puts the pending bytes where they belong first.
TEST_F(BufferedStreamTest, ReadAfterWriteFlushesFirst) {
    std::vector<uint8_t> content = Pattern(20, 2);
    Make(content);
    EXPECT_EQ(Write("abc"), 1);
    EXPECT_EQ(Read(3), std::vector<uint8_t>({content[3], content[4], content[5]}));
    EXPECT_EQ(Tell(), 6u);
    memcpy(content.data(), "abc", 3);
    EXPECT_EQ(base_->Content(), content);
}

// The base may stand past its start when the layer is put on it.
TEST_F(BufferedStreamTest, StartsFromTheBasePosition) {
    std::vector<uint8_t> content = Pattern(200, 8);
    base_ = new SpyBase(content);
    MemoryStream_Seek(base_->Memory, 100, SEEK_ORIGIN_BEGIN);
    ASSERT_EQ(BufferedStream_Create(&bs_), 1);
    BufferedStream_SetReadBufferSize(bs_, 4096);
    BufferedStream_SetWriteBufferSize(bs_, 4096);
    BufferedStream_SetBaseStreamHandle(bs_, &base_->Record);
    BufferedStream_GetStreamHandle(bs_, &s_);
    EXPECT_EQ(Read(5), std::vector<uint8_t>(content.begin() + 100, content.begin() + 105));
    EXPECT_EQ(Write("W"), 1);
    EXPECT_EQ(base_->Seeks.back(), std::make_pair((int64_t)105, (uint32_t)SEEK_ORIGIN_BEGIN));
    EXPECT_EQ(Stream_Flush(s_), 1);
    content[105] = 'W';
    EXPECT_EQ(base_->Content(), content);
}

TEST_F(BufferedStreamTest, MissingBaseOperations) {
    Make(Pattern(10));
    uint8_t buffer[4];
    uint32_t count = 0xDEADBEEF;
    base_->Record.Read = nullptr;
    EXPECT_EQ(Stream_Read(s_, buffer, 4, &count), 0);
    EXPECT_EQ(count, 0u);
    base_->Record.Write = nullptr;
    EXPECT_EQ(Stream_Write(s_, "ab", 2, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Stream_Flush(s_), 0);
    base_->Record.Tell = nullptr;
    uint64_t position = 0xDEAD;
    EXPECT_EQ(Stream_Tell(s_, &position), 0);
    EXPECT_EQ(position, 0u);
    base_->Record.Seek = nullptr;
    EXPECT_EQ(Stream_Seek(s_, 5, SEEK_ORIGIN_BEGIN), 0);

    BufferedStream* lone = nullptr;
    BufferedStream_Create(&lone);
    Stream* ls = nullptr;
    BufferedStream_GetStreamHandle(lone, &ls);
    EXPECT_EQ(Stream_Read(ls, buffer, 4, &count), 0);
    EXPECT_EQ(Stream_Write(ls, buffer, 4, &count), 0);
    EXPECT_EQ(Stream_Seek(ls, 0, SEEK_ORIGIN_BEGIN), 0);
    EXPECT_EQ(Stream_Length(ls, &position), 0);
    EXPECT_EQ(Stream_IsOpen(ls), 0);
    EXPECT_EQ(Stream_Close(ls), 0);
    EXPECT_EQ(BufferedStream_Delete(&lone), 1);
    EXPECT_EQ(lone, nullptr);
}

TEST_F(BufferedStreamTest, RefusedSeekOnSwitchToWriting) {
    const std::vector<uint8_t> content = Pattern(100, 3);
    Make(content);
    Read(10);
    base_->RefuseSeeks = true;
    uint32_t count = 0xDEADBEEF;
    EXPECT_EQ(Write("abc", &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(base_->WriteSizes.empty());
    EXPECT_EQ(Stream_Flush(s_), 1) << "nothing was buffered";
    EXPECT_TRUE(base_->WriteSizes.empty());
    EXPECT_EQ(Read(2), std::vector<uint8_t>({content[10], content[11]})) << "reading goes on";
}

TEST_F(BufferedStreamTest, RefusedBaseWritesKeepThePendingBytes) {
    const std::vector<uint8_t> content = Pattern(10, 3);
    Make({}, 4096, 8);
    base_->RefuseWrites = true;
    uint32_t count = 0xDEADBEEF;
    EXPECT_EQ(Stream_Write(s_, content.data(), 10, &count), 0) << "the flush it needed failed";
    EXPECT_EQ(count, 8u) << "the bytes the buffer took";
    EXPECT_EQ(Stream_Flush(s_), 0);
    base_->RefuseWrites = false;
    EXPECT_EQ(Stream_Flush(s_), 1);
    EXPECT_EQ(base_->Content(), std::vector<uint8_t>(content.begin(), content.begin() + 8));

    // A failure in the middle of a flush keeps the part not yet taken.
    base_->WriteLimit = 3;
    EXPECT_EQ(Stream_Write(s_, "abcdef", 6, &count), 1);
    base_->Record.Write = [](void* h, const void* data, uint32_t size, uint32_t* written) -> int64_t {
        SpyBase* spy = static_cast<SpyBase*>(h);
        spy->WriteSizes.push_back(size);
        if (spy->WriteSizes.size() > 1) return 0; // only the first base write goes through
        return Stream_Write(spy->Inner, data, size < 3 ? size : 3, written);
    };
    base_->WriteSizes.clear();
    EXPECT_EQ(Stream_Flush(s_), 0);
    base_->WriteSizes.clear();
    EXPECT_EQ(Stream_Flush(s_), 1);
    std::vector<uint8_t> expect(content.begin(), content.begin() + 8);
    for (char c : std::string("abcdef")) expect.push_back((uint8_t)c);
    EXPECT_EQ(base_->Content(), expect);
}

TEST_F(BufferedStreamTest, CloseReportsALostFlush) {
    Make({});
    EXPECT_EQ(Write("abc"), 1);
    base_->RefuseWrites = true;
    EXPECT_EQ(Stream_Close(s_), 0);
    EXPECT_EQ(MemoryStream_IsOpen(base_->Memory), 0) << "the base is closed all the same";
}

TEST_F(BufferedStreamTest, BaseErrorsReachTheLayer) {
    Make(Pattern(10));
    base_->ReadError = 100005;
    uint8_t buffer[4];
    uint32_t count = 0xDEADBEEF;
    EXPECT_EQ(Stream_Read(s_, buffer, 4, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Stream_GetLastError(s_), 100005);

    MemoryStream* target = nullptr;
    MemoryStream_Create(&target);
    MemoryStream_SetAutoGrow(target, 1);
    Stream* t = nullptr;
    MemoryStream_GetStreamHandle(target, &t);
    EXPECT_EQ(Stream_Copy(t, s_), 0) << "a failing base is not the end of the data";
    MemoryStream_Delete(&target);
}

TEST_F(BufferedStreamTest, ReplacingBuffersResetsTheirCounters) {
    std::vector<uint8_t> content = Pattern(10000, 7);
    Make(content);
    Read(10);
    // The new read buffer starts empty: reading goes on from where the base stands.
    EXPECT_EQ(BufferedStream_SetReadBufferSize(bs_, 4), 1);
    EXPECT_EQ(Read(4), std::vector<uint8_t>(content.begin() + 4096, content.begin() + 4100));
    EXPECT_EQ(Write("xy"), 1);
    // The pending bytes go out before their buffer is replaced.
    EXPECT_EQ(BufferedStream_SetWriteBufferSize(bs_, 2), 1);
    EXPECT_EQ(Write("z"), 1);
    EXPECT_EQ(Stream_Flush(s_), 1);
    memcpy(&content[4100], "xyz", 3);
    EXPECT_EQ(base_->Content(), content);
}

int64_t CollectLine(void* user, const char* format, ...) {
    char line[4096];
    va_list args;
    va_start(args, format);
    String_VPrint(line, (int32_t)sizeof(line), format, args);
    va_end(args);
    static_cast<std::vector<std::string>*>(user)->push_back(line);
    return 1;
}

std::string Prefix(BufferedStream* bs) {
    char text[64];
    String_Print(text, (int32_t)sizeof(text), "BufferedStream.%08x - ", (uint32_t)(uintptr_t)bs);
    return text;
}

TEST_F(BufferedStreamTest, CloseReportsEfficiencyWhenVerbose) {
    Make(Pattern(10000));
    std::vector<std::string> lines;
    EXPECT_EQ(BufferedStream_SetPrintCallback(bs_, &lines, CollectLine), 1);
    EXPECT_EQ(BufferedStream_SetVerbose(bs_, 1), 1);
    uint32_t flag = 0;
    EXPECT_EQ(BufferedStream_GetVerbose(bs_, &flag), 1);
    EXPECT_EQ(flag, 1u);
    for (int i = 0; i < 3; i++) Read(100); // one fill, three copies
    EXPECT_EQ(Write("abc"), 1);            // one copy, one flush at Close
    EXPECT_TRUE(lines.empty()) << "level 11 traces need the verbose filter";
    EXPECT_EQ(Stream_Close(s_), 1);
    const std::string p = Prefix(bs_);
    EXPECT_EQ(lines, std::vector<std::string>(
                         {p + "Close\n", p + "Read efficiency 75.00%\n", p + "Write efficiency 50.00%\n"}));
}

TEST_F(BufferedStreamTest, TracesAtLevelEleven) {
    Log_SetVerboseFilter("11BufferedStream");
    Make(Pattern(5000));
    std::vector<std::string> lines;
    BufferedStream_SetPrintCallback(bs_, &lines, CollectLine);
    BufferedStream_SetPrintIdentifier(bs_, "doc");
    EXPECT_EQ(BufferedStream_IsVerboseLevel(bs_, 11), 1);
    EXPECT_EQ(BufferedStream_IsVerboseLevel(bs_, 12), 0);
    Read(100);
    Write("ab");
    Tell();
    Stream_Seek(s_, 0, SEEK_ORIGIN_BEGIN);
    Log_SetVerboseFilter("");
    char head[64];
    String_Print(head, (int32_t)sizeof(head), "BufferedStream.%08x.doc - ", (uint32_t)(uintptr_t)bs_);
    const std::string p = head;
    EXPECT_EQ(lines, std::vector<std::string>({
                         p + "Read [Size 100 Pos 0]\n",
                         p + "Filled [Read 4096/4096 Buf 0:4096 Pos 4096]\n",
                         p + "Emptied [Copied 100 Remaining 0 Buf 100:4096 Pos 4096]\n",
                         p + "Write [Size 2 Len 0 Pos 4096]\n",
                         p + "Switch from read to write [100]\n",
                         p + "Write copy [Remaining 0 Write 2:4096 Len 2]\n",
                         p + "Tell [Pos 100 ReadPos 0 WritePos 2]\n",
                         p + "Seek [Origin 0 Offset 0 Pos 100]\n",
                         p + "Write flush [2:0 Len 2]\n",
                     }));
}

TEST_F(BufferedStreamTest, PrintCallbackDefaultsToTheLog) {
    Make({});
    void* user = &user;
    ClassPrintCallback callback = nullptr;
    EXPECT_EQ(BufferedStream_GetPrintCallback(bs_, &user, &callback), 1);
    EXPECT_EQ(callback, ClassPrint_DefaultCallback);
    EXPECT_EQ(user, bs_);
    EXPECT_EQ(BufferedStream_IsVerboseLevel(bs_, 0), 0) << "not verbose";
}

TEST_F(BufferedStreamTest, ReferenceCount) {
    Make({});
    EXPECT_EQ(BufferedStream_AddRef(bs_), 1);
    BufferedStream* second = bs_;
    EXPECT_EQ(BufferedStream_Release(&second), 1);
    EXPECT_EQ(second, nullptr);
    BufferedStream* last = bs_;
    bs_ = nullptr;
    EXPECT_EQ(BufferedStream_Release(&last), 1);
    EXPECT_EQ(last, nullptr);
    EXPECT_EQ(BufferedStream_Release(&last), 0);
}

TEST(BufferedStreamDeathTest, AbortTexts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            BufferedStream_Create(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            BufferedStream* bs = nullptr;
            BufferedStream_Create(&bs);
            BufferedStream_Read(bs, nullptr, 1, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            BufferedStream* bs = nullptr;
            BufferedStream_Create(&bs);
            uint64_t position = 0;
            BufferedStream_Tell(nullptr, &position);
        },
        AbortRegex("Pointer is NULL\n"));
    // The null stream has its own id: neither kind passes the other's check.
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            NullStream* ns = nullptr;
            NullStream_Create(&ns);
            BufferedStream_Flush(reinterpret_cast<BufferedStream*>(ns));
        },
        "ABORT - Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0xfe7794fa but was 0x9b3d61c4\\)\n");
}

} // namespace
