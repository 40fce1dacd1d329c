// The system's text library: bounded copies, comparisons, searches, trimming, lists and
// lines, wildcard matching, number, hexadecimal, IPv4, version and boolean conversions.
// Strings are NUL-terminated UTF-8 bytes in caller buffers; capacities include the terminator.
#pragma once

#include <cstddef>
#include <cstdint>

// A null string where one is required stops the process ("Pointer is NULL\n"). Nothing here
// allocates; every bounded write keeps to the stated capacity, and a capacity below 1 writes
// nothing. Case folding touches only A-Z / a-z.

// ---- Copying and appending ----------------------------------------------------------------
// Copies src truncated to capacity - 1 bytes, always terminated. Returns the bytes copied, or
// capacity when the text was cut (with capacity below 1: 1 for a non-empty src, else 0).
int32_t String_CopyLength(char* dst, const char* src, int32_t capacity);
int32_t String_Copy(char* dst, const char* src);
// Appends without bound; returns the bytes appended.
int32_t String_Cat(char* dst, const char* src);
// Appends within a buffer of total capacity; the result is String_CopyLength's for the
// appended part (against the room that was left).
int32_t String_CatLength(char* dst, const char* src, int32_t capacity);
// Copies at most maxBytes of src (less when src ends first), never more than capacity - 1.
int32_t String_CopyLengthSafe(char* dst, int32_t capacity, const char* src, int32_t maxBytes);
// Copies up to the first byte of src that occurs in stopSet.
int32_t String_CopyUntilCharLength(char* dst, const char* src, const char* stopSet, int32_t capacity);
int32_t String_CopyUntilChar(char* dst, const char* src, const char* stopSet);
// Copies up to the first byte below 0x20.
int32_t String_CopyUntilControlLength(char* dst, const char* src, int32_t capacity);
int32_t String_CopyUntilControl(char* dst, const char* src);

// ---- Comparing ----------------------------------------------------------------------------
// Difference of the first differing bytes (unsigned), 0 when equal.
int64_t String_CompareReturn(const char* a, const char* b);
int64_t String_Compare(const char* a, const char* b);
// Folded three-way comparison: -1, 0 or 1.
int64_t String_CompareWithoutCaseReturn(const char* a, const char* b);
int64_t String_CompareWithoutCase(const char* a, const char* b);
// 1 when the first n bytes are equal (n below 1 gives 1).
int64_t String_CompareLength(const char* a, const char* b, int32_t n);
int64_t String_CompareLengthWithoutCase(const char* a, const char* b, int32_t n);
int64_t String_CompareBeginning(const char* text, const char* prefix);
int64_t String_CompareBeginningWithoutCase(const char* text, const char* prefix);
// 1 when the shorter of a and b is a tail of the longer.
int64_t String_CompareEnding(const char* a, const char* b);
int64_t String_CompareEndingWithoutCase(const char* a, const char* b);
// Equality after skipping every byte of ignoreSet in both; folded when caseless is non-zero.
int64_t String_CompareIgnore(const char* a, const char* b, const char* ignoreSet, int32_t caseless);
// '*' matches any run of bytes, "\*" a literal star; there is no single-byte wildcard.
int64_t String_CompareWildcard(const char* text, const char* pattern);
int64_t String_CompareWildcardWithoutCase(const char* text, const char* pattern);
// Matches any pattern of a ';'-separated list ("*" matches everything, "" nothing).
int64_t String_CompareWildcardList(const char* text, const char* patternList);
int64_t String_CompareWildcardListWithoutCase(const char* text, const char* patternList);

// ---- Searching ----------------------------------------------------------------------------
// All return 1 and the position through pos (when given), else 0 and a null position.
int64_t String_FindChar(const char* text, char c, const char** pos);
int64_t String_ContainsChar(const char* text, char c);
int64_t String_FindCharLength(const char* text, int32_t n, char c, const char** pos);
// c = 0 finds the terminator.
int64_t String_FindCharReverse(const char* text, char c, const char** pos);
int64_t String_FindFirstChar(const char* text, const char* set, const char** pos);
int64_t String_FindFirstCharLength(const char* text, int32_t n, const char* set, const char** pos);
int64_t String_FindFirstCharReverse(const char* text, const char* set, const char** pos);
// An empty text finds nothing; an empty needle is found at the start of a non-empty text.
int64_t String_FindString(const char* text, const char* needle, const char** pos);
int64_t String_ContainsString(const char* text, const char* needle);
int64_t String_FindStringWithoutCase(const char* text, const char* needle, const char** pos);
int64_t String_ContainsStringWithoutCase(const char* text, const char* needle);
// Only occurrences that lie within the first n bytes.
int64_t String_FindStringLength(const char* text, int32_t n, const char* needle, const char** pos);
// Last occurrence; an empty needle is found at the terminator.
int64_t String_FindStringReverse(const char* text, const char* needle, const char** pos);
int64_t String_FindStringReverseWithoutCase(const char* text, const char* needle, const char** pos);
int32_t String_CountChar(const char* text, char c);

// ---- Lists and lines ----------------------------------------------------------------------
// Copies field index (from 0). Mode 1 drops blanks at both ends of the field. Returns 1 when
// the field exists and fitted; 0 when missing (dst empty) or cut to capacity - 1 bytes.
int64_t String_ListGetMember(const char* list, char separator, int32_t mode, int32_t index, char* dst,
                             int32_t capacity);
// 1 when some field, blanks at both ends ignored, equals member exactly.
int64_t String_ListContainsMember(const char* list, char separator, const char* member);
// Copies the next line (up to LF or the end of the counted text, a CR before the LF dropped)
// and reports the bytes consumed, LF included. 0 when length or capacity is below 1.
int64_t String_LineGetNext(const char* text, int32_t length, char* dst, int32_t capacity, int32_t* consumed);

// ---- Editing in place ---------------------------------------------------------------------
int64_t String_Upper(char* s);
int64_t String_Lower(char* s);
int64_t String_Reverse(char* s);
int64_t String_TrimLeftChar(char* s, char c);
int64_t String_TrimRightChar(char* s, char c);
int64_t String_TrimChar(char* s, char c);
int64_t String_TrimLeftChars(char* s, const char* set);
int64_t String_TrimRightChars(char* s, const char* set);
int64_t String_TrimChars(char* s, const char* set);
// Trims bytes of set from the end of the first length bytes and reports the bytes kept.
int64_t String_TrimRightCharsLength(char* s, const char* set, int32_t length, int32_t* newLength);
int64_t String_TrimWhitespace(char* s);
// Copies only the printable ASCII bytes 0x21-0x7E (dst may be src).
int64_t String_Strip(char* dst, const char* src);
int64_t String_StripChar(char* s, char c);
// Drops the first n bytes; 0 (unchanged) when s is shorter than n.
int64_t String_ShiftLeft(char* s, int32_t n);
// Inserts n spaces at the front; 0 (unchanged) when the result would not fit capacity.
int64_t String_ShiftRight(char* s, int32_t capacity, int32_t n);
int64_t String_ReplaceChar(char from, char to, char* s);
// Replaces every occurrence of find, left to right, never rescanning inserted text; with a
// non-zero escape an occurrence right after that byte is kept. 0 when find or buffer is empty,
// or when the text stopped fitting capacity (replacements so far stay).
int64_t String_ReplaceLengthEx(const char* find, const char* replacement, char escape, char* buffer,
                               int32_t capacity);
int64_t String_ReplaceLength(const char* find, const char* replacement, char* buffer, int32_t capacity);

// ---- Conversions --------------------------------------------------------------------------
// Optional sign, then "0x" hexadecimal (unsigned, sign ignored) or decimal digits; wraps on
// overflow. A null text gives 0.
int64_t String_AtoI64(const char* text);
// String_AtoI64 of the first `length` bytes of text, which need not be terminated.
int64_t String_AtoI64Length(const char* text, size_t length);
int32_t String_AtoI(const char* text);
// As String_AtoI64, but a leading '-' gives 0.
uint64_t String_AtoU64(const char* text);
uint32_t String_AtoU(const char* text);
uintptr_t String_AtoP(const char* text);
// 1 and the value when text starts with "0x" / "0X".
int64_t String_ConvertToHexInternal(const char* text, uint64_t* value);
// Optional '-', "0x" hexadecimal (its integer value, unsigned) or decimal with a point, optional
// exponent: 'e' or 'E', an optional '+', then a number of the same form without exponent, whose
// fraction is dropped ("1e0x2" is 100, "1e5.5" 1e5). Reads up to the first other byte ("5e" is 5);
// the value is correctly rounded, the same in any locale, held at 0 and HUGE_VAL beyond the
// range. Null gives 0.0.
double String_AtoF(const char* text);
// String_AtoF of the first `length` bytes of text, which need not be terminated: read whole, never
// cut to a buffer.
double String_AtoFLength(const char* text, size_t length);
// The program's one reader of a number's text, shared by the document readers, the Dictionary's
// number items and task arguments. The whole of text[0, length) must be one number: an optional
// '+' or '-', then "0x" and hexadecimal digits, or decimal digits with at most one point (at
// least one digit) and an optional exponent ('e' or 'E', an optional sign, digits). The value is
// correctly rounded, the same in any locale, and the sign applies to both forms. 0 for any other
// text and for a value beyond the double's range ("1e999"), which no reader can give.
// `integer` (may be null) gets the value as a 64-bit integer: exact for a whole number in range,
// otherwise truncated towards zero and held at the range's ends.
int64_t String_ParseNumber(const char* text, size_t length, double* value, int64_t* integer);
// String_ParseNumber of a NUL-terminated text.
int64_t String_ParseNumberText(const char* text, double* value, int64_t* integer);
// The shortest "%g" text (6 to 17 digits, '.' as the decimal mark in any locale) that
// String_ParseNumber reads back as the same value, and 1; an empty text and 0 for a value that is
// not finite, which no number text holds, or when the text does not fit in size.
int64_t String_PrintNumber(double value, char* text, size_t size);
// As String_PrintNumber, from `precision` significant digits (1 to 17) up instead of 6: at 12 the
// text is "%.12g"'s wherever that reads back (a whole number of up to twelve digits is written
// plainly), with more digits where it does not.
int64_t String_PrintNumberPrecision(double value, int32_t precision, char* text, size_t size);
// Optional '-' followed only by digits and '.'.
int64_t String_IsNumeric(const char* text);
// Two hexadecimal digits per byte (lower case when lowerCase is 1); 1 when all fitted.
int64_t String_ConvertToHex(const void* bytes, int32_t count, int32_t lowerCase, char* dst, int32_t capacity);
// Pairs of hexadecimal digits (after an optional "0x") to bytes; 1 when all the text was used.
int64_t String_ConvertFromHexLength(const char* text, int32_t length, void* dst, int32_t capacity,
                                    int32_t* count);
int64_t String_ConvertFromHex(const char* text, void* dst, int32_t capacity, int32_t* count);
// Dotted IPv4 text with an optional ":port"; the address is stored as four bytes in text
// (network) order. "::1" gives 127.0.0.1.
int64_t String_ConvertToIP(const char* text, uint32_t* address, uint16_t* port);
// address points to four bytes in network order; ":port" is added when port is not 0.
int64_t String_ConvertFromIP(const uint32_t* address, int32_t port, char* dst, int32_t capacity);
// A new random identifier in lower-case hexadecimal: style 1 "8-4-4-16" digits, else 32 digits.
int64_t String_Guid(char* dst, int32_t capacity, int32_t style);
// capacity - 1 random letters and digits; 0 (dst empty) when the random source fails.
int64_t String_Random(char* dst, int32_t capacity);
// value with decimals (0-8) decimals, trailing fraction zeros removed when trimZeros is 1 and
// thousands separated by ',' when group is 1. reserved has no effect.
int64_t String_NumberToString(char* dst, int32_t capacity, int32_t group, int32_t decimals, int32_t trimZeros,
                              int32_t reserved, double value);
// A size (mode 1) or rate (other modes; mode 3 in bits) with a K/M/G scale: unit 1024,
// 0x100000 or 0x40000000 forces one, 0 chooses, any other prints the whole number.
int64_t String_FormatMetric(char* dst, int32_t capacity, uint64_t value, uint32_t unit, int32_t mode);
// 1/0, TRUE/FALSE, YES/NO, ON/OFF in any case; empty text gives defaultValue and 1; anything
// else gives defaultValue and 0.
int64_t String_DecodeBoolean(const char* text, int64_t* value, int64_t defaultValue);
int64_t String_EncodeVersion(char* dst, int32_t capacity, int32_t a, int32_t b, int32_t c, int32_t d);
// "[v]a.b.c.d" ('.' or ','); any out-parameter may be null. 1 when the first three fields
// are all digits; the numbers read stay either way.
int64_t String_DecodeVersion(const char* text, int32_t* a, int32_t* b, int32_t* c, int32_t* d);
// Prints the four numbers of versionText with format; returns String_DecodeVersion's result.
int64_t String_ConvertVersion(char* dst, int32_t capacity, const char* versionText, const char* format);
// result 1, -1 or 0 as a is greater, smaller or equal; 0 (result 0) when either is not valid.
int64_t String_CompareVersion(const char* a, const char* b, int32_t* result);
