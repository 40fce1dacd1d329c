// The HTTP storage backends. A Get arrives on the I/O worker, takes a request slot on the owner
// thread (the storage's event queue), and its WebGetRequest is prepared and filed in the HTTP pool
// on the main thread, which alone touches a request the pool may hold; the pool's callbacks copy
// the body straight into the storage request's buffer and the result travels back to the owner
// thread. A slot's busy mark is taken exactly once, by the completion or by shutdown.
#include "repository/storage_http.h"
#include "repository/storage_http_internal.h"

#include <atomic>
#include <cstring>

#include "core/formats/url.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/class_family.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/meter_rw.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"
#include "core/web/web_get_connection.h"
#include "core/web/web_get_pool.h"
#include "core/web/web_get_request.h"
#include "repository/file_list.h"
#include "repository/meta_file.h"
#include "repository/storage.h"
#include "repository/storage_request.h"
#include "workflow/workflow_app.h"

namespace {

struct Slot {
    Slot* Prev;
    Slot* Next;
    StorageHTTP* Backend;
    WebGetRequest* Request;
    StorageOperation* Operation;
    std::atomic<uint32_t> Busy;
    // Main thread only: bytes of the current answer's body copied so far, and whether the
    // request is filed in the pool.
    uint32_t Received;
    uint32_t InPool;
    char Name[STORAGE_HTTP_NAME_SIZE];
};

constexpr const char* kDefaultPieceFormat = "{targetInfoHash}/{targetDigest}.quarvpiece";
constexpr const char* kDefaultDeltaFormat = "{sourceInfoHash}/{targetDigest}.quarvdelta";
constexpr const char* kUrlPieceFormat = "{TargetDigest}.quarvpiece";
constexpr int32_t kFileNameSize = 4096;

} // namespace

struct StorageHTTP {
    Class Header;
    ClassPrint Print;
    uint32_t Piece;
    char Url[STORAGE_HTTP_URL_SIZE];
    char PieceFormat[STORAGE_HTTP_NAME_SIZE];
    char DeltaFormat[STORAGE_HTTP_NAME_SIZE];
    char Source[STORAGE_HTTP_NAME_SIZE];
    uint32_t OwnerThread;
    // Written on the owner thread, read on the main thread too.
    std::atomic<uint32_t> Active;
    std::atomic<uint32_t> ShutDown;
    // The front is borrowed: it owns this backend and outlives it.
    Storage* Front;
    StoragePrintFunc FrontPrint;
    MeterRW* Meter;
    uint32_t LastError;
    uint32_t LastErrorEx;
    Slot* Head;
    Slot* Tail;
    uint32_t SlotCount;
};

struct StorageHTTPPiece : StorageHTTP {};

namespace {

// ---- Plumbing -----------------------------------------------------------------------------------

void PreparePrintHTTP(StorageHTTP* b) { ClassPrint_Prepare(&b->Print, b, "StorageHTTP", nullptr); }
void PreparePrintPiece(StorageHTTPPiece* b) { ClassPrint_Prepare(&b->Print, b, "StorageHTTPPiece", nullptr); }

StorageHTTP* Checked(void* instance) {
    ASSERT_POINTER(instance);
    const uint32_t id = static_cast<Class*>(instance)->ClassId;
    if (id != STORAGE_HTTP_CLASS_ID) CLASS_CHECK(instance, STORAGE_HTTP_PIECE_CLASS_ID);
    return static_cast<StorageHTTP*>(instance);
}

int64_t Say(StorageHTTP* b, const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (b->Piece) PreparePrintPiece(static_cast<StorageHTTPPiece*>(b));
    else PreparePrintHTTP(b);
    const int64_t result = ClassPrint_VPrint(&b->Print, 0, format, args);
    va_end(args);
    return result;
}

void AssertOwner(StorageHTTP* b) {
    const uint32_t StorageHTTPOwnerThread = b->OwnerThread;
    ASSERT_MSG(StorageHTTPOwnerThread == Thread_GetCurrentId(), "Not called on the backend's owner thread");
}

EventQueue* FrontQueue(StorageHTTP* b) {
    EventQueue* queue = nullptr;
    if (b->Front) Storage_GetEventQueueHandle(b->Front, &queue);
    return queue;
}

// Forwards the backend's print lines to the storage front's print function.
int64_t FrontPrintTrampoline(void* user, const char* format, ...) {
    auto* b = static_cast<StorageHTTP*>(user);
    char text[2048];
    va_list args;
    va_start(args, format);
    String_VPrint(text, (int32_t)sizeof(text), format, args);
    va_end(args);
    if (b->FrontPrint && b->Front) return b->FrontPrint(b->Front, "%s", text);
    return ClassPrint_DefaultCallback(nullptr, "%s", text);
}

void SlotListUnlink(StorageHTTP* b, Slot* s) {
    (s->Prev ? s->Prev->Next : b->Head) = s->Next;
    (s->Next ? s->Next->Prev : b->Tail) = s->Prev;
    s->Prev = s->Next = nullptr;
    b->SlotCount--;
}

void SlotListAppend(StorageHTTP* b, Slot* s) {
    s->Prev = b->Tail;
    s->Next = nullptr;
    (b->Tail ? b->Tail->Next : b->Head) = s;
    b->Tail = s;
    b->SlotCount++;
}

// Takes the slot's busy mark; the one caller that gets it completes the storage operation.
void FinishSlot(Slot* s, uint32_t code, uint32_t codeEx) {
    uint32_t expected = 1;
    if (!s->Busy.compare_exchange_strong(expected, 0)) return;
    StorageOperation* operation = s->Operation;
    s->Operation = nullptr;
    if (operation) Storage_OperationComplete(operation, code, codeEx);
}

// ---- Owner thread: completion ---------------------------------------------------------------------

struct DonePayload {
    uint32_t Code;
    uint32_t CodeEx;
};

void DoneEvent(void* instance, void* payload) {
    auto* s = static_cast<Slot*>(instance);
    auto* p = static_cast<DonePayload*>(payload);
    StorageHTTP* b = s->Backend;
    b->LastError = p->Code;
    b->LastErrorEx = p->CodeEx;
    if (p->Code) Say(b, "Request failed (%s) (%d) (%d)", s->Name, (int32_t)p->Code, (int32_t)p->CodeEx);
    FinishSlot(s, p->Code, p->CodeEx);
}

void PostDone(Slot* s, uint32_t code, uint32_t codeEx) {
    DonePayload payload{code, codeEx};
    EventQueue_Add(FrontQueue(s->Backend), s, &payload, sizeof(payload), DoneEvent);
}

// ---- WebGetRequest callbacks (main thread) --------------------------------------------------------

// Puts the meter of the request's connection under the storage's.
void AttachMeter(Slot* s, WebGetRequest* request) {
    void* connection = nullptr;
    MeterRW* meter = nullptr;
    if (s->Backend->Meter && WebGetRequest_GetConnectionHandle(request, &connection) && connection &&
        WebGetConnection_GetMeterRWHandle(static_cast<WebGetConnection*>(connection), &meter) && meter)
        MeterRW_SetParentHandle(meter, s->Backend->Meter);
}

int64_t OnStart(WebGetRequest* request, void* user) {
    AttachMeter(static_cast<Slot*>(user), request);
    return 1;
}

bool Success(int32_t status) { return status >= 200 && status <= 299; }

// Each answer's body is copied from the start of its place: an answer that follows a restarted
// connection must not be appended to what an earlier one delivered. A failure status stops the
// request here, before its error page can run into the body limit.
int64_t OnHeaderDone(WebGetRequest* request, void* user) {
    auto* s = static_cast<Slot*>(user);
    s->Received = 0;
    // A connection meters through its socket, and a new socket comes after the Start callback.
    AttachMeter(s, request);
    int32_t status = 0;
    WebGetRequest_GetHTTPCode(request, &status);
    if (!Success(status)) return WebGetRequest_SetLastError(request, status, 0);
    return 1;
}

int64_t OnFillBody(WebGetRequest* request, void* user, const uint8_t* bytes, uint32_t length, uint32_t* used) {
    auto* s = static_cast<Slot*>(user);
    int32_t status = 0;
    WebGetRequest_GetHTTPCode(request, &status);
    *used += length;
    if (!Success(status) || length == 0) return 1;
    StorageOperation* operation = s->Operation;
    StorageRequest* target = nullptr;
    if (!operation || !Storage_OperationGetRequest(operation, &target)) return 1;
    uint32_t start = 0;
    uint32_t limit = 0;
    if (s->Backend->Piece) {
        StorageRequest_AllocSize(target, &limit);
    } else {
        StorageRequestMember* member = nullptr;
        Storage_OperationGetMember(operation, &member);
        StorageRequest_MemberGetBufferOffset(target, member, &start);
        StorageRequest_MemberGetLength(target, member, &limit);
    }
    if ((uint64_t)s->Received + length > limit) {
        Say(s->Backend, "Body larger than expected (%s) (%u)", s->Name, limit);
        return WebGetRequest_SetLastError(request, WEBGET_ERROR_SIZE_LIMIT, 0);
    }
    uint8_t* pointer = nullptr;
    if (!StorageRequest_GetPointerAt(target, start + s->Received, &pointer))
        return WebGetRequest_SetLastError(request, WEBGET_ERROR_SIZE_LIMIT, 0);
    memcpy(pointer, bytes, length);
    StorageRequest_ReleasePointer(target, &pointer);
    s->Received += length;
    return 1;
}

int64_t OnBodyComplete(WebGetRequest* request, void* user) {
    auto* s = static_cast<Slot*>(user);
    int32_t status = 0;
    WebGetRequest_GetHTTPCode(request, &status);
    if (!Success(status)) return WebGetRequest_SetLastError(request, status, 0);
    // A partial answer that does not cover the range asked for delivered nothing to the body: it
    // must not count as data.
    if (WebGetRequest_IsByteRangeMismatched(request))
        return WebGetRequest_SetLastError(request, WEBGET_ERROR_BAD_BYTE_RANGE, 0);
    StorageOperation* operation = s->Operation;
    StorageRequest* target = nullptr;
    if (!operation || !Storage_OperationGetRequest(operation, &target)) return 1;
    if (s->Received >= 0x80000000u) return WebGetRequest_SetLastError(request, WEBGET_ERROR_SIZE_LIMIT, 0);
    uint32_t grow = s->Received;
    if (!s->Backend->Piece) {
        StorageRequestMember* member = nullptr;
        uint32_t padding = 0;
        Storage_OperationGetMember(operation, &member);
        StorageRequest_MemberGetPadding(target, member, &padding);
        grow += padding;
    }
    StorageRequest_AddContentLength(target, grow);
    return 1;
}

int64_t OnDone(WebGetRequest* request, void* user) {
    auto* s = static_cast<Slot*>(user);
    if (request != s->Request) return 1;
    s->InPool = 0;
    int32_t code = 0;
    int32_t codeEx = 0;
    int32_t status = 0;
    WebGetRequest_GetLastError(request, &code, &codeEx);
    WebGetRequest_GetHTTPCode(request, &status);
    // A request that ended without error but without a success answer did not deliver its bytes.
    if (code == 0 && !Success(status)) code = status ? status : WEBGET_ERROR_REQUEST_INCOMPLETE;
    PostDone(s, (uint32_t)code, (uint32_t)codeEx);
    return code == 0 ? 1 : 0;
}

// A name below the base URL may not leave it: no absolute path and no ".." segment (the
// manifest is remote input). A scheme or authority of its own cannot form: ':' is sent escaped.
bool NameIsSound(const char* name) {
    if (!name[0] || name[0] == '/' || name[0] == '\\') return false;
    for (const char* p = name; *p;) {
        const size_t n = strcspn(p, "/\\");
        if (n == 2 && p[0] == '.' && p[1] == '.') return false;
        p += n;
        if (*p) p++;
    }
    return true;
}

// Characters that would end the path or change its meaning are sent escaped.
void EscapeName(const char* name, char* out, int32_t size) {
    static const char kHex[] = "0123456789ABCDEF";
    int32_t o = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p && o + 4 < size; p++) {
        const unsigned char c = *p;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           strchr("-._~/!$&'()*+,;=@", c) != nullptr;
        if (plain) {
            out[o++] = (char)c;
        } else if (c == '\\') {
            out[o++] = '/';
        } else {
            out[o++] = '%';
            out[o++] = kHex[c >> 4];
            out[o++] = kHex[c & 15];
        }
    }
    out[o] = 0;
}

// 0 with the URL set, else the error that completes the operation at once.
uint32_t JoinUrl(StorageHTTP* b, Slot* s, const char* name) {
    char url[STORAGE_HTTP_URL_SIZE];
    const uint32_t error = StorageHTTP_NameToURL(b->Url, name, url, (int32_t)sizeof(url));
    if (error) {
        Say(b, "Refused name (%s) (%d)", name, (int32_t)error);
        return error;
    }
    String_CopyLengthSafe(s->Name, STORAGE_HTTP_NAME_SIZE, name, (int32_t)strlen(name) + 1);
    WebGetRequest_SetURL(s->Request, url);
    return 0;
}

// Prepares a StorageHTTP request: the member's byte range of its file. *immediate is set when the
// operation completes without a transfer (code in the result).
uint32_t PrepareFile(StorageHTTP* b, Slot* s, bool* immediate) {
    *immediate = false;
    StorageRequest* request = nullptr;
    StorageRequestMember* member = nullptr;
    Storage_OperationGetRequest(s->Operation, &request);
    Storage_OperationGetMember(s->Operation, &member);
    MetaFile* manifest = nullptr;
    FileList* list = nullptr;
    FileListMember* file = nullptr;
    uint32_t length = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    char name[kFileNameSize];
    if (!request || !member || !StorageRequest_GetMetaFileHandle(request, &manifest) || !manifest ||
        !MetaFile_GetFileListHandle(manifest, &list) ||
        !StorageRequest_MemberGetFileListMemberHandle(request, member, &file) || !file) {
        *immediate = true;
        return WEBGET_ERROR_INVALID_CONTENT;
    }
    StorageRequest_MemberGetLength(request, member, &length);
    StorageRequest_MemberGetFileOffset(request, member, &offset);
    FileList_MemberGetSize(list, file, &size);
    FileList_MemberGetName(list, file, name, (int32_t)sizeof(name));
    if (size == 0) {
        *immediate = true;
        return 0;
    }
    const uint32_t error = JoinUrl(b, s, name);
    if (error) {
        *immediate = true;
        return error;
    }
    WebGetRequest_SetLimitBodySize(s->Request, length);
    if (offset > 0 || size > length)
        WebGetRequest_SetByteRange(s->Request, (int64_t)offset, (int64_t)(offset + length - 1));
    return 0;
}

uint32_t PreparePiece(StorageHTTP* b, Slot* s, bool* immediate) {
    *immediate = false;
    StorageRequest* request = nullptr;
    StorageRequestMember* member = nullptr;
    MetaFile* manifest = nullptr;
    uint32_t index = 0;
    Storage_OperationGetRequest(s->Operation, &request);
    Storage_OperationGetMember(s->Operation, &member);
    if (!request || !member || !StorageRequest_GetMetaFileHandle(request, &manifest) || !manifest) {
        *immediate = true;
        return WEBGET_ERROR_INVALID_CONTENT;
    }
    StorageRequest_MemberGetIndex(request, member, &index);
    uint32_t allow = 0;
    StorageRequest_GetAllowVCDiff(request, &allow);
    char name[STORAGE_HTTP_NAME_SIZE] = {};
    const bool delta = allow && b->Source[0];
    const int64_t made = Storage_Format(b->Front, delta ? b->DeltaFormat : b->PieceFormat, manifest, (int32_t)index,
                                       delta ? b->Source : nullptr, name, (int32_t)sizeof(name));
    const uint32_t error = made ? JoinUrl(b, s, name) : (uint32_t)WEBGET_ERROR_INVALID_CONTENT;
    if (error) {
        *immediate = true;
        return error;
    }
    // The piece's own encodings are the storage request's to undo, not the transfer's.
    WebGetRequest_SetAllowCompressedContent(s->Request, 0);
    WebGetRequest_SetAutoDecompressContent(s->Request, 0);
    uint32_t alloc = 0;
    StorageRequest_AllocSize(request, &alloc);
    WebGetRequest_SetLimitBodySize(s->Request, alloc);
    return 0;
}


// ---- Main thread: the pool ------------------------------------------------------------------------

struct RemovePayload {
    WebGetRequest* Request;
};

void DetachedRemoveEvent(void*, void* payload) {
    auto* p = static_cast<RemovePayload*>(payload);
    if (p->Request) WebGetPool_RequestRemove(p->Request);
}

void DetachedRemoveCleanup(void*, void* payload) {
    auto* p = static_cast<RemovePayload*>(payload);
    if (p->Request) WebGetRequest_Release(&p->Request);
}

// Takes a request that left its slot out of the pool; the event holds its own reference, so it
// may run after the slot has gone.
void PostDetachedRemove(WebGetRequest* request) {
    RemovePayload payload{WebGetRequest_AddRef(request)};
    EventQueue_AddComplexEvent(nullptr, payload.Request, &payload, sizeof(payload), DetachedRemoveEvent,
                               DetachedRemoveCleanup);
}

void RemoveFromPool(Slot* s) {
    if (s->InPool) WebGetPool_RequestRemove(s->Request);
    s->InPool = 0;
    s->Received = 0;
}

// Prepares the slot's request from its operation and files it in the pool; a transfer that was
// under way starts over from its first byte. Nothing is filed while the backend is paused.
void AddEvent(void* instance, void*) {
    auto* s = static_cast<Slot*>(instance);
    StorageHTTP* b = s->Backend;
    if (b->ShutDown.load() || s->Busy.load() != 1) return;
    RemoveFromPool(s);
    WebGetRequest_HeaderReset(s->Request);
    WebGetRequest_Reset(s->Request);
    bool immediate = false;
    const uint32_t code = b->Piece ? PreparePiece(b, s, &immediate) : PrepareFile(b, s, &immediate);
    if (immediate) {
        FinishSlot(s, code, 0);
        return;
    }
    if (!b->Active.load()) return;
    s->InPool = 1;
    if (!WebGetPool_RequestAdd(s->Request)) {
        s->InPool = 0;
        PostDone(s, WEBGET_ERROR_VALIDATION, 0);
    }
}

void RemoveEvent(void* instance, void*) { RemoveFromPool(static_cast<Slot*>(instance)); }

void PostAdd(Slot* s) { EventQueue_Add(nullptr, s, nullptr, 0, AddEvent); }
void PostRemove(Slot* s) { EventQueue_Add(nullptr, s, nullptr, 0, RemoveEvent); }

// ---- Owner thread: slots --------------------------------------------------------------------------

Slot* SlotTake(StorageHTTP* b) {
    for (Slot* s = b->Head; s; s = s->Next) {
        uint32_t expected = 0;
        if (s->Request && s->Busy.compare_exchange_strong(expected, 1)) return s;
    }
    auto* s = static_cast<Slot*>(Memory_AllocZero(sizeof(Slot)));
    new (&s->Busy) std::atomic<uint32_t>(1);
    s->Backend = b;
    WebGetRequest_Create(&s->Request);
    WebGetRequest_SetFillBodyCallback(s->Request, nullptr, s, OnFillBody);
    WebGetRequest_SetBodyCompleteCallback(s->Request, nullptr, s, OnBodyComplete);
    WebGetRequest_SetHeaderDoneCallback(s->Request, nullptr, s, OnHeaderDone);
    WebGetRequest_SetDoneCallback(s->Request, nullptr, s, OnDone);
    WebGetRequest_SetStartCallback(s->Request, nullptr, s, OnStart);
    SlotListAppend(b, s);
    return s;
}

// Lets the slot go: its request's callbacks are detached first, then its events are dropped,
// which waits for a main-thread pass under way, so no callback can reach the slot afterwards.
void SlotDetach(StorageHTTP* b, Slot* s) {
    if (s->Request) {
        WebGetRequest_SetFillBodyCallback(s->Request, nullptr, nullptr, nullptr);
        WebGetRequest_SetBodyCompleteCallbackDefault(s->Request);
        WebGetRequest_SetHeaderDoneCallbackDefault(s->Request);
        WebGetRequest_SetDoneCallbackDefault(s->Request);
        WebGetRequest_SetStartCallback(s->Request, nullptr, nullptr, nullptr);
    }
    EventQueue_RemoveInstance(FrontQueue(b), s);
    EventQueue_RemoveInstance(nullptr, s);
    if (s->Request) {
        if (s->Busy.load() == 1) PostDetachedRemove(s->Request);
        WebGetRequest_Release(&s->Request);
    }
}

struct GetPayload {
    StorageHTTP* Backend;
    StorageOperation* Operation;
};

void GetEvent(void* instance, void* payload) {
    auto* b = static_cast<StorageHTTP*>(instance);
    auto* p = static_cast<GetPayload*>(payload);
    StorageOperation* operation = p->Operation;
    p->Operation = nullptr;
    AssertOwner(b);
    if (b->ShutDown.load()) {
        Storage_OperationComplete(operation, STORAGE_ERROR_STORAGE, STORAGE_EXTENDED_SHUTDOWN);
        return;
    }
    Slot* s = SlotTake(b);
    s->Operation = operation;
    // An owner that is the main thread files the request at once, without another pass.
    if (b->OwnerThread == Thread_GetMainId())
        AddEvent(s, nullptr);
    else
        PostAdd(s);
}

// A Get taken from the queue before it ran (shutdown, deletion) still ends its chain.
void GetCleanup(void*, void* payload) {
    auto* p = static_cast<GetPayload*>(payload);
    if (p->Operation) Storage_OperationComplete(p->Operation, STORAGE_ERROR_STORAGE, STORAGE_EXTENDED_SHUTDOWN);
    p->Operation = nullptr;
}

// ---- Row operations -----------------------------------------------------------------------------

void Init(StorageHTTP* b, uint32_t classId, uint32_t piece) {
    new (&b->Active) std::atomic<uint32_t>(0);
    new (&b->ShutDown) std::atomic<uint32_t>(0);
    b->Header.ClassId = classId;
    b->Header.RefCount = 1;
    b->Piece = piece;
    b->OwnerThread = Thread_GetCurrentId();
    Class_GenerateInstanceIdReal(b);
}

int64_t Shutdown(StorageHTTP* b) {
    b->ShutDown.store(1);
    b->Active.store(0);
    EventQueue_RemoveInstance(FrontQueue(b), b);
    EventQueue_RemoveInstance(nullptr, b);
    for (Slot* s = b->Head; s; s = s->Next) {
        SlotDetach(b, s);
        FinishSlot(s, STORAGE_ERROR_STORAGE, STORAGE_EXTENDED_SHUTDOWN);
    }
    return 1;
}

int64_t Delete(StorageHTTP* b) {
    Shutdown(b);
    while (Slot* s = b->Head) {
        SlotListUnlink(b, s);
        s->Busy.~atomic();
        Memory_Free(s, sizeof(Slot));
    }
    if (b->Meter) MeterRW_Release(&b->Meter);
    b->Header.ClassId = 0;
    Memory_Free(b, b->Piece ? sizeof(StorageHTTPPiece) : sizeof(StorageHTTP));
    return 1;
}

int64_t DeleteHandle(void** handle) {
    Delete(Checked(*handle));
    *handle = nullptr;
    return 1;
}

int64_t RowCreateHTTP(void** instance) { return StorageHTTP_Create(reinterpret_cast<StorageHTTP**>(instance)); }
int64_t RowCreatePiece(void** instance) {
    return StorageHTTPPiece_Create(reinterpret_cast<StorageHTTPPiece**>(instance));
}

int64_t RowAddRef(void* instance) {
    Class_AddRef(Checked(instance));
    return 1;
}

int64_t RowRelease(void** instance) {
    ASSERT_POINTER(instance);
    if (!*instance) return 0;
    Checked(*instance);
    Class_Release(instance);
    *instance = nullptr;
    return 1;
}

int64_t RowSetPrintCallback(void* instance, Storage* storage, StoragePrintFunc print) {
    StorageHTTP* b = Checked(instance);
    b->Front = storage;
    b->FrontPrint = print;
    if (b->Piece) PreparePrintPiece(static_cast<StorageHTTPPiece*>(b));
    else PreparePrintHTTP(b);
    b->Print.PrintUser = b;
    b->Print.PrintCallback = print ? FrontPrintTrampoline : nullptr;
    return 1;
}

// A key of the storage's configuration, else the engine's "storage." key, else the default.
// 0 when there is none at all.
bool ReadKey(Dictionary* dictionary, const char* key, const char* fallback, const char* defaultValue, char* out,
             int32_t size) {
    out[0] = 0;
    if (dictionary && Dictionary_GetStringByKey(dictionary, key, out, size)) return true;
    if (fallback && WorkflowApp_GetConfig(fallback, "", out, size) && out[0]) return true;
    if (!defaultValue) return false;
    String_CopyLength(out, defaultValue, size);
    return true;
}

int64_t Missing(StorageHTTP* b, const char* key) {
    Say(b, "Configuration dictionary missing %s", key);
    return 0;
}

int64_t RowConfigure(void* instance, Storage* storage, void*, Dictionary* dictionary, uint32_t*) {
    StorageHTTP* b = Checked(instance);
    b->Front = storage;
    if (!b->Piece) {
        if (!ReadKey(dictionary, "url", nullptr, nullptr, b->Url, (int32_t)sizeof(b->Url))) return Missing(b, "url");
    } else {
        ReadKey(dictionary, "pieceFormat", kAppConfigStoragePieceFormat, kDefaultPieceFormat, b->PieceFormat,
                (int32_t)sizeof(b->PieceFormat));
        ReadKey(dictionary, "deltaFormat", kAppConfigStorageDeltaFormat, kDefaultDeltaFormat, b->DeltaFormat,
                (int32_t)sizeof(b->DeltaFormat));
        if (ReadKey(dictionary, "url", nullptr, nullptr, b->Url, (int32_t)sizeof(b->Url))) {
            String_CopyLength(b->PieceFormat, kUrlPieceFormat, (int32_t)sizeof(b->PieceFormat));
        } else if (!ReadKey(dictionary, "baseUrl", nullptr, nullptr, b->Url, (int32_t)sizeof(b->Url))) {
            return Missing(b, "baseUrl");
        }
        if (!ReadKey(dictionary, "source", nullptr, nullptr, b->Source, (int32_t)sizeof(b->Source)))
            return Missing(b, "source");
    }
    MeterRW* meter = nullptr;
    if (Storage_GetMeterRWHandle(storage, &meter) && meter) {
        MeterRW_AddRef(meter);
        if (b->Meter) MeterRW_Release(&b->Meter);
        b->Meter = meter;
    }
    Storage_SetIdentifier(storage, b->Url);
    b->Active.store(1);
    return 1;
}

int64_t RowShutdown(void* instance, Storage* storage) {
    StorageHTTP* b = Checked(instance);
    if (storage) b->Front = storage;
    AssertOwner(b);
    return Shutdown(b);
}

int64_t RowSetActive(void* instance, Storage*, uint32_t active) {
    StorageHTTP* b = Checked(instance);
    AssertOwner(b);
    active = active ? 1 : 0;
    if (b->ShutDown.load() || active == b->Active.load()) return 1;
    b->Active.store(active);
    // In order on the main queue: a pause takes the requests out of the pool, a resume files
    // them again from their first byte. A result already on its way still completes its slot.
    for (Slot* s = b->Head; s; s = s->Next) {
        if (s->Busy.load() != 1) continue;
        if (active) PostAdd(s);
        else PostRemove(s);
    }
    return 1;
}

int64_t RowDump(void* instance, Storage*, Dictionary* dictionary) {
    StorageHTTP* b = Checked(instance);
    ASSERT_POINTER(dictionary);
    Dictionary_SetInt32ByKey(dictionary, "lastError", (int32_t)b->LastError);
    Dictionary_SetInt32ByKey(dictionary, "lastErrorEx", (int32_t)b->LastErrorEx);
    Dictionary_SetStringByKey(dictionary, "url", b->Url);
    return 1;
}

int64_t RowProcess(void* instance, Storage*) {
    Checked(instance);
    return 1;
}

int64_t RowNotSupported(void* instance, StorageOperation* operation) {
    Checked(instance);
    return Storage_OperationComplete(operation, STORAGE_NOT_SUPPORTED, 0);
}

// I/O worker: only the owner thread touches the slots, so the Get moves there.
int64_t RowGet(void* instance, StorageOperation* operation) {
    StorageHTTP* b = Checked(instance);
    StorageRequest* request = nullptr;
    StorageRequestMember* member = nullptr;
    Storage_OperationGetRequest(operation, &request);
    Storage_OperationGetMember(operation, &member);
    if (!request || !member) return Storage_OperationComplete(operation, WEBGET_ERROR_INVALID_CONTENT, 0);
    if (b->Piece) {
        if (!StorageRequest_MemberIsIndexFirst(request, member)) return Storage_OperationComplete(operation, 0, 0);
    } else {
        uint32_t length = 0;
        StorageRequest_MemberGetLength(request, member, &length);
        if (length == 0) return Storage_OperationComplete(operation, 0, 0);
    }
    Storage* storage = nullptr;
    Storage_OperationGetStorage(operation, &storage);
    EventQueue* queue = nullptr;
    if (storage) Storage_GetEventQueueHandle(storage, &queue);
    GetPayload payload{b, operation};
    EventQueue_AddComplexEvent(queue, b, &payload, sizeof(payload), GetEvent, GetCleanup);
    return 1;
}

} // namespace

const StorageInterface StorageHTTP_Interface = {
    "StorageHTTP",   RowCreateHTTP,   RowAddRef,       RowRelease,      RowSetPrintCallback, RowConfigure,
    RowShutdown,     RowSetActive,    RowDump,         RowProcess,      RowNotSupported,     RowGet,
    RowNotSupported, RowNotSupported, RowNotSupported, RowNotSupported,
};

const StorageInterface StorageHTTPPiece_Interface = {
    "StorageHTTPPiece", RowCreatePiece,  RowAddRef,       RowRelease,      RowSetPrintCallback, RowConfigure,
    RowShutdown,        RowSetActive,    RowDump,         RowProcess,      RowNotSupported,     RowGet,
    RowNotSupported,    RowNotSupported, RowNotSupported, RowNotSupported,
};

CLASS_BASICS(StorageHTTP, StorageHTTP, STORAGE_HTTP_CLASS_ID)
CLASS_PRINT_FAMILY(StorageHTTP, StorageHTTP, STORAGE_HTTP_CLASS_ID, PreparePrintHTTP)
CLASS_BASICS(StorageHTTPPiece, StorageHTTPPiece, STORAGE_HTTP_PIECE_CLASS_ID)
CLASS_PRINT_FAMILY(StorageHTTPPiece, StorageHTTPPiece, STORAGE_HTTP_PIECE_CLASS_ID, PreparePrintPiece)

int64_t StorageHTTP_Create(StorageHTTP** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* b = static_cast<StorageHTTP*>(Memory_AllocZero(sizeof(StorageHTTP)));
    if (!b) return 0;
    Init(b, STORAGE_HTTP_CLASS_ID, 0);
    b->Header.Delete = DeleteHandle;
    *handle = b;
    return 1;
}

int64_t StorageHTTPPiece_Create(StorageHTTPPiece** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* b = static_cast<StorageHTTPPiece*>(Memory_AllocZero(sizeof(StorageHTTPPiece)));
    if (!b) return 0;
    Init(b, STORAGE_HTTP_PIECE_CLASS_ID, 1);
    b->Header.Delete = DeleteHandle;
    *handle = b;
    return 1;
}

uint32_t StorageHTTP_NameToURL(const char* base, const char* name, char* out, int32_t size) {
    ASSERT_POINTER(base);
    ASSERT_POINTER(name);
    ASSERT_POINTER(out);
    if (size > 0) out[0] = 0;
    if (!NameIsSound(name)) return WEBGET_ERROR_INVALID_CONTENT;
    const size_t length = strlen(name);
    if (length >= (size_t)kFileNameSize) return WEBGET_ERROR_INVALID_CONTENT;
    char escaped[kFileNameSize * 3 + 1];
    EscapeName(name, escaped, (int32_t)sizeof(escaped));
    if (!URL_Join(base, escaped, out, size)) return WEBGET_ERROR_VALIDATION;
    URL_RemoveFragment(out);
    return 0;
}
