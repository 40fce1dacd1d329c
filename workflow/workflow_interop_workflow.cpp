// Script class "QVR.Workflow": the methods page script calls on a live workflow, each one workflow
// operation.
#include "workflow/workflow.h"
#include "workflow/workflow_interop_internal.h"

namespace {
constexpr auto H = ApiGen_MethodHash;
} // namespace

int64_t Workflow_Invoke(void* user, Dictionary* request, Dictionary* response) {
    Workflow* workflow = static_cast<Workflow*>(user);
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!workflow || !ApiGen_GetMethod(request, "Workflow", &method, &hash)) return 0;
    WorkflowInteropCall c{request, response, "Workflow", method};
    switch (hash) {
    case H("hasRemoteTask"): {
        const char* id = c.String("instanceId");
        return c.ReturnBoolean(c.Ok && Workflow_HasRemoteTask(workflow, id));
    }
    case H("canCreateTask"): {
        const char* name = c.String("name");
        return c.ReturnBoolean(c.Ok && Workflow_CanCreateTask(workflow, name));
    }
    case H("isTaskQueued"): {
        const char* name = c.String("name");
        return c.ReturnBoolean(c.Ok && Workflow_IsTaskQueued(workflow, name));
    }
    case H("isActivated"):
        return c.ReturnBoolean(Workflow_IsActivated(workflow));
    case H("isTaskRunning"): {
        const char* name = c.String("name");
        return c.ReturnBoolean(c.Ok && Workflow_IsTaskRunning(workflow, name));
    }
    case H("isGlobal"):
        return c.ReturnBoolean(Workflow_IsGlobal(workflow));
    case H("setStatusString"): {
        const char* key = c.String("key");
        const char* value = c.String("value");
        return c.ReturnBoolean(c.Ok && Workflow_SetStatusString(workflow, key, value));
    }
    case H("addMacro"): {
        const char* key = c.String("key");
        const char* value = c.String("value");
        return c.ReturnBoolean(c.Ok && Workflow_AddMacro(workflow, key, value));
    }
    case H("setStatusNumber"): {
        const char* key = c.String("key");
        double value = c.Number("value");
        return c.ReturnBoolean(c.Ok && Workflow_SetStatusNumber(workflow, key, value));
    }
    case H("complete"):
        return c.ReturnBoolean(Workflow_Complete(workflow, nullptr));
    case H("runTask"): {
        const char* name = c.String("name");
        return c.ReturnBoolean(c.Ok && Workflow_RunTask(workflow, name, nullptr, nullptr, nullptr));
    }
    case H("setStatus"): {
        const char* status = c.String("status");
        return c.ReturnBoolean(c.Ok && Workflow_SetStatus(workflow, status));
    }
    case H("hasRemoteWorkflow"): {
        const char* id = c.String("instanceId");
        return c.ReturnBoolean(c.Ok && Workflow_HasRemoteWorkflow(workflow, id));
    }
    case H("hasTask"): {
        const char* id = c.String("instanceId");
        return c.ReturnBoolean(c.Ok && Workflow_HasTask(workflow, id));
    }
    case H("expandString"): {
        const char* source = c.String("expand");
        char text[WORKFLOWINTEROP_STRING_SIZE];
        text[0] = 0;
        if (c.Ok && !Workflow_ExpandStringInterop(workflow, source, text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    }
    case H("cancelTasks"):
        return c.ReturnBoolean(Workflow_CancelTasks(workflow));
    case H("queueTaskWithMacros"): {
        const char* name = c.String("name");
        const char* macros = c.String("macros");
        return c.ReturnBoolean(c.Ok &&
                               Workflow_QueueTaskWithMacrosInterop(workflow, name, macros, nullptr, nullptr, nullptr));
    }
    case H("runTaskWithMacros"): {
        const char* name = c.String("name");
        const char* macros = c.String("macros");
        return c.ReturnBoolean(c.Ok &&
                               Workflow_RunTaskWithMacrosInterop(workflow, name, macros, nullptr, nullptr, nullptr));
    }
    case H("addMacroJson"): {
        const char* json = c.String("json");
        return c.ReturnBoolean(c.Ok && Workflow_AddMacroJSON(workflow, json));
    }
    case H("queueTask"): {
        const char* name = c.String("name");
        return c.ReturnBoolean(c.Ok && Workflow_QueueTask(workflow, name, nullptr, nullptr, nullptr));
    }
    default:
        return 0;
    }
}
