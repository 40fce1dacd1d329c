// Tests of the Mach-O reader: thin and universal files built byte by byte, code directories with
// page hashes, CMS signatures made by openssl, and malformed files that must fail cleanly.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/certs/macho_file.h"
#include "core/crypto/hash.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "tests/core/certs/macho_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

CertChains* g_certs = nullptr;

int64_t Verify(const std::string& file, const std::string& trusted) {
    TrustOne store(trusted);
    BytesStream stream(file);
    return MachOFile_VerifyData(store.Interface, stream.Handle);
}

class MachOFileTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!g_certs) g_certs = new CertChains;
    }
    void SetUp() override { ASSERT_TRUE(g_certs->Made); }
    std::string Root() { return g_certs->Der("ica_rsa"); }
};

struct SignatureCase {
    const char* Name;
    ThinLayout Layout;
    int64_t Expected;
    const char* Log; // a line the check must print, or null
};

TEST_F(MachOFileTest, CodeSignaturesVerifyByTheirDirectories) {
    const SignatureCase cases[] = {
        {"sha256 directory", {}, 1, nullptr},
        {"32-bit sha1 directory", {false, 5000, {{0, 1, false}}, 1}, 1, nullptr},
        {"code limit on a page boundary", {true, 4096 * 2 - 72, {{0, 2, false}}, 1}, 1, nullptr},
        {"sha1 then alternate sha256, first verifies", {true, 9000, {{0, 1, false}, {0x1000, 2, false}}, 1}, 1,
         nullptr},
        {"first fails on a page, second verifies, digest covers both",
         {true, 9000, {{0, 1, true}, {0x1000, 2, false}}, 3}, 1,
         "MachO verification failed, code page hash does not match 1\n"},
        {"first fails, digest covers only the second", {true, 9000, {{0, 1, true}, {0x1000, 2, false}}, 2}, 0,
         nullptr},
        {"page hash mismatch", {true, 9000, {{0, 2, true}}, 1}, 0,
         "MachO verification failed, code page hash does not match 1\n"},
        {"only a hash type 3 directory", {true, 9000, {{0, 3, false}}, 1}, 0, nullptr},
        // Slots of no bytes would compare nothing and pass any page.
        {"hash size 0 over a wrong page", {true, 9000, {{0, 2, true, 0}}, 1}, 0, nullptr},
        {"hash size past the digest", {true, 9000, {{0, 1, false, 32}}, 1}, 0, nullptr},
    };
    for (const SignatureCase& c : cases) {
        const std::string file = BuildThin(*g_certs, c.Layout);
        LogCapture log;
        EXPECT_EQ(Verify(file, Root()), c.Expected) << c.Name << log.Text();
        if (c.Log) {
            EXPECT_NE(log.Text().find(c.Log), std::string::npos) << c.Name << log.Text();
        }
    }
}

TEST_F(MachOFileTest, AnUntrustedSignerFails) {
    const std::string file = BuildThin(*g_certs, {});
    EXPECT_EQ(Verify(file, Root()), 1);
    EXPECT_EQ(Verify(file, g_certs->Der("evil")), 0);
}

TEST_F(MachOFileTest, EverySliceOfAUniversalFileIsVerified) {
    const std::string first = BuildThin(*g_certs, {false, 5000, {{0, 1, false}}, 1});
    const std::string second = BuildThin(*g_certs, {});
    std::string tampered = second;
    tampered[200] ^= 1;
    EXPECT_EQ(Verify(BuildUniversal({first, second}), Root()), 1);
    EXPECT_EQ(Verify(BuildUniversal({first, tampered}), Root()), 0);
    EXPECT_EQ(Verify(BuildUniversal({tampered, second}), Root()), 0);

    // The headers and the signature come from the first architecture only.
    const std::string file = BuildUniversal({first, second});
    BytesStream stream(file);
    uint64_t slice = 1;
    MachOHeader32 h32;
    MachOHeader64 h64;
    EXPECT_EQ(MachOFile_GetHeaders(stream.Handle, &slice, &h32, &h64), 32);
    EXPECT_EQ(slice, 4096u);
    EXPECT_EQ(h32.CommandCount, 2u);
    uint64_t signatureOffset = 0;
    uint32_t signatureSize = 0;
    EXPECT_EQ(MachOFile_GetCodeSignatureCommandOffset(stream.Handle, &slice, &signatureOffset, &signatureSize), 1);
    EXPECT_EQ(signatureOffset, 4096u + ((28 + 40 + 5000 + 15) & ~15u));
    EXPECT_EQ(signatureSize, kSignatureArea);
}

TEST_F(MachOFileTest, TheCmsBytesAreReadBack) {
    const std::string file = BuildThin(*g_certs, {});
    BytesStream stream(file);
    uint32_t size = 0;
    ASSERT_EQ(MachOFile_GetCertificate(stream.Handle, nullptr, &size), 1);
    const size_t at = file.find(Be32(0xfade0b01));
    ASSERT_NE(at, std::string::npos);
    const std::string cms = file.substr(at + 8, size);
    EXPECT_EQ((uint8_t)cms[0], 0x30);
    std::string buffer(size, '\0');
    uint32_t capacity = size - 1;
    EXPECT_EQ(MachOFile_GetCertificate(stream.Handle, reinterpret_cast<uint8_t*>(buffer.data()), &capacity), 0);
    capacity = size;
    EXPECT_EQ(MachOFile_GetCertificate(stream.Handle, reinterpret_cast<uint8_t*>(buffer.data()), &capacity), 1);
    EXPECT_EQ(buffer, cms);
    EXPECT_EQ(MachOFile_HasCertificateData(stream.Handle), 1);

    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("a.out"), file));
    TrustOne store(Root());
    EXPECT_EQ(MachOFile_IsValid(dir.file("a.out").c_str()), 1);
    EXPECT_EQ(MachOFile_HasCertificate(dir.file("a.out").c_str()), 1);
    EXPECT_EQ(MachOFile_Verify(store.Interface, dir.file("a.out").c_str()), 1);
    for (const std::string& path : {dir.path(), dir.file("missing")}) {
        EXPECT_EQ(MachOFile_IsValid(path.c_str()), 0) << path;
        EXPECT_EQ(MachOFile_Verify(store.Interface, path.c_str()), 0) << path;
    }
}

struct Damage {
    const char* Name;
    std::function<void(std::string&)> Apply;
};

TEST_F(MachOFileTest, MalformedFilesFailCleanly) {
    const std::string good = BuildThin(*g_certs, {});
    const size_t super = good.size() - kSignatureArea;
    const Damage cases[] = {
        {"big-endian thin magic", [](std::string& f) { PutBe32(f, 0, 0xfeedfacf); }},
        {"command of size 0", [](std::string& f) { PutLe32(f, 36, 0); }},
        {"command past the end", [](std::string& f) { PutLe32(f, 36, 0xfffffff8); }},
        {"no signature command, endless count",
         [](std::string& f) { PutLe32(f, 56, 0x30), PutLe32(f, 16, 0xffffffff); }},
        {"signature offset past the end", [](std::string& f) { PutLe32(f, 64, 0xfffffff0); }},
        {"signature size of 4 GiB", [](std::string& f) { PutLe32(f, 68, 0xffffffff); }},
        {"super blob magic", [super](std::string& f) { PutBe32(f, super, 0xfade0cc1); }},
        {"super blob of 4 GiB", [super](std::string& f) { PutBe32(f, super + 4, 0xffffffff); }},
        {"no index entries", [super](std::string& f) { PutBe32(f, super + 8, 0); }},
        {"endless index", [super](std::string& f) { PutBe32(f, super + 8, 0xffffffff); }},
        {"entry offset past the end", [super](std::string& f) { PutBe32(f, super + 16, 0xffffffff); }},
        {"directory length of 4 GiB", [super](std::string& f) { PutBe32(f, super + 28 + 4, 0xffffffff); }},
        {"blob shorter than its header", [super](std::string& f) { PutBe32(f, super + 28 + 4, 4); }},
        {"universal with no architectures", [](std::string& f) { f = Be32(0xcafebabe) + Be32(0) + f; }},
        {"universal with 4 Gi architectures", [](std::string& f) { f = Be32(0xcafebabe) + Be32(0xffffffff) + f; }},
        {"architecture past the end",
         [](std::string& f) { f = Be32(0xcafebabe) + Be32(1) + Be32(7) + Be32(3) + Be32(28) + Be32(0xffffffff) +
                                  Be32(12) + f; }},
    };
    for (const Damage& c : cases) {
        std::string file = good;
        c.Apply(file);
        LogCapture log;
        EXPECT_EQ(Verify(file, Root()), 0) << c.Name;
    }
    // The directory's own fields: each broken one fails that directory.
    const size_t cd = super + 12 + 16;
    const Damage directoryCases[] = {
        {"hash size 0", [cd](std::string& f) { f[cd + 36] = 0; }},
        {"hash size past the digest", [cd](std::string& f) { f[cd + 36] = 64; }},
        {"no code slots", [cd](std::string& f) { PutBe32(f, cd + 28, 0); }},
        {"slots past the directory", [cd](std::string& f) { PutBe32(f, cd + 28, 0xffffffff), PutBe32(f, cd + 32, (uint32_t)f.size()); }},
        {"hash offset past the directory", [cd](std::string& f) { PutBe32(f, cd + 16, 0xfffffff0); }},
        {"page of 2^255 bytes", [cd](std::string& f) { f[cd + 39] = (char)255; }},
        {"code limit past the file", [cd](std::string& f) { PutBe32(f, cd + 32, 0xffffffff); }},
    };
    for (const Damage& c : directoryCases) {
        std::string file = good;
        c.Apply(file);
        LogCapture log;
        EXPECT_EQ(Verify(file, Root()), 0) << c.Name;
    }
    // Every truncation fails, never reads past the end.
    for (size_t length = 0; length < good.size(); length += 61) {
        BytesStream stream(good.substr(0, length));
        uint32_t size = 0;
        LogCapture log;
        EXPECT_EQ(MachOFile_VerifyData(nullptr, stream.Handle), 0) << length;
        MachOFile_GetCertificate(stream.Handle, nullptr, &size);
    }
}

} // namespace
