#include "core/crypto/md5.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include "tests/core/crypto/digest_vectors.h"

namespace {

TEST(Md5Test, KnownAnswers) {
    // RFC 1321 appendix A.5.
    ExpectKnownAnswers(&MD5_INTERFACE, {{"", "d41d8cd98f00b204e9800998ecf8427e"},
                                        {"a", "0cc175b9c0f1b6a831c399e269772661"},
                                        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
                                        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
                                        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
                                        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                                         "d174ab98d277d9f5a5611c2c9f419d9f"},
                                        {Repeat("1234567890", 8), "57edf4a22be3c955ac49da2e2107b67a"},
                                        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
                                        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"}});
    // Around the length field: 55 bytes leave room for it in the block, 56 need one more (Python
    // hashlib.md5 and md5sum, see Pattern).
    ExpectKnownAnswers(&MD5_INTERFACE, {{Pattern(55), "c9e512626618c9980ef21a96597af94c"},
                                        {Pattern(56), "ecde7caa08e9f5657c863df107cac60a"},
                                        {Pattern(119), "d5dc3d8264de3aa24dee105910ee27fe"},
                                        {Pattern(120), "bcc139b3848923904860d1eefd6e5923"}});
    ExpectMillionInChunks(&MD5_INTERFACE, "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5Test, BitCountCarriesIntoTheHighWord) {
    ExpectBitCountCarries<MD5>(&MD5_INTERFACE);
    // 2^29 + 64 bytes in one call: 8 x length does not fit 32 bits. Zero pages of a private
    // mapping cost no memory.
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

// A second reference keeps the object; each release nulls the caller's handle.
TEST(Md5Test, References) {
    MD5* md5 = nullptr;
    ASSERT_EQ(MD5_Create(&md5), 1);
    MD5* second = md5;
    EXPECT_EQ(MD5_AddRef(md5), 1);
    EXPECT_EQ(MD5_Release(&second), 1);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(MD5_IsGenerated(md5), 0u);
    EXPECT_EQ(MD5_Release(&md5), 1);
    EXPECT_EQ(md5, nullptr);
    EXPECT_EQ(MD5_Release(&md5), 0);
}

} // namespace
