#include "core/crypto/md2.h"

#include <gtest/gtest.h>

#include "tests/core/crypto/digest_vectors.h"

namespace {

TEST(Md2Test, Rfc1319TestSuite) {
    ExpectKnownAnswers(&MD2_INTERFACE, {{"", "8350e5a3e24c153df2275c9f80692773"},
                                        {"a", "32ec01ec4a6dac72c0ab96fb34c0b5d1"},
                                        {"abc", "da853b0d3f88d99b30283a69e6ded6bb"},
                                        {"message digest", "ab4f496bfb2a530b219ff33031fe06b0"},
                                        {"abcdefghijklmnopqrstuvwxyz", "4e8ddff3650292ab5a4108c3aa47940b"},
                                        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                                         "da33def2a42df13975352846c30338cd"},
                                        {Repeat("1234567890", 8), "d5976f79d83d3a0dc9806c3c66f3efd8"}});
    ExpectMillionInChunks(&MD2_INTERFACE, "8c0a09ff1216ecaf95c8130953c62efd");
}

// The substitution table is a permutation of 0..255 starting 41 and ending 20 (RFC 1319).
TEST(Md2Test, PiTableIsAPermutation) {
    bool seen[256] = {};
    for (int i = 0; i < 256; i++) seen[GlobalMD2PiTable[i]] = true;
    for (int i = 0; i < 256; i++) EXPECT_TRUE(seen[i]) << i;
    EXPECT_EQ(GlobalMD2PiTable[0], 41);
    EXPECT_EQ(GlobalMD2PiTable[255], 20);
}

TEST(Md2Test, PaddingFillsUpToAWholeBlock) {
    // The padded block holds the message's tail and n bytes of value n; a length that is a
    // multiple of 16 (the empty message too) pads a whole block of sixteen 16s.
    for (uint32_t length = 0; length <= 33; length++) {
        MD2 md2;
        MD2_Stack(&md2);
        const std::string m(length, 'q');
        EXPECT_EQ(MD2_Process(&md2, length ? m.data() : nullptr, length), 1);
        EXPECT_EQ(md2.BlockLength, length % 16);
        MD2_Generate(&md2);
        for (uint32_t i = length % 16; i < 16; i++) EXPECT_EQ(md2.Block[i], 16 - length % 16) << length;
        EXPECT_EQ(md2.BlockLength, 0u);
        EXPECT_EQ(ToHex(md2.Digest, 16), DigestInChunks(&MD2_INTERFACE, m, {5}));
        MD2_Unstack(&md2);
    }
}

} // namespace
