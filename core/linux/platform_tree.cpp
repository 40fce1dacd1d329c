// Entries of an open directory acted on by name, never through a symbolic link: a name is looked
// up once, in the directory the caller holds, and every change is made on what that lookup found.
#include "core/linux/platform_tree.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/linux/platform_file.h"
#include "core/runtime/debug.h"

static_assert(PLATFORM_TREE_CWD == AT_FDCWD, "the current directory is the system's own AT_FDCWD");

namespace {

// fchmodat2 (Linux 6.6) has the same number on every architecture; older headers lack it.
constexpr long kFchmodat2 = 452;

// Keeps errno across clean-up calls.
struct ErrnoKeeper {
    int Saved;
    ErrnoKeeper() : Saved(errno) {}
    ~ErrnoKeeper() { errno = Saved; }
};

// A name without trailing separators: "link/" would make the system follow the link whatever
// the flags say. The root keeps its one separator. Null (ENAMETOOLONG) when it does not fit.
const char* Trimmed(const char* name, char* buffer) {
    ASSERT_POINTER(name);
    size_t length = strlen(name);
    if (length < 2 || name[length - 1] != '/') return name;
    while (length > 1 && name[length - 1] == '/') length--;
    if (length >= (size_t)PLATFORM_FILE_PATH_CAPACITY) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    memcpy(buffer, name, length);
    buffer[length] = 0;
    return buffer;
}

int OpenAt(int at, const char* name, int flags) {
    int fd;
    do fd = openat(at, name, flags | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// An entry opened as itself for a change made on the descriptor. Regular files, directories and
// fifos open for reading, which neither blocks nor touches their content; any other kind, and
// an entry this process may not read, opens as a path-only descriptor, so that no device is ever
// opened for real. -1 with errno on failure, and with *link set for a symbolic link.
int OpenEntry(int at, const char* name, bool* pathOnly, bool* link) {
    *pathOnly = false;
    *link = false;
    struct stat info;
    if (fstatat(at, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    int fd = -1;
    if (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode) || S_ISFIFO(info.st_mode)) {
        fd = OpenAt(at, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
        if (fd >= 0) return fd;
        if (errno != EACCES && errno != EPERM && errno != EWOULDBLOCK && errno != ELOOP) return -1;
    }
    fd = OpenAt(at, name, O_PATH | O_NOFOLLOW);
    if (fd < 0) return -1;
    // O_PATH with O_NOFOLLOW opens a link itself; it may have become one since the status.
    if (fstat(fd, &info) != 0 || S_ISLNK(info.st_mode)) {
        *link = S_ISLNK(info.st_mode);
        ErrnoKeeper keep;
        close(fd);
        return -1;
    }
    *pathOnly = true;
    return fd;
}

bool ChangeModeOf(int fd, bool pathOnly, mode_t mode) {
    if (!pathOnly) return fchmod(fd, mode) == 0;
    // A path-only descriptor is no argument for fchmod. The system's own call for it, where
    // there is one; else a directory is reached as "." inside itself, which is no link.
    if (syscall(kFchmodat2, fd, "", mode, AT_EMPTY_PATH) == 0) return true;
    if (errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
    struct stat info;
    if (fstat(fd, &info) != 0) return false;
    if (S_ISDIR(info.st_mode)) return fchmodat(fd, ".", mode, 0) == 0;
    errno = EOPNOTSUPP;
    return false;
}

// The status of the directory that holds `name` in `at`.
bool ParentStatus(int at, const char* name, struct stat* info) {
    const char* slash = strrchr(name, '/');
    if (!slash) return at == AT_FDCWD ? stat(".", info) == 0 : fstat(at, info) == 0;
    if (slash == name) return stat("/", info) == 0;
    char parent[PLATFORM_FILE_PATH_CAPACITY];
    const size_t length = (size_t)(slash - name);
    if (length >= sizeof(parent)) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(parent, name, length);
    parent[length] = 0;
    return fstatat(at, parent, info, 0) == 0;
}

} // namespace

int64_t Platform_TreeOpenDirectory(int32_t at, const char* name, uint32_t follow, int32_t* directory,
                                   PlatformTreeIdentity* identity) {
    ASSERT_POINTER(directory);
    *directory = -1;
    if (identity) memset(identity, 0, sizeof(*identity));
    char buffer[PLATFORM_FILE_PATH_CAPACITY];
    const char* trimmed = Trimmed(name, buffer);
    if (!trimmed) return 0;
    // Path-only: entering needs search permission alone, as a path through it would.
    int fd = OpenAt(at, trimmed, O_PATH | O_DIRECTORY | (follow ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        // O_PATH with O_NOFOLLOW takes a link itself and then fails on O_DIRECTORY.
        if (errno == ENOTDIR && !follow) {
            struct stat info;
            if (fstatat(at, trimmed, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
                errno = ELOOP;
            else
                errno = ENOTDIR;
        }
        return 0;
    }
    if (identity) {
        struct stat info;
        if (fstat(fd, &info) != 0) {
            ErrnoKeeper keep;
            close(fd);
            return 0;
        }
        identity->Device = (uint64_t)info.st_dev;
        identity->Inode = (uint64_t)info.st_ino;
    }
    *directory = fd;
    return 1;
}

int64_t Platform_TreeStat(int32_t at, const char* name, struct stat* info) {
    ASSERT_POINTER(info);
    memset(info, 0, sizeof(*info));
    char buffer[PLATFORM_FILE_PATH_CAPACITY];
    const char* trimmed = Trimmed(name, buffer);
    if (!trimmed || fstatat(at, trimmed, info, AT_SYMLINK_NOFOLLOW) != 0) {
        ErrnoKeeper keep;
        memset(info, 0, sizeof(*info));
        return 0;
    }
    return 1;
}

int64_t Platform_TreeMountOf(int32_t at, const char* name, PlatformTreeMount* mount) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(mount);
    memset(mount, 0, sizeof(*mount));
    char buffer[PLATFORM_FILE_PATH_CAPACITY];
    const char* trimmed = name[0] ? Trimmed(name, buffer) : name;
    if (!trimmed) return 0;
    struct statx extended;
    const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (trimmed[0] ? 0 : AT_EMPTY_PATH);
    if (statx(at, trimmed, flags, STATX_MNT_ID, &extended) == 0) {
        mount->Device = (uint64_t)makedev(extended.stx_dev_major, extended.stx_dev_minor);
        if (extended.stx_mask & STATX_MNT_ID) {
            mount->Mount = extended.stx_mnt_id;
            return 1;
        }
        // A kernel whose statx tells no mount id may still give it with a handle (a file system
        // that gives no handles leaves the device alone to compare).
        union {
            struct file_handle handle;
            char space[sizeof(struct file_handle) + MAX_HANDLE_SZ];
        } handle;
        handle.handle.handle_bytes = MAX_HANDLE_SZ;
        int id = 0;
        const int handleFlags = trimmed[0] ? 0 : AT_EMPTY_PATH;
        if (name_to_handle_at(at, trimmed, &handle.handle, &id, handleFlags) == 0) mount->Mount = (uint32_t)id;
        return 1;
    }
    if (errno != ENOSYS) return 0;
    // A system without statx tells the device alone.
    struct stat info;
    if (fstatat(at, trimmed, &info, flags) != 0) return 0;
    mount->Device = (uint64_t)info.st_dev;
    return 1;
}

int64_t Platform_TreeSameMount(const PlatformTreeMount* a, const PlatformTreeMount* b) {
    ASSERT_POINTER(a);
    ASSERT_POINTER(b);
    if (a->Device != b->Device) return 0;
    return !a->Mount || !b->Mount || a->Mount == b->Mount;
}

int64_t Platform_TreeDeleteFile(int32_t at, const char* name) {
    char buffer[PLATFORM_FILE_PATH_CAPACITY];
    const char* trimmed = Trimmed(name, buffer);
    return trimmed && unlinkat(at, trimmed, 0) == 0;
}

int64_t Platform_TreeRemoveDirectory(int32_t at, const char* name) {
    char buffer[PLATFORM_FILE_PATH_CAPACITY];
    const char* trimmed = Trimmed(name, buffer);
    return trimmed && unlinkat(at, trimmed, AT_REMOVEDIR) == 0;
}

int64_t Platform_TreeCreateDirectory(int32_t at, const char* name) {
    char buffer[PLATFORM_FILE_PATH_CAPACITY];
    const char* trimmed = Trimmed(name, buffer);
    if (!trimmed || mkdirat(at, trimmed, 0777) != 0) return 0;
    // The fix-up acts on the directory just made, reached without following a link: a name
    // swapped meanwhile gets nothing.
    int fd = OpenAt(at, trimmed, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    struct stat parent;
    if (fd >= 0) {
        if (ParentStatus(at, trimmed, &parent)) Platform_TreeGroupFixup(&parent, fd);
        close(fd);
    }
    errno = 0;
    return 1;
}

int64_t Platform_TreeReadLink(int32_t at, const char* name, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size >= 1) buffer[0] = 0;
    if (size < 2) {
        errno = EINVAL;
        return 0;
    }
    char work[PLATFORM_FILE_PATH_CAPACITY];
    const char* trimmed = Trimmed(name, work);
    if (!trimmed) return 0;
    ssize_t n = readlinkat(at, trimmed, buffer, (size_t)size);
    if (n >= size) {
        // A cut target would name another file.
        errno = ENAMETOOLONG;
        n = -1;
    }
    if (n < 0) {
        buffer[0] = 0;
        return 0;
    }
    buffer[n] = 0;
    return 1;
}

int64_t Platform_TreeCreateSymLink(int32_t at, const char* name, const char* target) {
    ASSERT_POINTER(target);
    char buffer[PLATFORM_FILE_PATH_CAPACITY];
    const char* trimmed = Trimmed(name, buffer);
    return trimmed && symlinkat(target, at, trimmed) == 0;
}

int64_t Platform_TreeChangeMode(int32_t at, const char* name, uint32_t mode) {
    char buffer[PLATFORM_FILE_PATH_CAPACITY];
    const char* trimmed = Trimmed(name, buffer);
    if (!trimmed) return 0;
    bool pathOnly = false, link = false;
    int fd = OpenEntry(at, trimmed, &pathOnly, &link);
    if (fd < 0) {
        if (!link) return 0;
        errno = 0;
        return 1;
    }
    const bool ok = ChangeModeOf(fd, pathOnly, (mode_t)(mode & 07777));
    ErrnoKeeper keep;
    close(fd);
    return ok;
}

int64_t Platform_TreeChangeOwner(int32_t at, const char* name, uint32_t user, uint32_t group) {
    char buffer[PLATFORM_FILE_PATH_CAPACITY];
    const char* trimmed = Trimmed(name, buffer);
    return trimmed && fchownat(at, trimmed, (uid_t)user, (gid_t)group, AT_SYMLINK_NOFOLLOW) == 0;
}

int64_t Platform_TreeGroupFixup(const struct stat* directory, int32_t item) {
    ASSERT_POINTER(directory);
    struct stat info;
    if (fstat(item, &info) != 0) return 0;
    // Only what this process made is its to open up, never an item another user made meanwhile.
    if (S_ISLNK(info.st_mode) || info.st_uid != geteuid()) return 1;
    const bool shared = directory->st_uid != geteuid() || (directory->st_mode & S_IWGRP);
    if (!shared || !(info.st_mode & S_IRGRP) || (info.st_mode & S_IWGRP)) return 1;
    return fchmod(item, (info.st_mode & 07777) | S_IWGRP) == 0;
}
