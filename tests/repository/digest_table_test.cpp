// The piece table: defaults, digests (decoding, refusals, growth), lookups and the arithmetic
// between pieces and stream offsets.
#include "repository/digest_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/crypto/hash.h"
#include "core/formats/json.h"
#include "tests/support/abort_hook.h"

namespace {

// SHA-1 of "abc" (FIPS 180-2 appendix A.1), in Base64 and in hexadecimal.
const char kAbc[] = "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=";
const char kAbcHex[] = "a9993e364706816aba3e25717850c26c9cd0d89d";

class PieceListTest : public ::testing::Test {
  protected:
    void SetUp() override { PieceList_Create(&list); }
    void TearDown() override { PieceList_Release(&list); }
    int64_t Add(const std::string& path, const std::string& text, uint32_t* error = nullptr,
                uint32_t type = JSON_VALUE_STRING) {
        uint32_t e = 0;
        const int64_t r = PieceList_MemberAddByValue(list, ("pieces\\" + path).c_str(), type, text.data(),
                                                     (int32_t)text.size(), &e);
        if (error) *error = e;
        return r;
    }
    int64_t Digest(int i, const std::string& base64, uint32_t* error = nullptr) {
        return Add("digests\\" + std::to_string(i), base64, error);
    }
    int32_t Total() {
        int32_t total = -1;
        PieceList_GetPieceTotal(list, &total);
        return total;
    }
    PieceList* list = nullptr;
};

TEST_F(PieceListTest, SettingsFromTheirTexts) {
    const struct {
        std::string Key, Text;
        uint32_t Length, HashPadding;
    } cases[] = {
        {"SIZE", "65536", 65536, 1}, {"size", "0", 0, 1}, {"size", "-4", 0, 1}, {"size", "2147483648", 0, 1},
        {"hashPadding", "TRUE", 4194304, 1}, {"hashPadding", "1", 4194304, 0},
    };
    for (const auto& c : cases) {
        PieceList_Reset(list);
        EXPECT_EQ(Add(c.Key, c.Text), 1);
        uint32_t length = 0, hashPadding = 0;
        PieceList_GetPieceLength(list, &length);
        PieceList_GetHashPadding(list, &hashPadding);
        EXPECT_EQ(length, c.Length) << c.Key << "=" << c.Text;
        EXPECT_EQ(hashPadding, c.HashPadding) << c.Key << "=" << c.Text;
    }
    EXPECT_EQ(Add("algorithm", "sha256"), 1);
    const HashInterface* record = nullptr;
    ASSERT_EQ(PieceList_GetAlgorithm(list, &record), 1);
    EXPECT_STREQ(record->Name, "SHA256");
}

TEST_F(PieceListTest, DigestsAndLookups) {
    ASSERT_EQ(Digest(0, "AAECAwQFBgcICQoLDA0ODxAREhM="), 1);
    ASSERT_EQ(Digest(1, kAbc), 1);
    EXPECT_EQ(Total(), 2);
    char hex[41];
    PieceList_GetDigestStringByIndex(list, 1, hex, sizeof(hex));
    EXPECT_STREQ(hex, kAbcHex);
    uint8_t bytes[20] = {};
    PieceList_GetDigestByIndex(list, 0, bytes, 3);
    EXPECT_EQ(bytes[2], 2);
    EXPECT_EQ(bytes[3], 0); // no more than asked for
    PieceList_GetDigestByIndex(list, 1, bytes, sizeof(bytes));
    int32_t index = 9;
    EXPECT_EQ(PieceList_GetIndexByDigest(list, bytes, &index), 1);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(PieceList_CompareByIndex(list, 1, bytes, 20), 1);
    EXPECT_EQ(PieceList_CompareByIndex(list, 0, bytes, 20), 0);
    EXPECT_EQ(PieceList_CompareByIndex(list, 1, bytes, 19), 0);
    bytes[0] ^= 1;
    EXPECT_EQ(PieceList_GetIndexByDigest(list, bytes, &index), 0);
    EXPECT_EQ(index, -1);
}

TEST_F(PieceListTest, RefusedDigests) {
    ASSERT_EQ(Digest(0, kAbc), 1);
    const std::string sixtyFive = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    const std::string sixtyFour = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==";
    const std::string refused[] = {
        "AAECAwQFBgcICQoLDA0ODxAREg==", // 19 bytes after a digest of 20
        "",                             // nothing
        "qZk+Nk#GgWq6PiVxeFDCbJzQ2J0",  // not Base64
        sixtyFour,                      // 64 bytes, but not the 20 of the first
        std::string(5000, 'A'),
    };
    for (const std::string& text : refused) {
        uint32_t error = 0;
        EXPECT_EQ(Digest(1, text, &error), 0) << text;
        EXPECT_EQ(error, 11u) << text;
    }
    uint32_t error = 0;
    EXPECT_EQ(Add("digests\\1", "", &error, JSON_VALUE_OBJECT), 0);
    EXPECT_EQ(Total(), 1);
    PieceList_Reset(list);
    EXPECT_EQ(Digest(0, sixtyFour), 1);
    EXPECT_EQ(Digest(1, sixtyFive, &error), 0);
    EXPECT_EQ(Total(), 1);
}

TEST_F(PieceListTest, DigestArrayGrowsKeepingContents) {
    // 250 distinct 3-byte digests: "AAAA", "AAAB", ... in Base64.
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 250; i++) {
        const std::string text = std::string("AA") + alphabet[i / 64] + alphabet[i % 64];
        ASSERT_EQ(Digest(i, text), 1) << i;
    }
    ASSERT_EQ(Total(), 250);
    for (int i = 0; i < 250; i++) {
        uint8_t d[3];
        PieceList_GetDigestByIndex(list, i, d, 3);
        EXPECT_EQ(((d[1] & 0x0F) << 8 | d[2]), i) << i;
    }
}

TEST_F(PieceListTest, IndexRanges) {
    Add("size", "100");
    for (int i = 0; i < 5; i++) Digest(i, kAbc);
    const struct {
        uint64_t Offset, Length;
        uint32_t Clamp;
        int32_t First, Last;
    } cases[] = {
        {0, 99, 1, 0, 0},    {0, 100, 0, 0, 1},   {150, 249, 1, 1, 3}, {1000, 10, 1, 4, 4},
        {1000, 10, 0, 10, 10}, {499, 0, 1, 4, 4}, {~0ull, 10, 0, 0x7FFFFFFF, 0x7FFFFFFF},
    };
    for (const auto& c : cases) {
        int32_t first = -9, last = -9;
        PieceList_GetIndexRangeByOffset(list, c.Offset, c.Length, c.Clamp, &first, &last);
        EXPECT_EQ(first, c.First) << c.Offset << "+" << c.Length;
        EXPECT_EQ(last, c.Last) << c.Offset << "+" << c.Length;
    }
    EXPECT_EQ(PieceList_GetIndexByOffset(250, 100), 2);
    EXPECT_EQ(PieceList_GetIndexByOffset(250, 0), 0);
    EXPECT_EQ(PieceList_GetOffsetByIndex(100, 7), 700u);
}

TEST(PieceListDeathTest, DigestIndexOutOfBounds) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            PieceList* list = nullptr;
            PieceList_Create(&list);
            uint8_t d[20];
            PieceList_GetDigestByIndex(list, 0, d, 20);
        },
        AbortRegex("Assertion failed (Index >= 0 && Index < PieceList->PieceTotal)\nIndex out of bounds"));
}

} // namespace
