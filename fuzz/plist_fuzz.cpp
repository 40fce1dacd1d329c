// Feeds arbitrary bytes to the property-list reader (through a file, its only input); a file it
// accepts is saved (indented and minified), and the saved file must load into the same Dictionary
// and save to the same bytes again. The bytes are also taken as one key and one string value, which
// must come back from a save and a load exactly, blanks and line breaks at their ends included.
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

// Names the failed check's line before stopping.
void RequireAt(bool condition, int line) {
    if (condition) return;
    std::fprintf(stderr, "plist_fuzz: check at line %d failed\n", line);
    std::abort();
}
#define Require(condition) RequireAt((condition), __LINE__)

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

// Key and value made of the input (split at its first 0x01 byte, else in the middle): whatever
// text a property list holds, its saved file must give it back unchanged.
void CheckTextKept(const uint8_t* data, size_t size, const std::string& saved) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    if (input.find('\0') != std::string::npos) return;
    size_t split = input.find('\x01');
    if (split == std::string::npos) split = size / 2;
    const std::string key = input.substr(0, split).substr(0, 100);
    const std::string value = input.substr(split < size ? split + (input[split] == '\x01') : size);
    Side first;
    Dictionary* root = nullptr;
    Dictionary_AddDictionary(first.dict, nullptr, &root, nullptr);
    Dictionary_AddString(root, key.c_str(), value.c_str(), nullptr);
    Dictionary* list = nullptr;
    Dictionary_AddList(root, "l", &list, nullptr);
    Dictionary_AddString(list, nullptr, value.c_str(), nullptr);
    const std::string tree = Describe(first.dict);
    if (Plist_Save(first.plist, saved.c_str()) != 1) return; // text that is not UTF-8
    Side second;
    Require(Plist_Load(second.plist, saved.c_str()) == 1);
    Require(Describe(second.dict) == tree);
    // The key as the dictionary keeps it (a leading mark of a private key is not part of it).
    DictionaryItem* made = nullptr;
    const char* stored = nullptr;
    Dictionary_ItemGetFirst(root, &made);
    Require(made && Dictionary_ItemGetKeyPtr(root, made, &stored) && stored);
    Dictionary* back = nullptr;
    DictionaryItem* item = nullptr;
    Dictionary_SkipRoot(second.dict, &back);
    Dictionary_ItemGetFirst(back, &item);
    const char* name = nullptr;
    const char* text = nullptr;
    int32_t length = 0;
    Require(item && Dictionary_ItemGetKeyPtr(back, item, &name) && name && std::string(stored) == name);
    Dictionary_ItemGetBufferPtr(back, item, &text, &length);
    Require(value == std::string(text ? text : "", (size_t)length));
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
    CheckTextKept(data, size, saved);
    unlink(input.c_str());
    unlink(saved.c_str());
    return 0;
}
