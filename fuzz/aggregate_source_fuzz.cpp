// Feeds arbitrary documents to the Aggregate task type as its inline "content", with and without
// a target and a key part, and runs every action it makes to the end.
#include <cstring>

#include "fuzz/engine_types_fuzz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    engine_fuzz::Init();
    return 0;
}

// The first byte chooses the target (bits 0-1: none, "t", "t.item", "missing.item") and whether
// the actions run all at once (bit 2); the rest is the content.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 16)) return 0;
    const uint8_t mode = data[0];
    Workflow* workflow = engine_fuzz::NewWorkflow();
    Dictionary* definitions = nullptr;
    Dictionary_Create(&definitions);
    Dictionary* aggregate = nullptr;
    Dictionary_AddDictionary(definitions, "g", &aggregate, nullptr);
    Dictionary_SetStringByKey(aggregate, "type", "Aggregate");
    DictionaryItem* content = nullptr;
    Dictionary_Add(aggregate, "content", &content);
    Dictionary_ItemSetType(aggregate, content, DICTIONARY_TYPE_STRING);
    Dictionary_ItemSetBuffer(aggregate, content, reinterpret_cast<const char*>(data + 1), (int32_t)(size - 1));
    static const char* const targets[] = {nullptr, "t", "t.item", "missing.item"};
    if (const char* target = targets[mode & 3]) Dictionary_SetStringByKey(aggregate, "target", target);
    if (mode & 4) Dictionary_SetInt32ByKey(aggregate, "concurrentTasks", -1);
    Dictionary* step = nullptr;
    Dictionary_AddDictionary(definitions, "t", &step, nullptr);
    Dictionary_SetStringByKey(step, "type", "Ok");
    Workflow_LoadDictionary(workflow, definitions, 1);
    Dictionary_Release(&definitions);
    engine_fuzz::RunAndEnd(workflow, "g", 80);
    return 0;
}
