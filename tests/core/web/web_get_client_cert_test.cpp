// Tests of the client-certificate state: the address and what it forgets, the prompt through the
// credential broker and its cache, files that cannot be used, and a PKCS #12 answer installed in a
// TLS client that openssl s_server -Verify 1 then accepts.
#include "core/web/web_get_client_cert.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/net/tls1.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/web/challenge.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/support/tls_pump.h"
#include "tests/support/web_get_env.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetEnvironment);

struct Seen {
    std::string Name;
    std::string Instance;
    std::string Types;
    std::string Address;
    std::string Password;
    int32_t Attempt = -1;
};
std::vector<Seen> g_seen;

std::string Text(Dictionary* d, const char* key) {
    const char* text = nullptr;
    return Dictionary_GetStringPtrByKey(d, key, &text) && text ? text : "";
}

int64_t Record(void*, const char*, const char* name, const char* instance, Dictionary* info) {
    Seen s;
    s.Name = name;
    s.Instance = instance;
    Dictionary* types = nullptr;
    if (Dictionary_GetListByKey(info, "certificateTypes", &types)) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(types, &item); item; Dictionary_ItemGetNext(types, item, &item)) {
            const char* text = nullptr;
            Dictionary_ItemGetStringPtr(types, item, &text);
            s.Types += (s.Types.empty() ? "" : "|") + std::string(text ? text : "");
        }
    }
    s.Address = Text(info, "address");
    s.Password = Text(info, "password");
    if (Dictionary_ContainsKey(info, "attempt")) Dictionary_GetInt32ByKey(info, "attempt", &s.Attempt);
    g_seen.push_back(s);
    return 1;
}

class WebGetClientCertTest : public WebGetTest {
  protected:
    void SetUp() override {
        WebGetTest::SetUp();
        g_seen.clear();
        NotificationCenter_AddObserver("Challenge", "PromptRequest", nullptr, Record);
        NotificationCenter_AddObserver("Challenge", "Response", nullptr, Record);
        ASSERT_EQ(Challenge_Init(0), 1);
        ASSERT_EQ(WebGetClientCert_Create(&Cert), 1);
        ASSERT_EQ(TLS1_Create(&Tls), 1);
    }
    void TearDown() override {
        TLS1_Release(&Tls);
        WebGetClientCert_Release(&Cert);
        Challenge_Remove();
        NotificationCenter_RemoveObserver("Challenge", "PromptRequest", nullptr, Record);
        NotificationCenter_RemoveObserver("Challenge", "Response", nullptr, Record);
        WebGetTest::TearDown();
    }
    std::vector<Seen> Prompt(WebGetClientCert* cert, const char* address) {
        WebGetClientCert_SetAddress(cert, address);
        int32_t error = 0, errorEx = 0;
        EXPECT_EQ(WebGetClientCert_Prompt(cert, "rsa,ecdsa", &error, &errorEx), 1);
        EXPECT_EQ(error, 0);
        return Take();
    }
    std::vector<Seen> Take() {
        for (int i = 0; i < 3; i++) NotificationCenter_Process();
        std::vector<Seen> out;
        out.swap(g_seen);
        return out;
    }
    void Answer(const char* address, const char* path, const char* password) {
        Dictionary* answer = nullptr;
        Dictionary_Create(&answer);
        Dictionary_AddString(answer, "filter", "clientcert", nullptr);
        Dictionary_AddString(answer, "address", address, nullptr);
        Dictionary_AddString(answer, "certificatePath", path, nullptr);
        Dictionary_AddString(answer, "password", password, nullptr);
        NotificationCenter_FireAfterDelay("Challenge", "PromptResponse", "ui", 0, answer);
        Dictionary_Release(&answer);
    }
    std::string Path() {
        char path[WEBGET_CLIENT_CERT_PATH_SIZE];
        WebGetClientCert_GetCertificatePath(Cert, path, sizeof(path));
        return path;
    }
    WebGetClientCert* Cert = nullptr;
    TLS1* Tls = nullptr;
    TempDir Dir;
};

TEST_F(WebGetClientCertTest, AddressChangeForgetsCredentials) {
    WebGetClientCert_SetAddress(Cert, "10.0.0.1:443");
    EXPECT_EQ(WebGetClientCert_SetCredentials(Cert, Tls, "/nonexistent/cert.p12", "pw"), 0);
    WebGetClientCert_SetCancel(Cert, 1);
    WebGetClientCert_SetAddress(Cert, "10.0.0.1:443");
    EXPECT_EQ(Path(), "/nonexistent/cert.p12");
    WebGetClientCert_SetAddress(Cert, "10.0.0.2:443");
    EXPECT_EQ(Path(), "");
    uint32_t cancel = 7;
    WebGetClientCert_GetCancel(Cert, &cancel);
    EXPECT_EQ(cancel, 0u);
    char address[64];
    WebGetClientCert_GetAddress(Cert, address, sizeof(address));
    EXPECT_STREQ(address, "10.0.0.2:443");
    WebGetClientCert_Reset(Cert);
    WebGetClientCert_GetAddress(Cert, address, sizeof(address));
    EXPECT_STREQ(address, "");
}

TEST_F(WebGetClientCertTest, PromptAndCachedAnswer) {
    char id[40];
    WebGetClientCert_GetInstanceId(Cert, id, sizeof(id));
    std::vector<Seen> seen = Prompt(Cert, "10.0.0.1:443");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Name, "PromptRequest");
    EXPECT_EQ(seen[0].Instance, id);
    EXPECT_EQ(seen[0].Types, "rsa|ecdsa");
    EXPECT_EQ(seen[0].Address, "10.0.0.1:443");
    EXPECT_EQ(seen[0].Attempt, 0);
    Answer("10.0.0.1:443", "/x.p12", "secret");
    seen = Take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Name, "Response");
    EXPECT_EQ(seen[0].Password, "secret");

    // Another connection without a password for the address is answered from the cache.
    WebGetClientCert* other = nullptr;
    WebGetClientCert_Create(&other);
    seen = Prompt(other, "10.0.0.1:443");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Name, "Response");
    // One that already holds the cached password is asked again: that password failed.
    WebGetClientCert_SetCredentials(other, Tls, "/x.p12", "secret");
    seen = Prompt(other, "10.0.0.1:443");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Name, "PromptRequest");
    EXPECT_EQ(seen[0].Attempt, 1);
    Answer("10.0.0.1:443", "/y.p12", "secret2");
    Take();
    // Invalidated, the next request prompts even without a password held.
    EXPECT_EQ(WebGetClientCert_InvalidateCredentials(Cert), 1);
    seen = Prompt(Cert, "10.0.0.1:443");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Name, "PromptRequest");
    EXPECT_EQ(seen[0].Attempt, 2);
    WebGetClientCert_Release(&other);
}

TEST_F(WebGetClientCertTest, UnusableFilesClearTheCertificate) {
    const std::string empty = Dir.file("empty.p12");
    std::ofstream(empty).close();
    const std::string junk = Dir.file("junk.p12");
    std::ofstream(junk) << "not a PKCS #12 file";
    const std::string paths[] = {Dir.file("missing.p12"), empty, junk, Dir.path()};
    for (const std::string& path : paths)
        EXPECT_EQ(WebGetClientCert_SetCredentials(Cert, Tls, path.c_str(), "pw"), 0) << path;
}

TEST_F(WebGetClientCertTest, InstalledAnswerIsAcceptedByTheServer) {
    TLS1_Init();
    TlsPki pki;
    if (!pki.Made) GTEST_SKIP() << "openssl could not make the test certificates";
    TrustSet trust({pki.Der("root")});
    TlsServer server(pki.Dir.path(), {"openssl", "s_server", "-accept", "127.0.0.1:{port}", "-cert", "rsa.pem",
                                      "-key", "srvrsa.key", "-cert_chain", "chain2.pem", "-Verify", "1",
                                      "-CAfile", "root.pem", "-www"});
    ASSERT_TRUE(server.Running());
    TLS1_CiphersEnable(0);
    TLS1_CipherEnable(TLS1_CipherTranslate("ecdhe-rsa-aes128-gcm-sha256"), 1);
    TLS_VersionSetMin(TLS1_VERSION_1_2);
    TLS_VersionSetMax(TLS1_VERSION_1_2);
    TlsPump client;
    TLS1_SetCertStoreHandle(client.Tls(), trust.Interface);
    int asked = 0;
    TLS1_SetClientCertRequestCallback(
        client.Tls(), [](TLS1*, void* user) { ++*static_cast<int*>(user); }, &asked);
    EXPECT_FALSE(client.Handshake(server.Port(), "localhost"));
    EXPECT_EQ(asked, 1) << client.LastError();
    client.Close();
    const std::string p12 = pki.File("clirsa.p12");
    EXPECT_EQ(WebGetClientCert_SetCredentials(Cert, client.Tls(), p12.c_str(), "wrong"), 0);
    ASSERT_EQ(WebGetClientCert_SetCredentials(Cert, client.Tls(), p12.c_str(), "secret"), 1);
    ASSERT_TRUE(client.Handshake(server.Port(), "localhost"));
    ASSERT_TRUE(client.Send("GET / HTTP/1.0\r\n\r\n"));
    client.ReadToClose();
    EXPECT_NE(client.Received.find("Subject: CN=Interop Client RSA\n"), std::string::npos);
    client.Close();
    server.Stop();
    TLS1_Remove();
}

} // namespace
