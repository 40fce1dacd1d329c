// JSON text format: a streaming scanner that reads JSON text into a bound Dictionary (or only
// reports each value to a callback), and a writer that prints a Dictionary as JSON text.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/platform/stream.h"
#include "core/runtime/class.h"

struct Dictionary;
struct JSON;

// Shared with the XML object.
enum : uint32_t { JSON_CLASS_ID = 0xC9B82F72 };

enum JsonValueType : uint32_t {
    JSON_VALUE_NONE = 0,
    JSON_VALUE_STRING = 1,
    JSON_VALUE_NUMBER = 2,
    JSON_VALUE_OBJECT = 3,
    JSON_VALUE_ARRAY = 4,
    JSON_VALUE_BOOLEAN = 5,
    JSON_VALUE_NULL = 6,
};

enum : uint32_t {
    JSON_ERROR_NONE = 0,
    JSON_ERROR_ZERO_LENGTH = 1,
    JSON_ERROR_UNKNOWN_LENGTH = 2,
    JSON_ERROR_TYPE = 3,
    JSON_ERROR_FIELD_TYPE = 4,
    JSON_ERROR_STRING = 5,
    JSON_ERROR_INTEGER = 6,
    JSON_ERROR_BOOLEAN = 7,
    JSON_ERROR_NULL = 8,
    JSON_ERROR_DECODE_SIGNATURE = 9,
    JSON_ERROR_AUTHENTICATE = 10,
    JSON_ERROR_BUILD = 11,
};

// Open containers at most (a 32nd opening fails), and the longest object key in characters.
constexpr int32_t JSON_MAX_DEPTH = 32;
constexpr int32_t JSON_MAX_KEY_LENGTH = 318;

struct JsonErrorString {
    uint32_t Code;
    const char* Name;
};
extern const JsonErrorString JSON_ErrorStringTable[12];

// Answers nonzero to let the value be stored; 0 stops the load, after writing a nonzero code to
// *error, which becomes the object's error code.
typedef int64_t (*JsonValueCallback)(JSON* json, void* user, const char* path, uint32_t type,
                                     const char* value, int32_t length, uint64_t streamPosition,
                                     int32_t nodePosition, int32_t nodeSize, uint32_t* error);

int64_t JSON_Create(JSON** handle);
int64_t JSON_Delete(JSON** handle);
int64_t JSON_AddRef(JSON* json);
// Releases and nulls the handle; the last release deletes.
int64_t JSON_Release(JSON** handle);
int64_t JSON_GetInstanceId(JSON* json, char* buffer, int32_t size);

int64_t JSON_SetDictionaryHandle(JSON* json, Dictionary* dict);
int64_t JSON_GetDictionaryHandle(JSON* json, Dictionary** dict);
int64_t JSON_SetValueCallback(JSON* json, void* user, JsonValueCallback callback);
int64_t JSON_SetMinify(JSON* json, uint32_t value);
int64_t JSON_GetMinify(JSON* json, uint32_t* value);
int64_t JSON_SetPrivateKeys(JSON* json, uint32_t value);
int64_t JSON_GetPrivateKeys(JSON* json, uint32_t* value);
int64_t JSON_SetLastError(JSON* json, uint32_t code);
int64_t JSON_GetLastError(JSON* json, uint32_t* code);
const char* JSON_TranslateError(uint32_t code);
int64_t JSON_Reset(JSON* json);

// Loading resets the object and empties the bound Dictionary first. The load succeeds only when
// the whole first value of the text was read without error.
int64_t JSON_LoadStream(JSON* json, Stream* stream);
int64_t JSON_LoadStreamBuffered(JSON* json, Stream* stream);
int64_t JSON_LoadBuffer(JSON* json, const void* bytes, uint32_t length);
int64_t JSON_LoadString(JSON* json, const char* format, ...);
int64_t JSON_LoadStringV(JSON* json, const char* format, va_list args);

// "Unable to open file (%s)" is printed when the file cannot be opened. A save replaces the file
// whole: a save that fails leaves the file as it was.
int64_t JSON_LoadFile(JSON* json, const char* path);
int64_t JSON_SaveFile(JSON* json, const char* path);

int64_t JSON_SaveStream(JSON* json, Stream* stream);
// No terminator is added; *length is the number of bytes written.
int64_t JSON_SaveBuffer(JSON* json, void* buffer, uint32_t capacity, uint32_t* length);
int64_t JSON_SaveBufferEstimate(JSON* json, uint32_t* length);

// The component after `depth` backslash-separated components of a value path.
int64_t JSON_GetKeyByDepth(const char* path, int32_t depth, char* buffer, int32_t capacity);
// Scans the stream; answers 1 while more input may follow, 0 when the scan ended.
int64_t JSON_Scan(JSON* json, Stream* stream, uint32_t* consumed);

// The scanner's steps, usable by a caller that drives the scanner itself. Each one that fails
// records its error code and ends the scan.
// Opens a value of `type` at the current depth after checking the comma; `c` is the character that
// opened it, printed in messages. A container is raised at once and the depth grows; a 32nd
// container fails with code 4 and a type outside 1 to 6 with code 3.
int64_t JSON_PushType(JSON* json, uint32_t type, char c);
// Closes the scalar open at the current depth (it becomes the pending key of an object, or is
// raised), or when none is open the innermost container (code 4 when there is none).
int64_t JSON_PopType(JSON* json);
// 0, after logging "Comma expected", when a value was just completed and no comma followed it.
int64_t JSON_ValidateComma(JSON* json, char c);
// The path of a value at the current depth: the keys (element indices inside arrays) of the open
// containers joined by backslashes, cut to capacity - 1 and at most 1023 characters.
int64_t JSON_GetPath(JSON* json, char* buffer, int32_t capacity);
// Reports a completed value to the log and the value callback, then stores it in the receiving
// dictionary under the pending key. A null path is built with JSON_GetPath when needed.
int64_t JSON_RaiseValue(JSON* json, const char* path, uint32_t type, const char* value, int32_t length,
                        uint64_t streamPosition);
// Appends one byte to the value buffer, which stays NUL-terminated.
int64_t JSON_BufferConcat(JSON* json, char c);
// Raises the buffered scalar as a value of `type`, sets the value-complete flag and empties the buffer.
int64_t JSON_BufferFlush(JSON* json, uint32_t type);

int64_t JSON_Print(JSON* json, const char* format, ...);
int64_t JSON_VPrint(JSON* json, int32_t indent, const char* format, va_list args);
int64_t JSON_PrintTabbed(JSON* json, int32_t indent, const char* format, ...);
int64_t JSON_VerboseLog(JSON* json, int32_t level, const char* format, ...);
int64_t JSON_IsVerboseLevel(JSON* json, int32_t level);
int64_t JSON_SetPrintCallback(JSON* json, void* user, ClassPrintCallback callback);
int64_t JSON_GetPrintCallback(JSON* json, void** user, ClassPrintCallback* callback);
int64_t JSON_SetPrintIdentifier(JSON* json, const char* text);
int64_t JSON_SetVerbose(JSON* json, uint32_t verbose);
int64_t JSON_GetVerbose(JSON* json, uint32_t* verbose);
