// The file task types (FileCopy, FileMove, FileDelete, FileExists, FileTruncate, FileHash,
// FileAuthenticate), each working on its own worker thread, and the registration of the family.
#include "tasks/file_tasks.h"

#include <cerrno>
#include <cstring>

#include "core/certs/authenticate.h"
#include "core/crypto/hash_file.h"
#include "core/linux/platform.h"
#include "core/linux/platform_file.h"
#include "core/platform/file.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"
#include "tasks/file_tasks_internal.h"
#include "tasks/linux/file_task_os.h"
#include "workflow/task_type.h"

namespace {

// ---- FileCopy and FileMove ------------------------------------------------------------------------

uint32_t CopyStart(FileTask* self) {
    if (!FileTask_RequirePath(self, "sourcePath", self->SourcePath) ||
        !FileTask_RequirePath(self, "targetPath", self->TargetPath))
        return 0;
    // A target naming a directory (ending in a separator) receives the source under its own name.
    const char* name = nullptr;
    const size_t length = strlen(self->TargetPath);
    const char last = self->TargetPath[length - 1];
    if (Path_ParseFilenamePtr(self->SourcePath, &name) && (last == '/' || last == '\\')) {
        if (length + strlen(name) >= (size_t)PATH_SIZE) {
            Task_Print(self->Head.Owner, "targetPath argument is not a usable path");
            WorkerTask_SetError(self->Head.Worker, "Task_Error_InvalidArg");
            return 0;
        }
        strcat(self->TargetPath, name);
    }
    self->Move = FileTask_Boolean(self, "move", self->MoveDefault);
    self->ReadOnlyGiven = Task_HasArgument(self->Head.Owner, "readOnly") ? 1 : 0;
    self->ReadOnly = FileTask_Boolean(self, "readOnly", 0);
    self->FailIfNotDeleted = FileTask_Boolean(self, "failIfNotDeleted", 0);
    Task_Print(self->Head.Owner, "%s file (%s -> %s)", self->Move ? "Moving" : "Copying", self->SourcePath,
               self->TargetPath);
    return 1;
}

// On the thread, for every step of the copy: thinned to whole percents so that a large file does
// not flood the main queue, and the only place a cancel reaches the copy.
int64_t CopyProgress(void* user, const char*, const char*, uint64_t done, uint64_t total) {
    FileTask* self = static_cast<FileTask*>(user);
    if (total > 0) {
        const double fraction = (double)done / (double)total;
        if (fraction >= 1 || fraction - self->PostedFraction >= 0.01) {
            self->PostedFraction = fraction;
            Task_VerboseLog(self->Head.Owner, 0, "Progress %.02f", fraction);
            TaskBase_PostProgress(&self->Head, done, total);
        }
    }
    return TaskBase_IsStopRequested(&self->Head) ? 0 : 1;
}

void ApplyReadOnly(FileTask* self) {
    uint32_t attributes = 0;
    PlatformErrorCode code = 0;
    if (!Path_GetAttributes(self->TargetPath, &attributes, &code)) {
        FileTask_SetPlatformError(self, code);
        return;
    }
    const bool isReadOnly = (attributes & PLATFORM_FILE_ATTRIBUTE_READONLY) != 0;
    if (isReadOnly == (self->ReadOnly != 0)) return;
    const bool changed = self->ReadOnly ? Path_SetAttributes(self->TargetPath, PLATFORM_FILE_ATTRIBUTE_READONLY, &code)
                                        : Platform_EnsurePathMutable(self->TargetPath);
    if (!changed) FileTask_SetPlatformError(self, code);
}

void CopyRun(FileTask* self) {
    PlatformErrorCode code = 0;
    // Only a file is copied or moved, and only a file (or nothing) is replaced by it.
    if ((code = TaskBase_JudgeFileName(self->Head.Owner, self->SourcePath, 0)) ||
        (code = TaskBase_JudgeFileName(self->Head.Owner, self->TargetPath, 1))) {
        FileTask_SetPlatformError(self, code);
        return;
    }
    if (self->Move) {
        if (!Path_MoveFile(self->SourcePath, self->TargetPath, 1, 1, &code, self, CopyProgress))
            FileTask_SetPlatformError(self, code);
        if (self->FailIfNotDeleted && Path_Exists(self->SourcePath)) {
            Task_Print(self->Head.Owner, "Failed to delete source %s", self->SourcePath);
            WorkerTask_SetError(self->Head.Worker, "Platform_Error_AccessDenied");
        }
    } else {
        if (Path_Exists(self->TargetPath)) Path_EnsureWritable(self->TargetPath);
        if (!Path_CopyFile(self->SourcePath, self->TargetPath, 0, 1, &code, self, CopyProgress))
            FileTask_SetPlatformError(self, code);
    }
    char error[WORKERTASK_ERROR_SIZE];
    if (!WorkerTask_GetError(self->Head.Worker, error, sizeof(error)) && self->ReadOnlyGiven) ApplyReadOnly(self);
}

void CopyDone(FileTask* self) {
    Task_SetProgress(self->Head.Owner, 1);
    Task_Complete(self->Head.Owner, nullptr);
}

// ---- FileDelete -----------------------------------------------------------------------------------

uint32_t DeleteStart(FileTask* self) {
    if (!FileTask_RequirePath(self, "path", self->Path)) return 0;
    self->WaitForReboot = FileTask_Boolean(self, "waitForReboot", 0);
    self->FailIfMissing = FileTask_Boolean(self, "failIfMissing", 0);
    Task_Print(self->Head.Owner, "Erasing file %s(%s)", self->WaitForReboot ? "on reboot " : "", self->Path);
    return 1;
}

void DeleteRun(FileTask* self) {
    if (!Path_Exists(self->Path)) {
        if (!self->FailIfMissing) return;
        Task_Print(self->Head.Owner, "File does not exist (%s)", self->Path);
        WorkerTask_SetError(self->Head.Worker, "Platform_Error_AccessInvalid");
        return;
    }
    if (Path_IsDirectory(self->Path)) {
        // Not a file: nothing is erased, and the failure says why.
        FileTask_SetPlatformError(self, PLATFORM_ERROR_ERRNO_BASE + EISDIR);
        return;
    }
    if (self->WaitForReboot) {
        char resolved[PATH_SIZE];
        if (!Path_Resolve(self->Path, resolved, PATH_SIZE) || !Platform_DeleteFileOnReboot(resolved)) {
            Task_Print(self->Head.Owner, "Unable to erase on reboot (%s)", self->Path);
            WorkerTask_SetError(self->Head.Worker, "Platform_Error_AccessDenied");
        }
        return;
    }
    PlatformErrorCode code = 0;
    if (!Path_EraseFile(self->Path, 4, &code)) FileTask_SetPlatformError(self, code);
}

// ---- FileExists -----------------------------------------------------------------------------------

uint32_t ExistsStart(FileTask* self) {
    if (!FileTask_RequirePath(self, "path", self->Path)) return 0;
    Task_Print(self->Head.Owner, "Checking if file exists (%s)", self->Path);
    return 1;
}

void ExistsRun(FileTask* self) {
    self->Found = Path_Exists(self->Path) ? 1 : 0;
}

void ExistsDone(FileTask* self) {
    Task_Print(self->Head.Owner, self->Found ? "File exists" : "File is missing");
    FileTask_Outcome(self, self->Found ? "exists" : "missing");
}

// ---- FileTruncate ---------------------------------------------------------------------------------

uint32_t TruncateStart(FileTask* self) {
    if (!FileTask_RequirePath(self, "path", self->Path) || !FileTask_RequireNumber(self, "offset", &self->Number))
        return 0;
    // A length the file system cannot hold would cut somewhere else than asked.
    if (!(self->Number >= 0 && self->Number < 9.2e18)) {
        Task_Print(self->Head.Owner, "offset argument is out of range");
        WorkerTask_SetError(self->Head.Worker, "Task_Error_InvalidArg");
        return 0;
    }
    Task_Print(self->Head.Owner, "Truncating file (%s) at offset (%.0f)", self->Path, self->Number);
    return 1;
}

void TruncateRun(FileTask* self) {
    if (!Path_Exists(self->Path)) {
        Task_Print(self->Head.Owner, "File does not exist (%s)", self->Path);
        WorkerTask_SetError(self->Head.Worker, "Platform_Error_Missing");
        return;
    }
    const int32_t fd = FileTaskOs_OpenRegularForWrite(self->Path);
    if (fd < 0) {
        Task_Print(self->Head.Owner, "Unable to open a regular file for writing (%s)", self->Path);
        WorkerTask_SetError(self->Head.Worker, "Platform_Error_AccessDenied");
        return;
    }
    if (!Platform_Truncate(fd, (int64_t)self->Number)) {
        Task_Print(self->Head.Owner, "Unable to set the length of %s", self->Path);
        WorkerTask_SetError(self->Head.Worker, "Platform_Error_AccessInvalid");
    }
    Platform_Close(fd);
}

// ---- FileHash -------------------------------------------------------------------------------------

uint32_t HashStart(FileTask* self) {
    Task_SetProgress(self->Head.Owner, 0);
    if (!FileTask_RequirePath(self, "path", self->Path)) return 0;
    Task_GetStringArgument(self->Head.Owner, "expectedDigest", self->ExpectedDigest, FILE_TASK_DIGEST_SIZE);
    char name[40] = "sha1";
    if (Task_HasArgument(self->Head.Owner, "algorithm") && !Task_GetStringArgument(self->Head.Owner, "algorithm", name, sizeof(name)))
        name[0] = 0;
    if (!Hash_InterfaceFromName(name, &self->Algorithm)) {
        Task_Print(self->Head.Owner, "Unsupported hash algorithm (%s)", name);
        WorkerTask_SetError(self->Head.Worker, "Task_Error_InvalidArg");
        return 0;
    }
    Task_Print(self->Head.Owner, "Checking file hash (%s)", self->Path);
    if (self->ExpectedDigest[0]) Task_Print(self->Head.Owner, "Expected digest - %s", self->ExpectedDigest);
    return 1;
}

void HashComplete(HashFile* hash, void* user, uint32_t success) {
    FileTask* self = static_cast<FileTask*>(user);
    if (success) {
        HashFile_GetString(hash, 0, self->ActualDigest, FILE_TASK_DIGEST_SIZE);
        String_Lower(self->ActualDigest);
        Task_Print(self->Head.Owner, "Actual digest - %s", self->ActualDigest);
        return;
    }
    uint32_t code = 0;
    HashFile_GetLastFileError(hash, &code);
    FileTask_SetPlatformError(self, code ? (PlatformErrorCode)code : PLATFORM_ERROR_ERRNO_BASE + EIO);
}

void HashRun(FileTask* self) {
    HashFile* hash = nullptr;
    HashFile_Create(&hash);
    HashFile_SetPath(hash, self->Path);
    HashFile_SetInterface(hash, self->Algorithm);
    HashFile_SetCompleteCallback(hash, self, HashComplete);
    // One attempt: a file that will not open now fails the task now, not after a minute of retries.
    File_SetRetries(hash->FileHandle, 1);
    // A directory opens but has no content to read, a device would be hashed as empty or never
    // end, a FIFO waits on another process: none is a file to hash. A missing file is told below.
    const PlatformErrorCode refused = Path_Exists(self->Path) ? TaskBase_JudgeFileName(self->Head.Owner, self->Path, 0) : 0;
    if (refused) {
        FileTask_SetPlatformError(self, refused);
    } else if (HashFile_Start(hash)) {
        uint64_t size = 0;
        HashFile_GetFileSize(hash, &size);
        while (HashFile_IsRunning(hash) && !TaskBase_IsStopRequested(&self->Head)) {
            HashFile_Process(hash);
            const double now = Time_GetCurrent();
            if (now - self->PostedTime >= 1.0 && HashFile_IsRunning(hash)) {
                uint64_t read = 0;
                HashFile_GetBytesRead(hash, &read);
                self->PostedTime = now;
                TaskBase_PostProgress(&self->Head, size ? read : 1, size ? size : 1);
            }
        }
        if (!TaskBase_IsStopRequested(&self->Head)) TaskBase_PostProgress(&self->Head, 1, 1);
    }
    HashFile_Release(&hash);
}

void HashDone(FileTask* self) {
    Task_SetStatusString(self->Head.Owner, "actualDigest", self->ActualDigest);
    Task_SetStatusString(self->Head.Owner, "expectedDigest", self->ExpectedDigest);
    if (!self->ExpectedDigest[0]) {
        Task_Complete(self->Head.Owner, nullptr);
        return;
    }
    FileTask_Outcome(self, String_CompareWithoutCase(self->ActualDigest, self->ExpectedDigest) ? "equalTo"
                                                                                               : "notEqualTo");
}

// ---- FileAuthenticate -----------------------------------------------------------------------------

uint32_t AuthenticateStart(FileTask* self) {
    if (!FileTask_RequirePath(self, "path", self->Path)) return 0;
    Task_Print(self->Head.Owner, "Authenticating file (%s)", self->Path);
    // The task's store list is made on the main thread, where the task's arguments live.
    CertStoreInterface_Release(&self->Store);
    CertStoreList* list = nullptr;
    if (Task_GetCertStoreListHandle(self->Head.Owner, &list) && list) self->Store = CertStoreList_GetInterfaceHandle(list);
    return 1;
}

void AuthenticateRun(FileTask* self) {
    // A missing file is simply not valid; one that is no file at all is refused.
    if (const PlatformErrorCode refused =
            Path_Exists(self->Path) ? TaskBase_JudgeFileName(self->Head.Owner, self->Path, 0) : 0) {
        FileTask_SetPlatformError(self, refused);
        return;
    }
    self->Found = self->Store && Authenticate_Validate(self->Store, self->Path) == 1 ? 1 : 0;
}

void AuthenticateDone(FileTask* self) {
    CertStoreInterface_Release(&self->Store);
    FileTask_Outcome(self, self->Found ? "valid" : "notValid");
}

// ---- Records --------------------------------------------------------------------------------------

constexpr FileTaskKind kCopy = FileTask_Kind(0xc2768bc0, CopyStart, CopyRun, CopyDone);
constexpr FileTaskKind kDelete = FileTask_Kind(0x224de8fd, DeleteStart, DeleteRun, nullptr);
constexpr FileTaskKind kExists = FileTask_Kind(0xe1777415, ExistsStart, ExistsRun, ExistsDone);
constexpr FileTaskKind kTruncate = FileTask_Kind(0xf88716c8, TruncateStart, TruncateRun, nullptr);
constexpr FileTaskKind kHash = FileTask_Kind(0xbd723b3c, HashStart, HashRun, HashDone);
constexpr FileTaskKind kAuthenticate = FileTask_Kind(0x5f98e209, AuthenticateStart, AuthenticateRun, AuthenticateDone);

template <const FileTaskKind* Kind> int64_t Create(void** instance, Task* task) {
    return FileTask_Create(Kind, instance, task);
}

int64_t CreateMove(void** instance, Task* task) {
    if (!FileTask_Create(&kCopy, instance, task)) return 0;
    static_cast<FileTask*>(*instance)->MoveDefault = 1;
    return 1;
}

const TaskInterface kFileCopy = {"FileCopy", Create<&kCopy>, TaskBase_AddRef, TaskBase_Release};
const TaskInterface kFileMove = {"FileMove", CreateMove, TaskBase_AddRef, TaskBase_Release};
const TaskInterface kFileDelete = {"FileDelete", Create<&kDelete>, TaskBase_AddRef, TaskBase_Release};
const TaskInterface kFileExists = {"FileExists", Create<&kExists>, TaskBase_AddRef, TaskBase_Release};
const TaskInterface kFileTruncate = {"FileTruncate", Create<&kTruncate>, TaskBase_AddRef, TaskBase_Release};
const TaskInterface kFileHash = {"FileHash", Create<&kHash>, TaskBase_AddRef, TaskBase_Release};
const TaskInterface kFileAuthenticate = {"FileAuthenticate", Create<&kAuthenticate>, TaskBase_AddRef,
                                         TaskBase_Release};

} // namespace

int64_t FileTasks_Register() {
    const TaskInterface* records[] = {&kFileCopy,
                                      &kFileMove,
                                      &kFileDelete,
                                      &kFileExists,
                                      &kFileTruncate,
                                      &kFileHash,
                                      &kFileAuthenticate,
                                      &DirectoryCreateTaskInterface,
                                      &DirectoryCopyTaskInterface,
                                      &DirectoryMoveTaskInterface,
                                      &DirectoryDeleteTaskInterface,
                                      &DirectoryExistsTaskInterface,
                                      &DirectoryIsEmptyTaskInterface,
                                      &DiskSpaceCheckTaskInterface,
                                      &DirectoryListTaskInterface,
                                      &DirectoryIsWritableTaskInterface};
    for (const TaskInterface* record : records) TaskType_RegisterDefault(record);
    return 1;
}
