// The directory skin's files on Linux: every name is walked from the descriptor of the skin
// directory, one segment at a time and never through a symbolic link, so that no name reaches a
// file outside the skin.
#pragma once

#include <cstdint>

// Resolves the path (links followed) to the file it names: 1 with the resolved path and whether
// it is a directory; 0 when nothing is there or the resolved path does not fit.
int64_t SkinDisk_Resolve(const char* path, char* resolved, int32_t capacity, uint32_t* isDirectory);
// A descriptor of the directory at the path, to walk names from (closed with Platform_Close).
int64_t SkinDisk_OpenRoot(const char* path, int32_t* root);

// What SkinDisk_Open found.
enum : int32_t {
    SKIN_DISK_OPENED = 0,
    SKIN_DISK_MISSING = 1,    // no such entry, or a name that leaves the skin
    SKIN_DISK_UNREADABLE = 2, // there, but not a regular file that opens for reading
};

// Opens the regular file `name` below the root for reading: 1 with its descriptor, size and
// modification time (seconds since 1970); 0 otherwise. The outcome says which.
int64_t SkinDisk_Open(int32_t root, const char* name, int32_t* fd, uint64_t* size, double* modified,
                      int32_t* outcome);
// Whether `name` below the root exists (a link counts as itself).
int64_t SkinDisk_Exists(int32_t root, const char* name);
// Whether `name` below the root still leads to the file open on `fd` (same device and inode): 0
// once the name was replaced, removed or moved since the open.
int64_t SkinDisk_IsOpenFile(int32_t root, const char* name, int32_t fd);
