// Path texts and the file-system operations built on them: normalising, resolving "~", splitting,
// comparing, "file:" URLs, queries and changes of what a path names, directory chains, erasing,
// moving and copying files and trees with retries, and the directory-size request of scripts.
#pragma once

#include <cstdint>

#include "core/linux/platform_error.h"
#include "core/runtime/time.h"

struct stat;

enum : int32_t {
    // Working buffers of path texts, terminator included.
    PATH_SIZE = 320,
    // Directory listings, directory sizes and the platform's own buffers.
    PATH_LIST_SIZE = 1024,
};

// Path_Fix flags: the low byte is the separator to write (0 means '/').
enum : uint32_t {
    PATH_FIX_NO_TRAILING = 0x100,
    PATH_FIX_TRAILING = 0x200,
};

// (user, source, destination, bytes done, total bytes): non-zero goes on, 0 stops the copy.
typedef int64_t (*PathProgressFunc)(void* user, const char* source, const char* destination, uint64_t done,
                                    uint64_t total);

// ---- Text operations (no file-system access) ----------------------------------------------
// Normalises in place: separators unified and collapsed, "." and ".." components folded,
// the trailing separator as flags ask. A relative text whose components cancel out ("a/..")
// becomes empty and stays empty whatever the flags: it never turns into the root.
int64_t Path_Fix(char* path, int32_t size, uint32_t flags);
int64_t Path_FixSlash(char* path, int32_t size, uint32_t trailing);
// "~" expanded to the home directory, then normalised keeping the caller's trailing separator.
// 0 and an empty out when the result does not fit size: a cut path would name another file.
int64_t Path_Resolve(const char* path, char* out, int32_t size);
int64_t Path_ParseFilenamePtr(const char* path, const char** out);
int64_t Path_ParseFilename(const char* path, char* out, int32_t size);
int64_t Path_ParseFilenameWithoutExtension(const char* path, char* out, int32_t size);
int64_t Path_ParseDirectory(const char* path, char* out, int32_t size);
int64_t Path_RemoveFilename(char* path);
int64_t Path_RemoveDirectory(char* path);
int64_t Path_ParseExtensionPtr(const char* path, int32_t withDot, const char** out);
int64_t Path_ParseExtension(const char* path, int32_t withDot, char* out, int32_t size);
int64_t Path_RemoveExtension(char* path);
int64_t Path_IsAbsolute(const char* path);
// Flags 1: ASCII letters compared without case. '/' and '\' are equal.
int64_t Path_Compare(const char* a, const char* b, int32_t flags);
int64_t Path_ConvertToURL(const char* path, char* out, int32_t size);
int64_t Path_ConvertFromURL(const char* url, char* out, int32_t size);

// ---- Queries --------------------------------------------------------------------------------
int64_t Path_Stat(const char* path, int32_t follow, struct stat* info);
int64_t Path_Exists(const char* path);
int64_t Path_IsDirectory(const char* path);
int64_t Path_DirectoryExists(const char* path);
int64_t Path_IsDirectoryEmpty(const char* path);
int64_t Path_IsSymLink(const char* path);
int64_t Path_ReadLink(const char* link, char* out, int32_t size);
int64_t Path_FollowLink(const char* path, char* out, int32_t size);
int64_t Path_GetFileSize(const char* path, uint64_t* size);
int64_t Path_GetCreationTime(const char* path, EncodedTime* time, PlatformErrorCode* error);
int64_t Path_GetModifiedTime(const char* path, EncodedTime* time, PlatformErrorCode* error);
int64_t Path_GetMode(const char* path, uint32_t* mode, PlatformErrorCode* error);
int64_t Path_GetAttributes(const char* path, uint32_t* attributes, PlatformErrorCode* error);
int64_t Path_HasChanged(const struct stat* a, const struct stat* b);
int64_t Path_ResetChanged(struct stat* info);

// ---- Changes --------------------------------------------------------------------------------
// Error out-parameters are optional unless said otherwise: 0 on success, else the platform
// error code of the failure.
int64_t Path_SetModifiedTime(const char* path, PlatformErrorCode* error, EncodedTime time);
int64_t Path_SetMode(const char* path, uint32_t mode, PlatformErrorCode* error);
int64_t Path_SetAttributes(const char* path, uint32_t attributes, PlatformErrorCode* error);
int64_t Path_SetGroup(const char* path, const char* name);
int64_t Path_CreateSymLink(const char* link, const char* target, uint32_t targetIsDirectory);
// Clears immutable flags, the owner-write bit and the read-only attribute. A symbolic link
// answers 1 untouched: its mode and flags are those of its target, which is not ours to change.
int64_t Path_EnsureWritable(const char* path);
// isFile 1: the path names a file, so its directory part is created.
int64_t Path_CreateDirectory(const char* path, uint32_t isFile, PlatformErrorCode* error);
// The path is normalised and is put back as it was; the whole chain is created.
int64_t Path_CreateParentDirectory(char* path, PlatformErrorCode* error);
// Retrying operations: `attempts` tries 1000 ms apart, a retry line logged per failed try
// that another follows. The empty path and the root are refused by the tree operations.
int64_t Path_EraseFile(const char* path, int32_t attempts, PlatformErrorCode* error);
// A tree is erased on its own mount only: the erase stops at the first directory inside it on
// which another file system (or a bind mount) is mounted, before anything in it is touched, and
// fails with EBUSY; what went before it stays erased.
int64_t Path_EraseDirectory(const char* path, int32_t attempts, PlatformErrorCode* error);
// Path_EraseDirectory that also gives the path of the mount point it stopped at (without a
// trailing separator; empty when it stopped at none). DIRECTORY_LIST_PATH_SIZE bytes hold any; a
// path that does not fit `size` is left empty rather than cut, which would name another place.
int64_t Path_EraseDirectoryReport(const char* path, int32_t attempts, PlatformErrorCode* error,
                                  char* mountPoint, int32_t size);
int64_t Path_EraseDirectoryInt(const char* path, int32_t attempts, PlatformErrorCode* error);
// Overwrite 1 replaces the destination in one rename, so a failed move leaves it intact; across
// file systems the source is copied beside the destination, renamed over it, then removed.
int64_t Path_MoveFile(const char* source, const char* destination, int32_t overwrite, int32_t attempts,
                      PlatformErrorCode* error, void* progressUser, PathProgressFunc progress);
int64_t Path_RenameFile(const char* source, const char* destination, int32_t attempts,
                        PlatformErrorCode* error);
int64_t Path_CopyFile(const char* source, const char* destination, uint32_t failIfExists, int32_t attempts,
                      PlatformErrorCode* error, void* progressUser, PathProgressFunc progress);
int64_t Path_MoveDirectory(const char* source, const char* destination);
// Symbolic links in the tree are copied as links; nothing is ever written through one.
int64_t Path_CopyDirectory(const char* source, const char* destination, uint32_t overwrite, uint32_t recurse);

// ---- Directory size for scripts ---------------------------------------------------------------
// Answers the script callback through "Path"/"DirectoryGetSizeResponse"; one worker at a time.
int64_t Path_GetDirectorySize(const char* path, const char* callbackId);
// Sums allocated sizes below a directory path that ends in a separator; stops when cancelled.
int64_t Path_GetDirectorySizeInt(const char* directory, uint64_t* size);

// Macro keys "PathSlash", "PathParse", "PathFix", "PathJoin", "PathToUrl", "PathFromUrl".
int64_t Path_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity);

int64_t Path_Init();
int64_t Path_Remove();
