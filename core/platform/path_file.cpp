// What a path names: existence, kind, size, times, mode, attributes and links, and the changes to
// them; directory chains; erasing, moving and copying single files with retries.
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "core/linux/platform.h"
#include "core/linux/platform_file.h"
#include "core/linux/platform_tree.h"
#include "core/platform/directory_list.h"
#include "core/platform/path.h"
#include "core/platform/path_internal.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/string.h"

using namespace path_internal;

namespace {

constexpr int32_t kMaxLinkReads = 25;

} // namespace

bool path_internal::Prepare(const char* path, char* out, uint32_t fixFlags) {
    ASSERT_POINTER(path);
    if (!Path_Resolve(path, out, PATH_SIZE)) {
        if (errno != EINVAL) errno = ENAMETOOLONG;
        return false;
    }
    Path_Fix(out, PATH_SIZE, fixFlags);
    if (!out[0]) {
        errno = ENOENT;
        return false;
    }
    return true;
}

// ---- Queries --------------------------------------------------------------------------------------

int64_t Path_Stat(const char* path, int32_t follow, struct stat* info) {
    ASSERT_POINTER(info);
    memset(info, 0, sizeof(*info));
    char resolved[PATH_SIZE];
    if (!Prepare(path, resolved, PATH_FIX_NO_TRAILING)) return 0;
    return (follow ? Platform_Stat(resolved, info) : Platform_LStat(resolved, info)) ? 1 : 0;
}

int64_t Path_Exists(const char* path) {
    char resolved[PATH_SIZE];
    if (!Prepare(path, resolved, PATH_FIX_NO_TRAILING)) return 0;
    return Platform_FileExists(resolved) ? 1 : 0;
}

int64_t Path_IsDirectory(const char* path) {
    struct stat info;
    return Path_Stat(path, 0, &info) && S_ISDIR(info.st_mode) ? 1 : 0;
}

int64_t Path_DirectoryExists(const char* path) {
    struct stat info;
    return Path_Stat(path, 1, &info) && S_ISDIR(info.st_mode) ? 1 : 0;
}

int64_t Path_IsDirectoryEmpty(const char* path) {
    char resolved[PATH_SIZE];
    if (!Prepare(path, resolved, PATH_FIX_TRAILING)) return 1;
    alignas(DIRECTORY_LIST_ALIGN) unsigned char memory[DIRECTORY_LIST_STACK_SIZE];
    DirectoryList* list = DirectoryList_Stack(memory);
    int64_t empty = 1;
    if (DirectoryList_Start(list, 0, resolved)) {
        do {
            if (!DirectoryList_IsDots(list)) {
                empty = 0;
                break;
            }
        } while (DirectoryList_GetNext(list));
    }
    DirectoryList_Unstack(list);
    return empty;
}

int64_t Path_IsSymLink(const char* path) {
    char resolved[PATH_SIZE];
    if (!Prepare(path, resolved, PATH_FIX_NO_TRAILING)) return 0;
    PlatformFileAttributes attributes = 0;
    return Platform_GetFileAttributes(nullptr, resolved, &attributes) &&
                   (attributes & PLATFORM_FILE_ATTRIBUTE_SYMLINK)
               ? 1
               : 0;
}

int64_t Path_ReadLink(const char* link, char* out, int32_t size) {
    ASSERT_POINTER(out);
    if (size > 0) out[0] = 0;
    char resolved[PATH_SIZE];
    if (!Prepare(link, resolved, PATH_FIX_NO_TRAILING)) return 0;
    return Platform_GetSymLink(resolved, out, size) ? 1 : 0;
}

int64_t Path_FollowLink(const char* path, char* out, int32_t size) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(out);
    if (size < 1) return 0;
    out[0] = 0;
    const int32_t working = size < PATH_SIZE ? size : PATH_SIZE;
    char current[PATH_SIZE];
    if (String_CopyLength(current, path, working) >= working) return 0;
    Path_Fix(current, working, PATH_FIX_NO_TRAILING);
    for (int32_t reads = 0;; reads++) {
        if (!Path_IsSymLink(current)) {
            String_CopyLength(out, current, size);
            return 1;
        }
        if (reads == kMaxLinkReads) break;
        char target[PATH_SIZE];
        if (!Path_ReadLink(current, target, working)) break;
        const bool absolute = target[0] == '/' || target[0] == '\\' ||
                              (((target[0] | 0x20) >= 'a' && (target[0] | 0x20) <= 'z') && target[1] == ':');
        if (absolute) {
            String_CopyLength(current, target, working);
        } else {
            Path_RemoveFilename(current);
            if (strlen(current) + strlen(target) + 1 > (size_t)working) break;
            strcat(current, target);
        }
        Path_Fix(current, working, PATH_FIX_NO_TRAILING);
    }
    out[0] = 0;
    return 0;
}

int64_t Path_GetFileSize(const char* path, uint64_t* size) {
    ASSERT_POINTER(size);
    *size = 0;
    struct stat info;
    if (!Path_Stat(path, 0, &info)) return 0;
    *size = (uint64_t)info.st_size;
    return 1;
}

namespace {

int64_t GetTime(const char* path, EncodedTime* time, PlatformErrorCode* error, bool creation) {
    ASSERT_POINTER(time);
    *time = 0;
    SetError(error, 0);
    char resolved[PATH_SIZE];
    struct tm record;
    memset(&record, 0, sizeof(record));
    const bool ok = Prepare(path, resolved, PATH_FIX_NO_TRAILING) && Platform_FileExists(resolved) &&
                    Platform_GetFileTime(resolved, nullptr, nullptr, creation ? &record : nullptr, nullptr,
                                         creation ? nullptr : &record) &&
                    Time_ConvertTmToEncoded(&record, time);
    if (ok) return 1;
    const PlatformErrorCode code = Platform_GetLastError();
    *time = 0;
    SetError(error, code);
    Log_Debug(creation ? "GetCreationTime(%s) failed [LE: %d]\n" : "GetModifiedTime(%s) failed [LE: %d]\n",
              path, code);
    return 0;
}

} // namespace

int64_t Path_GetCreationTime(const char* path, EncodedTime* time, PlatformErrorCode* error) {
    return GetTime(path, time, error, true);
}

int64_t Path_GetModifiedTime(const char* path, EncodedTime* time, PlatformErrorCode* error) {
    return GetTime(path, time, error, false);
}

int64_t Path_GetMode(const char* path, uint32_t* mode, PlatformErrorCode* error) {
    ASSERT_POINTER(mode);
    *mode = 0;
    SetError(error, 0);
    struct stat info;
    if (Path_Stat(path, 0, &info)) {
        *mode = (uint32_t)info.st_mode;
        return 1;
    }
    const PlatformErrorCode code = Platform_GetLastError();
    SetError(error, code);
    Log_Debug("GetMode(%s) failed [LE: %d]\n", path, code);
    return 0;
}

int64_t Path_GetAttributes(const char* path, uint32_t* attributes, PlatformErrorCode* error) {
    ASSERT_POINTER(attributes);
    *attributes = 0;
    SetError(error, 0);
    char resolved[PATH_SIZE];
    PlatformFileAttributes found = 0;
    if (Prepare(path, resolved, PATH_FIX_NO_TRAILING) &&
        Platform_GetFileAttributes(nullptr, resolved, &found)) {
        *attributes = found;
        return 1;
    }
    const PlatformErrorCode code = Platform_GetLastError();
    if (error)
        *error = code;
    else
        Log_Debug("GetAttributes(%s) failed [LE: %d]\n", path, code);
    return 0;
}

int64_t Path_HasChanged(const struct stat* a, const struct stat* b) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    const bool same = a->st_gid == b->st_gid && a->st_ctim.tv_sec == b->st_ctim.tv_sec &&
                      a->st_dev == b->st_dev && a->st_ino == b->st_ino && a->st_mode == b->st_mode &&
                      a->st_mtim.tv_sec == b->st_mtim.tv_sec && a->st_nlink == b->st_nlink &&
                      a->st_rdev == b->st_rdev && a->st_size == b->st_size && a->st_uid == b->st_uid;
    return same ? 0 : 1;
}

int64_t Path_ResetChanged(struct stat* info) {
    ASSERT_POINTER(info);
    memset(info, 0, sizeof(*info));
    return 1;
}

// ---- Changes --------------------------------------------------------------------------------------

int64_t Path_SetModifiedTime(const char* path, PlatformErrorCode* error, EncodedTime time) {
    SetError(error, 0);
    char resolved[PATH_SIZE];
    struct tm record;
    memset(&record, 0, sizeof(record));
    const bool ok = Prepare(path, resolved, PATH_FIX_NO_TRAILING) && Platform_FileExists(resolved) &&
                    Time_ConvertEncodedToTm(&record, time) &&
                    Platform_SetFileTime(resolved, nullptr, nullptr, nullptr, nullptr, &record);
    if (ok) return 1;
    const PlatformErrorCode code = Platform_GetLastError();
    SetError(error, code);
    Log_Debug("SetModifiedTime(%s) failed [LE: %d]\n", path, code);
    return 0;
}

int64_t Path_SetMode(const char* path, uint32_t mode, PlatformErrorCode* error) {
    SetError(error, 0);
    char resolved[PATH_SIZE];
    const bool ok = Prepare(path, resolved, PATH_FIX_NO_TRAILING) && Platform_FileExists(resolved) &&
                    Platform_ChangeMode(nullptr, resolved, mode);
    if (ok) return 1;
    const PlatformErrorCode code = Platform_GetLastError();
    SetError(error, code);
    Log_Debug("SetMode(%s) failed [LE: %d]\n", path, code);
    return 0;
}

int64_t Path_SetAttributes(const char* path, uint32_t attributes, PlatformErrorCode* error) {
    SetError(error, 0);
    char resolved[PATH_SIZE];
    const bool ok = Prepare(path, resolved, PATH_FIX_NO_TRAILING) &&
                    Platform_SetFileAttributes(nullptr, resolved, attributes);
    if (ok) return 1;
    const PlatformErrorCode code = Platform_GetLastError();
    SetError(error, code);
    Log_Debug("SetAttributes(%s) failed [LE: %d]\n", path, code);
    return 0;
}

int64_t Path_SetGroup(const char* path, const char* name) {
    ASSERT_POINTER(name);
    char resolved[PATH_SIZE];
    if (!Prepare(path, resolved, PATH_FIX_NO_TRAILING)) return 0;
    return Platform_SetFileGroup(resolved, name) ? 1 : 0;
}

int64_t Path_CreateSymLink(const char* link, const char* target, uint32_t targetIsDirectory) {
    ASSERT_POINTER(target);
    char resolved[PATH_SIZE];
    if (!Prepare(link, resolved, PATH_FIX_NO_TRAILING)) return 0;
    return Platform_CreateSymLink(resolved, target, targetIsDirectory) ? 1 : 0;
}

int64_t Path_EnsureWritable(const char* path) {
    char resolved[PATH_SIZE];
    if (!Prepare(path, resolved, PATH_FIX_NO_TRAILING)) return 0;
    return EnsureWritableAt(PLATFORM_TREE_CWD, resolved, resolved);
}

namespace {

// The mode word of the entry itself; logs as Path_GetMode does.
bool ModeAt(int32_t at, const char* name, const char* shown, uint32_t* mode) {
    struct stat info;
    *mode = 0;
    if (Platform_TreeStat(at, name, &info)) {
        *mode = (uint32_t)info.st_mode;
        return true;
    }
    Log_Debug("GetMode(%s) failed [LE: %d]\n", shown, Platform_GetLastError());
    return false;
}

} // namespace

int64_t path_internal::EnsureWritableAt(int32_t at, const char* name, const char* shown) {
    // Every step below acts on the entry itself: one swapped for a link meanwhile is left alone.
    struct stat info;
    if (Platform_TreeStat(at, name, &info) && S_ISLNK(info.st_mode)) return 1;
    if (!Platform_EnsurePathMutableAt(at, name)) return 0;
    uint32_t mode = 0;
    if (!ModeAt(at, name, shown, &mode)) return 0;
    if (!(mode & 0200)) {
        if (!Platform_TreeChangeMode(at, name, (mode & 07777) | 0200)) {
            Log_Debug("SetMode(%s) failed [LE: %d]\n", shown, Platform_GetLastError());
            return 0;
        }
        if (!ModeAt(at, name, shown, &mode) || !(mode & 0200)) return 0;
    }
    PlatformFileAttributes attributes = 0;
    if (!Platform_GetFileAttributesAt(at, name, &attributes)) return 0;
    if (attributes & PLATFORM_FILE_ATTRIBUTE_DIRECTORY) return 1;
    if (!(attributes & PLATFORM_FILE_ATTRIBUTE_READONLY)) return 1;
    if (!Platform_SetFileAttributesAt(at, name, attributes & ~(uint32_t)PLATFORM_FILE_ATTRIBUTE_READONLY)) {
        Log_Debug("SetAttributes(%s) failed [LE: %d]\n", shown, Platform_GetLastError());
        return 0;
    }
    if (!Platform_GetFileAttributesAt(at, name, &attributes)) return 0;
    return (attributes & PLATFORM_FILE_ATTRIBUTE_READONLY) ? 0 : 1;
}

int64_t Path_CreateDirectory(const char* path, uint32_t isFile, PlatformErrorCode* error) {
    SetError(error, 0);
    char resolved[PATH_SIZE];
    if (!Path_Resolve(path, resolved, PATH_SIZE)) {
        SetError(error, ErrnoError(errno == EINVAL ? EINVAL : ENAMETOOLONG));
        return 0;
    }
    if (isFile == 1) Path_RemoveFilename(resolved);
    Path_Fix(resolved, PATH_SIZE, PATH_FIX_NO_TRAILING);
    if (!resolved[0]) return 1;
    return Path_CreateParentDirectory(resolved, error);
}

int64_t Path_CreateParentDirectory(char* path, PlatformErrorCode* error) {
    ASSERT_POINTER(path);
    SetError(error, 0);
    if (!path[0]) return 1;
    if (Path_DirectoryExists(path)) return 1;
    if (!Path_Exists(path)) {
        // The separator before the file name; trailing separators are not it.
        int32_t end = (int32_t)strlen(path);
        while (end > 1 && (path[end - 1] == '/' || path[end - 1] == '\\')) end--;
        int32_t cut = end;
        while (cut > 0 && path[cut - 1] != '/' && path[cut - 1] != '\\') cut--;
        // cut - 1 is the separator; at 0 it is the root, which exists, so the chain stops there.
        if (cut > 1) {
            const char separator = path[cut - 1];
            path[cut - 1] = 0;
            const int64_t created = Path_CreateParentDirectory(path, error);
            path[cut - 1] = separator;
            if (!created) return 0;
        }
    }
    if (Platform_CreateDirectory(path)) {
        SetError(error, 0);
        return 1;
    }
    const PlatformErrorCode code = Platform_GetLastError();
    // Created meanwhile by someone else: the chain is there all the same.
    if (Platform_ErrorAlreadyExists(code) && Path_DirectoryExists(path)) {
        SetError(error, 0);
        return 1;
    }
    if (!Platform_ErrorAlreadyExists(code))
        Log_Debug("Unable to create directory (%s) [LE: %d:%.8X]\n", path, code, code);
    SetError(error, code);
    return 0;
}

// ---- Erasing --------------------------------------------------------------------------------------

int64_t Path_EraseFile(const char* path, int32_t attempts, PlatformErrorCode* error) {
    SetError(error, 0);
    char resolved[PATH_SIZE];
    if (!Prepare(path, resolved, PATH_FIX_NO_TRAILING)) {
        const PlatformErrorCode code = Platform_GetLastError();
        SetError(error, code);
        Log_Debug("EraseFile(%s) failed [LE: %d]\n", path, code);
        return 0;
    }
    return EraseFileAt(PLATFORM_TREE_CWD, resolved, path, attempts, error);
}

int64_t path_internal::EraseFileAt(int32_t at, const char* name, const char* shown, int32_t attempts,
                                   PlatformErrorCode* error) {
    SetError(error, 0);
    struct stat info;
    if (!Platform_TreeStat(at, name, &info)) {
        // Only a path that is known to be missing is already erased; one that cannot be looked
        // at (no search permission on a directory above it) may well still be there.
        const PlatformErrorCode code = Platform_GetLastError();
        if (Platform_ErrorMissing(code)) return 1;
        SetError(error, code);
        Log_Debug("EraseFile(%s) failed [LE: %d]\n", shown, code);
        return 0;
    }
    if (S_ISDIR(info.st_mode)) {
        Log_Debug("Unable to erase path that is not a file (%s)\n", shown);
        return 0;
    }
    // Without a single attempt the failure still gets a code.
    PlatformErrorCode code = ErrnoError(EINVAL);
    for (int32_t attempt = 0; attempt < attempts; attempt++) {
        EnsureWritableAt(at, name, shown);
        if (Platform_TreeDeleteFile(at, name)) {
            SetError(error, 0);
            return 1;
        }
        code = Platform_GetLastError();
        if (attempt + 1 < attempts) {
            Log_Debug("Retrying EraseFile(%s) [LE: %d Try: %d/%d]\n", shown, code, attempt, attempts);
            Platform_SleepMS(kRetryDelayMs);
        }
    }
    Log_Debug("EraseFile(%s) failed [LE: %d]\n", shown, code);
    SetError(error, code);
    return 0;
}

// ---- Moving and copying -----------------------------------------------------------------------

int64_t Path_MoveFile(const char* source, const char* destination, int32_t overwrite, int32_t attempts,
                      PlatformErrorCode* error, void* progressUser, PathProgressFunc progress) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(destination);
    ASSERT_POINTER(error);
    *error = 0;
    char from[PATH_SIZE], to[PATH_SIZE];
    if (!Prepare(source, from, PATH_FIX_NO_TRAILING) || !Platform_FileExists(from)) {
        *error = Platform_GetLastError();
        Log_Debug("MoveFile(%s, %s) source does not exist\n", source, destination);
        return 0;
    }
    if (!Path_CreateDirectory(destination, 1, error)) {
        Log_Debug("MoveFile(%s, %s) unable to create destination directory [LE: %d]\n", source, destination,
                  *error);
        return 0;
    }
    if (!Prepare(destination, to, PATH_FIX_NO_TRAILING)) {
        *error = Platform_GetLastError();
        Log_Debug("MoveFile(%s, %s) failed [LE: %d]\n", source, destination, *error);
        return 0;
    }
    uint32_t flags = PLATFORM_MOVE_COPY_ALLOWED | PLATFORM_MOVE_WRITE_THROUGH;
    if (overwrite) {
        // The destination is replaced by the rename itself, never erased first: a move that fails
        // leaves it as it was. It must still be a file that may be replaced.
        if (Path_IsDirectory(to)) {
            Log_Debug("Unable to erase path that is not a file (%s)\n", destination);
            *error = ErrnoError(EISDIR);
            return 0;
        }
        if (Platform_FileExists(to) && !Path_EnsureWritable(to)) {
            *error = Platform_GetLastError();
            return 0;
        }
        flags |= PLATFORM_MOVE_REPLACE_EXISTING;
    }
    *error = ErrnoError(EINVAL);
    for (int32_t attempt = 0; attempt < attempts; attempt++) {
        int64_t moved = Platform_MoveFileWithProgress(from, to, flags, progressUser, progress);
        PlatformErrorCode code = moved ? 0 : Platform_GetLastError();
        if (!moved && code == ErrnoError(EXDEV) && !Path_IsDirectory(from)) {
            // Two mounts of one file system: the platform saw one volume, the rename refused.
            // The copy takes the destination's place in one step; only then is the source removed.
            moved = Platform_CopyFileWithProgress(from, to, overwrite ? 0 : 1, progressUser, progress) &&
                    Platform_DeleteFile(nullptr, from);
            code = moved ? 0 : Platform_GetLastError();
        }
        if (moved) {
            *error = 0;
            return 1;
        }
        *error = code;
        if (attempt + 1 < attempts) {
            Log_Debug("Retrying MoveFile(%s, %s) [LE: %d Try: %d/%d]\n", source, destination, code, attempt,
                      attempts);
            Platform_SleepMS(kRetryDelayMs);
        }
    }
    Log_Debug("MoveFile(%s, %s) failed [LE: %d]\n", source, destination, *error);
    return 0;
}

int64_t Path_RenameFile(const char* source, const char* destination, int32_t attempts,
                        PlatformErrorCode* error) {
    return Path_MoveFile(source, destination, 1, attempts, error, nullptr, nullptr);
}

int64_t Path_CopyFile(const char* source, const char* destination, uint32_t failIfExists, int32_t attempts,
                      PlatformErrorCode* error, void* progressUser, PathProgressFunc progress) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(destination);
    if (failIfExists != 0 && failIfExists != 1)
        Debug_AbortInt(
            __FILE__, __LINE__,
            "Assertion failed (((FailIfExists) == FALSE || (FailIfExists) == TRUE))\nVariable '%s' is "
            "not boolean\n",
            "FailIfExists");
    if (attempts < 1)
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (Attempts > 0)\nNumber of attempts must be at least 1");
    SetError(error, 0);
    PlatformErrorCode code = 0;
    if (!Path_CreateDirectory(destination, 1, &code)) {
        SetError(error, code);
        Log_Debug("CopyFile(%s, %s) unable to create destination directory [LE: %d]\n", source, destination,
                  code);
        return 0;
    }
    char from[PATH_SIZE], to[PATH_SIZE];
    if (!Prepare(source, from, PATH_FIX_NO_TRAILING) || !Prepare(destination, to, PATH_FIX_NO_TRAILING)) {
        code = Platform_GetLastError();
        attempts = 0;
    }
    for (int32_t attempt = 0; attempt < attempts; attempt++) {
        if (Platform_CopyFileWithProgress(from, to, (int32_t)failIfExists, progressUser, progress)) {
            SetError(error, 0);
            return 1;
        }
        code = Platform_GetLastError();
        if (attempt + 1 < attempts) {
            Log_Debug("Retrying CopyFile(%s, %s) [LE: %d Try: %d/%d]\n", source, destination, code, attempt,
                      attempts);
            Platform_SleepMS(kRetryDelayMs);
        }
    }
    Log_Debug("CopyFile(%s, %s) failed [LE: %d]\n", source, destination, code);
    SetError(error, code);
    return 0;
}

int64_t Path_MoveDirectory(const char* source, const char* destination) {
    char from[PATH_SIZE], to[PATH_SIZE];
    const bool ok = Prepare(source, from, PATH_FIX_TRAILING) && Prepare(destination, to, PATH_FIX_TRAILING) &&
                    !IsRoot(from) && Platform_MoveFile(nullptr, from, to, PLATFORM_MOVE_COPY_ALLOWED);
    if (ok) return 1;
    Log_Debug("MoveDirectory(%s, %s) failed [LE: %d]\n", source, destination, Platform_GetLastError());
    return 0;
}
