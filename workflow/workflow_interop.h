// The engine's script classes: the interop library through which page script drives workflows,
// tasks, the workflow manager and the engine context, and task types whose work script does.
#pragma once
#include <cstdint>

#include "core/formats/interop.h"

struct Dictionary;
struct Task;

enum : uint32_t {
    SCRIPTTASK_CLASS_ID = 0xeaca5180,
    // String results of script methods are produced into this many bytes.
    WORKFLOWINTEROP_STRING_SIZE = 8192,
};

// ---- The library's entry points (registered with Interop_Add) ------------------------------------
int64_t WorkflowInterop_Init();
int64_t WorkflowInterop_Remove();
// Classes "QVR.Workflow" and "QVR.Task" take the id of a live object of that kind and hold a
// reference to it; "QVR.WorkflowManager", "QVR.WorkflowApp" and "QVR.App" write the singleton's
// id into the buffer. 0 for any other class name or a bad id.
int64_t WorkflowInterop_CreateInstance(const char* className, char* id, int32_t idSize, void* executeUser,
                                       InteropExecuteFunc executeFunction, InteropInvokeFunc* invoke,
                                       InteropReleaseFunc* release, InteropProcessFunc* process,
                                       void** userContext);
int64_t WorkflowInterop_SetOverride(const char* name, void* function);
int64_t WorkflowInterop_SetOption(const char* name, const char* value);

// ---- Invoke functions of the classes -------------------------------------------------------------
// Each answers 1 when every argument of the method was read (the operation's own answer goes into
// the response's "returnValue"), 0 for a missing request method, an unknown hash or a missing or
// mistyped argument.
int64_t Workflow_Invoke(void* workflow, Dictionary* request, Dictionary* response);
int64_t Task_Invoke(void* task, Dictionary* request, Dictionary* response);
int64_t ScriptTaskHandler_Invoke(void* unused, Dictionary* request, Dictionary* response);
int64_t WorkflowManager_Invoke(void* unused, Dictionary* request, Dictionary* response);
int64_t WorkflowApp_Invoke(void* unused, Dictionary* request, Dictionary* response);

// ---- Task types implemented in script -------------------------------------------------------------
// Adds (removes) a type of that name to (from) the engine context's task type list.
int64_t ScriptTaskHandler_Register(const char* name);
int64_t ScriptTaskHandler_Unregister(const char* name);
int64_t ScriptTaskHandler_IsRegistered(const char* name);

// The type's instance for one task: a placeholder that holds the task (no reference); script
// starts and ends the work.
struct ScriptTask;
int64_t ScriptTask_Create(void** instance, Task* task);
int64_t ScriptTask_AddRef(void* instance);
int64_t ScriptTask_Release(void** instance);
int64_t ScriptTask_Delete(void** instance);
Task* ScriptTask_GetTaskHandle(void* instance);

// ---- Manager operation reached only from script ---------------------------------------------------
// Queues the named entry task of that one workflow (a manager id) when the manager lists it as
// available there.
int64_t WorkflowManager_QueueAvailableTasksByWorkflow(const char* name, const char* workflow);

// ---- Command-line hand-over -------------------------------------------------------------------------
// 1 when the switch (compared with case) is one of the engine's own that a second instance keeps
// to itself.
int64_t Workflow_ShouldRemoveSwitch(const char* name);
