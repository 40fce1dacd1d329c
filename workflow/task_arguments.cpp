// Task arguments: loading a definition with its templates, the typed readers (each expanding the
// stored text first), the task's key provider, documents given as text and the trusted stores.
#include <cstdlib>
#include <cstring>

#include "core/certs/authenticate.h"
#include "core/certs/cert_store.h"
#include "core/certs/jws.h"
#include "core/formats/json.h"
#include "core/formats/url.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/web/web_get.h"
#include "workflow/task_internal.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"

namespace {

constexpr int32_t kTemplateSize = 512;
constexpr int32_t kWordSize = 512;
constexpr int32_t kKeySize = STRING_EXPAND_TOKEN_SIZE + 1;
constexpr int32_t kScalarSize = 320;   // boolean and number texts: 319 characters
constexpr int32_t kDocumentSize = 16320; // document texts: 16319 characters
constexpr int32_t kItemSize = 1024;
constexpr int32_t kUrlSize = 4096;
// A task tree deeper than this is taken to be a loop made by a broken workflow.
constexpr int32_t kMaxAncestors = 1024;

bool EqualsNoCase(const char* a, const char* b) {
    return String_CompareWithoutCaseReturn(a, b) == 0;
}

bool BeginsNoCase(const char* text, const char* prefix) {
    const size_t n = strlen(prefix);
    return strlen(text) >= n && String_CompareLengthWithoutCase(text, prefix, (int32_t)n) == 1;
}

// The value text of an argument; false when the key is missing or its item has no text.
bool ArgumentText(Task* task, const char* key, const char** text, int32_t* length) {
    *text = nullptr;
    *length = 0;
    DictionaryItem* item = nullptr;
    if (!Dictionary_ItemFindByKey(task->Arguments, key, nullptr, &item) || !item) return false;
    return Dictionary_ItemGetBufferPtr(task->Arguments, item, text, length) && *text;
}

// Copies a value into the provider's buffer; false when it does not fit.
bool WriteValue(const char* text, int32_t length, char* value, int32_t capacity) {
    if (length < 0 || length >= capacity) return false;
    memcpy(value, text, (size_t)length);
    value[length] = 0;
    return true;
}

bool LookUpText(Dictionary* dict, const char* path, char* value, int32_t capacity) {
    DictionaryItem* item = nullptr;
    Dictionary* holder = nullptr;
    if (!Dictionary_ItemFindByPath(dict, path, &holder, &item) || !item || !holder) return false;
    const char* text = nullptr;
    int32_t length = 0;
    if (!Dictionary_ItemGetBufferPtr(holder, item, &text, &length) || !text) return false;
    return WriteValue(text, length, value, capacity);
}

// The object part of a key: which object its leading words select and where the rest begins.
struct PathWalk {
    uint32_t kind = TASK_PATH_NONE;
    void* object = nullptr;
    const char* rest = nullptr; // null when the key holds only selecting words
};

void Evaluate(Task* task, const char* key, PathWalk* walk) {
    const char* p = key;
    while (*p == '{') p++;
    while (*p) {
        const char* end = p;
        while (*end && *end != '.' && *end != '}') end++;
        char word[kWordSize];
        String_CopyLengthSafe(word, kWordSize, p, (int32_t)(end - p));
        bool selecting = true;
        bool lost = false;
        if (EqualsNoCase(word, "this")) {
            if (walk->kind == TASK_PATH_NONE) {
                walk->kind = TASK_PATH_TASK;
                walk->object = task;
            }
        } else if (EqualsNoCase(word, "workflow")) {
            if (walk->kind == TASK_PATH_NONE) {
                walk->kind = TASK_PATH_WORKFLOW;
                walk->object = task->Workflow_;
                lost = walk->object == nullptr;
            }
        } else if (EqualsNoCase(word, "parent") || BeginsNoCase(word, "parent:")) {
            if (walk->kind == TASK_PATH_TASK) {
                Task* selected = static_cast<Task*>(walk->object);
                Task* parent = nullptr;
                if (selected->Workflow_) {
                    if (word[6] == ':')
                        Workflow_GetParentTaskHandleByName(selected->Workflow_, selected, word + 7, &parent);
                    else
                        Workflow_GetParentTaskHandle(selected->Workflow_, selected, &parent);
                }
                walk->object = parent;
                lost = parent == nullptr;
            }
        } else if (EqualsNoCase(word, "args") && walk->kind != TASK_PATH_NONE) {
            if (walk->kind == TASK_PATH_TASK) {
                walk->kind = TASK_PATH_DICTIONARY;
                walk->object = static_cast<Task*>(walk->object)->Arguments;
            }
        } else if (EqualsNoCase(word, "status") && walk->kind != TASK_PATH_NONE) {
            if (walk->kind == TASK_PATH_TASK) {
                walk->kind = TASK_PATH_DICTIONARY;
                walk->object = static_cast<Task*>(walk->object)->Status;
            } else if (walk->kind == TASK_PATH_WORKFLOW) {
                walk->kind = TASK_PATH_DICTIONARY;
                Dictionary* status = nullptr;
                Workflow_GetStatusDictionaryHandle(static_cast<Workflow*>(walk->object), &status);
                walk->object = status;
                lost = walk->object == nullptr;
            }
        } else {
            selecting = false;
        }
        if (!selecting) {
            walk->rest = p;
            return;
        }
        if (lost) {
            Task_Print(task, "Path could not be evaluated to an object (%s)\n", key);
            walk->kind = TASK_PATH_NONE;
            walk->object = nullptr;
            walk->rest = nullptr;
            return;
        }
        p = *end ? end + 1 : end;
    }
}

// The macro's answer (1, or STRING_EXPAND_TEMPLATE for a template); 0 when none has the name.
int64_t MacroChain(Task* task, const char* key, char* value, int32_t capacity) {
    Task* current = task;
    for (int32_t depth = 0; current && depth < kMaxAncestors; depth++) {
        const char* text = nullptr;
        int32_t length = 0;
        if (Dictionary_GetBufferPtrByKey(current->Macros, key, &text, &length) && text) {
            // The copy is limited by the capacity.
            String_CopyLengthSafe(value, capacity, text, length);
            return 1;
        }
        Task* parent = nullptr;
        if (!current->Workflow_ || !Workflow_GetParentTaskHandle(current->Workflow_, current, &parent)) break;
        current = parent;
    }
    const int64_t answer = task->Workflow_ ? Workflow_ExpandKey(task->Workflow_, key, nullptr, value, capacity)
                                           : WorkflowApp_ExpandKey(nullptr, key, nullptr, value, capacity);
    return answer == 1 || answer == STRING_EXPAND_TEMPLATE ? answer : 0;
}

void AddStore(Task* task, CertStoreList* list, const char* name) {
    CertStoreInterface* store = nullptr;
    CertStoreTable* table = Authenticate_GetCertStoreTableHandle();
    if (!(table && CertStoreTable_GetInterfaceHandle(table, name, &store) && store)) {
        table = nullptr;
        if (task->Workflow_) Workflow_GetCertStoreTableHandle(task->Workflow_, &table);
        if (!(table && CertStoreTable_GetInterfaceHandle(table, name, &store) && store)) {
            Task_Print(task, "Unable to find certificate store (%s)", name);
            CertStoreNull* null = nullptr;
            if (!CertStoreNull_Create(&null)) return;
            store = CertStoreNull_GetInterfaceHandle(null);
            CertStoreNull_Release(&null);
        }
    }
    if (!store) return;
    CertStoreList_Add(list, store);
    CertStoreInterface_Release(&store);
}

} // namespace

int64_t Task_ExpandInPlace(Task* task, char* buffer, int32_t capacity) {
    return String_Expand(buffer, capacity, task, Task_ExpandKey);
}

bool Task_ReadExpanded(Task* task, const char* key, char* buffer, int32_t capacity) {
    buffer[0] = 0;
    const char* text = nullptr;
    int32_t length = 0;
    if (!ArgumentText(task, key, &text, &length) || !WriteValue(text, length, buffer, capacity)) {
        buffer[0] = 0;
        return false;
    }
    return Task_ExpandInPlace(task, buffer, capacity) == 1;
}

// ---- Loading -----------------------------------------------------------------------------------

namespace {

// The item whose key is exactly `name`: a key lookup would take "[2]" as the item at position 2.
DictionaryItem* FindExactKey(Dictionary* document, const char* name) {
    uint32_t sensitive = 1;
    Dictionary_GetCaseSensitive(document, &sensitive);
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(document, &item); item; Dictionary_ItemGetNext(document, item, &item)) {
        const char* key = nullptr;
        if (!Dictionary_ItemGetKeyPtr(document, item, &key) || !key) continue;
        if (sensitive == 1 ? strcmp(key, name) == 0 : String_CompareWithoutCaseReturn(key, name) == 0) return item;
    }
    return nullptr;
}

} // namespace

DictionaryItem* Task_FindDefinition(Dictionary* document, const char* name) {
    DictionaryItem* item = nullptr;
    // A name is its definition's key as written first: "#x" may be a definition's own name (read
    // from "##x"). Only then does the private-key rule let "#setup" name the private task "setup".
    // A name in brackets is a name too, never the position a key lookup would take it for.
    const bool marked = (name[0] == '#' || name[0] == '.') && name[1];
    if (name[0] == '[') {
        item = FindExactKey(document, name);
    } else if (marked) {
        uint32_t keys = 0;
        Dictionary_GetPrivateKeys(document, &keys);
        Dictionary_SetPrivateKeys(document, 0);
        Dictionary_ItemFindByKey(document, name, nullptr, &item);
        Dictionary_SetPrivateKeys(document, keys);
    }
    if (item || name[0] == '[') return item;
    if (marked && name[1] == '[') {
        uint32_t keys = 0;
        Dictionary_GetPrivateKeys(document, &keys);
        return keys == 1 ? FindExactKey(document, name + 1) : nullptr;
    }
    Dictionary_ItemFindByKey(document, name, nullptr, &item);
    return item;
}

int64_t Task_LoadFromDictionary(Task* task, Dictionary* document, const char* name) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(document);
    ASSERT_POINTER(name);
    DictionaryItem* item = Task_FindDefinition(document, name);
    Dictionary* definition = nullptr;
    if (!item || !Dictionary_ItemCompareType(document, item, DICTIONARY_TYPE_DICTIONARY) ||
        !Dictionary_ItemGetDictionaryHandle(document, item, &definition) || !definition)
        return 0;
    const char* key = nullptr;
    Dictionary_ItemGetKeyPtr(document, item, &key);
    Task_SetName(task, key ? key : "");
    task->Print.Identifier = task->Name;
    uint32_t hidden = 0;
    Dictionary_ItemGetPrivate(document, item, &hidden);
    task->Private = hidden;

    uint32_t type = 0;
    Dictionary_GetTypeByKey(definition, "template", &type);
    auto apply = [&](const char* templateName) {
        char path[kTemplateSize];
        String_CopyLength(path, templateName, kTemplateSize);
        if (task->Workflow_) Workflow_ExpandString(task->Workflow_, path, kTemplateSize);
        // A template is a definition named as a task is ("#base" names the task read from "##base"),
        // else a path into the document.
        DictionaryItem* found = Task_FindDefinition(document, path);
        Dictionary* holder = found ? document : nullptr;
        Dictionary* source = nullptr;
        if (!found || !Dictionary_ItemCompareType(document, found, DICTIONARY_TYPE_DICTIONARY)) {
            found = nullptr;
            holder = nullptr;
            Dictionary_ItemFindByPath(document, path, &holder, &found);
        }
        if (found && holder &&
            Dictionary_ItemCompareType(holder, found, DICTIONARY_TYPE_DICTIONARY) &&
            Dictionary_ItemGetDictionaryHandle(holder, found, &source) && source && source != definition)
            Dictionary_Merge(task->Arguments, source, DICTIONARY_MERGE_OVERWRITE);
    };
    if (type == DICTIONARY_TYPE_STRING) {
        const char* text = nullptr;
        if (Dictionary_GetStringPtrByKey(definition, "template", &text) && text) apply(text);
    } else if (type == DICTIONARY_TYPE_LIST) {
        Dictionary* list = nullptr;
        Dictionary_GetListByKey(definition, "template", &list);
        DictionaryItem* entry = nullptr;
        for (Dictionary_ItemGetFirst(list, &entry); entry; Dictionary_ItemGetNext(list, entry, &entry)) {
            const char* text = nullptr;
            if (Dictionary_ItemGetStringPtr(list, entry, &text) && text) apply(text);
        }
    }
    Dictionary_Merge(task->Arguments, definition, DICTIONARY_MERGE_OVERWRITE);
    uint32_t verbose = 0;
    if (Task_GetBooleanArgument(task, "verbose", &verbose)) task->OwnVerbose = verbose;
    return 1;
}

// ---- Readers -----------------------------------------------------------------------------------

int64_t Task_HasArgument(Task* task, const char* key) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(key);
    return Dictionary_ContainsKey(task->Arguments, key);
}

int64_t Task_GetArgumentPtr(Task* task, const char* key, const char** text) {
    ASSERT_POINTER(text);
    *text = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(key);
    int32_t length = 0;
    return ArgumentText(task, key, text, &length);
}

int64_t Task_GetArgumentType(Task* task, const char* key, uint32_t* type) {
    ASSERT_POINTER(type);
    *type = 0;
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(key);
    return Dictionary_GetTypeByKey(task->Arguments, key, type);
}

int64_t Task_GetStringArgument(Task* task, const char* key, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    buffer[0] = 0;
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(key);
    const char* text = nullptr;
    int32_t length = 0;
    if (!ArgumentText(task, key, &text, &length) || !WriteValue(text, length, buffer, capacity)) return 0;
    return Task_ExpandInPlace(task, buffer, capacity);
}

int64_t Task_GetMultiStringArgument(Task* task, const char* key, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    buffer[0] = 0;
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(key);
    Dictionary* list = nullptr;
    uint32_t count = 0;
    uint32_t type = 0;
    if (!Dictionary_GetTypeByKey(task->Arguments, key, &type) || type != DICTIONARY_TYPE_LIST ||
        !Dictionary_GetListByKey(task->Arguments, key, &list) || !Dictionary_ItemGetCount(list, &count) || count == 0)
        return Task_GetStringArgument(task, key, buffer, capacity);
    int32_t used = 0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
        const char* text = nullptr;
        int32_t length = 0;
        if (!Dictionary_ItemGetBufferPtr(list, item, &text, &length) || !text) continue;
        char scratch[kItemSize];
        // A cut item or a cut list would hand a different command line to whoever runs it.
        if (!WriteValue(text, length, scratch, kItemSize) || !Task_ExpandInPlace(task, scratch, kItemSize)) {
            buffer[0] = 0;
            return 0;
        }
        const int32_t n = (int32_t)strlen(scratch);
        if (used + n + 3 >= capacity) {
            buffer[0] = 0;
            return 0;
        }
        buffer[used++] = '"';
        memcpy(buffer + used, scratch, (size_t)n);
        used += n;
        buffer[used++] = '"';
        buffer[used++] = ' ';
        buffer[used] = 0;
    }
    return 1;
}

int64_t Task_GetBooleanArgument(Task* task, const char* key, uint32_t* value) {
    ASSERT_POINTER(value);
    *value = 0;
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(key);
    if (!Dictionary_ContainsKey(task->Arguments, key)) return 0;
    char text[kScalarSize];
    const char* stored = nullptr;
    int32_t length = 0;
    text[0] = 0;
    if (ArgumentText(task, key, &stored, &length)) {
        String_CopyLengthSafe(text, kScalarSize, stored, length);
        Task_ExpandInPlace(task, text, kScalarSize);
    }
    int64_t decoded = 0;
    String_DecodeBoolean(text, &decoded, 0);
    *value = decoded != 0;
    return 1;
}

int64_t Task_GetNumberArgument(Task* task, const char* key, double* value) {
    ASSERT_POINTER(value);
    *value = 0.0;
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(key);
    // A number item is read as the Dictionary's getters read it, so every reader of the item
    // agrees. A text, expanded, must be wholly one number in the same spellings (the ones the
    // program writes, "2.5e-06" and "1e+21" among them), so that a word that merely begins like
    // a number is no number.
    uint32_t type = 0;
    if (Dictionary_GetTypeByKey(task->Arguments, key, &type) &&
        (type == DICTIONARY_TYPE_INT64 || type == DICTIONARY_TYPE_FLOAT64)) {
        const char* stored = nullptr;
        int32_t length = 0;
        if (!ArgumentText(task, key, &stored, &length)) return 0;
        return String_ParseNumberText(stored, value, nullptr);
    }
    char text[kScalarSize];
    if (!Task_ReadExpanded(task, key, text, kScalarSize)) return 0;
    return String_ParseNumberText(text, value, nullptr);
}

int64_t Task_GetDictionaryArgument(Task* task, const char* key, Dictionary* target) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(key);
    ASSERT_POINTER(target);
    uint32_t type = 0;
    if (!Dictionary_GetTypeByKey(task->Arguments, key, &type)) return 0;
    Dictionary* child = nullptr;
    if (type == DICTIONARY_TYPE_DICTIONARY) {
        Dictionary_GetDictionaryByKey(task->Arguments, key, &child);
        return child && Dictionary_Merge(target, child, DICTIONARY_MERGE_OVERWRITE);
    }
    if (type == DICTIONARY_TYPE_LIST) {
        Dictionary_GetListByKey(task->Arguments, key, &child);
        Dictionary* list = nullptr;
        if (!child || !Dictionary_AddList(target, nullptr, &list, nullptr) || !list) return 0;
        return Dictionary_Merge(list, child, 0);
    }
    const char* stored = nullptr;
    int32_t length = 0;
    if (!ArgumentText(task, key, &stored, &length) || length >= kDocumentSize) return 0;
    char* text = static_cast<char*>(Memory_Alloc(kDocumentSize));
    if (!text) return 0;
    memcpy(text, stored, (size_t)length);
    text[length] = 0;
    // Texts longer than the expander's work buffer are decoded as stored.
    if (length < STRING_EXPAND_WORK_SIZE && !Task_ExpandInPlace(task, text, kDocumentSize)) {
        Memory_Free(text, kDocumentSize);
        return 0;
    }
    Dictionary* document = nullptr;
    int64_t result = 0;
    if (Dictionary_Create(&document)) {
        if (Task_DecodeJSON(task, text, (int32_t)strlen(text), document)) {
            Dictionary* root = nullptr;
            Dictionary_SkipRoot(document, &root);
            result = root && Dictionary_Merge(target, root, DICTIONARY_MERGE_OVERWRITE);
        }
        Dictionary_Release(&document);
    }
    Memory_Free(text, kDocumentSize);
    return result;
}

int64_t Task_HasKeyValuePairs(Task* task) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    return Dictionary_ContainsKey(task->Arguments, "keyValuePairs") ||
           (Dictionary_ContainsKey(task->Arguments, "key") && Dictionary_ContainsKey(task->Arguments, "value"));
}

int64_t Task_EnumerateKeyValuePairs(Task* task, void* user, TaskKeyValuePairCallback callback) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(callback);
    Dictionary* pairs = nullptr;
    uint32_t count = 0;
    uint32_t type = 0;
    if (Dictionary_GetTypeByKey(task->Arguments, "keyValuePairs", &type) && type == DICTIONARY_TYPE_DICTIONARY &&
        Dictionary_GetDictionaryByKey(task->Arguments, "keyValuePairs", &pairs) && pairs &&
        Dictionary_ItemGetCount(pairs, &count) && count > 0) {
        int64_t any = 0;
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(pairs, &item); item; Dictionary_ItemGetNext(pairs, item, &item)) {
            char key[kScalarSize];
            Dictionary_ItemGetKey(pairs, item, key, kScalarSize);
            Task_ExpandInPlace(task, key, kScalarSize);
            if (!callback(user, key, pairs, item)) break;
            any = 1;
        }
        return any;
    }
    char key[kScalarSize];
    DictionaryItem* value = nullptr;
    if (!Task_ReadExpanded(task, "key", key, kScalarSize) ||
        !Dictionary_ItemFindByKey(task->Arguments, "value", nullptr, &value) || !value)
        return 0;
    return callback(user, key, task->Arguments, value) == 1;
}

// ---- Key provider ------------------------------------------------------------------------------

int64_t Task_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity) {
    Task* task = static_cast<Task*>(user);
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    // The expander cuts a token at its first ':'; the key is the whole token again.
    char key[kKeySize];
    if (argument)
        String_Print(key, kKeySize, "%s:%s", name, argument);
    else
        String_CopyLength(key, name, kKeySize);

    PathWalk walk;
    Evaluate(task, key, &walk);
    // A key made only of selecting words names an object, not a value.
    if (walk.kind != TASK_PATH_NONE && !walk.rest) return 0;
    if (walk.kind == TASK_PATH_DICTIONARY && walk.object) {
        Dictionary* dict = static_cast<Dictionary*>(walk.object);
        if (LookUpText(dict, walk.rest, value, capacity)) return 1;
        if (walk.rest[0] >= 'A' && walk.rest[0] <= 'Z') {
            char lowered[kKeySize];
            String_CopyLength(lowered, walk.rest, kKeySize);
            lowered[0] = (char)(lowered[0] - 'A' + 'a');
            if (LookUpText(dict, lowered, value, capacity)) return 1;
        }
    } else if (walk.kind == TASK_PATH_TASK && walk.object) {
        Task* selected = static_cast<Task*>(walk.object);
        if (EqualsNoCase(walk.rest, "name")) return WriteValue(selected->Name, (int32_t)strlen(selected->Name), value,
                                                               capacity);
        void* callbackUser = nullptr;
        TaskExpandStringCallback callback = nullptr;
        if (CallbackBase_Get(&selected->ExpandStringCallback, &callbackUser, &callback) && callback &&
            callback(selected, callbackUser, walk.rest, value, capacity) == 1)
            return 1;
    }
    value[0] = 0;
    if (const int64_t answer = MacroChain(task, key, value, capacity)) return answer;
    value[0] = 0;
    return 0;
}

int64_t Task_ExpandString(Task* task, char* buffer, int32_t capacity) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(buffer);
    return Task_ExpandInPlace(task, buffer, capacity);
}

int64_t Task_ExpandDictionary(Task* task, Dictionary* dict) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(dict);
    return String_ExpandDictionary(dict, task, Task_ExpandKey);
}

int64_t Task_EvaluatePathToObject(Task* task, const char* path, uint32_t* kind, void** object) {
    ASSERT_POINTER(kind);
    ASSERT_POINTER(object);
    *kind = TASK_PATH_NONE;
    *object = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(path);
    PathWalk walk;
    Evaluate(task, path, &walk);
    if (!walk.object) return 0;
    *kind = walk.kind;
    *object = walk.object;
    return 1;
}

// ---- Documents and trust -----------------------------------------------------------------------

int64_t Task_GetCertStoreListHandle(Task* task, CertStoreList** list) {
    ASSERT_POINTER(list);
    *list = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    if (!task->CertStores) {
        if (!CertStoreList_Create(&task->CertStores)) return 0;
        uint32_t type = 0;
        Dictionary_GetTypeByKey(task->Arguments, "store", &type);
        if (type == DICTIONARY_TYPE_LIST) {
            Dictionary* names = nullptr;
            Dictionary_GetListByKey(task->Arguments, "store", &names);
            DictionaryItem* item = nullptr;
            for (Dictionary_ItemGetFirst(names, &item); item; Dictionary_ItemGetNext(names, item, &item)) {
                const char* name = nullptr;
                if (Dictionary_ItemGetStringPtr(names, item, &name) && name) AddStore(task, task->CertStores, name);
            }
        } else if (type == DICTIONARY_TYPE_STRING) {
            const char* name = nullptr;
            Dictionary_GetStringPtrByKey(task->Arguments, "store", &name);
            if (name) AddStore(task, task->CertStores, name);
        } else {
            AddStore(task, task->CertStores, task->DefaultCertStore);
        }
    }
    *list = task->CertStores;
    return 1;
}

int64_t Task_DecodeJSON(Task* task, const char* buffer, int32_t length, Dictionary* target) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(target);
    void* user = nullptr;
    TaskAuthenticateCallback authenticate = nullptr;
    const int64_t required =
        CallbackBase_Get(&task->AuthenticateCallback, &user, &authenticate) && authenticate ? authenticate(task, user)
                                                                                            : 1;
    JSON* json = nullptr;
    if (length < 0 || !JSON_Create(&json)) return 0;
    JSON_SetDictionaryHandle(json, target);
    CertStoreList* list = nullptr;
    CertStoreInterface* store = nullptr;
    if (Task_GetCertStoreListHandle(task, &list) && list) store = CertStoreList_GetInterfaceHandle(list);
    int64_t result = store ? JWS_Decode(json, nullptr, store, buffer, (uint32_t)length, 1) : 0;
    CertStoreInterface_Release(&store);
    uint32_t code = 0;
    if (result != 1 && !required) {
        JSON_GetLastError(json, &code);
        if (code != 10) {
            Dictionary_Reset(target);
            result = JSON_LoadBuffer(json, buffer, (uint32_t)length);
        }
    }
    if (result != 1) {
        code = 0;
        JSON_GetLastError(json, &code);
        const char* name = JSON_TranslateError(code);
        if (!name || strcmp(name, "Unknown") == 0 || strcmp(name, "None") == 0)
            Task_AddError(task, "%s_%d", "Json_Error", (int32_t)code);
        else
            Task_AddError(task, "%s_%s", "Json_Error", name);
    }
    JSON_Release(&json);
    return result == 1;
}

int64_t Task_DefaultAuthenticateCallback(Task* task, void*) {
    CLASS_CHECK(task, TASK_CLASS_ID);
    int64_t required = 1;
    uint32_t authenticate = 0;
    const bool hasAuthenticate = Task_HasArgument(task, "authenticate") != 0;
    if (hasAuthenticate) Task_GetBooleanArgument(task, "authenticate", &authenticate);
    char url[kUrlSize];
    if (Task_GetStringArgument(task, "url", url, kUrlSize)) {
        char fixed[kUrlSize];
        URL_FixPath(url, 0, fixed, kUrlSize);
        // An explicit "authenticate" is the definition's own word and holds for https as well:
        // a transport that is private says nothing about who wrote the document.
        const bool https = BeginsNoCase(fixed, "https:");
        required = hasAuthenticate ? authenticate : !https;
        char content[kUrlSize] = "{contentUrl}";
        char datastore[kUrlSize] = "{contentUrl}datastore";
        // A content URL that is empty or did not expand would vouch for every URL.
        if (Task_ExpandInPlace(task, content, kUrlSize) && content[0] && strchr(content, '{') == nullptr &&
            Task_ExpandInPlace(task, datastore, kUrlSize) && BeginsNoCase(fixed, content) &&
            !EqualsNoCase(fixed, datastore) && WebGet_Authorize(fixed) == 1)
            required = 0;
    } else if (hasAuthenticate) {
        required = authenticate;
    }
    if (!Authenticate_Enabled()) return 0;
    if (Task_HasArgument(task, "store")) return 1;
    return required;
}
