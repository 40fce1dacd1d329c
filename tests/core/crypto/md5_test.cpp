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
    // 55 bytes leave room for the count in the same block; 56 to 63 need one more.
    for (size_t n = 50; n <= 130; n++) {
        const std::string m(n, 'z');
        EXPECT_EQ(Digest(&MD5_INTERFACE, m), DigestInPieces(&MD5_INTERFACE, m, {1})) << n;
    }
    EXPECT_EQ(Digest(&MD5_INTERFACE, std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(Digest(&MD5_INTERFACE, std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

TEST(Md5Test, ShortBufferReceivesLeadingBytes) {
    MD5 md5;
    MD5_Stack(&md5);
    MD5_Process(&md5, "abc", 3);
    MD5_Generate(&md5);
    struct Case {
        int32_t capacity;
        size_t copied;
    } cases[] = {{8, 8}, {16, 16}, {40, 16}, {0, 0}, {-5, 0}};
    for (const Case& c : cases) {
        uint8_t out[40];
        memset(out, 0xEE, sizeof(out));
        EXPECT_EQ(MD5_GetDigest(&md5, out, c.capacity), 1u) << c.capacity;
        EXPECT_EQ(ToHex(out, c.copied),
                  std::string("900150983cd24fb0d6963f7d28e17f72").substr(0, 2 * c.copied));
        EXPECT_EQ(out[c.copied], 0xEE) << c.capacity;
    }
    char text[33];
    EXPECT_EQ(MD5_GetString(&md5, 0, text, sizeof(text)), 1u);
    EXPECT_STREQ(text, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(MD5_GetString(&md5, 0, text, 10), 0u);
    EXPECT_STREQ(text, "900150983");
    MD5_Unstack(&md5);
}

TEST(Md5Test, CopyMidMessage) {
    ExpectCopyMidMessage(&MD5_INTERFACE);
    MD5* a = nullptr;
    MD5* b = nullptr;
    MD5_Create(&a);
    MD5_Create(&b);
    MD5_Process(a, "abcdefghij", 10);
    EXPECT_EQ(MD5_CopyTo(a, b), 1);
    EXPECT_EQ(MD5_CopyTo(a, a), 1);
    EXPECT_EQ(b->BitCount[0], 80u);
    EXPECT_EQ(memcmp(a->State, b->State, sizeof(a->State)), 0);
    EXPECT_EQ(memcmp(a->Block, b->Block, 10), 0);
    MD5_Delete(&a);
    MD5_Delete(&b);
}

TEST(Md5Test, BitCountCarriesIntoTheHighWord) {
    MD5 md5;
    MD5_Stack(&md5);
    md5.BitCount[0] = 0xFFFFFE00u; // a whole number of blocks, 512 bits short of the wrap
    uint8_t block[64] = {};
    EXPECT_EQ(MD5_Process(&md5, block, sizeof(block)), 1);
    EXPECT_EQ(md5.BitCount[0], 0u);
    EXPECT_EQ(md5.BitCount[1], 1u);
    EXPECT_EQ(MD5_Process(&md5, block, 3), 1);
    EXPECT_EQ(md5.BitCount[0], 24u);
    EXPECT_EQ(md5.BitCount[1], 1u);
    MD5_Unstack(&md5);
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
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MD5 md5;
            MD5_Stack(&md5);
            uint8_t out[16];
            MD5_GetDigest(&md5, out, 16);
        },
        AbortRegex("Assertion failed (MD5->DigestReady)\nMD5 must be generated first!"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MD5 md5;
            MD5_Stack(&md5);
            char out[33];
            MD5_GetString(&md5, 0, out, 33);
        },
        AbortRegex("Assertion failed (MD5->DigestReady)\nMD5 must be generated first!"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MD5 md5;
            MD5_Stack(&md5);
            MD5_Process(&md5, nullptr, 0);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace
