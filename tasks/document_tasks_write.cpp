// The writers of the data-document family: JSONWrite, XMLWrite, PlistWrite and IniWrite set the
// task's key-value pairs in a document (made when missing) and save it whole, or leave it untouched.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/formats/ini.h"
#include "core/formats/json.h"
#include "core/formats/plist.h"
#include "core/formats/xml.h"
#include "core/platform/path.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "tasks/data_tasks.h"
#include "tasks/document_tasks_internal.h"
#include "tasks/task_base.h"
#include "workflow/task_type.h"

namespace {

struct WriterRun {
    Task* Owner;
    Dictionary* Document;
    // Where the pairs go: the document's root (JSON) or the chosen section (INI).
    Dictionary* Target;
    JSON* Json;
    XML* Xml;
    Plist* PlistDocument;
    Ini* IniDocument;
};

struct WriterFormat {
    uint32_t ClassId;
    const char* OpenError;
    const char* WriteError;
    const char* SaveError;
    const char* MissingPairs;
    TaskKeyValuePairCallback Pair;
};

void AddWriteError(WriterRun* run, const char* key) {
    if (!DataTask_HasErrors(run->Owner)) Task_AddError(run->Owner, "%s", key);
}

// The parent path of `key` ensured as dictionaries below `top`, and the last key; false when a
// member of the path is a value, or the last key is empty.
bool SplitKey(Dictionary* top, const char* key, Dictionary** parent, char* last) {
    char path[DOCUMENT_KEY_SIZE];
    *parent = top;
    Dictionary_PathGetKey(key, last, DOCUMENT_KEY_SIZE);
    if (Dictionary_PathGetParent(key, path, sizeof(path)) && path[0] &&
        (!Dictionary_EnsureDictionaryByPath(top, path, parent) || !*parent))
        return false;
    return last[0] != 0;
}

// A string value, macro-expanded.
void ExpandedText(WriterRun* run, Dictionary* dict, DictionaryItem* item, char* text) {
    DataTask_ItemText(dict, item, text, DOCUMENT_VALUE_SIZE);
    Task_ExpandString(run->Owner, text, DOCUMENT_VALUE_SIZE);
}

// The item's text is a whole decimal number in the 64-bit range (no fraction, no exponent).
bool IntegerText(Dictionary* dict, DictionaryItem* item, int64_t* value) {
    const char* text = nullptr;
    Dictionary_ItemGetBufferPtr(dict, item, &text, nullptr);
    if (!text || !text[0]) return false;
    char* end = nullptr;
    errno = 0;
    const long long parsed = strtoll(text, &end, 10);
    if (*end || errno == ERANGE || end == text) return false;
    *value = parsed;
    return true;
}

// JSON's spelling of a whole number: an optional '-', then "0" or digits without a leading zero.
bool JsonIntegerText(const char* text, int32_t length) {
    int32_t i = length > 0 && text[0] == '-' ? 1 : 0;
    if (i >= length || (text[i] == '0' && length - i > 1)) return false;
    for (; i < length; i++)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// ---- Pairs ------------------------------------------------------------------------------------

int64_t JsonPair(void* user, const char* key, Dictionary* dict, DictionaryItem* item) {
    WriterRun* run = static_cast<WriterRun*>(user);
    Dictionary* parent = nullptr;
    char last[DOCUMENT_KEY_SIZE];
    uint32_t type = 0;
    Dictionary_ItemGetType(dict, item, &type);
    const bool typed = type == DICTIONARY_TYPE_BOOLEAN || type == DICTIONARY_TYPE_INT64 ||
                       type == DICTIONARY_TYPE_FLOAT64 || type == DICTIONARY_TYPE_STRING;
    if (!typed) return 1;
    bool set = SplitKey(run->Target, key, &parent, last);
    if (set) {
        uint32_t flag = 0;
        int64_t number = 0;
        double real = 0;
        char text[DOCUMENT_VALUE_SIZE];
        DictionaryItem* target = nullptr;
        switch (type) {
        case DICTIONARY_TYPE_BOOLEAN:
            Dictionary_ItemGetBoolean(dict, item, &flag);
            set = Dictionary_SetBooleanByKey(parent, last, flag) == 1;
            break;
        case DICTIONARY_TYPE_INT64:
            set = Dictionary_ItemGetInt64(dict, item, &number) &&
                  Dictionary_SetInt64ByKey(parent, last, number) == 1;
            break;
        case DICTIONARY_TYPE_FLOAT64: {
            set = Dictionary_ItemGetFloat64(dict, item, &real) &&
                  Dictionary_EnsureKey(parent, last, &target) && target &&
                  Dictionary_ItemSetType(parent, target, DICTIONARY_TYPE_FLOAT64);
            // Workflow documents hold every number as a double: a whole number given as JSON's
            // integer text ("76561198000000001", an identifier) is written as given, whatever its
            // size, where a double would round it; any other as the shortest text that reads back
            // as the same value.
            const char* given = nullptr;
            int32_t length = 0;
            Dictionary_ItemGetBufferPtr(dict, item, &given, &length);
            if (set && given && JsonIntegerText(given, length))
                set = Dictionary_ItemSetBuffer(parent, target, given, length) == 1;
            else if (set)
                set = String_PrintNumber(real, text, sizeof(text)) &&
                      Dictionary_ItemSetBuffer(parent, target, text, (int32_t)strlen(text)) == 1;
            break;
        }
        default:
            ExpandedText(run, dict, item, text);
            set = Dictionary_SetStringByKey(parent, last, text) == 1;
            break;
        }
    }
    if (set) return 1;
    AddWriteError(run, "Json_Error_Write");
    return 0;
}

int64_t XmlPair(void* user, const char* key, Dictionary* dict, DictionaryItem* item) {
    WriterRun* run = static_cast<WriterRun*>(user);
    char text[DOCUMENT_VALUE_SIZE];
    text[0] = 0;
    uint32_t type = 0;
    Dictionary_ItemGetType(dict, item, &type);
    if (type == DICTIONARY_TYPE_BOOLEAN || type == DICTIONARY_TYPE_STRING) {
        ExpandedText(run, dict, item, text);
    } else if (type == DICTIONARY_TYPE_INT64 || type == DICTIONARY_TYPE_FLOAT64) {
        // A number item without a number's text fails the write rather than writing 0; a whole
        // number given as integer text is written as given, as JSONWrite writes it.
        int64_t number = 0;
        double real = 0;
        const char* given = nullptr;
        int32_t length = 0;
        Dictionary_ItemGetBufferPtr(dict, item, &given, &length);
        const bool read = type == DICTIONARY_TYPE_INT64
                              ? Dictionary_ItemGetInt64(dict, item, &number) &&
                                    (String_Print(text, sizeof(text), "%lld", (long long)number), true)
                              : Dictionary_ItemGetFloat64(dict, item, &real) &&
                                    (given && JsonIntegerText(given, length) && length < (int32_t)sizeof(text)
                                         ? (String_CopyLength(text, given, length + 1), true)
                                         : String_PrintNumber(real, text, sizeof(text)) == 1);
        if (!read) {
            AddWriteError(run, "XML_Error_Write");
            return 0;
        }
    }
    Dictionary* parent = nullptr;
    char last[DOCUMENT_KEY_SIZE];
    if (!SplitKey(run->Document, key, &parent, last)) {
        Task_Print(run->Owner, "Unable to create key xml [%s]", key);
        AddWriteError(run, "XML_Error_Write");
        return 0;
    }
    if (last[0] == '-') {
        if (Dictionary_SetStringByKey(parent, last, text)) return 1;
        AddWriteError(run, "XML_Error_Write");
        return 0;
    }
    // The element named so is used as it is (a text-only element becomes one that can hold its
    // text); a new one only when there is none, so the same key written twice stays one element.
    Dictionary* element = nullptr;
    if (!Dictionary_EnsureDictionary(parent, last, nullptr, &element) || !element) {
        AddWriteError(run, "XML_Error_Write");
        return 0;
    }
    // An element's text is never empty: an empty value is the element without text.
    if (!text[0]) {
        Dictionary_RemoveByKey(element, "#text");
        return 1;
    }
    if (Dictionary_SetStringByKey(element, "#text", text)) return 1;
    AddWriteError(run, "XML_Error_Write");
    return 0;
}

int64_t PlistPair(void* user, const char* key, Dictionary* dict, DictionaryItem* item) {
    WriterRun* run = static_cast<WriterRun*>(user);
    uint32_t type = 0;
    Dictionary_ItemGetType(dict, item, &type);
    int64_t set = 0;
    uint32_t flag = 0;
    int64_t number = 0;
    double real = 0;
    char text[DOCUMENT_VALUE_SIZE];
    switch (type) {
    case DICTIONARY_TYPE_BOOLEAN:
        Dictionary_ItemGetBoolean(dict, item, &flag);
        set = Plist_SetValueBoolean(run->PlistDocument, key, flag);
        break;
    case DICTIONARY_TYPE_INT64:
        set = Dictionary_ItemGetInt64(dict, item, &number) &&
              Plist_SetValueInt64(run->PlistDocument, key, number);
        break;
    case DICTIONARY_TYPE_FLOAT64:
        // Workflow documents hold every number as a double: one written as a whole number stays
        // an "integer" in the property list, as other programs reading it expect.
        if (IntegerText(dict, item, &number))
            set = Plist_SetValueInt64(run->PlistDocument, key, number);
        else
            set = Dictionary_ItemGetFloat64(dict, item, &real) &&
                  Plist_SetValueFloat64(run->PlistDocument, key, real);
        break;
    case DICTIONARY_TYPE_STRING:
        ExpandedText(run, dict, item, text);
        set = Plist_SetValue(run->PlistDocument, key, text);
        break;
    default:
        break;
    }
    if (set) return 1;
    AddWriteError(run, "Plist_Error_Write");
    return 0;
}

int64_t IniPair(void* user, const char* key, Dictionary* dict, DictionaryItem* item) {
    WriterRun* run = static_cast<WriterRun*>(user);
    char name[DOCUMENT_INI_KEY_SIZE];
    String_CopyLengthSafe(name, sizeof(name), key, (int32_t)strlen(key));
    char raw[DOCUMENT_VALUE_SIZE];
    char text[DOCUMENT_VALUE_SIZE];
    DataTask_ItemText(dict, item, raw, sizeof(raw));
    memcpy(text, raw, sizeof(text));
    Task_ExpandString(run->Owner, text, sizeof(text));
    Dictionary_SetStringByKey(run->Target, name, text);
    Task_Print(run->Owner, "Write value %s = %s", name, raw);
    return 1;
}

const WriterFormat kJsonWrite = {DOCUMENT_JSONWRITE_CLASS_ID,
                                 "Json_Error_Open",
                                 "Json_Error_Write",
                                 "Json_Error_Save",
                                 "key/keyValuePairs argument not defined",
                                 JsonPair};
const WriterFormat kXmlWrite = {DOCUMENT_XMLWRITE_CLASS_ID,
                                "Xml_Error_Open",
                                "XML_Error_Write",
                                "Xml_Error_Save",
                                "key/keyValuePairs argument not defined",
                                XmlPair};
const WriterFormat kPlistWrite = {DOCUMENT_PLISTWRITE_CLASS_ID,
                                  "Plist_Error_Open",
                                  "Plist_Error_Write",
                                  "Plist_Error_Save",
                                  "key/keyValuePairs argument not defined",
                                  PlistPair};
const WriterFormat kIniWrite = {DOCUMENT_INIWRITE_CLASS_ID,
                                "Ini_Error_Open",
                                nullptr,
                                "Ini_Error_Save",
                                "keyValuePairs/key argument not defined",
                                IniPair};

// ---- The writers' run -------------------------------------------------------------------------

void OpenFormat(WriterRun* run, const WriterFormat& format) {
    if (&format == &kJsonWrite) {
        JSON_Create(&run->Json);
        JSON_SetMinify(run->Json, 0);
        JSON_SetDictionaryHandle(run->Json, run->Document);
    } else if (&format == &kXmlWrite) {
        XML_Create(&run->Xml);
        XML_SetMinify(run->Xml, 0);
        XML_SetDictionaryHandle(run->Xml, run->Document);
    } else if (&format == &kPlistWrite) {
        Plist_Create(&run->PlistDocument);
        Plist_SetDictionaryHandle(run->PlistDocument, run->Document);
    } else {
        Ini_Create(&run->IniDocument);
        Ini_SetDictionaryHandle(run->IniDocument, run->Document);
    }
}

void CloseFormat(WriterRun* run) {
    if (run->Json) {
        JSON_SetDictionaryHandle(run->Json, nullptr);
        JSON_Release(&run->Json);
    }
    if (run->Xml) {
        XML_SetDictionaryHandle(run->Xml, nullptr);
        XML_Release(&run->Xml);
    }
    if (run->PlistDocument) Plist_Release(&run->PlistDocument);
    if (run->IniDocument) {
        Ini_SetDictionaryHandle(run->IniDocument, nullptr);
        Ini_Release(&run->IniDocument);
    }
}

bool LoadDocument(WriterRun* run, const char* path) {
    if (run->Json) return JSON_LoadFile(run->Json, path) == 1;
    if (run->Xml) return XML_LoadFile(run->Xml, path) == 1;
    if (run->PlistDocument) return Plist_Load(run->PlistDocument, path) == 1;
    return Ini_LoadFile(run->IniDocument, path) == 1;
}

bool SaveDocument(WriterRun* run, const char* path) {
    if (run->Json) return JSON_SaveFile(run->Json, path) == 1;
    if (run->Xml) return XML_SaveFile(run->Xml, path) == 1;
    if (run->PlistDocument) return Plist_Save(run->PlistDocument, path) == 1;
    return Ini_SaveFile(run->IniDocument, path) == 1;
}

// A JSON or property-list document whose top value is not a dictionary cannot take keyed values:
// a dictionary beside it would make a second top value, which no reader takes.
bool TopIsDictionary(Dictionary* document) {
    uint32_t count = 0;
    Dictionary_ItemGetCount(document, &count);
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(document, &root);
    return count == 0 || root != document;
}

// Where the pairs go; false after the write error.
bool Prepare(WriterRun* run, const WriterFormat& format) {
    Task* task = run->Owner;
    run->Target = run->Document;
    if (&format == &kJsonWrite || &format == &kPlistWrite) {
        if (!TopIsDictionary(run->Document)) {
            Task_Print(task, "The document's top value is not a dictionary");
            Task_AddError(task, "%s", format.WriteError);
            return false;
        }
        Dictionary_SkipRoot(run->Document, &run->Target);
        if (&format == &kJsonWrite && run->Target == run->Document)
            Dictionary_AddDictionary(run->Document, nullptr, &run->Target, nullptr);
    } else if (&format == &kIniWrite && Task_HasArgument(task, "section")) {
        char section[DOCUMENT_INI_KEY_SIZE];
        Task_GetStringArgument(task, "section", section, sizeof(section));
        Dictionary_EnsureDictionary(run->Document, section, nullptr, &run->Target);
        if (!run->Target) run->Target = run->Document;
    }
    return true;
}

int64_t RunWriter(void* user, const WriterFormat& format) {
    TaskBase* base = TaskBase_Check(user, format.ClassId);
    Task* task = base->Owner;
    if (&format == &kIniWrite) Task_SetProgress(task, 0.0);
    if (!TaskBase_RequireArgument(base, "path")) return 1;
    char path[DOCUMENT_PATH_SIZE];
    Task_GetStringArgument(task, "path", path, sizeof(path));
    if (TaskBase_RefuseLocation(base, "path", path)) return 1;
    WriterRun run = {};
    run.Owner = task;
    Dictionary_Create(&run.Document);
    OpenFormat(&run, format);
    // Only a file that is there is read; a missing one is made by the save.
    if (Path_Exists(path) && !LoadDocument(&run, path))
        DocumentTask_AddFileError(task, path, nullptr, format.OpenError);
    if (!DataTask_HasErrors(task) && Prepare(&run, format)) {
        if (!Task_HasKeyValuePairs(task)) {
            Task_Print(task, "%s", format.MissingPairs);
            Task_AddError(task, "Task_Error_MissingArg");
        } else {
            Task_EnumerateKeyValuePairs(task, &run, format.Pair);
        }
    }
    if (!DataTask_HasErrors(task)) {
        uint32_t verbose = 0;
        Task_GetVerbose(task, &verbose);
        if (verbose) DataTask_Dump(task, run.Document);
        if (!SaveDocument(&run, path)) DocumentTask_AddFileError(task, path, "cannot be written", format.SaveError);
    }
    CloseFormat(&run);
    Dictionary_Release(&run.Document);
    return TaskBase_Complete(base, nullptr);
}

int64_t JsonWrite_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    return RunWriter(user, kJsonWrite);
}
int64_t XmlWrite_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    return RunWriter(user, kXmlWrite);
}
int64_t PlistWrite_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    return RunWriter(user, kPlistWrite);
}
int64_t IniWrite_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    return RunWriter(user, kIniWrite);
}

const TaskBaseType kJsonWriteType = {
    .ClassId = DOCUMENT_JSONWRITE_CLASS_ID, .Size = sizeof(TaskBase), .OnStart = JsonWrite_OnStart};
const TaskBaseType kXmlWriteType = {
    .ClassId = DOCUMENT_XMLWRITE_CLASS_ID, .Size = sizeof(TaskBase), .OnStart = XmlWrite_OnStart};
const TaskBaseType kPlistWriteType = {
    .ClassId = DOCUMENT_PLISTWRITE_CLASS_ID, .Size = sizeof(TaskBase), .OnStart = PlistWrite_OnStart};
const TaskBaseType kIniWriteType = {
    .ClassId = DOCUMENT_INIWRITE_CLASS_ID, .Size = sizeof(TaskBase), .OnStart = IniWrite_OnStart};

int64_t JsonWrite_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kJsonWriteType);
}
int64_t XmlWrite_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kXmlWriteType);
}
int64_t PlistWrite_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kPlistWriteType);
}
int64_t IniWrite_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kIniWriteType);
}

const TaskInterface kWriters[] = {
    {"JSONWrite", JsonWrite_Create, TaskBase_AddRef, TaskBase_Release},
    {"XMLWrite", XmlWrite_Create, TaskBase_AddRef, TaskBase_Release},
    {"PlistWrite", PlistWrite_Create, TaskBase_AddRef, TaskBase_Release},
    {"IniWrite", IniWrite_Create, TaskBase_AddRef, TaskBase_Release},
};

} // namespace

int64_t DocumentWriters_Register() {
    int64_t result = 1;
    for (const TaskInterface& record : kWriters)
        if (!TaskType_RegisterDefault(&record)) result = 0;
    return result;
}
