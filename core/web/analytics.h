// The process-wide analytics event queue: events (a name and a Dictionary) are queued from any
// module and posted from the main loop as JSON arrays, in batches, with a growing delay on failure.
#pragma once

#include <cstdarg>
#include <cstdint>

struct Dictionary;
struct MeterRW;
struct WebGetConnection;
struct WebGetRequest;

enum : uint32_t {
    ANALYTICS_CLASS_ID = 0x18bd3bb7,
    ANALYTICS_EVENT_CLASS_ID = 0xa0c7f044,
};

enum : int32_t {
    ANALYTICS_END_POINT_SIZE = 8192,
    ANALYTICS_TEXT_SIZE = 320, // key, machine id, session id, crash application id, event names
    // One event whose JSON text is larger is refused, and a batch stops growing once it holds
    // this much, so that a post body always fits the request's 32-bit length.
    ANALYTICS_EVENT_LIMIT = 1 << 20,
    ANALYTICS_BATCH_LIMIT = 32 << 20,
    ANALYTICS_POST_LIMIT = 256 << 20, // a batch larger still (huge global information) is not posted
};

// ---- Life cycle and configuration ---------------------------------------------------------
int64_t Analytics_Init();
// Drains the queue with blocking posts, then frees everything; 1 (also when not started).
int64_t Analytics_Remove();
int64_t Analytics_LoadConfigFromDictionary(Dictionary* config);
int64_t Analytics_IsEnabled();
int64_t Analytics_IsCrashDumpEnabled();
int64_t Analytics_IsActive();
int64_t Analytics_SetEnabled(uint32_t flag);
int64_t Analytics_SetCrashDumpEnabled(uint32_t flag);

// ---- Events -------------------------------------------------------------------------------
int64_t Analytics_SendEvent(const char* name, Dictionary* info);
int64_t Analytics_SendEventInterop(const char* name, const char* jsonText);
int64_t Analytics_SendEventWithJSON(const char* name, const char* format, ...);
int64_t Analytics_SendEventMultiple(Dictionary* events);
int64_t Analytics_SendEventXCache(Dictionary* counters);
int64_t Analytics_Extend(Dictionary* info);
int64_t Analytics_ExtendInterop(const char* jsonText);
int64_t Analytics_Clear();
int64_t Analytics_SetSession(const char* session);
int64_t Analytics_GetSession(char* buffer, int32_t capacity);
int64_t Analytics_SetCrashAppId(const char* appId);
int64_t Analytics_FillCrashEvent(const char* format, const char* appVersion, Dictionary* event, Dictionary* extra);
int64_t Analytics_Dump(Dictionary* list);

// ---- Posting ------------------------------------------------------------------------------
int64_t Analytics_Process();
int64_t Analytics_PostEvents(uint32_t force);

// ---- Handles ------------------------------------------------------------------------------
int64_t Analytics_GetGlobalDictionaryHandle(Dictionary** dict);
int64_t Analytics_GetRemoteMeterRWHandle(MeterRW** meter);
int64_t Analytics_GetWebGetConnectionHandle(WebGetConnection** connection);
int64_t Analytics_GetWebGetRequestHandle(WebGetRequest** request);

// Replaces the monotonic clock (seconds) for tests; null restores it.
typedef double (*AnalyticsClockFunc)();
int64_t Analytics_SetClockOverride(AnalyticsClockFunc fn);
