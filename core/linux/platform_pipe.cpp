// Named pipes as FIFO special files: each side opens the FIFO read-write, so neither open nor
// I/O waits for a peer, and whichever side closes removes the file.
#include "core/linux/platform_pipe.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

struct PlatformPipe {
    Class Header;
    char Path[PLATFORM_PIPE_PATH_SIZE];
    int32_t BufferSize;
    int32_t Flags;
    int32_t Descriptor;
    // The FIFO that was opened: close removes the path only while it still names this one.
    dev_t Device;
    ino_t Inode;
};

// A null handle is a closed pipe; anything else must be a pipe.
PlatformPipe* OpenPipe(void* handle) {
    if (!handle) return nullptr;
    CLASS_CHECK(handle, PLATFORM_PIPE_CLASS_ID);
    PlatformPipe* pipe = static_cast<PlatformPipe*>(handle);
    return pipe->Descriptor >= 0 ? pipe : nullptr;
}

bool IsOwnFifo(const struct stat& info) {
    return S_ISFIFO(info.st_mode) && info.st_uid == geteuid();
}

// Whoever owns a FIFO, or may open it, reads what is sent through it and can feed it: only one
// of this user that nobody else may open carries data.
bool IsPrivateFifo(const struct stat& info) {
    return IsOwnFifo(info) && (info.st_mode & 077) == 0;
}

void LogRefused(const char* path) {
    Log_Error("Pipe %s refused: not owned by this user or open to others\n", path);
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A descriptor of the directory that holds the path and the path's last component in *leaf:
// every later step (the look at an existing entry, its removal, the create and the open) then
// acts in that one directory, however its path may change meanwhile. -1 with errno set.
int OpenParent(const char* path, const char** leaf) {
    const char* slash = strrchr(path, '/');
    *leaf = slash ? slash + 1 : path;
    if (!**leaf) {
        errno = EISDIR;
        return -1;
    }
    char directory[PLATFORM_PIPE_PATH_SIZE] = ".";
    if (slash == path) {
        directory[0] = '/';
    } else if (slash) {
        memcpy(directory, path, (size_t)(slash - path));
        directory[slash - path] = 0;
    }
    return open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Creates the FIFO, replacing a FIFO of this user left over from an earlier run. Whatever else
// holds the name (another user's FIFO, a regular file, a directory, a link) is left alone.
// *created receives what was made, so that a failure later on removes nothing else.
bool CreateFifo(int directory, const char* path, const char* leaf, struct stat* created) {
    struct stat info;
    if (mkfifoat(directory, leaf, 0600) != 0) {
        if (errno != EEXIST || fstatat(directory, leaf, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
        if (!IsOwnFifo(info)) {
            if (S_ISFIFO(info.st_mode)) LogRefused(path);
            errno = EEXIST;
            return false;
        }
        if (unlinkat(directory, leaf, 0) != 0 || mkfifoat(directory, leaf, 0600) != 0) return false;
    }
    return fstatat(directory, leaf, created, AT_SYMLINK_NOFOLLOW) == 0;
}

// Removes the entry only while it is still the given FIFO of this user.
void RemoveIfSame(int directory, const char* leaf, const struct stat& made) {
    struct stat info;
    if (fstatat(directory, leaf, &info, AT_SYMLINK_NOFOLLOW) == 0 && IsOwnFifo(info) && SameFile(info, made))
        unlinkat(directory, leaf, 0);
}

} // namespace

int64_t Platform_PipeOpen(void** handle, const char* path, int32_t bufferSize, uint32_t flags) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    ASSERT_POINTER(path);
    // A cut path would name another file, which close would then remove.
    size_t length = strnlen(path, PLATFORM_PIPE_PATH_SIZE);
    if (length == 0 || length >= PLATFORM_PIPE_PATH_SIZE) return 0;

    const char* leaf = nullptr;
    const int directory = OpenParent(path, &leaf);
    if (directory < 0) return 0;
    const bool create = (flags & PLATFORM_PIPE_OPEN_EXISTING) == 0;
    struct stat made = {};
    if (create && !CreateFifo(directory, path, leaf, &made)) {
        close(directory);
        return 0;
    }
    // Not following links and checking the type keep an existing pipe from being anything the
    // close would wrongly remove; the owner and mode keep it from being one another user shares.
    int fd = openat(directory, leaf, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    struct stat info = {};
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode))) {
        close(fd);
        fd = -1;
    }
    if (fd >= 0 && !IsPrivateFifo(info)) {
        LogRefused(path);
        close(fd);
        fd = -1;
    }
    int32_t openFlags = (int32_t)flags;
    if (fd >= 0 && (flags & PLATFORM_PIPE_BLOCKING) == 0) {
        int status = fcntl(fd, F_GETFL);
        if (status == -1 || fcntl(fd, F_SETFL, status | O_NONBLOCK) == -1 ||
            (status = fcntl(fd, F_GETFL)) == -1) {
            close(fd);
            fd = -1;
        }
        openFlags = status;
    }
    if (fd < 0) {
        if (create) RemoveIfSame(directory, leaf, made);
        close(directory);
        return 0;
    }
    close(directory);

    PlatformPipe* pipe = static_cast<PlatformPipe*>(Memory_AllocZero(sizeof(PlatformPipe)));
    pipe->Header.ClassId = PLATFORM_PIPE_CLASS_ID;
    pipe->Header.RefCount = 1;
    memcpy(pipe->Path, path, length + 1);
    pipe->BufferSize = bufferSize;
    pipe->Flags = openFlags;
    pipe->Descriptor = fd;
    pipe->Device = info.st_dev;
    pipe->Inode = info.st_ino;
    *handle = pipe;
    return 1;
}

int64_t Platform_PipeIsOpen(void* handle) {
    return OpenPipe(handle) != nullptr;
}

int64_t Platform_PipePeek(void* handle, void*, int32_t, int32_t* available) {
    ASSERT_POINTER(available);
    *available = 0;
    PlatformPipe* pipe = OpenPipe(handle);
    if (!pipe) return 0;
    struct pollfd entry = {pipe->Descriptor, POLLIN, 0};
    int ready;
    while ((ready = poll(&entry, 1, 1)) < 0 && errno == EINTR) {
    }
    if (ready < 0 || (entry.revents & POLLNVAL)) return 0;
    if (entry.revents & POLLIN) *available = 1;
    return 1;
}

int64_t Platform_PipeRead(void* handle, void* buffer, int32_t length, int32_t* done) {
    ASSERT_POINTER(done);
    *done = 0;
    PlatformPipe* pipe = OpenPipe(handle);
    if (!pipe || length < 0) return 0;
    if (length > 0) ASSERT_POINTER(buffer);
    ssize_t n;
    while ((n = read(pipe->Descriptor, buffer, (size_t)length)) < 0 && errno == EINTR) {
    }
    if (n < 0) return errno == EAGAIN;
    *done = (int32_t)n;
    return 1;
}

int64_t Platform_PipeWrite(void* handle, const void* buffer, int32_t length, int32_t* done) {
    ASSERT_POINTER(done);
    *done = 0;
    PlatformPipe* pipe = OpenPipe(handle);
    if (!pipe || length < 0) return 0;
    if (length > 0) ASSERT_POINTER(buffer);
    ssize_t n;
    while ((n = write(pipe->Descriptor, buffer, (size_t)length)) < 0 && errno == EINTR) {
    }
    if (n < 0) return errno == EAGAIN;
    *done = (int32_t)n;
    return 1;
}

int64_t Platform_PipeFlush(void* handle) {
    PlatformPipe* pipe = OpenPipe(handle);
    if (!pipe) return 0;
    // Written bytes sit in the kernel's pipe buffer, already visible to the reader; a FIFO has
    // nothing to synchronise and says so with EINVAL.
    return fsync(pipe->Descriptor) == 0 || errno == EINVAL;
}

int64_t Platform_PipeClose(void** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    CLASS_CHECK(*handle, PLATFORM_PIPE_CLASS_ID);
    PlatformPipe* pipe = static_cast<PlatformPipe*>(*handle);
    if (pipe->Descriptor >= 0) {
        close(pipe->Descriptor);
        pipe->Descriptor = -1;
        // The peer may have removed the FIFO already and something else may hold the path now:
        // only the FIFO this pipe opened is removed.
        struct stat info;
        if (lstat(pipe->Path, &info) == 0 && S_ISFIFO(info.st_mode) && info.st_dev == pipe->Device &&
            info.st_ino == pipe->Inode)
            unlink(pipe->Path);
        pipe->Path[0] = 0;
    }
    *handle = nullptr;
    Memory_Free(pipe, sizeof(PlatformPipe));
    return 1;
}

int64_t Platform_PipeAccept(void* server, void** client) {
    if (client) *client = nullptr;
    if (server) CLASS_CHECK(server, PLATFORM_PIPE_CLASS_ID);
    Log_Error("Not Implemented - %s\n", "Platform_PipeAccept");
    return 0;
}

int64_t Platform_PipeGetRemoteProcessId(void* handle, uint32_t* processId) {
    if (processId) *processId = 0;
    if (handle) CLASS_CHECK(handle, PLATFORM_PIPE_CLASS_ID);
    Log_Error("Not Implemented - %s\n", "Platform_PipeGetRemoteProcessId");
    return 0;
}
