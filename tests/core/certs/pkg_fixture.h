// Installer packages (xar archives) built byte by byte for the signature tests: header, zlib table
// of contents, heap with checksum, one file and a signature made by openssl (CMS or raw RSA).
#pragma once

#include <zlib.h>

#include <string>
#include <utility>
#include <vector>

#include "core/crypto/hash.h"
#include "core/crypto/md5.h"
#include "core/crypto/sha1.h"
#include "core/formats/base64.h"
#include "tests/core/certs/code_signature_files.h"

enum FileMode { kGood, kWrongDigest, kNoChecksum };

struct PkgLayout {
    bool Cms = true;
    const char* Trusted = "ica_rsa";
    uint32_t HeaderAlgorithm = 1;
    const char* Style = "sha1";
    bool BadStoredChecksum = false;
    FileMode File = kGood;
    std::vector<std::pair<std::string, std::string>> Edits = {}; // applied to the table of contents
};

inline std::string Base64Of(const std::string& der) {
    std::string out(der.size() * 2 + 8, '\0');
    uint32_t length = 0;
    Base64_Encode(der.data(), (int32_t)der.size(), out.data(), (int32_t)out.size(), &length);
    out.resize(length);
    return out;
}

inline std::string HexDigest(const HashInterface* record, const std::string& bytes) {
    char text[129] = {};
    Hash_QuickString(record, bytes.data(), (int32_t)bytes.size(), 0, text, sizeof(text));
    return text;
}

inline std::string RawSign(CertChains& certs, const std::string& checksum, const char* digest) {
    auto out = RunOracle("cd '" + certs.Dir.path() + "' && openssl pkeyutl -sign -inkey rsaleaf.key -pkeyopt digest:" +
                             digest,
                         checksum, 60);
    return out ? *out : std::string();
}

inline std::string BuildPackage(CertChains& certs, const PkgLayout& layout) {
    const HashInterface* record = std::string(layout.Style) == "md5" ? &MD5_INTERFACE : &SHA1_INTERFACE;
    const uint32_t checksumSize = record->DigestSize;
    const std::string content = "archived bytes of a\n";
    std::string hex = HexDigest(&SHA1_INTERFACE, content);
    if (layout.File == kWrongDigest) hex[0] = hex[0] == '0' ? '1' : '0';
    const std::string signatureOffset = std::to_string(checksumSize + content.size());
    const std::string dummy(checksumSize, '\0');
    const std::string signatureSize = std::to_string(
        (layout.Cms ? CmsSign(certs, dummy) : RawSign(certs, dummy, layout.Style)).size());
    std::string toc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xar>\n <toc>\n  <checksum style=\"" +
                      std::string(layout.Style) + "\"><offset>0</offset><size>" + std::to_string(checksumSize) +
                      "</size></checksum>\n  <" + (layout.Cms ? "x-signature" : "signature") +
                      " style=\"RSA\"><offset>" + signatureOffset + "</offset><size>" + signatureSize +
                      "</size><KeyInfo xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><X509Data><X509Certificate>" +
                      Base64Of(certs.Der("leaf_rsa")) + "</X509Certificate><X509Certificate>" +
                      Base64Of(certs.Der("ica_rsa")) + "</X509Certificate></X509Data></KeyInfo></" +
                      (layout.Cms ? "x-signature" : "signature") +
                      ">\n  <file id=\"1\"><name>dir</name><type>directory</type>\n   <file id=\"2\"><name>a</name>"
                      "<data><offset>" +
                      std::to_string(checksumSize) + "</offset><size>" + std::to_string(content.size()) +
                      "</size><length>" + std::to_string(content.size()) + "</length>" +
                      (layout.File == kNoChecksum ? "" : "<archived-checksum style=\"sha1\">" + hex + "</archived-checksum>") +
                      "</data></file>\n  </file>\n </toc>\n</xar>\n";
    for (const auto& [from, to] : layout.Edits) {
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
    const std::string signature = layout.Cms ? CmsSign(certs, checksum) : RawSign(certs, checksum, layout.Style);
    EXPECT_EQ(std::to_string(signature.size()), signatureSize);
    if (layout.BadStoredChecksum) checksum[3] ^= 1;

    std::string header = "xar!" + std::string{0, 28, 0, 1} + Be32(0) + Be32((uint32_t)compressed.size()) + Be32(0) +
                         Be32((uint32_t)toc.size()) + Be32(layout.HeaderAlgorithm);
    return header + compressed + checksum + content + signature;
}
