// The Unzip task on the worker-thread skeleton: the extraction (unzip_archive.h) runs on the
// thread; each entry's status and progress come back to the main thread as records on its event
// queue.
#include "tasks/unzip_task.h"

#include <cstdarg>
#include <cstring>

#include "core/linux/platform.h"
#include "core/linux/platform_error.h"
#include "core/platform/path.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/log_text.h"
#include "core/runtime/string_print.h"
#include "tasks/task_base.h"
#include "tasks/unzip_archive.h"
#include "workflow/task_type.h"
#include "workflow/worker_task.h"

namespace {

constexpr int32_t kPasswordSize = 120;
// Entry statuses handed to the main thread and not yet published, at most: beyond that the thread
// waits for them, so that a main loop that stalls does not make them pile up with the archive.
constexpr uint32_t kStatusesWaiting = 256;

struct UnzipTask {
    TaskBase Head;
    char Path[PATH_SIZE];
    char Pattern[PATH_SIZE];
    char OutputDirectory[PATH_SIZE];
    char Password[kPasswordSize];
    // The thread's job; its TotalSize is written before the first progress record is posted.
    UnzipJob Job;
    // Uncompressed sizes of the entries finished so far (main thread, from the records).
    int64_t FinishedSize;
    // Status records posted and not yet published (both threads, atomically).
    uint32_t StatusesWaiting;
};

struct ProgressRecord {
    uint32_t Tag;
    int64_t Count;
    int64_t Size;
};
constexpr uint32_t kProgressTag = 0x554e5a50; // "UNZP"

// An entry's status values, owned by the record until its clean-up.
struct StatusRecord {
    uint32_t Tag;
    Dictionary* Status;
};
constexpr uint32_t kStatusTag = 0x554e5a53; // "UNZS"

// ---- Main thread ----------------------------------------------------------------------------

void OnProgressRecord(void* instance, void* payload) {
    UnzipTask* self = static_cast<UnzipTask*>(instance);
    ProgressRecord record;
    memcpy(&record, payload, sizeof(record));
    if (record.Tag != kProgressTag) return;
    const double file = record.Size < 1 ? 0 : (double)record.Count / (double)record.Size;
    if (record.Count == record.Size) self->FinishedSize += record.Size;
    const int64_t total = self->Job.TotalSize;
    const double overall = total < 1 ? 0 : (double)self->FinishedSize / (double)total;
    Task_VerboseLog(self->Head.Owner, 0, "Progress - File %02f Overall %.02f", file, overall);
    Task_SetProgress(self->Head.Owner, overall);
}

// Published here, where the notification is delivered at once; the records run in the order they
// were posted, with the progress records, and all before the one that ends the task.
void OnStatusRecord(void* instance, void* payload) {
    UnzipTask* self = static_cast<UnzipTask*>(instance);
    StatusRecord record;
    memcpy(&record, payload, sizeof(record));
    if (record.Tag != kStatusTag) return;
    __atomic_sub_fetch(&self->StatusesWaiting, 1u, __ATOMIC_SEQ_CST);
    Task_SetStatusWithDictionary(self->Head.Owner, record.Status);
}

// Also runs alone for a record dropped with the instance, which may then be gone: only the
// record's own dictionary is touched.
void OnStatusCleanup(void*, void* payload) {
    StatusRecord record;
    memcpy(&record, payload, sizeof(record));
    if (record.Tag == kStatusTag && record.Status) Dictionary_Release(&record.Status);
}

// ---- Worker thread --------------------------------------------------------------------------

void OnEntry(void* user, const char* name, const char* outputPath) {
    UnzipTask* self = static_cast<UnzipTask*>(user);
    // Entry names are the archive's: a line break in one must not make a log line of its own.
    Task_Print(self->Head.Owner, "Extracting %s -> %s", LogText(name).Text, LogText(outputPath).Text);
    // The status goes to the main thread as a record: published from here, each entry would wait
    // for the main loop to deliver it, which cost more than the entry itself in an archive of many
    // small ones.
    while (__atomic_load_n(&self->StatusesWaiting, __ATOMIC_SEQ_CST) >= kStatusesWaiting &&
           __atomic_load_n(&self->Head.StopFlag, __ATOMIC_SEQ_CST) == 0)
        Platform_SleepMS(1);
    Dictionary* status = nullptr;
    if (!Dictionary_Create(&status)) return;
    Dictionary_SetStringByKey(status, "pathInZip", name);
    Dictionary_SetStringByKey(status, "outputPath", outputPath);
    const StatusRecord record = {kStatusTag, status};
    __atomic_add_fetch(&self->StatusesWaiting, 1u, __ATOMIC_SEQ_CST);
    // Not queued (the queue has closed): the clean-up has already released the dictionary.
    if (!EventQueue_AddComplexEvent(nullptr, self, &record, sizeof(record), OnStatusRecord, OnStatusCleanup))
        __atomic_sub_fetch(&self->StatusesWaiting, 1u, __ATOMIC_SEQ_CST);
}

void OnProgress(void* user, int64_t count, int64_t size) {
    const ProgressRecord record = {kProgressTag, count, size};
    EventQueue_Add(nullptr, user, &record, sizeof(record), OnProgressRecord);
}

int64_t Print(void* user, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Task_VPrint(static_cast<UnzipTask*>(user)->Head.Owner, 0, format, args);
    va_end(args);
    return result;
}

void Thread_OnWork(WorkerTask* worker, void* user) {
    UnzipTask* self = static_cast<UnzipTask*>(user);
    if (const char* error = Unzip_Extract(&self->Job)) WorkerTask_SetError(worker, "%s", error);
}

// ---- Main thread ----------------------------------------------------------------------------

uint32_t OnWorkerStart(WorkerTask* worker, void* user) {
    UnzipTask* self = static_cast<UnzipTask*>(user);
    Task* task = self->Head.Owner;
    if (!WorkerTask_RequireArgument(worker, "path") || !WorkerTask_RequireArgument(worker, "outputDirectory"))
        return 0;
    TaskBase_SetProgressUnknown(&self->Head);
    Task_GetStringArgument(task, "path", self->Path, sizeof(self->Path));
    Task_GetStringArgument(task, "outputDirectory", self->OutputDirectory, sizeof(self->OutputDirectory));
    if (TaskBase_RefuseLocation(&self->Head, "path", self->Path) ||
        TaskBase_RefuseLocation(&self->Head, "outputDirectory", self->OutputDirectory))
        return 0;
    if (!Task_GetStringArgument(task, "pathInZip", self->Pattern, sizeof(self->Pattern)))
        String_Print(self->Pattern, sizeof(self->Pattern), "*");
    if (!Task_GetStringArgument(task, "password", self->Password, sizeof(self->Password))) self->Password[0] = 0;
    Task_Print(task, "Start - %s -> %s", self->Path, self->OutputDirectory);
    // Only a file is read as an archive: a device would read as nothing or never end.
    if (Path_Exists(self->Path)) {
        if (const int32_t refused = TaskBase_JudgeFileName(task, self->Path, 0)) {
            const char* name = Platform_TranslateError((PlatformErrorCode)refused);
            WorkerTask_SetError(worker, "Platform_Error_%s", name ? name : "AccessInvalid");
            return 0;
        }
    }
    self->FinishedSize = 0;
    __atomic_store_n(&self->Head.StopFlag, 0u, __ATOMIC_SEQ_CST);
    self->Job = {self->Path, self->Pattern, self->OutputDirectory, self->Password, self, OnEntry, OnProgress,
                 Print, &self->Head.StopFlag, 0};
    return 1;
}

void OnSuccess(TaskBase* base) {
    Task_SetProgress(base->Owner, 1);
    Task_Complete(base->Owner, nullptr);
}

const TaskBaseType kUnzipType = {.ClassId = UNZIPTASK_CLASS_ID,
                                 .Size = sizeof(UnzipTask),
                                 .OnWorkerStart = OnWorkerStart,
                                 .Thread_OnWork = Thread_OnWork,
                                 .OnCancel = TaskBase_OnCancelStop,
                                 .OnWorkerSuccess = OnSuccess};

int64_t Unzip_Create(void** instance, Task* task) {
    return TaskBase_CreateWorker(instance, task, &kUnzipType);
}

} // namespace

const TaskInterface Unzip_Interface = {"Unzip", Unzip_Create, TaskBase_AddRef, TaskBase_Release};
