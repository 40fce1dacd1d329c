// One HTTP request that page script configures, starts and watches through notifications,
// optionally downloading into a file through a partial file that replaces it only on success.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct Dictionary;
struct WebGetConnection;
struct WebGetRequest;

enum : uint32_t {
    HTTPREQUEST_CLASS_ID = 0xc9baa715,
    HTTPREQUEST_URL_SIZE = 8192,
    HTTPREQUEST_FILENAME_SIZE = 320,
    HTTPREQUEST_DEFAULT_TIMEOUT = 15,
};

enum : uint32_t {
    HTTPREQUEST_STATE_IDLE = 0,
    HTTPREQUEST_STATE_RUNNING = 1,
};

// Notifications of type "HttpRequest", sender the request's instance id, always queued:
// "Start", "HeaderDone" {"httpCode"}, "Complete" {"httpCode", "httpStatus", "errorCode", "errorCodeEx"}.
struct HttpRequest {
    Class Header;
    ClassPrint Print;
    WebGetRequest* Request;
    WebGetConnection* Connection;
    uint32_t UseCache;
    char Url[HTTPREQUEST_URL_SIZE];
    char FileName[HTTPREQUEST_FILENAME_SIZE];
    char PartialFileName[HTTPREQUEST_FILENAME_SIZE];
    uint32_t State;
    uint32_t AllowProxy;
    uint32_t AllowAuthentication;
    uint32_t Cleanup;
    uint8_t* PostData;
    uint32_t PostDataLength;
    uint32_t Timeout;
    int64_t ByteRangeStart;
    int64_t ByteRangeEnd;
    // Which of the headers a run derives (condition, range, length, encoding) script set itself:
    // the others are dropped at each start, so that no run asks with the last one's values.
    uint32_t ScriptHeaders;
};

// ---- Objects -----------------------------------------------------------------------------------
int64_t HttpRequest_Create(HttpRequest** handle);
// Closes the connection, frees the post data; with clean up set also erases the target and partial file.
int64_t HttpRequest_Delete(HttpRequest** handle);
int64_t HttpRequest_AddRef(HttpRequest* request);
int64_t HttpRequest_Release(HttpRequest** handle);
int64_t HttpRequest_GetInstanceId(HttpRequest* request, char* buffer, int32_t size);

// ---- Settings ------------------------------------------------------------------------------------
// A URL that does not fit is refused, never cut.
int64_t HttpRequest_SetUrl(HttpRequest* request, const char* url);
int64_t HttpRequest_GetUrl(HttpRequest* request, char* buffer, int32_t size);
int64_t HttpRequest_GetUrlPtr(HttpRequest* request, const char** url);
int64_t HttpRequest_SetType(HttpRequest* request, uint32_t type);
int64_t HttpRequest_GetType(HttpRequest* request, uint32_t* type);
// Expands macros and normalises separators; the partial file is the name plus ".partial". An
// empty name clears both; a name whose partial name would not fit, or any change while the
// request runs, is refused.
int64_t HttpRequest_SetFileName(HttpRequest* request, const char* name);
int64_t HttpRequest_GetFileName(HttpRequest* request, char* buffer, int32_t size);
int64_t HttpRequest_GetFileNamePtr(HttpRequest* request, const char** name);
int64_t HttpRequest_GetPartialFileName(HttpRequest* request, char* buffer, int32_t size);
// The running request reads the post data in place: both are refused while it runs.
int64_t HttpRequest_SetPostData(HttpRequest* request, const void* data, uint32_t length);
int64_t HttpRequest_AppendPostData(HttpRequest* request, const void* data, uint32_t length);
int64_t HttpRequest_GetPostData(HttpRequest* request, const uint8_t** data, uint32_t* length);
// Refused unless 0 <= start <= end; sent only when both are non-zero.
int64_t HttpRequest_SetByteRange(HttpRequest* request, int64_t start, int64_t end);
int64_t HttpRequest_SetHeaderValue(HttpRequest* request, const char* name, const char* value);
// For "Range" without such a header: the request's byte range as "bytes=S-" or "bytes=S-E".
int64_t HttpRequest_GetHeaderValue(HttpRequest* request, const char* name, char* buffer, int32_t size);
int64_t HttpRequest_GetResponseHeaderValue(HttpRequest* request, const char* name, char* buffer, int32_t size);
int64_t HttpRequest_HasResponseHeader(HttpRequest* request, const char* name);

// ---- Blocks and slices -----------------------------------------------------------------------------
// Slices fail when the offset is negative or not below the block's size; the length is cut to its end.
int64_t HttpRequest_GetHeader(HttpRequest* request, int32_t offset, int32_t length, const char** slice,
                              int32_t* sliceLength);
int64_t HttpRequest_GetHeaderPtr(HttpRequest* request, const char** block);
int64_t HttpRequest_GetHeaderSize(HttpRequest* request, int32_t* size);
// The response header block after its status line.
int64_t HttpRequest_GetResponseHeader(HttpRequest* request, int32_t offset, int32_t length, const char** slice,
                                      int32_t* sliceLength);
int64_t HttpRequest_GetResponseHeaderPtr(HttpRequest* request, const char** block);
int64_t HttpRequest_GetResponseHeaderSize(HttpRequest* request, int32_t* size);
// The response body held in memory.
int64_t HttpRequest_GetBody(HttpRequest* request, int32_t offset, int32_t length, const uint8_t** slice,
                            int32_t* sliceLength);
int64_t HttpRequest_GetBodyPtr(HttpRequest* request, const uint8_t** body);
int64_t HttpRequest_GetBodySize(HttpRequest* request, int32_t* size);

// ---- Results -------------------------------------------------------------------------------------
int64_t HttpRequest_GetHttpCode(HttpRequest* request, int32_t* code);
// The response's status text, else the standard text for its code.
int64_t HttpRequest_GetHttpStatus(HttpRequest* request, char* buffer, int32_t size);
int64_t HttpRequest_GetContentLength(HttpRequest* request, int64_t* length);
int64_t HttpRequest_GetFilePosition(HttpRequest* request, int64_t* position);

// ---- Options -------------------------------------------------------------------------------------
int64_t HttpRequest_SetAllowProxy(HttpRequest* request, uint32_t flag);
int64_t HttpRequest_GetAllowProxy(HttpRequest* request, uint32_t* flag);
int64_t HttpRequest_SetAllowAuthentication(HttpRequest* request, uint32_t flag);
int64_t HttpRequest_GetAllowAuthentication(HttpRequest* request, uint32_t* flag);
int64_t HttpRequest_SetUseCache(HttpRequest* request, uint32_t flag);
int64_t HttpRequest_GetUseCache(HttpRequest* request, uint32_t* flag);
int64_t HttpRequest_SetCleanup(HttpRequest* request, uint32_t flag);
int64_t HttpRequest_GetCleanup(HttpRequest* request, uint32_t* flag);
int64_t HttpRequest_SetTimeout(HttpRequest* request, uint32_t seconds);
int64_t HttpRequest_GetTimeout(HttpRequest* request, uint32_t* seconds);
int64_t HttpRequest_SetLimitBodySize(HttpRequest* request, uint32_t bytes);
int64_t HttpRequest_GetLimitBodySize(HttpRequest* request, uint32_t* bytes);
int64_t HttpRequest_SetLogging(HttpRequest* request, uint32_t flag);

// ---- Actions -------------------------------------------------------------------------------------
// Failures to start are reported through "Complete" (400 refused, 403 unusable URL).
int64_t HttpRequest_Start(HttpRequest* request);
// Running: ends the request and fires "Complete" with WebGet error 956. Idle: nothing.
int64_t HttpRequest_Abort(HttpRequest* request);
int64_t HttpRequest_Reset(HttpRequest* request);
// One pass of the request's own connection (main thread only).
int64_t HttpRequest_Process(HttpRequest* request);
// Passes until the request is idle; a request without progress for its time-out is aborted.
int64_t HttpRequest_WaitForRequest(HttpRequest* request);
// The request's callbacks, public so that every carrier of the request can reach them.
int64_t HttpRequest_HeaderDoneCallback(WebGetRequest* webRequest, void* user);
int64_t HttpRequest_RequestDone(WebGetRequest* webRequest, void* user);

// ---- Reporting -----------------------------------------------------------------------------------
int64_t HttpRequest_VPrint(HttpRequest* request, int32_t indent, const char* format, va_list args);
int64_t HttpRequest_Print(HttpRequest* request, const char* format, ...);
int64_t HttpRequest_PrintTabbed(HttpRequest* request, int32_t indent, const char* format, ...);
int64_t HttpRequest_IsVerboseLevel(HttpRequest* request, int32_t level);
int64_t HttpRequest_VerboseLog(HttpRequest* request, int32_t level, const char* format, ...);
int64_t HttpRequest_SetPrintCallback(HttpRequest* request, void* user, ClassPrintCallback callback);
int64_t HttpRequest_GetPrintCallback(HttpRequest* request, void** user, ClassPrintCallback* callback);
int64_t HttpRequest_SetPrintIdentifier(HttpRequest* request, const char* text);
int64_t HttpRequest_SetVerbose(HttpRequest* request, uint32_t verbose);
int64_t HttpRequest_GetVerbose(HttpRequest* request, uint32_t* verbose);

// ---- Script class ----------------------------------------------------------------------------------
int64_t HttpRequest_Invoke(void* userContext, Dictionary* request, Dictionary* response);
int64_t HttpRequest_ReleaseContext(void** userContext);
int64_t HttpRequest_ProcessContext(void* userContext);
