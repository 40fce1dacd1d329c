// The Authenticode check of PE images signed by the signing tool with a test key, against a
// store that trusts exactly that key's certificate.
#include <gtest/gtest.h>

#include <string>

#include "core/certs/cert_store.h"
#include "core/certs/pe_file.h"
#include "core/certs/x509.h"
#include "tests/core/certs/pe_image_fixture.h"
#include "tests/core/certs/trust_one.h"
#include "tests/support/image_stream.h"

namespace {

int64_t VerifyBytes(CertStoreInterface* store, const std::string& bytes) {
    BytesStream stream(bytes);
    return PEFile_VerifyData(store, stream.stream());
}

TEST(PEFileVerify, SignatureHoldsOnlyForItsOwnImage) {
    PEImages& images = PEImages::Get();
    if (!images.Ready()) GTEST_SKIP() << "x86_64-w64-mingw32-gcc, osslsigncode or openssl missing";
    TrustOne trusted(ReadFile(images.Dir() + "/cert.der"));
    TrustOne nobody("");
    const std::string signedBytes = ReadFile(images.Signed());
    const std::string twin = ReadFile(images.SignedTwin());

    // The signature of one program moved onto the other: the certificate table and its entry
    // of the signed program replace the twin's.
    FileStreamFixture source(images.Signed());
    uint32_t offset = 0, size = 0, twinOffset = 0, twinSize = 0;
    ASSERT_EQ(PEFile_GetDataDirectoryOffset(source.stream(), &offset, &size), 1);
    FileStreamFixture target(images.SignedTwin());
    ASSERT_EQ(PEFile_GetDataDirectoryOffset(target.stream(), &twinOffset, &twinSize), 1);
    std::string moved = twin.substr(0, twinOffset) + signedBytes.substr(offset, size);
    PEHeaders32 h32;
    PEHeaders64 h64;
    uint32_t header = 0;
    ASSERT_EQ(PEFile_GetHeaders(target.stream(), &header, &h32, &h64), 64);
    moved.replace(header + 168 + 4, 4, signedBytes.substr(header + 168 + 4, 4));

    std::string section = signedBytes;
    section[h64.OptionalHeader.SizeOfHeaders + 40] ^= 1;
    std::string checksum = signedBytes;
    checksum[header + 88] ^= 1;
    std::string trailing = signedBytes + std::string(8, '\0');

    struct Case {
        const char* what;
        std::string bytes;
        CertStoreInterface* store;
        int64_t answer;
    };
    const Case cases[] = {
        {"signed program", signedBytes, trusted.Interface, 1},
        {"signed twin", twin, trusted.Interface, 1},
        {"untrusted signer", signedBytes, nobody.Interface, 0},
        {"signature moved onto another program", moved, trusted.Interface, 0},
        {"changed section byte", section, trusted.Interface, 0},
        {"changed checksum", checksum, trusted.Interface, 1},
        {"bytes after the certificate table", trailing, trusted.Interface, 0},
        {"unsigned program", ReadFile(images.Plain()), trusted.Interface, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(VerifyBytes(c.store, c.bytes), c.answer) << c.what;
    EXPECT_EQ(PEFile_Verify(trusted.Interface, images.Signed().c_str()), 1);
    EXPECT_EQ(PEFile_Verify(trusted.Interface, images.Plain().c_str()), 0);
    EXPECT_EQ(PEFile_Verify(trusted.Interface, "/nonexistent.exe"), 0);
}

} // namespace
