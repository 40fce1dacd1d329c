// Feeds arbitrary bytes to the JSON reader; whatever loads is written back (minified and
// indented), and the written text must load again and write out the same.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>

#include "core/formats/json.h"
#include "core/runtime/dictionary.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

// Saves into an exactly sized heap block, so a write past the estimate is caught.
char* Save(JSON* json, uint32_t minify, uint32_t* length) {
    JSON_SetMinify(json, minify);
    uint32_t estimate = 0;
    JSON_SaveBufferEstimate(json, &estimate);
    char* out = static_cast<char*>(std::malloc(estimate == 0 ? 1 : estimate));
    Require(JSON_SaveBuffer(json, out, estimate, length) == (estimate > 0 ? 1 : 0));
    Require(*length == estimate);
    return out;
}

// Lets every value through after reading its path: the values then take the buffered way.
int64_t Through(JSON*, void*, const char* path, uint32_t, const char* value, int32_t length, uint64_t,
                int32_t, int32_t, uint32_t*) {
    Require(std::strlen(path) < 1024 && length >= 0 && value[length] == 0);
    return 1;
}

// In every container of what was loaded (all of it, or what a failed load kept), a lookup of
// each key gives its first holder, as a scan would: the key indexes the reader makes when a
// container closes, or at the end for those left open, hold every key.
void CheckLookups(Dictionary* dict) {
    std::unordered_set<std::string> seen;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(dict, &item); item; Dictionary_ItemGetNext(dict, item, &item)) {
        Dictionary* child = nullptr;
        if (Dictionary_ItemGetDictionaryHandle(dict, item, &child) && child) CheckLookups(child);
        const char* key = nullptr;
        Dictionary_ItemGetKeyPtr(dict, item, &key);
        // Positional and private forms of a key are read otherwise by a lookup.
        if (!key || !key[0] || key[0] == '[' || key[0] == '.' || key[0] == '#') continue;
        if (!seen.insert(key).second) continue;
        DictionaryItem* found = nullptr;
        Require(Dictionary_ItemFindByKey(dict, key, nullptr, &found) == 1 && found == item);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    JSON* json = nullptr;
    Dictionary* dict = nullptr;
    JSON_Create(&json);
    Dictionary_Create(&dict);
    Dictionary_SetPrintCallback(dict, nullptr, Quiet);
    JSON_SetPrintCallback(json, nullptr, Quiet);
    JSON_SetDictionaryHandle(json, dict);
    // An exactly sized copy: a read past the input is caught.
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (size) std::memcpy(copy, data, size);
    const int64_t loaded = JSON_LoadBuffer(json, copy, (uint32_t)size);
    uint32_t error = 0;
    JSON_GetLastError(json, &error);
    Require(loaded ? error == 0 : error != 0);
    CheckLookups(dict);
    if (loaded) {
        uint32_t length1 = 0;
        char* first = Save(json, 1, &length1);
        uint32_t lengthIndented = 0;
        char* indented = Save(json, 0, &lengthIndented);
        // Keys cut by the Dictionary inside a multi-byte character cannot load again; everything
        // else must come back the same.
        // Seen by a value callback on the way, the same input loads the same.
        JSON_SetValueCallback(json, nullptr, Through);
        Require(JSON_LoadBuffer(json, copy, (uint32_t)size) == 1);
        JSON_SetValueCallback(json, nullptr, nullptr);
        uint32_t lengthSeen = 0;
        char* seen = Save(json, 1, &lengthSeen);
        Require(length1 == lengthSeen && std::memcmp(first, seen, length1) == 0);
        std::free(seen);
        if (JSON_LoadBuffer(json, first, length1)) {
            uint32_t length2 = 0;
            char* second = Save(json, 1, &length2);
            Require(length1 == length2 && std::memcmp(first, second, length1) == 0);
            std::free(second);
            Require(JSON_LoadBuffer(json, indented, lengthIndented) == 1);
            uint32_t length3 = 0;
            char* third = Save(json, 1, &length3);
            Require(length1 == length3 && std::memcmp(first, third, length1) == 0);
            std::free(third);
        }
        std::free(indented);
        std::free(first);
    }
    std::free(copy);
    JSON_Delete(&json);
    Dictionary_Release(&dict);
    return 0;
}
