// Tests of DirectoryList: listings with and without patterns, the walk's order, filters, depth
// limit and flags, links never entered, replaceable find functions and hostile names and lengths.
#include "core/platform/directory_list.h"

#include <gtest/gtest.h>

#include <atomic>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <string>
#include <sys/time.h>
#include <vector>

#include "core/platform/path.h"
#include "tests/core/platform/path_test_support.h"
#include "tests/support/abort_hook.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace path_test;

// One line per callback: "<depth>:<path below the root>".
struct Journal {
    std::string root;
    std::vector<std::string> lines;
    std::string refuse; // a path (below the root) answered with 0
};

uint32_t Record(DirectoryList*, void* user, uint32_t depth, const char* path) {
    Journal* journal = static_cast<Journal*>(user);
    std::string relative = path;
    if (relative.compare(0, journal->root.size(), journal->root) == 0)
        relative = relative.substr(journal->root.size());
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
    void TearDown() override {
        if (list) DirectoryList_Delete(&list);
    }
    // root: a/ (x.txt, c/), b.txt
    void BuildSmallTree() {
        ASSERT_TRUE(MakeDir(root + "a"));
        ASSERT_TRUE(MakeDir(root + "a/c"));
        ASSERT_TRUE(WriteText(root + "a/x.txt", "x"));
        ASSERT_TRUE(WriteText(root + "b.txt", "b"));
    }
    int64_t Walk(const char* wildcards = nullptr) {
        return DirectoryList_Walk(list, root.c_str(), wildcards);
    }

    TempDir dir;
    std::string root;
    DirectoryList* list = nullptr;
    Journal journal;
};

TEST_F(DirectoryListTest, WalkVisitsSubdirectoriesBeforeFilesInPreAndPostOrder) {
    BuildSmallTree();
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"0:a/", "1:a/c/", "1:a/x.txt", "0:b.txt"}));

    journal.lines.clear();
    DirectoryList_SetWalkOrder(list, DIRECTORY_LIST_ORDER_POST);
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"1:a/c/", "1:a/x.txt", "0:a/", "0:b.txt"}));
}

std::atomic<int32_t> g_examined{0};

TEST_F(DirectoryListTest, AWalkExaminesEachEntryOnce) {
    BuildSmallTree();
    ASSERT_TRUE(WriteText(root + "a/c/y.txt", "y"));
    g_examined = 0;
    Platform_FindEntryOverride([](const char* name) {
        if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) g_examined++;
    });
    const int64_t walked = Walk();
    Platform_FindEntryOverride(nullptr);
    EXPECT_EQ(walked, 1);
    EXPECT_EQ(journal.lines.size(), 5u);
    EXPECT_EQ(g_examined.load(), 5);
}

TEST_F(DirectoryListTest, ZeroAnswersSkipOrFailAsStated) {
    BuildSmallTree();
    // A directory answered with 0 in pre-order is not entered, and the walk still succeeds.
    journal.refuse = "a/";
    EXPECT_EQ(Walk(), 1);
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"0:a/", "0:b.txt"}));

    // A file answered with 0 fails the walk, but the file pass of that level goes on.
    ASSERT_TRUE(WriteText(root + "d.txt", "d"));
    journal.lines.clear();
    journal.refuse = "b.txt";
    EXPECT_EQ(Walk(), 0);
    EXPECT_EQ(journal.lines.size(), 5u);

    // A failing subtree ends the levels above it: the root's files are never reached.
    journal.lines.clear();
    journal.refuse = "a/x.txt";
    EXPECT_EQ(Walk(), 0);
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"0:a/", "1:a/c/", "1:a/x.txt"}));
}

TEST_F(DirectoryListTest, WildcardsFilterFilesOnly) {
    BuildSmallTree();
    ASSERT_TRUE(WriteText(root + "a/y.LOG", "y"));
    ASSERT_TRUE(WriteText(root + "z.bin", "z"));
    ASSERT_TRUE(MakeDir(root + "dir.bin"));
    EXPECT_EQ(Walk("*.txt; *.log"), 1);
    std::vector<std::string> sorted = journal.lines;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{"0:a/", "0:b.txt", "0:dir.bin/", "1:a/c/", "1:a/x.txt",
                                                "1:a/y.LOG"}));
}

TEST_F(DirectoryListTest, DepthLimitAndFlags) {
    BuildSmallTree();
    struct Case {
        int32_t depth;
        uint32_t flags;
        std::vector<std::string> expected;
    } cases[] = {
        {0, DIRECTORY_LIST_WALK_DEFAULT, {"0:a/", "0:b.txt"}},
        {-1, DIRECTORY_LIST_WALK_FILES, {"1:a/x.txt", "0:b.txt"}},
        {-1, DIRECTORY_LIST_WALK_DIRECTORIES, {"0:a/", "1:a/c/"}},
        {1, DIRECTORY_LIST_WALK_DEFAULT, {"0:a/", "1:a/c/", "1:a/x.txt", "0:b.txt"}},
    };
    for (const Case& c : cases) {
        journal.lines.clear();
        DirectoryList_SetMaxDepth(list, c.depth);
        DirectoryList_SetWalkFlags(list, c.flags);
        EXPECT_EQ(Walk(), 1);
        EXPECT_EQ(journal.lines, c.expected) << c.depth << " " << c.flags;
    }
}

TEST_F(DirectoryListTest, SymbolicLinksAreReportedAsFilesAndNeverEntered) {
    TempDir outside;
    ASSERT_TRUE(WriteText(outside.file("secret"), "s"));
    ASSERT_TRUE(MakeDir(root + "sub"));
    ASSERT_TRUE(MakeLink(outside.path(), root + "sub/link"));
    ASSERT_TRUE(MakeLink(root + "missing", root + "dangling"));
    EXPECT_EQ(Walk(), 1);
    std::vector<std::string> sorted = journal.lines;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{"0:dangling", "0:sub/", "1:sub/link"}));
}

TEST_F(DirectoryListTest, RootsThatNameNoDirectory) {
    // A missing root contributes nothing and succeeds.
    EXPECT_EQ(DirectoryList_Walk(list, (root + "missing").c_str(), nullptr), 1);
    EXPECT_TRUE(journal.lines.empty());
    // A root over the 320-byte limit is refused rather than cut to another directory.
    std::string longRoot = root + std::string(330, 'r');
    EXPECT_EQ(DirectoryList_Walk(list, longRoot.c_str(), nullptr), 0);
    EXPECT_EQ(DirectoryList_Walk(list, "", nullptr), 0);
    EXPECT_TRUE(journal.lines.empty());

    // A relative root that cancels out is no directory at all, never the file system's root.
    // Run where a wrong "/" could only reach a throw-away directory.
    if (!IsRoot()) GTEST_SKIP() << "chroot needs root";
    ASSERT_TRUE(WriteText(root + "keep", "k"));
    int code = RunInChroot(dir.path(), [] {
        DirectoryList* walker = nullptr;
        DirectoryList_Create(&walker);
        int32_t calls = 0;
        DirectoryList_SetWalkCallback(walker, &calls,
                                      [](DirectoryList*, void* user, uint32_t, const char*) -> uint32_t {
                                          ++*static_cast<int32_t*>(user);
                                          return 1;
                                      });
        mkdir("/a", 0755);
        const int64_t result = DirectoryList_Walk(walker, "a/..", nullptr);
        DirectoryList_Delete(&walker);
        return result == 0 && calls == 0 ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
}

TEST_F(DirectoryListTest, StartWithPatternMatchesWithoutCase) {
    ASSERT_TRUE(MakeDir(root + "logs"));
    for (const char* name : {"a.log", "B.LOG", "c.Log", "d.txt"})
        ASSERT_TRUE(WriteText(root + "logs/" + name, "."));
    ASSERT_EQ(DirectoryList_Start(list, 1, (root + "logs/*.LOG").c_str()), 1);
    std::vector<std::string> names;
    char name[PLATFORM_FIND_NAME_CAPACITY];
    do {
        ASSERT_EQ(DirectoryList_GetName(list, name, sizeof(name)), 1);
        names.push_back(name);
    } while (DirectoryList_GetNext(list));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"B.LOG", "a.log", "c.Log"}));
    char small[5];
    EXPECT_EQ(DirectoryList_GetName(list, small, sizeof(small)), 0); // cut names say so
    EXPECT_EQ(strlen(small), 4u);
    char directory[DIRECTORY_LIST_PATH_SIZE];
    DirectoryList_GetDirectory(list, directory, sizeof(directory));
    EXPECT_EQ(std::string(directory), root + "logs/");
    EXPECT_EQ(DirectoryList_Stop(list), 1);
    DirectoryList_GetDirectory(list, directory, sizeof(directory));
    EXPECT_STREQ(directory, "");
    EXPECT_EQ(DirectoryList_Stop(list), 1); // nothing open
    EXPECT_EQ(DirectoryList_GetNext(list), 0);
    EXPECT_EQ(DirectoryList_Start(list, 1, (root + "logs/*.none").c_str()), 0);
    EXPECT_EQ(DirectoryList_Start(list, 0, (root + "missing/").c_str()), 0);
}

TEST_F(DirectoryListTest, EntryFacts) {
    ASSERT_TRUE(WriteText(root + ".hidden", std::string(5000, 'h')));
    struct timeval times[2] = {{1000000000, 0}, {1234567890, 0}};
    ASSERT_EQ(utimes((root + ".hidden").c_str(), times), 0);
    ASSERT_EQ(DirectoryList_Start(list, 0, root.c_str()), 1);
    bool sawDots = false, sawFile = false;
    do {
        if (DirectoryList_IsDots(list)) {
            sawDots = true;
            EXPECT_EQ(DirectoryList_IsDirectory(list), 1);
            continue;
        }
        sawFile = true;
        uint64_t size = 0, allocated = 0;
        DirectoryList_GetSize(list, &size);
        DirectoryList_GetAllocatedSize(list, &allocated);
        EXPECT_EQ(size, 5000u);
        struct stat info;
        ASSERT_EQ(stat((root + ".hidden").c_str(), &info), 0);
        EXPECT_EQ(allocated, (uint64_t)info.st_blocks * 512u);
        EncodedTime modified = 0;
        EXPECT_EQ(DirectoryList_GetModifiedTime(list, &modified), 1);
        EXPECT_EQ(modified, 1234567890.0);
        EXPECT_EQ(DirectoryList_IsHidden(list), 1);
        EXPECT_EQ(DirectoryList_IsDirectory(list), 0);
        EXPECT_EQ(DirectoryList_IsSymLink(list), 0);
        EXPECT_EQ(DirectoryList_IsSystem(list), 0);
        EXPECT_EQ(DirectoryList_IsReadOnly(list), 0);
    } while (DirectoryList_GetNext(list));
    EXPECT_TRUE(sawDots);
    EXPECT_TRUE(sawFile);
}

// Find functions that list a made-up directory of three entries.
int32_t g_fakeIndex = 0;
int32_t g_fakeCloses = 0;
const char* const kFakeNames[] = {"one", "two", "three"};
int64_t FakeFirst(const char* pattern, PlatformFindData* data, void** search) {
    EXPECT_TRUE(std::string(pattern).find("/fake/*") != std::string::npos) << pattern;
    g_fakeIndex = 0;
    *search = &g_fakeIndex;
    memset(data, 0, sizeof(*data));
    strcpy(data->Name, kFakeNames[0]);
    return 1;
}
int64_t FakeNext(void*, PlatformFindData* data) {
    if (++g_fakeIndex >= 3) return 0;
    strcpy(data->Name, kFakeNames[g_fakeIndex]);
    return 1;
}
int64_t FakeClose(void** search) {
    g_fakeCloses++;
    *search = nullptr;
    return 1;
}

TEST_F(DirectoryListTest, FindFunctionsCanBeReplaced) {
    DirectoryList_SetFindFirstFileCallback(list, nullptr, FakeFirst);
    DirectoryList_SetFindNextFileCallback(list, nullptr, FakeNext);
    DirectoryList_SetFindCloseCallback(list, nullptr, FakeClose);
    ASSERT_EQ(DirectoryList_Start(list, 0, "/fake/"), 1);
    std::vector<std::string> names;
    char name[64];
    do {
        DirectoryList_GetName(list, name, sizeof(name));
        names.push_back(name);
    } while (DirectoryList_GetNext(list));
    EXPECT_EQ(names, (std::vector<std::string>{"one", "two", "three"}));
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

TEST_F(DirectoryListTest, StackedListsLiveInCallerMemory) {
    alignas(DIRECTORY_LIST_ALIGN) unsigned char memory[DIRECTORY_LIST_STACK_SIZE];
    ASSERT_LE(DirectoryList_SizeOf(), (int32_t)sizeof(memory));
    memset(memory, 0xA5, sizeof(memory));
    DirectoryList* stacked = DirectoryList_Stack(memory);
    ASSERT_EQ((void*)stacked, (void*)memory);
    BuildSmallTree();
    Journal local{root, {}, {}};
    DirectoryList_SetWalkCallback(stacked, &local, Record);
    EXPECT_EQ(DirectoryList_Walk(stacked, root.c_str(), "*"), 1);
    EXPECT_EQ(local.lines.size(), 4u);
    EXPECT_EQ(DirectoryList_Start(stacked, 0, root.c_str()), 1);
    EXPECT_EQ(DirectoryList_Unstack(stacked), 1);
    EXPECT_EQ(DirectoryList_GetNext(stacked), 0); // the listing was closed
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
    uint32_t verbose = 0;
    DirectoryList_GetVerbose(list, &verbose);
    EXPECT_EQ(verbose, 1u);
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
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"0:\xff\xfe.bin"}));

    // A '\' in a name would read back as a separator, naming another file: never reported.
    ASSERT_TRUE(WriteText(root + "..\\..\\x", "b"));
    journal.lines.clear();
    EXPECT_EQ(Walk(), 0);
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"0:\xff\xfe.bin"}));
    ASSERT_EQ(unlink((root + "..\\..\\x").c_str()), 0);

    // Full paths beyond 1024 bytes: the deep entries are not reported and the walk fails.
    std::string deep = root;
    std::string name(200, 'd');
    for (int i = 0; i < 5; i++) {
        deep += name + "/";
        ASSERT_TRUE(MakeDir(deep));
    }
    ASSERT_TRUE(WriteText(deep + "leaf", "l"));
    journal.lines.clear();
    EXPECT_EQ(Walk(), 0);
    for (const std::string& line : journal.lines) EXPECT_LT(line.size() + root.size(), 1024u);
    // Four directories; the failed subtree ends the root level before its files.
    EXPECT_EQ(journal.lines.size(), 4u) << ::testing::PrintToString(journal.lines);
}

TEST_F(DirectoryListTest, EntriesVanishingMidWalk) {
    ASSERT_TRUE(MakeDir(root + "d"));
    for (int i = 0; i < 50; i++) ASSERT_TRUE(WriteText(root + "d/f" + std::to_string(i), "x"));
    // The first file reported removes every other one while the listing is open.
    struct Remover {
        std::string directory;
        int32_t files = 0;
    } remover{root + "d/"};
    DirectoryList_SetWalkCallback(list, &remover,
                                  [](DirectoryList*, void* user, uint32_t, const char* path) -> uint32_t {
                                      Remover* r = static_cast<Remover*>(user);
                                      if (path[strlen(path) - 1] == '/') return 1;
                                      if (r->files++ == 0)
                                          for (int i = 0; i < 50; i++)
                                              unlink((r->directory + "f" + std::to_string(i)).c_str());
                                      return 1;
                                  });
    EXPECT_EQ(Walk(), 1);
    EXPECT_GE(remover.files, 1);
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
    int32_t round = 0;
    for (const Case& c : cases) {
        const std::string sub = root + "sub";
        ASSERT_TRUE(MakeDir(sub));
        ASSERT_TRUE(WriteText(sub + "/own", "o"));
        struct Swap {
            Journal* journal;
            std::string sub, moved;
            const Case* c;
            bool planted = false;
        } swap{&journal, sub, holding.file(std::to_string(round++)), &c};
        // Pre-order: the directory's callback runs after its listing and before it is entered.
        DirectoryList_SetWalkCallback(
            list, &swap, [](DirectoryList* level, void* user, uint32_t depth, const char* path) -> uint32_t {
                Swap* s = static_cast<Swap*>(user);
                if (s->sub + "/" == path && !s->planted)
                    s->planted = rename(s->sub.c_str(), s->moved.c_str()) == 0 && s->c->plant(s->sub);
                return Record(level, s->journal, depth, path);
            });
        journal.lines.clear();
        errno = 0;
        EXPECT_EQ(Walk(), 0) << c.what;
        EXPECT_EQ(errno, c.error) << c.what;
        EXPECT_TRUE(swap.planted) << c.what;
        for (const std::string& line : journal.lines)
            EXPECT_NE(line.rfind("1:", 0), 0u) << c.what << ": " << line;
        nftw(
            sub.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
        ::remove(sub.c_str());
    }
    EXPECT_EQ(ReadFile(outside.file("secret")), "s");
}

// Every level holds one descriptor while those below it are walked, so a walk goes at most
// DIRECTORY_LIST_MAX_LEVELS below its root and then fails as a path too long would.
TEST_F(DirectoryListTest, TreesDeeperThanTheLevelLimitFailWithDescriptorsBounded) {
    std::string deep = root;
    for (int32_t i = 0; i <= DIRECTORY_LIST_MAX_LEVELS; i++) {
        deep += "d/";
        ASSERT_TRUE(MakeDir(deep));
    }
    ASSERT_TRUE(WriteText(deep + "leaf", "l"));
    struct Probe {
        uint32_t deepest = 0;
        int32_t descriptors = 0;
        bool leaf = false;
    } probe;
    auto countDescriptors = [] {
        int32_t n = 0;
        if (DIR* d = opendir("/proc/self/fd")) {
            while (readdir(d)) n++;
            closedir(d);
        }
        return n;
    };
    const int32_t before = countDescriptors();
    DirectoryList_SetWalkCallback(
        list, &probe, [](DirectoryList*, void* user, uint32_t depth, const char* path) -> uint32_t {
            Probe* p = static_cast<Probe*>(user);
            p->deepest = std::max(p->deepest, depth);
            if (strstr(path, "leaf")) p->leaf = true;
            int32_t n = 0;
            if (DIR* d = opendir("/proc/self/fd")) {
                while (readdir(d)) n++;
                closedir(d);
            }
            p->descriptors = std::max(p->descriptors, n);
            return 1;
        });
    errno = 0;
    EXPECT_EQ(Walk(), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(probe.deepest, (uint32_t)DIRECTORY_LIST_MAX_LEVELS);
    EXPECT_FALSE(probe.leaf);
    EXPECT_LE(probe.descriptors, before + DIRECTORY_LIST_MAX_LEVELS + 2);
    EXPECT_EQ(countDescriptors(), before) << "every level's descriptor is closed";
}

TEST_F(DirectoryListTest, HandleChecks) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DirectoryList_Walk(nullptr, "/", nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            DirectoryList_Start(list, 0, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    DirectoryList* other = nullptr;
    ASSERT_EQ(DirectoryList_Create(&other), 1);
    DirectoryList* alias = other;
    EXPECT_EQ(DirectoryList_AddRef(other), 1);
    EXPECT_EQ(DirectoryList_Release(&other), 1);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(DirectoryList_Release(&alias), 1); // the last reference frees it
    char id[40];
    EXPECT_EQ(DirectoryList_SetDirectory(list, "/x/"), 1);
    DirectoryList_GetDirectory(list, id, sizeof(id));
    EXPECT_STREQ(id, "/x/");
}

} // namespace
