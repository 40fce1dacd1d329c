// Opening and stamping download output files through descriptors.
#include "core/linux/platform_output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/random.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/linux/platform_private_directory.h"
#include "core/runtime/string_expand.h"

namespace {

void SetError(PlatformErrorCode* error, int32_t value) {
    if (error) *error = value ? PLATFORM_ERROR_ERRNO_BASE + value : 0;
}

int32_t Fail(int32_t fd, int32_t value, PlatformErrorCode* error) {
    if (fd >= 0) close(fd);
    SetError(error, value);
    return -1;
}

// The folder of `path` (opened, close-on-exec) and the offset of its last name; -1 with errno.
int OpenFolderOf(const char* path, size_t* nameOffset) {
    const char* slash = strrchr(path, '/');
    *nameOffset = slash ? (size_t)(slash - path) + 1 : 0;
    const char* name = path + *nameOffset;
    if (!name[0] || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        errno = EINVAL;
        return -1;
    }
    char folder[4096];
    if (!slash) {
        strcpy(folder, ".");
    } else {
        const size_t length = slash == path ? 1 : (size_t)(slash - path);
        if (length >= sizeof(folder)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(folder, path, length);
        folder[length] = 0;
    }
    int at;
    do at = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (at < 0 && errno == EINTR);
    return at;
}

// Opens `path` as Platform_OpenOutputFile does and closes it again: 1 when it is (now) ours.
int64_t Probe(const char* path, uint32_t create, uint32_t truncate, PlatformErrorCode* error) {
    size_t offset = 0;
    const int at = OpenFolderOf(path, &offset);
    if (at < 0) {
        SetError(error, errno);
        return 0;
    }
    char folder[32];
    snprintf(folder, sizeof(folder), "/proc/self/fd/%d", at);
    uint64_t size = 0;
    const int32_t fd = Platform_OpenOutputFile(folder, path + offset, create, truncate, &size, error);
    close(at);
    if (fd < 0) return 0;
    close(fd);
    return 1;
}

} // namespace

int32_t Platform_OpenOutputFile(const char* directory, const char* name, uint32_t create, uint32_t truncate,
                                uint64_t* size, PlatformErrorCode* error) {
    SetError(error, 0);
    if (size) *size = 0;
    if (!directory || !name || !name[0]) return Fail(-1, EINVAL, error);
    // A location the expander could not name is no name in the current folder.
    if (String_ExpandFindLocation(directory, nullptr, 0) || String_ExpandFindLocation(name, nullptr, 0))
        return Fail(-1, EINVAL, error);
    int at;
    do at = open(directory[0] ? directory : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (at < 0 && errno == EINTR);
    if (at < 0) return Fail(-1, errno, error);
    if (!Platform_JudgeWriterFolder(at, name)) {
        const int refused = errno;
        close(at);
        return Fail(-1, refused, error);
    }
    // Non-blocking while it is unknown what the name is: a FIFO put there would hold the open.
    const int flags = O_RDWR | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK;
    int fd;
    do fd = openat(at, name, flags);
    while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == ENOENT && create) {
        // Exclusive: whatever appeared meanwhile under the name, a link least of all, is not opened.
        do fd = openat(at, name, flags | O_CREAT | O_EXCL, 0600);
        while (fd < 0 && errno == EINTR);
    }
    const int openError = errno;
    close(at);
    if (fd < 0) return Fail(-1, openError, error);
    struct stat info;
    if (fstat(fd, &info) != 0) return Fail(fd, errno, error);
    if (!S_ISREG(info.st_mode)) return Fail(fd, S_ISDIR(info.st_mode) ? EISDIR : EINVAL, error);
    // A file another user made first under the name (in a shared folder) is not written into:
    // its owner could read or change what lands there, and a download would adopt their bytes.
    if (info.st_uid != geteuid()) return Fail(fd, EPERM, error);
    const int current = fcntl(fd, F_GETFL);
    if (current < 0 || fcntl(fd, F_SETFL, current & ~O_NONBLOCK) != 0) return Fail(fd, errno, error);
    if (size) *size = (uint64_t)info.st_size;
    if (truncate && ftruncate(fd, 0) != 0) return Fail(fd, errno, error);
    return fd;
}

int32_t Platform_DuplicateDescriptor(int32_t fd) {
    if (fd < 0) return -1;
    return fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

int64_t Platform_SetDescriptorModifiedTime(int32_t fd, double encodedTime, PlatformErrorCode* error) {
    SetError(error, 0);
    if (fd < 0 || !std::isfinite(encodedTime) || encodedTime < 0 || encodedTime > 253402300799.0) {
        SetError(error, fd < 0 ? EBADF : EINVAL);
        return 0;
    }
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = (time_t)encodedTime;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    if (futimens(fd, times) != 0) {
        SetError(error, errno);
        return 0;
    }
    return 1;
}

int64_t Platform_TakePartialFile(const char* path, const char* suffix, uint32_t truncate, char* partial,
                                 int32_t capacity, uint32_t* ownName, PlatformErrorCode* refused,
                                 PlatformErrorCode* error) {
    SetError(error, 0);
    SetError(refused, 0);
    if (ownName) *ownName = 0;
    if (!path || !suffix || !partial || capacity <= 0 || String_ExpandFindLocation(path, nullptr, 0)) {
        SetError(error, EINVAL);
        if (partial && capacity > 0) partial[0] = 0;
        return 0;
    }
    partial[0] = 0;
    char name[4096];
    const int length = snprintf(name, sizeof(name), "%s%s", path, suffix);
    if (length < 0 || length >= capacity || (size_t)length >= sizeof(name)) {
        SetError(error, ENAMETOOLONG);
        return 0;
    }
    PlatformErrorCode plain = 0;
    if (Probe(name, 1, truncate, &plain)) {
        memcpy(partial, name, (size_t)length + 1);
        return 1;
    }
    // A folder that is missing or closed to us fails the same way under any name.
    const int32_t reason = plain - PLATFORM_ERROR_ERRNO_BASE;
    if (reason == ENOENT || reason == EACCES || reason == EROFS || reason == ENOSPC || reason == EDQUOT ||
        reason == ENOTDIR) {
        if (error) *error = plain;
        return 0;
    }
    if (refused) *refused = plain;
    for (int32_t attempt = 0; attempt < 16; attempt++) {
        unsigned char random[8];
        if (getrandom(random, sizeof(random), 0) != (ssize_t)sizeof(random)) {
            if (errno == EINTR) continue;
            SetError(error, errno);
            return 0;
        }
        const int own = snprintf(name, sizeof(name), "%s%s-%02x%02x%02x%02x%02x%02x%02x%02x", path, suffix,
                                 random[0], random[1], random[2], random[3], random[4], random[5], random[6],
                                 random[7]);
        if (own < 0 || own >= capacity || (size_t)own >= sizeof(name)) {
            SetError(error, ENAMETOOLONG);
            return 0;
        }
        // Exclusive and new: a name found taken (by chance or by someone guessing) is passed over.
        size_t offset = 0;
        const int at = OpenFolderOf(name, &offset);
        if (at < 0) {
            SetError(error, errno);
            return 0;
        }
        if (!Platform_JudgeWriterFolder(at, nullptr)) {
            SetError(error, errno);
            close(at);
            return 0;
        }
        int fd;
        do fd = openat(at, name + offset, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        while (fd < 0 && errno == EINTR);
        const int made = errno;
        close(at);
        if (fd >= 0) {
            close(fd);
            memcpy(partial, name, (size_t)own + 1);
            if (ownName) *ownName = 1;
            return 1;
        }
        if (made != EEXIST) {
            SetError(error, made);
            return 0;
        }
    }
    SetError(error, EEXIST);
    return 0;
}

int64_t Platform_RemoveOwnFile(const char* path, PlatformErrorCode* error) {
    SetError(error, 0);
    if (!path) {
        SetError(error, EINVAL);
        return 0;
    }
    size_t offset = 0;
    const int at = OpenFolderOf(path, &offset);
    if (at < 0) {
        const int reason = errno;
        if (reason == ENOENT) return 1;
        SetError(error, reason);
        return 0;
    }
    struct stat info;
    int reason = 0;
    if (fstatat(at, path + offset, &info, AT_SYMLINK_NOFOLLOW) != 0)
        reason = errno == ENOENT ? 0 : errno;
    else if (S_ISDIR(info.st_mode))
        reason = EISDIR;
    else if (info.st_uid != geteuid() || !(S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)))
        reason = EPERM;
    else if (unlinkat(at, path + offset, 0) != 0 && errno != ENOENT)
        reason = errno;
    close(at);
    SetError(error, reason);
    return reason == 0;
}

int64_t Platform_RenameOwnFile(const char* from, const char* to, PlatformErrorCode* error) {
    SetError(error, 0);
    if (!from || !to) {
        SetError(error, EINVAL);
        return 0;
    }
    size_t fromOffset = 0, toOffset = 0;
    const int source = OpenFolderOf(from, &fromOffset);
    if (source < 0) {
        SetError(error, errno);
        return 0;
    }
    const int target = OpenFolderOf(to, &toOffset);
    if (target < 0) {
        SetError(error, errno);
        close(source);
        return 0;
    }
    struct stat info;
    int reason = 0;
    if (fstatat(source, from + fromOffset, &info, AT_SYMLINK_NOFOLLOW) != 0)
        reason = errno;
    else if (S_ISLNK(info.st_mode))
        reason = ELOOP;
    else if (!S_ISREG(info.st_mode))
        reason = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    else if (info.st_uid != geteuid())
        reason = EPERM;
    else if (!Platform_JudgeWriterFolder(target, to + toOffset))
        reason = errno;
    else if (renameat(source, from + fromOffset, target, to + toOffset) != 0)
        reason = errno;
    close(source);
    close(target);
    SetError(error, reason);
    return reason == 0;
}
