#include "core/runtime/callback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/runtime/class.h"
#include "core/runtime/critical_section.h"
#include "tests/support/abort_table.h"

namespace {

// A reference-counted object that counts its deletions.
struct Counted {
    Class Header;
    int32_t* Deleted;
};

int64_t Counted_Delete(void** handle) {
    (*static_cast<Counted*>(*handle)->Deleted)++;
    *handle = nullptr;
    return 1;
}

struct CountedHolder {
    int32_t deleted = 0;
    Counted object = {{{}, 0x1234, 1, Counted_Delete}, &deleted};
    uint32_t refs() const { return object.Header.RefCount; }
};

int32_t Twice(int32_t value) {
    return value * 2;
}
void* Word(uintptr_t value) {
    return reinterpret_cast<void*>(value);
}

// The slot's user and function as a reader sees them, and the result of the read.
struct Read {
    int64_t result;
    void* user;
    void* function;
    bool operator==(const Read&) const = default;
};
Read Get(CallbackBase* slot) {
    Read r = {0, Word(1), Word(1)};
    r.result = CallbackBase_GetReal(slot, &r.user, &r.function);
    return r;
}

TEST(Callback, SetGetAndResetBothWords) {
    CallbackBase slot = {};
    EXPECT_EQ(Get(&slot), (Read{0, nullptr, nullptr}));
    EXPECT_EQ(CallbackBase_SetReal(&slot, 0, Word(0x1000), Word(0x2000)), 1);
    EXPECT_EQ(Get(&slot), (Read{1, Word(0x1000), Word(0x2000)}));
    EXPECT_EQ(CallbackBase_GetReal(&slot, nullptr, nullptr), 1); // both outputs may be left out
    // A slot without a reference may be set again at once; the result says whether a function is set.
    EXPECT_EQ(CallbackBase_SetReal(&slot, 0, Word(0x3000), nullptr), 1);
    EXPECT_EQ(Get(&slot), (Read{0, Word(0x3000), nullptr}));
    EXPECT_EQ(CallbackBase_ResetReal(&slot), 1);
    EXPECT_EQ(Get(&slot), (Read{0, nullptr, nullptr}));

    // The typed forms give the function back as it was set.
    EXPECT_EQ(CallbackBase_Set(&slot, 0, Word(0x40), Twice), 1);
    void* user = nullptr;
    int32_t (*function)(int32_t) = nullptr;
    EXPECT_EQ(CallbackBase_Get(&slot, &user, &function), 1);
    EXPECT_EQ(user, Word(0x40));
    ASSERT_EQ(function, &Twice);
    EXPECT_EQ(function(21), 42);
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
    EXPECT_EQ(Get(&slot), (Read{1, &h.object, Word(0x2000)}));
    EXPECT_EQ(CallbackBase_ResetReal(&slot), 1);
    EXPECT_EQ(h.refs(), 1u);
    EXPECT_EQ(slot.UserPtr, nullptr);

    // The slot's reference may be the last one.
    CallbackBase_SetReal(&slot, 1, &h.object, Word(0x2000));
    Counted* mine = &h.object;
    Class_Release(&mine);
    EXPECT_EQ(h.deleted, 0);
    CallbackBase_ResetReal(&slot);
    EXPECT_EQ(h.deleted, 1);

    // Holding a reference to a null user takes nothing and marks nothing.
    CallbackBase_SetReal(&slot, 1, nullptr, Word(0x2000));
    EXPECT_EQ(slot.UserPtr, nullptr);
}

TEST(Callback, SyncSlotMakesItsLockOnFirstSetAndDeletesItOnRequest) {
    CallbackSync slot = {};
    EXPECT_EQ(CallbackSync_ResetReal(&slot, 0), 1); // nothing to reset or delete yet
    EXPECT_EQ(slot.Lock, nullptr);
    CountedHolder h;
    EXPECT_EQ(CallbackSync_SetReal(&slot, &h.object, Word(0x2000)), 1);
    CriticalSection* lock = slot.Lock;
    EXPECT_EQ(CriticalSection_ValidHandle(lock), 1);
    EXPECT_EQ(h.refs(), 1u); // no reference held
    EXPECT_EQ(CallbackSync_SetReal(&slot, Word(0x40), Word(0x3000)), 1);
    EXPECT_EQ(Get(&slot.Pointers), (Read{1, Word(0x40), Word(0x3000)}));
    // A null function resets the words; only a reset that asks for it deletes the lock.
    EXPECT_EQ(CallbackSync_SetReal(&slot, Word(0x40), nullptr), 1);
    EXPECT_EQ(Get(&slot.Pointers), (Read{0, nullptr, nullptr}));
    CallbackSync_SetReal(&slot, Word(0x40), Word(0x3000));
    EXPECT_EQ(CallbackSync_ResetReal(&slot, 1), 1);
    EXPECT_EQ(slot.Pointers.Function, nullptr);
    EXPECT_EQ(slot.Lock, lock);
    EXPECT_EQ(CallbackSync_ResetReal(&slot, 0), 1);
    EXPECT_EQ(slot.Lock, nullptr);
}

TEST(Callback, RefSlotKeepsTheScopeAliveWhileAUserIsSet) {
    CountedHolder scope, user;
    CallbackRef slot = {};
    EXPECT_EQ(CallbackRef_SetReal(&slot, &scope.object, &user.object, Word(0x2000)), 1);
    EXPECT_EQ(scope.refs(), 2u);
    EXPECT_EQ(user.refs(), 1u);
    EXPECT_EQ(CallbackRef_ResetReal(&slot), 1);
    EXPECT_EQ(scope.refs(), 1u);
    EXPECT_EQ(slot.UserScopeHandle, nullptr);
    EXPECT_EQ(slot.Pointers.Function, nullptr);
    // No scope is taken without a user; a null function resets and lets the scope go.
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
    constexpr int kWriters = 4, kReaders = 4, kRounds = 50000;
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
                const Read read = Get(&slot);
                if ((uintptr_t)read.function != (read.user ? (uintptr_t)read.user + 0x10 : 0)) torn++;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(torn.load(), 0);
}

// Setters and resetters on a slot that holds references: every reference taken is given back.
TEST(Callback, ConcurrentHeldReferencesBalance) {
    CountedHolder h;
    CallbackSync slot = {};
    CallbackSync_SetReal(&slot, Word(0x40), Word(0x50));
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; i++) {
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
    const std::string unaligned =
        AbortRegex("Assertion failed (((intptr_t)CallbackPointers & (CALLBACK_ALIGN_BYTES - 1)) == 0)\n"
                   "Unaligned value");
    ExpectAborts({
        {[] {
             alignas(16) uint8_t bytes[48] = {};
             CallbackBase_SetReal(reinterpret_cast<CallbackBase*>(bytes + 8), 0, nullptr, nullptr);
         },
         unaligned},
        {[] {
             alignas(16) uint8_t bytes[48] = {};
             CallbackBase_GetReal(reinterpret_cast<CallbackBase*>(bytes + 4), nullptr, nullptr);
         },
         unaligned},
        {[] {
             static CountedHolder h;
             CallbackBase slot = {};
             CallbackBase_SetReal(&slot, 1, &h.object, Word(0x2000));
             CallbackBase_SetReal(&slot, 0, Word(0x40), Word(0x3000));
         },
         AbortRegex("Assertion failed (WasUserPtrRefCounted == FALSE || CallbackPointers->UserPtr == NULL)\n"
                    "Callback already registered")},
        {[] {
             static CountedHolder scope, user;
             CallbackRef slot = {};
             CallbackRef_SetReal(&slot, &scope.object, &user.object, Word(0x2000));
             CallbackRef_SetReal(&slot, &scope.object, &user.object, Word(0x2000));
         },
         AbortRegex("Assertion failed (PrevUserScopeHandle == NULL)\nCallbackRef already registered")},
    });
}

} // namespace
