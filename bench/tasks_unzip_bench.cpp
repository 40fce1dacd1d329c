// Speed of the Unzip task run end to end through the engine (a workflow's task started, its
// worker thread, the main loop pumped until the run has ended) beside `unzip -q`: a 200 MB
// archive of 10,000 deflated entries in 100 folders, and one of 65,536 small entries (its central
// directory in file order, reversed and interleaved), extracted into a fresh folder each time; and the reading of the small entries alone beside `unzip -tq`. The
// data lives in a fresh directory under $TMPDIR, else /tmp (the same file system for both sides).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <minizip/unzip.h>

#include "bench/peer_ratio.h"
#include "bench/task_run.h"
#include "core/formats/json.h"
#include "core/platform/zip_file.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "tasks/task_library.h"
#include "tasks/unzip_archive.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"

namespace {

void RemoveTree(const std::string& path) {
    nftw(
        path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 64,
        FTW_DEPTH | FTW_PHYS);
}

// 10,000 entries of 20,000 bytes each: words drawn from a seeded generator, so that the entries
// deflate to about a third of their size as ordinary text would.
const char kMakeArchive[] = R"PY(
import random, sys, zipfile
rng = random.Random(7)
words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 9))) for _ in range(4000)]
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED, compresslevel=6) as z:
    for d in range(100):
        for f in range(100):
            text = []
            size = 0
            while size < 20000:
                w = rng.choice(words) + rng.choice(' \n')
                text.append(w)
                size += len(w)
            z.writestr('d%03d/file%03d.txt' % (d, f), ''.join(text)[:20000])
)PY";

// 65,536 empty stored entries and one last file: the walk over the directory is all the work.
const char kMakeMany[] =
    "import sys, zipfile\n"
    "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_STORED) as z:\n"
    "    for i in range(65535): z.writestr('e%05d' % i, '')\n"
    "    z.writestr('last.txt', 'end')\n";

// 65,536 small deflated entries in 256 folders: each entry's directory record, local header and
// few bytes of data are read in turn. The same entries again with the central directory listing
// them in reverse, and first, last, second, second to last and so on (the entries' own order in
// the file unchanged).
const char kMakeSmall[] =
    "import sys, zipfile\n"
    "order = sys.argv[2]\n"
    "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
    "    for i in range(65536): z.writestr('d%03d/f%05d.txt' % (i % 256, i), 'entry %d ' % i * (i % 8))\n"
    "    f = list(z.filelist); n = len(f)\n"
    "    if order == 'reversed': z.filelist[:] = f[::-1]\n"
    "    if order == 'interleaved': z.filelist[:] = [f[i // 2] if i % 2 == 0 else f[n - 1 - i // 2] for i in range(n)]\n";

void Put(std::string& out, uint64_t value, int32_t bytes) {
    for (int32_t i = 0; i < bytes; i++) out += (char)(value >> (8 * i));
}

constexpr uint32_t kHugeCount = 3000000;

// 3,000,000 empty stored entries, then "last.txt" and a pair that cannot both be made ("zz" and
// "zz/x"), with zip64 end records: written directly, as a zip tool would take minutes to.
bool MakeHuge(const std::string& path) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return false;
    std::string directory, local;
    uint64_t offset = 0;
    bool ok = true;
    auto entry = [&](const std::string& name, const std::string& data) {
        const uint32_t crc = (uint32_t)crc32(0, (const Bytef*)data.data(), (uInt)data.size());
        local.clear();
        Put(local, 0x04034b50, 4), Put(local, 20, 2), Put(local, 0, 2), Put(local, 0, 2), Put(local, 0x58210000, 4);
        Put(local, crc, 4), Put(local, data.size(), 4), Put(local, data.size(), 4), Put(local, name.size(), 2);
        Put(local, 0, 2);
        local += name + data;
        ok = ok && fwrite(local.data(), 1, local.size(), file) == local.size();
        Put(directory, 0x02014b50, 4), Put(directory, 20, 2), Put(directory, 20, 2), Put(directory, 0, 2);
        Put(directory, 0, 2), Put(directory, 0x58210000, 4), Put(directory, crc, 4), Put(directory, data.size(), 4);
        Put(directory, data.size(), 4), Put(directory, name.size(), 2), Put(directory, 0, 2), Put(directory, 0, 2);
        Put(directory, 0, 2), Put(directory, 0, 2), Put(directory, 0, 4), Put(directory, offset, 4);
        directory += name;
        offset += local.size();
    };
    char name[32];
    for (uint32_t i = 0; i < kHugeCount; i++) {
        snprintf(name, sizeof(name), "d%03u/e%07u", i % 1000, i);
        entry(name, "");
    }
    entry("last.txt", "end");
    entry("zz", "file");
    entry("zz/x", "below a file");
    const uint64_t count = kHugeCount + 3;
    std::string end;
    Put(end, 0x06064b50, 4), Put(end, 44, 8), Put(end, 45, 2), Put(end, 45, 2), Put(end, 0, 4), Put(end, 0, 4);
    Put(end, count, 8), Put(end, count, 8), Put(end, directory.size(), 8), Put(end, offset, 8);
    Put(end, 0x07064b50, 4), Put(end, 0, 4), Put(end, offset + directory.size(), 8), Put(end, 1, 4);
    Put(end, 0x06054b50, 4), Put(end, 0, 4), Put(end, 0xffff, 2), Put(end, 0xffff, 2), Put(end, 0xffffffffu, 4);
    Put(end, 0xffffffffu, 4), Put(end, 0, 2);
    ok = ok && fwrite(directory.data(), 1, directory.size(), file) == directory.size() &&
         fwrite(end.data(), 1, end.size(), file) == end.size();
    return fclose(file) == 0 && ok;
}

class Data {
  public:
    static Data& Get() {
        static Data data;
        return data;
    }
    std::string root, archive, many, small, reversed, interleaved, huge, output;
    bool ready = false;

    ~Data() {
        if (engine) {
            uint32_t code = 0;
            WorkflowApp_Remove(&code);
        }
        if (!root.empty()) RemoveTree(root);
    }

  private:
    bool engine = false;

    static bool MakeSmall(const std::string& path, const char* order) {
        return system(("/usr/bin/python3 -c \"" + std::string(kMakeSmall) + "\" '" + path + "' " + order).c_str()) == 0;
    }

    Data() {
        const char* temp = getenv("TMPDIR");
        std::string pattern = std::string(temp && temp[0] ? temp : "/tmp") + "/qvr-tasks-unzip-bench-XXXXXX";
        if (!mkdtemp(pattern.data())) return;
        root = pattern;
        archive = root + "/data.zip";
        many = root + "/many.zip";
        small = root + "/small.zip";
        reversed = root + "/reversed.zip";
        interleaved = root + "/interleaved.zip";
        huge = root + "/huge.zip";
        output = root + "/out";
        TaskLibrary_Register();
        engine = WorkflowApp_Init("tasks_unzip_bench.log", DEBUG_FLAG_EXTERNAL_PRINT) == 1;
        const std::string script = root + "/make.py";
        FILE* file = fopen(script.c_str(), "w");
        if (!file) return;
        fputs(kMakeArchive, file);
        fclose(file);
        ready =
            engine && system(("/usr/bin/python3 '" + script + "' '" + archive + "'").c_str()) == 0 &&
            system(("/usr/bin/python3 -c \"" + std::string(kMakeMany) + "\" '" + many + "'").c_str()) == 0 &&
            MakeSmall(small, "file") && MakeSmall(reversed, "reversed") && MakeSmall(interleaved, "interleaved") &&
            MakeHuge(huge);
    }
};

using task_run::RunTask;

// Each iteration extracts into an output folder emptied beforehand (outside the timing): through
// the task, or through the peer's command.
void ExtractEach(benchmark::State& state, const std::function<bool()>& extract) {
    Data& data = Data::Get();
    if (!data.ready) return state.SkipWithError("no data");
    for (auto _ : state) {
        state.PauseTiming();
        RemoveTree(data.output);
        state.ResumeTiming();
        if (!extract()) state.SkipWithError("extraction failed");
    }
    RemoveTree(data.output);
}

std::string UnzipDocument(const std::string& archive, const std::string& more = "") {
    return "{\"t\": {\"type\": \"Unzip\", \"path\": \"" + archive + "\", \"outputDirectory\": \"" +
           Data::Get().output + "\"" + more + "}}";
}

void BM_Unzip_Task(benchmark::State& state) {
    const std::string document = UnzipDocument(Data::Get().archive);
    ExtractEach(state, [&] { return RunTask(document); });
}

void BM_Unzip_unzip(benchmark::State& state) {
    const std::string command = "unzip -q -o '" + Data::Get().archive + "' -d '" + Data::Get().output + "'";
    ExtractEach(state, [&] { return system(command.c_str()) == 0; });
}

// One file picked out of 65,536 entries by a pattern, against unzip naming it.
void BM_Unzip_WalkTask(benchmark::State& state) {
    const std::string document = UnzipDocument(Data::Get().many, ", \"pathInZip\": \"last.*\"");
    ExtractEach(state, [&] { return RunTask(document); });
}

void BM_Unzip_WalkUnzip(benchmark::State& state) {
    const std::string command = "unzip -q -o '" + Data::Get().many + "' 'last.*' -d '" + Data::Get().output + "'";
    ExtractEach(state, [&] { return system(command.c_str()) == 0; });
}

// One file named out of 3,000,000 entries, against `unzip -o archive name`: the directory walked
// once, and only that entry's local header and data read.
void BM_Unzip_OneOf3MTask(benchmark::State& state) {
    const std::string document = UnzipDocument(Data::Get().huge, ", \"pathInZip\": \"last.txt\"");
    ExtractEach(state, [&] { return RunTask(document); });
}

void BM_Unzip_OneOf3MUnzip(benchmark::State& state) {
    const std::string command = "unzip -q -o '" + Data::Get().huge + "' last.txt -d '" + Data::Get().output + "'";
    ExtractEach(state, [&] { return system(command.c_str()) == 0; });
}

// "VmRSS" or "VmHWM" of this process, in KiB.
uint64_t StatusKiB(const char* key) {
    FILE* status = fopen("/proc/self/status", "r");
    if (!status) return 0;
    char line[256];
    uint64_t value = 0;
    while (fgets(line, sizeof(line), status))
        if (strncmp(line, key, strlen(key)) == 0) value = strtoull(line + strlen(key) + 1, nullptr, 10);
    fclose(status);
    return value;
}

// The memory of every one of the 3,000,003 entries matching: the walk keeps each, the plan sorts
// them all and refuses the archive at its last pair ("zz" is a file that "zz/x" needs as a folder),
// before anything is written. The counter bytes_per_entry is the growth of the peak resident set
// over the run per entry, names included (an entry's own record is 64 bytes, its order 4).
void BM_Unzip_Memory3M(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready) return state.SkipWithError("no data");
    double perEntry = 0;
    for (auto _ : state) {
        RemoveTree(data.output);
        FILE* clear = fopen("/proc/self/clear_refs", "w");
        if (!clear || fputs("5", clear) < 0 || fclose(clear) != 0) return state.SkipWithError("peak not reset");
        const uint64_t before = StatusKiB("VmRSS:");
        UnzipJob job = {data.huge.c_str(), "*", data.output.c_str(), "", nullptr, nullptr, nullptr, nullptr, nullptr, 0};
        if (!Unzip_Extract(&job) || access(data.output.c_str(), F_OK) == 0) return state.SkipWithError("not refused");
        perEntry = (double)(StatusKiB("VmHWM:") - before) * 1024.0 / (double)(kHugeCount + 3);
    }
    state.counters["bytes_per_entry"] = perEntry;
}

// Every entry of 65,536 small ones, the central directory in file order, reversed or interleaved:
// the task reads the directory once and the entries in file order whatever the directory's. Bytes
// read from the file per byte of the archive are reported as the counter read_per_byte. The
// archive is named by its member: the data is made on the first run, not at registration.
void ExtractManyTask(benchmark::State& state, std::string Data::*archive) {
    const std::string& path = Data::Get().*archive;
    const std::string document = UnzipDocument(path);
    struct stat info = {};
    stat(path.c_str(), &info);
    uint64_t before = 0, after = 0;
    ZipFile_GetReadTotals(&before, nullptr);
    ExtractEach(state, [&] { return RunTask(document); });
    ZipFile_GetReadTotals(&after, nullptr);
    if (info.st_size > 0 && state.iterations() > 0)
        state.counters["read_per_byte"] =
            (double)(after - before) / (double)info.st_size / (double)state.iterations();
}

void ExtractManyUnzip(benchmark::State& state, std::string Data::*archive) {
    const std::string command = "unzip -q -o '" + Data::Get().*archive + "' -d '" + Data::Get().output + "'";
    ExtractEach(state, [&] { return system(command.c_str()) == 0; });
}

// One row per order of the directory: the task and unzip over the same archive, and their ratio.
struct ManyRow {
    const char* label;
    const char* task;
    const char* unzip;
    std::string Data::*archive;
};
const ManyRow kMany[] = {
    {"Unzip 65,536 small entries (task / unzip -q)", "BM_Unzip_ManyTask", "BM_Unzip_ManyUnzip", &Data::small},
    {"Unzip 65,536 small entries, directory reversed (task / unzip -q)", "BM_Unzip_ReversedTask",
     "BM_Unzip_ReversedUnzip", &Data::reversed},
    {"Unzip 65,536 small entries, directory interleaved (task / unzip -q)", "BM_Unzip_InterleavedTask",
     "BM_Unzip_InterleavedUnzip", &Data::interleaved},
};

benchmark::internal::Benchmark* Extracting(benchmark::internal::Benchmark* b) {
    return b->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
}

// A row's pair registered and hooked as the BENCHMARK lines around it are (a slot of the hooks
// each), with its ratio; rows in order, so that the list and the ratios keep the table's order.
template <size_t Row> void RegisterMany() {
    const ManyRow& row = kMany[Row];
    peer_ratio::HookRegistered<2 * (int)Row>(
        Extracting(benchmark::RegisterBenchmark(row.task, ExtractManyTask, row.archive)));
    peer_ratio::HookRegistered<2 * (int)Row + 1>(
        Extracting(benchmark::RegisterBenchmark(row.unzip, ExtractManyUnzip, row.archive)));
    peer_ratio::Register(row.label, row.task, row.unzip);
}
template <size_t... Row> int RegisterEveryMany(std::index_sequence<Row...>) {
    (RegisterMany<Row>(), ...);
    return 0;
}

// The reading alone: every entry of the 65,536 read, inflated and checked through the zip layer as
// the task reads them (nothing written), against `unzip -tq`, which tests every entry. Bytes read
// from the file per byte of the archive are reported as the counter read_per_byte.
void BM_Unzip_ReadLayer(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready) return state.SkipWithError("no data");
    zlib_filefunc64_def functions;
    ZipFile_FillFileFunc64(&functions);
    struct stat info = {};
    stat(data.small.c_str(), &info);
    uint64_t before = 0, after = 0;
    ZipFile_GetReadTotals(&before, nullptr);
    static char buffer[16384];
    for (auto _ : state) {
        unzFile archive = unzOpen2_64(data.small.c_str(), &functions);
        if (!archive) return state.SkipWithError("open failed");
        int status = unzGoToFirstFile(archive);
        for (; status == UNZ_OK; status = unzGoToNextFile(archive)) {
            if (unzOpenCurrentFile(archive) != UNZ_OK) break;
            while (unzReadCurrentFile(archive, buffer, sizeof(buffer)) > 0) {
            }
            if (unzCloseCurrentFile(archive) != UNZ_OK) break;
        }
        unzClose(archive);
        if (status != UNZ_END_OF_LIST_OF_FILE) return state.SkipWithError("reading failed");
    }
    ZipFile_GetReadTotals(&after, nullptr);
    state.counters["read_per_byte"] =
        (double)(after - before) / (double)info.st_size / (double)state.iterations();
}

void BM_Unzip_ReadUnzip(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready) return state.SkipWithError("no data");
    const std::string command = "unzip -tq '" + data.small + "' > /dev/null";
    for (auto _ : state)
        if (system(command.c_str()) != 0) state.SkipWithError("unzip -tq failed");
}

} // namespace

BENCHMARK(BM_Unzip_Task)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_Unzip_unzip)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

BENCHMARK(BM_Unzip_WalkTask)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Unzip_WalkUnzip)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

PEER_RATIO("Unzip 200 MB, 10,000 deflated entries (task / unzip -q)", "BM_Unzip_Task", "BM_Unzip_unzip");

BENCHMARK(BM_Unzip_OneOf3MTask)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Unzip_OneOf3MUnzip)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
PEER_RATIO("One file named out of 3,000,000 entries (task / unzip -o archive name)", "BM_Unzip_OneOf3MTask",
           "BM_Unzip_OneOf3MUnzip");
BENCHMARK(BM_Unzip_Memory3M)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

static const int kManyRegistered = RegisterEveryMany(std::make_index_sequence<std::size(kMany)>());

BENCHMARK(BM_Unzip_ReadLayer)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Unzip_ReadUnzip)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

PEER_RATIO("Read every one of 65,536 small entries (zip layer / unzip -tq)", "BM_Unzip_ReadLayer",
           "BM_Unzip_ReadUnzip");
PEER_RATIO("One file out of 65,536 entries by a pattern (task / unzip -q)", "BM_Unzip_WalkTask", "BM_Unzip_WalkUnzip");

PEER_RATIO_MAIN()
