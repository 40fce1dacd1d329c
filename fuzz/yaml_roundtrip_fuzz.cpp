// Whatever the YAML reader loads whole is written back, and the written text must load whole
// into the same Dictionary (keys, item types and texts) and write out the same again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/formats/yaml.h"
#include "core/runtime/dictionary.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

// Keys, types and texts in order, containers bracketed.
void Describe(Dictionary* dict, std::string& out) {
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(dict, &item);
    for (; item; Dictionary_ItemGetNext(dict, item, &item)) {
        const char* key = nullptr;
        out += Dictionary_ItemGetKeyPtr(dict, item, &key) && key ? "K" + std::string(key) + "=" : "-";
        uint32_t type = 0;
        Dictionary_ItemGetType(dict, item, &type);
        out += (char)('0' + type);
        if (type == DICTIONARY_TYPE_BOOLEAN) {
            uint32_t flag = 0;
            Dictionary_ItemGetBoolean(dict, item, &flag);
            out += flag ? "t" : "f";
        } else if (type == DICTIONARY_TYPE_LIST || type == DICTIONARY_TYPE_DICTIONARY) {
            Dictionary* child = nullptr;
            Dictionary_ItemGetDictionaryHandle(dict, item, &child);
            out += "(";
            if (child) Describe(child, out);
            out += ")";
        } else if (type != DICTIONARY_TYPE_NULL) {
            const char* text = nullptr;
            int32_t length = 0;
            Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
            out += std::to_string(length) + ":" + std::string(text ? text : "", text ? (size_t)length : 0);
        }
        out += ";";
    }
}

struct Side {
    YAML* yaml = nullptr;
    Dictionary* dict = nullptr;
    Side() {
        YAML_Create(&yaml);
        Dictionary_Create(&dict);
        Dictionary_SetPrintCallback(dict, nullptr, Quiet);
        YAML_SetPrintCallback(yaml, nullptr, Quiet);
        YAML_SetDictionaryHandle(yaml, dict);
    }
    ~Side() {
        YAML_Delete(&yaml);
        Dictionary_Release(&dict);
    }
    std::string Save() {
        uint32_t size = 0;
        Require(YAML_SaveBufferEstimate(yaml, &size) == 1);
        std::string text(size, '\0');
        uint32_t length = 0;
        Require(YAML_SaveBuffer(yaml, text.data(), size, &length) == 1 && length == size);
        return text;
    }
    std::string Tree() {
        std::string out;
        Describe(dict, out);
        return out;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    Side first;
    if (YAML_LoadBuffer(first.yaml, data, (uint32_t)size) != 1) return 0;
    const std::string text = first.Save();
    Side second;
    Require(YAML_LoadBuffer(second.yaml, text.data(), (uint32_t)text.size()) == 1);
    Require(second.Tree() == first.Tree());
    Require(second.Save() == text);
    return 0;
}
