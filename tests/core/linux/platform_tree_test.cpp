// Tests of the entries of an open directory acted on by name: modes changed on the entry itself
// (never through a link, also without read permission), directories entered without following a
// final link, and removals that take a link for what it is.
#include "core/linux/platform_tree.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/linux/platform_file.h"
#include "tests/support/temp_dir.h"

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// Runs body in a child of user and group "nobody"; its exit status is body's answer.
int AsNobody(const std::function<int()>& body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(setgid(65534) == 0 && setuid(65534) == 0 ? body() : 100);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(PlatformTree, ModesChangeOnTheEntryItselfNeverThroughALink) {
    TempDir dir, outside;
    ASSERT_TRUE(WriteText(outside.file("precious"), "p", 0400));
    ASSERT_TRUE(WriteText(dir.file("file"), "f", 0600));
    ASSERT_EQ(mkdir(dir.file("dir").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink(outside.file("precious").c_str(), dir.file("link").c_str()), 0);
    int32_t at = -1;
    ASSERT_EQ(Platform_TreeOpenDirectory(PLATFORM_TREE_CWD, dir.path().c_str(), 1, &at, nullptr), 1);
    struct Case {
        const char* name;
        uint32_t mode;
        mode_t expected;
    } cases[] = {
        {"file", 0640, 0640},
        {"dir", 0700, 0700},
        {"fifo", 0600, 0600},
        {"file", 0104755, 04755}, // only the permission bits are taken
        // A link keeps its own mode, and its target is never reached.
        {"link", 0777, ModeOf(dir.file("link"))},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Platform_TreeChangeMode(at, c.name, c.mode), 1) << c.name;
        EXPECT_EQ(ModeOf(dir.file(c.name)), c.expected) << c.name;
    }
    // The same by path, with a trailing separator that would make the system follow the link.
    EXPECT_EQ(Platform_TreeChangeMode(PLATFORM_TREE_CWD, (dir.file("link") + "/").c_str(), 0777), 1);
    EXPECT_EQ(ModeOf(outside.file("precious")), 0400u);
    errno = 0;
    EXPECT_EQ(Platform_TreeChangeMode(at, "missing", 0600), 0);
    EXPECT_EQ(errno, ENOENT);
    Platform_Close(at);
}

TEST(PlatformTree, ModesChangeWithoutPermissionToReadTheEntry) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("dir").c_str(), 0300), 0);
    ASSERT_TRUE(WriteText(dir.file("file"), "f", 0200));
    ASSERT_EQ(chown(dir.file("dir").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(dir.file("file").c_str(), 65534, 65534), 0);
    const std::string path = dir.path();
    const int code = AsNobody([&path] {
        if (!Platform_TreeChangeMode(PLATFORM_TREE_CWD, (path + "/dir").c_str(), 0700)) return 1;
        // A file that may not be read is reached by a path-only descriptor, which only
        // fchmodat2 can change; without it the change is refused, never made by path.
        if (!Platform_TreeChangeMode(PLATFORM_TREE_CWD, (path + "/file").c_str(), 0600) &&
            errno != EOPNOTSUPP)
            return 2;
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ModeOf(dir.file("dir")), 0700u);
    EXPECT_TRUE(ModeOf(dir.file("file")) == 0600u || ModeOf(dir.file("file")) == 0200u);
}

TEST(PlatformTree, DirectoriesAreEnteredAndRemovedAsThemselves) {
    TempDir dir, outside;
    ASSERT_EQ(mkdir(dir.file("real").c_str(), 0755), 0);
    ASSERT_TRUE(WriteText(dir.file("file"), "f"));
    ASSERT_EQ(symlink(outside.path().c_str(), dir.file("link").c_str()), 0);
    struct stat real;
    ASSERT_EQ(stat(dir.file("real").c_str(), &real), 0);
    struct Case {
        const char* name;
        uint32_t follow;
        int error; // 0: entered
    } cases[] = {
        {"real", 0, 0}, {"link", 0, ELOOP}, {"link/", 0, ELOOP}, {"link", 1, 0}, {"file", 0, ENOTDIR},
    };
    for (const Case& c : cases) {
        int32_t fd = -1;
        PlatformTreeIdentity identity{1, 1};
        errno = 0;
        const int64_t entered =
            Platform_TreeOpenDirectory(PLATFORM_TREE_CWD, dir.file(c.name).c_str(), c.follow, &fd, &identity);
        EXPECT_EQ(entered, c.error == 0 ? 1 : 0) << c.name;
        if (c.error) {
            EXPECT_EQ(errno, c.error) << c.name;
            EXPECT_EQ(fd, -1) << c.name;
            EXPECT_EQ(identity.Inode, 0u) << c.name;
            continue;
        }
        struct stat expected;
        ASSERT_EQ(stat(dir.file(c.name).c_str(), &expected), 0);
        EXPECT_EQ(identity.Device, (uint64_t)expected.st_dev) << c.name;
        EXPECT_EQ(identity.Inode, (uint64_t)expected.st_ino) << c.name;
        Platform_Close(fd);
    }

    int32_t at = -1;
    ASSERT_EQ(Platform_TreeOpenDirectory(PLATFORM_TREE_CWD, dir.path().c_str(), 1, &at, nullptr), 1);
    errno = 0;
    EXPECT_EQ(Platform_TreeRemoveDirectory(at, "link"), 0) << "a link to a directory is no directory";
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(Platform_TreeDeleteFile(at, "real"), 0);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(Platform_TreeDeleteFile(at, "link"), 1);
    EXPECT_EQ(Platform_TreeRemoveDirectory(at, "real"), 1);
    EXPECT_FALSE(FileExists(dir.file("link")));
    EXPECT_TRUE(FileExists(outside.path()));
    Platform_Close(at);
}

} // namespace
