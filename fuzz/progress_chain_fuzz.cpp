// Feeds arbitrary workflow documents (JSON) in which the task "p" is a Progress task: its chain
// walk, the bounds made from the definitions' weights and the figures the runs report.
#include "core/formats/json.h"
#include "fuzz/engine_types_fuzz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    engine_fuzz::Init();
    return 0;
}

// The first byte chooses the chain depth limit (0: the default, else that many); the rest is the
// document.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 16)) return 0;
    const uint8_t depth = data[0];
    Dictionary* document = nullptr;
    Dictionary_Create(&document);
    JSON* reader = nullptr;
    JSON_Create(&reader);
    JSON_SetPrintCallback(reader, nullptr, engine_fuzz::Quiet);
    JSON_SetDictionaryHandle(reader, document);
    const bool loaded = JSON_LoadBuffer(reader, reinterpret_cast<const char*>(data + 1), (uint32_t)(size - 1)) == 1;
    JSON_SetDictionaryHandle(reader, nullptr);
    JSON_Release(&reader);
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(document, &root);
    uint32_t type = 0;
    Dictionary* progress = nullptr;
    if (!loaded || !root || !Dictionary_GetTypeByKey(root, "p", &type) || type != DICTIONARY_TYPE_DICTIONARY ||
        !Dictionary_GetDictionaryByKey(root, "p", &progress) || !progress) {
        Dictionary_Release(&document);
        return 0;
    }
    Dictionary_SetStringByKey(progress, "type", "Progress");
    if (depth) Dictionary_SetInt32ByKey(progress, "maxChainDepth", depth);
    Workflow* workflow = engine_fuzz::NewWorkflow();
    Workflow_LoadDictionary(workflow, root, 1);
    Dictionary_Release(&document);
    engine_fuzz::RunAndEnd(workflow, "p", 80);
    return 0;
}
