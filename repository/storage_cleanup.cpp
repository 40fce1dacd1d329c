// The cleanup job: walks the source manifest's files (or pieces, for the one-object-per-piece
// backends), keeps what the destination manifest also has and erases the rest, answering failed
// erases through the owner's error callback.
#include "repository/storage_cleanup.h"

#include <algorithm>
#include <cstring>

#include "core/linux/platform_error.h"
#include "core/runtime/class_family.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "repository/file_list.h"
#include "repository/meta_file.h"
#include "repository/digest_table.h"
#include "repository/storage.h"
#include "repository/storage_file.h"
#include "repository/storage_file_path.h"

namespace {

constexpr uint32_t kItemRecordSize = 64;
constexpr int32_t kRingSize = 100;
constexpr int32_t kAverageMinimum = 20;
constexpr int32_t kTrimFrom = 70;
constexpr int32_t kTrimEach = 25;

struct CleanupItem;

} // namespace

struct StorageCleanup {
    Class Header;
    ClassPrint Print;
    Pool* Items;
    CleanupItem* First;
    int32_t InFlight;
    EventQueue* Queue;
    Storage* Target;
    MetaFile* Source;
    MetaFile* Dest;
    MetaFile* Keep;
    MetaFile* Blank;
    // The source as it was at Start: the cursor and the piece indexes belong to it.
    MetaFile* Running;
    uint32_t* ErrorCounts;
    int32_t ErrorCountsSize;
    FileListMember* Cursor;
    // Where the destination's index is expected to list the source's next name (see ListedInTurn).
    uint32_t DestAt;
    int32_t InFlightMax;
    int32_t ItemsTotal, ItemsComplete, ItemIndex, ItemsErased;
    uint32_t Alive, Complete, PieceMode, ShutDown;
    uint32_t ThreadId;
    double TimeBudget;
    double Times[kRingSize];
    int32_t TimeCursor, TimeCount;
    void* ErrorUser;
    StorageCleanupErrorFunc ErrorCallback;
    uint32_t StrayErrors; // the failed replays of the stray copies, and when to try the next
    double StrayResume;
};

namespace {

// One erase under way, or waiting for its retry time (then it holds no cleanup reference).
struct CleanupItem {
    StorageCleanup* Cleanup;
    double StartTime;
    int32_t Index;
    uint32_t Waiting;
    MetaFile* Source;
    FileListMember* File;
    CleanupItem* Prev;
    CleanupItem* Next;
};
static_assert(sizeof(CleanupItem) <= kItemRecordSize, "items come from 64-byte blocks");

struct RetryEvent {
    CleanupItem* Item;
    int32_t Response;
};

int64_t DeleteHandle(void** handle) {
    return StorageCleanup_Delete(reinterpret_cast<StorageCleanup**>(handle));
}

void PreparePrint(StorageCleanup* c) {
    ClassPrint_Prepare(&c->Print, c, "StorageCleanup", StorageCleanup_PrintInternal);
}

void SetManifest(MetaFile** slot, MetaFile* manifest) {
    if (manifest) MetaFile_AddRef(manifest);
    if (*slot) MetaFile_Release(slot);
    *slot = manifest;
}

FileList* FilesOf(MetaFile* manifest) {
    FileList* list = nullptr;
    if (manifest) MetaFile_GetFileListHandle(manifest, &list);
    return list;
}

PieceList* PiecesOf(MetaFile* manifest) {
    PieceList* list = nullptr;
    if (manifest) MetaFile_GetPieceListHandle(manifest, &list);
    return list;
}

CleanupItem* ItemCreate(StorageCleanup* c, int32_t index, FileListMember* file) {
    CleanupItem* item = static_cast<CleanupItem*>(Pool_Alloc(c->Items, kItemRecordSize));
    memset(item, 0, sizeof(*item));
    item->Cleanup = c;
    item->StartTime = Time_GetCurrent();
    item->Index = index;
    item->Source = c->Running;
    MetaFile_AddRef(item->Source);
    item->File = file;
    item->Next = c->First;
    if (c->First) c->First->Prev = item;
    c->First = item;
    c->InFlight++;
    return item;
}

void ItemFree(CleanupItem* item) {
    StorageCleanup* c = item->Cleanup;
    if (item->Prev) item->Prev->Next = item->Next;
    else c->First = item->Next;
    if (item->Next) item->Next->Prev = item->Prev;
    c->InFlight--;
    MetaFile_Release(&item->Source);
    Pool_Free(c->Items, &item, kItemRecordSize);
}

void EraseComplete(Storage* storage, void* user, void* requestSlot, uint32_t code, uint32_t extendedCode);

// Hands the item to the storage; the cleanup is referenced until the completion arrives.
void ItemErase(CleanupItem* item) {
    StorageCleanup* c = item->Cleanup;
    item->Waiting = 0;
    StorageCleanup_AddRef(c);
    if (c->PieceMode) Storage_Erase(c->Target, item->Source, item->Index, item, EraseComplete);
    else Storage_FileErase(c->Target, item->Source, item->File, item, EraseComplete);
}

void ItemDone(CleanupItem* item, bool timed) {
    StorageCleanup* c = item->Cleanup;
    if (timed) {
        c->Times[c->TimeCursor] = Time_GetCurrent() - item->StartTime;
        c->TimeCursor = (c->TimeCursor + 1) % kRingSize;
        if (c->TimeCount < kRingSize) c->TimeCount++;
    }
    ItemFree(item);
    c->ItemsErased++;
    c->ItemsComplete++;
    Thread_Signal(c->ThreadId);
}

void Respond(CleanupItem* item, int32_t response) {
    switch (response) {
    case STORAGE_CLEANUP_RESPONSE_RETRY:
    case STORAGE_CLEANUP_RESPONSE_WAIT:
        item->StartTime = Time_GetCurrent();
        ItemErase(item);
        return;
    case STORAGE_CLEANUP_RESPONSE_IGNORE:
        ItemDone(item, true);
        return;
    default:
        Debug_Abort("Unhandled StorageCleanup error response (%d)", response);
    }
}

void RetryDue(void* instance, void* payload) {
    (void)instance;
    const RetryEvent* event = static_cast<const RetryEvent*>(payload);
    CleanupItem* item = event->Item;
    if (item->Cleanup->ShutDown) ItemFree(item);
    else Respond(item, event->Response);
}

void EraseComplete(Storage* storage, void* user, void* requestSlot, uint32_t code, uint32_t extendedCode) {
    (void)storage;
    (void)requestSlot;
    CleanupItem* item = static_cast<CleanupItem*>(user);
    StorageCleanup* c = item->Cleanup;
    if (code == 0) ItemDone(item, true);
    else if (c->ShutDown) ItemFree(item);
    else {
        uint32_t* count = item->Index >= 0 && item->Index < c->ErrorCountsSize ? &c->ErrorCounts[item->Index] : nullptr;
        double resume = 0;
        int32_t response = STORAGE_CLEANUP_RESPONSE_WAIT;
        if (c->ErrorCallback)
            response = c->ErrorCallback(c, c->ErrorUser, count ? *count : 0, item->Index, code, extendedCode, &resume);
        if (response != STORAGE_CLEANUP_RESPONSE_IGNORE && count) (*count)++;
        if (response != STORAGE_CLEANUP_RESPONSE_IGNORE && resume > Time_GetCurrent()) {
            item->Waiting = 1;
            const RetryEvent event{item, response};
            EventQueue_AddTime(c->Queue, item, &event, (uint32_t)sizeof(event), RetryDue, resume);
        } else {
            Respond(item, response);
        }
    }
    StorageCleanup_Release(&c);
}

// Names the storages refuse can only fail; they are left alone like kept files. A name listed by
// the destination in another spelling of the same path is kept too. *at: where the index holds it.
bool Lists(MetaFile* manifest, const char* name, const char* normal, uint32_t* at) {
    FileListIndex* index = nullptr;
    if (manifest) MetaFile_GetFileListIndexHandle(manifest, &index);
    if (!index) return false;
    FileListMember* found = nullptr;
    return FileList_IndexFindByName(index, name, &found, nullptr, at) ||
           (strcmp(name, normal) != 0 && FileList_IndexFindByName(index, normal, &found, nullptr, at));
}

// The destination as the source's names are walked: an update lists most of them in the order the
// installed manifest did.
struct DestWalk {
    FileList* Files;
    FileListIndex* Index;
    uint32_t Count; // the names the index holds: all of its list's once made, none before
};

DestWalk WalkOf(MetaFile* dest) {
    DestWalk walk{FilesOf(dest), nullptr, 0};
    if (dest) MetaFile_GetFileListIndexHandle(dest, &walk.Index);
    if (walk.Files && walk.Index) FileList_IndexGetCount(walk.Index, &walk.Count);
    return walk;
}

// Whether the destination's name where the walk stands is the source's, byte for byte: such a name
// is one the index finds (it holds every name of its list), so it is listed without hashing it or
// checking its spelling, which would only keep it too.
bool ListedInTurn(StorageCleanup* c, const DestWalk& dest, const char* name) {
    FileListMember* listed = nullptr;
    if (c->DestAt >= dest.Count || !FileList_IndexGetMemberAt(dest.Index, c->DestAt, &listed)) return false;
    const char* other = FileList_MemberGetNamePtr(dest.Files, listed);
    if (!other || strcmp(other, name) != 0) return false;
    c->DestAt++;
    return true;
}

bool FileKept(StorageCleanup* c, FileList* files, FileListMember* member, const DestWalk& dest) {
    const char* name = FileList_MemberGetNamePtr(files, member);
    if (!name) return true;
    if (ListedInTurn(c, dest, name)) return true;
    char normal[STORAGE_FILE_PATH_SIZE];
    if (!StorageFilePath_Check(name, normal, (int32_t)sizeof(normal))) return true;
    uint32_t at = 0;
    // Found elsewhere, the walk goes on from there: a name added or dropped costs one lookup.
    if (Lists(c->Dest, name, normal, &at)) {
        c->DestAt = at + 1;
        return true;
    }
    return Lists(c->Keep, name, normal, nullptr);
}

bool PieceKept(PieceList* list, const uint8_t* digest) {
    int32_t found = -1;
    return list && PieceList_GetIndexByDigest(list, digest, &found) && found >= 0;
}

bool BudgetUsed(const StorageCleanup* c, double passStart) {
    return c->TimeBudget > 0 && Time_GetCurrent() - passStart >= c->TimeBudget;
}

// The installation's folder once every erase is done: the copies a killed run left for files the
// destination does not list go too, for no later erase names them (a file the killed run was
// adding was never in any installed manifest). With a manifest kept, the destination is not
// installed yet. false while there is more to do.
// A replay that failed to write down or remove what it had to fails the cleanup as a failed erase
// does: the record still names every copy, and the replay is tried again when the answer says.
bool RemoveStrayCopies(StorageCleanup* c) {
    if (c->StrayResume > Time_GetCurrent()) return false;
    const int64_t swept = StorageCleanup_RemoveStrayCopies(c->Target, c->Dest == c->Blank ? nullptr : c->Dest,
                                                           c->Keep ? 1 | STORAGE_FILE_STRAY_PENDING : 1);
    if (swept != 0) return swept > 0;
    StorageCleanup_Print(c, "Stray copies left in the installation's folder");
    const int32_t error = StorageCleanup_ReplayError(c->Target);
    if (!error || !c->ErrorCallback) return true;
    double resume = 0;
    const int32_t response = c->ErrorCallback(c, c->ErrorUser, c->StrayErrors++, -1, STORAGE_ERROR_OS,
                                              (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + error), &resume);
    if (response == STORAGE_CLEANUP_RESPONSE_IGNORE) return true;
    c->StrayResume = resume;
    return false;
}

// The owner's next pass goes on with what follows the cleanup at once.
void Finish(StorageCleanup* c) {
    c->Complete = 1;
    c->Alive = 0;
    Thread_Signal(c->ThreadId);
}

// A pass that stops with work left asks for the next one at once: nothing else may come to wake
// the thread that runs it.
bool PassEnds(StorageCleanup* c, double passStart) {
    if (!BudgetUsed(c, passStart)) return false;
    Thread_Signal(c->ThreadId);
    return true;
}

// The clock is read once per this many names judged (an erase counts as many): a name kept costs
// far less than the read.
constexpr uint32_t kNamesPerClock = 32;

void ProcessFiles(StorageCleanup* c, double passStart) {
    if (c->Cursor && c->InFlight > c->InFlightMax) return;
    FileList* files = c->Cursor ? FilesOf(c->Running) : nullptr;
    const DestWalk dest = WalkOf(c->Cursor ? c->Dest : nullptr);
    for (uint32_t judged = kNamesPerClock; c->Cursor;) {
        if (judged >= kNamesPerClock) {
            if (PassEnds(c, passStart)) return;
            judged = 0;
        }
        FileListMember* member = c->Cursor;
        if (FileKept(c, files, member, dest)) {
            c->ItemsComplete++;
            judged++;
        } else {
            ItemErase(ItemCreate(c, c->ItemIndex, member));
            judged = kNamesPerClock;
        }
        FileListMember* next = nullptr;
        FileList_MemberGetNext(files, member, &next);
        c->Cursor = next;
        c->ItemIndex++;
        if (c->InFlight > c->InFlightMax) return;
    }
    // The last name judged, the cleanup ends in the same pass when nothing is in flight.
    if (c->InFlight == 0) {
        if (!RemoveStrayCopies(c)) return;
        Finish(c);
    }
}

void ProcessPieces(StorageCleanup* c, double passStart) {
    PieceList* source = PiecesOf(c->Running);
    PieceList* dest = PiecesOf(c->Dest);
    PieceList* keep = PiecesOf(c->Keep);
    while (c->ItemIndex < c->ItemsTotal) {
        if (c->InFlight > c->InFlightMax || PassEnds(c, passStart)) return;
        uint8_t digest[PIECELIST_MAX_DIGEST_SIZE] = {0};
        PieceList_GetDigestByIndex(source, c->ItemIndex, digest, (int32_t)sizeof(digest));
        if (PieceKept(dest, digest) || PieceKept(keep, digest)) c->ItemsComplete++;
        else ItemErase(ItemCreate(c, c->ItemIndex, nullptr));
        c->ItemIndex++;
    }
    if (c->InFlight == 0) {
        Finish(c);
    }
}

} // namespace

CLASS_BASICS(StorageCleanup, StorageCleanup, STORAGE_CLEANUP_CLASS_ID)
CLASS_PRINT_FAMILY(StorageCleanup, StorageCleanup, STORAGE_CLEANUP_CLASS_ID, PreparePrint)

int64_t StorageCleanup_Create(StorageCleanup** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    StorageCleanup* c = static_cast<StorageCleanup*>(Memory_AllocZero(sizeof(StorageCleanup)));
    c->Header.ClassId = STORAGE_CLEANUP_CLASS_ID;
    c->Header.RefCount = 1;
    c->Header.Delete = DeleteHandle;
    Pool_Create(&c->Items);
    Pool_SetMemorySize(c->Items, kItemRecordSize);
    Pool_SetChunkSize(c->Items, 10);
    MetaFile_Create(&c->Blank);
    c->InFlightMax = 10;
    c->TimeBudget = (double)0.1f;
    c->ThreadId = Thread_GetCurrentId();
    *handle = c;
    return 1;
}

int64_t StorageCleanup_Delete(StorageCleanup** handle) {
    ASSERT_POINTER(handle);
    StorageCleanup* c = *handle;
    CLASS_CHECK(c, STORAGE_CLEANUP_CLASS_ID);
    // Only items waiting for a retry can be left: those at the storage hold a reference.
    while (c->First) {
        EventQueue_RemoveInstance(c->Queue, c->First);
        ItemFree(c->First);
    }
    Pool_Delete(&c->Items);
    SetManifest(&c->Source, nullptr);
    SetManifest(&c->Dest, nullptr);
    SetManifest(&c->Keep, nullptr);
    SetManifest(&c->Running, nullptr);
    MetaFile_Release(&c->Blank);
    if (c->ErrorCounts) Memory_Free(c->ErrorCounts, sizeof(uint32_t) * (size_t)c->ErrorCountsSize);
    if (c->Queue) EventQueue_Release(&c->Queue);
    c->Header.ClassId = 0;
    Memory_Free(c, sizeof(StorageCleanup));
    *handle = nullptr;
    return 1;
}

int64_t StorageCleanup_SetStorageHandle(StorageCleanup* cleanup, Storage* storage) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    cleanup->Target = storage;
    return 1;
}

int64_t StorageCleanup_GetStorageHandle(StorageCleanup* cleanup, Storage** storage) {
    ASSERT_POINTER(storage);
    *storage = nullptr;
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    *storage = cleanup->Target;
    return 1;
}

int64_t StorageCleanup_SetSourceMetaFileHandle(StorageCleanup* cleanup, MetaFile* manifest) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    SetManifest(&cleanup->Source, manifest);
    return 1;
}

int64_t StorageCleanup_GetSourceMetaFileHandle(StorageCleanup* cleanup, MetaFile** manifest) {
    ASSERT_POINTER(manifest);
    *manifest = nullptr;
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    *manifest = cleanup->Source;
    return 1;
}

int64_t StorageCleanup_SetDestMetaFileHandle(StorageCleanup* cleanup, MetaFile* manifest) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    SetManifest(&cleanup->Dest, manifest);
    return 1;
}

int64_t StorageCleanup_GetDestMetaFileHandle(StorageCleanup* cleanup, MetaFile** manifest) {
    ASSERT_POINTER(manifest);
    *manifest = nullptr;
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    *manifest = cleanup->Dest;
    return 1;
}

int64_t StorageCleanup_SetKeepMetaFileHandle(StorageCleanup* cleanup, MetaFile* manifest) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    SetManifest(&cleanup->Keep, manifest);
    return 1;
}

int64_t StorageCleanup_SetBlankSourceMetaFileHandle(StorageCleanup* cleanup) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    SetManifest(&cleanup->Source, cleanup->Blank);
    return 1;
}

int64_t StorageCleanup_SetBlankDestMetaFileHandle(StorageCleanup* cleanup) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    SetManifest(&cleanup->Dest, cleanup->Blank);
    return 1;
}

int64_t StorageCleanup_SetEventQueueHandle(StorageCleanup* cleanup, EventQueue* queue) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    if (queue) EventQueue_AddRef(queue);
    if (cleanup->Queue) EventQueue_Release(&cleanup->Queue);
    cleanup->Queue = queue;
    return 1;
}

int64_t StorageCleanup_SetThreadId(StorageCleanup* cleanup, uint32_t threadId) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    cleanup->ThreadId = threadId;
    return 1;
}

int64_t StorageCleanup_GetThreadId(StorageCleanup* cleanup, uint32_t* threadId) {
    ASSERT_POINTER(threadId);
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    *threadId = cleanup->ThreadId;
    return 1;
}

int64_t StorageCleanup_GetEventQueueHandle(StorageCleanup* cleanup, EventQueue** queue) {
    ASSERT_POINTER(queue);
    *queue = nullptr;
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    *queue = cleanup->Queue;
    return 1;
}

int64_t StorageCleanup_SetInFlightMax(StorageCleanup* cleanup, int32_t maximum) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    cleanup->InFlightMax = maximum;
    return 1;
}

int64_t StorageCleanup_GetInFlightMax(StorageCleanup* cleanup, int32_t* maximum) {
    ASSERT_POINTER(maximum);
    *maximum = 0;
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    *maximum = cleanup->InFlightMax;
    return 1;
}

int64_t StorageCleanup_SetProcessTimeout(StorageCleanup* cleanup, double seconds) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    cleanup->TimeBudget = seconds;
    return 1;
}

int64_t StorageCleanup_GetProcessTimeout(StorageCleanup* cleanup, double* seconds) {
    ASSERT_POINTER(seconds);
    *seconds = 0;
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    *seconds = cleanup->TimeBudget;
    return 1;
}

int64_t StorageCleanup_SetErrorCallback(StorageCleanup* cleanup, void* user, StorageCleanupErrorFunc callback) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    cleanup->ErrorUser = user;
    cleanup->ErrorCallback = callback;
    return 1;
}

int64_t StorageCleanup_GetErrorCallback(StorageCleanup* cleanup, void** user, StorageCleanupErrorFunc* callback) {
    ASSERT_POINTER(user);
    ASSERT_POINTER(callback);
    *user = nullptr;
    *callback = nullptr;
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    *user = cleanup->ErrorUser;
    *callback = cleanup->ErrorCallback;
    return 1;
}

int64_t StorageCleanup_Start(StorageCleanup* cleanup) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    StorageCleanup* c = cleanup;
    if (StorageCleanup_IsAlive(c)) Debug_Abort("Cleanup already running");
    if (!c->Target || !c->Source || !c->Dest) {
        StorageCleanup_Print(c, "Cleanup needs a storage and both manifests");
        return 0;
    }
    const StorageInterface* row = nullptr;
    Storage_GetInterface(c->Target, &row);
    c->PieceMode = row && row->Name &&
                   (strcmp(row->Name, "StorageFilePiece") == 0 || strcmp(row->Name, "StorageHTTPPiece") == 0);
    int32_t total = 0;
    c->Cursor = nullptr;
    SetManifest(&c->Running, c->Source);
    if (c->PieceMode) {
        PieceList_GetPieceTotal(PiecesOf(c->Running), &total);
    } else {
        FileList* files = FilesOf(c->Running);
        uint32_t count = 0;
        FileList_GetCount(files, &count);
        total = (int32_t)count;
        FileList_MemberGetFirst(files, &c->Cursor);
    }
    if (c->ErrorCounts) Memory_Free(c->ErrorCounts, sizeof(uint32_t) * (size_t)c->ErrorCountsSize);
    c->ErrorCounts = nullptr;
    c->ErrorCountsSize = total;
    if (total > 0) c->ErrorCounts = static_cast<uint32_t*>(Memory_AllocZero(sizeof(uint32_t) * (size_t)total));
    c->ItemsTotal = total;
    c->ItemsComplete = 0;
    c->ItemsErased = 0;
    c->ItemIndex = 0;
    c->DestAt = 0;
    c->Alive = 1;
    c->Complete = 0;
    c->ShutDown = 0;
    c->StrayErrors = 0;
    c->StrayResume = 0;
    return 1;
}

int64_t StorageCleanup_Process(StorageCleanup* cleanup) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    if (!cleanup->Alive || cleanup->ShutDown) return 1;
    const double passStart = Time_GetCurrent();
    if (cleanup->PieceMode) ProcessPieces(cleanup, passStart);
    else ProcessFiles(cleanup, passStart);
    return 1;
}

int64_t StorageCleanup_Shutdown(StorageCleanup* cleanup) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    cleanup->ShutDown = 1;
    cleanup->Alive = 0;
    // Retries not yet due would only be dropped when their time comes; drop them now.
    for (CleanupItem* item = cleanup->First; item;) {
        CleanupItem* next = item->Next;
        if (item->Waiting) {
            EventQueue_RemoveInstance(cleanup->Queue, item);
            ItemFree(item);
        }
        item = next;
    }
    return 1;
}

int64_t StorageCleanup_IsAlive(StorageCleanup* cleanup) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    return !cleanup->Complete && (cleanup->InFlight > 0 || cleanup->Alive);
}

int64_t StorageCleanup_IsComplete(StorageCleanup* cleanup) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    return cleanup->Complete ? 1 : 0;
}

namespace {

void* FileBackend(Storage* target) {
    const StorageInterface* row = nullptr;
    void* instance = nullptr;
    if (!target || !Storage_GetInterface(target, &row) || row != &StorageFile_Interface ||
        !Storage_GetInterfaceHandle(target, &instance))
        return nullptr;
    return instance;
}

} // namespace

void StorageCleanup_SetInstalled(Storage* target, MetaFile* installed) {
    if (void* instance = FileBackend(target)) StorageFile_SetInstalled(instance, installed);
}

void StorageCleanup_SetOwner(Storage* target, const char* owner, const char* kept) {
    if (void* instance = FileBackend(target)) StorageFile_SetOwner(instance, owner, kept);
}

int64_t StorageCleanup_RemoveStrayCopies(Storage* target, MetaFile* installed, uint32_t continued) {
    void* instance = FileBackend(target);
    return instance ? StorageFile_RemoveStrayCopies(instance, installed, continued) : 1;
}

int32_t StorageCleanup_ReplayError(Storage* target) {
    void* instance = FileBackend(target);
    return instance ? StorageFile_ReplayError(instance) : 0;
}

int32_t StorageCleanup_RemoveMadeCopies(Storage* target) {
    void* instance = FileBackend(target);
    return instance ? StorageFile_RemoveMadeCopies(instance) : 0;
}

int32_t StorageCleanup_RecordDropped(Storage* target, MetaFile* next) {
    void* instance = FileBackend(target);
    return instance ? StorageFile_RecordDropped(instance, next) : 0;
}

int32_t StorageCleanup_MarkUnfinished(Storage* target) {
    void* instance = FileBackend(target);
    return instance ? StorageFile_MarkUnfinished(instance) : 0;
}

int32_t StorageCleanup_MarkStart(Storage* target, uint32_t threadId) {
    void* instance = FileBackend(target);
    return instance ? StorageFile_MarkStart(instance, threadId) : 0;
}

int64_t StorageCleanup_MarkSettled(Storage* target, int32_t* error) {
    *error = 0;
    void* instance = FileBackend(target);
    return instance ? StorageFile_MarkSettled(instance, error) : 1;
}

int64_t StorageCleanup_IsUnfinished(Storage* target) {
    void* instance = FileBackend(target);
    return instance ? StorageFile_IsUnfinished(instance) : 0;
}

void StorageCleanup_SetFinished(Storage* target) {
    if (void* instance = FileBackend(target)) StorageFile_SetFinished(instance);
}

int32_t StorageCleanup_Flush(Storage* target) {
    void* instance = FileBackend(target);
    return instance ? StorageFile_Flush(instance) : 0;
}

int64_t StorageCleanup_GetItemsTotal(StorageCleanup* cleanup, int32_t* total) {
    ASSERT_POINTER(total);
    *total = 0;
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    *total = cleanup->ItemsTotal;
    return 1;
}

int64_t StorageCleanup_GetItemsComplete(StorageCleanup* cleanup, int32_t* complete) {
    ASSERT_POINTER(complete);
    *complete = 0;
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    *complete = cleanup->ItemsComplete;
    return 1;
}

int64_t StorageCleanup_GetItemAverageTime(StorageCleanup* cleanup, double* seconds) {
    ASSERT_POINTER(seconds);
    *seconds = 0;
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    const int32_t count = cleanup->TimeCount;
    if (count < kAverageMinimum) return 0;
    double sorted[kRingSize];
    memcpy(sorted, cleanup->Times, sizeof(double) * (size_t)count);
    int32_t first = 0, last = count;
    if (count >= kTrimFrom) {
        std::sort(sorted, sorted + count);
        first = kTrimEach;
        last = count - kTrimEach;
    }
    double sum = 0;
    for (int32_t i = first; i < last; ++i) sum += sorted[i];
    *seconds = sum / (last - first);
    return 1;
}

int64_t StorageCleanup_GetRemainingTime(StorageCleanup* cleanup, double* seconds) {
    ASSERT_POINTER(seconds);
    *seconds = -1;
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    double average = 0;
    if (!StorageCleanup_GetItemAverageTime(cleanup, &average)) return 1;
    *seconds = (cleanup->ItemsTotal - cleanup->ItemsComplete) * average / std::max(1, cleanup->InFlightMax);
    return 1;
}

int64_t StorageCleanup_Dump(StorageCleanup* cleanup, Dictionary* dictionary) {
    CLASS_CHECK(cleanup, STORAGE_CLEANUP_CLASS_ID);
    ASSERT_POINTER(dictionary);
    const StorageCleanup* c = cleanup;
    double progress = 0;
    if (c->ItemsTotal >= 1) progress = std::min(1.0, (double)c->ItemsComplete / c->ItemsTotal);
    double average = 0, remaining = -1;
    StorageCleanup_GetItemAverageTime(cleanup, &average);
    StorageCleanup_GetRemainingTime(cleanup, &remaining);
    Dictionary_SetFloat64ByKey(dictionary, "progress", progress);
    Dictionary_SetInt32ByKey(dictionary, "itemsTotal", c->ItemsTotal);
    Dictionary_SetInt32ByKey(dictionary, "itemsComplete", c->ItemsComplete);
    Dictionary_SetInt32ByKey(dictionary, "filesErased", c->ItemsErased);
    Dictionary_SetFloat64ByKey(dictionary, "itemAverageTime", average);
    Dictionary_SetFloat64ByKey(dictionary, "remainingTime", remaining);
    return 1;
}

int64_t StorageCleanup_PrintInternal(void* user, const char* format, ...) {
    (void)user;
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}
