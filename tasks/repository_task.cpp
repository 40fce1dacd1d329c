// The RepositoryCheck, RepositorySync and RepositoryErase tasks: one repository driven on a worker
// thread of its own. Steps cross between the main thread and the worker only as events on the
// other thread's queue; the repository is touched on the worker, except while it waits for its
// configuration on the main thread.
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "core/certs/cert_store.h"
#include "core/formats/json.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/meter_rw.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/signal.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/analytics.h"
#include "core/web/web_get.h"
#include "core/linux/platform_error.h"
#include "repository/repository.h"
#include "tasks/repository_tasks.h"
#include "tasks/task_base.h"
#include "workflow/task_type.h"
#include "workflow/worker_task.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"

namespace {

constexpr int32_t kStatusTextSize = 320;
// Ten minutes without progress after an error: the remote or the disk is not coming back soon,
// and a task that waits for ever never tells its caller.
constexpr double kDefaultStallTimeout = 600;
// The progress shown until the final update: the single-precision 0.99, as the status always had.
constexpr double kProgressCap = (double)0.99f;

enum Phase { kCopy = 0, kApply = 1, kClean = 2 };
constexpr const char* kPhaseKeys[3] = {"copy", "apply", "clean"};
constexpr const char* kWeightKeys[3] = {kAppConfigRepositoryCopyWeight, kAppConfigRepositoryApplyWeight,
                                        kAppConfigRepositoryCleanWeight};
constexpr float kDefaultWeights[3] = {0.8f, 0.12f, 0.08f};

struct PhaseRecord {
    char Status[kStatusTextSize];
    double Weight;
};

struct RepositoryTask {
    TaskBase Head;
    Repository* Repo;
    char RepoId[40];
    // The worker's queue, taken when the work starts.
    EventQueue* Queue;
    Dictionary* Config;
    Dictionary* Scratch;
    Dictionary* Status;
    uint32_t OutOfDateSeen;
    uint32_t Erase;
    uint32_t CheckMode;
    std::atomic<uint32_t> StatusChanged;
    // Whether the task holds a stall's errors, mirrored for the worker: the errors themselves
    // live on the main thread.
    std::atomic<uint32_t> StallErrors;
    double StallTimeout;
    double NextStatusTime;
    PhaseRecord Phases[3];
    // The last line of a task whose work a permanent error ended.
    char FailureText[1400];
};

RepositoryTask* Self(void* user) {
    return static_cast<RepositoryTask*>(user);
}

// Events carry the instance; the few that need more carry it in the payload.
struct ConfigPayload {
    Signal* Done;
};

void Post(EventQueue* queue, RepositoryTask* self, EventQueueCallback callback, const void* payload = nullptr,
          uint32_t size = 0) {
    EventQueue_Add(queue, self, payload, size, callback);
}

void PostToMain(RepositoryTask* self, EventQueueCallback callback, const void* payload = nullptr,
                uint32_t size = 0) {
    Post(nullptr, self, callback, payload, size);
}

void PostToWorker(RepositoryTask* self, EventQueueCallback callback, const void* payload = nullptr,
                  uint32_t size = 0) {
    if (self->Queue) Post(self->Queue, self, callback, payload, size);
}

bool BooleanArgument(Task* task, const char* key, uint32_t defaultValue) {
    uint32_t value = defaultValue;
    if (Task_HasArgument(task, key)) Task_GetBooleanArgument(task, key, &value);
    return value != 0;
}

void FireWithCheck(RepositoryTask* self, const char* name, bool check) {
    NotificationCenter_FireWithJSON("Repository", name, self->RepoId, "{\"check\": %s}", check ? "true" : "false");
}

// ---- Errors --------------------------------------------------------------------------------------

const char* TranslateSource(uint32_t code) {
    return Repository_TranslateSource((int32_t)code);
}
const char* TranslateRequestType(uint32_t code) {
    return WebGet_TranslateRequestType((int32_t)code);
}
const char* TranslateWebGetError(uint32_t code) {
    return WebGet_TranslateError((int32_t)code);
}
const char* TranslatePlatformError(uint32_t code) {
    return Platform_TranslateError((PlatformErrorCode)code);
}

void AddErrorFromRepository(RepositoryTask* self) {
    int32_t source = 0, index = 0, type = 0, code = 0, codeEx = 0;
    Repository_GetLastError(self->Repo, &source, &index, &type, &code, &codeEx);
    Task* task = self->Head.Owner;
    Task_AddErrorFromTranslate(task, "Repository_ErrorSource", (uint32_t)source, TranslateSource);
    Task_AddErrorFromTranslate(task, "Repository_ErrorType", (uint32_t)type, TranslateRequestType);
    if (code > 0) {
        Task_AddErrorFromTranslate(task, "WebGet_Error", (uint32_t)code, TranslateWebGetError);
        if (code == 964) Task_AddErrorFromTranslate(task, "Platform_Error", (uint32_t)codeEx, TranslatePlatformError);
    }
}

// ---- Status --------------------------------------------------------------------------------------

double Number(Dictionary* dict, const char* key, double defaultValue) {
    double value = defaultValue;
    if (dict && Dictionary_ContainsKey(dict, key)) Dictionary_GetFloat64ByKey(dict, key, &value);
    return value;
}

Dictionary* Child(Dictionary* dict, const char* key) {
    Dictionary* child = nullptr;
    uint32_t type = 0;
    if (dict && Dictionary_GetTypeByKey(dict, key, &type) && type == DICTIONARY_TYPE_DICTIONARY)
        Dictionary_GetDictionaryByKey(dict, key, &child);
    return child;
}

// The share of one phase that is done, and its status text while it runs.
double PhaseDone(RepositoryTask* self, Phase phase, bool complete, bool running, const char* dumpKey) {
    const PhaseRecord& record = self->Phases[phase];
    if (complete) return record.Weight;
    if (!running) return 0;
    if (record.Status[0]) Dictionary_SetStringByKey(self->Scratch, "status", record.Status);
    return record.Weight * Number(Child(self->Scratch, dumpKey), "progress", 0);
}

void UpdateStatus(RepositoryTask* self, bool final) {
    const double now = Time_GetCurrent();
    if (!final && now < self->NextStatusTime) return;
    Dictionary* scratch = self->Scratch;
    Dictionary_SetStringByKey(scratch, "task", self->Head.TaskId);
    Repository_Dump(self->Repo, scratch);
    uint32_t state = 0, action = 0;
    Repository_GetStateFlags(self->Repo, &state);
    Repository_GetActionFlags(self->Repo, &action);

    double total = 0, done = 0;
    if (!self->Erase) {
        uint32_t apply = 0, cleanup = 0;
        Repository_GetApply(self->Repo, &apply);
        Repository_GetCleanup(self->Repo, &cleanup);
        total = self->Phases[kCopy].Weight + (apply == 1 ? self->Phases[kApply].Weight : 0) +
                (cleanup == 1 ? self->Phases[kClean].Weight : 0);
        done += PhaseDone(self, kCopy, Repository_IsCopyComplete(self->Repo) != 0,
                          (state & REPOSITORY_STATEFLAG_COPY) != 0, "copy");
        done += PhaseDone(self, kApply, Repository_IsApplyComplete(self->Repo) != 0,
                          (state & REPOSITORY_STATEFLAG_APPLY) != 0, "apply");
    } else {
        total = self->Phases[kClean].Weight;
    }
    done += PhaseDone(self, kClean, Repository_IsCleanupComplete(self->Repo) == 1,
                      (state & (REPOSITORY_STATEFLAG_LOCALCLEAN | REPOSITORY_STATEFLAG_PENDINGCLEAN)) != 0,
                      "cleanup");

    // Bytes and time from the last job with figures of its own: a job that has nothing to do (no
    // total, or 0) keeps those of the job before it, so an idle apply never shows a finished copy
    // as 0 bytes complete.
    double bytesTotal = 0, bytesComplete = 0, bytesRemaining = 0, remainingTime = -1.0;
    bool figures = false;
    for (const char* key : {"copy", "apply"}) {
        Dictionary* job = Child(scratch, key);
        if (!job) continue;
        const double jobTotal = Number(job, "bytesTotal", 0);
        if (figures && !(jobTotal > 0)) continue;
        bytesTotal = jobTotal;
        bytesComplete = Number(job, "bytesComplete", 0);
        bytesRemaining = Number(job, "bytesRemaining", 0);
        remainingTime = Number(job, "remainingTime", remainingTime);
        figures = jobTotal > 0;
    }
    if (Dictionary* cleanup = Child(scratch, "cleanup")) remainingTime = Number(cleanup, "remainingTime", remainingTime);

    double progress;
    if (final && !Task_IsCancelled(self->Head.Owner)) {
        progress = 1.0;
    } else {
        progress = total > 0 ? done / total : 0;
        if (progress > kProgressCap) progress = kProgressCap;
    }
    Dictionary_SetBooleanByKey(scratch, "paused", (state & REPOSITORY_STATEFLAG_PAUSED) != 0);
    Dictionary_SetBooleanByKey(scratch, "active", (action & REPOSITORY_ACTION_ACTIVE) != 0);
    Dictionary_SetBooleanByKey(scratch, "canPauseResume",
                               (state & (REPOSITORY_STATEFLAG_PAUSED | REPOSITORY_STATEFLAG_SYNC)) != 0);
    Dictionary_SetFloat64ByKey(scratch, "progress", progress);
    Dictionary_SetInt64ByKey(scratch, "totalBytes", (int64_t)bytesTotal);
    Dictionary_SetInt64ByKey(scratch, "completeBytes", (int64_t)bytesComplete);
    Dictionary_SetInt64ByKey(scratch, "remainingBytes", (int64_t)bytesRemaining);
    Dictionary_SetFloat64ByKey(scratch, "remainingTime", remainingTime);
    Dictionary_SetBooleanByKey(scratch, "supportResume", 1);
    Dictionary_SetBooleanByKey(scratch, "supportPause", 1);

    Dictionary_Sync(self->Status, scratch, nullptr, nullptr);
    if (self->StatusChanged.exchange(0))
        NotificationCenter_FireAfterDelay("Repository", "Status", self->RepoId, 0, self->Status);
    self->NextStatusTime = now + 1.0;
    Dictionary_Reset(scratch);
}

int64_t OnStatusRemoved(Dictionary*, DictionaryItem*, void* context, const char*) {
    Self(context)->StatusChanged = 1;
    return 1;
}
int64_t OnStatusKeyChanged(Dictionary*, DictionaryItem*, void* context, const char*, const char*) {
    Self(context)->StatusChanged = 1;
    return 1;
}
int64_t OnStatusValueChanged(Dictionary*, DictionaryItem*, void* context, const char*, const char*, uint32_t) {
    Self(context)->StatusChanged = 1;
    return 1;
}

void WatchStatus(RepositoryTask* self, bool on) {
    void* context = on ? self : nullptr;
    Dictionary_SetItemRemoveCallback(self->Status, context, on ? OnStatusRemoved : nullptr);
    Dictionary_SetItemKeyChangeCallback(self->Status, context, on ? OnStatusKeyChanged : nullptr);
    Dictionary_SetItemValueChangeCallback(self->Status, context, on ? OnStatusValueChanged : nullptr);
}

// ---- Worker-side steps -------------------------------------------------------------------------

void Thread_Shutdown(void* instance, void*) {
    Repository_Shutdown(Self(instance)->Repo);
}

void Thread_Start(void* instance, void*) {
    RepositoryTask* self = Self(instance);
    Repository_Reset(self->Repo);
    Repository_SetCatalog(self->Repo, self->CheckMode ? 0 : 1);
    Repository_SetActive(self->Repo, 1);
    if (self->Erase)
        Repository_SetErase(self->Repo, 1);
    else
        Repository_SetRefresh(self->Repo, 1);
}

void Thread_SyncStart(void* instance, void* payload) {
    RepositoryTask* self = Self(instance);
    uint32_t repair = 0;
    memcpy(&repair, payload, sizeof(repair));
    if (!repair) {
        uint32_t state = 0;
        Repository_GetStateFlags(self->Repo, &state);
        if (!(state & (REPOSITORY_STATEFLAG_INSTALL | REPOSITORY_STATEFLAG_UPDATE))) {
            Repository_Shutdown(self->Repo);
            return;
        }
    }
    Repository_SetDelta(self->Repo, repair ? 0 : 1);
    Repository_SetMask(self->Repo, repair ? 0 : 1);
    Repository_SetSync(self->Repo, 1);
}

void Thread_SetActive(void* instance, void* payload) {
    RepositoryTask* self = Self(instance);
    uint32_t on = 0;
    memcpy(&on, payload, sizeof(on));
    if (self->Repo) Repository_SetActive(self->Repo, on);
}

// ---- Main-thread steps -------------------------------------------------------------------------

void Main_AddRepositoryError(void* instance, void*) {
    AddErrorFromRepository(Self(instance));
}

void Main_Refresh(void* instance, void*) {
    RepositoryTask* self = Self(instance);
    if (self->CheckMode) {
        PostToWorker(self, Thread_Shutdown);
        return;
    }
    const uint32_t repair = BooleanArgument(self->Head.Owner, "repair", 0) ? 1 : 0;
    PostToWorker(self, Thread_SyncStart, &repair, sizeof(repair));
}

// A copy of `source` under `key` of `target`.
void AddCopy(Dictionary* target, const char* key, Dictionary* source) {
    Dictionary* child = nullptr;
    if (source && Dictionary_AddDictionary(target, key, &child, nullptr) && child)
        Dictionary_Merge(child, source, DICTIONARY_MERGE_OVERWRITE);
}

void Main_Stall(void* instance, void*) {
    RepositoryTask* self = Self(instance);
    Task* task = self->Head.Owner;
    AddErrorFromRepository(self);
    self->StallErrors = 1;
    uint32_t isPrivate = 0;
    Task_GetPrivate(task, &isPrivate);
    if (isPrivate) return;
    Dictionary* info = nullptr;
    if (!Dictionary_Create(&info)) return;
    Dictionary* arguments = nullptr;
    if (Dictionary_AddDictionary(info, "arguments", &arguments, nullptr) && arguments) {
        if (Dictionary* definition = Task_GetDictionaryHandle(task))
            Dictionary_Merge(arguments, definition, DICTIONARY_MERGE_OVERWRITE);
        Task_ExpandDictionary(task, arguments);
    }
    AddCopy(info, "status", Task_GetStatusDictionaryHandle(task));
    Dictionary* analytics = nullptr;
    if (Workflow_GetAnalyticsDictionaryHandle(Task_GetWorkflowHandle(task), &analytics)) AddCopy(info, "analytics", analytics);
    Analytics_SendEvent("RepositorySyncStalled", info);
    Dictionary_Release(&info);
}

void Main_Unstall(void* instance, void*) {
    Task_ClearErrors(Self(instance)->Head.Owner);
    Self(instance)->StallErrors = 0;
}

void Main_Config(void* instance, void* payload) {
    RepositoryTask* self = Self(instance);
    ConfigPayload config;
    memcpy(&config, payload, sizeof(config));
    Task* task = self->Head.Owner;
    Dictionary_Reset(self->Config);
    Dictionary* appConfig = nullptr;
    if (WorkflowApp_GetConfigHandle(&appConfig) && appConfig)
        Dictionary_Merge(self->Config, appConfig, DICTIONARY_MERGE_OVERWRITE);
    Repository_SetConfigHandle(self->Repo, self->Config);
    MeterRW *engine = nullptr, *own = nullptr;
    if (WorkflowApp_GetLocalMeterRWHandle(&engine) && Repository_LocalGetMeterRWHandle(self->Repo, &own) && own)
        MeterRW_SetParentHandle(own, engine);
    engine = own = nullptr;
    if (WorkflowApp_GetRemoteMeterRWHandle(&engine) && Repository_RemoteGetMeterRWHandle(self->Repo, &own) && own)
        MeterRW_SetParentHandle(own, engine);
    self->NextStatusTime = Time_GetCurrent();
    Dictionary* definition = nullptr;
    bool ok = false;
    if (Dictionary_Create(&definition)) {
        if (Dictionary* source = Task_GetDictionaryHandle(task))
            Dictionary_Merge(definition, source, DICTIONARY_MERGE_OVERWRITE);
        Task_ExpandDictionary(task, definition);
        ok = Repository_SetConfigDictionaryHandle(self->Repo, definition) != 0;
        Dictionary_Release(&definition);
    }
    if (ok)
        PostToWorker(self, Thread_Start);
    else
        PostToWorker(self, Thread_Shutdown);
    Signal_Set(config.Done, 1);
}

// ---- State changes, on the worker ----------------------------------------------------------------

bool Rose(uint32_t oldFlags, uint32_t newFlags, uint32_t flag) {
    return !(oldFlags & flag) && (newFlags & flag);
}
bool Fell(uint32_t oldFlags, uint32_t newFlags, uint32_t flag) {
    return (oldFlags & flag) && !(newFlags & flag);
}

void Thread_StateFlagChange(Repository* repo, void* user, uint32_t oldFlags, uint32_t newFlags) {
    RepositoryTask* self = Self(user);
    uint32_t action = 0;
    Repository_GetActionFlags(repo, &action);
    if (action & REPOSITORY_ACTION_SHUTDOWN) return;
    if (Fell(oldFlags, newFlags, REPOSITORY_STATEFLAG_REFRESH)) {
        if (!(newFlags & REPOSITORY_STATEFLAG_CATALOG)) {
            Repository_Shutdown(repo);
            return;
        }
        PostToMain(self, Main_Refresh);
    }
    for (uint32_t flag : {REPOSITORY_STATEFLAG_INSTALL, REPOSITORY_STATEFLAG_UPDATE}) {
        if (Rose(oldFlags, newFlags, flag)) {
            self->OutOfDateSeen = 1;
            FireWithCheck(self, "OutOfDate", self->CheckMode != 0);
        }
    }
    if (Fell(oldFlags, newFlags, REPOSITORY_STATEFLAG_SYNC)) Repository_Shutdown(repo);
    if (Fell(oldFlags, newFlags, REPOSITORY_STATEFLAG_ERASE)) Repository_Shutdown(repo);
    if (Rose(oldFlags, newFlags, REPOSITORY_STATEFLAG_STALLED)) PostToMain(self, Main_Stall);
    if (Fell(oldFlags, newFlags, REPOSITORY_STATEFLAG_STALLED)) PostToMain(self, Main_Unstall);
}

// ---- Observers -----------------------------------------------------------------------------------

int64_t OnPauseResume(void* user, const char*, const char* name, const char*, Dictionary*) {
    RepositoryTask* self = Self(user);
    if (!self->Repo) return 1;
    const uint32_t on = strcmp(name, "Resume") == 0 ? 1 : 0;
    PostToWorker(self, Thread_SetActive, &on, sizeof(on));
    return 1;
}

int64_t OnRepositoryStatus(void* user, const char*, const char*, const char*, Dictionary* info) {
    RepositoryTask* self = Self(user);
    if (info) Task_SetStatusWithDictionary(self->Head.Owner, info);
    return 1;
}

void ObserveRepository(RepositoryTask* self, bool on) {
    for (const char* name : {"Pause", "Resume"}) {
        if (on)
            NotificationCenter_AddInstanceObserver("Repository", name, self->RepoId, self, OnPauseResume);
        else
            NotificationCenter_RemoveInstanceObserver("Repository", name, self->RepoId, self, OnPauseResume);
    }
    if (on)
        NotificationCenter_AddInstanceObserver("Repository", "Status", self->RepoId, self, OnRepositoryStatus);
    else
        NotificationCenter_RemoveInstanceObserver("Repository", "Status", self->RepoId, self, OnRepositoryStatus);
}

// ---- The worker --------------------------------------------------------------------------------

int64_t PrintThroughTask(void* user, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Task_VPrint(Self(user)->Head.Owner, 0, format, args);
    va_end(args);
    return result;
}

// The task fails with the error that ended the repository's work, and the work stops.
void TellFailure(RepositoryTask* self, WorkerTask* worker) {
    char text[96];
    int32_t source = 0;
    Repository_GetLastError(self->Repo, &source, nullptr, nullptr, nullptr, nullptr);
    String_Print(text, (int32_t)sizeof(text), "Repository_ErrorSource_%s", Repository_TranslateSource(source));
    PostToMain(self, Main_AddRepositoryError);
    WorkerTask_SetError(worker, text);
    Repository_Shutdown(self->Repo);
}

// What the run's outcome names as the cause of a failed task: its last line, printed on the main
// thread after the repository's errors were added there, so that no line of theirs comes after it.
// The worker writes the text before it posts the event and never again.
void Main_SayFailure(void* instance, void*) {
    Task_Print(Self(instance)->Head.Owner, "%s", Self(instance)->FailureText);
}

void SayFailure(RepositoryTask* self) {
    int32_t source = 0, code = 0, codeEx = 0;
    Repository_GetLastError(self->Repo, &source, nullptr, nullptr, &code, &codeEx);
    char name[REPOSITORY_NAME_SIZE];
    Repository_GetName(self->Repo, name, (int32_t)sizeof(name));
    char reason[160];
    if (code == WEBGET_ERROR_JSON)
        String_Print(reason, (int32_t)sizeof(reason), "%s refused (%s)", WebGet_TranslateError(code),
                     JSON_TranslateError((uint32_t)codeEx));
    else if (code != 964 || !Platform_GetErrorString((PlatformErrorCode)codeEx, reason, (int32_t)sizeof(reason)))
        String_Print(reason, (int32_t)sizeof(reason), "%s", WebGet_TranslateError(code));
    // A refused manifest is named by its address: the same name may be asked for in several places.
    char url[1024] = {};
    if (source == REPOSITORY_SOURCE_METAFILE_REMOTE) Repository_GetRemoteMetaFileUrl(self->Repo, url, (int32_t)sizeof(url));
    String_Print(self->FailureText, (int32_t)sizeof(self->FailureText), "%s failed (%s): %s (%s%s%s)",
                 self->Erase ? "Erase" : self->CheckMode ? "Check" : "Synchronize", name, reason,
                 Repository_TranslateSource(source), url[0] ? " " : "", url);
    PostToMain(self, Main_SayFailure);
}

// Waits for the main thread's configuration step; a thread told to exit stops waiting.
bool WaitForConfiguration(Signal* done) {
    for (;;) {
        uint32_t signalled = 0;
        Signal_Wait(done, &signalled, 50);
        if (signalled) return true;
        if (Thread_WaitForExit(0)) return false;
    }
}

void Thread_OnWork(WorkerTask* worker, void* user) {
    RepositoryTask* self = Self(user);
    Repository* repo = self->Repo;
    if (self->Queue) EventQueue_Release(&self->Queue);
    self->Queue = Thread_GetCurrentEventQueueHandle();
    Repository_SetThreadId(repo, Thread_GetCurrentId());
    Repository_SetEventQueueHandle(repo, self->Queue);

    Signal* done = nullptr;
    Signal_Create(&done);
    const ConfigPayload config = {done};
    PostToMain(self, Main_Config, &config, sizeof(config));
    const bool configured = WaitForConfiguration(done);
    Signal_Delete(&done);
    if (!configured) Repository_Shutdown(repo);

    Repository_SetStateFlagChangeCallback(repo, self, Thread_StateFlagChange);
    ObserveRepository(self, true);
    WatchStatus(self, true);
    bool failureTold = false;
    for (;;) {
        Thread_Wait(1);
        Thread_Tick();
        Repository_Process(repo);
        // An error no retry mends fails the task now, not at a stall time-out, whatever else ended
        // the work meanwhile (its phase ending, a shutdown asked for before it came).
        if (!failureTold && Repository_IsFailed(repo)) {
            failureTold = true;
            TellFailure(self, worker);
        }
        if (Repository_IsShutdown(repo)) break;
        UpdateStatus(self, false);
        uint32_t action = 0;
        Repository_GetActionFlags(repo, &action);
        if (action & REPOSITORY_ACTION_SHUTDOWN) continue;
        if (self->CheckMode) {
            if (self->StallErrors.load()) {
                Repository_Print(repo, "Maximum timeout reached for check");
                PostToMain(self, Main_AddRepositoryError);
                Repository_Shutdown(repo);
            }
        } else if (self->StallTimeout > 0) {
            const double stalled = Number(self->Status, "stallTime", 0);
            if (stalled > 0 && stalled > self->StallTimeout) {
                WorkerTask_SetError(worker, "RepositorySync_Error_StallTimeout");
                Repository_Shutdown(repo);
            }
        }
    }
    UpdateStatus(self, true);
    if (failureTold) SayFailure(self);
    int32_t source = 0;
    Repository_GetLastError(repo, &source, nullptr, nullptr, nullptr, nullptr);
    if (source == REPOSITORY_SOURCE_CONFIG) WorkerTask_SetError(worker, "Repository_ErrorSource_Config");

    NotificationCenter_Fire("Repository", "Shutdown", self->RepoId, nullptr);
    ObserveRepository(self, false);
    WatchStatus(self, false);
    Repository_SetStateFlagChangeCallback(repo, nullptr, nullptr);
    Repository_SetConfigHandle(repo, nullptr);
    // Nothing may run on this thread's queue for the task once the work has ended.
    EventQueue_RemoveInstance(self->Queue, self);
    EventQueue_Release(&self->Queue);
}

// ---- Main thread: start, cancel, completion ---------------------------------------------------

double ConfiguredWeight(int32_t phase) {
    char text[64];
    double weight = 0;
    // A setting that holds no number keeps the default rather than weighing nothing.
    if (WorkflowApp_GetConfig(kWeightKeys[phase], "", text, sizeof(text)) &&
        String_ParseNumber(text, strlen(text), &weight, nullptr))
        return weight;
    return (double)kDefaultWeights[phase];
}

// The first "metafile" or "path" of the definition's tree (the manifest, the local storage, each
// file storage) that names a location nobody named or a refused folder, refused as a task's path
// argument is, by its place in the definition ("local.path"). The repository would otherwise take
// it relative to the current folder, or retry a stall that no retry mends.
bool RefusedLocation(TaskBase* base, Dictionary* tree, Dictionary* root) {
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(tree, &item); item; Dictionary_ItemGetNext(tree, item, &item)) {
        Dictionary* child = nullptr;
        if (Dictionary_ItemGetDictionaryHandle(tree, item, &child) && child) {
            if (RefusedLocation(base, child, root)) return true;
            continue;
        }
        const char* key = nullptr;
        const char* text = nullptr;
        if (!Dictionary_ItemGetKeyPtr(tree, item, &key) || !key ||
            (strcmp(key, "metafile") != 0 && strcmp(key, "path") != 0) ||
            !Dictionary_ItemGetStringPtr(tree, item, &text) || !text)
            continue;
        char place[256] = "";
        if (!Dictionary_ItemGetPath(tree, item, root, place, (int32_t)sizeof(place))) String_CopyLength(place, key, sizeof(place));
        if (TaskBase_RefuseLocation(base, place, text)) return true;
    }
    return false;
}

uint32_t OnWorkerStart(WorkerTask*, void* user) {
    RepositoryTask* self = Self(user);
    Task* task = self->Head.Owner;
    Dictionary* definition = nullptr;
    if (Dictionary_Create(&definition)) {
        Dictionary_Merge(definition, Task_GetDictionaryHandle(task), DICTIONARY_MERGE_OVERWRITE);
        Task_ExpandDictionary(task, definition);
        const bool refused = RefusedLocation(&self->Head, definition, definition);
        Dictionary_Release(&definition);
        if (refused) return 0;
    }
    const char* type = Task_GetType(task);
    self->Erase = type && String_CompareWithoutCase(type, "RepositoryErase") == 1;
    self->CheckMode = (type && String_CompareWithoutCase(type, "RepositoryCheck") == 1) || BooleanArgument(task, "check", 0);
    self->OutOfDateSeen = 0;
    Dictionary* phases = Child(Task_GetDictionaryHandle(task), "phases");
    for (int32_t i = 0; i < 3; i++) {
        PhaseRecord& record = self->Phases[i];
        record.Weight = ConfiguredWeight(i);
        record.Status[0] = 0;
        if (Dictionary* phase = Child(phases, kPhaseKeys[i])) {
            Dictionary_GetStringByKey(phase, "status", record.Status, sizeof(record.Status));
            record.Weight = Number(phase, "weight", record.Weight);
        }
    }
    double stallTime = self->CheckMode ? 60 : 30;
    // A stall is waited out for a bounded time unless the task says otherwise (0: no limit).
    self->StallTimeout = kDefaultStallTimeout;
    if (!TaskBase_NumberArgument(&self->Head, "stallTime", &stallTime) ||
        !TaskBase_NumberArgument(&self->Head, "stallTimeout", &self->StallTimeout))
        return 0;
    Repository_SetStallTime(self->Repo, stallTime);
    Repository_SetAuthenticate(self->Repo, Task_HasArgument(task, "store") ? 1 : 0);
    CertStoreList* list = nullptr;
    if (Task_GetCertStoreListHandle(task, &list) && list) {
        CertStoreInterface* store = CertStoreList_GetInterfaceHandle(list);
        Repository_SetCertStoreHandle(self->Repo, store);
        CertStoreInterface_Release(&store);
    }
    return 1;
}

uint32_t OnCancel(WorkerTask*, void* user) {
    RepositoryTask* self = Self(user);
    Task_AddError(self->Head.Owner, "Task_Error_Cancelled");
    if (BooleanArgument(self->Head.Owner, "allowPartial", 1)) PostToWorker(self, Thread_Shutdown);
    return 1;
}

void OnWorkerSuccess(TaskBase* base) {
    RepositoryTask* self = Self(base);
    Task* task = base->Owner;
    uint32_t errors = 0;
    Task_GetErrorCount(task, &errors);
    if (self->CheckMode) {
        if (errors) {
            Task_Complete(task, nullptr);
            return;
        }
        int64_t state = 0;
        Dictionary_GetInt64ByKey(self->Status, "stateFlags", &state);
        const char* word = "upToDate";
        if (state & REPOSITORY_STATEFLAG_INSTALL)
            word = "install";
        else if (state & REPOSITORY_STATEFLAG_UPDATE)
            word = "update";
        else
            FireWithCheck(self, "UpToDate", true);
        TaskBase_RunOutcome(base, word);
        return;
    }
    if (!errors && self->OutOfDateSeen) FireWithCheck(self, "UpToDate", false);
    Task_Complete(task, nullptr);
}

int64_t Init(TaskBase* base) {
    RepositoryTask* self = Self(base);
    Task_SetDelayedCancel(base->Owner, 1);
    if (!Dictionary_Create(&self->Config) || !Dictionary_Create(&self->Scratch) || !Dictionary_Create(&self->Status))
        return 0;
    Dictionary_SetCaseSensitive(self->Config, 0);
    if (!Repository_Create(&self->Repo)) return 0;
    Repository_GetInstanceId(self->Repo, self->RepoId, sizeof(self->RepoId));
    Repository_SetPrintCallback(self->Repo, self, PrintThroughTask);
    TaskBase_AddTaskObserver(base, "Task", "Pause", OnPauseResume);
    TaskBase_AddTaskObserver(base, "Task", "Resume", OnPauseResume);
    return 1;
}

void Free(TaskBase* base) {
    RepositoryTask* self = Self(base);
    if (self->Repo) Repository_Release(&self->Repo);
    if (self->Queue) EventQueue_Release(&self->Queue);
    Dictionary_Release(&self->Config);
    Dictionary_Release(&self->Scratch);
    Dictionary_Release(&self->Status);
}

const TaskBaseType kRepositoryTaskType = {.ClassId = REPOSITORYTASK_CLASS_ID,
                                          .Size = sizeof(RepositoryTask),
                                          .OnWorkerStart = OnWorkerStart,
                                          .Thread_OnWork = Thread_OnWork,
                                          .OnCancel = OnCancel,
                                          .OnWorkerSuccess = OnWorkerSuccess,
                                          .Init = Init,
                                          .Free = Free};

} // namespace

int64_t RepositoryTask_Create(void** instance, Task* task) {
    return TaskBase_CreateWorker(instance, task, &kRepositoryTaskType);
}

int64_t RepositoryTask_AddRef(void* instance) {
    return TaskBase_AddRef(instance);
}

int64_t RepositoryTask_Release(void** instance) {
    return TaskBase_Release(instance);
}

const TaskInterface RepositoryCheck_Interface = {"RepositoryCheck", RepositoryTask_Create, RepositoryTask_AddRef,
                                                 RepositoryTask_Release};
const TaskInterface RepositorySync_Interface = {"RepositorySync", RepositoryTask_Create, RepositoryTask_AddRef,
                                                RepositoryTask_Release};
const TaskInterface RepositoryErase_Interface = {"RepositoryErase", RepositoryTask_Create, RepositoryTask_AddRef,
                                                 RepositoryTask_Release};

int64_t RepositoryTasks_Register() {
    Repository_RegisterInterop();
    TaskType_RegisterDefault(&RepositoryCheck_Interface);
    TaskType_RegisterDefault(&RepositorySync_Interface);
    TaskType_RegisterDefault(&RepositoryErase_Interface);
    TaskType_RegisterDefault(&RepositoryFileCheck_Interface);
    return 1;
}
