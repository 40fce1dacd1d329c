// Pad ranges of a manifest: their index (order, lookups by offset) and the ranges clipped to one
// span of the stream.
#include "repository/padding.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/formats/json.h"

namespace {

using Ranges = std::vector<std::pair<int64_t, int64_t>>;

class PaddingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Padding_Create(&padding);
        Padding_IndexCreate(&index);
        PaddingIntersect_Create(&intersect);
    }
    void TearDown() override {
        PaddingIntersect_Release(&intersect);
        Padding_IndexRelease(&index);
        Padding_Release(&padding);
    }
    int64_t Make(const Ranges& ranges) {
        Padding_Reset(padding);
        for (size_t i = 0; i < ranges.size(); i++) {
            const std::string at = "pad\\" + std::to_string(i);
            const std::string offset = std::to_string(ranges[i].first), size = std::to_string(ranges[i].second);
            // Numbers may come as strings; keys are compared without regard to case.
            Padding_MemberAddByValue(padding, (at + "\\Offset").c_str(), JSON_VALUE_STRING, offset.data(),
                                     (int32_t)offset.size(), nullptr);
            Padding_MemberAddByValue(padding, (at + "\\size").c_str(), JSON_VALUE_NUMBER, size.data(),
                                     (int32_t)size.size(), nullptr);
        }
        Padding_MemberFlush(padding);
        return Padding_IndexMake(index, padding);
    }
    // Offset of the range found, or -1.
    int64_t Find(uint64_t offset) {
        PaddingMember* m = nullptr;
        if (!Padding_IndexFindByOffset(index, offset, &m)) return -1;
        uint64_t start = 0;
        Padding_MemberGetOffset(padding, m, &start);
        return (int64_t)start;
    }
    Ranges Clip(uint64_t first, uint64_t last) {
        PaddingIntersect_Reset(intersect);
        EXPECT_EQ(PaddingIntersect_Build(intersect, padding, index, first, last), 1);
        Ranges out;
        uint64_t total = 0;
        PaddingIntersectMember* m = nullptr;
        for (PaddingIntersect_MemberGetFirst(intersect, &m); m; PaddingIntersect_MemberGetNext(intersect, m, &m)) {
            uint64_t offset = 0;
            uint32_t size = 0;
            PaddingIntersect_MemberGetOffset(intersect, m, &offset);
            PaddingIntersect_MemberGetSize(intersect, m, &size);
            out.push_back({(int64_t)offset, size});
            total += size;
        }
        uint64_t reported = 0;
        PaddingIntersect_GetTotalSize(intersect, &reported);
        EXPECT_EQ(reported, total);
        return out;
    }
    Padding* padding = nullptr;
    PaddingIndex* index = nullptr;
    PaddingIntersect* intersect = nullptr;
};

TEST_F(PaddingTest, IndexRefusesRangesOutOfOrderOrOutOfRange) {
    const struct {
        Ranges R;
        int64_t Made;
    } cases[] = {
        {{{10, 0}, {10, 3}, {13, 1}, {20, 1}}, 1},
        {{{10, 2}, {9, 3}}, 0},
        {{{10, 2}, {10, 3}}, 0},  // the same bytes twice
        {{{0, 100}, {10, 5}}, 0}, // nested
        {{{0, -1}}, 0},           // no 32-bit count
        {{{0, 2147483648}}, 0},   // nor this
        {{{0, 2147483647}}, 1},
        {{{-1, 1}}, 0},           // reads as 2^64 - 1: past any stream
        {{}, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Make(c.R), c.Made) << c.R.size();
        if (!c.Made) {
            EXPECT_EQ(Find(0), -1);
        }
    }
}

TEST_F(PaddingTest, FindByOffset) {
    ASSERT_EQ(Make({{10, 5}, {20, 0}, {20, 4}, {30, 1}}), 1);
    const std::pair<uint64_t, int64_t> cases[] = {
        {0, 10}, {10, 10}, {14, 10}, {15, 20}, {20, 20}, {23, 20}, {24, 30}, {30, 30}, {31, -1},
    };
    for (const auto& c : cases) EXPECT_EQ(Find(c.first), c.second) << c.first;
}

TEST_F(PaddingTest, IntersectClipsRangesToTheSpan) {
    ASSERT_EQ(Make({{10, 5}, {20, 4}, {30, 10}}), 1);
    const struct {
        uint64_t First, Last;
        Ranges Out;
    } cases[] = {
        {0, 10, {{10, 1}}},                   // touches the range at its first byte only
        {14, 19, {{14, 1}}},                  // and at its last byte only
        {12, 31, {{12, 3}, {20, 4}, {30, 2}}},
        {15, 19, {}},
        {40, 1000, {}},
        {22, 21, {}},                         // an empty span
    };
    for (const auto& c : cases) EXPECT_EQ(Clip(c.First, c.Last), c.Out) << c.First << "-" << c.Last;
}

} // namespace
