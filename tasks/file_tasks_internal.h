// What the file and directory task types share: the instance of the worker-thread types (one
// layout for the whole family, each type with its own class id and steps), argument reading and
// the hand-over of platform failures and progress from the worker thread.
#pragma once
#include <cstdint>

#include "core/certs/cert_store.h"
#include "core/crypto/hash.h"
#include "core/platform/path.h"
#include "tasks/task_base.h"
#include "workflow/task.h"
#include "workflow/worker_task.h"

struct FileTask;

// The steps of one worker-thread type, after the skeleton's record (which the instance's Type
// points at). Start (main thread) reads the arguments into the instance and answers 0 when no
// thread is to run (an error set on the worker ends the task). Run works on the worker thread,
// only on the instance's copies. Done (main thread) ends a task whose work left no error and that
// was not cancelled; null completes it plainly. A cancel sets the skeleton's stop flag, which the
// long works (copy, hash) watch between their steps.
struct FileTaskKind {
    TaskBaseType Base;
    uint32_t (*Start)(FileTask* self);
    void (*Run)(FileTask* self);
    void (*Done)(FileTask* self);
};

enum : int32_t {
    // A digest as text: 64 bytes of SHA-512 in hexadecimal and room to spare.
    FILE_TASK_DIGEST_SIZE = 134,
};

struct FileTask {
    TaskBase Head;
    // The type's default for "move" (FileMove), which the argument may override.
    uint32_t MoveDefault;

    // Argument copies.
    char Path[PATH_SIZE];
    char SourcePath[PATH_SIZE];
    char TargetPath[PATH_SIZE];
    uint32_t Move;
    uint32_t ReadOnly;
    uint32_t ReadOnlyGiven;
    uint32_t FailIfNotDeleted;
    uint32_t FailIfMissing;
    uint32_t WaitForReboot;
    uint32_t OnlyIfEmpty;
    uint32_t Recurse;
    uint32_t Overwrite;
    // "offset" of FileTruncate, "requiredBytes" of DiskSpaceCheck.
    double Number;
    const HashInterface* Algorithm;
    char ExpectedDigest[FILE_TASK_DIGEST_SIZE];
    // Taken on the main thread at start, released when the instance goes.
    CertStoreInterface* Store;

    // Results, written by the thread before its completion is queued.
    uint32_t Found;
    uint64_t FreeBytes;
    char ActualDigest[FILE_TASK_DIGEST_SIZE];
    // Thread-side bookkeeping of posted progress.
    double PostedFraction;
    double PostedTime;
};

// The skeleton's callbacks shared by every worker-thread type of the family.
uint32_t FileTask_OnWorkerStart(WorkerTask* worker, void* user);
void FileTask_OnWork(WorkerTask* worker, void* user);
void FileTask_OnSuccess(TaskBase* base);
void FileTask_Free(TaskBase* base);

constexpr FileTaskKind FileTask_Kind(uint32_t classId, uint32_t (*start)(FileTask*), void (*run)(FileTask*),
                                     void (*done)(FileTask*)) {
    return {{classId, (uint32_t)sizeof(FileTask), nullptr, nullptr, FileTask_OnWorkerStart, FileTask_OnWork,
             TaskBase_OnCancelStop, FileTask_OnSuccess, nullptr, FileTask_Free},
            start,
            run,
            done};
}

// Makes a worker-type instance bound to the task (Create of every worker record of the family).
int64_t FileTask_Create(const FileTaskKind* kind, void** instance, Task* task);

// Reads a required path argument into a PATH_SIZE buffer: a missing one is the worker's
// "Task_Error_MissingArg" (after "%s argument not defined"), one too long to hold without cutting
// "Task_Error_InvalidArg". 0 on either.
uint32_t FileTask_RequirePath(FileTask* self, const char* key, char* buffer);
// A boolean argument, or the default when it is absent.
uint32_t FileTask_Boolean(FileTask* self, const char* key, uint32_t fallback);
// A required number argument; missing or not numeric fails as above. 0 on failure.
uint32_t FileTask_RequireNumber(FileTask* self, const char* key, double* value);

// On the thread: the worker's error "Platform_Error_<class>" for the code (the last error when 0;
// a failure with no code at all is reported as an input/output error, never as "None").
void FileTask_SetPlatformError(FileTask* self, PlatformErrorCode code);
// Ends the task through an outcome word (main thread).
void FileTask_Outcome(FileTask* self, const char* word);

// The directory types' records, registered with the file types'.
extern const TaskInterface DirectoryCreateTaskInterface;
extern const TaskInterface DirectoryCopyTaskInterface;
extern const TaskInterface DirectoryMoveTaskInterface;
extern const TaskInterface DirectoryDeleteTaskInterface;
extern const TaskInterface DirectoryExistsTaskInterface;
extern const TaskInterface DirectoryIsEmptyTaskInterface;
extern const TaskInterface DiskSpaceCheckTaskInterface;
extern const TaskInterface DirectoryListTaskInterface;
extern const TaskInterface DirectoryIsWritableTaskInterface;
