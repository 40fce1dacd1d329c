// Reading every entry of a skin store of about 100 MB (text pages deflated, image-like noise
// stored and deflated) through SkinFile, beside `unzip -p` of the same archive with its output
// discarded. The archive is made once per run in a temporary folder.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/peer_ratio.h"
#include "skin/skin_file.h"
#include "skin/skin_file_internal.h"

extern char** environ;

namespace {

constexpr const char* kMakeArchive = R"(
import os, random, sys, zipfile
random.seed(7)
words = [''.join(random.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(random.randint(2, 11)))
         for _ in range(5000)]
chunks = []
for _ in range(32):
    line = []
    size = 0
    while size < 65536:
        w = random.choice(words)
        line.append(w)
        size += len(w) + 1
    chunks.append((' '.join(line) + '\n').encode())
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    for i in range(110):
        data = b''.join(random.choice(chunks) for _ in range(24))
        z.writestr('pages/page%03d.html' % i, data, zipfile.ZIP_DEFLATED, 6)
        print('pages/page%03d.html' % i)
    for i in range(100):
        data = os.urandom(400 * 1024)
        kind = zipfile.ZIP_STORED if i % 2 else zipfile.ZIP_DEFLATED
        z.writestr('images/image%03d.png' % i, data, kind, 6)
        print('images/image%03d.png' % i)
)";

struct Archive {
    std::string Directory;
    std::string Path;
    std::vector<std::string> Names;
    bool Ready = false;

    Archive() {
        char pattern[] = "/tmp/qvr-bench-XXXXXX";
        if (!mkdtemp(pattern)) return;
        Directory = pattern;
        Path = Directory + "/skin.zip";
        const std::string script = Directory + "/make.py";
        std::ofstream(script) << kMakeArchive;
        FILE* names = popen(("/usr/bin/python3 " + script + " " + Path).c_str(), "r");
        if (!names) return;
        char line[256];
        while (fgets(line, sizeof(line), names)) {
            std::string name = line;
            while (!name.empty() && name.back() == '\n') name.pop_back();
            Names.push_back(name);
        }
        if (pclose(names) != 0) return;
        std::ifstream in(Path, std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        const std::string image = bytes.str();
        Ready = SkinFile_AttachImage(reinterpret_cast<const uint8_t*>(image.data()), (uint32_t)image.size(),
                                     Path.c_str()) == 1;
        if (Ready) printf("skin store: %zu entries, %.1f MB\n", Names.size(), image.size() / 1e6);
    }
    ~Archive() {
        SkinFile_Remove();
        if (!Directory.empty()) {
            unlink(Path.c_str());
            unlink((Directory + "/make.py").c_str());
            rmdir(Directory.c_str());
        }
    }
};

Archive& TheArchive() {
    static Archive archive;
    return archive;
}

void BM_SkinFile_ReadAll(benchmark::State& state) {
    Archive& archive = TheArchive();
    if (!archive.Ready) return state.SkipWithError("no archive (python3)");
    static std::vector<char> buffer(64 * 1024);
    for (auto _ : state) {
        uint64_t total = 0;
        for (const std::string& name : archive.Names) {
            SkinFile* file = nullptr;
            SkinFile_Create(&file);
            if (!SkinFile_Open(file, name.c_str())) return state.SkipWithError("open failed");
            uint32_t got = 0;
            while (SkinFile_Read(file, buffer.data(), (uint32_t)buffer.size(), &got) || got) total += got;
            SkinFile_Delete(&file);
        }
        benchmark::DoNotOptimize(total);
        state.counters["MB"] = total / 1e6;
    }
}

void BM_unzip_p(benchmark::State& state) {
    Archive& archive = TheArchive();
    if (!archive.Ready) return state.SkipWithError("no archive (python3)");
    for (auto _ : state) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        std::string path = archive.Path;
        char unzip[] = "unzip", p[] = "-p";
        char* argv[] = {unzip, p, path.data(), nullptr};
        pid_t pid = -1;
        const int spawned = posix_spawnp(&pid, "unzip", &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        int status = 0;
        if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return state.SkipWithError("unzip -p failed");
    }
}

} // namespace

BENCHMARK(BM_SkinFile_ReadAll)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_unzip_p)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

PEER_RATIO("Read every entry of a 100 MB skin store (SkinFile / unzip -p)", "BM_SkinFile_ReadAll", "BM_unzip_p");

PEER_RATIO_MAIN()
