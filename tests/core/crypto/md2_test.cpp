#include "core/crypto/md2.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/core/crypto/digest_vectors.h"
#include "tests/support/abort_hook.h"

namespace {

TEST(Md2Test, Rfc1319TestSuite) {
    ExpectKnownAnswers(&MD2_INTERFACE, {
                                           {"", "8350e5a3e24c153df2275c9f80692773"},
                                           {"a", "32ec01ec4a6dac72c0ab96fb34c0b5d1"},
                                           {"abc", "da853b0d3f88d99b30283a69e6ded6bb"},
                                           {"message digest", "ab4f496bfb2a530b219ff33031fe06b0"},
                                           {"abcdefghijklmnopqrstuvwxyz", "4e8ddff3650292ab5a4108c3aa47940b"},
                                           {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                                            "da33def2a42df13975352846c30338cd"},
                                           {Repeat("1234567890", 8), "d5976f79d83d3a0dc9806c3c66f3efd8"},
                                       });
}

TEST(Md2Test, PiTableIsAPermutation) {
    bool seen[256] = {};
    for (int i = 0; i < 256; i++) seen[GlobalMD2PiTable[i]] = true;
    for (int i = 0; i < 256; i++) EXPECT_TRUE(seen[i]) << i;
    EXPECT_EQ(GlobalMD2PiTable[0], 41);
    EXPECT_EQ(GlobalMD2PiTable[255], 20);
}

TEST(Md2Test, MillionBytesInUnevenPieces) {
    ExpectMillionInPieces(&MD2_INTERFACE, "8c0a09ff1216ecaf95c8130953c62efd");
}

TEST(Md2Test, PaddingFillsUpToAWholeBlock) {
    // The padded block holds the message's tail and n bytes of value n; a length that is a
    // multiple of 16 (the empty message too) pads a whole block of sixteen 16s.
    for (uint32_t length = 0; length <= 33; length++) {
        MD2 md2;
        MD2_Stack(&md2);
        const std::string m(length, 'q');
        MD2_Process(&md2, m.data(), length);
        EXPECT_EQ(md2.BlockLength, length % 16);
        MD2_Generate(&md2);
        const uint8_t n = (uint8_t)(16 - length % 16);
        for (uint32_t i = length % 16; i < 16; i++) EXPECT_EQ(md2.Block[i], n) << length;
        EXPECT_EQ(md2.BlockLength, 0u);
        EXPECT_EQ(ToHex(md2.Digest, 16), DigestInPieces(&MD2_INTERFACE, m, {5}));
        MD2_Unstack(&md2);
    }
}

TEST(Md2Test, EmptyProcessNeedsNoData) {
    MD2 md2;
    MD2_Stack(&md2);
    EXPECT_EQ(MD2_Process(&md2, nullptr, 0), 1);
    EXPECT_EQ(MD2_Generate(&md2), 1);
    uint8_t out[16];
    EXPECT_EQ(MD2_GetDigest(&md2, out, 16), 1u);
    EXPECT_EQ(ToHex(out, 16), "8350e5a3e24c153df2275c9f80692773");
    MD2_Unstack(&md2);
}

TEST(Md2Test, ShortBufferReceivesLeadingBytes) {
    MD2 md2;
    MD2_Stack(&md2);
    MD2_Process(&md2, "abc", 3);
    MD2_Generate(&md2);
    uint8_t out[20];
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(MD2_GetDigest(&md2, out, 8), 1u);
    EXPECT_EQ(ToHex(out, 8), "da853b0d3f88d99b");
    EXPECT_EQ(out[8], 0xEE);
    EXPECT_EQ(MD2_GetDigest(&md2, out, 20), 1u);
    EXPECT_EQ(ToHex(out, 16), "da853b0d3f88d99b30283a69e6ded6bb");
    EXPECT_EQ(out[16], 0xEE);
    char text[40];
    EXPECT_EQ(MD2_GetString(&md2, 1, text, sizeof(text)), 1u);
    EXPECT_STREQ(text, "da853b0d 3f88d99b 30283a69 e6ded6bb ");
    MD2_Unstack(&md2);
}

TEST(Md2Test, CopyMidMessageTakesTheChecksum) {
    ExpectCopyMidMessage(&MD2_INTERFACE);
    MD2* a = nullptr;
    MD2* b = nullptr;
    MD2_Create(&a);
    MD2_Create(&b);
    MD2_Process(a, "0123456789abcdefXYZ", 19);
    EXPECT_EQ(MD2_CopyTo(a, b), 1);
    EXPECT_EQ(b->BlockLength, 3u);
    EXPECT_EQ(memcmp(a->Checksum, b->Checksum, 16), 0);
    EXPECT_EQ(memcmp(a->X, b->X, 48), 0);
    MD2_Delete(&a);
    MD2_Delete(&b);
}

TEST(Md2Test, InstancesOnHeapAndInCallerMemory) {
    EXPECT_EQ(MD2_SizeOf(), sizeof(MD2));
    EXPECT_EQ(MD2_INTERFACE.BlockSize, 16u);
    EXPECT_EQ(MD2_INTERFACE.DigestSize, 16u);
    MD2 stacked;
    memset(&stacked, 0xAB, sizeof(stacked));
    EXPECT_EQ(MD2_Stack(&stacked), 1);
    EXPECT_EQ(stacked.Header.ClassId, MD2_CLASS_ID);
    EXPECT_EQ(stacked.Header.RefCount, 0u);
    EXPECT_EQ(stacked.BlockLength, 0u);
    EXPECT_EQ(stacked.Checksum[7], 0);
    EXPECT_EQ(MD2_Unstack(&stacked), 1);

    MD2* md2 = nullptr;
    EXPECT_EQ(MD2_Create(&md2), 1);
    EXPECT_EQ(md2->Header.RefCount, 1u);
    EXPECT_EQ(MD2_AddRef(md2), 1);
    EXPECT_EQ(md2->Header.RefCount, 2u);
    MD2* other = md2;
    EXPECT_EQ(MD2_Release(&other), 1);
    EXPECT_EQ(MD2_Release(&md2), 1);
    EXPECT_EQ(md2, nullptr);
}

TEST(Md2Test, ReadingBeforeGeneratingAborts) {
    ExpectReadingBeforeGeneratingAborts(&MD2_INTERFACE, "MD2");
}

} // namespace
