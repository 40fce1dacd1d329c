// Runs of fixed-size blocks handed out first-fit from one block-aligned region, the used blocks
// recorded in a BitField. No lock: the owner serialises access.
#pragma once

#include <cstdint>

enum : uint32_t { BLOCK_POOL_CLASS_ID = 0x65d358e0 };

struct BlockPool;

// A new pool has blocks of 4096 bytes and no region. The creation place names the pool in the
// line that Delete logs when blocks are still in use; the region is released either way.
int64_t BlockPool_CreateReal(BlockPool** handle, const char* file, int32_t line);
int64_t BlockPool_Delete(BlockPool** handle);

// Sizes the region to hold `size` bytes in whole blocks (none for a size below 1). Refused (0)
// while any block is in use, or when the region would not fit the allocator.
int64_t BlockPool_SetMemorySize(BlockPool* pool, int32_t size);
int64_t BlockPool_GetMemorySize(BlockPool* pool, int32_t* size);
// Bytes per block, at least 1; refused (0) while a region is held: set it before the size.
int64_t BlockPool_SetBlockSize(BlockPool* pool, int32_t size);
int64_t BlockPool_GetBlockSize(BlockPool* pool, int32_t* size);

// The first run of free blocks that holds size bytes; 0 and a null address when none does (or
// the size is negative). A size of 0 takes no block and answers the region's base.
int64_t BlockPool_Alloc(BlockPool* pool, int32_t size, void** address);
// Releases the run that Alloc gave for the same size and clears *address; a run that is not
// wholly allocated from this pool aborts.
int64_t BlockPool_Free(BlockPool* pool, int32_t size, void** address);

#define BlockPool_Create(handle) BlockPool_CreateReal((handle), __FILE__, __LINE__)
