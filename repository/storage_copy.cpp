// The copy job: a per-piece state machine over borrowed requests (pending check, existence
// check, fetch, write), file completions in manifest order, and the job's statistics.
#include "repository/storage_copy.h"

#include <algorithm>
#include <cstring>

#include "core/runtime/bit_field.h"
#include "core/runtime/class_family.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "repository/file_list.h"
#include "repository/meta_file.h"
#include "repository/digest_table.h"
#include "repository/fetch_queue.h"
#include "repository/storage.h"
#include "repository/storage_file.h"
#include "repository/storage_request.h"

namespace {

constexpr uint32_t kRecordSize = 64;
constexpr uint32_t kOperationSize = 16;
constexpr int32_t kRingSize = 100;
constexpr uint32_t kMaskCountDone = 0xffffffffu;
constexpr uint32_t kMaskBitsPerPass = 1000;
constexpr int32_t kPiecesPerPass = 64;

struct FileRecord;

} // namespace

struct StorageCopy {
    Class Header;
    ClassPrint Print;
    Pool* Records;
    FileRecord* First;
    FileRecord* Last;
    int32_t RecordCount;
    EventQueue* Queue;
    Storage* Dest;
    Storage* Pending;
    MetaFile* Source;
    MetaFile* DestMeta;
    PieceQueue* Pieces;
    BitField* Mask;
    // The pieces the automatic mask kept: the installed manifest has each in the same place, and
    // the destination was found to hold it.
    BitField* Kept;
    // The pieces whose existence check is known to fail: the destination holds, in the same place,
    // the installed manifest's piece of the same file slices, whose digest is another.
    BitField* Unchecked;
    // Scratch of the mask's match on the job's thread: a piece of the destination manifest.
    StorageRequest* MatchRequest;
    // The installed files' verdicts taken for the next run (see StorageCopy_SetSweepHandle): held
    // by that run alone, let go when it is shut down.
    StorageFileSweep* Sweep;
    StorageRequest* FileRequest;
    FileListMember* Cursor;
    // Where in the installed manifest the file after the last one found unchanged would stand.
    uint32_t InstalledNext;
    // Where in the sweep's manifest the file after the last one it answered for stands.
    uint32_t SweptNext;
    uint32_t ThreadId;
    uint32_t Flags;
    uint32_t Shutdown, Alive, QueueComplete, FilesComplete;
    // Shut down before its pieces and files were all done: the job ended, yet it is not complete,
    // so nothing that needs the copied files (apply, cleanup, the manifest's save) takes it as done.
    uint32_t Stopped;
    int32_t Requests;
    int32_t InFlightMax;
    int32_t InFlight, FilesDone, PiecesSkipped, PiecesWritten;
    uint32_t MaskCursor;
    uint64_t BytesMasked, BytesSkipped, BytesWritten;
    double LastPieceComplete, LastFileComplete;
    double Times[kRingSize];
    int32_t TimeCursor, TimeCount;
    double FileWeight, PieceWeight;
    uint32_t Begun;
    uint32_t Scheduled;
    // Counts Start and Shutdown, so that completions of an earlier run are told apart.
    uint32_t Run;
    // Nothing is written, nor any file completed, while set (StorageCopy_SetWritesHeld): the pieces
    // that reach their write wait here, in order.
    uint32_t WritesHeld;
    StorageRequest** Parked;
    uint32_t ParkedCount, ParkedSize;
    Pool* Operations;
    void* SourceUser;
    StorageCopySourceFunc SourceFn;
    void* ErrorUser;
    StorageCopyErrorFunc ErrorFn;
    void* AcquireUser;
    StorageCopyRequestAcquireFunc AcquireFn;
    void* ReleaseUser;
    StorageCopyRequestReleaseFunc ReleaseFn;
};

namespace {

// A file whose pieces are all complete, waiting for or running its completion. A record whose
// job was reset while its completion ran is orphaned and freed when that completion arrives.
struct FileRecord {
    StorageCopy* Copy;
    FileListMember* Member;
    FileRecord* Prev;
    FileRecord* Next;
    uint32_t InFlight;
    uint32_t ErrorCount;
    uint32_t LastCode;
    uint32_t LastExtra;
    double ResumeTime;
    uint32_t Orphan;
    uint32_t Run;
};
static_assert(sizeof(FileRecord) <= kRecordSize, "file records come from 64-byte blocks");

// A piece operation in flight: the job (referenced until the completion) and its run.
struct Operation {
    StorageCopy* Copy;
    uint32_t Run;
};
static_assert(sizeof(Operation) <= kOperationSize, "operations come from 16-byte blocks");

struct DelayedState {
    StorageRequest* Request;
};

int64_t DeleteHandle(void** handle) {
    return StorageCopy_Delete(reinterpret_cast<StorageCopy**>(handle));
}

void PreparePrint(StorageCopy* c) {
    ClassPrint_Prepare(&c->Print, c, "StorageCopy", nullptr);
}

bool IsAliveInt(const StorageCopy* c) {
    return c->Alive && !(c->QueueComplete && c->FilesComplete);
}

Storage* Target(const StorageCopy* c) {
    return (c->Flags & STORAGE_COPY_FLAG_TO_PENDING) ? c->Pending : c->Dest;
}

void Signal(StorageCopy* c) {
    if (c->ThreadId) Thread_Signal(c->ThreadId);
}

uint32_t UnpaddedLength(StorageCopy* c, int32_t index) {
    PieceList* list = nullptr;
    int32_t total = 0;
    if (!c->Source || !MetaFile_GetPieceListHandle(c->Source, &list) || !list) return 0;
    PieceList_GetPieceTotal(list, &total);
    if (index < 0 || index >= total) return 0;
    uint32_t length = 0;
    MetFile_GetUnpaddedPieceLength(c->Source, index, &length);
    return length;
}

int32_t StartIndex(StorageRequest* request) {
    int32_t index = -1;
    StorageRequest_GetIndexStart(request, &index);
    return index;
}

void RecordUnlink(StorageCopy* c, FileRecord* r) {
    if (r->Prev) r->Prev->Next = r->Next;
    else c->First = r->Next;
    if (r->Next) r->Next->Prev = r->Prev;
    else c->Last = r->Prev;
    r->Prev = r->Next = nullptr;
    c->RecordCount--;
}

void RecordAppend(StorageCopy* c, FileListMember* member) {
    auto* r = static_cast<FileRecord*>(Pool_Alloc(c->Records, kRecordSize));
    if (!r) return;
    memset(r, 0, sizeof(FileRecord));
    r->Copy = c;
    r->Member = member;
    r->ResumeTime = Time_GetCurrent();
    r->Prev = c->Last;
    if (c->Last) c->Last->Next = r;
    else c->First = r;
    c->Last = r;
    c->RecordCount++;
}

void RecordsFree(StorageCopy* c) {
    while (c->First) {
        FileRecord* r = c->First;
        RecordUnlink(c, r);
        if (r->InFlight) r->Orphan = 1;
        else Pool_Free(c->Records, &r, kRecordSize);
    }
}

// ---- Piece callbacks from the queue and the storages ------------------------------------------

int64_t QueueAcquire(PieceQueue*, void* user, StorageRequest** request) {
    StorageCopy* c = static_cast<StorageCopy*>(user);
    return c->AcquireFn ? c->AcquireFn(c, c->AcquireUser, request) : 0;
}

void QueueRelease(PieceQueue*, void* user, StorageRequest** request) {
    StorageCopy* c = static_cast<StorageCopy*>(user);
    if (c->ReleaseFn) c->ReleaseFn(c, c->ReleaseUser, request);
}

void QueueBegin(PieceQueue*, void* user, StorageRequest* request) {
    StorageCopy* c = static_cast<StorageCopy*>(user);
    c->Begun++;
    StorageCopy_StateDo(c, request, STORAGE_COPY_STATE_BEGIN, 1, 0, 0);
}

void QueueComplete(PieceQueue*, void* user) {
    StorageCopy* c = static_cast<StorageCopy*>(user);
    c->QueueComplete = 1;
    Signal(c);
}

void StorageDone(Storage*, void* user, void* requestSlot, uint32_t code, uint32_t extra) {
    Operation* op = static_cast<Operation*>(user);
    StorageCopy* c = op->Copy;
    const uint32_t run = op->Run;
    Pool_Free(c->Operations, &op, kOperationSize);
    StorageRequest* request = static_cast<StorageRequest*>(requestSlot);
    uint32_t state = 0;
    StorageRequest_GetState(request, &state);
    if (run == c->Run) StorageCopy_StateDo(c, request, state, 0, code, extra);
    StorageCopy_Release(&c);
}

// Every storage operation holds a reference on the job until its completion arrives.
void* OperationBegin(StorageCopy* c) {
    auto* op = static_cast<Operation*>(Pool_Alloc(c->Operations, kOperationSize));
    if (!op) return nullptr;
    op->Copy = c;
    op->Run = c->Run;
    StorageCopy_AddRef(c);
    return op;
}

void DelayedRun(void* instance, void* payload) {
    StorageCopy* c = static_cast<StorageCopy*>(instance);
    StorageRequest* request = static_cast<DelayedState*>(payload)->Request;
    uint32_t state = 0;
    StorageRequest_GetState(request, &state);
    StorageCopy_StateDo(c, request, state, 1, 0, 0);
}

// Hands the failure to the owner and acts on its answer.
void ErrorReport(StorageCopy* c, StorageRequest* request, uint32_t state, int32_t source, int32_t type, uint32_t code,
                 uint32_t extra) {
    const int32_t index = StartIndex(request);
    uint32_t count = 0;
    int32_t total = 0;
    PieceQueue_GetPiecesTotal(c->Pieces, &total);
    const bool indexed = index >= 0 && index < total;
    if (indexed) PieceQueue_ErrorCountGet(c->Pieces, index, &count);
    double resume = 0;
    int64_t response = STORAGE_COPY_RESPONSE_WAIT;
    if (c->ErrorFn) response = c->ErrorFn(c, c->ErrorUser, request, source, index, count, type, code, extra, &resume);
    if (response != STORAGE_COPY_RESPONSE_IGNORE) {
        if (indexed) {
            PieceQueue_ErrorCountIncrement(c->Pieces, index);
            PieceQueue_ResumeTimeSet(c->Pieces, index, resume);
        }
        StorageRequest_IncrementErrorCount(request);
    }
    if (response == STORAGE_COPY_RESPONSE_WAIT && resume > Time_GetCurrent()) {
        DelayedState payload{request};
        c->Scheduled = 1;
        EventQueue_AddTime(c->Queue, c, &payload, sizeof(payload), DelayedRun, resume);
        return;
    }
    switch (response) {
    case STORAGE_COPY_RESPONSE_IGNORE:
        StorageCopy_StateNext(c, request);
        break;
    case STORAGE_COPY_RESPONSE_WAIT:
        StorageCopy_StateDo(c, request, state, 1, 0, 0);
        break;
    case STORAGE_COPY_RESPONSE_RETRY:
        PieceQueue_PieceReturn(c->Pieces, request);
        break;
    default:
        Debug_Abort("Unhandled StorageCopy error response (%d)", (int)response);
    }
}

void ErrorPath(StorageCopy* c, StorageRequest* request, uint32_t state, uint32_t code, uint32_t extra) {
    int32_t source = 0, type = STORAGE_COPY_TYPE_READ;
    switch (state) {
    case STORAGE_COPY_STATE_PENDING:
        source = STORAGE_COPY_SOURCE_PENDING;
        break;
    case STORAGE_COPY_STATE_EXISTS:
        source = STORAGE_COPY_SOURCE_LOCAL;
        break;
    case STORAGE_COPY_STATE_FETCH:
        source = STORAGE_COPY_SOURCE_REMOTE;
        // Delta-source failures arrive negated.
        if ((int32_t)code < 0) {
            source = STORAGE_COPY_SOURCE_DELTA;
            code = (uint32_t)(-(int64_t)(int32_t)code);
        }
        break;
    case STORAGE_COPY_STATE_WRITE:
        source = (c->Flags & STORAGE_COPY_FLAG_TO_PENDING) ? STORAGE_COPY_SOURCE_PENDING : STORAGE_COPY_SOURCE_LOCAL;
        type = STORAGE_COPY_TYPE_WRITE;
        break;
    default:
        Debug_Abort("Unhandled storage copy state (%d)", (int)state);
        return;
    }
    ErrorReport(c, request, state, source, type, code, extra);
}

void Skip(StorageCopy* c, StorageRequest* request, const char* format) {
    const int32_t index = StartIndex(request);
    StorageCopy_Print(c, format, index);
    c->PiecesSkipped++;
    c->BytesSkipped += UnpaddedLength(c, index);
    StorageRequest_SetComplete(request, 1);
}

// The source piece's digest at index and the destination's piece list, where both manifests are
// there and use the same digest algorithm; false otherwise.
bool SourceDigest(StorageCopy* c, int32_t index, PieceList** dest, uint8_t (&digest)[128], uint32_t* size) {
    PieceList* source = nullptr;
    *dest = nullptr;
    *size = 0;
    if (!c->DestMeta || !c->Source || !MetaFile_GetPieceListHandle(c->Source, &source) ||
        !MetaFile_GetPieceListHandle(c->DestMeta, dest) || !source || !*dest)
        return false;
    char a[64] = {}, b[64] = {};
    PieceList_GetAlgorithmName(source, a, (int32_t)sizeof(a));
    PieceList_GetAlgorithmName(*dest, b, (int32_t)sizeof(b));
    PieceList_GetDigestSize(source, size);
    return strcmp(a, b) == 0 && *size > 0 && *size <= sizeof(digest) &&
           PieceList_GetDigestByIndex(source, index, digest, (int32_t)sizeof(digest));
}

// Builds other, scratch on any manifest, as the destination manifest's piece i; true when it covers
// the same file slices as request. The caller lets it go (ClearScratch).
bool SameSlices(StorageCopy* c, StorageRequest* request, StorageRequest* other, int32_t i) {
    StorageRequest_Reset(other);
    StorageRequest_SetMetaFileHandle(other, c->DestMeta);
    return StorageRequest_IndexAdd(other, i) && StorageRequest_Compare(request, other) == 1;
}

// Scratch holds no manifest between uses.
void ClearScratch(StorageRequest* other) {
    StorageRequest_Reset(other);
    StorageRequest_SetMetaFileHandle(other, nullptr);
}

// The destination manifest's piece with this digest that covers the same file slices; -1 when none.
int32_t MaskMatch(StorageCopy* c, StorageRequest* request, StorageRequest* other) {
    PieceList* dest = nullptr;
    uint8_t digest[128];
    uint32_t size = 0;
    const int32_t index = StartIndex(request);
    if (!SourceDigest(c, index, &dest, digest, &size)) return -1;
    int32_t total = 0;
    PieceList_GetPieceTotal(dest, &total);
    const auto same = [&](int32_t i) {
        if (PieceList_CompareByIndex(dest, i, digest, (int32_t)size) != 1) return false;
        const bool found = SameSlices(c, request, other, i);
        ClearScratch(other);
        return found;
    };
    // A version mostly keeps a piece where it was: its own place is tried before every other.
    if (index >= 0 && index < total && same(index)) return index;
    for (int32_t i = 0; i < total; ++i)
        if (i != index && same(i)) return i;
    return -1;
}

// Where the automatic mask matches pieces against the installed manifest, the pieces it lists
// otherwise in their place (or not at all) are issued first: they are mostly the ones to fetch,
// whose transfers then run while the pieces kept are checked. Any is still judged in its turn as
// every piece is (one found elsewhere in the installed manifest is kept as well).
void ChangedFirst(StorageCopy* c) {
    PieceList* source = nullptr;
    PieceList* dest = nullptr;
    if (!(c->Flags & STORAGE_COPY_FLAG_AUTO_MASK) || !c->Dest || !c->DestMeta || !c->Source ||
        !MetaFile_GetPieceListHandle(c->Source, &source) || !MetaFile_GetPieceListHandle(c->DestMeta, &dest) ||
        !source || !dest)
        return;
    char a[64] = {}, b[64] = {};
    PieceList_GetAlgorithmName(source, a, (int32_t)sizeof(a));
    PieceList_GetAlgorithmName(dest, b, (int32_t)sizeof(b));
    uint32_t size = 0;
    int32_t total = 0, held = 0;
    PieceList_GetDigestSize(source, &size);
    PieceList_GetPieceTotal(source, &total);
    PieceList_GetPieceTotal(dest, &held);
    uint8_t digest[128];
    if (strcmp(a, b) != 0 || size == 0 || size > sizeof(digest) || total <= 1) return;
    auto* changed = static_cast<int32_t*>(Memory_Alloc(sizeof(int32_t) * (size_t)total));
    if (!changed) return;
    int32_t count = 0;
    for (int32_t i = 0; i < total; i++)
        if (i >= held || !PieceList_GetDigestByIndex(source, i, digest, (int32_t)sizeof(digest)) ||
            PieceList_CompareByIndex(dest, i, digest, (int32_t)size) != 1)
            changed[count++] = i;
    // Where every piece changed, the order stays as it is.
    if (count > 0 && count < total) PieceQueue_SetFirst(c->Pieces, changed, count);
    Memory_Free(changed, sizeof(int32_t) * (size_t)total);
}

// Whether the existence check of a piece no destination piece matches (MaskMatch) is known to
// fail: the destination manifest's piece in its place covers the same file slices under the same
// digest algorithm with another digest, and the destination holds each of those files as that
// manifest lists it. Those slices then hold the installed piece, whose digest the check would find;
// reading them back would only say so. Anything else is checked.
bool KnownToDiffer(StorageCopy* c, StorageRequest* request, StorageRequest* other) {
    PieceList* dest = nullptr;
    uint8_t digest[128];
    uint32_t size = 0;
    const int32_t index = StartIndex(request);
    int32_t total = 0;
    if (!SourceDigest(c, index, &dest, digest, &size)) return false;
    PieceList_GetPieceTotal(dest, &total);
    if (index < 0 || index >= total || PieceList_CompareByIndex(dest, index, digest, (int32_t)size) == 1) return false;
    uint32_t found = 1, place = c->SweptNext;
    const bool known = SameSlices(c, request, other, index) &&
                       StorageFile_ExistsAtOnce(c->Dest, other, &found, c->Sweep, &place) && found == 0;
    ClearScratch(other);
    return known;
}

// ---- File completions -------------------------------------------------------------------------

void FileDone(Storage*, void* user, void*, uint32_t code, uint32_t extra) {
    FileRecord* r = static_cast<FileRecord*>(user);
    StorageCopy* c = r->Copy;
    r->InFlight = 0;
    if (r->Orphan) {
        Pool_Free(c->Records, &r, kRecordSize);
        StorageCopy_Release(&c);
        return;
    }
    // A completion of an earlier run is dropped; the record is started again.
    if (r->Run != c->Run || c->Shutdown) {
        StorageCopy_Release(&c);
        return;
    }
    c->InFlight--;
    if (code != 0) {
        double resume = 0;
        int64_t response = STORAGE_COPY_RESPONSE_WAIT;
        const int32_t source =
            (c->Flags & STORAGE_COPY_FLAG_TO_PENDING) ? STORAGE_COPY_SOURCE_PENDING : STORAGE_COPY_SOURCE_LOCAL;
        if (c->ErrorFn)
            response = c->ErrorFn(c, c->ErrorUser, nullptr, source, -1, r->ErrorCount, STORAGE_COPY_TYPE_WRITE, code,
                                  extra, &resume);
        if (response != STORAGE_COPY_RESPONSE_IGNORE) {
            r->ResumeTime = resume;
            r->ErrorCount++;
            r->LastCode = code;
            r->LastExtra = extra;
            Signal(c);
            StorageCopy_Release(&c);
            return;
        }
    }
    c->FilesDone++;
    c->LastFileComplete = Time_GetCurrent();
    RecordUnlink(c, r);
    Pool_Free(c->Records, &r, kRecordSize);
    Signal(c);
    StorageCopy_Release(&c);
}

// Whether the destination holds the file as the source lists it, proven without a completion:
// every piece it spans was kept by the automatic mask (the installed manifest has that piece in
// the same place, and the destination's check found the file there as listed), and the installed
// manifest lists the very name with the same size, time, attributes and link. A link entry is
// always completed, as only the completion reads where a link leads.
bool Unchanged(StorageCopy* c, FileList* list, FileListMember* file, int32_t first, int32_t last) {
    if (!(c->Flags & STORAGE_COPY_FLAG_AUTO_MASK) || (c->Flags & STORAGE_COPY_FLAG_TO_PENDING) || !c->DestMeta ||
        last < first || BitField_IsRangeSet(c->Kept, first, last - first + 1) != 1)
        return false;
    FileList* installed = nullptr;
    FileListIndex* index = nullptr;
    FileListMember* other = nullptr;
    uint32_t at = 0;
    const char* name = FileList_MemberGetNamePtr(list, file);
    if (!name || !MetaFile_GetFileListHandle(c->DestMeta, &installed) || !installed ||
        !MetaFile_GetFileListIndexHandle(c->DestMeta, &index) || !index ||
        !FileList_IndexFindByNameNear(index, name, c->InstalledNext, &other, &at) || !other)
        return false;
    c->InstalledNext = at + 1;
    const char* otherName = FileList_MemberGetNamePtr(installed, other);
    uint32_t flags = 0, otherFlags = 0;
    FileList_MemberGetFlags(list, file, &flags);
    FileList_MemberGetFlags(installed, other, &otherFlags);
    constexpr uint32_t kCompared = FILELIST_FLAG_LINK | FILELIST_FLAG_MODIFIED_TIME | FILELIST_FLAG_ATTRIBUTES;
    if (!otherName || strcmp(name, otherName) != 0 || (flags & FILELIST_FLAG_LINK) ||
        (flags & kCompared) != (otherFlags & kCompared))
        return false;
    uint64_t size = 0, otherSize = 0;
    double time = 0, otherTime = 0;
    uint32_t attributes = 0, otherAttributes = 0;
    FileList_MemberGetSize(list, file, &size);
    FileList_MemberGetSize(installed, other, &otherSize);
    FileList_MemberGetModifiedTime(list, file, &time);
    FileList_MemberGetModifiedTime(installed, other, &otherTime);
    FileList_MemberGetAttributes(list, file, &attributes);
    FileList_MemberGetAttributes(installed, other, &otherAttributes);
    return size == otherSize && time == otherTime && attributes == otherAttributes;
}

// Queues the files whose pieces are all complete, strictly in manifest order.
void FilesCollect(StorageCopy* c) {
    FileList* list = nullptr;
    PieceList* pieces = nullptr;
    MetaFile_GetFileListHandle(c->Source, &list);
    MetaFile_GetPieceListHandle(c->Source, &pieces);
    int32_t total = 0;
    PieceQueue_GetPiecesTotal(c->Pieces, &total);
    // One clock reading serves the files this call finds done: they are done in the same instant.
    double now = -1;
    while (c->Cursor && list) {
        uint64_t offset = 0, size = 0;
        int64_t padding = 0;
        FileList_MemberGetOffset(list, c->Cursor, &offset);
        FileList_MemberGetSize(list, c->Cursor, &size);
        FileList_MemberGetPadding(list, c->Cursor, &padding);
        const int64_t sum = (int64_t)size + padding;
        int32_t first = 0, last = 0;
        if (pieces)
            PieceList_GetIndexRangeByOffset(pieces, offset, sum < 1 ? 0 : (uint64_t)(sum - 1), size == 0 ? 1 : 0,
                                            &first, &last);
        // Without pieces there is nothing to wait for; the completion itself finds a missing file.
        const bool ready = total == 0 || !pieces ||
                           (last >= first &&
                            PieceQueue_IndexIsRangeComplete(c->Pieces, first, last - first + 1) == 1);
        if (!ready) break;
        if (Unchanged(c, list, c->Cursor, first, last)) {
            // Nothing of it to complete: counted as done without asking the destination again.
            c->FilesDone++;
            if (now < 0) now = Time_GetCurrent();
            c->LastFileComplete = now;
        } else {
            RecordAppend(c, c->Cursor);
        }
        FileListMember* next = nullptr;
        FileList_MemberGetNext(list, c->Cursor, &next);
        c->Cursor = next;
    }
}

void FilesStart(StorageCopy* c) {
    const double now = Time_GetCurrent();
    FileRecord* next = nullptr;
    for (FileRecord* r = c->First; r && c->Alive; r = next) {
        // A completion without a target runs at once and may free the record.
        next = r->Next;
        if (c->InFlightMax > 0 && c->InFlight >= c->InFlightMax) break;
        if (r->InFlight || r->ResumeTime > now) continue;
        r->InFlight = 1;
        r->Run = c->Run;
        c->InFlight++;
        StorageCopy_AddRef(c);
        Storage* target = Target(c);
        // A file the destination completed as its last slice was written needs no hand-off to
        // say so again.
        if (target && StorageFile_CompletedAtOnce(target, c->FileRequest, r->Member))
            FileDone(target, r, nullptr, 0, 0);
        else if (target)
            Storage_FileComplete(target, c->FileRequest, r->Member, r, FileDone);
        else
            FileDone(nullptr, r, nullptr, STORAGE_ERROR_STORAGE, STORAGE_EXTENDED_SHUTDOWN);
    }
}

void MaskCount(StorageCopy* c) {
    if (c->MaskCursor == kMaskCountDone) return;
    if (!c->Mask) {
        c->MaskCursor = kMaskCountDone;
        return;
    }
    int32_t bits = 0;
    BitField_GetTotalBits(c->Mask, &bits);
    for (uint32_t n = 0; n < kMaskBitsPerPass && (int32_t)c->MaskCursor < bits; ++n, ++c->MaskCursor)
        if (BitField_IsSet(c->Mask, (int32_t)c->MaskCursor) == 1) c->BytesMasked += UnpaddedLength(c, (int32_t)c->MaskCursor);
    if ((int32_t)c->MaskCursor >= bits) c->MaskCursor = kMaskCountDone;
}

// Delayed retries go to the job's queue, the global one when it has none.
void DropEvents(StorageCopy* c) {
    if (!c->Scheduled) return;
    EventQueue_RemoveInstance(c->Queue, c);
    c->Scheduled = 0;
}

// The held writes are dropped with the run they belong to.
void DropParked(StorageCopy* c) {
    if (c->Parked) Memory_Free(c->Parked, sizeof(StorageRequest*) * c->ParkedSize);
    c->Parked = nullptr;
    c->ParkedCount = c->ParkedSize = 0;
}

// A piece whose write waits while writes are held; false when there is no room to keep it.
bool Park(StorageCopy* c, StorageRequest* request) {
    if (c->ParkedCount == c->ParkedSize) {
        const uint32_t size = c->ParkedSize ? c->ParkedSize * 2 : 16;
        auto* grown = static_cast<StorageRequest**>(Memory_Alloc(sizeof(StorageRequest*) * size));
        if (!grown) return false;
        if (c->ParkedCount) memcpy(grown, c->Parked, sizeof(StorageRequest*) * c->ParkedCount);
        if (c->Parked) Memory_Free(c->Parked, sizeof(StorageRequest*) * c->ParkedSize);
        c->Parked = grown;
        c->ParkedSize = size;
    }
    c->Parked[c->ParkedCount++] = request;
    return true;
}

void SetHandle(MetaFile** slot, MetaFile* value) {
    if (value) MetaFile_AddRef(value);
    if (*slot) MetaFile_Release(slot);
    *slot = value;
}

} // namespace

CLASS_BASICS(StorageCopy, StorageCopy, STORAGE_COPY_CLASS_ID)
CLASS_PRINT_FAMILY(StorageCopy, StorageCopy, STORAGE_COPY_CLASS_ID, PreparePrint)

int64_t StorageCopy_Create(StorageCopy** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* c = static_cast<StorageCopy*>(Memory_AllocZero(sizeof(StorageCopy)));
    if (!c) return 0;
    c->Header.ClassId = STORAGE_COPY_CLASS_ID;
    c->Header.RefCount = 1;
    c->Header.Delete = DeleteHandle;
    Pool_Create(&c->Records);
    Pool_SetMemorySize(c->Records, kRecordSize);
    Pool_SetChunkSize(c->Records, 10);
    Pool_Create(&c->Operations);
    Pool_SetMemorySize(c->Operations, kOperationSize);
    Pool_SetChunkSize(c->Operations, 16);
    if (!c->Records || !c->Operations || !PieceQueue_Create(&c->Pieces) || !StorageRequest_Create(&c->FileRequest) ||
        !BitField_Create(&c->Kept) || !BitField_Create(&c->Unchecked) || !StorageRequest_Create(&c->MatchRequest)) {
        StorageCopy_Delete(&c);
        return 0;
    }
    PieceQueue_SetRequestAcquireCallback(c->Pieces, c, QueueAcquire);
    PieceQueue_SetRequestReleaseCallback(c->Pieces, c, QueueRelease);
    PieceQueue_SetPieceBeginCallback(c->Pieces, c, QueueBegin);
    PieceQueue_SetCompleteCallback(c->Pieces, c, QueueComplete);
    c->ThreadId = Thread_GetCurrentId();
    c->Flags = STORAGE_COPY_FLAGS_DEFAULT;
    c->InFlightMax = 10;
    c->FileWeight = 0.8;
    c->PieceWeight = 0.2;
    c->MaskCursor = kMaskCountDone;
    *handle = c;
    return 1;
}

int64_t StorageCopy_Delete(StorageCopy** handle) {
    ASSERT_POINTER(handle);
    StorageCopy* c = *handle;
    CLASS_CHECK(c, STORAGE_COPY_CLASS_ID);
    DropEvents(c);
    if (c->Queue) EventQueue_Release(&c->Queue);
    // In-flight completions hold references, so every record is idle here.
    RecordsFree(c);
    if (c->Records) Pool_Delete(&c->Records);
    if (c->Operations) Pool_Delete(&c->Operations);
    if (c->Pieces) PieceQueue_Release(&c->Pieces);
    if (c->FileRequest) StorageRequest_Release(&c->FileRequest);
    SetHandle(&c->Source, nullptr);
    SetHandle(&c->DestMeta, nullptr);
    if (c->Mask) BitField_Release(&c->Mask);
    if (c->Kept) BitField_Release(&c->Kept);
    if (c->Unchecked) BitField_Release(&c->Unchecked);
    if (c->MatchRequest) StorageRequest_Release(&c->MatchRequest);
    StorageFile_SweepRelease(&c->Sweep);
    DropParked(c);
    c->Header.ClassId = 0;
    Memory_Free(c, sizeof(StorageCopy));
    *handle = nullptr;
    return 1;
}

// ---- Settings ---------------------------------------------------------------------------------

int64_t StorageCopy_SetDestHandle(StorageCopy* copy, Storage* storage) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    copy->Dest = storage;
    return 1;
}

int64_t StorageCopy_SetPendingHandle(StorageCopy* copy, Storage* storage) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    copy->Pending = storage;
    return 1;
}

int64_t StorageCopy_SetSourceMetaFileHandle(StorageCopy* copy, MetaFile* metaFile) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    SetHandle(&copy->Source, metaFile);
    return 1;
}

int64_t StorageCopy_GetSourceMetaFileHandle(StorageCopy* copy, MetaFile** metaFile) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(metaFile);
    *metaFile = copy->Source;
    return copy->Source ? 1 : 0;
}

int64_t StorageCopy_SetDestMetaFileHandle(StorageCopy* copy, MetaFile* metaFile) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    SetHandle(&copy->DestMeta, metaFile);
    return 1;
}

int64_t StorageCopy_SetSweepHandle(StorageCopy* copy, StorageFileSweep* sweep) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    StorageFile_SweepRelease(&copy->Sweep);
    if (sweep && StorageFile_SweepAddRef(sweep)) copy->Sweep = sweep;
    return 1;
}

int64_t StorageCopy_GetDestMetaFileHandle(StorageCopy* copy, MetaFile** metaFile) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(metaFile);
    *metaFile = copy->DestMeta;
    return copy->DestMeta ? 1 : 0;
}

int64_t StorageCopy_SetMaskBitFieldHandle(StorageCopy* copy, BitField* mask) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    if (mask) BitField_AddRef(mask);
    if (copy->Mask) BitField_Release(&copy->Mask);
    copy->Mask = mask;
    return 1;
}

int64_t StorageCopy_SetEventQueueHandle(StorageCopy* copy, EventQueue* queue) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    if (queue) EventQueue_AddRef(queue);
    DropEvents(copy);
    if (copy->Queue) EventQueue_Release(&copy->Queue);
    copy->Queue = queue;
    return 1;
}

int64_t StorageCopy_SetThreadId(StorageCopy* copy, uint32_t threadId) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    copy->ThreadId = threadId;
    return 1;
}

int64_t StorageCopy_GetThreadId(StorageCopy* copy, uint32_t* threadId) {
    ASSERT_POINTER(threadId);
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    *threadId = copy->ThreadId;
    return 1;
}

int64_t StorageCopy_SetFlags(StorageCopy* copy, uint32_t flags) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    copy->Flags = flags;
    return 1;
}

int64_t StorageCopy_GetFlags(StorageCopy* copy, uint32_t* flags) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(flags);
    *flags = copy->Flags;
    return 1;
}

int64_t StorageCopy_SetRequests(StorageCopy* copy, int32_t requests) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    copy->Requests = requests;
    return 1;
}

int64_t StorageCopy_GetRequests(StorageCopy* copy, int32_t* requests) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(requests);
    *requests = copy->Requests;
    return 1;
}

int64_t StorageCopy_SetFileCompletesInFlightMax(StorageCopy* copy, int32_t max) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    copy->InFlightMax = max;
    return 1;
}

int64_t StorageCopy_GetFileCompletesInFlightMax(StorageCopy* copy, int32_t* max) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(max);
    *max = copy->InFlightMax;
    return 1;
}

int64_t StorageCopy_SetFileWeight(StorageCopy* copy, double weight) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    copy->FileWeight = weight;
    return 1;
}

int64_t StorageCopy_SetPieceWeight(StorageCopy* copy, double weight) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    copy->PieceWeight = weight;
    return 1;
}

int64_t StorageCopy_SetSourceCallback(StorageCopy* copy, void* user, StorageCopySourceFunc callback) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    copy->SourceUser = user;
    copy->SourceFn = callback;
    return 1;
}

int64_t StorageCopy_SetErrorCallback(StorageCopy* copy, void* user, StorageCopyErrorFunc callback) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    copy->ErrorUser = user;
    copy->ErrorFn = callback;
    return 1;
}

int64_t StorageCopy_SetRequestAcquireCallback(StorageCopy* copy, void* user, StorageCopyRequestAcquireFunc callback) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    copy->AcquireUser = user;
    copy->AcquireFn = callback;
    return 1;
}

int64_t StorageCopy_SetRequestReleaseCallback(StorageCopy* copy, void* user, StorageCopyRequestReleaseFunc callback) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    copy->ReleaseUser = user;
    copy->ReleaseFn = callback;
    return 1;
}

// ---- Life -------------------------------------------------------------------------------------

int64_t StorageCopy_Reset(StorageCopy* copy) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    if (IsAliveInt(copy)) Debug_Abort("Unable to reset active storage copy");
    PieceQueue_Reset(copy->Pieces);
    DropEvents(copy);
    copy->Cursor = nullptr;
    // A finished job is idle again: alive only between Start and its completion.
    copy->Alive = 0;
    copy->QueueComplete = 0;
    copy->FilesComplete = 0;
    copy->TimeCount = 0;
    copy->TimeCursor = 0;
    SetHandle(&copy->Source, nullptr);
    SetHandle(&copy->DestMeta, nullptr);
    StorageFile_SweepRelease(&copy->Sweep);
    RecordsFree(copy);
    copy->WritesHeld = 0;
    DropParked(copy);
    return 1;
}

int64_t StorageCopy_Configure(StorageCopy* copy) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    if (IsAliveInt(copy)) Debug_Abort("Unable to configure active storage copy");
    const double now = Time_GetCurrent();
    copy->LastPieceComplete = copy->LastFileComplete = now;
    copy->Shutdown = copy->Alive = copy->QueueComplete = copy->FilesComplete = 0;
    copy->InFlight = copy->FilesDone = copy->PiecesSkipped = copy->PiecesWritten = 0;
    copy->MaskCursor = 0;
    copy->BytesMasked = copy->BytesSkipped = copy->BytesWritten = 0;
    if (!copy->Source) return 0;
    PieceQueue_SetMetaFileHandle(copy->Pieces, copy->Source);
    StorageRequest_SetMetaFileHandle(copy->FileRequest, copy->Source);
    FileList* list = nullptr;
    copy->Cursor = nullptr;
    copy->InstalledNext = copy->SweptNext = 0;
    if (MetaFile_GetFileListHandle(copy->Source, &list) && list) FileList_MemberGetFirst(list, &copy->Cursor);
    PieceList* pieces = nullptr;
    int32_t total = 0;
    if (MetaFile_GetPieceListHandle(copy->Source, &pieces) && pieces) PieceList_GetPieceTotal(pieces, &total);
    BitField_SetTotalBits(copy->Kept, total);
    BitField_ClearAll(copy->Kept);
    BitField_SetTotalBits(copy->Unchecked, total);
    BitField_ClearAll(copy->Unchecked);
    if (!PieceQueue_Configure(copy->Pieces, copy->Mask, (copy->Flags & STORAGE_COPY_FLAG_DELTA) ? 1 : 0)) return 0;
    ChangedFirst(copy);
    return 1;
}

int64_t StorageCopy_Start(StorageCopy* copy) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    if (IsAliveInt(copy)) Debug_Abort("Unable to start active storage copy");
    const double now = Time_GetCurrent();
    copy->LastPieceComplete = copy->LastFileComplete = now;
    DropEvents(copy);
    copy->Run++;
    copy->Shutdown = 0;
    copy->Alive = 1;
    copy->QueueComplete = 0;
    copy->FilesComplete = 0;
    copy->Stopped = 0;
    copy->InFlight = copy->FilesDone = copy->PiecesSkipped = copy->PiecesWritten = 0;
    copy->BytesSkipped = copy->BytesWritten = 0;
    return 1;
}

int64_t StorageCopy_Shutdown(StorageCopy* copy) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    DropEvents(copy);
    if (!(copy->QueueComplete && copy->FilesComplete)) copy->Stopped = 1;
    copy->Run++;
    StorageFile_SweepRelease(&copy->Sweep);
    copy->WritesHeld = 0;
    DropParked(copy);
    copy->Shutdown = 1;
    copy->Alive = 0;
    copy->QueueComplete = 1;
    copy->FilesComplete = 1;
    return 1;
}

int64_t StorageCopy_SetWritesHeld(StorageCopy* copy, uint32_t held) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    if (held || !copy->WritesHeld) {
        copy->WritesHeld = held ? 1 : 0;
        return 1;
    }
    copy->WritesHeld = 0;
    // Each in the order it came; one may be parked again only if writes are held anew meanwhile.
    StorageRequest** parked = copy->Parked;
    const uint32_t count = copy->ParkedCount, size = copy->ParkedSize;
    copy->Parked = nullptr;
    copy->ParkedCount = copy->ParkedSize = 0;
    const uint32_t run = copy->Run;
    StorageCopy_AddRef(copy);
    for (uint32_t i = 0; i < count && copy->Run == run && !copy->Shutdown; i++)
        StorageCopy_StateDo(copy, parked[i], STORAGE_COPY_STATE_WRITE, 1, 0, 0);
    if (parked) Memory_Free(parked, sizeof(StorageRequest*) * size);
    Signal(copy);
    StorageCopy_Release(&copy);
    return 1;
}

int64_t StorageCopy_IsAlive(StorageCopy* copy) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    return IsAliveInt(copy) ? 1 : 0;
}

int64_t StorageCopy_IsComplete(StorageCopy* copy) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    return copy->QueueComplete && copy->FilesComplete && !copy->Stopped ? 1 : 0;
}

int64_t StorageCopy_Process(StorageCopy* copy) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    if (!copy->Alive || copy->Shutdown) return 0;
    StorageCopy_AddRef(copy);
    // The queue issues one piece per call: go on while pieces keep starting, within a bound, as a
    // piece that fails at once and is handed back could otherwise be issued again forever.
    for (int32_t n = 0; n < kPiecesPerPass && !copy->QueueComplete && copy->Alive; ++n) {
        const uint32_t begun = copy->Begun;
        PieceQueue_Process(copy->Pieces);
        if (copy->Begun == begun) break;
    }
    if (!copy->FilesComplete && copy->Alive) {
        FilesCollect(copy);
        if (!copy->WritesHeld) FilesStart(copy);
        if (!copy->Cursor && copy->RecordCount == 0) {
            copy->FilesComplete = 1;
            Signal(copy);
        }
    }
    MaskCount(copy);
    StorageCopy_Release(&copy);
    return 1;
}

// ---- Piece state machine ----------------------------------------------------------------------

namespace {

// A piece the automatic mask keeps: the destination holds it as the installed manifest lists it.
int64_t Kept(StorageCopy* copy, StorageRequest* request, int32_t index) {
    BitField_Set(copy->Kept, index);
    Skip(copy, request, "Piece Skipped (Mask) (%d)");
    return StorageCopy_StateNext(copy, request);
}

} // namespace

int64_t StorageCopy_StateDo(StorageCopy* copy, StorageRequest* request, uint32_t state, uint32_t run, uint32_t code,
                            uint32_t extra) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    if (copy->Shutdown) return 1;
    if (run) {
        StorageRequest_SetState(request, state);
        StorageRequest_SetStorageHandle(request, nullptr);
    }
    StorageCopy_VerboseLog(copy, 1, "Run State - %p %d %d %d %d", (void*)request, (int)state, (int)run, (int)code,
                           (int)extra);
    const int32_t index = StartIndex(request);
    if (state == STORAGE_COPY_STATE_BEGIN) {
        if (run) {
            StorageRequest_SetComplete(request, 0);
            if (!StorageRequest_IndexAdd(request, index)) {
                ErrorReport(copy, request, state, STORAGE_COPY_SOURCE_REMOTE, STORAGE_COPY_TYPE_READ,
                            STORAGE_ERROR_INVALID_CONTENT, 0);
                return 1;
            }
            BitField_Clear(copy->Unchecked, index);
            if ((copy->Flags & STORAGE_COPY_FLAG_AUTO_MASK) && copy->Dest &&
                MaskMatch(copy, request, copy->MatchRequest) >= 0) {
                // The destination manifest has this piece in place; skip it only when its files
                // are really there, so that a deleted or cut file is fetched again. A folder of
                // files answers that at once: asked here, a kept piece ends in this pass, without
                // a hand-off to the I/O worker and back for each of its files; what the sweep
                // made for this run found in place is not asked again.
                uint32_t found = 0;
                if (StorageFile_ExistsAtOnce(copy->Dest, request, &found, copy->Sweep, &copy->SweptNext)) {
                    if (found == 0) return Kept(copy, request, index);
                } else if (void* op = OperationBegin(copy)) {
                    Storage_Exists(copy->Dest, request, op, StorageDone);
                    return 1;
                }
            } else if ((copy->Flags & STORAGE_COPY_FLAG_AUTO_MASK) && copy->Dest &&
                       KnownToDiffer(copy, request, copy->MatchRequest)) {
                BitField_Set(copy->Unchecked, index);
            }
        } else if (code == 0) {
            return Kept(copy, request, index);
        }
        if (!StorageRequest_Alloc(request)) {
            ErrorReport(copy, request, state, STORAGE_COPY_SOURCE_REMOTE, STORAGE_COPY_TYPE_READ,
                        STORAGE_ERROR_SIZE_LIMIT, 0);
            return 1;
        }
        return StorageCopy_StateNext(copy, request);
    }
    if (run) {
        if (state == STORAGE_COPY_STATE_WRITE && copy->WritesHeld) {
            if (!Park(copy, request)) ErrorPath(copy, request, state, STORAGE_ERROR_SIZE_LIMIT, 0);
            return 1;
        }
        Storage* storage = nullptr;
        switch (state) {
        case STORAGE_COPY_STATE_PENDING:
            storage = copy->Pending;
            break;
        case STORAGE_COPY_STATE_EXISTS:
            storage = copy->Dest;
            break;
        case STORAGE_COPY_STATE_FETCH:
            if (copy->SourceFn) copy->SourceFn(copy, copy->SourceUser, &storage);
            break;
        case STORAGE_COPY_STATE_WRITE:
            storage = Target(copy);
            break;
        default:
            Debug_Abort("Unhandled state (StorageCopy: %d)", (int)state);
            return 0;
        }
        if (!storage) {
            // Nothing to read from or write to: a check finds nothing, a transfer fails.
            const bool check = state == STORAGE_COPY_STATE_PENDING || state == STORAGE_COPY_STATE_EXISTS;
            ErrorPath(copy, request, state, check ? (uint32_t)STORAGE_NOT_FOUND : (uint32_t)STORAGE_ERROR_STORAGE,
                      check ? 0u : (uint32_t)STORAGE_EXTENDED_SHUTDOWN);
            return 1;
        }
        void* op = OperationBegin(copy);
        if (!op) {
            ErrorPath(copy, request, state, STORAGE_ERROR_SIZE_LIMIT, 0);
            return 1;
        }
        if (state == STORAGE_COPY_STATE_WRITE) Storage_Put(storage, request, op, StorageDone);
        else Storage_Get(storage, request, nullptr, op, StorageDone);
        return 1;
    }
    if (code != 0) {
        ErrorPath(copy, request, state, code, extra);
        return 1;
    }
    switch (state) {
    case STORAGE_COPY_STATE_PENDING:
        if (copy->Flags & STORAGE_COPY_FLAG_TO_PENDING) {
            Skip(copy, request, "Piece Skipped (Pending) (%d)");
            return StorageCopy_StateNext(copy, request);
        }
        StorageCopy_Print(copy, "Piece Pending (%d)", index);
        return StorageCopy_StateDo(copy, request, STORAGE_COPY_STATE_WRITE, 1, 0, 0);
    case STORAGE_COPY_STATE_EXISTS:
        Skip(copy, request, "Piece Skipped (Exists) (%d)");
        return StorageCopy_StateNext(copy, request);
    case STORAGE_COPY_STATE_FETCH:
        return StorageCopy_StateNext(copy, request);
    case STORAGE_COPY_STATE_WRITE:
        copy->PiecesWritten++;
        copy->BytesWritten += UnpaddedLength(copy, index);
        return StorageCopy_StateNext(copy, request);
    default:
        Debug_Abort("Unhandled state (StorageCopy: %d)", (int)state);
        return 0;
    }
}

int64_t StorageCopy_StateNext(StorageCopy* copy, StorageRequest* request) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    if (copy->Shutdown) return 1;
    uint32_t complete = 0, state = 0;
    StorageRequest_GetComplete(request, &complete);
    StorageRequest_GetState(request, &state);
    if (!complete) {
        static constexpr uint32_t kNeeds[] = {0, STORAGE_COPY_FLAG_PENDING, STORAGE_COPY_FLAG_EXISTS,
                                              STORAGE_COPY_FLAG_FETCH, STORAGE_COPY_FLAG_WRITE};
        const int32_t index = StartIndex(request);
        for (uint32_t next = state + 1; next <= STORAGE_COPY_STATE_WRITE; ++next)
            if ((copy->Flags & kNeeds[next]) &&
                !(next == STORAGE_COPY_STATE_EXISTS && BitField_IsValidRange(copy->Unchecked, index) == 1 &&
                  BitField_IsSet(copy->Unchecked, index) == 1))
                return StorageCopy_StateDo(copy, request, next, 1, 0, 0);
    }
    const double now = Time_GetCurrent();
    StorageRequest_SetState(request, STORAGE_COPY_STATE_DONE);
    copy->LastPieceComplete = now;
    if (!complete && copy->PiecesWritten > 0) {
        double start = now;
        StorageRequest_GetStartTime(request, &start);
        copy->Times[copy->TimeCursor] = now - start;
        copy->TimeCursor = (copy->TimeCursor + 1) % kRingSize;
        copy->TimeCount++;
    }
    StorageRequest_SetErrorCount(request, 0);
    StorageCopy_Print(copy, "Piece Complete (%d)", StartIndex(request));
    PieceQueue_PieceComplete(copy->Pieces, request);
    Signal(copy);
    return 1;
}

// ---- Statistics -------------------------------------------------------------------------------

int64_t StorageCopy_GetPiecesTotal(StorageCopy* copy, int32_t* total) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(total);
    *total = 0;
    return PieceQueue_GetPiecesTotal(copy->Pieces, total);
}

int64_t StorageCopy_GetPiecesComplete(StorageCopy* copy, int32_t* complete) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(complete);
    *complete = 0;
    return PieceQueue_GetPiecesComplete(copy->Pieces, copy->Mask, complete);
}

int64_t StorageCopy_GetPiecesMasked(StorageCopy* copy, int32_t* masked) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(masked);
    *masked = 0;
    if (!copy->Mask) return 0;
    return BitField_GetNonZeroBits(copy->Mask, masked);
}

int64_t StorageCopy_GetPiecesSkipped(StorageCopy* copy, int32_t* skipped) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(skipped);
    *skipped = copy->PiecesSkipped;
    return 1;
}

int64_t StorageCopy_GetPiecesWritten(StorageCopy* copy, int32_t* written) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(written);
    *written = copy->PiecesWritten;
    return 1;
}

int64_t StorageCopy_GetPieceLength(StorageCopy* copy, uint32_t* length) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(length);
    *length = 0;
    PieceList* list = nullptr;
    if (!copy->Source || !MetaFile_GetPieceListHandle(copy->Source, &list) || !list) return 0;
    return PieceList_GetPieceLength(list, length);
}

int64_t StorageCopy_GetBytesTotal(StorageCopy* copy, uint64_t* total) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(total);
    *total = 0;
    FileListIndex* index = nullptr;
    uint64_t length = 0;
    if (!copy->Source || !MetaFile_GetFileListIndexHandle(copy->Source, &index) || !index) return 0;
    FileList_IndexGetTotalLength(index, &length);
    const bool known = copy->MaskCursor == kMaskCountDone;
    const uint64_t masked = known ? copy->BytesMasked : 0;
    *total = length > masked ? length - masked : 0;
    return known ? 1 : 0;
}

int64_t StorageCopy_GetBytesMasked(StorageCopy* copy, uint64_t* masked) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(masked);
    const bool known = copy->MaskCursor == kMaskCountDone;
    *masked = known ? copy->BytesMasked : 0;
    return known ? 1 : 0;
}

int64_t StorageCopy_GetBytesSkipped(StorageCopy* copy, uint64_t* skipped) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(skipped);
    *skipped = copy->BytesSkipped;
    return 1;
}

int64_t StorageCopy_GetBytesWritten(StorageCopy* copy, uint64_t* written) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(written);
    *written = copy->BytesWritten;
    return 1;
}

int64_t StorageCopy_GetBytesComplete(StorageCopy* copy, uint64_t* complete) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(complete);
    *complete = copy->BytesSkipped + copy->BytesWritten;
    return 1;
}

int64_t StorageCopy_GetBytesRemaining(StorageCopy* copy, uint64_t* remaining) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(remaining);
    uint64_t total = 0;
    StorageCopy_GetBytesTotal(copy, &total);
    const uint64_t complete = copy->BytesSkipped + copy->BytesWritten;
    *remaining = total > complete ? total - complete : 0;
    return 1;
}

int64_t StorageCopy_GetPieceAverageTime(StorageCopy* copy, double* seconds) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(seconds);
    *seconds = 0;
    if (copy->TimeCount < 20) return 0;
    const int32_t n = std::min(copy->TimeCount, kRingSize);
    double samples[kRingSize];
    memcpy(samples, copy->Times, sizeof(double) * (size_t)n);
    int32_t first = 0, last = n;
    // Drop the outliers on both sides once there are enough samples to spare them.
    if (n >= 70) {
        std::sort(samples, samples + n);
        first = 25;
        last = n - 25;
    }
    double sum = 0;
    for (int32_t i = first; i < last; ++i) sum += samples[i];
    *seconds = sum / (double)(last - first);
    return 1;
}

int64_t StorageCopy_GetRemainingTime(StorageCopy* copy, double* seconds) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(seconds);
    *seconds = -1;
    double average = 0;
    if (!StorageCopy_GetPieceAverageTime(copy, &average)) return 0;
    int32_t total = 0, complete = 0, masked = 0;
    StorageCopy_GetPiecesTotal(copy, &total);
    StorageCopy_GetPiecesComplete(copy, &complete);
    StorageCopy_GetPiecesMasked(copy, &masked);
    const int32_t left = std::max(0, total - (complete + masked));
    *seconds = (double)left * average / (double)std::max(1, copy->Requests);
    return 1;
}

int64_t StorageCopy_GetLastPieceComplete(StorageCopy* copy, double* time) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(time);
    *time = copy->LastPieceComplete;
    return 1;
}

int64_t StorageCopy_GetLastFileComplete(StorageCopy* copy, double* time) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(time);
    *time = copy->LastFileComplete;
    return 1;
}

int64_t StorageCopy_Dump(StorageCopy* copy, Dictionary* dictionary) {
    CLASS_CHECK(copy, STORAGE_COPY_CLASS_ID);
    ASSERT_POINTER(dictionary);
    uint32_t filesTotal = 0;
    FileList* list = nullptr;
    if (copy->Source && MetaFile_GetFileListHandle(copy->Source, &list) && list) FileList_GetCount(list, &filesTotal);
    int32_t inFlight = 0;
    for (FileRecord* r = copy->First; r; r = r->Next) inFlight += r->InFlight ? 1 : 0;
    int32_t total = 0, complete = 0, masked = 0;
    StorageCopy_GetPiecesTotal(copy, &total);
    StorageCopy_GetPiecesComplete(copy, &complete);
    StorageCopy_GetPiecesMasked(copy, &masked);
    const double f = filesTotal ? (double)copy->FilesDone / (double)filesTotal : 0;
    const double p = total - masked > 0 ? (double)complete / (double)(total - masked) : 0;
    double progress = 1.0;
    if (f < 1 || p < 1) {
        const double weights = copy->FileWeight + copy->PieceWeight;
        progress = weights > 0 ? (f * copy->FileWeight + p * copy->PieceWeight) / weights : 0;
        progress = std::clamp(progress, 0.0, 1.0);
    }
    uint32_t pieceLength = 0;
    StorageCopy_GetPieceLength(copy, &pieceLength);
    double average = 0, remaining = 0;
    StorageCopy_GetPieceAverageTime(copy, &average);
    StorageCopy_GetRemainingTime(copy, &remaining);
    uint64_t bytesTotal = 0, bytesMasked = 0, bytesComplete = 0, bytesRemaining = 0;
    const bool known = StorageCopy_GetBytesTotal(copy, &bytesTotal) == 1;
    StorageCopy_GetBytesMasked(copy, &bytesMasked);
    StorageCopy_GetBytesComplete(copy, &bytesComplete);
    StorageCopy_GetBytesRemaining(copy, &bytesRemaining);

    Dictionary_SetInt64ByKey(dictionary, "flags", copy->Flags);
    Dictionary_SetInt64ByKey(dictionary, "filesTotal", filesTotal);
    Dictionary_SetInt64ByKey(dictionary, "filesComplete", copy->FilesDone);
    Dictionary_SetInt64ByKey(dictionary, "filesPending", copy->RecordCount);
    Dictionary_SetInt64ByKey(dictionary, "filesPendingInFlight", inFlight);
    Dictionary_SetFloat64ByKey(dictionary, "progress", progress);
    Dictionary_SetInt64ByKey(dictionary, "piecesTotal", total);
    Dictionary_SetInt64ByKey(dictionary, "piecesSkipped", copy->PiecesSkipped);
    Dictionary_SetInt64ByKey(dictionary, "piecesWritten", copy->PiecesWritten);
    Dictionary_SetInt64ByKey(dictionary, "piecesMasked", masked);
    Dictionary_SetInt64ByKey(dictionary, "piecesComplete", complete);
    Dictionary_SetInt64ByKey(dictionary, "pieceLength", pieceLength);
    Dictionary_SetFloat64ByKey(dictionary, "pieceCompleteLastTime", copy->LastPieceComplete);
    Dictionary_SetFloat64ByKey(dictionary, "pieceAverageTime", average);
    Dictionary_SetFloat64ByKey(dictionary, "remainingTime", remaining);
    Dictionary_SetFloat64ByKey(dictionary, "fileCompleteLastTime", copy->LastFileComplete);
    if (known) Dictionary_SetInt64ByKey(dictionary, "bytesTotal", (int64_t)bytesTotal);
    Dictionary_SetInt64ByKey(dictionary, "bytesMasked", (int64_t)bytesMasked);
    Dictionary_SetInt64ByKey(dictionary, "bytesSkipped", (int64_t)copy->BytesSkipped);
    Dictionary_SetInt64ByKey(dictionary, "bytesWritten", (int64_t)copy->BytesWritten);
    Dictionary_SetInt64ByKey(dictionary, "bytesComplete", (int64_t)bytesComplete);
    Dictionary_SetInt64ByKey(dictionary, "bytesRemaining", (int64_t)bytesRemaining);
    return 1;
}
