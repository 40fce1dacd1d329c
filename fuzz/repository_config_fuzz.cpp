// A repository given an arbitrary configuration document: its name and manifest path, its remote
// storages (single, listed or nested under "mux"), its request slots, a piece mask in Base64 over
// a piece count the input chooses, and the status dump of whatever state that leaves.
#include <cstdint>
#include <cstring>

#include "core/formats/json.h"
#include "core/runtime/bit_field.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/meter.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "repository/repository_internal.h"

namespace {

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

bool Setup() {
    Debug_Init(nullptr, nullptr, 0);
    Thread_Init();
    EventQueue_Init();
    Meter_Init();
    NotificationCenter_Init();
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = Setup();
    (void)ready;
    if (size < 2) return 0;
    const int32_t pieces = (int32_t)(data[0] | (data[1] << 8)) % 4096;
    data += 2;
    size -= 2;
    Dictionary* root = nullptr;
    Dictionary_Create(&root);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, root);
    const bool parsed = JSON_LoadBuffer(json, data, (uint32_t)size) == 1;
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    Dictionary* config = nullptr;
    DictionaryItem* item = nullptr;
    if (parsed && Dictionary_ItemGetFirst(root, &item) && item)
        Dictionary_ItemGetDictionaryHandle(root, item, &config);
    if (config) {
        Repository* repository = nullptr;
        Repository_Create(&repository);
        Repository_SetPrintCallback(repository, nullptr, Quiet);
        Repository_SetConfigDictionaryHandle(repository, config);
        Dictionary* copy = nullptr;
        Repository_GetConfigDictionaryHandle(repository, &copy);
        uint32_t deltaSeen = 0, type = 0;
        Dictionary* remote = nullptr;
        if (Dictionary_GetTypeByKey(copy, "remote", &type) && type == DICTIONARY_TYPE_DICTIONARY &&
            Dictionary_GetDictionaryByKey(copy, "remote", &remote) && remote)
            Repository_ConfigRemote(repository, remote, &deltaSeen);
        int32_t requests = 0;
        if (Dictionary_GetInt32ByKey(copy, "requests", &requests))
            Repository_RequestListResize(repository, requests < 0 ? 0 : requests % 64);
        const char* mask = nullptr;
        if (Dictionary_GetStringPtrByKey(copy, "mask", &mask) && mask) {
            BitField* field = nullptr;
            BitField_Create(&field);
            if (Repository_MaskBuild(field, pieces, mask)) {
                int32_t bits = -1;
                BitField_GetTotalBits(field, &bits);
                if (bits != pieces) __builtin_trap();
            }
            BitField_Release(&field);
        }
        Repository_Process(repository);
        Dictionary* dump = nullptr;
        Dictionary_Create(&dump);
        Repository_Dump(repository, dump);
        Dictionary_Release(&dump);
        Repository_Shutdown(repository);
        Repository_Release(&repository);
        EventQueue_Flush(nullptr);
    }
    Dictionary_Release(&root);
    return 0;
}
