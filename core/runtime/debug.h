// Process-wide debug state: flags, start-up and shutdown of the core, and the single
// fatal-error path that every module takes on a programming error.
#pragma once

#include <cstdarg>
#include <cstdint>

// DebugFlags bits.
enum : uint32_t {
    DEBUG_FLAG_CONSOLE = 0x1,          // log lines to the console
    DEBUG_FLAG_FILE = 0x2,             // log lines to the log file
    DEBUG_FLAG_VERBOSE_ALL = 0x4,      // every class verbose at level 8
    DEBUG_FLAG_APPEND = 0x8,           // append to the log file on first open
    DEBUG_FLAG_CMDLINE = 0x10,         // command-line mode (stored for the host)
    DEBUG_FLAG_ERROR_FILE = 0x40,      // error lines also go to "<log>.err"
    DEBUG_FLAG_PER_DAY = 0x80,         // date suffix in the log file name
    DEBUG_FLAG_PER_THREAD = 0x100,     // thread suffix; console only from the main thread
    DEBUG_FLAG_PER_PROCESS = 0x200,    // process suffix in the log file name
    DEBUG_FLAG_MEMORY_REPORT = 0x400,  // log every allocation and free
    DEBUG_FLAG_EXTERNAL_PRINT = 0x800, // logging enabled for the print callback alone
    DEBUG_FLAG_MEMORY_TEST = 0x4000,   // full memory check on every allocation and free
    DEBUG_FLAG_COMMIT = 0x10000,       // flush the log file after every line
    DEBUG_FLAG_MEMORY_TRACKING = 0x20000,
    DEBUG_FLAG_DESKTOP_LOG = 0x40000,  // log file on the user's desktop
};

typedef uint32_t (*DebugFlagsOverrideFunc)();
typedef int64_t (*DebugPrintOverrideFunc)(const char* text);
typedef void (*DebugAbortHookFunc)(const char* file, int32_t line, const char* text);
typedef void (*DebugPrintCallbackFunc)(const char* text);
typedef void (*DebugConsoleControlFunc)(int32_t signal);

int64_t Debug_BuildInitFlags(uint32_t* flags, const char* commandLine);
int64_t Debug_Init(const char* logFileName, const char* version, uint32_t flags);
uint32_t Debug_Remove();
// The folder --debugdir named, as the log file is kept in it: expanded once and judged (a text
// written without macros is as written, relative or not). 1 with it; 0 with buffer empty when the
// log file is not kept in such a folder (no switch, no file log, refused) or it does not fit.
int64_t Debug_GetLogFolder(char* buffer, int32_t size);

uint32_t Debug_Flags();
int64_t Debug_SetFlags(uint32_t flags);
uint32_t Debug_ExitCode();
int64_t Debug_SetExitCode(uint32_t code);
// 1 once Debug_SetExitCode has run since Debug_Init, whatever code it set.
int64_t Debug_ExitCodeChosen();
uint32_t Debug_MainThreadId();
uint32_t Debug_ProcessId();
int64_t Debug_GetRevision(char* buffer, int32_t capacity);
int64_t Debug_IsBigEndian();
int64_t Debug_Fork(const char* commandLine);
// 1 between Debug_Init and Debug_Remove.
int64_t Debug_IsStarted();

// The formats are the system formatter's, not printf's (see string_print.h), so no format
// attribute: %lu reads 32 bits here.
[[noreturn]] void Debug_AbortInt(const char* file, int32_t line, const char* format, ...);
[[noreturn]] void Debug_AbortVInt(const char* file, int32_t line, const char* format, va_list args);

int64_t Debug_FlagsOverride(DebugFlagsOverrideFunc fn);
int64_t Debug_PrintOverride(DebugPrintOverrideFunc fn);
int64_t Debug_AbortOverride(DebugAbortHookFunc fn);
int64_t Debug_PrintCallback(DebugPrintCallbackFunc fn);
int64_t Debug_ConsoleControlOverride(DebugConsoleControlFunc fn);

// The hooks as installed (null when none); the log reads the print hooks.
DebugPrintOverrideFunc Debug_GetPrintOverride();
DebugPrintCallbackFunc Debug_GetPrintCallback();
DebugConsoleControlFunc Debug_GetConsoleControlOverride();

// Short forms that pass the caller's location.
#define Debug_Abort(...) Debug_AbortInt(__FILE__, __LINE__, __VA_ARGS__)

#define ASSERT_POINTER(p)                                                                      \
    do {                                                                                       \
        if ((p) == nullptr) Debug_AbortInt(__FILE__, __LINE__, "Pointer is NULL\n");           \
    } while (0)

// "Assertion failed (<condition>)\n<explanation>", the explanation a format with arguments.
#define ASSERT_MSG(cond, ...)                                                                  \
    do {                                                                                       \
        if (!(cond)) Debug_AbortInt(__FILE__, __LINE__, "Assertion failed (" #cond ")\n" __VA_ARGS__); \
    } while (0)
