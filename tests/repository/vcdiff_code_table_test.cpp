#include "repository/vcdiff_code_table.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using Instruction = std::tuple<uint16_t, uint16_t, uint16_t>;

Instruction Get(CodeTable* table, uint32_t opcode, uint32_t which) {
    CodeTableInstruction in{};
    CodeTable_GetEntry(table, opcode, which, &in);
    return {in.Type, in.Size, in.Mode};
}

class Tables : public ::testing::Test {
protected:
    void SetUp() override {
        CodeTable_Create(&table);
        InstructionMap_Create(&map, table, 8);
    }
    void TearDown() override {
        InstructionMap_Delete(&map);
        CodeTable_Delete(&table);
    }
    CodeTable* table = nullptr;
    InstructionMap* map = nullptr;
};

// Boundaries of the default code table, RFC 3284 section 5.6.
TEST_F(Tables, DefaultTableBoundaries) {
    const Instruction noop{VCDIFF_NOOP, 0, 0};
    const struct {
        uint32_t Opcode;
        Instruction First, Second;
    } cases[] = {
        {0, {VCDIFF_RUN, 0, 0}, noop},
        {1, {VCDIFF_ADD, 0, 0}, noop},
        {18, {VCDIFF_ADD, 17, 0}, noop},
        {19, {VCDIFF_COPY, 0, 0}, noop},
        {35, {VCDIFF_COPY, 0, 1}, noop},
        {162, {VCDIFF_COPY, 18, 8}, noop},
        {163, {VCDIFF_ADD, 1, 0}, {VCDIFF_COPY, 4, 0}},
        {166, {VCDIFF_ADD, 2, 0}, {VCDIFF_COPY, 4, 0}},
        {234, {VCDIFF_ADD, 4, 0}, {VCDIFF_COPY, 6, 5}},
        {235, {VCDIFF_ADD, 1, 0}, {VCDIFF_COPY, 4, 6}},
        {246, {VCDIFF_ADD, 4, 0}, {VCDIFF_COPY, 4, 8}},
        {247, {VCDIFF_COPY, 4, 0}, {VCDIFF_ADD, 1, 0}},
        {255, {VCDIFF_COPY, 4, 8}, {VCDIFF_ADD, 1, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Get(table, c.Opcode, 0), c.First) << c.Opcode;
        EXPECT_EQ(Get(table, c.Opcode, 1), c.Second) << c.Opcode;
    }
    CodeTableInstruction out{1, 1, 1};
    EXPECT_EQ(CodeTable_GetEntry(table, 256, 0, &out), 0);
    EXPECT_EQ(CodeTable_GetEntry(table, 0, 2, &out), 0);
}

// Every opcode the map answers encodes what was asked, and every entry of the table is found.
TEST_F(Tables, MapFindsAnOpcodeForEveryEntry) {
    for (uint32_t opcode = 0; opcode < 256; opcode++) {
        const auto [type, size, mode] = Get(table, opcode, 0);
        const auto [type2, size2, mode2] = Get(table, opcode, 1);
        uint16_t first = 0, pair = 0;
        ASSERT_EQ(InstructionMap_LookupFirst(map, type, size, mode, &first), 1) << opcode;
        EXPECT_EQ(Get(table, first, 0), Get(table, opcode, 0)) << opcode;
        EXPECT_EQ(std::get<0>(Get(table, first, 1)), VCDIFF_NOOP) << opcode;
        if (type2 == VCDIFF_NOOP) continue;
        ASSERT_EQ(InstructionMap_LookupSecond(map, first, type2, size2, mode2, &pair), 1) << opcode;
        EXPECT_EQ(pair, opcode);
    }
}

TEST_F(Tables, MapAnswersNoneForWhatNoEntryEncodes) {
    uint16_t opcode = 0;
    EXPECT_EQ(InstructionMap_LookupFirst(map, VCDIFF_COPY, 4, 9, &opcode), 0);
    EXPECT_EQ(opcode, 0xFFFF);
    EXPECT_EQ(InstructionMap_LookupFirst(map, VCDIFF_ADD, 18, 0, &opcode), 0);
    EXPECT_EQ(InstructionMap_LookupFirst(map, VCDIFF_RUN, 1, 0, &opcode), 0);
    uint16_t add5 = 0;
    InstructionMap_LookupFirst(map, VCDIFF_ADD, 5, 0, &add5);
    EXPECT_EQ(InstructionMap_LookupSecond(map, add5, VCDIFF_COPY, 4, 0, &opcode), 0);
    uint16_t add1 = 0;
    InstructionMap_LookupFirst(map, VCDIFF_ADD, 1, 0, &add1);
    EXPECT_EQ(InstructionMap_LookupSecond(map, add1, VCDIFF_COPY, 7, 0, &opcode), 0);
    EXPECT_EQ(opcode, 0xFFFF);
}

} // namespace
