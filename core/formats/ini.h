// INI text format: reads "key=value" lines and "[section]" headers into a bound Dictionary
// (sections become nested Dictionaries, every value a String) and writes a Dictionary back.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/platform/stream.h"
#include "core/runtime/class.h"

struct Dictionary;
struct Ini;

enum : uint32_t { INI_CLASS_ID = 0x438B69F6 };

// Longest line the reader takes, counted after escapes are resolved.
constexpr int32_t INI_MAX_LINE_LENGTH = 4098;

// Line ending "\r\n", no Dictionary bound.
int64_t Ini_Create(Ini** handle);
// Empties the bound Dictionary (as Ini_Reset), frees the object and nulls the handle.
int64_t Ini_Delete(Ini** handle);
int64_t Ini_AddRef(Ini* ini);
// Releases and nulls the handle; the last release deletes.
int64_t Ini_Release(Ini** handle);
int64_t Ini_GetInstanceId(Ini* ini, char* buffer, int32_t size);

// The Dictionary is not owned.
int64_t Ini_SetDictionaryHandle(Ini* ini, Dictionary* dict);
// The text written after every line; it is not copied, so it must outlive the object's use.
int64_t Ini_SetLineEnding(Ini* ini, const char* text);
// Empties the bound Dictionary.
int64_t Ini_Reset(Ini* ini);

// Reads the whole stream, adding to what the bound Dictionary holds. Stops with 0 at the first
// malformed line (a message names it); what was read before it stays.
int64_t Ini_LoadStream(Ini* ini, Stream* stream);
// "Unable to open file (%s)" is printed, when verbose, for a file that cannot be opened.
int64_t Ini_LoadFile(Ini* ini, const char* path);
// 0 when no Dictionary is bound or a write to the stream failed.
int64_t Ini_SaveStream(Ini* ini, Stream* stream);
// Replaces the file whole: a save that fails (0) leaves the old file as it was. "Unable to open
// file (%s)" is printed when the file cannot be opened.
int64_t Ini_SaveFile(Ini* ini, const char* path);
// Prints the bound Dictionary, one line per item, through the object's print channel.
int64_t Ini_Dump(Ini* ini);

int64_t Ini_Print(Ini* ini, const char* format, ...);
int64_t Ini_VPrint(Ini* ini, int32_t indent, const char* format, va_list args);
int64_t Ini_PrintTabbed(Ini* ini, int32_t indent, const char* format, ...);
int64_t Ini_VerboseLog(Ini* ini, int32_t level, const char* format, ...);
int64_t Ini_IsVerboseLevel(Ini* ini, int32_t level);
int64_t Ini_SetPrintCallback(Ini* ini, void* user, ClassPrintCallback callback);
int64_t Ini_GetPrintCallback(Ini* ini, void** user, ClassPrintCallback* callback);
int64_t Ini_SetPrintIdentifier(Ini* ini, const char* text);
int64_t Ini_SetVerbose(Ini* ini, uint32_t verbose);
int64_t Ini_GetVerbose(Ini* ini, uint32_t* verbose);
