// Script classes "QVR.WorkflowApp" and "QVR.App": the methods page script calls on the process's
// engine context, each one context operation.
#include "core/runtime/log.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_interop_internal.h"

namespace {
constexpr auto H = ApiGen_MethodHash;
} // namespace

int64_t WorkflowApp_Invoke(void*, Dictionary* request, Dictionary* response) {
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, "WorkflowApp", &method, &hash)) return 0;
    // An instance can outlive the context it was made for; its operations need a live one.
    if (!WorkflowApp_IsInitialized()) {
        Log_Debug("WorkflowApp - No engine context (%s)\n", method);
        return 0;
    }
    WorkflowInteropCall c{request, response, "WorkflowApp", method};
    char text[WORKFLOWINTEROP_STRING_SIZE];
    text[0] = 0;
    uint32_t flag = 0;
    double seconds = 0;
    switch (hash) {
    case H("debugPrint"): {
        const char* message = c.String("message");
        return c.ReturnBoolean(c.Ok && WorkflowApp_DebugPrint(message));
    }
    case H("loadInterop"): {
        const char* name = c.String("name");
        const char* path = c.String("path");
        return c.ReturnBoolean(c.Ok && WorkflowApp_LoadInterop(name, path));
    }
    case H("unloadInterop"): {
        const char* name = c.String("name");
        const char* path = c.String("path");
        return c.ReturnBoolean(c.Ok && WorkflowApp_UnloadInterop(name, path));
    }
    case H("getStartTime"):
        WorkflowApp_GetStartTime(&seconds);
        return c.ReturnNumber(seconds);
    case H("getRestartPath"):
        if (!WorkflowApp_GetRestartPath(text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    case H("jwsVerifyCertStore"): {
        const char* signature = c.String("signature");
        const char* store = c.String("store");
        return c.ReturnBoolean(c.Ok && WorkflowApp_JwsVerifyCertStore(signature, store));
    }
    case H("getDebugFlags"):
        WorkflowApp_GetDebugFlags(&flag);
        return c.ReturnInt32(flag);
    case H("addMacro"): {
        const char* key = c.String("key");
        const char* value = c.String("value");
        return c.ReturnBoolean(c.Ok && WorkflowApp_AddMacro(key, value));
    }
    case H("getConfig"): {
        const char* key = c.String("key");
        const char* fallback = c.String("defaultValue");
        if (c.Ok && !WorkflowApp_GetConfig(key, fallback, text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    }
    case H("getCommandFieldCount"): {
        int32_t count = 0;
        WorkflowApp_GetCommandFieldCount(&count);
        return c.ReturnInt32(count);
    }
    case H("getRestartArguments"):
        if (!WorkflowApp_GetRestartArguments(text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    case H("getRestart"):
        return c.ReturnBoolean(WorkflowApp_GetRestart(&flag) && flag);
    case H("setRestartPath"): {
        const char* path = c.String("restartPath");
        return c.ReturnBoolean(c.Ok && WorkflowApp_SetRestartPath(path));
    }
    case H("getCurrentTime"):
        WorkflowApp_GetCurrentTime(&seconds);
        return c.ReturnNumber(seconds);
    case H("jwsVerifyKeyStore"): {
        const char* signature = c.String("signature");
        const char* store = c.String("store");
        return c.ReturnBoolean(c.Ok && WorkflowApp_JwsVerifyKeyStore(signature, store));
    }
    case H("getWorkflowByTaskId"): {
        const char* task = c.String("task");
        uint32_t traverse = c.Boolean("traverse");
        if (c.Ok && !WorkflowApp_GetWorkflowByTaskId(task, traverse, text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    }
    case H("setRestart"): {
        uint32_t restart = c.Boolean("restart");
        return c.ReturnBoolean(c.Ok && WorkflowApp_SetRestart(restart));
    }
    case H("getCommandField"): {
        int32_t index = c.Int32("index");
        if (c.Ok && !WorkflowApp_GetCommandField(index, text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    }
    case H("getRunningTime"):
        WorkflowApp_GetRunningTime(&seconds);
        return c.ReturnNumber(seconds);
    case H("isElevated"):
        return c.ReturnBoolean(WorkflowApp_IsElevated());
    case H("setRestartElevated"): {
        uint32_t elevated = c.Boolean("restartElevated");
        return c.ReturnBoolean(c.Ok && WorkflowApp_SetRestartElevated(elevated));
    }
    case H("expandString"): {
        const char* source = c.String("expand");
        if (c.Ok && !WorkflowApp_ExpandString(source, text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    }
    case H("setPreventSystemShutdown"): {
        uint32_t prevent = c.Boolean("preventSystemShutdown");
        return c.ReturnBoolean(c.Ok && WorkflowApp_SetPreventSystemShutdown(prevent));
    }
    case H("getCommandLine"):
        if (!WorkflowApp_GetCommandLine(text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    case H("getRestartElevated"):
        return c.ReturnBoolean(WorkflowApp_GetRestartElevated(&flag) && flag);
    case H("setRestartArguments"): {
        const char* arguments = c.String("restartArguments");
        return c.ReturnBoolean(c.Ok && WorkflowApp_SetRestartArguments(arguments));
    }
    case H("getPreventSystemShutdown"):
        return c.ReturnBoolean(WorkflowApp_GetPreventSystemShutdown(&flag) && flag);
    case H("implode"):
        return c.ReturnBoolean(WorkflowApp_Implode());
    case H("sendCrashEvent"): {
        const char* format = c.String("format");
        const char* info = c.String("info");
        return c.ReturnBoolean(c.Ok && WorkflowApp_SendCrashEventInterop(format, info));
    }
    case H("convertFromEntitizedString"): {
        const char* source = c.String("entitizedString");
        if (c.Ok && !WorkflowApp_ConvertFromEntitizedString(source, text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    }
    case H("crash"):
        WorkflowApp_Crash();
    case H("isTaskInWorkflow"): {
        const char* task = c.String("task");
        const char* workflow = c.String("workflow");
        uint32_t traverse = c.Boolean("traverse");
        return c.ReturnBoolean(c.Ok && WorkflowApp_IsTaskInWorkflow(task, workflow, traverse));
    }
    case H("getSecurityEnabled"):
        return c.ReturnBoolean(WorkflowApp_GetSecurityEnabled(&flag) && flag);
    case H("getExitCode"):
        WorkflowApp_GetExitCode(&flag);
        return c.ReturnInt32((int32_t)flag);
    case H("getDebugFilename"):
        if (!WorkflowApp_GetDebugFilename(text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    case H("isCommandFieldSet"): {
        const char* name = c.String("commandField");
        return c.ReturnBoolean(c.Ok && WorkflowApp_IsCommandFieldSet(name));
    }
    case H("getCommandFieldByName"): {
        const char* name = c.String("commandField");
        if (c.Ok && !WorkflowApp_GetCommandFieldByName(name, text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    }
    case H("jwsVerifyKey"): {
        const char* signature = c.String("signature");
        const char* key = c.String("key");
        return c.ReturnBoolean(c.Ok && WorkflowApp_JwsVerifyKey(signature, key));
    }
    case H("convertToEntitizedString"): {
        const char* source = c.String("utf8string");
        if (c.Ok && !WorkflowApp_ConvertToEntitizedString(source, text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    }
    case H("setExitCode"): {
        int32_t code = c.Int32("exitCode");
        return c.ReturnBoolean(c.Ok && WorkflowApp_SetExitCode((uint32_t)code));
    }
    default:
        return 0;
    }
}
