// Tests of DirectoryList: listings with and without patterns, the walk's order, filters, depth
// limit and flags, links never entered, replaceable find functions and hostile names and lengths.
#include "core/platform/directory_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <dirent.h>
#include <sys/time.h>

#include "core/platform/path.h"
#include "tests/support/file_trees.h"
#include "tests/support/platform_sandbox.h"

namespace {

using namespace path_test;
using Lines = std::vector<std::string>;

// One line per callback: "<depth>:<path below the root>".
struct Journal {
    std::string root;
    Lines lines;
    std::string refuse; // a path (below the root) answered with 0
    Lines sorted() const {
        Lines copy = lines;
        std::sort(copy.begin(), copy.end());
        return copy;
    }
};

uint32_t Record(DirectoryList*, void* user, uint32_t depth, const char* path) {
    Journal* journal = static_cast<Journal*>(user);
    std::string relative = path;
    if (relative.compare(0, journal->root.size(), journal->root) == 0)
        relative.erase(0, journal->root.size());
    journal->lines.push_back(std::to_string(depth) + ":" + relative);
    return relative == journal->refuse ? 0 : 1;
}

class DirectoryListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root = dir.path() + "/";
        ASSERT_EQ(DirectoryList_Create(&list), 1);
        journal.root = root;
        DirectoryList_SetWalkCallback(list, &journal, Record);
    }
    void TearDown() override { DirectoryList_Delete(&list); }
    // root: a/ (x.txt, c/), b.txt; one directory and one file a level, so that the order is known.
    void BuildSmallTree() { ASSERT_TRUE(Build(dir.path(), {"a/", "a/c/", "a/x.txt=x", "b.txt=b"})); }
    int64_t Walk(const char* wildcards = nullptr) {
        journal.lines.clear();
        return DirectoryList_Walk(list, root.c_str(), wildcards);
    }
    TempDir dir;
    std::string root;
    DirectoryList* list = nullptr;
    Journal journal;
};

// Each level's subdirectories come before its files; a directory is reported before what it holds
// (pre-order) or after it (post-order).
TEST_F(DirectoryListTest, WalkOrderDepthLimitAndFlags) {
    BuildSmallTree();
    const uint32_t kDefault = DIRECTORY_LIST_WALK_DEFAULT;
    struct Case {
        uint32_t order;
        int32_t depth;
        uint32_t flags;
        Lines expected;
    } cases[] = {
        {DIRECTORY_LIST_ORDER_PRE, -1, kDefault, {"0:a/", "1:a/c/", "1:a/x.txt", "0:b.txt"}},
        {DIRECTORY_LIST_ORDER_POST, -1, kDefault, {"1:a/c/", "1:a/x.txt", "0:a/", "0:b.txt"}},
        {DIRECTORY_LIST_ORDER_PRE, 0, kDefault, {"0:a/", "0:b.txt"}},
        {DIRECTORY_LIST_ORDER_PRE, 1, kDefault, {"0:a/", "1:a/c/", "1:a/x.txt", "0:b.txt"}},
        {DIRECTORY_LIST_ORDER_PRE, -1, DIRECTORY_LIST_WALK_FILES, {"1:a/x.txt", "0:b.txt"}},
        {DIRECTORY_LIST_ORDER_PRE, -1, DIRECTORY_LIST_WALK_DIRECTORIES, {"0:a/", "1:a/c/"}},
    };
    for (const Case& c : cases) {
        DirectoryList_SetWalkOrder(list, c.order);
        DirectoryList_SetMaxDepth(list, c.depth);
        DirectoryList_SetWalkFlags(list, c.flags);
        EXPECT_EQ(Walk(), 1);
        EXPECT_EQ(journal.lines, c.expected) << c.order << " " << c.depth << " " << c.flags;
    }
}

TEST_F(DirectoryListTest, AWalkExaminesEachEntryOnce) {
    BuildSmallTree();
    ASSERT_TRUE(WriteText(root + "a/c/y.txt", "y"));
    static std::atomic<int32_t> examined{0};
    Platform_FindEntryOverride([](const char* name) {
        if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) examined++;
    });
    const int64_t walked = Walk();
    Platform_FindEntryOverride(nullptr);
    EXPECT_EQ(walked, 1);
    EXPECT_EQ(journal.lines.size(), 5u);
    EXPECT_EQ(examined.load(), 5);
}

TEST_F(DirectoryListTest, ZeroAnswersSkipOrFailAsStated) {
    BuildSmallTree();
    ASSERT_TRUE(WriteText(root + "d.txt", "d"));
    struct Case {
        const char* refuse;
        int64_t result;
        Lines expected;
    } cases[] = {
        // A directory answered with 0 in pre-order is not entered, and the walk still succeeds.
        {"a/", 1, {"0:a/", "0:b.txt", "0:d.txt"}},
        // A file answered with 0 fails the walk, but the file pass of that level goes on.
        {"b.txt", 0, {"0:a/", "0:b.txt", "0:d.txt", "1:a/c/", "1:a/x.txt"}},
        // A failing subtree ends the levels above it: the root's files are never reached.
        {"a/x.txt", 0, {"0:a/", "1:a/c/", "1:a/x.txt"}},
    };
    for (const Case& c : cases) {
        journal.refuse = c.refuse;
        EXPECT_EQ(Walk(), c.result) << c.refuse;
        EXPECT_EQ(journal.sorted(), c.expected) << c.refuse;
    }
}

TEST_F(DirectoryListTest, WildcardsFilterFilesOnly) {
    BuildSmallTree();
    ASSERT_TRUE(Build(dir.path(), {"a/y.LOG", "z.bin", "dir.bin/"}));
    EXPECT_EQ(Walk("*.txt; *.log"), 1);
    EXPECT_EQ(journal.sorted(), (Lines{"0:a/", "0:b.txt", "0:dir.bin/", "1:a/c/", "1:a/x.txt", "1:a/y.LOG"}));
}

TEST_F(DirectoryListTest, SymbolicLinksAreReportedAsFilesAndNeverEntered) {
    TempDir outside;
    ASSERT_TRUE(WriteText(outside.file("secret"), "s"));
    ASSERT_TRUE(Build(dir.path(), {"sub/", "sub/link->" + outside.path(), "dangling->" + root + "missing"}));
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(journal.sorted(), (Lines{"0:dangling", "0:sub/", "1:sub/link"}));
}

TEST_F(DirectoryListTest, RootsThatNameNoDirectory) {
    // A missing root contributes nothing and succeeds; one over the 320-byte limit is refused
    // rather than cut to another directory.
    EXPECT_EQ(DirectoryList_Walk(list, (root + "missing").c_str(), nullptr), 1);
    EXPECT_EQ(DirectoryList_Walk(list, (root + std::string(330, 'r')).c_str(), nullptr), 0);
    EXPECT_EQ(DirectoryList_Walk(list, "", nullptr), 0);
    EXPECT_TRUE(journal.lines.empty());

    // A relative root that cancels out is no directory at all, never the file system's root.
    // Run where a wrong "/" could only reach a throw-away directory.
    if (!IsRoot()) GTEST_SKIP() << "chroot needs root";
    ASSERT_TRUE(Build(dir.path(), {"keep=k", "a/"}));
    EXPECT_EQ(RunInChroot(dir.path(),
                          [this] {
                              return DirectoryList_Walk(list, "a/..", nullptr) == 0 && journal.lines.empty()
                                         ? 0
                                         : 1;
                          }),
              0);
}

// A walk that stays on its root's mount, in a child's own mount namespace: a directory on another
// mount is neither reported nor entered, whether it was one when listed (a tmpfs) or became one
// after its name was asked about (bound onto itself by the pre-order callback, the same directory
// as listed): the walk stops there with EBUSY and names it.
TEST_F(DirectoryListTest, AWalkOnOneMountStopsAtAnotherMountedInside) {
    if (!CanIsolate()) GTEST_SKIP() << "no mount namespace of a child's own here (needs root)";
    ASSERT_TRUE(Build(dir.path(), {"t/", "t/a/", "t/a/m/", "t/a/x.txt", "t/b.txt", "r/", "r/s/", "r/s/own=o",
                                   "q/", "q/d/", "q/d/f"}));
    const std::string m = root + "t/a/m", s = root + "r/s/", busy = "0|" + std::to_string(EBUSY) + "|";
    struct Case {
        const char* what;
        uint32_t order;
        const char* root;
        std::string expected;
    } cases[] = {
        {"pre-order", DIRECTORY_LIST_ORDER_PRE, "t/", busy + m + "/|0:a/|again 1"},
        {"post-order", DIRECTORY_LIST_ORDER_POST, "t/", busy + m + "/|again 1"},
        {"bound after its listing", DIRECTORY_LIST_ORDER_PRE, "r/", busy + s + "|0:s/|again 1"},
        {"inside the mount", DIRECTORY_LIST_ORDER_PRE, "t/a/m/", "1|0||0:f|again 1"},
    };
    static std::string bindWhenReported;
    bindWhenReported = s;
    for (const Case& c : cases) {
        journal.root = root + c.root;
        const std::optional<std::string> text = RunIsolated(
            [&] { return EmptyTmpfs(m) && WriteText(m + "/f", "f"); },
            [&] {
                DirectoryList_SetWalkOrder(list, c.order);
                DirectoryList_SetWalkFlags(list,
                                           DIRECTORY_LIST_WALK_DEFAULT | DIRECTORY_LIST_WALK_ONE_DEVICE);
                DirectoryList_SetWalkCallback(
                    list, &journal,
                    [](DirectoryList* level, void* user, uint32_t depth, const char* path) -> uint32_t {
                        if (bindWhenReported == path && !Bind(path, path)) return 0;
                        return Record(level, user, depth, path);
                    });
                errno = 0;
                const int64_t walked = DirectoryList_Walk(list, (root + c.root).c_str(), nullptr);
                const int error = errno;
                char stopped[DIRECTORY_LIST_PATH_SIZE] = "x";
                DirectoryList_GetDirectory(list, stopped, sizeof(stopped));
                std::string lines;
                for (const std::string& line : journal.lines) lines += line + "|";
                // The same list walks a tree on one mount again, whatever its last walk met.
                const int64_t again = DirectoryList_Walk(list, (root + "q/").c_str(), nullptr);
                char after[DIRECTORY_LIST_PATH_SIZE] = "x";
                DirectoryList_GetDirectory(list, after, sizeof(after));
                return std::to_string(walked) + "|" + std::to_string(walked ? 0 : error) + "|" + stopped +
                       "|" + lines + "again " + std::to_string(again) + after;
            });
        EXPECT_EQ(text.value_or("the child failed"), c.expected) << c.what;
    }
}

// The names of an open listing from its current entry on, sorted.
Lines Names(DirectoryList* list) {
    Lines names;
    char name[PLATFORM_FIND_NAME_CAPACITY];
    do names.push_back(DirectoryList_GetName(list, name, sizeof(name)) ? name : "(cut)");
    while (DirectoryList_GetNext(list));
    std::sort(names.begin(), names.end());
    return names;
}

// A listing started with a pattern (1) lists what matches it, one started with a directory (0)
// all of it.
TEST_F(DirectoryListTest, StartListsAPatternOrADirectory) {
    ASSERT_TRUE(Build(dir.path(), {"logs/", "logs/a.log", "logs/B.LOG", "logs/c.Log", "logs/d.txt"}));
    ASSERT_EQ(DirectoryList_Start(list, 0, (root + "logs/").c_str()), 1);
    EXPECT_EQ(Names(list), (Lines{".", "..", "B.LOG", "a.log", "c.Log", "d.txt"}));
    ASSERT_EQ(DirectoryList_Start(list, 1, (root + "logs/*.LOG").c_str()), 1);
    char small[5], directory[DIRECTORY_LIST_PATH_SIZE];
    EXPECT_EQ(DirectoryList_GetName(list, small, sizeof(small)), 0); // cut names say so
    EXPECT_EQ(strlen(small), 4u);
    EXPECT_EQ(Names(list), (Lines{"B.LOG", "a.log", "c.Log"}));
    DirectoryList_GetDirectory(list, directory, sizeof(directory));
    EXPECT_EQ(directory, root + "logs/");
    for (int32_t stop = 0; stop < 2; stop++)
        EXPECT_EQ(DirectoryList_Stop(list), 1); // the second closes nothing
    DirectoryList_GetDirectory(list, directory, sizeof(directory));
    EXPECT_STREQ(directory, "");
    EXPECT_EQ(DirectoryList_GetNext(list), 0);
    EXPECT_EQ(DirectoryList_Start(list, 1, (root + "logs/*.none").c_str()), 0);
    EXPECT_EQ(DirectoryList_Start(list, 0, (root + "missing/").c_str()), 0);
}

// Find functions that list a made-up directory of three entries.
int32_t g_fakeIndex = 0, g_fakeCloses = 0;
const char* const kFakeNames[] = {"one", "two", "three"};
int64_t FakeNext(void*, PlatformFindData* data) {
    if (++g_fakeIndex >= 3) return 0;
    strcpy(data->Name, kFakeNames[g_fakeIndex]);
    return 1;
}

TEST_F(DirectoryListTest, FindFunctionsCanBeReplaced) {
    DirectoryList_SetFindFirstFileCallback(
        list, nullptr, [](const char* pattern, PlatformFindData* data, void** search) -> int64_t {
            EXPECT_STREQ(pattern, "/fake/*");
            *search = &(g_fakeIndex = -1);
            return FakeNext(*search, data);
        });
    DirectoryList_SetFindNextFileCallback(list, nullptr, FakeNext);
    DirectoryList_SetFindCloseCallback(list, nullptr, [](void** search) -> int64_t {
        g_fakeCloses++;
        *search = nullptr;
        return 1;
    });
    ASSERT_EQ(DirectoryList_Start(list, 0, "/fake/"), 1);
    EXPECT_EQ(Names(list), (Lines{"one", "three", "two"}));
    // A listing of replaced functions has no descriptor to act through.
    int32_t descriptor = 0;
    EXPECT_EQ(DirectoryList_GetDescriptor(list, &descriptor), 0);
    EXPECT_EQ(descriptor, -1);
    alignas(DIRECTORY_LIST_ALIGN) unsigned char memory[DIRECTORY_LIST_STACK_SIZE];
    errno = 0;
    EXPECT_EQ(DirectoryList_StartEntry(DirectoryList_Stack(memory), list), 0);
    EXPECT_EQ(errno, EINVAL);
    g_fakeCloses = 0;
    EXPECT_EQ(DirectoryList_Stop(list), 1);
    EXPECT_EQ(g_fakeCloses, 1);
    // Walks list every level with the platform's functions, not the list's own.
    BuildSmallTree();
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(journal.lines.size(), 4u);
}

TEST_F(DirectoryListTest, StackedListsLiveInCallerMemoryAndCountReferences) {
    alignas(DIRECTORY_LIST_ALIGN) unsigned char memory[DIRECTORY_LIST_STACK_SIZE];
    memset(memory, 0xA5, sizeof(memory));
    DirectoryList* stacked = DirectoryList_Stack(memory);
    ASSERT_EQ((void*)stacked, (void*)memory);
    BuildSmallTree();
    DirectoryList_SetWalkCallback(stacked, &journal, Record);
    EXPECT_EQ(DirectoryList_Walk(stacked, root.c_str(), "*"), 1);
    EXPECT_EQ(journal.lines.size(), 4u);
    EXPECT_EQ(DirectoryList_Start(stacked, 0, root.c_str()), 1);
    EXPECT_EQ(DirectoryList_Unstack(stacked), 1);
    EXPECT_EQ(DirectoryList_GetNext(stacked), 0); // the listing was closed

    // The last reference frees a list (the address sanitizer sees one freed early or never).
    DirectoryList *other = nullptr, *alias = nullptr;
    ASSERT_EQ(DirectoryList_Create(&other), 1);
    alias = other;
    EXPECT_EQ(DirectoryList_AddRef(other), 1);
    EXPECT_EQ(DirectoryList_Release(&other), 1);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(DirectoryList_Release(&alias), 1);
}

// Verbose walk lines reach the list's print callback.
std::string g_printed;
int64_t KeepPrint(void*, const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    g_printed += text;
    return 1;
}

TEST_F(DirectoryListTest, VerboseWalkLines) {
    BuildSmallTree();
    g_printed.clear();
    DirectoryList_SetPrintCallback(list, nullptr, KeepPrint);
    DirectoryList_SetVerbose(list, 1);
    EXPECT_EQ(Walk("*.none"), 1);
    for (const std::string& line :
         {"Root - " + root, "Directory - " + root + "a/", "Directory - " + root + "a/c/",
          "File - " + root + "a/x.txt", "File - " + root + "b.txt"})
        EXPECT_NE(g_printed.find(line + "\n"), std::string::npos) << line << "\n" << g_printed;
    EXPECT_NE(g_printed.find("DirectoryList."), std::string::npos);
}

TEST_F(DirectoryListTest, HostileNamesAndLengthsGiveAClearFailure) {
    // A name that is no valid UTF-8 is listed and walked like any other.
    ASSERT_TRUE(WriteText(root + "\xff\xfe.bin", "u"));
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(journal.lines, (Lines{"0:\xff\xfe.bin"}));
    // A '\' in a name would read back as a separator, naming another file: never reported.
    ASSERT_TRUE(WriteText(root + "..\\..\\x", "b"));
    EXPECT_EQ(Walk(), 0);
    EXPECT_EQ(journal.lines, (Lines{"0:\xff\xfe.bin"}));
    ASSERT_EQ(unlink((root + "..\\..\\x").c_str()), 0);

    // Full paths beyond 1024 bytes: the deep entries are not reported and the walk fails.
    std::string deep = root;
    for (int i = 0; i < 5; i++) ASSERT_TRUE(MakeDir(deep += std::string(200, 'd') + "/"));
    ASSERT_TRUE(WriteText(deep + "leaf", "l"));
    EXPECT_EQ(Walk(), 0);
    for (const std::string& line : journal.lines) EXPECT_LT(line.size() + root.size(), 1024u);
    // Four directories; the failed subtree ends the root level before its files.
    EXPECT_EQ(journal.lines.size(), 4u) << ::testing::PrintToString(journal.lines);
}

TEST_F(DirectoryListTest, EntriesVanishingMidWalk) {
    ASSERT_TRUE(MakeDir(root + "d"));
    for (int i = 0; i < 50; i++) ASSERT_TRUE(WriteText(root + "d/f" + std::to_string(i), "x"));
    // The first file reported removes every other one while the listing is open.
    static int32_t files;
    files = 0;
    DirectoryList_SetWalkCallback(
        list, &root, [](DirectoryList*, void* user, uint32_t, const char* path) -> uint32_t {
            if (path[strlen(path) - 1] != '/' && files++ == 0)
                for (int i = 0; i < 50; i++)
                    unlink((*static_cast<std::string*>(user) + "d/f" + std::to_string(i)).c_str());
            return 1;
        });
    EXPECT_EQ(Walk(), 1);
    EXPECT_GE(files, 1);
}

// A walk enters a subdirectory from the directory that listed it, and only while it is still the
// directory listed: what is put in its place between the listing and the entering is never walked.
TEST_F(DirectoryListTest, ADirectoryReplacedMidWalkIsNeverEntered) {
    TempDir outside, holding;
    ASSERT_TRUE(WriteText(outside.file("secret"), "s"));
    struct Case {
        const char* what;
        int error;
        std::function<bool(const std::string&)> plant;
    } cases[] = {
        {"a link to a directory outside", ELOOP,
         [&](const std::string& at) { return MakeLink(outside.path(), at); }},
        {"another directory", ESTALE,
         [&](const std::string& at) { return MakeDir(at) && WriteText(at + "/planted", "p"); }},
        {"a file", ENOTDIR, [&](const std::string& at) { return WriteText(at, "f"); }},
    };
    // Pre-order: the directory's callback runs after its listing and before it is entered.
    struct Swap {
        Journal* journal;
        std::string sub, moved;
        const Case* c;
        bool planted;
    } swap{&journal, root + "sub", "", nullptr, false};
    DirectoryList_SetWalkCallback(
        list, &swap, [](DirectoryList* level, void* user, uint32_t depth, const char* path) -> uint32_t {
            Swap* s = static_cast<Swap*>(user);
            if (s->sub + "/" == path && !s->planted)
                s->planted = rename(s->sub.c_str(), s->moved.c_str()) == 0 && s->c->plant(s->sub);
            return Record(level, s->journal, depth, path);
        });
    for (const Case& c : cases) {
        ASSERT_TRUE(Build(dir.path(), {"sub/", "sub/own=o"}));
        swap.moved = holding.file(c.what);
        swap.c = &c;
        swap.planted = false;
        errno = 0;
        EXPECT_EQ(Walk(), 0) << c.what;
        EXPECT_EQ(errno, c.error) << c.what;
        EXPECT_TRUE(swap.planted) << c.what;
        for (const std::string& line : journal.lines)
            EXPECT_NE(line.rfind("1:", 0), 0u) << c.what << ": " << line;
        std::filesystem::remove_all(swap.sub);
    }
    EXPECT_EQ(ReadFile(outside.file("secret")), "s");
}

int32_t OpenDescriptors() {
    int32_t n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) n++;
        closedir(d);
    }
    return n;
}

// Every level holds one descriptor while those below it are walked, so a walk goes at most
// DIRECTORY_LIST_MAX_LEVELS below its root and then fails as a path too long would.
TEST_F(DirectoryListTest, TreesDeeperThanTheLevelLimitFailWithDescriptorsBounded) {
    std::string deep = root;
    for (int32_t i = 0; i <= DIRECTORY_LIST_MAX_LEVELS; i++) ASSERT_TRUE(MakeDir(deep += "d/"));
    ASSERT_TRUE(WriteText(deep + "leaf", "l"));
    static uint32_t deepest;
    static int32_t descriptors;
    static bool leaf;
    deepest = 0;
    descriptors = 0;
    leaf = false;
    const int32_t before = OpenDescriptors();
    DirectoryList_SetWalkCallback(list, nullptr,
                                  [](DirectoryList*, void*, uint32_t depth, const char* path) -> uint32_t {
                                      deepest = std::max(deepest, depth);
                                      descriptors = std::max(descriptors, OpenDescriptors());
                                      leaf = leaf || strstr(path, "leaf");
                                      return 1;
                                  });
    errno = 0;
    EXPECT_EQ(Walk(), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(deepest, (uint32_t)DIRECTORY_LIST_MAX_LEVELS);
    EXPECT_FALSE(leaf);
    EXPECT_LE(descriptors, before + DIRECTORY_LIST_MAX_LEVELS + 2);
    EXPECT_EQ(OpenDescriptors(), before) << "every level's descriptor is closed";
}

} // namespace
