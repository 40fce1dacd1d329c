#include "core/crypto/ecdsa.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/crypto/hash.h"
#include "tests/support/abort_hook.h"
#include "tests/support/ec_vectors.h"
#include "tests/support/hex.h"
#include "tests/support/oracle_process.h"
#include "tests/support/wycheproof.h"

namespace {

using namespace ec_vectors;

const std::map<std::string, std::string> kNistOids = {{"P-192", "1.2.840.10045.3.1.1"},
                                                      {"P-224", "1.3.132.0.33"},
                                                      {"P-256", "1.2.840.10045.3.1.7"},
                                                      {"P-384", "1.3.132.0.34"},
                                                      {"P-521", "1.3.132.0.35"}};

Bytes Digest(const std::string& name, const Bytes& message) {
    std::string plain;
    for (char c : name)
        if (c != '-') plain += c;
    const HashInterface* record = nullptr;
    EXPECT_EQ(Hash_InterfaceFromName(plain.c_str(), &record), 1) << name;
    Bytes out(record->DigestSize);
    Hash_QuickDigest(record, message.data(), (int32_t)message.size(), out.data(), (int32_t)out.size());
    return out;
}

struct Num {
    BigInt* V = nullptr;
    Num() { BigInt_Create(&V); }
    explicit Num(const std::string& hex) : Num() { BigInt_ImportHex(V, hex.c_str()); }
    ~Num() { BigInt_Delete(&V); }
    operator BigInt*() const { return V; }
};

struct Key {
    ECDSA* E = nullptr;
    explicit Key(const std::string& oid) {
        ECDSA_Create(&E);
        EXPECT_EQ(ECDSA_InitParams(E, oid.c_str()), 1) << oid;
    }
    ~Key() { ECDSA_Delete(&E); }
    void SetScalar(const std::string& hex) { BigInt_ImportHex(E->D, hex.c_str()); }
    bool SetPublic(const std::string& x, const std::string& y) {
        Num bx(x), by(y);
        return ECDSA_SetPublicKeyPair(E, bx, by) == 1;
    }
    Bytes Sign(const Bytes& digest) {
        uint8_t out[160];
        uint32_t length = 0;
        if (!ECDSA_Sign(E, digest.data(), (uint32_t)digest.size(), out, sizeof(out), &length)) return {};
        return Bytes(out, out + length);
    }
    int64_t Verify(const Bytes& digest, const Bytes& sig) {
        return ECDSA_Verify(E, digest.data(), (uint32_t)digest.size(), sig.data(), (uint32_t)sig.size());
    }
};

// Signs with the nonce fixed through the random source's test value.
Bytes SignWithNonce(Key& key, const Bytes& digest, const std::string& k) {
    Num nonce(k);
    BigInt_SetRandomNumberForTest(nonce);
    Bytes sig = key.Sign(digest);
    BigInt_SetRandomNumberForTest(nullptr);
    return sig;
}

// The DER SEQUENCE { INTEGER r, INTEGER s } of two hexadecimal values, minimally encoded.
Bytes Der(const std::string& r, const std::string& s) {
    auto integer = [](const std::string& hex) {
        Bytes v = FromHex(hex.size() % 2 ? "0" + hex : hex);
        while (v.size() > 1 && v[0] == 0) v.erase(v.begin());
        if (v[0] & 0x80) v.insert(v.begin(), 0);
        Bytes out{0x02, (uint8_t)v.size()};
        out.insert(out.end(), v.begin(), v.end());
        return out;
    };
    Bytes body = integer(r), second = integer(s);
    body.insert(body.end(), second.begin(), second.end());
    Bytes out{0x30};
    if (body.size() > 127) out.push_back(0x81);
    out.push_back((uint8_t)body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::string Upper(std::string s) {
    for (char& c : s) c = (char)toupper((unsigned char)c);
    return s;
}

TEST(ECDSA, CavpSignatureVerification) {
    const auto cases = ReadCavp(std::string(kCavpDir) + "SigVer.rsp", "Result");
    if (cases.empty()) GTEST_SKIP() << "python3-cryptography-vectors is not installed";
    int checked = 0;
    for (const Case& c : cases) {
        const std::string section = c.at("section");
        const auto oid = kNistOids.find(section.substr(0, section.find(',')));
        if (oid == kNistOids.end()) continue;
        Key key(oid->second);
        ASSERT_TRUE(key.SetPublic(c.at("Qx"), c.at("Qy")));
        const Bytes digest = Digest(section.substr(section.find(',') + 1), FromHex(c.at("Msg")));
        EXPECT_EQ(key.Verify(digest, Der(c.at("R"), c.at("S"))), c.at("Result")[0] == 'P' ? 1 : 0)
            << section << " " << c.at("Msg").substr(0, 16);
        checked++;
    }
    EXPECT_EQ(checked, 375);
}

TEST(ECDSA, CavpSignatureGeneration) {
    const auto cases = ReadCavp(std::string(kCavpDir) + "SigGen.txt", "S");
    if (cases.empty()) GTEST_SKIP() << "python3-cryptography-vectors is not installed";
    int checked = 0;
    for (const Case& c : cases) {
        const std::string section = c.at("section");
        const auto oid = kNistOids.find(section.substr(0, section.find(',')));
        if (oid == kNistOids.end()) continue;
        Key key(oid->second);
        key.SetScalar(c.at("d"));
        const Bytes digest = Digest(section.substr(section.find(',') + 1), FromHex(c.at("Msg")));
        EXPECT_EQ(ToHex(SignWithNonce(key, digest, c.at("k"))), ToHex(Der(c.at("R"), c.at("S")))) << section;
        checked++;
    }
    EXPECT_EQ(checked, 375);
}

// Wycheproof: every valid signature verifies, every invalid one is refused (strict DER, r and
// s in range, the double multiplication's special cases).
TEST(ECDSA, Wycheproof) {
    const char* const files[] = {"ecdsa_secp224k1_sha224_test.json", "ecdsa_secp224k1_sha256_test.json",
                                 "ecdsa_secp224r1_sha224_test.json", "ecdsa_secp256k1_sha256_test.json",
                                 "ecdsa_secp256r1_sha256_test.json", "ecdsa_secp256r1_sha512_test.json",
                                 "ecdsa_secp384r1_sha384_test.json", "ecdsa_secp521r1_sha512_test.json"};
    int valid = 0, invalid = 0;
    for (const char* file : files) {
        const std::vector<WycheproofGroup> groups = Wycheproof_Read(file);
        if (groups.empty()) GTEST_SKIP() << "no " << file;
        for (const WycheproofGroup& group : groups) {
            const Bytes der = FromHex(group["publicKeyDer"]);
            for (const WycheproofCase& c : group.Cases) {
                ECDSA* e = nullptr;
                ECDSA_Create(&e);
                ASSERT_EQ(ECDSA_SetPublicKeyFromASN1(e, der.data(), (uint32_t)der.size()), 1) << file;
                const Bytes digest = Digest(group["sha"], FromHex(c["msg"]));
                const Bytes sig = FromHex(c["sig"]);
                const int64_t ok =
                    ECDSA_Verify(e, digest.data(), (uint32_t)digest.size(), sig.data(), (uint32_t)sig.size());
                ECDSA_Delete(&e);
                if (c["result"] == "valid") {
                    EXPECT_EQ(ok, 1) << file << " " << c.Id;
                    valid++;
                } else if (c["result"] == "invalid") {
                    EXPECT_EQ(ok, 0) << file << " " << c.Id;
                    invalid++;
                }
            }
        }
    }
    EXPECT_GT(valid, 1000);
    EXPECT_GT(invalid, 2000);
}

const char* const kOpenSslCurves[][2] = {{"secp192k1", "1.3.132.0.31"}, {"prime192v1", "1.2.840.10045.3.1.1"},
                                         {"secp224k1", "1.3.132.0.32"}, {"secp224r1", "1.3.132.0.33"},
                                         {"secp256k1", "1.3.132.0.10"}, {"prime256v1", "1.2.840.10045.3.1.7"},
                                         {"secp384r1", "1.3.132.0.34"}, {"secp521r1", "1.3.132.0.35"}};

std::string TempDir() {
    char path[] = "/tmp/ecdsa_oracle_XXXXXX";
    return mkdtemp(path) ? path : "";
}

void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary).write((const char*)data.data(), (std::streamsize)data.size());
}

// OpenSSL on all eight curves: its keys and signatures verify here, and our signatures with
// its keys verify there (a signature of another digest does not).
TEST(ECDSA, AgreesWithOpenSsl) {
    if (system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl not available";
    const std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    const Bytes digest = Digest("SHA-512", Bytes{'a', 'b', 'c'});
    WriteFile(dir + "/digest", digest);
    std::string script = "set -e; cd " + dir + "\n";
    for (const auto& curve : kOpenSslCurves)
        script += std::string("openssl ecparam -name ") + curve[0] + " -genkey -noout -outform DER -out " +
                  curve[0] + ".key\nopenssl pkeyutl -sign -inkey " + curve[0] +
                  ".key -keyform DER -in digest -out " + curve[0] + ".sig\necho " + curve[0] +
                  " $(od -An -tx1 -v " + curve[0] + ".key | tr -d ' \\n') $(od -An -tx1 -v " + curve[0] +
                  ".sig | tr -d ' \\n')\n";
    const auto out = RunOracle(script, "");
    ASSERT_TRUE(out.has_value());
    std::istringstream lines(*out);
    std::string verifyScript = "cd " + dir + "\n";
    for (const auto& curve : kOpenSslCurves) {
        std::string name, keyHex, sigHex;
        lines >> name >> keyHex >> sigHex;
        ASSERT_EQ(name, curve[0]);
        ECDSA* e = nullptr;
        ECDSA_Create(&e);
        const Bytes key = FromHex(keyHex), theirs = FromHex(sigHex);
        ASSERT_EQ(ECDSA_SetPrivateKeyFromASN1(e, key.data(), (uint32_t)key.size()), 1) << name;
        EXPECT_STREQ(EC_GetCurveName(e->Curve), curve[1]);
        EXPECT_EQ(
            ECDSA_Verify(e, digest.data(), (uint32_t)digest.size(), theirs.data(), (uint32_t)theirs.size()),
            1)
            << name;
        uint8_t ours[160];
        uint32_t length = 0;
        ASSERT_EQ(ECDSA_Sign(e, digest.data(), (uint32_t)digest.size(), ours, sizeof(ours), &length), 1);
        WriteFile(dir + "/" + name + ".ours", Bytes(ours, ours + length));
        ECDSA_Delete(&e);
        for (const char* sig : {".ours", ".sig"})
            verifyScript += "openssl pkeyutl -verify -inkey " + name +
                            ".key -keyform DER -in digest -sigfile " + name + sig +
                            " >/dev/null 2>&1 && echo yes || echo no\n";
    }
    // A signature checked against another digest must fail there too.
    WriteFile(dir + "/other", Digest("SHA-512", Bytes{'a', 'b', 'd'}));
    verifyScript +=
        "openssl pkeyutl -verify -inkey prime256v1.key -keyform DER -in other -sigfile prime256v1.ours "
        ">/dev/null 2>&1 && echo yes || echo no\nrm -rf " +
        dir + "\n";
    const auto verdicts = RunOracle(verifyScript, "");
    ASSERT_TRUE(verdicts.has_value());
    std::string expected;
    for (size_t i = 0; i < std::size(kOpenSslCurves); i++) expected += "yes\nyes\n";
    EXPECT_EQ(*verdicts, expected + "no\n");
}

constexpr const char* kPythonSign = R"PY(
import sys
from cryptography.hazmat.primitives.asymmetric import ec, utils
from cryptography.hazmat.primitives import hashes, serialization
digest = bytes.fromhex(sys.argv[1])
for name in ["secp192r1", "secp224r1", "secp256k1", "secp256r1", "secp384r1", "secp521r1"]:
    key = ec.generate_private_key(getattr(ec, name.upper())())
    sig = key.sign(digest, ec.ECDSA(utils.Prehashed(hashes.SHA256())))
    der = key.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.TraditionalOpenSSL,
                            serialization.NoEncryption())
    print(name, der.hex(), sig.hex())
)PY";

constexpr const char* kPythonVerify = R"PY(
import sys
from cryptography.hazmat.primitives.asymmetric import ec, utils
from cryptography.hazmat.primitives import hashes
from cryptography.exceptions import InvalidSignature
digest = bytes.fromhex(sys.argv[1])
for line in sys.stdin:
    name, point, sig = line.split()
    key = ec.EllipticCurvePublicKey.from_encoded_point(getattr(ec, name.upper())(), bytes.fromhex(point))
    try:
        key.verify(bytes.fromhex(sig), digest, ec.ECDSA(utils.Prehashed(hashes.SHA256())))
        print("yes")
    except InvalidSignature:
        print("no")
)PY";

std::string PythonCommand(const char* program, const std::string& argument) {
    std::string quoted = "'";
    for (char c : std::string(program)) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return "/usr/bin/python3 -c " + quoted + "' " + argument;
}

// python3-cryptography on the six curves it offers, both directions.
TEST(ECDSA, AgreesWithPythonCryptography) {
    if (system("/usr/bin/python3 -c 'import cryptography' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3-cryptography not available";
    const Bytes digest = Digest("SHA-256", Bytes{'x'});
    const auto out = RunOracle(PythonCommand(kPythonSign, ToHex(digest)), "");
    ASSERT_TRUE(out.has_value());
    std::istringstream lines(*out);
    std::string name, keyHex, sigHex, ours;
    int curves = 0;
    while (lines >> name >> keyHex >> sigHex) {
        ECDSA* e = nullptr;
        ECDSA_Create(&e);
        const Bytes key = FromHex(keyHex), theirs = FromHex(sigHex);
        ASSERT_EQ(ECDSA_SetPrivateKeyFromASN1(e, key.data(), (uint32_t)key.size()), 1) << name;
        EXPECT_EQ(
            ECDSA_Verify(e, digest.data(), (uint32_t)digest.size(), theirs.data(), (uint32_t)theirs.size()),
            1)
            << name;
        uint8_t sig[160], point[140];
        uint32_t length = 0;
        ASSERT_EQ(ECDSA_Sign(e, digest.data(), (uint32_t)digest.size(), sig, sizeof(sig), &length), 1);
        const uint32_t bytes = (uint32_t)BigInt_ByteCount(e->Curve->P);
        point[0] = 4;
        BigInt_ExportBinaryFixedSize(e->Q.X, point + 1, bytes);
        BigInt_ExportBinaryFixedSize(e->Q.Y, point + 1 + bytes, bytes);
        ours += name + " " + ToHex(point, 2 * bytes + 1) + " " + ToHex(sig, length) + "\n";
        ECDSA_Delete(&e);
        curves++;
    }
    EXPECT_EQ(curves, 6);
    const auto verdicts = RunOracle(PythonCommand(kPythonVerify, ToHex(digest)), ours);
    ASSERT_TRUE(verdicts.has_value());
    EXPECT_EQ(*verdicts, "yes\nyes\nyes\nyes\nyes\nyes\n");
}

const char* const kP256 = "1.2.840.10045.3.1.7";
// RFC 6979 A.2.5: the P-256 key and its public point.
const char* const kP256D = "C9AFA9D845BA75166B5C215767B1D6934E50C3DB36E89B127B8A622B120F6721";
const char* const kP256Qx = "60FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6";
const char* const kP256Qy = "7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299";

// Refusals the tree reader alone would let through, each a change of an RFC 6979 signature.
TEST(ECDSA, VerificationRefusesMalformedAndOutOfRange) {
    Key key(kP256);
    ASSERT_TRUE(key.SetPublic(kP256Qx, kP256Qy));
    key.SetScalar(kP256D);
    const Bytes digest = Digest("SHA-256", Bytes{'s', 'a', 'm', 'p', 'l', 'e'});
    // RFC 6979 A.2.5, SHA-256, message "sample".
    const std::string r = "EFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716";
    const std::string s = "F7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8";
    const Bytes good = Der(r, s);
    EXPECT_EQ(
        ToHex(SignWithNonce(key, digest, "A6E3C57DD01ABE90086538398355DD4C3B17AA873382B0F24D6129493D8AAD60")),
        ToHex(good));
    ASSERT_EQ(key.Verify(digest, good), 1);
    const std::string n = Upper(ToHex([&] {
        Bytes b(32);
        BigInt_ExportBinaryFixedSize(key.E->Curve->N, b.data(), 32);
        return b;
    }()));
    Num rn, nn(n), rv(r);
    BigInt_Add(rn, rv, nn);
    char rPlusN[80];
    BigInt_ExportHex(rn, rPlusN, sizeof(rPlusN));

    Bytes longForm = good, padded = Der(r, s), trailing = good, negative = Der(r, s), threeInts = Der(r, s);
    longForm.insert(longForm.begin() + 1, 0x81); // 30 81 44: a length that fits the short form
    padded[3] += 1, padded.insert(padded.begin() + 4, 0), padded[1] += 1; // 02 22 00 00 ...: needless zero
    trailing.push_back(0);
    negative.erase(negative.begin() + 4), negative[3] -= 1, negative[1] -= 1; // r's 00 dropped: negative
    Bytes third{0x02, 0x01, 0x01};
    threeInts.insert(threeInts.end(), third.begin(), third.end()), threeInts[1] += 3;
    const struct {
        const char* Name;
        Bytes Sig;
    } rows[] = {
        {"r + n", Der(rPlusN, s)},
        {"s = n", Der(r, n)},
        {"s = 0", Der(r, "0")},
        {"r = 0", Der("0", s)},
        {"non-minimal length", longForm},
        {"needless leading zero", padded},
        {"bytes after the sequence", trailing},
        {"negative r", negative},
        {"three integers", threeInts},
        {"truncated", Bytes(good.begin(), good.end() - 1)},
        {"empty", Bytes{}},
    };
    for (const auto& row : rows) EXPECT_EQ(key.Verify(digest, row.Sig), 0) << row.Name;
}

// Digests longer than the order are cut to its bit length: on secp224k1 (225-bit order) a
// SHA-256 digest keeps its first 225 bits, so changes below them do not matter.
TEST(ECDSA, DigestTruncation) {
    Key key("1.3.132.0.32");
    key.SetScalar("0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123");
    ECPoint q;
    ECPoint_Init(&q);
    ASSERT_EQ(EC_PointMultiply(key.E->Curve, &q, &key.E->Curve->G, key.E->D), 1);
    ASSERT_EQ(ECDSA_SetPublicKeyPair(key.E, q.X, q.Y), 1);
    ECPoint_Release(&q);
    const Bytes digest = Digest("SHA-256", Bytes{'t'});
    const Bytes sig = key.Sign(digest);
    ASSERT_FALSE(sig.empty());
    const struct {
        size_t Byte;
        uint8_t Flip;
        int64_t Verifies;
    } rows[] = {{28, 0x01, 1}, {28, 0x40, 1}, {31, 0xFF, 1}, {28, 0x80, 0}, {0, 0x01, 0}};
    for (const auto& row : rows) {
        Bytes changed = digest;
        changed[row.Byte] ^= row.Flip;
        EXPECT_EQ(key.Verify(changed, sig), row.Verifies) << row.Byte << " " << (int)row.Flip;
    }
    // A SHA-512 digest on P-521 (521-bit order) is used whole: its last bit counts.
    Key big("1.3.132.0.35");
    big.SetScalar("01");
    ASSERT_TRUE(big.SetPublic("C6858E06B70404E9CD9E3ECB662395B4429C648139053FB521F828AF606B4D3DBAA14B5E77EFE7"
                              "5928FE1DC127A2FFA8DE3348B3C1856A429BF97E7E31C2E5BD66",
                              "011839296A789A3BC0045C8A5FB42C7D1BD998F54449579B446817AFBD17273E662C97EE72995E"
                              "F42640C550B9013FAD0761353C7086A272C24088BE94769FD16650"));
    const Bytes long512 = Digest("SHA-512", Bytes{'t'});
    Bytes last = long512;
    last[63] ^= 1;
    const Bytes bigSig = big.Sign(long512);
    EXPECT_EQ(big.Verify(long512, bigSig), 1);
    EXPECT_EQ(big.Verify(last, bigSig), 0);
}

// Layout: P-256 uses the short header and 0x20 or 0x21-byte integers; P-521 the long header.
TEST(ECDSA, SignatureLayout) {
    const struct {
        const char* Oid;
        const char* D;
        uint8_t Header[2];
        size_t HeaderSize;
    } rows[] = {{kP256, kP256D, {0x30, 0}, 2}, {"1.3.132.0.35", "05", {0x30, 0x81}, 3}};
    for (const auto& row : rows) {
        Key key(row.Oid);
        key.SetScalar(row.D);
        for (int i = 0; i < 4; i++) {
            const Bytes sig = key.Sign(Digest("SHA-256", Bytes{(uint8_t)i}));
            ASSERT_GT(sig.size(), row.HeaderSize);
            EXPECT_EQ(sig[0], row.Header[0]);
            if (row.HeaderSize == 3) {
                EXPECT_EQ(sig[1], row.Header[1]);
            }
            EXPECT_EQ(sig[row.HeaderSize - 1], sig.size() - row.HeaderSize);
            // r is minimal: a leading 00 only before a set top bit, so at most 0x21 bytes on
            // P-256 (r may also be shorter when its top bytes are zero).
            const size_t rLength = sig[row.HeaderSize + 1];
            const uint8_t* r = &sig[row.HeaderSize + 2];
            if (rLength > 1 && r[0] == 0) {
                EXPECT_NE(r[1] & 0x80, 0);
            }
            if (row.HeaderSize == 2) {
                EXPECT_LE(rLength, 0x21u);
                if (rLength == 0x21) {
                    EXPECT_EQ(r[0], 0);
                }
            }
        }
    }
}

TEST(ECDSA, SigningRefusals) {
    Key key(kP256);
    const Bytes digest = Digest("SHA-256", Bytes{'q'});
    // A private scalar of 0 or n is no key.
    key.SetScalar("0");
    EXPECT_TRUE(key.Sign(digest).empty());
    BigInt_Copy(key.E->D, key.E->Curve->N);
    EXPECT_TRUE(key.Sign(digest).empty());
    // s would be 0 for this digest and nonce: the signer draws again and, with the nonce pinned,
    // gives up instead of writing an invalid signature; with fresh nonces it signs.
    key.SetScalar("1");
    Num k("5"), r, e;
    ECPoint kg;
    ECPoint_Init(&kg);
    EC_PointMultiply(key.E->Curve, &kg, &key.E->Curve->G, k);
    BigInt_Modulo(r, kg.X, key.E->Curve->N);
    BigInt_Subtract(e, key.E->Curve->N, r); // e + d r = n
    ECPoint_Release(&kg);
    Bytes zeroS(32);
    BigInt_ExportBinaryFixedSize(e, zeroS.data(), 32);
    EXPECT_TRUE(SignWithNonce(key, zeroS, "5").empty());
    EXPECT_FALSE(key.Sign(zeroS).empty());
    uint32_t length = 7;
    EXPECT_EQ(ECDSA_PublicKeyEncrypt(key.E, digest.data(), 32, nullptr, 0, &length), 0);
    EXPECT_EQ(length, 0u);
}

TEST(ECDSA, SmallBufferStops) {
    Key key(kP256);
    key.SetScalar("1");
    uint8_t out[71];
    uint32_t length = 0;
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            ECDSA_Sign(key.E, out, 32, out, 71, &length);
        },
        "ECDSA_Sign: buffer of 71 bytes, 72 needed");
}

TEST(ECDSA, KeyLoadingAndRecord) {
    // SEC 1 ECPrivateKey: version 1, d = 1, no optional fields.
    const Bytes minimal{0x30, 0x06, 0x02, 0x01, 0x01, 0x04, 0x01, 0x01};
    Bytes version2 = minimal;
    version2[4] = 2;
    const Bytes noScalar{0x30, 0x03, 0x02, 0x01, 0x01};
    void* instance = nullptr;
    ASSERT_EQ(ECDSA_INTERFACE.Create(&instance), 1);
    EXPECT_STREQ(ECDSA_INTERFACE.Name, "ECDSA");
    EXPECT_EQ(ECDSA_INTERFACE.InitParams(instance, kP256, 0), 1);
    EXPECT_EQ(ECDSA_INTERFACE.SetPrivateKey(instance, version2.data(), (uint32_t)version2.size()), 0);
    EXPECT_EQ(ECDSA_INTERFACE.SetPrivateKey(instance, noScalar.data(), (uint32_t)noScalar.size()), 0);
    EXPECT_EQ(ECDSA_INTERFACE.SetPrivateKey(instance, nullptr, 0), 0);
    EXPECT_EQ(ECDSA_INTERFACE.SetPrivateKey(instance, minimal.data(), (uint32_t)minimal.size()), 1);
    EXPECT_EQ(ECDSA_INTERFACE.HasPrivateKey(instance), 1);
    // d = 1: the public key is G. Loading it clears the flag, but the scalar still signs.
    ECDSA* e = static_cast<ECDSA*>(instance);
    Bytes g{0x04};
    Bytes gx(32), gy(32);
    BigInt_ExportBinaryFixedSize(e->Curve->G.X, gx.data(), 32);
    BigInt_ExportBinaryFixedSize(e->Curve->G.Y, gy.data(), 32);
    g.insert(g.end(), gx.begin(), gx.end());
    g.insert(g.end(), gy.begin(), gy.end());
    EXPECT_EQ(ECDSA_INTERFACE.SetPublicKey(instance, g.data(), (uint32_t)g.size(), 0), 1);
    EXPECT_EQ(ECDSA_INTERFACE.HasPrivateKey(instance), 0);
    const Bytes digest(32, 0x11);
    uint8_t sig[80];
    uint32_t length = 0;
    ASSERT_EQ(ECDSA_INTERFACE.Sign(instance, digest.data(), 32, sig, sizeof(sig), &length), 1);
    EXPECT_EQ(ECDSA_INTERFACE.Verify(instance, digest.data(), 32, sig, length, RSA_SIGNATURE_VERSION_PCS15),
              1);
    // A public key off the curve is refused and verifies nothing.
    g[64] ^= 1;
    EXPECT_EQ(ECDSA_INTERFACE.SetPublicKey(instance, g.data(), (uint32_t)g.size(), 0), 0);
    EXPECT_EQ(ECDSA_INTERFACE.Verify(instance, digest.data(), 32, sig, length, 0), 0);
    EXPECT_EQ(ECDSA_INTERFACE.Reset(instance), 1);
    EXPECT_STREQ(EC_GetCurveName(e->Curve), "");
    EXPECT_EQ(ECDSA_INTERFACE.Delete(&instance), 1);
    EXPECT_EQ(instance, nullptr);
}

} // namespace
