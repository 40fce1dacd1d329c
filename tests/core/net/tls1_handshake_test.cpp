#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "core/certs/authenticate.h"
#include "core/net/tls1_internal.h"
#include "core/platform/memory_stream.h"
#include "tests/core/net/tls1_scripted_server.h"
#include "tests/support/cert_chains.h"

namespace {

CertChains* g_certs = nullptr;
std::vector<std::string>* g_log = nullptr;

int64_t Capture(void*, const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (g_log) g_log->push_back(text);
    return 1;
}

const char* const kDefaultSuites[] = {
    "ecdhe-ecdsa-aes256-gcm-sha384", "ecdhe-rsa-aes256-gcm-sha384", "ecdhe-ecdsa-aes256-sha384",
    "ecdhe-rsa-aes256-sha384",       "ecdhe-ecdsa-aes256-sha",      "ecdhe-rsa-aes256-sha",
    "rsa-aes256-gcm-sha384",         "rsa-aes256-sha256",           "rsa-aes256-sha",
    "ecdhe-ecdsa-aes128-gcm-sha256", "ecdhe-rsa-aes128-gcm-sha256", "ecdhe-ecdsa-aes128-sha256",
    "ecdhe-rsa-aes128-sha256",       "ecdhe-ecdsa-aes128-sha",      "ecdhe-rsa-aes128-sha",
    "rsa-aes128-gcm-sha256",         "rsa-aes128-sha256",           "rsa-aes128-sha"};

const char* const kHost = "www.example.com";

class TLS1HandshakeTest : public ::testing::Test {
  protected:
    TLS1* Tls = nullptr;
    CountingStore* Store = nullptr;
    ScriptedServer* Server = nullptr;
    std::vector<std::string> Log;

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
        TLS1_Init();
        TLS1_CiphersEnable(1);
        TLS_VersionSetMin(0x31);
        TLS_VersionSetMax(0x33);
        g_log = &Log;
        // The issuing CAs stand for the trusted roots a platform store would reach from them.
        Store = new CountingStore({g_certs->Der("ica"), g_certs->Der("ica_rsa")});
        NewClient();
    }
    void TearDown() override {
        delete Server;
        TLS1_Delete(&Tls);
        TLS1_Remove(); // the cache holds the store
        delete Store;
        TLS1_CiphersEnable(0);
        TLS_VersionSetMin(0x31);
        TLS_VersionSetMax(0x33);
        g_log = nullptr;
    }
    void NewClient() {
        delete Server;
        if (Tls) TLS1_Delete(&Tls);
        TLS1_Create(&Tls);
        TLS1_SetCertStoreHandle(Tls, Store->Interface);
        TLS1_SetPrintCallback(Tls, nullptr, Capture);
        TLS1_SetVerbose(Tls, 1);
        Server = new ScriptedServer(Tls);
    }
    void Connect(const char* host = kHost) {
        uint32_t error = 99;
        ASSERT_EQ(TLS1_Connect(Tls, host, &error), 1);
        Server->Drain();
        ASSERT_EQ(Server->ClientRandom.size(), 32u);
    }
    uint32_t LastError() {
        uint32_t code = 0;
        TLS1_GetLastError(Tls, &code);
        return code;
    }
    bool Logged(const std::string& text) const {
        for (const std::string& line : Log)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    Blob Der(const char* name) { return g_certs->Der(name); }
    std::string Key(const char* name) { return g_certs->Dir.file(std::string(name) + ".key"); }
    // A ServerKeyExchange for a named curve and point, signed by the key over the randoms.
    Blob KeyExchange(uint16_t curve, const Blob& point, const char* key, const char* digest, int hashNumber,
                     int signatureNumber) {
        const Blob params = U8(3) + U16(curve) + U8((uint32_t)point.size()) + point;
        const Blob signature = OpensslSign(Key(key), digest, Server->ClientRandom + kServerRandom + params);
        Blob body = params;
        if (hashNumber >= 0) body += U8(hashNumber) + U8(signatureNumber);
        return Message(12, body + U16((uint32_t)signature.size()) + signature);
    }
    // The server's flight up to ServerHelloDone for an RSA suite, certificate from the RSA chain.
    int64_t RsaFlight(uint16_t suite = 0x0005, const Blob& extra = "") {
        return Server->Handshake(ServerHello(3, Server->Minor, suite) +
                                 CertificateMessage({Der("leaf_rsa"), Der("ica_rsa")}) + extra +
                                 ServerHelloDone());
    }
    // A whole RSA handshake, the server's Finished included.
    int64_t CompleteHandshake() {
        if (RsaFlight() != 1 || Server->ChangeCipherSpec() != 1) return 0;
        return Server->Handshake(Server->ExpectedFinished());
    }
};

// ---- ClientHello ---------------------------------------------------------------------------

// Walks the extensions of a ClientHello: type -> data.
std::vector<std::pair<uint16_t, Blob>> Extensions(const Blob& hello, Blob* suites) {
    size_t at = 4 + 2 + 32;
    at += 1 + (uint8_t)hello[at];
    const size_t suiteLength = (uint8_t)hello[at] << 8 | (uint8_t)hello[at + 1];
    *suites = hello.substr(at + 2, suiteLength);
    at += 2 + suiteLength;
    at += 1 + (uint8_t)hello[at];
    const size_t end = at + 2 + ((uint8_t)hello[at] << 8 | (uint8_t)hello[at + 1]);
    EXPECT_EQ(end, hello.size());
    std::vector<std::pair<uint16_t, Blob>> out;
    for (at += 2; at + 4 <= end;) {
        const uint16_t type = (uint16_t)((uint8_t)hello[at] << 8 | (uint8_t)hello[at + 1]);
        const size_t length = (uint8_t)hello[at + 2] << 8 | (uint8_t)hello[at + 3];
        out.push_back({type, hello.substr(at + 4, length)});
        at += 4 + length;
    }
    return out;
}

TEST_F(TLS1HandshakeTest, ClientHelloLayout) {
    struct Case {
        const char* What;
        uint8_t VersionMax;
        const char* Host;
        size_t Size;            // 0: not fixed
        const char* Extensions; // extension types in order
        size_t SuiteCount;
    } cases[] = {
        {"TLS 1.2, 12-character host", 0x33, "abcdefgh.com", 512, "000d 000a 000b ff01 0000 0015", 18},
        {"TLS 1.2, no host", 0x33, "", 512, "000d 000a 000b ff01 0015", 18},
        {"TLS 1.1 offers no GCM and no signature_algorithms", 0x32, "abcdefgh.com", 512,
         "000a 000b ff01 0000 0015", 12},
        {"a long name leaves no room for padding", 0x33, nullptr, 0, "000d 000a 000b ff01 0000", 18},
    };
    // 129 bytes before the name's 9-byte header: 381 characters end the hello at 510.
    const std::string longHost(381, 'a');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        TLS1_CiphersEnable(0);
        for (const char* name : kDefaultSuites) TLS1_CipherEnable(TLS1_CipherTranslate(name), 1);
        TLS_VersionSetMax(c.VersionMax);
        NewClient();
        const char* host = c.Size == 0 ? longHost.c_str() : c.Host;
        Connect(host);
        ASSERT_EQ(Server->Records.size(), 1u);
        const Blob& hello = Server->Records[0].Content;
        ASSERT_EQ(Server->HandshakeMessages.size(), 1u);
        EXPECT_EQ(hello.size(), c.Size ? c.Size : 510u);
        EXPECT_EQ(hello.substr(0, 6),
                  U8(1) + U24((uint32_t)hello.size() - 4) + U8(3) + U8(c.VersionMax & 15));
        Blob suites;
        std::string types;
        for (const auto& [type, data] : Extensions(hello, &suites)) {
            char text[8];
            snprintf(text, sizeof(text), "%s%04x", types.empty() ? "" : " ", type);
            types += text;
            if (type == 0x000d) {
                EXPECT_EQ(data, HexBlob("000c040306010501050304010201"));
            }
            if (type == 0x000a) {
                EXPECT_EQ(data, HexBlob("000400170018"));
            }
            if (type == 0x000b) {
                EXPECT_EQ(data, HexBlob("0100"));
            }
            if (type == 0xff01) {
                EXPECT_EQ(data, HexBlob("00")); // renegotiation_info of a first hello
            }
            if (type == 0x0000) {
                EXPECT_EQ(data, U16((uint32_t)strlen(host) + 3) + U8(0) + U16((uint32_t)strlen(host)) + host);
            }
            if (type == 0x0015) {
                EXPECT_EQ(data, Blob(data.size(), '\0'));
            }
        }
        EXPECT_EQ(types, c.Extensions);
        EXPECT_EQ(suites.size(), 2 * c.SuiteCount);
        if (c.VersionMax == 0x33) {
            EXPECT_EQ(suites.substr(0, 4), HexBlob("c02cc030"));
        }
    }
}

TEST_F(TLS1HandshakeTest, FirstRecordCarriesVersionThreeOne) {
    uint32_t error = 0;
    ASSERT_EQ(TLS1_Connect(Tls, kHost, &error), 1);
    char header[5];
    uint32_t got = 0;
    ASSERT_EQ(TLS1_WriteGet(Tls, header, 5, &got), 1);
    EXPECT_EQ(Blob(header, 5).substr(0, 3), HexBlob("160301"));
}

TEST_F(TLS1HandshakeTest, HostThatDoesNotFitTheHelloRefusesTheConnection) {
    const std::string host(460, 'a');
    uint32_t error = 0;
    EXPECT_EQ(TLS1_Connect(Tls, host.c_str(), &error), 0);
    EXPECT_EQ(error, 40u);
    int32_t used = -1;
    TLS1_WriteGetBufferUsed(Tls, &used);
    EXPECT_EQ(used, 0);
}

// ---- ServerHello ---------------------------------------------------------------------------

TEST_F(TLS1HandshakeTest, ServerHelloVersionAndSuite) {
    struct Case {
        const char* What;
        uint8_t Major, Minor;
        uint16_t Suite;
        bool Disable;
        int64_t Result;
        uint32_t Error;
        uint32_t Version;
    } cases[] = {
        {"3,3", 3, 3, 0x002F, false, 1, 0, 0x33},
        {"3,4 is taken as the highest we speak", 3, 4, 0x002F, false, 1, 0, 0x33},
        {"3,1", 3, 1, 0x002F, false, 1, 0, 0x31},
        {"3,0 is below the minimum", 3, 0, 0x002F, false, 0, 70, 0},
        {"suite not enabled", 3, 3, 0x002F, true, 0, 47, 0},
        {"suite we never offer", 3, 3, 0x000A, false, 0, 47, 0},
        {"GCM under TLS 1.1", 3, 2, 0xC02F, false, 0, 47, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        TLS1_CiphersEnable(1);
        if (c.Disable) TLS1_CipherEnable(c.Suite, 0);
        NewClient();
        Connect();
        EXPECT_EQ(Server->Handshake(ServerHello(c.Major, c.Minor, c.Suite)), c.Result);
        EXPECT_EQ(LastError(), c.Error);
        if (c.Result) {
            EXPECT_EQ(Tls->ActiveVersion, c.Version);
            EXPECT_EQ(Tls->ExpectedHandshakeType, 11u);
        } else if (c.Error == 47) {
            EXPECT_EQ(Tls->CipherInfo, nullptr);
        }
    }
}

TEST_F(TLS1HandshakeTest, ServerHelloCompressionAndExtensions) {
    struct Case {
        const char* What;
        Blob Tail;
        uint8_t Compression;
        uint32_t Error; // 0: accepted
        uint32_t Secure;
    } cases[] = {
        {"no extensions", "", 0, 0, 0},
        {"empty renegotiation_info", RenegotiationInfo(""), 0, 0, 1},
        {"other extensions around it",
         U16(11) + U16(0x000b) + U16(2) + HexBlob("0100") + HexBlob("ff01000100"), 0, 0, 1},
        {"empty extensions block", U16(0), 0, 0, 0},
        {"deflate", "", 1, 47, 0},
        {"renegotiation_info with data in a first handshake", RenegotiationInfo(Blob(12, 'x')), 0, 40, 0},
        {"renegotiation_info twice", U16(10) + HexBlob("ff01000100ff01000100"), 0, 40, 0},
        {"one stray byte", U8(0), 0, 40, 0},
        {"block longer than the message", U16(9) + HexBlob("ff01000100"), 0, 40, 0},
        {"extension longer than the block", U16(5) + HexBlob("ff01000200"), 0, 40, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        NewClient();
        Connect();
        EXPECT_EQ(Server->Handshake(ServerHelloWith(3, 0x002F, c.Tail, c.Compression)), c.Error ? 0 : 1);
        EXPECT_EQ(LastError(), c.Error);
        if (!c.Error) {
            EXPECT_EQ(Tls->SecureRenegotiation, c.Secure);
        }
    }
}

// ---- Certificate ---------------------------------------------------------------------------

TEST_F(TLS1HandshakeTest, HostMismatchFailsAsBadCertificateBeforeTheStoreIsAsked) {
    Connect("other.example.org");
    EXPECT_EQ(
        Server->Handshake(ServerHello(3, 3, 0x0005) + CertificateMessage({Der("leaf_rsa"), Der("ica_rsa")})),
        0);
    EXPECT_EQ(LastError(), (uint32_t)TLS1_ALERT_BAD_CERTIFICATE);
    EXPECT_EQ(Store->Asked, 0);
    // The connection is over: what follows is not read as part of a handshake.
    EXPECT_EQ(Server->Handshake(ServerHelloDone()), 0);
    EXPECT_FALSE(Server->Sent(16));
}

TEST_F(TLS1HandshakeTest, CertificateChecks) {
    struct Case {
        const char* What;
        std::vector<const char*> Chain;
        bool TrustRoot;
        uint32_t Error;
        const char* Text;
    } cases[] = {
        {"verified chain", {"leaf_rsa", "ica_rsa"}, true, 0, nullptr},
        {"untrusted root", {"leaf_rsa", "ica_rsa"}, false, 42, "Failed to verify certificate chain"},
        {"empty list", {}, true, 42, "Failed to get first certificate in chain"},
        {"not DER", {"junk"}, true, 42, "Failed to decode certificate"},
        {"DER but no certificate", {"int"}, true, 42, "Failed to build certificate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        Store->Trusted = c.TrustRoot ? std::vector<Blob>{Der("ica_rsa")} : std::vector<Blob>{};
        TLS1_Remove();
        TLS1_Init();
        NewClient();
        Connect();
        std::vector<Blob> ders;
        for (const char* name : c.Chain)
            ders.push_back(std::string(name) == "junk"  ? Blob("\x30\x82\xff", 3)
                           : std::string(name) == "int" ? HexBlob("020101")
                                                        : Der(name));
        Log.clear();
        const int64_t result = Server->Handshake(ServerHello(3, 3, 0x0005) + CertificateMessage(ders));
        EXPECT_EQ(result, c.Error ? 0 : 1);
        EXPECT_EQ(LastError(), c.Error);
        if (c.Text) {
            EXPECT_TRUE(Logged(c.Text));
        }
    }
}

TEST_F(TLS1HandshakeTest, CachedCertificateSkipsChainVerificationForTheSameStoreOnly) {
    Connect();
    ASSERT_EQ(RsaFlight(), 1);
    const int asked = Store->Asked;
    ASSERT_GT(asked, 0);
    // Another connection against the same store: the cache answers.
    NewClient();
    Connect();
    ASSERT_EQ(RsaFlight(), 1);
    EXPECT_EQ(Store->Asked, asked);
    // A store that trusts nothing is not answered from the first store's verification.
    CountingStore other({});
    NewClient();
    TLS1_SetCertStoreHandle(Tls, other.Interface);
    Connect();
    EXPECT_EQ(RsaFlight(), 0);
    EXPECT_EQ(LastError(), 42u);
    EXPECT_GT(other.Asked, 0);
    TLS1_SetCertStoreHandle(Tls, nullptr);
}

TEST_F(TLS1HandshakeTest, CertificateMessageSpanningRecordsAndPast64KiB) {
    Connect();
    // The chain plus enough copies of the root to push the message past 16 bits of length.
    std::vector<Blob> ders = {Der("leaf_rsa"), Der("ica_rsa")};
    while (CertificateMessage(ders).size() < 70000) ders.push_back(Der("root"));
    const Blob flight = ServerHello(3, 3, 0x0005) + CertificateMessage(ders) + ServerHelloDone();
    for (size_t at = 0; at < flight.size(); at += 16384)
        ASSERT_EQ(Server->Handshake(flight.substr(at, 16384)), 1);
    EXPECT_EQ(LastError(), 0u);
    EXPECT_TRUE(Server->Sent(16));
}

TEST_F(TLS1HandshakeTest, MessagesSplitAtEveryByte) {
    Connect();
    const Blob flight =
        ServerHello(3, 3, 0x0005) + CertificateMessage({Der("leaf_rsa"), Der("ica_rsa")}) + ServerHelloDone();
    // Records of one to seven bytes cut headers and bodies at every place.
    for (size_t at = 0, n = 1; at < flight.size(); at += n, n = n % 7 + 1)
        ASSERT_EQ(Server->Handshake(flight.substr(at, n)), 1) << at;
    EXPECT_TRUE(Server->Sent(16));
}

TEST_F(TLS1HandshakeTest, OversizedHandshakeMessageFails) {
    Connect();
    EXPECT_EQ(Server->Handshake(ServerHello(3, 3, 0x0005) + U8(11) + U24(TLS1_HANDSHAKE_MESSAGE_MAX)), 0);
    EXPECT_EQ(LastError(), 40u);
    EXPECT_TRUE(Logged("Invalid SSL handshake length"));
}

// ---- Order of the server's flight -------------------------------------------------------------

TEST_F(TLS1HandshakeTest, MessagesOutOfOrderFail) {
    struct Case {
        const char* What;
        uint16_t Suite;
        // 0 hello request, 2 hello, 11 certificate, 12 key exchange, 13 request, 14 done, 20 finished
        std::vector<int> Flight;
    } cases[] = {
        {"done without a certificate", 0x0005, {2, 14}},
        {"key exchange before the certificate", 0xC02B, {2, 12}},
        {"request before the certificate", 0x0005, {2, 13}},
        {"key exchange for an RSA suite", 0x0005, {2, 11, 12}},
        {"done without key exchange for ECDHE", 0xC02B, {2, 11, 14}},
        {"key exchange after the request", 0xC02B, {2, 11, 13, 12}},
        {"two key exchanges", 0xC02B, {2, 11, 12, 12}},
        {"two requests", 0x0005, {2, 11, 13, 13}},
        {"second hello", 0x0005, {2, 2}},
        {"finished before our flight", 0x0005, {2, 11, 20}},
        {"certificate before the hello", 0x0005, {11}},
        {"hello request during the handshake", 0x0005, {2, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        NewClient();
        Connect();
        const bool ecdsa = c.Suite == 0xC02B;
        int64_t result = 1;
        for (int type : c.Flight) {
            Blob m = Message(0, "");
            if (type == 2) m = ServerHello(3, 3, c.Suite);
            if (type == 11)
                m = CertificateMessage({Der(ecdsa ? "leaf" : "leaf_rsa"), Der(ecdsa ? "ica" : "ica_rsa")});
            if (type == 12)
                m = KeyExchange(23, kP256Point, ecdsa ? "leaf" : "rsaleaf", "sha256", 4, ecdsa ? 3 : 1);
            if (type == 13) m = CertificateRequest(U8(1), {0x0401}, true);
            if (type == 14) m = ServerHelloDone();
            if (type == 20) m = Message(20, Blob(12, 'x'));
            result = Server->Handshake(m);
            if (!result) break;
        }
        EXPECT_EQ(result, 0);
        EXPECT_EQ(LastError(), 40u);
        EXPECT_FALSE(Server->Sent(16));
    }
}

// ---- ServerKeyExchange ------------------------------------------------------------------------

TEST_F(TLS1HandshakeTest, ServerKeyExchange) {
    struct Case {
        const char* What;
        uint8_t Minor;
        uint16_t Suite;
        uint16_t Curve;
        const Blob* Point;
        const char* Digest;
        int Hash, Signature; // -1: TLS 1.0 / 1.1 form
        uint32_t Error;
    } cases[] = {
        {"TLS 1.2 ECDSA over SHA-1", 3, 0xC009, 23, &kP256Point, "sha1", 2, 3, 0},
        {"TLS 1.2 ECDSA over SHA-256", 3, 0xC02B, 23, &kP256Point, "sha256", 4, 3, 0},
        {"TLS 1.2 ECDSA over SHA-256 CBC", 3, 0xC023, 23, &kP256Point, "sha256", 4, 3, 0},
        {"TLS 1.1 ECDSA signs SHA-1 alone", 2, 0xC009, 23, &kP256Point, "sha1", -1, -1, 0},
        {"TLS 1.0 ECDSA signs SHA-1 alone", 1, 0xC00A, 23, &kP256Point, "sha1", -1, -1, 0},
        {"signature over another digest", 3, 0xC02B, 23, &kP256Point, "sha384", 4, 3, 40},
        {"unknown hash number is not SHA-1", 3, 0xC009, 23, &kP256Point, "sha1", 7, 3, 40},
        {"MD5 hash number", 3, 0xC009, 23, &kP256Point, "md5", 1, 3, 40},
        {"unknown curve is not secp192k1", 3, 0xC02B, 29, &kSecp192k1Point, "sha256", 4, 3, 40},
        {"secp192k1 by its number", 3, 0xC02B, 18, &kSecp192k1Point, "sha256", 4, 3, 0},
        {"point not on the curve", 3, 0xC02B, 24, &kP256Point, "sha256", 4, 3, 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        NewClient();
        Server->Minor = c.Minor;
        Connect();
        ASSERT_EQ(Server->Handshake(ServerHello(3, c.Minor, c.Suite) +
                                    CertificateMessage({Der("leaf"), Der("ica")})),
                  1);
        const Blob exchange = KeyExchange(c.Curve, *c.Point, "leaf", c.Digest, c.Hash, c.Signature);
        EXPECT_EQ(Server->Handshake(exchange + ServerHelloDone()), c.Error ? 0 : 1);
        EXPECT_EQ(LastError(), c.Error);
        EXPECT_EQ(Server->Sent(16), c.Error == 0);
        if (c.Error == 0) {
            // Our key share: the length byte, then an uncompressed point on the server's curve.
            ASSERT_GE(Server->HandshakeMessages.size(), 2u);
            const Blob& exchangeOut = Server->HandshakeMessages[1];
            ASSERT_GE(exchangeOut.size(), 6u);
            EXPECT_EQ((uint8_t)exchangeOut[0], 16);
            EXPECT_EQ((uint8_t)exchangeOut[4], c.Point->size());
            EXPECT_EQ(exchangeOut[5], '\x04');
        }
    }
}

TEST_F(TLS1HandshakeTest, RsaKeyExchangeSendsTheEncryptedPremaster) {
    Connect();
    ASSERT_EQ(RsaFlight(0x002F), 1);
    ASSERT_GE(Server->HandshakeMessages.size(), 2u);
    const Blob& exchange = Server->HandshakeMessages[1];
    EXPECT_EQ((uint8_t)exchange[0], 16);
    EXPECT_EQ(exchange.substr(4, 2), U16(256)); // 2048-bit key
    EXPECT_EQ(exchange.size(), 4u + 2 + 256);
    // ChangeCipherSpec sits between the key exchange and the (protected) Finished.
    ASSERT_GE(Server->Records.size(), 4u);
    EXPECT_EQ(Server->Records[2].Type, 20);
    EXPECT_EQ(Server->Records[2].Content, U8(1));
}

// ---- Finished ----------------------------------------------------------------------------------

TEST_F(TLS1HandshakeTest, ServerFinished) {
    struct Case {
        const char* What;
        int Change; // byte index to flip, -1 none
        int Extra;  // bytes appended to the verify data
        bool Complete;
    } cases[] = {
        {"correct", -1, 0, true},
        {"first byte wrong", 0, 0, false},
        {"last byte wrong", 11, 0, false},
        {"thirteen bytes", -1, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        TLS1_Remove();
        TLS1_Init();
        NewClient();
        Connect();
        ASSERT_EQ(RsaFlight(), 1);
        // The client's Finished checks out against the server's view of the keys.
        ASSERT_GE(Server->Records.size(), 4u);
        EXPECT_EQ(Server->Records.back().Content.substr(0, 4), HexBlob("1400000c"));
        ASSERT_EQ(Server->ChangeCipherSpec(), 1);
        Blob verify(reinterpret_cast<const char*>(Tls->HandshakeContext->ExpectedServerVerifyData), 12);
        if (c.Change >= 0) verify[c.Change] ^= 1;
        verify += Blob(c.Extra, '\0');
        EXPECT_EQ(Server->Handshake(Message(20, verify)), c.Complete ? 1 : 0);
        EXPECT_EQ(TLS1_IsHandshakeComplete(Tls), c.Complete ? 1 : 0);
        EXPECT_EQ(LastError(), c.Complete ? 0u : 40u);
    }
}

// A Finished that arrives before the server's ChangeCipherSpec is refused even when it holds the
// verify data the client would take: it was never protected by the keys it vouches for.
TEST_F(TLS1HandshakeTest, ServerFinishedInPlaintextIsRefused) {
    Connect();
    ASSERT_EQ(RsaFlight(), 1);
    EXPECT_EQ(Server->Handshake(Server->ExpectedFinished()), 0);
    EXPECT_EQ(TLS1_IsHandshakeComplete(Tls), 0);
    EXPECT_EQ(LastError(), 40u);
}

// The server's flight up to ServerHelloDone, its ServerHello carrying the given tail.
Blob FlightWith(const Blob& tail, const Blob& leaf, const Blob& ica) {
    return ServerHelloWith(3, 0x0005, tail) + CertificateMessage({leaf, ica}) + ServerHelloDone();
}

TEST_F(TLS1HandshakeTest, RenegotiationKeepsTheHostNameAndIsBoundToTheConnection) {
    struct Case {
        const char* What;
        int Binding; // 0 the right verify data, 1 one byte wrong, 2 no renegotiation_info
        uint32_t Error;
    } cases[] = {
        {"bound", 0, 0},
        {"wrong verify data", 1, 40},
        {"no renegotiation_info", 2, 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        TLS1_Remove();
        TLS1_Init();
        NewClient();
        Connect();
        ASSERT_EQ(Server->Handshake(FlightWith(RenegotiationInfo(""), Der("leaf_rsa"), Der("ica_rsa"))), 1);
        ASSERT_EQ(Server->ChangeCipherSpec(), 1);
        ASSERT_EQ(Server->Handshake(Server->ExpectedFinished()), 1);
        const Blob clientVerify = Server->HandshakeMessages.back().substr(4);
        const Blob serverVerify = Server->ExpectedFinished().substr(4);
        Server->HandshakeMessages.clear();
        ASSERT_EQ(Server->Handshake(Message(0, "")), 1);
        ASSERT_EQ(Server->HandshakeMessages.size(), 1u);
        const Blob& hello = Server->HandshakeMessages[0];
        Blob suites;
        bool named = false, padded = false, bound = false;
        for (const auto& [type, data] : Extensions(hello, &suites)) {
            named = named || (type == 0 && data.find(kHost) != std::string::npos);
            padded = padded || type == 0x0015;
            bound = bound || (type == 0xff01 && data == U8(12) + clientVerify);
        }
        EXPECT_TRUE(named);
        EXPECT_FALSE(padded);
        EXPECT_TRUE(bound);
        Blob binding = clientVerify + serverVerify;
        if (c.Binding == 1) binding[20] ^= 1;
        const Blob tail = c.Binding == 2 ? Blob() : RenegotiationInfo(binding);
        // The new certificate is checked against the same name.
        EXPECT_EQ(Server->Handshake(ServerHelloWith(3, 0x0005, tail) +
                                    CertificateMessage({Der("leaf_rsa"), Der("ica_rsa")})),
                  c.Error ? 0 : 1);
        EXPECT_EQ(LastError(), c.Error);
    }
}

// A server that never confirmed secure renegotiation is told no (a warning no_renegotiation) and
// the connection goes on under its keys.
TEST_F(TLS1HandshakeTest, HelloRequestWithoutSecureRenegotiationIsDeclined) {
    Connect();
    ASSERT_EQ(CompleteHandshake(), 1);
    const size_t before = Server->Records.size();
    Server->HandshakeMessages.clear();
    EXPECT_EQ(Server->Handshake(Message(0, "")), 1);
    EXPECT_TRUE(Server->HandshakeMessages.empty());
    ASSERT_EQ(Server->Records.size(), before + 1);
    EXPECT_EQ(Server->Records.back().Type, 21);
    EXPECT_EQ(Server->Records.back().Content, HexBlob("0164"));
    EXPECT_EQ(LastError(), 0u);
    EXPECT_EQ(TLS1_IsHandshakeComplete(Tls), 1);
    EXPECT_EQ(Server->Send(23, "still here"), 1);
    char text[16] = {};
    uint32_t got = 0;
    TLS1_ReadGet(Tls, text, sizeof(text), &got);
    EXPECT_EQ(Blob(text, got), "still here");
}

// A server's confirmation of secure renegotiation belongs to its connection: the next connection of
// the same object starts with an empty renegotiation_info, and a server there that did not confirm
// it is declined a HelloRequest.
TEST_F(TLS1HandshakeTest, SecureRenegotiationDoesNotOutliveItsConnection) {
    Connect();
    ASSERT_EQ(Server->Handshake(FlightWith(RenegotiationInfo(""), Der("leaf_rsa"), Der("ica_rsa"))), 1);
    ASSERT_EQ(Server->ChangeCipherSpec(), 1);
    ASSERT_EQ(Server->Handshake(Server->ExpectedFinished()), 1);
    ASSERT_EQ(TLS1_IsHandshakeComplete(Tls), 1);
    TLS1_Close(Tls);
    delete Server;
    Server = new ScriptedServer(Tls);
    Connect();
    ASSERT_FALSE(Server->HandshakeMessages.empty());
    Blob suites;
    for (const auto& [type, data] : Extensions(Server->HandshakeMessages[0], &suites)) {
        if (type != 0xff01) continue;
        EXPECT_EQ(data, HexBlob("00"));
    }
    ASSERT_EQ(CompleteHandshake(), 1);
    const size_t before = Server->Records.size();
    Server->HandshakeMessages.clear();
    EXPECT_EQ(Server->Handshake(Message(0, "")), 1);
    EXPECT_TRUE(Server->HandshakeMessages.empty());
    ASSERT_EQ(Server->Records.size(), before + 1);
    EXPECT_EQ(Server->Records.back().Content, HexBlob("0164"));
}

// ---- Client certificates ----------------------------------------------------------------------

TEST_F(TLS1HandshakeTest, CertificateRequestWithoutCertificate) {
    struct Case {
        const char* What;
        uint8_t Minor;
        Blob Types;
        const char* Names;
        uint32_t Algorithms;
    } cases[] = {
        {"rsa first", 3, U8(1) + U8(64), "rsa,ecdsa", 2},
        {"ecdsa first", 3, U8(64) + U8(1), "ecdsa,rsa", 2},
        {"other types skipped", 3, U8(2) + U8(64), "ecdsa", 2},
        {"TLS 1.0 records no algorithms", 1, U8(1), "rsa", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        NewClient();
        int calls = 0;
        TLS1_SetClientCertRequestCallback(
            Tls, [](TLS1*, void* user) { ++*static_cast<int*>(user); }, &calls);
        Server->Minor = c.Minor;
        Connect();
        EXPECT_EQ(RsaFlight(0x0005, CertificateRequest(c.Types, {0x0401, 0x0403}, c.Minor == 3)), 0);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(LastError(), 40u);
        EXPECT_TRUE(Logged("No certificate found"));
        char names[32];
        ASSERT_EQ(TLS1_GetRequestedCertificateTypes(Tls, names, sizeof(names)), 1);
        EXPECT_STREQ(names, c.Names);
        uint16_t algorithms[128];
        uint32_t count = 99;
        TLS1_GetRequestedSignAlgorithms(Tls, algorithms, &count);
        EXPECT_EQ(count, c.Algorithms);
        if (count == 2) {
            EXPECT_EQ(algorithms[1], 0x0403);
        }
    }
}

TEST_F(TLS1HandshakeTest, ClientCertificateFollowsTheRequest) {
    const std::string dir = g_certs->Dir.path();
    ASSERT_TRUE(RunOracle(
        "cd '" + dir +
            "' && openssl pkcs12 -export -legacy -keypbe PBE-SHA1-RC4-128 -certpbe "
            "PBE-SHA1-RC4-128 -macalg sha1 -inkey rsaleaf.key -in leaf_rsa.pem -certfile ica_rsa.pem "
            "-passout pass:pw -out client.p12",
        "", 60));
    const std::string p12 = ReadFile(dir + "/client.p12");
    MemoryStream* stream = nullptr;
    MemoryStream_Create(&stream);
    MemoryStream_SetAutoGrow(stream, 1);
    uint32_t written = 0;
    MemoryStream_Write(stream, p12.data(), (uint32_t)p12.size(), &written);
    auto requestAndFail = [&](const Blob& types, const std::vector<uint16_t>& algorithms) {
        TLS1_Close(Tls);
        delete Server;
        Server = new ScriptedServer(Tls);
        Connect();
        EXPECT_EQ(RsaFlight(0x0005, CertificateRequest(types, algorithms, true)), 0);
    };
    // An RSA identity for a server that asked for ECDSA only is refused.
    requestAndFail(U8(64), {0x0403});
    Log.clear();
    EXPECT_EQ(TLS1_SetClientCert(Tls, stream, "pw"), 0);
    EXPECT_TRUE(Logged("Unexpected client certificate type [1]"));
    // SHA-1 with RSA comes first in the server's list, but an RSA signature is made over SHA-256
    // and up: the first of those is taken.
    requestAndFail(U8(1) + U8(64), {0x0403, 0x0201, 0x0501, 0x0401});
    ASSERT_EQ(TLS1_SetClientCert(Tls, stream, "pw"), 1);
    MemoryStream_Release(&stream);
    TLS1_Close(Tls);
    delete Server;
    Server = new ScriptedServer(Tls);
    Connect();
    ASSERT_EQ(RsaFlight(0x0005, CertificateRequest(U8(1), {0x0201, 0x0501}, true)), 1);
    ASSERT_GE(Server->HandshakeMessages.size(), 4u);
    EXPECT_EQ(Server->HandshakeMessages[1], CertificateMessage({Der("leaf_rsa"), Der("ica_rsa")}));
    EXPECT_EQ((uint8_t)Server->HandshakeMessages[2][0], 16);
    const Blob& verify = Server->HandshakeMessages[3];
    EXPECT_EQ(verify.substr(0, 1), U8(15));
    EXPECT_EQ(verify.substr(4, 4), U16(0x0501) + U16(256));
    // The rest of the handshake is undisturbed by the client's two extra messages.
    ASSERT_EQ(Server->ChangeCipherSpec(), 1);
    EXPECT_EQ(Server->Handshake(Server->ExpectedFinished()), 1);
    EXPECT_EQ(TLS1_IsHandshakeComplete(Tls), 1);
    // Removing the identity: a null stream.
    EXPECT_EQ(TLS1_SetClientCert(Tls, nullptr, nullptr), 1);
    EXPECT_EQ(Tls->HandshakeContext->ClientCertificate, nullptr);
}

TEST_F(TLS1HandshakeTest, MessageNames) {
    const std::pair<int, const char*> names[] = {
        {0, "Hello Request"},        {2, "Server Hello"}, {12, "Server Key Exchange"},
        {16, "Client Key Exchange"}, {20, "Finished"},    {3, "Unknown"}};
    for (const auto& [type, name] : names) EXPECT_STREQ(TLS1_HandshakeMessageName((uint8_t)type), name);
    Connect();
    RsaFlight();
    EXPECT_TRUE(Logged("Handshake State (TX): Client Hello"));
    EXPECT_TRUE(Logged("Handshake State (RX): Server Hello Done"));
    EXPECT_TRUE(Logged("Version: 1.2"));
    EXPECT_TRUE(Logged("Cipher Type: RSA"));
}

} // namespace
