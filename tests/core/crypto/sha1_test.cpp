#include "core/crypto/sha1.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/core/crypto/digest_vectors.h"
#include "tests/support/abort_hook.h"

namespace {

// Both engines: the portable code (forced) and the processor's SHA instructions where present.
class Sha1EngineTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (SHA1_UseProcessorExtensions(GetParam() ? 1 : 0) != (GetParam() ? 1 : 0))
            GTEST_SKIP() << "this processor has no SHA instructions";
    }
    void TearDown() override { SHA1_UseProcessorExtensions(1); }
};

TEST_P(Sha1EngineTest, Rfc3174TestSuite) {
    ExpectKnownAnswers(&SHA1_INTERFACE,
                       {
                           {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
                           {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                            "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
                           {Repeat("0123456701234567012345670123456701234567012345670123456701234567", 10),
                            "dea356a2cddd90c7a7ecedc5ebb563934f460452"},
                           {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
                       });
    ExpectMillionInPieces(&SHA1_INTERFACE, "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST_P(Sha1EngineTest, NistResponseFiles) {
    const std::string root = VectorRoot();
    if (root.empty()) GTEST_SKIP() << "digest vectors are not installed";
    EXPECT_GE(CheckMessageFile(&SHA1_INTERFACE, root + "/hashes/SHA1/SHA1ShortMsg.rsp"), 65);
    EXPECT_GE(CheckMessageFile(&SHA1_INTERFACE, root + "/hashes/SHA1/SHA1LongMsg.rsp"), 64);
    std::string failure;
    EXPECT_EQ(CheckMonteCarlo(&SHA1_INTERFACE, root + "/hashes/SHA1/SHA1Monte.rsp", &failure), 100);
    EXPECT_EQ(failure, "");
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha1EngineTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Processor") : std::string("Portable");
                         });

TEST(Sha1Test, EnginesAgreeOnEveryLength) {
    if (!SHA1_UseProcessorExtensions(1)) GTEST_SKIP() << "this processor has no SHA instructions";
    std::string data;
    uint32_t x = 0x12345678;
    for (int i = 0; i < 1100; i++) {
        x = x * 1103515245u + 12345u;
        data += (char)(x >> 24);
    }
    for (size_t n = 0; n <= data.size(); n += (n < 300 ? 1 : 37)) {
        const std::string m = data.substr(0, n);
        const std::string fast = Digest(&SHA1_INTERFACE, m);
        SHA1_UseProcessorExtensions(0);
        const std::string portable = Digest(&SHA1_INTERFACE, m);
        SHA1_UseProcessorExtensions(1);
        EXPECT_EQ(fast, portable) << n;
    }
}

TEST(Sha1Test, PaddingAroundTheLengthField) {
    ExpectPaddingAroundTheLengthField(&SHA1_INTERFACE);
}

TEST(Sha1Test, ShortBufferReceivesLeadingBytes) {
    ExpectShortBuffersGetLeadingBytes(&SHA1_INTERFACE);
}

TEST(Sha1Test, CopyMidMessage) {
    ExpectCopyMidMessage(&SHA1_INTERFACE);
    ExpectCopyTakesCountStateAndBlock<SHA1>(&SHA1_INTERFACE);
}

TEST(Sha1Test, BitCountCarriesIntoTheHighWord) {
    ExpectBitCountCarries<SHA1>(&SHA1_INTERFACE);
}

TEST(Sha1Test, InstancesOnHeapAndInCallerMemory) {
    EXPECT_EQ(SHA1_SizeOf(), sizeof(SHA1));
    EXPECT_EQ(SHA1_INTERFACE.BlockSize, 64u);
    EXPECT_EQ(SHA1_INTERFACE.DigestSize, 20u);
    EXPECT_STREQ(SHA1_INTERFACE.Name, "SHA1");

    SHA1 stacked;
    memset(&stacked, 0xAB, sizeof(stacked));
    EXPECT_EQ(SHA1_Stack(&stacked), 1);
    EXPECT_EQ(stacked.Header.ClassId, SHA1_CLASS_ID);
    EXPECT_EQ(stacked.Header.RefCount, 0u);
    EXPECT_EQ(stacked.Header.Delete, nullptr);
    EXPECT_EQ(stacked.State[0], 0x67452301u);
    EXPECT_EQ(stacked.DigestReady, 0u);
    EXPECT_EQ(SHA1_Unstack(&stacked), 1);

    SHA1* sha1 = nullptr;
    EXPECT_EQ(SHA1_Create(&sha1), 1);
    ASSERT_NE(sha1, nullptr);
    EXPECT_EQ(sha1->Header.RefCount, 1u);
    EXPECT_EQ(SHA1_IsGenerated(sha1), 0u);
    EXPECT_EQ(SHA1_AddRef(sha1), 1);
    SHA1* second = sha1;
    EXPECT_EQ(SHA1_Release(&second), 1);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(sha1->Header.RefCount, 1u);
    char id[64];
    EXPECT_EQ(SHA1_GetInstanceId(sha1, id, sizeof(id)), 1);
    SHA1_Process(sha1, "abc", 3);
    SHA1_Generate(sha1);
    EXPECT_EQ(SHA1_IsGenerated(sha1), 1u);
    EXPECT_EQ(SHA1_Reset(sha1), 1);
    EXPECT_EQ(SHA1_IsGenerated(sha1), 0u);
    EXPECT_EQ(sha1->BitCount[0], 0u);
    SHA1_Generate(sha1);
    uint8_t out[20];
    SHA1_GetDigest(sha1, out, 20);
    EXPECT_EQ(ToHex(out, 20), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(SHA1_Release(&sha1), 1);
    EXPECT_EQ(sha1, nullptr);
    EXPECT_EQ(SHA1_Release(&sha1), 0);
}

TEST(Sha1Test, ReadingBeforeGeneratingAborts) {
    ExpectReadingBeforeGeneratingAborts(&SHA1_INTERFACE, "SHA1");
    ExpectNullDataAborts(&SHA1_INTERFACE);
}

} // namespace
