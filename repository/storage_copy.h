// The copy job: brings every piece of a source manifest into a target storage, piece by piece,
// then completes each file there in manifest order. Cooperative: its owner calls Process.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct BitField;
struct Dictionary;
struct EventQueue;
struct MetaFile;
struct Storage;
struct StorageCopy;
struct StorageFileSweep;
struct StorageRequest;

enum : uint32_t {
    STORAGE_COPY_CLASS_ID = 0x47a5619b,
    // Flags: which piece states run, where pieces go, and how they are ordered.
    STORAGE_COPY_FLAG_EXISTS = 1,
    STORAGE_COPY_FLAG_PENDING = 2,
    STORAGE_COPY_FLAG_FETCH = 4,
    STORAGE_COPY_FLAG_WRITE = 8,
    STORAGE_COPY_FLAG_TO_PENDING = 16,
    STORAGE_COPY_FLAG_AUTO_MASK = 32,
    STORAGE_COPY_FLAG_DELTA = 64,
    STORAGE_COPY_FLAGS_DEFAULT = 13,
    // Piece states, kept in the request.
    STORAGE_COPY_STATE_BEGIN = 0,
    STORAGE_COPY_STATE_PENDING = 1,
    STORAGE_COPY_STATE_EXISTS = 2,
    STORAGE_COPY_STATE_FETCH = 3,
    STORAGE_COPY_STATE_WRITE = 4,
    STORAGE_COPY_STATE_DONE = 5,
    // Error sources and types handed to the error handler.
    STORAGE_COPY_SOURCE_REMOTE = 0,
    STORAGE_COPY_SOURCE_LOCAL = 1,
    STORAGE_COPY_SOURCE_PENDING = 2,
    STORAGE_COPY_SOURCE_DELTA = 3,
    STORAGE_COPY_TYPE_READ = 1,
    STORAGE_COPY_TYPE_WRITE = 3,
    // Error handler answers.
    STORAGE_COPY_RESPONSE_RETRY = 3,
    STORAGE_COPY_RESPONSE_WAIT = 4,
    STORAGE_COPY_RESPONSE_IGNORE = 5,
};

// Chooses the storage to fetch the next piece from (null for none).
typedef int64_t (*StorageCopySourceFunc)(StorageCopy* copy, void* user, Storage** storage);
// Decides about a failed step: 3 retry later, 4 repeat the step at resume, 5 ignore. index is -1
// and request null for a file completion.
typedef int64_t (*StorageCopyErrorFunc)(StorageCopy* copy, void* user, StorageRequest* request, int32_t source,
                                        int32_t index, uint32_t count, int32_t type, uint32_t code, uint32_t extra,
                                        double* resume);
// Lends a free request (1 with one, 0 with none) and takes it back.
typedef int64_t (*StorageCopyRequestAcquireFunc)(StorageCopy* copy, void* user, StorageRequest** request);
typedef void (*StorageCopyRequestReleaseFunc)(StorageCopy* copy, void* user, StorageRequest** request);

int64_t StorageCopy_Create(StorageCopy** handle);
int64_t StorageCopy_AddRef(StorageCopy* copy);
int64_t StorageCopy_Release(StorageCopy** handle);
int64_t StorageCopy_Delete(StorageCopy** handle);
int64_t StorageCopy_GetInstanceId(StorageCopy* copy, char* buffer, int32_t size);

// Storages are borrowed; manifests, the mask and the event queue are held by references.
int64_t StorageCopy_SetDestHandle(StorageCopy* copy, Storage* storage);
int64_t StorageCopy_SetPendingHandle(StorageCopy* copy, Storage* storage);
int64_t StorageCopy_SetSourceMetaFileHandle(StorageCopy* copy, MetaFile* metaFile);
int64_t StorageCopy_GetSourceMetaFileHandle(StorageCopy* copy, MetaFile** metaFile);
int64_t StorageCopy_SetDestMetaFileHandle(StorageCopy* copy, MetaFile* metaFile);
int64_t StorageCopy_GetDestMetaFileHandle(StorageCopy* copy, MetaFile** metaFile);
// The verdicts of a sweep of the destination's installed files (StorageFile_SweepStart), finished
// or still running (a check then judges what it has not reached), for the automatic mask's checks
// of the next run (null: none). The job holds a reference until it
// is shut down, deleted or given another; a run started again after that has none.
int64_t StorageCopy_SetSweepHandle(StorageCopy* copy, StorageFileSweep* sweep);
// While held (1), no piece is written nor any file completed: a piece that reaches its write waits,
// and the files wait with it; checks and fetches go on. Let go (0), the waiting writes are made.
// Shutdown and Reset let the hold go and drop what waits, unmade.
int64_t StorageCopy_SetWritesHeld(StorageCopy* copy, uint32_t held);
// Set bits are pieces left out.
int64_t StorageCopy_SetMaskBitFieldHandle(StorageCopy* copy, BitField* mask);
int64_t StorageCopy_SetEventQueueHandle(StorageCopy* copy, EventQueue* queue);
// The thread a completed piece or file signals, so that its wait ends: the creator's until set.
int64_t StorageCopy_SetThreadId(StorageCopy* copy, uint32_t threadId);
int64_t StorageCopy_GetThreadId(StorageCopy* copy, uint32_t* threadId);
int64_t StorageCopy_SetFlags(StorageCopy* copy, uint32_t flags);
int64_t StorageCopy_GetFlags(StorageCopy* copy, uint32_t* flags);
int64_t StorageCopy_SetRequests(StorageCopy* copy, int32_t requests);
int64_t StorageCopy_GetRequests(StorageCopy* copy, int32_t* requests);
// 0 or less: no limit.
int64_t StorageCopy_SetFileCompletesInFlightMax(StorageCopy* copy, int32_t max);
int64_t StorageCopy_GetFileCompletesInFlightMax(StorageCopy* copy, int32_t* max);
int64_t StorageCopy_SetFileWeight(StorageCopy* copy, double weight);
int64_t StorageCopy_SetPieceWeight(StorageCopy* copy, double weight);
int64_t StorageCopy_SetSourceCallback(StorageCopy* copy, void* user, StorageCopySourceFunc callback);
int64_t StorageCopy_SetErrorCallback(StorageCopy* copy, void* user, StorageCopyErrorFunc callback);
int64_t StorageCopy_SetRequestAcquireCallback(StorageCopy* copy, void* user, StorageCopyRequestAcquireFunc callback);
int64_t StorageCopy_SetRequestReleaseCallback(StorageCopy* copy, void* user, StorageCopyRequestReleaseFunc callback);

// Life. Reset, Configure and Start stop the process on an alive job.
int64_t StorageCopy_Reset(StorageCopy* copy);
int64_t StorageCopy_Configure(StorageCopy* copy);
int64_t StorageCopy_Start(StorageCopy* copy);
int64_t StorageCopy_Process(StorageCopy* copy);
// Ends the job at once; work that ends later is dropped. A job shut down before every piece and
// file was done is stopped, not complete: IsComplete answers 0 until it is started again.
int64_t StorageCopy_Shutdown(StorageCopy* copy);
int64_t StorageCopy_IsAlive(StorageCopy* copy);
// Every piece and every file done, by this run (never by a shutdown).
int64_t StorageCopy_IsComplete(StorageCopy* copy);

// The piece state machine: run 1 starts a state, run 0 is a storage completion of it.
int64_t StorageCopy_StateDo(StorageCopy* copy, StorageRequest* request, uint32_t state, uint32_t run, uint32_t code,
                            uint32_t extra);
int64_t StorageCopy_StateNext(StorageCopy* copy, StorageRequest* request);

// Statistics.
int64_t StorageCopy_GetPiecesTotal(StorageCopy* copy, int32_t* total);
// Complete pieces, masked ones left out.
int64_t StorageCopy_GetPiecesComplete(StorageCopy* copy, int32_t* complete);
int64_t StorageCopy_GetPiecesMasked(StorageCopy* copy, int32_t* masked);
int64_t StorageCopy_GetPiecesSkipped(StorageCopy* copy, int32_t* skipped);
int64_t StorageCopy_GetPiecesWritten(StorageCopy* copy, int32_t* written);
int64_t StorageCopy_GetPieceLength(StorageCopy* copy, uint32_t* length);
int64_t StorageCopy_GetBytesTotal(StorageCopy* copy, uint64_t* total);
// 0 until the masked bytes are fully counted.
int64_t StorageCopy_GetBytesMasked(StorageCopy* copy, uint64_t* masked);
int64_t StorageCopy_GetBytesSkipped(StorageCopy* copy, uint64_t* skipped);
int64_t StorageCopy_GetBytesWritten(StorageCopy* copy, uint64_t* written);
int64_t StorageCopy_GetBytesComplete(StorageCopy* copy, uint64_t* complete);
int64_t StorageCopy_GetBytesRemaining(StorageCopy* copy, uint64_t* remaining);
// Seconds per transferred piece; 0 (result 0) below 20 samples.
int64_t StorageCopy_GetPieceAverageTime(StorageCopy* copy, double* seconds);
// Seconds; -1 (result 0) without an average.
int64_t StorageCopy_GetRemainingTime(StorageCopy* copy, double* seconds);
int64_t StorageCopy_GetLastPieceComplete(StorageCopy* copy, double* time);
int64_t StorageCopy_GetLastFileComplete(StorageCopy* copy, double* time);
int64_t StorageCopy_Dump(StorageCopy* copy, Dictionary* dictionary);

// Print family, class name "StorageCopy".
int64_t StorageCopy_VPrint(StorageCopy* copy, int32_t indent, const char* format, va_list args);
int64_t StorageCopy_Print(StorageCopy* copy, const char* format, ...);
int64_t StorageCopy_PrintTabbed(StorageCopy* copy, int32_t indent, const char* format, ...);
int64_t StorageCopy_IsVerboseLevel(StorageCopy* copy, int32_t level);
int64_t StorageCopy_VerboseLog(StorageCopy* copy, int32_t level, const char* format, ...);
int64_t StorageCopy_SetPrintCallback(StorageCopy* copy, void* user, ClassPrintCallback callback);
int64_t StorageCopy_GetPrintCallback(StorageCopy* copy, void** user, ClassPrintCallback* callback);
int64_t StorageCopy_SetPrintIdentifier(StorageCopy* copy, const char* text);
int64_t StorageCopy_SetVerbose(StorageCopy* copy, uint32_t verbose);
int64_t StorageCopy_GetVerbose(StorageCopy* copy, uint32_t* verbose);
