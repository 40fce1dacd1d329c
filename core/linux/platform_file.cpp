// File and directory primitives on Linux. Operations that change a tree act on a symbolic link
// itself and never on what it points at, and a file that is replaced is replaced whole.
#include "core/linux/platform_file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "core/linux/platform_document.h"
#include "core/linux/platform_private_directory.h"
#include "core/linux/platform_tree.h"
#include "core/platform/path.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"

static_assert(PLATFORM_OPEN_READ_ONLY == O_RDONLY && PLATFORM_OPEN_WRITE_ONLY == O_WRONLY &&
                  PLATFORM_OPEN_READ_WRITE == O_RDWR && PLATFORM_OPEN_CREATE == O_CREAT,
              "the open word is this system's open flags");

namespace {

typedef char WorkPath[PLATFORM_FILE_PATH_CAPACITY];

// Resolves into the work buffer; a path that does not fit is refused rather than cut.
bool Resolve(const char* path, char* out, int32_t size) {
    ASSERT_POINTER(path);
    out[0] = 0;
    if (!path[0]) {
        errno = ENOENT;
        return false;
    }
    // Resolving fails only when the text (or its expansion of "~") does not fit; a text whose
    // components cancel out ("a/..") names nothing.
    if (!Path_Resolve(path, out, size)) {
        out[0] = 0;
        errno = ENAMETOOLONG;
        return false;
    }
    if (!out[0]) {
        errno = ENOENT;
        return false;
    }
    return true;
}

bool Resolve(const char* path, WorkPath& out) {
    return Resolve(path, out, PLATFORM_FILE_PATH_CAPACITY);
}

// The last component, ignoring trailing separators ("a/b/" names "b").
const char* FileName(const char* path, char* scratch, size_t size) {
    size_t length = strlen(path);
    while (length > 1 && path[length - 1] == '/') length--;
    size_t start = length;
    while (start > 0 && path[start - 1] != '/') start--;
    size_t n = length - start;
    if (n >= size) n = size - 1;
    memcpy(scratch, path + start, n);
    scratch[n] = 0;
    return scratch;
}

// The directory part with its trailing separator cut ("/" for the root, "." when none).
void DirectoryOf(const char* path, char* out, size_t size) {
    size_t length = strlen(path);
    while (length > 1 && path[length - 1] == '/') length--;
    while (length > 0 && path[length - 1] != '/') length--;
    while (length > 1 && path[length - 1] == '/') length--;
    if (length == 0) {
        snprintf(out, size, ".");
        return;
    }
    if (length >= size) length = size - 1;
    memcpy(out, path, length);
    out[length] = 0;
}

bool IsIgnorableFlagsError(int error) {
    return error == ENOTTY || error == ENOTSUP || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
}

// What the status of one entry says, read in one call: the status record, the birth time when
// the file system keeps one, and the immutable flag when it reports it.
struct EntryStatus {
    struct stat Info;
    bool HasBirth;
    int64_t Birth;
    bool ImmutableKnown;
    bool Immutable;
};

// `path` is taken relative to the directory `at` (AT_FDCWD: as given): a walk names entries by
// their directory's descriptor, so the system does not look up the whole path again each time.
bool QueryStatusAt(int at, const char* path, bool follow, EntryStatus* out) {
    memset(out, 0, sizeof(*out));
    struct statx sx;
    int flags = follow ? 0 : AT_SYMLINK_NOFOLLOW;
    if (statx(at, path, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
    struct stat& st = out->Info;
    st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    st.st_ino = sx.stx_ino;
    st.st_mode = sx.stx_mode;
    st.st_nlink = sx.stx_nlink;
    st.st_uid = sx.stx_uid;
    st.st_gid = sx.stx_gid;
    st.st_rdev = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
    st.st_size = (off_t)sx.stx_size;
    st.st_blksize = (blksize_t)sx.stx_blksize;
    st.st_blocks = (blkcnt_t)sx.stx_blocks;
    st.st_atim.tv_sec = sx.stx_atime.tv_sec;
    st.st_atim.tv_nsec = sx.stx_atime.tv_nsec;
    st.st_mtim.tv_sec = sx.stx_mtime.tv_sec;
    st.st_mtim.tv_nsec = sx.stx_mtime.tv_nsec;
    st.st_ctim.tv_sec = sx.stx_ctime.tv_sec;
    st.st_ctim.tv_nsec = sx.stx_ctime.tv_nsec;
    if (sx.stx_mask & STATX_BTIME) {
        out->HasBirth = true;
        out->Birth = sx.stx_btime.tv_sec;
    }
    if (sx.stx_attributes_mask & STATX_ATTR_IMMUTABLE) {
        out->ImmutableKnown = true;
        out->Immutable = (sx.stx_attributes & STATX_ATTR_IMMUTABLE) != 0;
    }
    return true;
}

bool QueryStatus(const char* path, bool follow, EntryStatus* out) {
    return QueryStatusAt(AT_FDCWD, path, follow, out);
}

// Opens a regular file or directory itself (never through a link) for the flag calls. Opening
// for reading only has no effect on the content; a fifo does not block (O_NONBLOCK).
int OpenForFlags(int at, const char* path) {
    int fd;
    do fd = openat(at, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// -1 when it cannot be told, else 0 or 1.
int ImmutableFlag(int at, const char* path, const EntryStatus& status) {
    if (status.ImmutableKnown) return status.Immutable ? 1 : 0;
    const mode_t mode = status.Info.st_mode;
    if (!S_ISREG(mode) && !S_ISDIR(mode)) return 0;
    int fd = OpenForFlags(at, path);
    if (fd < 0) return -1;
    int flags = 0;
    int result = ioctl(fd, FS_IOC_GETFLAGS, &flags);
    int error = errno;
    close(fd);
    if (result != 0) {
        if (IsIgnorableFlagsError(error)) return 0;
        errno = error;
        return -1;
    }
    return (flags & FS_IMMUTABLE_FL) ? 1 : 0;
}

bool ChangeImmutableFlag(int at, const char* path, bool on) {
    int fd = OpenForFlags(at, path);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        int wanted = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = wanted == flags || ioctl(fd, FS_IOC_SETFLAGS, &wanted) == 0;
    }
    int error = errno;
    close(fd);
    // A file system without the flag cannot carry the attribute at all.
    if (!ok) errno = IsIgnorableFlagsError(error) ? EOPNOTSUPP : error;
    return ok;
}

PlatformFileAttributes AttributesOf(const char* path, const struct stat& info, int immutable) {
    char scratch[NAME_MAX + 2];
    PlatformFileAttributes attributes = 0;
    if (FileName(path, scratch, sizeof(scratch))[0] == '.') attributes |= PLATFORM_FILE_ATTRIBUTE_HIDDEN;
    if (S_ISLNK(info.st_mode)) {
        // A link's own mode bits mean nothing here: it is neither a directory nor executable.
        return attributes | PLATFORM_FILE_ATTRIBUTE_SYMLINK;
    }
    if (S_ISDIR(info.st_mode)) attributes |= PLATFORM_FILE_ATTRIBUTE_DIRECTORY;
    if ((info.st_mode & 0111) == 0111) attributes |= PLATFORM_FILE_ATTRIBUTE_EXECUTABLE;
    if (immutable == 1) attributes |= PLATFORM_FILE_ATTRIBUTE_READONLY;
    return attributes;
}

bool ToCalendar(struct tm* out, int64_t seconds) {
    memset(out, 0, sizeof(*out));
    return Time_ConvertEncodedToTm(out, (double)(seconds < 0 ? 0 : seconds)) != 0;
}

// Shared directories stay writable by their group when one user creates items in them; the
// change is made on the descriptor of the item just created, never on its path again.
void GroupFixup(const char* path, int fd) {
    char parent[PLATFORM_FILE_PATH_CAPACITY];
    DirectoryOf(path, parent, sizeof(parent));
    struct stat directory;
    if (stat(parent, &directory) == 0) Platform_TreeGroupFixup(&directory, fd);
}

bool HasPrefixNoCase(const char* text, const char* prefix) {
    return String_CompareBeginningWithoutCase(text, prefix) == 1;
}

// '*' any run, '?' one byte; ASCII letters without case. Bytes that are not ASCII (including
// names that are not UTF-8) compare exactly.
bool WildcardMatch(const char* pattern, const char* name) {
    const char* starPattern = nullptr;
    const char* starName = nullptr;
    auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? (unsigned char)(c + 32) : c; };
    while (*name) {
        if (*pattern == '*') {
            starPattern = ++pattern;
            starName = name;
        } else if (*pattern &&
                   (*pattern == '?' || fold((unsigned char)*pattern) == fold((unsigned char)*name))) {
            pattern++;
            name++;
        } else if (starPattern) {
            pattern = starPattern;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*') pattern++;
    return *pattern == 0;
}

// Builds "<directory>/.tmp-XXXXXX" beside target; false (ENAMETOOLONG) when it does not fit.
bool TemporaryName(const char* target, char* out, size_t size) {
    char directory[PLATFORM_FILE_PATH_CAPACITY];
    DirectoryOf(target, directory, sizeof(directory));
    int n = snprintf(out, size, "%s%s.tmp-XXXXXX", directory, strcmp(directory, "/") == 0 ? "" : "/");
    if (n < 0 || (size_t)n >= size) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

// A new file of mode 0600 under a free temporary name beside target, target taken in the
// directory `at` (AT_FDCWD: a path). Created exclusively, so nothing that stands there already,
// a link least of all, is ever opened.
int CreateTemporary(int at, const char* target, char* name, size_t size, int extraFlags) {
    if (!TemporaryName(target, name, size)) return -1;
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    char* suffix = name + strlen(name) - 6;
    for (int32_t attempt = 0; attempt < 100; attempt++) {
        unsigned char random[6];
        if (getrandom(random, sizeof(random), 0) != (ssize_t)sizeof(random)) {
            if (errno == EINTR) continue;
            break;
        }
        for (size_t i = 0; i < sizeof(random); i++) suffix[i] = kLetters[random[i] % (sizeof(kLetters) - 1)];
        int fd;
        do fd = openat(at, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | extraFlags, 0600);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0) return fd;
        if (errno != EEXIST) break;
    }
    name[0] = 0;
    return -1;
}

// Extended attributes (and with them the access-control lists) that the target's file system
// accepts; those it refuses, or that only a privileged process may set, are skipped.
void CopyExtendedAttributes(int from, int to) {
    const ssize_t measured = flistxattr(from, nullptr, 0);
    if (measured <= 0 || measured > INT32_MAX / 2) return;
    char* names = static_cast<char*>(Memory_Alloc(measured));
    // The list may have changed between the two calls; a failed read copies nothing.
    ssize_t listSize = flistxattr(from, names, (size_t)measured);
    for (ssize_t at = 0; at < listSize;) {
        const char* name = names + at;
        at += (ssize_t)strlen(name) + 1;
        ssize_t valueSize = fgetxattr(from, name, nullptr, 0);
        if (valueSize < 0 || valueSize > INT32_MAX / 2) continue;
        int32_t allocated = valueSize ? (int32_t)valueSize : 1;
        void* value = Memory_Alloc(allocated);
        valueSize = fgetxattr(from, name, value, (size_t)allocated);
        if (valueSize >= 0) fsetxattr(to, name, value, (size_t)valueSize, 0);
        Memory_Free(value, allocated);
    }
    Memory_Free(names, measured);
}

bool WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        data += n;
        length -= (size_t)n;
    }
    return true;
}

// Renames without replacing; file systems without that form fall back to a check and a rename.
bool RenameNoReplace(int fromAt, const char* from, int toAt, const char* to) {
    if (renameat2(fromAt, from, toAt, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    struct stat existing;
    if (fstatat(toAt, to, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    return renameat(fromAt, from, toAt, to) == 0;
}

bool RenameNoReplace(const char* from, const char* to) {
    return RenameNoReplace(AT_FDCWD, from, AT_FDCWD, to);
}

// Keeps errno across clean-up calls.
struct ErrnoKeeper {
    int Saved;
    ErrnoKeeper() : Saved(errno) {}
    ~ErrnoKeeper() { errno = Saved; }
};

// Whether the folder the destination is made in may take it (Platform_JudgeWriterFolder): a copy
// never lands in a folder another account owns or may change, nor over another's file there.
bool WriterFolderPasses(int toAt, const char* destination) {
    // A folder's own name may end in slashes: the folder it is made in is the one before them.
    char folder[PLATFORM_FILE_PATH_CAPACITY];
    size_t end = strnlen(destination, sizeof(folder));
    if (end >= sizeof(folder)) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(folder, destination, end + 1);
    while (end > 1 && folder[end - 1] == '/') folder[--end] = 0;
    char* slash = strrchr(folder, '/');
    const char* name = slash ? slash + 1 : folder;
    const char* at = ".";
    if (slash == folder) {
        at = "/";
    } else if (slash) {
        *slash = 0;
        at = folder;
    }
    int fd;
    do fd = openat(toAt, at, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    const bool passes = Platform_JudgeWriterFolder(fd, name) != 0;
    ErrnoKeeper keep;
    close(fd);
    return passes;
}

// Source and destination are each taken in their directory (AT_FDCWD: paths).
bool CopyLink(int fromAt, const char* source, int toAt, const char* destination, bool failIfExists) {
    char target[PATH_MAX];
    ssize_t n = readlinkat(fromAt, source, target, sizeof(target) - 1);
    if (n < 0) return false;
    target[n] = 0;
    if (!WriterFolderPasses(toAt, destination)) return false;
    if (failIfExists) return symlinkat(target, toAt, destination) == 0;
    char temporary[PLATFORM_FILE_PATH_CAPACITY + 16];
    // A free name for the new link, taken by a file first and then handed over.
    int fd = CreateTemporary(toAt, destination, temporary, sizeof(temporary), 0);
    if (fd < 0) return false;
    close(fd);
    unlinkat(toAt, temporary, 0);
    if (symlinkat(target, toAt, temporary) != 0) return false;
    if (renameat(toAt, temporary, toAt, destination) != 0) {
        ErrnoKeeper keep;
        unlinkat(toAt, temporary, 0);
        return false;
    }
    return true;
}

bool CopyRegular(int fromAt, const char* source, int toAt, const char* destination, bool failIfExists,
                 void* user, PlatformCopyProgressFunc progress) {
    int from;
    do from = openat(fromAt, source, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    while (from < 0 && errno == EINTR);
    if (from < 0) return false;
    struct stat info;
    if (fstat(from, &info) != 0) {
        ErrnoKeeper keep;
        close(from);
        return false;
    }
    if (const int32_t refused = Platform_DocumentRefusal(info.st_mode)) {
        close(from);
        errno = refused;
        return false;
    }
    // A file that says it is empty but is not (under /proc) is copied whole, up to the bound on
    // such files: some would go on for ever.
    int64_t length = 0;
    const int snapshot = Platform_DocumentSnapshot(from, &length);
    if (snapshot < 0) {
        ErrnoKeeper keep;
        close(from);
        return false;
    }
    from = snapshot;
    if (!WriterFolderPasses(toAt, destination)) {
        ErrnoKeeper keep;
        close(from);
        return false;
    }
    struct stat existing;
    const bool replacing = fstatat(toAt, destination, &existing, AT_SYMLINK_NOFOLLOW) == 0;
    char temporary[PLATFORM_FILE_PATH_CAPACITY + 16];
    int to = CreateTemporary(toAt, destination, temporary, sizeof(temporary), 0);
    if (to < 0) {
        ErrnoKeeper keep;
        close(from);
        return false;
    }
    constexpr int32_t kChunk = 64 * 1024;
    char* chunk = static_cast<char*>(Memory_Alloc(kChunk));
    const uint64_t total = (uint64_t)info.st_size;
    uint64_t copied = 0;
    bool ok = true;
    for (;;) {
        ssize_t n = read(from, chunk, kChunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (n == 0) break;
        if (!WriteAll(to, chunk, (size_t)n)) {
            ok = false;
            break;
        }
        copied += (uint64_t)n;
        if (progress && !progress(user, source, destination, copied, total)) {
            errno = ECANCELED;
            ok = false;
            break;
        }
    }
    if (ok && copied == 0 && progress && !progress(user, source, destination, 0, total)) {
        errno = ECANCELED;
        ok = false;
    }
    Memory_Free(chunk, kChunk);
    if (ok) {
        // Ownership needs privilege; without it the copy belongs to the copier, as a new file would.
        if (fchown(to, info.st_uid, info.st_gid) != 0) errno = 0;
        CopyExtendedAttributes(from, to);
        ok = fchmod(to, info.st_mode & 07777) == 0;
    }
    if (ok) {
        const struct timespec times[2] = {info.st_atim, info.st_mtim};
        ok = futimens(to, times) == 0;
    }
    // The new content must be on the device before it takes the place of the old.
    if (ok && replacing) ok = fsync(to) == 0;
    {
        ErrnoKeeper keep;
        close(from);
    }
    if (close(to) != 0) ok = false;
    if (ok)
        ok = failIfExists ? RenameNoReplace(toAt, temporary, toAt, destination)
                          : renameat(toAt, temporary, toAt, destination) == 0;
    if (!ok) {
        ErrnoKeeper keep;
        unlinkat(toAt, temporary, 0);
    }
    return ok;
}

// The device of the path, else of its nearest existing parent; false when none is found.
bool VolumeOf(const char* path, dev_t* device) {
    char work[PLATFORM_FILE_PATH_CAPACITY];
    snprintf(work, sizeof(work), "%s", path);
    for (;;) {
        struct stat info;
        if (lstat(work, &info) == 0) {
            *device = info.st_dev;
            return true;
        }
        char* slash = strrchr(work, '/');
        if (!slash) {
            if (lstat(".", &info) != 0) return false;
            *device = info.st_dev;
            return true;
        }
        if (slash == work) {
            if (work[1] == 0) return false;
            work[1] = 0;
            continue;
        }
        *slash = 0;
    }
}

struct Search {
    DIR* Directory;
    // The listed directory's text ending in '/' ("." for the current directory); only shown.
    char DirectoryPath[PLATFORM_FIND_PATTERN_CAPACITY];
    char NamePattern[PLATFORM_FIND_PATTERN_CAPACITY];
    // The entry handed out last and what it was when listed: entering it must find that again.
    char Current[PLATFORM_FIND_NAME_CAPACITY];
    bool CurrentKnown;
    dev_t CurrentDevice;
    ino_t CurrentInode;
};

std::atomic<PlatformFindEntryFunc> g_findEntryOverride{nullptr};

// Opens a directory to list it; a final link is refused with ELOOP unless followed (the system
// says ENOTDIR when O_DIRECTORY meets the link itself).
int OpenDirectoryAt(int at, const char* name, bool follow) {
    int fd;
    do fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == ENOTDIR && !follow) {
        struct stat info;
        errno = fstatat(at, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode) ? ELOOP : ENOTDIR;
    }
    return fd;
}

// Takes over an open directory descriptor and positions the search on its first entry.
int64_t StartSearch(int fd, const char* directoryPath, PlatformFindData* findData, void** search) {
    Search* s = static_cast<Search*>(Memory_AllocZero(sizeof(Search)));
    snprintf(s->DirectoryPath, sizeof(s->DirectoryPath), "%s", directoryPath);
    s->Directory = fdopendir(fd);
    if (!s->Directory) {
        ErrnoKeeper keep;
        close(fd);
        Memory_Free(s, sizeof(Search));
        return 0;
    }
    *search = s;
    if (!Platform_FindNextFile(s, findData)) {
        ErrnoKeeper keep;
        Platform_FindClose(search);
        return 0;
    }
    return 1;
}

// The pattern a listing by descriptor shows: its directory text and "*"; empty when too long.
void SetPattern(PlatformFindData* findData, const char* shown) {
    const size_t length = strlen(shown);
    if (length + 2 > sizeof(findData->Pattern)) return;
    memcpy(findData->Pattern, shown, length);
    findData->Pattern[length] = '*';
    findData->Pattern[length + 1] = 0;
}

// "<directory>/<name>/" as shown for a directory listed by descriptor; empty when it does not fit.
void JoinShown(const char* directory, const char* name, char* out, size_t size) {
    const char* prefix = strcmp(directory, ".") == 0 ? "" : directory;
    const int n = snprintf(out, size, "%s%s/", prefix, name);
    if (n < 0 || (size_t)n >= size) out[0] = 0;
}

struct SecurityDescriptor {
    Class Header;
    void* List; // always null: this platform applies no access-control lists
};

int64_t DeleteSecurityObject(void** handle) {
    return Platform_SecurityDelete(handle);
}

struct Replacement {
    int32_t Fd;
    char Target[PLATFORM_FILE_PATH_CAPACITY];
    char Temporary[PLATFORM_FILE_PATH_CAPACITY + 16];
};

} // namespace

// ---- Reading, seeking, truncating ---------------------------------------------------------------

int64_t Platform_Read(int32_t fd, void* buffer, uint32_t length, uint32_t* read) {
    ASSERT_POINTER(read);
    *read = 0;
    if (length > 0) ASSERT_POINTER(buffer);
    if (fd < 0) {
        errno = EBADF;
        return 0;
    }
    // One call reads at most this much on Linux anyway; asking less keeps the count in range.
    size_t ask = length > 0x7ffff000u ? 0x7ffff000u : length;
    ssize_t n;
    do n = ::read(fd, buffer, ask);
    while (n < 0 && errno == EINTR);
    if (n < 0) return 0;
    *read = (uint32_t)n;
    return 1;
}

int64_t Platform_Seek(int32_t fd, int64_t offset, uint32_t origin, uint64_t* position) {
    if (position) *position = 0;
    int whence;
    switch (origin) {
    case 0:
        whence = SEEK_SET;
        break;
    case 1:
        whence = SEEK_CUR;
        break;
    case 2:
        whence = SEEK_END;
        break;
    default:
        errno = EINVAL;
        return 0;
    }
    off_t at = lseek(fd, (off_t)offset, whence);
    if (at < 0) return 0;
    if (position) *position = (uint64_t)at;
    return 1;
}

int64_t Platform_Truncate(int32_t fd, int64_t length) {
    if (length < 0) {
        errno = EINVAL;
        return 0;
    }
    int result;
    do result = ftruncate(fd, (off_t)length);
    while (result != 0 && errno == EINTR);
    return result == 0;
}

// ---- Status -------------------------------------------------------------------------------------

int64_t Platform_Stat(const char* path, struct stat* info) {
    ASSERT_POINTER(info);
    memset(info, 0, sizeof(*info));
    WorkPath resolved;
    if (!Resolve(path, resolved)) return 0;
    if (stat(resolved, info) != 0) {
        memset(info, 0, sizeof(*info));
        return 0;
    }
    return 1;
}

int64_t Platform_LStat(const char* path, struct stat* info) {
    ASSERT_POINTER(info);
    memset(info, 0, sizeof(*info));
    WorkPath resolved;
    if (!Resolve(path, resolved)) return 0;
    if (lstat(resolved, info) != 0) {
        memset(info, 0, sizeof(*info));
        return 0;
    }
    return 1;
}

int64_t Platform_FileExists(const char* path) {
    struct stat info;
    return Platform_LStat(path, &info);
}

int64_t Platform_Access(const char* path, int32_t mode, int32_t climb) {
    WorkPath resolved;
    if (!Resolve(path, resolved)) return 0;
    int wanted = ((mode & PLATFORM_ACCESS_READ) ? R_OK : 0) | ((mode & PLATFORM_ACCESS_WRITE) ? W_OK : 0);
    if (wanted == 0) wanted = F_OK;
    if (climb == 1) {
        for (;;) {
            struct stat info;
            if (stat(resolved, &info) == 0 && S_ISDIR(info.st_mode)) break;
            size_t length = strlen(resolved);
            while (length > 1 && resolved[length - 1] == '/') resolved[--length] = 0;
            char* slash = strrchr(resolved, '/');
            if (!slash) {
                errno = ENOENT;
                return 0;
            }
            if (slash == resolved) {
                if (resolved[1] == 0) {
                    errno = ENOENT;
                    return 0;
                }
                resolved[1] = 0;
            } else {
                *slash = 0;
            }
        }
    }
    return access(resolved, wanted) == 0;
}

int64_t Platform_ChangeMode(void*, const char* path, uint32_t mode) {
    ASSERT_POINTER(path);
    return Platform_TreeChangeMode(PLATFORM_TREE_CWD, path, mode);
}

int64_t Platform_EnsurePathMutable(const char* path) {
    WorkPath resolved;
    if (!Resolve(path, resolved)) return 0;
    return Platform_EnsurePathMutableAt(PLATFORM_TREE_CWD, resolved);
}

int64_t Platform_EnsurePathMutableAt(int32_t at, const char* name) {
    ASSERT_POINTER(name);
    EntryStatus status;
    if (!QueryStatusAt(at, name, false, &status)) return 0;
    if (S_ISLNK(status.Info.st_mode)) return 1;
    int immutable = ImmutableFlag(at, name, status);
    if (immutable == 0) return 1;
    if (immutable < 0) return 0;
    return ChangeImmutableFlag(at, name, false);
}

// ---- Attributes and times -------------------------------------------------------------------------

int64_t Platform_GetFileAttributes(void*, const char* path, PlatformFileAttributes* attributes) {
    ASSERT_POINTER(attributes);
    *attributes = 0;
    WorkPath resolved;
    if (!Resolve(path, resolved)) return 0;
    return Platform_GetFileAttributesAt(PLATFORM_TREE_CWD, resolved, attributes);
}

int64_t Platform_GetFileAttributesAt(int32_t at, const char* name, PlatformFileAttributes* attributes) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(attributes);
    *attributes = 0;
    EntryStatus status;
    if (!QueryStatusAt(at, name, false, &status)) return 0;
    int immutable = S_ISLNK(status.Info.st_mode) ? 0 : ImmutableFlag(at, name, status);
    *attributes = AttributesOf(name, status.Info, immutable);
    return 1;
}

int64_t Platform_ConvertStatFileAttributes(const char* path, const struct stat* info,
                                           PlatformFileAttributes* attributes) {
    ASSERT_POINTER(info);
    ASSERT_POINTER(attributes);
    *attributes = 0;
    WorkPath resolved;
    if (!Resolve(path, resolved)) return 0;
    int immutable = 0;
    EntryStatus status;
    if (!S_ISLNK(info->st_mode) && QueryStatus(resolved, false, &status) &&
        (status.Info.st_mode & S_IFMT) == (info->st_mode & S_IFMT))
        immutable = ImmutableFlag(AT_FDCWD, resolved, status);
    *attributes = AttributesOf(resolved, *info, immutable);
    return 1;
}

int64_t Platform_SetFileAttributes(void*, const char* path, PlatformFileAttributes attributes) {
    WorkPath resolved;
    if (!Resolve(path, resolved)) return 0;
    return Platform_SetFileAttributesAt(PLATFORM_TREE_CWD, resolved, attributes);
}

int64_t Platform_SetFileAttributesAt(int32_t at, const char* name, PlatformFileAttributes attributes) {
    ASSERT_POINTER(name);
    EntryStatus status;
    if (!QueryStatusAt(at, name, false, &status)) return 0;
    char scratch[NAME_MAX + 2];
    if ((attributes & PLATFORM_FILE_ATTRIBUTE_HIDDEN) && FileName(name, scratch, sizeof(scratch))[0] != '.') {
        Log_Error("Hidden attribute not applied (file does not begin with dot) [%s]\n", name);
        errno = EACCES;
        return 0;
    }
    // The mode and flags of a link are those of its target, which lies outside this entry.
    if (S_ISLNK(status.Info.st_mode)) return 1;
    // On the entry itself: one swapped for a link meanwhile is left alone.
    if ((attributes & PLATFORM_FILE_ATTRIBUTE_EXECUTABLE) && (status.Info.st_mode & 0111) != 0111 &&
        !Platform_TreeChangeMode(at, name, (status.Info.st_mode & 07777) | 0111))
        return 0;
    if (attributes & PLATFORM_FILE_ATTRIBUTE_READONLY) {
        int immutable = ImmutableFlag(at, name, status);
        if (immutable < 0) return 0;
        if (immutable == 0 && !ChangeImmutableFlag(at, name, true)) return 0;
    }
    return 1;
}

int64_t Platform_GetFileTime(const char* path, void*, void*, struct tm* creation, struct tm* access,
                             struct tm* modified) {
    if (creation) memset(creation, 0, sizeof(*creation));
    if (access) memset(access, 0, sizeof(*access));
    if (modified) memset(modified, 0, sizeof(*modified));
    WorkPath resolved;
    if (!Resolve(path, resolved)) return 0;
    // The entry's own times: a link is asked about itself, as every tree operation treats it.
    EntryStatus status;
    if (!QueryStatus(resolved, false, &status)) return 0;
    bool ok = true;
    if (creation) ok = ToCalendar(creation, status.HasBirth ? status.Birth : status.Info.st_mtim.tv_sec);
    if (access) ok = ToCalendar(access, status.Info.st_atim.tv_sec);
    if (modified) ok = ToCalendar(modified, status.Info.st_mtim.tv_sec);
    if (!ok) errno = EINVAL;
    return ok;
}

int64_t Platform_SetFileTime(const char* path, void*, void*, const struct tm* creation,
                             const struct tm* access, const struct tm* modified) {
    WorkPath resolved;
    if (!Resolve(path, resolved)) return 0;
    return Platform_SetFileTimeAt(PLATFORM_TREE_CWD, resolved, creation, access, modified);
}

int64_t Platform_SetFileTimeAt(int32_t at, const char* name, const struct tm* creation,
                               const struct tm* access, const struct tm* modified) {
    ASSERT_POINTER(name);
    struct stat info;
    if (fstatat(at, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    // This system keeps no settable birth time: a creation time is accepted and not applied.
    (void)creation;
    const struct tm* given[2] = {access, modified};
    for (int32_t i = 0; i < 2; i++) {
        if (!given[i]) continue;
        double seconds = 0;
        if (!Time_ConvertTmToEncoded(given[i], &seconds)) {
            errno = EINVAL;
            return 0;
        }
        struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
        times[i].tv_sec = (time_t)seconds;
        times[i].tv_nsec = 0;
        // Never through a link: a link in a copied tree gets its own time.
        if (utimensat(at, name, times, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    }
    return 1;
}

int64_t Platform_SetFileGroup(const char* path, const char* name) {
    ASSERT_POINTER(name);
    WorkPath resolved;
    if (!Resolve(path, resolved)) return 0;
    struct stat info;
    if (lstat(resolved, &info) != 0) return 0;
    // Modes and owners change on the entry itself: a link keeps its target's mode out of reach.
    if (HasPrefixNoCase(name, "Everyone") || HasPrefixNoCase(name, "Users") ||
        HasPrefixNoCase(name, "Authenticated"))
        return Platform_TreeChangeMode(PLATFORM_TREE_CWD, resolved,
                                       HasPrefixNoCase(name, "Everyone") ? 0777 : 0775);
    char scratch[4096];
    struct passwd user, *foundUser = nullptr;
    struct group group, *foundGroup = nullptr;
    getpwnam_r(name, &user, scratch, sizeof(scratch), &foundUser);
    if (foundUser && !Platform_TreeChangeOwner(PLATFORM_TREE_CWD, resolved, foundUser->pw_uid, (uint32_t)-1))
        return 0;
    getgrnam_r(name, &group, scratch, sizeof(scratch), &foundGroup);
    if (foundGroup &&
        !Platform_TreeChangeOwner(PLATFORM_TREE_CWD, resolved, (uint32_t)-1, foundGroup->gr_gid))
        return 0;
    if (!foundUser && !foundGroup) {
        errno = EINVAL;
        return 0;
    }
    return 1;
}

// ---- Links, copies, moves, deletes -----------------------------------------------------------------

int64_t Platform_CreateSymLink(const char* linkPath, const char* target, uint32_t) {
    ASSERT_POINTER(linkPath);
    ASSERT_POINTER(target);
    char resolved[PLATFORM_FILE_LINK_CAPACITY];
    if (!Resolve(linkPath, resolved, sizeof(resolved))) return 0;
    if (!target[0] || strnlen(target, PLATFORM_FILE_LINK_CAPACITY) >= PLATFORM_FILE_LINK_CAPACITY) {
        errno = target[0] ? ENAMETOOLONG : ENOENT;
        return 0;
    }
    PlatformErrorCode error = 0;
    if (!Path_CreateDirectory(resolved, 1, &error)) {
        Log_Error("Unable to create symlink parent directory [%s (%d)]\n", resolved, error);
        errno = error > PLATFORM_ERROR_ERRNO_BASE ? error - PLATFORM_ERROR_ERRNO_BASE : EIO;
        return 0;
    }
    if (symlink(target, resolved) != 0) {
        ErrnoKeeper keep;
        Log_Error("Unable to create symbolic link [%s][%d]\n", resolved, errno);
        return 0;
    }
    return 1;
}

int64_t Platform_GetSymLink(const char* linkPath, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size >= 1) buffer[0] = 0;
    if (size < 2) {
        errno = EINVAL;
        return 0;
    }
    WorkPath resolved;
    if (!Resolve(linkPath, resolved)) return 0;
    ssize_t n = readlink(resolved, buffer, (size_t)size);
    if (n >= size) {
        // A cut target would name another file.
        buffer[0] = 0;
        errno = ENAMETOOLONG;
        n = -1;
    }
    if (n < 0) {
        ErrnoKeeper keep;
        buffer[0] = 0;
        Log_Error("Unable to read symbolic link [%s][%d]\n", resolved, errno);
        return 0;
    }
    buffer[n] = 0;
    return 1;
}

int64_t Platform_CopyFile(const char* source, const char* destination, int32_t failIfExists) {
    return Platform_CopyFileWithProgress(source, destination, failIfExists, nullptr, nullptr);
}

int64_t Platform_CopyFileWithProgress(const char* source, const char* destination, int32_t failIfExists,
                                      void* user, PlatformCopyProgressFunc progress) {
    WorkPath from, to;
    if (!Resolve(source, from) || !Resolve(destination, to)) return 0;
    struct stat info, existing;
    if (lstat(from, &info) != 0) return 0;
    if (failIfExists && lstat(to, &existing) == 0) {
        errno = EEXIST;
        return 0;
    }
    if (S_ISLNK(info.st_mode)) return CopyLink(AT_FDCWD, from, AT_FDCWD, to, failIfExists != 0);
    return CopyRegular(AT_FDCWD, from, AT_FDCWD, to, failIfExists != 0, user, progress);
}

int64_t Platform_CopyFileAt(int32_t fromAt, const char* source, int32_t toAt, const char* destination,
                            int32_t failIfExists) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(destination);
    struct stat info, existing;
    if (fstatat(fromAt, source, &info, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    if (failIfExists && fstatat(toAt, destination, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return 0;
    }
    if (S_ISLNK(info.st_mode)) return CopyLink(fromAt, source, toAt, destination, failIfExists != 0);
    return CopyRegular(fromAt, source, toAt, destination, failIfExists != 0, nullptr, nullptr);
}

int64_t Platform_MoveFile(void*, const char* source, const char* destination, uint32_t flags) {
    return Platform_MoveFileWithProgress(source, destination, flags, nullptr, nullptr);
}

int64_t Platform_MoveFileWithProgress(const char* source, const char* destination, uint32_t flags, void* user,
                                      PlatformCopyProgressFunc progress) {
    WorkPath from, to;
    if (!Resolve(source, from) || !Resolve(destination, to)) return 0;
    const bool replace = (flags & PLATFORM_MOVE_REPLACE_EXISTING) != 0;
    struct stat info, existing;
    const bool destinationExists = lstat(to, &existing) == 0;
    if (!replace && destinationExists) {
        errno = EEXIST;
        return 0;
    }
    if (lstat(from, &info) != 0) return 0;
    if (!WriterFolderPasses(AT_FDCWD, to)) return 0;
    dev_t volume = 0;
    const bool otherVolume = VolumeOf(to, &volume) && volume != info.st_dev;
    if (otherVolume) {
        if (!(flags & PLATFORM_MOVE_COPY_ALLOWED)) {
            errno = EXDEV;
            return 0;
        }
        // A whole tree is not copied here: a half-copied directory would be worse than none.
        if (S_ISDIR(info.st_mode)) {
            errno = EXDEV;
            return 0;
        }
        bool copied = S_ISLNK(info.st_mode)
                          ? CopyLink(AT_FDCWD, from, AT_FDCWD, to, !replace)
                          : CopyRegular(AT_FDCWD, from, AT_FDCWD, to, !replace, user, progress);
        if (!copied) return 0;
        if (unlink(from) != 0) {
            // The move did not happen: without a destination before, the copy is taken back.
            ErrnoKeeper keep;
            if (!destinationExists) unlink(to);
            return 0;
        }
    } else {
        if (replace ? rename(from, to) != 0 : !RenameNoReplace(from, to)) return 0;
        if (progress) {
            const uint64_t size = (uint64_t)info.st_size;
            progress(user, from, to, size, size);
        }
    }
    if (flags & PLATFORM_MOVE_WRITE_THROUGH) {
        int fd = open(to, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            bool synced = fsync(fd) == 0 || errno == EINVAL;
            ErrnoKeeper keep;
            close(fd);
            if (!synced) return 0;
        }
        errno = 0;
    }
    return 1;
}

int64_t Platform_DeleteFile(void*, const char* path) {
    WorkPath resolved;
    if (!Resolve(path, resolved)) return 0;
    return unlink(resolved) == 0;
}

int64_t Platform_DeleteFileOnReboot(const char* path) {
    return Platform_DeleteFile(nullptr, path);
}

int64_t Platform_CreateDirectory(const char* path) {
    WorkPath resolved;
    if (!Resolve(path, resolved)) return 0;
    return Platform_TreeCreateDirectory(PLATFORM_TREE_CWD, resolved);
}

int64_t Platform_RemoveDirectory(const char* path) {
    WorkPath resolved;
    if (!Resolve(path, resolved)) return 0;
    return rmdir(resolved) == 0;
}

// ---- Whole-file replacement ---------------------------------------------------------------------

int32_t Platform_ReplaceBegin(const char* path, int32_t openFlags, void** replacement) {
    ASSERT_POINTER(replacement);
    *replacement = nullptr;
    WorkPath resolved;
    if (!Resolve(path, resolved)) return -1;
    Replacement* r = static_cast<Replacement*>(Memory_AllocZero(sizeof(Replacement)));
    r->Fd = -1;
    // A link stays a link: the file it points at is the one replaced.
    // realpath allocates (process heap): its own buffer form needs PATH_MAX bytes.
    char* real = realpath(resolved, nullptr);
    if (!real || strlen(real) >= sizeof(r->Target)) {
        if (real) errno = ENAMETOOLONG;
        ErrnoKeeper keep;
        free(real);
        Memory_Free(r, sizeof(Replacement));
        return -1;
    }
    memcpy(r->Target, real, strlen(real) + 1);
    free(real);
    struct stat info;
    bool regular = stat(r->Target, &info) == 0;
    if (regular && !S_ISREG(info.st_mode)) {
        errno = S_ISDIR(info.st_mode) ? EISDIR : ENOTSUP;
        regular = false;
    }
    if (!regular) {
        ErrnoKeeper keep;
        Memory_Free(r, sizeof(Replacement));
        return -1;
    }
    // The new file is always readable and writable by its descriptor, which serves either word.
    (void)openFlags;
    r->Fd = CreateTemporary(AT_FDCWD, r->Target, r->Temporary, sizeof(r->Temporary), 0);
    if (r->Fd < 0) {
        ErrnoKeeper keep;
        Memory_Free(r, sizeof(Replacement));
        return -1;
    }
    if (fchown(r->Fd, info.st_uid, info.st_gid) != 0) errno = 0;
    int from = open(r->Target, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (from >= 0) {
        CopyExtendedAttributes(from, r->Fd);
        close(from);
    }
    if (fchmod(r->Fd, info.st_mode & 07777) != 0) {
        ErrnoKeeper keep;
        close(r->Fd);
        unlink(r->Temporary);
        Memory_Free(r, sizeof(Replacement));
        return -1;
    }
    *replacement = r;
    return r->Fd;
}

int64_t Platform_ReplaceCommit(void** replacement) {
    ASSERT_POINTER(replacement);
    Replacement* r = static_cast<Replacement*>(*replacement);
    if (!r) return 1;
    *replacement = nullptr;
    bool ok = fsync(r->Fd) == 0;
    if (close(r->Fd) != 0) ok = false;
    if (ok) ok = rename(r->Temporary, r->Target) == 0;
    if (ok) {
        // The new name is only lasting once its directory is on the device too.
        char directory[PLATFORM_FILE_PATH_CAPACITY];
        DirectoryOf(r->Target, directory, sizeof(directory));
        int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
        errno = 0;
    } else {
        ErrnoKeeper keep;
        unlink(r->Temporary);
    }
    Memory_Free(r, sizeof(Replacement));
    return ok;
}

int64_t Platform_ReplaceAbort(void** replacement) {
    ASSERT_POINTER(replacement);
    Replacement* r = static_cast<Replacement*>(*replacement);
    if (!r) return 1;
    *replacement = nullptr;
    ErrnoKeeper keep;
    close(r->Fd);
    unlink(r->Temporary);
    Memory_Free(r, sizeof(Replacement));
    return 1;
}

// ---- Space, locks, maps ---------------------------------------------------------------------------

int64_t Platform_GetFreeDiskSpace(const char* directory, uint64_t* bytes) {
    ASSERT_POINTER(bytes);
    *bytes = 0;
    WorkPath resolved;
    if (!Resolve(directory, resolved)) return 0;
    size_t length = strlen(resolved);
    if (length == 0 || resolved[length - 1] != '/') {
        Log_Debug("Path is invalid (%s)\n", resolved);
        errno = EINVAL;
        return 0;
    }
    struct statvfs info;
    if (statvfs(resolved, &info) != 0) return 0;
    *bytes = (uint64_t)info.f_frsize * (uint64_t)info.f_bavail;
    return 1;
}

int32_t Platform_Lock(int32_t fd, int32_t operation, int64_t length) {
    if (operation < PLATFORM_LOCK_UNLOCK || operation > PLATFORM_LOCK_SHARED_WAIT) {
        errno = EINVAL;
        return -1;
    }
    struct flock region;
    memset(&region, 0, sizeof(region));
    region.l_type = operation == PLATFORM_LOCK_UNLOCK           ? F_UNLCK
                    : operation <= PLATFORM_LOCK_EXCLUSIVE_WAIT ? F_WRLCK
                                                                : F_RDLCK;
    region.l_whence = SEEK_CUR;
    region.l_start = 0;
    region.l_len = (off_t)length;
    const int command = (operation == PLATFORM_LOCK_EXCLUSIVE_WAIT || operation == PLATFORM_LOCK_SHARED_WAIT)
                            ? F_SETLKW
                            : F_SETLK;
    for (int32_t attempt = 0; attempt < 10; attempt++)
        if (fcntl(fd, command, &region) == 0) return 0;
    return -1;
}

int64_t Platform_SparseMode() {
    errno = ENOTSUP;
    return 0;
}

int64_t Platform_MapViewOfFile(int32_t fd, int32_t accessFlags, uint64_t, void** address, uint64_t* length) {
    ASSERT_POINTER(address);
    ASSERT_POINTER(length);
    *address = nullptr;
    uint64_t size = *length;
    if (size == 0) {
        struct stat info;
        if (fstat(fd, &info) != 0) return 0;
        size = (uint64_t)info.st_size;
        *length = size;
    }
    if (size == 0) {
        errno = EINVAL;
        return 0;
    }
    int protection = PROT_READ | ((accessFlags & PLATFORM_ACCESS_WRITE) ? PROT_WRITE : 0);
    void* mapped = mmap(nullptr, (size_t)size, protection, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) return 0;
    *address = mapped;
    return 1;
}

int64_t Platform_UnmapViewOfFile(void** address, uint64_t length) {
    ASSERT_POINTER(address);
    if (!*address) return 1;
    bool ok = munmap(*address, (size_t)length) == 0;
    *address = nullptr;
    return ok;
}

// ---- Directory search -----------------------------------------------------------------------------

int64_t Platform_FindFirstFile(const char* pattern, PlatformFindData* findData, void** search) {
    ASSERT_POINTER(findData);
    ASSERT_POINTER(search);
    *search = nullptr;
    memset(findData, 0, sizeof(*findData));
    WorkPath resolved;
    if (!Resolve(pattern, resolved)) return 0;
    memcpy(findData->Pattern, resolved, sizeof(resolved));
    Search* s = static_cast<Search*>(Memory_AllocZero(sizeof(Search)));
    const char* slash = strrchr(resolved, '/');
    if (!slash) {
        snprintf(s->DirectoryPath, sizeof(s->DirectoryPath), ".");
        snprintf(s->NamePattern, sizeof(s->NamePattern), "%s", resolved);
    } else {
        size_t length = (size_t)(slash - resolved) + 1;
        memcpy(s->DirectoryPath, resolved, length);
        s->DirectoryPath[length] = 0;
        snprintf(s->NamePattern, sizeof(s->NamePattern), "%s", slash + 1);
    }
    s->Directory = opendir(s->DirectoryPath);
    if (!s->Directory) {
        ErrnoKeeper keep;
        Memory_Free(s, sizeof(Search));
        return 0;
    }
    *search = s;
    if (!Platform_FindNextFile(s, findData)) {
        ErrnoKeeper keep;
        Platform_FindClose(search);
        return 0;
    }
    return 1;
}

int64_t Platform_FindNextFile(void* search, PlatformFindData* findData) {
    ASSERT_POINTER(findData);
    Search* s = static_cast<Search*>(search);
    if (!s || !s->Directory) {
        errno = EBADF;
        return 0;
    }
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(s->Directory);
        if (!entry) {
            if (errno == 0) errno = ENOENT;
            return 0;
        }
        if (s->NamePattern[0] && !WildcardMatch(s->NamePattern, entry->d_name)) continue;
        findData->Attributes = 0;
        memset(&findData->CreationTime, 0, sizeof(findData->CreationTime));
        memset(&findData->AccessTime, 0, sizeof(findData->AccessTime));
        memset(&findData->ModifiedTime, 0, sizeof(findData->ModifiedTime));
        findData->Size = 0;
        findData->AllocatedSize = 0;
        findData->ShortName[0] = 0;
        snprintf(findData->Name, sizeof(findData->Name), "%s", entry->d_name);
        snprintf(s->Current, sizeof(s->Current), "%s", entry->d_name);
        s->CurrentKnown = false;
        // The entry is asked about by name in the directory listed, never by a path that could
        // lead elsewhere by now. One that vanished meanwhile keeps only its name.
        const int at = dirfd(s->Directory);
        EntryStatus status;
        if (QueryStatusAt(at, entry->d_name, false, &status)) {
            const struct stat& info = status.Info;
            ToCalendar(&findData->CreationTime, status.HasBirth ? status.Birth : info.st_mtim.tv_sec);
            ToCalendar(&findData->AccessTime, info.st_atim.tv_sec);
            ToCalendar(&findData->ModifiedTime, info.st_mtim.tv_sec);
            findData->Size = (uint64_t)info.st_size;
            findData->AllocatedSize = (uint64_t)info.st_blocks * 512u;
            int immutable = S_ISLNK(info.st_mode) ? 0 : ImmutableFlag(at, entry->d_name, status);
            findData->Attributes = AttributesOf(entry->d_name, info, immutable);
            s->CurrentKnown = true;
            s->CurrentDevice = info.st_dev;
            s->CurrentInode = info.st_ino;
        }
        if (PlatformFindEntryFunc hook = g_findEntryOverride.load()) hook(entry->d_name);
        errno = 0;
        return 1;
    }
}

int64_t Platform_FindFirstFileAt(int32_t at, const char* name, uint32_t follow, PlatformFindData* findData,
                                 void** search) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(findData);
    ASSERT_POINTER(search);
    *search = nullptr;
    memset(findData, 0, sizeof(*findData));
    // Without its trailing separators: "link/" would make the system follow the link.
    WorkPath directory;
    size_t length = strnlen(name, sizeof(directory));
    if (length >= sizeof(directory)) {
        errno = ENAMETOOLONG;
        return 0;
    }
    memcpy(directory, name, length + 1);
    while (length > 1 && directory[length - 1] == '/') directory[--length] = 0;
    const int fd = OpenDirectoryAt(at, directory, follow != 0);
    if (fd < 0) return 0;
    char shown[PLATFORM_FIND_PATTERN_CAPACITY];
    if (strcmp(directory, "/") == 0)
        snprintf(shown, sizeof(shown), "/");
    else
        JoinShown(".", directory, shown, sizeof(shown));
    SetPattern(findData, shown);
    return StartSearch(fd, shown, findData, search);
}

int64_t Platform_FindFirstFileBelow(void* parent, PlatformFindData* findData, void** search) {
    ASSERT_POINTER(findData);
    ASSERT_POINTER(search);
    *search = nullptr;
    memset(findData, 0, sizeof(*findData));
    const Search* p = static_cast<const Search*>(parent);
    if (!p || !p->Directory || !p->CurrentKnown) {
        errno = ENOENT;
        return 0;
    }
    const int fd = OpenDirectoryAt(dirfd(p->Directory), p->Current, false);
    if (fd < 0) return 0;
    // Another directory put in its place since the listing is not the one that was listed.
    struct stat info;
    if (fstat(fd, &info) != 0 || info.st_dev != p->CurrentDevice || info.st_ino != p->CurrentInode) {
        close(fd);
        errno = ESTALE;
        return 0;
    }
    char shown[PLATFORM_FIND_PATTERN_CAPACITY];
    JoinShown(p->DirectoryPath, p->Current, shown, sizeof(shown));
    SetPattern(findData, shown);
    return StartSearch(fd, shown, findData, search);
}

int64_t Platform_FindRewind(void* search, PlatformFindData* findData) {
    ASSERT_POINTER(findData);
    Search* s = static_cast<Search*>(search);
    if (!s || !s->Directory) {
        errno = EBADF;
        return 0;
    }
    rewinddir(s->Directory);
    return Platform_FindNextFile(s, findData);
}

int32_t Platform_FindGetDescriptor(void* search) {
    const Search* s = static_cast<const Search*>(search);
    return s && s->Directory ? dirfd(s->Directory) : -1;
}

int64_t Platform_FindEntryOverride(PlatformFindEntryFunc function) {
    g_findEntryOverride.store(function);
    return 1;
}

int64_t Platform_FindClose(void** search) {
    ASSERT_POINTER(search);
    Search* s = static_cast<Search*>(*search);
    if (!s) return 1;
    *search = nullptr;
    bool ok = !s->Directory || closedir(s->Directory) == 0;
    Memory_Free(s, sizeof(Search));
    return ok;
}

// ---- Access-control lists -------------------------------------------------------------------------

int64_t Platform_SecurityCreate(const char* groupClass, void** descriptor) {
    ASSERT_POINTER(groupClass);
    ASSERT_POINTER(descriptor);
    *descriptor = nullptr;
    if (!HasPrefixNoCase(groupClass, "Every") && !HasPrefixNoCase(groupClass, "Users") &&
        !HasPrefixNoCase(groupClass, "Authenticated")) {
        errno = EINVAL;
        return 0;
    }
    SecurityDescriptor* d = static_cast<SecurityDescriptor*>(Memory_AllocZero(sizeof(SecurityDescriptor)));
    d->Header.ClassId = PLATFORM_SECURITY_CLASS_ID;
    d->Header.RefCount = 1;
    d->Header.Delete = DeleteSecurityObject;
    *descriptor = d;
    return 1;
}

int64_t Platform_SecurityGetDescriptor(void* descriptor, void** list) {
    ASSERT_POINTER(list);
    *list = nullptr;
    CLASS_CHECK(descriptor, PLATFORM_SECURITY_CLASS_ID);
    *list = static_cast<SecurityDescriptor*>(descriptor)->List;
    return 1;
}

int64_t Platform_SecurityDelete(void** descriptor) {
    ASSERT_POINTER(descriptor);
    if (!*descriptor) return 1;
    CLASS_CHECK(*descriptor, PLATFORM_SECURITY_CLASS_ID);
    SecurityDescriptor* d = static_cast<SecurityDescriptor*>(*descriptor);
    d->Header.ClassId = 0;
    Memory_Free(d, sizeof(SecurityDescriptor));
    *descriptor = nullptr;
    return 1;
}

// ---- Descriptors -----------------------------------------------------------------------------

int32_t Platform_Open(const char* path, int32_t openFlags, int32_t, int32_t permissions) {
    ASSERT_POINTER(path);
    // The mode asked for, less the creation mask: a private file is never widened here.
    const mode_t mode = (mode_t)(permissions & 07777);
    // Opened without waiting: a FIFO or a terminal at the path would otherwise hold the caller in
    // open() until some other process appears at its far end, which may be never.
    int fd;
    do fd = open(path, (openFlags & ~O_CREAT) | O_CLOEXEC | O_NONBLOCK, mode);
    while (fd < 0 && errno == EINTR);
    if (fd < 0 && (openFlags & O_CREAT)) {
        // Only the name itself is created: a dangling link at the path would otherwise make the
        // file wherever it points, a place another user may have chosen.
        do fd = open(path, openFlags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, mode);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0) GroupFixup(path, fd);
    }
    // Without waiting, a FIFO with no reader (or a socket) refuses a writer as "no such device":
    // told as what it is, the refusal below.
    if (fd < 0 && errno == ENXIO) {
        struct stat info;
        if (stat(path, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))) errno = ENOTSUP;
        else errno = ENXIO;
    }
    if (fd < 0) return fd;
    // A FIFO or a socket is no file: reads from it wait on another process and end when it
    // pleases. Refused here, so that no caller that names a path reads one by accident.
    struct stat info;
    int refused = 0;
    if (fstat(fd, &info) != 0)
        refused = errno ? errno : EBADF;
    else if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))
        refused = ENOTSUP;
    if (refused) {
        close(fd);
        errno = refused;
        return -1;
    }
    // The caller's own blocking mode for the transfers that follow.
    if (!(openFlags & O_NONBLOCK)) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            ErrnoKeeper keep;
            close(fd);
            return -1;
        }
    }
    return fd;
}

int64_t Platform_Write(int32_t fd, const void* data, int32_t length, int32_t* written) {
    if (written) *written = 0;
    if (fd < 0 || !data || length < 0) return 0;
    const char* bytes = static_cast<const char*>(data);
    int32_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, bytes + done, (size_t)(length - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        done += (int32_t)n;
    }
    if (written) *written = done;
    return done == length;
}

int64_t Platform_Sync(int32_t fd) { return fd >= 0 && fsync(fd) == 0; }

int64_t Platform_Close(int32_t fd) { return fd >= 0 && close(fd) == 0; }
