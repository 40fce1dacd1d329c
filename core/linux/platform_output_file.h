// Files that a download writes: opened by name inside their folder, never through a final
// symbolic link, created private, and stamped through a descriptor once written.
#pragma once

#include <cstdint>

#include "core/linux/platform_error.h"

// Opens `name` (one path component) inside `directory` for reading and writing. The directory
// path is taken as the caller gives it; the name is never followed when it is a link (ELOOP) and
// must be a regular file owned by the effective user (EPERM otherwise). create 1 makes a missing file with mode 0600; truncate 1 empties the
// file after it was checked. The descriptor, or -1 with error set; size gets the file's size as
// found (before any truncation).
int32_t Platform_OpenOutputFile(const char* directory, const char* name, uint32_t create, uint32_t truncate,
                                uint64_t* size, PlatformErrorCode* error);
// A second descriptor of the same open file, or -1.
int32_t Platform_DuplicateDescriptor(int32_t fd);
// The modification (and access) time of the open file, from an encoded time (seconds since 1970).
int64_t Platform_SetDescriptorModifiedTime(int32_t fd, double encodedTime, PlatformErrorCode* error);
// The partial file that stands for `path` until it is whole: "<path><suffix>" when that name is
// free or holds a regular file of this user (made 0600 when free; emptied with truncate), else a
// name of its own for this run, "<path><suffix>-<16 hex digits>", made exclusively so nobody
// can have put anything there first. Whatever held the plain name (another user's file, a link,
// a FIFO, a folder) is left untouched and its refusal is put in *refused (0 when the plain name
// was taken). 1 with the name in `partial` and *ownName set for a name of its own; 0 with *error.
int64_t Platform_TakePartialFile(const char* path, const char* suffix, uint32_t truncate, char* partial,
                                 int32_t capacity, uint32_t* ownName, PlatformErrorCode* refused,
                                 PlatformErrorCode* error);
// Removes the entry at `path` only when it is this user's own file or link; nothing there counts
// as removed, anything else stays and answers 0 (EPERM, EISDIR).
int64_t Platform_RemoveOwnFile(const char* path, PlatformErrorCode* error);
// Renames the file at `from` over `to` only when it is a regular file of this user (never a link
// put in its place), each name taken inside its folder's descriptor.
int64_t Platform_RenameOwnFile(const char* from, const char* to, PlatformErrorCode* error);
