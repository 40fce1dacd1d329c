// Script bridge registry: its life, the native callbacks addressed by id text, the registered
// script contexts, the queue of Dictionaries waiting to be handed to them, and the periodic pass.
#include "core/formats/interop.h"

#include <cstring>

#include "core/formats/interop_internal.h"
#include "core/formats/json.h"
#include "core/platform/memory_stream.h"
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

namespace {

Interop* GlobalInterop = nullptr;

// Each growing step of the pass stops after this long and resumes later.
constexpr double kSliceSeconds = 0.1;

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

void WriteText(MemoryStream* stream, const char* text) {
    uint32_t written = 0;
    MemoryStream_Write(stream, text, (uint32_t)strlen(text), &written);
}

// Step 3 of the pass: frees the released native callbacks. 1 when it ran out of time.
bool FreeReleasedCallbacks(Interop* r, double start) {
    CriticalSectionGuard guard(r->Lock);
    InteropCallback* c = r->Callbacks.First;
    while (c) {
        InteropCallback* next = c->Next;
        if (c->RefCount == 0) {
            InteropList_Unlink(&r->Callbacks, c);
            c->ClassId = 0;
            Pool_Free(r->CallbackPool, &c, sizeof(InteropCallback));
        }
        c = next;
        if (c && Time_GetCurrent() - start >= kSliceSeconds) return true;
    }
    return false;
}

// Step 4 of the pass: writes the queue as one JSON array and hands it to every script context.
void DeliverMessages(Interop* r, double start) {
    if (!r->ExecuteQueue.First) return;
    // A handler that runs a pass of its own: the buffer is in use, the queue waits for later.
    if (r->Delivering) {
        EventQueue_AddProcess(nullptr, r, Interop_ProcessEvent);
        return;
    }
    MemoryStream* out = r->MessageBuffer;
    Stream* stream = nullptr;
    MemoryStream_GetStreamHandle(out, &stream);
    WriteText(out, "[");
    bool first = true;
    while (InteropExecuteItem* item = r->ExecuteQueue.First) {
        if (!first && Time_GetCurrent() - start >= kSliceSeconds) {
            EventQueue_AddProcess(nullptr, r, Interop_ProcessEvent);
            break;
        }
        if (!first) WriteText(out, ",");
        first = false;
        WriteText(out, "{");
        JSON_SetDictionaryHandle(r->MessageWriter, item->Dict);
        JSON_SaveStream(r->MessageWriter, stream);
        JSON_SetDictionaryHandle(r->MessageWriter, nullptr);
        WriteText(out, "}");
        InteropList_Unlink(&r->ExecuteQueue, item);
        Dictionary_Release(&item->Dict);
        item->ClassId = 0;
        Pool_Free(r->ExecuteItemPool, &item, sizeof(InteropExecuteItem));
    }
    uint32_t written = 0;
    MemoryStream_Write(out, "]", 2, &written); // the bracket and its terminator
    uint8_t* text = nullptr;
    MemoryStream_GetPointer(out, &text);
    // A handler may remove any registration, its own or the next one: the next is kept in the
    // registry, where a removal moves it on.
    r->Delivering = true;
    for (InteropExecuteCallback* e = r->ExecuteCallbacks.First; e; e = r->DeliveryNext) {
        r->DeliveryNext = e->Next;
        if (e->Function) e->Function(e->User, e, reinterpret_cast<const char*>(text), nullptr);
    }
    r->DeliveryNext = nullptr;
    r->Delivering = false;
    MemoryStream_ReleasePointer(out, &text);
    MemoryStream_DiscardAll(out);
}

} // namespace

Interop* Interop_Registry() {
    CLASS_CHECK(GlobalInterop, INTEROP_CLASS_ID);
    return GlobalInterop;
}

void Interop_AssertMainThread() {
    ASSERT_MSG(Thread_GetMainId() == Thread_GetCurrentId(), "Function not on main thread");
}

int64_t Interop_Init() {
    if (GlobalInterop) return 1;
    Interop* r = static_cast<Interop*>(Memory_AllocZero(sizeof(Interop)));
    r->Header.ClassId = INTEROP_CLASS_ID;
    r->Header.RefCount = 1;
    Class_GenerateInstanceIdReal(r);
    int32_t level = 0;
    Log_GetVerboseLevel("Interop", &level);
    r->Verbose = level >= 6 ? 1 : 0;
    r->Libraries.ClassId = INTEROP_LIBRARY_CLASS_ID;
    r->Callbacks.ClassId = INTEROP_CALLBACK_CLASS_ID;
    r->ExecuteCallbacks.ClassId = INTEROP_EXECUTE_CALLBACK_CLASS_ID;
    r->ExecuteQueue.ClassId = INTEROP_EXECUTE_ITEM_CLASS_ID;
    r->CallbackPool = CreatePool(sizeof(InteropCallback));
    r->ExecuteItemPool = CreatePool(sizeof(InteropExecuteItem));
    r->InstancePool = CreatePool(sizeof(InteropInstance));
    MemoryStream_Create(&r->MessageBuffer);
    MemoryStream_SetAutoGrow(r->MessageBuffer, 1);
    JSON_Create(&r->MessageWriter);
    JSON_SetMinify(r->MessageWriter, 1);
    JSON_SetPrivateKeys(r->MessageWriter, 0);
    CriticalSection_Create(&r->Lock);
    InteropInstance_CreateTable(r);
    GlobalInterop = r;
    return 1;
}

int64_t Interop_Remove() {
    Interop* r = GlobalInterop;
    if (!r) return 1;
    CLASS_CHECK(r, INTEROP_CLASS_ID);
    EventQueue_RemoveInstanceByThreadId(Thread_GetMainId(), r);
    // Removed instances still owe their Release, which needs their library's code.
    InteropInstance_FreeRetired(r);
    InteropLibrary_RemoveAll(r);
    while (InteropExecuteCallback* e = r->ExecuteCallbacks.First) {
        InteropList_Unlink(&r->ExecuteCallbacks, e);
        e->Header.ClassId = 0;
        Memory_Free(e, sizeof(InteropExecuteCallback));
    }
    while (InteropCallback* c = r->Callbacks.First) {
        if (c->RefCount > 0)
            Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "Interop - Callback not removed - Id %s\n",
                         c->Id);
        InteropList_Unlink(&r->Callbacks, c);
        c->ClassId = 0;
        Pool_Free(r->CallbackPool, &c, sizeof(InteropCallback));
    }
    while (InteropExecuteItem* item = r->ExecuteQueue.First) {
        InteropList_Unlink(&r->ExecuteQueue, item);
        Dictionary_Release(&item->Dict);
        Pool_Free(r->ExecuteItemPool, &item, sizeof(InteropExecuteItem));
    }
    InteropInstance_DeleteTable(r);
    JSON_Release(&r->MessageWriter);
    MemoryStream_Release(&r->MessageBuffer);
    Pool_Delete(&r->CallbackPool);
    Pool_Delete(&r->ExecuteItemPool);
    Pool_Delete(&r->InstancePool);
    CriticalSection_Delete(&r->Lock);
    GlobalInterop = nullptr;
    r->Header.ClassId = 0;
    Memory_Free(r, sizeof(Interop));
    return 1;
}

int64_t Interop_SetConfigHandle(Dictionary* config) {
    Interop_Registry()->Config = config;
    return 1;
}

int64_t Interop_GetConfigHandle(Dictionary** config) {
    ASSERT_POINTER(config);
    *config = Interop_Registry()->Config;
    return 1;
}

int64_t Interop_SetVerbose(uint32_t verbose) {
    Interop_Registry()->Verbose = verbose;
    return 1;
}

int64_t Interop_GetVerbose(uint32_t* verbose) {
    ASSERT_POINTER(verbose);
    *verbose = Interop_Registry()->Verbose;
    return 1;
}

int64_t Interop_AddCallback(const char* id, void* user, InteropCallbackFunc function,
                            InteropCallback** callback) {
    ASSERT_POINTER(callback);
    *callback = nullptr;
    Interop* r = Interop_Registry();
    CriticalSectionGuard guard(r->Lock);
    InteropCallback* c = static_cast<InteropCallback*>(Pool_Alloc(r->CallbackPool, sizeof(InteropCallback)));
    c->ClassId = INTEROP_CALLBACK_CLASS_ID;
    c->RefCount = 1;
    if (id && id[0])
        String_CopyLength(c->Id, id, (int32_t)sizeof(c->Id));
    else
        String_Guid(c->Id, (int32_t)sizeof(c->Id), 0);
    c->User = user;
    c->Function = function;
    InteropList_Append(&r->Callbacks, c);
    *callback = c;
    return 1;
}

int64_t Interop_GetCallbackById(const char* id, InteropCallback** callback) {
    ASSERT_POINTER(callback);
    *callback = nullptr;
    ASSERT_POINTER(id);
    Interop* r = Interop_Registry();
    CriticalSectionGuard guard(r->Lock);
    for (InteropCallback* c = r->Callbacks.First; c; c = c->Next) {
        // A released record only waits for the next pass to free it: it must not be handed out.
        if (c->RefCount == 0) continue;
        if (String_CompareWithoutCase(c->Id, id)) {
            // The finder holds a reference until it releases the record: the pass cannot free it
            // (nor its pool hand the memory to another registration) in between.
            InteropCount_Raise(c->RefCount);
            *callback = c;
            return 1;
        }
    }
    return 0;
}

const char* Interop_GetCallbackId(InteropCallback* callback) {
    return CheckedCallback(callback)->Id;
}

int64_t Interop_GetCallbackUserPtr(InteropCallback* callback, void** user) {
    ASSERT_POINTER(user);
    *user = CheckedCallback(callback)->User;
    return 1;
}

int64_t Interop_RaiseCallback(InteropCallback* callback, void* argument) {
    CheckedCallback(callback);
    if (!callback->Function) return 0;
    return callback->Function(callback->User, argument);
}

InteropCallback* Interop_AddRefCallback(InteropCallback* callback) {
    CheckedCallback(callback);
    CriticalSectionGuard guard(Interop_Registry()->Lock);
    InteropCount_Raise(callback->RefCount);
    return callback;
}

int64_t Interop_ReleaseCallback(InteropCallback** callback) {
    ASSERT_POINTER(callback);
    InteropCallback* c = CheckedCallback(*callback);
    Interop* r = Interop_Registry();
    {
        CriticalSectionGuard guard(r->Lock);
        InteropCount_Lower(c->RefCount);
    }
    *callback = nullptr;
    return 1;
}

int64_t Interop_AddExecuteCallback(InteropExecuteCallback** callback, void* user,
                                   InteropExecuteFunc function) {
    ASSERT_POINTER(callback);
    *callback = nullptr;
    Interop_AssertMainThread();
    Interop* r = Interop_Registry();
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
    InteropList_Append(&r->ExecuteCallbacks, e);
    *callback = e;
    return 1;
}

int64_t Interop_RemoveExecuteCallback(InteropExecuteCallback** callback) {
    ASSERT_POINTER(callback);
    Interop_AssertMainThread();
    Interop* r = Interop_Registry();
    InteropExecuteCallback* e = *callback;
    CLASS_CHECK(e, INTEROP_EXECUTE_CALLBACK_CLASS_ID);
    if (r->DeliveryNext == e) r->DeliveryNext = e->Next;
    InteropList_Unlink(&r->ExecuteCallbacks, e);
    e->Header.ClassId = 0;
    Memory_Free(e, sizeof(InteropExecuteCallback));
    *callback = nullptr;
    return 0;
}

int32_t Interop_GetExecuteCallbackCount() {
    return Interop_Registry()->ExecuteCallbacks.Count;
}

int64_t Interop_Execute(void* /*user*/, void* dictionary) {
    Interop_AssertMainThread();
    ASSERT_POINTER(dictionary);
    Interop* r = Interop_Registry();
    InteropExecuteItem* item =
        static_cast<InteropExecuteItem*>(Pool_Alloc(r->ExecuteItemPool, sizeof(InteropExecuteItem)));
    item->ClassId = INTEROP_EXECUTE_ITEM_CLASS_ID;
    item->Dict = static_cast<Dictionary*>(dictionary);
    Dictionary_AddRef(item->Dict);
    InteropList_Append(&r->ExecuteQueue, item);
    EventQueue_AddProcess(nullptr, r, Interop_ProcessEvent);
    return 1;
}

int32_t Interop_GetExecuteQueueCount() {
    return Interop_Registry()->ExecuteQueue.Count;
}

int64_t Interop_Process() {
    Interop_AssertMainThread();
    Interop* r = Interop_Registry();
    InteropInstance_ProcessSlice(r);
    InteropLibrary_ProcessUnloads(r);
    const double start = Time_GetCurrent();
    if (FreeReleasedCallbacks(r, start)) EventQueue_AddProcess(nullptr, r, Interop_ProcessEvent);
    DeliverMessages(r, start);
    return 1;
}

void Interop_ProcessEvent(void* /*instance*/) {
    Interop_AssertMainThread();
    Interop_Process();
}
