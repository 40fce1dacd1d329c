// Names of a directory skin resolved below the skin's own descriptor: separators normalised,
// "." and empty segments skipped, absolute names and ".." segments refused, every directory
// segment entered without following a link, and only a regular file opened.
#include "skin/linux/skin_file_disk.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/linux/platform_file.h"
#include "core/linux/platform_tree.h"
#include "core/runtime/debug.h"

namespace {

// The longest name walked; a longer one cannot be a skin file anyway.
constexpr size_t kNameCapacity = PLATFORM_FILE_PATH_CAPACITY;

// A name split into its segments, in place. Null when the name is absolute, too long, empty once
// its "." segments are gone, or climbs with "..".
struct Segments {
    char Text[kNameCapacity];
    const char* Part[kNameCapacity / 2];
    int32_t Count = 0;

    bool Split(const char* name) {
        const size_t length = strlen(name);
        if (!length || length >= sizeof(Text)) return false;
        if (name[0] == '/' || name[0] == '\\') return false;
        memcpy(Text, name, length + 1);
        char* at = Text;
        while (*at) {
            char* start = at;
            while (*at && *at != '/' && *at != '\\') at++;
            const bool last = !*at;
            *at = 0;
            if (!last) at++;
            if (!*start || strcmp(start, ".") == 0) continue;
            if (strcmp(start, "..") == 0) return false;
            Part[Count++] = start;
        }
        return Count > 0;
    }
};

// Enters every segment but the last; the descriptor of the directory that holds the last one
// (the root itself when there is one segment, not to be closed then).
bool EnterParent(int32_t root, const Segments& segments, int32_t* parent) {
    int32_t at = root;
    for (int32_t i = 0; i + 1 < segments.Count; i++) {
        int32_t next = -1;
        const bool entered = Platform_TreeOpenDirectory(at, segments.Part[i], 0, &next, nullptr) == 1;
        if (at != root) Platform_Close(at);
        if (!entered) return false;
        at = next;
    }
    *parent = at;
    return true;
}

} // namespace

int64_t SkinDisk_Resolve(const char* path, char* resolved, int32_t capacity, uint32_t* isDirectory) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(resolved);
    ASSERT_POINTER(isDirectory);
    *isDirectory = 0;
    if (capacity > 0) resolved[0] = 0;
    char full[PATH_MAX];
    if (!realpath(path, full)) return 0;
    struct stat info;
    if (stat(full, &info) != 0) return 0;
    const size_t length = strlen(full);
    if (length >= (size_t)capacity) return 0;
    memcpy(resolved, full, length + 1);
    *isDirectory = S_ISDIR(info.st_mode) ? 1 : 0;
    return 1;
}

int64_t SkinDisk_OpenRoot(const char* path, int32_t* root) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(root);
    return Platform_TreeOpenDirectory(PLATFORM_TREE_CWD, path, 1, root, nullptr);
}

int64_t SkinDisk_Open(int32_t root, const char* name, int32_t* fd, uint64_t* size, double* modified,
                      int32_t* outcome) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(fd);
    ASSERT_POINTER(size);
    ASSERT_POINTER(modified);
    ASSERT_POINTER(outcome);
    *fd = -1;
    *size = 0;
    *modified = 0;
    *outcome = SKIN_DISK_MISSING;
    Segments segments;
    int32_t parent = -1;
    if (!segments.Split(name) || !EnterParent(root, segments, &parent)) return 0;
    // Non-blocking, so that a fifo put in the skin cannot hold the open; it is refused below.
    int file;
    do file = openat(parent, segments.Part[segments.Count - 1],
                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (file < 0 && errno == EINTR);
    const int error = errno;
    if (parent != root) Platform_Close(parent);
    if (file < 0) {
        *outcome = error == ENOENT || error == ENOTDIR ? SKIN_DISK_MISSING : SKIN_DISK_UNREADABLE;
        return 0;
    }
    struct stat info;
    if (fstat(file, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(file);
        *outcome = SKIN_DISK_UNREADABLE;
        return 0;
    }
    *fd = file;
    *size = (uint64_t)info.st_size;
    *modified = (double)info.st_mtim.tv_sec;
    *outcome = SKIN_DISK_OPENED;
    return 1;
}

int64_t SkinDisk_Exists(int32_t root, const char* name) {
    ASSERT_POINTER(name);
    Segments segments;
    int32_t parent = -1;
    if (!segments.Split(name) || !EnterParent(root, segments, &parent)) return 0;
    struct stat info;
    const bool found = Platform_TreeStat(parent, segments.Part[segments.Count - 1], &info) == 1;
    if (parent != root) Platform_Close(parent);
    return found ? 1 : 0;
}

int64_t SkinDisk_IsOpenFile(int32_t root, const char* name, int32_t fd) {
    ASSERT_POINTER(name);
    Segments segments;
    int32_t parent = -1;
    if (!segments.Split(name) || !EnterParent(root, segments, &parent)) return 0;
    struct stat named;
    struct stat open;
    const bool found = Platform_TreeStat(parent, segments.Part[segments.Count - 1], &named) == 1;
    if (parent != root) Platform_Close(parent);
    return found && fstat(fd, &open) == 0 && named.st_dev == open.st_dev && named.st_ino == open.st_ino ? 1 : 0;
}
