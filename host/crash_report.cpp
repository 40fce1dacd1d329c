// The crash report glue: where dumps go, the event file that carries the dump to the analytics
// service, and the reporter process that sends it. The crashed process only starts the reporter
// (prepared while it was sound) and writes what exists nowhere else, its queued events; the
// reporter waits until the crashed process has ended, completes the event file from the dump and
// sends it. A dump that no reporter took is handed over by the next start.
#include "host/crash_report.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "core/formats/base64.h"
#include "core/formats/json.h"
#include "core/linux/gui/native_ui.h"
#include "core/linux/platform.h"
#include "core/linux/platform_private_directory.h"
#include "core/linux/platform_process.h"
#include "core/linux/platform_system.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/web/analytics.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_request.h"
#include "host/linux/crash_handler.h"
#include "skin/localisation.h"
#include "workflow/workflow_app.h"


namespace {

constexpr int32_t kNameSize = 320;
constexpr int32_t kCommandSize = 4096;
constexpr int32_t kDirectorySize = 1024;
constexpr int32_t kIdSize = 32; // the crash handler's ids: 32 hexadecimal digits
constexpr int32_t kMostArguments = 16;
// Our dumps are a few hundred kilobytes; the event file carries one in Base64 besides the queued
// events.
constexpr int64_t kDumpLimit = 64 << 20;
constexpr int64_t kEventLimit = 128 << 20;
// How long a reporter waits for the crashed process to let go of its dump: longer than the crashed
// process itself waits for its crash thread before it ends.
constexpr int32_t kClaimWaitMs = 30000;
// How long a start keeps a dump it hands over locked while its reporter starts and marks it.
constexpr int32_t kHandOverWaitMs = 10000;
// Dumps a start hands over at most; the rest wait for the next one.
constexpr int32_t kMostLeftovers = 8;
// The question to the user: yes and no buttons, a warning icon, above every window; 6 is yes.
constexpr uint32_t kBoxCrashQuestion = 4148;
constexpr int64_t kBoxYes = 6;
constexpr const char kIdPrefix[] = "--crashid=";
constexpr const char kSessionPrefix[] = "--crashsession=";

// The reporter's launch, made at installation: nothing on the crash path allocates, formats a
// switch or reads the command line. The id's room is filled in at the crash.
struct CrashReportState {
    uint32_t Installed;
    char Program[kNameSize];
    char Directory[kNameSize];
    char IdArgument[sizeof(kIdPrefix) + kIdSize];
    char* Arguments[kMostArguments + 2]; // the program, the switches, a null
    int32_t ArgumentCount;               // switches only
    int32_t SessionIndex;                // where the session's switch is
    char** Environment;                  // a copy of the program's own table, ending with a null
    int32_t EnvironmentBytes;            // the copy's one block
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
    char cacheHome[kDirectorySize] = "";
    char runtimeHome[kDirectorySize] = "";
    const char* cache = Platform_GetEnvironmentVariable("XDG_CACHE_HOME", cacheHome, sizeof(cacheHome)) ? cacheHome : nullptr;
    if (!cache || cache[0] != '/') {
        cache = nullptr;
        if (Platform_GetUserHome(home, sizeof(home)) && home[0] == '/') {
            CutTrailingSlashes(home);
            String_CatLength(home, "/.cache", sizeof(home));
            cache = home;
        }
    }
    const char* runtime =
        Platform_GetEnvironmentVariable("XDG_RUNTIME_DIR", runtimeHome, sizeof(runtimeHome)) ? runtimeHome : nullptr;
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
    if (report) {
        Log_Error("Crash dump directory is unusable [%s]: %s [LE: %d]\n", path, reason ? reason : "", error);
        Platform_SayFolderRefusal();
    }
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
    // Given another way ("--name value"): as the command line reads it.
    char value[kDirectorySize] = "";
    CommandLine_GetFieldByName(nullptr, name, value, sizeof(value));
    return value;
}


char* CopyText(const char* text) {
    const size_t length = strlen(text);
    char* copy = static_cast<char*>(Memory_Alloc(length + 1));
    memcpy(copy, text, length + 1);
    return copy;
}

void FreeText(char* text) {
    if (text) Memory_Free(text, strlen(text) + 1);
}

void FreeLaunch(CrashReportState* state) {
    for (int32_t i = 1; i <= state->ArgumentCount; i++)
        if (state->Arguments[i] != state->IdArgument) FreeText(state->Arguments[i]);
    state->ArgumentCount = 0;
    state->Arguments[1] = nullptr;
    if (state->Environment) Memory_Free(state->Environment, (size_t)state->EnvironmentBytes);
    state->Environment = nullptr;
    state->EnvironmentBytes = 0;
}

void AddArgument(CrashReportState* state, const std::string& text) {
    if (state->ArgumentCount >= kMostArguments) return;
    state->Arguments[++state->ArgumentCount] = CopyText(text.c_str());
    state->Arguments[state->ArgumentCount + 1] = nullptr;
}

// A path named relative to this process's current folder, as a full path; a full path or an empty
// text as it is.
std::string FullPath(const std::string& path) {
    char folder[kDirectorySize] = "";
    if (path.empty() || path[0] == '/' || !Platform_GetCurrentDirectory(folder, sizeof(folder)) || folder[0] != '/')
        return path;
    CutTrailingSlashes(folder);
    return std::string(folder) + (folder[1] ? "/" : "") + path;
}

// The reporter's command line as the crashed process's switches ask for it: the session, how to
// offer the report, the skin and the verbosity, and where and how it logs. The environment is the
// program's own as it stands now.
void PrepareLaunch(CrashReportState* state) {
    FreeLaunch(state);
    Platform_GetModuleFilename(nullptr, state->Program, sizeof(state->Program));
    Platform_GetModuleDirectory(nullptr, state->Directory, sizeof(state->Directory));
    state->Arguments[0] = state->Program;
    state->Arguments[1] = nullptr;
    AddArgument(state, "--crashreport");
    memcpy(state->IdArgument, kIdPrefix, sizeof(kIdPrefix) - 1);
    memset(state->IdArgument + sizeof(kIdPrefix) - 1, '0', kIdSize);
    state->IdArgument[sizeof(state->IdArgument) - 1] = 0;
    state->Arguments[++state->ArgumentCount] = state->IdArgument;
    char session[kDirectorySize] = {};
    Analytics_GetSession(session, sizeof(session));
    state->SessionIndex = state->ArgumentCount + 1;
    AddArgument(state, std::string(kSessionPrefix) + session);
    if (CommandLine_IsFieldSet(nullptr, "crashautosend")) AddArgument(state, "--crashautosend");
    // The reporter runs in the executable's folder: a folder named relative to ours is handed
    // over as a full path.
    if (CommandLine_IsFieldSet(nullptr, "skin")) AddArgument(state, "--skin=" + FullPath(Switch("skin")));
    if (CommandLine_IsFieldSet(nullptr, "verbose")) AddArgument(state, "--verbose=" + Switch("verbose"));
    AddArgument(state, "--debugfileid=crash");
    const uint32_t flags = Debug_Flags();
    // The folder the log is kept in, as the log took it: handed over as text, never the switch to
    // be expanded again. A folder whose name the reporter's command line would read as macros
    // cannot be handed over so: the reporter then keeps no log file.
    char logFolder[kDirectorySize];
    const bool inFolder = Debug_GetLogFolder(logFolder, sizeof(logFolder)) != 0;
    const bool handed = !inFolder || !strpbrk(logFolder, "{}");
    if (!handed)
        Log_Error("The crash reporter keeps no log file: the log folder %s holds braces its command line would "
                  "read as macros\n",
                  logFolder);
    if ((flags & DEBUG_FLAG_FILE) && handed) AddArgument(state, "--debug");
    if ((flags & DEBUG_FLAG_FILE) && inFolder && handed) AddArgument(state, "--debugdir=" + FullPath(logFolder));
    if (flags & DEBUG_FLAG_DESKTOP_LOG) AddArgument(state, "--debugfile");
    if (flags & DEBUG_FLAG_CONSOLE) AddArgument(state, "--window");
    // The program's own variables, as every program it launches gets them; copied now, since the
    // crash path may not take the table's lock.
    state->Environment = Platform_CopyEnvironment(&state->EnvironmentBytes);
}

// The switches joined by blanks, for the log line: no allocation, as on the crash path.
void CommandText(char* const* arguments, char* buffer, size_t capacity) {
    size_t used = 0;
    for (int32_t i = 0; arguments[i] && used + 1 < capacity; i++) {
        if (i > 0) buffer[used++] = ' ';
        for (const char* p = arguments[i]; *p && used + 1 < capacity; p++) buffer[used++] = *p;
    }
    buffer[used] = 0;
}

// The queued events and the crash event, as a list, into "<id>.json": what only the crashed
// process knows. The dump is added by the reporter.
bool SaveEvents(const char* name) {
    Dictionary* root = nullptr;
    Dictionary* list = nullptr;
    Dictionary_Create(&root);
    Dictionary_AddList(root, nullptr, &list, nullptr);
    if (list) Analytics_Dump(list);
    Dictionary* event = nullptr;
    if (list) Dictionary_AddDictionary(list, nullptr, &event, nullptr);
    if (event) WorkflowApp_FillCrashEvent("Native", event);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, root);
    uint32_t estimate = 0;
    bool saved = JSON_SaveBufferEstimate(json, &estimate) == 1;
    std::string text(saved ? (size_t)estimate : 0, '\0');
    uint32_t length = 0;
    saved = saved && JSON_SaveBuffer(json, text.data(), (uint32_t)text.size(), &length) == 1 &&
            Breakpad_SaveFile(name, text.data(), length) == 1;
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    Dictionary_Release(&root);
    return saved;
}

// Dump ids are made of letters, digits, '-' and '_': one from a command line can name no other
// file than a dump of its own.
bool IsDumpId(const char* id) {
    if (!id || !id[0]) return false;
    for (const char* p = id; *p; ++p)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || *p == '-' || *p == '_'))
            return false;
    return true;
}

enum class Claimed { Taken, Missing, Refused, Unlockable, Offered, Busy, Gone };

// A dump taken for sending or removal: its folder and the dump itself, opened and locked.
struct Claim {
    int Directory = -1;
    int Dump = -1;
    void Close() {
        if (Dump >= 0) close(Dump);
        if (Directory >= 0) close(Directory);
        Dump = Directory = -1;
    }
    ~Claim() { Close(); }
};

// The reporter's mark on a dump: a lock on its first byte, of another kind than the dump's own
// (flock) lock, so that it is taken while the crashed process or the start that hands the dump
// over still holds that one. One reporter at a time offers a crash.
struct flock MarkRange() {
    struct flock mark = {};
    mark.l_type = F_WRLCK;
    mark.l_whence = SEEK_SET;
    mark.l_len = 1;
    return mark;
}

bool Mark(int fd, bool* held) {
    struct flock mark = MarkRange();
    *held = false;
    if (fcntl(fd, F_OFD_SETLK, &mark) == 0) return true;
    *held = errno == EAGAIN || errno == EACCES;
    return false;
}

// Whether a reporter holds its mark on the dump.
bool Marked(int fd) {
    struct flock mark = MarkRange();
    return fcntl(fd, F_OFD_GETLK, &mark) == 0 && mark.l_type != F_UNLCK;
}

// Takes the dump `id` in the open directory: a file of ours, locked by us, still named, and (with
// `mark`, as a reporter) marked by us, else marked by no reporter. The crashed process holds the
// lock until it ends, and so does whoever else took it, so the wait (up to waitMs) ends when the
// files are nobody else's; a dump that lost its name meanwhile was handed over by the other.
Claimed ClaimIn(int directory, const char* id, int32_t waitMs, bool mark, int* dump) {
    char name[kNameSize];
    *dump = -1;
    if (!IsDumpId(id) || String_Print(name, sizeof(name), "%s.dmp", id) >= kNameSize - 1) return Claimed::Missing;
    const int fd = openat(directory, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? Claimed::Missing : Claimed::Refused;
    *dump = fd;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) return Claimed::Refused;
    bool held = false;
    if (mark && !Mark(fd, &held)) return held ? Claimed::Offered : Claimed::Unlockable;
    if (!mark && Marked(fd)) return Claimed::Offered;
    const auto start = std::chrono::steady_clock::now();
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return Claimed::Unlockable;
        if (std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(waitMs)) return Claimed::Busy;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (fstat(fd, &info) != 0 || info.st_nlink == 0) return Claimed::Gone;
    return Claimed::Taken;
}

Claimed ClaimDump(const char* id, int32_t waitMs, bool mark, Claim* claim) {
    char path[kDirectorySize];
    claim->Directory = IsDumpId(id) ? OpenDumpDirectory(path, sizeof(path), false) : -1;
    if (claim->Directory < 0) return Claimed::Missing;
    return ClaimIn(claim->Directory, id, waitMs, mark, &claim->Dump);
}

// The reporter's claim, taken before it asks the user and kept until the dump is sent, removed or
// left for a later start.
Claim g_held;
char g_heldId[kNameSize] = "";

// The reporter's claim on `id`: the one it holds, else one taken now. A failure is logged with the
// dump's path; 0 then, and nothing is removed but an event file without its dump.
Claimed TakeClaim(const char* id, const char* dumpPath, Claim* fresh, Claim** claim) {
    *claim = &g_held;
    if (g_held.Dump >= 0 && id && strcmp(g_heldId, id) == 0) return Claimed::Taken;
    *claim = fresh;
    const Claimed claimed = ClaimDump(id, kClaimWaitMs, true, fresh);
    switch (claimed) {
    case Claimed::Taken:
        return claimed;
    case Claimed::Gone:
        Log_Info("Crash dump already handed over [%s]\n", dumpPath);
        break;
    case Claimed::Offered:
        Log_Info("Crash dump offered by another reporter [%s]\n", dumpPath);
        break;
    case Claimed::Busy:
        Log_Error("Crash dump still in use, left for a later start [%s]\n", dumpPath);
        break;
    case Claimed::Unlockable:
        Log_Error("Unable to lock crash dump [%s] [LE: %d]; it is left for a later start\n", dumpPath, errno);
        break;
    case Claimed::Refused:
        Log_Error("Unable to open crash dump [%s]: not a file of this user\n", dumpPath);
        break;
    case Claimed::Missing:
        Log_Error("Unable to open crash dump [%s]\n", dumpPath);
        break;
    }
    return claimed;
}

// Posts the queued events now and waits for the answers: true once every one went out with a
// post the server took. Events a failed post carried leave the queue: they stay in the event file
// for a later start, which sends them once.
bool PostQueuedEvents() {
    if (!Analytics_IsEnabled()) return false;
    WebGetConnection* connection = nullptr;
    WebGetRequest* request = nullptr;
    Analytics_GetWebGetConnectionHandle(&connection);
    Analytics_GetWebGetRequestHandle(&request);
    if (!connection || !request) return false;
    // Each round settles a post or starts one; a failed post ends the rounds, and each successful
    // one takes at least one event, which bounds them.
    for (int32_t rounds = 0; rounds < 1000 && Analytics_PostEvents(1); rounds++) {
        if (!WebGetConnection_WaitForRequest(connection, request) && !WebGetRequest_IsDone(request)) break;
    }
    const bool sent = !Analytics_IsActive();
    if (!sent) Analytics_Clear();
    return sent;
}

void RemoveNames(int directory, const char* id) {
    char name[kNameSize];
    for (const char* extension : {".json", ".dmp"}) {
        String_Print(name, sizeof(name), "%s%s", id, extension);
        unlinkat(directory, name, 0);
    }
}

// The whole of the claimed dump: Whole; NotADump when it is too large or lacks the first line every
// dump has; Unreadable when reading it failed (the dump itself may be sound).
enum class DumpRead { Whole, NotADump, Unreadable };

DumpRead ReadDump(int fd, std::string* bytes) {
    bytes->clear();
    struct stat info;
    if (fstat(fd, &info) != 0) return DumpRead::Unreadable;
    if (info.st_size > kDumpLimit) return DumpRead::NotADump;
    bytes->resize((size_t)info.st_size);
    size_t done = 0;
    while (done < bytes->size()) {
        const ssize_t n = pread(fd, bytes->data() + done, bytes->size() - done, (off_t)done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return DumpRead::Unreadable;
        if (n == 0) break;
        done += (size_t)n;
    }
    bytes->resize(done);
    return bytes->rfind("crash dump ", 0) == 0 ? DumpRead::Whole : DumpRead::NotADump;
}

// The crash event of a list of events: the last item named "CrashDump", added when there is none.
Dictionary* CrashEvent(Dictionary* list) {
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetLast(list, &item); item; Dictionary_ItemGetPrev(list, item, &item)) {
        Dictionary* child = nullptr;
        const char* name = nullptr;
        if (Dictionary_ItemCompareType(list, item, DICTIONARY_TYPE_DICTIONARY) &&
            Dictionary_ItemGetDictionaryHandle(list, item, &child) && child &&
            Dictionary_GetStringPtrByKey(child, "event", &name) && name && strcmp(name, "CrashDump") == 0)
            return child;
    }
    Dictionary* event = nullptr;
    Dictionary_AddDictionary(list, nullptr, &event, nullptr);
    if (event) WorkflowApp_FillCrashEvent("Native", event);
    return event;
}

} // namespace

int64_t CrashReport_BuildFilename(const char* id, const char* extension, char* buffer, int32_t capacity) {
    char directory[kDirectorySize];
    if (!IsDumpId(id) || !DumpDirectory(directory, sizeof(directory))) {
        if (capacity > 0) buffer[0] = 0;
        return 0;
    }
    return String_Print(buffer, capacity, "%s/%s%s", directory, id, extension) < capacity - 1;
}

// Dumps of earlier runs that no reporter took (the crashed process could not start one, or it was
// ended before it could send) are offered by a reporter of their own, as a crash is. Only a dump
// nobody holds is taken: the lock shows a crashed process still at work or a reporter sending it.
// An event file without its dump is removed.
void HandOverLeftovers(CrashReportState* state) {
    // A worker is started by a process that handed them over already; asking twice would offer
    // one crash twice.
    if (CommandLine_IsFieldSet(nullptr, "wfworker")) return;
    char path[kDirectorySize];
    const int directory = OpenDumpDirectory(path, sizeof(path), false);
    if (directory < 0) return;
    const int listing = dup(directory);
    DIR* folder = listing >= 0 ? fdopendir(listing) : nullptr;
    if (!folder) {
        if (listing >= 0) close(listing);
        close(directory);
        return;
    }
    // Only dumps claimed here take a slot: what cannot be claimed (a folder or another user's file
    // under a dump's name, a dump still in use or offered) waits for no turn.
    char ids[kMostLeftovers][kNameSize];
    int dumps[kMostLeftovers];
    int32_t count = 0;
    while (const dirent* entry = readdir(folder)) {
        const size_t length = strlen(entry->d_name);
        char id[kNameSize] = "";
        if (length > 4 && length < sizeof(id)) memcpy(id, entry->d_name, length - 4);
        const char* extension = length > 4 ? entry->d_name + length - 4 : "";
        // A dump a killed process was still writing: once nothing holds it, it is only litter.
        if (length > 5 && strcmp(entry->d_name + length - 5, ".part") == 0) {
            char part[kNameSize] = "";
            if (length - 5 < sizeof(part)) memcpy(part, entry->d_name, length - 5);
            const int fd = IsDumpId(part) ? openat(directory, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1;
            if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) unlinkat(directory, entry->d_name, 0);
            if (fd >= 0) close(fd);
            continue;
        }
        if (strcmp(extension, ".dmp") == 0 && IsDumpId(id)) {
            int dump = -1;
            if (count < kMostLeftovers && ClaimIn(directory, id, 0, false, &dump) == Claimed::Taken) {
                String_CopyLength(ids[count], id, kNameSize);
                dumps[count++] = dump;
            } else if (dump >= 0) {
                close(dump);
            }
        } else if (length > 5 && strcmp(entry->d_name + length - 5, ".json") == 0) {
            char name[kNameSize];
            String_CopyLength(id, entry->d_name, (int32_t)length - 4);
            String_Print(name, sizeof(name), "%s.dmp", id);
            struct stat info;
            if (IsDumpId(id) && fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT &&
                fstatat(directory, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && info.st_uid == geteuid()) {
                Log_Info("Removing crash json without its dump [%s/%s]\n", path, entry->d_name);
                unlinkat(directory, entry->d_name, 0);
            }
        }
    }
    closedir(folder);
    PlatformProcess* reporters[kMostLeftovers] = {};
    for (int32_t i = 0; i < count; i++) {
        // The session the crashed run sent its events under, where its event file says it.
        std::string session;
        std::string text;
        char eventName[kNameSize];
        String_Print(eventName, sizeof(eventName), "%s.json", ids[i]);
        if (ReadOwnFile(directory, eventName, kEventLimit, &text) && !text.empty()) {
            Dictionary* root = nullptr;
            Dictionary_Create(&root);
            JSON* json = nullptr;
            JSON_Create(&json);
            JSON_SetDictionaryHandle(json, root);
            if (JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()) == 1) {
                Dictionary* list = nullptr;
                Dictionary_SkipRootContainer(root, &list);
                const char* value = nullptr;
                Dictionary* event = list ? CrashEvent(list) : nullptr;
                if (event && Dictionary_GetStringPtrByKey(event, "session", &value) && value) session = value;
            }
            JSON_SetDictionaryHandle(json, nullptr);
            JSON_Release(&json);
            Dictionary_Release(&root);
        }
        if (session.empty()) {
            char ours[kDirectorySize] = {};
            Analytics_GetSession(ours, sizeof(ours));
            session = ours;
        }
        const std::string idArgument = std::string(kIdPrefix) + ids[i];
        const std::string sessionArgument = std::string(kSessionPrefix) + session;
        char* arguments[kMostArguments + 1];
        int32_t used = 0;
        for (int32_t j = 1; j <= state->ArgumentCount; j++) {
            char* argument = state->Arguments[j];
            if (argument == state->IdArgument) argument = const_cast<char*>(idArgument.c_str());
            else if (j == state->SessionIndex) argument = const_cast<char*>(sessionArgument.c_str());
            arguments[used++] = argument;
        }
        arguments[used] = nullptr;
        Log_Info("Handing over the crash dump of an earlier run [%s/%s.dmp]\n", path, ids[i]);
        if (!Platform_ExecuteVector(state->Program, used, arguments, state->Directory, PLATFORM_EXECUTE_NORMAL, nullptr,
                                    &reporters[i]) &&
            reporters[i])
            Platform_ProcessDelete(&reporters[i]);
    }
    // Each dump stays locked here until its reporter has marked it as its own, so that no other
    // start hands it over meanwhile; a reporter that never marks it (it could not start, it ended)
    // leaves it to a later start once the wait is over.
    const auto start = std::chrono::steady_clock::now();
    for (int32_t i = 0; i < count; i++) {
        while (reporters[i] && !Marked(dumps[i]) && Platform_ProcessIsRunning(reporters[i]) &&
               std::chrono::steady_clock::now() - start < std::chrono::milliseconds(kHandOverWaitMs))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        close(dumps[i]);
        if (reporters[i]) Platform_ProcessDelete(&reporters[i]);
    }
    close(directory);
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
        CrashReportState* state = GlobalCrashReport;
        if (state->Installed) {
            state->Installed = 0;
            Breakpad_Remove();
        }
        PrepareLaunch(state);
        char directory[kDirectorySize] = {};
        const int fd = OpenDumpDirectory(directory, sizeof(directory), true);
        if (fd < 0) Log_Error("Crash dump directory is not private [%s]\n", directory);
        const BreakpadLaunch launch = {state->Program, state->Arguments, state->Environment, state->Directory};
        const int64_t result = fd >= 0 ? Breakpad_Init(state, directory, CrashReport_ExceptionCallback, &launch) : 0;
        if (fd >= 0) close(fd);
        if (result) Log_Debug("Crash reporting enabled\n");
        state->Installed = result ? 1 : 0;
        if (result) HandOverLeftovers(state);
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
    FreeLaunch(GlobalCrashReport);
    Memory_Free(GlobalCrashReport, sizeof(CrashReportState));
    GlobalCrashReport = nullptr;
    return 1;
}

int64_t CrashReport_IsReporting() {
    return CommandLine_IsFieldSet(nullptr, "crashreport") ? 1 : 0;
}

// On the crash thread, while other threads of a crashed process may hold any lock (the log's, the
// allocator's): the reporter is started first, from what was prepared, and the log line is written
// straight to its descriptors. Only then are the queued events saved, which allocates; should that
// hang, the crashed process still ends within its bound and the reporter makes the event file from
// the dump alone.
int64_t CrashReport_ExceptionCallback(void* context, const char* dumpDirectory, const char* minidumpId,
                                      uint32_t succeeded) {
    CrashReportState* state = static_cast<CrashReportState*>(context);
    if (!IsDumpId(minidumpId) || !dumpDirectory) return 0;
    char line[kCommandSize + kDirectorySize];
    if (succeeded == BREAKPAD_DUMP_NONE) {
        String_Print(line, sizeof(line), "ERROR - Unable to write a crash dump into [%s] [LE: %d]; this crash is not reported\n",
                     dumpDirectory, Breakpad_DumpError());
        Log_WriteCrashLine(line, 1);
        return 0;
    }
    if (succeeded != BREAKPAD_DUMP_WHOLE) {
        // The handler removed the cut dump already: a cut dump is no report.
        String_Print(line, sizeof(line), "ERROR - Crash dump incomplete, removed [%s/%s.dmp]\n", dumpDirectory,
                     minidumpId);
        Log_WriteCrashLine(line, 1);
        return 0;
    }
    if (!state || strlen(minidumpId) != (size_t)kIdSize) return 0;
    memcpy(state->IdArgument + sizeof(kIdPrefix) - 1, minidumpId, kIdSize);
    int32_t pid = 0;
    const bool started = Breakpad_Launch(&pid) == 1;
    const int error = errno;
    char command[kCommandSize];
    CommandText(state->Arguments + 1, command, sizeof(command));
    if (started)
        String_Print(line, sizeof(line), "DEBUG - Running crash dump reporting process (%s)\n", command);
    else
        String_Print(line, sizeof(line),
                     "ERROR - Unable to start the crash dump reporting process (%s) [LE: %d]; the next start hands "
                     "the dump over\n",
                     command, error);
    Log_WriteCrashLine(line, started ? 0 : 1);
    char eventName[kNameSize];
    String_Print(eventName, sizeof(eventName), "%s.json", minidumpId);
    if (!SaveEvents(eventName)) {
        String_Print(line, sizeof(line), "ERROR - Unable to save crash json [%s/%s]; the dump is sent alone\n",
                     dumpDirectory, eventName);
        Log_WriteCrashLine(line, 1);
    }
    return started ? 1 : 0;
}

int64_t CrashReport_ClaimDump(const char* id) {
    char dumpPath[kNameSize];
    CrashReport_BuildFilename(id, ".dmp", dumpPath, sizeof(dumpPath));
    if (g_held.Dump >= 0 && id && strcmp(g_heldId, id) == 0) return 1;
    g_held.Close();
    g_heldId[0] = 0;
    Claim* claim = nullptr;
    Claim fresh;
    if (TakeClaim(id, dumpPath, &fresh, &claim) != Claimed::Taken) return 0;
    g_held.Directory = fresh.Directory;
    g_held.Dump = fresh.Dump;
    fresh.Directory = fresh.Dump = -1;
    String_CopyLength(g_heldId, id, sizeof(g_heldId));
    return 1;
}

int64_t CrashReport_SendDump(const char* id, const char* session) {
    Analytics_SetSession(session ? session : "");
    char dumpPath[kNameSize], eventPath[kNameSize], eventName[kNameSize];
    CrashReport_BuildFilename(id, ".dmp", dumpPath, sizeof(dumpPath));
    CrashReport_BuildFilename(id, ".json", eventPath, sizeof(eventPath));
    String_Print(eventName, sizeof(eventName), "%s.json", id ? id : "");
    Claim fresh;
    Claim* held = nullptr;
    const Claimed claimed = TakeClaim(id, dumpPath, &fresh, &held);
    Claim& claim = *held;
    if (claimed != Claimed::Taken) {
        // An event file without its dump is no report.
        if (claimed == Claimed::Missing && claim.Directory >= 0) unlinkat(claim.Directory, eventName, 0);
        return 1;
    }
    std::string dump;
    const DumpRead dumpRead = ReadDump(claim.Dump, &dump);
    if (dumpRead == DumpRead::Unreadable) {
        Log_Error("Unable to read crash dump [%s] [LE: %d]; it is left for a later start\n", dumpPath, errno);
        return 1;
    }
    if (dumpRead == DumpRead::NotADump) {
        Log_Error("Crash dump incomplete, removed [%s]\n", dumpPath);
        RemoveNames(claim.Directory, id);
        return 1;
    }
    // The event file of the crashed process: only a file of ours, never through a link. Without a
    // readable one (the crashed process could not write it), the crash event is made here.
    std::string text;
    const bool read = ReadOwnFile(claim.Directory, eventName, kEventLimit, &text) && !text.empty();
    Dictionary* root = nullptr;
    Dictionary_Create(&root);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, root);
    const int64_t loaded = read ? JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()) : 0;
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    // A list of events, as written: anything else (cut short, another shape) is no event file.
    Dictionary* events = nullptr;
    DictionaryItem* top = nullptr;
    if (loaded == 1 && Dictionary_ItemGetFirst(root, &top) && top &&
        Dictionary_ItemCompareType(root, top, DICTIONARY_TYPE_LIST))
        Dictionary_ItemGetDictionaryHandle(root, top, &events);
    if (!events) {
        Log_Error("Unable to open crash json [%s]: the crash dump is sent alone\n", eventPath);
        Dictionary_Release(&root);
        Dictionary_Create(&root);
        Dictionary_AddList(root, nullptr, &events, nullptr);
    }
    Dictionary* event = events ? CrashEvent(events) : nullptr;
    uint32_t present = 0;
    if (event && !Dictionary_GetTypeByKey(event, "minidump", &present)) {
        uint32_t size = 0;
        Base64_CalculateEncodeSize((uint32_t)dump.size(), &size);
        std::string encoded((size_t)size + 1, '\0');
        uint32_t written = 0;
        if (Base64_Encode(dump.data(), (int32_t)dump.size(), encoded.data(), (int32_t)encoded.size(), &written)) {
            encoded.resize(written);
            Dictionary_SetStringByKey(event, "minidump", encoded.c_str());
        }
    }
    Log_Info("Sending crash dump to server\n");
    Analytics_SendEventMultiple(events);
    Dictionary_Release(&root);
    // The files go only once a post that carried them succeeded: a report that did not reach the
    // server is sent by a later start.
    if (!PostQueuedEvents()) {
        char endPoint[kDirectorySize] = "";
        WorkflowApp_GetConfig(kAppConfigAnalyticsEndPoint, "", endPoint, sizeof(endPoint));
        Log_Error("Unable to send crash dump to server%s%s%s; it is kept for a later start [%s]\n",
                  endPoint[0] ? " [" : "", endPoint, endPoint[0] ? "]" : "", dumpPath);
        return 1;
    }
    Log_Debug("Deleting crash dump [%s]\n", dumpPath);
    Log_Debug("Deleting crash json [%s]\n", eventPath);
    RemoveNames(claim.Directory, id);
    return 1;
}

int64_t CrashReport_DeleteDump(const char* id) {
    char dumpPath[kNameSize], eventPath[kNameSize], eventName[kNameSize];
    CrashReport_BuildFilename(id, ".dmp", dumpPath, sizeof(dumpPath));
    CrashReport_BuildFilename(id, ".json", eventPath, sizeof(eventPath));
    String_Print(eventName, sizeof(eventName), "%s.json", id ? id : "");
    Claim fresh;
    Claim* held = nullptr;
    const Claimed claimed = TakeClaim(id, dumpPath, &fresh, &held);
    if (claimed == Claimed::Missing && held->Directory >= 0) unlinkat(held->Directory, eventName, 0);
    if (claimed != Claimed::Taken) return 1;
    Log_Debug("Deleting crash dump [%s]\n", dumpPath);
    Log_Debug("Deleting crash json [%s]\n", eventPath);
    RemoveNames(held->Directory, id);
    return 1;
}

int64_t CrashReport_Offer(const char* id, const char* session, uint32_t autoSend) {
    // Claimed before the user is asked: one crash is offered once, whoever else starts a reporter.
    if (!CrashReport_ClaimDump(id)) return 1;
    if (autoSend) return CrashReport_SendDump(id, session);
    // Once dialogs are dismissed nothing is asked, so the display is not even opened.
    if (NativeUI_IsDismissing() || !NativeUI_HasDisplay()) {
        char dumpPath[kNameSize];
        CrashReport_BuildFilename(id, ".dmp", dumpPath, sizeof(dumpPath));
        Log_Error("Crash dump kept for a later start: there is no display to ask whether to send it [%s]\n", dumpPath);
        return 1;
    }
    if (L10N_MessageBoxOverride(nullptr, "Crash_Message", "Crash_Title", kBoxCrashQuestion) == kBoxYes)
        return CrashReport_SendDump(id, session);
    return CrashReport_DeleteDump(id);
}
