// Resizable array of bits with an exact count of the set bits, and its Base64 and hexadecimal
// text forms. Single-threaded: callers serialise access.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

enum : uint32_t { BIT_FIELD_CLASS_ID = 0x2efcb6e2 };

// Bit i lives in byte i / 8 under BitField_MaskLookupTable[i % 8]: bit 0 is the most significant
// bit of the first byte. The bits of the last byte past the size are always 0.
extern const uint8_t BitField_MaskLookupTable[8];

struct BitField;

// Life cycle. A new field has 0 bits.
int64_t BitField_Create(BitField** handle);
int64_t BitField_Delete(BitField** handle);
int64_t BitField_AddRef(BitField* field);
int64_t BitField_Release(BitField** handle);
// 1 when non-null and of this class; never aborts.
int64_t BitField_ValidHandle(BitField* field);
int64_t BitField_GetInstanceId(BitField* field, char* buffer, int32_t capacity);

// Size. A negative size gives 0; a new size clears every bit. Copy takes the source's size,
// bits and count.
int64_t BitField_SetTotalBits(BitField* field, int32_t bits);
int64_t BitField_Copy(BitField* target, BitField* source);
int64_t BitField_GetTotalBits(BitField* field, int32_t* bits);
int64_t BitField_GetTotalBytes(BitField* field, int32_t* bytes);
int64_t BitField_GetNonZeroBits(BitField* field, int32_t* bits);
int64_t BitField_GetZeroBits(BitField* field, int32_t* bits);

// Single bits: an index outside 0 .. total bits - 1 aborts.
int64_t BitField_Set(BitField* field, int32_t index);
int64_t BitField_Clear(BitField* field, int32_t index);
int64_t BitField_IsSet(BitField* field, int32_t index);
int64_t BitField_IsClear(BitField* field, int32_t index);
int64_t BitField_IsValidRange(BitField* field, int32_t index);

// Ranges of count bits from first, clipped to the field; an empty range does nothing and
// counts as all set and all clear.
int64_t BitField_SetRange(BitField* field, int32_t first, int32_t count);
int64_t BitField_ClearRange(BitField* field, int32_t first, int32_t count);
int64_t BitField_IsRangeSet(BitField* field, int32_t first, int32_t count);
int64_t BitField_IsRangeClear(BitField* field, int32_t first, int32_t count);

// Whole field.
int64_t BitField_SetAll(BitField* field);
int64_t BitField_ClearAll(BitField* field);
int64_t BitField_Invert(BitField* field);
int64_t BitField_IsFull(BitField* field);
int64_t BitField_IsEmpty(BitField* field);

// Searches: 1 and the index when found, else 0 and -1.
int64_t BitField_GetFirstSet(BitField* field, int32_t* index);
int64_t BitField_GetFirstClear(BitField* field, int32_t* index);
int64_t BitField_GetLastSet(BitField* field, int32_t* index);
int64_t BitField_GetLastClear(BitField* field, int32_t* index);
// The first bit at or after from (a negative from counts as 0) that is clear in both fields, read
// a word at a time; the other field must have the same size, else the process stops.
int64_t BitField_GetNextClearInBoth(BitField* field, BitField* other, int32_t from, int32_t* index);

// With a second field of the same size (another size aborts): OR, AND, AND NOT.
int64_t BitField_Combine(BitField* field, BitField* other);
int64_t BitField_And(BitField* field, BitField* other);
int64_t BitField_Except(BitField* field, BitField* other);

// Raw bytes. A read of any length but the total bytes answers 0 and changes nothing; a write of
// another length aborts.
int64_t BitField_BufferRead(BitField* field, const void* bytes, int32_t length);
int64_t BitField_BufferWrite(BitField* field, void* buffer, int32_t length);

// Base64 text of the bytes. A reader needs the size set beforehand and a text that decodes to
// exactly the total bytes; on any failure it answers 0 and leaves the field unchanged. The
// Length forms read at most length characters (up to the NUL when length is negative).
int64_t BitField_ToBase64StringLength(BitField* field, int32_t* size);
int64_t BitField_ToBase64String(BitField* field, char* text, int32_t capacity);
int64_t BitField_FromBase64String(BitField* field, const char* text);
int64_t BitField_FromBase64StringLength(BitField* field, const char* text, int32_t length);

// Two upper-case hexadecimal digits per byte. A reader takes the digits of exactly the total
// bytes (an optional "0x" ahead); anything else answers 0 and leaves the field unchanged.
int64_t BitField_ToHexStringLength(BitField* field, int32_t* size);
int64_t BitField_ToHexString(BitField* field, char* text, int32_t capacity);
int64_t BitField_FromHexString(BitField* field, const char* text);
int64_t BitField_FromHexStringLength(BitField* field, const char* text, int32_t length);

// Percent of the bits set (or clear); a field of 0 bits answers 0 with 100 full and 100 empty.
int64_t BitField_GetPercentFull(BitField* field, double* percent);
int64_t BitField_GetPercentEmpty(BitField* field, double* percent);

// One log line: "<label>:<hex>" or the label in 20 columns, ':' and the Base64 text.
int64_t BitField_Dump(BitField* field, const char* label);
int64_t BitField_DumpBase64(BitField* field, const char* label);

// The object's print block.
int64_t BitField_Print(BitField* field, const char* format, ...);
int64_t BitField_PrintTabbed(BitField* field, int32_t indent, const char* format, ...);
int64_t BitField_VPrint(BitField* field, int32_t indent, const char* format, va_list args);
// Prints only when the object's verbose level admits level.
int64_t BitField_VerboseLog(BitField* field, int32_t level, const char* format, ...);
int64_t BitField_SetPrintCallback(BitField* field, void* user, ClassPrintCallback callback);
int64_t BitField_GetPrintCallback(BitField* field, void** user, ClassPrintCallback* callback);
int64_t BitField_SetPrintIdentifier(BitField* field, const char* text);
int64_t BitField_SetVerbose(BitField* field, uint32_t verbose);
int64_t BitField_GetVerbose(BitField* field, uint32_t* verbose);
