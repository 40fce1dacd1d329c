// The worker-thread steps shared by the file and directory task types on the task skeleton: the
// family's start, work and end callbacks, argument reading and the hand-over of platform errors
// from the worker thread.
#include <cerrno>
#include <cstring>

#include "core/linux/platform_error.h"
#include "tasks/file_tasks_internal.h"

namespace {

const FileTaskKind* KindOf(FileTask* self) {
    return reinterpret_cast<const FileTaskKind*>(self->Head.Type);
}

const char* TranslatePlatform(uint32_t code) {
    return Platform_TranslateError((PlatformErrorCode)code);
}

} // namespace

uint32_t FileTask_OnWorkerStart(WorkerTask*, void* user) {
    FileTask* self = static_cast<FileTask*>(user);
    // A task started again begins from a clean slate; its last thread has been joined or is
    // about to be, and no longer looks at these.
    self->Found = 0;
    self->FreeBytes = 0;
    self->ActualDigest[0] = 0;
    self->PostedFraction = -1;
    self->PostedTime = 0;
    return KindOf(self)->Start(self);
}

void FileTask_OnWork(WorkerTask*, void* user) {
    FileTask* self = static_cast<FileTask*>(user);
    KindOf(self)->Run(self);
}

void FileTask_OnSuccess(TaskBase* base) {
    FileTask* self = reinterpret_cast<FileTask*>(base);
    if (KindOf(self)->Done)
        KindOf(self)->Done(self);
    else
        Task_Complete(base->Owner, nullptr);
}

void FileTask_Free(TaskBase* base) {
    CertStoreInterface_Release(&reinterpret_cast<FileTask*>(base)->Store);
}

int64_t FileTask_Create(const FileTaskKind* kind, void** instance, Task* task) {
    return TaskBase_CreateWorker(instance, task, &kind->Base);
}

uint32_t FileTask_RequirePath(FileTask* self, const char* key, char* buffer) {
    buffer[0] = 0;
    if (!WorkerTask_RequireArgument(self->Head.Worker, key)) return 0;
    if (Task_GetStringArgument(self->Head.Owner, key, buffer, PATH_SIZE) && buffer[0])
        return TaskBase_RefuseLocation(&self->Head, key, buffer) ? 0 : 1;
    // Too long for the buffer, or empty: a cut or empty path would name another file.
    Task_Print(self->Head.Owner, "%s argument is not a usable path", key);
    WorkerTask_SetError(self->Head.Worker, "Task_Error_InvalidArg");
    return 0;
}

uint32_t FileTask_Boolean(FileTask* self, const char* key, uint32_t fallback) {
    if (!Task_HasArgument(self->Head.Owner, key)) return fallback;
    uint32_t value = 0;
    Task_GetBooleanArgument(self->Head.Owner, key, &value);
    return value ? 1 : 0;
}

uint32_t FileTask_RequireNumber(FileTask* self, const char* key, double* value) {
    *value = 0;
    if (!WorkerTask_RequireArgument(self->Head.Worker, key)) return 0;
    if (Task_GetNumberArgument(self->Head.Owner, key, value)) return 1;
    Task_Print(self->Head.Owner, "%s argument is not a number", key);
    WorkerTask_SetError(self->Head.Worker, "Task_Error_InvalidArg");
    return 0;
}

void FileTask_SetPlatformError(FileTask* self, PlatformErrorCode code) {
    if (code == 0) code = Platform_GetLastError();
    if (code == 0) code = PLATFORM_ERROR_ERRNO_BASE + EIO;
    WorkerTask_SetErrorFromTranslate(self->Head.Worker, "Platform_Error", (uint32_t)code, TranslatePlatform);
}

void FileTask_Outcome(FileTask* self, const char* word) {
    TaskBase_RunOutcome(&self->Head, word);
}
