// Helpers of the platform layer's tests: a second user taken on by a child, output redirected
// for a scope, system files replaced in a mount namespace of a child's own, stand-in scripts,
// this process's children, and tables of abort texts.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/linux/platform_process.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/child_text.h"
#include "tests/support/temp_dir.h"

// The second user of the tests ("nobody"), taken on by a forked child.
constexpr uid_t kOtherUser = 65534;

inline bool BecomeOtherUser() {
    return setgroups(0, nullptr) == 0 && setgid(kOtherUser) == 0 && setuid(kOtherUser) == 0;
}

// What was written to the descriptor (standard output or error) while fn ran, kept in the file
// at path, which children that inherited the descriptor may go on writing.
template <typename Fn> std::string CaptureOutput(int target, const std::string& path, Fn&& fn) {
    fflush(nullptr);
    // Close-on-exec, so that no launched program is handed the saved descriptor.
    const int saved = fcntl(target, F_DUPFD_CLOEXEC, 0);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, target);
    close(fd);
    fn();
    fflush(nullptr);
    dup2(saved, target);
    close(saved);
    return ReadFile(path);
}

// ---- A child with system files of its own -----------------------------------------------------

// Runs body in a forked child with a private mount namespace, after prepare (which may mount over
// system files there without touching the machine); nullopt when that is not permitted.
inline std::optional<std::string> RunIsolated(const std::function<bool()>& prepare,
                                              const std::function<std::string()>& body) {
    return TextFromChild(
        [&] {
            return unshare(CLONE_NEWNS) == 0 &&
                   mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 && prepare();
        },
        body);
}

// Whether a child may have a mount namespace of its own here (not where unsharing or mounting is
// refused, as without root): a test that may is failed, never skipped, by a child that failed.
inline bool CanIsolate() {
    return RunIsolated([] { return true; }, [] { return std::string(); }).has_value();
}

inline bool Bind(const std::string& source, const std::string& target) {
    return mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

// Shows content at the system file target, by way of a file in dir.
inline bool BindText(const TempDir& dir, const std::string& target, const std::string& content) {
    std::string name = target;
    for (char& c : name) c = c == '/' ? '_' : c;
    return WriteText(dir.file(name), content) && Bind(dir.file(name), target);
}

inline bool EmptyTmpfs(const std::string& target) {
    return mount("none", target.c_str(), "tmpfs", 0, "size=1m") == 0;
}

// "answer|text" of a call that fills a buffer of the given size.
inline std::string Answer(int64_t (*fn)(char*, int32_t), int32_t size = 256) {
    std::vector<char> buffer((size_t)size + 1, 'x');
    buffer.back() = 0;
    const int64_t answer = fn(buffer.data(), size);
    return std::to_string(answer) + "|" + buffer.data();
}

// The target of a symbolic link, or "" when path is none.
inline std::string ReadLink(const std::string& path) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof(target));
    return n > 0 ? std::string(target, (size_t)n) : std::string();
}

// Permission bits of what is at path (not followed), or -1 when nothing is there.
inline int32_t ModeOf(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? (int32_t)(info.st_mode & 07777) : -1;
}

// ---- Programs and processes -------------------------------------------------------------------

// A shell script at path that runs body.
inline void WriteScript(const std::string& path, const std::string& body) {
    WriteText(path, "#!/bin/sh\n" + body, 0755);
}

// The NUL-terminated items of a file, as a script writes them with printf '%s\0'.
inline std::vector<std::string> ReadNulList(const std::string& path) {
    const std::string text = ReadFile(path);
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
        out.push_back(text.substr(start, end - start));
    return out;
}

// True as soon as condition holds, checked every millisecond for up to a minute: a wait that never
// ends fails the test instead of hanging the suite.
template <typename Condition> bool Eventually(Condition&& condition) {
    return StepUntil(condition, [] { usleep(1000); }, 60);
}

// Processes whose parent is this one, zombies included.
inline std::vector<int32_t> ChildrenOfThisProcess() {
    std::vector<int32_t> children;
    DIR* proc = opendir("/proc");
    while (struct dirent* item = proc ? readdir(proc) : nullptr) {
        char* end = nullptr;
        const long pid = strtol(item->d_name, &end, 10);
        if (!*end && pid > 0 && Platform_GetParentProcessId((uint32_t)pid) == (uint32_t)getpid())
            children.push_back((int32_t)pid);
    }
    if (proc) closedir(proc);
    return children;
}

// A child of this process not yet collected (running or ended). Asked of the kernel without
// collecting it: a /proc entry of that number could be a thread that took the number since.
inline bool Listed(int32_t pid) {
    siginfo_t info{};
    return waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// ---- Aborts -------------------------------------------------------------------------------------

// A call that must stop the process, and the text it must stop it with.
struct AbortCase {
    const char* Name;
    std::function<void()> Call;
    std::string Pattern;
};

inline void ExpectAborts(const std::vector<AbortCase>& cases) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const AbortCase& c : cases) {
        EXPECT_DEATH(
            {
                InstallTestAbortHook();
                c.Call();
            },
            c.Pattern)
            << c.Name;
    }
}

// The handle check's text for a handle of class `was`, whatever class the call expected.
inline std::string ClassMismatch(uint32_t was) {
    char hex[9];
    snprintf(hex, sizeof(hex), "%08x", was);
    return std::string(
               "ABORT - Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0x[0-9a-f]{8} but was 0x") +
           hex + "\\)";
}
