// Decoding a delta of a 4 MiB piece: our decoder over the window in memory beside the xdelta3
// tool decoding the same delta in its own file form (a process that reads the delta and the
// source and writes the target, which is how that peer is used).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "bench/peer_ratio.h"
#include "bench/process_peer.h"
#include "core/runtime/memory.h"
#include "repository/vcdiff_decoder.h"
#include "tests/repository/vcdiff_peer.h"

namespace {

// A copy-heavy target of 4 MiB against a 4 MiB source, with short inserts and zero runs.
struct Work {
    std::string Dir;
    Bytes Source, Target;
    std::optional<Bytes> PeerDelta;
    std::optional<ConvertedDelta> Ours;

    Work() {
        char pattern[] = "/tmp/qvr-bench-XXXXXX";
        Dir = mkdtemp(pattern) ? pattern : "/tmp";
        DeltaContent content(5);
        Source = content.Random(4 << 20);
        Target = content.CopyHeavy(Source, 4 << 20);
        PeerDelta = PeerEncode(Dir, &Source, Target);
        if (PeerDelta) Ours = ConvertPeerDelta(*PeerDelta);
        if (PeerDelta) WriteBytes(Dir + "/peer.vcdiff", *PeerDelta);
    }
    ~Work() {
        for (const char* name : {"/peer.src", "/peer.tgt", "/peer.vcdiff", "/peer.out"}) unlink((Dir + name).c_str());
        rmdir(Dir.c_str());
    }
};

Work& TheWork() {
    static Work work;
    return work;
}

// One decode of the window; true when it gives the target. With the memory layer tracking, a
// guard block lifts the bytes in use above every earlier maximum, so that any allocation made
// while decoding raises the maximum: *allocated tells whether one did.
bool DecodeOnce(VCDiffDecoder* d, const Work& w, Bytes& out, bool* allocated) {
    const Bytes& window = w.Ours->Window;
    uint32_t maxCount = 0, maxBytes = 0, used = 0;
    void* guard = nullptr;
    int32_t guardSize = 0;
    if (allocated) {
        Memory_GetMaximum(&maxCount, &maxBytes);
        Memory_GetSize(&used);
        guardSize = maxBytes >= used ? (int32_t)(maxBytes - used) + 1 : 1;
        guard = Memory_Alloc(guardSize);
        Memory_GetSize(&used);
    }
    VCDiffDecoder_SetDeltaBuffer(d, window.data(), (uint32_t)window.size());
    VCDiffDecoder_SetSourceBuffer(d, w.Source.data() + w.Ours->SourcePosition, (uint32_t)w.Ours->SourceSize);
    uint32_t position = 0;
    const bool ok = VCDiffDecoder_Init(d) && VCDiffDecoder_Decode(d, out.data(), (uint32_t)out.size(), &position) &&
                    position == out.size();
    if (allocated) {
        Memory_GetMaximum(&maxCount, &maxBytes);
        *allocated = maxBytes >= used;
        Memory_Free(guard, guardSize);
    }
    return ok;
}

void BM_OursDecode(benchmark::State& state) {
    Work& w = TheWork();
    if (!w.Ours) return state.SkipWithError("xdelta3 did not make a delta");
    Memory_Init(1);
    VCDiffDecoder* d = nullptr;
    VCDiffDecoder_Create(&d);
    Bytes out(w.Target.size());
    bool allocated = true;
    if (!DecodeOnce(d, w, out, &allocated) || out != w.Target) state.SkipWithError("decode differs from the target");
    state.counters["allocations_while_decoding"] = allocated ? 1 : 0;
    for (auto _ : state) {
        DecodeOnce(d, w, out, nullptr);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)out.size());
    VCDiffDecoder_Release(&d);
    Memory_Remove();
}

// xdelta3 -d over the files; false when it fails.
bool PeerDecode(const Work& w) {
    std::vector<std::string> args = {"xdelta3", "-d", "-f", "-s", w.Dir + "/peer.src", w.Dir + "/peer.vcdiff",
                                     w.Dir + "/peer.out"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "xdelta3", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_PeerDecode(benchmark::State& state) {
    Work& w = TheWork();
    if (!w.PeerDelta) return state.SkipWithError("xdelta3 did not make a delta");
    if (!PeerDecode(w) || ReadBytes(w.Dir + "/peer.out") != w.Target)
        return state.SkipWithError("xdelta3 -d did not give the target");
    for (auto _ : state)
        if (!PeerDecode(w)) return state.SkipWithError("xdelta3 -d failed");
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)w.Target.size());
}

} // namespace

BENCHMARK(BM_OursDecode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PeerDecode)->Unit(benchmark::kMillisecond)->UseRealTime();
PEER_RATIO("delta decode of a 4 MiB piece", "BM_OursDecode", "BM_PeerDecode");
PEER_RATIO_MAIN()
