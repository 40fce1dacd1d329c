// The contents of a directory skin's small files, kept in memory while nothing in the folders
// they were read from changes: a file served again then costs no open, status, read or close.
// Every look-up first takes the folders' change notices (one non-blocking read): a change that
// ended before the look-up began is always seen, and any change drops every kept content.
#pragma once

#include <cstdint>

struct SkinFileCacheEntry;

enum : uint32_t {
    // Files larger than this are never kept.
    SKIN_FILE_CACHE_ENTRY_LIMIT = 1u << 20,
    // Bytes kept in all; the least recently used contents go first.
    SKIN_FILE_CACHE_TOTAL_LIMIT = 32u << 20,
    SKIN_FILE_CACHE_COUNT_LIMIT = 1024,
};

// The kept content of the name below the root descriptor, with a reference of the caller's; null
// when none is kept (or the folders changed since).
SkinFileCacheEntry* SkinFileCache_Find(int32_t root, const char* name);
// Starts watching the folders the name lies in and the file itself (its open descriptor), before
// its content is read; 0 when they cannot be watched (the content is then not kept). The ticket
// tells Keep whether anything changed since.
int64_t SkinFileCache_Watch(int32_t root, const char* name, int32_t descriptor, uint64_t* ticket);
// Reads the whole file from the descriptor (its offset left as it is) and keeps it under the name
// when nothing changed since the ticket was given and it fits the limits. The kept entry with a
// reference of the caller's, or null (the caller reads the descriptor as before).
SkinFileCacheEntry* SkinFileCache_Keep(int32_t root, const char* name, int32_t descriptor, uint64_t size,
                                       double modified, uint64_t ticket);
void SkinFileCache_Release(SkinFileCacheEntry** entry);
const uint8_t* SkinFileCache_Data(const SkinFileCacheEntry* entry);
uint64_t SkinFileCache_Size(const SkinFileCacheEntry* entry);
double SkinFileCache_Modified(const SkinFileCacheEntry* entry);
// Drops every kept content and stops watching (the skin was detached).
void SkinFileCache_Clear();
// What is kept: entries and bytes (for tests).
void SkinFileCache_GetUsage(uint32_t* count, uint64_t* bytes);
