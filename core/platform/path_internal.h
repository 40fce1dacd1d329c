// Helpers shared by the path module's files: preparing a path for the platform and error codes.
#pragma once

#include <cerrno>
#include <cstdint>

#include "core/linux/platform_error.h"
#include "core/platform/path.h"

namespace path_internal {

constexpr int32_t kRetryDelayMs = 1000;

inline void SetError(PlatformErrorCode* error, PlatformErrorCode value) {
    if (error) *error = value;
}

inline PlatformErrorCode ErrnoError(int value) {
    return PLATFORM_ERROR_ERRNO_BASE + value;
}

inline bool IsRoot(const char* path) {
    return path[0] == '/' && path[1] == 0;
}

// Resolves into a PATH_SIZE buffer and normalises; false (errno set) when the path is too long
// (ENAMETOOLONG) or names nothing: "" or a relative text that cancelled out (ENOENT).
bool Prepare(const char* path, char* out, uint32_t fixFlags);

// The operations below act on the entry `name` of the open directory `at` (PLATFORM_TREE_CWD: a
// prepared path), by name in that directory and never through a link, as tree operations must:
// a path may lead elsewhere by the time it is used. `shown` is the path their log lines give.
// Path_EnsureWritable of the entry.
int64_t EnsureWritableAt(int32_t at, const char* name, const char* shown);
// Path_EraseFile of the entry (after its path is prepared).
int64_t EraseFileAt(int32_t at, const char* name, const char* shown, int32_t attempts,
                    PlatformErrorCode* error);
// Path_EraseDirectoryInt of the entry (after its path is prepared).
int64_t EraseDirectoryAt(int32_t at, const char* name, const char* shown, int32_t attempts,
                         PlatformErrorCode* error);

} // namespace path_internal
