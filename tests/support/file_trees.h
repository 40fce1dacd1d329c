// Trees on disk for the path, directory-list and platform file tests: building them, the facts of
// an entry, the log captured line by line, a check run in a child (unprivileged or inside a
// chroot), and small tmpfs mounts.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace path_test {

inline bool MakeDir(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0;
}
inline bool MakeLink(const std::string& target, const std::string& link) {
    return symlink(target.c_str(), link.c_str()) == 0;
}

// Makes each entry below root in turn: "d/" a directory, "l->target" a link, "f=text" a file
// holding text, "f" an empty file. False at the first one that could not be made.
inline bool Build(const std::string& root, std::initializer_list<std::string> entries) {
    for (const std::string& entry : entries) {
        const size_t arrow = entry.find("->"), equals = entry.find('=');
        bool made;
        if (arrow != std::string::npos)
            made = MakeLink(entry.substr(arrow + 2), root + "/" + entry.substr(0, arrow));
        else if (entry.back() == '/')
            made = MakeDir(root + "/" + entry);
        else if (equals != std::string::npos)
            made = WriteText(root + "/" + entry.substr(0, equals), entry.substr(equals + 1));
        else
            made = WriteText(root + "/" + entry, "");
        if (!made) return false;
    }
    return true;
}

// The entry's own status (a link's, not its target's); zeroed when there is none.
inline struct stat StatOf(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) info = {};
    return info;
}
inline mode_t ModeOf(const std::string& path) {
    return StatOf(path).st_mode;
}
inline mode_t PermsOf(const std::string& path) {
    return ModeOf(path) & 07777;
}
inline ino_t InodeOf(const std::string& path) {
    return StatOf(path).st_ino;
}
inline bool IsLink(const std::string& path) {
    return S_ISLNK(ModeOf(path));
}
inline bool IsDir(const std::string& path) {
    return S_ISDIR(ModeOf(path));
}
inline std::string LinkTarget(const std::string& path) {
    char buffer[4096];
    const ssize_t n = readlink(path.c_str(), buffer, sizeof(buffer));
    return n < 0 ? std::string() : std::string(buffer, (size_t)n);
}

// Every entry below root (by its path below it) with its mode, inode and what it holds: the target
// of a link, "/" for a directory, the text of a file. Links are not entered.
inline std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> entries;
    std::error_code error;
    namespace fs = std::filesystem;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        const std::string path = it->path().string();
        const mode_t mode = ModeOf(path);
        const std::string what = S_ISLNK(mode)   ? "->" + LinkTarget(path)
                                 : S_ISDIR(mode) ? "/"
                                 : S_ISREG(mode) ? ReadFile(path)
                                                 : "special"; // a fifo is never opened
        entries[path.substr(root.size())] =
            std::to_string(mode) + " " + std::to_string(InodeOf(path)) + " " + what;
    }
    return entries;
}

// The log's lines while it lives, searched for exact texts.
class LogCapture : public ::LogCapture {
  public:
    std::string text() const { return Text(); }
    // The lines without their level ("DEBUG - ") and with every `cut` (the test's directory) taken
    // out.
    std::string lines(const std::string& cut = "") const {
        std::string text = Text(), out, line;
        for (size_t at; !cut.empty() && (at = text.find(cut)) != std::string::npos;)
            text.erase(at, cut.size());
        for (std::istringstream in(text); std::getline(in, line); out += line + "\n") {
            const size_t dash = line.find(" - ");
            if (dash != std::string::npos && line.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == dash)
                line.erase(0, dash + 3);
        }
        return out;
    }
    int32_t count(const std::string& needle) const {
        const std::string all = Text();
        int32_t n = 0;
        for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) n++;
        return n;
    }
};

// Runs check() in a forked child after setup(); the child's exit code is check's answer (0 = all
// held), 100 when setup failed, 200 + the signal when it was killed (SIGALRM after 20 s). The
// parent must be single-threaded.
inline int RunInChild(const std::function<int()>& check, const std::function<bool()>& setup = nullptr) {
    fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        alarm(20); // a child stuck on a lock left held ends, failing its check, instead of hanging
        _exit(setup && !setup() ? 100 : check());
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

inline bool IsRoot() {
    return geteuid() == 0;
}

// A child without privileges (user and group "nobody").
inline int RunAsNobody(const std::function<int()>& check) {
    return RunInChild(check, [] { return setgid(65534) == 0 && setuid(65534) == 0; });
}

// A child whose "/" is root, so that an operation that wrongly reached the file system's root can
// only reach that directory.
inline int RunInChroot(const std::string& root, const std::function<int()>& check) {
    return RunInChild(check, [&root] { return chroot(root.c_str()) == 0 && chdir("/") == 0; });
}

// A small tmpfs mounted on a fresh directory; mounted() is false where mounting is not allowed.
class TmpfsMount {
  public:
    TmpfsMount(const std::string& where, const char* options, unsigned long flags = 0) : where_(where) {
        mkdir(where_.c_str(), 0755);
        mounted_ = mount("tmpfs", where_.c_str(), "tmpfs", flags, options) == 0;
    }
    ~TmpfsMount() {
        if (mounted_) umount2(where_.c_str(), MNT_DETACH);
        rmdir(where_.c_str());
    }
    bool mounted() const { return mounted_; }
    const std::string& path() const { return where_; }
    std::string file(const std::string& name) const { return where_ + "/" + name; }

  private:
    std::string where_;
    bool mounted_ = false;
};

} // namespace path_test
