#include "core/platform/stream_view.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/abort_hook.h"

namespace {

class StreamViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(StreamView_Create(&view_), 1);
        ASSERT_EQ(StreamView_GetStreamHandle(view_, &s_), 1);
    }
    void TearDown() override {
        if (view_) StreamView_Delete(&view_);
    }
    std::string Read(uint32_t size, int64_t expectResult) {
        std::string out(size, '\0');
        uint32_t count = 0xDEADBEEF;
        EXPECT_EQ(Stream_Read(s_, out.data(), size, &count), expectResult);
        out.resize(count <= size ? count : 0);
        return out;
    }
    std::string Peek(uint32_t size) {
        std::string out(size, '\0');
        uint32_t count = 0xDEADBEEF;
        Stream_Peek(s_, out.data(), size, &count);
        out.resize(count <= size ? count : 0);
        return out;
    }
    uint64_t Tell() {
        uint64_t position = 0xDEAD;
        EXPECT_EQ(Stream_Tell(s_, &position), 1);
        return position;
    }
    uint64_t Length() {
        uint64_t length = 0xDEAD;
        EXPECT_EQ(Stream_Length(s_, &length), 1);
        return length;
    }
    StreamView* view_ = nullptr;
    Stream* s_ = nullptr;
};

TEST_F(StreamViewTest, RecordSlots) {
    EXPECT_EQ(s_->Handle, view_);
    EXPECT_EQ(Stream_CanFlush(s_), 0);
    EXPECT_EQ(Stream_CanWriteAsync(s_), 0);
    EXPECT_EQ(Stream_CanReadAsync(s_), 0);
    for (auto can : {Stream_CanPeek, Stream_CanWrite, Stream_CanRead, Stream_CanSeek, Stream_CanTell,
                     Stream_CanLength, Stream_CanIsOpen, Stream_CanClose})
        EXPECT_EQ(can(s_), 1);
    EXPECT_EQ(Stream_IsOpen(s_), 0) << "no block yet";
}

TEST_F(StreamViewTest, WritesStopAtTheCapacity) {
    // A heap block of exactly 16 bytes, so that any write past it shows.
    std::unique_ptr<uint8_t[]> block(new uint8_t[16]);
    ASSERT_EQ(StreamView_SetPointer(view_, block.get(), 0, 16), 1);
    EXPECT_EQ(Stream_IsOpen(s_), 1);
    const std::string text = "abcdefghijklmnopqrst";
    uint32_t written = 0xDEADBEEF;
    EXPECT_EQ(Stream_Write(s_, text.data(), 20, &written), 1);
    EXPECT_EQ(written, 16u);
    EXPECT_EQ(Stream_Write(s_, text.data(), 20, &written), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(Length(), 16u);
    EXPECT_EQ(Tell(), 16u);
    EXPECT_EQ(memcmp(block.get(), text.data(), 16), 0);
    EXPECT_EQ(Stream_Write(s_, text.data(), 0, &written), 0) << "a write of nothing";
    EXPECT_EQ(written, 0u);
}

TEST_F(StreamViewTest, PeekDoesNotConsume) {
    char block[] = "0123456789";
    StreamView_SetPointer(view_, block, 10, 10);
    EXPECT_EQ(Peek(4), "0123");
    EXPECT_EQ(Peek(4), "0123");
    EXPECT_EQ(Read(4, 1), "0123");
    EXPECT_EQ(Peek(4), "4567");
    EXPECT_EQ(Read(100, 1), "456789");
    uint32_t count = 0xDEADBEEF;
    char byte = 0;
    EXPECT_EQ(Stream_Peek(s_, &byte, 1, &count), 0) << "nothing left";
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Read(1, 0), "");
    EXPECT_EQ(Read(0, 0), "");
}

TEST_F(StreamViewTest, NullBlockLeavesTheViewClosed) {
    char block[8] = "abcdefg";
    StreamView_SetPointer(view_, block, 7, 8);
    EXPECT_EQ(StreamView_SetPointer(view_, nullptr, 7, 8), 1);
    EXPECT_EQ(Stream_IsOpen(s_), 0);
    EXPECT_EQ(Read(4, 0), "");
    EXPECT_EQ(Length(), 0u);
    uint32_t written = 0xDEADBEEF;
    EXPECT_EQ(Stream_Write(s_, "x", 1, &written), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(Stream_Seek(s_, 1, SEEK_ORIGIN_BEGIN), 0);
    EXPECT_STREQ(block, "abcdefg");
    // A block of no capacity is not open either.
    StreamView_SetPointer(view_, block, 0, 0);
    EXPECT_EQ(Stream_IsOpen(s_), 0);
    EXPECT_EQ(Stream_Write(s_, "x", 1, &written), 0);
}

// A used length larger than the block would let reads run past it; it is cut to the capacity.
TEST_F(StreamViewTest, UsedLongerThanTheBlockIsCut) {
    std::unique_ptr<char[]> block(new char[10]);
    memcpy(block.get(), "0123456789", 10);
    ASSERT_EQ(StreamView_SetPointer(view_, block.get(), 1000, 10), 1);
    EXPECT_EQ(Length(), 10u);
    // The request is larger than anything: only what the block holds arrives.
    char out[16];
    memset(out, '#', sizeof(out));
    uint32_t count = 0;
    EXPECT_EQ(Stream_Read(s_, out, UINT32_MAX, &count), 1);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(std::string(out, 11), "0123456789#");
    EXPECT_EQ(Stream_Seek(s_, 11, SEEK_ORIGIN_BEGIN), 0);
    EXPECT_EQ(Stream_Seek(s_, 0, SEEK_ORIGIN_END), 1);
    EXPECT_EQ(Tell(), 10u);
    ASSERT_EQ(StreamView_SetPointer(view_, block.get(), UINT32_MAX, 4), 1);
    EXPECT_EQ(Read(100, 1), "0123");
}

TEST_F(StreamViewTest, Seeks) {
    char block[32] = "abcdefghij";
    StreamView_SetPointer(view_, block, 10, 32);
    const struct {
        int64_t Offset;
        SeekOrigin Origin;
        int64_t Result;
        uint64_t Position;
    } cases[] = {
        {4, SEEK_ORIGIN_BEGIN, 1, 4},
        {10, SEEK_ORIGIN_BEGIN, 1, 10},
        {11, SEEK_ORIGIN_BEGIN, 0, 10},
        {-1, SEEK_ORIGIN_BEGIN, 0, 10},
        {-3, SEEK_ORIGIN_CURRENT, 1, 7},
        {4, SEEK_ORIGIN_CURRENT, 0, 7},
        {-8, SEEK_ORIGIN_CURRENT, 0, 7},
        {INT64_MAX, SEEK_ORIGIN_CURRENT, 0, 7},
        {INT64_MIN, SEEK_ORIGIN_CURRENT, 0, 7},
        {-7, SEEK_ORIGIN_CURRENT, 1, 0},
        {100, SEEK_ORIGIN_END, 1, 10},
        {0, 3, 0, 10},
        {0, 0xFFFFFFFF, 0, 10},
        {INT64_MIN, SEEK_ORIGIN_BEGIN, 0, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.Offset) + " origin " + std::to_string(c.Origin));
        EXPECT_EQ(Stream_Seek(s_, c.Offset, c.Origin), c.Result);
        EXPECT_EQ(Tell(), c.Position);
    }
}

TEST_F(StreamViewTest, WritesInsideGrowTheUsedLength) {
    char block[16] = "abcdef";
    StreamView_SetPointer(view_, block, 6, 16);
    ASSERT_EQ(Stream_Seek(s_, 4, SEEK_ORIGIN_BEGIN), 1);
    uint32_t written = 0;
    EXPECT_EQ(Stream_Write(s_, "XYZ", 3, &written), 1);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(Length(), 7u);
    EXPECT_EQ(std::string(block, 7), "abcdXYZ");
    ASSERT_EQ(Stream_Seek(s_, 1, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Stream_Write(s_, "Q", 1, &written), 1);
    EXPECT_EQ(Length(), 7u) << "a write inside does not shorten";
    // The data may come from the block itself.
    ASSERT_EQ(Stream_Seek(s_, 2, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Stream_Write(s_, block, 5, &written), 1);
    EXPECT_EQ(std::string(block, 7), "aQaQcdX");
}

TEST_F(StreamViewTest, CloseAndDeleteLeaveTheBlock) {
    std::vector<char> block = {'a', 'b', 'c'};
    StreamView_SetPointer(view_, block.data(), 3, 3);
    EXPECT_EQ(Stream_Close(s_), 1);
    EXPECT_EQ(Stream_IsOpen(s_), 0);
    EXPECT_EQ(Length(), 0u);
    EXPECT_EQ(Tell(), 0u);
    StreamView_SetPointer(view_, block.data(), 3, 3);
    EXPECT_EQ(StreamView_Delete(&view_), 1);
    EXPECT_EQ(view_, nullptr);
    EXPECT_EQ(block, std::vector<char>({'a', 'b', 'c'}));
}

TEST_F(StreamViewTest, ReferenceCount) {
    EXPECT_EQ(StreamView_AddRef(view_), 1);
    StreamView* second = view_;
    EXPECT_EQ(StreamView_Release(&second), 1);
    EXPECT_EQ(second, nullptr);
    char id[40] = "x";
    EXPECT_EQ(StreamView_GetInstanceId(view_, id, sizeof(id)), 1);
    EXPECT_STREQ(id, "");
    StreamView* last = view_;
    view_ = nullptr;
    EXPECT_EQ(StreamView_Release(&last), 1);
    EXPECT_EQ(last, nullptr);
}

TEST(StreamViewDeathTest, AbortTexts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StreamView* view = nullptr;
            StreamView_Create(&view);
            uint32_t count = 0;
            StreamView_Peek(view, nullptr, 1, &count);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StreamView_SetPointer(nullptr, nullptr, 0, 0);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Class fake{};
            fake.ClassId = 0x1234;
            StreamView_Close(reinterpret_cast<StreamView*>(&fake));
        },
        "ABORT - Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0x48929fc0 but was 0x00001234\\)\n");
}

} // namespace
