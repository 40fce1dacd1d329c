// Callback slots: user pointer and function pairs that are set and read atomically. Both words
// change together through one 16-byte compare-and-exchange, so that a reader on another thread
// never pairs one setter's user with another setter's function.
#include "core/runtime/callback.h"

#include <cstddef>
#include <cstring>

#include "core/linux/platform.h"
#include "core/runtime/class.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"

namespace {

typedef unsigned __int128 SlotWords;

constexpr int64_t FALSE = 0;
constexpr uintptr_t kRefCountedBit = 1;

static_assert(sizeof(CallbackBase) == sizeof(SlotWords), "a slot is two machine words");
static_assert(offsetof(CallbackBase, UserPtr) == 0, "the user word comes first");

SlotWords Pack(void* user, void* function) {
    return (SlotWords)(uintptr_t)user | ((SlotWords)(uintptr_t)function << 64);
}

void* UserOf(SlotWords words) {
    return (void*)(uintptr_t)(uint64_t)words;
}
void* FunctionOf(SlotWords words) {
    return (void*)(uintptr_t)(uint64_t)(words >> 64);
}

// The exchange itself; returns the words found. The processor feature is enabled here only, so
// that the rest of the build keeps its baseline.
__attribute__((target("cx16"))) SlotWords Exchange(CallbackBase* slot, SlotWords expected,
                                                   SlotWords desired) {
    return __sync_val_compare_and_swap(reinterpret_cast<SlotWords*>(slot), expected, desired);
}

// An atomic read: exchanging 0 for 0 changes nothing and gives back the words found.
SlotWords Load(CallbackBase* slot) {
    return Exchange(slot, 0, 0);
}

void CheckSlot(CallbackBase* CallbackPointers) {
    ASSERT_POINTER(CallbackPointers);
    ASSERT_MSG(((intptr_t)CallbackPointers & (CALLBACK_ALIGN_BYTES - 1)) == 0, "Unaligned value");
}

// Clears the slot in one exchange, then releases a user the slot held; the user is out of the
// slot before its reference goes, so no reader can pick up a released object.
void Clear(CallbackBase* slot) {
    SlotWords seen = Load(slot);
    for (;;) {
        SlotWords found = Exchange(slot, seen, 0);
        if (found == seen) break;
        seen = found;
    }
    uintptr_t user = (uintptr_t)UserOf(seen);
    if (user & kRefCountedBit) {
        void* object = (void*)(user & ~kRefCountedBit);
        Class_Release(&object);
    }
}

} // namespace

int64_t Callback_Init() {
    return 1;
}

int64_t Callback_Remove() {
    return 1;
}

int64_t CallbackBase_SetReal(CallbackBase* slot, int32_t holdReference, void* user, void* function) {
    CheckSlot(slot);
    void* stored = user;
    if (holdReference == 1 && user) {
        Class_AddRef(user);
        stored = (void*)((uintptr_t)user | kRefCountedBit);
    }
    const SlotWords desired = Pack(stored, function);
    SlotWords seen = Load(slot);
    for (;;) {
        {
            // The slot as this attempt found it; a reference it holds must be reset first, or
            // that reference would be lost.
            CallbackBase found;
            memcpy(&found, &seen, sizeof(found));
            const CallbackBase* CallbackPointers = &found;
            const int64_t WasUserPtrRefCounted = ((uintptr_t)found.UserPtr & kRefCountedBit) ? 1 : 0;
            ASSERT_MSG(WasUserPtrRefCounted == FALSE || CallbackPointers->UserPtr == NULL,
                       "Callback already registered");
        }
        SlotWords found = Exchange(slot, seen, desired);
        if (found == seen) return 1;
        seen = found;
    }
}

int64_t CallbackBase_GetReal(CallbackBase* slot, void** user, void** function) {
    if (user) *user = nullptr;
    if (function) *function = nullptr;
    CheckSlot(slot);
    // Most slots are empty: two empty words need no 16-byte exchange, since reading them before
    // a concurrent set is a valid order either way.
    if (__atomic_load_n(&slot->Function, __ATOMIC_ACQUIRE) == nullptr &&
        __atomic_load_n(&slot->UserPtr, __ATOMIC_ACQUIRE) == nullptr)
        return 0;
    const SlotWords words = Load(slot);
    if (user) *user = (void*)((uintptr_t)UserOf(words) & ~kRefCountedBit);
    if (function) *function = FunctionOf(words);
    return FunctionOf(words) != nullptr;
}

int64_t CallbackBase_ResetReal(CallbackBase* slot) {
    CheckSlot(slot);
    Clear(slot);
    return 1;
}

int64_t CallbackSync_SetReal(CallbackSync* slot, void* user, void* function) {
    ASSERT_POINTER(slot);
    CheckSlot(&slot->Pointers);
    if (!function) return CallbackSync_ResetReal(slot, 1);
    CriticalSection* lock = __atomic_load_n(&slot->Lock, __ATOMIC_ACQUIRE);
    if (!lock) {
        // Two first setters may race: the one whose lock is not installed deletes its own.
        CriticalSection* created = nullptr;
        CriticalSection_Create(&created);
        lock = static_cast<CriticalSection*>(
            Platform_CASPointer(reinterpret_cast<void* volatile*>(&slot->Lock), created, nullptr));
        if (lock)
            CriticalSection_Delete(&created);
        else
            lock = created;
    }
    CriticalSectionGuard guard(lock);
    CallbackBase_SetReal(&slot->Pointers, 0, user, function);
    return 1;
}

int64_t CallbackSync_ResetReal(CallbackSync* slot, int32_t keepLock) {
    ASSERT_POINTER(slot);
    CheckSlot(&slot->Pointers);
    CriticalSection* lock = __atomic_load_n(&slot->Lock, __ATOMIC_ACQUIRE);
    if (!lock) return 1;
    CriticalSection_Lock(lock);
    CallbackBase_ResetReal(&slot->Pointers);
    CriticalSection_Unlock(lock);
    if (keepLock != 1) {
        __atomic_store_n(&slot->Lock, nullptr, __ATOMIC_RELEASE);
        CriticalSection_Delete(&lock);
    }
    return 1;
}

int64_t CallbackRef_SetReal(CallbackRef* slot, void* scope, void* user, void* function) {
    ASSERT_POINTER(slot);
    CheckSlot(&slot->Pointers);
    if (!function) return CallbackRef_ResetReal(slot);
    if (user && scope) {
        Class_AddRef(scope);
        void* PrevUserScopeHandle =
            Platform_CASPointer(reinterpret_cast<void* volatile*>(&slot->UserScopeHandle), scope, nullptr);
        ASSERT_MSG(PrevUserScopeHandle == NULL, "CallbackRef already registered");
    }
    CallbackBase_SetReal(&slot->Pointers, 0, user, function);
    return 1;
}

int64_t CallbackRef_ResetReal(CallbackRef* slot) {
    ASSERT_POINTER(slot);
    CheckSlot(&slot->Pointers);
    CallbackBase_ResetReal(&slot->Pointers);
    void* scope = __atomic_exchange_n(&slot->UserScopeHandle, nullptr, __ATOMIC_SEQ_CST);
    if (scope) Class_Release(&scope);
    return 1;
}
