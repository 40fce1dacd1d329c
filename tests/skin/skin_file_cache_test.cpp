// Tests of the contents of a directory skin's files kept in memory: a kept file reads and seeks as
// the file does, and every way of changing what a name holds (in place within the same second,
// through another link, by replacing, removing or truncating it, by moving its folder) is seen by
// the next open; large files, handles that did not ask and detached skins keep nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "skin/skin_file.h"
#include "skin/skin_file_cache.h"
#include "skin/linux/skin_file_disk.h"
#include "tests/support/temp_dir.h"

namespace {

// Public: the change table's steps reach the folder through the fixture.
class SkinFileCacheTest : public ::testing::Test {
  public:
    void SetUp() override { ASSERT_TRUE(AttachFresh("skin")); }

    // Detaches and attaches a new skin folder (with a "js" folder) under the test's folder.
    bool AttachFresh(const std::string& name) {
        SkinFile_Remove();
        root = dir.file(name);
        mkdir(root.c_str(), 0700);
        mkdir((root + "/js").c_str(), 0700);
        return SkinFile_Attach(root.c_str()) == 1;
    }
    void TearDown() override { SkinFile_Remove(); }

    // The whole content through a handle that asked for the cache; "<missing>" when it does not open.
    static std::string Read(const char* name, bool cached = true) {
        SkinFile* file = nullptr;
        SkinFile_Create(&file);
        SkinFile_SetUseCache(file, cached ? 1 : 0);
        std::string data = "<missing>";
        if (SkinFile_Open(file, name)) {
            data.clear();
            char buffer[7];
            uint32_t got = 0;
            while (SkinFile_Read(file, buffer, sizeof(buffer), &got) || got) data.append(buffer, got);
        }
        SkinFile_Release(&file);
        return data;
    }

    static uint32_t Kept() {
        uint32_t count = 0;
        uint64_t bytes = 0;
        SkinFileCache_GetUsage(&count, &bytes);
        return count;
    }

    std::string Skin(const std::string& name) { return root + "/" + name; }

    TempDir dir;
    std::string root;
};

TEST_F(SkinFileCacheTest, KeptFileReadsAndSeeksAsTheFile) {
    std::string data;
    for (int i = 0; i < 1000; i++) data += (char)('a' + i % 26);
    ASSERT_TRUE(WriteText(Skin("js/app.js"), data));
    EXPECT_EQ(Read("js/app.js"), data);
    EXPECT_EQ(Kept(), 1u);
    EXPECT_EQ(Read("js/app.js"), data);

    SkinFile* file = nullptr;
    SkinFile_Create(&file);
    SkinFile_SetUseCache(file, 1);
    ASSERT_EQ(SkinFile_Open(file, "js/app.js"), 1);
    uint64_t size = 0;
    SkinFile_GetFilesize(file, &size);
    EXPECT_EQ(size, 1000u);
    EncodedTime modified = 0;
    SkinFile_GetModifiedDateEncoded(file, &modified);
    struct stat info;
    stat(Skin("js/app.js").c_str(), &info);
    EXPECT_EQ(modified, (double)info.st_mtim.tv_sec);
    char buffer[200];
    uint32_t got = 0;
    ASSERT_EQ(SkinFile_Seek(file, 900, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(SkinFile_Read(file, buffer, sizeof(buffer), &got), 1);
    EXPECT_EQ(std::string(buffer, got), data.substr(900));
    EXPECT_EQ(SkinFile_Read(file, buffer, sizeof(buffer), &got), 0);
    EXPECT_EQ(got, 0u);
    ASSERT_EQ(SkinFile_Seek(file, -10, SEEK_ORIGIN_END), 1);
    SkinFile_Read(file, buffer, sizeof(buffer), &got);
    EXPECT_EQ(std::string(buffer, got), data.substr(990));
    EXPECT_EQ(SkinFile_Seek(file, -1, SEEK_ORIGIN_BEGIN), 0);
    SkinFile_Release(&file);
}

TEST_F(SkinFileCacheTest, EveryChangeIsSeenByTheNextOpen) {
    struct Case {
        const char* what;
        const char* name;
        std::function<void(SkinFileCacheTest&)> change;
        std::string expected;
        // Done before the content is first read.
        std::function<void(SkinFileCacheTest&)> prepare = nullptr;
    };
    const Case cases[] = {
        {"rewritten in place, same size, same second", "index.html",
         [](SkinFileCacheTest& t) {
             FILE* f = fopen(t.Skin("index.html").c_str(), "r+");
             fputs("NEW", f);
             fclose(f);
         },
         "NEWsion-1"},
        {"written through a link outside the skin", "index.html",
         [](SkinFileCacheTest& t) {
             FILE* f = fopen((t.root + "-outside").c_str(), "r+");
             fputs("OUT", f);
             fclose(f);
         },
         "OUTsion-1",
         [](SkinFileCacheTest& t) { link(t.Skin("index.html").c_str(), (t.root + "-outside").c_str()); }},
        {"replaced by a rename", "index.html",
         [](SkinFileCacheTest& t) {
             WriteText(t.root + "-next", "version-2");
             rename((t.root + "-next").c_str(), t.Skin("index.html").c_str());
         },
         "version-2"},
        {"removed", "index.html", [](SkinFileCacheTest& t) { unlink(t.Skin("index.html").c_str()); }, "<missing>"},
        {"truncated", "index.html", [](SkinFileCacheTest& t) { truncate(t.Skin("index.html").c_str(), 3); }, "ver"},
        {"its folder moved and another put in its place", "js/app.js",
         [](SkinFileCacheTest& t) {
             rename(t.Skin("js").c_str(), t.Skin("old").c_str());
             mkdir(t.Skin("js").c_str(), 0700);
             WriteText(t.Skin("js/app.js"), "other");
         },
         "other"},
        {"its folder replaced by a link", "js/app.js",
         [](SkinFileCacheTest& t) {
             rename(t.Skin("js").c_str(), (t.root + "-away").c_str());
             symlink((t.root + "-away").c_str(), t.Skin("js").c_str());
         },
         "<missing>"},
    };
    int serial = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(AttachFresh("case" + std::to_string(++serial)));
        ASSERT_TRUE(WriteText(Skin("index.html"), "version-1"));
        ASSERT_TRUE(WriteText(Skin("js/app.js"), "version-1"));
        if (c.prepare) c.prepare(*this);
        ASSERT_EQ(Read(c.name), "version-1");
        ASSERT_EQ(Read(c.name), "version-1");
        ASSERT_EQ(Kept(), 1u);
        c.change(*this);
        EXPECT_EQ(Read(c.name), c.expected);
        EXPECT_EQ(Read(c.name), c.expected);
    }
}

TEST_F(SkinFileCacheTest, KeepsOnlySmallFilesAskedForWhileAttached) {
    ASSERT_TRUE(WriteText(Skin("big.bin"), std::string(SKIN_FILE_CACHE_ENTRY_LIMIT + 1, 'b')));
    ASSERT_TRUE(WriteText(Skin("small.txt"), "small"));
    EXPECT_EQ(Read("big.bin").size(), SKIN_FILE_CACHE_ENTRY_LIMIT + 1);
    EXPECT_EQ(Read("small.txt", false), "small");
    EXPECT_EQ(Kept(), 0u);
    EXPECT_EQ(Read("small.txt"), "small");
    EXPECT_EQ(Kept(), 1u);
    // A handle still reading keeps its content when the skin goes.
    SkinFile* file = nullptr;
    SkinFile_Create(&file);
    SkinFile_SetUseCache(file, 1);
    ASSERT_EQ(SkinFile_Open(file, "small.txt"), 1);
    SkinFile_Remove();
    EXPECT_EQ(Kept(), 0u);
    char buffer[8];
    uint32_t got = 0;
    SkinFile_Read(file, buffer, sizeof(buffer), &got);
    EXPECT_EQ(std::string(buffer, got), "small");
    SkinFile_Release(&file);
}

// Readers on several threads share what is kept while the file keeps changing: each read is a
// content the file held (a file written in place is empty between its truncation and its write),
// and once the changes stop every reader sees the last content. Readers go on until the writer
// is done rather than for a count of tries, which a loaded machine could spend inside one gap.
TEST_F(SkinFileCacheTest, ReadersOnManyThreadsSeeTheLastContent) {
    struct Writer {
        const char* Name;
        bool Renamed; // written aside and renamed over the name: the name never holds less
    };
    for (const Writer& w : {Writer{"in place", false}, Writer{"renamed over", true}}) {
        SCOPED_TRACE(w.Name);
        ASSERT_TRUE(WriteText(Skin("shared.txt"), "content-0"));
        std::atomic<bool> done{false};
        std::vector<std::string> wrong(4), last(4);
        std::vector<int> reads(4, 0);
        std::vector<std::thread> readers;
        for (int t = 0; t < 4; t++)
            readers.emplace_back([&, t] {
                for (int i = 0; i < 1000000 && !done.load(); i++, reads[t]++) {
                    const std::string got = Read("shared.txt");
                    // In place, a read through the descriptor may also end at a truncation
                    // that came between two of its chunks: any start of a content.
                    const bool whole = got.size() == 9 && got.compare(0, 8, "content-") == 0;
                    const bool start = got.size() < 9 && std::string("content-0").compare(0, got.size(), got) == 0;
                    if (!whole && !(start && !w.Renamed)) wrong[t] = got;
                }
                last[t] = Read("shared.txt");
            });
        for (int i = 1; i <= 20; i++) {
            const std::string text = "content-" + std::to_string(i % 10);
            if (!w.Renamed) {
                WriteText(Skin("shared.txt"), text);
            } else {
                WriteText(Skin("shared.next"), text);
                rename(Skin("shared.next").c_str(), Skin("shared.txt").c_str());
            }
        }
        done = true;
        for (auto& reader : readers) reader.join();
        for (int t = 0; t < 4; t++) {
            EXPECT_EQ(wrong[t], "") << "reader " << t << " after " << reads[t] << " reads";
            EXPECT_EQ(last[t], "content-0") << "reader " << t;
        }
        EXPECT_EQ(Read("shared.txt"), "content-0");
        EXPECT_EQ(Kept(), 1u);
    }
}

// A content is kept only while its name still leads to the file that was read: one replaced
// between the open and the start of the watches would have nothing left to report the change.
TEST_F(SkinFileCacheTest, NameMustStillLeadToTheOpenFile) {
    struct Row {
        const char* Change;
        std::function<void(SkinFileCacheTest&)> Apply;
        int64_t Same;
    };
    const Row rows[] = {
        {"none", [](SkinFileCacheTest&) {}, 1},
        {"written in place", [](SkinFileCacheTest& f) { WriteText(f.Skin("js/app.js"), "other"); }, 1},
        {"renamed over",
         [](SkinFileCacheTest& f) {
             WriteText(f.Skin("js/next"), "other");
             rename(f.Skin("js/next").c_str(), f.Skin("js/app.js").c_str());
         },
         0},
        {"removed", [](SkinFileCacheTest& f) { unlink(f.Skin("js/app.js").c_str()); }, 0},
        {"folder moved and made anew",
         [](SkinFileCacheTest& f) {
             rename(f.Skin("js").c_str(), f.Skin("old").c_str());
             mkdir(f.Skin("js").c_str(), 0700);
             WriteText(f.Skin("js/app.js"), "version-1");
         },
         0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Change);
        ASSERT_TRUE(AttachFresh(std::string("skin-") + std::to_string(&row - rows)));
        ASSERT_TRUE(WriteText(Skin("js/app.js"), "version-1"));
        int32_t top = -1, fd = -1, outcome = 0;
        uint64_t size = 0;
        double modified = 0;
        ASSERT_EQ(SkinDisk_OpenRoot(root.c_str(), &top), 1);
        ASSERT_EQ(SkinDisk_Open(top, "js/app.js", &fd, &size, &modified, &outcome), 1);
        row.Apply(*this);
        EXPECT_EQ(SkinDisk_IsOpenFile(top, "js/app.js", fd), row.Same);
        close(fd);
        close(top);
    }
}

} // namespace
