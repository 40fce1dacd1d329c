// Tests of the Linux file primitives: status, access, attributes and the immutable flag, times,
// owners, links never followed by a change, whole-file copies and replacements that leave the old
// file whole on any failure, moves, locks, maps and directory searches.
#include "core/linux/platform_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <deque>
#include <linux/fs.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>

#include "core/linux/platform.h"
#include "core/runtime/time.h"
#include "tests/support/file_trees.h"

namespace {

using namespace path_test;
using path_test::LogCapture;
using Names = std::set<std::string>;

// Names in a directory other than "." and "..".
Names Entries(const std::string& directory) {
    Names names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename());
    return names;
}

struct Heard {
    std::vector<uint64_t> copied;
    uint64_t total = 0;
    size_t stopAfter = 0; // 0: never
};
int64_t Hear(void* user, const char*, const char*, uint64_t copied, uint64_t total) {
    Heard* h = static_cast<Heard*>(user);
    h->copied.push_back(copied);
    h->total = total;
    return h->stopAfter == 0 || h->copied.size() < h->stopAfter;
}

struct tm Calendar(double seconds) {
    struct tm out;
    EXPECT_EQ(Time_ConvertEncodedToTm(&out, seconds), 1);
    return out;
}
double Seconds(const struct tm& in) {
    double out = 0;
    Time_ConvertTmToEncoded(&in, &out);
    return out;
}

class PlatformFile : public ::testing::Test {
  protected:
    std::string at(const std::string& name) const { return name[0] == '/' ? name : dir.file(name); }
    // The path of a name below the test's directory, as a text that lives as long as the test.
    const char* c(const std::string& name) { return kept.emplace_back(at(name)).c_str(); }
    TempDir dir;
    std::deque<std::string> kept;
};

// Every refused call answers 0 (or -1) with errno saying why, prints exactly its log line (shown
// with the test directory cut), and changes nothing on disk. Paths over the work buffer are
// refused, never cut to a shorter path that names something else.
TEST_F(PlatformFile, RefusalsSayWhyAndChangeNothing) {
    std::string longPath = dir.path() + "/";
    longPath += std::string(PLATFORM_FILE_PATH_CAPACITY - longPath.size() - 1, 'a');
    const std::string prefix = longPath.substr(dir.path().size() + 1, 200), tooLong = longPath + "b",
                      linkLong(PLATFORM_FILE_LINK_CAPACITY, 'l');
    ASSERT_TRUE(Build(dir.path(),
                      {prefix + "=keep", "file=x", "notes.txt", "dir/", "dir/f", "sub/", "ten->0123456789",
                       "link->file", "tree-link->sub", "source=" + std::string(200000, 's'), "other=old"}));
    ASSERT_EQ(mkfifo(c("fifo"), 0644), 0);
    const int fd = open(c("file"), O_RDWR), directory = open(dir.path().c_str(), O_RDONLY),
              empty = open(c("notes.txt"), O_RDONLY), closed = 1 << 20;
    char buffer[8] = "x";
    uint32_t count = 0;
    uint64_t position = 7, bytes = 7;
    void *replacement = nullptr, *address = nullptr, *search = nullptr, *descriptor = nullptr;
    struct stat info;
    struct tm when = Calendar(1e9);
    PlatformFindData found;
    Heard stop;
    stop.stopAfter = 1;
    auto none = [](int64_t answer) { return answer < 0 ? 0 : answer; }; // -1 is a refusal too
    auto map = [&address](int descriptor) {
        uint64_t length = 0; // the whole file
        return Platform_MapViewOfFile(descriptor, PLATFORM_ACCESS_READ, 0, &address, &length) || address;
    };
    // clang-format off
    struct Case { const char* what; std::function<int64_t()> call; int error;
                  std::string log = ""; } cases[] = {
        {"stat too long", [&] { return Platform_Stat(tooLong.c_str(), &info); }, ENAMETOOLONG},
        {"delete too long", [&] { return Platform_DeleteFile(nullptr, tooLong.c_str()); }, ENAMETOOLONG},
        {"directory too long", [&] { return Platform_CreateDirectory(tooLong.c_str()); }, ENAMETOOLONG},
        {"copy to too long", [&] { return Platform_CopyFile(c(prefix), tooLong.c_str(), 0); }, ENAMETOOLONG},
        {"move to too long", [&] { return Platform_MoveFile(nullptr, c(prefix), tooLong.c_str(), 0); },
         ENAMETOOLONG},
        // Links hold 320 bytes: link paths and targets beyond that are refused.
        {"link target too long", [&] { return Platform_CreateSymLink(c("l"), linkLong.c_str(), 0); },
         ENAMETOOLONG},
        {"link path too long", [&] { return Platform_CreateSymLink(c(linkLong), "t", 0); }, ENAMETOOLONG},
        {"link target over the buffer", [&] { return Platform_GetSymLink(c("ten"), buffer, 8); },
         ENAMETOOLONG, "Unable to read symbolic link [ten][36]\n"},
        {"link buffer under 2", [&] { return Platform_GetSymLink(c("ten"), buffer, 1); }, EINVAL},
        {"no link to read", [&] { return Platform_GetSymLink(c("file"), buffer, 8); }, EINVAL,
         "Unable to read symbolic link [file][22]\n"},
        {"link exists", [&] { return Platform_CreateSymLink(c("link"), "other", 0); }, EEXIST,
         "Unable to create symbolic link [link][17]\n"},
        {"link below a file", [&] { return Platform_CreateSymLink(c("file/sub/link"), "t", 0); }, EEXIST,
         "Unable to create symlink parent directory [file/sub/link (100017)]\n"},
        {"hidden without a dot", [&] {
             return Platform_SetFileAttributes(nullptr, c("notes.txt"), PLATFORM_FILE_ATTRIBUTE_HIDDEN); },
         EACCES, "Hidden attribute not applied (file does not begin with dot) [notes.txt]\n"},
        {"attributes of nothing", [&] { return Platform_SetFileAttributes(nullptr, c("missing"), 0); },
         ENOENT},
        {"unknown group", [&] { return Platform_SetFileGroup(c("file"), "qvr-no-such-account"); }, EINVAL},
        {"times of nothing", [&] {
             return Platform_GetFileTime(c("gone"), nullptr, nullptr, nullptr, nullptr, &when); }, ENOENT},
        {"set times of nothing", [&] {
             return Platform_SetFileTime(c("gone"), nullptr, nullptr, nullptr, &when, nullptr); }, ENOENT},
        // A copy leaves the destination as it was and no temporary file behind; a fifo must not block.
        {"copy onto a file", [&] { return Platform_CopyFile(c("source"), c("other"), 1); }, EEXIST},
        {"copy stopped", [&] {
             return Platform_CopyFileWithProgress(c("source"), c("other"), 0, &stop, Hear); }, ECANCELED},
        {"copy of nothing", [&] { return Platform_CopyFile(c("missing"), c("x"), 0); }, ENOENT},
        {"copy of a directory", [&] { return Platform_CopyFile(c("sub"), c("x"), 0); }, EISDIR},
        {"copy of a fifo", [&] { return Platform_CopyFile(c("fifo"), c("x"), 0); }, ENOTSUP},
        {"copy onto a directory", [&] { return Platform_CopyFile(c("source"), c("sub"), 0); }, EISDIR},
        {"move onto a file", [&] { return Platform_MoveFile(nullptr, c("source"), c("other"), 0); }, EEXIST},
        {"move of nothing", [&] { return Platform_MoveFile(nullptr, c("missing"), c("x"), 0); }, ENOENT},
        {"move into nothing", [&] { return Platform_MoveFile(nullptr, c("file"), c("no/such/x"), 0); },
         ENOENT},
        {"directory exists", [&] { return Platform_CreateDirectory(c("dir")); }, EEXIST},
        {"directory not empty", [&] { return Platform_RemoveDirectory(c("dir")); }, ENOTEMPTY},
        {"a directory is no file", [&] { return Platform_DeleteFile(nullptr, c("dir")); }, EISDIR},
        {"delete nothing", [&] { return Platform_DeleteFile(nullptr, c("missing")); }, ENOENT},
        {"a link is no directory", [&] { return Platform_RemoveDirectory(c("tree-link")); }, ENOTDIR},
        {"replace a directory", [&] {
             return none(Platform_ReplaceBegin(c("sub"), O_WRONLY, &replacement)) || replacement; }, EISDIR},
        {"replace nothing", [&] {
             return none(Platform_ReplaceBegin(c("missing"), O_WRONLY, &replacement)) || replacement;
         }, ENOENT},
        {"space without separator", [&] { return Platform_GetFreeDiskSpace("/tmp", &bytes) || bytes; },
         EINVAL, "Path is invalid (/tmp)\n"},
        {"space of nothing", [&] { return Platform_GetFreeDiskSpace("/qvr-no-such-dir/", &bytes) || bytes; },
         ENOENT},
        {"lock -1", [&] { return none(Platform_Lock(fd, -1, 10)); }, EINVAL},
        {"lock 5", [&] { return none(Platform_Lock(fd, 5, 10)); }, EINVAL},
        {"lock 99", [&] { return none(Platform_Lock(fd, 99, 10)); }, EINVAL},
        {"lock no file", [&] { return none(Platform_Lock(-1, PLATFORM_LOCK_EXCLUSIVE, 10)); }, EBADF},
        {"seek origin 7", [&] { return Platform_Seek(fd, 0, 7, &position) || position; }, EINVAL},
        {"seek before the start", [&] { return Platform_Seek(fd, -10, 0, &position) || position; }, EINVAL},
        {"truncate to -1", [&] { return Platform_Truncate(fd, -1); }, EINVAL},
        {"read a closed file", [&] { return Platform_Read(closed, buffer, 4, &count); }, EBADF},
        {"read a directory", [&] { return Platform_Read(directory, buffer, 4, &count); }, EISDIR},
        {"map an empty file", [&] { return map(empty); }, EINVAL},
        {"map no file", [&] { return map(-1); }, EBADF},
        {"sparse files", [&] { return Platform_SparseMode(); }, ENOTSUP},
        {"find in nothing", [&] { return Platform_FindFirstFile(c("missing/*"), &found, &search) || search; },
         ENOENT},
        {"find in a file", [&] { return Platform_FindFirstFile(c("file/*"), &found, &search) || search; },
         ENOTDIR},
        {"find on nothing", [&] { return Platform_FindNextFile(nullptr, &found); }, EBADF},
        {"group for no list", [&] {
             return Platform_SecurityCreate("Administrators", &descriptor) || descriptor; }, EINVAL},
    };
    // clang-format on
    const auto before = Snapshot(dir.path());
    for (const Case& k : cases) {
        LogCapture log;
        errno = 0;
        EXPECT_EQ(k.call(), 0) << k.what;
        EXPECT_EQ(errno, k.error) << k.what << ": " << strerror(errno);
        EXPECT_EQ(log.lines(dir.path() + "/"), k.log) << k.what;
        EXPECT_EQ(Snapshot(dir.path()), before) << k.what;
    }
    EXPECT_STREQ(buffer, "") << "a target that does not fit is not cut short";
    for (int descriptor : {fd, directory, empty}) close(descriptor);
}

TEST_F(PlatformFile, StatFollowsLinksAndLStatDoesNot) {
    ASSERT_TRUE(Build(dir.path(), {"target=12345", "link->target", "dangling->missing", "ten->0123456789"}));
    struct stat info;
    EXPECT_EQ(Platform_Stat(c("link"), &info), 1);
    EXPECT_TRUE(S_ISREG(info.st_mode) && info.st_size == 5);
    EXPECT_EQ(Platform_LStat(c("link"), &info), 1);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    // A dangling link exists, though it cannot be followed; a failed status is zeroed.
    EXPECT_EQ(Platform_FileExists(c("dangling")), 1);
    memset(&info, 0xAB, sizeof(info));
    EXPECT_EQ(Platform_Stat(c("dangling"), &info), 0);
    EXPECT_EQ(Platform_GetLastError(), 100000 + ENOENT);
    EXPECT_TRUE(info.st_size == 0 && info.st_mode == 0);
    EXPECT_EQ(Platform_FileExists(c("nothing")), 0);
    EXPECT_EQ(Platform_FileExists(""), 0);
    EXPECT_EQ(Platform_FileExists((dir.path() + "\\target").c_str()), 1); // both separators are taken
    char target[11]; // just room for the target and its terminator
    EXPECT_EQ(Platform_GetSymLink(c("ten"), target, sizeof(target)), 1);
    EXPECT_STREQ(target, "0123456789");
}

TEST_F(PlatformFile, AccessClimbsToTheNearestExistingDirectory) {
    ASSERT_TRUE(WriteText(at("file"), "x"));
    const int32_t R = PLATFORM_ACCESS_READ, W = PLATFORM_ACCESS_WRITE;
    TmpfsMount readOnly(at("ro"), "size=1m", MS_RDONLY);
    // clang-format off
    struct Case { std::string path; int32_t mode, climb; int64_t allowed; int error = 0; } cases[] = {
        {at("a/b/c"), 0, 0, 0, ENOENT}, {at("a/b/c"), 0, 1, 1}, {at("a/b/c"), R | W, 1, 1},
        {at("file"), R, 0, 1},
        {at("file/x"), 0, 1, 1}, // a file is no directory: climbing goes past it
        {"qvr-no-such-entry", 0, 1, 0, ENOENT}, // a relative text without any directory has nothing to test
        // Write access on a read-only file system is refused even for root, also for the nearest
        // existing directory of a path that is not there yet.
        {readOnly.file(""), R, 0, 1}, {readOnly.file(""), W, 0, 0, EROFS},
        {readOnly.file("a/b"), W, 1, 0, EROFS}, {readOnly.file("a/b"), R, 1, 1},
    };
    // clang-format on
    for (const Case& k : cases) {
        if (!readOnly.mounted() && k.path.find("/ro/") != std::string::npos) continue;
        errno = 0;
        EXPECT_EQ(Platform_Access(k.path.c_str(), k.mode, k.climb), k.allowed) << k.path << " " << k.mode;
        EXPECT_EQ(k.allowed ? 0 : errno, k.error) << k.path << " " << k.mode;
    }
}

TEST_F(PlatformFile, AttributesAsALinuxUserSeesThem) {
    ASSERT_TRUE(Build(
        dir.path(), {"plain.txt", ".hidden", "tool", "owner-only", "sub/", "to-sub->sub", ".to-tool->tool"}));
    ASSERT_EQ(chmod(c("tool"), 0755) | chmod(c("owner-only"), 0744), 0);
    const uint32_t H = PLATFORM_FILE_ATTRIBUTE_HIDDEN, X = PLATFORM_FILE_ATTRIBUTE_EXECUTABLE,
                   D = PLATFORM_FILE_ATTRIBUTE_DIRECTORY, L = PLATFORM_FILE_ATTRIBUTE_SYMLINK;
    // All three execute bits are needed; a link is a link, never a directory, never executable.
    // clang-format off
    struct Case { const char* name; uint32_t expected; } cases[] = {
        {"plain.txt", 0}, {".hidden", H}, {"tool", X}, {"owner-only", 0}, {"sub", D | X}, {"sub/", D | X},
        {"to-sub", L}, {".to-tool", L | H},
    };
    // clang-format on
    for (const Case& k : cases) {
        PlatformFileAttributes attributes = 0xFFFF;
        EXPECT_EQ(Platform_GetFileAttributes(nullptr, c(k.name), &attributes), 1) << k.name;
        EXPECT_EQ(attributes, k.expected) << k.name;
        const struct stat info = StatOf(at(k.name));
        attributes = 0xFFFF;
        EXPECT_EQ(Platform_ConvertStatFileAttributes(c(k.name), &info, &attributes), 1);
        EXPECT_EQ(attributes, k.expected) << k.name;
    }
    PlatformFileAttributes attributes = 0xFFFF;
    errno = 0;
    EXPECT_EQ(Platform_GetFileAttributes(nullptr, c("missing"), &attributes), 0);
    EXPECT_EQ(attributes, 0u);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(PlatformFile, SetAttributesOnlyAdds) {
    ASSERT_TRUE(Build(dir.path(), {"notes.txt", ".notes"}));
    EXPECT_EQ(Platform_SetFileAttributes(nullptr, c(".notes"), PLATFORM_FILE_ATTRIBUTE_HIDDEN), 1);
    EXPECT_EQ(PermsOf(at(".notes")), 0644u) << "nothing changes";
    // Attributes that are not asked are not taken away.
    for (uint32_t attributes : {(uint32_t)PLATFORM_FILE_ATTRIBUTE_EXECUTABLE, 0u}) {
        EXPECT_EQ(Platform_SetFileAttributes(nullptr, c("notes.txt"), attributes), 1);
        EXPECT_EQ(PermsOf(at("notes.txt")), 0755u);
    }
}

// Whether this file system lets this process set the immutable flag.
bool ImmutableSupported(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    int flags = 0, on = 0;
    bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    on = flags | FS_IMMUTABLE_FL;
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &on) == 0 && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

TEST_F(PlatformFile, ReadOnlyIsTheImmutableFlag) {
    ASSERT_TRUE(WriteText(at("locked"), "data"));
    if (!ImmutableSupported(at("locked"))) GTEST_SKIP() << "the immutable flag cannot be set here";
    EXPECT_EQ(Platform_EnsurePathMutable(c("locked")), 1) << "nothing set is fine";
    EXPECT_EQ(Platform_SetFileAttributes(nullptr, c("locked"), PLATFORM_FILE_ATTRIBUTE_READONLY), 1);
    PlatformFileAttributes attributes = 0;
    EXPECT_EQ(Platform_GetFileAttributes(nullptr, c("locked"), &attributes), 1);
    EXPECT_EQ(attributes, (PlatformFileAttributes)PLATFORM_FILE_ATTRIBUTE_READONLY);
    // Even root cannot delete or write an immutable file: a permission failure without modes.
    errno = 0;
    EXPECT_EQ(Platform_DeleteFile(nullptr, c("locked")), 0);
    EXPECT_EQ(errno, EPERM);
    EXPECT_LT(Platform_Open(c("locked"), O_WRONLY, 0, 0600), 0);
    EXPECT_EQ(Platform_EnsurePathMutable(c("locked")), 1);
    EXPECT_EQ(Platform_GetFileAttributes(nullptr, c("locked"), &attributes), 1);
    EXPECT_EQ(attributes, 0u);
    EXPECT_EQ(Platform_DeleteFile(nullptr, c("locked")), 1);
}

TEST_F(PlatformFile, ChangesThroughALinkNeverReachItsTarget) {
    TempDir outside;
    ASSERT_TRUE(WriteText(outside.file("precious"), "keep", 0600));
    ASSERT_TRUE(Build(dir.path(), {"link->" + outside.file("precious")}));
    const auto untouched = Snapshot(outside.path());
    const struct stat before = StatOf(outside.file("precious"));
    const struct tm when = Calendar(1000000000.0);
    EXPECT_EQ(Platform_ChangeMode(nullptr, c("link"), 0777), 1);
    EXPECT_EQ(Platform_SetFileAttributes(nullptr, c("link"), PLATFORM_FILE_ATTRIBUTE_EXECUTABLE), 1);
    EXPECT_EQ(Platform_SetFileGroup(c("link"), "Everyone"), 1);
    EXPECT_EQ(Platform_EnsurePathMutable(c("link")), 1);
    EXPECT_EQ(Platform_SetFileTime(c("link"), nullptr, nullptr, nullptr, &when, &when), 1);
    EXPECT_EQ(StatOf(at("link")).st_mtim.tv_sec, 1000000000) << "the link got its own time";
    EXPECT_EQ(StatOf(outside.file("precious")).st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(StatOf(outside.file("precious")).st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    // A copied link is a link with the same target, also when it replaces one; a deleted link
    // leaves its target.
    for (int32_t failIfExists : {1, 0}) {
        EXPECT_EQ(Platform_CopyFile(c("link"), c("copy"), failIfExists), 1);
        EXPECT_EQ(LinkTarget(at("copy")), outside.file("precious"));
    }
    EXPECT_EQ(Platform_DeleteFile(nullptr, c("link")) + Platform_DeleteFile(nullptr, c("copy")), 2);
    EXPECT_EQ(Snapshot(outside.path()), untouched);
}

TEST_F(PlatformFile, FileTimesAsCalendarRecords) {
    ASSERT_TRUE(WriteText(at("f"), "x"));
    struct tm access = Calendar(1200000000.0), modified = Calendar(1300000000.0);
    EXPECT_EQ(Platform_SetFileTime(c("f"), nullptr, nullptr, &modified, &access, &modified), 1);
    EXPECT_EQ(StatOf(at("f")).st_atim.tv_sec, 1200000000);
    EXPECT_EQ(StatOf(at("f")).st_mtim.tv_sec, 1300000000);
    // Only the access time: the modification time stays.
    access = Calendar(1250000000.0);
    EXPECT_EQ(Platform_SetFileTime(c("f"), nullptr, nullptr, nullptr, &access, nullptr), 1);
    struct tm readAccess, readModified, readCreation;
    EXPECT_EQ(Platform_GetFileTime(c("f"), nullptr, nullptr, &readCreation, &readAccess, &readModified), 1);
    EXPECT_EQ(Seconds(readAccess), 1250000000.0);
    EXPECT_EQ(Seconds(readModified), 1300000000.0);
    EXPECT_GT(Seconds(readCreation), 0.0);
    EXPECT_EQ(Platform_GetFileTime(c("f"), nullptr, nullptr, nullptr, nullptr, nullptr), 1);
    memset(&readModified, 0x5A, sizeof(readModified));
    EXPECT_EQ(Platform_GetFileTime(c("gone"), nullptr, nullptr, nullptr, nullptr, &readModified), 0);
    EXPECT_EQ(readModified.tm_year, 0) << "cleared first";
}

TEST_F(PlatformFile, SetFileGroupWidensOrChangesOwnership) {
    ASSERT_TRUE(WriteText(at("f"), "x", 0600));
    for (const auto& [group, mode] :
         {std::pair("everyone", 0777), {"Authenticated Users", 0775}, {"Users", 0775}}) {
        EXPECT_EQ(Platform_SetFileGroup(c("f"), group), 1) << group;
        EXPECT_EQ(PermsOf(at("f")), (mode_t)mode) << group;
    }
    if (!IsRoot()) return;
    // "nobody" is a user (and on some systems a group): the owner changes.
    EXPECT_EQ(Platform_SetFileGroup(c("f"), "nobody"), 1);
    EXPECT_EQ(StatOf(at("f")).st_uid, 65534u);
}

TEST_F(PlatformFile, CopyKeepsDataModeTimesAndExtendedAttributes) {
    std::string data(200000, 0);
    for (size_t i = 0; i < data.size(); i++) data[i] = (char)(i * 31 + 7);
    ASSERT_TRUE(WriteText(at("source"), data, 0640));
    ASSERT_TRUE(WriteText(at("other"), "old"));
    const struct timespec times[2] = {{1100000000, 5}, {1150000000, 123456789}};
    utimensat(AT_FDCWD, c("source"), times, 0);
    const bool xattrs = setxattr(c("source"), "user.test", "value", 5, 0) == 0;
    Heard heard;
    EXPECT_EQ(Platform_CopyFileWithProgress(c("source"), c("copy"), 1, &heard, Hear), 1);
    // Without fail-if-exists the destination is replaced.
    EXPECT_EQ(Platform_CopyFile(c("source"), c("other"), 0), 1);
    for (const char* copy : {"copy", "other"}) {
        EXPECT_EQ(ReadFile(at(copy)), data) << copy;
        EXPECT_EQ(PermsOf(at(copy)), 0640u) << copy;
        EXPECT_EQ(StatOf(at(copy)).st_mtim.tv_sec, 1150000000) << copy;
        EXPECT_EQ(StatOf(at(copy)).st_mtim.tv_nsec, 123456789) << copy;
        char value[16] = {};
        if (!xattrs) continue;
        EXPECT_EQ(getxattr(c(copy), "user.test", value, sizeof(value)), 5) << copy;
        EXPECT_STREQ(value, "value") << copy;
    }
    // The progress rises to the whole size.
    ASSERT_FALSE(heard.copied.empty());
    EXPECT_EQ(heard.copied.back(), data.size());
    EXPECT_EQ(heard.total, data.size());
    EXPECT_EQ(std::adjacent_find(heard.copied.begin(), heard.copied.end(), std::greater_equal<uint64_t>()),
              heard.copied.end());
    EXPECT_EQ(Entries(dir.path()), (Names{"copy", "other", "source"})) << "no temporary file is left behind";
}

TEST_F(PlatformFile, ACopyOntoAFullDiskOrPastTheSizeLimitLeavesTheOldFileWhole) {
    ASSERT_TRUE(Build(dir.path(), {"kept=the old content", "big=" + std::string(2 * 1024 * 1024, 'b')}));
    // The file-size limit fails writes as a full disk would, without mounting anything.
    const auto before = Snapshot(dir.path());
    EXPECT_EQ(RunInChild([&] {
                  signal(SIGXFSZ, SIG_IGN);
                  const struct rlimit limit = {100000, 100000};
                  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
                  errno = 0;
                  return Platform_CopyFile(c("big"), c("kept"), 0) == 0 && errno == EFBIG ? 0 : 1;
              }),
              0);
    EXPECT_EQ(Snapshot(dir.path()), before);
    TmpfsMount volume(at("volume"), "size=1m");
    if (!volume.mounted()) GTEST_SKIP() << "no tmpfs can be mounted here";
    ASSERT_TRUE(WriteText(volume.file("kept"), "the old content"));
    const auto full = Snapshot(volume.path());
    errno = 0;
    EXPECT_EQ(Platform_CopyFile(c("big"), c(volume.file("kept")), 0), 0);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(Snapshot(volume.path()), full);
}

TEST_F(PlatformFile, MoveReplacesOnlyWhenAskedAndHearsTheWholeSize) {
    ASSERT_TRUE(Build(dir.path(), {"a=A", "b=B"}));
    EXPECT_EQ(Platform_MoveFile(nullptr, c("a"), c("b"),
                                PLATFORM_MOVE_REPLACE_EXISTING | PLATFORM_MOVE_WRITE_THROUGH),
              1);
    EXPECT_EQ(Entries(dir.path()), Names{"b"});
    EXPECT_EQ(ReadFile(at("b")), "A");
    // On one volume the progress function hears once, with the whole size.
    Heard heard;
    EXPECT_EQ(Platform_MoveFileWithProgress(c("b"), c("c"), 0, &heard, Hear), 1);
    EXPECT_EQ(heard.copied, std::vector<uint64_t>{1});
    EXPECT_EQ(heard.total, 1u);
    EXPECT_EQ(ReadFile(at("c")), "A");
}

TEST_F(PlatformFile, MoveAcrossVolumesCopiesOnlyWhenAllowed) {
    TmpfsMount volume(at("volume"), "size=1m");
    if (!volume.mounted()) GTEST_SKIP() << "no tmpfs can be mounted here";
    ASSERT_TRUE(WriteText(at("a"), "across", 0604));
    ASSERT_TRUE(Build(dir.path(), {"tree/", "tree/leaf=leaf", "big=" + std::string(2 * 1024 * 1024, 'b')}));
    const char* a = c(volume.file("a"));
    errno = 0;
    EXPECT_EQ(Platform_MoveFile(nullptr, c("a"), a, 0), 0);
    EXPECT_EQ(errno, EXDEV);
    // Allowed, with or without a progress function.
    EXPECT_EQ(Platform_MoveFile(nullptr, c("a"), a, PLATFORM_MOVE_COPY_ALLOWED | PLATFORM_MOVE_WRITE_THROUGH),
              1);
    EXPECT_FALSE(FileExists(at("a")));
    EXPECT_EQ(ReadFile(a), "across");
    EXPECT_EQ(PermsOf(a), 0604u);
    Heard heard;
    EXPECT_EQ(Platform_MoveFileWithProgress(a, c("back"), PLATFORM_MOVE_COPY_ALLOWED, &heard, Hear), 1);
    EXPECT_FALSE(heard.copied.empty());
    EXPECT_EQ(ReadFile(at("back")), "across");
    EXPECT_FALSE(FileExists(a));
    // A directory is not copied across, and a copy that does not fit leaves the source where it
    // was: nothing moves.
    const auto before = Snapshot(dir.path());
    errno = 0;
    EXPECT_EQ(Platform_MoveFile(nullptr, c("tree"), c(volume.file("tree")), PLATFORM_MOVE_COPY_ALLOWED), 0);
    EXPECT_EQ(errno, EXDEV);
    errno = 0;
    EXPECT_EQ(Platform_MoveFile(nullptr, c("big"), c(volume.file("big")), PLATFORM_MOVE_COPY_ALLOWED), 0);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(Snapshot(dir.path()), before);
}

// A new directory or file gets the mode asked for, less the creation mask: a private file stays
// private wherever it is made, and only an item that already lets its group read it is opened to
// the group's writes in a shared directory (group-writable, or owned by another user).
TEST_F(PlatformFile, ItemsAreMadeWithTheModeAskedForAndSharedOnlyWhereTheGroupReads) {
    const mode_t saved = ::umask(022);
    ASSERT_EQ(mkdir(c("shared"), 0775) | chmod(c("shared"), 0775) | mkdir(c("theirs"), 0755), 0);
    ASSERT_EQ(chown(c("theirs"), IsRoot() ? 65534 : -1, -1), 0);
    // clang-format off
    struct Case { const char* name; int32_t permissions; mode_t expected; } cases[] = {
        {"private", 0600, 0600}, {"readable", 0644, 0644}, {"program", 0700, 0700},
        {"shared/private", 0600, 0600}, {"shared/group", 0640, 0660},
        {"theirs/group", 0640, IsRoot() ? 0660u : 0640u},
        {"d/", 0, 0755}, {"shared/d/", 0, 0775}, {"theirs/d/", 0, IsRoot() ? 0775u : 0755u},
    };
    // clang-format on
    for (const Case& k : cases) {
        if (std::string(k.name).back() == '/') {
            EXPECT_EQ(Platform_CreateDirectory(c(k.name)), 1) << k.name;
        } else {
            const int32_t fd = Platform_Open(c(k.name), O_RDWR | O_CREAT, 0, k.permissions);
            EXPECT_EQ(Platform_Close(fd), 1) << k.name;
        }
        EXPECT_EQ(PermsOf(at(k.name)), k.expected) << k.name;
    }
    ::umask(saved);
}

// Creating never goes through a link: a dangling one would make the file where it points.
TEST_F(PlatformFile, CreatingRefusesADanglingLinkAndKeepsOneToAFile) {
    ASSERT_EQ(symlink(c("elsewhere"), c("dangling")), 0);
    ASSERT_TRUE(Build(dir.path(), {"real"}));
    ASSERT_EQ(symlink(c("real"), c("live")), 0);
    EXPECT_LT(Platform_Open(c("dangling"), O_RDWR | O_CREAT, 0, 0600), 0);
    EXPECT_EQ(access(c("elsewhere"), F_OK), -1);
    const int32_t fd = Platform_Open(c("live"), O_RDWR | O_CREAT, 0, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(Platform_Close(fd), 1);
}

TEST_F(PlatformFile, DeletesAndLinksWithTheirParents) {
    ASSERT_TRUE(Build(dir.path(), {"d/", "d/f"}));
    EXPECT_EQ(Platform_DeleteFileOnReboot(c("d/f")), 1);
    EXPECT_EQ(Platform_RemoveDirectory(c("d")), 1);
    EXPECT_EQ(Platform_CreateSymLink(c("a/b/link"), "../target", 0), 1);
    EXPECT_EQ(LinkTarget(at("a/b/link")), "../target");
    EXPECT_EQ(Entries(dir.path()), Names{"a"});
}

TEST_F(PlatformFile, FreeDiskSpaceOfADirectory) {
    uint64_t bytes = 0;
    EXPECT_EQ(Platform_GetFreeDiskSpace("/tmp/", &bytes), 1);
    struct statvfs info;
    ASSERT_EQ(statvfs("/tmp", &info), 0);
    EXPECT_GT(bytes, 0u);
    EXPECT_LE(bytes, (uint64_t)info.f_frsize * info.f_blocks);
}

// Another process asks for regions of a file this one has locked; a lock left held fails that
// child through its bounded life instead of hanging the test.
TEST_F(PlatformFile, RecordLocksKeepOtherProcessesOut) {
    ASSERT_TRUE(WriteText(at("f"), std::string(100, 'x')));
    const int fd = open(c("f"), O_RDWR);
    const char* path = c("f");
    auto lockHere = [fd](off_t at, int32_t operation) {
        return lseek(fd, at, SEEK_SET) == at ? Platform_Lock(fd, operation, 10) : 1;
    };
    auto lockThere = [path](off_t at, int32_t operation) {
        return RunInChild([=] {
            const int other = open(path, O_RDWR);
            return lseek(other, at, SEEK_SET) == at && Platform_Lock(other, operation, 10) == 0 ? 0 : 1;
        });
    };
    // Bytes 10..19 taken, then given back; 50..59 shared.
    ASSERT_EQ(lockHere(10, PLATFORM_LOCK_EXCLUSIVE), 0);
    EXPECT_EQ(lockThere(10, PLATFORM_LOCK_EXCLUSIVE), 1);
    EXPECT_EQ(lockThere(15, PLATFORM_LOCK_SHARED), 1);
    EXPECT_EQ(lockThere(30, PLATFORM_LOCK_EXCLUSIVE), 0);
    ASSERT_EQ(lockHere(10, PLATFORM_LOCK_UNLOCK), 0);
    EXPECT_EQ(lockThere(10, PLATFORM_LOCK_EXCLUSIVE_WAIT), 0);
    ASSERT_EQ(lockHere(50, PLATFORM_LOCK_SHARED_WAIT), 0);
    EXPECT_EQ(lockThere(50, PLATFORM_LOCK_SHARED), 0);
    EXPECT_EQ(lockThere(50, PLATFORM_LOCK_EXCLUSIVE), 1);
    close(fd);
}

TEST_F(PlatformFile, MapsAWholeFileOrAPart) {
    ASSERT_TRUE(WriteText(at("f"), "0123456789"));
    const int fd = open(c("f"), O_RDWR);
    void* address = nullptr;
    uint64_t length = 0;
    ASSERT_EQ(Platform_MapViewOfFile(fd, PLATFORM_ACCESS_READ | PLATFORM_ACCESS_WRITE, 0, &address, &length),
              1);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(memcmp(address, "0123456789", 10), 0);
    static_cast<char*>(address)[0] = 'X';
    EXPECT_EQ(Platform_UnmapViewOfFile(&address, length), 1);
    EXPECT_EQ(address, nullptr);
    EXPECT_EQ(Platform_UnmapViewOfFile(&address, length), 1) << "nothing mapped is fine";
    EXPECT_EQ(ReadFile(at("f")), "X123456789") << "the map is shared with the file";
    length = 4;
    ASSERT_EQ(Platform_MapViewOfFile(fd, PLATFORM_ACCESS_READ, 0, &address, &length), 1);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(Platform_UnmapViewOfFile(&address, length), 1);
    close(fd);
}

TEST_F(PlatformFile, FindMatchesWithoutCaseAndReportsEachEntryItself) {
    const std::string odd = "bad-\xff\xfe-name.txt";
    ASSERT_TRUE(Build(dir.path(), {"a.txt=hello", "B.TXT", "c.log", "sub/", "link->sub", odd}));
    auto findAll = [](const std::string& pattern, std::vector<PlatformFindData>* records) {
        Names names;
        PlatformFindData data;
        void* search = nullptr;
        for (bool more = Platform_FindFirstFile(pattern.c_str(), &data, &search); more;
             more = Platform_FindNextFile(search, &data)) {
            names.insert(data.Name);
            records->push_back(data);
        }
        EXPECT_EQ(Platform_FindClose(&search), 1);
        EXPECT_EQ(search, nullptr);
        return names;
    };
    const Names all = {".", "..", "a.txt", "B.TXT", "c.log", "sub", "link", odd};
    // An empty name pattern matches everything.
    // clang-format off
    struct Case { std::string pattern; Names names; } cases[] = {
        {"*.TXT", {"a.txt", "B.TXT", odd}}, {"?.txt", {"a.txt", "B.TXT"}}, {"*", all}, {"", all},
        {"*.none", {}},
    };
    // clang-format on
    std::vector<PlatformFindData> records;
    for (const Case& k : cases) EXPECT_EQ(findAll(at(k.pattern), &records), k.names) << k.pattern;
    records.clear();
    findAll(at("*"), &records);
    // Each entry is reported as itself: hidden exactly when its name starts with a dot, a link as a
    // link, sizes and time of the entry's own status.
    const uint32_t D = PLATFORM_FILE_ATTRIBUTE_DIRECTORY | PLATFORM_FILE_ATTRIBUTE_EXECUTABLE;
    const std::map<std::string, uint32_t> kinds = {{"a.txt", 0}, {"B.TXT", 0},
                                                   {"c.log", 0}, {odd, 0},
                                                   {"sub", D},   {"link", PLATFORM_FILE_ATTRIBUTE_SYMLINK}};
    for (const PlatformFindData& r : records) {
        const std::string name = r.Name;
        const struct stat info = StatOf(at(name));
        EXPECT_EQ(std::string(r.Pattern), at("*")) << name;
        EXPECT_EQ((r.Attributes & PLATFORM_FILE_ATTRIBUTE_HIDDEN) != 0, name[0] == '.') << name;
        EXPECT_EQ(r.Attributes, name[0] == '.' ? r.Attributes : kinds.at(name)) << name;
        EXPECT_EQ(r.Size, (uint64_t)info.st_size) << name;
        EXPECT_EQ(r.AllocatedSize, (uint64_t)info.st_blocks * 512u) << name;
        EXPECT_EQ(Seconds(r.ModifiedTime), (double)info.st_mtim.tv_sec) << name;
    }
}

TEST_F(PlatformFile, SecurityDescriptorsAreMadeForTheWideGroupsWithoutAList) {
    for (const char* name : {"Everyone", "Users", "Authenticated Users", "everyone"}) {
        void *descriptor = nullptr, *list = reinterpret_cast<void*>(1);
        EXPECT_EQ(Platform_SecurityCreate(name, &descriptor), 1) << name;
        EXPECT_EQ(Platform_SecurityGetDescriptor(descriptor, &list), 1);
        EXPECT_EQ(list, nullptr) << "this platform applies no access-control lists";
        EXPECT_EQ(Platform_SecurityDelete(&descriptor), 1);
        EXPECT_EQ(descriptor, nullptr);
    }
}

TEST_F(PlatformFile, ReplacementTakesTheOldFilesPlaceOnlyWhenCommitted) {
    ASSERT_TRUE(WriteText(at("doc"), "old", 0640));
    ASSERT_TRUE(MakeLink("doc", at("link")));
    void* replacement = nullptr;
    int32_t written = 0;
    // Aborted, then committed; through a link the file it points at is replaced and the link stays.
    // clang-format off
    struct Case { const char* name; int32_t flags; const char* text; bool commit;
                  const char* after; } cases[] = {
        {"doc", O_WRONLY, "new content", false, "old"}, {"doc", O_RDWR, "new content", true, "new content"},
        {"link", O_WRONLY, "third", true, "third"},
    };
    // clang-format on
    std::string current = "old";
    for (const Case& k : cases) {
        const int32_t fd = Platform_ReplaceBegin(c(k.name), k.flags, &replacement);
        ASSERT_NE(replacement, nullptr);
        ASSERT_EQ(Platform_Write(fd, k.text, (int32_t)strlen(k.text), &written), 1);
        EXPECT_EQ(ReadFile(at("doc")), current) << "the old file is whole until the commit";
        EXPECT_EQ(k.commit ? Platform_ReplaceCommit(&replacement) : Platform_ReplaceAbort(&replacement), 1);
        EXPECT_EQ(replacement, nullptr);
        EXPECT_EQ(current = ReadFile(at("doc")), k.after);
        EXPECT_EQ(PermsOf(at("doc")), 0640u);
        EXPECT_EQ(Entries(dir.path()), (Names{"doc", "link"}));
        EXPECT_TRUE(IsLink(at("link")));
    }
    EXPECT_EQ(Platform_ReplaceCommit(&replacement), 1) << "nothing begun, nothing to do";
}

TEST_F(PlatformFile, ReadSeekAndTruncateOnADescriptor) {
    ASSERT_TRUE(WriteText(at("f"), "abcdef"));
    const int fd = open(c("f"), O_RDWR);
    char buffer[8] = {};
    uint32_t count = 9;
    uint64_t position = 0;
    EXPECT_EQ(Platform_Read(fd, buffer, 4, &count), 1);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(Platform_Seek(fd, -1, 1, &position), 1);
    EXPECT_EQ(position, 3u);
    EXPECT_EQ(Platform_Truncate(fd, 2), 1);
    EXPECT_EQ(Platform_Seek(fd, 0, 2, &position), 1);
    EXPECT_EQ(position, 2u);
    EXPECT_EQ(Platform_Read(fd, buffer, 4, &count), 1);
    EXPECT_EQ(count, 0u) << "the end of the file is no error";
    close(fd);
}

} // namespace
