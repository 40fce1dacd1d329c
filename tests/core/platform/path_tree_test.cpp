// Tests of the tree operations: erasing and copying whole directories without ever leaving the
// tree or writing through a link, and the directory-size request answered to scripts.
#include "core/platform/path.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <functional>
#include <mutex>
#include <string>
#include <sys/stat.h>
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
#include "tests/core/platform/path_test_support.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace path_test;

// Changes a tree from inside the platform's listing: once an entry of the given name has been
// listed, the change runs (once), before the operation that listed it goes on, as another
// process could at that moment. Listings may run on a worker thread.
class OnceListed {
  public:
    OnceListed(const std::string& name, std::function<bool()> change) {
        std::lock_guard<std::mutex> guard(Lock());
        Name() = name;
        Change() = std::move(change);
        Done() = false;
        Platform_FindEntryOverride(Listed);
    }
    ~OnceListed() {
        Platform_FindEntryOverride(nullptr);
        std::lock_guard<std::mutex> guard(Lock());
        Change() = nullptr;
    }
    bool done() const {
        std::lock_guard<std::mutex> guard(Lock());
        return Done();
    }

  private:
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
    static std::string& Name() {
        static std::string name;
        return name;
    }
    static std::function<bool()>& Change() {
        static std::function<bool()> change;
        return change;
    }
    static bool& Done() {
        static bool done = false;
        return done;
    }
    static void Listed(const char* name) {
        std::lock_guard<std::mutex> guard(Lock());
        if (!Change() || Name() != name) return;
        Done() = Change()();
        Change() = nullptr;
    }
};

// Moves the directory at path away and puts a link to target in its place.
bool ReplaceByLink(const std::string& path, const std::string& movedTo, const std::string& target) {
    return rename(path.c_str(), movedTo.c_str()) == 0 && symlink(target.c_str(), path.c_str()) == 0;
}

void RemoveTree(const std::string& path) {
    nftw(
        path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
    ::remove(path.c_str());
}

class PathTreeTest : public ::testing::Test {
  protected:
    std::string at(const std::string& name) const { return dir.file(name); }
    // tree/: a/ (x.txt, c/ (deep.txt)), b.txt, .hidden, "\xff.bin", rel -> a/x.txt,
    //        out -> <outside>/ (a directory), outfile -> <outside>/victim
    void BuildTree(const std::string& root) {
        ASSERT_TRUE(MakeDir(root));
        ASSERT_TRUE(MakeDir(root + "/a"));
        ASSERT_TRUE(MakeDir(root + "/a/c"));
        ASSERT_TRUE(WriteText(root + "/a/x.txt", "x"));
        ASSERT_TRUE(WriteText(root + "/a/c/deep.txt", "deep"));
        ASSERT_TRUE(WriteText(root + "/b.txt", "b"));
        ASSERT_TRUE(WriteText(root + "/.hidden", "h"));
        ASSERT_TRUE(WriteText(root + "/\xff.bin", "u"));
        ASSERT_TRUE(MakeLink("a/x.txt", root + "/rel"));
        ASSERT_TRUE(MakeLink(outside.path(), root + "/out"));
        ASSERT_TRUE(MakeLink(outside.file("victim"), root + "/outfile"));
    }
    void SetUp() override {
        ASSERT_TRUE(WriteText(outside.file("victim"), "untouched"));
        // Read-only, so that making it writable through a link would show.
        ASSERT_EQ(chmod(outside.file("victim").c_str(), 0444), 0);
        ASSERT_TRUE(MakeDir(outside.file("sub")));
        victimInode = InodeOf(outside.file("victim"));
    }
    void ExpectOutsideUntouched() {
        EXPECT_EQ(ReadFile(outside.file("victim")), "untouched");
        EXPECT_TRUE(IsDir(outside.file("sub")));
        EXPECT_EQ(ModeOf(outside.file("victim")) & 0777, 0444u);
        // Not even replaced by a copy of itself.
        EXPECT_EQ(InodeOf(outside.file("victim")), victimInode);
    }
    ino_t victimInode = 0;
    TempDir dir;
    TempDir outside;
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
    ASSERT_TRUE(MakeLink(outside.path(), at("link")));
    ASSERT_TRUE(MakeLink(outside.path() + "/", at("link2")));
    PlatformErrorCode error = -1;
    EXPECT_EQ(Path_EraseDirectory(at("link").c_str(), 1, &error), 1);
    EXPECT_EQ(Path_EraseDirectory((at("link2") + "/").c_str(), 1, &error), 1);
    EXPECT_FALSE(IsLink(at("link")));
    EXPECT_FALSE(IsLink(at("link2")));
    ExpectOutsideUntouched();
}

TEST_F(PathTreeTest, EraseDirectoryRefusesTheRootAndPathsThatNameNothing) {
    if (!IsRoot()) GTEST_SKIP() << "chroot needs root";
    ASSERT_TRUE(WriteText(at("keep"), "k"));
    // Inside a chroot: a wrong "/" could only reach this test's own directory.
    int code = RunInChroot(dir.path(), [] {
        mkdir("/a", 0755);
        PlatformErrorCode error = 0;
        if (Path_EraseDirectory("/", 1, &error) != 0 || error != PLATFORM_ERROR_ERRNO_BASE + EBUSY) return 1;
        if (Path_EraseDirectory("a/..", 1, &error) != 0 || error != PLATFORM_ERROR_ERRNO_BASE + EINVAL)
            return 2;
        if (Path_EraseDirectory("/a/../", 1, &error) != 0) return 3;
        if (Path_EraseDirectoryInt("a/../", 1, &error) != 0) return 4;
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadFile(at("keep")), "k");
    EXPECT_TRUE(IsDir(at("a")));
}

TEST_F(PathTreeTest, EraseDirectoryFailureIsReportedAndKeepsWhatCannotGo) {
    if (!IsRoot()) GTEST_SKIP() << "needs root to become another user";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_TRUE(MakeDir(at("tree")));
    ASSERT_TRUE(MakeDir(at("tree/locked")));
    ASSERT_TRUE(WriteText(at("tree/locked/stuck"), "s"));
    ASSERT_TRUE(WriteText(at("tree/free"), "f"));
    ASSERT_EQ(chown(at("tree").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(at("tree/free").c_str(), 65534, 65534), 0);
    const std::string tree = at("tree");
    int code = RunAsNobody([&tree] {
        PlatformErrorCode error = 0;
        if (Path_EraseDirectory(tree.c_str(), 1, &error) != 0) return 1;
        return Platform_ErrorAccessDenied(error) ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadFile(at("tree/locked/stuck")), "s");
}

TEST_F(PathTreeTest, EraseDirectoryWithEntriesBeyondThePathLimit) {
    std::string deep = at("tree");
    ASSERT_TRUE(MakeDir(deep));
    for (int i = 0; i < 2; i++) {
        deep += "/" + std::string(200, 'd');
        ASSERT_TRUE(MakeDir(deep));
    }
    ASSERT_TRUE(WriteText(deep + "/leaf", "l"));
    PlatformErrorCode error = 0;
    EXPECT_EQ(Path_EraseDirectory(at("tree").c_str(), 1, &error), 0);
    EXPECT_NE(error, 0);
    EXPECT_EQ(ReadFile(deep + "/leaf"), "l");
}

TEST_F(PathTreeTest, EraseNeverFollowsADirectoryReplacedByALinkMidWalk) {
    ASSERT_TRUE(MakeDir(at("tree")));
    ASSERT_TRUE(MakeDir(at("tree/sub")));
    ASSERT_TRUE(WriteText(at("tree/sub/own"), "o"));
    ASSERT_TRUE(WriteText(at("tree/top"), "t"));
    {
        // Listed as a directory, then a link to the outside directory before it is entered.
        OnceListed swap("sub", [&] { return ReplaceByLink(at("tree/sub"), at("moved"), outside.path()); });
        PlatformErrorCode error = 0;
        Path_EraseDirectory(at("tree").c_str(), 1, &error);
        EXPECT_TRUE(swap.done());
    }
    ExpectOutsideUntouched();
    EXPECT_EQ(ReadFile(at("moved/own")), "o") << "what was moved out is no longer the tree's";
}

// Another process swapping a subdirectory with a link to an outside directory, over and over,
// while the tree is erased: nothing outside may ever go.
TEST_F(PathTreeTest, EraseRacingAThreadThatSwapsASubdirectoryForALink) {
    constexpr int32_t kRounds = 300;
    const std::string tree = at("tree"), sub = at("tree/sub"), spare = at("spare");
    for (int32_t round = 0; round < kRounds && !HasFailure(); round++) {
        ASSERT_TRUE(MakeDir(tree));
        ASSERT_TRUE(MakeDir(sub));
        for (int32_t i = 0; i < 16; i++) ASSERT_TRUE(WriteText(sub + "/f" + std::to_string(i), "f"));
        ASSERT_TRUE(MakeLink(outside.path(), spare));
        std::atomic<bool> stop{false};
        std::atomic<int32_t> swaps{0};
        std::thread swapper([&] {
            while (!stop.load())
                if (renameat2(AT_FDCWD, sub.c_str(), AT_FDCWD, spare.c_str(), RENAME_EXCHANGE) == 0) swaps++;
        });
        // The erase starts once the swapping has.
        while (swaps.load() < 16) std::this_thread::yield();
        PlatformErrorCode error = 0;
        Path_EraseDirectory(tree.c_str(), 1, &error);
        stop = true;
        swapper.join();
        ExpectOutsideUntouched();
        RemoveTree(tree);
        RemoveTree(spare);
    }
}

TEST_F(PathTreeTest, CopyDirectoryCopiesFilesDirectoriesAndLinksAsLinks) {
    BuildTree(at("src"));
    ASSERT_EQ(chmod(at("src/b.txt").c_str(), 0751), 0);
    struct timeval times[2] = {{1000000000, 0}, {1111111111, 0}};
    ASSERT_EQ(utimes(at("src/a/x.txt").c_str(), times), 0);
    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("dst").c_str(), 0, 1), 1);
    for (const char* name : {"a/x.txt", "a/c/deep.txt", "b.txt", ".hidden", "\xff.bin"})
        EXPECT_EQ(ReadFile(at("dst/") + name), ReadFile(at("src/") + name)) << name;
    EXPECT_EQ(ModeOf(at("dst/b.txt")) & 0777, 0751u);
    struct stat info;
    ASSERT_EQ(stat(at("dst/a/x.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtime, 1111111111);
    EXPECT_EQ(LinkTarget(at("dst/rel")), "a/x.txt");
    EXPECT_EQ(LinkTarget(at("dst/out")), outside.path());
    EXPECT_EQ(LinkTarget(at("dst/outfile")), outside.file("victim"));
    ExpectOutsideUntouched();

    // Again without overwrite: existing entries are left as they are.
    ASSERT_TRUE(WriteText(at("dst/b.txt"), "changed"));
    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("dst").c_str(), 0, 1), 1);
    EXPECT_EQ(ReadFile(at("dst/b.txt")), "changed");
    // With overwrite they are replaced, links included, and nothing is written through them.
    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("dst").c_str(), 1, 1), 1);
    EXPECT_EQ(ReadFile(at("dst/b.txt")), "b");
    EXPECT_EQ(LinkTarget(at("dst/outfile")), outside.file("victim"));
    ExpectOutsideUntouched();
}

TEST_F(PathTreeTest, CopyDirectoryNeverWritesThroughALinkAtTheDestination) {
    ASSERT_TRUE(MakeDir(at("src")));
    ASSERT_TRUE(MakeDir(at("src/sub")));
    ASSERT_TRUE(WriteText(at("src/sub/new"), "n"));
    ASSERT_TRUE(WriteText(at("src/victim"), "overwritten"));
    ASSERT_TRUE(MakeDir(at("dst")));
    ASSERT_TRUE(MakeLink(outside.file("sub"), at("dst/sub")));
    ASSERT_TRUE(MakeLink(outside.file("victim"), at("dst/victim")));

    // Without overwrite the linked directory is not entered.
    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("dst").c_str(), 0, 1), 1);
    EXPECT_FALSE(FileExists(outside.file("sub/new")));
    ExpectOutsideUntouched();
    // With overwrite the links are replaced by what the source holds.
    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("dst").c_str(), 1, 1), 1);
    EXPECT_FALSE(FileExists(outside.file("sub/new")));
    EXPECT_TRUE(IsDir(at("dst/sub")));
    EXPECT_EQ(ReadFile(at("dst/sub/new")), "n");
    EXPECT_EQ(ReadFile(at("dst/victim")), "overwritten");
    EXPECT_FALSE(IsLink(at("dst/victim")));
    ExpectOutsideUntouched();
}

TEST_F(PathTreeTest, CopyDirectoryWithoutRecursionAndIntoItself) {
    BuildTree(at("src"));
    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("flat").c_str(), 0, 0), 1);
    EXPECT_EQ(ReadFile(at("flat/b.txt")), "b");
    EXPECT_FALSE(FileExists(at("flat/a")));

    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("src/inner").c_str(), 0, 1), 0);
    EXPECT_FALSE(FileExists(at("src/inner")));
    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("src").c_str(), 1, 1), 0);
    EXPECT_EQ(Path_CopyDirectory("", at("x").c_str(), 1, 1), 0);
    EXPECT_EQ(Path_CopyDirectory(at("missing").c_str(), at("x").c_str(), 1, 1), 0);
    EXPECT_EQ(Path_CopyDirectory(at("src/b.txt").c_str(), at("x").c_str(), 1, 1), 0);
    EXPECT_FALSE(FileExists(at("x")));
}

// A directory replaced by a link while the copy runs, in the source (between its listing and its
// entering) or at the destination (after it was made, while what goes into it is listed): the
// copy neither reads nor writes through the link.
TEST_F(PathTreeTest, CopyNeverFollowsADirectoryReplacedByALinkMidWalk) {
    struct Case {
        const char* what;
        const char* listed;
        std::string replaced;
    } cases[] = {
        {"source", "sub", at("src/sub")},
        {"destination", "victim", at("dst/sub")},
    };
    int32_t round = 0;
    for (const Case& c : cases) {
        ASSERT_TRUE(MakeDir(at("src")));
        ASSERT_TRUE(MakeDir(at("src/sub")));
        // The name of the outside file: copying through the link would replace it.
        ASSERT_TRUE(WriteText(at("src/sub/victim"), "copied"));
        ASSERT_TRUE(WriteText(at("src/sub/more"), "m"));
        {
            const std::string moved = at("moved" + std::to_string(round++));
            OnceListed swap(c.listed, [&] { return ReplaceByLink(c.replaced, moved, outside.path()); });
            EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), at("dst").c_str(), 1, 1), 0) << c.what;
            EXPECT_TRUE(swap.done()) << c.what;
        }
        ExpectOutsideUntouched();
        EXPECT_FALSE(FileExists(outside.file("more"))) << c.what;
        // Nothing from outside was copied in; a link found in the source is copied as a link.
        if (IsDir(at("dst/sub"))) {
            EXPECT_NE(ReadFile(at("dst/sub/victim")), "untouched") << c.what;
        }
        RemoveTree(at("src"));
        RemoveTree(at("dst"));
    }
}

TEST_F(PathTreeTest, CopyDirectoryReportsAFullDisk) {
    if (!IsRoot()) GTEST_SKIP() << "mounting needs root";
    TmpfsMount small(at("small"), "size=64k");
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    ASSERT_TRUE(MakeDir(at("src")));
    ASSERT_TRUE(WriteText(at("src/big"), std::string(256 * 1024, 'b')));
    EXPECT_EQ(Path_CopyDirectory(at("src").c_str(), (small.path() + "/copy").c_str(), 1, 1), 0);
    EXPECT_FALSE(FileExists(small.path() + "/copy/big"));
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

struct Answer {
    bool arrived = false;
    bool successful = false;
    int64_t result = -1;
};

int64_t KeepAnswer(void* user, const char*, const char*, const char*, Dictionary* info) {
    Answer* answer = static_cast<Answer*>(user);
    answer->arrived = true;
    uint32_t successful = 0;
    if (info) {
        Dictionary_GetBooleanByKey(info, "successful", &successful);
        Dictionary_GetInt64ByKey(info, "result", &answer->result);
    }
    answer->successful = successful != 0;
    return 1;
}

// Passes of the main loop until the answers came (at most 20 s).
void RunUntil(const std::function<bool()>& done) {
    const double end = Time_GetCurrent() + 20;
    while (!done() && Time_GetCurrent() < end) {
        NotificationCenter_Process();
        EventQueue_Flush(nullptr);
        Platform_SleepMS(1);
    }
    NotificationCenter_Process();
}

// What the size request should count: the blocks of everything but directories, links
// included as themselves.
uint64_t g_allocated = 0;
uint64_t AllocatedBelow(const std::string& root) {
    g_allocated = 0;
    nftw(
        root.c_str(),
        [](const char*, const struct stat* info, int type, struct FTW*) {
            if (type == FTW_F || type == FTW_SL || type == FTW_SLN)
                g_allocated += (uint64_t)info->st_blocks * 512u;
            return 0;
        },
        16, FTW_PHYS);
    return g_allocated;
}

// The worker's answer is posted for the instance "Thread"; an answer given at once goes to the
// caller's callback id. Both end in the script callback of the request.
class Listen {
  public:
    Listen(const char* instance, Answer* answer) : instance_(instance), answer_(answer) {
        NotificationCenter_AddInstanceObserver("Path", "DirectoryGetSizeResponse", instance_, answer_,
                                               KeepAnswer);
    }
    ~Listen() {
        NotificationCenter_RemoveInstanceObserver("Path", "DirectoryGetSizeResponse", instance_, answer_,
                                                  KeepAnswer);
        NotificationCenter_Process();
        EventQueue_Flush(nullptr);
    }

  private:
    const char* instance_;
    Answer* answer_;
};

TEST_F(PathTreeTest, DirectorySizeCountsAllocatedBlocksAndAnswersTheScript) {
    BuildTree(at("tree"));
    ASSERT_TRUE(WriteText(at("tree/one"), "1"));
    const uint64_t expected = AllocatedBelow(at("tree"));
    ASSERT_GT(expected, 0u);
    {
        // Links count as files (their own blocks) and are never entered.
        Answer worker, busy;
        Listen listenWorker("Thread", &worker), listenBusy("size-second", &busy);
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
        // The first worker counts as running until the main loop has handled its end, so the
        // second request is answered at once.
        EXPECT_EQ(Path_GetDirectorySize(at("tree").c_str(), "size-second"), 1);
        RunUntil([&] { return worker.arrived && busy.arrived && raised() == 2; });
        ASSERT_TRUE(worker.arrived);
        ASSERT_TRUE(busy.arrived);
        EXPECT_TRUE(worker.successful);
        EXPECT_EQ((uint64_t)worker.result, expected);
        EXPECT_FALSE(busy.successful);
        EXPECT_EQ(busy.result, 0);
        // Both script callbacks were raised with their records.
        EXPECT_EQ(raised(), 2);
        Interop_RemoveExecuteCallback(&context);
    }
    {
        // A path that names nothing is answered as unsuccessful rather than measured as the root.
        Answer worker;
        Listen listen("Thread", &worker);
        EXPECT_EQ(Path_GetDirectorySize("a/..", "size-third"), 1);
        RunUntil([&] { return worker.arrived; });
        EXPECT_TRUE(worker.arrived);
        EXPECT_FALSE(worker.successful);
        EXPECT_EQ(worker.result, 0);
    }
}

TEST_F(PathTreeTest, DirectorySizeNeverCountsADirectoryReplacedByALinkMidWalk) {
    ASSERT_TRUE(WriteText(outside.file("big"), std::string(1024 * 1024, 'b')));
    ASSERT_TRUE(MakeDir(at("tree")));
    ASSERT_TRUE(MakeDir(at("tree/sub")));
    ASSERT_TRUE(WriteText(at("tree/sub/own"), "o"));
    ASSERT_TRUE(WriteText(at("tree/one"), "1"));
    struct stat one;
    ASSERT_EQ(lstat(at("tree/one").c_str(), &one), 0);
    Answer answer;
    {
        Listen listen("Thread", &answer);
        OnceListed swap("sub", [&] { return ReplaceByLink(at("tree/sub"), at("moved"), outside.path()); });
        EXPECT_EQ(Path_GetDirectorySize(at("tree").c_str(), "size-swapped"), 1);
        RunUntil([&] { return answer.arrived; });
        EXPECT_TRUE(swap.done());
    }
    ASSERT_TRUE(answer.arrived);
    EXPECT_TRUE(answer.successful);
    // The link stands where a directory was listed: it is neither entered nor counted.
    EXPECT_EQ((uint64_t)answer.result, (uint64_t)one.st_blocks * 512u);
}

TEST_F(PathTreeTest, DirectorySizeIntStopsWhenCancelled) {
    ASSERT_TRUE(MakeDir(at("d")));
    ASSERT_TRUE(WriteText(at("d/f"), "1"));
    uint64_t size = 99;
    // No worker runs: the running flag is clear, so the sum stops at once.
    EXPECT_EQ(Path_GetDirectorySizeInt((at("d") + "/").c_str(), &size), 0);
    EXPECT_EQ(size, 0u);
}

TEST_F(PathTreeTest, RemoveWaitsForARunningWorker) {
    BuildTree(at("tree"));
    {
        Answer answer;
        Listen listen("Thread", &answer);
        EXPECT_EQ(Path_GetDirectorySize(at("tree").c_str(), "size-removed"), 1);
        EXPECT_EQ(Path_Remove(), 1); // cancels and joins
        RunUntil([&] { return answer.arrived; });
        EXPECT_TRUE(answer.arrived); // the script still hears back
    }
    {
        // And the next request starts a fresh worker.
        Answer next;
        Listen listen("Thread", &next);
        EXPECT_EQ(Path_GetDirectorySize(at("tree").c_str(), "size-next"), 1);
        RunUntil([&] { return next.arrived; });
        EXPECT_TRUE(next.successful);
    }
}

} // namespace
