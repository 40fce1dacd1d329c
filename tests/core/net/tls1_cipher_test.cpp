// The TLS suite table and version window: names, enabling, version texts and limits.
#include <gtest/gtest.h>

#include "core/net/tls1.h"
#include "tests/support/log_capture.h"

namespace {

TEST(Tls1Cipher, TranslateNamesWithoutRegardToCase) {
    const std::pair<const char*, uint16_t> cases[] = {
        {"ECDHE-RSA-AES256-SHA", 0xC014}, {"aes128-sha", 0x002F},         {"rsa-aes128-sha", 0x002F},
        {"Aes256-Sha256", 0x003D},        {"rc4-md5", 0x0004},            {"ecdhe-ecdsa-aes256-gcm-sha384", 0xC02C},
        {"rsa-aes128-gcm-sha256", 0x009C}, {"ecdhe-rsa-aes128-gcm-sha256", 0xC02F},
    };
    for (const auto& [name, code] : cases) EXPECT_EQ(TLS1_CipherTranslate(name), code) << name;
    LogCapture log;
    EXPECT_EQ(TLS1_CipherTranslate("chacha20-poly1305"), 0);
    EXPECT_NE(log.Text().find("Unknown cipher suite: chacha20-poly1305\n"), std::string::npos);
}

TEST(Tls1Cipher, EnableByCodeOrAll) {
    TLS1_CiphersEnable(0);
    EXPECT_EQ(TLS1_CipherEnable(0x000A, 1), 0);
    for (const TLS1CipherInfo& row : TLS1_CipherInfo) EXPECT_EQ(row.Enabled, 0u) << row.Code;
    EXPECT_EQ(TLS1_CipherEnable(0xC02F, 1), 1);
    uint32_t enabled = 0;
    for (const TLS1CipherInfo& row : TLS1_CipherInfo) enabled += row.Enabled;
    EXPECT_EQ(enabled, 1u);
    TLS1_CiphersEnable(1);
    EXPECT_EQ(TLS1_CipherEnable(0xC02F, 0), 1);
    enabled = 0;
    for (const TLS1CipherInfo& row : TLS1_CipherInfo) enabled += row.Enabled;
    EXPECT_EQ(enabled, TLS1_CIPHER_COUNT - 1);
    TLS1_CiphersEnable(0);
}

TEST(Tls1Cipher, VersionTextsAndWindow) {
    const std::pair<const char*, uint8_t> texts[] = {{"1.0", 0x31}, {"1.1", 0x32}, {"1.2", 0x33},
                                                     {"1.3", 0},    {"", 0},       {"1.2 ", 0}};
    for (const auto& [text, version] : texts) EXPECT_EQ(TLS1_VersionTranslate(text), version) << text;
    EXPECT_STREQ(TLS1_VersionToString(0x31), "1.0");
    EXPECT_STREQ(TLS1_VersionToString(0x0333), "1.2");
    EXPECT_STREQ(TLS1_VersionToString(0x34), "Unknown");
    TLS_VersionSetMax(0x34);
    EXPECT_EQ(TLS1_Version_Max, 0x33);
    TLS_VersionSetMax(0x32);
    EXPECT_EQ(TLS1_Version_Max, 0x32);
    TLS_VersionSetMax(0x33);
    TLS_VersionSetMin(0x32);
    EXPECT_EQ(TLS1_Version_Min, 0x32);
    TLS_VersionSetMin(0x31);
}

} // namespace
