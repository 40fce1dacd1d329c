// The pool's records: hosts with their connections and queues, the tables that file them, and
// the host operations that the pool's connections call back.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/web/web_get_pool.h"

struct HashTable;
struct HashTableMember;
struct Pool;
struct WebGetConnection;

enum : uint32_t {
    WEBGET_POOL_CLOSED_LIST_CLASS_ID = 0x96830a7a,
    WEBGET_POOL_QUEUE_LIST_CLASS_ID = 0x9cd66d13,
    WEBGET_POOL_CONNECTION_LIST_CLASS_ID = 0x26552186,
};

enum : int32_t { WEBGET_POOL_HOST_KEY_SIZE = 512 };

struct WebGetHostConnections;

struct WebGetPoolConnectionEntry {
    WebGetConnection* Connection;
    WebGetPoolConnectionEntry* Next;
    WebGetPoolConnectionEntry* Prev;
};

// A host's queued request, or a redirected request waiting to be filed again.
struct WebGetPoolQueueEntry {
    WebGetRequest* Request;
    WebGetPoolQueueEntry* Next;
    WebGetPoolQueueEntry* Prev;
};

struct WebGetPoolClosedEntry {
    WebGetHostConnections* Host;
    WebGetPoolClosedEntry* Next;
    WebGetPoolClosedEntry* Prev;
};

template <typename Entry> struct WebGetPoolList {
    uint32_t ClassId;
    uint32_t Count;
    Entry* Head;
    Entry* Tail;
};

enum WebGetHostState : uint32_t {
    WEBGET_HOST_PENDING = 0,
    WEBGET_HOST_ACTIVE = 1,
    // Out of both tables, waiting to be deleted after the current pass.
    WEBGET_HOST_CLOSED = 2,
};

struct WebGetHostConnections {
    HashTableMember* Member; // in the active table while active
    WebGetPoolList<WebGetPoolConnectionEntry> Connections;
    WebGetPoolList<WebGetPoolQueueEntry> Queue;
    uint32_t State;
    char Key[WEBGET_POOL_HOST_KEY_SIZE];
};

struct WebGetPool {
    Class Header;
    ClassPrint Print;
    uint32_t MaxHosts;
    uint32_t MaxHostConnections;
    uint32_t NextHostPosition;
    HashTable* ActiveHosts;
    HashTable* PendingHosts;
    HashTable* QueuedRequests;
    Pool* HostPool;
    Pool* ConnectionEntryPool;
    Pool* QueueEntryPool;
    Pool* ClosedHostPool;
    WebGetPoolList<WebGetPoolClosedEntry> ClosedHosts;
    WebGetPoolList<WebGetPoolQueueEntry> Refile;
    // Set while a pass walks the active hosts: host records are then never freed, only closed,
    // so that the walk can go on over them whatever the callbacks it runs do.
    uint32_t Walking;
};

int64_t WebGetHostConnections_Create(WebGetPool* pool, const char* key, WebGetHostConnections** host);
int64_t WebGetHostConnections_Delete(WebGetPool* pool, WebGetHostConnections** host);
int64_t WebGetHostConnections_RequestAdd(WebGetPool* pool, WebGetHostConnections* host, WebGetRequest* request);
int64_t WebGetHostConnections_RequestAddInternal(WebGetConnection* connection, WebGetRequest* request);
int64_t WebGetHostConnections_RequestRemove(WebGetPool* pool, WebGetHostConnections* host, WebGetRequest* request);
// Requests on the host's connections plus, unless runningOnly, those in its queue.
uint32_t WebGetHostConnections_GetRequestCount(WebGetHostConnections* host, uint32_t runningOnly);

// The callbacks every connection of the pool carries.
int64_t WebGetHostConnections_WebGetConnectionSignal(WebGetConnection* connection, void* user);
int64_t WebGetHostConnections_WebGetConnectionDone(WebGetConnection* connection, void* host, WebGetRequest* request);
int64_t WebGetHostConnections_WebGetConnectionRedirect(WebGetConnection* connection, void* host,
                                                       WebGetRequest* request);

// Sums over the hosts of one table (the global pool's active or pending hosts).
uint32_t WebGetPool_GetConnectionCount(HashTable* table);
uint32_t WebGetPool_GetRequestCount(HashTable* table, uint32_t runningOnly);
int64_t WebGetPool_RemoveClosedHosts(WebGetPool* pool);

// The global pool itself (tests read its position and tables).
WebGetPool* WebGetPool_GetGlobal();
