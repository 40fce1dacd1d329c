// Tests of the certificate bag and its trust walk over openssl-made chains: the order the store is
// asked in, signatures, issuers that may not issue, validity dates, weak digests, loops and a
// bag of a thousand certificates; and the lookups of the bag.
#include "core/certs/x509_chain.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/certs/authenticate.h"
#include "tests/support/cert_chains.h"
#include "tests/support/log_capture.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);
CertChains* g_certs = nullptr;

std::vector<std::string> Split(const std::string& names) {
    std::vector<std::string> out;
    std::istringstream in(names);
    for (std::string name; in >> name;) out.push_back(name);
    return out;
}

std::string DerOf(X509* cert) {
    const uint8_t* der = nullptr;
    uint32_t length = 0;
    X509_GetASN1(cert, &der, &length);
    return std::string(reinterpret_cast<const char*>(der), length);
}

// A store that trusts certificates by their bytes, gives a final no for others, and records the
// names it is asked about.
struct TrustBytes {
    CertStoreInterface* Interface = nullptr;
    std::set<std::string> Trusted, Refused;
    std::vector<std::pair<std::string, std::string>> Names; // DER, name
    std::string Asked;

    TrustBytes(const std::string& trusted, const std::string& refused) {
        for (const auto& name : Split(trusted)) Trusted.insert(g_certs->Der(name));
        for (const auto& name : Split(refused)) Refused.insert(g_certs->Der(name));
        CertStoreInterface_Create(&Interface);
        CertStoreInterface_SetAddRefCallback(Interface, this, [](CertStoreInterface* h, void*) { return h; });
        CertStoreInterface_SetReleaseCallback(Interface, this, [](CertStoreInterface** h, void*) -> int64_t {
            *h = nullptr;
            return 1;
        });
        CertStoreInterface_SetX509IsTrustedCallback(
            Interface, this, [](CertStoreInterface*, void* s, X509* cert, uint32_t* stop) -> int64_t {
                auto* store = static_cast<TrustBytes*>(s);
                const std::string der = DerOf(cert);
                std::string name = "?";
                for (const auto& [bytes, known] : store->Names)
                    if (bytes == der) name = known;
                store->Asked += (store->Asked.empty() ? "" : " ") + name;
                *stop = store->Refused.count(der) ? 1 : 0;
                return store->Trusted.count(der) ? 1 : 0;
            });
        CertStoreInterface_SetX509IsTrustedJWSCallback(
            Interface, this,
            [](CertStoreInterface*, void*, Dictionary*, CryptAsymmetric**, uint32_t*) -> int64_t { return 0; });
    }
    ~TrustBytes() { CertStoreInterface_Delete(&Interface); }
};

struct Bag {
    X509Chain* Chain = nullptr;
    Bag() { X509Chain_Create(&Chain); }
    explicit Bag(const std::string& names) : Bag() {
        for (const auto& name : Split(names)) Add(g_certs->Der(name));
    }
    ~Bag() { X509Chain_Release(&Chain); }
    void Add(const std::string& der) {
        X509* cert = nullptr;
        X509_Create(&cert);
        EXPECT_EQ(X509_BuildFromBuffer(cert, reinterpret_cast<const uint8_t*>(der.data()), (uint32_t)der.size()), 1);
        X509Chain_Add(Chain, cert);
        X509_Release(&cert);
    }
    X509* At(int32_t index) {
        X509* cert = nullptr;
        X509Chain_Get(Chain, index, &cert);
        return cert;
    }
};

class X509ChainTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!g_certs) g_certs = new CertChains;
    }
    static void TearDownTestSuite() {
        delete g_certs;
        g_certs = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(g_certs->Made) << "openssl made the certificates";
        Authenticate_SetEnabled(1);
    }
    void TearDown() override { Authenticate_SetEnabled(1); }
};

struct WalkCase {
    const char* What;
    const char* Bag;     // names; the walk starts at the first
    const char* Trusted; // names the store trusts
    const char* Refused; // names the store refuses with stop
    int64_t Expected;
    const char* Asked; // names asked, in order (null: not checked)
};

TEST_F(X509ChainTest, WalkAsksInOrderAndChecksEveryIssuer) {
    const WalkCase cases[] = {
        {"store trusts the leaf", "leaf ica root", "leaf", "", 1, "leaf"},
        {"root trusted", "leaf ica root", "root", "", 1, "leaf ica root"},
        {"nothing trusted", "leaf ica root", "", "", 0, "leaf ica root root"},
        {"issuer did not sign", "leaf_forged ica root", "root", "", 0, "leaf"},
        {"final no for the leaf", "leaf ica root", "root", "leaf", 0, "leaf"},
        {"issuer missing", "leaf root", "root", "", 0, "leaf leaf"},
        {"final no for the intermediate", "leaf ica root", "root", "ica", 0, "leaf ica"},
        {"RSA chain", "leaf_rsa ica_rsa root", "root", "", 1, "leaf ica_rsa root"},
        {"bag order does not matter", "leaf root ica", "root", "", 1, "leaf ica root"},
        {"issuer with cA false", "leaf_noca ica_noca root", "root", "", 0, "leaf"},
        {"issuer without keyCertSign", "leaf_noku ica_noku root", "root", "", 0, "leaf"},
        {"version 3 issuer without basicConstraints", "leaf_nobc ica_nobc root", "root", "", 0, "leaf"},
        {"version 1 root", "leaf_v1 v1root", "v1root", "", 1, "leaf v1root"},
        {"version 1 root not trusted", "leaf_v1 v1root", "", "", 0, "leaf v1root v1root"},
        {"version 1 intermediate", "leaf_v1ica v1ica root", "root", "", 0, "leaf v1ica v1ica"},
        {"path length 0 with a leaf below", "leaf_pl0 ica_pl0 root", "root", "", 1, nullptr},
        {"path length 0 with a CA below", "leaf_pl ica_under_pl0 ica_pl0 root", "root", "", 0, "leaf ica_under_pl0"},
        {"expired leaf", "leaf_expired ica root", "leaf_expired root", "", 0, ""},
        {"leaf not yet valid", "leaf_notyet ica root", "leaf_notyet root", "", 0, ""},
        {"expired intermediate", "leaf_under_expired ica_expired root", "root", "", 0, "leaf"},
        {"expired root", "leaf_under_expired_root root_expired", "root_expired", "", 0, "leaf"},
        {"MD5 signature", "leaf_md5 ica_rsa root", "root", "", 0, "leaf"},
        {"issuers that sign each other", "leaf_cy cyA cyB", "root", "", 0, "leaf cyA cyB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        Bag bag(c.Bag);
        TrustBytes store(c.Trusted, c.Refused);
        for (const auto& name : Split(c.Bag)) store.Names.emplace_back(g_certs->Der(name), name);
        // The walk names certificates by their role: the leaf is the first of every bag.
        store.Names.front().second = "leaf";
        EXPECT_EQ(X509Chain_VerifyX509(bag.Chain, bag.At(0), store.Interface), c.Expected);
        if (c.Asked) {
            EXPECT_EQ(store.Asked, c.Asked);
        }
    }
}

TEST_F(X509ChainTest, SwitchOffTrustsWithoutLooking) {
    Bag bag("leaf_expired ica root");
    TrustBytes store("", "leaf_expired");
    Authenticate_SetEnabled(0);
    EXPECT_EQ(X509Chain_VerifyX509(bag.Chain, bag.At(0), store.Interface), 1);
    EXPECT_EQ(store.Asked, "");
}

TEST_F(X509ChainTest, ThousandCertificateBagEndsWithNo) {
    // One key signs a line of CAs, each the issuer of the next: every link verifies, the root is
    // trusted, and only the length of the path can refuse.
    const char* script = R"PY(
import datetime, sys
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID
key = ec.generate_private_key(ec.SECP256R1())
now = datetime.datetime.now(datetime.timezone.utc)
out = sys.stdout
for i in range(1000):
    name = lambda n: x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Deep %d" % n)])
    cert = (x509.CertificateBuilder().subject_name(name(i)).issuer_name(name(max(i - 1, 0)))
            .public_key(key.public_key()).serial_number(i + 1)
            .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .sign(key, hashes.SHA256()))
    out.write(cert.public_bytes(serialization.Encoding.DER).hex() + "\n")
)PY";
    auto out = RunOracle("python3 -", script, 120);
    ASSERT_TRUE(out.has_value());
    std::vector<std::string> ders;
    std::istringstream lines(*out);
    for (std::string hex; lines >> hex;) {
        std::string der;
        for (size_t i = 0; i + 1 < hex.size(); i += 2) der += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
        ders.push_back(der);
    }
    ASSERT_EQ(ders.size(), 1000u);
    struct Case {
        size_t Count;
        int64_t Expected;
    } cases[] = {{X509CHAIN_MAX_PATH, 1}, {X509CHAIN_MAX_PATH + 1, 0}, {1000, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Count);
        Bag bag;
        for (size_t i = c.Count; i-- > 0;) bag.Add(ders[i]);
        TrustBytes store("", "");
        store.Trusted.insert(ders[0]);
        EXPECT_EQ(X509Chain_VerifyX509(bag.Chain, bag.At(0), store.Interface), c.Expected);
    }
}

std::string Sequence(const std::string& content) {
    std::string out = "\x30\x82";
    out += (char)(content.size() >> 8);
    out += (char)(content.size() & 0xFF);
    return out + content;
}

// Decodes the SEQUENCE and builds the chain from it.
int64_t BuildFrom(X509Chain* chain, const std::string& der) {
    ASN1* tree = nullptr;
    ASN1_Create(&tree);
    ASN1_Decode(tree, reinterpret_cast<const uint8_t*>(der.data()), (uint32_t)der.size());
    const int64_t result = X509Chain_Build(chain, tree->Head);
    ASN1_Release(&tree);
    return result;
}

TEST_F(X509ChainTest, BuildStopsAtAChildWithoutChildrenAndFailsOnABadOne) {
    const std::string leaf = g_certs->Der("leaf"), ica = g_certs->Der("ica"), root = g_certs->Der("root");
    const struct {
        std::string Content;
        int64_t Result;
        uint32_t Count;
    } cases[] = {
        {leaf + ica + root, 1, 3},
        {leaf + std::string("\x05\x00", 2) + root, 1, 1},
        {"", 1, 0},
        {leaf + Sequence(std::string("\x02\x01\x01", 3)) + root, 0, 0},
    };
    for (const auto& c : cases) {
        Bag bag("root");
        EXPECT_EQ(BuildFrom(bag.Chain, Sequence(c.Content)), c.Result);
        EXPECT_EQ(X509Chain_Count(bag.Chain), c.Count);
    }
}

TEST_F(X509ChainTest, LookupsAnswerTheFirstEntryThatFits) {
    Bag bag("leaf ica root leaf_rsa");
    EXPECT_EQ(X509Chain_Count(bag.Chain), 4u);
    const struct {
        int32_t Index;
        const char* Name;
    } gets[] = {{0, "leaf"}, {2, "root"}, {3, "leaf_rsa"}, {4, nullptr}, {-1, nullptr}};
    for (const auto& g : gets) {
        X509* cert = reinterpret_cast<X509*>(1);
        EXPECT_EQ(X509Chain_Get(bag.Chain, g.Index, &cert), g.Name ? 1 : 0);
        if (g.Name) {
            EXPECT_EQ(DerOf(cert), g_certs->Der(g.Name));
        } else {
            EXPECT_EQ(cert, nullptr);
        }
    }

    X509* found = nullptr;
    ASSERT_EQ(X509Chain_IssuerFind(bag.Chain, bag.At(0), &found), 1);
    EXPECT_EQ(found, bag.At(1));
    ASSERT_EQ(X509Chain_IssuerFind(bag.Chain, bag.At(2), &found), 1);
    EXPECT_EQ(found, bag.At(2)) << "a self-issued root is its own issuer";
    EXPECT_EQ(X509Chain_IssuerFind(bag.Chain, bag.At(3), &found), 0) << "RSA ICA is not in the bag";
    EXPECT_EQ(found, nullptr);

    // leaf and leaf_rsa share a subject; the serial tells them apart.
    X500* subject = nullptr;
    X500* issuer = nullptr;
    BigInt* serial = nullptr;
    X509_GetSubjectHandle(bag.At(3), &subject);
    X509_GetIssuerHandle(bag.At(3), &issuer);
    X509_GetSerialNumberHandle(bag.At(3), &serial);
    EXPECT_EQ(X509Chain_SubjectAndSerialNumberFind(bag.Chain, subject, serial, &found), 1);
    EXPECT_EQ(found, bag.At(3));
    EXPECT_EQ(X509Chain_IssuerAndSerialNumberFind(bag.Chain, issuer, serial, &found), 1);
    EXPECT_EQ(found, bag.At(3));
    X509_GetIssuerHandle(bag.At(0), &issuer);
    EXPECT_EQ(X509Chain_IssuerAndSerialNumberFind(bag.Chain, issuer, serial, &found), 0);
    EXPECT_EQ(found, nullptr);

    EXPECT_EQ(X509Chain_Reset(bag.Chain), 1);
    EXPECT_EQ(X509Chain_Count(bag.Chain), 0u);
}

TEST_F(X509ChainTest, DumpPrintsEveryEntryInOrder) {
    Bag bag("leaf ica");
    TakeLog();
    EXPECT_EQ(X509Chain_Dump(bag.Chain), 1);
    const std::string log = TakeLog();
    const size_t leaf = log.find("Common Name - leaf.example.com");
    const size_t ica = log.find("Common Name - Chain ICA");
    ASSERT_NE(leaf, std::string::npos);
    ASSERT_NE(ica, std::string::npos);
    EXPECT_LT(leaf, ica);
}

} // namespace
