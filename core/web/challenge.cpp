// The credential broker: a queue of requests for secrets, one prompt at a time through
// "Challenge"/"PromptRequest", a memory of answers keyed by each filter's fields, and delivery of
// answers to their requesters by instance id.
#include "core/web/challenge.h"

#include <atomic>
#include <cstring>

#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"

namespace {

typedef bool (*ChallengeFilterFunc)(Dictionary* cached, Dictionary* request);

struct ChallengeRequestNode {
    Dictionary* Request;
    char InstanceId[37];
    ChallengeRequestNode* Next;
};

struct ChallengeResponseNode {
    Dictionary* Response;
    uint32_t Attempts;
    ChallengeResponseNode* Next;
};

struct ChallengeBroker {
    uint32_t ClassId;
    uint32_t Worker;
    CriticalSection* Lock;
    Pool* RequestPool;
    Pool* ResponsePool;
    ChallengeRequestNode* PendingHead;
    ChallengeRequestNode* PendingTail;
    ChallengeResponseNode* CachedHead;
    ChallengeResponseNode* CachedTail;
    uint32_t Prompting;
};

std::atomic<ChallengeBroker*> GlobalChallenge{nullptr};

constexpr uint32_t PoolChunk = 10;

// A named field present in both and equal byte for byte.
bool SameField(Dictionary* a, Dictionary* b, const char* key) {
    const char* x = nullptr;
    const char* y = nullptr;
    int32_t xn = 0, yn = 0;
    if (!Dictionary_GetBufferPtrByKey(a, key, &x, &xn) || !Dictionary_GetBufferPtrByKey(b, key, &y, &yn)) return false;
    return xn == yn && (xn == 0 || memcmp(x, y, (size_t)xn) == 0);
}

// "type" present in both as equal integers.
bool SameType(Dictionary* a, Dictionary* b) {
    uint32_t ta = 0, tb = 0;
    if (!Dictionary_GetTypeByKey(a, "type", &ta) || !Dictionary_GetTypeByKey(b, "type", &tb)) return false;
    if (ta != DICTIONARY_TYPE_INT64 || tb != DICTIONARY_TYPE_INT64) return false;
    int32_t x = 0, y = 0;
    Dictionary_GetInt32ByKey(a, "type", &x);
    Dictionary_GetInt32ByKey(b, "type", &y);
    return x == y;
}

bool FilterWebGet(Dictionary* cached, Dictionary* request) {
    return SameField(cached, request, "filter") && SameField(cached, request, "host") &&
           SameField(cached, request, "realm") && SameType(cached, request);
}

bool FilterClientCert(Dictionary* cached, Dictionary* request) {
    return SameField(cached, request, "filter") && SameField(cached, request, "address");
}

bool FilterStorageDecrypt(Dictionary* cached, Dictionary* request) {
    return SameField(cached, request, "filter") && SameField(cached, request, "host");
}

// The rule for a dictionary's "filter"; null (and a log line) for a missing or unknown one.
// Requests and answers also come from scripts and from the other process, so a bad one is
// dropped, never a reason to stop.
ChallengeFilterFunc FilterFor(Dictionary* dict) {
    const char* filter = nullptr;
    if (!Dictionary_GetStringPtrByKey(dict, "filter", &filter) || !filter) {
        Log_Print(LOG_LEVEL_WARNING, "Dictionary missing filter key");
        return nullptr;
    }
    if (String_CompareWithoutCase(filter, "WebGetServer") || String_CompareWithoutCase(filter, "WebGetProxy"))
        return FilterWebGet;
    if (String_CompareWithoutCase(filter, "ClientCert")) return FilterClientCert;
    if (String_CompareWithoutCase(filter, "StorageDecrypt")) return FilterStorageDecrypt;
    Log_Print(LOG_LEVEL_WARNING, "Unknown filter value (%.64s)", filter);
    return nullptr;
}

Dictionary* Copy(Dictionary* source) {
    Dictionary* copy = nullptr;
    Dictionary_Create(&copy);
    Dictionary_Merge(copy, source, DICTIONARY_MERGE_OVERWRITE);
    return copy;
}

// The cached answer matching the request, under the request's rule.
ChallengeResponseNode* FindCached(ChallengeBroker* b, Dictionary* request) {
    const ChallengeFilterFunc filter = FilterFor(request);
    if (!filter) return nullptr;
    for (ChallengeResponseNode* n = b->CachedHead; n; n = n->Next)
        if (filter(n->Response, request)) return n;
    return nullptr;
}

bool IsInvalid(ChallengeResponseNode* n) {
    uint32_t invalid = 0;
    Dictionary_GetBooleanByKey(n->Response, "invalid", &invalid);
    return invalid != 0;
}

void RemoveCached(ChallengeBroker* b, ChallengeResponseNode* node) {
    ChallengeResponseNode** link = &b->CachedHead;
    ChallengeResponseNode* prev = nullptr;
    while (*link && *link != node) {
        prev = *link;
        link = &(*link)->Next;
    }
    if (!*link) return;
    *link = node->Next;
    if (b->CachedTail == node) b->CachedTail = prev;
    Dictionary_Release(&node->Response);
    Pool_Free(b->ResponsePool, &node, sizeof(ChallengeResponseNode));
}

// Answers every pending request that the cached answer matches, in queue order. The requests are
// taken off the queue before any "Response" is fired, so a receiver that calls back into the
// broker sees a consistent queue.
void ActiveResume(ChallengeBroker* b, ChallengeResponseNode* cached) {
    ChallengeRequestNode* answered = nullptr;
    ChallengeRequestNode** answeredTail = &answered;
    ChallengeRequestNode* prev = nullptr;
    for (ChallengeRequestNode* n = b->PendingHead; n;) {
        ChallengeRequestNode* next = n->Next;
        if (FilterFor(n->Request)(cached->Response, n->Request)) {
            if (prev) prev->Next = next;
            else b->PendingHead = next;
            if (b->PendingTail == n) b->PendingTail = prev;
            n->Next = nullptr;
            *answeredTail = n;
            answeredTail = &n->Next;
        } else {
            prev = n;
        }
        n = next;
    }
    while (ChallengeRequestNode* n = answered) {
        answered = n->Next;
        NotificationCenter_Fire("Challenge", "Response", n->InstanceId, cached->Response);
        Dictionary_Release(&n->Request);
        Pool_Free(b->RequestPool, &n, sizeof(ChallengeRequestNode));
    }
}

// Prompts for the head request unless a prompt is already showing.
void ActiveNext(ChallengeBroker* b) {
    if (b->Prompting || !b->PendingHead) return;
    b->Prompting = 1;
    ChallengeRequestNode* head = b->PendingHead;
    ChallengeResponseNode* cached = FindCached(b, head->Request);
    Dictionary_SetInt32ByKey(head->Request, "attempt", cached ? (int32_t)cached->Attempts : 0);
    NotificationCenter_Fire("Challenge", "PromptRequest", head->InstanceId, head->Request);
}

const char* TextOrEmpty(Dictionary* dict, const char* key) {
    const char* text = nullptr;
    if (!Dictionary_GetStringPtrByKey(dict, key, &text) || !text) return "";
    return text;
}

// The broker for a lookup, locked, with the prompt flag cleared; null when there is none.
ChallengeBroker* LockForLookup() {
    ChallengeBroker* b = GlobalChallenge.load();
    if (!b) return nullptr;
    CriticalSection_Lock(b->Lock);
    b->Prompting = 0;
    return b;
}

} // namespace

int64_t Challenge_Init(uint32_t worker) {
    ASSERT_MSG(GlobalChallenge.load() == nullptr, "Challenge already initialized");
    ChallengeBroker* b = static_cast<ChallengeBroker*>(Memory_AllocZero(sizeof(ChallengeBroker)));
    b->ClassId = CHALLENGE_CLASS_ID;
    b->Worker = worker ? 1 : 0;
    CriticalSection_Create(&b->Lock);
    Pool_Create(&b->RequestPool);
    Pool_SetMemorySize(b->RequestPool, sizeof(ChallengeRequestNode));
    Pool_SetChunkSize(b->RequestPool, PoolChunk);
    Pool_Create(&b->ResponsePool);
    Pool_SetMemorySize(b->ResponsePool, sizeof(ChallengeResponseNode));
    Pool_SetChunkSize(b->ResponsePool, PoolChunk);
    GlobalChallenge.store(b);
    if (!b->Worker) {
        NotificationCenter_AddObserver("Challenge", "Request", b, Challenge_Notification_Request);
        NotificationCenter_AddObserver("Challenge", "PromptResponse", b, Challenge_Notification_PromptResponse);
    }
    return 1;
}

int64_t Challenge_Remove() {
    ChallengeBroker* b = GlobalChallenge.load();
    if (!b) return 1;
    if (!b->Worker) {
        NotificationCenter_RemoveObserver("Challenge", "Request", b, Challenge_Notification_Request);
        NotificationCenter_RemoveObserver("Challenge", "PromptResponse", b, Challenge_Notification_PromptResponse);
    }
    GlobalChallenge.store(nullptr);
    CriticalSection_Delete(&b->Lock);
    while (ChallengeRequestNode* n = b->PendingHead) {
        b->PendingHead = n->Next;
        Dictionary_Release(&n->Request);
        Pool_Free(b->RequestPool, &n, sizeof(ChallengeRequestNode));
    }
    while (ChallengeResponseNode* n = b->CachedHead) {
        b->CachedHead = n->Next;
        Dictionary_Release(&n->Response);
        Pool_Free(b->ResponsePool, &n, sizeof(ChallengeResponseNode));
    }
    Pool_Delete(&b->RequestPool);
    Pool_Delete(&b->ResponsePool);
    b->ClassId = 0;
    Memory_Free(b, sizeof(ChallengeBroker));
    return 1;
}

int64_t Challenge_IsStarted() {
    return GlobalChallenge.load() != nullptr;
}

int64_t Challenge_Request(Dictionary* request, const char* requesterId) {
    ASSERT_POINTER(request);
    ASSERT_POINTER(requesterId);
    NotificationCenter_FireAfterDelay("Challenge", "Request", requesterId, 0, request);
    return 1;
}

int64_t Challenge_ResponseFind(Dictionary* request, Dictionary* out) {
    ASSERT_POINTER(request);
    ASSERT_POINTER(out);
    ChallengeBroker* b = LockForLookup();
    if (!b) return 0;
    if (b->Worker) Debug_Abort("Assertion failed (GlobalChallenge->Worker == FALSE)\nUnable to find response in worker process");
    ChallengeResponseNode* n = FindCached(b, request);
    if (n) Dictionary_Merge(out, n->Response, DICTIONARY_MERGE_OVERWRITE);
    CriticalSection_Unlock(b->Lock);
    return n ? 1 : 0;
}

int64_t Challenge_ResponseLast(const char* filter, Dictionary* out) {
    ASSERT_POINTER(filter);
    ASSERT_POINTER(out);
    ChallengeBroker* b = LockForLookup();
    if (!b) return 0;
    if (b->Worker)
        Debug_Abort("Assertion failed (GlobalChallenge->Worker == FALSE)\nUnable to find last response in worker process");
    ChallengeResponseNode* found = nullptr;
    for (ChallengeResponseNode* n = b->CachedHead; n && !found; n = n->Next) {
        const char* text = nullptr;
        if (Dictionary_GetStringPtrByKey(n->Response, "filter", &text) && text && String_Compare(text, filter))
            found = n;
    }
    if (found) Dictionary_Merge(out, found->Response, DICTIONARY_MERGE_OVERWRITE);
    CriticalSection_Unlock(b->Lock);
    return found ? 1 : 0;
}

int64_t Challenge_ResponseInvalidate(Dictionary* request) {
    ASSERT_POINTER(request);
    ChallengeBroker* b = LockForLookup();
    if (!b) return 0;
    ChallengeResponseNode* n = FindCached(b, request);
    if (n) Dictionary_SetBooleanByKey(n->Response, "invalid", 1);
    CriticalSection_Unlock(b->Lock);
    return n ? 1 : 0;
}

int64_t Challenge_Lock() {
    ChallengeBroker* b = GlobalChallenge.load();
    if (!b) return 0;
    return CriticalSection_Lock(b->Lock);
}

int64_t Challenge_Unlock() {
    ChallengeBroker* b = GlobalChallenge.load();
    if (!b) return 0;
    return CriticalSection_Unlock(b->Lock);
}

int64_t Challenge_Notification_Request(void*, const char*, const char*, const char* instance, Dictionary* info) {
    ChallengeBroker* b = GlobalChallenge.load();
    if (!b || !info) return 0;
    CriticalSectionGuard guard(b->Lock);
    if (!FilterFor(info)) return 0;
    ChallengeRequestNode* node = static_cast<ChallengeRequestNode*>(Pool_Alloc(b->RequestPool, sizeof(ChallengeRequestNode)));
    node->Request = Copy(info);
    String_CopyLength(node->InstanceId, instance ? instance : "", (int32_t)sizeof(node->InstanceId));
    node->Next = nullptr;
    if (b->PendingTail) b->PendingTail->Next = node;
    else b->PendingHead = node;
    b->PendingTail = node;

    ChallengeResponseNode* cached = FindCached(b, info);
    if (cached && !IsInvalid(cached)) {
        // The requester already tried exactly these credentials: they failed, so ask the user.
        const bool tried = String_Compare(TextOrEmpty(info, "username"), TextOrEmpty(cached->Response, "username")) &&
                           String_Compare(TextOrEmpty(info, "password"), TextOrEmpty(cached->Response, "password"));
        if (!tried) {
            ActiveResume(b, cached);
            return 1;
        }
    }
    ActiveNext(b);
    return 1;
}

int64_t Challenge_Notification_PromptResponse(void*, const char*, const char*, const char*, Dictionary* info) {
    ChallengeBroker* b = GlobalChallenge.load();
    if (!b || !info) return 0;
    if (b->Worker) Debug_Abort("Assertion failed (GlobalChallenge->Worker == FALSE)\nResponse called in worker environment");
    CriticalSectionGuard guard(b->Lock);
    if (!FilterFor(info)) {
        // The prompt it may have answered is still showing: the next request waits for it.
        return 0;
    }
    uint32_t cancel = 0;
    Dictionary_GetBooleanByKey(info, "cancel", &cancel);
    b->Prompting = 0;
    ChallengeResponseNode* cached = FindCached(b, info);
    if (cached) {
        Dictionary_RemoveByKey(cached->Response, "invalid");
        Dictionary_Sync(cached->Response, info, nullptr, nullptr);
    } else {
        cached = static_cast<ChallengeResponseNode*>(Pool_Alloc(b->ResponsePool, sizeof(ChallengeResponseNode)));
        cached->Response = Copy(info);
        cached->Attempts = 0;
        cached->Next = nullptr;
        if (b->CachedTail) b->CachedTail->Next = cached;
        else b->CachedHead = cached;
        b->CachedTail = cached;
    }
    Dictionary_RemoveByKey(cached->Response, "isRemote");
    cached->Attempts++;
    ActiveResume(b, cached);
    // A cancel is delivered but never remembered.
    if (cancel) RemoveCached(b, cached);
    ActiveNext(b);
    return 1;
}
