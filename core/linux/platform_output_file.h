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
