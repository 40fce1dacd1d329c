// A Dictionary tree as one line of minified JSON, for tests and fuzz targets that compare whole
// trees: keys, order, private marks, types and texts all show.
#pragma once

#include <cstdint>
#include <string>

#include "core/formats/json.h"
#include "core/runtime/dictionary.h"

inline int64_t DictionaryTextQuiet(void*, const char*, ...) {
    return 1;
}

inline std::string DictionaryAsJson(Dictionary* dict) {
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetPrintCallback(json, nullptr, DictionaryTextQuiet);
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
