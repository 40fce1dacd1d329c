// The repository's status dictionary (its keys in a fixed order, for logs and the task's status),
// and its script class QVR.Repository, through which page script pauses and resumes it.
#include <cstring>
#include <initializer_list>

#include "core/formats/interop.h"
#include "core/formats/interop_request.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/meter_rw.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "repository/alias.h"
#include "repository/catalog.h"
#include "repository/meta_file.h"
#include "repository/repository_internal.h"
#include "repository/storage.h"
#include "repository/storage_cleanup.h"
#include "repository/storage_copy.h"
#include "repository/storage_delta.h"
#include "repository/storage_request.h"
#include "workflow/workflow_app.h"

namespace {

struct TimerKey {
    const char* Key;
    uint32_t Flag;
};

constexpr TimerKey kTimers[] = {
    {"localMetaFileLoadTime", REPOSITORY_STATEFLAG_LOCALMETAFILE_LOADING},
    {"remoteMetaFileLoadTime", REPOSITORY_STATEFLAG_REMOTEMETAFILE_LOADING},
    {"aliasLoadTime", REPOSITORY_STATEFLAG_ALIAS_LOADING},
    {"catalogLoadTime", REPOSITORY_STATEFLAG_CATALOG_LOADING},
    {"localCleanTime", REPOSITORY_STATEFLAG_LOCALCLEAN},
    {"pendingCleanTime", REPOSITORY_STATEFLAG_PENDINGCLEAN},
    {"refreshTime", REPOSITORY_STATEFLAG_REFRESH},
    {"syncTime", REPOSITORY_STATEFLAG_SYNC},
    {"eraseTime", REPOSITORY_STATEFLAG_ERASE},
    {"stallTime", REPOSITORY_STATEFLAG_STALLED},
    {"aliveTime", REPOSITORY_STATEFLAG_ALIVE},
    {"pauseTime", REPOSITORY_STATEFLAG_PAUSED},
};

void Meters(Dictionary* dict, const char* prefix, MeterRW* meter) {
    uint64_t read = 0, write = 0;
    double readSpeed = 0, writeSpeed = 0, maxRead = 0, maxWrite = 0;
    MeterRW_GetOverallUsage(meter, &read, &write);
    MeterRW_GetCurrentBandwidth(meter, &readSpeed, &writeSpeed);
    MeterRW_GetMaxBandwidth(meter, &maxRead, &maxWrite);
    char key[64];
    const struct {
        const char* Name;
        double Value;
    } rows[] = {{"ReadBytes", (double)read}, {"WriteBytes", (double)write}, {"ReadSpeed", readSpeed},
                {"WriteSpeed", writeSpeed},  {"MaxReadSpeed", maxRead},     {"MaxWriteSpeed", maxWrite}};
    for (const auto& row : rows) {
        String_Print(key, (int32_t)sizeof(key), "%s%s", prefix, row.Name);
        if (strstr(row.Name, "Bytes"))
            Dictionary_SetInt64ByKey(dict, key, (int64_t)row.Value);
        else
            Dictionary_SetFloat64ByKey(dict, key, row.Value);
    }
}

int32_t Stat(StorageCopy* copy, int64_t (*get)(StorageCopy*, int32_t*)) {
    int32_t value = 0;
    get(copy, &value);
    return value;
}

Dictionary* Child(Dictionary* dict, const char* key) {
    Dictionary* child = nullptr;
    Dictionary_AddDictionary(dict, key, &child, nullptr);
    return child;
}

} // namespace

int64_t Repository_Dump(Repository* repository, Dictionary* dict) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    ASSERT_POINTER(dict);
    Repository* r = repository;
    char text[REPOSITORY_NAME_SIZE];
    uint32_t pending = 0;
    Dictionary_SetStringByKey(dict, "name", r->Name);
    Dictionary_SetInt64ByKey(dict, "actionFlags", r->ActionFlags);
    Dictionary_SetInt64ByKey(dict, "stateFlags", r->StateFlags);
    Repository_GetLocalId(r, text, (int32_t)sizeof(text));
    Dictionary_SetStringByKey(dict, "localId", text);
    Repository_GetRemoteId(r, text, (int32_t)sizeof(text));
    Dictionary_SetStringByKey(dict, "remoteId", text);
    Dictionary_SetInt64ByKey(dict, "deltaFailures", r->DeltaFailures);
    Repository_GetPendingRequests(r, &pending);
    Dictionary_SetInt64ByKey(dict, "pendingRequests", pending);
    for (const TimerKey& timer : kTimers) {
        double seconds = 0;
        Repository_StateTimerGet(r, timer.Flag, &seconds);
        Dictionary_SetFloat64ByKey(dict, timer.Key, seconds);
    }
    Dictionary* phases = nullptr;
    Dictionary_AddList(dict, "phases", &phases, nullptr);
    Dictionary_AddString(phases, nullptr, "copy", nullptr);
    if (r->Apply) Dictionary_AddString(phases, nullptr, "apply", nullptr);
    if (r->CleanupOn) Dictionary_AddString(phases, nullptr, "clean", nullptr);
    Dictionary_SetInt64ByKey(dict, "errorCount", r->ErrorCount);
    const char* errorKeys[] = {"lastErrorSource", "lastErrorIndex", "lastErrorType", "lastErrorCode",
                               "lastErrorCodeEx"};
    for (int i = 0; i < 5; ++i) Dictionary_SetInt64ByKey(dict, errorKeys[i], r->LastError[i]);
    Meters(dict, "local", r->LocalMeter);
    Meters(dict, "remote", r->RemoteMeter);
    StorageCopy* jobs[] = {r->Copy, r->ApplyJob};
    const int jobCount = r->Apply ? 2 : 1;
    int32_t sum[5] = {};
    for (int j = 0; j < 2; ++j) {
        sum[0] += j == 0 ? Stat(jobs[j], StorageCopy_GetPiecesTotal) : 0;
        sum[1] += j == 0 ? Stat(jobs[j], StorageCopy_GetPiecesSkipped) : 0;
        sum[2] += j == 0 ? Stat(jobs[j], StorageCopy_GetPiecesWritten) : 0;
        sum[3] += j == 0 ? Stat(jobs[j], StorageCopy_GetPiecesMasked) : 0;
        sum[4] += Stat(jobs[j], StorageCopy_GetPiecesComplete);
    }
    Dictionary_SetInt64ByKey(dict, "piecesTotal", sum[0]);
    Dictionary_SetInt64ByKey(dict, "piecesSkipped", sum[1]);
    Dictionary_SetInt64ByKey(dict, "piecesWritten", sum[2]);
    Dictionary_SetInt64ByKey(dict, "piecesMasked", sum[3]);
    Dictionary_SetInt64ByKey(dict, "piecesComplete", sum[4]);
    double total = 0;
    int counted = 0;
    for (int j = 0; j < jobCount; ++j) {
        double seconds = 0;
        if (StorageCopy_GetPieceAverageTime(jobs[j], &seconds) == 1) {
            total += seconds;
            counted++;
        }
    }
    Dictionary_SetFloat64ByKey(dict, "pieceAverageTime", counted ? total / counted : 0.0);
    MetaFile_Dump(r->LocalMeta, Child(dict, "localMetaFile"));
    MetaFile_Dump(r->RemoteMeta, Child(dict, "remoteMetaFile"));
    Alias_Dump(r->AliasDoc, Child(dict, "alias"));
    Catalog_Dump(r->CatalogDoc, Child(dict, "catalog"));
    StorageDelta_Dump(r->Delta, Child(dict, "delta"));
    StorageCopy_Dump(r->Copy, Child(dict, "copy"));
    StorageCopy_Dump(r->ApplyJob, Child(dict, "apply"));
    Dictionary* cleanup = Child(dict, "cleanup");
    double localRemaining = -1, pendingRemaining = -1;
    StorageCleanup_GetRemainingTime(r->LocalCleanup, &localRemaining);
    StorageCleanup_GetRemainingTime(r->PendingCleanup, &pendingRemaining);
    Dictionary_SetFloat64ByKey(cleanup, "remainingTime",
                               localRemaining > pendingRemaining ? localRemaining : pendingRemaining);
    int32_t itemsTotal = 0, itemsComplete = 0, n = 0;
    StorageCleanup_GetItemsTotal(r->LocalCleanup, &n);
    itemsTotal += n;
    StorageCleanup_GetItemsTotal(r->PendingCleanup, &n);
    itemsTotal += n;
    StorageCleanup_GetItemsComplete(r->LocalCleanup, &n);
    itemsComplete += n;
    StorageCleanup_GetItemsComplete(r->PendingCleanup, &n);
    itemsComplete += n;
    Dictionary_SetFloat64ByKey(cleanup, "progress",
                               itemsTotal > 0 ? (double)itemsComplete / itemsTotal : 0.0);
    StorageCleanup_Dump(r->LocalCleanup, Child(dict, "cleanupLocal"));
    StorageCleanup_Dump(r->PendingCleanup, Child(dict, "cleanupPending"));
    if (Storage_HasInterface(r->Local))
        Storage_Dump(r->Local, Child(dict, "local"));
    else
        Child(dict, "local");
    Dictionary* remote = nullptr;
    Dictionary_AddList(dict, "remote", &remote, nullptr);
    for (RepositoryRemote* m = r->Remotes; m; m = m->Next) {
        Dictionary* one = nullptr;
        Dictionary_AddDictionary(remote, nullptr, &one, nullptr);
        Storage_Dump(m->Member, one);
    }
    if (r->PendingConfigured)
        Storage_Dump(r->Pending, Child(dict, "pending"));
    else
        Child(dict, "pending");
    Dictionary* requests = nullptr;
    Dictionary_AddList(dict, "requests", &requests, nullptr);
    int32_t index = 0;
    for (RepositorySlot* slot = r->Slots; slot; slot = slot->Next, ++index) {
        Dictionary* one = nullptr;
        Dictionary_AddDictionary(requests, nullptr, &one, nullptr);
        // A slot never lent has no request yet: it reads as a new one would.
        uint32_t state = 0, allow = 1;
        if (slot->Request) {
            StorageRequest_GetState(slot->Request, &state);
            StorageRequest_GetAllowVCDiff(slot->Request, &allow);
        }
        Dictionary_SetBooleanByKey(one, "active", slot->Active);
        Dictionary_SetFloat64ByKey(one, "resumeTime", slot->ResumeTime);
        Dictionary_SetInt64ByKey(one, "index", index);
        Dictionary_SetInt64ByKey(one, "state", state);
        Dictionary_SetBooleanByKey(one, "allowVCDiff", allow);
    }
    return 1;
}

// ---- Script class -------------------------------------------------------------------------------

namespace {

constexpr uint32_t kSetActiveHash = 0x527be9ce;

int64_t ReleaseInstance(void** instance) {
    if (!instance || !*instance) return 0;
    Repository* r = static_cast<Repository*>(*instance);
    *instance = nullptr;
    return Repository_Release(&r);
}

} // namespace

int64_t BaseInterop_Init() {
    return 1;
}

int64_t BaseInterop_Remove() {
    return 1;
}

int64_t BaseInterop_SetOverride(const char*, void*) {
    return 1;
}

int64_t BaseInterop_SetOption(const char*, const char*) {
    return 1;
}

int64_t BaseInterop_CreateInstance(const char* className, char* id, int32_t, void*, InteropExecuteFunc,
                                   InteropInvokeFunc* invoke, InteropReleaseFunc* release,
                                   InteropProcessFunc* process, void** userContext) {
    ASSERT_POINTER(invoke);
    ASSERT_POINTER(release);
    ASSERT_POINTER(process);
    ASSERT_POINTER(userContext);
    *invoke = nullptr;
    *release = nullptr;
    *process = nullptr;
    *userContext = nullptr;
    if (!className || strcmp(className, "QVR.Repository") != 0) return 0;
    *invoke = Repository_Invoke;
    *release = ReleaseInstance;
    void* object = id ? Class_ConvertFromInstanceId(id) : nullptr;
    if (!object || !Repository_ValidHandle(static_cast<Repository*>(object))) {
        *invoke = nullptr;
        *release = nullptr;
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "Instance %s is not a type of %s\n",
                     id ? id : "", className);
        return 0;
    }
    Repository* r = static_cast<Repository*>(object);
    Repository_AddRef(r);
    *userContext = r;
    return 1;
}

int64_t Repository_Invoke(void* repository, Dictionary* request, Dictionary* response) {
    Repository* r = static_cast<Repository*>(repository);
    CLASS_CHECK(r, REPOSITORY_CLASS_ID);
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, "Repository", &method, &hash) || hash != kSetActiveHash) return 0;
    uint32_t active = 0;
    const bool read = ApiGen_GetBoolean(request, "Repository", method, "active", &active) == 1;
    const bool set = read && Repository_SetActive(r, active) == 1;
    if (response) Dictionary_SetBooleanByKey(response, "returnValue", set ? 1 : 0);
    return read ? 1 : 0;
}

int64_t Repository_RegisterInterop() {
    static const WorkflowAppInteropEntries kEntries = {BaseInterop_Init, BaseInterop_Remove, BaseInterop_CreateInstance,
                                                       BaseInterop_SetOverride, BaseInterop_SetOption};
    return WorkflowApp_SetRepositoryInterop(&kEntries);
}
