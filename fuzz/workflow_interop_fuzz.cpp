// Feeds arbitrary invoke requests (JSON texts) to every class of the engine's script library: a
// live workflow, a task of a script-implemented type, the task-type handler, the manager, the
// engine context, and an id of the wrong kind. Methods whose effect reaches beyond this process
// (ending or deleting it, loading code, sending reports, fetching) are refused before the call.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/formats/crc.h"
#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_interop.h"
#include "workflow/workflow_manager.h"

namespace {

void RequireAt(bool condition, int line) {
    if (condition) return;
    fprintf(stderr, "requirement at line %d failed\n", line);
    std::abort();
}
#define Require(condition) RequireAt((condition), __LINE__)

uint32_t MethodHash(const char* text, uint32_t length) {
    return CRC_Update(0, text, length);
}

const char* const kRefused[] = {"crash",       "implode", "loadInterop", "unloadInterop", "sendCrashEvent",
                                "setPreventSystemShutdown", "setRestart", "setRestartElevated", "add",
                                "setExitCode", "debugPrint"};

Workflow* Flow = nullptr;
char FlowId[40] = "";
char TaskId[40] = "";
std::string Ids[6];

void Pump() {
    for (int i = 0; i < 4; i++) {
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
    }
    Interop_Process();
}

std::string Create(const char* className, const char* id) {
    char buffer[40] = {0};
    strncpy(buffer, id, sizeof(buffer) - 1);
    if (!Interop_DispatchCreateInstance(className, buffer, sizeof(buffer), nullptr, nullptr, nullptr)) return "";
    return buffer;
}

// A fresh running task of the script type whenever the last one has ended.
void EnsureTask() {
    Task* task = nullptr;
    if (TaskId[0] && Workflow_FindTaskByInstanceId(Flow, TaskId, &task) && task && !Task_IsCompleted(task)) return;
    if (TaskId[0]) Interop_DispatchReleaseInstance(TaskId);
    TaskId[0] = 0;
    Workflow_RunTask(Flow, "t", nullptr, nullptr, nullptr);
    Pump();
    if (Workflow_FindTaskByName(Flow, "t", &task) && task) Task_GetInstanceId(task, TaskId, sizeof(TaskId));
    Ids[1] = Create("QVR.Task", TaskId);
}

bool Setup() {
    Require(WorkflowApp_Init("workflow_interop_fuzz.log", 0) == 1);
    WorkflowApp_InitInterop();
    Require(WorkflowManager_Init() == 1);
    Require(ScriptTaskHandler_Register("ScriptFuzz") == 1);
    Workflow_Create(&Flow);
    const char document[] = R"({"t": {"type": "ScriptFuzz", "n": 1, "s": "x", "b": true}, "u": {"type": "ScriptFuzz"}})";
    Require(Workflow_LoadBuffer(Flow, document, (int32_t)strlen(document)) == 1);
    Workflow_GetInstanceId(Flow, FlowId, sizeof(FlowId));
    Ids[0] = Create("QVR.Workflow", FlowId);
    EnsureTask();
    Ids[2] = Create("QVR.ScriptTaskHandler", "");
    Ids[3] = Create("QVR.WorkflowManager", "");
    Ids[4] = Create("QVR.App", "");
    Ids[5] = "no-such-instance";
    Require(!Ids[0].empty() && !Ids[1].empty() && !Ids[2].empty() && !Ids[3].empty() && !Ids[4].empty());
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = Setup();
    (void)ready;
    if (size < 1 || size > (1u << 14)) return 0;
    const std::string& id = Ids[data[0] % 6];
    Dictionary* document = nullptr;
    Dictionary_Create(&document);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, document);
    const int64_t parsed = JSON_LoadBuffer(json, reinterpret_cast<const char*>(data + 1), (uint32_t)(size - 1));
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    Dictionary* request = nullptr;
    Dictionary_SkipRoot(document, &request);
    bool allowed = parsed == 1 && request;
    const char* method = nullptr;
    int32_t length = 0;
    if (allowed && Dictionary_GetBufferPtrByKey(request, "method", &method, &length) && method) {
        const uint32_t hash = MethodHash(method, (uint32_t)length);
        for (const char* refused : kRefused)
            if (hash == MethodHash(refused, (uint32_t)strlen(refused))) allowed = false;
    }
    if (allowed) {
        Dictionary* response = nullptr;
        Dictionary_Create(&response);
        const int64_t result = Interop_DispatchInvoke(id.c_str(), request, response);
        // Whatever the call did, a success always answers with a return value.
        if (result) Require(Dictionary_ContainsKey(response, "returnValue"));
        Dictionary_Release(&response);
    }
    Dictionary_Release(&document);
    Pump();
    EnsureTask();
    return 0;
}
