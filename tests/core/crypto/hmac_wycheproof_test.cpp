#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/crypto/hmac.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "tests/support/hex.h"
#include "tests/support/wycheproof.h"

namespace {

// Wycheproof HMAC vectors: valid tags (full or truncated) match, invalid ones do not.
TEST(HmacWycheproofTest, AllDigests) {
    struct {
        const char* File;
        const HashInterface* Record;
    } const rows[] = {{"hmac_sha1_test.json", &SHA1_INTERFACE},     {"hmac_sha224_test.json", &SHA224_INTERFACE},
                      {"hmac_sha256_test.json", &SHA256_INTERFACE}, {"hmac_sha384_test.json", &SHA384_INTERFACE},
                      {"hmac_sha512_test.json", &SHA512_INTERFACE}};
    int checked = 0;
    for (const auto& row : rows) {
        for (const WycheproofCase& c : Wycheproof_ReadCases(row.File)) {
            const Bytes key = FromHex(c["key"]), msg = FromHex(c["msg"]), tag = FromHex(c["tag"]);
            Bytes mac(64);
            ASSERT_EQ(HMAC_QuickDigest(row.Record, msg.data(), (uint32_t)msg.size(), key.data(), (uint32_t)key.size(),
                                       mac.data(), (uint32_t)mac.size()),
                      1);
            const bool same = tag.size() <= mac.size() && std::equal(tag.begin(), tag.end(), mac.begin());
            const std::string& result = c["result"];
            if (result != "acceptable") {
                EXPECT_EQ(same, result == "valid") << row.File << " " << c.Id;
            }
            checked++;
        }
    }
    if (checked == 0) GTEST_SKIP() << "no Wycheproof data at " << WycheproofDir();
    EXPECT_GT(checked, 800);
}

} // namespace
