// What the data-document and registry task types share: their registration, and arguments read
// from the task definition as it stands (lists of key paths, views, locations) and item texts.
#include "tasks/data_tasks.h"

#include <cstdarg>

#include "core/platform/path.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

namespace {

int64_t DumpLine(void* user, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Task_VPrint(static_cast<Task*>(user), 0, format, args);
    va_end(args);
    return result;
}

void Visit(Task* task, Dictionary* dict, DictionaryItem* item, int32_t capacity, bool fixSlash, void* user,
           DataTaskEntryCallback each) {
    char* text = static_cast<char*>(Memory_Alloc(capacity));
    DataTask_ItemText(dict, item, text, capacity);
    Task_ExpandString(task, text, capacity);
    if (fixSlash) Path_FixSlash(text, capacity, 0);
    each(user, text);
    Memory_Free(text, capacity);
}

} // namespace

int64_t DataTasks_Register() {
    return DocumentTasks_Register() && RegistryTasks_Register() ? 1 : 0;
}

int32_t DataTask_EachEntry(Task* task, const char* key, int32_t capacity, bool fixSlash, void* user,
                           DataTaskEntryCallback each) {
    ASSERT_POINTER(key);
    ASSERT_POINTER(each);
    Dictionary* definition = Task_GetDictionaryHandle(task);
    DictionaryItem* item = nullptr;
    if (!definition || !Dictionary_ItemFindByKey(definition, key, nullptr, &item) || !item || capacity < 1) return 0;
    if (!Dictionary_ItemCompareType(definition, item, DICTIONARY_TYPE_LIST)) {
        Visit(task, definition, item, capacity, fixSlash, user, each);
        return 1;
    }
    Dictionary* list = nullptr;
    Dictionary_ItemGetDictionaryHandle(definition, item, &list);
    int32_t count = 0;
    DictionaryItem* entry = nullptr;
    for (Dictionary_ItemGetFirst(list, &entry); list && entry; Dictionary_ItemGetNext(list, entry, &entry)) {
        Visit(task, list, entry, capacity, fixSlash, user, each);
        count++;
    }
    return count;
}

int64_t DataTask_IsList(Task* task, const char* key) {
    uint32_t type = 0;
    return Task_GetArgumentType(task, key, &type) && type == DICTIONARY_TYPE_LIST ? 1 : 0;
}

int64_t DataTask_ItemText(Dictionary* dict, DictionaryItem* item, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    buffer[0] = 0;
    uint32_t flag = 0;
    if (Dictionary_ItemCompareType(dict, item, DICTIONARY_TYPE_BOOLEAN)) {
        Dictionary_ItemGetBoolean(dict, item, &flag);
        String_CopyLengthSafe(buffer, capacity, flag ? "true" : "false", 5);
        return 1;
    }
    const char* text = nullptr;
    int32_t length = 0;
    Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
    if (text) String_CopyLengthSafe(buffer, capacity, text, length);
    return 1;
}

int64_t DataTask_Dump(Task* task, Dictionary* dict) {
    void* user = nullptr;
    ClassPrintCallback callback = nullptr;
    Dictionary_GetPrintCallback(dict, &user, &callback);
    Dictionary_SetPrintCallback(dict, task, DumpLine);
    Dictionary_Dump(dict);
    Dictionary_SetPrintCallback(dict, user, callback);
    return 1;
}

int64_t DataTask_HasErrors(Task* task) {
    uint32_t count = 0;
    Task_GetErrorCount(task, &count);
    return count > 0 ? 1 : 0;
}
