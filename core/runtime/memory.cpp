// Sized heap memory: guards around every block catch overruns on free; with tracking on, a record
// behind each block links the live blocks into lists that can be checked, dumped and reported.
// Each thread links its blocks into a list of its own, so that allocating threads never wait for
// one another and share no cache line; the time-stamp counter in every record lets a dump merge
// the lists, newest first.
#include "core/runtime/memory.h"

#include <linux/membarrier.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "core/linux/platform.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "guard pattern assembly assumes little endian");

namespace {

constexpr int32_t kGuardSize = 16;
constexpr int32_t kTrackerSize = 64;
// Largest request: R must stay a signed 32-bit size, with room kept behind it as it always was
// (the record's first 48 bytes), so callers see the same limit whatever the record holds.
constexpr int32_t kMaxSize = INT32_MAX - (2 * kGuardSize + 3) - 48;
// Smallest distance between two tracker records (a 1-byte block plus its record); bounds the walk
// of a damaged list.
constexpr uintptr_t kMinTrackedSpan = 36 + kTrackerSize;
constexpr uint32_t kFreedSize = 0xFFFFFFFF;

// The record sits right behind the back guard, so it is only 4-byte aligned.
struct __attribute__((packed, aligned(4))) MemoryTracker {
    const char* File;
    uint32_t Line;
    uint32_t Size;
    uint8_t* Block;
    MemoryTracker* Next; // next older record of the same list
    MemoryTracker* Prev; // next newer record of the same list
    uint32_t Flags;
    uint32_t ListIndex; // the list the record is linked into
    uint64_t Sequence;  // allocation order across the lists
    uint64_t Returned;  // next record handed back to the same list (see TrackList)
};
static_assert(sizeof(MemoryTracker) == kTrackerSize);

struct MemoryState {
    std::atomic<uint32_t> Tracking{0};
    std::atomic<uint32_t> MaxCount{0};
    std::atomic<uint32_t> MaxBytes{0};
    // Only ever widened; read without a lock by the checks of a free.
    std::atomic<uintptr_t> Low{UINTPTR_MAX}; // lowest tracked block start
    std::atomic<uintptr_t> High{0};          // highest tracker record
};

MemoryState GlobalMemoryState;
// Whether the module is started, and with tracking: one word, which every call reads first.
enum : uint32_t { kStopped = 0, kCounting = 1, kTracking = 2 };
std::atomic<uint32_t> Mode{kStopped};
// Points at the state while the module is started; set beside Mode, read only by the start.
std::atomic<MemoryState*> GlobalMemory{nullptr};
// Serialises start and stop of the module; never taken by an allocation.
std::recursive_mutex MemoryLock;

// The allocation order of tracked blocks across threads (within a thread, its list holds the order).
//
// On x86 it is the processor's time-stamp counter, which runs at one rate on every core and needs
// no shared counter. Reading it costs as much as the rest of a tracked allocation, so a thread
// reads it again only every kStampSpan allocations and counts on from its last reading in
// between, and always once the order epoch has moved: the epoch moves whenever one thread can
// have learnt of another's allocations through this module (a thread taking over or handing back
// a list, which thread starts and ends go through; another thread taking a list to free one of its
// blocks or to walk every list). So blocks of threads that met through thread start and end or
// through the allocator are listed in order; blocks that other threads allocated after meeting
// some other way may be listed as up to kStampSpan allocations older. Elsewhere a shared counter.
constexpr uint32_t kStampSpan = 16;
struct alignas(64) OrderEpochWord {
    std::atomic<uint64_t> Value{0};
};
OrderEpochWord OrderEpoch;
thread_local uint64_t StampLast = 0;
thread_local uint64_t StampEpoch = UINT64_MAX;
thread_local uint32_t StampCount = 0;

inline void MoveOrderEpoch() {
    OrderEpoch.Value.fetch_add(1, std::memory_order_relaxed);
}

[[gnu::noinline]] uint64_t RefreshSequence(uint64_t epoch) {
    StampEpoch = epoch;
    StampCount = 0;
#if defined(__x86_64__)
    const uint64_t now = __builtin_ia32_rdtsc();
#else
    static std::atomic<uint64_t> sequence{0};
    const uint64_t now = sequence.fetch_add(kStampSpan, std::memory_order_relaxed);
#endif
    StampLast = now > StampLast ? now : StampLast + 1;
    return StampLast;
}

inline uint64_t NextSequence() {
#if defined(__x86_64__)
    const uint64_t epoch = OrderEpoch.Value.load(std::memory_order_relaxed);
    if (__builtin_expect(epoch != StampEpoch || ++StampCount >= kStampSpan, 0)) return RefreshSequence(epoch);
    return ++StampLast;
#else
    return RefreshSequence(0);
#endif
}

inline void CpuRelax() {
#if defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

// Names the calling thread: the address of a variable each thread has its own copy of, which
// needs no initialisation on first use.
inline uint64_t CurrentThreadTag() {
    static thread_local char marker;
    return (uint64_t)(uintptr_t)&marker;
}

// One thread's tracked blocks, newest first, with their count and bytes (count in the low half
// of Usage, bytes in the high half, as the usage counters below).
//
// The owning thread takes its list without a locked instruction: it raises Busy and goes ahead
// unless another thread wants the list. Any other thread (a walk over every list, a free of one of
// the list's blocks that cannot be handed back below) takes the list's lock, raises Want, makes
// the owner's Busy visible with a process-wide barrier and waits for the owner to leave. Either
// the owner sees Want and waits for the lock, or the other thread sees Busy and waits for the
// owner: the barrier (membarrier) gives the owner's side the ordering a fence would, paid only by
// the rare other side. A list whose thread ended has no owner, and its takers need no barrier.
//
// Both ways in are re-entrant (the full check of the memory test flag and the dump of a failing
// check run while the allocator holds its own list). Peak is the list's own usage when the maxima
// were last raised: the maxima are recomputed over all lists only when a list passes its own
// peak, which keeps them exact while one thread allocates and costs nothing in the steady state.
struct alignas(64) TrackList {
    // Written by the owner on every allocation and free.
    std::atomic<uint32_t> Busy{0};
    MemoryTracker* Newest = nullptr;
    std::atomic<uint64_t> Usage{0};
    uint32_t PeakCount = 0;
    uint32_t PeakBytes = 0;
    // Written by the other threads that take the list or hand blocks back to it; the owner reads
    // them on every allocation and free, and writes them only to take back what was handed back.
    alignas(64) std::atomic<uint32_t> Locked{0};
    std::atomic<uint32_t> Want{0};
    std::atomic<uint64_t> Holder{0};
    uint32_t HolderDepth = 0;
    // Set while a thread owns the list; changed under the registry lock.
    std::atomic<bool> Owned{false};
    uint32_t Index = 0;
    // Blocks that other threads freed while the list had an owner: checked, unlinked and released
    // by whoever next holds the list (its owner on its next allocation or free, a walk, a later
    // taker), so that a free from another thread costs one exchange instead of a process barrier.
    // Their bytes and count are already off the totals (ReturnedUsage), but still in Usage, which
    // counts what the list links.
    std::atomic<MemoryTracker*> Returned{nullptr};
    std::atomic<uint64_t> ReturnedUsage{0};
};

// Set in the link of every record handed back, the last one too.
constexpr uint64_t kReturnedMark = 1;
// Most blocks and bytes handed back to a list before the freeing thread releases them itself.
constexpr uint32_t kReturnedBlocks = 4096;
constexpr uint32_t kReturnedBytes = 4 << 20;

// The lists, found by index in chunks that never move: a record names its list by index, which a
// free checks against the count without a walk. Lists are never freed; a list whose thread ended
// keeps its blocks and is taken over by the next thread that needs one, so there are only ever as
// many lists as threads that tracked blocks at once. Index 0 takes the blocks of threads past
// their own list's end (their exit handlers) and of threads beyond the last chunk.
constexpr uint32_t kChunkLists = 64;
constexpr uint32_t kMaxChunks = 1024;
std::atomic<TrackList*> Chunks[kMaxChunks];
std::atomic<uint32_t> ListCount{0};
// Serialises additions to the lists, hand-overs of lists between threads and the walks over every
// list. May be taken while a list is held, never the other way round.
std::recursive_mutex RegistryLock;

inline uint32_t ListTotal() {
    return ListCount.load(std::memory_order_acquire);
}
inline TrackList* ListAt(uint32_t index) {
    return &Chunks[index / kChunkLists].load(std::memory_order_acquire)[index % kChunkLists];
}

// The tracked blocks of every list: those in use, or with linked, also those handed back but not
// yet released (what a walk finds in the lists).
uint64_t TrackedUsage(bool linked = false) {
    uint64_t total = 0;
    for (uint32_t i = 0, n = ListTotal(); i < n; i++) {
        TrackList* list = ListAt(i);
        total += list->Usage.load(std::memory_order_relaxed);
        if (!linked) total -= list->ReturnedUsage.load(std::memory_order_relaxed);
    }
    return total;
}

// Whether owners take their lists without a locked instruction: only once the process barrier is
// known to work. Set once, never cleared.
std::atomic<bool> Asymmetric{false};

long MembarrierCall(int command) {
    return syscall(__NR_membarrier, command, 0, 0);
}

void EnableAsymmetric() {
    if (Asymmetric.load(std::memory_order_relaxed)) return;
    const long supported = MembarrierCall(MEMBARRIER_CMD_QUERY);
    if (supported < 0 || !(supported & MEMBARRIER_CMD_PRIVATE_EXPEDITED)) return;
    if (MembarrierCall(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) != 0) return;
    Asymmetric.store(true, std::memory_order_seq_cst);
}

// A full barrier on every running thread of the process. The registration is redone where it was
// lost (a forked child); the global barrier is the last resort.
void ProcessBarrier() {
    if (MembarrierCall(MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0) return;
    if (MembarrierCall(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0 &&
        MembarrierCall(MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0)
        return;
    if (MembarrierCall(MEMBARRIER_CMD_GLOBAL) == 0) return;
    Debug_AbortInt(__FILE__, __LINE__, "Memory barrier failed\n");
}

// The lock of the other threads; bounded gives up after about a second (the dump of a failing
// check must not hang on a list whose holder is itself stuck in an abort).
bool LockTaken(TrackList* list, bool bounded) {
    const uint64_t me = CurrentThreadTag();
    if (list->Holder.load(std::memory_order_relaxed) == me) {
        list->HolderDepth++;
        return true;
    }
    for (uint32_t spins = 0; list->Locked.exchange(1, std::memory_order_acquire);) {
        while (list->Locked.load(std::memory_order_relaxed)) {
            if (bounded && spins > 100000) return false;
            if (++spins < 64)
                CpuRelax();
            else
                sched_yield();
        }
    }
    list->Holder.store(me, std::memory_order_relaxed);
    list->HolderDepth = 1;
    return true;
}

void LockReleased(TrackList* list) {
    if (--list->HolderDepth) return;
    list->Holder.store(0, std::memory_order_relaxed);
    list->Locked.store(0, std::memory_order_release);
}

// The calling thread's own list and how it holds it. Plain thread-local values: the fast path
// reads them without the initialisation check a variable with a destructor would need.
thread_local TrackList* OwnList = nullptr;
thread_local uint32_t OwnIndex = UINT32_MAX;
thread_local uint32_t OwnDepth = 0;
thread_local bool OwnViaLock = false;
thread_local bool OwnGone = false;

// Hands the list back when the thread ends; blocks tracked by the thread's later exit handlers
// go to list 0.
struct OwnRelease {
    bool Armed = false;
    ~OwnRelease();
};
thread_local OwnRelease OwnReleaser;

[[gnu::always_inline]] inline void OwnEnter(TrackList* list) {
    if (OwnDepth++) return;
    if (__builtin_expect(Asymmetric.load(std::memory_order_relaxed), 1)) {
        list->Busy.store(1, std::memory_order_relaxed);
        // Only the compiler is held here: the hardware order comes from the takers' barrier.
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (__builtin_expect(list->Want.load(std::memory_order_acquire) == 0, 1)) {
            OwnViaLock = false;
            return;
        }
        list->Busy.store(0, std::memory_order_release);
    }
    LockTaken(list, false);
    OwnViaLock = true;
}

[[gnu::always_inline]] inline void OwnLeave(TrackList* list) {
    if (--OwnDepth) return;
    if (OwnViaLock)
        LockReleased(list);
    else
        list->Busy.store(0, std::memory_order_release);
}

[[gnu::noinline]] void OtherLeave(TrackList* list) {
    if (list->HolderDepth == 1) list->Want.store(0, std::memory_order_release);
    LockReleased(list);
}

[[gnu::noinline]] bool OtherEnter(TrackList* list, bool bounded) {
    if (!LockTaken(list, bounded)) return false;
    if (list->HolderDepth > 1) return true;
    MoveOrderEpoch();
    // Pairs with the exchange of a thread taking the list over: either it sees Want or this sees
    // the list owned.
    list->Want.exchange(1, std::memory_order_seq_cst);
    if (Asymmetric.load(std::memory_order_relaxed) && list->Owned.load(std::memory_order_seq_cst))
        ProcessBarrier();
    for (uint32_t spins = 0; list->Busy.load(std::memory_order_acquire);) {
        if (bounded && spins > 100000) {
            OtherLeave(list);
            return false;
        }
        if (++spins < 64)
            CpuRelax();
        else
            sched_yield();
    }
    return true;
}

[[gnu::always_inline]] inline bool ListEnter(TrackList* list, bool bounded = false) {
    if (list == OwnList) return OwnEnter(list), true;
    return OtherEnter(list, bounded);
}

[[gnu::always_inline]] inline void ListLeave(TrackList* list) {
    if (list == OwnList)
        OwnLeave(list);
    else
        OtherLeave(list);
}

void DrainReturned(TrackList* list);
// Called with the list held: releases what other threads handed back to it.
[[gnu::always_inline]] inline void TakeReturned(TrackList* list) {
    if (__builtin_expect(list->Returned.load(std::memory_order_relaxed) != nullptr, 0)) DrainReturned(list);
}

// The owner's way in when it holds nothing yet and no other thread wants the list: Busy alone,
// for a section that calls nothing that could come back into the allocator.
[[gnu::always_inline]] inline bool OwnQuickEnter(TrackList* list) {
    if (list != OwnList || OwnDepth || !Asymmetric.load(std::memory_order_relaxed)) return false;
    list->Busy.store(1, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (__builtin_expect(list->Want.load(std::memory_order_acquire) == 0, 1)) return true;
    list->Busy.store(0, std::memory_order_release);
    return false;
}

[[gnu::always_inline]] inline void OwnQuickLeave(TrackList* list) {
    list->Busy.store(0, std::memory_order_release);
}

OwnRelease::~OwnRelease() {
    if (OwnList) {
        OwnEnter(OwnList);
        TakeReturned(OwnList);
        OwnLeave(OwnList);
        std::lock_guard<std::recursive_mutex> lock(RegistryLock);
        OwnList->Owned.store(false, std::memory_order_release);
        MoveOrderEpoch();
    }
    OwnList = nullptr;
    OwnIndex = UINT32_MAX;
    OwnGone = true;
}

class ListGuard {
  public:
    explicit ListGuard(TrackList* list) : list_(list) { ListEnter(list_); }
    ~ListGuard() { ListLeave(list_); }
    ListGuard(const ListGuard&) = delete;
    ListGuard& operator=(const ListGuard&) = delete;

  private:
    TrackList* list_;
};

// Holds every list (and the registry) for a walk over all tracked blocks.
class AllListsGuard {
  public:
    explicit AllListsGuard(bool bounded = false) {
        if (bounded) {
            // Polled rather than a timed wait, which the thread checker cannot follow.
            for (int i = 0; i < 1000 && !(registry_ = RegistryLock.try_lock()); i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            RegistryLock.lock();
            registry_ = true;
        }
        MoveOrderEpoch();
        for (uint32_t i = 0, n = ListTotal(); i < n; i++) {
            TrackList* list = ListAt(i);
            if (!ListEnter(list, bounded)) continue;
            held_.push_back(list);
            // The dump of a failing check shows the lists as they are.
            if (!bounded) TakeReturned(list);
        }
    }
    ~AllListsGuard() {
        for (TrackList* list : held_) ListLeave(list);
        if (registry_) RegistryLock.unlock();
    }
    AllListsGuard(const AllListsGuard&) = delete;
    AllListsGuard& operator=(const AllListsGuard&) = delete;

  private:
    bool registry_ = false;
    // Filled through the system heap, which the tracked allocator never calls back into.
    std::vector<TrackList*> held_;
};

// Called with the registry lock held.
TrackList* AddList() {
    const uint32_t index = ListCount.load(std::memory_order_relaxed);
    if (index >= kChunkLists * kMaxChunks) return nullptr;
    if (index % kChunkLists == 0)
        Chunks[index / kChunkLists].store(new TrackList[kChunkLists], std::memory_order_release);
    TrackList* list = ListAt(index);
    list->Index = index;
    ListCount.store(index + 1, std::memory_order_release);
    return list;
}

[[gnu::noinline]] TrackList* AdoptList() {
    std::lock_guard<std::recursive_mutex> lock(RegistryLock);
    if (ListTotal() == 0) AddList();
    TrackList* shared = ListAt(0);
    if (OwnGone) return shared;
    TrackList* found = nullptr;
    for (uint32_t i = 1, n = ListTotal(); i < n && !found; i++)
        if (!ListAt(i)->Owned.load(std::memory_order_relaxed)) found = ListAt(i);
    if (!found) found = AddList();
    if (!found) return shared;
    // Pairs with the exchange of a taker that found the list without an owner: either it makes the
    // barrier or this thread's first Busy sees its Want (the exchange is a full barrier).
    found->Owned.exchange(true, std::memory_order_seq_cst);
    MoveOrderEpoch();
    OwnReleaser.Armed = true; // the first use registers the hand-back at thread end
    OwnList = found;
    OwnIndex = found->Index;
    return found;
}

inline TrackList* ThreadTrackList() {
    TrackList* list = OwnList;
    return __builtin_expect(list != nullptr, 1) ? list : AdoptList();
}

inline void WidenBounds(uintptr_t block, uintptr_t record) {
    MemoryState& s = GlobalMemoryState;
    uintptr_t low = s.Low.load(std::memory_order_relaxed);
    while (block < low && !s.Low.compare_exchange_weak(low, block, std::memory_order_relaxed)) {
    }
    uintptr_t high = s.High.load(std::memory_order_relaxed);
    while (record > high && !s.High.compare_exchange_weak(high, record, std::memory_order_relaxed)) {
    }
}

void RaiseMaximum(std::atomic<uint32_t>& maximum, uint32_t value) {
    uint32_t seen = maximum.load(std::memory_order_relaxed);
    while (value > seen && !maximum.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}
// Stops the allocation report from recursing when the log allocates.
thread_local bool MemoryReporting = false;

// The usage counters: allocation count in the low half of one 64-bit word, bytes in use in the
// high half (the count never reaches 2^32 live blocks; bytes wrap off the top as a u32 would).
// The packing is linear, so partial sums kept apart add up to the same word.
//
// Untracked blocks are counted on the thread that allocates or frees them, in a slot only that
// thread writes: no locked instruction on the fast path. A reader sums the slots of the living
// threads and what ended threads left behind. Tracked blocks are counted by their lists.
struct ThreadUsage {
    std::atomic<uint64_t> Value{0};
    ThreadUsage* Next = nullptr;
    ThreadUsage* Prev = nullptr;
    ~ThreadUsage();
};

// Guards the list of slots and Retired; may be taken inside MemoryLock, never the other way round.
std::mutex UsageListLock;
ThreadUsage* UsageList = nullptr;
// Counts of threads that have ended, and of frees that came after a thread's slot was gone.
std::atomic<uint64_t> Retired{0};

thread_local ThreadUsage* ThreadSlot = nullptr;
thread_local bool ThreadSlotGone = false;
thread_local ThreadUsage ThreadSlotStorage;

ThreadUsage::~ThreadUsage() {
    std::lock_guard<std::mutex> lock(UsageListLock);
    Retired.fetch_add(Value.load(std::memory_order_relaxed), std::memory_order_relaxed);
    if (Prev)
        Prev->Next = Next;
    else
        UsageList = Next;
    if (Next) Next->Prev = Prev;
    ThreadSlot = nullptr;
    ThreadSlotGone = true;
}

[[gnu::noinline]] void AddUsageSlow(uint64_t delta) {
    // Blocks freed by a thread's own exit handlers after its slot went count with the ended threads.
    if (ThreadSlotGone) {
        Retired.fetch_add(delta, std::memory_order_relaxed);
        return;
    }
    ThreadUsage* slot = &ThreadSlotStorage;
    {
        std::lock_guard<std::mutex> lock(UsageListLock);
        slot->Next = UsageList;
        if (UsageList) UsageList->Prev = slot;
        UsageList = slot;
    }
    ThreadSlot = slot;
    slot->Value.store(slot->Value.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}

inline void AddUsage(uint64_t delta) {
    ThreadUsage* slot = ThreadSlot;
    if (__builtin_expect(slot == nullptr, 0)) return AddUsageSlow(delta);
    slot->Value.store(slot->Value.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}

uint64_t ReadUsage(bool linked = false) {
    std::lock_guard<std::mutex> lock(UsageListLock);
    uint64_t total = Retired.load(std::memory_order_relaxed) + TrackedUsage(linked);
    for (ThreadUsage* slot = UsageList; slot; slot = slot->Next)
        total += slot->Value.load(std::memory_order_relaxed);
    return total;
}

// Clears the untracked counts; the lists' counts are cleared by ForgetLists, which holds them.
void ClearUsage() {
    std::lock_guard<std::mutex> lock(UsageListLock);
    Retired.store(0);
    for (ThreadUsage* slot = UsageList; slot; slot = slot->Next) slot->Value.store(0);
}

inline uint32_t BlockSize(int32_t size) {
    return ((uint32_t)size + 2 * kGuardSize + 3) & ~3u;
}
inline uint64_t UsageDelta(uint32_t r) {
    return 1u | ((uint64_t)r << 32);
}
inline uint32_t UsageCount(uint64_t usage) {
    return (uint32_t)usage;
}
inline uint32_t UsageBytes(uint64_t usage) {
    return (uint32_t)(usage >> 32);
}

typedef uint16_t U16x8 __attribute__((vector_size(16)));
typedef uint8_t U8x16 __attribute__((vector_size(16)));

// Byte i of a guard is (start >> i) XOR 0xCC. Each 16-bit lane shifts a copy of the address left by
// 8 - i so that the wanted bits land in its high byte; the high bytes of both halves form the guard.
inline U8x16 GuardPattern(const uint8_t* block) {
    const uintptr_t address = (uintptr_t)block;
    const U16x8 shift = {256, 128, 64, 32, 16, 8, 4, 2};
    U16x8 low = ((U16x8){} + (uint16_t)address) * shift;
    U16x8 high = ((U16x8){} + (uint16_t)(address >> 8)) * shift;
    low >>= 8;
    high >>= 8;
    U8x16 bytes = __builtin_shufflevector((U8x16)low, (U8x16)high, 0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22,
                                          24, 26, 28, 30);
    return bytes ^ (uint8_t)0xCC;
}

inline void WriteGuards(uint8_t* block, uint32_t r) {
    const U8x16 pattern = GuardPattern(block);
    memcpy(block, &pattern, kGuardSize);
    memcpy(block + r - kGuardSize, &pattern, kGuardSize);
}

// Both guards are compared in registers: comparing them with a pattern spilled to the stack would
// read it back in halves, which the store in front of it cannot forward, and stall every free.
inline bool GuardsIntact(const uint8_t* block, uint32_t r) {
    typedef uint64_t U64x2 __attribute__((vector_size(16)));
    const U8x16 pattern = GuardPattern(block);
    U8x16 front, back;
    memcpy(&front, block, kGuardSize);
    memcpy(&back, block + r - kGuardSize, kGuardSize);
    const U64x2 differ = (U64x2)((front ^ pattern) | (back ^ pattern));
    return (differ[0] | differ[1]) == 0;
}

inline uint8_t* AllocateRaw(size_t bytes, uint32_t flags) {
    return (uint8_t*)((flags & MEMORY_FLAG_ZERO) ? calloc(1, bytes) : malloc(bytes));
}

inline bool IsTracking() {
    return Mode.load(std::memory_order_acquire) == kTracking;
}

inline bool InBounds(const void* pointer) {
    const uintptr_t value = (uintptr_t)pointer;
    return value >= GlobalMemoryState.Low.load(std::memory_order_relaxed) &&
           value <= GlobalMemoryState.High.load(std::memory_order_relaxed);
}

// Next and previous links are null at the ends of the list.
inline bool LinkInBounds(const void* pointer) {
    return pointer == nullptr || InBounds(pointer);
}

// Number of records a walk may visit: one more than the count (which changes together with the
// list) shows a list that is longer than it should be, and a damaged list may loop.
uintptr_t WalkLimit() {
    const MemoryState& s = GlobalMemoryState;
    uintptr_t limit = UsageCount(ReadUsage(true));
    const uintptr_t low = s.Low.load(std::memory_order_relaxed),
                    high = s.High.load(std::memory_order_relaxed);
    if (high >= low && (high - low) / kMinTrackedSpan + 1 < limit) limit = (high - low) / kMinTrackedSpan + 1;
    return limit + 1;
}

// Called with every list held. Merges the lists by sequence, newest first. Stops a list at a
// record outside the bounds so that a damaged list can still be shown up to the damage.
void DumpHeld() {
    std::vector<MemoryTracker*> heads;
    for (uint32_t i = 0, n = ListTotal(); i < n; i++)
        if (ListAt(i)->Newest) heads.push_back(ListAt(i)->Newest);
    uintptr_t limit = WalkLimit();
    for (;;) {
        size_t pick = heads.size();
        for (size_t i = 0; i < heads.size(); i++) {
            if (!heads[i] || !InBounds(heads[i])) continue;
            if (pick == heads.size() || heads[i]->Sequence > heads[pick]->Sequence) pick = i;
        }
        if (pick == heads.size() || limit-- == 0) return;
        MemoryTracker* record = heads[pick];
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                     "Memory Tracking: 0x%p alloc'd from [Line %d/%s] [%d/0x%.8X]\n",
                     record->Block + kGuardSize, (int32_t)record->Line, record->File, (int32_t)record->Size,
                     record->Flags);
        heads[pick] = record->Next;
    }
}

// The dump of a failing check: takes what lists it can within a bounded wait.
void DumpLocked() {
    AllListsGuard all(true);
    DumpHeld();
}

// Whether the tracker check below would pass: the common case, in one run of compares.
inline bool TrackerIntact(const MemoryTracker* record, const uint8_t* block, int32_t size) {
    return InBounds(record) && LinkInBounds(record->Next) && LinkInBounds(record->Prev) &&
           InBounds(record->Block) && (!record->Next || record->Next->Prev == record) &&
           (!record->Prev || record->Prev->Next == record) && record->Size == (uint32_t)size &&
           record->Block == block;
}

// Called with the lock held; every failure dumps the list and aborts.
[[gnu::noinline]] void TrackerCheck(MemoryTracker* record, uint8_t* block, int32_t size, const char* file,
                                    int32_t line) {
    if (!InBounds(record)) {
        DumpLocked();
        Debug_AbortInt(__FILE__, __LINE__, "Tracker invalid address <0x%p>\n", record);
    }
    if (!LinkInBounds(record->Next)) {
        DumpLocked();
        Debug_AbortInt(__FILE__, __LINE__, "Tracker next invalid address <0x%p->0x%p>\n", record,
                       record->Next);
    }
    if (!LinkInBounds(record->Prev)) {
        DumpLocked();
        Debug_AbortInt(__FILE__, __LINE__, "Tracker prev invalid address <0x%p->0x%p>\n", record,
                       record->Prev);
    }
    if (!InBounds(record->Block)) {
        DumpLocked();
        Debug_AbortInt(__FILE__, __LINE__, "Tracker pointer invalid address <0x%p->0x%p>\n", record,
                       record->Block);
    }
    if (record->Next && record->Next->Prev != record) {
        DumpLocked();
        Debug_AbortInt(file, line, "Tracker next invalid link <0x%p->0x%p->0x%p>\n", record, record->Next,
                       record->Next->Prev);
    }
    if (record->Prev && record->Prev->Next != record) {
        DumpLocked();
        Debug_AbortInt(file, line, "Tracker prev invalid link <0x%p->0x%p->0x%p>\n", record, record->Prev,
                       record->Prev->Next);
    }
    if (record->Size != (uint32_t)size || record->Block != block) {
        DumpLocked();
        Debug_AbortInt(file, line, "Memory tracking mismatch (%d / %d) [0x%p / 0x%p]\n", size,
                       (int32_t)record->Size, block, record->Block);
    }
}

// Called with the list held.
inline void Unlink(TrackList* list, MemoryTracker* record) {
    if (record->Next) record->Next->Prev = record->Prev;
    if (record->Prev)
        record->Prev->Next = record->Next;
    else
        list->Newest = record->Next;
}

// Called with the list held. The freeing thread checked size, block and guards; the links are
// checked here, a damaged one reported at this module's location.
[[gnu::noinline]] void DrainReturned(TrackList* list) {
    MemoryTracker* record = list->Returned.exchange(nullptr, std::memory_order_acquire);
    MemoryTracker* released = nullptr;
    uint64_t total = 0;
    while (record) {
        MemoryTracker* next = (MemoryTracker*)(uintptr_t)(record->Returned & ~kReturnedMark);
        const int32_t size = (int32_t)record->Size;
        uint8_t* block = (uint8_t*)((uintptr_t)record - BlockSize(size));
        if (!TrackerIntact(record, block, size)) TrackerCheck(record, block, size, __FILE__, __LINE__);
        if (!record->Prev && list->Newest != record) {
            DumpLocked();
            Debug_AbortInt(__FILE__, __LINE__, "Memory tracking mismatch (%d / %d) [0x%p / 0x%p]\n", size,
                           (int32_t)record->Size, block, record->Block);
        }
        Unlink(list, record);
        record->Size = kFreedSize;
        total += UsageDelta(BlockSize(size));
        record->Returned = (uint64_t)(uintptr_t)released;
        released = record;
        record = next;
    }
    list->Usage.store(list->Usage.load(std::memory_order_relaxed) - total, std::memory_order_relaxed);
    list->ReturnedUsage.fetch_sub(total, std::memory_order_relaxed);
    while (released) {
        MemoryTracker* next = (MemoryTracker*)(uintptr_t)released->Returned;
        uint8_t* block = released->Block;
        memset((void*)released, 0, kTrackerSize);
        free(block);
        released = next;
    }
}

void LogBytes(const char* title, const uint8_t* bytes, int32_t count) {
    Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, title);
    for (int32_t i = 0; i < count; i++) Log_PrintFormat(" %.2X", (uint32_t)bytes[i]);
    Log_PrintFormat("\n");
}

// The slow half of the guard check: counts and shows the damage. trailing is how many bytes
// behind the back guard belong to the allocation (the tracker record, when there is one).
[[gnu::noinline]] bool GuardCheckSlow(bool abortOnFailure, uint8_t* block, int32_t size, const char* file,
                                      int32_t line, int32_t trailing) {
    if (IsTracking()) {
        // A recorded size below 1 (a damaged record) can never describe a block.
        const uintptr_t end = (uintptr_t)block + (intptr_t)size;
        if (size < 1 || !InBounds(block) || !InBounds((const void*)end)) {
            Debug_AbortInt(file, line, "Invalid memory address (%d) <From:0x%p To:0x%p>\n", size, block,
                           (const void*)end);
        }
    }
    const uint32_t r = BlockSize(size);
    const U8x16 pattern = GuardPattern(block);
    uint8_t expected[kGuardSize];
    memcpy(expected, &pattern, kGuardSize);
    const uint8_t* back = block + r - kGuardSize;
    int32_t before = 0;
    int32_t after = 0;
    for (int32_t i = 0; i < kGuardSize; i++) {
        before += block[i] != expected[i];
        after += back[i] != expected[i];
    }
    if (before == 0 && after == 0) return true;

    Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                 "Memory corrupt (%d) <Addr:0x%p Before:%d After:%d Max:%d>\n", size, block + kGuardSize,
                 before, after, kGuardSize);
    LogBytes("Expected:", expected, kGuardSize);
    if (before) LogBytes("Prior corruption:", block, 2 * kGuardSize);
    if (after)
        LogBytes("After corruption:", back, kGuardSize + (trailing < kGuardSize ? trailing : kGuardSize));
    if (abortOnFailure) {
        Debug_AbortInt(__FILE__, __LINE__, "Memory corrupt (%d) <Addr:0x%p Before:%d After:%d Max:%d>\n",
                       size, block + kGuardSize, before, after, kGuardSize);
    }
    return false;
}

inline bool GuardCheck(bool abortOnFailure, uint8_t* block, int32_t size, const char* file, int32_t line,
                       int32_t trailing) {
    // A tracked block out of bounds goes to the slow half, which aborts on it before any read.
    if (IsTracking() &&
        (size < 1 || !InBounds(block) || !InBounds((const void*)((uintptr_t)block + (intptr_t)size))))
        return GuardCheckSlow(abortOnFailure, block, size, file, line, trailing);
    if (GuardsIntact(block, BlockSize(size))) return true;
    return GuardCheckSlow(abortOnFailure, block, size, file, line, trailing);
}

[[gnu::noinline]] void ReportCall(const char* format, const void* data, int32_t size, const char* file,
                                  int32_t line) {
    if (MemoryReporting) return;
    MemoryReporting = true;
    Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, data, size, file, line);
    MemoryReporting = false;
}

[[noreturn, gnu::noinline]] void AbortNoMemory(uint32_t flags, int32_t size, uint32_t r, const char* file,
                                               int32_t line) {
    if (flags & MEMORY_FLAG_ZERO)
        Debug_AbortInt(file, line, "No Zeroed Memory available (%d / %d)\n", size, (int32_t)r);
    Debug_AbortInt(file, line, "No Memory available (%d / %d)\n", size, (int32_t)r);
}

[[gnu::always_inline]] inline uint8_t* AllocTracked(int32_t size, uint32_t r, uint32_t flags,
                                                    uint32_t debugFlags, const char* file, int32_t line) {
    uint8_t* block = AllocateRaw((size_t)r + kTrackerSize, flags);
    if (!block) AbortNoMemory(flags, size, r, file, line);
    MemoryTracker* record = (MemoryTracker*)(block + r);
    // Guards go on before the block joins the list, so that a check on another thread never sees
    // a listed block without them.
    WriteGuards(block, r);

    // The full check walks every list, so it runs before this thread holds its own.
    if (debugFlags & DEBUG_FLAG_MEMORY_TEST) Memory_Check(nullptr);
    TrackList* list = ThreadTrackList();
    // Every field is written, which leaves nothing of the heap's earlier content in the record.
    record->File = file;
    record->Line = (uint32_t)line;
    record->Size = (uint32_t)size;
    record->Block = block;
    record->Prev = nullptr;
    record->Flags = flags;
    record->ListIndex = list->Index;
    record->Returned = 0;
    MemoryState& s = GlobalMemoryState;
    // Bounds are widened before the record is reachable from a list, so that a walk never meets a
    // listed record outside them.
    WidenBounds((uintptr_t)block, (uintptr_t)record);
    const bool quick = OwnQuickEnter(list);
    if (!quick) ListEnter(list);
    TakeReturned(list);
    record->Sequence = NextSequence();
    MemoryTracker* older = list->Newest;
    record->Next = older;
    if (older) older->Prev = record;
    list->Newest = record;
    // Counted with the list held, so that a check never sees the lists and the count disagree.
    // The maxima take the counters as they stand before this block is counted. While tracking,
    // every count lives here: the start cleared the thread slots and nothing adds to them.
    const uint64_t own = list->Usage.load(std::memory_order_relaxed);
    if (__builtin_expect(UsageCount(own) > list->PeakCount || UsageBytes(own) > list->PeakBytes, 0)) {
        if (UsageCount(own) > list->PeakCount) list->PeakCount = UsageCount(own);
        if (UsageBytes(own) > list->PeakBytes) list->PeakBytes = UsageBytes(own);
        const uint64_t usage = TrackedUsage();
        RaiseMaximum(s.MaxCount, UsageCount(usage));
        RaiseMaximum(s.MaxBytes, UsageBytes(usage));
    }
    list->Usage.store(own + UsageDelta(r), std::memory_order_relaxed);
    if (quick)
        OwnQuickLeave(list);
    else
        ListLeave(list);
    return block;
}

[[gnu::noinline]] void* AllocFull(int32_t size, uint32_t flags, const char* file, int32_t line,
                                  uint32_t debugFlags);
[[gnu::noinline]] void* AllocTrackedEntry(int32_t size, uint32_t flags, const char* file, int32_t line) {
    if (size < 1 || size > kMaxSize) Debug_AbortInt(file, line, "Invalid Memory Size (%d)\n", size);
    const uint32_t debugFlags = Debug_Flags();
    if (debugFlags & DEBUG_FLAG_MEMORY_REPORT) return AllocFull(size, flags, file, line, debugFlags);
    return AllocTracked(size, BlockSize(size), flags, debugFlags, file, line) + kGuardSize;
}

// Runs the tracker part of the free checks with the record's list held; with unlink the record
// also leaves the list and the block stops being counted.
inline void TrackedFreeChecks(uint8_t* block, int32_t size, uint32_t r, uint32_t debugFlags, bool unlink,
                              const char* file, int32_t line) {
    if (debugFlags & DEBUG_FLAG_MEMORY_TEST) Memory_Check(nullptr);
    // The record address is only formed here; it is checked against the bounds before any read.
    MemoryTracker* record = (MemoryTracker*)((uintptr_t)block + r);
    if (!InBounds(record)) TrackerCheck(record, block, size, file, line);
    // The list index is trusted only when it names a list, and the record only when its list
    // holds it (a record without a newer neighbour must be its list's newest); anything else is a
    // damaged record, which the check below reports with the right text.
    const uint32_t index = record->ListIndex;
    TrackList* list = index == OwnIndex ? OwnList : index < ListTotal() ? ListAt(index) : nullptr;
    {
        if (list) {
            ListEnter(list);
            // A block already handed back is freed a second time: reported before the hand-back
            // releases it, with the size a freed record holds.
            if (record->Returned & kReturnedMark) {
                DumpLocked();
                Debug_AbortInt(file, line, "Memory tracking mismatch (%d / %d) [0x%p / 0x%p]\n", size,
                               (int32_t)kFreedSize, block, record->Block);
            }
            TakeReturned(list);
        }
        if (!list || (!record->Prev && list->Newest != record)) {
            if (list) ListLeave(list);
            AllListsGuard all;
            TrackerCheck(record, block, size, file, line);
            Debug_AbortInt(file, line, "Memory tracking mismatch (%d / %d) [0x%p / 0x%p]\n", size,
                           (int32_t)record->Size, block, record->Block);
        }
        if (!TrackerIntact(record, block, size)) TrackerCheck(record, block, size, file, line);
        if (!unlink) return ListLeave(list);
        Unlink(list, record);
        record->Size = kFreedSize;
        list->Usage.store(list->Usage.load(std::memory_order_relaxed) - UsageDelta(r),
                          std::memory_order_relaxed);
        ListLeave(list);
    }
    memset((void*)record, 0, kTrackerSize);
}

[[noreturn, gnu::noinline]] void AbortFreeArguments(int32_t size, const char* file, int32_t line) {
    if (size < 1 || size > kMaxSize) Debug_AbortInt(file, line, "Invalid Memory Size (%d)\n", size);
    Debug_AbortInt(file, line, "No Memory address to free (%d / %d)\n", size, (int32_t)BlockSize(size));
}

// The whole allocation in the documented order; the public entry takes the common case itself.
[[gnu::noinline]] void* AllocFull(int32_t size, uint32_t flags, const char* file, int32_t line,
                                  uint32_t debugFlags) {
    const uint32_t r = BlockSize(size);
    const uint32_t mode = Mode.load(std::memory_order_acquire);
    uint8_t* block;
    if (mode == kTracking) {
        block = AllocTracked(size, r, flags, debugFlags, file, line);
    } else {
        block = AllocateRaw(r, flags);
        if (!block) AbortNoMemory(flags, size, r, file, line);
        WriteGuards(block, r);
        if (mode != kStopped) AddUsage(UsageDelta(r));
    }
    if (debugFlags & DEBUG_FLAG_MEMORY_REPORT)
        ReportCall("-- Alloc 0x%p: %10d [%s / %d]\n", block + kGuardSize, size, file, line);
    return block + kGuardSize;
}

// The tracked free of a block of this thread's own list with nothing to report, check or wait for:
// the same checks as the full path in one run of compares. Anything else, including every failure,
// goes the full way, which reports and aborts with the right texts.
[[gnu::noinline]] void FreeFull(void* pointer, int32_t size, const char* file, int32_t line);
[[gnu::noinline]] void FreeTracked(void* pointer, int32_t size, const char* file, int32_t line) {
    if (size < 1 || size > kMaxSize || !pointer) return FreeFull(pointer, size, file, line);
    const uint32_t debugFlags = Debug_Flags();
    TrackList* list = OwnList;
    const uint32_t r = BlockSize(size);
    uint8_t* block = (uint8_t*)pointer - kGuardSize;
    MemoryTracker* record = (MemoryTracker*)(block + r);
    const uintptr_t low = GlobalMemoryState.Low.load(std::memory_order_relaxed);
    const uintptr_t high = GlobalMemoryState.High.load(std::memory_order_relaxed);
    auto within = [low, high](const void* p) { return (uintptr_t)p >= low && (uintptr_t)p <= high; };
    if (__builtin_expect((debugFlags & (DEBUG_FLAG_MEMORY_REPORT | DEBUG_FLAG_MEMORY_TEST)) ||
                             !within(block) || !within(record) || !within(block + size),
                         0))
        return FreeFull(pointer, size, file, line);
    const uint32_t index = record->ListIndex;
    if (__builtin_expect(list && index == list->Index && record->Returned == 0, 1)) {
        if (OwnQuickEnter(list)) {
            TakeReturned(list);
            MemoryTracker* next = record->Next;
            MemoryTracker* prev = record->Prev;
            if (__builtin_expect(record->Size == (uint32_t)size && record->Block == block &&
                                     (!next || (within(next) && next->Prev == record)) &&
                                     (prev ? within(prev) && prev->Next == record : list->Newest == record),
                                 1)) {
                Unlink(list, record);
                record->Size = kFreedSize;
                list->Usage.store(list->Usage.load(std::memory_order_relaxed) - UsageDelta(r),
                                  std::memory_order_relaxed);
                OwnQuickLeave(list);
                memset((void*)record, 0, kTrackerSize);
                if (!GuardsIntact(block, r)) GuardCheckSlow(true, block, size, file, line, kTrackerSize);
                free(block);
                return;
            }
            OwnQuickLeave(list);
        }
    } else if (index < ListTotal()) {
        // A block of another thread's list: checked here as far as the record alone allows, and
        // handed back to the list; its owner unlinks and releases it.
        TrackList* owner = ListAt(index);
        // A record already handed back (a second free) goes the full way, which finds it.
        if (owner->Owned.load(std::memory_order_acquire) && record->Returned == 0 &&
            record->Size == (uint32_t)size && record->Block == block && GuardsIntact(block, r)) {
            const uint64_t waiting =
                owner->ReturnedUsage.fetch_add(UsageDelta(r), std::memory_order_relaxed) + UsageDelta(r);
            MemoryTracker* head = owner->Returned.load(std::memory_order_relaxed);
            do {
                record->Returned = (uint64_t)(uintptr_t)head | kReturnedMark;
            } while (!owner->Returned.compare_exchange_weak(head, record, std::memory_order_release,
                                                            std::memory_order_relaxed));
            // This thread has learnt of the other's block: its next allocation reads the clock.
            StampEpoch = UINT64_MAX;
            // An owner that stays away from the allocator must not keep an unbounded amount of
            // freed memory: past a bound, this thread takes the list and releases it all.
            if ((UsageCount(waiting) >= kReturnedBlocks || UsageBytes(waiting) >= kReturnedBytes) &&
                !OwnDepth) {
                OtherEnter(owner, false);
                TakeReturned(owner);
                OtherLeave(owner);
            }
            return;
        }
    }
    FreeFull(pointer, size, file, line);
}

// The whole free in the documented order: report, argument checks, tracker, guards, release.
[[gnu::noinline]] void FreeFull(void* pointer, int32_t size, const char* file, int32_t line) {
    const uint32_t debugFlags = Debug_Flags();
    const uint32_t mode = Mode.load(std::memory_order_acquire);
    if (debugFlags & DEBUG_FLAG_MEMORY_REPORT)
        ReportCall("-- Free  0x%p: %10d [%s / %d]\n", pointer, size, file, line);
    if (size < 1 || size > kMaxSize || !pointer) AbortFreeArguments(size, file, line);
    const uint32_t r = BlockSize(size);
    uint8_t* block = (uint8_t*)pointer - kGuardSize;
    if (mode == kTracking) {
        TrackedFreeChecks(block, size, r, debugFlags, true, file, line);
        GuardCheck(true, block, size, file, line, kTrackerSize);
    } else {
        GuardCheck(true, block, size, file, line, 0);
        if (mode != kStopped) AddUsage(0 - UsageDelta(r));
    }
    free(block);
}

// A start or stop of the module drops what the lists held: blocks of an earlier run are no longer
// tracked.
// A start also clears their counts; a stop keeps them for the shutdown report.
void ForgetLists(bool clearCounts) {
    AllListsGuard all;
    for (uint32_t i = 0, n = ListTotal(); i < n; i++) {
        TrackList* list = ListAt(i);
        list->Newest = nullptr;
        if (!clearCounts) continue;
        list->Usage.store(0, std::memory_order_relaxed);
        list->PeakCount = 0;
        list->PeakBytes = 0;
    }
}

} // namespace

int64_t Memory_Init(int32_t tracking) {
    ASSERT_MSG(GlobalMemory == NULL, "Memory already initialized");
    std::lock_guard<std::recursive_mutex> lock(MemoryLock);
    MemoryState& s = GlobalMemoryState;
    s.Tracking.store(tracking ? 1 : 0);
    ClearUsage();
    s.MaxCount = 0;
    s.MaxBytes = 0;
    s.Low = UINTPTR_MAX;
    s.High = 0;
    ForgetLists(true);
    if (tracking) EnableAsymmetric();
    GlobalMemory.store(&s);
    Mode.store(tracking ? kTracking : kCounting, std::memory_order_release);
    return 1;
}

// The counters and maxima keep their last values until the next start, so that the shutdown
// report may read them in either order.
int64_t Memory_Remove() {
    std::lock_guard<std::recursive_mutex> lock(MemoryLock);
    Mode.store(kStopped, std::memory_order_release);
    GlobalMemory.store(nullptr);
    GlobalMemoryState.Tracking.store(0);
    ForgetLists(false);
    return 1;
}

int64_t Memory_IsTracking() {
    return IsTracking() ? 1 : 0;
}

int64_t Memory_GetMaximum(uint32_t* count, uint32_t* bytes) {
    ASSERT_POINTER(count);
    ASSERT_POINTER(bytes);
    *count = 0;
    *bytes = 0;
    *count = GlobalMemoryState.MaxCount.load(std::memory_order_relaxed);
    *bytes = GlobalMemoryState.MaxBytes.load(std::memory_order_relaxed);
    return 1;
}

int64_t Memory_GetCount(uint32_t* count) {
    ASSERT_POINTER(count);
    *count = UsageCount(ReadUsage());
    return 1;
}

int64_t Memory_GetSize(uint32_t* bytes) {
    ASSERT_POINTER(bytes);
    *bytes = UsageBytes(ReadUsage());
    return 1;
}

namespace {

[[gnu::noinline]] void* AllocUntracked(int32_t size, uint32_t flags, const char* file, int32_t line,
                                       uint32_t mode) {
    if (size < 1 || size > kMaxSize) Debug_AbortInt(file, line, "Invalid Memory Size (%d)\n", size);
    const uint32_t debugFlags = Debug_Flags();
    if (__builtin_expect(debugFlags & DEBUG_FLAG_MEMORY_REPORT, 0))
        return AllocFull(size, flags, file, line, debugFlags);
    const uint32_t r = BlockSize(size);
    uint8_t* block = AllocateRaw(r, flags);
    if (!block) AbortNoMemory(flags, size, r, file, line);
    WriteGuards(block, r);
    if (mode != kStopped) AddUsage(UsageDelta(r));
    return block + kGuardSize;
}

// Common case first: nothing to report, intact guards. Anything else takes the full path, which
// reports before it checks, so the log reads the same either way.
[[gnu::noinline]] void FreeUntracked(void* pointer, int32_t size, const char* file, int32_t line,
                                     uint32_t mode) {
    // Formed without pointer arithmetic on a possibly null pointer; read only once it is known non-null.
    uint8_t* block = (uint8_t*)((uintptr_t)pointer - kGuardSize);
    if (__builtin_expect(size < 1 || size > kMaxSize || !pointer || !GuardsIntact(block, BlockSize(size)) ||
                             (Debug_Flags() & DEBUG_FLAG_MEMORY_REPORT),
                         0))
        return FreeFull(pointer, size, file, line);
    if (mode != kStopped) AddUsage(0 - UsageDelta(BlockSize(size)));
    free(block);
}

} // namespace

// The entries only choose the way: nothing is kept in registers before the mode is known.
void* Memory_AllocInt(int32_t size, uint32_t flags, const char* file, int32_t line) {
    const uint32_t mode = Mode.load(std::memory_order_acquire);
    if (mode == kTracking) return AllocTrackedEntry(size, flags, file, line);
    return AllocUntracked(size, flags, file, line, mode);
}

void Memory_FreeInt(void* pointer, int32_t size, const char* file, int32_t line) {
    const uint32_t mode = Mode.load(std::memory_order_acquire);
    if (mode == kTracking) return FreeTracked(pointer, size, file, line);
    return FreeUntracked(pointer, size, file, line, mode);
}

void* Memory_MoveInt(void* pointer, int32_t oldSize, int32_t newSize, int32_t keep, const char* allocFile,
                     int32_t allocLine, const char* freeFile, int32_t freeLine) {
    uint8_t* block = (uint8_t*)((uintptr_t)pointer - kGuardSize);
    const uint32_t mode = Mode.load(std::memory_order_acquire);
    // Anything that would log, track, check a list or abort takes the long way, so that what is
    // reported and when stays that of an allocation, a copy and a free.
    if (__builtin_expect(newSize < 1 || newSize > kMaxSize || oldSize < 1 || oldSize > kMaxSize || !pointer ||
                             keep < 0 || keep > oldSize || keep > newSize || mode == kTracking ||
                             !GuardsIntact(block, BlockSize(oldSize)) ||
                             (Debug_Flags() & DEBUG_FLAG_MEMORY_REPORT),
                         0)) {
        void* moved = Memory_AllocInt(newSize, MEMORY_FLAG_PLAIN, allocFile, allocLine);
        if (pointer && keep > 0) memcpy(moved, pointer, (size_t)keep);
        Memory_FreeInt(pointer, oldSize, freeFile, freeLine);
        return moved;
    }
    const uint32_t oldR = BlockSize(oldSize);
    const uint32_t newR = BlockSize(newSize);
    uint8_t* moved = (uint8_t*)realloc(block, newR);
    if (!moved) AbortNoMemory(MEMORY_FLAG_PLAIN, newSize, newR, allocFile, allocLine);
    // The guard pattern depends on the block's address, and the back guard moves with the size.
    WriteGuards(moved, newR);
    if (mode != kStopped) AddUsage(UsageDelta(newR) - UsageDelta(oldR));
    return moved + kGuardSize;
}

int64_t Memory_ValidateInt(void* pointer, int32_t size, void* ignored, const char* file, int32_t line) {
    (void)ignored;
    if (size < 1 || size > kMaxSize || !pointer) AbortFreeArguments(size, file, line);
    const uint32_t r = BlockSize(size);
    uint8_t* block = (uint8_t*)pointer - kGuardSize;
    if (IsTracking()) {
        TrackedFreeChecks(block, size, r, Debug_Flags(), false, file, line);
        GuardCheck(true, block, size, file, line, kTrackerSize);
    } else {
        GuardCheck(true, block, size, file, line, 0);
    }
    return 1;
}

int64_t Memory_Check(const char* label) {
    if (!IsTracking()) {
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "Memory tracking was not enabled\n");
        return 0;
    }
    const bool labelled = label && label[0];
    if (labelled) Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "Checking Memory at %s...\n", label);
    int32_t records = 0;
    {
        AllListsGuard all;
        const uintptr_t limit = WalkLimit();
        int32_t failures = 0;
        // A looping list runs into the limit, one past the count, and fails the comparison below.
        for (uint32_t i = 0, n = ListTotal(); i < n; i++) {
            for (MemoryTracker* record = ListAt(i)->Newest; record && (uintptr_t)records < limit;
                 record = record->Next) {
                TrackerCheck(record, record->Block, (int32_t)record->Size, __FILE__, __LINE__);
                if (!GuardCheck(false, record->Block, (int32_t)record->Size, __FILE__, __LINE__,
                                kTrackerSize))
                    failures++;
                records++;
            }
        }
        if (failures) {
            DumpHeld();
            Debug_AbortInt(__FILE__, __LINE__, "Failure in internal memory check (%d blocks failed)\n",
                           failures);
        }
        const uint32_t count = UsageCount(ReadUsage(true));
        if (count != (uint32_t)records)
            Debug_AbortInt(__FILE__, __LINE__, "Check mismatch of allocation count (%d != %d)\n",
                           (int32_t)count, records);
    }
    if (labelled)
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                     "All memory appears to be correct (%d allocs verified).\n", records);
    return 1;
}

int64_t Memory_Dump() {
    if (!IsTracking()) return 1;
    AllListsGuard all;
    DumpHeld();
    return 1;
}

int64_t Memory_Report() {
    if (!IsTracking()) return 1;
    uint32_t maxBytes;
    uint32_t maxCount;
    Memory_GetMaximum(&maxCount, &maxBytes);
    const uint64_t usage = ReadUsage();
    Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                 "Memory usage  -- Maximum (%6.2fm)   Current (%6.2fm)\n", maxBytes / 1048576.0,
                 UsageBytes(usage) / 1048576.0);
    Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "Memory allocs -- Maximum (%7d)   Current (%7d)\n",
                 (int32_t)maxCount, (int32_t)UsageCount(usage));
    return 1;
}

int64_t Memory_FindPattern(const void* buffer, int32_t length, const void* pattern, int32_t patternLength,
                           const void** found) {
    ASSERT_POINTER(found);
    *found = nullptr;
    if (length < 1 || patternLength < 1 || patternLength > length) return 0;
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(pattern);
    const std::string_view haystack((const char*)buffer, (size_t)length);
    const size_t at = haystack.find(std::string_view((const char*)pattern, (size_t)patternLength));
    if (at == std::string_view::npos) return 0;
    *found = (const uint8_t*)buffer + at;
    return 1;
}

int64_t Memory_FindByte(const void* buffer, int32_t length, uint8_t byte, const void** found) {
    ASSERT_POINTER(found);
    *found = nullptr;
    if (length < 1) return 0;
    ASSERT_POINTER(buffer);
    *found = memchr(buffer, byte, (size_t)length);
    return *found ? 1 : 0;
}

int64_t Memory_CryptFill(void* buffer, int32_t size) {
    if (size < 1) return 1;
    ASSERT_POINTER(buffer);
    // The random source answers at most 256 bytes per request on some systems.
    constexpr int32_t kChunk = 256;
    uint8_t* out = (uint8_t*)buffer;
    for (int32_t done = 0; done < size; done += kChunk) {
        Platform_CryptFill(out + done, size - done < kChunk ? size - done : kChunk);
    }
    return 1;
}
