// The null stream counts what is written to it: length, positions past the end, wrapping, the
// measuring of printed text and its aborts. The common stream promises are in the contract.
#include "core/platform/null_stream.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/abort_hook.h"
#include "tests/support/out_value.h"

namespace {

class NullStreamTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(NullStream_GetStreamHandle(ns_, &s_), 1); }
    void TearDown() override { NullStream_Delete(&ns_); }
    int64_t Write(uint32_t size) {
        uint32_t written = 0xDEADBEEF;
        const int64_t result = Stream_Write(s_, "", size, &written);
        EXPECT_EQ(written, result ? size : 0u);
        return result;
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
    NullStream* ns_ = Created(NullStream_Create);
    Stream* s_ = nullptr;
};

TEST_F(NullStreamTest, CountsWrites) {
    EXPECT_EQ(Write(10), 1);
    EXPECT_EQ(Write(20), 1);
    EXPECT_EQ(NullStream_GetUsed(ns_), 30);
    EXPECT_EQ(Tell(), 30u);
    // Overwriting inside what was written does not lengthen it.
    EXPECT_EQ(Stream_Seek(s_, 5, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Write(10), 1);
    EXPECT_EQ(Length(), 30u);
    EXPECT_EQ(Tell(), 15u);
    // Running over the end does.
    EXPECT_EQ(Write(20), 1);
    EXPECT_EQ(Length(), 35u);
    EXPECT_EQ(Write(0), 1) << "a write of nothing succeeds";
    EXPECT_EQ(Tell(), 35u);
    // A write that starts beyond the length (after a seek there) counts up to where it ends.
    EXPECT_EQ(Stream_Seek(s_, 50, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Write(10), 1);
    EXPECT_EQ(NullStream_GetUsed(ns_), 60);
    EXPECT_EQ(Tell(), 60u);
    // Close only rewinds and empties.
    EXPECT_EQ(Stream_Close(s_), 1);
    EXPECT_EQ(Tell(), 0u);
    EXPECT_EQ(NullStream_GetUsed(ns_), 0);
    EXPECT_EQ(Write(4), 1);
    EXPECT_EQ(NullStream_GetUsed(ns_), 4);
}

TEST_F(NullStreamTest, ReadReportsTheFullRequest) {
    uint8_t buffer[100];
    memset(buffer, 0x5A, sizeof(buffer));
    uint32_t read = 0;
    EXPECT_EQ(Stream_Read(s_, buffer, 100, &read), 1);
    EXPECT_EQ(read, 100u);
    for (uint8_t b : buffer) ASSERT_EQ(b, 0x5A) << "the buffer is not touched";
    EXPECT_EQ(Tell(), 0u) << "the position does not move";
    EXPECT_EQ(Stream_Read(s_, buffer, UINT32_MAX, &read), 1);
    EXPECT_EQ(read, UINT32_MAX);
    EXPECT_EQ(Stream_Read(s_, buffer, 0, &read), 1);
    EXPECT_EQ(read, 0u);
}

TEST_F(NullStreamTest, Seeks) {
    EXPECT_EQ(Write(30), 1);
    const struct {
        int64_t Offset;
        SeekOrigin Origin;
        int64_t Result;
        uint64_t Position;
    } cases[] = {
        {5, SEEK_ORIGIN_BEGIN, 1, 5},
        {10, SEEK_ORIGIN_CURRENT, 1, 15},
        {100, SEEK_ORIGIN_END, 1, 30},      // the offset is ignored
        {1000, SEEK_ORIGIN_BEGIN, 1, 1000}, // positions are not bounded by the length
        {-1000, SEEK_ORIGIN_CURRENT, 1, 0},
        // Before the start: refused, the position stays.
        {-1, SEEK_ORIGIN_BEGIN, 0, 0},
        {-1, SEEK_ORIGIN_CURRENT, 0, 0},
        {INT64_MIN, SEEK_ORIGIN_BEGIN, 0, 0},
        {INT64_MAX, SEEK_ORIGIN_BEGIN, 1, (uint64_t)INT64_MAX},
        {1, SEEK_ORIGIN_CURRENT, 0, (uint64_t)INT64_MAX}, // would wrap
        {-7, SEEK_ORIGIN_END, 1, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.Offset) + " origin " + std::to_string(c.Origin));
        EXPECT_EQ(Stream_Seek(s_, c.Offset, c.Origin), c.Result);
        EXPECT_EQ(Tell(), c.Position);
    }
    EXPECT_EQ(Length(), 30u);
    // A write that would wrap is refused.
    EXPECT_EQ(Stream_Seek(s_, INT64_MAX - 5, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Write(5), 1);
    EXPECT_EQ(NullStream_GetUsed(ns_), INT64_MAX);
    EXPECT_EQ(Write(1), 0);
    EXPECT_EQ(Tell(), (uint64_t)INT64_MAX);
}

// The savers measure a document by printing it into the null stream.
TEST_F(NullStreamTest, MeasuresPrintedText) {
    EXPECT_EQ(Stream_WritePrint(s_, "%s=%d;", "key", 12345), 1);
    uint32_t written = 0;
    EXPECT_EQ(Stream_WriteString(s_, "tail", &written), 1);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(NullStream_GetUsed(ns_), 14);
}

TEST(NullStreamDeathTest, UnknownOriginsAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        SeekOrigin Origin;
        const char* Text;
    } cases[] = {{3, "Invalid seek origin (3)"}, {0xFFFFFFFF, "Invalid seek origin (-1)"}};
    for (const auto& c : cases) {
        EXPECT_DEATH(
            {
                InstallTestAbortHook();
                Stream* s = nullptr;
                NullStream_GetStreamHandle(Created(NullStream_Create), &s);
                Stream_Seek(s, 0, c.Origin);
            },
            AbortRegex(c.Text));
    }
}

} // namespace
