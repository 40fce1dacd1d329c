// The walk to a private directory: folders are made 0700, and a link or folder that another user
// controls on the way is refused with its reason, leaving the place it points at untouched.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "core/linux/platform_private_directory.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/platform_sandbox.h"

namespace {

const bool g_bounded = BoundEveryTest();

class PrivateDirectoryTest : public ::testing::Test {
  protected:
    std::string dir;
    void SetUp() override {
        char pattern[] = "/tmp/private-directory-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0); }

    struct Outcome {
        bool Opened;
        int32_t Error;
        std::string Reason;
        ino_t Inode;
    };
    Outcome Open(const std::string& path, bool make) {
        int32_t fd = -1, error = 0;
        const char* reason = nullptr;
        Outcome outcome{Platform_OpenPrivateDirectory(path.c_str(), make ? 1 : 0, &fd, &error, &reason) == 1, error,
                        reason ? reason : "", 0};
        struct stat info;
        if (fd >= 0 && fstat(fd, &info) == 0) outcome.Inode = info.st_ino;
        if (fd >= 0) close(fd);
        EXPECT_EQ(outcome.Opened, fd >= 0);
        return outcome;
    }
    static int32_t Mode(const std::string& path) {
        struct stat info;
        return lstat(path.c_str(), &info) == 0 ? (int32_t)(info.st_mode & 07777) : -1;
    }
    static ino_t Inode(const std::string& path) {
        struct stat info;
        return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
    }
};

TEST_F(PrivateDirectoryTest, MakesMissingFoldersPrivate) {
    const std::string path = dir + "/a/b/c";
    EXPECT_FALSE(Open(path, false).Opened);
    EXPECT_EQ(Open(path, false).Error, ENOENT);
    const Outcome made = Open(path + "/", true);
    ASSERT_TRUE(made.Opened) << made.Reason;
    EXPECT_EQ(made.Inode, Inode(path));
    for (const std::string& folder : {dir + "/a", dir + "/a/b", path}) EXPECT_EQ(Mode(folder), 0700) << folder;
    // One of ours that others may read is closed to them when making, and taken as it is when not.
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    EXPECT_TRUE(Open(path, false).Opened);
    EXPECT_EQ(Mode(path), 0755);
    EXPECT_TRUE(Open(path, true).Opened);
    EXPECT_EQ(Mode(path), 0700);
    // "." and ".." and repeated separators are walked as names.
    EXPECT_EQ(Open(dir + "//a/./b/../b/c", false).Inode, made.Inode);
    // However many levels are missing, each is made.
    std::string deep = dir + "/deep";
    for (int level = 1; level <= 12; level++) deep += "/" + std::to_string(level);
    const Outcome deepMade = Open(deep, true);
    ASSERT_TRUE(deepMade.Opened) << deepMade.Reason;
    EXPECT_EQ(deepMade.Inode, Inode(deep));
    EXPECT_EQ(Mode(deep), 0700);
}

TEST_F(PrivateDirectoryTest, FollowsOnlyLinksOfItsOwnUser) {
    if (geteuid() != 0) GTEST_SKIP() << "planting another user's link needs root";
    const std::string shared = dir + "/shared", target = dir + "/documents";
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    // Our own links, absolute and relative (with ".."), are followed.
    ASSERT_EQ(symlink(target.c_str(), (shared + "/mine").c_str()), 0);
    ASSERT_EQ(symlink("../documents", (shared + "/relative").c_str()), 0);
    const ino_t made = Open(shared + "/mine/state", true).Inode;
    EXPECT_NE(made, 0u);
    EXPECT_EQ(made, Inode(target + "/state"));
    EXPECT_EQ(Open(shared + "/relative/state", false).Inode, made);
    // A folder others may write into is refused even when ours, never repaired: a link of ours
    // to the shared folder does not make it private.
    ASSERT_EQ(symlink(shared.c_str(), (target + "/to-shared").c_str()), 0);
    EXPECT_EQ(Open(target + "/to-shared", true).Reason, "a folder other users can change");
    EXPECT_EQ(Mode(shared), 01777);
    // Another user's link in the shared folder, whether last or on the way, is refused and
    // nothing is made where it points.
    ASSERT_EQ(symlink(target.c_str(), (shared + "/theirs").c_str()), 0);
    ASSERT_EQ(lchown((shared + "/theirs").c_str(), kOtherUser, kOtherUser), 0);
    for (const std::string& path : {shared + "/theirs", shared + "/theirs/x/crash"}) {
        const Outcome refused = Open(path, true);
        EXPECT_FALSE(refused.Opened) << path;
        EXPECT_EQ(refused.Error, EACCES) << path;
        EXPECT_EQ(refused.Reason, "a link another user made") << path;
    }
    EXPECT_EQ(Mode(target + "/x"), -1);
}

TEST_F(PrivateDirectoryTest, RefusesWhatOthersControl) {
    if (geteuid() != 0) GTEST_SKIP() << "another user's folder needs root";
    const std::string theirs = dir + "/theirs", openFolder = dir + "/open", file = dir + "/file";
    const std::string theirGroup = dir + "/their-group", ourGroup = dir + "/our-group";
    ASSERT_EQ(mkdir(theirs.c_str(), 0700), 0);
    ASSERT_EQ(chown(theirs.c_str(), kOtherUser, kOtherUser), 0);
    // Ours, but open to a group's writers: another group's members could swap its names.
    for (const std::string& folder : {theirGroup, ourGroup}) {
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chmod(folder.c_str(), 0775), 0);
    }
    ASSERT_EQ(chown(theirGroup.c_str(), geteuid(), kOtherUser), 0);
    ASSERT_EQ(chown(ourGroup.c_str(), geteuid(), getegid()), 0);
    ASSERT_EQ(mkdir(openFolder.c_str(), 0700), 0);
    ASSERT_EQ(chmod(openFolder.c_str(), 0777), 0);
    ASSERT_EQ(close(::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)), 0);
    ASSERT_EQ(symlink("loop", (dir + "/loop").c_str()), 0);
    struct Case {
        std::string path;
        bool make;
        int32_t error;
        const char* reason;
    } cases[] = {
        {theirs, true, EACCES, "a folder of another user"},
        {theirs + "/crash", true, EACCES, "a folder of another user"},
        {openFolder + "/crash", true, EACCES, "a folder other users can change"},
        {openFolder, false, EACCES, "a folder other users can change"},
        {openFolder, true, EACCES, "a folder other users can change"},
        {theirGroup + "/crash", true, EACCES, "a folder other users can change"},
        {file + "/crash", true, ENOTDIR, "not a folder"},
        {dir + "/loop/crash", true, ELOOP, "too many links"},
        {"relative/crash", true, EINVAL, "not an absolute path"},
        {"/" + std::string(300, 'n') + "/crash", true, ENAMETOOLONG, "a name too long"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = Open(c.path, c.make);
        EXPECT_FALSE(outcome.Opened) << c.path;
        EXPECT_EQ(outcome.Error, c.error) << c.path;
        EXPECT_EQ(outcome.Reason, c.reason) << c.path;
    }
    // Nothing was made inside the folders that were refused.
    EXPECT_EQ(Mode(theirs + "/crash"), -1);
    EXPECT_EQ(Mode(openFolder + "/crash"), -1);
    EXPECT_EQ(Mode(openFolder), 0777);
    EXPECT_EQ(Mode(theirGroup + "/crash"), -1);
    // Our own group's writers are trusted as a passage where the group has no member but us.
    const Outcome passed = Open(ourGroup + "/state", true);
    EXPECT_TRUE(passed.Opened) << passed.Reason;
    EXPECT_EQ(Mode(ourGroup + "/state"), 0700);
}

// Group write counts as another writer unless the group has no other member: our own primary
// group shared with another user (one whose primary group it is) is refused, a group nobody else
// is in is not, whichever group is ours.
TEST_F(PrivateDirectoryTest, AGroupCountsByItsOtherMembers) {
    if (geteuid() != 0) GTEST_SKIP() << "another group's folder needs root";
    // The daemon group: the daemon user's primary group. A number no group or user has.
    const gid_t shared = 1, empty = 54321;
    const std::string withOthers = dir + "/with-others", alone = dir + "/alone";
    for (const auto& [folder, group] : {std::pair{withOthers, shared}, std::pair{alone, empty}}) {
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chmod(folder.c_str(), 0775), 0);
        ASSERT_EQ(chown(folder.c_str(), 0, group), 0);
    }
    const std::optional<std::string> seen = TextFromChild([&] { return setegid(shared) == 0; }, [&] {
        std::string text;
        for (const std::string& path : {withOthers + "/state", alone + "/state", alone}) {
            const Outcome outcome = Open(path, true);
            text += path.substr(dir.size()) + ":" + (outcome.Opened ? "opened" : outcome.Reason) + "\n";
        }
        return text;
    });
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(*seen, "/with-others/state:a folder other users can change\n/alone/state:opened\n/alone:opened\n");
    EXPECT_EQ(Mode(withOthers + "/state"), -1);
    // Our own folder whose group has no other member is closed when made private.
    EXPECT_EQ(Mode(alone), 0700);
}

} // namespace
