// The script bridge registry's records, shared by the files of the Interop module.
#pragma once

#include <atomic>
#include <cstdint>

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
    // Changed only under the registry lock.
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
    // Calls into CreateInstance under way outside the lock: the library cannot start unloading
    // (nor its record be freed) while one runs.
    std::atomic<uint32_t> Calls;
    InteropLibrary* Next;
    InteropLibrary* Previous;
};

struct InteropInstance {
    uint32_t ClassId;
    std::atomic<uint32_t> UseCount;
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
    // Recursive: guards the library list, the instance table, the cursor and the callback list.
    CriticalSection* Lock;
};

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
// Library steps (interop_library.cpp).
void InteropLibrary_ProcessUnloads(Interop* r);
void InteropLibrary_RemoveAll(Interop* r);
