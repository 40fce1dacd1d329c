// The RepositoryFileCheck task through the engine: manifests against files on disk, the printed
// reasons, the error key, the outcome words, and names that would leave the installation. The
// manifests are plain JSON, so each task says it needs no signature.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include "tests/support/bounded_wait.h"
#include "tests/tasks/file_task_fixture.h"

namespace {

const bool g_bounded = BoundEveryTest();

class RepositoryFileCheckTest : public FileTaskTest {
  protected:
    // Writes a file of `size` bytes below the installation with its modification time.
    void Put(const std::string& name, size_t size, time_t mtime) {
        const std::string path = P("inst/" + name);
        Sh("mkdir -p \"$(dirname " + path + ")\"");
        ASSERT_TRUE(WriteText(path, std::string(size, 'x')));
        const utimbuf times = {mtime, mtime};
        ASSERT_EQ(utime(path.c_str(), &times), 0);
    }
    Run Check(const std::string& files, const std::string& extra = "") {
        WriteText(P("meta.json"), "{\"id\": \"m1\", \"files\": [" + files + "]}");
        return One("RepositoryFileCheck", "\"metafile\": " + Q(P("meta.json")) + ", \"path\": " + Q(P("inst")) +
                                              ", \"valid\": \"yes\", \"notValid\": \"no\", \"authenticate\": false" + extra);
    }
};

TEST_F(RepositoryFileCheckTest, ManifestAgainstTheTree) {
    Put("a.txt", 5, 1000);
    Put("sub/b.bin", 300, 2000);
    ASSERT_EQ(symlink(P("inst/sub").c_str(), P("inst/via").c_str()), 0);
    WriteText(P("outside.txt"), "12345");
    ASSERT_EQ(symlink("sub/b.bin", P("inst/l").c_str()), 0);
    const std::string a = "{\"name\": \"a.txt\", \"size\": 5, \"mtime\": 1000}";
    const std::string b = "{\"name\": \"sub/b.bin\", \"size\": 300, \"mtime\": 2000.7}";
    struct Case {
        std::string files, extra, marker, printed, error;
    } cases[] = {
        {a + ", " + b, "", "yes", "Checking repository files - " + P("inst"), ""},
        {"", "", "no", "", "RepositoryFileCheck_Error_MetaFile"},
        {a + ", {\"name\": \"gone\", \"size\": 1, \"mtime\": 1}", "", "no",
         "File does not exist - " + P("inst/gone"), ""},
        {"{\"name\": \"a.txt\", \"size\": 3, \"mtime\": 1000}", "", "no",
         "File size does not match - " + P("inst/a.txt") + " (3:5)", ""},
        {"{\"name\": \"a.txt\", \"size\": 5, \"mtime\": 1001}", "", "no",
         "File modified time does not match - " + P("inst/a.txt") + " (1001:1000)", ""},
        {"{\"name\": \"a.txt\", \"size\": 5, \"mtime\": 1001}", ", \"timestamp\": false", "yes", "", ""},
        {"{\"name\": \"a.txt\", \"size\": 5}", "", "no", "Invalid metafile format (missing mtime)",
         "RepositoryFileCheck_Error_MetaFile"},
        {"{\"name\": \"a.txt\"}", "", "no", "Invalid metafile format (missing name or size)",
         "RepositoryFileCheck_Error_MetaFile"},
        // Names never reach outside the installation, nor through a link inside it.
        {"{\"name\": \"../outside.txt\", \"size\": 5, \"mtime\": 0}", ", \"timestamp\": false", "no",
         "File does not exist", ""},
        {"{\"name\": \"via/b.bin\", \"size\": 300, \"mtime\": 2000}", "", "no", "File does not exist", ""},
        // A link entry is checked as a link: where it points, not its size or time.
        {a + ", {\"name\": \"l\", \"size\": 0, \"attr\": 8, \"link\": \"sub/b.bin\", \"mtime\": 5}", "", "yes",
         "", ""},
        {"{\"name\": \"l\", \"size\": 0, \"attr\": 8, \"link\": \"a.txt\", \"mtime\": 5}", "", "no",
         "Link target does not match - " + P("inst/l") + " (a.txt:sub/b.bin)", ""},
        {"{\"name\": \"a.txt\", \"size\": 0, \"attr\": 8, \"link\": \"a.txt\"}", "", "no", "File does not exist", ""},
        // A manifest's name is escaped in the log line: it cannot make a line of its own.
        {"{\"name\": \"gone\\nINFO - forged\", \"size\": 1, \"mtime\": 1}", "", "no",
         "File does not exist - " + P("inst/gone") + "\\nINFO - forged", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.files + c.extra);
        lines.clear();
        started.clear();
        const Run run = Check(c.files, c.extra);
        ASSERT_TRUE(run.ended);
        EXPECT_EQ(Marker(), c.marker);
        if (!c.printed.empty()) {
            EXPECT_TRUE(Printed(c.printed)) << ::testing::PrintToString(lines);
        }
        EXPECT_EQ(run.errors, c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error});
        if (c.marker == "yes") {
            EXPECT_EQ(LastNumber("progress"), 1.0);
        }
    }
}

TEST_F(RepositoryFileCheckTest, UnreadableManifestAndMissingArguments) {
    Run run = One("RepositoryFileCheck", "\"metafile\": " + Q(P("none.json")) + ", \"path\": " + Q(P("inst")) +
                                             ", \"notValid\": \"no\", \"authenticate\": false");
    EXPECT_EQ(Marker(), "no");
    EXPECT_EQ(run.errors, std::vector<std::string>{"RepositoryFileCheck_Error_MetaFile"});
    WriteText(P("bad.json"), "{\"files\": [");
    started.clear();
    run = One("RepositoryFileCheck", "\"metafile\": " + Q(P("bad.json")) + ", \"path\": " + Q(P("inst")) +
                                         ", \"notValid\": \"no\", \"authenticate\": false");
    EXPECT_EQ(Marker(), "no");
    ASSERT_FALSE(run.errors.empty());
    EXPECT_EQ(run.errors.back(), "RepositoryFileCheck_Error_MetaFile") << "after the decoder's own error";
    started.clear();
    run = One("RepositoryFileCheck", "\"metafile\": " + Q(P("bad.json")) + ", \"notValid\": \"no\", \"authenticate\": false");
    EXPECT_EQ(Marker(), "none");
    EXPECT_EQ(run.errors, std::vector<std::string>{"Task_Error_MissingArg"});
}

} // namespace
