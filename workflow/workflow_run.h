// Workflow runs: the task type that fetches a workflow document by URL and runs it in a workflow
// of its own (here, or in an elevated worker process reached through the notification endpoint),
// and the process-wide service that starts such runs from "WorkflowRun"/"Start" notifications.
#pragma once
#include <cstdint>

#include "workflow/task.h"

struct Dictionary;
struct NotificationEndPoint;
struct WorkflowRun;

enum : uint32_t {
    WORKFLOWRUN_CLASS_ID = 0x42682e29,
    // An url that does not fit this many bytes once expanded is refused.
    WORKFLOWRUN_URL_LIMIT = 65536,
    // The worker's command line: arguments, then the engine's own switches.
    WORKFLOWRUN_ARGUMENTS_SIZE = 4096,
    WORKFLOWRUN_ENDPOINT_URL_SIZE = 8192,
    // How long a worker waits for its endpoint token on standard input.
    WORKFLOWRUN_TOKEN_WAIT_MS = 5000,
    // The longest file a "file:" document's {workflowPath} names.
    WORKFLOWRUN_FILE_PATH_SIZE = 4096,
};

// ---- Service (one per process, main thread) ----------------------------------------------------
int64_t WorkflowRun_Init();
int64_t WorkflowRun_Remove();
int64_t WorkflowRun_SetNotificationEndPointHandle(NotificationEndPoint* endpoint);
// Runs started by the service and not yet stopped.
int64_t WorkflowRun_GetRunningCount(uint32_t* count);

// ---- Task type ---------------------------------------------------------------------------------
extern const TaskInterface WorkflowRun_Interface;
int64_t WorkflowRun_Create(void** instance, Task* task);
int64_t WorkflowRun_AddRef(void* instance);
int64_t WorkflowRun_Release(void** instance);

// Steps of a run, reachable for the engine's own callers.
int64_t WorkflowRun_OnRequestComplete(Task* task, void* user, Dictionary* document, int32_t code,
                                      int32_t extendedCode);
// Moves the document's entry named by the task's String argument `entry` to `entry`; the entry
// it replaces moves to `entry` "." guid.
int64_t WorkflowRun_RenameTask(WorkflowRun* run, const char* entry, const char* guid);
// The file a "file:" url is read from, as the fetch reads it: the url's path with its escapes
// decoded ("my%20dir" is "my dir"). 0 (and an empty path) for any other url, and for one whose
// path is not absolute or does not fit: such a document has no file of its own to name.
int64_t WorkflowRun_FilePathOfUrl(const char* url, char* path, int32_t capacity);
// Fires "WorkflowRun"/"Run" with the run's identity, arguments and the task's status.
int64_t WorkflowRun_RaiseRunComplete(WorkflowRun* run);
// Sets the workflow's status values "isLoading" and "canRetry".
int64_t WorkflowRun_RaiseStatus(WorkflowRun* run, uint32_t isLoading, uint32_t canRetry);
// Whether the task asks for elevation that this process does not have.
int64_t WorkflowRun_ShouldElevate(Task* task, uint32_t* elevate);
// The task's key provider once its run went to a worker: "<task>.<rest>" is evaluated by that
// task of the run's workflow. Answers 1 always, so the lookup ends here.
int64_t WorkflowRun_ExpandStringCallback(Task* task, void* user, const char* path, char* value, int32_t capacity);
// The task's key provider for the url sent to a worker, except that "ContentUrl" is left for
// the worker to fill (user: the task).
int64_t WorkflowRun_UrlExpandStringCallback(void* user, const char* name, char* argument, char* value,
                                            int32_t capacity);

// ---- The worker's command line and endpoint token ----------------------------------------------
// The worker's argument text: each item of the list (may be null) as one quoted argument, then
// " --debugfileid=elevated --wfworker --wfendpoint="<url>"". 0 (with a reason in `why`) when an
// item cannot stay one argument (it holds a double quote), names one of the engine's own switches,
// still holds a location (items are not expanded) or begins in a refused folder, or the whole does
// not fit `capacity`: nothing is ever cut.
int64_t WorkflowRun_BuildWorkerArguments(Dictionary* items, const char* endpointUrl, char* buffer,
                                         int32_t capacity, const char** why);
// The token line a worker reads: the token's letters and digits, then an optional line end.
// 1 with the token when the bytes are exactly that.
int64_t WorkflowRun_ParseEndPointToken(const char* bytes, int32_t length, char* token, int32_t capacity);
// Reads the token line from a descriptor: at most the token and a line end, waiting at most
// timeoutMs in all. 0 when no valid token came in time.
int64_t WorkflowRun_ReadEndPointToken(int fd, int32_t timeoutMs, char* token, int32_t capacity);
// The endpoint URL a process joins: a worker given a URL without a token ("...:port/") reads the
// token from its standard input (once per process) and appends it; any other URL stays as it
// is. 0 when a worker's token is missing.
int64_t WorkflowRun_GetWorkerEndPointUrl(const char* url, uint32_t isWorker, char* buffer, int32_t capacity);
