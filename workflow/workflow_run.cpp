// The WorkflowRun task type: fetches a workflow document, prepares it (macros, progress links,
// entry renaming) and runs it in a workflow of its own, or hands it to an elevated worker process
// through the notification endpoint and waits for the worker's completion.
#include <cstring>

#include "core/formats/url.h"
#include "core/linux/platform.h"
#include "core/linux/platform_system.h"
#include "core/platform/path.h"
#include "core/platform/process.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/string_print.h"
#include "core/web/analytics.h"
#include "core/web/web_get_redirect.h"
#include "workflow/notification_endpoint.h"
#include "workflow/task_internal.h"
#include "workflow/task_request.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_run_internal.h"

const TaskInterface WorkflowRun_Interface = {"WorkflowRun", WorkflowRun_Create, WorkflowRun_AddRef,
                                             WorkflowRun_Release};

namespace {

constexpr uint32_t kModulePath = 16;
constexpr int32_t kIdSize = 40;
constexpr int32_t kNameSize = 120;
constexpr int32_t kGuidSize = 64;

int64_t OnTaskStart(void*, const char*, const char*, const char*, Dictionary*);
int64_t OnTaskCancel(void*, const char*, const char*, const char*, Dictionary*);
int64_t OnTaskComplete(void*, const char*, const char*, const char*, Dictionary*);
int64_t OnWorkflowEventComplete(void*, const char*, const char*, const char*, Dictionary*);
int64_t OnRemoteComplete(void*, const char*, const char*, const char*, Dictionary*);
int64_t OnEndPointConnected(void*, const char*, const char*, const char*, Dictionary*);
int64_t OnEndPointRunning(void*, const char*, const char*, const char*, Dictionary*);
int64_t OnEndPointDisconnected(void*, const char*, const char*, const char*, Dictionary*);
int64_t OnWatchWorker(void*, const char*, const char*, const char*, Dictionary*);

// How often a launched worker that has not joined yet is looked at.
constexpr int32_t kWatchWorkerMs = 250;

void WatchWorkerLater(WorkflowRun* run) {
    NotificationCenter_FireAfterDelayWithJSON("WorkflowRun", "WatchWorker", run->Header.InstanceId, kWatchWorkerMs,
                                              "{\"canRemote\": false}");
}

// The endpoint's id as observers name it.
void EndPointIdOf(NotificationEndPoint* endpoint, char* id) {
    id[0] = 0;
    // A handle is also its id text.
    if (endpoint) String_CopyLengthSafe(id, kIdSize, Class_ConvertToInstanceId(endpoint), 36);
}

Dictionary* NewDictionary() {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    return dict;
}

bool IsProcessElevated() {
    int32_t elevated = 0;
    return Platform_IsElevated(&elevated) && elevated;
}

bool ElevatedArgument(Task* task) {
    uint32_t flag = 0;
    return Task_GetBooleanArgument(task, "elevated", &flag) && flag;
}

// A run matches its process when it asks for the elevation the process has (or lacks).
bool MatchesProcess(Task* task) {
    return ElevatedArgument(task) == IsProcessElevated();
}

void SetPrivateString(Dictionary* dict, const char* key, const char* text) {
    Dictionary_SetStringByKey(dict, key, text);
    DictionaryItem* item = nullptr;
    if (Dictionary_ItemFindByKey(dict, key, nullptr, &item) && item) Dictionary_ItemSetPrivate(dict, item, 1);
}

uint32_t PrivateOf(Dictionary* dict, DictionaryItem* item) {
    uint32_t flag = 0;
    Dictionary_ItemGetPrivate(dict, item, &flag);
    return flag;
}

void StopWaitingForEndPoint(WorkflowRun* run) {
    if (!run->EndPointId[0]) return;
    if (run->WaitConnected)
        NotificationCenter_RemoveInstanceObserver("NotificationEndPoint", "Connected", run->EndPointId, run,
                                                  OnEndPointConnected);
    if (run->WaitRunning)
        NotificationCenter_RemoveInstanceObserver("NotificationEndPoint", "Running", run->EndPointId, run,
                                                  OnEndPointRunning);
    if (run->WaitDisconnected)
        NotificationCenter_RemoveInstanceObserver("NotificationEndPoint", "Disconnected", run->EndPointId, run,
                                                  OnEndPointDisconnected);
    run->WaitConnected = run->WaitRunning = run->WaitDisconnected = 0;
    run->EndPointId[0] = 0;
}

void Observe(WorkflowRun* run, bool on) {
    auto instance = on ? NotificationCenter_AddInstanceObserver : NotificationCenter_RemoveInstanceObserver;
    instance("Task", "Start", run->TaskId, run, OnTaskStart);
    instance("Task", "Retry", run->TaskId, run, OnTaskStart);
    instance("Task", "Cancel", run->TaskId, run, OnTaskCancel);
    instance("Task", "Complete", run->TaskId, run, OnTaskComplete);
    instance("WorkflowRun", "Complete", run->TaskId, run, OnRemoteComplete);
    instance("WorkflowRun", "WatchWorker", run->Header.InstanceId, run, OnWatchWorker);
    if (on)
        NotificationCenter_AddObserver("WorkflowEvent", "Complete", run, OnWorkflowEventComplete);
    else
        NotificationCenter_RemoveObserver("WorkflowEvent", "Complete", run, OnWorkflowEventComplete);
}

int64_t DeleteHandle(void** handle) {
    WorkflowRun* run = static_cast<WorkflowRun*>(*handle);
    CLASS_CHECK(run, WORKFLOWRUN_CLASS_ID);
    Class_UntrackInstance(run);
    Observe(run, false);
    StopWaitingForEndPoint(run);
    if (run->Workflow_) {
        Workflow_UnregisterCustomTasks(run->Workflow_);
        Workflow_UnregisterDefaultTasks(run->Workflow_);
        Workflow_Release(&run->Workflow_);
    }
    if (run->Url) Memory_Free(run->Url, run->UrlCapacity);
    if (run->Document) Dictionary_Release(&run->Document);
    if (run->Worker) Process_Release(&run->Worker);
    run->Header.ClassId = 0;
    Memory_Free(run, sizeof(WorkflowRun));
    *handle = nullptr;
    return 1;
}

// {"task", "workflow", "url", "arguments"} of the run.
Dictionary* Identity(WorkflowRun* run) {
    Dictionary* info = NewDictionary();
    char id[kIdSize] = {};
    Dictionary_SetStringByKey(info, "task", run->TaskId);
    if (run->Workflow_) Workflow_GetInstanceId(run->Workflow_, id, kIdSize);
    Dictionary_SetStringByKey(info, "workflow", id);
    Dictionary_SetStringByKey(info, "url", run->Url ? run->Url : "");
    Dictionary* arguments = nullptr;
    Dictionary_AddDictionary(info, "arguments", &arguments, nullptr);
    if (arguments) Dictionary_Merge(arguments, Task_GetDictionaryHandle(run->Owner), DICTIONARY_MERGE_OVERWRITE);
    return info;
}

void Fail(Task* task, const char* error) {
    Task_AddError(task, "%s", error);
    Task_Complete(task, nullptr);
}

// Reads the expanded url, growing the buffer by half until it fits; false past the limit.
bool ReadUrl(WorkflowRun* run) {
    const char* stored = nullptr;
    Task_GetArgumentPtr(run->Owner, "url", &stored);
    int32_t capacity = (int32_t)strlen(stored ? stored : "") + 1;
    for (;;) {
        char* buffer = static_cast<char*>(Memory_AllocZero(capacity));
        if (Task_GetStringArgument(run->Owner, "url", buffer, capacity)) {
            run->Url = buffer;
            run->UrlCapacity = capacity;
            return true;
        }
        Memory_Free(buffer, capacity);
        if (capacity >= (int32_t)WORKFLOWRUN_URL_LIMIT) {
            Task_Print(run->Owner, "Url is too long or can't be expanded %s", stored ? stored : "");
            return false;
        }
        capacity += capacity / 2 + 1;
    }
}

// ---- Document preparation ----------------------------------------------------------------------

void LinkProgress(WorkflowRun* run, Workflow* parent) {
    Task* task = run->Owner;
    Dictionary* progress = NewDictionary();
    if (Task_GetDictionaryArgument(task, "_progress", progress)) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(progress, &item); item; Dictionary_ItemGetNext(progress, item, &item)) {
            Dictionary* entry = nullptr;
            if (!Dictionary_ItemGetDictionaryHandle(progress, item, &entry) || !entry) continue;
            DictionaryItem* field = nullptr;
            Dictionary_ItemGetFirst(entry, &field);
            while (field) {
                DictionaryItem* next = nullptr;
                Dictionary_ItemGetNext(entry, field, &next);
                const char* key = nullptr;
                Dictionary_ItemGetKeyPtr(entry, field, &key);
                if (!key || (!String_CompareWithoutCase(key, "progressId") &&
                             !String_CompareWithoutCase(key, "progressTaskName")))
                    Dictionary_Remove(entry, &field);
                field = next;
            }
        }
        Dictionary_Merge(run->Document, progress, DICTIONARY_MERGE_OVERWRITE);
    }
    Dictionary_Release(&progress);
    if (!parent || !MatchesProcess(task)) return;
    Dictionary* definitions = nullptr;
    Workflow_GetDictionaryHandle(parent, &definitions);
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(definitions, &item); item; Dictionary_ItemGetNext(definitions, item, &item)) {
        const char* name = nullptr;
        Dictionary* from = nullptr;
        Dictionary* to = nullptr;
        Dictionary_ItemGetKeyPtr(definitions, item, &name);
        if (!name || !Dictionary_ItemGetDictionaryHandle(definitions, item, &from) || !from ||
            !Dictionary_GetDictionaryByKey(run->Document, name, &to) || !to)
            continue;
        for (const char* key : {"progressId", "progressTaskName"}) {
            const char* text = nullptr;
            if (Dictionary_GetStringPtrByKey(from, key, &text) && text) Dictionary_SetStringByKey(to, key, text);
        }
    }
}

// Every run starts with a macro task "load" that sets the run's macros, then runs the document's
// own load task (moved aside under a new name).
Dictionary* PrepareLoad(WorkflowRun* run, const char* guid) {
    Dictionary* doc = run->Document;
    DictionaryItem* item = nullptr;
    Dictionary_ItemFindByKey(doc, "load", nullptr, &item);
    Dictionary* load = nullptr;
    if (item && Dictionary_ItemCompareType(doc, item, DICTIONARY_TYPE_DICTIONARY) &&
        Dictionary_ItemGetDictionaryHandle(doc, item, &load) && load) {
        const char* type = nullptr;
        if (Dictionary_GetStringPtrByKey(load, "type", &type) && type && String_CompareWithoutCase(type, "macro")) {
            Dictionary* pairs = nullptr;
            Dictionary_EnsureDictionary(load, "keyValuePairs", nullptr, &pairs);
            const char* key = nullptr;
            if (pairs && Dictionary_GetStringPtrByKey(load, "key", &key) && key) {
                char name[kNameSize];
                String_CopyLength(name, key, kNameSize);
                const char* value = nullptr;
                Dictionary_GetStringPtrByKey(load, "value", &value);
                Dictionary_SetStringByKey(pairs, name, value ? value : "");
                Dictionary_RemoveByKey(load, "key");
                Dictionary_RemoveByKey(load, "value");
            }
            return pairs;
        }
    }
    uint32_t isPrivate = 0;
    char moved[kNameSize + kGuidSize] = {};
    if (item) {
        isPrivate = PrivateOf(doc, item);
        String_Print(moved, (int32_t)sizeof(moved), "load.%s", guid);
        Dictionary_ItemSetKey(doc, item, moved);
    }
    DictionaryItem* fresh = nullptr;
    load = nullptr;
    Dictionary_AddDictionary(doc, "load", &load, &fresh);
    if (!load) return nullptr;
    if (fresh) Dictionary_ItemSetPrivate(doc, fresh, isPrivate);
    Dictionary_SetStringByKey(load, "type", "macro");
    Dictionary* pairs = nullptr;
    Dictionary_AddDictionary(load, "keyValuePairs", &pairs, nullptr);
    if (moved[0]) Dictionary_SetStringByKey(load, "complete", moved);
    return pairs;
}

void MergeMacros(WorkflowRun* run, Dictionary* pairs, Workflow* parent) {
    Task* task = run->Owner;
    Dictionary* macros = nullptr;
    if (parent && Workflow_GetMacroDictionaryHandle(parent, &macros) && macros)
        Dictionary_Merge(pairs, macros, DICTIONARY_MERGE_OVERWRITE);
    Dictionary* given = NewDictionary();
    if (Task_GetDictionaryArgument(task, "_macros", given) || Task_GetDictionaryArgument(task, "macros", given))
        Dictionary_Merge(pairs, given, DICTIONARY_MERGE_OVERWRITE | DICTIONARY_MERGE_FRONT);
    Dictionary_Release(&given);
    Dictionary* analytics = NewDictionary();
    Dictionary* global = nullptr;
    if (Task_GetDictionaryArgument(task, "_analytics", analytics) && Analytics_GetGlobalDictionaryHandle(&global) &&
        global)
        Dictionary_Merge(global, analytics, DICTIONARY_MERGE_OVERWRITE);
    Dictionary_Release(&analytics);
    if (parent && MatchesProcess(task)) {
        if (Workflow_GetMacroDictionaryHandle(parent, &macros) && macros)
            Dictionary_Merge(pairs, macros, DICTIONARY_MERGE_OVERWRITE);
        Task* root = nullptr;
        if (Workflow_GetRootTaskHandle(parent, task, &root) && root && Task_GetMacroDictionaryHandle(root))
            Dictionary_Merge(pairs, Task_GetMacroDictionaryHandle(root), DICTIONARY_MERGE_OVERWRITE);
    }
    Dictionary_SetStringByKey(pairs, "workflowUrl", run->Url);
    // The file and folder of a document exist only for one read from a file: whatever the parent
    // or the caller's macros held for theirs is not this document's.
    Dictionary_RemoveByKey(pairs, "workflowPath");
    Dictionary_RemoveByKey(pairs, "workflowDirectory");
    char path[WORKFLOWRUN_FILE_PATH_SIZE];
    char directory[WORKFLOWRUN_FILE_PATH_SIZE];
    if (WorkflowRun_FilePathOfUrl(run->Url, path, (int32_t)sizeof(path))) {
        Dictionary_SetStringByKey(pairs, "workflowPath", path);
        if (Path_ParseDirectory(path, directory, sizeof(directory)))
            Dictionary_SetStringByKey(pairs, "workflowDirectory", directory);
    }
}

// ---- Elevated path -----------------------------------------------------------------------------

void SendRun(WorkflowRun* run, bool afterConnect);
void LaunchWorker(WorkflowRun* run);

// A task's "macros" argument with its texts expanded, merged into `target`.
void MergeExpandedMacros(Task* task, Dictionary* target) {
    Dictionary* macros = NewDictionary();
    if (Task_GetDictionaryArgument(task, "macros", macros)) {
        Task_ExpandDictionary(task, macros);
        Dictionary_Merge(target, macros, DICTIONARY_MERGE_OVERWRITE);
    }
    Dictionary_Release(&macros);
}

// A run task that belongs to no workflow (a run the service started) is sent without a parent's
// macros and progress entries.
void SendRun(WorkflowRun* run, bool afterConnect) {
    Task* task = run->Owner;
    StopWaitingForEndPoint(run);
    if (afterConnect) WebGet_RaiseRedirectConfig();
    Dictionary* info = NewDictionary();
    Dictionary_SetBooleanByKey(info, "canLocal", 0);
    Dictionary* remote = nullptr;
    Dictionary_AddDictionary(info, "_remote", &remote, nullptr);
    Dictionary_Merge(remote, Task_GetDictionaryHandle(task), DICTIONARY_MERGE_OVERWRITE);
    const char* stored = nullptr;
    if (Task_GetArgumentPtr(task, "url", &stored) && stored) {
        char* url = static_cast<char*>(Memory_AllocZero(STRING_EXPAND_WORK_SIZE));
        String_CopyLength(url, stored, STRING_EXPAND_WORK_SIZE);
        String_Expand(url, STRING_EXPAND_WORK_SIZE, task, WorkflowRun_UrlExpandStringCallback);
        Dictionary_SetStringByKey(remote, "url", url);
        Memory_Free(url, STRING_EXPAND_WORK_SIZE);
    }
    for (const char* key : {"complete", "failure", "success"}) Dictionary_RemoveByKey(remote, key);

    Workflow* parent = Task_GetWorkflowHandle(task);
    Dictionary* macros = nullptr;
    Dictionary_AddDictionary(info, "_macros", &macros, nullptr);
    Dictionary* source = nullptr;
    if (parent && Workflow_GetMacroDictionaryHandle(parent, &source) && source)
        Dictionary_Merge(macros, source, DICTIONARY_MERGE_OVERWRITE);
    Task* root = nullptr;
    if (parent && Workflow_GetRootTaskHandle(parent, task, &root) && root && Task_GetMacroDictionaryHandle(root))
        Dictionary_Merge(macros, Task_GetMacroDictionaryHandle(root), DICTIONARY_MERGE_OVERWRITE);
    MergeExpandedMacros(task, macros);
    for (const char* key : {"workflowUrl", "workflowPath", "workflowDirectory"}) Dictionary_RemoveByKey(macros, key);

    Dictionary* analytics = nullptr;
    Dictionary_AddDictionary(info, "_analytics", &analytics, nullptr);
    Dictionary* global = nullptr;
    if (Analytics_GetGlobalDictionaryHandle(&global) && global)
        Dictionary_Merge(analytics, global, DICTIONARY_MERGE_OVERWRITE);

    Dictionary* progress = nullptr;
    Dictionary_AddDictionary(info, "_progress", &progress, nullptr);
    Dictionary* definitions = nullptr;
    if (parent && Workflow_GetDictionaryHandle(parent, &definitions) && definitions) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(definitions, &item); item; Dictionary_ItemGetNext(definitions, item, &item)) {
            Dictionary* definition = nullptr;
            const char* name = nullptr;
            const char* id = nullptr;
            Dictionary_ItemGetKeyPtr(definitions, item, &name);
            if (!name || !Dictionary_ItemGetDictionaryHandle(definitions, item, &definition) || !definition ||
                !Dictionary_GetStringPtrByKey(definition, "progressId", &id) || !id)
                continue;
            const char* type = nullptr;
            double weight = 1;
            if (Dictionary_GetStringPtrByKey(definition, "type", &type) && type && String_CompareWithoutCase(type, "progress"))
                continue;
            if (Dictionary_GetFloat64ByKey(definition, "progressWeight", &weight) && weight == 0) continue;
            Dictionary* entry = nullptr;
            DictionaryItem* entryItem = nullptr;
            Dictionary_AddDictionary(progress, name, &entry, &entryItem);
            if (!entry) continue;
            if (entryItem) Dictionary_ItemSetPrivate(progress, entryItem, PrivateOf(definitions, item));
            Dictionary_SetStringByKey(entry, "progressId", id);
            const char* taskName = nullptr;
            if (Dictionary_GetStringPtrByKey(definition, "progressTaskName", &taskName) && taskName)
                Dictionary_SetStringByKey(entry, "progressTaskName", taskName);
        }
    }
    if (WorkflowApp_GetVerbose()) Dictionary_Dump(info);
    NotificationCenter_Fire("WorkflowRun", "Start", run->TaskId, info);
    Dictionary_Release(&info);
    // Only the worker can end the run now: should the link to it go, nothing would.
    EndPointIdOf(WorkflowRun_ServiceEndPoint(), run->EndPointId);
    if (run->EndPointId[0] && !Task_IsCompleted(task)) {
        run->WaitDisconnected = 1;
        NotificationCenter_AddInstanceObserver("NotificationEndPoint", "Disconnected", run->EndPointId, run,
                                               OnEndPointDisconnected);
    }
}

void LaunchWorker(WorkflowRun* run) {
    Task* task = run->Owner;
    NotificationEndPoint* endpoint = WorkflowRun_ServiceEndPoint();
    if (run->WaitRunning && run->EndPointId[0]) {
        NotificationCenter_RemoveInstanceObserver("NotificationEndPoint", "Running", run->EndPointId, run,
                                                  OnEndPointRunning);
        run->WaitRunning = 0;
    }
    char executable[WORKFLOWAPP_PATH_SIZE] = {};
    Platform_GetSpecialPath(kModulePath, executable, sizeof(executable));
    Task_Print(task, "Launching as elevated [%s]", executable);
    char* url = static_cast<char*>(Memory_AllocZero(WORKFLOWRUN_ENDPOINT_URL_SIZE));
    char* arguments = static_cast<char*>(Memory_AllocZero(WORKFLOWRUN_ARGUMENTS_SIZE));
    bool launched = false;
    if (endpoint && NotificationEndPoint_GetWebServerURL(endpoint, 1, url, WORKFLOWRUN_ENDPOINT_URL_SIZE)) {
        // The token goes to the worker on its standard input: a command line is readable by
        // every user of the machine.
        char* slash = strrchr(url, '/');
        char line[kNotificationEndPointTokenLength + 2] = {};
        String_Print(line, (int32_t)sizeof(line), "%s\n", slash ? slash + 1 : "");
        char base[WORKFLOWRUN_ENDPOINT_URL_SIZE];
        String_CopyLengthSafe(base, (int32_t)sizeof(base), url, slash ? (int32_t)(slash - url + 1) : 0);
        Dictionary* items = nullptr;
        Dictionary_GetListByKey(Task_GetDictionaryHandle(task), "arguments", &items);
        const char* why = nullptr;
        if (!WorkflowRun_BuildWorkerArguments(items, base, arguments, WORKFLOWRUN_ARGUMENTS_SIZE, &why)) {
            Task_Print(task, "Worker arguments refused (%s)", why ? why : "");
        } else {
            char directory[WORKFLOWAPP_PATH_SIZE] = {};
            Path_ParseDirectory(executable, directory, sizeof(directory));
            if (run->Worker) Process_Release(&run->Worker);
            Process_Create(&run->Worker);
            Process_SetApplicationName(run->Worker, executable);
            Process_SetWorkingDirectory(run->Worker, directory);
            Process_SetArguments(run->Worker, arguments);
            Process_SetElevationRights(run->Worker, PROCESS_RIGHTS_ELEVATED);
            Process_SetShowWindow(run->Worker, 0);
            Process_SetInputText(run->Worker, line);
            Task_SetStatusString(task, "path", executable);
            Task_SetStatusString(task, "arguments", arguments);
            Task_SetExpandStringCallback(task, run, WorkflowRun_ExpandStringCallback);
            Task_Print(task, "Launching process");
            Process_Dump(run->Worker);
            launched = Process_Launch(run->Worker) == 1;
            if (launched) WatchWorkerLater(run);
        }
        memset(line, 0, sizeof(line));
    }
    if (!launched) {
        if (endpoint && url[0]) NotificationEndPoint_RemoveWebServerURL(endpoint, url);
        Fail(task, "Launch_Error_RunElevated");
    }
    memset(url, 0, WORKFLOWRUN_ENDPOINT_URL_SIZE);
    Memory_Free(url, WORKFLOWRUN_ENDPOINT_URL_SIZE);
    Memory_Free(arguments, WORKFLOWRUN_ARGUMENTS_SIZE);
}

void RunElevated(WorkflowRun* run) {
    Task* task = run->Owner;
    NotificationEndPoint* endpoint = WorkflowRun_ServiceEndPoint();
    // A worker runs what it was sent; it never starts another worker of its own.
    if (WorkflowApp_IsWorker() || !endpoint) {
        Task_Print(task, "Elevation is not available in this process");
        Fail(task, "Launch_Error_RunElevated");
        return;
    }
    if (NotificationEndPoint_IsConnected(endpoint)) {
        SendRun(run, false);
        return;
    }
    StopWaitingForEndPoint(run);
    EndPointIdOf(endpoint, run->EndPointId);
    run->WaitConnected = 1;
    NotificationCenter_AddInstanceObserver("NotificationEndPoint", "Connected", run->EndPointId, run,
                                           OnEndPointConnected);
    if (NotificationEndPoint_IsRunning(endpoint)) {
        LaunchWorker(run);
        return;
    }
    run->WaitRunning = 1;
    NotificationCenter_AddInstanceObserver("NotificationEndPoint", "Running", run->EndPointId, run,
                                           OnEndPointRunning);
    NotificationEndPoint_Start(endpoint);
}

// ---- Notification handlers ---------------------------------------------------------------------

int64_t OnTaskStart(void* user, const char*, const char*, const char*, Dictionary*) {
    WorkflowRun* run = static_cast<WorkflowRun*>(user);
    Task* task = run->Owner;
    if (!Task_HasArgument(task, "url")) {
        Task_Print(task, "\"url\" argument not defined");
        Fail(task, "Task_Error_MissingArg");
        return 1;
    }
    if (run->Fetching) return 1;
    run->Fetching = 1;
    if (!run->Workflow_) {
        if (!ReadUrl(run)) {
            run->Fetching = 0;
            Fail(task, "Task_Error_InvalidArg");
            return 1;
        }
        Workflow_Create(&run->Workflow_);
        void* printUser = nullptr;
        ClassPrintCallback print = nullptr;
        if (Task_GetPrintCallback(task, &printUser, &print) && print)
            Workflow_SetPrintCallback(run->Workflow_, printUser, print);
        Workflow_SetTaskHandle(run->Workflow_, task);
        Workflow_RegisterCustomTasks(run->Workflow_);
        const char* name = nullptr;
        if (Task_GetNamePtr(task, &name) && name && String_CompareWithoutCase(name, "global"))
            Workflow_SetGlobal(run->Workflow_, 1);
        Task_Print(task, "Created workflow - %s", run->Url);
        Dictionary* info = Identity(run);
        NotificationCenter_Fire("WorkflowRun", "RunStart", run->TaskId, info);
        Dictionary_Release(&info);
    }
    WorkflowRun_RaiseStatus(run, 1, 0);
    Workflow_ClearErrors(run->Workflow_);
    if (!Task_HasArgument(task, "cache")) SetPrivateString(Task_GetDictionaryHandle(task), "cache", "workflow");
    uint32_t elevate = 0;
    WorkflowRun_ShouldElevate(task, &elevate);
    if (elevate)
        Task_Print(task, "Elevation %s to run workflow", "required");
    else
        Task_VerboseLog(task, 1, "Elevation %s to run workflow", "not required");
    Task_RequestAuto(task, run->Url, run, WorkflowRun_OnRequestComplete);
    return 1;
}

int64_t OnTaskCancel(void* user, const char*, const char*, const char*, Dictionary*) {
    WorkflowRun* run = static_cast<WorkflowRun*>(user);
    Task* task = run->Owner;
    Task_AddError(task, "Task_Error_Cancelled");
    if (run->Workflow_) {
        if (!Workflow_IsTaskQueued(run->Workflow_, "unload"))
            Workflow_QueueTask(run->Workflow_, "unload", nullptr, nullptr, nullptr);
        return 1;
    }
    char own[kIdSize] = {};
    char remote[WORKFLOW_REMOTE_ID_SIZE] = {};
    Workflow* parent = Task_GetWorkflowHandle(task);
    if (parent) Workflow_GetInstanceId(parent, own, kIdSize);
    if (parent && WorkflowApp_GetRemoteWorkflow(own, remote, WORKFLOW_REMOTE_ID_SIZE) && remote[0]) {
        NotificationCenter_Fire("Workflow", "Cancel", remote, nullptr);
        return 1;
    }
    Task_Complete(task, nullptr);
    return 1;
}

int64_t OnTaskComplete(void* user, const char*, const char*, const char*, Dictionary*) {
    StopWaitingForEndPoint(static_cast<WorkflowRun*>(user));
    return 1;
}

int64_t OnWorkflowEventComplete(void* user, const char*, const char*, const char*, Dictionary* info) {
    WorkflowRun* run = static_cast<WorkflowRun*>(user);
    if (!run->Workflow_ || !info) return 1;
    const char* workflow = nullptr;
    char own[kIdSize] = {};
    Workflow_GetInstanceId(run->Workflow_, own, kIdSize);
    if (!Dictionary_GetStringPtrByKey(info, "workflow", &workflow) || !workflow || strcmp(workflow, own) != 0)
        return 1;
    void* printUser = nullptr;
    ClassPrintCallback print = nullptr;
    void* before = nullptr;
    ClassPrintCallback beforePrint = nullptr;
    Dictionary_GetPrintCallback(info, &before, &beforePrint);
    if (Workflow_GetPrintCallback(run->Workflow_, &printUser, &print) && print)
        Dictionary_SetPrintCallback(info, printUser, print);
    Dictionary_Dump(info);
    Dictionary_SetPrintCallback(info, before, beforePrint);
    const char* name = nullptr;
    Dictionary_GetStringPtrByKey(info, "name", &name);
    if (!name) return 1;
    const bool unload = String_CompareWithoutCase(name, "unload");
    // The entry that does a run's work ("start", or "apply" in the self-update process) and its
    // load: an error there is the run's failure, never a success. A run another workflow started
    // is that workflow's step, so whatever entry its document is given (the one the process
    // queues after load, one a page queues, its unload) fails it with the entry's errors.
    const bool child = Task_GetWorkflowHandle(run->Owner) != nullptr;
    if (child || String_CompareWithoutCase(name, "start") || String_CompareWithoutCase(name, "apply") ||
        String_CompareWithoutCase(name, "load")) {
        Task_AddErrorFromDictionary(run->Owner, info);
        Task_AddWarningFromDictionary(run->Owner, info);
    }
    if (unload) {
        Task_Print(run->Owner, "Completed from unload event");
        Task_Complete(run->Owner, nullptr);
    }
    return 1;
}

int64_t OnRemoteComplete(void* user, const char*, const char*, const char*, Dictionary* info) {
    WorkflowRun* run = static_cast<WorkflowRun*>(user);
    if (info) {
        Task_AddErrorFromDictionary(run->Owner, info);
        Task_AddWarningFromDictionary(run->Owner, info);
    }
    Task_Complete(run->Owner, nullptr);
    return 1;
}

int64_t OnEndPointConnected(void* user, const char*, const char*, const char*, Dictionary*) {
    SendRun(static_cast<WorkflowRun*>(user), true);
    return 1;
}

int64_t OnEndPointDisconnected(void* user, const char*, const char*, const char*, Dictionary*) {
    WorkflowRun* run = static_cast<WorkflowRun*>(user);
    StopWaitingForEndPoint(run);
    if (Task_IsCompleted(run->Owner)) return 1;
    Task_Print(run->Owner, "Lost the elevated worker");
    Task_Cancel(run->Owner);
    return 1;
}

// A worker that ends before it joins this process would leave the run waiting for ever.
int64_t OnWatchWorker(void* user, const char*, const char*, const char*, Dictionary*) {
    WorkflowRun* run = static_cast<WorkflowRun*>(user);
    if (!run->Worker || !run->WaitConnected || Task_IsCompleted(run->Owner)) return 1;
    Process_Process(run->Worker);
    if (run->Worker->State != PROCESS_STATE_IDLE) {
        WatchWorkerLater(run);
        return 1;
    }
    StopWaitingForEndPoint(run);
    Task_Print(run->Owner, "The elevated worker ended before it joined");
    Fail(run->Owner, "Launch_Error_RunElevated");
    return 1;
}

int64_t OnEndPointRunning(void* user, const char*, const char*, const char*, Dictionary*) {
    WorkflowRun* run = static_cast<WorkflowRun*>(user);
    if (run->WaitRunning) LaunchWorker(run);
    return 1;
}

} // namespace

// ---- Type --------------------------------------------------------------------------------------

int64_t WorkflowRun_Create(void** instance, Task* task) {
    ASSERT_POINTER(instance);
    *instance = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    WorkflowRun* run = static_cast<WorkflowRun*>(Memory_AllocZero(sizeof(WorkflowRun)));
    run->Header.ClassId = WORKFLOWRUN_CLASS_ID;
    run->Header.RefCount = 1;
    run->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(run);
    Class_TrackInstance(run, run->Header.InstanceId, nullptr);
    run->Owner = task;
    Task_GetInstanceId(task, run->TaskId, kIdSize);
    Task_SetDelayedCancel(task, 1);
    Dictionary_Create(&run->Document);
    Observe(run, true);
    *instance = run;
    return 1;
}

int64_t WorkflowRun_AddRef(void* instance) {
    CLASS_CHECK(instance, WORKFLOWRUN_CLASS_ID);
    Class_AddRef(instance);
    return 1;
}

int64_t WorkflowRun_Release(void** instance) {
    ASSERT_POINTER(instance);
    if (!*instance) return 0;
    CLASS_CHECK(*instance, WORKFLOWRUN_CLASS_ID);
    Class_Release(instance);
    *instance = nullptr;
    return 1;
}

int64_t WorkflowRun_ShouldElevate(Task* task, uint32_t* elevate) {
    ASSERT_POINTER(elevate);
    *elevate = ElevatedArgument(task) && !IsProcessElevated() ? 1 : 0;
    return 1;
}

int64_t WorkflowRun_RaiseStatus(WorkflowRun* run, uint32_t isLoading, uint32_t canRetry) {
    CLASS_CHECK(run, WORKFLOWRUN_CLASS_ID);
    if (!run->Workflow_) return 0;
    Dictionary* status = NewDictionary();
    Dictionary_SetBooleanByKey(status, "isLoading", isLoading);
    Dictionary_SetBooleanByKey(status, "canRetry", canRetry);
    Workflow_SetStatusWithDictionary(run->Workflow_, status);
    Dictionary_Release(&status);
    return 1;
}

int64_t WorkflowRun_FilePathOfUrl(const char* url, char* path, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(path);
    if (capacity < 1) return 0;
    path[0] = 0;
    if (!URL_CompareProtocol(url, "file")) return 0;
    // Decoded and its slashes mended as the fetch does before it opens the file, so that the
    // name is the file that was read and never a spelling of it.
    char* encoded = static_cast<char*>(Memory_AllocZero(capacity));
    const bool converted = Path_ConvertFromURL(url, encoded, capacity) == 1;
    if (converted) {
        URL_DecodeString(encoded, path, capacity);
        Path_FixSlash(path, capacity, 0);
    }
    Memory_Free(encoded, capacity);
    if (converted && path[0] == '/') return 1;
    path[0] = 0;
    return 0;
}

int64_t WorkflowRun_RaiseRunComplete(WorkflowRun* run) {
    CLASS_CHECK(run, WORKFLOWRUN_CLASS_ID);
    Dictionary* info = Identity(run);
    Dictionary* status = Task_GetStatusDictionaryHandle(run->Owner);
    if (status) Dictionary_Merge(info, status, 0);
    Dictionary* errors = nullptr;
    uint32_t count = 0;
    if (status && Dictionary_GetListByKey(status, "errors", &errors) && errors) Dictionary_ItemGetCount(errors, &count);
    Dictionary_SetBooleanByKey(info, "successful", count == 0);
    NotificationCenter_Fire("WorkflowRun", "Run", run->TaskId, info);
    Dictionary_Release(&info);
    return 1;
}

int64_t WorkflowRun_RenameTask(WorkflowRun* run, const char* entry, const char* guid) {
    CLASS_CHECK(run, WORKFLOWRUN_CLASS_ID);
    ASSERT_POINTER(entry);
    ASSERT_POINTER(guid);
    char value[kNameSize];
    if (!Task_GetStringArgument(run->Owner, entry, value, kNameSize)) return 0;
    Task_ExpandString(run->Owner, value, kNameSize);
    if (String_CompareWithoutCase(value, entry)) return 0;
    Dictionary* doc = run->Document;
    // Entries are found as a task of their name is created: the name as stored first.
    DictionaryItem* item = Task_FindDefinition(doc, entry);
    if (item) {
        char aside[kNameSize + kGuidSize];
        String_Print(aside, (int32_t)sizeof(aside), "%s.%s", entry, guid);
        Dictionary_ItemSetKey(doc, item, aside);
    }
    item = Task_FindDefinition(doc, value);
    if (!item) return 0;
    const uint32_t isPrivate = PrivateOf(doc, item);
    Dictionary_ItemSetKey(doc, item, entry);
    Dictionary_ItemSetPrivate(doc, item, isPrivate);
    Dictionary* definition = nullptr;
    if (Dictionary_ItemGetDictionaryHandle(doc, item, &definition) && definition)
        Dictionary_SetStringByKey(definition, "_name", value);
    return 1;
}

namespace {

// A run whose document failed before any of it ran: the run task carries the error, the workflow
// and its watchers learn of it, and without a page the run ends here.
void FailLoad(WorkflowRun* run, Task* task) {
    WorkflowRun_RaiseRunComplete(run);
    WorkflowRun_RaiseStatus(run, 0, 1);
    char text[TASK_MESSAGE_SIZE];
    for (int32_t i = 0; Task_GetError(task, i, text, (int32_t)sizeof(text)); i++)
        Workflow_AddError(run->Workflow_, "%s", text);
    run->Fetching = 0;
    // Without a page there is nobody to ask for a retry: the run ends here, with its errors,
    // so that the process serving it learns of the failure instead of waiting for ever.
    if (WorkflowApp_IsSelfUpdate() || WorkflowApp_IsWorker()) Task_Complete(task, nullptr);
}

// A document refused before any of it ran: the run fails with the problem and its error key. A
// run that belongs to no workflow (the program's own) says so at ERROR; a child's run fails its
// task, whose workflow's failure line then names the child's document and the problem: one line.
bool RefuseDocument(WorkflowRun* run, Task* task, const char* problem, const char* key) {
    char place[1024];
    TaskRequest_PlaceOf(run->Url, place, (int32_t)sizeof(place));
    if (!Task_GetWorkflowHandle(task)) {
        Log_Error("%s: %s (%s)\n", place, problem, key);
        Task_Print(task, "%s", problem);
    } else {
        Task_Print(task, "%s: %s", place, problem);
    }
    Task_AddError(task, "%s", key);
    FailLoad(run, task);
    return false;
}

// A type that names nothing or an outcome that names no task fails the whole document when it
// loads, not only once a run happens to reach it.
bool CheckDocument(WorkflowRun* run, Task* task) {
    char problem[TASK_MESSAGE_SIZE];
    const char* key = nullptr;
    if (Workflow_CheckDocument(run->Workflow_, run->Document, problem, (int32_t)sizeof(problem), &key)) return true;
    return RefuseDocument(run, task, problem, key);
}

// Two keys of the fetched document that are one task name ("#a" and "a") are refused before the
// run's own document takes them in, where the later would silently replace the earlier.
bool CheckNames(WorkflowRun* run, Task* task, Dictionary* root) {
    char problem[TASK_MESSAGE_SIZE];
    if (Workflow_CheckTaskNames(root, nullptr, problem, (int32_t)sizeof(problem))) return true;
    return RefuseDocument(run, task, problem, "Task_Error_InvalidArg");
}

} // namespace

int64_t WorkflowRun_OnRequestComplete(Task* task, void* user, Dictionary* document, int32_t code,
                                      int32_t extendedCode) {
    WorkflowRun* run = static_cast<WorkflowRun*>(user);
    CLASS_CHECK(run, WORKFLOWRUN_CLASS_ID);
    if (code != 0 || !document) {
        Task_Print(task, "Failed to load workflow json (Err: %d/%d)", code, extendedCode);
        Task_AddError(task, "WorkflowRun_Error_Request");
        FailLoad(run, task);
        return 1;
    }
    Dictionary* root = nullptr;
    if (!Dictionary_SkipRoot(document, &root) || !root) root = document;
    if (!CheckNames(run, task, root)) return 1;
    Dictionary_Merge(run->Document, root, DICTIONARY_MERGE_OVERWRITE);
    char guid[kGuidSize];
    String_Guid(guid, kGuidSize, 1);
    Workflow* parent = Task_GetWorkflowHandle(task);
    LinkProgress(run, parent);
    // The entries are renamed first, so that the task chosen as "load" is the one that runs behind
    // the run's macro load (renaming afterwards would move the macro load itself aside).
    for (const char* entry : {"start", "load", "unload"}) WorkflowRun_RenameTask(run, entry, guid);
    char loadGuid[kGuidSize];
    String_Guid(loadGuid, kGuidSize, 1);
    Dictionary* pairs = PrepareLoad(run, loadGuid);
    if (pairs) MergeMacros(run, pairs, parent);
    if (!CheckDocument(run, task)) return 1;

    uint32_t elevate = 0;
    WorkflowRun_ShouldElevate(task, &elevate);
    if (elevate) {
        run->Fetching = 0;
        RunElevated(run);
        return 1;
    }
    if (WorkflowApp_GetVerbose()) Dictionary_Dump(run->Document);
    WorkflowRun_RaiseRunComplete(run);
    WorkflowRun_RaiseStatus(run, 0, 0);
    Workflow_LoadDictionary(run->Workflow_, run->Document, 1);
    Workflow_RunTask(run->Workflow_, "load", nullptr, nullptr, nullptr);
    run->Fetching = 0;
    return 1;
}

int64_t WorkflowRun_ExpandStringCallback(Task*, void* user, const char* path, char* value, int32_t capacity) {
    WorkflowRun* run = static_cast<WorkflowRun*>(user);
    if (value && capacity > 0) value[0] = 0;
    if (!run || !path || !value || capacity < 1) return 1;
    const char* dot = strchr(path, '.');
    if (!dot) return 1;
    char name[kNameSize];
    String_CopyLengthSafe(name, kNameSize, path, (int32_t)(dot - path));
    Task* found = nullptr;
    if (!run->Workflow_ || !Workflow_FindTaskByName(run->Workflow_, name, &found) || !found) {
        Task_Print(run->Owner, "Cannot find task %s for path evaluation", name);
        return 1;
    }
    String_Print(value, capacity, "{%s}", dot + 1);
    Task_ExpandString(found, value, capacity);
    return 1;
}

int64_t WorkflowRun_UrlExpandStringCallback(void* user, const char* name, char* argument, char* value,
                                            int32_t capacity) {
    if (name && String_CompareWithoutCase(name, "ContentUrl")) return 0;
    return Task_ExpandKey(user, name, argument, value, capacity);
}
