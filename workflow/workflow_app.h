// The engine context as the workflow and its tasks reach it: application macros and key lookup,
// the application's task type list, the shutting-down flag and the task registry.
#pragma once
#include <cstdint>

struct TaskTypeList;

// The engine's expander callback (an ExpandKeyCallback; the context is not read).
int64_t WorkflowApp_ExpandKey(void* context, const char* name, char* argument, char* value, int32_t capacity);
// 1 when the engine prints verbose lines.
int64_t WorkflowApp_GetVerbose();
int64_t WorkflowApp_IsShuttingDown();
// The application's list of task types; 0 and null when there is none.
int64_t WorkflowApp_GetTaskTypeListHandle(TaskTypeList** list);
int64_t WorkflowApp_IsTaskInWorkflow(const char* taskId, const char* workflow, uint32_t recursive);
int64_t WorkflowApp_IsWorkflowInWorkflow(const char* workflow, const char* outer);
