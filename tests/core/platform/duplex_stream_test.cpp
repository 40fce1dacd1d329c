#include "core/platform/duplex_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/abort_hook.h"

namespace {

class DuplexStreamTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(DuplexStream_Create(&ds_), 1); }
    void TearDown() override {
        if (ds_) DuplexStream_Delete(&ds_);
    }
    int32_t ReadUsed() {
        int32_t used = -1;
        EXPECT_EQ(DuplexStream_ReadGetBufferUsed(ds_, &used), 1);
        return used;
    }
    int32_t WriteUsed() {
        int32_t used = -1;
        EXPECT_EQ(DuplexStream_WriteGetBufferUsed(ds_, &used), 1);
        return used;
    }
    DuplexStream* ds_ = nullptr;
};

TEST_F(DuplexStreamTest, SidesAreLockedGrowingQueuesCappedAtOneMebibyte) {
    MemoryStream* read = nullptr;
    MemoryStream* write = nullptr;
    EXPECT_EQ(DuplexStream_GetReadMemoryStreamHandle(ds_, &read), 1);
    EXPECT_EQ(DuplexStream_GetWriteMemoryStreamHandle(ds_, &write), 1);
    ASSERT_NE(read, nullptr);
    ASSERT_NE(write, nullptr);
    EXPECT_NE(read, write);
    for (MemoryStream* side : {read, write}) {
        uint32_t flag = 0;
        MemoryStream_GetAutoGrow(side, &flag);
        EXPECT_EQ(flag, 1u);
        MemoryStream_GetAllowLock(side, &flag);
        EXPECT_EQ(flag, 1u);
        EXPECT_EQ(side->MaxCapacity, 1048576);
    }
    uint32_t flag = 0;
    EXPECT_EQ(DuplexStream_GetAllowLock(ds_, &flag), 1);
    EXPECT_EQ(flag, 1u);
    EXPECT_EQ(DuplexStream_ReadLock(ds_), 1);
    EXPECT_EQ(DuplexStream_WriteLock(ds_), 1);
    EXPECT_EQ(DuplexStream_WriteUnlock(ds_), 1);
    EXPECT_EQ(DuplexStream_ReadUnlock(ds_), 1);
    EXPECT_EQ(DuplexStream_SetAllowLock(ds_, 0), 1);
    EXPECT_EQ(DuplexStream_GetAllowLock(ds_, &flag), 1);
    EXPECT_EQ(flag, 0u);
    MemoryStream_GetAllowLock(write, &flag);
    EXPECT_EQ(flag, 0u) << "both sides";
    EXPECT_EQ(DuplexStream_ReadLock(ds_), 0) << "locking is off";
    EXPECT_EQ(DuplexStream_WriteLock(ds_), 0);
}

TEST_F(DuplexStreamTest, FormattedRequestLine) {
    EXPECT_EQ(DuplexStream_WritePutFormat(ds_, "%s %s HTTP/1.1\r\n", "GET", "/"), 1);
    EXPECT_EQ(WriteUsed(), 16);
    EXPECT_EQ(ReadUsed(), 0) << "the other side is untouched";
    char buffer[100];
    uint32_t got = 0;
    EXPECT_EQ(DuplexStream_WriteGet(ds_, buffer, 100, &got), 1);
    EXPECT_EQ(got, 16u);
    EXPECT_EQ(std::string(buffer, got), "GET / HTTP/1.1\r\n");
    EXPECT_EQ(WriteUsed(), 0);
    EXPECT_EQ(DuplexStream_WriteGet(ds_, buffer, 100, &got), 0) << "empty";
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(DuplexStream_ReadPutFormat(ds_, "%d", 42), 1);
    EXPECT_EQ(DuplexStream_ReadGet(ds_, buffer, 100, &got), 1);
    EXPECT_EQ(std::string(buffer, got), "42");
}

TEST_F(DuplexStreamTest, RoomLeftBelowTheMaximum) {
    const std::vector<uint8_t> data(1000, 0x41);
    int32_t left = -1;
    EXPECT_EQ(DuplexStream_ReadGetBufferLeft(ds_, &left), 1);
    EXPECT_EQ(left, 1048576);
    EXPECT_EQ(DuplexStream_ReadPut(ds_, data.data(), 1000), 1);
    EXPECT_EQ(DuplexStream_ReadGetBufferLeft(ds_, &left), 1);
    EXPECT_EQ(left, 1047576);
    EXPECT_EQ(DuplexStream_WriteGetBufferLeft(ds_, &left), 1);
    EXPECT_EQ(left, 1048576);
    // More than fits: the side stops at its maximum.
    const std::vector<uint8_t> big(1048576, 0x42);
    EXPECT_EQ(DuplexStream_ReadPut(ds_, big.data(), (uint32_t)big.size()), 1);
    EXPECT_EQ(ReadUsed(), 1048576);
    EXPECT_EQ(DuplexStream_ReadGetBufferLeft(ds_, &left), 1);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(DuplexStream_ReadPut(ds_, big.data(), 1), 0) << "full";
}

TEST_F(DuplexStreamTest, TransactionsTakeBackAFailedRecord) {
    const std::vector<uint8_t> data(50, 0x43);
    EXPECT_EQ(DuplexStream_WritePut(ds_, data.data(), 20), 1);
    EXPECT_EQ(DuplexStream_WriteTransactionActive(ds_), 0);
    EXPECT_EQ(DuplexStream_WriteTransactionStart(ds_), 1);
    EXPECT_EQ(DuplexStream_WriteTransactionActive(ds_), 1);
    EXPECT_EQ(DuplexStream_ReadTransactionActive(ds_), 0);
    EXPECT_EQ(DuplexStream_WritePut(ds_, data.data(), 50), 1);
    EXPECT_EQ(WriteUsed(), 70);
    EXPECT_EQ(DuplexStream_WriteTransactionEnd(ds_, 1), 1);
    EXPECT_EQ(WriteUsed(), 20);
    EXPECT_EQ(DuplexStream_WriteTransactionActive(ds_), 0);

    EXPECT_EQ(DuplexStream_ReadTransactionStart(ds_), 1);
    EXPECT_EQ(DuplexStream_ReadPut(ds_, data.data(), 30), 1);
    EXPECT_EQ(DuplexStream_ReadTransactionEnd(ds_, 0), 1);
    EXPECT_EQ(ReadUsed(), 30) << "kept";
}

TEST_F(DuplexStreamTest, DiscardGetAndReset) {
    EXPECT_EQ(DuplexStream_ReadPut(ds_, "0123456789", 10), 1);
    EXPECT_EQ(DuplexStream_ReadDiscard(ds_, 4), 1) << "bytes remain";
    char buffer[16];
    uint32_t got = 0;
    EXPECT_EQ(DuplexStream_ReadGet(ds_, buffer, 2, &got), 1);
    EXPECT_EQ(std::string(buffer, got), "45");
    EXPECT_EQ(DuplexStream_ReadGet(ds_, nullptr, 1, &got), 1) << "a null buffer drops";
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(DuplexStream_ReadGet(ds_, buffer, 16, &got), 1);
    EXPECT_EQ(std::string(buffer, got), "789");
    EXPECT_EQ(DuplexStream_ReadPut(ds_, "abc", 3), 1);
    EXPECT_EQ(DuplexStream_ReadDiscard(ds_, 3), 0) << "now empty";
    EXPECT_EQ(DuplexStream_ReadDiscard(ds_, 100), 0);
    EXPECT_EQ(DuplexStream_ReadPut(ds_, "", 0), 0) << "a put of nothing";

    EXPECT_EQ(DuplexStream_ReadPut(ds_, "abc", 3), 1);
    EXPECT_EQ(DuplexStream_WritePut(ds_, "de", 2), 1);
    EXPECT_EQ(DuplexStream_Reset(ds_), 1);
    EXPECT_EQ(ReadUsed(), 0);
    EXPECT_EQ(WriteUsed(), 0);
}

TEST_F(DuplexStreamTest, FillMovesTheSameSideOfAnotherStream) {
    DuplexStream* other = nullptr;
    ASSERT_EQ(DuplexStream_Create(&other), 1);
    EXPECT_EQ(DuplexStream_ReadPut(other, "hello", 5), 1);
    EXPECT_EQ(DuplexStream_WritePut(other, "xy", 2), 1);
    EXPECT_EQ(DuplexStream_ReadPut(ds_, ">", 1), 1);
    EXPECT_EQ(DuplexStream_ReadFill(ds_, other), 1);
    char buffer[16];
    uint32_t got = 0;
    EXPECT_EQ(DuplexStream_ReadGet(ds_, buffer, 16, &got), 1);
    EXPECT_EQ(std::string(buffer, got), ">hello");
    int32_t used = -1;
    DuplexStream_ReadGetBufferUsed(other, &used);
    EXPECT_EQ(used, 0) << "moved, not copied";
    DuplexStream_WriteGetBufferUsed(other, &used);
    EXPECT_EQ(used, 2) << "the write side stays";
    EXPECT_EQ(DuplexStream_WriteFill(ds_, other), 1);
    EXPECT_EQ(WriteUsed(), 2);
    // A side cannot be moved into itself.
    EXPECT_EQ(DuplexStream_WriteFill(ds_, ds_), 0);
    EXPECT_EQ(WriteUsed(), 2);
    DuplexStream_Delete(&other);
}

TEST_F(DuplexStreamTest, PointersPinTheBuffer) {
    uint8_t* pointer = reinterpret_cast<uint8_t*>(&pointer);
    int32_t used = -1;
    EXPECT_EQ(DuplexStream_ReadGetPointer(ds_, &pointer, &used), 0) << "no buffer yet";
    EXPECT_EQ(pointer, nullptr);
    EXPECT_EQ(used, 0);
    EXPECT_EQ(DuplexStream_WritePut(ds_, "abcd", 4), 1);
    EXPECT_EQ(DuplexStream_WriteGetPointer(ds_, &pointer, &used), 1);
    ASSERT_NE(pointer, nullptr);
    EXPECT_EQ(used, 4);
    EXPECT_EQ(memcmp(pointer, "abcd", 4), 0);
    MemoryStream* write = nullptr;
    DuplexStream_GetWriteMemoryStreamHandle(ds_, &write);
    EXPECT_EQ(write->PinCount, 1u);
    EXPECT_EQ(DuplexStream_WriteReleasePointer(ds_, &pointer), 1);
    EXPECT_EQ(pointer, nullptr);
    EXPECT_EQ(write->PinCount, 0u);
    EXPECT_EQ(DuplexStream_ReadReleasePointer(ds_, &pointer), 1) << "a null pointer is nothing to release";
}

// The side's memory stream serves the Stream functions.
TEST_F(DuplexStreamTest, SidesAreStreams) {
    MemoryStream* read = nullptr;
    DuplexStream_GetReadMemoryStreamHandle(ds_, &read);
    Stream* s = nullptr;
    ASSERT_EQ(MemoryStream_GetStreamHandle(read, &s), 1);
    EXPECT_EQ(DuplexStream_ReadPut(ds_, "\x04\x03\x02\x01", 4), 1);
    uint32_t value = 0;
    uint32_t count = 0;
    EXPECT_EQ(Stream_ReadUInt32(s, &value, &count), 1);
    EXPECT_EQ(value, 0x01020304u);
}

// The socket thread fills the read side while the owner drains it; records put inside a
// transaction arrive whole and in order.
TEST_F(DuplexStreamTest, ProducerAndConsumerShareASide) {
    constexpr int kRecords = 2000;
    std::thread producer([this] {
        for (int i = 0; i < kRecords; i++) {
            DuplexStream_ReadTransactionStart(ds_);
            const uint32_t value = (uint32_t)i;
            DuplexStream_ReadPut(ds_, &value, 2);
            DuplexStream_ReadPut(ds_, reinterpret_cast<const uint8_t*>(&value) + 2, 2);
            DuplexStream_ReadTransactionEnd(ds_, 0);
        }
    });
    std::vector<uint8_t> received;
    while (received.size() < kRecords * 4u) {
        uint8_t buffer[64];
        uint32_t got = 0;
        DuplexStream_ReadLock(ds_);
        int32_t used = 0;
        DuplexStream_ReadGetBufferUsed(ds_, &used);
        EXPECT_EQ(used % 4, 0) << "never half a record";
        DuplexStream_ReadGet(ds_, buffer, sizeof(buffer), &got);
        DuplexStream_ReadUnlock(ds_);
        received.insert(received.end(), buffer, buffer + got);
        if (got == 0) std::this_thread::yield();
    }
    producer.join();
    ASSERT_EQ(received.size(), kRecords * 4u);
    for (int i = 0; i < kRecords; i++) {
        uint32_t value = 0;
        memcpy(&value, &received[(size_t)i * 4], 4);
        ASSERT_EQ(value, (uint32_t)i);
    }
}

TEST_F(DuplexStreamTest, DeleteAndReferences) {
    EXPECT_EQ(DuplexStream_AddRef(ds_), 1);
    DuplexStream* second = ds_;
    EXPECT_EQ(DuplexStream_Release(&second), 1);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(DuplexStream_WritePut(ds_, "a", 1), 1) << "still alive";
    char id[40] = "x";
    EXPECT_EQ(DuplexStream_GetInstanceId(ds_, id, sizeof(id)), 1);
    EXPECT_STREQ(id, "");
    DuplexStream* last = ds_;
    ds_ = nullptr;
    EXPECT_EQ(DuplexStream_Release(&last), 1);
    EXPECT_EQ(last, nullptr);
}

TEST(DuplexStreamDeathTest, AbortTexts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DuplexStream* ds = nullptr;
            DuplexStream_Create(&ds);
            DuplexStream_WriteTransactionStart(ds);
            DuplexStream_WriteTransactionStart(ds);
        },
        AbortRegex("Assertion failed (MemoryStream->TransactionStart == -1)\nBuffer already in transaction"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DuplexStream* ds = nullptr;
            DuplexStream_Create(&ds);
            DuplexStream_ReadTransactionEnd(ds, 1);
        },
        AbortRegex("Assertion failed (MemoryStream->TransactionStart != -1)\nBuffer not in transaction"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DuplexStream_Reset(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DuplexStream* ds = nullptr;
            DuplexStream_Create(&ds);
            DuplexStream_ReadGetBufferUsed(ds, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DuplexStream* ds = nullptr;
            DuplexStream_Create(&ds);
            DuplexStream_ReadFill(ds, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MemoryStream* ms = nullptr;
            MemoryStream_Create(&ms);
            DuplexStream_Reset(reinterpret_cast<DuplexStream*>(ms));
        },
        "ABORT - Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0x6d8a9d1f but was 0xa2214518\\)\n");
}

} // namespace
