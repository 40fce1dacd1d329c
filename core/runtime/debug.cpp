// Start and stop of the core, the process-wide debug flags and hooks, and the abort path.
#include "core/runtime/debug.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/certs/executable.h"
#include "core/linux/platform.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/command_line.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"

namespace {

constexpr char kRevision[] = "0.53";
constexpr int32_t kPathSize = 1024;
constexpr int32_t kAbortSize = 4096;

struct CoreState {
    bool Started;
    uint32_t Flags;
    uint32_t ExitCode;
    bool ExitCodeChosen; // set by Debug_SetExitCode: something decided the code, 0 included
    uint32_t MainThreadId;
    uint32_t ProcessId;
};

CoreState g_core = {};

std::atomic<DebugFlagsOverrideFunc> g_flagsOverride{nullptr};
std::atomic<DebugPrintOverrideFunc> g_printOverride{nullptr};
std::atomic<DebugAbortHookFunc> g_abortHook{nullptr};
std::atomic<DebugPrintCallbackFunc> g_printCallback{nullptr};
std::atomic<DebugConsoleControlFunc> g_consoleControl{nullptr};

thread_local bool t_aborting = false;

void PrintBanner(const char* version) {
    auto line = [](const char* format, auto... args) {
        Log_PrintInt(LOG_LEVEL_NONE, __FILE__, __LINE__, 0, format, args...);
    };
    line("Log Level: %s\n", Log_TranslateLevel(Log_Level()));
    if (version && version[0]) line("Version: %s\n", version);
    char value[120], other[120];
    if (Executable_GetFileVersion(nullptr, value, sizeof(value)) == 1) line("File Version: %s\n", value);
    if (Executable_GetProductName(nullptr, value, sizeof(value)) == 1 &&
        Executable_GetProductVersion(nullptr, other, sizeof(other)) == 1)
        line("Product Version: %s %s\n", value, other);
    if (Executable_GetCompanyName(nullptr, value, sizeof(value)) == 1) line("Company: %s\n", value);
    const char* commandLine = nullptr;
    if (CommandLine_Get(&commandLine) && commandLine && commandLine[0]) line("Command Line: %s\n", commandLine);
}

// The file-name part of a path (after its last '/' or '\').
const char* FileNamePart(const char* path) {
    const char* name = path;
    for (const char* p = path; *p; p++)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}

// Room kept in the log file's name for what the log adds to it: the date, the process and thread
// numbers (".MM.DD.YYYY", ".P" and ".T" with ten digits each) and ".err".
constexpr int32_t kSuffixRoom = 64;
// A folder read from the command line or the system may be longer than the log's name allows;
// it is read whole so that it is refused whole, never used cut.
constexpr int32_t kFolderSize = 4096;

// The folder --debugdir named as the log file uses it (expanded once and judged), empty when the
// log file is not kept there: the crash reporter is handed this text, never the switch again.
char g_logFolder[kFolderSize];

// The file `name` (its file-name part, "debug.log" when it has none) in `directory`; false when
// the whole would not fit `capacity` with room for what the log adds.
bool JoinLogPath(const char* directory, const char* name, char* path, int32_t capacity) {
    const char* file = FileNamePart(name);
    if (!file[0]) file = "debug.log";
    const size_t length = strlen(directory);
    const bool separated = length && (directory[length - 1] == '/' || directory[length - 1] == '\\');
    // The separator is counted only where it is added, as the help's name of the file counts it.
    if (length + (separated ? 0 : 1) + strlen(file) + kSuffixRoom >= (size_t)capacity) return false;
    String_Print(path, capacity, "%s%s%s", directory, separated ? "" : "/", file);
    return true;
}

// The folder --debugdir names, judged as every path made from a text with tokens is: one that
// still holds a location nobody could name or lies in a refused folder, and one that expanded to
// a name that is not a full path (nothing, or a relative text), would put the log in whatever the
// current folder is. True, with why in `why`, when it is refused.
bool RefuseLogFolder(const char* written, const char* expanded, char* why, int32_t whySize) {
    constexpr const char* kWhich = "the folder named by --debugdir";
    // Made before the memory accounting starts: on the stack.
    char said[kFolderSize + 256];
    char shown[2 * kFolderSize];
    if (String_ExpandJudgeLocation(expanded, said, (int32_t)sizeof(said), shown, (int32_t)sizeof(shown))) {
        String_Print(why, whySize, "%s %s: %s", kWhich, said, shown);
        return true;
    }
    if (strcmp(written, expanded) != 0 && expanded[0] != '/') {
        String_Print(why, whySize, "%s is not a full path once expanded (\"%s\" from %s)", kWhich, expanded, written);
        return true;
    }
    return false;
}

// Works out where the log file goes: relative names land in the module's log directory, the
// desktop flag and the debugdir switch move it. A folder that cannot be named or a name that
// would not fit is refused (null `path`, the reason in `why`): the log is then kept from a file
// rather than written under a bare name into whatever the current folder is, or under a cut name.
bool BuildLogPath(const char* name, uint32_t flags, char* path, int32_t capacity, char* why, int32_t whySize) {
    path[0] = 0;
    why[0] = 0;
    char expanded[kPathSize];
    if (String_CopyLength(expanded, name ? name : "", sizeof(expanded)) >= (int32_t)sizeof(expanded) ||
        String_ExpandResult(expanded, sizeof(expanded), nullptr, nullptr) != STRING_EXPAND_OK) {
        String_Print(why, whySize, "the log file's name is longer than %d bytes", kPathSize - kSuffixRoom - 1);
        return false;
    }
    const bool relative = expanded[0] != '/' && expanded[0] != '\\' && !(expanded[0] && expanded[1] == ':');
    char directory[kFolderSize];
    const char* folder = directory;
    const char* which = nullptr;
    if (flags & DEBUG_FLAG_DESKTOP_LOG) {
        which = "the desktop folder";
        if (!Platform_GetSpecialPath(PLATFORM_PATH_USER_DESKTOP, directory, sizeof(directory)) || directory[0] != '/') {
            String_Print(why, whySize, "%s cannot be named", which);
            return false;
        }
    } else if ((flags & DEBUG_FLAG_FILE) &&
               CommandLine_GetFieldByName(nullptr, "debugdir", directory, sizeof(directory)) && directory[0]) {
        which = "the folder named by --debugdir";
        char written[kFolderSize];
        String_CopyLength(written, directory, kFolderSize);
        if (strlen(directory) >= sizeof(directory) - 1 ||
            String_ExpandResult(directory, sizeof(directory), nullptr, nullptr) != STRING_EXPAND_OK) {
            String_Print(why, whySize, "%s is longer than %d bytes", which, kPathSize - kSuffixRoom - 1);
            return false;
        }
        if (RefuseLogFolder(written, directory, why, whySize)) return false;
    }
    if (!which && relative) {
        which = "the log folder";
        if (!Platform_GetModuleLogDirectory(nullptr, directory, sizeof(directory))) directory[0] = 0;
        // A long-path prefix of the other platform ("\\?\" and "UNC\") is not part of a directory.
        if (strncmp(folder, "\\\\?\\", 4) == 0) {
            folder += 4;
            if (strncmp(folder, "UNC\\", 4) == 0) folder += 4;
        }
        char* end = directory + strlen(directory);
        while (end > folder && end[-1] != '/' && end[-1] != '\\') end--;
        *end = 0;
        if (folder[0] != '/') {
            String_Print(why, whySize, "the log folder cannot be named (it follows $XDG_STATE_HOME and $HOME)");
            return false;
        }
    }
    if (!which) {
        // A full name is used as it is, when the log's additions still fit.
        if (strlen(expanded) + kSuffixRoom < (size_t)capacity) {
            String_CopyLength(path, expanded, capacity);
            return true;
        }
        String_Print(why, whySize, "the log file's name is longer than %d bytes", capacity - kSuffixRoom - 1);
        return false;
    }
    if (JoinLogPath(folder, expanded, path, capacity)) {
        if (folder == directory && strcmp(which, "the folder named by --debugdir") == 0)
            String_CopyLength(g_logFolder, directory, kFolderSize);
        return true;
    }
    path[0] = 0;
    String_Print(why, whySize, "%s %s is too long for the log file's name of at most %d bytes", which, folder,
                 capacity - kSuffixRoom - 1);
    return false;
}

} // namespace

int64_t Debug_BuildInitFlags(uint32_t* flags, const char* commandLine) {
    ASSERT_POINTER(flags);
    *flags = 0;
    bool logging = Platform_GetDebugFlagsFromKey(flags) != 0;
    char value[32];
    if (CommandLine_GetFieldByName(commandLine, "debug", value, sizeof(value))) {
        String_Upper(value);
        Log_TranslateLevelString(value);
        logging = true;
    }
    if (CommandLine_IsFieldSet(commandLine, "debug")) logging = true;
    if (CommandLine_IsFieldSet(commandLine, "debugfile")) {
        *flags |= 0x40000;
        logging = true;
    }
    if (CommandLine_IsFieldSet(commandLine, "perday")) {
        *flags |= 0x88;
        logging = true;
    }
    if (CommandLine_IsFieldSet(commandLine, "perthread")) {
        *flags |= 0x108;
        logging = true;
    }
    if (CommandLine_IsFieldSet(commandLine, "perprocess")) *flags |= 0x20A;
    else if (logging) *flags |= 0x2;
    struct {
        const char* name;
        uint32_t bits;
    } const switches[] = {{"cmdline", 0x10},         {"window", 0x1},          {"commit", 0x10000},
                          {"append", 0x8},           {"externalprint", 0x800}, {"memorytracking", 0x20000},
                          {"memorytest", 0x4000},    {"memoryreport", 0x400}};
    for (const auto& s : switches)
        if (CommandLine_IsFieldSet(commandLine, s.name)) *flags |= s.bits;
    return 1;
}

int64_t Debug_Init(const char* logFileName, const char* version, uint32_t flags) {
    if (g_core.Started)
        Debug_AbortInt(__FILE__, __LINE__, "Assertion failed (GlobalCore == NULL)\nCore already initialized");
    if (Log_IsStarted())
        Debug_AbortInt(__FILE__, __LINE__, "Assertion failed (GlobalLog == NULL)\nLog already initialized");
    // The running program's version values are read before the accounting starts (the command
    // line stored among them comes first) and released at its end: they are read again inside
    // it, or their release would show as more freed than was ever counted.
    char module[1024] = "";
    Executable_GetCurrentModuleAppPath(module, sizeof(module));
    if (module[0]) Executable_Shutdown();
    Memory_Init((flags & DEBUG_FLAG_MEMORY_TRACKING) ? 1 : 0);
    if (module[0]) Executable_SetCurrentModuleAppPath(module);

    g_core.MainThreadId = Platform_ThreadGetCurrentId();
    g_core.ProcessId = Platform_GetCurrentProcessId();
    g_core.ExitCode = 0;
    g_core.ExitCodeChosen = false;
    g_core.Started = true;
    Debug_SetFlags(flags);

    Time_Init();
    Class_Init();
    Callback_Init();

    const uint32_t asked = flags;
    g_logFolder[0] = 0;
    char path[kPathSize];
    char why[kFolderSize + 256];
    if (!BuildLogPath(logFileName, flags, path, sizeof(path), why, sizeof(why)) &&
        (flags & (DEBUG_FLAG_FILE | DEBUG_FLAG_ERROR_FILE)) && !g_printOverride.load()) {
        // Said once, here, on standard error: no log file exists to say it in.
        char line[sizeof(why) + 64];
        const int32_t length = String_Print(line, sizeof(line), "ERROR - No log file is written: %s\n", why);
        int32_t written = 0;
        Platform_WriteStd(Platform_GetStdHandle(2), line, length, &written);
        flags &= ~(uint32_t)(DEBUG_FLAG_FILE | DEBUG_FLAG_ERROR_FILE);
        Debug_SetFlags(flags);
        g_logFolder[0] = 0;
    }

    char fileId[kPathSize] = "";
    CommandLine_GetFieldByName(nullptr, "debugfileid", fileId, sizeof(fileId));
    Log_Init(fileId);
    Log_SetLevel((asked & 3) == DEBUG_FLAG_CONSOLE ? LOG_LEVEL_INFO : LOG_LEVEL_DEBUG);
    // A level the user names with --debug=LEVEL limits what is written; a value that is no level
    // leaves the default (the host refuses it before it starts).
    char level[32] = "";
    if (CommandLine_GetFieldByName(nullptr, "debug", level, sizeof(level)) && level[0]) {
        const uint32_t named = Log_TranslateLevelString(level);
        if (named != LOG_LEVEL_ERROR || String_CompareWithoutCase(level, "ERROR")) Log_LimitLevel(named);
    }
    Log_SetFilename(path);
    if (Log_IsEnabled()) {
        char filter[240];
        if (CommandLine_GetFieldByName(nullptr, "verbose", filter, sizeof(filter))) Log_SetVerboseFilter(filter);
    }
    PrintBanner(version);
    srand((unsigned)time(nullptr));
    return 1;
}

int64_t Debug_GetLogFolder(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    if (!g_logFolder[0] || !(Debug_Flags() & DEBUG_FLAG_FILE) || (int32_t)strlen(g_logFolder) >= size) return 0;
    String_CopyLength(buffer, g_logFolder, size);
    return 1;
}

uint32_t Debug_Remove() {
    if (!g_core.Started) return g_core.ExitCode;
    Callback_Remove();
    Class_Remove();
    Time_Remove();
    Log_SetVerboseFilter(nullptr);
    Executable_Shutdown();
    if (Memory_IsTracking()) {
        uint32_t maxCount = 0, maxBytes = 0;
        Memory_GetMaximum(&maxCount, &maxBytes);
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "Maximum Memory in use (%d / %dk)\n", maxCount,
                     maxBytes / 1024);
    }
    uint32_t bytes = 0, count = 0;
    Memory_GetSize(&bytes);
    Memory_GetCount(&count);
    if (bytes) {
        Log_PrintInt(LOG_LEVEL_WARNING, __FILE__, __LINE__, 0, "Not all memory was free'd (%d / %db)\n", count, bytes);
        Memory_Dump();
    }
    // The log lock is static and outlives this last line; only the file is closed here.
    Log_Remove();
    Memory_Remove();
    uint32_t exitCode = g_core.ExitCode;
    g_core = CoreState{};
    return exitCode;
}

int64_t Debug_IsStarted() { return g_core.Started; }

uint32_t Debug_Flags() {
    if (DebugFlagsOverrideFunc fn = g_flagsOverride.load()) return fn();
    return g_core.Started ? g_core.Flags : 0;
}

int64_t Debug_SetFlags(uint32_t flags) {
    if ((flags & DEBUG_FLAG_PER_THREAD) && !(flags & DEBUG_FLAG_APPEND))
        Debug_AbortInt(__FILE__, __LINE__, "Threaded logging requires append to be on\n");
    if ((flags & DEBUG_FLAG_PER_PROCESS) && !(flags & DEBUG_FLAG_APPEND))
        Debug_AbortInt(__FILE__, __LINE__, "Process logging requires append to be on\n");
    g_core.Flags = flags;
    return 1;
}

uint32_t Debug_ExitCode() { return g_core.ExitCode; }

int64_t Debug_SetExitCode(uint32_t code) {
    g_core.ExitCode = code;
    g_core.ExitCodeChosen = true;
    return 1;
}

int64_t Debug_ExitCodeChosen() { return g_core.ExitCodeChosen ? 1 : 0; }

uint32_t Debug_MainThreadId() { return g_core.MainThreadId; }

uint32_t Debug_ProcessId() { return g_core.ProcessId; }

int64_t Debug_GetRevision(char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, kRevision, capacity);
    return 1;
}

int64_t Debug_IsBigEndian() { return 0; }

int64_t Debug_Fork(const char* commandLine) {
    uint32_t pid = Platform_GetCurrentProcessId();
    if (!g_core.Started || pid == g_core.ProcessId) return 1;
    g_core.ProcessId = pid;
    g_core.MainThreadId = Platform_ThreadGetCurrentId();
    if (commandLine) {
        CommandLine_Remove();
        CommandLine_Init(commandLine);
    }
    Log_Fork(commandLine);
    PrintBanner(nullptr);
    return 1;
}

void Debug_AbortVInt(const char* file, int32_t line, const char* format, va_list args) {
    // An abort raised while aborting (say, inside the log) goes straight to the trap.
    if (!t_aborting) {
        t_aborting = true;
        char text[kAbortSize];
        String_Print(text, sizeof(text), "ABORT - ");
        String_VPrintCat(text, sizeof(text), format ? format : "", args);
        String_PrintCat(text, sizeof(text), " (%s/%d)\n", file ? file : "Unknown", line);
        Log_WriteString(text, 1, 1);
        DebugAbortHookFunc hook = g_abortHook.load();
        if (hook) hook(file, line, text);
        else if (!(Debug_Flags() & (DEBUG_FLAG_CONSOLE | DEBUG_FLAG_FILE)) && !g_printOverride.load()) {
            // Nowhere else would show why the process stopped.
            int32_t written = 0;
            Platform_WriteStd(Platform_GetStdHandle(2), text, (int32_t)strlen(text), &written);
        }
    }
    abort();
}

void Debug_AbortInt(const char* file, int32_t line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Debug_AbortVInt(file, line, format, args);
}

int64_t Debug_FlagsOverride(DebugFlagsOverrideFunc fn) {
    g_flagsOverride.store(fn);
    return 1;
}

int64_t Debug_PrintOverride(DebugPrintOverrideFunc fn) {
    g_printOverride.store(fn);
    return 1;
}

int64_t Debug_AbortOverride(DebugAbortHookFunc fn) {
    g_abortHook.store(fn);
    return 1;
}

int64_t Debug_PrintCallback(DebugPrintCallbackFunc fn) {
    g_printCallback.store(fn);
    return 1;
}

int64_t Debug_ConsoleControlOverride(DebugConsoleControlFunc fn) {
    g_consoleControl.store(fn);
    Platform_SetConsoleControlOverride(fn);
    return 1;
}

DebugPrintOverrideFunc Debug_GetPrintOverride() { return g_printOverride.load(); }

DebugPrintCallbackFunc Debug_GetPrintCallback() { return g_printCallback.load(); }

DebugConsoleControlFunc Debug_GetConsoleControlOverride() { return g_consoleControl.load(); }
