// Speed of whole-file copies and tree walks: Path_CopyFile on a 1 GiB file beside `cp`, and a
// DirectoryList walk of 100,000 files beside `find`, on the same data in the same run. The data
// lives in a fresh directory under /tmp and is removed when the program ends; the ratios of the
// measured times are printed then.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/platform/directory_list.h"
#include "core/platform/path.h"

namespace {

constexpr uint64_t kFileBytes = 1ull << 30;
constexpr int32_t kDirectories = 100;
constexpr int32_t kFilesPerDirectory = 1000;

// The data of every benchmark, made on first use; the destructor removes it and prints ratios.
class Data {
  public:
    static Data& Get() {
        static Data data;
        return data;
    }
    const std::string& source() const { return source_; }
    const std::string& destination() const { return destination_; }
    const std::string& tree() const { return tree_; }
    bool ready() const { return ready_; }

    // Mean seconds per iteration of each side, for the ratios printed at the end.
    double copyOurs = 0, copyCp = 0, walkOurs = 0, walkFind = 0;

    ~Data() {
        if (copyOurs > 0 && copyCp > 0)
            printf("copy 1 GiB: Path_CopyFile %.3f s, cp %.3f s, ratio %.2f\n", copyOurs, copyCp,
                   copyOurs / copyCp);
        if (walkOurs > 0 && walkFind > 0)
            printf("walk 100,000 files: DirectoryList_Walk %.3f s, find %.3f s, ratio %.2f\n", walkOurs,
                   walkFind, walkOurs / walkFind);
        if (!root_.empty())
            nftw(
                root_.c_str(),
                [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 64,
                FTW_DEPTH | FTW_PHYS);
    }

  private:
    Data() {
        char pattern[] = "/tmp/qvr-path-bench-XXXXXX";
        if (!mkdtemp(pattern)) return;
        root_ = pattern;
        source_ = root_ + "/source.bin";
        destination_ = root_ + "/copy.bin";
        tree_ = root_ + "/tree";
        ready_ = MakeSource() && MakeTree();
    }

    bool MakeSource() {
        int fd = open(source_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return false;
        std::string block(1 << 20, '\0');
        for (size_t i = 0; i < block.size(); i++) block[i] = (char)(i * 131 + 7);
        bool ok = true;
        for (uint64_t written = 0; ok && written < kFileBytes; written += block.size())
            ok = write(fd, block.data(), block.size()) == (ssize_t)block.size();
        return close(fd) == 0 && ok;
    }

    bool MakeTree() {
        if (mkdir(tree_.c_str(), 0755) != 0) return false;
        for (int32_t d = 0; d < kDirectories; d++) {
            const std::string directory = tree_ + "/d" + std::to_string(d);
            if (mkdir(directory.c_str(), 0755) != 0) return false;
            for (int32_t f = 0; f < kFilesPerDirectory; f++) {
                int fd = open((directory + "/file" + std::to_string(f) + ".dat").c_str(), O_WRONLY | O_CREAT,
                              0644);
                if (fd < 0) return false;
                close(fd);
            }
        }
        return true;
    }

    std::string root_, source_, destination_, tree_;
    bool ready_ = false;
};

double SecondsPerIteration(const benchmark::State& state, double total) {
    return state.iterations() ? total / (double)state.iterations() : 0;
}

void BM_CopyFile_Path(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready()) return state.SkipWithError("no data");
    double total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        unlink(data.destination().c_str());
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        PlatformErrorCode error = 0;
        if (!Path_CopyFile(data.source().c_str(), data.destination().c_str(), 0, 1, &error, nullptr, nullptr))
            state.SkipWithError("copy failed");
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    unlink(data.destination().c_str());
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kFileBytes);
    data.copyOurs = SecondsPerIteration(state, total);
}

void BM_CopyFile_cp(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready()) return state.SkipWithError("no data");
    const std::string command = "cp '" + data.source() + "' '" + data.destination() + "'";
    double total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        unlink(data.destination().c_str());
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        if (system(command.c_str()) != 0) state.SkipWithError("cp failed");
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    unlink(data.destination().c_str());
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kFileBytes);
    data.copyCp = SecondsPerIteration(state, total);
}

uint32_t CountEntry(DirectoryList*, void* user, uint32_t, const char*) {
    ++*static_cast<uint64_t*>(user);
    return 1;
}

void BM_Walk_DirectoryList(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready()) return state.SkipWithError("no data");
    DirectoryList* list = nullptr;
    DirectoryList_Create(&list);
    uint64_t entries = 0;
    DirectoryList_SetWalkCallback(list, &entries, CountEntry);
    double total = 0;
    for (auto _ : state) {
        entries = 0;
        const auto start = std::chrono::steady_clock::now();
        if (!DirectoryList_Walk(list, data.tree().c_str(), nullptr)) state.SkipWithError("walk failed");
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (entries != (uint64_t)kDirectories * (kFilesPerDirectory + 1))
            state.SkipWithError("entries missing");
    }
    DirectoryList_Delete(&list);
    state.counters["entries"] = (double)entries;
    data.walkOurs = SecondsPerIteration(state, total);
}

void BM_Walk_find(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready()) return state.SkipWithError("no data");
    // find prints every path, as the walk hands every path to its callback; the count is checked.
    const std::string command = "find '" + data.tree() + "' -mindepth 1 | wc -l";
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        FILE* pipe = popen(command.c_str(), "r");
        uint64_t entries = 0;
        if (!pipe || fscanf(pipe, "%lu", &entries) != 1) state.SkipWithError("find failed");
        if (pipe) pclose(pipe);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (entries != (uint64_t)kDirectories * (kFilesPerDirectory + 1))
            state.SkipWithError("entries missing");
    }
    data.walkFind = SecondsPerIteration(state, total);
}

BENCHMARK(BM_CopyFile_Path)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_CopyFile_cp)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Walk_DirectoryList)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Walk_find)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

} // namespace
