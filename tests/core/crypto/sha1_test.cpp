#include "core/crypto/sha1.h"

#include <gtest/gtest.h>

#include "tests/core/crypto/digest_vectors.h"

namespace {

// Both engines: the portable code (forced) and the processor's SHA instructions where present.
class Sha1EngineTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (SHA1_UseProcessorExtensions(GetParam()) != GetParam()) GTEST_SKIP() << "no SHA instructions";
    }
    void TearDown() override { SHA1_UseProcessorExtensions(1); }
};

TEST_P(Sha1EngineTest, KnownAnswers) {
    // RFC 3174 section 7.3.
    ExpectKnownAnswers(&SHA1_INTERFACE,
                       {{"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
                        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
                        {Repeat("0123456701234567012345670123456701234567012345670123456701234567", 10),
                         "dea356a2cddd90c7a7ecedc5ebb563934f460452"},
                        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"}});
    // Around the length field (Python hashlib.sha1 and sha1sum, see Pattern).
    ExpectKnownAnswers(&SHA1_INTERFACE, {{Pattern(55), "749bbefb28edc4638b28b2b9a9e03ab9a4032b90"},
                                         {Pattern(56), "a5b6e9c29d201c774753ff8e7fb64931656f5e63"},
                                         {Pattern(119), "562ecf8a430f8e1056e3619bae33628e9a1d0a4e"},
                                         {Pattern(120), "353f6d2bf0e91aa91b74a2e0b3f297510f7d825f"}});
    ExpectMillionInChunks(&SHA1_INTERFACE, "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST_P(Sha1EngineTest, NistResponseFiles) {
    ExpectNistFiles(&SHA1_INTERFACE, "SHA1/SHA1", 65, 64);
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha1EngineTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Processor" : "Portable"; });

TEST(Sha1Test, EnginesAgreeOnEveryLength) {
    if (!SHA1_UseProcessorExtensions(1)) GTEST_SKIP() << "no SHA instructions";
    const std::string data = Pattern(1100);
    for (size_t n = 0; n <= data.size(); n += (n < 300 ? 1 : 37)) {
        const std::string fast = Digest(&SHA1_INTERFACE, data.substr(0, n));
        SHA1_UseProcessorExtensions(0);
        EXPECT_EQ(Digest(&SHA1_INTERFACE, data.substr(0, n)), fast) << n;
        SHA1_UseProcessorExtensions(1);
    }
}

TEST(Sha1Test, BitCountCarriesIntoTheHighWord) {
    ExpectBitCountCarries<SHA1>(&SHA1_INTERFACE);
}

} // namespace
