// Stand-ins for the parts of the engine the context starts and stops but which are not built yet:
// the in-process interop libraries. Each does nothing and says so; they refuse to start, so
// registering them registers nothing.
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "workflow/workflow_app_internal.h"

// Every stand-in library: Init answers 0 (the registry then refuses it), the rest answer 0 too.
#define WORKFLOWAPP_STAND_IN_INTEROP_LIBRARY(prefix, what)                                             \
    int64_t prefix##_Init() {                                                                         \
        Log_Debug("The " what " interop library is not available\n");                                 \
        return 0;                                                                                     \
    }                                                                                                 \
    int64_t prefix##_Remove() { return 1; }                                                           \
    int64_t prefix##_CreateInstance(const char*, char*, int32_t, void*, InteropExecuteFunc,            \
                                    InteropInvokeFunc* invoke, InteropReleaseFunc* release,           \
                                    InteropProcessFunc* process, void** userContext) {                \
        if (invoke) *invoke = nullptr;                                                                \
        if (release) *release = nullptr;                                                              \
        if (process) *process = nullptr;                                                              \
        if (userContext) *userContext = nullptr;                                                      \
        return 0;                                                                                     \
    }                                                                                                 \
    int64_t prefix##_SetOverride(const char*, void*) { return 0; }                                   \
    int64_t prefix##_SetOption(const char*, const char*) { return 0; }

// BaseInterop_Init and the rest of the content repository's entry points.
WORKFLOWAPP_STAND_IN_INTEROP_LIBRARY(BaseInterop, "repository")
