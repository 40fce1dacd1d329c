// Feeds arbitrary bytes to the XML reader; a document it accepts is written back (minified and
// indented), and the written text must load into the same Dictionary and write out the same again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/formats/json.h"
#include "core/formats/xml.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

struct Side {
    XML* xml = nullptr;
    Dictionary* dict = nullptr;
    Side() {
        XML_Create(&xml);
        Dictionary_Create(&dict);
        Dictionary_SetPrintCallback(dict, nullptr, Quiet);
        XML_SetPrintCallback(xml, nullptr, Quiet);
        XML_SetDictionaryHandle(xml, dict);
    }
    ~Side() {
        XML_Delete(&xml);
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
    const int64_t result = XML_LoadStream(side->xml, stream);
    MemoryStream_Delete(&ms);
    std::free(copy);
    return result;
}

std::string Save(Side* side, uint32_t minify) {
    XML_SetMinify(side->xml, minify);
    MemoryStream* ms = nullptr;
    MemoryStream_Create(&ms);
    MemoryStream_SetAutoGrow(ms, 1);
    Stream* stream = nullptr;
    MemoryStream_GetStreamHandle(ms, &stream);
    Require(XML_SaveStream(side->xml, stream) == 1);
    std::string text;
    uint8_t* at = nullptr;
    if (MemoryStream_GetUsed(ms) > 0 && MemoryStream_GetPointerAt(ms, 0, &at) && at) {
        text.assign(reinterpret_cast<const char*>(at), (size_t)MemoryStream_GetUsed(ms));
        MemoryStream_ReleasePointer(ms, &at);
    }
    MemoryStream_Delete(&ms);
    return text;
}

// The Dictionary as minified JSON: keys, private marks, order, types and texts all show.
std::string Describe(Dictionary* dict) {
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetPrintCallback(json, nullptr, Quiet);
    JSON_SetDictionaryHandle(json, dict);
    uint32_t length = 0;
    JSON_SaveBufferEstimate(json, &length);
    std::string text(length, '\0');
    if (length) JSON_SaveBuffer(json, text.data(), length, &length);
    text.resize(length);
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Delete(&json);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    Side first;
    if (Load(&first, data, size) != 1) return 0;
    const std::string tree = Describe(first.dict);
    for (uint32_t minify : {1u, 0u}) {
        const std::string text = Save(&first, minify);
        if (text.empty()) continue;
        Side second;
        Require(Load(&second, reinterpret_cast<const uint8_t*>(text.data()), text.size()) == 1);
        Require(Describe(second.dict) == tree);
        Require(Save(&second, minify) == text);
    }
    return 0;
}
