// The alias document: maps repository names to remote ids. One loader, checked on its worker:
// the member named by the key must be a string, the remote id.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "repository/document_loader.h"

struct Alias;

enum : uint32_t { ALIAS_CLASS_ID = 0x8a67bdea };
enum : int32_t {
    ALIAS_KEY_SIZE = 320,
    ALIAS_VALUE_SIZE = 134,
};

int64_t Alias_Create(Alias** handle);
int64_t Alias_AddRef(Alias* alias);
int64_t Alias_Release(Alias** handle);
// What the last release runs: resets, detaches the loader from its event queue, frees.
int64_t Alias_Delete(Alias** handle);

// Clears "skipped" and starts loading the document at url (verify: its signature is checked).
int64_t Alias_Load(Alias* alias, const char* url, uint32_t verify);
// Counts the document as loaded without fetching it.
int64_t Alias_SkipLoad(Alias* alias);
// Back to not loaded: neither complete nor skipped, no value.
int64_t Alias_Reset(Alias* alias);
int64_t Alias_IsLoadSkipped(Alias* alias);
// 1 when skipped; else the loader's answer.
int64_t Alias_IsLoadComplete(Alias* alias);
int64_t Alias_IsOk(Alias* alias);
int64_t Alias_SetKey(Alias* alias, const char* key);
// The remote id found under the key; 0 (empty) when there is none (also when skipped).
int64_t Alias_GetValue(Alias* alias, char* buffer, int32_t size);
// Runs on the loader's worker after parsing.
int64_t Alias_WorkerBuild(AsyncHTTP* loader, void* user, uint32_t* code, uint32_t* codeEx);

// The loader's state and wiring.

int64_t Alias_IsAlive(Alias* alias);
int64_t Alias_GetLastError(Alias* alias, uint32_t* code, uint32_t* codeEx);
int64_t Alias_GetErrorCount(Alias* alias, int32_t* count);
int64_t Alias_GetResumeTime(Alias* alias, double* time);
int64_t Alias_GetLimitSize(Alias* alias, int32_t* size);
int64_t Alias_SetLimitSize(Alias* alias, int32_t size);
int64_t Alias_GetEventQueueHandle(Alias* alias, EventQueue** queue);
int64_t Alias_SetEventQueueHandle(Alias* alias, EventQueue* queue);
int64_t Alias_SetErrorCallback(Alias* alias, void* user, AsyncHTTPErrorFunc callback);
int64_t Alias_SetCertStoreHandle(Alias* alias, CertStoreInterface* store);
int64_t Alias_Dump(Alias* alias, Dictionary* dict);
int64_t Alias_GetOverallUsage(Alias* alias, uint64_t* read, uint64_t* write);
int64_t Alias_GetMaxBandwidth(Alias* alias, double* read, double* write);
int64_t Alias_GetCurrentBandwidth(Alias* alias, double* read, double* write);
int64_t Alias_GetLimitBandwidth(Alias* alias, int32_t* read, int32_t* write);
int64_t Alias_SetLimitBandwidth(Alias* alias, int32_t read, int32_t write);
int64_t Alias_GetMeterRWHandle(Alias* alias, MeterRW** meter);

int64_t Alias_VPrint(Alias* alias, int32_t indent, const char* format, va_list args);
int64_t Alias_Print(Alias* alias, const char* format, ...);
int64_t Alias_PrintTabbed(Alias* alias, int32_t indent, const char* format, ...);
int64_t Alias_IsVerboseLevel(Alias* alias, int32_t level);
int64_t Alias_VerboseLog(Alias* alias, int32_t level, const char* format, ...);
int64_t Alias_SetPrintCallback(Alias* alias, void* user, ClassPrintCallback callback);
int64_t Alias_GetPrintCallback(Alias* alias, void** user, ClassPrintCallback* callback);
int64_t Alias_SetPrintIdentifier(Alias* alias, const char* text);
int64_t Alias_SetVerbose(Alias* alias, uint32_t verbose);
int64_t Alias_GetVerbose(Alias* alias, uint32_t* verbose);
