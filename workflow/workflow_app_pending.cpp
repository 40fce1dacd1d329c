// Stand-ins for the engine context's tracking of tasks and workflows, which is not in place yet.
// Each answers as the context does before anything is tracked: no tasks or workflows known. None
// of them reports a success it could not deliver.
#include "workflow/workflow_app.h"

#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "workflow/task.h"

int64_t WorkflowApp_IsTaskInWorkflow(const char*, const char*, uint32_t) {
    return 0;
}

int64_t WorkflowApp_IsWorkflowInWorkflow(const char*, const char*) {
    return 0;
}
