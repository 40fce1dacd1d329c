// The directory task types run through the engine: trees copied and compared with diff and stat,
// moves and deletes that workflows rely on to do nothing, emptiness, listings with their per-entry
// chains, write access, and free space against Python's os.statvfs.
#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "core/platform/path.h"
#include "tests/support/platform_sandbox.h"
#include "tests/tasks/file_task_fixture.h"

namespace {

using Errors = std::vector<std::string>;
using DirectoryTasks = FileTaskTest;

// Names, modes and whole-second modification times of a tree, one line per entry, links as links.
std::string Listing(const std::string& root) {
    return Sh("cd " + root + " && find . -mindepth 1 \\( -type l -printf '%P %M\\n' \\) -o "
              "-printf '%P %M %TY%Tm%Td%TH%TM%TS\\n' | sed 's/\\.[0-9]*$//' | sort");
}

void MakeTree(const std::string& root) {
    Sh("mkdir -p " + root + "/sub/deep && echo one > " + root + "/a.txt && echo two > " + root +
                     "/sub/b.txt && echo three > " + root + "/sub/deep/c.txt && chmod 0750 " + root +
                     "/sub && chmod 0600 " + root + "/a.txt && ln -s a.txt " + root + "/link && ln -s ../../outside " +
                     root + "/sub/escape && touch -h -d '2020-01-02 03:04:05' " + root + "/a.txt " + root + "/sub/b.txt " +
                     root + "/sub/deep " + root + "/sub/deep/c.txt " + root + "/sub");
}

TEST_F(DirectoryTasks, CreateMakesTheWholeChain) {
    for (int round = 0; round < 2; round++) {
        const Run run = One("DirectoryCreate", "\"path\": " + Q(P("x/y/z")));
        EXPECT_TRUE(run.successful);
        EXPECT_TRUE(Path_DirectoryExists(P("x/y/z").c_str()));
    }
    ASSERT_TRUE(WriteText(P("file"), ""));
    EXPECT_EQ(One("DirectoryCreate", "\"path\": " + Q(P("file/sub"))).errors, Errors{"Platform_Error_AccessInvalid"});
}

TEST_F(DirectoryTasks, CopyEqualsTheSourceTree) {
    MakeTree(P("src"));
    EXPECT_TRUE(One("DirectoryCopy", "\"sourcePath\": " + Q(P("src")) + ", \"targetPath\": " + Q(P("dst"))).successful);
    EXPECT_EQ(Sh("diff -r --no-dereference " + P("src") + " " + P("dst") + " && echo same"), "same\n");
    EXPECT_EQ(Listing(P("dst")), Listing(P("src")));
}

TEST_F(DirectoryTasks, CopyHonoursRecurseAndOverwrite) {
    MakeTree(P("src"));
    Sh("mkdir -p " + P("kept/sub") + " && echo mine > " + P("kept/a.txt") + " && ln -s /nowhere " + P("kept/sub/b.txt"));
    const struct {
        std::string source;
        const char* target;
        const char* extra;
        Errors errors;
        const char* found;
    } cases[] = {
        {P("src"), "flat", ", \"recurse\": false", {}, "./a.txt ./link "},
        {P("src"), "kept", ", \"overwrite\": false", {}, "./a.txt ./link ./sub ./sub/b.txt ./sub/deep ./sub/deep/c.txt ./sub/escape "},
        {P("absent"), "none", "", {"Platform_Error_Missing"}, "<failed>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        EXPECT_EQ(One("DirectoryCopy", "\"sourcePath\": " + Q(c.source) + ", \"targetPath\": " + Q(P(c.target)) + c.extra).errors,
                  c.errors);
        EXPECT_EQ(Sh("cd " + P(c.target) + " && find . -mindepth 1 | sort | tr '\\n' ' '"), c.found);
    }
    // Without overwrite, what was there stays, links included.
    EXPECT_EQ(ReadFile(P("kept/a.txt")), "mine\n");
    EXPECT_EQ(Sh("readlink " + P("kept/sub/b.txt")), "/nowhere\n");
}

TEST_F(DirectoryTasks, MoveLeavesAnExistingTargetAlone) {
    MakeTree(P("src"));
    Sh("mkdir " + P("there"));
    Run run = One("DirectoryMove", "\"sourcePath\": " + Q(P("src")) + ", \"targetPath\": " + Q(P("there")));
    EXPECT_TRUE(run.successful);
    EXPECT_TRUE(Printed("Target directory already exists"));
    EXPECT_TRUE(FileExists(P("src/sub/deep/c.txt")));
    EXPECT_FALSE(FileExists(P("there/sub")));
    run = One("DirectoryMove", "\"sourcePath\": " + Q(P("src")) + ", \"targetPath\": " + Q(P("moved")));
    EXPECT_TRUE(run.successful);
    EXPECT_FALSE(FileExists(P("src")));
    EXPECT_EQ(ReadFile(P("moved/sub/deep/c.txt")), "three\n");
    run = One("DirectoryMove", "\"sourcePath\": " + Q(P("absent")) + ", \"targetPath\": " + Q(P("other")));
    EXPECT_EQ(run.errors, Errors{"Platform_Error_Missing"});
}

TEST_F(DirectoryTasks, DeleteHonoursOnlyIfEmptyAndFailIfMissing) {
    MakeTree(P("full"));
    Sh("mkdir " + P("empty") + " && mkdir " + P("outside") + " && echo keep > " + P("outside/f"));
    const struct {
        std::string path;
        const char* extra;
        Errors errors;
        bool gone;
    } cases[] = {
        {P("full"), ", \"onlyIfEmpty\": true", {}, false},
        {P("empty"), ", \"onlyIfEmpty\": true", {}, true},
        {P("full"), "", {}, true},
        {P("absent"), "", {}, true},
        {P("absent"), ", \"failIfMissing\": true", {"Platform_Error_AccessInvalid"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + c.extra);
        const Run run = One("DirectoryDelete", "\"path\": " + Q(c.path) + c.extra);
        EXPECT_EQ(run.successful, c.errors.empty());
        EXPECT_EQ(run.errors, c.errors);
        EXPECT_EQ(!FileExists(c.path), c.gone);
    }
    EXPECT_TRUE(Printed("Directory is not empty"));
    EXPECT_TRUE(Printed("Erasing directory if empty (" + P("full") + ")"));
    // The tree's link out of it was removed as a link.
    EXPECT_EQ(ReadFile(P("outside/f")), "keep\n");
}

// The engine belongs to the thread that started it, which a forked child's is not: a child runs
// the fixture's engine of its own.
class DirectoryTasksInChild : public FileTaskTest {
  public:
    void TestBody() override {}
    // A file system mounted inside the tree is not erased: the task fails and names the mount
    // point whole (deeper than the path layer's own texts hold), and what the mount holds is still
    // there.
    std::string DeleteAcrossAMount() {
        SetUp();
        const std::string mnt = P("tree/" + std::string(200, 's') + "/" + std::string(200, 'u') + "/mnt");
        Sh("mkdir -p " + mnt);
        if (!EmptyTmpfs(mnt) || !WriteText(mnt + "/kept", "k")) return "no mount";
        const Run run = One("DirectoryDelete", "\"path\": " + Q(P("tree")));
        std::string text;
        for (const std::string& error : run.errors) text += error + "|";
        text += Printed("Another file system is mounted inside the directory (" + mnt + ")") ? "named|"
                                                                                             : "unnamed|";
        text += ReadFile(mnt + "/kept");
        umount2(mnt.c_str(), MNT_DETACH);
        TearDown();
        return text;
    }
};

TEST(DirectoryTasksIsolated, DeleteStopsAtAFileSystemMountedInside) {
    if (!CanIsolate()) GTEST_SKIP() << "no mount namespace of a child's own here (needs root)";
    const std::optional<std::string> text =
        RunIsolated([] { return true; }, [] { return DirectoryTasksInChild().DeleteAcrossAMount(); });
    EXPECT_EQ(text.value_or("the child failed"), "Platform_Error_AccessDenied|named|k");
}

TEST_F(DirectoryTasks, ExistsAndIsEmptyAnswerTheirWords) {
    Sh("mkdir -p " + P("empty") + " " + P("full") + " && touch " + P("full/.hidden") + " " + P("file") +
       " && ln -s empty " + P("link"));
    const struct {
        const char* type;
        std::string arguments;
        const char* marker;
        Errors errors;
    } cases[] = {
        {"DirectoryExists", "\"path\": " + Q(P("empty")), "yes", {}},
        {"DirectoryExists", "\"path\": " + Q(P("link")), "yes", {}},
        {"DirectoryExists", "\"path\": " + Q(P("file")), "no", {}},
        {"DirectoryExists", "\"path\": " + Q(P("absent")), "no", {}},
        {"DirectoryIsEmpty", "\"path\": " + Q(P("empty")), "yes", {}},
        {"DirectoryIsEmpty", "\"path\": " + Q(P("full")), "no", {}},
        {"DirectoryIsEmpty", "\"path\": " + Q(P("absent")), "yes", {}},
        {"DirectoryIsEmpty", "\"path\": " + Q(P("absent")) + ", \"failIfMissing\": true", "none",
         {"Platform_Error_AccessInvalid"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        started.clear();
        const Run run = One(c.type, c.arguments + ", \"exists\": \"yes\", \"missing\": \"no\", \"empty\": \"yes\", "
                                                  "\"notEmpty\": \"no\"");
        EXPECT_EQ(run.errors, c.errors);
        EXPECT_EQ(Marker(), c.marker);
    }
}

TEST_F(DirectoryTasks, DiskSpaceAgreesWithStatvfs) {
    const std::string python = "/usr/bin/python3 -c \"import os; s = os.statvfs('" + dir.path() +
                               "'); print(s.f_bavail * s.f_frsize)\"";
    const double before = atof(Sh(python).c_str());
    Run run = One("DiskSpaceCheck", "\"path\": " + Q(dir.path()) + ", \"requiredBytes\": 1, \"enough\": \"yes\", "
                                    "\"notEnough\": \"no\"");
    const double after = atof(Sh(python).c_str());
    EXPECT_TRUE(run.successful);
    EXPECT_EQ(Marker(), "yes");
    double reported = -1;
    for (const auto& line : lines)
        if (line.find("Free bytes (") != std::string::npos) reported = atof(line.c_str() + line.find('(') + 1);
    // Other work on the machine moves the figure a little between the three looks.
    EXPECT_GT(before, 0);
    EXPECT_NEAR(reported, (before + after) / 2, 256.0 * 1024 * 1024);
    started.clear();
    run = One("DiskSpaceCheck", "\"path\": " + Q(dir.path() + "/") + ", \"requiredBytes\": 1000000000000000000, \"enough\": \"yes\", "
                                "\"notEnough\": \"no\"");
    EXPECT_EQ(Marker(), "no");
    EXPECT_TRUE(Printed("Required bytes (1000000000000000000.00)"));
    EXPECT_EQ(One("DiskSpaceCheck", "\"requiredBytes\": \"lots\"").errors, Errors{"Task_Error_InvalidArg"});
    EXPECT_EQ(One("DiskSpaceCheck", "\"path\": " + Q(P("absent/")) + ", \"requiredBytes\": 1").errors,
              Errors{"Platform_Error_Missing"});
    // Without a path, the volume of the program's own directory.
    EXPECT_TRUE(One("DiskSpaceCheck", "\"requiredBytes\": 0").successful);
}

// ---- DirectoryList --------------------------------------------------------------------------------

TEST_F(DirectoryTasks, ListVisitsEntriesOneByOne) {
    Sh("mkdir -p " + P("d/sub") + " && touch " + P("d/a") + " " + P("d/b.txt") + " " + P("d/.hidden"));
    Define("{\"list\": {\"type\": \"DirectoryList\", \"path\": " + Q(P("d/")) +
           ", \"forEachFile\": \"file\", \"forEachDirectory\": \"folder\"},"
           " \"all\": {\"type\": \"DirectoryList\", \"path\": " + Q(P("d/")) + ", \"skipHidden\": false, \"forEachFile\": \"file\"},"
           " \"txt\": {\"type\": \"DirectoryList\", \"path\": " + Q(P("d/*.txt")) + ", \"forEachFile\": \"file\"},"
           " \"none\": {\"type\": \"DirectoryList\", \"path\": " + Q(P("absent/")) + ", \"forEachFile\": \"file\"},"
           " \"file\": {\"type\": \"DirectoryExists\", \"path\": \"/\"},"
           " \"folder\": {\"type\": \"DirectoryExists\", \"path\": \"/\"}}");
    const auto count = [&](const char* name) { return std::count(started.begin(), started.end(), name); };
    const struct {
        const char* task;
        long files;
        long folders;
    } cases[] = {{"list", 2, 1}, {"all", 3, 0}, {"txt", 1, 0}, {"none", 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.task);
        started.clear();
        const Run run = RunTask(c.task);
        EXPECT_TRUE(run.successful);
        EXPECT_EQ(count("file"), c.files);
        EXPECT_EQ(count("folder"), c.folders);
    }
    // The last entry of "txt" is what its status shows.
    EXPECT_EQ(Status("txt", "path"), P("d/b.txt"));
    EXPECT_EQ(Status("txt", "name"), "b.txt");
    EXPECT_EQ(Status("txt", "directory"), P("d/"));
}

TEST_F(DirectoryTasks, ListStopsAtTheFirstFailingEntry) {
    Sh("mkdir -p " + P("d") + " && touch " + P("d/a") + " " + P("d/b") + " " + P("d/c"));
    // The per-entry task lacks its argument and fails.
    Define("{\"list\": {\"type\": \"DirectoryList\", \"path\": " + Q(P("d/")) + ", \"forEachFile\": \"bad\"},"
           " \"bad\": {\"type\": \"FileTruncate\", \"path\": \"/nonexistent\"}}");
    const Run run = RunTask("list");
    EXPECT_FALSE(run.successful);
    EXPECT_EQ(std::count(started.begin(), started.end(), "bad"), 1);
}

TEST_F(DirectoryTasks, ListWithoutPathIsAMissingArgument) {
    const Run run = One("DirectoryList", "");
    EXPECT_EQ(run.errors, Errors{"Task_Error_MissingArg"});
    EXPECT_TRUE(Printed("\"path\" argument not defined"));
}

// ---- DirectoryIsWritable --------------------------------------------------------------------------

TEST_F(DirectoryTasks, IsWritableStopsAtTheFirstPathThatIsNot) {
    Sh("mkdir " + P("w"));
    const struct {
        std::string path;
        const char* extra;
        const char* marker;
    } cases[] = {
        {"[" + Q(P("w")) + ", " + Q(P("absent")) + ", " + Q(P("later")) + "]", "", "no"},
        {"[" + Q(P("w")) + ", " + Q(P("absent/deeper")) + "]", ", \"recurse\": true", "yes"},
        {Q(P("w")), "", "yes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        started.clear();
        lines.clear();
        const Run run = One("DirectoryIsWritable", "\"path\": " + c.path + c.extra +
                                                       ", \"writable\": \"yes\", \"notWritable\": \"no\"");
        EXPECT_TRUE(run.successful);
        EXPECT_EQ(Marker(), c.marker);
        EXPECT_EQ(LastNumber("progress"), 1);
    }
    lines.clear();
    One("DirectoryIsWritable", "\"path\": [" + Q(P("absent")) + ", " + Q(P("later")) + "]");
    EXPECT_TRUE(Printed("Checking if directory is writable (" + P("absent") + ")"));
    EXPECT_FALSE(Printed(P("later")));
    const Run run = One("DirectoryIsWritable", "");
    EXPECT_EQ(run.errors, Errors{"Task_Error_MissingArg"});
    EXPECT_TRUE(Printed("path argument not defined"));
}

} // namespace
