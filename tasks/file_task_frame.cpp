// The worker-thread frame of the file and directory task types: binding an instance to its task
// and worker, the worker's callbacks, and the hand-over of errors and progress from the thread.
#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/linux/platform_error.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "tasks/file_tasks_internal.h"

namespace {

const char* TranslatePlatform(uint32_t code) {
    return Platform_TranslateError((PlatformErrorCode)code);
}

uint32_t OnStart(WorkerTask*, void* user) {
    FileTask* self = static_cast<FileTask*>(user);
    std::atomic_ref<uint32_t>(self->Stop).store(0);
    self->Found = 0;
    self->FreeBytes = 0;
    self->ActualDigest[0] = 0;
    self->PostedFraction = -1;
    self->PostedTime = 0;
    return self->Kind->Start(self);
}

void OnWork(WorkerTask*, void* user) {
    FileTask* self = static_cast<FileTask*>(user);
    self->Kind->Run(self);
}

uint32_t OnCancel(WorkerTask*, void* user) {
    FileTask* self = static_cast<FileTask*>(user);
    Task_AddError(self->Owner, "Task_Error_Cancelled");
    uint32_t expected = 0;
    std::atomic_ref<uint32_t>(self->Stop).compare_exchange_strong(expected, 1);
    return 1;
}

void OnComplete(WorkerTask* worker, void* user) {
    FileTask* self = static_cast<FileTask*>(user);
    if (Task_IsCancelled(self->Owner)) {
        Task_Complete(self->Owner, nullptr);
        return;
    }
    char error[WORKERTASK_ERROR_SIZE];
    if (WorkerTask_GetError(worker, error, sizeof(error))) {
        Task_AddError(self->Owner, "%s", error);
        Task_Complete(self->Owner, nullptr);
        return;
    }
    if (self->Kind->Done) {
        self->Kind->Done(self);
        return;
    }
    Task_Complete(self->Owner, nullptr);
}

struct ProgressRecord {
    double Fraction;
};

void OnProgress(void* instance, void* payload) {
    FileTask* self = static_cast<FileTask*>(instance);
    ProgressRecord record;
    memcpy(&record, payload, sizeof(record));
    Task_SetProgress(self->Owner, record.Fraction);
}

int64_t Delete(void** handle) {
    FileTask* self = static_cast<FileTask*>(*handle);
    CLASS_CHECK(self, self->Kind->ClassId);
    // The thread works on this instance: it must have ended before anything goes.
    WorkerTask_Join(self->Worker);
    WorkerTask_SetTaskHandle(self->Worker, nullptr);
    WorkerTask_Delete(&self->Worker);
    EventQueue_RemoveInstance(nullptr, self);
    CertStoreInterface_Release(&self->Store);
    self->Header.ClassId = 0;
    Memory_Free(self, sizeof(FileTask));
    *handle = nullptr;
    return 1;
}

} // namespace

int64_t FileTask_Create(const FileTaskKind* kind, void** instance, Task* task) {
    ASSERT_POINTER(instance);
    *instance = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    FileTask* self = static_cast<FileTask*>(Memory_AllocZero(sizeof(FileTask)));
    self->Header.ClassId = kind->ClassId;
    self->Header.RefCount = 1;
    self->Header.Delete = Delete;
    Class_GenerateInstanceIdReal(self);
    self->Owner = task;
    self->Kind = kind;
    WorkerTask_Create(&self->Worker);
    WorkerTask_SetTaskHandle(self->Worker, task);
    WorkerTask_SetStartCallback(self->Worker, self, OnStart);
    WorkerTask_SetRunCallback(self->Worker, self, OnWork);
    WorkerTask_SetCancelCallback(self->Worker, self, OnCancel);
    WorkerTask_SetCompleteCallback(self->Worker, self, OnComplete);
    *instance = self;
    return 1;
}

int64_t FileTask_AddRef(void* instance) {
    ASSERT_POINTER(instance);
    Class_AddRef(instance);
    return 1;
}

int64_t FileTask_Release(void** instance) {
    ASSERT_POINTER(instance);
    if (!*instance) return 0;
    Class_Release(instance);
    return 1;
}

uint32_t FileTask_RequirePath(FileTask* self, const char* key, char* buffer) {
    buffer[0] = 0;
    if (!WorkerTask_RequireArgument(self->Worker, key)) return 0;
    if (Task_GetStringArgument(self->Owner, key, buffer, PATH_SIZE) && buffer[0]) return 1;
    // Too long for the buffer, or empty: a cut or empty path would name another file.
    Task_Print(self->Owner, "%s argument is not a usable path", key);
    WorkerTask_SetError(self->Worker, "Task_Error_InvalidArg");
    return 0;
}

uint32_t FileTask_Boolean(FileTask* self, const char* key, uint32_t fallback) {
    if (!Task_HasArgument(self->Owner, key)) return fallback;
    uint32_t value = 0;
    Task_GetBooleanArgument(self->Owner, key, &value);
    return value ? 1 : 0;
}

uint32_t FileTask_RequireNumber(FileTask* self, const char* key, double* value) {
    *value = 0;
    if (!WorkerTask_RequireArgument(self->Worker, key)) return 0;
    if (Task_GetNumberArgument(self->Owner, key, value)) return 1;
    Task_Print(self->Owner, "%s argument is not a number", key);
    WorkerTask_SetError(self->Worker, "Task_Error_InvalidArg");
    return 0;
}

void FileTask_SetPlatformError(FileTask* self, PlatformErrorCode code) {
    if (code == 0) code = Platform_GetLastError();
    if (code == 0) code = PLATFORM_ERROR_ERRNO_BASE + EIO;
    WorkerTask_SetErrorFromTranslate(self->Worker, "Platform_Error", (uint32_t)code, TranslatePlatform);
}

void FileTask_PostProgress(FileTask* self, double fraction) {
    ProgressRecord record{fraction};
    EventQueue_Add(nullptr, self, &record, sizeof(record), OnProgress);
}

uint32_t FileTask_IsStopping(FileTask* self) {
    return std::atomic_ref<uint32_t>(self->Stop).load();
}

void FileTask_Outcome(FileTask* self, const char* word) {
    Task_RunSubAction(self->Owner, word, self, Task_SubAction_Complete);
}
