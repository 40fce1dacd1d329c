// Queues arbitrary text as a script's analytics event and as a list of events, then builds the
// dump and a batch from what was queued: refused input must leave the queue as it was.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/formats/json.h"
#include "core/web/analytics.h"
#include "core/web/web_get.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Debug_Init(nullptr, nullptr, 0);
    Thread_Init();
    EventQueue_Init();
    NotificationCenter_Init();
    WebGet_Init();
    Analytics_Init();
    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetStringByPath(config, "analytics.key", "k");
    // Nothing listens there and nothing drives the connection: posts stay queued.
    Dictionary_SetStringByPath(config, "analytics.endPoint", "http://127.0.0.1:9/track/");
    Analytics_LoadConfigFromDictionary(config);
    Dictionary_Release(&config);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Analytics_Clear();
    const int64_t queued = Analytics_SendEventInterop("Fuzz", text.c_str());
    Check(Analytics_IsActive() == queued);
    Dictionary* root = nullptr;
    Dictionary_Create(&root);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, root);
    if (JSON_LoadBuffer(json, data, (uint32_t)size)) {
        Dictionary* list = nullptr;
        Dictionary_SkipRootContainer(root, &list);
        Analytics_SendEventMultiple(list);
    }
    JSON_Release(&json);
    Dictionary_Release(&root);
    Dictionary* dump = nullptr;
    Dictionary_Create(&dump);
    Analytics_Dump(dump);
    Dictionary_Release(&dump);
    Analytics_PostEvents(1);
    return 0;
}
