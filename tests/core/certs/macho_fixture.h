// Mach-O files built byte by byte for the signature tests: thin files with code directories and
// page hashes signed by openssl's CMS, and universal files of such slices.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "core/crypto/hash.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "tests/core/certs/code_signature_files.h"

struct Directory {
    uint32_t EntryType; // 0 or 0x1000
    uint8_t HashType;   // 1 SHA-1, 2 SHA-256, others as written
    bool BadPage1;      // slot 1 holds a wrong hash
    int32_t HashSize = -1; // as written in the directory; -1: the digest's size
};

struct ThinLayout {
    bool Is64 = true;
    uint32_t BodySize = 9000; // not a multiple of the page: the last page is short
    std::vector<Directory> Directories = {{0, 2, false}};
    uint32_t SignedMask = 1; // bit i: directory i is in the bytes the CMS digest covers
};

inline constexpr uint32_t kSignatureArea = 16384;

inline std::string CodeDirectory(const std::string& code, const Directory& d) {
    const HashInterface* record = d.HashType == 1 ? &SHA1_INTERFACE : &SHA256_INTERFACE;
    const uint32_t pageSize = 4096;
    const uint32_t slots = (uint32_t)((code.size() + pageSize - 1) / pageSize);
    std::string cd = Be32(0xfade0c02) + Be32(0) + Be32(0x20100) + Be32(0) + Be32(44) + Be32(0) + Be32(0) +
                     Be32(slots) + Be32((uint32_t)code.size());
    const char hashSize = (char)(d.HashSize < 0 ? record->DigestSize : d.HashSize);
    cd += std::string{hashSize, (char)d.HashType, 0, 12} + Be32(0);
    for (uint32_t k = 0; k < slots; k++) {
        const size_t n = std::min<size_t>(pageSize, code.size() - k * pageSize);
        uint8_t digest[64];
        Hash_QuickDigest(record, code.data() + k * pageSize, (int32_t)n, digest, sizeof(digest));
        if (d.BadPage1 && k == 1) digest[0] ^= 1;
        cd.append(reinterpret_cast<const char*>(digest), record->DigestSize);
    }
    PutBe32(cd, 4, (uint32_t)cd.size());
    return cd;
}

// Header, a filler command, the code-signature command, body; then the signature area.
inline std::string BuildThin(CertChains& certs, const ThinLayout& layout) {
    const uint32_t headerSize = layout.Is64 ? 32 : 28;
    std::string code = Le32(layout.Is64 ? 0xfeedfacf : 0xfeedface) + Le32(7) + Le32(3) + Le32(2) + Le32(2) +
                       Le32(40) + Le32(0);
    if (layout.Is64) code += Le32(0);
    const uint32_t codeLimit = headerSize + 40 + layout.BodySize;
    const uint32_t dataOffset = (codeLimit + 15) & ~15u;
    code += Le32(0x2) + Le32(24) + std::string(16, 'f');
    code += Le32(29) + Le32(16) + Le32(dataOffset) + Le32(kSignatureArea);
    for (uint32_t i = 0; i < layout.BodySize; i++) code += (char)(i * 7 + i / 251);

    std::vector<std::string> directories;
    std::string signedBytes;
    for (size_t i = 0; i < layout.Directories.size(); i++) {
        directories.push_back(CodeDirectory(code, layout.Directories[i]));
        if (layout.SignedMask & (1u << i)) signedBytes += directories.back();
    }
    const std::string cms = CmsSign(certs, signedBytes);
    const uint32_t count = (uint32_t)directories.size() + 1;
    std::string blobs;
    std::string index;
    uint32_t at = 12 + count * 8;
    for (size_t i = 0; i < directories.size(); i++) {
        index += Be32(layout.Directories[i].EntryType) + Be32(at + (uint32_t)blobs.size());
        blobs += directories[i];
    }
    index += Be32(0x10000) + Be32(at + (uint32_t)blobs.size());
    blobs += Be32(0xfade0b01) + Be32((uint32_t)cms.size() + 8) + cms;
    std::string super = Be32(0xfade0cc0) + Be32(at + (uint32_t)blobs.size()) + Be32(count) + index + blobs;
    EXPECT_LE(super.size(), kSignatureArea);
    super.resize(kSignatureArea, '\0');
    code.resize(dataOffset, '\0');
    return code + super;
}

// A universal file of the slices, each at a 4096-byte boundary.
inline std::string BuildUniversal(const std::vector<std::string>& slices) {
    std::string file = Be32(0xcafebabe) + Be32((uint32_t)slices.size());
    uint32_t offset = 4096;
    std::vector<uint32_t> offsets;
    for (const auto& s : slices) {
        offsets.push_back(offset);
        file += Be32(7) + Be32(3) + Be32(offset) + Be32((uint32_t)s.size()) + Be32(12);
        offset = (offset + (uint32_t)s.size() + 4095) & ~4095u;
    }
    for (size_t i = 0; i < slices.size(); i++) {
        file.resize(offsets[i], '\0');
        file += slices[i];
    }
    return file;
}
