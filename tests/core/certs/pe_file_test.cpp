#include "core/certs/pe_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/crypto/hash.h"
#include "core/crypto/sha256.h"
#include "core/runtime/dictionary.h"
#include "tests/core/certs/pe_image_fixture.h"
#include "tests/support/image_stream.h"

namespace {

#define REQUIRE_IMAGES()                                                                                     \
    if (!PEImages::Get().Ready()) GTEST_SKIP() << "x86_64-w64-mingw32-gcc, osslsigncode or openssl missing"

std::string Hex(const uint8_t* bytes, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < size; i++) text += {digits[bytes[i] >> 4], digits[bytes[i] & 15]};
    return text;
}

std::string Digest(const std::string& bytes) {
    BytesStream stream(bytes);
    uint8_t digest[32];
    if (!PEFile_GetImageDigest(stream.stream(), &SHA256_INTERFACE, digest, sizeof(digest))) return "";
    return Hex(digest, sizeof(digest));
}

TEST(PEFile, HeadersEntryPointAndImageSizeOfABuiltProgram) {
    REQUIRE_IMAGES();
    const std::string path = PEImages::Get().Plain();
    FileStreamFixture file(path);
    uint32_t offset = 0;
    PEHeaders32 h32;
    PEHeaders64 h64;
    ASSERT_EQ(PEFile_GetHeaders(file.stream(), &offset, &h32, &h64), 64);
    EXPECT_EQ(h64.OptionalHeader.Magic, 0x20b);
    EXPECT_EQ(h32.OptionalHeader.Magic, 0);
    EXPECT_EQ(PEFile_IsValid(path.c_str()), 1);
    EXPECT_EQ(PEFile_IsValid("/proc/self/exe"), 0);
    EXPECT_EQ(PEFile_IsValid(PEImages::Get().Dir().c_str()), 0);

    const auto start =
        RunOracle("x86_64-w64-mingw32-objdump -f " + path + " | sed -n 's/^start address //p'", "");
    ASSERT_TRUE(start.has_value());
    uint64_t absolute = 0, relative = 0;
    ASSERT_EQ(PEFile_GetEntryPoint(path.c_str(), 0, &absolute), 1);
    ASSERT_EQ(PEFile_GetEntryPoint(path.c_str(), 1, &relative), 1);
    EXPECT_EQ(absolute, std::stoull(*start, nullptr, 16));
    EXPECT_EQ(absolute - relative, h64.OptionalHeader.ImageBase);

    // A stripped program ends with its last section.
    uint64_t size = 0;
    ASSERT_EQ(PEFile_GetImageSize(file.stream(), &size), 1);
    EXPECT_EQ(size, ReadFile(path).size());
}

TEST(PEFile, VersionResourceGivesStringsAndFixedVersions) {
    REQUIRE_IMAGES();
    const std::string path = PEImages::Get().Plain();
    const std::pair<const char*, const char*> cases[] = {
        {"ProductName", "Quill Reader"},
        {"companyname", "Quill"},
        // The fixed block is set after the strings and wins.
        {"FileVersion", "1.2.3.4"},
        {"ProductVersion", "5.6.7.8"},
    };
    for (const auto& [key, value] : cases) {
        char text[64] = "untouched";
        EXPECT_EQ(PEFile_GetInfoValue(path.c_str(), key, text, sizeof(text)), 1) << key;
        EXPECT_STREQ(text, value);
    }
    char text[64];
    EXPECT_EQ(PEFile_GetInfoValue(path.c_str(), "Missing", text, sizeof(text)), 0);
    EXPECT_EQ(PEFile_GetInfoValue(PEImages::Get().Twin().c_str(), "ProductName", text, sizeof(text)), 0);
}

TEST(PEFile, ImageDigestIsTheSigningToolsAndSkipsOnlyTheSignatureFields) {
    REQUIRE_IMAGES();
    const std::string path = PEImages::Get().Signed();
    const std::string bytes = ReadFile(path);
    const std::string digest = Digest(bytes);
    ASSERT_FALSE(digest.empty());
    EXPECT_EQ(digest, PEImages::Get().ToolDigest(path));

    FileStreamFixture file(path);
    uint32_t headerOffset = 0, certOffset = 0, certLength = 0;
    PEHeaders32 h32;
    PEHeaders64 h64;
    ASSERT_EQ(PEFile_GetHeaders(file.stream(), &headerOffset, &h32, &h64), 64);
    ASSERT_EQ(PEFile_GetCertificateOffset(file.stream(), &certOffset, &certLength), 1);
    struct Change {
        const char* what;
        size_t at;
        bool same;
    };
    const Change changes[] = {
        {"checksum", headerOffset + 88, true},
        {"certificate record", certOffset + certLength / 2, true},
        {"first section", h64.OptionalHeader.SizeOfHeaders + 16, false},
        {"DOS header", 2, false},
    };
    for (const Change& c : changes) {
        std::string changed = bytes;
        changed[c.at] ^= 0x55;
        EXPECT_EQ(Digest(changed) == digest, c.same) << c.what;
    }
}

TEST(PEFile, CertificateTableOfSignedAndUnsignedPrograms) {
    REQUIRE_IMAGES();
    const std::string signedPath = PEImages::Get().Signed();
    const std::string plainPath = PEImages::Get().Plain();
    EXPECT_EQ(PEFile_HasCertificate(signedPath.c_str()), 1);
    EXPECT_EQ(PEFile_HasCertificate(plainPath.c_str()), 0);

    FileStreamFixture file(signedPath);
    const std::string bytes = ReadFile(signedPath);
    uint32_t offset = 0, size = 0, length = 0;
    ASSERT_EQ(PEFile_GetDataDirectoryOffset(file.stream(), &offset, &size), 1);
    EXPECT_EQ((uint64_t)offset + size, bytes.size());
    ASSERT_EQ(PEFile_GetCertificateLength(file.stream(), &length), 1);
    EXPECT_LE(length, size);
    std::string record(length, '\0');
    uint32_t got = 0;
    ASSERT_EQ(PEFile_GetCertificate(file.stream(), reinterpret_cast<uint8_t*>(record.data()), &got), 1);
    EXPECT_EQ(got, length);
    EXPECT_EQ(record, bytes.substr(offset, length));
    // Revision 2.0, type PKCS #7 signed data, then a DER SEQUENCE.
    EXPECT_EQ(record.substr(4, 5), std::string("\x00\x02\x02\x00\x30", 5));

    FileStreamFixture plain(plainPath);
    EXPECT_EQ(PEFile_GetDataStoreOffset(plain.stream(), &offset, &size), 0);
    EXPECT_EQ(offset + size, 0u);
    EXPECT_EQ(PEFile_GetCertificateLength(plain.stream(), &length), 0);
    EXPECT_EQ(PEFile_HasCertificateData(plain.stream()), 0);
}

// PE32 headers, one ".rsrc" section of 0x200 bytes at 0x200 and a certificate table of 16 bytes
// after it.
std::string HandMade() {
    std::string b(0x410, '\0');
    auto put = [&b](size_t at, uint64_t value, int width) {
        for (int i = 0; i < width; i++) b[at + i] = (char)(value >> (8 * i));
    };
    put(0, 0x5a4d, 2);
    put(60, 64, 4);
    put(64, 0x4550, 4);
    put(64 + 6, 1, 2);    // sections
    put(64 + 20, 224, 2); // optional header size
    put(88, 0x10b, 2);    // magic
    put(88 + 16, 0x1000, 4);
    put(88 + 28, 0x400000, 4);
    put(88 + 36, 0x200, 4); // file alignment
    put(88 + 92, 16, 4);    // directories
    put(64 + 152, 0x400, 4);
    put(64 + 156, 16, 4);
    memcpy(&b[64 + 248], ".rsrc", 5);
    put(64 + 248 + 16, 0x200, 4);
    put(64 + 248 + 20, 0x200, 4);
    put(0x400, 16, 4);
    put(0x404, 0x0200, 2);
    put(0x406, 2, 2);
    return b;
}

TEST(PEFile, DamagedImagesFailWithoutReadingOutsideThem) {
    const std::string good = HandMade();
    {
        BytesStream stream(good);
        uint32_t offset = 0, length = 0;
        uint64_t size = 0;
        ASSERT_EQ(PEFile_GetCertificateOffset(stream.stream(), &offset, &length), 1);
        EXPECT_EQ(offset, 0x400u);
        EXPECT_EQ(length, 16u);
        ASSERT_EQ(PEFile_GetImageSize(stream.stream(), &size), 1);
        EXPECT_EQ(size, 0x400u);
        EXPECT_FALSE(Digest(good).empty());
    }
    struct Patch {
        const char* what;
        size_t at;
        uint64_t value;
        int width;
        bool valid, record, imageSize, digest;
    };
    const Patch patches[] = {
        {"PE header offset past the end", 60, 0xfffffff0u, 4, false, false, false, false},
        {"bad magic", 88, 0x10c, 2, false, false, false, false},
        {"section count past the end", 64 + 6, 0xffff, 2, true, true, false, false},
        {"section size 4 GiB", 64 + 248 + 16, 0xffffffffu, 4, true, true, true, false},
        {"section offset past the end", 64 + 248 + 20, 0xfffffe00u, 4, true, true, true, false},
        // Bytes between the headers and the section would be covered by no digest.
        {"gap before the section", 64 + 248 + 20, 0x208, 4, true, true, true, false},
        {"certificate entry past the end", 64 + 152, 0xfffffff8u, 4, true, false, true, false},
        {"certificate size 4 GiB", 64 + 156, 0xffffffffu, 4, true, false, true, false},
        {"certificate table not at the end", 64 + 156, 8, 4, true, false, true, false},
        {"record longer than the entry", 0x400, 17, 4, true, false, true, true},
        {"record length 2 GiB", 0x400, 0x80000000u, 4, true, false, true, true},
        {"record shorter than its header", 0x400, 4, 4, true, false, true, true},
        {"no certificate directory", 88 + 92, 4, 4, true, false, true, false},
        {"optional header too short for it", 64 + 20, 96 + 32, 2, true, false, false, false},
        {"file alignment 0", 88 + 36, 0, 4, true, true, true, false},
    };
    for (const Patch& p : patches) {
        std::string bytes = good;
        for (int i = 0; i < p.width; i++) bytes[p.at + i] = (char)(p.value >> (8 * i));
        BytesStream stream(bytes);
        uint32_t offset = 0, length = 0;
        uint64_t size = 0;
        EXPECT_EQ(PEFile_IsValidStream(stream.stream()), p.valid) << p.what;
        EXPECT_EQ(PEFile_GetCertificateOffset(stream.stream(), &offset, &length), p.record) << p.what;
        if (!p.record) {
            EXPECT_EQ(offset + length, 0u) << p.what;
        }
        EXPECT_EQ(PEFile_GetImageSize(stream.stream(), &size), p.imageSize) << p.what;
        EXPECT_EQ(!Digest(bytes).empty(), p.digest) << p.what;
    }
    for (size_t cut = 0; cut < good.size(); cut += 13) {
        BytesStream stream(good.substr(0, cut));
        uint32_t offset = 0, length = 0;
        EXPECT_EQ(PEFile_GetCertificateOffset(stream.stream(), &offset, &length), 0) << cut;
        EXPECT_TRUE(Digest(good.substr(0, cut)).empty()) << cut;
    }
}

} // namespace
