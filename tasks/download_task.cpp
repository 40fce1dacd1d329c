// The Download task type: one request at a time on the main thread, watched from main-loop ticks.
// A file already there is first probed (headers only, then stopped), which fixes the remote length
// and decides between skipping, continuing with a byte range and fetching the file again.
#include "tasks/download_task.h"

#include <cerrno>
#include <cstring>

#include "core/formats/url.h"
#include "core/linux/platform_error.h"
#include "core/linux/platform_file.h"
#include "core/linux/platform_output_file.h"
#include "core/platform/path.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/web_get.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_header.h"
#include "tasks/download_task_internal.h"
#include "workflow/task_request.h"
#include "workflow/task_type.h"
#include "workflow/workflow_app.h"

namespace {

// The request's error when the task itself stops it after the headers.
constexpr int32_t kStopCode = WEBGET_ERROR_RETRY;
constexpr uint32_t kResetMask = DOWNLOAD_FLAG_SKIPPED | DOWNLOAD_FLAG_FILE_OUTPUT | DOWNLOAD_FLAG_LENGTH_KNOWN;

DownloadTask* Self(void* user) {
    return reinterpret_cast<DownloadTask*>(TaskBase_Check(user, DOWNLOADTASK_CLASS_ID));
}

Task* Owner(DownloadTask* self) {
    return self->Base.Owner;
}

bool Has(DownloadTask* self, uint32_t flag) {
    return (self->Flags & flag) != 0;
}

void Set(DownloadTask* self, uint32_t flag, bool on) {
    self->Flags = on ? self->Flags | flag : self->Flags & ~flag;
}

void ResetFlags(DownloadTask* self) {
    self->Flags &= ~kResetMask;
    self->Flags |= DOWNLOAD_FLAG_RANGE_SUPPORTED;
}

void AssertMainThread() {
    const uint32_t main = Thread_GetMainId(), current = Thread_GetCurrentId();
    if (main != current) Debug_Abort("Thread assertion failed (%d vs. %d)\n", (int32_t)current, (int32_t)main);
}

double Now() {
    return Time_GetCurrent();
}

// A period start of 0 means none, and the clock's first reading may be 0.
double PeriodNow() {
    const double now = Now();
    return now > 0 ? now : 1e-9;
}

bool BooleanArgument(DownloadTask* self, const char* key, bool fallback) {
    uint32_t value = 0;
    if (!Task_GetBooleanArgument(Owner(self), key, &value)) return fallback;
    return value != 0;
}

int64_t FileSize(const char* path) {
    uint64_t size = 0;
    if (!Path_GetFileSize(path, &size)) return 0;
    return (int64_t)size;
}

// The last component of a path (empty when it ends in a separator).
const char* LastComponent(const char* path) {
    const char* name = path;
    for (const char* p = path; *p; p++)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}

// ---- The request -------------------------------------------------------------------------------

} // namespace

// The connection makes a new socket, and with it a new meter, for every connect: the link is
// made again whenever the request's bytes are about to be counted.
void DownloadTask_AttachMeter(DownloadTask* self) {
    void* connection = nullptr;
    MeterRW* meter = nullptr;
    if (!self->Request || !WebGetRequest_GetConnectionHandle(self->Request, &connection) || !connection ||
        !WebGetConnection_GetMeterRWHandle(static_cast<WebGetConnection*>(connection), &meter) || !meter ||
        meter == self->LinkedMeter)
        return;
    // What the new socket counted before the link (the answer's head) is counted here too, in one
    // step with the link: the socket's thread counts while this runs.
    MeterRW_SetParentHandleCarryUsage(meter, self->Meter);
    self->LinkedMeter = meter;
}

namespace {

// Takes the request back from whoever runs it and lets it go.
void DropRequest(DownloadTask* self) {
    if (!self->Request) return;
    WebGetRequest* request = self->Request;
    self->Request = nullptr;
    WorkflowApp_WebGetRequestRemove(request);
    WebGetRequest_SetStartCallback(request, nullptr, nullptr, nullptr);
    WebGetRequest_SetHeaderDoneCallback(request, nullptr, nullptr, nullptr);
    WebGetRequest_SetFillBodyCallbackNull(request);
    WebGetRequest_Reset(request);
    WebGetRequest_Release(&request);
}

// Stops a request from its header callback: quietly, with the task's own code.
int64_t StopRequest(WebGetRequest* request) {
    void* connection = nullptr;
    if (WebGetRequest_GetConnectionHandle(request, &connection) && connection)
        WebGetConnection_SetReportError(static_cast<WebGetConnection*>(connection), 0);
    return WebGetRequest_SetLastError(request, kStopCode, 0);
}

// One attempt each; the existing bytes count as none only when both files are gone (what is
// replaced goes before the new bytes come, as a stale output would otherwise be resumed).
void DeleteOutput(DownloadTask* self) {
    PlatformErrorCode error = 0;
    const bool part = !self->PartPath[0] || !Path_Exists(self->PartPath) || Path_EraseFile(self->PartPath, 1, &error);
    const bool output = !Path_Exists(self->OutputPath) || Path_EraseFile(self->OutputPath, 1, &error);
    if (part && output) self->ExistingBytes = 0;
}

// The file that holds the bytes already there.
const char* ExistingPath(DownloadTask* self) {
    return self->ExistingInPart ? self->PartPath : self->OutputPath;
}

// A path's folder (without its last separator) and its last component.
void SplitPath(const char* path, char* folder, int32_t capacity, const char** name) {
    const char* last = LastComponent(path);
    *name = last;
    const int32_t length = (int32_t)(last - path);
    String_CopyLengthSafe(folder, capacity, path, length > 1 ? length - 1 : length);
}

// The partial file's name: "<output>.partial", unless something not ours holds that name; then a
// fresh name made exclusively, so nobody can have put anything there first. Made now, so that a
// folder where it cannot be made fails the task at once rather than every retry of the transfer.
bool ChoosePart(DownloadTask* self) {
    Task* task = Owner(self);
    self->PartIsOwnName = 0;
    char folder[DOWNLOAD_PATH_SIZE + 48];
    const char* name = nullptr;
    SplitPath(self->OutputPath, folder, sizeof(folder), &name);
    if (folder[0] && !Path_Exists(folder)) Path_CreateDirectory(self->OutputPath, 1, nullptr);
    uint32_t own = 0;
    PlatformErrorCode refused = 0, error = 0;
    const bool taken = Platform_TakePartialFile(self->OutputPath, ".partial", 0, self->PartPath,
                                                (int32_t)sizeof(self->PartPath), &own, &refused, &error);
    if (refused) {
        char reason[128] = "";
        Platform_GetErrorString(refused, reason, sizeof(reason));
        Task_Print(task, "Partial file %s.partial cannot be used (%s)", self->OutputPath, reason);
    }
    if (!taken) {
        Task_Print(task, "Unable to create partial file %s.partial", self->OutputPath);
        TaskBase_AddPlatformError(&self->Base, error);
        self->PartPath[0] = 0;
        return false;
    }
    self->PartIsOwnName = own;
    return true;
}

// A whole file takes its final name in one rename; 0 after the error when it cannot.
bool Promote(DownloadTask* self) {
    if (!self->PartPath[0] || !Path_Exists(self->PartPath)) return true;
    // What took the output's name meanwhile is judged again: only a file is replaced.
    if (const int32_t refused = TaskBase_JudgeFileName(Owner(self), self->OutputPath, 1)) {
        TaskBase_AddPlatformError(&self->Base, refused);
        return false;
    }
    PlatformErrorCode error = 0;
    if (Path_MoveFile(self->PartPath, self->OutputPath, 1, 1, &error, nullptr, nullptr)) return true;
    Task_Print(Owner(self), "Unable to move %s to %s", self->PartPath, self->OutputPath);
    TaskBase_AddPlatformError(&self->Base, error);
    return false;
}

int64_t OnRequestStart(WebGetRequest* request, void* user) {
    DownloadTask* self = Self(user);
    if (request != self->Request) return 1;
    MeterRW_ResetCounters(self->Meter);
    self->LinkedMeter = nullptr;
    DownloadTask_AttachMeter(self);
    return 1;
}

int64_t OnHeaderDone(WebGetRequest* request, void* user) {
    DownloadTask* self = Self(user);
    if (request != self->Request) return 1;
    Task* task = Owner(self);
    DownloadTask_AttachMeter(self);
    int32_t code = 0;
    WebGetRequest_GetHTTPCode(request, &code);
    if (code < 200 || code > 299) return 1;

    bool replace = false;
    const bool fileOutput = Has(self, DOWNLOAD_FLAG_FILE_OUTPUT);
    if (!(fileOutput && Has(self, DOWNLOAD_FLAG_LENGTH_KNOWN))) {
        int64_t length = 0;
        self->LengthGiven = WebGetRequest_GetContentLength(request, &length) && length >= 0 ? 1 : 0;
        self->TotalBytes = self->LengthGiven ? length : 0;
        if (self->LengthGiven) {
            Task_Print(task, "Content length detected %lldB", (long long)self->TotalBytes);
            if (self->ExistingBytes > self->TotalBytes) {
                Task_Print(task, "Output file too large (%lld > %lld)", (long long)self->ExistingBytes,
                           (long long)self->TotalBytes);
                replace = true;
            }
        }
    }

    uint32_t skipTimestamp = 0;
    WebGetRequest_GetSkipTimestamp(request, &skipTimestamp);
    double remote = 0;
    EncodedTime local = 0;
    if (Path_Exists(ExistingPath(self)) && !skipTimestamp && WebGetRequest_GetLastModifiedTime(request, &remote) &&
        remote > 0 && Path_GetModifiedTime(ExistingPath(self), &local, nullptr)) {
        if (BooleanArgument(self, "overwriteIfNewer", false) && remote > local) {
            Task_Print(task, "Remote is newer than local (%.0f > %.0f)", remote, local);
            replace = true;
        }
        if (BooleanArgument(self, "overwriteIfOlder", false) && remote < local) {
            Task_Print(task, "Remote is older than local (%.0f < %.0f)", remote, local);
            replace = true;
        }
    }

    if (fileOutput) {
        if (!replace) return 1;
        DeleteOutput(self);
        return StopRequest(request);
    }
    Set(self, DOWNLOAD_FLAG_FILE_OUTPUT | DOWNLOAD_FLAG_LENGTH_KNOWN, true);
    uint32_t allowResume = 0;
    WebGetRequest_GetAllowResume(request, &allowResume);
    if (replace || (!allowResume && self->ExistingBytes > 0 && self->ExistingBytes != self->TotalBytes))
        DeleteOutput(self);
    return StopRequest(request);
}

// A host as a request can reach it: a name or address of letters, digits, '-', '.', '_', or an
// address in brackets. Text such as "not a url" read as a host would only be refused later, as a
// host nobody allowed, after retries that could never succeed.
bool IsHostName(const char* host) {
    for (const char* p = host; *p; p++) {
        const char c = *p;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '.' || c == '_' || c == ':' || c == '[' || c == ']';
        if (!plain) return false;
    }
    return true;
}

// Whether the URL names something a request can be made for, read as the request will read it
// (a URL without a scheme is an "http" one).
bool ParsesAsURL(const char* url) {
    char* full = static_cast<char*>(Memory_Alloc(DOWNLOAD_URL_SIZE));
    char scheme[32];
    char host[WEBGET_REQUEST_HOST_SIZE];
    bool parses = URL_Fix(url, 0, full, DOWNLOAD_URL_SIZE) && URL_ParseProtocol(full, scheme, sizeof(scheme)) &&
                  scheme[0];
    if (parses && !String_CompareWithoutCase(scheme, "file"))
        parses = URL_ParseHost(full, host, sizeof(host)) && host[0] && IsHostName(host);
    Memory_Free(full, DOWNLOAD_URL_SIZE);
    return parses;
}

// Completes the output path with the URL's file name where it names none.
bool CompleteOutputPath(DownloadTask* self, const char* url) {
    const char* name = LastComponent(self->OutputPath);
    if (name[0] && !String_Compare(name, ".") && !String_Compare(name, "..")) return true;
    char fromUrl[WEBGET_REQUEST_FILENAME_SIZE];
    if (!Download_FilenameFromURL(url, fromUrl, sizeof(fromUrl))) return false;
    char path[DOWNLOAD_PATH_SIZE];
    const size_t used = strlen(self->OutputPath);
    const bool separator = used == 0 || self->OutputPath[used - 1] == '/' || self->OutputPath[used - 1] == '\\';
    // A cut path would name another file.
    const size_t needed = used + (separator ? 0 : 1) + strlen(fromUrl);
    if (needed >= sizeof(path)) return false;
    String_CopyLength(path, self->OutputPath, sizeof(path));
    if (!separator) String_CatLength(path, "/", sizeof(path));
    String_CatLength(path, fromUrl, sizeof(path));
    String_CopyLength(self->OutputPath, path, sizeof(self->OutputPath));
    return true;
}

void StopTicking(DownloadTask* self);

// Ends the task before any transfer (the caller has recorded why); 0 for the caller to pass on.
int64_t CompleteEarly(DownloadTask* self) {
    TaskBase_Complete(&self->Base, nullptr);
    return 0;
}

// Sends the next request: the probe of a file already there, or the transfer. 0 when the task
// has been completed instead.
int64_t SendRequest(DownloadTask* self) {
    AssertMainThread();
    Task* task = Owner(self);
    DropRequest(self);
    char* url = static_cast<char*>(Memory_Alloc(DOWNLOAD_URL_SIZE));
    TaskBase_GetStringArgument(&self->Base, "url", url, DOWNLOAD_URL_SIZE);
    TaskBase_GetStringArgument(&self->Base, "outputPath", self->OutputPath, sizeof(self->OutputPath));
    // Nothing is asked for that could only land in a folder nobody named.
    if (TaskBase_RefuseLocation(&self->Base, "outputPath", self->OutputPath)) {
        Memory_Free(url, DOWNLOAD_URL_SIZE);
        return 0;
    }
    Task_Print(task, "Request for url %s", url);
    if (!CompleteOutputPath(self, url)) {
        Memory_Free(url, DOWNLOAD_URL_SIZE);
        TaskBase_InvalidArgument(&self->Base, "Filename not specified in output path or url");
        return CompleteEarly(self);
    }
    // Only a file, or nothing, is replaced by what comes: a device, FIFO or folder at the output
    // path is refused before anything is asked for or made beside it.
    if (const int32_t refused = TaskBase_JudgeFileName(task, self->OutputPath, 1)) {
        Memory_Free(url, DOWNLOAD_URL_SIZE);
        TaskBase_AddPlatformError(&self->Base, refused);
        return CompleteEarly(self);
    }
    if (!self->PartPath[0] && !ChoosePart(self)) {
        Memory_Free(url, DOWNLOAD_URL_SIZE);
        return CompleteEarly(self);
    }

    WebGetRequest* request = nullptr;
    WebGetRequest_Create(&request);
    WebGetRequest_SetSkipTimestamp(request, BooleanArgument(self, "skipTimestamp", false) ? 1 : 0);
    char* fixed = static_cast<char*>(Memory_Alloc(DOWNLOAD_URL_SIZE));
    const bool parsed = URL_FixPath(url, 0, fixed, DOWNLOAD_URL_SIZE) && ParsesAsURL(fixed);
    if (parsed) WebGetRequest_SetURL(request, fixed);
    Memory_Free(fixed, DOWNLOAD_URL_SIZE);
    if (!parsed) {
        WebGetRequest_Release(&request);
        TaskBase_InvalidArgument(&self->Base, "Invalid url format specified (%s)", url);
        Memory_Free(url, DOWNLOAD_URL_SIZE);
        return CompleteEarly(self);
    }
    Memory_Free(url, DOWNLOAD_URL_SIZE);
    WebGetRequest_SetType(request, WEBGET_REQUEST_TYPE_GET);
    WebGetRequest_SetStartCallback(request, nullptr, self, OnRequestStart);
    WebGetRequest_SetHeaderDoneCallback(request, nullptr, self, OnHeaderDone);
    WebGetRequest_SetReportError(request, 1);
    Task_RequestConfig(task, request);
    uint32_t allowResume = 0;
    WebGetRequest_GetAllowResume(request, &allowResume);
    self->AllowResume = allowResume;

    const double now = PeriodNow();
    // Bytes of an earlier run: in the partial file, or (from a run that wrote under the final
    // name) in the output itself, which moves to the partial name before it is continued.
    const int64_t partBytes = FileSize(self->PartPath);
    self->ExistingInPart = partBytes > 0 ? 1 : 0;
    self->ExistingBytes = partBytes > 0 ? partBytes : FileSize(self->OutputPath);
    // Continuing a file is asked for only where the request may append to it: a range answer
    // written from the start of the file would leave a file that looks whole and is not.
    const bool canContinue = Has(self, DOWNLOAD_FLAG_RANGE_SUPPORTED) &&
                             (allowResume || !Has(self, DOWNLOAD_FLAG_FILE_OUTPUT));
    if (self->ExistingBytes > 0 && canContinue) {
        PlatformErrorCode moved = 0;
        if (Has(self, DOWNLOAD_FLAG_FILE_OUTPUT) && !self->ExistingInPart &&
            Path_MoveFile(self->OutputPath, self->PartPath, 1, 1, &moved, nullptr, nullptr))
            self->ExistingInPart = 1;
        if (Has(self, DOWNLOAD_FLAG_FILE_OUTPUT) && !self->ExistingInPart) {
            Task_Print(task, "Unable to move %s aside to resume it", self->OutputPath);
            Set(self, DOWNLOAD_FLAG_RANGE_SUPPORTED, false);
            self->ExistingBytes = 0;
            self->ActiveTime = self->PauseTime = 0;
        } else if (Has(self, DOWNLOAD_FLAG_FILE_OUTPUT)) {
            Task_Print(task, "Resuming download from %lld", (long long)self->ExistingBytes);
            WebGetRequest_SetByteRange(request, self->ExistingBytes, 0);
            if (self->PeriodStart > 0) self->PauseTime += now - self->PeriodStart;
        } else if (Has(self, DOWNLOAD_FLAG_ALLOW_HEAD)) {
            WebGetRequest_SetType(request, WEBGET_REQUEST_TYPE_HEAD);
        }
    } else if (self->ExistingBytes > 0) {
        Set(self, DOWNLOAD_FLAG_FILE_OUTPUT, true);
        Task_Print(task, "Resume not supported");
        self->ExistingBytes = 0;
        self->ActiveTime = self->PauseTime = 0;
    } else {
        Set(self, DOWNLOAD_FLAG_FILE_OUTPUT, true);
        self->ActiveTime = self->PauseTime = 0;
    }
    self->PeriodStart = now;

    if (Has(self, DOWNLOAD_FLAG_FILE_OUTPUT)) {
        Task_Print(task, "Saving to %s", self->OutputPath);
        WebGetRequest_SetOutputFilename(request, self->PartPath);
        WebGetRequest_SetFillBodyCallbackFileOutput(request);
    } else {
        Task_Print(task, "Checking content length");
        WebGetRequest_SetFillBodyCallbackNull(request);
        WebGetRequest_SetAllowCompressedContent(request, 0);
    }
    self->Request = request;
    if (!WorkflowApp_WebGetRequestAdd(request)) {
        int32_t code = 0, extended = 0;
        WebGetRequest_GetLastError(request, &code, &extended);
        DropRequest(self);
        Task_AddErrorFromCode(task, code, extended);
        return CompleteEarly(self);
    }
    return 1;
}

// ---- Endings -------------------------------------------------------------------------------------

// The status line's three parts and the headers, from a finished request.
void PublishResponse(DownloadTask* self) {
    char* block = nullptr;
    int32_t capacity = 0;
    if (!WebGetRequest_GetResponseHeader(self->Request, &block, &capacity) || !block || !block[0]) return;
    Dictionary* values = nullptr;
    Dictionary_Create(&values);
    Dictionary* headers = nullptr;
    Dictionary_AddDictionary(values, "#responseHeaders", &headers, nullptr);
    const char* lineEnd = strpbrk(block, "\r\n");
    const char* rest = lineEnd ? lineEnd : block + strlen(block);
    while (*rest == '\r' || *rest == '\n') rest++;
    if (headers) WebGet_HeaderToDictionary(rest, headers, 0);
    // "HTTP/1.1 200 OK": version, code, message.
    char line[WEBGET_REQUEST_HEADER_SIZE];
    String_CopyLengthSafe(line, sizeof(line), block, (int32_t)((lineEnd ? lineEnd : rest) - block));
    char* space = strchr(line, ' ');
    if (space) *space = 0;
    Dictionary_AddString(values, "#responseVersion", line, nullptr);
    int32_t code = 0;
    WebGetRequest_GetHTTPCode(self->Request, &code);
    Dictionary_AddInt32(values, "responseCode", code, nullptr);
    const char* message = "";
    if (space) {
        char* second = strchr(space + 1, ' ');
        message = second ? second + 1 : "";
    }
    Dictionary_AddString(values, "responseMessage", message, nullptr);
    Task_SetStatusWithDictionary(Owner(self), values);
    Dictionary_Release(&values);
}

void Complete(DownloadTask* self, bool success) {
    const double now = PeriodNow();
    if (self->PeriodStart > 0 && !Has(self, DOWNLOAD_FLAG_PAUSED)) self->ActiveTime += now - self->PeriodStart;
    self->PeriodStart = 0;
    Dictionary* values = nullptr;
    Dictionary_Create(&values);
    Dictionary_AddString(values, "outputPath", self->OutputPath, nullptr);
    const char* name = LastComponent(self->OutputPath);
    char fromRequest[WEBGET_REQUEST_FILENAME_SIZE];
    fromRequest[0] = 0;
    if (!name[0] && self->Request) {
        WebGetRequest_GetOutputFilename(self->Request, fromRequest, sizeof(fromRequest));
        name = LastComponent(fromRequest);
    }
    Dictionary_AddString(values, "outputFilename", name, nullptr);
    char directory[DOWNLOAD_PATH_SIZE];
    String_CopyLengthSafe(directory, sizeof(directory), self->OutputPath,
                          (int32_t)(LastComponent(self->OutputPath) - self->OutputPath));
    Dictionary_AddString(values, "outputDirectory", directory, nullptr);
    Task_SetStatusWithDictionary(Owner(self), values);
    Dictionary_Release(&values);
    if (success) Task_SetProgress(Owner(self), 1);
    DownloadTask_UpdateStatus(self, true);
    self->Running = 0;
    StopTicking(self);
    TaskBase_Complete(&self->Base, nullptr);
}

// Whether a file written by a transfer that ended well holds as many bytes as were announced.
bool WrittenWhole(DownloadTask* self) {
    if (!Has(self, DOWNLOAD_FLAG_FILE_OUTPUT) || !self->LengthGiven) return true;
    if (WebGetRequest_IsCompressedResponse(self->Request)) return true;
    return FileSize(self->PartPath) == self->TotalBytes;
}

void Retry(DownloadTask* self, int32_t code, int32_t extended) {
    Task* task = Owner(self);
    // A local file that cannot be read (missing, a folder, a FIFO or a device) stays so: told
    // once by its path and the system's words, before the error that carries them, and not
    // retried as if the network had failed.
    bool local = false;
    if (code == WEBGET_ERROR_OS) {
        char* url = static_cast<char*>(Memory_Alloc(DOWNLOAD_URL_SIZE));
        TaskBase_GetStringArgument(&self->Base, "url", url, DOWNLOAD_URL_SIZE);
        local = TaskRequest_IsLastingFailure(url, (uint32_t)code) != 0;
        if (local) {
            char text[TASK_MESSAGE_SIZE];
            TaskRequest_DescribeFailure(url, (uint32_t)code, (uint32_t)extended, "", text, (int32_t)sizeof(text));
            Task_Print(task, "%s", text);
        }
        Memory_Free(url, DOWNLOAD_URL_SIZE);
    }
    Task_AddErrorFromCode(task, code, extended);
    DropRequest(self);
    // A host or redirect that the allowed list refuses is refused again on every try.
    const bool lasting = local || code == WEBGET_ERROR_VALIDATION || code == WEBGET_ERROR_BLOCKED_REDIRECT;
    if (!lasting && (self->MaxRetries < 0 || self->MaxRetries > (double)self->RetryCount)) {
        const double delay = Download_RetryDelay(self->RetryCount);
        Task_Print(task, "Waiting for retry %.02fs (%d/%d)", delay, self->RetryCount, (int32_t)self->MaxRetries);
        self->RetryTime = PeriodNow() + delay;
        self->RetryCount++;
        return;
    }
    Complete(self, false);
}

// A finished request: success, a resend, a retry or the end.
void Finish(DownloadTask* self) {
    Task* task = Owner(self);
    WebGetRequest* request = self->Request;
    PublishResponse(self);
    int32_t code = 0, extended = 0;
    WebGetRequest_GetLastError(request, &code, &extended);
    if (WebGetRequest_IsOk(request)) {
        if (WrittenWhole(self)) return Complete(self, Promote(self));
        Task_Print(task, "Saved file does not match the content length");
        return Retry(self, WEBGET_ERROR_UNEXPECTED_LENGTH, 0);
    }
    if (code == 0) WebGetRequest_GetHTTPCode(request, &code);
    if (code == WEBGET_ERROR_RANGE_NOT_SUPPORTED && Has(self, DOWNLOAD_FLAG_RANGE_SUPPORTED)) {
        Task_Print(task, "Partial resume not supported due to no range request support");
        Set(self, DOWNLOAD_FLAG_RANGE_SUPPORTED, false);
        SendRequest(self);
        return;
    }
    if (code == kStopCode) {
        // Only a stated length that the file already has makes it complete.
        if (self->LengthGiven && self->ExistingBytes == self->TotalBytes) {
            Task_Print(task, "File already exists at %s", ExistingPath(self));
            // The output already whole stays as it is; a partial file that is whole becomes it.
            return Complete(self, self->ExistingInPart ? Promote(self) : true);
        }
        SendRequest(self);
        return;
    }
    Retry(self, code, extended);
}

int64_t OnTick(void* user, const char*, const char*, const char*, Dictionary*) {
    DownloadTask* self = Self(user);
    if (!self->Running) return 1;
    if (self->RetryTime != 0) {
        if (Now() < self->RetryTime) return 1;
        self->RetryTime = 0;
        ResetFlags(self);
        Task_ClearErrors(Owner(self));
        SendRequest(self);
        return 1;
    }
    if (!Has(self, DOWNLOAD_FLAG_PAUSED) && self->Request && WebGetRequest_IsDone(self->Request)) {
        Finish(self);
        return 1;
    }
    DownloadTask_UpdateStatus(self, false);
    return 1;
}

void StartTicking(DownloadTask* self) {
    if (self->Ticking) return;
    self->Ticking = 1;
    TaskBase_AddProcessObserver(&self->Base, OnTick);
}

void StopTicking(DownloadTask* self) {
    if (!self->Ticking) return;
    self->Ticking = 0;
    TaskBase_RemoveProcessObserver(&self->Base, OnTick);
}

// ---- Notifications -------------------------------------------------------------------------------

int64_t OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    DownloadTask* self = Self(user);
    TaskBase* base = &self->Base;
    DropRequest(self);
    self->Running = 0;
    if (!TaskBase_RequireArgument(base, "url") || !TaskBase_RequireArgument(base, "outputPath")) return 1;
    TaskBase_SetProgressUnknown(base);
    self->MaxRetries = 3;
    // Any negative count means no limit; the count is shown and compared as a 32-bit number.
    if (!TaskBase_NumberArgumentInRange(base, "maxRetries", -2147483648.0, 2147483647, &self->MaxRetries)) return 1;
    // The request reads these itself and passes over a word; a mistyped wait or limit is refused
    // here instead of being dropped.
    double unused = 0;
    if (!TaskBase_NumberArgument(base, "timeout", &unused) || !TaskBase_NumberArgument(base, "limitBodySize", &unused))
        return 1;
    Set(self, DOWNLOAD_FLAG_ALLOW_HEAD, BooleanArgument(self, "allowHeadRequest", true));
    Set(self, DOWNLOAD_FLAG_ALLOW_SKIP, BooleanArgument(self, "allowSkip", false));
    if (Has(self, DOWNLOAD_FLAG_ALLOW_SKIP) && !(self->MaxRetries < 0)) {
        Task_Print(Owner(self), "Re-configuring for ability to skip download");
        self->MaxRetries = -1;
    }
    Set(self, DOWNLOAD_FLAG_PAUSED, false);
    self->PartPath[0] = 0;
    self->PartIsOwnName = 0;
    self->ExistingInPart = 0;
    self->RetryTime = 0;
    self->SampleCount = 0;
    self->NextUpdate = 0;
    self->PeriodStart = 0;
    ResetFlags(self);
    Task_ClearErrors(Owner(self));
    self->Running = 1;
    if (SendRequest(self)) StartTicking(self);
    return 1;
}

int64_t OnPause(void* user, const char*, const char*, const char*, Dictionary*) {
    DownloadTask* self = Self(user);
    AssertMainThread();
    if (!self->Running || Has(self, DOWNLOAD_FLAG_PAUSED)) return 1;
    Set(self, DOWNLOAD_FLAG_PAUSED, true);
    self->SampleCount = 0;
    const double now = PeriodNow();
    if (self->PeriodStart > 0) self->ActiveTime += now - self->PeriodStart;
    self->PeriodStart = now;
    // A retry that comes due while paused would send a request nobody asked for.
    self->RetryTime = 0;
    DropRequest(self);
    return 1;
}

int64_t OnResume(void* user, const char*, const char*, const char*, Dictionary*) {
    DownloadTask* self = Self(user);
    if (!self->Running || !Has(self, DOWNLOAD_FLAG_PAUSED)) return 1;
    Set(self, DOWNLOAD_FLAG_PAUSED, false);
    self->RetryTime = 0;
    ResetFlags(self);
    Task_ClearErrors(Owner(self));
    SendRequest(self);
    return 1;
}

int64_t OnSkip(void* user, const char*, const char*, const char*, Dictionary*) {
    DownloadTask* self = Self(user);
    if (!self->Running) return 1;
    Set(self, DOWNLOAD_FLAG_SKIPPED, true);
    Task_ClearErrors(Owner(self));
    DownloadTask_UpdateStatus(self, true);
    self->Running = 0;
    StopTicking(self);
    DropRequest(self);
    return TaskBase_Complete(&self->Base, nullptr);
}

int64_t OnStatus(void* user, const char*, const char*, const char*, Dictionary* info) {
    DownloadTask* self = Self(user);
    if (info) Task_SetStatusWithDictionary(Owner(self), info);
    return 1;
}

int64_t OnComplete(void* user, const char*, const char*, const char*, Dictionary*) {
    DownloadTask* self = Self(user);
    self->Running = 0;
    self->RetryTime = 0;
    StopTicking(self);
    DropRequest(self);
    // What did not become the output (cancelled, failed, skipped) stays only under the partial
    // name, and only where a later run may resume it.
    if (self->PartPath[0] && (self->PartIsOwnName || !self->AllowResume || FileSize(self->PartPath) == 0) &&
        Path_Exists(self->PartPath)) {
        PlatformErrorCode error = 0;
        Path_EraseFile(self->PartPath, 1, &error);
    }
    return 1;
}

struct OwnObserver {
    const char* Name;
    NotificationObserverCallback Callback;
};
constexpr OwnObserver kOwnObservers[] = {
    {"Pause", OnPause}, {"Resume", OnResume}, {"Skip", OnSkip}, {"Status", OnStatus}};

int64_t Init(TaskBase* base) {
    DownloadTask* self = reinterpret_cast<DownloadTask*>(base);
    if (!MeterRW_Create(&self->Meter)) return 0;
    MeterRW* remote = nullptr;
    if (WorkflowApp_GetRemoteMeterRWHandle(&remote) && remote) MeterRW_SetParentHandle(self->Meter, remote);
    Dictionary_Create(&self->Scratch);
    Dictionary_Create(&self->Published);
    DownloadTask_WatchPublished(self);
    self->Flags = DOWNLOAD_FLAG_RANGE_SUPPORTED;
    TaskBase_AddTaskObserver(base, "Task", "Pause", OnPause);
    TaskBase_AddTaskObserver(base, "Task", "Resume", OnResume);
    TaskBase_AddTaskObserver(base, "Task", "Skip", OnSkip);
    for (const OwnObserver& observer : kOwnObservers)
        NotificationCenter_AddInstanceObserver("Download", observer.Name, base->Header.InstanceId, base,
                                               observer.Callback);
    return 1;
}

void Free(TaskBase* base) {
    DownloadTask* self = reinterpret_cast<DownloadTask*>(base);
    for (const OwnObserver& observer : kOwnObservers)
        NotificationCenter_RemoveInstanceObserver("Download", observer.Name, base->Header.InstanceId, base,
                                                  observer.Callback);
    DropRequest(self);
    if (self->Meter) MeterRW_Release(&self->Meter);
    if (self->Scratch) Dictionary_Release(&self->Scratch);
    if (self->Published) Dictionary_Release(&self->Published);
}

const TaskBaseType kDownloadType = {.ClassId = DOWNLOADTASK_CLASS_ID,
                                    .Size = sizeof(DownloadTask),
                                    .OnStart = OnStart,
                                    .OnComplete = OnComplete,
                                    .Init = Init,
                                    .Free = Free};

int64_t Download_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kDownloadType);
}

} // namespace

const TaskInterface Download_Interface = {"Download", Download_Create, TaskBase_AddRef, TaskBase_Release};

int64_t DownloadTasks_Register() {
    TaskType_RegisterDefault(&Download_Interface);
    return 1;
}

double Download_RetryDelay(int32_t count) {
    if (count <= 0) return 0;
    const int32_t step = count < 9 ? count - 1 : 8;
    return 15.0 * (double)(1u << step);
}
