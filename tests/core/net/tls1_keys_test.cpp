// The TLS key schedule against an independent computation (python3 hmac/hashlib) and the
// published TLS 1.2 PRF vector: PRF of each version, master secret and key log, key block sizes
// and contents, Finished digests.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "core/crypto/md5.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "tests/core/net/tls1_test_support.h"
#include "tests/support/temp_dir.h"

namespace {

const Bytes kClientRandom = Pattern(32, 0x10);
const Bytes kServerRandom = Pattern(32, 0x90);
const Bytes kMaster = Pattern(48, 0x33);

std::string PrfRequest(uint32_t version, const char* hash, const Bytes& secret, const Bytes& labelSeed, uint32_t n) {
    return "{\"op\":\"prf\",\"version\":" + std::to_string(version) + ",\"hash\":\"" + hash + "\",\"secret\":\"" +
           ToHex(secret) + "\",\"labelseed\":\"" + ToHex(labelSeed) + "\",\"n\":" + std::to_string(n) + "}";
}

Bytes Text(const std::string& text, const Bytes& tail = {}) {
    Bytes out(text.begin(), text.end());
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

struct Tls1Keys : Tls1Test {
    void UseVersion(uint32_t version, const HashInterface* prfHash) {
        tls->ActiveVersion = version;
        Hash_SetInterface(tls->HandshakeContext->HandshakeHash, prfHash);
    }
};

TEST_F(Tls1Keys, PrfOfEachVersionMatchesTheOracle) {
    struct Case {
        uint32_t Version;
        const char* Hash;
        const HashInterface* Record;
        size_t SecretLength;
        uint32_t Length;
    };
    // The odd secret of TLS 1.0/1.1 shares its middle byte between the two halves.
    const Case cases[] = {
        {0x33, "sha256", &SHA256_INTERFACE, 48, 100}, {0x33, "sha384", &SHA384_INTERFACE, 48, 104},
        {0x31, "md5", nullptr, 48, 104},              {0x32, "md5", nullptr, 47, 36},
        {0x31, "md5", nullptr, 1, 12},
    };
    const Bytes labelSeed = Text("key expansion", Pattern(64, 5));
    std::vector<std::string> requests;
    for (const Case& c : cases)
        requests.push_back(PrfRequest(c.Version, c.Hash, Pattern(c.SecretLength, 0x44), labelSeed, c.Length));
    const auto answers = Tls1Oracle(requests);
    for (size_t i = 0; i < std::size(cases); i++) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        ASSERT_FALSE(answers[i].empty());
        UseVersion(c.Version, c.Record);
        const Bytes secret = Pattern(c.SecretLength, 0x44);
        Bytes out(c.Length);
        ASSERT_EQ(TLS1_PRF(tls, secret.data(), (uint32_t)secret.size(), labelSeed.data(), (uint32_t)labelSeed.size(),
                           out.data(), c.Length),
                  1);
        EXPECT_EQ(ToHex(out), answers[i]);
    }
}

TEST_F(Tls1Keys, PrfHashKnownAnswerAndLimits) {
    // The TLS 1.2 PRF (SHA-256) test vector published with the IETF TLS working group's tests.
    const Bytes secret = FromHex("9bbe436ba940f017b17652849a71db35");
    const Bytes labelSeed = Text("test label", FromHex("a0ba9f936cda311827a6f796ffd5198c"));
    Bytes out(100);
    ASSERT_EQ(TLS1_PRFHash(&SHA256_INTERFACE, secret.data(), 16, labelSeed.data(), (uint32_t)labelSeed.size(),
                           out.data(), 100),
              1);
    EXPECT_EQ(ToHex(out).substr(0, 32), "e3f229ba727be17b8d122620557cd453");
    EXPECT_EQ(ToHex(out).substr(194), "347b66");
    // SHA-512 is never a PRF hash; TLS 1.0 halves give at most 256 bytes.
    EXPECT_EQ(TLS1_PRFHash(&SHA512_INTERFACE, secret.data(), 16, labelSeed.data(), 10, out.data(), 10), 0);
    UseVersion(0x31, nullptr);
    Bytes big(257);
    EXPECT_EQ(TLS1_PRF(tls, secret.data(), 16, labelSeed.data(), 10, big.data(), 257), 0);
}

TEST_F(Tls1Keys, KeyBlockSizesAndContents) {
    struct Case {
        const char* Suite;
        uint32_t Version;
        uint32_t Length;
    };
    const Case cases[] = {
        {"ecdhe-rsa-aes128-gcm-sha256", 0x33, 40}, {"rsa-aes128-sha", 0x32, 72},
        {"rsa-aes128-sha", 0x31, 104},             {"rc4-sha", 0x31, 72},
        {"ecdhe-rsa-aes256-gcm-sha384", 0x33, 72}, {"ecdhe-rsa-aes256-sha384", 0x33, 160},
    };
    std::vector<std::string> requests;
    for (const Case& c : cases)
        requests.push_back(Tls1Request("keyblock", c.Suite, c.Version, kClientRandom, kServerRandom, kMaster) + "}");
    const auto answers = Tls1Oracle(requests);
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(cases[i].Suite);
        Bytes block(256);
        uint32_t length = 0;
        ASSERT_EQ(TLS1_InitForTest(tls, cases[i].Suite, cases[i].Version, kClientRandom.data(), kServerRandom.data(),
                                   kMaster.data(), i % 2, block.data(), (uint32_t)block.size(), &length),
                  1);
        EXPECT_EQ(length, cases[i].Length);
        block.resize(length);
        EXPECT_EQ(ToHex(block), answers[i]);
    }
}

TEST_F(Tls1Keys, MasterSecretIsLoggedAsOneAppendedLine) {
    TempDir dir;
    const std::string path = dir.file("keys.log");
    TLS1_SetKeyLogPath(path.c_str());
    const Bytes premaster = Pattern(48, 0x77);
    Bytes seed = Text("master secret", kClientRandom);
    seed.insert(seed.end(), kServerRandom.begin(), kServerRandom.end());
    const std::string expected = Tls1Oracle({PrfRequest(0x33, "sha256", premaster, seed, 48)})[0];
    ASSERT_FALSE(expected.empty());

    TLS1HandshakeContext* context = tls->HandshakeContext;
    memcpy(context->ClientRandom, kClientRandom.data(), 32);
    memcpy(context->ServerRandom, kServerRandom.data(), 32);
    UseVersion(0x33, &SHA256_INTERFACE);
    ASSERT_EQ(TLS1_MasterSecret(tls, premaster.data(), 48), 1);
    EXPECT_EQ(ToHex(context->MasterSecret, 48), expected);
    const std::string line = "CLIENT_RANDOM " + ToHex(kClientRandom) + " " + expected + "\n";
    ASSERT_EQ(line.size(), 176u);
    EXPECT_EQ(ReadFile(path), line);
    ASSERT_EQ(TLS1_MasterSecret(tls, premaster.data(), 48), 1);
    EXPECT_EQ(ReadFile(path), line + line);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A link at the path is not followed; a folder that does not exist is no failure.
    const std::string target = dir.file("target");
    { std::ofstream(target) << "keep"; }
    const std::string link = dir.file("link.log");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    TLS1_SetKeyLogPath(link.c_str());
    EXPECT_EQ(TLS1_MasterSecret(tls, premaster.data(), 48), 1);
    EXPECT_EQ(ReadFile(target), "keep");
    TLS1_SetKeyLogPath(dir.file("missing/keys.log").c_str());
    EXPECT_EQ(TLS1_MasterSecret(tls, premaster.data(), 48), 1);
    TLS1_SetKeyLogPath("");
}

TEST_F(Tls1Keys, FinishedDigestOfEachVersion) {
    const Bytes message = Pattern(300, 0x21);
    memcpy(tls->HandshakeContext->MasterSecret, kMaster.data(), 48);
    Bytes md5(16), sha1(20), sha256(32);
    Hash_QuickDigest(&MD5_INTERFACE, message.data(), 300, md5.data(), 16);
    Hash_QuickDigest(&SHA1_INTERFACE, message.data(), 300, sha1.data(), 20);
    Hash_QuickDigest(&SHA256_INTERFACE, message.data(), 300, sha256.data(), 32);
    Bytes legacy = md5;
    legacy.insert(legacy.end(), sha1.begin(), sha1.end());
    const auto answers = Tls1Oracle({PrfRequest(0x31, "md5", kMaster, Text("client finished", legacy), 12),
                                     PrfRequest(0x33, "sha256", kMaster, Text("server finished", sha256), 12)});

    // TLS 1.0: MD5 then SHA-1 of the messages; the running digests go on running.
    UseVersion(0x31, nullptr);
    TLS1_CollectForFinished(tls, message.data(), 300, TLS1_HS_CERTIFICATE);
    Bytes out(64);
    uint32_t length = 0;
    ASSERT_EQ(TLS1_DigestFinished(tls, nullptr, nullptr, out.data(), 64, &length), 1);
    EXPECT_EQ(ToHex(out.data(), length), ToHex(legacy));
    ASSERT_EQ(TLS1_DigestFinished(tls, nullptr, "client finished", out.data(), 12, &length), 1);
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(ToHex(out.data(), 12), answers[0]);

    // TLS 1.2: the handshake hash; without a label the digest is cut to the capacity.
    TLS1_HandshakeReset(tls);
    UseVersion(0x33, &SHA256_INTERFACE);
    TLS1_CollectForFinished(tls, message.data(), 300, TLS1_HS_CERTIFICATE);
    ASSERT_EQ(TLS1_DigestFinished(tls, nullptr, nullptr, out.data(), 20, &length), 1);
    EXPECT_EQ(ToHex(out.data(), length), ToHex(sha256).substr(0, 40));
    memcpy(tls->HandshakeContext->MasterSecret, kMaster.data(), 48);
    ASSERT_EQ(TLS1_DigestFinished(tls, nullptr, "server finished", out.data(), 12, &length), 1);
    EXPECT_EQ(ToHex(out.data(), 12), answers[1]);
}

} // namespace
