// A fuzz target's own folder of files: a requirement that stops the run where it fails, emptying a
// folder by descriptor (never following a link out of it), and reading what stands at a name.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz_folder {

inline void RequireAt(bool condition, int line, const char* what) {
    if (condition) return;
    fprintf(stderr, "requirement at line %d failed: %s\n", line, what);
    std::abort();
}
#define Require(condition) fuzz_folder::RequireAt((condition), __LINE__, #condition)

inline void Empty(int folder) {
    DIR* dir = fdopendir(dup(folder));
    Require(dir != nullptr);
    while (dirent* e = readdir(dir)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        struct stat info;
        Require(fstatat(folder, e->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0);
        if (S_ISDIR(info.st_mode)) {
            const int inner = openat(folder, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            Require(inner >= 0);
            fchmod(inner, 0700);
            Empty(inner);
            close(inner);
        }
        Require(unlinkat(folder, e->d_name, S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0) == 0);
    }
    closedir(dir);
}

inline void EmptyPath(const std::string& path) {
    const int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    Require(folder >= 0);
    Empty(folder);
    close(folder);
}

// Removes the target's folder at exit.
inline void RemoveFolder(const std::string& base) {
    if (base.empty()) return;
    EmptyPath(base);
    rmdir(base.c_str());
}

// The bytes of the regular file at path, or "<none>" where none stands there.
inline std::string Slurp(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return "<none>";
    std::string out;
    char chunk[4096];
    for (ssize_t got; (got = read(fd, chunk, sizeof(chunk))) > 0;) out.append(chunk, (size_t)got);
    close(fd);
    return out;
}

inline bool OnDisk(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// How many entries the folder holds.
inline int Count(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    Require(dir != nullptr);
    int count = 0;
    while (dirent* e = readdir(dir))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) count++;
    closedir(dir);
    return count;
}

} // namespace fuzz_folder
