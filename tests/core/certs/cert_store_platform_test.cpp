// Tests of the platform store: its answers through the interface against a bundle of our own, its
// references, the "x5c" header chains, and the x509-limbo cases walked against it with
// the peer name matched.
#include "tests/support/source_path.h"
#include "core/certs/cert_store_platform.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/certs/authenticate.h"
#include "core/certs/x509.h"
#include "core/certs/x509_chain.h"
#include "core/crypto/crypt_asymmetric.h"
#include "core/formats/base64.h"
#include "core/formats/json.h"
#include "core/linux/platform_trust.h"
#include "core/runtime/dictionary.h"
#include "tests/support/cert_chains.h"
#include "tests/support/log_capture.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);
CertChains* g_certs = nullptr;

struct Chain {
    X509Chain* Handle = nullptr;
    Chain() { X509Chain_Create(&Handle); }
    ~Chain() { X509Chain_Release(&Handle); }
    // 1 when the certificate built and was added.
    int64_t Add(const std::string& der) {
        X509* cert = nullptr;
        X509_Create(&cert);
        const int64_t built =
            X509_BuildFromBuffer(cert, reinterpret_cast<const uint8_t*>(der.data()), (uint32_t)der.size());
        if (built == 1) X509Chain_Add(Handle, cert);
        X509_Release(&cert);
        return built;
    }
    X509* At(int32_t index) {
        X509* cert = nullptr;
        X509Chain_Get(Handle, index, &cert);
        return cert;
    }
};

class CertStorePlatformTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!g_certs) g_certs = new CertChains;
    }
    static void TearDownTestSuite() {
        Platform_SetTrustBundlePath(nullptr);
        delete g_certs;
        g_certs = nullptr;
    }
    void SetUp() override {
        Authenticate_SetEnabled(1);
        CertStorePlatform_Create(&store);
        iface = CertStorePlatform_GetInterfaceHandle(store);
    }
    void TearDown() override {
        CertStoreInterface_Release(&iface);
        EXPECT_EQ(Class_HasOneRef(store), 1);
        CertStorePlatform_Release(&store);
        Authenticate_SetEnabled(1);
    }
    void UseBundle(const std::string& text) {
        const std::string path = g_certs->Dir.file("platform-bundle.pem");
        std::ofstream(path, std::ios::binary) << text;
        Platform_SetTrustBundlePath(path.c_str());
    }
    CertStorePlatform* store = nullptr;
    CertStoreInterface* iface = nullptr;
};

TEST_F(CertStorePlatformTest, AnswersWhatThePlatformTrusts) {
    ASSERT_TRUE(g_certs->Made) << "openssl made the certificates";
    UseBundle(g_certs->Pem("root"));
    const struct {
        const char* Bag;
        int64_t Expected;
    } cases[] = {{"leaf ica", 1}, {"leaf_noca ica_noca", 0}, {"leaf_cy cyA cyB", 0}, {"leaf", 0}};
    for (const auto& c : cases) {
        Chain chain;
        std::istringstream names(c.Bag);
        for (std::string name; names >> name;) chain.Add(g_certs->Der(name));
        EXPECT_EQ(X509Chain_VerifyX509(chain.Handle, chain.At(0), iface), c.Expected) << c.Bag;
        uint32_t stop = 1;
        CertStoreInterface_X509IsTrusted(iface, chain.At(0), &stop);
        EXPECT_EQ(stop, 0u) << "nothing is refused explicitly";
    }
    // With checking off the store is not asked.
    Authenticate_SetEnabled(0);
    Chain chain;
    chain.Add(g_certs->Der("leaf_cy"));
    EXPECT_EQ(X509Chain_VerifyX509(chain.Handle, chain.At(0), iface), 1);
}

std::string Base64(const std::string& der) {
    std::vector<char> text(der.size() * 2 + 8);
    uint32_t written = 0;
    Base64_Encode(der.data(), (int32_t)der.size(), text.data(), (int32_t)text.size(), &written);
    return text.data();
}

TEST_F(CertStorePlatformTest, HeaderChainIsWalkedAgainstTheStore) {
    ASSERT_TRUE(g_certs->Made) << "openssl made the certificates";
    UseBundle(g_certs->Pem("root"));
    const std::string leaf = Base64(g_certs->Der("leaf")), ica = Base64(g_certs->Der("ica"));
    const struct {
        std::string Header;
        int64_t Trusted;
    } cases[] = {
        {"{\"alg\":\"ES256\",\"x5c\":[\"" + leaf + "\",\"" + ica + "\"]}", 1},
        {"{\"alg\":\"ES256\",\"x5c\":[\"" + leaf + "\"]}", 0},
        {"{\"alg\":\"ES256\",\"x5c\":[\"" + Base64(g_certs->Der("leaf_cy")) + "\"]}", 0},
        {"{\"alg\":\"ES256\",\"x5c\":[\"AAAA\",\"" + ica + "\"]}", 0},
        {"{\"alg\":\"ES256\",\"x5c\":[]}", 0},
        {"{\"alg\":\"ES256\"}", 0},
    };
    for (const auto& c : cases) {
        Dictionary* header = nullptr;
        Dictionary_Create(&header);
        JSON* json = nullptr;
        JSON_Create(&json);
        JSON_SetDictionaryHandle(json, header);
        ASSERT_EQ(JSON_LoadBuffer(json, c.Header.data(), (uint32_t)c.Header.size()), 1);
        CryptAsymmetric* key = reinterpret_cast<CryptAsymmetric*>(1);
        uint32_t stop = 7;
        // The loaded document is the first item of the dictionary.
        Dictionary* object = nullptr;
        ASSERT_EQ(Dictionary_GetDictionaryByIndex(header, 0, &object), 1);
        EXPECT_EQ(CertStoreInterface_X509IsTrustedJWS(iface, object, &key, &stop), c.Trusted) << c.Header;
        EXPECT_EQ(key != nullptr, c.Trusted == 1);
        if (key) CryptAsymmetric_Release(&key);
        JSON_Release(&json);
        Dictionary_Release(&header);
    }
}

// ---- x509-limbo --------------------------------------------------------------------------------

// Just enough JSON for the limbo file: strings with their escapes, numbers and literals as text,
// arrays and objects as member lists.
struct Json {
    char Kind = 0; // 's', 'n', 'a', 'o'
    std::string Text;
    std::vector<std::pair<std::string, Json>> Members;
    const Json& operator[](const std::string& name) const {
        static const Json none;
        for (const auto& [key, value] : Members)
            if (key == name) return value;
        return none;
    }
};

void Blank(const std::string& s, size_t& at) {
    while (at < s.size() && isspace((unsigned char)s[at])) at++;
}

std::string String(const std::string& s, size_t& at) {
    std::string out;
    for (at++; at < s.size() && s[at] != '"'; at++) {
        if (s[at] != '\\' || at + 1 >= s.size()) {
            out += s[at];
            continue;
        }
        const char e = s[++at];
        if (e == 'n') out += '\n';
        else if (e == 't') out += '\t';
        else if (e == 'r') out += '\r';
        else if (e == 'u') out += '?', at += 4; // not met inside certificates or names used here
        else out += e;
    }
    at++;
    return out;
}

Json Parse(const std::string& s, size_t& at) {
    Json v;
    Blank(s, at);
    if (at >= s.size()) return v;
    if (s[at] == '"') {
        v.Kind = 's';
        v.Text = String(s, at);
    } else if (s[at] == '{' || s[at] == '[') {
        const char close = s[at] == '{' ? '}' : ']';
        v.Kind = s[at] == '{' ? 'o' : 'a';
        for (at++, Blank(s, at); at < s.size() && s[at] != close; Blank(s, at)) {
            std::string name;
            if (v.Kind == 'o') {
                name = String(s, at);
                Blank(s, at);
                at++;
            }
            v.Members.emplace_back(name, Parse(s, at));
            Blank(s, at);
            if (at < s.size() && s[at] == ',') at++;
        }
        at++;
    } else {
        v.Kind = 'n';
        while (at < s.size() && s[at] != ',' && s[at] != '}' && s[at] != ']' && !isspace((unsigned char)s[at]))
            v.Text += s[at++];
    }
    return v;
}

// The PEM blocks of a text, armour and line ends removed.
std::vector<std::string> PemBodies(const std::string& text) {
    static const std::string kBegin = "-----BEGIN CERTIFICATE-----", kEnd = "-----END CERTIFICATE-----";
    std::vector<std::string> out;
    for (size_t pos = 0; (pos = text.find(kBegin, pos)) != std::string::npos;) {
        const size_t end = text.find(kEnd, pos);
        std::string body;
        for (size_t i = pos + kBegin.size(); i < end; i++) {
            if (isalnum((unsigned char)text[i]) || text[i] == '+' || text[i] == '/' || text[i] == '=')
                body += text[i];
        }
        out.push_back(body);
        pos = end;
    }
    return out;
}

// The PEM blocks of a list of PEM texts.
std::vector<std::string> PemBodies(const Json& list) {
    std::vector<std::string> out;
    for (const auto& [unused, item] : list.Members)
        for (auto& body : PemBodies(item.Text)) out.push_back(body);
    return out;
}

std::string Pem(const std::string& body) {
    std::string out = "-----BEGIN CERTIFICATE-----\n";
    for (size_t i = 0; i < body.size(); i += 64) out += body.substr(i, 64) + "\n";
    return out + "-----END CERTIFICATE-----\n";
}

std::string LimboFile() {
    const std::string file = SourcePath(__FILE__);
    return file.substr(0, file.rfind("tests/core/")) + "../shared/testdata/x509-limbo/subset.json";
}

TEST_F(CertStorePlatformTest, LimboCasesGiveTheirExpectedResults) {
    std::ifstream in(LimboFile());
    if (!in) GTEST_SKIP() << "the x509-limbo cases are missing: " << LimboFile();
    std::stringstream text;
    text << in.rdbuf();
    size_t at = 0;
    const Json root = Parse(text.str(), at);
    const Json& cases = root["testcases"];
    ASSERT_EQ(cases.Members.size(), 57u);
    std::map<std::string, int> passed;
    for (const auto& [unused, c] : cases.Members) {
        const std::string id = c["id"].Text;
        SCOPED_TRACE(id);
        std::string bundle;
        for (const auto& body : PemBodies(c["trusted_certs"])) bundle += Pem(body);
        UseBundle(bundle);
        Chain chain;
        X509* peer = nullptr;
        X509_Create(&peer);
        const auto peerBodies = PemBodies(c["peer_certificate"].Text);
        ASSERT_EQ(peerBodies.size(), 1u);
        int64_t result = X509_BuildFromBase64(peer, peerBodies[0].c_str(), (uint32_t)peerBodies[0].size());
        if (result == 1) {
            X509Chain_Add(chain.Handle, peer);
            for (const auto& body : PemBodies(c["untrusted_intermediates"])) {
                X509* cert = nullptr;
                X509_Create(&cert);
                if (X509_BuildFromBase64(cert, body.c_str(), (uint32_t)body.size()) == 1)
                    X509Chain_Add(chain.Handle, cert);
                X509_Release(&cert);
            }
            const std::string host = c["expected_peer_name"]["value"].Text;
            result = X509_CompareSubjectName(chain.At(0), host.c_str()) == 1 &&
                     X509Chain_VerifyX509(chain.Handle, chain.At(0), iface) == 1;
        }
        X509_Release(&peer);
        const std::string expected = c["expected_result"].Text;
        EXPECT_EQ(result ? "SUCCESS" : "FAILURE", expected);
        if ((result ? "SUCCESS" : "FAILURE") == expected) passed[expected]++;
    }
    EXPECT_EQ(passed["SUCCESS"], 15);
    EXPECT_EQ(passed["FAILURE"], 42);
}

} // namespace
