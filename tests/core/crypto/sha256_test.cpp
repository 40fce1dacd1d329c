#include "core/crypto/sha256.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>

#include "tests/core/crypto/digest_vectors.h"
#include "tests/support/abort_hook.h"

namespace {

const char* const kTwoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

// Both engines: the portable code (forced) and the processor's SHA instructions where present.
class Sha256EngineTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (SHA256_UseProcessorExtensions(GetParam() ? 1 : 0) != (GetParam() ? 1 : 0))
            GTEST_SKIP() << "this processor has no SHA instructions";
    }
    void TearDown() override { SHA256_UseProcessorExtensions(1); }
};

TEST_P(Sha256EngineTest, Fips180ExamplesAndPaddingLengths) {
    ExpectKnownAnswers(
        &SHA256_INTERFACE,
        {
            {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
            {kTwoBlocks, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
            {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
            {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
            {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
            {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
            {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
            {std::string(111, 'a'), "6374f73208854473827f6f6a3f43b1f53eaa3b82c21c1a6d69a2110b2a79baad"},
            {std::string(112, 'a'), "f54353008a2553262ecdc4a34749563ba0950e8b0fc8652780b0a614b99683c1"},
            {std::string(128, 'a'), "6836cf13bac400e9105071cd6af47084dfacad4e5e302c94bfed24e013afb73e"},
        });
    ExpectKnownAnswers(
        &SHA224_INTERFACE,
        {
            {"abc", "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
            {kTwoBlocks, "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525"},
            {std::string(55, 'a'), "fb0bd626a70c28541dfa781bb5cc4d7d7f56622a58f01a0b1ddd646f"},
            {std::string(56, 'a'), "d40854fc9caf172067136f2e29e1380b14626bf6f0dd06779f820dcd"},
            {std::string(63, 'a'), "1d4e051f4d6fed2a63fd2421e65834cec00d64456553de3496ae8b1d"},
            {std::string(64, 'a'), "a88cd5cde6d6fe9136a4e58b49167461ea95d388ca2bdb7afdc3cbf4"},
            {std::string(111, 'a'), "4aeec1a49b2c1bc663abf2809b36faaa64359523d4f26d02dbc2cba3"},
            {std::string(112, 'a'), "0336b66821946e7f1052102e3b9c29f3039efe9b261746370305f894"},
            {std::string(128, 'a'), "39873a2441c56608137850f4c54dde157710b9a2b83c8bdc756dd643"},
        });
    ExpectMillionInPieces(&SHA256_INTERFACE,
                          "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    ExpectMillionInPieces(&SHA224_INTERFACE, "20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67");
}

TEST_P(Sha256EngineTest, NistResponseFiles) {
    const std::string root = VectorRoot();
    if (root.empty()) GTEST_SKIP() << "digest vectors are not installed";
    const struct {
        const HashInterface* Record;
        const char* Name;
    } files[] = {{&SHA224_INTERFACE, "SHA224"}, {&SHA256_INTERFACE, "SHA256"}};
    for (const auto& f : files) {
        const std::string base = root + "/hashes/SHA2/" + f.Name;
        EXPECT_GE(CheckMessageFile(f.Record, base + "ShortMsg.rsp"), 65) << f.Name;
        EXPECT_GE(CheckMessageFile(f.Record, base + "LongMsg.rsp"), 64) << f.Name;
        std::string failure;
        EXPECT_EQ(CheckMonteCarlo(f.Record, base + "Monte.rsp", &failure), 100) << f.Name;
        EXPECT_EQ(failure, "") << f.Name;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256EngineTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Processor") : std::string("Portable");
                         });

TEST(Sha256Test, EnginesAgreeOnEveryLength) {
    if (!SHA256_UseProcessorExtensions(1)) GTEST_SKIP() << "this processor has no SHA instructions";
    std::string data;
    uint32_t x = 0x9E3779B9u;
    for (int i = 0; i < 1100; i++) {
        x = x * 1103515245u + 12345u;
        data += (char)(x >> 24);
    }
    for (size_t n = 0; n <= data.size(); n += (n < 300 ? 1 : 37)) {
        const std::string m = data.substr(0, n);
        const std::string fast = Digest(&SHA256_INTERFACE, m);
        SHA256_UseProcessorExtensions(0);
        const std::string portable = Digest(&SHA256_INTERFACE, m);
        SHA256_UseProcessorExtensions(1);
        EXPECT_EQ(fast, portable) << n;
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

TEST(Sha256Test, Sha224IsNotATruncatedSha256) {
    const std::string full = Digest(&SHA256_INTERFACE, "abc");
    const std::string short224 = Digest(&SHA224_INTERFACE, "abc");
    EXPECT_EQ(short224.size(), 56u);
    EXPECT_NE(full.substr(0, 56), short224);
}

TEST(Sha256Test, ShortBufferIsRefused) {
    struct Case {
        const HashInterface* Record;
        int32_t Capacity;
        uint32_t Answer;
        size_t Copied;
    } cases[] = {
        {&SHA256_INTERFACE, 31, 0, 0},  {&SHA256_INTERFACE, 32, 1, 32}, {&SHA256_INTERFACE, 40, 1, 32},
        {&SHA256_INTERFACE, 0, 0, 0},   {&SHA256_INTERFACE, -1, 0, 0},  {&SHA224_INTERFACE, 27, 0, 0},
        {&SHA224_INTERFACE, 28, 1, 28},
    };
    for (const Case& c : cases) ExpectDigestOfAbcInto(c.Record, c.Capacity, c.Answer, c.Copied);
    uint8_t out[32];
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(Hash_QuickDigest(&SHA256_INTERFACE, "abc", 3, out, 16), 0);
    EXPECT_EQ(out[0], 0xEE);
}

TEST(Sha256Test, DigestSizeOwnsItsBuffer) {
    SHA256* sha = nullptr;
    SHA256_Create(&sha);
    EXPECT_EQ(sha->DigestSize, 32u);
    ASSERT_NE(sha->Digest, nullptr);
    EXPECT_EQ(SHA256_SetDigestSize(sha, 0), 1);
    EXPECT_EQ(sha->Digest, nullptr);
    EXPECT_EQ(sha->DigestSize, 0u);
    // With no digest length nothing is copied, and any buffer is long enough.
    SHA256_Process(sha, "abc", 3);
    SHA256_Generate(sha);
    uint8_t out[1] = {0xEE};
    EXPECT_EQ(SHA256_GetDigest(sha, out, 0), 1u);
    EXPECT_EQ(out[0], 0xEE);
    char text[4] = "xyz";
    EXPECT_EQ(SHA256_GetString(sha, 0, text, 4), 1u);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(SHA256_SetDigestSize(sha, 32), 1);
    ASSERT_NE(sha->Digest, nullptr);
    SHA256_Reset(sha);
    SHA256_Process(sha, "abc", 3);
    SHA256_Generate(sha);
    SHA256_GetString(sha, 0, reinterpret_cast<char*>(text), 0);
    char hex[65];
    EXPECT_EQ(SHA256_GetString(sha, 0, hex, sizeof(hex)), 1u);
    EXPECT_STREQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    SHA256_Delete(&sha);
    EXPECT_EQ(sha, nullptr);
}

TEST(Sha256Test, NegativeLengthIsRefused) {
    SHA256* sha = nullptr;
    SHA256_Create(&sha);
    EXPECT_EQ(SHA256_Process(sha, "abc", -1), 0);
    EXPECT_EQ(sha->ByteCount, 0u);
    EXPECT_EQ(SHA256_Process(sha, "abc", 0), 1);
    EXPECT_EQ(SHA256_Process(sha, "abc", 3), 1);
    EXPECT_EQ(sha->ByteCount, 3u);
    SHA256_Delete(&sha);
}

TEST(Sha256Test, RecordTakesLengthsBeyondTheSignedRange) {
    // The Hash layer passes 32-bit unsigned lengths: 2 GiB in one call is hashed whole, not
    // refused as a negative length. Only with the processor's instructions: it is quick there.
    if (!SHA256_UseProcessorExtensions(1)) GTEST_SKIP() << "this processor has no SHA instructions";
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

TEST(Sha256Test, Sha224CopyIntoASha256Instance) {
    SHA256* source = nullptr;
    SHA256* target = nullptr;
    SHA224_Create(&source);
    SHA256_Create(&target);
    EXPECT_EQ(source->DigestSize, 28u);
    EXPECT_EQ(memcmp(source->State, SHA224_InitialState, sizeof(source->State)), 0);
    SHA256_Process(source, "abcdefghij", 10);
    EXPECT_EQ(SHA224_CopyTo(source, target), 1);
    EXPECT_EQ(target->DigestSize, 28u);
    EXPECT_EQ(target->ByteCount, 10u);
    EXPECT_EQ(memcmp(source->State, target->State, sizeof(source->State)), 0);
    SHA256_Process(source, "klm", 3);
    SHA256_Process(target, "klm", 3);
    SHA256_Generate(source);
    SHA256_Generate(target);
    char a[57], b[57];
    SHA256_GetString(source, 0, a, sizeof(a));
    SHA256_GetString(target, 0, b, sizeof(b));
    EXPECT_STREQ(a, b);
    EXPECT_EQ(std::string(a), Digest(&SHA224_INTERFACE, "abcdefghijklm"));
    SHA224_Delete(&source);
    SHA256_Delete(&target);
    ExpectCopyMidMessage(&SHA224_INTERFACE);
    ExpectCopyMidMessage(&SHA256_INTERFACE);
}

TEST(Sha256Test, InstancesOnHeapAndInCallerMemory) {
    EXPECT_EQ(SHA256_SizeOf(), sizeof(SHA256));
    EXPECT_EQ(SHA224_SizeOf(), sizeof(SHA256));
    EXPECT_STREQ(SHA256_INTERFACE.Name, "SHA256");
    EXPECT_STREQ(SHA224_INTERFACE.Name, "SHA224");
    EXPECT_EQ(SHA256_INTERFACE.BlockSize, 64u);
    EXPECT_EQ(SHA224_INTERFACE.BlockSize, 64u);
    EXPECT_EQ(SHA256_INTERFACE.DigestSize, 32u);
    EXPECT_EQ(SHA224_INTERFACE.DigestSize, 28u);
    // The SHA-224 record takes its processing and finishing from SHA-256.
    EXPECT_EQ(SHA224_INTERFACE.Process, SHA256_INTERFACE.Process);
    EXPECT_EQ(SHA224_INTERFACE.Generate, SHA256_INTERFACE.Generate);
    EXPECT_EQ(SHA224_INTERFACE.GetDigest, SHA256_INTERFACE.GetDigest);
    EXPECT_NE(SHA224_INTERFACE.Reset, SHA256_INTERFACE.Reset);

    SHA256 stacked;
    memset(&stacked, 0xAB, sizeof(stacked));
    EXPECT_EQ(SHA224_Stack(&stacked), 1);
    EXPECT_EQ(stacked.Header.ClassId, SHA256_CLASS_ID);
    EXPECT_EQ(stacked.Header.RefCount, 0u);
    EXPECT_EQ(stacked.DigestSize, 28u);
    EXPECT_EQ(stacked.State[0], 0xc1059ed8u);
    EXPECT_EQ(SHA224_Unstack(&stacked), 1);
    EXPECT_EQ(stacked.Digest, nullptr);

    SHA256* sha = nullptr;
    EXPECT_EQ(SHA256_Create(&sha), 1);
    EXPECT_EQ(sha->Header.RefCount, 1u);
    EXPECT_EQ(SHA256_AddRef(sha), 1);
    SHA256* other = sha;
    EXPECT_EQ(SHA256_Release(&other), 1);
    char id[64];
    EXPECT_EQ(SHA256_GetInstanceId(sha, id, sizeof(id)), 1);
    SHA256_Process(sha, "abc", 3);
    SHA256_Generate(sha);
    EXPECT_EQ(SHA256_IsGenerated(sha), 1u);
    // Reset keeps the digest length and zeroes the digest bytes.
    EXPECT_EQ(SHA224_Reset(sha), 1);
    EXPECT_EQ(SHA256_IsGenerated(sha), 0u);
    EXPECT_EQ(sha->DigestSize, 32u);
    EXPECT_EQ(sha->Digest[0], 0);
    EXPECT_EQ(SHA256_Release(&sha), 1);
    EXPECT_EQ(sha, nullptr);
}

TEST(Sha256Test, ReadingBeforeGeneratingAborts) {
    for (const HashInterface* record : {&SHA256_INTERFACE, &SHA224_INTERFACE})
        ExpectReadingBeforeGeneratingAborts(record, "SHA256");
}

} // namespace
