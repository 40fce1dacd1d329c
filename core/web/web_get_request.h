// One HTTP request and everything that comes back for it: URL, method, options, headers, cookies,
// byte range, post data and callbacks going out; status, header, body and file output coming back.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

struct WebGetRequest;
struct WebGetCacheStore;
struct WebGetCookie;

enum : uint32_t {
    WEBGET_REQUEST_CLASS_ID = 0xed72bd17,
    WEBGET_COOKIE_CLASS_ID = 0x68a59515,
};

enum : int32_t {
    WEBGET_REQUEST_HEADER_SIZE = 8192,  // request and response header blocks
    WEBGET_REQUEST_URL_SIZE = 8192,     // URL and URI
    WEBGET_REQUEST_HOST_SIZE = 512,
    WEBGET_REQUEST_FILENAME_SIZE = 1024, // file name and output file name
    WEBGET_REQUEST_PROXY_SIZE = 512,
    WEBGET_REQUEST_HEADER_LIMIT = 8190, // longest response header, its blank line included
    WEBGET_COOKIE_NAME_SIZE = 512,
    WEBGET_COOKIE_VALUE_SIZE = 1024,
    WEBGET_COOKIE_PATH_SIZE = 512,
    WEBGET_COOKIE_DOMAIN_SIZE = 512,
};

// (request, user) -> 1, or 0 after recording an error (Start: 0 holds the request in Start).
typedef int64_t (*WebGetRequestCallback)(WebGetRequest* request, void* user);
// (request, user, bytes, length, in/out used) -> 1, or 0 after recording an error.
typedef int64_t (*WebGetRequestFillBodyCallback)(WebGetRequest* request, void* user, const uint8_t* bytes,
                                                 uint32_t length, uint32_t* used);
// (request, user, new URL buffer, capacity) -> 1 to follow, 0 to block the redirect.
typedef int64_t (*WebGetRequestRedirectCallback)(WebGetRequest* request, void* user, char* url,
                                                 int32_t capacity);

// ---- Life cycle ------------------------------------------------------------------------------
int64_t WebGetRequest_Create(WebGetRequest** handle);
int64_t WebGetRequest_Delete(WebGetRequest** handle);
WebGetRequest* WebGetRequest_AddRef(WebGetRequest* request);
int64_t WebGetRequest_Release(WebGetRequest** handle);
int64_t WebGetRequest_HasOneRef(WebGetRequest* request);
int64_t WebGetRequest_ValidHandle(void* pointer);
int64_t WebGetRequest_GetInstanceId(WebGetRequest* request, char* buffer, int32_t capacity);
// Clears the run state, the byte range; HTTP version 1.0, persistent 1, phase Idle. Keeps URL,
// method, options, headers, cookies, callbacks and the output file name.
int64_t WebGetRequest_Reset(WebGetRequest* request);
// The run state alone (the connection calls it for every new socket).
int64_t WebGetRequest_ResetInternals(WebGetRequest* request);
// Frees the memory body.
int64_t WebGetRequest_Clean(WebGetRequest* request);

// ---- Options (setters store unchecked) --------------------------------------------------------
int64_t WebGetRequest_SetType(WebGetRequest* request, uint32_t type);
int64_t WebGetRequest_GetType(WebGetRequest* request, uint32_t* type);
int64_t WebGetRequest_SetTimeout(WebGetRequest* request, uint32_t seconds);
int64_t WebGetRequest_GetTimeout(WebGetRequest* request, uint32_t* seconds);
int64_t WebGetRequest_SetLimitBodySize(WebGetRequest* request, uint32_t bytes);
int64_t WebGetRequest_GetLimitBodySize(WebGetRequest* request, uint32_t* bytes);
int64_t WebGetRequest_SetRedirectionLimit(WebGetRequest* request, uint32_t limit);
int64_t WebGetRequest_GetRedirectionLimit(WebGetRequest* request, uint32_t* limit);
int64_t WebGetRequest_GetRedirectionDepth(WebGetRequest* request, uint32_t* depth);
int64_t WebGetRequest_SetCookiesCrossDomains(WebGetRequest* request, uint32_t flag);
int64_t WebGetRequest_GetCookiesCrossDomains(WebGetRequest* request, uint32_t* flag);
int64_t WebGetRequest_SetAllowCookies(WebGetRequest* request, uint32_t flag);
int64_t WebGetRequest_GetAllowCookies(WebGetRequest* request, uint32_t* flag);
int64_t WebGetRequest_SetAllowResume(WebGetRequest* request, uint32_t flag);
int64_t WebGetRequest_GetAllowResume(WebGetRequest* request, uint32_t* flag);
int64_t WebGetRequest_SetAllowCompressedContent(WebGetRequest* request, uint32_t flag);
int64_t WebGetRequest_GetAllowCompressedContent(WebGetRequest* request, uint32_t* flag);
int64_t WebGetRequest_SetForceCompressedContent(WebGetRequest* request, uint32_t flag);
int64_t WebGetRequest_GetForceCompressedContent(WebGetRequest* request, uint32_t* flag);
int64_t WebGetRequest_SetAutoDecompressContent(WebGetRequest* request, uint32_t flag);
int64_t WebGetRequest_GetAutoDecompressContent(WebGetRequest* request, uint32_t* flag);
int64_t WebGetRequest_SetRequireAuthorization(WebGetRequest* request, uint32_t flag);
int64_t WebGetRequest_GetRequireAuthorization(WebGetRequest* request, uint32_t* flag);
int64_t WebGetRequest_SetSkipTimestamp(WebGetRequest* request, uint32_t flag);
int64_t WebGetRequest_GetSkipTimestamp(WebGetRequest* request, uint32_t* flag);
int64_t WebGetRequest_SetAllowProxy(WebGetRequest* request, uint32_t flag);
int64_t WebGetRequest_GetAllowProxy(WebGetRequest* request, uint32_t* flag);
int64_t WebGetRequest_SetReportError(WebGetRequest* request, uint32_t flag);
int64_t WebGetRequest_GetReportError(WebGetRequest* request, uint32_t* flag);

// ---- Targets and texts ------------------------------------------------------------------------
// Fixes the URL; with rewrite 1 expands macros and applies the redirect rules; expands once more;
// takes host and file name from the result.
int64_t WebGetRequest_SetURL(WebGetRequest* request, const char* url);
int64_t WebGetRequest_SetURLEx(WebGetRequest* request, const char* url, int32_t rewrite);
int64_t WebGetRequest_GetURL(WebGetRequest* request, char* buffer, int32_t capacity);
int64_t WebGetRequest_GetURLPtr(WebGetRequest* request, char** url);
int64_t WebGetRequest_GetHost(WebGetRequest* request, char* buffer, int32_t capacity);
int64_t WebGetRequest_GetFilename(WebGetRequest* request, char* buffer, int32_t capacity);
int64_t WebGetRequest_SetOutputFilename(WebGetRequest* request, const char* path);
int64_t WebGetRequest_GetOutputFilename(WebGetRequest* request, char* buffer, int32_t capacity);
int64_t WebGetRequest_SetProxyURL(WebGetRequest* request, const char* url);
int64_t WebGetRequest_GetProxyURLPtr(WebGetRequest* request, char** url);
int64_t WebGetRequest_SetURI(WebGetRequest* request, const char* uri);
int64_t WebGetRequest_GetURI(WebGetRequest* request, char* buffer, int32_t capacity);
// The post data is not copied: the caller keeps it alive while the request runs.
int64_t WebGetRequest_SetPostPtr(WebGetRequest* request, const void* data, uint32_t length);
int64_t WebGetRequest_GetPostPtr(WebGetRequest* request, const void** data, uint32_t* length);
// 0 and 0 ask for the whole entity; end 0 with a start asks for everything from the start.
int64_t WebGetRequest_SetByteRange(WebGetRequest* request, int64_t start, int64_t end);
// 1 when either value is non-zero.
int64_t WebGetRequest_GetByteRange(WebGetRequest* request, int64_t* start, int64_t* end);
int64_t WebGetRequest_SetCacheStoreHandle(WebGetRequest* request, WebGetCacheStore* store);
int64_t WebGetRequest_GetCacheStoreHandle(WebGetRequest* request, WebGetCacheStore** store);
// The request (or response) header block and its capacity, for WebGet_HeaderSet and kin.
int64_t WebGetRequest_GetHeader(WebGetRequest* request, char** block, int32_t* capacity);
int64_t WebGetRequest_GetResponseHeader(WebGetRequest* request, char** block, int32_t* capacity);
int64_t WebGetRequest_HeaderReset(WebGetRequest* request);

// ---- Cookies ----------------------------------------------------------------------------------
// A cookie is sent when its domain is empty or the request's host (port left out) is the domain
// or lies under it at a label boundary, and, when secure, only to an https URL.
int64_t WebGetRequest_CookieSet(WebGetRequest* request, const char* name, const char* value, const char* path,
                                const char* domain, uint32_t secure);
// name=value pairs separated by ';', stored for the request's host with the path "/".
int64_t WebGetRequest_CookieSetOutput(WebGetRequest* request, const char* text);
int64_t WebGetRequest_CookieGet(WebGetRequest* request, const char* name, void* unused, char* value,
                                int32_t valueCapacity, char* path, int32_t pathCapacity, uint32_t* secure);
int64_t WebGetRequest_CookieGetContentPtr(void* unused, WebGetCookie* cookie, const char** name,
                                          const char** domain, const char** value, const char** path,
                                          uint32_t* secure);
int64_t WebGetRequest_CookieActive(WebGetRequest* request);
// The Cookie header value: "name=value; " per cookie sent, blanks trimmed at both ends.
int64_t WebGetRequest_CookieGetOutput(WebGetRequest* request, char* buffer, int32_t capacity);
int64_t WebGetRequest_CookieDelete(WebGetRequest* request, const char* name, const char* domain);
int64_t WebGetRequest_CookieReset(WebGetRequest* request);
// The cookie list in arrival order, for walking: the first cookie, then each one's next.
WebGetCookie* WebGetRequest_CookieFirst(WebGetRequest* request);
WebGetCookie* WebGetRequest_CookieNext(WebGetCookie* cookie);

// ---- Callbacks --------------------------------------------------------------------------------
// With both a scope object and a user pointer the scope is held by reference until the slot is
// cleared; a null function clears the slot.
int64_t WebGetRequest_SetStartCallback(WebGetRequest* request, void* scope, void* user, WebGetRequestCallback fn);
int64_t WebGetRequest_SetStartCallbackDefault(WebGetRequest* request);
int64_t WebGetRequest_SetHeaderDoneCallback(WebGetRequest* request, void* scope, void* user,
                                            WebGetRequestCallback fn);
int64_t WebGetRequest_SetHeaderDoneCallbackDefault(WebGetRequest* request);
int64_t WebGetRequest_SetFillBodyCallback(WebGetRequest* request, void* scope, void* user,
                                          WebGetRequestFillBodyCallback fn);
int64_t WebGetRequest_SetFillBodyCallbackDefault(WebGetRequest* request);
int64_t WebGetRequest_SetFillBodyCallbackNull(WebGetRequest* request);
int64_t WebGetRequest_SetFillBodyCallbackFileOutput(WebGetRequest* request);
int64_t WebGetRequest_SetBodyCompleteCallback(WebGetRequest* request, void* scope, void* user,
                                              WebGetRequestCallback fn);
int64_t WebGetRequest_SetBodyCompleteCallbackDefault(WebGetRequest* request);
int64_t WebGetRequest_SetRedirectCallback(WebGetRequest* request, void* scope, void* user,
                                          WebGetRequestRedirectCallback fn);
int64_t WebGetRequest_SetRedirectCallbackDefault(WebGetRequest* request);
// Runs on the file I/O queue after each write block; its result is ignored.
int64_t WebGetRequest_SetFileWriteCallback(WebGetRequest* request, void* scope, void* user,
                                           WebGetRequestCallback fn);
int64_t WebGetRequest_SetDoneCallback(WebGetRequest* request, void* scope, void* user, WebGetRequestCallback fn);
int64_t WebGetRequest_SetDoneCallbackDefault(WebGetRequest* request);

// ---- State and results ------------------------------------------------------------------------
int64_t WebGetRequest_GetPhase(WebGetRequest* request, int32_t* phase);
int64_t WebGetRequest_IsIdle(WebGetRequest* request);
int64_t WebGetRequest_IsDone(WebGetRequest* request);
// Done, no error, HTTP code 200 to 299 and the byte range not mismatched.
int64_t WebGetRequest_IsOk(WebGetRequest* request);
int64_t WebGetRequest_GetLastError(WebGetRequest* request, int32_t* code, int32_t* extended);
// The first error of a run wins; code 0 clears. Closes the output file when an error stands and
// no write is pending. Always 0, so that callers can return it as their failure.
int64_t WebGetRequest_SetLastError(WebGetRequest* request, int32_t code, int32_t extended);
int64_t WebGetRequest_GetHTTPCode(WebGetRequest* request, int32_t* code);
int64_t WebGetRequest_SetHTTPCode(WebGetRequest* request, int32_t code);
int64_t WebGetRequest_GetHTTPVersion(WebGetRequest* request, double* version);
int64_t WebGetRequest_GetHTTPStatus(WebGetRequest* request, char* buffer, int32_t capacity);
// 0 and 0 when the answer gave none.
int64_t WebGetRequest_GetContentLength(WebGetRequest* request, int64_t* length);
int64_t WebGetRequest_SetContentLength(WebGetRequest* request, int64_t length);
int64_t WebGetRequest_GetTransferLength(WebGetRequest* request, int64_t* length);
int64_t WebGetRequest_GetBodyLength(WebGetRequest* request, int64_t* length);
int64_t WebGetRequest_GetLastModifiedTime(WebGetRequest* request, double* time);
int64_t WebGetRequest_GetCacheControlMaxAge(WebGetRequest* request, int64_t* seconds);
// The WEBGET_CACHE_DIRECTIVE_ value of the answer's Cache-Control (or Pragma).
int64_t WebGetRequest_GetCacheControlDirective(WebGetRequest* request, uint32_t* directive);
int64_t WebGetRequest_IsCachedResponse(WebGetRequest* request);
int64_t WebGetRequest_SetCachedResponse(WebGetRequest* request, uint32_t flag);
int64_t WebGetRequest_IsChunkedResponse(WebGetRequest* request);
int64_t WebGetRequest_IsChunkedComplete(WebGetRequest* request);
int64_t WebGetRequest_IsCompressedResponse(WebGetRequest* request);
int64_t WebGetRequest_IsByteRangeAvailable(WebGetRequest* request);
int64_t WebGetRequest_IsByteRangeUsed(WebGetRequest* request);
int64_t WebGetRequest_IsByteRangeMismatched(WebGetRequest* request);
int64_t WebGetRequest_GetReceivedRange(WebGetRequest* request, int64_t* first, int64_t* last);
int64_t WebGetRequest_GetFilePosition(WebGetRequest* request, int64_t* position);
int64_t WebGetRequest_GetFileExistingPosition(WebGetRequest* request, int64_t* position);
// The memory body; without one a 1-byte buffer is made, so the pointer is never null.
int64_t WebGetRequest_GetBufferPtr(WebGetRequest* request, uint8_t** buffer, uint32_t* length);
// Hands the memory body over (the caller frees it with Memory_Free and its capacity).
int64_t WebGetRequest_MoveBuffer(WebGetRequest* request, uint8_t** buffer, uint32_t* capacity, uint32_t* length);
int64_t WebGetRequest_Persistent(WebGetRequest* request);
// 1 while file writes are pending: the connection hands no bytes and ends no body meanwhile.
int64_t WebGetRequest_ShouldWait(WebGetRequest* request);

// ---- Used by the connection and the pool ------------------------------------------------------
// The connection's hook, run on the writer's thread when the last pending body file write is
// done, so that it goes on at once instead of polling. A null function clears it; once that
// returns, no call of the old hook is running.
int64_t WebGetRequest_SetWritesDoneHook(WebGetRequest* request, void* user, WebGetRequestCallback fn);
int64_t WebGetRequest_SetConnectionHandle(WebGetRequest* request, void* connection);
int64_t WebGetRequest_GetConnectionHandle(WebGetRequest* request, void** connection);
// 1 when the phase changed (and logs it at verbose level), 0 when it was the same.
int64_t WebGetRequest_SetPhase(WebGetRequest* request, int32_t phase);
int64_t WebGetRequest_SetPhaseChanged(WebGetRequest* request, uint32_t flag);
int64_t WebGetRequest_GetPhaseChanged(WebGetRequest* request, uint32_t* flag);
// Lets a request that its Start callback held in the Start phase go on to Lookup on its
// connection; a request without a connection, or in another phase, stops the process.
int64_t WebGetRequest_Start(WebGetRequest* request);
// Each calls its callback and returns its result; 1 when none is set.
int64_t WebGetRequest_RaiseStart(WebGetRequest* request);
int64_t WebGetRequest_RaiseHeaderDone(WebGetRequest* request);
// Phase Done, then the Done callback's result (1 when none).
int64_t WebGetRequest_Done(WebGetRequest* request);
// Adds "Accept", "Accept-Language", Range, the method's headers and "Cookie" to the request
// header block (a caller's own header stays, except Range).
int64_t WebGetRequest_HeaderPrepare(WebGetRequest* request);
// Follows the Location of a redirect answer within the limits; 0 with the error recorded.
int64_t WebGetRequest_Redirect(WebGetRequest* request);

// ---- Response side ----------------------------------------------------------------------------
// Decodes the response header at bytes (strict 0 only for a proxy's answer to CONNECT).
int64_t WebGetRequest_HeaderDecode(WebGetRequest* request, int32_t strict, const uint8_t* bytes, uint32_t length);
// discard 1 (redirects, authentication challenges, CONNECT answers) skips the owner's callbacks.
int64_t WebGetRequest_BodyStart(WebGetRequest* request, int32_t discard);
// Takes received body bytes; used tells how many were consumed, the rest is offered again.
int64_t WebGetRequest_BodyProcess(WebGetRequest* request, const uint8_t* bytes, uint32_t length, uint32_t* used);
int64_t WebGetRequest_BodyComplete(WebGetRequest* request, int32_t discard);
// Hands decoded bytes to the body handler (non-2xx answers always to the memory body).
int64_t WebGetRequest_FillBody(WebGetRequest* request, const uint8_t* bytes, uint32_t length, uint32_t* used);
int64_t WebGetRequest_FillBodyDefaultCallback(WebGetRequest* request, void* user, const uint8_t* bytes,
                                              uint32_t length, uint32_t* used);
int64_t WebGetRequest_FillBodyFileOutputCallback(WebGetRequest* request, void* user, const uint8_t* bytes,
                                                 uint32_t length, uint32_t* used);
int64_t WebGetRequest_FillBodyNullCallback(WebGetRequest* request, void* user, const uint8_t* bytes,
                                           uint32_t length, uint32_t* used);

// ---- Reporting --------------------------------------------------------------------------------
int64_t WebGetRequest_VPrint(WebGetRequest* request, int32_t indent, const char* format, va_list args);
int64_t WebGetRequest_Print(WebGetRequest* request, const char* format, ...);
int64_t WebGetRequest_PrintTabbed(WebGetRequest* request, int32_t indent, const char* format, ...);
int64_t WebGetRequest_IsVerboseLevel(WebGetRequest* request, int32_t level);
int64_t WebGetRequest_VerboseLog(WebGetRequest* request, int32_t level, const char* format, ...);
// The default output: one DEBUG log line.
int64_t WebGetRequest_PrintInternal(void* user, const char* format, ...);
int64_t WebGetRequest_SetPrintCallback(WebGetRequest* request, void* user, ClassPrintCallback callback);
int64_t WebGetRequest_GetPrintCallback(WebGetRequest* request, void** user, ClassPrintCallback* callback);
int64_t WebGetRequest_SetPrintIdentifier(WebGetRequest* request, const char* text);
int64_t WebGetRequest_SetVerbose(WebGetRequest* request, uint32_t verbose);
int64_t WebGetRequest_GetVerbose(WebGetRequest* request, uint32_t* verbose);
