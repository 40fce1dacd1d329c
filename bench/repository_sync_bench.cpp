// A whole repository synchronised from nginx on 127.0.0.1: a tree of mixed file sizes (1 GiB by
// default, QVR_SYNC_BENCH_MIB to change it) in 2 MiB pieces, installed into an empty folder and
// updated after 5% of its pieces changed. Set beside it on the same tree: curl fetching the same
// bytes; the bytes hashed and written on one thread and on every core (the lower of curl and
// these is the machine's limit); rsync (its daemon on 127.0.0.1); and zsync (a control file per
// file, fetched from the same nginx). zsync is one process per file: over the whole tree (some
// 2,200 files, most of a few KiB) its start-ups would be most of its time, so it is set beside
// the sync of a tree of the large files alone (24 MiB each), where a start-up (a few ms) is under
// 5 % of zsync's time for a file. Updates count the bytes each side fetched (nginx's access log,
// rsync's --stats) as the counter fetched_MiB. The sync is also run with the whole process held
// to one core, and swept over "requests" and "fileCompletes". Every side's result is compared
// with the remote tree after its run.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/peer_ratio.h"
#include "bench/repository_bench_support.h"
#include "bench/process_peer.h"
#include "core/certs/authenticate.h"
#include "core/certs/cert_store.h"
#include "core/crypto/sha1.h"
#include "core/formats/json.h"
#include "core/net/async_socket.h"
#include "core/net/socket.h"
#include "core/platform/async_file.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/meter.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "core/web/web_get.h"
#include "core/web/web_get_pool.h"
#include "repository/repository.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"

namespace {

constexpr int64_t kPiece = 2 << 20;
constexpr int64_t kLarge = 16 << 20; // the files of the large tree are above this
constexpr int kParallel = 16; // requests in flight for curl, and our default "requests"

int64_t Quiet(const char*) { return 1; }
int64_t Everyone(const char*) { return 1; }
int64_t Silent(void*, const char*, ...) { return 1; }

int Shell(const std::string& command) { return system(command.c_str()); }

// Standard output of a command, or "" when it failed.
std::string Output(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) out.append(buffer, n);
    return pclose(pipe) == 0 ? out : std::string();
}

struct Env {
    TempDir Dir;
    std::unique_ptr<TlsServer> Nginx, Rsync;
    CertStoreNull* Store = nullptr;
    CertStoreInterface* Trust = nullptr;
    std::vector<std::pair<std::string, int64_t>> Files; // names in the manifest's (sorted) order
    int64_t Total = 0, LargeTotal = 0;
    int Changed = 0;
    cpu_set_t AllCores;
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
        WebGet_AuthorizeOverride(Everyone);
        Meter_Init();
        Socket_Init();
        IOWorker_Init();
        AsyncFile_Init();
        AsyncSocket_Init();
        WebGetPool_Init();
        CertStoreNull_Create(&Store);
        Trust = CertStoreNull_GetInterfaceHandle(Store);
        sched_getaffinity(0, sizeof(AllCores), &AllCores);
        Built = Build();
    }

    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(Nginx ? Nginx->Port() : 0) + path;
    }
    std::string Www(const std::string& path) const { return Dir.file("www/" + path); }

    bool Build() {
        const char* mib = getenv("QVR_SYNC_BENCH_MIB");
        const int64_t target = (mib && atoi(mib) > 0 ? atoi(mib) : 1024) * (int64_t(1) << 20);
        chmod(Dir.path().c_str(), 0711); // nginx's workers run as another user
        Shell("mkdir -p " + Www("v1") + " " + Www("z1") + " " + Www("z2"));
        // One round: a large file, a few mid-sized ones, many small ones.
        const int64_t round[] = {24 << 20, 4 << 20, 4 << 20, 512 << 10, 40 << 10, 2 << 10};
        const int count[] = {1, 1, 1, 8, 32, 32};
        std::string data;
        for (int n = 0; Total < target; n++) {
            for (int k = 0; k < 6 && Total < target; k++)
                for (int c = 0; c < count[k]; c++) {
                    char name[64];
                    snprintf(name, sizeof(name), "d%d/s%d/f%05d_%d.bin", n % 4, k, n, c);
                    data.resize((size_t)(round[k] - 7 * (c + n)));
                    Fill(data, Files.size() + 1);
                    const std::string path = Www("v1/") + name;
                    Shell("mkdir -p $(dirname " + path + ")");
                    std::ofstream(path, std::ios::binary) << data;
                    Files.push_back({name, (int64_t)data.size()});
                    Total += (int64_t)data.size();
                }
        }
        std::sort(Files.begin(), Files.end());
        // The new version: every twentieth piece altered in its middle. The first version's
        // files are dated well before, so that rsync's check of size and time (in whole seconds)
        // sees which files changed; the others keep their times, as on a real server.
        if (Shell("find " + Www("v1") + " -exec touch -h -d 2020-01-01 {} + && cp -a " + Www("v1") + " " +
                  Www("v2")) != 0)
            return false;
        for (int64_t piece = 10; piece * kPiece < Total; piece += 20) {
            int64_t offset = piece * kPiece + kPiece / 2, start = 0;
            for (const auto& [name, size] : Files) {
                if (offset < start + size) {
                    std::fstream f(Www("v2/") + name, std::ios::in | std::ios::out | std::ios::binary);
                    const int64_t at = std::min(offset - start, std::max<int64_t>(0, size - 4096));
                    std::string noise((size_t)std::min<int64_t>(4096, size), 0);
                    Fill(noise, 1000 + piece);
                    f.seekp(at);
                    f.write(noise.data(), (std::streamsize)noise.size());
                    Changed++;
                    break;
                }
                start += size;
            }
        }
        // The large files of both versions, as a repository of their own (the same files, linked).
        for (const char* v : {"1", "2"}) {
            std::ofstream list(Dir.file(std::string("namesL") + v));
            for (const auto& [name, size] : Files) {
                if (size < kLarge) continue;
                const std::string to = Www(std::string("L") + v + "/" + name);
                Shell("mkdir -p $(dirname " + to + ")");
                if (link(Www(std::string("v") + v + "/" + name).c_str(), to.c_str()) != 0) return false;
                list << name << "\n";
                if (*v == '1') LargeTotal += size;
            }
        }
        if (!WriteManifest("v1") || !WriteManifest("v2") || !WriteManifest("L1") || !WriteManifest("L2")) return false;
        Shell("chmod -R a+rX " + Www(""));
        std::ofstream(Dir.file("nginx.tmpl"))
            << "worker_processes 2; pid " << Dir.file("nginx.pid") << "; error_log " << Dir.file("nginx.err")
            << ";\nevents { worker_connections 256; }\nhttp {\n  log_format r '$request_uri $body_bytes_sent';\n"
            << "  access_log " << Dir.file("access.log") << " r;\n  sendfile on; keepalive_requests 100000;\n"
            << "  default_type application/octet-stream; types { }\n"
            << "  client_body_temp_path " << Dir.path() << "; proxy_temp_path " << Dir.path()
            << "; fastcgi_temp_path " << Dir.path() << "; uwsgi_temp_path " << Dir.path() << "; scgi_temp_path "
            << Dir.path() << ";\n  server { listen 127.0.0.1:PORT; root " << Www("") << "; }\n}\n";
        Nginx = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"sh", "-c",
                                                 "sed s/PORT/{port}/ nginx.tmpl > nginx.conf && exec nginx -c " +
                                                     Dir.file("nginx.conf") + " -g 'daemon off;'"});
        std::ofstream(Dir.file("rsyncd.conf"))
            << "use chroot = no\nuid = root\ngid = root\nlog file = " << Dir.file("rsyncd.log")
            << "\n[v1]\npath = " << Www("v1") << "\nread only = yes\n[v2]\npath = " << Www("v2")
            << "\nread only = yes\n";
        Rsync = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"rsync", "--daemon", "--no-detach", "--address=127.0.0.1",
                                                 "--port={port}", "--config=" + Dir.file("rsyncd.conf")});
        if (!Nginx->Running()) return false;
        // zsync's control files, which name the file's URL on nginx.
        for (const char* v : {"1", "2"}) {
            std::ofstream list(Dir.file(std::string("names") + v));
            for (const auto& f : Files) list << f.first << "\n";
            list.close();
            const std::string script = "cd " + Www(std::string("v") + v) +
                                       " && xargs -P 3 -I{} sh -c 'mkdir -p " + Www(std::string("z") + v) +
                                       "/$(dirname {}) && zsyncmake -u " + Url(std::string("/v") + v + "/") +
                                       "{} -o " + Www(std::string("z") + v) + "/{}.zsync {}' < " +
                                       Dir.file(std::string("names") + v);
            if (Shell(script) != 0) return false;
        }
        Shell("chmod -R a+rX " + Www(""));
        return true;
    }

    // The manifest "<version>.json".
    bool WriteManifest(const std::string& version) {
        return WriteRepositoryManifest(Dir.file("manifest.py"), Www(version), Www(version + ".json"), kPiece, version);
    }

    // Bytes nginx sent for requests whose path begins with one of the prefixes, from the log's
    // line `from` on; `from` moves to the end.
    double Sent(size_t* from, const std::vector<std::string>& prefixes) {
        std::ifstream in(Dir.file("access.log"));
        size_t line = 0;
        double sent = 0;
        for (std::string text; std::getline(in, text); line++) {
            if (line < *from) continue;
            for (const auto& p : prefixes)
                if (text.compare(0, p.size(), p) == 0) sent += atof(text.c_str() + text.rfind(' ') + 1);
        }
        *from = line;
        return sent;
    }
    size_t LogLines() {
        size_t from = 0;
        Sent(&from, {});
        return from;
    }

    // An empty destination, or one holding the first version of the tree ("v" the whole one, "L"
    // its large files) and (for us) its manifest.
    void Prepare(bool withFirstVersion, const std::string& tree = "v") {
        Shell("rm -rf " + Dir.file("dest") + " " + Dir.file("state") + " && mkdir -p " + Dir.file("state"));
        if (withFirstVersion) {
            Shell("cp -a " + Www(tree + "1") + " " + Dir.file("dest"));
            Shell("cp " + Www(tree + "1.json") + " " + Dir.file("state/local.json"));
        } else {
            Shell("mkdir -p " + Dir.file("dest"));
        }
    }
    // The folders of a version's tree made in the destination.
    void Folders(const std::string& version) {
        Shell("cd " + Www(version) + " && find . -type d -exec mkdir -p " + Dir.file("dest") + "/{} \\;");
    }
    bool Same(const std::string& version) {
        return Shell("diff -rq " + Www(version) + " " + Dir.file("dest") + " >/dev/null") == 0;
    }

    // Our whole program's threads on one core, or back on all of them.
    void Pin(bool oneCore) {
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int c = 0; c < CPU_SETSIZE; c++)
            if (CPU_ISSET(c, &AllCores)) {
                CPU_SET(c, &one);
                break;
            }
        DIR* tasks = opendir("/proc/self/task");
        if (!tasks) return;
        while (dirent* entry = readdir(tasks))
            if (entry->d_name[0] != '.')
                sched_setaffinity(atoi(entry->d_name), sizeof(cpu_set_t), oneCore ? &one : &AllCores);
        closedir(tasks);
    }
};

Env& TheEnv() {
    static Env env;
    return env;
}

// One pass of the owner's loop, as the repository's task runs it.
// Refreshes and synchronises the destination with a version from nginx; true when it ended
// without an error.
bool RunOurSync(Env& env, const std::string& version, int requests, int fileCompletes) {
    Repository* repo = nullptr;
    if (!Repository_Create(&repo)) return false;
    Repository_SetPrintCallback(repo, nullptr, Silent);
    Repository_SetCertStoreHandle(repo, env.Trust);
    Repository_SetThreadId(repo, Thread_GetCurrentId());
    EventQueue* queue = Thread_GetCurrentEventQueueHandle();
    Repository_SetEventQueueHandle(repo, queue);
    EventQueue_Release(&queue);
    const std::string text = "{\"repository\":\"bench\",\"remote.id\":\"" + version + "\",\"remote.metafile\":\"" +
                             env.Www(version + ".json") + "\",\"local\":{\"type\":\"file\",\"path\":\"" +
                             env.Dir.file("dest") + "\"},\"remote\":{\"type\":\"http\",\"url\":\"" +
                             env.Url("/" + version + "/") + "\"},\"requests\":" + std::to_string(requests) +
                             ",\"fileCompletes\":" + std::to_string(fileCompletes) + ",\"metafile\":\"" +
                             env.Dir.file("state/local.json") + "\"}";
    Dictionary *root = nullptr, *config = nullptr;
    bool ok = ToDictionary(text, &root, &config) && Repository_SetConfigDictionaryHandle(repo, config) == 1;
    Dictionary_Release(&root);
    auto state = [&] {
        uint32_t flags = 0;
        Repository_GetStateFlags(repo, &flags);
        return flags;
    };
    auto actions = [&] {
        uint32_t flags = 0;
        Repository_GetActionFlags(repo, &flags);
        return flags;
    };
    if (ok) {
        Repository_Reset(repo);
        Repository_SetActive(repo, 1);
        Repository_SetRefresh(repo, 1);
        ok = Pump(
            repo,
            [&] { return !(actions() & REPOSITORY_ACTION_REFRESH) && !(state() & REPOSITORY_STATEFLAG_REFRESH); },
            60);
    }
    if (ok) {
        Repository_SetSync(repo, 1);
        ok = Pump(
            repo,
            [&] { return !(actions() & REPOSITORY_ACTION_SYNC) && !(state() & REPOSITORY_STATEFLAG_ALIVE); },
            600);
    }
    uint32_t errors = 0;
    Repository_GetErrorCount(repo, &errors);
    Repository_Shutdown(repo);
    Pump(repo, [&] { return Repository_IsShutdown(repo) == 1; }, 10);
    Repository_Release(&repo);
    return ok && errors == 0;
}

// CPU seconds of this process and of the children it has waited for (the peers' clients); the
// servers' own time is not counted, on any side.
double Cpu() {
    rusage children{};
    getrusage(RUSAGE_CHILDREN, &children);
    return ProcessCpu() + RusageSeconds(children);
}

// Sets the side's counters: its bytes per second over the tree, its CPU seconds, and for updates
// what it fetched.
void Finish(benchmark::State& state, Env& env, double cpu, double fetched, int64_t bytes = -1) {
    state.SetBytesProcessed(state.iterations() * (bytes < 0 ? env.Total : bytes));
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
    if (fetched >= 0)
        state.counters["fetched_MiB"] =
            benchmark::Counter(fetched / (1 << 20), benchmark::Counter::kAvgIterations);
}

void Ours(benchmark::State& state, bool update, bool oneCore, const std::string& tree = "v") {
    Env& env = TheEnv();
    if (!env.Built) return state.SkipWithError("the tree or nginx could not be set up");
    const std::string version = tree + (update ? "2" : "1");
    const int requests = state.range(0) ? (int)state.range(0) : kParallel;
    const int fileCompletes = state.range(1) ? (int)state.range(1) : 4;
    double fetched = 0, cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        env.Prepare(update, tree);
        size_t from = env.LogLines();
        if (oneCore) env.Pin(true);
        state.ResumeTiming();
        cpu -= Cpu();
        const bool ok = RunOurSync(env, version, requests, fileCompletes);
        cpu += Cpu();
        state.PauseTiming();
        env.Pin(false);
        if (!ok) return state.SkipWithError("the sync failed");
        if (!env.Same(version)) return state.SkipWithError("the tree differs after the sync");
        fetched += env.Sent(&from, {"/" + tree + "2/"});
        state.ResumeTiming();
    }
    Finish(state, env, cpu, update ? fetched : -1, tree == "L" ? env.LargeTotal : env.Total);
}

void OurSync(benchmark::State& state) { Ours(state, false, false); }
void OurSyncOneCore(benchmark::State& state) { Ours(state, false, true); }
void OurUpdate(benchmark::State& state) { Ours(state, true, false); }
void OurSyncLarge(benchmark::State& state) { Ours(state, false, false, "L"); }
void OurUpdateLarge(benchmark::State& state) { Ours(state, true, false, "L"); }

void CurlTree(benchmark::State& state) {
    Env& env = TheEnv();
    if (!env.Built) return state.SkipWithError("the tree or nginx could not be set up");
    const std::string config = env.Dir.file("curl.cfg");
    {
        std::ofstream list(config);
        list << "no-progress-meter\n"; // -s alone leaves the parallel transfers' meter on
        for (const auto& f : env.Files)
            list << "url = \"" << env.Url("/v1/" + f.first) << "\"\noutput = \"/dev/null\"\n";
    }
    double cpu = 0;
    for (auto _ : state) {
        cpu -= Cpu();
        if (Curl({"--parallel", "--parallel-max", std::to_string(kParallel), "-K", config}) < 0)
            return state.SkipWithError("curl failed");
        cpu += Cpu();
    }
    Finish(state, env, cpu, -1);
}

// The tree's bytes read piece by piece, each piece hashed and written into the files anew, by
// one thread or by a thread on every core taking the next piece.
bool CopyPiece(Env& env, const std::vector<int64_t>& starts, int64_t piece, std::string& buffer, SHA1* sha) {
    const int64_t begin = piece * kPiece, end = std::min(begin + kPiece, env.Total);
    buffer.resize((size_t)kPiece);
    if (end - begin < kPiece) memset(buffer.data() + (end - begin), 0, (size_t)(kPiece - (end - begin))); // padded
    size_t file = (size_t)(std::upper_bound(starts.begin(), starts.end(), begin) - starts.begin()) - 1;
    for (int64_t at = begin; at < end; file++) {
        const int64_t fileEnd = starts[file] + env.Files[file].second;
        if (fileEnd <= at) continue;
        const size_t take = (size_t)(std::min(end, fileEnd) - at);
        const int in = open(env.Www("v1/" + env.Files[file].first).c_str(), O_RDONLY | O_CLOEXEC);
        const int out = open(env.Dir.file("dest/" + env.Files[file].first).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        char* bytes = buffer.data() + (at - begin);
        const bool copied = in >= 0 && out >= 0 && pread(in, bytes, take, at - starts[file]) == (ssize_t)take &&
                            pwrite(out, bytes, take, at - starts[file]) == (ssize_t)take;
        if (in >= 0) close(in);
        if (out >= 0 && close(out) != 0) return false;
        if (!copied) return false;
        at += (int64_t)take;
    }
    uint8_t digest[20];
    SHA1_Reset(sha);
    SHA1_Process(sha, buffer.data(), (uint32_t)buffer.size());
    SHA1_Generate(sha);
    SHA1_GetDigest(sha, digest, sizeof(digest));
    benchmark::DoNotOptimize(digest);
    return true;
}

void HashWrite(benchmark::State& state, int threads) {
    Env& env = TheEnv();
    if (!env.Built) return state.SkipWithError("the tree or nginx could not be set up");
    std::vector<int64_t> starts;
    for (int64_t at = 0; const auto& f : env.Files) starts.push_back(at), at += f.second;
    const int64_t pieces = (env.Total + kPiece - 1) / kPiece;
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        env.Prepare(false);
        env.Folders("v1");
        state.ResumeTiming();
        cpu -= Cpu();
        std::atomic<int64_t> next{0};
        std::atomic<bool> failed{false};
        auto work = [&] {
            std::string buffer;
            SHA1* sha = nullptr;
            SHA1_Create(&sha);
            for (int64_t piece; !failed && (piece = next++) < pieces;)
                if (!CopyPiece(env, starts, piece, buffer, sha)) failed = true;
            SHA1_Release(&sha);
        };
        std::vector<std::thread> pool;
        for (int t = 1; t < threads; t++) pool.emplace_back(work);
        work();
        for (std::thread& t : pool) t.join();
        cpu += Cpu();
        state.PauseTiming();
        if (failed) return state.SkipWithError("a piece could not be copied");
        if (!env.Same("v1")) return state.SkipWithError("the tree differs after the copy");
        state.ResumeTiming();
    }
    Finish(state, env, cpu, -1);
}

void HashWriteOneThread(benchmark::State& state) { HashWrite(state, 1); }
void HashWriteAllCores(benchmark::State& state) { HashWrite(state, CPU_COUNT(&TheEnv().AllCores)); }

// zsync over every large file, one after another, each with its control file (the same files as
// the whole tree's, so the controls made for that tree serve). The folders are made and the old
// copies zsync keeps (.zs-old) are removed outside the timing.
void Zsync(benchmark::State& state, bool update) {
    Env& env = TheEnv();
    if (!env.Built) return state.SkipWithError("the tree or nginx could not be set up");
    const std::string v = update ? "2" : "1";
    double fetched = 0, cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        env.Prepare(update, "L");
        env.Folders("L" + v);
        size_t from = env.LogLines();
        state.ResumeTiming();
        cpu -= Cpu();
        const int code = Shell("cd " + env.Dir.file("dest") + " && while read n; do zsync -q -o $n " +
                               env.Url("/z" + v + "/") + "$n.zsync >/dev/null 2>&1 || exit 1; done < " +
                               env.Dir.file("namesL" + v));
        cpu += Cpu();
        state.PauseTiming();
        if (code != 0) return state.SkipWithError("zsync failed");
        Shell("find " + env.Dir.file("dest") + " -name '*.zs-old' -delete");
        if (!env.Same("L" + v)) return state.SkipWithError("the tree differs after zsync");
        fetched += env.Sent(&from, {"/v" + v + "/", "/z" + v + "/"});
        state.ResumeTiming();
    }
    Finish(state, env, cpu, update ? fetched : -1, env.LargeTotal);
}

void ZsyncLarge(benchmark::State& state) { Zsync(state, false); }
void ZsyncUpdateLarge(benchmark::State& state) { Zsync(state, true); }

void RsyncRun(benchmark::State& state, bool update) {
    Env& env = TheEnv();
    if (!env.Built) return state.SkipWithError("the tree or nginx could not be set up");
    if (!env.Rsync || !env.Rsync->Running()) return state.SkipWithError("the rsync daemon did not start");
    const std::string module = update ? "v2" : "v1";
    double fetched = 0, cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        env.Prepare(update);
        state.ResumeTiming();
        cpu -= Cpu();
        const std::string stats = Output("rsync -a --stats rsync://127.0.0.1:" + std::to_string(env.Rsync->Port()) +
                                         "/" + module + "/ " + env.Dir.file("dest") + "/");
        cpu += Cpu();
        state.PauseTiming();
        const size_t at = stats.find("Total bytes received: ");
        if (at == std::string::npos) return state.SkipWithError("rsync failed");
        std::string number;
        for (size_t i = at + 22; i < stats.size() && stats[i] != '\n'; i++)
            if (stats[i] != ',') number += stats[i];
        fetched += atof(number.c_str());
        if (!env.Same(module)) return state.SkipWithError("the tree differs after rsync");
        state.ResumeTiming();
    }
    Finish(state, env, cpu, update ? fetched : -1);
}

void RsyncTree(benchmark::State& state) { RsyncRun(state, false); }
void RsyncUpdate(benchmark::State& state) { RsyncRun(state, true); }

#define SIDE(fn) BENCHMARK(fn)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)
SIDE(OurSync)->ArgsProduct({{1, 4, 16}, {1, 4}});
SIDE(OurSyncOneCore)->Args({16, 4});
SIDE(OurUpdate)->Args({16, 4});
SIDE(CurlTree);
SIDE(HashWriteOneThread);
SIDE(HashWriteAllCores);
SIDE(OurSyncLarge)->Args({16, 4});
SIDE(OurUpdateLarge)->Args({16, 4});
SIDE(ZsyncLarge);
SIDE(ZsyncUpdateLarge);
SIDE(RsyncTree);
SIDE(RsyncUpdate);

PEER_RATIO("install beside curl fetching the same bytes", "OurSync/16/4", "CurlTree");
PEER_RATIO("install beside hashing and writing the same bytes, one thread", "OurSync/16/4", "HashWriteOneThread");
PEER_RATIO("install beside hashing and writing the same bytes, every core", "OurSync/16/4", "HashWriteAllCores");
PEER_RATIO("install of the large files beside zsync", "OurSyncLarge/16/4", "ZsyncLarge");
PEER_RATIO("install beside rsync", "OurSync/16/4", "RsyncTree");
PEER_RATIO("update of the large files beside zsync", "OurUpdateLarge/16/4", "ZsyncUpdateLarge");
PEER_RATIO("update of 5% of the pieces beside rsync", "OurUpdate/16/4", "RsyncUpdate");
PEER_RATIO("install on all cores over one core", "OurSync/16/4", "OurSyncOneCore/16/4");
PEER_RATIO("install, requests 1, fileCompletes 1, beside curl", "OurSync/1/1", "CurlTree");
PEER_RATIO("install, requests 1, fileCompletes 4, beside curl", "OurSync/1/4", "CurlTree");
PEER_RATIO("install, requests 4, fileCompletes 1, beside curl", "OurSync/4/1", "CurlTree");
PEER_RATIO("install, requests 4, fileCompletes 4, beside curl", "OurSync/4/4", "CurlTree");
PEER_RATIO("install, requests 16, fileCompletes 1, beside curl", "OurSync/16/1", "CurlTree");

} // namespace

// Each run fetches or writes the whole tree: three repetitions unless the command line asks for more.
PEER_RATIO_MAIN_REPEATING(3)
