// A task's single web request: the document loader it owns, configured from the task's arguments,
// started from the main loop's passes, retried with a growing delay, and its one callback.
#include "workflow/task_request.h"

#include <cmath>
#include <cstring>
#include <fcntl.h>

#include "core/certs/cert_store.h"
#include "core/formats/url.h"
#include "core/linux/platform_error.h"
#include "core/linux/platform_file.h"
#include "core/platform/path.h"
#include "core/runtime/callback.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "core/web/async_http.h"
#include "core/web/web_get.h"
#include "core/web/web_get_cache.h"
#include "core/web/web_get_header.h"
#include "core/web/web_get_request.h"
#include "workflow/task_internal.h"

struct TaskRequest {
    Class Header;
    Task* Owner; // not referenced: the task owns the record
    AsyncHTTP* Loader;
    CertStoreInterface* Store;
    WebGetCacheStore* Cache;
    int16_t MaxRetries;
    char* Url;
    int32_t UrlCapacity;
    CallbackBase RawCallback;
    CallbackBase DocumentCallback;
};

namespace {

// A cache name is at most 59 characters.
constexpr int32_t kCacheNameSize = 60;
constexpr int32_t kValueSize = 8192;
constexpr int32_t kLongestDelayStep = 8;

double g_retryDelayUnit = 15.0;
TaskRequestPlaceFunc g_placeCallback = nullptr;

// The place of a URL for a user: what the host makes of it, a file URL's path, or the URL.
void PlaceOf(const char* url, char* buffer, int32_t capacity, char* reason = nullptr, int32_t reasonCapacity = 0) {
    buffer[0] = 0;
    if (g_placeCallback && g_placeCallback(url, buffer, capacity, reason, reasonCapacity) && buffer[0]) return;
    char path[1024];
    if (URL_CompareProtocol(url, "file") && Path_ConvertFromURL(url, path, sizeof(path))) {
        URL_DecodeString(path, buffer, capacity);
        return;
    }
    String_CopyLength(buffer, url, capacity);
}

// Why a local file cannot be read (opened and its first byte read, as a load would), or 0.
PlatformErrorCode LocalReadError(const char* path) {
    const int32_t fd = Platform_Open(path, O_RDONLY | O_CLOEXEC, 0, 0);
    if (fd < 0) return Platform_GetLastError();
    char byte = 0;
    uint32_t read = 0;
    PlatformErrorCode error = 0;
    if (!Platform_Read(fd, &byte, 1, &read)) error = Platform_GetLastError();
    Platform_Close(fd);
    return error;
}

// "7:10: Unexpected node" from a parser's "Unexpected node [@ 7:10]" (also "[x @ 7:10]", where x
// is the character found, and "[7:10]"); false when the message names no position.
bool PositionFirst(const char* message, char* buffer, int32_t capacity) {
    const char* open = strrchr(message, '[');
    const char* close = open ? strchr(open, ']') : nullptr;
    if (!open || !close) return false;
    const char* at = open + 1;
    for (const char* p = open + 1; p < close; p++)
        if (*p == '@') at = p + 1;
    while (*at == ' ') at++;
    char* end = nullptr;
    const long line = strtol(at, &end, 10);
    if (end == at || *end != ':') return false;
    const char* columnText = end + 1;
    const long column = strtol(columnText, &end, 10);
    if (end == columnText || end != close) return false;
    int32_t whatLength = (int32_t)(open - message);
    while (whatLength > 0 && message[whatLength - 1] == ' ') whatLength--;
    String_Print(buffer, capacity, "%ld:%ld: %.*s", line, column, whatLength, message);
    // What the parser found there, when it says.
    const char* found = open + 1;
    int32_t foundLength = at == open + 1 ? 0 : (int32_t)(strchr(found, '@') - found);
    while (foundLength > 0 && found[foundLength - 1] == ' ') foundLength--;
    if (foundLength > 0) String_PrintCat(buffer, capacity, " (%.*s)", foundLength, found);
    return true;
}

// Stops the record and frees it; the task is not touched (it may be gone already).
void Destroy(TaskRequest* record) {
    NotificationCenter_RemoveProcessObserver(record->Header.InstanceId, record, Task_Notification_OnRequestProcess);
    if (record->Loader) {
        AsyncHTTP_Reset(record->Loader);
        AsyncHTTP_Release(&record->Loader);
    }
    if (record->Cache) WebGetCacheStore_Release(&record->Cache);
    if (record->Store) CertStoreInterface_Release(&record->Store);
    if (record->Url) Memory_Free(record->Url, record->UrlCapacity);
    CallbackBase_Reset(&record->RawCallback);
    CallbackBase_Reset(&record->DocumentCallback);
    record->Header.ClassId = 0;
    Memory_Free(record, sizeof(TaskRequest));
}

// Ends the task's current request, raising "UserAbort" when a completed task still waited for it.
void EndCurrent(Task* task, bool mayRaise) {
    TaskRequest* record = task->Request;
    if (!record) return;
    // Detached first: a callback raised below may start the task's next request.
    task->Request = nullptr;
    NotificationCenter_RemoveProcessObserver(record->Header.InstanceId, record, Task_Notification_OnRequestProcess);
    if (mayRaise && record->Loader && !AsyncHTTP_IsLoadComplete(record->Loader) && Task_IsCompleted(task))
        Task_RequestRaiseComplete(record, WEBGET_ERROR_USER_ABORT, 0);
    Destroy(record);
}

int64_t Request(Task* task, const char* url, uint32_t parser, void* user, void* function, bool raw) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(url);
    TaskRequest* record = nullptr;
    if (!Task_RequestCreate(task, url, &record)) return 0;
    if (raw) {
        CallbackBase_SetReal(&record->RawCallback, 0, user, function);
        AsyncHTTP_SetKeepOriginal(record->Loader, 1);
    } else {
        CallbackBase_SetReal(&record->DocumentCallback, 0, user, function);
        AsyncHTTP_SetParser(record->Loader, parser);
    }
    return 1;
}

// Copies an item's text into `value` and expands it; false for an item without text or too long.
bool ExpandedItem(Task* task, Dictionary* dict, DictionaryItem* item, char* value) {
    const char* text = nullptr;
    if (!Dictionary_ItemGetStringPtr(dict, item, &text) || !text) return false;
    const size_t length = strlen(text);
    if (length >= (size_t)kValueSize) return false;
    memcpy(value, text, length + 1);
    return Task_ExpandInPlace(task, value, kValueSize) == 1;
}

Dictionary* DictionaryArgument(Task* task, const char* key) {
    uint32_t type = 0;
    Dictionary* child = nullptr;
    if (!Dictionary_GetTypeByKey(task->Arguments, key, &type) || type != DICTIONARY_TYPE_DICTIONARY) return nullptr;
    Dictionary_GetDictionaryByKey(task->Arguments, key, &child);
    return child;
}

// A number argument that fits a non-negative 32-bit count.
bool CountArgument(Task* task, const char* key, uint32_t* value) {
    double number = 0;
    if (!Task_GetNumberArgument(task, key, &number) || !std::isfinite(number) || number < 0 || number > 4294967295.0)
        return false;
    *value = (uint32_t)number;
    return true;
}

} // namespace

int64_t TaskRequest_SetRetryDelayUnit(double seconds) {
    if (!(seconds >= 0)) return 0;
    g_retryDelayUnit = seconds;
    return 1;
}

// ---- Request operations ------------------------------------------------------------------------

int64_t Task_RequestURL(Task* task, const char* url, void* user, TaskRequestRawCallback callback) {
    return Request(task, url, ASYNCHTTP_PARSER_JSON, user, Callback_FunctionWord(callback), true);
}

int64_t Task_RequestJSON(Task* task, const char* url, void* user, TaskRequestDocumentCallback callback) {
    return Request(task, url, ASYNCHTTP_PARSER_JSON, user, Callback_FunctionWord(callback), false);
}

int64_t Task_RequestXML(Task* task, const char* url, void* user, TaskRequestDocumentCallback callback) {
    return Request(task, url, ASYNCHTTP_PARSER_XML, user, Callback_FunctionWord(callback), false);
}

int64_t Task_RequestAuto(Task* task, const char* url, void* user, TaskRequestDocumentCallback callback) {
    return Request(task, url, ASYNCHTTP_PARSER_AUTO, user, Callback_FunctionWord(callback), false);
}

// ---- Record ------------------------------------------------------------------------------------

int64_t Task_RequestCreate(Task* task, const char* url, TaskRequest** out) {
    ASSERT_POINTER(out);
    *out = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(url);
    // A task on its way out takes no new request (a final callback may try).
    if (task->Header.RefCount == 0) return 0;
    EndCurrent(task, true);
    // A callback raised just now may have started a request of its own; this one replaces it.
    EndCurrent(task, false);

    TaskRequest* record = static_cast<TaskRequest*>(Memory_AllocZero(sizeof(TaskRequest)));
    record->Header.ClassId = TASKREQUEST_CLASS_ID;
    record->Header.RefCount = 1;
    Class_GenerateInstanceIdReal(record);
    record->Owner = task;
    record->MaxRetries = TASKREQUEST_MAX_RETRIES;
    record->UrlCapacity = TASKREQUEST_URL_SIZE;
    record->Url = static_cast<char*>(Memory_AllocZero(record->UrlCapacity));
    // The normalised copy is cut at capacity - 2; a url that long may have lost its end.
    if (!URL_FixPath(url, 0, record->Url, record->UrlCapacity) ||
        strlen(record->Url) >= (size_t)record->UrlCapacity - 2) {
        Task_Print(task, "Request url too long (%d bytes)", (int)strlen(url));
        Destroy(record);
        return 0;
    }
    char cache[kCacheNameSize];
    if (Task_ReadExpanded(task, "cache", cache, kCacheNameSize) && cache[0])
        WebGetCache_AddStore(cache, &record->Cache);
    CertStoreList* list = nullptr;
    if (Task_GetCertStoreListHandle(task, &list) && list) record->Store = CertStoreList_GetInterfaceHandle(list);

    if (!AsyncHTTP_Create(&record->Loader)) {
        Destroy(record);
        return 0;
    }
    AsyncHTTP_SetParser(record->Loader, ASYNCHTTP_PARSER_JSON);
    AsyncHTTP_SetCertStoreHandle(record->Loader, record->Store);
    AsyncHTTP_SetCacheStoreHandle(record->Loader, record->Cache);
    AsyncHTTP_SetErrorCallback(record->Loader, record, Task_RequestError);
    AsyncHTTP_SetRequestBuildCallback(record->Loader, record, Task_RequestBuild);
    NotificationCenter_AddProcessObserver(record->Header.InstanceId, record, Task_Notification_OnRequestProcess);
    task->Request = record;
    *out = record;
    return 1;
}

int64_t Task_RequestDelete(Task* task) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    if (!task->Request) return 0;
    EndCurrent(task, true);
    return 1;
}

// ---- Loader callbacks --------------------------------------------------------------------------

int64_t Task_RequestBuild(AsyncHTTP*, void* user, WebGetRequest* request) {
    TaskRequest* record = static_cast<TaskRequest*>(user);
    CLASS_CHECK(record, TASKREQUEST_CLASS_ID);
    // An attempt that succeeds after failures leaves no error behind.
    Task_ClearErrors(record->Owner);
    return Task_RequestConfig(record->Owner, request);
}

int64_t TaskRequest_SetPlaceCallback(TaskRequestPlaceFunc callback) {
    g_placeCallback = callback;
    return 1;
}

int64_t TaskRequest_PlaceOf(const char* url, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity <= 0) return 0;
    PlaceOf(url ? url : "", buffer, capacity);
    return 1;
}

int64_t TaskRequest_IsLastingFailure(const char* url, uint32_t code) {
    if (code == WEBGET_ERROR_JSON || code == WEBGET_ERROR_XML || code == WEBGET_ERROR_YAML) return 1;
    // A host or redirect the allowed list refuses is refused again on every try.
    if (code == WEBGET_ERROR_VALIDATION || code == WEBGET_ERROR_BLOCKED_REDIRECT) return 1;
    if (!url) return 0;
    if (URL_CompareProtocol(url, "file")) return 1;
    char place[1024];
    return g_placeCallback && g_placeCallback(url, place, sizeof(place), nullptr, 0) && place[0] ? 1 : 0;
}

int64_t TaskRequest_DescribeFailure(const char* url, uint32_t code, uint32_t codeEx, const char* parseMessage,
                                    char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity <= 0) return 0;
    char place[1024];
    char what[512] = "";
    PlaceOf(url ? url : "", place, sizeof(place), what, sizeof(what));
    // A local file that cannot be read is told by the system's words, whatever answer the
    // in-process server made of it.
    if (what[0]) {
    } else if ((code == WEBGET_ERROR_JSON || code == WEBGET_ERROR_XML || code == WEBGET_ERROR_YAML) && parseMessage &&
        parseMessage[0]) {
        // The place and the position join into one "file:line:column".
        if (PositionFirst(parseMessage, what, sizeof(what))) {
            String_Print(buffer, capacity, "%s:%s", place, what);
            return 1;
        }
        String_CopyLength(what, parseMessage, sizeof(what));
    } else if (code == WEBGET_ERROR_OS && Platform_GetErrorString((PlatformErrorCode)codeEx, what, sizeof(what))) {
    } else if (code > 0 && code < WEBGET_ERROR_CUSTOM) {
        const char* reason = WebGet_TranslateHTTPCode((int32_t)code);
        String_Print(what, sizeof(what), "HTTP status %u%s%s", code, reason && reason[0] ? " " : "", reason ? reason : "");
    } else {
        const char* name = WebGet_TranslateError((int32_t)code);
        String_Print(what, sizeof(what), "%s (%u/%u)", name && name[0] ? name : "request failed", code, codeEx);
    }
    String_Print(buffer, capacity, "%s: %s", place, what);
    return 1;
}

int64_t Task_RequestError(AsyncHTTP* loader, void* user, int32_t errorCount, int32_t, uint32_t code, uint32_t codeEx,
                          double* resumeTime) {
    TaskRequest* record = static_cast<TaskRequest*>(user);
    CLASS_CHECK(record, TASKREQUEST_CLASS_ID);
    ASSERT_POINTER(resumeTime);
    // A local file that cannot be read carries the system's error, whatever answer the in-process
    // server made of it: "not found" would send a user looking for a missing file.
    char place[1024];
    char reason[256] = "";
    PlaceOf(record->Url, place, sizeof(place), reason, sizeof(reason));
    const PlatformErrorCode local = reason[0] ? LocalReadError(place) : 0;
    auto addError = [&] {
        if (local)
            Task_AddErrorFromCode(record->Owner, WEBGET_ERROR_OS, (int32_t)local);
        else
            Task_AddErrorFromCode(record->Owner, (int32_t)code, (int32_t)codeEx);
    };
    // A local file that cannot be read or a document that does not parse stays what it is:
    // reported once, with its place, and not retried as if the network had failed.
    const bool lasting = TaskRequest_IsLastingFailure(record->Url, code) != 0;
    if (lasting || (record->MaxRetries >= 0 && errorCount >= record->MaxRetries)) {
        char parse[ASYNCHTTP_PARSE_MESSAGE_SIZE] = "";
        if (loader) AsyncHTTP_GetParseMessage(loader, parse, (int32_t)sizeof(parse));
        char text[TASK_MESSAGE_SIZE];
        TaskRequest_DescribeFailure(record->Url, code, codeEx, parse, text, (int32_t)sizeof(text));
        // Said before the error, so that the error carries it as what went wrong and where.
        Task_Print(record->Owner, "%s", text);
        addError();
        // The key the task carries now, which a page translates, beside the words for the user.
        char key[TASK_MESSAGE_SIZE] = "";
        uint32_t count = 0;
        if (Task_GetErrorCount(record->Owner, &count) && count > 0)
            Task_GetError(record->Owner, (int32_t)count - 1, key, (int32_t)sizeof(key));
        // A workflow's own document is told here; a task's document is told by the failure line
        // of its workflow (or handled by its "failure" outcome), once.
        const char* type = Task_GetType(record->Owner);
        const bool document = type && String_CompareWithoutCase(type, "WorkflowRun");
        if (document && key[0])
            Log_Error("%s (%s)\n", text, key);
        else if (document)
            Log_Error("%s\n", text);
        return ASYNCHTTP_POLICY_FINAL;
    }
    addError();
    const int32_t step = errorCount < kLongestDelayStep ? errorCount : kLongestDelayStep;
    const double delay = errorCount < 0 ? 0.0 : g_retryDelayUnit * (double)(1u << step);
    Task_Print(record->Owner, "Waiting for retry %.02fs (%d/%d)", delay, errorCount + 1, (int)record->MaxRetries);
    *resumeTime = Time_GetCurrent() + delay;
    return 4;
}

int64_t Task_RequestRaiseComplete(TaskRequest* record, int32_t code, int32_t extendedCode) {
    CLASS_CHECK(record, TASKREQUEST_CLASS_ID);
    void* user = nullptr;
    TaskRequestDocumentCallback document = nullptr;
    TaskRequestRawCallback raw = nullptr;
    if (CallbackBase_Get(&record->DocumentCallback, &user, &document) && document) {
        Dictionary* dict = nullptr;
        AsyncHTTP_GetDictionaryHandle(record->Loader, &dict);
        return document(record->Owner, user, dict, code, extendedCode);
    }
    if (CallbackBase_Get(&record->RawCallback, &user, &raw) && raw) {
        const uint8_t* body = nullptr;
        uint32_t length = 0;
        AsyncHTTP_GetOriginal(record->Loader, &body, &length);
        return raw(record->Owner, user, body, length, code, extendedCode);
    }
    return 0;
}

int64_t Task_Notification_OnRequestProcess(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskRequest* record = static_cast<TaskRequest*>(user);
    CLASS_CHECK(record, TASKREQUEST_CLASS_ID);
    Task* task = record->Owner;
    if (AsyncHTTP_IsLoadComplete(record->Loader)) {
        uint32_t code = 0, codeEx = 0;
        AsyncHTTP_GetLastError(record->Loader, &code, &codeEx);
        // Detached before the callback, which may start the next request or release the task.
        if (task->Request == record) task->Request = nullptr;
        NotificationCenter_RemoveProcessObserver(record->Header.InstanceId, record, Task_Notification_OnRequestProcess);
        Task_RequestRaiseComplete(record, (int32_t)code, (int32_t)codeEx);
        Destroy(record);
        return 1;
    }
    double resume = 0;
    if (AsyncHTTP_IsAlive(record->Loader) || !AsyncHTTP_GetResumeTime(record->Loader, &resume) ||
        Time_GetCurrent() < resume)
        return 1;
    void* authUser = nullptr;
    TaskAuthenticateCallback authenticate = nullptr;
    const int64_t required =
        CallbackBase_Get(&task->AuthenticateCallback, &authUser, &authenticate) && authenticate
            ? authenticate(task, authUser)
            : 1;
    AsyncHTTP_Load(record->Loader, record->Url, required ? 1 : 0);
    return 1;
}

// ---- Arguments onto a request ------------------------------------------------------------------

int64_t Task_RequestConfig(Task* task, WebGetRequest* request) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(request);
    if (task->OwnVerbose == 1) WebGetRequest_SetVerbose(request, 1);
    uint32_t value = 0;
    if (CountArgument(task, "timeout", &value)) WebGetRequest_SetTimeout(request, value);
    if (Task_GetBooleanArgument(task, "allowProxy", &value)) WebGetRequest_SetAllowProxy(request, value);
    if (Task_GetBooleanArgument(task, "allowResume", &value)) WebGetRequest_SetAllowResume(request, value);
    if (Task_GetBooleanArgument(task, "allowGzip", &value)) WebGetRequest_SetAllowCompressedContent(request, value);
    if (CountArgument(task, "limitBodySize", &value)) WebGetRequest_SetLimitBodySize(request, value);

    Dictionary* headers = DictionaryArgument(task, "headers");
    Dictionary* cookies = DictionaryArgument(task, "cookies");
    if (!headers && !cookies) return 1;
    char* text = static_cast<char*>(Memory_Alloc(kValueSize));
    DictionaryItem* item = nullptr;
    const char* key = nullptr;
    char* block = nullptr;
    int32_t capacity = 0;
    if (headers && WebGetRequest_GetHeader(request, &block, &capacity) && block) {
        for (Dictionary_ItemGetFirst(headers, &item); item; Dictionary_ItemGetNext(headers, item, &item)) {
            if (Dictionary_ItemGetKeyPtr(headers, item, &key) && key && key[0] && ExpandedItem(task, headers, item, text))
                WebGet_HeaderSet(block, capacity, key, text, 1);
        }
    }
    if (cookies) {
        for (Dictionary_ItemGetFirst(cookies, &item); item; Dictionary_ItemGetNext(cookies, item, &item)) {
            if (Dictionary_ItemGetKeyPtr(cookies, item, &key) && key && key[0] && ExpandedItem(task, cookies, item, text))
                WebGetRequest_CookieSet(request, key, text, "", "", 0);
        }
    }
    Memory_Free(text, kValueSize);
    return 1;
}
