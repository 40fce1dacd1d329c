#include "core/crypto/md5.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>

#include "tests/core/crypto/digest_vectors.h"
#include "tests/support/abort_hook.h"

namespace {

const std::string kAlnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

TEST(Md5Test, Rfc1321TestSuite) {
    ExpectKnownAnswers(&MD5_INTERFACE, {
                                           {"", "d41d8cd98f00b204e9800998ecf8427e"},
                                           {"a", "0cc175b9c0f1b6a831c399e269772661"},
                                           {"abc", "900150983cd24fb0d6963f7d28e17f72"},
                                           {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
                                           {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
                                           {kAlnum, "d174ab98d277d9f5a5611c2c9f419d9f"},
                                           {Repeat("1234567890", 8), "57edf4a22be3c955ac49da2e2107b67a"},
                                       });
}

TEST(Md5Test, PublishedVectorFile) {
    const std::string root = VectorRoot();
    if (root.empty()) GTEST_SKIP() << "digest vectors are not installed";
    EXPECT_EQ(CheckMessageFile(&MD5_INTERFACE, root + "/hashes/MD5/rfc-1321.txt"), 7);
}

TEST(Md5Test, MillionBytesInUnevenPieces) {
    ExpectMillionInPieces(&MD5_INTERFACE, "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5Test, PaddingAroundTheLengthField) {
    ExpectPaddingAroundTheLengthField(&MD5_INTERFACE);
    EXPECT_EQ(Digest(&MD5_INTERFACE, std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(Digest(&MD5_INTERFACE, std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

TEST(Md5Test, ShortBufferReceivesLeadingBytes) {
    ExpectShortBuffersGetLeadingBytes(&MD5_INTERFACE);
}

TEST(Md5Test, CopyMidMessage) {
    ExpectCopyMidMessage(&MD5_INTERFACE);
    ExpectCopyTakesCountStateAndBlock<MD5>(&MD5_INTERFACE);
}

TEST(Md5Test, BitCountCarriesIntoTheHighWord) {
    ExpectBitCountCarries<MD5>(&MD5_INTERFACE);
}

TEST(Md5Test, OneCallBeyondTheLowCountWord) {
    // 2^29 + 64 bytes in one call: 8 x length does not fit 32 bits, so the high word takes the
    // carry. Zero pages of a private mapping cost no memory.
    const size_t length = (1u << 29) + 64;
    void* zeros = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(zeros, MAP_FAILED);
    MD5 md5;
    MD5_Stack(&md5);
    EXPECT_EQ(MD5_Process(&md5, zeros, (uint32_t)length), 1);
    EXPECT_EQ(md5.BitCount[1], 1u);
    EXPECT_EQ(md5.BitCount[0], 512u);
    MD5_Generate(&md5);
    EXPECT_EQ(ToHex(md5.Digest, 16), "86d6d3e2fba02caee5d80c9d0246acf5");
    MD5_Unstack(&md5);
    munmap(zeros, length);
}

TEST(Md5Test, InstancesOnHeapAndInCallerMemory) {
    EXPECT_EQ(MD5_SizeOf(), sizeof(MD5));
    EXPECT_EQ(MD5_INTERFACE.BlockSize, 64u);
    EXPECT_EQ(MD5_INTERFACE.DigestSize, 16u);
    EXPECT_STREQ(MD5_INTERFACE.Name, "MD5");

    MD5 stacked;
    memset(&stacked, 0xAB, sizeof(stacked));
    EXPECT_EQ(MD5_Stack(&stacked), 1);
    EXPECT_EQ(stacked.Header.ClassId, MD5_CLASS_ID);
    EXPECT_EQ(stacked.Header.RefCount, 0u);
    EXPECT_EQ(stacked.Header.Delete, nullptr);
    EXPECT_EQ(stacked.State[0], 0x67452301u);
    EXPECT_EQ(stacked.DigestReady, 0u);
    EXPECT_EQ(MD5_Unstack(&stacked), 1);

    MD5* md5 = nullptr;
    EXPECT_EQ(MD5_Create(&md5), 1);
    ASSERT_NE(md5, nullptr);
    EXPECT_EQ(md5->Header.RefCount, 1u);
    EXPECT_EQ(MD5_IsGenerated(md5), 0u);
    EXPECT_EQ(MD5_AddRef(md5), 1);
    MD5* second = md5;
    EXPECT_EQ(MD5_Release(&second), 1);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(md5->Header.RefCount, 1u);
    char id[64];
    EXPECT_EQ(MD5_GetInstanceId(md5, id, sizeof(id)), 1);
    MD5_Process(md5, "abc", 3);
    MD5_Generate(md5);
    EXPECT_EQ(MD5_IsGenerated(md5), 1u);
    EXPECT_EQ(MD5_Reset(md5), 1);
    EXPECT_EQ(MD5_IsGenerated(md5), 0u);
    EXPECT_EQ(md5->BitCount[0], 0u);
    MD5_Generate(md5);
    uint8_t out[16];
    MD5_GetDigest(md5, out, 16);
    EXPECT_EQ(ToHex(out, 16), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(MD5_Release(&md5), 1);
    EXPECT_EQ(md5, nullptr);
    EXPECT_EQ(MD5_Release(&md5), 0);
}

TEST(Md5Test, ReadingBeforeGeneratingAborts) {
    ExpectReadingBeforeGeneratingAborts(&MD5_INTERFACE, "MD5");
    ExpectNullDataAborts(&MD5_INTERFACE);
}

} // namespace
