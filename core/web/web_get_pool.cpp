// The process-wide scheduler of HTTP requests: requests are filed under their host, each host
// keeps up to a few persistent connections, and passes on the main thread drive them in short
// time slices that rotate through the hosts.
#include "core/web/web_get_pool.h"

#include <atomic>
#include <new>

#include "core/formats/url.h"
#include "core/linux/platform.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/hash_table.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/meter_rw.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/web_get.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_pool_internal.h"
#include "core/web/web_get_request.h"

namespace {

// Socket threads read it from the Signal callback, so it is published atomically.
std::atomic<WebGetPool*> GlobalWebGetPool{nullptr};

constexpr uint32_t kBuckets = 512;
constexpr double kTimeSlice = 0.1;
constexpr uint32_t kHostsPerChunk = 10;
constexpr uint32_t kConnectionEntriesPerChunk = 15;
constexpr uint32_t kQueueEntriesPerChunk = 5;
constexpr uint32_t kClosedEntriesPerChunk = 5;

#define POOL_MAIN_THREAD() ASSERT_MSG(Thread_GetMainId() == Thread_GetCurrentId(), "Function not on main thread")

// ---- Lists ---------------------------------------------------------------------------------------

template <typename Entry> void ListInit(WebGetPoolList<Entry>* list, uint32_t classId) {
    list->ClassId = classId;
    list->Count = 0;
    list->Head = nullptr;
    list->Tail = nullptr;
}

template <typename Entry> void ListAppend(WebGetPoolList<Entry>* list, Entry* entry) {
    entry->Next = nullptr;
    entry->Prev = list->Tail;
    if (list->Tail)
        list->Tail->Next = entry;
    else
        list->Head = entry;
    list->Tail = entry;
    list->Count++;
}

template <typename Entry> void ListUnlink(WebGetPoolList<Entry>* list, Entry* entry) {
    if (entry->Prev)
        entry->Prev->Next = entry->Next;
    else
        list->Head = entry->Next;
    if (entry->Next)
        entry->Next->Prev = entry->Prev;
    else
        list->Tail = entry->Prev;
    entry->Next = entry->Prev = nullptr;
    list->Count--;
}

// ---- Tables --------------------------------------------------------------------------------------

HashTable* HostTable() {
    HashTable* table = nullptr;
    HashTable_Create(&table, WEBGET_POOL_HOST_KEY_SIZE, kBuckets);
    HashTable_SetKeyAssignCallback(table, nullptr, HashTable_StringKeyAssign);
    HashTable_SetValueCallback(table, nullptr, HashTable_StringValueWithoutCase);
    HashTable_SetCompareCallback(table, nullptr, HashTable_StringCompareWithoutCase);
    return table;
}

WebGetHostConnections* FindHost(HashTable* table, const char* key) {
    uint64_t value = 0;
    if (!HashTable_GetValue(table, key, &value)) return nullptr;
    return reinterpret_cast<WebGetHostConnections*>(value);
}

// Host key: "file://" for every file URL, else host and port (the protocol's default when the
// URL names none), so that case and an explicit default port make no difference. A URL without
// a usable host is filed under the empty key; its connection reports the failure.
void HostKey(WebGetRequest* request, char* key) {
    char* url = nullptr;
    WebGetRequest_GetURLPtr(request, &url);
    if (URL_CompareProtocol(url, "file")) {
        String_CopyLength(key, "file://", WEBGET_POOL_HOST_KEY_SIZE);
        return;
    }
    WebGetRequest_SetPhase(request, WEBGET_PHASE_IDLE);
    if (!URL_ParseHostWithPort(url, key, WEBGET_POOL_HOST_KEY_SIZE)) key[0] = 0;
}

void PostProcessEvent(WebGetPool* pool) {
    EventQueue_AddProcess(nullptr, pool, WebGetPool_ProcessEvent);
}

void PreparePrint(WebGetPool* pool) {
    ClassPrint_Prepare(&pool->Print, pool, "WebGetPool", WebGetPool_PrintInternal);
}

int64_t DeleteHandle(void** handle) {
    return WebGetPool_Delete(reinterpret_cast<WebGetPool**>(handle));
}

WebGetPool* Checked(WebGetPool* pool) {
    CLASS_CHECK(pool, WEBGET_POOL_CLASS_ID);
    return pool;
}

uint32_t TableCount(HashTable* table) {
    uint32_t count = 0;
    HashTable_GetCount(table, &count);
    return count;
}

// Takes a host out of the active table and closes its connections; the record is freed by the
// next removal of closed hosts, so that a walk standing on it may go on.
void CloseHost(WebGetPool* pool, WebGetHostConnections* host) {
    if (host->State == WEBGET_HOST_ACTIVE && host->Member) HashTable_MemberRemove(pool->ActiveHosts, &host->Member);
    host->Member = nullptr;
    host->State = WEBGET_HOST_CLOSED;
    for (WebGetPoolConnectionEntry* e = host->Connections.Head; e; e = e->Next) WebGetConnection_Close(e->Connection);
    auto* entry = static_cast<WebGetPoolClosedEntry*>(Pool_Alloc(pool->ClosedHostPool, sizeof(WebGetPoolClosedEntry)));
    entry->Host = host;
    ListAppend(&pool->ClosedHosts, entry);
}

// Makes one pending host, chosen at random, active in place of nothing (the caller freed a place).
void PromotePendingHost(WebGetPool* pool) {
    const uint32_t pending = TableCount(pool->PendingHosts);
    if (!pending) return;
    uint32_t random = 0;
    Platform_CryptFill(&random, sizeof(random));
    uint32_t index = random % pending;
    HashTableMember* member = nullptr;
    HashTable_MemberGetFirst(pool->PendingHosts, &member);
    while (member && index--) {
        HashTableMember* next = nullptr;
        HashTable_MemberGetNext(pool->PendingHosts, member, &next);
        member = next;
    }
    if (!member) return;
    uint64_t value = 0;
    HashTable_MemberGetValue(pool->PendingHosts, member, &value);
    auto* chosen = reinterpret_cast<WebGetHostConnections*>(value);
    HashTable_MemberRemove(pool->PendingHosts, &member);
    HashTable_AddEx(pool->ActiveHosts, chosen->Key, value, &chosen->Member);
    chosen->State = WEBGET_HOST_ACTIVE;
    WebGetPool_VerboseLog(1, "Host [%s] is active", chosen->Key);
    // Its connections may hold requests already: they run from the next pass on.
    PostProcessEvent(pool);
}

// Hands the first queued request still wanted by its owner to the connection; 1 when one was.
bool HandNextQueued(WebGetPool* pool, WebGetHostConnections* host, WebGetConnection* connection) {
    while (WebGetPoolQueueEntry* entry = host->Queue.Head) {
        ListUnlink(&host->Queue, entry);
        HashTable_Remove(pool->QueuedRequests, entry->Request);
        WebGetRequest* request = entry->Request;
        Pool_Free(pool->QueueEntryPool, &entry, sizeof(WebGetPoolQueueEntry));
        if (WebGetRequest_HasOneRef(request)) {
            // Its owner let it go before it was reached: it never runs.
            WebGetRequest_Release(&request);
            continue;
        }
        WebGetHostConnections_RequestAddInternal(connection, request);
        WebGetRequest_Release(&request);
        return true;
    }
    return false;
}

// A connection of the host has nothing to do: it takes the next queued request, or, when the
// whole host is idle and another host waits, the host gives its place up.
void ConnectionFree(WebGetPool* pool, WebGetHostConnections* host, WebGetConnection* connection) {
    if (WebGetConnection_RequestPending(connection)) return;
    if (HandNextQueued(pool, host, connection)) return;
    if (WebGetHostConnections_GetRequestCount(host, 0) > 0) {
        if (WebGetHostConnections_GetRequestCount(host, 1) == 0)
            WebGetPool_VerboseLog(0, "Inconsistent counts of active and pending requests to one host.  There must "
                                     "be no pending requests, if there is no active request.");
        return;
    }
    if (host->State != WEBGET_HOST_ACTIVE || TableCount(pool->PendingHosts) == 0) return;
    WebGetPool_VerboseLog(1, "Host [%s] is idle and gives its place up", host->Key);
    CloseHost(pool, host);
    PromotePendingHost(pool);
}

// After the host's connections ran: a connection can let a request go without telling the pool
// (its owner released it, it was taken back, or a redirect left a connection that does not keep
// its socket). Such a connection takes the next queued request here, so that the queue never
// stalls and an idle host still yields to a pending one.
void CheckHost(WebGetPool* pool, WebGetHostConnections* host) {
    for (WebGetPoolConnectionEntry* e = host->Connections.Head; e && host->State == WEBGET_HOST_ACTIVE; e = e->Next)
        if (!WebGetConnection_RequestPending(e->Connection)) ConnectionFree(pool, host, e->Connection);
}

// Frees idle hosts of the active table until `needed` places are free; the count freed.
uint32_t EvictIdleHosts(WebGetPool* pool, uint32_t needed) {
    uint32_t freed = 0;
    HashTableMember* member = nullptr;
    HashTable_MemberGetFirst(pool->ActiveHosts, &member);
    while (member && freed < needed) {
        HashTableMember* next = nullptr;
        HashTable_MemberGetNext(pool->ActiveHosts, member, &next);
        uint64_t value = 0;
        HashTable_MemberGetValue(pool->ActiveHosts, member, &value);
        auto* host = reinterpret_cast<WebGetHostConnections*>(value);
        if (WebGetHostConnections_GetRequestCount(host, 0) == 0) {
            WebGetPool_VerboseLog(1, "Idle host [%s] makes room", host->Key);
            if (pool->Walking) {
                CloseHost(pool, host);
            } else {
                HashTable_MemberRemove(pool->ActiveHosts, &host->Member);
                WebGetHostConnections_Delete(pool, &host);
            }
            freed++;
        }
        member = next;
    }
    return freed;
}

WebGetPoolConnectionEntry* AddConnection(WebGetPool* pool, WebGetHostConnections* host) {
    WebGetConnection* connection = nullptr;
    WebGetConnection_Create(&connection);
    WebGetConnection_SetSignalCallback(connection, nullptr, WebGetHostConnections_WebGetConnectionSignal);
    WebGetConnection_SetDoneCallback(connection, host, WebGetHostConnections_WebGetConnectionDone);
    WebGetConnection_SetRedirectCallback(connection, host, WebGetHostConnections_WebGetConnectionRedirect);
    WebGetConnection_SetPersistent(connection, 1);
    if (pool->Print.Verbose == 1) WebGetConnection_SetVerbose(connection, 1);
    WebGetConnection_SetPrintCallback(connection, pool, WebGetPool_PrintInt);
    auto* entry = static_cast<WebGetPoolConnectionEntry*>(
        Pool_Alloc(pool->ConnectionEntryPool, sizeof(WebGetPoolConnectionEntry)));
    entry->Connection = connection;
    ListAppend(&host->Connections, entry);
    return entry;
}

void ReleaseRefile(WebGetPool* pool) {
    while (WebGetPoolQueueEntry* entry = pool->Refile.Head) {
        ListUnlink(&pool->Refile, entry);
        WebGetRequest_Release(&entry->Request);
        Pool_Free(pool->QueueEntryPool, &entry, sizeof(WebGetPoolQueueEntry));
    }
}

// Files the redirected requests again under their new URLs; 1 when any was filed. A request
// still held by its old connection (the body of the redirect answer is being read away) waits
// for a later pass: filed now it would be in two connections at once.
int64_t Refile(WebGetPool* pool) {
    int64_t filed = 0;
    WebGetPoolQueueEntry* entry = pool->Refile.Head;
    while (entry) {
        WebGetPoolQueueEntry* next = entry->Next;
        void* connection = nullptr;
        if (!WebGetRequest_GetConnectionHandle(entry->Request, &connection)) {
            ListUnlink(&pool->Refile, entry);
            WebGetRequest_Clean(entry->Request);
            WebGetPool_RequestAdd(entry->Request);
            WebGetRequest_Release(&entry->Request);
            Pool_Free(pool->QueueEntryPool, &entry, sizeof(WebGetPoolQueueEntry));
            filed = 1;
        }
        entry = next;
    }
    return filed;
}

bool DropRefile(WebGetPool* pool, WebGetRequest* request) {
    for (WebGetPoolQueueEntry* entry = pool->Refile.Head; entry; entry = entry->Next) {
        if (entry->Request != request) continue;
        ListUnlink(&pool->Refile, entry);
        WebGetRequest_Release(&entry->Request);
        Pool_Free(pool->QueueEntryPool, &entry, sizeof(WebGetPoolQueueEntry));
        return true;
    }
    return false;
}

void DeleteTable(WebGetPool* pool, HashTable* table) {
    HashTableMember* member = nullptr;
    while (HashTable_MemberGetFirst(table, &member) && member) {
        uint64_t value = 0;
        HashTable_MemberGetValue(table, member, &value);
        auto* host = reinterpret_cast<WebGetHostConnections*>(value);
        HashTable_MemberRemove(table, &member);
        host->Member = nullptr;
        WebGetHostConnections_Delete(pool, &host);
    }
}

} // namespace

// ---- Host records -------------------------------------------------------------------------------

int64_t WebGetHostConnections_Create(WebGetPool* pool, const char* key, WebGetHostConnections** host) {
    ASSERT_POINTER(host);
    *host = nullptr;
    auto* h = static_cast<WebGetHostConnections*>(Pool_Alloc(Checked(pool)->HostPool, sizeof(WebGetHostConnections)));
    h->Member = nullptr;
    ListInit(&h->Connections, WEBGET_POOL_CONNECTION_LIST_CLASS_ID);
    ListInit(&h->Queue, WEBGET_POOL_QUEUE_LIST_CLASS_ID);
    h->State = WEBGET_HOST_PENDING;
    String_CopyLength(h->Key, key, WEBGET_POOL_HOST_KEY_SIZE);
    *host = h;
    return 1;
}

int64_t WebGetHostConnections_Delete(WebGetPool* pool, WebGetHostConnections** host) {
    ASSERT_POINTER(host);
    WebGetHostConnections* h = *host;
    *host = nullptr;
    if (!h) return 0;
    while (WebGetPoolQueueEntry* entry = h->Queue.Head) {
        ListUnlink(&h->Queue, entry);
        HashTable_Remove(pool->QueuedRequests, entry->Request);
        WebGetRequest_Release(&entry->Request);
        Pool_Free(pool->QueueEntryPool, &entry, sizeof(WebGetPoolQueueEntry));
    }
    while (WebGetPoolConnectionEntry* entry = h->Connections.Head) {
        ListUnlink(&h->Connections, entry);
        WebGetConnection_SetSignalCallback(entry->Connection, nullptr, nullptr);
        WebGetConnection_SetDoneCallback(entry->Connection, nullptr, nullptr);
        WebGetConnection_SetRedirectCallback(entry->Connection, nullptr, nullptr);
        WebGetConnection_SetPrintCallback(entry->Connection, nullptr, nullptr);
        WebGetConnection_Release(&entry->Connection);
        Pool_Free(pool->ConnectionEntryPool, &entry, sizeof(WebGetPoolConnectionEntry));
    }
    Pool_Free(pool->HostPool, &h, sizeof(WebGetHostConnections));
    return 1;
}

uint32_t WebGetHostConnections_GetRequestCount(WebGetHostConnections* host, uint32_t runningOnly) {
    ASSERT_POINTER(host);
    uint32_t total = runningOnly ? 0 : host->Queue.Count;
    for (WebGetPoolConnectionEntry* e = host->Connections.Head; e; e = e->Next) {
        uint32_t count = 0;
        WebGetConnection_RequestPendingCount(e->Connection, &count);
        total += count;
    }
    return total;
}

int64_t WebGetHostConnections_RequestAddInternal(WebGetConnection* connection, WebGetRequest* request) {
    MeterRW* meter = nullptr;
    if (WebGetConnection_GetMeterRWHandle(connection, &meter) && meter) MeterRW_ResetCounters(meter);
    uint32_t value = 0;
    WebGetRequest_GetVerbose(request, &value);
    WebGetConnection_SetVerbose(connection, value);
    WebGetRequest_GetTimeout(request, &value);
    WebGetConnection_SetTimeout(connection, value);
    WebGetRequest_GetAllowProxy(request, &value);
    WebGetConnection_SetAllowProxy(connection, value);
    WebGetRequest_GetReportError(request, &value);
    WebGetConnection_SetReportError(connection, value);
    char* proxy = nullptr;
    WebGetRequest_GetProxyURLPtr(request, &proxy);
    WebGetConnection_SetProxyURL(connection, proxy ? proxy : "");
    return WebGetConnection_RequestAdd(connection, request);
}

int64_t WebGetHostConnections_RequestAdd(WebGetPool* pool, WebGetHostConnections* host, WebGetRequest* request) {
    for (WebGetPoolConnectionEntry* e = host->Connections.Head; e; e = e->Next)
        if (!WebGetConnection_RequestPending(e->Connection))
            return WebGetHostConnections_RequestAddInternal(e->Connection, request);
    if (host->Connections.Count < pool->MaxHostConnections)
        return WebGetHostConnections_RequestAddInternal(AddConnection(pool, host)->Connection, request);
    auto* entry = static_cast<WebGetPoolQueueEntry*>(Pool_Alloc(pool->QueueEntryPool, sizeof(WebGetPoolQueueEntry)));
    entry->Request = WebGetRequest_AddRef(request);
    ListAppend(&host->Queue, entry);
    HashTable_Add(pool->QueuedRequests, request, reinterpret_cast<uint64_t>(entry));
    return 1;
}

int64_t WebGetHostConnections_RequestRemove(WebGetPool* pool, WebGetHostConnections* host, WebGetRequest* request) {
    void* connection = nullptr;
    if (WebGetRequest_GetConnectionHandle(request, &connection)) {
        WebGetConnection_CloseEx(static_cast<WebGetConnection*>(connection), WEBGET_CLOSE_FORGET);
        return 1;
    }
    uint64_t value = 0;
    if (!HashTable_GetValue(pool->QueuedRequests, request, &value)) return 1;
    auto* entry = reinterpret_cast<WebGetPoolQueueEntry*>(value);
    HashTable_Remove(pool->QueuedRequests, request);
    ListUnlink(&host->Queue, entry);
    WebGetRequest_Release(&entry->Request);
    Pool_Free(pool->QueueEntryPool, &entry, sizeof(WebGetPoolQueueEntry));
    return 1;
}

int64_t WebGetHostConnections_WebGetConnectionSignal(WebGetConnection*, void*) {
    // Any thread: only posts the pass on the main event queue.
    if (WebGetPool* pool = GlobalWebGetPool.load()) PostProcessEvent(pool);
    return 1;
}

int64_t WebGetHostConnections_WebGetConnectionDone(WebGetConnection* connection, void* user, WebGetRequest*) {
    WebGetPool* pool = GlobalWebGetPool.load();
    auto* host = static_cast<WebGetHostConnections*>(user);
    if (!pool || !host || host->State == WEBGET_HOST_CLOSED) return 1;
    ConnectionFree(pool, host, connection);
    return 1;
}

int64_t WebGetHostConnections_WebGetConnectionRedirect(WebGetConnection*, void*, WebGetRequest* request) {
    WebGetPool* pool = GlobalWebGetPool.load();
    if (!pool) return 1;
    for (WebGetPoolQueueEntry* e = pool->Refile.Head; e; e = e->Next)
        if (e->Request == request) return 1;
    auto* entry = static_cast<WebGetPoolQueueEntry*>(Pool_Alloc(pool->QueueEntryPool, sizeof(WebGetPoolQueueEntry)));
    entry->Request = WebGetRequest_AddRef(request);
    ListAppend(&pool->Refile, entry);
    PostProcessEvent(pool);
    return 1;
}

// ---- The pool ------------------------------------------------------------------------------------

int64_t WebGetPool_Create(WebGetPool** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    void* block = Memory_AllocZero(sizeof(WebGetPool));
    WebGetPool* pool = new (block) WebGetPool();
    pool->Header.ClassId = WEBGET_POOL_CLASS_ID;
    pool->Header.RefCount = 1;
    pool->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(pool);
    pool->MaxHosts = WEBGET_POOL_DEFAULT_MAX_HOSTS;
    pool->MaxHostConnections = WEBGET_POOL_DEFAULT_MAX_HOST_CONNECTIONS;
    pool->ActiveHosts = HostTable();
    pool->PendingHosts = HostTable();
    HashTable_Create(&pool->QueuedRequests, sizeof(void*), kBuckets);
    HashTable_SetKeyAssignCallback(pool->QueuedRequests, nullptr, HashTable_PointerKeyAssign);
    HashTable_SetValueCallback(pool->QueuedRequests, nullptr, HashTable_PointerValue);
    HashTable_SetCompareCallback(pool->QueuedRequests, nullptr, HashTable_PointerCompare);
    const struct {
        Pool** Target;
        uint32_t Size;
        uint32_t Chunk;
    } pools[] = {
        {&pool->HostPool, sizeof(WebGetHostConnections), kHostsPerChunk},
        {&pool->ConnectionEntryPool, sizeof(WebGetPoolConnectionEntry), kConnectionEntriesPerChunk},
        {&pool->QueueEntryPool, sizeof(WebGetPoolQueueEntry), kQueueEntriesPerChunk},
        {&pool->ClosedHostPool, sizeof(WebGetPoolClosedEntry), kClosedEntriesPerChunk},
    };
    for (const auto& p : pools) {
        Pool_Create(p.Target);
        Pool_SetMemorySize(*p.Target, p.Size);
        Pool_SetChunkSize(*p.Target, p.Chunk);
    }
    ListInit(&pool->ClosedHosts, WEBGET_POOL_CLOSED_LIST_CLASS_ID);
    ListInit(&pool->Refile, WEBGET_POOL_QUEUE_LIST_CLASS_ID);
    *handle = pool;
    return 1;
}

int64_t WebGetPool_Delete(WebGetPool** handle) {
    ASSERT_POINTER(handle);
    WebGetPool* pool = Checked(*handle);
    *handle = nullptr;
    WebGetPool* expected = pool;
    GlobalWebGetPool.compare_exchange_strong(expected, nullptr);
    EventQueue_RemoveInstance(nullptr, pool);
    WebGetPool_RemoveClosedHosts(pool);
    DeleteTable(pool, pool->PendingHosts);
    DeleteTable(pool, pool->ActiveHosts);
    // Redirected requests not yet filed again are never run: their references go with the pool.
    ReleaseRefile(pool);
    HashTable_Delete(&pool->ActiveHosts);
    HashTable_Delete(&pool->PendingHosts);
    HashTable_Delete(&pool->QueuedRequests);
    Pool_Delete(&pool->HostPool);
    Pool_Delete(&pool->ConnectionEntryPool);
    Pool_Delete(&pool->QueueEntryPool);
    Pool_Delete(&pool->ClosedHostPool);
    pool->Header.ClassId = 0;
    pool->~WebGetPool();
    Memory_Free(pool, sizeof(WebGetPool));
    return 1;
}

int64_t WebGetPool_AddRef(WebGetPool* pool) {
    Class_AddRef(Checked(pool));
    return 1;
}

int64_t WebGetPool_Release(WebGetPool** handle) {
    ASSERT_POINTER(handle);
    Checked(*handle);
    Class_Release(handle);
    *handle = nullptr;
    return 1;
}

int64_t WebGetPool_GetInstanceId(WebGetPool* pool, char* buffer, int32_t capacity) {
    Checked(pool);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, capacity, pool->Header.InstanceId, (int32_t)sizeof(pool->Header.InstanceId));
    return 1;
}

int64_t WebGetPool_Init() {
    if (GlobalWebGetPool.load()) return 1;
    WebGetPool* pool = nullptr;
    WebGetPool_Create(&pool);
    GlobalWebGetPool.store(pool);
    return 1;
}

int64_t WebGetPool_Remove() {
    WebGetPool* pool = GlobalWebGetPool.exchange(nullptr);
    if (!pool) return 1;
    return WebGetPool_Delete(&pool);
}

WebGetPool* WebGetPool_GetGlobal() {
    return GlobalWebGetPool.load();
}

int64_t WebGetPool_SetMaxHostCount(uint32_t count) {
    WebGetPool* pool = GlobalWebGetPool.load();
    if (!pool || count < 1) return 0;
    pool->MaxHosts = count;
    return 1;
}

int64_t WebGetPool_SetMaxHostConnectionCount(uint32_t count) {
    WebGetPool* pool = GlobalWebGetPool.load();
    if (!pool || count < 1) return 0;
    pool->MaxHostConnections = count;
    return 1;
}

int64_t WebGetPool_GetMaxHostConnectionCount(uint32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    WebGetPool* pool = GlobalWebGetPool.load();
    if (!pool) return 0;
    *count = pool->MaxHostConnections;
    return 1;
}

int64_t WebGetPool_RequestAdd(WebGetRequest* request) {
    POOL_MAIN_THREAD();
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    WebGetPool* pool = GlobalWebGetPool.load();
    if (!pool) return 0;
    char key[WEBGET_POOL_HOST_KEY_SIZE];
    HostKey(request, key);
    if (WebGetHostConnections* host = FindHost(pool->ActiveHosts, key))
        return WebGetHostConnections_RequestAdd(pool, host, request);
    uint32_t count = TableCount(pool->ActiveHosts);
    if (count >= pool->MaxHosts) {
        EvictIdleHosts(pool, count - pool->MaxHosts + 1);
        count = TableCount(pool->ActiveHosts);
    }
    if (count < pool->MaxHosts) {
        WebGetHostConnections* host = nullptr;
        WebGetHostConnections_Create(pool, key, &host);
        HashTable_AddEx(pool->ActiveHosts, host->Key, reinterpret_cast<uint64_t>(host), &host->Member);
        host->State = WEBGET_HOST_ACTIVE;
        return WebGetHostConnections_RequestAdd(pool, host, request);
    }
    WebGetHostConnections* host = FindHost(pool->PendingHosts, key);
    if (!host) {
        WebGetHostConnections_Create(pool, key, &host);
        HashTable_Add(pool->PendingHosts, host->Key, reinterpret_cast<uint64_t>(host));
        WebGetPool_VerboseLog(1, "Host [%s] waits for a place", key);
    }
    return WebGetHostConnections_RequestAdd(pool, host, request);
}

int64_t WebGetPool_RequestRemove(WebGetRequest* request) {
    POOL_MAIN_THREAD();
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    WebGetPool* pool = GlobalWebGetPool.load();
    if (!pool) return 0;
    char key[WEBGET_POOL_HOST_KEY_SIZE];
    HostKey(request, key);
    // A redirected request taken back before the next pass is not filed again.
    const bool wasRefiled = DropRefile(pool, request);
    WebGetHostConnections* host = FindHost(pool->ActiveHosts, key);
    if (!host) host = FindHost(pool->PendingHosts, key);
    if (!host) {
        void* connection = nullptr;
        if (wasRefiled && WebGetRequest_GetConnectionHandle(request, &connection))
            WebGetConnection_CloseEx(static_cast<WebGetConnection*>(connection), WEBGET_CLOSE_FORGET);
        return wasRefiled ? 1 : 0;
    }
    return WebGetHostConnections_RequestRemove(pool, host, request);
}

int64_t WebGetPool_RemoveClosedHosts(WebGetPool* pool) {
    Checked(pool);
    while (WebGetPoolClosedEntry* entry = pool->ClosedHosts.Head) {
        ListUnlink(&pool->ClosedHosts, entry);
        WebGetHostConnections_Delete(pool, &entry->Host);
        Pool_Free(pool->ClosedHostPool, &entry, sizeof(WebGetPoolClosedEntry));
    }
    return 1;
}

int64_t WebGetPool_Process() {
    POOL_MAIN_THREAD();
    WebGetPool* pool = GlobalWebGetPool.load();
    if (!pool) return 0;
    if (pool->Walking) {
        // Called from a callback of the pass under way: that pass goes on; this one comes next.
        PostProcessEvent(pool);
        return 0;
    }
    const double start = Time_GetCurrent();
    int64_t result = 0;
    const uint32_t count = TableCount(pool->ActiveHosts);
    if (!count) {
        pool->NextHostPosition = 0;
    } else {
        // The walk runs over the hosts as they stood at its start. Callbacks may take hosts out of
        // the table meanwhile (a host yielding to a pending one, an idle host evicted); while the
        // walk runs those records are only closed, never freed, and are skipped by their state.
        WebGetHostConnections* local[16];
        WebGetHostConnections** hosts =
            count <= 16 ? local : static_cast<WebGetHostConnections**>(Memory_Alloc(sizeof(void*) * count));
        uint32_t n = 0;
        HashTableMember* member = nullptr;
        HashTable_MemberGetFirst(pool->ActiveHosts, &member);
        while (member && n < count) {
            uint64_t value = 0;
            HashTable_MemberGetValue(pool->ActiveHosts, member, &value);
            hosts[n++] = reinterpret_cast<WebGetHostConnections*>(value);
            HashTableMember* next = nullptr;
            HashTable_MemberGetNext(pool->ActiveHosts, member, &next);
            member = next;
        }
        pool->Walking = 1;
        uint32_t position = pool->NextHostPosition < n ? pool->NextHostPosition : 0;
        bool sliceOut = false;
        for (; position < n && !sliceOut; position++) {
            WebGetHostConnections* host = hosts[position];
            if (host->State != WEBGET_HOST_ACTIVE) continue;
            for (WebGetPoolConnectionEntry* e = host->Connections.Head; e; e = e->Next) {
                result |= WebGetConnection_Process(e->Connection);
                if (host->State != WEBGET_HOST_ACTIVE) break;
                if (Time_GetCurrent() - start >= kTimeSlice) {
                    sliceOut = true;
                    break;
                }
            }
            if (host->State == WEBGET_HOST_ACTIVE) CheckHost(pool, host);
            if (Time_GetCurrent() - start >= kTimeSlice) sliceOut = true;
        }
        pool->Walking = 0;
        if (sliceOut) {
            PostProcessEvent(pool);
            pool->NextHostPosition = position;
        } else {
            pool->NextHostPosition = 0;
        }
        if (hosts != local) Memory_Free(hosts, sizeof(void*) * count);
    }
    WebGetPool_RemoveClosedHosts(pool);
    if (Refile(pool)) result = 1;
    return result;
}

void WebGetPool_ProcessEvent(void*) {
    // The instance is not used: an event left from a removed pool finds no pool and does nothing.
    if (GlobalWebGetPool.load()) WebGetPool_Process();
}

// ---- Counts --------------------------------------------------------------------------------------

uint32_t WebGetPool_GetConnectionCount(HashTable* table) {
    uint32_t total = 0;
    HashTableMember* member = nullptr;
    HashTable_MemberGetFirst(table, &member);
    while (member) {
        uint64_t value = 0;
        HashTable_MemberGetValue(table, member, &value);
        total += reinterpret_cast<WebGetHostConnections*>(value)->Connections.Count;
        HashTableMember* next = nullptr;
        HashTable_MemberGetNext(table, member, &next);
        member = next;
    }
    return total;
}

uint32_t WebGetPool_GetRequestCount(HashTable* table, uint32_t runningOnly) {
    uint32_t total = 0;
    HashTableMember* member = nullptr;
    HashTable_MemberGetFirst(table, &member);
    while (member) {
        uint64_t value = 0;
        HashTable_MemberGetValue(table, member, &value);
        total += WebGetHostConnections_GetRequestCount(reinterpret_cast<WebGetHostConnections*>(value), runningOnly);
        HashTableMember* next = nullptr;
        HashTable_MemberGetNext(table, member, &next);
        member = next;
    }
    return total;
}

#define POOL_COUNT(name, expression)                                                                         \
    uint32_t name() {                                                                                        \
        WebGetPool* pool = GlobalWebGetPool.load();                                                          \
        return pool ? (expression) : 0;                                                                      \
    }
POOL_COUNT(WebGetPool_GetActiveHostCount, TableCount(pool->ActiveHosts))
POOL_COUNT(WebGetPool_GetPendingHostCount, TableCount(pool->PendingHosts))
POOL_COUNT(WebGetPool_GetActiveConnectionCount, WebGetPool_GetConnectionCount(pool->ActiveHosts))
POOL_COUNT(WebGetPool_GetPendingConnectionCount, WebGetPool_GetConnectionCount(pool->PendingHosts))
POOL_COUNT(WebGetPool_GetActiveRequestCount, WebGetPool_GetRequestCount(pool->ActiveHosts, 1))
POOL_COUNT(WebGetPool_GetScheduledRequestCount, WebGetPool_GetRequestCount(pool->ActiveHosts, 0))
POOL_COUNT(WebGetPool_GetPendingRequestCount, WebGetPool_GetRequestCount(pool->PendingHosts, 1))
#undef POOL_COUNT

// ---- Reporting -----------------------------------------------------------------------------------

int64_t WebGetPool_PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

int64_t WebGetPool_PrintInt(void*, const char* format, ...) {
    WebGetPool* pool = GlobalWebGetPool.load();
    va_list args;
    va_start(args, format);
    char line[4096];
    String_VPrint(line, sizeof(line), format, args);
    va_end(args);
    if (!pool) return WebGetPool_PrintInternal(nullptr, "%s", line);
    PreparePrint(pool);
    return pool->Print.PrintCallback(pool->Print.PrintUser, "%s", line);
}

int64_t WebGetPool_VPrint(int32_t indent, const char* format, va_list args) {
    WebGetPool* pool = GlobalWebGetPool.load();
    if (!pool) return 0;
    PreparePrint(pool);
    return ClassPrint_VPrint(&pool->Print, indent, format, args);
}

int64_t WebGetPool_Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = WebGetPool_VPrint(0, format, args);
    va_end(args);
    return result;
}

int64_t WebGetPool_PrintTabbed(int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = WebGetPool_VPrint(indent, format, args);
    va_end(args);
    return result;
}

int64_t WebGetPool_IsVerboseLevel(int32_t level) {
    WebGetPool* pool = GlobalWebGetPool.load();
    if (!pool) return 0;
    PreparePrint(pool);
    return ClassPrint_IsVerboseLevel(&pool->Print, level);
}

int64_t WebGetPool_VerboseLog(int32_t level, const char* format, ...) {
    if (!WebGetPool_IsVerboseLevel(level)) return 0;
    va_list args;
    va_start(args, format);
    const int64_t result = WebGetPool_VPrint(0, format, args);
    va_end(args);
    return result;
}

int64_t WebGetPool_SetPrintCallback(void* user, ClassPrintCallback callback) {
    WebGetPool* pool = GlobalWebGetPool.load();
    if (!pool) return 0;
    PreparePrint(pool);
    pool->Print.PrintUser = user;
    pool->Print.PrintCallback = callback ? callback : WebGetPool_PrintInternal;
    return 1;
}

int64_t WebGetPool_GetPrintCallback(void** user, ClassPrintCallback* callback) {
    ASSERT_POINTER(user);
    ASSERT_POINTER(callback);
    *user = nullptr;
    *callback = nullptr;
    WebGetPool* pool = GlobalWebGetPool.load();
    if (!pool) return 0;
    PreparePrint(pool);
    *user = pool->Print.PrintUser;
    *callback = pool->Print.PrintCallback;
    return 1;
}

int64_t WebGetPool_SetPrintIdentifier(const char* text) {
    WebGetPool* pool = GlobalWebGetPool.load();
    if (!pool) return 0;
    pool->Print.Identifier = text;
    return 1;
}

int64_t WebGetPool_SetVerbose(uint32_t verbose) {
    WebGetPool* pool = GlobalWebGetPool.load();
    if (!pool) return 0;
    pool->Print.Verbose = (int32_t)verbose;
    return 1;
}

int64_t WebGetPool_GetVerbose(uint32_t* verbose) {
    ASSERT_POINTER(verbose);
    *verbose = 0;
    WebGetPool* pool = GlobalWebGetPool.load();
    if (!pool) return 0;
    *verbose = (uint32_t)pool->Print.Verbose;
    return 1;
}
