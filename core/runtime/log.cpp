// The process-wide log: stamped, levelled lines to the console, the log file (named per day,
// debug file id, process and thread) and the print callback, and the verbose filter.
#include "core/runtime/log.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>

#include "core/linux/platform.h"
#include "core/linux/platform_private_directory.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"

namespace {

constexpr int32_t kNameSize = 1024;
constexpr int32_t kLineSize = 4096;
constexpr int32_t kMaxIndentSpaces = 2048;
constexpr int32_t kPatternSize = 40;
constexpr int32_t kFilterValueSize = 240;
constexpr int32_t kOpenAttempts = 10;
constexpr int32_t kRememberedFiles = 64;

const char* const kLevelNames[] = {"ERROR", "WARNING", "INFO", "DEBUG"};

struct VerboseEntry {
    char Pattern[kPatternSize];
    int32_t Negated;
    int32_t Level;
    VerboseEntry* Next;
};

struct LogState {
    bool Started = false;
    double StampTime = -1.0;
    char Stamp[80] = "";
    int32_t Fd = -1;
    void* Console = nullptr;
    char FileName[kNameSize] = "";
    char DebugFileId[kNameSize] = "";
    char OpenName[kNameSize] = "";
    VerboseEntry* Filter = nullptr;
    bool OpenFailed = false;
    uint32_t Level = LOG_LEVEL_DEBUG;
    // Set when the user named a level: lines above it are not written anywhere.
    bool LevelLimited = false;
    // Hashes of the file names opened so far: a file is truncated only on its first open in
    // this process, so switching between the log and its ".err" file never loses lines.
    uint32_t Opened[kRememberedFiles] = {};
    int32_t OpenedCount = 0;
};

LogState g_log;
std::atomic<uint32_t> g_errorsToStderr{0};
// The open log file's descriptor, readable without the lock by a thread reporting a crash (-1 when
// none is open). Cleared before the file is closed.
std::atomic<int32_t> g_crashFd{-1};
// Set while an ERROR line is written: the console shows it on standard error, where a user and
// a script look for errors, not among the ordinary lines on standard output.
thread_local bool t_errorLine = false;

// The log lock exists for the whole life of the process: it must be there before the first
// line of Debug_Init and after the last line of Debug_Remove.
std::recursive_mutex& LogLock() {
    static std::recursive_mutex lock;
    return lock;
}

uint32_t NameHash(const char* name) {
    uint32_t h = 0x811C9DC5;
    for (const unsigned char* p = (const unsigned char*)name; *p; p++)
        h = (h ^ (uint32_t)((*p >= 'A' && *p <= 'Z') ? *p + 32 : *p)) * 0x01000193;
    return h;
}

bool OpenedBefore(const char* name) {
    uint32_t h = NameHash(name);
    for (int32_t i = 0; i < g_log.OpenedCount; i++)
        if (g_log.Opened[i] == h) return true;
    // Past the table's end every file is appended to: losing lines is worse than keeping old ones.
    if (g_log.OpenedCount == kRememberedFiles) return true;
    g_log.Opened[g_log.OpenedCount++] = h;
    return false;
}

void CloseFile() {
    g_crashFd.store(-1);
    if (g_log.Fd >= 0) Platform_Close(g_log.Fd);
    g_log.Fd = -1;
    g_log.OpenName[0] = 0;
}

void FreeFilter() {
    VerboseEntry* entry = g_log.Filter;
    g_log.Filter = nullptr;
    while (entry) {
        VerboseEntry* next = entry->Next;
        Memory_Free(entry, sizeof(VerboseEntry));
        entry = next;
    }
}

// One piece of output: the stamp (possibly empty) and the text, written with a single call where
// they fit the line buffer so that a line costs one system call.
struct Piece {
    const char* Stamp;
    const char* Text;
};

template <typename Write> void WritePiece(const Piece& piece, Write write) {
    const size_t stampLength = piece.Stamp ? strlen(piece.Stamp) : 0;
    const size_t textLength = strlen(piece.Text);
    char joined[kLineSize + 96];
    if (stampLength && stampLength + textLength <= sizeof(joined)) {
        memcpy(joined, piece.Stamp, stampLength);
        memcpy(joined + stampLength, piece.Text, textLength);
        write(joined, (int32_t)(stampLength + textLength));
        return;
    }
    if (stampLength) write(piece.Stamp, (int32_t)stampLength);
    write(piece.Text, (int32_t)textLength);
}

void WriteConsole(const Piece& piece, uint32_t flags) {
    if (!Debug_IsStarted() || !g_log.Started) return;
    if ((flags & DEBUG_FLAG_PER_THREAD) && Platform_ThreadGetCurrentId() != Debug_MainThreadId()) return;
    void* console = t_errorLine ? Platform_GetStdHandle(2) : g_log.Console ? g_log.Console : Platform_GetStdHandle(1);
    WritePiece(piece, [console](const char* data, int32_t length) {
        int32_t written = 0;
        Platform_WriteStd(console, data, length, &written);
    });
}

// What the file name of a line depends on; the name is rebuilt only when this changes.
struct NameKey {
    uint32_t Generation; // bumped whenever the log file name or the debug file id changes
    uint32_t Flags;
    bool ErrorFile;
    uint32_t Thread;
    int64_t Day;
    bool operator==(const NameKey&) const = default;
};

uint32_t g_nameGeneration = 1;
NameKey g_cachedKey = {};
char g_cachedName[kNameSize] = "";

// The file a line goes to under the current flags, or false when it goes to none.
bool ComputeFileName(const char** name, bool error, uint32_t flags, double now) {
    *name = nullptr;
    if (!g_log.FileName[0]) return false;
    const bool errorFile = error && (flags & DEBUG_FLAG_ERROR_FILE);
    if (!errorFile && !(flags & DEBUG_FLAG_FILE)) return false;
    NameKey key = {g_nameGeneration, flags & (DEBUG_FLAG_PER_DAY | DEBUG_FLAG_PER_THREAD | DEBUG_FLAG_PER_PROCESS),
                   errorFile, 0, 0};
    if (!errorFile) {
        if ((flags & DEBUG_FLAG_PER_THREAD) && Platform_ThreadGetCurrentId() != Debug_MainThreadId())
            key.Thread = Platform_ThreadGetCurrentId();
        if (flags & DEBUG_FLAG_PER_DAY) key.Day = (int64_t)(now / 86400.0);
    }
    *name = g_cachedName;
    if (key == g_cachedKey) return true;
    g_cachedKey = key;

    // Built whole in a larger buffer: a name that does not fit is refused (left empty), never cut,
    // which could drop the extension or the process number and mix the lines of two files.
    char out[kNameSize * 3];
    const int32_t capacity = sizeof(out);
    g_cachedName[0] = 0;
    if (errorFile) {
        String_Print(out, capacity, "%s.err", g_log.FileName);
    } else {
        char base[kNameSize];
        String_CopyLength(base, g_log.FileName, sizeof(base));
        char extension[kNameSize] = ".log";
        const char* dot = nullptr;
        String_FindCharReverse(base, '.', &dot);
        const char* slash1 = strrchr(base, '/');
        const char* slash2 = strrchr(base, '\\');
        const char* slash = slash1 > slash2 ? slash1 : slash2;
        if (dot && (!slash || dot > slash)) {
            String_CopyLength(extension, dot, sizeof(extension));
            base[dot - base] = 0;
        }
        String_CopyLength(out, base, capacity);
        if (flags & DEBUG_FLAG_PER_DAY) {
            uint8_t hour, minute, second, month, day;
            uint32_t year;
            // Dots, never slashes: the date is part of a file name.
            if (Time_GetDecoded(&hour, &minute, &second, &month, &day, &year, now))
                String_PrintCat(out, capacity, ".%.2d.%.2d.%d", (int32_t)month, (int32_t)day, (int32_t)year);
        }
        if (g_log.DebugFileId[0]) String_PrintCat(out, capacity, ".%s", g_log.DebugFileId);
        if (flags & DEBUG_FLAG_PER_PROCESS) String_PrintCat(out, capacity, ".P%u", Debug_ProcessId());
        if (key.Thread) String_PrintCat(out, capacity, ".T%u", key.Thread);
        String_PrintCat(out, capacity, "%s", extension);
    }
    if (strlen(out) < sizeof(g_cachedName)) memcpy(g_cachedName, out, strlen(out) + 1);
    return true;
}

// The log file's name as an absolute path, for the walk from the root that reaches its folder.
bool AbsoluteName(const char* name, char* out, int32_t capacity) {
    if (name[0] == '/') {
        String_CopyLength(out, name, capacity);
        return strlen(name) < (size_t)capacity;
    }
    char current[kNameSize];
    if (!Platform_GetCurrentDirectory(current, sizeof(current))) return false;
    const size_t length = strlen(current);
    const char* separator = length && current[length - 1] == '/' ? "" : "/";
    return String_Print(out, capacity, "%s%s%s", current, separator, name) < capacity - 1;
}

// The log's folder, made private when missing, by the walk that opens the file later.
void MakeLogFolder(const char* name) {
    char folder[kNameSize + 256];
    if (!AbsoluteName(name, folder, sizeof(folder))) return;
    char* slash = strrchr(folder, '/');
    if (!slash || slash == folder) return;
    *slash = 0;
    int32_t fd = -1, error = 0;
    const char* reason = nullptr;
    if (Platform_OpenPrivateDirectory(folder, 0, &fd, &error, &reason) ||
        (error == ENOENT && Platform_OpenPrivateDirectory(folder, 1, &fd, &error, &reason)))
        Platform_Close(fd);
}

void WriteStandardError(const char* data, int32_t length) {
    int32_t written = 0;
    Platform_WriteStd(Platform_GetStdHandle(2), data, length, &written);
}

// Opens the log file inside a folder of the user's own, reached from the root without following
// another user's link or passing a folder others can change, so that no other user chooses where
// the log goes or reads it. A refusal is said on standard error, once until a file opens again,
// with the folder that failed and why (once for each folder).
bool OpenLogFileHeld(const char* name, bool append) {
    char absolute[kNameSize + 256];
    int32_t error = ENAMETOOLONG;
    const char* reason = "a path too long";
    // An empty name is one that did not fit with what the log adds to it; the base name is said.
    if (!name[0]) {
        name = g_log.FileName;
        reason = "a path too long with the date, file id, process or thread added";
    } else if (AbsoluteName(name, absolute, sizeof(absolute))) {
        error = 0;
        const int32_t attempts = g_log.OpenFailed ? 1 : kOpenAttempts;
        for (int32_t attempt = 0; attempt < attempts; attempt++) {
            if (attempt > 0) Platform_SleepMS(100);
            if (Platform_OpenPrivateFile(absolute, 1, append ? 1 : 0, &g_log.Fd, &error, &reason)) {
                g_crashFd.store(g_log.Fd);
                return true;
            }
            // Only a shortage of descriptors passes; anything else is the same on every attempt.
            if (error != EMFILE && error != ENFILE && error != EINTR) break;
        }
    }
    if (!g_log.OpenFailed) {
        char line[kNameSize + 256];
        const int32_t length = String_Print(line, sizeof(line), "Log file %s refused: %s (LE: %d); logging to standard error\n",
                                            name, reason ? reason : "", error);
        WriteStandardError(line, length < (int32_t)sizeof(line) ? length : (int32_t)strlen(line));
        char why[kLineSize + 512];
        if (Platform_GetFolderRefusal(why, sizeof(why) - 1)) {
            strcat(why, "\n");
            WriteStandardError(why, (int32_t)strlen(why));
        }
    }
    return false;
}

// The walk happens inside another caller's line: that caller's own refusal is kept for its
// explanation.
bool OpenLogFile(const char* name, bool append) {
    Platform_HoldFolderRefusal(1);
    const bool opened = OpenLogFileHeld(name, append);
    Platform_HoldFolderRefusal(0);
    return opened;
}

void WriteFile(const Piece& piece, bool error, uint32_t flags, double now) {
    const bool commit = error || (flags & DEBUG_FLAG_COMMIT);
    const char* name = nullptr;
    if (!ComputeFileName(&name, error, flags, now)) return;
    if (g_log.Fd < 0 || !String_CompareWithoutCase(name, g_log.OpenName)) {
        CloseFile();
        String_CopyLength(g_log.OpenName, name, sizeof(g_log.OpenName));
        Platform_SetConsoleTitle(name);
        const bool append = error || (flags & DEBUG_FLAG_APPEND) || OpenedBefore(name);
        if (!OpenLogFile(name, append)) {
            g_log.OpenFailed = true;
            g_log.OpenName[0] = 0;
            // The lines are not lost: an error line already shown there is not shown twice.
            if (!(error && g_errorsToStderr.load() && !(flags & DEBUG_FLAG_CONSOLE)))
                WritePiece(piece, WriteStandardError);
            return;
        }
    }
    WritePiece(piece, [](const char* data, int32_t length) {
        int32_t written = 0;
        Platform_Write(g_log.Fd, data, length, &written);
    });
    if (commit) Platform_Sync(g_log.Fd);
    g_log.OpenFailed = false;
}

} // namespace

int64_t Log_Init(const char* debugFileId) {
    std::lock_guard<std::recursive_mutex> guard(LogLock());
    if (g_log.Started)
        Debug_AbortInt(__FILE__, __LINE__, "Assertion failed (GlobalLog == NULL)\nLog already initialized");
    g_log.Started = true;
    g_log.StampTime = -1.0;
    g_log.OpenFailed = false;
    g_log.OpenedCount = 0;
    String_CopyLength(g_log.DebugFileId, debugFileId ? debugFileId : "", sizeof(g_log.DebugFileId));
    g_nameGeneration++;
    return 1;
}

int64_t Log_Remove() {
    std::lock_guard<std::recursive_mutex> guard(LogLock());
    CloseFile();
    FreeFilter();
    g_log.Started = false;
    g_log.Console = nullptr;
    g_log.LevelLimited = false;
    g_log.FileName[0] = 0;
    g_log.DebugFileId[0] = 0;
    return 1;
}

int64_t Log_IsStarted() { return g_log.Started; }

int64_t Log_IsEnabled() {
    return g_log.Started &&
           (Debug_Flags() & (DEBUG_FLAG_CONSOLE | DEBUG_FLAG_FILE | DEBUG_FLAG_EXTERNAL_PRINT)) != 0;
}

int64_t Log_WriteString(const char* text, int32_t errorLine, int32_t timeStamp) {
    if (!text) return 0;
    if (DebugPrintOverrideFunc override = Debug_GetPrintOverride()) {
        override(text);
        return 1;
    }
    const uint32_t flags = Debug_Flags();
    const bool error = errorLine != 0;
    std::lock_guard<std::recursive_mutex> guard(LogLock());
    const bool stamped = timeStamp && g_log.Started;
    double now = 0.0;
    if (stamped || (flags & DEBUG_FLAG_PER_DAY)) now = Time_GetCurrentEncodedLocal(nullptr);
    if (stamped && now != g_log.StampTime) {
        g_log.StampTime = now;
        char stamp[80];
        if (Time_EncodedString(0x7B, stamp, sizeof(stamp) - 1, now))
            String_Print(g_log.Stamp, sizeof(g_log.Stamp), "%s ", stamp);
        else
            g_log.Stamp[0] = 0;
    }
    const char* stamp = stamped ? g_log.Stamp : nullptr;
    if (DebugPrintCallbackFunc callback = Debug_GetPrintCallback()) callback(text);
    if (flags & DEBUG_FLAG_CONSOLE) WriteConsole({stamp, text}, flags);
    // The stamp goes to the normal log file; an error line's text may go to the error file instead,
    // and then the two are written apart.
    const bool stampToFile = (flags & DEBUG_FLAG_FILE) || (error && (flags & DEBUG_FLAG_ERROR_FILE));
    const bool textToFile = (flags & DEBUG_FLAG_FILE) || error;
    const bool apart = error && (flags & DEBUG_FLAG_ERROR_FILE);
    if (stamp && stampToFile && (apart || !textToFile)) {
        WriteFile({nullptr, stamp}, false, flags, now);
        stamp = nullptr;
    }
    if (textToFile) WriteFile({stampToFile ? stamp : nullptr, text}, error, flags, now);
    return 1;
}

// An ERROR line the console does not show, written to standard error on its own.
void WriteErrorToStandardError(const char* format, va_list args) {
    if (!g_errorsToStderr.load()) return;
    // The console writes ERROR lines to standard error itself, on the threads it shows.
    const uint32_t flags = Debug_Flags();
    const bool consoleShows = (flags & DEBUG_FLAG_CONSOLE) && !Debug_GetPrintOverride() && Debug_IsStarted() &&
                              Log_IsStarted() &&
                              (!(flags & DEBUG_FLAG_PER_THREAD) || Platform_ThreadGetCurrentId() == Debug_MainThreadId());
    if (consoleShows) return;
    char buffer[kLineSize];
    const int32_t used = String_Print(buffer, sizeof(buffer), "%s - ", kLevelNames[LOG_LEVEL_ERROR]);
    va_list copy;
    va_copy(copy, args);
    String_VPrint(buffer + used, (int32_t)sizeof(buffer) - used, format, copy);
    va_end(copy);
    size_t length = strlen(buffer);
    if (length == 0 || buffer[length - 1] != '\n') {
        if (length + 1 >= sizeof(buffer)) length = sizeof(buffer) - 2;
        buffer[length++] = '\n';
        buffer[length] = 0;
    }
    int32_t written = 0;
    Platform_WriteStd(Platform_GetStdHandle(2), buffer, (int32_t)length, &written);
}

int64_t Log_WriteCrashLine(const char* text, int32_t errorLine) {
    if (!text) return 0;
    const uint32_t flags = Debug_Flags();
    size_t length = 0;
    while (text[length]) length++;
    int32_t written = 0;
    const bool console = (flags & DEBUG_FLAG_CONSOLE) && g_log.Started;
    if (console) Platform_Write(errorLine ? 2 : 1, text, (int32_t)length, &written);
    else if (errorLine && g_errorsToStderr.load()) Platform_Write(2, text, (int32_t)length, &written);
    const int32_t fd = g_crashFd.load();
    if (fd >= 0 && ((flags & DEBUG_FLAG_FILE) || errorLine)) Platform_Write(fd, text, (int32_t)length, &written);
    return 1;
}

int64_t Log_SetErrorsToStandardError(uint32_t on) {
    g_errorsToStderr.store(on ? 1 : 0);
    return 1;
}

int64_t Log_PrintVInt(uint32_t level, const char* file, int32_t line, int32_t indent, const char* format,
                      int32_t timeStamp, va_list args) {
    if (level == LOG_LEVEL_ERROR && format) WriteErrorToStandardError(format, args);
    if (!Log_IsEnabled()) return 1;
    ASSERT_POINTER(format);
    if (g_log.LevelLimited && level <= LOG_LEVEL_DEBUG && level > g_log.Level) return 1;
    char buffer[kLineSize];
    int32_t used = 0;
    buffer[0] = 0;
    if (level <= LOG_LEVEL_DEBUG) used = String_Print(buffer, sizeof(buffer), "%s - ", kLevelNames[level]);
    int32_t spaces = indent > 0 ? (indent > kMaxIndentSpaces / 4 ? kMaxIndentSpaces : indent * 4) : 0;
    if (spaces > kLineSize - 1 - used) spaces = kLineSize - 1 - used;
    memset(buffer + used, ' ', (size_t)spaces);
    buffer[used + spaces] = 0;
    String_VPrintCat(buffer, sizeof(buffer), format, args);
    t_errorLine = level == LOG_LEVEL_ERROR;
    Log_WriteString(buffer, 0, timeStamp);
    t_errorLine = false;
    if (strlen(buffer) >= (size_t)kLineSize - 1)
        Log_PrintInt(LOG_LEVEL_INFO, file ? file : "Unknown", line, 0,
                     "\n\n***** Last string too large for debug buffer\n\n");
    return 1;
}

int64_t Log_PrintInt(uint32_t level, const char* file, int32_t line, int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int64_t result = Log_PrintVInt(level, file, line, indent, format, 1, args);
    va_end(args);
    return result;
}

int64_t Log_PrintString(const char* text) {
    if (!Debug_Flags()) return 1;
    return Log_WriteString(text, 0, 0);
}

int64_t Log_PrintStringWithTimeStamp(const char* text) {
    if (!Debug_Flags()) return 1;
    return Log_WriteString(text, 0, 1);
}

int64_t Log_PrintFormat(const char* format, ...) {
    if (!Log_IsEnabled()) return 1;
    ASSERT_POINTER(format);
    char buffer[kLineSize];
    va_list args;
    va_start(args, format);
    String_VPrint(buffer, sizeof(buffer), format, args);
    va_end(args);
    return Log_WriteString(buffer, 0, 0);
}

int64_t Log_SetVerboseFilter(const char* value) {
    std::lock_guard<std::recursive_mutex> guard(LogLock());
    FreeFilter();
    if (!value || !value[0]) return 1;
    char text[kFilterValueSize];
    String_CopyLength(text, value, sizeof(text));
    VerboseEntry** tail = &g_log.Filter;
    for (char* piece = text; piece;) {
        char* comma = strchr(piece, ',');
        if (comma) *comma = 0;
        VerboseEntry* entry = static_cast<VerboseEntry*>(Memory_AllocZero(sizeof(VerboseEntry)));
        const char* p = piece;
        if (*p == '!') {
            entry->Negated = 1;
            p++;
        }
        entry->Level = 1;
        if (*p >= '0' && *p <= '9') {
            int64_t level = 0;
            while (*p >= '0' && *p <= '9') {
                if (level < 0x7FFFFFFF / 10) level = level * 10 + (*p - '0');
                p++;
            }
            entry->Level = (int32_t)level;
        }
        String_CopyLength(entry->Pattern, p, sizeof(entry->Pattern));
        *tail = entry;
        tail = &entry->Next;
        piece = comma ? comma + 1 : nullptr;
    }
    return 1;
}

int64_t Log_GetVerboseLevel(const char* name, int32_t* level) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(level);
    *level = 0;
    if (Debug_Flags() & DEBUG_FLAG_VERBOSE_ALL) {
        *level = 8;
        return 1;
    }
    int64_t result = 0;
    for (VerboseEntry* entry = g_log.Filter; entry; entry = entry->Next) {
        if (!String_CompareWildcardWithoutCase(name, entry->Pattern)) continue;
        *level = entry->Negated ? 0 : entry->Level;
        result = entry->Negated ? 0 : 1;
    }
    return result;
}

int64_t Log_SetFilename(const char* name) {
    if (Debug_GetPrintOverride()) return 1;
    ASSERT_POINTER(name);
    const uint32_t flags = Debug_Flags();
    std::lock_guard<std::recursive_mutex> guard(LogLock());
    if (!(flags & DEBUG_FLAG_CONSOLE) && g_log.Console) {
        Platform_FreeConsole();
        g_log.Console = nullptr;
    }
    String_CopyLength(g_log.FileName, name, sizeof(g_log.FileName));
    g_nameGeneration++;
    if (!flags) return 1;
    if ((flags & DEBUG_FLAG_CONSOLE) && !g_log.Console) {
        Platform_AllocConsole();
        Platform_SetupConsoleControl();
        g_log.Console = Platform_GetStdHandle(1);
        Platform_SetConsoleTitle(name);
    }
    if (!(flags & DEBUG_FLAG_FILE)) CloseFile();
    else if (name[0])
        MakeLogFolder(name);
    return 1;
}

int64_t Log_GetFilename(char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, g_log.FileName, capacity);
    return 1;
}

int64_t Log_Fork(const char* commandLine) {
    std::lock_guard<std::recursive_mutex> guard(LogLock());
    CloseFile();
    g_log.DebugFileId[0] = 0;
    g_nameGeneration++;
    CommandLine_GetFieldByName(commandLine, "debugfileid", g_log.DebugFileId, sizeof(g_log.DebugFileId));
    return 1;
}

const char* Log_TranslateLevel(uint32_t level) {
    return level <= LOG_LEVEL_DEBUG ? kLevelNames[level] : kLevelNames[LOG_LEVEL_ERROR];
}

uint32_t Log_TranslateLevelString(const char* name) {
    ASSERT_POINTER(name);
    for (uint32_t level = 0; level <= LOG_LEVEL_DEBUG; level++)
        if (String_CompareWithoutCase(name, kLevelNames[level])) return level;
    return 0;
}

int64_t Log_SetLevel(uint32_t level) {
    g_log.Level = level;
    return 1;
}

int64_t Log_LimitLevel(uint32_t level) {
    if (level > LOG_LEVEL_DEBUG) return 0;
    g_log.Level = level;
    g_log.LevelLimited = true;
    return 1;
}

uint32_t Log_Level() { return g_log.Level; }

int64_t Log_PrintBinary(int32_t mode, int32_t lineBreak, const void* data, int32_t length) {
    ASSERT_POINTER(data);
    std::lock_guard<std::recursive_mutex> guard(LogLock());
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (int32_t offset = 0; offset < length; offset += 16) {
        char line[128];
        int32_t count = length - offset < 16 ? length - offset : 16;
        int32_t n = String_Print(line, sizeof(line), "%08X: ", (uint32_t)offset);
        for (int32_t i = 0; i < count; i++) n += String_Print(line + n, sizeof(line) - n, "%.2X ", bytes[offset + i]);
        if (mode == 1) {
            for (int32_t i = count; i < 16; i++) n += String_Print(line + n, sizeof(line) - n, "   ");
            line[n++] = '[';
            line[n++] = ' ';
            for (int32_t i = 0; i < 16; i++) {
                uint8_t c = i < count ? bytes[offset + i] : ' ';
                // The line is handed on as a format text, so '%' must not survive.
                line[n++] = (c >= 0x20 && c < 0x7F && c != '%') ? (char)c : '.';
            }
            line[n++] = ' ';
            line[n++] = ']';
        }
        if (lineBreak) line[n++] = '\n';
        line[n] = 0;
        Debug_GenericPrintCallback(nullptr, line);
    }
    return 1;
}

int64_t Log_PrintBits(uint32_t value, int32_t count) {
    std::lock_guard<std::recursive_mutex> guard(LogLock());
    char text[40];
    int32_t n = 0;
    if (count > 32) count = 32;
    for (int32_t bit = count - 1; bit >= 0; bit--) text[n++] = (value >> bit) & 1 ? '1' : '0';
    text[n++] = '\n';
    text[n] = 0;
    Debug_GenericPrintCallback(nullptr, text);
    return 1;
}

int64_t Debug_GenericPrintCallback(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}
