// Conversions between the system's UTF-8 text and 16-bit, 32-bit, Windows-1252 and locale text,
// single characters, numeric and named character references, and a 16-bit string library.
#pragma once

#include <cstdint>

// Encodings: UTF-8 is read and written in its six-byte form (values up to 0x7FFFFFFF); 16-bit
// text holds one unit per character, without surrogate pairing; 32-bit text one unit per
// character. A character beyond 0xFFFF becomes 0xFFFD in 16-bit text, never another character.
//
// Capacities count units of the target and include the terminator. A conversion to UTF-8 always
// keeps a unit for the terminator; a conversion from UTF-8 (or 32-bit text) to 16-bit or 32-bit
// text that fills its whole capacity is NOT terminated: give room for the whole text plus one
// when a terminated result is needed (the Create operations do). A null text or buffer stops the
// process ("Pointer is NULL\n"). Create operations allocate with malloc; their Delete frees.

// ---- Tables ----------------------------------------------------------------------------------

// Sequence length by lead byte: 1 for ASCII, stray continuation bytes, 0xFE and 0xFF.
extern const uint8_t Utf8LengthTable[256];
// Value bits of a lead byte by sequence length (index 0 unused).
extern const uint8_t Utf8Mask[8];
// Code points of the Windows-1252 bytes 0x80-0x9F; 0 where the code page defines none (those
// bytes stand for the code point of the same value).
extern const uint16_t Ansi80Utf16Table[32];

struct HtmlEntity {
    uint16_t Code;
    const char* Name;
};
enum : int32_t { HTML_ENTITY_COUNT = 255, HTML_ENTITY_NAME_MAX = 31 };
// Named character references, then the line-break forms (code 0x0A) and the empty name (0x0D).
extern const HtmlEntity HtmlEntityTable[HTML_ENTITY_COUNT];

// ---- Single characters -----------------------------------------------------------------------

// The Utf8LengthTable entry of the byte at `lead`.
int32_t CharUtf8_Length(const char* lead);

// Decodes one UTF-8 character into a 16-bit unit. A stray continuation byte, 0xFE, 0xFF, an
// overlong form and a character beyond 0xFFFF give 0xFFFD (never the character an overlong form
// imitates); `length` receives the bytes taken. A lead byte not followed by enough continuation
// bytes (a NUL ends them) is invalid: result 0, unit 0xFFFD, `length` the bytes before the one that
// broke the sequence. Never reads past a NUL.
int64_t CharUtf8_ConvertToUtf16(const char* source, uint16_t* unit, int32_t* length);

// The same into a full code point, reading at most `available` bytes (a NUL also ends them):
// characters above 0xFFFF keep their value here. Result 1 when a character (or the 0xFFFD that
// replaces a stray byte or an overlong form) was decoded, 0 for a cut or broken sequence.
int64_t CharUtf8_ConvertToUtf32(const char* source, int32_t available, uint32_t* codePoint, int32_t* length);

// UTF-8 length of a code point: 1 to 6, 0 above 0x7FFFFFFF.
int32_t CharUtf64_LengthUtf8(uint64_t codePoint);

// Writes the UTF-8 form of `codePoint` when it fits in `capacity` bytes (no terminator); when it
// does not fit nothing is written, `length` is 0 and the result is still 1. 0 above 0x7FFFFFFF.
int64_t CharUtf64_CopyToUtf8(uint64_t codePoint, char* target, int32_t capacity, int32_t* length);

// UTF-8 length (1, 2 or 3) of the code point of a Windows-1252 byte.
int32_t CharAnsi_LengthUtf8(uint8_t byte);
// Writes the code point of a Windows-1252 byte as CharUtf64_CopyToUtf8 does.
int64_t CharAnsi_CopyToUtf8(uint8_t byte, char* target, int32_t capacity, int32_t* length);

// ---- UTF-8 source ----------------------------------------------------------------------------

// Number of characters: a lead byte and the continuation bytes that follow it (at most as many
// as its table length asks) count as one; a stray continuation byte counts alone.
int32_t StringUtf8_Length(const char* text);

// Bytes at the start of text[0, length) that are strict UTF-8: no overlong form, no surrogate,
// nothing above U+10FFFF and no sequence cut by the end (a NUL byte is U+0000 here). The whole
// length when all of it is; 0 and nothing read when length < 1.
int32_t StringUtf8_ValidLength(const char* text, int32_t length);

// Decodes source[0..lastIndex] into 16-bit units. A broken sequence ends the conversion: the
// terminator goes where its unit would have gone. Filling the whole capacity leaves the result
// unterminated (see above). lastIndex < 0 gives the empty text; capacity < 1 writes nothing.
// Returns the units written, without a terminator.
int32_t StringUtf8_CopyLengthToUtf16(uint16_t* target, int32_t capacity, const char* source,
                                     int32_t lastIndex);
int32_t StringUtf8_CopyToUtf16(uint16_t* target, const char* source, int32_t capacity);
// The same into 32-bit units, each holding the whole code point.
int32_t StringUtf8_CopyLengthToUtf32(uint32_t* target, int32_t capacity, const char* source,
                                     int32_t lastIndex);
int32_t StringUtf8_CopyToUtf32(uint32_t* target, const char* source, int32_t capacity);

// Allocates `capacity` units and converts the source into them, always terminated (at most
// capacity - 1 characters). 0 (and a null pointer) when capacity < 1 or the allocation fails.
int64_t StringUtf8_CreateUtf16Length(const char* source, int32_t capacity, uint16_t** target);
// capacity = byte length + 1, which always holds the whole text.
int64_t StringUtf8_CreateUtf16(const char* source, uint16_t** target);
int64_t StringUtf8_CreateWideLength(const char* source, int32_t capacity, uint32_t** target);
int64_t StringUtf8_CreateWide(const char* source, uint32_t** target);
// Free and clear the caller's pointer; a null pointer is accepted.
int64_t StringUtf8_DeleteUtf16(uint16_t** text);
int64_t StringUtf8_DeleteWide(uint32_t** text);

// Converts `byteCount` bytes (a NUL ends them earlier) of locale multibyte text to 16-bit units
// through the platform layer. The first unit is set to 0 first; 0 (empty target) when the text is
// invalid or needs more than capacity - 1 units; else the units written, always terminated.
int32_t String_CopyLengthToUtf16(uint16_t* target, int32_t capacity, const char* source, int32_t byteCount);
int32_t String_CopyToUtf16(uint16_t* target, const char* source, int32_t capacity);

// Copies the source, writing each non-ASCII character as "&#<code point>;". A broken sequence,
// or a reference that does not fit whole, ends the text there. Always terminated; returns 1.
int64_t StringUtf8_EncodeString(const char* source, char* target, int32_t capacity);
// Turns "&#<decimal>;" (also "##<decimal>;") back into UTF-8; anything else, including an "&#"
// without digits and ";", is copied. A character that does not fit whole ends the text there;
// 0 and values above 0x10FFFF become U+FFFD. Always terminated; returns 1.
int64_t StringUtf8_DecodeString(const char* source, char* target, int32_t capacity);
// Decodes named references (HtmlEntityTable) and numeric ones ("&#65;", "&#x41;"), dropping CR
// and LF. Numeric values 0, surrogates and above 0x10FFFF become U+FFFD. 1 when the whole source
// was decoded, 0 when the target filled first (the text so far, terminated, never a cut
// character); capacity < 1 writes nothing and gives 0.
int64_t StringUtf8_DecodeHtml(const char* source, char* target, int32_t capacity);

// ---- 16-bit source ---------------------------------------------------------------------------

int32_t StringUtf16_Length(const uint16_t* text);
// UTF-8 length of the text: 1 per unit below 0x80, 2 below 0x800, else 3.
int32_t StringUtf16_LengthUtf8(const uint16_t* text);
// Encodes `count` units into at most capacity - 1 bytes and terminates; a unit that does not fit
// is skipped (a later shorter one may still fit). Returns the bytes written.
int32_t StringUtf16_CopyLengthToUtf8(char* target, int32_t capacity, const uint16_t* source, int32_t count);
int32_t StringUtf16_CopyToUtf8(char* target, const uint16_t* source, int32_t capacity);
// The same for units stored in the opposite byte order.
int32_t StringUtf16_ESCopyLengthToUtf8(char* target, int32_t capacity, const uint16_t* source, int32_t count);
// Allocates `size` bytes and converts (always terminated); 0 when size < 1 or allocation fails.
int64_t StringUtf16_CreateUtf8Length(const uint16_t* source, int32_t size, char** target);
int64_t StringUtf16_CreateUtf8(const uint16_t* source, char** target);
int64_t StringUtf16_DeleteUtf8(char** text);
// Converts `count` units (a 0 unit ends them earlier) to the locale multibyte encoding through
// the platform layer. The first byte is set to 0 first; 0 (empty target) when a unit has no form
// there or the result needs more than capacity - 1 bytes; else the bytes written, terminated.
int32_t StringUtf16_CopyLengthToAscii(char* target, int32_t capacity, const uint16_t* source, int32_t count);
int32_t StringUtf16_CopyToAscii(char* target, const uint16_t* source, int32_t capacity);
// StringUtf8_DecodeHtml on 16-bit text, writing units (numeric values above 0xFFFF give 0xFFFD).
int64_t StringUtf16_DecodeHtml(const uint16_t* source, uint16_t* target, int32_t capacity);

// ---- 32-bit source ---------------------------------------------------------------------------

int32_t StringUtf32_Length(const uint32_t* text);
// Sum of CharUtf64_LengthUtf8 over the text; 0 when any unit is 0x80000000 or above.
int32_t StringUtf32_LengthUtf8(const uint32_t* text);
// As StringUtf16_CopyLengthToUtf8; stops at a unit that has no UTF-8 form.
int32_t StringUtf32_CopyLengthToUtf8(char* target, int32_t capacity, const uint32_t* source, int32_t count);
// Encodes the text and its terminating 0 (as one 0 byte, counted in the result).
int32_t StringUtf32_CopyToUtf8(char* target, const uint32_t* source, int32_t capacity);
// Stores source[0..lastIndex] as 16-bit units (above 0xFFFF: 0xFFFD), with the termination rule
// of StringUtf8_CopyLengthToUtf16.
int32_t StringUtf32_CopyLengthToUtf16(uint16_t* target, int32_t capacity, const uint32_t* source,
                                      int32_t lastIndex);
int32_t StringUtf32_CopyToUtf16(uint16_t* target, const uint32_t* source, int32_t capacity);
// Allocates `count` zeroed units; 0 when count < 1 or the allocation fails.
int64_t WideString_CreateLength(int32_t count, uint32_t** text);
int64_t WideString_CreateUtf8Length(const uint32_t* source, int32_t size, char** target);
int64_t WideString_CreateUtf8(const uint32_t* source, char** target);
int64_t WideString_DeleteLength(uint32_t** text);
int64_t WideString_DeleteUtf8(char** text);

// ---- Windows-1252 source ---------------------------------------------------------------------

int32_t StringAnsi_LengthUtf8(const char* text);
// As StringUtf16_CopyLengthToUtf8, byte by byte.
int32_t StringAnsi_CopyLengthToUtf8(char* target, int32_t capacity, const char* source, int32_t count);
int32_t StringAnsi_CopyToUtf8(char* target, const char* source, int32_t capacity);
int64_t StringAnsi_CreateUtf8Length(const char* source, int32_t size, char** target);
int64_t StringAnsi_CreateUtf8(const char* source, char** target);
int64_t StringAnsi_DeleteUtf8(char** text);

// ---- 16-bit string library -------------------------------------------------------------------
// Case folding touches A-Z only. Searches return 1 and the position through pos (when given),
// else 0 and a null position.

// Copies the whole text; returns the units copied.
int32_t StringUtf16_Copy(uint16_t* target, const uint16_t* source);
// Copies at most capacity - 1 units and terminates (capacity < 1: nothing). Units copied.
int32_t StringUtf16_CopyLength(uint16_t* target, const uint16_t* source, int32_t capacity);
// Appends; CatLength keeps the whole target within capacity (a target without a terminator
// inside its capacity is left alone). Units appended.
int32_t StringUtf16_Cat(uint16_t* target, const uint16_t* source);
int32_t StringUtf16_CatLength(uint16_t* target, const uint16_t* source, int32_t capacity);
int64_t StringUtf16_FindChar(const uint16_t* text, uint16_t unit, const uint16_t** pos);
int64_t StringUtf16_FindCharReverse(const uint16_t* text, uint16_t unit, const uint16_t** pos);
// Searches from index start (at most the last unit) down to 0; nothing for an empty text or a
// negative start.
int64_t StringUtf16_FindCharReverseAt(const uint16_t* text, uint16_t unit, int32_t start,
                                      const uint16_t** pos);
// First position where text begins with sub; an empty text finds nothing.
int64_t StringUtf16_FindString(const uint16_t* text, const uint16_t* sub, const uint16_t** pos);
int64_t StringUtf16_FindStringWithoutCase(const uint16_t* text, const uint16_t* sub, const uint16_t** pos);
int64_t StringUtf16_CompareBeginning(const uint16_t* text, const uint16_t* prefix);
int64_t StringUtf16_CompareBeginningWithoutCase(const uint16_t* text, const uint16_t* prefix);
int64_t StringUtf16_Compare(const uint16_t* a, const uint16_t* b);
int64_t StringUtf16_CompareWithoutCase(const uint16_t* a, const uint16_t* b);
// 1 when the first n units are equal (a common terminator ends them); n < 1 gives 1.
int64_t StringUtf16_CompareLength(const uint16_t* a, const uint16_t* b, int32_t n);
int64_t StringUtf16_CompareLengthWithoutCase(const uint16_t* a, const uint16_t* b, int32_t n);
// 1 when the shorter of a and b is the tail of the longer.
int64_t StringUtf16_CompareEnding(const uint16_t* a, const uint16_t* b);
int64_t StringUtf16_CompareEndingWithoutCase(const uint16_t* a, const uint16_t* b);
// '*' matches any run of units; there is no single-unit wildcard. caseless 1 folds A-Z.
int64_t StringUtf16_CompareWildcardInt(const uint16_t* text, const uint16_t* pattern, int32_t caseless);
int64_t StringUtf16_CompareWildcard(const uint16_t* text, const uint16_t* pattern);
int64_t StringUtf16_CompareWildcardWithoutCase(const uint16_t* text, const uint16_t* pattern);
int64_t StringUtf16_Reverse(uint16_t* text);
// Optional '+' or '-', then decimal digits up to the first other unit (wrapping on overflow).
int64_t StringUtf16_AtoI64(const uint16_t* text);
int32_t StringUtf16_AtoI(const uint16_t* text);
