// Calls into the skin's script classes as the script bridge makes them: an instance from the
// skin's interop library, requests built from JSON with the method's CRC-32, replies as JSON.
#pragma once

#include <cstring>
#include <string>

#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "skin/script_invoker.h"
#include "tests/support/dictionary_text.h"

struct ScriptObject {
    char id[40] = {};
    InteropInvokeFunc invoke = nullptr;
    InteropReleaseFunc release = nullptr;
    InteropProcessFunc process = nullptr;
    void* context = nullptr;

    // From the skin's library, or from another library's CreateInstance.
    bool Create(const char* className, InteropCreateInstanceFunc create = SkinInterop_CreateInstance) {
        return create(className, id, sizeof(id), nullptr, nullptr, &invoke, &release, &process, &context) ==
               1;
    }
    ~ScriptObject() {
        if (release) release(&context);
    }

    // The whole reply as JSON, prefixed with "0 " when the call answered 0.
    std::string Call(const std::string& method, const std::string& arguments = "") {
        uint32_t crc = 0xffffffffu;
        for (unsigned char c : method) {
            crc ^= c;
            for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
        crc = ~crc;
        const std::string text = "{\"method\": \"" + method +
                                 "\", \"methodHash\": " + std::to_string((int32_t)crc) +
                                 (arguments.empty() ? "" : ", ") + arguments + "}";
        Dictionary* document = Parse(text);
        Dictionary* request = nullptr;
        Dictionary_SkipRoot(document, &request);
        Dictionary* response = nullptr;
        Dictionary_Create(&response);
        const int64_t ok = invoke(context, request, response);
        std::string value = "{" + DictionaryAsJson(response) + "}";
        Dictionary_Release(&response);
        Dictionary_Release(&document);
        return ok ? value : "0 " + value;
    }

    static Dictionary* Parse(const std::string& text) {
        Dictionary* dict = nullptr;
        JSON* parser = nullptr;
        Dictionary_Create(&dict);
        JSON_Create(&parser);
        JSON_SetDictionaryHandle(parser, dict);
        JSON_LoadBuffer(parser, text.data(), (uint32_t)text.size());
        JSON_Release(&parser);
        return dict;
    }
};
