// The crash report glue: where dumps go, the event file that carries the dump to the analytics
// service, and the reporter process that sends it.
#include "host/crash_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/formats/base64.h"
#include "core/formats/json.h"
#include "core/linux/platform.h"
#include "core/linux/platform_private_directory.h"
#include "core/linux/platform_process.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/web/analytics.h"
#include "host/linux/crash_handler.h"
#include "workflow/workflow_app.h"

namespace {

constexpr int32_t kNameSize = 320;
constexpr int32_t kCommandSize = 4096;
constexpr int32_t kDirectorySize = 1024;
constexpr uint32_t kLaunchNormal = 16;
// Our dumps are a few hundred kilobytes; the event file carries one in Base64 besides the queued
// events.
constexpr int64_t kDumpLimit = 64 << 20;
constexpr int64_t kEventLimit = 128 << 20;

struct CrashReportState {
    uint32_t Installed;
};

CrashReportState* GlobalCrashReport = nullptr;

void CutTrailingSlashes(char* path) {
    size_t length = strlen(path);
    while (length > 1 && path[length - 1] == '/') path[--length] = 0;
}

// Where crash files may go, in order of preference: "<state>/<product>/crash" beside the logs,
// then the same below the cache folder and below the session's runtime folder, for when the
// state folder is unusable (another user's, a link planted in a shared folder). Each is private
// to the user: crash files never go into a directory another user can write, where a name planted
// first would steer the save or the reporter's read.
int32_t PrivateCandidates(char (*paths)[kDirectorySize], int32_t most) {
    char base[kDirectorySize];
    if (!Platform_GetModuleLogDirectory(nullptr, base, sizeof(base)) || !base[0]) return 0;
    CutTrailingSlashes(base);
    int32_t count = 0;
    if (String_Print(paths[count], kDirectorySize, "%s/crash", base) < kDirectorySize - 1) count++;
    const char* slash = strrchr(base, '/');
    const char* product = slash ? slash + 1 : base;
    if (!product[0]) return count;
    char home[kDirectorySize] = "";
    const char* cache = getenv("XDG_CACHE_HOME");
    if (!cache || cache[0] != '/') {
        cache = nullptr;
        if (Platform_GetUserHome(home, sizeof(home)) && home[0] == '/') {
            CutTrailingSlashes(home);
            String_CatLength(home, "/.cache", sizeof(home));
            cache = home;
        }
    }
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    for (const char* root : {cache, runtime && runtime[0] == '/' ? runtime : nullptr}) {
        if (!root || count >= most) continue;
        char folder[kDirectorySize];
        String_CopyLength(folder, root, sizeof(folder));
        CutTrailingSlashes(folder);
        if (String_Print(paths[count], kDirectorySize, "%s/%s/crash", folder, product) < kDirectorySize - 1) count++;
    }
    return count;
}

// The directory at the path opened when it is the user's own, reached through no link or folder
// of another user; -1 otherwise, with the reason logged when `report` is set. With `make`, a
// missing directory is made (0700, its parents too) and one of ours that others may enter is
// closed to them.
int OpenOwnDirectory(const char* path, bool make, bool report) {
    int32_t fd = -1, error = 0;
    const char* reason = nullptr;
    if (Platform_OpenPrivateDirectory(path, make ? 1 : 0, &fd, &error, &reason)) return fd;
    if (report) Log_Error("Crash dump directory is unusable [%s]: %s [LE: %d]\n", path, reason ? reason : "", error);
    return -1;
}

// The dump directory, opened: the desktop when the log goes there (the "debugfile" switch) and
// the desktop is ours, else the first private folder that is usable (made when `make`). Named
// without the trailing separator: file names add their own. -1 when there is none.
int OpenDumpDirectory(char* buffer, int32_t capacity, bool make) {
    if (capacity > 0) buffer[0] = 0;
    if ((Debug_Flags() & DEBUG_FLAG_DESKTOP_LOG) &&
        Platform_GetSpecialPath(PLATFORM_PATH_USER_DESKTOP, buffer, capacity) && buffer[0]) {
        CutTrailingSlashes(buffer);
        const int fd = OpenOwnDirectory(buffer, false, false);
        if (fd >= 0) return fd;
    }
    constexpr int32_t kCandidates = 3;
    char paths[kCandidates][kDirectorySize];
    const int32_t count = PrivateCandidates(paths, kCandidates);
    for (int32_t i = 0; i < count; i++) {
        const int fd = OpenOwnDirectory(paths[i], make, make);
        if (fd < 0) continue;
        if (i > 0 && make) Log_Error("Crash dumps go to [%s] instead\n", paths[i]);
        String_CopyLength(buffer, paths[i], capacity);
        return fd;
    }
    if (count > 0) String_CopyLength(buffer, paths[0], capacity);
    return -1;
}

// The dump directory's name: the one in use, else where the first choice would be made.
bool DumpDirectory(char* buffer, int32_t capacity) {
    const int fd = OpenDumpDirectory(buffer, capacity, false);
    if (fd >= 0) close(fd);
    return buffer[0] != 0;
}

// The whole of a regular file of ours in the directory, read without following a link and without
// waiting on anything that is not a file. errno is ENOENT when nothing is there.
bool ReadOwnFile(int directory, const char* name, int64_t limit, std::string* bytes) {
    bytes->clear();
    const int fd = openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() || info.st_size > limit) {
        close(fd);
        errno = EPERM;
        return false;
    }
    bytes->resize((size_t)info.st_size);
    size_t done = 0;
    while (done < bytes->size()) {
        const ssize_t n = read(fd, bytes->data() + done, bytes->size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += (size_t)n;
    }
    close(fd);
    bytes->resize(done);
    return true;
}

// A new private file in the directory holding exactly these bytes: never written through a name
// that stood there before.
bool WriteNewFile(int directory, const char* name, const char* bytes, size_t length) {
    const int fd = openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += (size_t)n;
    }
    const bool ok = done == length && fsync(fd) == 0;
    if (close(fd) != 0 || !ok) {
        unlinkat(directory, name, 0);
        return false;
    }
    return true;
}

// The value of this process's switch "--name=value", from the argument vector, so that a value
// with blanks (which the command-line text holds in quotes as a whole argument) comes back as it
// was given.
std::string Switch(const char* name) {
    int32_t count = 0;
    char** vector = nullptr;
    Arguments_Get(&count, &vector);
    const size_t length = strlen(name);
    for (int32_t i = 1; vector && i < count; i++) {
        const char* argument = vector[i];
        if (!argument || strncmp(argument, "--", 2) != 0 || !String_CompareLengthWithoutCase(argument + 2, name, (int32_t)length) ||
            argument[2 + length] != '=')
            continue;
        return argument + 3 + length;
    }
    return std::string();
}

bool SaveEvents(int directory, const char* name, const std::string& dump) {
    Dictionary* root = nullptr;
    Dictionary* list = nullptr;
    Dictionary_Create(&root);
    Dictionary_AddList(root, nullptr, &list, nullptr);
    if (list) Analytics_Dump(list);
    Dictionary* event = nullptr;
    if (list) Dictionary_AddDictionary(list, nullptr, &event, nullptr);
    if (event) {
        WorkflowApp_FillCrashEvent("Native", event);
        uint32_t size = 0;
        Base64_CalculateEncodeSize((uint32_t)dump.size(), &size);
        std::string text((size_t)size + 1, '\0');
        uint32_t written = 0;
        if (Base64_Encode(dump.data(), (int32_t)dump.size(), text.data(), (int32_t)text.size(), &written)) {
            text.resize(written);
            Dictionary_SetStringByKey(event, "minidump", text.c_str());
        }
    }
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, root);
    uint32_t estimate = 0;
    bool saved = JSON_SaveBufferEstimate(json, &estimate) == 1;
    std::string text(saved ? (size_t)estimate : 0, '\0');
    uint32_t length = 0;
    saved = saved && JSON_SaveBuffer(json, text.data(), (uint32_t)text.size(), &length) == 1 &&
            WriteNewFile(directory, name, text.data(), length);
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    Dictionary_Release(&root);
    return saved;
}

} // namespace

// Dump ids are made of letters, digits, '-' and '_': one from a command line can name no other
// file than a dump of its own.
static bool IsDumpId(const char* id) {
    if (!id || !id[0]) return false;
    for (const char* p = id; *p; ++p)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || *p == '-' || *p == '_'))
            return false;
    return true;
}

int64_t CrashReport_BuildFilename(const char* id, const char* extension, char* buffer, int32_t capacity) {
    char directory[kDirectorySize];
    if (!IsDumpId(id) || !DumpDirectory(directory, sizeof(directory))) {
        if (capacity > 0) buffer[0] = 0;
        return 0;
    }
    return String_Print(buffer, capacity, "%s/%s%s", directory, id, extension) < capacity - 1;
}

int64_t CrashReport_Init() {
    if (!GlobalCrashReport)
        GlobalCrashReport = static_cast<CrashReportState*>(Memory_AllocZero(sizeof(CrashReportState)));
    char appId[kNameSize];
    String_Print(appId, sizeof(appId), "qvr_{SystemShortName}%s_direct", "64");
    WorkflowApp_ExpandString(appId, appId, sizeof(appId));
    Analytics_SetCrashAppId(appId);
    if (Platform_IsDebuggerPresent()) {
        Log_Debug("Crash reporting disabled to attached debugger\n");
        return 1;
    }
    if (Analytics_IsEnabled() && Analytics_IsCrashDumpEnabled()) {
        char directory[kDirectorySize] = {};
        const int fd = OpenDumpDirectory(directory, sizeof(directory), true);
        if (fd < 0) Log_Error("Crash dump directory is not private [%s]\n", directory);
        const int64_t result =
            fd >= 0 ? Breakpad_Init(GlobalCrashReport, directory, CrashReport_ExceptionCallback) : 0;
        if (fd >= 0) close(fd);
        if (result) Log_Debug("Crash reporting enabled\n");
        GlobalCrashReport->Installed = result ? 1 : 0;
        return result;
    }
    Log_Debug("Crash reporting disabled due to configuration\n");
    return 1;
}

int64_t CrashReport_Remove() {
    if (!GlobalCrashReport) return 1;
    if (GlobalCrashReport->Installed) {
        GlobalCrashReport->Installed = 0;
        Breakpad_Remove();
    }
    Memory_Free(GlobalCrashReport, sizeof(CrashReportState));
    GlobalCrashReport = nullptr;
    return 1;
}

int64_t CrashReport_IsReporting() {
    return CommandLine_IsFieldSet(nullptr, "crashreport") ? 1 : 0;
}

int64_t CrashReport_ExceptionCallback(void*, const char* dumpDirectory, const char* minidumpId, uint32_t succeeded) {
    char dumpPath[kNameSize], dumpName[kNameSize], eventName[kNameSize];
    if (!IsDumpId(minidumpId) || !dumpDirectory) return 0;
    String_Print(dumpPath, sizeof(dumpPath), "%s/%s.dmp", dumpDirectory, minidumpId);
    String_Print(dumpName, sizeof(dumpName), "%s.dmp", minidumpId);
    String_Print(eventName, sizeof(eventName), "%s.json", minidumpId);
    // The folder the handler wrote into, checked again: both files are taken relative to it.
    const int folder = OpenOwnDirectory(dumpDirectory, false, true);
    // A dump cut short (a full disk, a file size limit) is no report: it is removed (the handler
    // did so already when it could) rather than sent, and no reporter is started for it.
    if (folder >= 0 && !succeeded) {
        Log_Error("Crash dump incomplete, removed [%s]\n", dumpPath);
        unlinkat(folder, dumpName, 0);
        close(folder);
        return 0;
    }
    std::string dump;
    if (folder < 0 || !ReadOwnFile(folder, dumpName, kDumpLimit, &dump)) {
        if (folder < 0 || errno == ENOENT)
            Log_Error("Unable to locate crash dump [%s]\n", dumpPath);
        else
            Log_Error("Unable to open crash dump [%s]\n", dumpPath);
        if (folder >= 0) close(folder);
        return 0;
    }
    // A whole dump always has its first line.
    if (dump.rfind("crash dump ", 0) != 0) {
        Log_Error("Crash dump incomplete, removed [%s]\n", dumpPath);
        unlinkat(folder, dumpName, 0);
        close(folder);
        return 0;
    }
    if (!SaveEvents(folder, eventName, dump)) {
        Log_Error("Unable to save crash json [%s/%s], crash dump removed\n", dumpDirectory, eventName);
        unlinkat(folder, dumpName, 0);
        close(folder);
        return 0;
    }
    close(folder);

    char session[kDirectorySize] = {};
    Analytics_GetSession(session, sizeof(session));
    char command[kCommandSize];
    String_Print(command, sizeof(command), "--crashreport --crashid=\"%s\" --crashsession=\"%s\"", minidumpId, session);
    if (CommandLine_IsFieldSet(nullptr, "crashautosend")) String_CatLength(command, " --crashautosend", sizeof(command));
    for (const char* name : {"skin", "verbose"}) {
        if (!CommandLine_IsFieldSet(nullptr, name)) continue;
        char part[kCommandSize];
        String_Print(part, sizeof(part), " --%s=\"%s\"", name, Switch(name).c_str());
        String_CatLength(command, part, sizeof(command));
    }
    String_CatLength(command, " --debugfileid=crash", sizeof(command));
    const uint32_t flags = Debug_Flags();
    if (flags & DEBUG_FLAG_FILE) String_CatLength(command, " --debug", sizeof(command));
    if (flags & DEBUG_FLAG_DESKTOP_LOG) String_CatLength(command, " --debugfile", sizeof(command));
    if (flags & DEBUG_FLAG_CONSOLE) String_CatLength(command, " --window", sizeof(command));
    Log_Debug("Running crash dump reporting process (%s)\n", command);
    char program[kNameSize], directory[kNameSize];
    Platform_GetModuleFilename(nullptr, program, sizeof(program));
    Platform_GetModuleDirectory(nullptr, directory, sizeof(directory));
    PlatformProcess* process = nullptr;
    Platform_Execute(program, command, directory, kLaunchNormal, nullptr, nullptr, nullptr, &process);
    if (!process) return 0;
    Platform_ProcessDelete(&process);
    return 1;
}

int64_t CrashReport_SendDump(const char* id, const char* session) {
    Analytics_SetSession(session);
    char eventPath[kNameSize], eventName[kNameSize], directoryPath[kDirectorySize];
    CrashReport_BuildFilename(id, ".json", eventPath, sizeof(eventPath));
    String_Print(eventName, sizeof(eventName), "%s.json", id ? id : "");
    // Read only from our own folder and only a file of ours: a link or a file someone else put
    // under the name is never sent.
    const int directory = IsDumpId(id) ? OpenDumpDirectory(directoryPath, sizeof(directoryPath), false) : -1;
    std::string text;
    const bool read =
        directory >= 0 && ReadOwnFile(directory, eventName, kEventLimit, &text) && !text.empty();
    if (directory >= 0) close(directory);
    Dictionary* root = nullptr;
    Dictionary_Create(&root);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, root);
    const int64_t loaded = read ? JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()) : 0;
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    if (loaded == 1) {
        Log_Info("Sending crash dump to server\n");
        Dictionary* events = nullptr;
        Dictionary_SkipRootContainer(root, &events);
        Analytics_SendEventMultiple(events ? events : root);
    } else {
        Log_Error("Unable to open crash json [%s]\n", eventPath);
    }
    Dictionary_Release(&root);
    CrashReport_DeleteDump(id);
    return 1;
}

int64_t CrashReport_DeleteDump(const char* id) {
    char path[kNameSize], name[kNameSize], directoryPath[kDirectorySize];
    const int directory = IsDumpId(id) ? OpenDumpDirectory(directoryPath, sizeof(directoryPath), false) : -1;
    for (const char* extension : {".dmp", ".json"}) {
        CrashReport_BuildFilename(id, extension, path, sizeof(path));
        String_Print(name, sizeof(name), "%s%s", id ? id : "", extension);
        if (directory >= 0) unlinkat(directory, name, 0);
        Log_Debug(extension[1] == 'd' ? "Deleting crash dump [%s]\n" : "Deleting crash json [%s]\n", path);
    }
    if (directory >= 0) close(directory);
    return 1;
}
