// The process-wide scheduler of HTTP requests: requests are filed by host, each host keeps a few
// persistent connections, and the main loop drives them in short time slices.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct WebGetRequest;
struct WebGetPool;

enum : uint32_t { WEBGET_POOL_CLASS_ID = 0x32ace1b0 };

enum : uint32_t {
    WEBGET_POOL_DEFAULT_MAX_HOSTS = 5,
    WEBGET_POOL_DEFAULT_MAX_HOST_CONNECTIONS = 6,
};

// The global pool: created once at the engine's start, deleted at its end.
int64_t WebGetPool_Init();
int64_t WebGetPool_Remove();

int64_t WebGetPool_Create(WebGetPool** handle);
int64_t WebGetPool_Delete(WebGetPool** handle);
int64_t WebGetPool_AddRef(WebGetPool* pool);
int64_t WebGetPool_Release(WebGetPool** handle);
int64_t WebGetPool_GetInstanceId(WebGetPool* pool, char* buffer, int32_t capacity);

// Limits of the global pool; a value below 1 is refused with 0 and the old value stays.
int64_t WebGetPool_SetMaxHostCount(uint32_t count);
int64_t WebGetPool_SetMaxHostConnectionCount(uint32_t count);
int64_t WebGetPool_GetMaxHostConnectionCount(uint32_t* count);

// Files a prepared request (main thread only); 1.
int64_t WebGetPool_RequestAdd(WebGetRequest* request);
// Takes a request back (main thread only); 0 when its host is in neither table.
int64_t WebGetPool_RequestRemove(WebGetRequest* request);
// One pass over the active hosts; 1 when a connection did work or a request was filed again.
int64_t WebGetPool_Process();
// The main event queue's process event: runs a pass of the global pool.
void WebGetPool_ProcessEvent(void* instance);

// Counts of the global pool.
uint32_t WebGetPool_GetActiveHostCount();
uint32_t WebGetPool_GetPendingHostCount();
uint32_t WebGetPool_GetActiveConnectionCount();
uint32_t WebGetPool_GetPendingConnectionCount();
// Requests held by connections of active hosts.
uint32_t WebGetPool_GetActiveRequestCount();
// Those plus the requests queued at active hosts.
uint32_t WebGetPool_GetScheduledRequestCount();
// Requests held by connections of pending hosts.
uint32_t WebGetPool_GetPendingRequestCount();

// Reporting on the global pool; without a print callback lines go to the log at DEBUG level.
int64_t WebGetPool_VPrint(int32_t indent, const char* format, va_list args);
int64_t WebGetPool_Print(const char* format, ...);
int64_t WebGetPool_PrintTabbed(int32_t indent, const char* format, ...);
int64_t WebGetPool_IsVerboseLevel(int32_t level);
int64_t WebGetPool_VerboseLog(int32_t level, const char* format, ...);
// The default sink: one DEBUG log line.
int64_t WebGetPool_PrintInternal(void* user, const char* format, ...);
// The print function of every connection of the pool: its lines go to the pool's sink.
int64_t WebGetPool_PrintInt(void* user, const char* format, ...);
int64_t WebGetPool_SetPrintCallback(void* user, ClassPrintCallback callback);
int64_t WebGetPool_GetPrintCallback(void** user, ClassPrintCallback* callback);
int64_t WebGetPool_SetPrintIdentifier(const char* text);
// Verbose 1 also makes every new connection of the pool verbose.
int64_t WebGetPool_SetVerbose(uint32_t verbose);
int64_t WebGetPool_GetVerbose(uint32_t* verbose);
