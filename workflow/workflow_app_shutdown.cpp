// The engine's answers to process-wide notifications: the graceful shutdown that waits for busy
// tasks, bandwidth limits set from either process, and connection errors turned into analytics.
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/meter_rw.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/web/analytics.h"
#include "core/web/web_get.h"
#include "workflow/workflow_app_internal.h"

namespace {

// The sender of the shutdown being waited for, for the observer's removal.
char g_shutdownSender[NOTIFICATIONCENTER_TEXT_SIZE];

bool BooleanItem(Dictionary* info, const char* key, uint32_t* value) {
    *value = 0;
    return info && Dictionary_GetBooleanByKey(info, key, value);
}

int64_t OnShutdownWait(void* user, const char*, const char*, const char*, Dictionary*) {
    WorkflowApp* app = static_cast<WorkflowApp*>(user);
    if (WorkflowApp_IsBusy()) return 1;
    char sender[NOTIFICATIONCENTER_TEXT_SIZE];
    String_CopyLength(sender, g_shutdownSender, sizeof(sender));
    NotificationCenter_RemoveProcessObserver(sender, app, OnShutdownWait);
    Dictionary* info = app->ShutdownInfo;
    app->ShutdownInfo = nullptr;
    if (!info) return 1;
    Dictionary_SetBooleanByKey(info, "force", 1);
    NotificationCenter_Fire("WorkflowApp", "Shutdown", sender, info);
    Dictionary_Release(&info);
    return 1;
}

int64_t ApplyLimits(MeterRW* meter, Dictionary* info) {
    if (!meter || !info) return 0;
    int32_t read = 0, write = 0;
    const bool hasRead = Dictionary_GetInt32ByKey(info, "readBandwidth", &read);
    const bool hasWrite = Dictionary_GetInt32ByKey(info, "writeBandwidth", &write);
    return WorkflowApp_SetMeterLimits(meter, hasRead ? &read : nullptr, hasWrite ? &write : nullptr);
}

} // namespace

int64_t WorkflowApp_Notification_OnShutdown(void* user, const char*, const char*, const char* instance,
                                            Dictionary* info) {
    WorkflowApp* app = static_cast<WorkflowApp*>(user);
    if (app->ShuttingDown) return 1;
    app->ShuttingDown = 1;
    if (app->IsWorker) {
        // The worker ends only when its own process asks, with information that stays local.
        uint32_t flag = 0;
        if (BooleanItem(info, "isRemote", &flag) && flag) return 1;
        if (!info || !Dictionary_ContainsKey(info, "canRemote")) return 1;
        if (BooleanItem(info, "canRemote", &flag) && flag) return 1;
    }
    int32_t exitCode = 0;
    if (info && Dictionary_GetInt32ByKey(info, "exitCode", &exitCode)) Debug_SetExitCode(static_cast<uint32_t>(exitCode));
    uint32_t force = 0;
    if (BooleanItem(info, "force", &force) && force) return 1;

    if (app->ShutdownInfo) Dictionary_Release(&app->ShutdownInfo);
    Dictionary_Create(&app->ShutdownInfo);
    if (info) Dictionary_Merge(app->ShutdownInfo, info, DICTIONARY_MERGE_OVERWRITE);
    String_CopyLength(g_shutdownSender, instance ? instance : "Global", sizeof(g_shutdownSender));
    NotificationCenter_AddProcessObserver(g_shutdownSender, app, OnShutdownWait);
    return 1;
}

int64_t WorkflowApp_Notification_OnLocalLimit(void* user, const char*, const char*, const char*, Dictionary* info) {
    return ApplyLimits(static_cast<WorkflowApp*>(user)->LocalMeter, info);
}

int64_t WorkflowApp_Notification_OnRemoteLimit(void* user, const char*, const char*, const char*, Dictionary* info) {
    return ApplyLimits(static_cast<WorkflowApp*>(user)->RemoteMeter, info);
}

int64_t WorkflowApp_Notification_OnWebGetConnectionError(void*, const char*, const char*, const char*,
                                                         Dictionary* info) {
    if (!info) return 0;
    uint32_t flag = 0;
    if (BooleanItem(info, "isRemote", &flag) && flag) return 1;
    if (!BooleanItem(info, "reportError", &flag) || !flag) return 1;
    const char* ip = nullptr;
    int32_t port = 0;
    if (!Dictionary_GetStringPtrByKey(info, "remoteIp", &ip) || !ip) return 0;
    if (!Dictionary_GetInt32ByKey(info, "remotePort", &port)) return 0;
    uint32_t address = 0;
    uint16_t ignored = 0;
    if (!String_ConvertToIP(ip, &address, &ignored)) return 0;
    if (!WebGet_ErrorFilter(&address, static_cast<uint32_t>(port))) return 1;
    return Analytics_SendEvent("WebGetError", info);
}

// The process observer of a shutdown still waiting, removed with the context.
void WorkflowApp_RemoveShutdownWait(WorkflowApp* app) {
    if (!app->ShutdownInfo) return;
    NotificationCenter_RemoveProcessObserver(g_shutdownSender, app, OnShutdownWait);
}
