// Tests of the HTTP authenticator: scheme choice and its errors, the broker request it raises,
// the exact Basic, Digest and NTLM header values, Digest nonce counts and client nonces per
// request, and challenges that are cut, overlong or not what they claim.
#include "core/web/web_get_authenticate.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/crypto/hash.h"
#include "core/crypto/md5.h"
#include "core/formats/base64.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/web/challenge.h"
#include "core/web/ntlm.h"
#include "core/web/web_get.h"
#include "tests/support/web_get_env.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetEnvironment);

std::vector<std::string> g_prompts; // each PromptRequest as "key=value;..." in dictionary order

int64_t RecordPrompt(void*, const char*, const char*, const char*, Dictionary* info) {
    std::string text;
    for (const char* key : {"filter", "type", "host", "realm", "username", "password", "attempt"}) {
        char value[600] = "";
        int32_t number = 0;
        uint32_t type = 0;
        if (!Dictionary_GetTypeByKey(info, key, &type)) continue;
        if (type == DICTIONARY_TYPE_INT64) {
            Dictionary_GetInt32ByKey(info, key, &number);
            text += std::string(key) + "=" + std::to_string(number) + ";";
        } else {
            Dictionary_GetStringByKey(info, key, value, sizeof(value));
            text += std::string(key) + "=" + value + ";";
        }
    }
    g_prompts.push_back(text);
    return 1;
}

std::string Md5(const std::string& text) {
    char out[33];
    Hash_QuickString(&MD5_INTERFACE, text.data(), (int32_t)text.size(), 0, out, sizeof(out));
    return out;
}

// The name="value" or name=value pairs of a Digest header.
std::map<std::string, std::string> Fields(const std::string& header) {
    std::map<std::string, std::string> out;
    size_t at = header.find(' ');
    while (at != std::string::npos && at < header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == ',')) at++;
        const size_t eq = header.find('=', at);
        if (eq == std::string::npos) break;
        const std::string name = header.substr(at, eq - at);
        size_t end;
        if (header[eq + 1] == '"') {
            end = header.find('"', eq + 2);
            out[name] = header.substr(eq + 2, end - eq - 2);
            end++;
        } else {
            end = header.find(',', eq);
            if (end == std::string::npos) end = header.size();
            out[name] = header.substr(eq + 1, end - eq - 1);
        }
        at = end;
    }
    return out;
}

std::string Decode64(const std::string& text) {
    std::vector<uint8_t> bytes(text.size() + 4);
    uint32_t n = 0;
    Base64_Decode(text.c_str(), -1, bytes.data(), (int32_t)bytes.size(), &n);
    return std::string(reinterpret_cast<char*>(bytes.data()), n);
}

std::string Encode64(const std::string& bytes) {
    std::vector<char> text(bytes.size() * 2 + 8);
    uint32_t n = 0;
    Base64_Encode(bytes.data(), (int32_t)bytes.size(), text.data(), (int32_t)text.size(), &n);
    return text.data();
}

uint32_t Le32(const std::string& b, size_t at) {
    return (uint8_t)b[at] | (uint8_t)b[at + 1] << 8 | (uint8_t)b[at + 2] << 16 | (uint32_t)(uint8_t)b[at + 3] << 24;
}

// A challenge message (type 2) of 48 bytes with the given server challenge.
std::string ChallengeMessage(const std::string& challenge, uint32_t flags = NTLM_DEFAULT_FLAGS) {
    std::string m("NTLMSSP\0", 8);
    auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; i++) m += (char)(v >> (8 * i));
    };
    put32(2);
    put32(0), put32(48); // empty target name at 48
    put32(flags);
    m += challenge;
    m += std::string(8, '\0');
    put32(0), put32(48); // empty target information
    return m;
}

class WebGetAuthenticateTest : public WebGetTest {
  protected:
    void SetUp() override {
        WebGetTest::SetUp();
        g_prompts.clear();
        NotificationCenter_AddObserver("Challenge", "PromptRequest", nullptr, RecordPrompt);
        ASSERT_EQ(Challenge_Init(0), 1);
        ASSERT_EQ(WebGetAuthenticate_Create(&auth), 1);
        WebGetAuthenticate_SetHost(auth, "example.test");
        WebGetAuthenticate_SetRequestType(auth, WEBGET_REQUEST_TYPE_GET);
        WebGetAuthenticate_SetRequestURI(auth, "/dir/index.html");
    }
    void TearDown() override {
        WebGetAuthenticate_Release(&auth);
        Challenge_Remove();
        NotificationCenter_RemoveObserver("Challenge", "PromptRequest", nullptr, RecordPrompt);
        NTLM_SetForTest(0);
        WebGetTest::TearDown();
    }
    // Authenticate against a response carrying the header line; the header value when it answered 1.
    int64_t Answer(const std::string& line, int32_t* error, std::string* header = nullptr) {
        const std::string block = "HTTP/1.1 401 Unauthorized\r\n" + line + "Content-Length: 0\r\n\r\n";
        int32_t extended = -1;
        const int64_t result = WebGetAuthenticate_Authenticate(auth, block.c_str(), error, &extended);
        EXPECT_EQ(extended, 0);
        if (result && header) *header = Take();
        return result;
    }
    std::string Take() {
        char buffer[WEBGET_AUTHENTICATE_HEADER_SIZE];
        WebGetAuthenticate_GetHeader(auth, buffer, sizeof(buffer));
        return buffer;
    }
    // The user's answer to the prompt for example.test and "Main Site".
    void Respond(const char* user, const char* password, bool cancel) {
        Dictionary* answer = nullptr;
        Dictionary_Create(&answer);
        Dictionary_AddString(answer, "filter", "webgetserver", nullptr);
        Dictionary_AddInt32(answer, "type", 0, nullptr);
        Dictionary_AddString(answer, "host", "example.test", nullptr);
        Dictionary_AddString(answer, "realm", "Main Site", nullptr);
        if (cancel)
            Dictionary_AddBoolean(answer, "cancel", 1, nullptr);
        else
            Dictionary_AddString(answer, "username", user, nullptr), Dictionary_AddString(answer, "password", password, nullptr);
        Challenge_Notification_PromptResponse(nullptr, "Challenge", "PromptResponse", "ui", answer);
        Dictionary_Release(&answer);
    }
    void Pump() {
        for (int i = 0; i < 3; i++) NotificationCenter_Process();
    }
    WebGetAuthenticate* auth = nullptr;
};

TEST_F(WebGetAuthenticateTest, ChallengesThatCannotBeAnswered) {
    const std::string longNonce(600, 'n');
    struct Row {
        const char* Name;
        std::string Line;
        int32_t Error;
    } rows[] = {
        {"no challenge", "", WEBGET_ERROR_AUTH_HEADER_NOT_FOUND},
        {"proxy challenge only", "Proxy-Authenticate: Basic realm=\"r\"\r\n", WEBGET_ERROR_AUTH_HEADER_NOT_FOUND},
        {"bearer", "WWW-Authenticate: Bearer realm=\"r\"\r\n", WEBGET_ERROR_AUTH_NOT_SUPPORTED},
        {"empty value", "WWW-Authenticate: \r\n", WEBGET_ERROR_AUTH_NOT_SUPPORTED},
        {"digest without nonce", "WWW-Authenticate: Digest realm=\"r\", qop=\"auth\"\r\n",
         WEBGET_ERROR_AUTH_NOT_SUPPORTED},
        {"digest with empty nonce", "WWW-Authenticate: Digest realm=\"r\", nonce=\"\"\r\n",
         WEBGET_ERROR_AUTH_NOT_SUPPORTED},
        {"digest nonce too long", "WWW-Authenticate: Digest realm=\"r\", nonce=\"" + longNonce + "\"\r\n",
         WEBGET_ERROR_AUTH_NOT_SUPPORTED},
        {"digest realm too long", "WWW-Authenticate: Digest realm=\"" + longNonce + "\", nonce=\"n\"\r\n",
         WEBGET_ERROR_AUTH_NOT_SUPPORTED},
        {"digest algorithm unknown", "WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", algorithm=SHA-512\r\n",
         WEBGET_ERROR_AUTH_NOT_SUPPORTED},
        {"ntlm token not base64", "WWW-Authenticate: NTLM !!!!\r\n", WEBGET_ERROR_AUTH_NOT_SUPPORTED},
        {"ntlm token not a challenge", "WWW-Authenticate: NTLM " + Encode64("NTLMSSP") + "\r\n",
         WEBGET_ERROR_AUTH_NOT_SUPPORTED},
        {"ntlm target name past the end",
         "WWW-Authenticate: NTLM " + Encode64(ChallengeMessage("12345678").replace(12, 2, "\x40\x00", 2)) + "\r\n",
         WEBGET_ERROR_AUTH_NOT_SUPPORTED},
        {"ntlm token too long", "WWW-Authenticate: Negotiate " + std::string(2000, 'A') + "\r\n",
         WEBGET_ERROR_AUTH_NOT_SUPPORTED},
    };
    for (const Row& row : rows) {
        WebGetAuthenticate_Reset(auth);
        WebGetAuthenticate_SetHost(auth, "example.test");
        WebGetAuthenticate_SetCredentials(auth, "user", "pw");
        int32_t error = -1;
        EXPECT_EQ(Answer(row.Line, &error), 0) << row.Name;
        EXPECT_EQ(error, row.Error) << row.Name;
    }
    Pump();
    EXPECT_TRUE(g_prompts.empty());
}

TEST_F(WebGetAuthenticateTest, BasicAsksTheBrokerThenSendsTheUserWithoutDomain) {
    int32_t error = -1;
    ASSERT_EQ(Answer("WWW-Authenticate: Basic realm=\"Main Site\"\r\n", &error), 0);
    EXPECT_EQ(error, 0); // waiting, not failed
    Pump();
    ASSERT_EQ(g_prompts.size(), 1u);
    EXPECT_EQ(g_prompts[0], "filter=webgetserver;type=0;host=example.test;realm=Main Site;username=;password=;attempt=0;");
    Respond("DOM\\user", "pw", false);
    WebGetAuthenticate_SetCredentials(auth, "DOM\\user", "pw");
    std::string header;
    ASSERT_EQ(Answer("WWW-Authenticate: BASIC realm=\"Main Site\"\r\n", &error, &header), 1);
    EXPECT_EQ(header, "Basic dXNlcjpwdw=="); // "user:pw"
    EXPECT_EQ(Take(), header);                // the standing header serves the next request
    uint32_t flags = 0;
    WebGetAuthenticate_GetFlags(auth, &flags);
    EXPECT_EQ(flags, (uint32_t)WEBGET_AUTH_BASIC);

    // A failed answer asks again with the credentials that failed; a proxy asks as a proxy.
    ASSERT_EQ(Answer("WWW-Authenticate: Basic realm=\"Main Site\"\r\n", &error), 0);
    WebGetAuthenticate* proxy = nullptr;
    WebGetAuthenticate_Create(&proxy);
    WebGetAuthenticate_SetProxy(proxy, 1);
    WebGetAuthenticate_SetHost(proxy, "proxy.test:3128");
    const char* block = "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=p\r\n\r\n";
    int32_t extended = 0;
    EXPECT_EQ(WebGetAuthenticate_Authenticate(proxy, block, &error, &extended), 0);
    WebGetAuthenticate_Release(&proxy);
    Pump();
    ASSERT_EQ(g_prompts.size(), 2u); // the two keys differ: one prompt shows at a time
    EXPECT_EQ(g_prompts[1], "filter=webgetserver;type=0;host=example.test;realm=Main Site;username=DOM\\user;password=pw;attempt=1;");
    Respond("", "", true);
    ASSERT_EQ(g_prompts.size(), 3u);
    EXPECT_EQ(g_prompts[2], "filter=webgetproxy;type=1;host=proxy.test:3128;realm=p;username=;password=;attempt=0;");
}

// RFC 2617 section 3.5 with the client nonce and count this client chose: the response must be
// the RFC's formula over them, for the method and URI of each request.
TEST_F(WebGetAuthenticateTest, DigestHeadersFollowEachRequest) {
    const std::string challenge =
        "WWW-Authenticate: Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
        "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"\r\n";
    WebGetAuthenticate_SetCredentials(auth, "Mufasa", "Circle Of Life");
    int32_t error = -1;
    std::string header;
    ASSERT_EQ(Answer(challenge, &error, &header), 1);
    auto f = Fields(header);
    EXPECT_EQ(header.substr(0, header.find(" response=")),
              "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
              "uri=\"/dir/index.html\", qop=\"auth\", nc=00000001, cnonce=\"" + f["cnonce"] + "\",");
    EXPECT_EQ(header.substr(header.find(", opaque=")), ", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"");
    const std::string ha1 = Md5("Mufasa:testrealm@host.com:Circle Of Life");
    auto expected = [&](const std::string& method, const std::string& uri, const std::string& nc,
                        const std::string& cnonce) {
        return Md5(ha1 + ":dcd98b7102dd2f0e8b11d0f600bfb0c093:" + nc + ":" + cnonce + ":auth:" + Md5(method + ":" + uri));
    };
    EXPECT_EQ(f["response"], expected("GET", "/dir/index.html", "00000001", f["cnonce"]));
    // A fixed client nonce would let anyone replay: it is random, 16 hexadecimal digits.
    const std::string cnonce = f["cnonce"];
    EXPECT_EQ(cnonce.size(), 16u);
    EXPECT_NE(cnonce, "3c71a9e04b6d52f8");

    // The next requests under the same nonce: the count rises, the method and URI are theirs.
    WebGetAuthenticate_SetRequestType(auth, WEBGET_REQUEST_TYPE_POST);
    WebGetAuthenticate_SetRequestURI(auth, "/other?x=1");
    f = Fields(Take());
    EXPECT_EQ(f["nc"], "00000002");
    EXPECT_EQ(f["uri"], "/other?x=1");
    EXPECT_EQ(f["cnonce"], cnonce);
    EXPECT_EQ(f["response"], expected("POST", "/other?x=1", "00000002", cnonce));
    EXPECT_EQ(Fields(Take())["nc"], "00000003");

    // A new server nonce: a new client nonce, the count starts again.
    ASSERT_EQ(Answer("WWW-Authenticate: Digest realm=\"testrealm@host.com\", nonce=\"second\", qop=auth, stale=true\r\n",
                     &error, &header),
              1);
    f = Fields(header);
    EXPECT_EQ(f["nc"], "00000001");
    EXPECT_NE(f["cnonce"], cnonce);
    // Another authenticator draws its own.
    WebGetAuthenticate* other = nullptr;
    WebGetAuthenticate_Create(&other);
    WebGetAuthenticate_SetHost(other, "example.test");
    WebGetAuthenticate_SetCredentials(other, "Mufasa", "Circle Of Life");
    const std::string block = "HTTP/1.1 401 x\r\n" + challenge + "\r\n";
    int32_t extended = 0;
    ASSERT_EQ(WebGetAuthenticate_Authenticate(other, block.c_str(), &error, &extended), 1);
    char buffer[WEBGET_AUTHENTICATE_HEADER_SIZE];
    WebGetAuthenticate_GetHeader(other, buffer, sizeof(buffer));
    EXPECT_NE(Fields(buffer)["cnonce"], cnonce);
    WebGetAuthenticate_Release(&other);
    Pump();
    EXPECT_TRUE(g_prompts.empty()); // credentials at hand, and stale answered without asking
}

TEST_F(WebGetAuthenticateTest, DigestVariants) {
    const std::string body = "name=value&x=y";
    struct Row {
        const char* Name;
        const char* Challenge;
        const char* Qop;       // expected qop, empty for none
        const char* Algorithm; // as echoed, empty for none
        bool Sess;
    } rows[] = {
        {"auth listed first", "qop=\"auth,auth-int\"", "auth", "", false},
        {"auth-int first hashes the body", "qop=\"auth-int,auth\"", "auth-int", "", false},
        {"md5-sess in any case", "qop=\"auth\", algorithm=MD5-Sess", "auth", "MD5-Sess", true},
        {"plain MD5 echoed", "algorithm=MD5", "", "MD5", false},
        {"no qop", "", "", "", false},
    };
    for (const Row& row : rows) {
        WebGetAuthenticate_Reset(auth);
        WebGetAuthenticate_SetHost(auth, "example.test");
        WebGetAuthenticate_SetRequestType(auth, WEBGET_REQUEST_TYPE_PUT);
        WebGetAuthenticate_SetRequestURI(auth, "/put");
        WebGetAuthenticate_SetRequestBody(auth, body.data(), (uint32_t)body.size());
        WebGetAuthenticate_SetCredentials(auth, "u", "p");
        int32_t error = -1;
        std::string header;
        const std::string line =
            std::string("WWW-Authenticate: Digest realm=\"r\", nonce=\"abc\", ") + row.Challenge + "\r\n";
        ASSERT_EQ(Answer(line, &error, &header), 1) << row.Name;
        auto f = Fields(header);
        std::string ha1 = Md5("u:r:p");
        if (row.Sess) ha1 = Md5(ha1 + ":abc:" + f["cnonce"]);
        const std::string qop = row.Qop;
        const std::string ha2 = Md5(qop == "auth-int" ? "PUT:/put:" + Md5(body) : "PUT:/put");
        const std::string response =
            qop.empty() ? Md5(ha1 + ":abc:" + ha2) : Md5(ha1 + ":abc:" + f["nc"] + ":" + f["cnonce"] + ":" + qop + ":" + ha2);
        EXPECT_EQ(f["response"], response) << row.Name;
        EXPECT_EQ(f.count("qop") ? f["qop"] : "", qop) << row.Name;
        EXPECT_EQ(f.count("nc") + f.count("cnonce"), qop.empty() ? 0u : 2u) << row.Name;
        EXPECT_EQ(f.count("algorithm") ? f["algorithm"] : "", row.Algorithm) << row.Name;
        EXPECT_EQ(f.count("opaque"), 0u) << row.Name;
    }
}

TEST_F(WebGetAuthenticateTest, NtlmAndNegotiateMessages) {
    NTLM_SetForTest(1); // client challenge 0xAA x 8
    for (const char* scheme : {"NTLM", "Negotiate"}) {
        WebGetAuthenticate_Reset(auth);
        WebGetAuthenticate_SetHost(auth, "example.test");
        int32_t error = -1;
        ASSERT_EQ(Answer(std::string("WWW-Authenticate: ") + scheme + "\r\n", &error), 0) << scheme;
        WebGetAuthenticate_SetCredentials(auth, "User", "Password");
        std::string header;
        ASSERT_EQ(Answer(std::string("WWW-Authenticate: ") + scheme + "\r\n", &error, &header), 1) << scheme;
        EXPECT_EQ(WebGetAuthenticate_IsNTLM(auth), 1);
        const std::string prefix = std::string(scheme) + " ";
        ASSERT_EQ(header.substr(0, prefix.size()), prefix);
        // The raw negotiate message: 32 bytes, default flags, empty buffers at offset 32.
        const std::string negotiate = Decode64(header.substr(prefix.size()));
        ASSERT_EQ(negotiate.size(), 32u) << scheme;
        EXPECT_EQ(negotiate.substr(0, 8), std::string("NTLMSSP\0", 8));
        EXPECT_EQ(Le32(negotiate, 8), 1u);
        EXPECT_EQ(Le32(negotiate, 12), 0x88205u);
        EXPECT_EQ(Le32(negotiate, 16), 0u);
        EXPECT_EQ(Le32(negotiate, 20), 32u);
        EXPECT_EQ(Le32(negotiate, 28), 32u);

        // MS-NLMP 4.2.3 (NTLMv1 with extended session security): server challenge 0123456789abcdef.
        const std::string type2 = ChallengeMessage("\x01\x23\x45\x67\x89\xab\xcd\xef");
        ASSERT_EQ(Answer(std::string("WWW-Authenticate: ") + scheme + " " + Encode64(type2) + "\r\n", &error, &header), 1);
        ASSERT_EQ(header.substr(0, prefix.size()), prefix);
        const std::string type3 = Decode64(header.substr(prefix.size()));
        ASSERT_GE(type3.size(), 64u + 48u);
        EXPECT_EQ(Le32(type3, 8), 3u);
        EXPECT_EQ(Le32(type3, 60), 0x88205u);
        const uint32_t ntLength = Le32(type3, 20) & 0xFFFF, ntAt = Le32(type3, 24);
        ASSERT_EQ(ntLength, 24u);
        std::string hex;
        char out[64];
        Hash_ConvertDigestToString(reinterpret_cast<const uint8_t*>(type3.data()) + ntAt, 24, 0, out, sizeof(out));
        EXPECT_EQ(std::string(out), "7537f803ae367128ca458204bde7caf81e97ed2683267232") << scheme;
        const uint32_t userLength = Le32(type3, 36) & 0xFFFF, userAt = Le32(type3, 40);
        EXPECT_EQ(type3.substr(userAt, userLength), std::string("U\0s\0e\0r\0", 8));
        // The authenticate message goes once; then the negotiate message stands again.
        EXPECT_EQ(Decode64(Take().substr(prefix.size())), negotiate);
    }
}

TEST_F(WebGetAuthenticateTest, NtlmDomainAndRepeatedChallenge) {
    WebGetAuthenticate_SetCredentials(auth, "DOM/user", "pw");
    int32_t error = -1;
    std::string header;
    ASSERT_EQ(Answer("WWW-Authenticate: NTLM\r\n", &error, &header), 1);
    const std::string negotiate = Decode64(header.substr(5));
    ASSERT_EQ(negotiate.size(), 35u);
    EXPECT_EQ(Le32(negotiate, 12), 0x88205u | 0x1000u);
    EXPECT_EQ(Le32(negotiate, 16), 3u | 3u << 16);
    EXPECT_EQ(Le32(negotiate, 20), 32u);
    EXPECT_EQ(negotiate.substr(32), "DOM");
    const std::string type2 = "WWW-Authenticate: NTLM " + Encode64(ChallengeMessage("abcdefgh")) + "\r\n";
    ASSERT_EQ(Answer(type2, &error, &header), 1);
    // The server challenges again right after the answer: the answer failed. The user is asked
    // rather than the same answer sent forever.
    EXPECT_EQ(Answer(type2, &error), 0);
    EXPECT_EQ(error, 0);
    Pump();
    ASSERT_EQ(g_prompts.size(), 1u);
    EXPECT_NE(g_prompts[0].find("username=DOM/user;password=pw;"), std::string::npos);
}

TEST_F(WebGetAuthenticateTest, HostChangeForgetsEverything) {
    WebGetAuthenticate_SetCredentials(auth, "user", "pw");
    int32_t error = -1;
    std::string header;
    ASSERT_EQ(Answer("WWW-Authenticate: NTLM\r\n", &error, &header), 1);
    WebGetAuthenticate_SetHost(auth, "EXAMPLE.test"); // same host
    EXPECT_EQ(WebGetAuthenticate_IsNTLM(auth), 1);
    EXPECT_EQ(Take(), header);
    WebGetAuthenticate_SetHost(auth, "other.test");
    EXPECT_EQ(WebGetAuthenticate_IsNTLM(auth), 0);
    EXPECT_EQ(Take(), "");
    EXPECT_EQ(Answer("WWW-Authenticate: Basic realm=r\r\n", &error), 0);
    Pump();
    ASSERT_EQ(g_prompts.size(), 1u);
    EXPECT_EQ(g_prompts[0].find("host=other.test;realm=r;"), g_prompts[0].find("host="));
}

} // namespace
