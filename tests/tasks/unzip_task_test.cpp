// The Unzip task through the engine, over archives made by zip, 7z and Python's zipfile: patterns,
// encryption, progress, error keys, and entries that would land outside the output directory.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/platform/zip_file.h"
#include "tasks/unzip_archive.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/scoped_locale.h"
#include "tests/tasks/file_task_fixture.h"

namespace {

const bool g_bounded = BoundEveryTest();

class UnzipTest : public FileTaskTest {
  protected:
    // Runs Python's zipfile with `zf` open for writing the archive at `zip`.
    bool PyZip(const std::string& zip, const std::string& body) {
        const std::string script = "import zipfile,sys\nzf=zipfile.ZipFile(sys.argv[1],'w',zipfile.ZIP_DEFLATED)\n" +
                                   body + "\nzf.close()\nprint('ok')\n";
        std::string path = P("make.py");
        FILE* f = fopen(path.c_str(), "w");
        if (!f) return false;
        fputs(script.c_str(), f);
        fclose(f);
        return Sh("/usr/bin/python3 " + path + " " + zip) == "ok\n";
    }
    Run Unzip(const std::string& zip, const std::string& out, const std::string& extra = "", double seconds = 30) {
        return One("Unzip", "\"path\": " + Q(zip) + ", \"outputDirectory\": " + Q(out) + extra, seconds);
    }
    // Every name below `root`, recursively, "/"-joined and sorted.
    static void List(const std::string& root, const std::string& prefix, std::vector<std::string>& names) {
        DIR* d = opendir(root.c_str());
        if (!d) return;
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            names.push_back(prefix + name);
            if (e->d_type == DT_DIR) List(root + "/" + name, prefix + name + "/", names);
        }
        closedir(d);
        std::sort(names.begin(), names.end());
    }
    std::vector<std::string> Tree(const std::string& root) {
        std::vector<std::string> names;
        List(root, "", names);
        return names;
    }
    using Names = std::vector<std::string>;
    static std::vector<std::string> E(const char* key) { return {key}; }
};

TEST_F(UnzipTest, ExtractsEveryEntryWithStatusLinesAndProgress) {
    ASSERT_TRUE(PyZip(P("a.zip"), "zf.writestr('top.txt','hello')\nzf.writestr('sub/deep.bin', bytes(range(256))*400)"));
    const Run run = Unzip(P("a.zip"), P("out"), ", \"verbose\": true");
    ASSERT_TRUE(run.successful) << ::testing::PrintToString(run.errors);
    EXPECT_EQ(ReadFile(P("out/top.txt")), "hello");
    EXPECT_EQ(ReadFile(P("out/sub/deep.bin")).size(), 102400u);
    EXPECT_EQ(Tree(P("out")), (Names{"sub", "sub/deep.bin", "top.txt"}));
    EXPECT_TRUE(Printed("Start - " + P("a.zip") + " -> " + P("out")));
    EXPECT_TRUE(Printed("Extracting sub/deep.bin -> " + P("out") + "/sub/deep.bin"));
    // The first entry done is 5 of 102405 bytes; the second completes the whole. "%02f" takes
    // the formatter's default precision of twelve places.
    EXPECT_TRUE(Printed("Progress - File 1.000000000000 Overall 0.00"));
    EXPECT_TRUE(Printed("Progress - File 1.000000000000 Overall 1.00"));
    EXPECT_EQ(Last("pathInZip"), "sub/deep.bin");
    EXPECT_EQ(Last("outputPath"), P("out") + "/sub/deep.bin");
    EXPECT_EQ(LastNumber("progress"), 1);
    // Made by us: private to the user.
    struct stat info;
    ASSERT_EQ(stat(P("out/sub/deep.bin").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(P("out/sub").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(UnzipTest, PatternSelectsAFolderWhateverTheCase) {
    ASSERT_TRUE(PyZip(P("a.zip"), "for n in ['Folder/a.txt','FOLDER/b.txt','folder\\\\c.txt','other/d.txt','folderx/e.txt']: "
                                  "zf.writestr(n,n)"));
    ASSERT_TRUE(Unzip(P("a.zip"), P("out"), ", \"pathInZip\": \"folder/*\"").successful);
    EXPECT_EQ(Tree(P("out")), (Names{"FOLDER", "FOLDER/b.txt", "Folder", "Folder/a.txt", "folder", "folder/c.txt"}));
    EXPECT_EQ(Unzip(P("a.zip"), P("none"), ", \"pathInZip\": \"missing/*\"").errors, E("Unzip_Error_Extract"));
    EXPECT_EQ(Tree(P("none")), Names{});
}

TEST_F(UnzipTest, PatternRules) {
    const struct {
        const char* name;
        const char* pattern;
        int64_t match;
    } cases[] = {
        {"a/b/c.txt", "*", 1},      {"a/b/c.txt", "A/*", 1},   {"a\\b.txt", "a/b.TXT", 1}, {"a/b.txt", "*.txt", 1},
        {"a/b.txt", "*.tx", 0},     {"ab", "a*b*", 1},         {"abc", "a*c*d", 0},        {"", "*", 1},
        {"x", "", 0},               {"aaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*c", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(Unzip_MatchPattern(c.name, c.pattern), c.match) << c.name << " " << c.pattern;
    // Letters fold A-Z only, the same in a Turkish locale (whose 'I' is no capital 'i').
    USE_LOCALE_OR_SKIP(turkish, "tr_TR.UTF-8");
    for (const auto& [name, pattern] : {std::pair{"config/LINK.INI", "Config/link.ini"}, {"bin/init", "BIN/INIT"}})
        EXPECT_EQ(Unzip_MatchPattern(name, pattern), 1) << name << " " << pattern;
}

TEST_F(UnzipTest, OpenAndArgumentFailures) {
    ASSERT_TRUE(Sh("printf 'not a zip' > " + P("plain.zip") + "; echo ok") == "ok\n");
    EXPECT_EQ(Unzip(P("plain.zip"), P("out")).errors, E("Unzip_Error_Open"));
    EXPECT_EQ(Unzip(P("absent.zip"), P("out")).errors, E("Unzip_Error_Open"));
    EXPECT_EQ(One("Unzip", "\"path\": " + Q(P("a.zip"))).errors, E("Task_Error_MissingArg"));
    EXPECT_TRUE(Printed("outputDirectory argument not defined"));
    EXPECT_EQ(threads.load(), 2);
}

TEST_F(UnzipTest, ZipToolArchivesStoredDeflatedAndEncrypted) {
    ASSERT_EQ(Sh("cd " + dir.path() + " && mkdir src && printf 'stored text' > src/s.txt && seq 1 2000 > src/d.txt"
                  " && zip -q -0 stored.zip src/s.txt && zip -q -9 deflated.zip src/d.txt"
                  " && zip -q -e -P secret enc.zip src/s.txt src/d.txt && echo ok"),
              "ok\n");
    ASSERT_TRUE(Unzip(P("stored.zip"), P("o1")).successful);
    EXPECT_EQ(ReadFile(P("o1/src/s.txt")), "stored text");
    ASSERT_TRUE(Unzip(P("deflated.zip"), P("o2")).successful);
    EXPECT_EQ(ReadFile(P("o2/src/d.txt")), ReadFile(P("src/d.txt")));
    const struct {
        const char* extra;
        bool ok;
    } cases[] = {{"", false}, {", \"password\": \"wrong\"", false}, {", \"password\": \"secret\"", true}};
    int n = 0;
    for (const auto& c : cases) {
        const std::string out = P("e" + std::to_string(n++));
        const Run run = Unzip(P("enc.zip"), out, c.extra);
        EXPECT_EQ(run.successful, c.ok) << c.extra;
        if (c.ok) {
            EXPECT_EQ(ReadFile(out + "/src/d.txt"), ReadFile(P("src/d.txt")));
        } else {
            EXPECT_EQ(run.errors, E("Unzip_Error_Extract")) << c.extra;
            // A wrong key leaves no file, whole or partial.
            EXPECT_EQ(Tree(out + "/src"), Names{}) << c.extra;
        }
    }
}

TEST_F(UnzipTest, AesEntryFromSevenZipIsNotRead) {
    ASSERT_EQ(Sh("cd " + dir.path() + " && printf 'aes' > x.txt && 7z a -tzip -mem=AES256 -psecret aes.zip x.txt"
                  " >/dev/null && echo ok"),
              "ok\n");
    const Run run = Unzip(P("aes.zip"), P("out"), ", \"password\": \"secret\"");
    EXPECT_EQ(run.errors, E("Unzip_Error_Extract"));
    EXPECT_EQ(Tree(P("out")), Names{});
}

TEST_F(UnzipTest, EmptyEntriesSucceedWithFullProgress) {
    ASSERT_TRUE(PyZip(P("a.zip"), "zf.writestr('d/','')\nzf.writestr('d/empty','')"));
    ASSERT_TRUE(Unzip(P("a.zip"), P("out")).successful);
    EXPECT_EQ(Tree(P("out")), (Names{"d", "d/empty"}));
    EXPECT_EQ(LastNumber("progress"), 1);
}

// Names that leave the output directory refuse the whole archive before anything is written,
// even the harmless entry that comes first.
TEST_F(UnzipTest, HostileNamesRefuseTheArchiveBeforeAnyWrite) {
    const char* hostile[] = {"../evil", "/tmp/evil-abs", "a/../../evil", "a\\\\..\\\\..\\\\evil", "..", "ok/..\\\\..\\\\evil"};
    int n = 0;
    for (const char* name : hostile) {
        const std::string zip = P("h" + std::to_string(n) + ".zip"), out = P("box/out" + std::to_string(n++));
        ASSERT_TRUE(PyZip(zip, std::string("zf.writestr('first.txt','x')\nzf.writestr('") + name + "','bad')"));
        EXPECT_EQ(Unzip(zip, out).errors, E("Unzip_Error_Extract")) << name;
        EXPECT_EQ(Tree(P("box")), Names{}) << name;
    }
    EXPECT_EQ(Tree("/tmp/evil-abs").size(), 0u);
    EXPECT_NE(access("/tmp/evil-abs", F_OK), 0);
}

TEST_F(UnzipTest, SymbolicLinkInTheWayRefusesTheArchive) {
    ASSERT_EQ(mkdir(P("out").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(P("elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(symlink(P("elsewhere").c_str(), P("out/link").c_str()), 0);
    ASSERT_EQ(symlink(P("elsewhere/target").c_str(), P("out/file").c_str()), 0);
    for (const char* name : {"link/inside.txt", "file"}) {
        ASSERT_TRUE(PyZip(P("l.zip"), std::string("zf.writestr('first.txt','x')\nzf.writestr('") + name + "','bad')"));
        EXPECT_EQ(Unzip(P("l.zip"), P("out")).errors, E("Unzip_Error_Extract")) << name;
        EXPECT_EQ(Tree(P("elsewhere")), Names{}) << name;
        EXPECT_EQ(Tree(P("out")), (Names{"file", "link"})) << name;
    }
}

// Only a file is read as an archive, and an entry replaces a file or nothing: a FIFO at an
// entry's name stays a FIFO and fails the archive, a device as the archive is refused naming it.
TEST_F(UnzipTest, AFifoOrDeviceInTheWayIsNeverReplaced) {
    ASSERT_EQ(mkdir(P("out").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(P("out/pipe").c_str(), 0600), 0);
    ASSERT_TRUE(PyZip(P("f.zip"), "zf.writestr('first.txt','x')\nzf.writestr('pipe','bad')"));
    EXPECT_EQ(Unzip(P("f.zip"), P("out")).errors, E("Unzip_Error_Extract"));
    struct stat info;
    ASSERT_EQ(lstat(P("out/pipe").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(Unzip("/dev/zero", P("out")).errors, E("Platform_Error_NotSupported"));
    EXPECT_TRUE(Printed("/dev/zero: Operation not supported"));
}

// An entry that a later one needs as a folder (a link entry, which is written as a file, or a
// plain file), a file where an earlier entry made a folder, or one where a folder stands already:
// the archive is refused before anything is written, the harmless first entry included.
TEST_F(UnzipTest, EntriesInTheWayOfLaterOnesRefuseTheArchiveBeforeAnyWrite) {
    ASSERT_EQ(mkdir(P("outside").c_str(), 0700), 0);
    const auto linkAt = [&](const std::string& name) {
        return "zi=zipfile.ZipInfo('" + name + "')\nzi.create_system=3\nzi.external_attr=0o120777<<16\nzf.writestr(zi,'" +
               P("outside") + "')\n";
    };
    const std::string link = linkAt("l");
    const struct {
        const char* name;
        std::string body;
    } cases[] = {
        {"link then below it", link + "zf.writestr('l/evil4','bad')"},
        {"link in a folder then below it", linkAt("d/l") + "zf.writestr('d/l/x.txt','bad')"},
        {"file then below it", "zf.writestr('a','x')\nzf.writestr('a/b','bad')"},
        {"file then folder entry", "zf.writestr('e','x')\nzf.writestr('e/','')"},
        {"folder then file", "zf.writestr('d/x','x')\nzf.writestr('d','bad')"},
        {"folder on disk", "zf.writestr('disk','bad')"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string zip = P("w" + std::to_string(n) + ".zip"), out = P("box" + std::to_string(n++));
        ASSERT_TRUE(PyZip(zip, "zf.writestr('ok.txt','x')\n" + c.body)) << c.name;
        ASSERT_EQ(mkdir(out.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((out + "/disk").c_str(), 0700), 0);
        EXPECT_EQ(Unzip(zip, out).errors, E("Unzip_Error_Extract")) << c.name;
        EXPECT_EQ(Tree(out), Names{"disk"}) << c.name;
        EXPECT_EQ(Tree(P("outside")), Names{}) << c.name;
    }
    // The same entries in an order that works are extracted.
    ASSERT_TRUE(PyZip(P("fine.zip"), "import warnings\nwarnings.simplefilter('ignore')\nzf.writestr('a/b','x')\nzf.writestr('a/','')\nzf.writestr('a/b','y')"));
    ASSERT_TRUE(Unzip(P("fine.zip"), P("fine")).successful);
    EXPECT_EQ(ReadFile(P("fine/a/b")), "y");
}

// Entry names are the archive's: a control character in one is escaped in the log line, which
// stays one line.
TEST_F(UnzipTest, EntryNamesInLogLinesAreEscaped) {
    ASSERT_TRUE(PyZip(P("n.zip"), "zf.writestr('a\\nINFO - forged\\t\\x01.txt','x')"));
    ASSERT_TRUE(Unzip(P("n.zip"), P("out")).successful);
    EXPECT_EQ(ReadFile(P("out/a\nINFO - forged\t\x01.txt")), "x");
    EXPECT_TRUE(Printed("Extracting a\\nINFO - forged\\t\\x01.txt -> " + P("out") + "/a\\nINFO - forged\\t\\x01.txt"));
    EXPECT_FALSE(Printed("\nINFO - forged"));
}

TEST_F(UnzipTest, DamagedArchivesFailWithoutPartialFiles) {
    ASSERT_TRUE(PyZip(P("a.zip"), "import os\nzf.writestr('big.bin', os.urandom(300000))"));
    const std::string whole = ReadFile(P("a.zip"));
    struct Damage {
        const char* name;
        std::string bytes;
        const char* key;
    };
    std::string liar = whole;
    // The central directory claims a larger uncompressed size than the entry holds.
    const size_t central = liar.rfind(std::string("PK\x01\x02", 4));
    ASSERT_NE(central, std::string::npos);
    liar[central + 24] ^= 0x10;
    std::string flipped = whole;
    flipped[1000] ^= 0xff;
    const Damage cases[] = {{"truncated", whole.substr(0, whole.size() / 2), "Unzip_Error_Open"},
                            {"lying", liar, "Unzip_Error_Extract"},
                            {"corrupt", flipped, "Unzip_Error_Extract"}};
    for (const auto& c : cases) {
        const std::string zip = P(std::string(c.name) + ".zip"), out = P(std::string("o-") + c.name);
        FILE* f = fopen(zip.c_str(), "wb");
        fwrite(c.bytes.data(), 1, c.bytes.size(), f);
        fclose(f);
        EXPECT_EQ(Unzip(zip, out).errors, E(c.key)) << c.name;
        EXPECT_EQ(Tree(out), Names{}) << c.name;
    }
}

TEST_F(UnzipTest, SixtyFiveThousandEntriesAreWalked) {
    ASSERT_TRUE(PyZip(P("many.zip"), "zf.compression=zipfile.ZIP_STORED\nfor i in range(65535): zf.writestr('e%05d' % i, '')\n"
                                     "zf.writestr('last.txt','end')"));
    // The walk takes a few seconds under the sanitizers, more on a busy machine (the whole test is
    // bounded at 120 s).
    ASSERT_TRUE(Unzip(P("many.zip"), P("out"), ", \"pathInZip\": \"last.*\"", 100).successful);
    EXPECT_EQ(Tree(P("out")), Names{"last.txt"});
}

// Extracting goes back and forth between the central directory and each entry's local header and
// data; the archive is still read about once (it once cost two 64 KiB reads per entry).
TEST_F(UnzipTest, ManyEntriesAreExtractedReadingTheArchiveAboutOnce) {
    ASSERT_TRUE(PyZip(
        P("many.zip"),
        "for i in range(4096): zf.writestr('d%02d/e%04d.txt' % (i % 32, i), 'entry %d ' % i * (i % 40))"));
    const uint64_t size = ReadFile(P("many.zip")).size();
    uint64_t before = 0, after = 0;
    ASSERT_EQ(ZipFile_GetReadTotals(&before, nullptr), 1);
    ASSERT_TRUE(Unzip(P("many.zip"), P("out"), "", 100).successful);
    ASSERT_EQ(ZipFile_GetReadTotals(&after, nullptr), 1);
    EXPECT_EQ(Tree(P("out")).size(), 4096u + 32u);
    std::string expected;
    for (int32_t i = 0; i < 39; i++) expected += "entry 39 ";
    EXPECT_EQ(ReadFile(P("out/d07/e0039.txt")), expected);
    EXPECT_LE(after - before, 2 * size);
    EXPECT_GE(after - before, size / 2);
}

// The thread does not wait for the main loop at each entry: with the loop standing still every
// entry is written; once it turns, the statuses are published and the last one is the last entry's.
TEST_F(UnzipTest, EntriesAreWrittenWhileTheMainLoopStandsStill) {
    ASSERT_TRUE(PyZip(P("a.zip"), "for i in range(40): zf.writestr('e%02d.txt' % i, 'x' * i)"));
    Define("{\"u\": {\"type\": \"Unzip\", \"path\": " + Q(P("a.zip")) + ", \"outputDirectory\": " + Q(P("out")) +
           "}}");
    Start("u");
    ASSERT_TRUE(PumpUntil([&] { return Printed("Extracting e00.txt -> " + P("out") + "/e00.txt"); }, 60));
    EXPECT_TRUE(StepUntil([&] { return Tree(P("out")).size() == 40; }, [] { usleep(1000); }, 20))
        << Tree(P("out")).size();
    ASSERT_TRUE(PumpUntil([&] { return Result("u").ended; }, 60));
    EXPECT_TRUE(Result("u").successful);
    EXPECT_EQ(ReadFile(P("out/e39.txt")), std::string(39, 'x'));
    EXPECT_EQ(Status("u", "pathInZip"), "e39.txt");
    EXPECT_EQ(Status("u", "outputPath"), P("out") + "/e39.txt");
}

TEST_F(UnzipTest, CancelStopsALargeEntry) {
    ASSERT_TRUE(PyZip(P("big.zip"), "zf.compression=zipfile.ZIP_STORED\nzf.writestr('huge.bin', b'z'*(400<<20))"));
    Define("{\"u\": {\"type\": \"Unzip\", \"path\": " + Q(P("big.zip")) + ", \"outputDirectory\": " + Q(P("out")) +
           ", \"success\": \"after\"}, \"after\": {\"type\": \"DirectoryExists\", \"path\": \"/\"}}");
    Start("u");
    ASSERT_TRUE(PumpUntil([&] { return Status("u", "pathInZip") == "huge.bin"; }, 60));
    Task* task = nullptr;
    ASSERT_EQ(Workflow_FindTaskByName(workflow, "u", &task), 1);
    ASSERT_EQ(Task_Cancel(task), 1);
    ASSERT_TRUE(PumpUntil([&] { return Result("u").ended; }, 60));
    EXPECT_EQ(Result("u").errors, E("Task_Error_Cancelled"));
    EXPECT_FALSE(Started("after"));
    EXPECT_EQ(Tree(P("out")), Names{});
}

TEST_F(UnzipTest, EntryPathRules) {
    const struct {
        const char* name;
        int64_t ok;
        const char* path;
        uint32_t directory;
    } cases[] = {{"a/./b//c", 1, "a/b/c", 0}, {"a\\b\\", 1, "a/b", 1}, {"./", 1, "", 1},
                 {"/abs", 0, "", 0},          {"\\abs", 0, "", 0},     {"a/../b", 0, "", 0},
                 {"a/..", 0, "", 0},          {"..a/b..", 1, "..a/b..", 0}};
    for (const auto& c : cases) {
        char out[64];
        uint32_t directory = 9;
        EXPECT_EQ(Unzip_EntryPath(c.name, out, sizeof(out), &directory), c.ok) << c.name;
        EXPECT_STREQ(out, c.path) << c.name;
        if (c.ok) {
            EXPECT_EQ(directory, c.directory) << c.name;
        }
    }
}

} // namespace
