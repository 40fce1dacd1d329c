// Speed of asynchronous file writes: 1 GiB written as 1024 requests of 1 MiB through AsyncFile, all
// issued at once and synced to the device at the end, beside `dd if=/dev/zero bs=1M count=1024
// conv=fsync` writing the same amount in the same run. The files live in a fresh directory under
// /tmp and are removed when the program ends. Repetitions of the two interleave; our speed over
// dd's is printed at the end.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/platform/async_file.h"
#include "core/runtime/meter.h"
#include "bench/peer_ratio.h"

namespace {

constexpr uint32_t kRequestBytes = 1u << 20;
constexpr int32_t kRequests = 1024;
constexpr uint64_t kFileBytes = (uint64_t)kRequestBytes * kRequests;

class Data {
  public:
    static Data& Get() {
        static Data data;
        return data;
    }
    bool ready() const { return !root_.empty() && ready_; }
    std::string file(const char* name) const { return root_ + "/" + name; }

    ~Data() {
        if (ready_) AsyncFile_Remove();
        if (!root_.empty())
            nftw(
                root_.c_str(),
                [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
                FTW_DEPTH | FTW_PHYS);
    }

  private:
    Data() {
        char pattern[] = "/tmp/qvr-asyncfile-bench-XXXXXX";
        if (!mkdtemp(pattern)) return;
        root_ = pattern;
        Meter_Init();
        ready_ = AsyncFile_Init() == 1;
    }

    std::string root_;
    bool ready_ = false;
};

struct Progress {
    std::mutex mutex;
    std::condition_variable done;
    int32_t completed = 0;
    uint64_t bytes = 0;
    int32_t errors = 0;
};

int64_t Completed(AsyncFile*, void* user, uint64_t, void*, uint32_t transferred, int32_t error) {
    auto* p = static_cast<Progress*>(user);
    std::lock_guard<std::mutex> guard(p->mutex);
    p->completed++;
    p->bytes += transferred;
    if (error) p->errors++;
    if (p->completed == kRequests) p->done.notify_all();
    return 1;
}

// dd's conv=fsync syncs the file once its data is written; the same is done here through a
// descriptor of our own, since the asynchronous file has no flush of its own.
bool SyncPath(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

void BM_Write1GiB_AsyncFile(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready()) return state.SkipWithError("no data");
    const std::string path = data.file("async.bin");
    // One buffer for every request: the writes only read it.
    std::vector<uint8_t> block(kRequestBytes, 0);
    for (auto _ : state) {
        state.PauseTiming();
        unlink(path.c_str());
        state.ResumeTiming();
        AsyncFile* file = nullptr;
        AsyncFile_Create(&file);
        if (!AsyncFile_Open(file, path.c_str(), FILE_WRITE)) {
            AsyncFile_Release(&file);
            return state.SkipWithError("open failed");
        }
        Progress progress;
        for (int32_t i = 0; i < kRequests; i++)
            AsyncFile_Write(file, (uint64_t)i * kRequestBytes, block.data(), kRequestBytes, &progress,
                            Completed);
        {
            std::unique_lock<std::mutex> lock(progress.mutex);
            progress.done.wait(lock, [&] { return progress.completed == kRequests; });
        }
        AsyncFile_Close(file);
        AsyncFile_Release(&file);
        const bool synced = SyncPath(path);
        if (progress.errors || progress.bytes != kFileBytes || !synced) state.SkipWithError("write failed");
    }
    unlink(path.c_str());
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kFileBytes);
}

void BM_Write1GiB_dd(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready()) return state.SkipWithError("no data");
    const std::string path = data.file("dd.bin");
    const std::string command = "dd if=/dev/zero of='" + path + "' bs=1M count=1024 conv=fsync status=none";
    for (auto _ : state) {
        state.PauseTiming();
        unlink(path.c_str());
        state.ResumeTiming();
        if (system(command.c_str()) != 0) state.SkipWithError("dd failed");
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || (uint64_t)info.st_size != kFileBytes)
        state.SkipWithError("dd short");
    unlink(path.c_str());
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kFileBytes);
}

BENCHMARK(BM_Write1GiB_AsyncFile)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_Write1GiB_dd)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
PEER_RATIO("write 1 GiB in 1 MiB requests, synced", "BM_Write1GiB_AsyncFile", "BM_Write1GiB_dd");

} // namespace

PEER_RATIO_MAIN()
