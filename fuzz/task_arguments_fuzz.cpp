// Feeds arbitrary workflow documents to the Task: every definition is loaded with its templates,
// read through each typed reader and the key provider, run through the signature rule and the
// error rules, and started and completed with its outcome chain.
#include <cstdint>
#include <cstring>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/runtime/class.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "workflow/task.h"

namespace {

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

int64_t Pair(void*, const char*, Dictionary*, DictionaryItem*) {
    return 1;
}

void Exercise(Task* task) {
    static const char* const keys[] = {"url", "status", "title", "doc", "args", "ignoreError", "n", "store"};
    char text[2048];
    for (const char* key : keys) {
        uint32_t flag = 0;
        double number = 0;
        uint32_t type = 0;
        Task_GetStringArgument(task, key, text, sizeof(text));
        Task_GetMultiStringArgument(task, key, text, sizeof(text));
        Task_GetBooleanArgument(task, key, &flag);
        Task_GetNumberArgument(task, key, &number);
        Task_GetArgumentType(task, key, &type);
        Dictionary* target = nullptr;
        Dictionary_Create(&target);
        Task_GetDictionaryArgument(task, key, target);
        Dictionary_Release(&target);
        // Argument texts as keys and as error texts.
        const char* stored = nullptr;
        if (Task_GetArgumentPtr(task, key, &stored) && stored) {
            char value[STRING_EXPAND_VALUE_SIZE];
            Task_ExpandKey(task, stored, nullptr, value, sizeof(value));
            Task_AddError(task, "%s", stored);
            Task_AddWarning(task, "%s", stored);
        }
    }
    Task_EnumerateKeyValuePairs(task, nullptr, Pair);
    Task_DefaultAuthenticateCallback(task, nullptr);
    Task_AddErrorFromMap(task, 5, "Task_Error_InvalidArg");
    Task_Start(task);
    Task_Complete(task, nullptr);
    for (int i = 0; i < 8; i++) NotificationCenter_Process();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Class_Init();
    Thread_Init();
    EventQueue_Init();
    Interop_Init();
    NotificationCenter_Init();
    Authenticate_Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    Dictionary* document = nullptr;
    JSON* json = nullptr;
    Dictionary_Create(&document);
    Dictionary_SetPrintCallback(document, nullptr, Quiet);
    JSON_Create(&json);
    JSON_SetPrintCallback(json, nullptr, Quiet);
    JSON_SetDictionaryHandle(json, document);
    if (JSON_LoadBuffer(json, data, (uint32_t)size) == 1) {
        Dictionary* root = nullptr;
        Dictionary_SkipRoot(document, &root);
        DictionaryItem* item = nullptr;
        int count = 0;
        for (Dictionary_ItemGetFirst(root, &item); item && count < 8; Dictionary_ItemGetNext(root, item, &item), count++) {
            const char* name = nullptr;
            if (!Dictionary_ItemGetKeyPtr(root, item, &name) || !name) continue;
            Task* task = nullptr;
            Task_Create(&task);
            Task_SetPrintCallback(task, nullptr, Quiet);
            if (Task_LoadFromDictionary(task, root, name)) Exercise(task);
            Task_Release(&task);
        }
    }
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    Dictionary_Release(&document);
    for (int i = 0; i < 4; i++) NotificationCenter_Process();
    return 0;
}
