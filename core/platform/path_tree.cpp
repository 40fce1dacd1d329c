// Whole trees: erasing a directory with everything below it and copying one tree into another.
// Both stay inside the tree they were given: links are erased and copied as links, never entered,
// and nothing is ever written through a link found at the destination.
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "core/linux/platform.h"
#include "core/linux/platform_file.h"
#include "core/platform/directory_list.h"
#include "core/platform/path.h"
#include "core/platform/path_internal.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/string.h"

using namespace path_internal;

// ---- Erasing --------------------------------------------------------------------------------------

int64_t Path_EraseDirectoryInt(const char* path, int32_t attempts, PlatformErrorCode* error) {
    SetError(error, 0);
    char resolved[PATH_SIZE];
    // Without a single attempt the failure still gets a code.
    PlatformErrorCode code = ErrnoError(EINVAL);
    if (!Prepare(path, resolved, PATH_FIX_NO_TRAILING)) {
        code = Platform_GetLastError();
        attempts = 0;
    } else if (IsRoot(resolved)) {
        code = ErrnoError(EBUSY);
        attempts = 0;
    }
    for (int32_t attempt = 0; attempt < attempts; attempt++) {
        Path_EnsureWritable(resolved);
        if (Platform_RemoveDirectory(resolved)) {
            SetError(error, 0);
            return 1;
        }
        code = Platform_GetLastError();
        if (attempt + 1 < attempts) {
            Log_Debug("Retrying ErasePath(%s) [LE: %d Try: %d/%d]\n", path, code, attempt, attempts);
            Platform_SleepMS(kRetryDelayMs);
        }
    }
    Log_Debug("ErasePath(%s) failed [LE: %d]\n", path, code);
    SetError(error, code);
    return 0;
}

namespace {

struct EraseContext {
    int32_t Attempts;
    PlatformErrorCode Error;
};

uint32_t EraseEntry(DirectoryList* list, void* user, uint32_t, const char* path) {
    EraseContext* context = static_cast<EraseContext*>(user);
    // Gone since it was listed: that is what erasing wanted.
    if (!Path_Exists(path) && Platform_ErrorMissing(Platform_GetLastError())) return 1;
    PlatformErrorCode error = 0;
    const int64_t erased = DirectoryList_IsDirectory(list)
                               ? Path_EraseDirectoryInt(path, context->Attempts, &error)
                               : Path_EraseFile(path, context->Attempts, &error);
    if (erased) return 1;
    context->Error = error ? error : ErrnoError(EISDIR);
    return 0;
}

} // namespace

int64_t Path_EraseDirectory(const char* path, int32_t attempts, PlatformErrorCode* error) {
    SetError(error, 0);
    char resolved[PATH_SIZE];
    if (!Prepare(path, resolved, PATH_FIX_NO_TRAILING) || IsRoot(resolved)) {
        // The root, or a text that names nothing ("a/.."), is never a tree to erase.
        PlatformErrorCode code = ErrnoError(EBUSY);
        if (!resolved[0]) code = errno == ENAMETOOLONG ? ErrnoError(ENAMETOOLONG) : ErrnoError(EINVAL);
        Log_Debug("ErasePath(%s) failed [LE: %d]\n", path, code);
        SetError(error, code);
        return 0;
    }
    uint32_t attributes = 0;
    PlatformErrorCode code = 0;
    if (!Path_GetAttributes(resolved, &attributes, &code)) {
        SetError(error, code);
        return Platform_ErrorMissing(code) ? 1 : 0;
    }
    // A link to a directory is erased as a link: the tree it points at is not this one.
    if (attributes & PLATFORM_FILE_ATTRIBUTE_SYMLINK) return Path_EraseFile(resolved, attempts, error);

    char root[PATH_SIZE];
    memcpy(root, resolved, sizeof(root));
    Path_Fix(root, PATH_SIZE, PATH_FIX_TRAILING);
    EraseContext context{attempts, 0};
    alignas(DIRECTORY_LIST_ALIGN) unsigned char memory[DIRECTORY_LIST_STACK_SIZE];
    DirectoryList* list = DirectoryList_Stack(memory);
    DirectoryList_SetWalkOrder(list, DIRECTORY_LIST_ORDER_POST);
    DirectoryList_SetWalkFlags(list, DIRECTORY_LIST_WALK_FILES | DIRECTORY_LIST_WALK_DIRECTORIES);
    DirectoryList_SetWalkCallback(list, &context, EraseEntry);
    const int64_t walked = DirectoryList_Walk(list, root, nullptr);
    DirectoryList_Unstack(list);
    int64_t result = 0;
    if (walked) {
        result = Path_EraseDirectoryInt(resolved, attempts, &code);
        if (!result) context.Error = code;
    } else if (!context.Error) {
        context.Error = ErrnoError(ENAMETOOLONG); // an entry whose path could not be formed
    }
    SetError(error, result ? 0 : context.Error);
    return result;
}

// ---- Copying --------------------------------------------------------------------------------------

namespace {

struct CopyContext {
    const char* SourceRoot;
    size_t SourceRootLength;
    const char* DestinationRoot;
    uint32_t Overwrite;
    uint32_t Recurse;
    PlatformErrorCode Error;
};

// The attributes that can be given to a copy; kind bits belong to the entry itself.
constexpr uint32_t kCopiedAttributes =
    PLATFORM_FILE_ATTRIBUTE_READONLY | PLATFORM_FILE_ATTRIBUTE_HIDDEN | PLATFORM_FILE_ATTRIBUTE_EXECUTABLE;

uint32_t Fail(CopyContext* context, PlatformErrorCode code) {
    context->Error = code ? code : ErrnoError(EIO);
    return 0;
}

uint32_t CopyEntry(DirectoryList*, void* user, uint32_t depth, const char* path) {
    CopyContext* context = static_cast<CopyContext*>(user);
    if (!context->Recurse && depth > 0) return 1;
    const bool isDirectory = Path_IsDirectory(path) != 0;

    // The destination: its root followed by the entry's path below the source root.
    char destination[PATH_SIZE];
    const char* relative = path + context->SourceRootLength;
    const size_t rootLength = strlen(context->DestinationRoot);
    const size_t relativeLength = strlen(relative);
    if (rootLength + relativeLength + 2 > (size_t)PATH_SIZE) return Fail(context, ErrnoError(ENAMETOOLONG));
    memcpy(destination, context->DestinationRoot, rootLength);
    memcpy(destination + rootLength, relative, relativeLength + 1);
    Path_Fix(destination, PATH_SIZE, isDirectory ? PATH_FIX_TRAILING : PATH_FIX_NO_TRAILING);

    uint32_t attributes = 0;
    uint32_t mode = 0;
    EncodedTime modified = 0;
    PlatformErrorCode code = 0;
    if (!Path_GetAttributes(path, &attributes, &code) || !Path_GetModifiedTime(path, &modified, &code) ||
        !Path_GetMode(path, &mode, &code))
        return Fail(context, code);
    const bool isLink = (attributes & PLATFORM_FILE_ATTRIBUTE_SYMLINK) != 0;

    struct stat existing;
    if (Path_Stat(destination, 0, &existing)) {
        const bool existingLink = S_ISLNK(existing.st_mode);
        const bool existingDirectory = S_ISDIR(existing.st_mode);
        if (!context->Overwrite) {
            // Entering this directory would write below the link's target, outside the tree.
            if (isDirectory && existingLink) {
                Log_Debug("CopyDirectory(%s) destination is a symbolic link (%s)\n", path, destination);
                return Fail(context, ErrnoError(EEXIST));
            }
            return 1;
        }
        if (existingDirectory && !isDirectory) return Fail(context, ErrnoError(EISDIR));
        if (existingLink || (isLink && !existingDirectory)) {
            // Replaced, never written through.
            if (!Path_EraseFile(destination, 1, &code)) return Fail(context, code);
        } else if (!Path_EnsureWritable(destination)) {
            return Fail(context, Platform_GetLastError());
        }
    }

    if (isLink) {
        // A link's own time and mode cannot be set here without reaching its target: only the
        // link itself is made.
        char target[PATH_SIZE];
        if (!Path_ReadLink(path, target, PATH_SIZE) || !Path_CreateSymLink(destination, target, 0))
            return Fail(context, Platform_GetLastError());
        return 1;
    }
    if (!isDirectory) {
        if (!Path_CopyFile(path, destination, 0, 1, &code, nullptr, nullptr)) return Fail(context, code);
    } else {
        if (!context->Recurse) return 1;
        if (!Path_CreateDirectory(destination, 0, &code)) return Fail(context, code);
    }
    if (!Path_EnsureWritable(destination)) return Fail(context, Platform_GetLastError());
    if (!Path_SetModifiedTime(destination, &code, modified) ||
        !Path_SetMode(destination, mode & 07777, &code) ||
        !Path_SetAttributes(destination, attributes & kCopiedAttributes, &code))
        return Fail(context, code);
    return 1;
}

} // namespace

int64_t Path_CopyDirectory(const char* source, const char* destination, uint32_t overwrite,
                           uint32_t recurse) {
    char from[PATH_SIZE], to[PATH_SIZE];
    if (!Prepare(source, from, PATH_FIX_TRAILING) || !Prepare(destination, to, PATH_FIX_TRAILING)) {
        Log_Debug("CopyDirectory(%s, %s) failed [LE: %d]\n", source, destination, Platform_GetLastError());
        return 0;
    }
    // Copying nothing is no success when there was something to copy.
    if (!Path_DirectoryExists(from)) {
        Log_Debug("CopyDirectory(%s, %s) source is not a directory\n", source, destination);
        return 0;
    }
    // A destination inside the source would be walked while it is being filled.
    if (String_CompareBeginning(to, from)) {
        Log_Debug("CopyDirectory(%s, %s) destination lies inside the source\n", source, destination);
        return 0;
    }
    CopyContext context{from, strlen(from), to, overwrite, recurse, 0};
    alignas(DIRECTORY_LIST_ALIGN) unsigned char memory[DIRECTORY_LIST_STACK_SIZE];
    DirectoryList* list = DirectoryList_Stack(memory);
    DirectoryList_SetWalkOrder(list, DIRECTORY_LIST_ORDER_PRE);
    DirectoryList_SetWalkFlags(list, DIRECTORY_LIST_WALK_FILES | DIRECTORY_LIST_WALK_DIRECTORIES);
    // Without recursion only the root's own entries matter.
    DirectoryList_SetMaxDepth(list, recurse ? -1 : 0);
    DirectoryList_SetWalkCallback(list, &context, CopyEntry);
    const int64_t walked = DirectoryList_Walk(list, from, "*");
    DirectoryList_Unstack(list);
    if (!walked && context.Error)
        Log_Debug("CopyDirectory(%s, %s) failed [LE: %d]\n", source, destination, context.Error);
    return walked;
}
