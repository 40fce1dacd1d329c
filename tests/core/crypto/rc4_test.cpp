#include "core/crypto/rc4.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/hex.h"
#include "tests/support/log_capture.h"

namespace {

// The keystream bytes [offset, offset + 16) for key.
Bytes Keystream(const Bytes& key, size_t offset) {
    RC4* rc4 = nullptr;
    RC4_Create(&rc4);
    EXPECT_EQ(RC4_SetKey(rc4, key.data(), (uint32_t)key.size()), 1);
    Bytes stream(offset + 16, 0);
    EXPECT_EQ(RC4_Encrypt(rc4, stream.data(), stream.data(), (uint32_t)stream.size()), 1);
    RC4_Delete(&rc4);
    return Bytes(stream.begin() + (long)offset, stream.end());
}

// RFC 6229 section 2, excerpts.
TEST(Rc4Test, Rfc6229Excerpts) {
    struct {
        const char* Key;
        size_t Offset;
        const char* Stream;
    } const rows[] = {
        {"0102030405", 0, "b2396305f03dc027ccc3524a0a1118a8"},
        {"0102030405", 16, "6982944f18fc82d589c403a47a0d0919"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Keystream(FromHex(row.Key), row.Offset), FromHex(row.Stream)) << row.Key;
}

// All of RFC 6229 as installed with the NIST-style vectors.
TEST(Rc4Test, Rfc6229Files) {
    const std::string dir = "/usr/lib/python3/dist-packages/cryptography_vectors/ciphers/ARC4/";
    if (!std::ifstream(dir + "rfc-6229-40.txt")) GTEST_SKIP() << "vectors not installed";
    int checked = 0;
    for (const char* bits : {"40", "56", "64", "80", "128", "192", "256"}) {
        std::ifstream in(dir + "rfc-6229-" + bits + ".txt");
        std::string line, key;
        size_t offset = 0;
        while (std::getline(in, line)) {
            if (line.rfind("KEY = ", 0) == 0) key = line.substr(6);
            if (line.rfind("OFFSET = ", 0) == 0) offset = std::stoul(line.substr(9));
            if (line.rfind("CIPHERTEXT = ", 0) == 0) {
                ASSERT_EQ(Keystream(FromHex(key), offset), FromHex(line.substr(13))) << key << " " << offset;
                checked++;
            }
        }
    }
    EXPECT_GT(checked, 100);
}

TEST(Rc4Test, PiecesContinueTheKeystreamAndDecryptRestores) {
    const std::string key = "Secret", text = "Attack at dawn";
    RC4 *a = nullptr, *b = nullptr;
    RC4_Create(&a);
    RC4_Create(&b);
    RC4_SetEncryptKey(a, key.data(), (uint32_t)key.size());
    RC4_SetDecryptKey(b, key.data(), (uint32_t)key.size());
    Bytes out(text.size());
    RC4_Encrypt(a, text.data(), out.data(), 5);
    RC4_Encrypt(a, text.data() + 5, out.data() + 5, (uint32_t)text.size() - 5);
    EXPECT_EQ(out, FromHex("45a01f645fc35b383552544b9bf5"));
    RC4_Decrypt(b, out.data(), out.data(), (uint32_t)out.size());
    EXPECT_EQ(std::string(out.begin(), out.end()), text);
    RC4_Delete(&a);
    RC4_Delete(&b);
}

TEST(Rc4Test, KeyLengthLimits) {
    RC4* rc4 = nullptr;
    RC4_Create(&rc4);
    uint8_t key[256] = {1};
    uint8_t data[4] = {};
    LogCapture log;
    EXPECT_EQ(RC4_SetKey(rc4, key, 256), 0);
    EXPECT_NE(log.Text().find("Key length too long (256 > 256)\n"), std::string::npos);
    EXPECT_EQ(RC4_Encrypt(rc4, data, data, 4), 0); // stays reset: no keystream to give
    EXPECT_EQ(RC4_SetKey(rc4, key, 255), 1);
    // An empty key would leave S the identity: a keystream anyone can compute.
    EXPECT_EQ(RC4_SetKey(rc4, key, 0), 0);
    EXPECT_EQ(RC4_Encrypt(rc4, data, data, 4), 0);
    EXPECT_EQ(data[0], 0);
    RC4_Delete(&rc4);
}

} // namespace
