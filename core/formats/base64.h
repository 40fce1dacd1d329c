// Buffer-to-buffer Base64 (standard and URL-safe alphabets), its size calculators, the Base64
// keys of the macro expander and Base64Stream, a layered stream that encodes on read and decodes
// on write.
#pragma once

#include <cstdint>

#include "core/platform/stream.h"
#include "core/runtime/class.h"

// Standard padded Base64; 1 when every byte and its padding were written, 0 when the capacity
// ran out (written then counts the whole groups that fit). Terminated when room is left.
int64_t Base64_Encode(const void* bytes, int32_t length, char* text, int32_t capacity, uint32_t* written);
// Decodes NUL-terminated text (length is not used); 1 when the text ends at a group boundary.
// Writes at most capacity - 1 bytes and a 0 byte after the decoded ones.
int64_t Base64_Decode(const char* text, int32_t length, uint8_t* bytes, int32_t capacity, uint32_t* decoded);
// URL-safe alphabet ('-', '_') without padding.
int64_t Base64_UrlEncode(const void* bytes, int32_t length, char* text, int32_t capacity, uint32_t* written);
// URL-safe text of length characters (up to its NUL when shorter or when length is negative).
int64_t Base64_UrlDecode(const char* text, int32_t length, uint8_t* bytes, int32_t capacity,
                         uint32_t* decoded);
// Capacity for the text of count bytes with its terminator; 0 when it exceeds a 32-bit capacity.
int64_t Base64_CalculateEncodeSize(uint32_t count, uint32_t* size);
// Capacity that Base64_Decode needs for count characters, its margin included.
int64_t Base64_CalculateDecodeSize(uint32_t count, uint32_t* size);

// Macro key provider: "FromBase64", "Base64Decode", "ToBase64", "Base64Encode", "Base64ToHex",
// "HexToBase64", "ToBase64Url", "Base64UrlEncode", "FromBase64Url", "Base64UrlDecode".
int64_t Base64_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity);

enum : uint32_t { BASE64_STREAM_CLASS_ID = 0x2448FAA3 };

struct Base64Stream;

int64_t Base64Stream_Create(Base64Stream** handle);
int64_t Base64Stream_Delete(Base64Stream** handle);
int64_t Base64Stream_AddRef(Base64Stream* stream);
int64_t Base64Stream_Release(Base64Stream** handle);
int64_t Base64Stream_GetInstanceId(Base64Stream* stream, char* buffer, int32_t size);
// The stream read from and written to; both coders start afresh.
int64_t Base64Stream_SetBaseStreamHandle(Base64Stream* stream, Stream* base);
int64_t Base64Stream_GetStreamHandle(Base64Stream* stream, Stream** handle);

// Base64 text of the base stream's bytes, whole groups of 4 characters only; the final 1 or 2
// bytes are written with padding once the base stream ends. 1 when text came or the base
// stream ended cleanly, 0 when it cannot be read.
int64_t Base64Stream_Read(Base64Stream* stream, void* buffer, uint32_t size, uint32_t* read);
// Decodes text and writes the bytes to the base stream in one write; characters outside the
// alphabet are skipped, '=' ends the current group, a group may span calls. At most 1024 bytes
// per call: written counts the characters consumed.
int64_t Base64Stream_Write(Base64Stream* stream, const void* buffer, uint32_t size, uint32_t* written);
// Absolute positions only (a non-zero offset needs origin 0); both coders start afresh.
int64_t Base64Stream_Seek(Base64Stream* stream, int64_t offset, SeekOrigin origin);
int64_t Base64Stream_Flush(Base64Stream* stream);
int64_t Base64Stream_Tell(Base64Stream* stream, uint64_t* position);
int64_t Base64Stream_Length(Base64Stream* stream, uint64_t* length);
int64_t Base64Stream_IsOpen(Base64Stream* stream);
int64_t Base64Stream_Close(Base64Stream* stream);
