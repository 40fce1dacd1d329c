#include "core/runtime/bit_field.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/debug.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

BitField* MakeField(int32_t bits) {
    BitField* field = nullptr;
    EXPECT_EQ(BitField_Create(&field), 1);
    EXPECT_EQ(BitField_SetTotalBits(field, bits), 1);
    return field;
}

std::vector<uint8_t> Bytes(BitField* field) {
    int32_t n = -1;
    BitField_GetTotalBytes(field, &n);
    std::vector<uint8_t> out((size_t)n);
    BitField_BufferWrite(field, out.data(), n);
    return out;
}

int32_t SetCount(BitField* field) {
    int32_t n = -1;
    EXPECT_EQ(BitField_GetNonZeroBits(field, &n), 1);
    return n;
}

// The set count recomputed from the bytes, to check the kept count against.
int32_t CountedBits(BitField* field) {
    int32_t n = 0;
    for (uint8_t b : Bytes(field)) n += __builtin_popcount(b);
    return n;
}

std::string AsText(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string Hex(BitField* field) {
    int32_t size = 0;
    BitField_ToHexStringLength(field, &size);
    std::string text((size_t)size, '?');
    EXPECT_EQ(BitField_ToHexString(field, text.data(), size), 1);
    return text.c_str();
}

std::string Base64(BitField* field) {
    int32_t size = 0;
    BitField_ToBase64StringLength(field, &size);
    std::string text((size_t)size, '?');
    EXPECT_EQ(BitField_ToBase64String(field, text.data(), size), 1);
    return text.c_str();
}

TEST(BitField, LifeCycleAndSizes) {
    BitField* field = nullptr;
    ASSERT_EQ(BitField_Create(&field), 1);
    EXPECT_EQ(BitField_ValidHandle(field), 1);
    EXPECT_EQ(BitField_ValidHandle(nullptr), 0);
    uint32_t notAField[16] = {};
    EXPECT_EQ(BitField_ValidHandle(reinterpret_cast<BitField*>(notAField)), 0);
    char id[40] = "junk";
    EXPECT_EQ(BitField_GetInstanceId(field, id, sizeof(id)), 1);
    EXPECT_STREQ(id, "");

    struct {
        int32_t requested, bits, bytes;
    } sizes[] = {{0, 0, 0}, {-5, 0, 0},  {1, 1, 1},         {8, 8, 1},
                 {9, 9, 2}, {10, 10, 2}, {4096, 4096, 512}, {INT32_MAX, INT32_MAX, 268435456},
                 {0, 0, 0}};
    for (const auto& s : sizes) {
        ASSERT_EQ(BitField_SetTotalBits(field, s.requested), 1);
        int32_t bits = -1, bytes = -1, zero = -1;
        BitField_GetTotalBits(field, &bits);
        BitField_GetTotalBytes(field, &bytes);
        BitField_GetZeroBits(field, &zero);
        EXPECT_EQ(bits, s.bits) << s.requested;
        EXPECT_EQ(bytes, s.bytes) << s.requested;
        EXPECT_EQ(zero, s.bits) << s.requested;
        EXPECT_EQ(SetCount(field), 0);
    }

    // The same size keeps the bits; another size clears them.
    BitField_SetTotalBits(field, 16);
    BitField_Set(field, 3);
    BitField_SetTotalBits(field, 16);
    EXPECT_EQ(BitField_IsSet(field, 3), 1);
    BitField_SetTotalBits(field, 17);
    EXPECT_EQ(BitField_IsEmpty(field), 1);
    EXPECT_EQ(Bytes(field), (std::vector<uint8_t>{0, 0, 0}));

    // The last release deletes and clears the handle.
    BitField* second = field;
    EXPECT_EQ(BitField_AddRef(field), 1);
    EXPECT_EQ(BitField_Release(&second), 1);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(BitField_ValidHandle(field), 1);
    EXPECT_EQ(BitField_Release(&field), 1);
    EXPECT_EQ(field, nullptr);
}

TEST(BitField, SingleBitsKeepTheCountAndTheLayout) {
    BitField* field = MakeField(10);
    EXPECT_EQ(BitField_Set(field, 0), 1);
    EXPECT_EQ(BitField_Set(field, 9), 1);
    EXPECT_EQ(BitField_Set(field, 9), 1); // no change, no count
    EXPECT_EQ(Bytes(field), (std::vector<uint8_t>{0x80, 0x40}));
    EXPECT_EQ(SetCount(field), 2);
    EXPECT_EQ(BitField_IsSet(field, 0), 1);
    EXPECT_EQ(BitField_IsClear(field, 1), 1);
    EXPECT_EQ(BitField_IsSet(field, 1), 0);
    EXPECT_EQ(BitField_Clear(field, 0), 1);
    EXPECT_EQ(BitField_Clear(field, 0), 1);
    EXPECT_EQ(SetCount(field), 1);
    EXPECT_EQ(Bytes(field), (std::vector<uint8_t>{0x00, 0x40}));

    for (int32_t i = 0; i < 8; i++) EXPECT_EQ(BitField_MaskLookupTable[i], 0x80 >> i);

    struct {
        int32_t index;
        int64_t valid;
    } ranges[] = {{-1, 0}, {0, 1}, {9, 1}, {10, 0}, {INT32_MIN, 0}, {INT32_MAX, 0}};
    for (const auto& r : ranges) EXPECT_EQ(BitField_IsValidRange(field, r.index), r.valid) << r.index;
    BitField_Release(&field);
}

TEST(BitField, WholeFieldOperationsClearTheOverflowBits) {
    BitField* field = MakeField(10);
    EXPECT_EQ(BitField_SetAll(field), 1);
    EXPECT_EQ(Bytes(field), (std::vector<uint8_t>{0xFF, 0xC0}));
    EXPECT_EQ(SetCount(field), 10);
    EXPECT_EQ(BitField_IsFull(field), 1);
    EXPECT_EQ(BitField_Invert(field), 1);
    EXPECT_EQ(Bytes(field), (std::vector<uint8_t>{0x00, 0x00}));
    EXPECT_EQ(SetCount(field), 0);
    EXPECT_EQ(BitField_IsEmpty(field), 1);

    BitField_Set(field, 2);
    BitField_Invert(field);
    EXPECT_EQ(Bytes(field), (std::vector<uint8_t>{0xDF, 0xC0}));
    EXPECT_EQ(SetCount(field), 9);
    EXPECT_EQ(BitField_ClearAll(field), 1);
    EXPECT_EQ(Bytes(field), (std::vector<uint8_t>{0x00, 0x00}));
    EXPECT_EQ(SetCount(field), 0);

    // A raw read cannot bring in bits past the size.
    const uint8_t raw[2] = {0x01, 0xFF};
    EXPECT_EQ(BitField_BufferRead(field, raw, 2), 1);
    EXPECT_EQ(Bytes(field), (std::vector<uint8_t>{0x01, 0xC0}));
    EXPECT_EQ(SetCount(field), 3);

    // A field of 0 bits: nothing to do, full and empty at once.
    BitField* none = MakeField(0);
    EXPECT_EQ(BitField_SetAll(none), 1);
    EXPECT_EQ(BitField_Invert(none), 1);
    EXPECT_EQ(BitField_ClearAll(none), 1);
    EXPECT_EQ(SetCount(none), 0);
    EXPECT_EQ(BitField_IsFull(none), 1);
    EXPECT_EQ(BitField_IsEmpty(none), 1);
    BitField_Release(&none);
    BitField_Release(&field);
}

TEST(BitField, RangesClipToTheField) {
    struct {
        int32_t first, count;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {8, 5, {0x00, 0xC0}},           // only bits 8 and 9
        {0, 10, {0xFF, 0xC0}},          //
        {3, 0, {0x00, 0x00}},           // empty
        {3, -4, {0x00, 0x00}},          //
        {10, 5, {0x00, 0x00}},          // starts past the end
        {INT32_MAX, INT32_MAX, {0, 0}}, // first + count would wrap
        {-2, 4, {0xC0, 0x00}},          // the part inside the field: bits 0 and 1
        {INT32_MIN, INT32_MAX, {0, 0}}, // ends before the field
        {2, INT32_MAX, {0x3F, 0xC0}},   {6, 3, {0x03, 0x80}},
    };
    for (const auto& c : cases) {
        BitField* field = MakeField(10);
        EXPECT_EQ(BitField_SetRange(field, c.first, c.count), 1);
        EXPECT_EQ(Bytes(field), c.bytes) << c.first << "," << c.count;
        EXPECT_EQ(SetCount(field), CountedBits(field));
        EXPECT_EQ(BitField_IsRangeSet(field, c.first, c.count), 1) << c.first << "," << c.count;
        // Clearing the same range gives back an empty field.
        EXPECT_EQ(BitField_ClearRange(field, c.first, c.count), 1);
        EXPECT_EQ(BitField_IsEmpty(field), 1);
        EXPECT_EQ(BitField_IsRangeClear(field, c.first, c.count), 1);
        BitField_Release(&field);
    }

    BitField* field = MakeField(20);
    BitField_SetRange(field, 4, 9); // bits 4 .. 12
    EXPECT_EQ(SetCount(field), 9);
    BitField_SetRange(field, 10, 5); // overlaps: bits 13, 14 are new
    EXPECT_EQ(SetCount(field), 11);
    EXPECT_EQ(BitField_IsRangeSet(field, 4, 11), 1);
    EXPECT_EQ(BitField_IsRangeSet(field, 3, 2), 0);
    EXPECT_EQ(BitField_IsRangeSet(field, 14, 2), 0);
    EXPECT_EQ(BitField_IsRangeClear(field, 0, 4), 1);
    EXPECT_EQ(BitField_IsRangeClear(field, 0, 5), 0);
    EXPECT_EQ(BitField_IsRangeClear(field, 15, 100), 1);
    BitField_ClearRange(field, 8, 2);
    EXPECT_EQ(SetCount(field), 9);
    EXPECT_EQ(BitField_IsSet(field, 7), 1);
    EXPECT_EQ(BitField_IsClear(field, 8), 1);
    EXPECT_EQ(BitField_IsClear(field, 9), 1);
    EXPECT_EQ(BitField_IsSet(field, 10), 1);
    BitField_Release(&field);
}

TEST(BitField, Searches) {
    using Search = int64_t (*)(BitField*, int32_t*);
    struct {
        int32_t bits;
        std::vector<int32_t> set;
        int32_t firstSet, firstClear, lastSet, lastClear;
    } cases[] = {
        {0, {}, -1, -1, -1, -1},
        {10, {}, -1, 0, -1, 9},
        {10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 0, -1, 9, -1}, // the overflow bits are not clear bits
        {10, {0, 9}, 0, 1, 9, 8},
        {17, {16}, 16, 0, 16, 15},
        {24, {3, 4, 5}, 3, 0, 5, 23},
        {9, {0, 1, 2, 3, 4, 5, 6, 7}, 0, 8, 7, 8},
    };
    for (const auto& c : cases) {
        BitField* field = MakeField(c.bits);
        for (int32_t i : c.set) BitField_Set(field, i);
        struct {
            Search fn;
            int32_t expected;
            const char* name;
        } searches[] = {{BitField_GetFirstSet, c.firstSet, "first set"},
                        {BitField_GetFirstClear, c.firstClear, "first clear"},
                        {BitField_GetLastSet, c.lastSet, "last set"},
                        {BitField_GetLastClear, c.lastClear, "last clear"}};
        for (const auto& s : searches) {
            int32_t index = 12345;
            EXPECT_EQ(s.fn(field, &index), s.expected >= 0 ? 1 : 0) << s.name << " of " << c.bits;
            EXPECT_EQ(index, s.expected) << s.name << " of " << c.bits;
        }
        BitField_Release(&field);
    }
}

TEST(BitField, CombineAndExcept) {
    BitField* a = MakeField(12);
    BitField* b = MakeField(12);
    const uint8_t left[2] = {0xF0, 0xA0}, right[2] = {0x3C, 0x30};
    struct {
        int64_t (*fn)(BitField*, BitField*);
        std::vector<uint8_t> bytes;
    } cases[] = {
        {BitField_Combine, {0xFC, 0xB0}}, {BitField_And, {0x30, 0x20}}, {BitField_Except, {0xC0, 0x80}}};
    for (const auto& c : cases) {
        BitField_BufferRead(a, left, 2);
        BitField_BufferRead(b, right, 2);
        EXPECT_EQ(c.fn(a, b), 1);
        EXPECT_EQ(Bytes(a), c.bytes);
        EXPECT_EQ(SetCount(a), CountedBits(a));
        EXPECT_EQ(Bytes(b), (std::vector<uint8_t>{0x3C, 0x30}));
    }

    // Copy takes size, bytes and count.
    BitField* copy = MakeField(3);
    BitField_Set(copy, 1);
    EXPECT_EQ(BitField_Copy(copy, a), 1);
    EXPECT_EQ(Bytes(copy), Bytes(a));
    EXPECT_EQ(SetCount(copy), SetCount(a));
    EXPECT_EQ(BitField_Copy(copy, copy), 1);
    EXPECT_EQ(Bytes(copy), Bytes(a));
    BitField* empty = MakeField(0);
    EXPECT_EQ(BitField_Copy(copy, empty), 1);
    int32_t bits = -1;
    BitField_GetTotalBits(copy, &bits);
    EXPECT_EQ(bits, 0);
    BitField_Release(&empty);
    BitField_Release(&copy);
    BitField_Release(&a);
    BitField_Release(&b);
}

TEST(BitField, BufferRead) {
    BitField* field = MakeField(10);
    BitField_Set(field, 5);
    const uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(BitField_BufferRead(field, bytes, 3), 0);
    EXPECT_EQ(BitField_BufferRead(field, bytes, 1), 0);
    EXPECT_EQ(BitField_BufferRead(field, bytes, -2), 0);
    EXPECT_EQ(Bytes(field), (std::vector<uint8_t>{0x04, 0x00}));
    EXPECT_EQ(SetCount(field), 1);
    BitField_Release(&field);
}

TEST(BitField, TextForms) {
    BitField* field = MakeField(10);
    BitField_Set(field, 0);
    BitField_Set(field, 9);
    // 0x80 0x40 in standard Base64 (RFC 4648): "gEA=".
    EXPECT_EQ(Base64(field), "gEA=");
    EXPECT_EQ(Hex(field), "8040");
    int32_t size = 0;
    EXPECT_EQ(BitField_ToBase64StringLength(field, &size), 1);
    EXPECT_EQ(size, 5);
    EXPECT_EQ(BitField_ToHexStringLength(field, &size), 1);
    EXPECT_EQ(size, 5);

    // Too small a buffer: nothing and 0.
    char text[8];
    memset(text, 'x', sizeof(text));
    EXPECT_EQ(BitField_ToBase64String(field, text, 4), 0);
    EXPECT_EQ(text[0], 0);
    EXPECT_EQ(BitField_ToBase64String(field, text, 0), 0);
    EXPECT_EQ(BitField_ToHexString(field, text, 4), 0);
    EXPECT_EQ(BitField_ToHexString(field, text, 5), 1);
    EXPECT_STREQ(text, "8040");

    // Known answers of RFC 4648 section 10 for longer fields.
    struct {
        const char* bytes;
        const char* base64;
        const char* hex;
    } vectors[] = {{"f", "Zg==", "66"},
                   {"fo", "Zm8=", "666F"},
                   {"foo", "Zm9v", "666F6F"},
                   {"foob", "Zm9vYg==", "666F6F62"},
                   {"fooba", "Zm9vYmE=", "666F6F6261"},
                   {"foobar", "Zm9vYmFy", "666F6F626172"}};
    for (const auto& v : vectors) {
        const int32_t n = (int32_t)strlen(v.bytes);
        BitField* f = MakeField(n * 8);
        ASSERT_EQ(BitField_BufferRead(f, v.bytes, n), 1);
        EXPECT_EQ(Base64(f), v.base64);
        EXPECT_EQ(Hex(f), v.hex);
        BitField_ClearAll(f);
        EXPECT_EQ(BitField_FromBase64String(f, v.base64), 1) << v.base64;
        EXPECT_EQ(AsText(Bytes(f)), v.bytes);
        BitField_ClearAll(f);
        EXPECT_EQ(BitField_FromHexString(f, v.hex), 1) << v.hex;
        EXPECT_EQ(AsText(Bytes(f)), v.bytes);
        EXPECT_EQ(SetCount(f), CountedBits(f));
        BitField_Release(&f);
    }

    // A field of 0 bits has empty texts.
    BitField* none = MakeField(0);
    EXPECT_EQ(Base64(none), "");
    EXPECT_EQ(Hex(none), "");
    EXPECT_EQ(BitField_FromBase64String(none, ""), 1);
    EXPECT_EQ(BitField_FromHexString(none, ""), 1);
    EXPECT_EQ(BitField_FromBase64String(none, "AA=="), 0);
    EXPECT_EQ(BitField_FromHexString(none, "00"), 0);
    BitField_Release(&none);
    BitField_Release(&field);
}

TEST(BitField, TextReadersRefuseBadTextAndKeepTheField) {
    struct {
        const char* text;
        int32_t length;
        int64_t result;
        std::vector<uint8_t> bytes;
    } base64[] = {
        {"gEA=", -1, 1, {0x80, 0x40}},
        {"gEB/", -1, 0, {}},              // 3 bytes into a 10-bit field
        {"gA==", -1, 0, {}},              // 1 byte
        {"", -1, 0, {}},                  //
        {"gE A=", -1, 0, {}},             // not in the alphabet
        {"gEA", -1, 0, {}},               // cut group
        {"g=A=", -1, 0, {}},              // padding inside the group
        {"gEA=gEA=", -1, 0, {}},          // too long
        {"gEA=junk", 4, 1, {0x80, 0x40}}, // only length characters are read
        {"gEA=", 3, 0, {}},
        {"gEA=", 100, 1, {0x80, 0x40}}, // stops at the NUL
        {"gEH=", -1, 1, {0x80, 0x40}},  // 0x80 0x41: the bit past the size is dropped
        {"\xff\xfe\xfd\xfc", -1, 0, {}},
    };
    for (const auto& c : base64) {
        BitField* field = MakeField(10);
        BitField_Set(field, 4);
        EXPECT_EQ(BitField_FromBase64StringLength(field, c.text, c.length), c.result) << c.text;
        EXPECT_EQ(Bytes(field), c.result ? c.bytes : (std::vector<uint8_t>{0x08, 0x00})) << c.text;
        EXPECT_EQ(SetCount(field), CountedBits(field));
        BitField_Release(&field);
    }

    struct {
        const char* text;
        int32_t length;
        int64_t result;
        std::vector<uint8_t> bytes;
    } hex[] = {
        {"8040", -1, 1, {0x80, 0x40}},
        {"80c0", -1, 1, {0x80, 0xC0}},   // lower case, overflow bits dropped
        {"0x8040", -1, 1, {0x80, 0x40}}, //
        {"80", -1, 0, {}},               // cut: the rest must not be zeroed either
        {"804", -1, 0, {}},              // odd
        {"804000", -1, 0, {}},           // too long
        {"80G0", -1, 0, {}},             // not a digit
        {"", -1, 0, {}},                 //
        {"8040FF", 4, 1, {0x80, 0x40}},  // only length characters are read
        {"8040", 2, 0, {}},              //
        {"8040", 50, 1, {0x80, 0x40}},   // stops at the NUL
        {" 8040", -1, 0, {}},
    };
    for (const auto& c : hex) {
        BitField* field = MakeField(10);
        BitField_Set(field, 4);
        BitField_Set(field, 8);
        EXPECT_EQ(BitField_FromHexStringLength(field, c.text, c.length), c.result) << c.text;
        EXPECT_EQ(Bytes(field), c.result ? c.bytes : (std::vector<uint8_t>{0x08, 0x80})) << c.text;
        EXPECT_EQ(SetCount(field), CountedBits(field));
        BitField_Release(&field);
    }

    // A reader never reads past length characters of a text that has no terminator.
    BitField* field = MakeField(16);
    std::vector<char> unterminated = {'8', '0', '4', '0'};
    EXPECT_EQ(BitField_FromHexStringLength(field, unterminated.data(), 4), 1);
    EXPECT_EQ(Bytes(field), (std::vector<uint8_t>{0x80, 0x40}));
    std::vector<char> b64 = {'g', 'E', 'A', '='};
    BitField_ClearAll(field);
    EXPECT_EQ(BitField_FromBase64StringLength(field, b64.data(), 4), 1);
    EXPECT_EQ(Bytes(field), (std::vector<uint8_t>{0x80, 0x40}));
    BitField_Release(&field);
}

TEST(BitField, RoundTripsOfLargeFields) {
    BitField* field = MakeField(100003);
    for (int32_t i = 0; i < 100003; i += 7) BitField_Set(field, i);
    const std::string base64 = Base64(field), hex = Hex(field);
    BitField* copy = MakeField(100003);
    ASSERT_EQ(BitField_FromBase64String(copy, base64.c_str()), 1);
    EXPECT_EQ(Bytes(copy), Bytes(field));
    EXPECT_EQ(SetCount(copy), SetCount(field));
    BitField_ClearAll(copy);
    ASSERT_EQ(BitField_FromHexString(copy, hex.c_str()), 1);
    EXPECT_EQ(Bytes(copy), Bytes(field));
    EXPECT_EQ(SetCount(copy), 14287); // 0, 7, ..., 100002
    BitField_Release(&copy);
    BitField_Release(&field);
}

TEST(BitField, Percentages) {
    struct {
        int32_t bits, set;
        int64_t result;
        double full, empty;
    } cases[] = {
        {0, 0, 0, 100.0, 100.0}, {4, 1, 1, 25.0, 75.0}, {10, 10, 1, 100.0, 0.0}, {8, 0, 1, 0.0, 100.0}};
    for (const auto& c : cases) {
        BitField* field = MakeField(c.bits);
        BitField_SetRange(field, 0, c.set);
        double full = -1, empty = -1;
        EXPECT_EQ(BitField_GetPercentFull(field, &full), c.result);
        EXPECT_EQ(BitField_GetPercentEmpty(field, &empty), c.result);
        EXPECT_DOUBLE_EQ(full, c.full);
        EXPECT_DOUBLE_EQ(empty, c.empty);
        BitField_Release(&field);
    }
}

class BitFieldLogTest : public LogLinesTest {};

TEST_F(BitFieldLogTest, DumpLines) {
    BitField* field = MakeField(10);
    BitField_Set(field, 0);
    BitField_Set(field, 9);
    EXPECT_EQ(BitField_Dump(field, "mask"), 1);
    EXPECT_EQ(BitField_DumpBase64(field, "mask"), 1);
    EXPECT_EQ(BitField_DumpBase64(field, "a label much longer than twenty"), 1);
    ASSERT_EQ(printed.size(), 3u);
    EXPECT_EQ(printed[0], "mask:8040\n");
    EXPECT_EQ(printed[1], "mask                :gEA=\n");
    EXPECT_EQ(printed[2], "a label much longer :gEA=\n");

    BitField* none = MakeField(0);
    BitField_Dump(none, "none");
    BitField_DumpBase64(none, "none");
    ASSERT_EQ(printed.size(), 5u);
    EXPECT_EQ(printed[3], "none:\n");
    EXPECT_EQ(printed[4], "none                :\n");
    BitField_Release(&none);
    BitField_Release(&field);
}

TEST_F(BitFieldLogTest, ReadErrorsAreLoggedWhenVerbose) {
    BitField* field = MakeField(10);
    EXPECT_EQ(BitField_FromBase64String(field, "gEB/"), 0);
    EXPECT_TRUE(printed.empty());

    BitField_SetVerbose(field, 1);
    uint32_t verbose = 0;
    BitField_GetVerbose(field, &verbose);
    EXPECT_EQ(verbose, 1u);
    EXPECT_EQ(BitField_FromBase64String(field, "gEB/"), 0);
    EXPECT_EQ(BitField_FromBase64String(field, "g!A="), 0);
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_NE(printed[0].find(" - Error: Unable to read bitfield\n"), std::string::npos) << printed[0];
    EXPECT_EQ(printed[0].rfind("DEBUG - BitField.", 0), 0u) << printed[0];
    // Buffer of 4 / 4 * 3 + 10 bytes; nothing decoded.
    EXPECT_NE(printed[1].find(" - Error: Unable to decode bitfield (13 / 0)\n"), std::string::npos)
        << printed[1];
    BitField_Release(&field);
}

struct Collected {
    std::vector<std::string> lines;
};

int64_t Collect(void* user, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    static_cast<Collected*>(user)->lines.push_back(text);
    return 1;
}

TEST(BitField, PrintBlock) {
    BitField* field = MakeField(4);
    Collected out;
    EXPECT_EQ(BitField_SetPrintCallback(field, &out, Collect), 1);
    void* user = nullptr;
    ClassPrintCallback callback = nullptr;
    EXPECT_EQ(BitField_GetPrintCallback(field, &user, &callback), 1);
    EXPECT_EQ(user, &out);
    EXPECT_EQ(callback, Collect);
    EXPECT_EQ(BitField_SetPrintIdentifier(field, "pieces"), 1);
    EXPECT_EQ(BitField_Print(field, "one %d", 1), 1);
    EXPECT_EQ(BitField_PrintTabbed(field, 1, "two"), 1);
    EXPECT_EQ(BitField_VerboseLog(field, 0, "hidden"), 0);
    BitField_SetVerbose(field, 1);
    EXPECT_EQ(BitField_VerboseLog(field, 0, "shown"), 1);
    ASSERT_EQ(out.lines.size(), 3u);
    EXPECT_NE(out.lines[0].find("BitField."), std::string::npos) << out.lines[0];
    EXPECT_NE(out.lines[0].find(".pieces - one 1\n"), std::string::npos) << out.lines[0];
    EXPECT_NE(out.lines[1].find(".pieces -     two\n"), std::string::npos) << out.lines[1];
    EXPECT_NE(out.lines[2].find(" - shown\n"), std::string::npos) << out.lines[2];
    BitField_Release(&field);
}

TEST(BitFieldDeath, Aborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct {
        void (*run)();
        const char* text;
    } cases[] = {
        {[] { BitField_Set(MakeField(10), 10); }, "Bit outside boundary 10 >= 10\n"},
        {[] { BitField_Clear(MakeField(10), -1); }, "Bit outside boundary -1 >= 10\n"},
        {[] { BitField_IsSet(MakeField(0), 0); }, "Bit outside boundary 0 >= 0\n"},
        {[] { BitField_IsClear(MakeField(3), 7); }, "Bit outside boundary 7 >= 3\n"},
        {[] { BitField_Combine(MakeField(10), MakeField(12)); }, "Bit mismatch on combine (10 != 12)\n"},
        {[] { BitField_And(MakeField(12), MakeField(10)); }, "Bit mismatch on and (12 != 10)\n"},
        {[] { BitField_Except(MakeField(1), MakeField(0)); }, "Bit mismatch on except (1 != 0)\n"},
        {[] {
             uint8_t buffer[4];
             BitField_BufferWrite(MakeField(10), buffer, 3);
         },
         "Buffer mismatch on except (2 != 3)\n"},
        {[] { BitField_SetAll(nullptr); }, "Pointer is NULL\n"},
        {[] { BitField_GetTotalBits(MakeField(1), nullptr); }, "Pointer is NULL\n"},
        {[] { BitField_GetFirstSet(MakeField(1), nullptr); }, "Pointer is NULL\n"},
        {[] { BitField_FromBase64String(MakeField(1), nullptr); }, "Pointer is NULL\n"},
        {[] { BitField_Create(nullptr); }, "Pointer is NULL\n"},
    };
    for (const auto& c : cases)
        EXPECT_DEATH(
            {
                InstallTestAbortHook();
                c.run();
            },
            AbortRegex(c.text))
            << c.text;

    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            uint32_t other[16] = {};
            other[9] = 0x1234;
            BitField_SetAll(reinterpret_cast<BitField*>(other));
        },
        "Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0x2efcb6e2 but was 0x00001234\\)");
}

} // namespace
