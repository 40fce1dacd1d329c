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
    ExpectPaddingAroundTheLengthField(&MD4_INTERFACE);
}

TEST(Md4Test, ShortBufferReceivesLeadingBytes) {
    ExpectShortBuffersGetLeadingBytes(&MD4_INTERFACE);
}

TEST(Md4Test, CopyMidMessage) {
    ExpectCopyMidMessage(&MD4_INTERFACE);
    ExpectCopyTakesCountStateAndBlock<MD4>(&MD4_INTERFACE);
}

TEST(Md4Test, BitCountCarriesIntoTheHighWord) {
    ExpectBitCountCarries<MD4>(&MD4_INTERFACE);
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
    ExpectReadingBeforeGeneratingAborts(&MD4_INTERFACE, "MD4");
    ExpectNullDataAborts(&MD4_INTERFACE);
}

} // namespace
