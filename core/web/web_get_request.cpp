// The HTTP request object: its life cycle, options, URL, callbacks, the headers prepared before
// sending, redirects and the first-error-wins error pair shared with the file I/O queue.
#include "core/web/web_get_request.h"

#include <cstring>
#include <new>

#include "core/formats/url.h"
#include "core/platform/async_file.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "core/web/web_get.h"
#include "core/web/web_get_cache.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_header.h"
#include "core/web/web_get_redirect.h"
#include "core/web/web_get_request_internal.h"

namespace {

int64_t DeleteHandle(void** handle) {
    return WebGetRequest_Delete(reinterpret_cast<WebGetRequest**>(handle));
}

template <typename T> int64_t Store(WebGetRequest* request, T WebGetRequest::*field, T value) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    request->*field = value;
    return 1;
}

template <typename T> int64_t Load(WebGetRequest* request, T WebGetRequest::*field, T* out) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(out);
    *out = request->*field;
    return 1;
}

int64_t CopyField(WebGetRequest* request, const char* field, char* buffer, int32_t capacity) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, field, capacity);
    return 1;
}

template <typename F>
int64_t SetSlot(WebGetRequest* request, CallbackRef WebGetRequest::*slot, void* scope, void* user, F fn) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return CallbackRef_SetReal(&(request->*slot), scope, user, Callback_FunctionWord(fn));
}

int64_t ClearSlot(WebGetRequest* request, CallbackRef WebGetRequest::*slot) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return CallbackRef_ResetReal(&(request->*slot));
}

// Calls a (request, user) slot; 1 when it is empty.
int64_t Raise(WebGetRequest* request, CallbackRef WebGetRequest::*slot) {
    void* user = nullptr;
    WebGetRequestCallback fn = nullptr;
    if (!CallbackBase_Get(&(request->*slot).Pointers, &user, &fn) || !fn) return 1;
    return fn(request, user);
}

// Key provider of the request's URLs: {Cookie:name,value} and {Header:name,value} act on the
// request and leave no text behind.
int64_t ExpandKey(void* user, const char* name, char* argument, char* value, int32_t) {
    WebGetRequest* request = static_cast<WebGetRequest*>(user);
    const bool cookie = String_CompareWithoutCase(name, "Cookie") != 0;
    const bool header = String_CompareWithoutCase(name, "Header") != 0;
    if (!cookie && !header) return 0;
    value[0] = 0;
    if (!argument) return 1;
    const char* comma = nullptr;
    if (!String_FindChar(argument, ',', &comma)) return 1;
    char key[WEBGET_COOKIE_NAME_SIZE];
    String_CopyLengthSafe(key, sizeof(key), argument, (int32_t)(comma - argument));
    if (cookie)
        WebGetRequest_CookieSet(request, key, comma + 1, "", "", 0);
    else
        WebGet_HeaderSet(request->RequestHeader, WEBGET_REQUEST_HEADER_SIZE, key, comma + 1, 1);
    return 1;
}

void ClearRunState(WebGetRequest* request) {
    WebGetRequest_CloseOutputFile(request, 0);
    request->RedirectionDepth = 0;
    request->MemoryLength = 0;
    request->BodyLength = 0;
    request->CachedResponse = 0;
    request->ChunkRemaining = 0;
    request->ChunkSize = 0;
    request->ChunkedResponse = 0;
    request->ChunkedComplete = 0;
    request->HTTPCode = 0;
    request->FilePosition = 0;
    request->ExistingFilePosition = 0;
    request->TransferLength = 0;
    request->ContentLength = 0;
    request->ContentLengthKnown = 0;
    request->ErrorCode.store(0);
    request->ExtendedCode = 0;
    request->ByteRangeUsed = 0;
    request->ByteRangeMismatched = 0;
    request->ReceivedRangeFirst = 0;
    request->ReceivedRangeLast = 0;
    if (request->InflateReady) {
        inflateEnd(&request->Inflate);
        request->InflateReady = 0;
    }
    request->InflateMemberOpen = 0;
    MemoryStream_DiscardAll(request->InflateOutput);
    if (request->WriteBlockPool && request->PendingWrites.load() == 0) Pool_Reset(request->WriteBlockPool);
}

} // namespace

int64_t WebGetRequest_PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

void WebGetRequest_PreparePrint(WebGetRequest* request) {
    ClassPrint_Prepare(&request->Print, request, "WebGetRequest", WebGetRequest_PrintInternal);
}

CLASS_PRINT_FAMILY(WebGetRequest, WebGetRequest, WEBGET_REQUEST_CLASS_ID, WebGetRequest_PreparePrint)

// ---- Life cycle --------------------------------------------------------------------------------

int64_t WebGetRequest_Create(WebGetRequest** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    void* block = Memory_AllocZero(sizeof(WebGetRequest));
    WebGetRequest* request = new (block) WebGetRequest();
    request->Header.ClassId = WEBGET_REQUEST_CLASS_ID;
    request->Header.RefCount = 1;
    request->Header.Delete = DeleteHandle;
    CallbackRef_SetReal(&request->FillBodyCallback, nullptr, nullptr,
                        Callback_FunctionWord(WebGetRequest_FillBodyDefaultCallback));
    request->PhaseTime = Time_GetCurrent();
    request->RedirectionLimit = 4;
    request->AllowCookies = 1;
    request->RequireAuthorization = 1;
    int32_t timeout = 0;
    WebGet_GetDefaultTimeout(&timeout);
    request->Timeout = (uint32_t)timeout;
    request->AllowProxy = 1;
    request->ReportError = 1;
    request->Type = WEBGET_REQUEST_TYPE_GET;
    request->AllowCompressedContent = 1;
    request->AutoDecompressContent = 1;
    request->Persistent = 1;
    request->OutputStampDescriptor = -1;
    AsyncFile_Create(&request->OutputFile);
    MemoryStream_Create(&request->InflateOutput);
    Pool_Create(&request->CookiePool);
    Pool_SetMemorySize(request->CookiePool, sizeof(WebGetCookie));
    Pool_SetChunkSize(request->CookiePool, 10);
    Class_GenerateInstanceIdReal(request);
    *handle = request;
    return 1;
}

int64_t WebGetRequest_Delete(WebGetRequest** handle) {
    ASSERT_POINTER(handle);
    WebGetRequest* request = *handle;
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    WebGetRequest_CookieFreeAll(request);
    Pool_Delete(&request->CookiePool);
    if (request->InflateReady) inflateEnd(&request->Inflate);
    WebGetRequest_CloseOutputFile(request, 0);
    AsyncFile_Release(&request->OutputFile);
    MemoryStream_Release(&request->InflateOutput);
    if (request->WriteBlockPool) Pool_Delete(&request->WriteBlockPool);
    if (request->MemoryBody) Memory_Free(request->MemoryBody, request->MemoryCapacity);
    if (request->CacheStore) WebGetCacheStore_Release(&request->CacheStore);
    CallbackRef* slots[] = {&request->HeaderDoneCallback, &request->BodyCompleteCallback,
                            &request->FillBodyCallback,   &request->RedirectCallback,
                            &request->FileWriteCallback,  &request->DoneCallback,
                            &request->StartCallback};
    for (CallbackRef* slot : slots) CallbackRef_ResetReal(slot);
    CallbackSync_ResetReal(&request->WritesDoneHook, 0);
    request->Header.ClassId = 0;
    request->~WebGetRequest();
    Memory_Free(request, sizeof(WebGetRequest));
    *handle = nullptr;
    return 1;
}

WebGetRequest* WebGetRequest_AddRef(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return static_cast<WebGetRequest*>(Class_AddRef(request));
}

int64_t WebGetRequest_Release(WebGetRequest** handle) {
    ASSERT_POINTER(handle);
    CLASS_CHECK(*handle, WEBGET_REQUEST_CLASS_ID);
    Class_Release(handle);
    *handle = nullptr;
    return 1;
}

int64_t WebGetRequest_HasOneRef(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return Class_HasOneRef(request);
}

int64_t WebGetRequest_ValidHandle(void* pointer) {
    return pointer && static_cast<Class*>(pointer)->ClassId == WEBGET_REQUEST_CLASS_ID;
}

int64_t WebGetRequest_GetInstanceId(WebGetRequest* request, char* buffer, int32_t capacity) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, capacity, request->Header.InstanceId, (int32_t)sizeof(request->Header.InstanceId));
    return 1;
}

int64_t WebGetRequest_ResetInternals(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ClearRunState(request);
    return 1;
}

int64_t WebGetRequest_Reset(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ClearRunState(request);
    request->ByteRangeStart = 0;
    request->ByteRangeEnd = 0;
    request->HTTPVersion = 1.0;
    request->Persistent = 1;
    request->Phase.store(WEBGET_PHASE_IDLE);
    return 1;
}

int64_t WebGetRequest_Clean(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    if (request->MemoryBody) Memory_Free(request->MemoryBody, request->MemoryCapacity);
    request->MemoryBody = nullptr;
    request->MemoryCapacity = 0;
    request->MemoryLength = 0;
    return 1;
}

// ---- Options -------------------------------------------------------------------------------------

#define WEBGET_REQUEST_OPTION(Name, Field)                                                              \
    int64_t WebGetRequest_Set##Name(WebGetRequest* request, uint32_t value) {                            \
        return Store(request, &WebGetRequest::Field, value);                                             \
    }                                                                                                    \
    int64_t WebGetRequest_Get##Name(WebGetRequest* request, uint32_t* value) {                           \
        return Load(request, &WebGetRequest::Field, value);                                              \
    }

WEBGET_REQUEST_OPTION(Type, Type)
WEBGET_REQUEST_OPTION(Timeout, Timeout)
WEBGET_REQUEST_OPTION(LimitBodySize, LimitBodySize)
WEBGET_REQUEST_OPTION(RedirectionLimit, RedirectionLimit)
WEBGET_REQUEST_OPTION(CookiesCrossDomains, CookiesCrossDomains)
WEBGET_REQUEST_OPTION(AllowCookies, AllowCookies)
WEBGET_REQUEST_OPTION(AllowResume, AllowResume)
WEBGET_REQUEST_OPTION(AllowCompressedContent, AllowCompressedContent)
WEBGET_REQUEST_OPTION(ForceCompressedContent, ForceCompressedContent)
WEBGET_REQUEST_OPTION(AutoDecompressContent, AutoDecompressContent)
WEBGET_REQUEST_OPTION(RequireAuthorization, RequireAuthorization)
WEBGET_REQUEST_OPTION(SkipTimestamp, SkipTimestamp)
WEBGET_REQUEST_OPTION(AllowProxy, AllowProxy)
WEBGET_REQUEST_OPTION(ReportError, ReportError)

int64_t WebGetRequest_GetRedirectionDepth(WebGetRequest* request, uint32_t* depth) {
    return Load(request, &WebGetRequest::RedirectionDepth, depth);
}

// ---- Targets and texts -------------------------------------------------------------------------

int64_t WebGetRequest_SetURL(WebGetRequest* request, const char* url) {
    return WebGetRequest_SetURLEx(request, url, 1);
}

int64_t WebGetRequest_SetURLEx(WebGetRequest* request, const char* url, int32_t rewrite) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(url);
    // The text may be the URL field itself.
    char* work = static_cast<char*>(Memory_Alloc(WEBGET_REQUEST_URL_SIZE));
    String_CopyLength(work, url, WEBGET_REQUEST_URL_SIZE);
    URL_Fix(work, 0, request->URL, WEBGET_REQUEST_URL_SIZE);
    Memory_Free(work, WEBGET_REQUEST_URL_SIZE);
    if (rewrite == 1) {
        String_Expand(request->URL, WEBGET_REQUEST_URL_SIZE, request, ExpandKey);
        WebGet_Redirect(WEBGET_REDIRECT_EXPAND, request->URL, WEBGET_REQUEST_URL_SIZE);
    }
    String_Expand(request->URL, WEBGET_REQUEST_URL_SIZE, request, ExpandKey);
    URL_ParseHost(request->URL, request->Host, WEBGET_REQUEST_HOST_SIZE);
    URL_ParseFilename(request->URL, request->Filename, WEBGET_REQUEST_FILENAME_SIZE);
    return 1;
}

int64_t WebGetRequest_GetURL(WebGetRequest* request, char* buffer, int32_t capacity) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return CopyField(request, request->URL, buffer, capacity);
}

int64_t WebGetRequest_GetURLPtr(WebGetRequest* request, char** url) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(url);
    *url = request->URL;
    return 1;
}

int64_t WebGetRequest_GetHost(WebGetRequest* request, char* buffer, int32_t capacity) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return CopyField(request, request->Host, buffer, capacity);
}

int64_t WebGetRequest_GetFilename(WebGetRequest* request, char* buffer, int32_t capacity) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return CopyField(request, request->Filename, buffer, capacity);
}

int64_t WebGetRequest_SetOutputFilename(WebGetRequest* request, const char* path) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(path);
    String_CopyLength(request->OutputFilename, path, WEBGET_REQUEST_FILENAME_SIZE);
    return 1;
}

int64_t WebGetRequest_GetOutputFilename(WebGetRequest* request, char* buffer, int32_t capacity) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return CopyField(request, request->OutputFilename, buffer, capacity);
}

int64_t WebGetRequest_SetProxyURL(WebGetRequest* request, const char* url) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(url);
    String_CopyLength(request->ProxyURL, url, WEBGET_REQUEST_PROXY_SIZE);
    return 1;
}

int64_t WebGetRequest_GetProxyURLPtr(WebGetRequest* request, char** url) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(url);
    *url = request->ProxyURL;
    return 1;
}

int64_t WebGetRequest_SetURI(WebGetRequest* request, const char* uri) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(uri);
    String_CopyLength(request->URI, uri, WEBGET_REQUEST_URL_SIZE);
    return 1;
}

int64_t WebGetRequest_GetURI(WebGetRequest* request, char* buffer, int32_t capacity) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return CopyField(request, request->URI, buffer, capacity);
}

int64_t WebGetRequest_SetPostPtr(WebGetRequest* request, const void* data, uint32_t length) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    request->PostData = data;
    request->PostLength = data ? length : 0;
    request->PostFromURL = 0;
    return 1;
}

int64_t WebGetRequest_GetPostPtr(WebGetRequest* request, const void** data, uint32_t* length) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(data);
    ASSERT_POINTER(length);
    *data = request->PostData;
    *length = request->PostLength;
    return 1;
}

int64_t WebGetRequest_SetByteRange(WebGetRequest* request, int64_t start, int64_t end) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    request->ByteRangeStart = start;
    request->ByteRangeEnd = end;
    return 1;
}

int64_t WebGetRequest_GetByteRange(WebGetRequest* request, int64_t* start, int64_t* end) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(start);
    ASSERT_POINTER(end);
    *start = request->ByteRangeStart;
    *end = request->ByteRangeEnd;
    return request->ByteRangeStart != 0 || request->ByteRangeEnd != 0;
}

int64_t WebGetRequest_SetCacheStoreHandle(WebGetRequest* request, WebGetCacheStore* store) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    if (store) WebGetCacheStore_AddRef(store);
    if (request->CacheStore) WebGetCacheStore_Release(&request->CacheStore);
    request->CacheStore = store;
    return 1;
}

int64_t WebGetRequest_GetCacheStoreHandle(WebGetRequest* request, WebGetCacheStore** store) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(store);
    *store = request->CacheStore;
    return request->CacheStore != nullptr;
}

int64_t WebGetRequest_GetHeader(WebGetRequest* request, char** block, int32_t* capacity) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(block);
    ASSERT_POINTER(capacity);
    *block = request->RequestHeader;
    *capacity = WEBGET_REQUEST_HEADER_SIZE;
    return 1;
}

int64_t WebGetRequest_GetResponseHeader(WebGetRequest* request, char** block, int32_t* capacity) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(block);
    ASSERT_POINTER(capacity);
    *block = request->ResponseHeader;
    *capacity = WEBGET_REQUEST_HEADER_SIZE;
    return 1;
}

int64_t WebGetRequest_HeaderReset(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    request->RequestHeader[0] = 0;
    request->ResponseHeader[0] = 0;
    return 1;
}

// ---- Callbacks ----------------------------------------------------------------------------------

int64_t WebGetRequest_SetStartCallback(WebGetRequest* request, void* scope, void* user, WebGetRequestCallback fn) {
    return SetSlot(request, &WebGetRequest::StartCallback, scope, user, fn);
}
int64_t WebGetRequest_SetStartCallbackDefault(WebGetRequest* request) {
    return ClearSlot(request, &WebGetRequest::StartCallback);
}
int64_t WebGetRequest_SetHeaderDoneCallback(WebGetRequest* request, void* scope, void* user,
                                            WebGetRequestCallback fn) {
    return SetSlot(request, &WebGetRequest::HeaderDoneCallback, scope, user, fn);
}
int64_t WebGetRequest_SetHeaderDoneCallbackDefault(WebGetRequest* request) {
    return ClearSlot(request, &WebGetRequest::HeaderDoneCallback);
}
int64_t WebGetRequest_SetFillBodyCallback(WebGetRequest* request, void* scope, void* user,
                                          WebGetRequestFillBodyCallback fn) {
    // The slot always holds a handler: a null function puts the memory handler back.
    if (!fn) return WebGetRequest_SetFillBodyCallbackDefault(request);
    ClearSlot(request, &WebGetRequest::FillBodyCallback);
    return SetSlot(request, &WebGetRequest::FillBodyCallback, scope, user, fn);
}
int64_t WebGetRequest_SetFillBodyCallbackDefault(WebGetRequest* request) {
    ClearSlot(request, &WebGetRequest::FillBodyCallback);
    return SetSlot(request, &WebGetRequest::FillBodyCallback, nullptr, nullptr, WebGetRequest_FillBodyDefaultCallback);
}
int64_t WebGetRequest_SetFillBodyCallbackNull(WebGetRequest* request) {
    ClearSlot(request, &WebGetRequest::FillBodyCallback);
    return SetSlot(request, &WebGetRequest::FillBodyCallback, nullptr, nullptr, WebGetRequest_FillBodyNullCallback);
}
int64_t WebGetRequest_SetFillBodyCallbackFileOutput(WebGetRequest* request) {
    ClearSlot(request, &WebGetRequest::FillBodyCallback);
    return SetSlot(request, &WebGetRequest::FillBodyCallback, nullptr, nullptr,
                   WebGetRequest_FillBodyFileOutputCallback);
}
int64_t WebGetRequest_SetBodyCompleteCallback(WebGetRequest* request, void* scope, void* user,
                                              WebGetRequestCallback fn) {
    return SetSlot(request, &WebGetRequest::BodyCompleteCallback, scope, user, fn);
}
int64_t WebGetRequest_SetBodyCompleteCallbackDefault(WebGetRequest* request) {
    return ClearSlot(request, &WebGetRequest::BodyCompleteCallback);
}
int64_t WebGetRequest_SetRedirectCallback(WebGetRequest* request, void* scope, void* user,
                                          WebGetRequestRedirectCallback fn) {
    return SetSlot(request, &WebGetRequest::RedirectCallback, scope, user, fn);
}
int64_t WebGetRequest_SetRedirectCallbackDefault(WebGetRequest* request) {
    return ClearSlot(request, &WebGetRequest::RedirectCallback);
}
int64_t WebGetRequest_SetFileWriteCallback(WebGetRequest* request, void* scope, void* user,
                                           WebGetRequestCallback fn) {
    return SetSlot(request, &WebGetRequest::FileWriteCallback, scope, user, fn);
}
int64_t WebGetRequest_SetDoneCallback(WebGetRequest* request, void* scope, void* user, WebGetRequestCallback fn) {
    return SetSlot(request, &WebGetRequest::DoneCallback, scope, user, fn);
}
int64_t WebGetRequest_SetDoneCallbackDefault(WebGetRequest* request) {
    return ClearSlot(request, &WebGetRequest::DoneCallback);
}

// ---- State and results --------------------------------------------------------------------------

int64_t WebGetRequest_GetPhase(WebGetRequest* request, int32_t* phase) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(phase);
    *phase = request->Phase.load();
    return 1;
}

int64_t WebGetRequest_IsIdle(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return request->Phase.load() == WEBGET_PHASE_IDLE;
}

int64_t WebGetRequest_IsDone(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return request->Phase.load() == WEBGET_PHASE_DONE;
}

int64_t WebGetRequest_IsOk(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return request->Phase.load() == WEBGET_PHASE_DONE && request->ErrorCode.load() == 0 &&
           request->HTTPCode >= 200 && request->HTTPCode <= 299 && !request->ByteRangeMismatched;
}

int64_t WebGetRequest_GetLastError(WebGetRequest* request, int32_t* code, int32_t* extended) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(code);
    ASSERT_POINTER(extended);
    *code = request->ErrorCode.load();
    *extended = request->ExtendedCode;
    return 1;
}

int64_t WebGetRequest_SetLastError(WebGetRequest* request, int32_t code, int32_t extended) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    if (code != 0) {
        int32_t expected = 0;
        if (request->ErrorCode.compare_exchange_strong(expected, code)) request->ExtendedCode = extended;
    } else {
        int32_t current = request->ErrorCode.load();
        if (request->ErrorCode.compare_exchange_strong(current, 0)) request->ExtendedCode = extended;
    }
    if (request->ErrorCode.load() != 0 && request->PendingWrites.load() == 0)
        WebGetRequest_CloseOutputFile(request, 0);
    return 0;
}

int64_t WebGetRequest_GetHTTPCode(WebGetRequest* request, int32_t* code) {
    return Load(request, &WebGetRequest::HTTPCode, code);
}
int64_t WebGetRequest_SetHTTPCode(WebGetRequest* request, int32_t code) {
    return Store(request, &WebGetRequest::HTTPCode, code);
}
int64_t WebGetRequest_GetHTTPVersion(WebGetRequest* request, double* version) {
    return Load(request, &WebGetRequest::HTTPVersion, version);
}

int64_t WebGetRequest_GetHTTPStatus(WebGetRequest* request, char* buffer, int32_t capacity) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(buffer);
    return WebGet_HeaderGetHTTPStatus(request->ResponseHeader, (int32_t)strlen(request->ResponseHeader), buffer,
                                      capacity);
}

int64_t WebGetRequest_GetContentLength(WebGetRequest* request, int64_t* length) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(length);
    *length = request->ContentLengthKnown ? request->ContentLength : 0;
    return request->ContentLengthKnown;
}

int64_t WebGetRequest_SetContentLength(WebGetRequest* request, int64_t length) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    request->ContentLength = length;
    request->ContentLengthKnown = 1;
    return 1;
}

int64_t WebGetRequest_GetTransferLength(WebGetRequest* request, int64_t* length) {
    return Load(request, &WebGetRequest::TransferLength, length);
}
int64_t WebGetRequest_GetBodyLength(WebGetRequest* request, int64_t* length) {
    return Load(request, &WebGetRequest::BodyLength, length);
}
int64_t WebGetRequest_GetLastModifiedTime(WebGetRequest* request, double* time) {
    return Load(request, &WebGetRequest::LastModifiedTime, time);
}
int64_t WebGetRequest_GetCacheControlMaxAge(WebGetRequest* request, int64_t* seconds) {
    return Load(request, &WebGetRequest::CacheMaxAge, seconds);
}
int64_t WebGetRequest_GetCacheControlDirective(WebGetRequest* request, uint32_t* directive) {
    return Load(request, &WebGetRequest::CacheDirective, directive);
}
int64_t WebGetRequest_IsCachedResponse(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return request->CachedResponse;
}
int64_t WebGetRequest_SetCachedResponse(WebGetRequest* request, uint32_t flag) {
    return Store(request, &WebGetRequest::CachedResponse, flag);
}
int64_t WebGetRequest_IsChunkedResponse(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return request->ChunkedResponse;
}
int64_t WebGetRequest_IsChunkedComplete(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return request->ChunkedResponse && request->ChunkedComplete;
}
int64_t WebGetRequest_IsCompressedResponse(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return request->CompressedResponse;
}
int64_t WebGetRequest_IsByteRangeAvailable(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return request->ByteRangeUsed;
}
int64_t WebGetRequest_IsByteRangeUsed(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return request->ByteRangeUsed == 1;
}
int64_t WebGetRequest_IsByteRangeMismatched(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return request->ByteRangeMismatched;
}

int64_t WebGetRequest_GetReceivedRange(WebGetRequest* request, int64_t* first, int64_t* last) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(first);
    ASSERT_POINTER(last);
    *first = request->ReceivedRangeFirst;
    *last = request->ReceivedRangeLast;
    return 1;
}

int64_t WebGetRequest_GetFilePosition(WebGetRequest* request, int64_t* position) {
    return Load(request, &WebGetRequest::FilePosition, position);
}
int64_t WebGetRequest_GetFileExistingPosition(WebGetRequest* request, int64_t* position) {
    return Load(request, &WebGetRequest::ExistingFilePosition, position);
}

int64_t WebGetRequest_Persistent(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return request->Persistent;
}

int64_t WebGetRequest_ShouldWait(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return request->PendingWrites.load() > 0;
}

// ---- Connection side ----------------------------------------------------------------------------

int64_t WebGetRequest_SetWritesDoneHook(WebGetRequest* request, void* user, WebGetRequestCallback fn) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return CallbackSync_SetReal(&request->WritesDoneHook, fn ? user : nullptr, Callback_FunctionWord(fn));
}

int64_t WebGetRequest_SetConnectionHandle(WebGetRequest* request, void* connection) {
    return Store(request, &WebGetRequest::Connection, connection);
}

int64_t WebGetRequest_GetConnectionHandle(WebGetRequest* request, void** connection) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(connection);
    *connection = request->Connection;
    return request->Connection != nullptr;
}

int64_t WebGetRequest_SetPhase(WebGetRequest* request, int32_t phase) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    const double now = Time_GetCurrent();
    int32_t old = request->Phase.load();
    if (old == phase) return 0;
    WebGetRequest_VerboseLog(request, 1, "Phase change - %s > %s (%.2f)", WebGet_TranslatePhase(old),
                             WebGet_TranslatePhase(phase), now - request->PhaseTime.load());
    request->PhaseTime.store(now);
    request->Phase.compare_exchange_strong(old, phase);
    request->PhaseChanged.store(1);
    return 1;
}

int64_t WebGetRequest_SetPhaseChanged(WebGetRequest* request, uint32_t flag) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    request->PhaseChanged.store(flag);
    return 1;
}
int64_t WebGetRequest_GetPhaseChanged(WebGetRequest* request, uint32_t* flag) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_POINTER(flag);
    *flag = request->PhaseChanged.load();
    return 1;
}

int64_t WebGetRequest_Start(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    ASSERT_MSG(request->Connection != nullptr, "Request is not ready to start");
    ASSERT_MSG(request->Phase.load() == WEBGET_PHASE_START, "Request is not ready to start");
    return WebGetConnection_RequestStart(static_cast<WebGetConnection*>(request->Connection), request);
}

int64_t WebGetRequest_RaiseStart(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return Raise(request, &WebGetRequest::StartCallback);
}

int64_t WebGetRequest_RaiseHeaderDone(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    return Raise(request, &WebGetRequest::HeaderDoneCallback);
}

int64_t WebGetRequest_Done(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    WebGetRequest_SetPhase(request, WEBGET_PHASE_DONE);
    return Raise(request, &WebGetRequest::DoneCallback);
}

// ---- Headers before sending ---------------------------------------------------------------------

int64_t WebGetRequest_HeaderPrepare(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    char* block = request->RequestHeader;
    const int32_t capacity = WEBGET_REQUEST_HEADER_SIZE;
    char number[64];
    WebGet_HeaderSet(block, capacity, "Accept", "*/*", 0);
    WebGet_HeaderSet(block, capacity, "Accept-Language", "en-us", 0);
    const int64_t start = request->ByteRangeStart, end = request->ByteRangeEnd;
    if (end > 0) {
        String_Print(number, sizeof(number), "bytes=%I64d-%I64d", start, end);
        WebGet_HeaderSet(block, capacity, "Range", number, 1);
    } else if (start > 0) {
        String_Print(number, sizeof(number), "bytes=%I64d-", start);
        WebGet_HeaderSet(block, capacity, "Range", number, 1);
    }
    if (request->Type == WEBGET_REQUEST_TYPE_GET) {
        if (request->PostLength > 0) {
            String_Print(number, sizeof(number), "%d", (int32_t)request->PostLength);
            WebGet_HeaderSet(block, capacity, "Content-Length", number, 0);
        }
        if (request->AllowCompressedContent == 1 && start == 0 && end == 0)
            WebGet_HeaderSet(block, capacity, "Accept-Encoding", "gzip", 0);
    } else if (request->Type == WEBGET_REQUEST_TYPE_POST) {
        if (request->PostFromURL) {
            request->PostData = nullptr;
            request->PostLength = 0;
            request->PostFromURL = 0;
        }
        if (!request->PostData) {
            const char* query = nullptr;
            if (String_FindChar(request->URL, '?', &query) && query[1]) {
                request->PostData = query + 1;
                request->PostLength = (uint32_t)strlen(query + 1);
                request->PostFromURL = 1;
            }
        }
        if (request->PostData) {
            WebGet_HeaderSet(block, capacity, "Content-Type", "application/x-www-form-urlencoded", 0);
            String_Print(number, sizeof(number), "%d", (int32_t)request->PostLength);
            WebGet_HeaderSet(block, capacity, "Content-Length", number, 0);
        } else {
            WebGet_HeaderSet(block, capacity, "Content-Length", "0", 0);
        }
    }
    if (request->AllowCookies == 1 && WebGetRequest_CookieActive(request)) {
        char cookies[512];
        WebGetRequest_CookieGetOutput(request, cookies, sizeof(cookies));
        WebGet_HeaderSet(block, capacity, "Cookie", cookies, 0);
    }
    return 1;
}

// ---- Redirects ----------------------------------------------------------------------------------

namespace {

bool IsSecure(const char* url) {
    return URL_CompareProtocol(url, "https") != 0;
}

// A server's Location chooses where the request goes next: only to another web address, never to
// a local file or another protocol, and never from a secure address down to a plain one.
bool RedirectAllowed(WebGetRequest* request, const char* from, const char* to) {
    const bool web = URL_CompareProtocol(to, "http") || IsSecure(to);
    if (!web || (IsSecure(from) && !IsSecure(to))) {
        WebGetRequest_Print(request, "Redirect refused [%s > %s]", from, to);
        WebGetRequest_SetLastError(request, WEBGET_ERROR_BLOCKED_REDIRECT, 0);
        return false;
    }
    return true;
}

} // namespace

int64_t WebGetRequest_Redirect(WebGetRequest* request) {
    CLASS_CHECK(request, WEBGET_REQUEST_CLASS_ID);
    request->RedirectionDepth++;
    char* location = static_cast<char*>(Memory_Alloc(WEBGET_REQUEST_URL_SIZE));
    char* target = static_cast<char*>(Memory_Alloc(WEBGET_REQUEST_URL_SIZE));
    char* origin = static_cast<char*>(Memory_Alloc(WEBGET_REQUEST_URL_SIZE));
    String_CopyLength(origin, request->URL, WEBGET_REQUEST_URL_SIZE);
    int64_t result = 0;
    do {
        if (!WebGet_HeaderGetByName(request->ResponseHeader, "Location", location, WEBGET_REQUEST_URL_SIZE)) {
            WebGetRequest_SetLastError(request, WEBGET_ERROR_REDIRECT_HEADER_NOT_FOUND, 0);
            break;
        }
        target[0] = 0;
        URL_Join(request->URL, location, target, WEBGET_REQUEST_URL_SIZE);
        WebGetRequest_Print(request, "Redirect detected %d:[%s]", (int32_t)request->RedirectionDepth, target);
        if (request->RedirectionDepth > request->RedirectionLimit) {
            WebGetRequest_Print(request, "Redirect limit reached [%d > %d]", (int32_t)request->RedirectionDepth,
                                (int32_t)request->RedirectionLimit);
            WebGetRequest_SetLastError(request, WEBGET_ERROR_REDIRECT_LIMIT, 0);
            break;
        }
        if (String_Compare(target, request->URL)) {
            WebGetRequest_Print(request, "Redirect loop detected [%s]", target);
            WebGetRequest_SetLastError(request, WEBGET_ERROR_REDIRECT_LOOP_DETECTED, 0);
            break;
        }
        if (!RedirectAllowed(request, origin, target)) break;
        char rewriteValue[64];
        int32_t rewrite = 1;
        if (WebGet_HeaderGetByName(request->ResponseHeader, "X-QVR-UrlRewrite", rewriteValue, sizeof(rewriteValue)) &&
            String_CompareWithoutCase(rewriteValue, "Disable"))
            rewrite = 0;
        WebGetRequest_HeaderReset(request);
        WebGetRequest_SetURLEx(request, target, rewrite);
        void* user = nullptr;
        WebGetRequestRedirectCallback fn = nullptr;
        if (CallbackBase_Get(&request->RedirectCallback.Pointers, &user, &fn) && fn &&
            !fn(request, user, target, WEBGET_REQUEST_URL_SIZE)) {
            WebGetRequest_Print(request, "Redirect blocked due to callback response [%s]", request->URL);
            WebGetRequest_SetLastError(request, WEBGET_ERROR_BLOCKED_REDIRECT, 0);
            break;
        }
        WebGetRequest_SetURLEx(request, target, rewrite);
        // Rules and the callback may have moved it again: the URL it now goes to is held to the
        // same rules, and must pass the host checks as the first one did.
        if (!RedirectAllowed(request, origin, request->URL)) break;
        if (request->RequireAuthorization && !WebGet_Authorize(request->URL)) {
            WebGetRequest_Print(request, "Redirect not authorized [%s]", request->URL);
            WebGetRequest_SetLastError(request, WEBGET_ERROR_VALIDATION, 0);
            break;
        }
        result = 1;
    } while (false);
    Memory_Free(origin, WEBGET_REQUEST_URL_SIZE);
    Memory_Free(location, WEBGET_REQUEST_URL_SIZE);
    Memory_Free(target, WEBGET_REQUEST_URL_SIZE);
    return result;
}
