#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/runtime/dictionary.h"

namespace {

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

// Loads `text` placed `offset` bytes into a buffer, so that the word-at-a-time scan of string
// runs meets every alignment; the value of key "k" as stored.
bool LoadValue(const std::string& text, size_t offset, std::string* value) {
    std::vector<char> buffer(offset + text.size() + 1);
    memcpy(buffer.data() + offset, text.data(), text.size());
    JSON* json = nullptr;
    Dictionary* dict = nullptr;
    JSON_Create(&json);
    Dictionary_Create(&dict);
    Dictionary_SetPrintCallback(dict, nullptr, Quiet);
    JSON_SetDictionaryHandle(json, dict);
    const bool ok = JSON_LoadBuffer(json, buffer.data() + offset, (uint32_t)text.size()) != 0;
    const char* bytes = nullptr;
    int32_t length = 0;
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(dict, &root);
    if (ok && Dictionary_GetBufferPtrByPath(root, "k", &bytes, &length)) value->assign(bytes, (size_t)length);
    JSON_Delete(&json);
    Dictionary_Release(&dict);
    return ok;
}

// Plain runs of every length up to 40, each with a stop byte (quote escape, backslash escape,
// UTF-8, control escape) at every position, against the text they must decode to.
TEST(JsonReader, StringRunsAtEveryLengthAndAlignment) {
    const struct {
        const char* Encoded;
        const char* Decoded;
    } stops[] = {{"", ""}, {"\\\"", "\""}, {"\\\\", "\\"}, {"\xC3\xA9", "\xC3\xA9"}, {"\\n", "\n"},
                 {"\\u0041", "A"}, {"\\/", "/"}};
    for (const auto& stop : stops) {
        for (size_t length = 0; length <= 40; length++) {
            for (size_t at = 0; at <= length; at++) {
                std::string plain;
                for (size_t i = 0; i < length; i++) plain += (char)('a' + (i * 7) % 26);
                const std::string encoded = plain.substr(0, at) + stop.Encoded + plain.substr(at);
                const std::string decoded = plain.substr(0, at) + stop.Decoded + plain.substr(at);
                const std::string text = "{\"k\":\"" + encoded + "\",\"z\":1}";
                for (size_t offset = 0; offset < 8; offset++) {
                    std::string value;
                    ASSERT_TRUE(LoadValue(text, offset, &value)) << text;
                    ASSERT_EQ(value, decoded) << text << " @" << offset;
                }
            }
        }
    }
}

// A NUL inside a string still stops the run where the byte-wise scan stopped.
TEST(JsonReader, NulInsideAStringRunIsNotSkipped) {
    for (size_t at = 0; at < 20; at++) {
        std::string text = "{\"k\":\"" + std::string(20, 'x') + "\"}";
        text[6 + at] = '\0';
        std::string value;
        const bool loaded = LoadValue(text, 0, &value);
        // The outcome must not depend on the alignment.
        for (size_t offset = 0; offset < 8; offset++) {
            std::string other;
            EXPECT_EQ(LoadValue(text, offset, &other), loaded) << at;
            EXPECT_EQ(other, value) << at;
        }
    }
}

} // namespace
