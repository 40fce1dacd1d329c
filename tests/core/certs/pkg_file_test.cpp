// Tests of the installer-package reader: xar archives built byte by byte (header, zlib table of
// contents, heap with checksum, files and signature), signed by openssl with CMS or raw RSA.
#include <gtest/gtest.h>

#include <zlib.h>

#include <string>
#include <utility>
#include <vector>

#include "core/certs/pkg_file.h"
#include "core/crypto/hash.h"
#include "core/crypto/md5.h"
#include "core/crypto/sha1.h"
#include "core/formats/base64.h"
#include "tests/core/certs/pkg_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

CertChains* g_certs = nullptr;

class PkgFileTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!g_certs) g_certs = new CertChains;
    }
    void SetUp() override { ASSERT_TRUE(g_certs->Made); }
    int64_t Verify(const std::string& package, const char* trusted = "ica_rsa") {
        EXPECT_TRUE(WriteText(dir.file("p.pkg"), package));
        TrustOne store(g_certs->Der(trusted));
        return PKGFile_Verify(store.Interface, dir.file("p.pkg").c_str());
    }
    TempDir dir;
};

struct PkgCase {
    const char* Name;
    PkgLayout Layout;
    int64_t Expected;
    const char* Log;
};

TEST_F(PkgFileTest, PackagesVerifyTheirChecksumSignatureAndFiles) {
    const PkgCase cases[] = {
        {"cms signature", {}, 1, nullptr},
        {"cms signature, signer not trusted", {.Trusted = "evil"}, 0, nullptr},
        {"raw signature", {.Cms = false}, 1, nullptr},
        {"raw signature, certificate not trusted", {.Cms = false, .Trusted = "evil"}, 0, nullptr},
        {"md5 checksum", {.HeaderAlgorithm = 2, .Style = "md5"}, 1, nullptr},
        {"header md5, style sha1", {.HeaderAlgorithm = 2}, 0, "PKG file checksum type mismatch\n"},
        {"header algorithm unknown", {.HeaderAlgorithm = 3}, 0, "PKG file checksum type mismatch\n"},
        {"stored checksum differs", {.BadStoredChecksum = true}, 0, "PKG file checksum verification failed\n"},
        {"archived file differs", {.File = kWrongDigest}, 0, "PKG file does not match expected hash [./dir/a] ("},
        {"archived file without checksum", {.File = kNoChecksum}, 0, nullptr},
        {"archived file of unknown hash",
         {.Edits = {{"<archived-checksum style=\"sha1\"", "<archived-checksum style=\"crc9\""}}}, 0, nullptr},
        {"no certificates", {.Edits = {{"<X509Data>", "<X509Data/><Other>"}, {"</X509Data>", "</Other>"}}}, 0, nullptr},
        {"bad certificate", {.Edits = {{"<X509Certificate>MII", "<X509Certificate>MIX"}}}, 0, nullptr},
    };
    for (const PkgCase& c : cases) {
        const std::string package = BuildPackage(*g_certs, c.Layout);
        LogCapture log;
        EXPECT_EQ(Verify(package, c.Layout.Trusted), c.Expected) << c.Name << log.Text();
        if (c.Log) {
            EXPECT_NE(log.Text().find(c.Log), std::string::npos) << c.Name << log.Text();
        }
    }
}

TEST_F(PkgFileTest, MalformedPackagesFailCleanly) {
    const std::string huge = "18446744073709551615";
    const PkgCase cases[] = {
        {"checksum offset past the end", {.Edits = {{"<offset>0</offset>", "<offset>" + huge + "</offset>"}}}, 0, nullptr},
        {"checksum size of 4 GiB", {.Edits = {{"<size>20</size></checksum>", "<size>4294967296</size></checksum>"}}}, 0,
         nullptr},
        {"file offset past the end", {.Edits = {{"<offset>20</offset>", "<offset>" + huge + "</offset>"}}}, 0, nullptr},
        {"file length past the end", {.Edits = {{"<length>20</length>", "<length>" + huge + "</length>"}}}, 0, nullptr},
        {"file length not a number", {.Edits = {{"<length>20</length>", "<length>2x</length>"}}}, 0, nullptr},
        {"no toc element", {.Edits = {{"<toc>", "<tic>"}, {"</toc>", "</tic>"}}}, 0, nullptr},
    };
    for (const PkgCase& c : cases) {
        const std::string package = BuildPackage(*g_certs, c.Layout);
        LogCapture log;
        EXPECT_EQ(Verify(package), 0) << c.Name;
    }
    const std::string good = BuildPackage(*g_certs, {});
    struct HeaderDamage {
        const char* Name;
        size_t At;
        std::string Bytes;
    };
    const HeaderDamage headers[] = {
        {"magic", 0, "xar?"},
        {"header size below 28", 4, std::string{0, 4}},
        {"header size past the end", 4, std::string{'\xff', '\xff'}},
        {"compressed length 0", 8, std::string(8, '\0')},
        {"compressed length 2^31", 12, Be32(0x80000000)},
        {"compressed length past the end", 12, Be32(0x7fffffff)},
        {"uncompressed length 0", 16, std::string(8, '\0')},
        {"uncompressed length 2^63", 16, std::string{'\x80', 0, 0, 0, 0, 0, 0, 0}},
        {"uncompressed length larger than zlib can give", 20, Be32(0x7ffffff0)},
        {"uncompressed length short", 20, Be32(10)},
        {"compressed bytes not zlib", 28, "garbage!"},
    };
    for (const HeaderDamage& h : headers) {
        std::string package = good;
        package.replace(h.At, h.Bytes.size(), h.Bytes);
        LogCapture log;
        EXPECT_EQ(Verify(package), 0) << h.Name;
    }
    for (size_t length = 0; length < good.size(); length += 37) {
        LogCapture log;
        EXPECT_EQ(Verify(good.substr(0, length)), 0) << length;
    }
}

TEST_F(PkgFileTest, PackagesAreRecognisedByTheirHeader) {
    const std::string good = BuildPackage(*g_certs, {});
    const std::pair<std::string, int64_t> cases[] = {
        {good, 1}, {good.substr(0, 28), 1}, {good.substr(0, 27), 0}, {"xar?" + good.substr(4), 0}};
    for (const auto& [bytes, expected] : cases) {
        BytesStream stream(bytes);
        EXPECT_EQ(PKGFile_IsValidStream(stream.Handle), expected) << bytes.size();
        ASSERT_TRUE(WriteText(dir.file("v.pkg"), bytes));
        EXPECT_EQ(PKGFile_IsValid(dir.file("v.pkg").c_str()), expected) << bytes.size();
    }
    EXPECT_EQ(PKGFile_IsValid(dir.path().c_str()), 0);
    TrustOne store(g_certs->Der("ica_rsa"));
    EXPECT_EQ(PKGFile_Verify(store.Interface, dir.path().c_str()), 0);
    EXPECT_EQ(PKGFile_Verify(store.Interface, dir.file("missing").c_str()), 0);
}

} // namespace
