// Stand-ins for the engine context, which does not exist yet. Each answers as the context does
// before it is created: no application macros, no application task types, not shutting down, no
// tasks or workflows tracked. None of them reports a success it could not deliver.
#include "workflow/workflow_app.h"

#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "workflow/task.h"

int64_t WorkflowApp_ExpandKey(void*, const char*, char*, char* value, int32_t capacity) {
    if (value && capacity > 0) value[0] = 0;
    return 0;
}

int64_t WorkflowApp_GetVerbose() {
    return 0;
}

int64_t WorkflowApp_IsShuttingDown() {
    return 0;
}

int64_t WorkflowApp_GetTaskTypeListHandle(TaskTypeList** list) {
    if (list) *list = nullptr;
    return 0;
}

int64_t WorkflowApp_IsTaskInWorkflow(const char*, const char*, uint32_t) {
    return 0;
}

int64_t WorkflowApp_IsWorkflowInWorkflow(const char*, const char*) {
    return 0;
}
