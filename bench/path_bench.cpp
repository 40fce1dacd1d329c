// Speed of whole-file copies and tree walks: Path_CopyFile on a 1 GiB file beside `cp`, each with
// the copy synced to the device, and a DirectoryList walk of 100,000 files beside `find` printing
// every entry's size, time and mode (it examines every entry as the walk does), on the same data
// in the same run. The data lives in a fresh directory under /tmp and is removed at the end.
#include <benchmark/benchmark.h>

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
#include "bench/peer_ratio.h"

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

    ~Data() {
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

// Forces the copy's data to the device, as a copy that must survive a power cut needs.
bool Sync(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    return close(fd) == 0 && synced;
}

void BM_CopyFile_Path(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready()) return state.SkipWithError("no data");
    for (auto _ : state) {
        state.PauseTiming();
        unlink(data.destination().c_str());
        state.ResumeTiming();
        PlatformErrorCode error = 0;
        if (!Path_CopyFile(data.source().c_str(), data.destination().c_str(), 0, 1, &error, nullptr, nullptr) ||
            !Sync(data.destination()))
            state.SkipWithError("copy failed");
    }
    unlink(data.destination().c_str());
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kFileBytes);
}

void BM_CopyFile_cp(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready()) return state.SkipWithError("no data");
    for (auto _ : state) {
        state.PauseTiming();
        unlink(data.destination().c_str());
        state.ResumeTiming();
        const std::string command = "cp '" + data.source() + "' '" + data.destination() + "'";
        if (system(command.c_str()) != 0 || !Sync(data.destination())) state.SkipWithError("cp failed");
    }
    unlink(data.destination().c_str());
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kFileBytes);
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
    for (auto _ : state) {
        entries = 0;
        if (!DirectoryList_Walk(list, data.tree().c_str(), nullptr)) state.SkipWithError("walk failed");
        if (entries != (uint64_t)kDirectories * (kFilesPerDirectory + 1))
            state.SkipWithError("entries missing");
    }
    DirectoryList_Delete(&list);
    state.counters["entries"] = (double)entries;
}

void BM_Walk_find(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready()) return state.SkipWithError("no data");
    // find prints every entry's size, time and mode, as the walk examines every entry and hands it
    // to its callback; the count is checked.
    const std::string command = "find '" + data.tree() + "' -mindepth 1 -printf '%s %T@ %m\\n' | wc -l";
    for (auto _ : state) {
        FILE* pipe = popen(command.c_str(), "r");
        uint64_t entries = 0;
        if (!pipe || fscanf(pipe, "%lu", &entries) != 1) state.SkipWithError("find failed");
        if (pipe) pclose(pipe);
        if (entries != (uint64_t)kDirectories * (kFilesPerDirectory + 1))
            state.SkipWithError("entries missing");
    }
}

BENCHMARK(BM_CopyFile_Path)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_CopyFile_cp)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_Walk_DirectoryList)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Walk_find)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

PEER_RATIO("copy 1 GiB, synced (Path_CopyFile / cp)", "BM_CopyFile_Path", "BM_CopyFile_cp");
PEER_RATIO("walk 100,000 files (DirectoryList_Walk / find -printf)", "BM_Walk_DirectoryList", "BM_Walk_find");

} // namespace

PEER_RATIO_MAIN()
