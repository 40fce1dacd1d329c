// Get and verify of 4 MiB pieces from the file storage backend beside sha1sum of the same files,
// with 1, 2, 4 and 8 pieces in flight against as many sha1sum processes.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/peer_ratio.h"
#include "core/crypto/sha1.h"
#include "core/formats/base64.h"
#include "core/formats/json.h"
#include "core/platform/async_file.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/meter.h"
#include "core/runtime/thread.h"
#include "repository/meta_file.h"
#include "repository/storage.h"
#include "repository/storage_request.h"

extern char** environ;

namespace {

constexpr uint32_t kPiece = 4u << 20;
constexpr int kFiles = 32;

struct Fixture {
    std::string root;
    std::vector<std::string> paths;
    MetaFile* meta = nullptr;
    Storage* storage = nullptr;

    Fixture() {
        Thread_Init();
        Meter_Init();
        EventQueue_Init();
        IOWorker_Init();
        AsyncFile_Init();
        char pattern[] = "/tmp/storage_file_bench_XXXXXX";
        root = std::string(mkdtemp(pattern)) + "/";
        std::mt19937 random(7);
        std::string files, digests;
        std::string data(kPiece, '\0');
        for (int i = 0; i < kFiles; i++) {
            for (char& c : data) c = (char)random();
            // Appended rather than "f" + ...: GCC 12 takes that concatenation for an overlapping copy.
            std::string name = "f";
            name += std::to_string(i);
            std::ofstream(root + name, std::ios::binary) << data;
            paths.push_back(root + name);
            files += std::string(i ? "," : "") + R"({"name":")" + name + R"(","size":)" + std::to_string(kPiece) + "}";
            SHA1* sha = nullptr;
            SHA1_Create(&sha);
            SHA1_Process(sha, data.data(), kPiece);
            SHA1_Generate(sha);
            uint8_t digest[20];
            SHA1_GetDigest(sha, digest, 20);
            SHA1_Release(&sha);
            char text[64];
            uint32_t written = 0;
            Base64_Encode(digest, 20, text, (int32_t)sizeof(text), &written);
            digests += std::string(i ? "," : "") + "\"" + std::string(text, written) + "\"";
        }
        const std::string manifest = R"({"id":"bench","files":[)" + files + R"(],"pieces":{"size":)" +
                                     std::to_string(kPiece) + R"(,"digests":[)" + digests + "]}}";
        MetaFile_Create(&meta);
        JSON* json = nullptr;
        JSON_Create(&json);
        JSON_SetValueCallback(json, meta, MetaFile_ValueCallback);
        JSON_LoadBuffer(json, manifest.data(), (uint32_t)manifest.size());
        JSON_Release(&json);
        uint32_t code = 0, codeEx = 0;
        MetaFile_WorkerBuild(nullptr, meta, &code, &codeEx);
        Storage_Create(&storage);
        Dictionary* d = nullptr;
        Dictionary_Create(&d);
        Dictionary_SetStringByKey(d, "type", "file");
        Dictionary_SetStringByKey(d, "path", root.c_str());
        Storage_Configure(storage, nullptr, d, nullptr);
        Dictionary_Release(&d);
    }
    ~Fixture() {
        for (const std::string& path : paths) unlink(path.c_str());
        rmdir(root.c_str());
    }
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

struct Flight {
    std::atomic<int> done{0};
    std::atomic<int> failed{0};
};

void OnDone(Storage*, void* user, void* slot, uint32_t code, uint32_t) {
    Flight* flight = static_cast<Flight*>(user);
    StorageRequest* request = static_cast<StorageRequest*>(slot);
    StorageRequest_Release(&request);
    if (code) flight->failed++;
    flight->done++;
}

void Issue(Fixture& f, Flight* flight, int index) {
    StorageRequest* request = nullptr;
    StorageRequest_Create(&request);
    StorageRequest_SetMetaFileHandle(request, f.meta);
    StorageRequest_IndexAdd(request, index);
    StorageRequest_Alloc(request);
    Storage_Get(f.storage, request, nullptr, flight, OnDone);
}

// Every piece read and verified once, `inFlight` at a time.
void BM_StorageFileGet(benchmark::State& state) {
    Fixture& f = Shared();
    const int inFlight = (int)state.range(0);
    for (auto _ : state) {
        Flight flight;
        int issued = 0;
        for (; issued < inFlight && issued < kFiles; issued++) Issue(f, &flight, issued);
        while (flight.done < kFiles) {
            const int before = flight.done;
            EventQueue_Flush(nullptr);
            for (int finished = flight.done; issued < kFiles && issued - finished < inFlight; issued++)
                Issue(f, &flight, issued);
            if (flight.done == before) usleep(50);
        }
        if (flight.failed) state.SkipWithError("a piece failed");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kFiles * kPiece);
}

// The same files through sha1sum, split over `processes` processes.
void BM_Sha1sum(benchmark::State& state) {
    Fixture& f = Shared();
    const int processes = (int)state.range(0);
    for (auto _ : state) {
        std::vector<pid_t> pids;
        for (int p = 0; p < processes; p++) {
            std::vector<std::string> args = {"sha1sum"};
            for (int i = p; i < kFiles; i += processes) args.push_back(f.paths[(size_t)i]);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
            pid_t pid = -1;
            if (posix_spawnp(&pid, "sha1sum", &actions, nullptr, argv.data(), environ) == 0) pids.push_back(pid);
            posix_spawn_file_actions_destroy(&actions);
        }
        for (pid_t pid : pids) {
            int status = 0;
            waitpid(pid, &status, 0);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("sha1sum failed");
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kFiles * kPiece);
}

} // namespace

BENCHMARK(BM_StorageFileGet)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha1sum)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);

PEER_RATIO("Get+verify 4 MiB pieces, 1 in flight, vs sha1sum x1", "BM_StorageFileGet/1", "BM_Sha1sum/1");
PEER_RATIO("Get+verify 4 MiB pieces, 2 in flight, vs sha1sum x2", "BM_StorageFileGet/2", "BM_Sha1sum/2");
PEER_RATIO("Get+verify 4 MiB pieces, 4 in flight, vs sha1sum x4", "BM_StorageFileGet/4", "BM_Sha1sum/4");
PEER_RATIO("Get+verify 4 MiB pieces, 8 in flight, vs sha1sum x8", "BM_StorageFileGet/8", "BM_Sha1sum/8");
PEER_RATIO_MAIN()
