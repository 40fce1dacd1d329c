// Tests of X500: reading CN, O and OU from DER names and from key=value text, and comparing.
#include "core/certs/x500_name.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/log_capture.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

std::string Tlv(uint8_t tag, const std::string& body) {
    std::string out(1, (char)tag);
    if (body.size() < 128) {
        out += (char)body.size();
    } else {
        out += (char)0x82;
        out += (char)(body.size() >> 8);
        out += (char)(body.size() & 0xFF);
    }
    return out + body;
}

// One relative name holding one attribute (the last byte of 2.5.4.x) as a UTF8String.
std::string Rdn(uint8_t attribute, const std::string& value) {
    return Tlv(0x31, Tlv(0x30, Tlv(0x06, std::string("\x55\x04", 2) + (char)attribute) + Tlv(0x0C, value)));
}

constexpr uint8_t kC = 6, kL = 7, kCN = 3, kO = 10, kOU = 11;

struct Name {
    X500* handle = nullptr;
    Name() { X500_Create(&handle); }
    ~Name() { X500_Release(&handle); }
    int64_t Build(const std::string& der) {
        ASN1* tree = nullptr;
        ASN1_Create(&tree);
        int64_t result = -1;
        if (ASN1_Decode(tree, reinterpret_cast<const uint8_t*>(der.data()), (uint32_t)der.size()) == 1)
            result = X500_Build(handle, tree->Head);
        ASN1_Release(&tree);
        return result;
    }
    std::string Get(int64_t (*get)(X500*, char*, int32_t)) {
        char text[X500_TEXT_SIZE];
        get(handle, text, (int32_t)sizeof(text));
        return text;
    }
};

TEST(X500Test, BuildKeepsTheLastOfEachAndNeedsOneOfThem) {
    const struct {
        std::string Rdns;
        int64_t Result;
        const char* CN;
        const char* O;
        const char* OU;
    } cases[] = {
        {Rdn(kC, "US") + Rdn(kO, "Org") + Rdn(kCN, "a") + Rdn(kCN, "b"), 1, "b", "Org", ""},
        {Rdn(kC, "US") + Rdn(kL, "Town"), 0, "", "", ""},
        {Rdn(kOU, "Unit"), 1, "", "", "Unit"},
        {Rdn(kCN, std::string(400, 'x')), 1, "", "", ""},
    };
    for (const auto& c : cases) {
        Name name;
        EXPECT_EQ(name.Build(Tlv(0x30, c.Rdns)), c.Result) << c.CN;
        if (c.Rdns.size() > 400) {
            EXPECT_EQ(name.Get(X500_GetCN), std::string(319, 'x')) << "cut to what a name keeps";
            continue;
        }
        EXPECT_EQ(name.Get(X500_GetCN), c.CN);
        EXPECT_EQ(name.Get(X500_GetO), c.O);
        EXPECT_EQ(name.Get(X500_GetOU), c.OU);
    }
}

TEST(X500Test, OnlyTheFirstAttributeOfARelativeNameCountsAndOthersKeepTheirText) {
    Name name;
    ASSERT_EQ(X500_StringBuild(name.handle, "O=Before, OU=Kept"), 1);
    // One SET with CN first and O second: the O is ignored, and the earlier O stays.
    const std::string multi = Tlv(0x31, Tlv(0x30, Tlv(0x06, "\x55\x04\x03") + Tlv(0x0C, "host")) +
                                            Tlv(0x30, Tlv(0x06, "\x55\x04\x0A") + Tlv(0x0C, "Ignored")));
    EXPECT_EQ(name.Build(Tlv(0x30, multi)), 1);
    EXPECT_EQ(name.Get(X500_GetCN), "host");
    EXPECT_EQ(name.Get(X500_GetO), "Before");
    EXPECT_EQ(name.Get(X500_GetOU), "Kept");
    X500_Reset(name.handle);
    EXPECT_EQ(name.Get(X500_GetO), "");
}

TEST(X500Test, CompareUsesOnlyCnOAndOuByteForByte) {
    const struct {
        std::string First, Second;
        int64_t Equal;
    } cases[] = {
        {Rdn(kCN, "Root"), Rdn(kCN, "root"), 0},
        {Rdn(kC, "US") + Rdn(kO, "Org") + Rdn(kCN, "Root"), Rdn(kC, "DE") + Rdn(kO, "Org") + Rdn(kCN, "Root"), 1},
        {Rdn(kO, "Org") + Rdn(kCN, "Root"), Rdn(kOU, "Org") + Rdn(kCN, "Root"), 0},
    };
    for (const auto& c : cases) {
        Name a, b;
        a.Build(Tlv(0x30, c.First));
        b.Build(Tlv(0x30, c.Second));
        EXPECT_EQ(X500_Compare(a.handle, b.handle), c.Equal);
    }
}

TEST(X500Test, StringGetFindsTrimmedKeysWithoutCase) {
    const struct {
        const char* Text;
        const char* Key;
        int64_t Found;
        const char* Value;
    } cases[] = {
        {"O = Org ,CN=Host", "cn", 1, "Host"},
        {"O = Org ,CN=Host", "OU", 0, ""},
        {"O = Org ,CN=Host", "o", 1, "Org"},
        {"CN=a=b, O=x", "CN", 1, "a=b"},
        {"no pairs at all", "CN", 0, ""},
        {"OU=Unit,O=", "O", 1, ""},
    };
    for (const auto& c : cases) {
        char value[64] = "junk";
        EXPECT_EQ(X500_StringGet(c.Text, c.Key, value, (int32_t)sizeof(value)), c.Found) << c.Text << " " << c.Key;
        EXPECT_STREQ(value, c.Value) << c.Text << " " << c.Key;
    }
    char small[4];
    EXPECT_EQ(X500_StringGet("CN=abcdef", "CN", small, (int32_t)sizeof(small)), 1);
    EXPECT_STREQ(small, "abc");

    Name name;
    EXPECT_EQ(X500_StringBuild(name.handle, "C=US, L=Town"), 0);
    EXPECT_EQ(X500_StringBuild(name.handle, ("CN=" + std::string(400, 'y')).c_str()), 1);
    EXPECT_EQ(name.Get(X500_GetCN), std::string(319, 'y'));
}

} // namespace
