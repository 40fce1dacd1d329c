// Cost of the macro expander and of the path judgement: a text of nested built-ins, a text of a
// caller's values and templates, and the judgement of a six-folder path with no folder refused
// (text only) and with one refused (a walk by descriptor, each folder's identity compared), beside
// realpath() of the same path, which walks the same folders in the kernel. The folders live in a
// fresh directory under /tmp, made before the measured runs and removed at the end.
#include <benchmark/benchmark.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "core/runtime/string_expand.h"

namespace {

int64_t Values(void*, const char* name, char*, char* value, int32_t capacity) {
    if (strcmp(name, "base") == 0) {
        strncpy(value, "/srv/{notes}/app", (size_t)capacity - 1);
        return 1;
    }
    if (strcmp(name, "file") == 0) {
        strncpy(value, "{base}/{Lower:DATA}.json", (size_t)capacity - 1);
        return STRING_EXPAND_TEMPLATE;
    }
    return 0;
}

void Expand(benchmark::State& state, const char* text, ExpandKeyCallback callback) {
    char buffer[STRING_EXPAND_WORK_SIZE];
    for (auto _ : state) {
        strcpy(buffer, text);
        benchmark::DoNotOptimize(String_Expand(buffer, sizeof(buffer), nullptr, callback));
    }
}

void BM_ExpandBuiltins(benchmark::State& state) {
    Expand(state, "{Upper:{Lower:{Copy:AbC}}}-{Substring:1,3,abcdef}-{Replace:a,o,banana}-{Math:mul,6,7}", nullptr);
}
BENCHMARK(BM_ExpandBuiltins);

void BM_ExpandValuesAndTemplates(benchmark::State& state) {
    Expand(state, "{file} {base} {Upper:{file}} {Nobody}", Values);
}
BENCHMARK(BM_ExpandValuesAndTemplates);

struct Folders {
    std::string root, path, refused;
    Folders() {
        char pattern[] = "/tmp/qvr-expand-bench-XXXXXX";
        if (!mkdtemp(pattern)) return;
        root = pattern;
        path = root;
        for (const char* name : {"a", "b", "c", "d", "e"}) {
            path += std::string("/") + name;
            mkdir(path.c_str(), 0700);
        }
        refused = root + "/refused";
        mkdir(refused.c_str(), 0700);
        path += "/f.json";
    }
    ~Folders() {
        if (!root.empty()) std::system(("rm -rf '" + root + "'").c_str());
    }
};

Folders& Made() {
    static Folders folders;
    return folders;
}

void Judge(benchmark::State& state, bool refusal) {
    const Folders& f = Made();
    String_ExpandForgetRefusedFolders();
    if (refusal) String_ExpandRefuseFolder("LocalStorage", (f.refused + "/").c_str(), "bench");
    char line[8192];
    for (auto _ : state)
        benchmark::DoNotOptimize(String_ExpandJudgePath("path", "{base}/f.json", f.path.c_str(), line, sizeof(line)));
    String_ExpandForgetRefusedFolders();
}

void BM_JudgePathNoneRefused(benchmark::State& state) {
    Judge(state, false);
}
BENCHMARK(BM_JudgePathNoneRefused);

void BM_JudgePathOneRefused(benchmark::State& state) {
    Judge(state, true);
}
BENCHMARK(BM_JudgePathOneRefused);

// The peer: the kernel's own walk of the same folders.
void BM_RealpathPeer(benchmark::State& state) {
    const std::string folder = Made().path.substr(0, Made().path.rfind('/'));
    char resolved[PATH_MAX];
    for (auto _ : state) benchmark::DoNotOptimize(realpath(folder.c_str(), resolved));
}
BENCHMARK(BM_RealpathPeer);

} // namespace
