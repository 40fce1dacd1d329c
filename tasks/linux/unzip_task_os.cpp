// Descriptor-relative file making for the Unzip task (see unzip_task_os.h).
#include "tasks/linux/unzip_task_os.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "core/linux/platform_document.h"
#include "core/linux/platform_private_directory.h"
#include "core/platform/path.h"
#include "core/runtime/string_print.h"

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Copies the next component of `path` (from `*cursor`) into `name`; 0 at the end.
int32_t NextComponent(const char** cursor, char* name, size_t capacity) {
    const char* start = *cursor;
    if (!*start) return 0;
    const char* end = strchr(start, '/');
    const size_t length = end ? (size_t)(end - start) : strlen(start);
    if (length == 0 || length >= capacity) return -1;
    memcpy(name, start, length);
    name[length] = 0;
    *cursor = end ? end + 1 : start + length;
    return 1;
}

// Why the last folder refused on this thread was refused, for the task's line, and which folder
// that was: the line is said once per process, so a folder refused again keeps the line it had.
thread_local char t_refusal[PATH_MAX + 768];
thread_local dev_t t_refusedDevice;
thread_local ino_t t_refusedInode;

// The folder an extraction makes files or folders in, judged as the program's own folders are
// (ours, no other writer): another account's folder made first in a shared output folder, or one
// it may change, would let it replace what is extracted. Closes and answers -1 (EACCES) when refused.
int32_t Judged(int32_t fd) {
    if (fd < 0) return fd;
    int32_t error = 0;
    const char* reason = nullptr;
    if (Platform_JudgeOwnFolder(fd, &error, &reason)) return fd;
    struct stat info = {};
    fstat(fd, &info);
    const bool again = t_refusal[0] && info.st_dev == t_refusedDevice && info.st_ino == t_refusedInode;
    t_refusedDevice = info.st_dev;
    t_refusedInode = info.st_ino;
    if (!again && !Platform_GetFolderRefusal(t_refusal, (int32_t)sizeof(t_refusal))) {
        // Said before in this process: named again, shortly.
        char link[32], folder[PATH_MAX];
        String_Print(link, sizeof(link), "/proc/self/fd/%d", fd);
        const ssize_t n = readlink(link, folder, sizeof(folder) - 1);
        folder[n > 0 ? n : 0] = 0;
        String_Print(t_refusal, sizeof(t_refusal), "The folder %s is refused: %s", folder, reason ? reason : "");
    }
    close(fd);
    errno = error;
    return -1;
}

// An output directory that passed starts an extraction: no earlier refusal is its.
int32_t Passed(int32_t root) {
    if (root >= 0) t_refusal[0] = 0;
    return root;
}

// Opens (making it when missing) the directory `name` below `at`, refusing links.
int32_t OpenChild(int32_t at, const char* name) {
    int32_t fd = openat(at, name, kDirFlags);
    if (fd < 0 && errno == ENOENT) {
        if (mkdirat(at, name, 0700) != 0 && errno != EEXIST) return -1;
        fd = openat(at, name, kDirFlags);
    }
    return Judged(fd);
}

} // namespace

const char* UnzipOs_LastRefusal() {
    return t_refusal;
}

int32_t UnzipOs_OpenRoot(const char* path) {
    char expanded[PATH_SIZE];
    if (!Path_Resolve(path, expanded, PATH_SIZE)) return -1;
    // The output directory itself is the caller's choice and may be reached through a link; what
    // is extracted is made in it, so it is judged as every folder an entry is made in.
    int32_t fd = open(expanded, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) return Passed(Judged(fd));
    if (errno != ENOENT) return -1;
    int32_t at = open(expanded[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const char* cursor = expanded[0] == '/' ? expanded + 1 : expanded;
    char name[PATH_SIZE];
    while (at >= 0 && *cursor) {
        while (*cursor == '/') cursor++;
        if (!*cursor) break;
        if (NextComponent(&cursor, name, sizeof(name)) != 1) {
            close(at);
            return -1;
        }
        int32_t next = openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (next < 0 && errno == ENOENT) {
            if (mkdirat(at, name, 0700) != 0 && errno != EEXIST) next = -1;
            else next = openat(at, name, kDirFlags);
        }
        close(at);
        at = next;
    }
    return Passed(Judged(at));
}

int32_t UnzipOs_NameMax(int32_t root) {
    const long most = root >= 0 ? fpathconf(root, _PC_NAME_MAX) : -1;
    return most > 0 && most < 255 ? (int32_t)most : 255;
}

int32_t UnzipOs_PathHasLink(int32_t root, const char* relative, int32_t file) {
    int32_t at = dup(root);
    if (at < 0) return 1;
    const char* cursor = relative;
    char name[PATH_SIZE];
    int32_t result = 0;
    for (;;) {
        const int32_t got = NextComponent(&cursor, name, sizeof(name));
        if (got == 0) break;
        if (got < 0) {
            result = 1;
            break;
        }
        struct stat info;
        if (fstatat(at, name, &info, AT_SYMLINK_NOFOLLOW) != 0) break; // missing: nothing to follow
        if (S_ISLNK(info.st_mode)) {
            result = 1;
            break;
        }
        if (!*cursor) {
            result = file && S_ISDIR(info.st_mode) ? 1 : 0;
            break;
        }
        if (!S_ISDIR(info.st_mode)) {
            result = 1;
            break;
        }
        const int32_t next = openat(at, name, kDirFlags);
        if (next < 0) {
            result = 1;
            break;
        }
        close(at);
        at = next;
    }
    close(at);
    return result;
}

int32_t UnzipOs_OpenParent(int32_t root, const char* relative, const char** leaf) {
    *leaf = relative;
    int32_t at = dup(root);
    const char* cursor = relative;
    char name[PATH_SIZE];
    while (at >= 0) {
        const char* slash = strchr(cursor, '/');
        if (!slash) break;
        *leaf = slash + 1;
        if (NextComponent(&cursor, name, sizeof(name)) != 1) {
            close(at);
            return -1;
        }
        const int32_t next = OpenChild(at, name);
        close(at);
        at = next;
    }
    return at;
}

int32_t UnzipOs_MakeDirectory(int32_t root, const char* relative) {
    const char* leaf = nullptr;
    const int32_t parent = UnzipOs_OpenParent(root, relative, &leaf);
    if (parent < 0) return 0;
    const int32_t fd = OpenChild(parent, leaf);
    close(parent);
    if (fd < 0) return 0;
    close(fd);
    return 1;
}

int32_t UnzipOs_Begin(UnzipOsFile* file, int32_t parent) {
    file->Parent = parent;
    file->Fd = -1;
    for (int attempt = 0; attempt < 16 && file->Fd < 0; attempt++) {
        uint32_t random = 0;
        if (getrandom(&random, sizeof(random), 0) != (ssize_t)sizeof(random)) random ^= (uint32_t)attempt * 2654435761u;
        snprintf(file->Temporary, sizeof(file->Temporary), ".unzip-%08x.part", random);
        file->Fd = openat(parent, file->Temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (file->Fd < 0 && errno != EEXIST) break;
    }
    return file->Fd >= 0 ? 1 : 0;
}

int32_t UnzipOs_Write(UnzipOsFile* file, const void* data, int32_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(file->Fd, bytes, (size_t)size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return 0;
        bytes += written;
        size -= (int32_t)written;
    }
    return 1;
}

int32_t UnzipOs_Commit(UnzipOsFile* file, const char* leaf) {
    const int closed = close(file->Fd);
    file->Fd = -1;
    // An entry replaces a file (or a link's name), never a device, FIFO or socket at its name.
    struct stat info;
    const bool refused = fstatat(file->Parent, leaf, &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(info.st_mode) &&
                         Platform_DocumentRefusal(info.st_mode) == ENOTSUP;
    if (!refused && closed == 0 && renameat(file->Parent, file->Temporary, file->Parent, leaf) == 0) return 1;
    unlinkat(file->Parent, file->Temporary, 0);
    return 0;
}

void UnzipOs_Abort(UnzipOsFile* file) {
    if (file->Fd >= 0) close(file->Fd);
    file->Fd = -1;
    unlinkat(file->Parent, file->Temporary, 0);
}

void UnzipOs_Close(int32_t fd) {
    if (fd >= 0) close(fd);
}
