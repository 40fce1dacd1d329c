#include "core/crypto/aes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/support/abort_hook.h"
#include "tests/support/hex.h"
#include "tests/support/log_capture.h"

namespace {

struct Case {
    std::string Section;
    std::map<std::string, std::string> Field;
};

// NIST CAVP response file: "[SECTION]" lines and "NAME = value" fields, cases split at COUNT.
std::vector<Case> ReadRsp(const std::string& path) {
    std::vector<Case> cases;
    std::ifstream in(path);
    std::string line, section;
    Case current;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            if (line.find('=') == std::string::npos) section = line.substr(1, line.size() - 2);
            continue;
        }
        const size_t eq = line.find(" =");
        if (eq == std::string::npos) continue;
        const std::string name = line.substr(0, eq);
        std::string value = eq + 3 <= line.size() ? line.substr(eq + 2) : "";
        if (!value.empty() && value[0] == ' ') value.erase(0, 1);
        if (name == "COUNT" && !current.Field.empty()) cases.push_back(current), current = {};
        current.Section = section;
        current.Field[name] = value;
    }
    if (!current.Field.empty()) cases.push_back(current);
    return cases;
}

const char* kVectors = "/usr/lib/python3/dist-packages/cryptography_vectors/ciphers/AES/";

struct Aes {
    AES* A = nullptr;
    explicit Aes(const Bytes& key) {
        EXPECT_EQ(AES_Create(&A), 1);
        EXPECT_EQ(AES_SetEncryptKey(A, key.data(), (uint32_t)key.size()), 1);
    }
    ~Aes() { AES_Delete(&A); }
};

// Every test runs with the processor's AES instructions and with the portable code.
class AesTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (!GetParam() && !aes_internal::HardwareAvailable()) GTEST_SKIP() << "no AES-NI";
        aes_internal::ForcePortable(GetParam());
    }
    void TearDown() override { aes_internal::ForcePortable(false); }
};

INSTANTIATE_TEST_SUITE_P(Paths, AesTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Portable" : "Hardware"; });

// FIPS 197 Appendix C.
TEST_P(AesTest, Fips197Examples) {
    struct {
        int KeyLength;
        const char* Cipher;
    } const rows[] = {{16, "69c4e0d86a7b0430d8cdb78070b4c55a"},
                      {24, "dda97ca4864cdfe06eaf70a0ec0d7191"},
                      {32, "8ea2b7ca516745bfeafc49904b496089"}};
    for (const auto& row : rows) {
        Bytes key(row.KeyLength);
        for (int i = 0; i < row.KeyLength; i++) key[i] = (uint8_t)i;
        const Bytes plain = FromHex("00112233445566778899aabbccddeeff");
        Aes aes(key);
        Bytes out(16);
        EXPECT_EQ(AES_Encrypt(aes.A, plain.data(), out.data(), 16), 1);
        EXPECT_EQ(out, FromHex(row.Cipher)) << row.KeyLength;
        EXPECT_EQ(AES_SetDecryptKey(aes.A, key.data(), (uint32_t)key.size()), 1);
        EXPECT_EQ(AES_Decrypt(aes.A, out.data(), out.data(), 16), 1);
        EXPECT_EQ(out, plain);
    }
}

// NIST CAVP AESAVS known-answer and multi-block files, ECB and CBC, both directions.
TEST_P(AesTest, CavpFiles) {
    std::ifstream probe(std::string(kVectors) + "ECB/ECBGFSbox128.rsp");
    if (!probe) GTEST_SKIP() << "NIST vectors not installed";
    int checked = 0;
    for (const char* mode : {"ECB", "CBC"})
        for (const char* kind : {"GFSbox", "KeySbox", "VarKey", "VarTxt", "MMT"})
            for (const char* bits : {"128", "192", "256"}) {
                const std::string file = std::string(kVectors) + mode + "/" + mode + kind + bits + ".rsp";
                const std::vector<Case> cases = ReadRsp(file);
                ASSERT_FALSE(cases.empty()) << file;
                for (const Case& c : cases) {
                    const Bytes key = FromHex(c.Field.at("KEY"));
                    const Bytes plain = FromHex(c.Field.at("PLAINTEXT")),
                                cipher = FromHex(c.Field.at("CIPHERTEXT"));
                    const bool encrypt = c.Section == "ENCRYPT";
                    const Bytes& in = encrypt ? plain : cipher;
                    const Bytes& expected = encrypt ? cipher : plain;
                    Aes aes(key);
                    Bytes out(in.size());
                    Bytes iv = mode[0] == 'C' ? FromHex(c.Field.at("IV")) : Bytes();
                    int64_t answer;
                    if (iv.empty())
                        answer = encrypt ? AES_Encrypt(aes.A, in.data(), out.data(), (uint32_t)in.size())
                                         : AES_Decrypt(aes.A, in.data(), out.data(), (uint32_t)in.size());
                    else
                        answer = encrypt ? AES_EncryptCBC(aes.A, iv.data(), 16, in.data(), out.data(), (uint32_t)in.size())
                                         : AES_DecryptCBC(aes.A, iv.data(), 16, in.data(), out.data(), (uint32_t)in.size());
                    ASSERT_EQ(answer, 1);
                    ASSERT_EQ(out, expected) << file << " " << c.Section << " " << c.Field.at("COUNT");
                    if (!iv.empty()) {
                        EXPECT_EQ(iv, Bytes(cipher.end() - 16, cipher.end()));
                    }
                    checked++;
                }
            }
    EXPECT_GT(checked, 1000);
}

TEST_P(AesTest, EcbLengthMustBeWholeBlocks) {
    Aes aes(Bytes(16, 1));
    uint8_t buffer[16] = {};
    LogCapture log;
    EXPECT_EQ(AES_Encrypt(aes.A, buffer, buffer, 15), 0);
    EXPECT_NE(log.Text().find("Length must be a multiple of AES_BLOCKSIZE\n"), std::string::npos);
    EXPECT_EQ(AES_Decrypt(aes.A, buffer, buffer, 17), 0);
    EXPECT_EQ(AES_Encrypt(aes.A, buffer, buffer, 0), 1);
}

TEST_P(AesTest, CbcChainsAcrossCalls) {
    Aes aes(FromHex("2b7e151628aed2a6abf7158809cf4f3c"));
    Bytes data(32);
    for (int i = 0; i < 32; i++) data[i] = (uint8_t)(i * 7);
    Bytes ivWhole(16, 9), ivSplit(16, 9), whole(32), split(32);
    AES_EncryptCBC(aes.A, ivWhole.data(), 16, data.data(), whole.data(), 32);
    AES_EncryptCBC(aes.A, ivSplit.data(), 16, data.data(), split.data(), 16);
    AES_EncryptCBC(aes.A, ivSplit.data(), 16, data.data() + 16, split.data() + 16, 16);
    EXPECT_EQ(split, whole);
    EXPECT_EQ(ivSplit, ivWhole);
}

// A short last block counts its missing bytes as zero and writes only as many bytes as given.
TEST_P(AesTest, CbcShortLastBlock) {
    Aes aes(Bytes(32, 3));
    Bytes data(20, 0x5A), padded(32, 0), iv1(16, 1), iv2(16, 1);
    std::copy(data.begin(), data.end(), padded.begin());
    Bytes full(32), out(21, 0xEE);
    AES_EncryptCBC(aes.A, iv1.data(), 16, padded.data(), full.data(), 32);
    EXPECT_EQ(AES_EncryptCBC(aes.A, iv2.data(), 16, data.data(), out.data(), 20), 1);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 20), Bytes(full.begin(), full.begin() + 20));
    EXPECT_EQ(out[20], 0xEE);
    EXPECT_EQ(iv2, Bytes(full.begin() + 16, full.end()));
    // Decrypting the 20 bytes: the 4 ciphertext bytes are taken with 12 zero bytes after them.
    Bytes iv3(16, 1), back(20);
    EXPECT_EQ(AES_DecryptCBC(aes.A, iv3.data(), 16, out.data(), back.data(), 20), 1);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 16), Bytes(data.begin(), data.begin() + 16));
    Bytes tail(16, 0);
    std::copy(out.begin() + 16, out.begin() + 20, tail.begin());
    EXPECT_EQ(iv3, tail);
}

TEST_P(AesTest, KeyLengths) {
    AES* aes = nullptr;
    AES_Create(&aes);
    const uint8_t key[33] = {};
    for (uint32_t length : {0u, 8u, 15u, 17u, 20u, 31u, 33u}) EXPECT_EQ(AES_SetEncryptKey(aes, key, length), 0) << length;
    for (uint32_t length : {16u, 24u, 32u}) EXPECT_EQ(AES_SetDecryptKey(aes, key, length), 1) << length;
    AES_Delete(&aes);
    EXPECT_EQ(aes, nullptr);
}

// The processor's path against the portable one on many lengths and alignments, in place too.
TEST(AesPaths, HardwareMatchesPortable) {
    if (!aes_internal::HardwareAvailable()) GTEST_SKIP() << "no AES-NI";
    std::mt19937 random(7);
    Bytes key(32);
    for (auto& b : key) b = (uint8_t)random();
    for (uint32_t keyLength : {16u, 24u, 32u}) {
        AES* aes = nullptr;
        AES_Create(&aes);
        AES_SetEncryptKey(aes, key.data(), keyLength);
        for (uint32_t blocks = 0; blocks < 40; blocks++)
            for (uint32_t offset : {0u, 1u, 7u, 15u}) {
                Bytes in(16 * blocks + 16 + offset);
                for (auto& b : in) b = (uint8_t)random();
                const uint8_t* src = in.data() + offset;
                const uint32_t n = 16 * blocks + (blocks % 3 == 1 ? 5 : 0);
                Bytes result[2][4];
                for (int portable = 0; portable < 2; portable++) {
                    aes_internal::ForcePortable(portable);
                    Bytes* r = result[portable];
                    for (int k = 0; k < 4; k++) r[k].assign(n + offset, 0);
                    Bytes iv1(16, 4), iv2(16, 4);
                    AES_Encrypt(aes, src, r[0].data() + offset, n & ~15u);
                    AES_Decrypt(aes, src, r[1].data() + offset, n & ~15u);
                    AES_EncryptCBC(aes, iv1.data(), 16, src, r[2].data() + offset, n);
                    std::copy(src, src + n, r[3].begin() + offset);
                    AES_DecryptCBC(aes, iv2.data(), 16, r[3].data() + offset, r[3].data() + offset, n);
                    r[2].insert(r[2].end(), iv1.begin(), iv1.end());
                    r[3].insert(r[3].end(), iv2.begin(), iv2.end());
                }
                for (int k = 0; k < 4; k++) ASSERT_EQ(result[0][k], result[1][k]) << keyLength << " " << n << " " << k;
            }
        AES_Delete(&aes);
    }
    aes_internal::ForcePortable(false);
}

TEST(AesRecord, AbortCases) {
    struct {
        void (*Call)(AES*);
        const char* Text;
    } const rows[] = {
        {[](AES* a) { AES_SetAAD(a, nullptr, 0); }, "Not Supported - AES_SetAAD"},
        {[](AES* a) { AES_GetAuthTag(a, nullptr, 0); }, "Not Supported - AES_GetAuthTag"},
        {[](AES* a) { uint8_t iv[15] = {}, b[16] = {}; AES_EncryptCBC(a, iv, 15, b, b, 16); },
         "AES_EncryptCBC: IV must be at least 16 bytes\n"},
        {[](AES* a) { uint8_t iv[15] = {}, b[16] = {}; AES_DecryptCBC(a, iv, 15, b, b, 16); },
         "AES_DecryptCBC: IV must be at least 16 bytes\n"},
    };
    for (const auto& row : rows)
        EXPECT_DEATH(
            {
                InstallTestAbortHook();
                AES* aes = nullptr;
                AES_Create(&aes);
                row.Call(aes);
            },
            AbortRegex(row.Text));
}

} // namespace
