// Allocator for many small blocks of one size, taken from the sized allocator in chunks and
// handed out from a free list; in string mode a bump allocator for texts released all at once.
#pragma once

#include <cstdint>

enum : uint32_t { POOL_CLASS_ID = 0x90654776 };

struct Pool;

// Creation and deletion. Delete logs members still active (a leak) and goes on.
int64_t Pool_CreateInt(Pool** pool, const char* file, int32_t line);
int64_t Pool_Delete(Pool** pool);
int64_t Pool_ValidHandle(Pool* pool);

// Returns a member of `size` bytes (fixed mode: size must equal the member size).
void* Pool_AllocInt(Pool* pool, uint32_t size, const char* file, int32_t line);
// Frees *member, clears it and returns null, so callers may also store the result.
void* Pool_FreeInt(Pool* pool, void** member, uint32_t size, const char* file, int32_t line);

// Reset: every member free again, chunks kept (string mode: chunks released).
int64_t Pool_Reset(Pool* pool);
// RemoveAll: all chunks released and all counters cleared.
int64_t Pool_RemoveAll(Pool* pool);

// Settings.
int64_t Pool_SetMemorySize(Pool* pool, uint32_t size);
int64_t Pool_SetChunkSize(Pool* pool, uint32_t count);
int64_t Pool_SetStringMode(Pool* pool, uint32_t on);
int64_t Pool_SetDebugMode(Pool* pool, uint32_t on);
int64_t Pool_SetZeroOnAlloc(Pool* pool, uint32_t on);
int64_t Pool_SetVerbose(Pool* pool, uint32_t on);
int64_t Pool_SetAllowLock(Pool* pool, uint32_t on);
// The aligned member size (the set size raised to a multiple of 8).
int64_t Pool_GetMemorySize(Pool* pool, uint32_t* size);
int64_t Pool_GetChunkSize(Pool* pool, uint32_t* count);
int64_t Pool_GetStringMode(Pool* pool, uint32_t* on);
int64_t Pool_GetDebugMode(Pool* pool, uint32_t* on);
int64_t Pool_GetZeroOnAlloc(Pool* pool, uint32_t* on);
int64_t Pool_GetVerbose(Pool* pool, uint32_t* on);
int64_t Pool_GetAllowLock(Pool* pool, uint32_t* on);

// Statistics.
int64_t Pool_GetActiveCount(Pool* pool, uint32_t* count);
int64_t Pool_GetMaximumCount(Pool* pool, uint32_t* count);
int64_t Pool_GetMemoryInUse(Pool* pool, uint32_t* bytes);
// Number of chunks held.
int64_t Pool_GetBlocksInUse(Pool* pool, uint32_t* count);
// Sum over the chunks of the bytes after each chunk's cursor.
int64_t Pool_GetStringMemoryLeftOver(Pool* pool, uint32_t* bytes);

// Short forms that pass the caller's location. Pool_Free takes the address of a typed pointer
// and returns a null pointer of the same type: `item = Pool_Free(pool, &item, sizeof(Item));`.
template <typename T>
T* Pool_FreeTyped(Pool* pool, T** member, uint32_t size, const char* file, int32_t line) {
    return static_cast<T*>(Pool_FreeInt(pool, reinterpret_cast<void**>(member), size, file, line));
}
#define Pool_Create(pool) Pool_CreateInt((pool), __FILE__, __LINE__)
#define Pool_Alloc(pool, size) Pool_AllocInt((pool), (uint32_t)(size), __FILE__, __LINE__)
#define Pool_Free(pool, member, size) Pool_FreeTyped((pool), (member), (uint32_t)(size), __FILE__, __LINE__)
