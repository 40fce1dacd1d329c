// Descriptor-relative file operations of the file storage backends on Linux: openat with
// O_NOFOLLOW on every component, then renameat, unlinkat, fchmod and futimens on what was found.
#include "repository/linux/storage_file_os.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "core/linux/platform_tree.h"

namespace {

int SystemOpenAt(int directory, const char* name, int flags, mode_t mode) {
    return openat(directory, name, flags, mode);
}
int SystemRenameAt(int directory, const char* from, const char* to, unsigned int flags) {
    return flags ? renameat2(directory, from, directory, to, flags) : renameat(directory, from, directory, to);
}
ssize_t SystemCopyRange(int from, int to, size_t length) {
    return copy_file_range(from, nullptr, to, nullptr, length, 0);
}

const StorageFileOSCalls kSystem = {SystemOpenAt, mkdirat,         SystemRenameAt, linkat,    unlinkat,
                                    symlinkat,    fchmod,          fchmodat,       ftruncate, futimens,
                                    write,        SystemCopyRange, fsync,          syncfs};
std::atomic<const StorageFileOSCalls*> calls{&kSystem};

const StorageFileOSCalls& Sys() { return *calls.load(std::memory_order_acquire); }

constexpr size_t kNameCapacity = 1024;

int OpenAt(int at, const char* name, int flags, mode_t mode = 0) {
    int fd;
    do fd = Sys().OpenAt(at, name, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// ENOTDIR for a link with O_DIRECTORY would hide that a link stood there.
int LinkOr(int at, const char* name, int error) {
    struct stat info;
    if (error == ENOTDIR && fstatat(at, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
        return ELOOP;
    return error;
}

// A private file of the effective user (me): what the storage itself makes for its own names, and
// what no other user can have made or still reach through a second link.
bool IsOwnPrivate(const struct stat& info, uid_t me) {
    return S_ISREG(info.st_mode) && info.st_uid == me && info.st_nlink == 1 && (info.st_mode & 077) == 0;
}

// A regular file of the effective user that no second name reaches, whatever its permissions.
bool IsOwnSingle(const struct stat& info, uid_t me) {
    return S_ISREG(info.st_mode) && info.st_uid == me && info.st_nlink == 1;
}

void Fill(const struct stat& info, StorageFileOSStatus* status, int64_t user = -1) {
    const uid_t me = user >= 0 ? (uid_t)user : geteuid();
    status->OwnPrivate = IsOwnPrivate(info, me) ? 1 : 0;
    status->OwnSingle = IsOwnSingle(info, me) ? 1 : 0;
    status->OtherUser = info.st_uid != me ? 1 : 0;
    status->Device = (uint64_t)info.st_dev;
    status->Inode = (uint64_t)info.st_ino;
    status->Changed = (uint64_t)info.st_ctim.tv_sec * 1000000000ull + (uint64_t)info.st_ctim.tv_nsec;
    if (S_ISREG(info.st_mode)) status->Kind = STORAGE_FILE_OS_FILE;
    else if (S_ISDIR(info.st_mode)) status->Kind = STORAGE_FILE_OS_DIRECTORY;
    else if (S_ISLNK(info.st_mode)) status->Kind = STORAGE_FILE_OS_LINK;
    else status->Kind = STORAGE_FILE_OS_OTHER;
    status->Mode = (uint32_t)(info.st_mode & 07777);
    status->Size = (uint64_t)info.st_size;
    status->ModifiedSeconds = (int64_t)info.st_mtim.tv_sec;
}

// The mount of an open folder (the kernel's mount id, which tells a bind mount apart); 0 or the
// reason it could not be asked.
int32_t MountOf(int fd, PlatformTreeMount* mount) {
    return Platform_TreeMountOf(fd, "", mount) ? 0 : errno;
}

} // namespace

const StorageFileOSCalls* StorageFileOS_GetCalls() {
    return calls.load(std::memory_order_acquire);
}

const StorageFileOSCalls* StorageFileOS_SystemCalls() {
    return &kSystem;
}

void StorageFileOS_SetCalls(const StorageFileOSCalls* table) {
    calls.store(table ? table : &kSystem, std::memory_order_release);
}

int32_t StorageFileOS_OpenParent(const char* root, const char* name, uint32_t create, int32_t* directory,
                                 const char** leaf, uint32_t* made, uint32_t sameMount) {
    *directory = -1;
    *leaf = name;
    if (made) *made = 0;
    const size_t length = strlen(name);
    if (length == 0 || length >= kNameCapacity) return ENAMETOOLONG;
    int fd = OpenAt(AT_FDCWD, root, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return errno;
    PlatformTreeMount rootMount{};
    if (sameMount) {
        const int32_t error = MountOf(fd, &rootMount);
        if (error) {
            close(fd);
            return error;
        }
    }
    char component[kNameCapacity];
    const char* start = name;
    for (const char* slash; (slash = strchr(start, '/')) != nullptr; start = slash + 1) {
        const size_t size = (size_t)(slash - start);
        if (size == 0) continue;
        memcpy(component, start, size);
        component[size] = 0;
        int next = OpenAt(fd, component, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (next < 0 && errno == ENOENT && create) {
            if (Sys().MkdirAt(fd, component, 0700) == 0) {
                if (made) ++*made;
            } else if (errno != EEXIST) {
                const int error = errno;
                close(fd);
                return error;
            }
            next = OpenAt(fd, component, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        }
        if (next < 0) {
            const int error = LinkOr(fd, component, errno);
            if (error == ENOENT && !create && made)
                for (const char* rest = slash; rest; rest = strchr(rest + 1, '/')) ++*made;
            close(fd);
            return error;
        }
        close(fd);
        fd = next;
        PlatformTreeMount mount{};
        if (sameMount && (MountOf(fd, &mount) != 0 || !Platform_TreeSameMount(&mount, &rootMount))) {
            close(fd);
            return EXDEV;
        }
    }
    *directory = fd;
    *leaf = start;
    return 0;
}

int32_t StorageFileOS_OpenFile(int32_t directory, const char* leaf, uint32_t write, int32_t* fd) {
    *fd = -1;
    // Non-blocking so that a fifo planted under the name cannot hold the open; refused below.
    const int flags = (write ? O_RDWR | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    int file = OpenAt(directory, leaf, flags, 0600);
    if (file < 0) return errno;
    struct stat info;
    if (fstat(file, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        close(file);
        return error;
    }
    fcntl(file, F_SETFL, fcntl(file, F_GETFL) & ~O_NONBLOCK);
    *fd = file;
    return 0;
}

namespace {

std::atomic<uint32_t> birthTimes{1};

// The extended attribute that holds a file's token where the file system keeps no birth time.
constexpr char kTokenAttribute[] = "user.quarv.token";

// The file system's own name for the inode, hashed: it holds the inode's generation, which a file
// given a freed inode number does not share. 0 where the file system gives no such name.
uint64_t HandleOf(int directory, const char* leaf, int flags) {
    struct {
        struct file_handle head;
        unsigned char bytes[MAX_HANDLE_SZ];
    } handle;
    handle.head.handle_bytes = MAX_HANDLE_SZ;
    int mount = 0;
    if (name_to_handle_at(directory, leaf, &handle.head, &mount, flags & AT_EMPTY_PATH) != 0) return 0;
    uint64_t hash = 14695981039346656037ull ^ (uint32_t)handle.head.handle_type;
    // The handle's bytes, read through the whole record that holds them.
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&handle) + offsetof(struct file_handle, f_handle);
    for (unsigned i = 0; i < handle.head.handle_bytes && i < MAX_HANDLE_SZ; i++)
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}

// The birth a file's proof rests on, mixed with its handle: ext4 stamps a birth from a clock that
// ticks every few milliseconds and gives a freed inode number out again at once, so a file made in
// the tick another was removed in carries its number and its birth; its generation differs.
uint64_t BirthOf(int directory, const char* leaf, int flags) {
    struct statx extra;
    if (!birthTimes.load(std::memory_order_relaxed) ||
        statx(directory, leaf, flags | AT_SYMLINK_NOFOLLOW, STATX_BTIME, &extra) != 0 || !(extra.stx_mask & STATX_BTIME))
        return 0;
    const uint64_t birth = (uint64_t)extra.stx_btime.tv_sec * 1000000000ull + extra.stx_btime.tv_nsec;
    if (birth & STORAGE_FILE_OS_TOKEN) return 0;
    const uint64_t proof = (birth ^ HandleOf(directory, leaf, flags)) & (STORAGE_FILE_OS_CHANGED - 1);
    return proof ? proof : 1;
}

// The token a file was marked with, or 0: read only where no birth time tells files apart.
uint64_t TokenOf(int fd, int directory, const char* leaf) {
    uint64_t token = 0;
    ssize_t got;
    if (fd >= 0) {
        got = fgetxattr(fd, kTokenAttribute, &token, sizeof(token));
    } else {
        // The entry itself, never what a link leads to.
        char path[64 + NAME_MAX + 1];
        if (!leaf || snprintf(path, sizeof(path), "/proc/self/fd/%d/%s", directory, leaf) >= (int)sizeof(path))
            return 0;
        got = lgetxattr(path, kTokenAttribute, &token, sizeof(token));
    }
    return got == (ssize_t)sizeof(token) && (token & STORAGE_FILE_OS_TOKEN) ? token : 0;
}

} // namespace

uint64_t StorageFileOS_ProofOf(const StorageFileOSStatus& status) {
    return status.Birth ? status.Birth : status.Token;
}

bool StorageFileOS_SameFile(const StorageFileOSStatus& status, uint64_t device, uint64_t inode, uint64_t proof) {
    // An inode number is given out again once its file is gone: only a proof the new file cannot
    // share (its birth, or the token it was marked with) tells the two apart.
    if ((status.Kind != STORAGE_FILE_OS_FILE && status.Kind != STORAGE_FILE_OS_LINK) || status.Device != device ||
        status.Inode != inode)
        return false;
    const uint64_t now = StorageFileOS_ProofOf(status);
    if (proof != STORAGE_FILE_OS_UNPROVEN && (proof & STORAGE_FILE_OS_CHANGED) && !(proof & STORAGE_FILE_OS_TOKEN))
        return now == 0 && StorageFileOS_ChangedProof(status) == proof;
    return proof == STORAGE_FILE_OS_UNPROVEN ? now == 0 : proof != 0 && proof == now;
}

uint64_t StorageFileOS_ChangedProof(const StorageFileOSStatus& status) {
    return STORAGE_FILE_OS_CHANGED | (status.Changed & (STORAGE_FILE_OS_CHANGED - 1));
}

int32_t StorageFileOS_Mark(int32_t fd, StorageFileOSStatus* status) {
    if (status->Birth || status->Token) return 0;
    uint64_t token = 0;
    while (getrandom(&token, sizeof(token), 0) != (ssize_t)sizeof(token))
        if (errno != EINTR) return errno;
    token |= STORAGE_FILE_OS_TOKEN;
    if (token == STORAGE_FILE_OS_UNPROVEN) token--;
    if (fsetxattr(fd, kTokenAttribute, &token, sizeof(token), 0) != 0) return errno;
    status->Token = token;
    return 0;
}

void StorageFileOS_SetBirthTimes(uint32_t kept) {
    birthTimes.store(kept ? 1u : 0u);
}

int32_t StorageFileOS_Status(int32_t directory, const char* leaf, StorageFileOSStatus* status) {
    memset(status, 0, sizeof(*status));
    struct stat info;
    if (fstatat(directory, leaf, &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
    Fill(info, status);
    status->Birth = BirthOf(directory, leaf, 0);
    if (!status->Birth && status->Kind == STORAGE_FILE_OS_FILE) status->Token = TokenOf(-1, directory, leaf);
    return 0;
}

int32_t StorageFileOS_StatusPlain(int32_t directory, const char* leaf, StorageFileOSStatus* status, int64_t user) {
    memset(status, 0, sizeof(*status));
    struct stat info;
    // An empty leaf asks the open file itself.
    const int flags = AT_SYMLINK_NOFOLLOW | (leaf[0] ? 0 : AT_EMPTY_PATH);
    if (fstatat(directory, leaf, &info, flags) != 0) return errno == ENOENT ? 0 : errno;
    Fill(info, status, user);
    return 0;
}

int32_t StorageFileOS_StatusPlainOf(int32_t fd, StorageFileOSStatus* status) {
    return StorageFileOS_StatusPlain(fd, "", status);
}

int32_t StorageFileOS_StatusOf(int32_t fd, StorageFileOSStatus* status) {
    memset(status, 0, sizeof(*status));
    struct stat info;
    if (fstat(fd, &info) != 0) return errno;
    Fill(info, status);
    status->Birth = BirthOf(fd, "", AT_EMPTY_PATH);
    if (!status->Birth && status->Kind == STORAGE_FILE_OS_FILE) status->Token = TokenOf(fd, -1, nullptr);
    return 0;
}

int32_t StorageFileOS_Duplicate(int32_t fd, int32_t* copy) {
    *copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    return *copy < 0 ? errno : 0;
}

int32_t StorageFileOS_Rename(int32_t directory, const char* from, const char* to) {
    return Sys().RenameAt(directory, from, to, 0) == 0 ? 0 : errno;
}

namespace {

// Copies everything from one descriptor to the other: in the kernel where it can (a reflink or
// an in-kernel copy), else through a buffer.
int32_t CopyData(int from, int to) {
    for (;;) {
        const ssize_t done = Sys().CopyRange(from, to, (size_t)1 << 30);
        if (done == 0) return 0;
        if (done > 0) continue;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return errno;
        break;
    }
    // Where the kernel cannot copy, nothing was written yet (it fails on the first call).
    if (lseek(from, 0, SEEK_SET) < 0 || Sys().Ftruncate(to, 0) != 0 || lseek(to, 0, SEEK_SET) < 0) return errno;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(from, buffer, sizeof(buffer));
        if (got == 0) return 0;
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        for (ssize_t at = 0; at < got;) {
            const ssize_t put = Sys().Write(to, buffer + at, (size_t)(got - at));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return put < 0 ? errno : EIO;
            at += put;
        }
    }
}

} // namespace

namespace {

// Links an anonymous file under `to`; fails with EEXIST rather than replace an entry there.
int32_t LinkAnonymous(int fd, int32_t directory, const char* to) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
    if (Sys().LinkAt(AT_FDCWD, path, directory, to, AT_SYMLINK_FOLLOW) == 0) return 0;
    const int error = errno;
    if (error != ENOENT) return error;
    // Without /proc: the descriptor itself, which needs the privilege to do so.
    return Sys().LinkAt(fd, "", directory, to, AT_EMPTY_PATH) == 0 ? 0 : errno;
}

} // namespace

namespace {
std::atomic<uint32_t> unnamedCopies{1};

// The installed file a copy starts from, opened for reading: a regular file only (a link is not
// followed, and a FIFO's open does not wait for a writer), read with waits. 0 or the error.
int32_t OpenCopySource(int32_t directory, const char* from, int* fd) {
    const int source = OpenAt(directory, from, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (source < 0) return errno;
    struct stat info;
    if (fstat(source, &info) != 0) {
        const int32_t error = errno;
        close(source);
        return error;
    }
    if (!S_ISREG(info.st_mode)) {
        close(source);
        return EINVAL;
    }
    fcntl(source, F_SETFL, fcntl(source, F_GETFL) & ~O_NONBLOCK);
    *fd = source;
    return 0;
}
} // namespace

void StorageFileOS_SetUnnamedCopies(uint32_t allowed) {
    unnamedCopies.store(allowed ? 1u : 0u);
}

int32_t StorageFileOS_CopyBeside(int32_t directory, const char* from, const char* to, const char* scratch) {
    int source = -1;
    if (const int32_t error = OpenCopySource(directory, from, &source)) return error;
    bool named = false;
    int target = -1;
    if (unnamedCopies.load()) target = OpenAt(directory, ".", O_TMPFILE | O_RDWR, 0600);
    else errno = EOPNOTSUPP;
    if (target < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT)) {
        // No unnamed files here: a name no one else may hold, made by this call alone.
        named = true;
        target = OpenAt(directory, scratch, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK, 0600);
    }
    if (target < 0) {
        const int error = errno;
        close(source);
        return error;
    }
    int32_t error = Sys().Fchmod(target, 0600) != 0 ? errno : 0;
    if (!error) error = CopyData(source, target);
    close(source);
    if (!error) error = named ? (Sys().LinkAt(directory, scratch, directory, to, 0) == 0 ? 0 : errno)
                              : LinkAnonymous(target, directory, to);
    if (close(target) != 0 && !error) error = errno;
    if (named) Sys().UnlinkAt(directory, scratch, 0);
    return error;
}

int32_t StorageFileOS_RemoveOwn(int32_t directory, const char* leaf, uint32_t anyMode) {
    struct stat info;
    if (fstatat(directory, leaf, &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
    const uid_t me = geteuid();
    if (info.st_uid != me) return EPERM;
    const bool link = (anyMode & STORAGE_FILE_OS_OWN_LINK) && S_ISLNK(info.st_mode);
    if (!link && !((anyMode & 1) ? IsOwnSingle(info, me) : IsOwnPrivate(info, me))) return EEXIST;
    return Sys().UnlinkAt(directory, leaf, 0) == 0 || errno == ENOENT ? 0 : errno;
}

int32_t StorageFileOS_OpenOwn(int32_t directory, const char* leaf, uint32_t create, uint32_t write, int32_t* fd) {
    *fd = -1;
    const int flags = (write ? O_RDWR : O_RDONLY) | (create ? O_CREAT | O_EXCL : 0) | O_NOFOLLOW | O_NONBLOCK |
                      O_NOCTTY;
    const int file = OpenAt(directory, leaf, flags, 0600);
    if (file < 0) return errno;
    struct stat info;
    if (fstat(file, &info) != 0 || !IsOwnPrivate(info, geteuid())) {
        close(file);
        return EPERM;
    }
    fcntl(file, F_SETFL, fcntl(file, F_GETFL) & ~O_NONBLOCK);
    *fd = file;
    return 0;
}

int32_t StorageFileOS_OpenMine(int32_t directory, const char* leaf, int32_t* fd) {
    *fd = -1;
    const int file = OpenAt(directory, leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (file < 0) return errno == ELOOP || errno == EACCES || errno == ENXIO || errno == EWOULDBLOCK ? EPERM : errno;
    struct stat info;
    if (fstat(file, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 022)) {
        close(file);
        return EPERM;
    }
    fcntl(file, F_SETFL, fcntl(file, F_GETFL) & ~O_NONBLOCK);
    *fd = file;
    return 0;
}

int32_t StorageFileOS_RemoveName(int32_t directory, const char* leaf, uint64_t device, uint64_t inode) {
    StorageFileOSStatus now{};
    int32_t error = StorageFileOS_Status(directory, leaf, &now);
    if (error || now.Kind == STORAGE_FILE_OS_MISSING) return error;
    if (now.Kind != STORAGE_FILE_OS_FILE || now.OtherUser || now.Device != device || now.Inode != inode) return EEXIST;
    return Sys().UnlinkAt(directory, leaf, 0) == 0 || errno == ENOENT ? 0 : errno;
}

int32_t StorageFileOS_ForEachName(int32_t directory, void* user, int32_t (*each)(void* user, const char* name)) {
    const int copy = OpenAt(directory, ".", O_RDONLY | O_DIRECTORY);
    if (copy < 0) return errno;
    DIR* listing = fdopendir(copy);
    if (!listing) {
        const int error = errno;
        close(copy);
        return error;
    }
    int32_t error = 0;
    for (;;) {
        errno = 0;
        const struct dirent* entry = readdir(listing);
        if (!entry) {
            error = errno;
            break;
        }
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        if (!each(user, entry->d_name)) break;
    }
    closedir(listing);
    return error;
}

int32_t StorageFileOS_OpenUnnamed(int32_t directory, int32_t* fd) {
    *fd = -1;
    if (!unnamedCopies.load()) return EOPNOTSUPP;
    const int file = OpenAt(directory, ".", O_TMPFILE | O_RDWR, 0600);
    if (file < 0)
        return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT ? EOPNOTSUPP : errno;
    *fd = file;
    return 0;
}

int32_t StorageFileOS_CopyInto(int32_t directory, const char* from, int32_t fd) {
    int source = -1;
    if (const int32_t error = OpenCopySource(directory, from, &source)) return error;
    const int32_t error = CopyData(source, fd);
    close(source);
    return error;
}

int32_t StorageFileOS_NameCopy(int32_t directory, int32_t fd, const char* scratch, const char* to) {
    if (!scratch) return LinkAnonymous(fd, directory, to);
    // One step, and never over an entry there: no moment where the copy has two names.
    return Sys().RenameAt(directory, scratch, to, RENAME_NOREPLACE) == 0 ? 0 : errno;
}

namespace {

int32_t IsCopy(const StorageFileOSStatus& now, uint64_t device, uint64_t inode, uint64_t proof) {
    if (!StorageFileOS_SameFile(now, device, inode, proof)) return EEXIST;
    if (now.OtherUser) return EPERM;
    // A link is one name alone: none can reach it but its own.
    return now.OwnSingle || now.Kind == STORAGE_FILE_OS_LINK ? 0 : EEXIST;
}

} // namespace

int32_t StorageFileOS_OpenCopy(int32_t directory, const char* leaf, uint64_t device, uint64_t inode, uint64_t birth,
                               uint32_t write, int32_t* fd) {
    *fd = -1;
    const int file = OpenAt(directory, leaf, (write ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (file < 0) return errno == ELOOP ? EEXIST : errno;
    StorageFileOSStatus now{};
    int32_t error = StorageFileOS_StatusOf(file, &now);
    if (!error) error = IsCopy(now, device, inode, birth);
    if (error) {
        close(file);
        return error;
    }
    fcntl(file, F_SETFL, fcntl(file, F_GETFL) & ~O_NONBLOCK);
    *fd = file;
    return 0;
}

int32_t StorageFileOS_RemoveCopy(int32_t directory, const char* leaf, uint64_t device, uint64_t inode, uint64_t birth) {
    StorageFileOSStatus now{};
    int32_t error = StorageFileOS_Status(directory, leaf, &now);
    if (error || now.Kind == STORAGE_FILE_OS_MISSING) return error;
    if ((error = IsCopy(now, device, inode, birth)) != 0) return error;
    return Sys().UnlinkAt(directory, leaf, 0) == 0 || errno == ENOENT ? 0 : errno;
}

int32_t StorageFileOS_HoldFolder(const char* root, int32_t* fd) {
    *fd = -1;
    const int folder = OpenAt(AT_FDCWD, root, O_RDONLY | O_DIRECTORY);
    if (folder < 0) return errno;
    // A lock of the folder itself: the same folder reached by another path or a bind mount is held too.
    if (flock(folder, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(folder);
        return error;
    }
    *fd = folder;
    return 0;
}

int32_t StorageFileOS_SyncFileSystem(const char* root) {
    const int fd = OpenAt(AT_FDCWD, root, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return errno;
    const int32_t error = Sys().Syncfs(fd) == 0 ? 0 : errno;
    close(fd);
    return error;
}

int32_t StorageFileOS_SyncFileSystemOf(int32_t fd) {
    return Sys().Syncfs(fd) == 0 ? 0 : errno;
}

int32_t StorageFileOS_SyncFile(int32_t fd) {
    return Sys().Fsync(fd) == 0 ? 0 : errno;
}

int32_t StorageFileOS_FreeSpace(int32_t directory, uint64_t* bytes) {
    *bytes = 0;
    struct statvfs info;
    if (fstatvfs(directory, &info) != 0) return errno;
    *bytes = (uint64_t)info.f_bavail * (uint64_t)(info.f_frsize ? info.f_frsize : info.f_bsize);
    return 0;
}

int32_t StorageFileOS_ModeFrom(int32_t fd, int32_t directory, const char* leaf) {
    struct stat info;
    if (fstatat(directory, leaf, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) return 0;
    return Sys().Fchmod(fd, (info.st_mode & 0755) | S_IRUSR | S_IWUSR) == 0 ? 0 : errno;
}

int32_t StorageFileOS_ReadAt(int32_t fd, uint64_t offset, void* buffer, uint32_t length) {
    uint8_t* at = static_cast<uint8_t*>(buffer);
    for (uint32_t done = 0; done < length;) {
        const ssize_t got = pread(fd, at + done, length - done, (off_t)(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        if (got == 0) return ERANGE;
        done += (uint32_t)got;
    }
    return 0;
}

int32_t StorageFileOS_ReadSome(int32_t fd, uint64_t offset, void* buffer, uint32_t length, uint32_t* got) {
    *got = 0;
    for (;;) {
        const ssize_t read = pread(fd, buffer, length, (off_t)offset);
        if (read < 0 && errno == EINTR) continue;
        if (read < 0) return errno;
        *got = (uint32_t)read;
        return 0;
    }
}

int32_t StorageFileOS_Remove(int32_t directory, const char* leaf, uint32_t isDirectory) {
    return Sys().UnlinkAt(directory, leaf, isDirectory ? AT_REMOVEDIR : 0) == 0 ? 0 : errno;
}

namespace {

// Deeper folders than this are left: each level holds a descriptor.
constexpr int kClearDepth = 64;

struct ClearState {
    void* User;
    StorageFileOSListedFunc Listed;
    PlatformTreeMount Mount;
    uid_t Me;
    bool Dry; // only judged: nothing is removed
    char Name[kNameCapacity];
};

// The folder's listed entries, then the folder when nothing else is left in it. A folder goes only
// where something is listed below it (the name with a '/' at its end asked): one nothing lists, be
// it empty, is another's. Dry, the same judgement removes nothing: 0 when all of it would go.
int32_t ClearAt(ClearState& s, int directory, const char* leaf, size_t used, int depth) {
    const int fd = OpenAt(directory, leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0) return LinkOr(directory, leaf, errno);
    struct stat info;
    PlatformTreeMount mount{};
    int32_t error = fstat(fd, &info) != 0 ? errno : MountOf(fd, &mount);
    if (!error && info.st_uid != s.Me) error = EPERM;
    if (!error && !Platform_TreeSameMount(&mount, &s.Mount)) error = EXDEV;
    DIR* list = error ? nullptr : fdopendir(fd);
    if (!list) {
        if (!error) error = errno;
        close(fd);
        return error;
    }
    bool left = false;
    if (used + 1 < kNameCapacity) {
        s.Name[used] = '/';
        s.Name[used + 1] = 0;
        left = !s.Listed(s.User, s.Name);
        s.Name[used] = 0;
    }
    for (struct dirent* entry; !left && (entry = readdir(list)) != nullptr;) {
        if (!strcmp(entry->d_name, ".") || !strcmp(entry->d_name, "..")) continue;
        const size_t length = strlen(entry->d_name);
        struct stat item;
        if (used + 1 + length >= kNameCapacity || fstatat(dirfd(list), entry->d_name, &item, AT_SYMLINK_NOFOLLOW) != 0) {
            left = true;
            continue;
        }
        s.Name[used] = '/';
        memcpy(s.Name + used + 1, entry->d_name, length + 1);
        if (S_ISDIR(item.st_mode))
            left = (depth + 1 >= kClearDepth || ClearAt(s, dirfd(list), entry->d_name, used + 1 + length, depth + 1) != 0) || left;
        else if ((S_ISREG(item.st_mode) || S_ISLNK(item.st_mode)) && item.st_uid == s.Me && s.Listed(s.User, s.Name))
            left = (!s.Dry && Sys().UnlinkAt(dirfd(list), entry->d_name, 0) != 0 && errno != ENOENT) || left;
        else
            left = true;
        s.Name[used] = 0;
    }
    closedir(list);
    if (left) return EISDIR;
    if (s.Dry) return 0;
    return Sys().UnlinkAt(directory, leaf, AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : errno;
}

} // namespace

int32_t StorageFileOS_ClearListed(int32_t directory, const char* leaf, const char* prefix, void* user,
                                  StorageFileOSListedFunc listed) {
    ClearState s{user, listed, {}, geteuid(), true, {}};
    const size_t used = strlen(prefix);
    if (used >= kNameCapacity) return ENAMETOOLONG;
    memcpy(s.Name, prefix, used + 1);
    int32_t error = MountOf(directory, &s.Mount);
    // Judged whole first: nothing listed goes from a folder that cannot go whole, so the installed
    // manifest never lists a file removed for a change of shape that could not finish.
    if (!error) error = ClearAt(s, directory, leaf, used, 0);
    s.Dry = false;
    return error ? error : ClearAt(s, directory, leaf, used, 0);
}

int32_t StorageFileOS_SizeOf(int32_t fd, uint64_t* size, uint64_t* inode) {
    struct stat info;
    if (fstat(fd, &info) != 0) return errno;
    *size = (uint64_t)info.st_size;
    *inode = (uint64_t)info.st_ino;
    return 0;
}

int32_t StorageFileOS_Append(int32_t fd, const void* bytes, uint32_t length) {
    const char* at = static_cast<const char*>(bytes);
    if (lseek(fd, 0, SEEK_END) < 0) return errno;
    for (uint32_t done = 0; done < length;) {
        const ssize_t put = Sys().Write(fd, at + done, length - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return put < 0 ? errno : EIO;
        done += (uint32_t)put;
    }
    return 0;
}

int32_t StorageFileOS_ReadLink(int32_t directory, const char* leaf, char* buffer, int32_t size) {
    buffer[0] = 0;
    const ssize_t length = readlinkat(directory, leaf, buffer, (size_t)size);
    if (length < 0) return errno;
    if (length >= size) {
        buffer[0] = 0;
        return ENAMETOOLONG;
    }
    buffer[length] = 0;
    return 0;
}

int32_t StorageFileOS_CreateLink(int32_t directory, const char* leaf, const char* target) {
    return Sys().SymlinkAt(target, directory, leaf) == 0 ? 0 : errno;
}

int32_t StorageFileOS_EnsureWritable(int32_t directory, const char* leaf) {
    struct stat info;
    if (fstatat(directory, leaf, &info, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!S_ISREG(info.st_mode) || (info.st_mode & S_IWUSR)) return 0;
    return Sys().FchmodAt(directory, leaf, (info.st_mode & 07777) | S_IWUSR, 0) == 0 ? 0 : errno;
}

int32_t StorageFileOS_SetModifiedTime(int32_t fd, double seconds) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    const double whole = std::floor(seconds);
    times[1].tv_sec = (time_t)whole;
    times[1].tv_nsec = (long)((seconds - whole) * 1e9);
    if (times[1].tv_nsec < 0 || times[1].tv_nsec > 999999999) times[1].tv_nsec = 0;
    return Sys().Futimens(fd, times) == 0 ? 0 : errno;
}

int32_t StorageFileOS_SetExecutable(int32_t fd, uint32_t executable) {
    struct stat info;
    if (fstat(fd, &info) != 0) return errno;
    const mode_t mode = executable ? (info.st_mode & 07777) | 0111 : (info.st_mode & 07777) & ~(mode_t)0111;
    if (mode == (info.st_mode & 07777)) return 0;
    return Sys().Fchmod(fd, mode) == 0 ? 0 : errno;
}

int32_t StorageFileOS_Truncate(int32_t fd, uint64_t length) {
    int result;
    do result = Sys().Ftruncate(fd, (off_t)length);
    while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

void StorageFileOS_Close(int32_t* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

int32_t StorageFileOS_NameBelow(const char* root, const char* path, char* out, size_t size) {
    out[0] = 0;
    const char* slash = strrchr(path, '/');
    if (!slash || !slash[1] || strlen(path) >= PATH_MAX) return 0;
    char folder[PATH_MAX], real[PATH_MAX], realRoot[PATH_MAX];
    memcpy(folder, path, (size_t)(slash - path));
    folder[slash - path] = 0;
    if (!realpath(root, realRoot) || !realpath(folder[0] ? folder : "/", real)) return 0;
    size_t length = strlen(realRoot);
    while (length > 0 && realRoot[length - 1] == '/') realRoot[--length] = 0;
    if (strncmp(real, realRoot, length) != 0 || (real[length] != '/' && real[length] != 0)) return 0;
    const char* below = real[length] ? real + length + 1 : "";
    const int n = snprintf(out, size, "%s%s%s", below, below[0] ? "/" : "", slash + 1);
    if (n < 0 || (size_t)n >= size) {
        out[0] = 0;
        return 0;
    }
    return 1;
}

uint32_t StorageFileOS_PageSize() {
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? (uint32_t)size : 4096;
}
