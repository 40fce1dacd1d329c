// Full handshakes of the client against openssl s_server: each key exchange and server key type
// at each version, with an HTTP request answered over the new connection.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/certs/authenticate.h"
#include "core/net/tls1.h"
#include "tests/support/tls_peer.h"
#include "tests/support/tls_pump.h"

namespace {

TlsPki* g_pki = nullptr;

class TLS1HandshakePeerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!g_pki) g_pki = new TlsPki;
    }
    static void TearDownTestSuite() {
        delete g_pki;
        g_pki = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(g_pki->Made) << "openssl made the certificates";
        Authenticate_SetEnabled(1);
        TLS1_Init();
        TLS1_CiphersEnable(1);
        TLS_VersionSetMin(0x31);
        TLS_VersionSetMax(0x33);
        Trust = new TrustSet({g_pki->Der("root")});
    }
    void TearDown() override {
        TLS1_Remove(); // the trust cache holds the store
        delete Trust;
        TLS1_CiphersEnable(0);
    }
    TrustSet* Trust = nullptr;
};

TEST_F(TLS1HandshakePeerTest, HandshakeAndRequestAtEachVersion) {
    struct Case {
        const char* Cipher; // openssl's name
        const char* Leaf;   // rsa or ec
        const char* Version;
        uint32_t Expected; // the version the client settles on
    } cases[] = {
        {"ECDHE-RSA-AES128-GCM-SHA256", "rsa", "-tls1_2", 0x33}, {"ECDHE-ECDSA-AES256-GCM-SHA384", "ec", "-tls1_2", 0x33},
        {"AES128-SHA256", "rsa", "-tls1_2", 0x33},               {"ECDHE-RSA-AES256-SHA", "rsa", "-tls1_1", 0x32},
        {"ECDHE-ECDSA-AES128-SHA", "ec", "-tls1_1", 0x32},       {"AES256-SHA", "rsa", "-tls1_1", 0x32},
        {"ECDHE-RSA-AES128-SHA", "rsa", "-tls1", 0x31},          {"ECDHE-ECDSA-AES256-SHA", "ec", "-tls1", 0x31},
        {"AES128-SHA", "rsa", "-tls1", 0x31},
    };
    const char* capture = getenv("TLS1_CAPTURE_DIR"); // writes the server's flights as fuzz seeds
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Cipher) + " " + c.Version);
        const std::string leaf = c.Leaf;
        const std::string key = leaf == "rsa" ? "srvrsa.key" : "srvec.key";
        TlsServer server(g_pki->Dir.path(),
                         {"openssl", "s_server", "-accept", "127.0.0.1:{port}", "-naccept", "1", "-cert", leaf + ".pem", "-key",
                          key, "-cert_chain", "chain2.pem", c.Version, "-cipher",
                          std::string(c.Cipher) + ":@SECLEVEL=0", "-www", "-quiet"});
        ASSERT_TRUE(server.Running()) << server.Output();
        TlsPump pump;
        pump.KeepWire = true;
        TLS1_SetCertStoreHandle(pump.Tls(), Trust->Interface);
        ASSERT_TRUE(pump.Handshake(server.Port(), "localhost")) << server.Output();
        TLS1* tls = pump.Tls();
        uint32_t error = 0;
        TLS1_GetLastError(tls, &error);
        EXPECT_EQ(error, 0u);
        const std::string request = "GET / HTTP/1.0\r\n\r\n";
        ASSERT_TRUE(pump.Send(request));
        pump.ReadToClose(10000);
        EXPECT_NE(pump.Received.find("HTTP/1.0 200 ok"), std::string::npos) << pump.Received.substr(0, 200);
        EXPECT_NE(pump.Received.find(c.Cipher), std::string::npos);
        if (capture) {
            const std::string name = std::string(capture) + "/" + c.Cipher + c.Version;
            if (FILE* file = fopen(name.c_str(), "wb")) {
                fwrite(pump.Wire.data(), 1, pump.Wire.size(), file);
                fclose(file);
            }
        }
        TLS1_SetCertStoreHandle(tls, nullptr);
    }
}

} // namespace
