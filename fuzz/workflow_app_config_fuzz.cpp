// Feeds arbitrary configuration documents (JSON) to the engine context: each one that parses is
// loaded into the running context and applied, and the configuration is read back through the
// engine's readers; the text itself also goes through the character-reference converters.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "workflow/workflow_app.h"

namespace {

bool Started() {
    static const bool started = WorkflowApp_Init("workflow_app_config_fuzz.log", 0) == 1;
    return started;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!Started() || size > (1 << 16)) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);

    char converted[512];
    WorkflowApp_ConvertFromEntitizedString(text.c_str(), converted, sizeof(converted));
    WorkflowApp_ConvertToEntitizedString(text.c_str(), converted, sizeof(converted));

    Dictionary* document = nullptr;
    Dictionary_Create(&document);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, document);
    const int64_t parsed = JSON_LoadBuffer(json, data, static_cast<uint32_t>(size));
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    if (parsed) WorkflowApp_LoadConfigFromDictionary(document);
    Dictionary_Release(&document);

    char value[256];
    WorkflowApp_GetConfig("localStorage", "", value, sizeof(value));
    WorkflowApp_GetConfig("macros", "", value, sizeof(value));
    uint32_t flag = 0;
    WorkflowApp_GetConfigBoolean("storage.systemBuffer", 0, &flag);
    WorkflowApp_ExpandString("{localStorage}{AppVersion}{RestartArguments}", value, sizeof(value));
    return 0;
}
