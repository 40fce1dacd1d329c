// The run service (runs started by "WorkflowRun"/"Start", here or relayed from the other process),
// the worker's command line, and the worker's side of the endpoint token handed over on its
// standard input.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/string_print.h"
#include "workflow/notification_endpoint.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_run_internal.h"

namespace {

constexpr int32_t kIdSize = 40;

// A run the service started and still holds.
struct ServiceRun {
    Task* Owned;
    ServiceRun* Next;
};

struct RunService {
    NotificationEndPoint* EndPoint = nullptr;
    // The endpoint's id as observers name it: kept as text, since the endpoint may go first.
    char EndPointId[kIdSize] = {};
    ServiceRun* Runs = nullptr;
    std::atomic<uint32_t> Running{0};
    bool Started = false;
};
RunService g_service;

void SetPrivateString(Dictionary* dict, const char* key, const char* text) {
    Dictionary_SetStringByKey(dict, key, text);
    DictionaryItem* item = nullptr;
    if (Dictionary_ItemFindByKey(dict, key, nullptr, &item) && item) Dictionary_ItemSetPrivate(dict, item, 1);
}

int64_t OnRunDisconnected(void* user, const char*, const char*, const char*, Dictionary*);
int64_t OnRunComplete(void* user, const char*, const char*, const char*, Dictionary*);

void ObserveRun(Task* task, bool on) {
    char id[kIdSize];
    Task_GetInstanceId(task, id, kIdSize);
    const char* endpoint = g_service.EndPointId[0] ? g_service.EndPointId : nullptr;
    if (on) {
        if (endpoint)
            NotificationCenter_AddInstanceObserver("NotificationEndPoint", "Disconnected", endpoint, task,
                                                   OnRunDisconnected);
        NotificationCenter_AddInstanceObserver("Task", "Complete", id, task, OnRunComplete);
    } else {
        if (endpoint)
            NotificationCenter_RemoveInstanceObserver("NotificationEndPoint", "Disconnected", endpoint, task,
                                                      OnRunDisconnected);
        NotificationCenter_RemoveInstanceObserver("Task", "Complete", id, task, OnRunComplete);
    }
}

int64_t OnRunDisconnected(void* user, const char*, const char*, const char*, Dictionary*) {
    Task_Cancel(static_cast<Task*>(user));
    return 1;
}

// Takes the task off the service's list; false when the service no longer holds it.
bool Forget(Task* task) {
    for (ServiceRun** link = &g_service.Runs; *link; link = &(*link)->Next) {
        if ((*link)->Owned != task) continue;
        ServiceRun* run = *link;
        *link = run->Next;
        Memory_Free(run, sizeof(ServiceRun));
        return true;
    }
    return false;
}

int64_t OnRunComplete(void* user, const char*, const char*, const char*, Dictionary* result) {
    Task* task = static_cast<Task*>(user);
    ObserveRun(task, false);
    if (!Forget(task)) return 1;
    Dictionary* stop = nullptr;
    Dictionary_Create(&stop);
    Dictionary_SetBooleanByKey(stop, "canRemote", 0);
    if (result) Dictionary_Merge(stop, result, 0);
    Task_CopyErrors(task, nullptr, stop);
    Task_CopyWarnings(task, nullptr, stop);
    char sender[kIdSize] = {};
    Task_GetStringArgument(task, "workflow", sender, kIdSize);
    NotificationCenter_FireAfterDelay("WorkflowRun", "Stop", sender[0] ? sender : nullptr, 0, stop);
    Dictionary_Release(&stop);
    // The completion's own event holds the task until it has ended.
    Task_Release(&task);
    return 1;
}

int64_t OnServiceStart(void*, const char*, const char*, const char* sender, Dictionary* info) {
    uint32_t flag = 0;
    Dictionary* remote = nullptr;
    if (info && Dictionary_GetBooleanByKey(info, "isRemote", &flag) && flag) {
        if (!Dictionary_GetDictionaryByKey(info, "_remote", &remote) || !remote) return 1;
    } else if (info && Dictionary_GetBooleanByKey(info, "canLocal", &flag) && !flag) {
        return 1;
    }
    g_service.Running++;
    Task* task = nullptr;
    Task_Create(&task);
    Task_SetName(task, "global");
    Task_SetPrivate(task, 1);
    Task_SetPrintIdentifier(task, "global");
    Dictionary* arguments = Task_GetDictionaryHandle(task);
    if (remote) {
        Dictionary_Merge(arguments, remote, DICTIONARY_MERGE_OVERWRITE);
        Dictionary_Merge(arguments, info, DICTIONARY_MERGE_OVERWRITE);
        Dictionary_RemoveByKey(arguments, "_remote");
    }
    Dictionary_SetStringByKey(arguments, "workflow", sender ? sender : "");
    if (info) {
        const char* text = nullptr;
        if (Dictionary_GetStringPtrByKey(info, "url", &text) && text) Dictionary_SetStringByKey(arguments, "url", text);
        for (const char* key : {"callbackId", "id"})
            if (Dictionary_GetStringPtrByKey(info, key, &text) && text) SetPrivateString(arguments, key, text);
        int32_t priority = 0;
        if (Dictionary_GetInt32ByKey(info, "priority", &priority)) {
            Dictionary_SetInt32ByKey(arguments, "priority", priority);
            DictionaryItem* item = nullptr;
            if (Dictionary_ItemFindByKey(arguments, "priority", nullptr, &item) && item)
                Dictionary_ItemSetPrivate(arguments, item, 1);
        }
        Dictionary_Merge(arguments, info, 0);
    }
    Task_SetInterface(task, &WorkflowRun_Interface);
    Task_Print(task, "Trigger workflow with parameters");
    Task_Dump(task);
    ObserveRun(task, true);
    ServiceRun* held = static_cast<ServiceRun*>(Memory_AllocZero(sizeof(ServiceRun)));
    held->Owned = task;
    held->Next = g_service.Runs;
    g_service.Runs = held;
    Task_Start(task);
    return 1;
}

int64_t OnServiceStop(void*, const char*, const char*, const char* sender, Dictionary* info) {
    char id[kIdSize] = {};
    Dictionary* copy = nullptr;
    Dictionary_Create(&copy);
    if (info) {
        Dictionary_Merge(copy, info, DICTIONARY_MERGE_OVERWRITE);
        Dictionary_GetStringByKey(info, "workflow", id, kIdSize);
    }
    if (!id[0] && sender) String_CopyLength(id, sender, kIdSize);
    Dictionary_RemoveByKey(copy, "canRemote");
    NotificationCenter_Fire("WorkflowRun", "Complete", id[0] ? id : nullptr, copy);
    Dictionary_Release(&copy);
    if (g_service.Running > 0) g_service.Running--;
    return 1;
}

double MonotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1000.0 + (double)now.tv_nsec / 1e6;
}

bool IsTokenCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

} // namespace

NotificationEndPoint* WorkflowRun_ServiceEndPoint() {
    return g_service.EndPoint;
}

int64_t WorkflowRun_Init() {
    if (g_service.Started) return 1;
    g_service.Started = true;
    g_service.Running = 0;
    NotificationCenter_AddObserver("WorkflowRun", "Start", nullptr, OnServiceStart);
    NotificationCenter_AddObserver("WorkflowRun", "Stop", nullptr, OnServiceStop);
    return 1;
}

int64_t WorkflowRun_Remove() {
    if (!g_service.Started) return 1;
    NotificationCenter_RemoveObserver("WorkflowRun", "Stop", nullptr, OnServiceStop);
    NotificationCenter_RemoveObserver("WorkflowRun", "Start", nullptr, OnServiceStart);
    // Runs still under way when the process ends are let go without reporting an end.
    while (ServiceRun* run = g_service.Runs) {
        Task* task = run->Owned;
        ObserveRun(task, false);
        Forget(task);
        Task_Release(&task);
    }
    g_service.Running = 0;
    g_service.EndPoint = nullptr;
    g_service.EndPointId[0] = 0;
    g_service.Started = false;
    return 1;
}

int64_t WorkflowRun_SetNotificationEndPointHandle(NotificationEndPoint* endpoint) {
    g_service.EndPoint = endpoint;
    g_service.EndPointId[0] = 0;
    // A handle is also its id text.
    if (endpoint) String_CopyLengthSafe(g_service.EndPointId, kIdSize, Class_ConvertToInstanceId(endpoint), 36);
    return 1;
}

int64_t WorkflowRun_GetRunningCount(uint32_t* count) {
    ASSERT_POINTER(count);
    *count = g_service.Running.load();
    return 1;
}

// ---- Worker command line ------------------------------------------------------------------------

int64_t WorkflowRun_BuildWorkerArguments(Dictionary* items, const char* endpointUrl, char* buffer,
                                         int32_t capacity, const char** why) {
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(endpointUrl);
    const char* reason = nullptr;
    if (!why) why = &reason;
    *why = nullptr;
    if (capacity < 1) return 0;
    buffer[0] = 0;
    int32_t used = 0;
    auto append = [&](const char* text) {
        const int32_t n = (int32_t)strlen(text);
        if (used + n >= capacity) return false;
        memcpy(buffer + used, text, (size_t)n + 1);
        used += n;
        return true;
    };
    DictionaryItem* item = nullptr;
    if (items) Dictionary_ItemGetFirst(items, &item);
    for (; item; Dictionary_ItemGetNext(items, item, &item)) {
        const char* text = nullptr;
        Dictionary_ItemGetStringPtr(items, item, &text);
        if (!text) text = "";
        // Inside quotes every character but a double quote is kept as it is; a double quote would
        // end the argument and let the rest stand as arguments of their own.
        if (strchr(text, '"')) {
            *why = "an argument holds a double quote";
            buffer[0] = 0;
            return 0;
        }
        // An item is handed over unexpanded: a location in it is one nobody named, and a path that
        // begins in a refused folder is no place of ours; either would be taken in whatever folder
        // the worker starts in.
        if (String_ExpandFindLocation(text, nullptr, 0)) {
            *why = "an argument names a location without its folder, or a refused folder";
            buffer[0] = 0;
            return 0;
        }
        const char* name = text;
        while (*name == '-') name++;
        const size_t nameLength = strcspn(name, "=");
        for (const char* own : Workflow_SwitchFilterTable) {
            if (name != text && nameLength == strlen(own) &&
                String_CompareLengthWithoutCase(name, own, (int32_t)nameLength) == 1) {
                *why = "an argument names a switch of the engine";
                buffer[0] = 0;
                return 0;
            }
        }
        if (!append("\"") || !append(text) || !append("\" ")) {
            *why = "the arguments are too long";
            buffer[0] = 0;
            return 0;
        }
    }
    char tail[WORKFLOWRUN_ENDPOINT_URL_SIZE + 96];
    const int32_t n = String_Print(tail, (int32_t)sizeof(tail), " --debugfileid=elevated --%s --%s=\"%s\"", "wfworker",
                                   "wfendpoint", endpointUrl);
    if (n < 0 || n >= (int32_t)sizeof(tail) - 1 || strchr(endpointUrl, '"') || !append(tail)) {
        *why = "the arguments are too long";
        buffer[0] = 0;
        return 0;
    }
    return 1;
}

// ---- Endpoint token ----------------------------------------------------------------------------

int64_t WorkflowRun_ParseEndPointToken(const char* bytes, int32_t length, char* token, int32_t capacity) {
    ASSERT_POINTER(token);
    if (capacity > 0) token[0] = 0;
    if (!bytes || length < kNotificationEndPointTokenLength || capacity <= kNotificationEndPointTokenLength) return 0;
    if (length > kNotificationEndPointTokenLength + 1) return 0;
    for (int32_t i = 0; i < kNotificationEndPointTokenLength; i++)
        if (!IsTokenCharacter(bytes[i])) return 0;
    if (length == kNotificationEndPointTokenLength + 1 && bytes[length - 1] != '\n') return 0;
    memcpy(token, bytes, (size_t)kNotificationEndPointTokenLength);
    token[kNotificationEndPointTokenLength] = 0;
    return 1;
}

int64_t WorkflowRun_ReadEndPointToken(int fd, int32_t timeoutMs, char* token, int32_t capacity) {
    ASSERT_POINTER(token);
    if (capacity > 0) token[0] = 0;
    char line[kNotificationEndPointTokenLength + 1];
    int32_t length = 0;
    const double deadline = MonotonicMs() + (timeoutMs > 0 ? timeoutMs : 0);
    // One byte at a time: nothing past the line end is taken from whoever shares the input.
    while (length < (int32_t)sizeof(line)) {
        const double left = deadline - MonotonicMs();
        if (left <= 0) break;
        struct pollfd waiter = {fd, POLLIN, 0};
        const int ready = poll(&waiter, 1, (int)(left + 1));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        const ssize_t n = read(fd, line + length, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        if (line[length++] == '\n') break;
    }
    const int64_t ok = WorkflowRun_ParseEndPointToken(line, length, token, capacity);
    memset(line, 0, sizeof(line));
    return ok;
}

int64_t WorkflowRun_GetWorkerEndPointUrl(const char* url, uint32_t isWorker, char* buffer, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    buffer[0] = 0;
    const size_t length = strlen(url);
    if (!isWorker || length == 0 || url[length - 1] != '/') {
        if ((int32_t)length >= capacity) return 0;
        memcpy(buffer, url, length + 1);
        return 1;
    }
    // Standard input holds one token, for the first link this process makes.
    static char token[kNotificationEndPointTokenLength + 1];
    static bool taken = false;
    if (!taken) {
        taken = true;
        if (!WorkflowRun_ReadEndPointToken(STDIN_FILENO, WORKFLOWRUN_TOKEN_WAIT_MS, token, (int32_t)sizeof(token)))
            Log_Error("No endpoint token on standard input\n");
    }
    if (!token[0] || (int32_t)(length + strlen(token)) >= capacity) return 0;
    memcpy(buffer, url, length);
    memcpy(buffer + length, token, strlen(token) + 1);
    return 1;
}
