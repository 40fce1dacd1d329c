// The extraction output on this platform: a descriptor on the target's directory, a new file
// made under it with O_EXCL and O_NOFOLLOW, renameat into place.
#include "skin/linux/extract_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/linux/platform_private_directory.h"
#include "core/platform/path.h"
#include "core/runtime/string.h"

namespace {

void CloseFd(int32_t* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

} // namespace

void ExtractOutput_Clear(ExtractOutput* output) {
    output->DirectoryFd = -1;
    output->Fd = -1;
    output->Name[0] = 0;
    output->TemporaryName[0] = 0;
}

int64_t ExtractOutput_IsOpen(const ExtractOutput* output) {
    return output->Fd >= 0 ? 1 : 0;
}

int64_t ExtractOutput_Open(ExtractOutput* output, const char* path) {
    ExtractOutput_Abort(output);
    char resolved[320];
    if (!path || !path[0] || !Path_Resolve(path, resolved, (int32_t)sizeof(resolved)) || !resolved[0]) return 0;
    const size_t length = strlen(resolved);
    if (resolved[length - 1] == '/') return 0;
    const char* slash = strrchr(resolved, '/');
    const char* name = slash ? slash + 1 : resolved;
    if (!name[0] || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
    char directory[320];
    if (!slash) {
        String_CopyLength(directory, ".", (int32_t)sizeof(directory));
    } else if (slash == resolved) {
        String_CopyLength(directory, "/", (int32_t)sizeof(directory));
    } else {
        String_CopyLength(directory, resolved, (int32_t)(slash - resolved) + 1);
    }
    String_CopyLength(output->Name, name, (int32_t)sizeof(output->Name));
    int fd;
    do fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return 0;
    if (!Platform_JudgeWriterFolder(fd, name)) {
        close(fd);
        return 0;
    }
    output->DirectoryFd = fd;
    for (int attempt = 0; attempt < 16; attempt++) {
        uint32_t tag = 0;
        int random = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        if (random >= 0) {
            if (read(random, &tag, sizeof(tag)) != (ssize_t)sizeof(tag)) tag = 0;
            close(random);
        }
        tag ^= (uint32_t)getpid() * 2654435761u + (uint32_t)attempt;
        snprintf(output->TemporaryName, sizeof(output->TemporaryName), ".%.300s.%08x.part", name, tag);
        do fd = openat(output->DirectoryFd, output->TemporaryName,
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0) break;
        if (errno != EEXIST) break;
    }
    if (fd < 0) {
        output->TemporaryName[0] = 0;
        CloseFd(&output->DirectoryFd);
        return 0;
    }
    fchmod(fd, 0600);
    output->Fd = fd;
    return 1;
}

int64_t ExtractOutput_Write(ExtractOutput* output, const void* data, uint32_t length) {
    if (output->Fd < 0) return 0;
    const char* bytes = static_cast<const char*>(data);
    uint32_t done = 0;
    while (done < length) {
        const ssize_t n = write(output->Fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        done += (uint32_t)n;
    }
    return 1;
}

int64_t ExtractOutput_Commit(ExtractOutput* output) {
    if (output->Fd < 0) return 0;
    bool ok = fsync(output->Fd) == 0;
    ok = close(output->Fd) == 0 && ok;
    output->Fd = -1;
    if (ok) ok = renameat(output->DirectoryFd, output->TemporaryName, output->DirectoryFd, output->Name) == 0;
    if (!ok) unlinkat(output->DirectoryFd, output->TemporaryName, 0);
    CloseFd(&output->DirectoryFd);
    output->TemporaryName[0] = 0;
    return ok ? 1 : 0;
}

int64_t ExtractOutput_Abort(ExtractOutput* output) {
    if (output->Fd >= 0) {
        CloseFd(&output->Fd);
        unlinkat(output->DirectoryFd, output->TemporaryName, 0);
    }
    CloseFd(&output->DirectoryFd);
    output->TemporaryName[0] = 0;
    return 1;
}
