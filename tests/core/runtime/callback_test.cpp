#include "core/runtime/callback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/runtime/class.h"
#include "core/runtime/critical_section.h"
#include "tests/support/abort_hook.h"

namespace {

// A reference-counted object that counts its deletions.
struct Counted {
    Class Header;
    int32_t* Deleted;
};

int64_t Counted_Delete(void** handle) {
    Counted* object = static_cast<Counted*>(*handle);
    (*object->Deleted)++;
    *handle = nullptr;
    return 1;
}

struct CountedHolder {
    int32_t deleted = 0;
    Counted object = {};
    CountedHolder() {
        object.Header.ClassId = 0x1234;
        object.Header.RefCount = 1;
        object.Header.Delete = Counted_Delete;
        object.Deleted = &deleted;
    }
    uint32_t refs() const { return object.Header.RefCount; }
};

int32_t g_calls = 0;
int32_t Handler(int32_t value) {
    g_calls++;
    return value * 2;
}
void* Word(uintptr_t value) {
    return reinterpret_cast<void*>(value);
}

TEST(Callback, InitAndRemoveKeepNoState) {
    EXPECT_EQ(Callback_Init(), 1);
    EXPECT_EQ(Callback_Remove(), 1);
}

TEST(Callback, SetGetAndResetBothWords) {
    CallbackBase slot = {};
    void* user = Word(1);
    void* function = Word(1);
    EXPECT_EQ(CallbackBase_GetReal(&slot, &user, &function), 0);
    EXPECT_EQ(user, nullptr);
    EXPECT_EQ(function, nullptr);

    EXPECT_EQ(CallbackBase_SetReal(&slot, 0, Word(0x1000), Word(0x2000)), 1);
    EXPECT_EQ(CallbackBase_GetReal(&slot, &user, &function), 1);
    EXPECT_EQ(user, Word(0x1000));
    EXPECT_EQ(function, Word(0x2000));
    // Either out-pointer may be left out.
    EXPECT_EQ(CallbackBase_GetReal(&slot, nullptr, nullptr), 1);
    // A slot without a reference may be set again at once.
    EXPECT_EQ(CallbackBase_SetReal(&slot, 0, Word(0x3000), nullptr), 1);
    EXPECT_EQ(CallbackBase_GetReal(&slot, &user, &function), 0);
    EXPECT_EQ(user, Word(0x3000));
    EXPECT_EQ(function, nullptr);
    EXPECT_EQ(CallbackBase_ResetReal(&slot), 1);
    EXPECT_EQ(slot.UserPtr, nullptr);
    EXPECT_EQ(slot.Function, nullptr);
}

TEST(Callback, TypedShortFormsRoundTripTheFunction) {
    CallbackBase slot = {};
    EXPECT_EQ(CallbackBase_Set(&slot, 0, Word(0x40), Handler), 1);
    void* user = nullptr;
    int32_t (*function)(int32_t) = nullptr;
    EXPECT_EQ(CallbackBase_Get(&slot, &user, &function), 1);
    EXPECT_EQ(user, Word(0x40));
    ASSERT_EQ(function, &Handler);
    g_calls = 0;
    EXPECT_EQ(function(21), 42);
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(CallbackBase_Reset(&slot), 1);
    EXPECT_EQ(CallbackBase_Get(&slot, &user, &function), 0);
    EXPECT_EQ(function, nullptr);
}

TEST(Callback, HeldReferenceIsTakenHiddenAndReleased) {
    CountedHolder h;
    CallbackBase slot = {};
    EXPECT_EQ(CallbackBase_SetReal(&slot, 1, &h.object, Word(0x2000)), 1);
    EXPECT_EQ(h.refs(), 2u);
    // The marker bit lives in the slot but never reaches a reader.
    EXPECT_EQ(slot.UserPtr, Word(reinterpret_cast<uintptr_t>(&h.object) | 1));
    void* user = nullptr;
    EXPECT_EQ(CallbackBase_GetReal(&slot, &user, nullptr), 1);
    EXPECT_EQ(user, &h.object);
    EXPECT_EQ(CallbackBase_ResetReal(&slot), 1);
    EXPECT_EQ(h.refs(), 1u);
    EXPECT_EQ(h.deleted, 0);
    EXPECT_EQ(slot.UserPtr, nullptr);

    // The slot's reference may be the last one.
    CallbackBase_SetReal(&slot, 1, &h.object, Word(0x2000));
    Counted* mine = &h.object;
    Class_Release(&mine);
    EXPECT_EQ(h.deleted, 0);
    CallbackBase_ResetReal(&slot);
    EXPECT_EQ(h.deleted, 1);

    // Hold reference with a null user takes nothing and marks nothing.
    CallbackBase_SetReal(&slot, 1, nullptr, Word(0x2000));
    EXPECT_EQ(slot.UserPtr, nullptr);
    CallbackBase_ResetReal(&slot);
}

TEST(Callback, SyncSlotCreatesItsLockOnFirstSetAndDeletesItOnRequest) {
    CallbackSync slot = {};
    // Reset before any set has no lock to use and does nothing.
    EXPECT_EQ(CallbackSync_ResetReal(&slot, 0), 1);
    EXPECT_EQ(slot.Lock, nullptr);

    CountedHolder h;
    EXPECT_EQ(CallbackSync_SetReal(&slot, &h.object, Word(0x2000)), 1);
    ASSERT_NE(slot.Lock, nullptr);
    EXPECT_EQ(CriticalSection_ValidHandle(slot.Lock), 1);
    EXPECT_EQ(h.refs(), 1u); // no reference held
    CriticalSection* lock = slot.Lock;
    EXPECT_EQ(CallbackSync_SetReal(&slot, Word(0x40), Word(0x3000)), 1);
    EXPECT_EQ(slot.Lock, lock);
    void* user = nullptr;
    void* function = nullptr;
    EXPECT_EQ(CallbackBase_GetReal(&slot.Pointers, &user, &function), 1);
    EXPECT_EQ(user, Word(0x40));
    EXPECT_EQ(function, Word(0x3000));

    // A null function resets and keeps the lock.
    EXPECT_EQ(CallbackSync_SetReal(&slot, Word(0x40), nullptr), 1);
    EXPECT_EQ(CallbackBase_GetReal(&slot.Pointers, &user, &function), 0);
    EXPECT_EQ(user, nullptr);
    EXPECT_EQ(slot.Lock, lock);

    CallbackSync_SetReal(&slot, Word(0x40), Word(0x3000));
    EXPECT_EQ(CallbackSync_ResetReal(&slot, 1), 1);
    EXPECT_EQ(slot.Lock, lock);
    EXPECT_EQ(CallbackSync_ResetReal(&slot, 0), 1);
    EXPECT_EQ(slot.Lock, nullptr);
    EXPECT_EQ(slot.Pointers.Function, nullptr);
}

TEST(Callback, RefSlotKeepsTheScopeAlive) {
    CountedHolder scope, user;
    CallbackRef slot = {};
    EXPECT_EQ(CallbackRef_SetReal(&slot, &scope.object, &user.object, Word(0x2000)), 1);
    EXPECT_EQ(scope.refs(), 2u);
    EXPECT_EQ(user.refs(), 1u);
    EXPECT_EQ(slot.UserScopeHandle, &scope.object);
    EXPECT_EQ(CallbackRef_ResetReal(&slot), 1);
    EXPECT_EQ(scope.refs(), 1u);
    EXPECT_EQ(slot.UserScopeHandle, nullptr);
    EXPECT_EQ(slot.Pointers.Function, nullptr);

    // No scope is taken without a user, and a null function resets.
    EXPECT_EQ(CallbackRef_SetReal(&slot, &scope.object, nullptr, Word(0x2000)), 1);
    EXPECT_EQ(scope.refs(), 1u);
    EXPECT_EQ(slot.Pointers.Function, Word(0x2000));
    EXPECT_EQ(CallbackRef_SetReal(&slot, &scope.object, &user.object, Word(0x2000)), 1);
    EXPECT_EQ(scope.refs(), 2u);
    EXPECT_EQ(CallbackRef_SetReal(&slot, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(scope.refs(), 1u);
    EXPECT_EQ(slot.Pointers.Function, nullptr);
    EXPECT_EQ(scope.deleted, 0);
}

// Writers store pairs whose words belong together; a reader that ever saw one writer's user
// with another writer's function would show a torn update.
TEST(Callback, ConcurrentSetsAndGetsNeverTear) {
    CallbackBase slot = {};
    constexpr int kWriters = 4;
    constexpr int kReaders = 4;
    constexpr int kRounds = 50000;
    std::atomic<int> torn{0};
    std::atomic<int> running{kWriters};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; w++)
        threads.emplace_back([&, w] {
            for (int i = 0; i < kRounds; i++) {
                uintptr_t base = ((uintptr_t)(w * kRounds + i) + 1) << 8;
                CallbackBase_SetReal(&slot, 0, Word(base), Word(base + 0x10));
            }
            running--;
        });
    for (int r = 0; r < kReaders; r++)
        threads.emplace_back([&] {
            while (running.load() > 0) {
                void* user = nullptr;
                void* function = nullptr;
                CallbackBase_GetReal(&slot, &user, &function);
                if ((uintptr_t)function != (user ? (uintptr_t)user + 0x10 : 0)) torn++;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(torn.load(), 0);
}

// Setters and resetters on a slot that holds references: every reference taken is given back.
TEST(Callback, ConcurrentHeldReferencesBalance) {
    CountedHolder h;
    CallbackSync slot = {};
    constexpr int kThreads = 6;
    constexpr int kRounds = 5000;
    CallbackSync_SetReal(&slot, Word(0x40), Word(0x50));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; i++) {
                // The slot's lock makes reset-then-set one step, as a slot holding a reference
                // requires.
                CriticalSectionGuard guard(slot.Lock);
                CallbackBase_ResetReal(&slot.Pointers);
                CallbackBase_SetReal(&slot.Pointers, 1, &h.object, Word(0x60));
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(h.refs(), 2u);
    CallbackSync_ResetReal(&slot, 0);
    EXPECT_EQ(h.refs(), 1u);
    EXPECT_EQ(h.deleted, 0);
    EXPECT_EQ(slot.Lock, nullptr);
}

// Many first setters at once install exactly one lock; the losers' locks are deleted (the leak
// checker would report one that was not).
TEST(Callback, RacingFirstSettersShareOneLock) {
    for (int round = 0; round < 20; round++) {
        CallbackSync slot = {};
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        std::vector<CriticalSection*> seen(8, nullptr);
        for (int t = 0; t < 8; t++)
            threads.emplace_back([&, t] {
                ready++;
                while (ready.load() < 8) std::this_thread::yield();
                CallbackSync_SetReal(&slot, Word(0x40), Word(0x50));
                seen[t] = __atomic_load_n(&slot.Lock, __ATOMIC_SEQ_CST);
            });
        for (auto& t : threads) t.join();
        for (CriticalSection* lock : seen) EXPECT_EQ(lock, slot.Lock);
        CallbackSync_ResetReal(&slot, 0);
    }
}

TEST(CallbackDeathTest, MisuseAbortsWithItsText) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            alignas(16) uint8_t bytes[48] = {};
            CallbackBase_SetReal(reinterpret_cast<CallbackBase*>(bytes + 8), 0, nullptr, nullptr);
        },
        AbortRegex("Assertion failed (((intptr_t)CallbackPointers & (CALLBACK_ALIGN_BYTES - 1)) == 0)\n"
                   "Unaligned value"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            alignas(16) uint8_t bytes[48] = {};
            CallbackBase_GetReal(reinterpret_cast<CallbackBase*>(bytes + 4), nullptr, nullptr);
        },
        AbortRegex("Assertion failed (((intptr_t)CallbackPointers & (CALLBACK_ALIGN_BYTES - 1)) == 0)\n"
                   "Unaligned value"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CallbackBase_ResetReal(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CountedHolder h;
            CallbackBase slot = {};
            CallbackBase_SetReal(&slot, 1, &h.object, Word(0x2000));
            CallbackBase_SetReal(&slot, 0, Word(0x40), Word(0x3000));
        },
        AbortRegex("Assertion failed (WasUserPtrRefCounted == FALSE || CallbackPointers->UserPtr == NULL)\n"
                   "Callback already registered"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CountedHolder scope;
            CountedHolder user;
            CallbackRef slot = {};
            CallbackRef_SetReal(&slot, &scope.object, &user.object, Word(0x2000));
            CallbackRef_SetReal(&slot, &scope.object, &user.object, Word(0x2000));
        },
        AbortRegex("Assertion failed (PrevUserScopeHandle == NULL)\nCallbackRef already registered"));
}

} // namespace
