// XML property lists: converts the element tree of the XML reader into typed Dictionary items and
// back, and reads and changes values by path below the document's root container.
#include "core/formats/plist.h"

#include "core/runtime/class_family.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/formats/xml.h"
#include "core/linux/platform_number.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_load.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

struct Plist {
    Class Header;
    ClassPrint Print;
    Dictionary* Dict;
    uint32_t Minify;
};

namespace {

// Containers below the top "dict" that a saved file may nest, so that the reader's level stack
// can read every value of it back: "plist", the top "dict" and a value element take three levels.
constexpr int32_t kMaxSaveDepth = XML_MAX_LEVELS - 5;

int64_t DeleteHandle(void** handle) {
    return Plist_Delete(reinterpret_cast<Plist**>(handle));
}

void PreparePrint(Plist* plist) {
    ClassPrint_Prepare(&plist->Print, plist, "Plist", Plist_PrintInternal);
}

int64_t DumpPrint(void* user, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Plist_VPrint(static_cast<Plist*>(user), 0, format, args);
    va_end(args);
    return result;
}

// An XML object that prints through the plist's own print callback.
XML* NewXml(Plist* plist) {
    XML* xml = nullptr;
    XML_Create(&xml);
    PreparePrint(plist);
    XML_SetPrintCallback(xml, plist->Print.PrintUser, plist->Print.PrintCallback);
    return xml;
}

bool NameIs(const char* name, const char* expected) {
    return String_CompareWithoutCase(name, expected) == 1;
}

// The text of a value element: a text-only element reads as a String; an element holding
// attributes keeps its text as "#text". Answers false when there is none.
bool ElementText(Dictionary* dict, DictionaryItem* item, const char** text, int32_t* length) {
    *text = nullptr;
    *length = 0;
    uint32_t type = 0;
    Dictionary_ItemGetType(dict, item, &type);
    if (type == DICTIONARY_TYPE_STRING) {
        Dictionary_ItemGetBufferPtr(dict, item, text, length);
        if (!*text) *text = "";
        return true;
    }
    if (type != DICTIONARY_TYPE_DICTIONARY) return false;
    Dictionary* child = nullptr;
    Dictionary_ItemGetDictionaryHandle(dict, item, &child);
    DictionaryItem* found = nullptr;
    if (!child || !Dictionary_ItemFindByKey(child, "#text", nullptr, &found) || !found) return false;
    Dictionary_ItemGetType(child, found, &type);
    if (type != DICTIONARY_TYPE_STRING) return false;
    Dictionary_ItemGetBufferPtr(child, found, text, length);
    if (!*text) *text = "";
    return true;
}

// An element written with nothing inside ("<key/>", "<string/>").
bool IsEmptyElement(Dictionary* dict, DictionaryItem* item) {
    Dictionary* child = nullptr;
    uint32_t count = 1;
    return Dictionary_ItemCompareType(dict, item, DICTIONARY_TYPE_DICTIONARY) &&
           Dictionary_ItemGetDictionaryHandle(dict, item, &child) && child && Dictionary_ItemGetCount(child, &count) &&
           count == 0;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsBlankText(const char* text, int32_t length) {
    for (int32_t i = 0; i < length; i++)
        if (!IsBlank(text[i])) return false;
    return true;
}

// The text of a number element without the blanks at its ends, which the element's text keeps.
// False when it does not fit.
bool TrimNumber(const char* text, int32_t length, char* out, size_t size) {
    int32_t start = 0;
    while (start < length && IsBlank(text[start])) start++;
    while (length > start && IsBlank(text[length - 1])) length--;
    const size_t count = (size_t)(length - start);
    if (count >= size) return false;
    memcpy(out, text + start, count);
    out[count] = 0;
    return true;
}

bool ParseInteger(const char* text, int64_t* value) {
    errno = 0;
    char* end = nullptr;
    const long long parsed = strtoll(text, &end, 10);
    if (!text[0] || *end || errno == ERANGE || text[0] == ' ') return false;
    *value = parsed;
    return true;
}

bool ParseReal(const char* text, double* value) {
    char* end = nullptr;
    if (!text[0] || text[0] == ' ') return false;
    *value = Platform_StringToDouble(text, &end);
    return *end == 0;
}

// The shortest text, "%g" where it suffices, that reads back as the same double.
void FormatReal(double value, char* text, size_t size) {
    for (int precision = 6; precision <= 17; precision++) {
        Platform_PrintGeneral(text, size, precision, value);
        if (Platform_StringToDouble(text, nullptr) == value) return;
    }
}

bool IsSkipped(const char* name) {
    return name[0] == '!' || name[0] == '-' || name[0] == '?';
}

int64_t ParseError(Plist* plist) {
    Plist_Print(plist, "Error while trying to parse plist");
    return 0;
}

int64_t LoadDictionary(Plist* plist, Dictionary* element, Dictionary* target) {
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(element, &item);
    for (; item; Dictionary_ItemGetNext(element, item, &item)) {
        const char* name = nullptr;
        Dictionary_ItemGetKeyPtr(element, item, &name);
        if (!name || IsSkipped(name)) continue;
        const char* key = nullptr;
        int32_t keyLength = 0;
        if (NameIs(name, "key")) {
            // "<key/>" is an empty key, as "<key></key>" is.
            if (!ElementText(element, item, &key, &keyLength) && !IsEmptyElement(element, item))
                return ParseError(plist);
            if (!key) key = "";
            // The value is the next element; declarations and comments between are passed over.
            do {
                Dictionary_ItemGetNext(element, item, &item);
                name = nullptr;
                if (item) Dictionary_ItemGetKeyPtr(element, item, &name);
            } while (item && (!name || IsSkipped(name)));
            // A key without its value is a cut document, not a finished one.
            if (!item || NameIs(name, "key")) return ParseError(plist);
        }
        uint32_t type = 0;
        Dictionary_ItemGetType(element, item, &type);
        const char* text = nullptr;
        int32_t length = 0;
        const bool hasText = ElementText(element, item, &text, &length);
        if (NameIs(name, "string")) {
            Dictionary_AppendLoaded(target, key, keyLength, DICTIONARY_TYPE_STRING, text, hasText ? length : 0,
                                    nullptr);
        } else if (NameIs(name, "true") || NameIs(name, "false")) {
            // A Boolean's text starts with 't' when true.
            Dictionary_AppendLoaded(target, key, keyLength, DICTIONARY_TYPE_BOOLEAN, name, 1, nullptr);
        } else if (NameIs(name, "integer")) {
            int64_t value = 0;
            char trimmed[64];
            if (!hasText || !TrimNumber(text, length, trimmed, sizeof(trimmed)) || !ParseInteger(trimmed, &value))
                return ParseError(plist);
            // Stored as the Dictionary's own Int64 text.
            char number[32];
            String_Print(number, (int32_t)sizeof(number), "%lld", value);
            Dictionary_AppendLoaded(target, key, keyLength, DICTIONARY_TYPE_INT64, number, (int32_t)strlen(number),
                                    nullptr);
        } else if (NameIs(name, "real")) {
            double value = 0;
            char trimmed[400];
            if (!hasText || !TrimNumber(text, length, trimmed, sizeof(trimmed)) || !ParseReal(trimmed, &value))
                return ParseError(plist);
            // Kept with every digit the value needs, where the Dictionary's own "%g" keeps six.
            char number[40];
            FormatReal(value, number, sizeof(number));
            Dictionary_AppendLoaded(target, key, keyLength, DICTIONARY_TYPE_FLOAT64, number, (int32_t)strlen(number),
                                    nullptr);
        } else if (NameIs(name, "array") || NameIs(name, "dict")) {
            const bool array = NameIs(name, "array");
            // An empty container written open and closed holds blanks only, which the kept text
            // of its element shows: that is no content.
            const bool blank = type == DICTIONARY_TYPE_STRING && IsBlankText(text, length);
            Dictionary* source = nullptr;
            if (!blank && (type != DICTIONARY_TYPE_DICTIONARY || hasText)) return ParseError(plist);
            if (!blank) Dictionary_ItemGetDictionaryHandle(element, item, &source);
            Dictionary* child = nullptr;
            Dictionary_AppendLoaded(target, key, keyLength, array ? DICTIONARY_TYPE_LIST : DICTIONARY_TYPE_DICTIONARY,
                                    nullptr, 0, &child);
            if (!child || (!blank && (!source || !LoadDictionary(plist, source, child)))) return 0;
        } else {
            Plist_Print(plist, "Unsupported data type encountered [%s]", name);
            return ParseError(plist);
        }
    }
    return 1;
}

int64_t SaveDictionary(Plist* plist, Dictionary* source, Dictionary* element, int32_t depth) {
    if (depth > kMaxSaveDepth) return 0;
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(source, &item);
    for (; item; Dictionary_ItemGetNext(source, item, &item)) {
        const char* key = nullptr;
        Dictionary_ItemGetKeyPtr(source, item, &key);
        uint32_t type = 0;
        Dictionary_ItemGetType(source, item, &type);
        if (type < DICTIONARY_TYPE_BOOLEAN || type > DICTIONARY_TYPE_DICTIONARY) {
            Plist_Print(plist, "Unsupported data type encountered [%d]", (int32_t)type);
            return 0;
        }
        if (key) {
            // A private key lost its mark when it was stored: the mark is written back with it.
            uint32_t isPrivate = 0;
            Dictionary_ItemGetPrivate(source, item, &isPrivate);
            char marked[DICTIONARY_MAX_KEY_LENGTH + 2];
            snprintf(marked, sizeof(marked), "%s%s", isPrivate ? "." : "", key);
            XML_AddStringElement(element, "key", marked, nullptr);
        }
        const char* text = nullptr;
        int32_t length = 0;
        DictionaryItem* added = nullptr;
        switch (type) {
        case DICTIONARY_TYPE_BOOLEAN: {
            uint32_t value = 0;
            Dictionary_ItemGetBoolean(source, item, &value);
            XML_AddElement(element, value ? "true" : "false", nullptr, nullptr);
            break;
        }
        case DICTIONARY_TYPE_INT64: {
            int64_t value = 0;
            Dictionary_ItemGetInt64(source, item, &value);
            char number[32];
            snprintf(number, sizeof(number), "%lld", (long long)value);
            XML_AddStringElement(element, "integer", number, nullptr);
            break;
        }
        case DICTIONARY_TYPE_FLOAT64: {
            Dictionary_ItemGetBufferPtr(source, item, &text, &length);
            double value = 0;
            char number[40];
            if (!text || !ParseReal(text, &value)) value = 0;
            FormatReal(value, number, sizeof(number));
            XML_AddStringElement(element, "real", number, nullptr);
            break;
        }
        case DICTIONARY_TYPE_STRING:
            // An empty text is written as an empty "string" element, which reads back as "".
            Dictionary_ItemGetBufferPtr(source, item, &text, &length);
            Dictionary_Add(element, "string", &added);
            Dictionary_ItemSetType(element, added, DICTIONARY_TYPE_STRING);
            Dictionary_ItemSetBuffer(element, added, text ? text : "", text ? length : 0);
            break;
        default: {
            Dictionary* child = nullptr;
            Dictionary* nested = nullptr;
            Dictionary_ItemGetDictionaryHandle(source, item, &child);
            XML_AddElement(element, type == DICTIONARY_TYPE_LIST ? "array" : "dict", &nested, nullptr);
            if (child && nested && !SaveDictionary(plist, child, nested, depth + 1)) return 0;
            break;
        }
        }
    }
    return 1;
}

Dictionary* Root(Plist* plist) {
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(plist->Dict, &root);
    return root;
}

DictionaryItem* Find(Plist* plist, const char* path, Dictionary** holder) {
    DictionaryItem* item = nullptr;
    *holder = nullptr;
    if (!Dictionary_ItemFindByPath(Root(plist), path, holder, &item)) return nullptr;
    return *holder ? item : nullptr;
}

} // namespace

int64_t Plist_PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

int64_t Plist_Create(Plist** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    Plist* plist = static_cast<Plist*>(Memory_AllocZero(sizeof(Plist)));
    plist->Header.ClassId = PLIST_CLASS_ID;
    plist->Header.RefCount = 1;
    plist->Header.Delete = DeleteHandle;
    plist->Minify = 0;
    *handle = plist;
    return 1;
}

int64_t Plist_Delete(Plist** handle) {
    ASSERT_POINTER(handle);
    Plist* plist = *handle;
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    plist->Header.ClassId = 0;
    Memory_Free(plist, sizeof(Plist));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(Plist, Plist, PLIST_CLASS_ID)

int64_t Plist_SetDictionaryHandle(Plist* plist, Dictionary* dict) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    plist->Dict = dict;
    return 1;
}

int64_t Plist_GetDictionaryHandle(Plist* plist, Dictionary** dict) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    ASSERT_POINTER(dict);
    *dict = plist->Dict;
    return plist->Dict != nullptr;
}

int64_t Plist_SetMinify(Plist* plist, uint32_t value) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    plist->Minify = value;
    return 1;
}

int64_t Plist_GetMinify(Plist* plist, uint32_t* value) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    ASSERT_POINTER(value);
    *value = plist->Minify;
    return 1;
}

int64_t Plist_Load(Plist* plist, const char* path) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    ASSERT_POINTER(path);
    if (!plist->Dict) return 0;
    Dictionary* scratch = nullptr;
    Dictionary_Create(&scratch);
    XML* xml = NewXml(plist);
    XML_SetDictionaryHandle(xml, scratch);
    // The text of "key" and "string" is data: blanks at its ends, and empty text, are kept.
    XML_SetKeepText(xml, 1);
    int64_t result = XML_LoadFile(xml, path);
    XML_Delete(&xml);
    if (result) {
        Dictionary* element = nullptr;
        if (!Dictionary_GetDictionaryByKey(scratch, "plist", &element) || !element)
            Plist_Print(plist, "Failed to find plist doctype [%s]", path);
        else
            result = LoadDictionary(plist, element, plist->Dict);
    }
    Dictionary_Release(&scratch);
    uint32_t verbose = 0;
    Plist_GetVerbose(plist, &verbose);
    if (verbose == 1) {
        void* user = nullptr;
        ClassPrintCallback callback = nullptr;
        Dictionary_GetPrintCallback(plist->Dict, &user, &callback);
        Dictionary_SetPrintCallback(plist->Dict, plist, DumpPrint);
        Dictionary_Dump(plist->Dict);
        Dictionary_SetPrintCallback(plist->Dict, user, callback);
    }
    return result;
}

int64_t Plist_Save(Plist* plist, const char* path) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    ASSERT_POINTER(path);
    if (!plist->Dict) return 0;
    Dictionary* scratch = nullptr;
    Dictionary_Create(&scratch);
    XML_EnsureRoot(scratch, "1.0", "UTF-8", nullptr);
    XML_EnsureDocType(scratch, "plist", "PUBLIC", "\"-//Apple//DTD PLIST 1.0//EN\"",
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"", nullptr);
    Dictionary* element = nullptr;
    Dictionary* top = nullptr;
    XML_AddElement(scratch, "plist", &element, nullptr);
    XML_AddAttribute(element, "version", "1.0");
    // A loaded Dictionary holds the file's top-level values as items without key: they are
    // written back as they were (normally the one top "dict"). Keyed items, as made in code, go
    // into a top "dict".
    bool loadedShape = true;
    uint32_t count = 0;
    Dictionary_ItemGetCount(plist->Dict, &count);
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(plist->Dict, &item);
    for (; item && loadedShape; Dictionary_ItemGetNext(plist->Dict, item, &item)) {
        const char* key = nullptr;
        Dictionary_ItemGetKeyPtr(plist->Dict, item, &key);
        if (key) loadedShape = false;
    }
    int64_t result = 0;
    if (count > 0 && loadedShape) {
        result = SaveDictionary(plist, plist->Dict, element, -1);
    } else {
        XML_AddElement(element, "dict", &top, nullptr);
        result = SaveDictionary(plist, Root(plist), top, 0);
    }
    if (result) {
        XML* xml = NewXml(plist);
        XML_SetMinify(xml, plist->Minify);
        XML_SetDictionaryHandle(xml, scratch);
        result = XML_SaveFile(xml, path);
        XML_Delete(&xml);
    }
    Dictionary_Release(&scratch);
    return result;
}

int64_t Plist_Reset(Plist* plist) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    if (plist->Dict) Dictionary_Reset(plist->Dict);
    return 1;
}

int64_t Plist_HasKey(Plist* plist, const char* path) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    ASSERT_POINTER(path);
    if (!plist->Dict) return 0;
    Dictionary* holder = nullptr;
    return Find(plist, path, &holder) ? 1 : 0;
}

int64_t Plist_GetValue(Plist* plist, const char* path, char* buffer, int32_t capacity) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    ASSERT_POINTER(path);
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    if (!plist->Dict) return 0;
    Dictionary* holder = nullptr;
    DictionaryItem* item = Find(plist, path, &holder);
    if (!item || Dictionary_ItemIsContainer(holder, item)) return 0;
    const char* text = nullptr;
    int32_t length = 0;
    Dictionary_ItemGetBufferPtr(holder, item, &text, &length);
    if (capacity > 0) String_CopyLengthSafe(buffer, capacity, text ? text : "", text ? length : 0);
    return 1;
}

int64_t Plist_GetValueBoolean(Plist* plist, const char* path, uint32_t* value) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    ASSERT_POINTER(path);
    ASSERT_POINTER(value);
    *value = 0;
    if (!plist->Dict) return 0;
    Dictionary* holder = nullptr;
    DictionaryItem* item = Find(plist, path, &holder);
    return item ? Dictionary_ItemGetBoolean(holder, item, value) : 0;
}

int64_t Plist_GetValueInt64(Plist* plist, const char* path, int64_t* value) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    ASSERT_POINTER(path);
    ASSERT_POINTER(value);
    *value = 0;
    if (!plist->Dict) return 0;
    Dictionary* holder = nullptr;
    DictionaryItem* item = Find(plist, path, &holder);
    return item ? Dictionary_ItemGetInt64(holder, item, value) : 0;
}

int64_t Plist_GetValueFloat64(Plist* plist, const char* path, double* value) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    ASSERT_POINTER(path);
    ASSERT_POINTER(value);
    *value = 0;
    if (!plist->Dict) return 0;
    Dictionary* holder = nullptr;
    DictionaryItem* item = Find(plist, path, &holder);
    uint32_t type = 0;
    if (!item || !Dictionary_ItemGetType(holder, item, &type)) return 0;
    if (type != DICTIONARY_TYPE_FLOAT64 && type != DICTIONARY_TYPE_INT64) return 0;
    // Read with the C library, which rounds correctly, so a real reads back exactly as written.
    const char* text = nullptr;
    int32_t length = 0;
    Dictionary_ItemGetBufferPtr(holder, item, &text, &length);
    return text && ParseReal(text, value) ? 1 : 0;
}

int64_t Plist_SetValue(Plist* plist, const char* path, const char* text) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    ASSERT_POINTER(path);
    ASSERT_POINTER(text);
    if (!plist->Dict) return 0;
    Dictionary* holder = nullptr;
    DictionaryItem* item = Find(plist, path, &holder);
    if (!item) return Dictionary_SetStringByPath(Root(plist), path, text);
    Dictionary_ItemSetType(holder, item, DICTIONARY_TYPE_STRING);
    return Dictionary_ItemSetString(holder, item, text);
}

int64_t Plist_SetValueBoolean(Plist* plist, const char* path, uint32_t value) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    ASSERT_POINTER(path);
    if (!plist->Dict) return 0;
    Dictionary* holder = nullptr;
    DictionaryItem* item = Find(plist, path, &holder);
    if (!item) return Dictionary_SetBooleanByPath(Root(plist), path, value);
    Dictionary_ItemSetType(holder, item, DICTIONARY_TYPE_BOOLEAN);
    return Dictionary_ItemSetBoolean(holder, item, value);
}

int64_t Plist_SetValueInt64(Plist* plist, const char* path, int64_t value) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    ASSERT_POINTER(path);
    if (!plist->Dict) return 0;
    Dictionary* holder = nullptr;
    DictionaryItem* item = Find(plist, path, &holder);
    if (!item) return Dictionary_SetInt64ByPath(Root(plist), path, value);
    Dictionary_ItemSetType(holder, item, DICTIONARY_TYPE_INT64);
    return Dictionary_ItemSetInt64(holder, item, value);
}

int64_t Plist_SetValueFloat64(Plist* plist, const char* path, double value) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    ASSERT_POINTER(path);
    if (!plist->Dict) return 0;
    Dictionary* holder = nullptr;
    DictionaryItem* item = Find(plist, path, &holder);
    if (!item) {
        if (!Dictionary_SetFloat64ByPath(Root(plist), path, value)) return 0;
        item = Find(plist, path, &holder);
        if (!item) return 0;
    }
    // Kept with every digit it needs, not the six of "%g", so the value saves and reads back whole.
    char number[40];
    FormatReal(value, number, sizeof(number));
    Dictionary_ItemSetType(holder, item, DICTIONARY_TYPE_FLOAT64);
    return Dictionary_ItemSetBuffer(holder, item, number, (int32_t)strlen(number));
}

// ---- Print family ---------------------------------------------------------------------------

int64_t Plist_VPrint(Plist* plist, int32_t indent, const char* format, va_list args) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    PreparePrint(plist);
    return ClassPrint_VPrint(&plist->Print, indent, format, args);
}

int64_t Plist_Print(Plist* plist, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Plist_VPrint(plist, 0, format, args);
    va_end(args);
    return result;
}

int64_t Plist_PrintTabbed(Plist* plist, int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Plist_VPrint(plist, indent, format, args);
    va_end(args);
    return result;
}

int64_t Plist_IsVerboseLevel(Plist* plist, int32_t level) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    PreparePrint(plist);
    return ClassPrint_IsVerboseLevel(&plist->Print, level);
}

int64_t Plist_VerboseLog(Plist* plist, int32_t level, const char* format, ...) {
    if (!Plist_IsVerboseLevel(plist, level)) return 0;
    va_list args;
    va_start(args, format);
    const int64_t result = Plist_VPrint(plist, 0, format, args);
    va_end(args);
    return result;
}

int64_t Plist_SetPrintCallback(Plist* plist, void* user, ClassPrintCallback callback) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    PreparePrint(plist);
    plist->Print.PrintUser = user;
    plist->Print.PrintCallback = callback;
    return 1;
}

int64_t Plist_GetPrintCallback(Plist* plist, void** user, ClassPrintCallback* callback) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    ASSERT_POINTER(user);
    ASSERT_POINTER(callback);
    PreparePrint(plist);
    *user = plist->Print.PrintUser;
    *callback = plist->Print.PrintCallback;
    return 1;
}

int64_t Plist_SetPrintIdentifier(Plist* plist, const char* text) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    PreparePrint(plist);
    plist->Print.Identifier = text;
    return 1;
}

int64_t Plist_SetVerbose(Plist* plist, uint32_t verbose) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    plist->Print.Verbose = (int32_t)verbose;
    return 1;
}

int64_t Plist_GetVerbose(Plist* plist, uint32_t* verbose) {
    CLASS_CHECK(plist, PLIST_CLASS_ID);
    ASSERT_POINTER(verbose);
    *verbose = (uint32_t)plist->Print.Verbose;
    return 1;
}
