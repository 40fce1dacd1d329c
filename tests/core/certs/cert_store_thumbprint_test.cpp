// Tests of the thumbprint store: configured thumbprints of each length, what chain checks see, the
// run-time cache's expiry, size and renewal, and a cached certificate counting only for the store
// it was verified against and only while checking stays as it was.
#include "core/certs/cert_store_thumbprint.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/certs/authenticate.h"
#include "core/certs/x509.h"
#include "core/certs/x509_chain.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "core/formats/base64.h"
#include "core/runtime/dictionary.h"
#include "tests/support/cert_chains.h"
#include "tests/support/log_capture.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);
CertChains* g_certs = nullptr;
double g_now = 1000.0;

struct Cert {
    X509* Handle = nullptr;
    explicit Cert(const std::string& der) {
        X509_Create(&Handle);
        X509_BuildFromBuffer(Handle, reinterpret_cast<const uint8_t*>(der.data()), (uint32_t)der.size());
    }
    ~Cert() { X509_Release(&Handle); }
};

std::string Thumbprint64(const std::string& name, const HashInterface* record, size_t cut = 0) {
    Cert cert(g_certs->Der(name));
    uint8_t digest[64];
    X509_Thumbprint(cert.Handle, record, digest, (int32_t)record->DigestSize);
    char text[128];
    uint32_t written = 0;
    Base64_Encode(digest, (int32_t)(cut ? cut : record->DigestSize), text, (int32_t)sizeof(text), &written);
    return text;
}

// A store that only counts its references, to tell which cache entries hold it.
struct CountedStore {
    CertStoreInterface* Interface = nullptr;
    int References = 0;
    CountedStore() {
        CertStoreInterface_Create(&Interface);
        CertStoreInterface_SetAddRefCallback(Interface, this, [](CertStoreInterface* h, void* s) {
            static_cast<CountedStore*>(s)->References++;
            return h;
        });
        CertStoreInterface_SetReleaseCallback(Interface, this, [](CertStoreInterface** h, void* s) -> int64_t {
            static_cast<CountedStore*>(s)->References--;
            *h = nullptr;
            return 1;
        });
    }
    ~CountedStore() { CertStoreInterface_Delete(&Interface); }
};

class CertStoreThumbprintTest : public ::testing::Test {
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
        g_now = 1000.0;
        CertStoreThumbprint_SetClock([] { return g_now; });
        CertStoreThumbprint_Create(&store);
        TakeLog();
    }
    void TearDown() override {
        CertStoreThumbprint_Release(&store);
        CertStoreThumbprint_SetClock(nullptr);
        Authenticate_SetEnabled(1);
    }
    int64_t Configure(const std::vector<std::string>& values) {
        Dictionary* dict = nullptr;
        Dictionary_Create(&dict);
        for (size_t i = 0; i < values.size(); i++)
            Dictionary_SetStringByKey(dict, ("k" + std::to_string(i)).c_str(), values[i].c_str());
        const int64_t added = CertStoreThumbprint_TrustDictionary(store, dict);
        Dictionary_Release(&dict);
        return added;
    }
    CertStoreThumbprint* store = nullptr;
};

TEST_F(CertStoreThumbprintTest, DictionaryValuesNameTheirHashByLength) {
    const std::string sha1 = Thumbprint64("leaf", &SHA1_INTERFACE);
    const std::string sha384 = Thumbprint64("ica", &SHA384_INTERFACE);
    const std::string odd = Thumbprint64("root", &SHA1_INTERFACE, 10);
    EXPECT_EQ(Configure({sha1, "not*base64", odd, sha384}), 1);
    const std::string log = TakeLog();
    for (const std::string& line : std::vector<std::string>{"Unable to decode certificate base64 thumbprint (not*base64)\n",
                                    "Unable to detect hash for base64 thumbprint (" + odd + ")\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    const struct {
        const HashInterface* Record;
        int64_t Supported;
    } hashes[] = {{&SHA1_INTERFACE, 1}, {&SHA384_INTERFACE, 1}, {&SHA256_INTERFACE, 0}, {&SHA512_INTERFACE, 0}};
    for (const auto& h : hashes) EXPECT_EQ(CertStoreThumbprint_IsSupported(store, h.Record), h.Supported);
    EXPECT_EQ(Configure({}), 0);
    EXPECT_EQ(Configure({"!"}), 0);
}

TEST_F(CertStoreThumbprintTest, IsTrustedTriesOtherHashesOnlyWhenAsked) {
    // The leaf is signed with SHA-256; its SHA-1 thumbprint is configured.
    ASSERT_EQ(Configure({Thumbprint64("leaf", &SHA1_INTERFACE), Thumbprint64("ica", &SHA256_INTERFACE)}), 1);
    Cert leaf(g_certs->Der("leaf")), ica(g_certs->Der("ica")), root(g_certs->Der("root"));
    const struct {
        X509* Cert;
        uint32_t Other;
        int64_t Expected;
    } cases[] = {{leaf.Handle, 0, 0}, {leaf.Handle, 1, 1}, {ica.Handle, 0, 1}, {root.Handle, 1, 0}};
    for (const auto& c : cases) EXPECT_EQ(CertStoreThumbprint_IsTrusted(store, c.Cert, c.Other), c.Expected);
}

TEST_F(CertStoreThumbprintTest, ChainChecksSeeConfiguredThumbprintsNeverTheCache) {
    ASSERT_EQ(Configure({Thumbprint64("ica", &SHA256_INTERFACE)}), 1);
    CertStoreInterface* iface = CertStoreThumbprint_GetInterfaceHandle(store);
    X509Chain* chain = nullptr;
    X509Chain_Create(&chain);
    Cert leaf(g_certs->Der("leaf")), ica(g_certs->Der("ica")), leafRsa(g_certs->Der("leaf_rsa"));
    X509Chain_Add(chain, leaf.Handle);
    X509Chain_Add(chain, ica.Handle);
    EXPECT_EQ(X509Chain_VerifyX509(chain, leaf.Handle, iface), 1);
    CertStoreThumbprint_Trust(store, leafRsa.Handle);
    uint32_t stop = 1;
    EXPECT_EQ(CertStoreInterface_X509IsTrusted(iface, leafRsa.Handle, &stop), 0);
    EXPECT_EQ(stop, 0u);
    CryptAsymmetric* key = nullptr;
    EXPECT_EQ(CertStoreInterface_X509IsTrustedJWS(iface, nullptr, &key, &stop), 0);
    EXPECT_EQ(key, nullptr);
    X509Chain_Release(&chain);
    CertStoreInterface_Release(&iface);
}

TEST_F(CertStoreThumbprintTest, CachedCertificateExpiresAndIsRenewed) {
    // Configured too: an expired cache entry still answers no.
    ASSERT_EQ(Configure({Thumbprint64("leaf", &SHA256_INTERFACE)}), 1);
    Cert leaf(g_certs->Der("leaf"));
    uint8_t digest[32];
    X509_Thumbprint(leaf.Handle, &SHA256_INTERFACE, digest, 32);
    EXPECT_EQ(CertStoreThumbprint_Trust(store, leaf.Handle), 1);
    g_now += 1000;
    EXPECT_EQ(CertStoreThumbprint_Trust(store, leaf.Handle), 1);
    const struct {
        double At;
        int64_t Trusted;
        int64_t Held;
    } steps[] = {{2799, 1, 1}, {2800, 0, 0}, {2801, 1, 0}};
    for (const auto& s : steps) {
        g_now = 1000 + s.At;
        EXPECT_EQ(CertStoreThumbprint_IsTrusted(store, leaf.Handle, 0), s.Trusted) << s.At;
        EXPECT_EQ(CertStoreThumbprint_GetTrusted(store, digest, 32), s.Held) << s.At;
    }
}

TEST_F(CertStoreThumbprintTest, CacheKeepsTheNewest256) {
    // Certificates that differ in the last byte of their signature: each its own thumbprint.
    const std::string der = g_certs->Der("leaf");
    std::vector<Cert*> certs;
    for (int i = 0; i < 257; i++) {
        std::string changed = der;
        changed[changed.size() - 1] = (char)i;
        changed[changed.size() - 2] = (char)(i >> 8 | 0x10);
        certs.push_back(new Cert(changed));
        CertStoreThumbprint_Trust(store, certs.back()->Handle);
    }
    EXPECT_EQ(CertStoreThumbprint_IsTrusted(store, certs[0]->Handle, 0), 0);
    EXPECT_EQ(CertStoreThumbprint_IsTrusted(store, certs[1]->Handle, 0), 1);
    EXPECT_EQ(CertStoreThumbprint_IsTrusted(store, certs[256]->Handle, 0), 1);
    EXPECT_EQ(CertStoreThumbprint_Compact(store, 1), 1);
    EXPECT_EQ(CertStoreThumbprint_IsTrusted(store, certs[255]->Handle, 0), 0);
    EXPECT_EQ(CertStoreThumbprint_IsTrusted(store, certs[256]->Handle, 0), 1);
    for (Cert* cert : certs) delete cert;
}

TEST_F(CertStoreThumbprintTest, CachedTrustCountsOnlyUnderItsStoreAndSwitchState) {
    Cert leaf(g_certs->Der("leaf"));
    CountedStore a, b;
    EXPECT_EQ(CertStoreThumbprint_TrustUnder(store, leaf.Handle, a.Interface), 1);
    EXPECT_EQ(a.References, 1);
    const struct {
        CertStoreInterface* Under;
        int64_t Expected;
    } lookups[] = {{a.Interface, 1}, {b.Interface, 0}, {nullptr, 0}};
    for (const auto& l : lookups) EXPECT_EQ(CertStoreThumbprint_IsTrustedUnder(store, leaf.Handle, l.Under, 1), l.Expected);

    // Cached while checking was off: good while it stays off, gone once it is on.
    Cert ica(g_certs->Der("ica"));
    Authenticate_SetEnabled(0);
    EXPECT_EQ(CertStoreThumbprint_TrustUnder(store, ica.Handle, b.Interface), 1);
    EXPECT_EQ(CertStoreThumbprint_IsTrustedUnder(store, ica.Handle, b.Interface, 0), 1);
    Authenticate_SetEnabled(1);
    EXPECT_EQ(CertStoreThumbprint_IsTrustedUnder(store, ica.Handle, b.Interface, 0), 0);
    EXPECT_EQ(b.References, 0);
    Authenticate_SetEnabled(0);
    EXPECT_EQ(CertStoreThumbprint_IsTrustedUnder(store, ica.Handle, b.Interface, 0), 0);
    Authenticate_SetEnabled(1);

    EXPECT_EQ(CertStoreThumbprint_Reset(store), 1);
    EXPECT_EQ(a.References, 0);
    EXPECT_EQ(CertStoreThumbprint_IsTrustedUnder(store, leaf.Handle, a.Interface, 0), 0);
}

} // namespace
