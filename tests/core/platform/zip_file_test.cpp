// Tests of the zip library's operating-system layer: the file stream, the minizip file functions,
// file, directory, link and path operations, attribute and date conversions, archives made by the
// zip tool read back and archives written here read by unzip, and damaged archives.
#include "core/platform/zip_file.h"

#include <gtest/gtest.h>

#include <minizip/unzip.h>
#include <minizip/zip.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/linux/platform_error.h"
#include "core/linux/platform_file.h"
#include "core/platform/path.h"
#include "tests/core/platform/path_test_support.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace {

// Entries of a directory besides "." and "..".
size_t CountEntries(const std::string& directory) {
    size_t count = 0;
    if (DIR* d = opendir(directory.c_str())) {
        while (struct dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) count++;
        closedir(d);
    }
    return count;
}

int Shell(const std::string& command) {
    const int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

// Bytes that deflate partly: runs of text between pseudo-random stretches.
std::string Sample(size_t size, uint32_t seed) {
    std::string out;
    out.reserve(size);
    uint32_t state = seed * 2654435761u + 1;
    while (out.size() < size) {
        state = state * 1103515245u + 12345u;
        if ((state >> 16) % 3 == 0) {
            out += "the quick brown fox jumps over the lazy dog ";
        } else {
            for (int32_t i = 0; i < 32; i++) {
                state = state * 1103515245u + 12345u;
                out += (char)(state >> 24);
            }
        }
    }
    out.resize(size);
    return out;
}

zlib_filefunc64_def Functions() {
    zlib_filefunc64_def functions;
    memset(&functions, 0xAB, sizeof(functions));
    ZipFile_FillFileFunc64(&functions);
    return functions;
}

struct Entry {
    std::string Name;
    std::string Data;
    unz_file_info64 Info;
};

// Every entry of the archive through the layer: UNZ_OK, or the first error met.
int ReadArchive(const std::string& path, std::vector<Entry>* entries) {
    entries->clear();
    zlib_filefunc64_def functions = Functions();
    unzFile archive = unzOpen2_64(path.c_str(), &functions);
    if (!archive) return UNZ_BADZIPFILE;
    int result = unzGoToFirstFile(archive);
    while (result == UNZ_OK) {
        Entry entry;
        char name[1024];
        // minizip terminates a name only when the buffer has room to spare.
        name[sizeof(name) - 1] = 0;
        result =
            unzGetCurrentFileInfo64(archive, &entry.Info, name, sizeof(name) - 1, nullptr, 0, nullptr, 0);
        if (result != UNZ_OK) break;
        entry.Name = name;
        result = unzOpenCurrentFile(archive);
        if (result != UNZ_OK) break;
        char buffer[65536];
        int read = 0;
        while ((read = unzReadCurrentFile(archive, buffer, sizeof(buffer))) > 0)
            entry.Data.append(buffer, read);
        const int closed = unzCloseCurrentFile(archive);
        result = read < 0 ? read : closed;
        // minizip checks the CRC only of data read to the recorded size: a damaged deflate stream
        // that ends early comes back short without an error, so the size is the reader's check.
        // (It reports 0xFFFFFFFF for sizes kept in a zip64 field.)
        if (result == UNZ_OK && entry.Info.uncompressed_size != 0xFFFFFFFFu &&
            entry.Data.size() != entry.Info.uncompressed_size)
            result = UNZ_BADZIPFILE;
        if (result != UNZ_OK) break;
        entries->push_back(entry);
        result = unzGoToNextFile(archive);
    }
    unzClose(archive);
    return result == UNZ_END_OF_LIST_OF_FILE ? UNZ_OK : result;
}

std::map<std::string, std::string> ByName(const std::vector<Entry>& entries) {
    std::map<std::string, std::string> out;
    for (const Entry& e : entries) out[e.Name] = e.Data;
    return out;
}

struct NewEntry {
    std::string Name;
    std::string Data;
    int Method;
    int Zip64;
    uint32_t DosDate;
};

// Writes (or, with append, adds to) an archive through the layer; ZIP_OK or the first error.
int WriteArchive(const std::string& path, const std::vector<NewEntry>& entries,
                 int append = APPEND_STATUS_CREATE, const char* comment = nullptr) {
    zlib_filefunc64_def functions = Functions();
    zipFile archive = zipOpen2_64(path.c_str(), append, nullptr, &functions);
    if (!archive) return ZIP_ERRNO;
    int result = ZIP_OK;
    for (const NewEntry& e : entries) {
        zip_fileinfo info;
        memset(&info, 0, sizeof(info));
        info.dosDate = e.DosDate ? e.DosDate : 0x58210000; // 2024-01-01 00:00:00
        result = zipOpenNewFileInZip3_64(archive, e.Name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                         e.Method, e.Method ? Z_BEST_COMPRESSION : 0, 0, -MAX_WBITS,
                                         DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, e.Zip64);
        if (result == ZIP_OK && !e.Data.empty())
            result = zipWriteInFileInZip(archive, e.Data.data(), (unsigned)e.Data.size());
        if (result == ZIP_OK) result = zipCloseFileInZip(archive);
        if (result != ZIP_OK) break;
    }
    const int closed = zipClose(archive, comment);
    return result != ZIP_OK ? result : closed;
}

// Bytes that readers have taken from archive files so far.
uint64_t BytesRead() {
    uint64_t bytes = 0;
    EXPECT_EQ(ZipFile_GetReadTotals(&bytes, nullptr), 1);
    return bytes;
}

// The time zone set for a scope; the C library is told on both ends.
class Zone {
  public:
    explicit Zone(const char* zone) : tz_(std::make_unique<ScopedEnv>("TZ", zone)) { tzset(); }
    ~Zone() {
        tz_.reset();
        tzset();
    }

  private:
    std::unique_ptr<ScopedEnv> tz_;
};

TEST(ZipFileStream, Life) {
    void* stream = nullptr;
    void* made = mz_stream_os_create(&stream);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made, stream);
    EXPECT_EQ(static_cast<mz_stream*>(stream)->vtbl, mz_stream_os_get_interface());
    EXPECT_EQ(mz_stream_os_is_open(stream), MZ_STREAM_ERROR);
    // Nothing open: every operation refuses, closing succeeds.
    char byte = 0;
    EXPECT_EQ(mz_stream_os_read(stream, &byte, 1), MZ_STREAM_ERROR);
    EXPECT_EQ(mz_stream_os_write(stream, &byte, 1), MZ_STREAM_ERROR);
    EXPECT_EQ(mz_stream_os_tell(stream), MZ_STREAM_ERROR);
    EXPECT_EQ(mz_stream_os_seek(stream, 0, MZ_SEEK_SET), MZ_STREAM_ERROR);
    EXPECT_EQ(mz_stream_os_close(stream), MZ_OK);
    EXPECT_EQ(mz_stream_os_open(stream, nullptr, MZ_OPEN_MODE_READ), MZ_STREAM_ERROR);
    mz_stream_os_delete(&stream);
    EXPECT_EQ(stream, nullptr);
    mz_stream_os_delete(&stream);
    // A stream deleted while open gives its file up.
    TempDir dir;
    EXPECT_TRUE(WriteText(dir.file("a"), "abc"));
    stream = mz_stream_os_create(nullptr);
    ASSERT_EQ(mz_stream_os_open(stream, dir.file("a").c_str(), MZ_OPEN_MODE_READ), MZ_OK);
    mz_stream_os_delete(&stream);
    EXPECT_EQ(stream, nullptr);
}

TEST(ZipFileStream, OpenModes) {
    struct Case {
        const char* label;
        int32_t mode;
        bool exists;
        int32_t opened;
        const char* write; // written after opening, when opened
        const char* after; // content afterwards; null: the file must not exist
    };
    const int32_t read = MZ_OPEN_MODE_READ, write = MZ_OPEN_MODE_WRITE;
    const int32_t append = MZ_OPEN_MODE_APPEND, create = MZ_OPEN_MODE_CREATE;
    const Case cases[] = {
        {"read existing", read, true, MZ_OK, nullptr, "old"},
        {"read missing", read, false, MZ_STREAM_ERROR, nullptr, nullptr},
        {"read|write alone", read | write, true, MZ_STREAM_ERROR, nullptr, "old"},
        {"create truncates", read | write | create, true, MZ_OK, "new", "new"},
        {"create makes a new file", read | write | create, false, MZ_OK, "new", "new"},
        {"write|create", write | create, true, MZ_OK, "x", "x"},
        {"append keeps the content", read | write | append, true, MZ_OK, "+more", "old+more"},
        {"append needs the file", read | write | append, false, MZ_STREAM_ERROR, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const std::string path = dir.file("f");
        if (c.exists) {
            EXPECT_TRUE(WriteText(path, "old", 0444));
        }
        void* stream = mz_stream_os_create(nullptr);
        ASSERT_EQ(mz_stream_os_open(stream, path.c_str(), c.mode), c.opened);
        if (c.opened == MZ_OK) {
            EXPECT_EQ(mz_stream_os_is_open(stream), MZ_OK);
            if (c.mode & append) {
                EXPECT_EQ(mz_stream_os_tell(stream), 3);
            }
            if (c.mode & create) {
                char buffer[8];
                EXPECT_EQ(mz_stream_os_read(stream, buffer, sizeof(buffer)), 0);
            }
            if (c.write) {
                EXPECT_EQ(mz_stream_os_write(stream, c.write, (int32_t)strlen(c.write)),
                          (int32_t)strlen(c.write));
            }
        } else {
            EXPECT_EQ(mz_stream_os_is_open(stream), MZ_STREAM_ERROR);
        }
        EXPECT_EQ(mz_stream_os_close(stream), MZ_OK);
        mz_stream_os_delete(&stream);
        if (c.after) {
            EXPECT_EQ(ReadFile(path), c.after);
        } else {
            EXPECT_FALSE(FileExists(path));
        }
        // Refused modes and reading leave the file as it was, read-only mode included.
        if (c.exists && (c.opened != MZ_OK || c.mode == read)) {
            EXPECT_EQ(path_test::ModeOf(path) & 0777, 0444u);
        }
    }

    // A failed open keeps the platform's reason. Only a created archive gets its directories.
    TempDir dir;
    void* stream = mz_stream_os_create(nullptr);
    ASSERT_EQ(mz_stream_os_open(stream, dir.file("missing").c_str(), read), MZ_STREAM_ERROR);
    EXPECT_EQ(mz_stream_os_error(stream), PLATFORM_ERROR_ERRNO_BASE + ENOENT);
    EXPECT_EQ(mz_stream_os_open(stream, dir.file("new/a.zip").c_str(), read | write | append),
              MZ_STREAM_ERROR);
    EXPECT_EQ(mz_stream_os_error(stream), PLATFORM_ERROR_ERRNO_BASE + ENOENT);
    EXPECT_FALSE(FileExists(dir.file("new")));
    EXPECT_EQ(mz_stream_os_open(stream, dir.file("new/a.zip").c_str(), read | write | create), MZ_OK);
    EXPECT_EQ(mz_stream_os_close(stream), MZ_OK);
    EXPECT_TRUE(FileExists(dir.file("new/a.zip")));
    mz_stream_os_delete(&stream);
}

TEST(ZipFileStream, DirectoriesAreRefusedAtOnce) {
    TempDir dir;
    path_test::MakeDir(dir.file("d"));
    chmod(dir.file("d").c_str(), 0555);
    path_test::MakeLink(dir.file("d"), dir.file("link"));
    const std::string paths[] = {dir.file("d"), dir.file("d") + "/", dir.file("link")};
    const int32_t modes[] = {MZ_OPEN_MODE_READ, MZ_OPEN_MODE_READWRITE | MZ_OPEN_MODE_CREATE,
                             MZ_OPEN_MODE_READWRITE | MZ_OPEN_MODE_APPEND};
    path_test::LogCapture log;
    for (const std::string& path : paths) {
        for (int32_t mode : modes) {
            SCOPED_TRACE(path + " mode " + std::to_string(mode));
            void* stream = mz_stream_os_create(nullptr);
            EXPECT_EQ(mz_stream_os_open(stream, path.c_str(), mode), MZ_STREAM_ERROR);
            EXPECT_EQ(mz_stream_os_error(stream), PLATFORM_ERROR_ERRNO_BASE + EISDIR);
            mz_stream_os_delete(&stream);
        }
    }
    // Not one of the File's one-second retries.
    EXPECT_EQ(log.count("Retrying"), 0) << log.text();
    // Nothing was done to it: not even made writable.
    EXPECT_EQ(path_test::ModeOf(dir.file("d")), (mode_t)040555);
}

TEST(ZipFileStream, ReadWriteSeekTell) {
    TempDir dir;
    const std::string path = dir.file("data");
    EXPECT_TRUE(WriteText(path, "0123456789"));
    void* stream = mz_stream_os_create(nullptr);
    ASSERT_EQ(mz_stream_os_open(stream, path.c_str(), MZ_OPEN_MODE_READ), MZ_OK);
    char buffer[16] = {0};
    EXPECT_EQ(mz_stream_os_read(stream, buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(mz_stream_os_tell(stream), 4);

    struct Seek {
        int64_t offset;
        int32_t origin;
        int32_t result;
        int64_t position; // afterwards
    };
    const Seek seeks[] = {
        {2, MZ_SEEK_SET, MZ_OK, 2},  {3, MZ_SEEK_CUR, MZ_OK, 5},
        {-1, MZ_SEEK_END, MZ_OK, 9}, {-20, MZ_SEEK_SET, MZ_STREAM_ERROR, 9},
        {0, 3, MZ_STREAM_ERROR, 9},  {0, -1, MZ_STREAM_ERROR, 9},
        {0, MZ_SEEK_END, MZ_OK, 10},
    };
    for (const Seek& s : seeks) {
        SCOPED_TRACE(std::to_string(s.offset) + "/" + std::to_string(s.origin));
        EXPECT_EQ(mz_stream_os_seek(stream, s.offset, s.origin), s.result);
        EXPECT_EQ(mz_stream_os_tell(stream), s.position);
    }
    // The negative seek was a failure of the platform and is kept.
    EXPECT_EQ(mz_stream_os_error(stream), PLATFORM_ERROR_ERRNO_BASE + EINVAL);

    // At the end: 0 bytes, and no error recorded for it.
    void* fresh = mz_stream_os_create(nullptr);
    ASSERT_EQ(mz_stream_os_open(fresh, path.c_str(), MZ_OPEN_MODE_READ), MZ_OK);
    ASSERT_EQ(mz_stream_os_seek(fresh, 0, MZ_SEEK_END), MZ_OK);
    EXPECT_EQ(mz_stream_os_read(fresh, buffer, sizeof(buffer)), 0);
    EXPECT_EQ(mz_stream_os_error(fresh), 0);
    EXPECT_EQ(mz_stream_os_read(fresh, buffer, 0), 0);
    EXPECT_EQ(mz_stream_os_read(fresh, buffer, -1), MZ_STREAM_ERROR);
    // Writing to a file opened for reading fails with the platform's reason.
    EXPECT_EQ(mz_stream_os_write(fresh, "x", 1), MZ_STREAM_ERROR);
    EXPECT_EQ(mz_stream_os_error(fresh), PLATFORM_ERROR_ERRNO_BASE + EBADF);
    EXPECT_EQ(mz_stream_os_close(fresh), MZ_OK);
    EXPECT_EQ(mz_stream_os_close(fresh), MZ_OK);
    mz_stream_os_delete(&fresh);

    EXPECT_EQ(mz_stream_os_close(stream), MZ_OK);
    EXPECT_EQ(mz_stream_os_is_open(stream), MZ_STREAM_ERROR);
    mz_stream_os_delete(&stream);
}

// A replaced archive whose writing failed must not be reported as written: the old file stays.
// The function table reads an archive opened for reading through a buffer: every read, after any
// seek (from the start, from here, from the end; inside the held bytes or away from them; small or
// larger than the buffer), gives the file's own bytes, and the position told is the reader's.
TEST(ZipFileTable, ReadsGiveTheFilesBytesAfterEverySeek) {
    TempDir dir;
    const std::string path = dir.file("data");
    const std::string data = Sample(300000, 5);
    ASSERT_TRUE(WriteText(path, data));
    zlib_filefunc64_def f = Functions();
    voidpf file = f.zopen64_file(nullptr, path.c_str(), ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_EXISTING);
    ASSERT_NE(file, nullptr);
    struct Step {
        int64_t offset;
        int origin;
        size_t size;
        size_t at; // where the read starts
    };
    const Step steps[] = {
        {70000, ZLIB_FILEFUNC_SEEK_SET, 10, 70000},   {65536, ZLIB_FILEFUNC_SEEK_SET, 46, 65536},
        {4, ZLIB_FILEFUNC_SEEK_CUR, 2, 65586},        {0, ZLIB_FILEFUNC_SEEK_CUR, 70000, 65588},
        {0, ZLIB_FILEFUNC_SEEK_END, 30, 300000},      {299978, ZLIB_FILEFUNC_SEEK_SET, 30, 299978},
        {131000, ZLIB_FILEFUNC_SEEK_SET, 1000, 131000},
        {100, ZLIB_FILEFUNC_SEEK_SET, 200000, 100},   {0, ZLIB_FILEFUNC_SEEK_SET, 300001, 0},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::to_string(step.offset) + "/" + std::to_string(step.origin));
        ASSERT_EQ(f.zseek64_file(nullptr, file, (ZPOS64_T)step.offset, step.origin), 0);
        EXPECT_EQ(f.ztell64_file(nullptr, file), step.at);
        std::string got(step.size, '\0');
        const size_t expected = std::min(step.size, data.size() - step.at);
        EXPECT_EQ(f.zread_file(nullptr, file, got.data(), (uLong)step.size), expected);
        EXPECT_TRUE(got.substr(0, expected) == data.substr(step.at, expected));
        EXPECT_EQ(f.ztell64_file(nullptr, file), step.at + expected);
    }
    EXPECT_EQ(f.zwrite_file(nullptr, file, "x", 1), 0u);
    EXPECT_EQ(f.zclose_file(nullptr, file), 0);
    EXPECT_TRUE(ReadFile(path) == data);
}

// Seeks and reads in a seeded random order (from the start, from here, from the end; small, a
// buffer's worth, larger; inside held bytes, across their ends, before them and past the end of the
// file) give the file's own bytes, however the windows they are read through overlap.
TEST(ZipFileTable, RandomSeeksAndReadsGiveTheFilesBytes) {
    TempDir dir;
    const std::string path = dir.file("data");
    const std::string data = Sample(400000, 8);
    ASSERT_TRUE(WriteText(path, data));
    zlib_filefunc64_def f = Functions();
    voidpf file =
        f.zopen64_file(nullptr, path.c_str(), ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_EXISTING);
    ASSERT_NE(file, nullptr);
    const size_t sizes[] = {1, 4, 30, 46, 1028, 16384, 65535, 65536, 70000};
    uint32_t state = 99;
    auto next = [&](uint32_t bound) {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % bound;
    };
    size_t at = 0;
    for (int32_t step = 0; step < 3000; step++) {
        const int origin = (int)next(3);
        const int64_t offset = origin == ZLIB_FILEFUNC_SEEK_CUR   ? next(140000)
                               : origin == ZLIB_FILEFUNC_SEEK_END ? 0
                                                                  : next(data.size() + 1000);
        ASSERT_EQ(f.zseek64_file(nullptr, file, (ZPOS64_T)offset, origin), 0);
        at = origin == ZLIB_FILEFUNC_SEEK_SET   ? (size_t)offset
             : origin == ZLIB_FILEFUNC_SEEK_CUR ? at + (size_t)offset
                                                : data.size();
        const size_t size = sizes[next(sizeof(sizes) / sizeof(sizes[0]))];
        std::string got(size, '\0');
        const size_t expected = at < data.size() ? std::min(size, data.size() - at) : 0;
        ASSERT_EQ(f.zread_file(nullptr, file, got.data(), (uLong)size), expected) << step;
        ASSERT_TRUE(got.substr(0, expected) == data.substr(std::min(at, data.size()), expected)) << step;
        at += expected;
        ASSERT_EQ(f.ztell64_file(nullptr, file), at) << step;
    }
    EXPECT_EQ(f.zclose_file(nullptr, file), 0);
}

// A reader that walks two places of a file in turn (a directory entry here, a piece of an entry's
// data there), or walks back from the end in steps as the search for the end record does, reads
// each byte of the file about once.
TEST(ZipFileTable, PlacesReadInTurnAreReadAboutOnce) {
    TempDir dir;
    const std::string path = dir.file("data");
    const std::string data = Sample(1 << 20, 9);
    ASSERT_TRUE(WriteText(path, data));
    zlib_filefunc64_def f = Functions();
    struct Walk {
        int64_t start;
        int64_t step; // negative: backwards
        uint32_t size;
    };
    struct Case {
        const char* name;
        std::vector<Walk> walks; // read in turn, one read of each per round
        int32_t rounds;
        uint64_t most; // bytes read at most
    };
    constexpr uint64_t kWindow = 65536;
    const Case cases[] = {
        // The central directory at the end, 46-byte records; data from the start in 16 KiB reads.
        {"directory and data", {{700000, 46, 46}, {0, 16384, 16384}}, 40, 40 * 46 + 40 * 16384 + 2 * kWindow},
        // The directory and the local headers, 30 bytes apart.
        {"directory and headers", {{800000, 52, 52}, {0, 36, 30}}, 4000, 4000 * (52 + 36) + 2 * kWindow},
        // From the end back to the start in steps of 1 KiB, each read 1028 bytes long.
        {"backwards", {{(int64_t)data.size() - 1028, -1024, 1028}}, 1000, data.size() + 2 * kWindow},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        voidpf file =
            f.zopen64_file(nullptr, path.c_str(), ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_EXISTING);
        ASSERT_NE(file, nullptr);
        const uint64_t before = BytesRead();
        for (int32_t round = 0; round < c.rounds; round++) {
            for (const Walk& w : c.walks) {
                const int64_t at = w.start + w.step * round;
                if (at < 0) continue;
                ASSERT_EQ(f.zseek64_file(nullptr, file, (ZPOS64_T)at, ZLIB_FILEFUNC_SEEK_SET), 0);
                std::string got(w.size, '\0');
                ASSERT_EQ(f.zread_file(nullptr, file, got.data(), w.size), w.size);
                ASSERT_TRUE(got == data.substr((size_t)at, w.size)) << round;
            }
        }
        EXPECT_LE(BytesRead() - before, c.most);
        EXPECT_EQ(f.zclose_file(nullptr, file), 0);
    }
}

TEST(ZipFileStream, FailedWriteIsReportedAndKeepsTheOldFile) {
    TempDir dir;
    const std::string path = dir.file("archive.zip");
    EXPECT_TRUE(WriteText(path, "old content"));
    void* stream = mz_stream_os_create(nullptr);
    ASSERT_EQ(mz_stream_os_open(stream, path.c_str(), MZ_OPEN_MODE_READWRITE | MZ_OPEN_MODE_CREATE), MZ_OK);

    const std::string data(100, 'n');
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 4;
    // Nothing may print while the limit holds: a redirected output file is larger than 4 bytes.
    setrlimit(RLIMIT_FSIZE, &small);
    const int32_t written = mz_stream_os_write(stream, data.data(), (int32_t)data.size());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);

    EXPECT_EQ(written, MZ_STREAM_ERROR);
    EXPECT_EQ(mz_stream_os_error(stream), PLATFORM_ERROR_ERRNO_BASE + EFBIG);
    EXPECT_EQ(mz_stream_os_close(stream), MZ_STREAM_ERROR);
    mz_stream_os_delete(&stream);
    EXPECT_EQ(ReadFile(path), "old content");
    EXPECT_EQ(CountEntries(dir.path()), 1u);
}

TEST(ZipFileOs, Files) {
    TempDir dir;
    const std::string file = dir.file("file"), other = dir.file("other");
    EXPECT_TRUE(WriteText(file, "12345"));
    EXPECT_TRUE(WriteText(other, "xy"));

    EXPECT_EQ(mz_os_file_exists(file.c_str()), MZ_OK);
    EXPECT_EQ(mz_os_file_exists(dir.file("none").c_str()), MZ_EXIST_ERROR);
    EXPECT_EQ(mz_os_get_file_size(file.c_str()), 5);
    EXPECT_EQ(mz_os_get_file_size(dir.file("none").c_str()), 0);

    EXPECT_EQ(mz_os_rename(file.c_str(), other.c_str()), MZ_OK);
    EXPECT_EQ(ReadFile(other), "12345");
    EXPECT_FALSE(FileExists(file));
    EXPECT_EQ(mz_os_rename(file.c_str(), other.c_str()), MZ_INTERNAL_ERROR);

    EXPECT_EQ(mz_os_unlink(other.c_str()), MZ_OK);
    EXPECT_FALSE(FileExists(other));
    EXPECT_EQ(mz_os_unlink(other.c_str()), MZ_OK);
    EXPECT_EQ(mz_os_delete(other.c_str()), MZ_OK);

    const std::string nested = dir.file("a/b/c");
    EXPECT_EQ(mz_os_make_dir(nested.c_str()), MZ_OK);
    EXPECT_EQ(mz_os_is_dir(nested.c_str()), MZ_OK);
    EXPECT_EQ(mz_dir_make(dir.file("d").c_str()), MZ_OK);
    EXPECT_EQ(mz_dir_make(nullptr), MZ_PARAM_ERROR);
    EXPECT_EQ(mz_os_unlink(nested.c_str()), MZ_INTERNAL_ERROR);
    EXPECT_TRUE(path_test::IsDir(nested));
    EXPECT_TRUE(WriteText(file, ""));
    EXPECT_EQ(mz_os_is_dir(file.c_str()), MZ_EXIST_ERROR);
    EXPECT_EQ(mz_os_make_dir((file + "/sub").c_str()), MZ_INTERNAL_ERROR);

    uint8_t first[32] = {0}, second[32] = {0};
    EXPECT_EQ(mz_os_rand(first, sizeof(first)), 32);
    EXPECT_EQ(mz_os_rand(second, sizeof(second)), 32);
    EXPECT_NE(memcmp(first, second, sizeof(first)), 0);
    EXPECT_EQ(mz_os_rand(first, 0), 0);

    const uint64_t before = mz_os_ms_time();
    usleep(20000);
    const uint64_t after = mz_os_ms_time();
    EXPECT_GE(after, before + 20);
}

TEST(ZipFileOs, Utf8Strings) {
    struct Case {
        const char* text;
        int32_t encoding;
        const char* expected; // null: no copy
    };
    const Case cases[] = {
        {"plain", MZ_ENCODING_UTF8, "plain"},
        {"Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC",
         MZ_ENCODING_UTF8,
         "Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC"},
        {"caf\xE9 \x80", MZ_ENCODING_CODEPAGE_1252, "caf\xC3\xA9 \xE2\x82\xAC"},
        {"", MZ_ENCODING_UTF8, ""},
        {"text", 437, nullptr},
        {"text", 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint8_t* copy = mz_os_utf8_string_create(c.text, c.encoding);
        if (!c.expected) {
            EXPECT_EQ(copy, nullptr);
            continue;
        }
        ASSERT_NE(copy, nullptr);
        EXPECT_STREQ(reinterpret_cast<char*>(copy), c.expected);
        mz_os_utf8_string_delete(&copy);
        EXPECT_EQ(copy, nullptr);
    }
    EXPECT_EQ(mz_os_utf8_string_create(nullptr, MZ_ENCODING_UTF8), nullptr);
}

TEST(ZipFileOs, Links) {
    TempDir dir;
    const std::string file = dir.file("file"), link = dir.file("link");
    EXPECT_TRUE(WriteText(file, "x"));
    EXPECT_EQ(mz_os_make_symlink(link.c_str(), "file"), MZ_OK);
    EXPECT_EQ(path_test::LinkTarget(link), "file");
    EXPECT_EQ(mz_os_is_symlink(link.c_str()), MZ_OK);
    EXPECT_EQ(mz_os_is_symlink(file.c_str()), MZ_EXIST_ERROR);
    EXPECT_EQ(mz_os_is_symlink(dir.file("none").c_str()), MZ_EXIST_ERROR);
    char target[64];
    EXPECT_EQ(mz_os_read_symlink(link.c_str(), target, sizeof(target)), MZ_OK);
    EXPECT_STREQ(target, "file");
    EXPECT_EQ(mz_os_read_symlink(file.c_str(), target, sizeof(target)), MZ_INTERNAL_ERROR);
    EXPECT_EQ(mz_os_read_symlink(link.c_str(), target, 0), MZ_PARAM_ERROR);
    // A target that does not fit is refused, not cut.
    EXPECT_EQ(mz_os_read_symlink(link.c_str(), target, 3), MZ_INTERNAL_ERROR);
    EXPECT_EQ(mz_os_make_symlink(link.c_str(), "file"), MZ_INTERNAL_ERROR);
}

TEST(ZipFileOs, DirectoryListing) {
    TempDir dir;
    EXPECT_TRUE(WriteText(dir.file("a"), ""));
    EXPECT_TRUE(WriteText(dir.file(".hidden"), ""));
    path_test::MakeDir(dir.file("sub"));
    for (const std::string& path : {dir.path(), dir.path() + "/", dir.path() + "//sub/.."}) {
        SCOPED_TRACE(path);
        mz_dir* handle = mz_os_open_dir(path.c_str());
        ASSERT_NE(handle, nullptr);
        std::multiset<std::string> names;
        while (mz_dir_entry* entry = mz_os_read_dir(handle)) names.insert(entry->d_name);
        EXPECT_EQ(names, (std::multiset<std::string>{".", "..", ".hidden", "a", "sub"}));
        EXPECT_EQ(mz_os_read_dir(handle), nullptr);
        EXPECT_EQ(mz_os_close_dir(handle), MZ_OK);
    }
    EXPECT_EQ(mz_os_open_dir(dir.file("none").c_str()), nullptr);
    EXPECT_EQ(mz_os_open_dir(dir.file("a").c_str()), nullptr);
    EXPECT_EQ(mz_os_open_dir(std::string(400, 'x').c_str()), nullptr);
    EXPECT_EQ(mz_os_open_dir(nullptr), nullptr);
    EXPECT_EQ(mz_os_read_dir(nullptr), nullptr);
    EXPECT_EQ(mz_os_close_dir(nullptr), MZ_PARAM_ERROR);
}

TEST(ZipFileOs, PathTexts) {
    char home[PATH_SIZE];
    ASSERT_TRUE(Path_Resolve("~", home, sizeof(home)));
    char out[PATH_SIZE];
    EXPECT_EQ(mz_path_resolve("~/x", out, sizeof(out)), MZ_OK);
    EXPECT_EQ(std::string(out), std::string(home) + "/x");
    EXPECT_EQ(mz_path_resolve("a/./b/../c", out, sizeof(out)), MZ_OK);
    EXPECT_STREQ(out, "a/c");
    EXPECT_EQ(mz_path_resolve("abc", out, 0), MZ_PARAM_ERROR);
    EXPECT_EQ(mz_path_resolve("abcdef", out, 4), MZ_INTERNAL_ERROR);

    struct Case {
        const char* path;
        int32_t (*op)(char*);
        int32_t result;
        const char* after;
    };
    const Case cases[] = {
        {"dir/file.txt", mz_path_remove_filename, MZ_OK, "dir/"},
        {"dir/", mz_path_remove_filename, MZ_INTERNAL_ERROR, "dir/"},
        {"file", mz_path_remove_filename, MZ_OK, ""},
        {"dir/file.tar.gz", mz_path_remove_extension, MZ_OK, "dir/file.tar"},
        {"dir.d/file", mz_path_remove_extension, MZ_INTERNAL_ERROR, "dir.d/file"},
        {"file.", mz_path_remove_extension, MZ_INTERNAL_ERROR, "file."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        char text[64];
        strcpy(text, c.path);
        EXPECT_EQ(c.op(text), c.result);
        EXPECT_STREQ(text, c.after);
    }
    EXPECT_EQ(mz_path_remove_filename(nullptr), MZ_PARAM_ERROR);
    EXPECT_EQ(mz_path_remove_extension(nullptr), MZ_PARAM_ERROR);

    const char* name = nullptr;
    EXPECT_EQ(mz_path_get_filename("a/b\\c.txt", &name), MZ_OK);
    EXPECT_STREQ(name, "c.txt");
    EXPECT_EQ(mz_path_get_filename("a/b/", &name), MZ_EXIST_ERROR);
    EXPECT_EQ(mz_path_get_filename("a/b\\", &name), MZ_EXIST_ERROR);
    EXPECT_EQ(mz_path_get_filename(nullptr, &name), MZ_PARAM_ERROR);
    EXPECT_EQ(mz_path_get_filename("a", nullptr), MZ_PARAM_ERROR);
}

TEST(ZipFileAttributes, Conversions) {
    const std::pair<uint32_t, uint32_t> toWin32[] = {
        {0100644, 0x80}, {0100444, 0x81}, {0100555, 0x80},  {0100000, 0x80},
        {040755, 0x10},  {040444, 0x11},  {0120777, 0x400}, {0120444, 0x401},
    };
    for (const auto& [posix, win32] : toWin32) {
        uint32_t out = 0xFFFFFFFF;
        EXPECT_EQ(mz_zip_attrib_posix_to_win32(posix, &out), MZ_OK);
        EXPECT_EQ(out, win32) << std::oct << posix;
    }
    const std::pair<uint32_t, uint32_t> toPosix[] = {
        {0x80, 0100666}, {0x00, 0100666}, {0x20, 0100666},  {0x01, 0100444},
        {0x10, 040777},  {0x11, 040555},  {0x400, 0120666}, {0x410, 0120666},
    };
    for (const auto& [win32, posix] : toPosix) {
        uint32_t out = 0xFFFFFFFF;
        EXPECT_EQ(mz_zip_attrib_win32_to_posix(win32, &out), MZ_OK);
        EXPECT_EQ(out, posix) << std::hex << win32;
    }
    EXPECT_EQ(mz_zip_attrib_posix_to_win32(0, nullptr), MZ_PARAM_ERROR);
    EXPECT_EQ(mz_zip_attrib_win32_to_posix(0, nullptr), MZ_PARAM_ERROR);
}

TEST(ZipFileAttributes, GetAndSet) {
    TempDir dir;
    const std::string run = dir.file("run"), data = dir.file("data"), sub = dir.file("sub");
    EXPECT_TRUE(WriteText(run, "#!/bin/sh\n", 0755));
    EXPECT_TRUE(WriteText(data, "x", 0640));
    ASSERT_EQ(mkdir(sub.c_str(), 0750), 0);
    chmod(sub.c_str(), 0750);
    path_test::MakeLink("data", dir.file("link"));

    const std::pair<std::string, uint32_t> expected[] = {
        {run, 0100755}, {data, 0100640}, {sub, 040750}, {dir.file("link"), 0120777}};
    for (const auto& [path, mode] : expected) {
        uint32_t attributes = 0;
        EXPECT_EQ(mz_os_get_file_attribs(path.c_str(), &attributes), MZ_OK);
        EXPECT_EQ(attributes, mode) << path;
    }
    uint32_t attributes = 7;
    EXPECT_EQ(mz_os_get_file_attribs(dir.file("none").c_str(), &attributes), MZ_INTERNAL_ERROR);
    EXPECT_EQ(attributes, 0u);

    // Read-only from an archive is the missing write bits, never the immutable flag: the file
    // can still be removed.
    EXPECT_EQ(mz_os_set_file_attribs(data.c_str(), 0100444), MZ_OK);
    EXPECT_EQ(path_test::ModeOf(data), (mode_t)0100444);
    PlatformFileAttributes platform = 0;
    ASSERT_TRUE(Platform_GetFileAttributes(nullptr, data.c_str(), &platform));
    EXPECT_EQ(platform & PLATFORM_FILE_ATTRIBUTE_READONLY, 0u);
    // Set-id and sticky bits are not taken from archives.
    EXPECT_EQ(mz_os_set_file_attribs(run.c_str(), 0106755), MZ_OK);
    EXPECT_EQ(path_test::ModeOf(run), (mode_t)0100755);
    EXPECT_EQ(mz_os_set_file_attribs(sub.c_str(), 040700), MZ_OK);
    EXPECT_EQ(path_test::ModeOf(sub), (mode_t)040700);
    // Through a link nothing changes: its target is not the entry's.
    EXPECT_EQ(mz_os_set_file_attribs(dir.file("link").c_str(), 0120700), MZ_OK);
    EXPECT_EQ(path_test::ModeOf(data), (mode_t)0100444);
    EXPECT_EQ(mz_os_set_file_attribs(dir.file("none").c_str(), 0100644), MZ_INTERNAL_ERROR);
    EXPECT_EQ(mz_os_unlink(data.c_str()), MZ_OK);

    // An immutable file is reported without write bits.
    EXPECT_TRUE(WriteText(data, "x", 0644));
    if (Platform_SetFileAttributes(nullptr, data.c_str(), PLATFORM_FILE_ATTRIBUTE_READONLY)) {
        EXPECT_EQ(mz_os_get_file_attribs(data.c_str(), &attributes), MZ_OK);
        EXPECT_EQ(attributes, 0100444u);
        EXPECT_TRUE(Path_EnsureWritable(data.c_str()));
    }
}

TEST(ZipFileDates, DosDateConversions) {
    Zone zone("UTC");
    // 2024-02-29 13:45:58: date 29 | 2 << 5 | 44 << 9, time 29 | 45 << 5 | 13 << 11.
    const uint32_t leapDay = 0x585D6DBD;
    struct tm fields;
    ASSERT_EQ(mz_zip_dosdate_to_tm(leapDay, &fields), MZ_OK);
    EXPECT_EQ(std::vector<int>({fields.tm_year, fields.tm_mon, fields.tm_mday, fields.tm_hour, fields.tm_min,
                                fields.tm_sec}),
              std::vector<int>({124, 1, 29, 13, 45, 58}));
    EXPECT_EQ(mz_zip_dosdate_to_time_t(leapDay), (time_t)1709214358);
    EXPECT_EQ(mz_zip_time_t_to_dos_date(1709214358), leapDay);
    EXPECT_EQ(mz_zip_time_t_to_dos_date(1709214359), leapDay); // odd seconds round down
    EXPECT_EQ(mz_zip_dosdate_to_time_t(0x00210000), (time_t)315532800);

    // The year may come as years since 1900, as a full year or as two digits of the 2000s.
    for (int32_t year : {124, 2024, 24}) {
        struct tm given = fields;
        given.tm_year = year;
        EXPECT_EQ(mz_zip_tm_to_dosdate(&given), leapDay) << year;
    }
    struct Bad {
        int32_t year, month, day, hour, minute, second;
    };
    const Bad bad[] = {{124, 12, 1, 0, 0, 0}, {124, -1, 1, 0, 0, 0}, {124, 0, 0, 0, 0, 0},
                       {124, 0, 32, 0, 0, 0}, {124, 0, 1, 24, 0, 0}, {124, 0, 1, 0, 60, 0},
                       {124, 0, 1, 0, 0, 60}, {208, 0, 1, 0, 0, 0},  {2108, 0, 1, 0, 0, 0},
                       {1979, 0, 1, 0, 0, 0}, {-1, 0, 1, 0, 0, 0}};
    for (const Bad& b : bad) {
        struct tm given;
        memset(&given, 0, sizeof(given));
        given.tm_year = b.year;
        given.tm_mon = b.month;
        given.tm_mday = b.day;
        given.tm_hour = b.hour;
        given.tm_min = b.minute;
        given.tm_sec = b.second;
        EXPECT_EQ(mz_zip_tm_to_dosdate(&given), 0u) << b.year << "-" << b.month << "-" << b.day;
    }
    // The last DOS year, 2107, still fits its seven bits.
    struct tm last = fields;
    last.tm_year = 207;
    EXPECT_EQ(mz_zip_tm_to_dosdate(&last) >> 25, 127u);

    // Fields a DOS date can hold but a calendar cannot: month 0, second 62.
    EXPECT_EQ(mz_zip_dosdate_to_tm(0x58000000, &fields), MZ_FORMAT_ERROR);
    EXPECT_EQ(fields.tm_year, 0);
    EXPECT_EQ(mz_zip_dosdate_to_tm(0x5821001F, &fields), MZ_FORMAT_ERROR);
    EXPECT_EQ(mz_zip_dosdate_to_tm(leapDay, nullptr), MZ_PARAM_ERROR);
    // They carry over, as the C library does: 1980-01-00 is 1979-12-31.
    EXPECT_EQ(mz_zip_dosdate_to_time_t(0x00200000), (time_t)(315532800 - 86400));

    // Before 1980 there is no DOS date: the earliest one, not a date of the 2070s.
    EXPECT_EQ(mz_zip_time_t_to_dos_date(0), 0x00210000u);
    EXPECT_EQ(mz_zip_time_t_to_dos_date(315532799), 0x00210000u);
    EXPECT_EQ(mz_zip_time_t_to_tm(0, nullptr), MZ_PARAM_ERROR);
    EXPECT_EQ(mz_zip_tm_to_dosdate(nullptr), 0u);
}

// Entry dates are local DOS fields; files hold UTC seconds. Every step between them must undo the
// one before whatever the zone, so that a file keeps its date through an archive.
TEST(ZipFileDates, RoundTripInEveryZone) {
    const char* zones[] = {"UTC",
                           "America/New_York",
                           "Asia/Kolkata",
                           "Australia/Lord_Howe",
                           "Pacific/Chatham",
                           "America/St_Johns"};
    // Winter and summer in both hemispheres, none near a change of offset; even seconds.
    const time_t times[] = {1700000000, 1690000000, 1234567890, 1000000000};
    for (const char* name : zones) {
        Zone zone(name);
        TempDir dir;
        for (time_t when : times) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string((long long)when));
            struct tm expected, local;
            ASSERT_TRUE(localtime_r(&when, &expected));
            ASSERT_EQ(mz_zip_time_t_to_tm(when, &local), MZ_OK);
            EXPECT_EQ(std::vector<int>({local.tm_mday, local.tm_hour, local.tm_min}),
                      std::vector<int>({expected.tm_mday, expected.tm_hour, expected.tm_min}));

            const uint32_t dos = mz_zip_time_t_to_dos_date(when);
            EXPECT_EQ((dos >> 11) & 0x1F, (uint32_t)expected.tm_hour);
            EXPECT_EQ((dos >> 5) & 0x3F, (uint32_t)expected.tm_min);
            EXPECT_EQ(mz_zip_dosdate_to_time_t(dos), when);

            // File times through the platform.
            const std::string file = dir.file("file");
            EXPECT_TRUE(WriteText(file, "content"));
            ASSERT_EQ(mz_os_set_file_date(file.c_str(), when, when - 100, when), MZ_OK);
            struct stat info;
            ASSERT_EQ(stat(file.c_str(), &info), 0);
            EXPECT_EQ(info.st_mtime, when);
            EXPECT_EQ(info.st_atime, when - 100);
            time_t modified = 0, accessed = 0, created = 0;
            ASSERT_EQ(mz_os_get_file_date(file.c_str(), &modified, &accessed, &created), MZ_OK);
            EXPECT_EQ(modified, when);
            EXPECT_EQ(accessed, when - 100);
            EXPECT_GT(created, 0);

            // Into an archive written here and out of it onto another file.
            const std::string archive = dir.file("layer.zip");
            ASSERT_EQ(WriteArchive(archive,
                                   {{"file", "content", Z_DEFLATED, 0, mz_zip_time_t_to_dos_date(modified)}}),
                      ZIP_OK);
            std::vector<Entry> entries;
            ASSERT_EQ(ReadArchive(archive, &entries), UNZ_OK);
            ASSERT_EQ(entries.size(), 1u);
            const std::string copy = dir.file("copy");
            EXPECT_TRUE(WriteText(copy, entries[0].Data));
            ASSERT_EQ(mz_os_set_file_date(copy.c_str(), mz_zip_dosdate_to_time_t(entries[0].Info.dosDate),
                                          when, when),
                      MZ_OK);
            ASSERT_EQ(mz_os_get_file_date(copy.c_str(), &modified, nullptr, nullptr), MZ_OK);
            EXPECT_EQ(modified, when);

            // From the zip tool, running in the same zone.
            const std::string tool = dir.file("tool.zip");
            unlink(tool.c_str());
            ASSERT_EQ(Shell("cd " + Quote(dir.path()) + " && zip -q " + Quote(tool) + " file"), 0);
            ASSERT_EQ(ReadArchive(tool, &entries), UNZ_OK);
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(mz_zip_dosdate_to_time_t(entries[0].Info.dosDate), when);
        }
    }
    EXPECT_EQ(mz_os_get_file_date("/nonexistent/zip-layer", nullptr, nullptr, nullptr), MZ_INTERNAL_ERROR);
    EXPECT_EQ(mz_os_set_file_date("/nonexistent/zip-layer", 1, 1, 1), MZ_INTERNAL_ERROR);
}

struct Tree {
    TempDir dir;
    std::map<std::string, std::string> files; // archive name -> content
    std::set<std::string> directories;

    Tree() {
        const std::string root = dir.file("tree");
        path_test::MakeDir(root);
        path_test::MakeDir(root + "/dir");
        path_test::MakeDir(root + "/dir/sub");
        path_test::MakeDir(root + "/empty-dir");
        Add("stored.txt", std::string(5000, 'a') + "end");
        Add("deflated.bin", Sample(1 << 20, 1));
        Add("random.bin", Sample(70000, 2));
        Add("empty.txt", "");
        Add("dir/sub/nested.txt", "nested\n");
        Add(std::string(200, 'l') + ".txt", "long name");
        Add("gr\xC3\xBC\xC3\x9F"
            "e.txt",
            "utf-8 name");
        directories = {"dir/", "dir/sub/", "empty-dir/"};
    }
    void Add(const std::string& name, const std::string& content) {
        files[name] = content;
        EXPECT_TRUE(WriteText(dir.file("tree/" + name), content));
    }
    std::string Zip(const std::string& name, const std::string& options) {
        const std::string archive = dir.file(name);
        const int status =
            Shell("cd " + Quote(dir.file("tree")) + " && zip -q -r " + options + " " + Quote(archive) + " .");
        EXPECT_EQ(status, 0) << options;
        return archive;
    }
};

bool HasZip64End(const std::string& archive) {
    return ReadFile(archive).find(std::string("PK\x06\x06", 4)) != std::string::npos;
}

TEST(ZipFileArchives, ZipToolArchivesReadBackByteForByte) {
    Tree tree;
    struct Case {
        const char* name;
        const char* options;
        bool zip64;
        int32_t method; // of deflated.bin
    };
    const Case cases[] = {
        {"stored.zip", "-0", false, 0},
        {"deflated.zip", "-9", false, Z_DEFLATED},
        {"zip64.zip", "-fz", true, Z_DEFLATED},
        {"zip64-stored.zip", "-fz -0", true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string archive = tree.Zip(c.name, c.options);
        EXPECT_EQ(HasZip64End(archive), c.zip64);
        std::vector<Entry> entries;
        ASSERT_EQ(ReadArchive(archive, &entries), UNZ_OK);
        std::map<std::string, std::string> files;
        std::set<std::string> directories;
        for (const Entry& e : entries) {
            if (!e.Name.empty() && e.Name.back() == '/') {
                directories.insert(e.Name);
                EXPECT_EQ(e.Data, "");
                continue;
            }
            files[e.Name] = e.Data;
            if (e.Name == "deflated.bin") {
                EXPECT_EQ(e.Info.compression_method, (uLong)c.method);
            }
            // Made on this system: the high half of the external attributes is the mode.
            EXPECT_EQ(e.Info.external_fa >> 16, 0100644u) << e.Name;
        }
        EXPECT_EQ(directories, tree.directories);
        ASSERT_EQ(files.size(), tree.files.size());
        for (const auto& [name, content] : tree.files) {
            ASSERT_TRUE(files.count(name)) << name;
            EXPECT_TRUE(files[name] == content) << name << ": " << files[name].size() << " bytes";
        }
    }
}

TEST(ZipFileArchives, LayerArchivesReadByUnzip) {
    TempDir dir;
    const std::string archive = dir.file("out.zip");
    const std::vector<NewEntry> entries = {
        {"stored.txt", "stored text\n", 0, 0, 0},
        {"deflated.bin", Sample(300000, 3), Z_DEFLATED, 0, 0},
        {"dir/", "", 0, 0, 0},
        {"dir/empty.txt", "", Z_DEFLATED, 0, 0},
        {"zip64.bin", Sample(200000, 4), Z_DEFLATED, 1, 0},
        {"zip64-stored.bin", Sample(5000, 5), 0, 1, 0},
        {std::string(200, 'n'), "long", Z_DEFLATED, 0, 0},
    };
    ASSERT_EQ(WriteArchive(archive, entries), ZIP_OK);
    EXPECT_EQ(Shell("unzip -tqq " + Quote(archive)), 0);
    for (const NewEntry& e : entries) {
        if (e.Name.back() == '/') continue;
        const std::string out = dir.file("extracted");
        ASSERT_EQ(Shell("unzip -p " + Quote(archive) + " " + Quote(e.Name) + " > " + Quote(out)), 0)
            << e.Name;
        EXPECT_TRUE(ReadFile(out) == e.Data) << e.Name;
    }
    // The directory entry and the names are as written, in order.
    std::vector<Entry> read;
    ASSERT_EQ(ReadArchive(archive, &read), UNZ_OK);
    ASSERT_EQ(read.size(), entries.size());
    for (size_t i = 0; i < read.size(); i++) {
        EXPECT_EQ(read[i].Name, entries[i].Name);
        EXPECT_TRUE(read[i].Data == entries[i].Data) << entries[i].Name;
    }

    // Adding to the archive keeps what it held.
    ASSERT_EQ(WriteArchive(archive, {{"added.txt", "added", Z_DEFLATED, 0, 0}}, APPEND_STATUS_ADDINZIP),
              ZIP_OK);
    EXPECT_EQ(Shell("unzip -tqq " + Quote(archive)), 0);
    ASSERT_EQ(ReadArchive(archive, &read), UNZ_OK);
    EXPECT_EQ(read.size(), entries.size() + 1);
    EXPECT_EQ(ByName(read)["added.txt"], "added");
    EXPECT_TRUE(ByName(read)["deflated.bin"] == entries[1].Data);

    // Adding needs an archive to add to; writing over one replaces it.
    EXPECT_EQ(WriteArchive(dir.file("none.zip"), {{"a", "a", 0, 0, 0}}, APPEND_STATUS_ADDINZIP), ZIP_ERRNO);
    EXPECT_FALSE(FileExists(dir.file("none.zip")));
    ASSERT_EQ(WriteArchive(archive, {{"only.txt", "only", 0, 0, 0}}), ZIP_OK);
    ASSERT_EQ(ReadArchive(archive, &read), UNZ_OK);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].Name, "only.txt");
    EXPECT_EQ(CountEntries(dir.path()), 2u); // out.zip and extracted: no leftovers
}

// minizip goes back and forth between the central directory and each entry's local header and
// data, and looks for the end record walking back from the end of the file: an archive is still
// read about once, whether many small entries, large ones among them, or a long comment.
TEST(ZipFileArchives, ArchivesAreReadAboutOnce) {
    TempDir dir;
    std::vector<NewEntry> many, mixed;
    for (int32_t i = 0; i < 4096; i++)
        many.push_back({"dir" + std::to_string(i % 16) + "/entry" + std::to_string(i) + ".txt",
                        Sample((size_t)(i % 50), (uint32_t)i), i % 2 ? Z_DEFLATED : 0, 0, 0});
    for (int32_t i = 0; i < 64; i++)
        mixed.push_back({"mixed" + std::to_string(i), Sample(i % 8 ? 100 : 150000, (uint32_t)i), 0, 0, 0});
    const std::string comment(65000, 'c');
    struct Case {
        const char* name;
        const std::vector<NewEntry>* entries;
        const char* comment;
    };
    const std::vector<NewEntry> one = {{"one.txt", "one", 0, 0, 0}};
    const Case cases[] = {
        {"many", &many, nullptr}, {"mixed", &mixed, nullptr}, {"comment", &one, comment.c_str()}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string archive = dir.file(std::string(c.name) + ".zip");
        ASSERT_EQ(WriteArchive(archive, *c.entries, APPEND_STATUS_CREATE, c.comment), ZIP_OK);
        const uint64_t size = ReadFile(archive).size();
        const uint64_t before = BytesRead();
        std::vector<Entry> entries;
        ASSERT_EQ(ReadArchive(archive, &entries), UNZ_OK);
        const uint64_t read = BytesRead() - before;
        ASSERT_EQ(entries.size(), c.entries->size());
        EXPECT_TRUE(entries.back().Data == c.entries->back().Data);
        EXPECT_LE(read, 2 * size);
        EXPECT_GE(read, size / 2);
    }
}

// An archive opened through the archive table is described as the zip library finds it (behind a
// prefix too); its directory is read once however often it is walked, and cleared at the close.
TEST(ZipFileArchives, DirectoryIsKeptAndReadOnce) {
    TempDir dir;
    std::vector<NewEntry> empty;
    for (int32_t i = 0; i < 3000; i++) empty.push_back({"entry-" + std::to_string(i), "", 0, 0, 0});
    ASSERT_EQ(WriteArchive(dir.file("plain.zip"), empty), ZIP_OK);
    const std::string plain = ReadFile(dir.file("plain.zip"));
    for (const size_t prefix : {(size_t)0, (size_t)5000}) {
        SCOPED_TRACE(prefix);
        const std::string bytes = std::string(prefix, 'x') + plain, path = dir.file("p.zip");
        unlink(path.c_str());
        ASSERT_TRUE(WriteText(path, bytes));
        const size_t start = bytes.find("PK\x01\x02"), length = bytes.size() - 22 - start;
        zlib_filefunc64_def functions;
        ZipFileArchive archive;
        ASSERT_EQ(ZipFile_FillArchiveFunc64(&functions, &archive), 1);
        const uint64_t before = BytesRead();
        unzFile zip = unzOpen2_64(path.c_str(), &functions);
        ASSERT_NE(zip, nullptr);
        EXPECT_EQ(archive.Located, 1);
        EXPECT_EQ(archive.DirectoryStart, (int64_t)start);
        EXPECT_EQ(archive.DirectoryLength, length);
        EXPECT_EQ(archive.Shift, (int64_t)prefix);
        ASSERT_NE(archive.Directory, nullptr);
        EXPECT_EQ(memcmp(archive.Directory, bytes.data() + start, length), 0);
        for (int32_t walk = 0; walk < 2; walk++) {
            int32_t count = 0, status = unzGoToFirstFile(zip);
            for (; status == UNZ_OK; status = unzGoToNextFile(zip)) count++;
            EXPECT_EQ(count, 3000);
        }
        EXPECT_LE(BytesRead() - before, length + 65536);
        char header[4] = {};
        EXPECT_EQ(ZipFile_ReadArchive(&archive, (int64_t)prefix, header, 4), 1);
        EXPECT_EQ(std::string(header, 4), "PK\x03\x04");
        EXPECT_EQ(ZipFile_ReadArchive(&archive, (int64_t)bytes.size() - 2, header, 4), 0);
        EXPECT_EQ(unzClose(zip), UNZ_OK);
        EXPECT_EQ(archive.Opened, nullptr);
        EXPECT_EQ(archive.Directory, nullptr);
    }
}

// A central directory that lies about where entries start: past the end of the file (4 GiB
// included), inside the directory itself, inside another entry's data, or at another entry's
// header. Each is an error at that entry, the entries before it read whole, and the archive is
// not read over and over.
TEST(ZipFileArchives, DirectoryThatLiesAboutOffsetsIsAnError) {
    TempDir dir;
    const std::string good = dir.file("good.zip");
    std::vector<NewEntry> written;
    for (int32_t i = 0; i < 6; i++)
        written.push_back({"e" + std::to_string(i) + ".bin", Sample(30000 + 1000 * i, (uint32_t)(20 + i)),
                           i % 2 ? Z_DEFLATED : 0, 0, 0});
    ASSERT_EQ(WriteArchive(good, written), ZIP_OK);
    const std::string bytes = ReadFile(good);
    // The central directory's records, and the offsets of the local headers they name.
    std::vector<size_t> records;
    for (size_t at = bytes.find(std::string("PK\x01\x02", 4)); at != std::string::npos;
         at = bytes.find(std::string("PK\x01\x02", 4), at + 1))
        records.push_back(at);
    ASSERT_EQ(records.size(), written.size());
    auto offsetOf = [&](size_t entry) {
        uint32_t value = 0;
        memcpy(&value, bytes.data() + records[entry] + 42, 4);
        return value;
    };
    struct Case {
        const char* name;
        size_t entry;
        uint32_t offset;
    };
    const Case cases[] = {
        {"past the end", 2, (uint32_t)bytes.size() + 100},
        {"at the end", 3, (uint32_t)bytes.size()},
        {"4 GiB", 1, 0xFFFFFFFFu},
        {"inside the directory", 4, (uint32_t)records[1]},
        {"inside another entry's data", 5, offsetOf(2) + 20000},
        {"another entry's header", 3, offsetOf(1)},
        {"just before the directory", 5, (uint32_t)records[0] - 10},
    };
    const std::string bad = dir.file("bad.zip");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string lying = bytes;
        memcpy(lying.data() + records[c.entry] + 42, &c.offset, 4);
        unlink(bad.c_str());
        ASSERT_TRUE(WriteText(bad, lying));
        const uint64_t before = BytesRead();
        std::vector<Entry> entries;
        EXPECT_NE(ReadArchive(bad, &entries), UNZ_OK);
        EXPECT_LE(BytesRead() - before, 2 * bytes.size());
        ASSERT_EQ(entries.size(), c.entry);
        for (size_t i = 0; i < entries.size(); i++) EXPECT_TRUE(entries[i].Data == written[i].Data) << i;
    }
}

TEST(ZipFileArchives, BadInputIsAnErrorNeverACrash) {
    TempDir dir;
    std::vector<Entry> entries;
    // Not there, a directory, empty, not an archive.
    EXPECT_EQ(ReadArchive(dir.file("missing.zip"), &entries), UNZ_BADZIPFILE);
    EXPECT_EQ(ReadArchive(dir.path(), &entries), UNZ_BADZIPFILE);
    EXPECT_TRUE(WriteText(dir.file("empty.zip"), ""));
    EXPECT_EQ(ReadArchive(dir.file("empty.zip"), &entries), UNZ_BADZIPFILE);
    EXPECT_TRUE(WriteText(dir.file("text.zip"), "this is not an archive\n"));
    EXPECT_EQ(ReadArchive(dir.file("text.zip"), &entries), UNZ_BADZIPFILE);
    zlib_filefunc64_def functions = Functions();
    EXPECT_EQ(zipOpen2_64(dir.path().c_str(), APPEND_STATUS_CREATE, nullptr, &functions), nullptr);

    // A small archive cut at every length and with every byte changed in turn: either an error,
    // or entries whose data is exactly what was stored. (minizip reads bytes past the end as 0, so
    // an archive that lost only zero bytes of its end record still reads whole.)
    const std::string good = dir.file("good.zip");
    const std::string payload = Sample(4000, 6);
    ASSERT_EQ(WriteArchive(good, {{"a.txt", "first entry", 0, 0, 0}, {"b.bin", payload, Z_DEFLATED, 0, 0}}),
              ZIP_OK);
    const std::string bytes = ReadFile(good);
    const std::string bad = dir.file("bad.zip");
    auto check = [&](const std::string& damaged, const std::string& label) {
        // A new file each time: rewriting a truncated one makes the file system flush it.
        unlink(bad.c_str());
        EXPECT_TRUE(WriteText(bad, damaged));
        if (ReadArchive(bad, &entries) != UNZ_OK) return 1;
        for (const Entry& e : entries) {
            const bool same =
                e.Name == "a.txt" ? e.Data == "first entry" : e.Name != "b.bin" || e.Data == payload;
            EXPECT_TRUE(same) << e.Name << " " << label;
        }
        return 0;
    };
    int32_t errors = 0;
    for (size_t length = 0; length < bytes.size(); length++)
        errors += check(bytes.substr(0, length), "cut at " + std::to_string(length));
    EXPECT_GE(errors, (int32_t)bytes.size() - 4);
    errors = 0;
    for (size_t at = 0; at < bytes.size(); at++) {
        std::string changed = bytes;
        changed[at] = (char)(changed[at] ^ 0x5A);
        errors += check(changed, "changed at " + std::to_string(at));
    }
    EXPECT_GT(errors, 0);
    // A changed byte of the compressed data is caught by the checksum.
    std::string changed = bytes;
    const size_t data = bytes.find("first entry") + 100;
    changed[data] = (char)(changed[data] ^ 0x01);
    EXPECT_TRUE(WriteText(bad, changed));
    EXPECT_NE(ReadArchive(bad, &entries), UNZ_OK);
}

} // namespace
