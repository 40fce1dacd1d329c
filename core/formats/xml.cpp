// The XML object: creation, settings, the print family, the load entry points that feed the
// scanner, and the tree builders used to make documents in code.
#include "core/formats/xml.h"

#include "core/runtime/class_family.h"

#include <cstring>

#include "core/formats/xml_internal.h"
#include "core/platform/document_stream.h"
#include "core/platform/buffered_stream.h"
#include "core/platform/file.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

const XmlErrorString XML_ErrorStringTable[8] = {
    {0, "Unknown"},    {1, "ZeroLength"},     {2, "Truncated"}, {3, "Syntax"},
    {4, "Depth"},      {5, "NameLength"},     {6, "Encoding"},  {7, "Reference"},
};

namespace {

constexpr uint32_t kReadChunk = 64 * 1024;
constexpr int32_t kTokenStart = 256;

int64_t DeleteHandle(void** handle) {
    return XML_Delete(reinterpret_cast<XML**>(handle));
}

void PreparePrint(XML* xml) {
    ClassPrint_Prepare(&xml->Print, xml, "XML", XML_PrintInternal);
}

// The key of an attribute: "-" and the name, at most 319 bytes.
void AttributeKey(char* key, const char* name) {
    key[0] = '-';
    String_CopyLengthSafe(key + 1, XML_KEY_TEXT_SIZE - 1, name, (int32_t)strlen(name));
}

} // namespace

int64_t XML_PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

int64_t XML_Create(XML** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    XML* xml = static_cast<XML*>(Memory_AllocZero(sizeof(XML)));
    xml->Header.ClassId = XML_CLASS_ID;
    xml->Header.RefCount = 1;
    xml->Header.Delete = DeleteHandle;
    xml->Minify = 1;
    xml->TokenCapacity = kTokenStart;
    xml->Token = static_cast<char*>(Memory_Alloc(kTokenStart));
    xml->Token[0] = 0;
    XML_ResetState(xml);
    *handle = xml;
    return 1;
}

int64_t XML_Delete(XML** handle) {
    ASSERT_POINTER(handle);
    XML* xml = *handle;
    CLASS_CHECK(xml, XML_CLASS_ID);
    if (xml->Token) Memory_Free(xml->Token, xml->TokenCapacity);
    if (xml->PendingText) Memory_Free(xml->PendingText, xml->PendingTextCapacity);
    if (xml->HeldText) Memory_Free(xml->HeldText, xml->HeldTextCapacity);
    xml->Header.ClassId = 0;
    Memory_Free(xml, sizeof(XML));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(XML, XML, XML_CLASS_ID)

int64_t XML_SetDictionaryHandle(XML* xml, Dictionary* dict) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    xml->Dict = dict;
    return 1;
}

int64_t XML_GetDictionaryHandle(XML* xml, Dictionary** dict) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    ASSERT_POINTER(dict);
    *dict = xml->Dict;
    return xml->Dict != nullptr;
}

int64_t XML_SetMinify(XML* xml, uint32_t value) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    xml->Minify = value;
    return 1;
}

int64_t XML_GetMinify(XML* xml, uint32_t* value) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    ASSERT_POINTER(value);
    *value = xml->Minify;
    return 1;
}

int64_t XML_SetKeepText(XML* xml, uint32_t value) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    xml->KeepText = value ? 1 : 0;
    return 1;
}

int64_t XML_SetValueCallback(XML* xml, void* user, XmlValueCallback callback) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    xml->CallbackUser = user;
    xml->Callback = callback;
    return 1;
}

int64_t XML_SetLastError(XML* xml, uint32_t code) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    xml->Error = code;
    return 1;
}

int64_t XML_GetLastError(XML* xml, uint32_t* code) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    ASSERT_POINTER(code);
    *code = xml->Error;
    return 1;
}

const char* XML_TranslateError(uint32_t code) {
    for (const XmlErrorString& entry : XML_ErrorStringTable)
        if (entry.Code == code) return entry.Name;
    return "Unknown";
}

int64_t XML_Reset(XML* xml) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    XML_ResetState(xml);
    if (xml->Dict) Dictionary_Reset(xml->Dict);
    return 1;
}

int64_t XML_LoadStream(XML* xml, Stream* stream) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    ASSERT_POINTER(stream);
    XML_Reset(xml);
    Stream_ClearLastError(stream);
    uint8_t* chunk = static_cast<uint8_t*>(Memory_Alloc(kReadChunk));
    bool any = false;
    bool streamFailed = false;
    while (xml->Error == 0) {
        uint32_t read = 0;
        const int64_t ok = Stream_Read(stream, chunk, kReadChunk, &read);
        if (!ok && Stream_HasError(stream)) streamFailed = true;
        if (read == 0 || streamFailed) break;
        any = true;
        XML_ScanBytes(xml, chunk, read);
    }
    Memory_Free(chunk, kReadChunk);
    if (streamFailed) return 0;
    if (!any && xml->Error == 0) xml->Error = XML_ERROR_ZERO_LENGTH;
    if (xml->Error == 0) XML_ScanFinish(xml);
    if (xml->Error != 0) {
        if (!Stream_HasError(stream)) Stream_SetLastError(stream, (int32_t)xml->Error);
        return 0;
    }
    return Stream_HasError(stream) ? 0 : 1;
}

int64_t XML_LoadBuffer(XML* xml, const void* bytes, uint32_t length) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    XML_Reset(xml);
    if (length == 0) {
        xml->Error = XML_ERROR_ZERO_LENGTH;
        return 0;
    }
    ASSERT_POINTER(bytes);
    XML_ScanBytes(xml, static_cast<const uint8_t*>(bytes), length);
    return XML_ScanFinish(xml);
}

int64_t XML_LoadStringV(XML* xml, const char* format, va_list args) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    ASSERT_POINTER(format);
    va_list measure;
    va_copy(measure, args);
    const int32_t length = String_GetVPrintLength(format, measure);
    va_end(measure);
    if (length < 0) return 0;
    char* text = static_cast<char*>(Memory_Alloc(length + 1));
    String_VPrint(text, length + 1, format, args);
    text[length] = 0;
    const int64_t result = XML_LoadBuffer(xml, text, (uint32_t)length);
    Memory_Free(text, length + 1);
    return result;
}

int64_t XML_LoadString(XML* xml, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = XML_LoadStringV(xml, format, args);
    va_end(args);
    return result;
}

int64_t XML_LoadFile(XML* xml, const char* path) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    ASSERT_POINTER(path);
    XML_Reset(xml);
    const int64_t result = Document_LoadFile(xml, DocumentStreamCall<XML, XML_LoadStream>, path, 0);
    if (result < 0) XML_Print(xml, "Unable to open file (%s)", path);
    return result < 0 ? 0 : result;
}

int64_t XML_SaveFile(XML* xml, const char* path) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    ASSERT_POINTER(path);
    if (!xml->Dict) return 0;
    const int64_t result = Document_SaveFile(xml, DocumentStreamCall<XML, XML_SaveStream>, path, 4096);
    if (result < 0) XML_Print(xml, "Unable to open file (%s)", path);
    return result < 0 ? 0 : result;
}

int64_t XML_Merge(XML* destination, XML* source, uint32_t flags) {
    CLASS_CHECK(destination, XML_CLASS_ID);
    CLASS_CHECK(source, XML_CLASS_ID);
    if (!destination->Dict || !source->Dict) return 0;
    DictionaryItem* target = nullptr;
    DictionaryItem* from = nullptr;
    if (!Dictionary_ItemGetFirst(destination->Dict, &target) || !target) return 0;
    if (!Dictionary_ItemGetFirst(source->Dict, &from) || !from) return 0;
    if (!Dictionary_ItemIsContainer(destination->Dict, target) || !Dictionary_ItemIsContainer(source->Dict, from))
        return 0;
    Dictionary* targetChild = nullptr;
    Dictionary* sourceChild = nullptr;
    Dictionary_ItemGetDictionaryHandle(destination->Dict, target, &targetChild);
    Dictionary_ItemGetDictionaryHandle(source->Dict, from, &sourceChild);
    if (!targetChild || !sourceChild) return 0;
    return Dictionary_Merge(targetChild, sourceChild, flags);
}

// ---- Tree builders --------------------------------------------------------------------------

int64_t XML_EnsureRoot(Dictionary* dict, const char* version, const char* encoding, DictionaryItem** item) {
    ASSERT_POINTER(dict);
    if (item) *item = nullptr;
    DictionaryItem* root = nullptr;
    if (!Dictionary_ItemFindByKey(dict, "?xml", nullptr, &root) || !root) {
        Dictionary_Insert(dict, nullptr, "?xml", &root);
        if (!root) return 0;
    }
    Dictionary_ItemSetType(dict, root, DICTIONARY_TYPE_DICTIONARY);
    Dictionary* child = nullptr;
    Dictionary_ItemGetDictionaryHandle(dict, root, &child);
    if (!child) return 0;
    if (version) Dictionary_SetStringByKey(child, "-version", version);
    else Dictionary_RemoveByKey(child, "-version");
    if (encoding) Dictionary_SetStringByKey(child, "-encoding", encoding);
    else Dictionary_RemoveByKey(child, "-encoding");
    while (Dictionary_RemoveByKey(child, "-?")) {
    }
    uint32_t count = 0;
    Dictionary_ItemGetCount(child, &count);
    if (count > 0) Dictionary_AddNull(child, "-?", nullptr);
    if (item) *item = root;
    return 1;
}

int64_t XML_EnsureDocType(Dictionary* dict, const char* text1, const char* text2, const char* text3,
                          const char* text4, DictionaryItem** item) {
    ASSERT_POINTER(dict);
    if (item) *item = nullptr;
    DictionaryItem* docType = nullptr;
    if (!Dictionary_ItemFindByKey(dict, "!DOCTYPE", nullptr, &docType) || !docType) {
        DictionaryItem* root = nullptr;
        Dictionary_ItemFindByKey(dict, "?xml", nullptr, &root);
        Dictionary_Insert(dict, root, "!DOCTYPE", &docType);
        if (!docType) return 0;
    }
    // Emptied by a change of type: the item keeps its place.
    Dictionary_ItemSetType(dict, docType, DICTIONARY_TYPE_NULL);
    Dictionary_ItemSetType(dict, docType, DICTIONARY_TYPE_DICTIONARY);
    Dictionary* child = nullptr;
    Dictionary_ItemGetDictionaryHandle(dict, docType, &child);
    if (!child) return 0;
    const char* texts[4] = {text1, text2, text3, text4};
    for (const char* text : texts) {
        char key[XML_KEY_TEXT_SIZE];
        AttributeKey(key, text ? text : "");
        Dictionary_AddNull(child, key, nullptr);
    }
    if (item) *item = docType;
    return 1;
}

int64_t XML_AddElement(Dictionary* dict, const char* key, Dictionary** child, DictionaryItem** item) {
    return Dictionary_AddDictionary(dict, key, child, item);
}

int64_t XML_AddStringElement(Dictionary* dict, const char* key, const char* text, DictionaryItem** item) {
    return Dictionary_AddString(dict, key, text, item);
}

int64_t XML_EnsureElement(Dictionary* dict, const char* key, Dictionary** child, DictionaryItem** item) {
    return Dictionary_EnsureDictionary(dict, key, item, child);
}

int64_t XML_EnsureStringElement(Dictionary* dict, const char* key, const char* text, DictionaryItem** item) {
    ASSERT_POINTER(text);
    DictionaryItem* found = nullptr;
    if (item) *item = nullptr;
    if (!Dictionary_EnsureKey(dict, key, &found) || !found) return 0;
    Dictionary_ItemSetType(dict, found, DICTIONARY_TYPE_STRING);
    Dictionary_ItemSetString(dict, found, text);
    if (item) *item = found;
    return 1;
}

int64_t XML_AddAttribute(Dictionary* dict, const char* name, const char* value) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    char key[XML_KEY_TEXT_SIZE];
    AttributeKey(key, name);
    return Dictionary_AddString(dict, key, value, nullptr);
}

int64_t XML_EnsureAttribute(Dictionary* dict, const char* name, const char* value) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    char key[XML_KEY_TEXT_SIZE];
    AttributeKey(key, name);
    return Dictionary_SetStringByKey(dict, key, value);
}

// ---- Print family ---------------------------------------------------------------------------

int64_t XML_VPrint(XML* xml, int32_t indent, const char* format, va_list args) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    PreparePrint(xml);
    return ClassPrint_VPrint(&xml->Print, indent, format, args);
}

int64_t XML_Print(XML* xml, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = XML_VPrint(xml, 0, format, args);
    va_end(args);
    return result;
}

int64_t XML_PrintTabbed(XML* xml, int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = XML_VPrint(xml, indent, format, args);
    va_end(args);
    return result;
}

int64_t XML_IsVerboseLevel(XML* xml, int32_t level) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    PreparePrint(xml);
    return ClassPrint_IsVerboseLevel(&xml->Print, level);
}

int64_t XML_VerboseLog(XML* xml, int32_t level, const char* format, ...) {
    if (!XML_IsVerboseLevel(xml, level)) return 0;
    va_list args;
    va_start(args, format);
    const int64_t result = XML_VPrint(xml, 0, format, args);
    va_end(args);
    return result;
}

int64_t XML_SetPrintCallback(XML* xml, void* user, ClassPrintCallback callback) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    PreparePrint(xml);
    xml->Print.PrintUser = user;
    xml->Print.PrintCallback = callback;
    return 1;
}

int64_t XML_GetPrintCallback(XML* xml, void** user, ClassPrintCallback* callback) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    ASSERT_POINTER(user);
    ASSERT_POINTER(callback);
    PreparePrint(xml);
    *user = xml->Print.PrintUser;
    *callback = xml->Print.PrintCallback;
    return 1;
}

int64_t XML_SetPrintIdentifier(XML* xml, const char* text) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    PreparePrint(xml);
    xml->Print.Identifier = text;
    return 1;
}

int64_t XML_SetVerbose(XML* xml, uint32_t verbose) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    xml->Print.Verbose = (int32_t)verbose;
    return 1;
}

int64_t XML_GetVerbose(XML* xml, uint32_t* verbose) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    ASSERT_POINTER(verbose);
    *verbose = (uint32_t)xml->Print.Verbose;
    return 1;
}
