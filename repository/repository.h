// The repository: keeps one local installation level with a remote content manifest, driven by
// action flags and advanced one step per Repository_Process on its own thread; its error rules,
// request slots and remote storages; and its script class QVR.Repository.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/formats/interop.h"
#include "core/runtime/class.h"

struct CertStoreInterface;
struct Dictionary;
struct EventQueue;
struct MeterRW;
struct Repository;
struct Storage;
struct StorageCopy;
struct StorageRequest;
struct AsyncHTTP;
struct StorageCleanup;
struct StorageDelta;
struct StorageOperation;

enum : uint32_t { REPOSITORY_CLASS_ID = 0x8e5b0194 };

// Action flags, set by the owner.
enum : uint32_t {
    REPOSITORY_ACTION_SYNC = 1,
    REPOSITORY_ACTION_REFRESH = 2,
    REPOSITORY_ACTION_ACTIVE = 4,
    REPOSITORY_ACTION_SHUTDOWN = 8,
    REPOSITORY_ACTION_ERASE = 16,
};

// State flags, recomputed by every pass.
enum : uint32_t {
    REPOSITORY_STATEFLAG_INSTALL = 0x1,
    REPOSITORY_STATEFLAG_UPDATE = 0x2,
    REPOSITORY_STATEFLAG_STALLED = 0x4,
    REPOSITORY_STATEFLAG_ALIVE = 0x8,
    REPOSITORY_STATEFLAG_LOCALID = 0x10,
    REPOSITORY_STATEFLAG_REMOTEID = 0x20,
    REPOSITORY_STATEFLAG_LOCALMETAFILE = 0x40,
    REPOSITORY_STATEFLAG_REMOTEMETAFILE = 0x80,
    REPOSITORY_STATEFLAG_LOCALMETAFILE_LOADING = 0x100,
    REPOSITORY_STATEFLAG_REMOTEMETAFILE_LOADING = 0x200,
    REPOSITORY_STATEFLAG_CATALOG = 0x400,
    REPOSITORY_STATEFLAG_CATALOG_LOADING = 0x800,
    REPOSITORY_STATEFLAG_ALIAS = 0x1000,
    REPOSITORY_STATEFLAG_ALIAS_LOADING = 0x2000,
    REPOSITORY_STATEFLAG_COPY = 0x4000,
    REPOSITORY_STATEFLAG_PENDING = 0x20000,
    REPOSITORY_STATEFLAG_LOCALCLEAN = 0x40000,
    REPOSITORY_STATEFLAG_SYNC = 0x80000,
    REPOSITORY_STATEFLAG_REFRESH = 0x100000,
    REPOSITORY_STATEFLAG_PAUSED = 0x200000,
    REPOSITORY_STATEFLAG_ERASE = 0x400000,
    REPOSITORY_STATEFLAG_APPLY = 0x800000,
    REPOSITORY_STATEFLAG_PENDINGCLEAN = 0x1000000,
};

// Error sources, types and the classifier's responses.
enum : int32_t {
    REPOSITORY_SOURCE_ALIAS = 1,
    REPOSITORY_SOURCE_CATALOG = 2,
    REPOSITORY_SOURCE_METAFILE_LOCAL = 3,
    REPOSITORY_SOURCE_METAFILE_REMOTE = 4,
    REPOSITORY_SOURCE_STORAGE_LOCAL = 5,
    REPOSITORY_SOURCE_STORAGE_REMOTE = 6,
    REPOSITORY_SOURCE_STORAGE_DELTA = 7,
    REPOSITORY_SOURCE_STORAGE_PENDING = 8,
    REPOSITORY_SOURCE_CONFIG = 9,
    REPOSITORY_TYPE_READ = 1,
    REPOSITORY_TYPE_WRITE = 3,
    REPOSITORY_TYPE_ERASE = 4,
    REPOSITORY_TYPE_CONFIG = 5,
    REPOSITORY_RESPONSE_RETRY = 3,
    REPOSITORY_RESPONSE_WAIT = 4,
    REPOSITORY_RESPONSE_IGNORE = 5,
    REPOSITORY_ERROR_CONFIG = 986,
};

enum : int32_t {
    REPOSITORY_REMOTE_ID_SIZE = 134,
    REPOSITORY_NAME_SIZE = 320,
};

// (repository, user, old flags, new flags)
typedef void (*RepositoryFlagChangeFunc)(Repository* repository, void* user, uint32_t oldFlags,
                                         uint32_t newFlags);

// ---- Life --------------------------------------------------------------------------------------
int64_t Repository_Create(Repository** handle);
int64_t Repository_AddRef(Repository* repository);
int64_t Repository_Release(Repository** handle);
int64_t Repository_Delete(Repository** handle);
int64_t Repository_ValidHandle(Repository* repository);
int64_t Repository_GetInstanceId(Repository* repository, char* buffer, int32_t size);

// ---- Configuration -----------------------------------------------------------------------------
// Copies the dictionary in; 0 (and a configuration error) without "repository".
int64_t Repository_SetConfigDictionaryHandle(Repository* repository, Dictionary* dict);
int64_t Repository_GetConfigDictionaryHandle(Repository* repository, Dictionary** dict);
// The engine's configuration (not owned); hands its size limits to the documents.
int64_t Repository_SetConfigHandle(Repository* repository, Dictionary* appConfig);
int64_t Repository_GetConfigHandle(Repository* repository, Dictionary** appConfig);
int64_t Repository_SetEventQueueHandle(Repository* repository, EventQueue* queue);
int64_t Repository_GetEventQueueHandle(Repository* repository, EventQueue** queue);
int64_t Repository_SetCertStoreHandle(Repository* repository, CertStoreInterface* store);
int64_t Repository_SetAuthenticate(Repository* repository, uint32_t on);
int64_t Repository_GetAuthenticate(Repository* repository, uint32_t* on);
int64_t Repository_SetCatalog(Repository* repository, uint32_t on);
int64_t Repository_GetCatalog(Repository* repository, uint32_t* on);
int64_t Repository_SetDelta(Repository* repository, uint32_t on);
int64_t Repository_GetDelta(Repository* repository, uint32_t* on);
int64_t Repository_SetMask(Repository* repository, uint32_t on);
int64_t Repository_GetMask(Repository* repository, uint32_t* on);
int64_t Repository_SetStallTime(Repository* repository, double seconds);
int64_t Repository_GetStallTime(Repository* repository, double* seconds);
int64_t Repository_SetThreadId(Repository* repository, uint32_t threadId);
int64_t Repository_GetThreadId(Repository* repository, uint32_t* threadId);
int64_t Repository_SetStateFlagChangeCallback(Repository* repository, void* user,
                                              RepositoryFlagChangeFunc fn);
int64_t Repository_SetActionFlagChangeCallback(Repository* repository, void* user,
                                               RepositoryFlagChangeFunc fn);

// ---- Actions -----------------------------------------------------------------------------------
int64_t Repository_SetActionFlags(Repository* repository, uint32_t flags);
int64_t Repository_SetSync(Repository* repository, uint32_t on);
int64_t Repository_SetRefresh(Repository* repository, uint32_t on);
int64_t Repository_SetErase(Repository* repository, uint32_t on);
int64_t Repository_SetActive(Repository* repository, uint32_t on);
int64_t Repository_Process(Repository* repository);
int64_t Repository_Reset(Repository* repository);
int64_t Repository_Shutdown(Repository* repository);
int64_t Repository_IsShutdown(Repository* repository);

// ---- Queries -----------------------------------------------------------------------------------
int64_t Repository_GetStateFlags(Repository* repository, uint32_t* flags);
int64_t Repository_GetActionFlags(Repository* repository, uint32_t* flags);
// Each out-pointer may be null.
int64_t Repository_GetLastError(Repository* repository, int32_t* source, int32_t* index, int32_t* type,
                                int32_t* code, int32_t* codeEx);
// 1 once an error that no retry can mend (no permission, a link or a name the installation
// refuses, no space) has ended the synchronisation or erase; cleared by Repository_Reset.
int64_t Repository_IsFailed(Repository* repository);
int64_t Repository_GetErrorCount(Repository* repository, uint32_t* count);
int64_t Repository_GetDeltaFailures(Repository* repository, uint32_t* count);
int64_t Repository_GetApply(Repository* repository, uint32_t* apply);
int64_t Repository_GetCleanup(Repository* repository, uint32_t* cleanup);
int64_t Repository_GetName(Repository* repository, char* buffer, int32_t size);
int64_t Repository_GetLocalPath(Repository* repository, char* buffer, int32_t size);
// The remote manifest's address last asked for (empty before any).
int64_t Repository_GetRemoteMetaFileUrl(Repository* repository, char* buffer, int32_t size);
int64_t Repository_GetLocalId(Repository* repository, char* buffer, int32_t size);
int64_t Repository_GetRemoteId(Repository* repository, char* buffer, int32_t size);
int64_t Repository_GetPendingRequests(Repository* repository, uint32_t* count);
int64_t Repository_IsCopyComplete(Repository* repository);
int64_t Repository_IsApplyComplete(Repository* repository);
int64_t Repository_IsCleanupComplete(Repository* repository);
int64_t Repository_RemoteGetCount(Repository* repository, int32_t* count);
int64_t Repository_RemoteGetEnabledCount(Repository* repository, int32_t* count);
int64_t Repository_RemoteGetEnabled(Repository* repository, int32_t index, uint32_t* enabled);
int64_t Repository_RemoteGetIdentifierCount(Repository* repository, const char* identifier,
                                            uint32_t enabledOnly, int32_t* count);
int64_t Repository_LocalGetMeterRWHandle(Repository* repository, MeterRW** meter);
int64_t Repository_RemoteGetMeterRWHandle(Repository* repository, MeterRW** meter);
// Seconds the state flag (a single bit) has been on.
int64_t Repository_StateTimerGet(Repository* repository, uint32_t flag, double* seconds);
int64_t Repository_Dump(Repository* repository, Dictionary* dict);

// ---- Errors, retries, request slots and remote storages ----------------------------------------
// The classifier: a response (3 retry, 4 wait, 5 ignore) and the time to act at.
int32_t Repository_Error(Repository* repository, int32_t source, int32_t index, uint32_t count, int32_t type,
                         uint32_t code, uint32_t extra, double* resume);
double Repostitory_RetryDelay(uint32_t count);
const char* Repository_TranslateSource(int32_t source);

int64_t Repository_AliasError(AsyncHTTP* loader, void* repository, int32_t count, int32_t type, uint32_t code,
                              uint32_t extra, double* resume);
int64_t Repository_CatalogError(AsyncHTTP* loader, void* repository, int32_t count, int32_t type,
                                uint32_t code, uint32_t extra, double* resume);
int64_t Repository_MetaFileLocalError(AsyncHTTP* loader, void* repository, int32_t count, int32_t type,
                                      uint32_t code, uint32_t extra, double* resume);
int64_t Repository_MetaFileRemoteError(AsyncHTTP* loader, void* repository, int32_t count, int32_t type,
                                       uint32_t code, uint32_t extra, double* resume);
int32_t Repository_CleanupErrorCallback(StorageCleanup* cleanup, void* repository, uint32_t count,
                                        int32_t index, uint32_t code, uint32_t extra, double* resume);
int32_t Repository_CleanupPendingErrorCallback(StorageCleanup* cleanup, void* repository, uint32_t count,
                                               int32_t index, uint32_t code, uint32_t extra, double* resume);
int64_t Repository_CopyErrorCallback(StorageCopy* copy, void* repository, StorageRequest* request,
                                     int32_t source, int32_t index, uint32_t count, int32_t type,
                                     uint32_t code, uint32_t extra, double* resume);

int64_t Repository_RequestListResize(Repository* repository, int32_t count);
int64_t Repository_RequestAcquire(StorageCopy* copy, void* repository, StorageRequest** request);
void Repository_RequestRelease(StorageCopy* copy, void* repository, StorageRequest** request);
int64_t Repository_RequestListFree(Repository* repository);
int64_t Repository_GetLeastUsedMember(StorageCopy* copy, void* repository, Storage** storage);
int64_t Repository_ConfigRemote(Repository* repository, Dictionary* dict, uint32_t* deltaSeen);
int64_t Repository_ConfigRemoteItem(Repository* repository, Dictionary* dict, uint32_t* deltaSeen);
// The delta-source step of every remote storage: the local pieces a delta copies from, read into
// the request's delta request; failures reach the copy job negated (its delta source).
void Repository_DeltaSourceGet(Storage* storage, void* repository, StorageOperation* operation);
void Repository_DeltaSourceGetComplete(StorageDelta* delta, StorageRequest* request, void* operation,
                                       uint32_t code, uint32_t extra);
// "NotificationCenter"/"Interop" for the repository's id: "addRef" true adds a reference, else one
// is released.
int64_t Repository_Notification_OnInteropReference(void* repository, const char* type, const char* name,
                                                   const char* instance, Dictionary* info);

// ---- Script class QVR.Repository ---------------------------------------------------------------
// Hands the class's library to the engine, which adds it with its other interop libraries.
int64_t Repository_RegisterInterop();
int64_t BaseInterop_Init();
int64_t BaseInterop_Remove();
int64_t BaseInterop_SetOverride(const char* name, void* function);
int64_t BaseInterop_SetOption(const char* name, const char* value);
// Hands back the repository whose instance id is given (a new reference) for "QVR.Repository".
int64_t BaseInterop_CreateInstance(const char* className, char* id, int32_t idSize, void* executeUser,
                                   InteropExecuteFunc executeFunction, InteropInvokeFunc* invoke,
                                   InteropReleaseFunc* release, InteropProcessFunc* process,
                                   void** userContext);
int64_t Repository_Invoke(void* repository, Dictionary* request, Dictionary* response);

// ---- Print family, class name "Repository" -----------------------------------------------------
int64_t Repository_VPrint(Repository* repository, int32_t indent, const char* format, va_list args);
int64_t Repository_Print(Repository* repository, const char* format, ...);
int64_t Repository_PrintTabbed(Repository* repository, int32_t indent, const char* format, ...);
int64_t Repository_IsVerboseLevel(Repository* repository, int32_t level);
int64_t Repository_VerboseLog(Repository* repository, int32_t level, const char* format, ...);
int64_t Repository_SetPrintCallback(Repository* repository, void* user, ClassPrintCallback callback);
int64_t Repository_GetPrintCallback(Repository* repository, void** user, ClassPrintCallback* callback);
int64_t Repository_SetPrintIdentifier(Repository* repository, const char* text);
int64_t Repository_SetVerbose(Repository* repository, uint32_t verbose);
int64_t Repository_GetVerbose(Repository* repository, uint32_t* verbose);
