// Feeds arbitrary bytes to the INI reader; whatever it read (all of it, or the lines before a
// malformed one) is written back, and the written text must load whole into the same Dictionary
// and write out the same again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/formats/ini.h"
#include "core/formats/json.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "tests/support/dictionary_text.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

struct Side {
    Ini* ini = nullptr;
    Dictionary* dict = nullptr;
    Side() {
        Ini_Create(&ini);
        Dictionary_Create(&dict);
        Dictionary_SetPrintCallback(dict, nullptr, Quiet);
        Ini_SetPrintCallback(ini, nullptr, Quiet);
        Ini_SetVerbose(ini, 1); // the verbose messages run too
        Ini_SetDictionaryHandle(ini, dict);
    }
    ~Side() {
        Ini_Delete(&ini);
        Dictionary_Release(&dict);
    }
};

// Loads from an exactly sized heap copy, so a read past the input is caught.
int64_t Load(Side* side, const uint8_t* data, size_t size) {
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (size) std::memcpy(copy, data, size);
    MemoryStream* ms = nullptr;
    MemoryStream_Create(&ms);
    MemoryStream_SetPointer(ms, copy, (uint32_t)size, (uint32_t)size);
    Stream* stream = nullptr;
    MemoryStream_GetStreamHandle(ms, &stream);
    const int64_t result = Ini_LoadStream(side->ini, stream);
    MemoryStream_Delete(&ms);
    std::free(copy);
    return result;
}

std::string Save(Side* side) {
    MemoryStream* ms = nullptr;
    MemoryStream_Create(&ms);
    MemoryStream_SetAutoGrow(ms, 1);
    Stream* stream = nullptr;
    MemoryStream_GetStreamHandle(ms, &stream);
    Require(Ini_SaveStream(side->ini, stream) == 1);
    std::string text;
    uint8_t* at = nullptr;
    if (MemoryStream_GetPointerAt(ms, 0, &at) && at) {
        text.assign(reinterpret_cast<const char*>(at), (size_t)MemoryStream_GetUsed(ms));
        MemoryStream_ReleasePointer(ms, &at);
    }
    MemoryStream_Delete(&ms);
    return text;
}

// The Dictionary as minified JSON: keys, private marks, types (String against Dictionary) and
// texts all show.
std::string Describe(Dictionary* dict) {
    return DictionaryAsJson(dict);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    Side first;
    Load(&first, data, size);
    const std::string text = Save(&first);
    Side second;
    Require(Load(&second, reinterpret_cast<const uint8_t*>(text.data()), text.size()) == 1);
    Require(Describe(first.dict) == Describe(second.dict));
    Require(Save(&second) == text);
    return 0;
}
