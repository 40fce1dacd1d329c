// Tests of the vector Base64 engines: every engine the processor has gives the byte-wise answers
// (results, counts and every byte of the output buffers) on many lengths, offsets, capacities and
// damaged texts.
#include "core/formats/base64_simd.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/formats/base64.h"

namespace {

constexpr uint8_t kFill = 0xA5;

struct Outcome {
    int64_t Result;
    uint32_t Count;
    std::vector<uint8_t> Buffer;
    bool operator==(const Outcome&) const = default;
};

std::vector<uint8_t> Bytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = (uint8_t)x;
    }
    return out;
}

// The engines to compare with the byte-wise one: those this processor has.
std::vector<int32_t> VectorEngines() {
    std::vector<int32_t> engines;
    const int32_t best = Base64Simd_Select(BASE64_ENGINE_AVX2);
    for (int32_t e = BASE64_ENGINE_SSSE3; e <= best; e++) engines.push_back(e);
    return engines;
}

class EngineRestore : public ::testing::Test {
  protected:
    void TearDown() override { Base64Simd_Select(BASE64_ENGINE_AVX2); }
};

Outcome Encode(bool url, const uint8_t* data, int32_t length, int32_t capacity) {
    Outcome o{0, 0, std::vector<uint8_t>((size_t)(capacity > 0 ? capacity : 0) + 8, kFill)};
    char* text = (char*)o.Buffer.data();
    o.Result = url ? Base64_UrlEncode(data, length, text, capacity, &o.Count)
                   : Base64_Encode(data, length, text, capacity, &o.Count);
    return o;
}

Outcome Decode(bool url, const std::string& text, int32_t capacity) {
    Outcome o{0, 0, std::vector<uint8_t>((size_t)(capacity > 0 ? capacity : 0) + 8, kFill)};
    o.Result = url ? Base64_UrlDecode(text.c_str(), -1, o.Buffer.data(), capacity, &o.Count)
                   : Base64_Decode(text.c_str(), (int32_t)text.size(), o.Buffer.data(), capacity, &o.Count);
    return o;
}

std::string EncodeText(const std::vector<uint8_t>& data, bool url) {
    std::vector<char> text(data.size() / 3 * 4 + 8);
    uint32_t written = 0;
    if (url)
        Base64_UrlEncode(data.data(), (int32_t)data.size(), text.data(), (int32_t)text.size(), &written);
    else
        Base64_Encode(data.data(), (int32_t)data.size(), text.data(), (int32_t)text.size(), &written);
    return std::string(text.data(), written);
}

TEST_F(EngineRestore, SelectNeverPassesTheProcessor) {
    EXPECT_EQ(Base64Simd_Select(BASE64_ENGINE_SCALAR), BASE64_ENGINE_SCALAR);
    EXPECT_EQ(Base64Simd_Engine(), BASE64_ENGINE_SCALAR);
    const int32_t best = Base64Simd_Select(BASE64_ENGINE_AVX2);
    EXPECT_GE(best, BASE64_ENGINE_SCALAR);
    EXPECT_LE(best, BASE64_ENGINE_AVX2);
    EXPECT_EQ(Base64Simd_Select(-1), BASE64_ENGINE_SCALAR);
}

// RFC 4648 section 10 vectors, repeated so that they span whole vector blocks.
TEST_F(EngineRestore, KnownAnswersOnEveryEngine) {
    const struct {
        const char* Plain;
        const char* Text;
    } cases[] = {{"", ""},
                 {"f", "Zg=="},
                 {"fo", "Zm8="},
                 {"foo", "Zm9v"},
                 {"foob", "Zm9vYg=="},
                 {"fooba", "Zm9vYmE="},
                 {"foobar", "Zm9vYmFy"}};
    std::vector<int32_t> engines = VectorEngines();
    engines.insert(engines.begin(), BASE64_ENGINE_SCALAR);
    for (int32_t engine : engines) {
        Base64Simd_Select(engine);
        for (const auto& c : cases) {
            for (int repeat : {1, 9}) {
                std::string plain, text;
                // Whole groups repeat; the case's own (maybe padded) end comes last.
                for (int r = 1; r < repeat; r++) plain += "foobar", text += "Zm9vYmFy";
                plain += c.Plain;
                text += c.Text;
                Outcome e = Encode(false, (const uint8_t*)plain.data(), (int32_t)plain.size(), 200);
                EXPECT_EQ(e.Result, 1);
                EXPECT_EQ(std::string((const char*)e.Buffer.data(), e.Count), text) << engine;
                Outcome d = Decode(false, text, 200);
                EXPECT_EQ(d.Result, 1);
                EXPECT_EQ(std::string((const char*)d.Buffer.data(), d.Count), plain) << engine;
            }
        }
    }
}

TEST_F(EngineRestore, EncodersMatchTheByteWiseCode) {
    const std::vector<int32_t> engines = VectorEngines();
    const std::vector<uint8_t> source = Bytes(400, 1);
    for (int32_t offset = 0; offset < 4; offset++) {
        for (int32_t length = 0; length <= 160; length++) {
            for (int32_t capacity : {-1, 0, 3, 4, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 200, 250}) {
                for (bool url : {false, true}) {
                    Base64Simd_Select(BASE64_ENGINE_SCALAR);
                    const Outcome expected = Encode(url, source.data() + offset, length, capacity);
                    for (int32_t engine : engines) {
                        Base64Simd_Select(engine);
                        ASSERT_EQ(Encode(url, source.data() + offset, length, capacity), expected)
                            << "engine " << engine << " offset " << offset << " length " << length
                            << " capacity " << capacity << " url " << url;
                    }
                }
            }
        }
    }
}

// Every one of the 256 byte values, in every place of a long text and of each vector block.
TEST_F(EngineRestore, DecodersMatchTheByteWiseCodeOnDamage) {
    const std::vector<int32_t> engines = VectorEngines();
    for (bool url : {false, true}) {
        const std::string clean = EncodeText(Bytes(72, 7), url); // 96 characters
        for (int32_t value = 1; value < 256; value++) {
            for (size_t at = 0; at < clean.size(); at += (value % 7) + 1) {
                std::string text = clean;
                text[at] = (char)value;
                for (int32_t capacity : {5, 30, 60, 80, 200}) {
                    Base64Simd_Select(BASE64_ENGINE_SCALAR);
                    const Outcome expected = Decode(url, text, capacity);
                    for (int32_t engine : engines) {
                        Base64Simd_Select(engine);
                        ASSERT_EQ(Decode(url, text, capacity), expected)
                            << "engine " << engine << " byte " << value << " at " << at << " capacity "
                            << capacity << " url " << url;
                    }
                }
            }
        }
    }
}

TEST_F(EngineRestore, DecodersMatchOnLengthsCapacitiesAndEnds) {
    const std::vector<int32_t> engines = VectorEngines();
    for (bool url : {false, true}) {
        for (size_t n = 0; n <= 120; n++) {
            const std::string full = EncodeText(Bytes(n, (uint32_t)n + 3), url);
            std::vector<std::string> texts = {full,          full + "A",    full + "AB", full + "====",
                                              full + "Zg==", full + "Zg=x", full + " ",  full + "\n"};
            // Cut texts: a NUL or a line break inside.
            if (!full.empty())
                texts.push_back(full.substr(0, full.size() / 2) + '\n' + full.substr(full.size() / 2));
            for (int32_t offset = 0; offset < 3; offset++) {
                for (const std::string& base : texts) {
                    // The text starts at varying offsets inside its storage.
                    const std::string text = std::string((size_t)offset, 'A') + base;
                    for (int32_t capacity : {-3, 0, 4, 5, 6, 20, 28, 29, 30, 31, 52, 53, 54, 100, 200}) {
                        Base64Simd_Select(BASE64_ENGINE_SCALAR);
                        const Outcome expected = Decode(url, text, capacity);
                        for (int32_t engine : engines) {
                            Base64Simd_Select(engine);
                            ASSERT_EQ(Decode(url, text, capacity), expected)
                                << "engine " << engine << " text " << text << " capacity " << capacity;
                        }
                    }
                }
            }
        }
    }
}

TEST_F(EngineRestore, LargeRoundTripOnEveryEngine) {
    const std::vector<uint8_t> data = Bytes(1 << 16, 11);
    std::vector<int32_t> engines = VectorEngines();
    engines.insert(engines.begin(), BASE64_ENGINE_SCALAR);
    std::string reference;
    for (int32_t engine : engines) {
        Base64Simd_Select(engine);
        const std::string text = EncodeText(data, false);
        if (reference.empty()) reference = text;
        EXPECT_EQ(text, reference);
        std::vector<uint8_t> back(data.size() + 10);
        uint32_t count = 0;
        EXPECT_EQ(
            Base64_Decode(text.c_str(), (int32_t)text.size(), back.data(), (int32_t)back.size(), &count), 1);
        ASSERT_EQ(count, data.size());
        EXPECT_EQ(memcmp(back.data(), data.data(), data.size()), 0);
    }
}

} // namespace
