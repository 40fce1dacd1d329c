#include "core/crypto/des.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/abort_hook.h"
#include "tests/support/hex.h"
#include "tests/support/log_capture.h"

namespace {

struct Case {
    bool Encrypt;
    std::map<std::string, std::string> Field;
};

std::vector<Case> ReadRsp(const std::string& path) {
    std::vector<Case> cases;
    std::ifstream in(path);
    std::string line;
    bool encrypt = true;
    Case current{};
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "[ENCRYPT]" || line == "[DECRYPT]") encrypt = line == "[ENCRYPT]";
        const size_t eq = line.find(" = ");
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        const std::string name = line.substr(0, eq);
        if (name == "COUNT" && !current.Field.empty()) cases.push_back(current), current = {};
        current.Encrypt = encrypt;
        current.Field[name] = line.substr(eq + 3);
    }
    if (!current.Field.empty()) cases.push_back(current);
    return cases;
}

struct Des {
    DES* D = nullptr;
    explicit Des(const Bytes& key) {
        EXPECT_EQ(DES_Create(&D), 1);
        EXPECT_EQ(DES_SetKey(D, key.data(), (uint32_t)key.size()), 1);
    }
    ~Des() { DES_Delete(&D); }
};

const std::string kPlain = "Now is the time for all ";

// FIPS 81 Appendix B (ECB) and C (CBC).
TEST(DesTest, Fips81Examples) {
    Des des(FromHex("0123456789abcdef"));
    Bytes out(24);
    EXPECT_EQ(DES_Encrypt(des.D, kPlain.data(), out.data(), 24), 1);
    EXPECT_EQ(out, FromHex("3fa40e8a984d48156a271787ab8883f9893d51ec4b563b53"));
    Bytes iv = FromHex("1234567890abcdef");
    EXPECT_EQ(DES_EncryptCBC(des.D, iv.data(), 8, kPlain.data(), out.data(), 24), 1);
    EXPECT_EQ(out, FromHex("e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"));
    EXPECT_EQ(iv, FromHex("683788499a7c05f6"));
    iv = FromHex("1234567890abcdef");
    EXPECT_EQ(DES_DecryptCBC(des.D, iv.data(), 8, out.data(), out.data(), 24), 1);
    EXPECT_EQ(std::string(out.begin(), out.end()), kPlain);
}

// NIST CAVP TDES known-answer files, whose three keys are equal: single DES.
TEST(DesTest, CavpKnownAnswers) {
    const std::string dir = "/usr/lib/python3/dist-packages/cryptography_vectors/ciphers/3DES/";
    if (!std::ifstream(dir + "ECB/TECBinvperm.rsp")) GTEST_SKIP() << "NIST vectors not installed";
    int checked = 0;
    for (const char* kind : {"invperm", "permop", "subtab", "varkey", "vartext"})
        for (const std::string& file : {dir + "ECB/TECB" + kind + ".rsp", dir + "CBC/TCBC" + kind + ".rsp"})
            for (const Case& c : ReadRsp(file)) {
                Des des(FromHex(c.Field.at("KEYs")));
                const Bytes plain = FromHex(c.Field.at("PLAINTEXT")),
                            cipher = FromHex(c.Field.at("CIPHERTEXT"));
                const Bytes& in = c.Encrypt ? plain : cipher;
                Bytes out(8), iv = c.Field.count("IV") ? FromHex(c.Field.at("IV")) : Bytes();
                if (iv.empty())
                    c.Encrypt ? DES_Encrypt(des.D, in.data(), out.data(), 8) : DES_Decrypt(des.D, in.data(), out.data(), 8);
                else
                    c.Encrypt ? DES_EncryptCBC(des.D, iv.data(), 8, in.data(), out.data(), 8)
                              : DES_DecryptCBC(des.D, iv.data(), 8, in.data(), out.data(), 8);
                ASSERT_EQ(out, c.Encrypt ? cipher : plain) << file << " " << c.Field.at("COUNT");
                checked++;
            }
    EXPECT_GT(checked, 900);
}

TEST(DesTest, KeyMustBeEightBytes) {
    Des des(FromHex("0123456789abcdef"));
    LogCapture log;
    const uint8_t key[9] = {};
    for (uint32_t length : {0u, 7u, 9u}) EXPECT_EQ(DES_SetKey(des.D, key, length), 0);
    EXPECT_NE(log.Text().find("DES key size must be equal to DES_KEYSIZE [7]\n"), std::string::npos);
    // The old key stays.
    Bytes out(8);
    DES_Encrypt(des.D, kPlain.data(), out.data(), 8);
    EXPECT_EQ(out, FromHex("3fa40e8a984d4815"));
}

// A short last block is padded only where the caller gave room for the whole block; the slot
// form knows only the length, so it refuses rather than writing past it.
TEST(DesTest, ShortLastBlockNeverWritesPastTheBuffer) {
    Des des(FromHex("0123456789abcdef"));
    Bytes out(17, 0xEE);
    EXPECT_EQ(DES_Encrypt(des.D, kPlain.data(), out.data(), 12), 0);
    EXPECT_EQ(out, Bytes(17, 0xEE));
    EXPECT_EQ(DES_CryptBuffer(des.D->EncryptKeys, kPlain.data(), 12, out.data(), 15), 0);
    EXPECT_EQ(DES_CryptBuffer(des.D->EncryptKeys, kPlain.data(), 12, out.data(), 16), 1);
    Bytes padded(kPlain.begin(), kPlain.begin() + 16), whole(16);
    std::fill(padded.begin() + 12, padded.end(), 0);
    DES_Encrypt(des.D, padded.data(), whole.data(), 16);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 16), whole);
    EXPECT_EQ(out[16], 0xEE);
    // CBC writes exactly the bytes given.
    Bytes iv(8, 0), cbc(13, 0xEE);
    EXPECT_EQ(DES_EncryptCBC(des.D, iv.data(), 8, kPlain.data(), cbc.data(), 12), 1);
    EXPECT_EQ(cbc[12], 0xEE);
}

TEST(DesTest, AbortCases) {
    struct {
        void (*Call)(DES*);
        const char* Text;
    } const rows[] = {
        {[](DES* d) { DES_SetAAD(d, nullptr, 0); }, "Not Supported - DES_SetAAD"},
        {[](DES* d) { DES_GetAuthTag(d, nullptr, 0); }, "Not Supported - DES_GetAuthTag"},
        {[](DES* d) { uint8_t iv[7] = {}, b[8] = {}; DES_EncryptCBC(d, iv, 7, b, b, 8); },
         "DES_EncryptCBC: IV must be at least 8 bytes\n"},
        {[](DES* d) { uint8_t iv[7] = {}, b[8] = {}; DES_DecryptCBC(d, iv, 7, b, b, 8); },
         "DES_DecryptCBC: IV must be at least 8 bytes\n"},
    };
    for (const auto& row : rows)
        EXPECT_DEATH(
            {
                InstallTestAbortHook();
                DES* des = nullptr;
                DES_Create(&des);
                row.Call(des);
            },
            AbortRegex(row.Text));
}

} // namespace
