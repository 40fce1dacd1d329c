#include "core/formats/crc.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(CrcTest, UpdateKnownAnswers) {
    const struct {
        const char* Text;
        uint32_t Crc;
    } cases[] = {
        {"123456789", 0xCBF43926u}, // the CRC-32 check value (ITU-T V.42)
        {"", 0x00000000u},          {"a", 0xE8B7BE43u},
        {"abc", 0x352441C2u},       {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
    };
    for (const auto& c : cases) EXPECT_EQ(CRC_Update(0, c.Text, (uint32_t)strlen(c.Text)), c.Crc) << c.Text;
}

TEST(CrcTest, UpdateContinuesFromSeedAndMatchesZlib) {
    std::vector<uint8_t> data(10000);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i * 131 + 7);
    const uint32_t whole = CRC_Update(0, data.data(), (uint32_t)data.size());
    EXPECT_EQ(whole, (uint32_t)crc32(0, data.data(), (uInt)data.size()));
    EXPECT_EQ(CRC_Update(CRC_Update(0, data.data(), 1234), data.data() + 1234, 10000 - 1234), whole);
    EXPECT_EQ(CRC_Update(0x12345678u, data.data(), 0), 0x12345678u);
}

// The object's digest is the value in big-endian order, and it continues over processed chunks.
TEST(CrcTest, ObjectDigestIsTheBigEndianValue) {
    CRC* crc = nullptr;
    ASSERT_EQ(CRC_Create(&crc), 1);
    EXPECT_EQ(CRC_Process(crc, "", 0), 1);
    EXPECT_EQ(CRC_Process(crc, "1234", 4), 1);
    EXPECT_EQ(CRC_Process(crc, "56789", 5), 1);
    EXPECT_EQ(CRC_Generate(crc), 1);
    uint8_t digest[8];
    memset(digest, 0x55, sizeof(digest));
    EXPECT_EQ(CRC_GetDigest(crc, digest, 8), 1u);
    const uint8_t expected[8] = {0xCB, 0xF4, 0x39, 0x26, 0x55, 0x55, 0x55, 0x55};
    EXPECT_EQ(memcmp(digest, expected, 8), 0);
    EXPECT_EQ(CRC_Release(&crc), 1);
    EXPECT_EQ(crc, nullptr);
    EXPECT_EQ(CRC_Release(&crc), 0);
}

} // namespace
