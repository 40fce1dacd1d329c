#include "core/crypto/md4.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/core/crypto/digest_vectors.h"
#include "tests/support/abort_hook.h"

namespace {

const std::string kAlnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

TEST(Md4Test, Rfc1320TestSuite) {
    ExpectKnownAnswers(&MD4_INTERFACE, {
                                           {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
                                           {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
                                           {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
                                           {"message digest", "d9130a8164549fe818874806e1c7014b"},
                                           {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
                                           {kAlnum, "043f8582f241db351ce627e153e7f0e4"},
                                           {Repeat("1234567890", 8), "e33b4ddc9c38f2199c3e7b164fcc0536"},
                                       });
}

TEST(Md4Test, MillionBytesInUnevenPieces) {
    ExpectMillionInPieces(&MD4_INTERFACE, "bbce80cc6bb65e5c6745e30d4eeca9a4");
}

TEST(Md4Test, PaddingAroundTheLengthField) {
    // 55 bytes leave room for the count in the same block; 56 to 63 need one more.
    for (size_t n = 50; n <= 130; n++) {
        const std::string m(n, 'z');
        EXPECT_EQ(Digest(&MD4_INTERFACE, m), DigestInPieces(&MD4_INTERFACE, m, {1})) << n;
    }
}

TEST(Md4Test, ShortBufferReceivesLeadingBytes) {
    MD4 md4;
    MD4_Stack(&md4);
    MD4_Process(&md4, "abc", 3);
    MD4_Generate(&md4);
    struct Case {
        int32_t capacity;
        size_t copied;
    } cases[] = {{8, 8}, {16, 16}, {40, 16}, {0, 0}, {-5, 0}};
    for (const Case& c : cases) {
        uint8_t out[40];
        memset(out, 0xEE, sizeof(out));
        EXPECT_EQ(MD4_GetDigest(&md4, out, c.capacity), 1u) << c.capacity;
        EXPECT_EQ(ToHex(out, c.copied),
                  std::string("a448017aaf21d8525fc10ae87aa6729d").substr(0, 2 * c.copied));
        EXPECT_EQ(out[c.copied], 0xEE) << c.capacity;
    }
    char text[33];
    EXPECT_EQ(MD4_GetString(&md4, 0, text, sizeof(text)), 1u);
    EXPECT_STREQ(text, "a448017aaf21d8525fc10ae87aa6729d");
    EXPECT_EQ(MD4_GetString(&md4, 0, text, 10), 0u);
    EXPECT_STREQ(text, "a448017aa");
    MD4_Unstack(&md4);
}

TEST(Md4Test, CopyMidMessage) {
    ExpectCopyMidMessage(&MD4_INTERFACE);
    MD4* a = nullptr;
    MD4* b = nullptr;
    MD4_Create(&a);
    MD4_Create(&b);
    MD4_Process(a, "abcdefghij", 10);
    EXPECT_EQ(MD4_CopyTo(a, b), 1);
    EXPECT_EQ(MD4_CopyTo(a, a), 1);
    EXPECT_EQ(b->BitCount[0], 80u);
    EXPECT_EQ(memcmp(a->State, b->State, sizeof(a->State)), 0);
    EXPECT_EQ(memcmp(a->Block, b->Block, 10), 0);
    MD4_Delete(&a);
    MD4_Delete(&b);
}

TEST(Md4Test, BitCountCarriesIntoTheHighWord) {
    MD4 md4;
    MD4_Stack(&md4);
    md4.BitCount[0] = 0xFFFFFE00u; // a whole number of blocks, 512 bits short of the wrap
    uint8_t block[64] = {};
    EXPECT_EQ(MD4_Process(&md4, block, sizeof(block)), 1);
    EXPECT_EQ(md4.BitCount[0], 0u);
    EXPECT_EQ(md4.BitCount[1], 1u);
    EXPECT_EQ(MD4_Process(&md4, block, 3), 1);
    EXPECT_EQ(md4.BitCount[0], 24u);
    EXPECT_EQ(md4.BitCount[1], 1u);
    MD4_Unstack(&md4);
}

TEST(Md4Test, InstancesOnHeapAndInCallerMemory) {
    EXPECT_EQ(MD4_SizeOf(), sizeof(MD4));
    EXPECT_EQ(MD4_INTERFACE.BlockSize, 64u);
    EXPECT_EQ(MD4_INTERFACE.DigestSize, 16u);
    EXPECT_STREQ(MD4_INTERFACE.Name, "MD4");

    MD4 stacked;
    memset(&stacked, 0xAB, sizeof(stacked));
    EXPECT_EQ(MD4_Stack(&stacked), 1);
    EXPECT_EQ(stacked.Header.ClassId, MD4_CLASS_ID);
    EXPECT_EQ(stacked.Header.RefCount, 0u);
    EXPECT_EQ(stacked.Header.Delete, nullptr);
    EXPECT_EQ(stacked.State[0], 0x67452301u);
    EXPECT_EQ(stacked.DigestReady, 0u);
    EXPECT_EQ(MD4_Unstack(&stacked), 1);

    MD4* md4 = nullptr;
    EXPECT_EQ(MD4_Create(&md4), 1);
    ASSERT_NE(md4, nullptr);
    EXPECT_EQ(md4->Header.RefCount, 1u);
    EXPECT_EQ(MD4_IsGenerated(md4), 0u);
    EXPECT_EQ(MD4_AddRef(md4), 1);
    MD4* second = md4;
    EXPECT_EQ(MD4_Release(&second), 1);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(md4->Header.RefCount, 1u);
    char id[64];
    EXPECT_EQ(MD4_GetInstanceId(md4, id, sizeof(id)), 1);
    MD4_Process(md4, "abc", 3);
    MD4_Generate(md4);
    EXPECT_EQ(MD4_IsGenerated(md4), 1u);
    EXPECT_EQ(MD4_Reset(md4), 1);
    EXPECT_EQ(MD4_IsGenerated(md4), 0u);
    EXPECT_EQ(md4->BitCount[0], 0u);
    MD4_Generate(md4);
    uint8_t out[16];
    MD4_GetDigest(md4, out, 16);
    EXPECT_EQ(ToHex(out, 16), "31d6cfe0d16ae931b73c59d7e0c089c0");
    EXPECT_EQ(MD4_Release(&md4), 1);
    EXPECT_EQ(md4, nullptr);
    EXPECT_EQ(MD4_Release(&md4), 0);
}

TEST(Md4Test, ReadingBeforeGeneratingAborts) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MD4 md4;
            MD4_Stack(&md4);
            uint8_t out[16];
            MD4_GetDigest(&md4, out, 16);
        },
        AbortRegex("Assertion failed (MD4->DigestReady)\nMD4 must be generated first!"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MD4 md4;
            MD4_Stack(&md4);
            char out[33];
            MD4_GetString(&md4, 0, out, 33);
        },
        AbortRegex("Assertion failed (MD4->DigestReady)\nMD4 must be generated first!"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MD4 md4;
            MD4_Stack(&md4);
            MD4_Process(&md4, nullptr, 0);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace
