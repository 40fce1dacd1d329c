// Extraction straight through Unzip_Extract over archives built here byte by byte: a central
// directory in any order is read about once and extracts byte-exact, and entries that overlap
// (one local entry named twice, ranges that cross, a range into the directory) refuse the
// archive before anything is written, naming the archive and the entries.
#include "tasks/unzip_archive.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <functional>
#include <string>
#include <vector>

#include "core/platform/zip_file.h"
#include "tests/support/temp_dir.h"

namespace {

struct Item {
    std::string Name;
    std::string Data;
    bool Deflate;
};

void Put(std::string& out, uint64_t value, int32_t bytes) {
    for (int32_t i = 0; i < bytes; i++) out += (char)(value >> (8 * i));
}

std::string Deflated(const std::string& data) {
    z_stream s = {};
    deflateInit2(&s, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&s, data.size()), '\0');
    s.next_in = (Bytef*)data.data();
    s.avail_in = (uInt)data.size();
    s.next_out = (Bytef*)out.data();
    s.avail_out = (uInt)out.size();
    deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

// A directory record as the generator writes it, before it is laid out.
struct Record {
    std::string Name;
    uint32_t Crc, Compressed, Size, Offset;
    uint16_t Method;
};

// The items' local entries in the order given, then their directory records in `order` (indexes
// into the items), then the end record. `edit` may change the records before they are written.
std::string Build(const std::vector<Item>& items, const std::vector<size_t>& order,
                  const std::function<void(std::vector<Record>&)>& edit = nullptr, const std::string& prefix = "") {
    std::string out = prefix;
    std::vector<Record> made;
    for (const Item& item : items) {
        const std::string body = item.Deflate ? Deflated(item.Data) : item.Data;
        Record r = {item.Name, (uint32_t)crc32(0, (const Bytef*)item.Data.data(), (uInt)item.Data.size()),
                    (uint32_t)body.size(), (uint32_t)item.Data.size(), (uint32_t)(out.size() - prefix.size()),
                    (uint16_t)(item.Deflate ? Z_DEFLATED : 0)};
        Put(out, 0x04034b50, 4), Put(out, 20, 2), Put(out, 0, 2), Put(out, r.Method, 2);
        Put(out, 0x58210000, 4), Put(out, r.Crc, 4), Put(out, r.Compressed, 4), Put(out, r.Size, 4);
        Put(out, r.Name.size(), 2), Put(out, 0, 2);
        out += r.Name + body;
        made.push_back(r);
    }
    std::vector<Record> records;
    for (size_t i : order) records.push_back(made[i]);
    if (edit) edit(records);
    const size_t start = out.size();
    for (const Record& r : records) {
        Put(out, 0x02014b50, 4), Put(out, 20, 2), Put(out, 20, 2), Put(out, 0, 2), Put(out, r.Method, 2);
        Put(out, 0x58210000, 4), Put(out, r.Crc, 4), Put(out, r.Compressed, 4), Put(out, r.Size, 4);
        Put(out, r.Name.size(), 2), Put(out, 0, 2), Put(out, 0, 2), Put(out, 0, 2), Put(out, 0, 2);
        Put(out, 0, 4), Put(out, r.Offset, 4);
        out += r.Name;
    }
    Put(out, 0x06054b50, 4), Put(out, 0, 4), Put(out, records.size(), 2), Put(out, records.size(), 2);
    Put(out, out.size() - start - 12, 4), Put(out, start - prefix.size(), 4), Put(out, 0, 2);
    return out;
}

// Orders of the directory: the files' own, reversed, and first, last, second, second to last...
std::vector<size_t> Order(size_t count, int32_t kind) {
    std::vector<size_t> order;
    for (size_t i = 0; i < count; i++)
        order.push_back(kind == 0 ? i : kind == 1 ? count - 1 - i : i % 2 ? count - 1 - i / 2 : i / 2);
    return order;
}

std::string Sample(size_t size, uint32_t seed) {
    std::string out;
    uint32_t state = seed * 2654435761u + 7;
    while (out.size() < size) {
        state = state * 1103515245u + 12345u;
        out += (state >> 20) % 4 ? (char)('a' + (state >> 24) % 26) : (char)(state >> 13);
    }
    return out;
}

size_t CountTree(const std::string& root) {
    size_t count = 0;
    if (DIR* d = opendir(root.c_str())) {
        while (dirent* e = readdir(d)) {
            if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
            count += 1 + (e->d_type == DT_DIR ? CountTree(root + "/" + e->d_name) : 0);
        }
        closedir(d);
    }
    return count;
}

struct Outcome {
    const char* Error;
    std::vector<std::string> Lines;
    uint64_t Read;
};

int64_t Collect(void* user, const char* format, ...) {
    char line[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    static_cast<Outcome*>(user)->Lines.push_back(line);
    return 1;
}

Outcome Extract(const std::string& archive, const std::string& out, const char* pattern = "*") {
    Outcome run = {nullptr, {}, 0};
    UnzipJob job = {archive.c_str(), pattern, out.c_str(), "", &run, nullptr, nullptr, Collect, nullptr, 0};
    uint64_t before = 0, after = 0;
    ZipFile_GetReadTotals(&before, nullptr);
    run.Error = Unzip_Extract(&job);
    ZipFile_GetReadTotals(&after, nullptr);
    run.Read = after - before;
    return run;
}

// Every order of the directory, over small entries (the directory is as large as the data) and
// over entries of a few KiB: extracted byte-exact, the file read less than twice, the directory once.
TEST(UnzipArchive, AnyOrderOfTheDirectoryIsReadAboutOnce) {
    TempDir dir;
    struct Shape {
        const char* name;
        size_t count, least, spread;
    } shapes[] = {{"small", 2500, 0, 40}, {"few KiB", 300, 200, 3000}};
    for (const Shape& shape : shapes) {
        std::vector<Item> items;
        for (size_t i = 0; i < shape.count; i++)
            items.push_back({"folder" + std::to_string(i % 7) + "/a-rather-long-entry-name-" + std::to_string(i),
                             Sample(shape.least + i * 7919 % (shape.spread + 1), (uint32_t)i), i % 3 != 0});
        for (int32_t kind = 0; kind < 3; kind++) {
            SCOPED_TRACE(std::string(shape.name) + " order " + std::to_string(kind));
            const std::string archive = dir.file("a.zip"), out = dir.file("out" + std::to_string(kind));
            const std::string bytes = Build(items, Order(items.size(), kind));
            ASSERT_TRUE(WriteText(archive, bytes));
            const Outcome run = Extract(archive, out);
            ASSERT_EQ(run.Error, nullptr) << (run.Lines.empty() ? "" : run.Lines[0]);
            EXPECT_LE(run.Read, 2 * bytes.size());
            // Each byte once, the local headers once more when the archive is arranged, and the
            // end of the file in a window of its own: the directory is not read again.
            EXPECT_LE(run.Read, bytes.size() + 30 * items.size() + 2 * 65536);
            for (const Item& item : items) ASSERT_TRUE(ReadFile(out + "/" + item.Name) == item.Data) << item.Name;
        }
    }
}

// Entries that share bytes refuse the archive before anything is written, naming the archive and
// the entries; the same archive unchanged (also behind a prefix) extracts whole.
// An entry that inflates past its declared size, or whose file a later entry writes, is not kept.
TEST(UnzipArchive, OverlappingEntriesRefuseTheArchiveBeforeAnyWrite) {
    TempDir dir;
    const std::vector<Item> items = {{"a.txt", Sample(100, 1), false},
                                     {"b.bin", Sample(3000, 2), true},
                                     {"c.txt", Sample(50, 3), false},
                                     {"d.txt", Sample(900, 4), true}};
    using Edit = std::function<void(std::vector<Record>&)>;
    auto add = [](const char* name, uint32_t offset, int32_t size) {
        return [=](std::vector<Record>& r) { r.push_back({name, 0, (uint32_t)size, (uint32_t)size, offset, 0}); };
    };
    // Where the directory starts when the records are as written.
    const uint32_t directory = (uint32_t)Build(items, {}).size() - 22;
    std::vector<Record> plain;
    Build(items, Order(4, 0), [&](std::vector<Record>& r) { plain = r; });
    const uint32_t inB = plain[1].Offset + 40;
    struct Case {
        const char* name;
        Edit edit;
        const char* line; // "%s" stands for the archive; null: extracts
        size_t kept;      // entries written
        // Added to one byte of one local header: the entry (-1: none), the byte's place in the header.
        int32_t local, at, delta;
    } cases[] = {
        {"as written", nullptr, nullptr, 4, -1, 0, 0},
        {"one local entry named twice", [](std::vector<Record>& r) { r.push_back(r[1]), r.back().Name = "twin"; },
         "Refusing archive %s: entry twin overlaps entry b.bin", 0, -1, 0, 0},
        {"twice, the copy first", [](std::vector<Record>& r) { r.insert(r.begin(), r[2]), r[0].Name = "copy"; },
         "Refusing archive %s: entry c.txt overlaps entry copy", 0, -1, 0, 0},
        {"data into the next entry", [](std::vector<Record>& r) { r[1].Compressed += 1; },
         "Refusing archive %s: entry c.txt overlaps entry b.bin", 0, -1, 0, 0},
        {"an entry inside another's data", add("inner", inB, 10), "Refusing archive %s: entry inner overlaps entry b.bin", 0, -1, 0, 0},
        {"data into the directory", [](std::vector<Record>& r) { r[3].Compressed += 1; },
         "Refusing archive %s: entry d.txt overlaps its central directory", 0, -1, 0, 0},
        {"an entry at the directory", add("late", directory, 0),
         "Refusing archive %s: entry late overlaps its central directory", 0, -1, 0, 0},
        {"larger than its record declares", [](std::vector<Record>& r) { r[1].Size -= 1; },
         "Refusing archive %s: entry b.bin: its local header disagrees with its record", 0, -1, 0, 0},
        {"larger than its record and local header declare", [](std::vector<Record>& r) { r[1].Size -= 1; },
         "Failed to extract b.bin", 1, 1, 22, -1},
        {"one name twice, the later entry first in the file",
         [](std::vector<Record>& r) { std::swap(r[0], r[2]), r[2].Name = "c.txt"; }, nullptr, 3, -1, 0, 0},
        {"a local extra field into the next entry", nullptr, "Refusing archive %s: entry c.txt overlaps entry b.bin", 0, 1, 28, 10},
    };
    for (const std::string& prefix : {std::string(), std::string(777, 'p')}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (prefix.empty() ? "" : ", behind a prefix"));
            const std::string archive = dir.file("o.zip"), box = dir.file("box"), out = box + "/out";
            std::string bytes = Build(items, Order(4, 0), c.edit, prefix);
            if (c.local >= 0) bytes[prefix.size() + plain[c.local].Offset + c.at] += (char)c.delta;
            ASSERT_TRUE(WriteText(archive, bytes));
            ASSERT_EQ(mkdir(box.c_str(), 0700), 0);
            const Outcome run = Extract(archive, out);
            char line[512] = "";
            if (c.line) snprintf(line, sizeof(line), c.line, archive.c_str());
            EXPECT_STREQ(run.Error, c.line ? "Unzip_Error_Extract" : nullptr);
            EXPECT_EQ(run.Lines, c.line ? std::vector<std::string>{line} : std::vector<std::string>{});
            EXPECT_EQ(CountTree(box), c.kept ? c.kept + 1 : 0);
            if (!c.line && c.kept == 3) {
                EXPECT_TRUE(ReadFile(out + "/c.txt") == items[0].Data);
            } else if (!c.line) {
                for (const Item& item : items) EXPECT_TRUE(ReadFile(out + "/" + item.Name) == item.Data) << item.Name;
            }
            ASSERT_EQ(system(("rm -rf '" + box + "'").c_str()), 0);
        }
    }
}

// ---- Archives laid out as the format allows: zip64 fields, data descriptors, counts, end records --

// One entry as the layout generator writes it. Its data is `Data`, or `Zeros` zero bytes left as
// a hole of a sparse file (stored, never deflated).
struct Piece {
    std::string Name, Data;
    uint64_t Zeros = 0;
    bool Deflate = false;
    bool Zip64 = false;      // the directory record's sizes and offset in its zip64 field
    bool Zip64Local = false; // the local header's sizes in its zip64 field
    bool Descriptor = false; // CRC and sizes after the data (8-byte sizes with Zip64Local)
    std::string LocalExtra;  // more local extra field
};

Piece Named(const std::string& name, const std::string& data) {
    Piece p;
    p.Name = name, p.Data = data;
    return p;
}

struct Made {
    std::string Local, Central; // a local header (without data) and a directory record
    std::string Body;
    uint64_t Size = 0, Compressed = 0;
    uint32_t Crc = 0;
};

uint32_t ZerosCrc(uint64_t count) {
    static const std::string block(1 << 20, '\0');
    const uint32_t one = (uint32_t)crc32(0, (const Bytef*)block.data(), (uInt)block.size());
    uint32_t crc = 0;
    for (; count >= block.size(); count -= block.size()) crc = (uint32_t)crc32_combine64(crc, one, (z_off64_t)block.size());
    return (uint32_t)crc32_combine64(crc, (uint32_t)crc32(0, (const Bytef*)block.data(), (uInt)count), (z_off64_t)count);
}

// The entry's local header and directory record, its local header at archive offset `offset`.
Made Make(const Piece& p, uint64_t offset) {
    Made m;
    m.Body = p.Zeros ? std::string() : p.Deflate ? Deflated(p.Data) : p.Data;
    m.Size = p.Zeros ? p.Zeros : p.Data.size();
    m.Compressed = p.Zeros ? p.Zeros : m.Body.size();
    m.Crc = p.Zeros ? ZerosCrc(p.Zeros) : (uint32_t)crc32(0, (const Bytef*)p.Data.data(), (uInt)p.Data.size());
    const uint16_t method = p.Deflate && !p.Zeros ? Z_DEFLATED : 0, flag = p.Descriptor ? 8 : 0;
    std::string extra;
    if (p.Zip64Local) Put(extra, 1, 2), Put(extra, 16, 2), Put(extra, p.Descriptor ? 0 : m.Size, 8), Put(extra, p.Descriptor ? 0 : m.Compressed, 8);
    extra += p.LocalExtra;
    std::string& l = m.Local;
    Put(l, 0x04034b50, 4), Put(l, p.Zip64Local ? 45 : 20, 2), Put(l, flag, 2), Put(l, method, 2), Put(l, 0x58210000, 4);
    Put(l, p.Descriptor ? 0 : m.Crc, 4);
    for (uint64_t v : {m.Compressed, m.Size}) Put(l, p.Zip64Local ? 0xffffffffu : p.Descriptor ? 0 : v, 4);
    Put(l, p.Name.size(), 2), Put(l, extra.size(), 2);
    l += p.Name + extra;
    std::string central;
    if (p.Zip64) Put(central, 1, 2), Put(central, 24, 2), Put(central, m.Size, 8), Put(central, m.Compressed, 8), Put(central, offset, 8);
    std::string& c = m.Central;
    Put(c, 0x02014b50, 4), Put(c, p.Zip64 ? 45 : 20, 2), Put(c, p.Zip64 ? 45 : 20, 2), Put(c, flag, 2), Put(c, method, 2);
    Put(c, 0x58210000, 4), Put(c, m.Crc, 4);
    Put(c, p.Zip64 ? 0xffffffffu : m.Compressed, 4), Put(c, p.Zip64 ? 0xffffffffu : m.Size, 4);
    Put(c, p.Name.size(), 2), Put(c, central.size(), 2), Put(c, 0, 2), Put(c, 0, 2), Put(c, 0, 2), Put(c, 0, 4);
    Put(c, p.Zip64 ? 0xffffffffu : offset, 4);
    c += p.Name + central;
    return m;
}

std::string DescriptorOf(const Piece& p, const Made& m) {
    std::string d;
    if (!p.Descriptor) return d;
    Put(d, 0x08074b50, 4), Put(d, m.Crc, 4);
    Put(d, m.Compressed, p.Zip64Local ? 8 : 4), Put(d, m.Size, p.Zip64Local ? 8 : 4);
    return d;
}

// The end records: with `zip64`, a zip64 end record and its locator before the end record, whose
// fields then defer to them. `count` is what the records say (the end record keeps its low 16 bits).
std::string EndOf(uint64_t count, uint64_t directory, uint64_t size, bool zip64, const std::string& comment = "") {
    std::string e;
    if (zip64) {
        Put(e, 0x06064b50, 4), Put(e, 44, 8), Put(e, 45, 2), Put(e, 45, 2), Put(e, 0, 4), Put(e, 0, 4);
        Put(e, count, 8), Put(e, count, 8), Put(e, size, 8), Put(e, directory, 8);
        Put(e, 0x07064b50, 4), Put(e, 0, 4), Put(e, directory + size, 8), Put(e, 1, 4);
    }
    Put(e, 0x06054b50, 4), Put(e, 0, 4), Put(e, zip64 ? 0xffff : count & 0xffff, 2), Put(e, zip64 ? 0xffff : count & 0xffff, 2);
    Put(e, zip64 ? 0xffffffffu : size, 4), Put(e, zip64 ? 0xffffffffu : directory, 4), Put(e, comment.size(), 2);
    return e + comment;
}

// Writes the pieces, their directory and end records to `path` (holes for zero data); `count`
// overrides the entry count the end records give.
// `aliases` are more directory records, each naming the local entry at an archive offset.
bool Lay(const std::string& path, const std::vector<Piece>& pieces, bool zip64End, int64_t count = -1,
         const std::string& prefix = "", const std::vector<std::pair<Piece, uint64_t>>& aliases = {}) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = true;
    uint64_t at = prefix.size();
    auto put = [&](const std::string& bytes) {
        ok = ok && pwrite(fd, bytes.data(), bytes.size(), (off_t)at) == (ssize_t)bytes.size();
        at += bytes.size();
    };
    put(prefix);
    std::string directory;
    for (const Piece& p : pieces) {
        const Made m = Make(p, at - prefix.size());
        put(m.Local);
        put(m.Body);
        at += p.Zeros;
        put(DescriptorOf(p, m));
        directory += m.Central;
    }
    for (const auto& [piece, offset] : aliases) directory += Make(piece, offset).Central;
    const uint64_t start = at - prefix.size();
    put(directory);
    put(EndOf(count >= 0 ? (uint64_t)count : pieces.size() + aliases.size(), start, directory.size(), zip64End));
    return close(fd) == 0 && ok;
}

// Python's zipfile as the oracle: the names it lists, one a line, and the bytes of `read`.
std::string PythonSees(const std::string& archive, const std::string& read = "") {
    const std::string script = "import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1])\nprint(len(z.namelist()))\n"
                               "sys.stdout.flush()\nif sys.argv[2]: sys.stdout.buffer.write(z.read(sys.argv[2]))\n";
    const std::string command = "/usr/bin/python3 -c '" + script + "' '" + archive + "' '" + read + "' 2>&1";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof(buffer), p)) > 0;) out.append(buffer, n);
        pclose(p);
    }
    return out;
}

// Every way the format lets an entry carry its sizes and offset: in the 32-bit fields, in the
// directory's zip64 field, in the local header's, in a data descriptor of either width. Each
// extracts byte-exact, as Python's zipfile reads it; behind a prefix, with zip64 end records or not.
TEST(UnzipArchive, Zip64FieldsAreReadWhereverAnEntryHasThem) {
    TempDir dir;
    for (int32_t shape = 0; shape < 32; shape++) {
        std::vector<Piece> pieces;
        for (int32_t i = 0; i < 3; i++) {
            Piece p;
            p.Name = "d" + std::to_string(i) + "/e.bin";
            p.Data = Sample(i == 1 ? 0 : 1000 + 700 * (size_t)i, (uint32_t)(shape * 3 + i));
            p.Deflate = (shape & 1) != 0;
            p.Zip64 = (shape & 2) != 0;
            p.Zip64Local = (shape & 4) != 0;
            p.Descriptor = (shape & 8) != 0;
            if (i == 2) p.LocalExtra = std::string("\x55\x54\x05\x00\x01\x00\x00\x00\x00", 9);
            pieces.push_back(p);
        }
        const bool zip64End = (shape & 16) != 0;
        for (const std::string& prefix : {std::string(), std::string(300, 'p')}) {
            SCOPED_TRACE("shape " + std::to_string(shape) + (prefix.empty() ? "" : ", behind a prefix"));
            const std::string archive = dir.file("z.zip"), out = dir.file("out");
            ASSERT_TRUE(Lay(archive, pieces, zip64End, -1, prefix));
            const Outcome run = Extract(archive, out);
            ASSERT_EQ(run.Error, nullptr) << (run.Lines.empty() ? "" : run.Lines[0]);
            for (const Piece& p : pieces) EXPECT_TRUE(ReadFile(out + "/" + p.Name) == p.Data) << p.Name;
            if (prefix.empty()) {
                EXPECT_TRUE(PythonSees(archive, pieces[2].Name) == "3\n" + pieces[2].Data);
            }
            ASSERT_EQ(system(("rm -rf '" + out + "'").c_str()), 0);
        }
    }
}

// Archives made by zip with zip64 fields forced, stored and deflated, from files and from a pipe
// (which writes data descriptors): each extracts as unzip extracts it.
TEST(UnzipArchive, ZipToolZip64ArchivesExtract) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("a.txt"), Sample(5000, 1)));
    ASSERT_TRUE(WriteText(dir.file("empty"), ""));
    const char* commands[] = {"zip -q -fz z.zip a.txt empty", "zip -q -fz -0 z.zip a.txt empty",
                              "cat a.txt | zip -q -fz z.zip -"};
    for (const char* command : commands) {
        SCOPED_TRACE(command);
        const std::string archive = dir.file("z.zip"), out = dir.file("out"), peer = dir.file("peer");
        ASSERT_EQ(system(("cd '" + dir.path() + "' && rm -f z.zip && " + command).c_str()), 0);
        const Outcome run = Extract(archive, out);
        ASSERT_EQ(run.Error, nullptr) << (run.Lines.empty() ? "" : run.Lines[0]);
        ASSERT_EQ(system(("unzip -qo '" + archive + "' -d '" + peer + "'").c_str()), 0);
        ASSERT_EQ(system(("diff -r '" + out + "' '" + peer + "'").c_str()), 0);
        ASSERT_EQ(system(("rm -rf '" + out + "' '" + peer + "'").c_str()), 0);
    }
}

// An archive of 4.1 GiB kept as a sparse file: a stored entry of zero bytes larger than 4 GiB
// (its sizes only in zip64 fields), and small entries behind it (their offsets only there). The
// small ones extract; an entry inside the large one's data is an overlap, which the 32-bit sizes
// (all ones) would not show.
TEST(UnzipArchive, ArchiveLargerThanFourGiBIsReadByItsZip64Fields) {
    TempDir dir;
    const uint64_t big = (41ull << 30) / 10;
    Piece hole;
    hole.Name = "big.bin", hole.Zeros = big, hole.Zip64 = hole.Zip64Local = true;
    Piece small;
    small.Name = "small1.txt", small.Data = Sample(3000, 9), small.Deflate = true, small.Zip64 = true;
    Piece second = small;
    second.Name = "small2.txt", second.Data = "second", second.Deflate = false;
    const std::string archive = dir.file("big.zip");
    // Zip64 end records: the directory lies beyond 4 GiB.
    ASSERT_TRUE(Lay(archive, {hole, small, second}, true));
    {
        const Outcome run = Extract(archive, dir.file("out"), "small*");
        ASSERT_STREQ(run.Error, nullptr) << (run.Lines.empty() ? "" : run.Lines[0]);
        EXPECT_TRUE(ReadFile(dir.file("out/small1.txt")) == small.Data);
        EXPECT_EQ(ReadFile(dir.file("out/small2.txt")), "second");
        EXPECT_TRUE(PythonSees(archive, "small1.txt") == "3\n" + small.Data);
    }
    // The same records, and one more naming bytes 256 MiB before the end of big.bin's data.
    const Made holeMade = Make(hole, 0);
    const int fd = open(archive.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const off_t end = lseek(fd, 0, SEEK_END);
    std::string tail(200000, '\0');
    const off_t tailAt = end - (off_t)tail.size();
    ASSERT_EQ(pread(fd, tail.data(), tail.size(), tailAt), (ssize_t)tail.size());
    // The zip64 end record names the directory.
    const size_t record = tail.rfind(std::string("\x50\x4b\x06\x06", 4));
    ASSERT_NE(record, std::string::npos);
    uint64_t directoryStart = 0, directorySize = 0;
    memcpy(&directoryStart, tail.data() + record + 48, 8);
    memcpy(&directorySize, tail.data() + record + 40, 8);
    Piece inner;
    inner.Name = "inner.txt", inner.Data = std::string(100, '\0'), inner.Zip64 = true;
    const uint64_t innerAt = holeMade.Local.size() + big - (256ull << 20);
    std::string records = tail.substr((size_t)(directoryStart - (uint64_t)tailAt), (size_t)directorySize);
    records += Make(inner, innerAt).Central;
    const std::string rest = records + EndOf(4, directoryStart, records.size(), true);
    ASSERT_EQ(pwrite(fd, rest.data(), rest.size(), (off_t)directoryStart), (ssize_t)rest.size());
    ASSERT_EQ(ftruncate(fd, (off_t)(directoryStart + rest.size())), 0);
    ASSERT_EQ(close(fd), 0);
    const std::string box = dir.file("box");
    ASSERT_EQ(mkdir(box.c_str(), 0700), 0);
    const Outcome run = Extract(archive, box + "/out");
    EXPECT_STREQ(run.Error, "Unzip_Error_Extract");
    EXPECT_EQ(run.Lines, std::vector<std::string>{"Refusing archive " + archive + ": entry inner.txt overlaps entry big.bin"});
    EXPECT_EQ(CountTree(box), 0u);
}

// Reads the file at `relative` below `root` through one descriptor per component, as a path
// longer than the system takes in one text must be read.
std::string ReadBelow(const std::string& root, const std::string& relative) {
    int at = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    size_t start = 0;
    for (size_t slash; at >= 0 && (slash = relative.find('/', start)) != std::string::npos; start = slash + 1) {
        const int next = openat(at, relative.substr(start, slash - start).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(at);
        at = next;
    }
    if (at < 0) return "(missing)";
    const int fd = openat(at, relative.substr(start).c_str(), O_RDONLY | O_CLOEXEC);
    close(at);
    if (fd < 0) return "(missing)";
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;) out.append(buffer, (size_t)n);
    close(fd);
    return out;
}

// A path of short components `length` bytes long, ending in `leaf`.
std::string Nested(size_t length, const std::string& leaf) {
    std::string path;
    for (int32_t i = 0; path.size() + leaf.size() < length; i++) path += i % 2 ? "node_modules/" : "pkg" + std::to_string(i) + "/";
    path.resize(length - leaf.size() - 1);
    if (path.back() == '/') path.back() = 'x';
    return path + "/" + leaf;
}

// Names are never cut: long paths of short components extract whole, as unzip extracts them (a
// path longer than the system takes in one text too, made a component at a time); a component or
// a path the file system cannot hold refuses the archive, naming the entry, before any write.
TEST(UnzipArchive, LongNamesExtractWholeOrRefuseTheArchive) {
    TempDir dir;
    const std::string deep = Nested(285, "x");
    std::string edge = std::string(254, 'a') + "/" + std::string(7, 'b');
    edge = "c/" + edge.substr(2); // its byte 255 is a separator: a cut there names a folder
    std::vector<Piece> pieces = {Named(deep + "/a.js", "first"), Named(deep + "/b.js", "second"),
                                 Named(deep + "/c/d.js", "third"), Named(edge, "edge")};
    const std::string archive = dir.file("long.zip");
    ASSERT_TRUE(Lay(archive, pieces, false));
    {
        const Outcome run = Extract(archive, dir.file("out"));
        ASSERT_EQ(run.Error, nullptr) << (run.Lines.empty() ? "" : run.Lines[0]);
        for (const Piece& p : pieces) EXPECT_EQ(ReadFile(dir.file("out/" + p.Name)), p.Data) << p.Name.size();
        ASSERT_EQ(system(("unzip -qo '" + archive + "' -d '" + dir.file("peer") + "'").c_str()), 0);
        ASSERT_EQ(system(("diff -r '" + dir.file("out") + "' '" + dir.file("peer") + "'").c_str()), 0);
    }
    // 4,095 bytes below the output directory, the longest path taken: longer than the system takes
    // with the output directory in one text.
    const std::string longest = Nested(4095, "end.txt");
    ASSERT_TRUE(Lay(archive, {Named(longest, "deep")}, false));
    const std::string box = dir.file("box") + std::string(120, 'o');
    ASSERT_EQ(mkdir(box.c_str(), 0700), 0);
    {
        const Outcome run = Extract(archive, box + "/out");
        ASSERT_EQ(run.Error, nullptr) << (run.Lines.empty() ? "" : run.Lines[0]);
        EXPECT_EQ(ReadBelow(box + "/out", longest), "deep");
        ASSERT_EQ(system(("rm -rf '" + box + "'/out").c_str()), 0);
    }
    const struct {
        std::string name;
        const char* why;
    } refused[] = {{"ok/" + std::string(256, 'n') + "/x", "a component of its path is longer than the file system takes"},
                   {std::string(256, 'n'), "a component of its path is longer than the file system takes"},
                   {Nested(4096, "x"), "its path is longer than the file system takes"}};
    for (const auto& r : refused) {
        SCOPED_TRACE(r.name.size());
        ASSERT_TRUE(Lay(archive, {Named("first.txt", "written first"), Named(r.name, "x")}, false));
        const Outcome run = Extract(archive, box + "/out");
        EXPECT_STREQ(run.Error, "Unzip_Error_Extract");
        // The log line escapes and bounds the name it gives.
        ASSERT_EQ(run.Lines.size(), 1u);
        EXPECT_EQ(run.Lines[0].rfind("Refusing entry " + r.name.substr(0, 200), 0), 0u);
        const std::string why = std::string(": ") + r.why;
        EXPECT_EQ(run.Lines[0].substr(run.Lines[0].size() - std::min(run.Lines[0].size(), why.size())), why);
        EXPECT_EQ(CountTree(box), 0u);
    }
}

// The entries are every record the central directory holds, by its size: 70,000 entries whose
// end record counts 4,464 (the count's low 16 bits) all extract, as Python's zipfile lists them.
TEST(UnzipArchive, EntriesAreWhatTheDirectoryHoldsWhateverTheCount) {
    TempDir dir;
    std::vector<Piece> pieces;
    for (int32_t i = 0; i < 70000; i++) {
        char name[16];
        snprintf(name, sizeof(name), "e%05d", i);
        pieces.push_back(Named(name, std::to_string(i)));
    }
    const std::string archive = dir.file("many.zip");
    ASSERT_TRUE(Lay(archive, pieces, false));
    EXPECT_EQ(PythonSees(archive), "70000\n");
    // One entry in ten: more than a page of entries is kept.
    const Outcome run = Extract(archive, dir.file("out"), "e*0");
    ASSERT_EQ(run.Error, nullptr) << (run.Lines.empty() ? "" : run.Lines[0]);
    EXPECT_EQ(CountTree(dir.file("out")), 7000u);
    EXPECT_EQ(ReadFile(dir.file("out/e69000")), "69000");
}

// The zip64 end records are taken only where the format puts them. A locator hidden in the
// archive's comment, leading to a second directory, names nothing: the archive is what every
// other reader sees. A locator in its place whose record does not hold, or an end record that
// disagrees with it, leaves no directory to trust.
TEST(UnzipArchive, Zip64EndRecordsAreTakenOnlyWhereTheFormatPutsThem) {
    TempDir dir;
    const Piece visible = Named("visible.txt", "seen by all"), hidden = Named("hidden.txt", "seen by one");
    const Made v = Make(visible, 0), h = Make(hidden, v.Local.size() + v.Body.size());
    std::string bytes = v.Local + v.Body + h.Local + h.Body;
    const uint64_t second = bytes.size();
    bytes += h.Central;
    const uint64_t record = bytes.size();
    bytes += EndOf(1, second, h.Central.size(), true).substr(0, 56);
    const uint64_t first = bytes.size();
    bytes += v.Central;
    std::string locator;
    Put(locator, 0x07064b50, 4), Put(locator, 0, 4), Put(locator, record, 8), Put(locator, 1, 4);
    const std::string archive = dir.file("two.zip");
    ASSERT_TRUE(WriteText(archive, bytes + EndOf(1, first, v.Central.size(), false, locator)));
    {
        const Outcome run = Extract(archive, dir.file("out"));
        ASSERT_EQ(run.Error, nullptr) << (run.Lines.empty() ? "" : run.Lines[0]);
        EXPECT_EQ(CountTree(dir.file("out")), 1u);
        EXPECT_EQ(ReadFile(dir.file("out/visible.txt")), "seen by all");
        EXPECT_EQ(PythonSees(archive, "visible.txt"), "1\nseen by all");
    }
    // In its place, the locator of an archive whose zip64 end record is sound, then spoilt.
    std::string sound = v.Local + v.Body;
    const uint64_t start = sound.size();
    sound += v.Central + EndOf(1, start, v.Central.size(), true);
    ASSERT_TRUE(WriteText(archive, sound));
    EXPECT_EQ(Extract(archive, dir.file("sound")).Error, nullptr);
    const size_t zip64 = start + v.Central.size(), end = zip64 + 56 + 20;
    const struct {
        const char* name;
        size_t at;
        uint8_t value;
    } spoilt[] = {{"locator names another place", zip64 + 56 + 8, 1},
                  {"record without its signature", zip64, 0},
                  {"end record's directory size disagrees", end + 12, 0},
                  {"end record's directory offset disagrees", end + 16, 0}};
    for (const auto& s : spoilt) {
        SCOPED_TRACE(s.name);
        std::string changed = sound;
        changed[s.at] = (char)s.value;
        ASSERT_TRUE(WriteText(archive, changed));
        EXPECT_STREQ(Extract(archive, dir.file("spoilt")).Error, "Unzip_Error_Open");
        EXPECT_EQ(CountTree(dir.file("spoilt")), 0u);
    }
}

// The data is read where the local header says it starts, and that header must bear out the
// directory record: a name length that differs (so the data would be read from elsewhere), or a
// record whose zip64 offset names another entry's local header, refuses the archive before any
// write. A local extra field longer than the record's is the format's and extracts.
TEST(UnzipArchive, LocalHeadersMustBearOutTheirRecords) {
    TempDir dir;
    std::vector<Piece> pieces = {Named("a.txt", Sample(300, 1)), Named("b.bin", Sample(2000, 2)), Named("c.txt", "c")};
    pieces[1].Deflate = true;
    pieces[2].LocalExtra = std::string("\x55\x54\x05\x00\x01\x00\x00\x00\x00", 9);
    const std::string archive = dir.file("l.zip"), box = dir.file("box");
    ASSERT_EQ(mkdir(box.c_str(), 0700), 0);
    ASSERT_TRUE(Lay(archive, pieces, false));
    const std::string bytes = ReadFile(archive);
    const size_t b = bytes.find("b.bin") - 30;
    {
        const Outcome run = Extract(archive, box + "/out");
        ASSERT_EQ(run.Error, nullptr) << (run.Lines.empty() ? "" : run.Lines[0]);
        for (const Piece& p : pieces) EXPECT_TRUE(ReadFile(box + "/out/" + p.Name) == p.Data) << p.Name;
        ASSERT_EQ(system(("rm -rf '" + box + "'/out").c_str()), 0);
    }
    for (int32_t delta : {1, -1}) {
        std::string changed = bytes;
        changed[b + 26] = (char)(changed[b + 26] + delta);
        ASSERT_TRUE(WriteText(archive, changed));
        const Outcome run = Extract(archive, box + "/out");
        EXPECT_STREQ(run.Error, "Unzip_Error_Extract");
        EXPECT_EQ(run.Lines, std::vector<std::string>{"Refusing archive " + archive +
                                                      ": entry b.bin: its local header disagrees with its record"});
        EXPECT_EQ(CountTree(box), 0u);
    }
    // Sizes after the data that disagree with the record.
    std::vector<Piece> trailing = pieces;
    trailing[1].Descriptor = true;
    ASSERT_TRUE(Lay(archive, trailing, false));
    std::string wrong = ReadFile(archive);
    wrong[wrong.find("PK\x07\x08") + 4] ^= 1;
    ASSERT_TRUE(WriteText(archive, wrong));
    {
        const Outcome run = Extract(archive, box + "/out");
        EXPECT_EQ(run.Lines, std::vector<std::string>{"Refusing archive " + archive +
                                                      ": entry b.bin: its data descriptor disagrees with its record"});
        EXPECT_EQ(CountTree(box), 0u);
    }
    Piece twin = Named("twin", pieces[1].Data);
    twin.Deflate = twin.Zip64 = true;
    ASSERT_TRUE(Lay(archive, pieces, false, -1, "", {{twin, b}}));
    const Outcome run = Extract(archive, box + "/out");
    EXPECT_STREQ(run.Error, "Unzip_Error_Extract");
    EXPECT_EQ(run.Lines, std::vector<std::string>{"Refusing archive " + archive + ": entry twin overlaps entry b.bin"});
    EXPECT_EQ(CountTree(box), 0u);
}

} // namespace
