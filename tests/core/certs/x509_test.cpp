// Tests of X509 against openssl as the oracle (names, serials, dates, thumbprints, constraints,
// signatures of RSA and ECDSA certificates, v1 and v3), the host-name match, and certificates
// assembled here for the cases openssl will not make (bad times, odd extensions, bad input).
#include "core/certs/x509.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/runtime/memory.h"
#include <fstream>
#include "tests/support/log_capture.h"
#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

// Every certificate the tests read, made once per run: name, key, issuer (self when equal),
// digest, subject, extension lines (none: a version 1 certificate).
const char* const kScript = R"SH(set -e
mk() { # name keytype issuer digest subject extensions
  case "$2" in rsa) openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out $1.key 2>/dev/null;;
    *) openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:$2 -out $1.key 2>/dev/null;; esac
  openssl req -new -key $1.key -subj "$5" -out $1.csr
  ext=""; if [ -n "$6" ]; then printf "$6" > $1.ext; ext="-extfile $1.ext"; fi
  if [ "$3" = "$1" ]; then sign="-signkey $1.key"; else sign="-CA $3.pem -CAkey $3.key -CAcreateserial"; fi
  openssl x509 -req -in $1.csr $sign -$4 -days 40 $ext -out $1.pem 2>/dev/null
  openssl x509 -in $1.pem -outform DER -out $1.der
  echo "== $1"
  openssl x509 -in $1.pem -noout -nameopt RFC2253 -subject -issuer -serial -dates
  openssl x509 -in $1.pem -noout -ext basicConstraints,keyUsage 2>/dev/null | tr -d '\n'; echo
  echo "sha1=$(openssl dgst -sha1 -binary $1.der | od -An -tx1 | tr -d ' \n')"
  echo "sha256=$(openssl dgst -sha256 -binary $1.der | od -An -tx1 | tr -d ' \n')"
  echo "sha1b64=$(openssl dgst -sha1 -binary $1.der | openssl base64 -A)"
  echo "sha256b64=$(openssl dgst -sha256 -binary $1.der | openssl base64 -A)"
}
CA='basicConstraints=critical,CA:TRUE,pathlen:1\nkeyUsage=critical,keyCertSign,cRLSign\n'
mk ca rsa ca sha256 "/C=US/O=Test Org/OU=Roots/CN=Test Root" "$CA"
mk leaf rsa ca sha256 "/O=Leaf Org/CN=leaf.example.net" 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nsubjectAltName=DNS:www.example.com,DNS:*.example.org,IP:10.0.0.1\n'
mk ec256 prime256v1 ec256 sha256 "/OU=Wild/CN=*.wild.example.com" ""
mk ecca secp384r1 ecca sha384 "/O=EC Org/CN=EC Root" "$CA"
mk ecleaf prime256v1 ecca sha384 "/CN=nomatch.example.net" 'subjectAltName=DNS:*.example.com\n'
mk old rsa old md5 "/CN=old.example.com" ""
openssl pkey -in ec256.key -pubout -outform DER -out ec256.spki
)SH";

struct Oracle {
    std::map<std::string, std::string> Values;
};

struct Fixture {
    TempDir Dir;
    bool Made = false;
    std::map<std::string, Oracle> Certs;
    std::string Spki;

    Fixture() {
        auto out = RunOracle("cd '" + Dir.path() + "' && sh -s", kScript, 120);
        if (!out) return;
        std::string current;
        size_t pos = 0;
        while (pos < out->size()) {
            size_t end = out->find('\n', pos);
            if (end == std::string::npos) end = out->size();
            const std::string line = out->substr(pos, end - pos);
            pos = end + 1;
            if (line.rfind("== ", 0) == 0) {
                current = line.substr(3);
                continue;
            }
            const size_t equals = line.find('=');
            if (line.rfind("X509v3", 0) == 0 || equals == std::string::npos)
                Certs[current].Values["ext"] += line;
            else
                Certs[current].Values[line.substr(0, equals)] = line.substr(equals + 1);
        }
        Spki = ReadFile(Dir.file("ec256.spki"));
        Made = Certs.size() == 6 && !Spki.empty();
    }
    std::string Der(const std::string& name) const { return ReadFile(Dir.file(name + ".der")); }
};

Fixture* g_fixture = nullptr;

struct Cert {
    X509* handle = nullptr;
    Cert() { X509_Create(&handle); }
    explicit Cert(const std::string& der) : Cert() { built = Build(der); }
    ~Cert() { X509_Release(&handle); }
    int64_t Build(const std::string& der) {
        return X509_BuildFromBuffer(handle, reinterpret_cast<const uint8_t*>(der.data()), (uint32_t)der.size());
    }
    int64_t built = 0;
};

class X509Test : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!g_fixture) g_fixture = new Fixture;
    }
    static void TearDownTestSuite() {
        delete g_fixture;
        g_fixture = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(g_fixture->Made) << "openssl made the certificates";
        TakeLog();
    }
    std::unique_ptr<Cert> Load(const std::string& name) {
        auto cert = std::make_unique<Cert>(g_fixture->Der(name));
        EXPECT_EQ(cert->built, 1) << name;
        return cert;
    }
};

std::string NameText(X500* name, int64_t (*get)(X500*, char*, int32_t)) {
    char text[X500_TEXT_SIZE];
    get(name, text, (int32_t)sizeof(text));
    return text;
}

// One attribute out of an RFC 2253 line as openssl prints it ("CN=x,OU=y,O=z,C=US").
std::string Attribute(const std::string& line, const std::string& key) {
    size_t pos = 0;
    while (pos <= line.size()) {
        size_t end = line.find(',', pos);
        if (end == std::string::npos) end = line.size();
        const std::string part = line.substr(pos, end - pos);
        if (part.rfind(key + "=", 0) == 0) return part.substr(key.size() + 1);
        pos = end + 1;
    }
    return "";
}

double OpensslTime(const std::string& text) {
    struct tm parts = {};
    if (!strptime(text.c_str(), "%b %d %H:%M:%S %Y GMT", &parts)) return -1;
    return (double)timegm(&parts);
}

std::string Hex(const uint8_t* bytes, size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < count; i++) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

std::string Lower(std::string text) {
    for (char& c : text) c = (char)tolower((unsigned char)c);
    return text;
}

TEST_F(X509Test, FieldsEqualWhatOpensslPrints) {
    for (const auto& [name, oracle] : g_fixture->Certs) {
        SCOPED_TRACE(name);
        auto cert = Load(name);
        const auto& v = oracle.Values;
        X500* subject = nullptr;
        X500* issuer = nullptr;
        X509_GetSubjectHandle(cert->handle, &subject);
        X509_GetIssuerHandle(cert->handle, &issuer);
        const std::pair<const char*, int64_t (*)(X500*, char*, int32_t)> attributes[] = {
            {"CN", X500_GetCN}, {"O", X500_GetO}, {"OU", X500_GetOU}};
        for (const auto& [key, get] : attributes) {
            EXPECT_EQ(NameText(subject, get), Attribute(v.at("subject"), key)) << key;
            EXPECT_EQ(NameText(issuer, get), Attribute(v.at("issuer"), key)) << key;
        }
        BigInt* serial = nullptr;
        X509_GetSerialNumberHandle(cert->handle, &serial);
        char hex[128] = {};
        BigInt_ExportHex(serial, hex, sizeof(hex));
        std::string expected = Lower(v.at("serial"));
        expected.erase(0, expected.find_first_not_of('0'));
        std::string actual = Lower(hex);
        actual.erase(0, actual.find_first_not_of('0'));
        EXPECT_EQ(actual, expected);

        double notBefore = 0, notAfter = 0;
        EXPECT_EQ(X509_GetValidity(cert->handle, &notBefore, &notAfter), 1);
        EXPECT_EQ(notBefore, OpensslTime(v.at("notBefore")));
        EXPECT_EQ(notAfter, OpensslTime(v.at("notAfter")));

        const std::pair<const char*, const HashInterface*> prints[] = {{"sha1", &SHA1_INTERFACE},
                                                                       {"sha256", &SHA256_INTERFACE}};
        for (const auto& [key, record] : prints) {
            uint8_t digest[64];
            EXPECT_EQ(X509_Thumbprint(cert->handle, record, digest, (int32_t)sizeof(digest)), 1);
            EXPECT_EQ(Hex(digest, record->DigestSize), v.at(key)) << key;
        }

        // Constraints as openssl lists them; a version 1 certificate states none.
        const std::string& ext = v.count("ext") ? v.at("ext") : std::string();
        uint32_t isCA = 9, usage = 9;
        int32_t pathLength = 9;
        const int64_t hasConstraints = X509_GetBasicConstraints(cert->handle, &isCA, &pathLength);
        EXPECT_EQ(hasConstraints, ext.find("Basic Constraints") != std::string::npos ? 1 : 0);
        EXPECT_EQ(isCA, ext.find("CA:TRUE") != std::string::npos ? 1u : 0u);
        const size_t pathAt = ext.find("pathlen:");
        EXPECT_EQ(pathLength, pathAt == std::string::npos ? -1 : atoi(ext.c_str() + pathAt + 8));
        EXPECT_EQ(X509_GetKeyUsage(cert->handle, &usage), ext.find("Key Usage") != std::string::npos ? 1 : 0);
        const std::pair<const char*, uint32_t> usages[] = {{"Digital Signature", X509_KEY_USAGE_DIGITAL_SIGNATURE},
                                                           {"Key Encipherment", X509_KEY_USAGE_KEY_ENCIPHERMENT},
                                                           {"Certificate Sign", X509_KEY_USAGE_KEY_CERT_SIGN},
                                                           {"CRL Sign", X509_KEY_USAGE_CRL_SIGN}};
        for (const auto& [text, bit] : usages)
            EXPECT_EQ((usage & bit) != 0, ext.find(text) != std::string::npos) << text;
        int32_t version = -1;
        X509_GetVersion(cert->handle, &version);
        EXPECT_EQ(version, ext.find("X509v3") != std::string::npos || name == "ecleaf" ? 2 : 0);
    }
}

TEST_F(X509Test, DumpPrintsNamesSerialAndThumbprints) {
    auto cert = Load("leaf");
    const auto& v = g_fixture->Certs.at("leaf").Values;
    X509_Dump(cert->handle);
    const std::string log = TakeLog();
    BigInt* serial = nullptr;
    X509_GetSerialNumberHandle(cert->handle, &serial);
    char hex[128] = {};
    BigInt_ExportHex(serial, hex, sizeof(hex));
    const std::string lines[] = {"Common Name - leaf.example.net\n",
                                 "Organization - Leaf Org\n",
                                 std::string("Serial Number - ") + hex + "\n",
                                 "SHA1 Thumbprint - " + v.at("sha1") + "\n",
                                 "SHA1 Base64 Thumbprint - " + v.at("sha1b64") + "\n",
                                 "SHA256 Thumbprint - " + v.at("sha256") + "\n",
                                 "SHA256 Base64 Thumbprint - " + v.at("sha256b64") + "\n"};
    size_t at = 0;
    for (const auto& line : lines) {
        const size_t found = log.find(line, at);
        EXPECT_NE(found, std::string::npos) << line << " in order, in\n" << log;
        if (found != std::string::npos) at = found;
    }
    EXPECT_EQ(log.find("Organization Unit"), std::string::npos) << "an empty name part is not printed";
}

TEST_F(X509Test, SignaturesVerifyOnlyWithTheIssuersKeyAndNeverWithMd5) {
    const struct {
        const char* Issuer;
        const char* Cert;
        int64_t Verified;
    } cases[] = {
        {"ca", "leaf", 1},     {"ca", "ca", 1},      {"ecca", "ecleaf", 1}, {"ec256", "ec256", 1},
        {"leaf", "leaf", 0},   {"ca", "ecleaf", 0},  {"ecca", "leaf", 0},   {"ec256", "ecleaf", 0},
        {"old", "old", 0}, // a good RSA signature, but over an MD5 digest
    };
    for (const auto& c : cases) {
        auto issuer = Load(c.Issuer);
        auto cert = Load(c.Cert);
        EXPECT_EQ(X509_VerifyIssued(issuer->handle, cert->handle), c.Verified) << c.Issuer << " " << c.Cert;
    }
    auto old = Load("old");
    const HashInterface* record = nullptr;
    EXPECT_EQ(X509_GetHashInterface(old->handle, &record), 1) << "an MD5 certificate is still read";
    EXPECT_STREQ(record->Name, "MD5");
}

TEST_F(X509Test, HostsMatchAltNamesElseTheCommonName) {
    const struct {
        const char* Cert;
        const char* Host;
        int64_t Match;
    } cases[] = {
        {"leaf", "www.example.com", 1},
        {"leaf", "WWW.Example.COM", 1},
        {"leaf", "a.example.org", 1},
        {"leaf", "a.b.example.org", 0}, // one label only
        {"leaf", "example.org", 0},
        {"leaf", "leaf.example.net", 0}, // the CN counts only without dNSNames
        {"leaf", "10.0.0.1", 1},         // its iPAddress entry
        {"leaf", "10.0.0.2", 0},
        {"leaf", "", 0},
        {"ec256", "a.wild.example.com", 1}, // version 1: the CN is the name
        {"ec256", "A.WILD.example.com", 1},
        {"ec256", "x.y.wild.example.com", 0},
        {"ec256", "wild.example.com", 0},
        {"ecleaf", "host.example.com", 1},
        {"ecleaf", "nomatch.example.net", 0},
        {"old", "old.example.com", 1},
        {"old", "old.example.co", 0},
    };
    for (const auto& c : cases) {
        auto cert = Load(c.Cert);
        EXPECT_EQ(X509_CompareSubjectName(cert->handle, c.Host), c.Match) << c.Cert << " " << c.Host;
    }
}

// ---- Certificates assembled here ------------------------------------------------------------

std::string Tlv(uint8_t tag, const std::string& body) {
    std::string out(1, (char)tag);
    if (body.size() < 128) {
        out += (char)body.size();
    } else if (body.size() < 256) {
        out += (char)0x81;
        out += (char)body.size();
    } else {
        out += (char)0x82;
        out += (char)(body.size() >> 8);
        out += (char)(body.size() & 0xFF);
    }
    return out + body;
}

std::string Seq(const std::string& body) {
    return Tlv(0x30, body);
}

std::string Bytes(const char* hex) {
    std::string out;
    for (const char* p = hex; p[0] && p[1]; p += 2) out += (char)std::stoi(std::string(p, 2), nullptr, 16);
    return out;
}

const std::string kSha256Rsa = Tlv(0x06, Bytes("2a864886f70d01010b"));
const std::string kSha1Rsa = Tlv(0x06, Bytes("2a864886f70d010105"));
const std::string kEcdsaSha256 = Tlv(0x06, Bytes("2a8648ce3d040302"));
const std::string kDsaSha1 = Tlv(0x06, Bytes("2a8648ce380403"));

std::string Name(uint8_t attribute, const std::string& value) {
    return Seq(Tlv(0x31, Seq(Tlv(0x06, std::string("\x55\x04", 2) + (char)attribute) + Tlv(0x0C, value))));
}

std::string Extension(const char* oidHex, bool critical, const std::string& value) {
    return Seq(Tlv(0x06, Bytes(oidHex)) + (critical ? Tlv(0x01, "\xff") : "") + Tlv(0x04, value));
}

std::string SanDns(const std::vector<std::string>& names) {
    std::string body;
    for (const auto& n : names) body += Tlv(0x82, n);
    return Seq(body);
}

struct Parts {
    int Version = 2; // -1: no version field
    std::string Inner = kEcdsaSha256;
    std::string Outer = kEcdsaSha256;
    std::string Subject = Name(3, "host.example.com");
    std::string NotBefore = Tlv(0x17, "240101000000Z");
    std::string NotAfter = Tlv(0x17, "340101000000Z");
    std::string Extensions; // the Extensions SEQUENCE's contents; empty: none
};

std::string Assemble(const Parts& p) {
    std::string tbs;
    if (p.Version >= 0) tbs += Tlv(0xA0, Tlv(0x02, std::string(1, (char)p.Version)));
    tbs += Tlv(0x02, "\x01\x02");
    tbs += Seq(p.Inner);
    tbs += Name(3, "Issuer");
    tbs += Seq(p.NotBefore + p.NotAfter);
    tbs += p.Subject;
    tbs += g_fixture->Spki;
    if (!p.Extensions.empty()) tbs += Tlv(0xA3, Seq(p.Extensions));
    return Seq(Seq(tbs) + Seq(p.Outer) + Tlv(0x03, std::string(1, '\0') + std::string(70, '\x5a')));
}

TEST_F(X509Test, BuildRefusesWhatItCannotActOn) {
    Parts countryOnly;
    countryOnly.Subject = Name(6, "US");
    countryOnly.Extensions = Extension("551d13", false, Seq(""));
    Parts countryOnlyV1 = countryOnly;
    countryOnlyV1.Version = -1;
    countryOnlyV1.Extensions.clear();
    Parts criticalSan;
    criticalSan.Extensions = Extension("551d11", true, SanDns({"host.example.com"}));
    Parts mismatch;
    mismatch.Inner = kSha256Rsa;
    mismatch.Outer = kSha1Rsa;
    Parts dsa;
    dsa.Inner = dsa.Outer = kDsaSha1;
    Parts v1;
    v1.Version = -1;
    const struct {
        const char* What;
        Parts P;
        int64_t Built;
    } cases[] = {
        {"plain v3", Parts(), 1},
        {"v1", v1, 1},
        {"subject with only a country, v3", countryOnly, 0},
        {"subject with only a country, v1", countryOnlyV1, 0},
        {"critical subjectAltName", criticalSan, 0},
        {"algorithms differ", mismatch, 0},
        {"DSA", dsa, 0},
    };
    for (const auto& c : cases) {
        Cert cert;
        X509_SetVerbose(cert.handle, 1);
        cert.built = cert.Build(Assemble(c.P));
        EXPECT_EQ(cert.built, c.Built) << c.What;
        int32_t version = -1;
        X509_GetVersion(cert.handle, &version);
        if (c.Built) {
            EXPECT_EQ(version, c.P.Version < 0 ? 0 : c.P.Version) << c.What;
        }
    }
    EXPECT_NE(TakeLog().find("Unsupported crypto algorithm 1.2.840.10040.4.3"), std::string::npos);
}

TEST_F(X509Test, ValidityReadsBothCenturiesAndGeneralizedTime) {
    const struct {
        std::string NotBefore, NotAfter;
        int64_t Read;
        double Before, After;
    } cases[] = {
        {Tlv(0x17, "500101000000Z"), Tlv(0x17, "491231235959Z"), 1, -631152000.0, 2524607999.0},
        {Tlv(0x17, "991231235959Z"), Tlv(0x18, "20500101000000Z"), 1, 946684799.0, 2524608000.0},
        {Tlv(0x18, "19700101000000.5Z"), Tlv(0x18, "99991231235959Z"), 1, 0.0, 253402300799.0},
        {Tlv(0x17, "240229120000Z"), Tlv(0x17, "2401011200Z"), 1, 1709208000.0, 1704110400.0},
        {Tlv(0x17, "230229120000Z"), Tlv(0x17, "340101000000Z"), 0, 0, 0}, // no 29 February in 2023
        {Tlv(0x17, "241301000000Z"), Tlv(0x17, "340101000000Z"), 0, 0, 0},
        {Tlv(0x17, "240101000000+0100"), Tlv(0x17, "340101000000Z"), 0, 0, 0},
        {Tlv(0x02, "\x01"), Tlv(0x17, "340101000000Z"), 0, 0, 0},
    };
    for (const auto& c : cases) {
        Parts p;
        p.NotBefore = c.NotBefore;
        p.NotAfter = c.NotAfter;
        Cert cert(Assemble(p));
        EXPECT_EQ(cert.built, 1) << "a time it cannot read does not stop the build";
        double before = -1, after = -1;
        EXPECT_EQ(X509_GetValidity(cert.handle, &before, &after), c.Read) << c.NotBefore.substr(2);
        EXPECT_EQ(before, c.Before) << c.NotBefore.substr(2);
        EXPECT_EQ(after, c.After) << c.NotAfter.substr(2);
    }
}

TEST_F(X509Test, ConstraintsReadFailClosed) {
    const std::string caTrue = Tlv(0x01, "\xff");
    const struct {
        const char* What;
        std::string Extensions;
        int64_t HasConstraints;
        uint32_t IsCA;
        int32_t PathLength;
        int64_t HasUsage;
        uint32_t Usage;
    } cases[] = {
        {"none", "", 0, 0, -1, 0, 0},
        {"CA, pathlen 0, keyCertSign", Extension("551d13", true, Seq(caTrue + Tlv(0x02, std::string(1, '\0')))) +
                                           Extension("551d0f", true, Tlv(0x03, "\x01\x06")),
         1, 1, 0, 1, X509_KEY_USAGE_KEY_CERT_SIGN | X509_KEY_USAGE_CRL_SIGN},
        {"not CA", Extension("551d13", false, Seq("")), 1, 0, -1, 0, 0},
        {"decipherOnly in the second byte", Extension("551d0f", false, Tlv(0x03, std::string("\x07\x80\x80", 3))),
         0, 0, -1, 1, X509_KEY_USAGE_DIGITAL_SIGNATURE | X509_KEY_USAGE_DECIPHER_ONLY},
        {"trailing bytes", Extension("551d13", false, Seq(caTrue) + std::string(1, '\0')), 1, 0, -1, 0, 0},
        {"negative path length", Extension("551d13", false, Seq(caTrue + Tlv(0x02, "\xff"))), 1, 0, -1, 0, 0},
        {"repeated", Extension("551d13", false, Seq(caTrue)) + Extension("551d13", false, Seq(caTrue)), 1, 0, -1,
         0, 0},
        {"usage not a BIT STRING", Extension("551d0f", false, Tlv(0x04, "\x00\x80")), 0, 0, -1, 1, 0},
    };
    for (const auto& c : cases) {
        Parts p;
        p.Extensions = c.Extensions;
        Cert cert(Assemble(p));
        ASSERT_EQ(cert.built, 1) << c.What;
        uint32_t isCA = 9, usage = 9;
        int32_t pathLength = 9;
        EXPECT_EQ(X509_GetBasicConstraints(cert.handle, &isCA, &pathLength), c.HasConstraints) << c.What;
        EXPECT_EQ(isCA, c.IsCA) << c.What;
        EXPECT_EQ(pathLength, c.PathLength) << c.What;
        EXPECT_EQ(X509_GetKeyUsage(cert.handle, &usage), c.HasUsage) << c.What;
        EXPECT_EQ(usage, c.Usage) << c.What;
    }
}

TEST_F(X509Test, WildcardsCoverOneLabelAboveARegisteredName) {
    const struct {
        std::string Subject;
        std::vector<std::string> Dns; // empty: no subjectAltName
        std::string Host;
        int64_t Match;
    } cases[] = {
        {"*.b.c", {}, "a.b.c", 1},
        {"*.b.c", {}, "b.c", 0},
        {"*.b.c", {}, "x.y.b.c", 0},
        {"*.b.c", {}, ".b.c", 0},
        {"*", {}, "anything", 0},
        {"*.com", {}, "example.com", 0},
        {"*.co.uk", {}, "example.co.uk", 0},
        {"*.example.uk", {}, "www.example.uk", 1},
        {"f*.example.com", {}, "foo.example.com", 0},
        {"a.*.example.com", {}, "a.b.example.com", 0},
        {"*.*.example.com", {}, "a.b.example.com", 0},
        {"*.1.2.3", {}, "4.1.2.3", 0},
        {"\\*.b.c", {}, "*.b.c", 0},
        {"cn.example.com", {"other.example.com"}, "cn.example.com", 0},
        {"cn.example.com", {"other.example.com", "*.example.com"}, "x.example.com", 1},
        {"cn.example.com", {std::string("good.example.com\0.evil.com", 26)}, "good.example.com", 0},
        {"cn.example.com", {std::string(400, 'a')}, std::string(319, 'a'), 0},
    };
    for (const auto& c : cases) {
        Parts p;
        p.Subject = Name(3, c.Subject);
        if (!c.Dns.empty()) p.Extensions = Extension("551d11", false, SanDns(c.Dns));
        Cert cert(Assemble(p));
        ASSERT_EQ(cert.built, 1) << c.Subject;
        EXPECT_EQ(X509_CompareSubjectName(cert.handle, c.Host.c_str()), c.Match) << c.Subject << " " << c.Host;
    }
}

// Address hosts against iPAddress entries only, and never the common name once the
// certificate carries alternative names.
TEST_F(X509Test, AddressesMatchOnlyAddressEntriesAndAltNamesHideTheCommonName) {
    const std::string ip127 = Tlv(0x87, Bytes("7f000001"));
    const struct {
        const char* What;
        std::string Subject;
        std::string San; // GeneralNames contents; empty: no subjectAltName
        const char* Host;
        int64_t Match;
    } cases[] = {
        {"address entry", "localhost", ip127, "127.0.0.1", 1},
        {"CN beside an address entry", "localhost", ip127, "localhost", 0},
        {"CN naming the address beside another", "127.0.0.1", Tlv(0x87, Bytes("0a000001")), "127.0.0.1", 0},
        {"dNSName written as the address", "localhost", Tlv(0x82, "127.0.0.1"), "127.0.0.1", 0},
        {"CN written as the address", "127.0.0.1", "", "127.0.0.1", 0},
        {"IPv6 form of the address", "localhost", Tlv(0x87, Bytes("00000000000000000000ffff7f000001")),
         "127.0.0.1", 0},
        {"entry of five bytes", "localhost", Tlv(0x87, Bytes("7f00000100")), "127.0.0.1", 0},
        {"short form of the address", "localhost", ip127, "127.1", 0},
        {"leading zero", "localhost", ip127, "127.0.0.01", 0},
        {"trailing dot", "localhost", ip127, "127.0.0.1.", 0},
        {"name beside an address entry", "cn.example.com", ip127 + Tlv(0x82, "a.example.com"), "a.example.com", 1},
        {"no entry of the host's kind", "cn.example.com", Tlv(0x81, "me@cn.example.com"), "cn.example.com", 0},
    };
    for (const auto& c : cases) {
        Parts p;
        p.Subject = Name(3, c.Subject);
        if (!c.San.empty()) p.Extensions = Extension("551d11", false, Seq(c.San));
        Cert cert(Assemble(p));
        ASSERT_EQ(cert.built, 1) << c.What;
        EXPECT_EQ(X509_CompareSubjectName(cert.handle, c.Host), c.Match) << c.What;
    }
}

TEST_F(X509Test, ComparesByBytesAndByNames) {
    const std::string der = Assemble(Parts());
    std::string changed = der;
    changed[changed.size() - 1] ^= 1; // one byte of the signature
    Cert first(der), second(changed), same(der);
    ASSERT_EQ(second.built, 1);
    EXPECT_EQ(X509_Compare(first.handle, same.handle), 1);
    EXPECT_EQ(X509_Compare(first.handle, second.handle), 0);
    X500* subject = nullptr;
    X500* issuer = nullptr;
    BigInt* serial = nullptr;
    X509_GetSubjectHandle(second.handle, &subject);
    X509_GetIssuerHandle(second.handle, &issuer);
    X509_GetSerialNumberHandle(second.handle, &serial);
    EXPECT_EQ(X509_CompareBySubjectAndSerialNumber(first.handle, subject, serial), 1);
    EXPECT_EQ(X509_CompareByIssuerAndSerialNumber(first.handle, issuer, serial), 1);
    EXPECT_EQ(X509_CompareByIssuerAndSerialNumber(first.handle, subject, serial), 0);
    EXPECT_EQ(X509_CompareIssuer(first.handle, second.handle), 0);
    auto ca = Load("ca");
    auto leaf = Load("leaf");
    EXPECT_EQ(X509_CompareIssuer(leaf->handle, ca->handle), 1);
    EXPECT_EQ(X509_CompareIssuer(ca->handle, leaf->handle), 0);
}

TEST_F(X509Test, BadInputFailsCleanlyAndLeavesNothingToVerify) {
    const std::string der = g_fixture->Der("leaf");
    auto ca = Load("ca");
    Cert cert;
    // Every cut of a good certificate fails, and a failed rebuild forgets the good one.
    for (size_t length = 0; length < der.size(); length += (length < 64 ? 1 : 7)) {
        ASSERT_EQ(cert.Build(der), 1);
        EXPECT_EQ(cert.Build(der.substr(0, length)), 0) << length;
        EXPECT_EQ(X509_VerifyIssued(ca->handle, cert.handle), 0) << length;
        CryptAsymmetric* key = nullptr;
        EXPECT_EQ(X509_GetCryptAsymmetricHandle(cert.handle, &key), 0) << length;
        EXPECT_EQ(X509_CompareSubjectName(cert.handle, "www.example.com"), 0) << length;
    }
    // Bytes after the certificate are not part of it.
    EXPECT_EQ(cert.Build(der + "trailing"), 1);
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
    X509_GetASN1(cert.handle, &bytes, &length);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), length), der);

    // A stray byte closing the outer SEQUENCE is passed over by the tree but belongs to the
    // encoding: the copy and the thumbprint cover the element as its header declares it.
    const std::string assembled = Assemble(Parts());
    const size_t header = (assembled[1] & 0x80) ? 2 + (assembled[1] & 0x7F) : 2;
    const std::string body = assembled.substr(header) + std::string(1, '\0');
    const std::string stray = Tlv(0x30, body);
    ASSERT_EQ(cert.Build(stray), 1);
    X509_GetASN1(cert.handle, &bytes, &length);
    EXPECT_EQ(length, stray.size());
    Cert copy;
    EXPECT_EQ(X509_Copy(copy.handle, cert.handle), 1);
    EXPECT_EQ(X509_Compare(copy.handle, cert.handle), 1);

    std::string huge(X509_MAX_DER_SIZE + 1u, '\0');
    memcpy(&huge[0], der.data(), der.size());
    EXPECT_EQ(cert.Build(huge), 0);

    const auto pem = ReadFile(g_fixture->Dir.file("leaf.pem"));
    size_t begin = pem.find('\n') + 1;
    const std::string base64 = pem.substr(begin, pem.find("-----END") - begin);
    const struct {
        std::string Text;
        int64_t Built;
    } texts[] = {
        {base64, 1},                             // lines end in LF
        {[&] {
             std::string crlf;
             for (char c : base64) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
             return crlf;
         }(),
         1},
        {pem, 0},                                // no PEM armour
        {base64.substr(0, base64.size() / 2), 0},
        {"@@@@", 0},
        {"", 0},
        {"AAAA", 0},
    };
    for (const auto& t : texts) {
        EXPECT_EQ(X509_BuildFromBase64(cert.handle, t.Text.data(), (uint32_t)t.Text.size()), t.Built)
            << t.Text.substr(0, 20);
        if (t.Built) {
            EXPECT_EQ(X509_VerifyIssued(ca->handle, cert.handle), 1);
        }
    }
}

TEST_F(X509Test, FilesRoundTripAndBadFilesAreNamed) {
    auto leaf = Load("leaf");
    const std::string saved = g_fixture->Dir.file("saved.der");
    EXPECT_EQ(X509_Save(leaf->handle, saved.c_str()), 1);
    EXPECT_EQ(ReadFile(saved), g_fixture->Der("leaf"));
    Cert cert;
    EXPECT_EQ(X509_BuildFromFile(cert.handle, saved.c_str()), 1);
    EXPECT_EQ(X509_Compare(cert.handle, leaf->handle), 1);
    Cert copy;
    EXPECT_EQ(X509_Copy(copy.handle, leaf->handle), 1);
    EXPECT_EQ(X509_Compare(copy.handle, leaf->handle), 1);
    // From a decoded tree: its root, or the certificate's own node.
    const std::string der = g_fixture->Der("leaf");
    ASN1* tree = nullptr;
    ASN1_Create(&tree);
    ASSERT_EQ(ASN1_Decode(tree, reinterpret_cast<const uint8_t*>(der.data()), (uint32_t)der.size()), 1);
    for (ASN1* node : {tree, ASN1_GetElement(tree, 0)}) {
        Cert fromNode;
        EXPECT_EQ(X509_Build(fromNode.handle, node), 1);
        EXPECT_EQ(X509_Compare(fromNode.handle, leaf->handle), 1);
    }
    Cert fromString;
    EXPECT_EQ(X509_Build(fromString.handle, ASN1_GetElement(ASN1_GetElement(tree, 0), 0)), 0) << "a tbsCertificate";
    ASN1_Release(&tree);

    Cert empty;
    EXPECT_EQ(X509_Save(empty.handle, saved.c_str()), 0) << "nothing to save";
    EXPECT_EQ(ReadFile(saved), g_fixture->Der("leaf")) << "and the file is left alone";

    const std::string zero = g_fixture->Dir.file("zero.der");
    const std::string junk = g_fixture->Dir.file("leaf.key");
    { std::ofstream(zero.c_str()); }
    TakeLog();
    EXPECT_EQ(X509_BuildFromFile(cert.handle, g_fixture->Dir.file("missing.der").c_str()), 0);
    EXPECT_EQ(X509_BuildFromFile(cert.handle, zero.c_str()), 0);
    EXPECT_EQ(X509_BuildFromFile(cert.handle, junk.c_str()), 0);
    const std::string log = TakeLog();
    EXPECT_EQ(log.find("missing.der"), std::string::npos) << "a missing file fails silently";
    EXPECT_NE(log.find("Invalid size for file [" + zero + "] (0)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Invalid certificate file [" + junk + "]\n"), std::string::npos) << log;
    EXPECT_EQ(X509_Save(leaf->handle, (g_fixture->Dir.path() + "/leaf.der/x").c_str()), 0);
    EXPECT_NE(TakeLog().find("Unable to open file (" + g_fixture->Dir.path() + "/leaf.der/x)"), std::string::npos);
}

} // namespace
