// The process-wide notification centre: observer tables keyed by "Type.Name.InstanceId", the
// queue of handed-over and delayed notifications, script observers and script references.
#include "core/runtime/notification_center.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string_view>

#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/runtime/class.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/hash_table.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/signal.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"

namespace {

constexpr const char* kGlobal = "Global";

// Intrusive doubly linked list; the tag is checked by every list operation.
template <typename T> struct NcList {
    uint32_t Tag;
    T* First;
    T* Last;
    int32_t Count;
};

} // namespace

struct ObserverEntry {
    uint32_t Tag;
    uint32_t Removed;
    void* User;
    NotificationObserverCallback Callback;
    ObserverEntry* Next;
    ObserverEntry* Previous;
};

struct NotificationKey {
    uint32_t Tag;
    char Type[NOTIFICATIONCENTER_TEXT_SIZE];
    char Name[NOTIFICATIONCENTER_TEXT_SIZE];
    char Instance[NOTIFICATIONCENTER_TEXT_SIZE];
    NcList<ObserverEntry> Observers;
};

// The hand-over of a cross-thread fire. Signal_Set may still touch the signal after the waiter
// has seen it raised, so the signal is deleted by whichever side finishes with it last.
struct FireCompletion {
    Signal* Done;
    std::atomic<int32_t> Users;
};

struct FireEntry {
    uint32_t Tag;
    char Type[NOTIFICATIONCENTER_TEXT_SIZE];
    char Name[NOTIFICATIONCENTER_TEXT_SIZE];
    char Instance[NOTIFICATIONCENTER_TEXT_SIZE];
    double QueuedAt;
    double Delay;
    Dictionary* Info;
    FireCompletion* Completion;
    FireEntry* Next;
    FireEntry* Previous;
};

struct RemovalEntry {
    uint32_t Tag;
    char Key[NOTIFICATIONCENTER_KEY_SIZE];
    NotificationKey* Record;
    ObserverEntry* Observer;
    RemovalEntry* Next;
    RemovalEntry* Previous;
};

struct ProcessEntry {
    uint32_t Tag;
    NotificationKey* Record;
    ProcessEntry* Next;
    ProcessEntry* Previous;
};

struct NotificationCenter {
    Class Header;
    CriticalSection* Lock;
    uint32_t OwnerThreadId;
    int32_t Verbose;
    HashTable* Keys;
    HashTable* Retained;
    Pool* KeyPool;
    Pool* ObserverPool;
    Pool* FirePool;
    Pool* RemovalPool;
    Pool* ProcessPool;
    Dictionary* Spare;
    NcList<FireEntry> FireList;
    NcList<RemovalEntry> Removals;
    NcList<ProcessEntry> ProcessObservers;
    Dictionary* InteropReferences;
    int32_t QueueGrowthCount;
    // Observer calls in progress on the centre's thread: while one walks a list with the lock
    // released, a nested pass must not unlink (and free) entries under it.
    int32_t DeliveryDepth;
    // Counts the passes that took the centre's list; a pass walking that list stops when a nested
    // pass (run from an observer) has taken it meanwhile, as its saved successor may be gone.
    uint32_t ListTakes;
};

namespace {

std::atomic<NotificationCenter*> GlobalNotificationCenter{nullptr};

std::atomic<NotificationCenterAddInstanceObserverFunc> g_addHook{nullptr};
std::atomic<NotificationCenterRemoveInstanceObserverFunc> g_removeHook{nullptr};
std::atomic<NotificationCenterFireFunc> g_fireHook{nullptr};
std::atomic<NotificationCenterFireAfterDelayFunc> g_fireAfterDelayHook{nullptr};

void ReleaseCompletion(FireCompletion* completion) {
    if (completion->Users.fetch_sub(1) != 1) return;
    Signal_Delete(&completion->Done);
    completion->~FireCompletion();
    Memory_Free(completion, sizeof(FireCompletion));
}

// Raises the waiter's signal and lets go of the hand-over.
void CompleteFire(FireEntry* entry) {
    if (!entry->Completion) return;
    Signal_Set(entry->Completion->Done, 1);
    ReleaseCompletion(entry->Completion);
    entry->Completion = nullptr;
}

NotificationCenter* Center() {
    NotificationCenter* nc = GlobalNotificationCenter.load();
    CLASS_CHECK(nc, NOTIFICATIONCENTER_CLASS_ID);
    return nc;
}

void CheckTag(const void* pointer, uint32_t tag, uint32_t expected) {
    if (pointer == nullptr) Debug_AbortInt(__FILE__, __LINE__, "Pointer is NULL\n");
    if (tag != expected)
        Debug_AbortInt(__FILE__, __LINE__, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",
                       pointer, expected, tag);
}

template <typename T> void ListAppend(NcList<T>* list, T* entry) {
    CheckTag(list, list->Tag, entry->Tag);
    entry->Next = nullptr;
    entry->Previous = list->Last;
    if (list->Last)
        list->Last->Next = entry;
    else
        list->First = entry;
    list->Last = entry;
    list->Count++;
}

template <typename T> void ListUnlink(NcList<T>* list, T* entry) {
    CheckTag(list, list->Tag, entry->Tag);
    if (entry->Previous)
        entry->Previous->Next = entry->Next;
    else
        list->First = entry->Next;
    if (entry->Next)
        entry->Next->Previous = entry->Previous;
    else
        list->Last = entry->Previous;
    entry->Next = entry->Previous = nullptr;
    list->Count--;
}

const char* OrGlobal(const char* text) {
    return text ? text : kGlobal;
}

// "type.name.instance". Every fire and every observer change builds one, so the parts are joined
// by hand; a key that does not fit goes through the formatter, which cuts it and reports the cut.
void BuildKey(char* key, const char* type, const char* name, const char* instance) {
    const char* const parts[3] = {OrGlobal(type), OrGlobal(name), OrGlobal(instance)};
    size_t used = 0;
    for (int32_t i = 0; i < 3; i++) {
        const size_t length = strlen(parts[i]);
        const size_t separator = i < 2 ? 1 : 0;
        if (used + length + separator >= (size_t)NOTIFICATIONCENTER_KEY_SIZE) {
            String_Print(key, NOTIFICATIONCENTER_KEY_SIZE, "%s.%s.%s", parts[0], parts[1], parts[2]);
            return;
        }
        memcpy(key + used, parts[i], length);
        used += length;
        if (separator) key[used++] = '.';
    }
    key[used] = 0;
}

void CopyText(char* destination, const char* text) {
    destination[0] = 0;
    if (text) String_CopyLength(destination, text, NOTIFICATIONCENTER_TEXT_SIZE);
}

NotificationKey* LookUp(NotificationCenter* nc, const char* type, const char* name, const char* instance) {
    char key[NOTIFICATIONCENTER_KEY_SIZE];
    BuildKey(key, type, name, instance);
    uint64_t value = 0;
    if (!HashTable_GetValue(nc->Keys, key, &value)) return nullptr;
    NotificationKey* record = reinterpret_cast<NotificationKey*>((uintptr_t)value);
    CheckTag(record, record->Tag, NOTIFICATIONCENTER_KEY_TAG);
    return record;
}

bool IsProcessKey(const char* type, const char* name) {
    return type && name && String_Compare(type, "NotificationCenter") && String_Compare(name, "Process");
}

// Calls the record's live observers with the lock released around each call. The type and
// name are passed in rather than read from the record after each call, because the all-wildcard
// record's fields are overwritten by every (also nested) delivery.
void FireCallbacksInternal(NotificationCenter* nc, NotificationKey* record, const char* type,
                           const char* name, const char* instance, Dictionary* info) {
    CheckTag(record, record->Tag, NOTIFICATIONCENTER_KEY_TAG);
    const char* sender = instance ? instance : record->Instance;
    ObserverEntry* entry = record->Observers.First;
    while (entry) {
        CheckTag(entry, entry->Tag, NOTIFICATIONCENTER_OBSERVER_TAG);
        ObserverEntry* next = entry->Next;
        if (entry->Callback && entry->Removed == 0) {
            nc->DeliveryDepth++;
            CriticalSection_Unlock(nc->Lock);
            entry->Callback(entry->User, type, name, sender, info);
            CriticalSection_Lock(nc->Lock);
            nc->DeliveryDepth--;
        }
        entry = next;
    }
}

// Delivery of one notification; centre's thread, lock held, instance never null.
void FireInternal(NotificationCenter* nc, const char* type, const char* name, const char* instance,
                  Dictionary* info) {
    if (nc->Verbose)
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "NotificationCenter - Fire event - %s.%s - %s\n",
                     OrGlobal(type), OrGlobal(name), instance);
    NotificationKey* all = LookUp(nc, nullptr, nullptr, nullptr);
    if (all) {
        CopyText(all->Type, type);
        CopyText(all->Name, name);
        // Private copies: a nested fire from one of these observers rewrites the record's fields.
        char cutType[NOTIFICATIONCENTER_TEXT_SIZE];
        char cutName[NOTIFICATIONCENTER_TEXT_SIZE];
        CopyText(cutType, type);
        CopyText(cutName, name);
        FireCallbacksInternal(nc, all, cutType, cutName, instance, info);
    }
    // A fire without type and name addresses the all-wildcard key itself: deliver to it once.
    NotificationKey* any = LookUp(nc, type, name, nullptr);
    if (any && any != all) FireCallbacksInternal(nc, any, any->Type, any->Name, instance, info);
    if (!String_CompareWithoutCase(instance, kGlobal)) {
        if (NotificationKey* one = LookUp(nc, type, name, instance))
            FireCallbacksInternal(nc, one, one->Type, one->Name, instance, info);
    }
}

void FreeFireEntry(NotificationCenter* nc, FireEntry* entry) {
    if (entry->Info) Dictionary_Release(&entry->Info);
    entry->Tag = 0;
    Pool_Free(nc->FirePool, &entry, sizeof(FireEntry));
}

void QueueFire(NotificationCenter* nc, const char* type, const char* name, const char* instance,
               int32_t delayMs, Dictionary* info, FireCompletion* completion) {
    FireEntry* entry = static_cast<FireEntry*>(Pool_Alloc(nc->FirePool, sizeof(FireEntry)));
    entry->Tag = NOTIFICATIONCENTER_FIRE_TAG;
    CopyText(entry->Type, type);
    CopyText(entry->Name, name);
    CopyText(entry->Instance, instance);
    entry->QueuedAt = Time_GetCurrent();
    entry->Delay = delayMs / 1000.0;
    entry->Completion = completion;
    if (info) {
        Dictionary_Create(&entry->Info);
        Dictionary_Merge(entry->Info, info, 1);
    }
    {
        CriticalSectionGuard guard(nc->Lock);
        ListAppend(&nc->FireList, entry);
    }
    if (delayMs == 0) EventQueue_AddProcessByThreadId(nc->OwnerThreadId, nc, NotificationCenter_ProcessEvent);
}

// Delivers the entry when due (judged against the pass's start time) and frees it.
void ProcessFire(NotificationCenter* nc, NcList<FireEntry>* list, FireEntry* entry, double now) {
    CheckTag(entry, entry->Tag, NOTIFICATIONCENTER_FIRE_TAG);
    if (now - entry->QueuedAt < entry->Delay) return;
    // Unlinked before delivery: a pass run from inside an observer must not deliver it again.
    ListUnlink(list, entry);
    // Empty texts stand for texts the firing caller left out.
    FireInternal(nc, entry->Type[0] ? entry->Type : nullptr, entry->Name[0] ? entry->Name : nullptr,
                 entry->Instance, entry->Info);
    CompleteFire(entry);
    FreeFireEntry(nc, entry);
}

void RemovalFlush(NotificationCenter* nc) {
    while (RemovalEntry* removal = nc->Removals.First) {
        CheckTag(removal, removal->Tag, NOTIFICATIONCENTER_REMOVAL_TAG);
        ListUnlink(&nc->Removals, removal);
        NotificationKey* record = removal->Record;
        CheckTag(record, record->Tag, NOTIFICATIONCENTER_KEY_TAG);
        ObserverEntry* observer = removal->Observer;
        ListUnlink(&record->Observers, observer);
        observer->Tag = 0;
        Pool_Free(nc->ObserverPool, &observer, sizeof(ObserverEntry));
        if (record->Observers.Count == 0) {
            if (IsProcessKey(record->Type, record->Name)) {
                for (ProcessEntry* p = nc->ProcessObservers.First; p; p = p->Next) {
                    if (p->Record != record) continue;
                    ListUnlink(&nc->ProcessObservers, p);
                    p->Tag = 0;
                    Pool_Free(nc->ProcessPool, &p, sizeof(ProcessEntry));
                    break;
                }
            }
            if (!HashTable_Remove(nc->Keys, removal->Key))
                Debug_AbortInt(__FILE__, __LINE__, "Failed to find notification key (%s)", removal->Key);
            record->Tag = 0;
            Pool_Free(nc->KeyPool, &record, sizeof(NotificationKey));
        }
        removal->Tag = 0;
        Pool_Free(nc->RemovalPool, &removal, sizeof(RemovalEntry));
    }
    Pool_Reset(nc->RemovalPool);
}

Pool* CreatePool(uint32_t size) {
    Pool* pool = nullptr;
    Pool_Create(&pool);
    Pool_SetMemorySize(pool, size);
    Pool_SetChunkSize(pool, 10);
    Pool_SetAllowLock(pool, 1);
    Pool_SetZeroOnAlloc(pool, 1);
    return pool;
}

HashTable* CreateTable(uint32_t keySize) {
    HashTable* table = nullptr;
    HashTable_Create(&table, keySize, 512);
    HashTable_SetValueCallback(table, nullptr, HashTable_StringValueWithoutCase);
    HashTable_SetCompareCallback(table, nullptr, HashTable_StringCompareWithoutCase);
    return table;
}

} // namespace

int64_t NotificationCenter_IsInit() {
    return GlobalNotificationCenter.load() ? 1 : 0;
}

int64_t NotificationCenter_Init() {
    if (GlobalNotificationCenter.load()) return 1;
    NotificationCenter* nc = static_cast<NotificationCenter*>(Memory_AllocZero(sizeof(NotificationCenter)));
    nc->Header.ClassId = NOTIFICATIONCENTER_CLASS_ID;
    nc->Header.RefCount = 1;
    Class_GenerateInstanceIdReal(nc);
    Dictionary_Create(&nc->Spare);
    Dictionary_Create(&nc->InteropReferences);
    nc->Keys = CreateTable(NOTIFICATIONCENTER_KEY_SIZE);
    nc->Retained = CreateTable(NOTIFICATIONCENTER_TEXT_SIZE);
    nc->KeyPool = CreatePool(sizeof(NotificationKey));
    nc->ObserverPool = CreatePool(sizeof(ObserverEntry));
    nc->FirePool = CreatePool(sizeof(FireEntry));
    nc->RemovalPool = CreatePool(sizeof(RemovalEntry));
    nc->ProcessPool = CreatePool(sizeof(ProcessEntry));
    nc->FireList.Tag = NOTIFICATIONCENTER_FIRE_TAG;
    nc->Removals.Tag = NOTIFICATIONCENTER_REMOVAL_TAG;
    nc->ProcessObservers.Tag = NOTIFICATIONCENTER_PROCESS_TAG;
    CriticalSection_Create(&nc->Lock);
    nc->OwnerThreadId = Thread_GetCurrentId();
    int32_t level = 0;
    Log_GetVerboseLevel("NotificationCenter", &level);
    nc->Verbose = level > 0 ? 1 : 0;
    GlobalNotificationCenter = nc;
    return 1;
}

int64_t NotificationCenter_Remove() {
    NotificationCenter* nc = GlobalNotificationCenter.load();
    if (!nc) return 1;
    CLASS_CHECK(nc, NOTIFICATIONCENTER_CLASS_ID);
    if (nc->Verbose && nc->QueueGrowthCount > 0)
        Log_PrintInt(LOG_LEVEL_WARNING, __FILE__, __LINE__, 0,
                     "Detected increase of notification center queue while raising notifications %d times\n",
                     nc->QueueGrowthCount);
    CriticalSection_Lock(nc->Lock);
    RemovalFlush(nc);
    EventQueue_RemoveInstanceByThreadId(nc->OwnerThreadId, nc);
    while (FireEntry* entry = nc->FireList.First) {
        if (nc->Verbose)
            Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                         "NotificationCenter - Skipping pending fire - %s.%s - %s\n", entry->Type,
                         entry->Name, entry->Instance);
        ListUnlink(&nc->FireList, entry);
        // A thread blocked in a cross-thread fire waits on this signal: release it, or it would
        // wait forever on a centre that no longer exists.
        CompleteFire(entry);
        FreeFireEntry(nc, entry);
    }
    while (ProcessEntry* p = nc->ProcessObservers.First) {
        ListUnlink(&nc->ProcessObservers, p);
        Pool_Free(nc->ProcessPool, &p, sizeof(ProcessEntry));
    }
    HashTableMember* member = nullptr;
    HashTable_MemberGetFirst(nc->Keys, &member);
    while (member) {
        uint64_t value = 0;
        HashTable_MemberGetValue(nc->Keys, member, &value);
        NotificationKey* record = reinterpret_cast<NotificationKey*>((uintptr_t)value);
        while (ObserverEntry* observer = record->Observers.First) {
            Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                         "NotificationCenter - Callback not removed %s.%s - %s\n", record->Type, record->Name,
                         record->Instance);
            ListUnlink(&record->Observers, observer);
            Pool_Free(nc->ObserverPool, &observer, sizeof(ObserverEntry));
        }
        record->Tag = 0;
        Pool_Free(nc->KeyPool, &record, sizeof(NotificationKey));
        HashTableMember* next = nullptr;
        HashTable_MemberGetNext(nc->Keys, member, &next);
        member = next;
    }
    HashTable_Delete(&nc->Keys);
    HashTable_Delete(&nc->Retained);
    Pool_Delete(&nc->KeyPool);
    Pool_Delete(&nc->ObserverPool);
    Pool_Delete(&nc->FirePool);
    Pool_Delete(&nc->RemovalPool);
    Pool_Delete(&nc->ProcessPool);
    GlobalNotificationCenter = nullptr;
    CriticalSection_Unlock(nc->Lock);
    CriticalSection_Delete(&nc->Lock);
    Dictionary_Release(&nc->Spare);
    Dictionary_Release(&nc->InteropReferences);
    nc->Header.ClassId = 0;
    Memory_Free(nc, sizeof(NotificationCenter));
    return 1;
}

int64_t NotificationCenter_SetVerbose(uint32_t flag) {
    Center()->Verbose = flag ? 1 : 0;
    return 1;
}

int64_t NotificationCenter_Process() {
    NotificationCenter* nc = Center();
    const double now = Time_GetCurrent();
    CriticalSectionGuard guard(nc->Lock);
    // Read under the lock: other threads append to the list while they fire.
    const int32_t startCount = nc->FireList.Count;
    NcList<FireEntry> local = nc->FireList;
    nc->ListTakes++;
    nc->FireList.First = nc->FireList.Last = nullptr;
    nc->FireList.Count = 0;
    const double deadline = now + (double)0.1f;
    bool outOfTime = false;
    FireEntry* entry = local.First;
    while (entry) {
        FireEntry* next = entry->Next;
        ProcessFire(nc, &local, entry, now);
        entry = next;
        if (Time_GetCurrent() > deadline) {
            outOfTime = entry != nullptr;
            break;
        }
    }
    if (local.Count > 0) {
        // Remaining entries go back in front of those queued during the pass.
        if (nc->FireList.First) {
            local.Last->Next = nc->FireList.First;
            nc->FireList.First->Previous = local.Last;
            nc->FireList.First = local.First;
        } else {
            nc->FireList.First = local.First;
            nc->FireList.Last = local.Last;
        }
        nc->FireList.Count += local.Count;
        if (nc->FireList.Count > startCount) {
            if (nc->Verbose && nc->QueueGrowthCount == 0)
                Log_PrintInt(LOG_LEVEL_WARNING, __FILE__, __LINE__, 0,
                             "Detected increase of notification center queue while raising notifications may "
                             "result in unresponsive application\n");
            nc->QueueGrowthCount++;
            int32_t budget = 2 * (nc->FireList.Count - startCount);
            if (budget < 1) budget = 1;
            FireEntry* e = nc->FireList.First;
            for (int32_t i = 0; i < budget && e; i++) {
                FireEntry* next = e->Next;
                const uint32_t takes = nc->ListTakes;
                ProcessFire(nc, &nc->FireList, e, now);
                if (nc->ListTakes != takes) break;
                e = next;
            }
        }
        if (outOfTime)
            EventQueue_AddProcessByThreadId(nc->OwnerThreadId, nc, NotificationCenter_ProcessEvent);
    }
    if (nc->DeliveryDepth == 0) RemovalFlush(nc);
    ProcessEntry* p = nc->ProcessObservers.Last;
    while (p) {
        CheckTag(p, p->Tag, NOTIFICATIONCENTER_PROCESS_TAG);
        ProcessEntry* previous = p->Previous;
        FireCallbacksInternal(nc, p->Record, "NotificationCenter", "Process", nullptr, nullptr);
        p = previous;
    }
    return 1;
}

void NotificationCenter_ProcessEvent(void* /*instance*/) {
    ASSERT_MSG(Thread_GetMainId() == Thread_GetCurrentId(), "Function not on main thread");
    NotificationCenter_Process();
}

int64_t NotificationCenter_Find(const char* type, const char* name, const char* instance,
                                NotificationKey** key) {
    ASSERT_POINTER(key);
    *key = nullptr;
    NotificationCenter* nc = Center();
    CriticalSectionGuard guard(nc->Lock);
    *key = LookUp(nc, type, name, instance);
    return *key ? 1 : 0;
}

int64_t NotificationCenter_AddInstanceObserver(const char* type, const char* name, const char* instance,
                                               void* user, NotificationObserverCallback callback) {
    NotificationCenter* nc = Center();
    if (NotificationCenterAddInstanceObserverFunc hook = g_addHook.load())
        return hook(type, name, instance, user, callback);
    CriticalSectionGuard guard(nc->Lock);
    NotificationKey* record = LookUp(nc, type, name, instance);
    if (!record) {
        record = static_cast<NotificationKey*>(Pool_Alloc(nc->KeyPool, sizeof(NotificationKey)));
        record->Tag = NOTIFICATIONCENTER_KEY_TAG;
        CopyText(record->Type, type);
        CopyText(record->Name, name);
        CopyText(record->Instance, instance);
        record->Observers.Tag = NOTIFICATIONCENTER_OBSERVER_TAG;
        if (IsProcessKey(type, name)) {
            ProcessEntry* p = static_cast<ProcessEntry*>(Pool_Alloc(nc->ProcessPool, sizeof(ProcessEntry)));
            p->Tag = NOTIFICATIONCENTER_PROCESS_TAG;
            p->Record = record;
            ListAppend(&nc->ProcessObservers, p);
        }
        char key[NOTIFICATIONCENTER_KEY_SIZE];
        BuildKey(key, type, name, instance);
        HashTable_Add(nc->Keys, key, (uint64_t)(uintptr_t)record);
    }
    if (nc->Verbose)
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                     "NotificationCenter - Add observer - %s.%s - %s [0x%p]\n", record->Type, record->Name,
                     OrGlobal(instance), user);
    ObserverEntry* entry = static_cast<ObserverEntry*>(Pool_Alloc(nc->ObserverPool, sizeof(ObserverEntry)));
    entry->Tag = NOTIFICATIONCENTER_OBSERVER_TAG;
    entry->Removed = 0;
    entry->User = user;
    entry->Callback = callback;
    ListAppend(&record->Observers, entry);
    return 1;
}

int64_t NotificationCenter_AddObserver(const char* type, const char* name, void* user,
                                       NotificationObserverCallback callback) {
    return NotificationCenter_AddInstanceObserver(type, name, kGlobal, user, callback);
}

int64_t NotificationCenter_RemoveInstanceObserver(const char* type, const char* name, const char* instance,
                                                  void* user, NotificationObserverCallback callback) {
    // An object whose last reference drops on a worker thread after shutdown removed the centre has
    // nothing left to remove: the removal dropped every observer with it.
    if (!GlobalNotificationCenter.load() && !g_removeHook.load()) return 1;
    NotificationCenter* nc = Center();
    if (NotificationCenterRemoveInstanceObserverFunc hook = g_removeHook.load())
        return hook(type, name, instance, user, callback);
    CriticalSectionGuard guard(nc->Lock);
    NotificationKey* record = LookUp(nc, type, name, instance);
    if (!record) return 1;
    for (ObserverEntry* entry = record->Observers.First; entry; entry = entry->Next) {
        CheckTag(entry, entry->Tag, NOTIFICATIONCENTER_OBSERVER_TAG);
        if (entry->Callback != callback || entry->User != user || entry->Removed != 0) continue;
        entry->Removed = 1;
        RemovalEntry* removal = static_cast<RemovalEntry*>(Pool_Alloc(nc->RemovalPool, sizeof(RemovalEntry)));
        removal->Tag = NOTIFICATIONCENTER_REMOVAL_TAG;
        BuildKey(removal->Key, type, name, instance);
        removal->Record = record;
        removal->Observer = entry;
        ListAppend(&nc->Removals, removal);
        if (nc->Verbose)
            Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                         "NotificationCenter - Remove observer - %s.%s - %s [0x%p]\n", record->Type,
                         record->Name, record->Instance, entry->User);
        break;
    }
    return 1;
}

int64_t NotificationCenter_RemoveObserver(const char* type, const char* name, void* user,
                                          NotificationObserverCallback callback) {
    return NotificationCenter_RemoveInstanceObserver(type, name, kGlobal, user, callback);
}

int64_t NotificationCenter_AddProcessObserver(const char* instance, void* user,
                                              NotificationObserverCallback callback) {
    return NotificationCenter_AddInstanceObserver("NotificationCenter", "Process", instance, user, callback);
}

int64_t NotificationCenter_RemoveProcessObserver(const char* instance, void* user,
                                                 NotificationObserverCallback callback) {
    return NotificationCenter_RemoveInstanceObserver("NotificationCenter", "Process", instance, user,
                                                     callback);
}

int64_t NotificationCenter_AddInteropObserver(const char* instance, void* user,
                                              NotificationObserverCallback callback) {
    NotificationCenter_RetainInstance(instance);
    return NotificationCenter_AddInstanceObserver("NotificationCenter", "Interop", instance, user, callback);
}

int64_t NotificationCenter_RemoveInteropObserver(const char* instance, void* user,
                                                 NotificationObserverCallback callback) {
    NotificationCenter_UnretainInstance(instance);
    return NotificationCenter_RemoveInstanceObserver("NotificationCenter", "Interop", instance, user,
                                                     callback);
}

int64_t NotificationCenter_RetainInstance(const char* instance) {
    ASSERT_POINTER(instance);
    NotificationCenter* nc = Center();
    CriticalSectionGuard guard(nc->Lock);
    if (!HashTable_ContainsKey(nc->Retained, instance)) HashTable_Add(nc->Retained, instance, 1);
    return 1;
}

int64_t NotificationCenter_UnretainInstance(const char* instance) {
    ASSERT_POINTER(instance);
    NotificationCenter* nc = Center();
    CriticalSectionGuard guard(nc->Lock);
    HashTable_Remove(nc->Retained, instance);
    return 1;
}

int64_t NotificationCenter_Fire(const char* type, const char* name, const char* instance, Dictionary* info) {
    NotificationCenter* nc = Center();
    if (NotificationCenterFireFunc hook = g_fireHook.load()) return hook(type, name, instance, info);
    instance = OrGlobal(instance);
    if (Thread_GetCurrentId() == nc->OwnerThreadId) {
        CriticalSectionGuard guard(nc->Lock);
        FireInternal(nc, type, name, instance, info);
        return 1;
    }
    FireCompletion* completion = new (Memory_AllocZero(sizeof(FireCompletion))) FireCompletion();
    Signal_Create(&completion->Done);
    completion->Users.store(2);
    Signal* done = completion->Done;
    QueueFire(nc, type, name, instance, 0, info, completion);
    uint32_t signalled = 0;
    Signal_Wait(done, &signalled, -1);
    ReleaseCompletion(completion);
    return 1;
}

int64_t NotificationCenter_FireAfterDelay(const char* type, const char* name, const char* instance,
                                          int32_t delayMs, Dictionary* info) {
    if (NotificationCenterFireAfterDelayFunc hook = g_fireAfterDelayHook.load())
        return hook(type, name, instance, delayMs, info);
    QueueFire(Center(), type, name, OrGlobal(instance), delayMs, info, nullptr);
    return 1;
}

namespace {

// Loads the JSON text (or the printed format) and fires or queues its top-level dictionary.
// Returns the loader's result; fires only on exactly 1 when `strict`.
int64_t FireJSON(const char* type, const char* name, const char* instance, bool delayed, int32_t delayMs,
                 const char* text, const char* format, va_list* args, bool strict) {
    Dictionary* dict = nullptr;
    JSON* parser = nullptr;
    Dictionary_Create(&dict);
    JSON_Create(&parser);
    JSON_SetDictionaryHandle(parser, dict);
    int64_t result = text ? JSON_LoadBuffer(parser, text, (uint32_t)std::string_view(text).size())
                          : JSON_LoadStringV(parser, format, *args);
    if (strict ? result == 1 : result != 0) {
        Dictionary* info = nullptr;
        Dictionary_SkipRoot(dict, &info);
        if (delayed)
            NotificationCenter_FireAfterDelay(type, name, instance, delayMs, info);
        else
            NotificationCenter_Fire(type, name, instance, info);
    }
    JSON_Delete(&parser);
    Dictionary_Release(&dict);
    return result;
}

} // namespace

int64_t NotificationCenter_FireWithJSONV(const char* type, const char* name, const char* instance,
                                         const char* format, va_list args) {
    if (!format) return NotificationCenter_Fire(type, name, instance, nullptr);
    va_list copy;
    va_copy(copy, args);
    int64_t result = FireJSON(type, name, instance, false, 0, nullptr, format, &copy, false);
    va_end(copy);
    return result;
}

int64_t NotificationCenter_FireWithJSON(const char* type, const char* name, const char* instance,
                                        const char* format, ...) {
    va_list args;
    va_start(args, format);
    int64_t result = NotificationCenter_FireWithJSONV(type, name, instance, format, args);
    va_end(args);
    return result;
}

int64_t NotificationCenter_FireAfterDelayWithJSONV(const char* type, const char* name, const char* instance,
                                                   int32_t delayMs, const char* format, va_list args) {
    if (!format) return NotificationCenter_FireAfterDelay(type, name, instance, delayMs, nullptr);
    va_list copy;
    va_copy(copy, args);
    int64_t result = FireJSON(type, name, instance, true, delayMs, nullptr, format, &copy, false);
    va_end(copy);
    return result;
}

int64_t NotificationCenter_FireAfterDelayWithJSON(const char* type, const char* name, const char* instance,
                                                  int32_t delayMs, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int64_t result = NotificationCenter_FireAfterDelayWithJSONV(type, name, instance, delayMs, format, args);
    va_end(args);
    return result;
}

int64_t NotificationCenter_FireInterop(const char* type, const char* name, const char* instance,
                                       const char* json) {
    ASSERT_POINTER(json);
    return FireJSON(type, name, instance, false, 0, json, nullptr, nullptr, true);
}

int64_t NotificationCenter_FireAfterDelayInterop(const char* type, const char* name, const char* instance,
                                                 int32_t delayMs, const char* json) {
    ASSERT_POINTER(json);
    return FireJSON(type, name, instance, true, delayMs, json, nullptr, nullptr, true);
}

int64_t NotificationCenter_AddInstanceObserverInterop(const char* type, const char* name,
                                                      const char* instance, const char* callbackId) {
    NotificationCenter* nc = Center();
    InteropCallback* bridge = nullptr;
    Interop_AddCallback(callbackId, nc, Interop_Execute, &bridge);
    NotificationCenter_AddInstanceObserver(type, name, instance, bridge,
                                           NotificationCenter_InteropExecuteObserverCallback);
    if (nc->Verbose)
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                     "NotificationCenter - Add interop observer - %s.%s - %s - %s\n", OrGlobal(type),
                     OrGlobal(name), OrGlobal(instance), Interop_GetCallbackId(bridge));
    return 1;
}

int64_t NotificationCenter_AddObserverInterop(const char* type, const char* name, const char* callbackId) {
    return NotificationCenter_AddInstanceObserverInterop(type, name, kGlobal, callbackId);
}

int64_t NotificationCenter_RemoveInstanceObserverInterop(const char* type, const char* name,
                                                         const char* instance, const char* callbackId) {
    NotificationCenter* nc = Center();
    ASSERT_POINTER(callbackId);
    CriticalSectionGuard guard(nc->Lock);
    InteropCallback* bridge = nullptr;
    if (!Interop_GetCallbackById(callbackId, &bridge)) return 0;
    Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                 "NotificationCenter - Remove interop observer - %s.%s - %s - %s\n", OrGlobal(type),
                 OrGlobal(name), OrGlobal(instance), callbackId);
    int64_t result = NotificationCenter_RemoveInstanceObserver(
        type, name, instance, bridge, NotificationCenter_InteropExecuteObserverCallback);
    // The creation reference, then the one the lookup added.
    InteropCallback* created = bridge;
    Interop_ReleaseCallback(&created);
    Interop_ReleaseCallback(&bridge);
    return result;
}

int64_t NotificationCenter_RemoveObserverInterop(const char* type, const char* name, const char* callbackId) {
    return NotificationCenter_RemoveInstanceObserverInterop(type, name, kGlobal, callbackId);
}

int64_t NotificationCenter_AddRefInteropReference(const char* instance) {
    ASSERT_POINTER(instance);
    NotificationCenter* nc = Center();
    CriticalSectionGuard guard(nc->Lock);
    int32_t count = 0;
    Dictionary_GetInt32ByKey(nc->InteropReferences, instance, &count);
    if (count == 0) {
        Dictionary* info = nullptr;
        Dictionary_Create(&info);
        Dictionary_SetBooleanByKey(info, "addRef", 1);
        NotificationCenter_FireAfterDelay("NotificationCenter", "Interop", instance, 0, info);
        Dictionary_Release(&info);
    }
    Dictionary_SetInt32ByKey(nc->InteropReferences, instance, count + 1);
    return 1;
}

int64_t NotificationCenter_ReleaseInteropReference(const char* instance) {
    ASSERT_POINTER(instance);
    NotificationCenter* nc = Center();
    CriticalSectionGuard guard(nc->Lock);
    int32_t count = 0;
    if (!Dictionary_GetInt32ByKey(nc->InteropReferences, instance, &count)) return 0;
    count--;
    Dictionary_SetInt32ByKey(nc->InteropReferences, instance, count);
    if (count != 0) return 1;
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_SetBooleanByKey(info, "addRef", 0);
    NotificationCenter_FireAfterDelay("NotificationCenter", "Interop", instance, 0, info);
    Dictionary_Release(&info);
    Dictionary_RemoveByKey(nc->InteropReferences, instance);
    return 1;
}

int64_t NotificationCenter_InteropExecuteObserverCallback(void* user, const char* type, const char* name,
                                                          const char* instance, Dictionary* info) {
    NotificationCenter* nc = Center();
    if (type && name && String_CompareWithoutCase(type, "NotificationCenter") &&
        String_CompareWithoutCase(name, "Interop"))
        return 1;
    InteropCallback* bridge = static_cast<InteropCallback*>(user);
    type = OrGlobal(type);
    name = OrGlobal(name);
    instance = OrGlobal(instance);
    uint32_t retained = 0;
    {
        CriticalSectionGuard guard(nc->Lock);
        retained = HashTable_ContainsKey(nc->Retained, instance) ? 1 : 0;
    }
    Dictionary* record = nullptr;
    Dictionary_Create(&record);
    Dictionary_SetStringByKey(record, "type", type);
    Dictionary_SetStringByKey(record, "notification", name);
    Dictionary_SetStringByKey(record, "sender", instance);
    Dictionary_SetStringByKey(record, "callbackId", Interop_GetCallbackId(bridge));
    if (retained) Dictionary_SetBooleanByKey(record, "retained", 1);
    Dictionary* child = nullptr;
    Dictionary_AddDictionary(record, "info", &child, nullptr);
    if (info && child) Dictionary_Merge(child, info, 1);
    if (retained) {
        int32_t count = Interop_GetExecuteCallbackCount();
        for (int32_t i = 0; i < count; i++) NotificationCenter_AddRefInteropReference(instance);
    }
    Interop_RaiseCallback(bridge, record);
    Dictionary_Release(&record);
    if (nc->Verbose)
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                     "NotificationCenter - Trigger interop observer - %s.%s - %s - %s [0x%p]\n", type, name,
                     instance, Interop_GetCallbackId(bridge), bridge);
    return 1;
}

int64_t NotificationCenter_AddInstanceObserverOverride(NotificationCenterAddInstanceObserverFunc fn) {
    g_addHook.store(fn);
    return 1;
}

int64_t NotificationCenter_RemoveInstanceObserverOverride(NotificationCenterRemoveInstanceObserverFunc fn) {
    g_removeHook.store(fn);
    return 1;
}

int64_t NotificationCenter_FireOverride(NotificationCenterFireFunc fn) {
    g_fireHook.store(fn);
    return 1;
}

int64_t NotificationCenter_FireAfterDelayOverride(NotificationCenterFireAfterDelayFunc fn) {
    g_fireAfterDelayHook.store(fn);
    return 1;
}

int64_t NotificationCenter_AssertInstance(void* /*instance*/) {
    return 1;
}

int64_t NotificationCenter_AssertInstanceOverride(void* /*fn*/) {
    return 1;
}
