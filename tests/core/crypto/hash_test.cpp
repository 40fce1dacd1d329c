#include "core/crypto/hash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/formats/crc.h"
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
