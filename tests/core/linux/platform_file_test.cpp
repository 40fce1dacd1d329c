#include "core/linux/platform_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

#include "core/linux/platform.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/time.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// Names in a directory other than "." and "..".
std::set<std::string> Entries(const std::string& directory) {
    std::set<std::string> names;
    if (DIR* d = opendir(directory.c_str())) {
        while (struct dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

// A 1 MiB file system of its own, for a full disk and for a second volume. Mounting needs
// privilege; callers skip when it is not there.
class SmallVolume {
  public:
    explicit SmallVolume(const std::string& where, unsigned long flags = 0) : path_(where) {
        mkdir(path_.c_str(), 0755);
        mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", flags, "size=1m") == 0;
    }
    ~SmallVolume() {
        if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
    bool mounted_ = false;
};

// Runs body in a child process and answers its exit status (body returns the status).
template <typename Body> int InChild(Body body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// Whether this file system lets this process set the immutable flag.
bool ImmutableSupported(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        int on = flags | FS_IMMUTABLE_FL;
        ok = ioctl(fd, FS_IOC_SETFLAGS, &on) == 0;
        if (ok) ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    close(fd);
    return ok;
}

TEST(PlatformFile, StatFollowsLinksAndLStatDoesNot) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("target"), "12345"));
    ASSERT_EQ(symlink("target", dir.file("link").c_str()), 0);
    ASSERT_EQ(symlink("missing", dir.file("dangling").c_str()), 0);
    struct stat info;
    EXPECT_EQ(Platform_Stat(dir.file("link").c_str(), &info), 1);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_size, 5);
    EXPECT_EQ(Platform_LStat(dir.file("link").c_str(), &info), 1);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    // A dangling link exists, though it cannot be followed.
    EXPECT_EQ(Platform_FileExists(dir.file("dangling").c_str()), 1);
    memset(&info, 0xAB, sizeof(info));
    errno = 0;
    EXPECT_EQ(Platform_Stat(dir.file("dangling").c_str(), &info), 0);
    EXPECT_EQ(Platform_GetLastError(), 100000 + ENOENT);
    EXPECT_EQ(info.st_size, 0) << "the record is zeroed";
    EXPECT_EQ(info.st_mode, 0u);
    EXPECT_EQ(Platform_FileExists(dir.file("nothing").c_str()), 0);
    EXPECT_EQ(Platform_FileExists(""), 0);
    // Both separators are accepted on input.
    EXPECT_EQ(Platform_FileExists((dir.path() + "\\target").c_str()), 1);
}

TEST(PlatformFile, PathsOverTheCapacityAreRefusedNeverCut) {
    TempDir dir;
    // The work buffer's worth of text names a real file; the longer path must not reach it.
    std::string longPath = dir.path() + "/";
    longPath += std::string(PLATFORM_FILE_PATH_CAPACITY - longPath.size() - 1, 'a');
    ASSERT_EQ((int32_t)longPath.size(), PLATFORM_FILE_PATH_CAPACITY - 1);
    std::string prefix = longPath.substr(0, dir.path().size() + 200);
    ASSERT_TRUE(WriteText(prefix, "keep"));
    std::string tooLong = longPath + "b";

    struct stat info;
    errno = 0;
    EXPECT_EQ(Platform_Stat(tooLong.c_str(), &info), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(Platform_ErrorAccessInvalid(Platform_GetLastError()), 1);
    EXPECT_EQ(Platform_DeleteFile(nullptr, tooLong.c_str()), 0);
    EXPECT_EQ(Platform_CreateDirectory(tooLong.c_str()), 0);
    EXPECT_EQ(Platform_CopyFile(prefix.c_str(), tooLong.c_str(), 0), 0);
    EXPECT_EQ(Platform_MoveFile(nullptr, prefix.c_str(), tooLong.c_str(), 0), 0);
    EXPECT_EQ(ReadFile(prefix), "keep") << "nothing reached a shorter path";

    // Links hold 320 bytes: link paths and targets beyond that are refused.
    std::string linkTarget(PLATFORM_FILE_LINK_CAPACITY, 'x');
    errno = 0;
    EXPECT_EQ(Platform_CreateSymLink(dir.file("l").c_str(), linkTarget.c_str(), 0), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(Platform_FileExists(dir.file("l").c_str()), 0);
    std::string longLink = dir.path() + "/" + std::string(PLATFORM_FILE_LINK_CAPACITY, 'l');
    EXPECT_EQ(Platform_CreateSymLink(longLink.c_str(), "t", 0), 0);

    // A target longer than the buffer comes back as an error, not cut short.
    ASSERT_EQ(symlink("0123456789", dir.file("ten").c_str()), 0);
    char buffer[8] = "x";
    {
        LogCapture capture;
        EXPECT_EQ(Platform_GetSymLink(dir.file("ten").c_str(), buffer, sizeof(buffer)), 0);
        EXPECT_NE(capture.Text().find("Unable to read symbolic link [" + dir.file("ten") + "][" +
                                      std::to_string(ENAMETOOLONG) + "]\n"),
                  std::string::npos)
            << capture.Text();
    }
    EXPECT_STREQ(buffer, "");
    char big[32];
    EXPECT_EQ(Platform_GetSymLink(dir.file("ten").c_str(), big, sizeof(big)), 1);
    EXPECT_STREQ(big, "0123456789");
    EXPECT_EQ(Platform_GetSymLink(dir.file("ten").c_str(), big, 1), 0) << "the size must be at least 2";
    EXPECT_STREQ(big, "");
}

TEST(PlatformFile, AccessClimbsToTheNearestExistingDirectory) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("file"), "x"));
    EXPECT_EQ(Platform_Access(dir.file("a/b/c").c_str(), 0, 0), 0);
    EXPECT_EQ(Platform_Access(dir.file("a/b/c").c_str(), 0, 1), 1);
    EXPECT_EQ(Platform_Access(dir.file("a/b/c").c_str(), PLATFORM_ACCESS_READ | PLATFORM_ACCESS_WRITE, 1), 1);
    EXPECT_EQ(Platform_Access(dir.file("file").c_str(), PLATFORM_ACCESS_READ, 0), 1);
    // A file is no directory: climbing goes past it to its directory.
    EXPECT_EQ(Platform_Access(dir.file("file/x").c_str(), 0, 1), 1);
    // A relative text without any directory has nothing left to test.
    EXPECT_EQ(Platform_Access("qvr-no-such-entry", 0, 1), 0);
    // Write access on a read-only file system is refused even for root, also for the nearest
    // existing directory of a path that is not there yet.
    SmallVolume readOnly(dir.file("ro"), MS_RDONLY);
    if (!readOnly.mounted()) GTEST_SKIP() << "no read-only file system can be mounted here";
    EXPECT_EQ(Platform_Access(readOnly.file("").c_str(), PLATFORM_ACCESS_READ, 0), 1);
    EXPECT_EQ(Platform_Access(readOnly.file("").c_str(), PLATFORM_ACCESS_WRITE, 0), 0);
    EXPECT_EQ(Platform_ErrorAccessDenied(Platform_GetLastError()), 1);
    EXPECT_EQ(Platform_Access(readOnly.file("a/b").c_str(), PLATFORM_ACCESS_WRITE, 1), 0);
    EXPECT_EQ(Platform_Access(readOnly.file("a/b").c_str(), PLATFORM_ACCESS_READ, 1), 1);
}

TEST(PlatformFile, AttributesAsALinuxUserSeesThem) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("plain.txt"), "x", 0644));
    ASSERT_TRUE(WriteText(dir.file(".hidden"), "x", 0600));
    ASSERT_TRUE(WriteText(dir.file("tool"), "x", 0755));
    ASSERT_TRUE(WriteText(dir.file("owner-only"), "x", 0744));
    mkdir(dir.file("sub").c_str(), 0755);
    symlink("sub", dir.file("to-sub").c_str());
    symlink("tool", dir.file(".to-tool").c_str());
    const struct {
        const char* Name;
        PlatformFileAttributes Expected;
    } cases[] = {
        {"plain.txt", 0},
        {".hidden", PLATFORM_FILE_ATTRIBUTE_HIDDEN},
        {"tool", PLATFORM_FILE_ATTRIBUTE_EXECUTABLE},
        {"owner-only", 0}, // all three execute bits are needed
        {"sub", PLATFORM_FILE_ATTRIBUTE_DIRECTORY | PLATFORM_FILE_ATTRIBUTE_EXECUTABLE},
        {"sub/", PLATFORM_FILE_ATTRIBUTE_DIRECTORY | PLATFORM_FILE_ATTRIBUTE_EXECUTABLE},
        // A link is a link: never a directory, never executable.
        {"to-sub", PLATFORM_FILE_ATTRIBUTE_SYMLINK},
        {".to-tool", PLATFORM_FILE_ATTRIBUTE_SYMLINK | PLATFORM_FILE_ATTRIBUTE_HIDDEN},
    };
    for (const auto& c : cases) {
        PlatformFileAttributes attributes = 0xFFFF;
        EXPECT_EQ(Platform_GetFileAttributes(nullptr, dir.file(c.Name).c_str(), &attributes), 1) << c.Name;
        EXPECT_EQ(attributes, c.Expected) << c.Name;
        struct stat info;
        ASSERT_EQ(lstat(dir.file(c.Name).c_str(), &info), 0);
        attributes = 0xFFFF;
        EXPECT_EQ(Platform_ConvertStatFileAttributes(dir.file(c.Name).c_str(), &info, &attributes), 1);
        EXPECT_EQ(attributes, c.Expected) << c.Name;
        EXPECT_EQ(attributes & PLATFORM_FILE_ATTRIBUTE_SYSTEM, 0u);
    }
    PlatformFileAttributes attributes = 0xFFFF;
    EXPECT_EQ(Platform_GetFileAttributes(nullptr, dir.file("missing").c_str(), &attributes), 0);
    EXPECT_EQ(attributes, 0u);
    EXPECT_EQ(Platform_ErrorMissing(Platform_GetLastError()), 1);
}

TEST(PlatformFile, SetAttributesOnlyAdds) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("notes.txt"), "x", 0644));
    ASSERT_TRUE(WriteText(dir.file(".notes"), "x", 0644));
    {
        LogCapture capture;
        errno = 0;
        EXPECT_EQ(Platform_SetFileAttributes(nullptr, dir.file("notes.txt").c_str(),
                                             PLATFORM_FILE_ATTRIBUTE_HIDDEN),
                  0);
        EXPECT_EQ(errno, EACCES);
        EXPECT_NE(capture.Text().find("Hidden attribute not applied (file does not begin with dot) [" +
                                      dir.file("notes.txt") + "]\n"),
                  std::string::npos)
            << capture.Text();
    }
    EXPECT_EQ(Platform_SetFileAttributes(nullptr, dir.file(".notes").c_str(), PLATFORM_FILE_ATTRIBUTE_HIDDEN),
              1);
    EXPECT_EQ(ModeOf(dir.file(".notes")), 0644u) << "nothing changes";
    EXPECT_EQ(FileExists(dir.file(".notes")), true);

    EXPECT_EQ(Platform_SetFileAttributes(nullptr, dir.file("notes.txt").c_str(),
                                         PLATFORM_FILE_ATTRIBUTE_EXECUTABLE),
              1);
    EXPECT_EQ(ModeOf(dir.file("notes.txt")), 0755u);
    // Attributes that are not asked are not taken away.
    EXPECT_EQ(Platform_SetFileAttributes(nullptr, dir.file("notes.txt").c_str(), 0), 1);
    EXPECT_EQ(ModeOf(dir.file("notes.txt")), 0755u);
    EXPECT_EQ(Platform_SetFileAttributes(nullptr, dir.file("missing").c_str(), 0), 0);
}

TEST(PlatformFile, ReadOnlyIsTheImmutableFlag) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("locked"), "data"));
    if (!ImmutableSupported(dir.file("locked"))) GTEST_SKIP() << "the immutable flag cannot be set here";
    EXPECT_EQ(Platform_EnsurePathMutable(dir.file("locked").c_str()), 1) << "nothing set is fine";
    EXPECT_EQ(
        Platform_SetFileAttributes(nullptr, dir.file("locked").c_str(), PLATFORM_FILE_ATTRIBUTE_READONLY), 1);
    PlatformFileAttributes attributes = 0;
    EXPECT_EQ(Platform_GetFileAttributes(nullptr, dir.file("locked").c_str(), &attributes), 1);
    EXPECT_EQ(attributes, (PlatformFileAttributes)PLATFORM_FILE_ATTRIBUTE_READONLY);
    // Even root cannot delete or write an immutable file: a permission failure without modes.
    errno = 0;
    EXPECT_EQ(Platform_DeleteFile(nullptr, dir.file("locked").c_str()), 0);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(Platform_ErrorAccessDenied(Platform_GetLastError()), 1);
    EXPECT_LT(Platform_Open(dir.file("locked").c_str(), O_WRONLY, 0, 0600), 0);
    EXPECT_EQ(Platform_EnsurePathMutable(dir.file("locked").c_str()), 1);
    EXPECT_EQ(Platform_GetFileAttributes(nullptr, dir.file("locked").c_str(), &attributes), 1);
    EXPECT_EQ(attributes, 0u);
    EXPECT_EQ(Platform_DeleteFile(nullptr, dir.file("locked").c_str()), 1);
}

TEST(PlatformFile, ChangesThroughALinkNeverReachItsTarget) {
    TempDir dir;
    TempDir outside;
    ASSERT_TRUE(WriteText(outside.file("precious"), "keep", 0600));
    struct stat before;
    ASSERT_EQ(stat(outside.file("precious").c_str(), &before), 0);
    const std::string link = dir.file("link");
    ASSERT_EQ(symlink(outside.file("precious").c_str(), link.c_str()), 0);

    EXPECT_EQ(Platform_ChangeMode(nullptr, link.c_str(), 0777), 1);
    EXPECT_EQ(Platform_SetFileAttributes(nullptr, link.c_str(), PLATFORM_FILE_ATTRIBUTE_EXECUTABLE), 1);
    EXPECT_EQ(Platform_SetFileGroup(link.c_str(), "Everyone"), 1);
    EXPECT_EQ(Platform_EnsurePathMutable(link.c_str()), 1);
    struct tm when;
    Time_ConvertEncodedToTm(&when, 1000000000.0);
    EXPECT_EQ(Platform_SetFileTime(link.c_str(), nullptr, nullptr, nullptr, &when, &when), 1);
    struct stat linkInfo;
    ASSERT_EQ(lstat(link.c_str(), &linkInfo), 0);
    EXPECT_EQ(linkInfo.st_mtim.tv_sec, 1000000000) << "the link got its own time";

    struct stat after;
    ASSERT_EQ(stat(outside.file("precious").c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0600u);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    // A copied link is a link with the same target; a deleted link leaves its target.
    EXPECT_EQ(Platform_CopyFile(link.c_str(), dir.file("copy").c_str(), 1), 1);
    char target[PLATFORM_FILE_LINK_CAPACITY];
    EXPECT_EQ(Platform_GetSymLink(dir.file("copy").c_str(), target, sizeof(target)), 1);
    EXPECT_EQ(std::string(target), outside.file("precious"));
    EXPECT_EQ(Platform_CopyFile(link.c_str(), dir.file("copy").c_str(), 0), 1) << "replaced by a link again";
    ASSERT_EQ(Platform_GetSymLink(dir.file("copy").c_str(), target, sizeof(target)), 1);
    EXPECT_EQ(std::string(target), outside.file("precious"));
    EXPECT_EQ(Platform_DeleteFile(nullptr, link.c_str()), 1);
    EXPECT_EQ(Platform_DeleteFile(nullptr, dir.file("copy").c_str()), 1);
    EXPECT_EQ(ReadFile(outside.file("precious")), "keep");
    // A link to a directory is no directory to remove.
    mkdir(outside.file("tree").c_str(), 0755);
    symlink(outside.file("tree").c_str(), dir.file("tree-link").c_str());
    EXPECT_EQ(Platform_RemoveDirectory(dir.file("tree-link").c_str()), 0);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_TRUE(FileExists(outside.file("tree")));
}

TEST(PlatformFile, FileTimesAsCalendarRecords) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), "x"));
    struct tm access, modified;
    ASSERT_EQ(Time_ConvertEncodedToTm(&access, 1200000000.0), 1);
    ASSERT_EQ(Time_ConvertEncodedToTm(&modified, 1300000000.0), 1);
    EXPECT_EQ(Platform_SetFileTime(dir.file("f").c_str(), nullptr, nullptr, &modified, &access, &modified),
              1);
    struct stat info;
    ASSERT_EQ(stat(dir.file("f").c_str(), &info), 0);
    EXPECT_EQ(info.st_atim.tv_sec, 1200000000);
    EXPECT_EQ(info.st_mtim.tv_sec, 1300000000);
    // Only the access time: the modification time stays.
    ASSERT_EQ(Time_ConvertEncodedToTm(&access, 1250000000.0), 1);
    EXPECT_EQ(Platform_SetFileTime(dir.file("f").c_str(), nullptr, nullptr, nullptr, &access, nullptr), 1);
    ASSERT_EQ(stat(dir.file("f").c_str(), &info), 0);
    EXPECT_EQ(info.st_atim.tv_sec, 1250000000);
    EXPECT_EQ(info.st_mtim.tv_sec, 1300000000);

    struct tm readAccess, readModified, readCreation;
    EXPECT_EQ(Platform_GetFileTime(dir.file("f").c_str(), nullptr, nullptr, &readCreation, &readAccess,
                                   &readModified),
              1);
    double value = 0;
    Time_ConvertTmToEncoded(&readAccess, &value);
    EXPECT_EQ(value, 1250000000.0);
    Time_ConvertTmToEncoded(&readModified, &value);
    EXPECT_EQ(value, 1300000000.0);
    Time_ConvertTmToEncoded(&readCreation, &value);
    EXPECT_GT(value, 0.0);
    EXPECT_EQ(Platform_GetFileTime(dir.file("f").c_str(), nullptr, nullptr, nullptr, nullptr, nullptr), 1);
    memset(&readModified, 0x5A, sizeof(readModified));
    EXPECT_EQ(
        Platform_GetFileTime(dir.file("gone").c_str(), nullptr, nullptr, nullptr, nullptr, &readModified), 0);
    EXPECT_EQ(readModified.tm_year, 0) << "cleared first";
    EXPECT_EQ(Platform_SetFileTime(dir.file("gone").c_str(), nullptr, nullptr, nullptr, &access, nullptr), 0);
}

TEST(PlatformFile, SetFileGroupWidensOrChangesOwnership) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), "x", 0600));
    EXPECT_EQ(Platform_SetFileGroup(dir.file("f").c_str(), "everyone"), 1);
    EXPECT_EQ(ModeOf(dir.file("f")), 0777u);
    EXPECT_EQ(Platform_SetFileGroup(dir.file("f").c_str(), "Authenticated Users"), 1);
    EXPECT_EQ(ModeOf(dir.file("f")), 0775u);
    EXPECT_EQ(Platform_SetFileGroup(dir.file("f").c_str(), "Users"), 1);
    EXPECT_EQ(ModeOf(dir.file("f")), 0775u);
    errno = 0;
    EXPECT_EQ(Platform_SetFileGroup(dir.file("f").c_str(), "qvr-no-such-account"), 0);
    EXPECT_EQ(errno, EINVAL);
    if (geteuid() == 0) {
        // "nobody" is a user (and on some systems a group): the owner changes.
        EXPECT_EQ(Platform_SetFileGroup(dir.file("f").c_str(), "nobody"), 1);
        struct stat info;
        ASSERT_EQ(stat(dir.file("f").c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, 65534u);
    }
}

TEST(PlatformFile, CopyKeepsDataModeTimesAndExtendedAttributes) {
    TempDir dir;
    std::string data(200000, 0);
    for (size_t i = 0; i < data.size(); i++) data[i] = (char)(i * 31 + 7);
    ASSERT_TRUE(WriteText(dir.file("source"), data, 0640));
    struct timespec times[2] = {{1100000000, 5}, {1150000000, 123456789}};
    utimensat(AT_FDCWD, dir.file("source").c_str(), times, 0);
    const bool xattrs = setxattr(dir.file("source").c_str(), "user.test", "value", 5, 0) == 0;

    struct Progress {
        std::vector<uint64_t> Copied;
        uint64_t Total = 0;
        int32_t StopAfter = -1;
    } progress;
    auto callback = [](void* user, const char*, const char*, uint64_t copied, uint64_t total) -> int64_t {
        Progress* p = static_cast<Progress*>(user);
        p->Copied.push_back(copied);
        p->Total = total;
        return p->StopAfter < 0 || (int32_t)p->Copied.size() < p->StopAfter;
    };
    EXPECT_EQ(Platform_CopyFileWithProgress(dir.file("source").c_str(), dir.file("copy").c_str(), 1,
                                            &progress, callback),
              1);
    EXPECT_EQ(ReadFile(dir.file("copy")), data);
    EXPECT_EQ(ModeOf(dir.file("copy")), 0640u);
    struct stat info;
    ASSERT_EQ(stat(dir.file("copy").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, 1150000000);
    EXPECT_EQ(info.st_mtim.tv_nsec, 123456789);
    ASSERT_FALSE(progress.Copied.empty());
    EXPECT_EQ(progress.Copied.back(), data.size());
    EXPECT_EQ(progress.Total, data.size());
    for (size_t i = 1; i < progress.Copied.size(); i++) EXPECT_GT(progress.Copied[i], progress.Copied[i - 1]);
    if (xattrs) {
        char value[16] = {};
        EXPECT_EQ(getxattr(dir.file("copy").c_str(), "user.test", value, sizeof(value)), 5);
        EXPECT_STREQ(value, "value");
    }

    // Fail-if-exists leaves the destination alone.
    ASSERT_TRUE(WriteText(dir.file("other"), "old"));
    errno = 0;
    EXPECT_EQ(Platform_CopyFile(dir.file("source").c_str(), dir.file("other").c_str(), 1), 0);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(Platform_ErrorAlreadyExists(Platform_GetLastError()), 1);
    EXPECT_EQ(ReadFile(dir.file("other")), "old");

    // A copy stopped by its progress function fails and leaves the destination whole.
    progress = Progress();
    progress.StopAfter = 1;
    errno = 0;
    EXPECT_EQ(Platform_CopyFileWithProgress(dir.file("source").c_str(), dir.file("other").c_str(), 0,
                                            &progress, callback),
              0);
    EXPECT_EQ(errno, ECANCELED);
    EXPECT_EQ(ReadFile(dir.file("other")), "old");

    // Without fail-if-exists the destination is replaced.
    EXPECT_EQ(Platform_CopyFile(dir.file("source").c_str(), dir.file("other").c_str(), 0), 1);
    EXPECT_EQ(ReadFile(dir.file("other")), data);

    // Bad sources: missing, a directory, a fifo (which must not block).
    errno = 0;
    EXPECT_EQ(Platform_CopyFile(dir.file("missing").c_str(), dir.file("x").c_str(), 0), 0);
    EXPECT_EQ(Platform_ErrorMissing(Platform_GetLastError()), 1);
    mkdir(dir.file("sub").c_str(), 0755);
    errno = 0;
    EXPECT_EQ(Platform_CopyFile(dir.file("sub").c_str(), dir.file("x").c_str(), 0), 0);
    EXPECT_EQ(errno, EISDIR);
    mkfifo(dir.file("fifo").c_str(), 0644);
    EXPECT_EQ(Platform_CopyFile(dir.file("fifo").c_str(), dir.file("x").c_str(), 0), 0);
    EXPECT_EQ(Platform_ErrorNotSupported(Platform_GetLastError()), 1);
    // A directory where the destination file should go.
    EXPECT_EQ(Platform_CopyFile(dir.file("source").c_str(), dir.file("sub").c_str(), 0), 0);
    EXPECT_EQ(Entries(dir.path()), (std::set<std::string>{"source", "copy", "other", "sub", "fifo"}))
        << "no temporary file is left behind";
}

TEST(PlatformFile, ACopyOntoAFullDiskLeavesTheOldFileWhole) {
    TempDir dir;
    SmallVolume volume(dir.file("volume"));
    if (!volume.mounted()) GTEST_SKIP() << "no tmpfs can be mounted here";
    ASSERT_TRUE(WriteText(volume.file("kept"), "the old content"));
    ASSERT_TRUE(WriteText(dir.file("big"), std::string(2 * 1024 * 1024, 'b')));
    errno = 0;
    EXPECT_EQ(Platform_CopyFile(dir.file("big").c_str(), volume.file("kept").c_str(), 0), 0);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(Platform_ErrorNotEnoughSpace(Platform_GetLastError()), 1);
    EXPECT_EQ(ReadFile(volume.file("kept")), "the old content");
    EXPECT_EQ(Entries(dir.file("volume")), std::set<std::string>{"kept"});
}

TEST(PlatformFile, ACopyThatHitsTheSizeLimitLeavesTheOldFileWhole) {
    // The file-size limit fails writes as a full disk would, without mounting anything.
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("kept"), "the old content"));
    ASSERT_TRUE(WriteText(dir.file("big"), std::string(300000, 'b')));
    int status = InChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {100000, 100000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
        errno = 0;
        if (Platform_CopyFile(dir.file("big").c_str(), dir.file("kept").c_str(), 0)) return 3;
        return errno == EFBIG ? 0 : 4;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(dir.file("kept")), "the old content");
    EXPECT_EQ(Entries(dir.path()), (std::set<std::string>{"kept", "big"}));
}

TEST(PlatformFile, MoveKeepsAnExistingDestinationUnlessAskedToReplace) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("a"), "A"));
    ASSERT_TRUE(WriteText(dir.file("b"), "B"));
    errno = 0;
    EXPECT_EQ(Platform_MoveFile(nullptr, dir.file("a").c_str(), dir.file("b").c_str(), 0), 0);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(ReadFile(dir.file("a")), "A");
    EXPECT_EQ(ReadFile(dir.file("b")), "B");
    EXPECT_EQ(Platform_MoveFile(nullptr, dir.file("a").c_str(), dir.file("b").c_str(),
                                PLATFORM_MOVE_REPLACE_EXISTING | PLATFORM_MOVE_WRITE_THROUGH),
              1);
    EXPECT_FALSE(FileExists(dir.file("a")));
    EXPECT_EQ(ReadFile(dir.file("b")), "A");
    EXPECT_EQ(Platform_MoveFile(nullptr, dir.file("missing").c_str(), dir.file("c").c_str(), 0), 0);
    EXPECT_EQ(Platform_ErrorMissing(Platform_GetLastError()), 1);

    // On one volume the progress function hears once, with the whole size.
    struct Heard {
        int32_t Calls = 0;
        uint64_t Copied = 0, Total = 0;
    } heard;
    auto callback = [](void* user, const char*, const char*, uint64_t copied, uint64_t total) -> int64_t {
        Heard* h = static_cast<Heard*>(user);
        h->Calls++;
        h->Copied = copied;
        h->Total = total;
        return 1;
    };
    EXPECT_EQ(
        Platform_MoveFileWithProgress(dir.file("b").c_str(), dir.file("c").c_str(), 0, &heard, callback), 1);
    EXPECT_EQ(heard.Calls, 1);
    EXPECT_EQ(heard.Copied, 1u);
    EXPECT_EQ(heard.Total, 1u);
    EXPECT_EQ(ReadFile(dir.file("c")), "A");
    // A destination in a directory that is not there yet.
    EXPECT_EQ(Platform_MoveFile(nullptr, dir.file("c").c_str(), dir.file("no/such/c").c_str(), 0), 0);
    EXPECT_EQ(ReadFile(dir.file("c")), "A");
}

TEST(PlatformFile, MoveAcrossVolumesCopiesOnlyWhenAllowed) {
    TempDir dir;
    SmallVolume volume(dir.file("volume"));
    if (!volume.mounted()) GTEST_SKIP() << "no tmpfs can be mounted here";
    ASSERT_TRUE(WriteText(dir.file("a"), "across", 0604));
    errno = 0;
    EXPECT_EQ(Platform_MoveFile(nullptr, dir.file("a").c_str(), volume.file("a").c_str(), 0), 0);
    EXPECT_EQ(errno, EXDEV);
    EXPECT_EQ(ReadFile(dir.file("a")), "across");
    // Allowed, with or without a progress function.
    EXPECT_EQ(Platform_MoveFile(nullptr, dir.file("a").c_str(), volume.file("a").c_str(),
                                PLATFORM_MOVE_COPY_ALLOWED | PLATFORM_MOVE_WRITE_THROUGH),
              1);
    EXPECT_FALSE(FileExists(dir.file("a")));
    EXPECT_EQ(ReadFile(volume.file("a")), "across");
    EXPECT_EQ(ModeOf(volume.file("a")), 0604u);
    int32_t calls = 0;
    auto callback = [](void* user, const char*, const char*, uint64_t, uint64_t) -> int64_t {
        (*static_cast<int32_t*>(user))++;
        return 1;
    };
    EXPECT_EQ(Platform_MoveFileWithProgress(volume.file("a").c_str(), dir.file("back").c_str(),
                                            PLATFORM_MOVE_COPY_ALLOWED, &calls, callback),
              1);
    EXPECT_GE(calls, 1);
    EXPECT_EQ(ReadFile(dir.file("back")), "across");
    EXPECT_FALSE(FileExists(volume.file("a")));
    // A directory is not copied across: nothing moves.
    mkdir(dir.file("tree").c_str(), 0755);
    ASSERT_TRUE(WriteText(dir.file("tree/leaf"), "leaf"));
    errno = 0;
    EXPECT_EQ(Platform_MoveFile(nullptr, dir.file("tree").c_str(), volume.file("tree").c_str(),
                                PLATFORM_MOVE_COPY_ALLOWED),
              0);
    EXPECT_EQ(errno, EXDEV);
    EXPECT_EQ(ReadFile(dir.file("tree/leaf")), "leaf");
    EXPECT_FALSE(FileExists(volume.file("tree")));
    // A copy that does not fit leaves the source where it was.
    ASSERT_TRUE(WriteText(dir.file("big"), std::string(2 * 1024 * 1024, 'b')));
    EXPECT_EQ(Platform_MoveFile(nullptr, dir.file("big").c_str(), volume.file("big").c_str(),
                                PLATFORM_MOVE_COPY_ALLOWED),
              0);
    EXPECT_EQ(Platform_ErrorNotEnoughSpace(Platform_GetLastError()), 1);
    EXPECT_EQ(ReadFile(dir.file("big")).size(), 2u * 1024 * 1024);
    EXPECT_FALSE(FileExists(volume.file("big")));
}

TEST(PlatformFile, DeletesAndDirectories) {
    TempDir dir;
    ::umask(022);
    EXPECT_EQ(Platform_CreateDirectory(dir.file("d").c_str()), 1);
    EXPECT_EQ(ModeOf(dir.file("d")), 0755u) << "the parent is ours and not group-writable";
    errno = 0;
    EXPECT_EQ(Platform_CreateDirectory(dir.file("d").c_str()), 0);
    EXPECT_EQ(Platform_ErrorAlreadyExists(Platform_GetLastError()), 1);
    ASSERT_TRUE(WriteText(dir.file("d/f"), "x"));
    EXPECT_EQ(Platform_RemoveDirectory(dir.file("d").c_str()), 0);
    EXPECT_EQ(errno, ENOTEMPTY);
    errno = 0;
    EXPECT_EQ(Platform_DeleteFile(nullptr, dir.file("d").c_str()), 0) << "a directory is no file";
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(Platform_ErrorAccessInvalid(Platform_GetLastError()), 1);
    EXPECT_EQ(Platform_DeleteFileOnReboot(dir.file("d/f").c_str()), 1);
    EXPECT_FALSE(FileExists(dir.file("d/f")));
    EXPECT_EQ(Platform_DeleteFile(nullptr, dir.file("d/f").c_str()), 0);
    EXPECT_EQ(Platform_ErrorMissing(Platform_GetLastError()), 1);
    EXPECT_EQ(Platform_RemoveDirectory(dir.file("d").c_str()), 1);

    // A group-writable parent keeps what is made in it writable by the group.
    mkdir(dir.file("shared").c_str(), 0775);
    chmod(dir.file("shared").c_str(), 0775);
    EXPECT_EQ(Platform_CreateDirectory(dir.file("shared/new").c_str()), 1);
    EXPECT_EQ(ModeOf(dir.file("shared/new")), 0775u);
    if (geteuid() == 0) {
        // So does a parent owned by another user.
        mkdir(dir.file("theirs").c_str(), 0755);
        ASSERT_EQ(chown(dir.file("theirs").c_str(), 65534, 65534), 0);
        EXPECT_EQ(Platform_CreateDirectory(dir.file("theirs/new").c_str()), 1);
        EXPECT_EQ(ModeOf(dir.file("theirs/new")), 0775u);
    }
}

// The mode asked for, less the creation mask: a private file stays private wherever it is made,
// and only an item that already lets its group read it is opened to the group's writes in a
// shared directory.
TEST(PlatformFile, OpenCreatesWithTheModeAskedFor) {
    TempDir dir;
    const mode_t saved = ::umask(022);
    ASSERT_EQ(mkdir(dir.file("shared").c_str(), 0775), 0);
    ASSERT_EQ(chmod(dir.file("shared").c_str(), 0775), 0);
    struct Case {
        const char* name;
        int32_t permissions;
        mode_t expected;
    } cases[] = {
        {"private", 0600, 0600},        {"readable", 0644, 0644},     {"program", 0700, 0700},
        {"shared/private", 0600, 0600}, {"shared/group", 0640, 0660},
    };
    for (const Case& c : cases) {
        const int32_t fd = Platform_Open(dir.file(c.name).c_str(), O_RDWR | O_CREAT, 0, c.permissions);
        ASSERT_GE(fd, 0) << c.name;
        EXPECT_EQ(Platform_Close(fd), 1);
        EXPECT_EQ(ModeOf(dir.file(c.name)), c.expected) << c.name;
    }
    ::umask(saved);
}

TEST(PlatformFile, SymbolicLinksGetTheirParentsAndLogFailures) {
    TempDir dir;
    EXPECT_EQ(Platform_CreateSymLink(dir.file("a/b/link").c_str(), "../target", 0), 1);
    char target[64];
    EXPECT_EQ(Platform_GetSymLink(dir.file("a/b/link").c_str(), target, sizeof(target)), 1);
    EXPECT_STREQ(target, "../target");
    LogCapture capture;
    EXPECT_EQ(Platform_CreateSymLink(dir.file("a/b/link").c_str(), "other", 0), 0);
    EXPECT_NE(capture.Text().find("Unable to create symbolic link [" + dir.file("a/b/link") + "][" +
                                  std::to_string(EEXIST) + "]\n"),
              std::string::npos)
        << capture.Text();
    ASSERT_TRUE(WriteText(dir.file("file"), "x"));
    capture.Clear();
    EXPECT_EQ(Platform_CreateSymLink(dir.file("file/sub/link").c_str(), "t", 0), 0);
    EXPECT_NE(capture.Text().find("Unable to create symlink parent directory [" + dir.file("file/sub/link")),
              std::string::npos)
        << capture.Text();
    capture.Clear();
    EXPECT_EQ(Platform_GetSymLink(dir.file("file").c_str(), target, sizeof(target)), 0);
    EXPECT_NE(capture.Text().find("Unable to read symbolic link [" + dir.file("file") + "][" +
                                  std::to_string(EINVAL) + "]\n"),
              std::string::npos)
        << capture.Text();
}

TEST(PlatformFile, FreeDiskSpaceNeedsADirectoryWithItsSeparator) {
    LogCapture capture;
    uint64_t bytes = 7;
    EXPECT_EQ(Platform_GetFreeDiskSpace("/tmp", &bytes), 0);
    EXPECT_EQ(bytes, 0u);
    EXPECT_NE(capture.Text().find("Path is invalid (/tmp)\n"), std::string::npos) << capture.Text();
    EXPECT_EQ(Platform_GetFreeDiskSpace("/tmp/", &bytes), 1);
    EXPECT_GT(bytes, 0u);
    struct statvfs info;
    ASSERT_EQ(statvfs("/tmp", &info), 0);
    EXPECT_LE(bytes, (uint64_t)info.f_frsize * info.f_blocks);
    EXPECT_EQ(Platform_GetFreeDiskSpace("/qvr-no-such-dir/", &bytes), 0);
}

TEST(PlatformFile, RecordLocksKeepOtherProcessesOut) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), std::string(100, 'x')));
    int fd = open(dir.file("f").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    for (int32_t bad : {-1, 5, 99}) {
        errno = 0;
        EXPECT_EQ(Platform_Lock(fd, bad, 10), -1) << bad;
        EXPECT_EQ(errno, EINVAL);
    }
    lseek(fd, 10, SEEK_SET);
    ASSERT_EQ(Platform_Lock(fd, PLATFORM_LOCK_EXCLUSIVE, 10), 0);
    const std::string path = dir.file("f");
    // Another process: bytes 10..19 are taken, 30..39 are free.
    auto tryLock = [&](off_t at, int32_t operation) {
        return InChild([&] {
            int other = open(path.c_str(), O_RDWR);
            lseek(other, at, SEEK_SET);
            return Platform_Lock(other, operation, 10) == 0 ? 0 : 1;
        });
    };
    EXPECT_EQ(tryLock(10, PLATFORM_LOCK_EXCLUSIVE), 1);
    EXPECT_EQ(tryLock(15, PLATFORM_LOCK_SHARED), 1);
    EXPECT_EQ(tryLock(30, PLATFORM_LOCK_EXCLUSIVE), 0);
    lseek(fd, 10, SEEK_SET);
    ASSERT_EQ(Platform_Lock(fd, PLATFORM_LOCK_UNLOCK, 10), 0);
    EXPECT_EQ(tryLock(10, PLATFORM_LOCK_EXCLUSIVE_WAIT), 0);
    // Shared locks share.
    lseek(fd, 50, SEEK_SET);
    ASSERT_EQ(Platform_Lock(fd, PLATFORM_LOCK_SHARED_WAIT, 10), 0);
    EXPECT_EQ(tryLock(50, PLATFORM_LOCK_SHARED), 0);
    EXPECT_EQ(tryLock(50, PLATFORM_LOCK_EXCLUSIVE), 1);
    EXPECT_EQ(Platform_Lock(-1, PLATFORM_LOCK_EXCLUSIVE, 10), -1);
    close(fd);
}

TEST(PlatformFile, MapsAWholeFileOrAPart) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), "0123456789"));
    int fd = open(dir.file("f").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void* address = nullptr;
    uint64_t length = 0;
    ASSERT_EQ(Platform_MapViewOfFile(fd, PLATFORM_ACCESS_READ | PLATFORM_ACCESS_WRITE, 0, &address, &length),
              1);
    EXPECT_EQ(length, 10u);
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(memcmp(address, "0123456789", 10), 0);
    static_cast<char*>(address)[0] = 'X';
    EXPECT_EQ(Platform_UnmapViewOfFile(&address, length), 1);
    EXPECT_EQ(address, nullptr);
    EXPECT_EQ(Platform_UnmapViewOfFile(&address, length), 1) << "nothing mapped is fine";
    EXPECT_EQ(ReadFile(dir.file("f")), "X123456789") << "the map is shared with the file";
    length = 4;
    ASSERT_EQ(Platform_MapViewOfFile(fd, PLATFORM_ACCESS_READ, 0, &address, &length), 1);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(Platform_UnmapViewOfFile(&address, length), 1);
    close(fd);
    ASSERT_TRUE(WriteText(dir.file("empty"), ""));
    fd = open(dir.file("empty").c_str(), O_RDONLY);
    length = 0;
    address = reinterpret_cast<void*>(1);
    EXPECT_EQ(Platform_MapViewOfFile(fd, PLATFORM_ACCESS_READ, 0, &address, &length), 0);
    EXPECT_EQ(address, nullptr);
    close(fd);
    length = 0;
    EXPECT_EQ(Platform_MapViewOfFile(-1, PLATFORM_ACCESS_READ, 0, &address, &length), 0);
    EXPECT_EQ(Platform_SparseMode(), 0);
    EXPECT_EQ(Platform_ErrorNotSupported(Platform_GetLastError()), 1);
}

std::set<std::string> FindAll(const std::string& pattern, std::vector<PlatformFindData>* records = nullptr) {
    std::set<std::string> names;
    PlatformFindData data;
    void* search = nullptr;
    if (!Platform_FindFirstFile(pattern.c_str(), &data, &search)) {
        EXPECT_EQ(search, nullptr);
        return names;
    }
    do {
        names.insert(data.Name);
        if (records) records->push_back(data);
    } while (Platform_FindNextFile(search, &data));
    EXPECT_EQ(Platform_FindClose(&search), 1);
    EXPECT_EQ(search, nullptr);
    return names;
}

TEST(PlatformFile, FindMatchesWithoutCaseAndReportsEachEntryItself) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("a.txt"), "hello"));
    ASSERT_TRUE(WriteText(dir.file("B.TXT"), ""));
    ASSERT_TRUE(WriteText(dir.file("c.log"), ""));
    mkdir(dir.file("sub").c_str(), 0755);
    symlink("sub", dir.file("link").c_str());
    const std::string odd = std::string("bad-\xff\xfe-name.txt");
    ASSERT_TRUE(WriteText(dir.file(odd), ""));

    EXPECT_EQ(FindAll(dir.file("*.TXT")), (std::set<std::string>{"a.txt", "B.TXT", odd}));
    EXPECT_EQ(FindAll(dir.file("?.txt")), (std::set<std::string>{"a.txt", "B.TXT"}));
    EXPECT_EQ(FindAll(dir.file("*")),
              (std::set<std::string>{".", "..", "a.txt", "B.TXT", "c.log", "sub", "link", odd}));
    EXPECT_EQ(FindAll(dir.path() + "/"), FindAll(dir.file("*")))
        << "an empty name pattern matches everything";
    EXPECT_EQ(FindAll(dir.file("*.none")), std::set<std::string>{});
    EXPECT_EQ(FindAll(dir.file("missing/*")), std::set<std::string>{});
    EXPECT_EQ(FindAll(dir.file("a.txt/*")), std::set<std::string>{}) << "a file is no directory";

    std::vector<PlatformFindData> records;
    FindAll(dir.file("*"), &records);
    for (const PlatformFindData& r : records) {
        SCOPED_TRACE(r.Name);
        EXPECT_EQ(std::string(r.Pattern), dir.file("*"));
        if (std::string(r.Name) == "a.txt") {
            EXPECT_EQ(r.Size, 5u);
            EXPECT_EQ(r.Attributes, 0u);
            EXPECT_GT(r.ModifiedTime.tm_year, 100);
        } else if (std::string(r.Name) == "sub") {
            EXPECT_EQ(r.Attributes & PLATFORM_FILE_ATTRIBUTE_DIRECTORY,
                      (uint32_t)PLATFORM_FILE_ATTRIBUTE_DIRECTORY);
        } else if (std::string(r.Name) == "link") {
            EXPECT_EQ(r.Attributes, (uint32_t)PLATFORM_FILE_ATTRIBUTE_SYMLINK);
        } else if (std::string(r.Name) == "..") {
            EXPECT_NE(r.Attributes & PLATFORM_FILE_ATTRIBUTE_HIDDEN, 0u);
        }
    }
    void* search = nullptr;
    EXPECT_EQ(Platform_FindClose(&search), 1);
    PlatformFindData data;
    EXPECT_EQ(Platform_FindNextFile(nullptr, &data), 0);
}

TEST(PlatformFile, SecurityDescriptorsCarryNoListHere) {
    for (const char* name : {"Everyone", "Users", "Authenticated Users", "everyone"}) {
        void* descriptor = nullptr;
        ASSERT_EQ(Platform_SecurityCreate(name, &descriptor), 1) << name;
        ASSERT_NE(descriptor, nullptr);
        void* list = reinterpret_cast<void*>(1);
        EXPECT_EQ(Platform_SecurityGetDescriptor(descriptor, &list), 1);
        EXPECT_EQ(list, nullptr);
        EXPECT_EQ(Platform_SecurityDelete(&descriptor), 1);
        EXPECT_EQ(descriptor, nullptr);
    }
    void* descriptor = reinterpret_cast<void*>(1);
    EXPECT_EQ(Platform_SecurityCreate("Administrators", &descriptor), 0);
    EXPECT_EQ(descriptor, nullptr);
    EXPECT_EQ(Platform_SecurityDelete(&descriptor), 1);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            void* list = nullptr;
            Platform_SecurityGetDescriptor(nullptr, &list);
        },
        AbortRegex("Pointer is NULL\n"));
}

TEST(PlatformFile, ReplacementTakesTheOldFilesPlaceOnlyWhenCommitted) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("doc"), "old", 0640));
    void* replacement = nullptr;
    int32_t fd = Platform_ReplaceBegin(dir.file("doc").c_str(), O_WRONLY, &replacement);
    ASSERT_GE(fd, 0);
    ASSERT_NE(replacement, nullptr);
    int32_t written = 0;
    ASSERT_EQ(Platform_Write(fd, "new content", 11, &written), 1);
    EXPECT_EQ(ReadFile(dir.file("doc")), "old") << "the old file is whole until the commit";
    EXPECT_EQ(Platform_ReplaceAbort(&replacement), 1);
    EXPECT_EQ(replacement, nullptr);
    EXPECT_EQ(ReadFile(dir.file("doc")), "old");
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"doc"});

    fd = Platform_ReplaceBegin(dir.file("doc").c_str(), O_RDWR, &replacement);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(Platform_Write(fd, "new content", 11, &written), 1);
    EXPECT_EQ(Platform_ReplaceCommit(&replacement), 1);
    EXPECT_EQ(ReadFile(dir.file("doc")), "new content");
    EXPECT_EQ(ModeOf(dir.file("doc")), 0640u);
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"doc"});

    // Through a link the file it points at is replaced; the link stays.
    symlink("doc", dir.file("link").c_str());
    fd = Platform_ReplaceBegin(dir.file("link").c_str(), O_WRONLY, &replacement);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(Platform_Write(fd, "third", 5, &written), 1);
    EXPECT_EQ(Platform_ReplaceCommit(&replacement), 1);
    struct stat info;
    ASSERT_EQ(lstat(dir.file("link").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(ReadFile(dir.file("doc")), "third");

    mkdir(dir.file("sub").c_str(), 0755);
    errno = 0;
    EXPECT_EQ(Platform_ReplaceBegin(dir.file("sub").c_str(), O_WRONLY, &replacement), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(replacement, nullptr);
    EXPECT_EQ(Platform_ReplaceBegin(dir.file("missing").c_str(), O_WRONLY, &replacement), -1);
    EXPECT_EQ(Platform_ErrorMissing(Platform_GetLastError()), 1);
    EXPECT_EQ(Platform_ReplaceCommit(&replacement), 1) << "nothing begun, nothing to do";
}

TEST(PlatformFile, ReadSeekAndTruncateOnADescriptor) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), "abcdef"));
    int fd = open(dir.file("f").c_str(), O_RDWR);
    char buffer[8] = {};
    uint32_t count = 9;
    EXPECT_EQ(Platform_Read(fd, buffer, 4, &count), 1);
    EXPECT_EQ(count, 4u);
    uint64_t position = 0;
    EXPECT_EQ(Platform_Seek(fd, -1, 1, &position), 1);
    EXPECT_EQ(position, 3u);
    EXPECT_EQ(Platform_Seek(fd, -10, 0, &position), 0);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(Platform_Seek(fd, 0, 7, &position), 0) << "no such origin";
    EXPECT_EQ(Platform_Truncate(fd, 2), 1);
    EXPECT_EQ(Platform_Seek(fd, 0, 2, &position), 1);
    EXPECT_EQ(position, 2u);
    EXPECT_EQ(Platform_Read(fd, buffer, 4, &count), 1);
    EXPECT_EQ(count, 0u) << "the end of the file is no error";
    EXPECT_EQ(Platform_Truncate(fd, -1), 0);
    close(fd);
    errno = 0;
    EXPECT_EQ(Platform_Read(fd, buffer, 4, &count), 0);
    EXPECT_EQ(Platform_ErrorAccessInvalid(Platform_GetLastError()), 1);
    // A directory read as a file says so.
    fd = open(dir.path().c_str(), O_RDONLY);
    errno = 0;
    EXPECT_EQ(Platform_Read(fd, buffer, 4, &count), 0);
    EXPECT_EQ(errno, EISDIR);
    close(fd);
}

} // namespace
