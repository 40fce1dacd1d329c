// Tests of the platform's trust evaluation on Linux: certificates of the bundle and those they
// sign, anchors that may not sign, validity dates, weak digests, a damaged bundle file, the
// system's own bundle, and the certificate status codes that do not count as errors.
#include "core/linux/platform_trust.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/formats/base64.h"
#include "tests/support/cert_chains.h"
#include "tests/support/log_capture.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);
CertChains* g_certs = nullptr;

int64_t Evaluate(const std::string& der, uint32_t* denied) {
    *denied = 7;
    return Platform_AuthenticateCertificate(reinterpret_cast<const uint8_t*>(der.data()), (uint32_t)der.size(), 1,
                                            denied);
}

class PlatformTrustTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!g_certs) g_certs = new CertChains;
    }
    static void TearDownTestSuite() {
        Platform_SetTrustBundlePath(nullptr);
        delete g_certs;
        g_certs = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(g_certs->Made) << "openssl made the certificates"; }
    void UseBundle(const std::string& text) {
        const std::string path = g_certs->Dir.file("bundle.pem");
        std::ofstream(path, std::ios::binary) << text;
        Platform_SetTrustBundlePath(path.c_str());
    }
};

TEST_F(PlatformTrustTest, TrustsBundleCertificatesAndWhatBundleCAsSign) {
    std::string bundle = "garbage before\n";
    for (const char* name : {"root", "v1root", "ica_nobc", "ica_noku", "root_expired", "ica_rsa"})
        bundle += g_certs->Pem(name) + "\n";
    // A block that does not build and one left open are skipped.
    bundle += "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n-----BEGIN CERTIFICATE-----\nMIIB";
    UseBundle(bundle);
    const struct {
        const char* Name;
        int64_t Trusted;
    } cases[] = {
        {"root", 1},        {"ica", 1},         {"leaf", 0},          {"leaf_v1", 1},
        {"leaf_nobc", 0},   {"leaf_noku", 0},   {"root_expired", 0},  {"leaf_under_expired_root", 0},
        {"ica_expired", 0}, {"leaf_rsa", 1},    {"leaf_md5", 0},      {"leaf_forged", 0},
    };
    for (const auto& c : cases) {
        uint32_t denied = 0;
        EXPECT_EQ(Evaluate(g_certs->Der(c.Name), &denied), c.Trusted) << c.Name;
        EXPECT_EQ(denied, 0u) << c.Name;
    }
    uint32_t denied = 0;
    EXPECT_EQ(Evaluate("not a certificate", &denied), 0);
    EXPECT_EQ(denied, 0u);
    EXPECT_EQ(Platform_AuthenticateCertificate(nullptr, 0, 1, &denied), 0);
}

TEST_F(PlatformTrustTest, MissingBundleTrustsNothing) {
    Platform_SetTrustBundlePath(g_certs->Dir.file("absent.pem").c_str());
    uint32_t denied = 0;
    EXPECT_EQ(Evaluate(g_certs->Der("root"), &denied), 0);
}

TEST_F(PlatformTrustTest, SystemBundleTrustsItsOwnCertificates) {
    const std::string text = ReadFile(PLATFORM_TRUST_BUNDLE_PATH);
    const size_t begin = text.find("-----BEGIN CERTIFICATE-----");
    const size_t end = text.find("-----END CERTIFICATE-----");
    ASSERT_NE(begin, std::string::npos) << "ca-certificates is installed";
    std::string base64;
    for (size_t i = begin + 27; i < end; i++)
        if (text[i] != '\n' && text[i] != '\r') base64 += text[i];
    std::vector<uint8_t> der(base64.size());
    uint32_t decoded = 0;
    ASSERT_EQ(Base64_Decode(base64.c_str(), (int32_t)base64.size(), der.data(), (int32_t)der.size(), &decoded), 1);
    Platform_SetTrustBundlePath(nullptr);
    uint32_t denied = 0;
    EXPECT_EQ(Platform_AuthenticateCertificate(der.data(), decoded, 1, &denied), 1);
    EXPECT_EQ(Evaluate(g_certs->Der("root"), &denied), 0);
}

TEST(PlatformCertificateStatus, OnlyTheToleratedCodesAreNoErrors) {
    const struct {
        uint32_t Status;
        int64_t Error;
    } cases[] = {{0, 0},          {0x8001210A, 0}, {0x8001210B, 0}, {0x8001240D, 0}, {0x80012421, 0},
                 {0x80012423, 0}, {0x8001210C, 1}, {0x80012422, 1}, {1, 1},          {0xFFFFFFFF, 1}};
    for (const auto& c : cases) EXPECT_EQ(Platform_CertificateIsError(c.Status), c.Error) << std::hex << c.Status;
}

} // namespace
