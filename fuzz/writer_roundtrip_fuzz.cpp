// Builds a Dictionary from the input (keys, names and texts of any bytes) in the shapes XML and
// INI describe, saves it in each format and reads it back: either the save fails, or what is read
// back is the document that was saved.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/formats/ini.h"
#include "core/formats/json.h"
#include "core/formats/xml.h"
#include "core/formats/xml_internal.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "tests/support/dictionary_text.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

// Reads the input as a series of pieces: a byte of kind, a byte of length and that many bytes.
struct Input {
    const uint8_t* Data;
    size_t Size;
    size_t At = 0;
    bool More() const { return At < Size; }
    uint8_t Byte() { return At < Size ? Data[At++] : 0; }
    std::string Text() {
        size_t length = Byte();
        if (length > Size - At) length = Size - At;
        std::string text(reinterpret_cast<const char*>(Data + At), length);
        At += length;
        // Dictionary texts are C texts: a NUL would end them anyway.
        for (char& c : text)
            if (c == 0) c = '0';
        return text;
    }
};

Dictionary* NewDictionary() {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Dictionary_SetPrintCallback(dict, nullptr, Quiet);
    return dict;
}

// The tree as minified JSON: keys, private marks, types and texts all show.
std::string Describe(Dictionary* dict) {
    return DictionaryAsJson(dict);
}

// ---- XML ------------------------------------------------------------------------------------

// Elements holding attributes first, then elements, Strings and texts, nested to any depth.
void BuildXml(Input* in, Dictionary* dict, int32_t depth, bool element) {
    if (element)
        while (in->More() && (in->Byte() & 3) == 0) {
            const std::string name = "-" + in->Text();
            Dictionary_AddString(dict, name.c_str(), in->Text().c_str(), nullptr);
        }
    while (in->More()) {
        const uint8_t kind = in->Byte();
        if ((kind & 7) == 0) return;
        const std::string key = in->Text();
        if ((kind & 7) <= 2 && depth < 40) {
            Dictionary* child = nullptr;
            Dictionary_AddDictionary(dict, key.c_str(), &child, nullptr);
            if (child) BuildXml(in, child, depth + 1, true);
        } else if ((kind & 7) == 3) {
            Dictionary_AddString(dict, "#text", in->Text().c_str(), nullptr);
        } else {
            Dictionary_AddString(dict, key.c_str(), in->Text().c_str(), nullptr);
        }
    }
}

bool IsXmlAttribute(Dictionary* element, DictionaryItem* item) {
    const char* key = nullptr;
    uint32_t type = 0;
    Dictionary_ItemGetKeyPtr(element, item, &key);
    Dictionary_ItemGetType(element, item, &type);
    return key && key[0] == '-' && (type == DICTIONARY_TYPE_NULL || type == DICTIONARY_TYPE_STRING);
}

// Attributes live in the start tag, ahead of all content: one added after a child element reads
// back before it. Moves them there, keeping their own order.
void HoistAttributes(Dictionary* element) {
    DictionaryItem* lastAttribute = nullptr;
    bool content = false;
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(element, &item);
    while (item) {
        DictionaryItem* next = nullptr;
        Dictionary_ItemGetNext(element, item, &next);
        if (!IsXmlAttribute(element, item)) {
            content = true;
        } else if (!content) {
            lastAttribute = item;
        } else {
            const char* key = nullptr;
            uint32_t type = 0;
            const char* text = nullptr;
            int32_t length = 0;
            Dictionary_ItemGetKeyPtr(element, item, &key);
            Dictionary_ItemGetType(element, item, &type);
            Dictionary_ItemGetBufferPtr(element, item, &text, &length);
            const std::string name(key), value(text ? text : "", text ? (size_t)length : 0);
            DictionaryItem* moved = nullptr;
            Dictionary_Insert(element, lastAttribute, name.c_str(), &moved);
            Dictionary_ItemSetType(element, moved, type);
            if (type == DICTIONARY_TYPE_STRING) Dictionary_ItemSetBuffer(element, moved, value.data(), (int32_t)value.size());
            Dictionary_Remove(element, &item);
            lastAttribute = moved;
        }
        item = next;
    }
}

// What the XML text cannot tell apart is made one before the trees are compared: attributes
// stand before content, an element holding one text only is the String of that text, and an
// empty String an empty element.
void NormalizeXml(Dictionary* dict) {
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(dict, &item);
    for (; item; Dictionary_ItemGetNext(dict, item, &item)) {
        uint32_t type = 0;
        Dictionary_ItemGetType(dict, item, &type);
        const char* text = nullptr;
        int32_t length = 0;
        // Text items are one whatever the case of their key.
        if (type == DICTIONARY_TYPE_STRING && XML_IsTextItem(dict, item)) Dictionary_ItemSetKey(dict, item, "#text");
        if (type == DICTIONARY_TYPE_STRING && !XML_IsTextItem(dict, item)) {
            Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
            if ((!text || length == 0) && !IsXmlAttribute(dict, item))
                Dictionary_ItemSetType(dict, item, DICTIONARY_TYPE_DICTIONARY);
            continue;
        }
        Dictionary* child = nullptr;
        if (type != DICTIONARY_TYPE_DICTIONARY || !Dictionary_ItemGetDictionaryHandle(dict, item, &child) || !child)
            continue;
        HoistAttributes(child);
        uint32_t count = 0;
        DictionaryItem* only = nullptr;
        uint32_t onlyType = 0;
        Dictionary_ItemGetCount(child, &count);
        Dictionary_ItemGetFirst(child, &only);
        if (count == 1 && only && XML_IsTextItem(child, only) && Dictionary_ItemGetType(child, only, &onlyType) &&
            onlyType == DICTIONARY_TYPE_STRING) {
            Dictionary_ItemGetBufferPtr(child, only, &text, &length);
            const std::string copy(text ? text : "", text ? (size_t)length : 0);
            Dictionary_ItemSetType(dict, item, DICTIONARY_TYPE_STRING);
            Dictionary_ItemSetBuffer(dict, item, copy.data(), (int32_t)copy.size());
            continue;
        }
        NormalizeXml(child);
    }
}

// The XML text has no private mark: keys are taken as they stand (a leading "." or "#" is part
// of the name, which the writer must then refuse, but for the text item "#text").
Dictionary* NewXmlDictionary() {
    Dictionary* dict = NewDictionary();
    Dictionary_SetPrivateKeys(dict, 0);
    return dict;
}

void RoundTripXml(Input in, uint32_t minify) {
    Dictionary* saved = NewXmlDictionary();
    BuildXml(&in, saved, 0, false);
    XML* xml = nullptr;
    XML_Create(&xml);
    XML_SetPrintCallback(xml, nullptr, Quiet);
    XML_SetMinify(xml, minify);
    XML_SetDictionaryHandle(xml, saved);
    uint32_t length = 0;
    if (XML_SaveBufferEstimate(xml, &length)) {
        std::string text(length, '\0');
        uint32_t written = 0;
        Require(XML_SaveBuffer(xml, text.data(), length, &written) == 1 && written == length);
        Dictionary* back = NewXmlDictionary();
        XML_SetDictionaryHandle(xml, back);
        Require(XML_LoadBuffer(xml, text.data(), length) == 1 || length == 0);
        NormalizeXml(saved);
        NormalizeXml(back);
        Require(Describe(saved) == Describe(back));
        XML_SetDictionaryHandle(xml, nullptr);
        Dictionary_Release(&back);
    }
    XML_SetDictionaryHandle(xml, nullptr);
    XML_Delete(&xml);
    Dictionary_Release(&saved);
}

// ---- INI ------------------------------------------------------------------------------------

// Top-level Strings, then sections of Strings.
void BuildIni(Input* in, Dictionary* root) {
    Dictionary* target = root;
    while (in->More()) {
        const uint8_t kind = in->Byte();
        const std::string key = in->Text();
        if ((kind & 3) == 0) {
            Dictionary_AddDictionary(root, key.c_str(), &target, nullptr);
            if (!target) return;
        } else {
            std::string value = in->Text();
            if (kind & 0x80) value.append((size_t)(kind & 0x7F) * 64, 'v');
            Dictionary_AddString(target, key.c_str(), value.c_str(), nullptr);
        }
    }
}

std::string SaveIni(Ini* ini, bool* ok) {
    MemoryStream* ms = nullptr;
    MemoryStream_Create(&ms);
    MemoryStream_SetAutoGrow(ms, 1);
    Stream* stream = nullptr;
    MemoryStream_GetStreamHandle(ms, &stream);
    *ok = Ini_SaveStream(ini, stream) == 1;
    std::string text;
    uint8_t* at = nullptr;
    if (MemoryStream_GetPointerAt(ms, 0, &at) && at) {
        text.assign(reinterpret_cast<const char*>(at), (size_t)MemoryStream_GetUsed(ms));
        MemoryStream_ReleasePointer(ms, &at);
    }
    MemoryStream_Delete(&ms);
    return text;
}

void RoundTripIni(Input in) {
    Dictionary* saved = NewDictionary();
    BuildIni(&in, saved);
    Ini* ini = nullptr;
    Ini_Create(&ini);
    Ini_SetPrintCallback(ini, nullptr, Quiet);
    Ini_SetDictionaryHandle(ini, saved);
    bool ok = false;
    std::string text = SaveIni(ini, &ok);
    if (ok) {
        Dictionary* back = NewDictionary();
        Ini_SetDictionaryHandle(ini, back);
        MemoryStream* ms = nullptr;
        MemoryStream_Create(&ms);
        MemoryStream_SetPointer(ms, text.data(), (uint32_t)text.size(), (uint32_t)text.size());
        Stream* stream = nullptr;
        MemoryStream_GetStreamHandle(ms, &stream);
        Require(Ini_LoadStream(ini, stream) == 1);
        MemoryStream_Delete(&ms);
        Require(Describe(saved) == Describe(back));
        Ini_SetDictionaryHandle(ini, nullptr);
        Dictionary_Release(&back);
    }
    Ini_SetDictionaryHandle(ini, nullptr);
    Ini_Delete(&ini);
    Dictionary_Release(&saved);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    RoundTripXml(Input{data, size}, 1);
    RoundTripXml(Input{data, size}, 0);
    RoundTripIni(Input{data, size});
    return 0;
}
