// The catalogue document: names the remote manifest of one remote id (or the delta from a local
// id to it) and may carry configuration for the synchronisation. One loader, checked on its
// worker: "id" and "metafile" must be strings.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "repository/document_loader.h"

struct Catalog;

enum : uint32_t { CATALOG_CLASS_ID = 0x3d6b14c8 };
// An id as long as a manifest's at most (133 bytes); the manifest's address as long as 319.
enum : int32_t { CATALOG_ID_SIZE = 134, CATALOG_TEXT_SIZE = 320 };

int64_t Catalog_Create(Catalog** handle);
int64_t Catalog_AddRef(Catalog* catalog);
int64_t Catalog_Release(Catalog** handle);
int64_t Catalog_Delete(Catalog** handle);

int64_t Catalog_Load(Catalog* catalog, const char* url, uint32_t verify);
int64_t Catalog_SkipLoad(Catalog* catalog);
// Resets the loader, clears "skipped" (a reset document is not loaded) and turns the delta flag back on.
int64_t Catalog_Reset(Catalog* catalog);
int64_t Catalog_IsLoadSkipped(Catalog* catalog);
int64_t Catalog_IsLoadComplete(Catalog* catalog);
int64_t Catalog_IsOk(Catalog* catalog);
// "id" and "metafile" of a loaded document; 0 (empty) otherwise.
int64_t Catalog_GetId(Catalog* catalog, char* buffer, int32_t size);
int64_t Catalog_GetMetaFile(Catalog* catalog, char* buffer, int32_t size);
// The "config" object (null when absent); the document's top-level object (0 while loading).
int64_t Catalog_GetConfigHandle(Catalog* catalog, Dictionary** config);
int64_t Catalog_GetDataDictionary(Catalog* catalog, Dictionary** data);
int64_t Catalog_GetDelta(Catalog* catalog, uint32_t* delta);
int64_t Catalog_SetDelta(Catalog* catalog, uint32_t delta);
int64_t Catalog_SetReportError(Catalog* catalog, uint32_t report);
// The last failure was "not there": HTTP 404, or an OS error that says the file is missing.
int64_t Catalog_IsMissing(Catalog* catalog);
int64_t Catalog_WorkerBuild(AsyncHTTP* loader, void* user, uint32_t* code, uint32_t* codeEx);

// The loader's state and wiring.

int64_t Catalog_IsAlive(Catalog* catalog);
int64_t Catalog_GetLastError(Catalog* catalog, uint32_t* code, uint32_t* codeEx);
int64_t Catalog_GetErrorCount(Catalog* catalog, int32_t* count);
int64_t Catalog_GetResumeTime(Catalog* catalog, double* time);
int64_t Catalog_GetLimitSize(Catalog* catalog, int32_t* size);
int64_t Catalog_SetLimitSize(Catalog* catalog, int32_t size);
int64_t Catalog_GetEventQueueHandle(Catalog* catalog, EventQueue** queue);
int64_t Catalog_SetEventQueueHandle(Catalog* catalog, EventQueue* queue);
int64_t Catalog_SetErrorCallback(Catalog* catalog, void* user, AsyncHTTPErrorFunc callback);
int64_t Catalog_SetCertStoreHandle(Catalog* catalog, CertStoreInterface* store);
int64_t Catalog_Dump(Catalog* catalog, Dictionary* dict);
int64_t Catalog_GetOverallUsage(Catalog* catalog, uint64_t* read, uint64_t* write);
int64_t Catalog_GetMaxBandwidth(Catalog* catalog, double* read, double* write);
int64_t Catalog_GetCurrentBandwidth(Catalog* catalog, double* read, double* write);
int64_t Catalog_GetLimitBandwidth(Catalog* catalog, int32_t* read, int32_t* write);
int64_t Catalog_SetLimitBandwidth(Catalog* catalog, int32_t read, int32_t write);
int64_t Catalog_GetMeterRWHandle(Catalog* catalog, MeterRW** meter);

int64_t Catalog_VPrint(Catalog* catalog, int32_t indent, const char* format, va_list args);
int64_t Catalog_Print(Catalog* catalog, const char* format, ...);
int64_t Catalog_PrintTabbed(Catalog* catalog, int32_t indent, const char* format, ...);
int64_t Catalog_IsVerboseLevel(Catalog* catalog, int32_t level);
int64_t Catalog_VerboseLog(Catalog* catalog, int32_t level, const char* format, ...);
int64_t Catalog_SetPrintCallback(Catalog* catalog, void* user, ClassPrintCallback callback);
int64_t Catalog_GetPrintCallback(Catalog* catalog, void** user, ClassPrintCallback* callback);
int64_t Catalog_SetPrintIdentifier(Catalog* catalog, const char* text);
int64_t Catalog_SetVerbose(Catalog* catalog, uint32_t verbose);
int64_t Catalog_GetVerbose(Catalog* catalog, uint32_t* verbose);
