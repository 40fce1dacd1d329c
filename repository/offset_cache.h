// Least-recently-used cache of file data read from a storage, keyed by its position in the content
// stream, so that a piece read again is served without asking the backend. Bounded by a byte size.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct Dictionary;
struct OffsetCache;

enum : uint32_t { OFFSET_CACHE_CLASS_ID = 0x38bc9180 };

// A new cache has size 0: it is off until OffsetCache_SetSize.
int64_t OffsetCache_Create(OffsetCache** handle);
int64_t OffsetCache_AddRef(OffsetCache* cache);
int64_t OffsetCache_Release(OffsetCache** handle);
// Evicts everything, frees the object and clears the handle.
int64_t OffsetCache_Delete(OffsetCache** handle);

// Evicts every entry, then sets the limit and the region the bytes live in. 0 turns the cache
// off; a negative size, or a region the allocator cannot give, leaves it off and answers 0.
int64_t OffsetCache_SetSize(OffsetCache* cache, int32_t bytes);

// On a hit copies the entry's bytes into buffer while the cache is locked, so that no other
// thread can evict them half-way, and answers 1 with *length set; the entry becomes the most
// recently used. An entry longer than the capacity is not served (0, counted as a miss). 0 on a
// miss, or without counting when the size is 0. No pointer into the cache is ever handed out.
int64_t OffsetCache_Get(OffsetCache* cache, uint64_t offset, void* buffer, int32_t capacity, int32_t* length);
// Stores a copy of length bytes (above 0) at offset, evicting least recently used entries until
// the blocks fit. An offset already cached is only refreshed. 0 when the size is 0.
int64_t OffsetCache_Put(OffsetCache* cache, uint64_t offset, const void* bytes, int32_t length);
// Evicts every entry and zeroes the counters.
int64_t OffsetCache_Reset(OffsetCache* cache);
// "size", "hits", "misses", "used" (32-bit) and "readBytes" (64-bit: bytes served).
int64_t OffsetCache_Dump(OffsetCache* cache, Dictionary* dictionary);

// Print block; class name "OffsetCache", by default one DEBUG log line per line.
int64_t OffsetCache_VPrint(OffsetCache* cache, int32_t tabs, const char* format, va_list args);
int64_t OffsetCache_Print(OffsetCache* cache, const char* format, ...);
int64_t OffsetCache_PrintTabbed(OffsetCache* cache, int32_t tabs, const char* format, ...);
int64_t OffsetCache_VerboseLog(OffsetCache* cache, int32_t level, const char* format, ...);
int64_t OffsetCache_IsVerboseLevel(OffsetCache* cache, int32_t level);
int64_t OffsetCache_SetPrintCallback(OffsetCache* cache, void* user, ClassPrintCallback function);
int64_t OffsetCache_GetPrintCallback(OffsetCache* cache, void** user, ClassPrintCallback* function);
int64_t OffsetCache_SetPrintIdentifier(OffsetCache* cache, const char* identifier);
int64_t OffsetCache_SetVerbose(OffsetCache* cache, uint32_t verbose);
int64_t OffsetCache_GetVerbose(OffsetCache* cache, uint32_t* verbose);
int64_t OffsetCache_PrintInternal(void* user, const char* format, ...);
