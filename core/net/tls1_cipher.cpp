// The TLS client's process-wide choices: the cipher suites it offers, in offer order, with the
// key, IV, cipher and MAC hash of each, and the window of protocol versions it accepts.
#include <cstring>

#include "core/crypto/aes.h"
#include "core/crypto/aes_gcm.h"
#include "core/crypto/md5.h"
#include "core/crypto/rc4.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "core/net/tls1.h"
#include "core/runtime/log.h"
#include "core/runtime/string.h"

TLS1CipherInfo TLS1_CipherInfo[TLS1_CIPHER_COUNT] = {
    {0xC02C, 32, 12, 0, &AESGCM_INTERFACE, &SHA384_INTERFACE, 0},
    {0xC030, 32, 12, 0, &AESGCM_INTERFACE, &SHA384_INTERFACE, 0},
    {0xC024, 32, 16, 16, &AES_INTERFACE, &SHA384_INTERFACE, 0},
    {0xC028, 32, 16, 16, &AES_INTERFACE, &SHA384_INTERFACE, 0},
    {0xC00A, 32, 16, 16, &AES_INTERFACE, &SHA1_INTERFACE, 0},
    {0xC014, 32, 16, 16, &AES_INTERFACE, &SHA1_INTERFACE, 0},
    {0x009D, 32, 12, 0, &AESGCM_INTERFACE, &SHA384_INTERFACE, 0},
    {0x003D, 32, 16, 16, &AES_INTERFACE, &SHA256_INTERFACE, 0},
    {0x0035, 32, 16, 16, &AES_INTERFACE, &SHA1_INTERFACE, 0},
    {0xC02B, 16, 12, 0, &AESGCM_INTERFACE, &SHA256_INTERFACE, 0},
    {0xC02F, 16, 12, 0, &AESGCM_INTERFACE, &SHA256_INTERFACE, 0},
    {0xC023, 16, 16, 16, &AES_INTERFACE, &SHA256_INTERFACE, 0},
    {0xC027, 16, 16, 16, &AES_INTERFACE, &SHA256_INTERFACE, 0},
    {0xC009, 16, 16, 16, &AES_INTERFACE, &SHA1_INTERFACE, 0},
    {0xC013, 16, 16, 16, &AES_INTERFACE, &SHA1_INTERFACE, 0},
    {0x009C, 16, 12, 0, &AESGCM_INTERFACE, &SHA256_INTERFACE, 0},
    {0x003C, 16, 16, 16, &AES_INTERFACE, &SHA256_INTERFACE, 0},
    {0x002F, 16, 16, 16, &AES_INTERFACE, &SHA1_INTERFACE, 0},
    {0x0005, 16, 0, 0, &RC4_INTERFACE, &SHA1_INTERFACE, 0},
    {0x0004, 16, 0, 0, &RC4_INTERFACE, &MD5_INTERFACE, 0},
};

uint8_t TLS1_Version_Min = TLS1_VERSION_1_0;
uint8_t TLS1_Version_Max = TLS1_VERSION_1_2;

namespace {

struct SuiteName {
    const char* Name;
    uint16_t Code;
};

// The names configuration may use; the short forms without "rsa-" name the RSA key exchange.
constexpr SuiteName kSuiteNames[] = {
    {"ecdhe-ecdsa-aes256-gcm-sha384", 0xC02C},
    {"ecdhe-rsa-aes256-gcm-sha384", 0xC030},
    {"ecdhe-ecdsa-aes256-sha384", 0xC024},
    {"ecdhe-rsa-aes256-sha384", 0xC028},
    {"ecdhe-ecdsa-aes256-sha", 0xC00A},
    {"ecdhe-rsa-aes256-sha", 0xC014},
    {"rsa-aes256-gcm-sha384", 0x009D},
    {"rsa-aes256-sha256", 0x003D},
    {"aes256-sha256", 0x003D},
    {"rsa-aes256-sha", 0x0035},
    {"aes256-sha", 0x0035},
    {"ecdhe-ecdsa-aes128-gcm-sha256", 0xC02B},
    {"ecdhe-rsa-aes128-gcm-sha256", 0xC02F},
    {"ecdhe-ecdsa-aes128-sha256", 0xC023},
    {"ecdhe-rsa-aes128-sha256", 0xC027},
    {"ecdhe-ecdsa-aes128-sha", 0xC009},
    {"ecdhe-rsa-aes128-sha", 0xC013},
    {"rsa-aes128-gcm-sha256", 0x009C},
    {"rsa-aes128-sha256", 0x003C},
    {"aes128-sha256", 0x003C},
    {"rsa-aes128-sha", 0x002F},
    {"aes128-sha", 0x002F},
    {"rc4-sha", 0x0005},
    {"rc4-md5", 0x0004},
};

} // namespace

uint16_t TLS1_CipherTranslate(const char* name) {
    if (name) {
        for (const SuiteName& entry : kSuiteNames)
            if (String_CompareWithoutCase(name, entry.Name)) return entry.Code;
    }
    Log_Error("Unknown cipher suite: %s\n", name ? name : "");
    return 0;
}

int64_t TLS1_CipherEnable(uint16_t code, uint32_t enable) {
    for (TLS1CipherInfo& row : TLS1_CipherInfo) {
        if (row.Code != code) continue;
        row.Enabled = enable ? 1 : 0;
        return 1;
    }
    return 0;
}

int64_t TLS1_CiphersEnable(uint32_t enable) {
    for (TLS1CipherInfo& row : TLS1_CipherInfo) row.Enabled = enable ? 1 : 0;
    return 1;
}

uint8_t TLS1_VersionTranslate(const char* text) {
    if (!text) return 0;
    if (strcmp(text, "1.0") == 0) return TLS1_VERSION_1_0;
    if (strcmp(text, "1.1") == 0) return TLS1_VERSION_1_1;
    if (strcmp(text, "1.2") == 0) return TLS1_VERSION_1_2;
    return 0;
}

const char* TLS1_VersionToString(uint32_t version) {
    switch (version & 0xFF) {
    case TLS1_VERSION_1_0:
        return "1.0";
    case TLS1_VERSION_1_1:
        return "1.1";
    case TLS1_VERSION_1_2:
        return "1.2";
    default:
        return "Unknown";
    }
}

int64_t TLS_VersionSetMin(uint8_t version) {
    TLS1_Version_Min = version;
    return 1;
}

int64_t TLS_VersionSetMax(uint8_t version) {
    // Nothing above TLS 1.2 is spoken, so nothing above it may be offered.
    TLS1_Version_Max = version > TLS1_VERSION_1_2 ? (uint8_t)TLS1_VERSION_1_2 : version;
    return 1;
}
