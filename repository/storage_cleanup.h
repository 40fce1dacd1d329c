// The cleanup job: erases from one storage what a source manifest lists and a destination manifest
// does not, a few erases at a time within a time budget per pass, on its owner's thread.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct Dictionary;
struct EventQueue;
struct MetaFile;
struct Storage;
struct StorageCleanup;

enum : uint32_t { STORAGE_CLEANUP_CLASS_ID = 0xa18c1b0d };

// Answers of the error callback: erase again after the resume time, wait until it and erase
// again, or take the item as done.
enum : int32_t {
    STORAGE_CLEANUP_RESPONSE_RETRY = 3,
    STORAGE_CLEANUP_RESPONSE_WAIT = 4,
    STORAGE_CLEANUP_RESPONSE_IGNORE = 5,
};

// Asked for every failed erase with the item's earlier failures, its index (piece index, or the
// file's place in the source manifest), the storage's code and extended code. *resume (preset
// to 0) is the Time_GetCurrent time to act at; a time past or 0 means at once.
typedef int32_t (*StorageCleanupErrorFunc)(StorageCleanup* cleanup, void* user, uint32_t errorCount, int32_t index,
                                           uint32_t code, uint32_t extendedCode, double* resume);

int64_t StorageCleanup_Create(StorageCleanup** handle);
int64_t StorageCleanup_AddRef(StorageCleanup* cleanup);
// Erases still at the storage hold a reference each, so the job outlives them.
int64_t StorageCleanup_Release(StorageCleanup** handle);
int64_t StorageCleanup_Delete(StorageCleanup** handle);
int64_t StorageCleanup_GetInstanceId(StorageCleanup* cleanup, char* buffer, int32_t size);

// Settings. The storage is not owned; the manifests are referenced. The blank setters use the
// job's own empty manifest: as source nothing is erased, as destination everything listed.
int64_t StorageCleanup_SetStorageHandle(StorageCleanup* cleanup, Storage* storage);
int64_t StorageCleanup_GetStorageHandle(StorageCleanup* cleanup, Storage** storage);
int64_t StorageCleanup_SetSourceMetaFileHandle(StorageCleanup* cleanup, MetaFile* manifest);
int64_t StorageCleanup_GetSourceMetaFileHandle(StorageCleanup* cleanup, MetaFile** manifest);
int64_t StorageCleanup_SetDestMetaFileHandle(StorageCleanup* cleanup, MetaFile* manifest);
int64_t StorageCleanup_GetDestMetaFileHandle(StorageCleanup* cleanup, MetaFile** manifest);
// What a second manifest lists is kept as well (null: nothing more): a cleanup that a cut run left
// keeps both the installed version's files and the one being installed.
int64_t StorageCleanup_SetKeepMetaFileHandle(StorageCleanup* cleanup, MetaFile* manifest);
int64_t StorageCleanup_SetBlankSourceMetaFileHandle(StorageCleanup* cleanup);
int64_t StorageCleanup_SetBlankDestMetaFileHandle(StorageCleanup* cleanup);
// Where delayed error responses wait (null: the global queue).
int64_t StorageCleanup_SetEventQueueHandle(StorageCleanup* cleanup, EventQueue* queue);
// The thread each completed item and the job's end signal: the creator's until set.
int64_t StorageCleanup_SetThreadId(StorageCleanup* cleanup, uint32_t threadId);
int64_t StorageCleanup_GetThreadId(StorageCleanup* cleanup, uint32_t* threadId);
int64_t StorageCleanup_GetEventQueueHandle(StorageCleanup* cleanup, EventQueue** queue);
// Erases under way may exceed the maximum by one before a pass stops (default 10).
int64_t StorageCleanup_SetInFlightMax(StorageCleanup* cleanup, int32_t maximum);
int64_t StorageCleanup_GetInFlightMax(StorageCleanup* cleanup, int32_t* maximum);
// Seconds of work per pass; 0 or less means no limit.
int64_t StorageCleanup_SetProcessTimeout(StorageCleanup* cleanup, double seconds);
int64_t StorageCleanup_GetProcessTimeout(StorageCleanup* cleanup, double* seconds);
int64_t StorageCleanup_SetErrorCallback(StorageCleanup* cleanup, void* user, StorageCleanupErrorFunc callback);
int64_t StorageCleanup_GetErrorCallback(StorageCleanup* cleanup, void** user, StorageCleanupErrorFunc* callback);

// Starting a cleanup that is alive stops the process. 0 without a storage or manifests.
int64_t StorageCleanup_Start(StorageCleanup* cleanup);
// One pass: starts erases until the budget or the in-flight limit is reached.
int64_t StorageCleanup_Process(StorageCleanup* cleanup);
// No more erases start, waiting retries are dropped and later failures are not counted.
int64_t StorageCleanup_Shutdown(StorageCleanup* cleanup);
int64_t StorageCleanup_IsAlive(StorageCleanup* cleanup);
int64_t StorageCleanup_IsComplete(StorageCleanup* cleanup);
// Hands a file storage the installed manifest (see StorageFile_SetInstalled); nothing for others.
void StorageCleanup_SetInstalled(Storage* target, MetaFile* installed);
// Hands a file storage its repository's mark and the local manifest's name below its folder (see
// StorageFile_SetOwner); nothing for others.
void StorageCleanup_SetOwner(Storage* target, const char* owner, const char* kept);
// The copies a file storage recorded and a killed run left, whose files the installed manifest
// does not list (null: none is), removed as a completed cleanup removes them; for a sync that runs
// no cleanup of that storage. Each call works a bounded time: -1 while there is more to do, 1 when
// nothing stayed or the storage keeps no copies, 0 otherwise.
int64_t StorageCleanup_RemoveStrayCopies(Storage* target, MetaFile* installed, uint32_t continued = 1);
// After a 0 of the above: the errno that kept it from its end (see StorageFile_ReplayError), else 0.
int32_t StorageCleanup_ReplayError(Storage* target);
// The copies a failed or stopped sync made and still knows go (see StorageFile_RemoveMadeCopies); 0
// for a storage of another kind.
int32_t StorageCleanup_RemoveMadeCopies(Storage* target);
// The files a file storage's installed manifest lists and next does not, recorded by identity (see
// StorageFile_RecordDropped); 0 and nothing for other storages.
int32_t StorageCleanup_RecordDropped(Storage* target, MetaFile* next);
// The unfinished mark of a file storage (see StorageFile_MarkUnfinished and the five after it); for
// other storages nothing is marked, nothing is unfinished and nothing needs flushing.
int32_t StorageCleanup_MarkUnfinished(Storage* target);
int32_t StorageCleanup_MarkStart(Storage* target, uint32_t threadId);
int64_t StorageCleanup_MarkSettled(Storage* target, int32_t* error);
int64_t StorageCleanup_IsUnfinished(Storage* target);
void StorageCleanup_SetFinished(Storage* target);
int32_t StorageCleanup_Flush(Storage* target);

int64_t StorageCleanup_GetItemsTotal(StorageCleanup* cleanup, int32_t* total);
int64_t StorageCleanup_GetItemsComplete(StorageCleanup* cleanup, int32_t* complete);
// Seconds per erased item; 0 and result 0 before 20 erases.
int64_t StorageCleanup_GetItemAverageTime(StorageCleanup* cleanup, double* seconds);
// -1 without an average.
int64_t StorageCleanup_GetRemainingTime(StorageCleanup* cleanup, double* seconds);
// "progress", "itemsTotal", "itemsComplete", "filesErased", "itemAverageTime", "remainingTime".
int64_t StorageCleanup_Dump(StorageCleanup* cleanup, Dictionary* dictionary);

// Print family, class name "StorageCleanup".
int64_t StorageCleanup_VPrint(StorageCleanup* cleanup, int32_t indent, const char* format, va_list args);
int64_t StorageCleanup_Print(StorageCleanup* cleanup, const char* format, ...);
int64_t StorageCleanup_PrintTabbed(StorageCleanup* cleanup, int32_t indent, const char* format, ...);
int64_t StorageCleanup_IsVerboseLevel(StorageCleanup* cleanup, int32_t level);
int64_t StorageCleanup_VerboseLog(StorageCleanup* cleanup, int32_t level, const char* format, ...);
int64_t StorageCleanup_SetPrintCallback(StorageCleanup* cleanup, void* user, ClassPrintCallback callback);
int64_t StorageCleanup_GetPrintCallback(StorageCleanup* cleanup, void** user, ClassPrintCallback* callback);
int64_t StorageCleanup_SetPrintIdentifier(StorageCleanup* cleanup, const char* text);
int64_t StorageCleanup_SetVerbose(StorageCleanup* cleanup, uint32_t verbose);
int64_t StorageCleanup_GetVerbose(StorageCleanup* cleanup, uint32_t* verbose);
int64_t StorageCleanup_PrintInternal(void* user, const char* format, ...);
