// Decoding deltas of 4 MiB pieces: our decoder over each piece's window in memory beside the
// xdelta3 tool decoding the same windows in its own file form (a process that reads the delta and
// the source and writes the target, which is how that peer is used). A single piece costs the
// tool little more than its start-up, so both sides decode 16 pieces (64 MiB) per iteration: the
// tool's start-up (about 1 ms) is then under 5 % of its time.
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

constexpr size_t kPiece = 4 << 20;
constexpr int kPieces = 16;

// The windows of a delta in the tool's file form, each made a file of its own (the file header
// and that window) so that it converts into this system's window form alone.
std::optional<std::vector<ConvertedDelta>> ConvertWindows(const Bytes& file) {
    if (file.size() < 5 || file[4] != 0) return std::nullopt; // no header extras asked for
    std::vector<ConvertedDelta> windows;
    for (size_t at = 5; at < file.size();) {
        const size_t start = at;
        const uint8_t indicator = file[at++];
        uint64_t value = 0;
        if (indicator & 0x03)
            for (int k = 0; k < 2; k++)
                if (!vcdiff_peer::GetInteger(file, at, value)) return std::nullopt;
        if (!vcdiff_peer::GetInteger(file, at, value) || value > file.size() - at) return std::nullopt;
        at += value;
        Bytes one(file.begin(), file.begin() + 5);
        one.insert(one.end(), file.begin() + (long)start, file.begin() + (long)at);
        std::optional<ConvertedDelta> window = ConvertPeerDelta(one);
        if (!window) return std::nullopt;
        windows.push_back(std::move(*window));
    }
    return windows;
}

// Copy-heavy targets of 4 MiB against random sources of 4 MiB, with short inserts and zero runs,
// piece after piece; the tool's windows are the pieces.
struct Work {
    std::string Dir;
    Bytes Source, Target;
    bool PeerDelta = false;
    std::vector<ConvertedDelta> Ours;

    Work() {
        char pattern[] = "/tmp/qvr-bench-XXXXXX";
        Dir = mkdtemp(pattern) ? pattern : "/tmp";
        DeltaContent content(5);
        for (int k = 0; k < kPieces; k++) {
            const Bytes source = content.Random(kPiece);
            const Bytes target = content.CopyHeavy(source, kPiece);
            Source.insert(Source.end(), source.begin(), source.end());
            Target.insert(Target.end(), target.begin(), target.end());
        }
        const std::string src = Dir + "/peer.src", tgt = Dir + "/peer.tgt", out = Dir + "/peer.vcdiff";
        if (!WriteBytes(src, Source) || !WriteBytes(tgt, Target)) return;
        // As the tests' deltas (no secondary compression, checksum or application header), in
        // windows of one piece.
        PeerDelta = RunOracle("xdelta3 -e -f -A -S none -n -W " + std::to_string(kPiece) + " -B " +
                                  std::to_string(Source.size()) + " -s '" + src + "' '" + tgt + "' '" + out + "'",
                              "", 600)
                        .has_value();
        if (!PeerDelta) return;
        std::optional<std::vector<ConvertedDelta>> windows = ConvertWindows(ReadBytes(out));
        if (windows && windows->size() == (size_t)kPieces) Ours = std::move(*windows);
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
bool DecodeOnce(VCDiffDecoder* d, const Work& w, const ConvertedDelta& delta, uint8_t* out, bool* allocated) {
    const Bytes& window = delta.Window;
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
    VCDiffDecoder_SetSourceBuffer(d, w.Source.data() + delta.SourcePosition, (uint32_t)delta.SourceSize);
    uint32_t position = 0;
    const bool ok = VCDiffDecoder_Init(d) && VCDiffDecoder_Decode(d, out, (uint32_t)kPiece, &position) &&
                    position == kPiece;
    if (allocated) {
        Memory_GetMaximum(&maxCount, &maxBytes);
        *allocated = maxBytes >= used;
        Memory_Free(guard, guardSize);
    }
    return ok;
}

// Every piece's window decoded into its place in the target.
bool DecodeAll(VCDiffDecoder* d, const Work& w, Bytes& out, bool* allocated) {
    bool ok = true;
    for (int k = 0; k < kPieces; k++) {
        bool one = false;
        ok &= DecodeOnce(d, w, w.Ours[(size_t)k], out.data() + (size_t)k * kPiece, allocated ? &one : nullptr);
        if (allocated) *allocated |= one;
    }
    return ok;
}

void BM_OursDecode(benchmark::State& state) {
    Work& w = TheWork();
    if (w.Ours.empty()) return state.SkipWithError("xdelta3 did not make a delta of one window per piece");
    Memory_Init(1);
    VCDiffDecoder* d = nullptr;
    VCDiffDecoder_Create(&d);
    Bytes out(w.Target.size());
    bool allocated = false;
    if (!DecodeAll(d, w, out, &allocated) || out != w.Target) state.SkipWithError("decode differs from the target");
    state.counters["allocations_while_decoding"] = allocated ? 1 : 0;
    for (auto _ : state) {
        DecodeAll(d, w, out, nullptr);
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
PEER_RATIO("delta decode of 16 pieces of 4 MiB", "BM_OursDecode", "BM_PeerDecode");
PEER_RATIO_MAIN()
