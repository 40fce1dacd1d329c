// Pooled allocator for many small blocks of one size, and the bump allocator of string mode.
// Chunks come from the sized allocator; each member has a descriptor naming its allocator.
#include "core/runtime/pool.h"

#include <algorithm>
#include <cstring>

#include "core/runtime/class.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

// One per member: in a chunk for pooled members, a separate block in debug mode.
struct PoolDescriptor {
    uint8_t* Data;
    const char* File;
    uint32_t Line;
    uint32_t Size; // debug mode: the size of the block, to return it to the sized allocator
    PoolDescriptor* Next;
};

// Header of a chunk; the member descriptors and then the data area follow it.
struct PoolChunk {
    uint8_t* Base;
    uint8_t* Cursor; // string mode: next free byte
    int32_t TotalSize;
    int32_t MemberCount;
    PoolChunk* Next;
};

// Chunks come from the sized allocator, whose blocks are 16-byte aligned; with header and
// descriptors in multiples of 16 the data area is too, so members whose aligned size is a multiple
// of 16 (dictionaries, which hold 16-byte callback slots) stay 16-byte aligned.
static_assert(sizeof(PoolChunk) % 16 == 0 && sizeof(PoolDescriptor) % 16 == 0,
              "the data area must start 16-byte aligned");

// The members out are kept in hashed lists; the number of lists grows with the members out so
// that a free finds its member in constant time however many are out.
constexpr uint32_t kInUseLists = 256;
// String mode: the pool resets itself when its last string is freed and it holds more than this.
constexpr uint32_t kStringResetBytes = 10240;
// String mode: each request carries 4 bytes ahead of the text, holding one of these tags, so
// that a free can tell a live string from a freed one or from an address it never handed out.
constexpr uint32_t kStringLive = 0x5A0F1E00;
constexpr uint32_t kStringFreed = 0xDE0FAD00;
constexpr uint32_t kStringTagSize = 4;

} // namespace

struct Pool {
    Class Header;
    CriticalSection* Lock;
    uint32_t StringMode;
    uint32_t DebugMode;
    uint32_t ZeroOnAlloc;
    uint32_t Verbose;
    uint32_t AllowLock;
    const char* CreatorFile;
    uint32_t CreatorLine;
    uint32_t MemorySize;
    uint32_t AlignedSize;
    uint32_t ChunkSize;
    uint32_t MemoryInUse;
    uint32_t ActiveCount;
    uint32_t MaximumCount;
    uint32_t ChunkCount;
    PoolDescriptor** InUse; // InUseLists heads: the inline ones until a grow
    uint32_t InUseLists;
    uint32_t InUseShift; // low address bits that do not tell neighbouring members apart
    PoolDescriptor* InUseInline[kInUseLists];
    PoolDescriptor* FreeList;
    PoolChunk* Chunks;
    // String mode: the chunks sorted by address, so that a free finds its chunk in log time.
    PoolChunk** Index;
    uint32_t IndexCount;
    uint32_t IndexCapacity;
    // String mode: no chunk but the newest has more bytes left than this, so a request at least
    // this large needs no walk over the older chunks. Only ever a bound: room only shrinks.
    uint64_t OlderRoomBound;
};

namespace {

// Takes the pool's lock for a scope when locking is allowed.
class PoolGuard {
  public:
    explicit PoolGuard(Pool* pool) : lock_(pool->AllowLock ? pool->Lock : nullptr) {
        if (lock_) CriticalSection_Lock(lock_);
    }
    ~PoolGuard() {
        if (lock_) CriticalSection_Unlock(lock_);
    }
    PoolGuard(const PoolGuard&) = delete;
    PoolGuard& operator=(const PoolGuard&) = delete;

  private:
    CriticalSection* lock_;
};

uint32_t Align8(uint32_t size) {
    return (uint32_t)(((uint64_t)size + 7) & ~(uint64_t)7);
}

// Neighbouring members take neighbouring lists, so that filling a chunk touches one cache line of
// list heads rather than one line per member.
size_t InUseSlot(const Pool* pool, const void* data) {
    return (size_t)(((uintptr_t)data >> pool->InUseShift) & (pool->InUseLists - 1));
}

// Members are at least AlignedSize apart (string-mode and debug blocks at least 8). Only set
// while no member is out, when every list is empty.
void SetInUseShift(Pool* pool) {
    uint32_t shift = 3;
    while (!pool->StringMode && !pool->DebugMode && (2u << shift) <= pool->AlignedSize) shift++;
    pool->InUseShift = shift;
}

// Back to the inline lists, all empty.
void DropInUse(Pool* pool) {
    if (pool->InUse && pool->InUse != pool->InUseInline)
        Memory_Free(pool->InUse, sizeof(PoolDescriptor*) * pool->InUseLists);
    memset(pool->InUseInline, 0, sizeof(pool->InUseInline));
    pool->InUse = pool->InUseInline;
    pool->InUseLists = kInUseLists;
}

void ClearInUse(Pool* pool) {
    memset(pool->InUse, 0, sizeof(PoolDescriptor*) * pool->InUseLists);
}

// Four times the lists once there are more than two members out per list. Called by a free that
// walked a long list: a pool whose members are only ever released all at once (a reset) never
// pays for the rehash.
void GrowInUse(Pool* pool) {
    if (pool->ActiveCount < pool->InUseLists * 2 || pool->InUseLists >= (1u << 24)) return;
    PoolDescriptor** old = pool->InUse;
    const uint32_t oldLists = pool->InUseLists;
    pool->InUseLists = oldLists * 4;
    pool->InUse = static_cast<PoolDescriptor**>(Memory_AllocZero(sizeof(PoolDescriptor*) * pool->InUseLists));
    for (uint32_t i = 0; i < oldLists; i++) {
        while (PoolDescriptor* d = old[i]) {
            old[i] = d->Next;
            PoolDescriptor*& head = pool->InUse[InUseSlot(pool, d->Data)];
            d->Next = head;
            head = d;
        }
    }
    if (old != pool->InUseInline) Memory_Free(old, sizeof(PoolDescriptor*) * oldLists);
}

PoolDescriptor*& InUseList(Pool* pool, const void* data) {
    return pool->InUse[InUseSlot(pool, data)];
}

PoolDescriptor* ChunkDescriptors(PoolChunk* chunk) {
    return reinterpret_cast<PoolDescriptor*>(chunk + 1);
}

uint8_t* ChunkData(PoolChunk* chunk) {
    return reinterpret_cast<uint8_t*>(ChunkDescriptors(chunk) + chunk->MemberCount);
}

// Chains the chunk's descriptors in address order onto the head of the free list.
void ChainChunk(Pool* pool, PoolChunk* chunk) {
    PoolDescriptor* descriptors = ChunkDescriptors(chunk);
    uint8_t* data = ChunkData(chunk);
    const int32_t count = chunk->MemberCount;
    for (int32_t k = 0; k < count; k++) {
        descriptors[k].Data = data + (size_t)k * pool->AlignedSize;
        descriptors[k].File = nullptr;
        descriptors[k].Line = 0;
        descriptors[k].Size = 0;
        descriptors[k].Next = k + 1 < count ? &descriptors[k + 1] : pool->FreeList;
    }
    if (count > 0) pool->FreeList = &descriptors[0];
    const uint8_t* end = data + (size_t)count * pool->AlignedSize;
    if (end - chunk->Base != chunk->TotalSize)
        Debug_AbortInt(__FILE__, __LINE__, "Pool corrupted (%d != %d) [0x%p 0x%p]\n",
                       (int32_t)(end - chunk->Base), chunk->TotalSize, (void*)chunk->Base, (void*)end);
}

void IndexInsert(Pool* pool, PoolChunk* chunk) {
    if (pool->IndexCount == pool->IndexCapacity) {
        const uint32_t capacity = pool->IndexCapacity ? pool->IndexCapacity * 2 : 16;
        auto* grown = static_cast<PoolChunk**>(Memory_Alloc(sizeof(PoolChunk*) * capacity));
        if (pool->IndexCount) memcpy(grown, pool->Index, sizeof(PoolChunk*) * pool->IndexCount);
        if (pool->Index) Memory_Free(pool->Index, sizeof(PoolChunk*) * pool->IndexCapacity);
        pool->Index = grown;
        pool->IndexCapacity = capacity;
    }
    PoolChunk** end = pool->Index + pool->IndexCount;
    PoolChunk** at = std::upper_bound(pool->Index, end, chunk, [](const PoolChunk* a, const PoolChunk* b) {
        return (uintptr_t)a < (uintptr_t)b;
    });
    memmove(at + 1, at, sizeof(PoolChunk*) * (size_t)(end - at));
    *at = chunk;
    pool->IndexCount++;
}

// The string chunk whose handed-out bytes hold `member`, or null.
PoolChunk* IndexFind(Pool* pool, uintptr_t member) {
    PoolChunk** end = pool->Index + pool->IndexCount;
    PoolChunk** after = std::upper_bound(pool->Index, end, member,
                                         [](uintptr_t m, const PoolChunk* c) { return m < (uintptr_t)c; });
    if (after == pool->Index) return nullptr;
    PoolChunk* chunk = after[-1];
    if (member < (uintptr_t)ChunkData(chunk) + kStringTagSize || member >= (uintptr_t)chunk->Cursor)
        return nullptr;
    return chunk;
}

// Adds a chunk of ChunkSize members; in string mode its data area fits at least `request` bytes.
PoolChunk* AddChunk(Pool* pool, uint32_t request, const char* file, int32_t line) {
    uint64_t data = (uint64_t)pool->AlignedSize * pool->ChunkSize;
    if (pool->StringMode && (uint64_t)Align8(request) > data) data = Align8(request);
    const uint64_t total = sizeof(PoolChunk) + (uint64_t)pool->ChunkSize * sizeof(PoolDescriptor) + data;
    if (total > 0x7FFFFFFF)
        Debug_AbortInt(file, line,
                       "Assertion failed (total <= 0x7FFFFFFF)\nPool chunk too large (%I64d bytes)\n",
                       (int64_t)total);
    PoolChunk* chunk =
        static_cast<PoolChunk*>(Memory_AllocInt((int32_t)total, MEMORY_FLAG_PLAIN, file, line));
    chunk->Base = reinterpret_cast<uint8_t*>(chunk);
    chunk->TotalSize = (int32_t)total;
    chunk->MemberCount = (int32_t)pool->ChunkSize;
    chunk->Cursor = ChunkData(chunk);
    chunk->Next = pool->Chunks;
    pool->Chunks = chunk;
    pool->ChunkCount++;
    pool->MemoryInUse += (uint32_t)total;
    if (pool->StringMode)
        IndexInsert(pool, chunk);
    else
        ChainChunk(pool, chunk);
    return chunk;
}

// Debug-mode members are separate blocks, each with its own descriptor.
void FreeDebugBlocks(Pool* pool) {
    for (uint32_t i = 0; i < pool->InUseLists; i++) {
        PoolDescriptor*& head = pool->InUse[i];
        while (PoolDescriptor* d = head) {
            head = d->Next;
            Memory_Free(d->Data, d->Size);
            Memory_Free(d, sizeof(PoolDescriptor));
        }
    }
}

void RemoveAllLocked(Pool* pool) {
    if (pool->DebugMode) FreeDebugBlocks(pool);
    while (PoolChunk* chunk = pool->Chunks) {
        pool->Chunks = chunk->Next;
        Memory_Free(chunk, chunk->TotalSize);
    }
    if (pool->Index) Memory_Free(pool->Index, sizeof(PoolChunk*) * pool->IndexCapacity);
    pool->Index = nullptr;
    pool->IndexCount = 0;
    pool->IndexCapacity = 0;
    pool->OlderRoomBound = 0;
    DropInUse(pool);
    pool->FreeList = nullptr;
    pool->ChunkCount = 0;
    pool->MemoryInUse = 0;
    pool->ActiveCount = 0;
    pool->MaximumCount = 0;
}

uint8_t* StringAlloc(Pool* pool, uint32_t size, const char* file, int32_t line) {
    const uint64_t request = (uint64_t)size + kStringTagSize;
    auto room = [](const PoolChunk* c) { return (uint64_t)c->TotalSize - (uint64_t)(c->Cursor - c->Base); };
    // The newest chunk with room serves; the walk over the older ones is skipped when none of
    // them can, so that filling many chunks stays linear.
    PoolChunk* chunk = pool->Chunks;
    if (chunk && room(chunk) <= request) {
        chunk = request >= pool->OlderRoomBound ? nullptr : chunk->Next;
        for (; chunk; chunk = chunk->Next)
            if (room(chunk) > request) break;
        if (!chunk && request < pool->OlderRoomBound) pool->OlderRoomBound = request;
    }
    if (!chunk) {
        // The newest chunk becomes an older one.
        if (pool->Chunks && room(pool->Chunks) > pool->OlderRoomBound) pool->OlderRoomBound = room(pool->Chunks);
        if (request > 0x7FFFFFFF)
            Debug_AbortInt(file, line,
                           "Assertion failed (request <= 0x7FFFFFFF)\nPool string too large (%u)\n", size);
        chunk = AddChunk(pool, (uint32_t)request, file, line);
    }
    uint8_t* tag = chunk->Cursor;
    memcpy(tag, &kStringLive, sizeof(kStringLive));
    chunk->Cursor += request;
    return tag + kStringTagSize;
}

// Marks a string free; aborts on a string freed before or an address the pool never handed out.
void StringFree(Pool* pool, uint8_t* member, const char* file, int32_t line) {
    PoolChunk* chunk = IndexFind(pool, (uintptr_t)member);
    uint32_t tag = 0;
    if (chunk) memcpy(&tag, member - kStringTagSize, sizeof(tag));
    if (tag == kStringLive) {
        memcpy(member - kStringTagSize, &kStringFreed, sizeof(kStringFreed));
        return;
    }
    // A string freed before names its chunk; an address inside a chunk that is no string start
    // is as foreign as one outside every chunk.
    Debug_AbortInt(file, line, "Unable to find member to free [0x%p] [0x%p]\n", (void*)member,
                   tag == kStringFreed ? (void*)chunk : nullptr);
}

// Unlinks the member's descriptor from its in-use list; aborts when the pool does not hold it.
PoolDescriptor* TakeInUse(Pool* pool, uint8_t* member, const char* file, int32_t line) {
    PoolDescriptor** link = &InUseList(pool, member);
    for (uint32_t steps = 0; *link; link = &(*link)->Next, steps++) {
        if ((*link)->Data != member) continue;
        PoolDescriptor* found = *link;
        *link = found->Next;
        if (steps > 8) GrowInUse(pool);
        return found;
    }
    PoolDescriptor* freed = nullptr;
    for (PoolDescriptor* d = pool->FreeList; d && !freed; d = d->Next)
        if (d->Data == member) freed = d;
    Debug_AbortInt(file, line, "Unable to find member to free [0x%p] [0x%p]\n", (void*)member, (void*)freed);
}

void CheckMemberSize(Pool* pool, uint32_t size, const char* file, int32_t line) {
    if (size != pool->MemorySize)
        Debug_AbortInt(file, line, "Invalid pool member size (%d != %d) from (%s/%d)\n", (int32_t)size,
                       (int32_t)pool->MemorySize, file, line);
}

// A mode may change only while no member is out: the chunks of the old layout are dropped.
void ChangeMode(Pool* pool, uint32_t* field, uint32_t on, const char* what) {
    on = on ? 1 : 0;
    if (*field == on) return;
    ASSERT_MSG(pool->ActiveCount == 0, "Pool %s may only change when the pool is empty (%u)", what,
               pool->ActiveCount);
    PoolGuard guard(pool);
    RemoveAllLocked(pool);
    *field = on;
}

int64_t DeletePool(void** handle) {
    return Pool_Delete(reinterpret_cast<Pool**>(handle));
}

} // namespace

int64_t Pool_CreateInt(Pool** pool, const char* file, int32_t line) {
    ASSERT_POINTER(pool);
    *pool = nullptr;
    Pool* p = static_cast<Pool*>(Memory_AllocZero(sizeof(Pool)));
    p->Header.ClassId = POOL_CLASS_ID;
    p->Header.RefCount = 1;
    p->Header.Delete = DeletePool;
    p->ZeroOnAlloc = 1;
    p->CreatorFile = file ? file : "";
    p->CreatorLine = (uint32_t)line;
    DropInUse(p);
    SetInUseShift(p);
    *pool = p;
    return 1;
}

int64_t Pool_Delete(Pool** pool) {
    ASSERT_POINTER(pool);
    Pool* p = *pool;
    CLASS_CHECK(p, POOL_CLASS_ID);
    if (p->ActiveCount > 0)
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                     "Not all pool memory was freed (%d) for (%s/%d)\n", (int32_t)p->ActiveCount,
                     p->CreatorFile, (int32_t)p->CreatorLine);
    RemoveAllLocked(p);
    if (p->Lock) CriticalSection_Delete(&p->Lock);
    p->Header.ClassId = 0;
    Memory_Free(p, sizeof(Pool));
    *pool = nullptr;
    return 1;
}

int64_t Pool_ValidHandle(Pool* pool) {
    return pool && pool->Header.ClassId == POOL_CLASS_ID;
}

void* Pool_AllocInt(Pool* pool, uint32_t size, const char* file, int32_t line) {
    CLASS_CHECK(pool, POOL_CLASS_ID);
    ASSERT_POINTER(file);
    PoolGuard guard(pool);
    uint8_t* member;
    if (pool->ActiveCount == 0) SetInUseShift(pool);
    if (pool->DebugMode) {
        member = static_cast<uint8_t*>(Memory_AllocInt((int32_t)size, MEMORY_FLAG_PLAIN, file, line));
        auto* d = static_cast<PoolDescriptor*>(Memory_Alloc(sizeof(PoolDescriptor)));
        *d = {member, file, (uint32_t)line, size, nullptr};
        PoolDescriptor*& list = InUseList(pool, member);
        d->Next = list;
        list = d;
    } else if (pool->StringMode) {
        member = StringAlloc(pool, size, file, line);
    } else {
        CheckMemberSize(pool, size, file, line);
        ASSERT_MSG(pool->AlignedSize > 0, "Pool member size is not set (%s/%d)", pool->CreatorFile,
                   (int32_t)pool->CreatorLine);
        if (!pool->FreeList) {
            ASSERT_MSG(pool->ChunkSize > 0, "Pool chunk size is not set (%s/%d)", pool->CreatorFile,
                       (int32_t)pool->CreatorLine);
            AddChunk(pool, 0, file, line);
        }
        PoolDescriptor* d = pool->FreeList;
        pool->FreeList = d->Next;
        d->File = file;
        d->Line = (uint32_t)line;
        PoolDescriptor*& list = InUseList(pool, d->Data);
        d->Next = list;
        list = d;
        member = d->Data;
    }
    if (pool->Verbose)
        Log_PrintInt(LOG_LEVEL_DEBUG, file, line, 0, "-- Pool Alloc 0x%p : %10d [%s / %d]\n", (void*)member,
                     (int32_t)size, file, line);
    pool->ActiveCount++;
    if (pool->ActiveCount > pool->MaximumCount) pool->MaximumCount = pool->ActiveCount;
    if (pool->ZeroOnAlloc) {
        if (pool->StringMode && !pool->DebugMode)
            member[0] = 0;
        else
            memset(member, 0, size);
    }
    return member;
}

void* Pool_FreeInt(Pool* pool, void** member, uint32_t size, const char* file, int32_t line) {
    CLASS_CHECK(pool, POOL_CLASS_ID);
    ASSERT_POINTER(member);
    uint8_t* block = static_cast<uint8_t*>(*member);
    if (pool->Verbose)
        Log_PrintInt(LOG_LEVEL_DEBUG, file, line, 0, "-- Pool Free  0x%p : %10d [%s / %d]\n", (void*)block,
                     (int32_t)size, file ? file : "", line);
    PoolGuard guard(pool);
    if (!pool->DebugMode && !pool->StringMode) CheckMemberSize(pool, size, file, line);
    // Freeing nothing changes nothing: counting it would let the count reach 0 while members live.
    if (!block) return nullptr;
    if (pool->DebugMode) {
        PoolDescriptor* d = TakeInUse(pool, block, file, line);
        Memory_FreeInt(block, (int32_t)d->Size, file, line);
        Memory_Free(d, sizeof(PoolDescriptor));
    } else if (pool->StringMode) {
        StringFree(pool, block, file, line);
    } else {
        PoolDescriptor* d = TakeInUse(pool, block, file, line);
        d->Next = pool->FreeList;
        pool->FreeList = d;
    }
    *member = nullptr;
    pool->ActiveCount--;
    if (pool->StringMode && !pool->DebugMode && pool->ActiveCount == 0 &&
        pool->MemoryInUse > kStringResetBytes)
        Pool_Reset(pool);
    return nullptr;
}

int64_t Pool_Reset(Pool* pool) {
    CLASS_CHECK(pool, POOL_CLASS_ID);
    PoolGuard guard(pool);
    if (pool->StringMode) {
        RemoveAllLocked(pool);
        return 1;
    }
    if (pool->DebugMode) FreeDebugBlocks(pool);
    ClearInUse(pool);
    pool->FreeList = nullptr;
    // Oldest chunk last on the list, so rebuilding newest first leaves the oldest members in front.
    for (PoolChunk* chunk = pool->Chunks; chunk; chunk = chunk->Next) ChainChunk(pool, chunk);
    pool->ActiveCount = 0;
    pool->MaximumCount = 0;
    return 1;
}

int64_t Pool_RemoveAll(Pool* pool) {
    CLASS_CHECK(pool, POOL_CLASS_ID);
    PoolGuard guard(pool);
    RemoveAllLocked(pool);
    return 1;
}

int64_t Pool_SetMemorySize(Pool* pool, uint32_t size) {
    CLASS_CHECK(pool, POOL_CLASS_ID);
    PoolGuard guard(pool);
    const uint32_t aligned = Align8(size);
    if (aligned != pool->AlignedSize) {
        // Dropping the chunks would leave every member still out pointing at freed memory.
        ASSERT_MSG(pool->ActiveCount == 0, "Pool member size may only change when the pool is empty (%u)",
                   pool->ActiveCount);
        RemoveAllLocked(pool);
        pool->AlignedSize = aligned;
    }
    pool->MemorySize = size;
    return 1;
}

int64_t Pool_SetChunkSize(Pool* pool, uint32_t count) {
    CLASS_CHECK(pool, POOL_CLASS_ID);
    pool->ChunkSize = count;
    return 1;
}

int64_t Pool_SetStringMode(Pool* pool, uint32_t on) {
    CLASS_CHECK(pool, POOL_CLASS_ID);
    if (on && pool->ChunkSize != 1)
        Debug_AbortInt(__FILE__, __LINE__, "Member chunk size must be 1 to use String Mode (%d != 1)\n",
                       (int32_t)pool->ChunkSize);
    ChangeMode(pool, &pool->StringMode, on, "string mode");
    return 1;
}

int64_t Pool_SetDebugMode(Pool* pool, uint32_t on) {
    CLASS_CHECK(pool, POOL_CLASS_ID);
    if (pool->ActiveCount >= 1)
        Debug_AbortInt(__FILE__, __LINE__, "Pooled memory manager may only be set to debug when empty (%d)\n",
                       (int32_t)pool->ActiveCount);
    pool->DebugMode = on ? 1 : 0;
    return 1;
}

int64_t Pool_SetZeroOnAlloc(Pool* pool, uint32_t on) {
    CLASS_CHECK(pool, POOL_CLASS_ID);
    pool->ZeroOnAlloc = on;
    return 1;
}

int64_t Pool_SetVerbose(Pool* pool, uint32_t on) {
    CLASS_CHECK(pool, POOL_CLASS_ID);
    pool->Verbose = on;
    return 1;
}

int64_t Pool_SetAllowLock(Pool* pool, uint32_t on) {
    CLASS_CHECK(pool, POOL_CLASS_ID);
    if (!pool->Lock) CriticalSection_Create(&pool->Lock);
    pool->AllowLock = on;
    return 1;
}

namespace {

int64_t GetField(Pool* pool, uint32_t Pool::*field, uint32_t* out) {
    ASSERT_POINTER(out);
    *out = 0;
    CLASS_CHECK(pool, POOL_CLASS_ID);
    *out = pool->*field;
    return 1;
}

} // namespace

int64_t Pool_GetMemorySize(Pool* pool, uint32_t* size) {
    return GetField(pool, &Pool::AlignedSize, size);
}
int64_t Pool_GetChunkSize(Pool* pool, uint32_t* count) {
    return GetField(pool, &Pool::ChunkSize, count);
}
int64_t Pool_GetStringMode(Pool* pool, uint32_t* on) {
    return GetField(pool, &Pool::StringMode, on);
}
int64_t Pool_GetDebugMode(Pool* pool, uint32_t* on) {
    return GetField(pool, &Pool::DebugMode, on);
}
int64_t Pool_GetZeroOnAlloc(Pool* pool, uint32_t* on) {
    return GetField(pool, &Pool::ZeroOnAlloc, on);
}
int64_t Pool_GetVerbose(Pool* pool, uint32_t* on) {
    return GetField(pool, &Pool::Verbose, on);
}
int64_t Pool_GetAllowLock(Pool* pool, uint32_t* on) {
    return GetField(pool, &Pool::AllowLock, on);
}
int64_t Pool_GetActiveCount(Pool* pool, uint32_t* count) {
    return GetField(pool, &Pool::ActiveCount, count);
}
int64_t Pool_GetMaximumCount(Pool* pool, uint32_t* count) {
    return GetField(pool, &Pool::MaximumCount, count);
}
int64_t Pool_GetMemoryInUse(Pool* pool, uint32_t* bytes) {
    return GetField(pool, &Pool::MemoryInUse, bytes);
}
int64_t Pool_GetBlocksInUse(Pool* pool, uint32_t* count) {
    return GetField(pool, &Pool::ChunkCount, count);
}

int64_t Pool_GetStringMemoryLeftOver(Pool* pool, uint32_t* bytes) {
    ASSERT_POINTER(bytes);
    *bytes = 0;
    CLASS_CHECK(pool, POOL_CLASS_ID);
    uint32_t total = 0;
    for (PoolChunk* chunk = pool->Chunks; chunk; chunk = chunk->Next)
        total += (uint32_t)(chunk->TotalSize - (chunk->Cursor - chunk->Base));
    *bytes = total;
    return 1;
}
