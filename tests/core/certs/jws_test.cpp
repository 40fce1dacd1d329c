// Tests of JWS decoding: the RFC 7515 examples, tokens minted by python3-jwt, malformed tokens and
// their error codes, keys that do not fit "alg", the claim boundaries and HMAC token writing.
#include "core/certs/jws.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/certs/authenticate.h"
#include "core/certs/cert_store.h"
#include "core/crypto/hmac.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "core/formats/base64.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/time.h"
#include "tests/core/certs/jws_oracle.h"
#include "tests/support/log_capture.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

// RFC 7515 appendix A: the payload shared by A.1 to A.3, and each example's header, signature
// and key (the HMAC key and the public keys as standard Base64, the public keys DER
// SubjectPublicKeyInfo).
const char kRfcPayload[] =
    "eyJpc3MiOiJqb2UiLA0KICJleHAiOjEzMDA4MTkzODAsDQogImh0dHA6Ly9leGFtcGxlLmNvbS9pc19yb290Ijp0cnVlfQ";
const char kRfcHmacKey[] = "AyM1SysPpbyDfgZld3umj1qzKObwVMkoqQ+EstJQLr/T+1qS0gZH75aKtMN3Yj0iPS4hcgUuTwjAzZr1Z9CAow==";
const char kRfcRsaKey[] =
    "MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEAofgWCuLjybRlzo0tZWJjNiuSfb4p4fAkd/wWJcyQoTbji9k0l8W2"
    "6mPddxHmfHQp+Vaw+4qPCJrcS2mJPMEzP1Pt0Bm4d4QlL+yRT+SFd2lZS+pCgNMsD1W/YpRPEwOWvG6b32690r2jZ47soMZo"
    "9wGzjb/7OMg0LOL+bSf63kpaSHSXndS5z5rexMdbBYUsLA9e+KXBdQOS+UTo7WTBEMa2R2CapHg665xsmtdVMTBQY4uDZlxv"
    "b3qCo5ZwKh9kG4LT6/I5IhlJH7aGhyxXFvUK+DWNmoudF8NAco9/h9iaGNj8q2ethFkMLs91kzk2PAcDTW9gb54h4FRWyuXp"
    "oQIDAQAB";
const char kRfcEcKey[] = "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEf83OJ3D2xF1Bg8vub9tLe1gHMzV76e8Tus9uPHvRVEXH8UTNG72bfo"
                         "cs3+257rn0s2ldbqkLJK2KRiMohYjlrQ==";
const char kRfcHmacHeader[] = "eyJ0eXAiOiJKV1QiLA0KICJhbGciOiJIUzI1NiJ9";
const char kRfcHmacSignature[] = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
const char kRfcRsaHeader[] = "eyJhbGciOiJSUzI1NiJ9";
const char kRfcRsaSignature[] =
    "cC4hiUPoj9Eetdgtv3hF80EGrhuB__dzERat0XF9g2VtQgr9PJbu3XOiZj5RZmh7AAuHIm4Bh-0Qc_lF5YKt_O8W2Fp5jujGbds9uJdbF9CU"
    "Ar7t1dnZcAcQjbKBYNX4BAynRFdiuB--f_nZLgrnbyTyWzO75vRK5h6xBArLIARNPvkSjtQBMHlb1L07Qe7K0GarZRmB_eSN9383LcOLn6_"
    "dO--xi12jzDwusC-eOkHWEsqtFZESc6BfI7noOPqvhJ1phCnvWh6IeYI2w9QOYEUipUTI8np6LbgGY9Fs98rqVt5AXLIhWkWywlVmtVrBp0i"
    "gcN_IoypGlUPQGe77Rw";
const char kRfcEcHeader[] = "eyJhbGciOiJFUzI1NiJ9";
const char kRfcEcSignature[] = "DtEhU3ljbEg8L38VWAfUAqOyKAM6-Xx-F4GawxaepmXFCgfTjDxw5djxLa8ISlSApmWQxfKTUJqPP3-Kg6NU1Q";

std::string Join(const std::string& a, const std::string& b, const std::string& c) {
    return a + "." + b + "." + c;
}

std::string Url(const std::string& bytes) {
    std::string text(bytes.size() * 4 / 3 + 8, '\0');
    uint32_t written = 0;
    Base64_UrlEncode(bytes.data(), (int32_t)bytes.size(), text.data(), (int32_t)text.size(), &written);
    text.resize(written);
    return text;
}

// An HS token over the given header and payload JSON texts, with the signature cut or padded to
// the given length (0: as computed).
std::string SignHS(const std::string& header, const std::string& payload, const std::string& secret,
                   const HashInterface* record = &SHA256_INTERFACE, size_t length = 0) {
    const std::string input = Url(header) + "." + Url(payload);
    uint8_t mac[64];
    HMAC_QuickDigest(record, input.data(), (uint32_t)input.size(), secret.data(), (uint32_t)secret.size(), mac,
                     sizeof mac);
    std::string signature(reinterpret_cast<char*>(mac), record->DigestSize);
    if (length) signature.resize(length, 'x');
    return input + "." + Url(signature);
}

// A key store's interface holding the Base64 text.
struct KeyStore {
    CertStoreInterface* Interface = nullptr;
    explicit KeyStore(const std::string& base64) {
        CertStoreKey* store = nullptr;
        CertStoreKey_Create(&store);
        CertStoreKey_Decode(store, base64.c_str());
        Interface = CertStoreKey_GetInterfaceHandle(store);
        CertStoreKey_Release(&store);
    }
    ~KeyStore() { CertStoreInterface_Release(&Interface); }
};

std::string Base64(const std::string& bytes) {
    std::string text(bytes.size() * 4 / 3 + 8, '\0');
    uint32_t written = 0;
    Base64_Encode(bytes.data(), (int32_t)bytes.size(), text.data(), (int32_t)text.size(), &written);
    return text.c_str();
}

const std::string kSecret = "a secret of thirty-two bytes ...";

struct Outcome {
    int64_t Result;
    uint32_t Error;
    std::string Iss; // the payload's "iss" when it loaded
};

class JWSTest : public ::testing::Test {
  protected:
    void SetUp() override {
        JSON_Create(&json);
        Dictionary_Create(&dict);
        JSON_SetDictionaryHandle(json, dict);
    }
    void TearDown() override {
        Authenticate_SetEnabled(1);
        JSON_Release(&json);
        Dictionary_Release(&dict);
    }
    Outcome Decode(const std::string& token, CertStoreInterface* store, JWSClaims* claims = nullptr,
                   uint32_t verify = 1) {
        Dictionary_Reset(dict);
        Outcome out{JWS_Decode(json, claims, store, token.data(), (uint32_t)token.size(), verify), 0, ""};
        JSON_GetLastError(json, &out.Error);
        Dictionary* root = nullptr;
        const char* iss = nullptr;
        Dictionary_SkipRoot(dict, &root);
        if (Dictionary_GetStringPtrByKey(root, "iss", &iss)) out.Iss = iss;
        return out;
    }
    JSON* json = nullptr;
    Dictionary* dict = nullptr;
};

TEST_F(JWSTest, Rfc7515Examples) {
    struct Case {
        const char* Key;
        const char* Header;
        const char* Signature;
    } cases[] = {
        {kRfcHmacKey, kRfcHmacHeader, kRfcHmacSignature}, // A.1 HS256
        {kRfcRsaKey, kRfcRsaHeader, kRfcRsaSignature},    // A.2 RS256
        {kRfcEcKey, kRfcEcHeader, kRfcEcSignature},       // A.3 ES256
    };
    for (const Case& c : cases) {
        KeyStore store(c.Key);
        const Outcome good = Decode(Join(c.Header, kRfcPayload, c.Signature), store.Interface);
        EXPECT_EQ(good.Result, 1) << c.Header;
        EXPECT_EQ(good.Iss, "joe");
        // One changed payload character breaks every signature.
        std::string payload = kRfcPayload;
        payload[5] = payload[5] == 'A' ? 'B' : 'A';
        const Outcome bad = Decode(Join(c.Header, payload, c.Signature), store.Interface);
        EXPECT_EQ(bad.Result, 0) << c.Header;
        EXPECT_EQ(bad.Error, JSON_ERROR_AUTHENTICATE);
        EXPECT_EQ(bad.Iss, "");
    }
}

TEST_F(JWSTest, MalformedTokensAndHeaders) {
    KeyStore store(Base64(kSecret));
    const std::string payload = Url("{\"iss\":\"x\"}");
    const std::string good = SignHS("{\"alg\":\"HS256\"}", "{\"iss\":\"x\"}", kSecret);
    const std::string signature = good.substr(good.rfind('.') + 1);
    std::string withNul = good;
    withNul[good.find('.') + 3] = '\0';
    struct Case {
        std::string Token;
        int64_t Result;
        uint32_t Error;
    } cases[] = {
        {good, 1, 0},
        {"", 0, 9},
        {"abc", 0, 9},
        {good.substr(0, good.rfind('.')), 0, 9},                          // one dot
        {good + ".", 0, 9},                                               // a third dot
        {Url("{\"alg\":\"HS256\"}") + "==." + payload + "." + signature, 0, 9}, // padding
        {"e*J." + payload + "." + signature, 0, 9},                       // outside the alphabet
        {withNul, 0, 9},
        {"a." + payload + "." + signature, 0, 9},                         // a length no Base64 has
        {Url("not json") + "." + payload + "." + signature, 0, 9},
        {Url("[\"HS256\"]") + "." + payload + "." + signature, 0, 9},     // JSON, not an object
        {"." + payload + "." + signature, 0, 9},                          // empty header
        {std::string(JWS_MAX_HEADER_SIZE + 4, 'A') + "." + payload + "." + signature, 0, 9},
        {good + std::string(4096, 'A'), 0, 9},                            // oversized signature
        {SignHS("{\"alg\":\"none\"}", "{\"iss\":\"x\"}", kSecret), 0, 10},
        {Url("{\"alg\":\"none\"}") + "." + payload + ".", 0, 10},
        {SignHS("{\"typ\":\"JWT\"}", "{\"iss\":\"x\"}", kSecret), 0, 10}, // no "alg"
        {SignHS("{\"alg\":\"Unknown\"}", "{\"iss\":\"x\"}", kSecret), 0, 10},
        {SignHS("{\"alg\":\"hs256\"}", "{\"iss\":\"x\"}", kSecret), 1, 0}, // case ignored
        {SignHS("{\"alg\":\"HS256\"}", "{\"iss\":\"x\"}", kSecret, &SHA256_INTERFACE, 31), 0, 10},
        {SignHS("{\"alg\":\"HS256\"}", "{\"iss\":\"x\"}", kSecret, &SHA256_INTERFACE, 33), 0, 10},
        {SignHS("{\"alg\":\"HS384\"}", "{\"iss\":\"x\"}", kSecret, &SHA384_INTERFACE), 1, 0},
        {SignHS("{\"alg\":\"HS512\"}", "{\"iss\":\"x\"}", kSecret, &SHA512_INTERFACE), 1, 0},
        {SignHS("{\"alg\":\"HS512\"}", "{\"iss\":\"x\"}", kSecret, &SHA256_INTERFACE), 0, 10},
    };
    for (const Case& c : cases) {
        const Outcome out = Decode(c.Token, store.Interface);
        EXPECT_EQ(out.Result, c.Result) << c.Token.substr(0, 80);
        EXPECT_EQ(out.Error, c.Error) << c.Token.substr(0, 80);
        EXPECT_EQ(out.Iss, c.Result ? "x" : "") << "nothing loaded on failure";
    }
}

TEST_F(JWSTest, UnverifiedLoadTakesAnySignature) {
    KeyStore store(Base64(kSecret));
    const std::string forged = SignHS("{\"alg\":\"none\"}", "{\"iss\":\"x\"}", "other key");
    EXPECT_EQ(Decode(forged, store.Interface, nullptr, 0).Result, 1);
    EXPECT_EQ(Decode(forged, store.Interface, nullptr, 2).Iss, "x");
    // The payload load decides: an empty payload is refused by the JSON reader.
    const Outcome empty = Decode(Url("{}") + ".." + Url("s"), store.Interface, nullptr, 0);
    EXPECT_EQ(empty.Result, 0);
    EXPECT_EQ(empty.Error, JSON_ERROR_ZERO_LENGTH);
}

// A key must be of the kind "alg" names: a public key's published bytes are never an HMAC
// secret, a secret is never a public key, an EC key is used only on its own curve, and an ES
// signature is exactly R || S.
TEST_F(JWSTest, KeyKindMustMatchAlgorithm) {
    std::string rsaDer(512, '\0');
    uint32_t rsaLength = 0;
    Base64_Decode(kRfcRsaKey, 0, reinterpret_cast<uint8_t*>(rsaDer.data()), (int32_t)rsaDer.size(), &rsaLength);
    rsaDer.resize(rsaLength);
    KeyStore rsa(kRfcRsaKey), ec(kRfcEcKey), secret(Base64(kSecret)), empty("");
    std::string ecSignature(80, '\0');
    uint32_t ecLength = 0;
    Base64_UrlDecode(kRfcEcSignature, -1, reinterpret_cast<uint8_t*>(ecSignature.data()), 80, &ecLength);
    ecSignature.resize(ecLength);
    const std::string rfcRsa = Join(kRfcRsaHeader, kRfcPayload, kRfcRsaSignature);
    const std::string rfcEc = Join(kRfcEcHeader, kRfcPayload, kRfcEcSignature);
    struct Case {
        const char* Name;
        std::string Token;
        CertStoreInterface* Store;
    } cases[] = {
        {"HS signed with the RSA key's DER", SignHS("{\"alg\":\"HS256\"}", "{}", rsaDer), rsa.Interface},
        {"HS with an empty secret", SignHS("{\"alg\":\"HS256\"}", "{}", ""), empty.Interface},
        {"RS with a secret", rfcRsa, secret.Interface},
        {"RS with an EC key", Join("eyJhbGciOiJSUzI1NiJ9", kRfcPayload, kRfcEcSignature), ec.Interface},
        {"ES with an RSA key", rfcEc, rsa.Interface},
        {"ES512 with a P-256 key", Join(Url("{\"alg\":\"ES512\"}"), kRfcPayload, kRfcEcSignature), ec.Interface},
        {"ES with a byte more", rfcEc.substr(0, rfcEc.rfind('.') + 1) + Url(ecSignature + "\x01"), ec.Interface},
    };
    for (const Case& c : cases) {
        const Outcome out = Decode(c.Token, c.Store);
        EXPECT_EQ(out.Result, 0) << c.Name;
        EXPECT_EQ(out.Error, JSON_ERROR_AUTHENTICATE) << c.Name;
    }
    // The 64-byte form of the same signature verifies.
    EXPECT_EQ(ecLength, 64u);
    EXPECT_EQ(Decode(rfcEc, ec.Interface).Result, 1);
}

TEST_F(JWSTest, PythonTokensThroughKeyStore) {
    // Our HMAC tokens, judged by python3-jwt in the same run.
    std::string ours;
    for (uint32_t code : {JWS_ALGORITHM_HS256, JWS_ALGORITHM_HS384, JWS_ALGORITHM_HS512}) {
        JSON* payload = nullptr;
        Dictionary* root = nullptr;
        JSON_Create(&payload);
        Dictionary_Create(&root);
        JSON_SetDictionaryHandle(payload, root);
        JSON_LoadString(payload, "{\"iss\":\"ours\",\"alg\":\"%s\"}", JWS_TranslateAlgorithm(code));
        uint32_t size = 0;
        JWS_KeyEncodeEstimate(payload, nullptr, code, nullptr, 0, &size);
        std::string token(size, '\0');
        const std::string secret(reinterpret_cast<const char*>("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c"
                                                               "\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18"
                                                               "\x19\x1a\x1b\x1c\x1d\x1e\x1f\x20"),
                                 32);
        EXPECT_EQ(JWS_KeyEncode(payload, nullptr, code, secret.data(), 32, token.data(), size), 1);
        token.resize(strlen(token.c_str()));
        // Cut to one byte less than the token needs: refused.
        std::string small(token.size(), '\0');
        EXPECT_EQ(JWS_KeyEncode(payload, nullptr, code, secret.data(), 32, small.data(), (uint32_t)small.size()), 0);
        ours += std::string(JWS_TranslateAlgorithm(code)) + "," + token + "\n";
        JSON_Release(&payload);
        Dictionary_Release(&root);
    }
    const auto oracle = MintJwsOracle(ours);
    if (oracle.empty()) GTEST_SKIP() << "python3-jwt is not installed";
    for (const char* alg : {"HS256", "HS384", "HS512"}) EXPECT_EQ(oracle.at(std::string("ours_") + alg), "ok") << alg;

    KeyStore secret(oracle.at("secret")), rsa(oracle.at("rsa_spki"));
    KeyStore es256(oracle.at("ES256_spki")), es384(oracle.at("ES384_spki")), es512(oracle.at("ES512_spki"));
    const std::map<std::string, CertStoreInterface*> stores = {
        {"HS256", secret.Interface}, {"HS384", secret.Interface}, {"HS512", secret.Interface},
        {"RS256", rsa.Interface},    {"RS384", rsa.Interface},    {"RS512", rsa.Interface},
        {"ES256", es256.Interface},  {"ES384", es384.Interface},  {"ES512", es512.Interface},
    };
    for (const auto& [alg, store] : stores) {
        const Outcome out = Decode(oracle.at("tok_" + alg), store);
        EXPECT_EQ(out.Result, 1) << alg;
        EXPECT_EQ(out.Iss, "oracle") << alg;
    }
    // A P-384 signature over SHA-256 is no ES256 signature, valid as it is on its own curve.
    EXPECT_EQ(Decode(oracle.at("es256_on_p384"), es384.Interface).Error, JSON_ERROR_AUTHENTICATE);
    // With "kid" the key comes from the store's trust answer, never from its raw key.
    const Outcome kid = Decode(oracle.at("kid_RS256"), rsa.Interface);
    EXPECT_EQ(kid.Result, 0);
    EXPECT_EQ(kid.Error, JSON_ERROR_AUTHENTICATE);
}

TEST_F(JWSTest, AuthenticationOffAcceptsTrustRouteWithoutSignature) {
    KeyStore store("");
    const std::string token = Url("{\"alg\":\"RS256\",\"kid\":\"k\"}") + "." + Url("{\"iss\":\"x\"}") + ".AAAA";
    EXPECT_EQ(Decode(token, store.Interface).Result, 0);
    Authenticate_SetEnabled(0);
    EXPECT_EQ(Decode(token, store.Interface).Result, 1);
    // "alg" is still required.
    EXPECT_EQ(Decode(Url("{\"alg\":\"none\",\"kid\":\"k\"}") + "." + Url("{}") + ".", store.Interface).Error,
              JSON_ERROR_AUTHENTICATE);
}

// The claims at the current second: the clock is read around the check and the case retried when
// a second boundary fell in between.
TEST_F(JWSTest, ExpAndNbfBoundaries) {
    JWSClaims* claims = nullptr;
    JWSClaims_Create(&claims);
    JWSClaims_Add(claims, 1, JWSClaim_Exp);
    JWSClaims_Add(claims, 1, JWSClaim_Nbf);
    KeyStore store(Base64(kSecret));
    struct Case {
        const char* Claims; // printf format taking now as a whole number
        int64_t Result;
    } cases[] = {
        {"{\"iss\":\"x\"}", 1},
        {"{\"iss\":\"x\",\"exp\":%.0f}", 0},
        {"{\"iss\":\"x\",\"exp\":%.0f1}", 1}, // ten times now: far ahead
        {"{\"iss\":\"x\",\"nbf\":%.0f}", 1},
        {"{\"iss\":\"x\",\"nbf\":%.0f1}", 0},
        {"{\"iss\":\"x\",\"exp\":\"%.0f1\"}", 0}, // not a number: refused, not ignored
        {"{\"iss\":\"x\",\"nbf\":\"soon %.0f\"}", 0},
    };
    for (const Case& c : cases) {
        Outcome out{};
        for (int attempt = 0; attempt < 5; attempt++) {
            const double before = Time_GetCurrentEncodedGMT(nullptr);
            char payload[128];
            snprintf(payload, sizeof payload, c.Claims, before);
            out = Decode(SignHS("{\"alg\":\"HS256\"}", payload, kSecret), store.Interface, claims);
            if (Time_GetCurrentEncodedGMT(nullptr) == before) break;
        }
        EXPECT_EQ(out.Result, c.Result) << c.Claims;
        EXPECT_EQ(out.Iss, c.Result ? "x" : "") << "a refused claim empties the document";
    }
    // now + 1 and now - 1 around the exact boundaries.
    for (int attempt = 0; attempt < 5; attempt++) {
        const double now = Time_GetCurrentEncodedGMT(nullptr);
        Dictionary* payload = nullptr;
        Dictionary_Create(&payload);
        Dictionary_SetFloat64ByKey(payload, "exp", now + 1);
        Dictionary_SetFloat64ByKey(payload, "nbf", now + 1);
        const int64_t expAhead = JWSClaim_Exp(payload, 0), nbfAhead = JWSClaim_Nbf(payload, 1);
        Dictionary_SetFloat64ByKey(payload, "exp", now - 1);
        Dictionary_SetFloat64ByKey(payload, "nbf", now - 1);
        const int64_t expPast = JWSClaim_Exp(payload, 1), nbfPast = JWSClaim_Nbf(payload, 0);
        Dictionary_Release(&payload);
        if (Time_GetCurrentEncodedGMT(nullptr) != now) continue;
        EXPECT_EQ(expAhead, 1);
        EXPECT_EQ(nbfAhead, 0);
        EXPECT_EQ(expPast, 0);
        EXPECT_EQ(nbfPast, 1);
        break;
    }
    const std::string log = TakeLog();
    EXPECT_NE(log.find("JWS claim exp failed validation ("), std::string::npos);
    EXPECT_NE(log.find("JWS claim nbf failed validation ("), std::string::npos);
    JWSClaims_Release(&claims);
}

TEST(JWSClaims, ChecksRunInOrderUntilTheFirstRefusal) {
    static std::string ran;
    ran.clear();
    JWSClaims* claims = nullptr;
    JWSClaims_Create(&claims);
    EXPECT_EQ(JWSClaims_Validate(claims, nullptr), 1) << "an empty list passes";
    const JWSClaimFunc checks[] = {
        [](Dictionary*, uint32_t absent) -> int64_t { return ran += 'a', absent; },
        [](Dictionary*, uint32_t absent) -> int64_t { return ran += 'b', absent; },
        [](Dictionary*, uint32_t absent) -> int64_t { return ran += 'c', absent; },
    };
    const uint32_t answers[] = {1, 0, 1};
    // More checks than one pool chunk holds.
    for (int round = 0; round < 3; round++)
        for (int i = 0; i < 3; i++) JWSClaims_Add(claims, round == 2 ? answers[i] : 1, checks[i]);
    EXPECT_EQ(JWSClaims_Validate(claims, nullptr), 0);
    EXPECT_EQ(ran, "abcabcab");
    JWSClaims_Release(&claims);
}

TEST(JWSAlgorithms, NamesCodesAndHashes) {
    struct Case {
        const char* Text;
        uint32_t Code;
        const HashInterface* Hash;
        const char* Oid;
    } cases[] = {
        {"hs256", 1, &SHA256_INTERFACE, nullptr},
        {"HS384", 2, &SHA384_INTERFACE, nullptr},
        {"Rs512", 6, &SHA512_INTERFACE, nullptr},
        {"ES256", 7, &SHA256_INTERFACE, "1.2.840.10045.3.1.7"},
        {"es384", 8, &SHA384_INTERFACE, "1.3.132.0.34"},
        {"ES512", 9, &SHA512_INTERFACE, "1.3.132.0.35"},
        {"none", 0, nullptr, nullptr},
        {"Unknown", 0, nullptr, nullptr},
        {"HS256 ", 0, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JWS_TranslateAlgorithmString(c.Text), c.Code) << c.Text;
        EXPECT_EQ(JWS_GetHashInterface(c.Code), c.Hash) << c.Text;
        EXPECT_STREQ(JWS_TranslateAlgorithmOid(c.Code), c.Oid) << c.Text;
    }
    EXPECT_STREQ(JWS_TranslateAlgorithm(5), "RS384");
    EXPECT_STREQ(JWS_TranslateAlgorithm(10), "Unknown");
    EXPECT_EQ(JWS_GetHashInterface(10), nullptr);
    EXPECT_EQ(JWS_GetAlgorithmRS(&SHA384_INTERFACE), 5u);
    EXPECT_EQ(JWS_GetAlgorithmES(&SHA512_INTERFACE), 9u);
    EXPECT_EQ(JWS_GetAlgorithmES(&SHA224_INTERFACE), 0u);
    Dictionary* header = nullptr;
    Dictionary_Create(&header);
    uint32_t code = 99;
    EXPECT_EQ(JWS_HeaderGetAlgorithm(header, &code), 0);
    Dictionary_SetStringByKey(header, "alg", std::string(400, 'A').c_str());
    EXPECT_EQ(JWS_HeaderGetAlgorithm(header, &code), 0);
    Dictionary_SetStringByKey(header, "alg", "es256");
    EXPECT_EQ(JWS_HeaderGetAlgorithm(header, &code), 1);
    EXPECT_EQ(code, 7u);
    Dictionary_Release(&header);
}

TEST(JWSKeyEncode, HeaderMergedAndEstimateCoversEveryHash) {
    JSON* payload = nullptr;
    Dictionary* root = nullptr;
    JSON_Create(&payload);
    Dictionary_Create(&root);
    JSON_SetDictionaryHandle(payload, root);
    JSON_LoadString(payload, "{\"a\":1}");
    Dictionary* header = nullptr;
    Dictionary_Create(&header);
    Dictionary_SetStringByKey(header, "alg", "none");
    Dictionary_SetStringByKey(header, "kid", "k1");
    uint32_t size = 0;
    EXPECT_EQ(JWS_KeyEncodeEstimate(payload, header, JWS_ALGORITHM_HS512, nullptr, 0, &size), 1);
    std::string token(size, '\0');
    EXPECT_EQ(JWS_KeyEncode(payload, header, JWS_ALGORITHM_HS512, "k", 1, token.data(), size), 1);
    token.resize(strlen(token.c_str()));
    // {"alg":"HS512","kid":"k1"} with "alg" replaced in place; {"a":1}; 86 signature characters.
    EXPECT_EQ(token.substr(0, token.rfind('.')), Url("{\"alg\":\"HS512\",\"kid\":\"k1\"}") + "." + Url("{\"a\":1}"));
    EXPECT_EQ(token.size() - token.rfind('.') - 1, 86u);
    EXPECT_EQ(JWS_KeyEncode(payload, header, JWS_ALGORITHM_RS256, "k", 1, token.data(), size), 0);
    Dictionary_Release(&header);
    JSON_Release(&payload);
    Dictionary_Release(&root);
}

} // namespace
