#include "core/crypto/hash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/crypto/md2.h"
#include "core/crypto/md4.h"
#include "core/crypto/md5.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "core/formats/crc.h"
#include "core/runtime/string.h"
#include "tests/support/abort_hook.h"
#include "tests/support/temp_dir.h"

namespace {

struct Owned {
    Hash* H = nullptr;
    Owned() { EXPECT_EQ(Hash_Create(&H), 1); }
    ~Owned() {
        if (H) Hash_Delete(&H);
    }
};

std::string Text(Hash* h) {
    char text[16];
    EXPECT_EQ(Hash_GetString(h, 0, text, sizeof(text)), 1);
    return text;
}

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
    EXPECT_STREQ(text, "abc"); // left untouched
}

TEST(HashTest, BoundToCrc) {
    Owned o;
    EXPECT_EQ(Hash_SetInterface(o.H, &CRC_INTERFACE), 1);
    EXPECT_EQ(Hash_GetDigestSize(o.H), 4u);
    EXPECT_EQ(Hash_GetBlockSize(o.H), 4u);
    uint32_t processed = 0;
    EXPECT_EQ(Hash_Process(o.H, "12345", 5, &processed), 1);
    EXPECT_EQ(processed, 5u);
    EXPECT_EQ(Hash_Process(o.H, "6789", 4, nullptr), 1);
    EXPECT_EQ(Hash_IsGenerated(o.H), 0);
    EXPECT_EQ(Hash_Generate(o.H), 1);
    EXPECT_EQ(Hash_IsGenerated(o.H), 1);
    uint8_t digest[4];
    EXPECT_EQ(Hash_GetDigest(o.H, digest, 4), 1);
    EXPECT_EQ(digest[0], 0xCB);
    EXPECT_EQ(digest[3], 0x26);
    EXPECT_EQ(Text(o.H), "cbf43926");

    Owned copy;
    EXPECT_EQ(Hash_CopyTo(o.H, copy.H), 0); // target unbound
    EXPECT_EQ(Hash_SetInterface(copy.H, &CRC_INTERFACE), 1);
    EXPECT_EQ(Hash_CopyTo(o.H, copy.H), 1);
    EXPECT_EQ(Text(copy.H), "cbf43926");

    // Binding the record already bound resets.
    EXPECT_EQ(Hash_SetInterface(o.H, &CRC_INTERFACE), 1);
    EXPECT_EQ(Hash_IsGenerated(o.H), 0);
    EXPECT_EQ(Hash_Generate(o.H), 1);
    EXPECT_EQ(Text(o.H), "00000000");
    EXPECT_EQ(Hash_SetInterface(o.H, nullptr), 1);
    EXPECT_EQ(Hash_GetDigestSize(o.H), 0u);
}

TEST(HashTest, PendingBytesReplayOnBinding) {
    Owned o;
    uint32_t processed = 0;
    EXPECT_EQ(Hash_Process(o.H, "12", 2, &processed), 1);
    EXPECT_EQ(processed, 2u);
    EXPECT_EQ(Hash_Process(o.H, "3456789", 7, nullptr), 1);
    EXPECT_EQ(Hash_SetInterface(o.H, &CRC_INTERFACE), 1);
    EXPECT_EQ(Hash_Generate(o.H), 1);
    EXPECT_EQ(Text(o.H), "cbf43926");

    // 4096 pending bytes are accepted, one more is refused and the 4096 stay.
    Owned p;
    std::vector<uint8_t> block(4096, 'x');
    EXPECT_EQ(Hash_Process(p.H, block.data(), 4095, nullptr), 1);
    EXPECT_EQ(Hash_Process(p.H, block.data(), 1, nullptr), 1);
    processed = 9;
    EXPECT_EQ(Hash_Process(p.H, "y", 1, &processed), 0);
    EXPECT_EQ(processed, 0u);
    EXPECT_EQ(Hash_SetInterface(p.H, &CRC_INTERFACE), 1);
    EXPECT_EQ(Hash_Generate(p.H), 1);
    char expected[9];
    Hash_QuickString(&CRC_INTERFACE, block.data(), 4096, 0, expected, 9);
    EXPECT_EQ(Text(p.H), expected);

    // Reset drops pending bytes.
    Owned r;
    EXPECT_EQ(Hash_Process(r.H, "junk", 4, nullptr), 1);
    EXPECT_EQ(Hash_Reset(r.H), 1);
    EXPECT_EQ(Hash_SetInterface(r.H, &CRC_INTERFACE), 1);
    EXPECT_EQ(Hash_Process(r.H, "123456789", 9, nullptr), 1);
    EXPECT_EQ(Hash_Generate(r.H), 1);
    EXPECT_EQ(Text(r.H), "cbf43926");
}

std::vector<std::string> g_printed;
void CapturePrint(const char* text) {
    g_printed.push_back(text);
}

bool Printed(const std::string& part) {
    for (const std::string& line : g_printed)
        if (line.find(part) != std::string::npos) return true;
    return false;
}

TEST(HashTest, Lookups) {
    TempDir dir;
    ASSERT_EQ(Debug_Init(dir.file("hash.log").c_str(), nullptr, 0x800), 1);
    g_printed.clear();
    Debug_PrintCallback(CapturePrint);
    const HashInterface* record = nullptr;
    for (const char* name : {"CRC", "crc", "Crc"}) {
        record = nullptr;
        EXPECT_EQ(Hash_InterfaceFromName(name, &record), 1);
        EXPECT_EQ(record, &CRC_INTERFACE);
    }
    record = &CRC_INTERFACE;
    const HashInterface* untouched = record;
    EXPECT_EQ(Hash_InterfaceFromName("CRC-32", &record), 0);
    EXPECT_EQ(record, untouched);
    EXPECT_EQ(Hash_InterfaceFromName("", &record), 0);
    record = nullptr;
    EXPECT_EQ(Hash_InterfaceFromOid("1.3.6.1.4.1.11591.14.1", &record), 1);
    EXPECT_EQ(record, &CRC_INTERFACE);
    EXPECT_EQ(Hash_InterfaceFromOid("1.3.6.1.4.1.11591.14", &record), 0);
    EXPECT_EQ(Hash_InterfaceFromOid("2.16.840.1.101.3.4.2.4", &record), 0);
    record = nullptr;
    EXPECT_EQ(Hash_InterfaceFromDigestSize(4, &record), 1);
    EXPECT_EQ(record, &CRC_INTERFACE);
    EXPECT_EQ(Hash_InterfaceFromDigestSize(24, &record), 0);
    Debug_PrintCallback(nullptr);
    Debug_Remove();
    EXPECT_TRUE(Printed("Unsupported hash algorithm CRC-32\n"));
    EXPECT_TRUE(Printed("Unsupported hash algorithm 2.16.840.1.101.3.4.2.4\n"));
    EXPECT_TRUE(Printed("Unsupported hash digest size 24"));
}

TEST(HashTest, LookupsCoverTheNineRecords) {
    TempDir dir;
    ASSERT_EQ(Debug_Init(dir.file("hash.log").c_str(), nullptr, 0x800), 1);
    g_printed.clear();
    Debug_PrintCallback(CapturePrint);
    const struct {
        const char* Name;
        const HashInterface* Record;
    } names[] = {
        {"CRC", &CRC_INTERFACE},       {"md2", &MD2_INTERFACE},       {"Md4", &MD4_INTERFACE},
        {"MD5", &MD5_INTERFACE},       {"sha1", &SHA1_INTERFACE},     {"SHA224", &SHA224_INTERFACE},
        {"sha256", &SHA256_INTERFACE}, {"Sha256", &SHA256_INTERFACE}, {"sHa256", &SHA256_INTERFACE},
        {"SHA384", &SHA384_INTERFACE}, {"sha512", &SHA512_INTERFACE},
    };
    for (const auto& n : names) {
        const HashInterface* record = nullptr;
        EXPECT_EQ(Hash_InterfaceFromName(n.Name, &record), 1) << n.Name;
        EXPECT_EQ(record, n.Record) << n.Name;
        EXPECT_TRUE(String_CompareWithoutCase(n.Name, record->Name));
    }
    const HashInterface* record = &MD5_INTERFACE;
    for (const char* bad : {"SHA-256", "SHA256 ", "SHA2", "SHA", "MD6"}) {
        EXPECT_EQ(Hash_InterfaceFromName(bad, &record), 0) << bad;
        EXPECT_EQ(record, &MD5_INTERFACE);
    }

    const struct {
        const char* Oid;
        const HashInterface* Record;
    } oids[] = {
        {"1.3.6.1.4.1.11591.14.1", &CRC_INTERFACE},
        {"1.2.840.113549.1.1.2", &MD2_INTERFACE},
        {"1.3.14.7.2.3.1", &MD2_INTERFACE},
        {"1.2.840.113549.1.1.3", &MD4_INTERFACE},
        {"1.3.14.3.2.2", &MD4_INTERFACE},
        {"1.3.14.3.2.4", &MD4_INTERFACE},
        {"1.2.840.113549.1.1.4", &MD5_INTERFACE},
        {"1.3.14.3.2.3", &MD5_INTERFACE},
        {"1.2.840.113549.2.5", &MD5_INTERFACE},
        {"1.2.840.113549.1.1.5", &SHA1_INTERFACE},
        {"1.2.840.10040.4.3", &SHA1_INTERFACE},
        {"1.3.14.3.2.29", &SHA1_INTERFACE},
        {"1.3.14.3.2.26", &SHA1_INTERFACE},
        {"1.2.840.10045.4.1", &SHA1_INTERFACE},
        {"1.2.840.10045.4.3.1", &SHA224_INTERFACE},
        {"1.2.840.113549.1.1.11", &SHA256_INTERFACE},
        {"2.16.840.1.101.3.4.2.1", &SHA256_INTERFACE},
        {"1.2.840.10045.4.3.2", &SHA256_INTERFACE},
        {"1.2.840.113549.1.1.12", &SHA384_INTERFACE},
        {"2.16.840.1.101.3.4.2.2", &SHA384_INTERFACE},
        {"1.2.840.10045.4.3.3", &SHA384_INTERFACE},
        {"1.2.840.113549.1.1.13", &SHA512_INTERFACE},
        {"2.16.840.1.101.3.4.2.3", &SHA512_INTERFACE},
        {"1.2.840.10045.4.3.4", &SHA512_INTERFACE},
    };
    for (const auto& o : oids) {
        record = nullptr;
        EXPECT_EQ(Hash_InterfaceFromOid(o.Oid, &record), 1) << o.Oid;
        EXPECT_EQ(record, o.Record) << o.Oid;
    }
    // SHA-224's digest and RSA-signature identifiers are not in the table.
    for (const char* bad : {"2.16.840.1.101.3.4.2.4", "1.2.840.113549.1.1.14", "1.2.840.113549.1.1.1", ""}) {
        record = &MD5_INTERFACE;
        EXPECT_EQ(Hash_InterfaceFromOid(bad, &record), 0) << bad;
        EXPECT_EQ(record, &MD5_INTERFACE);
    }

    const struct {
        uint32_t Size;
        const HashInterface* Record;
    } sizes[] = {{4, &CRC_INTERFACE},     {16, &MD5_INTERFACE},    {20, &SHA1_INTERFACE},
                 {28, &SHA224_INTERFACE}, {32, &SHA256_INTERFACE}, {48, &SHA384_INTERFACE},
                 {64, &SHA512_INTERFACE}};
    for (const auto& z : sizes) {
        record = nullptr;
        EXPECT_EQ(Hash_InterfaceFromDigestSize(z.Size, &record), 1) << z.Size;
        EXPECT_EQ(record, z.Record) << z.Size;
    }
    for (uint32_t bad : {0u, 1u, 24u, 33u, 0xFFFFFFFFu})
        EXPECT_EQ(Hash_InterfaceFromDigestSize(bad, &record), 0);
    Debug_PrintCallback(nullptr);
    Debug_Remove();
    EXPECT_TRUE(Printed("Unsupported hash algorithm SHA-256\n"));
    EXPECT_TRUE(Printed("Unsupported hash algorithm 1.2.840.113549.1.1.14\n"));
    EXPECT_TRUE(Printed("Unsupported hash digest size 24"));
}

std::string QuickHex(const HashInterface* record, const std::string& bytes) {
    char text[160] = {};
    EXPECT_EQ(Hash_QuickString(record, bytes.data(), (int32_t)bytes.size(), 0, text, sizeof(text)), 1);
    return text;
}

TEST(HashTest, PendingBytesReplayIntoSha256) {
    Owned o;
    EXPECT_EQ(Hash_Process(o.H, "ab", 2, nullptr), 1);
    EXPECT_EQ(Hash_Process(o.H, "c", 1, nullptr), 1);
    EXPECT_EQ(Hash_SetInterface(o.H, &SHA256_INTERFACE), 1);
    EXPECT_EQ(Hash_Generate(o.H), 1);
    char text[65];
    EXPECT_EQ(Hash_GetString(o.H, 0, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Hash_GetDigestSize(o.H), 32u);
    EXPECT_EQ(Hash_GetBlockSize(o.H), 64u);

    // Binding the record already bound discards what was processed.
    EXPECT_EQ(Hash_Process(o.H, "junk", 4, nullptr), 1);
    EXPECT_EQ(Hash_SetInterface(o.H, &SHA256_INTERFACE), 1);
    EXPECT_EQ(Hash_Process(o.H, "abc", 3, nullptr), 1);
    EXPECT_EQ(Hash_Generate(o.H), 1);
    EXPECT_EQ(Hash_GetString(o.H, 0, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    // Switching to another record replaces the instance.
    EXPECT_EQ(Hash_SetInterface(o.H, &MD5_INTERFACE), 1);
    EXPECT_EQ(Hash_Process(o.H, "abc", 3, nullptr), 1);
    EXPECT_EQ(Hash_Generate(o.H), 1);
    EXPECT_EQ(Hash_GetString(o.H, 0, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "900150983cd24fb0d6963f7d28e17f72");
    // A short buffer: MD5 copies the leading bytes, SHA-256 refuses.
    uint8_t out[8];
    EXPECT_EQ(Hash_GetDigest(o.H, out, 8), 1);
    EXPECT_EQ(out[0], 0x90);
    EXPECT_EQ(Hash_GetString(o.H, 0, text, 10), 0);
    EXPECT_STREQ(text, "900150983");

    // Copying needs both objects bound to the same record.
    Owned other;
    EXPECT_EQ(Hash_SetInterface(other.H, &SHA256_INTERFACE), 1);
    EXPECT_EQ(Hash_CopyTo(o.H, other.H), 0);
}

TEST(HashTest, QuickDigestsOverEveryRecord) {
    const struct {
        const HashInterface* Record;
        const char* Abc;
    } cases[] = {
        {&CRC_INTERFACE, "352441c2"},
        {&MD2_INTERFACE, "da853b0d3f88d99b30283a69e6ded6bb"},
        {&MD4_INTERFACE, "a448017aaf21d8525fc10ae87aa6729d"},
        {&MD5_INTERFACE, "900150983cd24fb0d6963f7d28e17f72"},
        {&SHA1_INTERFACE, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {&SHA224_INTERFACE, "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
        {&SHA256_INTERFACE, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {&SHA384_INTERFACE,
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {&SHA512_INTERFACE,
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebb"
         "d454d4423643ce80e2a9ac94fa54ca49f"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QuickHex(c.Record, "abc"), c.Abc) << c.Record->Name;
        // Case folding, and the UTF-16 form of ASCII text, reach the same bytes.
        uint8_t folded[64] = {}, plain[64] = {}, wide[64] = {};
        EXPECT_EQ(Hash_QuickDigest2(c.Record, "aBc", 3, 0, folded, 64), 1);
        EXPECT_EQ(Hash_QuickDigest(c.Record, "ABC", 3, plain, 64), 1);
        const uint16_t units[] = {'a', 'b', 'c'};
        EXPECT_EQ(Hash_QuickDigestUtf16(c.Record, units, 3, 0, wide, 64), 1);
        EXPECT_EQ(memcmp(folded, plain, 64), 0) << c.Record->Name;
        EXPECT_EQ(memcmp(wide, plain, 64), 0) << c.Record->Name;
        // Through a Hash object the same.
        Owned o;
        EXPECT_EQ(Hash_SetInterface(o.H, c.Record), 1);
        EXPECT_EQ(Hash_Process(o.H, "abc", 3, nullptr), 1);
        EXPECT_EQ(Hash_Generate(o.H), 1);
        char text[160];
        EXPECT_EQ(Hash_GetString(o.H, 0, text, sizeof(text)), 1);
        EXPECT_STREQ(text, c.Abc);
    }
    // SHA-2 refuses a buffer shorter than its digest and leaves it untouched.
    uint8_t out[16];
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(Hash_QuickDigest(&SHA256_INTERFACE, "abc", 3, out, 16), 0);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(Hash_QuickDigest(&SHA1_INTERFACE, "abc", 3, out, 16), 1);
    EXPECT_EQ(out[0], 0xA9);
    // No data, and a negative length, give the digest of empty input.
    EXPECT_EQ(QuickHex(&SHA256_INTERFACE, ""),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    char text[65];
    EXPECT_EQ(Hash_QuickString(&SHA256_INTERFACE, nullptr, 0, 0, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Hash_QuickString(&SHA256_INTERFACE, "abc", -3, 0, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

struct ExpandCase {
    const char* Key;
    const char* Argument; // null: no argument
    int64_t Answer;
    std::string Expansion;
};

TEST(HashTest, ExpandKey) {
    TempDir dir;
    ASSERT_EQ(Debug_Init(dir.file("hash.log").c_str(), nullptr, 0x800), 1);
    g_printed.clear();
    Debug_PrintCallback(CapturePrint);
    const ExpandCase cases[] = {
        {"MD5", "abc", 1, "900150983cd24fb0d6963f7d28e17f72"},
        {"md5", "abc", 1, "900150983cd24fb0d6963f7d28e17f72"},
        {"MD4", "abc", 1, "a448017aaf21d8525fc10ae87aa6729d"},
        {"CRC", "abc", 1, "352441c2"},
        {"SHA1", "abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"Sha256", "abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"SHA1", "a,b", 1, QuickHex(&SHA1_INTERFACE, "a,b")},
        {"MD5", nullptr, 1, ""},
        {"SHA256", "", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        // The second comma belongs to the text.
        {"Hash", "SHA512,a,b", 1,
         "3d956f522663a6b328e451e370c26f5b525a675fc81b6b99657ec06387a4771c25689fcfb8020e09edf912fab4807d09e36"
         "811342052"
         "c233d06d39803b7352c1"},
        {"hash", "md2,abc", 1, "da853b0d3f88d99b30283a69e6ded6bb"},
        {"Hash", "SHA224,", 1, QuickHex(&SHA224_INTERFACE, "")},
        {"Hash", "Whirlpool,abc", 1, ""},
        {"Hash", "SHA512", 1, ""},
        {"Hash", nullptr, 0, ""},
        // Algorithms without a key of their own, and other keys.
        {"SHA512", "abc", 0, ""},
        {"MD2", "abc", 0, ""},
        {"SHA", "abc", 0, ""},
        {"HashX", "MD5,abc", 0, ""},
    };
    for (const ExpandCase& c : cases) {
        char argument[64] = {};
        if (c.Argument) strcpy(argument, c.Argument);
        char out[200] = {};
        EXPECT_EQ(Hash_ExpandKey(nullptr, c.Key, c.Argument ? argument : nullptr, out, sizeof(out)), c.Answer)
            << c.Key << " " << (c.Argument ? c.Argument : "(none)");
        EXPECT_EQ(std::string(out), c.Expansion) << c.Key << " " << (c.Argument ? c.Argument : "(none)");
    }
    // The first comma of the argument becomes a NUL.
    char argument[] = "SHA1,x,y";
    char out[64];
    EXPECT_EQ(Hash_ExpandKey(nullptr, "Hash", argument, out, sizeof(out)), 1);
    EXPECT_STREQ(argument, "SHA1");
    EXPECT_STREQ(argument + 5, "x,y");
    // A small out buffer gets the text cut to fit.
    char small[9] = "zzzzzzzz";
    char abc[] = "abc";
    EXPECT_EQ(Hash_ExpandKey(nullptr, "MD5", abc, small, sizeof(small)), 1);
    EXPECT_STREQ(small, "90015098");
    Debug_PrintCallback(nullptr);
    Debug_Remove();
    EXPECT_TRUE(Printed("Unsupported hash algorithm Whirlpool\n"));
}

TEST(HashTest, ConvertDigestToString) {
    uint8_t digest[16];
    for (int32_t i = 0; i < 16; i++) digest[i] = (uint8_t)(i * 17);
    const std::string full = "00112233445566778899aabbccddeeff";
    struct Case {
        uint32_t spaced;
        int32_t capacity;
        int64_t result;
        std::string text;
    } cases[] = {
        {0, 33, 1, full},
        {0, 40, 1, full},
        {0, 32, 0, full.substr(0, 31)},
        {0, 3, 0, "00"},
        {0, 2, 0, "0"},
        {0, 1, 0, ""},
        {1, 36, 1, "00112233 44556677 8899aabb ccddeeff"},
        {1, 37, 1, "00112233 44556677 8899aabb ccddeeff"},
        {1, 38, 1, "00112233 44556677 8899aabb ccddeeff "},
        {2, 33, 1, full}, // only exactly 1 spaces
    };
    for (const Case& c : cases) {
        std::vector<char> out(c.capacity + 4, 'X');
        EXPECT_EQ(Hash_ConvertDigestToString(digest, 16, c.spaced, out.data(), c.capacity), c.result)
            << c.spaced << " " << c.capacity;
        EXPECT_EQ(std::string(out.data()), c.text) << c.spaced << " " << c.capacity;
        for (int32_t i = c.capacity; i < c.capacity + 4; i++) EXPECT_EQ(out[i], 'X');
    }
    char none[2] = {'X', 'X'};
    EXPECT_EQ(Hash_ConvertDigestToString(digest, 16, 0, none, 0), 0);
    EXPECT_EQ(none[0], 'X');
}

TEST(HashTest, QuickDigests) {
    uint8_t digest[4] = {};
    EXPECT_EQ(Hash_QuickDigest(&CRC_INTERFACE, "123456789", 9, digest, 4), 1);
    EXPECT_EQ(digest[0], 0xCB);
    char text[9];
    EXPECT_EQ(Hash_QuickString(&CRC_INTERFACE, "123456789", 9, 0, text, 9), 1);
    EXPECT_STREQ(text, "cbf43926");
    EXPECT_EQ(Hash_QuickString(&CRC_INTERFACE, "", 0, 0, text, 9), 1);
    EXPECT_STREQ(text, "00000000");

    // Case folding turns only a-z upper case.
    uint8_t folded[4], upper[4];
    EXPECT_EQ(Hash_QuickDigest2(&CRC_INTERFACE, "Text/Html", 9, 0, folded, 4), 1);
    EXPECT_EQ(Hash_QuickDigest(&CRC_INTERFACE, "TEXT/HTML", 9, upper, 4), 1);
    EXPECT_EQ(memcmp(folded, upper, 4), 0);
    EXPECT_EQ(Hash_QuickDigest2(&CRC_INTERFACE, "Text/Html", 9, 1, folded, 4), 1);
    EXPECT_NE(memcmp(folded, upper, 4), 0);
    EXPECT_EQ(Hash_QuickDigest2(&CRC_INTERFACE, "", 0, 0, folded, 4), 0);

    // Longer than one folding chunk.
    std::string lower(3000, 'q'), big(3000, 'Q');
    lower[1500] = '\xE9';
    big[1500] = '\xE9';
    EXPECT_EQ(Hash_QuickDigest2(&CRC_INTERFACE, lower.data(), 3000, 0, folded, 4), 1);
    EXPECT_EQ(Hash_QuickDigest(&CRC_INTERFACE, big.data(), 3000, upper, 4), 1);
    EXPECT_EQ(memcmp(folded, upper, 4), 0);
}

TEST(HashTest, QuickDigestUtf16EncodesUnitByUnit) {
    struct Case {
        std::vector<uint16_t> units;
        uint32_t caseSensitive;
        std::string bytes;
    } cases[] = {
        {{0x00E9}, 1, "\xC3\xA9"},
        {{'a', 'B', 0x00E9}, 0, "AB\xC3\xA9"},
        {{'a', 'B'}, 1, "aB"},
        // A surrogate pair becomes two three-byte sequences.
        {{0xD83D, 0xDE00}, 1, "\xED\xA0\xBD\xED\xB8\x80"},
        {{}, 1, ""},
    };
    for (const Case& c : cases) {
        uint8_t got[4] = {}, expected[4] = {};
        EXPECT_EQ(Hash_QuickDigestUtf16(&CRC_INTERFACE, c.units.data(), (int32_t)c.units.size(),
                                        c.caseSensitive, got, 4),
                  1);
        EXPECT_EQ(Hash_QuickDigest(&CRC_INTERFACE, c.bytes.data(), (int32_t)c.bytes.size(), expected, 4), 1);
        EXPECT_EQ(memcmp(got, expected, 4), 0) << c.bytes;
    }
    char text[9];
    const uint16_t units[] = {0x0031, 0x0032};
    EXPECT_EQ(Hash_QuickStringUtf16(&CRC_INTERFACE, units, 4, 0, text, 9), 1);
    char plain[9];
    EXPECT_EQ(Hash_QuickString(&CRC_INTERFACE, units, 4, 0, plain, 9), 1);
    EXPECT_STREQ(text, plain);
}

TEST(HashTest, ProgrammingErrorsAbort) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Hash_Create(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            HashInterface broken = CRC_INTERFACE;
            broken.DigestSize = 0;
            Hash* h = nullptr;
            Hash_Create(&h);
            Hash_SetInterface(h, &broken);
        },
        AbortRegex("Assertion failed (Interface->DigestSize != 0)\nHash_SetInterface: DigestSize must not be "
                   "zero\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            HashInterface broken = CRC_INTERFACE;
            broken.Generate = nullptr;
            Hash* h = nullptr;
            Hash_Create(&h);
            Hash_SetInterface(h, &broken);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            uint8_t memory[64] = {};
            Hash_Reset(reinterpret_cast<Hash*>(memory));
        },
        "Class mismatch pointer");
}

} // namespace
