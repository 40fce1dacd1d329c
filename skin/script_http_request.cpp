// The script HTTP request: one WebGetRequest carried by a connection of its own, or by the skin
// application's in-process route for the content URL, with downloads put in place on success.
#include "skin/script_http_request.h"

#include <cstdio>
#include <cstring>

#include "core/formats/interop_request.h"
#include "core/linux/platform_file.h"
#include "core/linux/platform_output_file.h"
#include "core/platform/path.h"
#include "core/runtime/class_family.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/web_get.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_header.h"
#include "core/web/web_get_request.h"
#include "core/web/web_server.h"
#include "skin/script_object.h"
#include "skin/skin_app.h"

namespace {

constexpr const char* kType = "HttpRequest";
constexpr const char* kPartialSuffix = ".partial";
constexpr int32_t kDateSize = 64;

void PreparePrint(HttpRequest* request) {
    ClassPrint_Prepare(&request->Print, request, "HttpRequest", nullptr);
}

int64_t DeleteHandle(void** handle) {
    return HttpRequest_Delete(reinterpret_cast<HttpRequest**>(handle));
}

void FireComplete(HttpRequest* request, int32_t code, const char* status, int32_t error, int32_t extended) {
    Dictionary* info = nullptr;
    if (!Dictionary_Create(&info)) return;
    Dictionary_AddInt32(info, "httpCode", code, nullptr);
    Dictionary_AddString(info, "httpStatus", status ? status : "", nullptr);
    Dictionary_AddInt32(info, "errorCode", error, nullptr);
    Dictionary_AddInt32(info, "errorCodeEx", extended, nullptr);
    NotificationCenter_FireAfterDelay(kType, "Complete", request->Header.InstanceId, 0, info);
    Dictionary_Release(&info);
}

void DropConnection(HttpRequest* request) {
    if (!request->Connection) return;
    WebGetConnection_Close(request->Connection);
    WebGetConnection_Release(&request->Connection);
}

// Stops the request wherever it is carried without its Done callback running: closing a
// connection ends its queued requests as done, which would otherwise put a file in place.
void Detach(HttpRequest* request) {
    WebGetRequest_SetDoneCallback(request->Request, nullptr, nullptr, nullptr);
    if (request->Connection)
        DropConnection(request);
    else
        SkinApp_WebGetRequestRemove(request->Request);
}

// The block's lines after its first (status or request) line.
const char* AfterFirstLine(const char* block) {
    const char* end = strpbrk(block, "\r\n");
    if (!end) return block + strlen(block);
    while (*end == '\r' || *end == '\n') end++;
    return end;
}

const char* ResponseBlock(HttpRequest* request) {
    char* block = nullptr;
    int32_t capacity = 0;
    if (!WebGetRequest_GetResponseHeader(request->Request, &block, &capacity) || !block) return "";
    return AfterFirstLine(block);
}

const char* RequestBlock(HttpRequest* request) {
    char* block = nullptr;
    int32_t capacity = 0;
    if (!WebGetRequest_GetHeader(request->Request, &block, &capacity) || !block) return "";
    return block;
}

template <typename T>
int64_t Slice(const T* block, int32_t size, int32_t offset, int32_t length, const T** slice, int32_t* sliceLength) {
    *slice = nullptr;
    *sliceLength = 0;
    if (offset < 0 || offset >= size || length < 0) return 0;
    *slice = block + offset;
    *sliceLength = length > size - offset ? size - offset : length;
    return 1;
}

bool Failed(int32_t code, int32_t error) {
    return error != 0 || code < 200 || code > 299;
}

// Gives the partial file the server's modification time, or time 0 when the answer carried
// none; through a descriptor of our own file, so the time lands on nothing else.
void StampPartial(HttpRequest* request, int32_t* error, int32_t* extended) {
    char value[kDateSize];
    double time = 0;
    if (!WebGet_HeaderGetByName(ResponseBlock(request), "Last-Modified", value, sizeof(value)))
        HttpRequest_Print(request, "Header did not contain Last-Modified");
    else if (!Time_ParseStringEncoded(value, &time))
        HttpRequest_Print(request, "Unable to parse Last-Modified [%s]", value);
    char folder[HTTPREQUEST_FILENAME_SIZE];
    String_CopyLength(folder, request->PartialFileName, (int32_t)sizeof(folder));
    char* slash = strrchr(folder, '/');
    const char* name = request->PartialFileName;
    if (slash) {
        name = request->PartialFileName + (slash - folder) + 1;
        slash[slash == folder ? 1 : 0] = 0;
    } else {
        folder[0] = 0;
    }
    PlatformErrorCode platform = 0;
    uint64_t size = 0;
    const int32_t fd = Platform_OpenOutputFile(folder, name, 0, 0, &size, &platform);
    if (fd < 0 || !Platform_SetDescriptorModifiedTime(fd, time, &platform)) {
        HttpRequest_Print(request, "Unable to set modified date for file (%s)", request->FileName);
        *error = WEBGET_ERROR_OS;
        *extended = platform;
    }
    if (fd >= 0) Platform_Close(fd);
}

// The partial file of the run goes, unless something not ours stands at its name.
void DropPartial(HttpRequest* request) {
    if (request->FileName[0] && request->PartialFileName[0]) Platform_RemoveOwnFile(request->PartialFileName, nullptr);
}

// A download replaces the target only when it succeeded, and in one rename, so that the old file
// stays whole until the new one is complete. Any other ending keeps the target as it was. The
// partial file was made at the start (an empty body writes nothing, and yet the answer is an empty
// file); only our own file is renamed, never a file or link put at its name meanwhile.
void PlaceDownload(HttpRequest* request, int32_t code, int32_t* error, int32_t* extended) {
    uint32_t type = 0;
    WebGetRequest_GetType(request->Request, &type);
    // A HEAD answer has no body to put anywhere.
    if ((code == 304 && *error == 0) || Failed(code, *error) || type == WEBGET_REQUEST_TYPE_HEAD) {
        DropPartial(request);
        return;
    }
    // Stamped before the rename: the time is the file's own wherever its name goes.
    StampPartial(request, error, extended);
    PlatformErrorCode platform = 0;
    if (!Platform_RenameOwnFile(request->PartialFileName, request->FileName, &platform)) {
        HttpRequest_Print(request, "Unable to move file (%s) to (%s)", request->PartialFileName, request->FileName);
        *error = WEBGET_ERROR_OS;
        *extended = platform;
        DropPartial(request);
        return;
    }
}

// Takes the partial file for a run: the plain name when it is free or ours, else a name of the
// run's own (whatever holds the plain name is left as it is). False after the message.
bool TakePartial(HttpRequest* request, int32_t* error) {
    char folder[HTTPREQUEST_FILENAME_SIZE];
    String_CopyLength(folder, request->FileName, (int32_t)sizeof(folder));
    char* slash = strrchr(folder, '/');
    if (slash && slash != folder) {
        *slash = 0;
        if (!Path_Exists(folder)) Path_CreateDirectory(request->FileName, 1, nullptr);
    }
    uint32_t own = 0;
    PlatformErrorCode refused = 0;
    const bool taken = Platform_TakePartialFile(request->FileName, kPartialSuffix, 1, request->PartialFileName,
                                                (int32_t)sizeof(request->PartialFileName), &own, &refused, error);
    if (refused) {
        char reason[128] = "";
        Platform_GetErrorString(refused, reason, (int32_t)sizeof(reason));
        HttpRequest_Print(request, "Partial file %s%s cannot be used (%s)", request->FileName, kPartialSuffix, reason);
    }
    if (!taken) {
        HttpRequest_Print(request, "Unable to create partial file %s%s", request->FileName, kPartialSuffix);
        String_Print(request->PartialFileName, (int32_t)sizeof(request->PartialFileName), "%s%s", request->FileName,
                     kPartialSuffix);
    }
    return taken;
}

// Headers a run writes into the request's block from its own settings; the block outlives the run.
constexpr const char* kDerivedHeaders[] = {"If-Modified-Since", "Range", "Content-Length", "Accept-Encoding"};

void DropDerivedHeaders(HttpRequest* request, char* block) {
    for (uint32_t i = 0; i < sizeof(kDerivedHeaders) / sizeof(kDerivedHeaders[0]); i++) {
        const char* line = nullptr;
        if (!(request->ScriptHeaders & (1u << i)) && WebGet_HeaderFind(block, kDerivedHeaders[i], &line))
            WebGet_HeaderRemove(const_cast<char*>(line));
    }
}

bool Running(HttpRequest* request) {
    return request->State == HTTPREQUEST_STATE_RUNNING;
}

} // namespace

CLASS_BASICS(HttpRequest, HttpRequest, HTTPREQUEST_CLASS_ID)
CLASS_PRINT_FAMILY(HttpRequest, HttpRequest, HTTPREQUEST_CLASS_ID, PreparePrint)

// ---- Objects ---------------------------------------------------------------------------------------

int64_t HttpRequest_Create(HttpRequest** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    HttpRequest* request = ScriptObject_New<HttpRequest>(HTTPREQUEST_CLASS_ID, DeleteHandle);
    PreparePrint(request);
    WebGetRequest_Create(&request->Request);
    WebGetRequest_SetHeaderDoneCallback(request->Request, nullptr, request, HttpRequest_HeaderDoneCallback);
    request->UseCache = 1;
    request->AllowProxy = 1;
    request->AllowAuthentication = 1;
    request->Timeout = HTTPREQUEST_DEFAULT_TIMEOUT;
    *handle = request;
    return 1;
}

int64_t HttpRequest_Delete(HttpRequest** handle) {
    ASSERT_POINTER(handle);
    HttpRequest* request = *handle;
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    if (request->Request) {
        Detach(request);
        WebGetRequest_SetHeaderDoneCallbackDefault(request->Request);
        WebGetRequest_Release(&request->Request);
    }
    if (request->PostData) Memory_Free(request->PostData, (int32_t)request->PostDataLength);
    if (request->Cleanup && request->FileName[0]) Path_EraseFile(request->FileName, 1, nullptr);
    if (request->Cleanup || request->State == HTTPREQUEST_STATE_RUNNING) DropPartial(request);
    return ScriptObject_Free(handle);
}

// ---- Settings --------------------------------------------------------------------------------------

int64_t HttpRequest_SetUrl(HttpRequest* request, const char* url) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    return ScriptObject_SetName(request->Url, sizeof(request->Url), url);
}

int64_t HttpRequest_GetUrl(HttpRequest* request, char* buffer, int32_t size) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    return ScriptObject_GetName(request->Url, buffer, size);
}

int64_t HttpRequest_GetUrlPtr(HttpRequest* request, const char** url) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    return ScriptObject_GetNamePtr(request->Url, url);
}

int64_t HttpRequest_SetType(HttpRequest* request, uint32_t type) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    return WebGetRequest_SetType(request->Request, type);
}

int64_t HttpRequest_GetType(HttpRequest* request, uint32_t* type) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(type);
    return WebGetRequest_GetType(request->Request, type);
}

int64_t HttpRequest_SetFileName(HttpRequest* request, const char* name) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(name);
    // The running request writes into the partial file named now and is put in place under it.
    if (Running(request)) return 0;
    if (!name[0]) {
        request->FileName[0] = request->PartialFileName[0] = 0;
        return 1;
    }
    char expanded[HTTPREQUEST_URL_SIZE];
    if (!SkinApp_ExpandString(name, expanded, (int32_t)sizeof(expanded))) return 0;
    // A location the expander could not name would leave a relative name: the file would land
    // in whatever the current folder is, where another user may have made the folder first.
    // Said as an ERROR: the page's download would otherwise fail later with no reason shown.
    const int32_t lineSize = HTTPREQUEST_URL_SIZE + 8192;
    char* line = static_cast<char*>(Memory_Alloc(lineSize));
    const int64_t refused = String_ExpandJudgePath("fileName", name, expanded, line, lineSize);
    if (refused) Log_Error("File name refused: %s\n", line);
    Memory_Free(line, lineSize);
    if (refused) return 0;
    Path_FixSlash(expanded, (int32_t)sizeof(expanded), 0);
    // A partial name cut to fit could name the target itself, or another file: such names are
    // refused whole.
    const size_t length = strlen(expanded);
    if (!length || length + strlen(kPartialSuffix) >= sizeof(request->PartialFileName)) return 0;
    String_CopyLength(request->FileName, expanded, (int32_t)sizeof(request->FileName));
    String_CopyLength(request->PartialFileName, expanded, (int32_t)sizeof(request->PartialFileName));
    String_CatLength(request->PartialFileName, kPartialSuffix, (int32_t)sizeof(request->PartialFileName));
    return 1;
}

int64_t HttpRequest_GetFileName(HttpRequest* request, char* buffer, int32_t size) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    return ScriptObject_GetName(request->FileName, buffer, size);
}

int64_t HttpRequest_GetFileNamePtr(HttpRequest* request, const char** name) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    return ScriptObject_GetNamePtr(request->FileName, name);
}

int64_t HttpRequest_GetPartialFileName(HttpRequest* request, char* buffer, int32_t size) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    return ScriptObject_GetName(request->PartialFileName, buffer, size);
}

int64_t HttpRequest_SetPostData(HttpRequest* request, const void* data, uint32_t length) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    if (Running(request)) return 0;
    if (request->PostData) Memory_Free(request->PostData, (int32_t)request->PostDataLength);
    request->PostData = nullptr;
    request->PostDataLength = 0;
    return length ? HttpRequest_AppendPostData(request, data, length) : 1;
}

int64_t HttpRequest_AppendPostData(HttpRequest* request, const void* data, uint32_t length) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    if (Running(request)) return 0;
    if (length == 0) return 1;
    ASSERT_POINTER(data);
    const uint64_t total = (uint64_t)request->PostDataLength + length;
    if (total > 0x7fffffff) return 0;
    uint8_t* grown = static_cast<uint8_t*>(Memory_Alloc((int32_t)total));
    if (request->PostData) {
        memcpy(grown, request->PostData, request->PostDataLength);
        Memory_Free(request->PostData, (int32_t)request->PostDataLength);
    }
    memcpy(grown + request->PostDataLength, data, length);
    request->PostData = grown;
    request->PostDataLength = (uint32_t)total;
    return 1;
}

int64_t HttpRequest_GetPostData(HttpRequest* request, const uint8_t** data, uint32_t* length) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(data);
    ASSERT_POINTER(length);
    *data = request->PostData;
    *length = request->PostDataLength;
    return 1;
}

int64_t HttpRequest_SetByteRange(HttpRequest* request, int64_t start, int64_t end) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    if (start < 0 || start > end) return 0;
    request->ByteRangeStart = start;
    request->ByteRangeEnd = end;
    return 1;
}

int64_t HttpRequest_SetHeaderValue(HttpRequest* request, const char* name, const char* value) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    char* block = nullptr;
    int32_t capacity = 0;
    if (!name[0] || !WebGetRequest_GetHeader(request->Request, &block, &capacity) || !block) return 0;
    if (!WebGet_HeaderSet(block, capacity, name, value, 1)) return 0;
    for (uint32_t i = 0; i < sizeof(kDerivedHeaders) / sizeof(kDerivedHeaders[0]); i++)
        if (String_CompareWithoutCase(name, kDerivedHeaders[i])) request->ScriptHeaders |= 1u << i;
    return 1;
}

int64_t HttpRequest_GetHeaderValue(HttpRequest* request, const char* name, char* buffer, int32_t size) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(name);
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    if (WebGet_HeaderGetByName(RequestBlock(request), name, buffer, size)) return 1;
    if (!String_CompareWithoutCase(name, "Range")) return 0;
    int64_t start = 0, end = 0;
    if (!WebGetRequest_GetByteRange(request->Request, &start, &end)) return 0;
    if (end > 0)
        snprintf(buffer, (size_t)size, "bytes=%lld-%lld", (long long)start, (long long)end);
    else
        snprintf(buffer, (size_t)size, "bytes=%lld-", (long long)start);
    return 1;
}

int64_t HttpRequest_GetResponseHeaderValue(HttpRequest* request, const char* name, char* buffer, int32_t size) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(name);
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    return WebGet_HeaderGetByName(ResponseBlock(request), name, buffer, size) ? 1 : 0;
}

int64_t HttpRequest_HasResponseHeader(HttpRequest* request, const char* name) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(name);
    const char* line = nullptr;
    return name[0] && WebGet_HeaderFind(ResponseBlock(request), name, &line) ? 1 : 0;
}

// ---- Blocks and slices -------------------------------------------------------------------------------

int64_t HttpRequest_GetHeader(HttpRequest* request, int32_t offset, int32_t length, const char** slice,
                              int32_t* sliceLength) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(slice);
    ASSERT_POINTER(sliceLength);
    const char* block = RequestBlock(request);
    return Slice(block, (int32_t)strlen(block), offset, length, slice, sliceLength);
}

int64_t HttpRequest_GetHeaderPtr(HttpRequest* request, const char** block) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(block);
    *block = RequestBlock(request);
    return 1;
}

int64_t HttpRequest_GetHeaderSize(HttpRequest* request, int32_t* size) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(size);
    *size = (int32_t)strlen(RequestBlock(request));
    return 1;
}

int64_t HttpRequest_GetResponseHeader(HttpRequest* request, int32_t offset, int32_t length, const char** slice,
                                      int32_t* sliceLength) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(slice);
    ASSERT_POINTER(sliceLength);
    const char* block = ResponseBlock(request);
    return Slice(block, (int32_t)strlen(block), offset, length, slice, sliceLength);
}

int64_t HttpRequest_GetResponseHeaderPtr(HttpRequest* request, const char** block) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(block);
    *block = ResponseBlock(request);
    return 1;
}

int64_t HttpRequest_GetResponseHeaderSize(HttpRequest* request, int32_t* size) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(size);
    *size = (int32_t)strlen(ResponseBlock(request));
    return 1;
}

int64_t HttpRequest_GetBody(HttpRequest* request, int32_t offset, int32_t length, const uint8_t** slice,
                            int32_t* sliceLength) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(slice);
    ASSERT_POINTER(sliceLength);
    uint8_t* body = nullptr;
    uint32_t size = 0;
    *slice = nullptr;
    *sliceLength = 0;
    if (!WebGetRequest_GetBufferPtr(request->Request, &body, &size)) return 0;
    const uint8_t* start = body;
    return Slice(start, (int32_t)size, offset, length, slice, sliceLength);
}

int64_t HttpRequest_GetBodyPtr(HttpRequest* request, const uint8_t** body) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(body);
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    *body = nullptr;
    if (!WebGetRequest_GetBufferPtr(request->Request, &buffer, &size)) return 0;
    *body = buffer;
    return 1;
}

int64_t HttpRequest_GetBodySize(HttpRequest* request, int32_t* size) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(size);
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    *size = 0;
    if (!WebGetRequest_GetBufferPtr(request->Request, &buffer, &length)) return 0;
    *size = (int32_t)length;
    return 1;
}

// ---- Results ---------------------------------------------------------------------------------------

int64_t HttpRequest_GetHttpCode(HttpRequest* request, int32_t* code) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(code);
    *code = 0;
    return WebGetRequest_GetHTTPCode(request->Request, code);
}

int64_t HttpRequest_GetHttpStatus(HttpRequest* request, char* buffer, int32_t size) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    if (WebGetRequest_GetHTTPStatus(request->Request, buffer, size) && buffer[0]) return 1;
    int32_t code = 0;
    WebGetRequest_GetHTTPCode(request->Request, &code);
    const char* text = code ? WebServer_TranslateResponseCode(code) : nullptr;
    String_CopyLength(buffer, text ? text : "", size);
    return 1;
}

int64_t HttpRequest_GetContentLength(HttpRequest* request, int64_t* length) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(length);
    *length = 0;
    WebGetRequest_GetContentLength(request->Request, length);
    return 1;
}

int64_t HttpRequest_GetFilePosition(HttpRequest* request, int64_t* position) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(position);
    *position = 0;
    return WebGetRequest_GetFilePosition(request->Request, position);
}

// ---- Options ---------------------------------------------------------------------------------------

#define HTTPREQUEST_FLAG(Name, Field)                                                                  \
    int64_t HttpRequest_Set##Name(HttpRequest* request, uint32_t value) {                              \
        CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);                                                    \
        request->Field = value;                                                                        \
        return 1;                                                                                      \
    }                                                                                                  \
    int64_t HttpRequest_Get##Name(HttpRequest* request, uint32_t* value) {                             \
        CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);                                                    \
        ASSERT_POINTER(value);                                                                         \
        *value = request->Field;                                                                       \
        return 1;                                                                                      \
    }

HTTPREQUEST_FLAG(AllowProxy, AllowProxy)
HTTPREQUEST_FLAG(AllowAuthentication, AllowAuthentication)
HTTPREQUEST_FLAG(UseCache, UseCache)
HTTPREQUEST_FLAG(Cleanup, Cleanup)
HTTPREQUEST_FLAG(Timeout, Timeout)

int64_t HttpRequest_SetLimitBodySize(HttpRequest* request, uint32_t bytes) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    return WebGetRequest_SetLimitBodySize(request->Request, bytes);
}

int64_t HttpRequest_GetLimitBodySize(HttpRequest* request, uint32_t* bytes) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_POINTER(bytes);
    return WebGetRequest_GetLimitBodySize(request->Request, bytes);
}

int64_t HttpRequest_SetLogging(HttpRequest* request, uint32_t flag) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    return WebGetRequest_SetVerbose(request->Request, flag);
}

// ---- Actions ---------------------------------------------------------------------------------------

int64_t HttpRequest_Start(HttpRequest* request) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    if (Running(request)) {
        HttpRequest_Print(request, "Download already in progress");
        FireComplete(request, 400, "", 0, 0);
        return 1;
    }
    if (!request->Url[0]) {
        HttpRequest_Print(request, "Download url is empty");
        FireComplete(request, 400, "", 0, 0);
        return 1;
    }
    NotificationCenter_FireAfterDelay(kType, "Start", request->Header.InstanceId, 0, nullptr);

    char modified[kDateSize];
    modified[0] = 0;
    EncodedTime time = 0;
    if (request->FileName[0] && request->UseCache && Path_Exists(request->FileName) &&
        Path_GetModifiedTime(request->FileName, &time, nullptr))
        Time_EncodedString(TIME_FIELD_RFC1123, modified, (int32_t)sizeof(modified), time);

    WebGetRequest* web = request->Request;
    WebGetRequest_Reset(web);
    WebGetRequest_SetDoneCallback(web, nullptr, request, HttpRequest_RequestDone);
    char host[WEBGET_REQUEST_HOST_SIZE];
    host[0] = 0;
    if (!WebGetRequest_SetURL(web, request->Url) || !WebGetRequest_GetHost(web, host, (int32_t)sizeof(host)) ||
        !host[0]) {
        HttpRequest_Print(request, "Unable to construct URL [%s]", request->Url);
        request->State = HTTPREQUEST_STATE_IDLE;
        FireComplete(request, 403, "", 0, 0);
        return 0;
    }
    if (request->ByteRangeStart != 0 && request->ByteRangeEnd != 0)
        WebGetRequest_SetByteRange(web, request->ByteRangeStart, request->ByteRangeEnd);
    WebGetRequest_SetPostPtr(web, request->PostDataLength ? request->PostData : nullptr, request->PostDataLength);

    if (request->FileName[0]) {
        int32_t error = 0;
        if (!TakePartial(request, &error)) {
            request->State = HTTPREQUEST_STATE_IDLE;
            FireComplete(request, 0, "", WEBGET_ERROR_OS, error);
            return 0;
        }
        WebGetRequest_SetOutputFilename(web, request->PartialFileName);
        WebGetRequest_SetFillBodyCallbackFileOutput(web);
    } else {
        WebGetRequest_SetOutputFilename(web, "");
        WebGetRequest_SetFillBodyCallbackDefault(web);
    }

    char* block = nullptr;
    int32_t capacity = 0;
    WebGetRequest_GetHeader(web, &block, &capacity);
    if (block) {
        // A condition left from the last start whose file is gone would be answered 304 with
        // nothing to keep; a range or length left over would ask for the wrong bytes.
        DropDerivedHeaders(request, block);
        if (modified[0]) WebGet_HeaderSet(block, capacity, "If-Modified-Since", modified, 1);
    }

    if (SkinApp_IsContentUrl(request->Url)) {
        DropConnection(request);
        // Without the route nothing would ever answer: the request would stay running for good.
        if (!SkinApp_WebGetRequestQueue(web)) {
            HttpRequest_Print(request, "Unable to construct URL [%s]", request->Url);
            WebGetRequest_SetDoneCallback(web, nullptr, nullptr, nullptr);
            DropPartial(request);
            request->State = HTTPREQUEST_STATE_IDLE;
            FireComplete(request, 403, "", 0, 0);
            return 0;
        }
    } else {
        if (!request->Connection) {
            WebGetConnection_Create(&request->Connection);
            WebGetConnection_SetPersistent(request->Connection, 0);
            WebGetConnection_SetAllowProxyLoopback(request->Connection, 0);
        }
        uint32_t verbose = 0;
        WebGetRequest_GetVerbose(web, &verbose);
        WebGetConnection_SetAllowProxy(request->Connection, request->AllowProxy);
        WebGetConnection_SetAllowAuthentication(request->Connection, request->AllowAuthentication);
        WebGetConnection_SetTimeout(request->Connection, request->Timeout);
        WebGetConnection_SetPrintHeaders(request->Connection, verbose);
        WebGetConnection_SetVerbose(request->Connection, verbose);
        WebGetConnection_RequestAdd(request->Connection, web);
    }
    request->State = HTTPREQUEST_STATE_RUNNING;
    return 1;
}

int64_t HttpRequest_HeaderDoneCallback(WebGetRequest* web, void* user) {
    HttpRequest* request = static_cast<HttpRequest*>(user);
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    int32_t code = 0;
    WebGetRequest_GetHTTPCode(web, &code);
    Dictionary* info = nullptr;
    if (Dictionary_Create(&info)) {
        Dictionary_AddInt32(info, "httpCode", code, nullptr);
        NotificationCenter_FireAfterDelay(kType, "HeaderDone", request->Header.InstanceId, 0, info);
        Dictionary_Release(&info);
    }
    if (WebGetRequest_IsByteRangeMismatched(web)) {
        HttpRequest_Print(request, "Request (%s) byte range mismatch", request->Url);
        return WebGetRequest_SetLastError(web, WEBGET_ERROR_BAD_BYTE_RANGE, 0);
    }
    return 1;
}

int64_t HttpRequest_RequestDone(WebGetRequest* web, void* user) {
    HttpRequest* request = static_cast<HttpRequest*>(user);
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    request->State = HTTPREQUEST_STATE_IDLE;
    int32_t code = 0, error = 0, extended = 0;
    WebGetRequest_GetHTTPCode(web, &code);
    WebGetRequest_GetLastError(web, &error, &extended);
    char status[256];
    HttpRequest_GetHttpStatus(request, status, (int32_t)sizeof(status));
    if (request->FileName[0]) PlaceDownload(request, code, &error, &extended);
    FireComplete(request, code, status, error, extended);
    return 1;
}

int64_t HttpRequest_Abort(HttpRequest* request) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    if (!Running(request)) return 1;
    Detach(request);
    WebGetRequest_Reset(request->Request);
    DropPartial(request);
    request->State = HTTPREQUEST_STATE_IDLE;
    FireComplete(request, 0, "", WEBGET_ERROR_USER_ABORT, 0);
    return 1;
}

int64_t HttpRequest_Reset(HttpRequest* request) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    // A running request is let go first, so that no late answer lands on the cleared state.
    if (Running(request)) {
        Detach(request);
        DropPartial(request);
    }
    request->ByteRangeStart = request->ByteRangeEnd = 0;
    WebGetRequest_Reset(request->Request);
    WebGetRequest_HeaderReset(request->Request);
    WebGetRequest_CookieReset(request->Request);
    request->ScriptHeaders = 0;
    request->State = HTTPREQUEST_STATE_IDLE;
    return 1;
}

int64_t HttpRequest_Process(HttpRequest* request) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    ASSERT_MSG(Thread_GetMainId() == Thread_GetCurrentId(), "Function not on main thread");
    switch (request->State) {
    case HTTPREQUEST_STATE_IDLE:
        return 1;
    case HTTPREQUEST_STATE_RUNNING:
        if (request->Connection) WebGetConnection_Process(request->Connection);
        return 1;
    default:
        HttpRequest_Print(request, "Unknown state (%d)", (int32_t)request->State);
        return 1;
    }
}

int64_t HttpRequest_WaitForRequest(HttpRequest* request) {
    CLASS_CHECK(request, HTTPREQUEST_CLASS_ID);
    // The connection ends a silent peer by its own time-out, which comes first; the in-process
    // route has none, and a time-out of 0 none either, so a request that makes no progress for
    // as long (or the default time) is aborted here rather than holding the main thread for good.
    const uint32_t seconds = request->Timeout ? request->Timeout + (request->Connection ? 1 : 0)
                                              : (uint32_t)HTTPREQUEST_DEFAULT_TIMEOUT;
    int64_t seen = -1;
    int32_t seenPhase = -1;
    double last = Time_GetCurrent();
    while (Running(request)) {
        if (request->Connection)
            HttpRequest_Process(request);
        else
            SkinApp_ProcessWebServer();
        if (!Running(request)) break;
        int64_t length = 0;
        int32_t phase = 0;
        WebGetRequest_GetBodyLength(request->Request, &length);
        WebGetRequest_GetPhase(request->Request, &phase);
        if (length != seen || phase != seenPhase) {
            seen = length;
            seenPhase = phase;
            last = Time_GetCurrent();
        } else if (Time_GetCurrent() - last >= (double)seconds) {
            HttpRequest_Print(request, "Request (%s) timed out", request->Url);
            HttpRequest_Abort(request);
            break;
        }
        Thread_Wait(1);
    }
    return 1;
}

// ---- Script class ----------------------------------------------------------------------------------

namespace {

constexpr auto H = ApiGen_MethodHash;

// One call: every answer carries "returnValue"; a missing or mistyped argument fails the call.
struct Call {
    HttpRequest* Self;
    Dictionary* Request;
    Dictionary* Response;
    const char* Method;
    bool Ok = true;

    const char* String(const char* name) {
        const char* value = nullptr;
        if (Ok && !(ApiGen_GetStringPtr(Request, kType, Method, name, &value) && value)) Ok = false;
        return Ok ? value : "";
    }
    uint32_t Boolean(const char* name) {
        uint32_t value = 0;
        if (Ok && !ApiGen_GetBoolean(Request, kType, Method, name, &value)) Ok = false;
        return Ok && value ? 1 : 0;
    }
    int64_t Int64(const char* name) {
        int64_t value = 0;
        if (Ok && !ApiGen_GetInt64(Request, kType, Method, name, &value)) Ok = false;
        return Ok ? value : 0;
    }
    int32_t Int32(const char* name) {
        int32_t value = 0;
        if (Ok && !ApiGen_GetInt32(Request, kType, Method, name, &value)) Ok = false;
        return Ok ? value : 0;
    }
    int64_t ReturnBoolean(int64_t result) {
        Dictionary_AddBoolean(Response, "returnValue", Ok && result ? 1 : 0, nullptr);
        return Ok ? 1 : 0;
    }
    int64_t ReturnString(const char* text) {
        Dictionary_AddString(Response, "returnValue", Ok && text ? text : "", nullptr);
        return Ok ? 1 : 0;
    }
    int64_t ReturnInt32(int32_t value) {
        Dictionary_AddInt32(Response, "returnValue", value, nullptr);
        return 1;
    }
    int64_t ReturnInt64(int64_t value) {
        Dictionary_AddInt64(Response, "returnValue", value, nullptr);
        return 1;
    }
    int64_t ReturnBase64(const void* bytes, int32_t length, bool found) {
        char* encoded = nullptr;
        uint32_t size = 0;
        if (Ok && found && ApiGen_CreateBase64EncodedBuffer(length ? bytes : "", (uint32_t)length, &encoded, &size) &&
            encoded)
            Dictionary_AddString(Response, "returnValue", encoded, nullptr);
        else
            Dictionary_AddNull(Response, "returnValue", nullptr);
        if (encoded) ApiGen_DeleteBase64EncodedBuffer(&encoded, &size);
        return Ok ? 1 : 0;
    }
};

typedef int64_t (*SetFlagFunc)(HttpRequest*, uint32_t);
typedef int64_t (*GetFlagFunc)(HttpRequest*, uint32_t*);

int64_t SetFlag(Call& c, const char* name, SetFlagFunc fn) {
    const uint32_t value = c.Boolean(name);
    return c.ReturnBoolean(c.Ok && fn(c.Self, value));
}

int64_t GetFlag(Call& c, GetFlagFunc fn) {
    uint32_t value = 0;
    fn(c.Self, &value);
    return c.ReturnBoolean(value);
}

int64_t AppendPostData(Call& c) {
    const char* text = c.String("postData");
    uint8_t* bytes = nullptr;
    uint32_t length = 0, size = 0;
    bool ok = false;
    if (c.Ok) {
        ok = ApiGen_CreateBase64DecodedBuffer(text, &bytes, &length, &size) &&
             HttpRequest_AppendPostData(c.Self, bytes, length);
        ApiGen_DeleteBase64DecodedBuffer(&bytes, &size);
    }
    return c.ReturnBoolean(ok);
}

int64_t TextSlice(Call& c, int64_t (*fn)(HttpRequest*, int32_t, int32_t, const char**, int32_t*)) {
    const int32_t offset = c.Int32("offset");
    const int32_t length = c.Int32("length");
    const char* slice = nullptr;
    int32_t got = 0;
    const bool found = c.Ok && fn(c.Self, offset, length, &slice, &got);
    return c.ReturnBase64(slice, got, found);
}

} // namespace

int64_t HttpRequest_Invoke(void* userContext, Dictionary* request, Dictionary* response) {
    HttpRequest* self = static_cast<HttpRequest*>(userContext);
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!self || !ApiGen_GetMethod(request, kType, &method, &hash)) return 0;
    Call c{self, request, response, method};
    char text[HTTPREQUEST_URL_SIZE];
    text[0] = 0;
    switch (hash) {
    case H("setUrl"): {
        const char* url = c.String("url");
        return c.ReturnBoolean(c.Ok && HttpRequest_SetUrl(self, url));
    }
    case H("getUrl"):
        return c.ReturnString(self->Url);
    case H("setType"): {
        const int32_t type = c.Int32("type");
        return c.ReturnBoolean(c.Ok && HttpRequest_SetType(self, (uint32_t)type));
    }
    case H("getType"): {
        uint32_t type = 0;
        HttpRequest_GetType(self, &type);
        return c.ReturnInt32((int32_t)type);
    }
    case H("setFileName"): {
        const char* name = c.String("fileName");
        return c.ReturnBoolean(c.Ok && HttpRequest_SetFileName(self, name));
    }
    case H("getFileName"):
        return c.ReturnString(self->FileName);
    case H("getPartialFileName"):
        return c.ReturnString(self->PartialFileName);
    case H("appendPostData"):
        return AppendPostData(c);
    case H("clearPostData"):
        return c.ReturnBoolean(HttpRequest_SetPostData(self, nullptr, 0));
    case H("setByteRange"): {
        const int64_t start = c.Int64("start");
        const int64_t end = c.Int64("end");
        return c.ReturnBoolean(c.Ok && HttpRequest_SetByteRange(self, start, end));
    }
    case H("setHeaderValue"): {
        const char* name = c.String("name");
        const char* value = c.String("value");
        return c.ReturnBoolean(c.Ok && HttpRequest_SetHeaderValue(self, name, value));
    }
    case H("getHeaderValue"): {
        const char* name = c.String("name");
        if (c.Ok) HttpRequest_GetHeaderValue(self, name, text, (int32_t)sizeof(text));
        return c.ReturnString(text);
    }
    case H("getResponseHeaderValue"): {
        const char* name = c.String("name");
        if (c.Ok) HttpRequest_GetResponseHeaderValue(self, name, text, (int32_t)sizeof(text));
        return c.ReturnString(text);
    }
    case H("hasResponseHeader"): {
        const char* name = c.String("name");
        return c.ReturnBoolean(c.Ok && HttpRequest_HasResponseHeader(self, name));
    }
    case H("getHeader"):
        return TextSlice(c, HttpRequest_GetHeader);
    case H("getHeaderSize"): {
        int32_t size = 0;
        HttpRequest_GetHeaderSize(self, &size);
        return c.ReturnInt32(size);
    }
    case H("getResponseHeader"):
        return TextSlice(c, HttpRequest_GetResponseHeader);
    case H("getResponseHeaderSize"): {
        int32_t size = 0;
        HttpRequest_GetResponseHeaderSize(self, &size);
        return c.ReturnInt32(size);
    }
    case H("getBody"): {
        const int32_t offset = c.Int32("offset");
        const int32_t length = c.Int32("length");
        const uint8_t* slice = nullptr;
        int32_t got = 0;
        const bool found = c.Ok && HttpRequest_GetBody(self, offset, length, &slice, &got);
        return c.ReturnBase64(slice, got, found);
    }
    case H("getBodySize"): {
        int32_t size = 0;
        HttpRequest_GetBodySize(self, &size);
        return c.ReturnInt32(size);
    }
    case H("getHttpCode"): {
        int32_t code = 0;
        HttpRequest_GetHttpCode(self, &code);
        return c.ReturnInt32(code);
    }
    case H("getHttpStatus"):
        HttpRequest_GetHttpStatus(self, text, (int32_t)sizeof(text));
        return c.ReturnString(text);
    case H("getContentLength"): {
        int64_t length = 0;
        HttpRequest_GetContentLength(self, &length);
        return c.ReturnInt64(length);
    }
    case H("getFilePosition"): {
        int64_t position = 0;
        HttpRequest_GetFilePosition(self, &position);
        return c.ReturnInt64(position);
    }
    case H("setAllowProxy"):
        return SetFlag(c, "allowProxy", HttpRequest_SetAllowProxy);
    case H("getAllowProxy"):
        return GetFlag(c, HttpRequest_GetAllowProxy);
    case H("setAllowAuthentication"):
        return SetFlag(c, "allowAuthentication", HttpRequest_SetAllowAuthentication);
    case H("getAllowAuthentication"):
        return GetFlag(c, HttpRequest_GetAllowAuthentication);
    case H("setUseCache"):
        return SetFlag(c, "useCache", HttpRequest_SetUseCache);
    case H("getUseCache"):
        return GetFlag(c, HttpRequest_GetUseCache);
    case H("setCleanup"):
        return SetFlag(c, "cleanup", HttpRequest_SetCleanup);
    case H("getCleanup"):
        return GetFlag(c, HttpRequest_GetCleanup);
    case H("setTimeout"): {
        const int32_t seconds = c.Int32("timeout");
        return c.ReturnBoolean(c.Ok && seconds >= 0 && HttpRequest_SetTimeout(self, (uint32_t)seconds));
    }
    case H("getTimeout"):
        return c.ReturnInt32((int32_t)self->Timeout);
    case H("setLimitBodySize"): {
        const int32_t bytes = c.Int32("limitBodySize");
        return c.ReturnBoolean(c.Ok && bytes >= 0 && HttpRequest_SetLimitBodySize(self, (uint32_t)bytes));
    }
    case H("getLimitBodySize"): {
        uint32_t bytes = 0;
        HttpRequest_GetLimitBodySize(self, &bytes);
        return c.ReturnInt32((int32_t)bytes);
    }
    case H("setLogging"):
        return SetFlag(c, "logging", HttpRequest_SetLogging);
    case H("start"):
        return c.ReturnBoolean(HttpRequest_Start(self));
    case H("abort"):
        HttpRequest_Abort(self);
        return c.ReturnBoolean(1);
    case H("reset"):
        HttpRequest_Reset(self);
        return c.ReturnBoolean(1);
    case H("waitForRequest"):
        HttpRequest_WaitForRequest(self);
        return c.ReturnBoolean(1);
    default:
        return 0;
    }
}

SCRIPT_OBJECT_CONTEXT(HttpRequest, HttpRequest)
