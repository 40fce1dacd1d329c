// XML text format: a scanner that maps a document onto a Dictionary tree (elements as Dictionary
// items, attributes as "-name" Strings, text as "#text") and a writer that prints such a tree back.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/formats/json.h"
#include "core/platform/stream.h"
#include "core/runtime/class.h"

struct Dictionary;
struct DictionaryItem;
struct XML;

// The XML object shares its class id with the JSON object.
enum : uint32_t { XML_CLASS_ID = JSON_CLASS_ID };

// Level types: what a raised value becomes.
enum : uint32_t {
    XML_TYPE_TEXT = 1,      // attribute value or text: String
    XML_TYPE_ELEMENT = 3,   // element: Dictionary
    XML_TYPE_ATTRIBUTE = 6, // attribute without a value: Null
    XML_TYPE_END = 8,       // end of a declaration: Null
};

enum : uint32_t {
    XML_ERROR_NONE = 0,
    XML_ERROR_ZERO_LENGTH = 1,
    XML_ERROR_TRUNCATED = 2, // the input ends inside a tag or quote, or with elements open
    XML_ERROR_SYNTAX = 3,    // an end tag that closes no open element of its name, a misplaced "/"
    XML_ERROR_DEPTH = 4,     // more elements open at once than the level stack holds
    XML_ERROR_NAME_LENGTH = 5,
    XML_ERROR_ENCODING = 6,  // bytes that are not UTF-8, or a NUL
    XML_ERROR_REFERENCE = 7, // an entity other than the five predefined, or a bad character reference
};

constexpr int32_t XML_MAX_LEVELS = 32;
constexpr int32_t XML_KEY_TEXT_SIZE = 320;
constexpr int32_t XML_MAX_NAME_LENGTH = 318;
constexpr int32_t XML_MAX_PATH_LENGTH = 1024;

struct XmlErrorString {
    uint32_t Code;
    const char* Name;
};
extern const XmlErrorString XML_ErrorStringTable[8];

// Sees every value before it is stored; its answer is ignored.
typedef int64_t (*XmlValueCallback)(XML* xml, void* user, const char* path, uint32_t type, const char* text,
                                    int32_t length, uint64_t streamPosition, int32_t nodePosition,
                                    int32_t nodeSize);

int64_t XML_Create(XML** handle);
int64_t XML_Delete(XML** handle);
int64_t XML_AddRef(XML* xml);
// Releases and nulls the handle; the last release deletes.
int64_t XML_Release(XML** handle);
int64_t XML_GetInstanceId(XML* xml, char* buffer, int32_t size);

int64_t XML_SetDictionaryHandle(XML* xml, Dictionary* dict);
int64_t XML_GetDictionaryHandle(XML* xml, Dictionary** dict);
int64_t XML_SetMinify(XML* xml, uint32_t value);
int64_t XML_GetMinify(XML* xml, uint32_t* value);
// Off by default: text is trimmed of white space at both ends and white space alone is no text.
// On: the text that is an element's whole content is kept exactly, an empty one as "" (formats
// built on XML whose text is data, such as property lists); other text is trimmed as before.
int64_t XML_SetKeepText(XML* xml, uint32_t value);
int64_t XML_SetValueCallback(XML* xml, void* user, XmlValueCallback callback);
int64_t XML_SetLastError(XML* xml, uint32_t code);
int64_t XML_GetLastError(XML* xml, uint32_t* code);
const char* XML_TranslateError(uint32_t code);
int64_t XML_Reset(XML* xml);

// A load resets the object and empties the bound Dictionary first, and succeeds only when the
// whole input was a complete document: on failure the error code tells why.
int64_t XML_LoadStream(XML* xml, Stream* stream);
int64_t XML_LoadBuffer(XML* xml, const void* bytes, uint32_t length);
int64_t XML_LoadString(XML* xml, const char* format, ...);
int64_t XML_LoadStringV(XML* xml, const char* format, va_list args);
// "Unable to open file (%s)" is printed when the file cannot be opened.
int64_t XML_LoadFile(XML* xml, const char* path);

// Text and attribute values are escaped so that any value reads back unchanged. A save replaces
// the file whole: a save that fails leaves the file as it was.
int64_t XML_SaveStream(XML* xml, Stream* stream);
int64_t XML_SaveFile(XML* xml, const char* path);
// No terminator is added; *length is the number of bytes written.
int64_t XML_SaveBuffer(XML* xml, void* buffer, uint32_t capacity, uint32_t* length);
int64_t XML_SaveBufferEstimate(XML* xml, uint32_t* length);

int64_t XML_Merge(XML* destination, XML* source, uint32_t flags);

// Tree builders for documents made in code.
int64_t XML_EnsureRoot(Dictionary* dict, const char* version, const char* encoding, DictionaryItem** item);
int64_t XML_EnsureDocType(Dictionary* dict, const char* text1, const char* text2, const char* text3,
                          const char* text4, DictionaryItem** item);
int64_t XML_AddElement(Dictionary* dict, const char* key, Dictionary** child, DictionaryItem** item);
int64_t XML_AddStringElement(Dictionary* dict, const char* key, const char* text, DictionaryItem** item);
int64_t XML_EnsureElement(Dictionary* dict, const char* key, Dictionary** child, DictionaryItem** item);
int64_t XML_EnsureStringElement(Dictionary* dict, const char* key, const char* text, DictionaryItem** item);
int64_t XML_AddAttribute(Dictionary* dict, const char* name, const char* value);
int64_t XML_EnsureAttribute(Dictionary* dict, const char* name, const char* value);

int64_t XML_Print(XML* xml, const char* format, ...);
int64_t XML_VPrint(XML* xml, int32_t indent, const char* format, va_list args);
int64_t XML_PrintTabbed(XML* xml, int32_t indent, const char* format, ...);
int64_t XML_VerboseLog(XML* xml, int32_t level, const char* format, ...);
int64_t XML_IsVerboseLevel(XML* xml, int32_t level);
int64_t XML_SetPrintCallback(XML* xml, void* user, ClassPrintCallback callback);
int64_t XML_GetPrintCallback(XML* xml, void** user, ClassPrintCallback* callback);
int64_t XML_SetPrintIdentifier(XML* xml, const char* text);
int64_t XML_SetVerbose(XML* xml, uint32_t verbose);
int64_t XML_GetVerbose(XML* xml, uint32_t* verbose);
int64_t XML_PrintInternal(void* user, const char* format, ...);
