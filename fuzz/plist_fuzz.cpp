// Feeds arbitrary bytes to the property-list reader (through a file, its only input); a file it
// accepts is saved (indented and minified), and the saved file must load into the same Dictionary
// and save to the same bytes again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "core/formats/json.h"
#include "core/formats/plist.h"
#include "core/runtime/dictionary.h"
#include "tests/support/dictionary_text.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

std::string TempPath(const char* name) {
    return "/tmp/plist_fuzz." + std::to_string(getpid()) + "." + name;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    Require(file != nullptr);
    if (size) Require(std::fwrite(data, 1, size, file) == size);
    std::fclose(file);
}

std::string ReadFile(const std::string& path) {
    std::string text;
    FILE* file = std::fopen(path.c_str(), "rb");
    Require(file != nullptr);
    char block[4096];
    size_t n;
    while ((n = std::fread(block, 1, sizeof(block), file)) > 0) text.append(block, n);
    std::fclose(file);
    return text;
}

struct Side {
    Plist* plist = nullptr;
    Dictionary* dict = nullptr;
    Side() {
        Plist_Create(&plist);
        Dictionary_Create(&dict);
        Dictionary_SetPrintCallback(dict, nullptr, Quiet);
        Plist_SetPrintCallback(plist, nullptr, Quiet);
        Plist_SetDictionaryHandle(plist, dict);
    }
    ~Side() {
        Plist_Delete(&plist);
        Dictionary_Release(&dict);
    }
};

std::string Describe(Dictionary* dict) {
    return DictionaryAsJson(dict);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const std::string input = TempPath("in");
    const std::string saved = TempPath("out");
    WriteFile(input, data, size);
    Side first;
    const int64_t loaded = Plist_Load(first.plist, input.c_str());
    uint32_t count = 0;
    Dictionary_ItemGetCount(first.dict, &count);
    // Only a whole document is saved back; an empty one has nothing to keep the shape of.
    if (loaded == 1 && count > 0) {
        const std::string tree = Describe(first.dict);
        for (uint32_t minify : {0u, 1u}) {
            Plist_SetMinify(first.plist, minify);
            if (Plist_Save(first.plist, saved.c_str()) != 1) continue; // a Null item or a too deep tree
            const std::string text = ReadFile(saved);
            Side second;
            Require(Plist_Load(second.plist, saved.c_str()) == 1);
            Require(Describe(second.dict) == tree);
            Plist_SetMinify(second.plist, minify);
            Require(Plist_Save(second.plist, saved.c_str()) == 1);
            Require(ReadFile(saved) == text);
        }
    }
    unlink(input.c_str());
    unlink(saved.c_str());
    return 0;
}
