// Authentication challenges that the browser engine meets, turned into requests of the credential
// broker; the broker's answer continues or cancels the engine's callback.
#include "host/cef/cef_auth_credentials.h"

#include <mutex>

#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/web/challenge.h"

namespace {

struct PendingQuestion {
    Class Base;
    CEFAuthCallback* Callback;
    PendingQuestion* Prev;
    PendingQuestion* Next;
};

struct PendingList {
    uint32_t ClassId;
    PendingQuestion* First;
    PendingQuestion* Last;
    int32_t Count;
};

// Questions arrive on the engine's I/O thread while answers and the shutdown's cancel come from
// other threads, so the list and its existence are guarded.
std::mutex& ListLock() {
    static std::mutex lock;
    return lock;
}
PendingList* GlobalAuthCredentials = nullptr;

void Unlink(PendingList* list, PendingQuestion* entry) {
    if (entry->Prev) entry->Prev->Next = entry->Next;
    else list->First = entry->Next;
    if (entry->Next) entry->Next->Prev = entry->Prev;
    else list->Last = entry->Prev;
    entry->Prev = entry->Next = nullptr;
    list->Count--;
}

void FreeQuestion(PendingQuestion* entry) {
    if (entry->Callback) entry->Callback->Release();
    entry->Base.ClassId = 0;
    Memory_Free(entry, sizeof(PendingQuestion));
}

void StopObserving(const char* instance) {
    NotificationCenter_RemoveInstanceObserver("Challenge", "Response", instance, nullptr, AuthCredentials_OnResponse);
}

} // namespace

int64_t AuthCredentials_Get(uint32_t isProxy, const char* host, int32_t port, const char* realm,
                            CEFAuthCallback* callback) {
    ASSERT_POINTER(callback);
    if (CEFEngine* engine = CEFEngine_Get())
        ASSERT_MSG(engine->CurrentlyOn(CEF_THREAD_IO), "Credentials are asked for on the engine's I/O thread");
    char hostText[AUTHCREDENTIALS_TEXT_SIZE];
    char realmText[AUTHCREDENTIALS_TEXT_SIZE];
    char hostPort[AUTHCREDENTIALS_TEXT_SIZE];
    String_CopyLength(hostText, host ? host : "", sizeof(hostText));
    String_CopyLength(realmText, realm ? realm : "", sizeof(realmText));
    String_Print(hostPort, sizeof(hostPort), "%s:%d", hostText, port);

    Dictionary* request = nullptr;
    if (!Dictionary_Create(&request)) {
        callback->Cancel();
        return 1;
    }
    Dictionary_AddString(request, "filter", isProxy ? "webgetproxy" : "webgetserver", nullptr);
    Dictionary_AddInt64(request, "type", isProxy ? 1 : 0, nullptr);
    Dictionary_AddString(request, "host", hostPort, nullptr);
    Dictionary_AddString(request, "realm", realmText, nullptr);

    PendingQuestion* entry = static_cast<PendingQuestion*>(Memory_AllocZero(sizeof(PendingQuestion)));
    entry->Base.ClassId = AUTHCREDENTIALS_CLASS_ID;
    entry->Base.RefCount = 1;
    Class_GenerateInstanceIdReal(entry);
    callback->AddRef();
    entry->Callback = callback;
    // The id outlives the entry, which another thread may answer and free at once.
    char instance[sizeof(entry->Base.InstanceId)];
    String_CopyLength(instance, entry->Base.InstanceId, sizeof(instance));
    NotificationCenter_AddInstanceObserver("Challenge", "Response", instance, nullptr, AuthCredentials_OnResponse);
    {
        std::lock_guard<std::mutex> guard(ListLock());
        if (!GlobalAuthCredentials) {
            GlobalAuthCredentials = static_cast<PendingList*>(Memory_AllocZero(sizeof(PendingList)));
            GlobalAuthCredentials->ClassId = AUTHCREDENTIALS_CLASS_ID;
        }
        PendingList* list = GlobalAuthCredentials;
        entry->Prev = list->Last;
        if (list->Last) list->Last->Next = entry;
        else list->First = entry;
        list->Last = entry;
        list->Count++;
    }
    Challenge_Request(request, instance);
    Dictionary_Release(&request);
    return 1;
}

int64_t AuthCredentials_OnResponse(void*, const char*, const char*, const char* instance, Dictionary* info) {
    if (!instance) return 1;
    StopObserving(instance);
    PendingQuestion* entry = nullptr;
    {
        std::lock_guard<std::mutex> guard(ListLock());
        PendingList* list = GlobalAuthCredentials;
        for (PendingQuestion* at = list ? list->First : nullptr; at; at = at->Next) {
            if (String_Compare(at->Base.InstanceId, instance)) {
                entry = at;
                break;
            }
        }
        if (entry) Unlink(list, entry);
    }
    if (!entry) return 1;
    uint32_t cancel = 0;
    char username[AUTHCREDENTIALS_SECRET_SIZE];
    char password[AUTHCREDENTIALS_SECRET_SIZE];
    bool complete = false;
    if (info) {
        Dictionary_GetBooleanByKey(info, "cancel", &cancel);
        complete = Dictionary_GetStringByKey(info, "username", username, sizeof(username)) &&
                   Dictionary_GetStringByKey(info, "password", password, sizeof(password));
    }
    if (cancel || !complete)
        entry->Callback->Cancel();
    else
        entry->Callback->Continue(username, password);
    Memory_CryptFill(password, sizeof(password));
    FreeQuestion(entry);
    return 1;
}

int64_t AuthCredentials_CancelAll() {
    PendingList* list = nullptr;
    {
        std::lock_guard<std::mutex> guard(ListLock());
        list = GlobalAuthCredentials;
        GlobalAuthCredentials = nullptr;
    }
    // The list is detached: the callbacks run without the lock, and a new question starts a new list.
    if (!list) return 1;
    while (PendingQuestion* entry = list->First) {
        Unlink(list, entry);
        StopObserving(entry->Base.InstanceId);
        entry->Callback->Cancel();
        FreeQuestion(entry);
    }
    list->ClassId = 0;
    Memory_Free(list, sizeof(PendingList));
    return 1;
}
