// Select sets: growable descriptor bit sets, and the sliced wait that every blocking socket
// operation runs on (a poll per slice, so descriptors past 1,023 wait like any other).
#include <atomic>
#include <cstring>

#include "core/linux/platform_error.h"
#include "core/net/socket.h"
#include "core/net/socket_internal.h"
#include "core/runtime/class_family.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

// A slice below 16 ms would mostly measure the scheduler; above a second a cancel would wait
// too long to be noticed.
constexpr int64_t kSliceMin = 15;
constexpr int64_t kSliceMax = 1000;
constexpr int32_t kLocalEntries = 64;

int64_t DeleteHandle(void** handle) {
    return SocketSelect_Delete(reinterpret_cast<SocketSelect**>(handle));
}

void Grow(SocketSelect* set, int32_t words) {
    if (words <= set->WordCount) return;
    uint32_t* grown = static_cast<uint32_t*>(Memory_AllocZero(sizeof(uint32_t) * (size_t)words));
    if (set->Words) {
        memcpy(grown, set->Words, sizeof(uint32_t) * (size_t)set->WordCount);
        Memory_Free(set->Words, sizeof(uint32_t) * (size_t)set->WordCount);
    }
    set->Words = grown;
    set->WordCount = words;
}

void ClearBits(SocketSelect* set) {
    if (set->Words) memset(set->Words, 0, sizeof(uint32_t) * (size_t)set->WordCount);
}

bool HasBit(const SocketSelect* set, int32_t descriptor) {
    const int32_t word = descriptor / 32;
    return descriptor >= 0 && word < set->WordCount && (set->Words[word] >> (descriptor % 32) & 1);
}

void SetBit(SocketSelect* set, int32_t descriptor) {
    Grow(set, descriptor / 32 + 1);
    set->Words[descriptor / 32] |= 1u << (descriptor % 32);
}

void ClearBit(SocketSelect* set, int32_t descriptor) {
    if (HasBit(set, descriptor)) set->Words[descriptor / 32] &= ~(1u << (descriptor % 32));
}

int32_t CountBits(const SocketSelect* set) {
    int32_t count = 0;
    for (int32_t i = 0; i < set->WordCount; i++) count += __builtin_popcount(set->Words[i]);
    return count;
}

bool Armed(const SocketSelect* set) {
    return set && set->Armed;
}

// The descriptors of the taking-part sets, each once with the kinds it is wanted for.
struct EntryList {
    PlatformPollEntry Local[kLocalEntries];
    PlatformPollEntry* Items = Local;
    int32_t Count = 0;
    int32_t Capacity = kLocalEntries;

    ~EntryList() {
        if (Items != Local) Memory_Free(Items, sizeof(PlatformPollEntry) * (size_t)Capacity);
    }
    void Add(int32_t descriptor, uint16_t want) {
        if (Count == Capacity) {
            auto* grown = static_cast<PlatformPollEntry*>(Memory_Alloc(sizeof(PlatformPollEntry) * (size_t)Capacity * 2));
            memcpy(grown, Items, sizeof(PlatformPollEntry) * (size_t)Count);
            if (Items != Local) Memory_Free(Items, sizeof(PlatformPollEntry) * (size_t)Capacity);
            Items = grown;
            Capacity *= 2;
        }
        Items[Count++] = PlatformPollEntry{descriptor, want, 0};
    }
};

void Collect(EntryList* list, SocketSelect* sets[3], const uint16_t kinds[3]) {
    int32_t words = 0;
    for (int k = 0; k < 3; k++)
        if (sets[k] && sets[k]->WordCount > words) words = sets[k]->WordCount;
    for (int32_t w = 0; w < words; w++) {
        uint32_t any = 0;
        for (int k = 0; k < 3; k++)
            if (sets[k] && w < sets[k]->WordCount) any |= sets[k]->Words[w];
        while (any) {
            const int32_t bit = __builtin_ctz(any);
            any &= any - 1;
            const int32_t descriptor = w * 32 + bit;
            uint16_t want = 0;
            for (int k = 0; k < 3; k++)
                if (sets[k] && HasBit(sets[k], descriptor)) want |= kinds[k];
            list->Add(descriptor, want);
        }
    }
}

} // namespace

uint32_t SocketWait_LoadFlag(uint32_t* flag) {
    return std::atomic_ref<uint32_t>(*flag).load();
}

void SocketWait_StoreFlag(uint32_t* flag, uint32_t value) {
    std::atomic_ref<uint32_t>(*flag).store(value);
}

int64_t SocketWait_Run(const char* name, PlatformPollEntry* entries, int32_t count, uint32_t* cancel,
                       uint32_t timeoutMs, int32_t* ready, bool* cancelled, int32_t* error) {
    *ready = 0;
    *cancelled = false;
    *error = 0;
    int64_t remaining = timeoutMs;
    for (;;) {
        if (cancel && SocketWait_LoadFlag(cancel) == 1) {
            *cancelled = true;
            return 1;
        }
        const int64_t slice = remaining < kSliceMin + 1 ? kSliceMin : remaining;
        const int32_t wait = (int32_t)(slice > kSliceMax - 1 ? kSliceMax : slice);
        if (!PlatformSocket_Poll(entries, count, wait, ready, error)) {
            Log_Error("Select failed [%s: %s]\n", name, Platform_TranslateSocketError(*error));
            return 0;
        }
        if (*ready > 0 || slice <= kSliceMax) return 1;
        remaining -= kSliceMax;
    }
}

int64_t SocketSelect_Create(SocketSelect** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* set = static_cast<SocketSelect*>(Memory_AllocZero(sizeof(SocketSelect)));
    set->Header.ClassId = SOCKET_SELECT_CLASS_ID;
    set->Header.RefCount = 1;
    set->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(set);
    // Room for the first 1,024 descriptors, so that adding the usual ones never allocates.
    Grow(set, SOCKET_SELECT_MAX / 32);
    *handle = set;
    return 1;
}

int64_t SocketSelect_Delete(SocketSelect** handle) {
    ASSERT_POINTER(handle);
    SocketSelect* set = *handle;
    CLASS_CHECK(set, SOCKET_SELECT_CLASS_ID);
    if (set->Words) Memory_Free(set->Words, sizeof(uint32_t) * (size_t)set->WordCount);
    set->Header.ClassId = 0;
    Memory_Free(set, sizeof(SocketSelect));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(SocketSelect, SocketSelect, SOCKET_SELECT_CLASS_ID)

int32_t SocketSelect_GetMaxSockets() {
    return SOCKET_SELECT_MAX;
}

int64_t SocketSelect_Clear(SocketSelect* set) {
    CLASS_CHECK(set, SOCKET_SELECT_CLASS_ID);
    set->Armed = 0;
    set->Ready = 0;
    ClearBits(set);
    return 1;
}

int64_t SocketSelect_Copy(SocketSelect* target, SocketSelect* source) {
    CLASS_CHECK(target, SOCKET_SELECT_CLASS_ID);
    CLASS_CHECK(source, SOCKET_SELECT_CLASS_ID);
    if (target == source) return 1;
    Grow(target, source->WordCount);
    ClearBits(target);
    memcpy(target->Words, source->Words, sizeof(uint32_t) * (size_t)source->WordCount);
    target->Armed = source->Armed;
    target->Ready = source->Ready;
    return 1;
}

int64_t SocketSelect_Add(SocketSelect* set, Socket* socket) {
    CLASS_CHECK(set, SOCKET_SELECT_CLASS_ID);
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (socket->Handle < 0) return 0;
    set->Armed = 1;
    if (socket->PeekHeld > 0) {
        // Bytes already peeked are ready without waiting: from the first such socket on, the
        // set holds only these.
        if (set->Ready == 0) ClearBits(set);
        set->Ready++;
        SetBit(set, socket->Handle);
        return 1;
    }
    if (set->Ready > 0) return 1;
    SetBit(set, socket->Handle);
    return 1;
}

int64_t SocketSelect_AddLowLevelHandle(SocketSelect* set, int32_t descriptor) {
    CLASS_CHECK(set, SOCKET_SELECT_CLASS_ID);
    if (descriptor < 0) return 0;
    set->Armed = 1;
    SetBit(set, descriptor);
    return 1;
}

int64_t SocketSelect_Remove(SocketSelect* set, Socket* socket) {
    CLASS_CHECK(set, SOCKET_SELECT_CLASS_ID);
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (socket->Handle < 0) return 0;
    ClearBit(set, socket->Handle);
    return 1;
}

int64_t SocketSelect_IsSet(SocketSelect* set, Socket* socket) {
    CLASS_CHECK(set, SOCKET_SELECT_CLASS_ID);
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    return socket->Handle >= 0 && HasBit(set, socket->Handle);
}

int64_t SocketSelect_Wait(SocketSelect* read, SocketSelect* write, SocketSelect* error, uint32_t* cancel,
                          uint32_t timeoutMs, int32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    SocketSelect* given[3] = {read, write, error};
    for (SocketSelect* set : given)
        if (set) CLASS_CHECK(set, SOCKET_SELECT_CLASS_ID);
    auto clearAll = [&] {
        for (SocketSelect* set : given)
            if (set) ClearBits(set);
    };
    if (!Armed(error) && !Armed(read) && !Armed(write)) {
        clearAll();
        return 1;
    }
    // Sockets with peeked bytes are readable now: the others are only looked at, not waited for.
    const bool peeked = Armed(read) && read->Ready > 0;
    SocketSelect* taking[3] = {peeked ? nullptr : (Armed(read) ? read : nullptr), Armed(write) ? write : nullptr,
                               Armed(error) ? error : nullptr};
    const uint16_t kinds[3] = {PLATFORM_POLL_READ, PLATFORM_POLL_WRITE, PLATFORM_POLL_ERROR};
    EntryList list;
    Collect(&list, taking, kinds);
    int32_t ready = 0, failure = 0;
    bool cancelled = false;
    if (peeked) {
        if (list.Count > 0 && !PlatformSocket_Poll(list.Items, list.Count, 0, &ready, &failure)) {
            Log_Error("Select failed [%s: %s]\n", "SocketSelect", Platform_TranslateSocketError(failure));
            return 0;
        }
    } else if (!SocketWait_Run("SocketSelect", list.Items, list.Count, cancel, timeoutMs, &ready, &cancelled,
                               &failure)) {
        return 0;
    }
    if (cancelled) {
        clearAll();
        return 1;
    }
    for (int k = 0; k < 3; k++) {
        if (!given[k] || (k == 0 && peeked)) continue;
        ClearBits(given[k]);
        if (!taking[k]) continue;
        for (int32_t i = 0; i < list.Count; i++)
            if (list.Items[i].Got & kinds[k]) SetBit(given[k], list.Items[i].Descriptor);
    }
    for (SocketSelect* set : given)
        if (set) *count += CountBits(set);
    return 1;
}
