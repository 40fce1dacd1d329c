// The script bridge registry's records, shared by the files of the Interop module.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

#include "core/formats/interop.h"
#include "core/runtime/class.h"

struct CriticalSection;
struct HashTable;
struct HashTableMember;
struct JSON;
struct Pool;
struct Thread;

struct InteropCallback {
    uint32_t ClassId;
    // Changed only under the registry lock; stops at the count ceiling.
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

struct InteropLibrary {
    uint32_t ClassId;
    std::atomic<uint32_t> RefCount;
    InteropCreateInstanceFunc CreateInstance;
    InteropSetOverrideFunc SetOverride;
    InteropSetOptionFunc SetOption;
    InteropInitFunc Init;
    InteropRemoveFunc Remove;
    // Set to null by whoever closes it (the unload thread or shutdown).
    std::atomic<void*> Module;
    // Non-null from the moment the library starts shutting down.
    std::atomic<Thread*> UnloadThread;
    char Name[INTEROP_NAME_SIZE];
    std::atomic<uint32_t> UnloadRequests;
    // Users of the library's code: calls into CreateInstance under way outside the lock, and
    // every instance record not yet freed (its Invoke may still run, its Release is still due).
    // The library cannot start unloading (nor its record be freed) while one is left.
    std::atomic<uint32_t> Calls;
    InteropLibrary* Next;
    InteropLibrary* Previous;
};

struct InteropInstance {
    uint32_t ClassId;
    // The uses script holds (and callers of Interop_GetInstance); the pass removes the instance
    // from the table once none is left.
    std::atomic<uint32_t> UseCount;
    // Holds on the record itself, changed under the registry lock: one for the table while the
    // instance is in it, one for each caller between Interop_GetInstance and
    // Interop_ReleaseInstance, one for the pass while it runs Process. Release is called and the
    // record freed only when the last goes, so that a removal never pulls an instance from under
    // an Invoke running on another thread.
    std::atomic<uint32_t> Holds;
    double LastNoted;
    double Created;
    void* UserContext;
    void* Requester;
    InteropReleaseFunc Release;
    InteropInvokeFunc Invoke;
    InteropProcessFunc Process;
    InteropLibrary* Library;
    // The instance's table member while it is in the table, else null.
    HashTableMember* Member;
    // Next on the registry's list of records whose last hold went on another thread.
    InteropInstance* NextRetired;
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
    Dictionary* Config;
    InteropList<InteropLibrary> Libraries;
    InteropList<InteropCallback> Callbacks;
    Pool* CallbackPool;
    InteropList<InteropExecuteCallback> ExecuteCallbacks;
    MemoryStream* MessageBuffer;
    JSON* MessageWriter;
    InteropList<InteropExecuteItem> ExecuteQueue;
    Pool* ExecuteItemPool;
    // The table member at which the next instance pass resumes; every removal outside the pass
    // moves it on, so that it never names a removed member.
    HashTableMember* Cursor;
    Pool* InstancePool;
    HashTable* Instances;
    // Removed instances whose last hold was dropped on another thread: their Release runs on the
    // main thread, in the next pass.
    InteropInstance* Retired;
    // The execute callback a delivery calls next; a removal during delivery moves it on.
    InteropExecuteCallback* DeliveryNext;
    // Set while the message array is handed over: a pass started from a handler leaves the
    // queue to the next one.
    bool Delivering;
    // Recursive: guards the library list, the instance table, the cursor and the callback list.
    CriticalSection* Lock;
};

// Use and reference counts stop at a ceiling instead of wrapping: a count that reached it has
// lost track of its holders, so the object is kept for good rather than freed under one of them.
constexpr uint32_t kInteropCountCeiling = std::numeric_limits<uint32_t>::max();

inline void InteropCount_Raise(std::atomic<uint32_t>& count) {
    uint32_t seen = count.load();
    while (seen != kInteropCountCeiling && !count.compare_exchange_weak(seen, seen + 1)) {
    }
}

// Answers the count before: 0 and the ceiling are left as they are, so "1" means this was the
// last one.
inline uint32_t InteropCount_Lower(std::atomic<uint32_t>& count) {
    uint32_t seen = count.load();
    while (seen != 0 && seen != kInteropCountCeiling && !count.compare_exchange_weak(seen, seen - 1)) {
    }
    return seen;
}

inline void InteropCount_Raise(uint32_t& count) {
    if (count != kInteropCountCeiling) count++;
}

inline uint32_t InteropCount_Lower(uint32_t& count) {
    const uint32_t seen = count;
    if (seen != 0 && seen != kInteropCountCeiling) count--;
    return seen;
}

// The live registry (aborts when there is none).
Interop* Interop_Registry();
void Interop_AssertMainThread();

template <typename T> void InteropList_Append(InteropList<T>* list, T* item) {
    item->Next = nullptr;
    item->Previous = list->Last;
    if (list->Last)
        list->Last->Next = item;
    else
        list->First = item;
    list->Last = item;
    list->Count++;
}

template <typename T> void InteropList_Unlink(InteropList<T>* list, T* item) {
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

// Instance table steps used by the pass and by shutdown (interop_instance.cpp).
void InteropInstance_CreateTable(Interop* r);
void InteropInstance_DeleteTable(Interop* r);
void InteropInstance_ProcessSlice(Interop* r);
// Calls Release of the retired records and frees them (main thread).
void InteropInstance_FreeRetired(Interop* r);
// Library steps (interop_library.cpp).
void InteropLibrary_ProcessUnloads(Interop* r);
void InteropLibrary_RemoveAll(Interop* r);
