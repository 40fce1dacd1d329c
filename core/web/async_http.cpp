// The document loader: one request at a time through the process-wide request handler, the body
// checked and parsed on the I/O worker, completions posted to the owner's queue, and the document
// written back to a file that is replaced whole.
#include "core/web/async_http.h"

#include "core/runtime/class_family.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "core/certs/cert_store.h"
#include "core/certs/jws.h"
#include "core/crypto/hash.h"
#include "core/formats/json.h"
#include "core/formats/url.h"
#include "core/formats/xml.h"
#include "core/formats/yaml.h"
#include "core/linux/platform_document.h"
#include "core/linux/platform_error.h"
#include "core/linux/platform_output_file.h"
#include "core/platform/async_file.h"
#include "core/runtime/callback.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/meter_rw.h"
#include "core/runtime/string_print.h"
#include "core/runtime/string.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/async_http_internal.h"
#include "core/web/web_get.h"
#include "core/web/web_get_cache.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_header.h"
#include "core/web/web_get_pool.h"
#include "core/web/web_get_request.h"

struct AsyncHTTP {
    Class Header;
    ClassPrint Print;
    CallbackBase ErrorCallback;
    CallbackBase WorkerBuildCallback;
    CallbackBase RequestBuildCallback;
    // Guards the dictionary, the parsers, the hash and the digest: a build on the I/O worker uses
    // them while the owner may reset or reconfigure the loader.
    CriticalSection* Lock;
    const HashInterface* Hash;
    EventQueue* Queue;
    Dictionary* Dict;
    JSON* Json;
    XML* Xml;
    YAML* Yaml;
    WebGetRequest* Request;
    AsyncFile* File;
    MeterRW* Meter;
    CertStoreInterface* TrustStore;
    WebGetCacheStore* CacheStore;
    std::atomic<uint32_t> Busy;
    // 1 while the request is out with the handler; the loader then holds a reference on itself,
    // dropped by whoever clears the flag (the Done callback or a reset).
    std::atomic<uint32_t> InFlight;
    // Bumped by every reset: completions of work started before it are dropped.
    std::atomic<uint32_t> Generation;
    // 1 once the current load's whole body is in and handed to its build (set on the main thread);
    // cleared by the next load or a reset (AsyncHTTP_IsBodyIn).
    std::atomic<uint32_t> BodyIn;
    // The file that a save is writing beside its target; taken by whoever ends the save.
    std::atomic<void*> Replacement;
    // A held save (AsyncHTTP_SaveHeld): its rename waits for AsyncHTTP_SaveCommit. Set before its
    // write is queued; SaveWritten once the write ended whole (on the loader's queue).
    std::atomic<uint32_t> SaveHeld;
    uint32_t SaveWritten;
    int32_t LimitSize;
    uint32_t Code;
    uint32_t CodeEx;
    int32_t ErrorCount;
    uint32_t LoadComplete;
    uint32_t SaveComplete;
    double ResumeTime;
    uint32_t SignatureRequired;
    uint32_t Parser;
    uint32_t KeepBody;
    uint32_t ReportError;
    uint8_t* Kept;
    uint32_t KeptCapacity;
    uint32_t KeptLength;
    uint8_t* SaveBuffer;
    uint32_t SaveSize;
    uint32_t SaveLength;
    char ContentType[ASYNCHTTP_CONTENT_TYPE_SIZE];
    char Digest[ASYNCHTTP_DIGEST_SIZE];
    // The parser's first line about the last body it refused ("Unexpected node [@ 7:10]").
    char ParseMessage[ASYNCHTTP_PARSE_MESSAGE_SIZE];
};

namespace {

// The I/O job of one fetched body; it owns the body and whatever it needs of the response.
struct BuildJob {
    IOWorkerItem Item;
    uint8_t* Body;
    uint32_t Capacity;
    uint32_t Length;
    uint32_t Generation;
    uint32_t SignatureRequired;
    uint32_t Keep;
    char ContentType[ASYNCHTTP_CONTENT_TYPE_SIZE];
};

struct UrlPayload {
    char* Url;
    int32_t Size;
};

// A load's result; a kept body rides along so that only the owner's thread installs it.
struct CompletePayload {
    uint32_t Code;
    uint32_t CodeEx;
    uint32_t Generation;
    uint32_t KeptCapacity;
    uint32_t KeptLength;
    uint8_t* Kept;
};

std::atomic<AsyncHTTPRequestAddFunc> g_requestAdd{WebGetPool_RequestAdd};
std::atomic<AsyncHTTPRequestRemoveFunc> g_requestRemove{WebGetPool_RequestRemove};

void PreparePrint(AsyncHTTP* loader) {
    ClassPrint_Prepare(&loader->Print, loader, "AsyncHTTP", AsyncHTTP_PrintInternal);
}

int64_t DeleteHandle(void** handle) {
    return AsyncHTTP_Delete(reinterpret_cast<AsyncHTTP**>(handle));
}

void AssertMainThread() {
    if (Thread_GetMainId() != Thread_GetCurrentId())
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (Thread_GetMainId() == Thread_GetCurrentId())\nInvalid call context");
}

void FreeBody(uint8_t** body, uint32_t* capacity, uint32_t* length) {
    if (*body) Memory_Free(*body, *capacity);
    *body = nullptr;
    *capacity = 0;
    if (length) *length = 0;
}

bool ClaimBusy(AsyncHTTP* loader) {
    uint32_t idle = 0;
    return loader->Busy.compare_exchange_strong(idle, 1);
}

// A parser's lines still reach the log; the first one of a parse is kept, so that a refused
// document can be reported with the place the parser names.
int64_t CaptureParserLine(void* user, const char* format, ...) {
    char text[ASYNCHTTP_PARSE_MESSAGE_SIZE * 2];
    va_list args;
    va_start(args, format);
    String_VPrint(text, (int32_t)sizeof(text), format, args);
    va_end(args);
    auto* loader = static_cast<AsyncHTTP*>(user);
    if (loader && !loader->ParseMessage[0]) {
        const char* message = strstr(text, " - ");
        message = message ? message + 3 : text;
        String_CopyLength(loader->ParseMessage, message, (int32_t)sizeof(loader->ParseMessage));
        size_t length = strlen(loader->ParseMessage);
        while (length > 0 && (loader->ParseMessage[length - 1] == '\n' || loader->ParseMessage[length - 1] == '\r'))
            loader->ParseMessage[--length] = 0;
    }
    return ClassPrint_DefaultCallback(nullptr, "%s", text);
}

// Makes the parser of the kind (bound to the dictionary) when it is missing. Under the lock.
void EnsureParser(AsyncHTTP* loader, uint32_t kind) {
    if (kind == ASYNCHTTP_PARSER_JSON && !loader->Json) {
        JSON_Create(&loader->Json);
        JSON_SetDictionaryHandle(loader->Json, loader->Dict);
        JSON_SetPrintCallback(loader->Json, loader, CaptureParserLine);
    } else if (kind == ASYNCHTTP_PARSER_XML && !loader->Xml) {
        XML_Create(&loader->Xml);
        XML_SetDictionaryHandle(loader->Xml, loader->Dict);
        XML_SetPrintCallback(loader->Xml, loader, CaptureParserLine);
    } else if (kind == ASYNCHTTP_PARSER_YAML && !loader->Yaml) {
        YAML_Create(&loader->Yaml);
        YAML_SetDictionaryHandle(loader->Yaml, loader->Dict);
        YAML_SetPrintCallback(loader->Yaml, loader, CaptureParserLine);
    }
}

void DeleteParsers(AsyncHTTP* loader) {
    if (loader->Json) JSON_Release(&loader->Json);
    if (loader->Xml) XML_Release(&loader->Xml);
    if (loader->Yaml) YAML_Release(&loader->Yaml);
}

// Empties the dictionary and every parser that exists. Under the lock.
void ResetDocument(AsyncHTTP* loader) {
    if (loader->Json) JSON_Reset(loader->Json);
    if (loader->Xml) XML_Reset(loader->Xml);
    if (loader->Yaml) YAML_Reset(loader->Yaml);
    Dictionary_Reset(loader->Dict);
}

// The media type of a Content-Type value, its parameters (charset and the like) left out.
void MediaType(const char* value, char* out, int32_t capacity) {
    String_CopyUntilCharLength(out, value, ";", capacity);
    String_TrimWhitespace(out);
}

uint32_t FormatOf(uint32_t kind, const char* contentType) {
    if (kind != ASYNCHTTP_PARSER_AUTO) return kind;
    char media[ASYNCHTTP_CONTENT_TYPE_SIZE];
    MediaType(contentType, media, (int32_t)sizeof(media));
    if (String_CompareWithoutCase(media, "text/x-yaml") || String_CompareWithoutCase(media, "text/vnd.yaml"))
        return ASYNCHTTP_PARSER_YAML;
    if (String_CompareWithoutCase(media, "application/json")) return ASYNCHTTP_PARSER_JSON;
    if (String_CompareWithoutCase(media, "application/xml")) return ASYNCHTTP_PARSER_XML;
    return ASYNCHTTP_PARSER_NONE;
}

// The JSON branch of a build. Under the lock.
void DecodeJSON(AsyncHTTP* loader, const uint8_t* body, uint32_t length, uint32_t signatureRequired,
                uint32_t* code, uint32_t* codeEx) {
    // Without a store nothing can vouch for a signed document: a failure, not a stopped process.
    if (!loader->TrustStore) {
        *code = WEBGET_ERROR_JSON;
        *codeEx = JSON_ERROR_AUTHENTICATE;
        return;
    }
    const bool needed = loader->Digest[0] == 0 && signatureRequired;
    // A body in JWS form is always verified: its signature is only skipped by loading it as
    // plain JSON, which a token never parses as.
    const char* text = reinterpret_cast<const char*>(body);
    if (JWS_Decode(loader->Json, nullptr, loader->TrustStore, text, length, 1)) return;
    uint32_t error = 0;
    JSON_GetLastError(loader->Json, &error);
    if (needed || error == JSON_ERROR_AUTHENTICATE) {
        *code = WEBGET_ERROR_JSON;
        *codeEx = error;
        return;
    }
    JSON_Reset(loader->Json);
    if (JSON_LoadBuffer(loader->Json, body, length)) return;
    JSON_GetLastError(loader->Json, &error);
    *code = WEBGET_ERROR_JSON;
    *codeEx = error;
}

// Digest check and parse of one body. Under the lock.
void Decode(AsyncHTTP* loader, const uint8_t* body, uint32_t length, const char* contentType,
            uint32_t signatureRequired, uint32_t* code, uint32_t* codeEx) {
    *code = 0;
    *codeEx = 0;
    loader->ParseMessage[0] = 0;
    if (loader->Hash && loader->Digest[0]) {
        char text[ASYNCHTTP_DIGEST_SIZE] = {};
        Hash_QuickString(loader->Hash, body, (int32_t)length, 0, text, (int32_t)sizeof(text));
        if (!String_CompareWithoutCase(text, loader->Digest)) {
            *code = WEBGET_ERROR_HASH_FAILURE;
            return;
        }
        AsyncHTTP_VerboseLog(loader, 0, "Digest verification successful\n");
    }
    const uint32_t format = FormatOf(loader->Parser, contentType);
    EnsureParser(loader, format);
    uint32_t error = 0;
    switch (format) {
    case ASYNCHTTP_PARSER_JSON:
        DecodeJSON(loader, body, length, signatureRequired, code, codeEx);
        break;
    case ASYNCHTTP_PARSER_XML:
        if (!XML_LoadBuffer(loader->Xml, body, length)) {
            XML_GetLastError(loader->Xml, &error);
            *code = WEBGET_ERROR_XML;
            *codeEx = error;
        }
        break;
    case ASYNCHTTP_PARSER_YAML:
        if (!YAML_LoadBuffer(loader->Yaml, body, length)) {
            YAML_GetLastError(loader->Yaml, &error);
            *code = WEBGET_ERROR_YAML;
            *codeEx = error;
        }
        break;
    default:
        return; // nothing to parse: success with an empty dictionary
    }
    if (*code) return;
    void* user = nullptr;
    AsyncHTTPWorkerBuildFunc build = nullptr;
    if (CallbackBase_Get(&loader->WorkerBuildCallback, &user, &build) && !build(loader, user, code, codeEx))
        ResetDocument(loader);
}

// The error policy: 5 for a final result, else the callback's answer with the count raised.
int64_t HandleError(AsyncHTTP* loader, int32_t operation, uint32_t code, uint32_t codeEx) {
    void* user = nullptr;
    AsyncHTTPErrorFunc policy = nullptr;
    if (code && CallbackBase_Get(&loader->ErrorCallback, &user, &policy)) {
        double resume = loader->ResumeTime;
        const int64_t answer = policy(loader, user, loader->ErrorCount, operation, code, codeEx, &resume);
        if (answer == ASYNCHTTP_POLICY_FINAL) return answer;
        loader->ErrorCount++;
        loader->ResumeTime = resume;
        return answer;
    }
    if (loader->ErrorCount >= 1) {
        loader->ErrorCount = 0;
        loader->ResumeTime = Time_GetCurrent();
    }
    return ASYNCHTTP_POLICY_FINAL;
}

// ---- Load completion (the loader's queue) -------------------------------------------------------

void LoadCompleteCleanup(void*, void* payload) {
    auto* p = static_cast<CompletePayload*>(payload);
    FreeBody(&p->Kept, &p->KeptCapacity, &p->KeptLength);
}

void LoadCompleteEvent(void* instance, void* payload) {
    auto* loader = static_cast<AsyncHTTP*>(instance);
    auto* p = static_cast<CompletePayload*>(payload);
    if (p->Generation != loader->Generation.load()) return; // a reset came in between
    if (p->Code) {
        CriticalSectionGuard guard(loader->Lock);
        ResetDocument(loader);
    }
    // The bytes kept are this load's or none: a load that keeps nothing must not leave an earlier
    // load's body to be saved in place of the document it loaded.
    FreeBody(&loader->Kept, &loader->KeptCapacity, &loader->KeptLength);
    if (p->Kept) {
        loader->Kept = p->Kept;
        loader->KeptCapacity = p->KeptCapacity;
        loader->KeptLength = p->KeptLength;
        p->Kept = nullptr;
    }
    const int64_t answer = HandleError(loader, ASYNCHTTP_OPERATION_LOAD, p->Code, p->CodeEx);
    loader->Code = p->Code;
    loader->CodeEx = p->CodeEx;
    if (answer == ASYNCHTTP_POLICY_FINAL) loader->LoadComplete = 1;
    loader->Busy.store(0);
}

void PostLoadComplete(AsyncHTTP* loader, uint32_t code, uint32_t codeEx, uint32_t generation, BuildJob* keep) {
    CompletePayload payload{code, codeEx, generation, 0, 0, nullptr};
    if (keep) {
        payload.Kept = keep->Body;
        payload.KeptCapacity = keep->Capacity;
        payload.KeptLength = keep->Length;
        keep->Body = nullptr;
    }
    EventQueue_AddComplexEvent(loader->Queue, loader, &payload, sizeof(payload), LoadCompleteEvent,
                               LoadCompleteCleanup);
}

// ---- The build (I/O worker) -------------------------------------------------------------------

void ThreadBuild(void* object, IOWorkerItem* item) {
    auto* loader = static_cast<AsyncHTTP*>(object);
    auto* job = reinterpret_cast<BuildJob*>(item);
    uint32_t code = 0;
    uint32_t codeEx = 0;
    {
        CriticalSectionGuard guard(loader->Lock);
        if (job->Generation == loader->Generation.load()) {
            static const uint8_t kEmpty[1] = {0};
            const uint8_t* body = job->Body ? job->Body : kEmpty;
            Decode(loader, body, job->Length, job->ContentType, job->SignatureRequired, &code, &codeEx);
        }
    }
    PostLoadComplete(loader, code, codeEx, job->Generation, job->Keep && job->Body ? job : nullptr);
    FreeBody(&job->Body, &job->Capacity, &job->Length);
    Memory_Free(job, sizeof(BuildJob));
    AsyncHTTP_Release(&loader);
}

// ---- The request (main thread) ----------------------------------------------------------------

// Takes the in-flight mark; true for the one caller that then drops the loader's own reference.
bool TakeInFlight(AsyncHTTP* loader) {
    return loader->InFlight.exchange(0) == 1;
}

// Puts the meter of the request's connection under the loader's.
void AttachMeter(AsyncHTTP* loader, WebGetRequest* request) {
    void* connection = nullptr;
    MeterRW* meter = nullptr;
    if (WebGetRequest_GetConnectionHandle(request, &connection) && connection &&
        WebGetConnection_GetMeterRWHandle(static_cast<WebGetConnection*>(connection), &meter) && meter)
        MeterRW_SetParentHandle(meter, loader->Meter);
}

int64_t RequestStart(WebGetRequest* request, void* user) {
    auto* loader = static_cast<AsyncHTTP*>(user);
    if (loader->InFlight.load() == 1) AttachMeter(loader, request);
    return 1;
}

int64_t RequestHeaderDone(WebGetRequest* request, void* user) {
    auto* loader = static_cast<AsyncHTTP*>(user);
    if (loader->InFlight.load() != 1) return 1;
    // A connection meters through its socket, and it opens a new socket for each connect, after
    // the Start callback: attached again here, the body at least counts into the loader's meter.
    AttachMeter(loader, request);
    char* block = nullptr;
    int32_t capacity = 0;
    WebGetRequest_GetResponseHeader(request, &block, &capacity);
    loader->ContentType[0] = 0;
    if (block) WebGet_HeaderGetByName(block, "Content-Type", loader->ContentType, ASYNCHTTP_CONTENT_TYPE_SIZE);
    int32_t status = 0;
    WebGetRequest_GetHTTPCode(request, &status);
    if (status >= 200 && status <= 299) return 1;
    return WebGetRequest_SetLastError(request, status, 0);
}

void RequestResetEvent(void* instance, void*) {
    auto* loader = static_cast<AsyncHTTP*>(instance);
    WebGetRequest* request = loader->Request;
    if (!request) return;
    loader->Request = nullptr;
    WebGetRequest_SetStartCallback(request, nullptr, nullptr, nullptr);
    WebGetRequest_SetHeaderDoneCallbackDefault(request);
    WebGetRequest_SetDoneCallbackDefault(request);
    WebGetRequest_Reset(request);
    WebGetRequest_Clean(request);
    WebGetRequest_Release(&request);
}

// Nothing to do: the event only wakes the owner's thread.
void BodyInEvent(void*, void*) {}

int64_t RequestDone(WebGetRequest* request, void* user) {
    AssertMainThread();
    auto* loader = static_cast<AsyncHTTP*>(user);
    if (!TakeInFlight(loader)) return 1; // a reset already let this load go
    int32_t code = 0;
    int32_t codeEx = 0;
    int32_t status = 0;
    WebGetRequest_GetLastError(request, &code, &codeEx);
    WebGetRequest_GetHTTPCode(request, &status);
    const uint32_t generation = loader->Generation.load();
    if (code == 0 && status == 200) {
        auto* job = static_cast<BuildJob*>(Memory_AllocZero(sizeof(BuildJob)));
        job->Item.Function = ThreadBuild;
        WebGetRequest_MoveBuffer(request, &job->Body, &job->Capacity, &job->Length);
        job->Generation = generation;
        job->SignatureRequired = loader->SignatureRequired;
        job->Keep = loader->KeepBody;
        String_CopyLength(job->ContentType, loader->ContentType, (int32_t)sizeof(job->ContentType));
        EventQueue_Add(nullptr, loader, nullptr, 0, RequestResetEvent);
        AsyncHTTP_AddRef(loader);
        loader->BodyIn.store(1);
        // Its owner may act on the bytes being in before their parse ends (AsyncHTTP_IsBodyIn):
        // its thread is woken for that rather than left to the end of its wait.
        if (loader->Queue) EventQueue_Add(loader->Queue, loader, nullptr, 0, BodyInEvent);
        IOWorker_Post(nullptr, loader, &job->Item);
    } else {
        if (code == 0) {
            // 204, 206 and the like carry no document to parse; a request that ended without
            // any answer at all is reported as incomplete rather than left hanging.
            code = status != 0 ? status : WEBGET_ERROR_REQUEST_INCOMPLETE;
            codeEx = 0;
        }
        PostLoadComplete(loader, (uint32_t)code, (uint32_t)codeEx, generation, nullptr);
    }
    AsyncHTTP_Release(&loader);
    return 1;
}

void RequestAddCleanup(void*, void* payload) {
    auto* p = static_cast<UrlPayload*>(payload);
    if (p->Url) Memory_Free(p->Url, p->Size);
    p->Url = nullptr;
}

void RequestAddEvent(void* instance, void* payload) {
    AssertMainThread();
    auto* loader = static_cast<AsyncHTTP*>(instance);
    auto* p = static_cast<UrlPayload*>(payload);
    if (!loader->Request) {
        WebGetRequest_Create(&loader->Request);
        WebGetRequest_SetHeaderDoneCallback(loader->Request, nullptr, loader, RequestHeaderDone);
        WebGetRequest_SetDoneCallback(loader->Request, nullptr, loader, RequestDone);
        WebGetRequest_SetStartCallback(loader->Request, nullptr, loader, RequestStart);
    }
    WebGetRequest* request = loader->Request;
    WebGetRequest_Reset(request);
    WebGetRequest_HeaderReset(request);
    WebGetRequest_SetLimitBodySize(request, loader->LimitSize > 0 ? (uint32_t)loader->LimitSize : 0);
    WebGetRequest_SetURL(request, p->Url);
    WebGetRequest_SetCacheStoreHandle(request, loader->CacheStore);
    WebGetRequest_SetReportError(request, loader->ReportError);
    loader->ContentType[0] = 0;
    void* user = nullptr;
    AsyncHTTPRequestBuildFunc build = nullptr;
    if (CallbackBase_Get(&loader->RequestBuildCallback, &user, &build)) build(loader, user, request);
    AsyncHTTP_AddRef(loader);
    loader->InFlight.store(1);
    const AsyncHTTPRequestAddFunc add = g_requestAdd.load();
    if (add(request)) return;
    if (!TakeInFlight(loader)) return; // the handler finished it after all
    PostLoadComplete(loader, WEBGET_ERROR_VALIDATION, 0, loader->Generation.load(), nullptr);
    AsyncHTTP_Release(&loader);
}

// ---- Save -------------------------------------------------------------------------------------

// What every end of a save lets go: the file, the bytes, the hold.
void CloseSave(AsyncHTTP* loader) {
    if (loader->File) AsyncFile_Close(loader->File);
    {
        // A queue flushed on another thread may end the save while its digest is still taken
        // (AsyncHTTP_Save): the bytes go, and the save is said complete, once it is.
        CriticalSectionGuard guard(loader->Lock);
        FreeBody(&loader->SaveBuffer, &loader->SaveSize, &loader->SaveLength);
    }
    loader->SaveHeld.store(0);
    loader->SaveWritten = 0;
}

void SaveFinish(AsyncHTTP* loader, uint32_t code, uint32_t codeEx) {
    CloseSave(loader);
    HandleError(loader, ASYNCHTTP_OPERATION_SAVE, code, codeEx);
    loader->Code = code;
    loader->CodeEx = codeEx;
    if (code == 0) loader->SaveComplete = 1;
    loader->Busy.store(0);
}

// Ends a held save that will not be renamed: its new file is gone already (or goes here), the
// target stays, and no error is reported; the loader is idle again.
void SaveDrop(AsyncHTTP* loader) {
    CloseSave(loader);
    if (void* replacement = loader->Replacement.exchange(nullptr)) Platform_DocumentReplaceAbort(&replacement);
    loader->Busy.store(0);
}

// Ends the running save's claim on its new file: a later end of its write finds another
// generation. Under the lock, so that an end of that write either took the file before or takes
// nothing (FileWriteCallback). Returns the new file, for the caller to let go.
void* DisownSave(AsyncHTTP* loader) {
    CriticalSectionGuard guard(loader->Lock);
    loader->Generation.fetch_add(1);
    return loader->Replacement.exchange(nullptr);
}

// The end of a held save's write: written whole, it waits for the commit; a write that failed
// drops the save unreported (the owner's own save then meets and reports the fault).
void SaveWrittenEvent(void* instance, void* payload) {
    auto* loader = static_cast<AsyncHTTP*>(instance);
    auto* p = static_cast<CompletePayload*>(payload);
    if (p->Generation != loader->Generation.load() || !loader->SaveHeld.load()) return;
    if (p->Code == 0) loader->SaveWritten = 1;
    else SaveDrop(loader);
}

void SaveCompleteEvent(void* instance, void* payload) {
    auto* loader = static_cast<AsyncHTTP*>(instance);
    auto* p = static_cast<CompletePayload*>(payload);
    if (p->Generation != loader->Generation.load()) return;
    SaveFinish(loader, p->Code, p->CodeEx);
}

// One save's write, with the generation it began in: the end of a write the loader no longer waits
// for (a reset or an abort came in between, perhaps a new save since) touches nothing of it.
struct SaveWrite {
    AsyncHTTP* Loader;
    uint32_t Generation;
};

// The file queue: the new file replaces the old one only when it was written whole.
int64_t FileWriteCallback(AsyncFile*, void* user, uint64_t, void*, uint32_t transferred, int32_t error) {
    auto* write = static_cast<SaveWrite*>(user);
    AsyncHTTP* loader = write->Loader;
    const uint32_t generation = write->Generation;
    Memory_Free(write, sizeof(SaveWrite));
    uint32_t code = 0;
    uint32_t codeEx = 0;
    bool current = false, held = false;
    void* replacement = nullptr;
    {
        // The generation is judged and the new file taken in one step against a reset or an
        // abort (DisownSave): a save begun since never has its file taken here.
        CriticalSectionGuard guard(loader->Lock);
        current = generation == loader->Generation.load();
        if (current && (error != 0 || transferred != loader->SaveLength)) {
            code = WEBGET_ERROR_OS;
            codeEx = (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + (error ? error : EIO));
        }
        held = current && loader->SaveHeld.load();
        // Written whole, a held save's new file waits, not yet named as the target, for the
        // owner's commit; cut short, it goes.
        if (current && (!held || code != 0)) replacement = loader->Replacement.exchange(nullptr);
    }
    if (!current) {
        AsyncHTTP_Release(&loader);
        return 1;
    }
    if (held) {
        if (replacement) Platform_DocumentReplaceAbort(&replacement);
        CompletePayload payload{code, codeEx, generation, 0, 0, nullptr};
        EventQueue_Add(loader->Queue, loader, &payload, sizeof(payload), SaveWrittenEvent);
        AsyncHTTP_Release(&loader);
        return 1;
    }
    if (replacement && code == 0) {
        if (!Platform_DocumentReplaceCommit(&replacement)) {
            code = WEBGET_ERROR_OS;
            codeEx = (uint32_t)Platform_GetLastError();
        }
    } else if (replacement) {
        Platform_DocumentReplaceAbort(&replacement);
    }
    CompletePayload payload{code, codeEx, generation, 0, 0, nullptr};
    EventQueue_Add(loader->Queue, loader, &payload, sizeof(payload), SaveCompleteEvent);
    AsyncHTTP_Release(&loader);
    return 1;
}

// Serialises the dictionary with the current parser into the save buffer; the failure pair or
// (0, 0). Under the lock.
void Serialise(AsyncHTTP* loader, uint32_t* code, uint32_t* codeEx) {
    *code = 0;
    *codeEx = 0;
    FreeBody(&loader->SaveBuffer, &loader->SaveSize, &loader->SaveLength);
    const uint32_t kind = loader->Parser;
    EnsureParser(loader, kind);
    uint32_t estimate = 0;
    if (kind == ASYNCHTTP_PARSER_YAML)
        YAML_SaveBufferEstimate(loader->Yaml, &estimate);
    else if (kind == ASYNCHTTP_PARSER_XML)
        XML_SaveBufferEstimate(loader->Xml, &estimate);
    else if (kind == ASYNCHTTP_PARSER_JSON)
        JSON_SaveBufferEstimate(loader->Json, &estimate);
    if (loader->LimitSize >= 1 && estimate > (uint32_t)loader->LimitSize) {
        *code = WEBGET_ERROR_SIZE_LIMIT;
        return;
    }
    if (estimate == 0 || estimate > 0x7fffffffu) {
        *code = estimate == 0 ? WEBGET_ERROR_UNDERFLOW : WEBGET_ERROR_SIZE_LIMIT;
        return;
    }
    loader->SaveBuffer = static_cast<uint8_t*>(Memory_Alloc(estimate));
    loader->SaveSize = estimate;
    uint32_t length = 0;
    int64_t ok = 0;
    uint32_t error = 0;
    if (kind == ASYNCHTTP_PARSER_YAML) {
        ok = YAML_SaveBuffer(loader->Yaml, loader->SaveBuffer, estimate, &length);
        if (!ok) YAML_GetLastError(loader->Yaml, &error);
        *code = ok ? 0 : WEBGET_ERROR_YAML;
    } else if (kind == ASYNCHTTP_PARSER_XML) {
        ok = XML_SaveBuffer(loader->Xml, loader->SaveBuffer, estimate, &length);
        if (!ok) XML_GetLastError(loader->Xml, &error);
        *code = ok ? 0 : WEBGET_ERROR_XML;
    } else {
        ok = JSON_SaveBuffer(loader->Json, loader->SaveBuffer, estimate, &length);
        if (!ok) JSON_GetLastError(loader->Json, &error);
        *code = ok ? 0 : WEBGET_ERROR_JSON;
    }
    // A writer that needs more than its own estimate is refused rather than trusted.
    if (!ok || length > estimate) {
        if (ok) *code = WEBGET_ERROR_SIZE_LIMIT;
        *codeEx = error;
        FreeBody(&loader->SaveBuffer, &loader->SaveSize, &loader->SaveLength);
        return;
    }
    loader->SaveLength = length;
}

// ---- Reset ------------------------------------------------------------------------------------

void ResetInternal(AsyncHTTP* loader) {
    void* replacement = DisownSave(loader);
    loader->BodyIn.store(0);
    // Queued events first: once they are disarmed none of them can touch the request below.
    EventQueue_RemoveInstance(loader->Queue, loader);
    if (loader->Queue) EventQueue_RemoveInstance(nullptr, loader);
    if (WebGetRequest* request = loader->Request) {
        loader->Request = nullptr;
        WebGetRequest_SetFillBodyCallback(request, nullptr, nullptr, nullptr);
        WebGetRequest_SetHeaderDoneCallbackDefault(request);
        WebGetRequest_SetDoneCallbackDefault(request);
        WebGetRequest_SetStartCallback(request, nullptr, nullptr, nullptr);
        WebGetRequest_Release(&request);
    }
    if (loader->File) AsyncFile_Close(loader->File);
    if (replacement) Platform_DocumentReplaceAbort(&replacement);
    loader->SaveHeld.store(0);
    loader->SaveWritten = 0;
    {
        CriticalSectionGuard guard(loader->Lock);
        ResetDocument(loader);
        loader->Hash = nullptr;
        loader->Digest[0] = 0;
    }
    loader->LoadComplete = 0;
    loader->SaveComplete = 0;
    loader->Code = WEBGET_ERROR_REQUEST_INCOMPLETE;
    loader->CodeEx = 0;
    FreeBody(&loader->SaveBuffer, &loader->SaveSize, &loader->SaveLength);
    FreeBody(&loader->Kept, &loader->KeptCapacity, &loader->KeptLength);
    loader->Busy.store(0);
}

} // namespace

// ---- Life cycle --------------------------------------------------------------------------------

CLASS_BASICS(AsyncHTTP, AsyncHTTP, ASYNCHTTP_CLASS_ID)
CLASS_PRINT_FAMILY(AsyncHTTP, AsyncHTTP, ASYNCHTTP_CLASS_ID, PreparePrint)

int64_t AsyncHTTP_PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

int64_t AsyncHTTP_Create(AsyncHTTP** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    void* block = Memory_AllocZero(sizeof(AsyncHTTP));
    auto* loader = new (block) AsyncHTTP();
    loader->Header.ClassId = ASYNCHTTP_CLASS_ID;
    loader->Header.RefCount = 1;
    loader->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(loader);
    CriticalSection_Create(&loader->Lock);
    Dictionary_Create(&loader->Dict);
    Dictionary_SetPoolChunkSize(loader->Dict, 1000);
    AsyncFile_Create(&loader->File);
    AsyncFile_SetRetries(loader->File, 1);
    MeterRW_Create(&loader->Meter);
    MeterRW* fileMeter = nullptr;
    if (AsyncFile_GetMeterRWHandle(loader->File, &fileMeter) && fileMeter)
        MeterRW_SetParentHandle(fileMeter, loader->Meter);
    loader->Code = WEBGET_ERROR_REQUEST_INCOMPLETE;
    loader->ResumeTime = Time_GetCurrent();
    loader->Parser = ASYNCHTTP_PARSER_JSON;
    loader->ReportError = 1;
    *handle = loader;
    return 1;
}

int64_t AsyncHTTP_Delete(AsyncHTTP** handle) {
    ASSERT_POINTER(handle);
    AsyncHTTP* loader = *handle;
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ResetInternal(loader);
    AsyncFile_Release(&loader->File);
    DeleteParsers(loader);
    Dictionary_Release(&loader->Dict);
    MeterRW_Release(&loader->Meter);
    if (loader->TrustStore) CertStoreInterface_Release(&loader->TrustStore);
    if (loader->CacheStore) WebGetCacheStore_Release(&loader->CacheStore);
    if (loader->Queue) EventQueue_Release(&loader->Queue);
    CallbackBase_Reset(&loader->ErrorCallback);
    CallbackBase_Reset(&loader->WorkerBuildCallback);
    CallbackBase_Reset(&loader->RequestBuildCallback);
    CriticalSection_Delete(&loader->Lock);
    loader->Header.ClassId = 0;
    loader->~AsyncHTTP();
    Memory_Free(loader, sizeof(AsyncHTTP));
    *handle = nullptr;
    return 1;
}

// ---- Work --------------------------------------------------------------------------------------

int64_t AsyncHTTP_Load(AsyncHTTP* loader, const char* url, uint32_t signatureRequired) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(url);
    if (!ClaimBusy(loader)) return 0;
    {
        CriticalSectionGuard guard(loader->Lock);
        Dictionary_Reset(loader->Dict);
    }
    uint32_t kind = loader->Parser;
    if (kind == ASYNCHTTP_PARSER_AUTO) {
        char name[WEBGET_REQUEST_FILENAME_SIZE] = {};
        URL_ParseFilename(url, name, (int32_t)sizeof(name));
        const char* dot = strrchr(name, '.');
        if (dot) {
            const char* extension = dot + 1;
            if (String_CompareWithoutCase(extension, "json"))
                kind = ASYNCHTTP_PARSER_JSON;
            else if (String_CompareWithoutCase(extension, "xml"))
                kind = ASYNCHTTP_PARSER_XML;
            else if (String_CompareWithoutCase(extension, "yaml") || String_CompareWithoutCase(extension, "yml"))
                kind = ASYNCHTTP_PARSER_YAML;
        }
    }
    AsyncHTTP_SetParser(loader, kind);
    loader->SignatureRequired = signatureRequired;
    loader->BodyIn.store(0);
    UrlPayload payload;
    payload.Size = (int32_t)strlen(url) + 1;
    payload.Url = static_cast<char*>(Memory_Alloc(payload.Size));
    memcpy(payload.Url, url, (size_t)payload.Size);
    EventQueue_AddComplexEvent(nullptr, loader, &payload, sizeof(payload), RequestAddEvent, RequestAddCleanup);
    return 1;
}

namespace {

int64_t StartSave(AsyncHTTP* loader, const char* path, const char* scratch, bool held) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(path);
    if (!ClaimBusy(loader)) return 0;
    if (!path[0]) {
        SaveFinish(loader, 0, 0);
        return 1;
    }
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
    if (loader->Kept) {
        if (loader->LimitSize >= 1 && (uint32_t)loader->LimitSize < loader->KeptLength) {
            SaveFinish(loader, WEBGET_ERROR_SIZE_LIMIT, 0);
            return 1;
        }
        if (loader->KeptLength == 0) {
            SaveFinish(loader, WEBGET_ERROR_UNDERFLOW, 0);
            return 1;
        }
        bytes = loader->Kept;
        length = loader->KeptLength;
    } else {
        uint32_t code = 0;
        uint32_t codeEx = 0;
        {
            CriticalSectionGuard guard(loader->Lock);
            Serialise(loader, &code, &codeEx);
        }
        if (code) {
            SaveFinish(loader, code, codeEx);
            return 1;
        }
        bytes = loader->SaveBuffer;
        length = loader->SaveLength;
    }
    // The document is written to a new private file beside the target and renamed over it once
    // whole, so that a failed or cut-short write never leaves half a document behind.
    void* replacement = nullptr;
    const int32_t fd = Platform_DocumentReplaceBegin(path, &replacement, scratch);
    if (fd < 0) {
        const PlatformErrorCode error = Platform_GetLastError();
        SaveFinish(loader, WEBGET_ERROR_OS, (uint32_t)(error ? error : PLATFORM_ERROR_ERRNO_BASE + EIO));
        return 1;
    }
    const int32_t writer = Platform_DuplicateDescriptor(fd);
    if (writer < 0 || !AsyncFile_OpenDescriptor(loader->File, writer, path, FILE_WRITE | FILE_TRUNCATE)) {
        const PlatformErrorCode error = Platform_GetLastError();
        Platform_DocumentReplaceAbort(&replacement);
        SaveFinish(loader, WEBGET_ERROR_OS, (uint32_t)(error ? error : PLATFORM_ERROR_ERRNO_BASE + EBADF));
        return 1;
    }
    loader->Code = 0;
    loader->CodeEx = 0;
    loader->SaveLength = length;
    loader->SaveWritten = 0;
    loader->SaveHeld.store(held ? 1 : 0);
    loader->Replacement.store(replacement);
    AsyncHTTP_AddRef(loader);
    // The digest is taken while the worker writes and syncs the same bytes, which only read them.
    // The lock is held from before the write is queued: a save that ends first, its end delivered
    // by a queue flushed on another thread, frees the bytes and says the save complete only after
    // the digest (SaveFinish).
    CriticalSectionGuard guard(loader->Lock);
    auto* write = static_cast<SaveWrite*>(Memory_Alloc(sizeof(SaveWrite)));
    *write = {loader, loader->Generation.load()};
    AsyncFile_Write(loader->File, 0, bytes, length, write, FileWriteCallback);
    if (loader->Hash)
        Hash_QuickString(loader->Hash, bytes, (int32_t)length, 0, loader->Digest, (int32_t)sizeof(loader->Digest));
    return 1;
}

} // namespace

int64_t AsyncHTTP_Save(AsyncHTTP* loader, const char* path, const char* scratch) {
    return StartSave(loader, path, scratch, false);
}

int64_t AsyncHTTP_SaveHeld(AsyncHTTP* loader, const char* path, const char* scratch) {
    ASSERT_POINTER(path);
    // An empty path has no new file to hold: the save completes at once as Save's does.
    return StartSave(loader, path, scratch, path[0] != 0);
}

int64_t AsyncHTTP_IsSaveWritten(AsyncHTTP* loader) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    return loader->SaveHeld.load() && loader->SaveWritten ? 1 : 0;
}

int64_t AsyncHTTP_SaveCommit(AsyncHTTP* loader) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    if (!AsyncHTTP_IsSaveWritten(loader)) return 0;
    uint32_t code = 0, codeEx = 0;
    void* replacement = loader->Replacement.exchange(nullptr);
    if (!replacement) {
        code = WEBGET_ERROR_OS;
        codeEx = PLATFORM_ERROR_ERRNO_BASE + EIO;
    } else if (!Platform_DocumentReplaceCommit(&replacement)) {
        code = WEBGET_ERROR_OS;
        codeEx = (uint32_t)Platform_GetLastError();
    }
    SaveFinish(loader, code, codeEx);
    return 1;
}

int64_t AsyncHTTP_SaveAbort(AsyncHTTP* loader) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    if (!loader->SaveHeld.load()) return 0;
    // The end of its write, queued or still to come, is dropped; the new file goes, the target
    // stays.
    if (void* replacement = DisownSave(loader)) Platform_DocumentReplaceAbort(&replacement);
    SaveDrop(loader);
    return 1;
}

int64_t AsyncHTTP_Reset(AsyncHTTP* loader) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    // A request still out keeps a reference on the loader until its Done callback; taking the
    // mark here lets that reference go now, and the callback then finds nothing to do.
    const bool inFlight = TakeInFlight(loader);
    ResetInternal(loader);
    if (inFlight) AsyncHTTP_Release(&loader);
    return 1;
}

int64_t AsyncHTTP_DecodeBody(AsyncHTTP* loader, const uint8_t* body, uint32_t length, const char* contentType,
                             uint32_t signatureRequired, uint32_t* code, uint32_t* codeEx) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(code);
    ASSERT_POINTER(codeEx);
    static const uint8_t kEmpty[1] = {0};
    CriticalSectionGuard guard(loader->Lock);
    Decode(loader, body ? body : kEmpty, length, contentType ? contentType : "", signatureRequired, code, codeEx);
    return *code == 0;
}

// ---- Settings ----------------------------------------------------------------------------------

int64_t AsyncHTTP_SetParser(AsyncHTTP* loader, uint32_t kind) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    CriticalSectionGuard guard(loader->Lock);
    if (kind != loader->Parser) DeleteParsers(loader);
    loader->Parser = kind;
    // An existing parser is reset (which empties the dictionary); a new one only bound to it.
    if (kind == ASYNCHTTP_PARSER_JSON && loader->Json) JSON_Reset(loader->Json);
    if (kind == ASYNCHTTP_PARSER_XML && loader->Xml) XML_Reset(loader->Xml);
    if (kind == ASYNCHTTP_PARSER_YAML && loader->Yaml) YAML_Reset(loader->Yaml);
    EnsureParser(loader, kind);
    return 1;
}

int64_t AsyncHTTP_GetParser(AsyncHTTP* loader, uint32_t* kind) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(kind);
    *kind = loader->Parser;
    return 1;
}

int64_t AsyncHTTP_GetParserHandle(AsyncHTTP* loader, void** parser) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(parser);
    *parser = nullptr;
    if (loader->Parser == ASYNCHTTP_PARSER_JSON) *parser = loader->Json;
    if (loader->Parser == ASYNCHTTP_PARSER_XML) *parser = loader->Xml;
    if (loader->Parser == ASYNCHTTP_PARSER_YAML) *parser = loader->Yaml;
    return *parser != nullptr;
}

int64_t AsyncHTTP_SetHashAlgorithm(AsyncHTTP* loader, const char* name) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    CriticalSectionGuard guard(loader->Lock);
    if (!name) {
        loader->Hash = nullptr;
        return 1;
    }
    const HashInterface* record = nullptr;
    const int64_t found = Hash_InterfaceFromName(name, &record);
    if (found && record) loader->Hash = record;
    return found;
}

int64_t AsyncHTTP_GetHashAlgorithm(AsyncHTTP* loader, char* buffer, int32_t size) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    CriticalSectionGuard guard(loader->Lock);
    if (!loader->Hash) return 0;
    String_CopyLength(buffer, loader->Hash->Name, size);
    return 1;
}

int64_t AsyncHTTP_SetDigest(AsyncHTTP* loader, const char* hex) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(hex);
    CriticalSectionGuard guard(loader->Lock);
    if (!hex[0]) {
        loader->Digest[0] = 0;
        loader->Hash = nullptr;
        return 1;
    }
    const HashInterface* record = nullptr;
    if (!Hash_InterfaceFromDigestSize((uint32_t)(strlen(hex) / 2), &record) || !record) return 0;
    loader->Hash = record;
    String_CopyLength(loader->Digest, hex, (int32_t)sizeof(loader->Digest));
    return 1;
}

int64_t AsyncHTTP_GetDigest(AsyncHTTP* loader, char* buffer, int32_t size) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(buffer);
    CriticalSectionGuard guard(loader->Lock);
    String_CopyLength(buffer, loader->Digest, size);
    return 1;
}

int64_t AsyncHTTP_SetCertStoreHandle(AsyncHTTP* loader, CertStoreInterface* store) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    CriticalSectionGuard guard(loader->Lock);
    if (loader->TrustStore) CertStoreInterface_Release(&loader->TrustStore);
    if (store) loader->TrustStore = CertStoreInterface_AddRef(store);
    return 1;
}

int64_t AsyncHTTP_SetCacheStoreHandle(AsyncHTTP* loader, WebGetCacheStore* store) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    if (store) WebGetCacheStore_AddRef(store);
    if (loader->CacheStore) WebGetCacheStore_Release(&loader->CacheStore);
    loader->CacheStore = store;
    return 1;
}

int64_t AsyncHTTP_SetEventQueueHandle(AsyncHTTP* loader, EventQueue* queue) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    if (queue) EventQueue_AddRef(queue);
    if (loader->Queue) EventQueue_Release(&loader->Queue);
    loader->Queue = queue;
    return 1;
}

int64_t AsyncHTTP_GetEventQueueHandle(AsyncHTTP* loader, EventQueue** queue) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(queue);
    *queue = loader->Queue;
    return 1;
}

#define ASYNCHTTP_FIELD(Name, Field, Type)                                                     \
    int64_t AsyncHTTP_Set##Name(AsyncHTTP* loader, Type value) {                               \
        CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);                                               \
        loader->Field = value;                                                                 \
        return 1;                                                                              \
    }                                                                                          \
    int64_t AsyncHTTP_Get##Name(AsyncHTTP* loader, Type* value) {                              \
        CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);                                               \
        ASSERT_POINTER(value);                                                                 \
        *value = loader->Field;                                                                \
        return 1;                                                                              \
    }

ASYNCHTTP_FIELD(LimitSize, LimitSize, int32_t)
ASYNCHTTP_FIELD(KeepOriginal, KeepBody, uint32_t)
ASYNCHTTP_FIELD(ReportError, ReportError, uint32_t)
ASYNCHTTP_FIELD(ResumeTime, ResumeTime, double)
ASYNCHTTP_FIELD(ErrorCount, ErrorCount, int32_t)

int64_t AsyncHTTP_SetStringPool(AsyncHTTP* loader, uint32_t value) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    CriticalSectionGuard guard(loader->Lock);
    return Dictionary_SetStringPool(loader->Dict, value);
}

int64_t AsyncHTTP_SetWebRequestHandler(AsyncHTTPRequestAddFunc add, AsyncHTTPRequestRemoveFunc remove) {
    if ((add == nullptr) != (remove == nullptr)) return 0;
    g_requestAdd.store(add ? add : WebGetPool_RequestAdd);
    g_requestRemove.store(remove ? remove : WebGetPool_RequestRemove);
    return 1;
}

// ---- Results -----------------------------------------------------------------------------------

int64_t AsyncHTTP_GetLastError(AsyncHTTP* loader, uint32_t* code, uint32_t* codeEx) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(code);
    ASSERT_POINTER(codeEx);
    *code = loader->Code;
    *codeEx = loader->CodeEx;
    return 1;
}

int64_t AsyncHTTP_GetParseMessage(AsyncHTTP* loader, char* buffer, int32_t capacity) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(buffer);
    if (capacity <= 0) return 0;
    CriticalSectionGuard guard(loader->Lock);
    String_CopyLength(buffer, loader->ParseMessage, capacity);
    return buffer[0] ? 1 : 0;
}

int64_t AsyncHTTP_IsAlive(AsyncHTTP* loader) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    return loader->Busy.load() == 1;
}

int64_t AsyncHTTP_IsOk(AsyncHTTP* loader) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    return loader->Busy.load() == 0 && loader->Code == 0 && loader->CodeEx == 0;
}

int64_t AsyncHTTP_IsLoadComplete(AsyncHTTP* loader) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    return loader->LoadComplete != 0;
}

int64_t AsyncHTTP_IsBodyIn(AsyncHTTP* loader) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    return loader->BodyIn.load();
}

int64_t AsyncHTTP_IsSaveComplete(AsyncHTTP* loader) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    return loader->SaveComplete != 0;
}

int64_t AsyncHTTP_GetDictionaryHandle(AsyncHTTP* loader, Dictionary** dict) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(dict);
    *dict = loader->Dict;
    return 1;
}

int64_t AsyncHTTP_GetJSONHandle(AsyncHTTP* loader, JSON** json) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(json);
    *json = loader->Json;
    return loader->Json != nullptr;
}

int64_t AsyncHTTP_GetOriginal(AsyncHTTP* loader, const uint8_t** buffer, uint32_t* length) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    *buffer = loader->Kept;
    *length = loader->Kept ? loader->KeptLength : 0;
    return loader->Kept != nullptr;
}

int64_t AsyncHTTP_Dump(AsyncHTTP* loader, Dictionary* dict) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(dict);
    Dictionary_SetInt32ByKey(dict, "errorCount", loader->ErrorCount);
    Dictionary_SetInt32ByKey(dict, "errorCode", (int32_t)loader->Code);
    Dictionary_SetInt32ByKey(dict, "errorCodeEx", (int32_t)loader->CodeEx);
    Dictionary_SetFloat64ByKey(dict, "resumeTime", loader->ResumeTime);
    CriticalSectionGuard guard(loader->Lock);
    if (loader->Digest[0]) Dictionary_SetStringByKey(dict, "digest", loader->Digest);
    return 1;
}

// ---- Bandwidth ---------------------------------------------------------------------------------

int64_t AsyncHTTP_GetMeterRWHandle(AsyncHTTP* loader, MeterRW** meter) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    ASSERT_POINTER(meter);
    *meter = loader->Meter;
    return 1;
}

int64_t AsyncHTTP_GetOverallUsage(AsyncHTTP* loader, uint64_t* read, uint64_t* write) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    return MeterRW_GetOverallUsage(loader->Meter, read, write);
}

int64_t AsyncHTTP_GetMaxBandwidth(AsyncHTTP* loader, double* read, double* write) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    return MeterRW_GetMaxBandwidth(loader->Meter, read, write);
}

int64_t AsyncHTTP_GetCurrentBandwidth(AsyncHTTP* loader, double* read, double* write) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    return MeterRW_GetCurrentBandwidth(loader->Meter, read, write);
}

int64_t AsyncHTTP_GetLimitBandwidth(AsyncHTTP* loader, int32_t* read, int32_t* write) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    return MeterRW_GetLimitBandwidth(loader->Meter, read, write);
}

int64_t AsyncHTTP_SetLimitBandwidth(AsyncHTTP* loader, int32_t read, int32_t write) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    return MeterRW_SetLimitBandwidth(loader->Meter, read, write);
}

// ---- Callbacks ---------------------------------------------------------------------------------

int64_t AsyncHTTP_SetRequestBuildCallback(AsyncHTTP* loader, void* user, AsyncHTTPRequestBuildFunc fn) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    return CallbackBase_Set(&loader->RequestBuildCallback, 0, user, fn);
}

int64_t AsyncHTTP_SetWorkerBuildCallback(AsyncHTTP* loader, void* user, AsyncHTTPWorkerBuildFunc fn) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    return CallbackBase_Set(&loader->WorkerBuildCallback, 0, user, fn);
}

int64_t AsyncHTTP_SetErrorCallback(AsyncHTTP* loader, void* user, AsyncHTTPErrorFunc fn) {
    CLASS_CHECK(loader, ASYNCHTTP_CLASS_ID);
    return CallbackBase_Set(&loader->ErrorCallback, 0, user, fn);
}
