#include "core/crypto/aes_gcm.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/support/hex.h"
#include "tests/support/wycheproof.h"

namespace {

using Case = std::map<std::string, std::string>;

// NIST CAVP GCM response file: "Name = value" fields, cases split at Count, "FAIL" rows marked.
std::vector<Case> ReadRsp(const std::string& path) {
    std::vector<Case> cases;
    std::ifstream in(path);
    std::string line;
    Case current;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "FAIL") current["FAIL"] = "1";
        const size_t eq = line.find(" =");
        if (line.empty() || line[0] == '#' || line[0] == '[' || eq == std::string::npos) continue;
        const std::string name = line.substr(0, eq);
        std::string value = eq + 3 <= line.size() ? line.substr(eq + 3) : "";
        if (name == "Count" && !current.empty()) cases.push_back(current), current = {};
        current[name] = value;
    }
    if (!current.empty()) cases.push_back(current);
    return cases;
}

struct Gcm {
    AESGCM* G = nullptr;
    explicit Gcm(const Bytes& key) {
        EXPECT_EQ(AESGCM_Create(&G), 1);
        EXPECT_EQ(AESGCM_SetKey(G, key.data(), (uint32_t)key.size()), 1);
    }
    ~Gcm() { AESGCM_Delete(&G); }
};

struct Sealed {
    int64_t Answer;
    Bytes Text, Tag;
};

Sealed Encrypt(const Bytes& key, Bytes iv, const Bytes& aad, const Bytes& plain, uint32_t tagLength) {
    Gcm gcm(key);
    Sealed s{0, Bytes(plain.size()), Bytes(tagLength)};
    if (!AESGCM_SetAAD(gcm.G, aad.data(), (uint32_t)aad.size())) return s;
    if (!AESGCM_EncryptCBC(gcm.G, iv.data(), (uint32_t)iv.size(), plain.data(), s.Text.data(), (uint32_t)plain.size()))
        return s;
    s.Answer = AESGCM_GetAuthTag(gcm.G, s.Tag.data(), tagLength);
    return s;
}

// 1 only when the tag verifies; the plaintext comes back in out. Tags too short to verify are
// refused by AESGCM_VerifyAuthTag and compared here against AESGCM_GetAuthTag instead.
int64_t Decrypt(const Bytes& key, Bytes iv, const Bytes& aad, const Bytes& cipher, const Bytes& tag, Bytes* out) {
    Gcm gcm(key);
    out->assign(cipher.size(), 0);
    if (!AESGCM_SetAAD(gcm.G, aad.data(), (uint32_t)aad.size())) return 0;
    if (!AESGCM_DecryptCBC(gcm.G, iv.data(), (uint32_t)iv.size(), cipher.data(), out->data(), (uint32_t)cipher.size()))
        return 0;
    if (tag.size() >= AESGCM_MIN_VERIFY_TAG) return AESGCM_VerifyAuthTag(gcm.G, tag.data(), (uint32_t)tag.size());
    Bytes mine(tag.size());
    if (!AESGCM_GetAuthTag(gcm.G, mine.data(), (uint32_t)mine.size())) return 0;
    return mine == tag;
}

enum Path { kWide, kNarrow, kPortable };

// Forces one of the three paths: 256-bit VAES, 128-bit AES-NI, portable.
bool UsePath(int path) {
    if (path == kWide && !gcm_internal::WideAvailable()) return false;
    if (path != kPortable && !aes_internal::HardwareAvailable()) return false;
    aes_internal::ForcePortable(path == kPortable);
    gcm_internal::ForceNarrow(path == kNarrow);
    return true;
}

class AesGcmTest : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        if (!UsePath(GetParam())) GTEST_SKIP() << "path not offered by this processor";
    }
    void TearDown() override {
        aes_internal::ForcePortable(false);
        gcm_internal::ForceNarrow(false);
    }
};

INSTANTIATE_TEST_SUITE_P(Paths, AesGcmTest, ::testing::Values(kWide, kNarrow, kPortable), [](const auto& info) {
    return info.param == kWide ? "Wide" : info.param == kNarrow ? "Narrow" : "Portable";
});

// NIST CAVP gcmEncryptExtIV and gcmDecrypt: every IV and tag length; FAIL rows must not verify.
TEST_P(AesGcmTest, CavpFiles) {
    const std::string dir = "/usr/lib/python3/dist-packages/cryptography_vectors/ciphers/AES/GCM/";
    if (!std::ifstream(dir + "gcmDecrypt128.rsp")) GTEST_SKIP() << "NIST vectors not installed";
    int encrypted = 0, passed = 0, failed = 0;
    for (const char* bits : {"128", "192", "256"}) {
        for (const Case& c : ReadRsp(dir + "gcmEncryptExtIV" + bits + ".rsp")) {
            const Bytes tag = FromHex(c.at("Tag"));
            const Sealed s = Encrypt(FromHex(c.at("Key")), FromHex(c.at("IV")), FromHex(c.at("AAD")),
                                     FromHex(c.at("PT")), (uint32_t)tag.size());
            ASSERT_EQ(s.Answer, 1);
            ASSERT_EQ(s.Text, FromHex(c.at("CT"))) << bits << " " << c.at("Count");
            ASSERT_EQ(s.Tag, tag) << bits << " " << c.at("Count");
            encrypted++;
        }
        for (const Case& c : ReadRsp(dir + "gcmDecrypt" + bits + ".rsp")) {
            Bytes plain;
            const int64_t ok = Decrypt(FromHex(c.at("Key")), FromHex(c.at("IV")), FromHex(c.at("AAD")),
                                       FromHex(c.at("CT")), FromHex(c.at("Tag")), &plain);
            if (c.count("FAIL")) {
                ASSERT_EQ(ok, 0) << bits << " " << c.at("Count");
                failed++;
            } else {
                ASSERT_EQ(ok, 1) << bits << " " << c.at("Count");
                ASSERT_EQ(plain, FromHex(c.at("PT")));
                passed++;
            }
        }
    }
    EXPECT_GT(encrypted, 10000);
    EXPECT_GT(passed, 1000);
    EXPECT_GT(failed, 1000);
}

// Wycheproof: every valid case seals and opens; every invalid one is refused.
TEST_P(AesGcmTest, Wycheproof) {
    const std::vector<WycheproofCase> cases = Wycheproof_ReadCases("aes_gcm_test.json");
    if (cases.empty()) GTEST_SKIP() << "no " << WycheproofDir() << "aes_gcm_test.json";
    EXPECT_EQ(cases.size(), 316u);
    int valid = 0, invalid = 0;
    for (const WycheproofCase& c : cases) {
        const Bytes key = FromHex(c["key"]), iv = FromHex(c["iv"]), aad = FromHex(c["aad"]);
        const Bytes msg = FromHex(c["msg"]), ct = FromHex(c["ct"]), tag = FromHex(c["tag"]);
        Bytes plain;
        const int64_t opened = tag.empty() ? 0 : Decrypt(key, iv, aad, ct, tag, &plain);
        const std::string& result = c["result"];
        if (result == "valid") {
            EXPECT_EQ(opened, 1) << c.Id;
            EXPECT_EQ(plain, msg) << c.Id;
            const Sealed s = Encrypt(key, iv, aad, msg, (uint32_t)tag.size());
            EXPECT_EQ(s.Text, ct) << c.Id;
            EXPECT_EQ(s.Tag, tag) << c.Id;
            valid++;
        } else if (result == "invalid") {
            EXPECT_EQ(opened, 0) << c.Id;
            invalid++;
        }
    }
    EXPECT_GT(valid, 200);
    EXPECT_GT(invalid, 20);
}

// With no additional data and no text, the tag is E(K, Y0) itself.
TEST_P(AesGcmTest, EmptyMessageTagIsEncryptedCounter) {
    const Bytes key(16, 0x42), nonce(12, 0x24);
    const Sealed s = Encrypt(key, nonce, {}, {}, 16);
    Bytes y0 = nonce;
    y0.insert(y0.end(), {0, 0, 0, 1});
    AES* aes = nullptr;
    AES_Create(&aes);
    AES_SetEncryptKey(aes, key.data(), 16);
    AES_Encrypt(aes, y0.data(), y0.data(), 16);
    AES_Delete(&aes);
    EXPECT_EQ(s.Tag, y0);
}

TEST_P(AesGcmTest, RefusedInputs) {
    const Bytes key(32, 1);
    AESGCM* gcm = nullptr;
    AESGCM_Create(&gcm);
    uint8_t buffer[17] = {};
    EXPECT_EQ(AESGCM_SetKey(gcm, key.data(), 20), 0);
    EXPECT_EQ(AESGCM_EncryptCBC(gcm, buffer, 12, buffer, buffer, 16), 0); // no key yet
    EXPECT_EQ(AESGCM_SetKey(gcm, key.data(), 32), 1);
    // No nonce yet: the counter and the tag mask would be whatever the instance held.
    EXPECT_EQ(AESGCM_Encrypt(gcm, buffer, buffer, 16), 0);
    EXPECT_EQ(AESGCM_Decrypt(gcm, buffer, buffer, 16), 0);
    EXPECT_EQ(AESGCM_GetAuthTag(gcm, buffer, 16), 0);
    EXPECT_EQ(AESGCM_VerifyAuthTag(gcm, buffer, 16), 0);
    EXPECT_EQ(buffer[0], 0);
    // An empty nonce would make Y0 a function of H alone and so give H away.
    EXPECT_EQ(AESGCM_EncryptCBC(gcm, buffer, 0, buffer, buffer, 16), 0);
    EXPECT_EQ(AESGCM_EncryptCBC(gcm, buffer, 12, buffer, buffer, 16), 1);
    EXPECT_EQ(AESGCM_Encrypt(gcm, buffer, buffer, 16), 1);
    EXPECT_EQ(AESGCM_GetAuthTag(gcm, buffer, 0), 0);
    EXPECT_EQ(AESGCM_GetAuthTag(gcm, buffer, 17), 0);
    for (uint32_t length : {0u, 1u, 4u, 8u, 11u, 17u}) EXPECT_EQ(AESGCM_VerifyAuthTag(gcm, buffer, length), 0) << length;
    // A new key needs a new nonce.
    EXPECT_EQ(AESGCM_SetKey(gcm, key.data(), 32), 1);
    EXPECT_EQ(AESGCM_Encrypt(gcm, buffer, buffer, 16), 0);
    AESGCM_Delete(&gcm);
}

// A tag that differs in any one byte, at any tag length it verifies, does not verify; a right
// tag shorter than 12 bytes is refused.
TEST_P(AesGcmTest, ChangedTagFails) {
    const Bytes key(16, 9), nonce(12, 3), aad = {1, 2, 3}, plain(40, 0x77);
    for (uint32_t length = 1; length <= 16; length++) {
        const Sealed s = Encrypt(key, nonce, aad, plain, length);
        Gcm gcm(key);
        Bytes out(plain.size());
        AESGCM_SetAAD(gcm.G, aad.data(), (uint32_t)aad.size());
        AESGCM_DecryptCBC(gcm.G, Bytes(nonce).data(), 12, s.Text.data(), out.data(), (uint32_t)out.size());
        EXPECT_EQ(AESGCM_VerifyAuthTag(gcm.G, s.Tag.data(), length), length >= 12 ? 1 : 0) << length;
        if (length < 12) continue;
        for (uint32_t k = 0; k < length; k++) {
            Bytes bad = s.Tag;
            bad[k] ^= 0x80;
            EXPECT_EQ(Decrypt(key, nonce, aad, s.Text, bad, &out), 0) << length << " " << k;
        }
    }
}

// The 32-bit counter may not come round to Y0: the last allowed block still goes, one more is
// refused without touching the output or the state, whether whole or a short piece.
TEST_P(AesGcmTest, CounterCannotWrapOntoTheTagMask) {
    const Bytes key(16, 5);
    Bytes nonce(12, 6);
    const struct {
        uint64_t Used;
        uint32_t Length;
        int64_t Result;
    } rows[] = {
        {AESGCM_MAX_BLOCKS - 1, 16, 1}, {AESGCM_MAX_BLOCKS - 1, 1, 1},  {AESGCM_MAX_BLOCKS - 1, 17, 0},
        {AESGCM_MAX_BLOCKS, 1, 0},      {AESGCM_MAX_BLOCKS - 8, 128, 1}, {AESGCM_MAX_BLOCKS - 8, 129, 0},
        {AESGCM_MAX_BLOCKS, 0, 1},
    };
    for (const auto& row : rows) {
        Gcm gcm(key);
        ASSERT_EQ(AESGCM_Start(gcm.G, nonce.data(), 12), 1);
        gcm.G->Blocks = row.Used;
        Bytes data(row.Length, 0xAB);
        const Bytes before = data;
        EXPECT_EQ(AESGCM_Encrypt(gcm.G, data.data(), data.data(), row.Length), row.Result) << row.Used << " " << row.Length;
        if (!row.Result) {
            EXPECT_EQ(data, before);
            EXPECT_EQ(gcm.G->Blocks, row.Used);
            EXPECT_EQ(gcm.G->TextLength, 0u);
        }
        // A new nonce starts the count again.
        ASSERT_EQ(AESGCM_Start(gcm.G, nonce.data(), 12), 1);
        EXPECT_EQ(AESGCM_Encrypt(gcm.G, data.data(), data.data(), row.Length), 1);
    }
}

// All paths agree on random keys, nonces, lengths, pieces and alignments, in place too.
TEST(AesGcmPaths, HardwareMatchesPortable) {
    if (!aes_internal::HardwareAvailable()) GTEST_SKIP() << "no AES-NI";
    std::mt19937 random(11);
    auto randomBytes = [&](size_t n) {
        Bytes b(n);
        for (auto& x : b) x = (uint8_t)random();
        return b;
    };
    for (int round = 0; round < 300; round++) {
        const Bytes key = randomBytes(16 + 8 * (round % 3));
        const Bytes nonce = randomBytes(round % 5 == 0 ? 1 + random() % 40 : 12);
        const Bytes aad = randomBytes(random() % 70);
        const size_t length = random() % (round % 10 == 0 ? 5000 : 600);
        const size_t offset = random() % 16;
        Bytes data = randomBytes(length + offset);
        std::vector<uint32_t> pieces;
        for (size_t left = length; left;) {
            const size_t n = std::min<size_t>(left, random() % 3 == 0 ? 1 + random() % 40 : 16 * (random() % 20));
            if (n) pieces.push_back((uint32_t)n), left -= n;
        }
        Bytes results[3];
        for (int path = kWide; path <= kPortable; path++) {
            if (!UsePath(path)) continue;
            for (int decrypting = 0; decrypting < 2; decrypting++) {
                Gcm gcm(key);
                Bytes n = nonce, text(data.begin(), data.end());
                uint8_t* p = text.data() + offset;
                AESGCM_SetAAD(gcm.G, aad.data(), (uint32_t)aad.size());
                AESGCM_Start(gcm.G, n.data(), (uint32_t)n.size());
                for (uint32_t piece : pieces) {
                    EXPECT_EQ(decrypting ? AESGCM_Decrypt(gcm.G, p, p, piece) : AESGCM_Encrypt(gcm.G, p, p, piece), 1);
                    p += piece;
                }
                Bytes tag(16);
                AESGCM_GetAuthTag(gcm.G, tag.data(), 16);
                results[path].insert(results[path].end(), text.begin(), text.end());
                results[path].insert(results[path].end(), tag.begin(), tag.end());
            }
        }
        if (!results[kWide].empty()) {
            ASSERT_EQ(results[kWide], results[kPortable]) << round;
        }
        ASSERT_EQ(results[kNarrow], results[kPortable]) << round;
    }
    aes_internal::ForcePortable(false);
    gcm_internal::ForceNarrow(false);
}

} // namespace
