// Sized heap memory: every block is wrapped in two 16-byte guards and, with tracking on,
// carries a tracker record so that live blocks can be checked, dumped and reported.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    MEMORY_FLAG_PLAIN = 1,
    MEMORY_FLAG_ZERO = 2,
};

// Start and stop of the module; Debug_Init and Debug_Remove call them.
int64_t Memory_Init(int32_t tracking);
int64_t Memory_Remove();
int64_t Memory_IsTracking();
// Largest allocation count and byte total seen while tracking.
int64_t Memory_GetMaximum(uint32_t* count, uint32_t* bytes);
int64_t Memory_GetCount(uint32_t* count);

void* Memory_AllocInt(int32_t size, uint32_t flags, const char* file, int32_t line);
void Memory_FreeInt(void* pointer, int32_t size, const char* file, int32_t line);
// Moves a block of oldSize bytes to a block of newSize bytes that holds its first keep bytes: the
// same checks, reports, counts and aborts as Memory_AllocInt (at allocFile/allocLine), a copy and
// Memory_FreeInt (at freeFile/freeLine), but the heap may grow or shrink the block where it is.
void* Memory_MoveInt(void* pointer, int32_t oldSize, int32_t newSize, int32_t keep, const char* allocFile,
                     int32_t allocLine, const char* freeFile, int32_t freeLine);
int64_t Memory_ValidateInt(void* pointer, int32_t size, void* ignored, const char* file, int32_t line);
int64_t Memory_Check(const char* label);
int64_t Memory_Dump();
int64_t Memory_Report();
int64_t Memory_GetSize(uint32_t* bytes);
int64_t Memory_FindPattern(const void* buffer, int32_t length, const void* pattern, int32_t patternLength,
                           const void** found);
int64_t Memory_FindByte(const void* buffer, int32_t length, uint8_t byte, const void** found);
int64_t Memory_CryptFill(void* buffer, int32_t size);

#define Memory_Alloc(size) Memory_AllocInt((int32_t)(size), MEMORY_FLAG_PLAIN, __FILE__, __LINE__)
#define Memory_AllocZero(size) Memory_AllocInt((int32_t)(size), MEMORY_FLAG_ZERO, __FILE__, __LINE__)
#define Memory_Free(pointer, size) Memory_FreeInt((pointer), (int32_t)(size), __FILE__, __LINE__)
#define Memory_Validate(pointer, size) Memory_ValidateInt((pointer), (int32_t)(size), nullptr, __FILE__, __LINE__)
