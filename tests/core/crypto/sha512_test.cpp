#include "core/crypto/sha512.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/core/crypto/digest_vectors.h"
#include "tests/support/abort_hook.h"

namespace {

const char* const kTwoBlocks =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqr"
    "smnopqrstnopqrstu";

TEST(Sha512Test, Fips180ExamplesAndPaddingLengths) {
    ExpectKnownAnswers(
        &SHA512_INTERFACE,
        {
            {"abc", "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23"
                    "a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
            {kTwoBlocks, "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e433"
                         "1b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
            {"", "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2"
                 "877eec2f63b931bd47417a81a538327af927da3e"},
            {std::string(111, 'a'), "fa9121c7b32b9e01733d034cfc78cbf67f926c7ed83e82200ef86818196921760b"
                                    "4beff48404df811b953828274461673c68d04e297b0eb7b2b4d60fc6b566a2"},
            {std::string(112, 'a'), "c01d080efd492776a1c43bd23dd99d0a2e626d481e16782e75d54c2503b5dc32bd"
                                    "05f0f1ba33e568b88fd2d970929b719ecbb152f58f130a407c8830604b70ca"},
            {std::string(127, 'a'), "828613968b501dc00a97e08c73b118aa8876c26b8aac93df128502ab360f91bab5"
                                    "0a51e088769a5c1eff4782ace147dce3642554199876374291f5d921629502"},
            {std::string(128, 'a'), "b73d1929aa615934e61a871596b3f3b33359f42b8175602e89f7e06e5f658a2436"
                                    "67807ed300314b95cacdd579f3e33abdfbe351909519a846d465c59582f321"},
            {std::string(239, 'a'), "52c853cb8d907f3d4d6b889beb027985d7c273486d75f8baf26f80d24e90c74c6c"
                                    "3de3e22131582380a7d14d43f2941a31385439cd6ddc469f628015e50bf286"},
            {std::string(240, 'a'), "4c296d90c61052a62ffb1dd196f1b7b09373b1f93e71836baebf89690546b75956"
                                    "84dbe9467a8e484fa0d1094272b4344a7c24f5fee8daedeb0bf549c985ab5f"},
            {std::string(256, 'a'), "6a9169eb662f136d87374070e8828b3e615a7eca32a89446e9225b02832709be09"
                                    "5e635c824a2bb70213ba2ea0ababac0809827843992c851903b7ac0c136699"},
        });
    ExpectKnownAnswers(
        &SHA384_INTERFACE,
        {
            {"abc", "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca1"
                    "34c825a7"},
            {kTwoBlocks, "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db9"
                         "66c3e9fa91746039"},
            {"", "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f1"
                 "4898b95b"},
            {std::string(111, 'a'), "3c37955051cb5c3026f94d551d5b5e2ac38d572ae4e07172085fed81f8466b8f90"
                                    "dc23a8ffcdea0b8d8e58e8fdacc80a"},
            {std::string(112, 'a'), "187d4e07cb306103c69967bf544d0dfbe9042577599c73c330abc0cb64c61236d5"
                                    "ed565ee19119d8c31779a38f791fcd"},
            {std::string(128, 'a'), "edb12730a366098b3b2beac75a3bef1b0969b15c48e2163c23d96994f8d1bef760"
                                    "c7e27f3c464d3829f56c0d53808b0b"},
        });
    ExpectMillionInPieces(&SHA512_INTERFACE,
                          "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff2"
                          "44877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b");
    ExpectMillionInPieces(
        &SHA384_INTERFACE,
        "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985");
}

TEST(Sha512Test, NistResponseFiles) {
    const std::string root = VectorRoot();
    if (root.empty()) GTEST_SKIP() << "digest vectors are not installed";
    const struct {
        const HashInterface* Record;
        const char* Name;
    } files[] = {{&SHA384_INTERFACE, "SHA384"}, {&SHA512_INTERFACE, "SHA512"}};
    for (const auto& f : files) {
        const std::string base = root + "/hashes/SHA2/" + f.Name;
        EXPECT_GE(CheckMessageFile(f.Record, base + "ShortMsg.rsp"), 129) << f.Name;
        EXPECT_GE(CheckMessageFile(f.Record, base + "LongMsg.rsp"), 128) << f.Name;
        std::string failure;
        EXPECT_EQ(CheckMonteCarlo(f.Record, base + "Monte.rsp", &failure), 100) << f.Name;
        EXPECT_EQ(failure, "") << f.Name;
    }
}

TEST(Sha512Test, Sha384IsNotATruncatedSha512) {
    EXPECT_NE(Digest(&SHA512_INTERFACE, "abc").substr(0, 96), Digest(&SHA384_INTERFACE, "abc"));
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
    // The length field is 128 bits of bit count: 2^67 + 40 bits.
    SHA512_Generate(&sha);
    EXPECT_EQ(sha.DigestReady, 1u);
    SHA512_Unstack(&sha);
}

TEST(Sha512Test, ShortBufferIsRefused) {
    struct Case {
        const HashInterface* Record;
        int32_t Capacity;
        uint32_t Answer;
        size_t Copied;
    } cases[] = {
        {&SHA512_INTERFACE, 63, 0, 0}, {&SHA512_INTERFACE, 64, 1, 64}, {&SHA512_INTERFACE, -64, 0, 0},
        {&SHA384_INTERFACE, 47, 0, 0}, {&SHA384_INTERFACE, 48, 1, 48}, {&SHA384_INTERFACE, 70, 1, 48},
    };
    for (const Case& c : cases) ExpectDigestOfAbcInto(c.Record, c.Capacity, c.Answer, c.Copied);
}

TEST(Sha512Test, Sha384CopyIntoASha512Instance) {
    SHA512* source = nullptr;
    SHA512* target = nullptr;
    SHA384_Create(&source);
    SHA512_Create(&target);
    EXPECT_EQ(source->DigestSize, 48u);
    SHA512_Process(source, "abcdefghij", 10);
    EXPECT_EQ(SHA384_CopyTo(source, target), 1);
    EXPECT_EQ(target->DigestSize, 48u);
    EXPECT_EQ(target->ByteCount[0], 10u);
    SHA512_Process(source, "klm", 3);
    SHA512_Process(target, "klm", 3);
    SHA512_Generate(source);
    SHA512_Generate(target);
    char a[97], b[97];
    SHA512_GetString(source, 0, a, sizeof(a));
    SHA512_GetString(target, 0, b, sizeof(b));
    EXPECT_STREQ(a, b);
    EXPECT_EQ(std::string(a), Digest(&SHA384_INTERFACE, "abcdefghijklm"));
    SHA384_Delete(&source);
    SHA512_Delete(&target);
    ExpectCopyMidMessage(&SHA384_INTERFACE);
    ExpectCopyMidMessage(&SHA512_INTERFACE);
}

TEST(Sha512Test, InstancesOnHeapAndInCallerMemory) {
    EXPECT_EQ(SHA512_SizeOf(), sizeof(SHA512));
    EXPECT_EQ(SHA384_SizeOf(), sizeof(SHA512));
    EXPECT_STREQ(SHA512_INTERFACE.Name, "SHA512");
    EXPECT_STREQ(SHA384_INTERFACE.Name, "SHA384");
    EXPECT_EQ(SHA512_INTERFACE.BlockSize, 128u);
    EXPECT_EQ(SHA384_INTERFACE.BlockSize, 128u);
    EXPECT_EQ(SHA512_INTERFACE.DigestSize, 64u);
    EXPECT_EQ(SHA384_INTERFACE.DigestSize, 48u);
    EXPECT_EQ(SHA384_INTERFACE.Process, SHA512_INTERFACE.Process);
    EXPECT_EQ(SHA384_INTERFACE.GetString, SHA512_INTERFACE.GetString);

    SHA512 stacked;
    memset(&stacked, 0xAB, sizeof(stacked));
    EXPECT_EQ(SHA384_Stack(&stacked), 1);
    EXPECT_EQ(stacked.Header.ClassId, SHA512_CLASS_ID);
    EXPECT_EQ(stacked.Header.RefCount, 0u);
    EXPECT_EQ(stacked.DigestSize, 48u);
    EXPECT_EQ(stacked.State[0], 0xcbbb9d5dc1059ed8ull);
    EXPECT_EQ(SHA384_Unstack(&stacked), 1);
    EXPECT_EQ(stacked.Digest, nullptr);

    SHA512* sha = nullptr;
    EXPECT_EQ(SHA512_Create(&sha), 1);
    EXPECT_EQ(SHA512_AddRef(sha), 1);
    SHA512* other = sha;
    EXPECT_EQ(SHA512_Release(&other), 1);
    EXPECT_EQ(SHA512_Process(sha, "abc", -3), 0);
    EXPECT_EQ(SHA512_SetDigestSize(sha, 20), 1);
    SHA512_Process(sha, "abc", 3);
    SHA512_Generate(sha);
    char text[41];
    EXPECT_EQ(SHA512_GetString(sha, 0, text, sizeof(text)), 1u);
    EXPECT_EQ(std::string(text), Digest(&SHA512_INTERFACE, "abc").substr(0, 40));
    EXPECT_EQ(SHA512_Release(&sha), 1);
    EXPECT_EQ(sha, nullptr);
}

TEST(Sha512Test, ReadingBeforeGeneratingAborts) {
    for (const HashInterface* record : {&SHA512_INTERFACE, &SHA384_INTERFACE})
        ExpectReadingBeforeGeneratingAborts(record, "SHA512");
}

} // namespace
