// Document files read in one go and replaced whole, through descriptors: the target's directory
// is opened once and both names are taken in it, so nothing is resolved twice.
#include "core/linux/platform_document.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/linux/platform.h"
#include "core/linux/platform_private_directory.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

constexpr size_t kCapacity = PATH_MAX;
constexpr size_t kSnapshotChunk = 64 * 1024;

struct Replacement {
    int Directory;
    int Fd;
    char Name[NAME_MAX + 1];
    char Temporary[NAME_MAX + 1];
};

// Keeps errno across clean-up calls.
struct ErrnoKeeper {
    int Saved = errno;
    ~ErrnoKeeper() { errno = Saved; }
};

// Splits the path into its directory (with a trailing '/' kept, "." for none) and its last name.
bool Split(const char* path, char* directory, char* name) {
    const size_t length = strlen(path);
    if (length == 0 || length >= kCapacity || path[length - 1] == '/') {
        errno = length >= kCapacity ? ENAMETOOLONG : EISDIR;
        return false;
    }
    const char* slash = strrchr(path, '/');
    const char* last = slash ? slash + 1 : path;
    if (strlen(last) > NAME_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (strcmp(last, ".") == 0 || strcmp(last, "..") == 0) {
        errno = EISDIR;
        return false;
    }
    strcpy(name, last);
    if (!slash) {
        strcpy(directory, ".");
    } else {
        const size_t keep = (size_t)(slash - path) + 1;
        memcpy(directory, path, keep);
        directory[keep] = 0;
    }
    return true;
}

int OpenDirectory(const char* directory, bool create) {
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && create && Platform_CreateDirectoryTree(directory))
        fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd;
}

// Whether a link found at the name in `dir` may lead the save elsewhere. In a directory that
// others can write (group or world write, or owned by another user than us and root), a link at
// the name could have been planted to make us replace a file of their choosing: it is followed
// only when it is our own and the directory is sticky, so that nobody else can swap it before
// it is resolved.
bool MayFollowLink(int dir, const struct stat& link) {
    struct stat info;
    if (fstat(dir, &info) != 0) return false;
    const uid_t self = geteuid();
    const bool shared =
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (info.st_uid != self && info.st_uid != 0);
    if (!shared) return true;
    return link.st_uid == self && (info.st_mode & S_ISVTX) != 0;
}

// Opens the directory the document lives in, following a link at the name to the file it leads
// to. Answers the directory descriptor (the name in `name`) and what stands there now in `info`
// (st_mode 0 when nothing does).
int LocateTarget(const char* path, char* name, struct stat* info) {
    char directory[kCapacity];
    if (!Split(path, directory, name)) return -1;
    int dir = OpenDirectory(directory, true);
    if (dir < 0) return -1;
    memset(info, 0, sizeof(*info));
    if (fstatat(dir, name, info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            ErrnoKeeper keep;
            close(dir);
            return -1;
        }
        info->st_mode = 0;
        return dir;
    }
    if (!S_ISLNK(info->st_mode)) return dir;
    // A link is followed one step at a time: each target's folder is reached by a walk from the
    // root that follows only links of this user or root and passes only folders no other user
    // can change, so a link of ours leading through another user's folder (where they could put
    // a link to any file) is not a way for them to choose what is replaced.
    char current[kCapacity];
    if (path[0] == '/') {
        strcpy(current, path);
    } else {
        char here[kCapacity];
        if (!getcwd(here, sizeof(here)) || strlen(here) + 1 + strlen(path) >= sizeof(current)) {
            ErrnoKeeper keep;
            close(dir);
            return -1;
        }
        strcpy(current, here);
        strcat(current, "/");
        strcat(current, path);
    }
    for (int32_t hops = 0;; hops++) {
        if (hops >= 40 || !MayFollowLink(dir, *info)) {
            close(dir);
            errno = ELOOP;
            return -1;
        }
        char target[kCapacity];
        const ssize_t n = readlinkat(dir, name, target, sizeof(target) - 1);
        {
            ErrnoKeeper keep;
            close(dir);
        }
        if (n <= 0) {
            if (n == 0) errno = ENOENT;
            return -1;
        }
        target[n] = 0;
        char next[kCapacity];
        if (target[0] == '/') {
            strcpy(next, target);
        } else {
            const size_t folder = (size_t)(strrchr(current, '/') - current) + 1;
            if (folder + (size_t)n >= sizeof(next)) {
                errno = ENAMETOOLONG;
                return -1;
            }
            memcpy(next, current, folder);
            strcpy(next + folder, target);
        }
        if (!Split(next, directory, name)) return -1;
        int32_t error = 0;
        const char* reason = nullptr;
        if (!Platform_OpenTrustedDirectory(directory, &dir, &error, &reason)) {
            Log_Error("Document %s leads through %s: %s\n", path, directory, reason ? reason : "");
            Platform_SayFolderRefusal();
            errno = error;
            return -1;
        }
        if (fstatat(dir, name, info, AT_SYMLINK_NOFOLLOW) != 0) {
            // A link to nothing names no document to replace.
            ErrnoKeeper keep;
            close(dir);
            return -1;
        }
        if (!S_ISLNK(info->st_mode)) return dir;
        strcpy(current, next);
    }
}

// A free name beside the document, created exclusively and private (0600 whatever the umask).
int CreateBeside(int dir, const char* name, char* temporary, const char* given) {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const size_t length = strlen(name);
    // ".<name>.XXXXXX", cut at the front of the name when it would outgrow a name's limit.
    const size_t room = NAME_MAX - 8;
    const char* kept = length > room ? name + (length - room) : name;
    for (int32_t attempt = 0; attempt < (given ? 1 : 100); attempt++) {
        unsigned char random[6];
        if (getrandom(random, sizeof(random), 0) != (ssize_t)sizeof(random)) {
            if (errno == EINTR) continue;
            return -1;
        }
        char suffix[7];
        for (size_t i = 0; i < 6; i++) suffix[i] = kLetters[random[i] % (sizeof(kLetters) - 1)];
        suffix[6] = 0;
        if (given && (strlen(given) > NAME_MAX || strchr(given, '/') || !given[0])) {
            errno = EINVAL;
            return -1;
        }
        if (given) {
            strcpy(temporary, given);
        } else {
            strcpy(temporary, ".");
            strcat(temporary, kept);
            strcat(temporary, ".");
            strcat(temporary, suffix);
        }
        int fd;
        do fd = openat(dir, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            if (fchmod(fd, 0600) == 0) return fd;
            ErrnoKeeper keep;
            close(fd);
            unlinkat(dir, temporary, 0);
            return -1;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

void Dispose(Replacement* r, bool unlinkTemporary) {
    ErrnoKeeper keep;
    if (r->Fd >= 0) close(r->Fd);
    if (unlinkTemporary) unlinkat(r->Directory, r->Temporary, 0);
    close(r->Directory);
    Memory_Free(r, sizeof(Replacement));
}

} // namespace

int32_t Platform_DocumentRefusal(uint32_t mode) {
    if (S_ISREG(mode)) return 0;
    return S_ISDIR(mode) ? EISDIR : ENOTSUP;
}

int32_t Platform_DocumentCheckName(const char* path, int32_t replacing) {
    ASSERT_POINTER(path);
    struct stat info;
    if (stat(path, &info) != 0) return replacing && errno == ENOENT ? 1 : 0;
    const int32_t refused = Platform_DocumentRefusal(info.st_mode);
    if (refused == 0) return 1;
    errno = refused;
    return 0;
}

int32_t Platform_DocumentSnapshot(int32_t fd, int64_t* size) {
    ASSERT_POINTER(size);
    *size = 0;
    struct stat info;
    if (fstat(fd, &info) != 0) return -1;
    *size = info.st_size;
    if (!S_ISREG(info.st_mode) || info.st_size != 0) return fd;
    char* chunk = static_cast<char*>(Memory_Alloc(kSnapshotChunk));
    int copy = -1;
    int64_t total = 0;
    bool ok = true;
    for (;;) {
        const ssize_t got = pread(fd, chunk, kSnapshotChunk, (off_t)total);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0) break;
        if (total + got > PLATFORM_DOCUMENT_SNAPSHOT_MAX) {
            errno = EFBIG;
            ok = false;
            break;
        }
        if (copy < 0) copy = memfd_create("snapshot", MFD_CLOEXEC);
        if (copy < 0 || pwrite(copy, chunk, (size_t)got, (off_t)total) != got) {
            if (copy >= 0) errno = EIO;
            ok = false;
            break;
        }
        total += got;
    }
    Memory_Free(chunk, kSnapshotChunk);
    if (!ok) {
        ErrnoKeeper keep;
        if (copy >= 0) close(copy);
        return -1;
    }
    // Truly empty: the file itself serves.
    if (copy < 0) return fd;
    close(fd);
    *size = total;
    return copy;
}

int32_t Platform_DocumentOpenRead(const char* path) {
    ASSERT_POINTER(path);
    int fd;
    do fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat info;
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &info) != 0 || flags < 0) {
        ErrnoKeeper keep;
        close(fd);
        return -1;
    }
    if (const int32_t refused = Platform_DocumentRefusal(info.st_mode)) {
        close(fd);
        errno = refused;
        return -1;
    }
    if (fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ErrnoKeeper keep;
        close(fd);
        return -1;
    }
    return fd;
}

int32_t Platform_DocumentReplaceBegin(const char* path, void** replacement, const char* scratch) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(replacement);
    *replacement = nullptr;
    Replacement* r = static_cast<Replacement*>(Memory_AllocZero(sizeof(Replacement)));
    r->Fd = -1;
    struct stat info;
    r->Directory = LocateTarget(path, r->Name, &info);
    if (r->Directory < 0) {
        Memory_Free(r, sizeof(Replacement));
        return -1;
    }
    if (!Platform_JudgeWriterFolder(r->Directory, r->Name)) {
        Dispose(r, false);
        return -1;
    }
    // Only a file can be replaced by a rename; writing into a device, FIFO or directory in place
    // could leave it half written, so such a target is refused before anything is touched.
    if (info.st_mode != 0 && Platform_DocumentRefusal(info.st_mode)) {
        errno = Platform_DocumentRefusal(info.st_mode);
        Dispose(r, false);
        return -1;
    }
    r->Fd = CreateBeside(r->Directory, r->Name, r->Temporary, scratch);
    if (r->Fd < 0) {
        Dispose(r, false);
        return -1;
    }
    if (info.st_mode != 0) {
        // The new text keeps the old file's owner and mode (the owner only where we may set it).
        if (fchown(r->Fd, info.st_uid, info.st_gid) != 0) errno = 0;
        if (fchmod(r->Fd, info.st_mode & 07777) != 0) {
            Dispose(r, true);
            return -1;
        }
    }
    *replacement = r;
    return r->Fd;
}

int64_t Platform_DocumentReplaceCommit(void** replacement) {
    ASSERT_POINTER(replacement);
    Replacement* r = static_cast<Replacement*>(*replacement);
    if (!r) return 0;
    *replacement = nullptr;
    bool ok = fsync(r->Fd) == 0;
    if (close(r->Fd) != 0) ok = false;
    r->Fd = -1;
    ok = ok && renameat(r->Directory, r->Temporary, r->Directory, r->Name) == 0;
    // The new name is only lasting once its directory is on the device too.
    if (ok) fsync(r->Directory);
    Dispose(r, !ok);
    if (ok) errno = 0;
    return ok;
}

int64_t Platform_DocumentReplaceAbort(void** replacement) {
    ASSERT_POINTER(replacement);
    Replacement* r = static_cast<Replacement*>(*replacement);
    if (!r) return 1;
    *replacement = nullptr;
    Dispose(r, true);
    return 1;
}
