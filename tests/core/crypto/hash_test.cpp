#include "core/crypto/hash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "core/crypto/md2.h"
#include "core/crypto/md4.h"
#include "core/crypto/md5.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "core/formats/crc.h"
#include "tests/core/crypto/digest_vectors.h"
#include "tests/support/abort_hook.h"
#include "tests/support/guarded_output.h"
#include "tests/support/log_capture.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

struct Owned {
    Hash* H = nullptr;
    Owned(const HashInterface* record = nullptr) {
        EXPECT_EQ(Hash_Create(&H), 1);
        EXPECT_EQ(record ? Hash_SetInterface(H, record) : 1, 1);
    }
    ~Owned() { Hash_Delete(&H); }
    std::string Text() {
        char text[160] = {};
        EXPECT_EQ(Hash_GetString(H, 0, text, sizeof(text)), 1);
        return text;
    }
    std::string Run(const std::string& bytes) {
        EXPECT_EQ(Hash_Process(H, bytes.data(), (uint32_t)bytes.size(), nullptr), 1);
        EXPECT_EQ(Hash_Generate(H), 1);
        return Text();
    }
};

// Every record: its class name in the abort texts, the digest of "abc" (CRC-32 check value and
// RFC 1319, 1320, 1321, 3174 and FIPS 180-4 examples), and whether a short buffer receives the
// leading bytes (the fixed-length digests) or is refused (SHA-2).
struct RecordCase {
    const HashInterface* Record;
    const char* ClassName;
    const char* Abc;
    bool LeadingBytes;
};
// clang-format off
const RecordCase kRecords[] = {
    {&CRC_INTERFACE, "CRC", "352441c2", true},
    {&MD2_INTERFACE, "MD2", "da853b0d3f88d99b30283a69e6ded6bb", true},
    {&MD4_INTERFACE, "MD4", "a448017aaf21d8525fc10ae87aa6729d", true},
    {&MD5_INTERFACE, "MD5", "900150983cd24fb0d6963f7d28e17f72", true},
    {&SHA1_INTERFACE, "SHA1", "a9993e364706816aba3e25717850c26c9cd0d89d", true},
    {&SHA224_INTERFACE, "SHA256", "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7", false},
    {&SHA256_INTERFACE, "SHA256", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", false},
    {&SHA384_INTERFACE, "SHA512",
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed"
     "8086072ba1e7cc2358baeca134c825a7", false},
    {&SHA512_INTERFACE, "SHA512",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
     "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
     false}};
// clang-format on

class RecordTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordTest, ShortBuffers) {
    const RecordCase& c = GetParam();
    const int32_t size = (int32_t)c.Record->DigestSize;
    alignas(16) uint8_t memory[512];
    ASSERT_LE(c.Record->SizeOf(), sizeof(memory));
    c.Record->Stack(memory);
    c.Record->Process(memory, "abc", 3);
    c.Record->Generate(memory);
    // Capacity, then what a fixed-length digest answers and copies for it, then a SHA-2 digest.
    // clang-format off
    const std::tuple<int32_t, uint32_t, int32_t, uint32_t, int32_t> cases[] = {
        {size / 2, 1, size / 2, 0, 0}, {size - 1, 1, size - 1, 0, 0}, {size, 1, size, 1, size},
        {size + 24, 1, size, 1, size}, {0, 1, 0, 0, 0}, {-5, 1, 0, 0, 0}};
    // clang-format on
    for (const auto& [capacity, fixedAnswer, fixedCopied, sizedAnswer, sizedCopied] : cases) {
        uint8_t out[96];
        memset(out, 0xEE, sizeof(out));
        const int32_t copied = c.LeadingBytes ? fixedCopied : sizedCopied;
        const uint32_t answer = c.Record->GetDigest(memory, out, capacity);
        // The bytes copied, then one untouched byte.
        EXPECT_EQ(std::pair(answer, ToHex(out, (size_t)copied + 1)),
                  std::pair(c.LeadingBytes ? fixedAnswer : sizedAnswer,
                            std::string(c.Abc).substr(0, 2 * (size_t)copied) + "ee"))
            << capacity;
    }
    // Text cut short answers 0 and keeps the leading digits.
    char text[160];
    EXPECT_EQ(c.Record->GetString(memory, 0, text, 2 * size + 1), 1u);
    EXPECT_STREQ(text, c.Abc);
    EXPECT_EQ(c.Record->GetString(memory, 0, text, 6), 0u);
    EXPECT_EQ(std::string(text), std::string(c.Abc).substr(0, 5));
    c.Record->Unstack(memory);
}

// A copy taken in the middle of a message and fed the same rest ends equal; a copy of a finished
// instance carries the digest; copying onto itself changes nothing; reset starts afresh.
TEST_P(RecordTest, CopyAndReset) {
    const RecordCase& c = GetParam();
    Owned a(c.Record), b(c.Record), other(c.Record), done(c.Record);
    const std::string head(150, 'h'), tail = "the rest of the message";
    Hash_Process(a.H, head.data(), (uint32_t)head.size(), nullptr);
    EXPECT_EQ(Hash_CopyTo(a.H, b.H), 1);
    EXPECT_EQ(Hash_CopyTo(a.H, other.H), 1);
    EXPECT_EQ(Hash_CopyTo(a.H, a.H), 1);
    const std::string whole = a.Run(tail);
    EXPECT_EQ(whole, Digest(c.Record, head + tail));
    EXPECT_EQ(b.Run(tail), whole);
    EXPECT_NE(other.Run("other"), whole);
    EXPECT_EQ(Hash_CopyTo(a.H, done.H), 1);
    EXPECT_EQ(Hash_IsGenerated(done.H), 1);
    EXPECT_EQ(done.Text(), whole);
    EXPECT_EQ(Hash_Reset(a.H), 1);
    EXPECT_EQ(Hash_IsGenerated(a.H), 0);
    EXPECT_EQ(a.Run(""), Digest(c.Record, ""));
}

TEST_P(RecordTest, ReadingBeforeGeneratingAborts) {
    const std::string name = GetParam().ClassName;
    const HashInterface* record = GetParam().Record;
    const std::string text =
        "Assertion failed (" + name + "->DigestReady)\n" + name + " must be generated first!";
    for (int asText = 0; asText < 2; asText++) {
        EXPECT_DEATH(
            {
                InstallTestAbortHook();
                alignas(16) uint8_t memory[512];
                char out[160];
                record->Stack(memory);
                if (asText)
                    record->GetString(memory, 0, out, (int32_t)sizeof(out));
                else
                    record->GetDigest(memory, reinterpret_cast<uint8_t*>(out), (int32_t)record->DigestSize);
            },
            AbortRegex(text))
            << asText;
    }
}

INSTANTIATE_TEST_SUITE_P(Records, RecordTest, ::testing::ValuesIn(kRecords),
                         [](const ::testing::TestParamInfo<RecordCase>& info) {
                             return std::string(info.param.Record->Name);
                         });

TEST(HashTest, UnboundAnswersZero) {
    Owned o;
    const HashInterface* record = &CRC_INTERFACE;
    EXPECT_EQ(Hash_GetInterface(o.H, &record), 1);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(Hash_Generate(o.H), 0);
    EXPECT_EQ(Hash_IsGenerated(o.H), 0);
    EXPECT_EQ(Hash_GetDigestSize(o.H), 0u);
    EXPECT_EQ(Hash_GetBlockSize(o.H), 0u);
    EXPECT_EQ(Hash_Reset(o.H), 0);
    uint8_t digest[4];
    EXPECT_EQ(Hash_GetDigest(o.H, digest, 4), 0);
    char text[4] = "abc";
    EXPECT_EQ(Hash_GetString(o.H, 0, text, 4), 0);
    EXPECT_STREQ(text, "abc");
    Owned bound(&CRC_INTERFACE);
    EXPECT_EQ(Hash_CopyTo(bound.H, o.H), 0);
}

TEST(HashTest, BindingAndRebinding) {
    Owned o(&CRC_INTERFACE);
    EXPECT_EQ(Hash_GetDigestSize(o.H), 4u);
    EXPECT_EQ(Hash_GetBlockSize(o.H), 4u);
    uint32_t processed = 0;
    EXPECT_EQ(Hash_Process(o.H, "12345", 5, &processed), 1);
    EXPECT_EQ(processed, 5u);
    EXPECT_EQ(o.Run("6789"), "cbf43926");
    uint8_t digest[4];
    EXPECT_EQ(Hash_GetDigest(o.H, digest, 4), 1);
    EXPECT_EQ(ToHex(digest, 4), "cbf43926");
    // Binding the record already bound resets; another record replaces the instance; copying
    // needs both objects bound to the same record.
    EXPECT_EQ(Hash_SetInterface(o.H, &CRC_INTERFACE), 1);
    EXPECT_EQ(Hash_IsGenerated(o.H), 0);
    EXPECT_EQ(o.Run(""), "00000000");
    EXPECT_EQ(Hash_SetInterface(o.H, &SHA256_INTERFACE), 1);
    EXPECT_EQ(Hash_GetDigestSize(o.H), 32u);
    EXPECT_EQ(Hash_GetBlockSize(o.H), 64u);
    EXPECT_EQ(Hash_SetInterface(o.H, &MD5_INTERFACE), 1);
    EXPECT_EQ(o.Run("abc"), "900150983cd24fb0d6963f7d28e17f72");
    Owned sha(&SHA256_INTERFACE);
    EXPECT_EQ(Hash_CopyTo(o.H, sha.H), 0);
    EXPECT_EQ(Hash_SetInterface(o.H, nullptr), 1);
    EXPECT_EQ(Hash_GetDigestSize(o.H), 0u);
    // Two references: the first release keeps the object.
    Hash* second = o.H;
    EXPECT_EQ(Hash_AddRef(o.H), 1);
    EXPECT_EQ(Hash_Release(&second), 1);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(Hash_GetDigestSize(o.H), 0u);
}

TEST(HashTest, PendingBytesReplayOnBinding) {
    for (const HashInterface* record : {&CRC_INTERFACE, &SHA256_INTERFACE}) {
        Owned o;
        uint32_t processed = 0;
        EXPECT_EQ(Hash_Process(o.H, "12", 2, &processed), 1);
        EXPECT_EQ(processed, 2u);
        EXPECT_EQ(Hash_Process(o.H, "3456789", 7, nullptr), 1);
        EXPECT_EQ(Hash_SetInterface(o.H, record), 1);
        EXPECT_EQ(Hash_Generate(o.H), 1);
        EXPECT_EQ(o.Text(), Digest(record, "123456789")) << record->Name;
    }
    // 4096 pending bytes are accepted, one more is refused and the 4096 stay.
    Owned p;
    const std::string block(4096, 'x');
    EXPECT_EQ(Hash_Process(p.H, block.data(), 4095, nullptr), 1);
    EXPECT_EQ(Hash_Process(p.H, block.data(), 1, nullptr), 1);
    uint32_t processed = 9;
    EXPECT_EQ(Hash_Process(p.H, "y", 1, &processed), 0);
    EXPECT_EQ(processed, 0u);
    EXPECT_EQ(Hash_SetInterface(p.H, &CRC_INTERFACE), 1);
    EXPECT_EQ(Hash_Generate(p.H), 1);
    EXPECT_EQ(p.Text(), Digest(&CRC_INTERFACE, block));
    // Reset drops pending bytes.
    Owned r;
    EXPECT_EQ(Hash_Process(r.H, "junk", 4, nullptr), 1);
    EXPECT_EQ(Hash_Reset(r.H), 1);
    EXPECT_EQ(Hash_SetInterface(r.H, &CRC_INTERFACE), 1);
    EXPECT_EQ(r.Run("123456789"), "cbf43926");
}

TEST(HashTest, Lookups) {
    TakeLog();
    // clang-format off
    const std::tuple<const char*, const HashInterface*> names[] = {
        {"CRC", &CRC_INTERFACE}, {"crc", &CRC_INTERFACE}, {"md2", &MD2_INTERFACE}, {"Md4", &MD4_INTERFACE},
        {"MD5", &MD5_INTERFACE}, {"sha1", &SHA1_INTERFACE}, {"SHA224", &SHA224_INTERFACE},
        {"sHa256", &SHA256_INTERFACE}, {"SHA384", &SHA384_INTERFACE}, {"sha512", &SHA512_INTERFACE}};
    // Identifiers of RFC 3279, 4055, 5758 and 8017 and of NIST; SHA-224's digest and RSA-signature
    // identifiers are not in the table.
    const std::tuple<const char*, const HashInterface*> oids[] = {
        {"1.3.6.1.4.1.11591.14.1", &CRC_INTERFACE}, {"1.2.840.113549.1.1.2", &MD2_INTERFACE},
        {"1.3.14.7.2.3.1", &MD2_INTERFACE},         {"1.2.840.113549.1.1.3", &MD4_INTERFACE},
        {"1.3.14.3.2.2", &MD4_INTERFACE},           {"1.3.14.3.2.4", &MD4_INTERFACE},
        {"1.2.840.113549.1.1.4", &MD5_INTERFACE},   {"1.3.14.3.2.3", &MD5_INTERFACE},
        {"1.2.840.113549.2.5", &MD5_INTERFACE},     {"1.2.840.113549.1.1.5", &SHA1_INTERFACE},
        {"1.2.840.10040.4.3", &SHA1_INTERFACE},     {"1.3.14.3.2.29", &SHA1_INTERFACE},
        {"1.3.14.3.2.26", &SHA1_INTERFACE},         {"1.2.840.10045.4.1", &SHA1_INTERFACE},
        {"1.2.840.10045.4.3.1", &SHA224_INTERFACE}, {"1.2.840.113549.1.1.11", &SHA256_INTERFACE},
        {"2.16.840.1.101.3.4.2.1", &SHA256_INTERFACE}, {"1.2.840.10045.4.3.2", &SHA256_INTERFACE},
        {"1.2.840.113549.1.1.12", &SHA384_INTERFACE}, {"2.16.840.1.101.3.4.2.2", &SHA384_INTERFACE},
        {"1.2.840.10045.4.3.3", &SHA384_INTERFACE}, {"1.2.840.113549.1.1.13", &SHA512_INTERFACE},
        {"2.16.840.1.101.3.4.2.3", &SHA512_INTERFACE}, {"1.2.840.10045.4.3.4", &SHA512_INTERFACE}};
    const std::tuple<uint32_t, const HashInterface*> sizes[] = {
        {4, &CRC_INTERFACE}, {16, &MD5_INTERFACE}, {20, &SHA1_INTERFACE}, {28, &SHA224_INTERFACE},
        {32, &SHA256_INTERFACE}, {48, &SHA384_INTERFACE}, {64, &SHA512_INTERFACE}};
    // clang-format on
    const HashInterface* record = nullptr;
    for (const auto& [name, expected] : names)
        EXPECT_EQ(Hash_InterfaceFromName(name, &record) ? record : nullptr, expected) << name;
    for (const auto& [oid, expected] : oids)
        EXPECT_EQ(Hash_InterfaceFromOid(oid, &record) ? record : nullptr, expected) << oid;
    for (const auto& [size, expected] : sizes)
        EXPECT_EQ(Hash_InterfaceFromDigestSize(size, &record) ? record : nullptr, expected) << size;
    // A miss leaves the record as it was and logs the name.
    record = &MD5_INTERFACE;
    for (const char* bad : {"SHA-256", "SHA256 ", "SHA2", "SHA", "MD6", "CRC-32", ""})
        EXPECT_EQ(Hash_InterfaceFromName(bad, &record), 0) << bad;
    for (const char* bad : {"2.16.840.1.101.3.4.2.4", "1.2.840.113549.1.1.14", "1.2.840.113549.1.1.1",
                            "1.3.6.1.4.1.11591.14", ""})
        EXPECT_EQ(Hash_InterfaceFromOid(bad, &record), 0) << bad;
    for (uint32_t bad : {0u, 1u, 24u, 33u, 0xFFFFFFFFu})
        EXPECT_EQ(Hash_InterfaceFromDigestSize(bad, &record), 0);
    EXPECT_EQ(record, &MD5_INTERFACE);
    const std::string log = TakeLog();
    for (const char* line :
         {"Unsupported hash algorithm SHA-256\n", "Unsupported hash algorithm CRC-32\n",
          "Unsupported hash algorithm 1.2.840.113549.1.1.14\n", "Unsupported hash digest size 24"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST(HashTest, ExpandKey) {
    TakeLog();
    // key, argument (null: none), answer, expansion
    // clang-format off
    const std::tuple<const char*, const char*, int64_t, std::string> cases[] = {
        {"MD5", "abc", 1, "900150983cd24fb0d6963f7d28e17f72"},
        {"md5", "abc", 1, "900150983cd24fb0d6963f7d28e17f72"},
        {"MD4", "abc", 1, "a448017aaf21d8525fc10ae87aa6729d"}, {"CRC", "abc", 1, "352441c2"},
        {"SHA1", "abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"Sha256", "abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"SHA256", "", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"SHA1", "a,b", 1, Digest(&SHA1_INTERFACE, "a,b")}, {"MD5", nullptr, 1, ""},
        // The second comma belongs to the text.
        {"Hash", "SHA512,a,b", 1, "3d956f522663a6b328e451e370c26f5b525a675fc81b6b99657ec06387a4771c"
                                  "25689fcfb8020e09edf912fab4807d09e36811342052c233d06d39803b7352c1"},
        {"hash", "md2,abc", 1, "da853b0d3f88d99b30283a69e6ded6bb"},
        {"Hash", "SHA224,", 1, Digest(&SHA224_INTERFACE, "")},
        {"Hash", "Whirlpool,abc", 1, ""}, {"Hash", "SHA512", 1, ""}, {"Hash", nullptr, 0, ""},
        // Algorithms without a key of their own, and other keys.
        {"SHA512", "abc", 0, ""}, {"MD2", "abc", 0, ""}, {"SHA", "abc", 0, ""}, {"HashX", "MD5,abc", 0, ""}};
    // clang-format on
    for (const auto& [key, text, answer, expansion] : cases) {
        char argument[64] = {};
        if (text) strcpy(argument, text);
        char out[200] = {};
        const int64_t got = Hash_ExpandKey(nullptr, key, text ? argument : nullptr, out, sizeof(out));
        EXPECT_EQ(std::pair(got, std::string(out)), std::pair(answer, expansion)) << key << " " << argument;
    }
    // The first comma of the argument becomes a NUL; a small out buffer gets the text cut to fit.
    char argument[] = "SHA1,x,y";
    char out[9] = "zzzzzzzz";
    EXPECT_EQ(Hash_ExpandKey(nullptr, "Hash", argument, out, sizeof(out)), 1);
    EXPECT_STREQ(argument, "SHA1");
    EXPECT_STREQ(argument + 5, "x,y");
    char abc[] = "abc";
    EXPECT_EQ(Hash_ExpandKey(nullptr, "MD5", abc, out, sizeof(out)), 1);
    EXPECT_STREQ(out, "90015098");
    EXPECT_NE(TakeLog().find("Unsupported hash algorithm Whirlpool\n"), std::string::npos);
}

TEST(HashTest, ConvertDigestToString) {
    uint8_t digest[16];
    for (int32_t i = 0; i < 16; i++) digest[i] = (uint8_t)(i * 17);
    const std::string full = "00112233445566778899aabbccddeeff";
    // spaced, capacity, answer, text
    // clang-format off
    const std::tuple<uint32_t, int32_t, int64_t, std::string> cases[] = {
        {0, 33, 1, full}, {0, 40, 1, full}, {0, 32, 0, full.substr(0, 31)}, {0, 3, 0, "00"}, {0, 2, 0, "0"},
        {0, 1, 0, ""},
        {1, 36, 1, "00112233 44556677 8899aabb ccddeeff"}, {1, 37, 1, "00112233 44556677 8899aabb ccddeeff"},
        {1, 38, 1, "00112233 44556677 8899aabb ccddeeff "},
        {2, 33, 1, full}, // only exactly 1 spaces
        {0, 0, 0, "<none>"}};
    // clang-format on
    for (const auto& [spaced, capacity, answer, text] : cases) {
        int64_t r = -1;
        const std::string got = Guarded(
            capacity,
            [&](char* o, int32_t c) { return Hash_ConvertDigestToString(digest, 16, spaced, o, c); }, &r);
        EXPECT_EQ(std::pair(r, got), std::pair(answer, text)) << spaced << " " << capacity;
    }
}

TEST(HashTest, QuickDigestForms) {
    // No data, and a negative length, give the digest of empty input.
    char text[65];
    EXPECT_EQ(Hash_QuickString(&SHA256_INTERFACE, nullptr, 0, 0, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Hash_QuickString(&SHA256_INTERFACE, "abc", -3, 0, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    // Case folding turns only a-z upper case, also past one folding chunk; folding needs text.
    uint8_t folded[4], upper[4];
    EXPECT_EQ(Hash_QuickDigest2(&CRC_INTERFACE, "Text/Html-az", 12, 0, folded, 4), 1);
    EXPECT_EQ(Hash_QuickDigest(&CRC_INTERFACE, "TEXT/HTML-AZ", 12, upper, 4), 1);
    EXPECT_EQ(memcmp(folded, upper, 4), 0);
    EXPECT_EQ(Hash_QuickDigest2(&CRC_INTERFACE, "Text/Html-az", 12, 1, folded, 4), 1);
    EXPECT_NE(memcmp(folded, upper, 4), 0);
    EXPECT_EQ(Hash_QuickDigest2(&CRC_INTERFACE, "", 0, 0, folded, 4), 0);
    std::string lower(3000, 'q'), big(3000, 'Q');
    lower[1500] = big[1500] = '\xE9';
    EXPECT_EQ(Hash_QuickDigest2(&CRC_INTERFACE, lower.data(), 3000, 0, folded, 4), 1);
    EXPECT_EQ(Hash_QuickDigest(&CRC_INTERFACE, big.data(), 3000, upper, 4), 1);
    EXPECT_EQ(memcmp(folded, upper, 4), 0);
    // UTF-16 units are encoded to UTF-8 one by one (a surrogate half gives three bytes).
    const std::tuple<std::vector<uint16_t>, uint32_t, std::string> cases[] = {
        {{0x00E9}, 1, "\xC3\xA9"},
        {{'a', 'B', 0x00E9}, 0, "AB\xC3\xA9"},
        {{'a', 'B'}, 1, "aB"},
        {{0xD83D, 0xDE00}, 1, "\xED\xA0\xBD\xED\xB8\x80"},
        {{}, 1, ""}};
    for (const auto& [units, caseSensitive, bytes] : cases) {
        uint8_t got[4] = {};
        EXPECT_EQ(
            Hash_QuickDigestUtf16(&CRC_INTERFACE, units.data(), (int32_t)units.size(), caseSensitive, got, 4),
            1);
        EXPECT_EQ(ToHex(got, 4), Digest(&CRC_INTERFACE, bytes)) << bytes;
    }
    // The string form of UTF-16 data takes the bytes unchanged.
    const uint16_t units[] = {0x0031, 0x0032};
    EXPECT_EQ(Hash_QuickStringUtf16(&CRC_INTERFACE, units, 4, 0, text, 9), 1);
    EXPECT_EQ(std::string(text),
              Digest(&CRC_INTERFACE, std::string(reinterpret_cast<const char*>(units), 4)));
}

TEST(HashTest, RecordWithoutDigestSizeAborts) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            HashInterface broken = CRC_INTERFACE;
            broken.DigestSize = 0;
            Owned o(&broken);
        },
        AbortRegex("Assertion failed (Interface->DigestSize != 0)\nHash_SetInterface: DigestSize must not be "
                   "zero\n"));
}

} // namespace
