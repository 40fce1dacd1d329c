// The engine context while the program runs: the per-pass pump with its once-a-second status,
// the process-state queries, the meters and their limits, and the small accessors the host and the
// engine's script class read (exit code, restart, implode, command line, log).
#include <cstring>

#include "core/formats/interop.h"
#include "core/linux/platform.h"
#include "core/linux/platform_file.h"
#include "core/linux/platform_system.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/log.h"
#include "core/runtime/meter.h"
#include "core/runtime/meter_rw.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/analytics.h"
#include "core/web/web_get_cache.h"
#include "core/web/web_get_pool.h"
#include "workflow/notification_endpoint.h"
#include "workflow/workflow_app_internal.h"

namespace {

// Special path id of the running executable.
constexpr uint32_t kModulePath = 16;

WorkflowApp* App() {
    ASSERT_POINTER(GlobalWorkflowApp);
    return GlobalWorkflowApp;
}

void DumpMeter(Dictionary* dict, MeterRW* meter, const char* prefix) {
    uint64_t readBytes = 0, writeBytes = 0;
    double readSpeed = 0, writeSpeed = 0, maxRead = 0, maxWrite = 0;
    int32_t readLimit = 0, writeLimit = 0;
    MeterRW_GetOverallUsage(meter, &readBytes, &writeBytes);
    MeterRW_GetCurrentBandwidth(meter, &readSpeed, &writeSpeed);
    MeterRW_GetMaxBandwidth(meter, &maxRead, &maxWrite);
    MeterRW_GetLimitBandwidth(meter, &readLimit, &writeLimit);
    char key[64];
    auto name = [&](const char* item) {
        String_Print(key, sizeof(key), "%s%s", prefix, item);
        return key;
    };
    Dictionary_SetInt64ByKey(dict, name("ReadBytes"), static_cast<int64_t>(readBytes));
    Dictionary_SetInt64ByKey(dict, name("WriteBytes"), static_cast<int64_t>(writeBytes));
    Dictionary_SetFloat64ByKey(dict, name("ReadSpeed"), readSpeed);
    Dictionary_SetFloat64ByKey(dict, name("WriteSpeed"), writeSpeed);
    Dictionary_SetFloat64ByKey(dict, name("MaxReadSpeed"), maxRead);
    Dictionary_SetFloat64ByKey(dict, name("MaxWriteSpeed"), maxWrite);
    Dictionary_SetInt64ByKey(dict, name("ReadBandwidth"), readLimit > 0 ? readLimit : 0);
    Dictionary_SetInt64ByKey(dict, name("WriteBandwidth"), writeLimit > 0 ? writeLimit : 0);
}

// Rebuilds the status from the meters and publishes it when an item changed.
void ProcessStatus(WorkflowApp* app) {
    const double now = Time_GetCurrent();
    if (now < app->NextStatusTime) return;
    WorkflowApp_Dump(app->StatusSource);
    uint32_t before = 0, after = 0;
    Dictionary_ItemGetCount(app->Status, &before);
    Dictionary_Sync(app->Status, app->StatusSource, nullptr, nullptr);
    Dictionary_ItemGetCount(app->Status, &after);
    // Items added by the sync announce no change of their own.
    if (after != before) app->StatusChanged = 1;
    if (app->StatusChanged) {
        NotificationCenter_FireAfterDelay("WorkflowApp", "Status", app->Header.InstanceId, 0, app->Status);
        app->StatusChanged = 0;
    }
    app->NextStatusTime = now + 1.0;
}

int64_t SetLimit(MeterRW* meter, int32_t bytesPerSecond, bool read) {
    return WorkflowApp_SetMeterLimits(meter, read ? &bytesPerSecond : nullptr, read ? nullptr : &bytesPerSecond);
}

int64_t GetLimit(MeterRW* meter, int32_t* bytesPerSecond, bool read) {
    ASSERT_POINTER(bytesPerSecond);
    *bytesPerSecond = 0;
    int32_t readLimit = 0, writeLimit = 0;
    if (!MeterRW_GetLimitBandwidth(meter, &readLimit, &writeLimit)) return 0;
    const int32_t limit = read ? readLimit : writeLimit;
    *bytesPerSecond = limit > 0 ? limit : 0;
    return 1;
}

int64_t CopyOut(char* buffer, int32_t capacity, const char* text) {
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    String_CopyLength(buffer, text, capacity);
    return 1;
}

} // namespace

// A limit of 0 (or below) is none; the meter takes a negative limit for none, and raises small
// positive ones to its minimum.
int64_t WorkflowApp_SetMeterLimits(MeterRW* meter, const int32_t* read, const int32_t* write) {
    if (!meter) return 0;
    int32_t readLimit = 0, writeLimit = 0;
    MeterRW_GetLimitBandwidth(meter, &readLimit, &writeLimit);
    if (read) readLimit = *read > 0 ? *read : -1;
    if (write) writeLimit = *write > 0 ? *write : -1;
    return MeterRW_SetLimitBandwidth(meter, readLimit, writeLimit);
}

// ---- Pump ---------------------------------------------------------------------------------------

int64_t WorkflowApp_Process() {
    WorkflowApp* app = App();
    ProcessStatus(app);
    WorkflowApp_ProcessInterop();
    EventQueue_Flush(nullptr);
    IOWorker_Process();
    Meter_Process();
    WebGetPool_Process();
    WebGetCache_Expire(0);
    NotificationCenter_Process();
    Interop_Process();
    if (app->EndPoint) NotificationEndPoint_Process(app->EndPoint);
    Analytics_Process();
    // A disconnected worker ends only once the runs it was serving have ended.
    if (app->DisconnectSeen) {
        uint32_t running = 0;
        WorkflowRun_GetRunningCount(&running);
        if (running == 0) {
            app->DisconnectSeen = 0;
            app->Disconnected = 1;
        }
    }
    return 1;
}

int64_t WorkflowApp_Wait(int32_t milliseconds) {
    return Thread_Wait(milliseconds);
}

int64_t WorkflowApp_IsActive() {
    if (!GlobalWorkflowApp) return 0;
    uint32_t running = 0;
    WorkflowRun_GetRunningCount(&running);
    return running > 0 ? 1 : 0;
}

int64_t WorkflowApp_IsDisconnected() {
    return GlobalWorkflowApp ? GlobalWorkflowApp->Disconnected : 1;
}

int64_t WorkflowApp_IsBusy() {
    WorkflowApp* app = GlobalWorkflowApp;
    if (!app) return 0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(app->RunningTasks, &item); item;
         Dictionary_ItemGetNext(app->RunningTasks, item, &item)) {
        const char* name = nullptr;
        int32_t length = 0;
        Dictionary_ItemGetBufferPtr(app->RunningTasks, item, &name, &length);
        if (!name || length <= 0) return 1;
        if (!(length == 6 && String_CompareLengthWithoutCase(name, "global", 6))) return 1;
    }
    return 0;
}

int64_t WorkflowApp_Dump(Dictionary* dict) {
    ASSERT_POINTER(dict);
    WorkflowApp* app = App();
    DumpMeter(dict, app->LocalMeter, "local");
    DumpMeter(dict, app->RemoteMeter, "remote");
    return 1;
}

// ---- Identity and time ----------------------------------------------------------------------------

int64_t WorkflowApp_GetInstanceId(char* buffer, int32_t capacity) {
    return CopyOut(buffer, capacity, App()->Header.InstanceId);
}

int64_t WorkflowApp_IsElevated() {
    int32_t elevated = 0;
    return Platform_IsElevated(&elevated) && elevated ? 1 : 0;
}

int64_t WorkflowApp_GetStartTime(double* seconds) {
    ASSERT_POINTER(seconds);
    *seconds = App()->StartTime;
    return 1;
}

int64_t WorkflowApp_GetRunningTime(double* seconds) {
    ASSERT_POINTER(seconds);
    *seconds = Time_GetCurrent() - App()->StartTime;
    return 1;
}

int64_t WorkflowApp_GetCurrentTime(double* seconds) {
    ASSERT_POINTER(seconds);
    *seconds = Time_GetCurrent();
    return 1;
}

int64_t WorkflowApp_Add(const char* url) {
    ASSERT_POINTER(url);
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_SetStringByKey(info, "url", url);
    NotificationCenter_FireAfterDelay("WorkflowRun", "Start", "Global", 0, info);
    Dictionary_Release(&info);
    return 1;
}

// ---- Meters ---------------------------------------------------------------------------------------

int64_t WorkflowApp_GetLocalMeterRWHandle(MeterRW** meter) {
    ASSERT_POINTER(meter);
    *meter = GlobalWorkflowApp ? GlobalWorkflowApp->LocalMeter : nullptr;
    return *meter ? 1 : 0;
}

int64_t WorkflowApp_GetRemoteMeterRWHandle(MeterRW** meter) {
    ASSERT_POINTER(meter);
    *meter = GlobalWorkflowApp ? GlobalWorkflowApp->RemoteMeter : nullptr;
    return *meter ? 1 : 0;
}

int64_t WorkflowApp_SetLocalReadBandwidth(int32_t bytesPerSecond) {
    return SetLimit(App()->LocalMeter, bytesPerSecond, true);
}
int64_t WorkflowApp_SetLocalWriteBandwidth(int32_t bytesPerSecond) {
    return SetLimit(App()->LocalMeter, bytesPerSecond, false);
}
int64_t WorkflowApp_SetRemoteReadBandwidth(int32_t bytesPerSecond) {
    return SetLimit(App()->RemoteMeter, bytesPerSecond, true);
}
int64_t WorkflowApp_SetRemoteWriteBandwidth(int32_t bytesPerSecond) {
    return SetLimit(App()->RemoteMeter, bytesPerSecond, false);
}
int64_t WorkflowApp_GetLocalReadBandwidth(int32_t* bytesPerSecond) {
    return GetLimit(App()->LocalMeter, bytesPerSecond, true);
}
int64_t WorkflowApp_GetLocalWriteBandwidth(int32_t* bytesPerSecond) {
    return GetLimit(App()->LocalMeter, bytesPerSecond, false);
}
int64_t WorkflowApp_GetRemoteReadBandwidth(int32_t* bytesPerSecond) {
    return GetLimit(App()->RemoteMeter, bytesPerSecond, true);
}
int64_t WorkflowApp_GetRemoteWriteBandwidth(int32_t* bytesPerSecond) {
    return GetLimit(App()->RemoteMeter, bytesPerSecond, false);
}

// ---- Exit, restart and implode ------------------------------------------------------------------

int64_t WorkflowApp_SetExitCode(uint32_t code) {
    return Debug_SetExitCode(code);
}

int64_t WorkflowApp_GetExitCode(uint32_t* code) {
    ASSERT_POINTER(code);
    *code = Debug_ExitCode();
    return 1;
}

int64_t WorkflowApp_SetRestart(uint32_t flag) {
    App()->Restart = flag ? 1 : 0;
    return 1;
}

int64_t WorkflowApp_GetRestart(uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = App()->Restart;
    return 1;
}

int64_t WorkflowApp_SetRestartElevated(uint32_t flag) {
    App()->RestartElevated = flag ? 1 : 0;
    return 1;
}

int64_t WorkflowApp_GetRestartElevated(uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = App()->RestartElevated;
    return 1;
}

namespace {

// A program to restart or a folder to remove that names a location nobody could name (or a
// refused folder) is not taken: the earlier one stays, and the line says why.
bool RefusedPlace(const char* what, const char* path) {
    char why[512], shown[1024];
    if (!String_ExpandJudgeLocation(path, why, (int32_t)sizeof(why), shown, (int32_t)sizeof(shown))) return false;
    Log_Error("The %s is not set: it %s: %s\n", what, why, shown);
    return true;
}

} // namespace

int64_t WorkflowApp_SetRestartPath(const char* path) {
    ASSERT_POINTER(path);
    if (RefusedPlace("restart path", path)) return 0;
    WorkflowApp* app = App();
    String_CopyLength(app->RestartPath, path, sizeof(app->RestartPath));
    return 1;
}

int64_t WorkflowApp_GetRestartPath(char* buffer, int32_t capacity) {
    return CopyOut(buffer, capacity, App()->RestartPath);
}

int64_t WorkflowApp_SetRestartArguments(const char* text) {
    ASSERT_POINTER(text);
    // Judged word by word as the restart splits them: a word that still holds a location nobody
    // could name or begins in a refused folder would be a name in whatever the current folder is.
    int32_t count = 0;
    char** words = nullptr;
    if (!Arguments_Build(text, &count, &words)) return 0;
    bool refused = false;
    for (int32_t i = 0; i < count && !refused; i++) {
        char why[512], shown[1024];
        refused = String_ExpandJudgeLocation(words[i], why, (int32_t)sizeof(why), shown, (int32_t)sizeof(shown));
        if (refused) Log_Error("The restart arguments are not set: an argument %s: %s\n", why, shown);
    }
    Arguments_Free(&count, &words);
    if (refused) return 0;
    WorkflowApp* app = App();
    String_CopyLength(app->RestartArguments, text, sizeof(app->RestartArguments));
    return 1;
}

int64_t WorkflowApp_GetRestartArguments(char* buffer, int32_t capacity) {
    return CopyOut(buffer, capacity, App()->RestartArguments);
}

int64_t WorkflowApp_AppendRestartArguments(const char* text) {
    ASSERT_POINTER(text);
    WorkflowApp* app = App();
    if (app->RestartArguments[0] != 0)
        String_CatLength(app->RestartArguments, " ", sizeof(app->RestartArguments));
    String_CatLength(app->RestartArguments, text, sizeof(app->RestartArguments));
    return 1;
}

int64_t WorkflowApp_SetImplodePath(const char* path) {
    ASSERT_POINTER(path);
    if (RefusedPlace("folder to remove", path)) return 0;
    WorkflowApp* app = App();
    String_CopyLength(app->ImplodePath, path, sizeof(app->ImplodePath));
    return 1;
}

int64_t WorkflowApp_GetImplodePath(char* buffer, int32_t capacity) {
    return CopyOut(buffer, capacity, App()->ImplodePath);
}

int64_t WorkflowApp_Implode() {
    WorkflowApp* app = App();
    char path[WORKFLOWAPP_PATH_SIZE];
    if (!Platform_GetSpecialPath(kModulePath, path, sizeof(path)) || path[0] == 0) return 0;
    if (!Platform_FileExists(path)) return 0;
    String_CopyLength(app->ImplodePath, path, sizeof(app->ImplodePath));
    return 1;
}

int64_t WorkflowApp_SetPreventSystemShutdown(uint32_t flag) {
    App()->PreventSystemShutdown = flag ? 1 : 0;
    return 1;
}

int64_t WorkflowApp_GetPreventSystemShutdown(uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = App()->PreventSystemShutdown;
    return 1;
}

// ---- Command line and log -------------------------------------------------------------------------

int64_t WorkflowApp_GetCommandFieldCount(int32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    return CommandLine_GetFieldCount(nullptr, count);
}

int64_t WorkflowApp_IsCommandFieldSet(const char* name) {
    ASSERT_POINTER(name);
    return CommandLine_IsFieldSet(nullptr, name);
}

int64_t WorkflowApp_GetCommandFieldByName(const char* name, char* buffer, int32_t capacity) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    return CommandLine_GetFieldByName(nullptr, name, buffer, capacity);
}

int64_t WorkflowApp_GetCommandField(int32_t index, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    return CommandLine_GetField(nullptr, index, buffer, capacity);
}

int64_t WorkflowApp_GetCommandLine(char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    const char* text = nullptr;
    if (!CommandLine_Get(&text) || !text) return 0;
    return CopyOut(buffer, capacity, text);
}

int64_t WorkflowApp_GetDebugFilename(char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    return Log_GetFilename(buffer, capacity);
}

int64_t WorkflowApp_GetDebugFlags(uint32_t* flags) {
    ASSERT_POINTER(flags);
    *flags = Debug_Flags();
    return 1;
}

int64_t WorkflowApp_SetDebugLogging(const char* filename, uint32_t flags) {
    ASSERT_POINTER(filename);
    Debug_SetFlags(flags);
    return Log_SetFilename(filename);
}

int64_t WorkflowApp_DebugPrint(const char* text) {
    ASSERT_POINTER(text);
    return Log_PrintStringWithTimeStamp(text);
}

int64_t WorkflowApp_Crash() {
    Debug_Abort("Crashing");
}
