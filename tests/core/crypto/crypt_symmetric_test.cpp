#include "core/crypto/crypt_symmetric.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/crypto/aes.h"
#include "core/crypto/aes_gcm.h"
#include "core/crypto/des.h"
#include "core/crypto/rc4.h"
#include "tests/support/abort_hook.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(CryptSymmetricTest, RecordsAndCbcSupport) {
    struct {
        const CryptSymmetricInterface* Record;
        const char* Name;
        uint32_t BlockSize;
        int64_t Cbc;
    } const rows[] = {{&AES_INTERFACE, "AES", 16, 1},
                      {&AESGCM_INTERFACE, "AESGCM", 16, 1},
                      {&DES_INTERFACE, "DES", 8, 1},
                      {&RC4_INTERFACE, "RC4", 0, 0}};
    CryptSymmetric* crypt = nullptr;
    ASSERT_EQ(CryptSymmetric_Create(&crypt), 1);
    EXPECT_EQ(CryptSymmetric_SupportsCBC(crypt), 0);
    for (const auto& row : rows) {
        EXPECT_STREQ(row.Record->Name, row.Name);
        EXPECT_EQ(row.Record->BlockSize, row.BlockSize);
        EXPECT_EQ(CryptSymmetric_Reset(crypt, row.Record), 1);
        EXPECT_EQ(CryptSymmetric_SupportsCBC(crypt), row.Cbc) << row.Name;
    }
    CryptSymmetric_Delete(&crypt);
    EXPECT_EQ(crypt, nullptr);
    // Never bound: only the object goes.
    CryptSymmetric_Create(&crypt);
    EXPECT_EQ(CryptSymmetric_Delete(&crypt), 1);
}

// Forwarding gives the cipher's own results: AES-128 of FIPS 197 C.1 and a CBC chain.
TEST(CryptSymmetricTest, ForwardsToTheInstance) {
    CryptSymmetric* crypt = nullptr;
    CryptSymmetric_Create(&crypt);
    CryptSymmetric_Reset(crypt, &AES_INTERFACE);
    Bytes key(16), block = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                            0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    for (int i = 0; i < 16; i++) key[i] = (uint8_t)i;
    EXPECT_EQ(CryptSymmetric_SetEncryptKey(crypt, key.data(), 20), 0);
    EXPECT_EQ(CryptSymmetric_SetEncryptKey(crypt, key.data(), 16), 1);
    const Bytes plain = block;
    EXPECT_EQ(CryptSymmetric_Encrypt(crypt, block.data(), block.data(), 16), 1);
    EXPECT_EQ(block[0], 0x69);
    EXPECT_EQ(block[15], 0x5a);
    EXPECT_EQ(CryptSymmetric_SetDecryptKey(crypt, key.data(), 16), 1);
    EXPECT_EQ(CryptSymmetric_Decrypt(crypt, block.data(), block.data(), 16), 1);
    EXPECT_EQ(block, plain);
    Bytes iv(16, 0), out(16);
    EXPECT_EQ(CryptSymmetric_EncryptCBC(crypt, iv.data(), 16, plain.data(), out.data(), 16), 1);
    EXPECT_EQ(iv, out);
    EXPECT_EQ(CryptSymmetric_DecryptCBC(crypt, Bytes(16, 0).data(), 16, out.data(), out.data(), 16), 1);
    EXPECT_EQ(out, plain);
    // Rebinding drops the key: RC4 without one gives no keystream.
    CryptSymmetric_Reset(crypt, &RC4_INTERFACE);
    EXPECT_EQ(CryptSymmetric_Encrypt(crypt, block.data(), block.data(), 16), 0);
    CryptSymmetric_Delete(&crypt);
}

TEST(CryptSymmetricTest, GcmThroughTheRecord) {
    CryptSymmetric* crypt = nullptr;
    CryptSymmetric_Create(&crypt);
    CryptSymmetric_Reset(crypt, &AESGCM_INTERFACE);
    const Bytes key(16, 0);
    Bytes nonce(12, 0), tag(16);
    CryptSymmetric_SetEncryptKey(crypt, key.data(), 16);
    CryptSymmetric_SetAAD(crypt, nullptr, 0);
    EXPECT_EQ(CryptSymmetric_EncryptCBC(crypt, nonce.data(), 12, nullptr, nullptr, 0), 1);
    EXPECT_EQ(CryptSymmetric_GetAuthTag(crypt, tag.data(), 16), 1);
    // Test case 1 of the GCM submission to NIST (all-zero key and nonce, nothing else).
    const Bytes expected = {0x58, 0xe2, 0xfc, 0xce, 0xfa, 0x7e, 0x30, 0x61,
                            0x36, 0x7f, 0x1d, 0x57, 0xa4, 0xe7, 0x45, 0x5a};
    EXPECT_EQ(tag, expected);
    CryptSymmetric_Delete(&crypt);
}

TEST(CryptSymmetricTest, AbortCases) {
    struct {
        void (*Call)(CryptSymmetric*);
        const char* Text;
    } const rows[] = {
        {[](CryptSymmetric* c) { CryptSymmetric_Encrypt(c, nullptr, nullptr, 0); },
         "CryptSymmetric_Encrypt: no cipher bound\n"},
        {[](CryptSymmetric* c) {
             CryptSymmetric_Reset(c, &RC4_INTERFACE);
             CryptSymmetric_SetAAD(c, nullptr, 0);
         },
         "Not Supported - CryptSymmetric_SetAAD"},
        {[](CryptSymmetric* c) {
             CryptSymmetric_Reset(c, &RC4_INTERFACE);
             CryptSymmetric_EncryptCBC(c, nullptr, 0, nullptr, nullptr, 0);
         },
         "Not Supported - CryptSymmetric_EncryptCBC"},
        {[](CryptSymmetric* c) {
             CryptSymmetric_Reset(c, &DES_INTERFACE);
             CryptSymmetric_GetAuthTag(c, nullptr, 0);
         },
         "Not Supported - DES_GetAuthTag"},
        {[](CryptSymmetric* c) {
             CryptSymmetricInterface broken = RC4_INTERFACE;
             broken.Decrypt = nullptr;
             CryptSymmetric_Reset(c, &broken);
         },
         "Assertion failed (record->Name && record->Create && record->Delete && record->SetDecryptKey && "
         "record->SetEncryptKey && record->Encrypt && record->Decrypt)\nCryptSymmetric_Reset: incomplete cipher "
         "record\n"},
    };
    for (const auto& row : rows)
        EXPECT_DEATH(
            {
                InstallTestAbortHook();
                CryptSymmetric* crypt = nullptr;
                CryptSymmetric_Create(&crypt);
                row.Call(crypt);
            },
            AbortRegex(row.Text));
}

} // namespace
