#include "core/crypto/sha256.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>

#include "tests/core/crypto/digest_vectors.h"

namespace {

const char* const kTwoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

// Both engines: the portable code (forced) and the processor's SHA instructions where present.
class Sha256EngineTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (SHA256_UseProcessorExtensions(GetParam()) != GetParam()) GTEST_SKIP() << "no SHA instructions";
    }
    void TearDown() override { SHA256_UseProcessorExtensions(1); }
};

TEST_P(Sha256EngineTest, KnownAnswers) {
    // FIPS 180-4 examples, then messages of 'a' and (Python hashlib, see Pattern) of the test
    // pattern around the length field.
    ExpectKnownAnswers(
        &SHA256_INTERFACE,
        {{"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
         {kTwoBlocks, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
         {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
         {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
         {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
         {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
         {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
         {std::string(111, 'a'), "6374f73208854473827f6f6a3f43b1f53eaa3b82c21c1a6d69a2110b2a79baad"},
         {std::string(112, 'a'), "f54353008a2553262ecdc4a34749563ba0950e8b0fc8652780b0a614b99683c1"},
         {std::string(128, 'a'), "6836cf13bac400e9105071cd6af47084dfacad4e5e302c94bfed24e013afb73e"},
         {Pattern(55), "8aa994584139d128848eeebc4e815639ba5ab6e6e39574195a63ac4f14f7c43b"},
         {Pattern(56), "ad574708f75c044c9b85de64cb568ee7711ff4f36448c6242f053ba8f6cc2b63"},
         {Pattern(119), "3d610547d68216dedf7435a4fb6260353911f6b3fd3f18805ddb8be285d726fe"},
         {Pattern(120), "1f80156a804cb7862ad113e8200e9d74499723e7c7854d5f48776d3148e09656"}});
    ExpectKnownAnswers(&SHA224_INTERFACE,
                       {{"abc", "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
                        {kTwoBlocks, "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525"},
                        {std::string(55, 'a'), "fb0bd626a70c28541dfa781bb5cc4d7d7f56622a58f01a0b1ddd646f"},
                        {std::string(56, 'a'), "d40854fc9caf172067136f2e29e1380b14626bf6f0dd06779f820dcd"},
                        {std::string(63, 'a'), "1d4e051f4d6fed2a63fd2421e65834cec00d64456553de3496ae8b1d"},
                        {std::string(64, 'a'), "a88cd5cde6d6fe9136a4e58b49167461ea95d388ca2bdb7afdc3cbf4"},
                        {std::string(111, 'a'), "4aeec1a49b2c1bc663abf2809b36faaa64359523d4f26d02dbc2cba3"},
                        {std::string(112, 'a'), "0336b66821946e7f1052102e3b9c29f3039efe9b261746370305f894"},
                        {std::string(128, 'a'), "39873a2441c56608137850f4c54dde157710b9a2b83c8bdc756dd643"},
                        {Pattern(55), "c0c292e161a463ae5b77f08438f45cc0b34c0fa8e2fe0c6a8ddce7f5"},
                        {Pattern(56), "ad0e4dae43e8b3bbcb2755e9bb1ef283a363a8155ff2531ef38c83d7"},
                        {Pattern(119), "e41b7ee02edc3d63ddc6c1ac516c63dcce10848609324f0726139a94"},
                        {Pattern(120), "255bce819431c9f94932fc9f3e45bf92f1f0a33b5eaab71d443b1a83"}});
    ExpectMillionInChunks(&SHA256_INTERFACE,
                          "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    ExpectMillionInChunks(&SHA224_INTERFACE, "20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67");
}

TEST_P(Sha256EngineTest, NistResponseFiles) {
    ExpectNistFiles(&SHA224_INTERFACE, "SHA2/SHA224", 65, 64);
    ExpectNistFiles(&SHA256_INTERFACE, "SHA2/SHA256", 65, 64);
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256EngineTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Processor" : "Portable"; });

TEST(Sha256Test, EnginesAgreeOnEveryLength) {
    if (!SHA256_UseProcessorExtensions(1)) GTEST_SKIP() << "no SHA instructions";
    const std::string data = Pattern(1100);
    for (size_t n = 0; n <= data.size(); n += (n < 300 ? 1 : 37)) {
        const std::string fast = Digest(&SHA256_INTERFACE, data.substr(0, n));
        SHA256_UseProcessorExtensions(0);
        EXPECT_EQ(Digest(&SHA256_INTERFACE, data.substr(0, n)), fast) << n;
        SHA256_UseProcessorExtensions(1);
    }
    // The one-block entry point goes through the same engine.
    uint32_t a[8], b[8];
    memcpy(a, SHA256_InitialState, sizeof(a));
    memcpy(b, SHA256_InitialState, sizeof(b));
    SHA256_WriteByteBlock(a, reinterpret_cast<const uint8_t*>(data.data()));
    SHA256_UseProcessorExtensions(0);
    SHA256_WriteByteBlock(b, reinterpret_cast<const uint8_t*>(data.data()));
    SHA256_UseProcessorExtensions(1);
    EXPECT_EQ(memcmp(a, b, sizeof(a)), 0);
}

TEST(Sha256Test, LengthsAndDigestSize) {
    SHA256* sha = nullptr;
    SHA256_Create(&sha);
    EXPECT_EQ(SHA256_Process(sha, "abc", -1), 0);
    EXPECT_EQ(sha->ByteCount, 0u);
    EXPECT_EQ(SHA256_Process(sha, "abc", 0), 1);
    EXPECT_EQ(SHA256_Process(sha, "abc", 3), 1);
    EXPECT_EQ(sha->ByteCount, 3u);
    // With no digest length nothing is copied, and any buffer is long enough.
    EXPECT_EQ(SHA256_SetDigestSize(sha, 0), 1);
    EXPECT_EQ(sha->Digest, nullptr);
    SHA256_Generate(sha);
    uint8_t out[1] = {0xEE};
    EXPECT_EQ(SHA256_GetDigest(sha, out, 0), 1u);
    EXPECT_EQ(out[0], 0xEE);
    char text[4] = "xyz";
    EXPECT_EQ(SHA256_GetString(sha, 0, text, 4), 1u);
    EXPECT_STREQ(text, "");
    SHA256_Delete(&sha);
    EXPECT_EQ(sha, nullptr);
}

TEST(Sha256Test, RecordTakesLengthsBeyondTheSignedRange) {
    // The Hash layer passes 32-bit unsigned lengths: 2 GiB in one call is hashed whole, not
    // refused as a negative length. Only with the processor's instructions: it is quick there.
    if (!SHA256_UseProcessorExtensions(1)) GTEST_SKIP() << "no SHA instructions";
    const size_t length = 1u << 31;
    void* zeros = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(zeros, MAP_FAILED);
    Hash* h = nullptr;
    Hash_Create(&h);
    Hash_SetInterface(h, &SHA256_INTERFACE);
    uint32_t processed = 0;
    EXPECT_EQ(Hash_Process(h, zeros, (uint32_t)length, &processed), 1);
    EXPECT_EQ(processed, (uint32_t)length);
    Hash_Generate(h);
    char text[65];
    EXPECT_EQ(Hash_GetString(h, 0, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "a7c744c13cc101ed66c29f672f92455547889cc586ce6d44fe76ae824958ea51");
    Hash_Delete(&h);
    munmap(zeros, length);
}

// A running SHA-224 copied into a SHA-256 instance makes it a SHA-224.
TEST(Sha256Test, Sha224CopyIntoASha256Instance) {
    SHA256* source = nullptr;
    SHA256* target = nullptr;
    SHA224_Create(&source);
    SHA256_Create(&target);
    SHA256_Process(source, "abcdefghij", 10);
    EXPECT_EQ(SHA224_CopyTo(source, target), 1);
    SHA256_Process(target, "klm", 3);
    SHA256_Generate(target);
    char text[65];
    EXPECT_EQ(SHA256_GetString(target, 0, text, sizeof(text)), 1u);
    EXPECT_EQ(std::string(text), Digest(&SHA224_INTERFACE, "abcdefghijklm"));
    SHA224_Delete(&source);
    SHA256_Delete(&target);
}

} // namespace
