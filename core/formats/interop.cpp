// Script bridge registry: native callbacks addressed by id text, the registered script contexts
// and the queue of Dictionaries waiting to be handed to them.
#include "core/formats/interop.h"

#include "core/runtime/class.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"

struct InteropCallback {
    uint32_t ClassId;
    // Not atomic: callbacks belong to the main thread; the registry lock covers the list.
    uint32_t RefCount;
    char Id[INTEROP_CALLBACK_ID_SIZE];
    void* User;
    InteropCallbackFunc Function;
    InteropCallback* Next;
    InteropCallback* Previous;
};

struct InteropExecuteCallback {
    Class Header;
    void* User;
    InteropExecuteFunc Function;
    InteropExecuteCallback* Next;
    InteropExecuteCallback* Previous;
};

struct InteropExecuteItem {
    uint32_t ClassId;
    Dictionary* Dict;
    InteropExecuteItem* Next;
    InteropExecuteItem* Previous;
};

template <typename T> struct InteropList {
    uint32_t ClassId;
    T* First;
    T* Last;
    int32_t Count;
};

struct Interop {
    Class Header;
    uint32_t Verbose;
    InteropList<InteropCallback> Callbacks;
    Pool* CallbackPool;
    InteropList<InteropExecuteCallback> ExecuteCallbacks;
    InteropList<InteropExecuteItem> ExecuteQueue;
    Pool* ExecuteItemPool;
    CriticalSection* Lock;
};

namespace {

Interop* GlobalInterop = nullptr;

Interop* Registry() {
    CLASS_CHECK(GlobalInterop, INTEROP_CLASS_ID);
    return GlobalInterop;
}

void AssertMainThread() {
    ASSERT_MSG(Thread_GetMainId() == Thread_GetCurrentId(), "Function not on main thread");
}

template <typename T> void ListAppend(InteropList<T>* list, T* item) {
    item->Next = nullptr;
    item->Previous = list->Last;
    if (list->Last)
        list->Last->Next = item;
    else
        list->First = item;
    list->Last = item;
    list->Count++;
}

template <typename T> void ListUnlink(InteropList<T>* list, T* item) {
    if (item->Previous)
        item->Previous->Next = item->Next;
    else
        list->First = item->Next;
    if (item->Next)
        item->Next->Previous = item->Previous;
    else
        list->Last = item->Previous;
    item->Next = item->Previous = nullptr;
    list->Count--;
}

InteropCallback* CheckedCallback(InteropCallback* callback) {
    ASSERT_POINTER(callback);
    if (callback->ClassId != INTEROP_CALLBACK_CLASS_ID)
        Debug_AbortInt(__FILE__, __LINE__, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",
                       callback, (uint32_t)INTEROP_CALLBACK_CLASS_ID, callback->ClassId);
    return callback;
}

Pool* CreatePool(uint32_t size) {
    Pool* pool = nullptr;
    Pool_Create(&pool);
    Pool_SetMemorySize(pool, size);
    Pool_SetChunkSize(pool, 5);
    return pool;
}

} // namespace

int64_t Interop_Init() {
    if (GlobalInterop) return 1;
    Interop* r = static_cast<Interop*>(Memory_AllocZero(sizeof(Interop)));
    r->Header.ClassId = INTEROP_CLASS_ID;
    r->Header.RefCount = 1;
    Class_GenerateInstanceIdReal(r);
    int32_t level = 0;
    Log_GetVerboseLevel("Interop", &level);
    r->Verbose = level >= 6 ? 1 : 0;
    r->Callbacks.ClassId = INTEROP_CALLBACK_CLASS_ID;
    r->ExecuteCallbacks.ClassId = INTEROP_EXECUTE_CALLBACK_CLASS_ID;
    r->ExecuteQueue.ClassId = INTEROP_EXECUTE_ITEM_CLASS_ID;
    r->CallbackPool = CreatePool(sizeof(InteropCallback));
    r->ExecuteItemPool = CreatePool(sizeof(InteropExecuteItem));
    CriticalSection_Create(&r->Lock);
    GlobalInterop = r;
    return 1;
}

int64_t Interop_Remove() {
    Interop* r = GlobalInterop;
    if (!r) return 1;
    CLASS_CHECK(r, INTEROP_CLASS_ID);
    EventQueue_RemoveInstanceByThreadId(Thread_GetMainId(), r);
    while (InteropExecuteCallback* e = r->ExecuteCallbacks.First) {
        ListUnlink(&r->ExecuteCallbacks, e);
        Memory_Free(e, sizeof(InteropExecuteCallback));
    }
    while (InteropCallback* c = r->Callbacks.First) {
        if (c->RefCount > 0)
            Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "Interop - Callback not removed - Id %s\n",
                         c->Id);
        ListUnlink(&r->Callbacks, c);
        Pool_Free(r->CallbackPool, &c, sizeof(InteropCallback));
    }
    while (InteropExecuteItem* item = r->ExecuteQueue.First) {
        ListUnlink(&r->ExecuteQueue, item);
        Dictionary_Release(&item->Dict);
        Pool_Free(r->ExecuteItemPool, &item, sizeof(InteropExecuteItem));
    }
    Pool_Delete(&r->CallbackPool);
    Pool_Delete(&r->ExecuteItemPool);
    CriticalSection_Delete(&r->Lock);
    GlobalInterop = nullptr;
    r->Header.ClassId = 0;
    Memory_Free(r, sizeof(Interop));
    return 1;
}

int64_t Interop_AddCallback(const char* id, void* user, InteropCallbackFunc function,
                            InteropCallback** callback) {
    ASSERT_POINTER(callback);
    *callback = nullptr;
    Interop* r = Registry();
    InteropCallback* c = static_cast<InteropCallback*>(Pool_Alloc(r->CallbackPool, sizeof(InteropCallback)));
    c->ClassId = INTEROP_CALLBACK_CLASS_ID;
    c->RefCount = 1;
    if (id && id[0])
        String_CopyLength(c->Id, id, (int32_t)sizeof(c->Id));
    else
        String_Guid(c->Id, (int32_t)sizeof(c->Id), 0);
    c->User = user;
    c->Function = function;
    {
        CriticalSectionGuard guard(r->Lock);
        ListAppend(&r->Callbacks, c);
    }
    *callback = c;
    return 1;
}

int64_t Interop_GetCallbackById(const char* id, InteropCallback** callback) {
    ASSERT_POINTER(callback);
    *callback = nullptr;
    ASSERT_POINTER(id);
    Interop* r = Registry();
    CriticalSectionGuard guard(r->Lock);
    for (InteropCallback* c = r->Callbacks.First; c; c = c->Next) {
        // A released record only waits for the next pass to free it: it must not be handed out.
        if (c->RefCount == 0) continue;
        if (String_CompareWithoutCase(c->Id, id)) {
            *callback = c;
            return 1;
        }
    }
    return 0;
}

const char* Interop_GetCallbackId(InteropCallback* callback) {
    return CheckedCallback(callback)->Id;
}

int64_t Interop_RaiseCallback(InteropCallback* callback, void* argument) {
    CheckedCallback(callback);
    if (!callback->Function) return 0;
    return callback->Function(callback->User, argument);
}

int64_t Interop_ReleaseCallback(InteropCallback** callback) {
    ASSERT_POINTER(callback);
    InteropCallback* c = CheckedCallback(*callback);
    Interop* r = Registry();
    {
        CriticalSectionGuard guard(r->Lock);
        if (c->RefCount > 0) c->RefCount--;
    }
    *callback = nullptr;
    return 1;
}

int64_t Interop_AddExecuteCallback(InteropExecuteCallback** callback, void* user,
                                   InteropExecuteFunc function) {
    ASSERT_POINTER(callback);
    *callback = nullptr;
    AssertMainThread();
    Interop* r = Registry();
    for (InteropExecuteCallback* e = r->ExecuteCallbacks.First; e; e = e->Next) {
        if (e->User == user && e->Function == function) {
            *callback = e;
            return 1;
        }
    }
    InteropExecuteCallback* e =
        static_cast<InteropExecuteCallback*>(Memory_AllocZero(sizeof(InteropExecuteCallback)));
    e->Header.ClassId = INTEROP_EXECUTE_CALLBACK_CLASS_ID;
    e->Header.RefCount = 1;
    Class_GenerateInstanceIdReal(e);
    e->User = user;
    e->Function = function;
    ListAppend(&r->ExecuteCallbacks, e);
    *callback = e;
    return 1;
}

int64_t Interop_RemoveExecuteCallback(InteropExecuteCallback** callback) {
    ASSERT_POINTER(callback);
    AssertMainThread();
    Interop* r = Registry();
    InteropExecuteCallback* e = *callback;
    CLASS_CHECK(e, INTEROP_EXECUTE_CALLBACK_CLASS_ID);
    ListUnlink(&r->ExecuteCallbacks, e);
    e->Header.ClassId = 0;
    Memory_Free(e, sizeof(InteropExecuteCallback));
    *callback = nullptr;
    return 0;
}

int32_t Interop_GetExecuteCallbackCount() {
    return Registry()->ExecuteCallbacks.Count;
}

int64_t Interop_Execute(void* /*user*/, void* dictionary) {
    AssertMainThread();
    ASSERT_POINTER(dictionary);
    Interop* r = Registry();
    InteropExecuteItem* item =
        static_cast<InteropExecuteItem*>(Pool_Alloc(r->ExecuteItemPool, sizeof(InteropExecuteItem)));
    item->ClassId = INTEROP_EXECUTE_ITEM_CLASS_ID;
    item->Dict = static_cast<Dictionary*>(dictionary);
    Dictionary_AddRef(item->Dict);
    ListAppend(&r->ExecuteQueue, item);
    EventQueue_AddProcess(nullptr, r, Interop_ProcessEvent);
    return 1;
}

int32_t Interop_GetExecuteQueueCount() {
    return Registry()->ExecuteQueue.Count;
}

int64_t Interop_Process() {
    AssertMainThread();
    Interop* r = Registry();
    const double start = Time_GetCurrent();
    CriticalSectionGuard guard(r->Lock);
    InteropCallback* c = r->Callbacks.First;
    while (c) {
        InteropCallback* next = c->Next;
        if (c->RefCount == 0) {
            ListUnlink(&r->Callbacks, c);
            Pool_Free(r->CallbackPool, &c, sizeof(InteropCallback));
        }
        c = next;
        if (c && Time_GetCurrent() - start >= 0.1) {
            EventQueue_AddProcess(nullptr, r, Interop_ProcessEvent);
            break;
        }
    }
    return 1;
}

void Interop_ProcessEvent(void* /*instance*/) {
    AssertMainThread();
    Interop_Process();
}
