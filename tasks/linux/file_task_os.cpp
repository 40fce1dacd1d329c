// Opening files for the file task types on Linux.
#include "tasks/linux/file_task_os.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/platform/path.h"

int32_t FileTaskOs_OpenRegularForWrite(const char* path) {
    char resolved[PATH_SIZE];
    if (!Path_Resolve(path, resolved, PATH_SIZE)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // O_NONBLOCK: a fifo put in the file's place must not hang the task.
    int fd;
    do fd = open(resolved, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat info{};
    if (fstat(fd, &info) != 0) {
        const int reason = errno;
        close(fd);
        errno = reason;
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        close(fd);
        errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    return fd;
}
