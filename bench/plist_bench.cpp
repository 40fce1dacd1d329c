// Speed of the property-list reader on a generated 10 MB file (records of strings, integers,
// reals, booleans and nested arrays and dicts). No peer runs beside it: the MB/s is the measure.
// Each load builds the whole Dictionary and frees it in the loop, the heap clean-up included.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/formats/plist.h"
#include "core/runtime/dictionary.h"

namespace {

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

std::string MakeDocument(size_t megabytes) {
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                    "<plist version=\"1.0\">\n<dict>\n  <key>records</key>\n  <array>\n";
    s.reserve((megabytes + 1) << 20);
    for (int i = 0; s.size() < (megabytes << 20); i++) {
        s += "    <dict>\n";
        s += "      <key>id</key><integer>" + std::to_string(i) + "</integer>\n";
        s += "      <key>name</key><string>user name " + std::to_string(i * 7919) + "</string>\n";
        s += "      <key>score</key><real>" + std::to_string(i % 1000) + "." + std::to_string(i % 97) + "</real>\n";
        s += std::string("      <key>active</key>") + (i % 3 ? "<true/>" : "<false/>") + "\n";
        s += "      <key>text</key><string>caf\xC3\xA9 &quot;quoted&quot; &amp; text</string>\n";
        s += "      <key>tags</key><array><string>alpha</string><string>beta</string><integer>12</integer></array>\n";
        s += "      <key>pos</key><dict><key>x</key><integer>" + std::to_string(i % 640) +
             "</integer><key>y</key><integer>" + std::to_string(i % 480) + "</integer></dict>\n";
        s += "    </dict>\n";
    }
    s += "  </array>\n</dict>\n</plist>\n";
    return s;
}

// The document written once to a temporary file, removed at exit.
const std::string& DocumentPath() {
    static const std::string path = [] {
        char name[] = "/tmp/plist_bench_XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) return std::string();
        const std::string text = MakeDocument(10);
        const bool written = write(fd, text.data(), text.size()) == (ssize_t)text.size();
        close(fd);
        if (!written) {
            unlink(name);
            return std::string();
        }
        static std::string kept;
        kept = name;
        atexit([] { unlink(kept.c_str()); });
        return kept;
    }();
    return path;
}

void BM_PlistLoad(benchmark::State& state) {
    const std::string& path = DocumentPath();
    if (path.empty()) {
        state.SkipWithError("no temporary file");
        return;
    }
    Plist* plist = nullptr;
    Plist_Create(&plist);
    Plist_SetPrintCallback(plist, nullptr, Quiet);
    for (auto _ : state) {
        Dictionary* dict = nullptr;
        Dictionary_Create(&dict);
        Dictionary_SetPrintCallback(dict, nullptr, Quiet);
        Plist_SetDictionaryHandle(plist, dict);
        if (Plist_Load(plist, path.c_str()) != 1) state.SkipWithError("load failed");
        Plist_SetDictionaryHandle(plist, nullptr);
        Dictionary_Release(&dict);
        malloc_trim(0);
    }
    FILE* file = fopen(path.c_str(), "rb");
    long size = 0;
    if (file) {
        fseek(file, 0, SEEK_END);
        size = ftell(file);
        fclose(file);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * size);
    Plist_Delete(&plist);
}
BENCHMARK(BM_PlistLoad)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
