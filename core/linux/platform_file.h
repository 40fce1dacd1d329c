// File and directory primitives of the platform layer on Linux: open, status, attributes, times,
// links, copies, moves, deletes, free space, record locks, maps and directory search.
#pragma once

#include <cstdint>
#include <ctime>
#include <sys/stat.h>

#include "core/linux/platform_error.h"
#include "core/linux/platform_tree.h"

// Every path argument is resolved ("~" expanded, separators fixed) into a work buffer of this
// size; a longer path is refused with ENAMETOOLONG instead of being cut, so that an operation
// never reaches another file than the one named. Link paths and targets hold 320 bytes.
enum : int32_t {
    PLATFORM_FILE_PATH_CAPACITY = 1024,
    PLATFORM_FILE_LINK_CAPACITY = 320,
};

// PlatformFileAttributes: a bit set. A symbolic link never carries the directory bit.
typedef uint32_t PlatformFileAttributes;
enum : uint32_t {
    PLATFORM_FILE_ATTRIBUTE_READONLY = 0x01,   // the immutable flag
    PLATFORM_FILE_ATTRIBUTE_HIDDEN = 0x02,     // the name begins with '.'
    PLATFORM_FILE_ATTRIBUTE_SYSTEM = 0x04,     // never set on this platform
    PLATFORM_FILE_ATTRIBUTE_EXECUTABLE = 0x08, // all three execute bits
    PLATFORM_FILE_ATTRIBUTE_DIRECTORY = 0x10,
    PLATFORM_FILE_ATTRIBUTE_SYMLINK = 0x20,
};

// Bits of the open word of Platform_Open for callers outside the platform layer; they are this
// system's own open flags. The default and alternate mode words of files have no bits here (the
// numbers 0x8000 and 0x4000 are other open flags on this system) and are 0.
enum : int32_t {
    PLATFORM_OPEN_READ_ONLY = 0,
    PLATFORM_OPEN_WRITE_ONLY = 01,
    PLATFORM_OPEN_READ_WRITE = 02,
    PLATFORM_OPEN_CREATE = 0100,
    PLATFORM_OPEN_MODE_DEFAULT = 0,
    PLATFORM_OPEN_MODE_ALTERNATE = 0,
};

// Permission word of Platform_Open: the permission bits a file it creates gets (07777 of them),
// less the creation mask; 0600 makes a file only its owner may read.
enum : int32_t {
    PLATFORM_PERMISSION_READ = 0400,
    PLATFORM_PERMISSION_WRITE = 0200,
    PLATFORM_PERMISSION_EXECUTE = 0100,
};

// Operations of Platform_Lock.
enum : int32_t {
    PLATFORM_LOCK_UNLOCK = 0,
    PLATFORM_LOCK_EXCLUSIVE = 1,
    PLATFORM_LOCK_EXCLUSIVE_WAIT = 2,
    PLATFORM_LOCK_SHARED = 3,
    PLATFORM_LOCK_SHARED_WAIT = 4,
};

// Flags of Platform_MoveFile.
enum : uint32_t {
    PLATFORM_MOVE_COPY_ALLOWED = 1,
    PLATFORM_MOVE_REPLACE_EXISTING = 2,
    PLATFORM_MOVE_WRITE_THROUGH = 4,
};

// Access bits of Platform_Access and of Platform_MapViewOfFile.
enum : int32_t {
    PLATFORM_ACCESS_EXISTS = 0,
    PLATFORM_ACCESS_READ = 1,
    PLATFORM_ACCESS_WRITE = 2,
};

enum : int32_t {
    PLATFORM_FIND_NAME_CAPACITY = 320,
    PLATFORM_FIND_SHORT_NAME_CAPACITY = 14,
    // Holds a whole directory-walk path.
    PLATFORM_FIND_PATTERN_CAPACITY = PLATFORM_FILE_PATH_CAPACITY,
};

// The record of one directory entry. Times are calendar records of the whole seconds since 1970
// (their fields read as UTC); the attributes, times and sizes come from the entry's own status
// (links not followed) and stay zero when that cannot be read.
struct PlatformFindData {
    PlatformFileAttributes Attributes;
    struct tm CreationTime;
    struct tm AccessTime;
    struct tm ModifiedTime;
    uint64_t Size;
    uint64_t AllocatedSize; // blocks in use x 512
    char Name[PLATFORM_FIND_NAME_CAPACITY];
    char ShortName[PLATFORM_FIND_SHORT_NAME_CAPACITY]; // unused: this file system has no short names
    char Pattern[PLATFORM_FIND_PATTERN_CAPACITY];      // the resolved pattern given to FindFirst
};

// Called during a copy; answers non-zero to go on, 0 to stop the copy (which then fails).
typedef int64_t (*PlatformCopyProgressFunc)(void* user, const char* source, const char* destination,
                                            uint64_t copied, uint64_t total);

// Open and status. Platform_Open answers a descriptor or -1; openFlags are this system's open
// flags. The file is opened without the create flag first; only when that fails and creation was
// asked is it created, and then the group fix-up (Platform_TreeGroupFixup) runs on the new
// descriptor. The open never waits for a peer; a FIFO or a socket at the path is refused with
// ENOTSUP. (Also declared in platform.h.)
int32_t Platform_Open(const char* path, int32_t openFlags, int32_t ignored, int32_t permissions);
int64_t Platform_Write(int32_t fd, const void* data, int32_t length, int32_t* written);
int64_t Platform_Sync(int32_t fd);
int64_t Platform_Close(int32_t fd);
// One read at the current position; success with 0 bytes at the end of the file.
int64_t Platform_Read(int32_t fd, void* buffer, uint32_t length, uint32_t* read);
// origin: 0 start, 1 current, 2 end. The new position goes to position when given.
int64_t Platform_Seek(int32_t fd, int64_t offset, uint32_t origin, uint64_t* position);
// Cuts or extends the file to length bytes; the position is not moved.
int64_t Platform_Truncate(int32_t fd, int64_t length);

// The status record (zeroed first); LStat does not follow a final symbolic link.
int64_t Platform_Stat(const char* path, struct stat* info);
int64_t Platform_LStat(const char* path, struct stat* info);
// LStat succeeds: a dangling link exists.
int64_t Platform_FileExists(const char* path);
// mode: PLATFORM_ACCESS_ bits (others ignored, none asks existence). With climb = 1 and no
// directory at the path, the nearest existing ancestor directory is tested instead.
int64_t Platform_Access(const char* path, int32_t mode, int32_t climb);
// The mode of the path as given (not resolved), changed on a descriptor of the entry itself
// (Platform_TreeChangeMode). A symbolic link has no mode of its own here and is left alone
// (true): following it would change a file outside the tree it stands in.
int64_t Platform_ChangeMode(void* ignored, const char* path, uint32_t mode);
// Clears the immutable flag when set; true when nothing was set or the change succeeded.
int64_t Platform_EnsurePathMutable(const char* path);
// The same for the entry `name` of the open directory `at` (PLATFORM_TREE_CWD: a path as given).
int64_t Platform_EnsurePathMutableAt(int32_t at, const char* name);

// Attributes and times.
int64_t Platform_GetFileAttributes(void* ignored, const char* path, PlatformFileAttributes* attributes);
int64_t Platform_ConvertStatFileAttributes(const char* path, const struct stat* info,
                                           PlatformFileAttributes* attributes);
// Only adds attributes, never clears them; see the bit set above.
int64_t Platform_SetFileAttributes(void* ignored, const char* path, PlatformFileAttributes attributes);
// Both for the entry `name` of the open directory `at` (PLATFORM_TREE_CWD: a path as given);
// a link is asked about and left alone as itself.
int64_t Platform_GetFileAttributesAt(int32_t at, const char* name, PlatformFileAttributes* attributes);
int64_t Platform_SetFileAttributesAt(int32_t at, const char* name, PlatformFileAttributes attributes);
// Each requested time (null pointers skipped); the creation time is the birth time where the file
// system records one, else the modification time.
int64_t Platform_GetFileTime(const char* path, void* ignored1, void* ignored2, struct tm* creation,
                             struct tm* access, struct tm* modified);
// Sets the given times in the order creation, access, modification, stopping at the first
// failure. This system cannot set a birth time: a creation time is accepted and not applied.
int64_t Platform_SetFileTime(const char* path, void* ignored1, void* ignored2, const struct tm* creation,
                             const struct tm* access, const struct tm* modified);
int64_t Platform_SetFileTimeAt(int32_t at, const char* name, const struct tm* creation,
                               const struct tm* access, const struct tm* modified);
// "Everyone..." gives mode 0777, "Users..." or "Authenticated..." 0775 (case-insensitive); any
// other name is a user that becomes the owner and then a group that becomes the group; false when
// neither exists.
int64_t Platform_SetFileGroup(const char* path, const char* name);

// Links, copies, moves, deletes. Every operation acts on a link itself, never on what it points at.
int64_t Platform_CreateSymLink(const char* linkPath, const char* target, uint32_t ignored);
// size must be at least 2; a target that does not fit is refused (ENAMETOOLONG).
int64_t Platform_GetSymLink(const char* linkPath, char* buffer, int32_t size);
// Copies data, mode, times, ownership (where permitted) and extended attributes (with them the
// access-control lists) into a new file that replaces the destination only once it is complete.
// A link is copied as a link.
int64_t Platform_CopyFile(const char* source, const char* destination, int32_t failIfExists);
int64_t Platform_CopyFileWithProgress(const char* source, const char* destination, int32_t failIfExists,
                                      void* user, PlatformCopyProgressFunc progress);
// The same from the entry `source` of the open directory `fromAt` to the entry `destination` of
// `toAt` (PLATFORM_TREE_CWD: paths), without progress. The source is opened as itself, never
// through a link, and the new file is made beside the destination under a name nobody held.
int64_t Platform_CopyFileAt(int32_t fromAt, const char* source, int32_t toAt, const char* destination,
                            int32_t failIfExists);
// flags: PLATFORM_MOVE_ bits.
int64_t Platform_MoveFile(void* ignored, const char* source, const char* destination, uint32_t flags);
int64_t Platform_MoveFileWithProgress(const char* source, const char* destination, uint32_t flags, void* user,
                                      PlatformCopyProgressFunc progress);
int64_t Platform_DeleteFile(void* ignored, const char* path);
// Deletes at once.
int64_t Platform_DeleteFileOnReboot(const char* path);
// Mode 0777 less the creation mask, then the group fix-up; an existing directory answers false.
int64_t Platform_CreateDirectory(const char* path);
// Empty directories only.
int64_t Platform_RemoveDirectory(const char* path);

// Whole-file replacement: a new empty file beside the path (the file a link points at) with its
// mode and ownership, which Commit puts in the file's place in one step and Abort throws away, so
// that the old content stays whole until the new content is. Begin answers a descriptor opened
// with openFlags (read-write or write-only) or -1, and an opaque replacement handle.
int32_t Platform_ReplaceBegin(const char* path, int32_t openFlags, void** replacement);
// Syncs, closes and renames over the file; on failure the temporary file is removed and the old
// file is left as it was. Both clear the handle and close the descriptor.
int64_t Platform_ReplaceCommit(void** replacement);
int64_t Platform_ReplaceAbort(void** replacement);

// Space, locks, maps.
// The resolved directory must end with '/'; bytes available to unprivileged users.
int64_t Platform_GetFreeDiskSpace(const char* directory, uint64_t* bytes);
// A record lock of length bytes from the current position; operation: PLATFORM_LOCK_. Answers 0
// on success and -1 on failure.
int32_t Platform_Lock(int32_t fd, int32_t operation, int64_t length);
// Sparse files are not supported: false.
int64_t Platform_SparseMode();
// length 0 maps the whole file (its size comes back in length); writable when accessFlags has
// PLATFORM_ACCESS_WRITE.
int64_t Platform_MapViewOfFile(int32_t fd, int32_t accessFlags, uint64_t ignored, void** address,
                               uint64_t* length);
int64_t Platform_UnmapViewOfFile(void** address, uint64_t length);

// Directory search. The pattern's directory part (up to its last separator) is listed; its name
// part matches without case with '*' and '?' (empty matches every entry, "." and ".." included).
int64_t Platform_FindFirstFile(const char* pattern, PlatformFindData* findData, void** search);
int64_t Platform_FindNextFile(void* search, PlatformFindData* findData);
// Closes and clears; true when nothing was open.
int64_t Platform_FindClose(void** search);
// Every entry of the directory `name` in `at` (PLATFORM_TREE_CWD: a path as given); a final
// symbolic link is refused (ELOOP) unless follow is 1.
int64_t Platform_FindFirstFileAt(int32_t at, const char* name, uint32_t follow, PlatformFindData* findData,
                                 void** search);
// Every entry of the directory that the parent search's current entry names, opened from the
// parent's own descriptor without following a link, and only while it is still the directory
// that was listed: a link (ELOOP), another kind of entry (ENOTDIR) or another directory
// (ESTALE) put in its place since is never entered. A walk built on it never leaves its root.
int64_t Platform_FindFirstFileBelow(void* parent, PlatformFindData* findData, void** search);
// Back to the first entry of the same directory (the same one, whatever its path names now).
int64_t Platform_FindRewind(void* search, PlatformFindData* findData);
// The descriptor of the directory being listed, for acting on its entries by name (as the `at`
// of the functions taking one); -1 when none. It belongs to the search.
int32_t Platform_FindGetDescriptor(void* search);
// Called with each entry's name once a search has listed it, before its caller sees it; null
// clears it. Lets tests change a tree between the listing of an entry and its use, as another
// process may at any time.
typedef void (*PlatformFindEntryFunc)(const char* name);
int64_t Platform_FindEntryOverride(PlatformFindEntryFunc function);

// Access-control lists for a group class ("Every...", "Users...", "Authenticated..."). This
// platform does not apply such lists: the descriptor (class id 0x3934B7A7) carries no list, and
// an unknown class answers false.
enum : uint32_t { PLATFORM_SECURITY_CLASS_ID = 0x3934B7A7 };
int64_t Platform_SecurityCreate(const char* groupClass, void** descriptor);
int64_t Platform_SecurityGetDescriptor(void* descriptor, void** list);
int64_t Platform_SecurityDelete(void** descriptor);
