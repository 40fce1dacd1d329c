// Updates of an installed tree in place beside rsync, which also writes a changed file as a copy
// and renames it over the old one: an 8-byte change in a 1 GiB file, and a 100 KiB file rewritten
// beside an unchanged 1 GiB neighbour that shares its first 2 MiB piece (QVR_UPDATE_BENCH_MIB
// changes the large files' size). Both sides read the new version from a local folder (ours as a
// file storage, rsync from folder to folder with its quick check of size and time) into a
// destination that holds the first version, linked from it before each run. The counter
// neighbour_copied is 1 when a side wrote the unchanged neighbour anew; every side's result is
// compared with the new version after its run. Beside them, an install of many small files
// (QVR_UPDATE_BENCH_SMALL of 2 KiB, 2,000 by default) into an empty folder, with every file flushed
// to disk by one flush of the file system before the manifest's save, and with each file and its
// folder flushed on its own; the counter table_calls_per_file counts the calls through the file
// storage's table of system calls. And one file changed among 10,000 small ones listed with their
// times: the update timed beside the refresh that found it (each with the other outside the timed
// run), its counters the opens and table calls per file of the tree. Every run of ours is driven as
// the repository task drives it (see Driven). QVR_UPDATE_BENCH_LOG=1 prints the repository's lines
// and what it read and wrote.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <type_traits>

#include "bench/peer_ratio.h"
#include "bench/repository_bench_support.h"
#include "core/certs/authenticate.h"
#include "core/certs/cert_store.h"
#include "core/formats/json.h"
#include "core/platform/async_file.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/meter.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/net/async_socket.h"
#include "core/net/socket.h"
#include "core/web/web_get.h"
#include "core/web/web_get_pool.h"
#include "repository/linux/storage_file_os.h"
#include "repository/repository.h"
#include "repository/storage_file.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int64_t kPiece = 2 << 20;

int64_t Quiet(const char*) { return 1; }
// The repository's lines, shown with QVR_UPDATE_BENCH_LOG set.
int64_t Silent(void*, const char* format, ...) {
    if (!getenv("QVR_UPDATE_BENCH_LOG")) return 1;
    va_list args;
    va_start(args, format);
    fprintf(stderr, "%.3f ", Time_GetCurrent());
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    return 1;
}

int Shell(const std::string& command) { return system(command.c_str()); }

// Every call through the file storage's table, counted, and its opens on their own.
std::atomic<long> tableCalls{0}, tableOpens{0};
template <typename Function, auto Member> struct Counted;
template <typename Result, typename... Args, auto Member> struct Counted<Result (*)(Args...), Member> {
    static Result Call(Args... args) {
        tableCalls++;
        if constexpr (std::is_same_v<decltype(Member), decltype(&StorageFileOSCalls::OpenAt)>)
            if (Member == &StorageFileOSCalls::OpenAt) tableOpens++;
        return (StorageFileOS_SystemCalls()->*Member)(args...);
    }
};
const StorageFileOSCalls kCounted = {
    Counted<decltype(StorageFileOSCalls::OpenAt), &StorageFileOSCalls::OpenAt>::Call,
    Counted<decltype(StorageFileOSCalls::MkdirAt), &StorageFileOSCalls::MkdirAt>::Call,
    Counted<decltype(StorageFileOSCalls::RenameAt), &StorageFileOSCalls::RenameAt>::Call,
    Counted<decltype(StorageFileOSCalls::LinkAt), &StorageFileOSCalls::LinkAt>::Call,
    Counted<decltype(StorageFileOSCalls::UnlinkAt), &StorageFileOSCalls::UnlinkAt>::Call,
    Counted<decltype(StorageFileOSCalls::SymlinkAt), &StorageFileOSCalls::SymlinkAt>::Call,
    Counted<decltype(StorageFileOSCalls::Fchmod), &StorageFileOSCalls::Fchmod>::Call,
    Counted<decltype(StorageFileOSCalls::FchmodAt), &StorageFileOSCalls::FchmodAt>::Call,
    Counted<decltype(StorageFileOSCalls::Ftruncate), &StorageFileOSCalls::Ftruncate>::Call,
    Counted<decltype(StorageFileOSCalls::Futimens), &StorageFileOSCalls::Futimens>::Call,
    Counted<decltype(StorageFileOSCalls::Write), &StorageFileOSCalls::Write>::Call,
    Counted<decltype(StorageFileOSCalls::CopyRange), &StorageFileOSCalls::CopyRange>::Call,
    Counted<decltype(StorageFileOSCalls::Fsync), &StorageFileOSCalls::Fsync>::Call,
    Counted<decltype(StorageFileOSCalls::Syncfs), &StorageFileOSCalls::Syncfs>::Call,
};

// Incompressible bytes written to a file in 1 MiB blocks.
bool WriteFile(const std::string& path, int64_t size, uint64_t seed) {
    std::ofstream out(path, std::ios::binary);
    std::string block((size_t)1 << 20, 0);
    // Each block has its own seed, distinct between files of other seeds too.
    for (int64_t done = 0, index = 0; done < size; index++) {
        Fill(block, (seed << 32) + (uint64_t)index);
        const int64_t n = std::min<int64_t>((int64_t)block.size(), size - done);
        out.write(block.data(), (std::streamsize)n);
        done += n;
    }
    return (bool)out;
}

struct Env {
    TempDir Dir;
    CertStoreNull* Store = nullptr;
    CertStoreInterface* Trust = nullptr;
    int64_t Large = 0;
    int Small = 0; // files of the tree "small2"
    bool Built = false;

    Env() {
        Debug_Init(nullptr, nullptr, DEBUG_FLAG_EXTERNAL_PRINT);
        Debug_PrintOverride(Quiet);
        Thread_Init();
        EventQueue_Init();
        NotificationCenter_Init();
        Authenticate_Init();
        Authenticate_SetEnabled(0); // the manifests are unsigned files
        WebGet_Init();
        Meter_Init();
        Socket_Init();
        IOWorker_Init();
        AsyncFile_Init();
        AsyncSocket_Init();
        WebGetPool_Init();
        CertStoreNull_Create(&Store);
        Trust = CertStoreNull_GetInterfaceHandle(Store);
        Built = Build();
    }
    std::string File(const std::string& name) const { return Dir.file(name); }

    // Tree "big": one large file, 8 bytes changed in its middle. Tree "pair": a 100 KiB file and
    // its large neighbour, the small one rewritten. The first version's files are dated well
    // before, so that rsync's check of size and time sees which files changed.
    bool Build() {
        const char* mib = getenv("QVR_UPDATE_BENCH_MIB");
        Large = (mib && atoi(mib) > 0 ? atoi(mib) : 1024) * (int64_t(1) << 20);
        Shell("mkdir -p " + File("big1") + " " + File("big2") + " " + File("pair1") + " " + File("pair2"));
        if (!WriteFile(File("big1/big"), Large, 1) || !WriteFile(File("pair1/a"), 100 << 10, 2) ||
            !WriteFile(File("pair2/a"), 100 << 10, 3))
            return false;
        if (link(File("big1/big").c_str(), File("pair1/n").c_str()) != 0 ||
            link(File("big1/big").c_str(), File("pair2/n").c_str()) != 0)
            return false;
        if (Shell("touch -d 2020-01-01 " + File("big1/big") + " " + File("pair1/a") + " && cp " +
                  File("big1/big") + " " + File("big2/big") +
                  " && printf 'CHANGED!' | dd of=" + File("big2/big") + " bs=1 seek=" + std::to_string(Large / 2) +
                  " conv=notrunc status=none") != 0)
            return false;
        const char* small = getenv("QVR_UPDATE_BENCH_SMALL");
        Small = small && atoi(small) > 0 ? atoi(small) : 2000;
        std::string data(2048, 0);
        for (int i = 0; i < Small; i++) {
            char name[64];
            snprintf(name, sizeof(name), "small2/s%02d/f%05d.bin", i % 20, i);
            Shell(i < 20 ? "mkdir -p $(dirname " + File(name) + ")" : "true");
            Fill(data, 1000 + (uint64_t)i);
            std::ofstream(File(name), std::ios::binary) << data;
        }
        for (const char* tree : {"big1", "big2", "pair1", "pair2", "small2"})
            if (!WriteManifest(tree)) return false;
        return true;
    }

    // The manifest "<tree>.json".
    bool WriteManifest(const std::string& tree) {
        return WriteRepositoryManifest(File("manifest.py"), File(tree), File(tree + ".json"), kPiece, tree);
    }

    // Tree "many": kManyFiles files of 1 to 8 KiB in 100 folders, listed with their times in pieces
    // of 64 KiB; the second version rewrites one of them (the same size, other bytes, a later
    // time) and shares every other file with the first. Made on first use.
    static constexpr int kManyFiles = 10000;
    static constexpr int kManyChanged = 4242;
    int ManyState = 0; // 0 not tried, 1 made, -1 failed
    bool BuildMany() {
        if (ManyState == 0) ManyState = MakeMany() ? 1 : -1;
        return ManyState == 1;
    }
    static std::string ManyName(int i) {
        char name[64];
        snprintf(name, sizeof(name), "d%02d/f%05d.bin", i % 100, i);
        return name;
    }
    bool MakeMany() {
        if (Shell("rm -rf " + File("many1") + " " + File("many2")) != 0) return false;
        mkdir(File("many1").c_str(), 0700);
        for (int d = 0; d < 100; d++) {
            char folder[32];
            snprintf(folder, sizeof(folder), "many1/d%02d", d);
            mkdir(File(folder).c_str(), 0700);
        }
        std::string data;
        for (int i = 0; i < kManyFiles; i++) {
            data.assign((size_t)1024 * (1 + i % 8), 0);
            Fill(data, 5000 + (uint64_t)i);
            std::ofstream out(File("many1/" + ManyName(i)), std::ios::binary);
            if (!(out << data)) return false;
        }
        const std::string changed = File("many2/" + ManyName(kManyChanged));
        data.assign((size_t)1024 * (1 + kManyChanged % 8), 0);
        Fill(data, 99);
        if (Shell("find " + File("many1") + " -type f -exec touch -d 2020-01-01 {} + && cp -al " + File("many1") +
                  " " + File("many2") + " && rm " + changed) != 0 ||
            !(std::ofstream(changed, std::ios::binary) << data))
            return false;
        for (const char* tree : {"many1", "many2"})
            if (!WriteRepositoryManifest(File("manifest.py"), File(tree), File(std::string(tree) + ".json"), 64 << 10,
                                         tree, true))
                return false;
        return true;
    }

    // The destination holds the first version, linked from it (an update replaces files by
    // rename and writes none in place, on either side), and our manifest of it.
    void Prepare(const std::string& tree) {
        Shell("rm -rf " + File("dest") + " " + File("state") + " && mkdir -p " + File("state") + " && cp -al " +
              File(tree + "1") + " " + File("dest") + " && cp " + File(tree + "1.json") + " " +
              File("state/local.json"));
    }
    // The setup's writes are on the disk before a timed run, and so is the work that `sync` leaves
    // to the file system's next flush (here the first flush after it took 1.5 to 4 ms): otherwise the
    // first side that flushes pays for the setup. False when the flush could not be made.
    bool Settle() {
        if (Shell("sync") != 0) return false;
        const int folder = open(File("dest").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0) return false;
        const bool synced = syncfs(folder) == 0;
        close(folder);
        return synced;
    }
    // An empty destination and no installed manifest: an install.
    void PrepareEmpty() {
        Shell("rm -rf " + File("dest") + " " + File("state") + " && mkdir -p " + File("state") + " " +
              File("dest"));
    }
    bool Same(const std::string& tree) { return Shell("diff -rq " + File(tree + "2") + " " + File("dest")) == 0; }
    ino_t Inode(const std::string& path) {
        struct stat info {};
        stat(path.c_str(), &info);
        return info.st_ino;
    }
};

Env& TheEnv() {
    static Env env;
    return env;
}

// A step of a repository run as the repository task runs it: on a thread of its own, whose loop
// waits up to a tick (15 ms) unless something wakes it, while the thread that made the repository
// serves its documents' requests as the host's main thread does.
struct Driven {
    Repository* Repo;
    std::function<void()> Start;
    std::function<bool()> Done;
    double Seconds;
    uint32_t Maker;
    std::atomic<bool> Finished{false};
    bool Ok = false;
};

// The repository runs on the calling thread: its completions arrive here and its jobs wake it.
void RunHere(Repository* repo) {
    Repository_SetThreadId(repo, Thread_GetCurrentId());
    EventQueue* queue = Thread_GetCurrentEventQueueHandle();
    Repository_SetEventQueueHandle(repo, queue);
    EventQueue_Release(&queue);
}

uint32_t DriveStep(void* parameter) {
    auto* d = static_cast<Driven*>(parameter);
    RunHere(d->Repo);
    // Started from an event the task's thread was woken for, the step's first pass follows at once.
    d->Start();
    const double end = Time_GetCurrent() + d->Seconds;
    for (;;) {
        Thread_Tick();
        Repository_Process(d->Repo);
        if ((d->Ok = d->Done()) || Time_GetCurrent() >= end) break;
        Thread_Wait(1);
    }
    d->Finished = true;
    Thread_Signal(d->Maker);
    return 0;
}

// One run of ours: a repository over the destination and the tree's second version, refreshed and
// then synchronised, each step on its own so that a bench can time either.
struct OurRun {
    Env& env;
    Repository* repo = nullptr;
    bool ok = false;

    OurRun(Env& e, const std::string& tree) : env(e) {
        if (!Repository_Create(&repo)) return;
        Repository_SetPrintCallback(repo, nullptr, Silent);
        Repository_SetCertStoreHandle(repo, env.Trust);
        RunHere(repo);
        const std::string text = "{\"repository\":\"bench\",\"remote.id\":\"" + tree + "2\",\"remote.metafile\":\"" +
                                 env.File(tree + "2.json") + "\",\"local\":{\"type\":\"file\",\"path\":\"" +
                                 env.File("dest") + "\"},\"remote\":{\"type\":\"file\",\"path\":\"" +
                                 env.File(tree + "2") + "\"},\"requests\":16,\"fileCompletes\":4,\"metafile\":\"" +
                                 env.File("state/local.json") + "\"}";
        Dictionary *root = nullptr, *config = nullptr;
        ok = ToDictionary(text, &root, &config) && Repository_SetConfigDictionaryHandle(repo, config) == 1;
        Dictionary_Release(&root);
    }
    uint32_t Flags(bool state) {
        uint32_t value = 0;
        if (state) Repository_GetStateFlags(repo, &value);
        else Repository_GetActionFlags(repo, &value);
        return value;
    }
    // Runs a step on a thread of its own (see Driven); the repository is this thread's again after.
    bool Drive(std::function<void()> start, std::function<bool()> done, double seconds) {
        Driven driven{repo, std::move(start), std::move(done), seconds, Thread_GetCurrentId()};
        Thread* thread = nullptr;
        if (!Thread_Begin(&thread, &driven, DriveStep)) return false;
        while (!driven.Finished) {
            EventQueue_Flush(nullptr);
            WebGetPool_Process();
            NotificationCenter_Process();
            if (!driven.Finished) Thread_Wait(1);
        }
        Thread_Join(-1, &thread);
        RunHere(repo);
        return driven.Ok;
    }
    // The refresh that finds what the second version changes.
    bool Refresh() {
        if (!ok) return false;
        return ok = Drive(
                   [&] {
                       Repository_Reset(repo);
                       Repository_SetCatalog(repo, 0);
                       Repository_SetActive(repo, 1);
                       Repository_SetRefresh(repo, 1);
                   },
                   [&] {
                       return !(Flags(false) & REPOSITORY_ACTION_REFRESH) &&
                              !(Flags(true) & REPOSITORY_STATEFLAG_REFRESH);
                   },
                   60);
    }
    // The update it found, as the repository task starts a synchronisation that is not a repair.
    bool Sync() {
        if (!ok) return false;
        return ok = Drive(
                   [&] {
                       Repository_SetDelta(repo, 1);
                       Repository_SetMask(repo, 1);
                       Repository_SetSync(repo, 1);
                   },
                   [&] {
                       return !(Flags(false) & REPOSITORY_ACTION_SYNC) &&
                              !(Flags(true) & REPOSITORY_STATEFLAG_ALIVE);
                   },
                   600);
    }
    // true when every step ended without an error.
    bool End() {
        if (!repo) return false;
        uint32_t errors = 0;
        Repository_GetErrorCount(repo, &errors);
        if (getenv("QVR_UPDATE_BENCH_LOG")) {
            Dictionary* dump = nullptr;
            Dictionary_Create(&dump);
            Repository_Dump(repo, dump);
            for (const char* key : {"localReadBytes", "localWriteBytes", "remoteReadBytes", "piecesWritten",
                                    "piecesSkipped", "piecesMasked"}) {
                double value = 0;
                Dictionary_GetFloat64ByKey(dump, key, &value);
                fprintf(stderr, "%s %.0f\n", key, value);
            }
            Dictionary_Release(&dump);
        }
        Repository_Shutdown(repo);
        Pump(repo, [&] { return Repository_IsShutdown(repo) == 1; }, 10);
        Repository_Release(&repo);
        return ok && errors == 0;
    }
};

// Refreshes and synchronises the destination with the tree's second version; true when it ended
// without an error.
bool RunOurUpdate(Env& env, const std::string& tree) {
    OurRun run(env, tree);
    run.Refresh();
    run.Sync();
    return run.End();
}

void Update(benchmark::State& state, const std::string& tree, bool ours) {
    Env& env = TheEnv();
    if (!env.Built) return state.SkipWithError("the trees could not be set up");
    double copied = 0;
    for (auto _ : state) {
        state.PauseTiming();
        env.Prepare(tree);
        const ino_t neighbour = env.Inode(env.File("dest/n"));
        if (!env.Settle()) return state.SkipWithError("the file system could not be flushed");
        state.ResumeTiming();
        const bool ok = ours ? RunOurUpdate(env, tree)
                             : Shell("rsync -a " + env.File(tree + "2/") + " " + env.File("dest/")) == 0;
        state.PauseTiming();
        if (!ok) return state.SkipWithError("the update failed");
        if (!env.Same(tree)) return state.SkipWithError("the tree differs after the update");
        if (tree == "pair" && env.Inode(env.File("dest/n")) != neighbour) copied += 1;
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * env.Large);
    if (tree == "pair")
        state.counters["neighbour_copied"] = benchmark::Counter(copied, benchmark::Counter::kAvgIterations);
}

// Our install of the small files, flushed by one flush of the file system or file by file.
void Install(benchmark::State& state, bool eachFile) {
    Env& env = TheEnv();
    if (!env.Built) return state.SkipWithError("the trees could not be set up");
    StorageFile_SetFlushEachFile(eachFile ? 1 : 0);
    long calls = 0;
    for (auto _ : state) {
        state.PauseTiming();
        env.PrepareEmpty();
        if (!env.Settle()) return state.SkipWithError("the file system could not be flushed");
        tableCalls = 0;
        StorageFileOS_SetCalls(&kCounted);
        state.ResumeTiming();
        const bool ok = RunOurUpdate(env, "small");
        state.PauseTiming();
        StorageFileOS_SetCalls(nullptr);
        calls += tableCalls.load();
        if (!ok) return state.SkipWithError("the install failed");
        if (!env.Same("small")) return state.SkipWithError("the tree differs after the install");
        state.ResumeTiming();
    }
    StorageFile_SetFlushEachFile(0);
    state.counters["files"] = env.Small;
    state.counters["table_calls_per_file"] = (double)calls / (double)state.iterations() / env.Small;
}

// One file changed among many: the refresh that finds it (the peer), or the update that follows
// it, each timed alone with the other done outside the timed run. The update's counters: the opens
// and all the calls through the file storage's table, per file of the tree.
void Many(benchmark::State& state, bool update) {
    Env& env = TheEnv();
    if (!env.Built || !env.BuildMany()) return state.SkipWithError("the trees could not be set up");
    long calls = 0, opens = 0;
    for (auto _ : state) {
        state.PauseTiming();
        env.Prepare("many");
        if (!env.Settle()) return state.SkipWithError("the file system could not be flushed");
        OurRun run(env, "many");
        if (update) {
            if (!run.Refresh()) return state.SkipWithError("the refresh failed");
            tableCalls = tableOpens = 0;
            StorageFileOS_SetCalls(&kCounted);
        }
        state.ResumeTiming();
        const bool ok = update ? run.Sync() : run.Refresh();
        state.PauseTiming();
        StorageFileOS_SetCalls(nullptr);
        calls += tableCalls.load();
        opens += tableOpens.load();
        const bool found = (run.Flags(true) & REPOSITORY_STATEFLAG_UPDATE) != 0;
        if (!run.End() || !ok) return state.SkipWithError("the run failed");
        if (!update && !found) return state.SkipWithError("the refresh found no update");
        if (update && !env.Same("many")) return state.SkipWithError("the tree differs after the update");
        state.ResumeTiming();
    }
    state.counters["files"] = Env::kManyFiles;
    if (update) {
        const double runs = (double)state.iterations() * Env::kManyFiles;
        state.counters["table_calls_per_file"] = (double)calls / runs;
        state.counters["opens_per_file"] = (double)opens / runs;
    }
}

void OurOneOfManyUpdate(benchmark::State& state) { Many(state, true); }
void OurOneOfManyRefresh(benchmark::State& state) { Many(state, false); }

void OurSmallFilesFlushedOnce(benchmark::State& state) { Install(state, false); }
void OurSmallFilesFlushedEach(benchmark::State& state) { Install(state, true); }

void OurEightBytes(benchmark::State& state) { Update(state, "big", true); }
void RsyncEightBytes(benchmark::State& state) { Update(state, "big", false); }
void OurBesideNeighbour(benchmark::State& state) { Update(state, "pair", true); }
void RsyncBesideNeighbour(benchmark::State& state) { Update(state, "pair", false); }

} // namespace

PEER_RATIO("8 bytes changed in a large file, beside rsync", "OurEightBytes", "RsyncEightBytes");
PEER_RATIO("a small file rewritten beside an unchanged large neighbour, beside rsync", "OurBesideNeighbour",
           "RsyncBesideNeighbour");
PEER_RATIO("one file changed among 10,000: the update beside the refresh that found it", "OurOneOfManyUpdate",
           "OurOneOfManyRefresh");
BENCHMARK(OurOneOfManyUpdate)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(OurOneOfManyRefresh)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(OurSmallFilesFlushedOnce)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(OurSmallFilesFlushedEach)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(OurEightBytes)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(RsyncEightBytes)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(OurBesideNeighbour)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(RsyncBesideNeighbour)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

PEER_RATIO_MAIN();
