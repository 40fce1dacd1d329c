// The process-wide levelled log: stamped lines to the console, the log file and an optional
// print callback, log-file naming per day, process and thread, and the verbose filter.
#pragma once

#include <cstdarg>
#include <cstdint>

enum : uint32_t {
    LOG_LEVEL_ERROR = 0,
    LOG_LEVEL_WARNING = 1,
    LOG_LEVEL_INFO = 2,
    LOG_LEVEL_DEBUG = 3,
    LOG_LEVEL_NONE = 0xFFFFFFFF, // prints without a level name (the banner)
};

int64_t Log_PrintInt(uint32_t level, const char* file, int32_t line, int32_t indent, const char* format, ...);
int64_t Log_PrintVInt(uint32_t level, const char* file, int32_t line, int32_t indent, const char* format,
                      int32_t timeStamp, va_list args);
int64_t Log_PrintString(const char* text);
int64_t Log_PrintStringWithTimeStamp(const char* text);
int64_t Log_PrintFormat(const char* format, ...);
int64_t Log_IsEnabled();
int64_t Log_GetVerboseLevel(const char* name, int32_t* level);
int64_t Log_SetFilename(const char* name);
int64_t Log_GetFilename(char* buffer, int32_t capacity);
int64_t Log_Fork(const char* commandLine);
const char* Log_TranslateLevel(uint32_t level);
uint32_t Log_TranslateLevelString(const char* name);
int64_t Log_SetLevel(uint32_t level);
// Records the level and writes no line above it from now on (the user's --debug=LEVEL); 0 for a
// value that is no level. Log_Remove lifts the limit.
int64_t Log_LimitLevel(uint32_t level);
uint32_t Log_Level();
int64_t Log_WriteString(const char* text, int32_t errorLine, int32_t timeStamp);
// For a thread reporting a crash, when another thread may hold the log's lock: writes the whole
// line (level name included) straight to the console (standard error for an error line) and to the
// open log file, taking no lock and allocating nothing; no stamp, no print callback.
int64_t Log_WriteCrashLine(const char* text, int32_t errorLine);
int64_t Log_PrintBinary(int32_t mode, int32_t lineBreak, const void* data, int32_t length);
int64_t Log_PrintBits(uint32_t value, int32_t count);
int64_t Debug_GenericPrintCallback(void* user, const char* format, ...);

// Start and stop, run by Debug_Init and Debug_Remove.
int64_t Log_Init(const char* debugFileId);
int64_t Log_SetVerboseFilter(const char* value);
int64_t Log_Remove();
int64_t Log_IsStarted();
// With 1, ERROR lines also reach standard error whenever the console does not already show them
// (a program's user sees its errors without asking for a log).
int64_t Log_SetErrorsToStandardError(uint32_t on);

#define Log_Print(level, ...) Log_PrintInt((level), __FILE__, __LINE__, 0, __VA_ARGS__)
#define Log_Error(...) Log_PrintInt(LOG_LEVEL_ERROR, __FILE__, __LINE__, 0, __VA_ARGS__)
#define Log_Warning(...) Log_PrintInt(LOG_LEVEL_WARNING, __FILE__, __LINE__, 0, __VA_ARGS__)
#define Log_Info(...) Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, __VA_ARGS__)
#define Log_Debug(...) Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, __VA_ARGS__)
