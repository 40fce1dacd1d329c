// Tests of signed-data reading and verification over blobs made by openssl cms: with and without
// signed attributes, detached and embedded, RSA and EC signers, trusted and untrusted stores,
// tampered content, attributes and Authenticode content, and malformed or oversized blobs.
#include "core/certs/pkcs7.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "tests/core/certs/trust_one.h"
#include "tests/support/log_capture.h"
#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

const char kContent[] = "Signed content of the test.\n";

const char kScript[] = R"SH(set -e
printf 'Signed content of the test.\n' > data.txt
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out root.key 2>/dev/null
openssl req -x509 -new -key root.key -subj "/CN=P7 Root" -days 30 -out root.pem \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n' > ca.ext
printf 'keyUsage=digitalSignature\n' > leaf.ext
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ica.key 2>/dev/null
openssl req -new -key ica.key -subj "/O=P7/CN=P7 ICA" -out ica.csr 2>/dev/null
openssl x509 -req -in ica.csr -CA root.pem -CAkey root.key -set_serial 7 -days 30 -extfile ca.ext -out ica.pem 2>/dev/null
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out leaf.key 2>/dev/null
openssl req -new -key leaf.key -subj "/CN=P7 Signer" -out leaf.csr 2>/dev/null
openssl x509 -req -in leaf.csr -CA ica.pem -CAkey ica.key -set_serial 8 -days 30 -extfile leaf.ext -out leaf.pem 2>/dev/null
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out leafec.key 2>/dev/null
openssl req -new -key leafec.key -subj "/CN=P7 EC Signer" -out leafec.csr 2>/dev/null
openssl x509 -req -in leafec.csr -CA ica.pem -CAkey ica.key -set_serial 9 -days 30 -extfile leaf.ext -out leafec.pem 2>/dev/null
openssl x509 -in root.pem -outform DER -out root.der
cat ica.pem root.pem > chain.pem
openssl x509 -in leaf.pem -outform DER -out leaf.der
s() { out=$1; shift; openssl cms -sign -binary -in ${IN:-data.txt} -outform DER -out $out.p7 "$@"; }
s attr_detached -signer leaf.pem -inkey leaf.key -certfile chain.pem
s noattr_detached -signer leaf.pem -inkey leaf.key -certfile chain.pem -noattr
s attr_embedded -signer leaf.pem -inkey leaf.key -certfile chain.pem -nodetach
s noattr_embedded -signer leaf.pem -inkey leaf.key -certfile chain.pem -nodetach -noattr
s ec_detached -signer leafec.pem -inkey leafec.key -certfile chain.pem
s sha512 -signer leaf.pem -inkey leaf.key -certfile chain.pem -md sha512
s md5 -signer leaf.pem -inkey leaf.key -certfile chain.pem -md md5
s no_ica -signer leaf.pem -inkey leaf.key
s no_certs -signer leaf.pem -inkey leaf.key -nocerts
# Authenticode-style content: an SpcIndirectDataContent with an image digest of 32 bytes.
spc() {
  printf 'asn1=SEQUENCE:spc\n[spc]\nattr=SEQUENCE:attr\ndi=SEQUENCE:di\n[attr]\ntype=OID:1.3.6.1.4.1.311.2.1.15\n[di]\nalg=SEQUENCE:alg\ndigest=FORMAT:HEX,OCT:%s\n[alg]\noid=OID:sha256\nnull=NULL\n' $2 > $1.cnf
  openssl asn1parse -genconf $1.cnf -out $1.der >/dev/null
}
spc spc1 1111111111111111111111111111111111111111111111111111111111111111
spc spc2 2222222222222222222222222222222222222222222222222222222222222222
spc spc3 3333333333333333333333333333333333333333
IN=spc3.der s authenticode_short -signer leaf.pem -inkey leaf.key -certfile chain.pem -nodetach -econtent_type 1.3.6.1.4.1.311.2.1.4
IN=spc1.der s authenticode -signer leaf.pem -inkey leaf.key -certfile chain.pem -nodetach -econtent_type 1.3.6.1.4.1.311.2.1.4
openssl cms -data_create -in data.txt -outform DER -out data_only.p7
echo made
)SH";

struct Fixtures {
    TempDir Dir;
    bool Made = false;
    Fixtures() {
        auto out = RunOracle("cd '" + Dir.path() + "' && sh -s", kScript, 120);
        Made = out && out->find("made") != std::string::npos;
    }
    std::string Blob(const std::string& name) const { return ReadFile(Dir.file(name + ".p7")); }
    std::string File(const std::string& name) const { return ReadFile(Dir.file(name)); }
};
Fixtures* g_fixtures = nullptr;

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// An object whose messages are collected, one per line.
struct Signed {
    PKCS7* Object = nullptr;
    std::string Messages;
    Signed() {
        PKCS7_Create(&Object);
        PKCS7_SetPrintCallback(Object, this, Collect);
    }
    ~Signed() { PKCS7_Release(&Object); }
    bool Build(const std::string& der) {
        return PKCS7_BuildFromBuffer(Object, reinterpret_cast<const uint8_t*>(der.data()), (uint32_t)der.size()) == 1;
    }
    static int64_t Collect(void* user, const char* format, ...) {
        char text[512];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof(text), format, args);
        va_end(args);
        static_cast<Signed*>(user)->Messages += std::string(text) + "\n";
        return 1;
    }
};

std::vector<uint8_t> Sha(const HashInterface* record, const std::string& data) {
    std::vector<uint8_t> out(record->DigestSize);
    Hash_QuickDigest(record, data.data(), (int32_t)data.size(), out.data(), (int32_t)out.size());
    return out;
}

size_t Count(const std::string& text, const std::string& line) {
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) n++;
    return n;
}

// Replaces the first occurrence of `from` in the blob with `to` (same length).
std::string Swap(std::string blob, const std::string& from, const std::string& to) {
    const size_t at = blob.find(from);
    if (at != std::string::npos) blob.replace(at, from.size(), to);
    return blob;
}

// Flips the last byte of the first occurrence of the text in the blob.
std::string Tamper(std::string blob, const std::string& text) {
    const size_t at = blob.find(text);
    if (at != std::string::npos) blob[at + text.size() - 1] ^= 1;
    return blob;
}

class PKCS7Test : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!g_fixtures) g_fixtures = new Fixtures;
    }
    void SetUp() override {
        if (!g_fixtures->Made) GTEST_SKIP() << "openssl could not make the fixtures";
    }
};

enum Call { kContent_, kDigest };

TEST_F(PKCS7Test, Verification) {
    const std::string content = kContent;
    const std::string tampered = "Signed content of the tesT.\n";
    const std::string spc1 = g_fixtures->File("spc1.der"), spc2 = g_fixtures->File("spc2.der");
    const std::string image1 = spc1.substr(spc1.size() - 32), image2 = spc2.substr(spc2.size() - 32);
    // The signing time's last digit sits just before the messageDigest attribute; flipping a byte
    // of the attribute set must break the signature.
    const std::string attrDetached = g_fixtures->Blob("attr_detached");
    const std::string messageDigestOid("\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x09\x04", 11);
    struct Case {
        const char* Name;
        std::string Blob;
        bool Trusted;
        Call How;
        std::string Input; // content, or the digest itself for kDigest
        int64_t Expected;
        const char* Message; // a line the failure prints
    } cases[] = {
        {"attributes, detached", attrDetached, true, kContent_, content, 1, ""},
        {"store does not trust the root", attrDetached, false, kContent_, content, 0,
         "Unable to verify certificate chain"},
        {"tampered content", attrDetached, true, kContent_, tampered, 0, "Verification failed"},
        {"tampered attributes", Tamper(attrDetached, messageDigestOid), true, kContent_, content, 0,
         "Failed to verify signature"},
        {"no attributes, detached", g_fixtures->Blob("noattr_detached"), true, kContent_, content, 1, ""},
        {"no attributes, detached, tampered", g_fixtures->Blob("noattr_detached"), true, kContent_, tampered, 0,
         "Encrypted digest verification failed"},
        {"no attributes, detached, digest", g_fixtures->Blob("noattr_detached"), true, kDigest, "", 1, ""},
        {"attributes, embedded", g_fixtures->Blob("attr_embedded"), true, kContent_, content, 1, ""},
        {"attributes, embedded, digest", g_fixtures->Blob("attr_embedded"), true, kDigest, "", 1, ""},
        {"attributes, embedded content tampered", Swap(g_fixtures->Blob("attr_embedded"), content, tampered), true,
         kContent_, content, 0, "Content does not match the signed message digest"},
        {"no attributes, embedded", g_fixtures->Blob("noattr_embedded"), true, kContent_, content, 1, ""},
        {"no attributes, embedded, digest", g_fixtures->Blob("noattr_embedded"), true, kDigest, "", 1, ""},
        {"no attributes, embedded content tampered", Swap(g_fixtures->Blob("noattr_embedded"), content, tampered),
         true, kContent_, tampered, 0, "Failed to verify signature"},
        {"EC signer", g_fixtures->Blob("ec_detached"), true, kContent_, content, 1, ""},
        {"SHA-512 signer", g_fixtures->Blob("sha512"), true, kDigest, "", 1, ""},
        {"MD5 signer refused", g_fixtures->Blob("md5"), true, kContent_, content, 0, "is too weak"},
        {"intermediate not carried", g_fixtures->Blob("no_ica"), true, kContent_, content, 0,
         "Unable to verify certificate chain"},
        {"signer not carried", g_fixtures->Blob("no_certs"), true, kContent_, content, 0,
         "Signer info certificate not found in chain"},
        {"Authenticode image digest", g_fixtures->Blob("authenticode"), true, kDigest, image1, 1, ""},
        {"Authenticode wrong image digest", g_fixtures->Blob("authenticode"), true, kDigest, image2, 0,
         "Verification failed"},
        {"Authenticode image digest of 20 bytes", g_fixtures->Blob("authenticode_short"), true, kDigest, image1, 0,
         "Digest size doesn't match content hash size (32:20)"},
        {"Authenticode content swapped", Swap(g_fixtures->Blob("authenticode"), spc1, spc2), true, kDigest, image2, 0,
         "Content does not match the signed message digest"},
    };
    const TrustOne root(g_fixtures->File("root.der")), nobody("");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Signed p;
        ASSERT_TRUE(p.Build(c.Blob));
        CertStoreInterface* store = c.Trusted ? root.Interface : nobody.Interface;
        int64_t result;
        if (c.How == kContent_) {
            result = PKCS7_Verify(p.Object, store, reinterpret_cast<const uint8_t*>(c.Input.data()),
                                  (uint32_t)c.Input.size());
        } else {
            const HashInterface* record = nullptr;
            ASSERT_EQ(PKCS7_GetSignerInfoHashInterface(p.Object, &record), 1);
            std::vector<uint8_t> digest = c.Input.empty() ? Sha(record, content) : Bytes(c.Input);
            result = PKCS7_VerifyDigest(p.Object, store, digest.data(), (uint32_t)digest.size());
        }
        EXPECT_EQ(result, c.Expected) << p.Messages;
        EXPECT_NE(p.Messages.find(c.Message), std::string::npos) << p.Messages;
    }
}

TEST_F(PKCS7Test, ReadValues) {
    struct Case {
        const char* Blob;
        const HashInterface* Digest;
        int64_t Detached;
    } cases[] = {
        {"attr_detached", &SHA256_INTERFACE, 0},
        {"noattr_detached", &SHA256_INTERFACE, 1},
        {"noattr_embedded", &SHA256_INTERFACE, 0},
        {"sha512", &SHA512_INTERFACE, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Blob);
        Signed p;
        const HashInterface* record = &SHA256_INTERFACE;
        EXPECT_EQ(PKCS7_GetSignerInfoHashInterface(p.Object, &record), 0);
        EXPECT_EQ(record, nullptr);
        ASSERT_TRUE(p.Build(g_fixtures->Blob(c.Blob)));
        EXPECT_EQ(PKCS7_GetSignerInfoHashInterface(p.Object, &record), 1);
        EXPECT_EQ(record, c.Digest);
        EXPECT_EQ(PKCS7_IsDetached(p.Object), c.Detached);
    }
}

// A caller digest shorter than the signer's is refused, never read past its end.
TEST_F(PKCS7Test, ShortCallerDigestRefused) {
    Signed p;
    ASSERT_TRUE(p.Build(g_fixtures->Blob("attr_detached")));
    const TrustOne root(g_fixtures->File("root.der"));
    std::vector<uint8_t> digest = Sha(&SHA256_INTERFACE, kContent);
    EXPECT_EQ(PKCS7_VerifyDigest(p.Object, root.Interface, digest.data(), 20), 0);
    EXPECT_NE(p.Messages.find("Digest size doesn't match content hash size (32:20)"), std::string::npos);
    EXPECT_EQ(PKCS7_VerifyDigest(p.Object, root.Interface, digest.data(), 32), 1) << p.Messages;
}

// A second build reads the second blob's digest, not the first one's (which is freed with it).
TEST_F(PKCS7Test, RebuildReadsTheNewBlob) {
    Signed p;
    const TrustOne root(g_fixtures->File("root.der"));
    ASSERT_TRUE(p.Build(g_fixtures->Blob("sha512")));
    ASSERT_TRUE(p.Build(g_fixtures->Blob("attr_detached")));
    EXPECT_EQ(PKCS7_Verify(p.Object, root.Interface, reinterpret_cast<const uint8_t*>(kContent), sizeof(kContent) - 1),
              1)
        << p.Messages;
    ASSERT_TRUE(p.Build(g_fixtures->Blob("noattr_detached")));
    EXPECT_EQ(PKCS7_IsDetached(p.Object), 1);
}

// DER helpers for hand-made blobs.
std::string Tlv(uint8_t tag, const std::string& value) {
    std::string out(1, (char)tag);
    const size_t n = value.size();
    if (n < 0x80) {
        out += (char)n;
    } else if (n < 0x10000) {
        out += "\x82";
        out += (char)(n >> 8);
        out += (char)n;
    } else {
        out += "\x83";
        out += (char)(n >> 16);
        out += (char)(n >> 8);
        out += (char)n;
    }
    return out + value;
}
const std::string kSignedDataOid("\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02", 11);
const std::string kDataOid("\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x01", 11);

std::string SignedData(const std::string& afterContentInfo) {
    const std::string body = Tlv(0x02, "\x01") + Tlv(0x31, "") + Tlv(0x30, kDataOid) + afterContentInfo;
    return Tlv(0x30, kSignedDataOid + Tlv(0xA0, Tlv(0x30, body)));
}

TEST_F(PKCS7Test, Building) {
    const std::string leaf = g_fixtures->File("leaf.der");
    std::string many;
    for (int i = 0; i < 300; i++) many += leaf;
    const std::string blob = g_fixtures->Blob("attr_detached");
    std::string longer = blob;
    longer[3] = (char)(longer[3] + 1); // the outer length now reaches past the end
    struct Case {
        const char* Name;
        std::string Blob;
        int64_t Expected;
        const char* Message;
    } cases[] = {
        {"not signed data", g_fixtures->Blob("data_only"), 0, ""},
        {"no signer infos", SignedData(Tlv(0xA0, leaf) + Tlv(0x31, "")), 1, ""},
        {"signer infos absent", SignedData(Tlv(0xA0, leaf)), 1, ""},
        {"CRLs between", SignedData(Tlv(0xA0, leaf) + Tlv(0xA1, "") + Tlv(0x31, "")), 1, ""},
        {"signer infos not a set", SignedData(Tlv(0xA0, leaf) + Tlv(0x30, "")), 0, ""},
        {"too many certificates", SignedData(Tlv(0xA0, many) + Tlv(0x31, "")), 0, "Too many certificates (300)"},
        {"length past the end", longer, 0, ""},
        {"empty", "", 0, ""},
    };
    const TrustOne root(g_fixtures->File("root.der"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Signed p;
        EXPECT_EQ(p.Build(c.Blob), c.Expected == 1);
        EXPECT_NE(p.Messages.find(c.Message), std::string::npos) << p.Messages;
        if (c.Expected != 1) continue;
        uint8_t digest[32] = {};
        EXPECT_EQ(PKCS7_Verify(p.Object, root.Interface, digest, sizeof(digest)), 0);
        EXPECT_EQ(PKCS7_VerifyDigest(p.Object, root.Interface, digest, sizeof(digest)), 0);
        EXPECT_EQ(Count(p.Messages, "Missing signer info hash type\n"), 2u) << p.Messages;
    }
    // Every cut of a real blob fails to build.
    for (size_t n = 0; n < blob.size(); n += 7) {
        Signed p;
        EXPECT_FALSE(p.Build(blob.substr(0, n))) << n;
    }
}

TEST_F(PKCS7Test, BuildFromTreeAndSave) {
    const std::string blob = g_fixtures->Blob("attr_detached");
    ASN1* tree = nullptr;
    ASN1_Create(&tree);
    ASSERT_EQ(ASN1_Decode(tree, reinterpret_cast<const uint8_t*>(blob.data()), (uint32_t)blob.size()), 1);
    Signed p;
    ASSERT_EQ(PKCS7_Build(p.Object, ASN1_GetElement(tree, 0)), 1);
    ASN1_Release(&tree);
    const std::string path = g_fixtures->Dir.file("saved.p7");
    ASSERT_EQ(PKCS7_Save(p.Object, path.c_str()), 1);
    EXPECT_EQ(ReadFile(path), blob);
    const std::string bad = g_fixtures->Dir.file("data.txt/saved.p7");
    EXPECT_EQ(PKCS7_Save(p.Object, bad.c_str()), 0);
    EXPECT_EQ(Count(p.Messages, "Unable to open file (" + bad + ")\n"), 1u) << p.Messages;
}

} // namespace
