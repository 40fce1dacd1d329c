#include "core/crypto/ecdhe.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "core/crypto/ecdsa.h"
#include "tests/support/hex.h"
#include "tests/support/oracle_process.h"
#include "tests/support/wycheproof.h"

namespace {

struct Exchange {
    ECDHE* E = nullptr;
    Bytes Public, Secret;
    explicit Exchange(const std::string& oid) {
        ECDHE_Create(&E);
        EXPECT_EQ(ECDHE_InitParams(E, oid.c_str()), 1) << oid;
    }
    ~Exchange() { ECDHE_Delete(&E); }
    int64_t SetPeer(const Bytes& point) {
        return ECDHE_SetPublicKey(E, point.data(), (uint32_t)point.size());
    }
    // With a private scalar given (hex), the random source's test value pins it.
    int64_t Run(const std::string& privateHex = "") {
        BigInt* d = nullptr;
        if (!privateHex.empty()) {
            BigInt_Create(&d);
            BigInt_ImportHex(d, privateHex.c_str());
            BigInt_SetRandomNumberForTest(d);
        }
        uint8_t pub[140], secret[70];
        uint32_t pubLength = 0, secretLength = 0;
        const int64_t ok =
            ECDHE_CalculateSecret(E, pub, sizeof(pub), &pubLength, secret, sizeof(secret), &secretLength);
        if (d) {
            BigInt_SetRandomNumberForTest(nullptr);
            BigInt_Delete(&d);
        }
        Public.assign(pub, pub + pubLength);
        Secret.assign(secret, secret + secretLength);
        return ok;
    }
};

const char* const kOids[] = {"1.3.132.0.31", "1.2.840.10045.3.1.1", "1.3.132.0.32", "1.3.132.0.33",
                             "1.3.132.0.10", "1.2.840.10045.3.1.7", "1.3.132.0.34", "1.3.132.0.35"};

// Sizes follow the order's byte length (secp224k1: 29 against a 28-byte field), and each own
// point imports again on the same curve; two runs give two key pairs, both ends one secret.
TEST(ECDHE, SizesAndAgreement) {
    const size_t sizes[][2] = {{49, 24}, {49, 24}, {59, 29}, {57, 28},
                               {65, 32}, {65, 32}, {97, 48}, {133, 66}};
    for (size_t i = 0; i < std::size(kOids); i++) {
        Exchange alice(kOids[i]), bob(kOids[i]);
        // The first peer: the base point, sent uncompressed in field-length coordinates.
        EC* curve = nullptr;
        ECDHE_GetECHandle(alice.E, &curve);
        const uint32_t field = (uint32_t)BigInt_ByteCount(EC_GetP(curve));
        Bytes g(1 + 2 * field, 4);
        BigInt_ExportBinaryFixedSize(EC_GetG(curve)->X, g.data() + 1, field);
        BigInt_ExportBinaryFixedSize(EC_GetG(curve)->Y, g.data() + 1 + field, field);
        ASSERT_EQ(alice.SetPeer(g), 1) << kOids[i];
        ASSERT_EQ(alice.Run(), 1) << kOids[i];
        EXPECT_EQ(alice.Public.size(), sizes[i][0]) << kOids[i];
        EXPECT_EQ(alice.Secret.size(), sizes[i][1]) << kOids[i];
        EXPECT_EQ(alice.Public[0], 4);
        // With G as the peer, the secret is the own point's x.
        EXPECT_EQ(ToHex(alice.Secret),
                  ToHex(Bytes(alice.Public.begin() + 1, alice.Public.begin() + 1 + sizes[i][1])));
        const Bytes first = alice.Public;
        ASSERT_EQ(alice.Run(), 1);
        EXPECT_NE(ToHex(first), ToHex(alice.Public)) << kOids[i];
        // Pinned scalars: Bob's point goes to Alice and hers back; both reach one secret.
        ASSERT_EQ(bob.Run("2B"), 0); // no peer yet
        ASSERT_EQ(bob.SetPeer(g), 1);
        ASSERT_EQ(bob.Run("2B"), 1);
        ASSERT_EQ(alice.SetPeer(bob.Public), 1) << kOids[i];
        ASSERT_EQ(alice.Run("1D"), 1);
        ASSERT_EQ(bob.SetPeer(alice.Public), 1) << kOids[i];
        const Bytes bobPublic = bob.Public;
        ASSERT_EQ(bob.Run("2B"), 1);
        EXPECT_EQ(ToHex(bob.Public), ToHex(bobPublic));
        EXPECT_EQ(ToHex(bob.Secret), ToHex(alice.Secret)) << kOids[i];
    }
}

TEST(ECDHE, Refusals) {
    Exchange p256("1.2.840.10045.3.1.7"), p224("1.3.132.0.33");
    EXPECT_EQ(p256.Run(), 0); // no peer yet
    EXPECT_TRUE(p256.Public.empty());
    Bytes off(65, 0);
    off[0] = 4, off[64] = 1;
    EXPECT_EQ(p256.SetPeer(off), 0);
    EXPECT_EQ(p256.SetPeer(Bytes{0}), 0);
    Bytes compressed(29, 0x11);
    compressed[0] = 2;
    EXPECT_EQ(p224.SetPeer(compressed), 0);
    EXPECT_EQ(ECDHE_InitParams(p256.E, "1.2.3.4"), 0);
    // A pinned scalar of 0 or n is not drawn as a key.
    Exchange good("1.2.840.10045.3.1.7");
    ASSERT_EQ(good.SetPeer(Bytes{0x03, 0x6B, 0x17, 0xD1, 0xF2, 0xE1, 0x2C, 0x42, 0x47, 0xF8, 0xBC,
                                 0xE6, 0xE5, 0x63, 0xA4, 0x40, 0xF2, 0x77, 0x03, 0x7D, 0x81, 0x2D,
                                 0xEB, 0x33, 0xA0, 0xF4, 0xA1, 0x39, 0x45, 0xD8, 0x98, 0xC2, 0x96}),
              1);
    EXPECT_EQ(good.Run("0"), 0);
    EXPECT_EQ(good.Run("FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551"), 0);
    EXPECT_EQ(good.Run("1"), 1);
}

// Wycheproof: valid exchanges give the listed secret (leading zero bytes kept), invalid peer
// points are refused.
TEST(ECDHE, Wycheproof) {
    const struct {
        const char* File;
        const char* Oid;
    } files[] = {{"ecdh_secp224r1_ecpoint_test.json", "1.3.132.0.33"},
                 {"ecdh_secp256r1_ecpoint_test.json", "1.2.840.10045.3.1.7"},
                 {"ecdh_secp384r1_ecpoint_test.json", "1.3.132.0.34"},
                 {"ecdh_secp521r1_ecpoint_test.json", "1.3.132.0.35"},
                 {"ecdh_secp256k1_test.json", "1.3.132.0.10"}};
    int valid = 0, invalid = 0;
    for (const auto& file : files) {
        const std::vector<WycheproofCase> cases = Wycheproof_ReadCases(file.File);
        if (cases.empty()) GTEST_SKIP() << "no " << file.File;
        const bool asn = std::string(file.File).find("ecpoint") == std::string::npos;
        for (const WycheproofCase& c : cases) {
            Bytes point = FromHex(c["public"]);
            bool parsed = true;
            if (asn) {
                // A SubjectPublicKeyInfo: only one naming this curve counts.
                ECDSA* key = nullptr;
                ECDSA_Create(&key);
                parsed = ECDSA_SetPublicKeyFromASN1(key, point.data(), (uint32_t)point.size()) == 1 &&
                         std::string(EC_GetCurveName(key->Curve)) == file.Oid;
                if (parsed) {
                    point.assign(65, 4);
                    BigInt_ExportBinaryFixedSize(key->Q.X, point.data() + 1, 32);
                    BigInt_ExportBinaryFixedSize(key->Q.Y, point.data() + 33, 32);
                }
                ECDSA_Delete(&key);
            }
            Exchange x(file.Oid);
            const int64_t ok = parsed && x.SetPeer(point) && x.Run(c["private"]);
            if (c["result"] == "valid") {
                EXPECT_EQ(ok, 1) << file.File << " " << c.Id;
                EXPECT_EQ(ToHex(x.Secret), c["shared"]) << file.File << " " << c.Id;
                valid++;
            } else if (c["result"] == "invalid") {
                EXPECT_EQ(ok, 0) << file.File << " " << c.Id;
                invalid++;
            }
        }
    }
    EXPECT_GT(valid, 1500);
    EXPECT_GT(invalid, 100);
}

constexpr const char* kPythonExchange = R"PY(
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives import serialization
for name in ["secp192r1", "secp224r1", "secp256k1", "secp256r1", "secp384r1", "secp521r1"]:
    curve = getattr(ec, name.upper())()
    own, peer = ec.generate_private_key(curve), ec.generate_private_key(curve)
    point = lambda k: k.public_key().public_bytes(serialization.Encoding.X962,
                                                  serialization.PublicFormat.UncompressedPoint).hex()
    print(name, "%x" % own.private_numbers().private_value, point(own), point(peer), own.exchange(ec.ECDH(), peer.public_key()).hex())
)PY";

// python3-cryptography: for the same scalar and peer, the same public point and secret.
TEST(ECDHE, AgreesWithPythonCryptography) {
    if (system("/usr/bin/python3 -c 'import cryptography' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3-cryptography not available";
    const auto out = RunOracle(std::string("/usr/bin/python3 -c '") + kPythonExchange + "'", "");
    ASSERT_TRUE(out.has_value());
    const std::map<std::string, std::string> oids = {
        {"secp192r1", "1.2.840.10045.3.1.1"}, {"secp224r1", "1.3.132.0.33"}, {"secp256k1", "1.3.132.0.10"},
        {"secp256r1", "1.2.840.10045.3.1.7"}, {"secp384r1", "1.3.132.0.34"}, {"secp521r1", "1.3.132.0.35"}};
    std::istringstream lines(*out);
    std::string name, scalar, own, peer, shared;
    int curves = 0;
    while (lines >> name >> scalar >> own >> peer >> shared) {
        Exchange x(oids.at(name));
        ASSERT_EQ(x.SetPeer(FromHex(peer)), 1) << name;
        ASSERT_EQ(x.Run(scalar), 1) << name;
        EXPECT_EQ(ToHex(x.Public), own) << name;
        EXPECT_EQ(ToHex(x.Secret), shared) << name;
        curves++;
    }
    EXPECT_EQ(curves, 6);
}

// OpenSSL for the two curves python lacks: derive with its keys, compare the secret.
TEST(ECDHE, AgreesWithOpenSsl) {
    if (system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl not available";
    char dir[] = "/tmp/ecdhe_oracle_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string script = std::string("set -e; cd ") + dir + "\n";
    for (const char* curve : {"secp192k1", "secp224k1"})
        script += std::string("for k in a b; do openssl ecparam -name ") + curve +
                  " -genkey -noout -out $k.pem; done\n"
                  "openssl ec -in b.pem -pubout -out b.pub 2>/dev/null\n"
                  "echo $(openssl ec -in a.pem -text -noout 2>/dev/null | tr -d ' :\\n' | sed "
                  "'s/.*priv\\(.*\\)pub.*/\\1/') "
                  "$(openssl ec -in b.pem -pubout -outform DER 2>/dev/null | od -An -tx1 -v | tr -d ' \\n') "
                  "$(openssl pkeyutl -derive -inkey a.pem -peerkey b.pub | od -An -tx1 -v | tr -d ' \\n')\n";
    script += std::string("rm -rf ") + dir + "\n";
    const auto out = RunOracle(script, "");
    ASSERT_TRUE(out.has_value());
    std::istringstream lines(*out);
    for (const char* oid : {"1.3.132.0.31", "1.3.132.0.32"}) {
        std::string scalar, peerInfo, shared;
        ASSERT_TRUE(lines >> scalar >> peerInfo >> shared) << *out;
        ECDSA* key = nullptr;
        ECDSA_Create(&key);
        const Bytes info = FromHex(peerInfo);
        ASSERT_EQ(ECDSA_SetPublicKeyFromASN1(key, info.data(), (uint32_t)info.size()), 1) << oid;
        Exchange x(oid);
        const uint32_t field = (uint32_t)BigInt_ByteCount(EC_GetP(key->Curve));
        Bytes point(1 + 2 * field, 4);
        BigInt_ExportBinaryFixedSize(key->Q.X, point.data() + 1, field);
        BigInt_ExportBinaryFixedSize(key->Q.Y, point.data() + 1 + field, field);
        ECDSA_Delete(&key);
        ASSERT_EQ(x.SetPeer(point), 1) << oid;
        ASSERT_EQ(x.Run(scalar), 1) << oid;
        // OpenSSL writes the field's length; ours is the order's (one more byte on secp224k1).
        const Bytes ours = x.Secret;
        EXPECT_EQ(ToHex(Bytes(ours.end() - (long)shared.size() / 2, ours.end())), shared) << oid;
        for (size_t i = 0; i + shared.size() / 2 < ours.size(); i++) EXPECT_EQ(ours[i], 0);
    }
}

} // namespace
