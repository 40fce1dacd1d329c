// Whole trees: erasing a directory with everything below it and copying one tree into another.
// Both stay inside the tree they were given: links are erased and copied as links, never entered,
// and nothing is ever written through a link found at the destination. Entries are acted on by
// name in the open directory that listed them (and, at the destination, in directories entered
// again without following links), so an entry replaced by a link while the operation runs
// leads nowhere outside.
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
#include "core/runtime/time.h"

using namespace path_internal;

namespace {

// The directory the walk's list is listing and the name of its current entry; false when the
// listing is not the platform's own, which a walk's never is.
bool CurrentEntry(DirectoryList* list, int32_t* directory, char* name, int32_t size) {
    return DirectoryList_GetDescriptor(list, directory) && DirectoryList_GetName(list, name, size);
}

} // namespace

// ---- Erasing --------------------------------------------------------------------------------------

int64_t Path_EraseDirectoryInt(const char* path, int32_t attempts, PlatformErrorCode* error) {
    SetError(error, 0);
    char resolved[PATH_SIZE];
    PlatformErrorCode code = 0;
    if (!Prepare(path, resolved, PATH_FIX_NO_TRAILING))
        code = Platform_GetLastError();
    else if (IsRoot(resolved))
        code = ErrnoError(EBUSY);
    else
        return EraseDirectoryAt(PLATFORM_TREE_CWD, resolved, path, attempts, error);
    Log_Debug("ErasePath(%s) failed [LE: %d]\n", path, code);
    SetError(error, code);
    return 0;
}

int64_t path_internal::EraseDirectoryAt(int32_t at, const char* name, const char* shown, int32_t attempts,
                                        PlatformErrorCode* error) {
    SetError(error, 0);
    // Without a single attempt the failure still gets a code.
    PlatformErrorCode code = ErrnoError(EINVAL);
    for (int32_t attempt = 0; attempt < attempts; attempt++) {
        EnsureWritableAt(at, name, shown);
        if (Platform_TreeRemoveDirectory(at, name)) {
            SetError(error, 0);
            return 1;
        }
        code = Platform_GetLastError();
        if (attempt + 1 < attempts) {
            Log_Debug("Retrying ErasePath(%s) [LE: %d Try: %d/%d]\n", shown, code, attempt, attempts);
            Platform_SleepMS(kRetryDelayMs);
        }
    }
    Log_Debug("ErasePath(%s) failed [LE: %d]\n", shown, code);
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
    int32_t directory = -1;
    char name[PLATFORM_FIND_NAME_CAPACITY];
    if (!CurrentEntry(list, &directory, name, (int32_t)sizeof(name))) {
        context->Error = ErrnoError(EBADF);
        return 0;
    }
    // Gone since it was listed: that is what erasing wanted.
    struct stat info;
    if (!Platform_TreeStat(directory, name, &info) && Platform_ErrorMissing(Platform_GetLastError()))
        return 1;
    const bool isDirectory = DirectoryList_IsDirectory(list) != 0;
    // An entry whose path no path text of this module can hold is refused as it would be by path.
    if (strlen(path) >= (size_t)PATH_SIZE) {
        context->Error = ErrnoError(ENAMETOOLONG);
        Log_Debug(isDirectory ? "ErasePath(%s) failed [LE: %d]\n" : "EraseFile(%s) failed [LE: %d]\n", path,
                  context->Error);
        return 0;
    }
    PlatformErrorCode error = 0;
    const int64_t erased = isDirectory ? EraseDirectoryAt(directory, name, path, context->Attempts, &error)
                                       : EraseFileAt(directory, name, path, context->Attempts, &error);
    if (erased) return 1;
    context->Error = error ? error : ErrnoError(EISDIR);
    return 0;
}

} // namespace

int64_t Path_EraseDirectory(const char* path, int32_t attempts, PlatformErrorCode* error) {
    return Path_EraseDirectoryReport(path, attempts, error, nullptr, 0);
}

int64_t Path_EraseDirectoryReport(const char* path, int32_t attempts, PlatformErrorCode* error,
                                  char* mountPoint, int32_t size) {
    SetError(error, 0);
    if (mountPoint && size > 0) mountPoint[0] = 0;
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
    // A root turned into a link since it was looked at above is not walked either. Another file
    // system mounted inside the tree (a disk image, a bind mount of a home) is not the tree's:
    // the walk stops at it before erasing anything there.
    DirectoryList_SetWalkFlags(list, DIRECTORY_LIST_WALK_FILES | DIRECTORY_LIST_WALK_DIRECTORIES |
                                         DIRECTORY_LIST_WALK_NO_ROOT_LINK | DIRECTORY_LIST_WALK_ONE_DEVICE);
    DirectoryList_SetWalkCallback(list, &context, EraseEntry);
    const int64_t walked = DirectoryList_Walk(list, root, nullptr);
    const PlatformErrorCode walkError = walked ? 0 : Platform_GetLastError();
    char stopped[DIRECTORY_LIST_PATH_SIZE] = "";
    if (!walked) DirectoryList_GetDirectory(list, stopped, (int32_t)sizeof(stopped));
    DirectoryList_Unstack(list);
    if (stopped[0]) {
        Path_Fix(stopped, (int32_t)sizeof(stopped), PATH_FIX_NO_TRAILING);
        context.Error = ErrnoError(EBUSY);
        Log_Debug("ErasePath(%s) failed [LE: %d]\n", stopped, context.Error);
        if (mountPoint && strlen(stopped) < (size_t)size) memcpy(mountPoint, stopped, strlen(stopped) + 1);
    }
    int64_t result = 0;
    if (walked) {
        result = Path_EraseDirectoryInt(resolved, attempts, &code);
        if (!result) context.Error = code;
    } else if (!context.Error) {
        // The walk's own reason: an entry whose path could not be formed, or one replaced while
        // the walk ran.
        context.Error = walkError ? walkError : ErrnoError(ENAMETOOLONG);
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
    // The destination root once it is made, and the identity of the destination directory at
    // each depth of the branch being copied ([0] the root). A directory of the destination is
    // entered again by name from the root, never through a link, and must still be the one this
    // copy made or found there.
    int32_t Root;
    PlatformTreeIdentity Branch[DIRECTORY_LIST_MAX_LEVELS + 2];
    // One destination directory kept open, at this depth of the branch (-1: none).
    int32_t Current;
    uint32_t CurrentDepth;
};

// The attributes that can be given to a copy; kind bits belong to the entry itself.
constexpr uint32_t kCopiedAttributes =
    PLATFORM_FILE_ATTRIBUTE_READONLY | PLATFORM_FILE_ATTRIBUTE_HIDDEN | PLATFORM_FILE_ATTRIBUTE_EXECUTABLE;

uint32_t Fail(CopyContext* context, PlatformErrorCode code) {
    context->Error = code ? code : ErrnoError(EIO);
    return 0;
}

void CloseCurrent(CopyContext* context) {
    if (context->Current >= 0) Platform_Close(context->Current);
    context->Current = -1;
}

bool SameIdentity(const PlatformTreeIdentity& a, const PlatformTreeIdentity& b) {
    return a.Device == b.Device && a.Inode == b.Inode;
}

// The destination directory of the entries at `depth` whose path below the source root is
// `relative`; -1 with the error set when it cannot be reached as the directory recorded for it.
int32_t DestinationDirectory(CopyContext* context, uint32_t depth, const char* relative,
                             PlatformErrorCode* error) {
    *error = 0;
    if (context->Root < 0) {
        // The root is the caller's path: made (with the chain above it) and entered as named.
        if (!Path_CreateDirectory(context->DestinationRoot, 0, error)) return -1;
        if (!Platform_TreeOpenDirectory(PLATFORM_TREE_CWD, context->DestinationRoot, 1, &context->Root,
                                        &context->Branch[0])) {
            *error = Platform_GetLastError();
            return -1;
        }
    }
    if (depth == 0) return context->Root;
    if (context->Current >= 0 && context->CurrentDepth == depth) return context->Current;
    // From the open directory nearest above, else from the root, one component at a time.
    int32_t at = context->Root;
    uint32_t level = 0;
    if (context->Current >= 0 && context->CurrentDepth < depth) {
        at = context->Current;
        level = context->CurrentDepth;
        context->Current = -1;
    } else {
        CloseCurrent(context);
    }
    const char* component = relative;
    for (uint32_t skipped = 0; skipped < level && component; skipped++) {
        component = strchr(component, '/');
        if (component) component++;
    }
    while (level < depth) {
        const char* end = component ? strchr(component, '/') : nullptr;
        char name[PLATFORM_FIND_NAME_CAPACITY];
        int32_t next = -1;
        PlatformTreeIdentity found;
        bool entered = false;
        if (end && (size_t)(end - component) < sizeof(name)) {
            memcpy(name, component, (size_t)(end - component));
            name[end - component] = 0;
            entered = Platform_TreeOpenDirectory(at, name, 0, &next, &found) != 0;
            if (!entered) *error = Platform_GetLastError();
        } else {
            *error = ErrnoError(ENAMETOOLONG);
        }
        level++;
        if (entered && !SameIdentity(found, context->Branch[level])) {
            Platform_Close(next);
            entered = false;
            *error = ErrnoError(ESTALE);
        }
        if (at != context->Root) Platform_Close(at);
        if (!entered) return -1;
        at = next;
        component = end + 1;
    }
    context->Current = at;
    context->CurrentDepth = depth;
    return at;
}

// Records the destination directory `name` in `directory` as the one the entries below depth
// `depth` go into; a destination that is no directory (or none) is recorded as nothing, so that
// whatever is copied below it fails.
void EnterDestination(CopyContext* context, int32_t directory, const char* name, uint32_t depth) {
    PlatformTreeIdentity identity{0, 0};
    int32_t entered = -1;
    if (Platform_TreeOpenDirectory(directory, name, 0, &entered, &identity)) Platform_Close(entered);
    context->Branch[depth + 1] = identity;
    // A directory kept open below this depth belongs to the branch just left.
    if (context->Current >= 0 && context->CurrentDepth > depth) CloseCurrent(context);
}

uint32_t CopyEntry(DirectoryList* list, void* user, uint32_t depth, const char* path) {
    CopyContext* context = static_cast<CopyContext*>(user);
    if (!context->Recurse && depth > 0) return 1;
    int32_t source = -1;
    char name[PLATFORM_FIND_NAME_CAPACITY];
    if (!CurrentEntry(list, &source, name, (int32_t)sizeof(name))) return Fail(context, ErrnoError(EBADF));
    // The entry as it is now, looked at as itself: it is copied as what it is.
    struct stat info;
    if (!Platform_TreeStat(source, name, &info)) return Fail(context, Platform_GetLastError());
    const bool isDirectory = S_ISDIR(info.st_mode);
    const bool isLink = S_ISLNK(info.st_mode);

    // The destination's path: its root followed by the entry's path below the source root. It is
    // only shown; the entry is reached by name in its destination directory.
    char destination[PATH_SIZE];
    const char* relative = path + context->SourceRootLength;
    const size_t rootLength = strlen(context->DestinationRoot);
    const size_t relativeLength = strlen(relative);
    if (rootLength + relativeLength + 2 > (size_t)PATH_SIZE) return Fail(context, ErrnoError(ENAMETOOLONG));
    memcpy(destination, context->DestinationRoot, rootLength);
    memcpy(destination + rootLength, relative, relativeLength + 1);
    Path_Fix(destination, PATH_SIZE, isDirectory ? PATH_FIX_TRAILING : PATH_FIX_NO_TRAILING);

    PlatformFileAttributes attributes = 0;
    if (!Platform_GetFileAttributesAt(source, name, &attributes))
        return Fail(context, Platform_GetLastError());
    struct tm modified;
    memset(&modified, 0, sizeof(modified));
    Time_ConvertEncodedToTm(&modified, (EncodedTime)(info.st_mtim.tv_sec < 0 ? 0 : info.st_mtim.tv_sec));

    PlatformErrorCode code = 0;
    const int32_t target = DestinationDirectory(context, depth, relative, &code);
    if (target < 0) return Fail(context, code);

    struct stat existing;
    if (Platform_TreeStat(target, name, &existing)) {
        const bool existingLink = S_ISLNK(existing.st_mode);
        const bool existingDirectory = S_ISDIR(existing.st_mode);
        if (!context->Overwrite) {
            // Entering this directory would write below the link's target, outside the tree.
            if (isDirectory && existingLink) {
                Log_Debug("CopyDirectory(%s) destination is a symbolic link (%s)\n", path, destination);
                return Fail(context, ErrnoError(EEXIST));
            }
            // What lies below goes into the directory already there.
            if (isDirectory) EnterDestination(context, target, name, depth);
            return 1;
        }
        if (existingDirectory && !isDirectory) return Fail(context, ErrnoError(EISDIR));
        if (existingLink || (isLink && !existingDirectory)) {
            // Replaced, never written through.
            if (!EraseFileAt(target, name, destination, 1, &code)) return Fail(context, code);
        } else if (!EnsureWritableAt(target, name, destination)) {
            return Fail(context, Platform_GetLastError());
        }
    }

    if (isLink) {
        // A link's own time and mode cannot be set here without reaching its target: only the
        // link itself is made.
        char text[PATH_SIZE];
        if (!Platform_TreeReadLink(source, name, text, PATH_SIZE)) {
            const int reason = errno;
            code = Platform_GetLastError();
            Log_Error("Unable to read symbolic link [%s][%d]\n", path, reason);
            return Fail(context, code);
        }
        if (!Platform_TreeCreateSymLink(target, name, text)) {
            const int reason = errno;
            code = Platform_GetLastError();
            Log_Error("Unable to create symbolic link [%s][%d]\n", destination, reason);
            return Fail(context, code);
        }
        return 1;
    }
    if (!isDirectory) {
        if (!Platform_CopyFileAt(source, name, target, name, 0)) {
            code = Platform_GetLastError();
            Log_Debug("CopyFile(%s, %s) failed [LE: %d]\n", path, destination, code);
            return Fail(context, code);
        }
    } else {
        if (!context->Recurse) return 1;
        if (!Platform_TreeCreateDirectory(target, name)) {
            code = Platform_GetLastError();
            // Already there as a directory is what was wanted.
            struct stat made;
            if (!Platform_ErrorAlreadyExists(code) || !Platform_TreeStat(target, name, &made) ||
                !S_ISDIR(made.st_mode)) {
                Log_Debug("Unable to create directory (%s) [LE: %d:%.8X]\n", destination, code, code);
                return Fail(context, code);
            }
        }
        EnterDestination(context, target, name, depth);
    }
    if (!EnsureWritableAt(target, name, destination)) return Fail(context, Platform_GetLastError());
    if (!Platform_SetFileTimeAt(target, name, nullptr, nullptr, &modified)) {
        code = Platform_GetLastError();
        Log_Debug("SetModifiedTime(%s) failed [LE: %d]\n", destination, code);
        return Fail(context, code);
    }
    if (!Platform_TreeChangeMode(target, name, info.st_mode & 07777)) {
        code = Platform_GetLastError();
        Log_Debug("SetMode(%s) failed [LE: %d]\n", destination, code);
        return Fail(context, code);
    }
    if (!Platform_SetFileAttributesAt(target, name, attributes & kCopiedAttributes)) {
        code = Platform_GetLastError();
        Log_Debug("SetAttributes(%s) failed [LE: %d]\n", destination, code);
        return Fail(context, code);
    }
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
    CopyContext context;
    memset(&context, 0, sizeof(context));
    context.SourceRoot = from;
    context.SourceRootLength = strlen(from);
    context.DestinationRoot = to;
    context.Overwrite = overwrite;
    context.Recurse = recurse;
    context.Root = -1;
    context.Current = -1;
    alignas(DIRECTORY_LIST_ALIGN) unsigned char memory[DIRECTORY_LIST_STACK_SIZE];
    DirectoryList* list = DirectoryList_Stack(memory);
    DirectoryList_SetWalkOrder(list, DIRECTORY_LIST_ORDER_PRE);
    DirectoryList_SetWalkFlags(list, DIRECTORY_LIST_WALK_FILES | DIRECTORY_LIST_WALK_DIRECTORIES);
    // Without recursion only the root's own entries matter.
    DirectoryList_SetMaxDepth(list, recurse ? -1 : 0);
    DirectoryList_SetWalkCallback(list, &context, CopyEntry);
    const int64_t walked = DirectoryList_Walk(list, from, "*");
    if (!walked && !context.Error) context.Error = Platform_GetLastError();
    DirectoryList_Unstack(list);
    CloseCurrent(&context);
    if (context.Root >= 0) Platform_Close(context.Root);
    if (!walked && context.Error)
        Log_Debug("CopyDirectory(%s, %s) failed [LE: %d]\n", source, destination, context.Error);
    return walked;
}
