// Helpers of the path and directory-list tests: building trees on disk, capturing the log,
// running a check as an unprivileged user or inside a chroot, and small tmpfs mounts.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "tests/support/temp_dir.h"

namespace path_test {

using ::WriteText;

inline bool MakeDir(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0;
}
inline bool MakeLink(const std::string& target, const std::string& link) {
    return symlink(target.c_str(), link.c_str()) == 0;
}

inline bool IsLink(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}
inline bool IsDir(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}
inline std::string LinkTarget(const std::string& path) {
    char buffer[4096];
    ssize_t n = readlink(path.c_str(), buffer, sizeof(buffer) - 1);
    return n < 0 ? std::string() : std::string(buffer, (size_t)n);
}
inline mode_t ModeOf(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}
inline ino_t InodeOf(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}
inline dev_t DeviceOf(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_dev : 0;
}

// Everything the log prints while the capture lives (console flag on, output kept here).
inline std::string& Logged() {
    static std::string text;
    return text;
}
inline uint32_t ConsoleFlags() {
    return DEBUG_FLAG_CONSOLE;
}
inline int64_t KeepLog(const char* text) {
    Logged() += text;
    return 1;
}
class LogCapture {
  public:
    LogCapture() {
        if (!Log_IsStarted()) Log_Init(nullptr);
        Logged().clear();
        Debug_FlagsOverride(ConsoleFlags);
        Debug_PrintOverride(KeepLog);
    }
    ~LogCapture() {
        Debug_PrintOverride(nullptr);
        Debug_FlagsOverride(nullptr);
    }
    const std::string& text() const { return Logged(); }
    int32_t count(const std::string& needle) const {
        int32_t n = 0;
        for (size_t at = Logged().find(needle); at != std::string::npos; at = Logged().find(needle, at + 1))
            n++;
        return n;
    }
};

// Runs check() in a forked child; the child's exit code is check's answer (0 = all held), or
// 100 when the child could not be set up. The parent is single-threaded during these tests.
inline int RunInChild(const std::function<bool()>& setup, const std::function<int()>& check) {
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (!setup()) _exit(100);
        _exit(check());
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// A child without privileges (user and group "nobody").
inline int RunAsNobody(const std::function<int()>& check) {
    return RunInChild([] { return setgid(65534) == 0 && setuid(65534) == 0; }, check);
}

// A child whose "/" is the given directory, so that an operation that wrongly reached the root
// can only reach that directory.
inline int RunInChroot(const std::string& root, const std::function<int()>& check) {
    return RunInChild([&root] { return chroot(root.c_str()) == 0 && chdir("/") == 0; }, check);
}

inline bool IsRoot() {
    return geteuid() == 0;
}

// A small tmpfs mounted on a fresh directory; mounted() is false where mounting is not allowed.
class TmpfsMount {
  public:
    explicit TmpfsMount(const std::string& where, const char* options) : where_(where) {
        mkdir(where_.c_str(), 0755);
        mounted_ = mount("tmpfs", where_.c_str(), "tmpfs", 0, options) == 0;
    }
    ~TmpfsMount() {
        if (mounted_) umount2(where_.c_str(), MNT_DETACH);
        rmdir(where_.c_str());
    }
    bool mounted() const { return mounted_; }
    const std::string& path() const { return where_; }

  private:
    std::string where_;
    bool mounted_ = false;
};

} // namespace path_test
