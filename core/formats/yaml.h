// YAML text format: a one-pass reader of block and flow mappings, sequences and scalars into a
// bound Dictionary, and a writer that prints a Dictionary back as block YAML.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/platform/stream.h"
#include "core/runtime/class.h"

struct Dictionary;
struct YAML;

enum : uint32_t { YAML_CLASS_ID = 0x52AD693A };

enum : uint32_t {
    YAML_ERROR_NONE = 0,
    YAML_ERROR_DOCUMENT_END = 1, // a "---" line after content, or a "..." line
    YAML_ERROR_ZERO_LENGTH = 2,
    YAML_ERROR_END_OF_STREAM = 3, // the text stopped inside a token
    YAML_ERROR_FIELD_TYPE = 4,    // too many nested collections
    YAML_ERROR_ESCAPE = 5,
    YAML_ERROR_SYNTAX = 6, // a line the reader cannot place, or bytes that are no UTF-8
    YAML_ERROR_TYPE = 7,
};

// Open levels at most, the document level counted: 31 nested collections load, a 32nd fails.
constexpr int32_t YAML_MAX_LEVELS = 32;
constexpr int32_t YAML_MAX_KEY_LENGTH = 318;

int64_t YAML_Create(YAML** handle);
// Frees the object and nulls the handle; the bound Dictionary is not touched.
int64_t YAML_Delete(YAML** handle);
int64_t YAML_AddRef(YAML* yaml);
// Releases and nulls the handle; the last release deletes.
int64_t YAML_Release(YAML** handle);
int64_t YAML_GetInstanceId(YAML* yaml, char* buffer, int32_t size);

// The Dictionary is not owned.
int64_t YAML_SetDictionaryHandle(YAML* yaml, Dictionary* dict);
int64_t YAML_GetDictionaryHandle(YAML* yaml, Dictionary** dict);
// Clears the error and empties the bound Dictionary.
int64_t YAML_Reset(YAML* yaml);
int64_t YAML_GetLastError(YAML* yaml, uint32_t* code);

// Loading resets first. A load answers 1 only when the whole text was read without error; on
// failure the Dictionary keeps what was read before the stop and the code tells why.
int64_t YAML_LoadStream(YAML* yaml, Stream* stream);
int64_t YAML_LoadStreamBuffered(YAML* yaml, Stream* stream);
int64_t YAML_LoadBuffer(YAML* yaml, const void* bytes, uint32_t length);
// "Unable to open file (%s)" is logged when the file cannot be opened.
int64_t YAML_LoadFile(YAML* yaml, const char* path);
// Reads the whole stream into the bound Dictionary; answers 0 when the scan has ended (the error
// code tells how).
int64_t YAML_Scan(YAML* yaml, Stream* stream);

// 0 when no Dictionary is bound or a write failed.
int64_t YAML_SaveStream(YAML* yaml, Stream* stream);
// Replaces the file whole: a save that fails leaves the old file as it was.
int64_t YAML_SaveFile(YAML* yaml, const char* path);
// No terminator is added; *length is the number of bytes written.
int64_t YAML_SaveBuffer(YAML* yaml, void* buffer, uint32_t capacity, uint32_t* length);
int64_t YAML_SaveBufferEstimate(YAML* yaml, uint32_t* length);

int64_t YAML_Print(YAML* yaml, const char* format, ...);
int64_t YAML_VPrint(YAML* yaml, int32_t indent, const char* format, va_list args);
int64_t YAML_PrintTabbed(YAML* yaml, int32_t indent, const char* format, ...);
int64_t YAML_VerboseLog(YAML* yaml, int32_t level, const char* format, ...);
int64_t YAML_IsVerboseLevel(YAML* yaml, int32_t level);
int64_t YAML_SetPrintCallback(YAML* yaml, void* user, ClassPrintCallback callback);
int64_t YAML_GetPrintCallback(YAML* yaml, void** user, ClassPrintCallback* callback);
int64_t YAML_SetPrintIdentifier(YAML* yaml, const char* text);
int64_t YAML_SetVerbose(YAML* yaml, uint32_t verbose);
int64_t YAML_GetVerbose(YAML* yaml, uint32_t* verbose);
// The default print callback: one DEBUG log line.
int64_t YAML_PrintInternal(void* user, const char* format, ...);
