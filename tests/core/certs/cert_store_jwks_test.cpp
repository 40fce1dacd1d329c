// Tests of the JWKS store: python3-jwt tokens verified through key sets with RSA and EC members
// found by "kid", "x5t", "x5t#S256" and "x5c", the member rules, and certificate trust by
// thumbprint.
#include "core/certs/cert_store_jwks.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "core/certs/jws.h"
#include "core/certs/x509.h"
#include "core/certs/x509_chain.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "tests/core/certs/jws_oracle.h"
#include "tests/support/log_capture.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

const std::map<std::string, std::string>& Oracle() {
    static const std::map<std::string, std::string> values = MintJwsOracle("");
    return values;
}

// A JSON document loaded into its own dictionary.
struct Document {
    JSON* Json = nullptr;
    Dictionary* Dict = nullptr;
    explicit Document(const std::string& text = "") {
        JSON_Create(&Json);
        Dictionary_Create(&Dict);
        JSON_SetDictionaryHandle(Json, Dict);
        if (!text.empty()) {
            EXPECT_EQ(JSON_LoadBuffer(Json, text.data(), (uint32_t)text.size()), 1) << text;
        }
    }
    ~Document() {
        JSON_Release(&Json);
        Dictionary_Release(&Dict);
    }
};

// A JWKS store over the key-set text, and its interface.
struct Store {
    CertStoreJWKS* Jwks = nullptr;
    CertStoreInterface* Interface = nullptr;
    explicit Store(const std::string& keySet) {
        CertStoreJWKS_Create(&Jwks);
        if (!keySet.empty()) {
            Document document(keySet);
            EXPECT_EQ(CertStoreJWKS_SetJWKSHandle(Jwks, document.Dict), 1);
        }
        Interface = CertStoreJWKS_GetInterfaceHandle(Jwks);
    }
    ~Store() {
        CertStoreInterface_Release(&Interface);
        CertStoreJWKS_Release(&Jwks);
    }
};

std::string Member(const std::string& fields) {
    return "{\"use\":\"sig\"," + fields + "}";
}

std::string Rsa(const std::string& alg, const std::string& property) {
    const auto& o = Oracle();
    return Member("\"kty\":\"RSA\",\"alg\":\"" + alg + "\"," + property + ",\"n\":\"" + o.at("rsa_n") +
                  "\",\"e\":\"" + o.at("rsa_e") + "\"");
}

std::string Ec(const std::string& alg) {
    const auto& o = Oracle();
    return Member("\"kty\":\"EC\",\"alg\":\"" + alg + "\",\"kid\":\"ec-" + alg + "\",\"x\":\"" + o.at(alg + "_x") +
                  "\",\"y\":\"" + o.at(alg + "_y") + "\"");
}

int64_t Verify(CertStoreInterface* store, const std::string& token) {
    Document payload;
    return JWS_Decode(payload.Json, nullptr, store, token.data(), (uint32_t)token.size(), 1);
}

class CertStoreJWKSTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (Oracle().empty()) GTEST_SKIP() << "python3-jwt is not installed";
    }
};

TEST_F(CertStoreJWKSTest, TokensVerifyThroughTheKeySet) {
    const auto& o = Oracle();
    const std::string keySet = "{\"keys\":[" + Rsa("RS256", "\"kid\":\"rsa-RS256\"") + "," +
                               Rsa("RS384", "\"kid\":\"rsa-RS384\"") + "," + Rsa("RS512", "\"kid\":\"rsa-RS512\"") +
                               "," + Ec("ES256") + "," + Ec("ES384") + "," + Ec("ES512") + "," +
                               Rsa("RS256", "\"x5t\":\"" + o.at("x5t") + "\"") + "," +
                               Rsa("RS256", "\"x5t#S256\":\"" + o.at("x5tS256") + "\"") + "]}";
    Store store(keySet);
    const char* accepted[] = {"kid_RS256",     "kid_RS384", "kid_RS512",    "kid_ES256",   "kid_ES384",
                              "kid_ES512",     "x5t_RS256", "x5tS256_RS256", "x5c_RS256", "kidx5t_RS256"};
    for (const char* name : accepted) EXPECT_EQ(Verify(store.Interface, o.at(name)), 1) << name;
    // Without a key-naming header the store's raw key is asked for, and a key set has none.
    EXPECT_EQ(Verify(store.Interface, o.at("tok_RS256")), 0);
}

TEST_F(CertStoreJWKSTest, MemberRules) {
    const auto& o = Oracle();
    const std::string token = o.at("kid_RS256");
    const std::string good = Rsa("RS256", "\"kid\":\"rsa-RS256\"");
    struct Case {
        const char* Name;
        std::string KeySet;
        int64_t Result;
    } cases[] = {
        {"signing member", "{\"keys\":[" + good + "]}", 1},
        {"given as a bare root object", "", 1},
        {"use enc", "{\"keys\":[" + Rsa("RS256", "\"kid\":\"rsa-RS256\"").replace(8, 3, "enc") + "]}", 0},
        {"no use", "{\"keys\":[{" + good.substr(good.find(',') + 1) + "]}", 0},
        {"no alg", "{\"keys\":[" + Member("\"kid\":\"rsa-RS256\",\"n\":\"" + o.at("rsa_n") + "\",\"e\":\"AQAB\"") + "]}", 0},
        {"other alg", "{\"keys\":[" + Rsa("RS384", "\"kid\":\"rsa-RS256\"") + "]}", 0},
        {"kid differs in case", "{\"keys\":[" + Rsa("RS256", "\"kid\":\"RSA-RS256\"") + "]}", 0},
        // The first member with the kid is the only one tried for it.
        {"first kid member lacks n",
         "{\"keys\":[" + Member("\"alg\":\"RS256\",\"kid\":\"rsa-RS256\",\"e\":\"AQAB\"") + "," + good + "]}", 0},
        {"keys not a list", "{\"keys\":{\"a\":" + good + "}}", 0},
        {"empty", "{}", 0},
    };
    for (Case& c : cases) {
        if (c.KeySet.empty()) {
            // The store also takes the key set's own object rather than a loaded document.
            Document document("{\"keys\":[" + good + "]}");
            Dictionary* root = nullptr;
            Dictionary_SkipRoot(document.Dict, &root);
            Store store("");
            CertStoreJWKS_SetJWKSHandle(store.Jwks, root);
            EXPECT_EQ(Verify(store.Interface, token), c.Result) << c.Name;
            continue;
        }
        Store store(c.KeySet);
        EXPECT_EQ(Verify(store.Interface, token), c.Result) << c.Name;
    }
}

TEST_F(CertStoreJWKSTest, KidFallsBackToThumbprintWhenItsKeyDoesNotLoad) {
    const auto& o = Oracle();
    // "kid" first; a kid member whose "n" is missing does not end the search.
    Store store("{\"keys\":[" + Member("\"alg\":\"RS256\",\"kid\":\"nobody\",\"e\":\"AQAB\"") + "," +
                Rsa("RS256", "\"x5t\":\"" + o.at("x5t") + "\"") + "]}");
    EXPECT_EQ(Verify(store.Interface, o.at("kidx5t_RS256")), 1);
    Dictionary* header = nullptr;
    Dictionary_Create(&header);
    CryptAsymmetric* key = nullptr;
    uint32_t stop = 9;
    Dictionary_SetStringByKey(header, "alg", "RS256");
    Dictionary_SetStringByKey(header, "kid", "nobody");
    EXPECT_EQ(CertStoreInterface_X509IsTrustedJWS(store.Interface, header, &key, &stop), 0);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(stop, 0u);
    Dictionary_SetStringByKey(header, "x5t", o.at("x5t").c_str());
    EXPECT_EQ(CertStoreInterface_X509IsTrustedJWS(store.Interface, header, &key, &stop), 1);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(CryptAsymmetric_IsRSA(key), 1);
    CryptAsymmetric_Release(&key);
    Dictionary_Release(&header);
}

TEST_F(CertStoreJWKSTest, CertificatesTrustedByListedThumbprint) {
    const auto& o = Oracle();
    struct Case {
        const char* Name;
        std::string Cert;
        std::string KeySet;
        int64_t Trusted;
    } cases[] = {
        {"x5t#S256 listed", o.at("cert_sha256"), "{\"keys\":[" + Rsa("RS256", "\"x5t#S256\":\"" + o.at("x5tS256") + "\"") + "]}", 1},
        {"x5t listed", o.at("cert_sha256"), "{\"keys\":[" + Rsa("RS256", "\"x5t\":\"" + o.at("x5t") + "\"") + "]}", 1},
        {"member of another alg", o.at("cert_sha256"), "{\"keys\":[" + Rsa("RS384", "\"x5t\":\"" + o.at("x5t") + "\"") + "]}", 0},
        {"SHA-1 signed, x5t listed", o.at("cert_sha1"), "{\"keys\":[" + Member("\"alg\":\"RS256\",\"x5t\":\"" + o.at("x5t_sha1cert") + "\"") + "]}", 0},
        {"empty store", o.at("cert_sha256"), "", 0},
    };
    for (const Case& c : cases) {
        X509* cert = nullptr;
        X509_Create(&cert);
        ASSERT_EQ(X509_BuildFromBase64(cert, c.Cert.c_str(), (uint32_t)c.Cert.size()), 1);
        Store store(c.KeySet);
        uint32_t stop = 9;
        EXPECT_EQ(CertStoreInterface_X509IsTrusted(store.Interface, cert, &stop), c.Trusted) << c.Name;
        EXPECT_EQ(stop, 0u) << c.Name;
        X509_Release(&cert);
    }
}

// The header operations the stores use on "x5c" (standard Base64 DER, first entry first).
TEST_F(CertStoreJWKSTest, X5CThumbprintsAndChain) {
    const auto& o = Oracle();
    struct Case {
        std::string Header;
        int64_t Thumbprint; // JWS_HeaderBase64ThumbprintFromX5C
        std::string Text;   // its SHA-256 text
        int64_t Chain;      // JWS_HeaderX509ChainHandleFromX5C
        uint32_t Count;     // certificates appended
    } cases[] = {
        {"{\"x5c\":[\"" + o.at("cert_sha256") + "\",\"" + o.at("cert_sha1") + "\"]}", 1, o.at("x5tS256"), 1, 2},
        {"{\"x5c\":[\"" + o.at("cert_sha256") + "\",\"AAAA\",\"" + o.at("cert_sha1") + "\"]}", 1, o.at("x5tS256"), 0, 1},
        {"{\"x5c\":[\"" + o.at("cert_sha256").substr(1) + "\"]}", 0, "", 0, 0},
        {"{\"x5c\":[]}", 1, "", 1, 0},
        {"{\"x5c\":\"" + o.at("cert_sha256") + "\"}", 0, "", 0, 0},
        {"{\"kid\":\"k\"}", 0, "", 0, 0},
    };
    for (const Case& c : cases) {
        Document header(c.Header);
        Dictionary* root = nullptr;
        Dictionary_SkipRoot(header.Dict, &root);
        char text[CERTSTOREJWKS_THUMBPRINT_TEXT_SIZE] = "junk";
        EXPECT_EQ(JWS_HeaderBase64ThumbprintFromX5C(root, &SHA256_INTERFACE, text, (int32_t)sizeof text), c.Thumbprint)
            << c.Header.substr(0, 40);
        EXPECT_EQ(text, c.Text);
        X509Chain* chain = nullptr;
        X509Chain_Create(&chain);
        EXPECT_EQ(JWS_HeaderX509ChainHandleFromX5C(root, chain), c.Chain) << c.Header.substr(0, 40);
        EXPECT_EQ(X509Chain_Count(chain), c.Count);
        X509Chain_Release(&chain);
    }
}

TEST(CertStoreJWKS, KeyNumbersAreBoundedAndWellFormed) {
    BigInt* value = nullptr;
    BigInt_Create(&value);
    struct Case {
        std::string Text;
        int64_t Result;
    } cases[] = {
        {"AQAB", 1},
        {"AQAB=", 0},
        {"A", 0},
        {"", 0},
        {std::string(1366, 'A'), 1},  // 8192 bits
        {std::string(1368, 'A'), 0},  // longer than any supported key part
    };
    for (const Case& c : cases) EXPECT_EQ(CertStoreJWKS_BigIntFromBase64Value(c.Text.c_str(), value), c.Result) << c.Text.size();
    BigInt_Release(&value);
}

} // namespace
