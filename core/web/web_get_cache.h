// The HTTP client's in-memory response cache: named stores of whole responses, kept by URL, served
// while fresh or once the server confirmed them, reserved so that one URL is fetched once at a time.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

enum : uint32_t {
    WEBGET_CACHE_CLASS_ID = 0xD8335D5D,
    WEBGET_CACHE_STORE_CLASS_ID = 0xF8DF9AAF,
    WEBGET_CACHE_ITEM_CLASS_ID = 0x9C2939AC,
};

// Item directives.
enum : uint32_t {
    WEBGET_CACHE_DIRECTIVE_STORE = 0,    // store and serve while fresh
    WEBGET_CACHE_DIRECTIVE_VALIDATE = 1, // store, serve only after the server confirmed it
    WEBGET_CACHE_DIRECTIVE_NO_STORE = 2, // do not store
};

enum : int32_t {
    WEBGET_CACHE_STORE_NAME_SIZE = 120,
    // Seconds between two sweeps of one store that are not forced.
    WEBGET_CACHE_EXPIRE_INTERVAL = 30,
};

struct WebGetCacheStore;
struct WebGetCacheItem;
struct MemoryStream;

// The monotonic clock in seconds that commit times and expiry read; tests move it by hand.
typedef double (*WebGetCacheClockFunc)();
// Installs a clock in place of the monotonic one (null restores it).
int64_t WebGetCache_SetClockOverride(WebGetCacheClockFunc fn);
// Called by WebGetCacheStore_WaitOne, under the store's lock, between its two reads of a
// reservation whose filler seems gone (its references, then its commit flag): a test runs the
// filler's commit and release there to check that order. Null (the default) calls nothing.
typedef void (*WebGetCacheProbeFunc)(void* user);
int64_t WebGetCache_SetOrphanCheckProbe(WebGetCacheProbeFunc fn, void* user);

// ---- The process-wide registry of stores ------------------------------------------------------
// Used from the main thread only.
int64_t WebGetCache_Init();
// Unlinks every store and drops the registry's reference; 1 also when it never existed.
int64_t WebGetCache_Remove();
// A new reference to the store of that name (ASCII case ignored), created when absent.
int64_t WebGetCache_AddStore(const char* name, WebGetCacheStore** store);
// A new reference to the first store of that name, or 0 and none.
int64_t WebGetCache_GetStore(const char* name, WebGetCacheStore** store);
int64_t WebGetCache_Expire(int32_t force);

// ---- Stores ---------------------------------------------------------------------------------
int64_t WebGetCacheStore_Create(WebGetCacheStore** handle);
// Releases every item under the lock, deletes the lock and frees the store.
int64_t WebGetCacheStore_Delete(WebGetCacheStore** handle);
int64_t WebGetCacheStore_AddRef(WebGetCacheStore* store);
int64_t WebGetCacheStore_Release(WebGetCacheStore** handle);
int64_t WebGetCacheStore_GetInstanceId(WebGetCacheStore* store, char* buffer, int32_t size);

int64_t WebGetCacheStore_SetName(WebGetCacheStore* store, const char* name);
int64_t WebGetCacheStore_GetName(WebGetCacheStore* store, char* buffer, int32_t capacity);
// Floor of every item's lifetime, seconds.
int64_t WebGetCacheStore_SetMinAge(WebGetCacheStore* store, int64_t seconds);
int64_t WebGetCacheStore_GetMinAge(WebGetCacheStore* store, int64_t* seconds);
// Directive given to each new item.
int64_t WebGetCacheStore_SetDirective(WebGetCacheStore* store, uint32_t directive);
int64_t WebGetCacheStore_GetDirective(WebGetCacheStore* store, uint32_t* directive);

// Items are kept with their URL and matched on it exactly: two URLs never share an item.
// Appends a new item for the URL and hands out a new reference to it.
int64_t WebGetCacheStore_AddItem(WebGetCacheStore* store, const char* url, WebGetCacheItem** item);
// The first valid, committed item of the URL as a new reference; 0 and none otherwise.
int64_t WebGetCacheStore_FindItem(WebGetCacheStore* store, const char* url, WebGetCacheItem** item);
// Reserves the URL: 0 with a new item to fill (none existed) or the committed one; 1 and no item
// when another request is filling it (the caller waits and asks again).
int64_t WebGetCacheStore_WaitOne(WebGetCacheStore* store, const char* url, WebGetCacheItem** item);
// Number of valid, committed items of the URL.
int64_t WebGetCacheStore_GetItemCount(WebGetCacheStore* store, const char* url, uint32_t* count);
// The store lock (recursive), for callers that make several calls as one.
int64_t WebGetCacheStore_Lock(WebGetCacheStore* store);
int64_t WebGetCacheStore_Unlock(WebGetCacheStore* store);
// Removes invalid items and committed items past their lifetime; without force at most once
// per WEBGET_CACHE_EXPIRE_INTERVAL.
int64_t WebGetCacheStore_Expire(WebGetCacheStore* store, int32_t force);
// Dumps every item's bytes to files (see WebGetCacheItem_Save).
int64_t WebGetCacheStore_Save(WebGetCacheStore* store, const char* path);

int64_t WebGetCacheStore_SetPrintCallback(WebGetCacheStore* store, void* user, ClassPrintCallback callback);
int64_t WebGetCacheStore_GetPrintCallback(WebGetCacheStore* store, void** user, ClassPrintCallback* callback);
int64_t WebGetCacheStore_SetPrintIdentifier(WebGetCacheStore* store, const char* text);
int64_t WebGetCacheStore_SetVerbose(WebGetCacheStore* store, uint32_t verbose);
int64_t WebGetCacheStore_GetVerbose(WebGetCacheStore* store, uint32_t* verbose);
int64_t WebGetCacheStore_IsVerboseLevel(WebGetCacheStore* store, int32_t level);
int64_t WebGetCacheStore_VerboseLog(WebGetCacheStore* store, int32_t level, const char* format, ...);
int64_t WebGetCacheStore_Print(WebGetCacheStore* store, const char* format, ...);
int64_t WebGetCacheStore_PrintTabbed(WebGetCacheStore* store, int32_t indent, const char* format, ...);
int64_t WebGetCacheStore_VPrint(WebGetCacheStore* store, int32_t indent, const char* format, va_list args);

// ---- Items ----------------------------------------------------------------------------------
// Fields are written by the one request that reserved the item, without a lock.
int64_t WebGetCacheItem_Create(WebGetCacheItem** handle);
int64_t WebGetCacheItem_Delete(WebGetCacheItem** handle);
int64_t WebGetCacheItem_AddRef(WebGetCacheItem* item);
int64_t WebGetCacheItem_Release(WebGetCacheItem** handle);
int64_t WebGetCacheItem_GetInstanceId(WebGetCacheItem* item, char* buffer, int32_t size);

int64_t WebGetCacheItem_SetUrl(WebGetCacheItem* item, const char* url);
// Appends to the body (created on first use).
int64_t WebGetCacheItem_Write(WebGetCacheItem* item, const void* data, uint32_t length, uint32_t* written);
int64_t WebGetCacheItem_DiscardAll(WebGetCacheItem* item);
int64_t WebGetCacheItem_Commit(WebGetCacheItem* item);
int64_t WebGetCacheItem_Invalidate(WebGetCacheItem* item);
int64_t WebGetCacheItem_IsCommitted(WebGetCacheItem* item);
int64_t WebGetCacheItem_IsValid(WebGetCacheItem* item);
// 1 while it is being filled: not committed and still valid.
int64_t WebGetCacheItem_IsWriting(WebGetCacheItem* item);
int64_t WebGetCacheItem_ShouldStore(WebGetCacheItem* item);
int64_t WebGetCacheItem_ShouldValidate(WebGetCacheItem* item);
int64_t WebGetCacheItem_SetMaxAge(WebGetCacheItem* item, int64_t seconds);
int64_t WebGetCacheItem_GetMaxAge(WebGetCacheItem* item, int64_t* seconds);
// Wall-clock seconds of the response's Last-Modified.
int64_t WebGetCacheItem_SetLastModifiedTime(WebGetCacheItem* item, double time);
int64_t WebGetCacheItem_GetLastModifiedTime(WebGetCacheItem* item, double* time);
int64_t WebGetCacheItem_SetDirective(WebGetCacheItem* item, uint32_t directive);
int64_t WebGetCacheItem_GetDirective(WebGetCacheItem* item, uint32_t* directive);
// The body stream itself (no new reference), or none before the first write.
int64_t WebGetCacheItem_GetMemoryStreamHandle(WebGetCacheItem* item, MemoryStream** stream);
// Writes the body to one file: a path ending in a separator gets the name
// "<key>-<number>[-i][x].bin" (invalidated, committed); other paths are used as given.
int64_t WebGetCacheItem_Save(WebGetCacheItem* item, const char* path);

int64_t WebGetCacheItem_SetPrintCallback(WebGetCacheItem* item, void* user, ClassPrintCallback callback);
int64_t WebGetCacheItem_GetPrintCallback(WebGetCacheItem* item, void** user, ClassPrintCallback* callback);
int64_t WebGetCacheItem_SetPrintIdentifier(WebGetCacheItem* item, const char* text);
int64_t WebGetCacheItem_SetVerbose(WebGetCacheItem* item, uint32_t verbose);
int64_t WebGetCacheItem_GetVerbose(WebGetCacheItem* item, uint32_t* verbose);
int64_t WebGetCacheItem_IsVerboseLevel(WebGetCacheItem* item, int32_t level);
int64_t WebGetCacheItem_VerboseLog(WebGetCacheItem* item, int32_t level, const char* format, ...);
int64_t WebGetCacheItem_Print(WebGetCacheItem* item, const char* format, ...);
int64_t WebGetCacheItem_PrintTabbed(WebGetCacheItem* item, int32_t indent, const char* format, ...);
int64_t WebGetCacheItem_VPrint(WebGetCacheItem* item, int32_t indent, const char* format, va_list args);
