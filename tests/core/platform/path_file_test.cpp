// Tests of what a path names and of the single-file operations: queries, links, times, modes,
// directory chains, erasing, moving (atomic replacement, across file systems) and copying with
// their retries, log lines and failures.
#include "core/platform/path.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>

#include "core/linux/platform_file.h"
#include "core/runtime/time.h"
#include "tests/core/platform/path_test_support.h"
#include "tests/support/abort_hook.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace path_test;

constexpr PlatformErrorCode kNoEntry = PLATFORM_ERROR_ERRNO_BASE + ENOENT;
constexpr PlatformErrorCode kExists = PLATFORM_ERROR_ERRNO_BASE + EEXIST;
constexpr PlatformErrorCode kTooLong = PLATFORM_ERROR_ERRNO_BASE + ENAMETOOLONG;

class PathFileTest : public ::testing::Test {
  protected:
    std::string at(const std::string& name) const { return dir.file(name); }
    TempDir dir;
};

TEST_F(PathFileTest, KindsOfEntries) {
    ASSERT_TRUE(WriteText(at("file"), "12345"));
    ASSERT_TRUE(MakeDir(at("dir")));
    ASSERT_TRUE(MakeLink(at("dir"), at("dirlink")));
    ASSERT_TRUE(MakeLink(at("file"), at("filelink")));
    ASSERT_TRUE(MakeLink(at("missing"), at("dangling")));
    struct Case {
        const char* name;
        int64_t exists, isDirectory, directoryExists, isLink;
    } cases[] = {
        {"file", 1, 0, 0, 0},     {"dir", 1, 1, 1, 0},      {"dir/", 1, 1, 1, 0},    {"dirlink", 1, 0, 1, 1},
        {"filelink", 1, 0, 0, 1}, {"dangling", 1, 0, 0, 1}, {"missing", 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const std::string path = at(c.name);
        EXPECT_EQ(Path_Exists(path.c_str()), c.exists) << c.name;
        EXPECT_EQ(Path_IsDirectory(path.c_str()), c.isDirectory) << c.name;
        EXPECT_EQ(Path_DirectoryExists(path.c_str()), c.directoryExists) << c.name;
        EXPECT_EQ(Path_IsSymLink(path.c_str()), c.isLink) << c.name;
    }
    uint64_t size = 99;
    EXPECT_EQ(Path_GetFileSize(at("file").c_str(), &size), 1);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(Path_GetFileSize(at("missing").c_str(), &size), 0);
    EXPECT_EQ(size, 0u);

    EXPECT_EQ(Path_IsDirectoryEmpty(at("dir").c_str()), 1);
    EXPECT_EQ(Path_IsDirectoryEmpty(at("missing").c_str()), 1);
    EXPECT_EQ(Path_IsDirectoryEmpty(dir.path().c_str()), 0);

    // Over the 320-byte limit nothing is found, rather than a cut path's entry.
    std::string longPath = at(std::string(330, 'x'));
    EXPECT_EQ(Path_Exists(longPath.c_str()), 0);
    EXPECT_EQ(Path_Exists(""), 0);
}

TEST_F(PathFileTest, LinksAreReadAndFollowed) {
    ASSERT_TRUE(WriteText(at("target"), "t"));
    ASSERT_TRUE(MakeDir(at("sub")));
    ASSERT_TRUE(MakeLink("../target", at("sub/relative")));
    ASSERT_TRUE(MakeLink(at("sub/relative"), at("absolute")));
    ASSERT_TRUE(MakeLink("loop2", at("loop1")));
    ASSERT_TRUE(MakeLink("loop1", at("loop2")));

    char out[PATH_SIZE];
    EXPECT_EQ(Path_ReadLink(at("sub/relative").c_str(), out, sizeof(out)), 1);
    EXPECT_STREQ(out, "../target");
    EXPECT_EQ(Path_ReadLink(at("target").c_str(), out, sizeof(out)), 0);
    EXPECT_STREQ(out, "");

    EXPECT_EQ(Path_FollowLink(at("absolute").c_str(), out, sizeof(out)), 1);
    EXPECT_EQ(std::string(out), at("target"));
    EXPECT_EQ(Path_FollowLink(at("target").c_str(), out, sizeof(out)), 1);
    EXPECT_EQ(std::string(out), at("target"));
    EXPECT_EQ(Path_FollowLink(at("loop1").c_str(), out, sizeof(out)), 0);
    EXPECT_STREQ(out, "");
}

TEST_F(PathFileTest, TimesModesAndAttributes) {
    ASSERT_TRUE(WriteText(at("file"), "x"));
    PlatformErrorCode error = -1;
    EXPECT_EQ(Path_SetModifiedTime(at("file").c_str(), &error, 1234567890.0), 1);
    EXPECT_EQ(error, 0);
    EncodedTime modified = 0;
    EXPECT_EQ(Path_GetModifiedTime(at("file").c_str(), &modified, &error), 1);
    EXPECT_EQ(modified, 1234567890.0);
    EncodedTime created = 0;
    EXPECT_EQ(Path_GetCreationTime(at("file").c_str(), &created, &error), 1);
    EXPECT_GT(created, 0.0);

    uint32_t mode = 0;
    EXPECT_EQ(Path_SetMode(at("file").c_str(), 0640, &error), 1);
    EXPECT_EQ(Path_GetMode(at("file").c_str(), &mode, &error), 1);
    EXPECT_EQ(mode, (uint32_t)(S_IFREG | 0640));

    uint32_t attributes = 0;
    ASSERT_TRUE(WriteText(at(".hidden"), "h"));
    EXPECT_EQ(Path_GetAttributes(at(".hidden").c_str(), &attributes, &error), 1);
    EXPECT_EQ(attributes, (uint32_t)PLATFORM_FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(Path_GetAttributes(dir.path().c_str(), &attributes, nullptr), 1);
    EXPECT_TRUE(attributes & PLATFORM_FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(Path_SetAttributes(at("file").c_str(), PLATFORM_FILE_ATTRIBUTE_EXECUTABLE, &error), 1);
    EXPECT_EQ(ModeOf(at("file")) & 0111, 0111u);

    LogCapture log;
    const std::string missing = at("missing");
    struct Failing {
        const char* line;
        std::function<int64_t(PlatformErrorCode*)> call;
    } failing[] = {
        {"GetModifiedTime(%s) failed",
         [&](PlatformErrorCode* e) { return Path_GetModifiedTime(missing.c_str(), &modified, e); }},
        {"GetCreationTime(%s) failed",
         [&](PlatformErrorCode* e) { return Path_GetCreationTime(missing.c_str(), &created, e); }},
        {"SetModifiedTime(%s) failed",
         [&](PlatformErrorCode* e) { return Path_SetModifiedTime(missing.c_str(), e, 5.0); }},
        {"GetMode(%s) failed", [&](PlatformErrorCode* e) { return Path_GetMode(missing.c_str(), &mode, e); }},
        {"SetMode(%s) failed", [&](PlatformErrorCode* e) { return Path_SetMode(missing.c_str(), 0600, e); }},
        {"SetAttributes(%s) failed",
         [&](PlatformErrorCode* e) { return Path_SetAttributes(missing.c_str(), 8, e); }},
    };
    for (const Failing& f : failing) {
        error = 0;
        EXPECT_EQ(f.call(&error), 0) << f.line;
        EXPECT_EQ(error, kNoEntry) << f.line;
        std::string line = f.line;
        line.replace(line.find("%s"), 2, missing);
        EXPECT_EQ(log.count(line + " [LE: " + std::to_string(kNoEntry) + "]\n"), 1) << line << "\n"
                                                                                    << log.text();
    }
    // GetAttributes logs only when the caller takes no error code.
    EXPECT_EQ(Path_GetAttributes(missing.c_str(), &attributes, &error), 0);
    EXPECT_EQ(log.count("GetAttributes("), 0);
    EXPECT_EQ(Path_GetAttributes(missing.c_str(), &attributes, nullptr), 0);
    EXPECT_EQ(log.count("GetAttributes(" + missing + ") failed [LE: " + std::to_string(kNoEntry) + "]\n"), 1);
}

TEST_F(PathFileTest, ChangeDetection) {
    ASSERT_TRUE(WriteText(at("file"), "x"));
    struct stat a, b, empty;
    ASSERT_EQ(Path_Stat(at("file").c_str(), 0, &a), 1);
    ASSERT_EQ(Path_Stat(at("file").c_str(), 0, &b), 1);
    EXPECT_EQ(Path_HasChanged(&a, &b), 0);
    ASSERT_TRUE(WriteText(at("file"), "longer"));
    ASSERT_EQ(Path_Stat(at("file").c_str(), 1, &b), 1);
    EXPECT_EQ(Path_HasChanged(&a, &b), 1);
    EXPECT_EQ(Path_ResetChanged(&b), 1);
    memset(&empty, 0, sizeof(empty));
    EXPECT_EQ(Path_HasChanged(&b, &empty), 0);
    EXPECT_EQ(Path_Stat(at("missing").c_str(), 1, &a), 0);
    EXPECT_EQ(Path_HasChanged(&a, &empty), 0); // a failed stat leaves the record zeroed
}

// The changes of a mode that a path can ask for, each on a path that may be a link.
struct ModeChange {
    const char* what;
    std::function<int64_t(const char*)> change;
};
const ModeChange kModeChanges[] = {
    {"EnsureWritable", [](const char* path) { return Path_EnsureWritable(path); }},
    {"SetMode", [](const char* path) { return Path_SetMode(path, 0644, nullptr); }},
    {"SetAttributes",
     [](const char* path) { return Path_SetAttributes(path, PLATFORM_FILE_ATTRIBUTE_EXECUTABLE, nullptr); }},
    {"SetGroup", [](const char* path) { return Path_SetGroup(path, "Everyone"); }},
};

TEST_F(PathFileTest, EnsureWritableNeverReachesThroughALink) {
    TempDir outside;
    ASSERT_TRUE(WriteText(outside.file("protected"), "p"));
    ASSERT_EQ(chmod(outside.file("protected").c_str(), 0400), 0);
    ASSERT_TRUE(MakeLink(outside.file("protected"), at("link")));
    for (const ModeChange& c : kModeChanges) {
        EXPECT_EQ(c.change(at("link").c_str()), 1) << c.what;
        EXPECT_EQ(ModeOf(outside.file("protected")) & 07777, 0400u) << c.what;
    }

    ASSERT_TRUE(WriteText(at("readonly"), "r"));
    ASSERT_EQ(chmod(at("readonly").c_str(), 0444), 0);
    EXPECT_EQ(Path_EnsureWritable(at("readonly").c_str()), 1);
    EXPECT_EQ(ModeOf(at("readonly")) & 0777, 0644u);
    EXPECT_EQ(Path_EnsureWritable(at("missing").c_str()), 0);
}

// Another process exchanging a file with a link to an outside file, over and over, while its mode
// is changed by path: the change reaches the file or nothing, never the link's target.
TEST_F(PathFileTest, ModeChangesRacingASwapForALinkNeverReachItsTarget) {
    constexpr int32_t kRounds = 20000;
    TempDir outside;
    ASSERT_TRUE(WriteText(outside.file("precious"), "p", 0400));
    const std::string entry = at("entry"), spare = at("spare");
    ASSERT_TRUE(WriteText(entry, "e", 0400));
    ASSERT_TRUE(MakeLink(outside.file("precious"), spare));
    // Held open, so that the file's own mode can be put back whichever name it has.
    const int file = open(entry.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop.load()) renameat2(AT_FDCWD, entry.c_str(), AT_FDCWD, spare.c_str(), RENAME_EXCHANGE);
    });
    for (const ModeChange& c : kModeChanges) {
        for (int32_t round = 0; round < kRounds; round++) {
            c.change(entry.c_str());
            fchmod(file, 0400);
            if ((ModeOf(outside.file("precious")) & 07777) != 0400u) break;
        }
        EXPECT_EQ(ModeOf(outside.file("precious")) & 07777, 0400u) << c.what;
        chmod(outside.file("precious").c_str(), 0400);
    }
    stop = true;
    swapper.join();
    close(file);
}

TEST_F(PathFileTest, DirectoryChains) {
    PlatformErrorCode error = -1;
    EXPECT_EQ(Path_CreateDirectory(at("a/b/c").c_str(), 0, &error), 1);
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(IsDir(at("a/b/c")));
    EXPECT_EQ(Path_CreateDirectory(at("x\\y\\file.txt").c_str(), 1, &error), 1);
    EXPECT_TRUE(IsDir(at("x/y")));
    EXPECT_FALSE(FileExists(at("x/y/file.txt")));
    EXPECT_EQ(Path_CreateDirectory("file-in-the-current-directory", 1, &error), 1); // nothing to create
    EXPECT_EQ(Path_CreateDirectory(at("a/b/c/").c_str(), 0, &error), 1);            // already there

    // A file in the chain: a clear error, the file untouched.
    ASSERT_TRUE(WriteText(at("plain"), "p"));
    EXPECT_EQ(Path_CreateDirectory(at("plain/sub").c_str(), 0, &error), 0);
    EXPECT_EQ(error, kExists);
    EXPECT_EQ(ReadFile(at("plain")), "p");
    // A failure other than "already exists" is logged with its code in decimal and hexadecimal.
    LogCapture log;
    const std::string overlong = at(std::string(280, 'n')); // a name beyond the file system's limit
    EXPECT_EQ(Path_CreateDirectory(overlong.c_str(), 0, &error), 0);
    EXPECT_EQ(error, kTooLong);
    EXPECT_EQ(log.count("Unable to create directory (" + overlong + ") [LE: 100036:000186C4]\n"), 1)
        << log.text();
    EXPECT_EQ(Path_CreateDirectory(at("plain").c_str(), 0, &error), 0); // exists, as a file
    EXPECT_EQ(error, kExists);
    EXPECT_EQ(Path_CreateDirectory(at(std::string(330, 'l')).c_str(), 0, &error), 0);
    EXPECT_EQ(error, kTooLong);

    char chain[PATH_SIZE];
    snprintf(chain, sizeof(chain), "%s", at("p/q").c_str());
    EXPECT_EQ(Path_CreateParentDirectory(chain, &error), 1);
    EXPECT_EQ(std::string(chain), at("p/q")); // the separators cut on the way are put back
    EXPECT_TRUE(IsDir(at("p/q")));
}

TEST_F(PathFileTest, DirectoryRightBelowTheRootIsCreated) {
    if (!IsRoot()) GTEST_SKIP() << "needs to write in /";
    // Inside a chroot, so that the test's "/" is its own directory.
    int code = RunInChroot(dir.path(), [] {
        PlatformErrorCode error = 0;
        if (!Path_CreateDirectory("/top", 0, &error) || error != 0) return 1;
        struct stat info;
        return stat("/top", &info) == 0 && S_ISDIR(info.st_mode) ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(IsDir(at("top")));
}

TEST_F(PathFileTest, EraseFile) {
    PlatformErrorCode error = -1;
    EXPECT_EQ(Path_EraseFile(at("missing").c_str(), 3, &error), 1);
    EXPECT_EQ(error, 0);

    ASSERT_TRUE(MakeDir(at("dir")));
    {
        LogCapture log;
        error = -1;
        EXPECT_EQ(Path_EraseFile(at("dir").c_str(), 3, &error), 0);
        EXPECT_EQ(error, 0);
        EXPECT_EQ(log.count("Unable to erase path that is not a file (" + at("dir") + ")\n"), 1);
        EXPECT_TRUE(IsDir(at("dir")));
    }

    ASSERT_TRUE(WriteText(at("file"), "f"));
    ASSERT_EQ(chmod(at("file").c_str(), 0444), 0);
    EXPECT_EQ(Path_EraseFile(at("file").c_str(), 1, &error), 1);
    EXPECT_FALSE(FileExists(at("file")));

    // A link is erased as a link.
    TempDir outside;
    ASSERT_TRUE(WriteText(outside.file("kept"), "k"));
    ASSERT_TRUE(MakeLink(outside.file("kept"), at("link")));
    EXPECT_EQ(Path_EraseFile(at("link").c_str(), 1, &error), 1);
    EXPECT_FALSE(IsLink(at("link")));
    EXPECT_EQ(ReadFile(outside.file("kept")), "k");

    // No attempt at all still fails with its line and a code.
    ASSERT_TRUE(WriteText(at("file"), "f"));
    LogCapture log;
    EXPECT_EQ(Path_EraseFile(at("file").c_str(), 0, &error), 0);
    EXPECT_NE(error, 0);
    EXPECT_EQ(log.count("EraseFile(" + at("file") + ") failed [LE: "), 1);
    EXPECT_TRUE(FileExists(at("file")));

    // Over the limit: an error, never "already gone".
    EXPECT_EQ(Path_EraseFile(at(std::string(330, 'l')).c_str(), 1, &error), 0);
    EXPECT_EQ(error, kTooLong);
}

TEST_F(PathFileTest, EraseFileRetriesWithoutPermission) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to become another user";
    ASSERT_TRUE(WriteText(at("file"), "f"));
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0); // owned by root: others may look, not unlink
    const std::string file = at("file");
    int code = RunAsNobody([&file] {
        LogCapture log;
        PlatformErrorCode error = 0;
        const double start = Time_GetCurrent();
        if (Path_EraseFile(file.c_str(), 2, &error) != 0) return 1;
        if (error != PLATFORM_ERROR_ERRNO_BASE + EACCES) return 2;
        const std::string le = std::to_string(error);
        if (log.count("Retrying EraseFile(" + file + ") [LE: " + le + " Try: 0/2]\n") != 1) return 3;
        if (log.count("Retrying EraseFile(") != 1) return 4;
        if (log.count("EraseFile(" + file + ") failed [LE: " + le + "]\n") != 1) return 5;
        if (Time_GetCurrent() - start < 0.99) return 6; // one pause between the two attempts
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(FileExists(at("file")));

    // A file that cannot even be looked at is not "already gone".
    ASSERT_EQ(mkdir(at("private").c_str(), 0700), 0);
    ASSERT_TRUE(WriteText(at("private/file"), "p"));
    const std::string hidden = at("private/file");
    code = RunAsNobody([&hidden] {
        PlatformErrorCode error = 0;
        if (Path_EraseFile(hidden.c_str(), 1, &error) != 0) return 1;
        return error == PLATFORM_ERROR_ERRNO_BASE + EACCES ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(FileExists(hidden));
}

TEST_F(PathFileTest, MoveFile) {
    ASSERT_TRUE(WriteText(at("source"), "new"));
    ASSERT_TRUE(WriteText(at("destination"), "old"));
    PlatformErrorCode error = -1;

    // Onto an existing destination without overwrite: every attempt fails, both stay.
    {
        LogCapture log;
        const double start = Time_GetCurrent();
        EXPECT_EQ(
            Path_MoveFile(at("source").c_str(), at("destination").c_str(), 0, 3, &error, nullptr, nullptr),
            0);
        EXPECT_GE(Time_GetCurrent() - start, 1.99);
        EXPECT_EQ(error, kExists);
        const std::string prefix = "Retrying MoveFile(" + at("source") + ", " + at("destination") +
                                   ") [LE: " + std::to_string(kExists) + " Try: ";
        EXPECT_EQ(log.count(prefix + "0/3]\n"), 1) << log.text();
        EXPECT_EQ(log.count(prefix + "1/3]\n"), 1);
        EXPECT_EQ(log.count("Retrying MoveFile("), 2);
        EXPECT_EQ(log.count("MoveFile(" + at("source") + ", " + at("destination") +
                            ") failed [LE: " + std::to_string(kExists) + "]\n"),
                  1);
        EXPECT_EQ(ReadFile(at("source")), "new");
        EXPECT_EQ(ReadFile(at("destination")), "old");
    }

    // With overwrite the source takes the destination's place in one rename.
    const ino_t sourceInode = InodeOf(at("source"));
    EXPECT_EQ(Path_MoveFile(at("source").c_str(), at("destination").c_str(), 1, 1, &error, nullptr, nullptr),
              1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(ReadFile(at("destination")), "new");
    EXPECT_EQ(InodeOf(at("destination")), sourceInode);
    EXPECT_FALSE(FileExists(at("source")));

    // The destination's directories are made; a missing source is reported.
    EXPECT_EQ(Path_RenameFile(at("destination").c_str(), at("deep/er/moved").c_str(), 1, &error), 1);
    EXPECT_EQ(ReadFile(at("deep/er/moved")), "new");
    LogCapture log;
    EXPECT_EQ(Path_MoveFile(at("gone").c_str(), at("x").c_str(), 1, 1, &error, nullptr, nullptr), 0);
    EXPECT_EQ(error, kNoEntry);
    EXPECT_EQ(log.count("MoveFile(" + at("gone") + ", " + at("x") + ") source does not exist\n"), 1);
    EXPECT_EQ(Path_MoveFile(at("deep/er/moved").c_str(), at("x").c_str(), 1, 0, &error, nullptr, nullptr), 0);
    EXPECT_NE(error, 0);
    EXPECT_TRUE(FileExists(at("deep/er/moved")));
}

TEST_F(PathFileTest, MoveOntoADirectoryFailsAndKeepsIt) {
    ASSERT_TRUE(WriteText(at("source"), "s"));
    ASSERT_TRUE(MakeDir(at("busy")));
    ASSERT_TRUE(WriteText(at("busy/inside"), "i"));
    PlatformErrorCode error = 0;
    EXPECT_EQ(Path_MoveFile(at("source").c_str(), at("busy").c_str(), 1, 1, &error, nullptr, nullptr), 0);
    EXPECT_EQ(error, PLATFORM_ERROR_ERRNO_BASE + EISDIR);
    EXPECT_EQ(ReadFile(at("busy/inside")), "i");
    EXPECT_EQ(ReadFile(at("source")), "s");
}

TEST_F(PathFileTest, AFailedMoveNeverLosesTheDestination) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to become another user";
    // The source lies in a directory the unprivileged user may not change, so the move must
    // fail; the destination lies in one the user owns, so erasing it first would have worked.
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_TRUE(MakeDir(at("locked")));
    ASSERT_TRUE(WriteText(at("locked/source"), "new"));
    ASSERT_TRUE(MakeDir(at("mine")));
    ASSERT_TRUE(WriteText(at("mine/destination"), "precious"));
    ASSERT_EQ(chown(at("mine").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(at("mine/destination").c_str(), 65534, 65534), 0);
    const std::string source = at("locked/source"), destination = at("mine/destination");
    int code = RunAsNobody([&] {
        PlatformErrorCode error = 0;
        if (Path_MoveFile(source.c_str(), destination.c_str(), 1, 1, &error, nullptr, nullptr) != 0) return 1;
        return error == PLATFORM_ERROR_ERRNO_BASE + EACCES ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadFile(destination), "precious");
    EXPECT_EQ(ReadFile(source), "new");
}

struct Progress {
    int32_t calls = 0;
    uint64_t done = 0;
    uint64_t total = 0;
};
int64_t CountProgress(void* user, const char*, const char*, uint64_t done, uint64_t total) {
    Progress* p = static_cast<Progress*>(user);
    p->calls++;
    p->done = done;
    p->total = total;
    return 1;
}

TEST_F(PathFileTest, MoveAcrossFileSystemsCopiesThenRemoves) {
    TempDir local;
    char pattern[] = "/dev/shm/qvr-path-XXXXXX";
    if (!mkdtemp(pattern)) GTEST_SKIP() << "no /dev/shm";
    const std::string other = pattern;
    struct Cleanup {
        std::string path;
        ~Cleanup() { system(("rm -rf '" + path + "'").c_str()); }
    } cleanup{other};
    if (DeviceOf(other) == DeviceOf(local.path())) GTEST_SKIP() << "/dev/shm is on the same file system";

    const std::string source = other + "/source", destination = local.file("destination");
    ASSERT_TRUE(WriteText(source, std::string(100000, 'n')));
    ASSERT_TRUE(WriteText(destination, "old"));
    PlatformErrorCode error = 0;
    EXPECT_EQ(Path_MoveFile(source.c_str(), destination.c_str(), 0, 1, &error, nullptr, nullptr), 0);
    EXPECT_EQ(ReadFile(destination), "old");
    EXPECT_TRUE(FileExists(source));

    Progress progress;
    EXPECT_EQ(Path_MoveFile(source.c_str(), destination.c_str(), 1, 1, &error, &progress, CountProgress), 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(ReadFile(destination), std::string(100000, 'n'));
    EXPECT_FALSE(FileExists(source));
    EXPECT_GE(progress.calls, 1);
    EXPECT_EQ(progress.total, 100000u);
    EXPECT_EQ(progress.done, 100000u);

    // A link moves as a link.
    ASSERT_TRUE(MakeLink("../somewhere", other + "/link"));
    EXPECT_EQ(
        Path_MoveFile((other + "/link").c_str(), local.file("link").c_str(), 1, 1, &error, nullptr, nullptr),
        1);
    EXPECT_EQ(LinkTarget(local.file("link")), "../somewhere");
    EXPECT_FALSE(IsLink(other + "/link"));
}

TEST_F(PathFileTest, AFullDiskFailsCleanly) {
    if (!IsRoot()) GTEST_SKIP() << "mounting needs root";
    TmpfsMount small(at("small"), "size=64k");
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    const std::string big = at("big");
    ASSERT_TRUE(WriteText(big, std::string(256 * 1024, 'b')));
    const std::string target = small.path() + "/target";
    ASSERT_TRUE(WriteText(target, "old"));
    PlatformErrorCode error = 0;
    EXPECT_EQ(Path_CopyFile(big.c_str(), target.c_str(), 0, 1, &error, nullptr, nullptr), 0);
    EXPECT_TRUE(Platform_ErrorNotEnoughSpace(error)) << error;
    EXPECT_EQ(ReadFile(target), "old");
    EXPECT_EQ(Path_MoveFile(big.c_str(), target.c_str(), 1, 1, &error, nullptr, nullptr), 0);
    EXPECT_TRUE(Platform_ErrorNotEnoughSpace(error)) << error;
    EXPECT_EQ(ReadFile(target), "old");
    EXPECT_EQ(ReadFile(big).size(), 256u * 1024u);
}

TEST_F(PathFileTest, CopyFile) {
    ASSERT_TRUE(WriteText(at("source"), "content"));
    ASSERT_EQ(chmod(at("source").c_str(), 0751), 0);
    ASSERT_TRUE(WriteText(at("existing"), "keep"));
    PlatformErrorCode error = -1;
    EXPECT_EQ(Path_CopyFile(at("source").c_str(), at("existing").c_str(), 1, 1, &error, nullptr, nullptr), 0);
    EXPECT_EQ(error, kExists);
    EXPECT_EQ(ReadFile(at("existing")), "keep");
    EXPECT_EQ(Path_CopyFile(at("source").c_str(), at("existing").c_str(), 0, 1, &error, nullptr, nullptr), 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(ReadFile(at("existing")), "content");

    Progress progress;
    EXPECT_EQ(Path_CopyFile(at("source").c_str(), at("new/dir/copy").c_str(), 1, 1, &error, &progress,
                            CountProgress),
              1);
    EXPECT_EQ(ReadFile(at("new/dir/copy")), "content");
    EXPECT_EQ(ModeOf(at("new/dir/copy")) & 0777, 0751u);
    EXPECT_EQ(progress.total, 7u);
    EXPECT_EQ(ReadFile(at("source")), "content");
}

TEST_F(PathFileTest, CopyFileRetriesAndDirectoriesWhereFilesAreExpected) {
    ASSERT_TRUE(MakeDir(at("dir")));
    LogCapture log;
    PlatformErrorCode error = 0;
    EXPECT_EQ(Path_CopyFile(at("dir").c_str(), at("copy").c_str(), 0, 2, &error, nullptr, nullptr), 0);
    EXPECT_EQ(error, PLATFORM_ERROR_ERRNO_BASE + EISDIR);
    const std::string names = "(" + at("dir") + ", " + at("copy") + ")";
    const std::string le = std::to_string(error);
    EXPECT_EQ(log.count("Retrying CopyFile" + names + " [LE: " + le + " Try: 0/2]\n"), 1) << log.text();
    EXPECT_EQ(log.count("Retrying CopyFile"), 1);
    EXPECT_EQ(log.count("CopyFile" + names + " failed [LE: " + le + "]\n"), 1);
    EXPECT_FALSE(FileExists(at("copy")));

    ASSERT_TRUE(WriteText(at("file"), "f"));
    EXPECT_EQ(Path_CopyFile(at("file").c_str(), at("dir").c_str(), 0, 1, &error, nullptr, nullptr), 0);
    EXPECT_TRUE(IsDir(at("dir")));
    EXPECT_EQ(Path_CopyFile(at("file").c_str(), at("file/below").c_str(), 0, 1, &error, nullptr, nullptr), 0);
    EXPECT_EQ(log.count("CopyFile(" + at("file") + ", " + at("file/below") +
                        ") unable to create destination directory [LE: "),
              1);
}

TEST_F(PathFileTest, CopyFileAssertions) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Path_CopyFile("/a", "/b", 2, 1, nullptr, nullptr, nullptr);
        },
        AbortRegex("Assertion failed (((FailIfExists) == FALSE || (FailIfExists) == TRUE))\nVariable "
                   "'FailIfExists' is not boolean\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Path_CopyFile("/a", "/b", 0, 0, nullptr, nullptr, nullptr);
        },
        AbortRegex("Assertion failed (Attempts > 0)\nNumber of attempts must be at least 1"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Path_MoveFile("/a", "/b", 0, 1, nullptr, nullptr, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
}

TEST_F(PathFileTest, MoveDirectoryAndGroup) {
    ASSERT_TRUE(MakeDir(at("from")));
    ASSERT_TRUE(WriteText(at("from/f"), "f"));
    EXPECT_EQ(Path_MoveDirectory(at("from").c_str(), at("to").c_str()), 1);
    EXPECT_EQ(ReadFile(at("to/f")), "f");
    LogCapture log;
    EXPECT_EQ(Path_MoveDirectory(at("from").c_str(), at("again").c_str()), 0);
    EXPECT_EQ(log.count("MoveDirectory(" + at("from") + ", " + at("again") +
                        ") failed [LE: " + std::to_string(kNoEntry) + "]\n"),
              1)
        << log.text();

    ASSERT_TRUE(WriteText(at("shared"), "s"));
    ASSERT_EQ(chmod(at("shared").c_str(), 0600), 0);
    EXPECT_EQ(Path_SetGroup(at("shared").c_str(), "Everyone"), 1);
    EXPECT_EQ(ModeOf(at("shared")) & 0777, 0777u);

    EXPECT_EQ(Path_CreateSymLink(at("made/link").c_str(), "shared", 0), 1);
    EXPECT_EQ(LinkTarget(at("made/link")), "shared");
}

} // namespace
