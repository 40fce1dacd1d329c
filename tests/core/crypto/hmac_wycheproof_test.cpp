#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/crypto/hmac.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Case = std::map<std::string, std::string>;

Bytes Hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back((uint8_t)std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

// Wycheproof MAC file: the string members of every test case object.
std::vector<Case> ReadWycheproof(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    std::vector<Case> cases;
    for (size_t at = all.find("\"tcId\""); at != std::string::npos; at = all.find("\"tcId\"", at + 1)) {
        const std::string object = all.substr(at, all.find('}', at) - at);
        Case c;
        for (const char* name : {"tcId", "key", "msg", "tag", "result"}) {
            const size_t key = object.find(std::string("\"") + name + "\"");
            if (key == std::string::npos) continue;
            const size_t colon = object.find(':', key);
            const size_t open = object.find_first_not_of(" ", colon + 1);
            if (object[open] == '"')
                c[name] = object.substr(open + 1, object.find('"', open + 1) - open - 1);
            else
                c[name] = object.substr(open, object.find_first_of(",\n", open) - open);
        }
        cases.push_back(c);
    }
    return cases;
}

std::string DataDir() {
    const std::string file = __FILE__;
    return file.substr(0, file.rfind("tests/core/crypto/")) + "../shared/testdata/wycheproof/";
}

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
        const std::vector<Case> cases = ReadWycheproof(DataDir() + row.File);
        if (cases.empty()) continue;
        for (const Case& c : cases) {
            const Bytes key = Hex(c.at("key")), msg = Hex(c.at("msg")), tag = Hex(c.at("tag"));
            Bytes mac(64);
            ASSERT_EQ(HMAC_QuickDigest(row.Record, msg.data(), (uint32_t)msg.size(), key.data(), (uint32_t)key.size(),
                                       mac.data(), (uint32_t)mac.size()),
                      1);
            const bool same = tag.size() <= mac.size() && std::equal(tag.begin(), tag.end(), mac.begin());
            const std::string& result = c.at("result");
            if (result != "acceptable") {
                EXPECT_EQ(same, result == "valid") << row.File << " " << c.at("tcId");
            }
            checked++;
        }
    }
    if (checked == 0) GTEST_SKIP() << "no Wycheproof data at " << DataDir();
    EXPECT_GT(checked, 800);
}

} // namespace
