// Task status: publishing status values, and the task's error and warning lists with their
// ignore rule, error maps and identifiers made from lower-layer codes.
#include <cstring>

#include "core/formats/json.h"
#include "core/formats/xml.h"
#include "core/linux/platform_error.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/web/web_get.h"
#include "workflow/task_internal.h"

namespace {

int64_t OnOwnStatus(void* user, const char*, const char*, const char*, Dictionary* info) {
    Task* task = static_cast<Task*>(user);
    if (info) Dictionary_Merge(task->Status, info, DICTIONARY_MERGE_OVERWRITE);
    return 1;
}

// Copies the list `key` of the status into `target` as a new list and appends `text` when the
// list does not hold it yet.
void ExtendedList(Task* task, const char* key, const char* text, Dictionary* target) {
    Dictionary* list = nullptr;
    Dictionary_AddList(target, key, &list, nullptr);
    Dictionary* current = nullptr;
    if (Dictionary_GetListByKey(task->Status, key, &current)) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(current, &item); item; Dictionary_ItemGetNext(current, item, &item)) {
            const char* value = nullptr;
            if (Dictionary_ItemGetStringPtr(current, item, &value) && value) Dictionary_AddString(list, nullptr, value, nullptr);
        }
    }
    if (text && !Dictionary_ContainsString(list, text)) Dictionary_AddString(list, nullptr, text, nullptr);
}

// Outside the status window the lists are written straight into the status.
void KeepList(Task* task, Dictionary* dict, const char* key) {
    if (task->ObservingStatus) return;
    Dictionary* list = nullptr;
    if (!Dictionary_GetListByKey(dict, key, &list)) return;
    Dictionary* kept = nullptr;
    Dictionary_EnsureList(task->Status, key, nullptr, &kept);
    if (kept) {
        Dictionary_Reset(kept);
        Dictionary_Merge(kept, list, 0);
    }
}

int64_t Publish(Task* task, Dictionary* dict, const char* listKey) {
    const int64_t result = NotificationCenter_Fire("Task", "Status", task->Header.InstanceId, dict);
    KeepList(task, dict, listKey);
    return result;
}

bool Ignored(Task* task, const char* text) {
    // A cancel is not an error the definition may wave through: ignored, the task would run its
    // "success" chain, and a looping workflow could never be stopped.
    if (strcmp(text, "Task_Error_Cancelled") == 0) return false;
    uint32_t type = 0;
    if (Task_GetArgumentType(task, "ignoreError", &type) && type == DICTIONARY_TYPE_LIST) {
        Dictionary* list = nullptr;
        return Dictionary_GetListByKey(task->Arguments, "ignoreError", &list) && Dictionary_ContainsString(list, text);
    }
    uint32_t value = 0;
    return Task_GetBooleanArgument(task, "ignoreError", &value) && value;
}

int64_t AddErrorText(Task* task, char* text) {
    Task_ExpandInPlace(task, text, TASK_MESSAGE_SIZE);
    const bool ignored = Ignored(task, text);
    char detail[TASK_DETAIL_SIZE];
    String_CopyLength(detail, task->LastLine, (int32_t)sizeof(detail));
    Task_Print(task, "Error - %s%s", text, ignored ? " (Ignored)" : "");
    if (ignored) return 1;
    Dictionary* dict = nullptr;
    if (!Dictionary_Create(&dict)) return 0;
    ExtendedList(task, "errors", text, dict);
    Publish(task, dict, "errors");
    Dictionary_SetStringByKey(dict, "message", text);
    if (detail[0] && strncmp(detail, "Error - ", 8) != 0) Dictionary_SetStringByKey(dict, "detail", detail);
    NotificationCenter_Fire("Task", "Error", task->Header.InstanceId, dict);
    Dictionary_Release(&dict);
    return 1;
}

int64_t AddWarningText(Task* task, char* text) {
    Task_ExpandInPlace(task, text, TASK_MESSAGE_SIZE);
    Task_Print(task, "Warning - %s", text);
    Dictionary* dict = nullptr;
    if (!Dictionary_Create(&dict)) return 0;
    ExtendedList(task, "warnings", text, dict);
    Publish(task, dict, "warnings");
    Dictionary_Release(&dict);
    if (!Dictionary_Create(&dict)) return 0;
    Dictionary_SetStringByKey(dict, "message", text);
    NotificationCenter_Fire("Task", "Warning", task->Header.InstanceId, dict);
    Dictionary_Release(&dict);
    return 1;
}

int64_t AddNamedError(Task* task, const char* prefix, const char* name, int32_t number) {
    if (!name || strcmp(name, "Unknown") == 0 || strcmp(name, "None") == 0)
        return Task_AddError(task, "%s_%d", prefix, number);
    return Task_AddError(task, "%s_%s", prefix, name);
}

int64_t ListCount(Task* task, const char* key, uint32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    CLASS_CHECK(task, TASK_CLASS_ID);
    Dictionary* list = nullptr;
    if (!Dictionary_GetListByKey(task->Status, key, &list)) return 1;
    return Dictionary_ItemGetCount(list, count);
}

int64_t ListHas(Task* task, const char* key, const char* text) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    Dictionary* list = nullptr;
    if (!Dictionary_GetListByKey(task->Status, key, &list)) return 0;
    if (!text) {
        uint32_t count = 0;
        Dictionary_ItemGetCount(list, &count);
        return count > 0;
    }
    return Dictionary_ContainsString(list, text);
}

int64_t ListGet(Task* task, const char* key, int32_t index, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    CLASS_CHECK(task, TASK_CLASS_ID);
    Dictionary* list = nullptr;
    if (index < 0 || !Dictionary_GetListByKey(task->Status, key, &list)) return 0;
    char path[24];
    String_Print(path, sizeof(path), "[%d]", index);
    return Dictionary_GetStringByPath(list, path, buffer, capacity);
}

int64_t ListClear(Task* task, const char* key, const char* notification) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    Dictionary* dict = nullptr;
    if (!Dictionary_Create(&dict)) return 0;
    Dictionary_AddList(dict, key, nullptr, nullptr);
    Publish(task, dict, key);
    NotificationCenter_Fire("Task", notification, task->Header.InstanceId, dict);
    Dictionary_Release(&dict);
    return 1;
}

int64_t AddFromList(Task* task, Dictionary* dict, const char* key, bool errors) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(dict);
    Dictionary* list = nullptr;
    if (!Dictionary_GetListByKey(dict, key, &list)) return 1;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
        const char* text = nullptr;
        if (!Dictionary_ItemGetStringPtr(list, item, &text) || !text) continue;
        // Passed as an argument, never as the format: the texts come from documents and peers.
        if (errors)
            Task_AddError(task, "%s", text);
        else
            Task_AddWarning(task, "%s", text);
    }
    return 1;
}

int64_t CopyList(Task* task, Dictionary* source, Dictionary* target, const char* key) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(target);
    if (!source) source = task->Status;
    Dictionary* from = nullptr;
    if (!Dictionary_GetListByKey(source, key, &from)) return 1;
    Dictionary* to = nullptr;
    if (!Dictionary_EnsureList(target, key, nullptr, &to) || !to) return 0;
    uint32_t count = 0;
    Dictionary_ItemGetCount(from, &count);
    if (count == 0 || from == to) return 1;
    Dictionary_Reset(to);
    return Dictionary_Merge(to, from, 0);
}

} // namespace

void Task_ObserveStatus(Task* task, bool on) {
    if (on == (task->ObservingStatus != 0)) return;
    task->ObservingStatus = on;
    if (on)
        NotificationCenter_AddInstanceObserver("Task", "Status", task->Header.InstanceId, task, OnOwnStatus);
    else
        NotificationCenter_RemoveInstanceObserver("Task", "Status", task->Header.InstanceId, task, OnOwnStatus);
}

// ---- Status ------------------------------------------------------------------------------------

int64_t Task_SetStatusWithDictionary(Task* task, Dictionary* dict) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    return NotificationCenter_Fire("Task", "Status", task->Header.InstanceId, dict);
}

int64_t Task_SetStatusString(Task* task, const char* key, const char* text) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(key);
    ASSERT_POINTER(text);
    Dictionary* dict = nullptr;
    if (!Dictionary_Create(&dict)) return 0;
    Dictionary_SetStringByKey(dict, key, text);
    const int64_t result = Task_SetStatusWithDictionary(task, dict);
    Dictionary_Release(&dict);
    return result;
}

int64_t Task_SetStatus(Task* task, const char* text) {
    return Task_SetStatusString(task, "status", text);
}

int64_t Task_SetStatusNumber(Task* task, const char* key, double number) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(key);
    Dictionary* dict = nullptr;
    if (!Dictionary_Create(&dict)) return 0;
    Dictionary_SetFloat64ByKey(dict, key, number);
    const int64_t result = Task_SetStatusWithDictionary(task, dict);
    Dictionary_Release(&dict);
    return result;
}

int64_t Task_SetProgress(Task* task, double number) {
    return Task_SetStatusNumber(task, "progress", number);
}

// ---- Errors ------------------------------------------------------------------------------------

int64_t Task_AddError(Task* task, const char* format, ...) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(format);
    char text[TASK_MESSAGE_SIZE];
    va_list args;
    va_start(args, format);
    String_VPrint(text, sizeof(text), format, args);
    va_end(args);
    return AddErrorText(task, text);
}

int64_t Task_AddErrorFromMap(Task* task, int32_t code, const char* defaultIdentifier) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    Dictionary* map = nullptr;
    if (Dictionary_GetDictionaryByKey(task->Arguments, "errorMap", &map)) {
        char key[24];
        String_Print(key, sizeof(key), "%d", code);
        const char* text = nullptr;
        if (!Dictionary_GetStringPtrByKey(map, key, &text) || !text) return 1;
        return Task_AddError(task, "%s", text);
    }
    if (defaultIdentifier) return Task_AddError(task, "%s", defaultIdentifier);
    return 1;
}

int64_t Task_AddErrorFromCode(Task* task, int32_t code, int32_t extendedCode) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    switch (code) {
    case 992: return AddNamedError(task, "Xml_Error", XML_TranslateError((uint32_t)extendedCode), extendedCode);
    case 987: return AddNamedError(task, "Json_Error", JSON_TranslateError((uint32_t)extendedCode), extendedCode);
    case 964: return AddNamedError(task, "Platform_Error", Platform_TranslateError(extendedCode), extendedCode);
    default: return AddNamedError(task, "WebGet_Error", WebGet_TranslateError(code), code);
    }
}

int64_t Task_AddErrorFromTranslate(Task* task, const char* prefix, uint32_t code, TaskTranslateFunc translate) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(prefix);
    ASSERT_POINTER(translate);
    return AddNamedError(task, prefix, translate(code), (int32_t)code);
}

int64_t Task_AddErrorFromDictionary(Task* task, Dictionary* dict) {
    return AddFromList(task, dict, "errors", true);
}

int64_t Task_HasError(Task* task, const char* identifier) {
    return ListHas(task, "errors", identifier);
}

int64_t Task_IsCancelled(Task* task) {
    return Task_HasError(task, "Task_Error_Cancelled");
}

int64_t Task_GetErrorCount(Task* task, uint32_t* count) {
    return ListCount(task, "errors", count);
}

int64_t Task_GetError(Task* task, int32_t index, char* buffer, int32_t capacity) {
    return ListGet(task, "errors", index, buffer, capacity);
}

int64_t Task_ClearErrors(Task* task) {
    return ListClear(task, "errors", "Error");
}

int64_t Task_CopyErrors(Task* task, Dictionary* source, Dictionary* target) {
    return CopyList(task, source, target, "errors");
}

// ---- Warnings ----------------------------------------------------------------------------------

int64_t Task_AddWarning(Task* task, const char* format, ...) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(format);
    char text[TASK_MESSAGE_SIZE];
    va_list args;
    va_start(args, format);
    String_VPrint(text, sizeof(text), format, args);
    va_end(args);
    return AddWarningText(task, text);
}

int64_t Task_AddWarningFromDictionary(Task* task, Dictionary* dict) {
    return AddFromList(task, dict, "warnings", false);
}

int64_t Task_HasWarning(Task* task, const char* text) {
    return ListHas(task, "warnings", text);
}

int64_t Task_GetWarningCount(Task* task, uint32_t* count) {
    return ListCount(task, "warnings", count);
}

int64_t Task_GetWarning(Task* task, int32_t index, char* buffer, int32_t capacity) {
    return ListGet(task, "warnings", index, buffer, capacity);
}

int64_t Task_ClearWarnings(Task* task) {
    return ListClear(task, "warnings", "Warning");
}

int64_t Task_CopyWarnings(Task* task, Dictionary* source, Dictionary* target) {
    return CopyList(task, source, target, "warnings");
}
