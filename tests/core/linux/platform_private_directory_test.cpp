// The walk to a private directory: folders are made 0700, and a link or folder that another user
// controls on the way is refused with its reason, leaving the place it points at untouched.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/linux/platform_private_directory.h"
#include "core/linux/platform_system.h"
#include "core/runtime/log.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/log_capture.h"
#include "tests/support/platform_sandbox.h"
#include "tests/support/scoped_env.h"

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

// ---- Other users, in a namespace of our own -------------------------------------------------

// Users and groups of their own, shown to a child in a mount namespace of its own: we are alice,
// bob and dave are other users. Groups: solo has no member, ours lists only alice and root, lab
// lists bob, ghost lists a name that names no user, and bob's and dave's own groups are theirs by
// being their primary ones (dave's listed after bob's, with a smaller number).
constexpr uid_t kAlice = 4001, kBob = 4002;
constexpr gid_t kSolo = 4100, kOurs = 4103, kLab = 4101, kGhost = 4102, kBobs = 4002, kDaves = 4000;
const char* const kPasswd = "root:x:0:0:root:/root:/bin/sh\nalice:x:4001:4001::/tmp:/bin/sh\n"
                            "bob:x:4002:4002::/tmp:/bin/sh\ndave:x:4004:4000::/tmp:/bin/sh\n";
const char* const kGroup = "root:x:0:\nalice:x:4001:\nbob:x:4002:\ndaves:x:4000:\nsolo:x:4100:\n"
                           "ours:x:4103:alice,root\nlab:x:4101:alice,bob\nghost:x:4102:nosuchuser\n";

// With `changing`, alice may rewrite the group database the child sees.
bool ShowUsers(const TempDir& files, bool changing = false) {
    return BindText(files, "/etc/passwd", kPasswd) && BindText(files, "/etc/group", kGroup) &&
           (!changing || chmod("/etc/group", 0666) == 0) && Platform_ForgetGroupMembers() == 1;
}

bool BecomeAlice() {
    const gid_t groups[] = {kAlice};
    return setgroups(1, groups) == 0 && setresgid(kAlice, kAlice, kAlice) == 0 &&
           setresuid(kAlice, kAlice, kAlice) == 0;
}

// As alice among the users above: what fn returns, then the ERROR lines said meanwhile.
std::string AsAlice(const TempDir& files, const std::function<std::string()>& fn, bool changing = false) {
    const std::string said = files.file("said");
    const auto text = RunIsolated(
        [&] {
            const int fd = open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            return fd >= 0 && dup2(fd, 2) >= 0 && ShowUsers(files, changing) && BecomeAlice();
        },
        [&] {
            Log_SetErrorsToStandardError(1);
            return fn();
        });
    return text ? *text + "--\n" + ReadFile(said) : "no child";
}

// A refusal names the folder that failed (not the one asked for), who is too many and what would
// let it pass, once per folder however many walks it refuses.
TEST_F(PrivateDirectoryTest, ARefusalIsExplainedOnceByTheFolderThatFailed) {
    if (geteuid() != 0 || !CanIsolate()) GTEST_SKIP() << "other users and a namespace of our own need root";
    TempDir files;
    ASSERT_EQ(chmod(files.path().c_str(), 0755), 0);
    struct Made {
        const char* Name;
        uid_t Owner;
        gid_t Group;
        mode_t Mode;
    } made[] = {
        {"lab", 0, kLab, 02775},  {"lab/alice", kAlice, kAlice, 0700}, {"ghost", kAlice, kGhost, 0775},
        {"open", 0, kBobs, 0777}, {"bobs", kBob, kBob, 0755},          {"rooted", 0, 0, 0755},
        {"shared", 0, 0, 01777},  {"mine", kAlice, kAlice, 0700},      {"daves", 0, kDaves, 02775},
        {"homes", kAlice, kLab, 0770},   {"homes2", kAlice, kLab, 0770},     {"run", kAlice, kAlice, 0700},
        {"bobs2", kBob, kBob, 0755}};
    for (const Made& m : made) {
        const std::string path = dir + "/" + m.Name;
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
        ASSERT_EQ(chown(path.c_str(), m.Owner, m.Group), 0) << path;
        ASSERT_EQ(chmod(path.c_str(), m.Mode), 0) << path;
    }
    ASSERT_EQ(symlink((dir + "/mine").c_str(), (dir + "/shared/theirs").c_str()), 0);
    ASSERT_EQ(lchown((dir + "/shared/theirs").c_str(), kBob, kBob), 0);
    ASSERT_EQ(symlink((dir + "/lab").c_str(), (dir + "/mine/to-lab").c_str()), 0);
    ASSERT_EQ(lchown((dir + "/mine/to-lab").c_str(), kAlice, kAlice), 0);
    const std::string text = AsAlice(files, [&] {
        std::string answers;
        for (const char* path : {"lab/alice/state", "mine/to-lab/alice", "lab/alice", "ghost", "open/x",
                                 "bobs/x", "rooted", "shared/theirs/x", "mine/missing/x", "daves/x", "homes/x",
                                 "homes", "bobs", "homes2/x", "bobs2", "bobs2/x"}) {
            int32_t fd = -1, error = 0;
            const char* reason = nullptr;
            const int64_t opened =
                Platform_OpenPrivateDirectory((dir + "/" + path).c_str(), 0, &fd, &error, &reason);
            if (fd >= 0) close(fd);
            answers += std::string(path) + ":" +
                       (opened   ? "opened"
                        : reason ? reason
                                 : "") +
                       ":" + std::to_string(Platform_SayFolderRefusal()) + "\n";
        }
        // The toolkit's configuration home, a folder used itself (as the home is).
        Platform_SetEnvironmentVariable("XDG_RUNTIME_DIR", (dir + "/run").c_str());
        Platform_SetEnvironmentVariable("XDG_CONFIG_HOME", (dir + "/homes2").c_str());
        char folder[4096] = "";
        answers += "toolkit:" + std::to_string(Platform_GetToolkitFolder(0, folder, sizeof(folder))) + "\n";
        return answers;
    });
    const std::string& d = dir;
    EXPECT_EQ(
        text,
        "lab/alice/state:a folder other users can change:1\n"
        "mine/to-lab/alice:a folder other users can change:0\n"
        "lab/alice:a folder other users can change:0\n"
        "ghost:a folder other users can change:1\n"
        "open/x:a folder other users can change:1\n"
        "bobs/x:a folder of another user:1\n"
        "rooted:a folder of another user:1\n"
        "shared/theirs/x:a link another user made:1\n"
        "mine/missing/x:a folder that cannot be reached:0\n"
        "daves/x:a folder other users can change:1\n"
        "homes/x:a folder other users can change:1\n"
        "homes:a folder other users can change:1\n"
        "bobs:a folder of another user:1\n"
        "homes2/x:a folder other users can change:1\n"
        "bobs2:a folder of another user:1\n"
        "bobs2/x:a folder of another user:1\n"
        "toolkit:1\n"
        "--\n"
        "ERROR - The folder " +
            d +
            "/lab is refused: its group lab (gid 4101) may write into it and has "
            "members other than you and root (bob), and it is not sticky (mode 2775); it passes when made "
            "sticky (chmod +t) or closed to the group's writes (chmod g-w)\n"
            "ERROR - The folder " +
            d +
            "/ghost is refused: its group ghost (gid 4102) may write into it and "
            "has members other than you and root (nosuchuser) (mode 0775); it passes when closed to the "
            "group's writes (chmod g-w)\n"
            "ERROR - The folder " +
            d +
            "/open is refused: every user may write into it, and its group bob "
            "(gid 4002) may write into it and has members other than you and root (bob), and it is not "
            "sticky (mode 0777); it passes when made sticky (chmod +t) or closed to the group's and others' "
            "writes (chmod go-w)\n"
            "ERROR - The folder " +
            d +
            "/bobs is refused: it belongs to bob (uid 4002); it passes once it "
            "belongs to you or root\n"
            "ERROR - The folder " +
            d +
            "/rooted is refused: it belongs to root (uid 0); it passes once it "
            "belongs to you\n"
            "ERROR - The link " +
            d +
            "/shared/theirs is not followed: bob (uid 4002) made it; it is followed "
            "once you or root make it\n"
            "ERROR - The folder " +
            d +
            "/daves is refused: its group daves (gid 4000) may write into it and "
            "has members other than you and root (dave), and it is not sticky (mode 2775); it passes when "
            "made sticky (chmod +t) or closed to the group's writes (chmod g-w)\n"
            // Passed through, being sticky would do; used itself, it would not: both are said.
            "ERROR - The folder " +
            d +
            "/homes is refused: its group lab (gid 4101) may write into it and has members other than you and "
            "root (bob), and it is not sticky (mode 0770); it passes when made sticky (chmod +t) or closed to the "
            "group's writes (chmod g-w)\n"
            "ERROR - The folder " +
            d +
            "/homes is refused: its group lab (gid 4101) may write into it and has members other than you and "
            "root (bob) (mode 0770); it passes when closed to the group's writes (chmod g-w); where it is used "
            "itself, not only passed through, being sticky does not let it pass\n"
            "ERROR - The folder " +
            d +
            "/bobs is refused: it belongs to bob (uid 4002); it passes once it belongs to you (as your own folder, "
            "root's is not enough)\n"
            "ERROR - The folder " +
            d +
            "/homes2 is refused: its group lab (gid 4101) may write into it and has members other than you and "
            "root (bob), and it is not sticky (mode 0770); it passes when made sticky (chmod +t) or closed to the "
            "group's writes (chmod g-w)\n"
            // Its own first, then passed through: root's would do there, said without the aside.
            "ERROR - The folder " +
            d + "/bobs2 is refused: it belongs to bob (uid 4002); it passes once it belongs to you\n"
            "ERROR - The folder " +
            d + "/bobs2 is refused: it belongs to bob (uid 4002); it passes once it belongs to you or root\n"
            "ERROR - The toolkit's configuration folder is not used: " +
            d + "/homes2 is refused (a folder other users can change, 13); the toolkit uses " + d +
            "/run/Quarvelon Host/toolkit-config instead\n"
            "ERROR - The folder " +
            d +
            "/homes2 is refused: its group lab (gid 4101) may write into it and has members other than you and "
            "root (bob) (mode 0770); it passes when closed to the group's writes (chmod g-w); where it is used "
            "itself, not only passed through, being sticky does not let it pass\n");
}

// Counts the opens of the user and group databases' files since the last count: "users groups".
class DatabaseOpens {
  public:
    DatabaseOpens() {
        // Closes are watched too: the kernel merges an event into the one before it when they are
        // alike, and an open then a close never are.
        users_ = inotify_add_watch(watch_, "/etc/passwd", IN_OPEN | IN_CLOSE);
        groups_ = inotify_add_watch(watch_, "/etc/group", IN_OPEN | IN_CLOSE);
    }
    ~DatabaseOpens() {
        if (watch_ >= 0) close(watch_);
    }
    bool Watching() const { return watch_ >= 0 && users_ >= 0 && groups_ >= 0; }
    std::string operator()() const {
        int counts[2] = {0, 0};
        alignas(struct inotify_event) char events[4096];
        ssize_t n;
        while ((n = read(watch_, events, sizeof(events))) > 0)
            for (char* at = events; at < events + n;
                 at += sizeof(struct inotify_event) + reinterpret_cast<struct inotify_event*>(at)->len) {
                const struct inotify_event* event = reinterpret_cast<struct inotify_event*>(at);
                if (event->mask & IN_OPEN) counts[event->wd == users_ ? 0 : 1]++;
            }
        return std::to_string(counts[0]) + " " + std::to_string(counts[1]);
    }

  private:
    int watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC), users_ = -1, groups_ = -1;
};

// The user database is walked once and each group looked up once, however many folders are
// judged: here 24 walks through folders of four groups, counted as the databases' files are opened.
TEST_F(PrivateDirectoryTest, TheDatabasesAreReadOnceForManyFolders) {
    if (geteuid() != 0 || !CanIsolate()) GTEST_SKIP() << "other users and a namespace of our own need root";
    TempDir files;
    ASSERT_EQ(chmod(files.path().c_str(), 0755), 0);
    for (gid_t group : {kSolo, kOurs, kLab, kGhost}) {
        const std::string folder = dir + "/" + std::to_string(group);
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chown(folder.c_str(), kAlice, group), 0);
        ASSERT_EQ(chmod(folder.c_str(), 0775), 0);
    }
    const std::string text = AsAlice(
        files,
        [&] {
            DatabaseOpens opens;
            if (!opens.Watching()) return std::string("no watch");
            std::string answers;
            for (int round = 0; round < 6; round++)
                for (gid_t group : {kSolo, kOurs, kLab, kGhost}) {
                    int32_t fd = -1, error = 0;
                    const char* reason = nullptr;
                    const std::string path = dir + "/" + std::to_string(group) + (round % 2 ? "" : "/x");
                    const int64_t opened =
                        Platform_OpenPrivateDirectory(path.c_str(), 0, &fd, &error, &reason);
                    if (fd >= 0) close(fd);
                    if (round == 0)
                        answers += std::to_string(group) + ":" +
                                   (opened   ? "opened"
                                    : reason ? reason
                                             : "") +
                                   "\n";
                }
            answers += "opens " + opens() + "\n";
            // Forgotten (as after a while), the databases are read again and what changed is seen:
            // bob has left the lab.
            std::string changed = kGroup;
            changed.replace(changed.find("alice,bob"), 9, "alice");
            const int file = open("/etc/group", O_WRONLY | O_TRUNC | O_CLOEXEC);
            const bool written =
                file >= 0 && write(file, changed.data(), changed.size()) == (ssize_t)changed.size();
            if (file >= 0) close(file);
            if (!written) return std::string("not written");
            opens();
            int32_t fd = -1, error = 0;
            const char* reason = nullptr;
            const std::string lab = dir + "/" + std::to_string(kLab);
            answers +=
                std::string("remembered:") +
                (Platform_OpenPrivateDirectory(lab.c_str(), 0, &fd, &error, &reason) ? "opened" : reason) +
                "\n";
            if (fd >= 0) close(fd);
            Platform_ForgetGroupMembers();
            answers +=
                std::string("read again:") +
                (Platform_OpenPrivateDirectory(lab.c_str(), 0, &fd, &error, &reason) ? "opened" : reason) +
                "\n";
            if (fd >= 0) close(fd);
            return answers + "opens " + opens() + "\n";
        },
        true);
    EXPECT_EQ(text,
              "4100:a folder that cannot be reached\n4103:a folder that cannot be reached\n"
              "4101:a folder other users can change\n4102:a folder other users can change\n"
              "opens 1 4\nremembered:a folder other users can change\nread again:opened\nopens 1 1\n--\n");
}

// A site of 100,000 users, each with a group of its own (far more distinct primary groups than
// are kept at first), is walked once however many group-writable folders are judged: a group
// that is some user's primary one is found whichever user it is, one that is nobody's passes.
// So it is where most groups are past those kept exactly (64 here), and the refusal then says
// what it knows of the member it cannot name.
TEST_F(PrivateDirectoryTest, ALargeSiteIsWalkedOnce) {
    if (geteuid() != 0 || !CanIsolate()) GTEST_SKIP() << "other users and a namespace of our own need root";
    constexpr int kUsers = 100000;
    constexpr gid_t kFirstOwn = 200000;
    // Listed out of the groups' order, as a site that grew is.
    const auto own = [](int user) { return kFirstOwn + (gid_t)((int64_t)user * 37 % kUsers); };
    std::string passwd = kPasswd, group = kGroup;
    for (int i = 0; i < kUsers; i++) {
        const std::string n = std::to_string(i);
        passwd +=
            "u" + n + ":x:" + std::to_string(10000 + i) + ":" + std::to_string(own(i)) + "::/tmp:/bin/sh\n";
        group += "g" + n + ":x:" + std::to_string(own(i)) + ":\n";
    }
    // The first user's, one amid them, the last one's, and ones no user has as primary group.
    const gid_t judged[] = {own(0), own(kUsers / 2), own(kUsers - 1), kSolo, kOurs};
    for (gid_t gid : judged) {
        const std::string folder = dir + "/" + std::to_string(gid);
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chown(folder.c_str(), kAlice, gid), 0);
        ASSERT_EQ(chmod(folder.c_str(), 0775), 0);
    }
    TempDir files;
    ASSERT_EQ(chmod(files.path().c_str(), 0755), 0);
    for (const uint32_t most : {0u, 64u}) {
        SCOPED_TRACE(most);
        const std::string said = files.file("said");
        const auto seen = RunIsolated(
            [&] {
                const int fd = open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
                return fd >= 0 && dup2(fd, 2) >= 0 && BindText(files, "/etc/passwd", passwd) &&
                       BindText(files, "/etc/group", group) && Platform_SetMostPrimaryGroupsForTesting(most) == 1 &&
                       BecomeAlice();
            },
            [&] {
                Log_SetErrorsToStandardError(1);
                DatabaseOpens opens;
                if (!opens.Watching()) return std::string("no watch");
                std::string answers;
                int judging = 0; // the user database's opens by the judgements (not their explanations)
                for (gid_t gid : judged) {
                    int32_t fd = -1, error = 0;
                    const char* reason = nullptr;
                    const std::string path = dir + "/" + std::to_string(gid);
                    const int64_t opened =
                        Platform_OpenPrivateDirectory((path + "/x").c_str(), 0, &fd, &error, &reason);
                    if (fd >= 0) close(fd);
                    answers += std::to_string(gid) + ":" + (opened ? "opened" : reason ? reason : "") + "\n";
                    judging += std::stoi(opens());
                    Platform_SayFolderRefusal();
                    opens();
                }
                return answers + "user database opened " + std::to_string(judging) + "\n";
            });
        ASSERT_TRUE(seen.has_value());
        const std::string changes = ":a folder other users can change\n",
                          missing = ":a folder that cannot be reached\n";
        EXPECT_EQ(*seen, std::to_string(own(0)) + changes + std::to_string(own(kUsers / 2)) + changes +
                             std::to_string(own(kUsers - 1)) + changes + std::to_string(kSolo) + missing +
                             std::to_string(kOurs) + missing + "user database opened 1\n");
        // The last user's group is named by its user where it was kept, and never as unreadable.
        const std::string explained = ReadFile(said);
        const std::string last = "g" + std::to_string(kUsers - 1) + " (gid " + std::to_string(own(kUsers - 1)) +
                                 ") may write into it and has members other than you and root (" +
                                 (most ? "a user whose primary group it is)" : "u" + std::to_string(kUsers - 1) + ")");
        EXPECT_NE(explained.find(last), std::string::npos) << explained;
        EXPECT_EQ(explained.find("could not be read"), std::string::npos) << explained;
    }
}

// What was remembered is about who this user was then: a process that becomes another user judges
// by the databases again (alice, another member of "ours" to root, is no other member to herself).
TEST_F(PrivateDirectoryTest, WhatIsRememberedIsForTheUserWhoReadIt) {
    if (geteuid() != 0 || !CanIsolate()) GTEST_SKIP() << "other users and a namespace of our own need root";
    TempDir files;
    std::string asRoot;
    const auto seen = RunIsolated(
        [&] {
            if (!ShowUsers(files)) return false;
            asRoot = std::to_string(Platform_OthersCanWrite(0775, kOurs));
            return BecomeAlice();
        },
        [&] { return asRoot + " " + std::to_string(Platform_OthersCanWrite(0775, kOurs)); });
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(*seen, "1 0");
}

// A user database that cannot be read to its end (an entry larger than any room given to it) may
// hide a member of any group: every group that may write then counts as having one.
TEST_F(PrivateDirectoryTest, AUserDatabaseNotReadWholeLeavesNoGroupTrusted) {
    if (geteuid() != 0 || !CanIsolate()) GTEST_SKIP() << "other users and a namespace of our own need root";
    TempDir files;
    const std::string solo = dir + "/solo";
    ASSERT_EQ(mkdir(solo.c_str(), 0700), 0);
    ASSERT_EQ(chown(solo.c_str(), kAlice, kSolo), 0);
    ASSERT_EQ(chmod(solo.c_str(), 0775), 0);
    const std::string huge =
        std::string(kPasswd) + "carol:x:4005:4005:" + std::string(70000, 'c') + ":/tmp:/bin/sh\n";
    const auto seen = RunIsolated(
        [&] {
            return BindText(files, "/etc/passwd", huge) && BindText(files, "/etc/group", kGroup) &&
                   Platform_ForgetGroupMembers() == 1 && BecomeAlice();
        },
        [&] {
            int32_t fd = -1, error = 0;
            const char* reason = nullptr;
            const int64_t opened = Platform_OpenPrivateDirectory(solo.c_str(), 0, &fd, &error, &reason);
            if (fd >= 0) close(fd);
            return std::string(opened ? "opened" : reason);
        });
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(*seen, "a folder other users can change");
}

// ---- The judgement against a model of it ----------------------------------------------------

// The rules, written from what a folder's user may expect rather than from the code: only we and
// root may own what is passed through, entered by a link or kept in; a folder others may write
// into (every user, or a group with a member but us and root) is passed only when sticky, and is
// never our private folder or one the desktop's settings are kept in.
struct Folder {
    uid_t Owner;
    bool GroupWrites, OthersWrite, Sticky;
    gid_t Group;
};

bool Trusted(uid_t owner) {
    return owner == kAlice || owner == 0;
}

bool Writable(const Folder& f) {
    const bool others = f.Group == kLab || f.Group == kGhost || f.Group == kBobs;
    return f.OthersWrite || (f.GroupWrites && others);
}

std::string OwnerOrWriters(const Folder& f, bool ownOnly, bool stickyPasses) {
    if (ownOnly ? f.Owner != kAlice : !Trusted(f.Owner)) return "a folder of another user";
    if (Writable(f) && !(stickyPasses && f.Sticky)) return "a folder other users can change";
    return "";
}

enum class Asked { Private, Trusted, Passage, Settings };

// "opened", "missing" or the reason of the refusal; for settings "used" or "replaced".
std::string Expected(const Folder& f, uid_t linkOwner, bool linked, bool missing, Asked asked) {
    std::string refused;
    if (linked && !Trusted(linkOwner)) refused = "a link another user made";
    const std::string passage = OwnerOrWriters(f, false, true);
    if (asked == Asked::Settings) {
        const bool used =
            refused.empty() && (!missing || passage.empty()) && OwnerOrWriters(f, false, false).empty();
        return used ? "used" : "replaced";
    }
    if (refused.empty() && missing) refused = passage.empty() ? "missing" : passage;
    if (!refused.empty()) return refused;
    const std::string judged = asked == Asked::Private ? OwnerOrWriters(f, true, false) : passage;
    return judged.empty() ? "opened" : judged;
}

TEST_F(PrivateDirectoryTest, EveryCombinationIsJudgedAsTheModelSays) {
    if (geteuid() != 0 || !CanIsolate()) GTEST_SKIP() << "other users and a namespace of our own need root";
    TempDir files;
    const std::string links = dir + "/links", runtime = dir + "/run";
    ASSERT_EQ(mkdir(links.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    ASSERT_EQ(chown(runtime.c_str(), kAlice, kAlice), 0);
    struct Built {
        Folder F;
        std::string Path;
    };
    std::vector<Built> folders;
    for (uid_t owner : {kAlice, (uid_t)0, kBob})
        for (int writes = 0; writes < 4; writes++)
            for (bool sticky : {false, true})
                for (gid_t group : {kSolo, kOurs, kLab, kGhost, kBobs}) {
                    const Folder f{owner, (writes & 1) != 0, (writes & 2) != 0, sticky, group};
                    const std::string path = dir + "/f" + std::to_string(owner) + "-" +
                                             std::to_string(writes) + (sticky ? "s" : "") + "-" +
                                             std::to_string(group);
                    // Every folder may be read and entered by alice: only the judgement refuses.
                    const mode_t mode =
                        0755 | (f.GroupWrites ? 020 : 0) | (f.OthersWrite ? 002 : 0) | (sticky ? 01000 : 0);
                    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
                    ASSERT_EQ(mkdir((path + "/inner").c_str(), 0700), 0);
                    ASSERT_EQ(chown((path + "/inner").c_str(), kAlice, kAlice), 0);
                    ASSERT_EQ(chown(path.c_str(), owner, group), 0);
                    ASSERT_EQ(chmod(path.c_str(), mode), 0);
                    for (uid_t linkOwner : {kAlice, (uid_t)0, kBob}) {
                        const std::string link =
                            links + "/" + path.substr(dir.size() + 1) + "-" + std::to_string(linkOwner);
                        ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
                        ASSERT_EQ(lchown(link.c_str(), linkOwner, linkOwner), 0);
                    }
                    folders.push_back({f, path});
                }
    const auto judged = RunIsolated(
        [&] { return ShowUsers(files) && BecomeAlice(); },
        [&] {
            Platform_SetEnvironmentVariable("XDG_RUNTIME_DIR", runtime.c_str());
            // The toolkit's refusals are said on standard error: thousands of lines nobody reads here.
            const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
            dup2(quiet, 2);
            std::string mismatches;
            size_t count = 0;
            for (const Built& b : folders)
                for (int link = -1; link < 3; link++)
                    for (bool missing : {false, true})
                        for (Asked asked :
                             {Asked::Private, Asked::Trusted, Asked::Passage, Asked::Settings}) {
                            const uid_t linkOwner = link == 0 ? kAlice : link == 1 ? 0 : kBob;
                            std::string path = link < 0 ? b.Path
                                                        : links + "/" + b.Path.substr(dir.size() + 1) + "-" +
                                                              std::to_string(linkOwner);
                            if (missing) path += "/missing";
                            if (asked == Asked::Passage) path += "/inner";
                            std::string seen;
                            if (asked == Asked::Settings) {
                                Platform_SetEnvironmentVariable("XDG_CONFIG_HOME", path.c_str());
                                char folder[4096] = "";
                                seen = Platform_GetToolkitFolder(0, folder, sizeof(folder)) != 1 ? "failed"
                                       : folder[0]                                               ? "replaced"
                                                                                                 : "used";
                            } else {
                                int32_t fd = -1, error = 0;
                                const char* reason = nullptr;
                                const int64_t opened =
                                    asked == Asked::Trusted
                                        ? Platform_OpenTrustedDirectory(path.c_str(), &fd, &error, &reason)
                                        : Platform_OpenPrivateDirectory(path.c_str(), 0, &fd, &error,
                                                                        &reason);
                                if (fd >= 0) close(fd);
                                seen = opened ? "opened" : error == ENOENT ? "missing" : reason ? reason : "";
                            }
                            const std::string expected = Expected(b.F, linkOwner, link >= 0, missing, asked);
                            count++;
                            if (seen != expected)
                                mismatches += path.substr(dir.size()) + " as " + std::to_string((int)asked) +
                                              ": " + seen + ", the model says " + expected + "\n";
                        }
            return std::to_string(count) + " judged\n" + mismatches;
        });
    ASSERT_TRUE(judged.has_value());
    EXPECT_EQ(*judged, "3840 judged\n");
}

} // namespace

namespace {

// The desktop's settings are judged with no sticky exception: a folder open to every writer on
// the way to them is told what lets it pass there (closing it), never that being sticky would.
TEST_F(PrivateDirectoryTest, AFolderOnTheWayToTheSettingsIsToldWhatLetsItPassThere) {
    const std::string open = dir + "/open", own = dir + "/own";
    ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    ASSERT_EQ(mkdir(own.c_str(), 0700), 0);
    ScopedEnv env{{"XDG_CONFIG_HOME", own.c_str()}, {"XDG_CACHE_HOME", own.c_str()},
                  {"XDG_RUNTIME_DIR", own.c_str()}, {"XDG_DATA_HOME", open.c_str()}};
    LogCapture log;
    EXPECT_EQ(Platform_CheckDesktopSettings(), 0);
    const std::string text = log.Text();
    EXPECT_NE(text.find("ERROR - The folder " + open + " is refused: every user may write into it"), std::string::npos)
        << text;
    EXPECT_NE(text.find("it passes when closed to "), std::string::npos) << text;
    EXPECT_EQ(text.find("sticky"), std::string::npos) << text;
    // And at 1777 it is refused still, as its line said.
    ASSERT_EQ(chmod(open.c_str(), 01777), 0);
    char folder[4096] = "";
    log.Clear();
    ASSERT_EQ(Platform_GetToolkitFolder(2, folder, sizeof(folder)), 1);
    EXPECT_NE(std::string(folder), "");
    EXPECT_NE(log.Text().find("The toolkit's data folder is not used: " + open + " is refused"), std::string::npos)
        << log.Text();
}

// A writer's folder is judged as the program's own: this user's, closed to every other writer.
TEST_F(PrivateDirectoryTest, AWritersFolderIsOursAndClosedToOthers) {
    struct {
        const char* Name;
        mode_t Mode;
        const char* Reason;
    } const cases[] = {{"mine", 0700, ""}, {"readable", 0755, ""}, {"open", 0777, "a folder other users can change"},
                       {"sticky", 01777, "a folder other users can change"}};
    for (const auto& c : cases) {
        const std::string path = dir + "/" + c.Name;
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        ASSERT_EQ(chmod(path.c_str(), c.Mode), 0);
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int32_t error = -1;
        const char* reason = nullptr;
        EXPECT_EQ(Platform_JudgeOwnFolder(fd, &error, &reason), c.Reason[0] ? 0 : 1) << c.Name;
        EXPECT_STREQ(reason ? reason : "", c.Reason) << c.Name;
        char line[8192] = "";
        EXPECT_EQ(Platform_GetFolderRefusal(line, sizeof(line)), c.Reason[0] ? 1 : 0) << c.Name;
        if (c.Reason[0]) {
            EXPECT_EQ(std::string(line).rfind("The folder " + path + " is refused: every user may write into it", 0), 0u)
                << line;
        }
        close(fd);
    }
}

} // namespace
