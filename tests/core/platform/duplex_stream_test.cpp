// The duplex stream's two byte queues: each side apart, capped at one mebibyte, locked for the
// socket thread, with transactions, fills between streams and pinned pointers. The sides as
// streams are in the contract.
#include "core/platform/duplex_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

class DuplexStreamTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(DuplexStream_Create(&ds_), 1); }
    void TearDown() override { DuplexStream_Delete(&ds_); }
    int32_t ReadUsed(DuplexStream* ds = nullptr) {
        int32_t used = -1;
        EXPECT_EQ(DuplexStream_ReadGetBufferUsed(ds ? ds : ds_, &used), 1);
        return used;
    }
    int32_t WriteUsed(DuplexStream* ds = nullptr) {
        int32_t used = -1;
        EXPECT_EQ(DuplexStream_WriteGetBufferUsed(ds ? ds : ds_, &used), 1);
        return used;
    }
    std::string ReadGet(uint32_t n, int64_t expectResult = 1) {
        char buffer[100];
        uint32_t got = 0xDEADBEEF;
        EXPECT_EQ(DuplexStream_ReadGet(ds_, buffer, n, &got), expectResult);
        return std::string(buffer, got <= n ? got : 0);
    }
    DuplexStream* ds_ = nullptr;
};

TEST_F(DuplexStreamTest, LockingIsOnForBothSidesUntilSwitchedOff) {
    EXPECT_EQ(DuplexStream_ReadLock(ds_), 1);
    EXPECT_EQ(DuplexStream_WriteLock(ds_), 1);
    EXPECT_EQ(DuplexStream_WriteUnlock(ds_), 1);
    EXPECT_EQ(DuplexStream_ReadUnlock(ds_), 1);
    EXPECT_EQ(DuplexStream_SetAllowLock(ds_, 0), 1);
    uint32_t flag = 7;
    EXPECT_EQ(DuplexStream_GetAllowLock(ds_, &flag), 1);
    EXPECT_EQ(flag, 0u);
    EXPECT_EQ(DuplexStream_ReadLock(ds_), 0) << "locking is off";
    EXPECT_EQ(DuplexStream_WriteLock(ds_), 0) << "on both sides";
}

TEST_F(DuplexStreamTest, FormattedTextGoesToItsSideOnly) {
    EXPECT_EQ(DuplexStream_WritePutFormat(ds_, "%s %s HTTP/1.1\r\n", "GET", "/"), 1);
    EXPECT_EQ(WriteUsed(), 16);
    EXPECT_EQ(ReadUsed(), 0) << "the other side is untouched";
    char buffer[100];
    uint32_t got = 0;
    EXPECT_EQ(DuplexStream_WriteGet(ds_, buffer, 100, &got), 1);
    EXPECT_EQ(std::string(buffer, got), "GET / HTTP/1.1\r\n");
    EXPECT_EQ(DuplexStream_WriteGet(ds_, buffer, 100, &got), 0) << "empty";
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(DuplexStream_ReadPutFormat(ds_, "%d", 42), 1);
    EXPECT_EQ(ReadGet(100), "42");
}

TEST_F(DuplexStreamTest, EachSideStopsAtOneMebibyte) {
    const std::vector<uint8_t> big(1048576, 0x42);
    int32_t left = -1;
    EXPECT_EQ(DuplexStream_ReadPut(ds_, big.data(), 1000), 1);
    EXPECT_EQ(DuplexStream_ReadGetBufferLeft(ds_, &left), 1);
    EXPECT_EQ(left, 1047576);
    EXPECT_EQ(DuplexStream_WriteGetBufferLeft(ds_, &left), 1);
    EXPECT_EQ(left, 1048576);
    EXPECT_EQ(DuplexStream_ReadPut(ds_, big.data(), (uint32_t)big.size()), 1) << "as much as fits";
    EXPECT_EQ(ReadUsed(), 1048576);
    EXPECT_EQ(DuplexStream_ReadGetBufferLeft(ds_, &left), 1);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(DuplexStream_ReadPut(ds_, big.data(), 1), 0) << "full";
}

TEST_F(DuplexStreamTest, TransactionsTakeBackAFailedRecord) {
    const std::vector<uint8_t> data(50, 0x43);
    EXPECT_EQ(DuplexStream_WritePut(ds_, data.data(), 20), 1);
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
    EXPECT_EQ(ReadGet(2), "45");
    uint32_t got = 0;
    EXPECT_EQ(DuplexStream_ReadGet(ds_, nullptr, 1, &got), 1) << "a null buffer drops";
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(ReadGet(16), "789");
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
    EXPECT_EQ(ReadGet(16), ">hello");
    EXPECT_EQ(ReadUsed(other), 0) << "moved, not copied";
    EXPECT_EQ(WriteUsed(other), 2) << "the write side stays";
    EXPECT_EQ(DuplexStream_WriteFill(ds_, other), 1);
    EXPECT_EQ(WriteUsed(), 2);
    EXPECT_EQ(WriteUsed(other), 0);
    EXPECT_EQ(DuplexStream_WriteFill(ds_, ds_), 0) << "a side cannot be moved into itself";
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

// The socket thread fills the read side while the owner drains it; records put inside a
// transaction arrive whole and in order.
TEST_F(DuplexStreamTest, ProducerAndConsumerShareASide) {
    constexpr int kRecords = 2000;
    std::thread producer([this] {
        for (uint32_t i = 0; i < kRecords; i++) {
            DuplexStream_ReadTransactionStart(ds_);
            DuplexStream_ReadPut(ds_, &i, 2);
            DuplexStream_ReadPut(ds_, reinterpret_cast<const uint8_t*>(&i) + 2, 2);
            DuplexStream_ReadTransactionEnd(ds_, 0);
        }
    });
    std::vector<uint8_t> received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (received.size() < kRecords * 4u && std::chrono::steady_clock::now() < deadline) {
        uint8_t buffer[64];
        uint32_t got = 0;
        DuplexStream_ReadLock(ds_);
        EXPECT_EQ(ReadUsed() % 4, 0) << "never half a record";
        DuplexStream_ReadGet(ds_, buffer, sizeof(buffer), &got);
        DuplexStream_ReadUnlock(ds_);
        received.insert(received.end(), buffer, buffer + got);
        if (got == 0) std::this_thread::yield();
    }
    producer.join();
    ASSERT_EQ(received.size(), kRecords * 4u);
    for (uint32_t i = 0; i < kRecords; i++) {
        uint32_t value = 0;
        memcpy(&value, &received[(size_t)i * 4], 4);
        ASSERT_EQ(value, i);
    }
}

} // namespace
