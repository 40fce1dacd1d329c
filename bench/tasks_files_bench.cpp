// Speed of the file task types run end to end through the engine (a workflow's task started,
// its worker thread, the main loop pumped until the task's run has ended) beside the tools a
// script would call: FileCopy of a 1 GiB file beside `cp` (each copy synced to the device),
// DirectoryCopy of a 10,000-file tree beside `cp -a`, and FileHash with SHA-1 and SHA-256 over
// the 1 GiB file beside `openssl dgst -sha1` and `-sha256` (OpenSSL's digests use the processor's
// SHA instructions where it has them, as ours do; coreutils' sha1sum and sha256sum are generic C).
// The data lives in a fresh directory under /tmp (the same file system for both sides) and is
// removed at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "bench/peer_ratio.h"
#include "bench/task_run.h"
#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "tasks/task_library.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"

namespace {

constexpr uint64_t kFileBytes = 1ull << 30;
constexpr int32_t kDirectories = 100;
constexpr int32_t kFilesPerDirectory = 100;
constexpr int32_t kTreeFileBytes = 2048;

void RemoveTree(const std::string& path) {
    nftw(
        path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 64,
        FTW_DEPTH | FTW_PHYS);
}

// The data of every benchmark and the engine context, made on first use.
class Data {
  public:
    static Data& Get() {
        static Data data;
        return data;
    }
    std::string root, source, destination, tree, treeCopy;
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

    Data() {
        char pattern[] = "/tmp/qvr-tasks-files-bench-XXXXXX";
        if (!mkdtemp(pattern)) return;
        root = pattern;
        source = root + "/source.bin";
        destination = root + "/copy.bin";
        tree = root + "/tree";
        treeCopy = root + "/tree-copy";
        TaskLibrary_Register();
        engine = WorkflowApp_Init("tasks_files_bench.log", DEBUG_FLAG_EXTERNAL_PRINT) == 1;
        ready = engine && MakeSource() && MakeTree();
    }

    bool MakeSource() {
        int fd = open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return false;
        std::string block(1 << 20, '\0');
        for (size_t i = 0; i < block.size(); i++) block[i] = (char)(i * 131 + 7);
        bool ok = true;
        for (uint64_t written = 0; ok && written < kFileBytes; written += block.size())
            ok = write(fd, block.data(), block.size()) == (ssize_t)block.size();
        return close(fd) == 0 && ok;
    }

    bool MakeTree() {
        if (mkdir(tree.c_str(), 0755) != 0) return false;
        const std::string content(kTreeFileBytes, 'x');
        for (int32_t d = 0; d < kDirectories; d++) {
            const std::string directory = tree + "/d" + std::to_string(d);
            if (mkdir(directory.c_str(), 0755) != 0) return false;
            for (int32_t f = 0; f < kFilesPerDirectory; f++) {
                int fd = open((directory + "/file" + std::to_string(f) + ".dat").c_str(), O_WRONLY | O_CREAT, 0644);
                if (fd < 0) return false;
                const bool ok = write(fd, content.data(), content.size()) == (ssize_t)content.size();
                if (close(fd) != 0 || !ok) return false;
            }
        }
        return true;
    }
};

using task_run::RunTask;

bool Sync(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    return close(fd) == 0 && synced;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

void BM_FileCopy_Task(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready) return state.SkipWithError("no data");
    const std::string document = "{\"t\": {\"type\": \"FileCopy\", \"sourcePath\": " + Quoted(data.source) +
                                 ", \"targetPath\": " + Quoted(data.destination) + "}}";
    for (auto _ : state) {
        state.PauseTiming();
        unlink(data.destination.c_str());
        state.ResumeTiming();
        if (!RunTask(document) || !Sync(data.destination)) state.SkipWithError("FileCopy failed");
    }
    unlink(data.destination.c_str());
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kFileBytes);
}

void BM_FileCopy_cp(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready) return state.SkipWithError("no data");
    const std::string command = "cp '" + data.source + "' '" + data.destination + "'";
    for (auto _ : state) {
        state.PauseTiming();
        unlink(data.destination.c_str());
        state.ResumeTiming();
        if (system(command.c_str()) != 0 || !Sync(data.destination)) state.SkipWithError("cp failed");
    }
    unlink(data.destination.c_str());
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kFileBytes);
}

void BM_DirectoryCopy_Task(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready) return state.SkipWithError("no data");
    const std::string document = "{\"t\": {\"type\": \"DirectoryCopy\", \"sourcePath\": " + Quoted(data.tree) +
                                 ", \"targetPath\": " + Quoted(data.treeCopy) + "}}";
    for (auto _ : state) {
        state.PauseTiming();
        RemoveTree(data.treeCopy);
        state.ResumeTiming();
        if (!RunTask(document)) state.SkipWithError("DirectoryCopy failed");
    }
    RemoveTree(data.treeCopy);
}

void BM_DirectoryCopy_cp_a(benchmark::State& state) {
    Data& data = Data::Get();
    if (!data.ready) return state.SkipWithError("no data");
    const std::string command = "cp -a '" + data.tree + "' '" + data.treeCopy + "'";
    for (auto _ : state) {
        state.PauseTiming();
        RemoveTree(data.treeCopy);
        state.ResumeTiming();
        if (system(command.c_str()) != 0) state.SkipWithError("cp -a failed");
    }
    RemoveTree(data.treeCopy);
}

void BM_FileHash_Task(benchmark::State& state, const char* algorithm) {
    Data& data = Data::Get();
    if (!data.ready) return state.SkipWithError("no data");
    const std::string document = "{\"t\": {\"type\": \"FileHash\", \"path\": " + Quoted(data.source) +
                                 ", \"algorithm\": \"" + algorithm + "\"}}";
    for (auto _ : state)
        if (!RunTask(document)) state.SkipWithError("FileHash failed");
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kFileBytes);
}

void BM_FileHash_tool(benchmark::State& state, const char* tool) {
    Data& data = Data::Get();
    if (!data.ready) return state.SkipWithError("no data");
    const std::string command = std::string(tool) + " '" + data.source + "' > /dev/null";
    for (auto _ : state)
        if (system(command.c_str()) != 0) state.SkipWithError("tool failed");
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kFileBytes);
}

} // namespace

BENCHMARK(BM_FileCopy_Task)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_FileCopy_cp)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_DirectoryCopy_Task)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_DirectoryCopy_cp_a)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK_CAPTURE(BM_FileHash_Task, sha1, "sha1")->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK_CAPTURE(BM_FileHash_tool, openssl_sha1, "openssl dgst -sha1")->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK_CAPTURE(BM_FileHash_Task, sha256, "sha256")->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK_CAPTURE(BM_FileHash_tool, openssl_sha256, "openssl dgst -sha256")->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

PEER_RATIO("FileCopy 1 GiB, synced (task / cp)", "BM_FileCopy_Task", "BM_FileCopy_cp");
PEER_RATIO("DirectoryCopy 10,000 files (task / cp -a)", "BM_DirectoryCopy_Task", "BM_DirectoryCopy_cp_a");
PEER_RATIO("FileHash SHA-1 1 GiB (task / openssl dgst -sha1)", "BM_FileHash_Task/sha1", "BM_FileHash_tool/openssl_sha1");
PEER_RATIO("FileHash SHA-256 1 GiB (task / openssl dgst -sha256)", "BM_FileHash_Task/sha256",
           "BM_FileHash_tool/openssl_sha256");

PEER_RATIO_MAIN()
