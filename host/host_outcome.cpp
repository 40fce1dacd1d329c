// What became of the workflows this process ran. The engine tells each step through notifications;
// a user needs one line naming the workflow, the task that failed and why, and a process that
// ran a failed workflow by itself must not end as if it had succeeded.
#include "host/host_outcome.h"

#include <cstring>
#include <fcntl.h>
#include <initializer_list>

#include "core/linux/platform_error.h"
#include "core/linux/platform_file.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "skin/skin_app.h"
#include "workflow/task.h"
#include "workflow/task_request.h"
#include "workflow/workflow.h"

namespace {

constexpr int32_t kIdSize = 40;
constexpr int32_t kUrlSize = 1024;
constexpr int32_t kTextSize = 320;
// What a task said last is kept whole: a refusal may name several task names of the longest a
// document may give (a line as long as a task's message).
constexpr int32_t kDetailSize = TASK_DETAIL_SIZE;
// Workflows remembered at once; the oldest record is reused beyond that.
constexpr int32_t kRecords = 32;

struct Record {
    char Workflow[kIdSize];
    // The run task that fetched this workflow, when it is another's child.
    char RunTask[kIdSize];
    char Url[kUrlSize];
    // The last error a task of the workflow added, with what the task said just before it.
    char Task[kTextSize];
    char Type[kIdSize];
    char Error[kTextSize];
    char Detail[kDetailSize];
};

struct Outcome {
    bool Started;
    bool Failed;
    bool Stopping;
    // Whether a failure of the run has been told at ERROR (here, or by the loader).
    bool Told;
    // While a signal stops the run, what failed waits here to join the line that tells of the
    // signal, so that the run ends with one ERROR line: the workflow's place and what failed.
    char PendingPlace[kUrlSize];
    char Pending[kUrlSize + 3 * kTextSize + kDetailSize];
    int32_t Next;
    char SkinFolder[kUrlSize];
    Record Records[kRecords];
};

// One per process, never freed: an observer removed at shutdown may still be delivered once.
Outcome g_storage;
Outcome* const g_outcome = &g_storage;

Record* Find(const char* workflow, bool make) {
    if (!workflow || !workflow[0]) return nullptr;
    for (Record& record : g_outcome->Records)
        if (strcmp(record.Workflow, workflow) == 0) return &record;
    if (!make) return nullptr;
    Record& record = g_outcome->Records[g_outcome->Next];
    g_outcome->Next = (g_outcome->Next + 1) % kRecords;
    memset(&record, 0, sizeof(record));
    String_CopyLength(record.Workflow, workflow, kIdSize);
    return &record;
}

void PlaceOf(const Record* record, char* buffer, int32_t capacity) {
    if (record && record->Url[0]) TaskRequest_PlaceOf(record->Url, buffer, capacity);
    else String_CopyLength(buffer, "workflow", capacity);
}

const char* Text(Dictionary* info, const char* key) {
    const char* text = nullptr;
    return info && Dictionary_GetStringPtrByKey(info, key, &text) && text ? text : "";
}

// The errors of a completion as one text ("A, B").
void ErrorList(Dictionary* info, char* buffer, int32_t capacity) {
    buffer[0] = 0;
    Dictionary* errors = nullptr;
    if (!info || !Dictionary_GetListByKey(info, "errors", &errors) || !errors) return;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(errors, &item); item; Dictionary_ItemGetNext(errors, item, &item)) {
        const char* text = nullptr;
        int32_t length = 0;
        if (!Dictionary_ItemGetBufferPtr(errors, item, &text, &length) || !text || length <= 0) continue;
        String_PrintCat(buffer, capacity, "%s%.*s", buffer[0] ? ", " : "", length, text);
    }
}

int64_t OnRunStart(void*, const char*, const char*, const char*, Dictionary* info) {
    if (!g_outcome->Started) return 1;
    Record* record = Find(Text(info, "workflow"), true);
    if (record) {
        String_CopyLength(record->Url, Text(info, "url"), kUrlSize);
        String_CopyLength(record->RunTask, Text(info, "task"), kIdSize);
    }
    return 1;
}

// A fetch that failed for good: the loader has told where and why; this names the workflow.
int64_t OnRun(void*, const char*, const char*, const char*, Dictionary* info) {
    if (!g_outcome->Started) return 1;
    uint32_t successful = 1;
    if (!info || !Dictionary_GetBooleanByKey(info, "successful", &successful) || successful) return 1;
    char place[kUrlSize];
    TaskRequest_PlaceOf(Text(info, "url"), place, sizeof(place));
    // The loader has said where and why at ERROR already: one ERROR line per failure. A fetch a
    // signal's shutdown cut off is told by the signal's line instead.
    g_outcome->Failed = true;
    if (!g_outcome->Stopping) g_outcome->Told = true;
    Log_Info("Workflow %s was not loaded\n", place);
    return 1;
}

// A task's last line as one clause: without the printing object's "Name.1234abcd - " prefix (a
// line another object printed for the task) and without the line's end.
void CleanDetail(const char* text, char* buffer, int32_t capacity) {
    const char* dot = text;
    while ((*dot >= 'A' && *dot <= 'Z') || (*dot >= 'a' && *dot <= 'z')) dot++;
    if (dot > text && *dot == '.') {
        const char* hex = dot + 1;
        int32_t digits = 0;
        while (digits < 8 && ((hex[digits] >= '0' && hex[digits] <= '9') || (hex[digits] >= 'a' && hex[digits] <= 'f')))
            digits++;
        if (digits == 8 && strncmp(hex + 8, " - ", 3) == 0) text = hex + 11;
    }
    String_CopyLength(buffer, text, capacity);
    for (size_t length = strlen(buffer); length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r' ||
                                                        buffer[length - 1] == ' ');
         length--)
        buffer[length - 1] = 0;
}

int64_t OnTaskError(void*, const char*, const char*, const char* sender, Dictionary* info) {
    if (!g_outcome->Started) return 1;
    void* object = Class_ConvertFromInstanceId(sender);
    if (!object || !Task_ValidHandle(object)) return 1;
    Task* task = static_cast<Task*>(object);
    Workflow* workflow = Task_GetWorkflowHandle(task);
    if (!workflow) return 1;
    char id[kIdSize] = "";
    Workflow_GetInstanceId(workflow, id, sizeof(id));
    Record* record = Find(id, true);
    if (!record) return 1;
    const char* name = nullptr;
    Task_GetNamePtr(task, &name);
    const TaskInterface* type = nullptr;
    Task_GetInterface(task, &type);
    String_CopyLength(record->Task, name ? name : "", kTextSize);
    String_CopyLength(record->Type, type && type->Name ? type->Name : "", kIdSize);
    String_CopyLength(record->Error, Text(info, "message"), kTextSize);
    // An error made from a transfer's code names its cause itself, and a cancel has none; what the
    // task said last would only be its progress then, and the address it was fetching is what the
    // user needs.
    const bool transfer = strncmp(record->Error, "WebGet_Error_", 13) == 0;
    char url[kTextSize] = "";
    if ((transfer || strcmp(record->Error, "Task_Error_Cancelled") == 0) &&
        Task_GetStringArgument(task, "url", url, kTextSize) && url[0]) {
        Task_ExpandString(task, url, kTextSize);
        String_CopyLength(record->Detail, url, kDetailSize);
    } else if (transfer) {
        record->Detail[0] = 0;
    } else {
        CleanDetail(Text(info, "detail"), record->Detail, kDetailSize);
    }
    // A run task fails with the error of the child it ran: what the child's task said is the why.
    char taskId[kIdSize] = "";
    Task_GetInstanceId(task, taskId, sizeof(taskId));
    for (const Record& child : g_outcome->Records)
        if (&child != record && child.RunTask[0] && strcmp(child.RunTask, taskId) == 0 &&
            strcmp(child.Error, record->Error) == 0 && child.Detail[0])
            String_CopyLength(record->Detail, child.Detail, kDetailSize);
    return 1;
}

bool IsEntryTask(const char* name) {
    for (const char* entry : {"load", "start", "apply", "install", "uninstall", "update", "repair", "launch"})
        if (String_CompareWithoutCase(name, entry)) return true;
    return false;
}

// An entry task of a workflow that ended in failure: the workflow failed.
int64_t OnEventComplete(void*, const char*, const char*, const char*, Dictionary* info) {
    if (!g_outcome->Started) return 1;
    uint32_t successful = 0, global = 0, exists = 1, remote = 0;
    if (!info || (Dictionary_GetBooleanByKey(info, "isRemote", &remote) && remote)) return 1;
    Dictionary_GetBooleanByKey(info, "successful", &successful);
    Dictionary_GetBooleanByKey(info, "global", &global);
    Dictionary_GetBooleanByKey(info, "exists", &exists);
    const char* name = Text(info, "name");
    if (successful || !global || !IsEntryTask(name)) return 1;
    // A window run that a shutdown ends in order has not failed; a workflow run on its own that a
    // signal cut short has not done its work, and must not end as if it had.
    uint32_t shutdown = 0;
    if (!g_outcome->Stopping && Dictionary_GetBooleanByKey(info, "shutdown", &shutdown) && shutdown) return 1;
    const Record* record = Find(Text(info, "workflow"), false);
    char place[kUrlSize];
    PlaceOf(record, place, sizeof(place));
    g_outcome->Failed = true;
    char what[sizeof(g_outcome->Pending)];
    if (!exists) {
        String_Print(what, sizeof(what), ": it has no task \"%s\"", name);
    } else if (record && record->Error[0]) {
        String_Print(what, sizeof(what), " in \"%s\": task \"%s\"", name, record->Task);
        if (record->Type[0]) String_PrintCat(what, sizeof(what), " (%s)", record->Type);
        String_PrintCat(what, sizeof(what), ": %s", record->Error);
        if (record->Detail[0]) String_PrintCat(what, sizeof(what), " - %s", record->Detail);
    } else {
        char errors[kTextSize];
        ErrorList(info, errors, sizeof(errors));
        String_Print(what, sizeof(what), " in \"%s\"%s%s", name, errors[0] ? ": " : "", errors);
    }
    if (g_outcome->Stopping) {
        if (!g_outcome->Pending[0]) {
            String_CopyLength(g_outcome->PendingPlace, place, sizeof(g_outcome->PendingPlace));
            String_CopyLength(g_outcome->Pending, what, sizeof(g_outcome->Pending));
        }
        return 1;
    }
    g_outcome->Told = true;
    Log_Error("Workflow %s failed%s\n", place, what);
    return 1;
}

// The content URL stands for the skin's folder: a document served from it is named by its file.
int64_t PlaceInSkin(const char* url, char* buffer, int32_t capacity, char* reason, int32_t reasonCapacity) {
    const char* content = SkinApp_GetContentUrl();
    if (!g_outcome->SkinFolder[0] || !content || !content[0]) return 0;
    const size_t prefix = strlen(content);
    if (strncmp(url, content, prefix) != 0) return 0;
    const char* rest = url + prefix;
    const size_t length = strcspn(rest, "?#");
    String_Print(buffer, capacity, "%s%.*s", g_outcome->SkinFolder, (int32_t)length, rest);
    if (reason && reasonCapacity > 0) {
        reason[0] = 0;
        const int32_t fd = Platform_Open(buffer, O_RDONLY | O_CLOEXEC, 0, 0);
        char byte = 0;
        uint32_t read = 0;
        if (fd < 0 || !Platform_Read(fd, &byte, 1, &read)) {
            const PlatformErrorCode error = Platform_GetLastError();
            if (!Platform_GetErrorString(error, reason, reasonCapacity))
                String_CopyLength(reason, "cannot be read", reasonCapacity);
        }
        if (fd >= 0) Platform_Close(fd);
    }
    return 1;
}

} // namespace

int64_t HostOutcome_Start() {
    if (g_outcome->Started) return 1;
    g_outcome->Started = true;
    NotificationCenter_AddObserver("WorkflowRun", "RunStart", g_outcome, OnRunStart);
    NotificationCenter_AddObserver("WorkflowRun", "Run", g_outcome, OnRun);
    NotificationCenter_AddObserver("Task", "Error", g_outcome, OnTaskError);
    NotificationCenter_AddObserver("WorkflowEvent", "Complete", g_outcome, OnEventComplete);
    TaskRequest_SetPlaceCallback(PlaceInSkin);
    return 1;
}

int64_t HostOutcome_Stop() {
    if (!g_outcome->Started) return 1;
    // A failure while stopping that no signal's line took is told on its own.
    if (g_outcome->Pending[0]) {
        g_outcome->Told = true;
        Log_Error("Workflow %s failed%s\n", g_outcome->PendingPlace, g_outcome->Pending);
    }
    g_outcome->Pending[0] = 0;
    TaskRequest_SetPlaceCallback(nullptr);
    NotificationCenter_RemoveObserver("WorkflowRun", "RunStart", g_outcome, OnRunStart);
    NotificationCenter_RemoveObserver("WorkflowRun", "Run", g_outcome, OnRun);
    NotificationCenter_RemoveObserver("Task", "Error", g_outcome, OnTaskError);
    NotificationCenter_RemoveObserver("WorkflowEvent", "Complete", g_outcome, OnEventComplete);
    g_outcome->Started = false;
    return 1;
}

int64_t HostOutcome_SetStopping() {
    g_outcome->Stopping = true;
    return 1;
}

int64_t HostOutcome_TakeStoppedFailure(char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    if (!g_outcome->Pending[0]) return 0;
    String_CopyLength(buffer, g_outcome->Pending, capacity);
    g_outcome->Pending[0] = 0;
    return 1;
}

int64_t HostOutcome_Failed() { return g_outcome->Failed ? 1 : 0; }

int64_t HostOutcome_Told() { return g_outcome->Told ? 1 : 0; }

int64_t HostOutcome_ApplyExitCode() {
    if (!HostOutcome_Failed() || Debug_ExitCodeChosen()) return 1;
    Debug_SetExitCode(1);
    Log_Info("The workflow failed: exit code 1\n");
    return 1;
}

int64_t HostOutcome_SetSkinFolder(const char* folder) {
    g_outcome->SkinFolder[0] = 0;
    if (folder && folder[0]) {
        String_CopyLength(g_outcome->SkinFolder, folder, kUrlSize);
        const size_t length = strlen(g_outcome->SkinFolder);
        if (g_outcome->SkinFolder[length - 1] != '/') String_CatLength(g_outcome->SkinFolder, "/", kUrlSize);
    }
    return 1;
}
