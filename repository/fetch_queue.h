// Chooses which piece of a manifest to fetch next: the pieces complete and in flight, and for each
// piece an error count and a time before which it is held back. Used on one thread only.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct BitField;
struct MetaFile;
struct PieceQueue;
struct StorageRequest;

enum : uint32_t { PIECE_QUEUE_CLASS_ID = 0x957e9aaf };

// Lends a free request (1 when one was lent), takes one back, starts fetching the piece given to a
// request, hears that a piece ended (complete or returned), hears that every piece is complete.
typedef int64_t (*PieceQueueRequestAcquireFunc)(PieceQueue* queue, void* user, StorageRequest** request);
typedef void (*PieceQueueRequestReleaseFunc)(PieceQueue* queue, void* user, StorageRequest** request);
typedef void (*PieceQueuePieceBeginFunc)(PieceQueue* queue, void* user, StorageRequest* request);
typedef void (*PieceQueuePieceEndFunc)(PieceQueue* queue, void* user, StorageRequest* request);
typedef void (*PieceQueueCompleteFunc)(PieceQueue* queue, void* user);

int64_t PieceQueue_Create(PieceQueue** handle);
int64_t PieceQueue_AddRef(PieceQueue* queue);
int64_t PieceQueue_Release(PieceQueue** handle);
int64_t PieceQueue_GetInstanceId(PieceQueue* queue, char* buffer, int32_t size);
// Frees the error-count and resume-time tables.
int64_t PieceQueue_Reset(PieceQueue* queue);

// The manifest is held by a reference of the queue's own.
int64_t PieceQueue_SetMetaFileHandle(PieceQueue* queue, MetaFile* metaFile);
int64_t PieceQueue_SetRequestAcquireCallback(PieceQueue* queue, void* user, PieceQueueRequestAcquireFunc callback);
int64_t PieceQueue_SetRequestReleaseCallback(PieceQueue* queue, void* user, PieceQueueRequestReleaseFunc callback);
int64_t PieceQueue_SetPieceBeginCallback(PieceQueue* queue, void* user, PieceQueuePieceBeginFunc callback);
int64_t PieceQueue_SetPieceEndCallback(PieceQueue* queue, void* user, PieceQueuePieceEndFunc callback);
int64_t PieceQueue_SetCompleteCallback(PieceQueue* queue, void* user, PieceQueueCompleteFunc callback);

// Starts over for the manifest's pieces: nothing in flight, no errors, the pieces of
// alreadyComplete (optional, of the piece total's size) complete. Nothing is sized without a
// manifest piece table.
int64_t PieceQueue_Configure(PieceQueue* queue, BitField* alreadyComplete, uint32_t allowDelta);
// Issues at most one piece: the next of those set first that is neither complete nor in flight nor
// held back, else the lowest such piece. Announces completion once. With nothing to issue the lent
// request goes back and scanning waits a second.
int64_t PieceQueue_Process(PieceQueue* queue);
// The pieces issued before all others, in this order, each tried once (copied; none by default,
// and none again after Configure or Reset). 0 when they could not be kept (none then).
int64_t PieceQueue_SetFirst(PieceQueue* queue, const int32_t* pieces, int32_t count);
// The request's first piece is complete, or goes back to be asked for again; then PieceEnd and
// RequestRelease with the request.
int64_t PieceQueue_PieceComplete(PieceQueue* queue, StorageRequest* request);
int64_t PieceQueue_PieceReturn(PieceQueue* queue, StorageRequest* request);

int64_t PieceQueue_IsComplete(PieceQueue* queue);
int64_t PieceQueue_IndexIsComplete(PieceQueue* queue, int32_t index);
int64_t PieceQueue_IndexIsRangeComplete(PieceQueue* queue, int32_t first, int32_t count);
// The first incomplete piece; 0 and -1 when none.
int64_t PieceQueue_GetFirstEmpty(PieceQueue* queue, int32_t* index);
int64_t PieceQueue_GetPiecesTotal(PieceQueue* queue, int32_t* total);
// Complete pieces less those set in except (optional, of the piece total's size).
int64_t PieceQueue_GetPiecesComplete(PieceQueue* queue, BitField* except, int32_t* count);

// The index must lie within the tables, else the process stops.
int64_t PieceQueue_ErrorCountGet(PieceQueue* queue, int32_t index, uint32_t* count);
int64_t PieceQueue_ErrorCountIncrement(PieceQueue* queue, int32_t index);
int64_t PieceQueue_ResumeTimeGet(PieceQueue* queue, int32_t index, double* time);
int64_t PieceQueue_ResumeTimeSet(PieceQueue* queue, int32_t index, double time);

// Print block; class name "PieceQueue".
int64_t PieceQueue_VPrint(PieceQueue* queue, int32_t indent, const char* format, va_list args);
int64_t PieceQueue_Print(PieceQueue* queue, const char* format, ...);
int64_t PieceQueue_PrintTabbed(PieceQueue* queue, int32_t indent, const char* format, ...);
int64_t PieceQueue_IsVerboseLevel(PieceQueue* queue, int32_t level);
int64_t PieceQueue_VerboseLog(PieceQueue* queue, int32_t level, const char* format, ...);
int64_t PieceQueue_SetPrintCallback(PieceQueue* queue, void* user, ClassPrintCallback callback);
int64_t PieceQueue_GetPrintCallback(PieceQueue* queue, void** user, ClassPrintCallback* callback);
int64_t PieceQueue_SetPrintIdentifier(PieceQueue* queue, const char* text);
int64_t PieceQueue_SetVerbose(PieceQueue* queue, uint32_t verbose);
int64_t PieceQueue_GetVerbose(PieceQueue* queue, uint32_t* verbose);
