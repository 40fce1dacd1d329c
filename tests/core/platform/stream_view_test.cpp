// The stream view over a caller's block: it never reads or writes outside the block, grows its
// used length by writes, and leaves the block to its owner. Seeks and the common stream promises
// are in the contract.
#include "core/platform/stream_view.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/out_value.h"

namespace {

class StreamViewTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(StreamView_GetStreamHandle(view_, &s_), 1); }
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
    int64_t Write(const void* data, uint32_t size, uint32_t expectWritten) {
        uint32_t written = 0xDEADBEEF;
        const int64_t result = Stream_Write(s_, data, size, &written);
        EXPECT_EQ(written, expectWritten);
        return result;
    }
    uint64_t Length() {
        uint64_t length = 0xDEAD;
        EXPECT_EQ(Stream_Length(s_, &length), 1);
        return length;
    }
    StreamView* view_ = Created(StreamView_Create);
    Stream* s_ = nullptr;
};

TEST_F(StreamViewTest, WritesStopAtTheCapacity) {
    // A heap block of exactly 16 bytes, so that any write past it shows.
    std::unique_ptr<uint8_t[]> block(new uint8_t[16]);
    EXPECT_EQ(Stream_IsOpen(s_), 0) << "no block yet";
    ASSERT_EQ(StreamView_SetPointer(view_, block.get(), 0, 16), 1);
    EXPECT_EQ(Stream_IsOpen(s_), 1);
    const std::string text = "abcdefghijklmnopqrst";
    EXPECT_EQ(Write(text.data(), 20, 16), 1) << "as much as fits";
    EXPECT_EQ(Write(text.data(), 20, 0), 0);
    EXPECT_EQ(Write(text.data(), 0, 0), 0) << "a write of nothing";
    EXPECT_EQ(Length(), 16u);
    EXPECT_EQ(memcmp(block.get(), text.data(), 16), 0);
}

TEST_F(StreamViewTest, NothingLeftToPeekOrRead) {
    char block[] = "0123456789";
    StreamView_SetPointer(view_, block, 10, 10);
    EXPECT_EQ(Read(100, 1), "0123456789");
    uint32_t count = 0xDEADBEEF;
    char byte = 0;
    EXPECT_EQ(Stream_Peek(s_, &byte, 1, &count), 0) << "nothing left";
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Read(1, 0), "");
    EXPECT_EQ(Read(0, 0), "") << "a read of nothing";
}

TEST_F(StreamViewTest, NullBlockOrNoCapacityLeavesTheViewClosed) {
    char block[8] = "abcdefg";
    StreamView_SetPointer(view_, block, 7, 8);
    EXPECT_EQ(StreamView_SetPointer(view_, nullptr, 7, 8), 1);
    EXPECT_EQ(Stream_IsOpen(s_), 0);
    EXPECT_EQ(Read(4, 0), "");
    EXPECT_EQ(Length(), 0u);
    EXPECT_EQ(Write("x", 1, 0), 0);
    EXPECT_EQ(Stream_Seek(s_, 1, SEEK_ORIGIN_BEGIN), 0);
    EXPECT_STREQ(block, "abcdefg");
    StreamView_SetPointer(view_, block, 0, 0);
    EXPECT_EQ(Stream_IsOpen(s_), 0);
    EXPECT_EQ(Write("x", 1, 0), 0);
}

// A used length larger than the block would let reads run past it; it is cut to the capacity.
TEST_F(StreamViewTest, UsedLongerThanTheBlockIsCut) {
    std::unique_ptr<char[]> block(new char[10]);
    memcpy(block.get(), "0123456789", 10);
    ASSERT_EQ(StreamView_SetPointer(view_, block.get(), 1000, 10), 1);
    EXPECT_EQ(Length(), 10u);
    char out[16];
    memset(out, '#', sizeof(out));
    uint32_t count = 0;
    EXPECT_EQ(Stream_Read(s_, out, UINT32_MAX, &count), 1);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(std::string(out, 11), "0123456789#");
    EXPECT_EQ(Stream_Seek(s_, 11, SEEK_ORIGIN_BEGIN), 0);
    ASSERT_EQ(StreamView_SetPointer(view_, block.get(), UINT32_MAX, 4), 1);
    EXPECT_EQ(Read(100, 1), "0123");
}

TEST_F(StreamViewTest, WritesInsideGrowTheUsedLength) {
    char block[16] = "abcdef";
    StreamView_SetPointer(view_, block, 6, 16);
    ASSERT_EQ(Stream_Seek(s_, 4, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Write("XYZ", 3, 3), 1);
    EXPECT_EQ(Length(), 7u);
    EXPECT_EQ(std::string(block, 7), "abcdXYZ");
    ASSERT_EQ(Stream_Seek(s_, 1, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Write("Q", 1, 1), 1);
    EXPECT_EQ(Length(), 7u) << "a write inside does not shorten";
    // The data may come from the block itself.
    ASSERT_EQ(Stream_Seek(s_, 2, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Write(block, 5, 5), 1);
    EXPECT_EQ(std::string(block, 7), "aQaQcdX");
}

TEST_F(StreamViewTest, CloseAndDeleteLeaveTheBlock) {
    std::vector<char> block = {'a', 'b', 'c'};
    StreamView_SetPointer(view_, block.data(), 3, 3);
    EXPECT_EQ(Stream_Close(s_), 1);
    EXPECT_EQ(Stream_IsOpen(s_), 0);
    EXPECT_EQ(Length(), 0u);
    uint64_t position = 9;
    EXPECT_EQ(Stream_Tell(s_, &position), 1);
    EXPECT_EQ(position, 0u);
    StreamView_SetPointer(view_, block.data(), 3, 3);
    EXPECT_EQ(StreamView_Delete(&view_), 1);
    EXPECT_EQ(view_, nullptr);
    EXPECT_EQ(block, std::vector<char>({'a', 'b', 'c'}));
}

} // namespace
