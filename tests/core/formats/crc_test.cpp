#include "core/formats/crc.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/abort_hook.h"

namespace {

TEST(CrcTest, UpdateKnownAnswers) {
    struct Case {
        const char* text;
        uint32_t crc;
    } cases[] = {
        {"123456789", 0xCBF43926u}, // the CRC-32 check value (ITU-T V.42)
        {"", 0x00000000u},          {"a", 0xE8B7BE43u},
        {"abc", 0x352441C2u},       {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CRC_Update(0, c.text, (uint32_t)strlen(c.text)), c.crc) << c.text;
    }
}

TEST(CrcTest, UpdateContinuesFromSeedAndMatchesZlib) {
    std::vector<uint8_t> data(10000);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i * 131 + 7);
    uint32_t whole = CRC_Update(0, data.data(), (uint32_t)data.size());
    EXPECT_EQ(whole, (uint32_t)crc32(0, data.data(), (uInt)data.size()));
    uint32_t split = CRC_Update(CRC_Update(0, data.data(), 1234), data.data() + 1234, 10000 - 1234);
    EXPECT_EQ(split, whole);
    EXPECT_EQ(CRC_Update(0x12345678u, data.data(), 0), 0x12345678u);
}

TEST(CrcTest, UpdateNullDataAborts) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CRC_Update(0, nullptr, 1);
        },
        AbortRegex("Pointer is NULL\n"));
}

TEST(CrcTest, ObjectDigestIsBigEndianValue) {
    CRC* crc = nullptr;
    ASSERT_EQ(CRC_Create(&crc), 1);
    EXPECT_EQ(CRC_IsGenerated(crc), 0u);
    // An empty buffer then "a" equals "a" in one call.
    EXPECT_EQ(CRC_Process(crc, "", 0), 1);
    EXPECT_EQ(CRC_Process(crc, "a", 1), 1);
    EXPECT_EQ(crc->Value, 0xE8B7BE43u);
    EXPECT_EQ(CRC_Generate(crc), 1);
    EXPECT_EQ(CRC_IsGenerated(crc), 1u);
    EXPECT_EQ(crc->Value, 0xE8B7BE43u); // generating does not change the value
    uint8_t digest[8] = {0, 0, 0, 0, 0x55, 0x55, 0x55, 0x55};
    EXPECT_EQ(CRC_GetDigest(crc, digest, 8), 1u);
    const uint8_t expected[8] = {0xE8, 0xB7, 0xBE, 0x43, 0x55, 0x55, 0x55, 0x55};
    EXPECT_EQ(memcmp(digest, expected, 8), 0);
    uint8_t two[3] = {0, 0, 0x77};
    EXPECT_EQ(CRC_GetDigest(crc, two, 2), 1u);
    EXPECT_EQ(two[0], 0xE8);
    EXPECT_EQ(two[1], 0xB7);
    EXPECT_EQ(two[2], 0x77);
    char text[9];
    EXPECT_EQ(CRC_GetString(crc, 0, text, sizeof(text)), 1u);
    EXPECT_STREQ(text, "e8b7be43");
    char shortText[8];
    EXPECT_EQ(CRC_GetString(crc, 0, shortText, sizeof(shortText)), 0u);
    EXPECT_STREQ(shortText, "e8b7be4");

    CRC* copy = nullptr;
    ASSERT_EQ(CRC_Create(&copy), 1);
    EXPECT_EQ(CRC_CopyTo(crc, copy), 1);
    EXPECT_EQ(copy->Value, crc->Value);
    EXPECT_EQ(copy->Generated, 1u);
    EXPECT_EQ(CRC_Reset(copy), 1);
    EXPECT_EQ(copy->Value, 0u);
    EXPECT_EQ(CRC_IsGenerated(copy), 0u);
    EXPECT_EQ(CRC_Delete(&copy), 1);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(CRC_AddRef(crc), 1);
    EXPECT_EQ(crc->Header.RefCount, 2u);
    CRC* second = crc;
    EXPECT_EQ(CRC_Release(&second), 1);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(crc->Header.RefCount, 1u);
    EXPECT_EQ(CRC_Release(&crc), 1);
    EXPECT_EQ(crc, nullptr);
}

TEST(CrcTest, StackedInstanceNeedsNoHeap) {
    alignas(16) uint8_t memory[64];
    ASSERT_LE(CRC_SizeOf(), sizeof(memory));
    memset(memory, 0, sizeof(memory));
    EXPECT_EQ(CRC_Stack(memory), 1);
    CRC* crc = reinterpret_cast<CRC*>(memory);
    EXPECT_EQ(crc->Header.ClassId, (uint32_t)CRC_CLASS_ID);
    EXPECT_EQ(crc->Header.RefCount, 0u);
    EXPECT_EQ(CRC_Process(crc, "123456789", 9), 1);
    EXPECT_EQ(crc->Value, 0xCBF43926u);
    EXPECT_EQ(CRC_Unstack(crc), 1);
}

TEST(CrcTest, InterfaceRecord) {
    EXPECT_STREQ(CRC_INTERFACE.Name, "CRC");
    EXPECT_EQ(CRC_INTERFACE.BlockSize, 4u);
    EXPECT_EQ(CRC_INTERFACE.DigestSize, 4u);
    void* instance = nullptr;
    ASSERT_EQ(CRC_INTERFACE.Create(&instance), 1);
    EXPECT_EQ(CRC_INTERFACE.Process(instance, "123456789", 9), 1);
    EXPECT_EQ(CRC_INTERFACE.IsGenerated(instance), 0u);
    EXPECT_EQ(CRC_INTERFACE.Generate(instance), 1);
    char text[9];
    EXPECT_EQ(CRC_INTERFACE.GetString(instance, 0, text, 9), 1u);
    EXPECT_STREQ(text, "cbf43926");
    EXPECT_EQ(CRC_INTERFACE.Delete(&instance), 1);
    EXPECT_EQ(instance, nullptr);
}

TEST(CrcTest, DigestBeforeGenerateAborts) {
    const std::string expected = "Assertion failed (CRC->DigestReady)\nCRC must be generated first!";
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CRC* crc = nullptr;
            CRC_Create(&crc);
            uint8_t digest[4];
            CRC_GetDigest(crc, digest, 4);
        },
        AbortRegex(expected));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CRC* crc = nullptr;
            CRC_Create(&crc);
            char text[9];
            CRC_GetString(crc, 0, text, 9);
        },
        AbortRegex(expected));
}

TEST(CrcTest, WrongClassAborts) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            uint8_t memory[64] = {};
            CRC_Reset(reinterpret_cast<CRC*>(memory));
        },
        "Class mismatch pointer");
}

} // namespace
