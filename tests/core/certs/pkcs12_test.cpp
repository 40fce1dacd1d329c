// Tests of PFX reading over files made by openssl (RSA and EC keys, one to three certificates,
// long, empty and non-ASCII passwords, SHA-1, SHA-256 and SHA-512 MACs, refused protections) and
// over files put together here; the key function against openssl's as the oracle.
#include "core/certs/pkcs12.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/crypto/hmac.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "tests/support/log_capture.h"
#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

const char kLong[] = "Forty characters of password, all typed!";
const char kScript[] = R"SH(set -e
ec() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:$2 -out $1.key 2>/dev/null; }
ec root P-256; ec ica P-256; ec p256 P-256; ec p384 P-384
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out rsa.key 2>/dev/null
printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n' > ca.ext
openssl req -x509 -new -key root.key -subj /CN=Root -days 30 -out root.pem 2>/dev/null
cert() { openssl req -new -key $2.key -subj "/CN=$1" -out $1.csr 2>/dev/null
  openssl x509 -req -in $1.csr -CA $3.pem -CAkey $3.key -set_serial $4 -days 30 $5 -out $1.pem 2>/dev/null; }
cert ica ica root 2 "-extfile ca.ext"; cert leaf256 p256 ica 3; cert leaf384 p384 ica 4; cert leafrsa rsa root 5
for k in rsa p256 p384; do openssl pkey -in $k.key -pubout -out $k.pub; done
openssl pkcs8 -topk8 -nocrypt -in p256.key -outform DER -out p256.pk8
cat ica.pem root.pem > chain.pem
L="-legacy -keypbe PBE-SHA1-RC4-128 -certpbe PBE-SHA1-RC4-128 -macalg sha1"
x() { out=$1; pw=$2; shift 2; openssl pkcs12 -export "$@" -passout "pass:$pw" -out $out.p12; }
x rsa secret $L -inkey rsa.key -in leafrsa.pem
x p256 secret $L -inkey p256.key -in leaf256.pem -certfile chain.pem
x p384 secret $L -inkey p384.key -in leaf384.pem -certfile ica.pem
x long 'Forty characters of password, all typed!' $L -inkey p256.key -in leaf256.pem
x utf8 'pässwörd 😀 ok' $L -inkey p256.key -in leaf256.pem
x empty '' $L -inkey p256.key -in leaf256.pem
x sha256mac secret $L -macalg sha256 -inkey p256.key -in leaf256.pem
x sha512mac secret $L -macalg sha512 -inkey p256.key -in leaf256.pem
x default secret -inkey p256.key -in leaf256.pem
x aeskey secret -legacy -keypbe AES-256-CBC -certpbe PBE-SHA1-RC4-128 -macalg sha1 -inkey p256.key -in leaf256.pem
x keybag secret -legacy -keypbe NONE -certpbe PBE-SHA1-RC4-128 -macalg sha1 -inkey p256.key -in leaf256.pem
x certplain secret -legacy -keypbe PBE-SHA1-RC4-128 -certpbe NONE -macalg sha1 -inkey p256.key -in leaf256.pem
x nomac secret $L -nomac -inkey p256.key -in leaf256.pem
x maciter1 secret $L -nomaciter -inkey p256.key -in leaf256.pem
openssl pkcs12 -in p256.p12 -legacy -passin pass:secret -nokeys -out order.pem
awk '/BEGIN CERT/{n++; on=1} on{print > ("order" n ".pem")} /END CERT/{on=0}' order.pem
for i in 1 2 3; do openssl x509 -in order$i.pem -outform DER -out order$i.der; done
echo made
)SH";

struct Fixtures {
    TempDir Dir;
    bool Made = false;
    Fixtures() {
        auto out = RunOracle("cd '" + Dir.path() + "' && sh -s", kScript, 180);
        Made = out && out->find("made") != std::string::npos;
    }
    std::string File(const std::string& name) const { return ReadFile(Dir.file(name)); }
};
Fixtures* g_fixtures = nullptr;

// ---- DER put together by hand ----------------------------------------------------------------
std::string Tlv(uint8_t tag, const std::string& content) {
    std::string out(1, (char)tag);
    const size_t n = content.size();
    if (n < 128)
        out += (char)n;
    else if (n < 256)
        out += std::string("\x81") + (char)n;
    else
        out += std::string("\x82") + (char)(n >> 8) + (char)n;
    return out + content;
}
std::string Seq(const std::string& content) {
    return Tlv(0x30, content);
}
std::string Oid(const char* dotted) {
    std::vector<uint32_t> arcs;
    for (const char* p = dotted; *p; p += (*p == '.'))
        arcs.push_back((uint32_t)strtoul(p, const_cast<char**>(&p), 10));
    std::string body(1, (char)(arcs[0] * 40 + arcs[1]));
    for (size_t i = 2; i < arcs.size(); i++) {
        std::string arc(1, (char)(arcs[i] & 0x7F));
        for (uint32_t v = arcs[i] >> 7; v; v >>= 7) arc.insert(arc.begin(), (char)(0x80 | (v & 0x7F)));
        body += arc;
    }
    return Tlv(0x06, body);
}
// The element encodings inside the first element of the DER.
std::vector<std::string> Elements(const std::string& der) {
    ASN1* tree = nullptr;
    ASN1_Create(&tree);
    ASN1_Decode(tree, (const uint8_t*)der.data(), (uint32_t)der.size());
    std::vector<std::string> out;
    for (ASN1* e = ASN1_GetElement(ASN1_GetElement(tree, 0), 0); e; e = e->Next)
        out.emplace_back((const char*)ASN1_GetNodePtr(e), ASN1_GetNodeSize(e));
    ASN1_Release(&tree);
    return out;
}

const char kSalt[] = "saltsalt";
std::string Bmp(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += std::string(1, '\0') + c;
    return out + std::string(2, '\0');
}
// RC4 under the key derived from "secret" is its own inverse.
std::string Rc4(std::string data) {
    const std::string pw = Bmp("secret");
    PKCS12_Decrypt((const uint8_t*)pw.data(), (uint32_t)pw.size(), (const uint8_t*)kSalt, 3,
                   (uint8_t*)data.data(), (uint32_t)data.size(), PKCS12_PURPOSE_KEY);
    return data;
}
std::string Pbe(const std::string& salt = kSalt, const std::string& count = "\x03") {
    return Seq(Oid("1.2.840.113549.1.12.1.1") + Seq(Tlv(0x04, salt) + Tlv(0x02, count)));
}
std::string CertInfo(const std::string& plainBags, const std::string& pbe = Pbe(),
                     const char* type = "1.2.840.113549.1.7.1", bool content = true) {
    const std::string encrypted = content ? Tlv(0x80, Rc4(plainBags)) : "";
    return Seq(Oid("1.2.840.113549.1.7.6") +
               Tlv(0xA0, Seq(Tlv(0x02, std::string(1, '\0')) + Seq(Oid(type) + pbe + encrypted))));
}
std::string CertBag(const std::string& der) {
    return Seq(Oid("1.2.840.113549.1.12.10.1.3") +
               Tlv(0xA0, Seq(Oid("1.2.840.113549.1.9.22.1") + Tlv(0xA0, Tlv(0x04, der)))));
}
std::string KeyInfo(const std::string& plainKey, bool content = true) {
    const std::string encrypted = content ? Tlv(0x04, Rc4(plainKey)) : "";
    return Seq(Oid("1.2.840.113549.1.7.1") +
               Tlv(0xA0, Tlv(0x04, Seq(Seq(Oid("1.2.840.113549.1.12.10.1.2") +
                                           Tlv(0xA0, Seq(Pbe() + encrypted)))))));
}
std::string PrivateKeyInfo(const char* algorithm, const std::string& key) {
    return Seq(Tlv(0x02, std::string(1, '\0')) + Seq(Oid(algorithm) + Oid("1.2.840.10045.3.1.7")) +
               Tlv(0x04, key));
}
// A PFX around the AuthenticatedSafe contents with a SHA-1 MAC keyed from "secret".
std::string Seal(const std::string& authSafe) {
    const std::string pw = Bmp("secret");
    uint8_t key[20], mac[20];
    PKCS12_DeriveKey(&SHA1_INTERFACE, (const uint8_t*)pw.data(), (uint32_t)pw.size(), (const uint8_t*)kSalt,
                     8, 3, PKCS12_PURPOSE_MAC, key, 20);
    HMAC_QuickDigest(&SHA1_INTERFACE, authSafe.data(), (uint32_t)authSafe.size(), key, 20, mac, 20);
    const std::string macData =
        Seq(Seq(Seq(Oid("1.3.14.3.2.26") + Tlv(0x05, "")) + Tlv(0x04, std::string((char*)mac, 20))) +
            Tlv(0x04, kSalt) + Tlv(0x02, "\x03"));
    return Seq(Tlv(0x02, "\x03") + Seq(Oid("1.2.840.113549.1.7.1") + Tlv(0xA0, Tlv(0x04, authSafe))) +
               macData);
}

struct Built {
    PKCS12* Object = nullptr;
    ASN1* Tree = nullptr;
    std::string Der, Log;
    int64_t Result = 0;
    Built(const std::string& der, const char* password) : Der(der) {
        PKCS12_Create(&Object);
        ASN1_Create(&Tree);
        ASN1_Decode(Tree, (const uint8_t*)Der.data(), (uint32_t)Der.size());
        TakeLog();
        Result = PKCS12_Build(Object, Tree, password);
        Log = TakeLog();
    }
    ~Built() {
        ASN1_Release(&Tree);
        PKCS12_Release(&Object);
    }
    std::string Cert(int32_t index) const {
        X509* cert = nullptr;
        const uint8_t* der = nullptr;
        uint32_t length = 0;
        if (PKCS12_Get(Object, index, &cert) != 1 || X509_GetASN1(cert, &der, &length) != 1) return "";
        return std::string((const char*)der, length);
    }
};

class PKCS12Test : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!g_fixtures) g_fixtures = new Fixtures;
    }
    void SetUp() override {
        if (!g_fixtures->Made) GTEST_SKIP() << "openssl could not make the fixtures";
    }
};

TEST_F(PKCS12Test, OpensslFilesBuildAndTheirKeysSign) {
    const std::string data = "Handshake messages to sign.";
    uint8_t digest[32];
    Hash_QuickDigest(&SHA256_INTERFACE, data.data(), (int32_t)data.size(), digest, 32);
    const std::string digestInfo =
        std::string("\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20", 19) +
        std::string((const char*)digest, 32);
    WriteText(g_fixtures->Dir.file("data"), data);
    const struct {
        const char* File;
        const char* Password;
        const char* Key;
        uint32_t Certificates;
    } cases[] = {
        {"rsa", "secret", "rsa", 1},          {"p256", "secret", "p256", 3},
        {"p384", "secret", "p384", 2},        {"long", kLong, "p256", 1},
        {"utf8", "pässwörd 😀 ok", "p256", 1}, {"empty", "", "p256", 1},
        {"empty", nullptr, "p256", 1},        {"sha256mac", "secret", "p256", 1},
        {"sha512mac", "secret", "p256", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.File);
        Built b(g_fixtures->File(std::string(c.File) + ".p12"), c.Password);
        ASSERT_EQ(b.Result, 1) << b.Log;
        EXPECT_EQ(PKCS12_Count(b.Object), c.Certificates);
        const bool rsa = strcmp(c.Key, "rsa") == 0;
        const std::string input = rsa ? digestInfo : std::string((const char*)digest, 32);
        uint8_t signature[1024];
        uint32_t length = 0;
        ASSERT_EQ(PKCS12_Sign(b.Object, (const uint8_t*)input.data(), (uint32_t)input.size(), signature,
                              sizeof(signature), &length),
                  1);
        const std::string sig = g_fixtures->Dir.file(std::string(c.File) + ".sig");
        WriteText(sig, std::string((const char*)signature, length));
        EXPECT_TRUE(RunOracle("cd '" + g_fixtures->Dir.path() + "' && openssl dgst -sha256 -verify " + c.Key +
                                  ".pub -signature " + c.File + ".sig data",
                              ""));
    }
}

TEST_F(PKCS12Test, CertificatesComeInBagOrderAndTheTreeMayBeBuiltAgain) {
    const std::string der = g_fixtures->File("p256.p12");
    Built b(der, "secret");
    ASSERT_EQ(b.Result, 1) << b.Log;
    for (int32_t i = 0; i < 3; i++)
        EXPECT_EQ(b.Cert(i), g_fixtures->File("order" + std::to_string(i + 1) + ".der")) << i;
    X509* issuer = nullptr;
    X509* leaf = nullptr;
    PKCS12_Get(b.Object, 0, &leaf);
    ASSERT_EQ(PKCS12_IssuerFind(b.Object, leaf, &issuer), 1);
    X509* second = nullptr;
    PKCS12_Get(b.Object, 1, &second);
    EXPECT_EQ(issuer, second);
    // The caller's bytes are left as they were, so the same tree builds again.
    EXPECT_EQ(b.Der, der);
    EXPECT_EQ(PKCS12_Build(b.Object, b.Tree, "secret"), 1);
    EXPECT_EQ(PKCS12_Count(b.Object), 3u);
    EXPECT_EQ(b.Cert(2), g_fixtures->File("order3.der"));
}

TEST_F(PKCS12Test, KeyFunctionMatchesOpenssl) {
    const std::string p70(70, 'p');
    const struct {
        const HashInterface* Record;
        const char* Name;
        std::string Password;
        uint32_t Iterations;
        uint8_t Purpose;
        uint32_t Length;
    } cases[] = {
        {&SHA1_INTERFACE, "SHA1", "secret", 2048, 3, 20},     {&SHA1_INTERFACE, "SHA1", "", 1, 1, 16},
        {&SHA1_INTERFACE, "SHA1", kLong, 1000, 1, 45},        {&SHA1_INTERFACE, "SHA1", p70, 0, 2, 8},
        {&SHA256_INTERFACE, "SHA256", "secret", 2048, 3, 32}, {&SHA256_INTERFACE, "SHA256", kLong, 5, 1, 100},
        {&SHA384_INTERFACE, "SHA384", "pw", 3, 1, 48},        {&SHA512_INTERFACE, "SHA512", p70, 2, 3, 150},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Name) + " " + c.Password);
        const std::string pw = Bmp(c.Password);
        std::string hex;
        for (unsigned char ch : pw) hex += "0123456789abcdef"[ch >> 4], hex += "0123456789abcdef"[ch & 15];
        auto oracle =
            RunOracle("openssl kdf -keylen " + std::to_string(c.Length) + " -kdfopt digest:" + c.Name +
                          " -kdfopt hexpass:" + hex + " -kdfopt hexsalt:73616c7473616c74 -kdfopt iter:" +
                          std::to_string(c.Iterations ? c.Iterations : 1) +
                          " -kdfopt id:" + std::to_string(c.Purpose) + " PKCS12KDF",
                      "");
        ASSERT_TRUE(oracle);
        std::vector<uint8_t> key(c.Length);
        ASSERT_EQ(PKCS12_DeriveKey(c.Record, (const uint8_t*)pw.data(), (uint32_t)pw.size(),
                                   (const uint8_t*)kSalt, 8, c.Iterations, c.Purpose, key.data(), c.Length),
                  1);
        std::string ours;
        for (uint8_t b : key)
            ours += (ours.empty() ? "" : ":") + std::string(1, "0123456789ABCDEF"[b >> 4]) +
                    "0123456789ABCDEF"[b & 15];
        EXPECT_EQ(ours + "\n", oracle->substr(0, ours.size() + 1));
    }
    // Passwords longer than a block count whole: the first 31 characters do not decide the key.
    const std::string a = Bmp(std::string(kLong) + "A"), b = Bmp(std::string(kLong) + "B");
    uint8_t ka[20], kb[20];
    PKCS12_Decrypt((const uint8_t*)a.data(), (uint32_t)a.size(), (const uint8_t*)kSalt, 1, ka, 20,
                   PKCS12_PURPOSE_MAC);
    PKCS12_Decrypt((const uint8_t*)b.data(), (uint32_t)b.size(), (const uint8_t*)kSalt, 1, kb, 20,
                   PKCS12_PURPOSE_MAC);
    EXPECT_NE(memcmp(ka, kb, 20), 0);
}

TEST_F(PKCS12Test, HandMadeFileReadsItsBagsInOrder) {
    const std::string leaf = g_fixtures->File("order1.der"), ica = g_fixtures->File("order2.der");
    const std::string key = g_fixtures->File("p256.pk8");
    // The first bag that holds no certificate ends the list.
    Built b(Seal(Seq(CertInfo(Seq(CertBag(ica) + CertBag(leaf) + CertBag("junk") + CertBag(leaf))) +
                     KeyInfo(key))),
            "secret");
    ASSERT_EQ(b.Result, 1) << b.Log;
    EXPECT_EQ(PKCS12_Count(b.Object), 2u);
    EXPECT_EQ(b.Cert(0), ica);
    EXPECT_EQ(b.Cert(1), leaf);
    Built empty(Seal(Seq("")), "secret");
    EXPECT_EQ(empty.Result, 1) << "an AuthenticatedSafe without ContentInfo reads nothing";
    EXPECT_EQ(PKCS12_Count(empty.Object), 0u);
}

TEST_F(PKCS12Test, Refusals) {
    const std::string file = g_fixtures->File("p256.p12");
    const std::vector<std::string> pfx = Elements(file);
    const std::vector<std::string> mac = Elements(pfx[2]);
    auto withMac = [&](const std::string& a, const std::string& b, const std::string& c) {
        return Seq(pfx[0] + pfx[1] + Seq(a + b + c));
    };
    const std::string digestInfo = Elements(mac[0])[0];
    std::string tampered = file;
    tampered[pfx[0].size() + pfx[1].size()] ^= 1;
    const std::string leaf = g_fixtures->File("order1.der"), key = g_fixtures->File("p256.pk8");
    const std::string certs = CertInfo(Seq(CertBag(leaf)));
    const std::string pbes2 = "PKCS12 must use PBE-SHA1-RC4-128 (1.2.840.113549.1.5.13)\n";
    const struct {
        const char* Name;
        std::string Der;
        const char* Password;
        std::string Message; // empty: no message of ours
        const char* Also;
    } cases[] = {
        {"version 1", Seq(Tlv(0x02, "\x01") + pfx[1] + pfx[2]), "secret", "PKCS12 must be version 3 (1)\n",
         ""},
        {"no content", Seq(pfx[0] + Seq(Oid("1.2.840.113549.1.7.1")) + pfx[2]), "secret",
         "PKCS12 unable to find pkcs7\n", ""},
        {"no macData", g_fixtures->File("nomac.p12"), "secret", "", ""},
        {"unknown MAC digest", withMac(Seq(Seq(Oid("1.2.3.4")) + Elements(mac[0])[1]), mac[1], mac[2]),
         "secret", "", ""},
        {"MAC salt of 9 bytes", withMac(mac[0], Tlv(0x04, "123456789"), mac[2]), "secret",
         "PKCS12 must use PBE-SHA1-RC4-128, invalid mac salt size\n", ""},
        {"MAC count left out", g_fixtures->File("maciter1.p12"), "secret", "PKCS12 invalid mac iteration\n",
         ""},
        {"MAC count of 5 bytes", withMac(mac[0], mac[1], Tlv(0x02, std::string("\x01\0\0\0\0", 5))), "secret",
         "PKCS12 invalid mac iteration\n", ""},
        {"MAC count of 2^32 - 1", withMac(mac[0], mac[1], Tlv(0x02, "\xff\xff\xff\xff")), "secret",
         "PKCS12 invalid mac iteration\n", ""},
        {"MAC of 19 bytes", withMac(Seq(digestInfo + Tlv(0x04, std::string(19, 'm'))), mac[1], mac[2]),
         "secret", "PKCS12 invalid mac digest size\n", ""},
        {"wrong password", file, "Secret", "PKCS12 failed verification\n", ""},
        {"tampered contents", tampered, "secret", "PKCS12 failed verification\n", ""},
        {"password not UTF-8", file, "secr\xe9t", "PKCS12 password is not valid UTF-8\n", ""},
        {"openssl default PBES2", g_fixtures->File("default.p12"), "secret", pbes2,
         "PKCS12 unable to retrieve PBE params for certificate\n"},
        {"AES key bag", g_fixtures->File("aeskey.p12"), "secret", pbes2,
         "PKCS12 unable to retrieve PBE params for private key\n"},
        {"plain keyBag", g_fixtures->File("keybag.p12"), "secret",
         "PKCS12 invalid key bag identifier (1.2.840.113549.1.12.10.1.1)\n", ""},
        {"certificates in the data", g_fixtures->File("certplain.p12"), "secret",
         "PKCS12 invalid key bag identifier (1.2.840.113549.1.12.10.1.3)\n", ""},
        {"signed data", Seal(Seq(certs + Seq(Oid("1.2.840.113549.1.7.2")))), "secret",
         "PKCS12 invalid data identifier (1.2.840.113549.1.7.2)\n", ""},
        {"certificates not data", Seal(Seq(CertInfo(Seq(CertBag(leaf)), Pbe(), "1.2.840.113549.1.7.5"))),
         "secret", "PKCS12 invalid certificate data identifier (1.2.840.113549.1.7.5)\n", ""},
        {"PBE salt of 7 bytes", Seal(Seq(CertInfo(Seq(CertBag(leaf)), Pbe("1234567")))), "secret",
         "PKCS12 must use PBE-SHA1-RC4-128, invalid salt size\n",
         "PKCS12 unable to retrieve PBE params for certificate\n"},
        {"PBE count of 5 bytes",
         Seal(Seq(CertInfo(Seq(CertBag(leaf)), Pbe(kSalt, std::string("\x01\0\0\0\0", 5))))), "secret",
         "PKCS12 invalid pbe iteration\n", ""},
        {"PBE count of 2^32 - 1", Seal(Seq(CertInfo(Seq(CertBag(leaf)), Pbe(kSalt, "\xff\xff\xff\xff")))),
         "secret", "PKCS12 invalid pbe iteration\n", ""},
        {"no encrypted certificates", Seal(Seq(CertInfo("", Pbe(), "1.2.840.113549.1.7.1", false))), "secret",
         "PKCS12 unable to find certificates\n", ""},
        {"certificate store cut short", Seal(Seq(CertInfo(std::string("\x30\x05\x01", 3)))), "secret",
         "PKCS12 unable to decode certificate store\n", ""},
        {"no certificate builds", Seal(Seq(CertInfo(Seq(CertBag("junk"))))), "secret",
         "PKCS12 unable to find certificate in store\n", ""},
        {"no encrypted key", Seal(Seq(certs + KeyInfo("", false))), "secret",
         "PKCS12 unable to find private key\n", ""},
        {"key store cut short", Seal(Seq(certs + KeyInfo(std::string("\x30\x05\x01", 3)))), "secret",
         "PKCS12 unable to decode private key store\n", ""},
        {"Ed25519 key", Seal(Seq(certs + KeyInfo(PrivateKeyInfo("1.3.101.112", "k")))), "secret",
         "PKCS12 private key must use RSA or ECDSA encryption\n", ""},
        {"RSA key of junk", Seal(Seq(certs + KeyInfo(PrivateKeyInfo("1.2.840.113549.1.1.1", "junk")))),
         "secret", "PKCS12 unable to find private key\n", ""},
        {"unknown curve",
         Seal(Seq(certs + KeyInfo(Seq(Tlv(0x02, std::string(1, '\0')) +
                                      Seq(Oid("1.2.840.10045.2.1") + Oid("1.2.3.4")) + Tlv(0x04, "k"))))),
         "secret", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Built b(c.Der, c.Password);
        EXPECT_EQ(b.Result, 0);
        if (c.Message.empty())
            EXPECT_EQ(b.Log.find(" - PKCS12 "), std::string::npos) << b.Log;
        else
            EXPECT_NE(b.Log.find("DEBUG - " + c.Message), std::string::npos) << b.Log;
        if (*c.Also) {
            EXPECT_NE(b.Log.find(std::string("DEBUG - ") + c.Also), std::string::npos) << b.Log;
        }
        if (c.Message != "PKCS12 failed verification\n") {
            EXPECT_EQ(b.Log.find("failed verification"), std::string::npos) << "the MAC held";
        }
        // Nothing read before the failure stays behind.
        EXPECT_EQ(PKCS12_Count(b.Object), 0u);
        uint8_t signature[256];
        uint32_t length = 0;
        EXPECT_EQ(PKCS12_Sign(b.Object, signature, 32, signature, sizeof(signature), &length), 0);
    }
}

} // namespace
