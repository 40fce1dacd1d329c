// The main loop's portable half: one pass over the cooperative modules, the plain loop of the
// worker and self-update roles, and the command-line hand-over from a second instance.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/linux/gui/progress_window.h"
#include "core/linux/platform_singleton.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "host/host.h"
#include "host/host_outcome.h"
#include "skin/skin_app.h"
#include "skin/skin_window.h"
#include "skin/web_browser.h"
#include "workflow/task_request.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_interop.h"
#include "workflow/workflow_manager.h"

namespace {

// How long a shutdown asked for by a signal waits for the running workflow to unload.
constexpr double kStopSeconds = 10;
// The roles without a window end within their signal deadline: the wait for the workflow leaves
// this much of it to the shutdown that follows.
constexpr double kTeardownSeconds = 2;

bool KeepForHandOver(const char* name) {
    return !Core_ShouldRemoveSwitch(name) && !Host_ShouldRemoveSwitch(name) && !Skin_ShouldRemoveSwitch(name) &&
           !Workflow_ShouldRemoveSwitch(name);
}

// Well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF). The running
// instance refuses a hand-over that holds anything else, which would lose every field with it.
bool IsWellFormedUtf8(const char* text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        const unsigned char c = *p;
        int extra = 0;
        uint32_t point = 0;
        if (c < 0x80) {
            p++;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            point = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            point = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            point = c & 0x07;
        } else {
            return false;
        }
        for (int i = 1; i <= extra; i++) {
            if ((p[i] & 0xC0) != 0x80) return false;
            point = (point << 6) | (p[i] & 0x3F);
        }
        if ((extra == 2 && (point < 0x800 || (point >= 0xD800 && point <= 0xDFFF))) ||
            (extra == 3 && (point < 0x10000 || point > 0x10FFFF)))
            return false;
        p += extra + 1;
    }
    return true;
}

// A page may keep its window open when asked to close. One asked by a signal gets the roles'
// stop time to agree; then its windows close without asking, so that the process ends.
double g_signalCloseBy = 0;

// What the last hand-over to a running instance came to (SKINAPP_INFORM_*).
int64_t g_handOver = SKINAPP_INFORM_NOTHING;

// Whether any field of the command line would be handed over, were there room for it.
bool AnyToHandOver() {
    int32_t count = 0;
    CommandLine_GetFieldCount(nullptr, &count);
    for (int32_t i = 0; i < count; i++) {
        char field[HOST_FIELD_SIZE] = "";
        char name[HOST_FIELD_SIZE] = "";
        if (CommandLine_GetField(nullptr, i, field, sizeof(field)) && CommandLine_GetFieldName(field, name, sizeof(name)) &&
            name[0] && KeepForHandOver(name) && IsWellFormedUtf8(field))
            return true;
    }
    return false;
}

// The self-update role's run, as its one line names it: the workflow's file (or "run").
char g_runPlace[1024] = "run";
// Whether a signal's end of a windowless run has been told (at most once, whenever it came).
std::atomic<bool> g_signalTold{false};
// Whether this process is the self-update role, kept for after its modules are gone.
bool g_selfUpdateRun = false;

void RememberRunPlace() {
    if (!WorkflowApp_IsSelfUpdate()) return;
    char name[120] = "";
    WorkflowApp_GetConfig(kAppConfigSelfUpdateWorkflow, "selfupdate.yaml", name, sizeof(name));
    char url[1024] = "";
    String_Print(url, sizeof(url), "{contentUrl}%s", name);
    WorkflowApp_ExpandString(url, url, sizeof(url));
    char place[1024] = "";
    TaskRequest_PlaceOf(url, place, sizeof(place));
    if (place[0]) String_CopyLength(g_runPlace, place, sizeof(g_runPlace));
}

void SignalName(int32_t signal, char* said, int32_t capacity) {
    if (signal == SIGINT) String_CopyLength(said, "SIGINT", capacity);
    else if (signal == SIGTERM) String_CopyLength(said, "SIGTERM", capacity);
    else String_Print(said, capacity, "signal %d", signal);
}

// A workflow run that a signal cut short did not succeed: it ends with 128 + the signal, as a
// shell reports a program the signal ended, and says so once. A failure already told at ERROR
// keeps its line as the run's one; the signal's is then told below it.
bool ReportCutShort(int32_t signal) {
    if (g_signalTold.exchange(true)) return false;
    RememberRunPlace();
    char said[24];
    SignalName(signal, said, sizeof(said));
    const uint32_t code = 128 + (uint32_t)signal;
    Debug_SetExitCode(code);
    char failed[2048] = "";
    HostOutcome_TakeStoppedFailure(failed, sizeof(failed));
    if (!failed[0] && HostOutcome_Told())
        Log_Info("Workflow %s was stopped by %s as it ended: exit code %u\n", g_runPlace, said, code);
    else
        Log_Error("Workflow %s was stopped by %s before it ended%s%s: exit code %u\n", g_runPlace, said,
                  failed[0] ? "," : "", failed, code);
    return true;
}

int64_t CloseWithoutAsking(void*, SkinWindow* window) {
    SkinWindow_SetReadyEmergencyClose(window);
    SkinWindow_Close(window);
    return 1;
}

// A window whose page allows closing closes at once when the user asks through a signal: what
// the page still holds goes with it, as it does when the page closes its own windows.
int64_t CloseAllowed(void*, SkinWindow* window) {
    uint32_t canClose = 0;
    if (SkinWindow_GetCanClose(window, &canClose) && canClose) {
        Interop_ReleaseInstancesOfRequester(window);
        SkinWindow_Close(window);
    }
    return 1;
}

} // namespace

int64_t Host_Process() {
    if (Host_TakeShutdownRequest()) {
        SkinApp_EnumerateWindows(nullptr, CloseAllowed);
        Host_Shutdown();
        if (g_signalCloseBy == 0) g_signalCloseBy = Time_GetCurrent() + kStopSeconds;
    }
    if (g_signalCloseBy > 0 && Time_GetCurrent() > g_signalCloseBy) {
        g_signalCloseBy = -1;
        Log_Warning("Windows still open %.0f s after the shutdown request: closing them\n", kStopSeconds);
        SkinApp_EnumerateWindows(nullptr, CloseWithoutAsking);
    }
    Platform_SingletonReadData();
    WorkflowApp_Process();
    WorkflowManager_Process();
    return SkinApp_Process();
}

int64_t Host_RunMessagePump() {
    const bool selfUpdate = WorkflowApp_IsSelfUpdate() != 0;
    if (!WorkflowApp_IsWorker() && !selfUpdate) return WebBrowser_RunMessagePump();
    Host_PlatformSetSignalDeadline(HOST_SIGNAL_DEADLINE_NO_WINDOW);
    bool wasActive = false;
    bool cutShort = false;
    double stopBy = 0;
    for (;;) {
        // These roles have no window to close: a signal's request for shutdown unloads what runs
        // and ends the loop once it has ended (or the wait is over), so that the process shuts
        // down in order instead of running on until it is killed.
        if (Host_TakeShutdownRequest() && stopBy == 0) {
            Log_Info("Shutdown requested\n");
            cutShort = WorkflowApp_IsActive() != 0;
            HostOutcome_SetStopping();
            Host_Shutdown();
            if (selfUpdate) WorkflowManager_Unload(nullptr, nullptr);
            stopBy = Time_GetCurrent() + (double)HOST_SIGNAL_DEADLINE_NO_WINDOW - kTeardownSeconds;
        }
        const bool active = WorkflowApp_IsActive() != 0;
        if (stopBy != 0 && (!selfUpdate || !active || Time_GetCurrent() > stopBy)) break;
        if (selfUpdate) {
            // A workflow that finished before the first pass saw it must not end the loop
            // before it ever started.
            if (active) wasActive = true;
            else if (wasActive) break;
        } else if (WorkflowApp_IsDisconnected()) {
            break;
        }
        SkinApp_ProcessWebServer();
        WorkflowApp_Process();
        // The self-update role's progress window has no toolkit loop of its own.
        if (selfUpdate) ProgressWindow_Process();
        WorkflowApp_Wait(1);
    }
    if (cutShort && Host_ShutdownSignal() > 0) ReportCutShort(Host_ShutdownSignal());
    Host_SettleSignal();
    return 1;
}

int64_t Host_SettleSignal() {
    if (WorkflowApp_IsSelfUpdate()) {
        g_selfUpdateRun = true;
        RememberRunPlace();
    }
    const int32_t signal = Host_ShutdownSignal();
    if (signal <= 0 || !g_selfUpdateRun) return 0;
    return ReportCutShort(signal) ? 1 : 0;
}

int64_t Host_SettleSignalAfterRemove(uint32_t* code) {
    ASSERT_POINTER(code);
    const int32_t signal = Host_ShutdownSignal();
    if (signal <= 0 || !g_selfUpdateRun || g_signalTold.exchange(true)) return 0;
    *code = 128 + (uint32_t)signal;
    // The log is gone with the modules: the line goes to standard error as the log writes it there.
    char said[24];
    SignalName(signal, said, sizeof(said));
    fprintf(stderr, "ERROR - Workflow %s was stopped by %s as it ended: exit code %u\n", g_runPlace, said, *code);
    fflush(stderr);
    return 1;
}

int64_t Host_BuildCommandLineParams(const char* commandLine, char* buffer, int32_t capacity, uint32_t* length) {
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    *length = 0;
    if (capacity > 0) buffer[0] = 0;
    Dictionary* document = nullptr;
    Dictionary_Create(&document);
    Dictionary* root = nullptr;
    Dictionary* args = nullptr;
    Dictionary_AddDictionary(document, nullptr, &root, nullptr);
    Dictionary_AddList(root, "args", &args, nullptr);
    int32_t count = 0;
    int32_t kept = 0;
    CommandLine_GetFieldCount(commandLine, &count);
    for (int32_t i = 0; i < count; i++) {
        char field[HOST_FIELD_SIZE] = "";
        char name[HOST_FIELD_SIZE] = "";
        if (!CommandLine_GetField(commandLine, i, field, sizeof(field))) continue;
        if (!CommandLine_GetFieldName(field, name, sizeof(name)) || !name[0]) continue;
        if (!KeepForHandOver(name)) continue;
        if (!IsWellFormedUtf8(field)) {
            Log_Warning("Not handed over, not UTF-8 (%s)\n", name);
            continue;
        }
        Dictionary_AddString(args, nullptr, field, nullptr);
        kept++;
    }
    int64_t result = 0;
    if (kept > 0) {
        JSON* json = nullptr;
        JSON_Create(&json);
        JSON_SetMinify(json, 1);
        JSON_SetDictionaryHandle(json, document);
        // One byte is kept for the terminator: the receiver reads a zero-terminated text.
        const uint32_t room = capacity > 0 ? (uint32_t)capacity - 1 : 0;
        uint32_t written = 0;
        uint32_t estimate = 0;
        JSON_SaveBufferEstimate(json, &estimate);
        if (estimate <= HOST_HANDOVER_MAX_LENGTH && estimate <= room &&
            JSON_SaveBuffer(json, buffer, room, &written) && written <= HOST_HANDOVER_MAX_LENGTH) {
            buffer[written] = 0;
            *length = written;
            result = 1;
        } else if (capacity > 0) {
            buffer[0] = 0;
        }
        JSON_SetDictionaryHandle(json, nullptr);
        JSON_Release(&json);
    }
    Dictionary_Release(&document);
    return result;
}

int64_t Host_PostCommandLineParams() {
    char text[HOST_HANDOVER_MAX_LENGTH + 1];
    uint32_t length = 0;
    if (!Host_BuildCommandLineParams(nullptr, text, sizeof(text), &length)) {
        if (AnyToHandOver()) {
            Log_Error("The command line is too long to hand to the running instance (at most %d bytes)\n",
                      HOST_HANDOVER_MAX_LENGTH);
            return g_handOver = SKINAPP_INFORM_FAILED;
        }
        Log_Debug("Nothing to hand over to the running instance\n");
        return g_handOver = SKINAPP_INFORM_NOTHING;
    }
    g_handOver = Platform_SingletonSendData(text, (int32_t)length) ? SKINAPP_INFORM_DELIVERED : SKINAPP_INFORM_FAILED;
    return g_handOver;
}

int64_t Host_HandOverResult() { return g_handOver; }

int64_t Host_OpenURL(const char* url) {
    ASSERT_POINTER(url);
    Log_Info("Open Application Url: %s\n", url);
    char field[HOST_FIELD_SIZE];
    String_Print(field, sizeof(field), "--open=\"%s\"", url);
    // The first URL also reaches code that reads the command line; later ones only the page.
    if (!CommandLine_IsFieldSet(nullptr, "open")) CommandLine_Append(field);
    Dictionary* info = nullptr;
    Dictionary* args = nullptr;
    Dictionary_Create(&info);
    Dictionary_AddList(info, "args", &args, nullptr);
    Dictionary_AddString(args, nullptr, field, nullptr);
    char appId[40] = "";
    SkinApp_GetInstanceId(appId, sizeof(appId));
    const int64_t fired = NotificationCenter_FireAfterDelay("SkinApp", "NewCommandLine", appId, 0, info);
    Dictionary_Release(&info);
    return fired ? 1 : 0;
}
