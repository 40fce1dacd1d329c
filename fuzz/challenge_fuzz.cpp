// Feeds the credential broker requests and answers read from JSON, as a script or the other
// process may send them: each top-level list item is a request (object) or, wrapped as
// {"answer": {...}}, a prompt's answer. Whatever the fields hold, nothing may stop the process.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/challenge.h"

namespace {

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Debug_Init(nullptr, nullptr, 0);
    Thread_Init();
    EventQueue_Init();
    NotificationCenter_Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    JSON* json = nullptr;
    Dictionary* root = nullptr;
    JSON_Create(&json);
    Dictionary_Create(&root);
    Dictionary_SetPrintCallback(root, nullptr, Quiet);
    JSON_SetPrintCallback(json, nullptr, Quiet);
    JSON_SetDictionaryHandle(json, root);
    if (JSON_LoadBuffer(json, data, (uint32_t)size)) {
        Challenge_Init(0);
        Dictionary* item = nullptr;
        for (int32_t i = 0; Dictionary_GetDictionaryByIndex(root, i, &item) && item; i++) {
            Dictionary* answer = nullptr;
            if (Dictionary_GetDictionaryByKey(item, "answer", &answer) && answer) {
                Challenge_Notification_PromptResponse(nullptr, "Challenge", "PromptResponse", "ui", answer);
            } else {
                char id[8];
                id[0] = (char)('a' + i % 26);
                id[1] = 0;
                Challenge_Notification_Request(nullptr, "Challenge", "Request", id, item);
                Dictionary* out = nullptr;
                Dictionary_Create(&out);
                Challenge_ResponseFind(item, out);
                Challenge_ResponseLast("webgetserver", out);
                if (i % 3 == 2) Challenge_ResponseInvalidate(item);
                Dictionary_Release(&out);
            }
            EventQueue_Flush(nullptr);
            NotificationCenter_Process();
        }
        Challenge_Remove();
    }
    Dictionary_Release(&root);
    JSON_Release(&json);
    return 0;
}
