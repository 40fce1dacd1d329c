// Tests of the entries of an open directory acted on by name: modes changed on the entry itself
// (never through a link, also without read permission), directories entered without following a
// final link, and removals that take a link for what it is.
#include "core/linux/platform_tree.h"

#include <gtest/gtest.h>

#include "core/linux/platform_file.h"
#include "tests/support/file_trees.h"

namespace {

using namespace path_test;

class PlatformTree : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(WriteText(outside.file("precious"), "p", 0400));
        ASSERT_TRUE(Build(dir.path(), {"file=f", "dir/", "link->" + outside.file("precious"),
                                       "dirlink->" + outside.path()}));
        ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
        ASSERT_EQ(Platform_TreeOpenDirectory(PLATFORM_TREE_CWD, dir.path().c_str(), 1, &at, nullptr), 1);
    }
    void TearDown() override { Platform_Close(at); }
    TempDir dir, outside;
    int32_t at = -1;
};

TEST_F(PlatformTree, ModesChangeOnTheEntryItselfNeverThroughALink) {
    // clang-format off
    struct Case { const char* name; uint32_t mode; mode_t expected; } cases[] = {
        {"file", 0640, 0640}, {"dir", 0700, 0700}, {"fifo", 0600, 0600},
        {"file", 0104755, 04755}, // only the permission bits are taken
        {"link", 0777, PermsOf(dir.file("link"))}, // a link keeps its own mode
    };
    // clang-format on
    for (const Case& c : cases) {
        EXPECT_EQ(Platform_TreeChangeMode(at, c.name, c.mode), 1) << c.name;
        EXPECT_EQ(PermsOf(dir.file(c.name)), c.expected) << c.name;
    }
    // The same by path, with a trailing separator that would make the system follow the link.
    EXPECT_EQ(Platform_TreeChangeMode(PLATFORM_TREE_CWD, (dir.file("link") + "/").c_str(), 0777), 1);
    EXPECT_EQ(PermsOf(outside.file("precious")), 0400u);
    errno = 0;
    EXPECT_EQ(Platform_TreeChangeMode(at, "missing", 0600), 0);
    EXPECT_EQ(errno, ENOENT);
}

// In a directory its group shares, an item this process made is opened up to the group; an entry
// that is a link to a file elsewhere is never followed: the file keeps its group and mode.
TEST_F(PlatformTree, GroupFixupActsOnTheEntryNeverOnALinksTarget) {
    ASSERT_EQ(chmod(dir.path().c_str(), 0770) | chmod(dir.file("file").c_str(), 0640), 0);
    ASSERT_EQ(chmod(outside.file("precious").c_str(), 0640), 0);
    struct stat shared, before, after;
    ASSERT_EQ(stat(dir.path().c_str(), &shared) | stat(outside.file("precious").c_str(), &before), 0);
    // clang-format off
    struct Case { const char* name; int flags; mode_t expected; } cases[] = {
        {"file", O_RDONLY | O_NOFOLLOW, 0660}, // ours, in the shared directory: opened up
        {"link", O_PATH | O_NOFOLLOW, 0},      // the link itself, as a tree operation opens it
    };
    // clang-format on
    for (const Case& c : cases) {
        const int fd = openat(at, c.name, c.flags | O_CLOEXEC);
        ASSERT_GE(fd, 0) << c.name;
        Platform_TreeGroupFixup(&shared, fd);
        close(fd);
        if (c.expected) {
            EXPECT_EQ(PermsOf(dir.file(c.name)), c.expected) << c.name;
        }
    }
    EXPECT_EQ(Platform_TreeCreateDirectory(at, "link"), 0) << "the name is taken by the link";
    ASSERT_EQ(stat(outside.file("precious").c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_gid, before.st_gid);
}

TEST_F(PlatformTree, ModesChangeWithoutPermissionToReadTheEntry) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to become another user";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755) | chmod(dir.file("dir").c_str(), 0300), 0);
    ASSERT_EQ(chmod(dir.file("file").c_str(), 0200), 0);
    ASSERT_EQ(chown(dir.file("dir").c_str(), 65534, 65534) | chown(dir.file("file").c_str(), 65534, 65534),
              0);
    const std::string path = dir.path();
    EXPECT_EQ(RunAsNobody([&path] {
                  if (!Platform_TreeChangeMode(PLATFORM_TREE_CWD, (path + "/dir").c_str(), 0700)) return 1;
                  // A file that may not be read is reached by a path-only descriptor, which only
                  // fchmodat2 can change; without it the change is refused, never made by path.
                  return Platform_TreeChangeMode(PLATFORM_TREE_CWD, (path + "/file").c_str(), 0600) ||
                                 errno == EOPNOTSUPP
                             ? 0
                             : 2;
              }),
              0);
    EXPECT_EQ(PermsOf(dir.file("dir")), 0700u);
    EXPECT_TRUE(PermsOf(dir.file("file")) == 0600u || PermsOf(dir.file("file")) == 0200u);
}

TEST_F(PlatformTree, DirectoriesAreEnteredAndRemovedAsThemselves) {
    // clang-format off
    struct Case { const char* name; uint32_t follow; int error; /* 0: entered */ } cases[] = {
        {"dir", 0, 0}, {"dirlink", 0, ELOOP}, {"dirlink/", 0, ELOOP}, {"dirlink", 1, 0}, {"file", 0, ENOTDIR},
    };
    // clang-format on
    for (const Case& c : cases) {
        int32_t fd = -1;
        PlatformTreeIdentity identity{1, 1};
        errno = 0;
        EXPECT_EQ(
            Platform_TreeOpenDirectory(PLATFORM_TREE_CWD, dir.file(c.name).c_str(), c.follow, &fd, &identity),
            c.error == 0 ? 1 : 0)
            << c.name;
        struct stat expected {};
        if (!c.error) stat(dir.file(c.name).c_str(), &expected);
        EXPECT_EQ(errno, c.error) << c.name;
        EXPECT_EQ(fd >= 0, c.error == 0) << c.name;
        EXPECT_EQ(identity.Device, (uint64_t)expected.st_dev) << c.name;
        EXPECT_EQ(identity.Inode, (uint64_t)expected.st_ino) << c.name;
        Platform_Close(fd);
    }
    errno = 0;
    EXPECT_EQ(Platform_TreeRemoveDirectory(at, "dirlink"), 0) << "a link to a directory is no directory";
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(Platform_TreeDeleteFile(at, "dir"), 0);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(Platform_TreeDeleteFile(at, "dirlink"), 1);
    EXPECT_EQ(Platform_TreeRemoveDirectory(at, "dir"), 1);
    EXPECT_FALSE(FileExists(dir.file("dirlink")) || FileExists(dir.file("dir")));
    EXPECT_TRUE(FileExists(outside.path()));
}

// An entry's mount is its own (a link's, never its target's, here a link to /proc): the device,
// and the mount id this system tells. One mount: the same device and, where both ids are known,
// the same id; only a system without ids compares devices alone.
TEST_F(PlatformTree, MountsAreTheEntrysOwnAndAgreeInDeviceAndId) {
    ASSERT_TRUE(Build(dir.path(), {"proclink->/proc"}));
    PlatformTreeMount self{}, file{}, link{}, proc{}, missing{1, 1};
    ASSERT_EQ(Platform_TreeMountOf(at, "", &self), 1);
    ASSERT_EQ(Platform_TreeMountOf(at, "file", &file), 1);
    ASSERT_EQ(Platform_TreeMountOf(at, "proclink", &link), 1);
    ASSERT_EQ(Platform_TreeMountOf(PLATFORM_TREE_CWD, "/proc", &proc), 1);
    EXPECT_EQ(self.Device, (uint64_t)StatOf(dir.path()).st_dev);
    EXPECT_NE(self.Mount, 0u);
    EXPECT_EQ(Platform_TreeSameMount(&self, &file), 1);
    EXPECT_EQ(Platform_TreeSameMount(&self, &link), 1);
    EXPECT_EQ(Platform_TreeSameMount(&self, &proc), 0);
    errno = 0;
    EXPECT_EQ(Platform_TreeMountOf(at, "missing", &missing), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(missing.Device + missing.Mount, 0u);
    // clang-format off
    struct Case { PlatformTreeMount a, b; int64_t same; } cases[] = {
        {{1, 7}, {1, 7}, 1}, {{1, 7}, {1, 8}, 0}, {{1, 7}, {2, 7}, 0}, {{1, 0}, {2, 0}, 0}, {{1, 0}, {1, 8}, 1},
    };
    // clang-format on
    for (const Case& c : cases)
        EXPECT_EQ(Platform_TreeSameMount(&c.a, &c.b), c.same)
            << c.a.Device << ":" << c.a.Mount << " " << c.b.Device << ":" << c.b.Mount;
}

} // namespace
