// Script-visible instances of the bridge: creation through the libraries, lookup by id text,
// invocation with a request Dictionary or JSON text, use counts, and removal.
#include <cstring>

#include "core/formats/crc.h"
#include "core/formats/interop.h"
#include "core/formats/interop_internal.h"
#include "core/formats/json.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/hash_table.h"
#include "core/runtime/log.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"

namespace {

// Keys are instance ids; 320 bytes leave room for any id a caller may look up, so that a long id
// is compared whole and never matches a shorter one by being cut.
constexpr uint32_t kKeySize = 320;
constexpr uint32_t kBucketCount = 512;
// The longest method text shown in a log line (the hash is taken over the whole text).
constexpr int32_t kMethodSize = 120;
// How long an instance lives before each "active" report.
constexpr double kNoteSeconds = 15.0;

// All of these run with the registry lock held.
InteropInstance* FindLocked(Interop* r, const char* id) {
    if (!id) return nullptr;
    HashTableMember* member = nullptr;
    if (!HashTable_MemberFindByKey(r->Instances, id, &member) || !member) return nullptr;
    uint64_t value = 0;
    HashTable_MemberGetValue(r->Instances, member, &value);
    return reinterpret_cast<InteropInstance*>(static_cast<uintptr_t>(value));
}

const char* IdLocked(Interop* r, InteropInstance* instance) {
    const void* key = nullptr;
    HashTable_MemberGetKey(r->Instances, instance->Member, &key);
    return static_cast<const char*>(key);
}

void UnlinkLocked(Interop* r, InteropInstance* instance) {
    HashTableMember* member = instance->Member;
    if (!member) return;
    if (r->Cursor == member) {
        HashTableMember* next = nullptr;
        HashTable_MemberGetNext(r->Instances, member, &next);
        r->Cursor = next;
    }
    HashTable_MemberRemove(r->Instances, &member);
    instance->Member = nullptr;
}

// What is to be done with a record after one of its holds was dropped.
enum class Drop { Kept, FreeNow, Deferred };

// Drops one hold (lock held). The last one makes the record due: freed by the caller at once on
// the main thread; from another thread it waits for the next pass, since libraries expect their
// Release on the main thread (some, such as the script contexts' registration, demand it).
Drop DropHoldLocked(Interop* r, InteropInstance* instance) {
    if (InteropCount_Lower(instance->Holds) != 1) return Drop::Kept;
    if (Thread_GetMainId() == Thread_GetCurrentId()) return Drop::FreeNow;
    instance->NextRetired = r->Retired;
    r->Retired = instance;
    return Drop::Deferred;
}

// Calls Release outside the lock (a library entry point), then frees the record and lets the
// library go.
void ReleaseAndFree(Interop* r, InteropInstance* instance) {
    if (instance->Release) instance->Release(&instance->UserContext);
    CriticalSectionGuard guard(r->Lock);
    if (instance->Library) instance->Library->Calls.fetch_sub(1);
    instance->ClassId = 0;
    Pool_Free(r->InstancePool, &instance, sizeof(InteropInstance));
}

// Acts on a drop once the lock is no longer held.
void Settle(Interop* r, InteropInstance* instance, Drop drop) {
    if (drop == Drop::FreeNow)
        ReleaseAndFree(r, instance);
    else if (drop == Drop::Deferred)
        EventQueue_AddProcess(nullptr, r, Interop_ProcessEvent);
}

InteropInstance* CheckedInstance(InteropInstance* instance) {
    ASSERT_POINTER(instance);
    if (instance->ClassId != INTEROP_INSTANCE_CLASS_ID)
        Debug_AbortInt(__FILE__, __LINE__, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",
                       instance, (uint32_t)INTEROP_INSTANCE_CLASS_ID, instance->ClassId);
    return instance;
}

// Keeps a caller's id within the buffer and the 39 characters an id may have.
void TerminateId(char* id, int32_t idSize) {
    id[idSize - 1] = 0;
    if (idSize > (int32_t)INTEROP_INSTANCE_ID_SIZE) id[INTEROP_INSTANCE_ID_SIZE - 1] = 0;
}

struct Created {
    InteropLibrary* Library = nullptr;
    InteropInvokeFunc Invoke = nullptr;
    InteropReleaseFunc Release = nullptr;
    InteropProcessFunc Process = nullptr;
    void* UserContext = nullptr;
};

// Offers the class to each library in registration order; the first that answers 1 wins. The
// winner's Calls stays raised (it must not unload before the instance is in the table).
bool OfferToLibraries(Interop* r, const char* className, char* id, int32_t idSize, void* executeUser,
                      InteropExecuteFunc executeFunction, Created* made) {
    CriticalSectionGuard guard(r->Lock);
    for (InteropLibrary* lib = r->Libraries.First; lib; lib = lib->Next) {
        if (lib->UnloadThread.load()) {
            Log_Error("Trying to create an instance while shutting down (%s:%s)\n", className, id);
            continue;
        }
        lib->Calls.fetch_add(1);
        CriticalSection_Unlock(r->Lock);
        const int64_t accepted =
            lib->CreateInstance(className, id, idSize, executeUser, executeFunction, &made->Invoke,
                                &made->Release, &made->Process, &made->UserContext);
        CriticalSection_Lock(r->Lock);
        TerminateId(id, idSize);
        if (accepted == 1) {
            made->Library = lib;
            return true;
        }
        lib->Calls.fetch_sub(1);
        *made = Created{};
    }
    return false;
}

} // namespace

void InteropInstance_CreateTable(Interop* r) {
    HashTable_Create(&r->Instances, kKeySize, kBucketCount);
    HashTable_SetKeyAssignCallback(r->Instances, nullptr, HashTable_StringKeyAssign);
    HashTable_SetValueCallback(r->Instances, nullptr, HashTable_StringValueWithoutCase);
    HashTable_SetCompareCallback(r->Instances, nullptr, HashTable_StringCompareWithoutCase);
}

void InteropInstance_DeleteTable(Interop* r) {
    // Instances still here are dropped without their Release: callers remove them first.
    HashTable_Delete(&r->Instances);
    r->Cursor = nullptr;
}

void InteropInstance_FreeRetired(Interop* r) {
    InteropInstance* retired = nullptr;
    {
        CriticalSectionGuard guard(r->Lock);
        retired = r->Retired;
        r->Retired = nullptr;
    }
    while (retired) {
        InteropInstance* next = retired->NextRetired;
        ReleaseAndFree(r, retired);
        retired = next;
    }
}

void InteropInstance_ProcessSlice(Interop* r) {
    InteropInstance_FreeRetired(r);
    const double start = Time_GetCurrent();
    CriticalSectionGuard guard(r->Lock);
    HashTableMember* member = r->Cursor;
    if (!member) HashTable_MemberGetFirst(r->Instances, &member);
    while (member) {
        uint64_t value = 0;
        HashTable_MemberGetValue(r->Instances, member, &value);
        InteropInstance* instance = reinterpret_cast<InteropInstance*>(static_cast<uintptr_t>(value));
        HashTableMember* next = nullptr;
        HashTable_MemberGetNext(r->Instances, member, &next);
        r->Cursor = next;
        InteropCount_Raise(instance->UseCount);
        InteropCount_Raise(instance->Holds);
        if (instance->Process) {
            CriticalSection_Unlock(r->Lock);
            instance->Process(instance->UserContext);
            CriticalSection_Lock(r->Lock);
        }
        InteropCount_Lower(instance->UseCount);
        Drop drop = Drop::Kept;
        if (instance->UseCount.load() == 0 && instance->Member) {
            if (r->Verbose)
                Log_Info("Interop remove instance (%s) after %.2f second(s)\n", IdLocked(r, instance),
                         Time_GetCurrent() - instance->Created);
            UnlinkLocked(r, instance);
            drop = DropHoldLocked(r, instance);
        }
        // The pass runs on the main thread: whichever hold is the last, the record goes now.
        if (DropHoldLocked(r, instance) == Drop::FreeNow) drop = Drop::FreeNow;
        if (drop == Drop::FreeNow) {
            CriticalSection_Unlock(r->Lock);
            ReleaseAndFree(r, instance);
            CriticalSection_Lock(r->Lock);
        }
        // Another thread may have removed the next member meanwhile: the cursor was moved on.
        member = r->Cursor;
        if (Time_GetCurrent() - start >= 0.1) break;
    }
}

int64_t Interop_DispatchCreateInstance(const char* className, char* id, int32_t idSize, void* requester,
                                       void* executeUser, InteropExecuteFunc executeFunction) {
    ASSERT_POINTER(id);
    ASSERT_MSG(idSize > 0, "Id buffer size must not be zero");
    Interop* r = Interop_Registry();
    if (!className) className = "";
    TerminateId(id, idSize);
    if (id[0]) {
        if (String_CompareWithoutCase(id, "undefined")) {
            id[0] = 0;
        } else {
            CriticalSectionGuard guard(r->Lock);
            if (InteropInstance* existing = FindLocked(r, id)) {
                InteropCount_Raise(existing->UseCount);
                return 1;
            }
        }
    }
    Created made;
    if (!OfferToLibraries(r, className, id, idSize, executeUser, executeFunction, &made)) {
        Log_Error("Unhandled create instance (%s:%s)\n", className, id);
        return 0;
    }
    if (!id[0]) Interop_GenerateInstanceId(id, idSize);
    void* discard = nullptr;
    bool kept = false;
    {
        CriticalSectionGuard guard(r->Lock);
        if (InteropInstance* existing = FindLocked(r, id)) {
            InteropCount_Raise(existing->UseCount);
            kept = true;
            if (existing->Library != made.Library)
                Log_Error("Library member doesn't match last instance (%s)\n", id);
            if (existing->UserContext != made.UserContext)
                Log_Error("User context pointer doesn't match last instance (%s)\n", id);
            if (existing->Requester != requester)
                Log_Error("Request context pointer doesn't match last instance (%s)\n", id);
            if (existing->Invoke != made.Invoke)
                Log_Error("Invoke pointer doesn't match last instance (%s)\n", id);
            if (existing->Release != made.Release)
                Log_Error("Release pointer doesn't match last instance (%s)\n", id);
            if (existing->Process != made.Process)
                Log_Error("Process pointer doesn't match last instance (%s)\n", id);
            // The kept instance already owns its context; a second object made for the same id
            // would otherwise be lost with nobody to release it.
            if (made.UserContext && made.UserContext != existing->UserContext && made.Release)
                discard = made.UserContext;
        } else {
            InteropInstance* instance =
                static_cast<InteropInstance*>(Pool_Alloc(r->InstancePool, sizeof(InteropInstance)));
            memset(static_cast<void*>(instance), 0, sizeof(InteropInstance));
            instance->ClassId = INTEROP_INSTANCE_CLASS_ID;
            instance->UseCount.store(1);
            instance->Holds.store(1);
            instance->Created = instance->LastNoted = Time_GetCurrent();
            instance->UserContext = made.UserContext;
            instance->Requester = requester;
            instance->Invoke = made.Invoke;
            instance->Release = made.Release;
            instance->Process = made.Process;
            instance->Library = made.Library;
            // The record keeps the library's Calls raised by the offer until it is freed.
            HashTable_AddEx(r->Instances, id, (uint64_t)(uintptr_t)instance, &instance->Member);
        }
    }
    if (discard) made.Release(&discard);
    // The library's code was needed up to the Release of the object made in vain.
    if (kept) made.Library->Calls.fetch_sub(1);
    if (r->Verbose) Log_Info("Interop create instance (%s:%s)\n", id, className);
    return 1;
}

int64_t Interop_GetInstance(const char* id, InteropInstance** instance) {
    ASSERT_POINTER(instance);
    *instance = nullptr;
    Interop* r = Interop_Registry();
    CriticalSectionGuard guard(r->Lock);
    InteropInstance* found = FindLocked(r, id);
    if (!found) return 0;
    InteropCount_Raise(found->UseCount);
    InteropCount_Raise(found->Holds);
    *instance = found;
    return 1;
}

int64_t Interop_ReleaseInstance(InteropInstance** instance) {
    ASSERT_POINTER(instance);
    InteropInstance* found = CheckedInstance(*instance);
    Interop* r = Interop_Registry();
    Drop drop = Drop::Kept;
    {
        CriticalSectionGuard guard(r->Lock);
        InteropCount_Lower(found->UseCount);
        drop = DropHoldLocked(r, found);
    }
    *instance = nullptr;
    Settle(r, found, drop);
    return 1;
}

int64_t Interop_DispatchInvoke(const char* id, Dictionary* request, Dictionary* response) {
    ASSERT_POINTER(request);
    ASSERT_POINTER(response);
    Dictionary_Reset(response);
    char method[kMethodSize] = {0};
    Dictionary_GetStringByKey(request, "method", method, (int32_t)sizeof(method));
    // The hash stands for the whole name: a long name must not pass for another one that
    // shares its beginning.
    const char* whole = nullptr;
    int32_t wholeLength = 0;
    if (Dictionary_GetStringPtrByKey(request, "method", &whole))
        Dictionary_GetBufferPtrByKey(request, "method", &whole, &wholeLength);
    if (!id) id = "";
    InteropInstance* instance = nullptr;
    if (!Interop_GetInstance(id, &instance)) {
        Log_Error("Unable to dispatch invoke. (%s not found) (%s)\n", id, method);
        return 0;
    }
    int64_t result = 0;
    if (!instance->Invoke) {
        Log_Error("%s does not contain invoke callback. (%s)\n", id, method);
    } else {
        const uint32_t hash = wholeLength > 0 ? CRC_Update(0, whole, (uint32_t)wholeLength) : 0;
        Dictionary_SetInt32ByKey(request, "#methodHash", static_cast<int32_t>(hash));
        result = instance->Invoke(instance->UserContext, request, response) ? 1 : 0;
    }
    Interop_ReleaseInstance(&instance);
    return result;
}

int64_t Interop_DispatchInvokeJSON(const char* id, const char* text, MemoryStream* output) {
    ASSERT_POINTER(output);
    MemoryStream_DiscardAll(output);
    Dictionary* requestRoot = nullptr;
    Dictionary* responseRoot = nullptr;
    JSON* json = nullptr;
    Dictionary_Create(&requestRoot);
    Dictionary_Create(&responseRoot);
    JSON_Create(&json);
    JSON_SetMinify(json, 1);
    JSON_SetPrivateKeys(json, 1);
    JSON_SetDictionaryHandle(json, requestRoot);
    int64_t result = 0;
    if (!text || !JSON_LoadBuffer(json, text, (uint32_t)strlen(text))) {
        Log_Error("Invoker unable to parse method string as json (%s)\n", text ? text : "");
    } else {
        Dictionary* request = nullptr;
        Dictionary_SkipRoot(requestRoot, &request);
        Dictionary* response = nullptr;
        Dictionary_AddDictionary(responseRoot, nullptr, &response, nullptr);
        if (Interop_DispatchInvoke(id, request, response)) {
            Stream* stream = nullptr;
            MemoryStream_GetStreamHandle(output, &stream);
            JSON_SetDictionaryHandle(json, responseRoot);
            result = JSON_SaveStream(json, stream) ? 1 : 0;
            if (!result) MemoryStream_DiscardAll(output);
        }
    }
    JSON_Release(&json);
    Dictionary_Release(&requestRoot);
    Dictionary_Release(&responseRoot);
    return result;
}

int64_t Interop_DispatchReleaseInstance(const char* id) {
    Interop* r = Interop_Registry();
    {
        CriticalSectionGuard guard(r->Lock);
        if (InteropInstance* found = FindLocked(r, id)) {
            InteropCount_Lower(found->UseCount);
            return 1;
        }
    }
    Log_Error("Unable to release instance. (%s not found)\n", id ? id : "");
    return 0;
}

int64_t Interop_DispatchHasInstance(const char* id) {
    Interop* r = Interop_Registry();
    CriticalSectionGuard guard(r->Lock);
    return FindLocked(r, id) ? 1 : 0;
}

int64_t Interop_RemoveInstance(InteropInstance* instance, const char* /*id*/) {
    CheckedInstance(instance);
    Interop* r = Interop_Registry();
    Drop drop = Drop::Kept;
    {
        // The record knows its own table member: the id is not needed to find it, and a wrong
        // id can never remove another instance. Only the call that takes it out of the table
        // drops the table's hold; a caller still holding it frees it with its release.
        CriticalSectionGuard guard(r->Lock);
        if (!instance->Member) return 1;
        UnlinkLocked(r, instance);
        drop = DropHoldLocked(r, instance);
    }
    Settle(r, instance, drop);
    return 1;
}

namespace {

int32_t CountActive(Interop* r, void* requester, InteropLibrary* library, bool byLibrary) {
    const double now = Time_GetCurrent();
    int32_t count = 0;
    CriticalSectionGuard guard(r->Lock);
    HashTableMember* member = nullptr;
    HashTable_MemberGetFirst(r->Instances, &member);
    for (; member; HashTable_MemberGetNext(r->Instances, member, &member)) {
        uint64_t value = 0;
        HashTable_MemberGetValue(r->Instances, member, &value);
        InteropInstance* instance = reinterpret_cast<InteropInstance*>(static_cast<uintptr_t>(value));
        if (byLibrary ? instance->Library != library : instance->Requester != requester) continue;
        count++;
        if (now - instance->LastNoted >= kNoteSeconds) {
            if (r->Verbose)
                Log_Info("Interop instance (%s) active for %.2f second(s)\n", IdLocked(r, instance),
                         now - instance->Created);
            instance->LastNoted = now;
        }
    }
    return count;
}

} // namespace

int32_t Interop_InstancesActiveInRequester(void* requester) {
    Interop_AssertMainThread();
    return CountActive(Interop_Registry(), requester, nullptr, false);
}

int32_t Interop_InstancesActiveInLibrary(InteropLibrary* library) {
    Interop_AssertMainThread();
    return CountActive(Interop_Registry(), nullptr, library, true);
}

namespace {

// Removes the requester's instances (every instance for null); each one a requester had is
// warned about unless the requester goes away in order.
int64_t RemoveInstances(void* requester, bool warn) {
    Interop* r = Interop_Registry();
    for (;;) {
        InteropInstance* victim = nullptr;
        char id[INTEROP_NAME_SIZE] = {0};
        void* victimRequester = nullptr;
        Drop drop = Drop::Kept;
        {
            CriticalSectionGuard guard(r->Lock);
            HashTableMember* member = nullptr;
            HashTable_MemberGetFirst(r->Instances, &member);
            for (; member; HashTable_MemberGetNext(r->Instances, member, &member)) {
                uint64_t value = 0;
                HashTable_MemberGetValue(r->Instances, member, &value);
                InteropInstance* instance = reinterpret_cast<InteropInstance*>(static_cast<uintptr_t>(value));
                if (requester && instance->Requester != requester) continue;
                victim = instance;
                victimRequester = instance->Requester;
                String_CopyLength(id, IdLocked(r, instance), (int32_t)sizeof(id));
                UnlinkLocked(r, instance);
                // A call under way on another thread keeps the record (and its user context)
                // until it ends; the main thread does not wait for it.
                drop = DropHoldLocked(r, instance);
                break;
            }
        }
        if (!victim) break;
        if (requester || victimRequester) {
            if (warn) Log_Warning("%s forcibly removed\n", id);
            else Log_Debug("%s released with its requester\n", id);
        }
        Settle(r, victim, drop);
    }
    return 0;
}

} // namespace

int64_t Interop_RemoveInstancesActiveInRequester(void* requester) {
    Interop_AssertMainThread();
    return RemoveInstances(requester, true);
}

int64_t Interop_ReleaseInstancesOfRequester(void* requester) {
    Interop_AssertMainThread();
    if (!requester) return 0;
    RemoveInstances(requester, false);
    return 1;
}

int64_t Interop_GenerateInstanceId(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    return String_Guid(buffer, size, 0) ? 1 : 0;
}
