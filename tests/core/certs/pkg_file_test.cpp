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
#include "tests/core/certs/code_signature_files.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

CertChains* g_certs = nullptr;

enum FileMode { kGood, kWrongDigest, kNoChecksum };

struct PkgSpec {
    bool Cms = true;
    const char* Trusted = "ica_rsa";
    uint32_t HeaderAlgorithm = 1;
    const char* Style = "sha1";
    bool BadStoredChecksum = false;
    FileMode File = kGood;
    std::vector<std::pair<std::string, std::string>> Edits = {}; // applied to the table of contents
};

std::string Base64Of(const std::string& der) {
    std::string out(der.size() * 2 + 8, '\0');
    uint32_t length = 0;
    Base64_Encode(der.data(), (int32_t)der.size(), out.data(), (int32_t)out.size(), &length);
    out.resize(length);
    return out;
}

std::string HexDigest(const HashInterface* record, const std::string& bytes) {
    char text[129] = {};
    Hash_QuickString(record, bytes.data(), (int32_t)bytes.size(), 0, text, sizeof(text));
    return text;
}

std::string RawSign(const std::string& checksum, const char* digest) {
    auto out = RunOracle("cd '" + g_certs->Dir.path() + "' && openssl pkeyutl -sign -inkey rsaleaf.key -pkeyopt digest:" +
                             digest,
                         checksum, 60);
    return out ? *out : std::string();
}

std::string BuildPackage(const PkgSpec& spec) {
    const HashInterface* record = std::string(spec.Style) == "md5" ? &MD5_INTERFACE : &SHA1_INTERFACE;
    const uint32_t checksumSize = record->DigestSize;
    const std::string content = "archived bytes of a\n";
    std::string hex = HexDigest(&SHA1_INTERFACE, content);
    if (spec.File == kWrongDigest) hex[0] = hex[0] == '0' ? '1' : '0';
    const std::string signatureOffset = std::to_string(checksumSize + content.size());
    const std::string dummy(checksumSize, '\0');
    const std::string signatureSize = std::to_string(
        (spec.Cms ? CmsSign(*g_certs, dummy) : RawSign(dummy, spec.Style)).size());
    std::string toc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xar>\n <toc>\n  <checksum style=\"" +
                      std::string(spec.Style) + "\"><offset>0</offset><size>" + std::to_string(checksumSize) +
                      "</size></checksum>\n  <" + (spec.Cms ? "x-signature" : "signature") +
                      " style=\"RSA\"><offset>" + signatureOffset + "</offset><size>" + signatureSize +
                      "</size><KeyInfo xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><X509Data><X509Certificate>" +
                      Base64Of(g_certs->Der("leaf_rsa")) + "</X509Certificate><X509Certificate>" +
                      Base64Of(g_certs->Der("ica_rsa")) + "</X509Certificate></X509Data></KeyInfo></" +
                      (spec.Cms ? "x-signature" : "signature") +
                      ">\n  <file id=\"1\"><name>dir</name><type>directory</type>\n   <file id=\"2\"><name>a</name>"
                      "<data><offset>" +
                      std::to_string(checksumSize) + "</offset><size>" + std::to_string(content.size()) +
                      "</size><length>" + std::to_string(content.size()) + "</length>" +
                      (spec.File == kNoChecksum ? "" : "<archived-checksum style=\"sha1\">" + hex + "</archived-checksum>") +
                      "</data></file>\n  </file>\n </toc>\n</xar>\n";
    for (const auto& [from, to] : spec.Edits) {
        const size_t at = toc.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) toc.replace(at, from.size(), to);
    }
    uLongf compressedSize = compressBound(toc.size());
    std::string compressed(compressedSize, '\0');
    compress2(reinterpret_cast<Bytef*>(compressed.data()), &compressedSize,
              reinterpret_cast<const Bytef*>(toc.data()), toc.size(), 9);
    compressed.resize(compressedSize);

    uint8_t digest[64];
    Hash_QuickDigest(record, compressed.data(), (int32_t)compressed.size(), digest, sizeof(digest));
    std::string checksum(reinterpret_cast<const char*>(digest), checksumSize);
    const std::string signature = spec.Cms ? CmsSign(*g_certs, checksum) : RawSign(checksum, spec.Style);
    EXPECT_EQ(std::to_string(signature.size()), signatureSize);
    if (spec.BadStoredChecksum) checksum[3] ^= 1;

    std::string header = "xar!" + std::string{0, 28, 0, 1} + Be32(0) + Be32((uint32_t)compressed.size()) + Be32(0) +
                         Be32((uint32_t)toc.size()) + Be32(spec.HeaderAlgorithm);
    return header + compressed + checksum + content + signature;
}

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
    PkgSpec Spec;
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
        const std::string package = BuildPackage(c.Spec);
        LogCapture log;
        EXPECT_EQ(Verify(package, c.Spec.Trusted), c.Expected) << c.Name << log.Text();
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
        const std::string package = BuildPackage(c.Spec);
        LogCapture log;
        EXPECT_EQ(Verify(package), 0) << c.Name;
    }
    const std::string good = BuildPackage({});
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
    const std::string good = BuildPackage({});
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
