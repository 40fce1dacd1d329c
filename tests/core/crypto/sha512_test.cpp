#include "core/crypto/sha512.h"

#include <gtest/gtest.h>

#include "tests/core/crypto/digest_vectors.h"

namespace {

const char* const kTwoBlocks =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqr"
    "smnopqrstnopqrstu";

TEST(Sha512Test, KnownAnswers) {
    // FIPS 180-4 examples, then messages of 'a' and (Python hashlib, see Pattern) of the test
    // pattern around the length fields of 64- and 128-byte blocks.
    // clang-format off
    ExpectKnownAnswers(
        &SHA512_INTERFACE,
        {{"abc", "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                 "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
         {kTwoBlocks, "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
                      "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
         {"", "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
              "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
         {std::string(111, 'a'), "fa9121c7b32b9e01733d034cfc78cbf67f926c7ed83e82200ef8681819692176"
                                 "0b4beff48404df811b953828274461673c68d04e297b0eb7b2b4d60fc6b566a2"},
         {std::string(112, 'a'), "c01d080efd492776a1c43bd23dd99d0a2e626d481e16782e75d54c2503b5dc32"
                                 "bd05f0f1ba33e568b88fd2d970929b719ecbb152f58f130a407c8830604b70ca"},
         {std::string(127, 'a'), "828613968b501dc00a97e08c73b118aa8876c26b8aac93df128502ab360f91ba"
                                 "b50a51e088769a5c1eff4782ace147dce3642554199876374291f5d921629502"},
         {std::string(128, 'a'), "b73d1929aa615934e61a871596b3f3b33359f42b8175602e89f7e06e5f658a24"
                                 "3667807ed300314b95cacdd579f3e33abdfbe351909519a846d465c59582f321"},
         {std::string(239, 'a'), "52c853cb8d907f3d4d6b889beb027985d7c273486d75f8baf26f80d24e90c74c"
                                 "6c3de3e22131582380a7d14d43f2941a31385439cd6ddc469f628015e50bf286"},
         {std::string(240, 'a'), "4c296d90c61052a62ffb1dd196f1b7b09373b1f93e71836baebf89690546b759"
                                 "5684dbe9467a8e484fa0d1094272b4344a7c24f5fee8daedeb0bf549c985ab5f"},
         {std::string(256, 'a'), "6a9169eb662f136d87374070e8828b3e615a7eca32a89446e9225b02832709be"
                                 "095e635c824a2bb70213ba2ea0ababac0809827843992c851903b7ac0c136699"},
         {Pattern(55), "330eb5e81b4d722cae1e0efbf883efb180c3e346d2b3b797dafc90409583ed35"
                       "af65dc2d7974a353f0c21663e196b60d3ee5a2c70c50b7b3bccdb93a5dbce6bf"},
         {Pattern(56), "1b5b63bfd5420b2dc480abce3dbdb3e19e5f9d4fabffba7764883937eaae878a"
                       "55362c938c141712c44c3076c3fabb2c60814c2994c311c33049a8d6de2a8898"},
         {Pattern(119), "c6203c98db894a187e332570d8b0c317766be115afc7afa530e00ef42f2aa749"
                        "2a7a4bba9b81762cf2a635c9bd22bde8fd85868d1214e48ae057cd7b69fdd7ff"},
         {Pattern(120), "f138c42e1f58da8b1e7a14810a424cbe8b1baa4976b7853f4c9a856609fea684"
                        "a6e9ee070abe81b88f3289b6711687eb751da453942e4eb6e5609212e8b08739"}});
    ExpectKnownAnswers(
        &SHA384_INTERFACE,
        {{"abc",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed"
         "8086072ba1e7cc2358baeca134c825a7"},
         {kTwoBlocks,
          "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712"
          "fcc7c71a557e2db966c3e9fa91746039"},
         {"",
          "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da"
          "274edebfe76f65fbd51ad2f14898b95b"},
         {std::string(111, 'a'),
          "3c37955051cb5c3026f94d551d5b5e2ac38d572ae4e07172085fed81f8466b8f"
          "90dc23a8ffcdea0b8d8e58e8fdacc80a"},
         {std::string(112, 'a'),
          "187d4e07cb306103c69967bf544d0dfbe9042577599c73c330abc0cb64c61236"
          "d5ed565ee19119d8c31779a38f791fcd"},
         {std::string(128, 'a'),
          "edb12730a366098b3b2beac75a3bef1b0969b15c48e2163c23d96994f8d1bef7"
          "60c7e27f3c464d3829f56c0d53808b0b"},
         {Pattern(55),
          "c3fc2efb3f7f03957fed594638fc1a9e5b790844913e7fd43ad29a26bd5e5aaf"
          "494a137cc3f282d73e778d77d3c1c036"},
         {Pattern(56),
          "29d62ede666ed78653a8f02f92eb8a02b4b627d15f0e6d61291f63b0ec159586"
          "316fbe3f2450d01c82d86e52ae754483"},
         {Pattern(119),
          "1a2bd69d2b680db1d83eb9b0c9ecf947c3fe4792965833e3de4785dabcddd726"
          "d997be6cc0abedb7b6d3455ccb936596"},
         {Pattern(120),
          "7f33a13dc302aa532d01170692b78535d5c846eb9543de7a8d13a97054ddb735"
          "7abc5edf28eb6d0321634b81253df229"}});
    ExpectMillionInChunks(&SHA512_INTERFACE,
                          "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
                          "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b");
    ExpectMillionInChunks(&SHA384_INTERFACE,
                          "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b"
                          "07b8b3dc38ecc4ebae97ddd87f3d8985");
    // clang-format on
}

TEST(Sha512Test, NistResponseFiles) {
    ExpectNistFiles(&SHA384_INTERFACE, "SHA2/SHA384", 129, 128);
    ExpectNistFiles(&SHA512_INTERFACE, "SHA2/SHA512", 129, 128);
}

TEST(Sha512Test, ByteCountCarriesIntoTheHighWord) {
    SHA512 sha;
    SHA512_Stack(&sha);
    sha.ByteCount[0] = 0xFFFFFFFFFFFFFF80ull; // a whole number of blocks, one block short of the wrap
    uint8_t block[128] = {};
    EXPECT_EQ(SHA512_Process(&sha, block, sizeof(block)), 1);
    EXPECT_EQ(sha.ByteCount[0], 0u);
    EXPECT_EQ(sha.ByteCount[1], 1u);
    EXPECT_EQ(SHA512_Process(&sha, block, 5), 1);
    EXPECT_EQ(sha.ByteCount[0], 5u);
    EXPECT_EQ(sha.ByteCount[1], 1u);
    SHA512_Unstack(&sha);
}

// A running SHA-384 copied into a SHA-512 instance makes it a SHA-384; a digest length set by
// hand reads the leading bytes; a negative length is refused.
TEST(Sha512Test, CopiesAndLengths) {
    SHA512* source = nullptr;
    SHA512* target = nullptr;
    SHA384_Create(&source);
    SHA512_Create(&target);
    SHA512_Process(source, "abcdefghij", 10);
    EXPECT_EQ(SHA384_CopyTo(source, target), 1);
    SHA512_Process(target, "klm", 3);
    SHA512_Generate(target);
    char text[129];
    EXPECT_EQ(SHA512_GetString(target, 0, text, sizeof(text)), 1u);
    EXPECT_EQ(std::string(text), Digest(&SHA384_INTERFACE, "abcdefghijklm"));
    SHA384_Delete(&source);
    SHA512_Reset(target);
    EXPECT_EQ(SHA512_Process(target, "abc", -3), 0);
    EXPECT_EQ(SHA512_SetDigestSize(target, 20), 1);
    SHA512_Process(target, "abc", 3);
    SHA512_Generate(target);
    EXPECT_EQ(SHA512_GetString(target, 0, text, sizeof(text)), 1u);
    EXPECT_EQ(std::string(text), Digest(&SHA512_INTERFACE, "abc").substr(0, 40));
    SHA512_Delete(&target);
}

} // namespace
