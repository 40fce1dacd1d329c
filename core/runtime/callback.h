// Callback slots: user pointer and function pairs that are set and read atomically (one 16-byte
// compare-and-exchange) while other threads use them.
#pragma once

#include <cstdint>

struct CriticalSection;

// A slot must start on this boundary: both words change in one 16-byte exchange.
#define CALLBACK_ALIGN_BYTES 16

// The plain slot. The lowest bit of UserPtr is set while the slot holds a reference on the user
// object (Class_AddRef); readers never see that bit, so every user, held or not, must be at an even
// address (objects and records are; a pointer into a text need not be).
struct alignas(CALLBACK_ALIGN_BYTES) CallbackBase {
    void* UserPtr;
    void* Function;
};

// A slot with a lock, created on first set, for callers that serialise set and reset with their
// own use of the slot.
struct alignas(CALLBACK_ALIGN_BYTES) CallbackSync {
    CallbackBase Pointers;
    CriticalSection* Lock;
};

// A slot that keeps a reference on a scope object (Class_AddRef) while it is set.
struct alignas(CALLBACK_ALIGN_BYTES) CallbackRef {
    CallbackBase Pointers;
    void* UserScopeHandle;
};

// The module keeps no state; start and stop exist so that the core starts it in order.
int64_t Callback_Init();
int64_t Callback_Remove();

// Replaces both words at once. With holdReference 1 and a user, a reference is taken on the
// user object first; a slot that still holds a reference on a user must be reset before it is
// set again. Returns 1.
int64_t CallbackBase_SetReal(CallbackBase* slot, int32_t holdReference, void* user, void* function);
// Reads both words at once (either pointer may be null); 1 when a function is set.
int64_t CallbackBase_GetReal(CallbackBase* slot, void** user, void** function);
// 1 when both words are empty: the cheap test hot paths make before a full read. A set racing
// with it is seen or not, as it would be by a read just before or after.
inline int64_t CallbackBase_IsEmpty(const CallbackBase* slot) {
    return __atomic_load_n(&slot->Function, __ATOMIC_ACQUIRE) == nullptr &&
           __atomic_load_n(&slot->UserPtr, __ATOMIC_ACQUIRE) == nullptr;
}
// Clears both words and releases a user on which the slot held a reference. Returns 1.
int64_t CallbackBase_ResetReal(CallbackBase* slot);

// With a function: creates the lock on first use and stores user and function under it (no
// reference). With a null function: resets and keeps the lock. Returns 1.
int64_t CallbackSync_SetReal(CallbackSync* slot, void* user, void* function);
// Nothing when the slot never got a lock; else clears under the lock and deletes the lock
// unless keepLock is 1. Returns 1.
int64_t CallbackSync_ResetReal(CallbackSync* slot, int32_t keepLock);

// With a function and both user and scope: keeps a reference on the scope and stores user and
// function (no reference on the user). With a null function: resets. Returns 1.
int64_t CallbackRef_SetReal(CallbackRef* slot, void* scope, void* user, void* function);
// Clears the slot and releases the scope reference. Returns 1.
int64_t CallbackRef_ResetReal(CallbackRef* slot);

// Short forms taking and giving typed function pointers.
template <typename F> inline void* Callback_FunctionWord(F function) {
    return reinterpret_cast<void*>(function);
}

template <typename F>
inline int64_t CallbackBase_Set(CallbackBase* slot, int32_t holdReference, void* user, F function) {
    return CallbackBase_SetReal(slot, holdReference, user, Callback_FunctionWord(function));
}

template <typename F> inline int64_t CallbackBase_Get(CallbackBase* slot, void** user, F* function) {
    void* word = nullptr;
    int64_t result = CallbackBase_GetReal(slot, user, function ? &word : nullptr);
    if (function) *function = reinterpret_cast<F>(word);
    return result;
}

inline int64_t CallbackBase_Reset(CallbackBase* slot) {
    return CallbackBase_ResetReal(slot);
}
