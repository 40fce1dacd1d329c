// Tests of the tree operations: erasing and copying whole directories without ever leaving the
// tree or writing through a link, and the directory-size request answered to scripts.
#include "core/platform/path.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <sys/time.h>
#include <thread>

#include "core/formats/interop.h"
#include "core/linux/platform.h"
#include "core/linux/platform_file.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "tests/support/file_trees.h"
#include "tests/support/platform_sandbox.h"

namespace {

using namespace path_test;

// Changes a tree from inside the platform's listing: once an entry of the given name has been
// listed, the change runs (once), before the operation that listed it goes on, as another
// process could at that moment. Listings may run on a worker thread.
struct OnceListed {
    OnceListed(std::string name, std::function<bool()> change) {
        std::lock_guard<std::mutex> guard(lock);
        pending = {std::move(name), std::move(change)};
        done = false;
        Platform_FindEntryOverride([](const char* listed) {
            std::lock_guard<std::mutex> guard(lock);
            if (pending.second && pending.first == listed) done = std::exchange(pending.second, nullptr)();
        });
    }
    ~OnceListed() {
        Platform_FindEntryOverride(nullptr);
        std::lock_guard<std::mutex> guard(lock);
        pending.second = nullptr;
    }
    static inline std::mutex lock;
    static inline std::pair<std::string, std::function<bool()>> pending;
    static inline std::atomic<bool> done{false};
};

// Moves the directory at path away and puts a link to target in its place.
bool ReplaceByLink(const std::string& path, const std::string& movedTo, const std::string& target) {
    return rename(path.c_str(), movedTo.c_str()) == 0 && symlink(target.c_str(), path.c_str()) == 0;
}

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

class PathTreeTest : public ::testing::Test {
  protected:
    std::string at(const std::string& name) const { return dir.file(name); }
    // A tree of files, directories, a name that is no UTF-8 and links inside and outside it.
    void BuildTree(const std::string& root) {
        ASSERT_TRUE(MakeDir(root));
        ASSERT_TRUE(
            Build(root, {"a/", "a/c/", "a/x.txt=x", "a/c/deep.txt=deep", "b.txt=b", ".hidden=h", "\xff.bin=u",
                         "rel->a/x.txt", "out->" + outside.path(), "outfile->" + outside.file("victim")}));
    }
    // Outside the tree: a read-only file, so that making it writable through a link would show,
    // and a directory. Nothing may change there, the file not even be replaced by a copy of itself.
    void SetUp() override {
        ASSERT_TRUE(WriteText(outside.file("victim"), "untouched", 0444));
        ASSERT_TRUE(MakeDir(outside.file("sub")));
        untouched = Snapshot(outside.path());
    }
    void ExpectOutsideUntouched() { EXPECT_EQ(Snapshot(outside.path()), untouched); }
    TempDir dir, outside;
    std::map<std::string, std::string> untouched;
};

TEST_F(PathTreeTest, EraseDirectoryRemovesTheTreeAndNothingOutsideIt) {
    BuildTree(at("tree"));
    ASSERT_EQ(chmod(at("tree/a/x.txt").c_str(), 0444), 0);
    PlatformErrorCode error = -1;
    EXPECT_EQ(Path_EraseDirectory(at("tree").c_str(), 1, &error), 1);
    EXPECT_EQ(error, 0);
    EXPECT_FALSE(FileExists(at("tree")));
    ExpectOutsideUntouched();
    EXPECT_EQ(Path_EraseDirectory(at("tree").c_str(), 1, &error), 1); // already gone
    EXPECT_TRUE(Platform_ErrorMissing(error));
}

TEST_F(PathTreeTest, EraseDirectoryOfALinkErasesOnlyTheLink) {
    ASSERT_TRUE(Build(dir.path(), {"link->" + outside.path(), "link2->" + outside.path() + "/"}));
    for (const char* name : {"link", "link2/"}) {
        PlatformErrorCode error = -1;
        EXPECT_EQ(Path_EraseDirectory(at(name).c_str(), 1, &error), 1) << name;
    }
    EXPECT_FALSE(IsLink(at("link")) || IsLink(at("link2")));
    ExpectOutsideUntouched();
}

TEST_F(PathTreeTest, EraseDirectoryRefusesTheRootAndPathsThatNameNothing) {
    if (!IsRoot()) GTEST_SKIP() << "chroot needs root";
    ASSERT_TRUE(Build(dir.path(), {"keep=k", "a/"}));
    // Inside a chroot: a wrong "/" could only reach this test's own directory.
    EXPECT_EQ(RunInChroot(dir.path(),
                          [] {
                              PlatformErrorCode error = 0;
                              if (Path_EraseDirectory("/", 1, &error) ||
                                  error != PLATFORM_ERROR_ERRNO_BASE + EBUSY)
                                  return 1;
                              if (Path_EraseDirectory("a/..", 1, &error) ||
                                  error != PLATFORM_ERROR_ERRNO_BASE + EINVAL)
                                  return 2;
                              return Path_EraseDirectory("/a/../", 1, &error) ||
                                             Path_EraseDirectoryInt("a/../", 1, &error)
                                         ? 3
                                         : 0;
                          }),
              0);
    EXPECT_EQ(ReadFile(at("keep")), "k");
    EXPECT_TRUE(IsDir(at("a")));
}

TEST_F(PathTreeTest, EraseDirectoryFailureIsReportedAndKeepsWhatCannotGo) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to become another user";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_TRUE(Build(dir.path(), {"tree/", "tree/locked/", "tree/locked/stuck=s", "tree/free"}));
    ASSERT_EQ(chown(at("tree").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(at("tree/free").c_str(), 65534, 65534), 0);
    const std::string tree = at("tree");
    EXPECT_EQ(RunAsNobody([&tree] {
                  PlatformErrorCode error = 0;
                  return Path_EraseDirectory(tree.c_str(), 1, &error) == 0 &&
                                 Platform_ErrorAccessDenied(error)
                             ? 0
                             : 1;
              }),
              0);
    EXPECT_EQ(ReadFile(at("tree/locked/stuck")), "s");
}

TEST_F(PathTreeTest, EraseDirectoryWithEntriesBeyondThePathLimit) {
    const std::string name(200, 'd'), leaf = at("tree/" + name + "/" + name + "/leaf");
    ASSERT_TRUE(Build(dir.path(), {"tree/", "tree/" + name + "/", "tree/" + name + "/" + name + "/",
                                   leaf.substr(dir.path().size() + 1) + "=l"}));
    PlatformErrorCode error = 0;
    EXPECT_EQ(Path_EraseDirectory(at("tree").c_str(), 1, &error), 0);
    EXPECT_NE(error, 0);
    EXPECT_EQ(ReadFile(leaf), "l");
}

TEST_F(PathTreeTest, EraseNeverFollowsADirectoryReplacedByALinkMidWalk) {
    ASSERT_TRUE(Build(dir.path(), {"tree/", "tree/sub/", "tree/sub/own=o", "tree/top=t"}));
    {
        // Listed as a directory, then a link to the outside directory before it is entered.
        OnceListed swap("sub", [&] { return ReplaceByLink(at("tree/sub"), at("moved"), outside.path()); });
        PlatformErrorCode error = 0;
        Path_EraseDirectory(at("tree").c_str(), 1, &error);
        EXPECT_TRUE(swap.done);
    }
    ExpectOutsideUntouched();
    EXPECT_EQ(ReadFile(at("moved/own")), "o") << "what was moved out is no longer the tree's";
}

// Another thread swapping a subdirectory with a link to an outside directory, over and over,
// while the tree is erased: nothing outside may ever go. Bounded by its rounds, and each round's
// wait for the swapping to start by time.
TEST_F(PathTreeTest, EraseRacingAThreadThatSwapsASubdirectoryForALink) {
    constexpr int32_t kRounds = 300;
    const std::string tree = at("tree"), sub = at("tree/sub"), spare = at("spare");
    for (int32_t round = 0; round < kRounds && !HasFailure(); round++) {
        ASSERT_TRUE(Build(dir.path(), {"tree/", "tree/sub/", "spare->" + outside.path()}));
        for (int32_t i = 0; i < 16; i++) ASSERT_TRUE(WriteText(sub + "/f" + std::to_string(i), "f"));
        std::atomic<bool> stop{false};
        std::atomic<int32_t> swaps{0};
        std::thread swapper([&] {
            while (!stop.load())
                if (renameat2(AT_FDCWD, sub.c_str(), AT_FDCWD, spare.c_str(), RENAME_EXCHANGE) == 0) swaps++;
        });
        const double giveUp = Time_GetCurrent() + 10;
        while (swaps.load() < 16 && Time_GetCurrent() < giveUp) std::this_thread::yield();
        EXPECT_GE(swaps.load(), 16) << "the swapping never started";
        PlatformErrorCode error = 0;
        Path_EraseDirectory(tree.c_str(), 1, &error);
        stop = true;
        swapper.join();
        ExpectOutsideUntouched();
        RemoveTree(tree);
        RemoveTree(spare);
    }
}

// A file system mounted inside the tree, in a child's own mount namespace: the erase stops at
// its mount point before touching anything in it and names it; a bind mount of a folder of the
// same file system is another mount too. A tree wholly on one mount, even one that is not the
// current directory's, still goes whole.
TEST_F(PathTreeTest, EraseDirectoryNeverEntersAnotherMountInsideTheTree) {
    if (!CanIsolate()) GTEST_SKIP() << "no mount namespace of a child's own here (needs root)";
    ASSERT_TRUE(
        Build(dir.path(), {"tree/", "tree/a/", "tree/a/b/", "tree/a/b/mnt/", "tree/a/own=o", "tree/top=t",
                           "bound/", "bound/tree/", "bound/tree/home/", "home/", "home/kept=h", "plain/"}));
    const std::string tree = at("tree"), mnt = at("tree/a/b/mnt"), bound = at("bound/tree");
    const std::string home = at("bound/tree/home"), plain = at("plain");
    struct Case {
        const char* what;
        std::string root;
        std::string expected;
    } cases[] = {
        {"a tmpfs", tree, "0|" + std::to_string(EBUSY) + "|" + mnt + "|kept in the mount|mount point kept"},
        {"a bind mount of the same file system", bound,
         "0|" + std::to_string(EBUSY) + "|" + home + "|h|mount point kept"},
        {"a tree wholly on a tmpfs", plain + "/inner", "1|0||gone|"},
    };
    for (const Case& c : cases) {
        const std::optional<std::string> text = RunIsolated(
            [&] {
                return EmptyTmpfs(mnt) && WriteText(mnt + "/kept", "kept in the mount") &&
                       Bind(at("home"), home) && EmptyTmpfs(plain) &&
                       Build(plain, {"inner/", "inner/d/", "inner/d/e/", "inner/d/e/f=f", "inner/g=g"});
            },
            [&] {
                PlatformErrorCode error = -1;
                char where[PATH_SIZE] = "x";
                const int64_t erased = Path_EraseDirectoryReport(c.root.c_str(), 1, &error, where, PATH_SIZE);
                const std::string inside =
                    std::string(where).empty() ? c.root + "/g" : std::string(where) + "/kept";
                return std::to_string(erased) + "|" +
                       std::to_string(error ? error - PLATFORM_ERROR_ERRNO_BASE : 0) + "|" + where + "|" +
                       (FileExists(inside) ? ReadFile(inside) : "gone") + "|" +
                       (where[0] && IsDir(where) ? "mount point kept" : "");
            });
        EXPECT_EQ(text.value_or("the child failed"), c.expected) << c.what;
    }
    EXPECT_EQ(ReadFile(at("home/kept")), "h");
    // A mount point that does not fit the caller's room is left out, never cut to another path.
    const std::optional<std::string> small = RunIsolated([&] { return EmptyTmpfs(mnt); }, [&] {
        PlatformErrorCode error = 0;
        char where[8] = "x";
        return std::to_string(Path_EraseDirectoryReport(tree.c_str(), 1, &error, where, 8)) + "|" + where;
    });
    EXPECT_EQ(small.value_or("the child failed"), "0|");
}

TEST_F(PathTreeTest, CopyDirectoryCopiesFilesDirectoriesAndLinksAsLinks) {
    BuildTree(at("src"));
    ASSERT_EQ(chmod(at("src/b.txt").c_str(), 0751), 0);
    struct timeval times[2] = {{1000000000, 0}, {1111111111, 0}};
    ASSERT_EQ(utimes(at("src/a/x.txt").c_str(), times), 0);
    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("dst").c_str(), 0, 1), 1);
    for (const char* name : {"a/x.txt", "a/c/deep.txt", "b.txt", ".hidden", "\xff.bin"})
        EXPECT_EQ(ReadFile(at("dst/") + name), ReadFile(at("src/") + name)) << name;
    EXPECT_EQ(PermsOf(at("dst/b.txt")), 0751u);
    EXPECT_EQ(StatOf(at("dst/a/x.txt")).st_mtime, 1111111111);
    for (const char* link : {"rel", "out", "outfile"})
        EXPECT_EQ(LinkTarget(at("dst/") + link), LinkTarget(at("src/") + link)) << link;
    ExpectOutsideUntouched();
    // Again without overwrite: existing entries are left as they are. With overwrite they are
    // replaced, links included, and nothing is written through them.
    ASSERT_TRUE(WriteText(at("dst/b.txt"), "changed"));
    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("dst").c_str(), 0, 1), 1);
    EXPECT_EQ(ReadFile(at("dst/b.txt")), "changed");
    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("dst").c_str(), 1, 1), 1);
    EXPECT_EQ(ReadFile(at("dst/b.txt")), "b");
    EXPECT_EQ(LinkTarget(at("dst/outfile")), outside.file("victim"));
    ExpectOutsideUntouched();
}

TEST_F(PathTreeTest, CopyDirectoryNeverWritesThroughALinkAtTheDestination) {
    ASSERT_TRUE(
        Build(dir.path(), {"src/", "src/sub/", "src/sub/new=n", "src/victim=overwritten", "dst/",
                           "dst/sub->" + outside.file("sub"), "dst/victim->" + outside.file("victim")}));
    // Without overwrite the linked directory is not entered; with overwrite the links are
    // replaced by what the source holds.
    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("dst").c_str(), 0, 1), 1);
    ExpectOutsideUntouched();
    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("dst").c_str(), 1, 1), 1);
    ExpectOutsideUntouched();
    EXPECT_EQ(ReadFile(at("dst/sub/new")), "n");
    EXPECT_EQ(ReadFile(at("dst/victim")), "overwritten");
    EXPECT_FALSE(IsLink(at("dst/sub")) || IsLink(at("dst/victim")));
}

TEST_F(PathTreeTest, CopyDirectoryWithoutRecursion) {
    BuildTree(at("src"));
    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("flat").c_str(), 0, 0), 1);
    EXPECT_EQ(ReadFile(at("flat/b.txt")), "b");
    EXPECT_FALSE(FileExists(at("flat/a")));
}

TEST_F(PathTreeTest, CopyDirectoryRefusesWhatIsNoTreeOrWouldCopyIntoItself) {
    BuildTree(at("src"));
    const auto before = Snapshot(dir.path());
    struct Case {
        std::string from, to;
    } cases[] = {{at("src"), at("src/inner")},
                 {at("src"), at("src")},
                 {"", at("x")},
                 {at("missing"), at("x")},
                 {at("src/b.txt"), at("x")}};
    for (const Case& c : cases) {
        EXPECT_EQ(Path_CopyDirectory(c.from.c_str(), c.to.c_str(), 1, 1), 0) << c.from << " " << c.to;
        EXPECT_EQ(Snapshot(dir.path()), before) << c.from << " " << c.to;
    }
}

// A directory replaced by a link while the copy runs, in the source (between its listing and its
// entering) or at the destination (after it was made, while what goes into it is listed): the
// copy neither reads nor writes through the link.
TEST_F(PathTreeTest, CopyNeverFollowsADirectoryReplacedByALinkMidWalk) {
    struct Case {
        const char* what;
        const char* listed;
        std::string replaced;
    } cases[] = {{"source", "sub", at("src/sub")}, {"destination", "victim", at("dst/sub")}};
    int32_t round = 0;
    for (const Case& c : cases) {
        // The name of the outside file: copying through the link would replace it.
        ASSERT_TRUE(Build(dir.path(), {"src/", "src/sub/", "src/sub/victim=copied", "src/sub/more=m"}));
        {
            const std::string moved = at("moved" + std::to_string(round++));
            OnceListed swap(c.listed, [&] { return ReplaceByLink(c.replaced, moved, outside.path()); });
            EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("dst").c_str(), 1, 1), 0) << c.what;
            EXPECT_TRUE(swap.done) << c.what;
        }
        ExpectOutsideUntouched();
        // Nothing from outside was copied in; a link found in the source is copied as a link.
        EXPECT_NE(IsDir(at("dst/sub")) ? ReadFile(at("dst/sub/victim")) : "", "untouched") << c.what;
        RemoveTree(at("src"));
        RemoveTree(at("dst"));
    }
}

TEST_F(PathTreeTest, CopyDirectoryReportsAFullDisk) {
    if (!IsRoot()) GTEST_SKIP() << "mounting needs root";
    TmpfsMount small(at("small"), "size=64k");
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    ASSERT_TRUE(Build(dir.path(), {"src/", "src/big=" + std::string(256 * 1024, 'b')}));
    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), small.file("copy").c_str(), 1, 1), 0);
    EXPECT_FALSE(FileExists(small.file("copy/big")));
    EXPECT_EQ(ReadFile(at("src/big")).size(), 256u * 1024u);
}

// ---- Directory size ----------------------------------------------------------------------------

class DirectorySizeEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(Interop_Init(), 1);
        ASSERT_EQ(NotificationCenter_Init(), 1);
        ASSERT_EQ(Path_Init(), 1);
    }
    void TearDown() override {
        Path_Remove();
        NotificationCenter_Remove();
        EventQueue_Flush(nullptr);
        Interop_Process();
        Interop_Remove();
        EventQueue_Remove();
        Thread_Remove();
    }
};

::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new DirectorySizeEnvironment);

// Passes of the main loop until done() holds (at most 20 s).
void RunUntil(const std::function<bool()>& done) {
    const double end = Time_GetCurrent() + 20;
    while (!done() && Time_GetCurrent() < end) {
        NotificationCenter_Process();
        EventQueue_Flush(nullptr);
        Platform_SleepMS(1);
    }
    NotificationCenter_Process();
}

// The answer to a size request as it is posted: by the worker for the instance "Thread", or, when
// given at once, for the caller's callback id. Both end in the script callback of the request.
class Answer {
  public:
    explicit Answer(const char* instance) : instance_(instance) {
        NotificationCenter_AddInstanceObserver("Path", "DirectoryGetSizeResponse", instance_, this, Keep);
    }
    ~Answer() {
        NotificationCenter_RemoveInstanceObserver("Path", "DirectoryGetSizeResponse", instance_, this, Keep);
        NotificationCenter_Process();
        EventQueue_Flush(nullptr);
    }
    bool arrived = false, successful = false;
    int64_t result = -1;

  private:
    static int64_t Keep(void* user, const char*, const char*, const char*, Dictionary* info) {
        Answer* answer = static_cast<Answer*>(user);
        uint32_t successful = 0;
        answer->arrived = true;
        if (info) {
            Dictionary_GetBooleanByKey(info, "successful", &successful);
            Dictionary_GetInt64ByKey(info, "result", &answer->result);
        }
        answer->successful = successful != 0;
        return 1;
    }
    const char* instance_;
};

// What the size request should count: the blocks of everything but directories, links included
// as themselves.
uint64_t AllocatedBelow(const std::string& root) {
    uint64_t sum = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        if (!IsDir(entry.path())) sum += (uint64_t)StatOf(entry.path()).st_blocks * 512u;
    return sum;
}

TEST_F(PathTreeTest, DirectorySizeCountsAllocatedBlocksAndAnswersTheScript) {
    BuildTree(at("tree"));
    ASSERT_TRUE(WriteText(at("tree/one"), "1"));
    const uint64_t expected = AllocatedBelow(at("tree"));
    ASSERT_GT(expected, 0u);
    {
        // Links count as files (their own blocks) and are never entered. The first worker counts
        // as running until the main loop has handled its end, so the second request is answered
        // at once.
        Answer worker("Thread"), busy("size-second");
        // The script side: every record handed to it, whether still queued or already delivered.
        struct Script {
            int32_t Records = 0;
            static int64_t Take(void* user, InteropExecuteCallback*, const char* text, void*) {
                for (const char* p = text; (p = strstr(p, "\"callbackId\"")) != nullptr; p++)
                    static_cast<Script*>(user)->Records++;
                return 1;
            }
        } script;
        InteropExecuteCallback* context = nullptr;
        Interop_AddExecuteCallback(&context, &script, Script::Take);
        const int32_t queued = Interop_GetExecuteQueueCount();
        auto raised = [&] { return script.Records + Interop_GetExecuteQueueCount() - queued; };
        EXPECT_EQ(Path_GetDirectorySize(at("tree").c_str(), "size-first"), 1);
        EXPECT_EQ(Path_GetDirectorySize(at("tree").c_str(), "size-second"), 1);
        // Both script callbacks are raised with their records.
        RunUntil([&] { return worker.arrived && busy.arrived && raised() == 2; });
        EXPECT_TRUE(worker.arrived && worker.successful);
        EXPECT_EQ((uint64_t)worker.result, expected);
        EXPECT_TRUE(busy.arrived);
        EXPECT_FALSE(busy.successful);
        EXPECT_EQ(busy.result, 0);
        EXPECT_EQ(raised(), 2);
        Interop_RemoveExecuteCallback(&context);
    }
    // A path that names nothing is answered as unsuccessful rather than measured as the root.
    Answer worker("Thread");
    EXPECT_EQ(Path_GetDirectorySize("a/..", "size-third"), 1);
    RunUntil([&] { return worker.arrived; });
    EXPECT_TRUE(worker.arrived);
    EXPECT_FALSE(worker.successful);
    EXPECT_EQ(worker.result, 0);
}

TEST_F(PathTreeTest, DirectorySizeNeverCountsADirectoryReplacedByALinkMidWalk) {
    ASSERT_TRUE(WriteText(outside.file("big"), std::string(1024 * 1024, 'b')));
    ASSERT_TRUE(Build(dir.path(), {"tree/", "tree/sub/", "tree/sub/own=o", "tree/one=1"}));
    Answer answer("Thread");
    {
        OnceListed swap("sub", [&] { return ReplaceByLink(at("tree/sub"), at("moved"), outside.path()); });
        EXPECT_EQ(Path_GetDirectorySize(at("tree").c_str(), "size-swapped"), 1);
        RunUntil([&] { return answer.arrived; });
        EXPECT_TRUE(swap.done);
    }
    EXPECT_TRUE(answer.arrived && answer.successful);
    // The link stands where a directory was listed: it is neither entered nor counted.
    EXPECT_EQ((uint64_t)answer.result, (uint64_t)StatOf(at("tree/one")).st_blocks * 512u);
}

TEST_F(PathTreeTest, DirectorySizeIntStopsWhenCancelled) {
    ASSERT_TRUE(Build(dir.path(), {"d/", "d/f=1"}));
    uint64_t size = 99;
    // No worker runs: the running flag is clear, so the sum stops at once.
    EXPECT_EQ(Path_GetDirectorySizeInt((at("d") + "/").c_str(), &size), 0);
    EXPECT_EQ(size, 0u);
}

TEST_F(PathTreeTest, RemoveWaitsForARunningWorker) {
    BuildTree(at("tree"));
    {
        Answer answer("Thread");
        EXPECT_EQ(Path_GetDirectorySize(at("tree").c_str(), "size-removed"), 1);
        EXPECT_EQ(Path_Remove(), 1); // cancels and joins
        RunUntil([&] { return answer.arrived; });
        EXPECT_TRUE(answer.arrived); // the script still hears back
    }
    // And the next request starts a fresh worker.
    Answer next("Thread");
    EXPECT_EQ(Path_GetDirectorySize(at("tree").c_str(), "size-next"), 1);
    RunUntil([&] { return next.arrived; });
    EXPECT_TRUE(next.successful);
}

} // namespace
