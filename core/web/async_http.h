// The document loader: fetches one document by URL without blocking the main thread, checks its
// digest or signature, parses it (JSON, XML or YAML) on the I/O worker into a Dictionary, and can
// write the document back to a file. Retries are the owner's: an error policy sets a resume time.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct AsyncHTTP;
struct CertStoreInterface;
struct Dictionary;
struct EventQueue;
struct JSON;
struct MeterRW;
struct WebGetCacheStore;
struct WebGetRequest;

enum : uint32_t { ASYNCHTTP_CLASS_ID = 0x2ddb4bab };

// Parser kinds.
enum : uint32_t {
    ASYNCHTTP_PARSER_NONE = 0,
    ASYNCHTTP_PARSER_JSON = 2,
    ASYNCHTTP_PARSER_XML = 3,
    ASYNCHTTP_PARSER_YAML = 4,
    ASYNCHTTP_PARSER_AUTO = 5, // by the URL's extension at load time, else by the Content-Type
};

// Operations handed to the error policy, and its answer for a final result.
enum : int32_t {
    ASYNCHTTP_OPERATION_LOAD = 1,
    ASYNCHTTP_OPERATION_SAVE = 3,
    ASYNCHTTP_POLICY_FINAL = 5,
};

enum : int32_t {
    ASYNCHTTP_CONTENT_TYPE_SIZE = 320,
    ASYNCHTTP_DIGEST_SIZE = 134, // hexadecimal text of the largest digest, with room to spare
    ASYNCHTTP_PARSE_MESSAGE_SIZE = 256,
};

// The process-wide request handler: add answers 1 when it took the request, 0 when it refused.
typedef int64_t (*AsyncHTTPRequestAddFunc)(WebGetRequest* request);
typedef int64_t (*AsyncHTTPRequestRemoveFunc)(WebGetRequest* request);

// (loader, user, request): the request is prepared and about to be handed to the handler.
typedef int64_t (*AsyncHTTPRequestBuildFunc)(AsyncHTTP* loader, void* user, WebGetRequest* request);
// (loader, user, &code, &codeEx) on the I/O worker after a successful parse; may set the result
// pair; 0 discards the document and the pair it set is the load's result.
typedef int64_t (*AsyncHTTPWorkerBuildFunc)(AsyncHTTP* loader, void* user, uint32_t* code, uint32_t* codeEx);
// The error policy (loader, user, errorCount, operation, code, codeEx, &resumeTime): 5 for a
// final failure; anything else asks for a retry at the resume time it wrote.
typedef int64_t (*AsyncHTTPErrorFunc)(AsyncHTTP* loader, void* user, int32_t errorCount, int32_t operation,
                                      uint32_t code, uint32_t codeEx, double* resumeTime);

// ---- Life cycle ------------------------------------------------------------------------------
int64_t AsyncHTTP_Create(AsyncHTTP** handle);
// A full reset, then frees everything the loader holds; run by the last release.
int64_t AsyncHTTP_Delete(AsyncHTTP** handle);
int64_t AsyncHTTP_AddRef(AsyncHTTP* loader);
int64_t AsyncHTTP_Release(AsyncHTTP** handle);
int64_t AsyncHTTP_GetInstanceId(AsyncHTTP* loader, char* buffer, int32_t size);

// ---- Work ------------------------------------------------------------------------------------
// Starts a load (the outcome comes later on the loader's event queue); 0 while busy.
int64_t AsyncHTTP_Load(AsyncHTTP* loader, const char* url, uint32_t signatureRequired);
// Writes the kept body, or else the document in the current format, to the path: a new private
// file is written beside it and renamed over it only once whole. 0 while busy; an empty path
// completes at once as a success. With scratch, the new file takes that name in the target's
// folder, created exclusively (one the caller recorded before, so that a kill's leavings are found).
int64_t AsyncHTTP_Save(AsyncHTTP* loader, const char* path, const char* scratch = nullptr);
// The same save, held before its rename: its bytes are written to the new file (the loader stays
// busy) and AsyncHTTP_IsSaveWritten then says so; AsyncHTTP_SaveCommit renames it over the path
// on the calling thread and ends the save as Save's end would; AsyncHTTP_SaveAbort (or a reset)
// drops it, the path left as it was. A write that fails drops it too. A dropped held save reports
// no error and leaves the loader idle, its document as it was: the owner's save (Save) is then
// the one that meets and reports a fault.
int64_t AsyncHTTP_SaveHeld(AsyncHTTP* loader, const char* path, const char* scratch = nullptr);
int64_t AsyncHTTP_IsSaveWritten(AsyncHTTP* loader);
// 1 when a written held save was committed (its outcome then as a save's); 0 when none waits.
int64_t AsyncHTTP_SaveCommit(AsyncHTTP* loader);
// 1 when a held save was dropped; 0 when none was held.
int64_t AsyncHTTP_SaveAbort(AsyncHTTP* loader);
// Cancels what runs and clears the loader for reuse; the error count and resume time stay.
int64_t AsyncHTTP_Reset(AsyncHTTP* loader);

// ---- Settings --------------------------------------------------------------------------------
// Changing the kind deletes the parser objects; the chosen kind's parser is then made or reset.
int64_t AsyncHTTP_SetParser(AsyncHTTP* loader, uint32_t kind);
int64_t AsyncHTTP_GetParser(AsyncHTTP* loader, uint32_t* kind);
// The parser object of kinds 2 to 4 (the loader's own); 0 and none for other kinds or when none
// exists yet.
int64_t AsyncHTTP_GetParserHandle(AsyncHTTP* loader, void** parser);
// By hash name; a null name clears. 0 when the name is unknown (nothing changed).
int64_t AsyncHTTP_SetHashAlgorithm(AsyncHTTP* loader, const char* name);
int64_t AsyncHTTP_GetHashAlgorithm(AsyncHTTP* loader, char* buffer, int32_t size);
// A hexadecimal digest selects the hash of half its length (0 when none has it); empty clears.
int64_t AsyncHTTP_SetDigest(AsyncHTTP* loader, const char* hex);
int64_t AsyncHTTP_GetDigest(AsyncHTTP* loader, char* buffer, int32_t size);
// Keeps a reference to the store (null only releases the old one).
int64_t AsyncHTTP_SetCertStoreHandle(AsyncHTTP* loader, CertStoreInterface* store);
int64_t AsyncHTTP_SetCacheStoreHandle(AsyncHTTP* loader, WebGetCacheStore* store);
// The queue that receives completions (a reference is kept); none means the main thread's.
int64_t AsyncHTTP_SetEventQueueHandle(AsyncHTTP* loader, EventQueue* queue);
int64_t AsyncHTTP_GetEventQueueHandle(AsyncHTTP* loader, EventQueue** queue);
// Body size limit in bytes; below 1 means none.
int64_t AsyncHTTP_SetLimitSize(AsyncHTTP* loader, int32_t size);
int64_t AsyncHTTP_GetLimitSize(AsyncHTTP* loader, int32_t* size);
int64_t AsyncHTTP_SetKeepOriginal(AsyncHTTP* loader, uint32_t keep);
int64_t AsyncHTTP_GetKeepOriginal(AsyncHTTP* loader, uint32_t* keep);
int64_t AsyncHTTP_SetReportError(AsyncHTTP* loader, uint32_t report);
int64_t AsyncHTTP_GetReportError(AsyncHTTP* loader, uint32_t* report);
int64_t AsyncHTTP_SetResumeTime(AsyncHTTP* loader, double time);
int64_t AsyncHTTP_GetResumeTime(AsyncHTTP* loader, double* time);
int64_t AsyncHTTP_SetErrorCount(AsyncHTTP* loader, int32_t count);
int64_t AsyncHTTP_GetErrorCount(AsyncHTTP* loader, int32_t* count);
int64_t AsyncHTTP_SetStringPool(AsyncHTTP* loader, uint32_t value);
// Both given: installs the pair for every loader; both null: restores the request pool's pair;
// one alone: 0, nothing changed.
int64_t AsyncHTTP_SetWebRequestHandler(AsyncHTTPRequestAddFunc add, AsyncHTTPRequestRemoveFunc remove);

// ---- Results ---------------------------------------------------------------------------------
int64_t AsyncHTTP_GetLastError(AsyncHTTP* loader, uint32_t* code, uint32_t* codeEx);
// The parser's own words about the last body it refused (with its line and column where the
// parser gives them); 0 and an empty text when there are none.
int64_t AsyncHTTP_GetParseMessage(AsyncHTTP* loader, char* buffer, int32_t capacity);
int64_t AsyncHTTP_IsAlive(AsyncHTTP* loader);
// Not alive and the last result (0, 0).
int64_t AsyncHTTP_IsOk(AsyncHTTP* loader);
int64_t AsyncHTTP_IsLoadComplete(AsyncHTTP* loader);
// 1 from the moment the running load's whole body has arrived and its parse has begun until the
// next load or reset: what waits only on the bytes may start while they are parsed.
int64_t AsyncHTTP_IsBodyIn(AsyncHTTP* loader);
int64_t AsyncHTTP_IsSaveComplete(AsyncHTTP* loader);
// The loader's own dictionary (no new reference).
int64_t AsyncHTTP_GetDictionaryHandle(AsyncHTTP* loader, Dictionary** dict);
int64_t AsyncHTTP_GetJSONHandle(AsyncHTTP* loader, JSON** json);
// The kept raw body (the loader's); 1 when there is one.
int64_t AsyncHTTP_GetOriginal(AsyncHTTP* loader, const uint8_t** buffer, uint32_t* length);
// "errorCount", "errorCode", "errorCodeEx", "resumeTime" and, with a digest, "digest".
int64_t AsyncHTTP_Dump(AsyncHTTP* loader, Dictionary* dict);

// ---- Bandwidth -------------------------------------------------------------------------------
int64_t AsyncHTTP_GetMeterRWHandle(AsyncHTTP* loader, MeterRW** meter);
int64_t AsyncHTTP_GetOverallUsage(AsyncHTTP* loader, uint64_t* read, uint64_t* write);
int64_t AsyncHTTP_GetMaxBandwidth(AsyncHTTP* loader, double* read, double* write);
int64_t AsyncHTTP_GetCurrentBandwidth(AsyncHTTP* loader, double* read, double* write);
int64_t AsyncHTTP_GetLimitBandwidth(AsyncHTTP* loader, int32_t* read, int32_t* write);
int64_t AsyncHTTP_SetLimitBandwidth(AsyncHTTP* loader, int32_t read, int32_t write);

// ---- Callbacks -------------------------------------------------------------------------------
int64_t AsyncHTTP_SetRequestBuildCallback(AsyncHTTP* loader, void* user, AsyncHTTPRequestBuildFunc fn);
int64_t AsyncHTTP_SetWorkerBuildCallback(AsyncHTTP* loader, void* user, AsyncHTTPWorkerBuildFunc fn);
int64_t AsyncHTTP_SetErrorCallback(AsyncHTTP* loader, void* user, AsyncHTTPErrorFunc fn);

// ---- Reporting -------------------------------------------------------------------------------
int64_t AsyncHTTP_VPrint(AsyncHTTP* loader, int32_t indent, const char* format, va_list args);
int64_t AsyncHTTP_Print(AsyncHTTP* loader, const char* format, ...);
int64_t AsyncHTTP_PrintTabbed(AsyncHTTP* loader, int32_t indent, const char* format, ...);
int64_t AsyncHTTP_IsVerboseLevel(AsyncHTTP* loader, int32_t level);
int64_t AsyncHTTP_VerboseLog(AsyncHTTP* loader, int32_t level, const char* format, ...);
// The default output: one DEBUG log line.
int64_t AsyncHTTP_PrintInternal(void* user, const char* format, ...);
int64_t AsyncHTTP_SetPrintCallback(AsyncHTTP* loader, void* user, ClassPrintCallback callback);
int64_t AsyncHTTP_GetPrintCallback(AsyncHTTP* loader, void** user, ClassPrintCallback* callback);
int64_t AsyncHTTP_SetPrintIdentifier(AsyncHTTP* loader, const char* text);
int64_t AsyncHTTP_SetVerbose(AsyncHTTP* loader, uint32_t verbose);
int64_t AsyncHTTP_GetVerbose(AsyncHTTP* loader, uint32_t* verbose);
