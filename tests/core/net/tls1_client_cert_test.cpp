// Client certificates against openssl s_server -Verify 1: the first handshake is asked for a
// certificate and fails, the PKCS #12 (SHA-1 and 128-bit RC4, as openssl -legacy writes it) is
// installed on the same object, and the second handshake is accepted with the server naming
// the certificate it saw. RSA and ECDSA keys, TLS 1.2 and 1.0.
#include "core/net/tls1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/platform/memory_stream.h"
#include "tests/support/tls_peer.h"
#include "tests/support/tls_pump.h"

namespace {

struct Verifying {
    TlsPki Pki;
    std::unique_ptr<TrustSet> Trust;
    std::unique_ptr<TlsServer> Server;

    Verifying() {
        TLS1_Init();
        if (!Pki.Made) return;
        Trust = std::make_unique<TrustSet>(std::vector<std::string>{Pki.Der("root")});
        Server = std::make_unique<TlsServer>(Pki.Dir.path(),
                                             std::vector<std::string>{"openssl",       "s_server",
                                                                      "-accept",       "127.0.0.1:{port}",
                                                                      "-cert",         "rsa.pem",
                                                                      "-key",          "srvrsa.key",
                                                                      "-cert_chain",   "chain2.pem",
                                                                      "-dcert",        "ec.pem",
                                                                      "-dkey",         "srvec.key",
                                                                      "-dcert_chain",  "chain2.pem",
                                                                      "-cipher",       "DEFAULT@SECLEVEL=0",
                                                                      "-min_protocol", "TLSv1",
                                                                      "-Verify",       "1",
                                                                      "-CAfile",       "root.pem",
                                                                      "-www"});
    }
    ~Verifying() {
        Server.reset();
        TLS1_Remove();
    }
};

Verifying& Env() {
    static Verifying env;
    return env;
}

// The file in a memory stream, read from its start.
struct FileStream {
    MemoryStream* Stream = nullptr;
    explicit FileStream(const std::string& bytes) {
        MemoryStream_Create(&Stream);
        MemoryStream_SetAutoGrow(Stream, 1);
        uint32_t written = 0;
        MemoryStream_Write(Stream, bytes.data(), (uint32_t)bytes.size(), &written);
        EXPECT_EQ(written, bytes.size());
        MemoryStream_Seek(Stream, 0, SEEK_ORIGIN_BEGIN);
    }
    ~FileStream() { MemoryStream_Release(&Stream); }
};

struct ClientCertRow {
    const char* Name;
    const char* File; // the PKCS #12 file's base name
    const char* Subject;
    const char* Suite;
    uint8_t Version;
};

class ClientCert : public ::testing::TestWithParam<ClientCertRow> {};

TEST_P(ClientCert, InstalledAfterTheRequestAndSeenByTheServer) {
    const ClientCertRow& row = GetParam();
    ASSERT_TRUE(Env().Pki.Made && Env().Server->Running());
    TLS1_CiphersEnable(0);
    ASSERT_EQ(TLS1_CipherEnable(TLS1_CipherTranslate(row.Suite), 1), 1);
    TLS_VersionSetMin(row.Version);
    TLS_VersionSetMax(row.Version);
    TlsPump client;
    TLS1_SetCertStoreHandle(client.Tls(), Env().Trust->Interface);
    int asked = 0;
    TLS1_SetClientCertRequestCallback(
        client.Tls(), [](TLS1*, void* user) { ++*static_cast<int*>(user); }, &asked);

    EXPECT_FALSE(client.Handshake(Env().Server->Port(), "localhost"));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(client.LastError(), (uint32_t)TLS1_ALERT_HANDSHAKE_FAILURE);
    char types[32] = {};
    ASSERT_EQ(TLS1_GetRequestedCertificateTypes(client.Tls(), types, sizeof(types)), 1);
    EXPECT_STREQ(types, "rsa,ecdsa");
    uint16_t algorithms[128] = {};
    uint32_t count = 0;
    TLS1_GetRequestedSignAlgorithms(client.Tls(), algorithms, &count);
    if (row.Version == TLS1_VERSION_1_2) {
        // openssl asks for SHA-256 with ECDSA among others.
        EXPECT_NE(std::find(algorithms, algorithms + count, 0x0403), algorithms + count);
    } else {
        EXPECT_EQ(count, 0u);
    }
    client.Close();

    const std::string p12 = ReadFile(Env().Pki.File(std::string(row.File) + ".p12"));
    {
        FileStream wrong(p12);
        EXPECT_EQ(TLS1_SetClientCert(client.Tls(), wrong.Stream, "not the password"), 0);
    }
    FileStream file(p12);
    ASSERT_EQ(TLS1_SetClientCert(client.Tls(), file.Stream, "secret"), 1);
    ASSERT_TRUE(client.Handshake(Env().Server->Port(), "localhost")) << "last error " << client.LastError();
    EXPECT_EQ(asked, 1);
    ASSERT_TRUE(client.Send("GET / HTTP/1.0\r\n\r\n"));
    client.ReadToClose();
    EXPECT_NE(client.Received.find("Client certificate\n"), std::string::npos) << client.Received;
    EXPECT_NE(client.Received.find(row.Subject), std::string::npos) << client.Received;
    EXPECT_FALSE(client.Failed) << "last error " << client.LastError();
}

INSTANTIATE_TEST_SUITE_P(
    All, ClientCert,
    ::testing::Values(ClientCertRow{"Rsa_1_2", "clirsa", "Subject: CN=Interop Client RSA\n",
                                    "ecdhe-rsa-aes128-gcm-sha256", TLS1_VERSION_1_2},
                      ClientCertRow{"Ecdsa_1_2", "cliec", "Subject: CN=Interop Client EC\n",
                                    "ecdhe-ecdsa-aes256-gcm-sha384", TLS1_VERSION_1_2},
                      ClientCertRow{"Rsa_1_0", "clirsa", "Subject: CN=Interop Client RSA\n", "rsa-aes128-sha",
                                    TLS1_VERSION_1_0},
                      ClientCertRow{"Ecdsa_1_0", "cliec", "Subject: CN=Interop Client EC\n",
                                    "ecdhe-rsa-aes256-sha", TLS1_VERSION_1_0}),
    [](const ::testing::TestParamInfo<ClientCertRow>& info) { return std::string(info.param.Name); });

// A certificate whose key type the server did not ask for is refused, and nothing stays
// installed: the next handshake is asked again.
TEST(ClientCert, NotInstalledBeforeAnyRequest) {
    ASSERT_TRUE(Env().Pki.Made && Env().Server->Running());
    TlsPump client;
    FileStream file(ReadFile(Env().Pki.File("clirsa.p12")));
    EXPECT_EQ(TLS1_SetClientCert(client.Tls(), file.Stream, "secret"), 0);
    EXPECT_EQ(TLS1_SetClientCert(client.Tls(), nullptr, nullptr), 1);
}

} // namespace
