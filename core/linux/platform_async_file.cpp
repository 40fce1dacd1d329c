// Positioned transfers and cache control for the asynchronous files on Linux: pread, pwrite,
// posix_fadvise and fstat.
#include "core/linux/platform_async_file.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// off_t is signed: offsets above its range name no position.
bool OffsetFits(uint64_t offset) {
    return offset <= (uint64_t)INT64_MAX;
}

} // namespace

int32_t Platform_AsyncFileReadAt(int32_t fd, uint64_t offset, void* buffer, uint32_t length,
                                 uint32_t* transferred) {
    if (transferred) *transferred = 0;
    if (!OffsetFits(offset)) return EINVAL;
    if (length == 0) return 0;
    if (!buffer) return EFAULT;
    ssize_t n;
    do n = pread(fd, buffer, (size_t)length, (off_t)offset);
    while (n < 0 && errno == EINTR);
    if (n < 0) return errno ? errno : EIO;
    if (transferred) *transferred = (uint32_t)n;
    return 0;
}

int32_t Platform_AsyncFileWriteAt(int32_t fd, uint64_t offset, const void* buffer, uint32_t length,
                                  uint32_t* transferred) {
    if (transferred) *transferred = 0;
    if (!OffsetFits(offset)) return EINVAL;
    if (length == 0) return 0;
    if (!buffer) return EFAULT;
    ssize_t n;
    do n = pwrite(fd, buffer, (size_t)length, (off_t)offset);
    while (n < 0 && errno == EINTR);
    if (n < 0) return errno ? errno : EIO;
    if (n == 0) return EIO;
    if (transferred) *transferred = (uint32_t)n;
    return 0;
}

int64_t Platform_AsyncFileSetNoCache(int32_t fd) {
    int result = posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    if (result == 0) result = posix_fadvise(fd, 0, 0, POSIX_FADV_NOREUSE);
    // posix_fadvise answers the error instead of setting errno.
    if (result != 0) errno = result;
    return result == 0;
}

int64_t Platform_AsyncFileDropCache(int32_t fd, uint64_t offset, uint64_t length) {
    if (!OffsetFits(offset) || length > (uint64_t)INT64_MAX) {
        errno = EINVAL;
        return 0;
    }
    int result = posix_fadvise(fd, (off_t)offset, (off_t)length, POSIX_FADV_DONTNEED);
    if (result != 0) errno = result;
    return result == 0;
}

int64_t Platform_AsyncFileGetStatus(int32_t fd, uint64_t* size, uint32_t* isDirectory) {
    if (size) *size = 0;
    if (isDirectory) *isDirectory = 0;
    struct stat info;
    if (fstat(fd, &info) != 0) return 0;
    if (size) *size = info.st_size > 0 ? (uint64_t)info.st_size : 0;
    if (isDirectory) *isDirectory = S_ISDIR(info.st_mode) ? 1 : 0;
    return 1;
}

int32_t Platform_AsyncFileCheckRegular(int32_t fd) {
    struct stat info;
    if (fstat(fd, &info) != 0) return errno ? errno : EBADF;
    if (S_ISREG(info.st_mode)) return 0;
    return S_ISDIR(info.st_mode) ? EISDIR : ENOTSUP;
}
