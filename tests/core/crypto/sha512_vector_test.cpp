// Tests of SHA-512's AVX2/BMI2 engine: FIPS 180-4 known answers on both engines, and the same
// digests from both on every length up to several blocks, fed whole and in uneven pieces.
#include "core/crypto/sha512.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Hex(const uint8_t* bytes, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; i++) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

// Digest of data fed in pieces of the given sizes (repeating), through a created object.
std::string Digest(bool sha384, const uint8_t* data, size_t length, const std::vector<size_t>& pieces) {
    SHA512* sha = nullptr;
    EXPECT_EQ(sha384 ? SHA384_Create(&sha) : SHA512_Create(&sha), 1);
    size_t at = 0;
    for (size_t k = 0; at < length; k++) {
        size_t n = pieces.empty() ? length : pieces[k % pieces.size()];
        if (n > length - at) n = length - at;
        EXPECT_EQ(SHA512_Process(sha, data + at, (int32_t)n), 1);
        at += n;
    }
    EXPECT_EQ(SHA512_Generate(sha), 1);
    uint8_t digest[64];
    const uint32_t size = sha384 ? 48 : 64;
    EXPECT_EQ(SHA512_GetDigest(sha, digest, sizeof(digest)), 1u);
    SHA512_Delete(&sha);
    return Hex(digest, size);
}

std::string Digest(bool sha384, const std::string& text) {
    return Digest(sha384, (const uint8_t*)text.data(), text.size(), {});
}

std::vector<uint8_t> Bytes(size_t n) {
    std::vector<uint8_t> out(n);
    uint32_t x = 0x12345678u;
    for (uint8_t& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = (uint8_t)(x >> 7);
    }
    return out;
}

class BothEngines : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (SHA512_UseProcessorExtensions(GetParam() ? 1 : 0) != (GetParam() ? 1 : 0))
            GTEST_SKIP() << "this processor has no AVX2 and BMI2";
    }
    void TearDown() override { SHA512_UseProcessorExtensions(1); }
};

// FIPS 180-4 examples (SHA-512 and SHA-384 of "abc", the 896-bit message, one million 'a').
TEST_P(BothEngines, Fips180KnownAnswers) {
    const std::string twoBlocks =
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
        "klmnopqrlmnopqrsmnopqrstnopqrstu";
    EXPECT_EQ(Digest(false, "abc"), "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                                    "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(Digest(false, ""), "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
                                 "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");
    EXPECT_EQ(Digest(false, twoBlocks), "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
                                        "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909");
    EXPECT_EQ(Digest(false, std::string(1000000, 'a')),
              "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
              "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b");
    EXPECT_EQ(Digest(true, "abc"), "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded163"
                                   "1a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7");
    EXPECT_EQ(Digest(true, twoBlocks), "09330c33f71147e83d192fc782cd1b4753111b173b3b05d2"
                                       "2fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039");
}

INSTANTIATE_TEST_SUITE_P(Sha512Vector, BothEngines, ::testing::Values(false, true));

TEST(Sha512VectorTest, EnginesAgreeOnEveryLengthAndSplit) {
    if (!SHA512_UseProcessorExtensions(1)) GTEST_SKIP() << "this processor has no AVX2 and BMI2";
    const std::vector<uint8_t> data = Bytes(1100);
    const std::vector<std::vector<size_t>> splits = {{}, {1}, {7, 130}, {127, 1, 128}, {200, 56}};
    for (size_t length = 0; length <= 1040; length += (length < 300 ? 1 : 37)) {
        for (const auto& split : splits) {
            for (bool sha384 : {false, true}) {
                SHA512_UseProcessorExtensions(0);
                const std::string portable = Digest(sha384, data.data(), length, split);
                SHA512_UseProcessorExtensions(1);
                ASSERT_EQ(Digest(sha384, data.data(), length, split), portable) << length;
            }
        }
    }
}

TEST(Sha512VectorTest, WriteByteBlockUsesTheSameEngine) {
    if (!SHA512_UseProcessorExtensions(1)) GTEST_SKIP() << "this processor has no AVX2 and BMI2";
    const std::vector<uint8_t> data = Bytes(128);
    uint64_t vector[8], portable[8];
    memcpy(vector, SHA512_InitialState, sizeof(vector));
    memcpy(portable, SHA512_InitialState, sizeof(portable));
    SHA512_WriteByteBlock(vector, data.data());
    SHA512_UseProcessorExtensions(0);
    SHA512_WriteByteBlock(portable, data.data());
    SHA512_UseProcessorExtensions(1);
    EXPECT_EQ(memcmp(vector, portable, sizeof(vector)), 0);
}

} // namespace
