// The TLS client against real servers on 127.0.0.1, pumped through a Socket: every suite at
// every version it allows against openssl s_server (which reports the protocol and suite it
// chose), gnutls-serv for RC4 and as a second server for the others, chains of one to four
// certificates and one larger than a record, the trust cache, the key log beside the server's,
// renegotiation, echoed data and downloads larger than the reader, and servers that stop, go
// quiet or raise alerts in the middle of a handshake.
#include "core/net/tls1.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>

#include <atomic>
#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/net/socket.h"
#include "core/platform/duplex_stream.h"
#include "tests/support/tls_peer.h"
#include "tests/support/tls_pump.h"

namespace {

constexpr const char* kHost = "localhost";
constexpr const char* kGet = "GET / HTTP/1.0\r\n\r\n";

// Keys, certificates and the servers shared by the tests of this program, made on first use.
struct Interop {
    TlsPki Pki;
    std::unique_ptr<TrustSet> Trust;
    // One s_server for every suite and version: RSA and ECDSA certificates, a status page
    // per request, the key log.
    std::unique_ptr<TlsServer> Main;

    Interop() {
        TLS1_Init();
        if (!Pki.Made) return;
        Trust = std::make_unique<TrustSet>(std::vector<std::string>{Pki.Der("root"), Pki.Der("self")});
        Main = Server("rsa", "srvrsa", "chain2.pem",
                      {"-dcert", "ec.pem", "-dkey", "srvec.key", "-dcert_chain", "chain2.pem", "-keylogfile",
                       "server.keys"});
    }
    ~Interop() {
        Main.reset();
        TLS1_Remove();
    }
    // An s_server -www with the given certificate, key and chain file.
    std::unique_ptr<TlsServer> Server(const std::string& cert, const std::string& key,
                                      const std::string& chain, std::vector<std::string> more = {}) {
        std::vector<std::string> args{"openssl", "s_server",           "-accept",       "127.0.0.1:{port}",
                                      "-cert",   cert + ".pem",        "-key",          key + ".key",
                                      "-cipher", "DEFAULT@SECLEVEL=0", "-min_protocol", "TLSv1"};
        if (!chain.empty()) args.insert(args.end(), {"-cert_chain", chain});
        args.insert(args.end(), more.begin(), more.end());
        if (std::find(more.begin(), more.end(), "-rev") == more.end() &&
            std::find(more.begin(), more.end(), "-WWW") == more.end())
            args.push_back("-www");
        return std::make_unique<TlsServer>(Pki.Dir.path(), args);
    }
};

Interop& Env() {
    static Interop env;
    return env;
}

// Offers exactly one suite at exactly one version.
void Offer(const char* suite, uint8_t version) {
    TLS1_CiphersEnable(0);
    const uint16_t code = TLS1_CipherTranslate(suite);
    ASSERT_NE(code, 0) << suite;
    ASSERT_EQ(TLS1_CipherEnable(code, 1), 1);
    TLS_VersionSetMin(version);
    TLS_VersionSetMax(version);
}

std::unique_ptr<TlsPump> Client() {
    auto pump = std::make_unique<TlsPump>();
    TLS1_SetCertStoreHandle(pump->Tls(), Env().Trust->Interface);
    return pump;
}

const char* OpensslVersion(uint8_t version) {
    return version == TLS1_VERSION_1_0 ? "TLSv1\n" : version == TLS1_VERSION_1_1 ? "TLSv1.1\n" : "TLSv1.2\n";
}

// ---- Every suite and version against openssl ------------------------------------------------

struct SuiteRow {
    const char* Ours;
    const char* Openssl;
    uint8_t Version;
};

std::vector<SuiteRow> SuiteRows() {
    struct Suite {
        const char* Ours;
        const char* Openssl;
        bool AllVersions; // SHA-1 CBC suites run at 1.0 and 1.1 too
    };
    static const Suite kSuites[] = {
        {"ecdhe-ecdsa-aes256-gcm-sha384", "ECDHE-ECDSA-AES256-GCM-SHA384", false},
        {"ecdhe-rsa-aes256-gcm-sha384", "ECDHE-RSA-AES256-GCM-SHA384", false},
        {"ecdhe-ecdsa-aes256-sha384", "ECDHE-ECDSA-AES256-SHA384", false},
        {"ecdhe-rsa-aes256-sha384", "ECDHE-RSA-AES256-SHA384", false},
        {"ecdhe-ecdsa-aes256-sha", "ECDHE-ECDSA-AES256-SHA", true},
        {"ecdhe-rsa-aes256-sha", "ECDHE-RSA-AES256-SHA", true},
        {"rsa-aes256-gcm-sha384", "AES256-GCM-SHA384", false},
        {"rsa-aes256-sha256", "AES256-SHA256", false},
        {"rsa-aes256-sha", "AES256-SHA", true},
        {"ecdhe-ecdsa-aes128-gcm-sha256", "ECDHE-ECDSA-AES128-GCM-SHA256", false},
        {"ecdhe-rsa-aes128-gcm-sha256", "ECDHE-RSA-AES128-GCM-SHA256", false},
        {"ecdhe-ecdsa-aes128-sha256", "ECDHE-ECDSA-AES128-SHA256", false},
        {"ecdhe-rsa-aes128-sha256", "ECDHE-RSA-AES128-SHA256", false},
        {"ecdhe-ecdsa-aes128-sha", "ECDHE-ECDSA-AES128-SHA", true},
        {"ecdhe-rsa-aes128-sha", "ECDHE-RSA-AES128-SHA", true},
        {"rsa-aes128-gcm-sha256", "AES128-GCM-SHA256", false},
        {"rsa-aes128-sha256", "AES128-SHA256", false},
        {"rsa-aes128-sha", "AES128-SHA", true},
    };
    std::vector<SuiteRow> rows;
    for (const Suite& s : kSuites) {
        if (s.AllVersions) {
            rows.push_back({s.Ours, s.Openssl, TLS1_VERSION_1_0});
            rows.push_back({s.Ours, s.Openssl, TLS1_VERSION_1_1});
        }
        rows.push_back({s.Ours, s.Openssl, TLS1_VERSION_1_2});
    }
    return rows;
}

class OpensslSuite : public ::testing::TestWithParam<SuiteRow> {};

TEST_P(OpensslSuite, HandshakeAndStatusPage) {
    const SuiteRow& row = GetParam();
    ASSERT_TRUE(Env().Pki.Made && Env().Main->Running());
    Offer(row.Ours, row.Version);
    auto client = Client();
    ASSERT_TRUE(client->Handshake(Env().Main->Port(), kHost)) << "last error " << client->LastError();
    EXPECT_EQ(client->LastError(), 0u);
    ASSERT_TRUE(client->Send(kGet));
    client->ReadToClose();
    const std::string& page = client->Received;
    EXPECT_NE(page.find("HTTP/1.0 200 ok"), std::string::npos);
    EXPECT_NE(page.find(std::string("Protocol  : ") + OpensslVersion(row.Version)), std::string::npos)
        << page;
    EXPECT_NE(page.find(std::string("Cipher    : ") + row.Openssl + "\n"), std::string::npos) << page;
    EXPECT_FALSE(client->Failed) << "last error " << client->LastError();
}

std::string SuiteName(const ::testing::TestParamInfo<SuiteRow>& info) {
    std::string name = std::string(info.param.Openssl) + "_" + TLS1_VersionToString(info.param.Version);
    for (char& c : name)
        if (!isalnum((unsigned char)c)) c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(All, OpensslSuite, ::testing::ValuesIn(SuiteRows()), SuiteName);

// ---- Other curves ------------------------------------------------------------------------------

struct CurveRow {
    const char* Name;
    const char* Cert;
    const char* Key;
    const char* Groups; // the server's key-agreement curves
    const char* Suite;
    uint8_t Version;
};

class Curves : public ::testing::TestWithParam<CurveRow> {};

// A P-384 server key signs the key exchange, or P-384 is the only curve the server agrees on.
TEST_P(Curves, Handshake) {
    const CurveRow& row = GetParam();
    ASSERT_TRUE(Env().Pki.Made);
    auto server = Env().Server(row.Cert, row.Key, "chain2.pem", {"-groups", row.Groups});
    ASSERT_TRUE(server->Running());
    Offer(row.Suite, row.Version);
    auto client = Client();
    ASSERT_TRUE(client->Handshake(server->Port(), kHost)) << "last error " << client->LastError();
    ASSERT_TRUE(client->Send(kGet));
    client->ReadToClose();
    EXPECT_NE(client->Received.find(std::string("Protocol  : ") + OpensslVersion(row.Version)),
              std::string::npos);
    EXPECT_FALSE(client->Failed) << "last error " << client->LastError();
}

INSTANTIATE_TEST_SUITE_P(All, Curves,
                         ::testing::Values(CurveRow{"P384Key_1_2", "ec384", "srvec384", "P-256",
                                                    "ecdhe-ecdsa-aes256-gcm-sha384", TLS1_VERSION_1_2},
                                           CurveRow{"P384Key_1_0", "ec384", "srvec384", "P-256",
                                                    "ecdhe-ecdsa-aes128-sha", TLS1_VERSION_1_0},
                                           CurveRow{"P384Exchange_1_2", "rsa", "srvrsa", "P-384",
                                                    "ecdhe-rsa-aes128-gcm-sha256", TLS1_VERSION_1_2},
                                           CurveRow{"P384Exchange_1_1", "ec", "srvec", "P-384",
                                                    "ecdhe-ecdsa-aes256-sha", TLS1_VERSION_1_1}),
                         [](const ::testing::TestParamInfo<CurveRow>& info) {
                             return std::string(info.param.Name);
                         });

// ---- gnutls-serv: RC4, and a second implementation for the others -----------------------------

struct GnutlsRow {
    const char* Ours;
    const char* Gnutls; // the suite as gnutls names it
    uint8_t Version;
    const char* GnutlsVersion;
};

class Gnutls : public ::testing::TestWithParam<GnutlsRow> {};

TEST_P(Gnutls, HandshakeAndStatusPage) {
    const GnutlsRow& row = GetParam();
    ASSERT_TRUE(Env().Pki.Made);
    static std::unique_ptr<TlsServer> server;
    if (!server) {
        for (const char* key : {"rsa", "ec"})
            WriteText(Env().Pki.File(std::string(key) + "_full.pem"),
                      ReadFile(Env().Pki.File(std::string(key) + ".pem")) +
                          ReadFile(Env().Pki.File("chain2.pem")));
        server = std::make_unique<TlsServer>(
            Env().Pki.Dir.path(),
            std::vector<std::string>{
                "gnutls-serv", "--http", "--disable-client-cert", "-p", "{port}", "--x509certfile",
                "rsa_full.pem", "--x509keyfile", "srvrsa.key", "--x509certfile", "ec_full.pem",
                "--x509keyfile", "srvec.key", "--priority",
                "NORMAL:+VERS-TLS1.0:+VERS-TLS1.1:+ARCFOUR-128:+MD5:+RSA:+SHA1:+AES-128-CBC:"
                "+AES-256-CBC"});
    }
    ASSERT_TRUE(server->Running()) << "gnutls-serv did not start: " << server->Output();
    Offer(row.Ours, row.Version);
    auto client = Client();
    ASSERT_TRUE(client->Handshake(server->Port(), kHost)) << "last error " << client->LastError() << "\n"
                                                          << server->Output();
    // The status page shows the request's header lines back.
    ASSERT_TRUE(client->Send("GET / HTTP/1.0\r\nX-Probe: gnutls\r\n\r\n"));
    client->ReadToClose();
    const std::string& page = client->Received;
    EXPECT_NE(page.find(std::string("<TD>Protocol version:</TD><TD>") + row.GnutlsVersion + "</TD>"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find(std::string("<TD>Ciphersuite</TD><TD>") + row.Gnutls + "</TD>"), std::string::npos)
        << page;
    EXPECT_NE(page.find("X-Probe: gnutls"), std::string::npos) << page;
    EXPECT_FALSE(client->Failed) << "last error " << client->LastError();
}

INSTANTIATE_TEST_SUITE_P(
    All, Gnutls,
    ::testing::Values(
        GnutlsRow{"rc4-sha", "RSA_ARCFOUR_128_SHA1", TLS1_VERSION_1_0, "TLS1.0"},
        GnutlsRow{"rc4-sha", "RSA_ARCFOUR_128_SHA1", TLS1_VERSION_1_1, "TLS1.1"},
        GnutlsRow{"rc4-sha", "RSA_ARCFOUR_128_SHA1", TLS1_VERSION_1_2, "TLS1.2"},
        GnutlsRow{"rc4-md5", "RSA_ARCFOUR_128_MD5", TLS1_VERSION_1_0, "TLS1.0"},
        GnutlsRow{"rc4-md5", "RSA_ARCFOUR_128_MD5", TLS1_VERSION_1_1, "TLS1.1"},
        GnutlsRow{"rc4-md5", "RSA_ARCFOUR_128_MD5", TLS1_VERSION_1_2, "TLS1.2"},
        GnutlsRow{"ecdhe-rsa-aes128-gcm-sha256", "ECDHE_RSA_AES_128_GCM_SHA256", TLS1_VERSION_1_2, "TLS1.2"},
        GnutlsRow{"ecdhe-ecdsa-aes256-gcm-sha384", "ECDHE_ECDSA_AES_256_GCM_SHA384", TLS1_VERSION_1_2,
                  "TLS1.2"},
        GnutlsRow{"rsa-aes256-gcm-sha384", "RSA_AES_256_GCM_SHA384", TLS1_VERSION_1_2, "TLS1.2"},
        GnutlsRow{"ecdhe-rsa-aes256-sha", "ECDHE_RSA_AES_256_CBC_SHA1", TLS1_VERSION_1_0, "TLS1.0"},
        GnutlsRow{"ecdhe-ecdsa-aes128-sha", "ECDHE_ECDSA_AES_128_CBC_SHA1", TLS1_VERSION_1_1, "TLS1.1"},
        GnutlsRow{"rsa-aes128-sha", "RSA_AES_128_CBC_SHA1", TLS1_VERSION_1_0, "TLS1.0"}),
    [](const ::testing::TestParamInfo<GnutlsRow>& info) {
        std::string name = std::string(info.param.Ours) + "_" + info.param.GnutlsVersion;
        for (char& c : name)
            if (!isalnum((unsigned char)c)) c = '_';
        return name;
    });

// ---- Chains ------------------------------------------------------------------------------------

struct ChainRow {
    const char* Name;
    const char* Cert;
    const char* Chain; // file of the certificates sent after the leaf, or ""
    bool Trusted;
};

class Chains : public ::testing::TestWithParam<ChainRow> {};

TEST_P(Chains, VerifiedAgainstTheStore) {
    const ChainRow& row = GetParam();
    ASSERT_TRUE(Env().Pki.Made);
    auto server = Env().Server(row.Cert, "srvrsa", row.Chain);
    ASSERT_TRUE(server->Running());
    // A fresh trust cache, so that the chain is walked whatever earlier tests met.
    TLS1_Remove();
    TLS1_Init();
    Offer("ecdhe-rsa-aes128-gcm-sha256", TLS1_VERSION_1_2);
    auto client = Client();
    const bool done = client->Handshake(server->Port(), kHost);
    if (!row.Trusted) {
        EXPECT_FALSE(done);
        EXPECT_EQ(client->LastError(), (uint32_t)TLS1_ALERT_BAD_CERTIFICATE);
        return;
    }
    ASSERT_TRUE(done) << "last error " << client->LastError();
    ASSERT_TRUE(client->Send(kGet));
    client->ReadToClose();
    EXPECT_NE(client->Received.find("Cipher    : ECDHE-RSA-AES128-GCM-SHA256\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(All, Chains,
                         ::testing::Values(ChainRow{"One", "self", "", true},
                                           ChainRow{"Two", "leaf2", "chain_leaf2.pem", true},
                                           ChainRow{"Three", "rsa", "chain2.pem", true},
                                           ChainRow{"Four", "leaf4", "chain_leaf4.pem", true},
                                           // One certificate of more than 16 KiB: the message
                                           // spans two records.
                                           ChainRow{"LargerThanARecord", "big", "chain2.pem", true},
                                           // Same names as the trusted root, another key.
                                           ChainRow{"UntrustedRoot", "other", "chain_other.pem", false},
                                           // The root is not sent and nothing below it is trusted.
                                           ChainRow{"RootMissing", "rsa", "", false}),
                         [](const ::testing::TestParamInfo<ChainRow>& info) {
                             return std::string(info.param.Name);
                         });

// A certificate that does not name the host ends the handshake as a bad certificate.
TEST(Chains, OtherHostNameFailsAsBadCertificate) {
    ASSERT_TRUE(Env().Pki.Made && Env().Main->Running());
    Offer("ecdhe-rsa-aes128-gcm-sha256", TLS1_VERSION_1_2);
    auto client = Client();
    EXPECT_FALSE(client->Handshake(Env().Main->Port(), "otherhost.test"));
    EXPECT_TRUE(client->Failed);
    EXPECT_EQ(client->LastError(), (uint32_t)TLS1_ALERT_BAD_CERTIFICATE);
}

// A server certificate whose chain was verified is trusted again for a while without its chain,
// but only for the store that verified it.
TEST(Chains, VerifiedCertificateIsRememberedForItsStore) {
    ASSERT_TRUE(Env().Pki.Made && Env().Main->Running());
    TLS1_Remove();
    TLS1_Init();
    Offer("ecdhe-rsa-aes128-gcm-sha256", TLS1_VERSION_1_2);
    TrustSet fickle({Env().Pki.Der("root")});
    // s_server serves one connection at a time: each client goes before the next comes.
    auto handshake = [&](TrustSet& store) {
        TlsPump client;
        TLS1_SetCertStoreHandle(client.Tls(), store.Interface);
        const bool done = client.Handshake(Env().Main->Port(), kHost);
        return done ? 0u : client.LastError() + 1000;
    };
    EXPECT_EQ(handshake(fickle), 0u);
    fickle.Clear();
    EXPECT_EQ(handshake(fickle), 0u);
    TrustSet other({});
    EXPECT_EQ(handshake(other), 1000u + TLS1_ALERT_BAD_CERTIFICATE);
}

// ---- Application data both ways ------------------------------------------------------------

struct EchoRow {
    const char* Suite;
    uint8_t Version;
};

class Echo : public ::testing::TestWithParam<EchoRow> {};

// s_server -rev answers each line reversed; 64 KiB in lines of 4 KiB crosses several records
// each way.
TEST_P(Echo, LinesComeBackReversed) {
    ASSERT_TRUE(Env().Pki.Made);
    static std::unique_ptr<TlsServer> server;
    if (!server)
        server =
            Env().Server("rsa", "srvrsa", "chain2.pem",
                         {"-dcert", "ec.pem", "-dkey", "srvec.key", "-dcert_chain", "chain2.pem", "-rev"});
    ASSERT_TRUE(server->Running());
    Offer(GetParam().Suite, GetParam().Version);
    auto client = Client();
    ASSERT_TRUE(client->Handshake(server->Port(), kHost)) << "last error " << client->LastError();
    std::string sent, expected;
    for (int i = 0; i < 16; i++) {
        std::string line;
        for (int j = 0; j < 4095; j++) line += (char)('a' + (i * 7 + j * 13) % 26);
        sent += line + "\n";
        expected += std::string(line.rbegin(), line.rend()) + "\n";
    }
    ASSERT_TRUE(client->Send(sent));
    client->PumpUntil([&] { return client->Received.size() >= expected.size(); });
    EXPECT_EQ(client->Received, expected);
    EXPECT_EQ(client->LastError(), 0u);
    client->Close();
}

INSTANTIATE_TEST_SUITE_P(All, Echo,
                         ::testing::Values(EchoRow{"rsa-aes128-sha", TLS1_VERSION_1_0},
                                           EchoRow{"ecdhe-rsa-aes256-sha", TLS1_VERSION_1_1},
                                           EchoRow{"ecdhe-ecdsa-aes256-gcm-sha384", TLS1_VERSION_1_2},
                                           EchoRow{"rsa-aes256-sha256", TLS1_VERSION_1_2}),
                         [](const ::testing::TestParamInfo<EchoRow>& info) {
                             std::string name = std::string(info.param.Suite) + "_" +
                                                TLS1_VersionToString(info.param.Version);
                             for (char& c : name)
                                 if (!isalnum((unsigned char)c)) c = '_';
                             return name;
                         });

// The caller's own duplex stream on both ends, as a connection pumps it: 2 MiB are queued from
// its write side until the outgoing records fill the object (none of the plaintext may be lost
// for want of room), and the answer moves into its read side.
TEST(Echo, ThroughDuplexStreamsWithTheOutgoingSideFull) {
    ASSERT_TRUE(Env().Pki.Made);
    auto server = Env().Server("rsa", "srvrsa", "chain2.pem", {"-rev"});
    ASSERT_TRUE(server->Running());
    Offer("ecdhe-rsa-aes128-gcm-sha256", TLS1_VERSION_1_2);
    auto client = Client();
    ASSERT_TRUE(client->Handshake(server->Port(), kHost)) << "last error " << client->LastError();
    std::string sent, expected;
    for (int i = 0; i < 512; i++) {
        std::string line(4095, (char)('a' + i % 26));
        line[i % 4095] = '#';
        sent += line + "\n";
        expected += std::string(line.rbegin(), line.rend()) + "\n";
    }
    DuplexStream* app = nullptr;
    DuplexStream_Create(&app);
    client->Hold = true;
    std::string received;
    size_t put = 0;
    bool filled = false;
    const auto deadline = TlsPump::Clock::now() + std::chrono::seconds(30);
    while (received.size() < expected.size() && !client->Failed && TlsPump::Clock::now() < deadline) {
        int32_t room = 0;
        DuplexStream_WriteGetBufferLeft(app, &room);
        const size_t more = std::min(sent.size() - put, (size_t)std::max(room, 0));
        if (more > 0) DuplexStream_WritePut(app, sent.data() + put, (uint32_t)more);
        put += more;
        while (TLS1_WriteFill(client->Tls(), app) == 1) {
        }
        int32_t left = 0;
        TLS1_WriteGetBufferLeft(client->Tls(), &left);
        filled = filled || left < (int32_t)TLS1_RECORD_BUFFER;
        client->Step(10);
        TLS1_ReadFillTarget(client->Tls(), app);
        char chunk[65536];
        uint32_t got = 0;
        while (DuplexStream_ReadGet(app, chunk, sizeof(chunk), &got) && got > 0) received.append(chunk, got);
    }
    DuplexStream_Release(&app);
    EXPECT_TRUE(filled);
    EXPECT_EQ(client->LastError(), 0u);
    EXPECT_TRUE(received == expected) << received.size() << " of " << expected.size();
}

// ---- Renegotiation asked for by the server ----------------------------------------------------

struct RenegotiationRow {
    const char* Suite;
    uint8_t Version;
};

class Renegotiation : public ::testing::TestWithParam<RenegotiationRow> {};

// s_server, told "r" on its input, sends a HelloRequest; the client answers with a new
// handshake inside the protected connection, and data flows both ways before and after it. The
// server renegotiates only securely, bound to the connection by both sides' verify data.
TEST_P(Renegotiation, NewHandshakeInsideTheConnection) {
    ASSERT_TRUE(Env().Pki.Made);
    TlsServer server(Env().Pki.Dir.path(),
                     {"openssl",
                      "s_server",
                      "-accept",
                      "127.0.0.1:{port}",
                      "-cert",
                      "rsa.pem",
                      "-key",
                      "srvrsa.key",
                      "-cert_chain",
                      "chain2.pem",
                      "-dcert",
                      "ec.pem",
                      "-dkey",
                      "srvec.key",
                      "-dcert_chain",
                      "chain2.pem",
                      "-cipher",
                      "DEFAULT@SECLEVEL=0",
                      "-min_protocol",
                      "TLSv1"},
                     10, true);
    ASSERT_TRUE(server.Running());
    Offer(GetParam().Suite, GetParam().Version);
    auto client = Client();
    ASSERT_TRUE(client->Handshake(server.Port(), kHost)) << "last error " << client->LastError();
    ASSERT_TRUE(client->Send("before renegotiation\n"));
    ASSERT_TRUE(server.Type("r\n"));
    EXPECT_TRUE(client->PumpUntil([&] { return TLS1_IsHandshakeComplete(client->Tls()) == 0; }, 5000));
    EXPECT_TRUE(client->PumpUntil([&] { return TLS1_IsHandshakeComplete(client->Tls()) == 1; }, 5000))
        << "last error " << client->LastError() << "\n"
        << server.Output();
    ASSERT_TRUE(client->Send("after renegotiation\n"));
    ASSERT_TRUE(server.Type("from the server\n"));
    EXPECT_TRUE(client->PumpUntil(
        [&] { return client->Received.find("from the server\n") != std::string::npos; }, 5000));
    EXPECT_EQ(client->LastError(), 0u);
    EXPECT_TRUE(server.Printed("before renegotiation\nSSL_do_handshake -> 1\n")) << server.Output();
    EXPECT_TRUE(server.Printed("after renegotiation\n")) << server.Output();
    client->Close();
}

INSTANTIATE_TEST_SUITE_P(All, Renegotiation,
                         ::testing::Values(RenegotiationRow{"ecdhe-rsa-aes128-gcm-sha256", TLS1_VERSION_1_2},
                                           RenegotiationRow{"ecdhe-ecdsa-aes256-sha", TLS1_VERSION_1_1},
                                           RenegotiationRow{"rsa-aes128-sha", TLS1_VERSION_1_0}),
                         [](const ::testing::TestParamInfo<RenegotiationRow>& info) {
                             std::string name = std::string(info.param.Suite) + "_" +
                                                TLS1_VersionToString(info.param.Version);
                             for (char& c : name)
                                 if (!isalnum((unsigned char)c)) c = '_';
                             return name;
                         });

// ---- A download larger than the reader ---------------------------------------------------------

struct DownloadRow {
    const char* Suite;
    uint8_t Version;
};

class Download : public ::testing::TestWithParam<DownloadRow> {};

// 3 MiB from s_server -WWW arrive intact. The reader is first left full: the object stops
// asking for bytes, records wait, nothing fails, and all of it comes once the reader drains.
TEST_P(Download, ArrivesIntactThroughAFullReader) {
    ASSERT_TRUE(Env().Pki.Made);
    static std::string content;
    static std::unique_ptr<TlsServer> server;
    if (!server) {
        uint64_t state = 0x9E3779B97F4A7C15ull;
        for (int i = 0; i < 3 << 20; i++) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            content += (char)(state >> 56);
        }
        ASSERT_TRUE(WriteText(Env().Pki.File("blob.bin"), content));
        server = Env().Server("rsa", "srvrsa", "chain2.pem",
                              {"-dcert", "ec.pem", "-dkey", "srvec.key", "-dcert_chain", "chain2.pem", "-WWW",
                               "-http_server_binmode"});
    }
    ASSERT_TRUE(server->Running());
    Offer(GetParam().Suite, GetParam().Version);
    auto client = Client();
    ASSERT_TRUE(client->Handshake(server->Port(), kHost)) << "last error " << client->LastError();
    client->Hold = true;
    ASSERT_TRUE(client->Send("GET /blob.bin HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(client->PumpUntil([&] {
        int32_t left = 1;
        TLS1_ReadGetBufferLeft(client->Tls(), &left);
        return left <= 0;
    }));
    int32_t used = 0;
    TLS1_ReadGetBufferUsed(client->Tls(), &used);
    EXPECT_GT(used, 1 << 19);
    EXPECT_FALSE(client->Failed);
    client->Hold = false;
    client->ReadToClose(30000);
    EXPECT_FALSE(client->Failed) << "last error " << client->LastError();
    ASSERT_GE(client->Received.size(), content.size());
    EXPECT_TRUE(client->Received.compare(client->Received.size() - content.size(), content.size(), content) ==
                0);
    EXPECT_EQ(client->Received.substr(0, 9), "HTTP/1.0 ");
}

INSTANTIATE_TEST_SUITE_P(All, Download,
                         ::testing::Values(DownloadRow{"ecdhe-rsa-aes128-gcm-sha256", TLS1_VERSION_1_2},
                                           DownloadRow{"ecdhe-ecdsa-aes256-sha384", TLS1_VERSION_1_2},
                                           DownloadRow{"rsa-aes256-sha", TLS1_VERSION_1_0},
                                           DownloadRow{"ecdhe-rsa-aes128-sha", TLS1_VERSION_1_1}),
                         [](const ::testing::TestParamInfo<DownloadRow>& info) {
                             std::string name = std::string(info.param.Suite) + "_" +
                                                TLS1_VersionToString(info.param.Version);
                             for (char& c : name)
                                 if (!isalnum((unsigned char)c)) c = '_';
                             return name;
                         });

// ---- Key log -----------------------------------------------------------------------------------

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (text[start] != '#') lines.push_back(text.substr(start, end - start + 1));
        start = end + 1;
    }
    return lines;
}

TEST(KeyLog, LinesEqualTheServersAndAreAppended) {
    ASSERT_TRUE(Env().Pki.Made && Env().Main->Running());
    const std::string path = Env().Pki.File("client.keys");
    ASSERT_TRUE(WriteText(path, "# kept\n", 0600));
    ASSERT_EQ(TLS1_SetKeyLogPath(path.c_str()), 1);
    struct {
        const char* Suite;
        uint8_t Version;
    } const sessions[] = {{"rsa-aes128-sha", TLS1_VERSION_1_0},
                          {"ecdhe-ecdsa-aes128-gcm-sha256", TLS1_VERSION_1_2}};
    for (const auto& session : sessions) {
        Offer(session.Suite, session.Version);
        auto client = Client();
        EXPECT_TRUE(client->Handshake(Env().Main->Port(), kHost)) << session.Suite;
        client->Send(kGet);
        client->ReadToClose();
    }
    TLS1_SetKeyLogPath("");
    const std::string ours = ReadFile(path);
    const std::vector<std::string> lines = Lines(ours);
    ASSERT_EQ(lines.size(), 2u) << ours;
    EXPECT_EQ(ours.substr(0, 7), "# kept\n");
    const std::vector<std::string> theirs = Lines(ReadFile(Env().Pki.File("server.keys")));
    ASSERT_GE(theirs.size(), 2u);
    EXPECT_EQ(lines[0], theirs[theirs.size() - 2]);
    EXPECT_EQ(lines[1], theirs[theirs.size() - 1]);
    EXPECT_EQ(lines[0].size(), 176u);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A file that does not exist yet is made 0600.
    const std::string fresh = Env().Pki.File("fresh.keys");
    const mode_t old = umask(0);
    TLS1_SetKeyLogPath(fresh.c_str());
    Offer("rsa-aes128-gcm-sha256", TLS1_VERSION_1_2);
    auto client = Client();
    EXPECT_TRUE(client->Handshake(Env().Main->Port(), kHost));
    TLS1_SetKeyLogPath("");
    umask(old);
    ASSERT_EQ(stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(Lines(ReadFile(fresh)).size(), 1u);
}

// ---- Servers that fail the handshake ---------------------------------------------------------

// A scripted server on a free port: accepts one connection, reads what the client sends for a
// moment, writes the given bytes, then closes or stays silent.
class ScriptedServer {
  public:
    ScriptedServer(std::string reply, bool close) : reply_(std::move(reply)), close_(close) {
        const uint32_t loopback = htonl(INADDR_LOOPBACK);
        Socket_Create(&listener_);
        Socket_Open(listener_, SOCKET_PROTOCOL_TCP);
        Socket_Bind(listener_, &loopback, 0);
        Socket_Listen(listener_);
        uint32_t address = 0;
        Socket_GetLocalIP(listener_, &address, &port_);
        Socket_SetTimeout(listener_, 2000, 2000, 5000);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
        Socket_Release(&listener_);
    }
    uint32_t Port() const { return port_; }

  private:
    void Serve() {
        Socket* peer = nullptr;
        if (!Socket_Accept(listener_, &peer)) return;
        Socket_SetTimeout(peer, 200, 2000, 0);
        char hello[4096];
        uint32_t got = 0;
        Socket_Read(peer, hello, sizeof(hello), &got);
        uint32_t sent = 0;
        if (!reply_.empty()) Socket_Write(peer, reply_.data(), (uint32_t)reply_.size(), &sent);
        if (!close_)
            while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Socket_Release(&peer);
    }

    std::string reply_;
    bool close_;
    Socket* listener_ = nullptr;
    uint32_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The records s_server sends for one full handshake, up to its Finished.
std::string CapturedFlight(const char* suite, uint8_t version) {
    Offer(suite, version);
    auto client = Client();
    client->KeepWire = true;
    EXPECT_TRUE(client->Handshake(Env().Main->Port(), kHost));
    return client->Wire;
}

struct BrokenRow {
    const char* Name;
    // How much of a real server flight is sent: a byte count, or -1 for all of it.
    int Bytes;
    bool Close;
    uint32_t Error; // the last error expected; 0 none
};

class BrokenServer : public ::testing::TestWithParam<BrokenRow> {};

TEST_P(BrokenServer, FailsWithoutHanging) {
    const BrokenRow& row = GetParam();
    ASSERT_TRUE(Env().Pki.Made && Env().Main->Running());
    static const std::string flight = CapturedFlight("ecdhe-rsa-aes128-gcm-sha256", TLS1_VERSION_1_2);
    ASSERT_GT(flight.size(), 100u);
    const std::string reply = row.Bytes < 0 ? flight : flight.substr(0, (size_t)row.Bytes);
    ScriptedServer server(reply, row.Close);
    Offer("ecdhe-rsa-aes128-gcm-sha256", TLS1_VERSION_1_2);
    auto client = Client();
    EXPECT_FALSE(client->Handshake(server.Port(), kHost, 1500));
    EXPECT_EQ(TLS1_IsHandshakeComplete(client->Tls()), 0);
    // A cut flight leaves the object waiting for more; only bad bytes make it fail.
    EXPECT_EQ(client->Failed, row.Error != 0);
    if (row.Close) {
        EXPECT_TRUE(client->Closed || client->Failed);
    }
    EXPECT_EQ(client->LastError(), row.Error);
}

INSTANTIATE_TEST_SUITE_P(
    All, BrokenServer,
    ::testing::Values(BrokenRow{"ClosesAtOnce", 0, true, 0}, BrokenRow{"Silent", 0, false, 0},
                      BrokenRow{"ClosesInsideTheFirstHeader", 3, true, 0},
                      BrokenRow{"ClosesInsideTheServerHello", 40, true, 0},
                      BrokenRow{"GoesQuietInsideTheCertificate", 300, false, 0},
                      // The whole flight of another session: its key exchange was signed over
                      // other randoms.
                      BrokenRow{"ReplaysAnotherSession", -1, true, TLS1_ALERT_HANDSHAKE_FAILURE}),
    [](const ::testing::TestParamInfo<BrokenRow>& info) { return std::string(info.param.Name); });

struct AlertRow {
    const char* Name;
    std::string Bytes;
    uint32_t Error;
};

class ServerAlert : public ::testing::TestWithParam<AlertRow> {};

TEST_P(ServerAlert, IsTheLastError) {
    ScriptedServer server(GetParam().Bytes, true);
    Offer("ecdhe-rsa-aes128-gcm-sha256", TLS1_VERSION_1_2);
    auto client = Client();
    EXPECT_FALSE(client->Handshake(server.Port(), kHost, 3000));
    EXPECT_TRUE(client->Failed);
    EXPECT_EQ(client->LastError(), GetParam().Error);
}

INSTANTIATE_TEST_SUITE_P(
    All, ServerAlert,
    ::testing::Values(AlertRow{"InternalError", std::string("\x15\x03\x03\x00\x02\x02\x50", 7), 80},
                      AlertRow{"HandshakeFailure", std::string("\x15\x03\x01\x00\x02\x02\x28", 7), 40},
                      AlertRow{"ProtocolVersion", std::string("\x15\x03\x01\x00\x02\x02\x46", 7), 70}),
    [](const ::testing::TestParamInfo<AlertRow>& info) { return std::string(info.param.Name); });

// A real server that refuses what we offer sends an alert; it becomes the last error.
TEST(ServerAlert, FromOpensslWhenNoSuiteIsShared) {
    ASSERT_TRUE(Env().Pki.Made);
    auto server = Env().Server("rsa", "srvrsa", "chain2.pem", {"-cipher", "AES256-GCM-SHA384"});
    ASSERT_TRUE(server->Running());
    Offer("rsa-aes128-gcm-sha256", TLS1_VERSION_1_2);
    auto client = Client();
    EXPECT_FALSE(client->Handshake(server->Port(), kHost));
    EXPECT_EQ(client->LastError(), (uint32_t)TLS1_ALERT_HANDSHAKE_FAILURE);
}

TEST(ServerAlert, FromOpensslWhenTheVersionIsRefused) {
    ASSERT_TRUE(Env().Pki.Made);
    auto server = Env().Server("rsa", "srvrsa", "chain2.pem", {"-tls1_2"});
    ASSERT_TRUE(server->Running());
    Offer("rsa-aes128-sha", TLS1_VERSION_1_0);
    auto client = Client();
    EXPECT_FALSE(client->Handshake(server->Port(), kHost));
    EXPECT_EQ(client->LastError(), (uint32_t)TLS1_ALERT_PROTOCOL_VERSION);
}

} // namespace
