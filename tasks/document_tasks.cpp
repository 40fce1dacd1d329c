// The readers of the data-document family: JSONRead, XMLRead, PlistRead and IniRead take values
// out of a document by key path into the task's status and answer "read" or "notRead".
#include <cstring>
#include <fcntl.h>

#include "core/formats/ini.h"
#include "core/formats/json.h"
#include "core/formats/plist.h"
#include "core/linux/platform_document.h"
#include "core/linux/platform_error.h"
#include "core/linux/platform_file.h"
#include "core/platform/path.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"
#include "tasks/data_tasks.h"
#include "tasks/document_tasks_internal.h"
#include "tasks/task_base.h"
#include "workflow/task_request.h"
#include "workflow/task_type.h"

void DocumentTask_AddFileError(Task* task, const char* path, const char* why, const char* errorKey) {
    char reason[256];
    String_CopyLength(reason, why && why[0] ? why : "not a readable document", sizeof(reason));
    // What the name is comes first: a device opens, but is no document to read or replace.
    const int32_t fd = Platform_DocumentCheckName(path, 1) ? Platform_Open(path, O_RDONLY | O_CLOEXEC, 0, 0) : -1;
    if (fd < 0) {
        if (!Platform_GetErrorString(Platform_GetLastError(), reason, sizeof(reason)))
            String_CopyLength(reason, "cannot be opened", sizeof(reason));
    } else {
        Platform_Close(fd);
    }
    Task_Print(task, "Unable to load %s: %s", path, reason);
    Task_AddError(task, "%s", errorKey);
}

namespace {

struct ReadInstance {
    TaskBase Base;
    // JSONRead's document, kept for the instance's life and emptied at each start.
    Dictionary* Document;
};

// ---- Key lookups ------------------------------------------------------------------------------

// A lookup of one key path; answers whether it was found.
typedef bool (*LookupFunc)(Task* task, Dictionary* top, const char* key);

struct LookupRun {
    Task* Owner;
    Dictionary* Top;
    LookupFunc Lookup;
    bool All;
};

void LookupEntry(void* user, const char* key) {
    LookupRun* run = static_cast<LookupRun*>(user);
    if (!run->Lookup(run->Owner, run->Top, key)) run->All = false;
}

// `key`, else every entry of `keys` (all of them, even after a miss): true when all were found.
bool LookupAll(Task* task, Dictionary* top, LookupFunc lookup, int32_t keySize) {
    LookupRun run = {task, top, lookup, true};
    if (Task_HasArgument(task, "key")) {
        DataTask_EachEntry(task, "key", keySize, false, &run, LookupEntry);
        return run.All;
    }
    DataTask_EachEntry(task, "keys", keySize, false, &run, LookupEntry);
    return run.All;
}

// JSON and XML: the found item, copied into a dictionary of its own, becomes the task's status.
bool LookupCopy(Task* task, Dictionary* top, const char* key) {
    Dictionary* holder = nullptr;
    DictionaryItem* item = nullptr;
    if (!key[0] || !Dictionary_ItemFindByPath(top, key, &holder, &item) || !holder || !item) {
        Task_Print(task, "Key not found - %s", key);
        return false;
    }
    Task_Print(task, "Key found - %s", key);
    Dictionary* copy = nullptr;
    Dictionary_Create(&copy);
    Dictionary_MergeItem(copy, holder, item, DICTIONARY_MERGE_OVERWRITE);
    DataTask_Dump(task, copy);
    Task_SetStatusWithDictionary(task, copy);
    Dictionary_Release(&copy);
    return true;
}

// Property lists: by the found item's type; containers and other types count as not found.
bool LookupPlist(Task* task, Dictionary* top, const char* key) {
    Dictionary* holder = nullptr;
    DictionaryItem* item = nullptr;
    if (!key[0] || !Dictionary_ItemFindByPath(top, key, &holder, &item) || !holder || !item) {
        Task_Print(task, "Key not found - %s", key);
        return false;
    }
    uint32_t type = 0;
    Dictionary_ItemGetType(holder, item, &type);
    switch (type) {
    case DICTIONARY_TYPE_BOOLEAN: {
        uint32_t flag = 0;
        Dictionary_ItemGetBoolean(holder, item, &flag);
        Task_Print(task, "Key found - %s (%s)", key, flag ? "true" : "false");
        Dictionary* status = nullptr;
        Dictionary_Create(&status);
        Dictionary_SetBooleanByKey(status, key, flag);
        Task_SetStatusWithDictionary(task, status);
        Dictionary_Release(&status);
        return true;
    }
    case DICTIONARY_TYPE_INT64: {
        int64_t value = 0;
        Dictionary_ItemGetInt64(holder, item, &value);
        Task_Print(task, "Key found - %s=%lld", key, (long long)value);
        Task_SetStatusNumber(task, key, (double)value);
        return true;
    }
    case DICTIONARY_TYPE_FLOAT64: {
        double value = 0;
        Dictionary_ItemGetFloat64(holder, item, &value);
        Task_Print(task, "Key found - %s=%f", key, value);
        Task_SetStatusNumber(task, key, value);
        return true;
    }
    case DICTIONARY_TYPE_STRING: {
        const char* text = nullptr;
        Dictionary_ItemGetStringPtr(holder, item, &text);
        Task_Print(task, "Key found - %s=%s", key, text ? text : "");
        Task_SetStatusString(task, key, text ? text : "");
        return true;
    }
    default:
        return false;
    }
}

// INI: the value as a string, set in the status even when missing (then empty).
bool LookupIni(Task* task, Dictionary* section, const char* key) {
    char value[DOCUMENT_INI_VALUE_SIZE];
    const bool found = key[0] && Dictionary_GetStringByKey(section, key, value, sizeof(value)) == 1;
    if (!found) value[0] = 0;
    Task_SetStatusString(task, key, value);
    Task_Print(task, "Read value %s = %s", key, value);
    return found;
}

// ---- Shared steps -----------------------------------------------------------------------------


// The reader's key arguments; 0 after the failure when neither is there.
int64_t RequireKeys(TaskBase* base, const char* message) {
    if (Task_HasArgument(base->Owner, "key") || Task_HasArgument(base->Owner, "keys")) return 1;
    return TaskBase_Fail(base, "Task_Error_MissingArg", "%s", message);
}

// The end of a reader: errors complete plainly ("failure"), else "read" or "notRead".
int64_t EndRead(TaskBase* base, bool all) {
    if (DataTask_HasErrors(base->Owner)) return TaskBase_Complete(base, nullptr);
    return TaskBase_RunOutcome(base, all ? "read" : "notRead");
}

void DumpWhenVerbose(Task* task, Dictionary* dict) {
    uint32_t verbose = 0;
    Task_GetVerbose(task, &verbose);
    if (verbose) DataTask_Dump(task, dict);
}

// JSON and XML documents after their load: the open error unless the task failed already, then
// the lookups (JSON below the document's root item, XML from the top).
int64_t FinishLoaded(TaskBase* base, Dictionary* document, bool loaded, const char* openError,
                     bool skipRoot) {
    Task* task = base->Owner;
    DumpWhenVerbose(task, document);
    if (!loaded && !DataTask_HasErrors(task)) Task_AddError(task, "%s", openError);
    if (DataTask_HasErrors(task)) return TaskBase_Complete(base, nullptr);
    Dictionary* top = document;
    if (skipRoot) Dictionary_SkipRoot(document, &top);
    return EndRead(base, LookupAll(task, top, LookupCopy, DOCUMENT_KEY_SIZE));
}

// ---- JSONRead ---------------------------------------------------------------------------------

int64_t JsonRead_OnLoaded(Task* task, void* user, Dictionary* document, int32_t code, int32_t) {
    ReadInstance* instance = static_cast<ReadInstance*>(user);
    // A task cancelled while its document was on the way has ended already.
    if (Task_IsCompleted(task)) return 1;
    const bool loaded = code == 0 && document;
    if (loaded) Dictionary_Merge(instance->Document, document, DICTIONARY_MERGE_OVERWRITE);
    return FinishLoaded(&instance->Base, instance->Document, loaded, "Json_Error_Open", true);
}

int64_t JsonRead_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    ReadInstance* instance =
        reinterpret_cast<ReadInstance*>(TaskBase_Check(user, DOCUMENT_JSONREAD_CLASS_ID));
    TaskBase* base = &instance->Base;
    Task* task = base->Owner;
    Dictionary_Reset(instance->Document);
    const bool hasUrl = Task_HasArgument(task, "url");
    const bool hasPath = Task_HasArgument(task, "path");
    if (!hasUrl && !hasPath && !Task_HasArgument(task, "content"))
        return TaskBase_Fail(base, "Task_Error_MissingArg", "path/content argument not defined");
    if (!RequireKeys(base, "key/keys argument not defined")) return 1;
    if (hasUrl) {
        char url[DOCUMENT_URL_SIZE];
        Task_GetStringArgument(task, "url", url, sizeof(url));
        if (!Task_RequestJSON(task, url, instance, JsonRead_OnLoaded))
            JsonRead_OnLoaded(task, instance, nullptr, 1, 0);
        return 1;
    }
    bool loaded = false;
    if (hasPath) {
        char path[DOCUMENT_PATH_SIZE];
        Task_GetStringArgument(task, "path", path, sizeof(path));
        if (TaskBase_RefuseLocation(base, "path", path)) return 1;
        JSON* json = nullptr;
        JSON_Create(&json);
        JSON_SetDictionaryHandle(json, instance->Document);
        loaded = JSON_LoadFile(json, path) == 1;
        uint32_t code = 0;
        JSON_GetLastError(json, &code);
        JSON_SetDictionaryHandle(json, nullptr);
        JSON_Release(&json);
        if (!loaded) DocumentTask_AddFileError(task, path, code ? JSON_TranslateError(code) : nullptr, "Json_Error_Open");
    } else {
        loaded = Task_GetDictionaryArgument(task, "content", instance->Document) == 1;
        if (!loaded) Task_Print(task, "content argument is not a JSON document");
    }
    return FinishLoaded(base, instance->Document, loaded, "Json_Error_Open", true);
}

int64_t JsonRead_Init(TaskBase* base) {
    return Dictionary_Create(&reinterpret_cast<ReadInstance*>(base)->Document);
}

// The task's request calls back into the instance: it goes with it.
void DropRequest(TaskBase* base) {
    Task_RequestDelete(base->Owner);
}

void JsonRead_Free(TaskBase* base) {
    DropRequest(base);
    Dictionary_Release(&reinterpret_cast<ReadInstance*>(base)->Document);
}

const TaskBaseType kJsonReadType = {.ClassId = DOCUMENT_JSONREAD_CLASS_ID,
                                    .Size = sizeof(ReadInstance),
                                    .OnStart = JsonRead_OnStart,
                                    .Init = JsonRead_Init,
                                    .Free = JsonRead_Free};

int64_t JsonRead_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kJsonReadType);
}

// ---- XMLRead ----------------------------------------------------------------------------------

int64_t XmlRead_OnLoaded(Task* task, void* user, Dictionary* document, int32_t code, int32_t) {
    TaskBase* base = static_cast<TaskBase*>(user);
    if (Task_IsCompleted(task)) return 1;
    if (code == 0 && document) return FinishLoaded(base, document, true, "Xml_Error_Open", false);
    Dictionary* empty = nullptr;
    Dictionary_Create(&empty);
    const int64_t result = FinishLoaded(base, empty, false, "Xml_Error_Open", false);
    Dictionary_Release(&empty);
    return result;
}

int64_t XmlRead_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, DOCUMENT_XMLREAD_CLASS_ID);
    Task* task = base->Owner;
    const bool hasUrl = Task_HasArgument(task, "url");
    if (!hasUrl && !Task_HasArgument(task, "path"))
        return TaskBase_Fail(base, "Task_Error_MissingArg", "path/url argument not defined");
    if (!RequireKeys(base, "key/keys argument not defined")) return 1;
    char url[DOCUMENT_URL_SIZE];
    if (hasUrl) {
        Task_GetStringArgument(task, "url", url, sizeof(url));
    } else {
        char path[DOCUMENT_PATH_SIZE];
        Task_GetStringArgument(task, "path", path, sizeof(path));
        if (TaskBase_RefuseLocation(base, "path", path)) return 1;
        Path_ConvertToURL(path, url, sizeof(url));
    }
    if (!Task_RequestXML(task, url, base, XmlRead_OnLoaded)) XmlRead_OnLoaded(task, base, nullptr, 1, 0);
    return 1;
}

const TaskBaseType kXmlReadType = {.ClassId = DOCUMENT_XMLREAD_CLASS_ID,
                                   .Size = sizeof(TaskBase),
                                   .OnStart = XmlRead_OnStart,
                                   .Free = DropRequest};

int64_t XmlRead_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kXmlReadType);
}

// ---- PlistRead --------------------------------------------------------------------------------

int64_t PlistRead_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, DOCUMENT_PLISTREAD_CLASS_ID);
    Task* task = base->Owner;
    if (!TaskBase_RequireArgument(base, "path")) return 1;
    if (!RequireKeys(base, "key/keys argument not defined")) return 1;
    char path[DOCUMENT_PATH_SIZE];
    Task_GetStringArgument(task, "path", path, sizeof(path));
    if (TaskBase_RefuseLocation(base, "path", path)) return 1;
    Dictionary* document = nullptr;
    Dictionary_Create(&document);
    Plist* plist = nullptr;
    Plist_Create(&plist);
    Plist_SetDictionaryHandle(plist, document);
    // No check that the file is there first: a missing file is the open error.
    if (Plist_Load(plist, path) != 1) DocumentTask_AddFileError(task, path, nullptr, "Plist_Error_Open");
    Plist_Release(&plist);
    int64_t result = 0;
    if (DataTask_HasErrors(task)) {
        result = TaskBase_Complete(base, nullptr);
    } else {
        Dictionary* top = nullptr;
        Dictionary_SkipRoot(document, &top);
        result = EndRead(base, LookupAll(task, top, LookupPlist, DOCUMENT_KEY_SIZE));
    }
    Dictionary_Release(&document);
    return result;
}

const TaskBaseType kPlistReadType = {
    .ClassId = DOCUMENT_PLISTREAD_CLASS_ID, .Size = sizeof(TaskBase), .OnStart = PlistRead_OnStart};

int64_t PlistRead_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kPlistReadType);
}

// ---- IniRead ----------------------------------------------------------------------------------

int64_t IniRead_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, DOCUMENT_INIREAD_CLASS_ID);
    Task* task = base->Owner;
    Task_SetProgress(task, 0.0);
    if (!TaskBase_RequireArgument(base, "path")) return 1;
    if (!RequireKeys(base, "keys/key argument not defined")) return 1;
    char path[DOCUMENT_PATH_SIZE];
    Task_GetStringArgument(task, "path", path, sizeof(path));
    if (TaskBase_RefuseLocation(base, "path", path)) return 1;
    Dictionary* document = nullptr;
    Dictionary_Create(&document);
    Ini* ini = nullptr;
    Ini_Create(&ini);
    Ini_SetDictionaryHandle(ini, document);
    if (Ini_LoadFile(ini, path) != 1) DocumentTask_AddFileError(task, path, nullptr, "Ini_Error_Open");
    Ini_SetDictionaryHandle(ini, nullptr);
    Ini_Release(&ini);
    DumpWhenVerbose(task, document);
    int64_t result = 0;
    if (DataTask_HasErrors(task)) {
        result = TaskBase_Complete(base, nullptr);
    } else {
        Dictionary* section = document;
        bool known = true;
        if (Task_HasArgument(task, "section")) {
            char name[DOCUMENT_INI_KEY_SIZE];
            Task_GetStringArgument(task, "section", name, sizeof(name));
            section = nullptr;
            known = Dictionary_GetDictionaryByKey(document, name, &section) == 1 && section;
        }
        // An unknown section is no error: nothing of it can be read.
        result = EndRead(base, known && LookupAll(task, section, LookupIni, DOCUMENT_INI_KEY_SIZE));
    }
    Dictionary_Release(&document);
    return result;
}

const TaskBaseType kIniReadType = {
    .ClassId = DOCUMENT_INIREAD_CLASS_ID, .Size = sizeof(TaskBase), .OnStart = IniRead_OnStart};

int64_t IniRead_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kIniReadType);
}

const TaskInterface kReaders[] = {
    {"JSONRead", JsonRead_Create, TaskBase_AddRef, TaskBase_Release},
    {"XMLRead", XmlRead_Create, TaskBase_AddRef, TaskBase_Release},
    {"PlistRead", PlistRead_Create, TaskBase_AddRef, TaskBase_Release},
    {"IniRead", IniRead_Create, TaskBase_AddRef, TaskBase_Release},
};

} // namespace

int64_t DocumentTasks_Register() {
    int64_t result = 1;
    for (const TaskInterface& record : kReaders)
        if (!TaskType_RegisterDefault(&record)) result = 0;
    return DocumentWriters_Register() && result ? 1 : 0;
}
