// First-fit allocator of block runs inside one block-aligned region; a BitField marks the blocks
// in use, so allocation is a linear scan of its bits.
#include "core/runtime/block_pool.h"

#include "core/runtime/bit_field.h"
#include "core/runtime/class.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

constexpr int32_t kDefaultBlockSize = 4096;
// Largest region asked of the sized allocator: its own limit is a little below 2 GiB.
constexpr int64_t kMaxRegionBytes = 0x7FFF0000;

} // namespace

struct BlockPool {
    Class Header;
    const char* CreationFile;
    uint32_t CreationLine;
    int32_t BlockSize;
    int32_t MemorySize;
    BitField* BitFieldHandle;
    uint8_t* Region;
    int32_t RegionSize;
    uint8_t* Base; // first block-aligned address inside the region
};

namespace {

int64_t DeleteHandle(void** handle) {
    return BlockPool_Delete(reinterpret_cast<BlockPool**>(handle));
}

// Whole blocks that hold size bytes (size >= 0).
int64_t BlockCount(const BlockPool* pool, int64_t size) {
    return size / pool->BlockSize + (size % pool->BlockSize != 0 ? 1 : 0);
}

void ReleaseRegion(BlockPool* pool) {
    if (pool->Region) Memory_Free(pool->Region, pool->RegionSize);
    pool->Region = nullptr;
    pool->RegionSize = 0;
    pool->Base = nullptr;
    // Without a region there are no blocks: stale clear bits would hand out addresses from base 0.
    BitField_SetTotalBits(pool->BitFieldHandle, 0);
}

[[noreturn]] void AbortUnallocated() {
    Debug_AbortInt(
        __FILE__, __LINE__,
        "Assertion failed (BitField_IsRangeSet(BlockPool->BitFieldHandle, BlockStart, BlockCount))\n"
        "Attempt to free unallocated memory");
}

} // namespace

int64_t BlockPool_CreateReal(BlockPool** handle, const char* file, int32_t line) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    BlockPool* pool = static_cast<BlockPool*>(Memory_AllocZero(sizeof(BlockPool)));
    pool->Header.ClassId = BLOCK_POOL_CLASS_ID;
    pool->Header.RefCount = 1;
    pool->Header.Delete = DeleteHandle;
    pool->CreationFile = file;
    pool->CreationLine = (uint32_t)line;
    pool->BlockSize = kDefaultBlockSize;
    BitField_Create(&pool->BitFieldHandle);
    *handle = pool;
    return 1;
}

int64_t BlockPool_Delete(BlockPool** handle) {
    ASSERT_POINTER(handle);
    BlockPool* pool = *handle;
    CLASS_CHECK(pool, BLOCK_POOL_CLASS_ID);
    int32_t inUse = 0;
    BitField_GetNonZeroBits(pool->BitFieldHandle, &inUse);
    if (inUse > 0)
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                     "Not all block pool memory was freed (%d) for (%s/%d)\n", inUse,
                     pool->CreationFile ? pool->CreationFile : "", (int32_t)pool->CreationLine);
    // The pool goes away with its bits, so blocks still handed out can never be freed through it:
    // the region is released with it rather than kept as an unreachable leak.
    ReleaseRegion(pool);
    pool->MemorySize = 0;
    BitField_Release(&pool->BitFieldHandle);
    pool->Header.ClassId = 0;
    Memory_Free(pool, sizeof(BlockPool));
    *handle = nullptr;
    return 1;
}

int64_t BlockPool_SetMemorySize(BlockPool* pool, int32_t size) {
    CLASS_CHECK(pool, BLOCK_POOL_CLASS_ID);
    if (size == pool->MemorySize) return 1;
    if (!BitField_IsEmpty(pool->BitFieldHandle)) return 0;
    const int64_t blocks = size > 0 ? BlockCount(pool, size) : 0;
    // Two spare blocks leave room to align the base; checked before anything is released.
    const int64_t regionBytes = (blocks + 2) * pool->BlockSize;
    if (blocks > 0 && regionBytes > kMaxRegionBytes) return 0;
    ReleaseRegion(pool);
    pool->MemorySize = size;
    if (blocks < 1) return 1;
    BitField_SetTotalBits(pool->BitFieldHandle, (int32_t)blocks);
    pool->Region = static_cast<uint8_t*>(Memory_Alloc(regionBytes));
    pool->RegionSize = (int32_t)regionBytes;
    const uintptr_t start = (uintptr_t)pool->Region;
    const uintptr_t blockSize = (uintptr_t)pool->BlockSize;
    pool->Base = pool->Region + (blockSize - start % blockSize) % blockSize;
    return 1;
}

int64_t BlockPool_GetMemorySize(BlockPool* pool, int32_t* size) {
    CLASS_CHECK(pool, BLOCK_POOL_CLASS_ID);
    ASSERT_POINTER(size);
    *size = pool->MemorySize;
    return 1;
}

int64_t BlockPool_SetBlockSize(BlockPool* pool, int32_t size) {
    CLASS_CHECK(pool, BLOCK_POOL_CLASS_ID);
    if (size == pool->BlockSize) return 1;
    // The region's layout follows from the block size: changing it under a region would put
    // blocks past the region's end.
    if (size < 1 || pool->Region) return 0;
    pool->BlockSize = size;
    return 1;
}

int64_t BlockPool_GetBlockSize(BlockPool* pool, int32_t* size) {
    CLASS_CHECK(pool, BLOCK_POOL_CLASS_ID);
    ASSERT_POINTER(size);
    *size = pool->BlockSize;
    return 1;
}

int64_t BlockPool_Alloc(BlockPool* pool, int32_t size, void** address) {
    CLASS_CHECK(pool, BLOCK_POOL_CLASS_ID);
    ASSERT_POINTER(address);
    *address = nullptr;
    if (size < 0) return 0;
    const int64_t wanted = BlockCount(pool, size);
    int32_t total = 0;
    BitField_GetTotalBits(pool->BitFieldHandle, &total);
    int32_t start = 0;
    int64_t length = 0;
    for (int32_t i = 0; i < total && length < wanted; i++) {
        if (BitField_IsSet(pool->BitFieldHandle, i)) {
            start = i + 1;
            length = 0;
        } else {
            length++;
        }
    }
    if (length < wanted) return 0;
    BitField_SetRange(pool->BitFieldHandle, start, (int32_t)wanted);
    *address = pool->Base + (size_t)start * (size_t)pool->BlockSize;
    return 1;
}

int64_t BlockPool_Free(BlockPool* pool, int32_t size, void** address) {
    CLASS_CHECK(pool, BLOCK_POOL_CLASS_ID);
    ASSERT_POINTER(address);
    // Nothing was handed out for a negative size.
    if (size < 0) AbortUnallocated();
    const int64_t count = BlockCount(pool, size);
    if (count > 0) {
        // Only a block-aligned address inside the region names a run of blocks; anything else
        // was not handed out by this pool, and its block index would fall outside the bits.
        const uintptr_t at = (uintptr_t)*address;
        const uintptr_t base = (uintptr_t)pool->Base;
        int32_t total = 0;
        BitField_GetTotalBits(pool->BitFieldHandle, &total);
        if (!pool->Base || at < base || (at - base) % (uintptr_t)pool->BlockSize != 0) AbortUnallocated();
        const uintptr_t first = (at - base) / (uintptr_t)pool->BlockSize;
        if (first >= (uintptr_t)total || (int64_t)first + count > total) AbortUnallocated();
        if (!BitField_IsRangeSet(pool->BitFieldHandle, (int32_t)first, (int32_t)count)) AbortUnallocated();
        BitField_ClearRange(pool->BitFieldHandle, (int32_t)first, (int32_t)count);
    }
    *address = nullptr;
    return 1;
}
