// The crash report glue: where dumps go, the event file that carries the dump to the analytics
// service, and the reporter process that sends it.
#include "host/crash_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/formats/base64.h"
#include "core/formats/json.h"
#include "core/linux/platform.h"
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

struct CrashReportState {
    uint32_t Installed;
};

CrashReportState* GlobalCrashReport = nullptr;

// Dumps go to the desktop when the log does (the "debugfile" switch), else to the temporary
// directory.
bool DumpDirectory(char* buffer, int32_t capacity) {
    const uint32_t kind = (Debug_Flags() & DEBUG_FLAG_DESKTOP_LOG) ? PLATFORM_PATH_USER_DESKTOP : PLATFORM_PATH_TEMP;
    if (!Platform_GetSpecialPath(kind, buffer, capacity)) return false;
    // The directory is named without its trailing separator: file names add their own.
    size_t length = strlen(buffer);
    while (length > 1 && buffer[length - 1] == '/') buffer[--length] = 0;
    return length > 0;
}

// The whole dump file, read without following a link.
bool ReadDump(const char* path, std::string* bytes) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > (1 << 30)) {
        close(fd);
        return false;
    }
    bytes->resize((size_t)info.st_size);
    size_t done = 0;
    while (done < bytes->size()) {
        const ssize_t n = read(fd, bytes->data() + done, bytes->size() - done);
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
    return std::string();
}

bool SaveEvents(const char* path, const std::string& dump) {
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
    const int64_t saved = JSON_SaveFile(json, path);
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    Dictionary_Release(&root);
    return saved == 1;
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
        char directory[kDirectorySize];
        const int64_t result =
            DumpDirectory(directory, sizeof(directory)) ? Breakpad_Init(GlobalCrashReport, directory, CrashReport_ExceptionCallback) : 0;
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

int64_t CrashReport_ExceptionCallback(void*, const char*, const char* minidumpId, uint32_t) {
    char dumpPath[kNameSize], eventPath[kNameSize];
    CrashReport_BuildFilename(minidumpId, ".dmp", dumpPath, sizeof(dumpPath));
    CrashReport_BuildFilename(minidumpId, ".json", eventPath, sizeof(eventPath));
    if (access(dumpPath, F_OK) != 0) {
        Log_Error("Unable to locate crash dump [%s]\n", dumpPath);
        return 0;
    }
    std::string dump;
    if (!ReadDump(dumpPath, &dump)) {
        Log_Error("Unable to open crash dump [%s]\n", dumpPath);
        return 0;
    }
    SaveEvents(eventPath, dump);

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
    if (process) Platform_ProcessDelete(&process);
    return 1;
}

int64_t CrashReport_SendDump(const char* id, const char* session) {
    Analytics_SetSession(session);
    char eventPath[kNameSize];
    CrashReport_BuildFilename(id, ".json", eventPath, sizeof(eventPath));
    Dictionary* root = nullptr;
    Dictionary_Create(&root);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, root);
    const int64_t loaded = JSON_LoadFile(json, eventPath);
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
    char path[kNameSize];
    if (CrashReport_BuildFilename(id, ".dmp", path, sizeof(path))) unlink(path);
    Log_Debug("Deleting crash dump [%s]\n", path);
    if (CrashReport_BuildFilename(id, ".json", path, sizeof(path))) unlink(path);
    Log_Debug("Deleting crash json [%s]\n", path);
    return 1;
}
