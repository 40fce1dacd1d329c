// Resizable bit array with an exact set-bit count, read and written as raw bytes, Base64 or
// hexadecimal text. Every operation that writes whole bytes clears the bits past the size again.
#include "core/runtime/bit_field.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/formats/base64.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

const uint8_t BitField_MaskLookupTable[8] = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};

struct BitField {
    Class Header;
    ClassPrint Print;
    uint8_t* Bytes; // null while the size is 0
    int32_t TotalBytes;
    int32_t TotalBits;
    int32_t SetBits;
};

namespace {

int64_t DeleteHandle(void** handle) {
    return BitField_Delete(reinterpret_cast<BitField**>(handle));
}

void PreparePrint(BitField* field) {
    ClassPrint_Prepare(&field->Print, field, "BitField", nullptr);
}

// Keeps only the bits of the last byte that lie inside the size.
void ClearOverflowBits(BitField* field) {
    const int32_t used = field->TotalBits % 8;
    if (used != 0) field->Bytes[field->TotalBytes - 1] &= (uint8_t)(0xFF00 >> used);
}

void Recount(BitField* field) {
    int32_t count = 0;
    for (int32_t i = 0; i < field->TotalBytes; i++) count += std::popcount(field->Bytes[i]);
    field->SetBits = count;
}

// Mask of the bits first .. end - 1 (0 <= first < end <= 8) of one byte.
uint8_t ByteMask(int32_t first, int32_t end) {
    return (uint8_t)((0xFFu >> first) & ~(0xFFu >> end));
}

// The part of first .. first + count - 1 inside the field as [lo, hi); false when empty. Worked in
// 64 bits so that first + count cannot wrap.
bool ClipRange(const BitField* field, int32_t first, int32_t count, int32_t* lo, int32_t* hi) {
    const int64_t start = std::max<int64_t>(first, 0);
    const int64_t end = std::min<int64_t>((int64_t)first + count, field->TotalBits);
    if (count < 1 || end <= start) return false;
    *lo = (int32_t)start;
    *hi = (int32_t)end;
    return true;
}

// Calls fn(byte index, mask) for every byte that the range [lo, hi) touches.
template <typename Fn> void ForEachRangeByte(int32_t lo, int32_t hi, Fn fn) {
    for (int32_t b = lo / 8; b <= (hi - 1) / 8; b++) {
        const int32_t first = std::max(lo, b * 8) - b * 8;
        const int32_t end = std::min<int32_t>(hi - b * 8, 8);
        if (!fn(b, ByteMask(first, end))) return;
    }
}

void ApplyRange(BitField* field, int32_t first, int32_t count, bool set) {
    int32_t lo = 0, hi = 0;
    if (!ClipRange(field, first, count, &lo, &hi)) return;
    ForEachRangeByte(lo, hi, [field, set](int32_t b, uint8_t mask) {
        const uint8_t old = field->Bytes[b];
        const uint8_t now = set ? (uint8_t)(old | mask) : (uint8_t)(old & ~mask);
        field->SetBits += std::popcount(now) - std::popcount(old);
        field->Bytes[b] = now;
        return true;
    });
}

bool TestRange(BitField* field, int32_t first, int32_t count, bool set) {
    int32_t lo = 0, hi = 0;
    if (!ClipRange(field, first, count, &lo, &hi)) return true;
    bool all = true;
    ForEachRangeByte(lo, hi, [field, set, &all](int32_t b, uint8_t mask) {
        const uint8_t bits = field->Bytes[b] & mask;
        all = set ? bits == mask : bits == 0;
        return all;
    });
    return all;
}

void CheckIndex(BitField* field, int32_t index, const char* file, int32_t line) {
    if (index < 0 || index >= field->TotalBits)
        Debug_AbortInt(file, line, "Bit outside boundary %d >= %d\n", index, field->TotalBits);
}

// The bits of byte b that lie inside the size.
uint8_t ValidMask(const BitField* field, int32_t b) {
    const int32_t used = field->TotalBits - b * 8;
    return used >= 8 ? 0xFF : (uint8_t)(0xFF00 >> used);
}

// Index of the first (last) bit of the field equal to `set`, or -1.
int32_t FindFirst(const BitField* field, bool set) {
    for (int32_t b = 0; b < field->TotalBytes; b++) {
        const uint8_t bits = (set ? field->Bytes[b] : (uint8_t)~field->Bytes[b]) & ValidMask(field, b);
        if (bits) return b * 8 + std::countl_zero(bits);
    }
    return -1;
}

int32_t FindLast(const BitField* field, bool set) {
    for (int32_t b = field->TotalBytes - 1; b >= 0; b--) {
        const uint8_t bits = (set ? field->Bytes[b] : (uint8_t)~field->Bytes[b]) & ValidMask(field, b);
        if (bits) return b * 8 + 7 - std::countr_zero(bits);
    }
    return -1;
}

// The eight bytes from p as one word whose most significant bit is the first bit of p[0].
uint64_t LoadWord(const uint8_t* p) {
    uint64_t word = 0;
    memcpy(&word, p, sizeof(word));
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return word;
}

int32_t FindNextClearInBoth(const BitField* a, const BitField* b, int32_t from) {
    if (from < 0) from = 0;
    if (from >= a->TotalBits) return -1;
    int32_t byte = from / 8;
    const uint8_t head =
        (uint8_t)~(a->Bytes[byte] | b->Bytes[byte]) & ValidMask(a, byte) & (uint8_t)(0xFFu >> (from % 8));
    if (head) return byte * 8 + std::countl_zero(head);
    // Whole words while eight bytes remain: a clear bit found past the size lies in the last
    // byte's unused bits, so no bit of the field is clear.
    for (byte++; byte + 8 <= a->TotalBytes; byte += 8) {
        const uint64_t clear = ~(LoadWord(a->Bytes + byte) | LoadWord(b->Bytes + byte));
        if (clear) {
            const int32_t index = byte * 8 + std::countl_zero(clear);
            return index < a->TotalBits ? index : -1;
        }
    }
    for (; byte < a->TotalBytes; byte++) {
        const uint8_t bits = (uint8_t)~(a->Bytes[byte] | b->Bytes[byte]) & ValidMask(a, byte);
        if (bits) return byte * 8 + std::countl_zero(bits);
    }
    return -1;
}

template <typename Op> void CombineWith(BitField* field, BitField* other, const char* message, Op op) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    CLASS_CHECK(other, BIT_FIELD_CLASS_ID);
    if (field->TotalBits != other->TotalBits)
        Debug_AbortInt(__FILE__, __LINE__, message, field->TotalBits, other->TotalBits);
    for (int32_t i = 0; i < field->TotalBytes; i++) field->Bytes[i] = op(field->Bytes[i], other->Bytes[i]);
    if (field->TotalBytes > 0) ClearOverflowBits(field);
    Recount(field);
}

// Characters of text to read: up to its NUL, and at most length when length is not negative.
int32_t TextLength(const char* text, int32_t length) {
    const size_t limit = length < 0 ? (size_t)INT32_MAX : (size_t)length;
    return (int32_t)strnlen(text, limit);
}

} // namespace

// ---- Life cycle ----------------------------------------------------------------------------

int64_t BitField_Create(BitField** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    BitField* field = static_cast<BitField*>(Memory_AllocZero(sizeof(BitField)));
    field->Header.ClassId = BIT_FIELD_CLASS_ID;
    field->Header.RefCount = 1;
    field->Header.Delete = DeleteHandle;
    *handle = field;
    return 1;
}

int64_t BitField_Delete(BitField** handle) {
    ASSERT_POINTER(handle);
    BitField* field = *handle;
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    if (field->Bytes) Memory_Free(field->Bytes, field->TotalBytes);
    field->Header.ClassId = 0;
    Memory_Free(field, sizeof(BitField));
    *handle = nullptr;
    return 1;
}

int64_t BitField_AddRef(BitField* field) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    Class_AddRef(field);
    return 1;
}

int64_t BitField_Release(BitField** handle) {
    ASSERT_POINTER(handle);
    CLASS_CHECK(*handle, BIT_FIELD_CLASS_ID);
    Class_Release(handle);
    *handle = nullptr;
    return 1;
}

int64_t BitField_ValidHandle(BitField* field) {
    return field && field->Header.ClassId == BIT_FIELD_CLASS_ID;
}

int64_t BitField_GetInstanceId(BitField* field, char* buffer, int32_t capacity) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, capacity, field->Header.InstanceId,
                          (int32_t)sizeof(field->Header.InstanceId));
    return 1;
}

// ---- Size ----------------------------------------------------------------------------------

int64_t BitField_SetTotalBits(BitField* field, int32_t bits) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    if (bits < 0) bits = 0;
    if (bits == field->TotalBits) return 1;
    if (field->Bytes) Memory_Free(field->Bytes, field->TotalBytes);
    field->Bytes = nullptr;
    field->TotalBytes = (int32_t)(((int64_t)bits + 7) / 8);
    field->TotalBits = bits;
    field->SetBits = 0;
    if (bits > 0) field->Bytes = static_cast<uint8_t*>(Memory_AllocZero(field->TotalBytes));
    return 1;
}

int64_t BitField_Copy(BitField* target, BitField* source) {
    CLASS_CHECK(target, BIT_FIELD_CLASS_ID);
    CLASS_CHECK(source, BIT_FIELD_CLASS_ID);
    if (target == source) return 1;
    if (!BitField_SetTotalBits(target, source->TotalBits)) return 0;
    if (source->TotalBytes > 0) memcpy(target->Bytes, source->Bytes, (size_t)source->TotalBytes);
    target->SetBits = source->SetBits;
    return 1;
}

int64_t BitField_GetTotalBits(BitField* field, int32_t* bits) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(bits);
    *bits = field->TotalBits;
    return 1;
}

int64_t BitField_GetTotalBytes(BitField* field, int32_t* bytes) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(bytes);
    *bytes = field->TotalBytes;
    return 1;
}

int64_t BitField_GetNonZeroBits(BitField* field, int32_t* bits) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(bits);
    *bits = field->SetBits;
    return 1;
}

int64_t BitField_GetZeroBits(BitField* field, int32_t* bits) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(bits);
    *bits = field->TotalBits - field->SetBits;
    return 1;
}

// ---- Single bits and ranges ----------------------------------------------------------------

int64_t BitField_Set(BitField* field, int32_t index) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    CheckIndex(field, index, __FILE__, __LINE__);
    uint8_t& byte = field->Bytes[index / 8];
    const uint8_t mask = BitField_MaskLookupTable[index % 8];
    if (!(byte & mask)) {
        byte |= mask;
        field->SetBits++;
    }
    return 1;
}

int64_t BitField_Clear(BitField* field, int32_t index) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    CheckIndex(field, index, __FILE__, __LINE__);
    uint8_t& byte = field->Bytes[index / 8];
    const uint8_t mask = BitField_MaskLookupTable[index % 8];
    if (byte & mask) {
        byte &= (uint8_t)~mask;
        field->SetBits--;
    }
    return 1;
}

int64_t BitField_IsSet(BitField* field, int32_t index) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    CheckIndex(field, index, __FILE__, __LINE__);
    return (field->Bytes[index / 8] & BitField_MaskLookupTable[index % 8]) != 0;
}

int64_t BitField_IsClear(BitField* field, int32_t index) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    CheckIndex(field, index, __FILE__, __LINE__);
    return (field->Bytes[index / 8] & BitField_MaskLookupTable[index % 8]) == 0;
}

int64_t BitField_IsValidRange(BitField* field, int32_t index) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    return index >= 0 && index < field->TotalBits;
}

int64_t BitField_SetRange(BitField* field, int32_t first, int32_t count) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ApplyRange(field, first, count, true);
    return 1;
}

int64_t BitField_ClearRange(BitField* field, int32_t first, int32_t count) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ApplyRange(field, first, count, false);
    return 1;
}

int64_t BitField_IsRangeSet(BitField* field, int32_t first, int32_t count) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    return TestRange(field, first, count, true);
}

int64_t BitField_IsRangeClear(BitField* field, int32_t first, int32_t count) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    return TestRange(field, first, count, false);
}

int64_t BitField_SetAll(BitField* field) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    if (field->TotalBits < 1) return 1;
    memset(field->Bytes, 0xFF, (size_t)field->TotalBytes);
    ClearOverflowBits(field);
    field->SetBits = field->TotalBits;
    return 1;
}

int64_t BitField_ClearAll(BitField* field) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    if (field->TotalBits < 1) return 1;
    memset(field->Bytes, 0, (size_t)field->TotalBytes);
    field->SetBits = 0;
    return 1;
}

int64_t BitField_Invert(BitField* field) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    if (field->TotalBits < 1) return 1;
    for (int32_t i = 0; i < field->TotalBytes; i++) field->Bytes[i] = (uint8_t)~field->Bytes[i];
    ClearOverflowBits(field);
    field->SetBits = field->TotalBits - field->SetBits;
    return 1;
}

int64_t BitField_IsFull(BitField* field) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    return field->SetBits == field->TotalBits;
}

int64_t BitField_IsEmpty(BitField* field) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    return field->SetBits == 0;
}

// ---- Searches ------------------------------------------------------------------------------

int64_t BitField_GetFirstSet(BitField* field, int32_t* index) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(index);
    *index = FindFirst(field, true);
    return *index >= 0;
}

int64_t BitField_GetFirstClear(BitField* field, int32_t* index) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(index);
    *index = FindFirst(field, false);
    return *index >= 0;
}

int64_t BitField_GetLastSet(BitField* field, int32_t* index) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(index);
    *index = FindLast(field, true);
    return *index >= 0;
}

int64_t BitField_GetLastClear(BitField* field, int32_t* index) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(index);
    *index = FindLast(field, false);
    return *index >= 0;
}

int64_t BitField_GetNextClearInBoth(BitField* field, BitField* other, int32_t from, int32_t* index) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    CLASS_CHECK(other, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(index);
    if (field->TotalBits != other->TotalBits)
        Debug_AbortInt(__FILE__, __LINE__, "Bit mismatch on search (%d != %d)\n", field->TotalBits,
                       other->TotalBits);
    *index = FindNextClearInBoth(field, other, from);
    return *index >= 0;
}

// ---- Two fields ----------------------------------------------------------------------------

int64_t BitField_Combine(BitField* field, BitField* other) {
    CombineWith(field, other, "Bit mismatch on combine (%d != %d)\n",
                [](uint8_t a, uint8_t b) { return (uint8_t)(a | b); });
    return 1;
}

int64_t BitField_And(BitField* field, BitField* other) {
    CombineWith(field, other, "Bit mismatch on and (%d != %d)\n",
                [](uint8_t a, uint8_t b) { return (uint8_t)(a & b); });
    return 1;
}

int64_t BitField_Except(BitField* field, BitField* other) {
    CombineWith(field, other, "Bit mismatch on except (%d != %d)\n",
                [](uint8_t a, uint8_t b) { return (uint8_t)(a & ~b); });
    return 1;
}

// ---- Buffers and text ----------------------------------------------------------------------

int64_t BitField_BufferRead(BitField* field, const void* bytes, int32_t length) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(bytes);
    if (length != field->TotalBytes) return 0;
    if (length == 0) return 1;
    memmove(field->Bytes, bytes, (size_t)length);
    ClearOverflowBits(field);
    Recount(field);
    return 1;
}

int64_t BitField_BufferWrite(BitField* field, void* buffer, int32_t length) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(buffer);
    if (length != field->TotalBytes)
        Debug_AbortInt(__FILE__, __LINE__, "Buffer mismatch on except (%d != %d)\n", field->TotalBytes,
                       length);
    if (length > 0) memmove(buffer, field->Bytes, (size_t)length);
    return 1;
}

int64_t BitField_ToBase64StringLength(BitField* field, int32_t* size) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(size);
    *size = 0;
    uint32_t need = 0;
    // At most 2^28 bytes: the text always fits a 32-bit capacity.
    Base64_CalculateEncodeSize((uint32_t)field->TotalBytes, &need);
    *size = (int32_t)need;
    return 1;
}

int64_t BitField_ToBase64String(BitField* field, char* text, int32_t capacity) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(text);
    if (capacity > 0) text[0] = 0;
    int32_t need = 0;
    BitField_ToBase64StringLength(field, &need);
    if (need > capacity) return 0;
    if (field->TotalBytes == 0) return 1;
    uint32_t written = 0;
    if (!Base64_Encode(field->Bytes, field->TotalBytes, text, capacity, &written)) {
        BitField_VerboseLog(field, 0, "Error: Unable to encode bitfield (%d / %d / %d)", field->TotalBytes,
                            need, (int32_t)written);
        text[0] = 0;
        return 0;
    }
    return 1;
}

int64_t BitField_FromBase64String(BitField* field, const char* text) {
    return BitField_FromBase64StringLength(field, text, -1);
}

int64_t BitField_FromBase64StringLength(BitField* field, const char* text, int32_t length) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(text);
    const int32_t n = TextLength(text, length);
    // Whatever a longer text holds, it cannot decode to this field's bytes; refusing it here also
    // bounds the work buffers by the field's size rather than by the text's.
    int32_t need = 0;
    BitField_ToBase64StringLength(field, &need);
    if (n > need - 1) {
        BitField_VerboseLog(field, 0, "Error: Unable to read bitfield");
        return 0;
    }
    // The decoder runs to a NUL, so it reads a terminated copy of exactly the n characters.
    char* copy = static_cast<char*>(Memory_Alloc(n + 1));
    memcpy(copy, text, (size_t)n);
    copy[n] = 0;
    uint32_t size = 0;
    Base64_CalculateDecodeSize((uint32_t)n, &size);
    uint8_t* work = static_cast<uint8_t*>(Memory_Alloc(size));
    uint32_t decoded = 0;
    int64_t result = 0;
    if (!Base64_Decode(copy, n, work, (int32_t)size, &decoded))
        BitField_VerboseLog(field, 0, "Error: Unable to decode bitfield (%d / %d)", (int32_t)size,
                            (int32_t)decoded);
    else if (!BitField_BufferRead(field, work, (int32_t)decoded))
        BitField_VerboseLog(field, 0, "Error: Unable to read bitfield");
    else
        result = 1;
    Memory_Free(work, size);
    Memory_Free(copy, n + 1);
    return result;
}

int64_t BitField_ToHexStringLength(BitField* field, int32_t* size) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(size);
    *size = field->TotalBytes * 2 + 1;
    return 1;
}

int64_t BitField_ToHexString(BitField* field, char* text, int32_t capacity) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(text);
    // A text that does not fit is not handed out cut: it would read back as another field.
    const int64_t result = String_ConvertToHex(field->Bytes, field->TotalBytes, 0, text, capacity);
    if (!result && capacity > 0) text[0] = 0;
    return result;
}

int64_t BitField_FromHexString(BitField* field, const char* text) {
    return BitField_FromHexStringLength(field, text, -1);
}

int64_t BitField_FromHexStringLength(BitField* field, const char* text, int32_t length) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(text);
    const int32_t n = TextLength(text, length);
    // Converted into a work buffer first, so that a text that is cut, too long or not hex leaves
    // the field as it was instead of half overwritten.
    uint8_t none = 0;
    uint8_t* work = field->TotalBytes > 0 ? static_cast<uint8_t*>(Memory_Alloc(field->TotalBytes)) : &none;
    int32_t count = 0;
    int64_t result = String_ConvertFromHexLength(text, n, work, field->TotalBytes, &count);
    if (result && count == field->TotalBytes)
        BitField_BufferRead(field, work, count);
    else
        result = 0;
    if (work != &none) Memory_Free(work, field->TotalBytes);
    return result;
}

// ---- Statistics, dump and print ------------------------------------------------------------

int64_t BitField_GetPercentFull(BitField* field, double* percent) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(percent);
    *percent = 0.0;
    if (field->TotalBits < 0) return 0;
    if (field->TotalBits == 0) {
        *percent = 100.0;
        return 0;
    }
    *percent = (double)field->SetBits / (double)field->TotalBits * 100.0;
    return 1;
}

int64_t BitField_GetPercentEmpty(BitField* field, double* percent) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(percent);
    *percent = 100.0;
    double full = 0.0;
    if (!BitField_GetPercentFull(field, &full)) return 0;
    *percent = 100.0 - full;
    return 1;
}

int64_t BitField_Dump(BitField* field, const char* label) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(label);
    const int32_t labelLength = TextLength(label, -1);
    int32_t hexSize = 0;
    BitField_ToHexStringLength(field, &hexSize);
    const int64_t size = (int64_t)labelLength + 1 + hexSize + 1;
    char* line = static_cast<char*>(Memory_Alloc(size));
    memcpy(line, label, (size_t)labelLength);
    line[labelLength] = ':';
    char* hex = line + labelLength + 1;
    BitField_ToHexString(field, hex, hexSize);
    const int32_t end = labelLength + 1 + field->TotalBytes * 2;
    line[end] = '\n';
    line[end + 1] = 0;
    Log_PrintString(line);
    Memory_Free(line, size);
    return 1;
}

int64_t BitField_DumpBase64(BitField* field, const char* label) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(label);
    // The formatter cuts a %s to its width, so the head is at most 20 columns and the colon.
    constexpr int32_t kHead = 22;
    int32_t textSize = 0;
    BitField_ToBase64StringLength(field, &textSize);
    const int32_t size = kHead + textSize + 1;
    char* line = static_cast<char*>(Memory_Alloc(size));
    String_Print(line, kHead, "%-20s:", label);
    int32_t used = (int32_t)strnlen(line, (size_t)kHead);
    BitField_ToBase64String(field, line + used, textSize);
    used += (int32_t)strnlen(line + used, (size_t)textSize);
    line[used] = '\n';
    line[used + 1] = 0;
    Log_PrintString(line);
    Memory_Free(line, size);
    return 1;
}

int64_t BitField_VPrint(BitField* field, int32_t indent, const char* format, va_list args) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    PreparePrint(field);
    return ClassPrint_VPrint(&field->Print, indent, format, args);
}

int64_t BitField_Print(BitField* field, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = BitField_VPrint(field, 0, format, args);
    va_end(args);
    return result;
}

int64_t BitField_PrintTabbed(BitField* field, int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = BitField_VPrint(field, indent, format, args);
    va_end(args);
    return result;
}

int64_t BitField_VerboseLog(BitField* field, int32_t level, const char* format, ...) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    PreparePrint(field);
    if (!ClassPrint_IsVerboseLevel(&field->Print, level)) return 0;
    va_list args;
    va_start(args, format);
    const int64_t result = BitField_VPrint(field, 0, format, args);
    va_end(args);
    return result;
}

int64_t BitField_SetPrintCallback(BitField* field, void* user, ClassPrintCallback callback) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    PreparePrint(field);
    field->Print.PrintUser = user;
    field->Print.PrintCallback = callback;
    return 1;
}

int64_t BitField_GetPrintCallback(BitField* field, void** user, ClassPrintCallback* callback) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(user);
    ASSERT_POINTER(callback);
    PreparePrint(field);
    *user = field->Print.PrintUser;
    *callback = field->Print.PrintCallback;
    return 1;
}

int64_t BitField_SetPrintIdentifier(BitField* field, const char* text) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    field->Print.Identifier = text;
    return 1;
}

int64_t BitField_SetVerbose(BitField* field, uint32_t verbose) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    field->Print.Verbose = (int32_t)verbose;
    return 1;
}

int64_t BitField_GetVerbose(BitField* field, uint32_t* verbose) {
    CLASS_CHECK(field, BIT_FIELD_CLASS_ID);
    ASSERT_POINTER(verbose);
    *verbose = (uint32_t)field->Print.Verbose;
    return 1;
}
