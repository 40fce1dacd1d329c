// Script class "QVR.Task": the methods page script calls on a live task, each one task operation.
#include "workflow/task.h"
#include "workflow/workflow_interop_internal.h"

namespace {
constexpr auto H = ApiGen_MethodHash;
} // namespace

int64_t Task_Invoke(void* user, Dictionary* request, Dictionary* response) {
    Task* task = static_cast<Task*>(user);
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!task || !ApiGen_GetMethod(request, "Task", &method, &hash)) return 0;
    WorkflowInteropCall c{request, response, "Task", method};
    char text[WORKFLOWINTEROP_STRING_SIZE];
    text[0] = 0;
    switch (hash) {
    case H("isCompleted"):
        return c.ReturnBoolean(Task_IsCompleted(task));
    case H("print"): {
        const char* message = c.String("message");
        return c.ReturnBoolean(c.Ok && Task_PrintInterop(task, message));
    }
    case H("setProgress"): {
        double progress = c.Number("progress");
        return c.ReturnBoolean(c.Ok && Task_SetProgress(task, progress));
    }
    case H("setStatusString"): {
        const char* name = c.String("name");
        const char* value = c.String("value");
        return c.ReturnBoolean(c.Ok && Task_SetStatusString(task, name, value));
    }
    case H("setStatusNumber"): {
        const char* name = c.String("name");
        double value = c.Number("value");
        return c.ReturnBoolean(c.Ok && Task_SetStatusNumber(task, name, value));
    }
    case H("getWarningCount"): {
        uint32_t count = 0;
        Task_GetWarningCount(task, &count);
        return c.ReturnInt32(count);
    }
    case H("complete"): {
        const char* json = c.String("json");
        return c.ReturnBoolean(c.Ok && Task_CompleteInterop(task, json));
    }
    case H("getBooleanArgument"): {
        const char* name = c.String("name");
        uint32_t value = 0;
        if (c.Ok) Task_GetBooleanArgument(task, name, &value);
        return c.ReturnInt32(value ? 1 : 0);
    }
    case H("cancel"):
        return c.ReturnBoolean(Task_Cancel(task));
    case H("getName"): {
        const char* name = nullptr;
        Task_GetNamePtr(task, &name);
        return c.ReturnString(name);
    }
    case H("hasWarning"): {
        const char* id = c.String("warningId");
        return c.ReturnBoolean(c.Ok && Task_HasWarning(task, id));
    }
    case H("setStatus"): {
        const char* status = c.String("status");
        return c.ReturnBoolean(c.Ok && Task_SetStatus(task, status));
    }
    case H("getErrorCount"): {
        uint32_t count = 0;
        Task_GetErrorCount(task, &count);
        return c.ReturnInt32(count);
    }
    case H("getTimeElapsed"): {
        double seconds = 0;
        Task_GetTimeElapsed(task, &seconds);
        return c.ReturnNumber(seconds);
    }
    case H("getType"):
        return c.ReturnString(Task_GetType(task));
    case H("addWarning"): {
        // Script text is a message, never a format.
        const char* message = c.String("message");
        return c.ReturnBoolean(c.Ok && Task_AddWarning(task, "%s", message));
    }
    case H("hasError"): {
        const char* id = c.String("errorId");
        return c.ReturnBoolean(c.Ok && Task_HasError(task, id));
    }
    case H("start"):
        return c.ReturnBoolean(Task_Start(task));
    case H("getError"): {
        int32_t index = c.Int32("index");
        if (c.Ok && !Task_GetError(task, index, text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    }
    case H("runSubAction"): {
        const char* name = c.String("name");
        const char* callbackId = c.String("callbackId");
        return c.ReturnBoolean(c.Ok && Task_RunSubActionInterop(task, name, callbackId));
    }
    case H("getNumberArgument"): {
        const char* name = c.String("name");
        double value = 0;
        if (c.Ok && !Task_GetNumberArgument(task, name, &value)) value = 0;
        return c.ReturnNumber(value);
    }
    case H("isCancelled"):
        return c.ReturnBoolean(Task_IsCancelled(task));
    case H("addError"): {
        const char* message = c.String("message");
        return c.ReturnBoolean(c.Ok && Task_AddError(task, "%s", message));
    }
    case H("hasArgument"): {
        const char* name = c.String("name");
        return c.ReturnBoolean(c.Ok && Task_HasArgument(task, name));
    }
    case H("getStringArgument"): {
        const char* name = c.String("name");
        if (c.Ok && !Task_GetStringArgument(task, name, text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    }
    case H("getWarning"): {
        int32_t index = c.Int32("index");
        if (c.Ok && !Task_GetWarning(task, index, text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    }
    default:
        return 0;
    }
}
