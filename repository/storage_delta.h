// Delta sources: reads the run of local pieces that a VCDIFF delta copies from into the request's
// delta request, through an offset cache of recently read file data, so the delta can be applied.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct Dictionary;
struct Storage;
struct StorageDelta;
struct StorageRequest;

enum : uint32_t { STORAGE_DELTA_CLASS_ID = 0x27f28343 };

// Called once per StorageDelta_Get: code 0, 988 for a bad header or an unusable source range, or
// the code of the source storage's read.
typedef void (*StorageDeltaCompleteFunc)(StorageDelta* delta, StorageRequest* request, void* user, uint32_t code,
                                         uint32_t extendedCode);

int64_t StorageDelta_Create(StorageDelta** handle);
int64_t StorageDelta_AddRef(StorageDelta* delta);
int64_t StorageDelta_Release(StorageDelta** handle);
// Deletes the pool and the cache, frees the object and clears the handle.
int64_t StorageDelta_Delete(StorageDelta** handle);
int64_t StorageDelta_GetInstanceId(StorageDelta* delta, char* buffer, int32_t size);

// The local storage the source pieces are read from (a reference of the delta's own).
int64_t StorageDelta_SetSourceHandle(StorageDelta* delta, Storage* storage);
// Cache size: the storage dictionary's "deltaCacheSize", else the engine configuration's
// "storage.deltaCacheSize"; 0 with a message when neither is there.
int64_t StorageDelta_Configure(StorageDelta* delta, Dictionary* engineConfig, Dictionary* storageConfig);
// Read bytes 0 and the cache emptied with its counters.
int64_t StorageDelta_Reset(StorageDelta* delta);
// Every cache entry evicted.
int64_t StorageDelta_CacheClear(StorageDelta* delta);
// "readBytes" and the dictionary "cache".
int64_t StorageDelta_Dump(StorageDelta* delta, Dictionary* dictionary);

// Reads the delta's window header and fetches its source pieces into the request's delta request
// from the source storage; on the thread of the storage's event queue. Always 1.
int64_t StorageDelta_Get(StorageDelta* delta, StorageRequest* request, void* user, StorageDeltaCompleteFunc completion);

// Print family, class name "StorageDelta".
int64_t StorageDelta_VPrint(StorageDelta* delta, int32_t indent, const char* format, va_list args);
int64_t StorageDelta_Print(StorageDelta* delta, const char* format, ...);
int64_t StorageDelta_PrintTabbed(StorageDelta* delta, int32_t indent, const char* format, ...);
int64_t StorageDelta_IsVerboseLevel(StorageDelta* delta, int32_t level);
int64_t StorageDelta_VerboseLog(StorageDelta* delta, int32_t level, const char* format, ...);
int64_t StorageDelta_SetPrintCallback(StorageDelta* delta, void* user, ClassPrintCallback callback);
int64_t StorageDelta_GetPrintCallback(StorageDelta* delta, void** user, ClassPrintCallback* callback);
int64_t StorageDelta_SetPrintIdentifier(StorageDelta* delta, const char* text);
int64_t StorageDelta_SetVerbose(StorageDelta* delta, uint32_t verbose);
int64_t StorageDelta_GetVerbose(StorageDelta* delta, uint32_t* verbose);
int64_t StorageDelta_PrintInternal(void* user, const char* format, ...);
