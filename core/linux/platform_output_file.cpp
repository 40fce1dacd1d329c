// Opening and stamping download output files through descriptors.
#include "core/linux/platform_output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

namespace {

void SetError(PlatformErrorCode* error, int32_t value) {
    if (error) *error = value ? PLATFORM_ERROR_ERRNO_BASE + value : 0;
}

int32_t Fail(int32_t fd, int32_t value, PlatformErrorCode* error) {
    if (fd >= 0) close(fd);
    SetError(error, value);
    return -1;
}

} // namespace

int32_t Platform_OpenOutputFile(const char* directory, const char* name, uint32_t create, uint32_t truncate,
                                uint64_t* size, PlatformErrorCode* error) {
    SetError(error, 0);
    if (size) *size = 0;
    if (!directory || !name || !name[0]) return Fail(-1, EINVAL, error);
    int at;
    do at = open(directory[0] ? directory : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (at < 0 && errno == EINTR);
    if (at < 0) return Fail(-1, errno, error);
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
