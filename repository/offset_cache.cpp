// Offset cache: entries in a list from least to most recently used, their bytes in blocks of one
// preallocated region, every operation under the cache's lock.
#include "repository/offset_cache.h"

#include <cstring>

#include "core/runtime/block_pool.h"
#include "core/runtime/class_family.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"

namespace {

struct OffsetCacheEntry {
    uint64_t Offset;
    int32_t Length;
    uint8_t* Bytes;
    OffsetCacheEntry* Prev;
    OffsetCacheEntry* Next;
};

} // namespace

struct OffsetCache {
    Class Header;
    ClassPrint Print;
    // Head is the least recently used entry, tail the most recently used.
    OffsetCacheEntry* Head;
    OffsetCacheEntry* Tail;
    uint32_t Count;
    Pool* Entries;
    BlockPool* Blocks;
    int32_t Size;
    uint32_t Used;
    uint32_t Hits;
    uint32_t Misses;
    uint64_t BytesServed;
    CriticalSection* Lock;
};

namespace {

int64_t DeleteHandle(void** handle) {
    return OffsetCache_Delete(reinterpret_cast<OffsetCache**>(handle));
}

void PreparePrint(OffsetCache* c) {
    ClassPrint_Prepare(&c->Print, c, "OffsetCache", OffsetCache_PrintInternal);
}

void Unlink(OffsetCache* c, OffsetCacheEntry* e) {
    (e->Prev ? e->Prev->Next : c->Head) = e->Next;
    (e->Next ? e->Next->Prev : c->Tail) = e->Prev;
    e->Prev = e->Next = nullptr;
    c->Count--;
}

void Append(OffsetCache* c, OffsetCacheEntry* e) {
    e->Prev = c->Tail;
    e->Next = nullptr;
    (c->Tail ? c->Tail->Next : c->Head) = e;
    c->Tail = e;
    c->Count++;
}

// The entry at exactly this offset, moved to the most recently used end; searched from that end,
// where a repeated read most likely finds it.
OffsetCacheEntry* Lookup(OffsetCache* c, uint64_t offset) {
    for (OffsetCacheEntry* e = c->Tail; e; e = e->Prev) {
        if (e->Offset != offset) continue;
        if (e != c->Tail) {
            Unlink(c, e);
            Append(c, e);
        }
        return e;
    }
    return nullptr;
}

void Evict(OffsetCache* c, OffsetCacheEntry* e) {
    OffsetCache_VerboseLog(c, 0, "Evict (%I64d) (%d)", (int64_t)e->Offset, e->Length);
    void* bytes = e->Bytes;
    BlockPool_Free(c->Blocks, e->Length, &bytes);
    Unlink(c, e);
    c->Used -= (uint32_t)e->Length;
    Pool_Free(c->Entries, &e, sizeof(OffsetCacheEntry));
}

void EvictAll(OffsetCache* c) {
    while (c->Head) Evict(c, c->Head);
}

} // namespace

int64_t OffsetCache_Create(OffsetCache** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    OffsetCache* c = static_cast<OffsetCache*>(Memory_AllocZero(sizeof(OffsetCache)));
    c->Header.ClassId = OFFSET_CACHE_CLASS_ID;
    c->Header.RefCount = 1;
    c->Header.Delete = DeleteHandle;
    Pool_Create(&c->Entries);
    Pool_SetMemorySize(c->Entries, sizeof(OffsetCacheEntry));
    Pool_SetChunkSize(c->Entries, 10);
    BlockPool_Create(&c->Blocks);
    CriticalSection_Create(&c->Lock);
    *handle = c;
    return 1;
}

int64_t OffsetCache_AddRef(OffsetCache* cache) {
    CLASS_CHECK(cache, OFFSET_CACHE_CLASS_ID);
    Class_AddRef(cache);
    return 1;
}

int64_t OffsetCache_Release(OffsetCache** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, OFFSET_CACHE_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t OffsetCache_Delete(OffsetCache** handle) {
    ASSERT_POINTER(handle);
    OffsetCache* c = *handle;
    CLASS_CHECK(c, OFFSET_CACHE_CLASS_ID);
    {
        CriticalSectionGuard guard(c->Lock);
        EvictAll(c);
    }
    BlockPool_Delete(&c->Blocks);
    Pool_Delete(&c->Entries);
    CriticalSection_Delete(&c->Lock);
    c->Header.ClassId = 0;
    Memory_Free(c, sizeof(OffsetCache));
    *handle = nullptr;
    return 1;
}

int64_t OffsetCache_SetSize(OffsetCache* cache, int32_t bytes) {
    CLASS_CHECK(cache, OFFSET_CACHE_CLASS_ID);
    CriticalSectionGuard guard(cache->Lock);
    EvictAll(cache);
    cache->Size = 0;
    if (bytes < 0 || !BlockPool_SetMemorySize(cache->Blocks, bytes)) {
        BlockPool_SetMemorySize(cache->Blocks, 0);
        return 0;
    }
    cache->Size = bytes;
    return 1;
}

int64_t OffsetCache_Get(OffsetCache* cache, uint64_t offset, void* buffer, int32_t capacity, int32_t* length) {
    CLASS_CHECK(cache, OFFSET_CACHE_CLASS_ID);
    ASSERT_POINTER(length);
    *length = 0;
    CriticalSectionGuard guard(cache->Lock);
    if (cache->Size == 0) return 0;
    OffsetCacheEntry* e = Lookup(cache, offset);
    if (e == nullptr || e->Length > capacity || buffer == nullptr) {
        cache->Misses++;
        return 0;
    }
    // Copied under the lock: a Put on another thread may evict the entry as soon as it is released.
    memcpy(buffer, e->Bytes, (size_t)e->Length);
    cache->Hits++;
    cache->BytesServed += (uint64_t)e->Length;
    *length = e->Length;
    return 1;
}

int64_t OffsetCache_Put(OffsetCache* cache, uint64_t offset, const void* bytes, int32_t length) {
    CLASS_CHECK(cache, OFFSET_CACHE_CLASS_ID);
    CriticalSectionGuard guard(cache->Lock);
    if (cache->Size == 0) return 0;
    if (Lookup(cache, offset)) return 1;
    const int32_t Length = length;
    ASSERT_MSG(Length > 0, "OffsetCache length must be greater than 0");
    ASSERT_POINTER(bytes);
    void* block = nullptr;
    while (!BlockPool_Alloc(cache->Blocks, Length, &block)) {
        if (cache->Head == nullptr) {
            OffsetCache_Print(cache, "Unable to clear enough cache space (%d)", Length);
            return 1;
        }
        Evict(cache, cache->Head);
    }
    OffsetCacheEntry* e = static_cast<OffsetCacheEntry*>(Pool_Alloc(cache->Entries, sizeof(OffsetCacheEntry)));
    e->Offset = offset;
    e->Length = Length;
    e->Bytes = static_cast<uint8_t*>(block);
    memcpy(e->Bytes, bytes, (size_t)Length);
    cache->Used += (uint32_t)Length;
    Append(cache, e);
    OffsetCache_VerboseLog(cache, 0, "Alloc (%I64d) (%d)", (int64_t)offset, Length);
    return 1;
}

int64_t OffsetCache_Reset(OffsetCache* cache) {
    CLASS_CHECK(cache, OFFSET_CACHE_CLASS_ID);
    CriticalSectionGuard guard(cache->Lock);
    EvictAll(cache);
    cache->Used = 0;
    cache->Hits = 0;
    cache->Misses = 0;
    cache->BytesServed = 0;
    return 1;
}

int64_t OffsetCache_Dump(OffsetCache* cache, Dictionary* dictionary) {
    CLASS_CHECK(cache, OFFSET_CACHE_CLASS_ID);
    ASSERT_POINTER(dictionary);
    CriticalSectionGuard guard(cache->Lock);
    Dictionary_SetInt32ByKey(dictionary, "size", cache->Size);
    Dictionary_SetInt32ByKey(dictionary, "hits", (int32_t)cache->Hits);
    Dictionary_SetInt32ByKey(dictionary, "misses", (int32_t)cache->Misses);
    Dictionary_SetInt32ByKey(dictionary, "used", (int32_t)cache->Used);
    Dictionary_SetInt64ByKey(dictionary, "readBytes", (int64_t)cache->BytesServed);
    return 1;
}

CLASS_PRINT_FAMILY(OffsetCache, OffsetCache, OFFSET_CACHE_CLASS_ID, PreparePrint)

int64_t OffsetCache_PrintInternal(void* user, const char* format, ...) {
    (void)user;
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}
