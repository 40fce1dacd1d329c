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
#include <sys/stat.h>
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

Outcome Extract(const std::string& archive, const std::string& out) {
    Outcome run = {nullptr, {}, 0};
    UnzipJob job = {archive.c_str(), "*", out.c_str(), "", &run, nullptr, nullptr, Collect, nullptr, 0};
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

} // namespace
