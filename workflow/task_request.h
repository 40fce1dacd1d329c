// A task's single web request: one document loader configured from the task's arguments, driven by
// the main loop's passes, retried with a growing delay and reported through one callback.
#pragma once
#include <cstdint>

#include "workflow/task.h"

struct AsyncHTTP;
struct TaskRequest;
struct WebGetRequest;

enum : uint32_t {
    TASKREQUEST_CLASS_ID = 0x6506bd2a,
    TASKREQUEST_URL_SIZE = 8192,
    TASKREQUEST_MAX_RETRIES = 3,
};

// The parsed document of a task's web request: (task, user, document, error code, extended code).
typedef int64_t (*TaskRequestDocumentCallback)(Task* task, void* user, Dictionary* document, int32_t code,
                                               int32_t extendedCode);

// Each replaces the task's current request; the load starts on the next main-loop pass.
int64_t Task_RequestJSON(Task* task, const char* url, void* user, TaskRequestDocumentCallback callback);
int64_t Task_RequestXML(Task* task, const char* url, void* user, TaskRequestDocumentCallback callback);
// The parser is chosen by the URL's extension, else by the response's Content-Type.
int64_t Task_RequestAuto(Task* task, const char* url, void* user, TaskRequestDocumentCallback callback);

// Applies the task's request arguments ("timeout", "allowProxy", "allowResume", "allowGzip",
// "limitBodySize", "headers", "cookies" and the task's verbose level) to a request.
int64_t Task_RequestConfig(Task* task, WebGetRequest* request);

// The request record: made for the url as the task's request (deleting the one before), and deleted.
int64_t Task_RequestCreate(Task* task, const char* url, TaskRequest** request);
int64_t Task_RequestDelete(Task* task);
// The loader's callbacks (the record is the user).
int64_t Task_RequestBuild(AsyncHTTP* loader, void* user, WebGetRequest* request);
int64_t Task_RequestError(AsyncHTTP* loader, void* user, int32_t errorCount, int32_t operation, uint32_t code,
                          uint32_t codeEx, double* resumeTime);
int64_t Task_RequestRaiseComplete(TaskRequest* request, int32_t code, int32_t extendedCode);
// The record's main-loop observer.
int64_t Task_Notification_OnRequestProcess(void* user, const char* type, const char* name, const char* instance,
                                           Dictionary* info);

// The retry delay is this many seconds times 2^min(n, 8); 15 unless a test shortens it.
int64_t TaskRequest_SetRetryDelayUnit(double seconds);

// Names the place of a document for a user: the file a URL stands for (the host maps its content
// URL to the skin's folder), else nothing (0), and then the URL itself or a file URL's path is used.
// With a reason buffer, also says why that file cannot be read (the system's words), when it cannot.
typedef int64_t (*TaskRequestPlaceFunc)(const char* url, char* buffer, int32_t capacity, char* reason,
                                        int32_t reasonCapacity);
int64_t TaskRequest_SetPlaceCallback(TaskRequestPlaceFunc callback);
int64_t TaskRequest_PlaceOf(const char* url, char* buffer, int32_t capacity);
// "place: what" for a failed load: "file:line:column: what" for a document a parser refused,
// the system's words for a file that cannot be read, the HTTP status for a refused request.
int64_t TaskRequest_DescribeFailure(const char* url, uint32_t code, uint32_t codeEx, const char* parseMessage,
                                    char* buffer, int32_t capacity);
// Whether a failure is one that a later attempt cannot mend: a document that does not parse, or
// any failure to read a local document (a file URL, or one the place callback maps to a file), or
// a host or redirect the allowed list refuses. A remote server's refusal keeps the retries: it may
// be passing.
int64_t TaskRequest_IsLastingFailure(const char* url, uint32_t code);
