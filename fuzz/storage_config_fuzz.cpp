// Storage configuration dictionaries and path templates: a JSON object configures a storage
// bound to the in-memory test backend, then a template is expanded for a fixed manifest.
// Input: the JSON text, a NUL, the template, optionally a NUL and the source id.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"
#include "repository/meta_file.h"
#include "repository/storage.h"
#include "tests/repository/test_storage_backend.h"

namespace {

MetaFile* g_manifest = nullptr;
StorageInterface g_rows[4];

void LoadManifest() {
    const std::string text = R"({"id":"m1","files":[{"name":"a","size":10,"pad":6}],)"
                             R"("pieces":{"size":16,"digests":["qZk+NkcGgWq6PiVxeFDCbJzQ2J0="]}})";
    MetaFile_Create(&g_manifest);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetValueCallback(json, g_manifest, MetaFile_ValueCallback);
    JSON_LoadBuffer(json, text.data(), (uint32_t)text.size());
    JSON_Release(&json);
    uint32_t code = 0, codeEx = 0;
    MetaFile_WorkerBuild(nullptr, g_manifest, &code, &codeEx);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Debug_Init(nullptr, nullptr, 0);
    Thread_Init();
    EventQueue_Init();
    const char* types[] = {"file", "filePiece", "http", "httpPiece"};
    for (int i = 0; i < 4; ++i) {
        g_rows[i] = *TestStorageInterface();
        Storage_RegisterInterface(types[i], &g_rows[i]);
    }
    LoadManifest();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    const char* text = reinterpret_cast<const char*>(data);
    const void* nul = memchr(data, 0, size);
    const size_t jsonLength = nul ? (size_t)(static_cast<const uint8_t*>(nul) - data) : size;
    std::string rest = nul ? std::string(text + jsonLength + 1, size - jsonLength - 1) : std::string();
    std::string format = rest.substr(0, rest.find('\0'));
    const size_t second = rest.find('\0');
    const std::string source = second == std::string::npos ? "" : rest.substr(second + 1);

    Dictionary* root = nullptr;
    Dictionary_Create(&root);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, root);
    JSON_LoadBuffer(json, text, (uint32_t)jsonLength);
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    DictionaryItem* item = nullptr;
    Dictionary* config = nullptr;
    Dictionary_ItemGetFirst(root, &item);
    if (item) Dictionary_ItemGetDictionaryHandle(root, item, &config);

    Storage* storage = nullptr;
    Storage_Create(&storage);
    uint32_t out = 0, flags = 0;
    if (config) {
        Storage_Configure(storage, nullptr, config, &out);
        Storage_GetFlags(storage, &flags);
        if (flags & ~15u) __builtin_trap();
    }
    Dictionary* dump = nullptr;
    Dictionary_Create(&dump);
    Storage_Dump(storage, dump);
    Dictionary_Release(&dump);

    char output[512];
    const int32_t index = size ? (int32_t)data[size - 1] - 1 : 0;
    if (Storage_Format(storage, format.c_str(), g_manifest, index, second == std::string::npos ? nullptr : source.c_str(),
                       output, (int32_t)sizeof(output)) &&
        strlen(output) >= sizeof(output))
        __builtin_trap();
    Storage_Reset(storage);
    Storage_Release(&storage);
    Dictionary_Release(&root);
    EventQueue_Flush(nullptr);
    return 0;
}
