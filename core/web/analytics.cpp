// The analytics event queue: builds each event's information when it is queued, posts the queue
// oldest first in batches over the module's own connection and keeps every event until a post
// that carried it succeeds.
#include "core/web/analytics.h"

#include <atomic>
#include <cstring>

#include "core/formats/json.h"
#include "core/linux/platform_facts.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/time.h"
#include "core/web/web_get.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_header.h"
#include "core/web/web_get_request.h"

namespace {

struct AnalyticsEvent {
    uint32_t ClassId;
    Dictionary* Info;
    uint32_t Sent;     // part of the post in flight
    uint32_t Attempts; // batches that carried it
    uint32_t Size;     // estimated JSON size of its information
    AnalyticsEvent* Next;
    AnalyticsEvent* Prev;
};

struct GlobalAnalytics {
    Class Header;
    uint32_t Enabled;
    uint32_t CrashDump;
    int32_t SendInterval;
    double NextPostTime;
    double RetryTime;
    int32_t RetryCount;
    uint32_t MaxEvents;
    uint32_t MaxSendEvents;
    char EndPoint[ANALYTICS_END_POINT_SIZE];
    char Key[ANALYTICS_TEXT_SIZE];
    char MachineId[ANALYTICS_TEXT_SIZE];
    char SessionId[ANALYTICS_TEXT_SIZE];
    char CrashAppId[ANALYTICS_TEXT_SIZE];
    Dictionary* Global;
    AnalyticsEvent* Head;
    AnalyticsEvent* Tail;
    uint32_t Count;
    Pool* Nodes;
    Dictionary* Batch;
    JSON* Writer;
    uint8_t* PostBuffer;
    uint32_t PostCapacity;
    uint32_t PostSize;
    WebGetConnection* Connection;
    WebGetRequest* Request;
    uint32_t DumpBatches;
    uint32_t OverflowLogged;
    int32_t LastStatus; // HTTP status of the last settled post (the request is reset after it)
};

GlobalAnalytics* g_analytics = nullptr;
std::atomic<AnalyticsClockFunc> g_clock{nullptr};

// No end point is known for this platform yet: without one (or without a key) nothing is queued.
constexpr const char* kDefaultEndPoint = "";
constexpr const char* kMachineIdMacro = "{SHA1:{Lower:{MACAddress}{DiskSerial:{SystemDirectory}}}}";

double Now() {
    AnalyticsClockFunc fn = g_clock.load();
    return fn ? fn() : Time_GetCurrent();
}

bool Configured(const GlobalAnalytics* a) {
    return a->Enabled && a->Key[0] != 0 && a->EndPoint[0] != 0;
}

bool IsEmpty(Dictionary* dict) {
    uint32_t count = 0;
    return !dict || !Dictionary_ItemGetCount(dict, &count) || count == 0;
}

uint32_t EstimateSize(Dictionary* dict) {
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, dict);
    JSON_SetMinify(json, 1);
    uint32_t length = 0;
    if (!JSON_SaveBufferEstimate(json, &length)) length = 0;
    JSON_Release(&json);
    return length;
}

// Loads JSON text that must be one object; its members go into a new dictionary.
int64_t LoadObject(const char* text, uint32_t length, Dictionary** out) {
    *out = nullptr;
    Dictionary* root = nullptr;
    Dictionary_Create(&root);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, root);
    int64_t ok = JSON_LoadBuffer(json, text, length);
    JSON_Release(&json);
    DictionaryItem* item = nullptr;
    uint32_t count = 0;
    Dictionary* object = nullptr;
    if (ok) {
        Dictionary_ItemGetCount(root, &count);
        Dictionary_ItemGetFirst(root, &item);
        if (count != 1 || !item || !Dictionary_ItemCompareType(root, item, DICTIONARY_TYPE_DICTIONARY) ||
            !Dictionary_ItemGetDictionaryHandle(root, item, &object) || !object) {
            Log_Error("Analytics event information is not a JSON object\n");
            ok = 0;
        }
    }
    if (ok) {
        Dictionary_Create(out);
        Dictionary_Merge(*out, object, DICTIONARY_MERGE_OVERWRITE);
    }
    Dictionary_Release(&root);
    return ok;
}

void Unlink(GlobalAnalytics* a, AnalyticsEvent* event) {
    if (event->Prev) event->Prev->Next = event->Next;
    else a->Head = event->Next;
    if (event->Next) event->Next->Prev = event->Prev;
    else a->Tail = event->Prev;
    event->Next = event->Prev = nullptr;
    a->Count--;
}

void FreeEvent(GlobalAnalytics* a, AnalyticsEvent* event) {
    Dictionary_Release(&event->Info);
    event->ClassId = 0;
    Pool_Free(a->Nodes, &event, sizeof(AnalyticsEvent));
}

void DropAll(GlobalAnalytics* a) {
    while (AnalyticsEvent* event = a->Head) {
        Unlink(a, event);
        FreeEvent(a, event);
    }
}

// A copy of the event's information without private items, with the global information under
// "analytics" (overwrite: whether global values replace the event's own), expanded.
void AppendCopy(GlobalAnalytics* a, Dictionary* list, AnalyticsEvent* event, uint32_t overwrite) {
    Dictionary* copy = nullptr;
    Dictionary_AddDictionary(list, nullptr, &copy, nullptr);
    Dictionary_Merge(copy, event->Info, DICTIONARY_MERGE_SKIP_PRIVATE);
    if (IsEmpty(a->Global)) return;
    Dictionary* analytics = nullptr;
    Dictionary_EnsureDictionary(copy, "analytics", nullptr, &analytics);
    Dictionary_Merge(analytics, a->Global, (overwrite ? (uint32_t)DICTIONARY_MERGE_OVERWRITE : 0u) |
                                               DICTIONARY_MERGE_SKIP_PRIVATE);
    String_ExpandDictionary(analytics, nullptr, nullptr);
}

// The outcome of the post that just finished. 1 when posting may go on, 0 when it must not
// (a failure was recorded, or nothing is left).
int64_t SettleDone(GlobalAnalytics* a) {
    if (!WebGetRequest_IsOk(a->Request)) {
        for (AnalyticsEvent* event = a->Head; event; event = event->Next) event->Sent = 0;
        if (a->RetryCount == 0) {
            a->RetryTime = Now();
        } else {
            const int32_t shift = a->RetryCount - 1 < 8 ? a->RetryCount - 1 : 8;
            double delay = 15.0 * (double)(1 << shift);
            if (a->SendInterval >= 1 && delay > a->SendInterval) delay = a->SendInterval;
            a->RetryTime = Now() + delay;
        }
        a->RetryCount++;
        a->LastStatus = 0;
        WebGetRequest_GetHTTPCode(a->Request, &a->LastStatus);
        Log_Debug("Analytics post failed (%d), retry %d\n", a->LastStatus, a->RetryCount);
        WebGetRequest_Reset(a->Request);
        return 0;
    }
    a->OverflowLogged = 0;
    a->RetryCount = 0;
    WebGetRequest_GetHTTPCode(a->Request, &a->LastStatus);
    for (AnalyticsEvent* event = a->Head; event;) {
        AnalyticsEvent* next = event->Next;
        if (event->Sent) {
            Unlink(a, event);
            FreeEvent(a, event);
        }
        event = next;
    }
    WebGetRequest_Reset(a->Request);
    return a->Count ? 1 : 0;
}

int64_t Queue(GlobalAnalytics* a, const char* name, Dictionary* info) {
    Dictionary* built = nullptr;
    Dictionary_Create(&built);
    uint32_t privateKeys = 0;
    if (info) Dictionary_GetPrivateKeys(info, &privateKeys);
    Dictionary_SetPrivateKeys(built, privateKeys);
    Dictionary_SetStringByKey(built, "event", name);
    Dictionary_SetStringByKey(built, "machine", a->MachineId);
    Dictionary_SetStringByKey(built, "session", a->SessionId);
    if (info) Dictionary_Merge(built, info, DICTIONARY_MERGE_OVERWRITE);
    Dictionary* arguments = nullptr;
    if (Dictionary_GetDictionaryByKey(built, "arguments", &arguments) && arguments) {
        Dictionary* moved = nullptr;
        if (Dictionary_GetDictionaryByKey(arguments, "analytics", &moved) && moved) {
            Dictionary* analytics = nullptr;
            Dictionary_EnsureDictionary(built, "analytics", nullptr, &analytics);
            Dictionary_Merge(analytics, moved, DICTIONARY_MERGE_OVERWRITE);
            String_ExpandDictionary(analytics, nullptr, nullptr);
            Dictionary_RemoveByKey(arguments, "analytics");
        }
        // A request's extra headers and cookies may carry credentials: they never leave the
        // process in an event.
        Dictionary_RemoveByKey(arguments, "headers");
        Dictionary_RemoveByKey(arguments, "cookies");
    }
    const uint32_t size = EstimateSize(built);
    if (size == 0 || size > (uint32_t)ANALYTICS_EVENT_LIMIT) {
        Log_Error("Analytics event %s is too large to send (%u bytes)\n", name, size);
        Dictionary_Release(&built);
        return 0;
    }
    while (a->Count >= a->MaxEvents && a->Head) {
        if (!a->OverflowLogged) {
            Log_Warning("Analytics event count exceeds max size (%d)\n", (int32_t)a->MaxEvents);
            a->OverflowLogged = 1;
        }
        AnalyticsEvent* oldest = a->Head;
        Unlink(a, oldest);
        FreeEvent(a, oldest);
    }
    AnalyticsEvent* event = static_cast<AnalyticsEvent*>(Pool_Alloc(a->Nodes, sizeof(AnalyticsEvent)));
    memset(event, 0, sizeof(*event));
    event->ClassId = ANALYTICS_EVENT_CLASS_ID;
    event->Info = built;
    event->Size = size;
    event->Prev = a->Tail;
    if (a->Tail) a->Tail->Next = event;
    else a->Head = event;
    a->Tail = event;
    a->Count++;
    return 1;
}

// A batch that could not be built goes back to the queue; the next try waits an interval so that
// the error is not repeated on every pass.
int64_t Unsent(GlobalAnalytics* a) {
    for (AnalyticsEvent* event = a->Head; event; event = event->Next) event->Sent = 0;
    a->RetryTime = Now() + (a->SendInterval >= 1 ? a->SendInterval : 1);
    return 0;
}

GlobalAnalytics* State() {
    return g_analytics;
}

} // namespace

// ---- Life cycle and configuration -----------------------------------------------------------

int64_t Analytics_Init() {
    ASSERT_MSG(g_analytics == nullptr, "Analytics already initialized");
    GlobalAnalytics* a = static_cast<GlobalAnalytics*>(Memory_AllocZero(sizeof(GlobalAnalytics)));
    a->Header.ClassId = ANALYTICS_CLASS_ID;
    a->Header.RefCount = 1;
    Class_GenerateInstanceIdReal(a);
    a->Enabled = 1;
    a->CrashDump = 1;
    a->SendInterval = 300;
    a->NextPostTime = Now() + 300;
    a->MaxEvents = 500;
    a->MaxSendEvents = 100;
    String_CopyLength(a->EndPoint, kDefaultEndPoint, sizeof(a->EndPoint));
    String_CopyLength(a->MachineId, kMachineIdMacro, sizeof(a->MachineId));
    if (!String_Expand(a->MachineId, sizeof(a->MachineId), nullptr, nullptr)) a->MachineId[0] = 0;
    String_Guid(a->SessionId, sizeof(a->SessionId), 0);
    Log_Debug("Machine Id: %s\n", a->MachineId);
    Log_Debug("Session Id: %s\n", a->SessionId);
    Dictionary_Create(&a->Global);
    Pool_Create(&a->Nodes);
    Pool_SetMemorySize(a->Nodes, sizeof(AnalyticsEvent));
    Pool_SetChunkSize(a->Nodes, 5);
    Dictionary_Create(&a->Batch);
    JSON_Create(&a->Writer);
    JSON_SetDictionaryHandle(a->Writer, a->Batch);
    JSON_SetMinify(a->Writer, 1);
    WebGetConnection_Create(&a->Connection);
    WebGetConnection_SetReportError(a->Connection, 0);
    WebGetConnection_SetPersistent(a->Connection, 0);
    WebGetRequest_Create(&a->Request);
    // Only the status of the answer matters: its body is not kept beyond this.
    WebGetRequest_SetLimitBodySize(a->Request, 65536);
    int32_t level = 0;
    a->DumpBatches = Log_GetVerboseLevel("Analytics", &level) && level > 0 ? 1 : 0;
    g_analytics = a;
    return 1;
}

int64_t Analytics_Remove() {
    GlobalAnalytics* a = g_analytics;
    if (!a) return 1;
    // Each round either settles a post or starts one; a post that cannot finish ends the drain,
    // and every successful round takes at least one event, which bounds the rounds.
    for (uint32_t rounds = a->Count + 2; rounds > 0 && Analytics_PostEvents(1); rounds--) {
        const int64_t waited = WebGetConnection_WaitForRequest(a->Connection, a->Request);
        if (!waited && !WebGetRequest_IsDone(a->Request)) break;
        if (!Analytics_IsActive()) break;
    }
    if (a->Count) Log_Debug("Failed to send %d analytics events (%d)\n", (int32_t)a->Count, a->LastStatus);
    g_analytics = nullptr;
    DropAll(a);
    WebGetConnection_CloseEx(a->Connection, WEBGET_CLOSE_QUEUE);
    WebGetRequest_Release(&a->Request);
    WebGetConnection_Release(&a->Connection);
    if (a->PostBuffer) Memory_Free(a->PostBuffer, a->PostCapacity);
    JSON_Release(&a->Writer);
    Dictionary_Release(&a->Batch);
    Dictionary_Release(&a->Global);
    Pool_Delete(&a->Nodes);
    a->Header.ClassId = 0;
    Memory_Free(a, sizeof(GlobalAnalytics));
    return 1;
}

int64_t Analytics_LoadConfigFromDictionary(Dictionary* config) {
    GlobalAnalytics* a = State();
    if (!a || !config) return 0;
    uint32_t flag = 0;
    if (Dictionary_GetBooleanByPath(config, kAppConfigAnalyticsCrashDump, &flag)) a->CrashDump = flag ? 1 : 0;
    if (Dictionary_GetBooleanByPath(config, kAppConfigAnalyticsEnabled, &flag)) Analytics_SetEnabled(flag);
    const char* text = nullptr;
    if (Dictionary_GetStringPtrByPath(config, kAppConfigAnalyticsEndPoint, &text) && text)
        String_CopyLength(a->EndPoint, text, sizeof(a->EndPoint));
    if (Dictionary_GetStringPtrByPath(config, kAppConfigAnalyticsKey, &text) && text)
        String_CopyLength(a->Key, text, sizeof(a->Key));
    int64_t value = 0;
    if (Dictionary_GetInt64ByPath(config, kAppConfigAnalyticsMaxEvents, &value))
        a->MaxEvents = value < 1 ? 1 : value > INT32_MAX ? INT32_MAX : (uint32_t)value;
    if (Dictionary_GetInt64ByPath(config, kAppConfigAnalyticsMaxSendEvents, &value))
        a->MaxSendEvents = value < 1 ? 1 : value > INT32_MAX ? INT32_MAX : (uint32_t)value;
    if (Dictionary_GetInt64ByPath(config, kAppConfigAnalyticsSendInterval, &value)) {
        a->SendInterval = value < INT32_MIN ? INT32_MIN : value > INT32_MAX ? INT32_MAX : (int32_t)value;
        a->NextPostTime = Now() + a->SendInterval;
    }
    return 1;
}

int64_t Analytics_IsEnabled() {
    GlobalAnalytics* a = State();
    return a && Configured(a) ? 1 : 0;
}

int64_t Analytics_IsCrashDumpEnabled() {
    GlobalAnalytics* a = State();
    return a && a->CrashDump ? 1 : 0;
}

int64_t Analytics_IsActive() {
    GlobalAnalytics* a = State();
    if (!a) return 0;
    if (a->Count) return 1;
    return !WebGetRequest_IsIdle(a->Request) && !WebGetRequest_IsDone(a->Request) ? 1 : 0;
}

int64_t Analytics_SetEnabled(uint32_t flag) {
    GlobalAnalytics* a = State();
    if (!a) return 0;
    a->Enabled = flag ? 1 : 0;
    if (!a->Enabled) DropAll(a);
    return 1;
}

int64_t Analytics_SetCrashDumpEnabled(uint32_t flag) {
    GlobalAnalytics* a = State();
    if (!a) return 0;
    a->CrashDump = flag ? 1 : 0;
    return 1;
}

// ---- Events ---------------------------------------------------------------------------------

int64_t Analytics_SendEvent(const char* name, Dictionary* info) {
    GlobalAnalytics* a = State();
    if (!a || !name || !Configured(a)) return 0;
    if (info) {
        // The members become the event's top-level values: a list of unnamed values cannot.
        DictionaryItem* item = nullptr;
        const char* key = nullptr;
        for (Dictionary_ItemGetFirst(info, &item); item; Dictionary_ItemGetNext(info, item, &item)) {
            if (!Dictionary_ItemGetKeyPtr(info, item, &key) || !key || !key[0]) {
                Log_Error("Analytics event %s information is not a dictionary\n", name);
                return 0;
            }
        }
    }
    return Queue(a, name, info);
}

int64_t Analytics_SendEventInterop(const char* name, const char* jsonText) {
    if (!jsonText) return 0;
    Dictionary* info = nullptr;
    if (!LoadObject(jsonText, (uint32_t)strlen(jsonText), &info)) return 0;
    const int64_t result = Analytics_SendEvent(name, info);
    Dictionary_Release(&info);
    return result;
}

int64_t Analytics_SendEventWithJSON(const char* name, const char* format, ...) {
    if (!format) return 0;
    Dictionary* root = nullptr;
    Dictionary_Create(&root);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, root);
    va_list args;
    va_start(args, format);
    const int64_t ok = JSON_LoadStringV(json, format, args);
    va_end(args);
    JSON_Release(&json);
    if (ok) {
        Dictionary* object = nullptr;
        Dictionary_SkipRoot(root, &object);
        Analytics_SendEvent(name, object);
    }
    Dictionary_Release(&root);
    return ok;
}

int64_t Analytics_SendEventMultiple(Dictionary* events) {
    if (!events) return 1;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(events, &item); item; Dictionary_ItemGetNext(events, item, &item)) {
        Dictionary* child = nullptr;
        if (!Dictionary_ItemCompareType(events, item, DICTIONARY_TYPE_DICTIONARY) ||
            !Dictionary_ItemGetDictionaryHandle(events, item, &child) || !child)
            continue;
        char name[ANALYTICS_TEXT_SIZE] = {0};
        if (!Dictionary_GetStringByKey(child, "event", name, sizeof(name)) || !name[0]) continue;
        Dictionary_RemoveByKey(child, "event");
        Analytics_SendEvent(name, child);
    }
    return 1;
}

int64_t Analytics_SendEventXCache(Dictionary* counters) {
    if (IsEmpty(counters)) return 0;
    DictionaryItem* hostItem = nullptr;
    for (Dictionary_ItemGetFirst(counters, &hostItem); hostItem;
         Dictionary_ItemGetNext(counters, hostItem, &hostItem)) {
        const char* host = nullptr;
        Dictionary* servers = nullptr;
        if (!Dictionary_ItemGetKeyPtr(counters, hostItem, &host) || !host ||
            !Dictionary_ItemGetDictionaryHandle(counters, hostItem, &servers) || !servers)
            continue;
        DictionaryItem* serverItem = nullptr;
        for (Dictionary_ItemGetFirst(servers, &serverItem); serverItem;
             Dictionary_ItemGetNext(servers, serverItem, &serverItem)) {
            const char* server = nullptr;
            Dictionary* verbs = nullptr;
            if (!Dictionary_ItemGetKeyPtr(servers, serverItem, &server) || !server ||
                !Dictionary_ItemGetDictionaryHandle(servers, serverItem, &verbs) || !verbs)
                continue;
            DictionaryItem* verbItem = nullptr;
            for (Dictionary_ItemGetFirst(verbs, &verbItem); verbItem;
                 Dictionary_ItemGetNext(verbs, verbItem, &verbItem)) {
                const char* verb = nullptr;
                int64_t count = 0;
                if (!Dictionary_ItemGetKeyPtr(verbs, verbItem, &verb) || !verb ||
                    !Dictionary_ItemGetInt64(verbs, verbItem, &count))
                    continue;
                Dictionary* event = nullptr;
                Dictionary_Create(&event);
                Dictionary_SetStringByKey(event, "host", host);
                Dictionary_SetStringByKey(event, "from", server);
                Dictionary_SetStringByKey(event, "verb", verb);
                Dictionary_SetInt64ByKey(event, "value", count);
                Analytics_SendEvent("WebGetXCache", event);
                Dictionary_Release(&event);
            }
        }
    }
    return 1;
}

int64_t Analytics_Extend(Dictionary* info) {
    GlobalAnalytics* a = State();
    if (!a || !info) return 0;
    return Dictionary_Merge(a->Global, info, DICTIONARY_MERGE_OVERWRITE);
}

int64_t Analytics_ExtendInterop(const char* jsonText) {
    if (!jsonText) return 0;
    Dictionary* info = nullptr;
    if (!LoadObject(jsonText, (uint32_t)strlen(jsonText), &info)) return 0;
    Analytics_Extend(info);
    Dictionary_Release(&info);
    return 1;
}

int64_t Analytics_Clear() {
    GlobalAnalytics* a = State();
    if (!a) return 0;
    DropAll(a);
    return 1;
}

int64_t Analytics_SetSession(const char* session) {
    GlobalAnalytics* a = State();
    if (!a || !session) return 0;
    String_CopyLength(a->SessionId, session, sizeof(a->SessionId));
    return 1;
}

int64_t Analytics_GetSession(char* buffer, int32_t capacity) {
    if (!buffer || capacity < 1) return 0;
    buffer[0] = 0;
    GlobalAnalytics* a = State();
    if (!a) return 0;
    String_CopyLength(buffer, a->SessionId, capacity);
    return 1;
}

int64_t Analytics_SetCrashAppId(const char* appId) {
    GlobalAnalytics* a = State();
    if (!a || !appId) return 0;
    String_CopyLength(a->CrashAppId, appId, sizeof(a->CrashAppId));
    return 1;
}

int64_t Analytics_FillCrashEvent(const char* format, const char* appVersion, Dictionary* event, Dictionary* extra) {
    GlobalAnalytics* a = State();
    if (!a || !event) return 0;
    char os[ANALYTICS_TEXT_SIZE] = {0};
    char osVersion[ANALYTICS_TEXT_SIZE] = {0};
    Platform_GetName(os, sizeof(os));
    Platform_GetVersion(osVersion, sizeof(osVersion));
    Dictionary_SetStringByKey(event, "event", "CrashDump");
    Dictionary_SetStringByKey(event, "format", format ? format : "");
    Dictionary_SetStringByKey(event, "session", a->SessionId);
    Dictionary_SetStringByKey(event, "appVersion", appVersion ? appVersion : "");
    Dictionary_SetStringByKey(event, "appId", a->CrashAppId);
    Dictionary_SetStringByKey(event, "os", os);
    Dictionary_SetStringByKey(event, "osVersion", osVersion);
    if (extra) Dictionary_Merge(event, extra, DICTIONARY_MERGE_OVERWRITE | DICTIONARY_MERGE_SKIP_PRIVATE);
    if (!IsEmpty(a->Global)) {
        Dictionary* analytics = nullptr;
        Dictionary_EnsureDictionary(event, "analytics", nullptr, &analytics);
        Dictionary_Merge(analytics, a->Global, DICTIONARY_MERGE_OVERWRITE | DICTIONARY_MERGE_SKIP_PRIVATE);
    }
    return 1;
}

int64_t Analytics_Dump(Dictionary* list) {
    GlobalAnalytics* a = State();
    if (!a || !list) return 0;
    for (AnalyticsEvent* event = a->Head; event; event = event->Next) AppendCopy(a, list, event, 1);
    return 1;
}

// ---- Posting --------------------------------------------------------------------------------

int64_t Analytics_Process() {
    GlobalAnalytics* a = State();
    if (!a) return 0;
    const double now = Now();
    if (now >= a->NextPostTime || a->Count >= a->MaxSendEvents) {
        Analytics_PostEvents(0);
        a->NextPostTime = now + a->SendInterval;
    } else if (WebGetRequest_IsDone(a->Request)) {
        // Settle a finished post at once: delivered events leave the queue (so they are not
        // dumped or sent again) and a failure starts its back-off from when it happened.
        SettleDone(a);
    }
    WebGetConnection_Process(a->Connection);
    return 1;
}

int64_t Analytics_PostEvents(uint32_t force) {
    GlobalAnalytics* a = State();
    if (!a || !Configured(a) || a->Count == 0) return 0;
    if (!WebGetRequest_IsIdle(a->Request) && !WebGetRequest_IsDone(a->Request)) return 1;
    if (WebGetConnection_IsCredentialPending(a->Connection) || WebGetConnection_RequestPending(a->Connection))
        return 1;
    if (!force && Now() < a->RetryTime) return 1;
    if (WebGetRequest_IsDone(a->Request) && !SettleDone(a)) return 0;

    Dictionary_Reset(a->Batch);
    Dictionary* list = nullptr;
    Dictionary_AddList(a->Batch, nullptr, &list, nullptr);
    uint32_t carried = 0;
    uint64_t size = 0;
    // Every element carries a copy of the global information.
    const uint64_t shared = IsEmpty(a->Global) ? 0 : EstimateSize(a->Global);
    for (AnalyticsEvent* event = a->Head; event && carried < a->MaxSendEvents; event = event->Next) {
        if (event->Sent) continue;
        if (carried && size + event->Size + shared > (uint64_t)ANALYTICS_BATCH_LIMIT) break;
        AppendCopy(a, list, event, 0);
        event->Sent = 1;
        event->Attempts++;
        carried++;
        size += event->Size + shared;
    }
    if (!carried) return 0;

    uint32_t estimate = 0;
    if (!JSON_SaveBufferEstimate(a->Writer, &estimate) || estimate > (uint32_t)ANALYTICS_POST_LIMIT) {
        Log_Error("Analytics batch is too large to send (%u bytes)\n", estimate);
        return Unsent(a);
    }
    if (a->PostBuffer && a->PostCapacity < estimate) {
        Memory_Free(a->PostBuffer, a->PostCapacity);
        a->PostBuffer = nullptr;
    }
    if (!a->PostBuffer) {
        a->PostCapacity = estimate ? estimate : 1;
        a->PostBuffer = static_cast<uint8_t*>(Memory_Alloc(a->PostCapacity));
    }
    a->PostSize = 0;
    if (!JSON_SaveBuffer(a->Writer, a->PostBuffer, a->PostCapacity, &a->PostSize)) {
        Log_Error("Unable to write analytics batch\n");
        return Unsent(a);
    }
    if (a->DumpBatches) Dictionary_Dump(a->Batch);

    WebGetRequest_Reset(a->Request);
    WebGetRequest_HeaderReset(a->Request);
    char* block = nullptr;
    int32_t capacity = 0;
    WebGetRequest_GetHeader(a->Request, &block, &capacity);
    WebGet_HeaderSet(block, capacity, "Content-Type", "application/json", 1);
    WebGet_HeaderSet(block, capacity, "X-Api-Key", a->Key, 1);
    WebGetRequest_SetType(a->Request, WEBGET_REQUEST_TYPE_POST);
    WebGetRequest_SetURL(a->Request, a->EndPoint);
    WebGetRequest_SetPostPtr(a->Request, a->PostBuffer, a->PostSize);
    WebGetConnection_RequestAdd(a->Connection, a->Request);
    return 1;
}

// ---- Handles --------------------------------------------------------------------------------

int64_t Analytics_GetGlobalDictionaryHandle(Dictionary** dict) {
    if (!dict) return 0;
    *dict = nullptr;
    GlobalAnalytics* a = State();
    if (!a) return 0;
    *dict = a->Global;
    return 1;
}

int64_t Analytics_GetRemoteMeterRWHandle(MeterRW** meter) {
    if (!meter) return 0;
    *meter = nullptr;
    GlobalAnalytics* a = State();
    if (!a) return 0;
    return WebGetConnection_GetMeterRWHandle(a->Connection, meter);
}

int64_t Analytics_GetWebGetConnectionHandle(WebGetConnection** connection) {
    if (!connection) return 0;
    *connection = nullptr;
    GlobalAnalytics* a = State();
    if (!a) return 0;
    *connection = a->Connection;
    return 1;
}

int64_t Analytics_GetWebGetRequestHandle(WebGetRequest** request) {
    if (!request) return 0;
    *request = nullptr;
    GlobalAnalytics* a = State();
    if (!a) return 0;
    *request = a->Request;
    return 1;
}

int64_t Analytics_SetClockOverride(AnalyticsClockFunc fn) {
    g_clock.store(fn);
    return 1;
}
