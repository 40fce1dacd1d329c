// The repository's error rules (one classifier for every part: retry later, repeat after a short
// wait, or ignore), its pool of storage requests lent to the copy jobs, the choice of the remote
// storage for the next piece, and the configuration of remote storages.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "core/linux/platform_error.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log_text.h"
#include "core/runtime/memory.h"
#include "core/runtime/meter_rw.h"
#include "core/web/web_get.h"
#include "core/runtime/string.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "repository/catalog.h"
#include "repository/meta_file.h"
#include "repository/repository_internal.h"
#include "repository/storage.h"
#include "repository/storage_copy.h"
#include "repository/storage_delta.h"
#include "repository/storage_request.h"

namespace {

constexpr const char* kSources[] = {"Alias",          "Catalog",        "MetaFileLocal",
                                    "MetaFileRemote", "StorageLocal",   "StorageRemote",
                                    "StorageDelta",   "StoragePending", "Config"};

Repository* Of(void* user) {
    Repository* repository = static_cast<Repository*>(user);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    return repository;
}

int32_t Respond(int32_t response, double at, double* resume) {
    *resume = at;
    return response;
}

} // namespace

void Repository_DeltaSourceGetComplete(StorageDelta*, StorageRequest*, void* user, uint32_t code,
                                       uint32_t extra) {
    // Negated, so that the copy job tells a failure of the delta's source from one of the remote.
    Storage_OperationComplete(static_cast<StorageOperation*>(user), code ? (uint32_t)(-(int64_t)code) : 0u,
                              extra);
}

void Repository_DeltaSourceGet(Storage*, void* user, StorageOperation* operation) {
    Repository* r = Of(user);
    StorageRequest* request = nullptr;
    StorageRequest* delta = nullptr;
    if (!Storage_OperationGetRequest(operation, &request) ||
        !StorageRequest_GetDeltaRequestHandle(request, &delta) || !delta) {
        Storage_OperationComplete(operation, (uint32_t)(-(int64_t)STORAGE_ERROR_VCDIFF), 0);
        return;
    }
    StorageRequest_SetMetaFileHandle(delta, r->LocalMeta);
    StorageDelta_Get(r->Delta, request, operation, Repository_DeltaSourceGetComplete);
}

double Repostitory_RetryDelay(uint32_t count) {
    if (count < 1) return 0;
    const uint32_t base = count < 3 ? 15u << (count - 1) : 60u;
    return (double)(rand() % 15 + (int32_t)base);
}

const char* Repository_TranslateSource(int32_t source) {
    if (source < 1 || source > 9) return kSources[0];
    return kSources[source - 1];
}

namespace {

// A manifest named by a local path that is no regular file (a FIFO, a socket, a folder) is read
// no better a second time.
bool IsNoFile(uint32_t code, uint32_t extra) {
    return code == STORAGE_ERROR_OS && (extra == (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + ENOTSUP) ||
                                        extra == (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + EISDIR));
}

// Faults of the local disk that asking again cannot mend: the user may not read or write there,
// something not ours (a link, another user's entry, a special file) stands in the way, the name
// cannot be made, or the disk is full.
bool IsDiskFault(uint32_t code, uint32_t extra) {
    if (code != STORAGE_ERROR_OS) return false;
    if (Platform_ErrorNotEnoughSpace((PlatformErrorCode)extra)) return true;
    for (int32_t error : {EACCES, EPERM, ELOOP, EROFS, EDQUOT, ENOSPC, ENAMETOOLONG, EISDIR, ENOTDIR, EINVAL, EEXIST})
        if (extra == (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + error)) return true;
    return false;
}

// A read that met another shape than the file it asked for (a file where its path needs a folder,
// a folder at its name): what the installed version holds there is not that file, as if missing.
bool IsOtherShape(int32_t type, uint32_t code, uint32_t extra) {
    return type == REPOSITORY_TYPE_READ && code == STORAGE_ERROR_OS &&
           (extra == (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + ENOTDIR) ||
            extra == (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + EISDIR));
}

// Errors that end the work at once instead of being retried.
bool IsPermanent(int32_t source, int32_t type, uint32_t code, uint32_t extra) {
    // A remote manifest received whole and refused (a name the installation cannot act on, a
    // layout that does not add up) is refused again until its publisher changes it.
    if ((source == REPOSITORY_SOURCE_METAFILE_REMOTE || source == REPOSITORY_SOURCE_METAFILE_LOCAL) &&
        IsNoFile(code, extra))
        return true;
    // A document received whole and refused (its signature or its text) is refused again on every
    // try: the same bytes come back until their publisher changes them.
    if ((source == REPOSITORY_SOURCE_METAFILE_REMOTE || source == REPOSITORY_SOURCE_ALIAS ||
         source == REPOSITORY_SOURCE_CATALOG) &&
        type == REPOSITORY_TYPE_READ && code == WEBGET_ERROR_JSON)
        return true;
    // The remote manifest is saved as the installed one: its write is one on the local disk.
    if (source == REPOSITORY_SOURCE_METAFILE_REMOTE)
        return code == STORAGE_ERROR_INVALID_CONTENT || (type == REPOSITORY_TYPE_WRITE && IsDiskFault(code, extra));
    // Pending pieces are a cache beside the installation: what fails there is fetched again.
    if (source != REPOSITORY_SOURCE_STORAGE_LOCAL) return false;
    return code == STORAGE_ERROR_INVALID_CONTENT ||
           (IsDiskFault(code, extra) && !IsOtherShape(type, code, extra));
}

} // namespace

int32_t Repository_Error(Repository* repository, int32_t source, int32_t index, uint32_t count, int32_t type,
                         uint32_t code, uint32_t extra, double* resume) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    ASSERT_POINTER(resume);
    const double now = Time_GetCurrent();
    const PlatformErrorCode os = (PlatformErrorCode)extra;
    const bool locked = code == STORAGE_ERROR_OS && Platform_ErrorLocked(os);
    const bool space = code == STORAGE_ERROR_OS && Platform_ErrorNotEnoughSpace(os);
    const bool missing =
        (code == STORAGE_ERROR_OS && Platform_ErrorMissing(os)) || IsOtherShape(type, code, extra);
    const double retry = now + Repostitory_RetryDelay(count);
    int32_t response = REPOSITORY_RESPONSE_IGNORE;
    *resume = now;
    if (IsPermanent(source, type, code, extra)) {
        // Nothing more is tried: the work ends at the next pass with this error.
        repository->Failed = 1;
        response = Respond(REPOSITORY_RESPONSE_WAIT, now + 3600, resume);
    } else if (code == 972 || code == 973 ||
        (code == STORAGE_ERROR_STORAGE && extra == STORAGE_EXTENDED_PASSWORD_CANCELLED)) {
        response = Respond(REPOSITORY_RESPONSE_RETRY, now + 30 + rand() % 15, resume);
    } else if (source == REPOSITORY_SOURCE_METAFILE_LOCAL) {
        if (type == REPOSITORY_TYPE_READ && code == STORAGE_ERROR_OS)
            response =
                locked ? Respond(REPOSITORY_RESPONSE_RETRY, now + 5, resume) : REPOSITORY_RESPONSE_IGNORE;
        else if (type == REPOSITORY_TYPE_ERASE && code == STORAGE_ERROR_OS)
            response = Respond(REPOSITORY_RESPONSE_WAIT, now + 5, resume);
    } else if (source == REPOSITORY_SOURCE_STORAGE_LOCAL) {
        if (code == STORAGE_ERROR_OS) {
            if (locked || space || type != REPOSITORY_TYPE_READ)
                response = Respond(REPOSITORY_RESPONSE_WAIT, now + 5, resume);
            else
                response =
                    missing ? REPOSITORY_RESPONSE_IGNORE : Respond(REPOSITORY_RESPONSE_WAIT, now + 5, resume);
        } else if (code == STORAGE_ERROR_COMPRESSION) {
            response = Respond(REPOSITORY_RESPONSE_RETRY, retry, resume);
        } else if (type == REPOSITORY_TYPE_READ &&
                   (code == STORAGE_ERROR_UNDERFLOW || code == STORAGE_ERROR_HASH_FAILURE)) {
            response = REPOSITORY_RESPONSE_IGNORE;
        } else {
            response = Respond(REPOSITORY_RESPONSE_WAIT, now + 5, resume);
        }
    } else if (source == REPOSITORY_SOURCE_STORAGE_DELTA) {
        response = type == REPOSITORY_TYPE_ERASE ? Respond(REPOSITORY_RESPONSE_WAIT, now + 5, resume)
                                                 : Respond(REPOSITORY_RESPONSE_RETRY, retry, resume);
    } else if (source == REPOSITORY_SOURCE_STORAGE_PENDING) {
        if (type == REPOSITORY_TYPE_READ)
            response = REPOSITORY_RESPONSE_IGNORE;
        else if (code != STORAGE_ERROR_OS)
            response = Respond(REPOSITORY_RESPONSE_WAIT, now + 5, resume);
        else if (locked || space)
            response = REPOSITORY_RESPONSE_IGNORE;
        else
            response = Respond(REPOSITORY_RESPONSE_WAIT, now + 5, resume);
    } else {
        response = Respond(REPOSITORY_RESPONSE_RETRY, retry, resume);
    }
    if (response == REPOSITORY_RESPONSE_IGNORE) {
        Repository_VerboseLog(
            repository, 0,
            "Ignore Error: Source(%d) Index(%d) Count(%d) Type (%d) Code(%d) CodeEx(%d) Response(%d) "
            "Retry(%.2f)",
            source, index, (int32_t)count + 1, type, (int32_t)code, (int32_t)extra, response, *resume - now);
        return response;
    }
    repository->ErrorCount++;
    repository->LastError[0] = source;
    repository->LastError[1] = index;
    repository->LastError[2] = type;
    repository->LastError[3] = (int32_t)code;
    repository->LastError[4] = (int32_t)extra;
    Repository_Print(
        repository,
        "Error: Source(%d) Index(%d) Count(%d) Type (%d) Code(%d) CodeEx(%d) Response(%d) Retry(%.2f)",
        source, index, (int32_t)count + 1, type, (int32_t)code, (int32_t)extra, response, *resume - now);
    return response;
}

// ---- Handlers registered on the parts ------------------------------------------------------------

int64_t Repository_AliasError(AsyncHTTP*, void* user, int32_t count, int32_t type, uint32_t code,
                              uint32_t extra, double* resume) {
    return Repository_Error(Of(user), REPOSITORY_SOURCE_ALIAS, -1, (uint32_t)count, type, code, extra,
                            resume);
}

int64_t Repository_CatalogError(AsyncHTTP*, void* user, int32_t count, int32_t type, uint32_t code,
                                uint32_t extra, double* resume) {
    Repository* r = Of(user);
    uint32_t delta = 0;
    Catalog_GetDelta(r->CatalogDoc, &delta);
    const bool missing =
        code == 404 || (code == STORAGE_ERROR_OS && Platform_ErrorMissing((PlatformErrorCode)extra));
    if (missing && delta) {
        // No delta catalogue from this version: the next attempt asks for the full one.
        Catalog_SetDelta(r->CatalogDoc, 0);
        *resume = Time_GetCurrent();
        return REPOSITORY_RESPONSE_IGNORE;
    }
    return Repository_Error(r, REPOSITORY_SOURCE_CATALOG, -1, (uint32_t)count, type, code, extra, resume);
}

int64_t Repository_MetaFileLocalError(AsyncHTTP*, void* user, int32_t count, int32_t type, uint32_t code,
                                      uint32_t extra, double* resume) {
    if (type == REPOSITORY_TYPE_READ && IsNoFile(code, extra))
        Repository_Print(Of(user), "Metafile not a regular file (%s)", LogText(Of(user)->MetaFilePath).Text);
    return Repository_Error(Of(user), REPOSITORY_SOURCE_METAFILE_LOCAL, -1, (uint32_t)count, type, code,
                            extra, resume);
}

int64_t Repository_MetaFileRemoteError(AsyncHTTP*, void* user, int32_t count, int32_t type, uint32_t code,
                                       uint32_t extra, double* resume) {
    if (type == REPOSITORY_TYPE_READ && IsNoFile(code, extra))
        Repository_Print(Of(user), "Metafile not a regular file (%s)", LogText(Of(user)->RemoteMetaUrl).Text);
    return Repository_Error(Of(user), REPOSITORY_SOURCE_METAFILE_REMOTE, -1, (uint32_t)count, type, code,
                            extra, resume);
}

namespace {

// A storage refuses to erase a name that leads out of its folder (through a link, or a name that
// leaves it): asking again can only be refused again, and what lies there is not ours to erase.
bool ErasedOutside(Repository* r, int32_t source, int32_t index, uint32_t code, double* resume) {
    if (code != STORAGE_ERROR_INVALID_CONTENT) return false;
    Repository_Print(r, "Erase refused outside the storage, skipped: Source(%d) Index(%d)", source, index);
    *resume = Time_GetCurrent();
    return true;
}

} // namespace

int32_t Repository_CleanupErrorCallback(StorageCleanup*, void* user, uint32_t count, int32_t index,
                                        uint32_t code, uint32_t extra, double* resume) {
    if (ErasedOutside(Of(user), REPOSITORY_SOURCE_STORAGE_LOCAL, index, code, resume))
        return REPOSITORY_RESPONSE_IGNORE;
    return Repository_Error(Of(user), REPOSITORY_SOURCE_STORAGE_LOCAL, index, count, REPOSITORY_TYPE_ERASE,
                            code, extra, resume);
}

int32_t Repository_CleanupPendingErrorCallback(StorageCleanup*, void* user, uint32_t count, int32_t index,
                                               uint32_t code, uint32_t extra, double* resume) {
    if (ErasedOutside(Of(user), REPOSITORY_SOURCE_STORAGE_PENDING, index, code, resume))
        return REPOSITORY_RESPONSE_IGNORE;
    return Repository_Error(Of(user), REPOSITORY_SOURCE_STORAGE_PENDING, index, count, REPOSITORY_TYPE_ERASE,
                            code, extra, resume);
}

int64_t Repository_CopyErrorCallback(StorageCopy*, void* user, StorageRequest* request, int32_t source,
                                     int32_t index, uint32_t count, int32_t type, uint32_t code,
                                     uint32_t extra, double* resume) {
    Repository* r = Of(user);
    static constexpr int32_t kMap[] = {REPOSITORY_SOURCE_STORAGE_REMOTE, REPOSITORY_SOURCE_STORAGE_LOCAL,
                                       REPOSITORY_SOURCE_STORAGE_PENDING, REPOSITORY_SOURCE_STORAGE_DELTA};
    if (source < 0 || source >= 4) Debug_Abort("Invalid error source (%d)", (int)source);
    const int32_t mapped = kMap[source];
    int32_t response = Repository_Error(r, mapped, index, count, type, code, extra, resume);
    if (response == REPOSITORY_RESPONSE_IGNORE) {
        if (mapped == REPOSITORY_SOURCE_STORAGE_LOCAL)
            Storage_DecrementErrorCount(r->Local);
        else if (mapped == REPOSITORY_SOURCE_STORAGE_DELTA || mapped == REPOSITORY_SOURCE_STORAGE_PENDING)
            Storage_DecrementErrorCount(r->Pending);
        return response;
    }
    StorageDelta_CacheClear(r->Delta);
    // An error that ended the work is not worked around: the piece is not fetched again.
    if (!request || r->Failed) return response;
    const double now = Time_GetCurrent();
    uint32_t allow = 0;
    StorageRequest_GetAllowVCDiff(request, &allow);
    const bool lockedOrFull =
        code == STORAGE_ERROR_OS && (Platform_ErrorLocked((PlatformErrorCode)extra) ||
                                     Platform_ErrorNotEnoughSpace((PlatformErrorCode)extra));
    if (code == 961) {
        *resume = now + 60 + rand() % 15;
        return REPOSITORY_RESPONSE_RETRY;
    }
    if (allow && code != 967 && !lockedOrFull) {
        Repository_Print(r, "Disabling vcdiff (%d)", index);
        *resume = now;
        r->DeltaFailures++;
        StorageRequest_SetAllowVCDiff(request, 0);
        return REPOSITORY_RESPONSE_RETRY;
    }
    return response;
}

// ---- Request slots ---------------------------------------------------------------------------------

int64_t Repository_RequestListResize(Repository* repository, int32_t count) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    Repository* r = repository;
    if (count < 0) count = 0;
    while (r->SlotCount > count && r->Slots) {
        RepositorySlot* slot = r->Slots;
        r->Slots = slot->Next;
        if (slot->Request) StorageRequest_Release(&slot->Request);
        Memory_Free(slot, sizeof(RepositorySlot));
        r->SlotCount--;
    }
    RepositorySlot** tail = &r->Slots;
    while (*tail) tail = &(*tail)->Next;
    while (r->SlotCount < count) {
        RepositorySlot* slot = static_cast<RepositorySlot*>(Memory_AllocZero(sizeof(RepositorySlot)));
        slot->ClassId = REPOSITORY_SLOT_CLASS_ID;
        // Its request is made when it is first lent (SlotRequest).
        slot->ResumeTime = Time_GetCurrent();
        *tail = slot;
        tail = &slot->Next;
        r->SlotCount++;
    }
    for (RepositorySlot* slot = r->Slots; slot; slot = slot->Next) slot->Active = 0;
    StorageCopy_SetRequests(r->Copy, count);
    StorageCopy_SetRequests(r->ApplyJob, count);
    return 1;
}

namespace {

// The slot's request with its delta request, made on the slot's first loan: an update that keeps
// most pieces lends few slots at a time, and each request is fresh memory at a sync's start.
bool SlotRequest(RepositorySlot* slot) {
    if (slot->Request) return true;
    StorageRequest* made = nullptr;
    StorageRequest* delta = nullptr;
    if (!StorageRequest_Create(&made)) return false;
    if (!StorageRequest_Create(&delta)) {
        StorageRequest_Release(&made);
        return false;
    }
    StorageRequest_SetDeltaRequestHandle(made, delta);
    StorageRequest_Release(&delta);
    slot->Request = made;
    return true;
}

} // namespace

int64_t Repository_RequestAcquire(StorageCopy*, void* user, StorageRequest** request) {
    Repository* r = Of(user);
    ASSERT_POINTER(request);
    *request = nullptr;
    const double now = Time_GetCurrent();
    for (RepositorySlot* slot = r->Slots; slot; slot = slot->Next) {
        if (slot->ClassId != REPOSITORY_SLOT_CLASS_ID) Debug_Abort("Storage request slot list damaged");
        if (slot->Active || slot->ResumeTime > now) continue;
        // One that cannot be made now is not lent: the piece waits, as for a busy slot.
        if (!SlotRequest(slot)) return 0;
        slot->Active = 1;
        *request = slot->Request;
        return 1;
    }
    return 0;
}

void Repository_RequestRelease(StorageCopy*, void* user, StorageRequest** request) {
    Repository* r = Of(user);
    ASSERT_POINTER(request);
    RepositorySlot* slot = r->Slots;
    while (slot && (!*request || slot->Request != *request)) slot = slot->Next;
    if (!slot) Debug_Abort("Unable to release storage request");
    slot->ResumeTime = Time_GetCurrent();
    uint32_t errors = 0;
    StorageRequest_GetErrorCount(slot->Request, &errors);
    // A request that keeps failing rests before it is lent again.
    if (errors >= 2) slot->ResumeTime += 15 + rand() % 15;
    slot->Active = 0;
    *request = nullptr;
    Thread_Signal(r->ThreadId);
}

int64_t Repository_RequestListFree(Repository* repository) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    for (RepositorySlot* slot = repository->Slots; slot; slot = slot->Next) {
        if (slot->Active || !slot->Request) continue; // a lent request's buffer is still in use
        StorageRequest_Free(slot->Request);
        StorageRequest* delta = nullptr;
        if (StorageRequest_GetDeltaRequestHandle(slot->Request, &delta) && delta) StorageRequest_Free(delta);
    }
    return 1;
}

// ---- Remote members ---------------------------------------------------------------------------------

int64_t Repository_GetLeastUsedMember(StorageCopy*, void* user, Storage** storage) {
    Repository* r = Of(user);
    ASSERT_POINTER(storage);
    *storage = nullptr;
    uint32_t bestPending = 0, bestErrors = 0;
    for (RepositoryRemote* m = r->Remotes; m; m = m->Next) {
        if (!m->Enabled) continue;
        uint32_t pending = 0, errors = 0;
        Storage_GetPendingRequests(m->Member, &pending);
        Storage_GetErrorCount(m->Member, &errors);
        if (!*storage || pending < bestPending || (pending == bestPending && errors < bestErrors)) {
            *storage = m->Member;
            bestPending = pending;
            bestErrors = errors;
        }
    }
    return *storage ? 1 : 0;
}

void Repository_RemoteListFree(Repository* r) {
    while (r->Remotes) {
        RepositoryRemote* m = r->Remotes;
        r->Remotes = m->Next;
        Storage_Shutdown(m->Member);
        Storage_Release(&m->Member);
        Memory_Free(m, sizeof(RepositoryRemote));
    }
    r->RemoteCount = 0;
}

namespace {

// Nested "mux" lists deeper than any real configuration are refused rather than followed.
constexpr int32_t kMuxDepthMax = 16;

int64_t ConfigRemoteAt(Repository* repository, Dictionary* dict, uint32_t* deltaSeen, int32_t depth) {
    const char* type = nullptr;
    if (Dictionary_GetStringPtrByKey(dict, "type", &type) && type && String_CompareWithoutCase(type, "mux")) {
        if (depth >= kMuxDepthMax) {
            Repository_Print(repository, "Storage mux nested too deep (%d)", depth);
            return 0;
        }
        Dictionary* list = nullptr;
        if (!Dictionary_GetListByKey(dict, "storages", &list) || !list) return 1;
        for (int32_t i = 0;; ++i) {
            Dictionary* member = nullptr;
            uint32_t count = 0;
            Dictionary_ItemGetCount(list, &count);
            if ((uint32_t)i >= count) return 1;
            if (!Dictionary_GetDictionaryByIndex(list, i, &member) || !member) continue;
            const int64_t result = ConfigRemoteAt(repository, member, deltaSeen, depth + 1);
            if (result != 1) return result;
        }
    }
    return Repository_ConfigRemoteItem(repository, dict, deltaSeen);
}

} // namespace

int64_t Repository_ConfigRemote(Repository* repository, Dictionary* dict, uint32_t* deltaSeen) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    ASSERT_POINTER(dict);
    return ConfigRemoteAt(repository, dict, deltaSeen, 0);
}

int64_t Repository_ConfigRemoteItem(Repository* repository, Dictionary* dict, uint32_t* deltaSeen) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    Repository* r = repository;
    char localId[REPOSITORY_REMOTE_ID_SIZE] = {};
    Repository_GetLocalId(r, localId, (int32_t)sizeof(localId));
    Dictionary_SetStringByKey(dict, "source", localId);
    Storage* storage = nullptr;
    Storage_Create(&storage);
    Storage_SetPrintCallback(storage, r, Repository_StoragePrint);
    Storage_SetEventQueueHandle(storage, r->Queue);
    Storage_SetDeltaSourceCallback(storage, r, Repository_DeltaSourceGet);
    if (Storage_Configure(storage, r->AppConfig, dict, nullptr) != 1) {
        Storage_Release(&storage);
        return 0;
    }
    uint32_t flags = 0;
    Storage_GetFlags(storage, &flags);
    if (!r->DeltaOn || localId[0] == 0) {
        flags &= ~(uint32_t)STORAGE_FLAG_VCDIFF;
        Storage_SetFlags(storage, flags);
    }
    if ((flags & STORAGE_FLAG_VCDIFF) && deltaSeen) *deltaSeen = 1;
    char identifier[STORAGE_IDENTIFIER_SIZE];
    Storage_GetIdentifier(storage, identifier, (int32_t)sizeof(identifier));
    int32_t same = 0;
    Repository_RemoteGetIdentifierCount(r, identifier, 0, &same);
    if (same > 0) {
        Repository_Print(r, "Connection (%s) ignored: storage connection already exists", identifier);
        Storage_Shutdown(storage);
        Storage_Release(&storage);
        return 1;
    }
    MeterRW* meter = nullptr;
    if (Storage_GetMeterRWHandle(storage, &meter) && meter) MeterRW_SetParentHandle(meter, r->RemoteMeter);
    RepositoryRemote* m = static_cast<RepositoryRemote*>(Memory_AllocZero(sizeof(RepositoryRemote)));
    m->Member = storage;
    m->Enabled = 1;
    RepositoryRemote** tail = &r->Remotes;
    while (*tail) tail = &(*tail)->Next;
    *tail = m;
    r->RemoteCount++;
    return 1;
}
