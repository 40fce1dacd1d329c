// The vector searches of the JSON scanner against the byte-wise one, on every engine the
// processor has, at every start and length around the vector widths.
#include "core/formats/json_simd.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

class JsonSimdEngines : public ::testing::TestWithParam<int32_t> {
  protected:
    void SetUp() override {
        if (JsonSimd_Select(GetParam()) != GetParam()) GTEST_SKIP() << "engine not available";
    }
    void TearDown() override { JsonSimd_Select(JSON_SIMD_AVX2); }
};

// Bytes drawn mostly from plain text, with the stop bytes, white space and high bytes rare enough
// that runs of every length occur.
std::vector<uint8_t> Sample(uint32_t seed, size_t size, bool spaces) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    const uint8_t rare[] = {'"', '\\', 0, 0x80, 0xC3, 0xFF, 'a', ' ', '\t', '\r', '\n', 0x7F};
    for (uint8_t& b : bytes) {
        const uint32_t r = random() % 64;
        if (spaces)
            b = r < 60 ? " \t\r\n"[r % 4] : rare[r % sizeof(rare)];
        else
            b = r < 60 ? (uint8_t)('a' + r % 26) : rare[r % sizeof(rare)];
    }
    return bytes;
}

TEST_P(JsonSimdEngines, RunEndsMatchTheByteWiseScan) {
    for (uint32_t seed = 0; seed < 40; seed++) {
        for (bool spaces : {false, true}) {
            const std::vector<uint8_t> bytes = Sample(seed, 300, spaces);
            for (size_t start = 0; start < 70; start++) {
                for (size_t length = start; length <= bytes.size(); length += 1 + length % 5) {
                    size_t stop = start;
                    bool high = false;
                    while (stop < length && bytes[stop] != '"' && bytes[stop] != '\\' && bytes[stop] != 0)
                        high |= bytes[stop++] >= 0x80;
                    bool nonAscii = false;
                    ASSERT_EQ(JsonSimd_StringRunEnd(bytes.data(), start, length, &nonAscii), stop);
                    ASSERT_EQ(nonAscii, high) << seed << " " << start << " " << length;
                    size_t blank = start;
                    while (blank < length && (bytes[blank] == ' ' || bytes[blank] == '\t' ||
                                              bytes[blank] == '\r' || bytes[blank] == '\n'))
                        blank++;
                    ASSERT_EQ(JsonSimd_SpaceRunEnd(bytes.data(), start, length), blank);
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(JsonSimd, JsonSimdEngines, ::testing::Values(JSON_SIMD_SCALAR, JSON_SIMD_SSE2, JSON_SIMD_AVX2));

} // namespace
