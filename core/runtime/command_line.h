// The process command line, kept both as an argument vector and as one flat text, with the
// field and switch readers over such texts and the table of switches that belong to the core.
#pragma once

#include <cstdint>

// Size of the process command-line text, terminator included; longer texts are cut.
enum : int32_t { COMMAND_LINE_SIZE = 4096 };
// Longest argument that splitting a text produces; the split stops at an argument this long.
enum : int32_t { ARGUMENT_MAX_LENGTH = 8192 };
enum : int32_t { CORE_SWITCH_FILTER_COUNT = 18 };

// Argument vector. A vector handed over by main is borrowed; Arguments_Build vectors are owned
// by the caller and released with Arguments_Free. Built vectors carry a null after the last entry.
int64_t Arguments_Init(int32_t count, char** vector);
int64_t Arguments_Remove();
int64_t Arguments_Get(int32_t* count, char*** vector);
int64_t Arguments_Build(const char* text, int32_t* count, char*** vector);
// With a null vector only counts the arguments.
int64_t Arguments_BuildBySeparator(const char* text, int32_t* count, char*** vector);
int64_t Arguments_Free(int32_t* count, char*** vector);

// Process command-line text.
int64_t CommandLine_Init(const char* text);
int64_t CommandLine_InitWide(const uint16_t* text);
int64_t CommandLine_Remove();
int64_t CommandLine_Build(int32_t count, char** vector, char* buffer, int32_t capacity);
int64_t CommandLine_Append(const char* text);
int64_t CommandLine_Get(const char** text);

// Fields of a text; a null text means the process command line.
int64_t CommandLine_GetFieldCount(const char* text, int32_t* count);
int64_t CommandLine_GetField(const char* text, int32_t index, char* buffer, int32_t capacity);
int64_t CommandLine_GetFieldPtr(const char* text, int32_t index, const char** start);
// count may be null; when given it receives the number of fields of the whole text.
int64_t CommandLine_GetFieldBoundary(const char* text, int32_t index, int32_t* count, const char** start,
                                     const char** end);
int64_t CommandLine_GetFieldCleanAndCopy(const char* start, const char* end, char* buffer, int32_t capacity);
int64_t CommandLine_GetFieldByName(const char* text, const char* name, char* buffer, int32_t capacity);
int64_t CommandLine_IsFieldSet(const char* text, const char* name);
int64_t CommandLine_GetFieldName(const char* field, char* buffer, int32_t capacity);
int64_t CommandLine_GetFieldValue(const char* field, char* buffer, int32_t capacity);
int64_t CommandLine_GetFieldValuePtr(const char* field, const char** value);

// Switches of the core, which a second launch does not forward to the running instance.
extern const char* const Core_SwitchFilterTable[CORE_SWITCH_FILTER_COUNT];
int64_t Core_ShouldRemoveSwitch(const char* name);
