// Step chains of the storage's piece operations: each operation is a list of step records run one
// after another on the I/O worker, ending with a completion step that hands the result to the
// storage's event queue. Also the password prompt a decrypt step may park on.
#include <cstring>
#include <mutex>

#include "core/crypto/hash.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"
#include "core/web/challenge.h"
#include "repository/meta_file.h"
#include "repository/offset_cache.h"
#include "repository/digest_table.h"
#include "repository/storage.h"
#include "repository/storage_internal.h"
#include "repository/storage_request.h"

static_assert(sizeof(StorageOperation) <= 96, "step records come from a pool of 96-byte blocks");

namespace {

constexpr uint32_t kStartStep = 2; // flag bit: the chain's first step

struct Chain {
    Storage* Owner;
    StorageOperation* Head;
    StorageOperation* Tail;
};

void RunStep(void* object, IOWorkerItem* item);

StorageOperation* NewStep(Storage* s, StorageStepFunc step, uint8_t requestKind, void* request,
                          uint8_t argumentKind, void* argument) {
    StorageOperation* op = static_cast<StorageOperation*>(Pool_Alloc(s->Operations, 96));
    memset(op, 0, sizeof(*op));
    op->Item.Function = RunStep;
    Storage_AddRef(s);
    op->Owner = s;
    op->Step = step;
    op->RequestKind = requestKind;
    op->RequestSlot = request;
    op->ArgumentKind = argumentKind;
    op->ArgumentSlot = argument;
    return op;
}

void FreeStep(StorageOperation* op) {
    Storage* s = op->Owner;
    Pool_Free(s->Operations, &op, 96);
    Storage_Release(&s);
}

void Append(Chain* chain, StorageOperation* op) {
    (chain->Tail ? chain->Tail->Next : chain->Head) = op;
    chain->Tail = op;
}

void Add(Chain* chain, StorageStepFunc step, StorageRequest* request) {
    Append(chain, NewStep(chain->Owner, step, STORAGE_SLOT_REQUEST, request, STORAGE_SLOT_NONE, nullptr));
}

void Post(StorageOperation* op) {
    Storage_AddRef(op->Owner);
    IOWorker_Post(nullptr, op->Owner, &op->Item);
}

// The next step of a chain that a step ended on this worker thread, run here once that step has
// returned rather than posted: a hand-off to another thread costs more than most steps. Null where
// no step runs. Bounded, so that a long chain still lets the worker's queue turn.
thread_local StorageOperation** InlineNext = nullptr;
constexpr int32_t kStepsInline = 64;

void RunOne(StorageOperation* op) {
    if (!(op->Flags & STORAGE_OPERATION_ALWAYS_RUN)) {
        if (op->Owner->ShuttingDown.load()) {
            Storage_OperationComplete(op, STORAGE_ERROR_STORAGE, STORAGE_EXTENDED_SHUTDOWN);
            return;
        }
        if (op->Code) {
            Storage_OperationComplete(op, op->Code, op->ExtendedCode);
            return;
        }
    }
    if (op->Step)
        op->Step(op);
    else
        Storage_OperationComplete(op, 0, 0);
}

void RunStep(void* object, IOWorkerItem* item) {
    (void)object;
    StorageOperation* op = reinterpret_cast<StorageOperation*>(item);
    StorageOperation** const outer = InlineNext;
    StorageOperation* next = nullptr;
    InlineNext = &next;
    for (int32_t run = 1; op; run++) {
        RunOne(op);
        op = next;
        next = nullptr;
        if (op && run >= kStepsInline) {
            // Its reference was taken when it was handed here.
            IOWorker_Post(nullptr, op->Owner, &op->Item);
            op = nullptr;
        }
    }
    InlineNext = outer;
}

StorageRequest* RequestOf(StorageOperation* op) {
    return static_cast<StorageRequest*>(op->RequestSlot);
}

// ---- Completion ------------------------------------------------------------------------------

struct Delivery {
    void* RequestSlot;
    void* User;
    StorageCallback Callback;
    void* Keep;
    uint32_t Code;
    uint32_t ExtendedCode;
};

void Deliver(void* instance, void* payload) {
    const Delivery* d = static_cast<const Delivery*>(payload);
    if (d->Callback) d->Callback(static_cast<Storage*>(instance), d->User, d->RequestSlot, d->Code, d->ExtendedCode);
}

// Runs after the callback, or alone when the event is dropped: the chain is over either way.
void DeliverCleanup(void* instance, void* payload) {
    Delivery* d = static_cast<Delivery*>(payload);
    Storage* s = static_cast<Storage*>(instance);
    if (d->Keep) Class_Release(&d->Keep);
    Storage_DecrementPendingRequests(s);
    Storage_Release(&s);
}

void StepComplete(StorageOperation* op) {
    Storage* s = op->Owner;
    if (op->Code) s->ErrorCount.fetch_add(1);
    Delivery d{op->RequestSlot, op->ArgumentSlot, reinterpret_cast<StorageCallback>(op->UserSlot), op->Keep,
               op->Code, op->ExtendedCode};
    op->Keep = nullptr;
    Storage_AddRef(s);
    EventQueue_AddComplexEvent(s->Queue, s, &d, sizeof(d), Deliver, DeliverCleanup);
    Storage_OperationComplete(op, 0, 0);
}

// Counts the request, ends the chain with its completion step and starts it.
int64_t Launch(Chain* chain, void* completionSlot, void* keep, void* user, StorageCallback callback) {
    Storage* s = chain->Owner;
    StorageOperation* done = NewStep(s, StepComplete, STORAGE_SLOT_NONE, completionSlot, STORAGE_SLOT_USER, user);
    done->Flags = STORAGE_OPERATION_ALWAYS_RUN;
    done->UserSlot = reinterpret_cast<void*>(callback);
    done->Keep = keep;
    if (keep) Class_AddRef(keep);
    Append(chain, done);
    Storage_IncrementPendingRequests(s);
    Post(chain->Head);
    return 1;
}

Chain Begin(Storage* s) {
    Chain chain{s, nullptr, nullptr};
    StorageOperation* start = NewStep(s, nullptr, STORAGE_SLOT_NONE, nullptr, STORAGE_SLOT_NONE, nullptr);
    start->Flags = kStartStep;
    Append(&chain, start);
    return chain;
}

void BoundRow(Storage* s, const StorageInterface** row, void** instance) {
    CriticalSectionGuard guard(s->Lock);
    *row = s->Row;
    *instance = s->Instance;
    if (*row) (*row)->AddRef(*instance);
}

const StorageInterface* RequireRow(Storage* s) {
    CriticalSectionGuard guard(s->Lock);
    ASSERT_POINTER(s->Row);
    return s->Row;
}

// ---- Backend steps ---------------------------------------------------------------------------

template <int64_t (*const StorageInterface::*Entry)(void*, StorageOperation*)>
void StepBackend(StorageOperation* op) {
    const StorageInterface* row = nullptr;
    void* instance = nullptr;
    BoundRow(op->Owner, &row, &instance);
    if (!row) {
        // Unbound since the chain began: as good as shut down.
        Storage_OperationComplete(op, STORAGE_ERROR_STORAGE, STORAGE_EXTENDED_SHUTDOWN);
        return;
    }
    (row->*Entry)(instance, op);
    row->Release(&instance);
}

constexpr auto StepExists = StepBackend<&StorageInterface::Exists>;
constexpr auto StepGet = StepBackend<&StorageInterface::Get>;
constexpr auto StepPut = StepBackend<&StorageInterface::Put>;
constexpr auto StepErase = StepBackend<&StorageInterface::Erase>;
constexpr auto StepFileErase = StepBackend<&StorageInterface::FileErase>;
constexpr auto StepFileComplete = StepBackend<&StorageInterface::FileComplete>;

// ---- Password prompt -------------------------------------------------------------------------

// Every waiting record of every storage is also listed here, so that an answer can tell a live
// record from one that shutdown already took, without touching the record first. Taken before a
// storage's challenge lock, never after it.
std::mutex g_waitingLock;
StorageChallenge* g_waiting = nullptr;

int64_t OnChallengeResponse(void* user, const char* type, const char* name, const char* instance,
                            Dictionary* info);

void Unlink(Storage* s, StorageChallenge* c) {
    (c->Previous ? c->Previous->Next : s->ChallengeHead) = c->Next;
    (c->Next ? c->Next->Previous : s->ChallengeTail) = c->Previous;
    c->Previous = c->Next = nullptr;
    s->ChallengeCount--;
}

void UnlinkWaiting(StorageChallenge* c) {
    for (StorageChallenge** at = &g_waiting; *at; at = &(*at)->WaitingNext) {
        if (*at == c) {
            *at = c->WaitingNext;
            c->WaitingNext = nullptr;
            return;
        }
    }
}

// The operation stays open, keeping its storage reference, until the answer or shutdown.
void ChallengeStart(StorageOperation* op, const char* failedPassword) {
    Storage* s = op->Owner;
    StorageChallenge* c = static_cast<StorageChallenge*>(Pool_Alloc(s->Challenges, sizeof(StorageChallenge)));
    memset(c, 0, sizeof(*c));
    c->Header.ClassId = STORAGE_CHALLENGE_CLASS_ID;
    c->Header.RefCount = 1;
    Class_GenerateInstanceIdReal(c);
    c->Operation = op;
    char id[sizeof(c->Header.InstanceId) + 1];
    String_CopyLengthSafe(id, (int32_t)sizeof(id), c->Header.InstanceId, (int32_t)sizeof(c->Header.InstanceId));
    {
        std::lock_guard<std::mutex> waiting(g_waitingLock);
        CriticalSectionGuard guard(s->ChallengeLock);
        if (s->ShuttingDown.load()) {
            Pool_Free(s->Challenges, &c, sizeof(StorageChallenge));
            c = nullptr;
        } else {
            NotificationCenter_AddInstanceObserver("Challenge", "Response", id, c, OnChallengeResponse);
            c->Previous = s->ChallengeTail;
            (s->ChallengeTail ? s->ChallengeTail->Next : s->ChallengeHead) = c;
            s->ChallengeTail = c;
            s->ChallengeCount++;
            c->WaitingNext = g_waiting;
            g_waiting = c;
        }
    }
    if (!c) {
        Storage_OperationComplete(op, STORAGE_ERROR_STORAGE, STORAGE_EXTENDED_SHUTDOWN);
        return;
    }
    Dictionary* request = nullptr;
    Dictionary_Create(&request);
    char identifier[STORAGE_IDENTIFIER_SIZE];
    Storage_GetIdentifier(s, identifier, (int32_t)sizeof(identifier));
    Dictionary_SetStringByKey(request, "filter", "storagedecrypt");
    Dictionary_SetStringByKey(request, "host", identifier);
    Dictionary_SetStringByKey(request, "password", failedPassword);
    Challenge_Request(request, id);
    Dictionary_Release(&request);
}

int64_t OnChallengeResponse(void* user, const char* type, const char* name, const char* instance,
                            Dictionary* info) {
    (void)type;
    (void)name;
    StorageChallenge* c = static_cast<StorageChallenge*>(user);
    StorageOperation* op = nullptr;
    Storage* s = nullptr;
    {
        std::lock_guard<std::mutex> waiting(g_waitingLock);
        bool found = false;
        for (StorageChallenge* it = g_waiting; it && !found; it = it->WaitingNext) found = it == c;
        // A record freed by shutdown and made again at the same place answers only to its own id.
        if (!found || !instance ||
            !String_CompareLength(instance, c->Header.InstanceId, (int32_t)sizeof(c->Header.InstanceId)))
            return 0;
        op = c->Operation;
        s = op->Owner;
        CriticalSectionGuard guard(s->ChallengeLock);
        UnlinkWaiting(c);
        Unlink(s, c);
        NotificationCenter_RemoveInstanceObserver("Challenge", "Response", instance, c, OnChallengeResponse);
        Pool_Free(s->Challenges, &c, sizeof(StorageChallenge));
    }
    uint32_t cancel = 0;
    if (info) Dictionary_GetBooleanByKey(info, "cancel", &cancel);
    const char* password = nullptr;
    if (cancel || !info || !Dictionary_GetStringPtrByKey(info, "password", &password) || !password) {
        Storage_OperationComplete(op, STORAGE_ERROR_STORAGE, STORAGE_EXTENDED_PASSWORD_CANCELLED);
        return 1;
    }
    Storage_SetPassword(s, password);
    // The same step runs anew with the new password, on the reference it was posted with.
    IOWorker_Post(nullptr, s, &op->Item);
    return 1;
}

// ---- Stages ----------------------------------------------------------------------------------

void StepAESDecrypt(StorageOperation* op) {
    Storage* s = op->Owner;
    char password[STORAGE_PASSWORD_SIZE];
    Storage_GetPassword(s, password, (int32_t)sizeof(password));
    const int32_t answer =
        StorageRequest_AESDecrypt(RequestOf(op), 256, password, (uint32_t)strlen(password));
    if (answer == STORAGE_REQUEST_AES_BAD_PASSWORD) {
        ChallengeStart(op, password);
    } else if (answer != STORAGE_REQUEST_AES_OK) {
        Storage_OperationComplete(op, STORAGE_ERROR_STORAGE, (uint32_t)answer);
    } else {
        Storage_OperationComplete(op, 0, 0);
    }
    memset(password, 0, sizeof(password));
}

void StepGZipInflate(StorageOperation* op) {
    const int32_t result = StorageRequest_GZipInflate(RequestOf(op));
    Storage_OperationComplete(op, result ? (uint32_t)STORAGE_ERROR_COMPRESSION : 0u, (uint32_t)result);
}

struct DeltaAsk {
    StorageOperation* Operation;
    uint32_t Asked;
};

void DeltaSourceRun(void* instance, void* payload) {
    DeltaAsk* ask = static_cast<DeltaAsk*>(payload);
    Storage* s = static_cast<Storage*>(instance);
    StorageDeltaSourceFunc function = nullptr;
    void* user = nullptr;
    {
        CriticalSectionGuard guard(s->Lock);
        function = s->DeltaFunction;
        user = s->DeltaUser;
    }
    ask->Asked = 1;
    if (!function) {
        Storage_OperationComplete(ask->Operation, STORAGE_NOT_SUPPORTED, 0);
        return;
    }
    function(s, user, ask->Operation);
}

// An ask dropped with the queue (or the storage reset) still ends its chain.
void DeltaSourceCleanup(void* instance, void* payload) {
    (void)instance;
    DeltaAsk* ask = static_cast<DeltaAsk*>(payload);
    if (!ask->Asked) Storage_OperationComplete(ask->Operation, STORAGE_ERROR_STORAGE, STORAGE_EXTENDED_SHUTDOWN);
}

void StepDeltaSource(StorageOperation* op) {
    Storage* s = op->Owner;
    if (!StorageRequest_HasFlag(RequestOf(op), STORAGE_FLAG_VCDIFF)) {
        Storage_OperationComplete(op, 0, 0);
        return;
    }
    bool asked = false;
    {
        CriticalSectionGuard guard(s->Lock);
        asked = s->DeltaFunction != nullptr;
    }
    if (!asked) {
        Storage_OperationComplete(op, STORAGE_NOT_SUPPORTED, 0);
        return;
    }
    DeltaAsk ask{op, 0};
    EventQueue_AddComplexEvent(s->Queue, s, &ask, sizeof(ask), DeltaSourceRun, DeltaSourceCleanup);
}

void StepDeltaInflate(StorageOperation* op) {
    const int64_t ok = StorageRequest_VCDiffInflate(RequestOf(op));
    Storage_OperationComplete(op, ok ? 0u : (uint32_t)STORAGE_ERROR_VCDIFF, 0);
}

// Both only fail when the padded run would not fit the buffer.
void StepPadInflate(StorageOperation* op) {
    const int64_t ok = StorageRequest_PadInflate(RequestOf(op));
    Storage_OperationComplete(op, ok ? 0u : (uint32_t)STORAGE_ERROR_SIZE_LIMIT, 0);
}

void StepPadDeflate(StorageOperation* op) {
    const int64_t ok = StorageRequest_PadDeflate(RequestOf(op));
    Storage_OperationComplete(op, ok ? 0u : (uint32_t)STORAGE_ERROR_SIZE_LIMIT, 0);
}

void StepGZipDeflate(StorageOperation* op) {
    const char* reason = nullptr;
    if (StorageRequest_GZipDeflate(RequestOf(op), &reason)) {
        Storage_OperationComplete(op, 0, 0);
        return;
    }
    Storage_Print(op->Owner, "%s", reason ? reason : "");
    Storage_OperationComplete(op, STORAGE_ERROR_COMPRESSION, 0);
}

void StepAESEncrypt(StorageOperation* op) {
    const char* reason = nullptr;
    if (StorageRequest_AESEncrypt(RequestOf(op), &reason)) {
        Storage_OperationComplete(op, 0, 0);
        return;
    }
    Storage_Print(op->Owner, "%s", reason ? reason : "");
    Storage_OperationComplete(op, STORAGE_ERROR_STORAGE, 0);
}

void AddStages(Chain* chain, uint32_t target, StorageRequest* request, bool withDelta) {
    const uint32_t flags = chain->Owner->Flags.load();
    if (!(target & STORAGE_FLAG_AES256)) Add(chain, StepAESDecrypt, request);
    if (!(target & STORAGE_FLAG_GZIP)) Add(chain, StepGZipInflate, request);
    StorageRequest* delta = nullptr;
    if (withDelta && !(target & STORAGE_FLAG_VCDIFF) && (flags & STORAGE_FLAG_VCDIFF) &&
        StorageRequest_GetDeltaRequestHandle(request, &delta) && delta) {
        Add(chain, StepDeltaSource, request);
        AddStages(chain, 0, delta, false);
        Add(chain, StepDeltaInflate, request);
    }
    Add(chain, (target & STORAGE_FLAG_PAD) ? StepPadInflate : StepPadDeflate, request);
    if (target & STORAGE_FLAG_GZIP) Add(chain, StepGZipDeflate, request);
    if (target & STORAGE_FLAG_AES256) Add(chain, StepAESEncrypt, request);
}

// ---- Get -------------------------------------------------------------------------------------

bool IsPieceRow(const StorageInterface* row) {
    return row && (row == Storage_InterfaceFromName("filePiece") || row == Storage_InterfaceFromName("httpPiece"));
}

void StepAssignFlags(StorageOperation* op) {
    Storage* s = op->Owner;
    StorageRequest* request = RequestOf(op);
    uint32_t flags = s->Flags.load();
    uint32_t allow = 0;
    StorageRequest_GetAllowVCDiff(request, &allow);
    if (!allow || !(flags & STORAGE_FLAG_VCDIFF)) flags &= ~(uint32_t)STORAGE_FLAG_VCDIFF;
    StorageRequest_SetFlags(request, flags);
    const StorageInterface* row = nullptr;
    {
        CriticalSectionGuard guard(s->Lock);
        row = s->Row;
    }
    if (IsPieceRow(row)) StorageRequest_HeaderRemove(request);
    Storage_OperationComplete(op, 0, 0);
}

// Where a member's bytes sit in the buffer as the storage holds them.
uint32_t MemberPosition(StorageRequest* request, StorageRequestMember* member, bool padded) {
    uint32_t offset = 0;
    if (padded)
        StorageRequest_MemberGetBufferOffset(request, member, &offset);
    else
        StorageRequest_MemberGetUnpadBufferOffset(request, member, &offset);
    return offset;
}

// Puts the bytes the backend read into the cache; runs after errors too, to let the cache go.
void StepCacheFill(StorageOperation* op) {
    Storage* s = op->Owner;
    StorageRequest* request = RequestOf(op);
    OffsetCache* cache = static_cast<OffsetCache*>(op->ArgumentSlot);
    if (op->Code == 0 && !s->ShuttingDown.load()) {
        const bool padded = (s->Flags.load() & STORAGE_FLAG_PAD) != 0;
        StorageRequestMember* m = nullptr;
        for (StorageRequest_MemberGetFirst(request, &m); m;) {
            uint32_t skip = 0, length = 0;
            uint64_t offset = 0;
            StorageRequest_MemberGetSkip(request, m, &skip);
            StorageRequest_MemberGetLength(request, m, &length);
            StorageRequest_MemberGetOffset(request, m, &offset);
            const uint32_t position = MemberPosition(request, m, padded);
            uint8_t* bytes = nullptr;
            uint8_t* end = nullptr;
            if (!skip && length && length <= (uint32_t)INT32_MAX &&
                StorageRequest_GetPointerAt(request, position + length, &end)) {
                StorageRequest_ReleasePointer(request, &end);
                if (StorageRequest_GetPointerAt(request, position, &bytes)) {
                    OffsetCache_Put(cache, offset, bytes, (int32_t)length);
                    StorageRequest_ReleasePointer(request, &bytes);
                }
            }
            StorageRequestMember* next = nullptr;
            StorageRequest_MemberGetNext(request, m, &next);
            m = next;
        }
    }
    OffsetCache_Release(&cache);
    Storage_OperationComplete(op, 0, 0);
}

// Hashes each piece's span of the content and compares it with the manifest's digest.
void StepVerify(StorageOperation* op) {
    StorageRequest* request = RequestOf(op);
    MetaFile* manifest = nullptr;
    PieceList* pieces = nullptr;
    const HashInterface* hash = nullptr;
    uint32_t digestSize = 0;
    if (!StorageRequest_GetMetaFileHandle(request, &manifest) || !manifest ||
        !MetaFile_GetPieceListHandle(manifest, &pieces) || !pieces || !PieceList_GetAlgorithm(pieces, &hash) ||
        !hash || !PieceList_GetDigestSize(pieces, &digestSize) || digestSize > hash->DigestSize) {
        Storage_OperationComplete(op, STORAGE_ERROR_HASH_FAILURE, 0);
        return;
    }
    const bool padded = StorageRequest_HasFlag(request, STORAGE_FLAG_PAD) != 0;
    uint32_t content = 0;
    StorageRequest_GetContentLength(request, &content);
    uint64_t start = 0, span = 0;
    bool failed = false;
    StorageRequestMember* m = nullptr;
    for (StorageRequest_MemberGetFirst(request, &m); m && !failed;) {
        uint32_t length = 0, padding = 0, index = 0;
        StorageRequest_MemberGetLength(request, m, &length);
        StorageRequest_MemberGetPadding(request, m, &padding);
        StorageRequest_MemberGetIndex(request, m, &index);
        if (StorageRequest_MemberIsIndexFirst(request, m)) {
            start = MemberPosition(request, m, padded);
            span = 0;
        }
        span += length + (padded ? padding : 0);
        if (StorageRequest_MemberIsIndexLast(request, m)) {
            uint8_t* bytes = nullptr;
            uint8_t* end = nullptr;
            uint8_t digest[64];
            if (start + span > content || span > (uint64_t)INT32_MAX ||
                !StorageRequest_GetPointerAt(request, (uint32_t)(start + span), &end)) {
                Storage_Print(op->Owner, "Not enough bytes to calculate digest (%d)", (int32_t)index);
                failed = true;
            } else {
                StorageRequest_ReleasePointer(request, &end);
                StorageRequest_GetPointerAt(request, (uint32_t)start, &bytes);
                failed = Hash_QuickDigest(hash, bytes, (int32_t)span, digest, sizeof(digest)) != 1 ||
                         !PieceList_CompareByIndex(pieces, (int32_t)index, digest, (int32_t)digestSize);
                StorageRequest_ReleasePointer(request, &bytes);
            }
        }
        StorageRequestMember* next = nullptr;
        StorageRequest_MemberGetNext(request, m, &next);
        m = next;
    }
    Storage_OperationComplete(op, failed ? (uint32_t)STORAGE_ERROR_HASH_FAILURE : 0u, 0);
}

// One backend step per member of the request.
void AddMemberSteps(Chain* chain, StorageStepFunc step, StorageRequest* request) {
    StorageRequestMember* m = nullptr;
    for (StorageRequest_MemberGetFirst(request, &m); m;) {
        Append(chain, NewStep(chain->Owner, step, STORAGE_SLOT_REQUEST, request, STORAGE_SLOT_MEMBER, m));
        StorageRequestMember* next = nullptr;
        StorageRequest_MemberGetNext(request, m, &next);
        m = next;
    }
}

} // namespace

namespace storage_internal {

void ChallengesShutdown(Storage* storage) {
    StorageOperation* waiting[64];
    for (;;) {
        uint32_t count = 0;
        {
            std::lock_guard<std::mutex> all(g_waitingLock);
            CriticalSectionGuard guard(storage->ChallengeLock);
            while (storage->ChallengeHead && count < 64) {
                StorageChallenge* c = storage->ChallengeHead;
                UnlinkWaiting(c);
                Unlink(storage, c);
                NotificationCenter_RemoveInstanceObserver("Challenge", "Response", c->Header.InstanceId, c,
                                                          OnChallengeResponse);
                waiting[count++] = c->Operation;
                Pool_Free(storage->Challenges, &c, sizeof(StorageChallenge));
            }
        }
        if (!count) break;
        for (uint32_t i = 0; i < count; ++i)
            Storage_OperationComplete(waiting[i], STORAGE_ERROR_STORAGE, STORAGE_EXTENDED_SHUTDOWN);
    }
}

} // namespace storage_internal

int64_t Storage_OperationComplete(StorageOperation* operation, uint32_t code, uint32_t extendedCode) {
    ASSERT_POINTER(operation);
    StorageOperation* op = operation;
    Storage* s = op->Owner;
    if (code) {
        op->Code = code;
        op->ExtendedCode = extendedCode;
    }
    if (op->Code == 0 && !(op->Flags & kStartStep)) Storage_SetIOTime(s, Time_GetCurrent());
    StorageOperation* next = op->Next;
    if (next) {
        next->Code = op->Code;
        next->ExtendedCode = op->ExtendedCode;
    }
    FreeStep(op);
    if (next && InlineNext && !*InlineNext) {
        // Run on this thread once the step that ended returns (RunStep), with the reference a post
        // takes.
        Storage_AddRef(next->Owner);
        *InlineNext = next;
    } else if (next) {
        Post(next);
    }
    // The reference the finished step was posted with.
    Storage_Release(&s);
    return 1;
}

int64_t Storage_Get(Storage* storage, StorageRequest* request, OffsetCache* cache, void* user,
                    StorageCallback callback) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    RequireRow(storage);
    StorageRequest_SetStorageHandle(request, storage);
    StorageRequest_SetContentLength(request, 0);
    MetaFile* manifest = nullptr;
    PieceList* pieces = nullptr;
    uint32_t hashPadding = 1;
    if (StorageRequest_GetMetaFileHandle(request, &manifest) && manifest &&
        MetaFile_GetPieceListHandle(manifest, &pieces) && pieces && !PieceList_GetHashPadding(pieces, &hashPadding))
        hashPadding = 1;
    const uint32_t target = hashPadding ? (uint32_t)STORAGE_FLAG_PAD : 0u;
    const bool padded = (storage->Flags.load() & STORAGE_FLAG_PAD) != 0;

    Chain chain = Begin(storage);
    bool fill = false;
    StorageRequestMember* m = nullptr;
    for (StorageRequest_MemberGetFirst(request, &m); m;) {
        uint32_t length = 0, padding = 0;
        uint64_t offset = 0;
        StorageRequest_MemberGetLength(request, m, &length);
        StorageRequest_MemberGetPadding(request, m, &padding);
        StorageRequest_MemberGetOffset(request, m, &offset);
        bool cached = false;
        if (cache && length && length <= (uint32_t)INT32_MAX) {
            const uint32_t position = MemberPosition(request, m, padded);
            uint8_t* bytes = nullptr;
            uint8_t* end = nullptr;
            // Only where the member's whole slice fits the buffer.
            if (StorageRequest_GetPointerAt(request, position + length, &end)) {
                StorageRequest_ReleasePointer(request, &end);
                StorageRequest_GetPointerAt(request, position, &bytes);
                int32_t got = 0;
                // An entry of another length (left from another layout of the stream) is a miss:
                // the backend reads the member, and the cache-fill step replaces the entry.
                if (OffsetCache_Get(cache, offset, bytes, (int32_t)length, &got) && got == (int32_t)length)
                    cached = true;
                else if (got > 0)
                    memset(bytes, 0, (size_t)got);
                StorageRequest_ReleasePointer(request, &bytes);
            }
        }
        if (cached) {
            StorageRequest_MemberSetSkip(request, m, 1);
            StorageRequest_AddContentLength(request, length + (padded ? padding : 0));
        } else {
            StorageRequest_MemberSetSkip(request, m, 0);
            Append(&chain, NewStep(storage, StepGet, STORAGE_SLOT_REQUEST, request, STORAGE_SLOT_MEMBER, m));
            if (length) fill = true;
        }
        StorageRequestMember* next = nullptr;
        StorageRequest_MemberGetNext(request, m, &next);
        m = next;
    }
    if (cache && fill) {
        OffsetCache_AddRef(cache);
        StorageOperation* op = NewStep(storage, StepCacheFill, STORAGE_SLOT_REQUEST, request, STORAGE_SLOT_CACHE, cache);
        op->Flags = STORAGE_OPERATION_ALWAYS_RUN;
        Append(&chain, op);
    }
    Add(&chain, StepAssignFlags, request);
    AddStages(&chain, target, request, true);
    Add(&chain, StepVerify, request);
    return Launch(&chain, request, request, user, callback);
}

int64_t Storage_Put(Storage* storage, StorageRequest* request, void* user, StorageCallback callback) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    RequireRow(storage);
    Chain chain = Begin(storage);
    AddStages(&chain, storage->Flags.load(), request, true);
    AddMemberSteps(&chain, StepPut, request);
    return Launch(&chain, request, request, user, callback);
}

int64_t Storage_Exists(Storage* storage, StorageRequest* request, void* user, StorageCallback callback) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    RequireRow(storage);
    Chain chain = Begin(storage);
    AddMemberSteps(&chain, StepExists, request);
    return Launch(&chain, request, request, user, callback);
}

int64_t Storage_Erase(Storage* storage, MetaFile* manifest, int32_t pieceIndex, void* user,
                      StorageCallback callback) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    CLASS_CHECK(manifest, METAFILE_CLASS_ID);
    RequireRow(storage);
    Chain chain = Begin(storage);
    Append(&chain, NewStep(storage, StepErase, STORAGE_SLOT_METAFILE, manifest, STORAGE_SLOT_INDEX,
                           reinterpret_cast<void*>((intptr_t)pieceIndex)));
    return Launch(&chain, nullptr, manifest, user, callback);
}

int64_t Storage_FileErase(Storage* storage, MetaFile* manifest, FileListMember* file, void* user,
                          StorageCallback callback) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    CLASS_CHECK(manifest, METAFILE_CLASS_ID);
    ASSERT_POINTER(file);
    RequireRow(storage);
    Chain chain = Begin(storage);
    Append(&chain, NewStep(storage, StepFileErase, STORAGE_SLOT_METAFILE, manifest, STORAGE_SLOT_FILE, file));
    return Launch(&chain, file, manifest, user, callback);
}

int64_t Storage_FileComplete(Storage* storage, StorageRequest* request, FileListMember* file, void* user,
                             StorageCallback callback) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    ASSERT_POINTER(file);
    RequireRow(storage);
    Chain chain = Begin(storage);
    Append(&chain, NewStep(storage, StepFileComplete, STORAGE_SLOT_REQUEST, request, STORAGE_SLOT_FILE, file));
    return Launch(&chain, file, request, user, callback);
}

int64_t Storage_OperationGetStorage(StorageOperation* operation, Storage** storage) {
    ASSERT_POINTER(operation);
    ASSERT_POINTER(storage);
    *storage = operation->Owner;
    return 1;
}

int64_t Storage_OperationGetRequest(StorageOperation* operation, StorageRequest** request) {
    ASSERT_POINTER(operation);
    ASSERT_POINTER(request);
    *request = operation->RequestKind == STORAGE_SLOT_REQUEST ? RequestOf(operation) : nullptr;
    return *request ? 1 : 0;
}

int64_t Storage_OperationGetMember(StorageOperation* operation, StorageRequestMember** member) {
    ASSERT_POINTER(operation);
    ASSERT_POINTER(member);
    *member = operation->ArgumentKind == STORAGE_SLOT_MEMBER
                  ? static_cast<StorageRequestMember*>(operation->ArgumentSlot)
                  : nullptr;
    return *member ? 1 : 0;
}

int64_t Storage_OperationGetMetaFile(StorageOperation* operation, MetaFile** manifest) {
    ASSERT_POINTER(operation);
    ASSERT_POINTER(manifest);
    *manifest = operation->RequestKind == STORAGE_SLOT_METAFILE ? static_cast<MetaFile*>(operation->RequestSlot)
                                                                : nullptr;
    return *manifest ? 1 : 0;
}

int64_t Storage_OperationGetPieceIndex(StorageOperation* operation, int32_t* index) {
    ASSERT_POINTER(operation);
    ASSERT_POINTER(index);
    *index = -1;
    if (operation->ArgumentKind != STORAGE_SLOT_INDEX) return 0;
    *index = (int32_t)reinterpret_cast<intptr_t>(operation->ArgumentSlot);
    return 1;
}

int64_t Storage_OperationGetFileRecord(StorageOperation* operation, FileListMember** file) {
    ASSERT_POINTER(operation);
    ASSERT_POINTER(file);
    *file = operation->ArgumentKind == STORAGE_SLOT_FILE ? static_cast<FileListMember*>(operation->ArgumentSlot)
                                                         : nullptr;
    return *file ? 1 : 0;
}
