// Tests of what a path names and of the single-file operations: queries, links, times, modes,
// directory chains, erasing, moving (atomic replacement, across file systems) and copying with
// their retries, log lines and failures.
#include "core/platform/path.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <thread>

#include "core/linux/platform_file.h"
#include "core/runtime/time.h"
#include "tests/support/abort_hook.h"
#include "tests/support/file_trees.h"

namespace {

using namespace path_test;
using path_test::LogCapture;

constexpr PlatformErrorCode kNoEntry = PLATFORM_ERROR_ERRNO_BASE + ENOENT;
constexpr PlatformErrorCode kExists = PLATFORM_ERROR_ERRNO_BASE + EEXIST;
constexpr PlatformErrorCode kTooLong = PLATFORM_ERROR_ERRNO_BASE + ENAMETOOLONG;
constexpr PlatformErrorCode kDenied = PLATFORM_ERROR_ERRNO_BASE + EACCES;
const std::string kNoEntryText = std::to_string(kNoEntry), kExistsText = std::to_string(kExists);

struct Progress {
    int32_t calls = 0;
    uint64_t done = 0, total = 0;
};
int64_t CountProgress(void* user, const char*, const char*, uint64_t done, uint64_t total) {
    Progress* p = static_cast<Progress*>(user);
    p->calls++;
    p->done = done;
    p->total = total;
    return 1;
}

class PathFileTest : public ::testing::Test {
  protected:
    // A relative name is taken below the test's directory.
    std::string at(const std::string& name) const { return name[0] == '/' ? name : dir.file(name); }
    int64_t Move(const std::string& from, const std::string& to, int32_t overwrite, int32_t attempts = 1,
                 Progress* progress = nullptr) {
        return Path_MoveFile(at(from).c_str(), at(to).c_str(), overwrite, attempts, &error, progress,
                             progress ? CountProgress : nullptr);
    }
    int64_t Copy(const std::string& from, const std::string& to, uint32_t failIfExists, int32_t attempts = 1,
                 Progress* progress = nullptr) {
        return Path_CopyFile(at(from).c_str(), at(to).c_str(), failIfExists, attempts, &error, progress,
                             progress ? CountProgress : nullptr);
    }
    TempDir dir;
    PlatformErrorCode error = -1;
};

TEST_F(PathFileTest, KindsOfEntries) {
    ASSERT_TRUE(Build(dir.path(), {"file=12345", "dir/", "dirlink->" + at("dir"), "filelink->" + at("file"),
                                   "dangling->" + at("missing")}));
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
    for (const char* empty : {"dir", "missing"})
        EXPECT_EQ(Path_IsDirectoryEmpty(at(empty).c_str()), 1) << empty;
    EXPECT_EQ(Path_IsDirectoryEmpty(dir.path().c_str()), 0);
    // Over the 320-byte limit nothing is found, rather than a cut path's entry.
    EXPECT_EQ(Path_Exists(at(std::string(330, 'x')).c_str()), 0);
    EXPECT_EQ(Path_Exists(""), 0);
}

TEST_F(PathFileTest, LinksAreReadAndFollowed) {
    ASSERT_TRUE(Build(dir.path(), {"target", "sub/", "sub/relative->../target",
                                   "absolute->" + at("sub/relative"), "loop1->loop2", "loop2->loop1"}));
    char out[PATH_SIZE];
    EXPECT_EQ(Path_ReadLink(at("sub/relative").c_str(), out, sizeof(out)), 1);
    EXPECT_STREQ(out, "../target");
    EXPECT_EQ(Path_ReadLink(at("target").c_str(), out, sizeof(out)), 0);
    EXPECT_STREQ(out, "");
    for (const char* name : {"absolute", "target"}) {
        EXPECT_EQ(Path_FollowLink(at(name).c_str(), out, sizeof(out)), 1) << name;
        EXPECT_EQ(out, at("target")) << name;
    }
    EXPECT_EQ(Path_FollowLink(at("loop1").c_str(), out, sizeof(out)), 0);
    EXPECT_STREQ(out, "");
}

// Each call in turn on nothing, where it fails with the error and exactly one log line, and on a
// file, where it does its part; GetAttributes logs only when the caller takes no error code.
TEST_F(PathFileTest, TimesModesAndAttributes) {
    ASSERT_TRUE(Build(dir.path(), {"file", ".hidden"}));
    const uint32_t kExecutable = PLATFORM_FILE_ATTRIBUTE_EXECUTABLE;
    EncodedTime modified = 0, created = 0;
    uint32_t mode = 0, attributes = 0;
    // clang-format off
    struct Case { std::string name; std::function<int64_t(const char*, PlatformErrorCode*)> call;
                  bool takesError = true; } cases[] = {
        {"SetModifiedTime", [&](auto p, auto e) { return Path_SetModifiedTime(p, e, 1234567890.0); }},
        {"GetModifiedTime", [&](auto p, auto e) { return Path_GetModifiedTime(p, &modified, e); }},
        {"GetCreationTime", [&](auto p, auto e) { return Path_GetCreationTime(p, &created, e); }},
        {"SetMode", [&](auto p, auto e) { return Path_SetMode(p, 0640, e); }},
        {"GetMode", [&](auto p, auto e) { return Path_GetMode(p, &mode, e); }},
        {"SetAttributes", [&](auto p, auto e) { return Path_SetAttributes(p, kExecutable, e); }},
        {"", [&](auto p, auto e) { return Path_GetAttributes(p, &attributes, e); }},
        {"GetAttributes", [&](auto p, auto) { return Path_GetAttributes(p, &attributes, nullptr); }, false},
    };
    // clang-format on
    for (const Case& c : cases) {
        LogCapture log;
        error = -1;
        EXPECT_EQ(c.call(at("missing").c_str(), &error), 0) << c.name;
        EXPECT_EQ(error, c.takesError ? kNoEntry : -1) << c.name;
        EXPECT_EQ(c.call(at("file").c_str(), &error), 1) << c.name;
        EXPECT_EQ(error, c.takesError ? 0 : -1) << c.name;
        const std::string line =
            c.name.empty() ? "" : c.name + "(missing) failed [LE: " + kNoEntryText + "]\n";
        EXPECT_EQ(log.lines(dir.path() + "/"), line) << c.name;
    }
    EXPECT_EQ(modified, 1234567890.0);
    EXPECT_GT(created, 0.0);
    EXPECT_EQ(mode, (uint32_t)(S_IFREG | 0640));
    EXPECT_EQ(PermsOf(at("file")), 0751u);
    EXPECT_EQ(Path_GetAttributes(at(".hidden").c_str(), &attributes, &error), 1);
    EXPECT_EQ(attributes, (uint32_t)PLATFORM_FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(Path_GetAttributes(dir.path().c_str(), &attributes, nullptr), 1);
    EXPECT_TRUE(attributes & PLATFORM_FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(PathFileTest, ChangeDetection) {
    ASSERT_TRUE(WriteText(at("file"), "x"));
    struct stat a, b, empty{};
    ASSERT_EQ(Path_Stat(at("file").c_str(), 0, &a), 1);
    ASSERT_EQ(Path_Stat(at("file").c_str(), 0, &b), 1);
    EXPECT_EQ(Path_HasChanged(&a, &b), 0);
    ASSERT_TRUE(WriteText(at("file"), "longer"));
    ASSERT_EQ(Path_Stat(at("file").c_str(), 1, &b), 1);
    EXPECT_EQ(Path_HasChanged(&a, &b), 1);
    EXPECT_EQ(Path_ResetChanged(&b), 1);
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
    ASSERT_TRUE(WriteText(outside.file("protected"), "p", 0400));
    ASSERT_TRUE(MakeLink(outside.file("protected"), at("link")));
    for (const ModeChange& c : kModeChanges) {
        EXPECT_EQ(c.change(at("link").c_str()), 1) << c.what;
        EXPECT_EQ(PermsOf(outside.file("protected")), 0400u) << c.what;
    }
    ASSERT_TRUE(WriteText(at("readonly"), "r", 0444));
    EXPECT_EQ(Path_EnsureWritable(at("readonly").c_str()), 1);
    EXPECT_EQ(PermsOf(at("readonly")), 0644u);
    EXPECT_EQ(Path_EnsureWritable(at("missing").c_str()), 0);
}

// Another thread exchanging a file with a link to an outside file, over and over, while its mode
// is changed by path: the change reaches the file or nothing, never the link's target. Bounded by
// its rounds.
TEST_F(PathFileTest, ModeChangesRacingASwapForALinkNeverReachItsTarget) {
    constexpr int32_t kRounds = 20000;
    TempDir outside;
    const std::string precious = outside.file("precious"), entry = at("entry"), spare = at("spare");
    ASSERT_TRUE(WriteText(precious, "p", 0400));
    ASSERT_TRUE(WriteText(entry, "e", 0400));
    ASSERT_TRUE(MakeLink(precious, spare));
    // Held open, so that the file's own mode can be put back whichever name it has.
    const int file = open(entry.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop.load()) renameat2(AT_FDCWD, entry.c_str(), AT_FDCWD, spare.c_str(), RENAME_EXCHANGE);
    });
    for (const ModeChange& c : kModeChanges) {
        for (int32_t round = 0; round < kRounds && PermsOf(precious) == 0400u; round++) {
            c.change(entry.c_str());
            fchmod(file, 0400);
        }
        EXPECT_EQ(PermsOf(precious), 0400u) << c.what;
        chmod(precious.c_str(), 0400);
    }
    stop = true;
    swapper.join();
    close(file);
}

TEST_F(PathFileTest, DirectoryChains) {
    EXPECT_EQ(Path_CreateDirectory(at("a/b/c").c_str(), 0, &error), 1);
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(IsDir(at("a/b/c")));
    EXPECT_EQ(Path_CreateDirectory(at("x\\y\\file.txt").c_str(), 1, &error), 1);
    EXPECT_TRUE(IsDir(at("x/y")));
    EXPECT_FALSE(FileExists(at("x/y/file.txt")));
    EXPECT_EQ(Path_CreateDirectory("file-in-the-current-directory", 1, &error), 1); // nothing to create
    EXPECT_EQ(Path_CreateDirectory(at("a/b/c/").c_str(), 0, &error), 1);            // already there
    char chain[PATH_SIZE];
    snprintf(chain, sizeof(chain), "%s", at("p/q").c_str());
    EXPECT_EQ(Path_CreateParentDirectory(chain, &error), 1);
    EXPECT_EQ(chain, at("p/q")); // the separators cut on the way are put back
    EXPECT_TRUE(IsDir(at("p/q")));
}

TEST_F(PathFileTest, DirectoryRightBelowTheRootIsCreated) {
    if (!IsRoot()) GTEST_SKIP() << "needs to write in /";
    EXPECT_EQ(RunInChroot(dir.path(),
                          [] {
                              PlatformErrorCode error = -1;
                              return Path_CreateDirectory("/top", 0, &error) && error == 0 ? 0 : 1;
                          }),
              0);
    EXPECT_TRUE(IsDir(at("top")));
}

TEST_F(PathFileTest, EraseFileTakesFilesAndLinksAsThemselves) {
    EXPECT_EQ(Path_EraseFile(at("missing").c_str(), 3, &error), 1);
    EXPECT_EQ(error, 0);
    TempDir outside;
    ASSERT_TRUE(WriteText(outside.file("kept"), "k"));
    ASSERT_TRUE(Build(dir.path(), {"link->" + outside.file("kept")}));
    ASSERT_TRUE(WriteText(at("readonly"), "r", 0444));
    for (const char* name : {"readonly", "link"}) {
        EXPECT_EQ(Path_EraseFile(at(name).c_str(), 1, &error), 1) << name;
        EXPECT_FALSE(FileExists(at(name))) << name;
    }
    EXPECT_EQ(ReadFile(outside.file("kept")), "k");
}

TEST_F(PathFileTest, EraseFileRetriesWithoutPermission) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to become another user";
    // Owned by root: others may look, not unlink; "private" may not even be looked into.
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_TRUE(Build(dir.path(), {"file", "private/", "private/file"}));
    ASSERT_EQ(chmod(at("private").c_str(), 0700), 0);
    const std::string file = at("file"), hidden = at("private/file");
    EXPECT_EQ(RunAsNobody([&] {
                  LogCapture log;
                  const double start = Time_GetCurrent();
                  if (Path_EraseFile(file.c_str(), 2, &error) != 0 || error != kDenied) return 1;
                  const std::string le = std::to_string(kDenied);
                  if (log.lines() != "Retrying EraseFile(" + file + ") [LE: " + le +
                                         " Try: 0/2]\nEraseFile(" + file + ") failed [LE: " + le + "]\n")
                      return 2;
                  if (Time_GetCurrent() - start < 0.99) return 3; // one pause between the two attempts
                  // A file that cannot even be looked at is not "already gone".
                  return Path_EraseFile(hidden.c_str(), 1, &error) == 0 && error == kDenied ? 0 : 4;
              }),
              0);
    EXPECT_TRUE(FileExists(file));
    EXPECT_TRUE(FileExists(hidden));
}

// Every refused operation answers 0 with its error code and exactly its log lines (shown here with
// the test directory cut and the long names abbreviated), and leaves every entry as it was; the
// retries pause a second between attempts.
TEST_F(PathFileTest, RefusalsReportWhyAndChangeNothing) {
    ASSERT_TRUE(Build(dir.path(), {"source=new", "destination=old", "dir/", "dir/inside=i", "file=f"}));
    const std::string overlong(280, 'n'), tooLong(330, 'l'); // beyond the file system's, the module's limit
    std::deque<std::string> kept; // the texts the calls are given live as long as the test
    auto path = [&](const std::string& name) { return kept.emplace_back(at(name)).c_str(); };
    auto shown = [&](std::string text) {
        for (const auto& [from, to] : {std::pair(overlong, "N"), {tooLong, "L"}})
            for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
        return text;
    };
    // clang-format off
    struct Case { const char* what; std::function<int64_t()> call; PlatformErrorCode error; const char* log;
                  double seconds = 0; } cases[] = {
        {"erase a directory", [&] { return Path_EraseFile(path("dir"), 3, &error); }, 0,
         "Unable to erase path that is not a file (dir)\n"},
        {"erase without attempts", [&] { return Path_EraseFile(path("file"), 0, &error); }, 100022,
         "EraseFile(file) failed [LE: 100022]\n"},
        // Over the limit: an error, never "already gone".
        {"erase over the limit", [&] { return Path_EraseFile(path(tooLong), 1, &error); }, kTooLong,
         "EraseFile(L) failed [LE: 100036]\n"},
        {"move onto a file", [&] { return Move("source", "destination", 0, 3); }, kExists,
         "Retrying MoveFile(source, destination) [LE: 100017 Try: 0/3]\n"
         "Retrying MoveFile(source, destination) [LE: 100017 Try: 1/3]\n"
         "MoveFile(source, destination) failed [LE: 100017]\n", 2},
        {"move a missing source", [&] { return Move("gone", "x", 1); }, kNoEntry,
         "MoveFile(gone, x) source does not exist\n"},
        {"move without attempts", [&] { return Move("file", "x", 1, 0); }, 100022,
         "MoveFile(file, x) failed [LE: 100022]\n"},
        {"move onto a directory", [&] { return Move("source", "dir", 1); }, 100021,
         "Unable to erase path that is not a file (dir)\n"},
        {"copy onto a file", [&] { return Copy("source", "destination", 1); }, kExists,
         "CopyFile(source, destination) failed [LE: 100017]\n"},
        {"copy a directory", [&] { return Copy("dir", "x", 0, 2); }, 100021,
         "Retrying CopyFile(dir, x) [LE: 100021 Try: 0/2]\nCopyFile(dir, x) failed [LE: 100021]\n", 1},
        {"copy onto a directory", [&] { return Copy("file", "dir", 0); }, 100021,
         "CopyFile(file, dir) failed [LE: 100021]\n"},
        {"copy below a file", [&] { return Copy("file", "file/below", 0); }, kExists,
         "CopyFile(file, file/below) unable to create destination directory [LE: 100017]\n"},
        {"move a missing directory", [&] { return Path_MoveDirectory(path("gone"), path("x")); }, -1,
         "MoveDirectory(gone, x) failed [LE: 100002]\n"},
        // One failure other than "already exists" is logged, with its code in decimal and hexadecimal.
        {"directory below a file", [&] { return Path_CreateDirectory(path("file/sub"), 0, &error); },
         kExists, ""},
        {"directory over a file", [&] { return Path_CreateDirectory(path("file"), 0, &error); }, kExists, ""},
        {"directory name too long", [&] { return Path_CreateDirectory(path(overlong), 0, &error); }, kTooLong,
         "Unable to create directory (N) [LE: 100036:000186C4]\n"},
        {"directory path too long", [&] { return Path_CreateDirectory(path(tooLong), 0, &error); },
         kTooLong, ""},
    };
    // clang-format on
    const auto before = Snapshot(dir.path());
    for (const Case& c : cases) {
        LogCapture log;
        error = -1;
        const double start = Time_GetCurrent();
        EXPECT_EQ(c.call(), 0) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_EQ(shown(log.lines(dir.path() + "/")), c.log) << c.what;
        EXPECT_GE(Time_GetCurrent() - start, c.seconds - 0.01) << c.what;
        EXPECT_EQ(Snapshot(dir.path()), before) << c.what;
    }
}

TEST_F(PathFileTest, MoveReplacesInOneRenameAndMakesTheDirectories) {
    ASSERT_TRUE(Build(dir.path(), {"source=new", "destination=old"}));
    const ino_t sourceInode = InodeOf(at("source"));
    EXPECT_EQ(Move("source", "destination", 1), 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(ReadFile(at("destination")), "new");
    EXPECT_EQ(InodeOf(at("destination")), sourceInode);
    EXPECT_FALSE(FileExists(at("source")));
    EXPECT_EQ(Path_RenameFile(at("destination").c_str(), at("deep/er/moved").c_str(), 1, &error), 1);
    EXPECT_EQ(ReadFile(at("deep/er/moved")), "new");
}

TEST_F(PathFileTest, AFailedMoveNeverLosesTheDestination) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to become another user";
    // The source lies in a directory the unprivileged user may not change, so the move must
    // fail; the destination lies in one the user owns, so erasing it first would have worked.
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_TRUE(Build(dir.path(), {"locked/", "locked/source=new", "mine/", "mine/destination=precious"}));
    ASSERT_EQ(chown(at("mine").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(at("mine/destination").c_str(), 65534, 65534), 0);
    EXPECT_EQ(RunAsNobody([&] {
                  return Move("locked/source", "mine/destination", 1) == 0 && error == kDenied ? 0 : 1;
              }),
              0);
    EXPECT_EQ(ReadFile(at("mine/destination")), "precious");
    EXPECT_EQ(ReadFile(at("locked/source")), "new");
}

TEST_F(PathFileTest, MoveAcrossFileSystemsCopiesThenRemoves) {
    char pattern[] = "/dev/shm/qvr-path-XXXXXX";
    if (!mkdtemp(pattern)) GTEST_SKIP() << "no /dev/shm";
    const std::string other = pattern;
    struct Cleanup {
        std::string path;
        ~Cleanup() { system(("rm -rf '" + path + "'").c_str()); }
    } cleanup{other};
    if (StatOf(other).st_dev == StatOf(dir.path()).st_dev)
        GTEST_SKIP() << "/dev/shm is on the same file system";
    const std::string source = other + "/source", data(100000, 'n');
    ASSERT_TRUE(WriteText(source, data));
    ASSERT_TRUE(WriteText(at("destination"), "old"));
    EXPECT_EQ(Move(source, "destination", 0), 0);
    EXPECT_EQ(ReadFile(at("destination")), "old");
    EXPECT_TRUE(FileExists(source));
    Progress progress;
    EXPECT_EQ(Move(source, "destination", 1, 1, &progress), 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(ReadFile(at("destination")), data);
    EXPECT_FALSE(FileExists(source));
    EXPECT_GE(progress.calls, 1);
    EXPECT_EQ(progress.total, 100000u);
    EXPECT_EQ(progress.done, 100000u);
    // A link moves as a link.
    ASSERT_TRUE(MakeLink("../somewhere", other + "/link"));
    EXPECT_EQ(Move(other + "/link", "link", 1), 1);
    EXPECT_EQ(LinkTarget(at("link")), "../somewhere");
    EXPECT_FALSE(IsLink(other + "/link"));
}

TEST_F(PathFileTest, AFullDiskFailsCleanly) {
    if (!IsRoot()) GTEST_SKIP() << "mounting needs root";
    TmpfsMount small(at("small"), "size=64k");
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    ASSERT_TRUE(WriteText(at("big"), std::string(256 * 1024, 'b')));
    ASSERT_TRUE(WriteText(small.file("target"), "old"));
    const auto before = Snapshot(dir.path());
    for (int64_t moved : {Copy("big", small.file("target"), 0), Move("big", small.file("target"), 1)}) {
        EXPECT_EQ(moved, 0);
        EXPECT_TRUE(Platform_ErrorNotEnoughSpace(error)) << error;
    }
    EXPECT_EQ(Snapshot(dir.path()), before);
}

TEST_F(PathFileTest, CopyFileReplacesUnlessAskedNotToAndKeepsTheMode) {
    ASSERT_TRUE(WriteText(at("source"), "content", 0751));
    ASSERT_TRUE(WriteText(at("existing"), "keep"));
    EXPECT_EQ(Copy("source", "existing", 0), 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(ReadFile(at("existing")), "content");
    Progress progress;
    EXPECT_EQ(Copy("source", "new/dir/copy", 1, 1, &progress), 1);
    EXPECT_EQ(ReadFile(at("new/dir/copy")), "content");
    EXPECT_EQ(PermsOf(at("new/dir/copy")), 0751u);
    EXPECT_EQ(progress.total, 7u);
    EXPECT_EQ(ReadFile(at("source")), "content");
}

// A move must be able to report why it failed: its error code is the one pointer it requires.
TEST_F(PathFileTest, Assertions) {
    struct Case {
        std::function<void()> call;
        const char* text;
    } cases[] = {
        {[] { Path_CopyFile("/a", "/b", 2, 1, nullptr, nullptr, nullptr); },
         "Assertion failed (((FailIfExists) == FALSE || (FailIfExists) == TRUE))\nVariable 'FailIfExists' is "
         "not boolean\n"},
        {[] { Path_CopyFile("/a", "/b", 0, 0, nullptr, nullptr, nullptr); },
         "Assertion failed (Attempts > 0)\nNumber of attempts must be at least 1"},
        {[] { Path_MoveFile("/a", "/b", 0, 1, nullptr, nullptr, nullptr); }, "Pointer is NULL\n"},
    };
    for (const Case& c : cases) EXPECT_DEATH((InstallTestAbortHook(), c.call()), AbortRegex(c.text));
}

TEST_F(PathFileTest, MoveDirectoryGroupAndLinks) {
    ASSERT_TRUE(Build(dir.path(), {"from/", "from/f=f", "shared"}));
    EXPECT_EQ(Path_MoveDirectory(at("from").c_str(), at("to").c_str()), 1);
    EXPECT_EQ(ReadFile(at("to/f")), "f");
    ASSERT_EQ(chmod(at("shared").c_str(), 0600), 0);
    EXPECT_EQ(Path_SetGroup(at("shared").c_str(), "Everyone"), 1);
    EXPECT_EQ(PermsOf(at("shared")), 0777u);
    EXPECT_EQ(Path_CreateSymLink(at("made/link").c_str(), "shared", 0), 1);
    EXPECT_EQ(LinkTarget(at("made/link")), "shared");
}

} // namespace
