// Feeds arbitrary bytes to the XML reader; a document it accepts is written back (minified and
// indented), and the written text must load into the same Dictionary and write out the same again.
// Only a document whose names the Dictionary had to cut may fail the save: a cut name (an element
// name cut right after a "/", say) can be one the XML text cannot carry.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/formats/json.h"
#include "core/formats/xml.h"
#include "core/formats/xml_internal.h"
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

// Notes a name longer than the Dictionary keeps: the key being stored is the one of the level
// below the top.
int64_t NoteCut(XML* xml, void* user, const char*, uint32_t, const char*, int32_t, uint64_t, int32_t, int32_t) {
    if (strlen(xml->Levels[xml->Top - 1].Key) > (size_t)DICTIONARY_MAX_KEY_LENGTH) *static_cast<bool*>(user) = true;
    return 0;
}

struct Side {
    XML* xml = nullptr;
    Dictionary* dict = nullptr;
    bool cut = false;
    Side() {
        XML_Create(&xml);
        Dictionary_Create(&dict);
        Dictionary_SetPrintCallback(dict, nullptr, Quiet);
        XML_SetPrintCallback(xml, nullptr, Quiet);
        XML_SetDictionaryHandle(xml, dict);
        XML_SetValueCallback(xml, &cut, NoteCut);
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

bool Save(Side* side, uint32_t minify, std::string* text) {
    XML_SetMinify(side->xml, minify);
    MemoryStream* ms = nullptr;
    MemoryStream_Create(&ms);
    MemoryStream_SetAutoGrow(ms, 1);
    Stream* stream = nullptr;
    MemoryStream_GetStreamHandle(ms, &stream);
    const bool saved = XML_SaveStream(side->xml, stream) == 1;
    text->clear();
    uint8_t* at = nullptr;
    if (saved && MemoryStream_GetUsed(ms) > 0 && MemoryStream_GetPointerAt(ms, 0, &at) && at) {
        text->assign(reinterpret_cast<const char*>(at), (size_t)MemoryStream_GetUsed(ms));
        MemoryStream_ReleasePointer(ms, &at);
    }
    MemoryStream_Delete(&ms);
    return saved;
}

// The Dictionary as minified JSON: keys, private marks, order, types and texts all show.
std::string Describe(Dictionary* dict) {
    return DictionaryAsJson(dict);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    Side first;
    if (Load(&first, data, size) != 1) return 0;
    const std::string tree = Describe(first.dict);
    for (uint32_t minify : {1u, 0u}) {
        std::string text;
        if (!Save(&first, minify, &text)) {
            Require(first.cut);
            continue;
        }
        if (text.empty()) continue;
        Side second;
        Require(Load(&second, reinterpret_cast<const uint8_t*>(text.data()), text.size()) == 1);
        Require(!second.cut);
        Require(Describe(second.dict) == tree);
        std::string again;
        Require(Save(&second, minify, &again) && again == text);
    }
    return 0;
}
