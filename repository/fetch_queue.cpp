// The piece queue: two bit fields over the manifest's pieces (complete, in flight) and
// per-piece error counts and resume times, handing pieces out through the copy job's callbacks.
#include "repository/fetch_queue.h"

#include <cstring>

#include "core/runtime/bit_field.h"
#include "core/runtime/class_family.h"
#include "core/runtime/memory.h"
#include "core/runtime/time.h"
#include "repository/meta_file.h"
#include "repository/digest_table.h"
#include "repository/storage_request.h"

struct PieceQueue {
    Class Header;
    ClassPrint Print;
    MetaFile* Manifest;
    BitField* Complete;
    BitField* InFlight;
    uint32_t* ErrorCount;
    int32_t ErrorCountSize;
    double* ResumeTime;
    int32_t ResumeTimeSize;
    uint32_t AllowDelta;
    // Pieces handed out before the others, in this order (PieceQueue_SetFirst); FirstNext is the
    // next one to try.
    int32_t* First;
    int32_t FirstCount, FirstNext;
    uint32_t CompleteAnnounced;
    double NextScanTime;
    void* AcquireUser;
    PieceQueueRequestAcquireFunc Acquire;
    void* ReleaseUser;
    PieceQueueRequestReleaseFunc ReleaseRequest;
    void* BeginUser;
    PieceQueuePieceBeginFunc Begin;
    void* EndUser;
    PieceQueuePieceEndFunc End;
    void* CompleteUser;
    PieceQueueCompleteFunc CompleteCallback;
};

namespace {

// Scanning again this long after a scan found nothing to issue.
constexpr double kRescanDelay = 1.0;

void PreparePrint(PieceQueue* queue) {
    ClassPrint_Prepare(&queue->Print, queue, "PieceQueue", nullptr);
}

void FreeFirst(PieceQueue* q) {
    if (q->First) Memory_Free(q->First, sizeof(int32_t) * (size_t)q->FirstCount);
    q->First = nullptr;
    q->FirstCount = q->FirstNext = 0;
}

void FreeTables(PieceQueue* q) {
    FreeFirst(q);
    if (q->ErrorCount) Memory_Free(q->ErrorCount, sizeof(uint32_t) * (size_t)q->ErrorCountSize);
    if (q->ResumeTime) Memory_Free(q->ResumeTime, sizeof(double) * (size_t)q->ResumeTimeSize);
    q->ErrorCount = nullptr;
    q->ResumeTime = nullptr;
    q->ErrorCountSize = 0;
    q->ResumeTimeSize = 0;
}

int64_t Delete(PieceQueue** handle) {
    PieceQueue* q = *handle;
    FreeTables(q);
    BitField_Release(&q->Complete);
    BitField_Release(&q->InFlight);
    if (q->Manifest) MetaFile_Release(&q->Manifest);
    q->Header.ClassId = 0;
    Memory_Free(q, sizeof(PieceQueue));
    *handle = nullptr;
    return 1;
}

int64_t DeleteHandle(void** handle) { return Delete(reinterpret_cast<PieceQueue**>(handle)); }

// The manifest's piece total; 0 without a manifest or piece table.
bool PieceTotal(PieceQueue* q, int32_t* total) {
    *total = 0;
    PieceList* list = nullptr;
    if (!q->Manifest || !MetaFile_GetPieceListHandle(q->Manifest, &list) || !list) return false;
    return PieceList_GetPieceTotal(list, total) == 1 && *total >= 0;
}

void CheckErrorIndex(struct PieceQueue* PieceQueue, int32_t Index) {
    ASSERT_MSG(Index >= 0 && Index < PieceQueue->ErrorCountSize, "Index out of range");
}

void CheckResumeIndex(struct PieceQueue* PieceQueue, int32_t Index) {
    ASSERT_MSG(Index >= 0 && Index < PieceQueue->ResumeTimeSize, "Index out of range");
}

// The request's first piece, when it lies within the fields.
bool RequestIndex(PieceQueue* q, StorageRequest* request, int32_t* index) {
    *index = -1;
    StorageRequest_GetIndexStart(request, index);
    return BitField_IsValidRange(q->Complete, *index) == 1;
}

void EndPiece(PieceQueue* q, StorageRequest* request) {
    if (q->End) q->End(q, q->EndUser, request);
    if (q->ReleaseRequest) q->ReleaseRequest(q, q->ReleaseUser, &request);
}

} // namespace

CLASS_BASICS(PieceQueue, PieceQueue, PIECE_QUEUE_CLASS_ID)
CLASS_PRINT_FAMILY(PieceQueue, PieceQueue, PIECE_QUEUE_CLASS_ID, PreparePrint)

int64_t PieceQueue_Create(PieceQueue** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* q = static_cast<PieceQueue*>(Memory_AllocZero(sizeof(PieceQueue)));
    if (!q) return 0;
    q->Header.ClassId = PIECE_QUEUE_CLASS_ID;
    q->Header.RefCount = 1;
    q->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(q);
    if (!BitField_Create(&q->Complete) || !BitField_Create(&q->InFlight)) {
        Delete(&q);
        return 0;
    }
    *handle = q;
    return 1;
}

int64_t PieceQueue_Reset(PieceQueue* queue) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    FreeTables(queue);
    return 1;
}

int64_t PieceQueue_SetMetaFileHandle(PieceQueue* queue, MetaFile* metaFile) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    if (metaFile) MetaFile_AddRef(metaFile);
    if (queue->Manifest) MetaFile_Release(&queue->Manifest);
    queue->Manifest = metaFile;
    return 1;
}

int64_t PieceQueue_SetRequestAcquireCallback(PieceQueue* queue, void* user, PieceQueueRequestAcquireFunc callback) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    queue->AcquireUser = user;
    queue->Acquire = callback;
    return 1;
}

int64_t PieceQueue_SetRequestReleaseCallback(PieceQueue* queue, void* user, PieceQueueRequestReleaseFunc callback) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    queue->ReleaseUser = user;
    queue->ReleaseRequest = callback;
    return 1;
}

int64_t PieceQueue_SetPieceBeginCallback(PieceQueue* queue, void* user, PieceQueuePieceBeginFunc callback) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    queue->BeginUser = user;
    queue->Begin = callback;
    return 1;
}

int64_t PieceQueue_SetPieceEndCallback(PieceQueue* queue, void* user, PieceQueuePieceEndFunc callback) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    queue->EndUser = user;
    queue->End = callback;
    return 1;
}

int64_t PieceQueue_SetCompleteCallback(PieceQueue* queue, void* user, PieceQueueCompleteFunc callback) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    queue->CompleteUser = user;
    queue->CompleteCallback = callback;
    return 1;
}

int64_t PieceQueue_Configure(PieceQueue* queue, BitField* alreadyComplete, uint32_t allowDelta) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    PieceQueue_Reset(queue);
    queue->CompleteAnnounced = 0;
    queue->AllowDelta = allowDelta;
    queue->NextScanTime = 0;
    int32_t total = 0;
    if (!PieceTotal(queue, &total)) return 1;
    BitField_SetTotalBits(queue->Complete, total);
    BitField_SetTotalBits(queue->InFlight, total);
    // The same size keeps the bits: a new run starts from none.
    BitField_ClearAll(queue->Complete);
    BitField_ClearAll(queue->InFlight);
    if (alreadyComplete) {
        int32_t bits = 0;
        BitField_GetTotalBits(alreadyComplete, &bits);
        // A field of another size would stop the process in Combine; only its common bits count.
        if (bits == total) {
            BitField_Combine(queue->Complete, alreadyComplete);
        } else {
            for (int32_t i = 0; i < bits && i < total; i++)
                if (BitField_IsSet(alreadyComplete, i)) BitField_Set(queue->Complete, i);
        }
    }
    if (total > 0) {
        queue->ErrorCount = static_cast<uint32_t*>(Memory_AllocZero(sizeof(uint32_t) * (size_t)total));
        queue->ResumeTime = static_cast<double*>(Memory_AllocZero(sizeof(double) * (size_t)total));
        if (!queue->ErrorCount || !queue->ResumeTime) {
            FreeTables(queue);
            return 0;
        }
        queue->ErrorCountSize = total;
        queue->ResumeTimeSize = total;
    }
    return 1;
}

int64_t PieceQueue_Process(PieceQueue* queue) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    if (PieceQueue_IsComplete(queue)) {
        if (!queue->CompleteAnnounced) {
            queue->CompleteAnnounced = 1;
            PieceQueue_VerboseLog(queue, 0, "Complete");
            if (queue->CompleteCallback) queue->CompleteCallback(queue, queue->CompleteUser);
        }
        return 1;
    }
    const double now = Time_GetCurrent();
    if (now < queue->NextScanTime) return 1;
    StorageRequest* request = nullptr;
    if (!queue->Acquire || queue->Acquire(queue, queue->AcquireUser, &request) != 1 || !request) return 1;

    // The pieces to hand out first, each tried once: one done, in flight or waiting to be tried
    // again is left to the scan.
    int32_t found = -1;
    while (found < 0 && queue->FirstNext < queue->FirstCount) {
        const int32_t next = queue->First[queue->FirstNext++];
        if (BitField_IsValidRange(queue->Complete, next) == 1 && BitField_IsClear(queue->Complete, next) == 1 &&
            BitField_IsClear(queue->InFlight, next) == 1 &&
            !(next < queue->ResumeTimeSize && now < queue->ResumeTime[next]))
            found = next;
    }
    // Neither complete nor in flight, found a word at a time: a copy runs through every piece, so a
    // scan bit by bit from the first would cost the square of the pieces.
    if (found < 0)
        for (int32_t from = 0; BitField_GetNextClearInBoth(queue->Complete, queue->InFlight, from, &found) == 1;
             from = found + 1) {
            if (!(found < queue->ResumeTimeSize && now < queue->ResumeTime[found])) break;
        }
    if (found < 0) {
        queue->NextScanTime = now + kRescanDelay;
        if (queue->ReleaseRequest) queue->ReleaseRequest(queue, queue->ReleaseUser, &request);
        return 1;
    }
    PieceQueue_VerboseLog(queue, 0, "Piece Request (%d)", found);
    BitField_Set(queue->InFlight, found);
    StorageRequest_Reset(request);
    StorageRequest_SetMetaFileHandle(request, queue->Manifest);
    StorageRequest_SetIndexStart(request, found);
    const uint32_t errors = found < queue->ErrorCountSize ? queue->ErrorCount[found] : 0;
    // A piece that failed once is fetched whole: its delta may be what went wrong.
    StorageRequest_SetAllowVCDiff(request, queue->AllowDelta && errors == 0 ? 1 : 0);
    if (queue->Begin) queue->Begin(queue, queue->BeginUser, request);
    return 1;
}

int64_t PieceQueue_SetFirst(PieceQueue* queue, const int32_t* pieces, int32_t count) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    FreeFirst(queue);
    if (count <= 0) return 1;
    queue->First = static_cast<int32_t*>(Memory_Alloc(sizeof(int32_t) * (size_t)count));
    if (!queue->First) return 0;
    memcpy(queue->First, pieces, sizeof(int32_t) * (size_t)count);
    queue->FirstCount = count;
    return 1;
}

int64_t PieceQueue_PieceComplete(PieceQueue* queue, StorageRequest* request) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    int32_t index = -1;
    if (RequestIndex(queue, request, &index)) BitField_Set(queue->Complete, index);
    PieceQueue_VerboseLog(queue, 0, "Piece Complete (%d)", index);
    EndPiece(queue, request);
    return 1;
}

int64_t PieceQueue_PieceReturn(PieceQueue* queue, StorageRequest* request) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    int32_t index = -1;
    if (RequestIndex(queue, request, &index)) BitField_Clear(queue->InFlight, index);
    PieceQueue_VerboseLog(queue, 0, "Piece Queue (%d)", index);
    EndPiece(queue, request);
    return 1;
}

int64_t PieceQueue_IsComplete(PieceQueue* queue) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    if (queue->CompleteAnnounced) return 1;
    if (!queue->Manifest) return 0;
    return BitField_IsFull(queue->Complete) == 1 ? 1 : 0;
}

int64_t PieceQueue_IndexIsComplete(PieceQueue* queue, int32_t index) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    if (BitField_IsValidRange(queue->Complete, index) != 1) return 0;
    return BitField_IsSet(queue->Complete, index) == 1 ? 1 : 0;
}

int64_t PieceQueue_IndexIsRangeComplete(PieceQueue* queue, int32_t first, int32_t count) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    if (!queue->Manifest) return 0;
    return BitField_IsRangeSet(queue->Complete, first, count) == 1 ? 1 : 0;
}

int64_t PieceQueue_GetFirstEmpty(PieceQueue* queue, int32_t* index) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    ASSERT_POINTER(index);
    *index = -1;
    return BitField_GetFirstClear(queue->Complete, index) == 1 ? 1 : 0;
}

int64_t PieceQueue_GetPiecesTotal(PieceQueue* queue, int32_t* total) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    ASSERT_POINTER(total);
    *total = 0;
    return BitField_GetTotalBits(queue->Complete, total);
}

int64_t PieceQueue_GetPiecesComplete(PieceQueue* queue, BitField* except, int32_t* count) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    ASSERT_POINTER(count);
    *count = 0;
    int32_t total = 0;
    BitField_GetTotalBits(queue->Complete, &total);
    int32_t exceptBits = 0;
    if (except) BitField_GetTotalBits(except, &exceptBits);
    for (int32_t i = 0; i < total; i++) {
        if (!BitField_IsSet(queue->Complete, i)) continue;
        if (i < exceptBits && BitField_IsSet(except, i)) continue;
        (*count)++;
    }
    return 1;
}

int64_t PieceQueue_ErrorCountGet(PieceQueue* queue, int32_t index, uint32_t* count) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    ASSERT_POINTER(count);
    *count = 0;
    CheckErrorIndex(queue, index);
    *count = queue->ErrorCount[index];
    return 1;
}

int64_t PieceQueue_ErrorCountIncrement(PieceQueue* queue, int32_t index) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    CheckErrorIndex(queue, index);
    queue->ErrorCount[index]++;
    return 1;
}

int64_t PieceQueue_ResumeTimeGet(PieceQueue* queue, int32_t index, double* time) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    ASSERT_POINTER(time);
    *time = 0;
    CheckResumeIndex(queue, index);
    *time = queue->ResumeTime[index];
    return 1;
}

int64_t PieceQueue_ResumeTimeSet(PieceQueue* queue, int32_t index, double time) {
    CLASS_CHECK(queue, PIECE_QUEUE_CLASS_ID);
    CheckResumeIndex(queue, index);
    queue->ResumeTime[index] = time;
    return 1;
}
