#include "core/runtime/bit_field.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/abort_table.h"
#include "tests/support/call_outcome.h"
#include "tests/support/log_capture.h"

namespace {

// A field of `bits` bits that releases itself.
struct Field {
    BitField* field = nullptr;
    explicit Field(int32_t bits, std::initializer_list<int32_t> set = {}) {
        EXPECT_EQ(BitField_Create(&field), 1);
        EXPECT_EQ(BitField_SetTotalBits(field, bits), 1);
        for (int32_t i : set) BitField_Set(field, i);
    }
    ~Field() { BitField_Release(&field); }
    operator BitField*() const { return field; }

    // The bytes in hexadecimal, written here rather than by the field; a kept count of set bits
    // that differs from the bytes is shown after them.
    std::string State() const {
        int32_t n = -1, kept = -1, counted = 0;
        BitField_GetTotalBytes(field, &n);
        std::vector<uint8_t> bytes((size_t)n + 1); // never a null buffer, even for 0 bytes
        BitField_BufferWrite(field, bytes.data(), n);
        std::string text;
        for (int32_t i = 0; i < n; i++) {
            char hex[3];
            snprintf(hex, sizeof(hex), "%02X", bytes[(size_t)i]);
            text += hex;
            counted += __builtin_popcount(bytes[(size_t)i]);
        }
        BitField_GetNonZeroBits(field, &kept);
        return kept == counted ? text
                               : text + " count " + std::to_string(kept) + " != " + std::to_string(counted);
    }
    int32_t SetCount() const {
        int32_t n = -1;
        EXPECT_EQ(BitField_GetNonZeroBits(field, &n), 1);
        return n;
    }
    std::string Text(int64_t (*length)(BitField*, int32_t*),
                     int64_t (*write)(BitField*, char*, int32_t)) const {
        int32_t size = 0;
        length(field, &size);
        std::string text((size_t)size, '?');
        EXPECT_EQ(write(field, text.data(), size), 1);
        return text.c_str();
    }
    std::string Hex() const { return Text(BitField_ToHexStringLength, BitField_ToHexString); }
    std::string Base64() const { return Text(BitField_ToBase64StringLength, BitField_ToBase64String); }
};

TEST(BitField, SizesAndLifeCycle) {
    Field field(0);
    // requested, bits, bytes; a negative size gives 0
    const std::tuple<int32_t, int32_t, int32_t> sizes[] = {
        {0, 0, 0}, {-5, 0, 0},  {1, 1, 1},         {8, 8, 1},
        {9, 9, 2}, {10, 10, 2}, {4096, 4096, 512}, {INT32_MAX, INT32_MAX, 268435456}};
    for (const auto& [requested, bits, bytes] : sizes) {
        ASSERT_EQ(BitField_SetTotalBits(field, requested), 1);
        EXPECT_EQ(OUTCOME(int32_t, -1, BitField_GetTotalBits(field, &out)), "1:" + std::to_string(bits));
        EXPECT_EQ(OUTCOME(int32_t, -1, BitField_GetTotalBytes(field, &out)), "1:" + std::to_string(bytes));
        EXPECT_EQ(OUTCOME(int32_t, -1, BitField_GetZeroBits(field, &out)), "1:" + std::to_string(bits));
        EXPECT_EQ(field.SetCount(), 0);
    }
    // The same size keeps the bits; another size clears them.
    BitField_SetTotalBits(field, 16);
    BitField_Set(field, 3);
    BitField_SetTotalBits(field, 16);
    EXPECT_EQ(field.State(), "1000");
    BitField_SetTotalBits(field, 17);
    EXPECT_EQ(field.State(), "000000");
    // The last release deletes and clears the handle.
    BitField* second = field;
    EXPECT_EQ(BitField_AddRef(field), 1);
    EXPECT_EQ(BitField_Release(&second), 1);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(BitField_ValidHandle(field), 1);
    uint32_t notAField[16] = {};
    EXPECT_EQ(BitField_ValidHandle(reinterpret_cast<BitField*>(notAField)) + BitField_ValidHandle(nullptr),
              0);
}

TEST(BitField, SingleBitsKeepTheCountAndTheLayout) {
    Field field(10, {0, 9, 9}); // a second set changes nothing
    EXPECT_EQ(field.State(), "8040");
    EXPECT_EQ(BitField_IsSet(field, 0) + BitField_IsClear(field, 1), 2);
    EXPECT_EQ(BitField_IsSet(field, 1) + BitField_IsClear(field, 9), 0);
    EXPECT_EQ(BitField_Clear(field, 0) + BitField_Clear(field, 0), 2);
    EXPECT_EQ(field.State(), "0040");
    EXPECT_EQ(field.SetCount(), 1);
    for (int32_t index : {-1, 10, INT32_MIN, INT32_MAX})
        EXPECT_EQ(BitField_IsValidRange(field, index), 0) << index;
    for (int32_t index : {0, 9}) EXPECT_EQ(BitField_IsValidRange(field, index), 1) << index;
}

// Whole-field operations never leave bits set past the size; a field of 0 bits is full and
// empty at once.
TEST(BitField, WholeFieldOperationsClearTheOverflowBits) {
    const std::tuple<int64_t (*)(BitField*), const char*, int32_t> steps[] = {{BitField_SetAll, "FFC0", 10},
                                                                              {BitField_Invert, "0000", 0},
                                                                              {BitField_ClearAll, "0000", 0},
                                                                              {BitField_Invert, "FFC0", 10}};
    Field field(10), none(0);
    for (const auto& [operation, state, count] : steps) {
        EXPECT_EQ(operation(field), 1);
        EXPECT_EQ(field.State(), state);
        EXPECT_EQ(field.SetCount(), count);
        EXPECT_EQ(BitField_IsFull(field), count == 10);
        EXPECT_EQ(BitField_IsEmpty(field), count == 0);
        EXPECT_EQ(operation(none), 1);
        EXPECT_EQ(BitField_IsFull(none) + BitField_IsEmpty(none), 2);
    }
    BitField_Clear(field, 2);
    BitField_Invert(field);
    BitField_Invert(field);
    EXPECT_EQ(field.State(), "DFC0");
    // A raw read cannot bring in bits past the size.
    const uint8_t raw[2] = {0x01, 0xFF};
    EXPECT_EQ(BitField_BufferRead(field, raw, 2), 1);
    EXPECT_EQ(field.State(), "01C0");
    EXPECT_EQ(field.SetCount(), 3);
    // A read of another length changes nothing.
    for (int32_t length : {3, 1, -2}) EXPECT_EQ(BitField_BufferRead(field, raw, length), 0) << length;
    EXPECT_EQ(field.State(), "01C0");
}

// A range is clipped to the field (computed without wrapping); an empty one does nothing and is
// all set and all clear.
TEST(BitField, RangesClipToTheField) {
    // clang-format off
    const std::tuple<int32_t, int32_t, const char*> cases[] = {
        {8, 5, "00C0"},         {0, 10, "FFC0"}, {3, 0, "0000"},         {3, -4, "0000"},
        {10, 5, "0000"},        {INT32_MAX, INT32_MAX, "0000"},
        {-2, 4, "C000"},        {INT32_MIN, INT32_MAX, "0000"}, {2, INT32_MAX, "3FC0"}, {6, 3, "0380"},
    };
    // clang-format on
    for (const auto& [first, count, state] : cases) {
        Field field(10);
        EXPECT_EQ(BitField_SetRange(field, first, count), 1);
        EXPECT_EQ(field.State(), state) << first << "," << count;
        EXPECT_EQ(BitField_IsRangeSet(field, first, count), 1) << first << "," << count;
        EXPECT_EQ(BitField_ClearRange(field, first, count), 1);
        EXPECT_EQ(field.State(), "0000");
        EXPECT_EQ(BitField_IsRangeClear(field, first, count), 1);
    }
    Field field(20);
    BitField_SetRange(field, 4, 9);  // bits 4 .. 12
    BitField_SetRange(field, 10, 5); // overlaps: bits 13, 14 are new
    EXPECT_EQ(field.SetCount(), 11);
    const std::tuple<int64_t (*)(BitField*, int32_t, int32_t), int32_t, int32_t, int64_t> tests[] = {
        {BitField_IsRangeSet, 4, 11, 1},  {BitField_IsRangeSet, 3, 2, 0},
        {BitField_IsRangeSet, 14, 2, 0},  {BitField_IsRangeClear, 0, 4, 1},
        {BitField_IsRangeClear, 0, 5, 0}, {BitField_IsRangeClear, 15, 100, 1}};
    for (const auto& [test, first, count, result] : tests)
        EXPECT_EQ(test(field, first, count), result) << first << "," << count;
    BitField_ClearRange(field, 8, 2);
    EXPECT_EQ(field.State(), "0F3E00");
}

// Searches answer 1 and the index, or 0 and -1; the bits past the size are not clear bits.
TEST(BitField, Searches) {
    // clang-format off
    const std::tuple<int32_t, std::vector<int32_t>, int32_t, int32_t, int32_t, int32_t> cases[] = {
        {0, {}, -1, -1, -1, -1}, {10, {}, -1, 0, -1, 9}, {10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 0, -1, 9, -1},
        {10, {0, 9}, 0, 1, 9, 8}, {17, {16}, 16, 0, 16, 15}, {24, {3, 4, 5}, 3, 0, 5, 23},
        {9, {0, 1, 2, 3, 4, 5, 6, 7}, 0, 8, 7, 8},
    };
    // clang-format on
    for (const auto& [bits, set, firstSet, firstClear, lastSet, lastClear] : cases) {
        Field field(bits);
        for (int32_t i : set) BitField_Set(field, i);
        auto expected = [](int32_t index) {
            return std::to_string(index >= 0) + ":" + std::to_string(index);
        };
        EXPECT_EQ(OUTCOME(int32_t, 7, BitField_GetFirstSet(field, &out)), expected(firstSet)) << bits;
        EXPECT_EQ(OUTCOME(int32_t, 7, BitField_GetFirstClear(field, &out)), expected(firstClear)) << bits;
        EXPECT_EQ(OUTCOME(int32_t, 7, BitField_GetLastSet(field, &out)), expected(lastSet)) << bits;
        EXPECT_EQ(OUTCOME(int32_t, 7, BitField_GetLastClear(field, &out)), expected(lastClear)) << bits;
    }
}

// The search over two fields agrees with a bit-by-bit model, for sizes around the byte and word
// edges, fields from empty to full and every start (before, inside and past the field).
TEST(BitField, NextClearInBothMatchesAModel) {
    std::mt19937 random(20261210);
    for (const int32_t bits : {0, 1, 7, 8, 9, 63, 64, 65, 71, 72, 127, 128, 129, 200, 519}) {
        for (const int32_t percent : {0, 50, 90, 99, 100}) {
            Field a(bits), b(bits);
            std::vector<bool> model((size_t)bits);
            for (int32_t i = 0; i < bits; i++) {
                // Each set bit lands in one field or the other or both.
                if ((int32_t)(random() % 100) >= percent) continue;
                const uint32_t where = random() % 3;
                if (where != 1) BitField_Set(a, i);
                if (where != 0) BitField_Set(b, i);
                model[(size_t)i] = true;
            }
            for (int32_t from = -2; from <= bits + 1; from++) {
                int32_t expected = -1;
                for (int32_t i = from < 0 ? 0 : from; i < bits && expected < 0; i++)
                    if (!model[(size_t)i]) expected = i;
                int32_t found = 7;
                EXPECT_EQ(BitField_GetNextClearInBoth(a, b, from, &found), expected >= 0 ? 1 : 0);
                EXPECT_EQ(found, expected) << bits << " bits, " << percent << "%, from " << from;
            }
        }
    }
}

TEST(BitField, CombineAndCopy) {
    Field a(12), b(12);
    const uint8_t left[2] = {0xF0, 0xA0}, right[2] = {0x3C, 0x30};
    const std::pair<int64_t (*)(BitField*, BitField*), const char*> cases[] = {
        {BitField_Combine, "FCB0"}, {BitField_And, "3020"}, {BitField_Except, "C080"}};
    for (const auto& [operation, state] : cases) {
        BitField_BufferRead(a, left, 2);
        BitField_BufferRead(b, right, 2);
        EXPECT_EQ(operation(a, b), 1);
        EXPECT_EQ(a.State(), state);
        EXPECT_EQ(b.State(), "3C30");
    }
    // Copy takes size, bytes and count, also from itself and from an empty field.
    Field copy(3, {1}), empty(0);
    EXPECT_EQ(BitField_Copy(copy, a) + BitField_Copy(copy, copy), 2);
    EXPECT_EQ(copy.State(), "C080");
    EXPECT_EQ(copy.SetCount(), 3);
    EXPECT_EQ(BitField_Copy(copy, empty), 1);
    EXPECT_EQ(copy.State(), "");
}

TEST(BitField, TextForms) {
    Field field(10, {0, 9});
    // 0x80 0x40 in standard Base64 (RFC 4648): "gEA=". Too small a buffer gets nothing and 0.
    EXPECT_EQ(field.Base64(), "gEA=");
    EXPECT_EQ(field.Hex(), "8040");
    EXPECT_EQ(OUTCOME_TEXT(8, BitField_ToBase64String(field, out, 4)), "0:");
    EXPECT_EQ(OUTCOME_TEXT(8, BitField_ToBase64String(field, out, 0)), "0:zzzzzzz");
    EXPECT_EQ(OUTCOME_TEXT(8, BitField_ToHexString(field, out, 4)), "0:");
    EXPECT_EQ(OUTCOME_TEXT(8, BitField_ToHexString(field, out, 5)), "1:8040");

    // Known answers of RFC 4648 section 10, both ways.
    // clang-format off
    const std::tuple<std::string, const char*, const char*> vectors[] = {
        {"", "", ""}, {"f", "Zg==", "66"}, {"fo", "Zm8=", "666F"}, {"foo", "Zm9v", "666F6F"},
        {"foob", "Zm9vYg==", "666F6F62"}, {"fooba", "Zm9vYmE=", "666F6F6261"},
        {"foobar", "Zm9vYmFy", "666F6F626172"},
    };
    // clang-format on
    for (const auto& [bytes, base64, hex] : vectors) {
        Field f((int32_t)bytes.size() * 8);
        ASSERT_EQ(BitField_BufferRead(f, bytes.data(), (int32_t)bytes.size()), 1);
        EXPECT_EQ(f.Base64(), base64);
        EXPECT_EQ(f.Hex(), hex);
        BitField_ClearAll(f);
        EXPECT_EQ(BitField_FromBase64String(f, base64), 1) << base64;
        EXPECT_EQ(f.State(), hex);
        BitField_ClearAll(f);
        EXPECT_EQ(BitField_FromHexString(f, hex), 1) << hex;
        EXPECT_EQ(f.State(), hex);
    }
    // A field of 0 bits takes no text but the empty one.
    Field none(0);
    EXPECT_EQ(BitField_FromBase64String(none, "AA==") + BitField_FromHexString(none, "00"), 0);
}

// Readers take exactly the total bytes (the bits past the size dropped), read at most `length`
// characters and stop at a NUL; on any failure they answer 0 and leave the field as it was.
// Hexadecimal takes either case and an optional "0x".
TEST(BitField, TextReadersRefuseBadTextAndKeepTheField) {
    // clang-format off
    const std::tuple<bool, const char*, int32_t, int64_t> cases[] = { // hex, text, length, result
        {false, "gEA=", -1, 1}, {false, "gEB/", -1, 0}, {false, "gA==", -1, 0}, {false, "", -1, 0},
        {false, "gE A=", -1, 0}, {false, "gEA", -1, 0}, {false, "g=A=", -1, 0}, {false, "gEA=gEA=", -1, 0},
        {false, "gEA=junk", 4, 1}, {false, "gEA=", 3, 0}, {false, "gEA=", 100, 1}, {false, "gEH=", -1, 1},
        {false, "\xff\xfe\xfd\xfc", -1, 0}, {true, "8040", -1, 1}, {true, "8070", -1, 1},
        {true, "0x8040", -1, 1},
        {true, "80", -1, 0}, {true, "804", -1, 0}, {true, "804000", -1, 0}, {true, "80G0", -1, 0},
        {true, "", -1, 0}, {true, "8040FF", 4, 1}, {true, "8040", 2, 0}, {true, "8040", 50, 1},
        {true, " 8040", -1, 0},
    };
    // clang-format on
    for (const auto& [hex, text, length, result] : cases) {
        Field field(10, {4, 8});
        EXPECT_EQ(hex ? BitField_FromHexStringLength(field, text, length)
                      : BitField_FromBase64StringLength(field, text, length),
                  result)
            << text;
        EXPECT_EQ(field.State(), result ? "8040" : "0880") << text;
    }
    Field lower(10);
    EXPECT_EQ(BitField_FromHexString(lower, "80c0"), 1);
    EXPECT_EQ(lower.State(), "80C0");
    // A reader never reads past length characters of a text that has no terminator.
    Field field(16);
    const std::vector<char> hex = {'8', '0', '4', '0'}, base64 = {'g', 'E', 'A', '='};
    EXPECT_EQ(BitField_FromHexStringLength(field, hex.data(), 4), 1);
    EXPECT_EQ(field.State(), "8040");
    BitField_ClearAll(field);
    EXPECT_EQ(BitField_FromBase64StringLength(field, base64.data(), 4), 1);
    EXPECT_EQ(field.State(), "8040");
}

TEST(BitField, RoundTripsOfLargeFields) {
    Field field(100003), copy(100003);
    for (int32_t i = 0; i < 100003; i += 7) BitField_Set(field, i);
    ASSERT_EQ(BitField_FromBase64String(copy, field.Base64().c_str()), 1);
    EXPECT_EQ(copy.State(), field.State());
    BitField_ClearAll(copy);
    ASSERT_EQ(BitField_FromHexString(copy, field.Hex().c_str()), 1);
    EXPECT_EQ(copy.State(), field.State());
    EXPECT_EQ(copy.SetCount(), 14287); // 0, 7, ..., 100002
}

// Percent of the bits set and clear; a field of 0 bits answers 0 with 100 full and 100 empty.
TEST(BitField, Percentages) {
    const std::tuple<int32_t, int32_t, const char*, const char*> cases[] = {
        {0, 0, "0:100", "0:100"}, {4, 1, "1:25", "1:75"}, {10, 10, "1:100", "1:0"}, {8, 0, "1:0", "1:100"}};
    for (const auto& [bits, set, full, empty] : cases) {
        Field field(bits);
        BitField_SetRange(field, 0, set);
        EXPECT_EQ(OUTCOME(double, -1, BitField_GetPercentFull(field, &out)), full);
        EXPECT_EQ(OUTCOME(double, -1, BitField_GetPercentEmpty(field, &out)), empty);
    }
}

class BitFieldLogTest : public LogLinesTest {};

TEST_F(BitFieldLogTest, DumpLines) {
    Field field(10, {0, 9}), none(0);
    EXPECT_EQ(BitField_Dump(field, "mask") + BitField_DumpBase64(field, "mask"), 2);
    EXPECT_EQ(BitField_DumpBase64(field, "a label much longer than twenty"), 1);
    BitField_Dump(none, "none");
    BitField_DumpBase64(none, "none");
    EXPECT_EQ(printed, (std::vector<std::string>{"mask:8040\n", "mask                :gEA=\n",
                                                 "a label much longer :gEA=\n", "none:\n",
                                                 "none                :\n"}));
}

TEST_F(BitFieldLogTest, ReadErrorsAreLoggedWhenVerbose) {
    Field field(10);
    EXPECT_EQ(BitField_FromBase64String(field, "gEB/"), 0);
    EXPECT_TRUE(printed.empty());
    BitField_SetVerbose(field, 1);
    EXPECT_EQ(BitField_FromBase64String(field, "gEB/") + BitField_FromBase64String(field, "g!A="), 0);
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_TRUE(printed[0].starts_with("DEBUG - BitField.")) << printed[0];
    EXPECT_TRUE(printed[0].ends_with(" - Error: Unable to read bitfield\n")) << printed[0];
    // Buffer of 4 / 4 * 3 + 10 bytes; nothing decoded.
    EXPECT_TRUE(printed[1].ends_with(" - Error: Unable to decode bitfield (13 / 0)\n")) << printed[1];
}

int64_t Collect(void* user, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    static_cast<std::vector<std::string>*>(user)->push_back(text);
    return 1;
}

TEST(BitField, PrintBlock) {
    Field field(4);
    std::vector<std::string> lines;
    EXPECT_EQ(BitField_SetPrintCallback(field, &lines, Collect), 1);
    EXPECT_EQ(BitField_SetPrintIdentifier(field, "pieces"), 1);
    EXPECT_EQ(BitField_Print(field, "one %d", 1), 1);
    EXPECT_EQ(BitField_PrintTabbed(field, 1, "two"), 1);
    EXPECT_EQ(BitField_VerboseLog(field, 0, "hidden"), 0);
    BitField_SetVerbose(field, 1);
    EXPECT_EQ(BitField_VerboseLog(field, 0, "shown"), 1);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].starts_with("BitField.")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(".pieces - one 1\n")) << lines[0];
    EXPECT_TRUE(lines[1].ends_with(".pieces -     two\n")) << lines[1];
    EXPECT_TRUE(lines[2].ends_with(" - shown\n")) << lines[2];
}

uint8_t g_buffer[4];

BitField* Make(int32_t bits) {
    BitField* field = nullptr;
    BitField_Create(&field);
    BitField_SetTotalBits(field, bits);
    return field;
}

TEST(BitFieldDeathTest, Aborts) {
    ExpectAborts({
        {[] { BitField_Set(Make(10), 10); }, AbortRegex("Bit outside boundary 10 >= 10\n")},
        {[] { BitField_Clear(Make(10), -1); }, AbortRegex("Bit outside boundary -1 >= 10\n")},
        {[] { BitField_IsSet(Make(0), 0); }, AbortRegex("Bit outside boundary 0 >= 0\n")},
        {[] { BitField_IsClear(Make(3), 7); }, AbortRegex("Bit outside boundary 7 >= 3\n")},
        {[] { BitField_Combine(Make(10), Make(12)); }, AbortRegex("Bit mismatch on combine (10 != 12)\n")},
        {[] { BitField_And(Make(12), Make(10)); }, AbortRegex("Bit mismatch on and (12 != 10)\n")},
        {[] { BitField_Except(Make(1), Make(0)); }, AbortRegex("Bit mismatch on except (1 != 0)\n")},
        {[] {
             int32_t index = 0;
             BitField_GetNextClearInBoth(Make(10), Make(12), 0, &index);
         },
         AbortRegex("Bit mismatch on search (10 != 12)\n")},
        {[] { BitField_BufferWrite(Make(10), g_buffer, 3); },
         AbortRegex("Buffer mismatch on except (2 != 3)\n")},
        {[] {
             uint32_t other[16] = {};
             other[9] = 0x1234;
             BitField_SetAll(reinterpret_cast<BitField*>(other));
         },
         ClassMismatch(BIT_FIELD_CLASS_ID, 0x1234)},
    });
}

} // namespace
